"""connectivity_dask against one whole-raster velkan.connectivity call, locally and on a LocalCluster."""
import dask
import dask.array as da
import numpy as np
import pytest
from distributed import Client, LocalCluster, get_task_stream
from tools_support import FORMS, assert_same_values, call_arguments, whole_raster

from velkan_tools import connectivity_dask
from velkan_tools.on_dask import chunks_at_least


def chunked(args, chunks):
    """The rasters of a call as dask arrays with the given (row, column) chunks."""
    out = dict(args)
    for name in ("condition", "mask", "traversal"):
        if out.get(name) is not None:
            out[name] = da.from_array(out[name], chunks=chunks)
    if out["transgrid_list"]:
        out["transgrid_list"] = [da.from_array(g, chunks=chunks + (1,)) for g in out["transgrid_list"]]
    return out


@pytest.mark.parametrize("form", FORMS)
def test_dask_equals_whole_raster(form):
    args = call_arguments(form)
    lazy = connectivity_dask(**chunked(args, (32, 30)))
    assert isinstance(lazy, da.Array)
    assert lazy.chunks == ((32, 32, 26), (30, 45))  # the 15 last columns are less than the halo of 24
    with dask.config.set(scheduler="synchronous"):
        assert_same_values(lazy.compute(), whole_raster(args), form)


def test_numpy_inputs_and_uneven_chunks():
    args = call_arguments("square")
    values = connectivity_dask(**args).compute(scheduler="threads")
    assert_same_values(values, whole_raster(args), "square")
    uneven = dict(args, condition=da.from_array(args["condition"], chunks=((25, 40, 25), (50, 25))))
    assert_same_values(connectivity_dask(**uneven).compute(scheduler="synchronous"), whole_raster(args), "square")


@pytest.mark.parametrize("sizes, halo, expected", [
    ((40, 40, 17), 24, (40, 57)),
    ((10, 10, 10, 10), 24, (40,)),
    ((30, 5, 30), 24, (30, 35)),
    ((5,), 24, (5,)),
    ((24, 24), 24, (24, 24)),
])
def test_small_chunks_merge_into_their_neighbours(sizes, halo, expected):
    assert chunks_at_least(sizes, halo) == expected


@pytest.mark.parametrize("inputs", ["dask", "numpy"])
def test_local_cluster_with_two_worker_processes(inputs):
    args = {**call_arguments("olvi"), "n_threads": 1}
    lazy = connectivity_dask(**chunked(args, (30, 25))) if inputs == "dask" else connectivity_dask(**args, tile_size=30)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        with get_task_stream(client) as stream:
            values = client.compute(lazy).result()
    workers = {task["worker"] for task in stream.data if "block_values" in str(task["key"]) or
               "_chunk_values" in str(task["key"])}
    assert len(workers) == 2
    assert_same_values(np.asarray(values), whole_raster(args), "olvi")
