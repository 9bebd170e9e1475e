"""The application the hardening tests, the soak test and the whole-path fuzz target run: routes that
read every derived value of a request (headers, cookies, query, path, host, url, forms, body), a
handler error, a streamed body and a stream of server-sent events, with counters that show how the
streams ended. Served by uvicorn in tests/test_hardening_hostile.py, called in-process elsewhere.

The counters live in STATE, which the /state route reports, so a test in another process can see
that a stream ended and that no request is still being handled."""

import asyncio
import os
import sys

from quillmoth import Application
from quillmoth.contents import ServerSentEvent, StreamedContent
from quillmoth.cookies import Cookie
from quillmoth.exceptions import BadRequest
from quillmoth.responses import json, sse, text

app = Application(max_body_size=int(os.environ.get("QM_HARDENING_MAX_BODY", 1024 * 1024)))
# Bounds on what a request may ask of the long routes (the whole-path fuzz target lowers them).
LIMITS = {"parts": 100000, "sleep": 30.0}
STATE = {"in_flight": 0, "streams_started": 0, "streams_finished": 0, "events_started": 0, "events_finished": 0}


def _number(request, name, default, cap):
    """A number from the query, bounded by `cap`; `default` when it is missing or not a number."""
    try:
        value = float(request.query.get(name, [default])[0])
    except ValueError:
        value = default
    return max(0, min(value, cap))


def _text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


@app.middlewares.append
async def count_in_flight(request, handler):
    STATE["in_flight"] += 1
    try:
        return await handler(request)
    finally:
        STATE["in_flight"] -= 1


@app.router.get("/hello")
async def hello(request):
    return text("Hello, World!")


@app.router.get("/json")
async def as_json(request):
    return json({"moth": "luna", "wings": [1, 2, 3.5], "ok": True})


@app.router.get("/fail")
async def fail(request):
    raise RuntimeError("a handler error whose details must not reach the client")


@app.router.get("/cookies")
async def cookies(request):
    response = json(request.cookies)
    response.set_cookie(Cookie("seen", str(len(request.cookies)), path="/", http_only=True))
    return response


@app.router.get("/inspect/{path:rest}")
async def inspect(request):
    """Every derived value of the request that a handler may read."""
    url = request.url
    return json({
        "method": request.method, "path": request.path, "rest": request.route_values["rest"],
        "query": len(request.query), "host": request.host, "scheme": request.scheme,
        "url": _text(url.value), "absolute": _text(url.is_absolute and url.value or b""),
        "cookies": len(request.cookies), "headers": len(request.headers.values),
        "agent": _text(request.get_first_header(b"user-agent") or b""), "client": request.client_ip,
    })


@app.router.get("/query")
async def query(request):
    values = request.query
    return json({"keys": len(values), "values": sum(len(v) for v in values.values())})


@app.router.get("/headers")
async def headers(request):
    values = request.headers.values
    return json({"count": len(values), "size": sum(len(name) + len(value) for name, value in values)})


@app.router.post("/form")
async def form(request):
    data = await request.form()
    files = await request.files()
    fields = {k: (v if isinstance(v, str) else len(v) if isinstance(v, list) else "?") for k, v in (data or {}).items()}
    return json({"fields": fields, "files": {_text(part.file_name): part.size for part in files}})


@app.router.post("/stream-form")
async def stream_form(request):
    sizes = {}
    async for part in request.multipart_stream():
        size = 0
        async for chunk in part.stream():
            size += len(chunk)
        sizes[part.name] = size
    return json(sizes)


@app.router.post("/body")
async def body(request):
    return json({"size": len(await request.read() or b"")})


@app.router.post("/json")
async def echo_json(request):
    data = await request.json()
    if not isinstance(data, (dict, list)):
        raise BadRequest("Expected a JSON object or array")
    return json(data)


@app.router.post("/chunks")
async def chunks(request):
    count = size = 0
    async for chunk in request.stream():
        count += 1
        size += len(chunk or b"")
    return json({"chunks": count, "size": size})


@app.router.get("/stream")
async def stream(request):
    """A streamed body that goes on for a long time unless the client leaves."""
    count = int(_number(request, "n", 100000, LIMITS["parts"]))

    async def parts():
        STATE["streams_started"] += 1
        try:
            for i in range(count):
                yield b"part %d\n" % i
                await asyncio.sleep(0.001)
        finally:
            STATE["streams_finished"] += 1

    return json(None).with_content(StreamedContent(b"text/plain", parts))


@app.router.get("/events")
async def events(request):
    count = int(_number(request, "n", 100000, LIMITS["parts"]))

    async def ticks():
        STATE["events_started"] += 1
        try:
            for i in range(count):
                yield ServerSentEvent({"n": i}, event="tick", id=str(i))
                await asyncio.sleep(0.001)
        finally:
            STATE["events_finished"] += 1

    return sse(ticks())


@app.router.get("/slow")
async def slow(request):
    """A handler that takes its time (the shutdown test stops the server while it runs)."""
    await asyncio.sleep(_number(request, "s", 30.0, LIMITS["sleep"]))
    return text("slept")


@app.router.get("/state")
async def state(request):
    # Not counting this request itself.
    return json(dict(STATE, in_flight=STATE["in_flight"] - 1))


# QM_HARDENING_FAIL=start (or stop) makes that lifespan hook raise; each hook says on stderr that it
# ran, so a test of the server's shutdown can see the stop hook run.
@app.on_start
async def started(app):
    print("hardening app: start hook", file=sys.stderr, flush=True)
    if os.environ.get("QM_HARDENING_FAIL") == "start":
        raise RuntimeError("the start hook failed on purpose")


@app.on_stop
async def stopped(app):
    print(f"hardening app: stop hook, {STATE['in_flight']} in flight", file=sys.stderr, flush=True)
    if os.environ.get("QM_HARDENING_FAIL") == "stop":
        raise RuntimeError("the stop hook failed on purpose")
