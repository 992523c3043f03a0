"""The command line, run as a user runs it: `python -m orvelio ...` in a subprocess, on files of
every kind the builder makes."""
import csv
import importlib.util
import json
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import orvelio
from builder import (EXT_IMAGE, Picture, block_type, cut_image, file3d, image_block, multiregion_file, region,
                     spectrum_file)

MAP = {"AOX": -10.0, "AOY": 5.0, "DDX": 2.5, "DDY": -2.5}
ACQ = {"RES": 4.0, "NSS": 32, "SNM": "film, thin"}


def wave(n, phase=0.0):
    return [round(np.sin(0.3 * k + phase), 4) for k in range(n)]


def kinds():
    """{file name: (kind of its first block, builder file)}: one file of every kind."""
    pics = [Picture(b"\x89PNG\r\n\x1a\n" + bytes(24), "camera 1", {"Mag:": 4.0, "Pos X:": "1.5 um"}),
            Picture(bytes(6) + b"JFIF" + bytes(10), "camera/2")]
    spectrum = spectrum_file(wave(64), name="AB", params={"DXU": "WN"}, acq=ACQ)
    spectrum_file(wave(64, 1.0), name="SSC", f=spectrum)
    spectrum.add(block_type(extend=EXT_IMAGE), image_block(pics))
    return {
        "spectrum.0": ("spectrum", spectrum),
        "image.0": ("image", file3d([(k, wave(6, k)) for k in range(6)], params=dict(MAP, NPX=3, NPY=2))),
        "image-traces.0": ("image-traces", file3d([(k, wave(6, k), None, f"trace, {k}") for k in range(3)],
                                                  name="TRC", params=dict(MAP, NPX=3, NPY=2))),
        "series.0": ("time-series", file3d([(k, wave(6, k), 0.5 * k) for k in range(4)], info_size=160)),
        "series-traces.0": ("time-traces", file3d([(k, wave(6, k), float(k), f"band {k}") for k in range(3)],
                                                  name="TRC", info_size=176)),
        "point-map.0": ("point-map", multiregion_file(
            region(2, 2, 2, range(4), Name="m") + region(1, 0, 0, range(4, 6), x=[0.5, 1.5], y=[2.5, 3.5]),
            [(k, wave(6, k), 0.1 * k) for k in range(6)])),
        "trace-map.0": ("trace-map", multiregion_file(
            region(1, 0, 0, range(1, 5)) + region(2, 2, 1, range(5, 7)),
            [(k, wave(8, k), None, f"trace {k}") for k in range(3)], name="TRC")),
    }


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """A folder holding one file of every kind; returns (folder, {name: kind})."""
    where = tmp_path_factory.mktemp("kinds")
    made = {}
    for name, (kind, f) in kinds().items():
        f.write(where / name)
        made[name] = kind
    return where, made


def cli(*args, check=None, **kwargs):
    """Runs `python -m orvelio ARGS` from a neutral folder; returns the CompletedProcess."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **kwargs.pop("env", {}))
    proc = subprocess.run([sys.executable, "-m", "orvelio", *map(str, args)], capture_output=True,
                          text=True, timeout=120, env=env, **kwargs)
    if check is not None:
        assert proc.returncode == check, (proc.stdout, proc.stderr)
    return proc


def exact(path):
    """{request: getOrvelData result} of every distinct block of a file."""
    return {req: orvelio.getOrvelData(str(path), req) for req in dict.fromkeys(orvelio.listContents(str(path)))}


def run(capsys, *args):
    """Runs the program in this process (for the cases repeated on every kind); returns
    (status, stdout, stderr)."""
    from orvelio.cli import main
    try:
        status = main([str(a) for a in args])
    except SystemExit as exc:  # argparse: --help, usage errors
        status = exc.code
    out = capsys.readouterr()
    return status, out.out, out.err


# ---------------------------------------------------------------- the program

def test_help_version_and_usage_errors(capsys):
    top = cli("--help", check=0)
    assert all(c in top.stdout for c in ("ls", "info", "params", "export", "pictures", "plot"))
    assert cli("--version", check=0).stdout.startswith("orvelio ")
    proc = cli("export", "x", "-o", "y", "--format", "xls")
    assert proc.returncode == 2 and proc.stdout == "" and "invalid choice: 'xls'" in proc.stderr
    for command in ("ls", "info", "params", "export", "pictures", "plot"):
        status, out, _ = run(capsys, command, "--help")
        assert status == 0 and f"usage: orvelio {command}" in out
    for args in [(), ("export", "x"), ("export", "x", "-o", "y", "--format", "csv", "-j", "0"),
                 ("params", "x", "--block", "AB 2D"), ("--bogus",)]:
        status, out, err = run(capsys, *args)
        assert status == 2 and out == "" and "usage:" in err, args


def test_console_script(tmp_path):
    """The installed `orvelio` script (where the package is installed) runs the same program."""
    script = os.path.join(os.path.dirname(sys.executable), "orvelio")
    if not os.path.exists(script):
        pytest.skip("the package is not installed here")
    proc = subprocess.run([script, "ls", os.path.dirname(__file__) + "/../examples"], capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0 and "sample.orv: AB 2D NONE spectrum 1024" in proc.stdout


# ---------------------------------------------------------------- ls, info, params

def test_ls(folder, tmp_path):
    where, made = folder
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "notes.txt").write_text("hello")
    os.symlink(where / "image.0", tmp_path / "sub" / "image.0")
    proc = cli("ls", where, tmp_path)  # not recursive: sub is not listed
    assert proc.returncode == 0 and proc.stderr == f"orvelio: {tmp_path}: holds only folders; use -r to look inside them\n"
    lines = proc.stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == [str(where / n) for n in sorted(made)]
    for line, name in zip(lines, sorted(made)):
        assert f" {made[name]} " in line
    assert f"{where / 'image.0'}: AB 3D NONE image 2x3x6" in lines
    assert f"{where / 'point-map.0'}: AB 3D NONE point-map 2+4 spectra" in lines
    assert f"{where / 'spectrum.0'}: AB 2D NONE spectrum 64; SSC 2D NONE spectrum 64" in lines
    proc = cli("ls", "-r", tmp_path, tmp_path / "missing")
    assert proc.returncode == 1
    assert proc.stdout == f"{tmp_path / 'sub' / 'image.0'}: AB 3D NONE image 2x3x6\n"
    assert f"{tmp_path / 'sub' / 'notes.txt'}: not an Orvel file, skipped" in proc.stderr
    assert f"{tmp_path / 'missing'}: No such file or directory" in proc.stderr


def test_info_every_kind(folder, capsys):
    where, made = folder
    proc = cli("info", where / "spectrum.0", check=0)
    assert "AB 2D NONE: spectrum, 64 float32" in proc.stdout
    assert "x: 4000 .. 400 cm⁻¹, 64 points (Wavenumber)" in proc.stdout
    assert "Resolution" in proc.stdout and "picture 1: 'camera/2', jpeg, 20 bytes" in proc.stdout
    for name, kind in made.items():
        status, out, err = run(capsys, "info", "--json", where / name)
        assert status == 0 and err == "", name
        info = json.loads(out)
        results = exact(where / name)
        assert [tuple(b["request"]) for b in info["blocks"]] == list(results)
        block, result = info["blocks"][0], results[tuple(info["blocks"][0]["request"])]
        assert block["kind"] == kind and block["dtype"] == "float32"
        assert (block["x"]["first"], block["x"]["last"], block["x"]["points"]) == (
            result.x[0], result.x[-1], len(result.x))
        if kind in ("point-map", "trace-map"):
            assert block["shape"] == [len(g.spectra) for g in result.regions]
        else:
            assert tuple(block["shape"]) == getattr(result, {"spectrum": "y", "image": "spectra"}.get(
                kind, "traces" if "traces" in kind else "spectra")).shape
    info = json.loads(run(capsys, "info", "--json", where / "spectrum.0")[1])
    assert {"code": "RES", "label": "Resolution", "value": 4.0} in info["blocks"][0]["parameters"]
    assert [(p["title"], p["format"], p["size"]) for p in info["pictures"]] == [
        ("camera 1", "png", 32), ("camera/2", "jpeg", 20)]
    assert info["pictures"][0]["properties"]["Mag"] == 4.0


def test_params(folder, capsys):
    where, _ = folder
    proc = cli("params", where / "spectrum.0", "--block", "ab", "--json", check=0)
    rows = json.loads(proc.stdout)
    params = orvelio.getOrvelData(str(where / "spectrum.0"), ("AB", "2D", "NONE")).parameters
    assert [r["code"] for r in rows] == list(params)
    assert {r["code"]: r["value"] for r in rows} == params
    assert {"code": "SNM", "label": "Sample Name", "value": "film, thin"} in rows
    status, out, _ = run(capsys, "params", where / "image.0")
    assert status == 0 and "NPX" in out and "Number of Data Points" in out
    status, out, err = run(capsys, "params", where / "spectrum.0")  # two blocks: which one?
    assert status == 1 and out == "" and "AB" in err and "SSC" in err and str(where / "spectrum.0") in err
    status, out, err = run(capsys, "params", where / "spectrum.0", "--block", "AB/3D/NONE")
    assert status == 1 and "SSC" in err


# ---------------------------------------------------------------- export

def read_csv(path):
    """(header, rows as texts) of a CSV file."""
    with open(path, newline="", encoding="utf-8") as fh:
        rows = list(csv.reader(fh))
    return rows[0], rows[1:]


def check_csv(path, kind, r):
    """One row per spectrum, its coordinates first, then a column per x value (traces at positions:
    a column per trace), every value in its shortest form."""
    header, rows = read_csv(path)
    lead = {"spectrum": [], "image": ["x", "y"], "time-series": ["time"], "time-traces": ["trace"],
            "point-map": ["region", "point", "x", "y"], "image-traces": ["x", "y"],
            "trace-map": ["region", "point", "x", "y"]}[kind]
    n = len(lead)
    assert header[:n] == lead
    values = np.array([row[n:] for row in rows], dtype=np.float64)
    coords = np.array([row[:n] for row in rows], dtype=object)
    assert max(len(cell) for row in rows for cell in row[n:]) <= 7  # wave(): four decimals
    if kind in ("image-traces", "trace-map"):
        assert header[n:] == list(r.labels)
        traces = (r.traces.reshape(-1, len(r.labels)) if kind == "image-traces"
                  else np.concatenate([g.spectra for g in r.regions]))
        np.testing.assert_array_equal(values.astype(np.float32), traces)
        return
    np.testing.assert_array_equal(np.array(header[n:], dtype=np.float64), r.x)
    spectra = {"spectrum": lambda: [r.y], "image": lambda: r.spectra.reshape(-1, len(r.x)),
               "time-series": lambda: r.spectra, "time-traces": lambda: r.traces,
               "point-map": lambda: np.concatenate([g.spectra for g in r.regions])}[kind]()
    np.testing.assert_array_equal(values.astype(np.float32), spectra)
    if kind == "image":
        ny, nx = r.spectra.shape[:2]
        np.testing.assert_array_equal(coords.astype(float), np.column_stack(
            [np.tile(r.mapX, ny), np.repeat(r.mapY, nx)]))
    elif kind == "time-series":
        np.testing.assert_array_equal(coords[:, 0].astype(float), r.z)
    elif kind == "time-traces":
        assert list(coords[:, 0]) == list(r.labels)
    elif kind == "point-map":
        np.testing.assert_array_equal(coords[:, 2].astype(float), np.concatenate([g.mapX for g in r.regions]))


def check_npz(path, r):
    with np.load(path) as z:
        names = set(z.files)
        for name, value in vars(r).items():
            if isinstance(value, np.ndarray):
                np.testing.assert_array_equal(z[name], value)
                assert z[name].dtype == value.dtype
        if hasattr(r, "labels"):
            assert list(z["labels"]) == list(r.labels)
        for i, g in enumerate(getattr(r, "regions", [])):
            assert z["region_titles"][i] == g.title
            np.testing.assert_array_equal(z[f"region{i}_spectra"], g.spectra)
            np.testing.assert_array_equal(z[f"region{i}_mapX"], g.mapX)
            assert (f"region{i}_start_time" in names) == (g.start_time is not None)
        assert list(z["request"]) == [r.dataType, r.dimension, r.derivative]
        assert json.loads(str(z["parameters"])) == r.parameters


@pytest.mark.parametrize("fmt, jobs", [("csv", 1), ("npz", 2)])
def test_export_every_kind(folder, tmp_path, fmt, jobs):
    where, made = folder
    out = tmp_path / "out"
    proc = cli("export", where, "-o", out, "--format", fmt, "-j", jobs, check=0)
    assert proc.stdout == "" and "from 7 files" in proc.stderr
    expected = {f"{name}.{'-'.join(req)}.{fmt}": (made[name] if i == 0 else "spectrum", r)
                for name in made for i, (req, r) in enumerate(exact(where / name).items())}
    assert sorted(os.listdir(out)) == sorted(expected)
    for name, (kind, r) in expected.items():
        check_csv(out / name, kind, r) if fmt == "csv" else check_npz(out / name, r)


def test_csv_text_without_pyarrow(folder, tmp_path, monkeypatch):
    """The tables written without pyarrow are the same text as with it, numbers included."""
    pytest.importorskip("pyarrow")
    from orvelio.export import write_csv
    where, made = folder
    blocks = [(where / name, req) for name in made for req in exact(where / name)]
    for k, (path, block) in enumerate(blocks):
        write_csv(path, tmp_path / f"{k}.arrow.csv", block)
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    for k, (path, block) in enumerate(blocks):
        write_csv(path, tmp_path / f"{k}.csv", block)
        assert (tmp_path / f"{k}.csv").read_bytes() == (tmp_path / f"{k}.arrow.csv").read_bytes(), block
    from orvelio.export import _shortest
    floats = np.array([-5, 2.5, 0.02, 1e-7, 1e-6, 1e9, 1e10, 123456789012, 1e30, np.nan, -np.inf])
    assert [_shortest(v) for v in floats.astype(np.float32)] == [
        "-5", "2.5", "0.02", "1e-7", "0.000001", "1000000000", "1e+10", "1.2345679e+11", "1e+30", "nan", "-inf"]


def test_export_block_choice_and_netcdf(folder, tmp_path):
    where, _ = folder
    proc = cli("export", where / "spectrum.0", where / "image.0", "-o", tmp_path, "--format", "npz",
               "--block", "SSC", check=0)
    assert os.listdir(tmp_path) == ["spectrum.0.SSC-2D-NONE.npz"]
    assert f"{where / 'image.0'}: no block SSC (it holds AB/3D/NONE)" in proc.stderr
    try:
        import xarray
        from orvelio.reader import OrvelFile
        OrvelFile.to_xarray
    except (ImportError, AttributeError):
        proc = cli("export", where, "-o", tmp_path / "nc", "--format", "netcdf")
        assert proc.returncode == 2 and "netcdf output needs" in proc.stderr
        assert not (tmp_path / "nc").exists()
        return
    cli("export", where / "spectrum.0", where / "image.0", "-o", tmp_path / "nc", "--format", "netcdf",
        "--block", "AB", check=0)
    for name, values in (("spectrum.0", "y"), ("image.0", "spectra")):
        r = orvelio.getOrvelData(str(where / name), ("AB", "2D" if values == "y" else "3D", "NONE"))
        with xarray.open_dataset(tmp_path / "nc" / f"{name}.AB-{r.dimension}-NONE.nc") as ds:
            np.testing.assert_array_equal(ds["AB"].values, getattr(r, values))
            np.testing.assert_array_equal(ds["spectral"].values, r.x)


def test_export_mixed_folder(folder, tmp_path):
    """Good, truncated and foreign files: the good ones converted, the failures listed, status 1."""
    where, _ = folder
    src = tmp_path / "src"
    (src / "deeper").mkdir(parents=True)
    good = (where / "image.0").read_bytes()
    (src / "a.0").write_bytes(good)
    (src / "deeper" / "b.0").write_bytes((where / "series.0").read_bytes())
    (src / "cut.0").write_bytes(good[:len(good) - 40])
    (src / "cut-head.0").write_bytes(good[:30])
    (src / "readme.txt").write_text("a note")
    (src / "empty.1").write_bytes(b"")
    os.mkfifo(src / "deeper" / "pipe.0")  # would wait for a writer forever if opened
    out = src / "converted"  # inside the folder converted: left out of it when run again
    for _ in range(2):
        proc = cli("export", src, "-o", out, "--format", "npz", "-j", "2")
        assert proc.returncode == 1 and "converted" not in proc.stderr.replace(f"in {out}", "")
        assert sorted(os.path.relpath(os.path.join(d, f), out) for d, _, fs in os.walk(out) for f in fs) == [
            "a.0.AB-3D-NONE.npz", os.path.join("deeper", "b.0.AB-3D-NONE.npz")]
    check_npz(out / "a.0.AB-3D-NONE.npz", orvelio.getOrvelData(str(src / "a.0"), ("AB", "3D", "NONE")))
    failures = proc.stderr[proc.stderr.index("3 failed:"):].splitlines()[1:]
    assert [line.split(":")[0].strip() for line in failures] == [
        str(src / "cut-head.0"), str(src / "cut.0"), str(src / "empty.1")]
    assert "truncated" in failures[1].lower() or "cut short" in failures[1].lower()
    assert failures[2].endswith(": empty file")
    assert f"{src / 'readme.txt'}: not an Orvel file, skipped" in proc.stderr


def test_export_outlives_a_dead_worker(folder, tmp_path):
    """A worker process that dies (killed, out of memory) fails its files; the batch finishes,
    the other worker stopped in the middle of a file included."""
    where, made = folder
    out, busy = tmp_path / "out", tmp_path / "busy"
    code = ("import os, sys, time; from orvelio import cli, _batch; convert = _batch.export_file\n"
            "def dying(job):\n"
            "    if job[0].endswith('image.0'):\n"
            f"        while not os.path.exists({str(busy)!r}): time.sleep(0.01)\n"
            "        os._exit(9)\n"
            f"    open({str(busy)!r}, 'w').close(); time.sleep(0.2)\n"  # busy when the pool breaks
            "    return convert(job)\n"
            "_batch.export_file = dying\n"
            f"sys.exit(cli.main(['export', {str(where)!r}, '-o', {str(out)!r}, '-f', 'npz', '-j', '2']))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 1
    assert f"{where / 'image.0'}: the worker process converting it stopped unexpectedly" in proc.stderr
    assert {name.split(".")[0] + ".0" for name in os.listdir(out)} == set(made) - {"image.0"}
    assert all(not name.startswith(".") for name in os.listdir(out))


@pytest.fixture(scope="module")
def slow_folder(tmp_path_factory):
    """40 names of one 1 MB image: each takes a while to write as text."""
    src = tmp_path_factory.mktemp("slow")
    file3d([(k, wave(4000, k)) for k in range(64)], params=dict(MAP, NPX=8, NPY=8)).write(src / "000.0")
    for k in range(1, 40):
        os.link(src / "000.0", src / f"{k:03d}.0")
    return src


@pytest.mark.parametrize("sig, jobs, status, said", [(signal.SIGINT, 2, 130, "interrupted"),
                                                      (signal.SIGTERM, 1, 143, "stopped")])
def test_interrupted_export_leaves_no_partial_file(slow_folder, tmp_path, sig, jobs, status, said):
    """Ctrl-C or SIGTERM in the middle of a folder: stops at once, every output there complete."""
    src, out = slow_folder, tmp_path / "out"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.Popen([sys.executable, "-m", "orvelio", "export", src, "-o", out, "--format", "csv",
                             "-j", str(jobs)], stderr=subprocess.PIPE, text=True, env=env)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not (out.exists() and sum(
            not n.startswith(".") for n in os.listdir(out)) >= 2):  # two outputs complete
        time.sleep(0.02)
    proc.send_signal(sig)
    t = time.monotonic()
    _, err = proc.communicate(timeout=30)
    assert time.monotonic() - t < 5 and proc.returncode == status, err
    assert said in err
    names = os.listdir(out)
    assert 0 < len(names) < 40 and all(n.endswith(".AB-3D-NONE.csv") for n in names)
    expected = orvelio.getOrvelData(str(src / "000.0"), ("AB", "3D", "NONE"))
    for name in names:
        check_csv(out / name, "image", expected)


def test_atomic_output(tmp_path):
    """An output interrupted by an exception, Ctrl-C or a worker's exit leaves nothing behind."""
    from orvelio.export import atomic_file
    for error in (ValueError, KeyboardInterrupt, SystemExit):
        with pytest.raises(error), atomic_file(tmp_path / "t.csv") as fh:
            fh.write(b"half")
            raise error
    assert os.listdir(tmp_path) == []
    with atomic_file(tmp_path / "t.csv") as fh:
        fh.write(b"whole")
    assert os.listdir(tmp_path) == ["t.csv"] and (tmp_path / "t.csv").read_bytes() == b"whole"
    mask = os.umask(0)
    os.umask(mask)
    assert os.stat(tmp_path / "t.csv").st_mode & 0o777 == 0o666 & ~mask


# ---------------------------------------------------------------- pictures and plot

def test_pictures(folder, tmp_path):
    where, _ = folder
    proc = cli("pictures", where / "spectrum.0", where / "image.0", "-o", tmp_path, check=0)
    assert sorted(os.listdir(tmp_path)) == ["spectrum.0.0.camera 1.json", "spectrum.0.0.camera 1.png",
                                            "spectrum.0.1.camera_2.jpg", "spectrum.0.1.camera_2.json"]
    assert proc.stdout.splitlines() == [str(tmp_path / "spectrum.0.0.camera 1.png"),
                                        str(tmp_path / "spectrum.0.1.camera_2.jpg")]
    assert proc.stderr == f"orvelio: {where / 'image.0'}: no pictures\n"
    pictures = orvelio.getVisImages(str(where / "spectrum.0"))
    assert (tmp_path / "spectrum.0.0.camera 1.png").read_bytes() == pictures[0]["image"]
    side = json.loads((tmp_path / "spectrum.0.1.camera_2.json").read_text())
    assert side["title"] == "camera/2" and side["format"] == "jpeg" and side["properties"]["Bytes"] == 20
    proc = cli("pictures", where / "missing.0", "-o", tmp_path)
    assert proc.returncode == 1 and "missing.0: No such file or directory" in proc.stderr


def test_plot_every_kind(folder, tmp_path, capsys):
    where, made = folder
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        proc = cli("plot", where / "image.0", "-o", tmp_path / "p.png")
        assert proc.returncode == 2 and "plot needs matplotlib" in proc.stderr
        return
    cli("plot", where / "image.0", "--band", 3000, "-o", tmp_path / "band.png", check=0)
    assert (tmp_path / "band.png").read_bytes()[:4] == b"\x89PNG"
    for name in made:
        status, out, err = run(capsys, "plot", where / name, "--block", "AB" if name == "spectrum.0" else
                               ("TRC" if "trace" in name else "AB"), "-o", tmp_path / f"{name}.svg")
        assert status == 0 and err == "" and out == f"{tmp_path / name}.svg\n", name
        assert b"<svg" in (tmp_path / f"{name}.svg").read_bytes()
    status, _, err = run(capsys, "plot", where / "image-traces.0", "--band", 7, "-o", tmp_path / "x.png")
    assert status == 2 and "trace 7 not in 0..2" in err and not (tmp_path / "x.png").exists()


def test_plot_without_matplotlib(folder, tmp_path):
    where, _ = folder
    code = ("import sys; sys.modules['matplotlib'] = None; from orvelio.cli import main; "
            f"sys.exit(main(['plot', {str(where / 'image.0')!r}, '-o', {str(tmp_path / 'p.png')!r}]))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 2 and "plot needs matplotlib: pip install 'orvelio[plot]'" in proc.stderr
    assert not (tmp_path / "p.png").exists()


def test_import_stays_light():
    """`import orvelio.cli` loads no reader, numpy extras, tqdm or matplotlib."""
    code = ("import sys, orvelio.cli; print(sorted(m for m in ('orvelio.reader', 'tqdm', 'matplotlib', "
            "'xarray', 'csv', 'multiprocessing') if m in sys.modules))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert proc.stdout.strip() == "[]", proc.stderr


# ---------------------------------------------------------------- what an unlucky user meets

def test_pictures_never_replace_an_output(folder, tmp_path):
    """Two inputs of one name, files already there, a record listed many times."""
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "fuzz"))
    from make_corpus import shared_record_file
    where, _ = folder
    for d in ("a", "b"):
        (tmp_path / d).mkdir()
    (tmp_path / "a" / "scan.0").write_bytes((where / "spectrum.0").read_bytes())
    (tmp_path / "b" / "scan.0").write_bytes(shared_record_file(300, 2))
    out = tmp_path / "out"
    proc = cli("pictures", tmp_path / "a" / "scan.0", tmp_path / "b" / "scan.0", "-o", out, check=1)
    assert f"{tmp_path / 'b' / 'scan.0'}: its pictures would overwrite those of {tmp_path / 'a' / 'scan.0'}" \
        in proc.stderr
    first = {n: (out / n).read_bytes() for n in os.listdir(out)}
    assert len(first) == 4 and all(n.startswith("scan.0.") for n in first)
    proc = cli("pictures", tmp_path / "a" / "scan.0", "-o", out, check=1)
    assert "exists (--overwrite replaces it)" in proc.stderr
    cli("pictures", tmp_path / "a" / "scan.0", "-o", out, "--overwrite", check=0)
    assert {n: (out / n).read_bytes() for n in os.listdir(out)} == first
    proc = cli("pictures", tmp_path / "b" / "scan.0", "-o", tmp_path / "shared", check=0)
    assert sorted(os.listdir(tmp_path / "shared")) == ["scan.0.0.shared.bmp", "scan.0.0.shared.json"]
    assert "written once for the 300 pictures that share its record (0-299)" in proc.stderr
    assert json.loads((tmp_path / "shared" / "scan.0.0.shared.json").read_text())["indexes"] == list(range(300))


def test_outputs_stay_in_the_output_folder(folder, tmp_path):
    where, _ = folder
    (tmp_path / "src" / "d").mkdir(parents=True)
    (tmp_path / "src" / "d" / "f.0").write_bytes((where / "image.0").read_bytes())
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "out").mkdir()
    os.symlink(tmp_path / "elsewhere", tmp_path / "out" / "d")
    proc = cli("export", tmp_path / "src", "-o", tmp_path / "out", "-f", "npz", "-j", "1", check=1)
    assert f"{tmp_path / 'out' / 'd'} is a symbolic link inside the output folder" in proc.stderr
    assert os.listdir(tmp_path / "elsewhere") == []


@pytest.mark.parametrize("free, crash", [(0, False), (100_000, True)])
def test_netcdf_export_to_a_full_disk(folder, tmp_path, free, crash):
    """A full disk is refused before writing, and a writer that crashes on it takes down its
    worker process only (-j 1 too): either way one line naming the output."""
    pytest.importorskip("xarray")
    where, _ = folder
    out = tmp_path / "out"
    code = ("import os, signal, sys, types, xarray; from orvelio import cli\n"
            "real = os.statvfs\n"
            f"os.statvfs = lambda p: types.SimpleNamespace(f_bavail={free}, f_frsize=1, f_blocks=1)\n"
            + ("xarray.Dataset.to_netcdf = lambda *a, **k: os.kill(os.getpid(), signal.SIGSEGV)\n" if crash else "")
            + f"sys.exit(cli.main(['export', {str(where / 'image.0')!r}, '-o', {str(out)!r}, '-f', 'netcdf', "
              "'-j', '1']))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 1, proc.stderr
    said = "no space left on device (the worker process writing it stopped)" if crash else \
        f"{out / 'image.0.AB-3D-NONE.nc'}: no space left on device"
    assert said in proc.stderr and "Traceback" not in proc.stderr
    assert os.listdir(out) == []


def test_names_that_are_not_utf8(folder, tmp_path):
    where, _ = folder
    data = (where / "image.0").read_bytes()
    for name in (b"a.0", b"b\xff.0", b"c.0"):
        with open(os.path.join(os.fsencode(tmp_path), name), "wb") as fh:
            fh.write(data)
    bad = os.fsdecode(os.path.join(os.fsencode(tmp_path), b"b\xff.0"))
    proc = cli("ls", tmp_path, check=0, env={"LC_ALL": "C.UTF-8", "PYTHONIOENCODING": "utf-8"})
    assert [line.split(":")[0] for line in proc.stdout.splitlines()] == [
        f"{tmp_path}/a.0", f"{tmp_path}/b\\xff.0", f"{tmp_path}/c.0"]
    proc = cli("info", "--json", bad, check=0)
    assert json.loads(proc.stdout)["path"] == f"{tmp_path}/b\\xff.0"
    assert f"{tmp_path}/b\\xff.0: 1 block" in cli("info", bad, check=0).stdout


def test_plot_failures_are_one_line(folder, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    where, _ = folder
    file3d([], params=dict(MAP, NPX=0, NPY=0), npt=6).write(tmp_path / "empty.0")
    spectrum_file(wave(64), params={"NPT": 100}).write(tmp_path / "cut.0")  # 64 of 100 values
    cases = [(tmp_path / "empty.0", "p.png", 1, "holds no values to plot"),
             (tmp_path / "cut.0", "p.png", 1, "cut short"),
             (where / "image.0", "x.xyz", 2, "cannot write .xyz images"),
             (where / "image.0", "missing/p.png", 2, "no folder")]
    for path, out, status, said in cases:
        got, stdout, err = run(capsys, "plot", path, "-o", tmp_path / out)
        assert (got, stdout) == (status, "") and said in err and len(err.splitlines()) == 1, (out, err)
    assert not (tmp_path / "p.png").exists()
    assert run(capsys, "ls", tmp_path / "cut.0")[1].endswith(" cut short\n")
    status, _, err = run(capsys, "export", tmp_path / "cut.0", "-o", tmp_path / "out", "-f", "csv", "-q")
    assert status == 1 and re.search(r"the file is cut short: block AB 2D NONE holds \d+ of 100 values", err)
    assert os.listdir(tmp_path / "out") == []


def test_partial(tmp_path, capsys):
    """A file cut short fails with a hint; --partial writes and plots it with NaN for what is
    missing and a warning, in this process and in worker processes."""
    (tmp_path / "cut.0").write_bytes(cut_image(keep=len(cut_image()) - 220))  # the last pixel
    status, _, err = run(capsys, "export", tmp_path / "cut.0", "-o", tmp_path / "no", "-f", "csv")
    assert status == 1 and "holds 25 of 30 values (--partial exports what it holds" in err
    status, _, err = run(capsys, "export", tmp_path / "cut.0", "-o", tmp_path / "out", "-f", "csv", "--partial")
    assert status == 0 and "warning: " in err and "the 5 missing values are NaN" in err
    header, rows = read_csv(tmp_path / "out" / "cut.0.AB-3D-NONE.csv")
    assert len(rows) == 6 and rows[-1] == ["-5", "2.5"] + ["nan"] * 5 and rows[-2][2:] == ["40", "41", "42", "43", "44"]
    (tmp_path / "mid.0").write_bytes(cut_image(keep=len(cut_image()) - 208))  # inside the last pixel
    status, _, err = run(capsys, "export", tmp_path / "mid.0", "-o", tmp_path / "out", "-f", "csv", "--partial")
    assert status == 0 and "the 2 missing values are NaN, as is the rest of a row they cut short" in err
    assert [r[2:] for r in read_csv(tmp_path / "out" / "mid.0.AB-3D-NONE.csv")[1][-2:]] == [
        ["40", "41", "42", "43", "44"], ["nan"] * 5]
    (tmp_path / "cut2.0").write_bytes((tmp_path / "cut.0").read_bytes())  # two files: two workers
    proc = cli("export", tmp_path / "cut.0", tmp_path / "cut2.0", "-o", tmp_path / "npz", "-f", "npz", "--partial",
               "-j", 2, check=0)
    assert proc.stderr.count("the 5 missing values are NaN") == 2
    with np.load(tmp_path / "npz" / "cut.0.AB-3D-NONE.npz") as z:
        assert np.isnan(z["spectra"]).sum() == 5
    if importlib.util.find_spec("matplotlib"):
        status, out, err = run(capsys, "plot", tmp_path / "cut.0", "-o", tmp_path / "p.png", "--partial")
        assert status == 0 and out.strip() == str(tmp_path / "p.png") and "missing values are NaN" in err


def test_csv_faults(folder, tmp_path):
    where, _ = folder
    src = tmp_path / "src"
    src.mkdir()
    file3d([], params=dict(MAP, NPX=0, NPY=0), npt=6).write(src / "empty.0")
    long = "s" * (255 - len(".TRC-3D-NONE.csv"))  # the output's name fits the limit exactly
    file3d([(k, wave(6, k), float(k), label) for k, label in enumerate(["=SUM(A1)", "@x", "-3", "ok"])],
           name="TRC", info_size=176).write(src / long)
    proc = cli("export", src, "-o", tmp_path / "out", "-f", "csv", "-j", "1", check=1)
    assert f"{src / 'empty.0'}: the block holds no values: nothing to write as a table" in proc.stderr
    assert os.listdir(tmp_path / "out") == [f"{long}.TRC-3D-NONE.csv"]
    header, rows = read_csv(tmp_path / "out" / f"{long}.TRC-3D-NONE.csv")
    assert header[0] == "trace" and [row[0] for row in rows] == ["'=SUM(A1)", "'@x", "-3", "ok"]


# ---------------------------------------------------------------- many files, one thin layer

def test_commands_over_many_files(folder, tmp_path, capsys):
    where, made = folder
    status, out, _ = run(capsys, "ls", "--json", where)
    entries = [json.loads(line) for line in out.splitlines()]
    assert status == 0 and [os.path.basename(e["path"]) for e in entries] == sorted(made)
    assert entries[sorted(made).index("image.0")]["blocks"] == [
        {"block": "AB 3D NONE", "kind": "image", "shape": [2, 3, 6], "complete": entries[1]["blocks"][0]["complete"]}]
    status, out, _ = run(capsys, "info", "--json", where / "image.0", where / "series.0")
    assert status == 0 and [os.path.basename(i["path"]) for i in json.loads(out)] == ["image.0", "series.0"]
    status, out, _ = run(capsys, "params", where / "image.0", where / "series.0", "--block", "AB")
    assert status == 0 and f"{where / 'series.0'}:\n  NPT" in out
    for blocks in (["--block", "AB", "--block", "SSC"], ["--block", "ab,ssc"]):
        out_dir = tmp_path / "-".join(blocks)
        cli("export", where / "spectrum.0", "-o", out_dir, "-f", "npz", *blocks, check=0)
        assert sorted(os.listdir(out_dir)) == ["spectrum.0.AB-2D-NONE.npz", "spectrum.0.SSC-2D-NONE.npz"]
    (out_dir / "spectrum.0.AB-2D-NONE.npz").write_bytes(b"kept")
    proc = cli("export", where / "spectrum.0", "-o", out_dir, "-f", "npz", "--skip-existing", check=0)
    assert (out_dir / "spectrum.0.AB-2D-NONE.npz").read_bytes() == b"kept" and "exists, skipped" in proc.stderr
    proc = cli("lst", where)
    assert proc.returncode == 2 and "unknown command 'lst'" in proc.stderr and "ls, info, params" in proc.stderr


def test_export_keeps_folder_names(folder, tmp_path):
    where, _ = folder
    for name in ("run1", "run2"):
        (tmp_path / name).mkdir()
        (tmp_path / name / "s.0").write_bytes((where / "image.0").read_bytes())
    cli("export", tmp_path / "run1", tmp_path / "run2", "-o", tmp_path / "out", "-f", "npz", check=0)
    assert sorted(os.listdir(tmp_path / "out")) == ["run1", "run2"]
    assert os.listdir(tmp_path / "out" / "run2") == ["s.0.AB-3D-NONE.npz"]


def test_export_of_a_few_small_files_starts_no_pool(folder, tmp_path, monkeypatch):
    import concurrent.futures
    from orvelio import _batch
    where, _ = folder
    monkeypatch.setattr(concurrent.futures, "ProcessPoolExecutor", None)  # no pool can start
    written, _, failed = _batch.export_paths([where / "spectrum.0", where / "image.0"], tmp_path, "npz", [],
                                             None, False, None)
    assert written >= 2 and not failed
    with pytest.raises(TypeError):  # -j given: the pool it asks for
        _batch.export_paths([where / "spectrum.0", where / "image.0"], tmp_path / "j", "npz", [], 2, False, None)


def test_catalog_command(folder, tmp_path):
    pd = pytest.importorskip("pandas")
    where, made = folder
    cli("catalog", where, "-o", tmp_path / "t.csv", "-q", check=0)
    table = pd.read_csv(tmp_path / "t.csv")
    assert len(table) == len(made) + 1 and "SSC 2D NONE" in set(table["block"])
    rows = json.loads(cli("catalog", where / "image.0", "--json", check=0).stdout)
    assert [(r["kind"], r["shape"]) for r in rows] == [("image", [2, 3, 6])]
    assert cli("catalog", where).returncode == 2


def test_info_layout(folder, capsys):
    where, _ = folder
    blocks = {}
    for name in ("image.0", "series.0", "series-traces.0"):
        blocks[name] = json.loads(run(capsys, "info", "--json", where / name)[1])["blocks"][0]
    image = blocks["image.0"]
    assert (image["pixel_size"], image["origin"], image["field_of_view"]) == ([2.5, 2.5], [-10.0, 5.0], [7.5, 5.0])
    assert blocks["series.0"]["time_range"] == [0.0, 1.5]
    assert blocks["series-traces.0"]["traces"] == ["band 0", "band 1", "band 2"]
    out = run(capsys, "info", where / "image.0")[1]
    assert "pixel size 2.5 x 2.5, origin -10, 5, field of view 7.5 x 5" in out


def test_plot_bands(folder, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    where, _ = folder
    for name, band in (("point-map.0", 3000), ("series.0", 2000), ("trace-map.0", 1), ("image.0", 400)):
        status, _, err = run(capsys, "plot", where / name, "--band", band, "-o", tmp_path / f"{name}.png",
                             "--dpi", 50, "--size", "4x3")
        assert status == 0, err
        head = (tmp_path / f"{name}.png").read_bytes()[:24]
        assert int.from_bytes(head[16:20], "big") == 200 and int.from_bytes(head[20:24], "big") == 150
    status, out, err = run(capsys, "plot", where / "image.0", "--band", 5000, "-o", tmp_path / "x.png")
    assert (status, out) == (2, "") and "--band 5000 is outside the x axis (4000 .. 400" in err
    status, _, err = run(capsys, "plot", where / "image.0", "--size", "big", "-o", tmp_path / "x.png")
    assert status == 2 and "not a size" in err
