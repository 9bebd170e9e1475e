"""The benchmark scenarios written with Starlette, as its documentation shows."""

import itertools

from _payloads import HELLO, PAGE, REQUEST_ID_HEADER, TOKEN, store
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, PlainTextResponse
from starlette.routing import Route

counter = itertools.count(1)


async def hello(request: Request):
    return PlainTextResponse(HELLO)


async def page(request: Request):
    return HTMLResponse(PAGE, headers={REQUEST_ID_HEADER: str(next(counter))})


async def update_part(request: Request):
    if request.headers.get("authorization") != TOKEN:
        raise HTTPException(status_code=401, detail="Unauthorized")
    data = await request.json()
    if not isinstance(data, dict):
        raise HTTPException(status_code=400, detail="Expected a JSON object")
    return JSONResponse({
        "item_id": request.path_params["item_id"],
        "part": request.path_params["part"],
        "mode": request.query_params.get("mode", "basic"),
        "limit": int(request.query_params.get("limit", "10")),
        "name": data["name"],
        "wingspan_mm": data["wingspan_mm"],
        "tags": data.get("tags", []),
    })


async def upload(request: Request):
    async with request.form() as form:
        upload_file = form["file"]
        data = await upload_file.read()
        store(upload_file.filename, data)
        return JSONResponse({"title": form.get("title"), "file_name": upload_file.filename, "size": len(data)})


app = Starlette(routes=[
    Route("/hello", hello),
    Route("/page", page),
    Route("/api/items/{item_id:int}/parts/{part:int}", update_part, methods=["PUT"]),
    Route("/upload", upload, methods=["POST"]),
])
