"""Fault injection: the client leaving before, during and after its body, during a streamed response
and during server-sent events; `send` and `receive` raising; the handler cancelled; an exception
handler raising; a lifespan hook raising. In-process through the ASGI callable with scripted
receive and send, and under uvicorn where the fault is about the server (a real client leaving,
shutdown with requests in flight, a hook failing at startup or shutdown).

After every fault: the call ends (no hang), no task is left pending, the request, its content and
the response are not kept alive (weak references; a request may only be back in its pool), no spool
file stays open or on disk, and the application goes on serving."""

import asyncio
import gc
import logging
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import weakref

import httpx
import pytest

import hardening_app
from quillmoth import Application, messages
from quillmoth.responses import text
from test_serving import free_port, start_server, stop_server

APP = hardening_app.app
STATE = hardening_app.STATE
BOUNDARY = b"faultB0undary"


def scope_for(method, path, headers=(), query=b""):
    return {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": method, "scheme": "http",
            "path": path.decode(), "raw_path": path, "query_string": query, "root_path": "",
            "headers": [(b"host", b"faults"), *headers], "client": ("127.0.0.1", 50000),
            "server": ("127.0.0.1", 8000)}


def big_form(size):
    head = (b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="title"\r\n\r\nbig\r\n--' + BOUNDARY +
            b'\r\nContent-Disposition: form-data; name="file"; filename="big.bin"\r\n'
            b"Content-Type: application/octet-stream\r\n\r\n")
    return head + b"\xab" * size + b"\r\n--" + BOUNDARY + b"--\r\n"


FORM_HEADERS = [(b"content-type", b"multipart/form-data; boundary=" + BOUNDARY)]


class Watch:
    """Keeps weak references to each request the app handles, its content and the response the
    handler returned (a middleware on the app, for the test's length)."""

    def __init__(self, app):
        self.app, self.refs = app, []

    async def __call__(self, request, handler):
        self.refs.append(("request", weakref.ref(request)))
        self.refs.append(("content", weakref.ref(request.content)))
        response = await handler(request)
        self.refs.append(("response", weakref.ref(response)))
        return response

    def __enter__(self):
        self.app.middlewares.insert(0, self)
        return self

    def __exit__(self, *exc_info):
        self.app.middlewares.remove(self)

    def kept(self):
        """What is still alive and not back in its pool."""
        gc.collect()
        pooled = [*messages._REQUEST_FREELIST, *messages._RESPONSE_FREELIST]
        alive = [(kind, ref()) for kind, ref in self.refs if ref() is not None]
        return [(kind, obj) for kind, obj in alive if not any(obj is p for p in pooled)]


def open_fds():
    return set(os.listdir("/proc/self/fd"))


@pytest.fixture
def spool_dir(monkeypatch, tmp_path):
    """Spool files go to an empty directory of the test's, so a file left behind shows; the body
    bound is raised past the 1 MiB spool threshold, so that a file part does reach the disk."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    monkeypatch.setattr(APP, "max_body_size", 8 * 1024 * 1024)
    return tmp_path


class Errors(logging.Handler):
    """The errors the application logs, as (level, exception type) pairs: the records themselves
    would keep the tracebacks, and with them the request's frames, alive."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.seen = []

    def emit(self, record):
        self.seen.append((record.levelno, record.exc_info[0] if record.exc_info else None))

    def errors(self):
        return [kind for level, kind in self.seen if level >= logging.ERROR]


@pytest.fixture(autouse=True)
def server_log():
    log = logging.getLogger("quillmoth.server")
    handler, propagate = Errors(), log.propagate
    log.addHandler(handler)
    log.propagate = False
    yield handler
    log.removeHandler(handler)
    log.propagate = propagate


def pending_tasks():
    current = asyncio.current_task()
    return [t for t in asyncio.all_tasks() if t is not current and not t.done()]


async def exchange(app, scope, incoming, *, send_fails_at=None, leave_after_bodies=None, timeout=10):
    """Calls `app` with a scripted receive (the `incoming` messages, then http.disconnect once the
    response is over or `leave_after_bodies` body messages were sent) and send (raising OSError at
    message number `send_fails_at`). Returns (what was sent, the exception the call raised)."""
    sent = []
    gone = asyncio.Event()
    incoming = list(incoming)

    async def receive():
        await asyncio.sleep(0)
        if incoming:
            message = incoming.pop(0)
            if isinstance(message, BaseException):
                raise message
            return message
        await gone.wait()
        return {"type": "http.disconnect"}

    async def send(message):
        if send_fails_at is not None and len(sent) == send_fails_at:
            raise OSError("the connection is gone")
        sent.append(message)
        bodies = sum(m["type"] == "http.response.body" for m in sent)
        if message["type"] == "http.response.body" and not message.get("more_body", False):
            gone.set()
        if leave_after_bodies is not None and bodies >= leave_after_bodies:
            gone.set()

    error = None
    try:
        await asyncio.wait_for(app(scope, receive, send), timeout)
    except Exception as caught:  # noqa: BLE001 - the test inspects what escaped
        error = caught
    await asyncio.sleep(0.01)  # what the call cancelled gets to finish
    assert pending_tasks() == []
    return sent, error


def status_of(sent):
    return next((m["status"] for m in sent if m["type"] == "http.response.start"), None)


def still_serves(app=APP):
    sent, error = asyncio.run(exchange(app, scope_for("GET", b"/hello"), [{"type": "http.request", "body": b""}]))
    assert error is None and status_of(sent) == 200 and sent[-1]["body"] == b"Hello, World!"


# --- In-process: the client leaving -------------------------------------------------------------

LEAVING = {
    # name: (path, headers, incoming messages)
    "before the body": (b"/body", [(b"content-length", b"100")], [{"type": "http.disconnect"}]),
    "mid-body": (b"/body", [(b"content-length", b"100")],
                 [{"type": "http.request", "body": b"x" * 40, "more_body": True}, {"type": "http.disconnect"}]),
    "mid-stream of chunks": (b"/chunks", [], [{"type": "http.request", "body": b"x" * 40, "more_body": True},
                                              {"type": "http.disconnect"}]),
    "mid-form": (b"/form", FORM_HEADERS,
                 [{"type": "http.request", "body": big_form(10)[:120], "more_body": True}, {"type": "http.disconnect"}]),
    "mid-streamed form": (b"/stream-form", FORM_HEADERS,
                          [{"type": "http.request", "body": big_form(10)[:150], "more_body": True},
                           {"type": "http.disconnect"}]),
}


@pytest.mark.parametrize("case", LEAVING)
def test_client_leaving_during_its_body_frees_everything(case, server_log):
    path, headers, incoming = LEAVING[case]
    with Watch(APP) as watch:
        sent, error = asyncio.run(exchange(APP, scope_for("POST", path, headers), incoming))
        assert error is None  # the application does not fail the server's task
        assert watch.kept() == []
    assert STATE["in_flight"] == 0
    still_serves()


@pytest.mark.parametrize("case", LEAVING)
def test_client_leaving_is_not_a_server_error(case, server_log):
    path, headers, incoming = LEAVING[case]
    sent, error = asyncio.run(exchange(APP, scope_for("POST", path, headers), incoming))
    assert status_of(sent) == 400
    assert server_log.errors() == [] and (logging.INFO, None) in server_log.seen


def test_client_leaving_mid_upload_closes_and_removes_the_spool_files(spool_dir):
    body = big_form(3 * 1024 * 1024)  # past the 1 MiB spool threshold: the part goes to disk
    pieces = [body[i:i + 65536] for i in range(0, 2 * 1024 * 1024, 65536)]
    incoming = [{"type": "http.request", "body": piece, "more_body": True} for piece in pieces]
    before = open_fds()
    with Watch(APP) as watch:
        sent, error = asyncio.run(exchange(APP, scope_for("POST", b"/form", FORM_HEADERS), [*incoming,
                                                                                           {"type": "http.disconnect"}]))
        assert error is None and watch.kept() == []
    gc.collect()
    assert open_fds() <= before
    assert list(spool_dir.iterdir()) == []


def test_a_whole_upload_past_the_spool_threshold_closes_its_files(spool_dir):
    body = big_form(3 * 1024 * 1024)
    incoming = [{"type": "http.request", "body": body[i:i + 65536], "more_body": i + 65536 < len(body)}
                for i in range(0, len(body), 65536)]
    before = open_fds()
    sent, error = asyncio.run(exchange(APP, scope_for("POST", b"/form", FORM_HEADERS), incoming))
    assert error is None and status_of(sent) == 200
    assert b'"big.bin":3145728' in sent[-1]["body"]
    gc.collect()
    assert open_fds() <= before and list(spool_dir.iterdir()) == []


@pytest.mark.parametrize("path, counter", [(b"/stream", "streams"), (b"/events", "events")])
def test_client_leaving_during_a_streamed_response_ends_the_stream(path, counter, server_log):
    started, finished = STATE[f"{counter}_started"], STATE[f"{counter}_finished"]
    with Watch(APP) as watch:
        sent, error = asyncio.run(exchange(APP, scope_for("GET", path), [{"type": "http.request", "body": b""}],
                                           leave_after_bodies=5))
        assert error is None and status_of(sent) == 200
        assert 5 <= len(sent) - 1 < 1000  # it stopped soon after the client left
        assert watch.kept() == []
    assert (STATE[f"{counter}_started"], STATE[f"{counter}_finished"]) == (started + 1, finished + 1)
    assert server_log.errors() == []
    still_serves()


# --- In-process: send and receive raising ------------------------------------------------------

@pytest.mark.parametrize("path, fails_at", [
    (b"/hello", 0),  # the response start
    (b"/hello", 1),  # its body
    (b"/json", 1),
    (b"/stream", 3),  # mid-stream
    (b"/events", 2),
])
def test_send_raising_reaches_the_server_and_frees_everything(path, fails_at):
    started = STATE["streams_finished"] + STATE["events_finished"]
    with Watch(APP) as watch:
        sent, error = asyncio.run(exchange(APP, scope_for("GET", path), [{"type": "http.request", "body": b""}],
                                           send_fails_at=fails_at))
        # The server's own error comes back to it: it knows best what a dead connection means.
        assert isinstance(error, OSError) and str(error) == "the connection is gone"
        assert len(sent) == fails_at
        assert watch.kept() == []
    if path in (b"/stream", b"/events"):
        assert STATE["streams_finished"] + STATE["events_finished"] == started + 1  # the stream was closed
    assert STATE["in_flight"] == 0
    still_serves()


@pytest.mark.parametrize("path, headers, incoming", [
    (b"/body", [], [RuntimeError("the server's receive failed")]),
    (b"/body", [], [{"type": "http.request", "body": b"x", "more_body": True}, RuntimeError("failed later")]),
    (b"/form", FORM_HEADERS, [{"type": "http.request", "body": big_form(10)[:100], "more_body": True},
                              RuntimeError("failed mid-form")]),
])
def test_receive_raising_is_answered_500_and_frees_everything(path, headers, incoming, spool_dir, server_log):
    with Watch(APP) as watch:
        sent, error = asyncio.run(exchange(APP, scope_for("POST", path, headers), incoming))
        assert error is None and status_of(sent) == 500 and b"failed" not in sent[-1]["body"]
        assert watch.kept() == []
    assert server_log.errors() == [RuntimeError]
    assert list(spool_dir.iterdir()) == []
    still_serves()


# --- In-process: cancellation, failing exception handlers, lifespan --------------------------------

@pytest.mark.parametrize("path", [b"/slow", b"/stream", b"/events", b"/body"])
def test_cancelled_handler_frees_everything(path):
    async def main():
        with Watch(APP) as watch:
            scope = scope_for("POST" if path == b"/body" else "GET", path, query=b"s=30")
            never = asyncio.Event()

            async def receive():
                if path != b"/body":
                    return {"type": "http.request", "body": b""}
                await never.wait()  # the body never comes

            sends = []

            async def send(message):
                sends.append(message)

            task = asyncio.ensure_future(APP(scope, receive, send))
            for _ in range(50):
                await asyncio.sleep(0.002)
            assert STATE["in_flight"] == (0 if path in (b"/stream", b"/events") else 1)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            await asyncio.sleep(0.01)
            assert pending_tasks() == []
            assert watch.kept() == []
        assert STATE["in_flight"] == 0

    finished = STATE["streams_finished"] + STATE["events_finished"]
    asyncio.run(main())
    if path in (b"/stream", b"/events"):
        assert STATE["streams_finished"] + STATE["events_finished"] == finished + 1
    still_serves()


def small_app():
    app = Application()

    @app.router.get("/key")
    async def key(request):
        raise KeyError("missing")

    @app.router.get("/teapot")
    async def teapot(request):
        raise LookupError("teapot")

    @app.router.get("/ok")
    async def ok(request):
        return text("ok")

    @app.exception_handler(KeyError)
    async def failing_handler(app, request, exc):
        raise ValueError("the exception handler failed")

    @app.exception_handler(LookupError)
    async def answering_handler(app, request, exc):
        return text("handled", status=418)

    return app


# A failing exception handler is logged by its name at ERROR, without a traceback.
@pytest.mark.parametrize("path, status, logged", [(b"/key", 500, [None]), (b"/teapot", 418, [])])
def test_exception_handler_raising_is_answered_500(path, status, logged, server_log):
    app = small_app()
    with Watch(app) as watch:
        sent, error = asyncio.run(exchange(app, scope_for("GET", path), [{"type": "http.request", "body": b""}]))
        assert error is None and status_of(sent) == status
        assert b"exception handler failed" not in sent[-1]["body"]
        assert watch.kept() == []
    assert server_log.errors() == logged
    sent, error = asyncio.run(exchange(app, scope_for("GET", b"/ok"), [{"type": "http.request", "body": b""}]))
    assert status_of(sent) == 200


@pytest.mark.parametrize("failing", ["start", "stop"])
def test_lifespan_hook_raising_is_reported_to_the_server(failing):
    app = Application()
    ran = []

    @app.on_start
    async def start(app):
        ran.append("start")
        if failing == "start":
            raise RuntimeError("no database")

    @app.on_stop
    async def stop(app):
        ran.append("stop")
        if failing == "stop":
            raise OSError("flush failed")

    async def main():
        inbox = asyncio.Queue()
        outbox = []

        async def send(message):
            outbox.append(message)

        await inbox.put({"type": "lifespan.startup"})
        await inbox.put({"type": "lifespan.shutdown"})
        await asyncio.wait_for(app({"type": "lifespan", "asgi": {"version": "3.0"}, "state": {}}, inbox.get, send), 5)
        assert pending_tasks() == []
        return outbox

    outbox = asyncio.run(main())
    if failing == "start":
        assert outbox == [{"type": "lifespan.startup.failed", "message": "RuntimeError: no database"}]
        assert ran == ["start"]
    else:
        assert outbox == [{"type": "lifespan.startup.complete"},
                          {"type": "lifespan.shutdown.failed", "message": "OSError: flush failed"}]
        assert ran == ["start", "stop"]
    still_serves()


# --- Under uvicorn ------------------------------------------------------------------------------

def uvicorn(port, *extra, env=None):
    return start_server([sys.executable, "-m", "uvicorn", "hardening_app:app", "--host", "127.0.0.1", "--port",
                         str(port), "--no-access-log", "--log-level", "info", *extra], port, env=env)


@pytest.fixture(scope="module")
def server():
    port = free_port()
    process = uvicorn(port, "--loop", "asyncio", "--http", "httptools")
    yield f"http://127.0.0.1:{port}", port
    stop_server(process)
    errors = process.stderr.read().decode(errors="replace")
    # Nothing the framework did went wrong in the server's eyes: no traceback, no task left.
    assert "Traceback" not in errors and "Task was destroyed" not in errors, errors


def state(url):
    return httpx.get(url + "/state", timeout=10).json()


def wait_for(url, check):
    for _ in range(200):
        current = state(url)
        if check(current):
            return current
        time.sleep(0.02)
    raise AssertionError(f"the server did not settle: {current}")


def raw_request(port, head, body=b""):
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    sock.sendall(head + body)
    return sock


@pytest.mark.parametrize("path, counter", [("/stream", "streams"), ("/events", "events")])
def test_server_client_leaving_mid_stream(server, path, counter):
    url, port = server
    before = state(url)
    sock = raw_request(port, f"GET {path} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
    received = b""
    while received.count(b"\n") < 20:
        received += sock.recv(4096)
    assert received.startswith(b"HTTP/1.1 200")
    sock.close()
    wait_for(url, lambda s: s[f"{counter}_finished"] == before[f"{counter}_finished"] + 1 and s["in_flight"] == 0)
    assert httpx.get(url + "/hello").text == "Hello, World!"


@pytest.mark.parametrize("head, body", [
    (b"POST /body HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n", b""),
    (b"POST /body HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n", b"x" * 300),
    (b"POST /chunks HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", b"5\r\nhello\r\n"),
    (b"POST /form HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\nContent-Type: multipart/form-data; boundary="
     + BOUNDARY + b"\r\n\r\n", big_form(100)[:200]),
])
def test_server_client_leaving_mid_body(server, head, body):
    url, port = server
    sock = raw_request(port, head, body)
    time.sleep(0.1)
    sock.close()
    wait_for(url, lambda s: s["in_flight"] == 0)
    assert httpx.get(url + "/hello").text == "Hello, World!"


def test_server_shutdown_with_requests_in_flight():
    port = free_port()
    process = uvicorn(port, "--timeout-graceful-shutdown", "1")
    url = f"http://127.0.0.1:{port}"
    socks = [raw_request(port, b"GET /slow?s=30 HTTP/1.1\r\nHost: x\r\n\r\n") for _ in range(3)]
    socks.append(raw_request(port, b"GET /stream HTTP/1.1\r\nHost: x\r\n\r\n"))
    try:
        wait_for(url, lambda s: s["in_flight"] == 3 and s["streams_started"] == 1)
    except BaseException:
        stop_server(process)  # not left running when the server never settled
        raise
    started = time.monotonic()
    os.kill(process.pid, signal.SIGTERM)
    code = process.wait(20)
    assert time.monotonic() - started < 15
    errors = process.stderr.read().decode(errors="replace")
    for sock in socks:
        sock.close()
    # uvicorn ends by raising the signal it caught again, after its shutdown.
    assert code in (0, -signal.SIGTERM), errors
    # The handlers were cancelled before the stop hook ran: none was left in flight.
    assert "hardening app: stop hook, 0 in flight" in errors, errors
    # The server logs each task it cancelled with its traceback; nothing else went wrong.
    cancelled = errors.count("CancelledError: Task cancelled, timeout graceful shutdown exceeded")
    assert 1 <= cancelled <= 4 and errors.count("Traceback") == cancelled, errors
    assert "Task was destroyed" not in errors, errors


@pytest.mark.parametrize("failing", ["start", "stop"])
def test_server_lifespan_hook_failing(failing):
    port = free_port()
    env = {"QM_HARDENING_FAIL": failing}
    if failing == "start":
        environment = dict(os.environ, QM_HARDENING_FAIL="start",
                           PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.dirname(messages.__file__)),
                                                       os.path.dirname(__file__)]))
        done = subprocess.run([sys.executable, "-m", "uvicorn", "hardening_app:app", "--host", "127.0.0.1", "--port",
                               str(port)], cwd=os.path.dirname(__file__), env=environment, capture_output=True,
                              text=True, timeout=30)
        assert done.returncode != 0  # the server refuses to start
        assert "RuntimeError: the start hook failed on purpose" in done.stderr, done.stderr
        return
    process = uvicorn(port, env=env)
    assert httpx.get(f"http://127.0.0.1:{port}/hello").status_code == 200
    os.kill(process.pid, signal.SIGTERM)
    process.wait(20)
    errors = process.stderr.read().decode(errors="replace")
    assert "RuntimeError: the stop hook failed on purpose" in errors, errors
