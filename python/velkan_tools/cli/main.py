"""The `velkan` command: argument parsing, and the one place failures become exit statuses."""
import argparse
import sys

from . import connectivity, coverage, demo
from .errors import InputError

BAD_INPUT = 2
INTERRUPTED = 130


class OneLineParser(argparse.ArgumentParser):
    """Usage mistakes end with one line on stderr, like every other bad input."""

    def error(self, message):
        self.exit(BAD_INPUT, f"{self.prog}: {message} (see {self.prog} --help)\n")


def build_parser():
    parser = OneLineParser(prog="velkan", description="Habitat connectivity and pixel coverage of GeoTIFF rasters.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=OneLineParser)
    for command in (connectivity, coverage, demo):
        command.add_parser(commands)
    return parser


def run_command(argv):
    """Parse and run one command; its failures propagate."""
    args = build_parser().parse_args(argv)
    args.run(args)


def run(argv):
    try:
        run_command(argv)
    except InputError as error:
        print(f"velkan: {error}", file=sys.stderr)
        return BAD_INPUT
    except KeyboardInterrupt:
        print("velkan: interrupted; no output written", file=sys.stderr)
        return INTERRUPTED
    return 0
