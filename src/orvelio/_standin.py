"""A temporary pure-Python reader object with the interface of the extension's private reader
class, built on the module's top-level functions. It reads whole blocks where the extension
reads headers only; orvelio.reader uses it only while the extension lacks its own."""
from __future__ import annotations

import contextlib
import errno
import io
import os
import struct
import sys
import warnings
from typing import Any

import numpy as np

_KINDS = {
    "SingleDataReturn": "spectrum",
    "ImageDataReturn": "image",
    "ImageTRCDataReturn": "image-traces",
    "TimeResolvedDataReturn": "time-series",
    "TimeResolvedTRCDataReturn": "time-traces",
    "MultiRegionDataReturn": "point-map",
    "MultiRegionTRCDataReturn": "trace-map",
}
_MAIN = {"spectrum": "y", "image": "spectra", "image-traces": "traces", "time-series": "spectra",
         "time-traces": "traces"}


def _api() -> Any:
    return sys.modules["orvelio"]


def _code(exc: BaseException) -> str:
    """The kind of failure an exception of the top-level functions stands for."""
    text = str(exc)
    if isinstance(exc, OSError):
        return "corrupt" if exc.errno == errno.EINVAL else "io"
    if isinstance(exc, struct.error):
        return "truncated"
    if isinstance(exc, MemoryError):
        return "memory"
    if text.startswith("Can't process a non-Orvel file"):
        return "not_orvel"
    if text.startswith("No data block exists"):
        return "not_found"
    if text.startswith(("Invalid data block type", "Incorrect dimensions", "Invalid deriv type")):
        return "invalid_request"
    if text.startswith("Unexpected value for reading parameter type"):
        return "unsupported"
    return "corrupt"


def _tagged(exc: BaseException) -> BaseException:
    exc.orvel_code = _code(exc)  # type: ignore[attr-defined]
    exc.orvel_offset = None  # type: ignore[attr-defined]
    return exc


class Reader:
    def __init__(self, path: Any) -> None:
        self._name = os.fsdecode(os.fspath(path))
        with open(self._name, "rb") as f:
            self.size = os.fstat(f.fileno()).st_size
            self._head = f.read(4)
        self._closed = False
        self._results: dict[tuple[str, str, str], Any] = {}

    def _check(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on closed file")

    def close(self) -> None:
        self._closed = True
        self._results.clear()

    def is_orvel(self) -> bool:
        self._check()
        return self._head == b"\x0a\x0a\xfe\xfe"

    def _call(self, function: Any, *args: Any) -> Any:
        self._check()
        try:
            return function(self._name, *args)
        except Exception as exc:
            raise _tagged(exc)

    def list(self) -> list[tuple[str, str, str]]:
        return self._call(_api().listContents)

    def _result(self, request: Any, warn: bool = False) -> Any:
        key = tuple(word.upper() for word in request)
        if key in self._results:
            return self._results[key]
        out = io.StringIO()
        try:
            with contextlib.redirect_stdout(out):
                result = self._call(_api().getOrvelData, key)
        finally:
            if warn:
                for line in out.getvalue().splitlines():
                    warnings.warn(line, UserWarning, stacklevel=4)
            else:
                sys.stdout.write(out.getvalue())
        self._results[key] = result
        return result

    def read(self, request: Any, warn: bool = False) -> Any:
        self._results.pop(tuple(word.upper() for word in request), None)
        return self._result(request, warn)

    def describe(self, request: Any) -> dict[str, Any]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            r = self._result(request, warn=True)
        kind = _KINDS[type(r).__name__]
        x = r.x
        regions = []
        if kind in ("point-map", "trace-map"):
            regions = [{"title": g.title, "rows": len(g.spectra)} for g in r.regions]
            shape: tuple[int, ...] = tuple(g["rows"] for g in regions)
            rows, length = sum(shape), len(x)
        else:
            main = getattr(r, _MAIN[kind])
            shape = tuple(main.shape)
            if kind == "image-traces":
                rows, length = shape[2], shape[0] * shape[1]
            elif kind == "spectrum":
                rows, length = 1, len(x)
            else:
                rows, length = shape[0], shape[-1] if len(shape) > 1 else 0
        return {"request": (r.dataType, r.dimension, r.derivative), "kind": kind, "shape": shape,
                "dtype": "float32",
                "x": (float(x[0]) if len(x) else float("nan"), float(x[-1]) if len(x) else float("nan"),
                      len(x)),
                "parameters": dict(r.parameters), "rows": rows, "row_length": length, "regions": regions}

    def info(self, request: Any) -> dict[str, Any]:
        r = self._result(request)
        out: dict[str, Any] = {}
        for name in ("mapX", "mapY", "labels", "z"):
            if hasattr(r, name):
                out[name] = getattr(r, name)
        if hasattr(r, "regions"):
            out["regions"] = [{"title": g.title, "mapX": g.mapX, "mapY": g.mapY, "start_time": g.start_time}
                              for g in r.regions]
        return out

    def read_rows(self, request: Any, rows: Any, out: np.ndarray, region: int | None = None) -> None:
        r = self._result(request)
        kind = _KINDS[type(r).__name__]
        rows = np.asarray(rows, dtype=np.int64)
        if kind in ("point-map", "trace-map"):
            source = r.regions[region].spectra
        elif kind == "image":
            source = r.spectra.reshape(-1, r.spectra.shape[-1])
        elif kind == "image-traces":
            source = np.moveaxis(r.traces, 2, 0).reshape(r.traces.shape[2], -1)
        elif kind == "spectrum":
            source = r.y[np.newaxis]
        else:
            source = getattr(r, _MAIN[kind])
        out[...] = source[rows]

    def pictures(self) -> list[dict[str, Any]]:
        return self._call(_api().getVisImages)
