#!/usr/bin/env bash
# Prepares a machine for development: CPython 3.14, the .venv with the dev extras, and the
# package installed from this checkout. Safe to run again; it only does what is missing or stale.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-python.sh

# Debian packages: a C++20 compiler (the machines ship g++), headless Chromium and its driver for
# the browser test of the example app, and wrk for the serving benchmark.
missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v chromium >/dev/null 2>&1 || missing+=(chromium)
command -v chromedriver >/dev/null 2>&1 || missing+=(chromium-driver)
command -v wrk >/dev/null 2>&1 || missing+=(wrk)
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 14)' 2>/dev/null; then
    rm -rf .venv
    python3.14 -m venv .venv
fi

# The dev extras (and the build backend, so the package can be rebuilt without isolation).
stamp=.venv/.quillmoth-deps
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ] || [ scripts/setup.sh -nt "$stamp" ]; then
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q scikit-build-core "cmake>=3.20" ninja
    .venv/bin/python - <<'PY' > .venv/.quillmoth-requirements
import tomllib
project = tomllib.load(open("pyproject.toml", "rb"))["project"]
for requirement in project["dependencies"] + project["optional-dependencies"]["dev"]:
    print(requirement)
PY
    .venv/bin/python -m pip install -q -r .venv/.quillmoth-requirements
    touch "$stamp"
fi

# The package itself, built the way a user's `pip install .` builds it (incrementally, in build/).
.venv/bin/python -m pip install -q --no-build-isolation --no-deps .
