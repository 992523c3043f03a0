"""Parameter blocks, read through the extension's test hook."""
import struct

import pytest

from builder import Param, params


@pytest.fixture
def read(core, write):
    """read(block_bytes) -> (dict, position after the end record's name)."""
    def _read(block, before=b"\0" * 8):
        return core._test_read_params(write(before + block), len(before))
    return _read


def test_end_record_first(read):
    assert read(params({})) == ({}, 12)


@pytest.mark.parametrize("record, key, value, consumed", [
    (Param("NPT", 1024), "NPT", 1024, 12),
    (Param("NPT", 7, size=4), "NPT", 7, 12),              # an int is 4 bytes whatever the size says
    (Param("RES", 4.5, size=0), "RES", 4.5, 16),           # a float is 8
    (Param("SNM", b"Sample\0x", size=4), "SNM", "Sample", 16),
    (Param("SNM", b"", size=0), "SNM", "", 8),
    (Param(b"\0SNM", 1), "SNM", 1, 12),                    # NULs stripped at both ends
    (Param(b"ABCD", 1), "ABCD", 1, 12),
    (Param(b"A\0B\0", 1), "A\0B", 1, 12),                  # ... but not inside
    (Param(b" XY\0", 1), " XY", 1, 12),                    # blanks are kept
    (Param("TXT", "caf\u00e9"), "TXT", "caf\u00e9", 14),
    (Param("TXT", b"caf\xe9\0", type=3), "TXT", "caf\u00e9", 14),
    (Param("TXT", b"abcd", type=4, size=2), "TXT", "abcd", 12),
    (Param("NEG", -5), "NEG", -5, 12),
])
def test_records(read, record, key, value, consumed):
    d, pos = read(params([record]))
    assert d == {key: value} and type(d[key]) is type(value)
    assert pos == 8 + consumed + 4


def test_repeated_name_keeps_first_place_takes_last_value(read):
    d, _ = read(params([("RES", 4.0), ("NPT", 10), ("RES", 2.0), ("SNM", "x")]))
    assert list(d.items()) == [("RES", 2.0), ("NPT", 10), ("SNM", "x")]


@pytest.mark.parametrize("code", [5, 7, -1, 1000])
def test_unknown_type_code(read, code):
    with pytest.raises(ValueError, match=f"^Unexpected value for reading parameter type: {code}$"):
        read(params([Param("XXX", 1, type=code, raw=b"\0" * 4)]))


def test_invalid_utf8_name(read):
    with pytest.raises(UnicodeDecodeError) as err:
        read(params([Param(b"\xffAB\0", 1)]))
    assert err.value.encoding == "utf-8" and err.value.object == b"\xffAB\0"


@pytest.mark.parametrize("block, width", [
    (params({"NPT": 1}, end=False), 2),                    # runs into the end: empty name, short type
    (params({"NPT": 1}, end=False) + b"NP", 2),
    (params([Param("SNM", "x", size=-1)]), 2),             # negative size reads the rest of the file
    (params({}, end=False)[:0] + b"NPT\0\0\0", 2),
    (b"NPT\0\0\0\0\0\1\0", 4),                             # int value cut short
    (b"NPT\0\1\0\0\0\1\0", 8),                             # float value cut short
])
def test_unterminated_blocks_end_in_a_short_read(read, block, width):
    with pytest.raises(struct.error, match=f"^unpack requires a buffer of {width} bytes$"):
        read(block)


def test_offset_past_the_end_and_negative(core, write):
    path = write(params({"A": 1}))
    with pytest.raises(struct.error):
        core._test_read_params(path, 10**6)
    with pytest.raises(OSError) as err:
        core._test_read_params(path, -1)
    assert err.value.errno == 22


def test_text_cut_by_end_of_file_is_read_short(read):
    block = b"TXT\0\2\0\x10\0abc"  # 32 bytes announced, 3 present
    with pytest.raises(struct.error, match="^unpack requires a buffer of 2 bytes$"):
        read(block)


def test_long_block_across_read_ahead_windows(read):
    # Thousands of records, names repeated, over several 64 KiB windows with records cut by
    # their edges: the dictionary a record-by-record reading gives.
    records, expected = [], {}
    for k in range(6000):
        value = k if k % 3 == 0 else k / 7 if k % 3 == 1 else "t" * (k % 11)
        records.append((f"{k % 2500:04X}", value))
        expected[records[-1][0]] = value
    block = params(records)
    d, pos = read(block, before=b"\0" * 5)
    assert list(d.items()) == list(expected.items()) and pos == 5 + len(block)
