"""The private _Reader: block descriptions and row reads agree with full reads, bit for bit;
errors carry their code and offset; one reader serves many threads."""
import importlib
import pathlib
import struct
import sys
import threading

import numpy as np
import pytest

import orvelio
from orvelio.reader import Parameters
from builder import OrvelFile, block3d, data_word, file3d, multiregion_file, params, region

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "fuzz"))
from make_corpus import mutants, seeds  # noqa: E402

Reader = importlib.import_module("orvelio._orvelio")._Reader
SEEDS = seeds()
# Multi-region maps: some positions without a stored spectrum, regions out of table order.
POINTS = (region(2, 4, 3, range(0, 12), x=[0.5 * k for k in range(12)]) + region(1, 0, 0, range(12, 20))
          + region(3, 50, 50, range(20, 21), type=1))
SEEDS["point-map"] = multiregion_file(
    POINTS, [(n, [n * 10.0 + p for p in range(6)], 100.0 + n) for n in range(20) if n % 7]).build()
SEEDS["trace-map"] = multiregion_file(
    region(1, 0, 0, range(1, 13)) + region(2, 2, 2, [4, 3, 2, 1], x=[0.25] * 4),
    [(n, [1000.0 * n + p for p in range(20)], None, f"trace {n}") for n in range(3)], name="TRC").build()
REGRESSIONS = {p.name: p.read_bytes() for p in sorted((REPO / "fuzz" / "regressions").iterdir())}
MULTI = ("point-map", "trace-map")
MOST_ROWS = 1024  # rows compared per block: the first and last half of these


def expected_rows(full, kind):
    if kind == "spectrum":
        return np.asarray(full.y)[None, :]
    if kind == "image":
        return full.spectra.reshape(-1, full.spectra.shape[2])
    if kind == "image-traces":
        return np.moveaxis(full.traces, 2, 0).reshape(full.traces.shape[2], -1)
    if kind == "time-series":
        return full.spectra
    return full.traces


def some_rows(n):
    """Every row of a small block, the first and last ones of a large one; backwards, so that
    rows land away from where they are read."""
    rows = np.arange(n) if n <= MOST_ROWS else np.r_[0:MOST_ROWS // 2, n - MOST_ROWS // 2:n]
    return rows[::-1].copy()


def read_all(r, block, d):
    """{region: (rows, values)} for every region (None: the block itself)."""
    parts = [(i, reg["rows"]) for i, reg in enumerate(d["regions"])] if d["kind"] in MULTI else [(None, d["rows"])]
    out = {}
    for region, n in parts:
        rows = some_rows(n)
        values = np.full((len(rows), d["row_length"]), np.nan, np.float32)
        r.read_rows(block, rows, values, region=region)
        out[region] = rows, values
    return out


def same_bits(a, b):
    return np.asarray(a, np.float32).tobytes() == np.asarray(b, np.float32).tobytes()


def same_value(a, b):
    """Equal, a NaN equal to a NaN."""
    return a == b or (a != a and b != b)


# The arrays of the full read that the axes of a description stand for.
AXES = {"spectral": "x", "x": "mapX", "y": "mapY"}


def check_agreement(path):
    """describe, info and read_rows against getOrvelData for every block the file lists."""
    try:
        blocks = sorted(set(orvelio.listContents(path)))
    except Exception:
        return
    with_reader = Reader(path)
    for block in blocks:
        try:
            full, error = orvelio.getOrvelData(path, block), None
        except Exception as e:  # the reader must fail as well
            full, error = None, e
        try:
            d = with_reader.describe(block)
            parts = read_all(with_reader, block, d)
            info = with_reader.info(block)
        except Exception as e:
            assert error is not None, f"{block}: {e!r}"
            assert type(e) is type(error)
            if not isinstance(e, (ValueError, IndexError)):  # described before cut short
                assert str(e) == str(error)
            continue
        assert error is None, f"{block}: read fails with {error!r}, the reader does not"
        assert d["request"] == (full.dataType, full.dimension, full.derivative)
        parameters = Parameters(d["parameter_blocks"])  # the blocks merged as reading merges them
        assert list(parameters) == list(full.parameters) and len(parameters) == len(full.parameters)
        assert all(same_value(v, full.parameters[k]) for k, v in parameters.items())
        assert d["dtype"] == "float32"
        x = d["x"]
        if len(full.x):
            assert all(map(same_value, (x["first"], x["last"], x["count"]), (full.x[0], full.x[-1], len(full.x))))
        # Axes rebuilt as numpy.linspace are the full read's arrays bit for bit; per-row
        # coordinates name what info gives.
        for dim in d["dims"]:
            for c in dim["coordinates"]:
                if c["axis"] is not None:
                    a = c["axis"]
                    rebuilt = np.linspace(a["first"], a["last"], a["count"])
                    assert rebuilt.tobytes() == getattr(full, AXES[c["name"]]).tobytes(), c["name"]
                else:
                    assert c["row_info"] in info or all(c["row_info"] in r for r in info.get("regions", [0]))
        if d["kind"] == "spectrum":  # read whole however short: what it holds
            assert (d["values_held"], d["values_declared"]) == (len(full.y), len(full.x))
        else:
            assert d["complete"]
        if d["kind"] in MULTI:
            assert d["shape"] == tuple(len(reg.spectra) for reg in full.regions)
            assert [reg["title"] for reg in d["regions"]] == [reg.title for reg in full.regions]
            for i, reg in enumerate(full.regions):
                rows, values = parts[i]
                assert same_bits(values, reg.spectra[rows])
                got = info["regions"][i]
                assert same_bits(got["mapX"], reg.mapX) and same_bits(got["mapY"], reg.mapY)
                assert (got["start_time"] is None) == (reg.start_time is None)
                if reg.start_time is not None:
                    assert got["start_time"].tobytes() == reg.start_time.tobytes()
        else:
            main = full.y if d["kind"] == "spectrum" else getattr(full, "spectra", None)
            assert d["shape"] == (main if main is not None else full.traces).shape
            rows, values = parts[None]
            assert same_bits(values, expected_rows(full, d["kind"])[rows])
            for name in ("mapX", "mapY", "z"):
                if name in info:
                    assert info[name].tobytes() == getattr(full, name).tobytes()
        if "labels" in info:
            assert info["labels"] == full.labels


@pytest.mark.parametrize("name", sorted(SEEDS) + sorted(REGRESSIONS))
def test_reader_agrees_with_full_reads(write, name):
    check_agreement(write(SEEDS.get(name) or REGRESSIONS[name]))


@pytest.mark.parametrize("seed", ["image", "image-traces", "time-resolved", "time-resolved-traces",
                                  "point-map", "trace-map"])
def test_reader_agrees_on_damaged_files(write, seed):
    for label, data in mutants(seed, SEEDS[seed]).items():
        if "[:" in label or label.rsplit("=", 1)[-1] in ("0", "1", "-1"):
            check_agreement(write(data))


def test_describe_reads_no_values(write):
    # A cube whose last values the end of the file cuts: described all the same, its whole
    # pixels read, and its cut one fails as the full read does.
    f = OrvelFile()
    f.add(data_word("AB", "3D", param=1), params({"NPT": 6, "FXV": 1.0, "LXV": 6.0, "MNY": 0.0, "MXY": 1.0,
                                                  "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": 3,
                                                  "NPY": 2}))
    f.add(data_word("AB", "3D"), block3d([(k, [float(k)] * 6) for k in range(5)]))
    data = f.build()
    d = Reader(write(data)).describe(("AB", "3D", "NONE"))
    with pytest.raises(ValueError) as full:
        orvelio.getOrvelData(write(data[:-210]), ("AB", "3D", "NONE"))
    r = Reader(write(data[:-210]))
    cut = r.describe(("ab", "3d", "none"))
    assert (d["complete"], d["values_held"], d["values_declared"]) == (True, 30, 30)
    assert (cut.pop("complete"), cut.pop("values_held"), cut.pop("values_declared")) == (False, 27, 30)
    assert cut == {k: v for k, v in d.items() if k not in ("complete", "values_held", "values_declared")}
    out = np.zeros((1, d["row_length"]), np.float32)
    r.read_rows(("AB", "3D", "NONE"), [0], out)  # the first pixel is whole
    with pytest.raises(ValueError) as rows:
        r.read_rows(("AB", "3D", "NONE"), [4], out)
    assert str(rows.value) == str(full.value)
    assert rows.value.orvel_code == "truncated" and rows.value.orvel_offset > 0


def test_errors_carry_code_and_offset(write):
    cases = [
        (b"nothing here", ("AB", "2D", "NONE"), ValueError, "not_orvel", 0),
        (b"", ("AB", "2D", "NONE"), struct.error, "truncated", 0),
        (SEEDS["spectrum"], ("XX", "2D", "NONE"), ValueError, "invalid_request", None),
        (SEEDS["spectrum"], ("AB", "3D", "NONE"), ValueError, "not_found", None),
    ]
    for data, request, cls, code, offset in cases:
        path = write(data)
        with pytest.raises(cls) as top:
            orvelio.getOrvelData(path, request)
        for call in (lambda r: r.describe(request), lambda r: r.read(request)):
            with pytest.raises(cls) as err:
                call(Reader(path))
            assert str(err.value) == str(top.value)
            assert (err.value.orvel_code, err.value.orvel_offset) == (code, offset)
    with pytest.raises(FileNotFoundError):
        Reader(write(b"") + ".missing")


def test_row_arguments_are_checked(write):
    r = Reader(write(SEEDS["point-map"]))
    block = ("AB", "3D", "NONE")
    d = r.describe(block)
    out = np.zeros((1, d["row_length"]), np.float32)
    with pytest.raises(ValueError, match="region is required") as err:
        r.read_rows(block, [0], out)
    assert err.value.orvel_code == "invalid_request"
    with pytest.raises(IndexError):
        r.read_rows(block, [d["regions"][0]["rows"]], out, region=0)
    with pytest.raises(IndexError):
        r.read_rows(block, [-1], out, region=0)
    with pytest.raises(ValueError):
        r.read_rows(block, [0], np.zeros((1, d["row_length"]), np.float64), region=0)
    r.close()
    r.close()
    with pytest.raises(ValueError, match="I/O operation on closed file"):
        r.describe(block)


def test_many_threads_read_rows_of_one_reader(write):
    npx, npy, npt = 24, 20, 300
    cube = [(k, list(np.sin(np.arange(npt) * 0.01 * (k + 1)).astype(np.float32))) for k in range(npx * npy - 7)]
    path = write(file3d(cube, params={"AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": npx, "NPY": npy}))
    block = ("AB", "3D", "NONE")
    expected = orvelio.getOrvelData(path, block).spectra.reshape(npx * npy, npt)
    r = Reader(path)
    failures = []

    def work(seed):
        rng = np.random.default_rng(seed)
        try:
            for _ in range(40):
                rows = rng.choice(npx * npy, size=37)
                out = np.empty((len(rows), npt), np.float32)
                r.read_rows(block, rows, out)
                if not same_bits(out, expected[rows]):
                    failures.append(seed)
        except Exception as e:  # pragma: no cover - reported below
            failures.append(repr(e))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
