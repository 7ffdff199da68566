"""``python -m brenvox_hbond``: the brenvox-hbond command."""

import sys

from .cli import main

sys.exit(main())
