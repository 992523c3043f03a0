import contextlib
import io
import os
import pathlib
import pickle
import sys
import tempfile
import warnings

import numpy as np
import pytest

import orvelio
from builder import multiregion_file, region

NAMES = ["BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn",
         "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn", "MultiRegionDataReturn", "Region",
         "MultiRegionTRCDataReturn"]

BASE_TEXT = ("This object contains:\n\tdimension of file (.dimension)\n\tdata block type (.dataType)\n"
             "\tderivative type (.derivative)\n"
             "\tdictionary of parameters with parameter name then value (.parameters)\n"
             "\tspectrum x coordinates (.x)\n\tminimum and maximum y values (.minY and .maxY)\n")
MAP = ("\t\t\tMap x\n\t\t  x1  x2  x3  x4...xn\nMap y\t\ty1\n\t\ty2\n\t\ty3\n\t\t.\n\t\t.\n\t\tyn\n\t\n")
REGION = ("\n\teach region is a Region object containing:\n\t\tdescription of region (title)\n"
          "\t\tx mapping coordinates array (mapX)\n\t\ty mapping coordinates array (mapY)\n")
APPENDED = {
    "BaseDataReturn": "",
    "SingleDataReturn": "\ty data points (.y)\n",
    "ImageDataReturn": "\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n"
        "\t3D numpy array containing the spectrum associated with the x and y mapping coordinates (.spectra)\n"
        + MAP + "\taccess the spectrum with returnedObject.spectra[row][column]\n",
    "ImageTRCDataReturn": "\tx mapping coordinates (.mapX)\n\ty mapping coordinates (.mapY)\n"
        "\ta list containing the names of the trace blocks (.labels)\n"
        "\t3D numpy array containing the trace values associated with the x and y mapping coordinates (.traces)\n"
        + MAP + "\taccess the trace maps with returnedObject.traces[:,:,label index]\n",
    "TimeResolvedDataReturn": "\tz (time) axis coordinates (.z)\n"
        "\t2D numpy array containing the spectrum associated with the z time coordinates (.spectra)\n"
        "\taccess the spectrum with returnedObject.spectra[z]\n",
    "TimeResolvedTRCDataReturn": "\ta list containing the names of the trace blocks (.labels)\n"
        "\t2D numpy array containing trace values (.traces)\n"
        "\taccess the trace with returnedObject.traces[label index]\n",
    "MultiRegionDataReturn": "\tlist of regions (.regions)\n" + REGION
        + "\t\ttimestamps of spectrum acquisition array (start_time)\n"
        "\t\t2D array containing spectra in the region (spectra)\n\t\taccess a spectrum with\n"
        "\t\t\treturnedObject.regions[region index].spectra[row]",
    "MultiRegionTRCDataReturn": "\ta list containing the names of the trace blocks (.labels)\n"
        "\tlist of regions (.regions)\n" + REGION
        + "\t\t2D array containing traces in the region (spectra)\n"
        "\t\taccess the traces for a position with\n\t\t\treturnedObject.regions[region index].spectra[row]",
}
OWN = {"BaseDataReturn": [], "SingleDataReturn": ["y"], "ImageDataReturn": ["mapX", "mapY", "spectra"],
       "ImageTRCDataReturn": ["mapX", "mapY", "labels", "traces"], "TimeResolvedDataReturn": ["z", "spectra"],
       "TimeResolvedTRCDataReturn": ["labels", "traces"], "MultiRegionDataReturn": ["regions"],
       "MultiRegionTRCDataReturn": ["labels", "regions"]}
BASE_ARGS = ["dimension", "dataType", "deriv", "parameters", "x", "minY", "maxY"]
REGION_ARGS = ["title", "mapX", "mapY", "start_time", "spectra"]


def make_region(n=1):
    return orvelio.Region(f"Region {n} (2 points)", np.array([0.0, 1.0]), np.array([2.0, 3.0]),
                          np.array([4.0, 5.0]), np.ones((2, 3), np.float32))


def arg_value(name):
    return {"dimension": "3D", "dataType": "AB", "deriv": "1DER", "parameters": {"NPT": 3, "DXU": "WN"},
            "minY": 0.5, "maxY": 2.5, "labels": ["a", "b"], "regions": [make_region(1), make_region(2)]
            }.get(name) or np.arange(6, dtype=np.float32) + len(name)


def build(name, positional=False):
    own = {a: arg_value(a) for a in OWN[name]}
    base = {a: arg_value(a) for a in BASE_ARGS}
    cls = getattr(orvelio, name)
    if name == "BaseDataReturn":
        return (cls(*base.values()) if positional else cls(**base)), {**base}
    return (cls(*own.values(), **base) if positional else cls(**own, **base)), {**own, **base}


def same(a, b):
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, orvelio.Region):
        return type(b) is orvelio.Region and vars(a).keys() == vars(b).keys() and all(
            same(v, vars(b)[k]) for k, v in vars(a).items())
    return type(a) is type(b) and a == b


RESULTS = [n for n in NAMES if n != "Region"]


@pytest.mark.parametrize("positional", [False, True])
@pytest.mark.parametrize("name", RESULTS)
def test_result_holds_the_objects_passed_and_describes_itself(name, positional):
    r, passed = build(name, positional)
    attrs = [a if a != "deriv" else "derivative" for a in passed]
    assert list(vars(r)) == attrs + ["description"]
    assert all(getattr(r, a) is v for a, v in zip(attrs, passed.values()))
    assert not hasattr(r, "deriv")
    assert r.description == BASE_TEXT + APPENDED[name]
    assert str(r) == repr(r) == r.description
    r.description = "changed"
    assert str(r) == repr(r) == "changed"
    del r.description
    for convert in (str, repr):
        with pytest.raises(AttributeError):
            convert(r)


@pytest.mark.parametrize("positional", [False, True])
def test_region(positional):
    values = [arg_value(a) for a in REGION_ARGS]
    values[0], values[3] = "Region 1 (4 points)", None
    r = orvelio.Region(*values) if positional else orvelio.Region(**dict(zip(REGION_ARGS, values)))
    assert list(vars(r)) == REGION_ARGS
    assert all(getattr(r, a) is v for a, v in zip(REGION_ARGS, values))
    assert repr(r) == str(r) == "Region 1 (4 points)"


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("name", NAMES)
def test_pickle_round_trip(name, protocol):
    r = make_region() if name == "Region" else build(name)[0]
    r.extra = [1, 2]
    copy = pickle.loads(pickle.dumps(r, protocol))
    assert type(copy) is type(r) and copy is not r
    assert list(vars(copy)) == list(vars(r)) and all(same(v, getattr(copy, k)) for k, v in vars(r).items())
    assert repr(copy) == repr(r)


@pytest.mark.parametrize("name", NAMES)
def test_ordinary_classes_of_the_package(name):
    cls = getattr(orvelio, name)
    assert type(cls) is type
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("orvelio", name, name)
    base = object if name in ("BaseDataReturn", "Region") else orvelio.BaseDataReturn
    assert cls.__bases__ == (base,)
    methods = {"BaseDataReturn": ["__init__", "__str__", "__repr__"], "Region": ["__init__", "__repr__"]}
    assert [k for k in vars(cls) if k.startswith("__") and callable(vars(cls)[k])
            and k not in ("__dict__", "__weakref__")] == methods.get(name, ["__init__"])


def test_classes_are_bound_in_order():
    assert [n for n in vars(orvelio) if n in NAMES] == NAMES


def test_user_subclasses_and_the_forwarding_through_the_hierarchy():
    calls = []

    class Middle(orvelio.BaseDataReturn):
        def __init__(self, **kw):
            calls.append(sorted(kw))
            super().__init__(**kw)
            self.description += "middle\n"

    class Mine(orvelio.SingleDataReturn, Middle):
        def __init__(self, note, **kw):
            self.note = note
            super().__init__(**kw)

    kw = {a: arg_value(a) for a in BASE_ARGS}
    r = Mine("n", y=arg_value("y"), **kw)
    assert calls == [sorted(BASE_ARGS)]
    assert r.note == "n" and r.derivative == "1DER"
    assert str(r) == BASE_TEXT + "middle\n" + APPENDED["SingleDataReturn"]


def returned_results():
    """Every result getOrvelData gives for the builder's files of every kind."""
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "fuzz"))
    from make_corpus import seeds
    files = seeds()
    rows = region(1, 2, 2, [0, 1, 2, 3]) + region(2, 0, 0, [4])
    files["point map"] = multiregion_file(rows, [(k, [1.0] * 6, 0.1 * k) for k in range(5)]).build()
    files["trace map"] = multiregion_file(rows[1:], [(k, [2.0] * 5, None, f"t{k}") for k in range(5)],
                                          name="TRC").build()
    with tempfile.TemporaryDirectory() as tmp:
        for name, data in files.items():
            path = os.path.join(tmp, name)
            with open(path, "wb") as out:
                out.write(data)
            if orvelio.isOrvelFile(path):
                for request in orvelio.listContents(path):
                    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
                        warnings.simplefilter("ignore")
                        try:
                            r = orvelio.getOrvelData(path, request)
                        except Exception:  # some seeds are malformed on purpose
                            continue
                    yield r


def test_returned_results_are_what_their_class_makes_of_the_same_values():
    kinds = set()
    for r in returned_results():
        cls = type(r)
        kinds.add(cls.__name__)
        values = {("deriv" if k == "derivative" else k): v for k, v in vars(r).items() if k != "description"}
        made = cls(**values)
        assert list(vars(r)) == list(vars(made)) and r.description == made.description
        for region in getattr(r, "regions", []):
            assert type(region) is orvelio.Region and list(vars(region)) == REGION_ARGS
    assert kinds == set(OWN) - {"BaseDataReturn"}


def test_getOrvelData_calls_constructors_replaced_by_the_user(monkeypatch):
    seen = []
    base_init, single_init = orvelio.BaseDataReturn.__init__, orvelio.SingleDataReturn.__init__

    def spy(original, label):
        def init(self, *args, **kw):
            seen.append(label)
            original(self, *args, **kw)
        return init

    monkeypatch.setattr(orvelio.BaseDataReturn, "__init__", spy(base_init, "base"))
    first = next(returned_results())
    assert seen == ["base"] and type(first) is orvelio.SingleDataReturn and first.y is not None
    monkeypatch.setattr(orvelio.SingleDataReturn, "__init__", spy(single_init, "single"))
    monkeypatch.setattr(orvelio.SingleDataReturn, "extra", 1, raising=False)
    next(returned_results())
    assert seen == ["base", "single", "base"]


BASE_KW = {a: a for a in BASE_ARGS}


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("MultiRegionDataReturn", (), BASE_KW, "__init__() takes exactly 2 positional arguments (1 given)"),
    ("MultiRegionDataReturn", ([], 1), BASE_KW, "__init__() takes exactly 2 positional arguments (3 given)"),
    ("MultiRegionTRCDataReturn", ([],), BASE_KW, "__init__() takes exactly 3 positional arguments (2 given)"),
    ("Region", (), {}, "__init__() takes exactly 6 positional arguments (1 given)"),
    ("Region", tuple(range(6)), {}, "__init__() takes exactly 6 positional arguments (7 given)"),
    ("SingleDataReturn", (1, *BASE_KW.values()), {}, "__init__() takes exactly 2 positional arguments (9 given)"),
    ("ImageDataReturn", (1,), {"mapX": 1, "mapY": 2, "spectra": 3},
     "__init__() got multiple values for keyword argument 'mapX'"),
    ("Region", (), {"title": 1, "mapX": 1, "mapY": 1, "start_time": 1, "spectra": 1, "labels": 1},
     "__init__() got an unexpected keyword argument 'labels'"),
    ("BaseDataReturn", (), {**BASE_KW, "y": 1}, "__init__() got an unexpected keyword argument 'y'"),
    ("TimeResolvedDataReturn", (1, 2), {**BASE_KW, "labels": 1},
     "__init__() got an unexpected keyword argument 'labels'"),
    ("SingleDataReturn", (1,), {k: v for k, v in BASE_KW.items() if k != "minY"},
     "__init__() takes exactly 8 positional arguments (6 given)"),
])
def test_argument_mismatch(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(orvelio, name)(*args, **kwargs)
    assert str(info.value) == message


def docstring(summary, attributes, note=None):
    lines = ["", *("    " + s for s in summary), ""]
    if note:
        lines += ["    " + note, ""]
    lines.append("    Attributes:")
    for name, typ, width, meaning, *more in attributes:
        lines.append(8 * " " + f"{name} ({typ}):".ljust(width) + meaning)
        lines += [(8 + width) * " " + m for m in more]
    return "\n".join(lines + ["    "])


ND, LIST_STR, LIST_ND = ":obj:`ndarray`", ":obj:`list` of :obj:`str`", ":obj:`list` of :obj:`ndarray`"


def base_doc(x="spectrum"):
    return [("description", "str", 20, "Description of the data object attributes"),
            ("dimension", "str", 20, "Datablock dimensions (2D or 3D)"),
            ("dataType", "str", 20, "The datablock type (AB, TR, SSC, etc)"),
            ("derivative", "str", 20, "Datablock derivative (NONE, 1DER, 2DER, NDER)"),
            ("parameters", "dict", 20, "Dictionary of relevant data/sample/instrument parameters"),
            ("x", ND, 20, f"1D numpy array of {x} x coordinates"),
            ("minY", "float", 20, "Minimum y value"), ("maxY", "float", 20, "Maximum y value")]


MAP_DOC = [("mapX", ND, 28, "1D numpy array of X map coordinates"),
           ("mapY", ND, 28, "1D numpy array of Y map coordinates")]
TRACES = "same index as labels:"
DOCS = {
    "BaseDataReturn": (["Base class for data object returned by .getOrvelData()."], base_doc()),
    "SingleDataReturn": (["Single spectrum data object returned by .getOrvelData() for 2D datablocks."],
                         base_doc() + [("y", ND, 20, "1D numpy array of y values")]),
    "ImageDataReturn": (["Hyperspectral data object returned by .getOrvelData() for 3D image datablocks."],
                        base_doc() + MAP_DOC + [("spectra", ND, 28, "3D numpy array of spectral maps",
                                                 "dataObject.spectra[row][column][x]")]),
    "ImageTRCDataReturn": (
        ["Map(s) of a single spectral feature/integral/calculation returned by",
         ".getOrvelData() for 3D image TRC datablocks."],
        base_doc() + MAP_DOC + [("labels", LIST_STR, 41, "List of trace block names"),
                                ("traces", LIST_ND, 41, "3D numpy array of trace maps with", TRACES,
                                 "dataObject.traces[:,:,index]")]),
    "TimeResolvedDataReturn": (
        ["Time-resolved spectra data object returned by .getOrvelData() for 3D-TRS datablocks."],
        base_doc() + [("z", ND, 20, "1D numpy array of z (time) axis coordinates"),
                      ("spectra", ND, 28, "2D numpy array of spectral time series", "dataObject.spectra[z][x]")],
        "Z Axis units are available from dataObject.parameters['ZTX']"),
    "TimeResolvedTRCDataReturn": (
        ["Time-resolved trace data object returned by .getOrvelData() for 3D-TRS TRC datablocks."],
        base_doc("trace") + [("labels", LIST_STR, 41, "List of trace names"),
                             ("traces", LIST_ND, 41, "2D numpy array of traces with", TRACES,
                              "dataObject.traces[index]")],
        "x axis units are available from dataObject.parameters['DXU']"),
}


@pytest.mark.parametrize("name", DOCS)
def test_docstring(name):
    assert getattr(orvelio, name).__doc__ == docstring(*DOCS[name])


@pytest.mark.parametrize("name, attributes", [
    ("Region", REGION_ARGS),
    ("MultiRegionDataReturn", [a for a, *_ in base_doc()] + ["regions"]),
    ("MultiRegionTRCDataReturn", [a for a, *_ in base_doc()] + ["labels", "regions"]),
])
def test_region_docstrings_follow_the_same_layout(name, attributes):
    doc = getattr(orvelio, name).__doc__
    assert doc.startswith("\n    ") and doc.endswith("\n    ")
    head, body = doc[:-5].split("\n    Attributes:\n")
    assert all(line == "" or line.startswith("    ") for line in head.split("\n"))
    assert [line.split()[0] for line in body.split("\n") if not line.startswith(9 * " ")] == attributes
