"""A friendly reading API beside the module's exact one.

    from orvelio.reader import OrvelFile

    with OrvelFile("sample.orv") as f:
        f.blocks                    # [<Block AB 2D NONE spectrum (1024,) float32 ...>, ...]
        r = f.read("AB")            # the same result object getOrvelData returns
        f.parameters("AB")["RES"]   # Parameter(code='RES', label='Resolution', value=4.0)

Paths may be str, bytes or os.PathLike. Every failure caused by the file's content or by a
request raises an OrvelError that also derives from the matching builtin exception (ValueError,
KeyError, MemoryError); OSErrors of opening pass through unchanged. Nothing is printed: lines the
exact API prints become UserWarnings.
"""
from __future__ import annotations

import difflib
import os
import re
import sys
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, Union

import numpy as np

if TYPE_CHECKING:
    from orvelio import _orvelio
    from orvelio import (ImageDataReturn, ImageTRCDataReturn, MultiRegionDataReturn,
                         MultiRegionTRCDataReturn, SingleDataReturn, TimeResolvedDataReturn,
                         TimeResolvedTRCDataReturn)

__all__ = [
    "OrvelFile", "Block", "Picture", "Parameter", "Parameters", "RegionGrid", "XRange", "is_orvel", "DataReturn",
    "OrvelError", "NotOrvelFileError", "TruncatedFileError", "CorruptFileError", "UnsupportedFileError",
    "InvalidRequestError", "BlockNotFoundError", "FileTooLargeError",
]

PathType = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
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
_MULTI_REGION = ("point-map", "trace-map")
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


_ERRORS: dict[str, tuple[type[OrvelError], str]] = {
    "not_orvel": (NotOrvelFileError, "not an Orvel file (it does not start with the format's magic number)"),
    "truncated": (TruncatedFileError, "the file is cut short"),
    "corrupt": (CorruptFileError, "the file is damaged"),
    "unsupported": (UnsupportedFileError, "the file holds something this reader does not support"),
    "invalid_request": (InvalidRequestError, "invalid request"),
    "not_found": (BlockNotFoundError, "no such data block in the file"),
    "memory": (FileTooLargeError, "the file declares arrays too large to hold in memory"),
}


def _show(request: Sequence[str]) -> str:
    return " ".join(request)


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
    list of `points` positions (nx and ny None)."""
    title: str
    group: int | float | str
    nx: int | None
    ny: int | None
    points: int


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

    def __iter__(self) -> Iterator[str]:
        blocks = self._blocks
        if len(blocks) == 1:
            return iter(blocks[0])
        return (name for i, block in enumerate(blocks) for name in block
                if not any(name in earlier for earlier in blocks[:i]))

    def __len__(self) -> int:
        if self._len is None:
            self._len = len(self._blocks[0]) if len(self._blocks) == 1 else sum(1 for _ in self)
        return self._len

    def __repr__(self) -> str:
        return repr(dict(self.items()))


def _merged(description: dict[str, Any]) -> dict[str, Any]:
    """A description of the extension's reader with its parameters as Parameters."""
    description["parameters"] = Parameters(description.pop("parameter_blocks"))
    return description


@dataclass(frozen=True)
class Block:
    """A data block, as described without reading its values."""
    request: Request
    kind: Kind
    shape: tuple[int, ...]
    dtype: np.dtype[Any]
    x: XRange
    parameters: Parameters = field(compare=False, repr=False)
    regions: tuple[str, ...] = field(default=(), compare=False, repr=False)

    def __repr__(self) -> str:
        x = f"x {self.x.first:g}..{self.x.last:g}" if self.x.npt else "x empty"
        return (f"<Block {_show(self.request)} {self.kind} shape={self.shape} {self.dtype} "
                f"{x} ({self.x.npt} points)>")


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

    Raises NotOrvelFileError for a file that is not an Orvel file, OSError if the path cannot
    be opened."""

    def __init__(self, path: PathType) -> None:
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"path should be str, bytes or os.PathLike, not {type(path).__name__}")
        self.path = path
        self._name = os.fsdecode(os.fspath(path))
        self._reader = _Reader(path)
        self._descriptions: dict[Request, dict[str, Any]] = {}
        self._listing: list[Request] | None = None
        self._blocks: list[Block] | None = None
        self._pictures: list[Picture] | None = None
        self._closed = False
        if not self._reader.is_orvel():
            self.close()
            raise self._error("not_orvel")

    # -- lifetime

    def close(self) -> None:
        """Closes the file; later calls raise ValueError. Idempotent."""
        self._closed = True
        self._reader.close()

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

    def _block(self, request: Request) -> Block:
        d = self._describe(request)
        first, last, npt = d["x"]
        return Block(tuple(d["request"]), d["kind"], tuple(d["shape"]),
                     np.dtype(d["dtype"]), XRange(float(first), float(last), int(npt)),
                     d["parameters"], tuple(r["title"] for r in d["regions"]))

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

    def read(self, block: BlockLike = None) -> DataReturn:
        """The block's data: the result object getOrvelData returns for it. `block`: a Block, a
        data block type alone ("AB") when the file holds one block of it, a triple
        ("AB", "2D", "NONE"), or None for the file's only block."""
        result: DataReturn = self._call("read", self._resolve(block), warn=True)
        return result

    def describe(self, block: BlockLike = None) -> Block:
        """The Block for a request (see read()), without reading its values."""
        return self._block(self._resolve(block))

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
        if d["kind"] not in _MULTI_REGION:
            raise InvalidRequestError(f"{self._name}: block {_show(request)} is a {d['kind']}, "
                                      "not a multi-region map", self._name)
        return [_grid(r["title"], r["rows"]) for r in d["regions"]]

    def to_xarray(self, block: BlockLike = None, chunks: Any = None, region: int | None = None) -> Any:
        """The block as xarray objects (needs the extra: pip install 'orvelio[xarray]'): the
        lazy Dataset that xarray.open_dataset(path, engine="orvelio", datablock=block,
        region=region, chunks=chunks) returns; for a multi-region map without `region`, the
        DataTree of xarray.open_datatree (one child per region). `block` as for read()."""
        from .xarray_backend import open_xarray
        return open_xarray(self.path, self.describe(block), chunks, region)


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


_GRID = re.compile(r"Region (?P<group>.*) \((?:(?P<nx>\d+) x (?P<ny>\d+)|(?P<points>\d+) points)\)\Z")


def _number(text: str) -> int | float | str:
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def _grid(title: str, rows: int) -> RegionGrid:
    m = _GRID.match(title)
    if not m:
        return RegionGrid(title, "", None, None, rows)
    if m["points"] is not None:
        return RegionGrid(title, _number(m["group"]), None, None, int(m["points"]))
    nx, ny = int(m["nx"]), int(m["ny"])
    return RegionGrid(title, _number(m["group"]), nx, ny, nx * ny)


def is_orvel(path: PathType) -> bool:
    """Whether the file is an Orvel file: False for empty, short or foreign files; OSError only
    when the path cannot be opened."""
    reader = _Reader(path)
    try:
        return bool(reader.is_orvel())
    finally:
        reader.close()
