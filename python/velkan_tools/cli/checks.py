"""What the command checks before any computation: option values, input values and output paths."""
import os
import tempfile

from .errors import InputError

RASTER_EXTENSIONS = (".tif", ".tiff")
PICTURE_EXTENSIONS = (".png",)


def at_least_one(option, value):
    if value is not None and value < 1:
        raise InputError(f"{option} must be at least 1, not {value}")


def writable_folder(folder, option, path):
    """Refuse a folder that does not exist or cannot take a new file (tried, as root may not write everywhere)."""
    if not os.path.isdir(folder):
        raise InputError(f"{option} {path}: folder {folder} does not exist")
    try:
        handle, probe = tempfile.mkstemp(dir=folder, prefix=".velkan-")
    except OSError as error:
        raise InputError(f"{option} {path}: cannot write into {folder} ({error.strerror})") from None
    os.close(handle)
    os.remove(probe)


def creation_options(pairs):
    """--co KEY=VALUE pairs as a dict, checked against GDAL's COG driver before any work."""
    from ..cog import check_cog_options

    options = {}
    for pair in pairs:
        key, sep, value = pair.partition("=")
        if not sep or not key:
            raise InputError(f"--co {pair}: give KEY=VALUE, as in --co BLOCKSIZE=512")
        options[key] = value
    try:
        check_cog_options(options)
    except ValueError as error:
        raise InputError(f"--co {' '.join(pairs)}: {error}") from None
    return options


def add_output_options(parser):
    """--overwrite and --co, as GDAL's tools take them."""
    parser.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    parser.add_argument("--co", action="append", default=[], metavar="KEY=VALUE",
                        help="a creation option of GDAL's COG driver for the output (repeatable), "
                             "e.g. BLOCKSIZE=512 or COMPRESS=ZSTD")


def same_file(a, b):
    if os.path.exists(a) and os.path.exists(b):
        return os.path.samefile(a, b)
    return os.path.abspath(a) == os.path.abspath(b)


def check_outputs(outputs, inputs, overwrite):
    """Refuse outputs that would destroy data or fail only after the work.

    `outputs` are (option, path, extensions) triples; `inputs` the paths the run reads. An
    existing output needs `overwrite`; an output that is also an input is refused even with it.
    """
    seen = []
    for option, path, extensions in outputs:
        if os.path.isdir(path):
            raise InputError(f"{option} {path} is a folder; give a file name")
        if os.path.splitext(path)[1].lower() not in extensions:
            raise InputError(f"{option} {path}: give a {' or '.join(extensions)} file")
        if any(same_file(path, other) for other in list(inputs) + seen):
            raise InputError(f"{option} {path} is also an input or another output; give another name")
        if os.path.exists(path) and not overwrite:
            raise InputError(f"{option} {path} exists; give --overwrite to replace it")
        writable_folder(os.path.dirname(os.path.abspath(path)), option, path)
        seen.append(path)
