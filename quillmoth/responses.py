"""Response helpers: the usual responses of a handler in one call each. Their responses come from
the response pool and go back to it once sent, so a handler returns each one once; a response to
keep and return again is built with ``Response(...)``.

    return text("hello")
    return json({"id": 1}, status=201)
    return redirect("/login")
    return file("report.pdf", file_name="report.pdf")
    return sse(events())            # an async iterable of ServerSentEvent
"""

from __future__ import annotations

import asyncio
import mimetypes
import os
from collections.abc import AsyncIterable, Callable
from typing import Any
from urllib.parse import quote

from quillmoth.contents import HTMLContent, JSONContent, ServerSentEvent, StreamedContent, TextContent
from quillmoth.messages import Response, acquire_response

__all__ = ["file", "html", "json", "redirect", "sse", "text"]

FILE_CHUNK_SIZE = 65536


def text(value: str, status: int = 200) -> Response:
    """A text/plain response (UTF-8)."""
    return acquire_response(status, None, TextContent(value))


def html(value: str, status: int = 200) -> Response:
    """A text/html response (UTF-8)."""
    return acquire_response(status, None, HTMLContent(value))


def json(data: Any, status: int = 200, dumps: Callable[[Any], str | bytes] | None = None) -> Response:
    """An application/json response: `data` encoded with msgspec (or the configured encoder, or
    `dumps`)."""
    return acquire_response(status, None, JSONContent(data, dumps))


def _header_value(value: str | bytes, what: str) -> bytes:
    encoded = value.encode("utf-8") if isinstance(value, str) else bytes(value)
    if b"\r" in encoded or b"\n" in encoded:
        raise ValueError(f"A {what} cannot contain CR or LF")
    return encoded


def redirect(location: str | bytes, status: int = 302) -> Response:
    """A redirect to `location` (302 by default; 301, 303, 307 and 308 are the others)."""
    return acquire_response(status, [(b"location", _header_value(location, "redirect location"))])


def _disposition(file_name: str) -> bytes:
    """attachment; filename="..." with an ASCII fallback, and filename* for other names."""
    fallback = "".join(c if 0x20 <= ord(c) < 0x7F and c not in '"\\' else "_" for c in file_name)
    value = f'attachment; filename="{fallback}"'
    if fallback != file_name:
        value += f"; filename*=UTF-8''{quote(file_name, safe='')}"
    return value.encode("ascii")


def file(path: str | os.PathLike[str], content_type: str | bytes | None = None, file_name: str | None = None,
         status: int = 200) -> Response:
    """The file at `path`, streamed from disk in chunks (read off the event loop). The type is
    guessed from the name when not given; `file_name` makes it an attachment of that name."""
    path = os.fspath(path)
    size = os.path.getsize(path)  # a missing file fails here, before anything is sent
    if content_type is None:
        guessed, _ = mimetypes.guess_type(file_name or path)
        content_type = guessed or "application/octet-stream"
    media_type = _header_value(content_type, "content type")

    async def chunks():
        handle = await asyncio.to_thread(open, path, "rb")
        try:
            while chunk := await asyncio.to_thread(handle.read, FILE_CHUNK_SIZE):
                yield chunk
        finally:
            await asyncio.to_thread(handle.close)

    headers = [(b"content-disposition", _disposition(file_name))] if file_name else None
    return acquire_response(status, headers, StreamedContent(media_type, chunks, size))


def sse(events: AsyncIterable[ServerSentEvent], status: int = 200) -> Response:
    """A text/event-stream response: each event of `events` written and sent as it comes, never
    buffered (proxies are asked not to buffer either)."""
    from quillmoth.scribe import write_sse

    async def stream():
        async for event in events:
            yield write_sse(event)

    headers = [(b"cache-control", b"no-cache"), (b"x-accel-buffering", b"no")]
    return acquire_response(status, headers, StreamedContent(b"text/event-stream", stream))
