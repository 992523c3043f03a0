"""Writes the sample files of examples/: small synthetic measurements made with the test-file
builder (tests/builder.py), one of every kind of data the library reads.

    sample.orv     an absorbance spectrum (AB) of a polystyrene film and the single-channel
                   sample spectrum (SSC) it came from, with their parameters
    map.orv        a hyperspectral image of a polymer blend: 12 x 9 pixels of 256-point
                   absorbance spectra (AB 3D), two band-area maps computed from it (TRC 3D:
                   image traces), and the camera picture of the mapped area
    regions.orv    a multi-region point map of a tablet: a 4 x 3 grid and a line of 5 points
                   (AB 3D, with each spectrum's start time) and two camera pictures
    traces.orv     a multi-region trace map: three traces (peak height, band area, ratio) at the
                   points of a 5 x 4 grid and of a line of 6 points (TRC 3D)
    series.orv     a time-resolved series of a curing lacquer: 24 spectra, one every 30 s
                   (AB 3D), and two band-area traces over the same times (TRC 3D)
    batch/         six spectra of tablets of one batch, named as the instrument numbers
                   repeated measurements: tablet.0 ... tablet.5

Every value is computed (pseudo-random noise from fixed seeds): running this again writes the
same bytes.  Run it from anywhere (into examples/, or the directory given):
    python examples/make_sample.py [DIRECTORY]
"""
import math
import pathlib
import random
import struct
import sys
import zlib

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here.parent / "tests"))
out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else here
from builder import (ACQUISITION, EXT_IMAGE, OrvelFile, Picture, block_type, file3d,  # noqa: E402
                     image_block, multiregion_file, params, region, spectrum_file)

NPT, FXV, LXV = 1024, 4000.0, 400.0


def band(x, centre, width, height):
    return height * math.exp(-(((x - centre) / width) ** 2))


def axis(npt, fxv, lxv):
    return [fxv + i * (lxv - fxv) / (npt - 1) for i in range(npt)]


# ---------------------------------------------------------------- sample.orv (kept as it was)

xs = axis(NPT, FXV, LXV)
absorbance = [0.02 + band(x, 2920, 30, 0.8) + band(x, 1650, 25, 0.5) + band(x, 1050, 60, 0.3) for x in xs]
single = [10 ** -a * (1.0 + 0.5 * math.sin(x / 700)) for a, x in zip(absorbance, xs)]

f = OrvelFile()
spectrum_file(absorbance, FXV, LXV, name="AB", f=f, params={"DXU": "WN", "DAT": "08/12/2026"})
spectrum_file(single, FXV, LXV, name="SSC", f=f, params={"DXU": "WN"})
f.add(block_type(param=ACQUISITION), params(
    {"RES": 4.0, "NSS": 32, "SNM": "Polystyrene film", "CNM": "orvelio"}))
print(f.write(out / "sample.orv"))


# ---------------------------------------------------------------- shared pieces

# Bands (centre cm-1, width, height) of the materials the samples are made of.
POLYSTYRENE = [(3026, 12, 0.35), (2922, 18, 0.45), (1601, 6, 0.25), (1493, 6, 0.6), (1452, 7, 0.55),
               (756, 8, 0.7), (698, 7, 0.9)]
PMMA = [(2952, 20, 0.4), (1730, 12, 1.0), (1435, 10, 0.3), (1240, 16, 0.45), (1150, 18, 0.7)]
LACTOSE = [(3380, 120, 0.5), (2900, 40, 0.2), (1120, 30, 0.6), (1030, 25, 0.9), (890, 10, 0.3)]
API = [(3320, 60, 0.4), (1655, 14, 0.8), (1565, 12, 0.6), (1510, 10, 0.5), (1240, 15, 0.3)]
ACRYLATE = [(1725, 12, 0.9), (1636, 6, 0.5), (1410, 6, 0.4), (1190, 15, 0.6), (810, 6, 0.45)]
CURED = [(1725, 12, 0.9), (1190, 15, 0.7), (1160, 18, 0.4)]


def spectrum(x, bands, scale=1.0, baseline=0.02, noise=0.0, rng=None):
    """Absorbance at the points x of `bands` times `scale`, over a baseline, with noise."""
    return [round(baseline + scale * sum(band(v, *b) for b in bands)
                  + (rng.gauss(0.0, noise) if noise else 0.0), 5) for v in x]


def mix(*parts):
    """Point-wise sum of spectra (lists of equal length)."""
    return [round(sum(p), 5) for p in zip(*parts)]


def png(width, height, pixel):
    """A PNG picture (8-bit RGB) whose pixel (column, row) is the (r, g, b) pixel(column, row)."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    rows = b"".join(b"\0" + bytes(c for col in range(width) for c in pixel(col, row))
                    for row in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">2I5B", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def shade(level):
    """A grey-brown tone of a microscope's camera, level 0 (dark) to 1 (bright)."""
    level = min(1.0, max(0.0, level))
    return int(60 + 180 * level), int(55 + 170 * level), int(40 + 150 * level)


def add_pictures(f, pictures):
    f.add(block_type(extend=EXT_IMAGE), image_block(pictures))


INSTRUMENT = {"INS": "Orvel FT-IR microscope", "DTC": "MCT", "BMS": "KBr", "SRC": "MIR"}


# ---------------------------------------------------------------- map.orv

# A blend film: a disc of PMMA in polystyrene, mapped in 12 x 9 steps of 25 um.
NX, NY, STEP, X0, Y0 = 12, 9, 25.0, -137.5, 100.0
MAP_NPT, MAP_FXV, MAP_LXV = 256, 3200.0, 650.0
mx = axis(MAP_NPT, MAP_FXV, MAP_LXV)
rng = random.Random(1)


def pmma_share(px, py):
    """Share of PMMA at map position (px, py) um: a disc of radius 80 um around (-20, 10)."""
    r = math.hypot(px + 20.0, py - 10.0)
    return 1.0 / (1.0 + math.exp((r - 80.0) / 12.0))


pixels = []
for row in range(NY):
    for col in range(NX):
        share = pmma_share(X0 + STEP * col, Y0 - STEP * row)
        pixels.append(mix(spectrum(mx, POLYSTYRENE, 1.0 - share, 0.03, 0.004, rng),
                          spectrum(mx, PMMA, share, 0.0)))


def area(values, lo, hi, x=mx):
    """Band area between lo and hi cm-1 above a straight baseline joining its ends."""
    idx = [i for i, v in enumerate(x) if lo <= v <= hi]
    step = abs(x[1] - x[0])
    line = [values[idx[0]] + (values[idx[-1]] - values[idx[0]]) * k / (len(idx) - 1) for k in range(len(idx))]
    return round(sum(values[i] - b for i, b in zip(idx, line)) * step, 4)


MAP_GRID = {"AOX": X0, "AOY": Y0, "DDX": STEP, "DDY": -STEP, "NPX": NX, "NPY": NY}
MAP_DATE = {"DAT": "08/12/2026", "TIM": "14:03:27.118 (GMT+1)"}
f = file3d([(k, s) for k, s in enumerate(pixels)], MAP_FXV, MAP_LXV,
           params={"DXU": "WN", **MAP_DATE, **MAP_GRID},
           acq={"RES": 8.0, "NSS": 16, "APT": "25 um"},
           sample={"SNM": "PS/PMMA blend film", "SFM": "Film on CaF2", "CNM": "orvelio"},
           inst=INSTRUMENT)
band_maps = [("Area 1750-1700 cm-1 (PMMA C=O)", 1700, 1750), ("Area 1510-1475 cm-1 (PS ring)", 1475, 1510)]
file3d([(k, [area(s, lo, hi) for s in pixels], None, label) for k, (label, lo, hi) in enumerate(band_maps)],
       0.0, NX * NY - 1.0, name="TRC", sample_type=0, f=f, params={**MAP_DATE, **MAP_GRID})


def map_view(col, row):
    """The camera's view of the mapped area: 1 picture pixel = 2.5 um."""
    px, py = X0 - STEP / 2 + 2.5 * col, Y0 + STEP / 2 - 2.5 * row
    return shade(0.8 - 0.35 * pmma_share(px, py) + 0.03 * math.sin(px / 7 + py / 11))


add_pictures(f, [Picture(png(120, 90, map_view), "Mapped area",
                         {"Mag:": 15.0, "Width um:": 300.0, "Height um:": 225.0,
                          "X um:": X0 - STEP / 2, "Y um:": Y0 + STEP / 2})])
print(f.write(out / "map.orv"))


# ---------------------------------------------------------------- regions.orv

# A tablet's cross-section: a 4 x 3 grid over a grain of the active ingredient, then a line of
# 5 points across the coating; a spectrum every 9.5 s.
rng = random.Random(2)
PT_NPT, PT_FXV, PT_LXV = 300, 3800.0, 800.0
px_ = axis(PT_NPT, PT_FXV, PT_LXV)
grid_x = [40.0 + 20.0 * (k % 4) for k in range(12)]
grid_y = [60.0 + 20.0 * (k // 4) for k in range(12)]
line_x = [300.0 + 15.0 * k for k in range(5)]
line_y = [210.0] * 5
positions = list(zip(grid_x, grid_y)) + list(zip(line_x, line_y))


def api_share(x, y):
    return math.exp(-((x - 75.0) ** 2 + (y - 75.0) ** 2) / 900.0)


points = [mix(spectrum(px_, LACTOSE, 1.0 - api_share(x, y), 0.04, 0.005, rng),
              spectrum(px_, API, api_share(x, y), 0.0)) for x, y in positions]
rows = (region(1, 4, 3, range(12), x=grid_x, y=grid_y)
        + region(2, 0, 0, range(12, 17), x=line_x, y=line_y))
f = multiregion_file(rows, [(k, s, 9.5 * k) for k, s in enumerate(points)], fxv=PT_FXV, lxv=PT_LXV,
                     params={"DXU": "WN", "DAT": "08/12/2026", "TIM": "15:41:02.530 (GMT+1)"},
                     acq={"RES": 4.0, "NSS": 32, "APT": "20 um"},
                     sample={"SNM": "Tablet 17-B, cross-section", "SFM": "Tablet", "CNM": "orvelio"},
                     inst=INSTRUMENT)


def tablet_view(left, top, um_per_pixel):
    def pixel(col, row):
        x, y = left + um_per_pixel * col, top + um_per_pixel * row
        coating = 0.25 if math.hypot(x - 200.0, y - 420.0) > 200.0 else 0.0
        return shade(0.75 - 0.4 * api_share(x, y) - coating + 0.04 * math.sin(x / 5) * math.cos(y / 6))
    return pixel


add_pictures(f, [
    Picture(png(128, 96, tablet_view(0.0, 0.0, 3.5)), "Overview",
            {"Mag:": 4.0, "Width um:": 448.0, "Height um:": 336.0, "X um:": 0.0, "Y um:": 0.0}),
    Picture(png(96, 72, tablet_view(30.0, 50.0, 1.0)), "Region 1",
            {"Mag:": 15.0, "Width um:": 96.0, "Height um:": 72.0, "X um:": 30.0, "Y um:": 50.0}),
])
print(f.write(out / "regions.orv"))


# ---------------------------------------------------------------- traces.orv

# Traces computed at every point of a 5 x 4 grid (positions 1 to 20) and of a line of 6 points
# (21 to 26); a trace holds one value per position.
rng = random.Random(3)
grid = [(100.0 + 10.0 * (k % 5), 50.0 + 10.0 * (k // 5)) for k in range(20)]
line = [(400.0 + 25.0 * k, 80.0) for k in range(6)]
shares = [api_share(x - 50.0, y + 15.0) + rng.gauss(0.0, 0.01) for x, y in grid + line]
trace_values = [("Peak height 1655 cm-1", [round(0.05 + 0.8 * s, 4) for s in shares]),
                ("Area 1060-1000 cm-1", [round(2.2 * (1.0 - s) + 0.1, 4) for s in shares]),
                ("Ratio 1655/1030", [round((0.05 + 0.8 * s) / (0.05 + 0.9 * (1.0 - s)), 4) for s in shares])]
rows = (region(1, 5, 4, range(1, 21), x=[p[0] for p in grid], y=[p[1] for p in grid])
        + region(2, 0, 0, range(21, 27), x=[p[0] for p in line], y=[p[1] for p in line]))
f = multiregion_file(rows, [(k, values, None, label) for k, (label, values) in enumerate(trace_values)],
                     fxv=1.0, lxv=26.0, name="TRC", sample_type=0,
                     params={"DAT": "08/12/2026", "TIM": "16:20:45.007 (GMT+1)"},
                     sample={"SNM": "Tablet 17-C, cross-section", "SFM": "Tablet", "CNM": "orvelio"},
                     inst=INSTRUMENT)
print(f.write(out / "traces.orv"))


# ---------------------------------------------------------------- series.orv

# A UV-cured acrylate lacquer: a spectrum every 30 s for 11.5 minutes; the C=C band at
# 1636 cm-1 fades as the film cures.
rng = random.Random(4)
TS_NPT, TS_FXV, TS_LXV, TS_COUNT, TS_STEP = 240, 1900.0, 700.0, 24, 30.0
tx = axis(TS_NPT, TS_FXV, TS_LXV)
times = [TS_STEP * k for k in range(TS_COUNT)]
cured = [1.0 - math.exp(-t / 150.0) for t in times]
series = [mix(spectrum(tx, ACRYLATE, 1.0 - c, 0.02, 0.003, rng), spectrum(tx, CURED, c, 0.0)) for c in cured]
SERIES_DATE = {"DAT": "08/12/2026", "TIM": "10:15:00.250 (GMT+1)"}
f = file3d([(k, s, t) for k, (s, t) in enumerate(zip(series, times))], TS_FXV, TS_LXV,
           params={"DXU": "WN", **SERIES_DATE},
           acq={"RES": 4.0, "NSS": 8}, sample={"SNM": "Acrylate lacquer, UV cure", "SFM": "Film on ATR crystal",
                                                "CNM": "orvelio"}, inst=INSTRUMENT)
cure_traces = [("Area 1645-1625 cm-1 (C=C)", 1625, 1645), ("Area 1750-1700 cm-1 (C=O)", 1700, 1750)]
file3d([(k, [area(s, lo, hi, tx) for s in series], None, label) for k, (label, lo, hi) in enumerate(cure_traces)],
       times[0], times[-1], name="TRC", sample_type=0, f=f, params={"DXU": "SEC", **SERIES_DATE})
print(f.write(out / "series.orv"))


# ---------------------------------------------------------------- batch/

# Six tablets of one batch, each measured once; the instrument numbers the files of a sample.
rng = random.Random(5)
BATCH_NPT, BATCH_FXV, BATCH_LXV = 512, 3800.0, 800.0
bx = axis(BATCH_NPT, BATCH_FXV, BATCH_LXV)
(out / "batch").mkdir(parents=True, exist_ok=True)
for n in range(6):
    share = 0.3 + 0.02 * rng.uniform(-1.0, 1.0)
    values = mix(spectrum(bx, LACTOSE, 1.0 - share, 0.03, 0.004, rng), spectrum(bx, API, share, 0.0))
    print(spectrum_file(values, BATCH_FXV, BATCH_LXV, params={
        "DXU": "WN", "DAT": "09/12/2026", "TIM": f"09:{12 + 2 * n:02d}:{(17 * n) % 60:02d}.000 (GMT+1)"},
        acq={"RES": 4.0, "NSS": 32}, sample={"SNM": f"Tablet 17-{n + 1}", "SFM": "Tablet", "CNM": "orvelio"},
        inst={"INS": "Orvel FT-IR, ATR"}).write(out / "batch" / f"tablet.{n}"))
