"""Fuzz target for the ASGI path as a whole: random scope fields and body messages into `app`.

    mkdir -p /tmp/asgi-corpus
    PYTHONPATH=tests .venv/bin/python fuzz/fuzz_asgi.py -max_total_time=300 /tmp/asgi-corpus

An empty corpus directory is first filled with the SEEDS below. The application is the hardening
app (tests/hardening_app.py), whose routes read every derived value of a request: headers, cookies,
query, path, host, url, JSON, URL-encoded and multipart forms, the body whole or streamed, and a
streamed response and server-sent events. The input chooses the method, the path (a route's, or
raw bytes), the method (a usual one, or ASCII bytes), the query string, the headers (names a handler reads, or raw bytes; values raw), the
client and server, and the body, cut into http.request messages, maybe ending early with
http.disconnect. Checks, for every input:
  - the call returns (no exception escapes the application, no hang);
  - what it sent is one http.response.start with a status from 200 to 499 and a header list of
    byte pairs, then body messages, the last one with more_body false unless the client left;
  - no task is left pending on the loop, and the request and the response pools take back what
    was taken (their sizes after the call are those before it, or one when they were empty).
Any other outcome or a crash is a finding.

The native code carries no coverage instrumentation, so the harness, the framework's Python layer and
the app are: their branches (and the harness's on the outcome) give the fuzzer its feedback.
"""

import asyncio
import logging

import atheris
from _harness import fuzz

with atheris.instrument_imports(include=["quillmoth", "hardening_app"]):
    import hardening_app
    from quillmoth import messages

hardening_app.LIMITS.update(parts=5, sleep=0.0)


class LastError(logging.Handler):
    """Keeps the exception of the last error the application logged (a 500's cause)."""

    error = None

    def emit(self, record):
        LastError.error = record.exc_info[1] if record.exc_info else record.getMessage()


server_log = logging.getLogger("quillmoth.server")
server_log.addHandler(LastError())
server_log.propagate = False  # a 500 is checked below, not printed
APP = hardening_app.app
LOOP = asyncio.new_event_loop()
METHODS = ["GET", "POST", "HEAD", "PUT", "DELETE", "OPTIONS", "PATCH", "get", "", "X" * 20]
PATHS = [b"/hello", b"/json", b"/cookies", b"/inspect/a/b", b"/inspect/", b"/query", b"/headers", b"/form",
         b"/stream-form", b"/body", b"/chunks", b"/stream", b"/events", b"/slow", b"/state", b"/nothing", b"/", b""]
NAMES = [b"content-type", b"content-length", b"cookie", b"host", b"user-agent", b"transfer-encoding",
         b"x-forwarded-for", b"origin", b"if-none-match", b"expect", b"Content-Type", b"COOKIE"]
TYPES = [b"application/json", b"application/x-www-form-urlencoded", b"multipart/form-data; boundary=B",
         b"multipart/form-data", b"text/plain; charset=latin-1", b"application/json; charset=utf-16",
         b"multipart/form-data; boundary=\"a b\"", b"application/x-www-form-urlencoded; charset=nope"]


SEEDS = [
    b"\x00\x00\x00\x00\x00",
    b"\x01\x07\x00\x01\x02\x00\x2fB\x00--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n--B--\r\n",
    b"\x01\x09\x00\x01\x00\x03{\"a\": [1, 2]}",
    b"\x00\x03a=1&b=2\x01\x02\x00sid=1; x=%41",
]


def pool_sizes():
    return len(messages._REQUEST_FREELIST), len(messages._RESPONSE_FREELIST)


def build(fdp):
    # Servers give the method as the ASCII token of the request line.
    method = fdp.PickValueInList(METHODS) if fdp.ConsumeBool() else bytes(b & 0x7F for b in fdp.ConsumeBytes(8)).decode()
    path = fdp.PickValueInList(PATHS) if fdp.ConsumeIntInRange(0, 3) else fdp.ConsumeBytes(24)
    if fdp.ConsumeBool():
        path += fdp.ConsumeBytes(8)
    query = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
    headers = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        name = fdp.PickValueInList(NAMES) if fdp.ConsumeIntInRange(0, 3) else fdp.ConsumeBytes(8)
        if name.lower() == b"content-type" and fdp.ConsumeBool():
            value = fdp.PickValueInList(TYPES)
        else:
            value = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 48))
        headers.append((name, value))
    scope = {
        "type": "http", "asgi": {"version": "3.0", "spec_version": "2.3"}, "http_version": "1.1",
        "method": method, "scheme": fdp.PickValueInList(["http", "https", "ws", ""]),
        "path": path.decode("utf-8", "replace"), "raw_path": path, "query_string": query, "root_path": "",
        "headers": headers,
        "client": ("127.0.0.1", 40000) if fdp.ConsumeBool() else None,
        "server": ("127.0.0.1", 8000) if fdp.ConsumeBool() else None,
        "state": {},
    }
    body = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 600))
    size = fdp.ConsumeIntInRange(1, 64)
    pieces = [body[i:i + size] for i in range(0, len(body), size)] or [b""]
    incoming = [{"type": "http.request", "body": piece, "more_body": i + 1 < len(pieces)}
                for i, piece in enumerate(pieces)]
    leaves = fdp.ConsumeIntInRange(0, 3) == 0
    if leaves:  # the client leaves before its body is all sent
        incoming = incoming[:fdp.ConsumeIntInRange(0, len(incoming) - 1)]
        incoming.append({"type": "http.disconnect"})
    return scope, incoming, leaves


async def call(scope, incoming):
    sent = []
    gone = asyncio.Event()

    async def receive():
        if incoming:
            message = incoming.pop(0)
            if message["type"] == "http.disconnect":
                gone.set()
            return message
        # Like a server: nothing more to say until the client leaves (after the response).
        await gone.wait()
        return {"type": "http.disconnect"}

    async def send(message):
        sent.append(message)
        if message["type"] == "http.response.body" and not message.get("more_body", False):
            gone.set()

    await asyncio.wait_for(APP(scope, receive, send), 10)
    return sent


@atheris.instrument_func
def check(scope, incoming, leaves):
    before = pool_sizes()
    LastError.error = None
    sent = LOOP.run_until_complete(call(scope, incoming))
    assert not [t for t in asyncio.all_tasks(LOOP) if not t.done()], "a task left pending"
    after = pool_sizes()
    # One request at a time: what the call took from a pool went back to it, and a pool grows
    # only from empty (by the one object the call made).
    assert all(a == b or (b == 0 and a == 1) for a, b in zip(after, before)), (before, after)
    if not sent:
        assert leaves, scope
        return
    start, *bodies = sent
    assert start["type"] == "http.response.start", sent
    status = start["status"]
    assert isinstance(status, int) and 200 <= status < 500, (scope, sent, LastError.error)
    assert all(isinstance(n, bytes) and isinstance(v, bytes) for n, v in start["headers"]), start
    assert all(m["type"] == "http.response.body" and isinstance(m["body"], bytes) for m in bodies), sent
    assert leaves or (bodies and not bodies[-1].get("more_body", False)), sent
    assert all(m.get("more_body", False) for m in bodies[:-1]), sent


def test_one_input(data):
    check(*build(atheris.FuzzedDataProvider(data)))


if __name__ == "__main__":
    fuzz(test_one_input, SEEDS)
