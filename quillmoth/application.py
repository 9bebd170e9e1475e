"""The application: an ASGI 3 callable over the native request dispatcher.

    app = Application()

    @app.router.get("/hello/{name}")
    async def hello(request):
        return text(f"Hello, {request.route_values['name']}!")

Serve it with any ASGI server (``uvicorn module:app``). Each HTTP request becomes a pooled
``Request`` whose body is read from the server's receive channel on demand (up to
``max_body_size`` bytes); the handler's ``Response`` is written back and both objects return to
their pools.
"""

from __future__ import annotations

import asyncio
import traceback
from collections.abc import Awaitable, Callable, Iterable
from typing import Any

from quillmoth.contents import ASGIContent, StreamedContent, TextContent
from quillmoth.keystone import BaseApplication
from quillmoth.messages import (
    Request,
    Response,
    acquire_request,
    is_cors_preflight_request,
    is_cors_request,
    release_request,
    release_response,
)
from quillmoth.router import Router
from quillmoth.scribe import send_asgi_response, set_headers_for_response_content

__all__ = ["Application", "ServerErrorDetailsHandler"]

DEFAULT_MAX_BODY_SIZE = 10 * 1024 * 1024

Handler = Callable[[Request], Awaitable[Response | None]]
Middleware = Callable[[Request, Handler], Awaitable[Response]]
Hook = Callable[["Application"], Awaitable[None]]

class ServerErrorDetailsHandler:
    """Answers an unhandled error with its traceback as text (only with show_error_details)."""

    def produce_response(self, request: Request, exc: BaseException) -> Response:
        details = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        return Response(500, None, TextContent(f"Internal Server Error\n\n{details}"))


class _Cors:
    __slots__ = ("origins", "any_origin", "methods", "headers", "credentials", "max_age", "expose")

    def __init__(self, origins, methods, headers, credentials, max_age, expose) -> None:
        self.origins = {o.encode("ascii") for o in origins if o != "*"}
        self.any_origin = "*" in origins
        self.methods = ", ".join(m.upper() for m in methods).encode("ascii")
        self.headers = [h.lower() for h in headers]
        self.credentials = credentials
        self.max_age = str(int(max_age)).encode("ascii")
        self.expose = ", ".join(expose).encode("ascii")

    def allowed_origin(self, origin: bytes) -> bytes | None:
        if origin in self.origins:
            return origin
        if self.any_origin:
            return origin if self.credentials else b"*"
        return None

    def preflight(self, request: Request) -> Response:
        origin = self.allowed_origin(request.get_first_header(b"origin") or b"")
        method = (request.get_first_header(b"access-control-request-method") or b"").decode("latin-1").upper()
        requested = request.get_first_header(b"access-control-request-headers") or b""
        names = [n.strip().lower() for n in requested.decode("latin-1").split(",") if n.strip()]
        allowed_methods = {m.strip() for m in self.methods.decode("ascii").split(",")}
        if origin is None or method not in allowed_methods or (
            "*" not in self.headers and any(n not in self.headers for n in names)
        ):
            return Response(400, None, TextContent("CORS request not allowed"))
        headers = [
            (b"access-control-allow-origin", origin),
            (b"access-control-allow-methods", self.methods),
            (b"access-control-allow-headers", requested if names else b""),
            (b"access-control-max-age", self.max_age),
            (b"vary", b"Origin"),
        ]
        if self.credentials:
            headers.append((b"access-control-allow-credentials", b"true"))
        return Response(204, [h for h in headers if h[1]])

    def decorate(self, request: Request, response: Response) -> None:
        origin = self.allowed_origin(request.get_first_header(b"origin") or b"")
        if origin is None:
            return
        response.set_header(b"access-control-allow-origin", origin)
        response.add_header(b"vary", b"Origin")
        if self.credentials:
            response.set_header(b"access-control-allow-credentials", b"true")
        if self.expose:
            response.set_header(b"access-control-expose-headers", self.expose)


class Application(BaseApplication):
    """An ASGI application. `show_error_details` answers unhandled errors with their traceback
    (for development only); `max_body_size` bounds a request body (None for no limit), a larger
    one is answered 413."""

    def __init__(self, *, show_error_details: bool = False, max_body_size: int | None = DEFAULT_MAX_BODY_SIZE,
                 router: Router | None = None) -> None:
        super().__init__(show_error_details, router if router is not None else Router())
        if max_body_size is not None and (not isinstance(max_body_size, int) or max_body_size < 0):
            raise ValueError("max_body_size must be a non-negative int or None")
        self.max_body_size = max_body_size
        self.server_error_details_handler = ServerErrorDetailsHandler()
        self.middlewares: list[Middleware] = []
        self._on_start: list[Hook] = []
        self._on_stop: list[Hook] = []
        self._cors: _Cors | None = None
        self._chain: Handler | None = None
        self._chain_of: tuple[Middleware, ...] = ()

    # --- configuration ------------------------------------------------------------------------

    def exception_handler(self, key: type[BaseException] | int) -> Callable:
        """Decorator registering `handler(app, request, exc)` for an exception class or a status."""

        def register(handler):
            self.exceptions_handlers[key] = handler
            return handler

        return register

    def on_start(self, hook: Hook) -> Hook:
        """Registers a coroutine function `hook(app)` run at startup, in registration order."""
        self._on_start.append(hook)
        return hook

    def on_stop(self, hook: Hook) -> Hook:
        """Registers a coroutine function `hook(app)` run at shutdown, in registration order."""
        self._on_stop.append(hook)
        return hook

    def use_cors(self, *, allow_origins: Iterable[str] = ("*",), allow_methods: Iterable[str] = ("GET", "POST",
                 "PUT", "PATCH", "DELETE", "OPTIONS", "HEAD"), allow_headers: Iterable[str] = (),
                 allow_credentials: bool = False, max_age: int = 600, expose_headers: Iterable[str] = ()) -> None:
        """Answers CORS preflights and adds the CORS headers to the responses of allowed origins."""
        self._cors = _Cors(list(allow_origins), list(allow_methods), list(allow_headers), allow_credentials,
                           max_age, list(expose_headers))

    # --- serving ------------------------------------------------------------------------------

    def _handler_chain(self) -> Handler:
        """`handle` wrapped by the middlewares, the first one outermost (rebuilt when the list
        changes)."""
        middlewares = tuple(self.middlewares)
        if self._chain is not None and middlewares == self._chain_of:
            return self._chain
        handler: Handler = self.handle
        for middleware in reversed(middlewares):
            handler = _bind(middleware, handler)
        self._chain, self._chain_of = handler, middlewares
        return handler

    async def __call__(self, scope: dict[str, Any], receive: Callable, send: Callable) -> None:
        kind = scope["type"]
        if kind == "http":
            await self._serve_http(scope, receive, send)
        elif kind == "lifespan":
            await self._serve_lifespan(receive, send)
        elif kind == "websocket":
            # Not served: closing before accepting refuses the handshake.
            await receive()
            await send({"type": "websocket.close", "code": 1000})
        else:
            raise ValueError(f"Unsupported ASGI scope type {kind!r}")

    async def _serve_http(self, scope: dict[str, Any], receive: Callable, send: Callable) -> None:
        request = acquire_request(scope["method"], scope.get("raw_path") or scope["path"].encode("utf-8"),
                                  scope["query_string"], scope["headers"], scope)
        response = None
        try:
            limit = self.max_body_size
            request.content = ASGIContent(receive, limit)
            if limit is not None and _declared_length(request) > limit:
                response = Response(413)
            elif self._cors is not None and is_cors_preflight_request(request):
                response = self._cors.preflight(request)
            else:
                response = await (self._handler_chain() if self.middlewares else self.handle)(request)
                if self._cors is not None and is_cors_request(request):
                    self._cors.decorate(request, response)
            if scope["method"] == "HEAD":
                await _send_head(response, send)
            elif isinstance(response.content, StreamedContent):
                await _send_streamed(request, response, send)
            else:
                await send_asgi_response(response, send)
        finally:
            release_request(request)
            # Only a response that came from the pool goes back to it (those of the
            # quillmoth.responses helpers): one a handler built itself may be kept and returned
            # again, and resetting it would spoil it.
            if response is not None and response._acquired:
                release_response(response)

    async def _serve_lifespan(self, receive: Callable, send: Callable) -> None:
        while True:
            message = await receive()
            kind = message["type"]
            if kind == "lifespan.startup":
                if await _run_hooks(self._on_start, self, send, "lifespan.startup"):
                    continue
                return
            if kind == "lifespan.shutdown":
                await _run_hooks(self._on_stop, self, send, "lifespan.shutdown")
                return


def _bind(middleware: Middleware, handler: Handler) -> Handler:
    async def call(request: Request) -> Response:
        return await middleware(request, handler)

    return call


def _declared_length(request: Request) -> int:
    """The Content-Length the client declared; 0 without one. A value that is not plain digits is
    left to the body reader (and the server), which refuse it."""
    value = request.get_first_header(b"content-length")
    if not value or not value.isdigit():
        return 0
    return int(value) if len(value) < 20 else 1 << 64


async def _send_head(response: Response, send: Callable) -> None:
    """The response to a HEAD request: its status and headers, no body."""
    set_headers_for_response_content(response)
    await send({"type": "http.response.start", "status": response.status, "headers": response.headers.values})
    await send({"type": "http.response.body", "body": b"", "more_body": False})


async def _send_streamed(request: Request, response: Response, send: Callable) -> None:
    """A streamed body goes out while the channel is watched for the client leaving (servers do not
    always fail a send after a disconnect, and a stream may go on for ever): when it leaves, the
    stream is cancelled, which closes the content's iterator."""
    sending = asyncio.ensure_future(send_asgi_response(response, send))
    watching = asyncio.ensure_future(request.content._probe_disconnect())
    try:
        await asyncio.wait((sending, watching), return_when=asyncio.FIRST_COMPLETED)
    finally:
        for task in (sending, watching):
            task.cancel()
        await asyncio.gather(sending, watching, return_exceptions=True)
    if not sending.cancelled():
        sending.result()


async def _run_hooks(hooks: list[Hook], app: Application, send: Callable, event: str) -> bool:
    try:
        for hook in hooks:
            await hook(app)
    except Exception as error:  # the server reports the failure
        await send({"type": f"{event}.failed", "message": f"{type(error).__name__}: {error}"})
        return False
    await send({"type": f"{event}.complete"})
    return True
