"""BaseApplication.handle against the same algorithm written as Python coroutines on the same
objects (router, route, request, handler, exception table, logger), side by side in one run.

    .venv/bin/python bench/bench_keystone.py

Times, in ns per request (best of 15 rounds, native and Python in alternation):
  - a route whose handler returns a prebuilt Response, with a minimal router (one route for every
    request): stepped with send(None) without an event loop, and inside one asyncio task under the
    default loop and under uvloop;
  - the same through a Python subclass of BaseApplication (what the framework's application is);
  - a handler raising NotFound, answered through the default table by handle_not_found; this path
    also writes the INFO line "HTTP 404 ..." through the framework logger (no handler attached, so
    the record is made and dropped), for both sides.
"""

import asyncio
import sys
import time

from quillmoth.exceptions import HTTPException, NotFound
from quillmoth.keystone import BaseApplication, common_http_exception_handler
from quillmoth.messages import Request, Response
from quillmoth.utils import get_class_instance_hierarchy

N = 50_000
ROUNDS = 15


class Route:
    __slots__ = ("handler", "values")

    def __init__(self, handler, values):
        self.handler = handler
        self.values = values


class OneRoute:
    """The minimal router: one route for every request."""

    __slots__ = ("route",)

    def __init__(self, route):
        self.route = route

    def get_match(self, request):
        return self.route


PREBUILT = Response(200)


async def prebuilt(request):
    return PREBUILT


async def not_found(request):
    raise NotFound()


class PyDispatch:
    """handle and its exception path as Python coroutines over a BaseApplication's router, table
    and logger (the algorithm the native methods follow, step for step)."""

    def __init__(self, app):
        self.app = app
        self.router = app.router
        self.exceptions_handlers = app.exceptions_handlers
        self.logger = app.logger

    async def handle(self, request):
        route = self.router.get_match(request)
        if not route:
            return Response(404)
        request.route_values = route.values
        try:
            response = await route.handler(request)
            if response is not None and not isinstance(response, Response):
                raise TypeError(f"Cannot convert {type(response).__name__} to quillmoth.messages.Response")
        except Exception as exc:
            response = await self.handle_request_handler_exception(request, exc)
            if response is not None and not isinstance(response, Response):
                raise TypeError(f"Cannot convert {type(response).__name__} to quillmoth.messages.Response")
        return response or Response(204)

    def get_exception_handler(self, exc, stop_at):
        for cls in get_class_instance_hierarchy(exc):
            if stop_at is not None and cls is stop_at:
                return None
            if cls in self.exceptions_handlers:
                return self.exceptions_handlers[cls]
        return None

    def get_http_exception_handler(self, http_exception):
        handler = self.get_exception_handler(http_exception, HTTPException)
        if handler:
            return handler
        return self.exceptions_handlers.get(http_exception.status, common_http_exception_handler)

    async def log_handled_exc(self, request, exc):
        self.logger.info('HTTP %s - "%s %s". %s', exc.status, request.method, request.url.value.decode(), str(exc))

    async def handle_request_handler_exception(self, request, exc):
        if isinstance(exc, HTTPException):
            await self.log_handled_exc(request, exc)
            return await self.handle_http_exception(request, exc)
        raise NotImplementedError("only HTTP exceptions are timed")

    async def handle_http_exception(self, request, http_exception):
        handler = self.get_http_exception_handler(http_exception)
        return await self._apply_exception_handler(request, http_exception, handler)

    async def _apply_exception_handler(self, request, exc, exception_handler):
        return await exception_handler(self.app, request, exc)


def stepped(handle, request, status):
    """N requests awaited in one coroutine stepped with send(None)."""

    async def body():
        for _ in range(N):
            response = await handle(request)
        assert response.status == status

    def run():
        coro = body()
        try:
            coro.send(None)
        except StopIteration:
            pass

    return run


def in_a_task(handle, request, status, factory):
    async def body():
        for _ in range(N):
            response = await handle(request)
        assert response.status == status

    return lambda: asyncio.run(body(), loop_factory=factory)


def best_of_pair(native, python):
    """Best ns per request of each, the two timed in alternation so that a busy machine slows both."""
    times = {native: [], python: []}
    for _ in range(ROUNDS):
        for run in (native, python):
            start = time.perf_counter()
            run()
            times[run].append(time.perf_counter() - start)
    return min(times[native]) / N * 1e9, min(times[python]) / N * 1e9


class Application(BaseApplication):
    """A Python subclass that redefines nothing on the request path."""


def main():
    factories = [("asyncio", None)]
    try:
        import uvloop

        factories.append(("uvloop", uvloop.new_event_loop))
    except ImportError:
        pass
    request = Request.incoming("GET", b"/items/7", b"", [])
    ok = BaseApplication(False, OneRoute(Route(prebuilt, {"id": "7"})))
    ok_sub = Application(False, OneRoute(Route(prebuilt, {"id": "7"})))
    missing = BaseApplication(False, OneRoute(Route(not_found, {"id": "7"})))
    ok_py, ok_sub_py, missing_py = PyDispatch(ok), PyDispatch(ok_sub), PyDispatch(missing)

    cases = [("handle -> prebuilt Response (send loop)", stepped(ok.handle, request, 200),
              stepped(ok_py.handle, request, 200))]
    for name, factory in factories:
        cases.append((f"handle -> prebuilt Response ({name} task)", in_a_task(ok.handle, request, 200, factory),
                      in_a_task(ok_py.handle, request, 200, factory)))
    cases += [
        ("subclass handle -> prebuilt (send loop)", stepped(ok_sub.handle, request, 200),
         stepped(ok_sub_py.handle, request, 200)),
        ("handle -> NotFound via default table (send loop)", stepped(missing.handle, request, 404),
         stepped(missing_py.handle, request, 404)),
    ]
    print(f"{'request path':<50} {'native ns':>10} {'python ns':>10} {'native/python':>14}")
    for name, native, python in cases:
        native_ns, python_ns = best_of_pair(native, python)
        print(f"{name:<50} {native_ns:>10.1f} {python_ns:>10.1f} {native_ns / python_ns:>14.2f}")


if __name__ == "__main__":
    sys.exit(main())
