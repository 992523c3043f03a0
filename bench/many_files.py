"""Folders of files: catalog, stack and a cube's CSV export (run by hand, not in CI).

    PYTHONPATH=build/dev python3 bench/many_files.py [--repeat N] [--files N] [--spectra N] [--no-cube]

Builds, with the test-file builder, in a temporary folder:

- N small files (default 10,000): one absorbance spectrum of 256 points with its parameter
  blocks each (about 1.5 KB);
- a cube of 256 x 160 pixels of 1,601 points (262 MB), unless --no-cube.

Measures in the same rounds (best and median of --repeat rounds):

- "python read": the interpreter's open().read() of every small file, the floor;
- "catalog -j 1" and "catalog -j 2": orvelio.catalog(folder, workers=...): the core's threads
  describe the files outside the interpreter's lock, the walk of the folder and the making of
  the table stay in the interpreter (about a fifth of the -j 1 time); target: -j 2 within 1.5x
  of the floor, at least 1.7x faster than -j 1 on idle cores;
- "read loop": getOrvelData of the first --spectra files (default 1,000), each filling one row
  of a numpy array, the floor of stack;
- "stack": orvelio.stack() of the same files; target within 2x of the loop;

(with the CPU time of the best round, every thread's and worker process's included: on a
machine whose cores are busy with other work the wall-clock speedup cannot show, equal CPU
time with one and two threads shows that the work divides), and, once, the peak memory (the child process's high-water mark over its resident size
before the call) and the time of orvelio.export.write_csv of the cube.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import numpy as np  # noqa: E402

import orvelio  # noqa: E402
from builder import file3d, spectrum_file  # noqa: E402


def build(folder, count):
    y = [float(np.sin(0.05 * k)) for k in range(256)]
    data = spectrum_file(y, params={"DXU": "WN"}, acq={"RES": 4.0, "NSS": 32, "SNM": "film"}).build()
    paths = []
    for k in range(count):
        sub = os.path.join(folder, f"day{k // 1000:02d}")
        os.makedirs(sub, exist_ok=True)
        path = os.path.join(sub, f"s{k:05d}.orv")
        with open(path, "wb") as fh:
            fh.write(data)
        paths.append(path)
    return paths


def read_all(paths):
    for p in paths:
        with open(p, "rb") as fh:
            fh.read()


def read_loop(paths):
    out = np.empty((len(paths), 256), np.float32)
    for i, p in enumerate(paths):
        out[i] = orvelio.getOrvelData(p, ("AB", "2D", "NONE")).y
    return out


def _cpu():
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def rounds(workloads, repeat):
    """{name: (best, median, CPU seconds of the best round, its worker processes included)}."""
    times = {name: [] for name in workloads}
    for _ in range(repeat):
        for name, call in workloads.items():
            t, c = time.perf_counter(), _cpu()
            call()
            times[name].append((time.perf_counter() - t, _cpu() - c))
    return {name: (min(ts)[0], statistics.median(t for t, _ in ts), min(ts)[1]) for name, ts in times.items()}


def peak_of(call):
    """(seconds, peak bytes) of call() in a forked child."""
    import json
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        before = _status("VmRSS")
        t = time.perf_counter()
        call()
        elapsed = time.perf_counter() - t
        os.write(w, json.dumps([elapsed, _status("VmHWM") - before]).encode())
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as fh:
        got = fh.read()
    os.waitpid(pid, 0)
    return json.loads(got)


def _status(key):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--files", type=int, default=10_000)
    parser.add_argument("--spectra", type=int, default=1_000)
    parser.add_argument("--no-cube", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = os.path.join(tmp, "folder")
        paths = build(folder, args.files)
        few = paths[:args.spectra]
        print(f"load: {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs; {len(paths)} files of "
              f"{os.path.getsize(paths[0])} bytes")
        got = rounds({"python read": lambda: read_all(paths),
                      "catalog -j 1": lambda: orvelio.catalog(folder, workers=1, progress=False),
                      "catalog -j 2": lambda: orvelio.catalog(folder, workers=2, progress=False),
                      "read loop": lambda: read_loop(few),
                      "stack": lambda: orvelio.stack(few)}, args.repeat)
        for name, (best, median, cpu) in got.items():
            print(f"{name:>14}: best {best:.3f} s, median {median:.3f} s, CPU {cpu:.3f} s")
        ratio = lambda a, b, i: got[a][i] / got[b][i]  # noqa: E731
        print(f"catalog -j 2 / python read: best {ratio('catalog -j 2', 'python read', 0):.2f}x, "
              f"median {ratio('catalog -j 2', 'python read', 1):.2f}x (target <= 1.5)")
        print(f"catalog -j 1 / -j 2: best {ratio('catalog -j 1', 'catalog -j 2', 0):.2f}x, "
              f"median {ratio('catalog -j 1', 'catalog -j 2', 1):.2f}x (target >= 1.7)")
        print(f"stack / read loop: best {ratio('stack', 'read loop', 0):.2f}x, "
              f"median {ratio('stack', 'read loop', 1):.2f}x (target <= 2)")
        if args.no_cube:
            return
        cube = os.path.join(tmp, "cube.orv")
        row = np.sin(0.01 * np.arange(1601)).astype(np.float32)
        file3d([(k, row + np.float32(k % 7)) for k in range(256 * 160)],
               params={"NPX": 256, "NPY": 160, "AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0}).write(cube)
        size = os.path.getsize(cube)
        from orvelio import export
        elapsed, peak = peak_of(lambda: export.write_csv(cube, os.path.join(tmp, "cube.csv")))
        print(f"cube CSV: {size / 1e6:.0f} MB file, {os.path.getsize(os.path.join(tmp, 'cube.csv')) / 1e6:.0f} MB "
              f"CSV in {elapsed:.1f} s, peak {peak / 1e6:.0f} MB")


if __name__ == "__main__":
    main()
