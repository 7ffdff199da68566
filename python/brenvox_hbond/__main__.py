"""``python -m brenvox_hbond``: the brenvox-hbond command."""

from .cli import run

if __name__ == "__main__":  # not in the worker processes of a local cluster
    run()
