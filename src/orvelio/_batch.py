"""The batch runner of `orvelio export`: one job per file, in worker processes, outliving workers
that die, leaving no partial output behind when stopped."""
import contextlib
import errno
import math
import os

from . import export
from .folders import open_file


class OutputError(Exception):
    """An output that cannot be written where it was asked for (the message says why)."""


def shown(path):
    """A path as text that any output can carry: bytes of names that are not valid UTF-8 as
    backslash escapes ("\\xff")."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def message(path, exc):
    """One line for a file that failed: the reader's messages name the file already."""
    from .reader import OrvelError
    if isinstance(exc, OrvelError):
        text = str(exc)
        return text if os.fsdecode(path) in text else f"{path}: {text}"
    if isinstance(exc, (OutputError, export.NothingToWrite)):
        return f"{path}: {exc}"
    if isinstance(exc, OSError) and exc.errno == errno.ENOSPC:
        return f"{shown(exc.filename) if exc.filename else path}: no space left on device"
    if isinstance(exc, OSError) and exc.strerror:
        return f"{path}: {exc.strerror}"
    return f"{path}: {type(exc).__name__}: {exc}"


def each_file(paths, recursive, strict, note):
    """(path, open OrvelFile or None, failure line or None) of every file under `paths`, for the
    commands that go through files one by one; files that are not Orvel files are skipped with
    note(text) (`strict`: a file named itself fails)."""
    from .folders import files
    from .reader import NotOrvelFileError
    for path, root, error in files(paths, recursive, note=note):
        try:
            if error is not None:
                raise error
            f = open_file(path)
        except NotOrvelFileError as exc:
            if strict and root is None:
                yield path, None, message(path, exc)
            else:
                note(f"{path}: not an Orvel file, skipped")
            continue
        except Exception as exc:
            yield path, None, message(path, exc)
            continue
        with f:
            yield path, f, None


def output_folder(root, folder):
    """Creates `folder` (`root` or a folder under it) and returns it. A symbolic link on the way
    from `root` is refused, so that nothing is written outside the output folder."""
    root = os.path.abspath(root)
    rel = os.path.relpath(os.path.abspath(folder), root)
    if rel == os.pardir or rel.startswith(os.pardir + os.sep):
        raise OutputError(f"{shown(folder)} is outside the output folder {shown(root)}")
    where = root
    for part in [] if rel == os.curdir else rel.split(os.sep):
        where = os.path.join(where, part)
        if os.path.islink(where):
            raise OutputError(f"{shown(where)} is a symbolic link inside the output folder: "
                              "nothing is written through it")
        with contextlib.suppress(FileExistsError):
            os.mkdir(where)
    return folder


def ranges(indexes):
    """"0-3, 7, 9-12" for sorted integers."""
    runs = []
    for i in indexes:
        if runs and runs[-1][1] == i - 1:
            runs[-1][1] = i
        else:
            runs.append([i, i])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


def write_pictures(path, f, output, overwrite, seen):
    """`pictures`: writes the pictures of the open file `f` (found at `path`) into `output`;
    returns [(name written, indexes)]. `seen` ({file name: path}) keeps a later file of the same
    name from overwriting the pictures of an earlier one."""
    key = os.path.basename(path)  # the outputs of a file are named after it
    if f.pictures and key in seen:
        raise OutputError(f"its pictures would overwrite those of {seen[key]}")
    if f.pictures:
        seen[key] = path
    try:
        return export.write_pictures(f, output, overwrite)
    except FileExistsError as exc:
        raise OutputError(f"{shown(exc.filename)} exists (--overwrite replaces it)") from None


def free_space(folder):
    """Bytes free for this process in `folder` (None where unknown)."""
    try:
        st = os.statvfs(folder)
    except (OSError, AttributeError):
        return None
    return st.f_bavail * st.f_frsize


def _check_space(folder, target, block):
    """Refuses an output that cannot fit (the netCDF library may crash on a full disk): at least
    the bytes of the block's values must be free."""
    values = sum(block.shape) * block.x.npt if block.by_region else math.prod(block.shape)
    free = free_space(folder)
    if free is not None and free < values * block.dtype.itemsize + 8 * block.x.npt:
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), target)


def matches(block, specs):
    """Whether a block is one that --block asks for (every block without specs)."""
    if not specs:
        return True
    request = tuple(w.upper() for w in block.request)
    return any(request[0] == s if isinstance(s, str) else request == s for s in specs)


def output_name(path, request, fmt):
    return f"{os.path.basename(path)}.{'-'.join(request)}{export.FORMATS[fmt][0]}"


def export_file(job):
    """Worker: converts the matching blocks of one file. job = (path, out_dir, fmt, specs,
    token, root, skip_existing, partial), out_dir a folder under the output folder root; returns
    (path, outputs written, error message or None, notes (warnings among them))."""
    import warnings
    from .reader import NotOrvelFileError
    path, out_dir, fmt, specs, token, root, skip_existing, partial = job
    outputs, notes = [], []
    try:
        with open_file(path) as f, warnings.catch_warnings(record=True) as heard:
            blocks = [b for b in f.blocks if matches(b, specs)]
            if not blocks:
                asked = ", ".join(s if isinstance(s, str) else "/".join(s) for s in specs)
                notes.append(f"{path}: no block {asked} (it holds "
                             f"{', '.join('/'.join(b.request) for b in f.blocks) or 'none'})")
            else:
                output_folder(root, out_dir)
            if fmt in ("npz", "netcdf"):  # the formats that hold the parameters
                f._check_copies(blocks, f"the export of {len(blocks)} blocks to {fmt}", per_region=fmt == "netcdf")
            for b in blocks:
                target = os.path.join(out_dir, output_name(path, b.request, fmt))
                if skip_existing and os.path.exists(target):
                    notes.append(f"{target}: exists, skipped")
                    continue
                if not partial:
                    export.check_complete(f, b, " (--partial exports what it holds, NaN for the rest)")
                if fmt == "netcdf":
                    _check_space(out_dir, target, b)
                export.write(f, b, target, fmt, token, partial)
                outputs.append(target)
            notes += [f"warning: {w.message}" for w in heard]
    except NotOrvelFileError:
        return path, outputs, None, [f"{path}: not an Orvel file, skipped"]
    except Exception as exc:
        return path, outputs, message(path, exc), notes
    return path, outputs, None, notes


def export_paths(paths, output, fmt, specs, jobs, skip_existing, report, partial=False):
    """Exports every file under `paths` into the folder `output` (each folder's layout kept under
    it; several folders each under its own name) with `jobs` worker processes (None: the CPUs).
    report(line, bar) hears of notes (None: quiet). Returns (outputs written, files converted,
    [failure lines])."""
    from .folders import files
    todo, failed, seen, notes = [], [], {}, []
    token = f"orvelio-{os.getpid()}-"
    named = sum(os.path.isdir(p) for p in paths) > 1
    for path, root, error in files(paths, recursive=True, skip=output, note=notes.append):
        if error is not None:
            failed.append(message(path, error))
            continue
        out_dir = output
        if root is not None:
            out_dir = os.path.join(output, os.path.basename(os.path.normpath(root)) if named else "",
                                   os.path.relpath(os.path.dirname(path), root))
        key = os.path.normpath(os.path.join(out_dir, os.path.basename(path)))
        if key in seen:
            failed.append(f"{path}: its outputs would overwrite those of {seen[key]}")
            continue
        seen[key] = path
        todo.append((path, os.path.normpath(out_dir), fmt, specs, token, output, skip_existing, partial))
    workers = max(1, min(jobs or cpus(), len(todo)))
    if jobs is None and _small(todo):
        workers = 1  # a pool would take longer to start than these take to export
    # The netCDF library may crash the process it runs in (a full disk): never this one.
    workers = 0 if workers == 1 and fmt != "netcdf" else workers
    written, converted, pools, bar = 0, 0, [], None
    for line in notes if report else ():
        report(line)
    try:
        results = run(todo, workers, pools)
        bar = progress(len(todo), report is None)
        for path, outputs, error, file_notes in results:
            written += len(outputs)
            for line in file_notes if report else ():
                report(line, bar)
            if error is not None:
                failed.append(error)
            elif outputs:
                converted += 1
            if bar is not None:
                bar.update()
    except BaseException:
        for pool in pools:
            stop(pool)
        raise
    finally:
        if bar is not None:
            bar.close()
        sweep({job[1] for job in todo}, token)
    return written, converted, failed


# Exports of at most this many files, of at most this many bytes in all, run in this process
# when -j is not given: a pool of two processes takes about 25 ms to start, what exporting four
# small spectra takes, and each file of a few MB takes longer than that alone.
SMALL_FILES, SMALL_BYTES = 4, 4 << 20


def _small(todo: list[tuple[str, ...]]) -> bool:
    if len(todo) > SMALL_FILES:
        return False
    try:
        return sum(os.path.getsize(job[0]) for job in todo) <= SMALL_BYTES
    except OSError:
        return False


def export_batch(jobs):
    """Worker: export_file over a few files (one task for several small files)."""
    return [export_file(job) for job in jobs]


def run(jobs, workers, pools):
    """export_file's results of `jobs`, in this process (one worker, and the format cannot take
    the process down) or in `workers` processes (the pools are appended to `pools`, for the
    caller to stop)."""
    if workers == 0:
        return map(export_file, jobs)
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor
    method = "fork" if "fork" in multiprocessing.get_all_start_methods() else None  # no re-import

    def start(n):
        pools.append(ProcessPoolExecutor(n, mp_context=multiprocessing.get_context(method),
                                         initializer=_worker_init))
        return pools[-1]

    size = max(1, min(32, len(jobs) // (workers * 16)))
    pool = start(workers)
    futures = {pool.submit(export_batch, jobs[i:i + size]): jobs[i:i + size]
               for i in range(0, len(jobs), size)}
    return _completed(pool, futures, start)


def _completed(pool, futures, start):
    """The results of the batches as they complete. When a worker process dies (killed, out of
    memory), every unfinished batch fails with it: their files are then converted again, each
    in a process of its own, so that only the file that stops its process fails."""
    from concurrent.futures import as_completed
    from concurrent.futures.process import BrokenProcessPool
    again = []
    for future in as_completed(futures):
        try:
            yield from future.result()
        except BrokenProcessPool:
            again += futures[future]
    pool.shutdown()
    for job in again:
        alone = start(1)
        try:
            yield alone.submit(export_file, job).result()
        except BrokenProcessPool:
            free = free_space(job[1])
            why = ("no space left on device (the worker process writing it stopped)"
                   if free is not None and free < 1 << 20 else
                   "the worker process converting it stopped unexpectedly")
            yield job[0], [], f"{job[0]}: {why}", []
        alone.shutdown()


def stop(pool):
    """Ends a pool's processes at once (SIGTERM); the caller removes their temporary outputs."""
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        process.terminate()
    pool.shutdown(wait=True, cancel_futures=True)


def _worker_init():
    """SIGTERM (and SIGHUP, unless ignored) end a worker at once, as the pool expects when it stops
    its workers: a handler raising an exception there would fail only the task being run, and the
    worker would carry on, so that a pool stopped or broken waits for it for ever. What a worker
    stopped mid-write leaves behind is removed by the parent (sweep)."""
    import signal
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent stops the pool
    for name in ("SIGTERM", "SIGHUP"):  # handlers inherited from the parent (stop_on_signals)
        number = getattr(signal, name, None)
        if number is not None and (name == "SIGTERM" or callable(signal.getsignal(number))):
            signal.signal(number, signal.SIG_DFL)


def sweep(folders, token):
    """Removes what workers stopped mid-write left behind (their temporary names carry token)."""
    for folder in folders:
        with contextlib.suppress(OSError):
            for name in os.listdir(folder):
                if name.startswith(".") and token in name and name.endswith(".part"):
                    with contextlib.suppress(OSError):
                        os.unlink(os.path.join(folder, name))


def progress(total, quiet):
    """A tqdm bar on a terminal, else None (quiet, not a terminal, or tqdm not installed)."""
    from .folders import _bar
    return None if quiet else _bar(total, None)


def cpus():
    from .folders import _cpus
    return _cpus()
