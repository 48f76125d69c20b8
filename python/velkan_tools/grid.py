"""Placing rasters and tiles in the global grid: level transforms and the halo a tile needs."""
import operator

# About 65,000 focal cells a tile: a few seconds a call on two cores with the usual windows
# (levels up to 8, outer window 11), so Ctrl-C and progress are never far away.
DEFAULT_TILE_SIZE = 256


def checked_levels(levels):
    """The levels as a list of ints, each a power of two (1, 2, 4, ...)."""
    out = [operator.index(level) for level in levels]
    for level in out:
        if level < 1 or level & (level - 1):
            raise ValueError(f"level {level} is not a power of two")
    return out


def check_window_sizes(window_size, outer_window, names=("window_size", "outer_window")):
    """The widths the engine accepts: an odd window_size, and an odd outer_window when it is used."""
    if window_size < 1 or window_size % 2 == 0:
        raise ValueError(f"{names[0]} {window_size}: must be a positive odd number")
    if outer_window >= window_size and outer_window % 2 == 0:
        raise ValueError(f"{names[1]} {outer_window}: must be odd")


def level_transforms(base_transform, offsets, levels):
    """Transforms for every level of a raster placed at `offsets` in the global grid.

    `base_transform` is the affine (a, b, c, d, e, f) of the raster's own cells; `offsets` is the
    global (row, column) of its cell (0, 0). Coarse cells of level L align to multiples of L in the
    global grid, so level L's local cell (0, 0) starts at global base cell floor(offset / L) * L,
    which lies before the raster's corner when the offset is not a multiple of L. The transform of
    level L maps that level raster's own local cells: its cells are L times as large and its
    origin moves back to that aligned corner.

    >>> base = (100.0, 0.0, 600000.0, 0.0, -100.0, 6700000.0)
    >>> level_transforms(base, (13, 7), [1, 2, 4])[4]
    (400.0, 0.0, 599700.0, 0.0, -400.0, 6700100.0)

    At level 4 the raster's global row 13 and column 7 fall into the coarse cell that starts at
    global row 12 and column 4: one base row above and three base columns left of the corner.
    """
    a, b, c, d, e, f = base_transform
    row_offset, col_offset = offsets
    out = {}
    for level in checked_levels(levels):
        dr = (row_offset // level) * level - row_offset
        dc = (col_offset // level) * level - col_offset
        out[level] = (a * level, b * level, a * dc + b * dr + c, d * level, e * level, d * dc + e * dr + f)
    return out


def shifted_transform(base_transform, row, col):
    """The transform of a window whose cell (0, 0) is cell (row, col) of the raster."""
    a, b, c, d, e, f = base_transform
    return (a, b, a * col + b * row + c, d, e, d * col + e * row + f)


def search_reach(levels, window_size, outer_window):
    """The halo, in base cells, that a tile needs so that its core values equal the whole raster's.

    A focal cell's search sees, at the coarsest level L, a window reaching max(window_size,
    outer_window) * L base cells from its centre, and the coarse cells it touches extend up to
    one more coarse cell beyond. Every finer level reaches less. With a halo of that reach plus
    one coarsest cell, every cell a core focal cell gathers, and every base cell summarised into
    it, lies inside the tile.

    >>> search_reach([1, 2, 4, 8], window_size=3, outer_window=11)
    96
    """
    check_window_sizes(window_size, outer_window)
    coarsest = max(checked_levels(levels), default=1)
    return max(window_size, outer_window) * coarsest + coarsest
