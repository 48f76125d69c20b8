"""Cloud-optimised GeoTIFFs, as every output is written: internal tiles, overviews, deflate with the
floating-point predictor, BigTIFF where the file would pass 4 GB, and in the file what its value is
(the band description) and where it came from (tags)."""
import contextlib
import errno
import logging
import os
import re
import tempfile
import warnings

import numpy as np

from ._extras import require
from .temporaries import remove_stale_temporaries, temporary_name

rasterio = require("rasterio", "writing cloud-optimised GeoTIFFs")
rio_shutil = require("rasterio.shutil", "writing cloud-optimised GeoTIFFs")

# GDAL's COG driver options; a caller's (`--co KEY=VALUE`) take precedence.
COG_OPTIONS = {"COMPRESS": "DEFLATE", "PREDICTOR": "FLOATING_POINT", "BLOCKSIZE": "256", "BIGTIFF": "IF_SAFER",
               "RESAMPLING": "AVERAGE"}


def cog_options(extra=None):
    """The COG driver's options: the defaults, with `extra` ({key: value}) over them."""
    options = dict(COG_OPTIONS)
    options.update({str(key).upper(): str(value) for key, value in (extra or {}).items()})
    return options


class GdalMessages(logging.Handler):
    """The messages GDAL reports through rasterio's logger at `level` or above while it is attached
    (and that therefore do not reach stderr on their own), and the failures it signalled."""

    def __init__(self, level):
        super().__init__(level)
        self.messages, self.failures = [], []

    def emit(self, record):
        message = record.getMessage()
        if signalled := re.match(r"GDAL signalled an error: err_no=\d+, msg='(.*)'$", message):
            self.failures.append(signalled.group(1))
        self.messages.append(message.split(" in ", 1)[-1])


@contextlib.contextmanager
def gdal_messages(level):
    heard = GdalMessages(level)
    logger = logging.getLogger("rasterio")
    former = logger.level
    logger.addHandler(heard)
    logger.setLevel(min(level, logger.getEffectiveLevel()))
    try:
        yield heard
    finally:
        logger.removeHandler(heard)
        logger.setLevel(former)


def check_written(heard, path):
    """Raises a full disk that GDAL met while writing, which rasterio only logs (libtiff's failed
    writes), as an OSError naming `path`."""
    if not heard.failures:
        return
    try:
        full = os.statvfs(os.path.dirname(os.path.abspath(path))).f_bavail == 0
    except OSError:
        full = False
    if full:
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), path)


def unreadable_write(heard, path, error):
    """The file GDAL was to write cannot be read back: as an OSError naming `path`."""
    reason = heard.failures[-1] if heard.failures else error
    return OSError(errno.EIO, f"GDAL could not write it ({reason})", path)


def check_cog_options(extra):
    """Refuses (ValueError, with GDAL's reason) creation options the COG driver cannot write with or
    does not know (GDAL itself only warns of those, and writes without them): tried on a raster of
    16 x 16 cells, so that a typo fails before any work."""
    try:
        with gdal_messages(logging.WARNING) as heard, tempfile.TemporaryDirectory() as folder, \
                warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the trial raster has no georeferencing, on purpose
            plain, cog = os.path.join(folder, "plain.tif"), os.path.join(folder, "cog.tif")
            with rasterio.open(plain, "w", driver="GTiff", height=16, width=16, count=1, dtype="float32") as target:
                target.write(np.zeros((16, 16), np.float32), 1)
            rio_shutil.copy(plain, cog, driver="COG", **cog_options(extra))
    except rasterio.errors.RasterioError as error:
        raise ValueError(f"the COG driver cannot write with them: {error}") from None
    if refused := [m for m in heard.messages if "creation option" in m or "not recognised" in m]:
        raise ValueError(f"the COG driver refuses them: {refused[0]}")


def provenance_tags(version, parameters, inputs):
    """Tags recording the velkan version, every parameter ({name: value}) and the inputs' file names
    ({role: path}), each under a name of its own."""
    tags = {"velkan_version": version}
    tags.update({f"velkan_{name}": str(value) for name, value in parameters.items() if value is not None})
    tags.update({f"velkan_input_{role.replace(' ', '_')}": os.path.basename(path) for role, path in inputs.items()})
    return tags


@contextlib.contextmanager
def cog_beside(path, description, tags, extra_options=None):
    """A temporary plain GeoTIFF beside `path` for the caller to write; on success it gets the band
    description and the tags, becomes a COG and is renamed onto `path`, so that `path` is never a
    partial file. The temporary files go in every case, and those a killed run left beside `path`
    go first."""
    remove_stale_temporaries(path)
    plain, cog = temporary_name(path, ".tif"), temporary_name(path, ".tif")
    made = [plain, cog]
    try:
        with gdal_messages(logging.INFO) as heard:
            yield plain
            check_written(heard, path)
            try:
                target = rasterio.open(plain, "r+")
            except (rasterio.errors.RasterioError, TypeError) as error:  # rasterio's TypeError: no format
                raise unreadable_write(heard, path, error) from None
            with target:
                target.set_band_description(1, description)
                target.update_tags(**tags)
            rio_shutil.copy(plain, cog, driver="COG", **cog_options(extra_options))
            check_written(heard, path)
        os.replace(cog, path)
    finally:
        for name in made:
            with contextlib.suppress(FileNotFoundError):
                os.remove(name)
