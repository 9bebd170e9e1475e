"""Exception classes of the framework.

The HTTP exceptions are native classes (``quillmoth._exceptions``) because the application core
reads their ``status`` without an attribute lookup; the others carry no fields and are defined
here.
"""

from quillmoth._exceptions import (
    BadRequest,
    BadRequestFormat,
    FailedRequestError,
    HTTPException,
    InternalServerError,
    NotFound,
    UnprocessableEntity,
    UnsupportedMediaType,
    __quillmoth_types__,
)

# Re-exported so that sibling modules check the native classes they read against this module.
__quillmoth_types__ = __quillmoth_types__

__all__ = [
    "BadRequest",
    "BadRequestFormat",
    "FailedRequestError",
    "HTTPException",
    "InternalServerError",
    "InvalidArgument",
    "InvalidExceptionHandler",
    "InvalidOperation",
    "MessageAborted",
    "NotFound",
    "PayloadTooLarge",
    "UnprocessableEntity",
    "UnsupportedMediaType",
]


class MessageAborted(Exception):
    """The client went away before the whole request body was received."""

    def __init__(self) -> None:
        super().__init__("The connection was lost or closed by the client while the request body was being received.")

    def __reduce__(self):
        return (type(self), (), self.__dict__ or None)


class PayloadTooLarge(HTTPException):
    """A request body larger than the application accepts, answered with 413. ``max_body_size`` is
    the limit that was passed (None when unknown)."""

    def __init__(self, max_body_size: int | None = None, message: str | None = None) -> None:
        if message is None:
            message = (
                "The request body is too large."
                if max_body_size is None
                else f"The request body exceeds the maximum size of {max_body_size} bytes."
            )
        super().__init__(413, message)
        self.max_body_size = max_body_size

    def __reduce__(self):
        return (type(self), (self.max_body_size, self.message), self.__dict__ or None)


class InvalidArgument(Exception):
    """An argument whose value makes the operation impossible."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class InvalidOperation(Exception):
    """An operation attempted in a state that does not allow it."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class InvalidExceptionHandler(Exception):
    """An exception handler that does not have the expected form."""

    def __init__(self) -> None:
        super().__init__(
            "Exception handlers must be coroutine functions accepting three parameters: "
            "the application, the request and the exception."
        )

    def __reduce__(self):
        return (type(self), (), self.__dict__ or None)
