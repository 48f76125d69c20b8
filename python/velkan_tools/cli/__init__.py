"""The `velkan` console script."""
import sys

from .._extras import INSTALL_HINT


def main(argv=None):
    """Run `velkan COMMAND ...`; returns the exit status."""
    try:
        from .command import run
    except ImportError as error:
        print(f"velkan: the command line needs the optional 'tools' extra ({INSTALL_HINT}): {error}", file=sys.stderr)
        return 2
    try:
        return run(sys.argv[1:] if argv is None else argv)
    except SystemExit as stop:  # argparse: --help and usage errors
        return stop.code
