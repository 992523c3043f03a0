import importlib
import os
import subprocess
import sys

import pytest


@pytest.fixture
def write(tmp_path):
    """write(data_or_OrvelFile, name="f.0") -> path of a file holding it."""
    counter = iter(range(10**9))

    def _write(data, name=None):
        path = tmp_path / (name or f"f{next(counter)}.0")
        path.write_bytes(data if isinstance(data, (bytes, bytearray)) else data.build())
        return str(path)

    return _write


@pytest.fixture(scope="session")
def core():
    """The extension module itself, for its test hooks."""
    return importlib.import_module("orvelio._orvelio")


def run_python(code, timeout=120, **kwargs):
    """Runs code in a fresh interpreter; returns the CompletedProcess."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=env, **kwargs)
