"""Writers of blocks to other formats, one per format, each writing atomically (under a
temporary name beside the target, renamed when complete).

    from orvelio import export
    export.write_csv("map.orv", "map.csv", block="AB")
    export.write(f, block, "out/map.nc", "netcdf")     # f: an open OrvelFile

`source` is a path or an open :class:`orvelio.reader.OrvelFile`; `block` as for
``OrvelFile.read`` (None: the file's only block). A block whose file holds fewer values than it
declares raises ``TruncatedFileError``; with ``partial=True`` it is written at its declared
shape, NaN for the missing values, and a ``UserWarning`` says how many are missing.

Tables (CSV and Parquet) hold one row per spectrum: a pixel of an image, a map point, a time
step, a trace of a series, its coordinates first (``x`` and ``y`` in the file's units, ``time``,
``region`` (its number in the file) and ``point``, ``trace``), then one column per x-axis value (named by the value).
Traces at positions (image traces, trace maps) give one row per position with one column per
trace. Values are written in their shortest text that reads back as the same number (float32
``0.02`` as ``0.02``); a cube is read and written a few rows at a time. Header texts that a
spreadsheet would take for a formula get a leading ``'``.

NPZ holds the arrays of the result by name (see :func:`result_arrays`); netCDF the xarray
dataset (the ``xarray`` extra); Parquet needs pyarrow (the ``table`` extra).
"""
from __future__ import annotations

import contextlib
import csv
import io
import json
import os
import tempfile
from collections.abc import Iterator
from typing import Any

__all__ = ["FORMATS", "write", "write_csv", "write_npz", "write_netcdf", "write_parquet",
           "write_pictures", "result_arrays", "table_rows", "atomic_file", "NothingToWrite"]

BATCH_BYTES = 2 << 20  # the values read and formatted at a time (text costs ~10x its values)


class NothingToWrite(ValueError):
    """A block of no values."""


# ----------------------------------------------------------------- atomic output

_UMASK: int | None = None


def _file_mode() -> int:
    global _UMASK
    if _UMASK is None:
        _UMASK = os.umask(0)
        os.umask(_UMASK)
    return 0o666 & ~_UMASK


def _temporary_prefix(folder: str, name: str, token: str) -> str:
    """".NAME.TOKEN", NAME shortened so that the temporary name (with mkstemp's 8 characters and
    ".part") fits the folder's limit on names wherever the final name does."""
    try:
        limit = os.pathconf(folder or ".", "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = 255
    room = limit - len(os.fsencode(f"..{token}")) - 8 - len(".part")
    return "." + os.fsdecode(os.fsencode(name)[:max(room, 1)]) + f".{token}"


@contextlib.contextmanager
def atomic_file(target: str | os.PathLike[str], token: str = "", path: bool = False,
                replace: bool = True) -> Iterator[Any]:
    """Yields a new temporary file beside `target`, open for binary writing (its path instead
    with `path`); renames it to `target` when the block ends normally, removes it otherwise
    (an exception, Ctrl-C, SIGTERM). Without `replace`, an existing `target` is left as it is
    and FileExistsError raised."""
    folder, name = os.path.split(os.fspath(target))
    fd: int | None
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


# ----------------------------------------------------------------- opening

@contextlib.contextmanager
def _opened(source: Any, block: Any, partial: bool = False) -> Iterator[tuple[Any, Any]]:
    """(OrvelFile, Block) of a path or an open OrvelFile; a block cut short is refused unless
    `partial`."""
    from .reader import OrvelFile
    with contextlib.ExitStack() as stack:
        f = source if isinstance(source, OrvelFile) else stack.enter_context(OrvelFile(source))
        b = f.describe(block)
        if not partial:
            check_complete(f, b)
        check_bounded(f, b)
        yield f, b


def check_complete(f: Any, block: Any, hint: str = "") -> None:
    """TruncatedFileError for a block whose file holds fewer values than it declares (`hint`
    ends its message)."""
    from .reader import TruncatedFileError
    if not block.complete:
        name = _name_of(f)
        raise TruncatedFileError(f"{name}: the file is cut short: block {' '.join(block.request)} holds "
                                 f"{block.values_held} of {block.values_declared} values{hint}", name)


def _name_of(f: Any) -> str:
    """The name of an open file: its path, or what stands for a file object or a buffer."""
    return os.fsdecode(f.path) if isinstance(f.path, (str, bytes, os.PathLike)) else str(f._name)


def _jsonable(value: Any) -> Any:
    """Parameter and property values as JSON: numbers and text as they are, the rest as text."""
    if isinstance(value, (str, int, float, bool)) or value is None:
        return value
    if isinstance(value, bytes):
        return value.decode("latin-1")
    if hasattr(value, "tolist"):
        return value.tolist()
    return str(value)


# The bytes of values one export may read: what a whole read of a block may read (twice the
# file's size and a MiB). Rows streamed in batches would otherwise read one stored sub-block
# over and over: a file of 100 KB written as gigabytes of text.
def check_bounded(f: Any, block: Any) -> None:
    """CorruptFileError for a block whose values would take far more bytes than the file holds
    (of a block cut short, the values it holds)."""
    import math
    row_length = f._describe(block.request)["row_length"]
    values = sum(block.shape) * row_length if block.by_region else math.prod(block.shape)
    if not block.complete:
        values = min(values, block.values_held)
    if 4 * values > f._budget():
        raise f._error("corrupt", f"block {' '.join(block.request)}: its {values} values would read its sub-blocks "
                       "over and over, far more bytes than the file holds (sub-blocks stored on top of one another)")


# ----------------------------------------------------------------- tables

_FORMULA = ("=", "+", "-", "@", "\t", "\r")


def csv_text(text: Any) -> str:
    """A text as spreadsheets take it: text that would start a formula gets a "'" first
    (numbers stay as they are)."""
    shown = str(text)
    if shown.startswith(_FORMULA):
        try:
            float(shown)
        except ValueError:
            return "'" + shown
    return shown


def _axis(block: Any) -> Any:
    import numpy as np
    return np.linspace(block.x.first, block.x.last, block.x.npt)


def _rows_of(f: Any, block: Any, region: int | None, count: int, partial: bool) -> Iterator[tuple[int, Any]]:
    """(first row, values) of `count` rows of npt values, a few at a time (`partial`: rows the
    file does not hold whole are NaN)."""
    import numpy as np
    npt = block.x.npt
    step = max(1, BATCH_BYTES // (4 * max(npt, 1)))
    for start in range(0, count, step):
        rows = np.arange(start, min(count, start + step), dtype=np.int64)
        out = np.empty((len(rows), npt), np.float32)
        f._read_rows(block.request, rows, out, region, partial)
        yield start, out


def table_rows(f: Any, block: Any, partial: bool = False) -> tuple[list[str], Iterator[tuple[list[Any], Any]]]:
    """(header, batches) of a block as a table: each batch a list of coordinate columns and a
    2-D array of values, one row per spectrum (or position, for traces at positions); with
    `partial`, a block cut short gives NaN for its missing values (and a UserWarning)."""
    import numpy as np
    kind = block.kind
    values = [repr(float(v)) for v in _axis(block)]
    if kind in ("image-traces", "trace-map"):
        r = f.read(block, partial)
        labels = list(r.labels)
        if kind == "image-traces":
            ny, nx, nt = r.traces.shape
            iy, ix = np.divmod(np.arange(ny * nx), nx)
            batch = ([r.mapX[ix], r.mapY[iy]], r.traces.reshape(ny * nx, nt))
            return ["x", "y"] + labels, iter([batch])
        batches = [([np.full(len(g.spectra), block.regions[k].group), np.arange(len(g.spectra)), g.mapX, g.mapY],
                    np.asarray(g.spectra).reshape(len(g.spectra), len(labels)))
                   for k, g in enumerate(r.regions)]
        return ["region", "point", "x", "y"] + labels, iter(batches)
    if kind == "spectrum":
        if block.complete:  # its one row: no result, whose parameters a table leaves out
            return values, (([], out) for _, out in _rows_of(f, block, None, 1, partial))
        r = f.read(block, partial)
        return values, iter([([], np.asarray(r.y).reshape(1, -1))])
    if kind == "time-traces":
        r = f.read(block, partial)
        return ["trace"] + values, iter([([np.array(r.labels, dtype=object)], np.asarray(r.traces))])
    if partial and not block.complete:
        f._warn_partial(block.request, block.values_held, block.values_declared, stacklevel=3)
    info = f._call("info", block.request)
    if kind == "image":
        ny, nx = block.shape[:2]

        def image() -> Iterator[tuple[list[Any], Any]]:
            for start, out in _rows_of(f, block, None, ny * nx, partial):
                iy, ix = np.divmod(np.arange(start, start + len(out)), nx)
                yield [info["mapX"][ix], info["mapY"][iy]], out
        return ["x", "y"] + values, image()
    if kind == "time-series":
        def series() -> Iterator[tuple[list[Any], Any]]:
            for start, out in _rows_of(f, block, None, block.shape[0], partial):
                yield [info["z"][start:start + len(out)]], out
        return ["time"] + values, series()
    if kind == "point-map":
        def regions() -> Iterator[tuple[list[Any], Any]]:
            for k, (g, count) in enumerate(zip(info["regions"], block.shape)):
                for start, out in _rows_of(f, block, k, count, partial):
                    at = slice(start, start + len(out))
                    yield ([np.full(len(out), block.regions[k].group), np.arange(start, start + len(out)),
                            g["mapX"][at], g["mapY"][at]], out)
        return ["region", "point", "x", "y"] + values, regions()
    raise NothingToWrite(f"no table layout for {kind} blocks")


def _arrow_rows(fh: Any, coords: list[Any], values: Any) -> None:
    """A batch of rows written by pyarrow's CSV writer: numbers in their shortest round-trip
    text, float32 values as float32 (0.02 as 0.02)."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.csv as pcsv
    columns = [pa.array([csv_text(v) for v in c]) if np.asarray(c).dtype.kind not in "fiu" else pa.array(c)
               for c in coords] + [pa.array(values[:, j]) for j in range(values.shape[1])]
    table = pa.table(columns, names=[f"c{k}" for k in range(len(columns))])
    pcsv.write_csv(table, fh, pcsv.WriteOptions(include_header=False))


def _python_rows(fh: Any, coords: list[Any], values: Any) -> None:
    """The same rows without pyarrow, one at a time: texts quoted as pyarrow quotes them."""
    import numpy as np
    lead = [['"' + csv_text(v).replace('"', '""') + '"' for v in c] if np.asarray(c).dtype.kind not in "fiu" else
            [_shortest(v) for v in np.asarray(c)] if np.asarray(c).dtype.kind == "f" else
            [repr(v) for v in np.asarray(c).tolist()] for c in coords]
    fh.write("".join(",".join([c[i] for c in lead] + [_shortest(v) for v in row]) + "\n"
                     for i, row in enumerate(values)).encode())


def _shortest(value: Any) -> str:
    """The shortest text of a float value (of its own precision) that reads back as it, written
    as pyarrow writes it, so that a table is the same text with or without pyarrow: positional
    from 1e-6 to below 1e10, otherwise with an exponent ("1e-7", "1.5e+10")."""
    import numpy as np
    if not np.isfinite(value):
        return repr(float(value))
    if value == 0 or 1e-6 <= abs(value) < 1e9:
        return np.format_float_positional(value, unique=True, trim="-")
    text = np.format_float_scientific(value, unique=True, trim="-", exp_digits=1)
    if -7 < int(text.partition("e")[2]) < 10:
        return np.format_float_positional(value, unique=True, trim="-")
    return text


def _check(block: Any) -> None:
    import math
    held = sum(block.shape) if block.by_region else math.prod(block.shape)
    if not held or not block.x.npt:
        raise NothingToWrite("the block holds no values: nothing to write as a table")


def write_csv(source: Any, target: str | os.PathLike[str], block: Any = None, token: str = "",
              partial: bool = False) -> str:
    """Writes the block as CSV (see the module's description); returns the target's path."""
    with _opened(source, block, partial) as (f, b):
        _check(b)
        header, batches = table_rows(f, b, partial)
        try:
            import pyarrow  # noqa: F401
            rows = _arrow_rows
        except ImportError:
            rows = _python_rows
        with atomic_file(target, token) as fh:
            text = io.TextIOWrapper(fh, encoding="utf-8", newline="")
            csv.writer(text, lineterminator="\n").writerow([csv_text(h) for h in header])
            text.flush()
            text.detach()
            for coords, values in batches:
                rows(fh, coords, values)
    return os.fspath(target)


def write_parquet(source: Any, target: str | os.PathLike[str], block: Any = None, token: str = "",
                  partial: bool = False) -> str:
    """Writes the block as a Parquet table of the CSV layout (needs pyarrow)."""
    import numpy as np

    from ._lazy import need
    pa = need("parquet output", "pyarrow")
    import pyarrow.parquet as pq
    with _opened(source, block, partial) as (f, b):
        _check(b)
        header, batches = table_rows(f, b, partial)
        names = list(dict.fromkeys(header))
        if len(names) != len(header):  # equal x values or labels: numbered to stay apart
            names = [f"{h}#{k}" for k, h in enumerate(header)]
        with atomic_file(target, token, path=True) as tmp:
            writer = None
            try:
                for coords, values in batches:
                    arrays = [pa.array(np.asarray(c).tolist() if np.asarray(c).dtype == object else c)
                              for c in coords] + [pa.array(values[:, j]) for j in range(values.shape[1])]
                    table = pa.table(arrays, names=names)
                    writer = writer or pq.ParquetWriter(tmp, table.schema)
                    writer.write_table(table)
            finally:
                if writer is not None:
                    writer.close()
    return os.fspath(target)


def result_arrays(result: Any) -> dict[str, Any]:
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
    out["parameters"] = np.array(json.dumps(result.parameters, default=_jsonable))  # numbers and texts as they are
    return out


def write_npz(source: Any, target: str | os.PathLike[str], block: Any = None, token: str = "",
              partial: bool = False) -> str:
    """Writes the block's arrays by name (see result_arrays) as an npz file."""
    import numpy as np
    with _opened(source, block, partial) as (f, b):
        result = f.read(b, partial)
        with atomic_file(target, token) as fh:
            np.savez(fh, **result_arrays(result))
    return os.fspath(target)


def netcdf_engine() -> str | None:
    """xarray's engine of the first netCDF writer installed, None without one: named when
    writing, since older xarray releases (2025.6 among them) do not pick h5netcdf, the xarray
    extra's, by themselves."""
    import importlib.util
    return next((m.lower() for m in ("netCDF4", "h5netcdf", "scipy") if importlib.util.find_spec(m)), None)


def write_netcdf(source: Any, target: str | os.PathLike[str], block: Any = None, token: str = "",
                 partial: bool = False) -> str:
    """Writes the block's xarray dataset as netCDF (needs the xarray extra and a netCDF writer).
    The netCDF library may crash its process on a full disk: the command line writes netCDF in
    worker processes."""
    with _opened(source, block, partial) as (f, b):
        dataset = f.to_xarray(b, partial=partial)
        with atomic_file(target, token, path=True) as tmp:
            dataset.to_netcdf(tmp, engine=netcdf_engine())
    return os.fspath(target)


def _distinct(pictures: list[Any]) -> list[tuple[Any, list[int]]]:
    """[(picture, indexes)]: each distinct picture once, with the indexes of every picture that
    is the same stored record listed again (same title, properties and bytes)."""
    groups: dict[Any, tuple[Any, list[int]]] = {}
    for p in pictures:
        key = (p.data, p.title, json.dumps({k: _jsonable(v) for k, v in p.properties.items()},
                                           sort_keys=True))
        groups.setdefault(key, (p, []))[1].append(p.index)
    return list(groups.values())


def write_pictures(source: Any, folder: str | os.PathLike[str], overwrite: bool = False,
                   prefix: str | None = None) -> list[tuple[str, list[int]]]:
    """Writes each distinct picture of the file once as PREFIX.N.TITLE.EXT (its bytes, where
    the file stores them) and PREFIX.N.TITLE.json (its properties, and in "indexes" every
    picture that lists the same record). PREFIX: the file's name. Existing files are replaced
    only with `overwrite` (FileExistsError otherwise, before anything of the picture is
    written). Returns [(the path written, indexes)] (the JSON's path for pictures without
    bytes)."""
    from .reader import OrvelFile
    with contextlib.ExitStack() as stack:
        f = source if isinstance(source, OrvelFile) else stack.enter_context(OrvelFile(source))
        pictures, name = f.pictures, _name_of(f)
    prefix = os.path.basename(name) if prefix is None else prefix
    written = []
    for p, indexes in _distinct(pictures):
        image = os.path.join(folder, f"{prefix}.{p.index}.{p.filename()}")
        sidecar = os.path.splitext(image)[0] + ".json"
        side = {"file": os.fsencode(name).decode("utf-8", "backslashreplace"), "index": p.index,
                "title": p.title, "format": p.format, "size": len(p.data or b""), "indexes": indexes,
                "properties": {k: _jsonable(v) for k, v in p.properties.items()}}
        outputs = [(t, c) for t, c in ((image, p.data), (sidecar, json.dumps(side, indent=2, ensure_ascii=False)
                                                         .encode() + b"\n")) if c is not None]
        for target, _ in outputs if not overwrite else ():
            if os.path.lexists(target):
                raise FileExistsError(17, "exists (--overwrite replaces it)", target)
        for target, content in outputs:
            with atomic_file(target, replace=overwrite) as fh:
                fh.write(content)
        written.append((outputs[0][0], indexes))
    return written


FORMATS = {"csv": (".csv", write_csv), "npz": (".npz", write_npz), "netcdf": (".nc", write_netcdf),
           "parquet": (".parquet", write_parquet)}


def write(source: Any, block: Any, target: str | os.PathLike[str], fmt: str, token: str = "",
          partial: bool = False) -> str:
    """Writes the block in the format named by `fmt` (a key of FORMATS)."""
    return FORMATS[fmt][1](source, target, block, token, partial)

