"""scripts/readme_check.py: which blocks run, in which form, and the README line a failure names."""
import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
import readme_check  # noqa: E402

README = """# Title

```sh
test -f examples/sample.orv && echo "$HOME" > "$TMP_OUT/home"
```

```python
import os
print(os.getcwd())     # local: open(os.environ["TMP_OUT"] + "/python", "w").write("ran")
```

```sh skip
exit 3
```

```cmake
not run
```

```python
value = 1
assert value == 2
```
"""


@pytest.fixture
def env(tmp_path, monkeypatch):
    """An environment directory whose python is this interpreter; TMP_OUT where blocks write."""
    (tmp_path / "venv" / "bin").mkdir(parents=True)
    (tmp_path / "venv" / "bin" / "python").symlink_to(sys.executable)
    (tmp_path / "out").mkdir()
    monkeypatch.setenv("TMP_OUT", str(tmp_path / "out"))
    return tmp_path


def test_blocks_run_in_order_until_the_first_failure_named_by_its_line(env, capfd):
    (env / "README.md").write_text(README)
    assert readme_check.main([str(env / "README.md"), "--venv", str(env / "venv")]) == 1
    err = capfd.readouterr().err
    assert "README.md:21: the python block failed" in err and "line 22" in err and "assert value == 2" in err
    home = (env / "out" / "home").read_text().strip()
    assert home != os.environ["HOME"] and Path(home).name == "home"        # a scratch HOME
    assert (env / "out" / "python").read_text() == "ran"                   # the local form ran


def test_skipped_and_other_languages_do_not_run(env, capfd):
    (env / "README.md").write_text(README.rsplit("```python", 1)[0])
    assert readme_check.main([str(env / "README.md"), "--venv", str(env / "venv")]) == 0
    out = capfd.readouterr().out
    assert "README.md:13: sh block skipped" in out and "cmake" not in out
