"""Bench cases: the trace kinds, whose values are stored trace by trace and returned per position.

- image traces: 200 traces over a 256 x 256 map (about 52 MB);
- time traces: 200 traces over 20,000 spectra of a time-resolved series (about 16 MB).
"""

import os

import numpy as np

import orvelio
from builder import file3d

TRACES = 200
TRC = ("TRC", "3D", "NONE")


def _traces(npt, seed):
    return np.random.default_rng(seed).normal(0.0, 1.0, size=(TRACES, npt)).astype(np.float32)


def _image_traces(tmpdir):
    nx = ny = 256
    values = _traces(nx * ny, seed=6)
    subblocks = [(i, values[i], None, f"band {i}") for i in range(TRACES)]
    f = file3d(subblocks, name="TRC", params={"AOX": 0.0, "AOY": 0.0, "DDX": 5.0, "DDY": 5.0, "NPX": nx, "NPY": ny})
    path = f.write(os.path.join(tmpdir, "image_trc.0"))
    return (f"image traces {nx}x{ny}, {TRACES} (TRC 3D)", path, lambda: orvelio.getOrvelData(path, TRC))


def _time_traces(tmpdir):
    values = _traces(20000, seed=7)
    subblocks = [(i, values[i], None, f"band {i}") for i in range(TRACES)]
    path = file3d(subblocks, name="TRC").write(os.path.join(tmpdir, "time_trc.0"))
    return (f"time traces 20000, {TRACES} (TRC 3D)", path, lambda: orvelio.getOrvelData(path, TRC))


def cases(tmpdir):
    return [_image_traces(tmpdir), _time_traces(tmpdir)]
