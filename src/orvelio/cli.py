"""The orvelio command line: inspect, export and convert Orvel files.

    orvelio ls PATH... [-r]                 one line per file with its blocks
    orvelio info FILE [--json]              blocks, key parameters, pictures
    orvelio params FILE [--block B] [--json]
    orvelio export PATH... -o DIR --format csv|npz|netcdf [--block B] [-j N] [-q]
    orvelio pictures FILE... -o DIR         pictures and a JSON sidecar of their properties
    orvelio plot FILE [--block B] -o OUT.png

`orvelio FILE...` (no command) lists each file's datablocks as it always has.

Exit status: 0 when all went well, 1 when any file failed (a batch still finishes every
other file and lists the failures at the end), 2 for usage errors and missing extras, 130
when interrupted.
Every output is written under a temporary name and renamed when complete.

Only the standard library is imported here at start-up; the reader, numpy and the
optional extras (tqdm, matplotlib, xarray) are imported by the commands that use them.
"""
import argparse
import contextlib
import errno
import json
import os
import re
import sys
import tempfile

PROG = "orvelio"
COMMANDS = ("ls", "info", "params", "export", "pictures", "plot")
FORMATS = {"csv": ".csv", "npz": ".npz", "netcdf": ".nc"}
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

# Units of the x axis by the value of the DXU parameter, and names of the data types.
X_UNITS = {"WN": ("Wavenumber", "cm⁻¹"), "MI": ("Wavelength", "µm"), "LGW": ("log(Wavenumber)", ""),
           "MIN": ("Time", "min"), "SEC": ("Time", "s"), "PNT": ("Points", "")}
Y_NAMES = {"AB": "Absorbance", "TR": "Transmittance", "SC": "Single channel", "IFG": "Interferogram",
           "PH": "Phase", "KM": "Kubelka-Munk", "TRC": "Trace", "RAM": "Raman intensity",
           "EMIS": "Emission", "REFL": "Reflectance", "POW": "Power", "LREFL": "log(Reflectance)",
           "ATR": "ATR", "PAS": "Photoacoustic"}
CSV_UNITS = {"WN": "cm-1", "MI": "um"}  # the header of a CSV file stays ASCII
MAP_KINDS = ("point-map", "trace-map")
POSITION_KINDS = ("image-traces", "trace-map")  # one value per trace at each position


class UsageError(Exception):
    """A command line that asks for something impossible (exit status 2)."""


class OutputError(Exception):
    """An output that cannot be written where it was asked for (the message says why)."""


class Stopped(BaseException):
    """SIGTERM or SIGHUP: stop as on Ctrl-C (exit status 128 + the signal's number)."""


# ----------------------------------------------------------------- small helpers

def _reader():
    from . import reader
    return reader


def _say(*parts):
    print(f"{PROG}:", *parts, file=sys.stderr)


def shown(path):
    """A path as text that any output can carry: bytes of names that are not valid UTF-8 as
    backslash escapes ("\\xff"), so that a listing never stops at such a name and JSON holds it
    as plain escaped text."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def _escape_errors(error):
    """Encoding error handler of the program's output: undecodable bytes of names (surrogates)
    as \\xNN, other characters the output cannot encode as \\uNNNN."""
    bad = error.object[error.start:error.end]
    return "".join(f"\\x{ord(c) - 0xDC00:02x}" if 0xDC80 <= ord(c) <= 0xDCFF else
                   c.encode("ascii", "backslashreplace").decode() for c in bad), error.end


def _safe_streams():
    """stdout and stderr escape what they cannot encode instead of failing on it."""
    import codecs
    codecs.register_error("orvelio-escape", _escape_errors)
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(AttributeError, ValueError):
            stream.reconfigure(errors="orvelio-escape")


def _message(path, exc):
    """One line for a file that failed: the reader's messages name the file already."""
    reader = sys.modules.get(f"{__package__}.reader")
    if reader is not None and isinstance(exc, reader.OrvelError):
        text = str(exc)
        return text if os.fsdecode(path) in text else f"{path}: {text}"
    if isinstance(exc, (OutputError, NothingToPlot)):
        return f"{path}: {exc}"
    if isinstance(exc, OSError) and exc.errno == errno.ENOSPC:
        return f"{shown(exc.filename) if exc.filename else path}: no space left on device"
    if isinstance(exc, OSError) and exc.strerror:
        return f"{path}: {exc.strerror}"
    return f"{path}: {type(exc).__name__}: {exc}"


def _block_spec(text):
    """--block: a data block type ("AB") or a whole request ("AB/2D/NONE", "AB 2D NONE", "AB,2D,NONE")."""
    words = [w for w in re.split(r"[\s,/:]+", text.strip()) if w]
    if len(words) == 1:
        return words[0].upper()
    if len(words) == 3:
        return tuple(w.upper() for w in words)
    raise argparse.ArgumentTypeError(
        f"{text!r} is not a block: give a data block type (AB) or a whole request (AB/2D/NONE)")


def _matches(block, spec):
    if spec is None:
        return True
    request = tuple(w.upper() for w in block.request)
    return request[0] == spec if isinstance(spec, str) else request == spec


def _request_text(request, sep=" "):
    return sep.join(request)


def _shape_text(block):
    if block.kind in MAP_KINDS:
        return "+".join(str(n) for n in block.shape) + " spectra"
    return "x".join(str(n) for n in block.shape)


def _x_label(parameters):
    unit = str(parameters.get("DXU", "")).strip()
    name, symbol = X_UNITS.get(unit.upper(), ("x", unit))
    return f"{name} ({symbol})" if symbol else name


def _y_label(request):
    """What the values of a block are, from its data block type ("SSC": sample single channel)."""
    kind, deriv = request[0].upper(), request[2].upper()
    base = kind.removesuffix("-CH2")
    if base in Y_NAMES:
        name = Y_NAMES[base]
    elif base[:1] in ("S", "R") and base[1:] in Y_NAMES:
        name = f"{'Sample' if base[0] == 'S' else 'Reference'} {Y_NAMES[base[1:]].lower()}"
    else:
        name = base
    if kind != base:
        name += " (channel 2)"
    return name if deriv == "NONE" else f"{name}, {deriv.lower()}"


def _jsonable(value):
    """Parameter and property values as JSON: numbers and text as they are, the rest as text."""
    if isinstance(value, (str, int, float, bool)) or value is None:
        return value
    if isinstance(value, bytes):
        return value.decode("latin-1")
    if hasattr(value, "tolist"):
        return value.tolist()
    return str(value)


def _walk(paths, recursive, skip=None):
    """(path, folder it was found in or None, error) for every file under `paths`, in order.
    Folders give their files (recursed with `recursive`, leaving out the folder `skip`); a path
    that does not exist gives an error instead of a file."""
    skip = os.path.realpath(skip) if skip is not None else None
    for path in paths:
        if os.path.isdir(path):
            if recursive:
                for top, dirs, files in os.walk(path):
                    dirs[:] = sorted(d for d in dirs if os.path.realpath(os.path.join(top, d)) != skip)
                    for name in sorted(files):
                        if os.path.isfile(os.path.join(top, name)):  # no pipes, sockets, devices
                            yield os.path.join(top, name), path, None
            else:
                for name in sorted(os.listdir(path)):
                    full = os.path.join(path, name)
                    if os.path.isfile(full):
                        yield full, path, None
        elif os.path.exists(path):
            yield path, None, None
        else:
            yield path, None, FileNotFoundError(2, "No such file or directory", path)


# ----------------------------------------------------------------- atomic output

_UMASK = None


def _file_mode():
    global _UMASK
    if _UMASK is None:
        _UMASK = os.umask(0)
        os.umask(_UMASK)
    return 0o666 & ~_UMASK


def _temporary_prefix(folder, name, token):
    """".NAME.TOKEN", NAME shortened so that the temporary name (with mkstemp's 8 characters and
    ".part") fits the folder's limit on names wherever the final name does."""
    try:
        limit = os.pathconf(folder or ".", "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = 255
    room = limit - len(os.fsencode(f"..{token}")) - 8 - len(".part")
    return "." + os.fsdecode(os.fsencode(name)[:max(room, 1)]) + f".{token}"


@contextlib.contextmanager
def atomic_file(target, token="", path=False, replace=True):
    """Yields a new temporary file beside `target`, open for binary writing (its path instead
    with `path`); renames it to `target` when the block ends normally, removes it otherwise
    (an exception, Ctrl-C, SIGTERM). Without `replace`, an existing `target` is left as it is
    and FileExistsError raised."""
    folder, name = os.path.split(os.fspath(target))
    fd, tmp = tempfile.mkstemp(dir=folder or ".", prefix=_temporary_prefix(folder, name, token),
                               suffix=".part")
    try:
        os.fchmod(fd, _file_mode())  # as a file opened for writing would have been made
        if path:
            os.close(fd)
            fd = None
            yield tmp
        else:
            with os.fdopen(fd, "wb") as fh:
                fd = None
                yield fh
        if replace:
            os.replace(tmp, target)
        else:
            os.link(tmp, target)  # fails where target exists, whatever it is
            os.unlink(tmp)
    except BaseException:
        if fd is not None:
            os.close(fd)
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


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


def free_space(folder):
    """Bytes free for this process in `folder` (None where unknown)."""
    try:
        st = os.statvfs(folder)
    except (OSError, AttributeError):
        return None
    return st.f_bavail * st.f_frsize


# ----------------------------------------------------------------- legacy listing

def legacy_listing(paths):
    """`orvelio FILE...`: each file's datablocks, as listContents gives them."""
    import orvelio
    status = EXIT_OK
    for path in paths:
        try:
            if not orvelio.isOrvelFile(path):
                print(f"{path}: not an Orvel file", file=sys.stderr)
                status = EXIT_FAILED
                continue
            blocks = orvelio.listContents(path)
        except Exception as exc:  # a report per file, whatever went wrong with it
            print(f"{path}: cannot be read: {type(exc).__name__}: {exc}", file=sys.stderr)
            status = EXIT_FAILED
            continue
        print(f"{path}: {len(blocks)} datablock{'' if len(blocks) == 1 else 's'}")
        for block in blocks:
            print("    " + "  ".join(f"{word:<6}" for word in block).rstrip())
    return status


# ----------------------------------------------------------------- ls

def cmd_ls(args):
    reader = _reader()
    failed = []
    for path, _, error in _walk(args.paths, args.recursive):
        try:
            if error is not None:
                raise error
            with reader.OrvelFile(path) as f:
                blocks = f.blocks
        except reader.NotOrvelFileError:
            _say(f"{path}: not an Orvel file, skipped")
            continue
        except Exception as exc:
            failed.append(_message(path, exc))
            _say(failed[-1])
            continue
        parts = [f"{_request_text(b.request)} {b.kind} {_shape_text(b)}" for b in blocks]
        print(f"{path}: " + ("; ".join(parts) if parts else "no data blocks"))
    return EXIT_FAILED if failed else EXIT_OK


# ----------------------------------------------------------------- info and params

def _parameter_rows(f, block):
    """[(code, label, value)] of a block's merged parameters."""
    return [tuple(p) for p in f.parameters(block).values()]


def _describe(path):
    """What `info` shows, as plain data."""
    import orvelio
    reader = _reader()
    key = orvelio.paramDict
    axis = {"NPT", "FXV", "LXV", "DXU"}
    with reader.OrvelFile(path) as f:
        blocks = []
        for b in f.blocks:
            first, last, npt = b.x
            params = _parameter_rows(f, b)
            unit = str(b.parameters.get("DXU", ""))
            entry = {"request": list(b.request), "kind": b.kind, "shape": list(b.shape),
                     "dtype": str(b.dtype),
                     "x": {"first": first, "last": last, "points": npt, "units": unit,
                           "label": _x_label(b.parameters)},
                     "parameters": [{"code": c, "label": label, "value": _jsonable(v)}
                                    for c, label, v in params if c in key and c not in axis]}
            if b.kind in MAP_KINDS:
                entry["regions"] = [{"title": g.title, "nx": g.nx, "ny": g.ny, "points": g.points}
                                    for g in f.region_grid(b)]
            blocks.append(entry)
        pictures = [{"title": p.title, "format": p.format, "size": len(p.data or b""),
                     "properties": {k: _jsonable(v) for k, v in p.properties.items()}}
                    for p in f.pictures]
    return {"path": shown(path), "blocks": blocks, "pictures": pictures}


def cmd_info(args):
    try:
        info = _describe(args.file)
    except Exception as exc:
        _say(_message(args.file, exc))
        return EXIT_FAILED
    if args.json:
        json.dump(info, sys.stdout, indent=2, ensure_ascii=False)
        print()
        return EXIT_OK
    nb, npic = len(info["blocks"]), len(info["pictures"])
    print(f"{info['path']}: {nb} block{'s' * (nb != 1)}, {npic} picture{'s' * (npic != 1)}")
    for b in info["blocks"]:
        x = b["x"]
        shape = "+".join(map(str, b["shape"])) if b["kind"] in MAP_KINDS else "x".join(map(str, b["shape"]))
        print(f"  {' '.join(b['request'])}: {b['kind']}, {shape} {b['dtype']}")
        name, symbol = X_UNITS.get(x["units"].upper(), (None, x["units"]))
        unit = f" {symbol}" if symbol else ""
        print(f"    x: {x['first']:g} .. {x['last']:g}{unit}, {x['points']} points" + (f" ({name})" if name else ""))
        for g in b.get("regions", []):
            grid = f"{g['nx']} x {g['ny']} grid" if g["nx"] is not None else f"{g['points']} points"
            print(f"    {g['title']}: {grid}")
        width = max((len(p["label"]) for p in b["parameters"]), default=0)
        for p in b["parameters"]:
            print(f"    {p['label']:<{width}}  {p['code']}  {p['value']}")
    for k, p in enumerate(info["pictures"]):
        print(f"  picture {k}: {p['title']!r}, {p['format'] or 'unknown format'}, {p['size']} bytes")
    return EXIT_OK


def cmd_params(args):
    reader = _reader()
    try:
        with reader.OrvelFile(args.file) as f:
            rows = _parameter_rows(f, args.block)
    except Exception as exc:
        _say(_message(args.file, exc))
        return EXIT_FAILED
    if args.json:
        json.dump([{"code": c, "label": label, "value": _jsonable(v)} for c, label, v in rows],
                  sys.stdout, indent=2, ensure_ascii=False)
        print()
        return EXIT_OK
    width = max((len(label) for _, label, _ in rows), default=0)
    for code, label, value in rows:
        print(f"{code}  {label:<{width}}  {value}")
    return EXIT_OK


# ----------------------------------------------------------------- export: what goes in a file

def result_arrays(result):
    """The arrays of a result by their names, for npz: every array attribute (x, y, mapX, mapY,
    spectra, traces, z), labels as text, each region's arrays as region<i>_<name> with their
    titles in region_titles, the request and the parameters (JSON) as text."""
    import numpy as np
    out = {}
    for name, value in vars(result).items():
        if name == "regions":
            out["region_titles"] = np.array([g.title for g in value], dtype=str)
            for i, g in enumerate(value):
                for field, v in vars(g).items():
                    if field != "title" and v is not None:
                        out[f"region{i}_{field}"] = np.asarray(v)
        elif name == "labels":
            out["labels"] = np.array(value, dtype=str)
        elif isinstance(value, np.ndarray) or (isinstance(value, list) and name == "traces"):
            out[name] = np.asarray(value)
    out["request"] = np.array([result.dataType, result.dimension, result.derivative], dtype=str)
    out["parameters"] = np.array(json.dumps({k: _jsonable(v) for k, v in result.parameters.items()}))
    return out


def csv_columns(result, kind):
    """(header, columns, formats) of a result as a table. Along x (spectra, images, time
    series, time traces, point maps): the x axis then one column per spectrum or trace. Traces
    at positions (image traces, trace maps): one line per position, its coordinates, then one
    column per trace. float32 values are written with 9 significant digits and float64 ones
    with 17, both enough to read back the same numbers."""
    import numpy as np
    x_name = "x"
    unit = str(result.parameters.get("DXU", "")).strip()
    if unit:
        x_name = f"x ({CSV_UNITS.get(unit.upper(), unit)})"
    if kind == "spectrum":
        return [x_name, result.dataType], [result.x, result.y], None
    if kind == "image":
        ny, nx = result.spectra.shape[:2]
        names = [f"col {ix} row {iy}" for iy in range(ny) for ix in range(nx)]
        return [x_name] + names, [result.x] + list(result.spectra.reshape(ny * nx, -1)), None
    if kind == "time-series":
        names = [f"z={z:.9g}" for z in result.z]
        return [x_name] + names, [result.x] + list(result.spectra), None
    if kind == "time-traces":
        return [x_name] + list(result.labels), [result.x] + list(np.asarray(result.traces)), None
    if kind == "point-map":
        names = [f"{g.title} #{j}" for g in result.regions for j in range(len(g.spectra))]
        spectra = [s for g in result.regions for s in g.spectra]
        return [x_name] + names, [result.x] + spectra, None
    if kind == "image-traces":
        ny, nx, nt = result.traces.shape
        iy, ix = np.divmod(np.arange(ny * nx), nx)
        cols = [ix, iy, result.mapX[ix], result.mapY[iy]] + list(result.traces.reshape(ny * nx, nt).T)
        return ["col", "row", "mapX", "mapY"] + list(result.labels), cols, ["%d", "%d"]
    if kind == "trace-map":
        region = np.concatenate([np.full(len(g.spectra), i) for i, g in enumerate(result.regions)])
        index = np.concatenate([np.arange(len(g.spectra)) for g in result.regions])
        mx = np.concatenate([g.mapX for g in result.regions])
        my = np.concatenate([g.mapY for g in result.regions])
        values = np.concatenate([g.spectra for g in result.regions]).reshape(len(region), -1)
        cols = [region, index, mx, my] + list(values.T)
        return ["region", "index", "mapX", "mapY"] + list(result.labels), cols, ["%d", "%d"]
    raise ValueError(f"no table layout for {kind} blocks")


def _values(result):
    """The value arrays of a result (y, spectra or traces, each region's)."""
    import numpy as np
    values = [np.asarray(v) for v in (getattr(result, "y", None), getattr(result, "spectra", None),
                                      getattr(result, "traces", None)) if v is not None]
    return values + [np.asarray(g.spectra) for g in getattr(result, "regions", [])]


_FORMULA = ("=", "+", "-", "@", "\t", "\r")


def csv_text(text):
    """A header text as spreadsheets take it: one that would start a formula gets a "'" first."""
    text = str(text)
    return "'" + text if text.startswith(_FORMULA) else text


def write_csv(fh, result, kind):
    import csv
    import io
    import numpy as np
    if not len(result.x) or not any(v.size for v in _values(result)):
        raise OutputError("the block holds no values: nothing to write as CSV")
    header, cols, lead = csv_columns(result, kind)
    header = [csv_text(h) for h in header]
    text = io.TextIOWrapper(fh, encoding="utf-8", newline="")
    csv.writer(text, lineterminator="\n").writerow(header)
    lead = lead or []
    fmts = lead + ["%.17g" if np.asarray(c).dtype == np.float64 else "%.9g" for c in cols[len(lead):]]
    if cols and len(cols[0]):
        table = np.column_stack([np.asarray(c, dtype=np.float64) for c in cols])
        np.savetxt(text, table, fmt=fmts, delimiter=",")
    text.flush()
    text.detach()


def write_npz(fh, result, kind):
    import numpy as np
    np.savez(fh, **result_arrays(result))


def output_name(path, request, fmt):
    return f"{os.path.basename(path)}.{'-'.join(request)}{FORMATS[fmt]}"


def export_file(job):
    """Worker: converts the matching blocks of one file. job = (path, out_dir, fmt, spec,
    token, root), out_dir a folder under the output folder root; returns (path, outputs
    written, error message or None, notes)."""
    path, out_dir, fmt, spec, token, root = job
    reader = _reader()
    outputs, notes = [], []
    try:
        with reader.OrvelFile(path) as f:
            blocks = [b for b in f.blocks if _matches(b, spec)]
            if not blocks:
                notes.append(f"{path}: no block {_request_text(spec, '/') if isinstance(spec, tuple) else spec}"
                             f" (it holds {', '.join(_request_text(b.request, '/') for b in f.blocks) or 'none'})")
            if blocks:
                output_folder(root, out_dir)
            for b in blocks:
                target = os.path.join(out_dir, output_name(path, b.request, fmt))
                if fmt == "netcdf":
                    _check_space(out_dir, target, b)
                    dataset = f.to_xarray(b)
                    with atomic_file(target, token, path=True) as tmp:
                        dataset.to_netcdf(tmp, engine=_netcdf_engine())
                else:
                    result = f.read(b)
                    with atomic_file(target, token) as fh:
                        (write_csv if fmt == "csv" else write_npz)(fh, result, b.kind)
                outputs.append(target)
    except reader.NotOrvelFileError:
        return path, outputs, None, [f"{path}: not an Orvel file, skipped"]
    except Exception as exc:
        return path, outputs, _message(path, exc), notes
    return path, outputs, None, notes


def _check_space(folder, target, block):
    """Refuses an output that cannot fit (the netCDF library may crash on a full disk): at least
    the bytes of the block's values must be free."""
    import math
    values = sum(block.shape) * block.x.npt if block.regions else math.prod(block.shape)
    free = free_space(folder)
    if free is not None and free < values * block.dtype.itemsize + 8 * block.x.npt:
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), target)


def export_batch(jobs):
    """Worker: export_file over a few files (one task for several small files)."""
    return [export_file(job) for job in jobs]


def _in_workers(jobs, workers, pools):
    """Starts `workers` processes on `jobs` (the pool is appended to `pools`, for the caller to
    stop); returns an iterator of export_file's results as they complete."""
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


def _stop(pool):
    """Ends a pool's processes at once (SIGTERM); the caller removes their temporary outputs."""
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        process.terminate()
    pool.shutdown(wait=True, cancel_futures=True)


def _worker_init():
    """SIGTERM (and SIGHUP, unless ignored) end a worker at once, as the pool expects when it stops
    its workers: a handler raising an exception there would fail only the task being run, and the
    worker would carry on, so that a pool stopped or broken waits for it for ever. What a worker
    stopped mid-write leaves behind is removed by the parent (_sweep)."""
    import signal
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent stops the pool
    for name in ("SIGTERM", "SIGHUP"):  # handlers inherited from the parent (_stop_on_signals)
        number = getattr(signal, name, None)
        if number is not None and (name == "SIGTERM" or callable(signal.getsignal(number))):
            signal.signal(number, signal.SIG_DFL)


def _check_netcdf():
    reader = _reader()
    if not hasattr(reader.OrvelFile, "to_xarray"):
        raise UsageError("netcdf output needs the xarray support of orvelio.reader, "
                         "which this installation does not have")
    try:
        import xarray  # noqa: F401
    except ImportError:
        raise UsageError("netcdf output needs xarray: pip install 'orvelio[xarray]'") from None
    if _netcdf_engine() is None:
        raise UsageError("netcdf output needs a netCDF writer (netCDF4, h5netcdf or scipy): "
                         "pip install 'orvelio[xarray]'")


def _netcdf_engine():
    """xarray's engine of the first netCDF writer installed, None without one: named, since older
    xarray releases (2025.6 among them) do not pick h5netcdf, the xarray extra's, by themselves."""
    import importlib.util
    return next((m.lower() for m in ("netCDF4", "h5netcdf", "scipy") if importlib.util.find_spec(m)), None)


def _progress(total, quiet):
    """A tqdm bar on a terminal, else None (quiet, not a terminal, or tqdm not installed)."""
    if quiet or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    tqdm.monitor_interval = 0  # no monitor thread: worker processes may still be forked later
    return tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True, leave=False)


def _cpus():
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _check_block(spec):
    """A misspelt --block type is a usage error, with the closest valid names."""
    import difflib
    reader = _reader()
    name = spec if isinstance(spec, str) else spec[0]
    if name not in reader.TYPES:
        close = difflib.get_close_matches(name, reader.TYPES, n=3, cutoff=0.5)
        raise UsageError(f"--block: unknown data block type {name!r}"
                         + (f": did you mean {' or '.join(close)}?" if close else ""))


def cmd_export(args):
    if args.format == "netcdf":
        _check_netcdf()
    if args.block is not None:
        _check_block(args.block)
    jobs, failed, seen = [], [], {}
    token = f"orvelio-{os.getpid()}-"
    for path, root, error in _walk(args.paths, recursive=True, skip=args.output):
        if error is not None:
            failed.append(_message(path, error))
            continue
        out_dir = args.output
        if root is not None:
            out_dir = os.path.join(args.output, os.path.relpath(os.path.dirname(path), root))
        key = os.path.normpath(os.path.join(out_dir, os.path.basename(path)))
        if key in seen:
            failed.append(f"{path}: its outputs would overwrite those of {seen[key]}")
            continue
        seen[key] = path
        jobs.append((path, os.path.normpath(out_dir), args.format, args.block, token, args.output))
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"cannot create {args.output}: {exc.strerror}") from None
    workers = max(1, min(args.jobs or _cpus(), len(jobs)))
    # The netCDF library may crash the process it runs in (a full disk): never this one.
    in_process = workers == 1 and args.format != "netcdf"
    written, converted, pools, bar = 0, 0, [], None

    def report(line):
        (bar.write if bar is not None else print)(f"{PROG}: {line}", file=sys.stderr)

    try:
        results = map(export_file, jobs) if in_process else _in_workers(jobs, workers, pools)
        bar = _progress(len(jobs), args.quiet)
        for path, outputs, error, notes in results:
            written += len(outputs)
            if not args.quiet:
                for note in notes:
                    report(note)
            if error is not None:
                failed.append(error)
            elif outputs:
                converted += 1
            if bar is not None:
                bar.update()
    except BaseException:
        for pool in pools:
            _stop(pool)
        raise
    finally:
        if bar is not None:
            bar.close()
        _sweep({job[1] for job in jobs}, token)
    if not args.quiet:
        _say(f"{written} output{'s' * (written != 1)} from {converted} file"
             f"{'s' * (converted != 1)} in {args.output}")
    if failed:
        _say(f"{len(failed)} failed:")
        for line in sorted(failed):
            print(f"  {line}", file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def _sweep(folders, token):
    """Removes what workers stopped mid-write left behind (their temporary names carry token)."""
    for folder in folders:
        with contextlib.suppress(OSError):
            for name in os.listdir(folder):
                if name.startswith(".") and token in name and name.endswith(".part"):
                    with contextlib.suppress(OSError):
                        os.unlink(os.path.join(folder, name))


# ----------------------------------------------------------------- pictures

def _distinct(pictures):
    """[(picture, indexes)]: each distinct picture once, with the indexes of every picture that
    is the same stored record listed again (same title, properties and bytes)."""
    groups = {}
    for p in pictures:
        key = (p.data, p.title, json.dumps({k: _jsonable(v) for k, v in p.properties.items()},
                                           sort_keys=True))
        groups.setdefault(key, (p, []))[1].append(p.index)
    return list(groups.values())


def cmd_pictures(args):
    reader = _reader()
    os.makedirs(args.output, exist_ok=True)
    failed, seen = [], {}
    for path, _, error in _walk(args.files, recursive=False):
        try:
            if error is not None:
                raise error
            with reader.OrvelFile(path) as f:
                pictures = f.pictures
            if not pictures and not args.quiet:
                _say(f"{path}: no pictures")
            key = os.path.basename(path)  # the outputs of a file are named after it
            if pictures:
                if key in seen:
                    raise OutputError(f"its pictures would overwrite those of {seen[key]}")
                seen[key] = path
            for p, indexes in _distinct(pictures):
                # FILE.N.TITLE.EXT: the reader's safe name, made unique by the file and the index
                name = os.path.join(args.output, f"{key}.{p.index}.{p.filename()}")
                side = {"file": shown(path), "index": p.index, "title": p.title, "format": p.format,
                        "size": len(p.data or b""), "indexes": indexes,
                        "properties": {k: _jsonable(v) for k, v in p.properties.items()}}
                _write_picture(name, p.data, side, args.overwrite)
                if not args.quiet:
                    print(name if p.data is not None else os.path.splitext(name)[0] + ".json")
                    if len(indexes) > 1:
                        _say(f"{name}: written once for the {len(indexes)} pictures that share "
                             f"its record ({_ranges(indexes)})")
        except Exception as exc:
            failed.append(_message(path, exc))
            _say(failed[-1])
    return EXIT_FAILED if failed else EXIT_OK


def _write_picture(name, data, side, overwrite):
    """The picture's bytes (where stored) and its sidecar JSON; existing files are replaced
    only with `overwrite`."""
    sidecar = os.path.splitext(name)[0] + ".json"
    outputs = [(t, c) for t, c in ((name, data), (sidecar, json.dumps(side, indent=2, ensure_ascii=False)
                                                   .encode() + b"\n")) if c is not None]
    for target, content in outputs if not overwrite else ():
        if os.path.lexists(target):
            raise OutputError(f"{shown(target)} exists (--overwrite replaces it)")
    for target, content in outputs:
        try:
            with atomic_file(target, replace=overwrite) as fh:
                fh.write(content)
        except FileExistsError:  # made meanwhile by someone else
            raise OutputError(f"{shown(target)} exists (--overwrite replaces it)") from None


def _ranges(indexes):
    """"0-3, 7, 9-12" for sorted integers."""
    runs = []
    for i in indexes:
        if runs and runs[-1][1] == i - 1:
            runs[-1][1] = i
        else:
            runs.append([i, i])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


# ----------------------------------------------------------------- plot

def cmd_plot(args):
    try:
        import matplotlib
    except ImportError:  # like netcdf output without xarray: this installation cannot do it
        raise UsageError("plot needs matplotlib: pip install 'orvelio[plot]'") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np
    reader = _reader()
    fmt = os.path.splitext(args.output)[1][1:].lower() or "png"
    formats = plt.figure().canvas.get_supported_filetypes()
    plt.close("all")
    if fmt not in formats:
        raise UsageError(f"-o: cannot write .{fmt} images; the extension names one of "
                         + ", ".join(sorted(formats)))
    folder = os.path.dirname(args.output) or "."
    if not os.path.isdir(folder):
        raise UsageError(f"-o: no folder {shown(folder)} to write {shown(args.output)} in")
    try:
        with reader.OrvelFile(args.file) as f:
            result = f.read(args.block)
            blocks = [b for b in f.blocks if tuple(b.request) == (result.dataType, result.dimension,
                                                                      result.derivative)]
        kind = blocks[0].kind if blocks else "spectrum"
    except Exception as exc:
        _say(_message(args.file, exc))
        return EXIT_FAILED
    request = (result.dataType, result.dimension, result.derivative)
    xlabel, ylabel = _x_label(result.parameters), _y_label(request)
    fig, ax = plt.subplots(figsize=(7, 4.5), layout="constrained")
    title = f"{os.path.basename(args.file)}: {' '.join(request)}"

    def band_index(x):
        if args.band is None:
            return None
        return int(np.argmin(np.abs(np.asarray(x) - args.band)))

    def trace_index(labels):
        if args.band is None:
            return 0
        k = int(args.band)
        if not 0 <= k < len(labels):
            raise UsageError(f"--band: trace {k} not in 0..{len(labels) - 1}")
        return k

    try:
        _plot(fig, ax, kind, result, args, xlabel, ylabel, title, band_index, trace_index)
        with atomic_file(args.output) as fh:
            fig.savefig(fh, format=fmt)
    except UsageError:
        raise
    except Exception as exc:
        _say(_message(args.file, exc))
        return EXIT_FAILED
    finally:
        plt.close(fig)
    if not args.quiet:
        print(args.output)
    return EXIT_OK


class NothingToPlot(Exception):
    """A block of no values, or values that do not match the x axis."""


def _plot(fig, ax, kind, result, args, xlabel, ylabel, title, band_index, trace_index):
    import numpy as np
    values = _values(result)
    if not len(result.x) or not values or any(v.size == 0 for v in values):
        raise NothingToPlot("the block holds no values to plot")
    along_x = [v for v in values if "trace" not in kind or kind == "time-traces"]
    if any(v.shape[-1] != len(result.x) for v in along_x):
        raise NothingToPlot(f"the block holds {along_x[0].shape[-1]} values per spectrum against "
                            f"an x axis of {len(result.x)} points (the file is cut short)")
    if True:
        if kind == "spectrum":
            ax.plot(result.x, result.y)
            ax.set(xlabel=xlabel, ylabel=ylabel)
        elif kind == "image" and args.band is not None:
            k = band_index(result.x)
            _map(fig, ax, result.spectra[:, :, k], result.mapX, result.mapY, ylabel)
            title += f" at {result.x[k]:g}"
        elif kind in ("image", "time-series"):
            spectra = result.spectra.reshape(-1, result.spectra.shape[-1])
            ax.plot(result.x, np.nanmean(spectra, axis=0) if len(spectra) else result.x * np.nan)
            ax.set(xlabel=xlabel, ylabel=f"Mean {ylabel[0].lower()}{ylabel[1:]}")
            title += f", mean of {len(spectra)} spectra"
        elif kind == "image-traces":
            k = trace_index(result.labels)
            _map(fig, ax, result.traces[:, :, k], result.mapX, result.mapY, result.labels[k])
            title += f", {result.labels[k]}"
        elif kind == "time-traces":
            for label, trace in zip(result.labels, np.asarray(result.traces)):
                ax.plot(result.x, trace, label=label)
            ax.set(xlabel=xlabel, ylabel=ylabel)
            ax.legend()
        elif kind == "point-map":
            for g in result.regions:
                ax.plot(result.x, np.nanmean(g.spectra, axis=0), label=g.title)
            ax.set(xlabel=xlabel, ylabel=f"Mean {ylabel[0].lower()}{ylabel[1:]}")
            ax.legend()
        elif kind == "trace-map":
            k = trace_index(result.labels)
            for g in result.regions:
                ax.scatter(g.mapX, g.mapY, c=g.spectra[:, k], label=g.title)
            ax.set(xlabel="Map x", ylabel="Map y")
            title += f", {result.labels[k]}"
        if kind not in ("image-traces", "trace-map") and not (kind == "image" and args.band is not None) \
                and len(result.x) > 1 and result.x[0] > result.x[-1]:
            ax.invert_xaxis()  # the x axis runs as the file stores it (wavenumbers: high to low)
        ax.set_title(title)


def _map(fig, ax, values, map_x, map_y, label):
    extent = None
    if len(map_x) > 1 and len(map_y) > 1:
        dx, dy = (map_x[1] - map_x[0]) / 2, (map_y[1] - map_y[0]) / 2
        extent = (map_x[0] - dx, map_x[-1] + dx, map_y[-1] + dy, map_y[0] - dy)
    image = ax.imshow(values, extent=extent, origin="upper", aspect="equal", interpolation="nearest")
    fig.colorbar(image, ax=ax, label=label)
    ax.set(xlabel="Map x", ylabel="Map y")


# ----------------------------------------------------------------- the program

def _version():
    from importlib import metadata
    try:
        return metadata.version("orvelio")
    except metadata.PackageNotFoundError:
        return "unknown (not installed)"


class _VersionAction(argparse.Action):
    """--version without importing anything until it is asked for."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"{PROG} {_version()}")
        parser.exit()


def _jobs(text):
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of processes (1 or more)")
    return n


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Inspect, export and convert Orvel spectroscopy files.",
        epilog=f"`{PROG} FILE...` without a command lists each file's datablocks. "
               f"Exit status: 0 all went well, 1 some file failed, 2 usage error.")
    parser.add_argument("--version", action=_VersionAction, help="print the version and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    block = dict(type=_block_spec, metavar="B",
                 help="a data block type (AB) or a whole request (AB/2D/NONE)")

    p = sub.add_parser("ls", help="one line per file with its blocks",
                       description="List files and folders: one line per Orvel file with its "
                                   "blocks (request, kind, shape). Other files are skipped with a "
                                   "note on stderr.")
    p.add_argument("paths", nargs="+", metavar="PATH")
    p.add_argument("-r", "--recursive", action="store_true", help="recurse into folders")
    p.set_defaults(run=cmd_ls)

    p = sub.add_parser("info", help="blocks, key parameters and pictures of a file",
                       description="The blocks of a file with kind, shape and x range, the key "
                                   "parameters with readable labels, and the pictures.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--json", action="store_true", help="machine-readable output")
    p.set_defaults(run=cmd_info)

    p = sub.add_parser("params", help="all parameters of a block",
                       description="All merged parameters of a block: code, label, value.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--block", **dict(block, help="the block (needed when the file holds several)"))
    p.add_argument("--json", action="store_true", help="machine-readable output")
    p.set_defaults(run=cmd_params)

    p = sub.add_parser("export", help="convert blocks of files and folders to csv, npz or netCDF",
                       description="Convert every matching block of every file (folders are "
                                   "recursed, their layout kept under DIR) into DIR, one output "
                                   "per file and block named FILE.TYPE-DIMS-DERIV.EXT.")
    p.add_argument("paths", nargs="+", metavar="PATH")
    p.add_argument("-o", "--output", required=True, metavar="DIR", help="folder for the outputs")
    p.add_argument("-f", "--format", required=True, choices=tuple(FORMATS),
                   help="csv: x then one column per spectrum or trace; npz: the arrays by name; "
                        "netcdf: the xarray dataset (needs the xarray extra)")
    p.add_argument("--block", **dict(block, help="only these blocks (default: every block)"))
    p.add_argument("-j", "--jobs", type=_jobs, metavar="N",
                   help="worker processes (default: the number of CPUs)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar, notes or summary")
    p.set_defaults(run=cmd_export)

    p = sub.add_parser("pictures", help="write the pictures of files",
                       description="Write every picture with its format's extension and a "
                                   "sidecar JSON of its properties, as FILE.N.TITLE.EXT. A stored "
                                   "picture listed several times is written once (its sidecar "
                                   "lists the indexes). Files already there are left as they are "
                                   "and the file fails, unless --overwrite.")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("-o", "--output", required=True, metavar="DIR", help="folder for the pictures")
    p.add_argument("--overwrite", action="store_true", help="replace files of these names already there")
    p.add_argument("-q", "--quiet", action="store_true", help="do not list what was written")
    p.set_defaults(run=cmd_pictures)

    p = sub.add_parser("plot", help="plot a block to an image file (needs matplotlib)",
                       description="Plot a spectrum, the mean spectrum of a cube or series, or "
                                   "with --band a map of one band (traces: a trace's number).")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--block", **dict(block, help="the block (needed when the file holds several)"))
    p.add_argument("--band", type=float, metavar="X",
                   help="map this x value of an image (image and trace maps: the trace number)")
    p.add_argument("-o", "--output", required=True, metavar="OUT.png",
                   help="the image file (its extension names the format)")
    p.add_argument("-q", "--quiet", action="store_true", help="do not print the output's name")
    p.set_defaults(run=cmd_plot)
    return parser


@contextlib.contextmanager
def _stop_on_signals():
    """SIGTERM and SIGHUP raise Stopped while a command runs, so that its temporary outputs are
    removed on the way out (where they are not ignored, and in the main thread only)."""
    import signal
    import threading
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def stop(signum, frame):
        raise Stopped(signum)
    saved = {}
    for name in ("SIGTERM", "SIGHUP"):
        number = getattr(signal, name, None)
        if number is not None and signal.getsignal(number) is signal.SIG_DFL:
            saved[number] = signal.signal(number, stop)
    try:
        yield
    finally:
        for number, handler in saved.items():
            signal.signal(number, handler)


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def main(argv=None):
    """Runs the program; returns its exit status."""
    import warnings
    _safe_streams()
    with warnings.catch_warnings():
        warnings.showwarning = _show_warning
        return _main(sys.argv[1:] if argv is None else list(argv))


def _main(argv):
    try:
        if argv and argv[0] not in COMMANDS and not argv[0].startswith("-"):
            return legacy_listing(argv)
        parser = build_parser()
        args = parser.parse_args(argv)
        if args.command is None:
            parser.print_usage(sys.stderr)
            _say("error: a command or FILE is required")
            return EXIT_USAGE
        try:
            with _stop_on_signals():
                return args.run(args)
        except UsageError as exc:
            _say(f"error: {exc}")
            return EXIT_USAGE
    except KeyboardInterrupt:
        _say("interrupted")
        return EXIT_INTERRUPTED
    except Stopped as stop:
        _say("stopped")
        return 128 + stop.args[0]
    except BrokenPipeError:
        # The reader of our output went away (`orvelio ls DIR | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILED


def run():
    """Entry point of the console script."""
    sys.exit(main())
