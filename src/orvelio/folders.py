"""Folders of files: the files under paths, a table of what they hold, spectra stacked on one axis.

    import orvelio
    table = orvelio.catalog("data/")                   # pandas DataFrame, one row per file and block
    ds = orvelio.stack(table.path[table.npt == 1801])  # xarray Dataset along `file`

(`orvelio.catalog` and `orvelio.stack` are these functions, imported when first used.)

Folders are walked in sorted order, symbolic links to folders followed, each real folder once:
a link back to a folder already on the way is a loop, noted and not followed.
"""
from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, NamedTuple, Union

__all__ = ["files", "catalog", "write_catalog", "stack", "open_file", "DEFAULT_PARAMETERS"]

Paths = Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]
Note = Callable[[str], None]

# Parameter codes that catalog() gives a column by default: sample name, resolution, sample
# scans, instrument.
DEFAULT_PARAMETERS = ("SNM", "RES", "NSS", "INS")


def _paths(paths: Paths) -> list[Any]:
    if isinstance(paths, (str, bytes, os.PathLike)):
        return [paths]
    return list(paths)


def files(paths: Paths, recursive: bool = True, skip: Any = None,
          note: Note | None = None) -> Iterator[tuple[Any, Any, OSError | None]]:
    """(path, the folder argument it was found under or None, error) for every regular file
    under `paths`, in order. `skip`: a folder left out (an output folder inside the input).
    `note(text)` hears of loops and, without `recursive`, of folders that hold only folders.
    A path that does not exist gives an error instead of a file."""
    skip_id = _identity(skip) if skip is not None else None
    for path in _paths(paths):
        if os.path.isdir(path):
            yield from _folder(path, recursive, skip_id, note or (lambda text: None))
        elif os.path.exists(path):
            yield path, None, None
        else:
            yield path, None, FileNotFoundError(2, "No such file or directory", path)


def _identity(path: Any) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def _folder(root: Any, recursive: bool, skip_id: Any, note: Note) -> Iterator[tuple[Any, Any, None]]:
    seen = {_identity(root)}
    stack = [root]
    while stack:
        top = stack.pop()
        try:
            entries = sorted(os.scandir(top), key=lambda e: e.name)
        except OSError as exc:
            note(f"{top}: {exc.strerror}, skipped")
            continue
        folders, held = [], 0
        for entry in entries:
            try:
                is_dir = entry.is_dir()
                is_file = not is_dir and entry.is_file()
            except OSError:
                continue
            if is_file:  # no pipes, sockets, devices
                held += 1
                yield entry.path, root, None
            elif is_dir:
                folders.append(entry)
        if not recursive:
            if folders and not held:
                note(f"{top}: holds only folders; use -r to look inside them")
            continue
        below = []
        for entry in folders:
            ident = _identity(entry.path)
            if ident == skip_id or ident is None:
                continue
            if ident in seen:
                note(f"{entry.path}: a link to a folder already visited (a loop), not followed")
                continue
            seen.add(ident)
            below.append(entry.path)
        stack.extend(reversed(below))


def open_file(path: Any) -> Any:
    """The OrvelFile of a path; an empty file is a TruncatedFileError ("empty file")."""
    from .reader import NotOrvelFileError, OrvelFile, TruncatedFileError
    try:
        return OrvelFile(path)
    except NotOrvelFileError:
        if os.path.getsize(path) == 0:
            name = os.fsdecode(path)
            raise TruncatedFileError(f"{name}: empty file", name) from None
        raise


# ----------------------------------------------------------------- catalog

def describe_file(path: Any, parameters: Sequence[str] = DEFAULT_PARAMETERS) -> list[dict[str, Any]] | None:
    """The catalog's rows of one file (None for a file that is not an Orvel file)."""
    from .reader import NotOrvelFileError
    rows: list[dict[str, Any]] = []
    base = {"path": os.fsdecode(path)}
    try:
        with open_file(path) as f:
            blocks = f.blocks
    except NotOrvelFileError:
        return None
    except Exception as exc:
        return [dict(base, error=_error_text(path, exc))]
    if not blocks:
        return [dict(base, error="no data blocks")]
    for b in blocks:
        row = dict(base, block=" ".join(b.request), kind=b.kind, shape=tuple(b.shape), npt=b.x.npt,
                   x_first=b.x.first, x_last=b.x.last, x_units=_x_units(b),
                   complete=b.complete, acquired=b.acquired)
        for code in parameters:
            row[code] = b.parameters.get(code)
        rows.append(row)
    return rows


def _x_units(block: Any) -> Any:
    return block.coords["spectral"].units


def _error_text(path: Any, exc: BaseException) -> str:
    text = str(exc) or type(exc).__name__
    name = os.fsdecode(path)
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
    return text[len(name) + 2:] if text.startswith(name + ": ") else text


COLUMNS = ["path", "block", "kind", "shape", "npt", "x_first", "x_last", "x_units", "complete", "acquired"]


def catalog(paths: Paths, recursive: bool = True, parameters: Sequence[str] | None = None, *,
            workers: int | None = None, progress: bool | None = None) -> Any:
    """A pandas DataFrame of the Orvel files under `paths` (files, folders, or a list of them),
    one row per file and block: path, block ("AB 2D NONE"), kind, shape, npt, x_first, x_last,
    x_units, complete, acquired (datetime64[ns, UTC], NaT where unknown), then one column per
    parameter code of `parameters` (default: DEFAULT_PARAMETERS), and error: the reason a file
    could not be read (its other columns empty). Files that are not Orvel files are left out.
    Only descriptions are read, never values.

    `workers` threads describe the files, outside the interpreter's lock (default: one per
    CPU); `progress` shows a bar on stderr (default: when stderr is a terminal and tqdm is
    installed). Needs pandas (pip install 'orvelio[table]')."""
    from ._lazy import need
    pd = need("orvelio.catalog", "pandas")
    codes = tuple(DEFAULT_PARAMETERS if parameters is None else parameters)
    found = [p for p, _, error in files(paths, recursive) if error is None]
    rows, acquired = _rows(found, codes, _cpus() if workers is None else max(1, workers), progress)
    # UTC seconds straight to datetime64[ns]; else (datetimes from the per-file path, times out
    # of its range) datetimes made as Block.acquired makes them, converted as they are.
    column = _acquired_ns(acquired) if all(type(v) is float or v is None for v in acquired) else None
    if column is None:
        rows = [row[:9] + (_as_datetime(v),) + row[10:] for row, v in zip(rows, acquired)]
    frame = pd.DataFrame(rows, columns=COLUMNS + list(codes) + ["error"])
    if column is None:
        frame["acquired"] = pd.to_datetime(_ns_range(frame["acquired"]), utc=True).astype("datetime64[ns, UTC]")
    else:
        frame["acquired"] = pd.Series(column, index=frame.index).dt.tz_localize("UTC")
    return frame


# Files per call of the batch while a progress bar shows: enough to keep its threads busy, few
# enough for the bar to move.
_CHUNK = 500


def _rows(found: list[Any], codes: tuple[str, ...], threads: int,
          progress: bool | None) -> tuple[list[tuple[Any, ...]], list[Any]]:
    """The catalog's rows, their acquired column left None, and that column apart: the UTC
    seconds the batch gives (None where unknown, NaN for error rows) or, for files the batch
    leaves to the per-file path (those it could not describe, empty ones), describe_file's."""
    from ._orvelio import _describe_files
    nan = float("nan")
    rows: list[tuple[Any, ...]] = []
    acquired: list[Any] = []
    bar = _bar(len(found), progress)
    size = _CHUNK if bar is not None else max(1, len(found))
    try:
        for start in range(0, len(found), size):
            part = found[start:start + size]
            got = _describe_files(part, codes, threads)
            names = [os.fsdecode(p) for p in part]
            blocks = list(zip([names[i] for i in got["file"]], got["block"], got["kind"], got["shape"],
                              got["npt"], got["x_first"], got["x_last"], got["x_units"], got["complete"],
                              [None] * len(got["file"]), *got["parameters"], [nan] * len(got["file"])))
            status = got["status"]
            if status.count(0) == len(part) and len(set(got["file"])) == len(part):  # all described
                rows += blocks
                acquired += got["acquired"]
            else:
                _merge(part, names, got, blocks, codes, rows, acquired)
            if bar is not None:
                bar.update(len(part))
    finally:
        if bar is not None:
            bar.close()
    return rows, acquired


def _merge(part: list[Any], names: list[str], got: dict[str, Any], blocks: list[tuple[Any, ...]],
           codes: tuple[str, ...], rows: list[tuple[Any, ...]], acquired: list[Any]) -> None:
    """The rows of a batch's files in order: the batch's blocks, and describe_file's rows for
    the files it leaves to the per-file path."""
    nan = float("nan")
    columns = COLUMNS + list(codes) + ["error"]
    at = 0
    for i, (path, name, status) in enumerate(zip(part, names, got["status"])):
        if status == 0:
            first = at
            while at < len(blocks) and got["file"][at] == i:
                at += 1
            if at == first:
                rows.append((name,) + (nan,) * (len(columns) - 2) + ("no data blocks",))
                acquired.append(nan)
            rows += blocks[first:at]
            acquired += got["acquired"][first:at]
            continue
        if status == 1 and os.path.getsize(path) != 0:
            continue  # not an Orvel file
        for row in describe_file(path, codes) or ():
            rows.append(tuple(None if c == "acquired" else row.get(c, nan) for c in columns))
            acquired.append(row.get("acquired", nan))


def _as_datetime(v: Any) -> Any:
    """A catalog's acquired value as describe_file gives it: UTC seconds as Block.acquired
    makes them a datetime."""
    if type(v) is not float or v != v:
        return v
    import datetime as dt
    try:
        return dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(seconds=v)
    except OverflowError:
        return None


def _acquired_ns(values: list[Any]) -> Any:
    """UTC seconds (None or NaN where unknown) as a datetime64[ns] array, each rounded to the
    microsecond as datetime.timedelta(seconds=...) rounds it (half to even); None where one
    lies outside the range of datetime64[ns] or is not finite (the caller then converts them
    as datetimes)."""
    import numpy as np
    s = np.array([np.nan if v is None else v for v in values], np.float64)
    known = ~np.isnan(s)
    # 1677-09-22 to 2262-04-11, well inside datetime's own range
    if not (np.abs(s[known]) < 9.2e9).all():
        return None
    s = np.where(known, s, 0.0)
    whole = np.trunc(s)
    micro = (s - whole) * 1e6
    micro_whole = np.trunc(micro)
    left = micro - micro_whole
    us = whole.astype(np.int64) * 1_000_000 + micro_whole.astype(np.int64)
    half = np.abs(left) == 0.5
    us += np.where(half, np.where(us & 1, np.sign(left), 0.0), np.round(left)).astype(np.int64)
    out = (us * 1000).view("M8[ns]")
    out[~known] = np.datetime64("NaT")
    return out


def write_catalog(table: Any, target: str | os.PathLike[str]) -> None:
    """Writes a catalog as CSV or, for a name ending in ".parquet", as Parquet (needs pyarrow),
    atomically; shapes as text ("9x12x256")."""
    from .export import atomic_file
    table = table.assign(shape=table["shape"].map(lambda s: "x".join(map(str, s)) if isinstance(s, tuple) else s))
    with atomic_file(target) as fh:
        if os.fspath(target).lower().endswith(".parquet"):
            table.to_parquet(fh, index=False)
        else:
            table.to_csv(fh, index=False)


def _cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _bar(total: int, progress: bool | None) -> Any:
    import sys
    if progress is False or (progress is None and not sys.stderr.isatty()):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    tqdm.monitor_interval = 0  # no monitor thread: worker processes may be forked
    return tqdm(total=total, unit="file", file=sys.stderr, dynamic_ncols=True, leave=False)


# ----------------------------------------------------------------- stack

def stack(paths: Paths, block: Any = "AB", x: Any = None, chunks: Any = None) -> Any:
    """An xarray Dataset of one spectrum per file along a `file` dimension, with the
    coordinates `path`, `acquired` and the catalog's default parameters along it.

    Files on one x axis stack as they are. Files on different axes are refused (the message
    names the axes found) unless `x` is given: an array, or "finest" / "coarsest" (the axis
    found with the most / fewest points per unit of x); each spectrum is then interpolated
    linearly onto it, NaN outside its own range. `chunks` (a number of files, or {"file": n})
    makes the values a lazy dask array read when computed. `block` as for OrvelFile.read."""
    import numpy as np

    from ._lazy import need
    xr = need("orvelio.stack", "xarray")
    found = [p for p, _, error in files(paths, recursive=True) if error is None] \
        if isinstance(paths, (str, bytes, os.PathLike)) else _paths(paths)
    if not found:
        raise ValueError("stack: no files given")
    with open_file(found[0]) as f:  # the request the first file resolves to: no listing of the others'
        request = f.describe(block).request
    batch = _stack_batch(found, request, chunks is None)
    if batch is None:  # a file the batch could not take as it is: file by file, with its error
        described, rows, acquired, columns = _stack_files(found, block, chunks is None)
    else:
        described, rows, acquired, columns = batch
    axes = {(b.x.first, b.x.last, b.x.npt) for b in described}
    target = _target_axis(axes, x)
    n, npt = len(found), len(target) if target is not None else described[0].x.npt

    def onto(y: Any, b: Any) -> Any:
        if target is None:
            return y
        return _onto(np.linspace(b.x.first, b.x.last, b.x.npt), y.astype(np.float64), target)

    def read(paths_part: list[Any], blocks: list[Any]) -> Any:
        out = np.empty((len(paths_part), npt), np.float32)
        got = _stack_batch(paths_part, request, True)
        for i, (path, b) in enumerate(zip(paths_part, blocks)):
            if got is not None and got[0][i] == b:
                out[i] = onto(got[1][i], b)
                continue
            with open_file(path) as f:
                out[i] = onto(_values(f, b), b)
        return out

    if chunks is None:
        values: Any = np.empty((n, npt), np.float32)
        for i, (y, b) in enumerate(zip(rows, described)):
            values[i] = onto(y, b)
    else:
        import dask.array as da
        from dask.delayed import delayed
        size = chunks.get("file", n) if isinstance(chunks, dict) else int(chunks)
        size = max(1, min(n, size if size and size > 0 else n))
        parts = [da.from_delayed(delayed(read, pure=True)(found[i:i + size], described[i:i + size]),
                                 (len(found[i:i + size]), npt), np.float32) for i in range(0, n, size)]
        values = da.concatenate(parts, axis=0)
    name = described[0].request[0]
    axis = target if target is not None else np.linspace(*next(iter(axes))[:2], npt)
    import pandas as pd
    coords: dict[str, Any] = {
        "spectral": ("spectral", axis),
        "path": ("file", [os.fsdecode(p) for p in found]),
        "acquired": ("file", _stack_times(acquired)),
    }
    for code, column in zip(DEFAULT_PARAMETERS, columns):
        if any(v is not None for v in column):
            coords[code] = ("file", np.array([np.nan if v is None else v for v in column])
                            if all(isinstance(v, (int, float)) or v is None for v in column)
                            else np.array(["" if v is None else str(v) for v in column]))
    ds = xr.Dataset({name: (("file", "spectral"), values)}, coords=coords)
    if target is not None:
        ds.attrs["interpolated"] = "linearly onto the spectral axis, NaN outside each file's range"
    return ds


class _Spectrum(NamedTuple):
    """What stack() needs of a file's block."""
    request: tuple[str, ...]
    x: Any  # an XRange


def _stack_batch(found: list[Any], request: tuple[str, ...], values: bool) -> Any:
    """stack()'s descriptions (and with `values` its spectra) of every file through the batch, as
    _stack_files gives them; None unless every file holds a whole spectrum for the request."""
    from ._orvelio import _describe_files
    from .reader import XRange
    got = _describe_files(found, DEFAULT_PARAMETERS, _cpus(), request, values)
    if got["status"].count(0) != len(found) or any(k != "spectrum" for k in got["kind"]) \
            or not all(got["complete"]):
        return None
    described = [_Spectrum(request, XRange(a, b, n)) for a, b, n in zip(got["x_first"], got["x_last"], got["npt"])]
    rows: Any = got.get("values")
    if values and any(len(y) != b.x.npt for y, b in zip(rows, described)):
        return None
    return described, rows, [_as_datetime(v) for v in got["acquired"]], got["parameters"]


def _stack_files(found: list[Any], block: Any, values: bool) -> Any:
    """stack()'s descriptions, spectra (with `values`), acquisition times and default parameters,
    file by file; raises the first file's error."""
    from .reader import BlockNotFoundError
    described, rows, request = [], [], None
    for path in found:  # one open per file: described, and read unless lazy
        with open_file(path) as f:
            try:  # the request the first file resolved to: no listing of the others' blocks
                b = f.describe(request or block)
            except BlockNotFoundError:
                b = f.describe(block)
            request = b.request
            if b.kind != "spectrum":
                raise ValueError(f"stack: {os.fsdecode(path)} holds a {b.kind} for {' '.join(b.request)}, "
                                 "not a spectrum")
            if values:
                rows.append(_values(f, b))
        described.append(b)
    return (described, rows, [b.acquired for b in described],
            [[b.parameters.get(code) for b in described] for code in DEFAULT_PARAMETERS])


def _stack_times(acquired: list[Any]) -> Any:
    import pandas as pd
    return pd.to_datetime(_ns_range(acquired), utc=True).tz_localize(None).astype("datetime64[ns]")


def _ns_range(times: Any) -> list[Any]:
    """Datetimes, None (NaT) for those that datetime64[ns] cannot hold (before 1677-09-22 or
    after 2262-04-11)."""
    return [v if v is None or v != v or abs(v.timestamp()) < 9.2e9 else None for v in times]


def _values(f: Any, block: Any) -> Any:
    """The values of a spectrum, read straight into a new array."""
    import numpy as np
    out = np.empty((1, block.x.npt), np.float32)
    f._call("read_rows", block.request, np.zeros(1, np.int64), out)
    return out[0]


def _target_axis(axes: set[tuple[float, float, int]], x: Any) -> Any:
    """The axis to interpolate onto, or None where the files share theirs."""
    import numpy as np
    if x is None:
        if len(axes) == 1:
            return None
        shown = "; ".join(f"{a:g}..{b:g} ({n} points)" for a, b, n in sorted(axes, key=lambda t: t[2]))
        raise ValueError(f"stack: the files are on {len(axes)} different x axes ({shown}); "
                         "give x= an array, \"finest\" or \"coarsest\" to interpolate onto one")
    if isinstance(x, str):
        if x not in ("finest", "coarsest"):
            raise ValueError(f"stack: x={x!r}: give an array, \"finest\" or \"coarsest\"")

        def step(axis: tuple[float, float, int]) -> float:
            return abs(axis[1] - axis[0]) / max(axis[2] - 1, 1)
        chosen = (min if x == "finest" else max)(sorted(axes), key=step)
        return np.linspace(*chosen[:2], chosen[2])
    return np.asarray(x, np.float64)


def _onto(axis: Any, y: Any, target: Any) -> Any:
    """y on `axis` linearly interpolated onto `target`, NaN outside the axis's range."""
    import numpy as np
    if len(axis) > 1 and axis[0] > axis[-1]:
        axis, y = axis[::-1], y[::-1]
    return np.interp(target, axis, y, left=np.nan, right=np.nan)
