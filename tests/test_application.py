"""The framework layer in-process, through TestClient and the ASGI callable itself: routing and
registration errors, responses, middlewares, exception handlers, CORS, the lifespan, websockets,
error details, HEAD, and the recycling of request and response objects."""

import asyncio
import gc
import weakref

import pytest

from quillmoth import Application, TestClient
from quillmoth import messages
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
