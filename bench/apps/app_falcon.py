"""The benchmark scenarios written with Falcon's ASGI App, as its documentation shows."""

import itertools

import falcon
import falcon.asgi
from _payloads import HELLO, PAGE, REQUEST_ID_HEADER, TOKEN, store

counter = itertools.count(1)


class HelloResource:
    async def on_get(self, req, resp):
        resp.content_type = falcon.MEDIA_TEXT
        resp.text = HELLO


class PageResource:
    async def on_get(self, req, resp):
        resp.content_type = falcon.MEDIA_HTML
        resp.text = PAGE
        resp.set_header(REQUEST_ID_HEADER, str(next(counter)))


class PartResource:
    async def on_put(self, req, resp, item_id, part):
        if req.get_header("Authorization") != TOKEN:
            raise falcon.HTTPUnauthorized(title="Unauthorized")
        data = await req.get_media()
        if not isinstance(data, dict):
            raise falcon.HTTPBadRequest(title="Expected a JSON object")
        resp.media = {
            "item_id": item_id,
            "part": part,
            "mode": req.get_param("mode", default="basic"),
            "limit": req.get_param_as_int("limit", default=10),
            "name": data["name"],
            "wingspan_mm": data["wingspan_mm"],
            "tags": data.get("tags", []),
        }


class UploadResource:
    async def on_post(self, req, resp):
        form = await req.get_media()
        title = file_name = None
        size = 0
        async for part in form:
            if part.name == "title":
                title = await part.get_text()
            elif part.name == "file":
                file_name = part.filename
                data = await part.get_data()
                store(file_name, data)
                size = len(data)
        resp.media = {"title": title, "file_name": file_name, "size": size}


app = falcon.asgi.App()
app.add_route("/hello", HelloResource())
app.add_route("/page", PageResource())
app.add_route("/api/items/{item_id:int}/parts/{part:int}", PartResource())
app.add_route("/upload", UploadResource())
