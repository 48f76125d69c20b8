"""PNG maps of rasters, each panel with its colour bar."""
import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from rasterio.transform import array_bounds

from .rasters import crs_name


def plot_maps(path, panels, grid, columns=2):
    """Write a PNG of (title, values, colour-bar label) panels laid out on the grid's extent."""
    rows = -(-len(panels) // columns) if len(panels) > 1 else 1
    columns = min(columns, len(panels))
    figure = Figure(figsize=(5.2 * columns, 4.6 * rows), layout="constrained")
    FigureCanvasAgg(figure)
    west, south, east, north = array_bounds(grid.shape[0], grid.shape[1], grid.transform)
    for k, (title, values, label) in enumerate(panels):
        axes = figure.add_subplot(rows, columns, k + 1)
        image = axes.imshow(np.ma.masked_invalid(values), extent=(west, east, south, north), cmap="viridis",
                            interpolation="nearest")
        axes.set_title(title)
        axes.set_xlabel(crs_name(grid.crs))
        axes.tick_params(labelsize=7)
        axes.ticklabel_format(useOffset=False, style="plain")
        figure.colorbar(image, ax=axes, shrink=0.85, label=label)
    figure.savefig(path, format="png", dpi=110)


def plot_map(path, values, grid, title, label="connectivity"):
    plot_maps(path, [(title, values, label)], grid, columns=1)
