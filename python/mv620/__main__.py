"""python3 -m mv620: the command-line tool."""

import sys

from .cli import main

sys.exit(main())
