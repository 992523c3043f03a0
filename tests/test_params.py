"""Parameter blocks as getOrvelData reads them: the errors of blocks that cannot be read, in the
exact API's words, and a long block over many read-ahead windows. (The records one by one,
their types and where the reading stops: the core's own tests, tests/cpp/test_core.cpp.)"""
import struct

import numpy as np
import pytest

import orvelio
from builder import OrvelFile, Param, data_word, params

REQUIRED = {"NPT": 4, "FXV": 1.0, "LXV": 4.0, "MNY": 0.0, "MXY": 3.0}


@pytest.fixture
def read(write):
    """read(records) -> the parameters of a spectrum whose data parameter block, last in the
    file, is REQUIRED's records followed by `records` (bytes)."""
    def _read(records):
        f = OrvelFile(max_dir=4)
        f.add(data_word("AB"), np.arange(4, dtype="<f4").tobytes())
        f.add(data_word("AB", param=1), params(REQUIRED, end=False) + records)
        return orvelio.getOrvelData(write(f), ("AB", "2D", "NONE")).parameters
    return _read


@pytest.mark.parametrize("code", [5, 7, -1, 1000])
def test_unknown_type_code(read, code):
    with pytest.raises(ValueError, match=f"^Unexpected value for reading parameter type: {code}$"):
        read(params([Param("XXX", 1, type=code, raw=b"\0" * 4)]))


def test_invalid_utf8_name(read):
    with pytest.raises(UnicodeDecodeError) as err:
        read(params([Param(b"\xffAB\0", 1)]))
    assert err.value.encoding == "utf-8" and err.value.object == b"\xffAB\0"


@pytest.mark.parametrize("block, width", [
    (params({"RES": 1}, end=False), 2),                    # runs into the end: empty name, short type
    (params({"RES": 1}, end=False) + b"NP", 2),
    (params([Param("SNM", "x", size=-1)]), 2),             # negative size reads the rest of the file
    (b"RES\0\0\0", 2),
    (b"RES\0\0\0\0\0\1\0", 4),                             # int value cut short
    (b"RES\0\1\0\0\0\1\0", 8),                             # float value cut short
    (b"TXT\0\2\0\x10\0abc", 2),                            # 32 bytes of text announced, 3 present
])
def test_unterminated_blocks_end_in_a_short_read(read, block, width):
    with pytest.raises(struct.error, match=f"^unpack requires a buffer of {width} bytes$"):
        read(block)


def test_long_block_across_read_ahead_windows(read):
    # Thousands of records, names repeated, over several 64 KiB windows with records cut by
    # their edges: the dictionary a record-by-record reading gives.
    records, expected = [], dict(REQUIRED)
    for k in range(6000):
        value = k if k % 3 == 0 else k / 7 if k % 3 == 1 else "t" * (k % 11)
        records.append((f"{k % 2500:04X}", value))
        expected[records[-1][0]] = value
    assert list(read(params(records)).items()) == list(expected.items())
