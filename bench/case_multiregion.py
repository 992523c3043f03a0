"""Bench cases: multi-region maps.

- a point map of 20 regions x 500 spectra x 2,000 points (about 82 MB): half the regions laid
  out as 25 x 20 grids, half as free point lists, with time stamps;
- a trace map of the same 20 x 500 positions with 200 traces (about 8 MB).
"""

import os

import numpy as np

import orvelio
from builder import multiregion_file, region

REGIONS, PER_REGION = 20, 500


def _rows(first_index):
    rows = []
    for g in range(REGIONS):
        start = g * PER_REGION
        nx, ny = (25, 20) if g % 2 == 0 else (0, 0)
        xs = [float(k % 25) for k in range(PER_REGION)]
        ys = [float(k // 25) for k in range(PER_REGION)]
        rows += region(g + 1, nx, ny, range(first_index + start, first_index + start + PER_REGION), x=xs, y=ys)
    return rows


def _point_map(tmpdir):
    npt = 2000
    rng = np.random.default_rng(4)
    values = rng.normal(0.0, 1.0, size=(REGIONS * PER_REGION, npt)).astype(np.float32)
    subblocks = [(i, values[i], 0.5 * i) for i in range(len(values))]
    path = multiregion_file(_rows(0), subblocks, fxv=4000.0, lxv=400.0).write(os.path.join(tmpdir, "multiregion.0"))
    return ("multi-region 20x500x2000 (AB 3D)", path, lambda: orvelio.getOrvelData(path, ("AB", "3D", "NONE")),
            dict(target="<= 1.1"))


def _trace_map(tmpdir):
    traces = 200
    npt = REGIONS * PER_REGION
    rng = np.random.default_rng(5)
    values = rng.normal(0.0, 1.0, size=(traces, npt)).astype(np.float32)
    subblocks = [(i, values[i], None, f"band {i}") for i in range(traces)]
    path = multiregion_file(_rows(1), subblocks, name="TRC").write(os.path.join(tmpdir, "multiregion_trc.0"))
    return ("multi-region traces 20x500, 200 (TRC 3D)", path,
            lambda: orvelio.getOrvelData(path, ("TRC", "3D", "NONE")), dict(target="<= 1.5"))


def cases(tmpdir):
    return [_point_map(tmpdir), _trace_map(tmpdir)]
