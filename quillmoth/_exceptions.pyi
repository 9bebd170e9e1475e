"""Native HTTP exception classes of quillmoth.exceptions."""

import sys
from typing import Any

from typing_extensions import disjoint_base

if sys.version_info >= (3, 13):
    from types import CapsuleType
else:
    from typing_extensions import CapsuleType

__quillmoth_types__: dict[str, CapsuleType]

@disjoint_base
class HTTPException(Exception):
    """An error answered with an HTTP status code."""

    status: int
    def __init__(self, status: int, message: str = "HTTP exception") -> None: ...
    @property
    def message(self) -> str: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

class BadRequest(HTTPException):
    """A request that cannot be served as sent (400)."""

    def __init__(self, message: str | None = None) -> None: ...

class NotFound(HTTPException):
    """A resource that does not exist (404)."""

    def __init__(self, message: str | None = None) -> None: ...

class UnsupportedMediaType(HTTPException):
    """A body in a media type the handler does not accept (415)."""

    def __init__(self, message: str | None = None) -> None: ...

@disjoint_base
class InternalServerError(HTTPException):
    """An unexpected failure, answered with status 500."""

    source_error: BaseException | None
    def __init__(self, source_error: BaseException | None = None) -> None: ...

@disjoint_base
class BadRequestFormat(HTTPException):
    """A request body that cannot be parsed, answered with status 400."""

    source_error: BaseException | None
    def __init__(self, message: str, source_error: BaseException | None = None) -> None: ...

@disjoint_base
class UnprocessableEntity(HTTPException):
    """Input that is well-formed but invalid, answered with status 422."""

    details: Any
    def __init__(self, message: str | None = None, details: Any = None) -> None: ...

@disjoint_base
class FailedRequestError(HTTPException):
    """A response whose status code signals a failure."""

    data: str
    def __init__(self, status: int, data: str) -> None: ...
