"""The xarray backend: every kind labelled and equal to getOrvelData (eager, lazy, chunked),
selections that read only what they select, netCDF and zarr round trips, data trees, a cube
larger than the memory the process may take, and a dask cluster of two processes."""
import importlib
import importlib.metadata
import json
import os
import pathlib
import sys

import numpy as np
import pytest

import orvelio
from builder import (EXT_IMAGE, OrvelFile, Picture, block3d, block_type, cut_image, data_word, file3d,
                     image_block, multiregion_file, params, region, spectrum_file)
from conftest import run_python

xr = pytest.importorskip("xarray")
pytest.importorskip("dask.array")
backend = pytest.importorskip("orvelio.xarray_backend")
from orvelio.reader import FileChangedError, InvalidRequestError, TruncatedFileError  # noqa: E402
from orvelio.reader import OrvelFile as Friendly  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "fuzz"))
from make_corpus import seeds  # noqa: E402

NPT = 6
# A point map of a 2 x 2 grid (group 1) and 3 points (group 2); a trace map of the same regions.
POINTS = multiregion_file(
    region(1, 2, 2, range(4), x=[0.5, 1.0, 0.5, 1.0], y=[2.0, 2.0, 3.0, 3.0]) + region(2, 0, 0, range(4, 7)),
    [(n, np.arange(NPT) + 10.0 * n, 100.0 + n) for n in range(7)])
TRACES = multiregion_file(
    region(1, 2, 2, range(1, 5)) + region(2, 0, 0, range(5, 8)),
    [(k, np.arange(7) * (k + 1.0), None, f"trace {k}") for k in range(3)], name="TRC")
# Every kind the builder makes (the seeds of the fuzzer) and the maps above.
SEEDS = {**seeds(), "point-map": POINTS.build(), "trace-map": TRACES.build()}
ENGINE = ("orvelio" if any(e.name == "orvelio" for e in importlib.metadata.entry_points(group="xarray.backends"))
          else backend.OrvelBackendEntrypoint)
MAP = {"AOX": -10.0, "AOY": 5.0, "DDX": 2.5, "DDY": -2.5}


# The data variable's dimensions by kind, as the README's table lists them.
DIMS = {"spectrum": ("spectral",), "image": ("y", "x", "spectral"), "image-traces": ("y", "x", "trace"),
        "time-series": ("time", "spectral"), "time-traces": ("trace", "spectral"),
        "point-map": ("spectrum", "spectral"), "trace-map": ("spectrum", "trace")}


def blocks(path):
    return list(dict.fromkeys(orvelio.listContents(path)))


def expected(result, kind, region=None):
    """(values, {coordinate: values}) of the exact API's result, as the backend labels them."""
    if kind == "spectrum":
        return result.y, {}
    if kind == "image":
        return result.spectra, {"y": result.mapY, "x": result.mapX}
    if kind == "image-traces":
        return result.traces, {"y": result.mapY, "x": result.mapX, "trace": result.labels}
    if kind == "time-series":
        return result.spectra, {"time": result.z}
    if kind == "time-traces":
        return result.traces, {"trace": result.labels}
    r = result.regions[region]
    coords = {"mapX": r.mapX, "mapY": r.mapY}
    if kind == "point-map":
        coords["start_time"] = r.start_time
    else:
        coords["trace"] = result.labels
    return r.spectra, coords


def check(ds, result, kind, region=None):
    values, coords = expected(result, kind, region)
    name = result.dataType
    assert list(ds.data_vars) == [name] and ds[name].dims == DIMS[kind]
    got = ds[name].values
    assert got.dtype == np.float32 and got.shape == np.shape(values)
    np.testing.assert_array_equal(got.view(np.uint32), np.asarray(values, np.float32).view(np.uint32))
    np.testing.assert_array_equal(ds["spectral"].values, result.x)
    for key, value in coords.items():
        np.testing.assert_array_equal(ds[key].values, np.asarray(value))
    assert ds.attrs["datablock"] == " ".join((result.dataType, result.dimension, result.derivative))
    for key, value in result.parameters.items():
        assert ds.attrs[key] == value


@pytest.mark.filterwarnings("ignore:The specified chunks separate")
@pytest.mark.parametrize("name", sorted(SEEDS))
def test_every_kind_equals_the_exact_api(write, name, capsys):
    path = write(SEEDS[name])
    with Friendly(path) as f:
        kinds = {tuple(b.request): b.kind for b in f.blocks}
    for request in blocks(path):
        result = orvelio.getOrvelData(path, request)
        kind = kinds[request]
        regions = range(len(result.regions)) if hasattr(result, "regions") else [None]
        for region in regions:
            for chunks in (None, {}, {DIMS[kind][0]: 1}):
                with xr.open_dataset(path, engine=ENGINE, datablock=request, region=region, chunks=chunks,
                                     grid=False) as ds:
                    if chunks is not None:
                        assert ds[request[0]].chunks is not None
                    check(ds, result, kind, region)
    capsys.readouterr()


def test_tree_of_a_whole_file(write):
    path = write(SEEDS["point-map"])
    exact = orvelio.getOrvelData(path, ("AB", "3D", "NONE"))
    tree = xr.open_datatree(path, engine=ENGINE, grid=False)
    assert list(tree.children) == ["AB"] and list(tree["AB"].children) == ["region_0", "region_1"]
    for i, child in enumerate(tree["AB"].children.values()):
        assert child.attrs["title"] == exact.regions[i].title
        check(child.to_dataset().assign_attrs(tree["AB"].attrs), exact, "point-map", i)
    assert (tree["AB/region_0"].attrs["nx"], tree["AB/region_0"].attrs["ny"]) == (2, 2)
    # one block as the root; chunked trees give dask arrays
    one = xr.open_datatree(path, engine=ENGINE, datablock="AB", chunks={})
    assert list(one.children) == ["region_0", "region_1"] and one["region_1/AB"].chunks is not None
    np.testing.assert_array_equal(one["region_1/AB"].values, exact.regions[1].spectra)

    sample = write((REPO / "examples" / "sample.orv").read_bytes())
    tree = xr.open_datatree(sample, engine=ENGINE)
    assert sorted(tree.children) == ["AB", "SSC"]
    np.testing.assert_array_equal(tree["SSC/SSC"].values, orvelio.getOrvelData(sample, ("SSC", "2D", "NONE")).y)
    f = spectrum_file([1.0, 2.0])
    f.add(block_type(extend=EXT_IMAGE), image_block([Picture(b"\x89PNG\r\n\x1a\n" + bytes(24), "camera",
                                                             {"Mag:": 4.0, "Pos X:": "1.5 um"})]))
    tree = xr.open_datatree(write(f), engine=ENGINE)
    assert list(tree.children) == ["AB"] and tree.attrs == {
        "pictures": 1, "picture_0_title": "camera", "picture_0_format": "png", "picture_0_Mag": 4.0,
        "picture_0_Pos_X": "1.5 um", "picture_0_Bytes": 32, "picture_0_Type": 0}


def counting(monkeypatch):
    """The rows every read asks for, as they are asked."""
    log, call = [], backend._call

    def logged(file, method, *args, **kwargs):
        if method == "read_rows":
            log.append(np.asarray(args[1]).tolist())
        return call(file, method, *args, **kwargs)
    monkeypatch.setattr(backend, "_call", logged)
    return log


@pytest.mark.parametrize("name, select, rows, values", [
    ("image", dict(y=1, x=slice(0, 2)), [[3, 4]], lambda r: r.spectra[1, 0:2]),
    ("image", dict(x=[2, 0], spectral=3), [[0, 2, 3, 5]], lambda r: r.spectra[:, [2, 0], 3]),
    ("image-traces", dict(trace=[2, 1], y=0), [[1, 2]], lambda r: r.traces[0][:, [2, 1]]),
    ("time-resolved", dict(time=slice(1, None, 2)), [[1]], lambda r: r.spectra[1::2]),
    ("point-map", dict(spectrum=[3, 1]), [[1, 3]], lambda r: r.regions[0].spectra[[3, 1]]),
])
def test_selection_reads_only_what_it_selects(write, monkeypatch, name, select, rows, values):
    log = counting(monkeypatch)
    path = write(SEEDS[name])
    request = blocks(path)[0]
    region = 0 if name == "point-map" else None
    with xr.open_dataset(path, engine=ENGINE, datablock=request, region=region, grid=False) as ds:
        assert log == []                              # opening reads descriptions only
        got = ds[request[0]].isel(select).values
    assert log == rows
    np.testing.assert_array_equal(got, values(orvelio.getOrvelData(path, request)))


def test_parts_of_rows_are_read_in_bounded_batches(write, monkeypatch):
    log = counting(monkeypatch)
    monkeypatch.setattr(backend, "BATCH_BYTES", 2 * 6 * 4)   # two spectra of 6 points
    path = write(SEEDS["image"])
    with xr.open_dataset(path, engine=ENGINE) as ds:
        got = ds.AB[:, :, 1:3].values
        assert log == [[0, 1], [2, 3], [4, 5]]
        whole = ds.AB.values                                  # whole rows: one read into the result
        assert log[3:] == [[0, 1, 2, 3, 4, 5]]
    exact = orvelio.getOrvelData(path, ("AB", "3D", "NONE")).spectra
    np.testing.assert_array_equal(got, exact[:, :, 1:3])
    np.testing.assert_array_equal(whole, exact)


@pytest.mark.parametrize("store", ["netcdf", "zarr"])
@pytest.mark.parametrize("name", ["spectrum", "image", "image-traces", "time-resolved-traces", "point-map"])
def test_round_trips(write, tmp_path, store, name):
    pytest.importorskip("h5netcdf" if store == "netcdf" else "zarr")
    path = write(SEEDS[name])
    region = 1 if name == "point-map" else None
    with xr.open_dataset(path, engine=ENGINE, datablock=blocks(path)[0], region=region) as ds:
        if store == "netcdf":
            ds.to_netcdf(tmp_path / "out.nc", engine="h5netcdf")
            back = xr.open_dataset(tmp_path / "out.nc", engine="h5netcdf")
        else:
            ds.to_zarr(tmp_path / "out.zarr", consolidated=False)
            back = xr.open_zarr(tmp_path / "out.zarr", consolidated=False)
        xr.testing.assert_identical(back.load(), ds.load())


def test_errors(write, tmp_path):
    multi = write(SEEDS["point-map"])
    sample = write((REPO / "examples" / "sample.orv").read_bytes())
    with pytest.raises(InvalidRequestError, match="multi-region map of 2 regions .0 to 1.: choose one with region="):
        xr.open_dataset(multi, engine=ENGINE)
    with pytest.raises(InvalidRequestError, match="region 2 is not one of them"):
        xr.open_dataset(multi, engine=ENGINE, region=2)
    f = OrvelFile(max_dir=4)                                  # the values last, cut short
    f.add(data_word("AB", param=1), params({"NPT": 8, "FXV": 1.0, "LXV": 8.0, "MNY": 0.0, "MXY": 7.0}))
    f.add(data_word("AB"), np.arange(8, dtype="<f4").tobytes())
    cut = write(f.build()[:-4])
    with pytest.raises(TruncatedFileError, match="holds 7 of its 8 values"):
        xr.open_dataset(cut, engine=ENGINE)
    with pytest.raises(KeyError, match="SSC"):
        xr.open_dataset(sample, engine=ENGINE, datablock="KM")
    with pytest.raises(ValueError, match="AB"):
        xr.open_dataset(sample, engine=ENGINE)               # two blocks: which one?
    with pytest.raises(TypeError, match="path"):
        xr.open_dataset(42.0, engine=ENGINE)
    entry = backend.OrvelBackendEntrypoint()
    (tmp_path / "empty").write_bytes(b"")
    assert entry.guess_can_open(sample) and entry.guess_can_open(pathlib.Path(sample))
    assert not entry.guess_can_open(str(tmp_path / "empty")) and not entry.guess_can_open(str(tmp_path / "none"))
    assert not entry.guess_can_open(str(tmp_path))


def test_entry_point_and_to_xarray(write):
    assert 'orvelio = "orvelio.xarray_backend:OrvelBackendEntrypoint"' in (REPO / "pyproject.toml").read_text()
    sample = write((REPO / "examples" / "sample.orv").read_bytes())
    multi = write(SEEDS["point-map"])
    with Friendly(sample) as f:
        xr.testing.assert_identical(f.to_xarray("SSC"), xr.open_dataset(sample, engine=ENGINE, datablock="SSC"))
        assert f.to_xarray("AB", chunks={}).AB.chunks is not None
    with Friendly(multi) as f:
        tree = f.to_xarray()
        assert isinstance(tree, xr.DataTree) and list(tree.children) == ["region_0", "region_1"]
        xr.testing.assert_identical(f.to_xarray(region=1), xr.open_dataset(multi, engine=ENGINE, region=1))
    if ENGINE == "orvelio":                                   # installed: found without engine=
        xr.testing.assert_identical(xr.open_dataset(sample, datablock="AB"),
                                    xr.open_dataset(sample, engine=ENGINE, datablock="AB"))


def test_damage_partial_grids_and_labels(write, recwarn):
    whole = write(cut_image())
    ds = xr.open_dataset(whole, engine=ENGINE)
    assert ds.attrs["acquired"] == "2026-12-08T13:03:22Z" and "values_held" not in ds.attrs
    cut = write(cut_image(keep=len(cut_image()) - 260))     # the last pixel and some of the one before
    for opening in (lambda **k: xr.open_dataset(cut, engine=ENGINE, **k),
                    lambda **k: Friendly(cut).to_xarray(**k)):
        with pytest.raises(TruncatedFileError, match="holds 25 of its 30 values"):
            opening()
        with pytest.warns(UserWarning, match="the 5 missing values are NaN"):
            part = opening(partial=True)
        assert (part.attrs["values_held"], part.attrs["values_declared"]) == (25, 30)
        np.testing.assert_array_equal(part.AB.values[..., 0], [[0, 10, 20], [30, 40, np.nan]])
        np.testing.assert_array_equal(part.AB.isel(x=1).values, ds.AB.isel(x=1).values)
    with pytest.raises(TruncatedFileError, match="holds 25 of its 30 values"):
        Friendly(cut).read()
    with pytest.warns(UserWarning, match="the 5 missing values are NaN"):
        spectra = Friendly(cut).read(partial=True).spectra
    np.testing.assert_array_equal(spectra, part.AB.values)
    # a region of a full grid: (y, x, spectral), positions as x and y; grid=False: the list
    path = write(SEEDS["point-map"])
    exact = orvelio.getOrvelData(path, ("AB", "3D", "NONE")).regions[0]
    grid = xr.open_dataset(path, engine=ENGINE, region=0)
    assert grid.AB.dims == ("y", "x", "spectral") and grid.start_time.dims == ("y", "x")
    np.testing.assert_array_equal(grid.x, [0.5, 1.0])
    np.testing.assert_array_equal(grid.y, [2.0, 3.0])
    np.testing.assert_array_equal(grid.AB.values.reshape(4, NPT), exact.spectra)
    np.testing.assert_array_equal(grid.AB.isel(y=1, x=0).values, exact.spectra[2])
    listed = xr.open_dataset(path, engine=ENGINE, region=0, grid=False)
    assert listed.AB.dims == ("spectrum", "spectral")
    assert xr.open_dataset(path, engine=ENGINE, region=1).AB.dims == ("spectrum", "spectral")  # 3 points
    traces = write(multiregion_file(region(1, 2, 2, range(1, 5), x=[0.5, 1.0, 0.5, 1.0], y=[2.0, 2.0, 3.0, 3.0]),
                                    [(k, np.arange(7) * (k + 1.0), None, f"trace {k}") for k in range(3)], name="TRC"))
    region0 = xr.open_datatree(traces, engine=ENGINE)["TRC/region_0"].dataset
    assert region0.TRC.dims == ("y", "x", "trace")
    np.testing.assert_array_equal(region0.TRC.values.reshape(4, 3),
                                  orvelio.getOrvelData(traces, ("TRC", "3D", "NONE")).regions[0].spectra)


def test_pickled_datasets_and_trees_reopen_the_same_file(write, tmp_path):
    import io
    import pickle
    path = write(SEEDS["point-map"])
    ds = xr.open_dataset(path, engine=ENGINE, region=1)
    tree = xr.open_datatree(path, engine=ENGINE)
    xr.testing.assert_identical(pickle.loads(pickle.dumps(ds)).load(), ds.load())
    back = pickle.loads(pickle.dumps(tree))
    xr.testing.assert_identical(back.load(), tree.load())
    # each region's group stands alone: its axis and the block's attributes (in netCDF too)
    tree.to_netcdf(tmp_path / "t.nc", engine="h5netcdf")        # named: xarray 2025.6 picks only netCDF4 or scipy
    alone = xr.open_dataset(tmp_path / "t.nc", engine="h5netcdf", group="AB/region_1")
    assert alone.spectral.size == NPT and alone.attrs["datablock"] == "AB 3D NONE" and alone.attrs["region"] == 1
    pickled = pickle.dumps(xr.open_dataset(path, engine=ENGINE, region=0))
    os.replace(write(SEEDS["trace-map"]), path)             # another layout under the same name
    with pytest.raises(FileChangedError, match="the file changed since it was opened"):
        pickle.loads(pickled).load()
    # in place, under an open dataset; and a reopen after the file cache dropped the file
    lazy = xr.open_dataset(path, engine=ENGINE, region=0)
    with open(path, "r+b") as out:
        out.write(SEEDS["point-map"])
    with pytest.raises(FileChangedError):
        lazy.load()
    with xr.set_options(file_cache_maxsize=1):
        first = xr.open_dataset(path, engine=ENGINE, region=0)
        xr.open_dataset(write(SEEDS["point-map"]), engine=ENGINE, region=0).load()
        os.replace(write(SEEDS["trace-map"]), path)
        with pytest.raises(FileChangedError):
            first.load()
    # a file object: read by position, through the same backend
    data = pathlib.Path(write(SEEDS["point-map"])).read_bytes()
    xr.testing.assert_identical(xr.open_dataset(io.BytesIO(data), engine=ENGINE, region=1).load(), ds.load())
    with Friendly(io.BytesIO(data)) as f:
        xr.testing.assert_identical(f.to_xarray(region=1).load(), ds.load())


def test_import_orvelio_stays_light():
    out = run_python("import sys, orvelio, orvelio.reader; print(sorted(m for m in ('xarray', 'dask', 'pandas')"
                     " if m in sys.modules))")
    assert out.returncode == 0 and out.stdout.strip() == "[]", out.stderr


def sparse_cube(path, npx, npy, npt, marks):
    """An image of npx x npy spectra whose sub-blocks lie in a hole at the end of the file
    (no disk used), with spectra of value v written at pixel p for every (p, v) in marks."""
    info = 200
    f = OrvelFile(max_dir=8)
    f.add(data_word("AB", "3D", param=1), params(dict(MAP, NPX=npx, NPY=npy, NPT=npt, FXV=4000.0, LXV=400.0,
                                                          MNY=0.0, MXY=1.0)))
    n = npx * npy
    head = block3d([], npt=npt, store_table=[(0, n - 1)], stored=n, info_size=info)
    area = len(head)
    at = f.add(data_word("AB", "3D"), head, size_words=(area + n * (4 * npt + info)) // 4)
    with open(path, "wb") as out:
        out.write(f.build())
        out.truncate(at + area + n * (4 * npt + info))
        for p, v in marks:
            out.seek(at + area + p * (4 * npt + info))
            out.write(np.full(npt, v, "<f4").tobytes())
    return path


OUT_OF_CORE = """
import json, resource, sys
import numpy as np, xarray as xr
from orvelio.xarray_backend import OrvelBackendEntrypoint
def rss():
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmRSS")).split()[1]) << 10
ds = xr.open_dataset(sys.argv[1], engine=OrvelBackendEntrypoint, chunks={})
ds.AB[:1, :1].mean().compute()                   # imports and threads of dask, before the baseline
before = rss()
mean = ds.AB.mean(("y", "x")).values
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss << 10
print(json.dumps({"before": before, "peak": peak, "mean": mean[:3].tolist(), "chunks": len(ds.AB.chunks[0])}))
"""


@pytest.mark.skipif(not hasattr(importlib.import_module("orvelio._orvelio"), "_Reader"),
                    reason="partial reads need the extension's reader")
def test_cube_larger_than_memory(tmp_path):
    npx, npy, npt = 600, 600, 1000                  # 1.5 GB, with 4 KB spectra
    path = sparse_cube(str(tmp_path / "cube.0"), npx, npy, npt, [(0, 36.0), (npx * npy - 1, 72.0)])
    try:
        size = os.path.getsize(path)
        out = run_python(OUT_OF_CORE.replace("sys.argv[1]", repr(path)))
        assert out.returncode == 0, out.stderr
        got = json.loads(out.stdout)
    finally:
        os.unlink(path)
    limit = size // 3                                 # the file is three times what the reduction may take
    assert got["peak"] - got["before"] < limit, (got, size)
    assert got["chunks"] > 8
    np.testing.assert_allclose(got["mean"], 108.0 / (npx * npy), rtol=1e-5)


def _spectrum_of(path):
    import xarray
    from orvelio.xarray_backend import OrvelBackendEntrypoint
    with xarray.open_dataset(path, engine=OrvelBackendEntrypoint, datablock="AB") as ds:
        return ds.AB.values


@pytest.mark.filterwarnings("ignore:The specified chunks separate")
def test_distributed_processes(write):
    distributed = pytest.importorskip("distributed")
    import cloudpickle
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    npx, npy, npt = 8, 6, 5
    cube = write(file3d([(k, np.arange(npt) + 10 * k) for k in range(npx * npy)], params=dict(MAP, NPX=npx, NPY=npy)))
    small = [write(file3d([(0, np.arange(npt) * k)], params=dict(MAP, NPX=1, NPY=1))) for k in range(200)]
    serial = [_spectrum_of(p) for p in small]
    with xr.open_dataset(cube, engine=ENGINE, chunks={"y": 1}) as ds:
        serial_mean = ds.AB.mean("y").compute(scheduler="synchronous")
        with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            futures = client.map(_spectrum_of, small)
            spread = client.gather(futures)
            mean = ds.AB.mean("y").compute()
            pids = set(client.run(os.getpid).values())
            many = xr.open_mfdataset(small[:10], engine=ENGINE, combine="nested", concat_dim="file", parallel=True)
            opened = client.submit(xr.open_dataset, cube, engine=ENGINE).result()   # a dataset pickled back
            np.testing.assert_array_equal(many.AB.values, serial[:10])
            xr.testing.assert_identical(opened.load(), ds.load())
    assert len(pids) == 2 and os.getpid() not in pids
    xr.testing.assert_identical(mean, serial_mean)
    for got, want in zip(spread, serial):
        np.testing.assert_array_equal(got, want)


def test_no_leak_report_at_exit_with_readers_still_held(write):
    paths = [write(file3d([(0, np.arange(5) * k)], params=dict(MAP, NPX=1, NPY=1))) for k in range(4)]
    # Readers held at exit by xarray's file cache, by a thread that never ends (its frame is
    # never freed) and by a reference cycle: without care, all of them are reported.
    code = f"""
import threading
import xarray as xr
from dask.distributed import Client
from orvelio.reader import OrvelFile
from orvelio.xarray_backend import OrvelBackendEntrypoint as engine
def hold(ds):
    ds.load()
    threading.Event().wait()
if __name__ == "__main__":
    client = Client(n_workers=1, threads_per_worker=1, dashboard_address=":0")
    ds = xr.open_mfdataset({paths!r}, engine=engine, datablock="AB", combine="nested", concat_dim="file")
    print(float(ds.AB.mean().compute()))
    tree = xr.open_datatree({write(SEEDS["point-map"])!r}, engine=engine)
    threading.Thread(target=hold, args=(xr.open_dataset({paths[0]!r}, engine=engine),), daemon=True).start()
    f = OrvelFile({paths[1]!r})
    f.cycle = f
"""
    out = run_python(code)
    assert out.returncode == 0 and out.stdout.strip() == "3.0", out.stderr
    assert "leaked" not in out.stderr, out.stderr
