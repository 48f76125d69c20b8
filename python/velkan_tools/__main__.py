"""`python -m velkan_tools` runs the `velkan` command."""
import sys

from .cli import main

sys.exit(main())
