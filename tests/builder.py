"""Compose small, exact Orvel files for the test suite.

Every header field, count, offset and size can be overridden, so malformed
files are as easy to make as well-formed ones.  All numbers are little-endian
(the magic is the 4 bytes given).  numpy is optional (``floats`` takes arrays).

Example::

    from builder import OrvelFile, block_type, params, floats, spectrum_file

    f = spectrum_file([1.0, 2.0, 3.0], fxv=4000.0, lxv=400.0)   # ("AB", "2D", "NONE")
    f.add(block_type(param=3), params({"RES": 4.0}))            # acquisition block
    path = f.write(tmp_path / "ab.0")

    g = OrvelFile(dir_size=99)                                  # lying header
    off = g.add(block_type(sample=3, data=4), floats([0.5]))    # == 24 + 12 * 64
    data = g.build()[:-2]                                       # truncated file

Declared starts (3D ``block_offset``, table and picture ``SIZ``) hold what
the caller asks; the bytes that follow start there when that lies at or after
the end of what precedes them (zero filled), else right after it.
"""

import struct
from dataclasses import dataclass, field

MAGIC = b"\x0a\x0a\xfe\xfe"

# Parameter types of auxiliary blocks, extended types, sample types.
DATA_PARAMS, INSTRUMENT, ACQUISITION, FT, OPTICS, SAMPLE_PARAMS = 1, 2, 3, 4, 6, 10
EXT_2D, EXT_3D, EXT_ANNO, EXT_IMAGE, EXT_64 = 0, 10, 11, 20, 64
SAMPLE, REFERENCE, SPECTRUM = 1, 2, 3
DATA_TYPES = {"SC": 1, "IFG": 2, "PH": 3, "AB": 4, "TR": 5, "KM": 6, "TRC": 7,
              "RAM": 10, "EMIS": 11, "REFL": 12, "POW": 14, "LREFL": 15,
              "ATR": 16, "PAS": 17, "TRARI": 18, "ABARI": 19}
DERIVS = {"NONE": 0, "1DER": 1, "2DER": 2, "NDER": 3}
TEXT_TYPES = (2, 3, 4)

_FIELDS = (("complex", 0, 3), ("sample", 2, 3), ("param", 4, 63),
           ("data", 10, 127), ("deriv", 17, 3), ("extend", 19, 127))


def _wrap(value, bits=32):
    """Two's-complement wrap of any int into a signed field of `bits` bits."""
    half = 1 << (bits - 1)
    return (value + half) % (1 << bits) - half


def block_type(complex=0, sample=0, param=0, data=0, deriv=0, extend=0,
               extra=0, signed=True):
    """Block type word from its six fields (ValueError if one is out of range).

    `extra` is ORed in unchanged (e.g. 1 << 31 for the ignored high bits);
    `signed` returns the word as a signed 32-bit value, as the directory stores it.
    """
    values = dict(complex=complex, sample=sample, param=param, data=data,
                  deriv=deriv, extend=extend)
    word = extra
    for name, shift, mask in _FIELDS:
        if not 0 <= values[name] <= mask:
            raise ValueError(f"{name}={values[name]} outside 0..{mask}")
        word |= values[name] << shift
    return _wrap(word) if signed else word & 0xFFFFFFFF


def data_word(name="AB", dims="2D", deriv=0, param=0, complex=0, sample_type=None):
    """Block type word for a request name: "AB" is a spectrum (sample type 3),
    "SSC"/"RIFG" sample/reference blocks, "-CH2" adds 32 to the data type.
    `deriv`: code or name ("1DER"); `param` 1 gives the data parameter block;
    `sample_type` overrides the sample type (0 for a trace block listed once)."""
    name, ch2 = (name[:-4], 32) if name.upper().endswith("-CH2") else (name, 0)
    name = name.upper()
    sample = SPECTRUM
    if name not in DATA_TYPES:
        sample = {"S": SAMPLE, "R": REFERENCE}[name[0]]
        name = name[1:]
    deriv = DERIVS[deriv.upper()] if isinstance(deriv, str) else deriv
    sample = sample if sample_type is None else sample_type
    return block_type(complex, sample, param, DATA_TYPES[name] + ch2, deriv,
                      EXT_3D if dims == "3D" else EXT_2D)


# ----------------------------------------------------------------- parameters

def _text(value):
    return bytes(value) if isinstance(value, (bytes, bytearray)) else str(value).encode()


def _is_text(kind):
    return 1000 <= kind <= 1099


@dataclass
class Param:
    """One parameter record: 4-byte name, int16 type, int16 size, value.

    int -> type 0 (int32), float -> 1 (float64), str/bytes -> 2 (text, NUL
    padded to whole 16-bit words, at least one NUL; size = words).  `type`
    overrides the type code (0/1 still pack int32/float64, 2..4 text, others
    by the value's Python type); `size` overrides the size field (text is then
    cut or padded to exactly 2*size bytes); `raw` replaces the value bytes.
    A str name is UTF-8 NUL padded to 4 bytes, a bytes name used as given."""
    name: object
    value: object = None
    type: int = None
    size: int = None
    raw: bytes = None

    def encode(self):
        name = _text(self.name).ljust(4, b"\0")
        if len(name) != 4:
            raise ValueError(f"parameter name {self.name!r} longer than 4 bytes")
        value, kind = self.value, self.type
        if kind is None:
            kind = (2 if value is None or isinstance(value, (str, bytes, bytearray))
                    else 1 if isinstance(value, float) else 0)
        if self.raw is not None:
            body = bytes(self.raw)
        elif kind == 0 or (kind not in TEXT_TYPES + (1,) and isinstance(value, int)):
            body = struct.pack("<i", value)
        elif kind == 1 or (kind not in TEXT_TYPES and isinstance(value, float)):
            body = struct.pack("<d", value)
        else:
            body = _text(b"" if value is None else value)
            if self.size is not None and self.size >= 0:
                body = body[:2 * self.size].ljust(2 * self.size, b"\0")
            else:
                body += b"\0" * (2 - len(body) % 2)
        size = (len(body) + 1) // 2 if self.size is None else self.size
        return name + struct.pack("<hh", kind, size) + body


@dataclass
class Raw:
    """Arbitrary bytes inserted as they are among parameter records."""
    data: bytes

    def encode(self):
        return bytes(self.data)


def params(records, end=True):
    """Parameter block bytes from a dict {name: value} or an iterable of Param,
    Raw or (name, value) items (a Param value is used as is, a None value is
    left out).  `end`: True appends "END\\0", False omits it, bytes replace it."""
    items = records.items() if isinstance(records, dict) else records
    out = bytearray()
    for item in items:
        if not isinstance(item, (Param, Raw)):
            name, value = item
            if value is None:
                continue
            item = value if isinstance(value, Param) else Param(name, value)
        out += item.encode()
    if end:
        out += b"END\0" if end is True else bytes(end)
    return bytes(out)


def _sized(make):
    """make(len(make(0))), for bytes that state their own length (or offsets
    just past themselves): make(n) must not change length with the int n."""
    return make(len(make(0)))


def _place(head, declared, body):
    """head, zeros up to offset `declared` (if beyond head), then body."""
    return head + b"\0" * max(0, declared - len(head)) + body


def _headed(head, declared, body):
    """head(n) states the offset n of `body`: its own length, or `declared`."""
    return _place(_sized(head) if declared is None else head(declared), declared or 0, body)


def floats(values):
    """float32 little-endian bytes of a sequence or numpy array."""
    if hasattr(values, "astype"):
        return values.astype("<f4").tobytes()
    values = list(values)
    return struct.pack(f"<{len(values)}f", *values)


# ----------------------------------------------------------------- whole file

class OrvelFile:
    """A whole file: 24-byte header, 32-bit directory, blocks, 64-bit extension.

    The directory follows the header with room for `max_dir` entries (unused
    ones zero), so a block's offset is known when it is added.  `dir_offset`,
    `max_dir_size`, `dir_size` override the header fields.  With 64-bit
    entries (or `ext_count` set) build() appends the extension (count, unused,
    32-byte entries) and a marker entry (extended type 64) after the 32-bit
    entries pointing at it, or at `ext_marker_offset`.  Attributes may be
    changed at any time before build()."""
    HEADER = 24

    def __init__(self, max_dir=64, magic=MAGIC, version=1.0, dir_offset=None,
                 max_dir_size=None, dir_size=None, ext_count=None,
                 ext_marker_offset=None):
        self.max_dir, self.magic, self.version = max_dir, magic, version
        self.dir_offset, self.max_dir_size, self.dir_size = dir_offset, max_dir_size, dir_size
        self.ext_count, self.ext_marker_offset = ext_count, ext_marker_offset
        self.entries, self.ext = [], []
        self.body = bytearray()

    @property
    def end(self):
        """Absolute offset of the first byte after everything added so far."""
        return self.HEADER + 12 * self.max_dir + len(self.body)

    def raw_at_end(self, data, align=False):
        """Append bytes without a directory entry; returns their offset."""
        if align:
            self.body += b"\0" * (-len(self.body) % 4)
        offset = self.end
        self.body += data
        return offset

    def entry(self, type_word, size_words, offset):
        """Add a 32-bit directory entry as given (no payload)."""
        self.entries.append((type_word, size_words, offset))

    def ext_entry(self, type_word, size_words, offset):
        """Add an entry to the 64-bit directory extension (no payload)."""
        self.ext.append((type_word, size_words, offset))

    def add(self, type_word, payload, size_words=None, ext=False):
        """Append `payload` at a 4-byte boundary with a directory entry (in the
        extension if `ext`); size defaults to ceil(len / 4).  Returns the offset."""
        offset = self.raw_at_end(payload, align=True)
        size = -(-len(payload) // 4) if size_words is None else size_words
        (self.ext_entry if ext else self.entry)(type_word, size, offset)
        return offset

    def build(self):
        """The file's bytes."""
        entries, body = list(self.entries), bytearray(self.body)
        if self.ext or self.ext_count is not None:
            body += b"\0" * (-len(body) % 4)
            where = self.HEADER + 12 * self.max_dir + len(body)
            count = len(self.ext) if self.ext_count is None else self.ext_count
            table = struct.pack("<qq", count, 0) + b"".join(
                struct.pack("<4q", *(_wrap(v, 64) for v in e), 0) for e in self.ext)
            body += table
            marker = where if self.ext_marker_offset is None else self.ext_marker_offset
            entries.append((block_type(extend=EXT_64), len(table) // 4, marker))
        if len(entries) > self.max_dir:
            raise ValueError(f"{len(entries)} directory entries, room for {self.max_dir}")
        directory = b"".join(struct.pack("<3i", *map(_wrap, e)) for e in entries)
        header = bytes(self.magic) + struct.pack(
            "<d3i", self.version,
            self.HEADER if self.dir_offset is None else self.dir_offset,
            self.max_dir if self.max_dir_size is None else self.max_dir_size,
            len(entries) if self.dir_size is None else self.dir_size)
        return header + directory.ljust(12 * self.max_dir, b"\0") + bytes(body)

    def write(self, path):
        """Write build() to `path`; returns `path`."""
        with open(path, "wb") as out:
            out.write(self.build())
        return path


# ----------------------------------------------------------------- 3D blocks

@dataclass
class Skip:
    """In block3d's sub-block list: a skip entry (-1, count) and, when the
    count is positive, `count` zero bytes (`fill` bytes instead if given)."""
    count: int
    fill: bytes = None


def block3d(subblocks, npt=None, info_size=200, block_offset=None,
            store_table=None, block_size=None, version=0, stored=None,
            n_entries=None):
    """3D data block payload: header, store table, sub-blocks.

    `subblocks`: (index, values[, time[, label]]) tuples and Skip items, laid
    out in order.  A sub-block is `block_size` (default 4*npt) data bytes and
    `info_size` info bytes; the float64 `time` lies 4*npt + 136 and the label
    (str: UTF-8, bytes: as is) 4*npt + 152 bytes after its start (ValueError
    if it does not fit).  `npt` defaults to the first values' length.  The
    store table (one range entry per run of consecutive indices, skip
    entries) is replaced by `store_table` pairs or bytes.  `block_offset`
    (relative), `stored`, `n_entries`, `version` override header fields."""
    items = [s if isinstance(s, Skip) else tuple(s) + (None,) * (4 - len(s))
             for s in subblocks]
    blocks = [s for s in items if not isinstance(s, Skip)]
    if npt is None:
        npt = len(blocks[0][1]) if blocks else 0
    block_size = 4 * npt if block_size is None else block_size
    stride = block_size + info_size
    table, area = [], bytearray()
    for item in items:
        if isinstance(item, Skip):
            table.append((-1, item.count))
            area += item.fill if item.fill is not None else b"\0" * max(0, item.count)
            continue
        index, values, time, label = item
        if table and table[-1][0] != -1 and table[-1][1] + 1 == index:
            table[-1] = (table[-1][0], index)
        else:
            table.append((index, index))
        record = bytearray(stride)
        fields = [(0, floats(values))]
        if time is not None:
            fields.append((4 * npt + 136, struct.pack("<d", time)))
        if label is not None:
            fields.append((4 * npt + 152, _text(label)))
        for at, data in fields:
            if at + len(data) > stride:
                raise ValueError(f"sub-block {index}: {len(data)} bytes at {at} "
                                 f"do not fit in {stride}")
            record[at:at + len(data)] = data
        area += record
    if store_table is not None:
        table = store_table
    table_bytes = table if isinstance(table, bytes) else b"".join(
        struct.pack("<2i", *map(_wrap, e)) for e in table)
    count = len(table_bytes) // 8 if n_entries is None else n_entries
    natural = 24 + len(table_bytes)
    header = struct.pack("<6i", version, len(blocks) if stored is None else stored,
                         natural if block_offset is None else block_offset,
                         block_size, info_size, count)
    return _place(header + table_bytes, block_offset or 0, bytes(area))


# ----------------------------------------------------------------- annotations

INT, FLOAT, TEXT = 4, 5, 1000


@dataclass
class Column:
    """A table column: name, type code (4 int32, 5 float32, 1000..1099 text,
    anything else unknown), byte `offset` in the row (default: packed)."""
    name: str
    type: int
    offset: int = None


def _cell(kind, value, width):
    if kind == INT:
        return struct.pack("<i", value)
    if kind == FLOAT:
        return struct.pack("<f", value)
    if _is_text(kind):
        return _text(value)[:width].ljust(width, b"\0")
    return bytes(value) if isinstance(value, bytes) else b""


@dataclass
class Table:
    """An annotation table record: parameter part (SRC, SIZ, NCO, NLN, then
    Snn/Fnn/Tnn per column, `extra`, END), then the rows: cells one after
    another in column order (int32, float32, text of `text_width` bytes, for
    an unknown type a bytes value as is, else nothing), padded to `row_len`.
    `text_width` defaults to the longest text + 1 rounded up to 4.  `row_len`,
    `siz`, `nco`, `nln` override the declared values."""
    columns: list
    rows: list
    text_width: int = None
    row_len: int = None
    siz: int = None
    nco: int = None
    nln: int = None
    extra: list = field(default_factory=list)

    def encode(self):
        cols = [c if isinstance(c, Column) else Column(*c) for c in self.columns]
        texts = [len(_text(r[i])) for r in self.rows for i, c in enumerate(cols)
                 if _is_text(c.type)]
        width = self.text_width
        if width is None:
            width = max([4] + [(n + 4) // 4 * 4 for n in texts])
        rows = [b"".join(_cell(c.type, r[i], width) for i, c in enumerate(cols))
                for r in self.rows]
        offsets, at = [], 0
        for c in cols:
            offsets.append(at if c.offset is None else c.offset)
            at += len(_cell(c.type, "" if _is_text(c.type) else 0, width))
        row_len = max([at] + [len(r) for r in rows]) if self.row_len is None else self.row_len
        body = b"".join(r.ljust(row_len, b"\0") for r in rows)

        def head(siz):
            recs = [("SRC", row_len), ("SIZ", siz),
                    ("NCO", len(cols) if self.nco is None else self.nco),
                    ("NLN", len(rows) if self.nln is None else self.nln)]
            for i, (c, off) in enumerate(zip(cols, offsets)):
                recs += [(f"S{i:02d}", c.name), (f"F{i:02d}", off), (f"T{i:02d}", c.type)]
            return params(recs + list(self.extra))
        return _headed(head, self.siz, body)


def region_table(rows, types=None, **options):
    """Table from per-row dicts ({"Group": 1, "X": 0.5, ...}).

    Columns are the keys in order of first appearance; their type follows
    the first value's Python type (int -> 4, float -> 5, str/bytes -> 1000)
    unless `types` {name: code} says otherwise.  Missing cells are 0 / "".
    `options` go to Table.
    """
    names = list(dict.fromkeys(k for r in rows for k in r))
    types = dict(types or {})
    for name in names:
        if name not in types:
            first = next(r[name] for r in rows if name in r)
            types[name] = (TEXT if isinstance(first, (str, bytes))
                           else FLOAT if isinstance(first, float) else INT)
    blank = {n: "" if _is_text(types[n]) else 0 for n in names}
    return Table([Column(n, types[n]) for n in names],
                 [[r.get(n, blank[n]) for n in names] for r in rows], **options)


def region(group, nx, ny, fileindex, x=None, y=None, type=0, arytype=0, **more):
    """Rows of one multi-region region: one dict per Fileindex, all
    carrying Group, Type, AryNX, AryNY, AryType; X, Y default to 0.0, 1.0, ...
    Extra keyword columns are repeated on every row."""
    fileindex = list(fileindex)
    steps = [float(k) for k in range(len(fileindex))]
    return [dict(Group=group, Type=type, AryNX=nx, AryNY=ny, AryType=arytype,
                 Fileindex=f, X=xv, Y=yv, **more)
            for f, xv, yv in zip(fileindex, steps if x is None else x, steps if y is None else y)]


def anno_block(tables, records=(), head=bytes(12), nrp=None, dir_extra=()):
    """Annotation block payload: `head` (12 bytes), the record directory
    parameter block (NRP, F00, F01, ... offsets relative to the block start,
    then `dir_extra` records) at +12, then the records.

    Records are `tables` then `records`, in order; each is a Table, a
    dict/list of parameter records (a non-table record), or raw bytes.
    `nrp` overrides NRP.
    """
    encoded = [r.encode() if isinstance(r, Table)
               else bytes(r) if isinstance(r, (bytes, bytearray)) else params(r)
               for r in list(tables) + list(records)]

    def directory(base):
        recs, at = [("NRP", len(encoded) if nrp is None else nrp)], base
        for i, rec in enumerate(encoded):
            recs.append((f"F{i:02d}", at))
            at += len(rec)
        return head + params(recs + list(dir_extra))
    return _sized(directory) + b"".join(encoded)


# ----------------------------------------------------------------- pictures

def picture_code(i):
    """Code of picture number i: 00..99, then AA..AZ, BA.., ZZ, AAA..."""
    if i < 100:
        return f"{i:02d}"
    n, code = i - 100 + 26, ""
    while True:
        n, m = divmod(n, 26)
        code = chr(65 + m) + code
        if n == 0:
            return code
        n -= 1


@dataclass
class Picture:
    """A picture record: parameter block (SIZ, T00, F00, H00 title, then
    Hnn label / Vnn value pairs, `extra`, END), `f00` zero bytes, `data`.

    When `t00` is 9 and `auto` is set, labels "Bytes:" (len(data)) and
    "Type:" (0) are added unless labels named Bytes/Type are given.
    `siz` overrides the SIZ value.
    """
    data: bytes = b""
    title: str = "Picture"
    labels: dict = field(default_factory=dict)
    t00: int = 9
    f00: int = 0
    siz: int = None
    extra: list = field(default_factory=list)
    auto: bool = True

    def encode(self):
        labels = dict(self.labels)
        have = {k.rstrip(":") for k in labels}
        if self.auto and self.t00 == 9:
            for name, value in (("Bytes", len(self.data)), ("Type", 0)):
                if name not in have:
                    labels[name + ":"] = value

        def head(siz):
            recs = [("SIZ", siz), ("T00", self.t00), ("F00", self.f00), ("H00", self.title)]
            for n, (label, value) in enumerate(labels.items(), 1):
                recs += [(f"H{n:02d}", label), (f"V{n:02d}", value)]
            return params(recs + list(self.extra))
        return _headed(head, self.siz, b"\0" * self.f00 + bytes(self.data))


def image_block(pictures, chunks=None, loop_to=None, nrp=None, bid=None,
                lead=b"", set_extra=()):
    """Image block payload from Picture objects (bytes: Picture(bytes)).

    One chunk per entry of `chunks` (picture counts; default one chunk).  A
    chunk is `lead`, an image-set parameter block (BID `bid`, default extended
    type 20; NRP pictures so far or `nrp`; Fcode/Zcode of its pictures,
    relative to the block start; `set_extra`), then its picture records, each
    padded to 4 bytes.  `loop_to`: the last picture's Z makes it end at the
    start of that chunk (the last one: self-pointing; earlier: endless walk).
    Keep `lead` and `set_extra` whole words so the block ends with its last
    picture."""
    pics = [p if isinstance(p, Picture) else Picture(p) for p in pictures]
    recs = [r + b"\0" * (-len(r) % 4) for r in (p.encode() for p in pics)]
    chunks = [len(pics)] if chunks is None else chunks
    bid = block_type(extend=EXT_IMAGE) if bid is None else bid
    looped = sum(chunks) - 1 if loop_to is not None else None
    out, starts, first = bytearray(), [], 0
    for count in chunks:
        starts.append(len(out))
        mine = range(first, first + count)

        def set_params(at):
            entries = [("BID", bid), ("NRP", first + count if nrp is None else nrp)]
            for i in mine:
                z = starts[loop_to] - at if i == looped else len(recs[i])
                entries += [(f"F{picture_code(i)}", at), (f"Z{picture_code(i)}", z)]
                at += len(recs[i])
            return bytes(lead) + params(entries + list(set_extra))
        out += _sized(lambda n: set_params(starts[-1] + n))
        out += b"".join(recs[i] for i in mine)
        first += count
    return bytes(out)


# ----------------------------------------------------------------- whole files

AUX = {"acq": ACQUISITION, "inst": INSTRUMENT, "optics": OPTICS,
       "sample": SAMPLE_PARAMS, "ft": FT}


def _data_file(name, dims, deriv, payload, seqs, npt, fxv, lxv, extra, aux, f, sample_type=None):
    """Data block, data parameters (NPT, FXV, LXV, MNY, MXY from `seqs`,
    then `extra`) and the auxiliary blocks in `aux` ({"acq": records, ...});
    `sample_type` as data_word's."""
    values = [float(v) for s in seqs for v in s] or [0.0]
    data = {"NPT": npt, "FXV": fxv, "LXV": lxv, "MNY": min(values),
            "MXY": max(values), **(extra or {})}
    f = OrvelFile() if f is None else f
    f.add(data_word(name, dims, deriv, sample_type=sample_type), payload)
    f.add(data_word(name, dims, deriv, param=DATA_PARAMS, sample_type=sample_type), params(data))
    for key, recs in aux.items():
        f.add(block_type(param=AUX[key]), params(recs))
    return f


def spectrum_file(y, fxv=4000.0, lxv=400.0, name="AB", deriv=0, params=None,
                  f=None, **aux):
    """OrvelFile (new, or `f`) holding a 2D data block of `y` (request
    `name`, "2D", `deriv`) and its data parameters NPT, FXV, LXV, MNY, MXY
    updated by the dict `params` (a None value drops a key).  Keywords
    acq, inst, optics, sample, ft: records of auxiliary blocks (sample type 0).
    """
    return _data_file(name, "2D", deriv, floats(y), [y], len(y), fxv, lxv,
                      params, aux, f)


def file3d(subblocks, fxv=4000.0, lxv=400.0, name="AB", deriv=0, params=None,
           f=None, acq=None, inst=None, optics=None, sample=None, ft=None,
           sample_type=None, **layout):
    """As spectrum_file for one 3D block, block3d(subblocks, **layout);
    `params` adds e.g. the map keys AOX, AOY, DDX, DDY, NPX, NPY;
    `sample_type` as data_word's."""
    values = [s[1] for s in subblocks if not isinstance(s, Skip)]
    npt = layout.get("npt")
    npt = (len(values[0]) if values else 0) if npt is None else npt
    aux = {k: v for k, v in dict(acq=acq, inst=inst, optics=optics, sample=sample,
                                 ft=ft).items() if v is not None}
    return _data_file(name, "3D", deriv, block3d(subblocks, **layout), values, npt,
                      fxv, lxv, params, aux, f, sample_type)


def cut_image(npx=3, npy=2, npt=5, keep=None):
    """The bytes of an image (pixel k's values k*10 + 0, 1, ...) whose values come last, cut
    after `keep` bytes (None: whole)."""
    f = OrvelFile(max_dir=4)
    f.add(data_word("AB", "3D", param=DATA_PARAMS), params(dict(
        AOX=-10.0, AOY=5.0, DDX=2.5, DDY=-2.5, NPT=npt, FXV=1.0, LXV=5.0, MNY=0.0, MXY=1.0,
        NPX=npx, NPY=npy, DAT="08/12/2026", TIM="14:03:22 (GMT+1)")))
    f.add(data_word("AB", "3D"), block3d([(k, [j + 10.0 * k for j in range(npt)]) for k in range(npx * npy)]))
    data = f.build()
    return data if keep is None else data[:keep]


def multiregion_file(rows, subblocks, tables=(), records=(), **kwargs):
    """file3d(subblocks, **kwargs) plus an annotation block (extended type
    11) whose first table is region_table(rows) followed by `tables` and
    the non-table `records`."""
    f = file3d(subblocks, **kwargs)
    f.add(block_type(extend=EXT_ANNO),
          anno_block([region_table(rows)] + list(tables), records))
    return f
