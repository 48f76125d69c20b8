"""Cloud-optimised GeoTIFFs, as every output is written: internal tiles, overviews, deflate with the
floating-point predictor, BigTIFF where the file would pass 4 GB, and in the file what its value is
(the band description) and where it came from (tags)."""
import contextlib
import logging
import os
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


class GdalWarnings(logging.Handler):
    """The warnings GDAL reports through rasterio's logger while it is attached."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage().split(" in ", 1)[-1])


def check_cog_options(extra):
    """Refuses (ValueError, with GDAL's reason) creation options the COG driver cannot write with or
    does not know (GDAL itself only warns of those, and writes without them): tried on a raster of
    16 x 16 cells, so that a typo fails before any work."""
    heard = GdalWarnings()
    logger = logging.getLogger("rasterio")
    logger.addHandler(heard)
    try:
        with tempfile.TemporaryDirectory() as folder, warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the trial raster has no georeferencing, on purpose
            plain, cog = os.path.join(folder, "plain.tif"), os.path.join(folder, "cog.tif")
            with rasterio.open(plain, "w", driver="GTiff", height=16, width=16, count=1, dtype="float32") as target:
                target.write(np.zeros((16, 16), np.float32), 1)
            rio_shutil.copy(plain, cog, driver="COG", **cog_options(extra))
    except rasterio.errors.RasterioError as error:
        raise ValueError(f"the COG driver cannot write with them: {error}") from None
    finally:
        logger.removeHandler(heard)
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
        yield plain
        with rasterio.open(plain, "r+") as target:
            target.set_band_description(1, description)
            target.update_tags(**tags)
        rio_shutil.copy(plain, cog, driver="COG", **cog_options(extra_options))
        os.replace(cog, path)
    finally:
        for name in made:
            with contextlib.suppress(FileNotFoundError):
                os.remove(name)
