"""quillmoth.keystone: BaseApplication's dispatch of a request to its route's handler, the table of
exception handlers and the choice of a handler for a failure (against a plain-Python model of the
precedence rules), the default handlers, and the log lines."""

import asyncio
import functools
import gc
import http
import inspect
import logging

import pydantic
import pytest
import uvloop
from hypothesis import given
from hypothesis import strategies as st

from quillmoth import keystone
from quillmoth.contents import TextContent
from quillmoth.exceptions import (
    BadRequest,
    HTTPException,
    InternalServerError,
    InvalidExceptionHandler,
    NotFound,
    UnprocessableEntity,
)
from quillmoth.keystone import BaseApplication, ExceptionHandlersDict
from quillmoth.messages import Request, Response

LOGGER = "quillmoth.server"


class Route:
    def __init__(self, handler, values=None):
        self.handler = handler
        self.values = values


class Router:
    """The router layer's one method: the route registered for the request's raw path, or None."""

    def __init__(self, **routes):
        self.routes = {("/" + name).encode(): route for name, route in routes.items()}

    def get_match(self, request):
        return self.routes.get(request._path)


def request_for(path=b"/", method="GET"):
    return Request.incoming(method, path, b"", [])


def complete(coro):
    """The result of a coroutine that finishes without waiting."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    coro.close()
    raise AssertionError("the coroutine waited")


class Always:
    """A router whose one route matches every request."""

    def __init__(self, route):
        self.route = route

    def get_match(self, request):
        return self.route


def app_raising(exc, app_class=BaseApplication, show_error_details=False):
    async def handler(request):
        raise exc

    return app_class(show_error_details, Always(Route(handler)))


def answer(app, path=b"/x"):
    return complete(app.handle(request_for(path)))


def body_text(response):
    return response.content.body.decode()


@pytest.fixture(params=["asyncio", "uvloop"])
def run(request):
    loop_factory = uvloop.new_event_loop if request.param == "uvloop" else None
    return lambda coro: asyncio.run(coro, loop_factory=loop_factory)


class Details:
    def __init__(self):
        self.calls = []

    def produce_response(self, request, exc):
        self.calls.append((request, exc))
        return Response(500, None, TextContent("details"))


class DetailedApp(BaseApplication):
    def __init__(self, show_error_details, router):
        super().__init__(show_error_details, router)
        self.server_error_details_handler = Details()


# --- Construction and fields -----------------------------------------------------------------------


@pytest.mark.parametrize("args, given", [((), 0), ((True,), 1), ((True, None, 3), 3)])
def test_constructor_takes_exactly_two_arguments(args, given):
    with pytest.raises(TypeError, match=rf"^__init__\(\) takes exactly 2 positional arguments \({given} given\)$"):
        BaseApplication(*args)


def test_construction_order_and_fields():
    seen = []

    class App(BaseApplication):
        def init_exceptions_handlers(self):
            # Called as a method, after the router is stored and before the flag and the logger.
            seen.append((self.router, self.show_error_details, self.logger))
            return {"custom": True}

    router = Router()
    app = App(router=router, show_error_details=[1])
    assert seen == [(router, False, None)]
    assert (app.show_error_details, app.router, app.exceptions_handlers) == (True, router, {"custom": True})
    assert app.logger is keystone.get_logger() and app.logger.name == LOGGER

    app.show_error_details = ""
    assert app.show_error_details is False
    with pytest.raises(NotImplementedError, match="__del__"):
        del app.show_error_details
    with pytest.raises(AttributeError):
        app.router = None
    app.exceptions_handlers = None
    assert app.exceptions_handlers is None
    with pytest.raises(TypeError):
        BaseApplication.handle = None  # native classes are immutable


def test_serving_configuration_fields():
    app = BaseApplication(False, Router())
    assert (app.max_body_size, app.middlewares, app._cors) == (10 * 1024 * 1024, [], None)
    assert app.middlewares is not BaseApplication(False, Router()).middlewares
    app.max_body_size, app.middlewares, app._cors = None, (1,), "cors"
    assert (app.max_body_size, app.middlewares, app._cors) == (None, (1,), "cors")
    for bad in (-1, False, 2.5):
        with pytest.raises(ValueError, match="non-negative int or None"):
            app.max_body_size = bad
    with pytest.raises(NotImplementedError, match="__del__"):
        del app.max_body_size
    # The ASGI callable, on the class itself and through a subclass.
    assert callable(app) and inspect.iscoroutinefunction(BaseApplication.__call__)
    with pytest.raises(TypeError, match=r"__call__\(\) takes exactly 4 positional arguments \(2 given\)"):
        app({"type": "http"})

    class Sub(BaseApplication):
        pass

    assert inspect.iscoroutinefunction(Sub(False, Router()).__call__)


def test_default_table_and_logger():
    table = BaseApplication(False, Router()).exceptions_handlers
    assert type(table) is ExceptionHandlersDict
    assert dict(table) == {
        404: keystone.handle_not_found,
        400: keystone.handle_bad_request,
        422: keystone.handle_unprocessable_entity,
        UnprocessableEntity: keystone.handle_unprocessable_entity,
        pydantic.ValidationError: keystone._default_pydantic_validation_error_handler,
    }
    assert keystone.ValidationError is pydantic.ValidationError
    logger = keystone.get_logger()
    logger.setLevel(logging.ERROR)
    assert keystone.get_logger() is logger and logger.level == logging.INFO


# --- handle ------------------------------------------------------------------------------------------

PREBUILT = Response(201)


async def returns_prebuilt(request):
    return PREBUILT


async def returns_none(request):
    return None


async def returns_dict(request):
    return {"a": 1}


async def raises_not_found(request):
    raise NotFound()


def not_awaitable(request):
    return 5


@pytest.mark.parametrize(
    "handler, status, text",
    [
        (returns_prebuilt, 201, None),
        (returns_none, 204, None),
        (returns_dict, 500, "Internal Server Error"),
        (raises_not_found, 404, "Resource not found"),
        (not_awaitable, 500, "Internal Server Error"),
    ],
)
def test_handle_answers(handler, status, text):
    values = {"id": "7"}
    app = BaseApplication(False, Router(x=Route(handler, values)))
    request = request_for(b"/x")
    response = complete(app.handle(request))
    assert response.status == status
    assert (response.content and body_text(response)) == text
    assert request.route_values is values  # set before the handler ran, whatever it did
    if handler is returns_prebuilt:
        assert response is PREBUILT


def test_handle_without_route_consults_nothing(caplog):
    app = BaseApplication(False, Router())
    app.exceptions_handlers = None  # a lookup would fail
    response = answer(app, b"/nowhere")
    assert (response.status, response.content) == (404, None)
    assert not caplog.records


def test_handle_checks_request_and_lets_router_errors_through():
    app = BaseApplication(False, Router())
    with pytest.raises(TypeError, match=r"Argument 'request' has incorrect type \(expected quillmoth.messages.Request, got str\)"):
        complete(app.handle("GET /"))

    class Broken:
        def get_match(self, request):
            raise LookupError("router")

    with pytest.raises(LookupError):
        complete(BaseApplication(False, Broken()).handle(request_for()))


def test_handle_rejects_what_the_recovery_returns():
    original = ValueError("first")

    class App(BaseApplication):
        async def handle_request_handler_exception(self, request, exc):
            return "not a response"

    with pytest.raises(TypeError, match="^Cannot convert str to quillmoth.messages.Response$") as info:
        answer(app_raising(original, App))
    assert info.value.__context__ is original


def test_handle_waits_for_the_handler_and_lets_cancellation_through(run, caplog):
    async def slow(request):
        await asyncio.sleep(0)
        return PREBUILT

    async def forever(request):
        await asyncio.get_running_loop().create_future()

    app = BaseApplication(False, Router(slow=Route(slow), forever=Route(forever)))

    async def main():
        assert await app.handle(request_for(b"/slow")) is PREBUILT
        task = asyncio.create_task(app.handle(request_for(b"/forever")))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())
    assert not caplog.records  # cancellation is not an error to handle


def test_exception_path_keeps_nothing():
    async def fails(request):
        raise ValueError("x")

    app = BaseApplication(False, Always(Route(fails)))
    request = request_for(b"/x")
    logging.disable(logging.CRITICAL)
    gc.disable()
    try:
        for _ in range(3):
            complete(app.handle(request))
        gc.collect()
        before = len(gc.get_objects())
        for _ in range(200):
            assert complete(app.handle(request)).status == 500
        assert gc.collect() == 0  # no cycles left behind
        assert len(gc.get_objects()) <= before + 5
    finally:
        gc.enable()
        logging.disable(logging.NOTSET)


# --- Choosing a handler: the precedence rules, as a table and against a plain-Python model ----------------


class Teapot(NotFound):
    pass


def tagged(tag):
    async def handler(app, request, exc):
        return Response(299, None, TextContent(tag))

    handler.__name__ = tag
    return handler


def chosen(table, exc):
    """What answers `exc` raised by a route handler: the tag of a registered handler, or the text and
    status of the default answer."""
    app = app_raising(exc)
    app.exceptions_handlers = ExceptionHandlersDict({key: tagged(tag) for key, tag in table.items()})
    response = answer(app)
    return body_text(response) if response.status == 299 else (response.status, body_text(response))


def model(table, exc):
    """The precedence rules in plain Python."""
    if isinstance(exc, HTTPException):
        for cls in type(exc).__mro__:
            if cls is HTTPException:
                break
            if cls in table:
                return table[cls]
        if exc.status in table:
            return table[exc.status]
        return (exc.status, http.HTTPStatus(exc.status).phrase)
    for cls in type(exc).__mro__:
        if cls in table:
            return table[cls]
    return model(table, InternalServerError(exc))


@pytest.mark.parametrize(
    "table, exc, expected",
    [
        ({}, NotFound(), (404, "Not Found")),
        ({404: "status"}, NotFound(), "status"),
        ({404: "status", NotFound: "class"}, NotFound(), "class"),
        ({404: "status", NotFound: "base"}, Teapot(), "base"),
        ({HTTPException: "http", Exception: "any"}, NotFound(), (404, "Not Found")),
        ({Exception: "any"}, ValueError(), "any"),
        ({Exception: "any", ValueError: "value"}, ValueError(), "value"),
        ({418: "tea"}, HTTPException(418), "tea"),
        ({}, HTTPException(418), (418, "I'm a Teapot")),
        ({}, ValueError(), (500, "Internal Server Error")),
        ({500: "500"}, ValueError(), "500"),
        ({500: "500", InternalServerError: "ise"}, KeyError(), "ise"),
        ({LookupError: "lookup"}, KeyError(), "lookup"),
    ],
)
def test_precedence(table, exc, expected):
    assert chosen(table, exc) == expected == model(table, exc)


KEYS = [NotFound, Teapot, HTTPException, Exception, LookupError, KeyError, InternalServerError, 404, 418, 500]
RAISED = [lambda: NotFound(), lambda: Teapot(), lambda: HTTPException(418), lambda: HTTPException(404),
          lambda: KeyError("k"), lambda: LookupError(), lambda: ValueError(), lambda: InternalServerError()]


@given(st.sets(st.sampled_from(KEYS)), st.sampled_from(RAISED))
def test_precedence_matches_the_model(keys, make):
    table = {key: f"h{i}" for i, key in enumerate(keys)}
    assert chosen(table, make()) == model(table, make())


def test_get_http_exception_handler_refuses_none_and_is_overridable():
    app = BaseApplication(False, Router())
    assert app.get_http_exception_handler(NotFound()) is keystone.handle_not_found
    assert app.get_http_exception_handler(http_exception=BadRequest()) is keystone.handle_bad_request
    assert app.get_http_exception_handler(HTTPException(409)) is keystone.common_http_exception_handler
    for value in (None, ValueError()):
        with pytest.raises(TypeError, match="Argument 'http_exception' has incorrect type"):
            app.get_http_exception_handler(value)

    class App(BaseApplication):
        def get_http_exception_handler(self, http_exception):
            return tagged("override")

    # The native callers (handle_http_exception, the 500 path) reach the override.
    assert body_text(answer(app_raising(NotFound(), App))) == "override"
    assert body_text(answer(app_raising(ValueError(), App))) == "override"


def test_subclass_replaces_the_coroutine_methods(caplog):
    calls = []

    class App(BaseApplication):
        async def log_handled_exc(self, request, exc):
            calls.append("logged")

        async def _apply_exception_handler(self, request, exc, exception_handler):
            calls.append(exception_handler.__name__)
            return await super()._apply_exception_handler(request, exc, exception_handler)

        async def handle_internal_server_error(self, request, exc):
            calls.append("500")
            return Response(503)

    assert answer(app_raising(NotFound(), App)).status == 404
    assert answer(app_raising(RuntimeError(), App)).status == 503
    assert calls == ["logged", "handle_not_found", "500"]
    assert [r.getMessage() for r in caplog.records] == ['Unhandled exception - "GET /x"']


# --- The table's validation ------------------------------------------------------------------------


async def three(app, request, exc): pass
async def star(*args): pass
async def star_and_more(a, *args, b=1, c=2, d=3): pass
async def keyword_third(app, request, *, exc): pass
async def two(app, request): pass
async def four(a, b, c, d): pass
async def with_bound(x, app, request, exc): pass
def plain(app, request, exc): pass


@pytest.mark.parametrize(
    "item, valid",
    [
        (three, True),
        (star, True),
        (star_and_more, True),
        (keyword_third, True),
        (functools.partial(with_bound, 1), True),
        (keystone.handle_not_found, True),
        (keystone.common_http_exception_handler, True),
        (two, False),
        (four, False),
        (plain, False),
        (lambda app, request, exc: None, False),
        (None, False),
    ],
)
def test_handler_validation(item, valid):
    table = ExceptionHandlersDict({400: three})
    if valid:
        table[404] = item
        assert table[404] is item
        ExceptionHandlersDict({404: item}).update({500: item})
    else:
        for store in (lambda: table.__setitem__(404, item), lambda: ExceptionHandlersDict({404: item}),
                      lambda: table.update({404: item})):
            with pytest.raises(InvalidExceptionHandler) as info:
                store()
            assert info.value.args == InvalidExceptionHandler().args
        assert dict(table) == {400: three}


def test_default_handlers_look_like_coroutine_functions():
    for name in ("handle_not_found", "handle_internal_server_error", "handle_bad_request",
                 "handle_unprocessable_entity", "_default_pydantic_validation_error_handler",
                 "common_http_exception_handler"):
        fn = getattr(keystone, name)
        assert inspect.iscoroutinefunction(fn) and fn.__name__ == name
        assert len(inspect.Signature.from_callable(fn).parameters) == 3


# --- Failing handlers, failing 500 handlers, the details handler ----------------------------------------


async def failing(app, request, exc):
    raise RuntimeError("handler broke")


async def with_arg(tag, app, request, exc):
    raise RuntimeError(tag)


@pytest.mark.parametrize("handler", [failing, functools.partial(with_arg, "p")])
def test_failing_handler_falls_back_to_500(caplog, handler):
    app = app_raising(NotFound())
    app.exceptions_handlers[404] = handler
    response = answer(app)
    assert (response.status, body_text(response)) == (500, "Internal Server Error")
    record = caplog.records[-1]
    name = getattr(handler, "__name__", None) or repr(handler)
    assert (record.levelname, record.msg, record.args, record.exc_info) == (
        "ERROR", "Unhandled exception in exception_handler: %s", (name,), None)


def test_failing_handler_with_details_gets_the_original_exception():
    original = NotFound()
    app = app_raising(original, DetailedApp, show_error_details=True)
    app.exceptions_handlers[404] = failing
    request = request_for(b"/x")
    assert body_text(complete(app.handle(request))) == "details"
    assert app.server_error_details_handler.calls == [(request, original)]


def test_unhandled_error_with_details():
    original = ValueError("v")
    app = app_raising(original, DetailedApp, show_error_details=True)
    assert body_text(answer(app)) == "details"
    assert app.server_error_details_handler.calls[0][1] is original


def test_failing_500_handler_is_logged_with_traceback(caplog):
    app = app_raising(ValueError("v"))
    app.exceptions_handlers[500] = failing
    response = answer(app)
    assert (response.status, body_text(response)) == (500, "Internal Server Error")
    record = caplog.records[-1]
    assert record.levelname == "ERROR"
    assert record.getMessage() == (
        "An exception occurred while trying to apply the configured Internal Server Error handler!")
    assert str(record.exc_info[1]) == "handler broke"


@pytest.mark.parametrize("method, args, message", [
    ("handle_exception", (None,), "Expected Exception, got NoneType"),
    ("handle_request_handler_exception", ("x",), "Expected Exception, got str"),
    ("handle_internal_server_error", ("x",), "Argument 'exc' has incorrect type"),
    ("handle_http_exception", (ValueError(),), "Argument 'http_exception' has incorrect type"),
])
def test_method_argument_checks(method, args, message):
    app = BaseApplication(False, Router())
    with pytest.raises(TypeError, match=message):
        complete(getattr(app, method)(request_for(), *args))


# --- The default handlers -----------------------------------------------------------------------------


class WithJson(Exception):
    def json(self):
        return '{"field": "é"}'


def bad_request_in_context(status):
    try:
        try:
            raise WithJson()
        except WithJson:
            raise BadRequest("inner")
    except BadRequest as exc:
        exc.status = status
        return exc


def validation_error():
    class Model(pydantic.BaseModel):
        n: int

    try:
        Model(n="x")
    except pydantic.ValidationError as error:
        return error


JSON = b"application/json"
TEXT = b"text/plain; charset=utf-8"


@pytest.mark.parametrize(
    "handler, exc, status, content_type, body",
    [
        (keystone.handle_not_found, NotFound(), 404, TEXT, b"Resource not found"),
        (keystone.handle_internal_server_error, None, 500, TEXT, b"Internal Server Error"),
        (keystone.handle_bad_request, BadRequest("x"), 400, TEXT, b"Bad Request: x"),
        (keystone.handle_bad_request, bad_request_in_context(409), 409, JSON, '{"field": "é"}'.encode()),
        (keystone.handle_unprocessable_entity, UnprocessableEntity("u", [1, "a"]), 422, JSON, b'[1,"a"]'),
        (keystone.handle_unprocessable_entity, UnprocessableEntity("u", {"k": 1}), 422, JSON, b'{"k":1}'),
        (keystone.handle_unprocessable_entity, UnprocessableEntity("u", "missing"), 422, JSON,
         b'{"error":"missing","type":"validation_error"}'),
        (keystone.handle_unprocessable_entity, UnprocessableEntity("u"), 422, TEXT, b"Unprocessable Entity: u"),
        (keystone.common_http_exception_handler, HTTPException(418), 418, TEXT, b"I'm a Teapot"),
        (keystone._default_pydantic_validation_error_handler, validation_error(), 400, JSON, None),
    ],
)
def test_default_handlers(handler, exc, status, content_type, body):
    response = complete(handler(None, request_for(), exc))
    assert (response.status, response.content.type) == (status, content_type)
    assert response.content.body == (exc.json(indent=4).encode() if body is None else body)


@pytest.mark.parametrize("exc, error", [(HTTPException(599), ValueError), (None, TypeError), (KeyError(), TypeError)])
def test_common_handler_refuses(exc, error):
    with pytest.raises(error):
        complete(keystone.common_http_exception_handler(None, request_for(), exc))


# --- The log lines -------------------------------------------------------------------------------------


class OddURL:
    value = b"/\xff"


class OddRequest(Request):
    @property
    def url(self):
        return OddURL()


@pytest.mark.parametrize(
    "exc, level, msg, args",
    [
        (NotFound("gone"), "INFO", 'HTTP %s - "%s %s". %s', (404, "GET", "/x?q=1", "gone")),
        (UnprocessableEntity("bad"), "INFO", 'HTTP %s - "%s %s". %s', (422, "GET", "/x?q=1", "bad")),
        (pydantic.ValidationError.from_exception_data("M", []), "INFO", 'Handled error: "%s %s". %s', None),
        (ValueError("v"), "ERROR", 'Unhandled exception - "%s %s"', ("GET", "/x?q=1")),
    ],
)
def test_log_lines(caplog, exc, level, msg, args):
    app = app_raising(exc)
    complete(app.handle(Request.incoming("GET", b"/x", b"q=1", [])))
    [record] = caplog.records
    assert (record.name, record.levelname, record.msg) == (LOGGER, level, msg)
    assert record.args == (args or ("GET", "/x?q=1", str(exc)))
    assert (record.exc_info is not None) == (level == "ERROR")
    if record.exc_info:
        assert record.exc_info[1] is exc


@pytest.mark.parametrize(
    "request_, shown",
    [
        (Request.incoming("GET", b"/caf\xc3\xa9\xff", b"", []), "/caf\xe9\\xff"),  # the URL type refuses it
        (OddRequest.incoming("GET", b"/\xff", b"", []), "/\\xff"),  # a URL whose value is not UTF-8
    ],
)
@pytest.mark.parametrize("exc", [ValueError("v"), NotFound()])
def test_log_lines_survive_undecodable_urls(caplog, request_, shown, exc):
    app = app_raising(exc)
    response = complete(app.handle(request_))
    assert response.status in (404, 500)
    assert caplog.records[-1].args[-2 if isinstance(exc, NotFound) else 1] == shown
