"""Time and memory of getOrvelData on large, realistic files (run by hand, not in CI).

    PYTHONPATH=build/dev python3 bench/bench.py [--repeat N] [--keep DIR] [--only TEXT]

Builds the files with the test-file builder (tests/builder.py) in a temporary directory:

- a 128 x 128 hyperspectral image of 1,600 points per spectrum (about 105 MB),
- 2,000 time-resolved spectra of 4,000 points,
- one 2D spectrum of 8,000 points,

plus the cases of every ``bench/case_*.py`` module: each defines ``cases(tmpdir)``, which
builds its files in ``tmpdir`` and returns a list of ``(label, path, call)``, ``call()``
returning the result object, or ``(label, path, call, extra)`` where the dict ``extra`` may
name another floor, ``floor=(name, floor_call)`` (timed in the same rounds instead of
numpy.fromfile), and the case's target, ``target="<= 1.5"`` (printed beside its ratio).
``--cases multiregion,threads`` builds only those modules' cases (``builtin`` for the three
above).

For each case it prints:

- call: the best time of ``call()`` over the repetitions, their median, and the throughput in
  GB/s (bytes of the file over the best time);
- floor: the best time of ``numpy.fromfile(path, dtype=numpy.uint8)`` on the same file in
  the same run (reading the whole file into one new array), or of the case's own floor, and
  the ratio call / floor of the best times (and of the medians);
- peak/arrays: the memory a call took at its peak over the bytes of the arrays it returned,
  measured on the second call of the process; "first MB" is the first call's peak, which also
  holds what a process pays once (the library's code paged in, the interpreter's caches).

How memory is measured: every case runs in a child process of its own (forked once the files
are built). The child hands the allocator's free pages back to the system (malloc_trim, so
that the call cannot reuse pages the file building left resident), resets the kernel's
resident-set high-water mark (writing 5 to /proc/self/clear_refs), notes its resident size,
makes one call, and reads the high-water mark (VmHWM in /proc/self/status); then again for a
second call, the first one's result let go. Peak = high-water mark - resident size before the
call: everything the call held at its worst moment (the returned arrays, buffers, the parameter
dictionary), with the interpreter, numpy and the module already loaded. Without clear_refs the peak is read the same way from the fresh fork
(less exact: the high-water mark then starts at the size inherited from the parent).

Files are read from the page cache in both measurements (they were just written): the
numbers compare the work done on the bytes, not the disk. For files of 4 MB and more, the
allocator's free pages go back to the system (malloc_trim) before every timed call, floor and
call alike: both then pay for fresh pages, as a program reading a file once does, instead of
one of them happening to reuse pages the other left resident. (Small files are timed warm:
there the fixed cost of a call is what shows.)

Targets: large 3D calls within 1.5x of the floor; peak memory at most 1.1x the returned arrays.
"""

import argparse
import ctypes
import gc
import glob
import importlib.util
import json
import os
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import orvelio  # noqa: E402
from builder import file3d, spectrum_file  # noqa: E402


# ------------------------------------------------------------------ the built-in cases

def _spectra(rows, npt, seed):
    """Smooth bands with noise, one spectrum per row (float32)."""
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 1.0, npt, dtype=np.float32)
    centres = rng.uniform(0.2, 0.8, size=(rows, 1)).astype(np.float32)
    bands = np.exp(-((x - centres) / 0.05) ** 2, dtype=np.float32)
    return (bands + rng.normal(0.0, 0.01, size=(rows, npt)).astype(np.float32)).astype(np.float32)


def _image(tmpdir):
    nx = ny = 128
    npt = 1600
    values = _spectra(nx * ny, npt, seed=1)
    subblocks = [(i, values[i]) for i in range(nx * ny)]
    f = file3d(subblocks, fxv=4000.0, lxv=700.0, params={
        "AOX": 0.0, "AOY": 0.0, "DDX": 5.0, "DDY": 5.0, "NPX": nx, "NPY": ny})
    path = f.write(os.path.join(tmpdir, "image.0"))
    return [("image 128x128x1600 (AB 3D)", path,
             lambda: orvelio.getOrvelData(path, ("AB", "3D", "NONE")))]


def _time_resolved(tmpdir):
    m, npt = 2000, 4000
    values = _spectra(m, npt, seed=2)
    subblocks = [(i, values[i], 0.25 * i) for i in range(m)]
    path = file3d(subblocks, fxv=4000.0, lxv=400.0).write(os.path.join(tmpdir, "trs.0"))
    return [("time-resolved 2000x4000 (AB 3D)", path,
             lambda: orvelio.getOrvelData(path, ("AB", "3D", "NONE")))]


def _single(tmpdir):
    y = _spectra(1, 8000, seed=3)[0]
    path = spectrum_file(y).write(os.path.join(tmpdir, "single.0"))
    return [("2D spectrum 8000 (AB 2D)", path,
             lambda: orvelio.getOrvelData(path, ("AB", "2D", "NONE")))]


def _extra_modules(only=None):
    for path in sorted(glob.glob(os.path.join(HERE, "case_*.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        if only is not None and name[len("case_"):] not in only:
            continue
        found = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        yield module.cases


# ------------------------------------------------------------------ measuring

def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not in /proc/self/status")


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _array_bytes(obj, seen=None):
    """Bytes of every numpy array reachable from a result object's attributes."""
    seen = set() if seen is None else seen
    if id(obj) in seen:
        return 0
    seen.add(id(obj))
    if isinstance(obj, np.ndarray):
        return obj.nbytes
    if isinstance(obj, (list, tuple)):
        return sum(_array_bytes(o, seen) for o in obj)
    if hasattr(obj, "__dict__") and not isinstance(obj, type):
        return sum(_array_bytes(o, seen) for o in vars(obj).values())
    return 0


FRESH_PAGES_FROM = 4 << 20


def _release_free_memory():
    """Hands the allocator's free pages back to the system, so that the call's allocations
    show in the resident size instead of reusing pages left resident by the file building."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _fromfile(path):
    return lambda: np.fromfile(path, dtype=np.uint8)


def _measure(path, call, repeat, floor_call=None):
    """In the child: peak memory of one call, then the best times of call and floor."""
    floor_call = floor_call or _fromfile(path)
    peaks = []
    for _ in range(2):  # the first call, then one in a process that has made it
        gc.collect()
        _release_free_memory()
        exact = _reset_peak()
        before = _status("VmRSS")
        result = call()
        peaks.append(_status("VmHWM") - before)
        arrays = _array_bytes(result)
        del result
    gc.collect()

    fresh = os.path.getsize(path) >= FRESH_PAGES_FROM
    best_call = best_floor = float("inf")
    calls, floors = [], []
    for _ in range(repeat):
        if fresh:
            _release_free_memory()
        t = time.perf_counter()
        floor = floor_call()
        floors.append(time.perf_counter() - t)
        best_floor = min(best_floor, floors[-1])
        del floor
        if fresh:
            _release_free_memory()
        t = time.perf_counter()
        result = call()
        calls.append(time.perf_counter() - t)
        best_call = min(best_call, calls[-1])
        del result
    return dict(call=best_call, median=float(np.median(calls)), floor=best_floor,
                floor_median=float(np.median(floors)), first=peaks[0], peak=peaks[1], arrays=arrays,
                exact=exact)


def _in_child(path, call, repeat, floor_call=None):
    """Runs _measure in a forked child; returns its numbers (or the error it met)."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        try:
            out = _measure(path, call, repeat, floor_call)
        except BaseException as e:  # reported by the parent
            out = dict(error=f"{type(e).__name__}: {e}")
        os.write(write, json.dumps(out).encode())
        os._exit(0)
    os.close(write)
    chunks = []
    while True:
        chunk = os.read(read, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read)
    os.waitpid(pid, 0)
    return json.loads(b"".join(chunks).decode())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=5, help="timed calls per case (best is kept)")
    parser.add_argument("--keep", help="build the files in this directory and keep them")
    parser.add_argument("--only", help="run only the cases whose label contains this text")
    parser.add_argument("--cases", help="build only these case modules, comma-separated (builtin, multiregion, "
                                        "threads, ...)")
    args = parser.parse_args()
    only = None if args.cases is None else set(args.cases.split(","))

    tmp = None
    tmpdir = args.keep
    if tmpdir is None:
        tmp = tempfile.TemporaryDirectory(prefix="orvelio-bench-")
        tmpdir = tmp.name
    os.makedirs(tmpdir, exist_ok=True)

    cases = []
    t = time.perf_counter()
    builtin = [_image, _time_resolved, _single] if only is None or "builtin" in only else []
    for make in [*builtin, *_extra_modules(only)]:
        cases += make(tmpdir)
        gc.collect()
    if args.only:
        cases = [c for c in cases if args.only in c[0]]
    print(f"orvelio {orvelio.__file__}")
    print(f"numpy {np.__version__}, Python {sys.version.split()[0]}; files built in "
          f"{time.perf_counter() - t:.1f} s; best of {args.repeat}\n")

    w = max([34] + [len(c[0]) for c in cases])
    head = (f"{'case':{w}} {'file MB':>8} {'call ms':>8} {'median':>8} {'GB/s':>6} {'floor':>14} {'floor ms':>9} "
            f"{'median':>8} {'x floor':>8} {'(median)':>8} {'target':>8} {'arrays MB':>10} {'first MB':>9} "
            f"{'peak MB':>8} {'peak/arrays':>12}")
    print(head)
    print("-" * len(head))
    for label, path, call, *more in cases:
        extra = more[0] if more else {}
        floor_name, floor_call = extra.get("floor", ("numpy.fromfile", None))
        size = os.path.getsize(path)
        m = _in_child(path, call, args.repeat, floor_call)
        if "error" in m:
            print(f"{label:{w}} {size / 1e6:8.1f}  failed: {m['error']}")
            continue
        ratio = m["peak"] / m["arrays"] if m["arrays"] else float("nan")
        note = "" if m["exact"] else " (peak from fork)"
        print(f"{label:{w}} {size / 1e6:8.1f} {m['call'] * 1e3:8.2f} {m['median'] * 1e3:8.2f} "
              f"{size / m['call'] / 1e9:6.2f} {floor_name:>14} "
              f"{m['floor'] * 1e3:9.2f} {m['floor_median'] * 1e3:8.2f} {m['call'] / m['floor']:8.2f} "
              f"{m['median'] / m['floor_median']:8.2f} {extra.get('target', ''):>8} {m['arrays'] / 1e6:10.2f} "
              f"{m['first'] / 1e6:9.2f} {m['peak'] / 1e6:8.2f} {ratio:12.2f}{note}")
    if tmp is not None:
        tmp.cleanup()


if __name__ == "__main__":
    main()
