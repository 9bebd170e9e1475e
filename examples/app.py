"""The example application: a greeting with a route parameter, a small JSON API, an HTML page with a
file upload form and a live clock over server-sent events, and cookies.

    bash scripts/serve.sh          # serves it on http://127.0.0.1:8000
"""

import asyncio
import datetime

from quillmoth import Application, Request
from quillmoth.contents import ServerSentEvent
from quillmoth.cookies import Cookie
from quillmoth.exceptions import BadRequest, NotFound
from quillmoth.responses import html, json, redirect, sse, text

app = Application()
items: dict[int, dict] = {1: {"id": 1, "name": "Luna moth", "wingspan_mm": 114}}

PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>quillmoth</title></head>
<body>
<h1>quillmoth example</h1>
<form id="upload" action="/upload" method="post" enctype="multipart/form-data">
  <input name="title" value="notes"> <input type="file" name="file"> <button>Upload</button>
</form>
<p>Server time: <span id="clock">...</span> (<span id="ticks">0</span> events)</p>
<script>
  const source = new EventSource("/clock");
  let ticks = 0;
  source.addEventListener("tick", (event) => {
    document.getElementById("clock").textContent = JSON.parse(event.data).time;
    document.getElementById("ticks").textContent = String(++ticks);
  });
</script>
</body></html>
"""


@app.router.get("/")
async def index(request: Request):
    return html(PAGE)


@app.router.get("/hello/{name}")
async def hello(request: Request):
    return text(f"Hello, {request.route_values['name']}!")


@app.router.get("/api/items")
async def list_items(request: Request):
    return json(list(items.values()))


@app.router.get("/api/items/{int:item_id}")
async def get_item(request: Request):
    item = items.get(int(request.route_values["item_id"]))
    if item is None:
        raise NotFound()
    return json(item)


@app.router.post("/api/items")
async def create_item(request: Request):
    data = await request.json()
    if not isinstance(data, dict) or not isinstance(data.get("name"), str):
        raise BadRequest("Expected a JSON object with a name")
    item = {"id": max(items, default=0) + 1, "name": data["name"], "wingspan_mm": data.get("wingspan_mm")}
    items[item["id"]] = item
    return json(item, status=201)


@app.router.post("/upload")
async def upload(request: Request):
    form = await request.form()
    files = await request.files("file")
    sizes = {_text(part.file_name): part.size for part in files}
    return json({"title": form.get("title") if form else None, "files": sizes})


def _text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


@app.router.get("/clock")
async def clock(request: Request):
    async def ticks():
        for _ in range(3600):
            now = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
            yield ServerSentEvent({"time": now}, event="tick")
            await asyncio.sleep(1)

    return sse(ticks())


@app.router.get("/cookies/set/{value}")
async def set_cookie(request: Request):
    response = redirect("/cookies")
    response.set_cookie(Cookie("flavour", request.route_values["value"], path="/", http_only=True))
    return response


@app.router.get("/cookies")
async def show_cookies(request: Request):
    return json(request.cookies)
