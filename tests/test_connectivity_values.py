"""connectivity end to end: values from Python."""
import numpy as np
import pytest

import velkan

F32 = np.float32


def level_transforms(base, offsets, levels):
    """Per-level transforms: level L maps that level raster's own local cells."""
    a, b, c, d, e, f = base
    r0, c0 = offsets
    out = {}
    for level in levels:
        # local level cell (0, 0) starts at global base cell (floor(r0/L)*L, floor(c0/L)*L),
        # which is local base cell (that - r0, that - c0)
        dr = (r0 // level) * level - r0
        dc = (c0 // level) * level - c0
        out[level] = (a * level, b * level, a * dc + b * dr + c, d * level, e * level, d * dc + e * dr + f)
    return out


def landscape(rows=24, cols=20, seed=3):
    rng = np.random.default_rng(seed)
    return rng.uniform(0.05, 1.0, (rows, cols)).astype(F32)


def run(cond, levels=(1, 2, 4), offsets=(0, 0), base=(100.0, 0.0, 0.0, 0.0, -100.0, 0.0), **kw):
    args = dict(
        condition=cond,
        mask=np.zeros(cond.shape, bool),
        transgrid_list=None,
        transforms=level_transforms(base, offsets, levels),
        levels=list(levels),
        lambdas=[2.0, 20.0],
        is_geo=False,
        max_cost=0.2,
        window_size=3,
        outer_window=5,
        offsets=offsets,
    )
    args.update(kw)
    return velkan.connectivity(**args)


def test_uniform_landscape_is_about_one():
    out = run(np.ones((20, 20), F32))
    assert out.dtype == np.float32 and out.shape == (20, 20) and out.flags.c_contiguous
    assert np.allclose(out, 1.0, atol=2e-3)


def test_masked_cells_are_nan_and_others_computed():
    cond = landscape()
    mask = np.zeros(cond.shape, bool)
    mask[0, :] = True
    mask[5, 7] = True
    out = run(cond, mask=mask)
    assert np.isnan(out[mask]).all()
    assert np.isfinite(out[~mask]).all()
    assert np.isnan(run(cond, mask=np.ones(cond.shape, bool))).all()


def test_nan_focal_cell_and_empty_parameters_give_zero():
    cond = landscape()
    cond[4, 4] = np.nan
    out = run(cond)
    assert out[4, 4] == 0.0
    assert not run(cond, lambdas=[]).any()
    assert not run(cond, levels=[], transforms={1: (100.0, 0.0, 0.0, 0.0, -100.0, 0.0)}).any()


def test_worse_condition_lowers_connectivity():
    good = run(np.full((16, 16), 0.9, F32))
    poor = run(np.full((16, 16), 0.3, F32))
    assert (poor < good).all()


def test_kova_counts_only_protected_destinations():
    cond = landscape()
    mask = np.ones(cond.shape, bool)  # in KOVA, False marks protected cells and focal sources
    mask[8:14, 6:12] = False
    kova = run(cond, mask=mask, pa_to_pa=True)
    plain = run(cond, mask=mask)
    inside = ~mask
    assert np.isfinite(kova[inside]).all() and np.isnan(kova[mask]).all()
    assert (kova[inside] <= plain[inside] + 1e-6).all()
    assert (kova[inside] > 0).all()
    # a lone protected cell reaches no protected destination: its numerator is empty
    lone = np.ones((30, 30), F32)
    lone_mask = np.ones(lone.shape, bool)
    lone_mask[15, 15] = False
    out = run(lone, mask=lone_mask, pa_to_pa=True)
    assert out[15, 15] == 0.0


def test_olvi_with_two_grids():
    cond = landscape()
    rng = np.random.default_rng(9)
    g1 = rng.uniform(0, 1, cond.shape + (3,)).astype(F32)
    g2 = rng.uniform(0, 1, cond.shape + (2,)).astype(F32)
    out = run(cond, transgrid_list=[g1, None, g2])
    assert np.isfinite(out).all() and (out >= 0).all()
    same = run(cond, transgrid_list=[g1, g2])
    assert np.array_equal(out, same)
    assert not np.array_equal(out, run(cond))
    assert np.array_equal(run(cond, transgrid_list=[]), run(cond, transgrid_list=[None]))


def test_geographic_transforms():
    cond = landscape()
    out = run(cond, base=(0.001, 0.0, 10.0, 0.0, -0.001, 60.0), is_geo=True)
    assert np.isfinite(out).all() and (out > 0).all()


@pytest.mark.parametrize("offsets", [(3, 5), (6, 1)])
def test_offsets_shift_the_global_grid(offsets):
    cond = landscape(18, 18)
    out = run(cond, offsets=offsets)
    assert np.isfinite(out).all()
    assert not np.array_equal(out, run(cond))  # coarse cells align differently


def test_transposed_view_equals_contiguous_copy():
    cond = landscape(20, 24).T  # a view, not C-contiguous
    assert not cond.flags.c_contiguous
    trav = landscape(20, 24, seed=5)[::-1].T
    a = run(cond, traversal=trav)
    b = run(np.ascontiguousarray(cond), traversal=np.ascontiguousarray(trav))
    assert np.array_equal(a, b, equal_nan=True)


def test_same_array_as_condition_and_traversal_matches_no_traversal():
    cond = landscape()
    before = cond.copy()
    assert np.array_equal(run(cond, traversal=cond), run(cond))
    assert np.array_equal(cond, before)


def test_all_keywords_in_any_order_and_thread_counts_agree():
    cond = landscape()
    args = dict(condition=cond, mask=np.zeros(cond.shape, bool), transgrid_list=None,
                transforms=level_transforms((100.0, 0, 0, 0, -100.0, 0), (0, 0), (1, 2, 4)),
                levels=[1, 2, 4], lambdas=[2.0, 20.0], is_geo=False, max_cost=0.2, window_size=3,
                outer_window=5, offsets=(0, 0), traversal=None, n_threads=1, window_mode="circular",
                pa_to_pa=False)
    positional = velkan.connectivity(*list(args.values())[:11])
    shuffled = dict(reversed(list(args.items())))
    assert np.array_equal(velkan.connectivity(**shuffled), positional)
    two = velkan.connectivity(**{**args, "n_threads": 2})
    assert two.tobytes() == positional.tobytes()


def test_square_window_differs_from_circular():
    cond = landscape()
    assert not np.array_equal(run(cond, window_mode=" Square\t"), run(cond))
    assert np.array_equal(run(cond, window_mode="CIRCULAR"), run(cond))


@pytest.mark.parametrize("window_size", [3, 2**31 - 1])
def test_widest_windows_equal_windows_spanning_the_raster(window_size):
    # Windows wider than the raster gather all of it, whatever their width; the
    # widest, 2^31 - 1, used to overflow while sizing the window buffers.
    cond = landscape()
    widest = run(cond, window_size=window_size, outer_window=2**31 - 1)
    spanning = run(cond, window_size=min(window_size, 101), outer_window=101)
    assert np.isfinite(widest).all()
    assert np.allclose(widest, spanning, rtol=1e-6, atol=0)


@pytest.mark.parametrize(
    "overrides, text",
    [
        ({"condition": None}, "Connectivity failed: No base level (key=1) in condition array"),
        ({"traversal": np.ones((23, 20), F32)},
         "Connectivity failed: Dimension mismatch for key 1: (23, 20) vs (24, 20)"),
    ],
)
def test_engine_ordinary_errors(overrides, text):
    cond = landscape()
    with pytest.raises(RuntimeError) as info:
        run(cond, levels=(1,), **overrides)
    assert str(info.value) == text


def test_smaller_mask_is_refused():
    cond = landscape()
    with pytest.raises(RuntimeError, match=r"^Connectivity failed: .*\(23, 20\).*\(24, 20\)"):
        run(cond, mask=np.zeros((23, 20), bool))


@pytest.mark.parametrize(
    "overrides, text",
    [
        ({"levels": [1, 2, 3]}, "Failed average resampling.: Level 3 is not a power of 2"),
        ({"levels": [1, 6, 3]}, "Failed average resampling.: Level 6 is not a power of 2"),
        ({"window_size": 4}, "Window size must be odd-numbered"),
        ({"outer_window": 6}, "Outer window size must be odd-numbered"),
        ({"transforms": {2: (1.0, 0, 0, 0, 1, 0)}}, "Missing base-level transform (key=1)."),
        ({"levels": [2, 4], "transforms": {1: (1.0, 0, 0, 0, 1, 0), 2: (2.0, 0, 0, 0, 2, 0),
                                           4: (4.0, 0, 0, 0, 4, 0)}}, "Base condition level not found!"),
    ],
)
def test_internal_errors(overrides, text):
    with pytest.raises(BaseException) as info:
        run(landscape(), **overrides)
    assert type(info.value).__name__ == "InternalError"
    assert str(info.value) == text


@pytest.mark.parametrize("grid_shape", [(23, 20, 2), (24, 19, 2)])
def test_smaller_transition_grid_is_refused(grid_shape):
    cond = landscape()
    with pytest.raises(RuntimeError) as info:
        run(cond, transgrid_list=[np.ones(grid_shape, F32)])
    assert str(info.value).startswith("Connectivity failed: Transition grid 0 shape")
    assert "(24, 20)" in str(info.value)


def test_larger_mask_and_grid_are_read_where_they_overlap():
    cond = landscape()
    big_mask = np.zeros((30, 25), bool)
    big_grid = np.ones((30, 25, 2), F32)
    a = run(cond, mask=big_mask, transgrid_list=[big_grid])
    b = run(cond, transgrid_list=[np.ascontiguousarray(big_grid[:24, :20])])
    assert np.array_equal(a, b)
