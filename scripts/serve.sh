#!/usr/bin/env bash
# Serves the example application (examples/app.py) with uvicorn on http://127.0.0.1:8000, setting up
# what is missing first (CPython 3.14, the .venv, the package built from this checkout).
#   HOST, PORT: where to listen (127.0.0.1, 8000)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

host=${HOST:-127.0.0.1}
port=${PORT:-8000}
loop=asyncio
.venv/bin/python -c 'import uvloop' 2>/dev/null && loop=uvloop
http=h11
.venv/bin/python -c 'import httptools' 2>/dev/null && http=httptools
echo "Serving the example app on http://$host:$port/ (event loop $loop, HTTP parser $http); Ctrl-C stops it"
# The installed package, not the checkout's sources: run from the examples directory.
cd examples
exec ../.venv/bin/python -m uvicorn app:app --host "$host" --port "$port" --loop "$loop" --http "$http" \
    --no-access-log
