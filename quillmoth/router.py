"""The router layer: routes registered by HTTP method and path pattern over the native radix router,
and the lookup the application core calls once per request.

Patterns are paths with parameters, as the radix tree reads them: ``/users/{id}``, ``/users/:id``,
typed ``/items/{int:item_id}`` (also ``float``, ``uuid``, ``path``) and a trailing wildcard ``/files/*``.
The values captured for a request are in ``request.route_values``, a dict keyed by the parameter
names of the pattern (str values, percent-decoded).
"""

from __future__ import annotations

import inspect
from collections.abc import Awaitable, Callable
from typing import Any

from quillmoth.messages import Request, Response
from quillmoth.routing import CythonRadixRouter, RouteMatch

__all__ = ["Route", "Router", "RouteError"]

Handler = Callable[[Request], Awaitable[Response | None]]


class RouteError(ValueError):
    """A route that cannot be registered: a bad method or pattern, or a handler that is not a
    coroutine function."""


class Route:
    """One registered route: its method, its pattern and its handler (a coroutine function taking
    the request)."""

    __slots__ = ("method", "pattern", "handler")

    def __init__(self, method: str, pattern: str, handler: Handler) -> None:
        self.method = method
        self.pattern = pattern
        self.handler = handler

    def __repr__(self) -> str:
        return f"<Route {self.method} {self.pattern}>"


def _is_coroutine_function(handler: Any) -> bool:
    if inspect.iscoroutinefunction(handler):
        return True
    call = getattr(handler, "__call__", None)
    return call is not None and not inspect.isfunction(handler) and inspect.iscoroutinefunction(call)


_TYPES = ("int", "float", "uuid", "str", "string", "path")


def _param_names(pattern: str) -> list[str]:
    """The names of the parameters of a pattern, in order: `{id}`, `{int:id}`, `{id:int}`, `<id>`,
    `:id`; a trailing `*` captures the rest as `tail`."""
    names = []
    for segment in pattern.split("/"):
        if not segment:
            continue
        if segment.startswith("*"):
            names.append("tail")
            break
        if (segment[0], segment[-1]) in (("{", "}"), ("<", ">")):
            inner = segment[1:-1]
        elif segment.startswith(":"):
            inner = segment[1:]
        else:
            continue
        first, colon, second = inner.partition(":")
        name = second if colon and first in _TYPES else first
        if not name.isidentifier():
            raise RouteError(f"Invalid route pattern {pattern!r}: parameter name {name!r} is not an identifier")
        if name in names:
            raise RouteError(f"Invalid route pattern {pattern!r}: parameter {name!r} given twice")
        names.append(name)
    return names


class Router:
    """Routes by method over one ``CythonRadixRouter``. A path known only under other methods is
    answered 405 with an Allow header; a HEAD request without a HEAD route is routed as GET (the
    application sends no body for it)."""

    def __init__(self) -> None:
        self._native = CythonRadixRouter()
        # The lookup of one request: the method (str) and raw path to the RouteMatch, or None.
        self._match_request = self._native.match_request
        self.routes: list[Route] = []
        self._methods: list[bytes] = []

    # --- registration -------------------------------------------------------------------------

    def add(self, method: str, pattern: str, handler: Handler) -> Route:
        if not isinstance(method, str) or not method or not method.isascii() or not method.isalpha():
            raise RouteError(f"Invalid HTTP method {method!r}: expected a name such as 'GET'")
        if not isinstance(pattern, str) or not pattern.startswith("/"):
            raise RouteError(f"Invalid route pattern {pattern!r}: a pattern is a str starting with '/'")
        if "//" in pattern or any(ord(c) < 0x21 or c in "?#" for c in pattern):
            raise RouteError(f"Invalid route pattern {pattern!r}: no empty segments, spaces, '?' or '#'")
        if not _is_coroutine_function(handler):
            raise RouteError(
                f"The handler of {method.upper()} {pattern} must be a coroutine function (async def), "
                f"got {handler!r}"
            )
        method = method.upper()
        route = Route(method, pattern, handler)
        encoded = method.encode("ascii")  # checked to be ASCII letters above
        names = _param_names(pattern)
        try:
            self._native.add_route(encoded, pattern.encode("utf-8"), route, names or None)
        except (TypeError, ValueError, UnicodeError) as error:
            raise RouteError(f"Invalid route pattern {pattern!r}: {error}") from error
        if encoded not in self._methods:
            self._methods.append(encoded)
        self.routes.append(route)
        return route

    def route(self, method: str, pattern: str) -> Callable[[Handler], Handler]:
        """Decorator: ``@router.route("GET", "/items/{id}")``."""

        def register(handler: Handler) -> Handler:
            self.add(method, pattern, handler)
            return handler

        return register

    def get(self, pattern: str) -> Callable[[Handler], Handler]:
        return self.route("GET", pattern)

    def head(self, pattern: str) -> Callable[[Handler], Handler]:
        return self.route("HEAD", pattern)

    def post(self, pattern: str) -> Callable[[Handler], Handler]:
        return self.route("POST", pattern)

    def put(self, pattern: str) -> Callable[[Handler], Handler]:
        return self.route("PUT", pattern)

    def delete(self, pattern: str) -> Callable[[Handler], Handler]:
        return self.route("DELETE", pattern)

    def patch(self, pattern: str) -> Callable[[Handler], Handler]:
        return self.route("PATCH", pattern)

    def options(self, pattern: str) -> Callable[[Handler], Handler]:
        return self.route("OPTIONS", pattern)

    # --- lookup -------------------------------------------------------------------------------

    def get_match(self, request: Request) -> RouteMatch | None:
        """The route of the request's method and raw path, or None. A path known only under other
        methods gives a route answering 405."""
        match = self._match_request(request.method, request._path)
        if match is None:
            return self._fallback(request.method, request._path)
        return match

    def _fallback(self, method: str, path: bytes) -> RouteMatch | None:
        """No route for the method: a HEAD request is routed as GET, else a path known under other
        methods gets the 405 route."""
        if method == "HEAD":
            match = self._match_request("GET", path)
            if match is not None:
                return match
        return self._not_allowed(path)

    def _not_allowed(self, path: bytes) -> RouteMatch | None:
        allowed = [method for method in self._methods if self._native.get_match(method, path) is not None]
        if not allowed:
            return None
        if b"GET" in allowed and b"HEAD" not in allowed:
            allowed.append(b"HEAD")
        return RouteMatch(_MethodNotAllowed(b", ".join(allowed)), None)


class _MethodNotAllowed:
    """The route of a path known under other methods: its handler answers 405 with Allow."""

    __slots__ = ("allow", "pattern")

    def __init__(self, allow: bytes) -> None:
        self.allow = allow
        self.pattern = "<method not allowed>"

    async def handler(self, request: Request) -> Response:
        return Response(405, [(b"allow", self.allow)])
