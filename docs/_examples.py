"""The files the documentation's examples read, made with the test-file builder (tests/builder.py).

make(directory) writes them once and returns the directory:
    sample.orv     the bundled sample: an absorbance spectrum (AB) and its single channel (SSC)
    map.orv        a hyperspectral image: 4 x 3 pixels of 8 values, a camera picture
    series.orv     time-resolved spectra: 5 spectra of 8 values
    regions.orv    a multi-region point map: a 2 x 2 grid and a list of 3 points
    folder/        20 small spectra, s00.orv ... s19.orv
"""
import math
import os
import pathlib
import shutil
import sys

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent


def _builder():
    sys.path.insert(0, str(REPO / "tests"))
    try:
        import builder
    finally:
        sys.path.remove(str(REPO / "tests"))
    return builder


def _wave(n, phase=0.0, scale=1.0):
    return [round(scale * (1.2 + math.sin(0.4 * k + phase)), 4) for k in range(n)]


def make(directory):
    out = pathlib.Path(directory)
    if (out / "done").exists():
        return out
    b = _builder()
    out.mkdir(parents=True, exist_ok=True)
    shutil.copy(REPO / "examples" / "sample.orv", out / "sample.orv")

    grid = {"AOX": -10.0, "AOY": 5.0, "DDX": 2.5, "DDY": -2.5, "DXU": "WN"}
    f = b.file3d([(p, _wave(8, 0.1 * p)) for p in range(12)], fxv=1800.0, lxv=1100.0,
                 params=dict(grid, NPX=4, NPY=3), acq={"RES": 8.0, "NSS": 16})
    f.add(b.block_type(extend=b.EXT_IMAGE),
          b.image_block([b.Picture(b"\x89PNG\r\n\x1a\n" + bytes(24), "camera", {"Mag:": 15.0})]))
    f.write(out / "map.orv")

    b.file3d([(k, _wave(8, 0.0, 1.0 - 0.1 * k), 30.0 * k) for k in range(5)], fxv=1800.0, lxv=1100.0,
             params={"DXU": "WN"}, info_size=160).write(out / "series.orv")

    rows = b.region(1, 2, 2, range(4), x=[0.0, 5.0, 0.0, 5.0], y=[0.0, 0.0, 5.0, 5.0]) + b.region(2, 0, 0, range(4, 7))
    b.multiregion_file(rows, [(k, _wave(8, k), 10.0 * k) for k in range(7)], fxv=1800.0, lxv=1100.0,
                       params={"DXU": "WN"}).write(out / "regions.orv")

    (out / "folder").mkdir(exist_ok=True)
    for i in range(20):
        b.spectrum_file(_wave(16, 0.05 * i), params={"DXU": "WN"}).write(out / "folder" / f"s{i:02}.orv")
    (out / "done").touch()
    return out


def register_engine(directory):
    """Where orvelio runs from a build tree rather than an installed package, its xarray entry
    point is not registered: register it as installing does (a dist-info folder on the path of
    this process and of the processes it starts, such as dask's workers)."""
    from importlib.metadata import entry_points
    if any(e.name == "orvelio" for e in entry_points(group="xarray.backends")):
        return
    site = pathlib.Path(directory) / "_site"
    info = site / "orvelio_docs-0.dist-info"
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: orvelio-docs\nVersion: 0\n")
    (info / "entry_points.txt").write_text(
        "[xarray.backends]\norvelio = orvelio.xarray_backend:OrvelBackendEntrypoint\n")
    sys.path.append(str(site))
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in (os.environ.get("PYTHONPATH"), str(site)) if p)
    try:
        from xarray.backends import plugins
        plugins.list_engines.cache_clear()
    except (ImportError, AttributeError):
        pass


if __name__ == "__main__":
    print(make(sys.argv[1] if len(sys.argv) > 1 else HERE / "_build" / "examples"))
