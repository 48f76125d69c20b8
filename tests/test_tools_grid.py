"""level_transforms and search_reach against hand-computed values."""
import pytest

from velkan_tools import level_transforms, search_reach

BASE = (100.0, 0.0, 600_000.0, 0.0, -100.0, 6_700_000.0)


@pytest.mark.parametrize("offsets, level, expected", [
    ((0, 0), 1, BASE),
    ((0, 0), 4, (400.0, 0.0, 600_000.0, 0.0, -400.0, 6_700_000.0)),
    # global (13, 7): level 2 starts at (12, 6), one base cell up and left of the corner
    ((13, 7), 2, (200.0, 0.0, 599_900.0, 0.0, -200.0, 6_700_100.0)),
    # level 4 starts at (12, 4): one row up, three columns left
    ((13, 7), 4, (400.0, 0.0, 599_700.0, 0.0, -400.0, 6_700_100.0)),
    # offsets that are multiples of the level leave the corner in place
    ((16, 8), 8, (800.0, 0.0, 600_000.0, 0.0, -800.0, 6_700_000.0)),
    ((16, 9), 8, (800.0, 0.0, 599_900.0, 0.0, -800.0, 6_700_000.0)),
])
def test_projected_level_transforms(offsets, level, expected):
    assert level_transforms(BASE, offsets, [1, level])[level] == expected


def test_rotated_transform_moves_the_origin_along_both_axes():
    # a = 10, b = 2, d = 1, e = -10: level 2 at offsets (3, 5) starts one row and one column back
    base = (10.0, 2.0, 1000.0, 1.0, -10.0, 5000.0)
    assert level_transforms(base, (3, 5), [2])[2] == (20.0, 4.0, 1000.0 - 10.0 - 2.0, 2.0, -20.0, 5000.0 - 1.0 + 10.0)


def test_level_cell_corner_is_the_aligned_global_base_cell():
    base, offsets = (30.0, 0.0, 0.0, 0.0, -30.0, 0.0), (21, 38)
    for level, (a, b, c, d, e, f) in level_transforms(base, offsets, [1, 2, 4, 8, 16]).items():
        # level cell (i, j) = (1, 2) starts at global base cell ((21 // L + 1) L, (38 // L + 2) L)
        global_row, global_col = (21 // level + 1) * level, (38 // level + 2) * level
        local_row, local_col = global_row - offsets[0], global_col - offsets[1]
        assert (a * 2 + b * 1 + c, d * 2 + e * 1 + f) == (30.0 * local_col, -30.0 * local_row)


@pytest.mark.parametrize("levels", [[1, 3], [0], [1, 2, -4]])
def test_levels_must_be_powers_of_two(levels):
    with pytest.raises(ValueError, match="is not a power of two"):
        level_transforms(BASE, (0, 0), levels)
    with pytest.raises(ValueError, match="is not a power of two"):
        search_reach(levels, 3, 11)


@pytest.mark.parametrize("levels, window_size, outer_window, halo", [
    ([1, 2, 4, 8], 3, 11, 11 * 8 + 8),
    ([1, 2, 4], 3, 5, 5 * 4 + 4),
    ([1], 5, 7, 7 + 1),
    ([4, 1, 2], 3, 5, 24),   # the coarsest level counts, wherever it is listed
    ([1, 2], 7, 3, 7 * 2 + 2),  # an outer window below window_size is not used
])
def test_search_reach(levels, window_size, outer_window, halo):
    assert search_reach(levels, window_size, outer_window) == halo


@pytest.mark.parametrize("window_size, outer_window", [(4, 11), (0, 11), (-3, 11), (3, 10)])
def test_search_reach_refuses_widths_the_engine_refuses(window_size, outer_window):
    with pytest.raises(ValueError, match="window"):
        search_reach([1, 2], window_size, outer_window)
