"""``python -m zentrik_native``: the command-line front (``zentrik-sellersprite``)."""

import sys

from zentrik_native.cli import main

sys.exit(main())
