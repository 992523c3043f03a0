#!/usr/bin/env bash
# The C API as an outside C program sees it: scripts/c_tests.sh [BUILD_DIR]
#
# Uses the build of scripts/cpp_tests.sh (BUILD_DIR, default build/cpp; configured and built
# when missing). Installs the package into a temporary prefix and checks the shared library
# (SONAME liborvelio.so.0, only the orv_* symbols exported); compiles tests/c's dump program
# with nothing but `cc -std=c99 $(pkg-config --cflags --libs orvelio)`; runs it on a file of
# every kind (fuzz/make_corpus.py's seeds), the saved fuzz inputs and the examples, and compares
# its text with the C++ API's dump of the same files (tests/cpp/dump.cpp): equal texts mean the
# two agree bit for bit.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
dir=${1:-build/cpp}
python=${PYTHON:-python3}

if [ ! -x "$dir/tests/c/orvel_cxxdump" ]; then
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DORVELIO_PYTHON=OFF -DORVELIO_TESTS=ON \
          -DORVELIO_FUZZ=ON >/dev/null
    cmake --build "$dir" -j2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$dir" --prefix "$prefix" >/dev/null

lib=$(find "$prefix" -name 'liborvelio.so.0' | head -1)
[ -n "$lib" ] || { echo "liborvelio.so.0 is not installed" >&2; exit 1; }
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = liborvelio.so.0 ] || { echo "SONAME: $soname" >&2; exit 1; }
others=$(nm -D --defined-only "$lib" | awk '{ print $3 }' | grep -v '^orv_' || true)
[ -z "$others" ] || { echo "liborvelio.so exports more than the C API:" >&2; echo "$others" | head >&2; exit 1; }
echo "== $(basename "$(readlink -f "$lib")"): SONAME $soname, $(nm -D --defined-only "$lib" | grep -c ' orv_') functions"

export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name orvelio.pc | head -1)")
echo "== cc -std=c99 \$(pkg-config --cflags --libs orvelio): $(pkg-config --cflags --libs orvelio | sed "s|$work|\$tmp|g")"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -pedantic -Werror -o "$work/orvel_cdump" tests/c/dump.c tests/c/dump_main.c \
   $(pkg-config --cflags --libs orvelio)

mkdir "$work/corpus"
"$python" fuzz/make_corpus.py "$work/corpus" >/dev/null
files=("$work"/corpus/* fuzz/regressions/* examples/*.orv)
LD_LIBRARY_PATH=$(dirname "$lib") "$work/orvel_cdump" "${files[@]}" >"$work/c.txt"
"$dir/tests/c/orvel_cxxdump" "${files[@]}" >"$work/cxx.txt"
if ! cmp -s "$work/c.txt" "$work/cxx.txt"; then
    echo "the C API and the C++ API differ:" >&2
    diff "$work/c.txt" "$work/cxx.txt" | sed "s|$work|\$tmp|g" | head -40 >&2
    exit 1
fi
kinds=$(grep -o '^  read: [a-z-]*' "$work/c.txt" | awk '$2 != "error" { print $2 }' | sort -u | tr '\n' ' ')
echo "== the C API agrees with the C++ API on ${#files[@]} files ($(wc -l <"$work/c.txt") lines; kinds read: $kinds)"
