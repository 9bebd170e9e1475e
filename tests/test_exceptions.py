"""Framework exception classes: the native status/field layouts, constructors, pickling and
memory management."""

import ctypes
import gc
import pickle
import sys
import tracemalloc
import weakref

import pytest

from quillmoth.exceptions import (
    BadRequest,
    BadRequestFormat,
    FailedRequestError,
    HTTPException,
    InternalServerError,
    InvalidArgument,
    InvalidExceptionHandler,
    InvalidOperation,
    MessageAborted,
    NotFound,
    UnprocessableEntity,
    UnsupportedMediaType,
)

STATUS_OFFSET = Exception.__basicsize__
FIELD_OFFSET = HTTPException.__basicsize__

SOURCE = ValueError("source")

# (class, constructor args, status, str(exc), field name, field value)
CASES = [
    (HTTPException, (418,), 418, "HTTP exception", None, None),
    (HTTPException, (503, "down"), 503, "down", None, None),
    (HTTPException, (400, None), 400, "HTTP exception", None, None),
    (BadRequest, (), 400, "Bad request", None, None),
    (BadRequest, ("Missing Host header",), 400, "Missing Host header", None, None),
    (NotFound, (), 404, "Not found", None, None),
    (NotFound, (None,), 404, "Not found", None, None),
    (UnsupportedMediaType, ("only json",), 415, "only json", None, None),
    (InternalServerError, (), 500, "Internal server error", "source_error", None),
    (InternalServerError, (SOURCE,), 500, "Internal server error", "source_error", SOURCE),
    (BadRequestFormat, ("Cannot parse content as JSON", SOURCE), 400, "Cannot parse content as JSON", "source_error", SOURCE),
    (BadRequestFormat, ("no source",), 400, "no source", "source_error", None),
    (UnprocessableEntity, (), 422, "Unprocessable entity", "details", None),
    (UnprocessableEntity, ("invalid", [{"loc": "a"}]), 422, "invalid", "details", [{"loc": "a"}]),
    (
        FailedRequestError,
        (502, "upstream said no"),
        502,
        "The response status code does not indicate success: 502. Response body: upstream said no",
        "data",
        "upstream said no",
    ),
]


def case_id(case):
    return f"{case[0].__name__}{case[1]!r}"


@pytest.mark.parametrize("cls, args, status, text, field, value", CASES, ids=[case_id(c) for c in CASES])
def test_constructors(cls, args, status, text, field, value):
    exc = cls(*args)
    assert exc.status == status
    assert str(exc) == text
    assert isinstance(exc, HTTPException) and isinstance(exc, Exception)
    # The status sits right after the interpreter's exception object, where keystone reads it.
    assert ctypes.c_int32.from_address(id(exc) + STATUS_OFFSET).value == status
    if field:
        assert getattr(exc, field) == value
        assert ctypes.c_void_p.from_address(id(exc) + FIELD_OFFSET).value == id(getattr(exc, field))


@pytest.mark.parametrize("cls, args, status, text, field, value", CASES, ids=[case_id(c) for c in CASES])
def test_pickle_round_trip(cls, args, status, text, field, value):
    exc = cls(*args)
    copy = pickle.loads(pickle.dumps(exc))
    assert type(copy) is cls
    assert (copy.status, str(copy)) == (status, text)
    if field:
        restored = getattr(copy, field)
        if isinstance(value, BaseException):
            assert type(restored) is type(value) and restored.args == value.args
        else:
            assert restored == value


def test_keyword_arguments():
    assert HTTPException(status=409, message="conflict").status == 409
    assert UnprocessableEntity(details={"x": 1}).details == {"x": 1}
    assert InternalServerError(source_error=SOURCE).source_error is SOURCE
    assert FailedRequestError(data="d", status=400).data == "d"
    assert str(BadRequestFormat(message="m")) == "m"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: HTTPException(), TypeError, "HTTPException() takes at least 1 positional argument (0 given)"),
        (lambda: HTTPException("404"), TypeError, None),
        (lambda: HTTPException(2**31), OverflowError, "value too large to convert to int"),
        (lambda: HTTPException(400, b"msg"), TypeError, "Argument 'message' has incorrect type (expected str, got bytes)"),
        (lambda: BadRequest(1), TypeError, "Argument 'message' has incorrect type (expected str, got int)"),
        (lambda: BadRequest("a", "b"), TypeError, "BadRequest() takes at most 1 positional argument (2 given)"),
        (lambda: BadRequestFormat(), TypeError, "BadRequestFormat() takes at least 1 positional argument (0 given)"),
        (lambda: FailedRequestError(500), TypeError, "FailedRequestError() takes exactly 2 positional arguments (1 given)"),
        (lambda: NotFound(message="x", other=1), TypeError, "NotFound() got an unexpected keyword argument 'other'"),
    ],
)
def test_constructor_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message:
        assert str(info.value) == message


def test_status_attribute_is_writable_as_int32():
    exc = NotFound()
    exc.status = 410
    assert exc.status == 410
    assert ctypes.c_int32.from_address(id(exc) + STATUS_OFFSET).value == 410
    with pytest.raises(OverflowError):
        exc.status = -(2**31) - 1
    with pytest.raises(NotImplementedError, match="__del__"):
        del exc.status
    assert exc.status == 410


def test_field_attributes_set_and_delete():
    exc = UnprocessableEntity()
    exc.details = ["a"]
    assert exc.details == ["a"]
    del exc.details
    assert exc.details is None


def test_hierarchy():
    for cls in (BadRequest, NotFound, UnsupportedMediaType, InternalServerError, BadRequestFormat,
                UnprocessableEntity, FailedRequestError):
        assert cls.__mro__[1] is HTTPException
    assert HTTPException.__mro__[1] is Exception
    for cls in (MessageAborted, InvalidArgument, InvalidOperation, InvalidExceptionHandler):
        assert issubclass(cls, Exception) and not issubclass(cls, HTTPException)


def test_raise_and_chain():
    try:
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise InternalServerError(inner)
    except HTTPException as exc:
        assert exc.status == 500
        assert isinstance(exc.__context__, KeyError)
        assert exc.source_error is exc.__context__
        assert exc.__traceback__ is not None


class Teapot(HTTPException):
    def __init__(self, flavour):
        super().__init__(418, f"I'm a teapot ({flavour})")
        self.flavour = flavour

    def __reduce__(self):
        return (Teapot, (self.flavour,))


def test_python_subclasses():
    class Loose(BadRequest):
        def __init__(self):  # does not call the base constructor
            pass

    teapot = Teapot("green")
    assert (teapot.status, str(teapot), teapot.flavour) == (418, "I'm a teapot (green)", "green")
    copy = pickle.loads(pickle.dumps(teapot))
    assert (copy.status, copy.flavour) == (418, "green")
    loose = Loose()
    assert loose.status == 0 and isinstance(loose, HTTPException)


def test_subclass_attributes_travel_with_pickle():
    exc = ModuleLevelNotFound("gone")
    exc.tag = "t"
    copy = pickle.loads(pickle.dumps(exc))
    assert (type(copy), copy.status, str(copy), copy.tag) == (ModuleLevelNotFound, 404, "gone", "t")


class ModuleLevelNotFound(NotFound):
    pass


@pytest.mark.parametrize("cls, field", [(InternalServerError, "source_error"), (UnprocessableEntity, "details")])
def test_reference_cycle_through_field_is_collected(cls, field):
    class Cyclic(cls):
        pass

    exc = Cyclic()
    setattr(exc, field, exc)
    ref = weakref.ref(exc)
    del exc
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize(
    "cls, args",
    [(HTTPException, (400,)), (NotFound, ()), (InternalServerError, (SOURCE,)), (FailedRequestError, (500, "x"))],
)
def test_instances_release_their_class_and_fields(cls, args):
    gc.collect()
    class_refs = sys.getrefcount(cls)
    source_refs = sys.getrefcount(SOURCE)
    for _ in range(1000):
        exc = cls(*args)
        pickle.loads(pickle.dumps(exc))
        try:
            raise exc
        except HTTPException:
            pass
    del exc
    gc.collect()
    assert sys.getrefcount(cls) == class_refs
    assert sys.getrefcount(SOURCE) == source_refs


def test_error_paths_do_not_leak():
    def operations():
        for call in (lambda: HTTPException("x"), lambda: BadRequest(1), lambda: FailedRequestError(1),
                     lambda: HTTPException(400, 1)):
            try:
                call()
            except TypeError:
                pass
        BadRequestFormat("m", SOURCE)
        FailedRequestError(404, "body")

    tracemalloc.start()
    try:
        for _ in range(500):
            operations()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(3000):
            operations()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 32 * 1024


@pytest.mark.parametrize(
    "exc, text",
    [
        (MessageAborted(), "The connection was lost or closed by the client while the request body was being received."),
        (InvalidArgument("bad value"), "bad value"),
        (InvalidOperation("not now"), "not now"),
        (InvalidExceptionHandler(), None),
    ],
)
def test_plain_framework_exceptions(exc, text):
    if text:
        assert str(exc) == text
    else:
        assert "three parameters" in str(exc)
    copy = pickle.loads(pickle.dumps(exc))
    assert type(copy) is type(exc) and str(copy) == str(exc)


def test_message_aborted_caught_with_subclasses():
    class ClientGone(MessageAborted):
        pass

    with pytest.raises(MessageAborted):
        raise ClientGone()


class ChainEnd(InternalServerError):
    pass


@pytest.mark.parametrize("link", ["field", "context"])
def test_long_exception_chains_are_freed_without_overflowing(link):
    end = ChainEnd()
    end_ref = weakref.ref(end)
    exc = end
    del end
    for _ in range(200000):
        if link == "field":
            exc = InternalServerError(exc)
        else:
            new = NotFound()
            new.__context__ = exc
            exc = new
            del new
    # Freeing the head frees the whole chain, one object after the other, down to its end.
    del exc
    assert end_ref() is None
