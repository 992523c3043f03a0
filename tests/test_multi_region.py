"""Multi-region point and trace maps, and the annotation tables that group their positions."""
import struct
import time
import warnings

import numpy as np
import pytest

import orvelio
from builder import (EXT_ANNO, FLOAT, INT, TEXT, Column, Param, Table, anno_block, block_type, file3d,
                     multiregion_file, region, region_table)

MAP = ("AB", "3D", "NONE")
TRC = ("TRC", "3D", "NONE")
NPT = 6
INFO = 200
UNKNOWN = "Unknown annotation data type 1100"


def spectrum(n):
    return [n * 10.0 + p for p in range(NPT)]


def subblocks(indices):
    return [(n, spectrum(n), 100.0 + n) for n in indices]


# Group 2 (4 x 3) first, then group 1 (8 points), then group 3, which is not extracted.
ROWS = (region(2, 4, 3, range(0, 12), x=[0.5 * k for k in range(12)], y=[-1.0 * k for k in range(12)])
        + region(1, 0, 0, range(12, 20))
        + region(3, 50, 50, range(20, 21), type=1))


def get(write, f, request=MAP):
    return orvelio.getOrvelData(write(f), request)


def point_map(rows=ROWS, indices=range(20), **kwargs):
    return multiregion_file(rows, subblocks(indices), **kwargs)


def annotated(tables, subs=(), records=(), **kwargs):
    """A 3D block of `subs` with an annotation block of the given tables and records."""
    f = file3d(list(subs), **kwargs)
    f.add(block_type(extend=EXT_ANNO), anno_block(tables, records))
    return f


def with_column(rows, name, value, after="X"):
    """Rows with one more column, placed right after column `after`."""
    out = []
    for r in rows:
        items = list(r.items())
        at = [k for k, _ in items].index(after) + 1
        out.append(dict(items[:at] + [(name, value)] + items[at:]))
    return out


def without(rows, column):
    return [{k: v for k, v in r.items() if k != column} for r in rows]


def last_at_end(rows, subs, keep, **kwargs):
    """File whose last sub-block (subs numbered 0..n-1) starts `keep` bytes before its end."""
    last = subs[-1][0]

    def build(delta):
        return multiregion_file(rows, subs, store_table=[(0, last - 1), (-1, delta), (last, last)], **kwargs)
    f = build(0)
    natural = f.entries[0][2] + 24 + 3 * 8 + last * (4 * len(subs[0][1]) + INFO)
    return build(len(f.build()) - keep - natural)


# ---------------------------------------------------------------- point maps

def test_point_map_regions(write):
    r = get(write, point_map())
    assert type(r) is orvelio.MultiRegionDataReturn
    assert [g.title for g in r.regions] == ["Region 1 (8 points)", "Region 2 (4 x 3)"]
    one, two = r.regions
    assert two.mapX.dtype == two.mapY.dtype == two.start_time.dtype == np.float64
    assert two.spectra.dtype == np.float32 and two.spectra.shape == (12, NPT)
    np.testing.assert_array_equal(two.mapX, [0.5 * k for k in range(12)])
    np.testing.assert_array_equal(two.mapY, [-1.0 * k for k in range(12)])
    np.testing.assert_array_equal(two.start_time, [100.0 + n for n in range(12)])
    np.testing.assert_array_equal(two.spectra, [spectrum(n) for n in range(12)])
    np.testing.assert_array_equal(one.spectra, [spectrum(n) for n in range(12, 20)])
    np.testing.assert_array_equal(one.start_time, [100.0 + n for n in range(12, 20)])
    assert r.x.shape == (NPT,) and repr(one) == "Region 1 (8 points)"


@pytest.mark.parametrize("rows, titles", [
    (region(5, 0, 0, range(3)) + region(-1, 0, 0, range(3, 5)) + region(3, 0, 0, range(5, 6)),
     ["Region -1 (2 points)", "Region 3 (1 points)", "Region 5 (3 points)"]),
    # A layout of nx x ny takes that many consecutive rows, whatever carries the number.
    (region(4, 2, 3, range(6)) + region(4, 0, 0, range(6, 9)), ["Region 4 (2 x 3)"]),
    # The points rule counts every row carrying the number, even rows that are not its own.
    (region(1, 0, 0, range(4)) + region(2, 1, 1, range(4, 5)) + region(1, 0, 0, range(5, 7)),
     ["Region 1 (6 points)", "Region 2 (1 x 1)"]),
    (region(1, 0, 5, range(3), arytype=1), ["Region 1 (0 x 5)"]),
    (region(2.0, 0, 0, range(3)), ["Region 2.0 (3 points)"]),
    (region(1, 0, 0, range(3), type=1), []),
    (without(region(1, 2, 1, range(2)), "AryType"), ["Region 1 (2 x 1)"]),  # only read for empty layouts
])
def test_region_forming(write, rows, titles):
    r = get(write, point_map(rows))
    assert [g.title for g in r.regions] == titles
    for g in r.regions:
        n = len(g.mapX)
        assert g.spectra.shape == (n, NPT) and len(g.mapY) == len(g.start_time) == n


def test_region_rows_follow_fileindex(write):
    # Sub-blocks are found by their index, whatever the order of the rows or of the storage;
    # a row whose index is not stored stays all zero.
    fileindex = [7, 3, 99, 5]
    f = point_map(region(1, 0, 0, fileindex, x=[1.0, 2.0, 3.0, 4.0], y=[5.0, 6.0, 7.0, 8.0]), [5, 6, 7, 2, 3])
    g, = get(write, f).regions
    np.testing.assert_array_equal(g.spectra, [spectrum(7), spectrum(3), [0.0] * NPT, spectrum(5)])
    np.testing.assert_array_equal(g.mapX, [1.0, 2.0, 0.0, 4.0])
    np.testing.assert_array_equal(g.mapY, [5.0, 6.0, 0.0, 8.0])
    np.testing.assert_array_equal(g.start_time, [107.0, 103.0, 0.0, 105.0])


def test_skipped_groups_read_nothing(write):
    # No sub-block behind the positions: reading any of them would fail.
    rows = region(1, 9, 9, range(3), type=1) + region(2, 0, 0, range(3, 5), type=7)
    assert get(write, point_map(rows, indices=[])).regions == []


@pytest.mark.parametrize("rows, error, message", [
    (without(ROWS, "Group"), KeyError, "'Group'"),
    (without(ROWS, "Type"), KeyError, "'Type'"),
    (without(ROWS, "AryType"), KeyError, "'AryType'"),
    (without(ROWS, "X"), KeyError, "'X'"),
    (without(ROWS, "Fileindex"), KeyError, "'Fileindex'"),
    (with_column(without(region(1, 0, 0, range(2)), "Group"), "Group", "one", after="Y"), TypeError, "'str' object cannot be interpreted as an integer"),
    (region(3e9, 0, 0, range(2)), OverflowError, "Python integer 3000000000 out of bounds for int32"),
    (region(1, 5, 5, range(20)), IndexError, "list index out of range"),
    (region(1, -2, 3, range(2)), ValueError, "negative dimensions are not allowed"),
])
def test_point_map_errors(write, rows, error, message):
    with pytest.raises(error) as err:
        get(write, point_map(rows))
    assert str(err.value) == message


@pytest.mark.parametrize("keep, error, message", [
    (4, ValueError, f"could not broadcast input array from shape (1,) into shape ({NPT},)"),
    (20, ValueError, f"could not broadcast input array from shape (5,) into shape ({NPT},)"),
    (4 * NPT + 140, struct.error, "unpack requires a buffer of 8 bytes"),
])
def test_truncated_sub_block(write, keep, error, message):
    f = last_at_end(region(1, 0, 0, range(4)), subblocks(range(4)), keep)
    with pytest.raises(error, match="^" + message.replace("(", r"\(").replace(")", r"\)") + "$"):
        get(write, f)


# ---------------------------------------------------------------- annotation tables

def test_unknown_column_type_warns_and_reads_on(write):
    # The unknown column stands between X and Y and takes no bytes of the row: Y is read where
    # it stands; the column 1099 is text.
    rows = with_column(region(1, 0, 0, range(3), y=[4.0, 5.0, 6.0], Note="abc"), "Flag", b"")
    f = annotated([region_table(rows, types={"Flag": 1100, "Note": 1099})], subblocks(range(3)))
    with pytest.warns(RuntimeWarning) as caught:
        g, = get(write, f).regions
    assert [str(w.message) for w in caught] == [UNKNOWN] * 3
    np.testing.assert_array_equal(g.mapY, [4.0, 5.0, 6.0])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="^" + UNKNOWN + "$"):
            get(write, f)


def test_warnings_come_before_the_error(write):
    rows = with_column(without(region(1, 0, 0, range(2)), "Y"), "Flag", b"")
    f = annotated([region_table(rows, types={"Flag": 1100})], subblocks(range(2)))
    with pytest.warns(RuntimeWarning, match=UNKNOWN) as caught, pytest.raises(KeyError, match="'Y'"):
        get(write, f)
    assert len(caught) == 2


def test_column_met_again_starts_over(write):
    # A later table's X replaces the first table's; a record without SRC is passed over.
    rows = region(1, 0, 0, range(3), x=[1.0, 2.0, 3.0])
    later = region_table([{"X": 10.0 + k} for k in range(3)])
    f = annotated([region_table(rows), later], subblocks(range(3)), records=[{"NOT": 1}])
    np.testing.assert_array_equal(get(write, f).regions[0].mapX, [10.0, 11.0, 12.0])


def test_table_larger_than_a_read_and_a_column_named_twice(write):
    # 2,500 rows of 36 bytes: the table outgrows one 64 KiB read, and rows straddle its end.
    n = 2500
    rows = region(1, 0, 0, range(n), x=[0.25 * k for k in range(n)], y=[-0.5 * k for k in range(n)])
    g, = get(write, annotated([region_table(rows, row_len=36)], subblocks(range(n)))).regions
    np.testing.assert_array_equal(g.mapX, [0.25 * k for k in range(n)])
    np.testing.assert_array_equal(g.mapY, [-0.5 * k for k in range(n)])
    np.testing.assert_array_equal(g.spectra[[0, 1821, n - 1]], [spectrum(k) for k in (0, 1821, n - 1)])
    # Two columns named X: their cells, an int and a float a row, take turns in the one column.
    names = [("Group", INT), ("Type", INT), ("AryNX", INT), ("AryNY", INT), ("AryType", INT),
             ("Fileindex", INT), ("X", INT), ("X", FLOAT), ("Y", FLOAT)]
    table = Table([Column(*c) for c in names], [[1, 0, 0, 0, 0, k, 7 + k, 0.5 + k, 0.0] for k in range(2)])
    g, = get(write, annotated([table], subblocks(range(2)))).regions
    assert g.mapX.tolist() == [7.0, 0.5]


@pytest.mark.parametrize("column, error", [("Group", None), ("Y", IndexError)])
def test_table_without_rows(write, column, error):
    empty = Table([Column(column, FLOAT)], [])
    f = annotated([region_table(ROWS), empty], subblocks(range(20)))
    if error is None:
        assert get(write, f).regions == []
    else:
        with pytest.raises(error, match="^list index out of range$"):
            get(write, f)


@pytest.mark.parametrize("text, declared_offset, expected", [
    ("2.5", None, 2.5),
    ("12345678", None, 12345678.0),  # the whole width, no NUL
    ("1234", 34, 12.0),  # the width runs from the text column's declared offset to the row end
])
def test_text_cells(write, text, declared_offset, expected):
    rows = region(1, 0, 0, range(2), y=[text, text])
    table = region_table(rows, types={"Y": TEXT}, text_width=8, row_len=36)
    table.columns[-1] = Column("Y", TEXT, declared_offset)
    g, = get(write, annotated([table], subblocks(range(2)))).regions
    np.testing.assert_array_equal(g.mapY, [expected, expected])


def test_table_of_no_columns_and_many_rows_is_cheap(write):
    f = annotated([region_table(ROWS), Table([], [], nln=2**31 - 1, row_len=0)], subblocks(range(20)))
    assert len(get(write, f).regions) == 2


@pytest.mark.parametrize("table", [
    Table([Column("Group", INT)], [[1]], nln=2**31 - 1, row_len=0),
    Table([Column("Group", 1100)], [[b""]], nln=2**31 - 1, row_len=0),
    # A text column declared past the row end reads the rest of the file in every row.
    Table([Column("Group", INT), Column("T", TEXT, 99)], [[1, ""]] * 2, nln=1000, row_len=8),
])
def test_oversized_table_rejected(write, table):
    start = time.monotonic()
    with pytest.raises(ValueError, match="^Invalid annotation table: .* do not fit in a file of"):
        get(write, annotated([table], subblocks(range(2))))
    assert time.monotonic() - start < 5


BIG_RECORD = {f"P{i:03d}": i for i in range(100)}


@pytest.mark.parametrize("records, n, message", [
    ([], 2, None),
    ([], 900, "^Invalid annotation table: 21 rows of 8 columns do not fit"),
    ([BIG_RECORD], 900, "^Invalid annotation block: its records add up to more than the file holds$"),
])
def test_records_repeating_one_record(write, records, n, message):
    # Every record of the directory names the same one, just after the directory.
    at = 12 + 12 * (n + 1) + 4
    tables = [] if records else [region_table(ROWS)]
    f = file3d(subblocks(range(20)))
    f.add(block_type(extend=EXT_ANNO),
          anno_block(tables, records, nrp=n, dir_extra=[(f"F{i:02d}", at) for i in range(1, n)]))
    if message:
        with pytest.raises(ValueError, match=message):
            get(write, f)
    else:
        assert len(get(write, f).regions) == 2


TABLE_RECORD = {"SRC": 4, "SIZ": 200, "NCO": 1, "NLN": 0, "S00": "A", "F00": 0, "T00": INT}


@pytest.mark.parametrize("missing", ["NRP", "F01", *[k for k in TABLE_RECORD if k != "SRC"]])
def test_annotation_keys_missing(write, missing):
    record = {k: v for k, v in TABLE_RECORD.items() if k != missing}
    options = {"nrp": Param("XRP", 1)} if missing == "NRP" else {"nrp": 2} if missing == "F01" else {}
    f = file3d(subblocks(range(2)))
    f.add(block_type(extend=EXT_ANNO), anno_block([], [record], **options))
    with pytest.raises(KeyError) as err:
        get(write, f)
    assert err.value.args == (missing,)


# ---------------------------------------------------------------- trace maps

TRACE_NPT = 20


def traces(count=3, label=None):
    return [(n, [1000.0 * n + p for p in range(TRACE_NPT)], None, label or f"trace {n}") for n in range(count)]


TRACE_ROWS = (region(1, 0, 0, range(1, 13)) + region(7, 2, 2, range(1, 5), type=1)
              + region(2, 0, 0, range(13, 21), x=[0.25] * 8))


def trace_map(rows=TRACE_ROWS, subs=None, **kwargs):
    return multiregion_file(rows, traces() if subs is None else subs, name="TRC", **kwargs)


def test_trace_map(write):
    r = get(write, trace_map(), TRC)
    assert type(r) is orvelio.MultiRegionTRCDataReturn
    assert r.labels == ["trace 0", "trace 1", "trace 2"]
    assert [g.title for g in r.regions] == ["Region 1 (12 points)", "Region 2 (8 points)"]
    one, two = r.regions
    assert one.spectra.shape == (12, 3) and two.spectra.shape == (8, 3) and one.spectra.dtype == np.float32
    np.testing.assert_array_equal(two.spectra[0], [12.0, 1012.0, 2012.0])
    np.testing.assert_array_equal(one.spectra[:, 1], [1000.0 + p for p in range(12)])
    np.testing.assert_array_equal(two.mapX, [0.25] * 8)
    assert one.mapX.dtype == np.float64 and one.start_time is None and two.start_time is None


def test_large_trace_map_in_any_order(write):
    # 6 traces of 1,500 positions; 2,511 rows padded to 36 bytes, so that some straddle the file's
    # read-ahead window; positions in order, backwards, repeated and in a run of 7 (not a
    # multiple of 4).
    count, npt = 6, 1500
    values = np.arange(count * npt, dtype=np.float32).reshape(count, npt) * 0.5 - 7.0
    subs = [(n, values[n], None, f"t{n}") for n in range(count)]
    orders = [list(range(1, 1501)) + list(range(1, 501)), list(range(1500, 1000, -1)), [3, 3, 9, 1500],
              list(range(40, 47))]
    rows = []
    for g, order in enumerate(orders):
        rows += region(g + 1, 0, 0, order, x=[float(k) for k in order], y=[0.5] * len(order))
    f = file3d(subs, name="TRC")
    f.add(block_type(extend=EXT_ANNO), anno_block([region_table(rows, row_len=36)]))
    r = get(write, f, TRC)
    assert [g.spectra.shape for g in r.regions] == [(len(o), count) for o in orders]
    for g, order in zip(r.regions, orders):
        np.testing.assert_array_equal(g.spectra, values[:, np.array(order) - 1].T)
        np.testing.assert_array_equal(g.mapX, order)
    assert r.labels == [f"t{n}" for n in range(count)]


def test_trace_label_without_nul(write):
    r = get(write, trace_map(subs=traces(1, label="L" * (INFO - 152))), TRC)
    assert r.labels == ["L" * (INFO - 152)]


@pytest.mark.parametrize("fileindex, message", [
    (21, "index 20 is out of bounds for axis 1 with size 20"),
    (0, "Fileindex 0 is out of range: trace positions count from 1"),
    (-4, "Fileindex -4 is out of range: trace positions count from 1"),
])
def test_trace_position_out_of_range(write, fileindex, message):
    with pytest.raises(IndexError, match="^" + message + "$"):
        get(write, trace_map(region(1, 0, 0, [3, fileindex])), TRC)


def test_trace_map_without_traces(write):
    with pytest.raises(ValueError, match="^need at least one array to concatenate$"):
        get(write, trace_map(subs=[]), TRC)


def test_truncated_trace(write):
    f = last_at_end(TRACE_ROWS, traces(), 8, name="TRC")
    with pytest.raises(ValueError):
        get(write, f, TRC)
