"""One HTTP request through a whole application, in process, side by side in one run.

    .venv/bin/python bench/bench_inprocess.py [--quick]

Every candidate answers GET / with the text "Hello, World!" (text/plain, 13 bytes). Each request
is `await app(scope, receive, send)` with no-op `receive` and `send` coroutines, awaited from one
Python coroutine inside a running asyncio loop (nothing suspends, so the loop itself costs
nothing per request), on a scope shaped as uvicorn builds it (twelve browser headers). The scope
is the same dict each time; the frameworks write into it as they do for a new one.

Candidates:
  - raw: an ASGI coroutine function that sends the same two messages (start with content-type and
    content-length, then the body), the floor no framework goes below;
  - quillmoth: Application with one route, `return text("Hello, World!")`;
  - Starlette, Litestar, FastAPI and Falcon (ASGI), when installed: one route each, returning a
    plain-text response of the same body.

The candidates run in turns, round after round, and each one's best round is reported (ns per
request, then its ratio to quillmoth and its distance from raw), so a busy machine slows them alike.
"""

import asyncio
import sys
import time

HEADERS = [
    (b"host", b"example.org"),
    (b"user-agent", b"Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0"),
    (b"accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"accept-language", b"en-GB,en;q=0.5"),
    (b"accept-encoding", b"gzip, deflate, br, zstd"),
    (b"referer", b"https://example.org/articles/2026/"),
    (b"connection", b"keep-alive"),
    (b"cookie", b"session=7f3a9c; theme=dark; consent=1"),
    (b"upgrade-insecure-requests", b"1"),
    (b"sec-fetch-dest", b"document"),
    (b"sec-fetch-mode", b"navigate"),
    (b"sec-fetch-site", b"same-origin"),
]


def make_scope():
    return {
        "type": "http",
        "asgi": {"version": "3.0", "spec_version": "2.4"},
        "http_version": "1.1",
        "server": ("127.0.0.1", 8000),
        "client": ("127.0.0.1", 51000),
        "scheme": "http",
        "method": "GET",
        "root_path": "",
        "path": "/",
        "raw_path": b"/",
        "query_string": b"",
        "headers": list(HEADERS),
        "state": {},
    }


BODY = b"Hello, World!"


async def receive():
    return {"type": "http.request", "body": b"", "more_body": False}


async def send(message):
    pass


# ---------------------------------------------------------------------------------------------
# The candidates: name -> a function building the ASGI app (None when the framework is missing)


def build_raw():
    start = {
        "type": "http.response.start",
        "status": 200,
        "headers": [(b"content-type", b"text/plain; charset=utf-8"), (b"content-length", b"13")],
    }

    async def app(scope, receive, send):
        # New dicts each time, as any application builds them.
        await send({"type": start["type"], "status": 200, "headers": list(start["headers"])})
        await send({"type": "http.response.body", "body": BODY})

    return app


def build_quillmoth():
    from quillmoth import Application
    from quillmoth.responses import text

    app = Application()

    @app.router.get("/")
    async def hello(request):
        return text("Hello, World!")

    return app


def build_starlette():
    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route

    async def hello(request):
        return PlainTextResponse("Hello, World!")

    return Starlette(routes=[Route("/", hello)])


def build_litestar():
    from litestar import Litestar, get

    @get("/")
    async def hello() -> str:
        return "Hello, World!"

    return Litestar(route_handlers=[hello], openapi_config=None, logging_config=None)


def build_fastapi():
    from fastapi import FastAPI
    from fastapi.responses import PlainTextResponse

    app = FastAPI(openapi_url=None, docs_url=None, redoc_url=None)

    @app.get("/", response_class=PlainTextResponse)
    async def hello():
        return PlainTextResponse("Hello, World!")

    return app


def build_falcon():
    import falcon.asgi

    class Hello:
        async def on_get(self, req, resp):
            resp.content_type = falcon.MEDIA_TEXT
            resp.text = "Hello, World!"

    app = falcon.asgi.App()
    app.add_route("/", Hello())
    return app


CANDIDATES = [
    ("raw", build_raw),
    ("quillmoth", build_quillmoth),
    ("starlette", build_starlette),
    ("litestar", build_litestar),
    ("fastapi", build_fastapi),
    ("falcon", build_falcon),
]


# ---------------------------------------------------------------------------------------------
# Running


async def lifespan_startup(app):
    """Runs the app's lifespan startup when it has one (Litestar and Falcon want it)."""
    messages = [{"type": "lifespan.startup"}]
    sent = []
    done = asyncio.Event()

    async def life_receive():
        if messages:
            return messages.pop(0)
        await done.wait()
        return {"type": "lifespan.shutdown"}

    async def life_send(message):
        sent.append(message["type"])

    task = asyncio.ensure_future(app({"type": "lifespan", "asgi": {"version": "3.0"}, "state": {}},
                                     life_receive, life_send))
    for _ in range(100):
        await asyncio.sleep(0)
        if sent or task.done():
            break
    return task, done


async def answer(app):
    """What one request sends: the status, the content-type and the body."""
    got = []

    async def record(message):
        got.append(message)

    await app(make_scope(), receive, record)
    status = got[0]["status"]
    headers = {bytes(k).lower(): bytes(v) for k, v in got[0]["headers"]}
    body = b"".join(m.get("body", b"") for m in got[1:])
    return status, headers.get(b"content-type", b"").split(b";")[0], body


async def timed(app, calls):
    scope = make_scope()
    start = time.perf_counter_ns()
    for _ in range(calls):
        await app(scope, receive, send)
    return (time.perf_counter_ns() - start) / calls


async def main_async(calls, rounds):
    apps = []
    missing = []
    for name, build in CANDIDATES:
        try:
            app = build()
        except ImportError:
            missing.append(name)
            continue
        apps.append((name, app))
    lifespans = []
    for name, app in apps:
        if name in ("litestar", "falcon"):
            lifespans.append(await lifespan_startup(app))
    for name, app in apps:
        got = await answer(app)
        assert got == (200, b"text/plain", BODY), (name, got)
    best = {name: float("inf") for name, _ in apps}
    for name, app in apps:  # warm-up
        await timed(app, max(1, calls // 10))
    for _ in range(rounds):
        for name, app in apps:
            best[name] = min(best[name], await timed(app, calls))
    for task, done in lifespans:
        done.set()
        await asyncio.wait_for(task, 5)
    return best, missing


def main():
    quick = "--quick" in sys.argv
    calls, rounds = (2000, 3) if quick else (20000, 9)
    best, missing = asyncio.run(main_async(calls, rounds))
    ours, raw = best["quillmoth"], best["raw"]
    print(f"GET / -> 'Hello, World!' through await app(scope, receive, send), best of {rounds} rounds of {calls}")
    print(f"{'candidate':<11} {'ns/request':>11} {'vs quillmoth':>13} {'above raw':>11}")
    for name, ns in best.items():
        print(f"{name:<11} {ns:>11.0f} {ns / ours:>12.2f}x {ns - raw:>9.0f}ns")
    if missing:
        print(f"not installed: {', '.join(missing)}")
    print(f"targets: starlette/quillmoth >= 3 ({best.get('starlette', float('nan')) / ours:.2f}), "
          f"quillmoth - raw <= 2000 ns ({ours - raw:.0f})")


if __name__ == "__main__":
    main()
