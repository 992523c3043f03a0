"""getOrvelData: arguments, request checks, block location, parameter merge, 2D spectra."""
import os

import numpy as np
import pytest

import orvelio
from builder import (ACQUISITION, FT, INSTRUMENT, OPTICS, SAMPLE_PARAMS, OrvelFile, block_type,
                     data_word, floats, params, spectrum_file)
from conftest import run_python

AB = ("AB", "2D", "NONE")
BASE_NAMES = "REFL, RAM, SPOW, RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, TR, EMIS, ATR, TRARI, ABARI, AB, TRC, SSC, RSC"


def get(path, request=AB):
    return orvelio.getOrvelData(path, request)


# ---------------------------------------------------------------- arguments and requests

@pytest.mark.parametrize("args, kwargs, message", [
    ((b"file", AB), {}, r"Argument 'path' has incorrect type \(expected str, got bytes\)"),
    ((3, AB), {}, r"Argument 'path' has incorrect type \(expected str, got int\)"),
    # Type names as the interpreter gives them: dotted for extension types, bare for classes.
    ((np.float64(1), AB), {}, r"Argument 'path' has incorrect type \(expected str, got numpy.float64\)"),
    ((type("Local", (str,), {})("f"), AB), {}, r"Argument 'path' has incorrect type \(expected str, got Local\)"),
    (("f",), {}, r"getOrvelData\(\) takes exactly 2 positional arguments \(1 given\)"),
    (("f", AB, 1), {}, r"getOrvelData\(\) takes exactly 2 positional arguments \(3 given\)"),
    (("f",), {"block": AB}, r"getOrvelData\(\) got an unexpected keyword argument 'block'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match="^" + message + "$"):
        orvelio.getOrvelData(*args, **kwargs)


@pytest.mark.parametrize("request_, message", [
    (("XX", "4D", "ZZZ"), "Incorrect dimensions: 4D. Dimensions need to be either 2D or 3D"),
    (("xx", "2D", "NONE"), "Invalid data block type: XX. Please enter a valid entry from the following: "
     + BASE_NAMES),
    (("AB", "3d", "3der"), "Invalid deriv type: 3DER.  Please select from the following: 1DER, 2DER, NDER or NONE"),
    (("ab-ch3", "2d", "none"), "Invalid data block type: AB-CH3. Please enter a valid entry from the following: "
     + BASE_NAMES),
])
def test_invalid_requests_fail_before_the_file_is_touched(request_, message):
    with pytest.raises(ValueError) as err:
        orvelio.getOrvelData("/no/such/file", request_)
    assert str(err.value) == message


@pytest.mark.parametrize("request_, error", [
    (("AB", "2D"), IndexError), ((1, "2D", "NONE"), AttributeError), ("AB", IndexError), (None, TypeError)])
def test_malformed_datablock(request_, error):
    with pytest.raises(error):
        orvelio.getOrvelData("/no/such/file", request_)


def test_a_word_whose_upper_is_not_a_str_names_its_type():
    word = type("Word", (), {"upper": lambda self: np.zeros(1)})()
    with pytest.raises(TypeError, match=r'^can only concatenate str \(not "numpy.ndarray"\) to str$'):
        orvelio.getOrvelData("/no/such/file", (word, "2D", "NONE"))


def test_request_words_are_upper_cased_and_carried(write):
    r = get(write(spectrum_file([1.0, 2.0])), ["ab", "2d", "none", "ignored"])
    assert (r.dimension, r.dataType, r.derivative) == ("2D", "AB", "NONE")


def test_request_words_use_their_own_upper(write):
    class Word(str):
        def upper(self):
            return "AB"

    path = write(spectrum_file([1.0, 2.0]))
    assert get(path, (Word("anything"), "2D", "NONE")).dataType == "AB"
    with pytest.raises(ValueError, match="^Invalid data block type: STRASSE\\. "):
        get(path, ("stra\u00dfe", "2D", "NONE"))  # a non-ASCII word upper-cased by str.upper


def test_non_orvel_file(write):
    path = write(b"\xfe\xfe\x0a\x0a" + bytes(200))
    with pytest.raises(ValueError, match="^Can't process a non-Orvel file$"):
        get(path)
    with pytest.raises(ValueError, match="^Incorrect dimensions"):
        get(path, ("AB", "1D", "NONE"))
    with pytest.raises(FileNotFoundError):
        get(path + ".missing")
    with pytest.raises(TypeError):
        get(None)


# ---------------------------------------------------------------- location

def test_missing_data_or_parameter_block(write):
    f = OrvelFile()
    f.add(data_word("AB"), floats([1.0]))
    g = OrvelFile()
    g.add(data_word("AB", param=1), params({"NPT": 1}))
    for path in (write(f), write(g), write(spectrum_file([1.0], name="TR"))):
        with pytest.raises(ValueError) as err:
            get(path)
        assert str(err.value) == "No data block exists in the file for: AB 2D NONE"


def test_second_channel_and_sample_requests(write):
    f = spectrum_file([1.0], name="AB-CH2")
    spectrum_file([2.0], name="SSC", f=f)
    spectrum_file([3.0], name="RSC", f=f)
    path = write(f)
    assert get(path, ("ab-ch2", "2D", "NONE")).y.tolist() == [1.0]
    assert get(path, ("SSC", "2D", "NONE")).y.tolist() == [2.0]
    assert get(path, ("RSC", "2D", "NONE")).y.tolist() == [3.0]
    with pytest.raises(ValueError, match="No data block exists in the file for: SIFG 2D NONE"):
        get(path, ("SIFG", "2D", "NONE"))


def test_last_matching_entry_wins(write):
    f = spectrum_file([1.0, 2.0])
    spectrum_file([5.0, 6.0, 7.0], f=f)
    r = get(write(f))
    assert r.y.tolist() == [5.0, 6.0, 7.0] and r.parameters["NPT"] == 3


@pytest.mark.parametrize("aux_sample, request_, used", [
    (2, "RSC", True), (2, "AB", False), (2, "SSC", False),
    (0, "AB", True), (0, "SSC", True), (0, "RSC", False), (1, "SSC", True), (3, "AB", False)])
@pytest.mark.parametrize("param_type", [INSTRUMENT, OPTICS])
def test_instrument_and_optics_follow_the_sample_type(write, aux_sample, request_, used, param_type):
    f = spectrum_file([1.0], name=request_)
    f.add(block_type(sample=aux_sample, param=param_type), params({"XYZ": 1}))
    r = get(write(f), (request_, "2D", "NONE"))
    assert ("XYZ" in r.parameters) is used


def test_parameter_merge_order(write):
    f = spectrum_file([1.0, 2.0], params={"RES": 1.0, "ZZZ": "data"})
    # in the directory: sample, FT, optics, instrument, acquisition - merged in the opposite order
    for param_type, value in [(SAMPLE_PARAMS, 10.0), (FT, 4.0), (OPTICS, 6.0), (INSTRUMENT, 2.0),
                              (ACQUISITION, 3.0)]:
        f.add(block_type(param=param_type), params({"RES": value, f"P{param_type:02d}": value}))
    r = get(write(f))
    assert r.parameters["RES"] == 4.0
    assert list(r.parameters) == ["NPT", "FXV", "LXV", "MNY", "MXY", "RES", "ZZZ",
                                  "P03", "P02", "P06", "P10", "P04"]


def test_later_auxiliary_block_of_a_kind_wins_whatever_its_sample(write):
    f = spectrum_file([1.0])
    f.add(block_type(sample=1, param=ACQUISITION), params({"SRC": "sample"}))
    f.add(block_type(sample=2, param=ACQUISITION), params({"SRC": "reference"}))
    assert get(write(f)).parameters["SRC"] == "reference"


def test_transform_block_decides_the_number_of_points(write):
    f = spectrum_file([1.0, 2.0, 3.0, 4.0], ft={"NPT": 2})
    r = get(write(f))
    assert r.y.tolist() == [1.0, 2.0] and len(r.x) == 2


# ---------------------------------------------------------------- 2D spectra

@pytest.mark.parametrize("npt, fxv, lxv", [
    (1024, 4000.0, 400.0), (7, 0.1, 0.7), (3, 5.0, 5.0), (2, -1e300, 1e300), (5, 1.0, 1.0 + 1e-320),
    (1, 10.0, 99.0), (0, 1.0, 2.0), (9, 3, 11), (4, 2.5, -7)])
def test_x_axis_is_numpy_linspace_bit_for_bit(write, npt, fxv, lxv):
    y = np.arange(npt, dtype=np.float32)
    r = get(write(spectrum_file(y, fxv=fxv, lxv=lxv)))
    expected = np.linspace(fxv, lxv, npt)
    assert r.x.dtype == np.float64 and r.x.shape == (npt,)
    assert r.x.tobytes() == expected.tobytes()
    assert r.y.dtype == np.float32 and r.y.tobytes() == y.tobytes()


def test_single_spectrum_result(write):
    y = np.array([0.5, -1.5, 3.25, np.inf], dtype=np.float32)
    f = spectrum_file(y, params={"MNY": -99.0, "MXY": 42})
    r = get(write(f))
    assert type(r) is orvelio.SingleDataReturn
    assert (r.minY, r.maxY) == (-99.0, 42) and type(r.maxY) is int
    assert r.y.tolist() == y.tolist() and r.y.flags.writeable and r.y.flags.c_contiguous
    assert str(r) == repr(r) == r.description and r.description.endswith("\ty data points (.y)\n")
    assert list(r.parameters) == ["NPT", "FXV", "LXV", "MNY", "MXY"]


def test_more_values_than_points_and_data_cut_by_the_end(write):
    f = spectrum_file([1.0, 2.0], params={"NPT": 2})
    data = f.build() + floats([9.0])
    r = get(write(data))
    assert r.y.tolist() == [1.0, 2.0]
    # the data block is last in a builder file only if added last: make one that is
    f = OrvelFile()
    f.add(data_word("AB", param=1), params({"NPT": 5, "FXV": 1.0, "LXV": 5.0, "MNY": 0.0, "MXY": 1.0}))
    f.add(data_word("AB"), floats([1.0, 2.0, 3.0]))
    whole = f.build()
    for cut, expected in [(0, [1.0, 2.0, 3.0]), (2, [1.0, 2.0]), (8, [1.0]), (12, [])]:
        r = get(write(whole[:len(whole) - cut]))
        assert r.y.tolist() == expected and len(r.x) == 5


def test_missing_axis_parameters_name_the_first(write):
    for drop, first in [(("NPT", "MNY"), "NPT"), (("LXV", "MXY"), "LXV"), (("MNY",), "MNY")]:
        f = spectrum_file([1.0], params=dict.fromkeys(drop))
        with pytest.raises(KeyError) as err:
            get(write(f))
        assert err.value.args == (first,)


@pytest.mark.parametrize("npt, error", [(-1, ValueError), (2.0, TypeError), ("5", TypeError)])
def test_bad_point_counts_fail_as_numpy_does(write, npt, error):
    f = spectrum_file([1.0], params={"NPT": npt})
    with pytest.raises(error) as err:
        get(write(f))
    with pytest.raises(error) as expected:
        np.linspace(4000.0, 400.0, npt)
    assert str(err.value) == str(expected.value)


def test_text_axis_limits_fail_as_numpy_does(write):
    f = spectrum_file([1.0, 2.0], params={"FXV": "high"})
    with pytest.raises(Exception) as err:
        get(write(f))
    with pytest.raises(Exception) as expected:
        np.linspace("high", 400.0, 2)
    assert type(err.value) is type(expected.value)


def test_files_are_closed_on_every_path(write):
    good = write(spectrum_file([1.0]))
    bad = write(spectrum_file([1.0], params={"NPT": None}))
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(50):
        get(good)
        with pytest.raises(KeyError):
            get(bad)
        with pytest.raises(ValueError):
            get(good, ("TR", "2D", "NONE"))
    assert len(os.listdir("/proc/self/fd")) == before


def test_truncation_at_every_offset_never_crashes(write):
    f = spectrum_file(np.linspace(0, 1, 16, dtype=np.float32), acq={"RES": 4.0, "SNM": "x"})
    path = write(f)
    code = f"""
import orvelio, struct
data = open({path!r}, 'rb').read()
kinds = set()
for n in range(len(data) + 1):
    with open({path!r} + '.cut', 'wb') as out:
        out.write(data[:n])
    try:
        r = orvelio.getOrvelData({path!r} + '.cut', ('AB', '2D', 'NONE'))
        kinds.add('result')
    except (ValueError, KeyError, struct.error, OSError, UnicodeDecodeError) as e:
        kinds.add(type(e).__name__)
print(sorted(kinds))
"""
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert "result" in proc.stdout and "error" in proc.stdout
