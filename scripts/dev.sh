#!/usr/bin/env bash
# Builds the extension into a development tree: scripts/dev.sh [BUILD_DIR] [extra cmake args]
# Then: PYTHONPATH=BUILD_DIR python -m pytest
# Installs nanobind, numpy, pytest, cmake and ninja first where the interpreter (PYTHON, default
# python3) or the PATH lacks them.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/dev}
shift || true
python=${PYTHON:-python3}

# What the build and the tests need, installed into that interpreter's environment where missing.
need=()
"$python" -c 'import nanobind' 2>/dev/null || need+=("nanobind>=2.4")
"$python" -c 'import numpy' 2>/dev/null || need+=("numpy>=1.25")
"$python" -c 'import pytest' 2>/dev/null || need+=("pytest>=7")
cmake --version >/dev/null 2>&1 || need+=(cmake)
ninja --version >/dev/null 2>&1 || need+=(ninja)
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]} for $python"
  "$python" -m pip install -q "${need[@]}"
  PATH=$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH
  hash -r
fi
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$(command -v "$python")" \
        -Dnanobind_DIR="$("$python" -m nanobind --cmake_dir)" -DORVELIO_STRICT_WARNINGS=ON "$@" >/dev/null
fi
cmake --build "$dir"
