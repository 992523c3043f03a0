"""Damaged files, leaks and threads: every file gets a result or a Python exception, in bounded
time and memory; repeated calls do not grow the process; concurrent calls agree."""
import contextlib
import importlib.util
import io
import json
import os
import pathlib
import struct
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import orvelio
from builder import (EXT_IMAGE, OrvelFile, Picture, block_type, data_word, image_block, multiregion_file, params,
                     spectrum_file)
from conftest import run_python

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "fuzz"))
from make_corpus import (AMPLIFIED, amplified_file, hostile, many_regions_file, mutants,  # noqa: E402
                         picture_walk_file, seeds, shared_params_file, shared_record_file, unbacked_file)

REGRESSIONS = REPO / "fuzz" / "regressions"
SEEDS = seeds()
BASE_NAMES = ("REFL RAM SPOW RPOW RPH SPH PAS LREFL KM SIFG RIFG TR EMIS ATR TRARI ABARI AB TRC SSC "
              "RSC").split()
REQUESTS = [(name + ch2, dims, deriv) for name in BASE_NAMES for ch2 in ("", "-CH2")
            for dims in ("2D", "3D") for deriv in ("NONE", "1DER", "2DER", "NDER")]


def tame_mutants(seed):
    """Mutants that cannot declare huge arrays: truncations, and 0, 1 or -1 over a field."""
    return {label: data for label, data in mutants(seed, SEEDS[seed]).items()
            if "[:" in label or label.rsplit("=", 1)[-1] in ("0", "1", "-1")}


def sanitized():
    """Whether AddressSanitizer is loaded: it cannot run under an address-space limit."""
    with open("/proc/self/maps") as maps:
        return any("asan" in line for line in maps)


# ---------------------------------------------------------------- bounded cost

# Runs in a fresh interpreter: reads a JSON list of paths and limits from stdin and puts each
# path through every entry point in a forked child with a CPU time limit, a wall clock alarm and
# (without AddressSanitizer) an address-space limit. Each call may take at most `call_cpu`
# seconds of CPU and `call_memory` bytes of memory at its peak beyond the arrays it returns (the
# arrays whose shape the file declares); MemoryError passes only when the file declares a shape
# of `declared` bytes or more (NPT doubles, or NPY x NPX x NPT floats), too large to allocate in
# the limit. Prints one JSON report per path.
MEASURE = r"""
import json, os, resource, select, signal, sys, time, warnings
for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[name] = "1"  # a single thread to fork from
import numpy as np
import struct
import orvelio

job = json.load(sys.stdin)


class Sink:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


def memory():
    # (resident, peak resident) in bytes
    with open("/proc/self/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return tuple(int(fields[k].split()[0]) * 1024 for k in ("VmRSS", "VmHWM"))


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
    except OSError:
        pass


def array_bytes(value):
    if isinstance(value, np.ndarray):
        return value.nbytes
    if isinstance(value, (list, tuple)):
        return sum(array_bytes(v) for v in value)
    if isinstance(value, dict):
        return sum(array_bytes(v) for v in value.values())
    return array_bytes(vars(value)) if hasattr(value, "__dict__") else 0


def declared(path):
    # The largest array any data parameter block of the file declares, in bytes: the header's
    # directory (its first 64 entries) and the integer records NPT, NPX, NPY of each data
    # parameter block, read here as the format lays them out.
    try:
        with open(path, "rb") as fh:
            data = fh.read(64 << 20)
        offset, _, count = struct.unpack_from("<3i", data, 12)
    except (OSError, struct.error):
        return 0
    entries = []
    for k in range(max(0, min(count, 64))):
        try:
            word, _, at = struct.unpack_from("<3i", data, offset + 12 * k)
        except struct.error:
            break
        entries.append((word, at))
        if (word >> 19) & 127 == 64 and at > 0:  # the 64-bit extension: its count, then 4 words an entry
            try:
                more = struct.unpack_from("<q", data, at)[0]
                for j in range(max(0, min(more, 64))):
                    word64, _, at64, _ = struct.unpack_from("<4q", data, at + 16 + 32 * j)
                    entries.append((word64, at64))
            except struct.error:
                pass
    most = 0
    for word, at in entries[:64]:
        if (word >> 4) & 63 != 1:
            continue
        sizes = {}
        while 0 <= at <= len(data) - 8:
            name = data[at:at + 4].strip(b"\0")
            kind, size = struct.unpack_from("<2h", data, at + 4)
            if name == b"END":
                break
            if kind == 0 and at + 12 <= len(data):
                sizes[name] = struct.unpack_from("<i", data, at + 8)[0]
            at += 8 + (4 if kind == 0 else 8 if kind == 1 else 2 * max(size, 0))
        npt, npx, npy = (max(sizes.get(n, 0), 0) for n in (b"NPT", b"NPX", b"NPY"))
        most = max(most, 8 * npt, 4 * npt * npx * npy)
    return most


def forked(work, limits):
    # work(out) in a forked child that writes its JSON report to the descriptor `out`; the
    # report, or how the child ended. The processes the child starts end with it.
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        os.setpgid(0, 0)
        work(w)
        os._exit(0)
    os.close(w)
    deadline = time.monotonic() + limits["wall"] + 5
    chunks = []
    while True:
        ready, _, _ = select.select([r], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            os.kill(pid, signal.SIGKILL)
            break
        chunk = os.read(r, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(r)
    _, status = os.waitpid(pid, 0)
    try:
        os.killpg(pid, signal.SIGKILL)
    except OSError:
        pass
    if os.WIFSIGNALED(status):
        return {"status": f"killed by {signal.Signals(os.WTERMSIG(status)).name}"}
    if os.WEXITSTATUS(status) != 0 or not chunks:
        return {"status": f"exit status {os.WEXITSTATUS(status)}"}
    return json.loads(b"".join(chunks))


def limited(limits):
    # The limits of a child: address space (without AddressSanitizer), CPU time, wall clock.
    if limits["address_space"]:
        room = vm_size() + limits["address_space"]
        resource.setrlimit(resource.RLIMIT_AS, (room, room))
    resource.setrlimit(resource.RLIMIT_CPU, (limits["cpu"], limits["cpu"] + 1))
    signal.alarm(limits["wall"])  # the default action ends the process, GIL or not
"""

DRIVER = MEASURE + r"""
requests = [tuple(r) for r in job["requests"]]


def exercise(path, tally, limits):
    shapes = declared(path)

    def call(function, *args):
        name = f"{function.__name__}{args[1:]}"
        reset_peak()
        before = memory()[0]
        start = time.process_time()
        try:
            value, kind = function(*args), "result"
        except SystemError as e:  # a C++ exception the core does not expect
            raise AssertionError(f"{name}: SystemError: {e}")
        except MemoryError:
            if shapes < limits["declared"]:
                raise AssertionError(f"{name}: MemoryError, with no declared shape of {limits['declared']} bytes")
            value, kind = None, "MemoryError"
        except Exception as e:
            value, kind = None, type(e).__name__
        spent = time.process_time() - start
        if spent > limits["call_cpu"]:
            raise AssertionError(f"{name}: {spent:.2f} s of CPU time")
        beyond = memory()[1] - before - array_bytes(value)
        if limits["call_memory"] and beyond > limits["call_memory"]:
            raise AssertionError(f"{name}: {beyond >> 20} MiB beyond its arrays")
        tally[kind] = tally.get(kind, 0) + 1
        return value

    call(orvelio.isOrvelFile, path)
    for request in dict.fromkeys((call(orvelio.listContents, path) or []) + requests):
        call(orvelio.getOrvelData, path, request)
    call(orvelio.getVisImages, path)


def child(path, limits, out):
    sys.stdout = Sink()
    warnings.simplefilter("ignore")
    limited(limits)
    tally = {}
    start = time.process_time()
    try:
        exercise(path, tally, limits)
        report = {"status": "ok", "tally": tally}
    except BaseException as e:
        report = {"status": f"{type(e).__name__}: {e}"}
    report["cpu"] = time.process_time() - start
    os.write(out, json.dumps(report).encode())
    os._exit(0)


for path in job["paths"]:
    report = forked(lambda out: child(path, job["limits"], out), job["limits"])
    print(json.dumps({"path": path, **report}), flush=True)
"""

# Per file: at most this much CPU time and wall time for the ~330 calls, and at most this much
# address space beyond what the interpreter had (arrays the file declares fail with MemoryError
# beyond it). Per call: 1 s of CPU time (5 under the sanitizers) and 256 MiB beyond the arrays
# it returns.
LIMITS = {"cpu": 20, "wall": 30, "address_space": 768 << 20, "call_cpu": 1.0, "call_memory": 256 << 20,
          "declared": 48 << 20}


def bounded_run(paths):
    """{path: report} of the driver for the files."""
    limits = dict(LIMITS)
    if sanitized():  # slower calls; shadow memory and quarantine in the resident size
        limits.update(address_space=0, call_cpu=5.0, call_memory=0)
    job = {"paths": [str(p) for p in paths], "requests": REQUESTS, "limits": limits}
    with pytest.MonkeyPatch.context() as patch:
        if sanitized():
            # No address-space limit: allocations beyond a cap fail instead, as they would.
            patch.setenv("ASAN_OPTIONS", os.environ.get("ASAN_OPTIONS", "") +
                         ":allocator_may_return_null=1:max_allocation_size_mb=768")
        proc = run_python(DRIVER, timeout=60 + len(paths) * (LIMITS["wall"] + 5), input=json.dumps(job))
    assert proc.returncode == 0, proc.stderr[-3000:]
    reports = {}
    for line in proc.stdout.splitlines():
        report = json.loads(line)
        reports[report.pop("path")] = report
    assert len(reports) == len(paths), proc.stdout[-2000:] + proc.stderr[-2000:]
    return reports


def check_bounded(tmp_path, files):
    paths = {}
    for k, (label, data) in enumerate(files.items()):
        paths[label] = tmp_path / f"{k}.orv"
        paths[label].write_bytes(data)
    reports = bounded_run(paths.values())
    failed = {label: reports[str(p)] for label, p in paths.items() if reports[str(p)]["status"] != "ok"}
    assert not failed, failed
    return [reports[str(p)] for p in paths.values()]


@pytest.mark.parametrize("seed", sorted(SEEDS))
def test_damaged_files_give_results_or_exceptions(tmp_path, seed):
    reports = check_bounded(tmp_path, mutants(seed, SEEDS[seed]))
    tally = {}
    for r in reports:
        for kind, n in r["tally"].items():
            tally[kind] = tally.get(kind, 0) + n
    # The mutants reach past the first checks: some still read, some fail in many ways.
    assert tally.get("result", 0) > len(reports) and len(tally) >= 3, tally


def test_seed_files_read(tmp_path):
    reports = check_bounded(tmp_path, SEEDS)
    assert all(r["tally"].get("result", 0) >= 3 for r in reports)
    # Every block a seed lists reads, so that mutants start from readable files of every kind.
    for name, data in SEEDS.items():
        path = tmp_path / f"{name}.0"
        path.write_bytes(data)
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
            warnings.simplefilter("ignore")
            for request in orvelio.listContents(str(path)):
                orvelio.getOrvelData(str(path), request)
        orvelio.getVisImages(str(path))


@pytest.mark.parametrize("name", sorted(p.name for p in REGRESSIONS.glob("*")) if REGRESSIONS.is_dir() else [])
def test_saved_fuzz_inputs(tmp_path, name):
    check_bounded(tmp_path, {name: (REGRESSIONS / name).read_bytes()})


def stacked_labels_file(count, tail):
    """Time-resolved traces whose `count` sub-blocks all lie at one place (a stride of 0), each
    label running over the `tail` bytes to the end of the file."""
    f = OrvelFile()
    f.add(data_word("TRC", "3D", param=1), params({"NPT": 1, "FXV": 1.0, "LXV": 1.0, "MNY": 0.0, "MXY": 1.0}))
    f.add(data_word("TRC", "3D"), struct.pack("<6i2i", 0, 1, 32, -(2**31 - 1), 2**31 - 1, 1, 0, count - 1)
          + b"A" * tail)
    return f.build()


@pytest.mark.parametrize("count, tail, labels", [
    (3, 1000, 3),             # repeats that stay small read as they are
    (2000, 100_000, None),    # 200 MB of labels from 100 kB of file
])
def test_labels_cannot_outgrow_the_file(write, count, tail, labels):
    path = write(stacked_labels_file(count, tail))
    if labels:
        r = orvelio.getOrvelData(path, ("TRC", "3D", "NONE"))
        assert r.labels == ["A" * (tail - 4 - 152)] * labels and r.traces.shape == (3, 1)
        return
    with pytest.raises(ValueError, match="^Invalid 3D data block: its sub-block labels add up to more than the "
                                         "file holds$"):
        orvelio.getOrvelData(path, ("TRC", "3D", "NONE"))


@pytest.mark.parametrize("count, shared", [(3, True), (2000, False)])
def test_picture_bytes_cannot_outgrow_the_file(write, count, shared):
    # Each picture's bytes run to the end of the file, over the records of the pictures after it.
    pictures = [Picture(b"", f"p{i}", labels={"Bytes:": -1, "Type:": 0}) for i in range(count)]
    f = OrvelFile()
    f.add(block_type(extend=EXT_IMAGE), image_block(pictures))
    path = write(f.build() + b"x" * 1000)
    if shared:
        found = orvelio.getVisImages(path)
        assert [d["Title"] for d in found] == ["p0", "p1", "p2"]
        assert found[2]["image"].endswith(b"x" * 1000) and found[0]["image"].endswith(found[1]["image"])
        return
    with pytest.raises(ValueError, match="^Image block is malformed: its pictures' bytes add up to more than the "
                                         "file holds$"):
        orvelio.getVisImages(path)


def overlapping_regions_file(n):
    """A multi-region map of n regions, region g of the n - g rows from its own on: each runs on
    over the rows of all the regions after it."""
    rows = [dict(Group=g, Type=0, AryNX=n - g, AryNY=1, AryType=0, Fileindex=-1, X=0.0, Y=0.0) for g in range(n)]
    return multiregion_file(rows, [(0, [1.0])]).build()


@pytest.mark.parametrize("n", [50, 1000])
def test_regions_cannot_repeat_rows_without_end(write, n):
    path = write(overlapping_regions_file(n))
    if n == 50:
        r = orvelio.getOrvelData(path, ("AB", "3D", "NONE"))
        assert [len(g.mapX) for g in r.regions] == list(range(50, 0, -1))
        return
    # 500,000 positions from a table of 1,000 rows.
    with pytest.raises(ValueError, match="^Invalid multi-region map: its regions read more positions than its "
                                         "annotation table has rows$"):
        orvelio.getOrvelData(path, ("AB", "3D", "NONE"))


@pytest.mark.skipif(sanitized(), reason="timing")
def test_many_point_regions_take_linear_time(write):
    n = 40_000
    rows = [dict(Group=g, Type=0, AryNX=0, AryNY=0, AryType=0, Fileindex=-1, X=0.0, Y=0.0) for g in range(n)]
    path = write(multiregion_file(rows, [(0, [1.0])]))
    start = time.process_time()
    r = orvelio.getOrvelData(path, ("AB", "3D", "NONE"))
    # Counting each region's points over the whole table took minutes for a few megabytes.
    assert time.process_time() - start < 4
    assert len(r.regions) == n and r.regions[-1].title == f"Region {n - 1} (1 points)"


# ---------------------------------------------------------------- leaks

LEAKS = r"""
import ctypes, gc, json, struct, sys, warnings
import orvelio

job = json.load(sys.stdin)
warnings.simplefilter("ignore")


class Sink:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


libc = ctypes.CDLL(None)


class MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


libc.mallinfo2.restype = MallInfo2


def in_use():
    gc.collect()
    m = libc.mallinfo2()
    return m.uordblks + m.hblkhd, sys.getallocatedblocks()


calls = []
for path, request in job["reads"]:
    calls.append((orvelio.getOrvelData, (path, tuple(request))))
for path in job["paths"]:
    calls += [(orvelio.isOrvelFile, (path,)), (orvelio.listContents, (path,)), (orvelio.getVisImages, (path,))]
calls += [(orvelio.getOrvelData, (job["paths"][0], ("XX", "2D", "NONE"))),
          (orvelio.getOrvelData, (job["missing"], ("AB", "2D", "NONE"))),
          (orvelio.isOrvelFile, (job["missing"],)),
          (orvelio.decode_string, (b"caf\xc3\xa9",)), (orvelio.decode_string, (b"a\xffb", ["ascii"])),
          (orvelio.decode_string, (b"x", ["no-such-codec"])), (orvelio.OrvelDict, ()), (orvelio.help, ())]
classes = [getattr(orvelio, name) for name in dir(orvelio)
           if isinstance(getattr(orvelio, name), type) and name.endswith(("DataReturn", "Region"))]
kinds = {}


def rebuilt(r):
    # The result's class called again with its attributes, as a caller may construct one.
    kwargs = {("deriv" if k == "derivative" else k): v for k, v in vars(r).items() if k != "description"}
    return type(r)(**kwargs)


def round_():
    for function, args in calls:
        try:
            r = function(*args)
            str(r), repr(r)
            if hasattr(r, "description"):
                str(rebuilt(r))
                for region in getattr(r, "regions", []):
                    str(rebuilt(region))
            kinds["result"] = kinds.get("result", 0) + 1
        except Exception as e:
            kinds[type(e).__name__] = kinds.get(type(e).__name__, 0) + 1
            str(e)
    for cls in classes:
        try:
            cls()
        except TypeError as e:
            str(e)


sys.stdout = Sink()
for _ in range(job["warm"]):
    round_()
before = in_use()
for _ in range(job["rounds"] // 2):
    round_()
middle = in_use()
for _ in range(job["rounds"] - job["rounds"] // 2):
    round_()
after = in_use()
sys.stdout = sys.__stdout__
print(json.dumps({"calls": len(calls), "before": before, "middle": middle, "after": after, "kinds": kinds}))
"""


@pytest.mark.skipif(sanitized(), reason="LeakSanitizer checks leaks in the sanitizer build")
def test_repeated_calls_do_not_grow_the_process(tmp_path):
    paths, reads = [], []
    for name, data in SEEDS.items():
        path = tmp_path / f"{name}.orv"
        path.write_bytes(data)
        paths.append(str(path))
        try:
            reads += [(str(path), list(r)) for r in orvelio.listContents(str(path))]
        except Exception:
            pass
    # Damaged files for the error paths of every step.
    for k, data in enumerate(list(tame_mutants("multi-region").values()) + list(tame_mutants("pictures").values())):
        path = tmp_path / f"m{k}.orv"
        path.write_bytes(data)
        paths.append(str(path))
        reads += [(str(path), ["AB", "3D", "NONE"]), (str(path), ["TRC", "3D", "NONE"])]
    job = {"paths": paths, "reads": reads, "missing": str(tmp_path / "missing"), "warm": 200, "rounds": 2000}
    proc = run_python(LEAKS, timeout=600, input=json.dumps(job))
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout.splitlines()[-1])
    (bytes_before, blocks_before), (bytes_after, blocks_after) = report["before"], report["after"]
    blocks_middle = report["middle"][1]
    calls = report["calls"] * job["rounds"]
    assert calls > 100_000 and report["kinds"].get("result", 0) > calls // 10 and len(report["kinds"]) >= 5, report
    # Each call is made 2000 times: a leak of one small block on any path shows as 96 KiB or more.
    assert bytes_after - bytes_before < 64 << 10, report
    # Python objects: one kept per call on any path would be 1000 blocks in each half of the
    # rounds. Caches and free lists of the interpreter move up to a thousand once in a while
    # (Python 3.13), so a leak is growth in both halves.
    assert min(blocks_middle - blocks_before, blocks_after - blocks_middle) < job["rounds"] // 4, report


# ---------------------------------------------------------------- threads

def fingerprint(value):
    """Everything a result holds, comparable with ==."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, dict):
        return ("dict", tuple((k, fingerprint(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(fingerprint(v) for v in value))
    if isinstance(value, float) and value != value:
        return ("nan",)
    if hasattr(value, "__dict__"):
        return (type(value).__name__, fingerprint(vars(value)))
    return value


def outcome(function, *args):
    try:
        return fingerprint(function(*args))
    except Exception as e:
        return ("error", type(e).__name__, str(e))


def work_list(tmp_path):
    """(function, args) of every extraction of the seeds and a sample of damaged files."""
    files = dict(SEEDS)
    for seed in ("image", "time-resolved", "multi-region", "pictures", "spectrum"):
        files.update(list(tame_mutants(seed).items())[::2])
    work = []
    for k, data in enumerate(files.values()):
        path = str(tmp_path / f"{k}.orv")
        pathlib.Path(path).write_bytes(data)
        work += [(orvelio.isOrvelFile, (path,)), (orvelio.listContents, (path,)), (orvelio.getVisImages, (path,))]
        try:
            listed = orvelio.listContents(path)
        except Exception:
            listed = []
        for request in dict.fromkeys(listed + [("AB", "2D", "NONE"), ("AB", "3D", "NONE"), ("TRC", "3D", "NONE")]):
            work.append((orvelio.getOrvelData, (path, request)))
    return work


def test_concurrent_calls_agree_with_single_threaded_ones(tmp_path):
    work = work_list(tmp_path)
    expected = [outcome(f, *args) for f, args in work]
    assert sum(not (isinstance(e, tuple) and e[0] == "error") for e in expected) > 50
    threads, start = 8, threading.Barrier(8)
    got = [None] * threads

    def run(t):
        start.wait()
        mine = {}
        for repeat in range(3):
            # Each thread walks the list from its own place, so different calls overlap.
            for i in list(range(len(work)))[t * 7 + repeat:] + list(range(len(work)))[:t * 7 + repeat]:
                function, args = work[i]
                result = outcome(function, *args)
                if mine.setdefault(i, result) != result:
                    mine[i] = ("differs between repeats", result)
        got[t] = mine

    pool = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    for p in pool:
        p.start()
    for p in pool:
        p.join()
    for t in range(threads):
        bad = [work[i][1] for i in range(len(work)) if got[t][i] != expected[i]]
        assert not bad, f"thread {t}: {bad[:5]}"


# Runs after a line that sets `path` and `data`.
GIL = r"""
import os, threading
import orvelio
os.mkfifo(path)
out = {}
reader = threading.Thread(target=lambda: out.setdefault("r", orvelio.getOrvelData(path, ("AB", "2D", "NONE"))))
reader.start()
# The reader waits in the core for the rest of the pipe's bytes; writing them needs the GIL.
with open(path, "wb") as pipe:
    pipe.write(data[:100])
    pipe.flush()
    pipe.write(data[100:])
reader.join()
print(out["r"].y.tolist())
"""


def test_the_core_reads_without_the_gil(tmp_path):
    data = spectrum_file([1.0, 2.0, 3.0]).build()
    code = f"path, data = {str(tmp_path / 'pipe')!r}, {data!r}\n" + GIL
    proc = run_python(code, timeout=30)  # a reader that kept the GIL would never get its bytes
    assert proc.returncode == 0 and proc.stdout.strip() == "[1.0, 2.0, 3.0]", proc.stderr


# ---------------------------------------------------------------- small hostile files

OUT_OF_MEMORY = r"""
import resource, sys
sys.path.insert(0, {tests!r})
import orvelio
from builder import EXT_IMAGE, OrvelFile, Picture, block_type, image_block, spectrum_file
path = {path!r}
f = spectrum_file([1.0, 2.0], params={{f"T{{k:02d}}": "%05d" % k * 200 for k in range(100)}})
f.add(block_type(extend=EXT_IMAGE), image_block([Picture(b"BM", f"p{{i}}", {{"Label %d:" % k: "%04d" % k * 50
                                                                     for k in range(40)}}) for i in range(40)]))
f.write(path)
calls = [(orvelio.getOrvelData, (path, ("AB", "2D", "NONE"))), (orvelio.getVisImages, (path,)),
         (orvelio.listContents, (path,))]
kept, seen = [], set()  # results are kept, so that every call needs memory of its own
for room in range(0, 1 << 20, 8 << 10):
    for function, args in calls:
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + room, resource.RLIM_INFINITY))
        try:
            kept.append(function(*args))
            seen.add("result")
        except MemoryError:
            seen.add("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(sorted(seen))
"""


@pytest.mark.skipif(sanitized(), reason="an address-space limit")
def test_running_out_of_memory_raises_memory_error(tmp_path):
    # Allocations fail at every step of making the results as the limit grows: each failure is
    # a MemoryError, never a SystemError from a conversion.
    code = OUT_OF_MEMORY.format(tests=str(REPO / "tests"), path=str(tmp_path / "f.0"))
    proc = run_python(code, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "['MemoryError', 'result']", proc.stderr[-3000:]


@pytest.mark.parametrize("kind", ["time-resolved", "time-traces", "image", "image-traces", "point-map",
                                  "trace-map"])
def test_sub_blocks_read_over_and_over_cannot_outgrow_the_file(write, kind):
    npt = 1 if kind == "trace-map" else 4
    data, request = amplified_file(kind, 3, npt)
    rows = {"time-resolved": lambda r: r.spectra, "time-traces": lambda r: r.traces,
            "image": lambda r: r.spectra[0], "image-traces": lambda r: r.traces[:, 0, :].T,
            "point-map": lambda r: r.regions[0].spectra, "trace-map": lambda r: r.regions[0].spectra.T}[kind]
    got = rows(orvelio.getOrvelData(write(data), request))
    assert got.tolist() == ([[1.0] * 3] * 4000 if kind == "trace-map" else [[1.0, 2.0, 3.0, 4.0]] * 3)
    # Tens of megabytes from a file of a few kilobytes (gigabytes, with more rows or values).
    data, request = amplified_file(kind, 2000, 1 if kind == "trace-map" else 4096)
    assert len(data) < 100_000
    with pytest.raises(ValueError, match="^Invalid 3D data block: its sub-blocks would be read over and over"):
        orvelio.getOrvelData(write(data), request)



@pytest.mark.parametrize("kind", ["time-resolved", "image", "point-map", "trace-map"])
def test_a_streamed_export_reads_no_more_than_a_whole_read(write, tmp_path, kind):
    # The tables streamed row by row and the lazy arrays written to netCDF: refused as the whole
    # read refuses, before any output is made; the same rows a few times over are written.
    from orvelio import export, reader
    formats = ["csv"] + ["parquet"] * bool(importlib.util.find_spec("pyarrow")) \
        + ["netcdf"] * bool(importlib.util.find_spec("xarray") and export.netcdf_engine())
    for m, refused in ((2000, True), (3, False)):
        path = write(amplified_file(kind, m, 1 if kind == "trace-map" else 4096)[0])
        for fmt in formats:
            target = tmp_path / f"{m}.{fmt}"
            if refused:
                with pytest.raises(reader.CorruptFileError, match="sub-blocks over and over"):
                    export.FORMATS[fmt][1](path, target)
                assert not target.exists()
            else:
                export.FORMATS[fmt][1](path, target)


def test_parameters_shared_by_many_blocks_are_not_copied_over_and_over(write, tmp_path, capsys):
    # Each block alone is read; every block's parameters at once, as outputs or as a tree, are
    # refused before any is made. A few blocks sharing a few parameters are not.
    from orvelio import cli, reader
    path = write(shared_params_file(70_000, 160))
    with reader.OrvelFile(path) as f:
        assert len(f.parameters(f.blocks[-1])) > 70_000
    from orvelio.export import netcdf_engine
    netcdf = importlib.util.find_spec("xarray") and netcdf_engine()
    for fmt in ("npz", "netcdf") if netcdf else ("npz",):
        assert cli.main(["export", path, "-o", str(tmp_path / fmt), "-f", fmt, "-q"]) == 1
        assert "would copy the parameters of its blocks over and over" in capsys.readouterr().err
        assert os.listdir(tmp_path / fmt) == []
    if importlib.util.find_spec("xarray"):
        import xarray as xr
        from orvelio.xarray_backend import OrvelBackendEntrypoint as engine
        with pytest.raises(reader.CorruptFileError, match="a tree of every block would copy"):
            xr.open_datatree(path, engine=engine)
        xr.open_datatree(write(shared_params_file(100, 16)), engine=engine).close()
    assert cli.main(["export", write(shared_params_file(100, 16)), "-o", str(tmp_path / "few"), "-f", "npz", "-q"]) == 0


UNBACKED = r"""
import resource
import orvelio
with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 30), resource.RLIM_INFINITY))
for path, request in {calls!r}:
    try:
        orvelio.getOrvelData(path, request)
    except Exception as e:
        print(type(e).__name__, e)
"""


@pytest.mark.skipif(sanitized(), reason="an address-space limit")
def test_data_that_cannot_back_npt_fails_before_the_axis_is_built(tmp_path):
    # NPT declares 2**28 points (a 2 GiB x axis), the sub-block holds two values.
    calls = []
    for k, extra in enumerate([{}, dict(AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=1, NPY=1)]):
        path = tmp_path / f"{k}.0"
        path.write_bytes(unbacked_file(2**28, extra))
        calls.append((str(path), ("AB", "3D", "NONE")))
    proc = run_python(UNBACKED.format(calls=calls), timeout=60)
    short = "ValueError could not broadcast input array from shape (2,) into shape (268435456,)"
    assert proc.returncode == 0 and proc.stdout.splitlines() == [short] * 2, proc.stdout + proc.stderr[-2000:]


def hostile_files():
    """Files under 1 MB that once cost seconds or gigabytes: {label: bytes}."""
    big = {kind: amplified_file(kind, 10_000 if "map" in kind else 20_000, 1 if kind == "trace-map" else 16_384,
                                traces=20_000)[0] for kind in AMPLIFIED}
    return {"picture-walk-long": picture_walk_file(15_000, 5000), **hostile(),
            **{f"{kind}-big": data for kind, data in big.items()},
            "pictures-one-record-big": shared_record_file(15_000, 99, 200),
            "pictures-one-record-listed": shared_record_file(4000, 5, data=120_000),
            "pictures-one-record-wide": shared_record_file(15_000, 10, 50_000),  # 500 kB of texts
            "parameters-shared-by-blocks": shared_params_file(70_000, 160),
            "regions-many": many_regions_file(500, 100_000)}


def test_small_hostile_files_cost_little(tmp_path):
    files = hostile_files()
    assert max(len(data) for data in files.values()) < 1_000_000
    # Each of its 160 blocks is one call of the exact API (bounded), too many for one file's limits.
    del files["parameters-shared-by-blocks"]
    check_bounded(tmp_path, files)
    # The walk still lists every chunk's picture.
    found = orvelio.getVisImages(str(tmp_path / "0.orv"))
    assert len(found) == 5000 and found[-1]["Title"] == "p4999"


# Runs in a fresh interpreter after MEASURE: every path of the job through every public surface
# but the exact API (the friendly API, xarray, each command of the command line), each call in
# a forked child of its own, bounded as DRIVER bounds a call of the exact API. Prints one JSON
# report per path and surface.
SURFACES = MEASURE + r"""
import contextlib, shutil, tempfile
from orvelio import cli
from orvelio.reader import OrvelFile
try:
    import xarray as xr
    from orvelio.xarray_backend import OrvelBackendEntrypoint
except ImportError:
    xr = None
try:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot
except ImportError:
    matplotlib = None


def command(*words):
    def run(path, block):
        out = tempfile.mkdtemp(dir=job["tmp"])
        argv = [w.replace("FILE", path).replace("OUT", out).replace("BLOCK", "/".join(block)) for w in words]
        try:
            return cli.main(argv)
        finally:
            shutil.rmtree(out, ignore_errors=True)
    return run


def dataset(path, block):
    with OrvelFile(path) as f:
        region = {"region": 0} if f.describe(block).kind in ("point-map", "trace-map") else {}
    xr.open_dataset(path, engine=OrvelBackendEntrypoint, datablock=block, **region).close()


def region_grid(path, block):
    with OrvelFile(path) as f:
        if f.describe(block).kind in ("point-map", "trace-map"):
            f.region_grid(block)


CALLS = {
    "blocks": lambda path, block: OrvelFile(path).blocks,
    "pictures": lambda path, block: OrvelFile(path).pictures,
    "parameters": lambda path, block: OrvelFile(path).parameters(block),
    "region_grid": region_grid,
    **({"open_dataset": dataset,
        "open_datatree": lambda path, block: xr.open_datatree(path, engine=OrvelBackendEntrypoint).close()}
       if xr else {}),
    "ls": command("ls", "FILE"),
    "info": command("info", "FILE"),
    "info --json": command("info", "--json", "FILE"),
    "params": command("params", "FILE", "--block", "BLOCK"),
    **{f"export {fmt}": command("export", "FILE", "-o", "OUT", "-f", fmt, "-j", "1", "-q")
       for fmt in ("csv", "npz", "netcdf", "parquet")},
    "pictures -o": command("pictures", "FILE", "-o", "OUT", "-q"),
    **({"plot": command("plot", "FILE", "--block", "BLOCK", "-o", "OUT/plot.png", "-q")} if matplotlib else {}),
}
NEEDS_BLOCK = ("parameters", "region_grid", "open_dataset", "params", "plot")


def child(name, path, block, limits, out):
    warnings.simplefilter("ignore")
    limited(limits)
    shapes = declared(path)
    reset_peak()
    before = memory()[0]
    start = time.process_time() + sum(resource.getrusage(resource.RUSAGE_CHILDREN)[:2])
    try:
        CALLS[name](path, block)
        status = "ok"
    except SystemError as e:  # a C++ exception the core does not expect
        status = f"SystemError: {e}"
    except MemoryError:
        status = "ok" if shapes >= limits["declared"] else "MemoryError, with no large declared shape"
    except Exception:  # a clear error of the file is a bounded outcome too
        status = "ok"
    spent = time.process_time() + sum(resource.getrusage(resource.RUSAGE_CHILDREN)[:2]) - start
    beyond = memory()[1] - before - shapes
    if spent > limits["call_cpu"]:
        status = f"{spent:.2f} s of CPU time"
    elif limits["call_memory"] and beyond > limits["call_memory"]:
        status = f"{beyond >> 20} MiB beyond its arrays"
    os.write(out, json.dumps({"status": status, "cpu": round(spent, 3), "beyond": beyond >> 20}).encode())


def first_block(path):
    try:
        return next(iter(orvelio.listContents(path)), None)
    except Exception:
        return None


# Every surface once first, so that what each imports on its first use is imported before.
warm = job["warm"]
for name in CALLS:
    with contextlib.redirect_stdout(Sink()), contextlib.redirect_stderr(Sink()), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        CALLS[name](warm, first_block(warm))
sys.stdout = open(os.devnull, "w")  # the commands' output; reports go to the real stdout
sys.stderr = open(os.devnull, "w")
for path in job["paths"]:
    block = first_block(path)
    for name in CALLS:
        if block is None and name in NEEDS_BLOCK:
            continue
        report = forked(lambda out: child(name, path, block, job["limits"], out), job["limits"])
        os.write(1, (json.dumps({"path": path, "call": name, **report}) + "\n").encode())
"""


def test_small_hostile_files_cost_little_on_every_surface(tmp_path):
    # Each call of the friendly API, of xarray and of each command within 2 s of CPU time (1 s
    # on an idle machine) and 256 MiB beyond the arrays the file declares.
    files = hostile_files()
    paths = {}
    for k, (label, data) in enumerate(files.items()):
        paths[str(tmp_path / f"{k}.orv")] = label
        (tmp_path / f"{k}.orv").write_bytes(data)
    warm = tmp_path / "warm.orv"
    warm.write_bytes(SEEDS["multi-region"])
    limits = dict(LIMITS, call_cpu=2.0)
    if sanitized():
        limits.update(address_space=0, call_cpu=10.0, call_memory=0)
    job = {"paths": list(paths), "warm": str(warm), "tmp": str(tmp_path), "limits": limits}
    proc = run_python(SURFACES, timeout=60 + len(paths) * 20 * (LIMITS["wall"] + 5), input=json.dumps(job))
    assert proc.returncode == 0, proc.stderr[-3000:]
    reports = [json.loads(line) for line in proc.stdout.splitlines()]
    assert {r["path"] for r in reports} == set(paths), proc.stdout[-2000:] + proc.stderr[-2000:]
    failed = [f"{paths[r['path']]} {r['call']}: {r['status']}" for r in reports if r["status"] != "ok"]
    assert not failed, "\n".join(failed)


# ---------------------------------------------------------------- special files and signals

def test_special_files_are_read_as_far_as_asked():
    # An endless device is not read to its end; a file whose size the system reports as 0 is read.
    assert orvelio.isOrvelFile("/dev/zero") is False and orvelio.isOrvelFile("/dev/urandom") is False
    assert orvelio.getVisImages("/dev/zero") == []
    assert orvelio.isOrvelFile("/proc/self/status") is False
    with pytest.raises(ValueError, match="^Can't process a non-Orvel file$"):
        orvelio.getOrvelData("/dev/zero", ("AB", "2D", "NONE"))


def test_a_descriptor_is_read_from_its_position():
    data = spectrum_file([1.0, 2.0, 3.0]).build()
    r, w = os.pipe()
    os.write(w, b"skip" + data)
    os.close(w)
    assert os.read(r, 4) == b"skip"
    assert orvelio.listContents(r) == [("AB", "2D", "NONE")]  # and closes it
    with pytest.raises(OSError):
        os.close(r)


# Runs after a line that sets `path` and `data`; a writer comes after 20 s at the latest, so that a
# call that goes on waiting ends (it then fails) instead of holding the test.
INTERRUPTED = r"""
import os, signal, threading, time
import orvelio

def interrupt(signum, frame):
    raise KeyboardInterrupt("handler")

def readers():
    # Descriptors open on the pipe for reading.
    out = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            with open(f"/proc/self/fdinfo/{fd}") as info:
                flags = int(info.read().split("flags:")[1].split()[0], 8)
            if os.readlink(f"/proc/self/fd/{fd}") == path and flags & os.O_ACCMODE == os.O_RDONLY:
                out.append(fd)
        except OSError:
            pass
    return out

def writer(first):
    with open(path, "wb") as pipe:
        pipe.write(first)
        pipe.flush()
        time.sleep(20)

signal.signal(signal.SIGALRM, interrupt)
for case, first in (("open", None), ("read", data[:100])):
    os.mkfifo(path)
    late = threading.Timer(20, writer, (b"",))
    late.start()
    if first is not None:
        threading.Thread(target=writer, args=(first,), daemon=True).start()
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        orvelio.getOrvelData(path, ("AB", "2D", "NONE"))
        print(case, "read")
    except BaseException as e:
        print(case, type(e).__name__, e, readers() == [])
    late.cancel()
    os.unlink(path)
os._exit(0)
"""


def test_signals_interrupt_blocking_opens_and_reads(tmp_path):
    data = spectrum_file([1.0, 2.0, 3.0]).build()
    code = f"path, data = {str(tmp_path / 'pipe')!r}, {data!r}\n" + INTERRUPTED
    proc = run_python(code, timeout=120)
    assert proc.stdout.splitlines() == ["open KeyboardInterrupt handler True", "read KeyboardInterrupt handler True"], \
        proc.stdout + proc.stderr[-2000:]
