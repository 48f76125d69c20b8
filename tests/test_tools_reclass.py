"""Land cover through a reclass table: the same output as the condition and traversal rasters made
by hand, bit for bit; classes missing from the table refused with their cell counts."""
import numpy as np
import pytest
import rasterio
import rioxarray
from test_tools_cli import RUN, read, write_raster

import velkan_tools
from velkan_tools.cli import main

# class: (condition, traversal); "" is no value. Class 3 (water) has no condition: no data.
TABLE = {1: ("0.9", "0.8"), 2: ("0.55", ""), 3: ("", ""), 4: ("0.1", "0"), 5: ("1", "1")}
NODATA = 255


def land_cover(shape=(50, 40), seed=7):
    rng = np.random.default_rng(seed)
    classes = rng.choice([1, 2, 3, 4, 5], size=shape, p=[0.35, 0.3, 0.1, 0.1, 0.15]).astype(np.uint8)
    classes[rng.random(shape) < 0.03] = NODATA
    return classes


def table_csv(path, table=TABLE):
    rows = ["class,condition,traversal,name"] + [f"{c},{v[0]},{v[1]},type {c}" for c, v in table.items()]
    path.write_text("\n".join(rows) + "\n")
    return str(path)


def by_hand(classes, column):
    """The raster a user would make from the table: float32 values, NaN for no value or no data."""
    out = np.full(classes.shape, np.nan, np.float32)
    for value, entry in TABLE.items():
        if entry[column]:
            out[classes == value] = np.float32(float(entry[column]))
    return out


def test_a_reclassified_land_cover_gives_the_hand_made_rasters_output(tmp_path):
    classes = land_cover()
    cover = write_raster(tmp_path / "landcover.tif", classes, nodata=NODATA)
    condition = write_raster(tmp_path / "condition.tif", by_hand(classes, 0))
    traversal = write_raster(tmp_path / "traversal.tif", by_hand(classes, 1))
    table = table_csv(tmp_path / "table.csv")
    assert main(["connectivity", cover, "--reclass", table, "-o", str(tmp_path / "reclassed.tif"), "-q"] + RUN) == 0
    assert main(["connectivity", condition, "--traversal", traversal, "-o", str(tmp_path / "by-hand.tif"),
                 "-q"] + RUN) == 0
    reclassed, by_hand_made = read(tmp_path / "reclassed.tif")[0], read(tmp_path / "by-hand.tif")[0]
    assert reclassed.tobytes() == by_hand_made.tobytes() and np.isfinite(reclassed).sum() > 1000
    # The same run described in a file.
    (tmp_path / "run.toml").write_text('condition = "landcover.tif"\nreclass = "table.csv"\noutput = "from-file.tif"\n'
                                       'levels = [1, 2, 4]\nouter_window = 5\ntile_size = 24\nquiet = true\n')
    assert main(["connectivity", "--config", str(tmp_path / "run.toml"), "--no-progress"]) == 0
    assert read(tmp_path / "from-file.tif")[0].tobytes() == by_hand_made.tobytes()
    with rasterio.open(tmp_path / "reclassed.tif") as source:
        assert len(source.tags()["velkan_reclass"]) == 32 and source.tags()["velkan_input_reclass_table"] == "table.csv"
    # The library, on the land cover as a DataArray and the table as a mapping.
    mapping = {c: (float(v[0]) if v[0] else None, float(v[1]) if v[1] else None) for c, v in TABLE.items()}
    values = velkan_tools.connectivity(rioxarray.open_rasterio(cover).squeeze("band", drop=True), reclass=mapping,
                                       levels=[1, 2, 4], outer_window=5, tile_size=24)
    assert values.values.tobytes() == reclassed.tobytes()


def test_classes_missing_from_the_table_are_refused_with_their_counts(tmp_path, capsys):
    classes = land_cover()
    cover = write_raster(tmp_path / "landcover.tif", classes, nodata=NODATA)
    table = table_csv(tmp_path / "table.csv", {c: v for c, v in TABLE.items() if c not in (2, 4)})
    assert main(["connectivity", cover, "--reclass", table, "-o", str(tmp_path / "out.tif")] + RUN) == 2
    err = capsys.readouterr().err
    counts = {c: int(np.count_nonzero(classes == c)) for c in (2, 4)}
    assert err == (f"velkan: land cover {cover}: classes 2 ({counts[2]:,} cells), 4 ({counts[4]:,} cells) are not "
                   f"in --reclass {table}; add them (an empty condition makes a class no data)\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["landcover.tif", "table.csv"]  # nothing left behind


@pytest.mark.parametrize("text, message", [
    ("class,cond\n1,0.5\n", "give a CSV file whose header is class,condition[,traversal][,name]"),
    ("class,condition\nforest,0.5\n", "line 2: class 'forest' is not a whole number"),
    ("class,condition\n1,0.5\n1,0.6\n", "class 1 is given more than once"),
])
def test_a_table_that_cannot_be_read_is_one_line(tmp_path, capsys, text, message):
    cover = write_raster(tmp_path / "landcover.tif", land_cover(), nodata=NODATA)
    (tmp_path / "table.csv").write_text(text)
    assert main(["connectivity", cover, "--reclass", str(tmp_path / "table.csv"), "-o", str(tmp_path / "o.tif")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
