"""Header, directory, block type words, listing and text decoding."""
import os
import struct

import pytest

import orvelio
from builder import OrvelFile, block_type, data_word, spectrum_file


def entry_file(*words, **header):
    f = OrvelFile(**header)
    for w in words:
        f.add(w, b"\0" * 8)
    return f


@pytest.mark.parametrize("head, expected", [
    (b"\x0a\x0a\xfe\xfe", True), (b"\x0a\x0a\xfe\xfe" + b"\xff" * 40, True),
    (b"\xfe\xfe\x0a\x0a", False), (b"\0\0\0\0", False)])
def test_magic(write, head, expected):
    assert orvelio.isOrvelFile(write(head)) is expected


@pytest.mark.parametrize("size", [0, 3])
def test_magic_of_a_short_file_is_a_short_read(write, size):
    with pytest.raises(struct.error, match=r"^unpack requires a buffer of 4 bytes$"):
        orvelio.isOrvelFile(write(b"\x0a" * size))


def test_paths_fail_as_open_fails(tmp_path):
    missing = tmp_path / "missing.0"
    for call in (orvelio.isOrvelFile, orvelio.listContents):
        with pytest.raises(FileNotFoundError) as err:
            call(str(missing))
        assert err.value.errno == 2 and err.value.filename == str(missing)
        with pytest.raises(IsADirectoryError):
            call(str(tmp_path))
        with pytest.raises(TypeError):
            call(None)


def test_paths_accept_what_open_accepts(write):
    path = write(entry_file(data_word("AB")))
    import pathlib
    assert orvelio.isOrvelFile(pathlib.Path(path)) and orvelio.isOrvelFile(path.encode())
    assert orvelio.listContents(pathlib.Path(path)) == [("AB", "2D", "NONE")]


def test_names_ascii_or_not_open_the_file(tmp_path):
    """Plain ASCII names take a path of their own; others, undecodable ones (a lone surrogate)
    included, are encoded as open() encodes them; a NUL fails as it fails open()."""
    data = spectrum_file([1.0, 2.0]).build()
    for name in ("plain.0", "caf\u00e9.0", os.fsdecode(b"caf\xe9.0")):
        path = str(tmp_path / name)
        with open(path, "wb") as f:
            f.write(data)
        assert orvelio.listContents(path) == [("AB", "2D", "NONE")]
        assert list(orvelio.getOrvelData(path, ["ab", "2d", "none"]).y) == [1.0, 2.0]
    for call in (orvelio.isOrvelFile, orvelio.listContents):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call(str(tmp_path / "plain.0") + "\0.0")


def test_empty_directory(write):
    assert orvelio.listContents(write(entry_file(data_word("AB"), dir_size=0))) == []
    assert orvelio.listContents(write(entry_file(dir_size=-5))) == []


@pytest.mark.parametrize("header, width", [
    (dict(dir_size=2**31 - 1), 4),           # more entries than the file holds
    (dict(dir_offset=10**9), 4),             # directory past the end
    (dict(ext_count=2**62), 8),              # an extension that lies about its count
])
def test_lying_directories_fail_fast(write, header, width):
    f = entry_file(data_word("AB"), **header)
    if "ext_count" in header:
        f.ext_entry(data_word("AB"), 1, 1)
    with pytest.raises(struct.error, match=f"^unpack requires a buffer of {width} bytes$"):
        orvelio.listContents(write(f))


def test_negative_directory_offset_is_an_invalid_seek(write):
    with pytest.raises(OSError) as err:
        orvelio.listContents(write(entry_file(data_word("AB"), dir_offset=-4)))
    assert err.value.errno == 22


def test_truncated_header_at_every_length(write):
    data = entry_file(data_word("AB")).build()
    for n in range(4, 36):  # header and the one entry
        with pytest.raises(struct.error):
            orvelio.listContents(write(data[:n]))


def test_listing_groups_spectra_samples_references_then_traces(write):
    f = entry_file(data_word("AB"), data_word("AB", param=1),
                   data_word("SSC"), data_word("SSC", param=1),
                   block_type(sample=0, data=7), block_type(sample=3, data=7),
                   block_type(sample=1, data=7, extend=10, deriv=2),
                   data_word("RSC"), data_word("RSC", param=1),
                   data_word("TR", dims="3D", deriv=1),
                   block_type(sample=3, data=36), block_type(sample=2, data=33, extend=11),
                   block_type(sample=3, data=8), block_type(sample=3, data=41))
    assert orvelio.listContents(write(f)) == [
        ("AB", "2D", "NONE"), ("TRC", "2D", "NONE"), ("TR", "3D", "1DER"), ("AB-CH2", "2D", "NONE"),
        ("SSC", "2D", "NONE"), ("STRC", "3D", "2DER"),
        ("RSC", "2D", "NONE"), ("RSC-CH2", "2D", "NONE"),
        ("TRC", "2D", "NONE"), ("TRC", "2D", "NONE"), ("TRC", "3D", "2DER")]


@pytest.mark.parametrize("data", [20, 32, 52, 127])
def test_listing_codes_outside_the_table(write, data):
    with pytest.raises(IndexError, match="^list index out of range$"):
        orvelio.listContents(write(entry_file(block_type(sample=3, data=data))))
    # a parameter block with such a code is never looked up
    assert orvelio.listContents(write(entry_file(block_type(sample=3, data=data, param=1)))) == []


def test_listing_of_a_non_orvel_file(write):
    with pytest.raises(ValueError, match="^Can't process a non-Orvel file$"):
        orvelio.listContents(write(b"\xfe\xfe\x0a\x0a" + bytes(100)))


@pytest.mark.parametrize("args, expected", [
    ((b"plain text",), "plain text"),
    ((b"caf\xc3\xa9",), "caf\u00e9"),
    ((b"caf\xe9",), "caf\u00e9"),                 # not UTF-8: Latin-1
    ((b"\xed\xa0\x80",), "\u00ed\u00a0\u0080"),   # a surrogate is not UTF-8
    ((b"a\xffb", ["ascii"]), "ab"),
    ((b"a\xffb", iter(["ascii", "utf8"])), "ab"),
    ((b"a\xffb", ()), None),
    ((bytearray(b"xyz"), ("utf-16-le", "ascii")), "xyz"),  # odd length is no UTF-16
    ((b"xy", ("utf-16-le", "ascii")), "\u7978"),
])
def test_decode_string(args, expected):
    assert orvelio.decode_string(*args) == expected


@pytest.mark.parametrize("args, error", [
    ((b"x", ["no-such-codec", "ascii"]), LookupError),
    (("text",), AttributeError),
    ((b"x", 5), TypeError),
])
def test_decode_string_errors(args, error):
    with pytest.raises(error):
        orvelio.decode_string(*args)


def test_cli_lists_datablocks(write):
    from conftest import run_python
    good = write(spectrum_file([1.0, 2.0]))
    bad = write(b"not an orvel file")
    proc = run_python(f"import sys, runpy; sys.argv = ['orvelio', {good!r}, {bad!r}];"
                      "runpy.run_module('orvelio', run_name='__main__')")
    assert proc.returncode == 1
    assert proc.stdout.splitlines() == [f"{good}: 1 datablock", "    AB      2D      NONE"]
    assert proc.stderr.splitlines() == [f"{bad}: not an Orvel file"]


def test_directory_longer_than_the_first_read(write):
    # 800 entries (9.6 KB of directory): listContents reads the head of a file first, so the
    # entries run past what it holds; the last qualifying entry still wins.
    f = OrvelFile(max_dir=800)
    for k in range(400):
        spectrum_file([float(k)], f=f)
    path = write(f)
    assert orvelio.listContents(path) == [("AB", "2D", "NONE")] * 400
    assert orvelio.isOrvelFile(path)
    assert orvelio.getOrvelData(path, ("AB", "2D", "NONE")).y.tolist() == [399.0]
