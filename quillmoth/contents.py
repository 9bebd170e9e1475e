"""Content classes: the bodies of requests and responses, server-sent events and form parts.

``Content``, ``ServerSentEvent`` and ``TextServerSentEvent`` are native classes
(``quillmoth._contents``) because the message, application and response-writing modules read their
fields directly; so are the contents made on every request: ``TextContent``, ``HTMLContent`` and
``JSONContent`` (the bodies of the response helpers) and ``ASGIContent`` (the body of an incoming
ASGI request, with ``DEFAULT_MAX_BODY_SIZE``, its default bound). The subclasses defined here add
behaviour only: streamed bodies, form bodies and the parts of multipart forms.
"""

from __future__ import annotations

import secrets
from collections.abc import AsyncIterable, Callable, Iterable, Mapping
from tempfile import SpooledTemporaryFile
from typing import Any
from urllib.parse import urlencode

from quillmoth._contents import (
    DEFAULT_MAX_BODY_SIZE,
    ASGIContent,
    Content,
    HTMLContent,
    JSONContent,
    ServerSentEvent,
    TextContent,
    TextServerSentEvent,
    __quillmoth_api__,
    __quillmoth_types__,
    parse_www_form_urlencoded,
)
from quillmoth.exceptions import InvalidOperation
from quillmoth.settings.encodings import encodings_settings

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

_FILE_READ_SIZE = 65536
SPOOL_MAX_SIZE = 1048576


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
