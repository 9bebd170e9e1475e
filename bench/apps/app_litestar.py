"""The benchmark scenarios written with Litestar, as its documentation shows."""

import itertools
from dataclasses import dataclass
from typing import Annotated, Any

import msgspec
from _payloads import HELLO, PAGE, REQUEST_ID_HEADER, TOKEN, store
from litestar import Litestar, MediaType, Response, get, post, put
from litestar.datastructures import UploadFile
from litestar.enums import RequestEncodingType
from litestar.exceptions import NotAuthorizedException
from litestar.params import Body, Parameter
from litestar.status_codes import HTTP_200_OK

counter = itertools.count(1)


class Item(msgspec.Struct):
    name: str
    wingspan_mm: int
    tags: list[str] = []


@dataclass
class UploadForm:
    title: str
    file: UploadFile


@get("/hello", media_type=MediaType.TEXT)
async def hello() -> str:
    return HELLO


@get("/page", media_type=MediaType.HTML)
async def page() -> Response[str]:
    return Response(PAGE, media_type=MediaType.HTML, headers={REQUEST_ID_HEADER: str(next(counter))})


@put("/api/items/{item_id:int}/parts/{part:int}")
async def update_part(item_id: int, part: int, data: Item, mode: str = "basic", limit: int = 10,
                      authorization: Annotated[str | None, Parameter(header="Authorization")] = None
                      ) -> dict[str, Any]:
    if authorization != TOKEN:
        raise NotAuthorizedException("Unauthorized")
    return {"item_id": item_id, "part": part, "mode": mode, "limit": limit, **msgspec.structs.asdict(data)}


@post("/upload", status_code=HTTP_200_OK)
async def upload(data: Annotated[UploadForm, Body(media_type=RequestEncodingType.MULTI_PART)]) -> dict[str, Any]:
    content = await data.file.read()
    store(data.file.filename, content)
    return {"title": data.title, "file_name": data.file.filename, "size": len(content)}


app = Litestar(route_handlers=[hello, page, update_part, upload])
