"""End-to-end serving benchmark: quillmoth against Starlette, Litestar, Falcon (ASGI) and FastAPI,
each app served by uvicorn (one worker, httptools) and loaded by wrk over loopback.

    .venv/bin/python bench/bench_serving.py            # the full run (about 13 minutes); writes docs/
    .venv/bin/python bench/bench_serving.py --quick    # a smoke run: 1 s per run, 1 round, no docs
                                                       # (about a minute: wrk runs 1 s at the least)
    .venv/bin/python bench/bench_serving.py --tree     # serve the working tree's build, not the installed one

Scenarios (the apps are in bench/apps/, one module per framework, the wrk scripts in bench/wrk/):
  raw     a bare ASGI callable answering the hello text: the floor set by the server itself
  hello   GET /hello, a text/plain "Hello, World!"
  html    GET /page, a short text/html page with a per-request header (x-request-id, a counter)
  json    PUT /api/items/3/parts/7?mode=full&limit=5 with an Authorization bearer token (checked:
          any other is a 401) and a JSON body, answered with JSON built from the path parameters
          (ints), the query and the body
  upload  POST /upload, a multipart/form-data body with a text field and a 1 KiB file part; the
          handler writes the file part to a new file in a temporary directory and answers JSON (under
          /dev/shm by default, a tmpfs: creating a file on this machine's ext4 root costs from 0.1 to
          1 ms of kernel CPU depending on the load, which would measure the file system rather than
          the frameworks; --upload-dir /tmp stores them there)

Method: the server runs on one core and wrk (one thread) on the other (taskset); this process
stays on wrk's core. Every app is started once per event loop (uvicorn --loop asyncio, then
uvloop) on a free loopback port and checked (status, content type, body, the stored upload)
before it is measured. For each scenario every app gets a warm-up run, then ROUNDS runs in turn,
interleaved (app A, B, C, ... then again, the first app rotating each round). The tables report
the best run of the rounds (the highest requests per second: interference only ever lowers a
run); the median is in the per-round details. wrk's counts of non-2xx/3xx answers and of socket
errors are reported for every run, warm-ups included, and so are error lines in the servers' logs.
The machine may be shared: the servers and wrk run at niceness -10 (as root), each in a session
and scheduling group of its own; before each run the benchmark waits (within a budget) for other
processes to go quiet, and for each run it reads how long the server waited for its CPU, marking
the runs disturbed by other work. The targets (quillmoth hello >= 0.90x the raw floor; in every
scenario quillmoth >= 1.6x Starlette and >= 1.3x the fastest peer) are printed beside the figures
as pass/fail.
"""

from __future__ import annotations

import argparse
import datetime
import http.client
import json
import os
import platform
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
APPS_DIR = BENCH_DIR / "apps"
WRK_DIR = BENCH_DIR / "wrk"
DOCS_DIR = ROOT / "docs"

sys.path.insert(0, str(APPS_DIR))
from _payloads import HELLO, PAGE, REQUEST_ID_HEADER, TOKEN  # noqa: E402

QUILLMOTH = "quillmoth"
RAW = "raw ASGI"
PEERS = ["Starlette", "Litestar", "Falcon", "FastAPI"]
APPS = {RAW: "raw_asgi", QUILLMOTH: "app_quillmoth", "Starlette": "app_starlette",
        "Litestar": "app_litestar", "Falcon": "app_falcon", "FastAPI": "app_fastapi"}
FRAMEWORKS = [QUILLMOTH, *PEERS]
LOOPS = ["asyncio", "uvloop"]

# What the wrk scripts send (bench/wrk/json_put.lua and upload.lua); the checks send the same.
JSON_PATH = "/api/items/3/parts/7?mode=full&limit=5"
JSON_BODY = b'{"name":"Atlas moth","wingspan_mm":250,"tags":["saturniidae","nocturnal"]}'
JSON_EXPECTED = {"item_id": 3, "part": 7, "mode": "full", "limit": 5, "name": "Atlas moth",
                 "wingspan_mm": 250, "tags": ["saturniidae", "nocturnal"]}
BOUNDARY = "quillmothbench7MA4YWxkTrZu0gW"
FILE_CONTENT = b"0123456789abcdef" * 64
UPLOAD_BODY = (
    f"--{BOUNDARY}\r\n"
    'Content-Disposition: form-data; name="title"\r\n\r\n'
    "notes\r\n"
    f"--{BOUNDARY}\r\n"
    'Content-Disposition: form-data; name="file"; filename="moth.txt"\r\n'
    "Content-Type: text/plain\r\n\r\n"
).encode() + FILE_CONTENT + f"\r\n--{BOUNDARY}--\r\n".encode()
UPLOAD_EXPECTED = {"title": "notes", "file_name": "moth.txt", "size": len(FILE_CONTENT)}

# A run during which the server waited for its CPU (runnable, another task running) for more than
# this fraction of the time is marked as disturbed by other work.
DISTURBED_WAIT = 0.05
# Before a run, the benchmark waits (within a budget) for other processes to use less CPU than this.
QUIET_CORES = 0.10
TICKS = os.sysconf("SC_CLK_TCK")

TARGET_FLOOR = 0.90
TARGET_STARLETTE = 1.6
TARGET_PEER = 1.3


@dataclass(frozen=True)
class Scenario:
    key: str
    title: str
    path: str
    script: str | None
    apps: tuple[str, ...]


SCENARIOS = [
    Scenario("raw", "raw ASGI hello (floor)", "/hello", None, (RAW,)),
    Scenario("hello", "hello text", "/hello", None, tuple(FRAMEWORKS)),
    Scenario("html", "HTML + per-request header", "/page", None, tuple(FRAMEWORKS)),
    Scenario("json", "JSON API (PUT, params, auth)", JSON_PATH, "json_put.lua", tuple(FRAMEWORKS)),
    Scenario("upload", "multipart upload stored to a file", "/upload", "upload.lua", tuple(FRAMEWORKS)),
]
FRAMEWORK_SCENARIOS = [s.key for s in SCENARIOS if s.key != "raw"]


@dataclass
class Run:
    rps: float
    requests: int
    non2xx: int
    connect: int
    read: int
    write: int
    timeout: int
    stored: int | None = None  # files the upload handler wrote during the run
    failure: str | None = None
    server_cpu: float = 0.0  # share of the run the server ran on its CPU
    server_wait: float = 0.0  # share of the run the server was runnable but waited for its CPU
    other_before: float = 0.0  # CPU used by other processes just before the run, in cores

    @property
    def disturbed(self) -> bool:
        return self.server_wait > DISTURBED_WAIT

    @property
    def socket_errors(self) -> int:
        return self.connect + self.read + self.write + self.timeout

    def errors_text(self) -> str:
        parts = []
        if self.non2xx:
            parts.append(f"{self.non2xx} non-2xx/3xx")
        if self.socket_errors:
            parts.append(f"socket errors: connect {self.connect}, read {self.read}, write {self.write}, "
                         f"timeout {self.timeout}")
        if self.failure:
            parts.append(self.failure)
        return "; ".join(parts)


@dataclass
class Cell:
    runs: list[Run] = field(default_factory=list)
    warmup: Run | None = None
    check_failure: str | None = None

    @property
    def good(self) -> list[Run]:
        return [r for r in self.runs if r.failure is None]

    @property
    def best(self) -> float | None:
        good = self.good
        return max(r.rps for r in good) if good else None

    @property
    def median(self) -> float | None:
        good = self.good
        return statistics.median(r.rps for r in good) if good else None


# --- servers --------------------------------------------------------------------------------


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def nice_prefix(nice: int) -> list[str]:
    return ["nice", "-n", str(nice)] if nice else []


def prioritise(pid: int, nice: int) -> None:
    """Gives a process started in a session of its own the niceness `nice` for its scheduling
    group too (with autogroup scheduling, a process's own niceness counts only within its
    session, and every session weighs the same)."""
    if not nice:
        return
    try:
        with open(f"/proc/{pid}/autogroup", "w") as group:
            group.write(str(nice))
    except OSError:
        pass  # no autogroup scheduling: the process's niceness is what counts


class Server:
    """One uvicorn process serving one app, pinned to the server core."""

    def __init__(self, name: str, loop: str, cpu: int, workdir: Path, uploads: Path, pythonpath: str | None,
                 nice: int) -> None:
        self.name = name
        self.loop = loop
        self.cpu = cpu
        self.port = free_port()
        slug = APPS[name]
        self.upload_dir = uploads / f"{slug}-{loop}"
        self.upload_dir.mkdir(parents=True, exist_ok=True)
        self.log_path = workdir / f"{slug}-{loop}.log"
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        if pythonpath:
            env["PYTHONPATH"] = pythonpath
        env["QM_BENCH_UPLOAD_DIR"] = str(self.upload_dir)
        env["PYTHONUNBUFFERED"] = "1"
        command = [*nice_prefix(nice), "taskset", "-c", str(cpu), sys.executable, "-m", "uvicorn", f"{slug}:app",
                   "--app-dir", str(APPS_DIR), "--host", "127.0.0.1", "--port", str(self.port),
                   "--workers", "1", "--loop", loop, "--http", "httptools",
                   "--no-access-log", "--log-level", "warning"]
        self.log = open(self.log_path, "wb")
        # Run from the work directory so that the repository root is not on sys.path: the
        # installed package is served, or with --tree the snapshot that PYTHONPATH names.
        self.process = subprocess.Popen(command, cwd=workdir, env=env, stdout=self.log,
                                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                        start_new_session=bool(nice))
        self.pid = self.process.pid
        prioritise(self.pid, nice)

    def wait_ready(self, timeout: float = 60.0) -> str | None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return f"server exited with code {self.process.returncode}: {self.log_tail()}"
            try:
                status, _, _ = request(self.port, "GET", "/hello")
                if status:
                    return None
            except OSError:
                time.sleep(0.1)
        return f"server not answering after {timeout:.0f} s: {self.log_tail()}"

    def log_tail(self, lines: int = 12) -> str:
        self.log.flush()
        text = self.log_path.read_text("utf-8", "replace").strip().splitlines()
        return " | ".join(text[-lines:]) or "(no output)"

    def log_errors(self) -> list[str]:
        if not self.log.closed:
            self.log.flush()
        text = self.log_path.read_text("utf-8", "replace").splitlines()
        return [line for line in text if re.search(r"Traceback|ERROR|Exception|Error:", line)]

    def stop(self) -> None:
        if self.process.poll() is None:
            os.kill(self.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.kill(self.pid, signal.SIGKILL)
                self.process.wait()
        self.log.close()

    def clear_uploads(self) -> int:
        count = 0
        with os.scandir(self.upload_dir) as entries:
            for entry in entries:
                os.unlink(entry.path)
                count += 1
        return count


# --- checks ---------------------------------------------------------------------------------


def request(port: int, method: str, path: str, body: bytes | None = None,
            headers: dict[str, str] | None = None) -> tuple[int, dict[str, str], bytes]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
    finally:
        connection.close()


def expect(condition: bool, what: str) -> None:
    if not condition:
        raise AssertionError(what)


def expect_json(headers: dict[str, str], body: bytes, expected: dict) -> None:
    expect(headers.get("content-type", "").startswith("application/json"),
           f"content-type {headers.get('content-type')!r}, expected application/json")
    try:
        value = json.loads(body)
    except ValueError:
        raise AssertionError(f"body is not JSON: {body[:200]!r}") from None
    expect(value == expected, f"body {value!r}, expected {expected!r}")


def check(server: Server, scenario: str) -> None:
    """Raises AssertionError telling what is wrong with the app's answer."""
    port = server.port
    if scenario in ("raw", "hello"):
        status, headers, body = request(port, "GET", "/hello")
        expect(status == 200, f"status {status}, expected 200 (body {body[:200]!r})")
        expect(headers.get("content-type", "").startswith("text/plain"),
               f"content-type {headers.get('content-type')!r}, expected text/plain")
        expect(body == HELLO.encode(), f"body {body[:200]!r}, expected {HELLO!r}")
    elif scenario == "html":
        ids = []
        for _ in range(2):
            status, headers, body = request(port, "GET", "/page")
            expect(status == 200, f"status {status}, expected 200 (body {body[:200]!r})")
            expect(headers.get("content-type", "").startswith("text/html"),
                   f"content-type {headers.get('content-type')!r}, expected text/html")
            expect(body == PAGE.encode(), f"body {body[:200]!r}, expected the page")
            value = headers.get(REQUEST_ID_HEADER, "")
            expect(value.isdigit(), f"{REQUEST_ID_HEADER} {value!r}, expected a number")
            ids.append(int(value))
        expect(ids[1] > ids[0], f"{REQUEST_ID_HEADER} did not change per request: {ids}")
    elif scenario == "json":
        headers = {"Content-Type": "application/json", "Authorization": TOKEN}
        status, answer, body = request(port, "PUT", JSON_PATH, JSON_BODY, headers)
        expect(status == 200, f"status {status}, expected 200 (body {body[:200]!r})")
        expect_json(answer, body, JSON_EXPECTED)
        status, _, body = request(port, "PUT", JSON_PATH, JSON_BODY, dict(headers, Authorization="Bearer wrong"))
        expect(status == 401, f"wrong token answered {status}, expected 401 (body {body[:200]!r})")
    elif scenario == "upload":
        server.clear_uploads()
        headers = {"Content-Type": f"multipart/form-data; boundary={BOUNDARY}"}
        status, answer, body = request(port, "POST", "/upload", UPLOAD_BODY, headers)
        expect(status == 200, f"status {status}, expected 200 (body {body[:200]!r})")
        expect_json(answer, body, UPLOAD_EXPECTED)
        stored = list(server.upload_dir.iterdir())
        expect(len(stored) == 1, f"{len(stored)} files stored, expected 1")
        expect(stored[0].read_bytes() == FILE_CONTENT, f"stored file {stored[0].name} differs from the upload")
        server.clear_uploads()


# --- CPU accounting -------------------------------------------------------------------------


def busy_seconds() -> float:
    """CPU time (user, nice, system) spent on all cores since boot."""
    fields = Path("/proc/stat").read_text().split("\n", 1)[0].split()
    return (int(fields[1]) + int(fields[2]) + int(fields[3])) / TICKS


def own_seconds() -> float:
    """This process's CPU time and its waited children's (the wrk runs)."""
    me = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return me.ru_utime + me.ru_stime + children.ru_utime + children.ru_stime


def schedstat(pid: int) -> tuple[float, float]:
    """Seconds the process's main thread has run on a CPU, and waited runnable for one."""
    try:
        ran, waited, _ = Path(f"/proc/{pid}/schedstat").read_text().split()
    except (OSError, ValueError):
        return 0.0, 0.0
    return int(ran) / 1e9, int(waited) / 1e9


class Quiet:
    """Waits before a run until the machine is quiet: less than QUIET_CORES of CPU used by other
    processes over a short sample (the servers are idle then), within a total budget of seconds
    for the whole benchmark. Remembers the last sample."""

    def __init__(self, budget: float) -> None:
        self.budget = budget
        self.waited = 0.0
        self.last = 0.0

    def sample(self, seconds: float) -> float:
        start, busy, own = time.monotonic(), busy_seconds(), own_seconds()
        time.sleep(seconds)
        wall = time.monotonic() - start
        return max(0.0, (busy_seconds() - busy - (own_seconds() - own)) / wall)

    def wait(self, pause: float) -> None:
        first = max(pause, 0.2)
        start = time.monotonic()
        load = self.sample(first)
        while load >= QUIET_CORES and self.waited + time.monotonic() - start - first < self.budget:
            load = self.sample(0.5)
        extra = time.monotonic() - start - first
        if extra > 0.1:
            print(f"    (waited {extra:.1f} s for other work on the machine to stop; now {load:.2f} cores)",
                  flush=True)
            self.waited += extra
        self.last = load


# --- wrk --------------------------------------------------------------------------------------


def run_wrk(server: Server, scenario: Scenario, duration: int, connections: int, cpu: int, nice: int) -> Run:
    command = [*nice_prefix(nice), "taskset", "-c", str(cpu), "wrk", "-t1", f"-c{connections}", f"-d{duration}s"]
    if scenario.script:
        command += ["-s", str(WRK_DIR / scenario.script)]
    command.append(f"http://127.0.0.1:{server.port}{scenario.path}")
    ran, waited = schedstat(server.pid)
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               stdin=subprocess.DEVNULL, start_new_session=bool(nice))
    prioritise(process.pid, nice)
    try:
        stdout, stderr = process.communicate(timeout=duration + 30)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        return Run(0.0, 0, 0, 0, 0, 0, 0, failure="wrk did not finish")
    wall = time.monotonic() - start
    ran_after, waited_after = schedstat(server.pid)
    run = parse_wrk(stdout)
    if run is None:
        return Run(0.0, 0, 0, 0, 0, 0, 0, failure=f"wrk failed: {(stderr or stdout).strip()[:300]}")
    run.server_cpu = (ran_after - ran) / wall
    run.server_wait = (waited_after - waited) / wall
    if scenario.key == "upload":
        run.stored = server.clear_uploads()
        good = run.requests - run.non2xx
        if run.stored < good:
            run.failure = f"only {run.stored} files stored for {good} answered uploads"
    if server.process.poll() is not None:
        run.failure = f"server died (code {server.process.returncode}): {server.log_tail()}"
    return run


def parse_wrk(output: str) -> Run | None:
    rps = re.search(r"Requests/sec:\s+([\d.]+)", output)
    total = re.search(r"(\d+) requests in", output)
    if not rps or not total:
        return None
    non2xx = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", output)
    sock = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", output)
    connect, read, write, timeout = (int(x) for x in sock.groups()) if sock else (0, 0, 0, 0)
    return Run(float(rps.group(1)), int(total.group(1)), int(non2xx.group(1)) if non2xx else 0,
               connect, read, write, timeout)


# --- the run --------------------------------------------------------------------------------


def measure(args, workdir: Path, quiet: Quiet) -> tuple[dict, dict]:
    """results[loop][scenario][app] -> Cell; notes[loop][app] -> server log error lines."""
    results: dict = {}
    notes: dict = {}
    scenarios = [s for s in SCENARIOS if s.key in args.scenarios]
    for loop in args.loops:
        results[loop] = {s.key: {} for s in scenarios}
        notes[loop] = {}
        names = [n for n in [RAW, *FRAMEWORKS] if any(n in s.apps for s in scenarios) and
                 (n == RAW or n in args.frameworks)]
        servers: dict[str, Server] = {}
        try:
            for name in names:
                servers[name] = Server(name, loop, args.server_cpu, workdir, args.uploads, args.pythonpath,
                                       args.nice)
            started = {}
            for name, server in servers.items():
                started[name] = server.wait_ready()
                state = "ready" if started[name] is None else f"NOT READY: {started[name]}"
                print(f"[{loop}] {name:<10} pid {server.pid} port {server.port}: {state}", flush=True)
            for scenario in scenarios:
                apps = [n for n in scenario.apps if n in servers]
                cells = results[loop][scenario.key]
                for name in apps:
                    cell = cells[name] = Cell()
                    if started[name] is not None:
                        cell.check_failure = started[name]
                        continue
                    try:
                        check(servers[name], scenario.key)
                    except (AssertionError, OSError, http.client.HTTPException) as error:
                        cell.check_failure = f"{type(error).__name__}: {error}" if not isinstance(
                            error, AssertionError) else str(error)
                        print(f"[{loop}] {scenario.key:<7} {name:<10} CHECK FAILED: {cell.check_failure}",
                              flush=True)
                measured = [n for n in apps if cells[n].check_failure is None]
                if args.warmup:
                    for name in measured:
                        quiet.wait(args.pause)
                        cells[name].warmup = run_wrk(servers[name], scenario, args.warmup, args.connections,
                                                     args.client_cpu, args.nice)
                for round_index in range(args.rounds):
                    shift = round_index % len(measured) if measured else 0
                    for name in measured[shift:] + measured[:shift]:
                        quiet.wait(args.pause)
                        run = run_wrk(servers[name], scenario, args.duration, args.connections, args.client_cpu,
                                      args.nice)
                        cells[name].runs.append(run)
                        extra = f"  [{run.errors_text()}]" if run.errors_text() else ""
                        run.other_before = quiet.last
                        if run.disturbed:
                            extra += f"  (disturbed: the server waited for its CPU {run.server_wait:.0%} of the run)"
                        print(f"[{loop}] {scenario.key:<7} round {round_index + 1}/{args.rounds} {name:<10} "
                              f"{run.rps:>10,.0f} req/s{extra}", flush=True)
        finally:
            for name, server in servers.items():
                try:
                    server.stop()
                except Exception as error:  # the others are stopped all the same
                    print(f"[{loop}] {name}: stopping pid {server.pid} failed: {error!r}", file=sys.stderr)
                notes[loop][name] = server.log_errors()
    return results, notes


# --- reporting ------------------------------------------------------------------------------


def fmt_rps(value: float | None) -> str:
    return "—" if value is None else f"{value:,.0f}"


def fmt_ratio(value: float | None) -> str:
    return "—" if value is None else f"{value:.2f}x"


def ratio(a: float | None, b: float | None) -> float | None:
    return a / b if a and b else None


def fastest_peer(cells: dict) -> tuple[str | None, float | None]:
    best = [(cells[p].best, p) for p in PEERS if p in cells and cells[p].best]
    if not best:
        return None, None
    value, name = max(best)
    return name, value


def results_table(results: dict, loop: str) -> list[str]:
    apps = [a for a in [RAW, *FRAMEWORKS] if any(a in results[loop][s] for s in results[loop])]
    head = ["scenario", *apps, "quillmoth / Starlette", "quillmoth / fastest peer"]
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join(["---"] + ["---:"] * (len(head) - 1)) + "|"]
    floor = results[loop].get("raw", {}).get(RAW)
    for scenario in SCENARIOS:
        cells = results[loop].get(scenario.key)
        if cells is None:
            continue
        row = [scenario.title]
        for app in apps:
            cell = cells.get(app)
            if cell is None:
                row.append("")
            elif cell.check_failure:
                row.append("check failed")
            else:
                text = fmt_rps(cell.best)
                if scenario.key == "hello" and app == QUILLMOTH and floor and floor.best:
                    text += f" ({fmt_ratio(ratio(cell.best, floor.best))} floor)"
                row.append(text)
        if scenario.key == "raw":
            row += ["", ""]
        else:
            qm = cells.get(QUILLMOTH)
            qm_best = qm.best if qm else None
            st = cells.get("Starlette")
            peer, peer_best = fastest_peer(cells)
            row.append(fmt_ratio(ratio(qm_best, st.best if st else None)))
            row.append(f"{fmt_ratio(ratio(qm_best, peer_best))} ({peer})" if peer else "—")
        lines.append("| " + " | ".join(row) + " |")
    return lines


def targets(results: dict, loop: str) -> list[tuple[str, str, str, str]]:
    """(target, measured, wanted, verdict) rows."""
    rows = []
    scenarios = results[loop]
    floor = scenarios.get("raw", {}).get(RAW)
    hello = scenarios.get("hello", {}).get(QUILLMOTH)
    if floor is not None and hello is not None:
        value = ratio(hello.best, floor.best)
        rows.append(("hello vs raw ASGI floor", fmt_ratio(value), f">= {TARGET_FLOOR:.2f}x",
                     verdict(value, TARGET_FLOOR)))
    for scenario in SCENARIOS:
        cells = scenarios.get(scenario.key)
        if scenario.key == "raw" or cells is None or QUILLMOTH not in cells:
            continue
        qm = cells[QUILLMOTH].best
        if "Starlette" in cells:
            value = ratio(qm, cells["Starlette"].best)
            rows.append((f"{scenario.key} vs Starlette", fmt_ratio(value), f">= {TARGET_STARLETTE:.1f}x",
                         verdict(value, TARGET_STARLETTE)))
        peer, peer_best = fastest_peer(cells)
        if peer:
            value = ratio(qm, peer_best)
            rows.append((f"{scenario.key} vs fastest peer ({peer})", fmt_ratio(value), f">= {TARGET_PEER:.1f}x",
                         verdict(value, TARGET_PEER)))
    return rows


def verdict(value: float | None, wanted: float) -> str:
    if value is None:
        return "not measured"
    return "pass" if value >= wanted else "FAIL"


def targets_table(results: dict) -> list[str]:
    loops = list(results)
    head = ["target", "wanted", *loops]
    lines = ["| " + " | ".join(head) + " |", "|---|---|" + "---|" * len(loops)]
    per_loop = {loop: targets(results, loop) for loop in loops}
    keys = []
    for loop in loops:
        for row in per_loop[loop]:
            name = re.sub(r" \(.*\)$", "", row[0])
            if name not in keys:
                keys.append(name)
    for key in keys:
        wanted = ""
        cells = []
        for loop in loops:
            match = next((r for r in per_loop[loop] if re.sub(r" \(.*\)$", "", r[0]) == key), None)
            if match is None:
                cells.append("—")
                continue
            wanted = match[2]
            peer = re.search(r"\((.*)\)$", match[0])
            cells.append(f"{match[1]} {match[3]}" + (f" ({peer.group(1)})" if peer else ""))
        lines.append(f"| {key} | {wanted} | " + " | ".join(cells) + " |")
    return lines


def error_lines(results: dict, notes: dict) -> list[str]:
    lines = []
    for loop, scenarios in results.items():
        for key, cells in scenarios.items():
            for app, cell in cells.items():
                if cell.check_failure:
                    lines.append(f"- {loop}, {key}, {app}: check failed, not measured: {cell.check_failure}")
                if cell.warmup and cell.warmup.errors_text():
                    lines.append(f"- {loop}, {key}, {app}, warm-up: {cell.warmup.errors_text()} "
                                 f"of {cell.warmup.requests} requests")
                for index, run in enumerate(cell.runs, 1):
                    if run.errors_text():
                        lines.append(f"- {loop}, {key}, {app}, round {index}: {run.errors_text()} "
                                     f"of {run.requests} requests")
    for loop, apps in notes.items():
        for app, errors in apps.items():
            if errors:
                sample = "; ".join(e.strip() for e in errors[:3])
                lines.append(f"- {loop}, {app}: {len(errors)} error lines in the server log, e.g. `{sample[:300]}`")
    return lines


def other_work_lines(results: dict, waited: float) -> list[str]:
    runs = [(loop, key, app, index, run)
            for loop, scenarios in results.items() for key, cells in scenarios.items()
            for app, cell in cells.items() for index, run in enumerate(cell.runs, 1)]
    if not runs:
        return []
    waits = [r.server_wait for *_, r in runs]
    before = [r.other_before for *_, r in runs]
    disturbed = [(loop, key, app, index, run) for loop, key, app, index, run in runs if run.disturbed]
    lines = [f"The server waited, runnable, for its CPU (taken by other work) for {statistics.mean(waits):.1%} of a "
             f"measured run on average, {max(waits):.1%} at most; {len(disturbed)} of {len(runs)} runs had more "
             f"than {DISTURBED_WAIT:.0%} of it (marked `*` in the details). Other processes used "
             f"{statistics.mean(before):.2f} cores on average (at most {max(before):.2f}) in the moments before "
             f"the runs; {waited:.0f} s were spent waiting for a quiet machine."]
    for loop, key, app, index, run in disturbed[:30]:
        lines.append(f"- {loop}, {key}, {app}, round {index}: the server waited {run.server_wait:.1%} of the run")
    if len(disturbed) > 30:
        lines.append(f"- ... and {len(disturbed) - 30} more")
    return lines


def details_table(results: dict) -> list[str]:
    lines = ["| loop | scenario | app | warm-up req/s | rounds (req/s) | median | best | requests (best run) | "
             "server CPU / waiting for it (best run) |",
             "|---|---|---|---:|---|---:|---:|---:|---:|"]
    for loop, scenarios in results.items():
        for key, cells in scenarios.items():
            for app, cell in cells.items():
                if cell.check_failure:
                    lines.append(f"| {loop} | {key} | {app} | | check failed | | | | |")
                    continue
                rounds = ", ".join(fmt_rps(r.rps) + ("!" if r.failure else "") + ("*" if r.disturbed else "")
                                   for r in cell.runs)
                best = max(cell.good, key=lambda r: r.rps, default=None)
                warm = fmt_rps(cell.warmup.rps) if cell.warmup else ""
                cpu = f"{best.server_cpu:.0%} / {best.server_wait:.1%}" if best else ""
                lines.append(f"| {loop} | {key} | {app} | {warm} | {rounds} | {fmt_rps(cell.median)} | "
                             f"{fmt_rps(cell.best)} | {best.requests if best else ''} | {cpu} |")
    return lines


def chart(results: dict, path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    loops = list(results)
    colors = {RAW: "#7f7f7f", QUILLMOTH: "#d62728", "Starlette": "#1f77b4", "Litestar": "#ff7f0e",
              "Falcon": "#2ca02c", "FastAPI": "#9467bd"}
    fig, axes = plt.subplots(1, len(loops), figsize=(7.5 * len(loops), 5.2), squeeze=False, sharey=True)
    for axis, loop in zip(axes[0], loops):
        groups = [s for s in SCENARIOS if s.key in results[loop]]
        apps = [a for a in [RAW, *FRAMEWORKS] if any(a in results[loop][s.key] for s in groups)]
        width = 0.8 / max(1, len(FRAMEWORKS))
        for gi, scenario in enumerate(groups):
            cells = results[loop][scenario.key]
            present = [a for a in apps if a in cells]
            offset = -(len(present) - 1) * width / 2
            for ai, app in enumerate(present):
                value = cells[app].best or 0
                x = gi + offset + ai * width
                axis.bar(x, value, width * 0.92, color=colors[app],
                         label=app if gi == [i for i, s in enumerate(groups) if app in results[loop][s.key]][0]
                         else None)
                if value:
                    axis.text(x, value, f"{value / 1000:.1f}k", ha="center", va="bottom", fontsize=6.5,
                              rotation=90)
        axis.set_xticks(range(len(groups)))
        axis.set_xticklabels([s.title.replace(" (", "\n(").replace(" + ", "\n+ ") for s in groups], fontsize=8)
        axis.set_title(f"uvicorn --loop {loop}")
        axis.grid(axis="y", alpha=0.3)
        axis.set_axisbelow(True)
        axis.margins(y=0.15)
    axes[0][0].set_ylabel("requests per second (best run)")
    handles, labels = axes[0][0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="upper center", ncol=len(labels), frameon=False, bbox_to_anchor=(0.5, 1.0))
    fig.suptitle(title, y=0.93, fontsize=9)
    fig.tight_layout(rect=(0, 0, 1, 0.9))
    fig.savefig(path, dpi=130)
    plt.close(fig)


# --- machine facts --------------------------------------------------------------------------


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def load_average() -> str:
    try:
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "unknown"


def memory() -> str:
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                return f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
    except OSError:
        pass
    return "unknown"


def versions() -> dict[str, str]:
    names = ["quillmoth", "uvicorn", "uvloop", "httptools", "starlette", "litestar", "falcon", "fastapi",
             "pydantic", "msgspec", "python-multipart"]
    found = {}
    for name in names:
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            found[name] = "not installed"
    wrk = subprocess.run(["wrk", "-v"], capture_output=True, text=True)
    found["wrk"] = ((wrk.stdout + wrk.stderr).split("[")[0].replace("wrk", "").strip() or "unknown")
    return found


def snapshot_tree(workdir: Path) -> Path:
    """A copy of the working tree's package (sources and built modules), so that every server of
    the run imports the same build even while the tree is being rebuilt."""
    target = workdir / "snapshot"
    shutil.copytree(ROOT / "quillmoth", target / "quillmoth",
                    ignore=shutil.ignore_patterns("__pycache__", "*.cpp", "*.h", "common"))
    return target


def stale_modules() -> list[str]:
    """Built modules of the working tree older than their own sources."""
    package = ROOT / "quillmoth"
    stale = []
    for module in sorted(package.glob("*.so")):
        stem = module.name.split(".")[0]
        sources = [package / f"{stem}.cpp", *package.glob(f"{stem}_*.cpp")]
        newest = max((p.stat().st_mtime for p in sources if p.exists()), default=0.0)
        if newest > module.stat().st_mtime:
            stale.append(stem)
    return stale


def served_quillmoth(pythonpath: str | None, workdir: Path) -> str:
    """Which quillmoth the servers import, and how it relates to the working tree."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    where = subprocess.run([sys.executable, "-c", "import quillmoth, os; print(os.path.dirname(quillmoth.__file__))"],
                           capture_output=True, text=True, cwd=workdir, env=env).stdout.strip()
    head = subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%h (%cI)"], capture_output=True,
                          text=True).stdout.strip()
    dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", "quillmoth"],
                           capture_output=True, text=True).stdout.split("\n")
    changed = [line[3:].removeprefix("quillmoth/") for line in dirty if line.strip()]
    tree = f"the working tree is at commit {head}" + (
        f", with uncommitted changes to {', '.join(changed)}" if changed else ", with no uncommitted change to quillmoth/")
    if pythonpath:
        stale = stale_modules()
        text = (f"a copy of the working tree's `quillmoth/` (built in place) taken when the run started; {tree}"
                + (f"; modules built before their sources last changed: {', '.join(stale)}" if stale else
                   "; every module built after its sources last changed"))
    else:
        text = f"the installed package `{where}`; {tree}"
        differ = []
        for source in sorted((ROOT / "quillmoth").glob("*")):
            if source.suffix in (".py", ".so") and source.is_file():
                other = Path(where) / source.name
                if not other.exists() or other.read_bytes() != source.read_bytes():
                    differ.append(source.name.split(".")[0] + source.suffix.replace(".so", " (built)"))
        text += ("; the installed modules are the same as the working tree's" if not differ else
                 f"; installed modules that differ from the working tree's: {', '.join(differ)}")
    if not where:
        text += " (quillmoth FAILED TO IMPORT there)"
    return text


def file_system(path: Path) -> str:
    """The type of the file system holding `path` (from /proc/mounts)."""
    best, kind = "", "unknown"
    resolved = str(path.resolve())
    try:
        for line in Path("/proc/mounts").read_text().splitlines():
            _, point, fstype, *_ = line.split()
            if (resolved == point or resolved.startswith(point.rstrip("/") + "/")) and len(point) >= len(best):
                best, kind = point, fstype
    except OSError:
        pass
    return kind


def file_create_cost(directory: Path, count: int = 300) -> float:
    """Microseconds to create and write one 1 KiB file in `directory`, as the upload handlers do."""
    with tempfile.TemporaryDirectory(prefix="qm-bench-fs-", dir=directory) as tmp:
        start = time.perf_counter()
        for index in range(count):
            with open(os.path.join(tmp, f"{index}-moth.txt"), "wb") as out:
                out.write(FILE_CONTENT)
        return (time.perf_counter() - start) / count * 1e6


def default_upload_dir() -> str:
    """A RAM-backed temporary directory when the machine has one (/dev/shm), else the temp dir."""
    shm = Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK) and file_system(shm) == "tmpfs":
        return str(shm)
    return tempfile.gettempdir()


# --- main -----------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: 1 s runs, 1 round, no warm-up, no docs")
    parser.add_argument("--duration", type=int, default=5, help="seconds per measured run (default 5)")
    parser.add_argument("--rounds", type=int, default=3, help="measured runs per app and scenario (default 3)")
    parser.add_argument("--warmup", type=int, default=2, help="seconds of warm-up per app and scenario (0: none)")
    parser.add_argument("--connections", type=int, default=64, help="wrk connections (default 64)")
    parser.add_argument("--pause", type=float, default=0.5, help="seconds between runs (default 0.5)")
    parser.add_argument("--loops", nargs="+", choices=LOOPS, default=LOOPS)
    parser.add_argument("--scenarios", nargs="+", choices=[s.key for s in SCENARIOS], default=[s.key for s in SCENARIOS])
    parser.add_argument("--frameworks", nargs="+", choices=FRAMEWORKS, default=FRAMEWORKS)
    parser.add_argument("--quiet-budget", type=float, default=60.0,
                        help="seconds in all to wait, before runs, for other work on the machine to stop (default 60)")
    parser.add_argument("--nice", type=int, default=-10 if os.geteuid() == 0 else 0,
                        help="niceness of the servers and wrk, each in a session and scheduling group of its own "
                             "(default -10 as root, so that other work on the machine disturbs them less; 0 for none)")
    parser.add_argument("--upload-dir", default=default_upload_dir(),
                        help="where the upload handlers store the files, in a temporary directory of their own "
                             "(default: /dev/shm, a tmpfs, when there is one; else the temp dir)")
    parser.add_argument("--server-cpu", type=int, default=0)
    parser.add_argument("--client-cpu", type=int, default=1)
    parser.add_argument("--tree", action="store_true",
                        help="serve the working tree's quillmoth (a copy of quillmoth/ with its modules built in place, "
                             "taken at the start) instead of the installed package")
    parser.add_argument("--docs", dest="docs", action="store_true", default=None,
                        help="write docs/benchmarks.md and docs/benchmarks.png (the default for a full run)")
    parser.add_argument("--no-docs", dest="docs", action="store_false")
    args = parser.parse_args()
    if args.quick:
        args.duration, args.rounds, args.warmup, args.pause = 1, 1, 0, 0.2
    if args.docs is None:
        args.docs = not args.quick

    for tool in ("wrk", "taskset"):
        if shutil.which(tool) is None:
            print(f"{tool} is missing (apt-get install -y {'wrk' if tool == 'wrk' else 'util-linux'})", file=sys.stderr)
            return 2
    available = os.sched_getaffinity(0)
    if args.server_cpu == args.client_cpu or not {args.server_cpu, args.client_cpu} <= available:
        print(f"need two distinct available cores for server and wrk (have {sorted(available)})", file=sys.stderr)
        return 2
    os.sched_setaffinity(0, {args.client_cpu})  # this process stays off the server's core

    command = " ".join(["python", os.path.relpath(__file__, ROOT), *sys.argv[1:]])
    args.load_before = load_average()
    started = datetime.datetime.now(datetime.timezone.utc)
    with (tempfile.TemporaryDirectory(prefix="qm-bench-serving-") as tmp,
          tempfile.TemporaryDirectory(prefix="qm-bench-uploads-", dir=args.upload_dir) as uploads):
        workdir = Path(tmp)
        args.uploads = Path(uploads)
        args.upload_fs = file_system(args.uploads)
        args.create_costs = {where: file_create_cost(Path(where)) for where in
                             dict.fromkeys([uploads, tempfile.gettempdir(), "/dev/shm"]) if os.path.isdir(where)}
        print("creating a 1 KiB file: " + "; ".join(
            f"{cost:.0f} us in {where} ({file_system(Path(where))})" for where, cost in args.create_costs.items()))
        args.pythonpath = str(snapshot_tree(workdir)) if args.tree else None
        served = served_quillmoth(args.pythonpath, workdir)
        print(f"quillmoth served from {served}")
        print(f"{args.duration} s per run, {args.rounds} round(s), {args.warmup} s warm-up, {args.connections} connections; "
              f"server on CPU {args.server_cpu}, wrk on CPU {args.client_cpu}", flush=True)
        quiet = Quiet(0.0 if args.quick else args.quiet_budget)
        results, notes = measure(args, workdir, quiet)
        args.quiet_waited = quiet.waited
    elapsed = datetime.datetime.now(datetime.timezone.utc) - started
    args.load_after = load_average()

    report = []
    for loop in results:
        report += [f"### uvicorn --loop {loop} (best of {args.rounds} round{'s' if args.rounds != 1 else ''}, "
                   "requests per second)", ""]
        report += results_table(results, loop) + [""]
    report += ["### Targets (quillmoth's ratio, from the best runs)", ""] + targets_table(results) + [""]
    errors = error_lines(results, notes)
    report += ["### Other work on the machine", ""] + other_work_lines(results, args.quiet_waited) + [""]
    report += ["### Errors", ""] + (errors or ["None: every check passed, and no run had a non-2xx/3xx answer, "
                                               "a socket error or an error line in a server log."]) + [""]
    print()
    print("\n".join(report))
    print(f"(took {elapsed.total_seconds() / 60:.1f} min)")

    if args.docs:
        DOCS_DIR.mkdir(exist_ok=True)
        facts = versions()
        title = (f"uvicorn, 1 worker, httptools; wrk -t1 -c{args.connections} -d{args.duration}s on loopback; "
                 f"server and wrk on separate cores; best of {args.rounds}; {cpu_model()}, "
                 f"Python {platform.python_version()}, {started:%Y-%m-%d}")
        chart(results, DOCS_DIR / "benchmarks.png", title)
        write_docs(args, command, started, elapsed, facts, served, report, results)
        print(f"wrote {DOCS_DIR / 'benchmarks.md'} and {DOCS_DIR / 'benchmarks.png'}")
    return 0


def write_docs(args, command, started, elapsed, facts, served, report, results) -> None:
    machine = [
        f"- CPU: {cpu_model()}, {os.cpu_count()} cores; {memory()} of memory",
        f"- OS: {platform.system()} {platform.release()} ({platform.machine()})",
        f"- Python {platform.python_version()} ({platform.python_implementation()})",
        "- Packages: " + ", ".join(f"{k} {v}" for k, v in facts.items()),
        f"- quillmoth served from {served}",
        f"- Load average (1, 5, 15 min) before the run: {args.load_before}; after: {args.load_after} "
        "(other work on the machine during the run would show here)",
    ]
    text = [
        "# Serving benchmarks",
        "",
        "End-to-end requests per second of the same small apps written with quillmoth and with the peer",
        "frameworks (each the way its own documentation shows; the apps are in `bench/apps/`), served by",
        "uvicorn and loaded by wrk on loopback. Written by `bench/bench_serving.py`; every figure below",
        "comes from the one run described here.",
        "",
        f"- Date: {started:%Y-%m-%d %H:%M} UTC (the run took {elapsed.total_seconds() / 60:.1f} minutes)",
        f"- Command: `.venv/bin/{command}`",
        *machine,
        "",
        "## Method",
        "",
        f"- Server: `uvicorn APP:app --workers 1 --loop {{asyncio,uvloop}} --http httptools --no-access-log "
        f"--log-level warning`, pinned to CPU {args.server_cpu} with `taskset`"
        + (f" and run at niceness {args.nice} in a session and scheduling group of its own (wrk too: "
           "other work on the shared machine disturbs them less)" if args.nice else "")
        + "; each app in its own process on a "
        "free loopback port, started once per event loop and stopped by its PID.",
        f"- Load: `wrk -t1 -c{args.connections} -d{args.duration}s` pinned to CPU {args.client_cpu} (the benchmark "
        "process stays there too); the JSON and upload scenarios use `bench/wrk/json_put.lua` and "
        "`bench/wrk/upload.lua` for the method, headers and body.",
        "- Before measuring, every app is checked for each scenario: status, content type and body (the JSON "
        "answer compared as a value; the HTML page's `x-request-id` changing per request; a wrong token "
        "answered 401; the uploaded file found in the upload directory with the bytes sent).",
        "- Runs are interleaved: for each scenario every app gets "
        + (f"a {args.warmup} s warm-up run" if args.warmup else "no warm-up run")
        + f", then {args.rounds} round{'s' if args.rounds != 1 else ''} in which every app runs in turn "
        "(the first app rotating each round). "
        "**The tables report the best run** (the highest requests per second); the median and every "
        "round are in the details below.",
        f"- The upload handlers store each file part as a new file in a temporary directory under "
        f"`{args.upload_dir}` ({args.upload_fs}); the benchmark empties it between runs, outside the measured "
        "time, and checks that as many files were stored as uploads were answered. Creating and writing one "
        "1 KiB file, measured at the start of the run: "
        + "; ".join(f"{cost:.0f} µs in `{where}` ({file_system(Path(where))})" for where, cost in args.create_costs.items())
        + ".",
        "- wrk's counts of non-2xx/3xx answers and socket errors are reported for every run, warm-ups "
        "included, along with error lines in the servers' logs.",
        "- Other work on the machine: before each run the benchmark waits until other processes use less "
        f"than {QUIET_CORES} core (from `/proc/stat`; within {args.quiet_budget:.0f} s of waiting in all), and "
        "during each run it reads how long the server waited, runnable, for its CPU "
        f"(`/proc/PID/schedstat`); a run where that exceeds {DISTURBED_WAIT:.0%} is marked as disturbed.",
        "",
        "## Scenarios",
        "",
        "| scenario | request | answer |",
        "|---|---|---|",
        "| raw ASGI hello (floor) | `GET /hello` to a bare ASGI callable | `Hello, World!` text/plain |",
        "| hello text | `GET /hello` | `Hello, World!` text/plain |",
        f"| HTML + per-request header | `GET /page` | a {len(PAGE.encode())}-byte text/html page and `x-request-id: N` (a counter) |",
        f"| JSON API | `PUT {JSON_PATH}`, `Authorization: Bearer ...`, a JSON object body | JSON built from the "
        "int path parameters, the query and the body; 401 for another token |",
        "| multipart upload stored to a file | `POST /upload`, multipart/form-data: a text field and a 1 KiB file "
        "part | the file part written to a new file in the upload directory; JSON with the title, the file name "
        "and the size |",
        "",
        "## Results",
        "",
        "![requests per second per scenario and framework](benchmarks.png)",
        "",
        *report,
        "## Details (requests per second of each run; `!` marks a run that failed, `*` one disturbed by other work)",
        "",
        *details_table(results),
        "",
    ]
    (DOCS_DIR / "benchmarks.md").write_text("\n".join(text))


if __name__ == "__main__":
    sys.exit(main())
