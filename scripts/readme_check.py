"""Runs every shell and Python block of README.md as written, in order, and stops at the first
one that fails, naming its line in the README.

    python3 scripts/readme_check.py [--python PYTHON] [--venv DIR] [--start LINE] [--keep] [README]

The blocks run in a scratch copy of the checkout (its tracked and untracked, not ignored files;
outside git every file but builds and caches: what the blocks write stays out of the checkout)
and in a fresh virtual environment made with PYTHON (default: this interpreter), or in the
existing environment DIR (--venv): its bin directory first on the PATH, so that `pip`, `python`
and the installed `orvelio` are its own. HOME is a scratch directory too (an install into
~/.local goes there); pip keeps its usual cache. Only the standard library is used.

Which blocks run, by the info string of their fence (its first word, the language, then words
of this script's own, which renderers ignore):
    ```sh / ```bash / ```shell      run by bash, stopping at the first failing command
    ```python                       run by the environment's python (as `python -c`, so that
                                    worker processes started with spawn do not rerun it)
    ```sh skip                      not run: the README says why next to the block (a step of
                                    CI of its own, or minutes of timing on an idle machine)
    any other language              not run (```cmake, ```text, ...)
A line ending with a comment `# local: CODE` runs as CODE (in the same indentation): the form
of the line that needs what the check cannot have (a cluster's address, say) is shown to the
reader, the comment says what runs instead.

Line numbers of errors (Python tracebacks, bash's messages) are the README's own.  Exit status:
0 when every block passed, 1 at the first failure, 2 for a usage error.
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
SHELLS = {"sh", "bash", "shell"}
FENCE = re.compile(r"^(\s*)(```+|~~~+)\s*(.*)$")
LOCAL = re.compile(r"^(\s*)(.*?)\s+#\s*local:\s*(.*)$")


class Block:
    def __init__(self, line, language, words, code):
        self.line, self.language, self.words, self.code = line, language, words, code

    @property
    def runner(self):
        if "skip" in self.words:
            return None
        return "sh" if self.language in SHELLS else "python" if self.language == "python" else None


def blocks(text):
    """The fenced blocks of a Markdown text: line of their first code line, language, words."""
    out, lines, at = [], text.splitlines(), 0
    while at < len(lines):
        m = FENCE.match(lines[at])
        if not m:
            at += 1
            continue
        indent, fence, info = m.groups()
        words = info.split()
        start, at = at + 1, at + 1
        while at < len(lines) and not (lines[at].strip().startswith(fence[0] * len(fence))
                                       and not lines[at].strip().strip(fence[0])):
            at += 1
        code = [line[len(indent):] if line.startswith(indent) else line.lstrip() for line in lines[start:at]]
        out.append(Block(start + 1, words[0].lower() if words else "", words[1:], code))
        at += 1
    return out


def local_form(code):
    """The lines as they run: a line with a `# local: CODE` comment becomes CODE."""
    out = []
    for line in code:
        m = LOCAL.match(line)
        out.append(m.group(1) + m.group(3) if m else line)
    return out


def source(block):
    """The block's code, preceded by blank lines so that its line numbers are the README's."""
    return "\n" * (block.line - 1) + "\n".join(local_form(block.code)) + "\n"


def scratch_checkout(into):
    """A copy of the checkout's tracked and untracked, not ignored files (outside a git checkout,
    such as a copy made by this script: every file but builds and caches)."""
    listed = subprocess.run(["git", "-C", str(REPO), "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], capture_output=True)
    if listed.returncode != 0:
        return pathlib.Path(shutil.copytree(REPO, into, symlinks=True, ignore=shutil.ignore_patterns(
            ".git", "build", "_build", "dist", "__pycache__", "*.egg-info")))
    for name in sorted(set(n for n in listed.stdout.decode().split("\0") if n)):
        src = REPO / name
        if src.is_file():
            dst = into / name
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src, dst)
    return into


def environment(venv, home):
    env = dict(os.environ)
    for name in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "CONDA_PREFIX"):
        env.pop(name, None)
    env.setdefault("PIP_CACHE_DIR", str(pathlib.Path.home() / ".cache" / "pip"))
    env.update(VIRTUAL_ENV=str(venv), PATH=f"{venv / 'bin'}{os.pathsep}{env['PATH']}", HOME=str(home),
               PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONDONTWRITEBYTECODE="1")
    return env


def run(block, readme, cwd, env):
    """Runs one block; returns its exit status.  `readme`: the README's path."""
    if block.runner == "sh":
        # One line of set and trap (which names the failing line), then the block's lines at their
        # README numbers (source()'s first newline ends this line).
        script = (f"set -eE -o pipefail; trap 'echo \"{readme.name}:$LINENO: exit status $?\" >&2' ERR"
                  + source(block))
        argv = ["bash", "-c", script, "bash"]
    else:
        # Named by its full path, so that tracebacks quote the README's lines.
        code = f"exec(compile({source(block)!r}, {str(readme.resolve())!r}, 'exec'))"
        argv = ["python", "-c", code]
    return subprocess.run(argv, cwd=cwd, env=env).returncode


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("readme", nargs="?", default=str(REPO / "README.md"), help="the file (default: README.md)")
    ap.add_argument("--python", default=sys.executable, help="the interpreter of the fresh environment")
    ap.add_argument("--venv", type=pathlib.Path, help="run in this existing environment instead")
    ap.add_argument("--start", type=int, default=0, metavar="LINE",
                    help="skip the blocks before this line of the README (to go on from a failure)")
    ap.add_argument("--keep", action="store_true", help="keep the scratch directory (its path is printed)")
    args = ap.parse_args(argv)
    readme = pathlib.Path(args.readme)
    try:
        found = blocks(readme.read_text(encoding="utf-8"))
    except OSError as e:
        print(f"readme_check: {e}", file=sys.stderr)
        return 2
    name = readme.name
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="readme_check."))
    try:
        work = scratch_checkout(scratch / "checkout")
        (scratch / "home").mkdir()
        venv = args.venv.resolve() if args.venv else scratch / "venv"
        if not args.venv:
            subprocess.run([args.python, "-m", "venv", str(venv)], check=True)
        env = environment(venv, scratch / "home")
        total = time.monotonic()
        for block in found:
            if block.line < args.start:
                continue
            if block.runner is None:
                if block.language in SHELLS | {"python"}:
                    print(f"== {name}:{block.line}: {block.language} block skipped (marked skip)", flush=True)
                continue
            print(f"== {name}:{block.line}: {block.language} block", flush=True)
            start = time.monotonic()
            status = run(block, readme, work, env)
            if status != 0:
                print(f"readme_check: {name}:{block.line}: the {block.language} block failed "
                      f"(exit status {status})", file=sys.stderr)
                return 1
            print(f"   passed in {time.monotonic() - start:.1f} s", flush=True)
        print(f"readme_check: every block of {name} passed ({time.monotonic() - total:.0f} s)")
        return 0
    finally:
        if args.keep:
            print(f"readme_check: scratch directory kept: {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
