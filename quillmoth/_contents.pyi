"""Native base classes of quillmoth.contents and the URL-encoded form parser."""

import sys
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any, TypeVar

from typing_extensions import disjoint_base

if sys.version_info >= (3, 13):
    from types import CapsuleType
else:
    from typing_extensions import CapsuleType

_C = TypeVar("_C", bound=Content)
_E = TypeVar("_E", bound=ServerSentEvent)

__quillmoth_api__: dict[str, CapsuleType]
__quillmoth_types__: dict[str, CapsuleType]

@disjoint_base
class Content:
    """A message body: its media type, the buffered bytes and their length."""

    type: bytes | None
    body: bytes | None
    length: int
    def __init__(self, content_type: bytes | None, data: bytes | None) -> None: ...
    @property
    def body_buffer(self) -> memoryview: ...
    def dispose(self) -> None: ...
    def read(self) -> Awaitable[bytes | None]: ...
    def stream(self) -> AsyncIterator[bytes]: ...
    def get_parts(self) -> AsyncIterator[bytes]: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

DEFAULT_MAX_BODY_SIZE: int

@disjoint_base
class TextContent(Content):
    """A plain-text body, encoded as UTF-8."""

    __dict__: dict[str, Any]
    def __init__(self, text: str) -> None: ...

@disjoint_base
class HTMLContent(Content):
    """An HTML body, encoded as UTF-8."""

    __dict__: dict[str, Any]
    def __init__(self, html: str) -> None: ...

@disjoint_base
class JSONContent(Content):
    """A JSON body, encoded by `dumps`, else by the configured JSON encoder."""

    __dict__: dict[str, Any]
    def __init__(self, data: Any, dumps: Callable[[Any], str | bytes] | None = None) -> None: ...

@disjoint_base
class ASGIContent(Content):
    """The body of an incoming request, pulled from the ASGI ``receive`` channel."""

    __dict__: dict[str, Any]
    max_body_size: int | None
    def __init__(
        self,
        receive: Callable[[], Awaitable[Any]],
        max_body_size: int | None = 10485760,
        content_length: int | bytes | str | None = None,
    ) -> None: ...
    @property
    def _receive(self) -> Callable[[], Awaitable[Any]] | None: ...
    @property
    def _pending(self) -> list[bytes]: ...
    async def read(self) -> bytes: ...  # type: ignore[override]
    def stream(self) -> AsyncIterator[bytes]: ...
    def get_parts(self) -> AsyncIterator[bytes]: ...
    async def _probe_disconnect(self) -> None: ...

@disjoint_base
class ServerSentEvent:
    """One server-sent event whose data is written as JSON."""

    data: Any
    event: str | None
    id: str | None
    retry: int
    comment: str | None
    def __init__(
        self, data: Any, event: str | None = None, id: str | None = None, retry: int = -1, comment: str | None = None
    ) -> None: ...
    def write_data(self) -> str: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

class TextServerSentEvent(ServerSentEvent):
    """One server-sent event whose data is written as text."""

    def __init__(
        self, data: Any, event: str | None = None, id: str | None = None, retry: int = -1, comment: str | None = None
    ) -> None: ...

def parse_www_form_urlencoded(text: str, /) -> dict[str, str | list[str]]: ...
def _restore_content(cls: type[_C], type: bytes | None, body: bytes | None, length: int, /) -> _C: ...
def _restore_server_sent_event(
    cls: type[_E], data: Any, event: str | None, id: str | None, retry: int, comment: str | None, /
) -> _E: ...
