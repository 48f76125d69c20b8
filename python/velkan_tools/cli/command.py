"""The `velkan` command: argument parsing, and the one place failures become exit statuses."""
import argparse
import atexit
import contextlib
import logging
import signal
import sys
import threading
import warnings

from . import connectivity, coverage, demo, zonal
from .config import parse_with_config, write_config
from .errors import InputError, Interrupted, is_system_failure, system_failure_line

BAD_INPUT = 2
INTERRUPTED = 130
TERMINATED = 143


class OneLineParser(argparse.ArgumentParser):
    """Usage mistakes end with one line on stderr, like every other bad input."""

    def error(self, message):
        self.exit(BAD_INPUT, f"{self.prog}: {message} (see {self.prog} --help)\n")


def common_options():
    """Options every subcommand takes."""
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", help="print no warnings, progress or summary")
    common.add_argument("-v", "--verbose", action="store_true", help="log what is read, the tiles and the time taken")
    return common


def build_parser():
    from .. import __version__

    parser = OneLineParser(prog="velkan", description="Habitat connectivity and pixel coverage of GeoTIFF rasters.")
    parser.add_argument("--version", action="version", version=f"velkan {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=OneLineParser)
    common = common_options()
    for command in (connectivity, coverage, zonal, demo):
        command.add_parser(commands, common)
    parser.set_defaults(run_command=run_command)  # the demo runs its steps through it
    return parser


def parsed(argv):
    """The command's arguments, with those of its --config file under them."""
    parser = build_parser()
    args = parser.parse_args(argv)
    subparsers = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    return parse_with_config(parser, subparsers.choices[args.command], argv), subparsers.choices[args.command]


def run_command(argv):
    """Parse and run one command; its failures propagate."""
    execute(*parsed(argv))


def execute(args, subparser):
    """Runs the parsed command, or with --write-config writes its run instead."""
    if getattr(args, "write_config", None):
        write_config(args.write_config, args, subparser, args.resolved(args) if hasattr(args, "resolved") else None)
        if not args.quiet:
            print(f"velkan {args.command}: the run written to {args.write_config}")
        return
    args.run(args)


def outputs_of(args):
    """The files the command writes, as the user named them."""
    return [path for path in (getattr(args, "output", None), getattr(args, "plot", None)) if path]


def print_warning(message, category, filename, lineno, file=None, line=None):
    print(f"velkan: warning: {message}", file=sys.stderr)


@contextlib.contextmanager
def reporting(quiet, verbose):
    """Warnings as one line each on stderr (none when quiet); with `verbose`, the log too."""
    log = logging.getLogger("velkan_tools")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("velkan: %(message)s"))
    with warnings.catch_warnings():
        if quiet:
            warnings.simplefilter("ignore")
        else:
            warnings.showwarning = print_warning
        if verbose:
            log.addHandler(handler)
            log.setLevel(logging.INFO)
        try:
            yield
        finally:
            log.removeHandler(handler)
            log.setLevel(logging.NOTSET)


class Terminated(KeyboardInterrupt):
    """SIGTERM, as schedulers and `timeout` send it: stops the run as Ctrl-C does."""


@contextlib.contextmanager
def sigterm_as_interrupt():
    """SIGTERM raises Terminated in the main thread while the command runs."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def terminate(signum, frame):
        raise Terminated

    previous = signal.signal(signal.SIGTERM, terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _quiet_abandoned_zarr_work():
    """Keeps the zarr work an interrupt cut short from printing after the command's one line.

    Ctrl-C or SIGTERM may land inside a zarr read or write, whose coroutine then is never awaited
    (a RuntimeWarning when it is freed) or stays pending in zarr's I/O thread (reported by asyncio
    at exit as "destroyed but pending"). A resume checks every finished tile against its digest,
    so the cut write costs nothing, and the command is about to end."""
    warnings.filterwarnings("ignore", message="coroutine .* was never awaited", category=RuntimeWarning)
    atexit.register(logging.getLogger("asyncio").setLevel, logging.CRITICAL)


def run(argv):
    try:
        args, subparser = parsed(argv)
    except InputError as error:
        print(f"velkan: {error}", file=sys.stderr)
        return BAD_INPUT
    try:
        with sigterm_as_interrupt(), reporting(args.quiet, args.verbose):
            execute(args, subparser)
    except InputError as error:
        print(f"velkan: {error}", file=sys.stderr)
        return BAD_INPUT
    except KeyboardInterrupt as interrupt:
        _quiet_abandoned_zarr_work()
        terminated = isinstance(interrupt, Terminated) or isinstance(interrupt.__context__, Terminated)
        then = f"; {interrupt}" if isinstance(interrupt, Interrupted) and str(interrupt) else ""
        print(f"velkan: {'terminated' if terminated else 'interrupted'}; no output written{then}", file=sys.stderr)
        return TERMINATED if terminated else INTERRUPTED
    except Exception as error:
        if not is_system_failure(error):
            raise
        kept = args.kept(args) if hasattr(args, "kept") else ""
        print(f"velkan: {system_failure_line(error, outputs_of(args))}" + (f" ({kept})" if kept else ""),
              file=sys.stderr)
        return BAD_INPUT
    return 0
