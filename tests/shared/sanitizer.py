"""Whether the suites run against the sanitizer build of the modules (tools/run-sanitized-python-tests),
where address-space limits and malloc's own statistics mean nothing."""

import os

SANITIZED = os.environ.get("BRENVOX_SANITIZED") == "1"
