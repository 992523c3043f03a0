"""Seed files for the fuzzer and the mutation tests, made with the test-file builder.

    python fuzz/make_corpus.py DIR              writes one file per seed into DIR
    python fuzz/make_corpus.py DIR --mutants    and the mutants of every seed

seeds() returns {name: bytes}: one small, valid file of every kind the reader knows
(2D spectra with every auxiliary block, derivatives, second channels, the 64-bit directory,
hyperspectral images, image traces, time-resolved spectra and traces, multi-region point and
trace maps, visible pictures), plus the bundled example file; every block they list reads.
hostile() returns small files that once cost far more than their size (sub-blocks read over
and over, an axis no data backs, picture walks and listings that repeat one record).
"""
import math
import pathlib
import random
import re
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from builder import (EXT_ANNO, EXT_IMAGE, OrvelFile, Picture, Skip, anno_block,  # noqa: E402
                     block_type, data_word, file3d, floats, image_block, multiregion_file,
                     params, picture_code, region, region_table, spectrum_file)

AUX = dict(acq={"RES": 4.0, "NSS": 32, "SNM": "film"}, inst={"HFL": 15798.0, "INS": "bench"},
           optics={"APT": "1 mm", "BMS": "KBr"}, sample={"SNM": "sample", "CNM": "op"},
           ft={"APF": "B3", "PHR": 32.0, "ZFF": 2})
MAP = {"AOX": -10.0, "AOY": 5.0, "DDX": 2.5, "DDY": -2.5}


def small():
    """A file with room for 12 directory entries: seeds stay small."""
    return OrvelFile(max_dir=12)


def wave(n, phase=0.0):
    return [round(math.sin(0.3 * k + phase), 4) for k in range(n)]


def pictures_file():
    pics = [Picture(b"\x89PNG\r\n\x1a\n" + bytes(24), "png", {"Mag:": 4.0, "Pos X:": "1.5 um"}),
            Picture(b"BM" + bytes(40), "bmp", {"Type:": 258, "Bytes:": 42}),
            Picture(b"", "empty", t00=3, f00=8),
            Picture(bytes(6) + b"JFIF" + bytes(10), "jpeg")]
    f = spectrum_file([1.0, 2.0], f=small())
    f.add(block_type(extend=EXT_IMAGE), image_block(pics, chunks=[1, 2, 1]))
    return f


def seeds():
    out = {}
    out["spectrum"] = spectrum_file(wave(64), f=small(), **AUX)
    out["spectrum-1der-ch2"] = spectrum_file(wave(16), name="AB-CH2", deriv="1DER", params={"DXU": "WN"},
                                             f=small())
    f = spectrum_file(wave(8), name="SSC", acq={"RES": 2.0}, f=small())
    spectrum_file(wave(8, 1.0), name="RIFG", f=f)
    spectrum_file(wave(8, 2.0), name="TR", deriv="NDER", f=f)
    spectrum_file(wave(4), name="TRC", f=f)
    out["sample-reference"] = f
    g = small()
    g.add(data_word("KM"), floats(wave(8)), ext=True)
    g.add(data_word("KM", param=1), params({"NPT": 8, "FXV": 1.0, "LXV": 8.0, "MNY": -1.0, "MXY": 1.0}),
          ext=True)
    out["directory64"] = g

    npx, npy, npt = 3, 2, 6
    out["image"] = file3d([(k, wave(npt, k)) for k in range(5)],
                          params=dict(MAP, NPX=npx, NPY=npy), acq=AUX["acq"], f=small())
    out["image-1der-original"] = file3d(
        [(k, wave(npt, k)) for k in range(2)], deriv="1DER",
        params=dict(MAP, NPX=0, NPY=0),
        f=spectrum_file(wave(npt), name="AB", f=small()))
    orig = out["image-1der-original"]
    orig.add(data_word("AB", "3D", param=1), params(dict(MAP, NPX=2, NPY=1, NPT=npt)))
    out["image-traces"] = file3d([(k, wave(npx * npy, k), None, f"trace {k}") for k in range(3)],
                                 name="TRC", params=dict(MAP, NPX=npx, NPY=npy), f=small())
    out["time-resolved"] = file3d([(0, wave(npt), 0.5), Skip(12), (1, wave(npt, 1), 1.5),
                                   (3, wave(npt, 2), 3.0)], info_size=160, f=small())
    out["time-resolved-traces"] = file3d([(k, wave(npt, k), float(k), f"band {k}") for k in range(3)],
                                         name="TRC", info_size=176, f=small())
    # Text columns come after the numeric ones; trace positions count from 1.
    rows = (region(1, 2, 2, [0, 1, 2, 3], Time=0.25, Name="map-1")
            + region(2, 0, 0, [4], x=[0.5], y=[2.5], Name="point"))
    out["multi-region"] = multiregion_file(rows, [(k, wave(npt, k), 0.1 * k) for k in range(5)], f=small())
    out["multi-region-traces"] = multiregion_file(
        region(1, 1, 2, [1, 2], Name="t") + region(2, 0, 0, [3]),
        [(k, wave(npt, k), None, f"trace {k}") for k in range(3)], name="TRC", f=small())
    out["pictures"] = pictures_file()

    result = {name: f.build() for name, f in out.items()}
    sample = HERE.parent / "examples" / "sample.orv"
    if sample.exists():
        result["example"] = sample.read_bytes()
    return result


def stacked_file(count, npt, name="AB", extra=None, anno_rows=None):
    """A 3D block whose `count` sub-blocks of `npt` values all lie at one place (a stride of 0):
    values 1, 2, ..., a time of 0.5 and the label "L". With `anno_rows`, an annotation table."""
    f = OrvelFile()
    f.add(data_word(name, "3D", param=1),
          params({"NPT": npt, "FXV": 1.0, "LXV": float(npt), "MNY": 0.0, "MXY": 1.0, **(extra or {})}))
    record = bytearray(4 * npt + 160)
    record[:4 * npt] = struct.pack(f"<{npt}f", *range(1, npt + 1))
    record[4 * npt + 136:4 * npt + 144] = struct.pack("<d", 0.5)
    record[4 * npt + 152:4 * npt + 153] = b"L"
    f.add(data_word(name, "3D"), struct.pack("<6i2i", 0, 1, 32, 4 * npt, -4 * npt, 1, 0, count - 1) + record)
    if anno_rows:
        f.add(block_type(extend=EXT_ANNO), anno_block([region_table(anno_rows)]))
    return f.build()


AMPLIFIED = ("time-resolved", "time-traces", "image", "image-traces", "point-map", "trace-map")


def amplified_file(kind, m, npt, traces=4000):
    """(file, request) of `kind`: m spectra, traces or map positions that all read one sub-block
    of npt values (a trace map: m positions that each read `traces` traces)."""
    maps = dict(AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0)
    made = {
        "time-resolved": lambda: stacked_file(m, npt),
        "time-traces": lambda: stacked_file(m, npt, "TRC"),
        "image": lambda: stacked_file(m, npt, extra=dict(maps, NPX=m, NPY=1)),
        "image-traces": lambda: stacked_file(m, npt, "TRC", extra=dict(maps, NPX=1, NPY=npt)),
        "point-map": lambda: stacked_file(1, npt, anno_rows=region(1, m, 1, [0] * m)),
        "trace-map": lambda: stacked_file(traces, npt, "TRC", anno_rows=region(1, m, 1, [1] * m)),
    }
    return made[kind](), ("TRC" if "trace" in kind else "AB", "3D", "NONE")



def picture_walk_file(values, chunks):
    """An image block of `chunks` chunks whose first picture record is itself an image set of
    `values` values, merged again on every chunk of the walk."""
    digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    names = [lead + digits[k // 36 % 36] + digits[k % 36] for k, lead in
             zip(range(values), (c for c in "JKLMOPQRUWXY" for _ in range(36 * 36)))]

    def pictures(f00):
        first = Picture(b"", "first", t00=3, f00=f00,
                        extra=[("BID", block_type(extend=EXT_IMAGE))] + [(n, 1) for n in names])
        return [first] + [Picture(b"", f"p{i}", t00=3) for i in range(1, chunks)]
    # The first record's F00 names the record itself, as the image sets' F00 does.
    at = image_block(pictures(0), chunks=[1] * chunks).index(b"SIZ\0")
    f = OrvelFile()
    f.add(block_type(extend=EXT_IMAGE), image_block(pictures(at), chunks=[1] * chunks))
    return f.build()




def shared_record_file(n, labels, width=0, data=8):
    """An image block whose n picture codes all name one record of `labels` labelled values (texts
    of `width` characters at least) and `data` bytes of a picture."""
    record = Picture(b"BM" + bytes(data), "shared", {f"L{k}:": f"v{k}".ljust(width, ".")
                                                  for k in range(labels)}).encode()
    image = block_type(extend=EXT_IMAGE)

    def image_set(at, end):
        recs = [("BID", image), ("NRP", n)] + [(f"F{picture_code(i)}", at) for i in range(n)]
        return params(recs + [(f"Z{picture_code(i)}", end - at) for i in range(n)])
    head = len(image_set(0, 0))
    f = OrvelFile()
    f.add(image, image_set(head, head + len(record)) + record)
    return f.build()


def shared_params_file(records, blocks):
    """`blocks` spectra of one value, each with its own data parameters, that all share one
    acquisition parameter block of `records` records."""
    names = ("ABCDEFGHIJKLMNOPQRSTUVWXYZ"[k // 36 ** 3 % 26] + "".join(
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[k // 36 ** e % 36] for e in (2, 1, 0)) for k in range(records))
    f = OrvelFile(max_dir=2 * blocks + 1)
    requests = [(name + ch2, deriv) for name in "AB TR KM RAM REFL EMIS ATR SSC RSC SIFG RIFG PAS LREFL SPOW "
                "RPOW SPH RPH TRARI ABARI TRC".split() for ch2 in ("", "-CH2") for deriv in range(4)]
    for name, deriv in requests[:blocks]:
        f.add(data_word(name, deriv=deriv), floats([1.0]))
        f.add(data_word(name, deriv=deriv, param=1),
              params({"NPT": 1, "FXV": 1.0, "LXV": 1.0, "MNY": 1.0, "MXY": 1.0, "DXU": "WN"}))
    f.add(block_type(param=3), params([(n, 1) for n in names]))
    return f.build()


def many_regions_file(n, npt):
    """A point map of n regions of one point each, all reading one sub-block of npt values."""
    rows = [dict(Group=g, Type=0, AryNX=0, AryNY=0, AryType=0, Fileindex=0, X=0.0, Y=0.0) for g in range(n)]
    return multiregion_file(rows, [(0, [1.0] * npt, 0.5)]).build()


def unbacked_file(npt, extra=None):
    """A 3D block of NPT `npt` whose one sub-block holds two values."""
    f = OrvelFile()
    f.add(data_word("AB", "3D", param=1),
          params({"NPT": npt, "FXV": 1.0, "LXV": 2.0, "MNY": 0.0, "MXY": 1.0, **(extra or {})}))
    f.add(data_word("AB", "3D"), struct.pack("<6i2i2f", 0, 1, 32, 4 * npt, 0, 1, 0, 0, 1.0, 2.0))
    return f.build()


def hostile():
    """Small files (under 64 KiB, for the fuzzer too) that once cost far more than their size."""
    out = {f"amplified-{kind}": amplified_file(kind, 300, 1 if kind == "trace-map" else 4096)[0]
           for kind in AMPLIFIED}
    out["unbacked-npt"] = unbacked_file(2**28)
    out["picture-walk"] = picture_walk_file(1500, 300)
    out["pictures-one-record"] = shared_record_file(2000, 99)
    return out


# ----------------------------------------------------------------- mutants

INT32 = (0, -1, 1, 2**31 - 1, -2**31, 0x10000)
INT16 = (0, -1, 2**15 - 1, -2**15)
INT64 = (0, -1, 2**63 - 1, -2**63, 2**31)
# A parameter record: three-character name, NUL, a type from 0 to 4.
RECORD = re.compile(rb"[A-Z][A-Z0-9]{2}\0[\0-\4]\0", re.DOTALL)


def fields(data):
    """(position, struct format) of every count, offset and size the file holds: the header,
    the directory and its 64-bit extension, 3D block headers and store tables, and the size
    and integer value of every parameter record."""
    out = [(12, "<i"), (20, "<i")]
    i32 = lambda at: struct.unpack_from("<i", data, at)[0] if 0 <= at <= len(data) - 4 else None
    start, count = i32(12), i32(20)
    if start is not None and count is not None:
        for k in range(max(0, min(count, 64))):
            at = start + 12 * k
            if at + 12 > len(data):
                break
            word, offset = i32(at), i32(at + 8)
            out += [(at + 4, "<i"), (at + 8, "<i")]
            extend, param = (word >> 19) & 0x7F, (word >> 4) & 0x3F
            if extend == 10 and param == 0 and offset + 24 <= len(data):
                out += [(offset + n, "<i") for n in (4, 8, 12, 16, 20)]
                entries = i32(offset + 20)
                for e in range(max(0, min(entries, 16))):
                    if offset + 32 + 8 * e <= len(data):
                        out += [(offset + 24 + 8 * e, "<i"), (offset + 28 + 8 * e, "<i")]
            if extend == 64 and offset + 16 <= len(data):
                n64 = struct.unpack_from("<q", data, offset)[0]
                out.append((offset, "<q"))
                for e in range(max(0, min(n64, 16))):
                    at64 = offset + 16 + 32 * e
                    if at64 + 32 <= len(data):
                        out += [(at64 + 8, "<q"), (at64 + 16, "<q")]
    for m in RECORD.finditer(data):
        out.append((m.start() + 6, "<h"))
        if data[m.start() + 4] == 0 and m.start() + 12 <= len(data):
            out.append((m.start() + 8, "<i"))
    return out


def mutants(name, data, boundary=24, flips=8, cuts=8):
    """Deterministic mutants of one seed: {label: bytes}. Boundary integers written over
    `boundary` of its counts, offsets and sizes, `flips` single-bit flips, and `cuts`
    truncations (at the header, the directory, the blocks and random places)."""
    rng = random.Random(name)
    out = {}
    values = {"<i": INT32, "<h": INT16, "<q": INT64}
    found = fields(data)
    records = {at for m in RECORD.finditer(data) for at in (m.start() + 6, m.start() + 8)}
    candidates = [[(at, fmt, v) for at, fmt in found for v in values[fmt]
                   if (at in records) == in_records and struct.unpack_from(fmt, data, at)[0] != v]
                  for in_records in (False, True)]
    # Half over the file's structure (header, directories, 3D tables), half over parameters.
    structure = rng.sample(candidates[0], min(boundary // 2, len(candidates[0])))
    chosen = structure + rng.sample(candidates[1], min(boundary - len(structure), len(candidates[1])))
    for at, fmt, v in chosen:
        m = bytearray(data)
        struct.pack_into(fmt, m, at, v)
        out[f"{name}@{at}{fmt[1]}={v}"] = bytes(m)
    for _ in range(flips):
        bit = rng.randrange(8 * len(data))
        m = bytearray(data)
        m[bit // 8] ^= 1 << (bit % 8)
        out[f"{name}^bit{bit}"] = bytes(m)
    lengths = {0, 3, 4, 23, 24, len(data) // 2, len(data) - 1}
    lengths.update(rng.randrange(len(data)) for _ in range(max(0, cuts - len(lengths))))
    for n in sorted(lengths)[:cuts]:
        out[f"{name}[:{n}]"] = data[:n]
    return out


def all_mutants(**options):
    out = {}
    for name, data in seeds().items():
        out.update(mutants(name, data, **options))
    return out


def main(argv):
    if len(argv) not in (2, 3) or (len(argv) == 3 and argv[2] != "--mutants"):
        sys.exit("usage: make_corpus.py DIR [--mutants]")
    where = pathlib.Path(argv[1])
    where.mkdir(parents=True, exist_ok=True)
    files = dict(seeds(), **hostile())
    if len(argv) == 3:
        files.update(all_mutants())
    for k, (name, data) in enumerate(files.items()):
        safe = re.sub(r"[^A-Za-z0-9_.=@^-]", "_", name)
        (where / f"{k:04d}-{safe}.orv").write_bytes(data)
    print(f"{len(files)} files in {where}")


if __name__ == "__main__":
    main(sys.argv)
