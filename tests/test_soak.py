"""Soak: many requests in-process through the ASGI callable, mixing a greeting, JSON, a 404, a
handler error, cookies and a small multipart form, eight at a time. After a warm-up the process's
resident memory, the live objects the collector tracks, the memory tracemalloc traces and the
message pools must stay flat.

The CI-sized run takes 50,000 requests (10,000 under the sanitizers, QM_SANITIZER_RUN=1, where the
allocator's quarantine makes resident memory meaningless, so only the object and traced-memory
counts are checked there). QM_LONG=1 runs 1,000,000 requests and prints the figures:

    QM_LONG=1 PYTHONPATH=. .venv/bin/pytest tests/test_soak.py -q -s -k long
"""

import asyncio
import gc
import logging
import os
import resource
import tracemalloc
from dataclasses import dataclass

import pytest

import hardening_app
from quillmoth import messages

SANITIZED = os.environ.get("QM_SANITIZER_RUN") == "1"
CI_REQUESTS = 10_000 if SANITIZED else 50_000
LONG_REQUESTS = 1_000_000
CONCURRENCY = 8
PAGE = os.sysconf("SC_PAGE_SIZE")

BOUNDARY = b"soakB0undary"
FORM = (b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="title"\r\n\r\nsoak notes\r\n'
        b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="file"; filename="n.txt"\r\n'
        b"Content-Type: text/plain\r\n\r\n" + b"moth " * 40 + b"\r\n--" + BOUNDARY + b"--\r\n")
# (method, path, headers, body, expected status)
MIX = [
    ("GET", b"/hello", [(b"host", b"soak")], b"", 200),
    ("GET", b"/json", [(b"host", b"soak")], b"", 200),
    ("GET", b"/no/such/page", [(b"host", b"soak")], b"", 404),
    ("GET", b"/fail", [(b"host", b"soak")], b"", 500),
    ("GET", b"/cookies", [(b"host", b"soak"), (b"cookie", b"sid=abc123; theme=dark; n=%41%42")], b"", 200),
    ("POST", b"/form", [(b"host", b"soak"), (b"content-type", b"multipart/form-data; boundary=" + BOUNDARY),
                        (b"content-length", str(len(FORM)).encode())], FORM, 200),
]


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


@dataclass
class Sample:
    requests: int
    rss: int
    objects: int
    traced: int
    pools: tuple


def sample(requests):
    gc.collect()
    return Sample(requests, rss(), len(gc.get_objects()), tracemalloc.get_traced_memory()[0],
                  (len(messages._REQUEST_FREELIST), len(messages._RESPONSE_FREELIST)))


async def one(app, number, statuses):
    method, path, headers, body, expected = MIX[number % len(MIX)]
    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": method, "scheme": "http",
             "path": path.decode(), "raw_path": path, "query_string": b"", "root_path": "", "headers": headers,
             "client": ("127.0.0.1", 50000), "server": ("127.0.0.1", 8000)}
    incoming = [{"type": "http.request", "body": body, "more_body": False}]
    status = []

    async def receive():
        await asyncio.sleep(0)  # lets the other requests of the batch run meanwhile
        return incoming.pop() if incoming else {"type": "http.disconnect"}

    async def send(message):
        if message["type"] == "http.response.start":
            status.append(message["status"])

    await app(scope, receive, send)
    if status != [expected]:
        statuses.append((path, status))


async def soak(app, requests, checkpoints):
    """Runs `requests` requests through `app`; samples at each of the request counts in
    `checkpoints`. Returns the samples and the requests whose status was not the expected one."""
    samples, wrong, done = [], [], 0
    log = logging.getLogger("quillmoth.server")
    disabled, log.disabled = log.disabled, True  # the handler error is logged on every round
    try:
        for checkpoint in sorted(checkpoints):
            while done < checkpoint:
                batch = min(CONCURRENCY, checkpoint - done)
                await asyncio.gather(*(one(app, done + i, wrong) for i in range(batch)))
                done += batch
            samples.append(sample(done))
    finally:
        log.disabled = disabled
    return samples, wrong


def run_soak(app, requests, warm_up):
    """Warm-up, then tracing from there on; five samples over the rest of the run."""
    step = (requests - warm_up) // 4
    checkpoints = [warm_up + i * step for i in range(5)]
    tracemalloc.start()
    try:
        return asyncio.run(soak(app, requests, checkpoints))
    finally:
        tracemalloc.stop()


def growth(samples):
    """What grew between the first sample after the warm-up and the last."""
    first, last = samples[0], samples[-1]
    return {"rss": last.rss - first.rss, "objects": last.objects - first.objects, "traced": last.traced - first.traced}


def check_flat(samples, *, check_rss):
    grown = growth(samples)
    # One leaked object per request would be thousands; a few come and go with the caches.
    assert grown["objects"] < 200, (grown, samples)
    # 16 bytes kept per request would be hundreds of KiB over a CI-sized run.
    assert grown["traced"] < 128 * 1024, (grown, samples)
    if check_rss:
        assert grown["rss"] < 4 * 1024 * 1024, (grown, samples)
    assert len({s.pools for s in samples}) == 1, samples  # the pools hold the same objects throughout


def report(samples, wrong):
    print()
    for s in samples:
        print(f"  after {s.requests:>9,} requests: rss {s.rss / 2**20:8.2f} MiB, {s.objects:>8,} gc objects, "
              f"{s.traced / 1024:9.1f} KiB traced, pools (requests, responses) {s.pools}")
    grown = growth(samples)
    print(f"  growth after the warm-up: rss {grown['rss'] / 1024:+.0f} KiB, {grown['objects']:+d} objects, "
          f"{grown['traced'] / 1024:+.1f} KiB traced; peak rss {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss} KiB;"
          f" {len(wrong)} wrong statuses")


def test_soak_ci_sized_stays_flat():
    samples, wrong = run_soak(hardening_app.app, CI_REQUESTS, warm_up=CI_REQUESTS // 5)
    report(samples, wrong)
    assert wrong == []
    assert samples[-1].requests == CI_REQUESTS
    check_flat(samples, check_rss=not SANITIZED)


@pytest.mark.skipif(os.environ.get("QM_LONG") != "1", reason="the 1,000,000-request soak runs with QM_LONG=1")
def test_soak_long_stays_flat():
    samples, wrong = run_soak(hardening_app.app, LONG_REQUESTS, warm_up=50_000)
    report(samples, wrong)
    assert wrong == []
    check_flat(samples, check_rss=not SANITIZED)


@pytest.mark.parametrize("leak", ["object", "bytes"])  # a tracked object, untracked memory
def test_growth_is_caught(leak):
    """The check fails on an application that keeps something of each request."""
    kept = []

    async def leaky(scope, receive, send):
        kept.append([] if leak == "object" else bytes(64))
        await hardening_app.app(scope, receive, send)

    requests = 1_500 if SANITIZED else 3_000
    samples, wrong = run_soak(leaky, requests, warm_up=requests // 5)
    assert wrong == []
    with pytest.raises(AssertionError):
        check_flat(samples, check_rss=False)
