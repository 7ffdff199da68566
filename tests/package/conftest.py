"""The brenvox_hbond package suite. It needs no shared fixture: its reference modules
(periodic_reference.py, pentamer_files.py) sit beside the tests, and tests/shared is on the path."""
