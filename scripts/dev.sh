#!/usr/bin/env bash
# Builds the extension into a development tree: scripts/dev.sh [BUILD_DIR] [extra cmake args]
# Then: PYTHONPATH=BUILD_DIR python -m pytest
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/dev}
shift || true
python=${PYTHON:-python3}
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$(command -v "$python")" \
        -Dnanobind_DIR="$("$python" -m nanobind --cmake_dir)" -DORVELIO_STRICT_WARNINGS=ON "$@" >/dev/null
fi
cmake --build "$dir"
