#!/usr/bin/env bash
# Runs the test suite under AddressSanitizer and UndefinedBehaviorSanitizer: builds the modules in
# place with the sanitizers and preloads the runtime into the interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."

QM_SANITIZE=1 bash scripts/dev-build.sh
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
# The interpreter's own allocations are not ours to report; leaks of the modules show up in the
# refcount tests instead. UBSan findings abort the run.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc
set +e
LD_PRELOAD="$asan $ubsan" PYTHONPATH=. .venv/bin/pytest -p no:randomly "$@"
status=$?
set -e
[ "$status" -eq 5 ] && { echo "no tests were collected" >&2; exit 1; }
exit "$status"
