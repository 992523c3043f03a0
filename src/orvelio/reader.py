"""A friendly reading API beside the module's exact one.

    from orvelio.reader import OrvelFile

    with OrvelFile("sample.orv") as f:
        f.blocks                    # [<Block AB 2D NONE spectrum (1024,) float32 ...>, ...]
        r = f.read("AB")            # the same result object getOrvelData returns
        f.parameters("AB")["RES"]   # Parameter(code='RES', label='Resolution', value=4.0)

Paths may be str, bytes or os.PathLike; a binary file object (an open file, io.BytesIO, a zip
member, an fsspec file) or OrvelFile.from_bytes(buffer) work too. Every failure caused by the file's content or by a
request raises an OrvelError that also derives from the matching builtin exception (ValueError,
KeyError, MemoryError); OSErrors of opening pass through unchanged. Nothing is printed: lines the
exact API prints become UserWarnings.
"""
from __future__ import annotations

import atexit
import difflib
import io
import os
import re
import stat
import sys
import weakref
from collections.abc import ItemsView, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, Protocol, Union, cast

import numpy as np

if TYPE_CHECKING:
    import datetime

    from orvelio import _orvelio
    from orvelio import (ImageDataReturn, ImageTRCDataReturn, MultiRegionDataReturn,
                         MultiRegionTRCDataReturn, SingleDataReturn, TimeResolvedDataReturn,
                         TimeResolvedTRCDataReturn)

__all__ = [
    "OrvelFile", "Block", "Picture", "Parameter", "Parameters", "RegionGrid", "XRange", "Quantity", "Coordinate", "is_orvel",
    "imread", "DataReturn",
    "OrvelError", "NotOrvelFileError", "TruncatedFileError", "CorruptFileError", "UnsupportedFileError",
    "InvalidRequestError", "BlockNotFoundError", "FileTooLargeError", "FileChangedError",
]

PathType = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class BinaryFile(Protocol):
    """A binary file object: read (or readinto) and seek."""

    def read(self, size: int = ..., /) -> bytes: ...
    def seek(self, offset: int, whence: int = ..., /) -> int: ...


Source = Union[PathType, BinaryFile]
Request = tuple[str, str, str]
Kind = Literal["spectrum", "image", "image-traces", "time-series", "time-traces", "point-map", "trace-map"]
DataReturn = Union["SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn", "TimeResolvedDataReturn",
                   "TimeResolvedTRCDataReturn", "MultiRegionDataReturn", "MultiRegionTRCDataReturn"]
BlockLike = Union["Block", str, Sequence[str], None]

# The extension's reader class: one open file, descriptions without float data, partial reads.
# (Reached through sys.modules: the package keeps the extension's name out of its namespace.)
_Reader: type[_orvelio._Reader] = sys.modules["orvelio._orvelio"]._Reader

# The words of a request, as the exact API checks them.
_BASE_TYPES = ("REFL", "RAM", "SPOW", "RPOW", "SPH", "RPH", "PAS", "LREFL", "KM", "SIFG", "RIFG", "TR",
               "EMIS", "ATR", "TRARI", "ABARI", "AB", "TRC", "SSC", "RSC")
TYPES = _BASE_TYPES + tuple(t + "-CH2" for t in _BASE_TYPES)
DIMENSIONS = ("2D", "3D")
DERIVATIVES = ("NONE", "1DER", "2DER", "NDER")
_REQUEST_HELP = ('a request is a data block type alone ("AB"), a Block from .blocks, or a triple '
                 '(type, dimensions, derivative) such as ("AB", "2D", "NONE")')


# ---------------------------------------------------------------- errors

class OrvelError(Exception):
    """A file's content or a request that cannot be read. `path`: the file; `offset`: the byte
    offset where the problem was found, when known."""

    def __init__(self, message: str, path: str | None = None, offset: int | None = None) -> None:
        super().__init__(message)
        self.path = path
        self.offset = offset

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class NotOrvelFileError(OrvelError, ValueError):
    """The file is not an Orvel file."""


class TruncatedFileError(OrvelError, ValueError):
    """The file ends before a value it needs."""


class CorruptFileError(OrvelError, ValueError):
    """The file's structure or values are inconsistent."""


class UnsupportedFileError(OrvelError, ValueError):
    """The file uses something this reader does not read."""


class InvalidRequestError(OrvelError, ValueError):
    """A block request of the wrong form, a misspelt word, or an ambiguous request."""


class BlockNotFoundError(OrvelError, KeyError):
    """The file holds no data block for the request."""


class FileTooLargeError(OrvelError, MemoryError):
    """The file declares arrays larger than memory allows."""


class FileChangedError(OrvelError, OSError):
    """The file changed (rewritten, replaced, cut or grown) since it was opened: nothing is read
    from a file other than the one described."""


_ERRORS: dict[str, tuple[type[OrvelError], str]] = {
    "not_orvel": (NotOrvelFileError, "not an Orvel file (it does not start with the format's magic number)"),
    "truncated": (TruncatedFileError, "the file is cut short"),
    "corrupt": (CorruptFileError, "the file is damaged"),
    "unsupported": (UnsupportedFileError, "the file holds something this reader does not support"),
    "invalid_request": (InvalidRequestError, "invalid request"),
    "not_found": (BlockNotFoundError, "no such data block in the file"),
    "memory": (FileTooLargeError, "the file declares arrays too large to hold in memory"),
    "changed": (FileChangedError, "the file changed since it was opened"),
}


def _show(request: Sequence[str]) -> str:
    return " ".join(request)


def _nan_text(missing: int, rows: bool) -> str:
    """What a partial read fills with NaN: the missing values and, for blocks read by rows
    (spectra, traces), the rest of the row the file ends inside."""
    return f"the {missing} missing values are NaN" + (", as is the rest of a row they cut short" if rows else "")


# ---------------------------------------------------------------- small value types

class XRange(NamedTuple):
    """The x axis of a block: first and last values and number of points."""
    first: float
    last: float
    npt: int


class Parameter(NamedTuple):
    """One parameter: its three-letter code, a readable label ("" if none is known), its value."""
    code: str
    label: str
    value: int | float | str | None


class RegionGrid(NamedTuple):
    """A region of a multi-region map: a grid of nx by ny positions (`points` == nx * ny), or a
    list of `points` positions (nx and ny None). `group`: its number in the file. `order`:
    whether the positions are a full nx x ny grid of distinct stage positions and in which order,
    "x_fastest" (row by row), "y_fastest" (column by column) or "none"."""
    title: str
    group: int | float | str
    nx: int | None
    ny: int | None
    points: int
    order: str = "none"


class Quantity(NamedTuple):
    """What numbers stand for: `long_name` ("Absorbance", "Wavenumber"), `units` in UDUNITS
    form ("cm-1", "um", "s", "1" for a ratio; "" when none is known) and `display`, the unit as
    people read it ("cm⁻¹", "µm")."""
    long_name: str
    units: str
    display: str


class Coordinate(NamedTuple):
    """A coordinate of a block's main array: its `name` ("spectral", "y", "x", "time", "trace",
    "mapX", "mapY", "start_time"), the dimension `dim` it runs along, and either `axis` (an
    evenly spaced axis: numpy.linspace(first, last, npt) gives the values of the full read) or
    `row_info` (the per-row values of that name: map positions, times, trace labels); its
    `long_name`, `units` (UDUNITS) and `display` (the unit as people read it)."""
    name: str
    dim: str
    axis: XRange | None
    row_info: str
    long_name: str
    units: str
    display: str


class Parameters(Mapping[str, Any]):
    """A block's merged parameters (read-only, equal to result.parameters, in its order): the
    parameter blocks it merges, each one dictionary shared by every block of the file that
    merges it. A name has the place of the first block that holds it, the value of the last."""

    __slots__ = ("_blocks", "_len")

    def __init__(self, blocks: Sequence[dict[str, Any]]) -> None:
        self._blocks = tuple(blocks)
        self._len: int | None = None

    @property
    def blocks(self) -> tuple[dict[str, Any], ...]:
        """The parameter blocks merged, in order (shared: not to be changed)."""
        return self._blocks

    def __getitem__(self, name: str) -> Any:
        for block in reversed(self._blocks):
            if name in block:
                return block[name]
        raise KeyError(name)

    def _dict(self) -> dict[str, Any]:
        """The blocks merged into one dictionary (made on each call: not kept)."""
        if len(self._blocks) == 1:
            return self._blocks[0]
        merged: dict[str, Any] = {}
        for block in self._blocks:
            merged.update(block)
        return merged

    def __iter__(self) -> Iterator[str]:
        return iter(self._dict())

    def items(self) -> ItemsView[str, Any]:
        return self._dict().items()

    def __len__(self) -> int:
        if self._len is None:
            self._len = len(self._dict())
        return self._len

    def __repr__(self) -> str:
        return repr(dict(self.items()))


def _merged(description: dict[str, Any]) -> dict[str, Any]:
    """A description of the extension's reader with its parameters as Parameters."""
    description["parameters"] = Parameters(description.pop("parameter_blocks"))
    return description


@dataclass(frozen=True)
class Block:
    """A data block, as described without reading its values.

    `dims`: the main array's dimension names in order; `coords`: its coordinates by name (the x
    axis is always "spectral"); `values`: what the values are (`long_name`, `units`);
    `values_held` of `values_declared` values are in the file (`complete` when all are);
    `acquired`: when it was measured (UTC), None when the file does not say or cannot be read
    (`acquired_note` says why); `regions`: the regions of a multi-region map, as numbers
    (`by_region`: the block is such a map, its main array one per region)."""
    request: Request
    kind: Kind
    shape: tuple[int, ...]
    dtype: np.dtype[Any]
    x: XRange
    parameters: Parameters = field(compare=False, repr=False)
    regions: tuple[RegionGrid, ...] = field(default=(), compare=False, repr=False)
    dims: tuple[str, ...] = ()
    coords: dict[str, Coordinate] = field(default_factory=dict, compare=False, repr=False)
    values: Quantity = Quantity("", "", "")
    values_held: int = 0
    values_declared: int = 0
    acquired_utc: float | None = field(default=None, repr=False)
    acquired_note: str = field(default="", compare=False, repr=False)
    by_region: bool = field(default=False, repr=False)

    @property
    def complete(self) -> bool:
        """Whether the file holds every value the block declares."""
        return self.values_held == self.values_declared

    @property
    def long_name(self) -> str:
        """What the values are ("Absorbance", "Raman intensity"; the y-axis label where the file has one)."""
        return self.values.long_name

    @property
    def units(self) -> str:
        """The values' unit in UDUNITS form ("1" for a ratio, "" when unknown)."""
        return self.values.units

    @property
    def acquired(self) -> datetime.datetime | None:
        """When the block was measured, as a timezone-aware datetime in UTC, or None."""
        if self.acquired_utc is None:
            return None
        import datetime as dt
        try:
            return dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(seconds=self.acquired_utc)
        except OverflowError:  # a year 1 taken back across the start of the calendar by its zone
            return None

    def __repr__(self) -> str:
        x = f"x {self.x.first:g}..{self.x.last:g}" if self.x.npt else "x empty"
        cut = "" if self.complete else f" cut short: {self.values_held} of {self.values_declared} values"
        # A multi-region map's shape is its regions' counts of positions, not one array's shape.
        shape = f"positions per region={self.shape}" if self.by_region else f"shape={self.shape}"
        return f"<Block {_show(self.request)} {self.kind} {shape} {self.dtype} {x} ({self.x.npt} points){cut}>"


_EXTENSIONS = {"jpeg": ".jpg", "tiff": ".tif"}
_UNSAFE = re.compile(r"[^\w.\- ]+")


@dataclass(frozen=True)
class Picture:
    """A picture stored in the file: `title`, `format` ("jpeg", "png", "bmp", ... or None when not
    recognised or without bytes), `data` (its bytes, None when the file stores none) and
    `properties` (its labelled values). `index`: its place among the file's pictures."""
    title: str
    format: str | None
    data: bytes | None = field(repr=False)
    properties: dict[str, Any] = field(compare=False, repr=False)
    index: int = 0

    def filename(self) -> str:
        """A safe file name from the title with the format's extension (".bin" if unknown)."""
        stem = _UNSAFE.sub("_", self.title).strip(" ._")
        stem = stem.encode()[:100].decode(errors="ignore").rstrip(" ._") or f"picture-{self.index}"
        fmt = self.format
        return stem + (_EXTENSIONS.get(fmt, "." + fmt) if fmt else ".bin")

    def save(self, directory: str | os.PathLike[str] = ".") -> Path:
        """Writes the picture's bytes into `directory` under filename(); an existing file is never
        replaced ("-1", "-2", ... are added to the name instead). Returns the path written."""
        if self.data is None:
            raise CorruptFileError(f"picture {self.index} ({self.title!r}) has no stored bytes to save")
        base = Path(directory) / self.filename()
        for n in range(10_000):
            path = base if n == 0 else base.with_name(f"{base.stem}-{n}{base.suffix}")
            try:
                with open(path, "xb") as out:
                    out.write(self.data)
                return path
            except FileExistsError:
                continue
        raise FileExistsError(f"no free file name for {base}")


# ---------------------------------------------------------------- the file

class OrvelFile:
    """An Orvel file, opened once and read until close(). A context manager.

    `path`: a path, or a binary file object (read by position, only what calls ask for: it must
    not change while open; an io.BytesIO is read in place and cannot grow until close()).
    Raises NotOrvelFileError for a file that is not an Orvel file, OSError if the path cannot
    be opened."""

    def __init__(self, path: Source) -> None:
        self.path: Source | bytes | bytearray | memoryview = path
        self._reader, self._name = _open(path)
        self._by_path = isinstance(path, (str, bytes, os.PathLike))
        self._init()

    @classmethod
    def from_bytes(cls, buffer: bytes | bytearray | memoryview) -> OrvelFile:
        """An Orvel file held in memory (bytes, bytearray, memoryview or any contiguous buffer),
        read where it is, without a copy; the buffer must not change until close()."""
        if isinstance(buffer, str):
            raise TypeError("from_bytes takes a bytes-like object, not str")
        f = cls.__new__(cls)
        f.path = buffer
        f._reader, f._name = _Reader.from_buffer(buffer), "<bytes>"
        f._by_path = False
        f._init()
        return f

    def _init(self) -> None:
        self._descriptions: dict[Request, dict[str, Any]] = {}
        self._listing: list[Request] | None = None
        self._blocks: list[Block] | None = None
        self._pictures: list[Picture] | None = None
        self._closed = False
        _open_files.add(self)
        if not self._reader.is_orvel():
            self.close()
            raise self._error("not_orvel")

    # -- lifetime

    def close(self) -> None:
        """Closes the file; later calls raise ValueError. Idempotent."""
        self._closed = True
        if "_reader" in vars(self):     # let go at exit
            self._reader.close()
        _open_files.discard(self)

    def __enter__(self) -> OrvelFile:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<OrvelFile {self._name!r}>"

    # -- errors

    def _error(self, code: str, detail: str | None = None, offset: int | None = None) -> OrvelError:
        cls, words = _ERRORS.get(code, _ERRORS["corrupt"])
        message = f"{self._name}: {words}"
        if detail:
            message += f": {detail}"
        if offset is not None:
            message += f" (at byte {offset})"
        return cls(message, self._name, offset)

    def _call(self, method: str, *args: Any, **kwargs: Any) -> Any:
        """reader.method(*args), its failures turned into OrvelErrors."""
        if self._closed:
            raise ValueError("I/O operation on closed file")
        try:
            return getattr(self._reader, method)(*args, **kwargs)
        except Exception as exc:
            code = getattr(exc, "orvel_code", None)
            if code is None:  # not classified by the reader: an OSError stays one, the rest is the file's
                if isinstance(exc, OSError):
                    raise
                code = "memory" if isinstance(exc, MemoryError) else "corrupt"
            if code == "io":
                raise
            if code == "changed":
                raise self._error(code) from exc
            offset = getattr(exc, "orvel_offset", None)
            if code == "truncated":
                size = self._reader.size
                if offset is not None and offset >= size:
                    err = self._error(code, f"it ends at byte {size}, before a value it needs at byte {offset}")
                    err.offset = offset
                    raise err from exc
                raise self._error(code, f"it ends at byte {size}, before a value it needs", offset) from exc
            if code == "not_found" and args:
                request = tuple(args[0])
                if request in self._listed():
                    raise self._error("corrupt", f"it lists data block {_show(request)} but holds no "
                                      "complete block for it (its data or parameter block is missing)",
                                      offset) from exc
                raise self._not_found(request) from exc
            raise self._error(code, _detail(exc), offset) from exc

    # -- blocks

    def _listed(self) -> list[Request]:
        """The distinct blocks the file lists, in order."""
        if self._listing is None:
            self._listing = list(dict.fromkeys(tuple(b) for b in self._call("list")))
        return self._listing

    def _not_found(self, request: Sequence[str]) -> BlockNotFoundError:
        held = ", ".join(_show(b) for b in self._listed()) or "none"
        return BlockNotFoundError(f"{self._name}: no data block {_show(request)} in the file; "
                                  f"it holds: {held}", self._name)

    def _describe(self, request: Request) -> dict[str, Any]:
        if request not in self._descriptions:
            self._descriptions[request] = _merged(self._call("describe", request))
        return self._descriptions[request]

    def _budget(self) -> int:
        """The bytes one call may read, write or build from this file: twice its size and a MiB
        (what a whole read of a block may read)."""
        return 2 * self._reader.size + (1 << 20)

    def _check_copies(self, blocks: Sequence[Block], what: str, per_region: bool = False) -> None:
        """CorruptFileError where `what` (the outputs or datasets made of these blocks, one
        copy of a block's parameters each, and with `per_region` one per region too) would copy
        far more parameters than the file holds (at least 8 bytes a record, at most twice the
        file's size and a MiB): parameter blocks shared by many data blocks, made into gigabytes
        of attributes."""
        records = sum(len(p) * (1 + (len(b.regions) if per_region and b.by_region else 0))
                      for b in blocks for p in self._describe(b.request)["parameters"].blocks)
        if 8 * records > self._budget():
            raise self._error("corrupt", f"{what} would copy the parameters of its blocks over and over: "
                              f"{records} parameter records from a file of {self._reader.size} bytes "
                              "(parameter blocks shared by many data blocks)")

    def _block(self, request: Request) -> Block:
        d = self._describe(request)
        coords = {}
        for dim in d["dims"]:
            for c in dim["coordinates"]:
                coords[c["name"]] = _coordinate(c, dim["name"])
        spectral = d["spectral"]
        coords.setdefault("spectral", _coordinate(spectral, "spectral"))
        values, acquired = d["values"], d["acquired"]
        return Block(tuple(d["request"]), d["kind"], tuple(d["shape"]), np.dtype(d["dtype"]), _range(d["x"]),
                     d["parameters"], tuple(_grid(r) for r in d["regions"]), tuple(dim["name"] for dim in d["dims"]),
                     coords, Quantity(values["long_name"], values["units"]["udunits"], values["units"]["display"]),
                     d["values_held"], d["values_declared"], acquired["utc"], acquired["note"], d["by_region"])

    @property
    def blocks(self) -> list[Block]:
        """One Block per distinct data block, described without reading its values. Listed blocks
        that no request can name are left out."""
        if self._blocks is None:
            self._blocks = [self._block(b) for b in self._listed() if _valid(b)]
        return list(self._blocks)

    def _resolve(self, block: BlockLike) -> Request:
        """The request a read's `block` argument stands for."""
        if isinstance(block, Block):
            return block.request
        if block is None:
            listed = [b for b in self._listed() if _valid(b)]
            if len(listed) == 1:
                return listed[0]
            if not listed:
                raise BlockNotFoundError(f"{self._name}: the file holds no data block", self._name)
            raise InvalidRequestError(
                f"{self._name}: the file holds {len(listed)} data blocks, name one: "
                + ", ".join(_show(b) for b in listed), self._name)
        if isinstance(block, str):
            if len(block.split()) != 1:
                raise InvalidRequestError(f"{self._name}: {block!r} is not a request: {_REQUEST_HELP}",
                                          self._name)
            name = block.strip().upper()
            self._check_word(name, TYPES, "data block type")
            matches = [b for b in self._listed() if b[0] == name]
            if len(matches) == 1:
                return matches[0]
            if not matches:
                raise self._not_found((name,))
            raise InvalidRequestError(
                f"{self._name}: {len(matches)} data blocks of type {name}, name one: "
                + ", ".join(_show(b) for b in matches), self._name)
        if (isinstance(block, Sequence) and not isinstance(block, bytes) and len(block) == 3
                and all(isinstance(w, str) for w in block)):
            request = (block[0].strip().upper(), block[1].strip().upper(), block[2].strip().upper())
            self._check_word(request[0], TYPES, "data block type")
            self._check_word(request[1], DIMENSIONS, "dimensions")
            self._check_word(request[2], DERIVATIVES, "derivative")
            return request
        raise InvalidRequestError(f"{self._name}: {block!r} is not a request: {_REQUEST_HELP}", self._name)

    def _check_word(self, word: str, valid: Sequence[str], what: str) -> None:
        if word in valid:
            return
        close = difflib.get_close_matches(word, valid, n=3, cutoff=0.5)
        hint = (f"did you mean {' or '.join(close) if len(close) < 3 else ', '.join(close[:-1]) + ' or ' + close[-1]}?"
                if close
                else f"it is one of {', '.join(valid)}")
        raise InvalidRequestError(f"{self._name}: unknown {what} {word!r}: {hint}", self._name)

    # -- reading

    def read(self, block: BlockLike = None, partial: bool = False) -> DataReturn:
        """The block's data: the result object getOrvelData returns for it. `block`: a Block, a
        data block type alone ("AB") when the file holds one block of it, a triple
        ("AB", "2D", "NONE"), or None for the file's only block.

        A block whose file holds fewer values than it declares raises TruncatedFileError (how
        many of how many); with `partial`, its arrays have the declared shape, NaN where values
        are missing, and a UserWarning says how many."""
        request = self._resolve(block)
        d = self._describe(request)
        if d["values_held"] != d["values_declared"]:
            if not partial:
                raise self._cut_short(request, d)
            return self._read_partial(request, d)
        result: DataReturn = self._call("read", request, warn=True)
        return result

    def _cut_short(self, request: Request, d: dict[str, Any]) -> TruncatedFileError:
        return TruncatedFileError(f"{self._name}: the file is cut short: data block {_show(request)} holds "
                                  f"{d['values_held']} of its {d['values_declared']} values", self._name)

    def _read_rows(self, request: Request, rows: Any, out: np.ndarray[Any, Any], region: int | None = None,
                   partial: bool = False) -> None:
        """read_rows into `out`; with `partial`, rows the file does not hold whole are NaN (a
        failing batch is split until the rows that fail are alone)."""
        try:
            self._call("read_rows", request, rows, out, region=region)
        except TruncatedFileError:
            if not partial:
                raise
            if len(rows) == 1:
                out[...] = np.nan
                return
            half = len(rows) // 2
            self._read_rows(request, rows[:half], out[:half], region, True)
            self._read_rows(request, rows[half:], out[half:], region, True)

    def _warn_partial(self, request: Request, held: int, declared: int, stacklevel: int = 2,
                      rows: bool = True) -> None:
        """The UserWarning of a partial read: how many values are missing."""
        import warnings
        warnings.warn(f"{self._name}: data block {_show(request)} holds {held} of its {declared} values: "
                      f"{_nan_text(declared - held, rows)}", UserWarning, stacklevel=stacklevel + 1)

    def _read_partial(self, request: Request, d: dict[str, Any]) -> DataReturn:
        self._warn_partial(request, d["values_held"], d["values_declared"], 3, d["kind"] != "spectrum")
        api: Any = sys.modules["orvelio"]
        kind = d["kind"]
        if kind == "spectrum":
            result: Any = self._call("read", request, warn=True)
            y = np.full(d["x"]["count"], np.nan, np.float32)
            y[:len(result.y)] = result.y
            result.y = y
            return cast("DataReturn", result)
        info = self._call("info", request)
        x = d["x"]
        params = d["parameters"]
        base = dict(dimension=request[1], dataType=request[0], deriv=request[2], parameters=dict(params.items()),
                    x=np.linspace(x["first"], x["last"], x["count"]), minY=params.get("MNY"), maxY=params.get("MXY"))

        def rows(count: int, region: int | None = None) -> np.ndarray[Any, np.dtype[np.float32]]:
            out = np.empty((count, d["row_length"]), np.float32)
            self._read_rows(request, np.arange(count), out, region, partial=True)
            return out
        shape = tuple(d["shape"])
        if kind == "image":
            result = api.ImageDataReturn(info["mapX"], info["mapY"], rows(d["rows"]).reshape(shape), **base)
        elif kind == "image-traces":
            traces = np.moveaxis(rows(d["rows"]).reshape((d["rows"],) + shape[:2]), 0, -1)
            result = api.ImageTRCDataReturn(info["mapX"], info["mapY"], list(info["labels"]),
                                            np.ascontiguousarray(traces), **base)
        elif kind == "time-series":
            result = api.TimeResolvedDataReturn(info["z"], rows(d["rows"]), **base)
        elif kind == "time-traces":
            result = api.TimeResolvedTRCDataReturn(list(info["labels"]), rows(d["rows"]), **base)
        else:
            regions = [api.Region(part["title"], part["mapX"], part["mapY"], part.get("start_time"),
                                  rows(r["rows"], i)) for i, (r, part) in enumerate(zip(d["regions"], info["regions"]))]
            result = (api.MultiRegionTRCDataReturn(list(info["labels"]), regions, **base) if kind == "trace-map"
                      else api.MultiRegionDataReturn(regions, **base))
        return cast("DataReturn", result)

    def describe(self, block: BlockLike = None) -> Block:
        """The Block for a request (see read()), without reading its values."""
        return self._block(self._resolve(block))

    def __getitem__(self, block: BlockLike) -> Block:
        """f[block] is f.describe(block): the Block, with the errors read() gives."""
        return self.describe(block)

    def parameters(self, block: BlockLike = None) -> dict[str, Parameter]:
        """The block's merged parameters (as result.parameters) by code, each with a readable
        label, read without its values."""
        labels = _labels()
        return {code: Parameter(code, labels.get(code, ""), value)
                for code, value in self._describe(self._resolve(block))["parameters"].items()}

    @property
    def pictures(self) -> list[Picture]:
        """The pictures stored in the file."""
        if self._pictures is None:
            self._pictures = []
            for i, d in enumerate(self._call("pictures")):
                d = dict(d)
                data, fmt = d.pop("image", None), d.pop("imgext", None)
                title = d.pop("Title", "")
                self._pictures.append(Picture(str(title), fmt, data, d, i))
        return list(self._pictures)

    def region_grid(self, block: BlockLike = None) -> list[RegionGrid]:
        """The regions of a multi-region map, with their grid sizes."""
        request = self._resolve(block)
        d = self._describe(request)
        if not d["by_region"]:
            raise InvalidRequestError(f"{self._name}: block {_show(request)} is a {d['kind']}, "
                                      "not a multi-region map", self._name)
        return [_grid(r) for r in d["regions"]]

    def to_xarray(self, block: BlockLike = None, chunks: Any = None, region: int | None = None,
                  partial: bool = False, grid: bool = True) -> Any:
        """The block as xarray objects (needs the extra: pip install 'orvelio[xarray]'): the
        lazy Dataset that xarray.open_dataset(path, engine="orvelio", datablock=block,
        region=region, chunks=chunks, partial=partial, grid=grid) returns; for a multi-region
        map without `region`, the DataTree of xarray.open_datatree (one child per region).
        `block` as for read()."""
        from ._lazy import need
        need("to_xarray", "xarray")
        from .xarray_backend import open_xarray
        return open_xarray(self.path if self._by_path else self, self.describe(block), chunks, region, partial, grid)


# Files not closed yet. At exit, those still held (by xarray's file cache, results of dask
# tasks, cycles) are closed and let go of their readers while the interpreter still runs:
# reader objects alive when the extension module is torn down are reported as leaked.
_open_files: weakref.WeakSet[OrvelFile] = weakref.WeakSet()


@atexit.register
def _release_open_files() -> None:
    for f in list(_open_files):
        f.close()
        del f._reader


# ---------------------------------------------------------------- helpers

def _detail(exc: BaseException) -> str:
    if isinstance(exc, KeyError) and exc.args:
        return f"a value it needs is missing: {exc.args[0]!s}"
    return str(exc)


def _valid(request: Sequence[str]) -> bool:
    return request[0] in TYPES and request[1] in DIMENSIONS and request[2] in DERIVATIVES


_label_table: dict[str, str] | None = None


def _labels() -> dict[str, str]:
    global _label_table
    if _label_table is None:
        api: Any = sys.modules["orvelio"]
        _label_table = {**api.OrvelDict(), **api.paramDict}
    return _label_table


def _range(axis: dict[str, Any]) -> XRange:
    return XRange(float(axis["first"]), float(axis["last"]), int(axis["count"]))


def _coordinate(c: dict[str, Any], dim: str) -> Coordinate:
    axis = c["axis"]
    return Coordinate(c["name"], dim, None if axis is None else _range(axis), c["row_info"], c["long_name"],
                      c["units"]["udunits"], c["units"]["display"])


def _grid(r: dict[str, Any]) -> RegionGrid:
    grid = r["nx"] > 0
    return RegionGrid(r["title"], r["group"], r["nx"] if grid else None, r["ny"] if grid else None, r["rows"],
                      r["grid"])


def _open(source: Any) -> tuple[_orvelio._Reader, str]:
    """The reader of a path or a binary file object, and the name errors give it."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return _Reader(source), os.fsdecode(os.fspath(source))
    if isinstance(source, (bytearray, memoryview)):
        raise TypeError("OrvelFile opens a path or a binary file object; for a buffer, use OrvelFile.from_bytes")
    if isinstance(source, io.TextIOBase):
        raise TypeError("OrvelFile reads binary files: open the file in binary mode ('rb')")
    if not hasattr(source, "readinto") and not hasattr(source, "read"):
        raise TypeError("OrvelFile opens a path (str, bytes or os.PathLike) or a binary file object "
                        f"(with read and seek), not {type(source).__name__}")
    name = getattr(source, "name", None)
    name = os.fsdecode(name) if isinstance(name, (str, bytes)) else f"<{type(source).__name__}>"
    if isinstance(source, io.BytesIO):
        return _Reader.from_buffer(source.getbuffer()), name
    raw = getattr(source, "raw", source)
    if isinstance(raw, io.FileIO) and not raw.closed and stat.S_ISREG(os.fstat(raw.fileno()).st_mode):
        # A file of the system: read through a descriptor of its own, by position, without the
        # GIL (the file object's position stays where it is).
        return _Reader(os.dup(raw.fileno())), name
    seek = getattr(source, "seek", None)
    seekable = getattr(source, "seekable", None)
    if seek is None or (seekable is not None and not seekable()):
        # Read once, to its end, from where it is.
        data = source.read()
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError(f"{name}: reading gave {type(data).__name__}, not bytes: open the file in binary mode")
        return _Reader.from_buffer(data), name
    size = seek(0, io.SEEK_END)
    if size is None:
        size = source.tell()
    return _Reader.from_source(_read_at(source), int(size)), name


def _read_at(source: Any) -> Any:
    """read_at(offset, view) -> count over a seekable file object."""
    seek = source.seek
    readinto = getattr(source, "readinto", None)
    if readinto is not None:
        def read_at(offset: int, view: memoryview) -> int:
            seek(offset)
            return int(readinto(view) or 0)
        return read_at
    read = source.read

    def read_bytes(offset: int, view: memoryview) -> int:
        seek(offset)
        data = read(len(view))
        view[:len(data)] = data
        return len(data)
    return read_bytes


def is_orvel(path: Source) -> bool:
    """Whether the file (a path or a binary file object) is an Orvel file: False for empty,
    short or foreign files, and for directories, FIFOs and devices (anything that is not a
    regular file); OSError when the path cannot be opened. A file object's position is kept."""
    if isinstance(path, (str, bytes, os.PathLike)):
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False            # a directory, or a FIFO whose open would wait for a writer
        reader = _Reader(path)
    else:
        position = path.tell() if hasattr(path, "tell") else None
        try:
            reader, _ = _open(path)
        except (OSError, ValueError, TypeError):
            return False
        finally:
            if position is not None:
                path.seek(position)
    try:
        return bool(reader.is_orvel())
    finally:
        reader.close()


def imread(path: Source, block: BlockLike = None, partial: bool = False) -> np.ndarray[Any, np.dtype[np.float32]]:
    """The main array of a block, as image readers return theirs: `y` of a spectrum, `spectra`
    of an image or a time series, `traces` of traces; a multi-region map has no one array
    (ask OrvelFile.read for its regions). `block` and `partial` as for OrvelFile.read."""
    with OrvelFile(path) as f:
        request = f._resolve(block)
        description = f._describe(request)
        kind = description["kind"]
        if description["by_region"]:
            raise InvalidRequestError(f"{f._name}: block {_show(request)} is a {kind} of "
                                      f"{len(description['regions'])} regions, not one array: "
                                      "read it with OrvelFile.read", f._name)
        result: Any = f.read(request, partial)
        if hasattr(result, "y"):
            return np.asarray(result.y)
        for name in ("spectra", "traces"):
            if hasattr(result, name):
                return np.asarray(getattr(result, name))
    raise CorruptFileError(f"{f._name}: block {_show(request)} holds no array")
