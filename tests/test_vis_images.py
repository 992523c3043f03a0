"""Visible pictures: getVisImages."""
import sys
import warnings

import pytest

import orvelio
from builder import EXT_3D, EXT_IMAGE, OrvelFile, Picture, block_type, image_block, picture_code
from conftest import run_python

sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent.parent / "fuzz"))
from make_corpus import shared_record_file  # noqa: E402

IMAGE = block_type(extend=EXT_IMAGE)


def image_file(pictures, size_words=None, **options):
    f = OrvelFile()
    f.add(IMAGE, image_block(pictures, **options), size_words=size_words)
    return f


@pytest.fixture
def images(write):
    """images(pictures, **image_block options) -> getVisImages of a file holding them."""
    return lambda pictures, **options: orvelio.getVisImages(write(image_file(pictures, **options)))


def titled(n, t00=3):
    return [Picture(title=f"P{i}", t00=t00) for i in range(n)]


def test_no_image_block_lists_nothing(write):
    f = OrvelFile()
    f.add(block_type(sample=3, data=4), bytes(8))
    assert orvelio.getVisImages(write(f)) == []
    assert orvelio.getVisImages(path=write(OrvelFile(magic=b"none"))) == []  # the magic is not tested


def test_only_the_first_image_block_is_read(write):
    f = OrvelFile()
    f.add(block_type(extend=EXT_3D), bytes(8))
    f.add(IMAGE, image_block([Picture(title="first")]))
    f.add(IMAGE, image_block([Picture(title="second")] * 2))
    assert [d["Title"] for d in orvelio.getVisImages(write(f))] == ["first"]


@pytest.mark.parametrize("count, chunks", [(1, None), (100, None), (101, None), (127, [100, 27]),
                                           (777, [1, 700, 76]), (6, [1, 2, 3])])
def test_picture_codes_and_chunks(images, count, chunks):
    assert [picture_code(i) for i in (99, 100, 125, 126, 775, 776)] == ["99", "AA", "AZ", "BA", "ZZ", "AAA"]
    assert [d["Title"] for d in images(titled(count), chunks=chunks)] == [f"P{i}" for i in range(count)]


@pytest.mark.parametrize("kind, dropped", [(258, 14), (258.0, 14), ("258", 0), (257, 0)])
def test_type_258_drops_a_14_byte_header(images, kind, dropped):
    data = bytes(range(250)) * 4
    [d] = images([Picture(data, title="T", labels={"Bytes:": 1000, "Type:": kind})])
    assert list(d) == ["Title", "Bytes", "Type", "image", "imgext"]
    assert d["image"] == data[dropped:] and (d["Title"], d["Bytes"], d["Type"]) == ("T", 1000, kind)


def test_labels_in_reading_order_first_place_last_value(images):
    labels = {"A::": 1, "B": 2.5, "a:b:": "c", ":": 0, "A": "again", "image": 5, "Title": "x"}
    [d] = images([Picture(b"GIF87a", title="t", labels=labels)])
    assert list(d) == ["Title", "A", "B", "a:b", "", "image", "Bytes", "Type", "imgext"]
    assert d == {"Title": "x", "A": "again", "B": 2.5, "a:b": "c", "": 0, "image": b"GIF87a",
                 "Bytes": 6, "Type": 0, "imgext": "gif"}


@pytest.mark.parametrize("t00, stored", [(9, True), (9.0, True), (3, False), ("9", False)])
def test_bytes_only_for_type_9(images, t00, stored):
    pics = [Picture(b"BM" + bytes(10), t00=t00, labels={"Bytes:": 12, "Type:": 0})]
    assert images(pics) == [{"Title": "Picture", "Bytes": 12, "Type": 0}
                            | ({"image": b"BM" + bytes(10), "imgext": "bmp"} if stored else {})]


@pytest.mark.parametrize("length, expected", [(4, b"\xff\xd8\xff\xdb"), (0, b""), (10**9, "rest"),
                                              (-1, "rest"), (-7, "rest")])
def test_picture_length_is_bounded_by_the_file(write, length, expected):
    data = image_file([Picture(b"\xff\xd8\xff\xdb" + bytes(12), labels={"Bytes:": length})]).build()
    [d] = orvelio.getVisImages(write(data))
    assert d["image"] == (data[data.index(b"\xff\xd8\xff\xdb"):] if expected == "rest" else expected)
    assert d["imgext"] == ("jpeg" if d["image"] else None)


KNOWN = [(b"\xff\xd8\xff\xdb", "jpeg"), (b"\xff\xd8\xff\xe0\0\x10JFIF\0", "jpeg"), (b"......Exif", "jpeg"),
         (b"\x89PNG\r\n\x1a\n", "png"), (b"GIF87a", "gif"), (b"GIF89a", "gif"), (b"MM\0*", "tiff"),
         (b"II*\0", "tiff"), (b"\x01\xda", "rgb"), (b"P1\n", "pbm"), (b"P4 ", "pbm"), (b"P2\t", "pgm"),
         (b"P5\r", "pgm"), (b"P3 ", "ppm"), (b"P6\n", "ppm"), (b"\x59\xa6\x6a\x95", "rast"),
         (b"#define ", "xbm"), (b"BM", "bmp"), (b"RIFF\0\0\0\0WEBP", "webp"), (b"\x76\x2f\x31\x01", "exr")]
# Near misses: one byte short, one byte changed, the right bytes in the wrong place.
NEAR = ([h[:-1] for h, _ in KNOWN] + [h[:i] + bytes([h[i] ^ 0x20]) + h[i + 1:] for h, _ in KNOWN
                                      for i in range(len(h))]
        + [b"", b"\0" * 16, b"P1", b"P7 ", b"P1x", b"RIFF....WEBX", b"xJFIF", b"BMP", b"\xff\xd8\xff\xe0"])


def formats(write, headers):
    pics = [Picture(h, labels={"Bytes:": len(h)}) for h in headers]
    return [d["imgext"] for d in orvelio.getVisImages(write(image_file(pics)))]


def test_known_formats(write):
    assert formats(write, [h for h, _ in KNOWN]) == [name for _, name in KNOWN]


@pytest.mark.skipif(sys.version_info < (3, 11), reason="this imghdr predates a JPEG rule; the library "
                    "names formats as the newer imghdr does on every version")
def test_formats_agree_with_imghdr(write):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        imghdr = pytest.importorskip("imghdr")
    headers = [h for h, _ in KNOWN] + NEAR
    assert formats(write, headers) == [imghdr.what(None, h) for h in headers]


@pytest.mark.parametrize("pictures, options, error, message", [
    (titled(1), dict(lead=bytes(12)), None, None),                   # marker found within 16 bytes
    (titled(1), dict(lead=bytes(16)), KeyError, "'NRP'"),            # no marker: nothing gathered
    (titled(1), dict(bid=block_type(extend=EXT_3D)), KeyError, "'F00'"),
    (titled(1), dict(nrp=0), KeyError, "'F-1'"),
    (titled(3), dict(chunks=[1, 2], loop_to=1), None, None),         # the last chunk points at itself
    ([Picture(b"x", auto=False)], {}, KeyError, "'Bytes'"),
    ([Picture(b"x", labels={"Bytes:": 1}, auto=False)], {}, KeyError, "'Type'"),
    ([Picture(b"x", labels={"Bytes:": 1.0})], {}, TypeError, "argument should be integer or None, not 'float'"),
    ([Picture(b"x", labels={"Bytes:": "1"})], {}, TypeError, "argument should be integer or None, not 'str'"),
    ([Picture(extra=[("H09", "L")])], {}, KeyError, "'V09'"),
    ([Picture(extra=[("H09", 5), ("V09", 1)])], {}, AttributeError, "'int' object has no attribute 'rstrip'"),
    ([Picture(siz=2.5)], {}, TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_walk_and_picture_faults(images, pictures, options, error, message):
    if error is None:
        assert [d["Title"] for d in images(pictures, **options)] == [p.title for p in pictures]
    else:
        with pytest.raises(error) as raised:
            images(pictures, **options)
        assert str(raised.value) == message


def test_walk_stops_at_the_block_end(write):
    one = image_block([Picture(title="a")])
    f = image_file([Picture(title="a"), Picture(title="b")], chunks=[1, 1], size_words=len(one) // 4)
    assert [d["Title"] for d in orvelio.getVisImages(write(f))] == ["a"]


@pytest.mark.parametrize("loop_to", [0, 1])
def test_looping_walk_is_rejected(write, loop_to):
    path = write(image_file(titled(3), chunks=[1, 1, 1], loop_to=loop_to))
    proc = run_python(f"import orvelio\ntry: orvelio.getVisImages({path!r})\nexcept ValueError as e: print(e)",
                      timeout=60)
    assert proc.returncode == 0 and "loop" in proc.stdout, proc.stderr


def test_path_and_arguments():
    with pytest.raises(TypeError, match=r"^Argument 'path' has incorrect type \(expected str, got bytes\)$"):
        orvelio.getVisImages(b"f.0")
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
        orvelio.getVisImages()
    with pytest.raises(FileNotFoundError):
        orvelio.getVisImages("/nonexistent/f.0")


CUTS = """
import random, struct, orvelio
data = open(PATH, "rb").read()
path = PATH + ".cut"
rng = random.Random(5)
cases = [data[:n] for n in range(len(data))]
for _ in range(3000):  # and damaged: a few 32-bit fields overwritten
    m = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        value = rng.choice([0, 1, -1, 9, 258, 2**31 - 1, -2**31, rng.randrange(2**32) - 2**31])
        at = rng.randrange(len(m))
        m[at:at + 4] = struct.pack("<i", value)
    cases.append(bytes(m))
for case in cases:
    open(path, "wb").write(case)
    try:
        orvelio.getVisImages(path)
    except (struct.error, KeyError, ValueError, TypeError, OSError, AttributeError):
        pass
print(len(cases))
"""


def test_truncated_and_damaged_files_fail_cleanly(write):
    pics = [Picture(b"BM" + bytes(40), labels={"Pos. X:": 1.5}), Picture(b"\xff\xd8\xff\xdb" + bytes(30), f00=4),
            Picture(bytes(40), labels={"Bytes:": 40, "Type:": 258}), Picture(t00=3)]
    data = image_file(pics, chunks=[1, 3]).build()
    proc = run_python(f"PATH = {write(data)!r}\n" + CUTS, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert int(proc.stdout) == len(data) + 3000


def test_pictures_pointing_into_one_long_block_fail_fast(write):
    """Each picture starts one record further into the same long parameter block: read as
    written that is quadratic in the file's size; it is refused instead."""
    import time
    from builder import EXT_IMAGE, OrvelFile, Param, block_type, params, picture_code

    n = 15000  # codes of at most three letters
    long_block = params([Param("AAA", i) for i in range(n)] + [("SIZ", 0), ("T00", 1)])
    def image_set(base):
        recs = [("BID", block_type(extend=EXT_IMAGE)), ("NRP", n)]
        recs += [(f"F{picture_code(i)}", base + 12 * i) for i in range(n)]
        recs += [(f"Z{picture_code(n - 1)}", 0)]
        return params(recs)
    head = image_set(0)
    block = image_set(len(head)) + long_block
    f = OrvelFile()
    f.add(block_type(extend=EXT_IMAGE), block)
    start = time.monotonic()
    with pytest.raises(ValueError, match="read the same parameters over and over"):
        orvelio.getVisImages(write(f))
    assert time.monotonic() - start < 5


def test_pictures_naming_one_record_share_its_values(write):
    found = orvelio.getVisImages(write(shared_record_file(3, 4)))
    assert [d["L3"] for d in found] == ["v3"] * 3 and found[0] is not found[2]
    assert found[0]["L3"] is found[2]["L3"] and found[0]["image"] is found[1]["image"]
    # 15,000 codes naming a record of 99 values: 1.5 million entries from a third of a megabyte.
    with pytest.raises(ValueError, match="^Image block is malformed: its pictures name the same records over "
                                         "and over$"):
        orvelio.getVisImages(write(shared_record_file(15_000, 99)))
