"""`python -m kelpo`: the command line (see `python -m kelpo --help`)."""

import sys

from kelpo._cli import main

sys.exit(main())
