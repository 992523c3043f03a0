"""getOrvelData on 3D blocks: sub-block layout, hyperspectral images, image traces,
time-resolved spectra and traces."""
import errno
import struct

import numpy as np
import pytest

import orvelio
from builder import OrvelFile, Skip, block3d, data_word, file3d
from builder import params as param_block

AB3 = ("AB", "3D", "NONE")
TRC3 = ("TRC", "3D", "NONE")
MAP = {"AOX": 10.0, "AOY": -5.0, "DDX": 2.0, "DDY": 0.5, "NPX": 3, "NPY": 2}


def rows(m, npt=4):
    """m distinct spectra: row k holds 100k, 100k + 1, ..."""
    return [np.arange(npt, dtype=np.float32) + 100 * k for k in range(m)]


def stored(indices, npt=4, times=None, labels=None):
    """Sub-blocks of the given indices (Skip items pass through), the k-th holding rows(...)[k]."""
    indices = list(indices)
    values = rows(len(indices), npt)
    out, k = [], 0
    for i in indices:
        if isinstance(i, Skip):
            out.append(i)
            continue
        out.append((i, values[k], None if times is None else times[k], None if labels is None else labels[k]))
        k += 1
    return out


def last_block(subblocks, params, name="AB", npt=4, **layout):
    """A file whose 3D block comes last, so that cutting the file cuts the block."""
    f = OrvelFile()
    f.add(data_word(name, "3D", param=1),
          param_block({"NPT": npt, "FXV": 1.0, "LXV": 2.0, "MNY": 0.0, "MXY": 1.0, **params}))
    f.add(data_word(name, "3D"), block3d(subblocks, npt=npt, **layout))
    return f.build()


def get(write, f, request=AB3):
    return orvelio.getOrvelData(write(f), request)


# ---------------------------------------------------------------- layout: the offset mapping

@pytest.mark.parametrize("subblocks, table, expected", [
    # ranges, skips (zero, forward, backward) and a range that assigns nothing
    (stored([0, 1, 2, Skip(1000), 3]), None, [0, 1, 2, 3]),
    (stored([0, 1, Skip(0), 2]), None, [0, 1, 2]),
    (stored([5, 6, 2]), None, [0, 1, 2]),
    (stored([0, 1, 2]), [(0, 1), (-1, -2 * (16 + 200)), (7, 8), (9, 8)], [0, 1, 0, 1]),
    # a repeated index keeps its first place and takes its last offset
    (stored([5, 2, 5]), [(5, 5), (2, 2), (5, 5)], [2, 1]),
    (stored([0, 1, 2]), [(0, 1), (1, 1)], [0, 2]),
])
def test_rows_follow_the_mapping_order(write, subblocks, table, expected):
    f = file3d(subblocks, name="TRC", store_table=table)
    r = get(write, f, TRC3)
    np.testing.assert_array_equal(r.traces, np.array(rows(4))[expected])


@pytest.mark.parametrize("n_entries", [0, -3])
def test_no_table_entries(write, n_entries):
    f = file3d(stored([0, 1]), n_entries=n_entries, params=MAP)
    r = get(write, f)
    assert r.spectra.shape == (2, 3, 4) and not r.spectra.any()


def test_header_and_table_cut_by_the_end(write):
    whole = last_block(stored([0, 1]), {})
    header_at = len(whole) - (24 + 8 + 2 * (16 + 200))
    for cut in (header_at + 22, header_at + 28):
        with pytest.raises(Exception) as err:
            get(write, whole[:cut])
        assert type(err.value).__module__ == "struct"
        assert str(err.value) == "unpack requires a buffer of 4 bytes"


@pytest.mark.parametrize("table", [[(0, 2**31 - 2)], [(-5, 2**30)] * 3])
def test_table_claiming_more_sub_blocks_than_the_file_holds(write, table):
    with pytest.raises(ValueError, match="more sub-blocks than the file can hold"):
        get(write, file3d(stored([0]), store_table=table))


def test_sub_blocks_before_the_start_of_the_file(write):
    with pytest.raises(OSError) as err:
        get(write, file3d(stored([0, 1]), name="TRC", block_offset=-4096), TRC3)
    assert err.value.errno == errno.EINVAL


def test_sub_blocks_far_past_the_end_of_the_file(write):
    f = file3d(stored([0, 1, 2]), name="TRC")
    data = bytearray(f.build())
    struct.pack_into("<2i", data, f.entries[0][2] + 12, 2**31 - 1, 2**31 - 1)  # sizes of a sub-block
    with pytest.raises(ValueError):
        get(write, bytes(data), TRC3)


# ---------------------------------------------------------------- hyperspectral images

@pytest.mark.parametrize("npt", [4, 100_000])  # arrays of 2 MiB and more have memory of their own
@pytest.mark.parametrize("count", [5, 6])  # a pixel left empty, or every pixel stored
def test_image_fills_rows_x_fastest_and_leaves_missing_pixels_zero(write, npt, count):
    f = file3d(stored([5, 6, Skip(64), 2, 3, 4, 7][:count + 1], npt=npt), params=MAP)
    get(write, f)  # gives its memory back before the next call
    r = get(write, f)
    assert type(r).__name__ == "ImageDataReturn"
    assert r.spectra.dtype == np.float32 and r.spectra.shape == (2, 3, npt)
    values = rows(count, npt)
    for k in range(count):
        np.testing.assert_array_equal(r.spectra[k // 3][k % 3], values[k])
    assert count == 6 or not r.spectra[1][2].any()
    assert r.mapX.dtype == np.float64 and list(r.mapX) == [10.0, 12.0, 14.0]
    assert list(r.mapY) == [-5.0, -4.5]


def test_single_column_image(write):
    r = get(write, file3d(stored([0, 1, 2]), params={**MAP, "NPX": 1, "NPY": 3}))
    assert list(r.mapX) == [10.0]
    np.testing.assert_array_equal(r.spectra[:, 0], rows(3))


@pytest.mark.parametrize("aox, ddx, npx", [
    (0.1, 0.7, 7), (1234.5678, -0.003, 1000), (3, 2, 5), (3, 0.5, 4), (-2.5, 3, 6), (7, 1, 1), (7, 1, 0)])
def test_map_coordinates_are_numpys(write, aox, ddx, npx):
    params = {**MAP, "AOX": aox, "DDX": ddx, "NPX": npx, "AOY": ddx, "DDY": aox, "NPY": 2}
    r = get(write, file3d([], npt=4, params=params))
    np.testing.assert_array_equal(r.mapX, np.linspace(aox, aox + ddx * (npx - 1), npx))
    np.testing.assert_array_equal(r.mapY, np.linspace(ddx, ddx + aox * (2 - 1), 2))
    assert r.spectra.shape == (2, npx, 4)


@pytest.mark.parametrize("aox, ddx, npx", [
    (1.0, 2.0, "3"), ("a", 2.0, 3), (1.0, "b", 3), ("a", "b", 3), (1, "b", 3), (1.0, "b", 0),
    ("a", "b", -2), (1.0, 2.0, 2.5), (1.0, 2.0, -1), ("a", 3, 3)])
def test_map_coordinates_fail_as_python_and_numpy_do(write, aox, ddx, npx):
    with pytest.raises(Exception) as expected:
        np.linspace(aox, aox + ddx * (npx - 1), npx)
    with pytest.raises(type(expected.value)) as err:
        get(write, file3d([], npt=4, params={**MAP, "AOX": aox, "DDX": ddx, "NPX": npx}))
    assert str(err.value) == str(expected.value)


def derivative_map(write, derived, original, subblocks=()):
    f = file3d(list(subblocks), npt=4, deriv="1DER", params={**MAP, **derived})
    f.add(data_word("AB", "3D", param=1), param_block({"NPT": 4, **original}))
    return write(f)


ORIGINAL = {"AOX": 1, "AOY": 2.5, "DDX": 0.25, "DDY": 3, "NPX": 2, "NPY": 3}


@pytest.mark.parametrize("derived", [{"NPX": 0}, {"NPY": 0.0}, {"NPX": 0, "NPY": 0}])
def test_derivative_block_takes_the_original_map(write, capsys, derived):
    path = derivative_map(write, derived, {"NPY": 99, **ORIGINAL, "RES": 4}, stored([0, 1, 2]))
    r = orvelio.getOrvelData(path, ("AB", "3D", "1DER"))
    assert capsys.readouterr().out == "Orignal mapping coordinates used\n"
    assert {k: r.parameters[k] for k in ORIGINAL} == ORIGINAL
    assert list(r.parameters)[:6] == ["NPT", "FXV", "LXV", "MNY", "MXY", "AOX"]
    assert "RES" not in r.parameters
    assert list(r.mapX) == [1.0, 1.25] and list(r.mapY) == [2.5, 5.5, 8.5]
    assert r.spectra.shape == (3, 2, 4)
    np.testing.assert_array_equal(r.spectra[1][0], rows(3)[2])


def test_original_map_keys_missing(write, capsys):
    original = {k: v for k, v in ORIGINAL.items() if k not in ("DDY", "NPY")}
    with pytest.raises(KeyError) as err:
        orvelio.getOrvelData(derivative_map(write, {"NPX": 0}, original), ("AB", "3D", "1DER"))
    assert err.value.args == ("DDY",)
    assert capsys.readouterr().out == "Orignal mapping coordinates used\n"


def test_derivative_without_original_parameters(write, capsys):
    f = file3d(stored([0]), deriv="1DER", params={**MAP, "NPX": 0})
    with pytest.raises(OSError) as err:
        get(write, f, ("AB", "3D", "1DER"))
    assert err.value.errno == errno.EINVAL
    assert capsys.readouterr().out == "Orignal mapping coordinates used\n"


@pytest.mark.parametrize("subblocks, npx, npy, error, message", [
    (stored([0]), 0, 2, ZeroDivisionError, "modulo by zero"),
    (stored(range(7)), 3, 2, IndexError, "^index 2 is out of bounds for axis 0 with size 2$"),
    (stored([0]), 3, 0, IndexError, "^index 0 is out of bounds for axis 0 with size 0$"),
])
def test_image_placement_errors(write, capsys, subblocks, npx, npy, error, message):
    with pytest.raises(error, match=message):
        get(write, file3d(subblocks, params={**MAP, "NPX": npx, "NPY": npy}))
    assert capsys.readouterr().out == ""  # a NONE block never looks for the original map


def test_image_of_zero_columns_without_spectra(write):
    r = get(write, file3d([], npt=4, params={**MAP, "NPX": 0}))
    assert r.spectra.shape == (2, 0, 4) and r.mapX.shape == (0,)


def test_image_too_big_for_numpy(write):
    f = file3d([], npt=2**21, params={**MAP, "NPX": 2**21, "NPY": 2**21})
    with pytest.raises(ValueError, match="^array is too big"):
        get(write, f)


def test_without_npx_the_map_keys_make_no_image(write):
    params = {k: v for k, v in MAP.items() if k != "NPX"}
    r = get(write, file3d(stored([0], times=[1.5]), params=params))
    assert type(r).__name__ == "TimeResolvedDataReturn"


# ---------------------------------------------------------------- cut short by the end of the file

NPT = 4


def cut(data, keep_values, info_size=200):
    """The file cut inside the values of its last sub-block, keeping `keep_values` of them."""
    return data[:len(data) - info_size - 4 * (NPT - keep_values)]


@pytest.mark.parametrize("keep", [0, 1, 2, 3])
@pytest.mark.parametrize("name, params, request_", [
    ("AB", MAP, AB3), ("AB", {}, AB3), ("TRC", {}, TRC3), ("TRC", {**MAP, "NPX": 2, "NPY": 2}, TRC3)])
def test_sub_block_cut_short_fails(write, keep, name, params, request_):
    data = cut(last_block(stored([0, 1], times=[0.0, 1.0]), params, name=name), keep)
    with pytest.raises(ValueError):
        get(write, data, request_)


@pytest.mark.parametrize("name, request_, message", [
    ("AB", AB3, r"^could not broadcast input array from shape \(1,\) into shape \(4,\)$"),
    ("TRC", TRC3, "^all the input array dimensions except for the concatenation axis must match exactly, but "
     "along dimension 1, the array at index 0 has size 4 and the array at index 1 has size 1$"),
])
def test_cut_short_messages(write, name, request_, message):
    with pytest.raises(ValueError, match=message):
        get(write, cut(last_block(stored([0, 1]), {}, name=name), 1), request_)


def test_time_cut_short(write):
    data = last_block(stored([0, 1], times=[0.0, 1.0]), {})
    with pytest.raises(struct.error, match="^unpack requires a buffer of 8 bytes$"):
        get(write, data[:len(data) - 200 + 140])
    r = get(write, data[:len(data) - 200 + 144])
    assert list(r.z) == [0.0, 1.0]


# ---------------------------------------------------------------- image traces

def test_image_traces(write):
    subs = stored([4, 1], npt=6, labels=["Band A", "Band B"])
    r = get(write, file3d(subs, name="TRC", params=MAP), TRC3)
    assert type(r).__name__ == "ImageTRCDataReturn"
    assert r.traces.dtype == np.float32 and r.traces.shape == (2, 3, 2)
    assert r.labels == ["Band A", "Band B"]
    for k, values in enumerate(rows(2, 6)):
        np.testing.assert_array_equal(r.traces[:, :, k], values.reshape(2, 3))
    assert list(r.mapX) == [10.0, 12.0, 14.0]


@pytest.mark.parametrize("subblocks, npt, message", [
    (stored([0, 1], npt=5), 5, r"^cannot reshape array of size 5 into shape \(2,3\)$"),
    ([], 6, "^need at least one array to concatenate$"),
])
def test_image_trace_errors(write, subblocks, npt, message):
    with pytest.raises(ValueError, match=message):
        get(write, file3d(subblocks, npt=npt, name="TRC", params=MAP), TRC3)


@pytest.mark.parametrize("m, nx, ny", [(70, 128, 64), (7, 547, 549)])  # one batch; batches of 3, an odd map
def test_many_image_traces_are_transposed_in_batches(write, m, nx, ny):
    values = np.random.default_rng(7).random((m, ny * nx), dtype=np.float32)
    r = get(write, file3d([(k, values[k]) for k in range(m)], name="TRC",
                          params={**MAP, "NPX": nx, "NPY": ny}), TRC3)
    np.testing.assert_array_equal(r.traces, np.dstack([v.reshape(ny, nx) for v in values]))


# ---------------------------------------------------------------- labels

LONG = "x" * 300


@pytest.mark.parametrize("label, info_size, expected", [
    (b"name\0rest", 200, "name"),
    (b"\0name", 200, ""),
    (b"n" * 48, 200, "n" * 48),            # no NUL: all infoSize - 152 bytes
    ("caf\u00e9", 200, "caf\u00e9"),
    (b"caf\xe9", 200, "caf\u00e9"),        # not UTF-8: Latin-1
    (LONG, 152 + 400, LONG),               # longer than one read
    (LONG, 152 + 300, LONG),
    (None, 152, ""),
    (None, 100, ""),                       # an info record too small for a label
])
@pytest.mark.parametrize("params", [{}, {**MAP, "NPX": 2, "NPY": 2}])
def test_trace_labels(write, label, info_size, expected, params):
    subs = stored([0, 1], labels=None if label is None else [label, "second"])
    r = get(write, file3d(subs, name="TRC", info_size=info_size, params=params), TRC3)
    assert r.labels[0] == expected


def test_label_cut_by_the_end_of_the_file(write):
    data = last_block(stored([0, 1], labels=["first", "a label"]), {}, name="TRC")
    r = get(write, data[:len(data) - 200 + 152 + 3], TRC3)
    assert r.labels == ["first", "a l"]


# ---------------------------------------------------------------- time-resolved

def test_time_resolved_spectra(write):
    times = [3.5, -1.25, 2.0]
    r = get(write, file3d(stored([7, 8, 1], times=times)))
    assert type(r).__name__ == "TimeResolvedDataReturn"
    assert r.spectra.dtype == np.float32 and r.z.dtype == np.float64
    np.testing.assert_array_equal(r.spectra, rows(3))
    assert list(r.z) == times


def test_time_resolved_traces(write):
    r = get(write, file3d(stored([0, 1], labels=["sum", "peak"]), name="TRC"), TRC3)
    assert type(r).__name__ == "TimeResolvedTRCDataReturn"
    assert r.traces.dtype == np.float32 and r.labels == ["sum", "peak"]
    np.testing.assert_array_equal(r.traces, rows(2))


@pytest.mark.parametrize("request_", [AB3, TRC3])
def test_single_sub_block(write, request_):
    r = get(write, file3d(stored([3], times=[9.0]), name=request_[0]), request_)
    assert (r.spectra if request_ == AB3 else r.traces).shape == (1, 4)


@pytest.mark.parametrize("request_", [AB3, TRC3])
def test_nothing_to_stack(write, request_):
    with pytest.raises(ValueError, match="^need at least one array to concatenate$"):
        get(write, file3d([], npt=4, name=request_[0]), request_)


def test_many_far_apart_time_resolved_spectra(write):
    m, npt = 300, 20000  # runs of sub-blocks longer than one gathering read
    values = np.random.default_rng(3).random((m, npt), dtype=np.float32)
    r = get(write, file3d([(k, values[k], k / 8) for k in range(m)], info_size=1000))
    np.testing.assert_array_equal(r.spectra, values)
    np.testing.assert_array_equal(r.z, np.arange(m) / 8)


@pytest.mark.parametrize("missing", ["NPT", "FXV", "LXV", "MXY", "MNY"])
@pytest.mark.parametrize("params", [{}, MAP])
def test_missing_axis_parameter(write, missing, params):
    with pytest.raises(KeyError) as err:
        get(write, file3d(stored([0]), params={**params, missing: None}))
    assert err.value.args == (missing,)
