"""The framework layer in-process, through TestClient and the ASGI callable itself: routing and
registration errors, responses, middlewares, exception handlers, CORS, the lifespan, websockets,
error details, HEAD, and the recycling of request and response objects."""

import asyncio
import gc
import inspect
import weakref

import pytest

from quillmoth import Application, TestClient
from quillmoth import messages
from quillmoth.keystone import BaseApplication
from quillmoth.contents import ServerSentEvent
from quillmoth.exceptions import NotFound
from quillmoth.messages import Response
from quillmoth.responses import file, html, json, redirect, sse, text
from quillmoth.router import RouteError
from quillmoth.testing import LifespanError


def run(coro):
    return asyncio.run(coro)


async def call(app, method, path, **kwargs):
    async with TestClient(app) as client:
        return await client.request(method, path, **kwargs)


@pytest.fixture
def app():
    app = Application()

    @app.router.get("/hello/{name}")
    async def hello(request):
        return text(f"Hello, {request.route_values['name']}!")

    return app


@pytest.mark.parametrize(
    "method, pattern, handler, message",
    [
        ("GET", "hello", None, "a pattern is a str starting with '/'"),
        ("GET", "/a//b", None, "no empty segments"),
        ("G T", "/a", None, "Invalid HTTP method"),
        ("GET", "/{id}/{id}", None, "given twice"),
        ("GET", "/a", lambda request: None, "must be a coroutine function"),
    ],
)
def test_registration_errors(app, method, pattern, handler, message):
    async def ok(request):
        return None

    with pytest.raises(RouteError, match=message):
        app.router.add(method, pattern, handler or ok)


def test_responses(app, tmp_path):
    path = tmp_path / "report é.txt"
    path.write_bytes(b"x" * 200_000)

    @app.router.get("/html")
    async def page(request):
        return html("<p>hi</p>", status=201)

    @app.router.get("/json")
    async def data(request):
        return json({"a": [1, None]})

    @app.router.get("/go")
    async def go(request):
        return redirect("/hello/x", status=307)

    @app.router.get("/file")
    async def download(request):
        return file(path, file_name="report é.txt")

    async def main():
        async with TestClient(app) as client:
            page = await client.get("/html")
            data = await client.get("/json")
            go = await client.get("/go")
            got = await client.get("/file")
            head = await client.head("/file")
            return page, data, go, got, head

    page, data, go, got, head = run(main())
    assert (page.status_code, page.headers["content-type"], page.text) == (201, "text/html; charset=utf-8", "<p>hi</p>")
    assert data.json() == {"a": [1, None]} and data.headers["content-type"] == "application/json"
    assert go.status_code == 307 and go.headers["location"] == "/hello/x"
    assert got.content == b"x" * 200_000 and got.headers["content-type"] == "text/plain"
    assert got.headers["content-disposition"] == "attachment; filename=\"report _.txt\"; filename*=UTF-8''report%20%C3%A9.txt"
    assert head.content == b"" and head.headers["content-length"] == "200000"


def test_redirect_refuses_header_injection():
    with pytest.raises(ValueError):
        redirect("/x\r\nset-cookie: a=1")


def test_middlewares_run_in_order_around_the_handler(app):
    log = []

    async def outer(request, handler):
        log.append("outer in")
        response = await handler(request)
        response.add_header(b"x-outer", b"1")
        log.append("outer out")
        return response

    async def inner(request, handler):
        log.append("inner in")
        return await handler(request)

    app.middlewares.extend([outer, inner])
    response = run(call(app, "GET", "/hello/m"))
    assert response.text == "Hello, m!" and response.headers["x-outer"] == "1"
    assert log == ["outer in", "inner in", "outer out"]


def test_exception_handlers_by_class_and_status(app):
    class Teapot(Exception):
        pass

    @app.router.get("/teapot")
    async def teapot(request):
        raise Teapot()

    @app.router.get("/missing")
    async def missing(request):
        raise NotFound()

    @app.exception_handler(Teapot)
    async def on_teapot(application, request, exc):
        return text("short and stout", status=418)

    @app.exception_handler(404)
    async def on_missing(application, request, exc):
        return text("nowhere", status=404)

    assert run(call(app, "GET", "/teapot")).status_code == 418
    missing = run(call(app, "GET", "/missing"))
    assert (missing.status_code, missing.text) == (404, "nowhere")
    with pytest.raises(Exception):  # not a coroutine function with three parameters
        app.exception_handler(500)(lambda a, r, e: None)


def test_error_details_only_when_asked():
    for details in (False, True):
        app = Application(show_error_details=details)

        @app.router.get("/boom")
        async def boom(request):
            raise RuntimeError("the secret")

        response = run(call(app, "GET", "/boom"))
        assert response.status_code == 500
        assert ("the secret" in response.text and "Traceback" in response.text) is details


def test_cors(app):
    app.use_cors(allow_origins=["https://a.example"], allow_methods=["GET"], allow_headers=["x-token"],
                 allow_credentials=True, max_age=60)
    preflight = run(call(app, "OPTIONS", "/hello/x", headers={
        "origin": "https://a.example", "access-control-request-method": "GET",
        "access-control-request-headers": "X-Token"}))
    assert preflight.status_code == 204
    assert preflight.headers["access-control-allow-origin"] == "https://a.example"
    assert preflight.headers["access-control-allow-credentials"] == "true"
    assert preflight.headers["access-control-max-age"] == "60"
    refused = run(call(app, "OPTIONS", "/hello/x", headers={
        "origin": "https://evil.example", "access-control-request-method": "GET"}))
    assert refused.status_code == 400
    simple = run(call(app, "GET", "/hello/x", headers={"origin": "https://a.example"}))
    assert simple.headers["access-control-allow-origin"] == "https://a.example"
    other = run(call(app, "GET", "/hello/x", headers={"origin": "https://evil.example"}))
    assert "access-control-allow-origin" not in other.headers


def test_lifespan_hooks_and_failure():
    app = Application()
    events = []

    @app.on_start
    async def start(application):
        events.append(("start", application is app))

    @app.on_stop
    async def stop(application):
        events.append(("stop", application is app))

    async def main():
        async with TestClient(app):
            events.append("serving")

    run(main())
    assert events == [("start", True), "serving", ("stop", True)]

    broken = Application()

    @broken.on_start
    async def fail(application):
        raise RuntimeError("no database")

    async def enter_broken():
        async with TestClient(broken):
            pass

    with pytest.raises(LifespanError, match="RuntimeError: no database"):
        run(enter_broken())


def test_websocket_is_refused_cleanly(app):
    sent = []

    async def receive():
        return {"type": "websocket.connect"}

    async def send(message):
        sent.append(message)

    run(app({"type": "websocket", "path": "/ws", "headers": []}, receive, send))
    assert sent == [{"type": "websocket.close", "code": 1000}]


def test_sse_response_streams_events(app):
    async def events():
        for i in range(3):
            yield ServerSentEvent({"n": i}, event="tick")

    @app.router.get("/events")
    async def stream(request):
        return sse(events())

    response = run(call(app, "GET", "/events"))
    assert response.headers["content-type"] == "text/event-stream"
    assert response.text == "".join(f'event: tick\ndata: {{"n":{i}}}\n\n' for i in range(3))


def test_objects_are_recycled_but_a_kept_response_is_not_spoiled():
    app = Application()
    kept = Response(200, [(b"x-kept", b"1")])
    seen = []

    @app.router.get("/kept")
    async def give_kept(request):
        seen.append(weakref.ref(request))
        return kept

    @app.router.get("/fresh")
    async def fresh(request):
        return text("fresh")

    async def main():
        async with TestClient(app) as client:
            for _ in range(3):
                assert (await client.get("/kept")).headers["x-kept"] == "1"
            await client.get("/fresh")

    messages._RESPONSE_FREELIST.clear()
    run(main())
    assert kept.status == 200 and kept.headers.get(b"x-kept") == (b"1",)
    assert kept not in messages._RESPONSE_FREELIST and len(messages._RESPONSE_FREELIST) >= 1
    gc.collect()
    # Requests went back to the pool: the same object served again, reset in between.
    assert all(ref() is None or ref() in messages._REQUEST_FREELIST for ref in seen)


# --- The native ASGI entry point ------------------------------------------------------------------


class Channel:
    """The two ASGI channels of one exchange: the request body as given, then nothing until the
    client leaves; what the application sends is kept (`send_error` makes every send raise)."""

    def __init__(self, *chunks, send_error=None):
        self.incoming = [{"type": "http.request", "body": c, "more_body": i < len(chunks) - 1}
                         for i, c in enumerate(chunks)] or [{"type": "http.request"}]
        self.sent = []
        self.send_error = send_error

    async def receive(self):
        if self.incoming:
            return self.incoming.pop(0)
        await asyncio.Event().wait()

    async def send(self, message):
        if self.send_error is not None:
            raise self.send_error
        self.sent.append(message)


def http_scope(method="GET", path="/hello/x", headers=(), **extra):
    scope = {"type": "http", "method": method, "path": path, "raw_path": path.encode(), "query_string": b"",
             "headers": [(k.encode(), v.encode()) for k, v in headers]}
    scope.update(extra)
    return scope


def serve(app, scope, channel=None):
    channel = channel or Channel()
    run(app(scope, channel.receive, channel.send))
    return channel.sent


def test_the_asgi_callable_is_a_native_coroutine_function(app):
    assert inspect.iscoroutinefunction(app.__call__) and inspect.iscoroutinefunction(Application.__call__)
    assert list(inspect.signature(app.__call__).parameters) == ["scope", "receive", "send"]
    coro = app(http_scope(), Channel().receive, Channel().send)
    assert type(coro).__name__ == "native_coroutine"
    coro.close()
    # BaseApplication itself serves http scopes, and refuses the others it has no hook for.
    base = BaseApplication(False, app.router)
    sent = serve(base, http_scope())
    assert sent[0]["status"] == 200 and sent[1]["body"] == b"Hello, x!"
    with pytest.raises(ValueError, match="^Unsupported ASGI scope type 'lifespan'$"):
        serve(base, {"type": "lifespan"})
    with pytest.raises(ValueError, match="^Unsupported ASGI scope type 'other'$"):
        serve(app, {"type": "other"})
    with pytest.raises(KeyError):
        serve(app, {})


@pytest.mark.parametrize(
    "scope_changes, status",
    [
        ({"raw_path": None}, 200),  # the path, encoded
        ({"raw_path": b""}, 200),
        ({"path": "/hello/\u00e9", "raw_path": None}, 200),
        ({"raw_path": "/hello/x"}, "TypeError"),  # the raw path is bytes
        ({"headers": ((b"a", b"b"),)}, "TypeError"),  # a list
    ],
)
def test_the_request_line_comes_from_the_scope(app, scope_changes, status):
    scope = http_scope()
    scope.update(scope_changes)
    if status == "TypeError":
        with pytest.raises(TypeError):
            serve(app, scope)
    else:
        assert serve(app, scope)[0]["status"] == status


def test_a_mapping_scope_is_read_like_a_dict(app):
    from collections import UserDict

    sent = serve(app, UserDict(http_scope()))
    assert sent[1]["body"] == b"Hello, x!"


@pytest.mark.parametrize(
    "limit, declared, status",
    [
        (10, "11", 413),
        (10, "10", 200),
        (10, " 11", 200),  # not plain digits: left to the body reader
        (10, "99999999999999999999999", 413),
        (None, "99999999999999999999999", 200),
        (2**70, str(2**69), 200),  # twenty digits and more count as 2**64
        (2**63, "9" * 19, 413),  # a bound past the C integers
        (2**63, str(2**63), 200),
    ],
)
def test_a_declared_length_above_the_bound_is_answered_413_before_the_handler(limit, declared, status):
    app = Application(max_body_size=limit)
    calls = []

    @app.router.post("/up")
    async def upload(request):
        calls.append(1)
        return text("ok")

    sent = serve(app, http_scope("POST", "/up", [("content-length", declared)]), Channel(b"x" * 10))
    assert sent[0]["status"] == status and len(calls) == (status == 200)


@pytest.mark.parametrize("bad", [-1, True, 1.5, "10"])
def test_the_body_bound_is_checked(bad):
    with pytest.raises(ValueError, match="^max_body_size must be a non-negative int or None$"):
        Application(max_body_size=bad)
    app = Application()
    with pytest.raises(ValueError):
        app.max_body_size = bad
    assert app.max_body_size == 10 * 1024 * 1024


def test_head_sends_the_headers_of_the_get_response_without_a_body(app, tmp_path):
    path = tmp_path / "f.txt"
    path.write_bytes(b"y" * 70_000)

    @app.router.get("/file")
    async def download(request):
        return file(path)

    sent = serve(app, http_scope("HEAD"))
    assert sent[0]["status"] == 200 and dict(sent[0]["headers"])[b"content-length"] == b"9"
    assert sent[1:] == [{"type": "http.response.body", "body": b"", "more_body": False}]
    sent = serve(app, http_scope("HEAD", "/file"))
    assert dict(sent[0]["headers"])[b"content-length"] == b"70000" and [m["body"] for m in sent[1:]] == [b""]


def pools():
    return len(messages._REQUEST_FREELIST), len(messages._RESPONSE_FREELIST)


@pytest.mark.parametrize("failure", ["handler", "send", "cancelled"])
def test_request_and_acquired_response_go_back_to_their_pools_whatever_happens(failure):
    app = Application()

    @app.router.get("/")
    async def hello(request):
        if failure == "handler":
            raise asyncio.CancelledError()  # not an Exception: handle() lets it through
        if failure == "cancelled":
            await asyncio.sleep(10)
        return text("hi")

    messages._REQUEST_FREELIST.clear()
    messages._RESPONSE_FREELIST.clear()
    channel = Channel(send_error=OSError("gone") if failure == "send" else None)

    async def main():
        task = asyncio.create_task(app(http_scope(path="/"), channel.receive, channel.send))
        await asyncio.sleep(0.01)
        if failure == "cancelled":
            task.cancel()
        return await task

    with pytest.raises(OSError if failure == "send" else asyncio.CancelledError):
        run(main())
    assert pools() == (1, 1 if failure == "send" else 0)


def test_an_error_of_a_release_replaces_the_one_going_on_with_it_as_context():
    from quillmoth.contents import Content

    class BadDispose(Content):
        def dispose(self):
            raise RuntimeError("dispose failed")

    app = Application()

    @app.router.get("/")
    async def hello(request):
        return messages.acquire_response(200, None, BadDispose(b"text/plain", b"hi"))

    with pytest.raises(RuntimeError, match="dispose failed") as info:
        serve(app, http_scope(path="/"))
    assert info.value.__context__ is None
    with pytest.raises(RuntimeError, match="dispose failed") as info:
        serve(app, http_scope(path="/"), Channel(send_error=OSError("gone")))
    assert isinstance(info.value.__context__, OSError)


def test_what_a_middleware_returns_must_be_a_response(app):
    async def broken(request, handler):
        return None

    app.middlewares.append(broken)
    with pytest.raises(TypeError, match="^Cannot convert NoneType to quillmoth.messages.Response$"):
        serve(app, http_scope())
    app.middlewares.clear()
    assert serve(app, http_scope())[0]["status"] == 200


def test_the_hooks_are_reached_only_when_configured(app):
    seen = []

    class Hooked(Application):
        async def _respond(self, request):
            seen.append("respond")
            return await super()._respond(request)

        async def _send_streamed(self, request, response, send):
            seen.append("streamed")
            return await super()._send_streamed(request, response, send)

    hooked = Hooked(router=app.router)
    serve(hooked, http_scope())
    assert seen == []
    hooked.use_cors()
    serve(hooked, http_scope(headers=[("origin", "https://a.example")]))
    assert seen == ["respond"]

    async def events():
        yield ServerSentEvent("x")

    @app.router.get("/events")
    async def stream(request):
        return sse(events())

    hooked._cors = None
    sent = serve(hooked, http_scope(path="/events"))
    assert seen == ["respond", "streamed"] and sent[1]["body"] == b'data: "x"\n\n'


def test_the_router_layer_falls_back_for_head_and_answers_405():
    app = Application()

    @app.router.get("/page")
    async def page(request):
        return text("page")

    @app.router.head("/probe")
    async def probe(request):
        return Response(200, [(b"x-head", b"1")])

    @app.router.post("/form")
    async def form(request):
        return text("posted")

    assert serve(app, http_scope("HEAD", "/page"))[0]["status"] == 200
    assert dict(serve(app, http_scope("HEAD", "/probe"))[0]["headers"])[b"x-head"] == b"1"
    assert serve(app, http_scope("GET", "/probe"))[0]["status"] == 405
    not_allowed = serve(app, http_scope("DELETE", "/page"))
    assert not_allowed[0]["status"] == 405 and dict(not_allowed[0]["headers"])[b"allow"] == b"GET, HEAD"
    assert dict(serve(app, http_scope("GET", "/form"))[0]["headers"])[b"allow"] == b"POST"
    assert serve(app, http_scope("GET", "/nowhere"))[0]["status"] == 404
    assert serve(app, http_scope("get", "/page"))[0]["status"] == 200  # methods in any case


def test_what_the_client_sent_wrong_is_answered_400_not_500(app, caplog):
    @app.router.get("/read/{what}")
    async def read(request):
        what = request.route_values["what"]
        if what == "own":
            return text(b"\xff".decode())  # the handler's own bytes: still a server error
        what = what.rstrip("\ufffd")  # the path may end with bytes that are no UTF-8
        value = request.url.value if what == "url" else getattr(request, what)
        return text(str(value))

    def status(path, query=b"", headers=()):
        scope = http_scope(path="/", headers=headers)
        scope.update(raw_path=path, query_string=query, client=None)
        return serve(app, scope)[0]["status"]

    assert status(b"/read/client_ip") == 200  # a server gives None for a Unix socket's client
    assert status(b"/read/path") == 200 and status(b"/read/path\xff") == 400
    assert status(b"/read/query", b"a=\xff") == 400 and status(b"/read/url", b"a=\xff") == 400
    assert status(b"/read/host", headers=[("host", "x")]) == 200
    assert serve(app, dict(http_scope(path="/read/host"), headers=[(b"host", b"h\xff")]))[0]["status"] == 400
    with caplog.at_level("INFO", "quillmoth.server"):
        assert status(b"/read/own") == 500
    assert "Unhandled exception" in caplog.text
