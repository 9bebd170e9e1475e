#!/usr/bin/env bash
# Development build: compiles the extension modules in place (beside the sources in quillmoth/), so
# `PYTHONPATH=. .venv/bin/pytest tests/test_x.py` tests the working tree without reinstalling.
#   scripts/dev-build.sh [target ...]       Release build of the named modules (all by default)
#   QM_SANITIZE=1 scripts/dev-build.sh      ASan+UBSan build, in place (scripts/sanitize.sh stages one instead)
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"  # the venv's cmake and ninja

if [ "${QM_SANITIZE:-0}" = 1 ]; then
    dir=build/dev-asan
    flags=(-DQM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
    dir=build/dev
    flags=(-DCMAKE_BUILD_TYPE=Release)
fi
# A separate build tree per caller may be chosen with QM_BUILD_DIR (parallel work on different modules).
dir=${QM_BUILD_DIR:-$dir}

cmake -S . -B "$dir" -G Ninja -DQM_INPLACE=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" "${flags[@]}" >/dev/null
if [ "$#" -gt 0 ]; then
    cmake --build "$dir" --target "$@"
else
    cmake --build "$dir"
fi
