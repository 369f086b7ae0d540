"""`python -m norvane.quantum`: the kit's command line."""

import sys

from norvane.quantum.cli import main

sys.exit(main())
