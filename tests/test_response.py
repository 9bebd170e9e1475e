"""Response: construction, the native layout of its fields, status and reason, the cookie operations
over the set-cookie headers, the table operations (overrides reached natively), reset and repr."""

import ctypes
import gc
import weakref
from datetime import timedelta

import pytest

from quillmoth.contents import Content
from quillmoth.cookies import Cookie
from quillmoth.messages import Message, Response
from quillmoth.utils.time import utcnow
from test_request import Disposing, native_op, raw


class TestConstruction:
    def test_defaults_and_adoption(self):
        r = Response(204)
        assert (r.status, raw(r), r.content, r.state, r._context, r.reason) == (204, [], None, None, None, "No Content")
        pairs, content = [(b"a", b"1")], Content(b"t", b"b")
        r = Response(status=201, headers=pairs, content=content)
        assert raw(r) is pairs and r.content is content
        empty = []
        assert raw(Response(200, empty)) is not empty

    @pytest.mark.parametrize("args, error, text", [
        ((2**31,), OverflowError, "value too large to convert to int"),
        (("200",), TypeError, "'str' object cannot be interpreted as an integer"),
        ((200, ()), TypeError, "Argument 'headers' has incorrect type (expected list, got tuple)"),
        ((200, None, b""), TypeError, "Argument 'content' has incorrect type (expected quillmoth.contents.Content, "
                                      "got bytes)"),
        ((), TypeError, "__init__() takes at least 1 positional argument (0 given)"),
    ])
    def test_bad_arguments(self, args, error, text):
        with pytest.raises(error) as info:
            Response(*args)
        assert str(info.value) == text

    def test_native_layout(self):
        r = Response(-(2**31))
        r.state, r._context = object(), object()
        base = id(r) + Message.__basicsize__
        assert ctypes.c_int32.from_address(base).value == -(2**31)
        assert ctypes.py_object.from_address(base + 8).value is r.state
        assert ctypes.py_object.from_address(base + 16).value is r._context

    def test_fields(self):
        r = Response(200)
        r.status = 2**31 - 1
        for value, error in [(2**31, OverflowError), (1.5, TypeError), (None, TypeError)]:
            with pytest.raises(error):
                r.status = value
        with pytest.raises(NotImplementedError, match="^__del__$"):
            del r.status
        r.state, r._context = 1, 2
        del r.state, r._context
        assert (r.status, r.state, r._context) == (2**31 - 1, None, None)

    def test_reason_and_repr(self):
        assert (Response(418).reason, repr(Response(404)), repr(Response(-1))) == ("I'm a Teapot", "<Response 404>",
                                                                                   "<Response -1>")
        for status in (299, 999, 0):
            with pytest.raises(ValueError, match=f"^{status} is not a valid HTTPStatus$"):
                Response(status).reason


class TestCookies:
    def test_set_get_and_remove(self):
        r = Response(200, [(b"x", b"1")])
        r.set_cookie(Cookie("a", "first"))
        r.set_cookies([Cookie("b", "2"), Cookie("a", "second")])
        assert [n for n, _ in raw(r)] == [b"x", b"set-cookie", b"set-cookie", b"set-cookie"]
        assert {n: c.value for n, c in r.get_cookies().items()} == {"a": "second", "b": "2"}
        assert r.cookies.keys() == {"a", "b"} and r.get_cookie("a").value == "first"
        assert r.get_cookie("zz") is None and Response(200).get_cookie("a") is None
        before = list(raw(r))
        r.remove_cookie("zz")
        assert raw(r) == before
        r.remove_cookie(name="a")
        assert raw(r) == [before[0], before[2]]

    def test_unset_cookie_expires_a_year_ago(self):
        r = Response(200)
        r.unset_cookie("gone")
        (cookie,) = r.get_cookies().values()
        assert (cookie.name, cookie.value) == ("gone", "")
        assert abs(cookie.expires.replace(tzinfo=None) - (utcnow() - timedelta(days=365)).replace(tzinfo=None)) \
            < timedelta(minutes=1)

    def test_set_cookies_and_unset_cookie_call_a_subclass_set_cookie(self):
        seen = []
        Sub = type("Sub", (Response,), {"set_cookie": lambda self, cookie: seen.append(cookie.name)})
        r = Sub(200)
        r.set_cookies([Cookie("a", "1"), Cookie("b", "2")])
        r.unset_cookie("c")
        assert seen == ["a", "b", "c"] and raw(r) == []

    @pytest.mark.parametrize("call, text, kept", [
        (lambda r: r.set_cookie(None),
         "Argument 'cookie' has incorrect type (expected quillmoth.cookies.Cookie, got NoneType)", 0),
        (lambda r: r.set_cookies((Cookie("a", "1"),)), "Argument 'cookies' has incorrect type (expected list, got tuple)",
         0),
        (lambda r: r.set_cookies([Cookie("a", "1"), 1]), "Cannot convert int to quillmoth.cookies.Cookie", 1),
        (lambda r: r.get_cookie(1), "Argument 'name' has incorrect type (expected str, got int)", 0),
    ])
    def test_errors(self, call, text, kept):
        r = Response(200)
        with pytest.raises(TypeError) as info:
            call(r)
        assert str(info.value) == text and len(raw(r)) == kept

    @pytest.mark.parametrize("reader", [Response.get_cookies, lambda r: r.get_cookie("a"),
                                        lambda r: r.remove_cookie("a")])
    def test_values_must_be_bytes(self, reader):
        with pytest.raises(TypeError, match="^Expected bytes, got str$"):
            reader(Response(200, [(b"Set-Cookie", "a=1")]))


class TestOperations:
    @pytest.mark.parametrize("status", range(295, 312))
    def test_is_redirect(self, status):
        r = Response(status)
        assert r.is_redirect() is (status in {301, 302, 303, 307, 308}) and native_op(r, 19)() == r.is_redirect()

    def test_overrides_are_reached_natively(self):
        seen = []
        Sub = type("Sub", (Response,), {"is_redirect": lambda self: True, "reset": lambda self: seen.append(1)})
        r = Sub(200)
        assert native_op(r, 19)() == 1 and native_op(r, 20)() == 0 and seen == [1]

    def test_cycles_through_a_subclass_instance_are_collected(self):
        r = type("Sub", (Response,), {})(200)
        r.state, ref = {"back": r}, weakref.ref(r)
        del r
        gc.collect()
        assert ref() is None

    def test_reset(self):
        content = Disposing(b"t", b"b")
        r = Response(404, [(b"a", b"1")], content)
        r.state, r._context, r.context, r._form_data, view, old = 1, 2, 3, {}, r.headers, raw(r)
        assert r.reset() is None and content.disposed == 1
        assert (r.status, r.state, r._context, r.context, r._form_data, r._headers, r.content) == \
            (200, None, 2, None, None, None, None)
        assert raw(r) == [] and raw(r) is not old and r.headers is not view
