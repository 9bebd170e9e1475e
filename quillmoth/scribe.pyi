"""The response writer: a Response as ASGI messages, buffered bodies in slices, chunked framing of
streamed bodies, and server-sent events."""

import re
import sys
from collections.abc import AsyncGenerator, Awaitable, Callable, Generator
from typing import Any, Final

from quillmoth.contents import Content, ServerSentEvent
from quillmoth.cookies import Cookie
from quillmoth.messages import Response

if sys.version_info >= (3, 13):
    from types import CapsuleType
else:
    from typing_extensions import CapsuleType

__quillmoth_api__: dict[str, CapsuleType]

MAX_RESPONSE_CHUNK_SIZE: Final[int]
_MAX_RESPONSE_CHUNK_SIZE: Final[int]
_NEW_LINES_RX: Final[re.Pattern[str]]

def set_headers_for_response_content(message: Response) -> None:
    """Appends the headers that describe the Response's content: content-length 0 without content;
    else content-type (application/octet-stream when the content has none), then
    transfer-encoding chunked for a streamed body or content-length."""

def write_response_cookie(cookie: Cookie) -> bytes:
    """The Set-Cookie header value of a Cookie, as bytes."""

def get_chunks(data: bytes) -> Generator[bytes, Any, None]:
    """Yields the consecutive 61440-byte slices of `data` (the last may be shorter), then b''."""

def write_chunks(http_content: Content) -> AsyncGenerator[bytes, None]:
    """Frames the parts of a streamed content in HTTP/1.1 chunked coding: one frame per non-empty
    part (its size in hex, CR LF, the part, CR LF), then the terminator b'0\\r\\n\\r\\n'."""

async def send_asgi_response(response: Response, send: Callable[[dict[str, Any]], Awaitable[Any]]) -> None:
    """Completes the response's content headers and sends it to the ASGI `send` callable: the start
    message, then the body (whole up to 61440 bytes, in 61440-byte slices beyond, or part by part
    for a streamed content)."""

def write_sse(event: ServerSentEvent) -> bytes:
    """The bytes of one text/event-stream event: the id, comment, event, data and retry lines (those
    that are set, in this order), then an empty line."""
