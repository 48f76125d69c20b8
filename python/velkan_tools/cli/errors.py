"""The failures the command line reports as one line: wrong input, and the operating system's refusals."""
import os

from ..errors import WRITE_ERRNOS, InputError

__all__ = ["InputError", "Interrupted", "is_system_failure", "system_failure_line"]

# GDAL words its own write failures so.
WRITE_WORDS = ("write", "disk", "space")


class Interrupted(KeyboardInterrupt):
    """Ctrl-C, with what the user can do next (its text)."""


def is_system_failure(error):
    """An operating-system failure (a full disk, a file gone or unreadable), as Python, GDAL
    (through rasterio) or OGR (through pyogrio) report it."""
    return isinstance(error, OSError) or type(error).__module__.split(".")[0] in ("rasterio", "pyogrio", "fiona")


def system_failure_line(error, outputs):
    """One line for a system failure: which file could not be read or written, and the reason."""
    reason = " ".join((error.strerror if isinstance(error, OSError) and error.strerror else str(error)).split())
    if filename := getattr(error, "filename", None):
        owner = next((output for output in outputs if belongs_to(os.fspath(filename), output)), None)
        return f"cannot write {owner}: {reason}" if owner else f"cannot read {filename}: {reason}"
    writing = getattr(error, "errno", None) in WRITE_ERRNOS or any(word in reason.lower() for word in WRITE_WORDS)
    return f"cannot write {outputs[0]}: {reason}" if writing and outputs else reason


def belongs_to(path, output):
    """True for the output itself, its checkpoint and the temporaries beside it."""
    path, output = os.path.abspath(path), os.path.abspath(output)
    folder, name = os.path.split(output)
    return (path == output or path.startswith(output + ".checkpoint")
            or path.startswith(os.path.join(folder, f".{name}.velkan-")))
