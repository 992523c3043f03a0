"""Byte layouts of the test-file builder, checked against hand-computed bytes
and against small readers written here independently of it."""

import struct

import pytest

from builder import (OrvelFile, Param, Picture, Raw, Skip, block3d, block_type,
                     data_word, anno_block, image_block, params, picture_code,
                     region, region_table, spectrum_file, multiregion_file)


def read_params(buf, at):
    out = {}
    while (name := buf[at:at + 4].strip(b"\0").decode()) != "END":
        kind, size = struct.unpack_from("<hh", buf, at + 4)
        at += 8
        if kind == 0:
            out[name], at = struct.unpack_from("<i", buf, at)[0], at + 4
        elif kind == 1:
            out[name], at = struct.unpack_from("<d", buf, at)[0], at + 8
        else:
            out[name], at = buf[at:at + 2 * size].split(b"\0")[0].decode(), at + 2 * size
    return out


def read_dir(buf):
    off, _, n = struct.unpack_from("<3i", buf, 12)
    entries = [struct.unpack_from("<3i", buf, off + 12 * k) for k in range(n)]
    for word, _, at in list(entries):
        if (word >> 19) & 127 == 64 and at:
            count = struct.unpack_from("<q", buf, at)[0]
            entries += [struct.unpack_from("<3q", buf, at + 16 + 32 * k) for k in range(count)]
    return entries


@pytest.mark.parametrize("word, expected", [
    (block_type(), 0),
    (block_type(complex=3, data=4), 0x1003),
    (block_type(complex=3, sample=3, data=4, extend=10), 0x0050100F),
    (block_type(extend=64), 0x02000000),
    (block_type(3, 3, 63, 127, 3, 127, extra=1 << 31), 0x03FFFFFF - (1 << 31)),
    (block_type(extra=1 << 31, signed=False), 1 << 31),
    (data_word("SSC"), block_type(sample=1, data=1)),
    (data_word("ab-ch2", "3D", "1der", param=1), block_type(3, 3, 1, 36, 1, 10) & ~3),
    (data_word("TRC", "3D", sample_type=0), block_type(data=7, extend=10)),
])
def test_block_type_words(word, expected):
    assert word == expected


def test_block_type_rejects_out_of_range_fields():
    with pytest.raises(ValueError):
        block_type(data=128)


@pytest.mark.parametrize("param, expected", [
    (Param("NPT", 1024), b"NPT\0" + struct.pack("<hhi", 0, 2, 1024)),
    (Param("NPT", 1024, size=4), b"NPT\0" + struct.pack("<hhi", 0, 4, 1024)),
    (Param("FXV", 4000.0), b"FXV\0" + struct.pack("<hhd", 1, 4, 4000.0)),
    (Param("FXV", 3, type=1), b"FXV\0" + struct.pack("<hhd", 1, 4, 3.0)),
    (Param("SNM", "Sample"), b"SNM\0\2\0\4\0Sample\0\0"),
    (Param("SNM", "abc", type=3), b"SNM\0\3\0\2\0abc\0"),
    (Param("SNM", "Sample", size=3), b"SNM\0\2\0\3\0Sample"),
    (Param("SNM", "", size=0), b"SNM\0\2\0\0\0"),
    (Param(b"\0SNM", b"x"), b"\0SNM\2\0\1\0x\0"),
    (Param("BAD", 5, type=7), b"BAD\0\7\0\2\0\5\0\0\0"),
    (Param("RAW", type=2, size=-1, raw=b"xyz"), b"RAW\0\2\0\xff\xffxyz"),
])
def test_param_record_bytes(param, expected):
    assert param.encode() == expected


def test_params_block_forms():
    assert len(params({"NPT": 1024}, end=False)) == 12
    block = params([("NPT", 8), ("DROP", None), Raw(b""), Param("SNM", "Sample"),
                    ("FXV", 1.5)], end=b"\0END")
    assert block.endswith(b"\0END")
    assert read_params(block, 0) == {"NPT": 8, "SNM": "Sample", "FXV": 1.5}


def test_header_directory_and_extension():
    f = OrvelFile(max_dir=4)
    a = f.add(11, b"abcde")
    b = f.add(-22, b"xy", size_words=9)
    f.ext_entry(33, 7, 1 << 40)
    data = f.build()
    assert data[:4] == b"\x0a\x0a\xfe\xfe"
    assert struct.unpack_from("<d3i", data, 4) == (1.0, 24, 4, 3)
    assert (a, b) == (72, 80) and data[a:a + 5] == b"abcde" and data[b:b + 2] == b"xy"
    marker = (block_type(extend=64), 12, 84)
    assert read_dir(data) == [(11, 2, 72), (-22, 9, 80), marker, (33, 7, 1 << 40)]
    f.magic, f.dir_size, f.ext_count, f.ext_marker_offset = b"AAAA", 9, 5, 0
    data = f.build()
    assert data[:4] == b"AAAA" and struct.unpack_from("<i", data, 20)[0] == 9
    assert struct.unpack_from("<3i", data, 48) == (*marker[:2], 0)
    assert struct.unpack_from("<q", data, 84)[0] == 5
    full = OrvelFile(max_dir=1, ext_count=0)
    full.add(1, b"")
    with pytest.raises(ValueError):
        full.build()


def offsets3d(buf, at):
    _, _, rel, size, info, n = struct.unpack_from("<6i", buf, at)
    table = [struct.unpack_from("<2i", buf, at + 24 + 8 * k) for k in range(n)]
    out, pos = {}, at + rel
    for first, second in table:
        if first == -1:
            pos += second
        for index in ([] if first == -1 else range(first, second + 1)):
            out[index], pos = pos, pos + size + info
    return table, out


def test_block3d_layout_of_worked_example():
    values = [[float(10 * k + p) for p in range(100)] for k in range(4)]
    subs = [(0, values[0], 1.5, "first"), (1, values[1]), (2, values[2]),
            Skip(1000), (3, values[3], None, b"x" * 48)]
    f = OrvelFile()
    f.raw_at_end(bytes(5000 - f.end))
    at = f.add(block_type(sample=3, data=4, extend=10), block3d(subs, block_offset=64))
    data = f.build()
    table, offsets = offsets3d(data, at)
    assert at == 5000 and table == [(0, 2), (-1, 1000), (3, 3)]
    assert offsets == {0: 5064, 1: 5664, 2: 6264, 3: 7864}
    for k, off in offsets.items():
        assert list(struct.unpack_from("<100f", data, off)) == values[k]
    assert struct.unpack_from("<d", data, 5064 + 536)[0] == 1.5
    assert data[5064 + 552:5064 + 600] == b"first".ljust(48, b"\0")
    assert data[7864 + 552:7864 + 600] == b"x" * 48
    with pytest.raises(ValueError):
        block3d([(0, [1.0], None, "x" * 49)], info_size=200)


def test_block3d_table_follows_given_order_and_overrides():
    one = [0.0]
    assert offsets3d(block3d([(5, one), (6, one), (2, one)]), 0)[0] == [(5, 6), (2, 2)]
    raw = block3d([(0, one)], store_table=[(0, 0), (0, 0)], n_entries=-1, block_size=8)
    assert struct.unpack_from("<6i", raw) == (0, 1, 40, 8, 200, -1)


def read_anno(buf, off):
    d, out = read_params(buf, off + 12), {}
    for i in range(d["NRP"]):
        rec = off + d[f"F{i:02d}"]
        p = read_params(buf, rec)
        if "SRC" not in p:
            continue
        cols = [(p[f"S{c:02d}"], p[f"F{c:02d}"], p[f"T{c:02d}"]) for c in range(p["NCO"])]
        width = max([p["SRC"] - f for _, f, t in cols if 1000 <= t <= 1099], default=-1)
        out.update({name: [] for name, _, _ in cols})
        for r in range(p["NLN"]):
            at = rec + p["SIZ"] + r * p["SRC"]
            for name, _, t in cols:
                n = 4 if t in (4, 5) else width if 1000 <= t <= 1099 else 0
                cell = buf[at:at + n]
                out[name].append(struct.unpack("<i", cell)[0] if t == 4 else
                                 struct.unpack("<f", cell)[0] if t == 5 else
                                 cell.split(b"\0")[0].decode() if n else None)
                at += n
    return out


def test_annotation_tables_read_back():
    rows = region(1, 2, 1, [1, 2], Name="spot-1") + region(2, 0, 0, [3], x=[0.5], y=[2.5])
    extra = region_table([{"Group": 7, "Odd": 1}], types={"Odd": 9}, text_width=8)
    block = b"pad!" + anno_block([region_table(rows)], records=[{"XYZ": 1}, extra])
    got = read_anno(block, 4)
    assert got == {"Group": [7], "Type": [0, 0, 0], "AryNX": [2, 2, 0],
                   "AryNY": [1, 1, 0], "AryType": [0, 0, 0], "Fileindex": [1, 2, 3],
                   "X": [0.0, 1.0, 0.5], "Y": [0.0, 1.0, 2.5],
                   "Name": ["spot-1", "spot-1", ""], "Odd": [None]}
    assert read_params(block, 16)["NRP"] == 3


@pytest.mark.parametrize("number, code", [(0, "00"), (99, "99"), (100, "AA"),
                                          (125, "AZ"), (126, "BA"), (775, "ZZ"), (776, "AAA")])
def test_picture_codes(number, code):
    assert picture_code(number) == code


def walk_images(buf, off, size, limit=10):
    pd, pos, visits = {}, off, 0
    while pos != off + size and visits < limit:
        cur, visits = pos, visits + 1
        k = buf[cur:cur + 16].find(b"BID")
        if k < 0:
            break
        p = read_params(buf, cur + k)
        if (p.get("BID", 0) >> 19) & 127 == 20:
            pd.update(p)
        last = picture_code(pd["NRP"] - 1)
        pos = off + pd["F" + last] + pd["Z" + last]
        if pos == cur:
            break
    pictures = []
    for i in range(pd["NRP"]):
        at = off + pd["F" + picture_code(i)]
        p = read_params(buf, at)
        labels = {p[h].rstrip(":"): p["V" + h[1:]] for h in p if h[0] == "H" and h != "H00"}
        start = at + p["SIZ"] + p["F00"]
        image = buf[start:start + labels["Bytes"]] if p["T00"] == 9 else None
        pictures.append((p["H00"], labels, image))
    return visits, pictures


@pytest.mark.parametrize("chunks, loop_to, visits", [
    (None, None, 1), ([2, 1], None, 2), ([1, 2], 1, 2), ([1, 2], 0, 10)])
def test_image_block_walk(chunks, loop_to, visits):
    pics = [Picture(b"\x89PNG-a", "a", {"Mag:": 4.0}), b"bmp",
            Picture(b"zzz", "c", t00=3, f00=5)]
    block = image_block(pics, chunks=chunks, loop_to=loop_to)
    f = OrvelFile()
    at = f.add(block_type(extend=20), block)
    got_visits, got = walk_images(f.build(), at, len(block))
    assert len(block) % 4 == 0 and got_visits == visits
    assert got == [("a", {"Mag": 4.0, "Bytes": 6, "Type": 0}, b"\x89PNG-a"),
                   ("Picture", {"Bytes": 3, "Type": 0}, b"bmp"), ("c", {}, None)]


def test_whole_file_builders():
    data = spectrum_file([1.0, 3.0], params={"LXV": None, "RES": 4}, acq={"RES": 8}).build()
    (d, _, at), (p, _, pat), (a, _, aat) = read_dir(data)
    assert (d, p, a) == (data_word("AB"), data_word("AB", param=1), block_type(param=3))
    assert struct.unpack_from("<2f", data, at) == (1.0, 3.0)
    assert read_params(data, pat) == {"NPT": 2, "FXV": 4000.0, "MNY": 1.0, "MXY": 3.0, "RES": 4}
    data = multiregion_file(region(1, 0, 0, [0]), [(0, [2.0, 4.0])], name="TRC").build()
    words = [e[0] for e in read_dir(data)]
    assert words == [data_word("TRC", "3D"), data_word("TRC", "3D", param=1),
                     block_type(extend=11)]
    assert read_anno(data, read_dir(data)[2][2])["Fileindex"] == [0]
