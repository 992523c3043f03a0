"""orvelio.reader: the friendly API beside the exact one."""
import json
import os
import pathlib
import re
import subprocess
import sys
import warnings

import numpy as np
import pytest

import orvelio
from builder import (EXT_IMAGE, OrvelFile as Builder, Picture as BuiltPicture, block_type, data_word,
                     block3d, file3d, floats, image_block, multiregion_file, params, region, spectrum_file)
from conftest import run_python
from orvelio.reader import (BlockNotFoundError, CorruptFileError, Coordinate, FileChangedError, FileTooLargeError,
                            InvalidRequestError, NotOrvelFileError, OrvelError, OrvelFile, Parameter, RegionGrid,
                            TruncatedFileError, XRange, imread, is_orvel)

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "fuzz"))
from make_corpus import seeds  # noqa: E402

# The fuzzing seeds (one file per kind of block, among others) and two more maps.
FILES = dict(seeds())
FILES["point-map"] = multiregion_file(region(2, 2, 3, range(6)) + region(1, 0, 0, range(6, 8)),
                                      [(n, [n * 1.0] * 5, 0.5 * n) for n in range(8)]).build()
FILES["trace-map"] = multiregion_file(region(1, 1, 2, [1, 2], Name="t") + region(2, 0, 0, [3]),
                                      [(n, [n * 1.0] * 3, None, f"trace {n}") for n in range(3)],
                                      name="TRC").build()
KINDS = {"spectrum", "image", "image-traces", "time-series", "time-traces", "point-map", "trace-map"}


def same(a, b):
    """Whether two results (or their parts) hold equal values of equal types."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=True)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if hasattr(a, "__dict__"):
        return same(vars(a), vars(b))
    return a == b or (a != a and b != b)


@pytest.fixture(scope="module")
def seed_paths(tmp_path_factory):
    where = tmp_path_factory.mktemp("seeds")
    out = {}
    for name, data in FILES.items():
        out[name] = str(where / f"{name}.orv")
        pathlib.Path(out[name]).write_bytes(data)
    return out


# ---------------------------------------------------------------- reading: identical to the exact API

@pytest.fixture(scope="module")
def kinds_read():
    return set()


@pytest.mark.filterwarnings("ignore:Orignal mapping:UserWarning")
@pytest.mark.parametrize("name", sorted(FILES))
def test_every_block_reads_as_the_exact_api_reads_it(seed_paths, kinds_read, name):
    path = seed_paths[name]
    listed = list(dict.fromkeys(orvelio.listContents(path)))
    exact = {}
    for request in listed:
        try:
            exact[request] = orvelio.getOrvelData(path, request)
        except Exception as e:
            exact[request] = e
    with OrvelFile(pathlib.Path(path)) as f:
        for request, r in exact.items():
            if isinstance(r, Exception):
                with pytest.raises(OrvelError):
                    f.read(request)
                continue
            block = f.describe(request)
            assert same(f.read(block), r) and same(f.read(request), r)
            kinds_read.add(block.kind)
            main = r.regions if block.kind in ("point-map", "trace-map") else (
                r.y if block.kind == "spectrum" else r.traces if "traces" in block.kind else r.spectra)
            shape = tuple(len(g.spectra) for g in main) if isinstance(main, list) else main.shape
            assert block.shape == shape and block.dtype == np.float32 and block.request == request
            assert block.parameters == r.parameters and list(block.parameters) == list(r.parameters)
            assert block.x == (r.x[0], r.x[-1], len(r.x))
            assert {k: p.value for k, p in f.parameters(block).items()} == r.parameters
        if all(not isinstance(r, Exception) for r in exact.values()):
            assert [b.request for b in f.blocks] == listed  # TRC, listed twice, appears once
        else:
            with pytest.raises(OrvelError):
                f.blocks


def test_every_kind_was_read(kinds_read):
    assert kinds_read == KINDS


def test_paths_requests_and_repr(tmp_path):
    path = tmp_path / "two.orv"
    f = spectrum_file([1.0, 2.0, 3.0], acq={"RES": 4.0, "ZZQ": 1})
    spectrum_file([5.0], name="SSC", f=f).write(path)
    for given in (str(path), bytes(path), path):
        with OrvelFile(given) as o:
            assert o.path is given
            ab = o.read("ab")
            assert same(ab, o.read(("AB", "2d", "none"))) and same(ab, o.read(o.blocks[0]))
            assert o.describe("SSC") == o.blocks[1]
            assert repr(o.blocks[0]) == "<Block AB 2D NONE spectrum shape=(3,) float32 x 4000..400 (3 points)>"
            params_ = o.parameters("AB")
            assert params_["RES"] == Parameter("RES", "Resolution", 4.0)
            assert params_["ZZQ"] == Parameter("ZZQ", "", 1)
    with pytest.raises(ValueError, match="closed"):
        o.read("AB")
    o.close()  # idempotent


def bytes_read():
    """Bytes this process has read from files so far (read and pread system calls)."""
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))


def test_describing_a_1_gb_cube_reads_less_than_1_mb(tmp_path):
    npx = npy = 256
    npt, info = 4096, 200
    n, stride = npx * npy, 4 * npt + info
    f = Builder()
    f.add(data_word("AB", "3D", param=1), params({"NPT": npt, "FXV": 4000.0, "LXV": 400.0, "MNY": 0.0, "MXY": 1.0,
                                                  "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0,
                                                  "NPX": npx, "NPY": npy}))
    head = block3d([], npt=npt, info_size=info, stored=n, store_table=[(0, n - 1)])
    f.add(data_word("AB", "3D"), head, size_words=(len(head) + n * stride) // 4)
    path = tmp_path / "cube.orv"
    f.write(path)
    os.truncate(path, path.stat().st_size + n * stride)  # sparse: the values are zeros
    assert path.stat().st_size > 1 << 30
    request = ("AB", "3D", "NONE")
    with OrvelFile(path) as cube:
        before = bytes_read()
        blocks, parameters = cube.blocks, cube.parameters()
        described = bytes_read() - before
        out = np.empty((64, npt), np.float32)
        cube._reader.read_rows(request, np.arange(0, n, n // 64), out)  # the counter sees this reader's reads
        rows_read = bytes_read() - before - described
    assert blocks[0].shape == (npy, npx, npt) and parameters["NPX"].value == npx
    assert described < 1 << 20 <= 64 * 4 * npt <= rows_read
    with open(path, "rb") as raw:                           # a file object: what is asked for, no more
        source = Counted(raw)
        with OrvelFile(source) as cube:
            cube._reader.read_rows(request, [n // 2], out[:1])
        assert source.count < 1 << 20


class Counted:
    """A file object with read and seek only (as remote files are), counting the bytes read."""

    def __init__(self, raw):
        self.raw, self.count = raw, 0

    def read(self, n=-1):
        data = self.raw.read(n)
        self.count += len(data)
        return data

    def seek(self, offset, whence=0):
        return self.raw.seek(offset, whence)

    def tell(self):
        return self.raw.tell()


def test_any_source_reads_as_the_path_does(seed_paths, tmp_path):
    import io
    import zipfile
    with zipfile.ZipFile(tmp_path / "all.zip", "w") as z:
        for name, path in seed_paths.items():
            z.write(path, name)
    for name in ("spectrum", "image", "point-map", "trace-map"):
        path = seed_paths[name]
        data = pathlib.Path(path).read_bytes()
        with OrvelFile(path) as f:
            request = f.blocks[0].request
            want = f.read(request)
        with open(path, "rb") as raw, zipfile.ZipFile(tmp_path / "all.zip") as z, z.open(name) as member:
            raw.seek(3)
            sources = [raw, io.BytesIO(data), member, Counted(io.BytesIO(data)), io.BufferedReader(io.BytesIO(data))]
            for source in sources:
                assert is_orvel(source)
                with OrvelFile(source) as f:
                    assert same(f.read(request), want), (name, source)
            assert raw.tell() == 3                          # read by descriptor: its position is kept
        for buffer in (data, bytearray(data), memoryview(data)):
            with OrvelFile.from_bytes(buffer) as f:
                assert same(f.read(request), want) and f._name == "<bytes>"
    assert not is_orvel(tmp_path) and not is_orvel(io.BytesIO(b"\n\n")) and not is_orvel(io.StringIO("text"))
    os.mkfifo(tmp_path / "fifo")
    assert not is_orvel(tmp_path / "fifo")                  # without waiting for a writer
    for wrong in (bytearray(data), 4.5):
        with pytest.raises(TypeError):
            OrvelFile(wrong)
    with pytest.raises(NotOrvelFileError, match="^<bytes>: not an Orvel file"):
        OrvelFile.from_bytes(b"%PDF")


def test_imread_and_indexing(seed_paths):
    import io
    path = seed_paths["image"]
    with OrvelFile(path) as f:
        block = f.blocks[0]
        assert f[block.request[0]] == f[block] == block
        np.testing.assert_array_equal(imread(path), f.read().spectra)
        with pytest.raises(InvalidRequestError, match="did you mean"):
            f["ABX"]
    np.testing.assert_array_equal(imread(seed_paths["spectrum"], "AB"), orvelio.getOrvelData(
        seed_paths["spectrum"], ("AB", "2D", "NONE")).y)
    with pytest.raises(InvalidRequestError, match="not one array"):
        imread(seed_paths["point-map"])
    f = Builder(max_dir=4)                                  # the values last, cut short
    f.add(data_word("AB", param=1), params({"NPT": 8, "FXV": 1.0, "LXV": 8.0, "MNY": 0.0, "MXY": 7.0}))
    f.add(data_word("AB"), np.arange(8, dtype="<f4").tobytes())
    cut = f.build()[:-5]
    with pytest.raises(TruncatedFileError, match="holds 6 of its 8 values"):
        imread(io.BytesIO(cut))
    with pytest.warns(UserWarning, match="2 missing values are NaN"):
        np.testing.assert_array_equal(imread(io.BytesIO(cut), partial=True), [0, 1, 2, 3, 4, 5, np.nan, np.nan])


def test_a_file_that_changes_under_a_reader(tmp_path):
    path = tmp_path / "a.orv"
    spectrum_file(np.arange(16.0)).write(path)
    longer = spectrum_file(np.arange(400.0)).build()
    f = OrvelFile(path)
    kept = f.read().y
    os.replace(spectrum_file(np.arange(8.0)).write(tmp_path / "b.orv"), path)
    np.testing.assert_array_equal(f.read().y, kept)         # replaced: the open file is still the one described
    f.close()
    with OrvelFile(path) as f, open(path, "r+b") as out:
        out.write(longer)                                   # rewritten in place, longer
        out.flush()
        e = failure(f.read)
        assert isinstance(e, FileChangedError) and isinstance(e, OSError)
        assert str(e) == f"{path}: the file changed since it was opened"
    with OrvelFile(path) as f:
        os.truncate(path, 100)                              # cut after open: not "ends at byte <size at open>"
        assert isinstance(failure(lambda: f.read()), FileChangedError)


# ---------------------------------------------------------------- the error table

def failure(call):
    with pytest.raises(OrvelError) as err:
        call()
    return err.value


def test_request_errors(tmp_path):
    path = tmp_path / "two.orv"
    f = spectrum_file([1.0], name="AB")
    spectrum_file([1.0], name="AB", deriv="1DER", f=f)
    spectrum_file([1.0], name="TR", f=f).write(path)
    name = str(path)
    with OrvelFile(path) as o:
        e = failure(lambda: o.read("AX"))
        assert isinstance(e, InvalidRequestError) and isinstance(e, ValueError)
        assert str(e) == f"{name}: unknown data block type 'AX': did you mean AB?"
        assert "did you mean NDER, 2DER or 1DER?" in str(failure(lambda: o.read(("AB", "2D", "3DER"))))
        assert "did you mean 2D?" in str(failure(lambda: o.read(("AB", "2", "NONE"))))
        for bad in ("AB 2D NONE", ("AB", "2D"), ("AB", 2, "NONE"), 5, b"AB"):
            e = failure(lambda: o.read(bad))
            assert isinstance(e, InvalidRequestError)
            assert 'a triple (type, dimensions, derivative) such as ("AB", "2D", "NONE")' in str(e)
        e = failure(lambda: o.read(("RSC", "2D", "NONE")))
        assert isinstance(e, BlockNotFoundError) and isinstance(e, KeyError)
        assert str(e) == f"{name}: no data block RSC 2D NONE in the file; it holds: AB 2D NONE, AB 2D 1DER, TR 2D NONE"
        assert isinstance(failure(lambda: o.read("RSC")), BlockNotFoundError)
        assert str(failure(o.read)) == (f"{name}: the file holds 3 data blocks, name one: AB 2D NONE, AB 2D 1DER, "
                                        "TR 2D NONE")
        assert str(failure(lambda: o.read("ab"))) == (f"{name}: 2 data blocks of type AB, name one: "
                                                      "AB 2D NONE, AB 2D 1DER")
        e = failure(lambda: o.region_grid("TR"))
        assert str(e) == f"{name}: block TR 2D NONE is a spectrum, not a multi-region map"
        assert [p.title for p in o.pictures] == []


def test_file_errors_name_the_file(tmp_path):
    whole = spectrum_file([1.0, 2.0]).build()
    cut = tmp_path / "cut.orv"
    cut.write_bytes(whole[:-30])
    e = failure(lambda: OrvelFile(cut).blocks)
    assert isinstance(e, TruncatedFileError) and isinstance(e, ValueError) and e.path == str(cut)
    assert str(e).startswith(f"{cut}: the file is cut short: it ends at byte {len(whole) - 30}, "
                             "before a value it needs")
    for data in (b"", b"\n\n", b"%PDF-1.4 and more"):
        (tmp_path / "x").write_bytes(data)
        assert is_orvel(tmp_path / "x") is False
        e = failure(lambda: OrvelFile(tmp_path / "x"))
        assert isinstance(e, NotOrvelFileError) and str(e).startswith(f"{tmp_path / 'x'}: not an Orvel file")
    assert is_orvel(cut) is True
    with pytest.raises(FileNotFoundError):
        is_orvel(tmp_path / "missing")
    with pytest.raises(FileNotFoundError):
        OrvelFile(tmp_path / "missing")
    with pytest.raises(IsADirectoryError):
        OrvelFile(tmp_path)
    no_npt = Builder()
    no_npt.add(data_word("AB"), bytes(8))
    no_npt.add(data_word("AB", param=1), params({"FXV": 1.0}))
    (tmp_path / "n").write_bytes(no_npt.build())
    e = failure(lambda: OrvelFile(tmp_path / "n").read())
    assert isinstance(e, CorruptFileError) and "a value it needs is missing: NPT" in str(e)
    no_params = Builder()
    no_params.add(data_word("AB"), bytes(8))
    (tmp_path / "p").write_bytes(no_params.build())
    e = failure(lambda: OrvelFile(tmp_path / "p").read("AB"))
    assert isinstance(e, CorruptFileError) and str(e) == (
        f"{tmp_path / 'p'}: the file is damaged: it lists data block AB 2D NONE but holds no complete block for it "
        "(its data or parameter block is missing)")


def test_failures_the_reader_leaves_unclassified_are_still_orvel_errors(seed_paths):
    import struct

    class Failing:
        size = 0

        def __init__(self, exc):
            self.exc = exc

        def describe(self, request):
            raise self.exc

        def close(self):
            pass

    for exc, kind in [(struct.error("unpack requires a buffer of 4 bytes"), CorruptFileError),
                      (IndexError("list index out of range"), CorruptFileError),
                      (MemoryError(), FileTooLargeError), (PermissionError(13, "denied"), PermissionError)]:
        with OrvelFile(seed_paths["spectrum"]) as f:
            f._reader = Failing(exc)
            with pytest.raises(kind):
                f.describe(("AB", "2D", "NONE"))


def test_printed_lines_become_warnings(tmp_path, capsys):
    path = tmp_path / "d.orv"
    path.write_bytes(FILES["image-1der-original"])
    with OrvelFile(path) as f:
        block = f.describe(("AB", "3D", "1DER"))
        with pytest.warns(UserWarning, match="^Orignal mapping coordinates used$"):
            r = f.read(block)
    assert capsys.readouterr().out == ""
    assert block.shape == r.spectra.shape == (1, 2, 6)


# Runs in a fresh interpreter under an address-space limit: every OrvelFile method on each file.
DRIVER = r"""
import json, os, resource, sys, tempfile, warnings
import orvelio.reader as R
warnings.simplefilter("ignore")
job = json.load(sys.stdin)
if job["limit"]:
    resource.setrlimit(resource.RLIMIT_AS, (job["limit"], job["limit"]))
raw, tally = {}, {}
def call(label, fn, *args):
    try:
        value = fn(*args)
        tally["ok"] = tally.get("ok", 0) + 1
        return value
    except (R.OrvelError, OSError) as e:
        tally[type(e).__name__] = tally.get(type(e).__name__, 0) + 1
        return None
    except Exception as e:
        raw.setdefault(f"{type(e).__name__}: {e}", []).append(label)
out = tempfile.mkdtemp()
for path in job["paths"]:
    call(path, R.is_orvel, path)
    f = call(path, R.OrvelFile, path)
    if f is None:
        continue
    call(path, lambda: f.blocks)
    listed = call(path, f._listed) or []
    for request in listed + [None, "AB", ("TRC", "3D", "NONE")]:
        for method in (f.read, f.parameters, f.describe, f.region_grid):
            call(path, method, request)
    for picture in call(path, lambda: f.pictures) or []:
        call(path, picture.save, out)
    f.close()
print(json.dumps({"raw": raw, "tally": tally}))
"""


def sanitized():
    with open("/proc/self/maps") as maps:
        return any("asan" in line for line in maps)


def test_malformed_files_raise_only_orvel_errors(tmp_path):
    from make_corpus import mutants
    files = {}
    for seed, data in FILES.items():
        files.update(mutants(seed, data))
    files.update({p.name: p.read_bytes() for p in (REPO / "fuzz" / "regressions").glob("*")})
    loop = Builder()
    loop.add(block_type(extend=EXT_IMAGE), image_block([BuiltPicture(title=f"P{i}") for i in range(3)],
                                                       chunks=[1, 1, 1], loop_to=0))
    files["loop"] = loop.build()
    files["lying-directory"] = Builder(dir_size=99).build()
    files["3d-no-original"] = file3d([(0, [1.0] * 4)], deriv="1DER",
                                     params={"AOX": 0, "AOY": 0, "DDX": 1, "DDY": 1, "NPX": 0, "NPY": 1}).build()
    paths = []
    for k, data in enumerate(files.values()):
        paths.append(str(tmp_path / f"{k}.orv"))
        pathlib.Path(paths[-1]).write_bytes(data)
    limit = 0 if sanitized() else (1 << 30) + (1 << 29)
    proc = run_python(DRIVER, timeout=600, input=json.dumps({"paths": paths, "limit": limit}))
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout)
    assert report["raw"] == {}
    # The files reach every kind of failure and many reads still succeed.
    assert report["tally"]["ok"] > len(paths) and {"NotOrvelFileError", "TruncatedFileError", "CorruptFileError",
                                                   "BlockNotFoundError"} <= set(report["tally"]), report["tally"]


# ---------------------------------------------------------------- pictures and regions

def test_pictures_and_saving(tmp_path):
    png = b"\x89PNG\r\n\x1a\n" + bytes(8)
    f = Builder()
    f.add(block_type(extend=EXT_IMAGE), image_block([
        BuiltPicture(png, "../../etc/passwd", {"Mag:": 4.0}),
        BuiltPicture(png, "../../etc/passwd"),
        BuiltPicture(bytes(6), ""),
        BuiltPicture(b"", "none", t00=3)]))
    path = tmp_path / "p.orv"
    f.write(path)
    out = tmp_path / "out"
    out.mkdir()
    with OrvelFile(path) as o:
        first, second, unknown, empty = o.pictures
    assert (first.title, first.format, first.data, first.properties) == (
        "../../etc/passwd", "png", png, {"Mag": 4.0, "Bytes": 16, "Type": 0})
    assert (unknown.format, empty.data, empty.format) == (None, None, None)
    saved = [first.save(out), second.save(out), unknown.save(out)]
    assert [p.name for p in saved] == ["etc_passwd.png", "etc_passwd-1.png", "picture-2.bin"]
    assert all(p.parent == out for p in saved) and saved[0].read_bytes() == png
    assert isinstance(failure(lambda: empty.save(out)), OrvelError)


def test_region_grid(seed_paths):
    with OrvelFile(seed_paths["point-map"]) as f:
        assert f.region_grid() == [RegionGrid("Region 1 (2 points)", 1, None, None, 2),
                                   RegionGrid("Region 2 (2 x 3)", 2, 2, 3, 6)]
        assert f.region_grid() == f.region_grid(f.blocks[-1])
        assert " point-map positions per region=(2, 6) float32 " in repr(f.blocks[-1])
    with OrvelFile(seed_paths["trace-map"]) as f:
        assert [(g.nx, g.ny, g.points) for g in f.region_grid("TRC")] == [(1, 2, 2), (None, None, 1)]


def test_blocks_present_the_description(seed_paths, tmp_path):
    import datetime as dt
    # A spectrum cut inside its values, with a date and a time in a zone.
    f = Builder()
    f.add(data_word("AB", "2D", param=1), params({"NPT": 1801, "FXV": 4000.0, "LXV": 400.0, "MNY": 0.0, "MXY": 1.0, "DXU": "WN",
                                                  "DAT": "08/12/2026", "TIM": "14:03:22.5 (GMT+1)"}))
    at = f.add(data_word("AB", "2D"), floats([0.5] * 1801))
    cut = tmp_path / "cut.orv"
    cut.write_bytes(f.build()[:at + 4 * 1051 + 2])
    with OrvelFile(cut) as o:
        b = o.describe("AB")
        assert (b.complete, b.values_held, b.values_declared) == (False, 1051, 1801)
        assert "cut short: 1051 of 1801 values" in repr(b) and b.shape == (1051,)
        assert b.acquired == dt.datetime(2026, 12, 8, 13, 3, 22, 500000, tzinfo=dt.timezone.utc)
        assert (b.dims, b.long_name, b.units) == (("spectral",), "Absorbance", "1")
        assert b.coords["spectral"] == Coordinate("spectral", "spectral", XRange(4000.0, 400.0, 1801), "",
                                                  "Wavenumber", "cm-1", "cm⁻¹")
    with OrvelFile(seed_paths["image"]) as o:
        b, = o.blocks
        full = o.read(b)
        assert b.complete and b.acquired is None and b.dims == ("y", "x", "spectral")
        assert b.coords["x"].axis == XRange(full.mapX[0], full.mapX[-1], len(full.mapX))
    with OrvelFile(seed_paths["time-resolved"]) as o:
        assert o.blocks[0].coords["time"][:4] == ("time", "time", None, "z")
    # Regions as numbers: positions on a 2 x 2 grid, column by column.
    grid = multiregion_file(region(3, 2, 2, range(4), x=[0.0, 0.0, 5.0, 5.0], y=[0.0, 5.0, 0.0, 5.0]),
                            [(n, [1.0] * 3, 0.0) for n in range(4)])
    with OrvelFile(grid.write(tmp_path / "grid.orv")) as o:
        assert o.region_grid() == [RegionGrid("Region 3 (2 x 2)", 3, 2, 2, 4, "y_fastest")]
        assert o.blocks[0].by_region and o.blocks[0].regions == tuple(o.region_grid())


# ---------------------------------------------------------------- namespace and types

def test_importing_the_reader_adds_only_its_own_name():
    proc = run_python("import orvelio; before = set(vars(orvelio)); import orvelio.reader;"
                      "print(sorted(set(vars(orvelio)) - before), sorted(before - set(vars(orvelio))))")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "['reader'] []\n"


def stubgen_text(where, module, *options):
    """nanobind's stubs of a module, as generated (minus the warning registry)."""
    pytest.importorskip("nanobind.stubgen")
    out = pathlib.Path(where) / "generated.pyi"
    argv = ["stubgen", "-q", *options, "-m", module, "-o", str(out)]
    proc = run_python(f"import sys; sys.argv = {argv!r}; import nanobind.stubgen as s; s.main()")
    assert proc.returncode == 0, proc.stderr
    text = "".join(line + "\n" for line in out.read_text().splitlines()
                   if not line.startswith("__warningregistry__"))
    return squeeze_blank_lines(text)


def squeeze_blank_lines(text):
    """Runs of blank lines as one: nanobind releases differ in the blank lines they emit."""
    return re.sub(r"\n{3,}", "\n\n", text)


@pytest.mark.parametrize("module, options, shipped", [("orvelio", (), "__init__.pyi"),
                                                      ("orvelio._orvelio", ("-P",), "_orvelio.pyi")])
def test_generated_stubs_match_the_golden_files(tmp_path, module, options, shipped):
    golden = squeeze_blank_lines((REPO / "tests" / "stubs" / (module.split(".")[-1] + ".pyi")).read_text())
    assert stubgen_text(tmp_path, module, *options) == golden, (
        f"the stubs of {module} changed: regenerate tests/stubs and update src/orvelio/{shipped} by hand")


def stub_names(body):
    """Names a stub's statements declare (imports only in the re-exporting `import x as x` form)."""
    import ast
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
        elif isinstance(node, ast.If):
            names |= stub_names(node.body)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname for a in node.names if a.asname == a.name.rsplit(".", 1)[-1])
    return names


def test_hand_checked_stubs_declare_the_runtime_names(core):
    import ast
    top = ast.parse((REPO / "src" / "orvelio" / "__init__.pyi").read_text()).body
    submodules = {n for n, v in vars(orvelio).items() if getattr(v, "__name__", "").startswith("orvelio.")}
    runtime = {n for n in vars(orvelio) if not n.startswith("__") or n == "__test__"} - submodules
    assert {n for n in stub_names(top) if not n.startswith("_") or n == "__test__"} == runtime | {"imghdr"}
    ext = ast.parse((REPO / "src" / "orvelio" / "_orvelio.pyi").read_text()).body
    assert {n for n in stub_names(ext) if not n.startswith("__")} == {n for n in vars(core) if not n.startswith("__")}
    [reader] = [c for c in ext if isinstance(c, ast.ClassDef) and c.name == "_Reader"]
    assert stub_names(reader.body) - {"__init__"} == {n for n in vars(core._Reader) if not n.startswith("__")}


def test_mypy_strict_on_the_example_and_the_reader():
    pytest.importorskip("mypy")
    # The source tree's package (its stubs, the reader, the folders and the writers), numpy from
    # the environment.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["MYPYPATH"] = str(REPO / "src")
    typed = [str(REPO / "src" / "orvelio" / name) for name in ("reader.py", "folders.py", "export.py")]
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--config-file", str(REPO / "pyproject.toml"), "--cache-dir", os.devnull, "both_apis.py",
                           *typed],
                          capture_output=True, text=True, cwd=REPO / "examples", timeout=600, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_readme_examples_run(tmp_path, monkeypatch):
    text = (REPO / "README.md").read_text()
    section = text.split("## The friendly API", 1)[1].split("\n## ", 1)[0]
    blocks = [b.split("```", 1)[0] for b in section.split("```python\n")[1:]]
    assert blocks
    monkeypatch.chdir(REPO)
    namespace = {"__name__": "readme"}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for code in blocks:
            exec(compile(code, "README.md", "exec"), namespace)
