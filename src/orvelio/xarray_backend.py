"""xarray backend for Orvel files: labelled, lazy arrays (``engine="orvelio"``).

    import xarray as xr
    ds = xr.open_dataset("map.orv", engine="orvelio", datablock="AB")      # lazy
    ds = xr.open_dataset("map.orv", engine="orvelio", chunks={})           # dask arrays
    tree = xr.open_datatree("map.orv", engine="orvelio")                   # the whole file

One data variable, named after the data block type ("AB"), per dataset. Every dataset is
built from the core's description of the block (its dimensions, coordinates, quantities and
units), which gives, by kind:

==============  ==========================  ==========================================
kind            data variable dimensions    coordinates
==============  ==========================  ==========================================
spectrum        (spectral,)                 spectral: the x axis
image           (y, x, spectral)            y: mapY, x: mapX, spectral
image-traces    (y, x, trace)               y, x, trace: the labels (spectral apart)
time-series     (time, spectral)            time: z, spectral
time-traces     (trace, spectral)           trace: the labels, spectral
point-map       (spectrum, spectral)        mapX, mapY, start_time along spectrum
trace-map       (spectrum, trace)           mapX, mapY along spectrum, trace (spectral apart)
==============  ==========================  ==========================================

``spectral`` always holds the x axis of the result (``result.x``); where no data dimension
follows it (traces), it is a coordinate of its own dimension. Coordinates and the data variable
carry ``long_name`` and ``units`` (UDUNITS form: ``cm-1``, ``um``, ``s``) where the description
gives them. Multi-region maps give one dataset per region (``region=i``, or a DataTree with one
child per region); a region whose positions form a full grid is (y, x, spectral) or
(y, x, trace), x and y its stage positions (``grid=False``: the list layout). A block cut short
raises TruncatedFileError at open; ``partial=True`` opens it with NaN for the missing values
(attributes ``values_held``, ``values_declared``).

The data variable is lazy: indexing reads only the rows (pixels, time steps, traces,
region spectra) that the index selects, in batches of bounded size, through the reader's
partial reads. Reads are positioned and release the GIL, so threads of one process share one
open file without a lock. Everything a task holds pickles (the path, the request, the
selection): the file is opened again in each process that reads (xarray's file cache).

With ``chunks={}`` dask chunks are whole rows, about CHUNK_BYTES each, split along the slowest
row dimension (y of an image, time, spectrum, trace); any split along it reads nothing twice,
while a split of the values within rows (``spectral`` of an image) reads each row once per
piece.
"""

import importlib
import os
import re
import warnings
from typing import Any

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint, CachingFileManager, DummyFileManager
from xarray.core import indexing

from . import reader as _reader

__all__ = ["OrvelBackendEntrypoint", "open_block", "open_groups", "open_tree", "open_xarray"]

SPECTRAL = "spectral"
# Values per dask chunk and per read batch (bytes of float32).
CHUNK_BYTES = 32 << 20
BATCH_BYTES = 16 << 20
_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]*\Z")


class _Opened:
    """The identity of a dataset's file when it was first opened (None until then): the file
    cache's opener, reopening the path (after the cache dropped the file, in another process),
    refuses a file that is no longer that one. Pickled with the file manager."""

    __slots__ = ("identity",)

    def __init__(self):
        self.identity = None

    def __getstate__(self):
        return self.identity

    def __setstate__(self, identity):
        self.identity = identity


def _open_reader(path, mode="r", opened=None):
    """The file cache's opener: the file opened once per process (again where unpickled)."""
    file = _reader.OrvelFile(path)
    if opened is not None:
        identity = file._reader.identity
        if opened.identity is None:
            opened.identity = identity
        elif identity != opened.identity:
            file.close()
            raise _reader.FileChangedError(f"{path}: the file changed since it was opened", path)
    return file


def _call(file, method, *args, **kwargs):
    """file's private reader's method(*args, **kwargs), its failures as the friendly API's errors."""
    call = getattr(file, "_call", None)
    if call is not None:
        return call(method, *args, **kwargs)
    return getattr(file._reader, method)(*args, **kwargs)


class OrvelArray(BackendArray):
    """The lazy main array of a block (or of one region of a multi-region map).

    Rows are what the file stores one after the other: pixels of an image (its leading
    dimensions y, x), time steps, region spectra, and traces (for image traces, the last
    dimension; a row is then a whole map). Indexing reads the selected rows only."""

    def __init__(self, manager, request, region, shape, rows_last=False, rows_map=None, partial=False, held=None):
        self.manager, self.request, self.region = manager, tuple(request), region
        self.shape, self.dtype = tuple(shape), np.dtype("float32")
        self.rows_last = rows_last
        # The row of each position of the leading dimensions (a region as a grid), else row
        # by row; with `partial`, rows the file does not hold whole read as NaN, and a spectrum
        # holds `held` values, NaN after them.
        self.rows_map, self.partial, self.held = rows_map, partial, held

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.OUTER, self._getitem)

    def _getitem(self, key):
        picks = [np.arange(n)[k] for n, k in zip(self.shape, key)]
        kept = [np.ndim(p) > 0 for p in picks]          # an int drops its dimension
        picks = [np.atleast_1d(p) for p in picks]
        if self.rows_last:                              # row k: a whole map, shape[:-1]
            rows, inner = picks[-1], picks[:-1]
            grid = np.ix_(*inner) if inner else ()
            out = np.empty(tuple(len(p) for p in inner) + (len(rows),), self.dtype)
            self._read(rows, lambda got, at: out.__setitem__(
                (Ellipsis, at), np.moveaxis(got.reshape((-1,) + self.shape[:-1])[(slice(None),) + grid], 0, -1)))
        else:                                           # leading dimensions number the rows
            lead, inner = picks[:-1], picks[-1]
            rows = (self.rows_map[np.ix_(*lead)].ravel() if self.rows_map is not None
                    else np.ravel_multi_index(np.ix_(*lead), self.shape[:-1]).ravel() if lead
                    else np.zeros(1, np.int64))
            out = np.empty((len(rows), len(inner)), self.dtype)
            if len(inner) == self.shape[-1] and np.array_equal(inner, np.arange(len(inner))):
                self._read(rows, None, out)             # whole rows: straight into the result
            else:
                self._read(rows, lambda got, at: out.__setitem__(at, got[:, inner]))
            out = out.reshape(tuple(len(p) for p in lead) + (len(inner),))
        return out[tuple(slice(None) if k else 0 for k in kept)]

    def _read(self, rows, store, out=None):
        """Reads `rows` into `out`, or in batches of at most BATCH_BYTES, store(values, slice)
        each."""
        file = self.manager.acquire()
        rows = np.asarray(rows, np.int64)
        if out is not None:
            self._rows(file, rows, out)
            return
        length = int(np.prod(self.shape[:-1])) if self.rows_last else self.shape[-1]
        step = max(1, BATCH_BYTES // max(1, 4 * length))
        for start in range(0, len(rows), step):
            part = rows[start:start + step]
            got = np.empty((len(part), length), self.dtype)
            self._rows(file, part, got)
            store(got, slice(start, start + len(part)))

    def _rows(self, file, rows, out):
        if not self.partial:
            _call(file, "read_rows", self.request, rows, out, region=self.region)
        elif self.held is None:
            file._read_rows(self.request, rows, out, self.region, partial=True)
        else:
            got = np.empty((len(rows), self.held), self.dtype)
            file._read_rows(self.request, rows, got, self.region, partial=True)
            out[:, :self.held] = got
            out[:, self.held:] = np.nan


def _attr_value(value):
    if isinstance(value, (bool, np.bool_)):
        return int(value)
    if isinstance(value, (int, float, str, np.integer, np.floating)):
        return value
    return str(value)


def _attrs(parameters):
    """The parameters that netCDF and zarr can store as attributes: keys that are names
    (a letter, then letters, digits, underscores), values int, float or str."""
    return {k: _attr_value(v) for k, v in parameters.items() if isinstance(k, str) and _NAME.match(k)}


def _labels(c):
    """A coordinate's attributes from the description: long_name and units (UDUNITS form)."""
    attrs = {}
    if c["long_name"]:
        attrs["long_name"] = c["long_name"]
    if c["units"]["udunits"]:
        attrs["units"] = c["units"]["udunits"]
    return attrs


def _coordinate(c, dim, info):
    """A coordinate variable: an axis (values equal to the full read's), or per-row values."""
    axis = c["axis"]
    if axis is not None:
        values = np.linspace(axis["first"], axis["last"], axis["count"])
    elif c["row_info"] == "labels":
        values = np.array(list(info["labels"]), dtype=object)
    else:
        values = info.get(c["row_info"])
        if values is None:
            return None
        values = np.asarray(values, float)
    return xr.Variable((dim,), values, _labels(c))


def _spectral(desc):
    """The x axis as a coordinate variable: values equal to the result's x."""
    return _coordinate(desc["spectral"], SPECTRAL, {})


def _chunks(shape, rows_last):
    """Preferred chunks: whole rows, about CHUNK_BYTES each, split along the row dimension
    that varies slowest (y of an image, time, spectrum, trace)."""
    if len(shape) < 2:
        return shape
    if rows_last:
        per = 4 * int(np.prod(shape[:-1]))
        return tuple(shape[:-1]) + (max(1, min(shape[-1], CHUNK_BYTES // max(1, per))),)
    per = 4 * int(np.prod(shape[1:]))
    return (max(1, min(shape[0], CHUNK_BYTES // max(1, per))),) + tuple(shape[1:])


def _data_variable(manager, desc, shape, region=None, dims=None, rows_map=None, partial=False, held=None):
    dims = dims or tuple(d["name"] for d in desc["dims"])
    rows_last = len(dims) > 1 and desc["dims"][-1]["rows"]
    array = OrvelArray(manager, desc["request"], region, shape, rows_last, rows_map, partial, held)
    values = desc["values"]
    attrs = {}
    if values["long_name"]:
        attrs["long_name"] = values["long_name"]
    if values["units"]["udunits"]:
        attrs["units"] = values["units"]["udunits"]
    var = xr.Variable(dims, indexing.LazilyIndexedArray(array), attrs)
    var.encoding["preferred_chunks"] = dict(zip(dims, _chunks(shape, rows_last)))
    return var


class _Borrowed(DummyFileManager):
    """An OrvelFile of the caller's: the datasets made from it leave it open."""

    def close(self, needs_lock=True):
        pass


class _Source:
    """One open file, shared by the datasets made from it until they are closed. Pickles as its
    file manager: a path is opened again on the other side (and must be the same file); a
    file object cannot be."""

    def __init__(self, path):
        self._parts, self._block_attrs = {}, {}
        if isinstance(path, (str, bytes, os.PathLike)):
            self.path = os.fsdecode(os.fspath(path))
            self.manager = CachingFileManager(_open_reader, self.path, mode="r", kwargs={"opened": _Opened()})
            self.manager.acquire()
        elif isinstance(path, _reader.OrvelFile):    # to_xarray of a file object or buffer
            self.path = path._name
            self.manager = _Borrowed(path)
        else:
            file = _reader.OrvelFile(path)
            self.path = file._name
            self.manager = DummyFileManager(file)

    @property
    def file(self):
        return self.manager.acquire()

    def close(self):
        self.manager.close()

    def describe(self, datablock):
        """(description, per-row values) of the block `datablock` names (a Block, a triple, a
        data block type alone, or None for the file's only block)."""
        file = self.file
        request = tuple(file.describe(datablock).request)
        return file._describe(request), _call(file, "info", request)  # described once per open file

    def parts(self, desc):
        """(x axis as Coordinates, its index made, attributes from the parameters) of a block:
        made once, shared by its datasets (the regions of a map: one copy of the axis); each
        parameter block made into attributes once."""
        request = tuple(desc["request"])
        if request not in self._parts:
            attrs = {}
            for block in desc["parameters"].blocks:
                if id(block) not in self._block_attrs:
                    self._block_attrs[id(block)] = (block, _attrs(block))
                attrs.update(self._block_attrs[id(block)][1])
            self._parts[request] = (xr.Coordinates({SPECTRAL: _spectral(desc)}), attrs)
        return self._parts[request]


def _block_dataset(source, desc, info, region=None, partial=False, grid=True):
    """The dataset of a block (or of region `region` of a multi-region map): see open_block."""
    name = desc["request"][0]
    spectral, attrs = source.parts(desc)
    attrs = dict(attrs, datablock=" ".join(desc["request"]), kind=desc["kind"])
    if desc["acquired"]["utc"] is not None:
        attrs["acquired"] = _iso_utc(desc["acquired"]["utc"])
    coords = {}
    shape = tuple(desc["shape"])
    along = info
    held = None
    if desc["values_held"] != desc["values_declared"]:
        what = (f"data block {' '.join(desc['request'])} holds {desc['values_held']} of its "
                f"{desc['values_declared']} values")
        if not partial:
            raise _reader.TruncatedFileError(f"{source.path}: the file is cut short: {what}", source.path)
        nan = _reader._nan_text(desc["values_declared"] - desc["values_held"], desc["kind"] != "spectrum")
        warnings.warn(f"{source.path}: {what}: {nan}", UserWarning, stacklevel=2)
        attrs.update(values_held=desc["values_held"], values_declared=desc["values_declared"])
        if desc["kind"] == "spectrum":
            held, shape = shape[0], (desc["x"]["count"],)
        partial = True
    else:
        partial = False
    if desc["by_region"]:
        regions = desc["regions"]
        if region is None or not isinstance(region, (int, np.integer)) or not 0 <= region < len(regions):
            what = "choose one with region=" if region is None else f"region {region!r} is not one of them"
            raise _reader.InvalidRequestError(
                f"{source.path}: {' '.join(desc['request'])} is a multi-region map of {len(regions)} regions "
                f"(0 to {len(regions) - 1}): {what}, or open them all with open_datatree", source.path)
        region = int(region)
        along = {**info, **info["regions"][region]}
        shape = tuple(regions[region]["rows"] if d["name"] == "spectrum" and not d["size"] else d["size"]
                      for d in desc["dims"])
        attrs.update(_region_attrs(regions[region], region))
        if grid and regions[region]["grid"] != "none":
            return _grid_dataset(source, desc, regions[region], along, region, shape, spectral, attrs, partial)
    for d in desc["dims"]:
        for c in d["coordinates"]:
            if c["name"] == SPECTRAL:  # the block's, shared
                continue
            var = _coordinate(c, d["name"], along)
            if var is not None:
                coords[c["name"]] = var
    var = _data_variable(source.manager, desc, shape, region, partial=partial, held=held)
    return xr.Dataset({name: var}, coords=spectral.assign(coords), attrs=attrs)


def _grid_dataset(source, desc, r, along, region, shape, spectral, attrs, partial):
    """A region whose positions are a full nx x ny grid: (y, x, spectral), or (y, x, trace),
    with x and y from its stage positions and its other per-position values along (y, x)."""
    nx, ny = int(r["nx"]), int(r["ny"])
    rows = np.arange(nx * ny)
    rows_map = rows.reshape(ny, nx) if r["grid"] == "x_fastest" else rows.reshape(nx, ny).T
    names = {"mapX": ("x",), "mapY": ("y",)}
    coords = {}
    for c in desc["dims"][0]["coordinates"]:         # the positions' coordinates
        values = along.get(c["row_info"])
        if values is None:
            continue
        values = np.asarray(values, float)[rows_map]
        dims = names.get(c["name"], ("y", "x"))
        values = values[0] if dims == ("x",) else values[:, 0] if dims == ("y",) else values
        coords[dims[0] if len(dims) == 1 else c["name"]] = xr.Variable(dims, values, _labels(c))
    last = desc["dims"][-1]["name"]
    var = _data_variable(source.manager, desc, (ny, nx, shape[-1]), region, ("y", "x", last), rows_map, partial)
    return xr.Dataset({desc["request"][0]: var}, coords=spectral.assign(coords), attrs=attrs)


def _iso_utc(seconds):
    import datetime as dt
    return dt.datetime.fromtimestamp(seconds, dt.timezone.utc).isoformat().replace("+00:00", "Z")


def _region_attrs(r, region):
    attrs = {"title": r["title"], "region": region, "points": int(r["rows"])}
    if r["nx"] > 0:
        attrs.update(nx=int(r["nx"]), ny=int(r["ny"]))
    if isinstance(r["group"], (int, float, str)) and r["group"] != "":
        attrs["group"] = r["group"]
    return attrs


def _close_with(obj, source):
    obj.set_close(source.close)
    return obj


def open_block(path, datablock=None, region=None, drop_variables=None, partial=False, grid=True):
    """The lazy dataset of one block (the backend's open_dataset). A block whose file holds
    fewer values than it declares raises TruncatedFileError at open; with `partial`, a
    UserWarning instead, the attributes values_held and values_declared, and NaN for the values
    missing. A region whose positions are a full grid is (y, x, ...) unless `grid` is False."""
    source = _Source(path)
    try:
        desc, info = source.describe(datablock)
        ds = _block_dataset(source, desc, info, region, partial, grid)
        if drop_variables is not None:
            ds = ds.drop_vars(drop_variables, errors="ignore")
    except BaseException:
        source.close()
        raise
    return _close_with(ds, source)


def _node_names(blocks):
    types = [b.request[0] for b in blocks]
    return [t if types.count(t) == 1 else "_".join(b.request) for t, b in zip(types, blocks)]


def _groups(source, datablock=None, whole=True, partial=False, grid=True):
    """{path: Dataset}: the whole file (one node per block, pictures in the root's attrs), or
    one block at the root; a multi-region block has one child per region."""
    groups = {}
    if whole:
        groups["/"] = xr.Dataset(attrs=_picture_attrs(source))
        blocks = source.file.blocks
        names = ["/" + n for n in _node_names(blocks)]
        source.file._check_copies(blocks, "a tree of every block", per_region=True)
    else:
        blocks, names = [source.file.describe(datablock)], ["/"]
        source.file._check_copies(blocks, "a tree of every region", per_region=True)
    for name, block in zip(names, blocks):
        desc, info = source.describe(block)
        if not desc["by_region"]:
            groups[name] = _block_dataset(source, desc, info, None, partial, grid)
            continue
        # The block's node holds its attributes; each region holds them too, with its own
        # coordinates, so that every region's group opens alone (a netCDF group, say).
        attrs = dict(source.parts(desc)[1], datablock=" ".join(desc["request"]), kind=desc["kind"])
        groups[name] = xr.Dataset(attrs=attrs)
        base = name.rstrip("/")
        for i in range(len(desc["regions"])):
            groups[f"{base}/region_{i}"] = _block_dataset(source, desc, info, i, partial, grid)
    return groups


def _picture_attrs(source):
    attrs = {"pictures": len(source.file.pictures)}
    for i, picture in enumerate(source.file.pictures):
        attrs[f"picture_{i}_title"] = _attr_value(picture.title)
        if picture.format is not None:
            attrs[f"picture_{i}_format"] = picture.format
        for label, value in picture.properties.items():
            key = re.sub(r"\W+", "_", str(label)).strip("_")
            if key and value is not None and not isinstance(value, (bytes, bytearray)):
                attrs.setdefault(f"picture_{i}_{key}", _attr_value(value))
    return attrs


def open_groups(path, datablock=None, drop_variables=None, partial=False, grid=True):
    source = _Source(path)
    try:
        groups = _groups(source, datablock, datablock is None, partial, grid)
        if drop_variables is not None:
            groups = {k: v.drop_vars(drop_variables, errors="ignore") for k, v in groups.items()}
    except BaseException:
        source.close()
        raise
    for ds in groups.values():
        ds.set_close(source.close)
    return groups


def open_tree(path, datablock=None, drop_variables=None, partial=False, grid=True):
    groups = open_groups(path, datablock, drop_variables, partial, grid)
    tree = xr.DataTree.from_dict(groups)
    tree.set_close(next(iter(groups.values()))._close)
    return tree


def open_xarray(path: Any, block: Any, chunks: Any = None, region: int | None = None, partial: bool = False,
                grid: bool = True) -> Any:
    """OrvelFile.to_xarray: what xarray opens for `block` (a Block) with this engine."""
    if block.by_region and region is None:
        return xr.open_datatree(path, engine=OrvelBackendEntrypoint, datablock=block.request, chunks=chunks,
                                partial=partial, grid=grid)
    return xr.open_dataset(path, engine=OrvelBackendEntrypoint, datablock=block.request, region=region,
                           chunks=chunks, partial=partial, grid=grid)


class OrvelBackendEntrypoint(BackendEntrypoint):
    """Orvel spectroscopy files: lazy, labelled blocks (``datablock=``, ``region=``, ``partial=``,
    ``grid=``)."""

    description = "Open Orvel spectroscopy files (spectra, maps, time series) with orvelio"
    url = "https://github.com/orvelio/orvelio#xarray"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "datablock", "region", "partial", "grid")
    supports_groups = True

    def guess_can_open(self, filename_or_obj):
        if not isinstance(filename_or_obj, (str, bytes, os.PathLike)) and not hasattr(filename_or_obj, "seek"):
            return False
        try:
            return _reader.is_orvel(filename_or_obj)
        except (OSError, ValueError):
            return False

    def open_dataset(self, filename_or_obj, *, drop_variables=None, datablock=None, region=None, partial=False,
                     grid=True):
        return open_block(filename_or_obj, datablock, region, drop_variables, partial, grid)

    def open_groups_as_dict(self, filename_or_obj, *, drop_variables=None, datablock=None, partial=False, grid=True):
        return open_groups(filename_or_obj, datablock, drop_variables, partial, grid)

    def open_datatree(self, filename_or_obj, *, drop_variables=None, datablock=None, partial=False, grid=True):
        return open_tree(filename_or_obj, datablock, drop_variables, partial, grid)
