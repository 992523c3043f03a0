"""The samples of examples/: what examples/make_sample.py writes, one of every kind of block."""
import subprocess
import sys
from pathlib import Path

from orvelio.reader import OrvelFile

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def samples(directory):
    return sorted(p.relative_to(directory) for p in [*directory.glob("*.orv"), *directory.glob("batch/*")])


def test_samples_are_what_make_sample_writes(tmp_path):
    subprocess.run([sys.executable, str(EXAMPLES / "make_sample.py"), str(tmp_path)], check=True,
                   capture_output=True)
    assert samples(tmp_path) == samples(EXAMPLES)
    for name in samples(tmp_path):
        assert (tmp_path / name).read_bytes() == (EXAMPLES / name).read_bytes(), name


def test_samples_hold_every_kind_and_pictures_in_little_room():
    kinds, pictures = set(), {}
    for name in samples(EXAMPLES):
        with OrvelFile(EXAMPLES / name) as f:
            kinds.update(block.kind for block in f.blocks)
            pictures[str(name)] = [p.format for p in f.pictures]
            for block in f.blocks:
                f.read(block)
    assert kinds == {"spectrum", "image", "image-traces", "time-series", "time-traces", "point-map", "trace-map"}
    assert pictures["map.orv"] == ["png"] and pictures["regions.orv"] == ["png", "png"]
    assert sum((EXAMPLES / name).stat().st_size for name in samples(EXAMPLES)) < 400_000
