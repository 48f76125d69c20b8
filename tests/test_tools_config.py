"""Runs described in a TOML file: the same outputs as the command line, the command line over the
file, the resolved run written back, and one line for a file that cannot be a run."""
import pytest
import rasterio
from test_tools_cli import condition_tif, polygons_file, protected_geometry, read  # noqa: F401 (a fixture)

from velkan_tools.cli import main

OPTIONS = ["--levels", "1,2,4", "--outer-window", "5", "--max-cost", "7.5", "--tile-size", "24", "--no-progress", "-q"]
RUN_FILE = """levels = [1, 2, 4]
outer-window = 5
max_cost = 7.5
tile_size = 24
no_progress = true
quiet = true
"""


def test_a_run_file_gives_the_command_lines_output_and_is_recorded(tmp_path, condition_tif):  # noqa: F811
    (tmp_path / "run.toml").write_text(f'condition = "condition.tif"\noutput = "from-file.tif"\n{RUN_FILE}')
    assert main(["connectivity", condition_tif, "-o", str(tmp_path / "from-options.tif")] + OPTIONS) == 0
    assert main(["connectivity", "--config", str(tmp_path / "run.toml")]) == 0  # paths relative to the file
    assert read(tmp_path / "from-file.tif")[0].tobytes() == read(tmp_path / "from-options.tif")[0].tobytes()
    with rasterio.open(tmp_path / "from-file.tif") as source:
        assert source.tags()["velkan_config"].startswith('condition = "condition.tif"')
    # The command line over the file; the resolved run written back gives the same output again.
    resolved = tmp_path / "resolved.toml"
    assert main(["connectivity", "--config", str(tmp_path / "run.toml"), "--max-cost", "12", "-o",
                 str(tmp_path / "over.tif"), "--write-config", str(resolved)]) == 0
    assert not (tmp_path / "over.tif").exists() and "max_cost = 12.0" in resolved.read_text()
    assert main(["connectivity", "--config", str(resolved), "-q"]) == 0
    assert main(["connectivity", condition_tif, "-o", str(tmp_path / "twelve.tif")] + OPTIONS[:4] +
                ["--max-cost", "12", "--tile-size", "24", "-q"]) == 0
    assert read(tmp_path / "over.tif")[0].tobytes() == read(tmp_path / "twelve.tif")[0].tobytes()


def test_coverage_and_zonal_take_run_files_too(tmp_path, condition_tif):  # noqa: F811
    polygons = polygons_file(tmp_path / "areas.gpkg", [protected_geometry()])
    (tmp_path / "cover.toml").write_text('polygons = "areas.gpkg"\nlike = "condition.tif"\noutput = "cover.tif"\n')
    (tmp_path / "zonal.toml").write_text('raster = "condition.tif"\npolygons = "areas.gpkg"\noutput = "z.csv"\n'
                                         'stats = "mean,max"\n')
    assert main(["coverage", "--config", str(tmp_path / "cover.toml"), "-q"]) == 0
    assert main(["coverage", polygons, "--like", condition_tif, "-o", str(tmp_path / "direct.tif"), "-q"]) == 0
    assert read(tmp_path / "cover.tif")[0].tobytes() == read(tmp_path / "direct.tif")[0].tobytes()
    assert main(["zonal", "--config", str(tmp_path / "zonal.toml"), "-q"]) == 0
    assert "mean" in (tmp_path / "z.csv").read_text().splitlines()[0]


@pytest.mark.parametrize("text, message", [
    ("levls = [1, 2]\n", "no option named levls (the options: "),
    ("levels = [1, 2\n", "not TOML"),
    ("max_cost = 0.5\n", "--max-cost 0.5: give a finite number of at least 1"),
    ('output = "out.tif"\n', "the following arguments are required: CONDITION.tif"),
])
def test_a_file_that_cannot_be_a_run_is_one_line(tmp_path, condition_tif, capsys, text, message):  # noqa: F811
    (tmp_path / "run.toml").write_text(text)
    argv = ["connectivity", "--config", str(tmp_path / "run.toml")]
    if "output" not in text:
        argv[1:1] = [condition_tif, "-o", str(tmp_path / "out.tif")]
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
