#!/usr/bin/env bash
# Runs the test suite under AddressSanitizer and UndefinedBehaviorSanitizer. The modules are built
# with the sanitizers into a staged copy of the package (build/asan-pkg), so the checkout's own
# in-place modules are left alone, and the sanitizer runtime is preloaded into the interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"  # the venv's cmake and ninja

stage=${QM_ASAN_STAGE:-$PWD/build/asan-pkg}  # separate stages let parallel runs coexist
rm -rf "$stage"
mkdir -p "$stage"
cp -r quillmoth vellumgate "$stage"/
find "$stage" \( -name '*.so' -o -name '*.cpp' -o -name '*.h' -o -name __pycache__ \) -prune -exec rm -rf {} +

cmake -S . -B "${QM_ASAN_BUILD:-build/dev-asan}" -G Ninja -DQM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DQM_OUTPUT_DIR="$stage/quillmoth" \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build "${QM_ASAN_BUILD:-build/dev-asan}"

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
# The interpreter's own allocations are not ours to report, so leak detection is off; the tests
# count references and allocated blocks instead. Any sanitizer finding aborts the run.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
export QM_SANITIZER_RUN=1  # the property tests take fewer examples (tests/conftest.py)
set +e
LD_PRELOAD="$asan $ubsan" PYTHONPATH="$stage" .venv/bin/pytest "$@"
status=$?
set -e
[ "$status" -eq 5 ] && { echo "no tests were collected" >&2; exit 1; }
exit "$status"
