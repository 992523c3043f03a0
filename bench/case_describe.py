"""Bench cases: a block described, and some of its rows read, against the block read whole.

- a 256 x 256 hyperspectral image of 4,000 points per spectrum (about 1.06 GB), four ways:
  getOrvelData (the whole cube); describe() on a reader opened for the call (headers,
  parameters and store table only); read_rows of 64 pixels spread over the image into one
  buffer (positioned reads); one pixel's spectrum through OrvelFile over a Python file object
  with only read and seek (as remote files are: positioned reads of what is asked for).

The full read is timed against numpy.fromfile of the whole file; describe and read_rows against
the full read, so that their "x floor" is their share of it. Each call is timed straight after
its floor, in a forked child, with the memory of the floor's gigabyte just freed: a describe
made with warm caches costs less (bench it in a loop for that figure).
"""

import importlib
import os

import numpy as np

import orvelio
from builder import file3d
from orvelio.reader import OrvelFile

NX = NY = 256
NPT = 4000
BLOCK = ("AB", "3D", "NONE")


def cases(tmpdir):
    path = os.path.join(tmpdir, "cube.0")
    base = np.linspace(0.0, 1.0, NPT, dtype=np.float32)
    f = file3d([(i, base + np.float32(i % 97)) for i in range(NX * NY)], fxv=4000.0, lxv=400.0,
               params={"AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": NX, "NPY": NY})
    f.write(path)
    del f
    Reader = importlib.import_module("orvelio._orvelio")._Reader
    rows = np.linspace(0, NX * NY - 1, 64).astype(np.int64)

    def describe():
        r = Reader(path)
        d = r.describe(BLOCK)
        r.close()
        return d

    def some_rows():
        out = np.empty((len(rows), NPT), np.float32)
        r = Reader(path)
        r.read_rows(BLOCK, rows, out)
        r.close()
        return out

    def full_read():
        return orvelio.getOrvelData(path, BLOCK)

    class Remote:  # read and seek only: no descriptor for the reader to use
        def __init__(self, raw):
            self.read, self.seek, self.tell = raw.read, raw.seek, raw.tell

    def one_spectrum_of_a_file_object():
        out = np.empty((1, NPT), np.float32)
        with open(path, "rb", buffering=0) as raw, OrvelFile(Remote(raw)) as f:
            f._reader.read_rows(BLOCK, rows[32:33], out)
        return out

    # describe and read_rows timed against the full read itself: their "x floor" is their share
    # of it.
    size, against_full = f"{NX}x{NY}x{NPT}", {"floor": ("full read", full_read)}
    return [(f"cube {size}: full read", path, full_read),
            (f"cube {size}: describe", path, describe, against_full),
            (f"cube {size}: read_rows of 64 pixels", path, some_rows, against_full),
            (f"cube {size}: 1 spectrum, file object", path, one_spectrum_of_a_file_object, against_full)]
