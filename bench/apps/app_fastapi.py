"""The benchmark scenarios written with FastAPI, as its documentation shows."""

import itertools
from typing import Annotated

from _payloads import HELLO, PAGE, REQUEST_ID_HEADER, TOKEN, store
from fastapi import FastAPI, Form, Header, HTTPException, UploadFile
from fastapi.responses import HTMLResponse, PlainTextResponse
from pydantic import BaseModel

app = FastAPI()
counter = itertools.count(1)


class Item(BaseModel):
    name: str
    wingspan_mm: int
    tags: list[str] = []


@app.get("/hello", response_class=PlainTextResponse)
async def hello():
    return HELLO


@app.get("/page", response_class=HTMLResponse)
async def page():
    return HTMLResponse(content=PAGE, headers={REQUEST_ID_HEADER: str(next(counter))})


@app.put("/api/items/{item_id}/parts/{part}")
async def update_part(item_id: int, part: int, item: Item, mode: str = "basic", limit: int = 10,
                      authorization: Annotated[str | None, Header()] = None):
    if authorization != TOKEN:
        raise HTTPException(status_code=401, detail="Unauthorized")
    return {"item_id": item_id, "part": part, "mode": mode, "limit": limit, **item.model_dump()}


@app.post("/upload")
async def upload(title: Annotated[str, Form()], file: UploadFile):
    data = await file.read()
    store(file.filename, data)
    return {"title": title, "file_name": file.filename, "size": len(data)}
