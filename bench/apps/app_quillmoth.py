"""The benchmark scenarios written with quillmoth, as its README shows."""

import itertools

from _payloads import HELLO, PAGE, REQUEST_ID_HEADER, TOKEN, store

from quillmoth import Application, HTTPException
from quillmoth.exceptions import BadRequest
from quillmoth.responses import html, json, text

app = Application()
counter = itertools.count(1)
REQUEST_ID = REQUEST_ID_HEADER.encode()
TOKEN_BYTES = TOKEN.encode()


@app.router.get("/hello")
async def hello(request):
    return text(HELLO)


@app.router.get("/page")
async def page(request):
    response = html(PAGE)
    response.set_header(REQUEST_ID, str(next(counter)).encode())
    return response


@app.router.put("/api/items/{int:item_id}/parts/{int:part}")
async def update_part(request):
    if request.get_first_header(b"authorization") != TOKEN_BYTES:
        raise HTTPException(401, "Unauthorized")
    values = request.route_values
    query = request.query
    data = await request.json()
    if not isinstance(data, dict):
        raise BadRequest("Expected a JSON object")
    return json({
        "item_id": int(values["item_id"]),
        "part": int(values["part"]),
        "mode": query.get("mode", ["basic"])[0],
        "limit": int(query.get("limit", ["10"])[0]),
        "name": data["name"],
        "wingspan_mm": data["wingspan_mm"],
        "tags": data.get("tags", []),
    })


@app.router.post("/upload")
async def upload(request):
    form = await request.form()
    if not form or "file" not in form:
        raise BadRequest("Expected a file part")
    part = form["file"]
    file_name = part.file_name.decode() if isinstance(part.file_name, bytes) else part.file_name
    data = part.read()
    store(file_name, data)
    return json({"title": form.get("title"), "file_name": file_name, "size": len(data)})
