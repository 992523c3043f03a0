"""Bench cases: many small files, read from one thread and from two.

2,000 files, each a typical single measurement: an absorbance spectrum of 4,096 points, the
single-channel sample spectrum it came from, their parameter blocks and the acquisition,
instrument, optics and transform blocks (about 40 KB). A call lists every file and reads both
of its spectra, the files shared out between the threads. The core reads without the
interpreter's lock, so two threads on two cores should take little more than half the time of
one (target: 1.7x). The floor is the same bytes read as one file.

Run alone for the speedup: PYTHONPATH=build/dev python3 bench/case_threads.py [--repeat N]
"""

import math
import os
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import orvelio  # noqa: E402
from builder import OrvelFile, spectrum_file  # noqa: E402

FILES, NPT = 2000, 4096
AUX = dict(
    acq={"AQM": "DD", "RES": 4.0, "NSS": 32, "SGN": "AUTO", "PLF": "AB", "HFW": 4000.0, "LFW": 400.0},
    inst={"HFL": 15798.0, "LFL": 0.0, "LWN": 15798.0, "DAQ": "24", "INS": "bench", "SRT": 1.5e9, "DUR": 32.6},
    optics={"APT": "6 mm", "BMS": "KBr", "DTC": "DTGS", "SRC": "MIR", "VEL": 10.0, "HPF": 0, "LPF": 5},
    ft={"APF": "B3", "PHR": 32.0, "PHZ": "ML", "SPZ": "NO", "ZFF": 2},
)


def _measurement(k):
    xs = [4000.0 + i * (400.0 - 4000.0) / (NPT - 1) for i in range(NPT)]
    ab = [0.05 + 0.8 * math.exp(-(((x - 1650 - k % 50) / 25) ** 2)) for x in xs]
    f = spectrum_file(ab, name="AB", params={"DXU": "WN", "DAT": "08/12/2026"}, f=OrvelFile(max_dir=16), **AUX)
    spectrum_file([10 ** -a for a in ab], name="SSC", params={"DXU": "WN"}, f=f)
    return f.build()


def _read(paths):
    for path in paths:
        for request in orvelio.listContents(path):
            orvelio.getOrvelData(path, request)


def _threaded(paths, n):
    def call():
        pool = [threading.Thread(target=_read, args=(paths[t::n],)) for t in range(n)]
        for p in pool:
            p.start()
        for p in pool:
            p.join()
    return call


def _files(tmpdir):
    where = os.path.join(tmpdir, "small")
    os.makedirs(where, exist_ok=True)
    paths, blobs = [], []
    for k in range(FILES):
        blobs.append(_measurement(k % 100) if k < 100 else blobs[k % 100])
        paths.append(os.path.join(where, f"{k:05d}.0"))
        with open(paths[-1], "wb") as out:
            out.write(blobs[-1])
    everything = os.path.join(tmpdir, "small-all.0")  # the floor: the same bytes in one file
    with open(everything, "wb") as out:
        out.write(b"".join(blobs))
    return paths, everything


def cases(tmpdir):
    paths, everything = _files(tmpdir)
    return [(f"{FILES} small files, {n} thread{'s' if n > 1 else ''} (2D)", everything, _threaded(paths, n))
            for n in (1, 2)]


if __name__ == "__main__":
    import argparse
    import tempfile
    import time

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        paths, _ = _files(tmp)
        size = os.path.getsize(paths[0])
        _read(paths)  # warm
        best = {}
        for _ in range(args.repeat):
            for n in (1, 2):
                t = time.perf_counter()
                _threaded(paths, n)()
                best[n] = min(best.get(n, math.inf), time.perf_counter() - t)
    print(f"{FILES} files of {size // 1024} KiB listed and read, best of {args.repeat}, "
          f"{os.cpu_count()} CPUs:")
    for n, seconds in best.items():
        print(f"  {n} thread{'s' if n > 1 else ' '}: {seconds * 1e3:7.1f} ms  ({FILES / seconds:,.0f} files/s)")
    print(f"  speedup: {best[1] / best[2]:.2f}x")
