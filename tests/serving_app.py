"""The application the serving tests run under real ASGI servers (tests/test_serving.py)."""

import asyncio
import os

from quillmoth import Application
from quillmoth.contents import ServerSentEvent
from quillmoth.cookies import Cookie
from quillmoth.responses import json, sse, text

app = Application(max_body_size=int(os.environ.get("QM_TEST_MAX_BODY", 8 * 1024 * 1024)))
streams = {"started": 0, "finished": 0}


@app.router.get("/hello")
async def hello(request):
    return text("Hello, World!")


@app.router.get("/items/{int:item_id}/{name}")
async def item(request):
    values = request.route_values
    return json({"item_id": int(values["item_id"]), "name": values["name"]})


@app.router.post("/echo")
async def echo(request):
    return json(await request.json())


@app.router.post("/upload")
async def upload(request):
    files = await request.files()
    form = await request.form()
    def name(value):
        return value.decode() if isinstance(value, bytes) else value

    return json({"fields": {k: v for k, v in form.items() if isinstance(v, str)},
                 "files": {name(part.file_name): part.size for part in files}})


@app.router.post("/size")
async def size(request):
    return json({"size": len(await request.read())})


@app.router.get("/events")
async def events(request):
    async def ticks():
        streams["started"] += 1
        try:
            for i in range(1000):
                yield ServerSentEvent({"n": i}, event="tick", id=str(i))
                await asyncio.sleep(0.02)
        finally:
            streams["finished"] += 1

    return sse(ticks())


@app.router.get("/streams")
async def stream_counts(request):
    return json(streams)


@app.router.get("/cookies/set")
async def set_cookie(request):
    response = text("set")
    response.set_cookie(Cookie("session", "a b;c", path="/", http_only=True))
    return response


@app.router.get("/cookies")
async def read_cookies(request):
    return json(request.cookies)


@app.router.get("/fail")
async def fail(request):
    raise RuntimeError("secret detail that must not reach the client")
