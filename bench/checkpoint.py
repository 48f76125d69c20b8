"""What the streamed run's checks cost: the inputs' content digests and a resume that finds a damaged tile.

    python bench/checkpoint.py [--size 20000] [--folder /tmp/velkan-scale]

1. The survey of a SIZE x SIZE condition with a mask (the inputs of bench/scale.py, kept in its
   folder), with the content digests taken as the run takes them and with the digests off: the
   difference is what the digests cost. Against it, the whole run's time on that raster with
   every cell a focal cell, estimated from a streamed run of 1,000 x 1,000 focal cells at the
   command's defaults (2 threads).
2. A resume of a run whose tiles all finished (1,000 x 1,000 cells, tiles of 256): every tile's
   digest checked and the output assembled; then the same resume after 16 bytes of one tile's
   chunk were flipped, so that the tile is computed again.
"""
import argparse
import glob
import os
import tempfile
import time
from pathlib import Path
from unittest import mock

from scale import SETTINGS, write_inputs

import velkan_tools.checkpoint
import velkan_tools.streaming
from velkan_tools import connectivity_from_files
from velkan_tools.checkpoint import checkpoint_path


def timed(function, *args, **kwargs):
    start = time.perf_counter()
    function(*args, **kwargs)
    return time.perf_counter() - start


def run_stopped_at(step, condition, mask, out, **options):
    """Seconds of a streamed run stopped (as by Ctrl-C) where it calls `step` of velkan_tools.streaming."""
    def stop(*args, **kwargs):
        raise KeyboardInterrupt

    with mock.patch.object(velkan_tools.streaming, step, stop):
        start = time.perf_counter()
        try:
            connectivity_from_files(condition, out, mask=mask, n_threads=2, progress=False, overwrite=True,
                                    **SETTINGS, **options)
        except KeyboardInterrupt:
            pass
        return time.perf_counter() - start


def survey_seconds(condition, mask, folder, digests):
    """Seconds of the run up to its first tile: the checkpoint made and the survey."""
    add = velkan_tools.checkpoint.Digests.add if digests else lambda self, role, block: None
    with mock.patch.object(velkan_tools.checkpoint.Digests, "add", add):
        return run_stopped_at("compute_and_check", condition, mask, folder / "survey.tif")


def finished_run(condition, mask, out):
    """Seconds of a run whose every tile finished, stopped before its output was assembled."""
    return run_stopped_at("assemble", condition, mask, out)


def flip_a_chunk(out):
    chunk = sorted(p for p in glob.glob(f"{checkpoint_path(out)}/tiles.zarr/values/c/**", recursive=True)
                   if os.path.isfile(p))[0]
    data = bytearray(Path(chunk).read_bytes())
    for k in range(16):
        data[len(data) // 2 + k] ^= 0xFF
    Path(chunk).write_bytes(bytes(data))


def large_raster_benchmark(name, description):
    """(size, folder) of a benchmark on scale.py's large inputs (--size, --folder), its heading printed."""
    parser = argparse.ArgumentParser(description=description.splitlines()[0])
    parser.add_argument("--size", type=int, default=20000)
    parser.add_argument("--folder", default=os.path.join(tempfile.gettempdir(), "velkan-scale"))
    args = parser.parse_args()
    folder = Path(args.folder)
    folder.mkdir(parents=True, exist_ok=True)
    print(f"velkan {name} benchmark, {os.cpu_count()} logical CPUs, load average {os.getloadavg()[0]:.2f}\n")
    return args.size, folder


def main():
    size, folder = large_raster_benchmark("checkpoint", __doc__)
    condition, mask = write_inputs(folder, size)
    with_digests = survey_seconds(condition, mask, folder, True)
    without = survey_seconds(condition, mask, folder, False)
    small = folder / "all-focal"
    small.mkdir(exist_ok=True)
    small_condition, small_mask = write_inputs(small, 1000, band=((0, 1000), (0, 1000)))
    out = small / "checkpoint-bench.tif"
    per_cell = finished_run(small_condition, small_mask, out) / 1e6
    whole_run = per_cell * size ** 2
    digests = with_digests - without
    print(f"| {size:,} x {size:,} cells | seconds |")
    print("|---|---|")
    print(f"| survey with the content digests | {with_digests:.1f} |")
    print(f"| survey without them | {without:.1f} |")
    print(f"| the digests | {digests:.1f} |")
    print(f"| whole run, every cell focal (estimated, {per_cell * 1e6:.1f} µs a cell) | {whole_run:,.0f} |")
    print(f"| the digests' share of the run | {digests / whole_run:.4%} |")

    intact = timed(connectivity_from_files, small_condition, out, mask=small_mask, n_threads=2, progress=False,
                   resume=True, **SETTINGS)
    finished_run(small_condition, small_mask, out)
    flip_a_chunk(out)
    damaged = timed(connectivity_from_files, small_condition, out, mask=small_mask, n_threads=2, progress=False,
                    resume=True, **SETTINGS)
    print("\n| resume of 1,000 x 1,000 cells, 16 tiles all finished | seconds |")
    print("|---|---|")
    print(f"| every tile checked, output assembled | {intact:.2f} |")
    print(f"| the same with one tile damaged and computed again | {damaged:.2f} |")
    print(f"| the whole run | {per_cell * 1e6:.2f} |")
    out.unlink()


if __name__ == "__main__":
    main()
