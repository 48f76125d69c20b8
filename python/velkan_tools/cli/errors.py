"""The one kind of failure the command line reports as a plain line: the user's input is wrong."""


class InputError(Exception):
    """Bad input: a missing file, rasters that disagree, an argument out of range."""


class Interrupted(KeyboardInterrupt):
    """Ctrl-C, with what the user can do next (its text)."""
