#!/usr/bin/env bash
# Builds orvread for Octave (mkoctfile --mex) or MATLAB (mex), from a checkout:
#     bash bindings/matlab/build.sh          # Octave when mkoctfile is found, else MATLAB
#     bash bindings/matlab/build.sh mex      # MATLAB's mex
# The library's C API is built first with CMake into build/matlab (ORVELIO_BUILD to choose),
# and orvread is linked against it there (found at run time through its rpath). Then, in
# Octave or MATLAB: addpath('bindings/matlab'); s = orvread('examples/sample.orv').
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=${ORVELIO_BUILD:-$repo/build/matlab}
tool=${1:-}
[ -n "$tool" ] || { command -v mkoctfile >/dev/null && tool=mkoctfile || tool=mex; }

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$repo" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DORVELIO_PYTHON=OFF \
          -DORVELIO_C=ON >/dev/null
cmake --build "$build" --target orvelio_c >/dev/null

case $tool in
mkoctfile)
    mkoctfile --mex -I"$repo/include" "$here/orvread.c" -L"$build" -lorvelio -Wl,-rpath,"$build" \
              -o "$here/orvread.mex" ;;
mex)
    mex -I"$repo/include" "$here/orvread.c" -L"$build" -lorvelio LDFLAGS="\$LDFLAGS -Wl,-rpath,$build" \
        -outdir "$here" ;;
*)
    echo "usage: $0 [mkoctfile|mex]" >&2
    exit 2 ;;
esac
rm -f "$here"/orvread.o
echo "orvread built with $tool in $here"
