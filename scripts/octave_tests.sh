#!/usr/bin/env bash
# The MATLAB / Octave reader under Octave: scripts/octave_tests.sh [BUILD_DIR]
#
# Installs Octave and its MEX headers from the distribution's packages when missing (octave,
# liboctave-dev), builds orvread with bindings/matlab/build.sh against the C API of BUILD_DIR
# (default build/matlab; CI passes the build of scripts/cpp_tests.sh), and runs
# bindings/matlab/test_orvread.m on the sample and a file of every kind (fuzz/make_corpus.py);
# then the README's example, as written, from the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
python=${PYTHON:-python3}

if ! command -v mkoctfile >/dev/null; then
    echo "== installing octave liboctave-dev"
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        octave liboctave-dev >/dev/null
fi
ORVELIO_BUILD=$(realpath -m "${1:-build/matlab}") bash bindings/matlab/build.sh mkoctfile

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" fuzz/make_corpus.py "$work" >/dev/null
octave --no-gui --no-window-system --quiet bindings/matlab/test_orvread.m "$repo/examples/sample.orv" "$work" \
    2> >(grep -v 'ignoring const execution_exception' >&2)

echo "== README: the MATLAB / Octave example"
example=$(awk 'index($0, "## MATLAB / Octave") { seen = 1 } seen && $0 == "```matlab" { on = 1; next }
               on && /^```/ { exit } on { print }' README.md)
octave --no-gui --no-window-system --quiet --eval "$example" 2> >(grep -v 'ignoring const execution_exception' >&2)
