#!/usr/bin/env bash
# The R package (bindings/r) as CRAN would check it: scripts/r_check.sh
#
# Installs R and testthat from the distribution's packages when missing (r-base-dev,
# r-cran-testthat). Copies the package into a temporary folder with the library's sources
# (its configure script) and a file of every kind for its tests (fuzz/make_corpus.py's seeds),
# builds the source tarball and runs R CMD check on it: any ERROR or WARNING fails. Then the
# README's R section as written, from the checkout: its install command (into a temporary
# library) and its example.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
python=${PYTHON:-python3}

if ! command -v R >/dev/null || ! Rscript -e 'library(testthat)' >/dev/null 2>&1; then
    echo "== installing r-base-dev r-cran-testthat"
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        r-base-dev r-cran-testthat >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -R bindings/r "$work/orvelio"
(cd "$work/orvelio" && rm -rf src/core src/Makevars src/*.o src/*.so inst/extdata && ORVELIO_SOURCE=$repo ./configure)
mkdir -p "$work/orvelio/inst/extdata/corpus"
"$python" fuzz/make_corpus.py "$work/orvelio/inst/extdata/corpus" >/dev/null
# The large seeds (read over and over on purpose) are for the fuzzer, not for these tests.
rm -f "$work"/orvelio/inst/extdata/corpus/*amplified* "$work"/orvelio/inst/extdata/corpus/*unbacked*

cd "$work"
echo "== R CMD build"
R CMD build --no-manual orvelio >build.log 2>&1 || { cat build.log; exit 1; }
tarball=$(ls orvelio_*.tar.gz)
echo "== R CMD check $tarball"
status=0
MAKEFLAGS=-j2 _R_CHECK_FORCE_SUGGESTS_=false R CMD check --no-manual "$tarball" >check.log 2>&1 || status=$?
grep -E '^\* checking|^\* (DONE|using)|^Status|NOTE|WARNING|ERROR' check.log | grep -vE '\.\.\. OK$' || true
if [ "$status" -ne 0 ] || grep -qE '^Status: .*(ERROR|WARNING)' check.log; then
    cat check.log >&2
    cat orvelio.Rcheck/00install.out >&2 2>/dev/null || true
    cat orvelio.Rcheck/tests/testthat.Rout.fail >&2 2>/dev/null || true
    exit 1
fi

# The README's R section: the install block's command and the example block, as written.
cd "$repo"
readme_block() { awk -v fence="$1" -v after="$2" '
    index($0, after) { seen = 1 } seen && $0 == fence { on = 1; next } on && /^```/ { exit } on { print }' README.md; }
install=$(readme_block '```sh skip' '## R')
example=$(readme_block '```r' '## R')
[ "$install" = "R CMD INSTALL bindings/r" ] || { echo "README's R install block: $install" >&2; exit 1; }
mkdir -p "$work/library"
echo "== README: $install"
R_LIBS_USER=$work/library R CMD INSTALL -l "$work/library" bindings/r >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; exit 1; }
echo "== README: the R example"
R_LIBS=$work/library Rscript -e "$example"
