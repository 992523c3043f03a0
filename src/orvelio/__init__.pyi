# Types of the module's top level (bound at import by the extension). Generated with
# `python -m nanobind.stubgen -m orvelio`, then typed by hand; tests/stubs/orvelio.pyi holds the
# generated text that this file was checked against.
import array as array
import sys
import warnings as warnings
from collections.abc import Iterable, Sequence
from os import PathLike
from struct import unpack as unpack
from typing import Any, TypeAlias

import numpy
import numpy.typing as npt

if sys.version_info < (3, 13):
    import imghdr as imghdr

np = numpy

__version__: str

_Path: TypeAlias = str | bytes | PathLike[str] | PathLike[bytes]
_Value: TypeAlias = int | float | str
_F4: TypeAlias = npt.NDArray[numpy.float32]
_F8: TypeAlias = npt.NDArray[numpy.float64]

class BaseDataReturn:
    """Base class for data object returned by .getOrvelData()."""

    description: str
    dimension: str
    dataType: str
    derivative: str
    parameters: dict[str, _Value]
    x: _F8
    minY: _Value
    maxY: _Value
    def __init__(self, dimension: str, dataType: str, deriv: str, parameters: dict[str, _Value],
                 x: Any, minY: Any, maxY: Any) -> None: ...

class SingleDataReturn(BaseDataReturn):
    """Single spectrum data object returned by .getOrvelData() for 2D datablocks."""

    y: _F4
    def __init__(self, y: Any, **base: Any) -> None: ...

class ImageDataReturn(BaseDataReturn):
    """Hyperspectral data object returned by .getOrvelData() for 3D image datablocks."""

    mapX: _F8
    mapY: _F8
    spectra: _F4
    def __init__(self, mapX: Any, mapY: Any, spectra: Any, **base: Any) -> None: ...

class ImageTRCDataReturn(BaseDataReturn):
    """Trace maps returned by .getOrvelData() for 3D image TRC datablocks."""

    mapX: _F8
    mapY: _F8
    labels: list[str]
    traces: _F4
    def __init__(self, mapX: Any, mapY: Any, labels: Any, traces: Any,
                 **base: Any) -> None: ...

class TimeResolvedDataReturn(BaseDataReturn):
    """Time-resolved spectra returned by .getOrvelData() for 3D time-resolved datablocks."""

    z: _F8
    spectra: _F4
    def __init__(self, z: Any, spectra: Any, **base: Any) -> None: ...

class TimeResolvedTRCDataReturn(BaseDataReturn):
    """Time-resolved traces returned by .getOrvelData() for 3D time-resolved TRC datablocks."""

    labels: list[str]
    traces: _F4
    def __init__(self, labels: Any, traces: Any, **base: Any) -> None: ...

class Region:
    """Returned as part of a MultiRegionDataReturn."""

    title: str
    mapX: _F8
    mapY: _F8
    start_time: _F8 | None
    spectra: _F4
    def __init__(self, title: str, mapX: Any, mapY: Any, start_time: Any, spectra: Any) -> None: ...

class MultiRegionDataReturn(BaseDataReturn):
    """Multi-region point maps returned by .getOrvelData()."""

    regions: list[Region]
    def __init__(self, regions: Any, **base: Any) -> None: ...

class MultiRegionTRCDataReturn(BaseDataReturn):
    """Multi-region trace maps returned by .getOrvelData()."""

    labels: list[str]
    regions: list[Region]
    def __init__(self, labels: Any, regions: Any, **base: Any) -> None: ...

_DataReturn: TypeAlias = (SingleDataReturn | ImageDataReturn | ImageTRCDataReturn | TimeResolvedDataReturn
                          | TimeResolvedTRCDataReturn | MultiRegionDataReturn | MultiRegionTRCDataReturn)

def help() -> None:
    """Print a help message containing the available functions."""

def listContents(path: _Path | int) -> list[tuple[str, str, str]]:
    """This function returns a list of datablocks for a given file."""

def isOrvelFile(path: _Path | int) -> bool:
    """Tests if the given file is an ORVEL data file."""

def decode_string(s: bytes, encodings: Iterable[str] = ("ascii", "utf8", "latin1")) -> str:
    """Attempt to decode a string"""

def getOrvelData(path: str, datablock: Sequence[str]) -> _DataReturn:
    """Returns the data and data parameters for the specified datablock."""

def getVisImages(path: _Path | int) -> list[dict[str, Any]]:
    """Returns a list with one dictionary per visible image in the file."""

paramDict: dict[str, str]

def OrvelDict() -> dict[str, str]:
    """Returns a dictionary for translating parameter keys to lower_case_strings."""

__test__: dict[str, Any]
