"""Reads a file with the exact API and with orvelio.reader; checked with `mypy --strict`.

    python examples/both_apis.py examples/sample.orv
"""
import sys
import tempfile

import numpy as np
import numpy.typing as npt

import orvelio
from orvelio.reader import Block, FileChangedError, OrvelError, OrvelFile, Parameter, imread, is_orvel


def exact(path: str) -> npt.NDArray[np.float32]:
    blocks: list[tuple[str, str, str]] = orvelio.listContents(path)
    result = orvelio.getOrvelData(path, blocks[0])
    assert isinstance(result, orvelio.SingleDataReturn)
    x: npt.NDArray[np.float64] = result.x
    print(f"{len(x)} points from {x[0]} to {x[-1]}, resolution {result.parameters.get('RES')}")
    return result.y


def friendly(path: str) -> npt.NDArray[np.float32]:
    if not is_orvel(path):
        raise SystemExit(f"{path}: not an Orvel file")
    with OrvelFile(path) as f:
        blocks: list[Block] = f.blocks
        for block in blocks:
            print(block.kind, block.request, block.shape, block.x.npt)
        resolution: Parameter = f.parameters(blocks[0])["RES"]
        print(f"{resolution.label}: {resolution.value}")
        with tempfile.TemporaryDirectory() as out:
            for picture in f.pictures:
                print(picture.title, picture.save(out).name)
        try:
            f.read("XB")
        except OrvelError as e:
            print(e)
        # a block cut short: what the file holds, NaN for the rest (else TruncatedFileError)
        result = f.read(blocks[0], partial=not blocks[0].complete)
        assert isinstance(result, orvelio.SingleDataReturn)
        assert f[blocks[0].request[0]] == blocks[0]
    # any binary file object, or bytes in memory; one-liners for the main array
    with open(path, "rb") as raw, OrvelFile(raw) as g:
        assert is_orvel(raw) and g.blocks == blocks
    with open(path, "rb") as raw, OrvelFile.from_bytes(raw.read()) as g:
        try:
            y: npt.NDArray[np.float32] = imread(path, blocks[0])
            again = g.read(blocks[0])
            assert isinstance(again, orvelio.SingleDataReturn) and np.array_equal(again.y, y)
        except FileChangedError as e:   # rewritten since it was opened
            print(e)
    return result.y


if __name__ == "__main__":
    file = sys.argv[1] if len(sys.argv) > 1 else "examples/sample.orv"
    assert np.array_equal(exact(file), friendly(file))
