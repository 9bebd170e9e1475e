#!/usr/bin/env bash
# Installs CPython 3.14 (with headers and venv) from Debian unstable when python3.14 is missing.
# Pinned low so nothing else on the machine drifts to unstable.
set -euo pipefail

# Debian 12's own pip wheel (23.x) cannot bootstrap a 3.14 venv, so the wheels come from unstable too.
have_new_pip_wheel() {
    ls /usr/share/python-wheels/ 2>/dev/null | grep -Eq '^pip-(2[4-9]|[3-9][0-9])\.'
}
if command -v python3.14 >/dev/null 2>&1 && have_new_pip_wheel; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

sources=/etc/apt/sources.list.d/debian.sources
uri=""
if [ -r "$sources" ]; then
    uri=$(awk '/^URIs:/ {print $2; exit}' "$sources")
fi
if [ -z "$uri" ]; then
    echo "cannot find the Debian mirror URI in $sources" >&2
    exit 1
fi

$SUDO tee /etc/apt/sources.list.d/unstable-python.sources >/dev/null <<SRC
Types: deb
URIs: $uri
Suites: unstable
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
Check-Valid-Until: no
SRC

$SUDO tee /etc/apt/preferences.d/unstable-python >/dev/null <<PIN
Package: *
Pin: release a=unstable
Pin-Priority: 100
PIN

$SUDO apt-get update
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y \
    -o Dpkg::Options::=--force-overwrite -t unstable python3.14-dev python3.14-venv \
    python3-pip-whl python3-setuptools-whl

python3.14 --version
