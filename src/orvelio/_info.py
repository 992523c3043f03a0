"""What `orvelio info` shows of a file, as plain data (the command line prints it or its JSON)."""
import os

from ._batch import shown
from .export import _jsonable
from .folders import open_file

_AXIS = {"NPT", "FXV", "LXV", "DXU"}


def _span(values):
    return [float(values[0]), float(values[-1])] if len(values) else None


def _layout(f, b):
    """Where the rows of a block lie: an image's pixel size, origin and field of view, a series'
    time range, trace labels, the regions of a map."""
    out = {}
    info = f._call("info", b.request)
    if "mapX" in info and "mapY" in info:
        mx, my = info["mapX"], info["mapY"]
        px = [float(abs(mx[1] - mx[0])) if len(mx) > 1 else None,
              float(abs(my[1] - my[0])) if len(my) > 1 else None]
        out["pixel_size"] = px
        out["origin"] = [float(mx[0]), float(my[0])] if len(mx) and len(my) else None
        out["field_of_view"] = [p * n if p is not None else None for p, n in zip(px, (len(mx), len(my)))]
    if "z" in info:
        out["time_range"] = _span(info["z"])
    if "labels" in info:
        out["traces"] = list(info["labels"])
    if b.by_region:
        out["regions"] = [{"title": g.title, "nx": g.nx, "ny": g.ny, "points": g.points}
                          for g in f.region_grid(b)]
    return out


def _known(parameters, key, known):
    """{code: value} of the merged parameters whose codes `key` names (but the x axis's), in
    their order: each parameter block, however many blocks share it, looked through once."""
    out = {}
    for block in parameters.blocks:
        if id(block) not in known:
            known[id(block)] = (block, [c for c in block if c in key and c not in _AXIS])
        for c in known[id(block)][1]:
            out[c] = block[c]  # the place of the first block, the value of the last
    return out


def describe(path):
    """What `info` shows of the file at `path`."""
    import orvelio
    key = orvelio.paramDict
    known: dict[int, tuple[dict, list[str]]] = {}
    with open_file(path) as f:
        blocks = []
        for b in f.blocks:
            first, last, npt = b.x
            spectral = b.coords["spectral"]
            acquired = b.acquired
            entry = {"request": list(b.request), "kind": b.kind, "shape": list(b.shape),
                     "dtype": str(b.dtype),
                     "x": {"first": first, "last": last, "points": npt, "units": spectral.units,
                           "display": spectral.display, "label": spectral.long_name},
                     "values": {"long_name": b.values.long_name, "units": b.values.units},
                     "complete": b.complete, "values_held": b.values_held,
                     "values_declared": b.values_declared,
                     "acquired": acquired.isoformat() if acquired is not None else None,
                     "parameters": [{"code": c, "label": key[c], "value": _jsonable(v)}
                                    for c, v in _known(b.parameters, key, known).items()]}
            entry.update(_layout(f, b))
            blocks.append(entry)
        pictures = [{"title": p.title, "format": p.format, "size": len(p.data or b""),
                     "properties": {k: _jsonable(v) for k, v in p.properties.items()}}
                    for p in f.pictures]
    return {"path": shown(path), "blocks": blocks, "pictures": pictures}


def lines(info):
    """The text of `info` for people."""
    nb, npic = len(info["blocks"]), len(info["pictures"])
    yield f"{info['path']}: {nb} block{'s' * (nb != 1)}, {npic} picture{'s' * (npic != 1)}"
    for b in info["blocks"]:
        x = b["x"]
        sep = "+" if "regions" in b else "x"
        cut = "" if b["complete"] else \
            f", cut short: {b['values_held']} of {b['values_declared']} values"
        yield f"  {' '.join(b['request'])}: {b['kind']}, {sep.join(map(str, b['shape']))} {b['dtype']}{cut}"
        unit = f" {x['display']}" if x["display"] else ""
        yield (f"    x: {x['first']:g} .. {x['last']:g}{unit}, {x['points']} points"
               + (f" ({x['label']})" if x["label"] else ""))
        if b["acquired"]:
            yield f"    acquired: {b['acquired']}"
        if b.get("pixel_size"):
            size = " x ".join("?" if v is None else f"{v:g}" for v in b["pixel_size"])
            view = " x ".join("?" if v is None else f"{v:g}" for v in b["field_of_view"])
            yield f"    pixel size {size}, origin {', '.join(f'{v:g}' for v in b['origin'] or [])}, field of view {view}"
        if b.get("time_range"):
            yield f"    time: {b['time_range'][0]:g} .. {b['time_range'][1]:g}"
        if b.get("traces"):
            yield "    traces: " + ", ".join(b["traces"])
        for g in b.get("regions", []):
            grid = f"{g['nx']} x {g['ny']} grid" if g["nx"] is not None else f"{g['points']} points"
            yield f"    {g['title']}: {grid}"
        width = max((len(p["label"]) for p in b["parameters"]), default=0)
        for p in b["parameters"]:
            yield f"    {p['label']:<{width}}  {p['code']}  {p['value']}"
    for k, p in enumerate(info["pictures"]):
        yield f"  picture {k}: {p['title']!r}, {p['format'] or 'unknown format'}, {p['size']} bytes"


def parameters(path, f, block):
    """What `params` shows of a block of the open file `f`."""
    return {"path": shown(path), "parameters": [{"code": p.code, "label": p.label, "value": _jsonable(p.value)}
                                                for p in f.parameters(block).values()]}


def parameter_lines(entry, many):
    """The text of `params` for people (`many`: under the file's name, indented)."""
    rows = entry["parameters"]
    width = max((len(p["label"]) for p in rows), default=0)
    if many:
        yield f"{entry['path']}:"
    for p in rows:
        yield f"{'  ' * many}{p['code']}  {p['label']:<{width}}  {p['value']}"


def ls_entry(path, blocks):
    """`ls --json`: a file's blocks."""
    return {"path": shown(path), "blocks": [
        {"block": " ".join(b.request), "kind": b.kind, "shape": list(b.shape),
         "complete": b.complete} for b in blocks]}


def ls_line(path, blocks):
    parts = []
    for b in blocks:
        shape = "+".join(map(str, b.shape)) + " spectra" if b.by_region else "x".join(map(str, b.shape))
        cut = "" if b.complete else " cut short"
        parts.append(f"{' '.join(b.request)} {b.kind} {shape}{cut}")
    return f"{os.fsdecode(path)}: " + ("; ".join(parts) if parts else "no data blocks")
