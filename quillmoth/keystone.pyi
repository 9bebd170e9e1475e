"""The application core: request dispatch, the exception handler table, default error handlers and
logging."""

import logging
import sys
from collections import UserDict
from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any

from quillmoth.exceptions import HTTPException
from quillmoth.messages import Request, Response

from typing_extensions import disjoint_base

if sys.version_info >= (3, 13):
    from types import CapsuleType
else:
    from typing_extensions import CapsuleType

__quillmoth_types__: dict[str, CapsuleType]

# An exception handler: a coroutine function called as handler(app, request, exc) whose result is
# the Response to send.
_ExceptionHandler = Callable[[Any, Request, Any], Awaitable[Response]]

# pydantic's ValidationError class, or None when pydantic cannot be imported.
ValidationError: type[Exception] | None

class ExceptionHandlersDict(UserDict[type[BaseException] | int, _ExceptionHandler]):
    """The table of exception handlers: keys are exception classes or int status codes, values are
    coroutine functions handler(app, request, exc). Every assignment (the constructor's and
    update's too) validates the handler: InvalidExceptionHandler unless it is a coroutine function
    with exactly three parameters or a *args parameter."""

    def __setitem__(self, key: type[BaseException] | int, item: _ExceptionHandler, /) -> None: ...

@disjoint_base
class BaseApplication:
    """The native base of the application object: dispatches a request to its route's handler and
    turns failures into error responses."""

    show_error_details: bool
    exceptions_handlers: Any
    max_body_size: int | None
    middlewares: Any
    _cors: Any
    def __init__(self, show_error_details: object, router: Any) -> None: ...
    async def __call__(
        self, scope: MutableMapping[str, Any], receive: Callable[[], Awaitable[Any]], send: Callable[[Any], Awaitable[Any]]
    ) -> None:
        """The ASGI application: an http scope served natively (handle(), or _respond() when
        _cors or middlewares are set; a StreamedContent body through _send_streamed() when the
        object has it), any other scope through _serve_scope()."""
    @property
    def router(self) -> Any:
        """The router layer: get_match(request) gives the route (with `values` and `handler`) or a
        falsy value."""
    @property
    def logger(self) -> logging.Logger: ...
    def init_exceptions_handlers(self) -> ExceptionHandlersDict: ...
    def get_http_exception_handler(self, http_exception: HTTPException) -> _ExceptionHandler: ...
    async def handle(self, request: Request | None) -> Response: ...
    async def handle_request_handler_exception(self, request: Any, exc: Exception | None) -> Response: ...
    async def handle_internal_server_error(self, request: Request | None, exc: Exception | None) -> Response: ...
    async def _apply_exception_handler(
        self, request: Request | None, exc: Exception | None, exception_handler: _ExceptionHandler
    ) -> Response: ...
    async def handle_http_exception(self, request: Request | None, http_exception: HTTPException) -> Response: ...
    async def handle_exception(self, request: Any, exc: Exception) -> Response: ...
    async def log_unhandled_exc(self, request: Any, exc: BaseException | None) -> None: ...
    async def log_handled_exc(self, request: Any, exc: BaseException | None) -> None: ...

def get_logger() -> logging.Logger:
    """The logger "quillmoth.server", its level set to INFO (again on every call)."""

async def handle_not_found(app: Any, request: Any, http_exception: Any) -> Response: ...
async def handle_internal_server_error(app: Any, request: Any, exception: Any) -> Response: ...
async def handle_bad_request(app: Any, request: Any, http_exception: Any) -> Response: ...
async def handle_unprocessable_entity(app: Any, request: Any, http_exception: Any) -> Response: ...
async def _default_pydantic_validation_error_handler(app: Any, request: Any, error: Any) -> Response: ...
async def common_http_exception_handler(app: Any, request: Any, http_exception: HTTPException) -> Response: ...
