"""Writes examples/sample.orv: a small synthetic file made with the test-file builder.

It holds an absorbance spectrum, the single-channel sample spectrum it came from,
their parameter blocks and an acquisition block.  Run from the repository root:
    python examples/make_sample.py
"""
import math
import pathlib
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here.parent / "tests"))
from builder import ACQUISITION, OrvelFile, block_type, params, spectrum_file  # noqa: E402

NPT, FXV, LXV = 1024, 4000.0, 400.0


def band(x, centre, width, height):
    return height * math.exp(-(((x - centre) / width) ** 2))


xs = [FXV + i * (LXV - FXV) / (NPT - 1) for i in range(NPT)]
absorbance = [0.02 + band(x, 2920, 30, 0.8) + band(x, 1650, 25, 0.5) + band(x, 1050, 60, 0.3) for x in xs]
single = [10 ** -a * (1.0 + 0.5 * math.sin(x / 700)) for a, x in zip(absorbance, xs)]

f = OrvelFile()
spectrum_file(absorbance, FXV, LXV, name="AB", f=f, params={"DXU": "WN", "DAT": "08/12/2026"})
spectrum_file(single, FXV, LXV, name="SSC", f=f, params={"DXU": "WN"})
f.add(block_type(param=ACQUISITION), params(
    {"RES": 4.0, "NSS": 32, "SNM": "Polystyrene film", "CNM": "orvelio"}))
out = f.write(here / "sample.orv")
print(out)
