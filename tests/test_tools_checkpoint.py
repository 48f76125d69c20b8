"""The streamed run's checkpoint under damage, concurrent runs, foreign folders, full disks, signals
and cluster workers in other folders: every run either ends with the uninterrupted raster or
with one line and the checkpoint as it was."""
import glob
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time

import geopandas
import numpy as np
import pytest
import rasterio
import shapely
from distributed import LocalCluster
from test_tools_cli import (  # noqa: F401 (condition_tif is a fixture)
    RUN,
    TRANSFORM,
    condition_tif,
    expected_connectivity,
    leftovers,
    polygons_file,
    read,
    write_raster,
)
from tools_support import landscape

import velkan
from velkan_tools.cli import main

# Many small tiles: a run that takes long enough to be caught in the middle.
SMALL_TILES = ["--levels", "1,2,4", "--outer-window", "5", "--tile-size", "4", "--no-progress"]
UNTILED = ["--levels", "1,2,4", "--outer-window", "5", "--no-progress"]


def interrupt_native_call(monkeypatch, number):
    """Ctrl-C inside the `number`-th velkan.connectivity call."""
    native, calls = velkan.connectivity, []

    def interrupted(*args, **kwargs):
        calls.append(1)
        if len(calls) == number:
            raise KeyboardInterrupt
        return native(*args, **kwargs)

    monkeypatch.setattr(velkan, "connectivity", interrupted)


def interrupted_run(tmp_path, condition_tif, monkeypatch, finished=3):  # noqa: F811
    """An output path whose checkpoint holds `finished` of the run's 6 tiles."""
    out = str(tmp_path / "out.tif")
    interrupt_native_call(monkeypatch, finished + 1)
    assert main(["connectivity", condition_tif, "-o", out, "-q"] + RUN) == 130
    monkeypatch.undo()
    assert len(os.listdir(f"{out}.checkpoint/done")) == finished
    return out


def chunk_files(out):
    return sorted(p for p in glob.glob(f"{out}.checkpoint/tiles.zarr/values/c/**", recursive=True) if os.path.isfile(p))


def edit_array_metadata(out, key, value):
    path = f"{out}.checkpoint/tiles.zarr/values/zarr.json"
    with open(path) as source:
        metadata = json.load(source)
    metadata[key] = value
    with open(path, "w") as target:
        json.dump(metadata, target)


def flip_bytes(path):
    data = bytearray(open(path, "rb").read())
    for k in range(16):
        data[len(data) // 2 + k] ^= 0xFF
    open(path, "wb").write(bytes(data))


DAMAGE = {
    "a chunk deleted": lambda out: os.remove(chunk_files(out)[0]),
    "every chunk deleted": lambda out: [os.remove(p) for p in chunk_files(out)],
    "16 bytes flipped": lambda out: flip_bytes(chunk_files(out)[1]),
    "a chunk cut short": lambda out: os.truncate(chunk_files(out)[0], 10),
    "a marker garbled": lambda out: open(sorted(glob.glob(f"{out}.checkpoint/done/*"))[0], "w").write("{"),
    "the markers gone": lambda out: [os.remove(p) for p in glob.glob(f"{out}.checkpoint/done/*")],
    "the shape edited": lambda out: edit_array_metadata(out, "shape", [40, 40]),
    "the dtype edited": lambda out: edit_array_metadata(out, "data_type", "float64"),
    "the store's metadata gone": lambda out: os.remove(f"{out}.checkpoint/tiles.zarr/values/zarr.json"),
    "a manifest write cut short": lambda out: open(f"{out}.checkpoint/.manifest.json.velkan-{socket.gethostname()}-"
                                                   "1-0123abcd", "w").write('{"wri'),
}


@pytest.mark.parametrize("damage", DAMAGE)
def test_a_damaged_checkpoint_resumes_to_the_uninterrupted_raster(tmp_path, condition_tif, monkeypatch,  # noqa: F811
                                                                 capsys, damage):
    out = interrupted_run(tmp_path, condition_tif, monkeypatch)
    DAMAGE[damage](out)
    capsys.readouterr()
    assert main(["connectivity", condition_tif, "-o", out, "--resume", "-v"] + RUN) == 0
    err = capsys.readouterr().err
    assert "Traceback" not in err
    assert read(out)[0].tobytes() == expected_connectivity().tobytes()
    assert not os.path.exists(f"{out}.checkpoint") and not leftovers(tmp_path)
    if damage in ("a chunk deleted", "every chunk deleted", "16 bytes flipped", "a chunk cut short"):
        assert "were missing or damaged; computing them again" in err, err


def test_an_input_rewritten_with_its_size_and_time_restored_is_refused(tmp_path, condition_tif,  # noqa: F811
                                                                        monkeypatch, capsys):
    out = interrupted_run(tmp_path, condition_tif, monkeypatch)
    status = os.stat(condition_tif)
    with rasterio.open(condition_tif, "r+") as target:
        values = target.read(1)
        values[0, 0] = 0.5 if values[0, 0] != 0.5 else 0.25
        target.write(values, 1)
    os.utime(condition_tif, ns=(status.st_atime_ns, status.st_mtime_ns))  # as touch -r or cp -p leave it
    assert os.stat(condition_tif).st_size == status.st_size
    capsys.readouterr()
    assert main(["connectivity", condition_tif, "-o", out, "--resume"] + RUN) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.endswith(
        f"condition {condition_tif} has changed since (its content differs); give --overwrite to start again\n"), err


def wait_for(predicate, child, seconds=60):
    end = time.monotonic() + seconds
    while not predicate():
        assert child.poll() is None and time.monotonic() < end, child.stderr.read() if child.poll() else "timeout"
        time.sleep(0.01)


@pytest.mark.parametrize("second", [[], ["--resume"], ["--overwrite"], ["--resume", "--overwrite"]])
def test_a_second_run_on_the_same_output_is_refused_while_the_first_goes(tmp_path, condition_tif, capsys,  # noqa: F811
                                                                         second):
    out = str(tmp_path / "out.tif")
    first = subprocess.Popen([sys.executable, "-m", "velkan_tools", "connectivity", condition_tif, "-o", out, "-q"]
                             + SMALL_TILES, stderr=subprocess.PIPE, text=True)
    try:
        wait_for(lambda: glob.glob(f"{out}.checkpoint/done/*"), first)
        first.send_signal(signal.SIGSTOP)  # caught in the middle of its tiles
        assert main(["connectivity", condition_tif, "-o", out] + RUN + second) == 2
        err = capsys.readouterr().err
        assert err == (f"velkan: -o {out}: another velkan run (pid {first.pid} on {socket.gethostname()}) is "
                       f"writing {out}.checkpoint\n"), err
    finally:
        first.send_signal(signal.SIGCONT)
    assert first.wait(timeout=120) == 0, first.stderr.read()
    assert read(out)[0].tobytes() == expected_connectivity().tobytes()
    assert not os.path.exists(f"{out}.checkpoint")


def test_the_lock_of_a_process_that_is_gone_is_taken_over(tmp_path, condition_tif, monkeypatch, capsys):  # noqa: F811
    out = interrupted_run(tmp_path, condition_tif, monkeypatch)
    gone = subprocess.Popen([sys.executable, "-c", "pass"])
    gone.wait()
    with open(f"{out}.checkpoint/lock", "w") as lock:  # as a kill -9 leaves it
        json.dump({"host": socket.gethostname(), "pid": gone.pid}, lock)
    capsys.readouterr()
    assert main(["connectivity", condition_tif, "-o", out, "--resume"] + RUN) == 0
    err = capsys.readouterr().err
    assert err == (f"velkan: warning: {out}.checkpoint: took over the lock of pid {gone.pid} on "
                   f"{socket.gethostname()}, which is no longer running\n")
    assert read(out)[0].tobytes() == expected_connectivity().tobytes()


def protected_shapefile_folder(tmp_path):
    folder = tmp_path / "out.tif.checkpoint"
    folder.mkdir()
    x, y = TRANSFORM @ (5, 5)
    geopandas.GeoDataFrame(geometry=[shapely.box(x, y - 1500, x + 1500, y)], crs="EPSG:3067").to_file(
        folder / "parks.shp")
    return ["--protected", str(folder / "parks.shp"), "--pa-to-pa"]


def notes_folder(tmp_path):
    (tmp_path / "out.tif.checkpoint").mkdir()
    (tmp_path / "out.tif.checkpoint" / "notes.txt").write_text("field notes")
    return []


def a_file(tmp_path):
    (tmp_path / "out.tif.checkpoint").write_text("not a folder")
    return []


def a_symlink(tmp_path):
    (tmp_path / "elsewhere").mkdir()
    os.symlink(tmp_path / "elsewhere", tmp_path / "out.tif.checkpoint")
    return []


@pytest.mark.parametrize("occupant, message", [
    (protected_shapefile_folder, "out.tif.checkpoint, the output's checkpoint, holds the input "),
    (notes_folder, "out.tif.checkpoint, the output's checkpoint, holds notes.txt, which velkan did not write; "
                   "move it or give another output name"),
    (a_file, "out.tif.checkpoint, the output's checkpoint, is a file; move it or give another output name"),
    (a_symlink, "out.tif.checkpoint, the output's checkpoint, is a symbolic link; move it or give another output name"),
])
def test_overwrite_removes_nothing_that_is_not_a_checkpoint(tmp_path, condition_tif, capsys, occupant,  # noqa: F811
                                                            message):
    options = occupant(tmp_path)
    before = sorted(glob.glob(f"{tmp_path}/out.tif.checkpoint/**", recursive=True))
    out = str(tmp_path / "out.tif")
    for flags in ([], ["--overwrite"], ["--resume", "--overwrite"]):
        assert main(["connectivity", condition_tif, "-o", out] + options + RUN + flags) == 2
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and err.startswith(f"velkan: -o {out}: {tmp_path}/{message}"), err
    assert sorted(glob.glob(f"{tmp_path}/out.tif.checkpoint/**", recursive=True)) == before
    assert not os.path.exists(out) and not leftovers(tmp_path)


def checkpoint_of_a_run_killed_in_its_first_second(out):
    """What an older run killed before its manifest left: a store and an empty done/."""
    os.makedirs(f"{out}.checkpoint/done")
    os.makedirs(f"{out}.checkpoint/tiles.zarr")


@pytest.mark.parametrize("flags", [[], ["--resume"], ["--resume", "--overwrite"]])
def test_a_run_that_never_got_past_its_survey_is_started_again(tmp_path, condition_tif, capsys, flags):  # noqa: F811
    out = str(tmp_path / "out.tif")
    scaled = write_raster(tmp_path / "scaled.tif", landscape(50, 40) * 4)  # exactly 4 times the fractions
    assert main(["connectivity", scaled, "-o", out] + RUN) == 2  # refused by the survey: nothing is left
    assert "outside [0, 1]; divide them with --condition-scale " in capsys.readouterr().err
    assert sorted(os.listdir(tmp_path)) == ["condition.tif", "scaled.tif"]
    checkpoint_of_a_run_killed_in_its_first_second(out)
    assert main(["connectivity", scaled, "-o", out, "--condition-scale", "4"] + RUN + flags) == 0
    assert read(out)[0].tobytes() == expected_connectivity().tobytes()
    assert not os.path.exists(f"{out}.checkpoint")


def test_temporaries_of_processes_that_are_gone_are_removed(tmp_path, condition_tif):  # noqa: F811
    gone = subprocess.Popen([sys.executable, "-c", "pass"])
    gone.wait()
    host = socket.gethostname()
    stale = tmp_path / f".out.tif.velkan-{host}-{gone.pid}-0123abcd.tif"
    live = tmp_path / f".out.tif.velkan-{host}-{os.getpid()}-4567cdef.tif"
    stale_checkpoint = tmp_path / f".out.tif.checkpoint.velkan-{host}-{gone.pid}-89abcdef"
    for path in (stale, live):
        path.write_bytes(b"half a GeoTIFF")
    stale_checkpoint.mkdir()
    assert main(["connectivity", condition_tif, "-o", str(tmp_path / "out.tif"), "-q"] + RUN) == 0
    assert not stale.exists() and not stale_checkpoint.exists() and live.exists()


@pytest.mark.parametrize("tile_size, warning", [
    ("100000", ""),
    ("2", "velkan: warning: tile size 2: each tile reads and prepares 500 times its own cells (a halo of 24 cells "
          "around it), which costs more than the tile computes; give a tile size of 96 or more\n"),
])
def test_tile_sizes_are_clamped_to_the_raster_and_tiny_ones_warned_about(tmp_path, condition_tif, capsys,  # noqa: F811
                                                                         tile_size, warning):
    out = str(tmp_path / "out.tif")
    assert main(["connectivity", condition_tif, "-o", out, "--tile-size", tile_size] + UNTILED) == 0
    assert capsys.readouterr().err == warning
    assert read(out)[0].tobytes() == expected_connectivity().tobytes()


def test_sigterm_stops_like_ctrl_c_and_the_run_resumes(tmp_path, condition_tif):  # noqa: F811
    out = str(tmp_path / "out.tif")
    command = [sys.executable, "-m", "velkan_tools", "connectivity", condition_tif, "-o", out] + SMALL_TILES
    child = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
    wait_for(lambda: glob.glob(f"{out}.checkpoint/done/*"), child)
    child.send_signal(signal.SIGTERM)
    assert child.wait(timeout=60) == 143
    err = child.stderr.read().splitlines()[-1]
    assert re.fullmatch(f"velkan: terminated; no output written; {re.escape(out)}.checkpoint keeps [0-9]+ finished "
                        "tiles?: run the same command with --resume to go on", err), err
    assert main(["connectivity", condition_tif, "-o", out, "--resume", "-q"] + SMALL_TILES) == 0
    assert read(out)[0].tobytes() == expected_connectivity().tobytes()


@pytest.fixture
def full_disk(tmp_path):
    """A folder on a file system with no space left (a tmpfs mounted for the test; root only)."""
    folder = tmp_path / "full"
    folder.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(folder)],
                      capture_output=True).returncode:
        pytest.skip("mounting a small tmpfs needs root")
    try:
        filler = os.open(folder / "filler", os.O_WRONLY | os.O_CREAT)
        with pytest.raises(OSError):
            while True:
                os.write(filler, b"\0" * 4096)
        os.close(filler)
        yield folder
    finally:
        subprocess.run(["umount", str(folder)], check=True)


@pytest.mark.parametrize("command", ["connectivity", "plot", "coverage", "zonal-gpkg", "zonal-csv", "demo"])
def test_a_full_disk_ends_every_command_with_one_line(tmp_path, condition_tif, full_disk, capsys,  # noqa: F811
                                                      command):
    polygons = polygons_file(tmp_path / "areas.gpkg", [shapely.box(*(TRANSFORM @ (3, 30)), *(TRANSFORM @ (20, 5)))])
    out = str(full_disk / "out.tif")
    argv = {
        "connectivity": ["connectivity", condition_tif, "-o", out] + RUN,
        "plot": ["connectivity", condition_tif, "-o", str(tmp_path / "out.tif"), "--plot",
                 str(full_disk / "map.png")] + RUN,
        "coverage": ["coverage", polygons, "--like", condition_tif, "-o", out],
        "zonal-gpkg": ["zonal", condition_tif, polygons, "-o", str(full_disk / "zonal.gpkg")],
        "zonal-csv": ["zonal", condition_tif, polygons, "-o", str(full_disk / "zonal.csv")],
        "demo": ["demo", "-o", str(full_disk / "demo"), "--no-progress", "-q"],
    }[command]
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("velkan: cannot write ") and "Traceback" not in err, err
    assert "No space left on device" in err or "disk" in err.lower() or "space" in err.lower(), err
    left = [os.path.relpath(p, full_disk) for p in glob.glob(f"{full_disk}/**", recursive=True)]
    assert sorted(left) in ([".", "filler"], [".", "demo", "filler"]), left


def test_a_failed_write_says_what_the_checkpoint_keeps(tmp_path, condition_tif, monkeypatch, capsys):  # noqa: F811
    import velkan_tools.streaming

    def disk_full(run, path, profile):
        raise OSError(28, "No space left on device", path)

    out = str(tmp_path / "out.tif")
    monkeypatch.setattr(velkan_tools.streaming, "assemble", disk_full)
    assert main(["connectivity", condition_tif, "-o", out] + RUN) == 2
    assert capsys.readouterr().err == (f"velkan: cannot write {out}: No space left on device ({out}.checkpoint "
                                       "keeps 6 finished tiles)\n")
    monkeypatch.undo()
    assert main(["connectivity", condition_tif, "-o", out, "--resume", "-q"] + RUN) == 0
    assert read(out)[0].tobytes() == expected_connectivity().tobytes()


def test_cluster_workers_in_another_folder_take_relative_paths(tmp_path, condition_tif, monkeypatch):  # noqa: F811
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)  # the workers start here and stay
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster:
        monkeypatch.chdir(tmp_path)
        assert main(["connectivity", "condition.tif", "-o", "out.tif", "--scheduler", cluster.scheduler_address,
                     "--threads", "1", "-q"] + RUN) == 0
    assert read(tmp_path / "out.tif")[0].tobytes() == expected_connectivity().tobytes()


def test_a_worker_that_cannot_open_a_file_fails_the_run_in_one_line(tmp_path, condition_tif, monkeypatch,  # noqa: F811
                                                                    capsys):
    import velkan_tools.tile_task

    def unreadable(run, rows, cols):
        raise rasterio.errors.RasterioIOError(f"{run.condition}: No such file or directory")

    monkeypatch.setattr(velkan_tools.tile_task, "computed_tile", unreadable)
    out = str(tmp_path / "out.tif")
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=False, dashboard_address=None) as cluster:
        assert main(["connectivity", condition_tif, "-o", out, "--scheduler", cluster.scheduler_address] + RUN) == 2
        worker = next(iter(cluster.workers.values())).address
    err = capsys.readouterr().err
    assert err == (f"velkan: worker {worker} on {socket.gethostname()}: cannot read {condition_tif} "
                   f"({condition_tif}: No such file or directory); the workers need the same file system as this "
                   "command, with the files at the same paths\n"), err
    assert os.path.isdir(f"{out}.checkpoint")  # the survey finished: the run can resume once the workers see it


def bow_tie(x, y):
    """A self-crossing ring: two triangles meeting at (x + 500, y - 500)."""
    return shapely.Polygon([(x, y), (x + 1000, y - 1000), (x + 1000, y), (x, y - 1000)])


@pytest.mark.parametrize("command", ["coverage", "zonal"])
def test_invalid_polygons_are_repaired_and_reported(tmp_path, condition_tif, capsys, command):  # noqa: F811
    x, y = TRANSFORM @ (3.3, 2.7)
    repaired = shapely.make_valid(bow_tie(x, y))
    path = polygons_file(tmp_path / "bowtie.gpkg", [bow_tie(x, y), shapely.box(x, y - 100, x + 100, y)])
    out = str(tmp_path / ("out.tif" if command == "coverage" else "out.csv"))
    argv = (["coverage", path, "--like", condition_tif, "-o", out] if command == "coverage"
            else ["zonal", condition_tif, path, "-o", out])
    assert main(argv) == 0
    assert capsys.readouterr().err == (f"velkan: warning: polygons {path}: 1 invalid features (the first is feature "
                                       "id 1) repaired with shapely's make_valid\n")
    if command == "coverage":
        cells = read(out)[0]
        centre = (int(np.floor((TRANSFORM.f - (y - 500)) / 100)), int(np.floor((x + 500 - TRANSFORM.c) / 100)))
        box = shapely.box(*(TRANSFORM @ (centre[1], centre[0] + 1)), *(TRANSFORM @ (centre[1] + 1, centre[0])))
        assert cells[centre] == pytest.approx(box.intersection(repaired).area / box.area, abs=1e-6)
        assert cells.sum(dtype=np.float64) * 100 * 100 == pytest.approx(shapely.union(repaired, shapely.box(x, y - 100, x + 100,
                                                                                              y)).area, rel=1e-6)
    else:
        import pandas

        table = pandas.read_csv(out)
        assert table["covered_area"][0] == pytest.approx(repaired.area, rel=1e-6)
