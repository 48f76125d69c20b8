"""connectivity: throughput, per-focal-cell split, peer and limit, memory, in one run.

    python bench/connectivity.py [--quick] [--rows N] [--no-build]

A fixed-seed 512 x 512 landscape (smooth condition in [0, 1], ~5 % NaN cells, projected 100 m
cells), levels [1, 2, 4, 8], window_size 3, outer_window 11, lambdas [2, 20, 200], in five
configurations: circular; square; geographic (0.001 degree cells near latitude 60); OLVI
(two transition grids of three bands, pa_to_pa off); KOVA (pa_to_pa on, protected patches).
Only a band of N rows in the middle (default 32, --quick 16) holds the focal cells, the rest
masked, so a run takes minutes; the searches still see the whole landscape. In KOVA the mask
also marks the protected cells, so its focal cells are the protected patches inside the band.

For each configuration:
- focal cells per second of velkan.connectivity at n_threads 1 and 2 (best of 5, --quick 1),
  the two calls and the peer below taking turns in every repeat, so that a slow spell of a
  shared machine falls on all of them alike; the peak RSS over one more call at each thread
  count (Linux: the peak is reset through /proc/self/clear_refs);
- the per-focal-cell split into gathering, graph building, the two searches and the kernels,
  from the C++ binary bench_focal_cell, fed the same landscape and configuration through a
  temporary folder (the script builds it with cmake in build/bench unless --no-build);
- the limit: the two searches alone on the same graphs (each graph built once, its searches
  repeated), against the call's whole wall time per focal cell at one thread;
- allocations in steady state: operator new calls counted (replaced global operator new in
  bench_focal_cell) over the second half of the focal rows, after the first half warmed the
  engine's per-worker scratch up through its own row loop;
- the peer: skimage.graph.MCP_Geometric doing one full-resolution least-cost search from a
  focal cell over a square window of the same reach (outer half-extent of the coarsest level),
  with the engine's path weight as cost per unit length and NaN impassable, on 50 focal cells.
The header gives the load average and the share of CPU time the host gave to other guests
during the run (steal time), which skews every figure of a shared machine.
Last, the peak memory of one 4,000 x 4,000 call without traversal, PA or transition grids
(nearly every cell masked: preparation dominates memory), in bytes per cell above the inputs.
Needs the bench extra: pip install ".[bench]".
"""
import argparse
import os
import subprocess
import tempfile
from datetime import date

# OpenBLAS's worker threads keep spinning for a while after NumPy uses them; on a
# 2-core machine they take time from velkan's 2-thread runs. Set before NumPy loads.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
from pathlib import Path

import numpy as np
from skimage.graph import MCP_Geometric
from timing import StolenTime, interleaved_best

import velkan

SIZE = 512
LEVELS = [1, 2, 4, 8]
LAMBDAS = [2.0, 20.0, 200.0]
MAX_COST = 0.2
WINDOW_SIZE = 3
OUTER_WINDOW = 11
PROJECTED = (100.0, 0.0, 0.0, 0.0, -100.0, 0.0)  # 100 m cells
GEOGRAPHIC = (0.001, 0.0, 10.0, 0.0, -0.001, 60.256)  # 0.001 degree cells, centred on latitude 60
# The coarsest level's outer window reaches OUTER_WINDOW coarse cells each way.
REACH = OUTER_WINDOW * max(LEVELS)
PEER_FOCAL_CELLS = 50
MEMORY_SIZE = 4000

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
ENGINE_BENCH = BUILD / "bench_focal_cell"


def smooth_field(seed, bands=None):
    """Noise smoothed by a 17-cell box filter along both axes, scaled to [0, 1]."""
    rng = np.random.default_rng(seed)
    shape = (SIZE + 16, SIZE + 16) + (() if bands is None else (bands,))
    noise = rng.standard_normal(shape)
    kernel = np.ones(17) / 17.0
    for axis in (0, 1):
        noise = np.apply_along_axis(lambda v: np.convolve(v, kernel, mode="same"), axis, noise)
    field = noise[8:-8, 8:-8]
    return ((field - field.min()) / (field.max() - field.min())).astype(np.float32)


def landscape():
    condition = smooth_field(2026)
    condition[np.random.default_rng(7).random(condition.shape) < 0.05] = np.nan
    return condition


def level_transforms(base):
    a, b, c, d, e, f = base
    return {L: (a * L, b * L, c, d * L, e * L, f) for L in LEVELS}


def configurations(condition, band_rows):
    """The arguments of velkan.connectivity (all but n_threads) for every configuration."""
    outside_band = np.ones(condition.shape, bool)
    top = (SIZE - band_rows) // 2
    outside_band[top:top + band_rows, :] = False
    plain = dict(condition=condition, mask=outside_band, transgrid_list=None,
                 transforms=level_transforms(PROJECTED), levels=LEVELS, lambdas=LAMBDAS, is_geo=False,
                 max_cost=MAX_COST, window_size=WINDOW_SIZE, outer_window=OUTER_WINDOW, offsets=(0, 0),
                 window_mode="circular", pa_to_pa=False)
    protected = smooth_field(31) > 0.6
    return {
        "circular": plain,
        "square": {**plain, "window_mode": "square"},
        "geographic": {**plain, "transforms": level_transforms(GEOGRAPHIC), "is_geo": True},
        "OLVI": {**plain, "transgrid_list": [smooth_field(41, bands=3), smooth_field(42, bands=3)]},
        "KOVA": {**plain, "mask": outside_band | ~protected, "pa_to_pa": True},
    }


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak_rss():
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def peak_rss_of_calls(arguments):
    """Peak RSS (KiB) over one call at 1 and one at 2 threads, and the RSS before them."""
    before = status_kib("VmRSS")
    reset_peak_rss()
    for threads in (1, 2):
        velkan.connectivity(**arguments, n_threads=threads)
    return status_kib("VmHWM"), before


def build_engine_bench():
    """Builds bench_focal_cell incrementally, so its figures follow the sources."""
    commands = [["cmake", "--build", str(BUILD), "-j2", "--target", "bench_focal_cell"]]
    if not (BUILD / "CMakeCache.txt").exists():
        commands.insert(0, ["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DVELKAN_PYTHON=OFF", "-DVELKAN_BENCH=ON"])
    for command in commands:
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"{' '.join(command)} failed:\n{done.stdout[-3000:]}{done.stderr[-3000:]}")


def write_engine_folder(folder, arguments, passes, search_repeats):
    """The configuration as bench_focal_cell reads it: config.txt and raw rasters."""
    arguments["condition"].astype(np.float32).tofile(folder / "condition.f32")
    arguments["mask"].astype(np.uint8).tofile(folder / "mask.u8")
    grids = arguments["transgrid_list"] or []
    for i, grid in enumerate(grids):
        grid.astype(np.float32).tofile(folder / f"transition_{i}.f32")
    lines = [
        f"rows {SIZE}", f"cols {SIZE}",
        "levels " + " ".join(map(str, arguments["levels"])),
        "lambdas " + " ".join(map(str, arguments["lambdas"])),
        f"max_cost {arguments['max_cost']}", f"window_size {arguments['window_size']}",
        f"outer_window {arguments['outer_window']}", f"window_mode {arguments['window_mode']}",
        f"is_geo {int(arguments['is_geo'])}", f"pa_to_pa {int(arguments['pa_to_pa'])}",
        "transition_bands " + " ".join(str(grid.shape[2]) for grid in grids),
        f"passes {passes}", f"search_repeats {search_repeats}",
    ]
    lines += [f"transform {level} " + " ".join(repr(v) for v in t) for level, t in arguments["transforms"].items()]
    (folder / "config.txt").write_text("\n".join(lines) + "\n")


def engine_parts(arguments, passes, search_repeats):
    """Runs bench_focal_cell on the configuration; its "key value" lines as a dict of floats."""
    with tempfile.TemporaryDirectory() as folder:
        write_engine_folder(Path(folder), arguments, passes, search_repeats)
        done = subprocess.run([str(ENGINE_BENCH), folder], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"bench_focal_cell failed:\n{done.stderr}")
    return {key: float(value) for key, value in (line.split() for line in done.stdout.splitlines())}


def peer_focal_cells(arguments):
    """PEER_FOCAL_CELLS focal cells of the configuration, on valid condition, from a fixed seed."""
    rows, cols = np.nonzero(~arguments["mask"] & np.isfinite(arguments["condition"]))
    pick = np.random.default_rng(5).choice(rows.size, PEER_FOCAL_CELLS, replace=False)
    return list(zip(rows[pick], cols[pick]))


def cell_sampling_km(arguments):
    """(row, column) cell sizes in km, at the landscape's centre for geographic cells."""
    a, _, _, _, e, f = arguments["transforms"][1]
    if not arguments["is_geo"]:
        return abs(e) / 1000.0, abs(a) / 1000.0
    km_per_degree = 111.32
    latitude = np.radians(f + e * SIZE / 2)
    return abs(e) * km_per_degree, abs(a) * km_per_degree * np.cos(latitude)


def peer_searches(arguments):
    """One MCP_Geometric search per focal cell over its (2 REACH + 1)-cell square window, clipped
    to the landscape, as a user without velkan would write it: a callable running them all."""
    condition = arguments["condition"]
    # The engine's path weight per unit length; NaN cells impassable (MCP skips infinite costs).
    costs = np.where(np.isfinite(condition), (1.0 - MAX_COST) * condition + MAX_COST, np.inf)
    sampling = cell_sampling_km(arguments)
    cells = peer_focal_cells(arguments)

    def run():
        for r, c in cells:
            r0, c0 = max(r - REACH, 0), max(c - REACH, 0)
            window = costs[r0:r + REACH + 1, c0:c + REACH + 1]
            MCP_Geometric(window, fully_connected=True, sampling=sampling).find_costs([(r - r0, c - c0)])

    return run


def memory_bytes_per_cell():
    """Peak memory of a 4,000 x 4,000 call above its inputs, and the call's focal-cell count."""
    rng = np.random.default_rng(11)
    condition = rng.random((MEMORY_SIZE, MEMORY_SIZE), dtype=np.float32)
    condition[rng.random(condition.shape) < 0.05] = np.nan
    mask = np.ones(condition.shape, bool)
    mask[MEMORY_SIZE // 2, MEMORY_SIZE // 2:MEMORY_SIZE // 2 + 16] = False
    arguments = dict(condition=condition, mask=mask, transgrid_list=None, transforms=level_transforms(PROJECTED),
                     levels=LEVELS, lambdas=LAMBDAS, is_geo=False, max_cost=MAX_COST, window_size=WINDOW_SIZE,
                     outer_window=OUTER_WINDOW, offsets=(0, 0))
    before = status_kib("VmRSS")
    reset_peak_rss()
    velkan.connectivity(**arguments, n_threads=2)
    peak = status_kib("VmHWM")
    return (peak - before) * 1024.0 / condition.size, int((~mask).sum())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="16 focal rows, best of 1, one C++ pass")
    parser.add_argument("--rows", type=int, help="focal rows in the band (default 32, --quick 16)")
    parser.add_argument("--no-build", action="store_true", help="use build/bench/bench_focal_cell as it is")
    options = parser.parse_args()
    load_at_start = os.getloadavg()[0]
    stolen = StolenTime()
    # 16 rows at least: the allocation count warms up over the first half, which must
    # see every row phase of the coarsest level (8) for the circular coverage cache.
    rows = options.rows or (16 if options.quick else 32)
    repeats, passes, search_repeats = (1, 1, 2) if options.quick else (5, 3, 3)
    if not options.no_build:
        build_engine_bench()
    elif not ENGINE_BENCH.exists():
        raise SystemExit(f"{ENGINE_BENCH} is missing: cmake -S . -B build/bench -DVELKAN_PYTHON=OFF "
                         "-DVELKAN_BENCH=ON && cmake --build build/bench --target bench_focal_cell")

    # First, while the process holds no freed memory that would hide the call's own peak.
    memory, memory_focal = memory_bytes_per_cell()
    configs = configurations(landscape(), rows)
    results = {}
    for name, arguments in configs.items():
        r = results[name] = {"focal": int((~arguments["mask"]).sum())}
        peak, before = peak_rss_of_calls(arguments)
        r["peak_mib"], r["own_mib"] = peak / 1024, (peak - before) / 1024
        best, _ = interleaved_best(repeats, {
            "seconds_1": lambda arguments=arguments: velkan.connectivity(**arguments, n_threads=1),
            "seconds_2": lambda arguments=arguments: velkan.connectivity(**arguments, n_threads=2),
            "peer": peer_searches(arguments),
        })
        r.update(best)
        r["call_us"] = 1e6 * r["seconds_1"] / r["focal"]
        r["peer_us"] = 1e6 * r["peer"] / PEER_FOCAL_CELLS
        r["parts"] = engine_parts(arguments, passes, search_repeats)

    # Other work on the machine skews the times, the 2-thread ones most: say how busy it was.
    print(f"load average (1 min) at start {load_at_start:.2f}, at end {os.getloadavg()[0]:.2f}; "
          f"time stolen by other guests of the host: {stolen.share():.1%} of CPU time")
    print(f"connectivity, {SIZE} x {SIZE} landscape, levels {LEVELS}, window {WINDOW_SIZE}, outer {OUTER_WINDOW}, "
          f"lambdas {[int(x) for x in LAMBDAS]}; focal band of {rows} rows; {os.cpu_count()} logical CPUs; "
          f"best of {repeats}; {date.today()}\n")
    print(f"{'configuration':13s} {'focal cells':>11s} {'1 thread/s':>10s} {'2 threads/s':>11s} {'speed-up':>8s} "
          f"{'peak RSS MiB':>12s} {'call MiB':>8s}")
    for name, r in results.items():
        print(f"{name:13s} {r['focal']:11,d} {r['focal'] / r['seconds_1']:10,.0f} {r['focal'] / r['seconds_2']:11,.0f} "
              f"{r['seconds_1'] / r['seconds_2']:8.2f} {r['peak_mib']:12.1f} {r['own_mib']:8.1f}")

    print(f"\nper focal cell, 1 thread, microseconds: the call's wall time, and the engine's parts "
          f"(bench_focal_cell, best of {passes} passes);\nsearches alone: graph built once, its two searches "
          f"repeated {search_repeats} times; allocations: operator new calls in steady state;\n"
          f"tables: bytes per cell of the per-call tables (step and link lengths, distance kernels, window plans)")
    print(f"{'configuration':13s} {'call':>7s} {'gather':>7s} {'graph':>7s} {'searches':>8s} {'kernels':>7s} "
          f"{'parts':>7s} {'call/searches':>13s} {'alone':>7s} {'call/alone':>10s} {'allocations':>17s} "
          f"{'tables':>6s}")
    for name, r in results.items():
        p = r["parts"]
        allocations = f"{int(p['allocations'])} in {int(p['counted_cells']):,d} cells"
        print(f"{name:13s} {r['call_us']:7.1f} {p['gather_us']:7.1f} {p['graph_us']:7.1f} {p['searches_us']:8.1f} "
              f"{p['kernels_us']:7.1f} {p['total_us']:7.1f} {r['call_us'] / p['searches_us']:13.2f} "
              f"{p['searches_alone_us']:7.1f} {r['call_us'] / p['searches_alone_us']:10.2f} {allocations:>17s} "
              f"{p['call_table_bytes'] / p['cells']:6.2f}")

    print(f"\npeer: skimage MCP_Geometric, one search over a {2 * REACH + 1} x {2 * REACH + 1} window per focal "
          f"cell, {PEER_FOCAL_CELLS} focal cells; velkan: the call at 1 thread, per focal cell")
    print(f"{'configuration':13s} {'velkan us':>9s} {'MCP us':>9s} {'velkan/MCP':>10s} {'MCP/velkan':>10s}")
    for name, r in results.items():
        print(f"{name:13s} {r['call_us']:9.1f} {r['peer_us']:9.1f} {r['call_us'] / r['peer_us']:10.4f} "
              f"{r['peer_us'] / r['call_us']:10.1f}")

    print(f"\nmemory: one {MEMORY_SIZE:,d} x {MEMORY_SIZE:,d} call (circular, no traversal, PA or transition grids, "
          f"{memory_focal} focal cells, 2 threads): {memory:.1f} bytes per cell above the inputs")


if __name__ == "__main__":
    main()
