"""Bench cases: a folder of 2,000 small files exported to npz by the command line, with one
worker process and with two.

The files are those of case_threads.py (an absorbance spectrum of 4,096 points and the
single-channel spectrum it came from, with their parameter blocks: about 32 KB each), so each
export writes 4,000 npz files. The command runs in this process (`orvelio.cli.main`), the
two-process run including the start of its worker pool. Target: two processes at least 1.8x
as fast as one on two cores.

Run alone for the figures: PYTHONPATH=build/dev python3 bench/case_export.py [--repeat N]

Alone, it measures in the same rounds, each with every workload once:

- "python read": the interpreter reading the same files (one open and read of each), the
  floor of the per-file cost;
- "python copy": the same reads, each file's bytes then written as two new files under
  temporary names renamed when complete (the export's file work without its conversion);
- "export -j 1" and "export -j 2": `orvelio export DIR -o OUT --format npz -q`, each into a
  fresh output folder;

and prints the best and the median of the rounds, the speedup of two processes over one, the
cost per file against the floor's, and the CPU time per file (on a machine whose cores are
busy with other work, the wall-clock speedup cannot show; equal CPU time per file with one and
two processes shows that the work itself divides without overhead). Files and outputs stay in the page cache (a fresh
temporary folder): the numbers compare work done, not the disk.
"""

import os
import shutil
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from case_threads import FILES, _files  # noqa: E402

from orvelio import cli  # noqa: E402


def _export(folder, out, jobs):
    def call():
        shutil.rmtree(out, ignore_errors=True)
        status = cli.main(["export", folder, "-o", out, "--format", "npz", "-j", str(jobs), "-q"])
        if status != 0:
            raise RuntimeError(f"orvelio export ended with status {status}")
    return call


def _python_read(paths):
    def call():
        for path in paths:
            with open(path, "rb") as f:
                f.read()
    return call


def _python_copy(paths, out):
    def call():
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        for path in paths:
            with open(path, "rb") as f:
                data = f.read()
            name = os.path.join(out, os.path.basename(path))
            for half, part in ((".a", data[:len(data) // 2]), (".b", data[len(data) // 2:])):
                with open(name + half + ".part", "wb") as f:
                    f.write(part)
                os.replace(name + half + ".part", name + half)
    return call


def _cpu():
    """CPU seconds used by this process and its finished children (the worker processes)."""
    import resource
    return sum(u.ru_utime + u.ru_stime for u in (resource.getrusage(resource.RUSAGE_SELF),
                                                 resource.getrusage(resource.RUSAGE_CHILDREN)))


def cases(tmpdir):
    paths, everything = _files(tmpdir)
    folder = os.path.dirname(paths[0])
    return [(f"{FILES} small files to npz, {n} process{'es' if n > 1 else ''}", everything,
             _export(folder, os.path.join(tmpdir, f"npz{n}"), n)) for n in (1, 2)]


if __name__ == "__main__":
    import argparse
    import tempfile

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="rounds (best and median are kept)")
    parser.add_argument("--dir", help="build the files in a folder here (e.g. /dev/shm: no disk at all)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="orvelio-bench-", dir=args.dir) as tmp:
        paths, _ = _files(tmp)
        folder = os.path.dirname(paths[0])
        work = {"python read": _python_read(paths),
                "python copy": _python_copy(paths, os.path.join(tmp, "copy")),
                "export -j 1": _export(folder, os.path.join(tmp, "npz1"), 1),
                "export -j 2": _export(folder, os.path.join(tmp, "npz2"), 2)}
        for call in work.values():  # warm: page cache, imports, output folders
            call()
        times = {name: [] for name in work}
        cpu = {name: [] for name in work}
        for _ in range(args.repeat):
            for name, call in work.items():
                c, t = _cpu(), time.perf_counter()
                call()
                times[name].append(time.perf_counter() - t)
                cpu[name].append(_cpu() - c)
        outputs = len(os.listdir(os.path.join(tmp, "npz2")))
        size = os.path.getsize(paths[0])
    print(f"{FILES} files of {size // 1024} KiB ({outputs} npz outputs) in {args.dir or tempfile.gettempdir()}, "
          f"{args.repeat} rounds, {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}; best / median:")
    best = {name: min(t) for name, t in times.items()}
    median = {name: statistics.median(t) for name, t in times.items()}
    floor_b, floor_m = best["python read"], median["python read"]
    for name in work:
        b, m = best[name], median[name]
        print(f"  {name:12s} {b * 1e3:8.1f} / {m * 1e3:8.1f} ms   per file {b / FILES * 1e6:7.1f} / "
              f"{m / FILES * 1e6:7.1f} us   x floor {b / floor_b:6.1f} / {m / floor_m:6.1f}")
    print("  CPU time (this process and its workers) per file, median: "
          + ", ".join(f"{name} {statistics.median(cpu[name]) / FILES * 1e6:.0f} us" for name in work))
    print(f"  speedup of 2 processes: {best['export -j 1'] / best['export -j 2']:.2f}x best, "
          f"{median['export -j 1'] / median['export -j 2']:.2f}x median")
