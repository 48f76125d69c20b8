"""The package's one kind of ordinary failure, and the operating system's failures only a write meets."""
import errno


class InputError(ValueError):
    """Input that cannot give a sound result: a missing file, rasters that disagree, a parameter
    out of range. Its text says what is wrong and, where it can, what to give instead; the
    `velkan` command prints it as one line."""


# Failures that only a write meets.
WRITE_ERRNOS = {errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EROFS}
