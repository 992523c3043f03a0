#!/usr/bin/env bash
# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer, then leak checks:
#     scripts/sanitize.sh [pytest arguments]
#
# 1. Builds the extension with ORVELIO_SANITIZE (g++, -fsanitize=address,undefined) into
#    build/asan, with a virtual environment (numpy, pytest, nanobind, cmake, ninja) in
#    build/asan-venv, and the replay driver of the fuzz target and the C++ tests beside it;
#    runs the C++ tests (doctest-dev installed when missing).
# 2. Runs the whole pytest suite with the sanitizer runtime preloaded into the interpreter
#    (which is not built with it) and Python's allocator switched to malloc, so that every
#    object the binding touches is checked. Leak detection is off here: the interpreter
#    itself leaves memory behind at exit.
# 3. LeakSanitizer on the core: the replay driver runs every entry point on the seed files,
#    their mutants and the saved fuzz inputs.
# 4. LeakSanitizer on the binding: every public function called many times in the sanitized
#    interpreter; a leak allocated from the extension that grows with the number of calls fails.
# Exits non-zero on any error, sanitizer report or leak.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
python=${PYTHON:-python3}
dir=build/asan
venv=build/asan-venv
cxx=${SANITIZE_CXX:-g++}

need_apt=()
command -v "$cxx" >/dev/null || need_apt+=(g++)
if ! echo 'int main() { return 0; }' | "$cxx" -x c++ -fsanitize=address,undefined - -o /dev/null 2>/dev/null; then
    need_apt+=(g++ libasan8 libubsan1)
fi
"$python" -c 'import venv, ensurepip' 2>/dev/null || need_apt+=(python3-venv)
[ -f /usr/include/doctest/doctest.h ] || [ -f /usr/local/include/doctest/doctest.h ] || need_apt+=(doctest-dev)
if [ ${#need_apt[@]} -gt 0 ]; then
    echo "== installing ${need_apt[*]}"
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

if [ ! -x "$venv/bin/python" ]; then
    echo "== virtual environment in $venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q numpy pytest "nanobind>=2.4" cmake ninja
fi
py=$repo/$venv/bin/python

echo "== building with AddressSanitizer and UndefinedBehaviorSanitizer in $dir"
if [ ! -f "$dir/build.ninja" ]; then
    PATH=$repo/$venv/bin:$PATH cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVELIO_SANITIZE=ON -DORVELIO_FUZZ=ON -DORVELIO_TESTS=ON \
        -DPython_EXECUTABLE="$py" -Dnanobind_DIR="$("$py" -m nanobind --cmake_dir)" >/dev/null
fi
# (A tree configured before the C++ tests were part of this run gains them.)
PATH=$repo/$venv/bin:$PATH cmake -S . -B "$dir" -DORVELIO_TESTS=ON >/dev/null
PATH=$repo/$venv/bin:$PATH cmake --build "$dir"

asan_lib=$("$cxx" -print-file-name=libasan.so)
[ -f "$asan_lib" ] || { echo "no libasan.so for $cxx" >&2; exit 1; }
# The C++ runtime is preloaded too: the sanitizer finds the real __cxa_throw only in libraries
# loaded when it starts, and the interpreter does not link it.
cxx_lib=$("$cxx" -print-file-name=libstdc++.so)
# Allocations beyond the cap fail as they would on a machine without that much memory.
common=allocator_may_return_null=1:max_allocation_size_mb=4096:abort_on_error=0:print_summary=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitized() {
    env LD_PRELOAD="$asan_lib $cxx_lib" PYTHONMALLOC=malloc PYTHONPATH="$repo/$dir" "$@"
}

echo "== the C++ tests under the sanitizers"
ASAN_OPTIONS=detect_leaks=1:$common "$dir/tests/cpp/orvelio_tests"
ASAN_OPTIONS=detect_leaks=1:$common "$dir/tests/cpp/orvelio_core_tests"

echo "== pytest under the sanitizers"
ASAN_OPTIONS=detect_leaks=0:$common sanitized "$py" -m pytest tests -q -p no:cacheprovider "$@"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== LeakSanitizer: the core on seeds, mutants and saved fuzz inputs"
"$py" fuzz/make_corpus.py "$work/inputs" --mutants >/dev/null
inputs=("$work"/inputs/*)
if compgen -G "fuzz/regressions/*" >/dev/null; then
    inputs+=(fuzz/regressions/*)
fi
# (Allocations past the cap are the arrays a damaged file declares: they fail with MemoryError.)
ASAN_OPTIONS=detect_leaks=1:max_allocation_size_mb=256:$common "$dir/fuzz/orvelio_replay" "${inputs[@]}" 2>&1 |
    grep -v 'WARNING: AddressSanitizer failed to allocate'
[ "${PIPESTATUS[0]}" -eq 0 ] || { echo "the replay driver failed" >&2; exit 1; }

echo "== LeakSanitizer: the binding"
rounds=40
status=0
ASAN_OPTIONS=detect_leaks=1:exitcode=0:fast_unwind_on_malloc=0:log_path="$work/lsan":$common sanitized "$py" - "$work/inputs" "$rounds" <<'EOF' || status=$?
import io, os, sys, warnings
import orvelio

inputs, rounds = sys.argv[1], int(sys.argv[2])
paths = sorted(os.path.join(inputs, name) for name in os.listdir(inputs))[:150]
warnings.simplefilter("ignore")
sys.stdout = io.StringIO()
for _ in range(rounds):
    for path in paths:
        for function, args in ((orvelio.isOrvelFile, ()), (orvelio.getVisImages, ()), (orvelio.listContents, ())):
            try:
                function(path, *args)
            except Exception as e:
                str(e)
        try:
            listed = orvelio.listContents(path)
        except Exception:
            listed = []
        for request in listed + [("AB", "3D", "NONE"), ("TRC", "3D", "NONE"), ("XX", "2D", "NONE")]:
            try:
                r = orvelio.getOrvelData(path, request)
                str(r), repr(r)
            except Exception as e:
                str(e)
    orvelio.decode_string(b"a\xffb", ["ascii"]), orvelio.OrvelDict(), orvelio.help()
    try:
        orvelio.getOrvelData(os.path.join(inputs, "missing"), ("AB", "2D", "NONE"))
    except OSError:
        pass
    sys.stdout.seek(0)
    sys.stdout.truncate()
EOF
[ "$status" -eq 0 ] || { echo "the leak driver failed (exit $status)" >&2; cat "$work"/lsan* 2>/dev/null | tail -40; exit 1; }
# Leaks of the interpreter at exit are many and harmless; a leak of the extension's that
# happens once per call shows up with at least as many objects as there were rounds.
"$py" - "$rounds" "$work" <<'EOF'
import glob, os, re, sys
rounds, logs = int(sys.argv[1]), glob.glob(os.path.join(sys.argv[2], "lsan*"))
text = "".join(open(p, errors="replace").read() for p in logs)
leaks = re.split(r"\n(?=(?:Direct|Indirect) leak of)", text)
bad = [leak for leak in leaks if re.match(r"(?:Direct|Indirect) leak of \d+ byte\(s\) in (\d+) object", leak)
       and int(re.match(r".*? in (\d+) object", leak).group(1)) >= rounds
       and ("_orvelio" in leak or "orvelio::" in leak)]
if bad:
    print("leaks that grow with the calls:\n" + "\n".join(bad[:10]), file=sys.stderr)
    sys.exit(1)
print(f"no leaks of the extension ({len(leaks) - 1} interpreter leak records ignored)")
EOF
echo "== sanitizers: all passed"
