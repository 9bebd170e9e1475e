#!/usr/bin/env bash
# Runs the test suite against the package installed from this checkout (setting up what is missing).
# QM_SANITIZE=1 runs it instead against an ASan+UBSan build staged in build/asan-pkg.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

if [ "${QM_SANITIZE:-0}" = 1 ]; then
    exec bash scripts/sanitize.sh "$@"
fi

# pytest from the venv's own entry point, so the checkout's quillmoth/ (sources) does not shadow the
# installed package; exit status 5 (no tests collected) counts as a failure.
set +e
.venv/bin/pytest "$@"
status=$?
set -e
if [ "$status" -eq 5 ]; then
    echo "no tests were collected" >&2
    exit 1
fi
exit "$status"
