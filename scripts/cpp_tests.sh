#!/usr/bin/env bash
# The C++ package: scripts/cpp_tests.sh [BUILD_DIR]
#
# 1. Configures the C++ library alone (no Python) with its tests and example, builds it and
#    runs them with ctest (doctest comes from the distribution: doctest-dev, installed when
#    missing), and replays the saved fuzz inputs through the fuzz target. The C API's tests
#    (tests/c) run there too.
# 2. Installs the package into a temporary prefix, then builds the example as an outside
#    project against it (find_package(orvelio), orvelio::orvelio) and runs its tests on
#    examples/sample.orv.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
dir=${1:-build/cpp}

if [ ! -f /usr/include/doctest/doctest.h ] && [ ! -f /usr/local/include/doctest/doctest.h ]; then
    echo "== installing doctest-dev"
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doctest-dev >/dev/null
fi
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

echo "== C++ library, tests and example in $dir"
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DORVELIO_PYTHON=OFF -DORVELIO_TESTS=ON \
      -DORVELIO_FUZZ=ON >/dev/null
cmake --build "$dir" -j2
ctest --test-dir "$dir" --output-on-failure

echo "== installed package, used by an outside project"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$dir" --prefix "$work/prefix" >/dev/null
# The public headers alone (C++ and C): the core's own headers stay private.
headers=$(cd "$work/prefix" && find include -type f | sort | tr '\n' ' ')
[ "$headers" = "include/orvelio/orvelio.h include/orvelio/orvelio.hpp " ] || { echo "installed headers: $headers" >&2; exit 1; }
cmake -S examples/cpp -B "$work/example" "${generator[@]}" -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DORVELIO_SAMPLE="$repo/examples/sample.orv" >/dev/null
cmake --build "$work/example" -j2
ctest --test-dir "$work/example" --output-on-failure
