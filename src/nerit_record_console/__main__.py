"""Runs the command-line front: python -m nerit_record_console."""

import sys

from nerit_record_console.cli import main

sys.exit(main())
