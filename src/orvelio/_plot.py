"""`orvelio plot`: a block drawn with matplotlib, labelled from the block's description."""
import os

import numpy as np

from .cli import UsageError
from .export import NothingToWrite

class NothingToPlot(NothingToWrite):
    """A block of no values, or values that do not match the x axis."""


def _label(name, unit):
    return f"{name} ({unit})" if unit else name


def labels(block):
    """{coordinate name | "values": (name, unit as people read it)} of a block, from its
    description; map positions also under "x" and "y"."""
    out = {name: (c.long_name or name, c.display) for name, c in block.coords.items()}
    out["values"] = (block.values.long_name or block.request[0], block.values.display)
    for short, name in (("x", "mapX"), ("y", "mapY")):
        if name in out:
            out.setdefault(short, out[name])
    return out


def pyplot():
    """matplotlib.pyplot, drawing without a display."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def check_output(output, plt):
    """The image format of the file name `output` (its extension); UsageError for one matplotlib
    cannot write or a folder that does not exist."""
    from ._batch import shown
    fmt = os.path.splitext(output)[1][1:].lower() or "png"
    formats = plt.figure().canvas.get_supported_filetypes()
    plt.close("all")
    if fmt not in formats:
        raise UsageError(f"-o: cannot write .{fmt} images; the extension names one of " + ", ".join(sorted(formats)))
    folder = os.path.dirname(output) or "."
    if not os.path.isdir(folder):
        raise UsageError(f"-o: no folder {shown(folder)} to write {shown(output)} in")
    return fmt


def plot(f, block, args, plt):
    """Draws `block` of the open file `f` into args.output (a block cut short only with
    args.partial, its missing values NaN); raises UsageError for a band the block does not
    have, NothingToPlot for a block of no values."""
    from .export import check_complete
    if not args.partial:
        check_complete(f, block, " (--partial plots what it holds)")
    result = f.read(block, args.partial)
    kind, names = block.kind, labels(block)
    x = np.asarray(result.x)
    values = [np.asarray(v) for v in (getattr(result, "y", None), getattr(result, "spectra", None),
                                      getattr(result, "traces", None)) if v is not None]
    values += [np.asarray(g.spectra) for g in getattr(result, "regions", [])]
    if not len(x) or not values or any(v.size == 0 for v in values):
        raise NothingToPlot("the block holds no values to plot")
    along_x = [v for v in values if kind not in ("image-traces", "trace-map")]
    if any(v.shape[-1] != len(x) for v in along_x):
        raise NothingToPlot(f"the block holds {along_x[0].shape[-1]} values per spectrum against "
                            f"an x axis of {len(x)} points (the file is cut short)")
    width, height = args.size
    fig, ax = plt.subplots(figsize=(width, height), layout="constrained")
    try:
        title = _draw(fig, ax, kind, result, args.band, names)
        ax.set_title(f"{os.path.basename(os.fsdecode(args.file))}: {' '.join(block.request)}{title}")
        from .export import atomic_file
        with atomic_file(args.output) as fh:
            fig.savefig(fh, format=args.format, dpi=args.dpi)
    finally:
        plt.close(fig)


def _band(x, band, names):
    """The index of the x value nearest to `band` (which must lie within the axis)."""
    lo, hi = min(x[0], x[-1]), max(x[0], x[-1])
    step = abs(x[-1] - x[0]) / max(len(x) - 1, 1)
    if not lo - step / 2 <= band <= hi + step / 2:
        raise UsageError(f"--band {band:g} is outside the x axis ({x[0]:g} .. {x[-1]:g}"
                         f"{' ' + names['spectral'][1] if names['spectral'][1] else ''})")
    return int(np.argmin(np.abs(x - band)))


def _trace(labels_, band):
    k = 0 if band is None else int(band)
    if band is not None and (k != band or not 0 <= k < len(labels_)):
        raise UsageError(f"--band: trace {band:g} not in 0..{len(labels_) - 1}")
    return k


def _draw(fig, ax, kind, r, band, names):
    """Draws the result; returns what the title adds."""
    x = np.asarray(r.x)
    spectral, value = _label(*names["spectral"]), _label(*names["values"])
    at = ""
    if kind in ("image", "time-series", "point-map") and band is not None:
        k = _band(x, band, names)
        at = f" at {x[k]:g}{' ' + names['spectral'][1] if names['spectral'][1] else ''}"
    if kind == "spectrum":
        ax.plot(x, r.y)
        ax.set(xlabel=spectral, ylabel=value)
    elif kind == "image" and band is not None:
        _grid_map(fig, ax, r.spectra[:, :, k], r.mapX, r.mapY, value, names)
        return at
    elif kind == "time-series" and band is not None:
        ax.plot(r.z, r.spectra[:, k])
        ax.set(xlabel=_label(*names["time"]), ylabel=value)
        return at
    elif kind in ("image", "time-series"):
        spectra = r.spectra.reshape(-1, r.spectra.shape[-1])
        ax.plot(x, np.nanmean(spectra, axis=0))
        ax.set(xlabel=spectral, ylabel=f"Mean {value[0].lower()}{value[1:]}")
        at = f", mean of {len(spectra)} spectra"
    elif kind == "image-traces":
        k = _trace(r.labels, band)
        _grid_map(fig, ax, r.traces[:, :, k], r.mapX, r.mapY, r.labels[k], names)
        return f", {r.labels[k]}"
    elif kind == "time-traces":
        chosen = range(len(r.labels)) if band is None else [_trace(r.labels, band)]
        for i in chosen:
            ax.plot(x, np.asarray(r.traces)[i], label=r.labels[i])
        ax.set(xlabel=spectral, ylabel=value)
        ax.legend()
    elif kind == "point-map" and band is not None:
        _region_map(fig, ax, [np.asarray(g.spectra)[:, k] for g in r.regions], r.regions, value, names)
        return at
    elif kind == "point-map":
        for g in r.regions:
            ax.plot(x, np.nanmean(g.spectra, axis=0), label=g.title)
        ax.set(xlabel=spectral, ylabel=f"Mean {value[0].lower()}{value[1:]}")
        ax.legend()
    elif kind == "trace-map":
        k = _trace(r.labels, band)
        _region_map(fig, ax, [np.asarray(g.spectra)[:, k] for g in r.regions], r.regions, r.labels[k], names)
        return f", {r.labels[k]}"
    if len(x) > 1 and x[0] > x[-1]:
        ax.invert_xaxis()  # the x axis runs as the file stores it (wavenumbers: high to low)
    return at


def _map_axes(ax, names):
    ax.set(xlabel=_label(*names["x"]), ylabel=_label(*names["y"]), aspect="equal")


def _grid_map(fig, ax, values, map_x, map_y, label, names):
    """An image's values at its positions, y increasing upward."""
    if len(map_x) > 1 and len(map_y) > 1:
        mesh = ax.pcolormesh(map_x, map_y, values, shading="nearest")
    else:
        gx, gy = np.meshgrid(map_x, map_y)
        mesh = ax.scatter(gx.ravel(), gy.ravel(), c=np.asarray(values).ravel())
    fig.colorbar(mesh, ax=ax, label=label)
    _map_axes(ax, names)


def _region_map(fig, ax, values, regions, label, names):
    """Every region's values at its stage positions, on one colour scale with one colour bar."""
    import matplotlib.colors
    finite = np.concatenate([v[np.isfinite(v)] for v in values] or [np.zeros(0)])
    norm = matplotlib.colors.Normalize(*(finite.min(), finite.max()) if finite.size else (0, 1))
    for v, g in zip(values, regions):
        points = ax.scatter(g.mapX, g.mapY, c=v, norm=norm, marker="s")
    fig.colorbar(points, ax=ax, label=label)
    _map_axes(ax, names)
