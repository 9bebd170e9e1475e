"""The application: an ASGI 3 callable over the native request dispatcher.

    app = Application()

    @app.router.get("/hello/{name}")
    async def hello(request):
        return text(f"Hello, {request.route_values['name']}!")

Serve it with any ASGI server (``uvicorn module:app``). Each HTTP request becomes a pooled
``Request`` whose body is read from the server's receive channel on demand (up to
``max_body_size`` bytes); the handler's ``Response`` is written back and both objects return to
their pools.

The ASGI entry point is native (``BaseApplication.__call__``): an http scope is served without
Python code of the framework unless something configured here is in play, which it reaches through
the hooks below: ``_respond`` (CORS and middlewares), ``_send_streamed`` (the disconnect watch of a
streamed body) and ``_serve_scope`` (the lifespan and websockets).
"""

from __future__ import annotations

import asyncio
import traceback
from collections.abc import Awaitable, Callable, Iterable
from typing import Any

from quillmoth.contents import DEFAULT_MAX_BODY_SIZE, TextContent
from quillmoth.exceptions import MessageAborted
from quillmoth.keystone import BaseApplication
from quillmoth.messages import Request, Response, is_cors_preflight_request, is_cors_request
from quillmoth.router import Router
from quillmoth.url import InvalidURL
from quillmoth.scribe import send_asgi_response

__all__ = ["Application", "ServerErrorDetailsHandler"]

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
        # The native attribute refuses anything but None or an int of at least 0 (a bool too) with
        # ValueError; middlewares and _cors are native attributes as well, read on every request.
        self.max_body_size = max_body_size
        self.server_error_details_handler = ServerErrorDetailsHandler()
        self.middlewares: list[Middleware] = []
        self._on_start: list[Hook] = []
        self._on_stop: list[Hook] = []
        self._cors: _Cors | None = None
        self._chain: Handler | None = None
        self._chain_of: tuple[Middleware, ...] = ()
        # What the client did wrong is no server error (each replaceable like any handler): leaving
        # while its body is read, a request line or Host that is not UTF-8 text or no URL.
        self.exceptions_handlers[MessageAborted] = _client_left
        self.exceptions_handlers[UnicodeDecodeError] = _undecodable_request
        self.exceptions_handlers[InvalidURL] = _invalid_url

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

    # --- the hooks of the native serving path -------------------------------------------------

    async def _respond(self, request: Request) -> Response:
        """The response when CORS or middlewares are configured (the native path calls handle()
        itself otherwise): a preflight answered, the middlewares around handle(), the CORS headers
        added."""
        cors = self._cors
        if cors is not None and is_cors_preflight_request(request):
            return cors.preflight(request)
        response = await (self._handler_chain() if self.middlewares else self.handle)(request)
        if cors is not None and is_cors_request(request):
            cors.decorate(request, response)
        return response

    async def _send_streamed(self, request: Request, response: Response, send: Callable) -> None:
        """A streamed body goes out while the channel is watched for the client leaving (servers do
        not always fail a send after a disconnect, and a stream may go on for ever): when it leaves,
        the stream is cancelled, which closes the content's iterator."""
        sending = asyncio.ensure_future(send_asgi_response(response, send))
        watching = asyncio.ensure_future(request.content._probe_disconnect())
        try:
            await asyncio.wait((sending, watching), return_when=asyncio.FIRST_COMPLETED)
            if not sending.done() and not watching.cancelled() and watching.exception() is None:
                # The channel cannot tell when the client leaves: the stream goes on unwatched.
                await asyncio.wait((sending,))
        finally:
            for task in (sending, watching):
                task.cancel()
            await asyncio.gather(sending, watching, return_exceptions=True)
        if not sending.cancelled():
            sending.result()

    async def _serve_scope(self, scope: dict[str, Any], receive: Callable, send: Callable) -> None:
        """The ASGI scopes other than http: the lifespan, and websockets (refused)."""
        kind = scope["type"]
        if kind == "lifespan":
            await self._serve_lifespan(receive, send)
        elif kind == "websocket":
            # Not served: closing before accepting refuses the handshake.
            await receive()
            await send({"type": "websocket.close", "code": 1000})
        else:
            raise ValueError(f"Unsupported ASGI scope type {kind!r}")

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


# The handlers below run after the error was logged at INFO as a handled one.

async def _client_left(app: Application, request: Request, exc: MessageAborted) -> Response:
    """The client went away before its body arrived: answered 400 (which nobody reads, but the
    server sees a complete exchange), neither a 500 nor an error with a traceback."""
    return Response(400)


def _client_bytes(request: Request) -> Iterable[bytes]:
    """What the client sent that the request's values are decoded from."""
    path, query = request._path, request._raw_query
    yield path
    yield query
    yield path + b"?" + query
    for _, value in request.headers.values:
        yield value


async def _undecodable_request(app: Application, request: Request, exc: UnicodeDecodeError) -> Response:
    """The path, the query, the Host or another header the handler read is not UTF-8: 400. Bytes
    that are not the client's (the handler decoding something of its own) remain a server error."""
    if any(exc.object == sent for sent in _client_bytes(request)):
        return _bad_request("The request line or a header is not valid UTF-8.")
    await app.log_unhandled_exc(request, exc)
    return await app.handle_internal_server_error(request, exc)


async def _invalid_url(app: Application, request: Request, exc: InvalidURL) -> Response:
    """The request's path and Host make no URL: 400."""
    return _bad_request("The request's URL is not valid.")


def _bad_request(message: str) -> Response:
    return Response(400, None, TextContent(message))


def _bind(middleware: Middleware, handler: Handler) -> Handler:
    async def call(request: Request) -> Response:
        return await middleware(request, handler)

    return call


async def _run_hooks(hooks: list[Hook], app: Application, send: Callable, event: str) -> bool:
    try:
        for hook in hooks:
            await hook(app)
    except Exception as error:  # the server reports the failure
        await send({"type": f"{event}.failed", "message": f"{type(error).__name__}: {error}"})
        return False
    await send({"type": f"{event}.complete"})
    return True
