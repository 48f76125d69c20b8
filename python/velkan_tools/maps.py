"""PNG maps of rasters that read at a glance: titled by what they show, axes in km (projected
metres) or degrees, cells without data grey and named in a legend, protected areas outlined."""
from dataclasses import dataclass

import numpy as np
from matplotlib import colormaps
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import Patch
from matplotlib.ticker import FuncFormatter
from rasterio.transform import array_bounds

from .rasters import crs_name

NO_DATA_COLOUR = "0.82"
OUTLINE_COLOUR = "white"
# What a cell without a value is, by what the map shows: KOVA computes protected cells only.
MISSING = {"KOVA": "outside protected areas"}


@dataclass
class Panel:
    title: str
    values: np.ndarray
    label: str  # of the colour bar: what the value is
    outlined: bool = False  # draw the protected-area outlines over it


def axis_units(grid):
    """(scale from the CRS's units to the axes', x label, y label): km for projected metres, degrees
    for geographic CRSs."""
    name = crs_name(grid.crs)
    if grid.crs is not None and grid.crs.is_geographic:
        return 1.0, f"longitude (°, {name})", f"latitude (°, {name})"
    return 1e-3, f"easting (km, {name})", f"northing (km, {name})"


def draw_outlines(axes, outlines, scale):
    for exterior, holes in outlines:
        for ring in [exterior, *holes]:
            closed = np.vstack([ring, ring[:1]]) * scale
            axes.plot(closed[:, 0], closed[:, 1], color=OUTLINE_COLOUR, linewidth=0.9)


def draw_panel(figure, axes, panel, grid, outlines):
    scale, x_label, y_label = axis_units(grid)
    west, south, east, north = array_bounds(grid.shape[0], grid.shape[1], grid.transform)
    colours = colormaps["viridis"].with_extremes(bad=NO_DATA_COLOUR)
    image = axes.imshow(np.ma.masked_invalid(panel.values), extent=(west * scale, east * scale, south * scale,
                                                                      north * scale),
                        cmap=colours, interpolation="nearest")
    axes.set_title(panel.title)
    axes.set_xlabel(x_label, fontsize=8)
    axes.set_ylabel(y_label, fontsize=8)
    # Thousands separated, and no more digits than a tick has (382.5, 6,717.5).
    readable = FuncFormatter(lambda value, _: f"{value:,.10g}")
    axes.xaxis.set_major_formatter(readable)
    axes.yaxis.set_major_formatter(readable)
    axes.tick_params(labelsize=7)
    if grid.crs is not None and grid.crs.is_geographic:
        # A degree of longitude is cos(latitude) of a degree of latitude on the ground.
        axes.set_aspect(1 / np.cos(np.radians((south + north) / 2)))
    legend = []
    if np.isnan(panel.values).any():
        legend.append(Patch(facecolor=NO_DATA_COLOUR, edgecolor="0.5", label=MISSING.get(panel.label, "no data")))
    if panel.outlined and outlines:
        draw_outlines(axes, outlines, scale)
        axes.set_xlim(west * scale, east * scale)
        axes.set_ylim(south * scale, north * scale)
        legend.append(Line2D([], [], color=OUTLINE_COLOUR, linewidth=1.5, label="protected areas"))
    if legend:
        axes.legend(handles=legend, loc="lower right", fontsize=7, framealpha=0.85, facecolor="0.35",
                    labelcolor="white")
    figure.colorbar(image, ax=axes, shrink=0.85, label=panel.label)


def plot_maps(path, panels, grid, columns=2, outlines=None):
    """Writes a PNG of the panels laid out on the grid's extent; `outlines` are protected areas as
    (exterior, [holes]) rings in the grid's CRS, drawn over the panels that ask for them."""
    rows = -(-len(panels) // columns) if len(panels) > 1 else 1
    columns = min(columns, len(panels))
    figure = Figure(figsize=(5.4 * columns, 4.8 * rows), layout="constrained")
    FigureCanvasAgg(figure)
    for k, panel in enumerate(panels):
        draw_panel(figure, figure.add_subplot(rows, columns, k + 1), panel, grid, outlines)
    figure.savefig(path, format="png", dpi=110)


def plot_map(path, values, grid, title, label, outlines=None):
    plot_maps(path, [Panel(title, values, label, outlined=True)], grid, columns=1, outlines=outlines)
