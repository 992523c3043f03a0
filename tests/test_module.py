"""The module's namespace, help text and tables."""
import contextlib
import io
import pickle
import sys

import pytest

import orvelio
from conftest import run_python

BOUND = ["warnings", "unpack", "np", "array", "imghdr",
         "BaseDataReturn", "SingleDataReturn", "ImageDataReturn", "ImageTRCDataReturn",
         "TimeResolvedDataReturn", "TimeResolvedTRCDataReturn", "MultiRegionDataReturn",
         "Region", "MultiRegionTRCDataReturn",
         "help", "listContents", "isOrvelFile", "decode_string", "getOrvelData",
         "getVisImages", "paramDict", "OrvelDict", "__test__"]


def test_namespace_holds_exactly_the_library_names_in_order():
    # A submodule once imported adds its own name (test_reader checks that it adds nothing else).
    names = [n for n in vars(orvelio) if not (n.startswith("__") and n != "__test__")
             and not (n in ("reader", "cli", "xarray_backend", "folders", "export", "_batch", "_info", "_plot", "_program") and f"orvelio.{n}" in sys.modules)]
    expected = [n for n in BOUND if n != "imghdr" or hasattr(orvelio, "imghdr")]
    assert names == expected
    for private in ("readShort", "readInt", "readInt64", "readFloat", "readDouble",
                    "_read_directory", "_decode_blockType", "_orvelio", "_populate"):
        assert not hasattr(orvelio, private)
    assert orvelio.__test__ == {}
    import array, struct, warnings, numpy
    assert (orvelio.warnings, orvelio.unpack, orvelio.np, orvelio.array) == (
        warnings, struct.unpack, numpy, array)


def test_version_is_the_one_the_distribution_carries():
    import importlib.metadata
    import os
    import re
    assert re.fullmatch(r"\d+\.\d+\.\d+((a|b|rc)\d+)?(\.post\d+)?(\.dev\d+)?", orvelio.__version__)
    try:
        dist = importlib.metadata.distribution("orvelio")
    except importlib.metadata.PackageNotFoundError:
        return  # a development tree on PYTHONPATH, nothing installed
    installed = dist.locate_file("orvelio/__init__.py")
    if os.path.exists(installed) and os.path.samefile(installed, orvelio.__file__):
        assert dist.version == orvelio.__version__


def test_import_is_silent_even_with_warnings_as_errors():
    proc = run_python("import orvelio, sys; print(hasattr(orvelio, 'imghdr'), sys.version_info >= (3, 13))",
                      args=None) if False else run_python(
        "import warnings; warnings.simplefilter('error'); import orvelio, sys;"
        "print(hasattr(orvelio, 'imghdr') == (sys.version_info < (3, 13)))")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "True\n" and proc.stderr == ""


HELP = [
    "This library contains the following functions:",
    "\tlistContents('path') :    This function returns a list containing the data blocks, "
    "their dimensions and derivative type",
    "\tisOrvelFile('path'):    This function returns true if the file is an Orvel file, false otherwise",
    "\tgetOrvelData('path', ('data block type', 'dimensions', 'derivative')):",
    "\t\tThis function returns a Python object that contains a string parameter called description "
    "(ie: returnedObject.description)",
    "\t\tDescription contains the details of what the Python object contains based on the type of "
    "data block requested.",
    "\tgetVisImages('path'):",
    "\t\tThis function returns a list that contains an entry for each visible image in the file.",
    "\n For more detailed descriptions please consult the documentation.",
]


def test_help_prints_its_nine_lines_through_print():
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert orvelio.help() is None
    assert out.getvalue() == "".join(line + "\n" for line in HELP)
    with pytest.raises(TypeError, match=r"^help\(\) takes exactly 0 positional arguments \(1 given\)$"):
        orvelio.help(1)


def test_param_dict():
    d = orvelio.paramDict
    assert len(d) == 34
    assert list(d)[:3] == ["SNM", "SFM", "CNM"] and list(d)[-3:] == ["PHR", "ZFF", "ZTX"]
    assert d["HFQ"] == "High Frequency Cutofff (FT)"
    assert d["LFQ"] == "Low Frequency Cutoff (FT)" and d["NPT"] == "Number of Data Points"


def test_orvel_dict():
    d = orvelio.OrvelDict()
    assert len(d) == 293
    keys = list(d)
    assert keys[:4] == ["AOZ", "DDZ", "DPF", "NPT"] and keys[-2:] == ["OBJ", "VSC"]
    assert d["AOZ"] == "Map_Origin_Z" and d["FFT"] == "maximum_ft_size_in_k's"
    assert d["ISP"] == "interleave_time_res._\u00e6sec" and d["IDL"] == "interleave_trigger_delay_\u00e6sec"
    assert d["DER"] == d["QS1"] == "derivative"
    assert d["MXD"] == "maximum_adc_sate_in_hz" and d["ADR"] == "aqp_adress"
    assert d["SMD"] == "modulation_(0=off_1=mod_2=mod-demod_4=old_phase_8=ampl_)"
    assert [k for k, v in d.items() if v == "map_origin_x"] == ["AOX", "MOX", "NOX"]
    other = orvelio.OrvelDict()
    assert other == d and other is not d
    del d["NPT"]
    assert "NPT" in orvelio.OrvelDict()
    assert orvelio.OrvelDict.__doc__.endswith(
        "Returns a dictionary for translating parameter keys to lower_case_strings.")


@pytest.mark.parametrize("call, message", [
    (lambda: orvelio.isOrvelFile(), r"isOrvelFile\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda: orvelio.listContents("a", "b"), r"listContents\(\) takes exactly 1 positional argument \(2 given\)"),
    (lambda: orvelio.listContents(file="a"), r"listContents\(\) got an unexpected keyword argument 'file'"),
    (lambda: orvelio.decode_string(), r"decode_string\(\) takes at least 1 positional argument \(0 given\)"),
    (lambda: orvelio.decode_string(b"", (), 1), r"decode_string\(\) takes at most 2 positional arguments \(3 given\)"),
    (lambda: orvelio.decode_string(b"", s=b""), r"decode_string\(\) got multiple values for keyword argument 's'"),
    (lambda: orvelio.OrvelDict(1), r"OrvelDict\(\) takes exactly 0 positional arguments \(1 given\)"),
])
def test_argument_mismatches(call, message):
    with pytest.raises(TypeError, match="^" + message + "$"):
        call()


def test_functions_take_keywords():
    assert orvelio.decode_string(s=b"abc", encodings=["latin1"]) == "abc"
    assert pickle.loads(pickle.dumps(orvelio.paramDict)) == orvelio.paramDict


RELOAD = r"""
import importlib, pickle, sys
sys.path.insert(0, {tests!r})
import orvelio
from builder import spectrum_file
path = {path!r}
spectrum_file([1.0, 2.0]).write(path)
before = orvelio.getOrvelData(path, ("AB", "2D", "NONE"))
names = list(vars(orvelio))
again = importlib.reload(orvelio)
after = again.getOrvelData(path, ("AB", "2D", "NONE"))
assert list(vars(again)) == names, (names, list(vars(again)))
for r in (before, after):
    assert pickle.loads(pickle.dumps(r)).y.tolist() == [1.0, 2.0]
print("ok")
"""


def test_reload_keeps_the_namespace_and_pickling(tmp_path):
    tests = str(__import__("pathlib").Path(__file__).parent)
    proc = run_python(RELOAD.format(tests=tests, path=str(tmp_path / "a.0")))
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr
