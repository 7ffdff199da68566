"""``python -m brenvox_hbond``: the brenvox-hbond command."""

import sys

from .cli import main

if __name__ == "__main__":  # not in the worker processes of a local cluster
    sys.exit(main())
