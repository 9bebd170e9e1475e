#!/usr/bin/env bash
# Many concurrent connections against the example app under uvicorn: wrk holds CONNECTIONS open
# (1,000 by default) for DURATION seconds (60) on the hello and JSON routes, one route after the
# other, and the figures wrk measured are printed: requests per second, every kind of error it
# counted (connect, read, write, timeout, non-2xx/3xx answers) and the latency percentiles.
#
#     bash bench/concurrency.sh                 # the working tree's in-place build (scripts/dev-build.sh)
#     CONNECTIONS=200 DURATION=10 bash bench/concurrency.sh
#
# The server is one uvicorn worker (uvloop when installed, httptools) on 127.0.0.1, started here
# and stopped by its PID, pinned to the first CPU; wrk runs with one thread pinned to the second
# (on a two-core machine a second wrk thread would take the server's CPU).
set -euo pipefail
cd "$(dirname "$0")/.."

connections=${CONNECTIONS:-1000}
duration=${DURATION:-60}
port=${PORT:-8765}
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
command -v wrk >/dev/null || { echo "wrk is missing: bash scripts/setup.sh installs it" >&2; exit 1; }

loop=asyncio
.venv/bin/python -c 'import uvloop' 2>/dev/null && loop=uvloop
log=$(mktemp)
(cd examples && PYTHONPATH="$PWD/.." exec taskset -c 0 ../.venv/bin/python -m uvicorn app:app --host 127.0.0.1 --port "$port" \
    --loop "$loop" --http httptools --no-access-log --log-level warning --backlog 4096) >"$log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -f "$log"' EXIT

for _ in $(seq 100); do
    curl -fs "http://127.0.0.1:$port/hello/moth" >/dev/null 2>&1 && break
    sleep 0.1
done
curl -fs "http://127.0.0.1:$port/hello/moth" >/dev/null || { cat "$log" >&2; exit 1; }

echo "uvicorn, 1 worker, --loop $loop --http httptools, on CPU 0; wrk -t1 -c$connections -d${duration}s --timeout 10s"
echo "quillmoth from $(.venv/bin/python -c 'import sys; sys.path.insert(0, "."); import quillmoth; print(quillmoth.__file__)')"
# A warm-up of 5 s with as many connections, not reported: the first seconds of a new server
# (its first thousand connections accepted at once, code run for the first time) are not its steady state.
taskset -c 1 wrk -t1 -c"$connections" -d5s --timeout 10s "http://127.0.0.1:$port/hello/moth" >/dev/null
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) (after a 5 s warm-up)"
for route in /hello/moth /api/items; do
    out=$(taskset -c 1 wrk -t1 -c"$connections" -d"${duration}s" --timeout 10s --latency "http://127.0.0.1:$port$route")
    rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
    total=$(awk '/requests in/ {print $1}' <<<"$out")
    errors=$(awk '/Socket errors:/ {print}' <<<"$out")
    non2xx=$(awk '/Non-2xx or 3xx responses:/ {print $5}' <<<"$out")
    pct() { awk -v p="$1" '$1 == p {print $2}' <<<"$out"; }
    echo
    echo "GET $route: $rps req/s, $total requests; errors: ${errors:-Socket errors: none}; non-2xx/3xx: ${non2xx:-0}"
    echo "  latency p50 $(pct 50%), p75 $(pct 75%), p90 $(pct 90%), p99 $(pct 99%)"
done
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
if grep -qE "Traceback|ERROR" "$log"; then
    echo "errors in the server's log:"
    cat "$log"
    exit 1
fi
echo "no errors in the server's log"
