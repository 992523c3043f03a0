"""The files the documentation's examples read: the samples of examples/ (made by
examples/make_sample.py), copied into a folder of their own where the examples may write.

make(directory) copies them once and returns the directory:
    sample.orv     an absorbance spectrum (AB) and its single channel (SSC)
    map.orv        a hyperspectral image (AB, 12 x 9 pixels of 256 points), two band-area maps
                   (TRC) and a camera picture
    series.orv     time-resolved spectra (AB, 24 of 240 points) and two traces (TRC)
    regions.orv    a multi-region point map: a 4 x 3 grid and a line of 5 points, two pictures
    traces.orv     a multi-region trace map
    batch/         six spectra, tablet.0 ... tablet.5
"""
import os
import pathlib
import shutil
import sys

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent


def make(directory):
    out = pathlib.Path(directory)
    if (out / "done").exists():
        return out
    out.mkdir(parents=True, exist_ok=True)
    samples = REPO / "examples"
    for path in [*samples.glob("*.orv"), *samples.glob("batch/*")]:
        (out / path.relative_to(samples)).parent.mkdir(exist_ok=True)
        shutil.copy(path, out / path.relative_to(samples))
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
