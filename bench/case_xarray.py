"""Bench cases of the xarray backend: a chunked reduction of a cube, and many small files
through dask worker processes (needs the extra: from a checkout pip install '.[xarray]').

    PYTHONPATH=build/dev python3 bench/case_xarray.py [--repeat N] [--files N]

- "mean spectrum": a 400 x 400 x 1,600 image (about 1 GB) opened lazily with chunks={} and
  reduced to its mean spectrum chunk by chunk, against numpy.fromfile of the same file (the
  floor: the whole file read into one array) in the same rounds; with the peak resident
  memory the reduction took over its starting size (a few chunks, not the cube).
- "small files": 2,000 files of one 4,096-point spectrum each, each opened with the backend and
  its values loaded, shared out in batches over a dask cluster of 1 and then 2 worker processes
  (one thread each; target: 2 processes at least 1.8x as fast as 1), and read in this process
  alone for reference; and, as the machine floor, pure interpreter work of about the same
  length per batch through the same two clusters in the same rounds (what two processes give
  at all on the machine at that moment).

bench.py runs the first case too (its cases() below), with its own floor and memory figures.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from builder import OrvelFile, block3d, data_word, params, spectrum_file  # noqa: E402

NX = NY = 400
NPT = 1600
INFO = 200
FILES, SMALL_NPT, BATCH = 2000, 4096, 50


def cube(path, nx=NX, ny=NY, npt=NPT):
    """An image of nx * ny spectra written block by block (the builder's layout, the sub-blocks
    made with numpy instead of one by one)."""
    f = OrvelFile(max_dir=8)
    f.add(data_word("AB", "3D", param=1), params({
        "NPT": npt, "FXV": 4000.0, "LXV": 700.0, "MNY": 0.0, "MXY": 1.0, "DXU": "WN",
        "AOX": 0.0, "AOY": 0.0, "DDX": 5.0, "DDY": 5.0, "NPX": nx, "NPY": ny}))
    n = nx * ny
    head = block3d([], npt=npt, store_table=[(0, n - 1)], stored=n, info_size=INFO)
    stride = npt + INFO // 4
    f.add(data_word("AB", "3D"), head, size_words=(len(head) + 4 * n * stride) // 4)
    rng = np.random.default_rng(1)
    x = np.linspace(0.0, 1.0, npt, dtype=np.float32)
    with open(path, "wb") as out:
        out.write(f.build())
        for start in range(0, n, 4096):
            rows = min(4096, n - start)
            block = np.zeros((rows, stride), "<f4")
            centres = rng.uniform(0.2, 0.8, size=(rows, 1)).astype(np.float32)
            block[:, :npt] = np.exp(-((x - centres) / 0.05) ** 2)
            out.write(block.tobytes())
    return path


def _engine():
    from orvelio.xarray_backend import OrvelBackendEntrypoint
    return OrvelBackendEntrypoint


def mean_spectrum(path):
    import xarray as xr
    with xr.open_dataset(path, engine=_engine(), chunks={}) as ds:
        return ds.AB.mean(("y", "x")).values


def cases(tmpdir):
    try:
        import dask.array  # noqa: F401
        import xarray  # noqa: F401
    except ImportError:
        return []
    path = cube(os.path.join(tmpdir, "cube.0"))
    return [(f"mean spectrum of {NX}x{NY}x{NPT}, chunked (xarray)", path, lambda: mean_spectrum(path))]


# ------------------------------------------------------------------ small files

def _load(paths):
    import xarray as xr
    engine = _engine()
    out = []
    for path in paths:
        with xr.open_dataset(path, engine=engine, datablock="AB") as ds:
            out.append(ds.AB.values)
    return np.stack(out)


def small_files(where, files=FILES):
    os.makedirs(where, exist_ok=True)
    paths = []
    x = np.linspace(0.0, 1.0, SMALL_NPT)
    for k in range(files):
        y = np.exp(-((x - 0.3 - (k % 50) / 200) / 0.02) ** 2).astype(np.float32)
        paths.append(spectrum_file(y, params={"DXU": "WN"}, f=OrvelFile(max_dir=8)).write(
            os.path.join(where, f"{k:05d}.0")))
    return paths


def _on_cluster(client, batches, work=None):
    return np.concatenate(client.gather(client.map(work or _load, batches, pure=False)))


def _spin(paths):
    """The machine floor: pure interpreter work, 20,000 loop steps per path, nothing read."""
    total = 0
    for _ in paths:
        for i in range(20_000):
            total += i
    return np.zeros((len(paths), 1)) + total


def _rss_peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmHWM"))


def _rss():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmRSS"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--files", type=int, default=FILES)
    parser.add_argument("--only", choices=("cube", "files"))
    args = parser.parse_args()
    import distributed

    with tempfile.TemporaryDirectory() as tmp:
        if args.only != "files":
            run_cube(tmp, args)
        if args.only != "cube":
            run_files(tmp, args, distributed)
    return 0


def run_cube(tmp, args):
    """The reduction and its floor in the same rounds."""
    path = cube(os.path.join(tmp, "cube.0"))
    size = os.path.getsize(path)
    mean_spectrum(path)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = _rss()
    want = mean_spectrum(path)
    peak = _rss_peak() - before
    floor_times, call_times = [], []
    for _ in range(args.repeat):
        t = time.perf_counter()
        whole = np.fromfile(path, dtype=np.uint8)
        floor_times.append(time.perf_counter() - t)
        del whole
        t = time.perf_counter()
        got = mean_spectrum(path)
        call_times.append(time.perf_counter() - t)
    assert np.array_equal(got, want)
    print(f"mean spectrum of a {NX}x{NY}x{NPT} cube ({size / 1e9:.2f} GB), chunks={{}}, "
          f"{os.cpu_count()} CPUs, {args.repeat} rounds:")
    for name, times in (("numpy.fromfile", floor_times), ("chunked mean", call_times)):
        print(f"  {name:15s} best {min(times) * 1e3:7.0f} ms ({size / min(times) / 1e9:5.2f} GB/s)"
              f"  median {statistics.median(times) * 1e3:7.0f} ms")
    print(f"  ratio to floor  best {min(call_times) / min(floor_times):.2f}"
          f"  median {statistics.median(call_times) / statistics.median(floor_times):.2f}")
    print(f"  peak memory of the reduction: {peak / 2**20:.0f} MiB ({size / max(peak, 1):.0f}x less than the file)")
    os.unlink(path)


def run_files(tmp, args, distributed):
    """Small files through 1 and 2 worker processes, and in this process alone."""
    paths = small_files(os.path.join(tmp, "small"), args.files)
    batches = [paths[i:i + BATCH] for i in range(0, len(paths), BATCH)]
    serial = _load(paths)
    times = {"this process": [], 1: [], 2: [], (1, "spin"): [], (2, "spin"): []}
    clusters = {n: distributed.LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                            dashboard_address=None) for n in (1, 2)}
    clients = {n: distributed.Client(c) for n, c in clusters.items()}
    try:
        for n, client in clients.items():
            client.wait_for_workers(n)
            assert np.array_equal(_on_cluster(client, batches), serial)   # warm and check
        for _ in range(args.repeat):
            t = time.perf_counter()
            _load(paths)
            times["this process"].append(time.perf_counter() - t)
            for n, client in clients.items():
                t = time.perf_counter()
                _on_cluster(client, batches)
                times[n].append(time.perf_counter() - t)
                t = time.perf_counter()
                _on_cluster(client, batches, _spin)
                times[n, "spin"].append(time.perf_counter() - t)
    finally:
        for n in clients:
            clients[n].close()
            clusters[n].close()
    print(f"\n{len(paths)} files of one {SMALL_NPT}-point spectrum, opened with the backend and loaded, "
          f"batches of {BATCH}, {args.repeat} rounds:")
    for n, label in (("this process", "in this process"), (1, "1 worker process"), (2, "2 worker processes")):
        ts = times[n]
        print(f"  {label:20s} best {min(ts) * 1e3:7.0f} ms  median {statistics.median(ts) * 1e3:7.0f} ms"
              f"  ({len(paths) / min(ts):6.0f} files/s)")
    for one, two, label in ((1, 2, "files"), ((1, "spin"), (2, "spin"), "machine floor")):
        print(f"  speedup 2 vs 1 process, {label:13s}: best {min(times[one]) / min(times[two]):.2f}x  "
              f"median {statistics.median(times[one]) / statistics.median(times[two]):.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
