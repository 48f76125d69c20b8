"""Rebuilds the figures of docs/parameters.md and prints the numbers the page quotes.

With velkan installed with its tools extra (pip install ".[tools]"), run from the repository's root:

    python docs/figures.py

Every landscape is made from a fixed seed or by hand, so every run draws the same PNGs and prints
the same numbers. It takes about a minute on two cores.
"""
from pathlib import Path

import numpy as np
import shapely
from matplotlib import colormaps
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.collections import PatchCollection
from matplotlib.colors import to_rgb
from matplotlib.figure import Figure
from matplotlib.patches import Rectangle

import velkan_tools
from velkan_tools import ConnectivitySettings, search_reach
from velkan_tools.landscape import GRID, SEED, protected_areas, synthetic_condition

HERE = Path(__file__).resolve().parent
CELL = 100.0  # metres, every landscape here
DPI = 66
NO_VALUE = "0.82"


# ---- landscapes ----

def demo_landscape():
    """The landscape of `velkan demo` (200 x 200 cells of 100 m): condition with a lake and a road,
    three protected areas; and, for OLVI, a transition grid of one band, a July mean temperature
    in degrees C that falls 4 degrees from south to north with a cooler hill, from the same seed."""
    rng = np.random.default_rng(SEED)
    condition = synthetic_condition(GRID.shape, rng)
    protected = protected_areas(GRID, rng)
    rows, cols = np.mgrid[0:GRID.shape[0], 0:GRID.shape[1]].astype(np.float64)
    temperature = 15.0 + 4.0 * rows / GRID.shape[0] - 2.5 * np.exp(-((rows - 60) ** 2 + (cols - 140) ** 2) / 900.0)
    temperature += rng.normal(0.0, 0.05, GRID.shape)
    return condition, protected, temperature.astype(np.float32)


def run(condition, **keywords):
    """Values of a NumPy landscape of 100 m cells in the Finnish national grid."""
    values = velkan_tools.connectivity(condition, transform=GRID.transform, crs=GRID.crs, **keywords)
    return values.values


# ---- drawing ----

def extent_km(shape):
    return (0.0, shape[1] * CELL / 1000.0, 0.0, shape[0] * CELL / 1000.0)


def outline(axes, protected):
    t = GRID.transform
    for polygon in protected.geometry:
        for ring in [polygon.exterior, *polygon.interiors]:
            xy = np.asarray(ring.coords)
            axes.plot((xy[:, 0] - t.c) / 1000.0, (xy[:, 1] - (t.f + t.e * GRID.shape[0])) / 1000.0,
                      color="white", linewidth=0.9)


def map_panel(figure, axes, values, title, label, protected=None, missing="no data", cmap="viridis"):
    image = axes.imshow(np.ma.masked_invalid(values), extent=extent_km(values.shape), interpolation="nearest",
                        cmap=colormaps[cmap].with_extremes(bad=NO_VALUE))
    if protected is not None:
        outline(axes, protected)
    if np.isnan(values).any():
        axes.add_patch(Rectangle((0, 0), 0, 0, facecolor=NO_VALUE, edgecolor="0.5", label=missing))
        axes.legend(loc="lower right", fontsize=7, framealpha=0.85)
    axes.set_title(title, fontsize=9)
    axes.set_xlabel("km", fontsize=8)
    axes.tick_params(labelsize=7)
    figure.colorbar(image, ax=axes, shrink=0.8).set_label(label, fontsize=8)


def save(figure, name):
    path = HERE / name
    figure.savefig(path, format="png", dpi=DPI)
    print(f"wrote {path.relative_to(HERE.parent)} ({path.stat().st_size / 1000:.0f} kB)")


def two_panels():
    figure = Figure(figsize=(9.0, 3.7), layout="constrained")
    FigureCanvasAgg(figure)
    return figure, figure.subplots(1, 2)


# ---- the windows of each level ----

def annulus_cells(level, inner, outer, focal=(0.5, 0.5)):
    """(x, y, fraction) of the cells of `level` (aligned to multiples of it) that the annulus from
    `inner` to `outer` base cells around the focal cell's centre covers, by exact-enough areas."""
    ring = shapely.Point(focal).buffer(outer, quad_segs=128)
    if inner > 0:
        ring = ring.difference(shapely.Point(focal).buffer(inner, quad_segs=128))
    reach = int(np.ceil(outer / level)) + 1
    out = []
    for i in range(-reach, reach + 1):
        for j in range(-reach, reach + 1):
            cell = shapely.box(j * level, i * level, (j + 1) * level, (i + 1) * level)
            fraction = ring.intersection(cell).area / level ** 2
            if fraction > 0:
                out.append((j * level, i * level, fraction))
    return out


def level_windows(settings):
    """(level, inner, outer) of every level's annulus, in base cells from the focal cell's centre."""
    coarsest, w = max(settings.levels), settings.window_size
    outer_width = max(settings.outer_window, w)
    return [(level, 0 if level == 1 else w * level * 0.5, (outer_width if level == coarsest else w) * level)
            for level in settings.levels]


def windows_figure(settings):
    """The cells each level's window gathers around one focal cell, shaded by the fraction of each
    cell inside the level's annulus (the weight the cell gets); finer levels drawn over coarser."""
    colours = ["#c0392b", "#e67e22", "#27ae60", "#2471a3", "#7d3c98", "#17202a"]
    windows = level_windows(settings)
    reach = windows[-1][2]
    figure, panels = two_panels()
    for axes, span in zip(panels, (reach * 1.08, windows[min(2, len(windows) - 1)][2] * 1.1)):
        for k, (level, inner, outer) in reversed(list(enumerate(windows))):
            colour = to_rgb(colours[k % len(colours)])
            cells = annulus_cells(level, inner, outer)
            km = level * CELL / 1000.0
            axes.add_collection(PatchCollection(
                [Rectangle((x * CELL / 1000, y * CELL / 1000), km, km) for x, y, _ in cells],
                facecolors=[(*colour, 0.25 + 0.75 * f) for _, _, f in cells], edgecolor="white",
                linewidth=0.4 if km * 20 > span * CELL / 1000 else 0.0))
        for k, (level, inner, outer) in enumerate(windows):
            ring = f"{inner * CELL / 1000:g}–{outer * CELL / 1000:g} km"
            axes.plot([], [], "s", color=colours[k % len(colours)],
                      label=f"level {level}: {level * CELL:g} m cells, {ring}")
        axes.plot(0.05, 0.05, "k+", markersize=8)
        limit = span * CELL / 1000.0
        axes.set_xlim(-limit, limit)
        axes.set_ylim(-limit, limit)
        axes.set_aspect("equal")
        axes.set_xlabel("km from the focal cell", fontsize=8)
        axes.tick_params(labelsize=7)
    panels[0].set_title(f"the whole window (reach {reach * CELL / 1000:g} km)", fontsize=9)
    panels[1].set_title("near the focal cell (+)", fontsize=9)
    panels[0].legend(loc="upper left", fontsize=7, framealpha=0.9)
    save(figure, "windows.png")


def print_windows(settings):
    print("\nlevels and windows with the defaults, at 100 m cells:")
    for level, inner, outer in level_windows(settings):
        print(f"  level {level}: cells of {level * CELL:g} m, annulus {inner:g}-{outer:g} base cells "
              f"= {inner * CELL / 1000:g}-{outer * CELL / 1000:g} km")
    reach = search_reach(settings.levels, settings.window_size, settings.outer_window)
    print(f"  search_reach (a tile's halo): {reach} cells = {reach * CELL / 1000:g} km")


# ---- the three forms ----

def forms_figures(condition, protected, temperature):
    values = run(condition)
    figure, (left, right) = two_panels()
    map_panel(figure, left, condition, "habitat condition (lake: no data; road 0.05)", "condition")
    map_panel(figure, right, values, "habitat connectivity (defaults)", "habitat connectivity")
    save(figure, "form-connectivity.png")
    print(f"  habitat connectivity: mean {np.nanmean(values):.3f}, min {np.nanmin(values):.3f}, "
          f"max {np.nanmax(values):.3f}")

    kova = run(condition, protected=protected, pa_to_pa=True)
    figure, (left, right) = two_panels()
    map_panel(figure, left, condition, "condition and protected areas", "condition", protected)
    map_panel(figure, right, kova, "KOVA: connectivity to protected habitat", "KOVA", protected,
              missing="outside protected areas")
    save(figure, "form-kova.png")
    inside = np.isfinite(kova)
    print(f"  KOVA: {inside.mean():.1%} of the cells computed (protected), mean {np.nanmean(kova):.3f}, "
          f"max {np.nanmax(kova):.3f}")

    scale = 1.0  # degrees C: a difference of 1 degree gives a similarity of exp(-1)
    olvi = run(condition, transition=[(temperature / scale)[np.newaxis]])
    figure, (left, right) = two_panels()
    map_panel(figure, left, temperature, "transition grid: July mean temperature", "°C", cmap="coolwarm")
    map_panel(figure, right, olvi, "OLVI, with 1 °C as the unit of the band", "OLVI")
    save(figure, "form-olvi.png")
    print(f"  OLVI: mean {np.nanmean(olvi):.3f}, min {np.nanmin(olvi):.3f}, max {np.nanmax(olvi):.3f}; "
          f"the band's standard deviation over the raster is {np.std(temperature):.2f} °C")
    for label, grids in [("the band in units of 0.5 °C", [temperature / 0.5]),
                         ("the band in units of 2 °C", [temperature / 2.0]),
                         ("a band equal everywhere", [np.zeros_like(temperature)]),
                         ("a second grid 1 °C warmer (1 °C a unit)", [temperature, temperature + 1.0])]:
        other = run(condition, transition=[grid[np.newaxis] for grid in grids])
        print(f"  OLVI with {label}: mean {np.nanmean(other):.3f}")


def print_sensitivity(condition):
    print("\nhabitat connectivity of the demo landscape (mean, 5th and 95th percentile) as one option changes:")
    for label, keywords in [("defaults", {}), ("--max-cost 20", dict(max_cost=20)),
                            ("--max-cost 100", dict(max_cost=100)), ("--lambdas 0.5,1,2", dict(lambdas=[0.5, 1, 2])),
                            ("--lambdas 2", dict(lambdas=[2])), ("--lambdas 20", dict(lambdas=[20])),
                            ("--lambdas 200", dict(lambdas=[200])), ("--levels 1,2,4", dict(levels=[1, 2, 4])),
                            ("--outer-window 21", dict(outer_window=21)),
                            ("--window-mode square", dict(window_mode="square"))]:
        values = run(condition, **keywords)
        low, high = np.nanpercentile(values, [5, 95])
        print(f"  {label:22s} mean {np.nanmean(values):.3f}  p5 {low:.3f}  p95 {high:.3f}")


# ---- barriers ----

SIDE = 241  # a uniform landscape of condition 1, 24.1 km a side
WALL = 120  # the wall's first column: on a boundary of the level-8 cells
NEAR = [WALL - 1]  # the focal cell next to the wall, on its west side


def transect(condition, traversal=None, columns=None, row=SIDE // 2, **keywords):
    """The values of a row (the middle one unless said), or of some of its columns, of a landscape
    of SIDE x SIDE cells."""
    mask = np.ones(condition.shape, bool)
    mask[row, slice(None) if columns is None else columns] = False
    values = run(condition, mask=mask, traversal=traversal, **keywords)
    return values[row] if columns is None else values[row, columns]


def with_wall(landscape, value, width=1, column=WALL):
    out = landscape.copy()
    out[:, column:column + width] = value
    return out


def barrier_figure():
    """The change of the value along a row crossing a wall, against the same landscape without it."""
    intact = np.ones((SIDE, SIDE), np.float32)
    walls = [  # (label, condition, traversal, keywords)
        ("condition 0, max-cost 10", with_wall(intact, 0.0), None, {}),
        ("traversal 0 (condition 1), max-cost 10", intact, with_wall(intact, 0.0), {}),
        ("traversal 0 (condition 1), max-cost 1000", intact, with_wall(intact, 0.0), dict(max_cost=1000)),
        ("traversal 0 (condition 1), max-cost 100000", intact, with_wall(intact, 0.0), dict(max_cost=100000)),
        ("no data (NaN), 1 cell wide", with_wall(intact, np.nan), None, {}),
        ("no data (NaN), 9 cells wide", with_wall(intact, np.nan, 9), None, {}),
    ]
    distances = np.arange(1, WALL + 1)  # cells from the wall, on its west side
    figure = Figure(figsize=(7.5, 3.6), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots()
    print("\nchange of the value beside a wall across a landscape of condition 1 (one cell wide unless said):")
    for label, condition, traversal, keywords in walls:
        change = transect(condition, traversal, **keywords) / transect(intact, **keywords) - 1
        west = change[WALL - distances]
        print(f"  {label:44s} next to it {west[0]:+.1%}, 1 km away {west[9]:+.1%}, 3 km away {west[29]:+.1%}")
        if "100000" not in label:
            axes.plot(distances * CELL / 1000.0, 100 * west, label=label, linewidth=1.4)
    axes.axhline(0, color="0.6", linewidth=0.6)
    axes.set_xlabel("distance of the focal cell from the wall (km)", fontsize=8)
    axes.set_ylabel("change of the value (%)", fontsize=8)
    axes.set_title("a 100 m wall across a landscape of condition 1 (defaults unless said)", fontsize=9)
    axes.tick_params(labelsize=7)
    axes.legend(fontsize=7)
    save(figure, "barrier.png")


def change_next_to_wall(condition, traversal=None, column=WALL, **keywords):
    """The relative change of the value of the cell west of the wall's column, against a landscape
    of condition 1 without it."""
    intact = np.ones((SIDE, SIDE), np.float32)
    near = [column - 1]
    return transect(condition, traversal, near, **keywords)[0] / transect(intact, None, near, **keywords)[0] - 1


def print_barrier_controls():
    intact = np.ones((SIDE, SIDE), np.float32)
    inside = with_wall(intact, 0.0, column=123)
    print(f"\nthe condition-0 wall inside a level-8 cell (column 123), next to it: "
          f"{change_next_to_wall(inside, column=123):+.1%}")
    loss = change_next_to_wall(with_wall(intact, 0.0), intact)
    print(f"the wall of condition 0 with traversal 1 (habitat lost, no barrier), next to it: {loss:+.1%}")
    print("the traversal-0 wall (max-cost 10) next to it, with the levels and with one fine level of the same reach:")
    for label, keywords in [("levels 1,2,4,8", {}), ("levels 1, window 87", dict(levels=[1], window_size=87,
                                                                                 outer_window=87))]:
        for lambdas in ([2, 20, 200], [2]):
            change = change_next_to_wall(intact, with_wall(intact, 0.0), lambdas=lambdas, **keywords)
            print(f"  {label:20s} lambdas {','.join(map(str, lambdas)):9s} {change:+.1%}")
    diagonal = intact.copy()
    cells = np.arange(SIDE)
    diagonal[cells, cells] = 0.0
    staircase = diagonal.copy()
    staircase[cells[1:], cells[:-1]] = 0.0
    middle = SIDE // 2
    corners = change_next_to_wall(intact, diagonal, column=middle, row=middle, max_cost=1000)
    stairs = change_next_to_wall(intact, staircase, column=middle, row=middle + 1, max_cost=1000)
    print(f"a diagonal line of traversal 0 (max-cost 1000), next to it: its cells touching at corners {corners:+.1%}, "
          f"as a staircase {stairs:+.1%}")
    print("no-data strips before a far side of condition 0.5 (value next to the strip; the near side is 1):")
    far = with_wall(intact, 0.5, SIDE, column=WALL + 1)
    print(f"  no strip {transect(far, columns=NEAR)[0]:.3f}", end="")
    for width in (1, 3, 9):
        print(f", {width} cells {transect(with_wall(far, np.nan, width), columns=NEAR)[0]:.3f}", end="")
    print(f"; the landscape cut there {transect(with_wall(far, np.nan, SIDE), columns=NEAR)[0]:.3f}")


def print_uniform():
    print("\nthe value of a uniform landscape (traversal = condition), far from its edges:")
    for condition in (1.0, 0.9, 0.75, 0.5, 0.25):
        landscape = np.full((SIDE, SIDE), condition, np.float32)
        values = [transect(landscape, columns=[SIDE // 2], lambdas=lambdas)[0]
                  for lambdas in ([2, 20, 200], [2], [20], [200])]
        print(f"  condition {condition:4g}: defaults {values[0]:.3f}; lambdas 2: {values[1]:.3f}, 20: {values[2]:.3f},"
              f" 200: {values[3]:.3f}")


def main():
    defaults = ConnectivitySettings()
    print_windows(defaults)
    windows_figure(defaults)
    condition, protected, temperature = demo_landscape()
    print("\nthe three forms on the demo landscape, with the defaults:")
    forms_figures(condition, protected, temperature)
    print_sensitivity(condition)
    barrier_figure()
    print_barrier_controls()
    print_uniform()


if __name__ == "__main__":
    main()
