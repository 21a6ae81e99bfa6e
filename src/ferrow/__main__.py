"""``python -m ferrow``: the command line of :mod:`ferrow.cli`."""

from __future__ import annotations

import sys

from ferrow.cli import main

if __name__ == "__main__":
    sys.exit(main())
