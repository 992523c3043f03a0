#!/usr/bin/env bash
# Fuzzes the core for SECONDS seconds: fuzz/run.sh SECONDS [extra libFuzzer options]
#
# Builds the target with clang, AddressSanitizer and UndefinedBehaviorSanitizer into build/fuzz
# (installing clang from the distribution's packages when it is missing), replays the saved
# regression inputs of fuzz/regressions, then fuzzes from the builder's seed files and the
# corpus kept in build/fuzz/corpus. A crash, leak, timeout or memory blow-up ends the run with a
# non-zero exit; the input is saved under build/fuzz/artifacts.
#
# FUZZ_JOBS=N runs N fuzzing processes (default 1); FUZZ_KEEP_GOING=1 saves each fault and goes
# on looking for more (the exit is still non-zero); FUZZ_DIR sets the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/run.sh SECONDS [libFuzzer options]}
shift
dir=${FUZZ_DIR:-build/fuzz}

find_clang() {
    local c
    for c in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
        if command -v "$c" >/dev/null && echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, long) { return 0; }' |
                "$c" -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null; then
            echo "$c"
            return 0
        fi
    done
    return 1
}

cxx=$(find_clang) || {
    echo "== installing clang and its sanitizer runtimes"
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null 2>&1 ||
        $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
    cxx=$(find_clang) || { echo "no clang with libFuzzer found" >&2; exit 1; }
}
echo "== $cxx: building the fuzz target in $dir"

# cmake and ninja: the ones on the PATH when they work, else from a virtual environment.
if ! cmake --version >/dev/null 2>&1 || ! ninja --version >/dev/null 2>&1; then
    tools=build/fuzz-tools
    if [ ! -x "$tools/bin/cmake" ]; then
        "${PYTHON:-python3}" -m venv "$tools"
        "$tools/bin/python" -m pip install -q cmake ninja
    fi
    export PATH=$(pwd)/$tools/bin:$PATH
fi

if [ ! -f "$dir/build.ninja" ] || ! grep -q "CMAKE_CXX_COMPILER:.*=$(command -v "$cxx")\$" "$dir/CMakeCache.txt" 2>/dev/null; then
    rm -rf "$dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DORVELIO_PYTHON=OFF -DORVELIO_SANITIZE=ON -DORVELIO_FUZZ=ON >/dev/null
fi
cmake --build "$dir" --target orvelio_fuzz
fuzzer=$dir/fuzz/orvelio_fuzz

seeds=$dir/seeds
corpus=$dir/corpus
artifacts=$dir/artifacts
mkdir -p "$seeds" "$corpus" "$artifacts"
"${PYTHON:-python3}" fuzz/make_corpus.py "$seeds" >/dev/null

# Every input that once failed must pass now.
if compgen -G "fuzz/regressions/*" >/dev/null; then
    echo "== replaying $(ls fuzz/regressions | wc -l) regression inputs"
    "$fuzzer" -rss_limit_mb=2048 -timeout=10 fuzz/regressions/* >"$dir/regressions.log" 2>&1 ||
        { grep -v 'failed to allocate' "$dir/regressions.log" | tail -60; exit 1; }
fi

echo "== fuzzing for $seconds s"
jobs=${FUZZ_JOBS:-1}
options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536
         -dict=fuzz/orvel.dict -use_value_profile=1 -print_final_stats=1
         -artifact_prefix="$artifacts/")
if [ "${FUZZ_KEEP_GOING:-0}" = 1 ] || [ "$jobs" -gt 1 ]; then
    # Worker processes; a fault is saved and the run goes on to look for more.
    options+=(-fork="$jobs" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
fi
before=$(ls "$artifacts" | sort)
status=0
"$fuzzer" "${options[@]}" "$@" "$corpus" "$seeds" >"$dir/fuzz.log" 2>&1 || status=$?
grep -E 'INFO: seed corpus|DONE|ERROR|SUMMARY|stat::|==[0-9]+==|^#[0-9]+: cov' "$dir/fuzz.log" |
    grep -v 'failed to allocate' | tail -12 || true
new=$(comm -13 <(echo "$before") <(ls "$artifacts" | sort) | grep -v '^$' || true)
if [ "$status" -ne 0 ] || [ -n "$new" ]; then
    echo "== the fuzzer found faults (exit $status); inputs in $artifacts, the log in $dir/fuzz.log:" >&2
    echo "$new" >&2
    grep -E 'ERROR|SUMMARY|runtime error|==[0-9]+==' "$dir/fuzz.log" | grep -v 'failed to allocate' | head -40 >&2 || true
    exit 1
fi
echo "== no faults; corpus: $(ls "$corpus" | wc -l) inputs"
