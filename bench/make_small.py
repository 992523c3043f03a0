"""Small spectra for the R and Octave benches: python bench/make_small.py DIR [COUNT] [POINTS]

Writes COUNT files (default 1,000) of one absorbance spectrum of POINTS values (default 1,024)
with the usual parameter blocks, each with values of its own, made by the test-file builder;
and DIR/layout.txt: the byte offset of the values (the same in every file) and their count, for
the benches' floor, which reads just those bytes.
"""
import math
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from builder import spectrum_file  # noqa: E402


def main():
    out = pathlib.Path(sys.argv[1])
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    points = int(sys.argv[3]) if len(sys.argv) > 3 else 1024
    out.mkdir(parents=True, exist_ok=True)
    offset = None
    for k in range(count):
        y = [round(math.sin(0.01 * i + k), 4) for i in range(points)]
        data = spectrum_file(y, acq={"RES": 4.0, "NSS": 32}, sample={"SNM": f"sample {k}"}).build()
        at = data.find(struct.pack(f"<{points}f", *y))
        assert at > 0 and (offset is None or at == offset)
        offset = at
        (out / f"spectrum{k:04d}.orv").write_bytes(data)
    (out / "layout.txt").write_text(f"{offset} {points}\n")


if __name__ == "__main__":
    main()
