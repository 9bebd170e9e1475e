"""Content classes: the bodies of requests and responses, server-sent events and form parts.

``Content``, ``ServerSentEvent`` and ``TextServerSentEvent`` are native classes
(``quillmoth._contents``) because the message, application and response-writing modules read their
fields directly. The subclasses defined here add behaviour only: streamed bodies, the body of an
incoming ASGI request, text, HTML, JSON and form bodies.
"""

from __future__ import annotations

import secrets
from collections.abc import AsyncIterable, Callable, Iterable, Mapping
from tempfile import SpooledTemporaryFile
from typing import Any
from urllib.parse import urlencode

import msgspec

from quillmoth._contents import (
    Content,
    ServerSentEvent,
    TextServerSentEvent,
    __quillmoth_api__,
    __quillmoth_types__,
    parse_www_form_urlencoded,
)
from quillmoth.exceptions import InvalidOperation, MessageAborted, PayloadTooLarge
from quillmoth.settings.encodings import encodings_settings
from quillmoth.settings.json import json_settings

__all__ = [
    "ASGIContent",
    "Content",
    "FileBuffer",
    "FormContent",
    "FormPart",
    "HTMLContent",
    "JSONContent",
    "MultiPartFormData",
    "ServerSentEvent",
    "StreamedContent",
    "StreamedFormPart",
    "TextContent",
    "TextServerSentEvent",
    "parse_www_form_urlencoded",
    "simplify_multipart_data",
]

# Re-exported so that sibling modules bind the native entry points and check the native classes
# they read against this module.
__quillmoth_api__ = __quillmoth_api__
__quillmoth_types__ = __quillmoth_types__

DataProvider = Callable[[], AsyncIterable[bytes]]

_json_encode = msgspec.json.encode
_FILE_READ_SIZE = 65536
SPOOL_MAX_SIZE = 1048576
# The default bound on the body of an incoming request (ASGIContent's max_body_size).
DEFAULT_MAX_BODY_SIZE = 10 * 1024 * 1024


def _require_type(value: Any, expected: type, name: str) -> None:
    if not isinstance(value, expected):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
        )


class StreamedContent(Content):
    """A body produced piece by piece. ``data_provider`` is called (without arguments) each time
    the body is iterated and must return an async iterable of bytes chunks. ``data_length`` is
    the total size when known in advance, otherwise -1."""

    def __init__(self, content_type: bytes | None, data_provider: DataProvider, data_length: int = -1) -> None:
        super().__init__(content_type, None)
        if not callable(data_provider):
            raise TypeError("data_provider must be a callable returning an async iterable of bytes")
        self.length = data_length
        self._data_provider: DataProvider | None = data_provider

    async def get_parts(self):
        """Yields the chunks of the provider. Empty chunks are left out: an empty part ends the
        body for the response writer, so it may only come last, and it never needs to be sent."""
        provider = self._data_provider
        if provider is None:
            raise InvalidOperation("The content was disposed and can no longer be read.")
        async for chunk in provider():
            if chunk:
                yield chunk

    def stream(self):
        return self.get_parts()

    async def read(self) -> bytes:
        return b"".join([chunk async for chunk in self.get_parts()])

    def dispose(self) -> None:
        self._data_provider = None


class ASGIContent(Content):
    """The body of an incoming request, pulled from the ASGI ``receive`` channel.

    ``stream()`` yields the chunks as they arrive without keeping them; ``read()`` keeps the
    whole body in ``body``, so later reads (and streams) give the same bytes. A client that
    disconnects makes both raise ``MessageAborted``. Once the body went out as a stream without
    being kept it cannot be read whole any more, and ``read()`` says so instead of returning a
    truncated body. ``_probe_disconnect()`` is the non-blocking probe of ``is_disconnected``: it
    keeps what it receives, and after the body asks the channel once more, which answers only
    when the client disconnects.

    ``max_body_size`` bounds the body (None: no bound): every way of reading it stops as soon as
    the bytes received pass the bound and raises ``PayloadTooLarge`` (413), then and on every later
    read. A declared ``content_length`` above the bound is refused before anything is received."""

    def __init__(
        self,
        receive: Callable[[], Any],
        max_body_size: int | None = DEFAULT_MAX_BODY_SIZE,
        content_length: int | bytes | str | None = None,
    ) -> None:
        super().__init__(None, None)
        if not callable(receive):
            raise TypeError("receive must be the callable of the ASGI receive channel")
        if max_body_size is not None and (
            not isinstance(max_body_size, int) or isinstance(max_body_size, bool) or max_body_size < 0
        ):
            raise ValueError("max_body_size must be a non-negative int or None")
        self.length = -1
        self.max_body_size = max_body_size
        self._receive: Callable[[], Any] | None = receive
        self._pending: list[bytes] = []  # chunks received by a read() that was interrupted
        self._received = 0  # body bytes received so far
        self._complete = False  # the last body message has been received
        self._streamed = False  # chunks were handed out without being kept
        self._disconnected = False
        self._too_large = max_body_size is not None and _declared_length(content_length) > max_body_size

    def _channel(self) -> Callable[[], Any]:
        receive = self._receive
        if receive is None:
            raise InvalidOperation("The content was disposed and can no longer be read.")
        if self._too_large:
            raise PayloadTooLarge(self.max_body_size)
        if self._disconnected:
            raise MessageAborted()
        return receive

    async def _next_chunk(self, receive: Callable[[], Any]) -> bytes:
        """The body of the next "http.request" message; marks the end of the body."""
        while True:
            message = await receive()
            kind = message.get("type")
            if kind == "http.request":
                body = message.get("body") or b""
                if body and self.max_body_size is not None:
                    self._received += len(body)
                    if self._received > self.max_body_size:
                        # Nothing received is kept: the body will not be read.
                        self._too_large = True
                        self._pending = []
                        raise PayloadTooLarge(self.max_body_size)
                if not message.get("more_body", False):
                    self._complete = True
                return body
            if kind == "http.disconnect":
                self._disconnected = True
                raise MessageAborted()
            # Other message types carry nothing for the body.

    async def stream(self):
        receive = self._channel()
        body = self.body
        if body is not None:
            # Read already (an empty body too): nothing more to ask the channel for.
            if body:
                yield body
            return
        if self._pending:
            pending, self._pending = self._pending, []
            self._streamed = True
            for chunk in pending:
                yield chunk
        if self._complete:
            # Streamed whole already, nothing kept: the channel answers again only when the client
            # goes (what a drain of the stream used as a probe relies on).
            await self._next_chunk(receive)
            return
        while not self._complete:
            chunk = await self._next_chunk(receive)
            if chunk:
                self._streamed = True
                yield chunk

    async def _probe_disconnect(self) -> None:
        """Receives what the channel has, keeping the chunks (a later read or stream still gets
        the whole body), and once the body is complete asks the channel once more: it answers only
        when the client disconnects, which raises ``MessageAborted``. Meant to be cancelled as soon
        as it has to wait (see ``quillmoth.messages._call_soon``)."""
        receive = self._channel()
        if self.body is None:
            pending = self._pending
            while not self._complete:
                chunk = await self._next_chunk(receive)
                if chunk:
                    pending.append(chunk)
        while True:
            await self._next_chunk(receive)

    async def read(self) -> bytes:
        body = self.body
        if body is not None:
            return body
        receive = self._channel()
        if self._streamed:
            raise InvalidOperation(
                "The request body was already consumed as a stream; it can no longer be read whole."
            )
        # Chunks are kept on the object as they come, so a read interrupted by a cancellation
        # resumes where it stopped.
        pending = self._pending
        while not self._complete:
            chunk = await self._next_chunk(receive)
            if chunk:
                pending.append(chunk)
        body = b"".join(pending)
        pending.clear()
        self.body = body
        return body

    def get_parts(self):
        return self.stream()

    def dispose(self) -> None:
        self._receive = None
        self._pending = []
        self.body = None


def _declared_length(value: int | bytes | str | None) -> int:
    """A Content-Length value as an int; -1 when absent or not a length."""
    if value is None:
        return -1
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    if isinstance(value, (bytes, str)):
        text = value.strip()
        if not text or not text.isascii() or not text.isdigit():
            return -1
        # More digits than any bound has: past it (and int() is never asked for a huge number).
        return int(text) if len(text) <= 18 else 1 << 62
    raise TypeError(f"content_length must be an int, bytes, str or None, not {type(value).__name__}")


class TextContent(Content):
    """A plain-text body, encoded as UTF-8."""

    def __init__(self, text: str) -> None:
        _require_type(text, str, "text")
        super().__init__(b"text/plain; charset=utf-8", text.encode("utf8"))


class HTMLContent(Content):
    """An HTML body, encoded as UTF-8."""

    def __init__(self, html: str) -> None:
        _require_type(html, str, "html")
        super().__init__(b"text/html; charset=utf-8", html.encode("utf8"))


def _as_bytes(data: Any) -> bytes:
    if isinstance(data, bytes):
        return data
    if isinstance(data, str):
        return data.encode("utf8")
    if isinstance(data, (bytearray, memoryview)):
        return bytes(data)
    raise TypeError(f"Expected str or bytes, got {type(data).__name__}")


class JSONContent(Content):
    """A JSON body. ``dumps`` (value -> str or bytes) defaults to the configured JSON encoder,
    msgspec unless the application chose another."""

    def __init__(self, data: Any, dumps: Callable[[Any], str | bytes] | None = None) -> None:
        if dumps is None:
            body = json_settings.dumps(data) if json_settings.has_custom_dumps else _json_encode(data)
        else:
            body = dumps(data)
        super().__init__(b"application/json", _as_bytes(body))


class FormContent(Content):
    """An application/x-www-form-urlencoded body from a mapping (a list value gives the field
    once per item) or from an iterable of (name, value) pairs."""

    def __init__(self, data: Mapping[str, Any] | Iterable[tuple[str, Any]]) -> None:
        super().__init__(b"application/x-www-form-urlencoded", urlencode(data, doseq=True).encode("ascii"))


class FileBuffer(SpooledTemporaryFile):
    """A binary buffer that stays in memory up to ``max_size`` bytes and moves to an anonymous
    temporary file beyond that."""

    def __init__(self, max_size: int = SPOOL_MAX_SIZE) -> None:
        super().__init__(max_size=max_size, mode="w+b")


def _buffer_size(data: Any) -> int:
    if data is None:
        return 0
    if isinstance(data, (bytes, bytearray, memoryview)):
        return len(data)
    position = data.tell()
    end = data.seek(0, 2)
    data.seek(position)
    return end


class FormPart:
    """One part of a multipart form: a plain field or a file.

    ``data`` is bytes or a binary buffer (a file-like object); a buffer is also reachable as
    ``file`` (None for bytes), so that whoever owns the form can close it. ``size`` defaults to
    the number of bytes in ``data``."""

    __slots__ = ("name", "data", "file", "file_name", "content_type", "size", "charset")

    def __init__(
        self,
        name: bytes | str,
        data: Any,
        file_name: bytes | str | None = None,
        content_type: bytes | str | None = None,
        size: int | None = None,
        charset: bytes | str | None = None,
    ) -> None:
        self.name = name
        self.data = data
        self.file = None if data is None or isinstance(data, (bytes, bytearray, memoryview)) else data
        self.file_name = file_name
        self.content_type = content_type
        self.size = _buffer_size(data) if size is None else size
        self.charset = charset

    def read(self) -> bytes:
        """The whole content of the part. A buffer is read from its start and left where it was."""
        data = self.data
        if data is None:
            return b""
        if isinstance(data, (bytes, bytearray, memoryview)):
            return bytes(data)
        position = data.tell()
        data.seek(0)
        try:
            return data.read()
        finally:
            data.seek(position)

    def __repr__(self) -> str:
        return f"<FormPart name={self.name!r} file_name={self.file_name!r} size={self.size}>"


class StreamedFormPart:
    """A part of a multipart body as the parser delivers it: its headers, and ``stream()`` over
    its bytes. ``data_provider`` is called (without arguments) to get the async iterable of
    chunks."""

    __slots__ = ("name", "file_name", "content_type", "charset", "_data_provider")

    def __init__(
        self,
        name: str | None,
        data_provider: DataProvider,
        file_name: str | None = None,
        content_type: str | None = None,
        charset: str | None = None,
    ) -> None:
        if not callable(data_provider):
            raise TypeError("data_provider must be a callable returning an async iterable of bytes")
        self.name = name
        self.file_name = file_name
        self.content_type = content_type
        self.charset = charset
        self._data_provider = data_provider

    async def stream(self):
        async for chunk in self._data_provider():
            if chunk:
                yield chunk

    def __repr__(self) -> str:
        return f"<StreamedFormPart name={self.name!r} file_name={self.file_name!r}>"


def _text(value: bytes | str | None) -> str | None:
    if value is None:
        return None
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf8")
    return str(value)


def _header_quote(value: str) -> str:
    # Quotes and line breaks cannot stand in a quoted header parameter: left alone they would end
    # the parameter or inject headers into the part. Percent-encoded as browsers do.
    return value.replace("\r", "%0D").replace("\n", "%0A").replace('"', "%22")


class MultiPartFormData(StreamedContent):
    """A multipart/form-data body built from ``FormPart`` objects, streamed part by part (files
    are read in chunks, never whole)."""

    def __init__(self, parts: Iterable[FormPart]) -> None:
        self.parts = list(parts)
        for part in self.parts:
            if not isinstance(part, FormPart):
                raise TypeError(f"Expected FormPart, got {type(part).__name__}")
        self.boundary = b"----quillmoth" + secrets.token_hex(16).encode("ascii")
        super().__init__(b"multipart/form-data; boundary=" + self.boundary, self._write_parts)

    def _part_header(self, part: FormPart) -> bytes:
        disposition = f'Content-Disposition: form-data; name="{_header_quote(_text(part.name) or "")}"'
        file_name = _text(part.file_name)
        if file_name is not None:
            disposition += f'; filename="{_header_quote(file_name)}"'
        lines = [disposition]
        content_type = _text(part.content_type)
        if content_type:
            content_type = content_type.replace("\r", " ").replace("\n", " ")
            charset = _text(part.charset)
            if charset and "charset" not in content_type.lower():
                content_type += f"; charset={_header_quote(charset)}"
            lines.append(f"Content-Type: {content_type}")
        return ("\r\n".join(lines) + "\r\n\r\n").encode("utf8")

    async def _write_parts(self):
        delimiter = b"--" + self.boundary
        for part in self.parts:
            yield delimiter + b"\r\n" + self._part_header(part)
            data = part.data
            if data is None:
                pass
            elif isinstance(data, (bytes, bytearray, memoryview)):
                yield bytes(data)
            else:
                data.seek(0)
                while chunk := data.read(_FILE_READ_SIZE):
                    yield chunk
            yield b"\r\n"
        yield delimiter + b"--\r\n"


def _simplify_part(part: Any) -> Any:
    if not isinstance(part, FormPart) or part.file_name:
        return part
    raw = part.read()
    charset = _text(part.charset) or "utf8"
    try:
        return raw.decode(charset)
    except LookupError:
        pass
    except UnicodeDecodeError as error:
        return encodings_settings.decode(raw, error)
    try:
        return raw.decode("utf8")
    except UnicodeDecodeError as error:
        return encodings_settings.decode(raw, error)


def simplify_multipart_data(data: Mapping[Any, Any] | None) -> dict[str, Any] | None:
    """Turns a parsed multipart form (name -> list of ``FormPart``) into name -> value: plain
    fields become their text, file parts stay ``FormPart`` objects; a name given once maps to its
    value, a repeated name to the list of its values. Names given as bytes are decoded."""
    if data is None:
        return None
    result: dict[str, Any] = {}
    for key, parts in data.items():
        name = _text(key)
        if not isinstance(parts, list):
            parts = [parts]
        values = [_simplify_part(part) for part in parts]
        result[name] = values[0] if len(values) == 1 else values
    return result
