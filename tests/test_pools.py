"""The message pools and the request helpers (CORS tests, absolute URLs), from Python and through the
native exports that sibling modules bind."""

import ctypes
import sys

import pytest

from conftest import bind_export, export_signature
from quillmoth import messages
from quillmoth.cookies import Cookie
from quillmoth.exceptions import BadRequest
from quillmoth.messages import (Request, Response, acquire_request, acquire_response, ensure_bytes,
                                get_absolute_url_to_path, get_request_absolute_url, is_cors_preflight_request,
                                is_cors_request, release_request, release_response)
from quillmoth.url import URL, build_absolute_url
from test_request import Disposing, raw

POOLS = (messages._REQUEST_FREELIST, messages._RESPONSE_FREELIST)
_obj, _ptr, _int = ctypes.py_object, ctypes.c_void_p, ctypes.c_int
_decref = ctypes.pythonapi.Py_DecRef
_decref.argtypes = [ctypes.c_void_p]


@pytest.fixture(autouse=True)
def empty_pools():
    for pool in POOLS:
        pool.clear()
    yield
    for pool in POOLS:
        pool.clear()


def counting(base):
    """A subclass of `base` whose reset calls are counted (and run the native reset)."""
    return type("Counting", (base,), {"resets": 0, "reset": lambda self: (setattr(self, "resets", self.resets + 1),
                                                                          base.reset(self))[1]})


def take(address):
    """The object of a returned new reference, which the caller then owns."""
    obj = ctypes.cast(address, ctypes.py_object).value
    _decref(address)
    return obj


class TestRequestPool:
    def test_module_state(self):
        assert POOLS == ([], []) and messages._MAX_FREELIST_CAPACITY == 512

    @pytest.mark.parametrize("reuse", [False, True])
    def test_acquired_requests_hold_exactly_the_arguments(self, reuse):
        old = acquire_request("GET", b"/old", b"o", [(b"a", b"1")], {"old": 1})
        old.content, old.state, old._user, old._session, old.route_values = Disposing(b"", b""), 1, 2, 3, {}
        old.url = b"https://h/x"
        if reuse:
            release_request(old)
        headers, scope = [(b"h", b"v")], {"type": "http"}
        r = acquire_request("POST", b"/p", b"q=1", headers, scope)
        assert (r is old) == reuse and POOLS[0] == []
        assert (r.method, r._path, r._raw_query, r.scope) == ("POST", b"/p", b"q=1", scope) and raw(r) is headers
        assert (r.content, r._url, r.route_values, r._user, r.state, r._session) == (None,) * 6
        a, b, empty = acquire_request(None, None, None, None, None), acquire_request(None, None, None, None, None), []
        assert raw(a) == [] and raw(a) is not raw(b) and raw(acquire_request("GET", b"/", b"", empty, None)) is empty

    @pytest.mark.parametrize("args, text", [
        (("GET", b"/", "", None, None), "Argument 'raw_query' has incorrect type (expected bytes, got str)"),
        (("GET", b"/", b"", (), None), "Argument 'headers' has incorrect type (expected list, got tuple)"),
        (("GET", b"/", b"", None), "acquire_request() takes exactly 5 positional arguments (4 given)"),
    ])
    def test_bad_arguments(self, args, text):
        with pytest.raises(TypeError) as info:
            acquire_request(*args)
        assert str(info.value) == text

    def test_release_resets_through_the_table_and_stacks(self):
        Sub = counting(Request)
        first, second = Sub("GET", b"/1", None), Request("GET", b"/2", None)
        release_request(first), release_request(request=second)
        assert POOLS[0] == [first, second] and first.resets == 1 and first.method == second.method == ""
        assert acquire_request("GET", None, None, None, None) is second and acquire_request("GET", None, None, None,
                                                                                            None) is first

    def test_capacity(self):
        for _ in range(512):
            release_request(Request("GET", b"/", None))
        late = Request("PUT", b"/late", None)
        late.content = content = Disposing(b"", b"x")
        release_request(late)
        assert len(POOLS[0]) == 512 and late not in POOLS[0] and content.disposed == 0 and late.method == "PUT"

    def test_a_pooled_object_is_added_and_reset_once(self):
        r = counting(Request)("GET", b"/", None)
        release_request(r), release_request(r)
        assert POOLS[0] == [r] and r.resets == 1
        POOLS[0].pop()  # taken out from Python: the mark must not keep it out of the pool
        release_request(r)
        assert POOLS[0] == [r] and r.resets == 2
        assert acquire_request("GET", None, None, None, None) is r
        release_request(r)
        assert POOLS[0] == [r] and r.resets == 3

    @pytest.mark.parametrize("index, kind", [(0, Request), (1, Response)])
    def test_foreign_items_in_the_lists_are_dropped(self, index, kind):
        good = kind("GET", None, None) if kind is Request else kind(200)
        POOLS[index][:] = [good, 1, Response(200) if kind is Request else Request("GET", None, None), "x"]
        got = acquire_request("GET", None, None, None, None) if kind is Request else acquire_response()
        assert got is good and POOLS[index] == []

    @pytest.mark.parametrize("kind, release", [(Request, release_request), (Response, release_response)])
    def test_a_failing_reset_propagates_and_the_object_is_not_pooled(self, kind, release):
        Sub = type("Sub", (kind,), {"reset": lambda self: 1 / 0})
        with pytest.raises(ZeroDivisionError):
            release(Sub("GET", None, None) if kind is Request else Sub(200))
        assert POOLS == ([], [])


class TestResponsePool:
    @pytest.mark.parametrize("reuse", [False, True])
    def test_acquired_responses(self, reuse):
        old = Response(500, [(b"a", b"1")], Disposing(b"", b"x"))
        if reuse:
            release_response(old)
            assert old.content is None
        r = acquire_response()
        assert (r is old) == reuse and (r.status, raw(r), r.content) == (200, [], None)
        release_response(r)
        empty, content = [], Disposing(b"t", b"b")
        r = acquire_response(status=404, headers=empty, content=content)
        assert (r.status, r.content) == (404, content) and raw(r) is empty  # an empty list is adopted too
        release_response(r)
        assert content.disposed == 1 and POOLS[1] == [r]

    @pytest.mark.parametrize("args, error", [(("200",), TypeError), ((2**31,), OverflowError),
                                             ((200, ()), TypeError), ((200, None, b""), TypeError)])
    def test_bad_arguments(self, args, error):
        with pytest.raises(error):
            acquire_response(*args)


def helper_request(*pairs, method="GET", scope=None, url=None):
    r = Request.incoming(method, b"/items", b"q=1", list(pairs))
    r.scope = {"scheme": "https", "root_path": "/app"} if scope is None else scope
    if url:
        r.url = url
    return r


class TestHelpers:
    @pytest.mark.parametrize("method, pairs, cors, preflight", [
        ("GET", [], False, False), ("GET", [(b"ORIGIN", b"")], False, False), ("GET", [(b"origin", b"o")], True, False),
        ("OPTIONS", [(b"Origin", b"o"), (b"access-control-request-method", b"PUT")], True, True),
        ("options", [(b"Origin", b"o"), (b"Access-Control-Request-Method", b"PUT")], True, False),
        ("OPTIONS", [(b"Origin", b"o"), (b"Access-Control-Request-Method", b"")], True, False),
        ("OPTIONS", [(b"Access-Control-Request-Method", b"PUT")], False, False),
    ])
    def test_cors(self, method, pairs, cors, preflight):
        r = helper_request(*pairs, method=method)
        assert is_cors_request(r) is cors and is_cors_preflight_request(request=r) is preflight

    def test_headers_are_read_through_the_table(self):
        seen = []
        Sub = type("Sub", (Request,), {"get_first_header": lambda self, key: seen.append(key) or b"x"})
        assert is_cors_preflight_request(Sub("OPTIONS", None, None)) is True
        assert seen == [b"Origin", b"Access-Control-Request-Method"]

    def test_absolute_urls(self):
        absolute = helper_request(url=b"https://elsewhere/x")
        assert get_request_absolute_url(absolute) is absolute.url
        r = helper_request((b"host", b"h"))
        assert get_request_absolute_url(r).value == build_absolute_url(b"https", b"h", b"/app", b"/items").value
        assert get_absolute_url_to_path(r, "/login").value == b"https://h/app/login"

    def test_properties_are_read_as_the_object_answers_them(self):
        class Sub(Request):
            host = property(lambda self: "sub.host")
            url = property(lambda self: URL(b"/relative"))

        r = Sub.incoming("GET", b"/p", b"", None)
        r._scheme = "http"
        assert get_request_absolute_url(r).value == b"http://sub.host/p"

    @pytest.mark.parametrize("call, error, text", [
        (lambda: get_request_absolute_url(helper_request()), BadRequest, "Missing Host header"),
        (lambda: get_absolute_url_to_path(helper_request((b"host", b"h"), scope={"scheme": 1}), "/"), ValueError,
         "Input value must be bytes or str"),
        (lambda: get_absolute_url_to_path(helper_request((b"host", b"h")), None), ValueError,
         "Input value must be bytes or str"),
        (lambda: get_absolute_url_to_path(helper_request(), b"/"), TypeError,
         "Argument 'path' has incorrect type (expected str, got bytes)"),
        (lambda: is_cors_request(Response(200)), TypeError,
         "Argument 'request' has incorrect type (expected quillmoth.messages.Request, got quillmoth.messages.Response)"),
    ])
    def test_errors(self, call, error, text):
        with pytest.raises(error) as info:
            call()
        assert str(info.value) == text

    @pytest.mark.parametrize("value, expected", [("é", "é".encode()), (b"\xff", b"\xff"), ("", b""),
                                                 (bytearray(b"x"), ValueError), (1, ValueError),
                                                 (type("B", (bytes,), {})(b"x"), TypeError)])
    def test_ensure_bytes(self, value, expected):
        if isinstance(expected, type):
            with pytest.raises(expected):
                ensure_bytes(value)
        else:
            result = ensure_bytes(value)
            assert result == expected and (result is value) == isinstance(value, bytes)


REQUEST_TESTS = ["is_cors_request", "is_cors_preflight_request"]


class TestNativeExports:
    def test_signatures(self):
        expected = {
            "acquire_request": b"RequestObject *(PyObject *, PyObject *, PyObject *, PyObject *, PyObject *, int)",
            "release_request": b"int (RequestObject *, int)", "release_response": b"int (ResponseObject *, int)",
            "acquire_response": b"ResponseObject *(int, PyObject *, PyObject *, int)",
            **{name: b"int (RequestObject *, int)" for name in REQUEST_TESTS},
            "get_request_absolute_url": b"PyObject *(RequestObject *, int)",
            "get_absolute_url_to_path": b"PyObject *(RequestObject *, PyObject *, int)",
        }
        assert {name: export_signature(messages, name) for name in expected} == expected

    def test_pool_cycle(self):
        acquire = bind_export(messages, "acquire_request", _ptr, _obj, _obj, _obj, _obj, _obj, _int)
        release = bind_export(messages, "release_request", _int, _obj, _int)
        headers = [(b"origin", b"o"), (b"host", b"h")]
        r = take(acquire("OPTIONS", b"/n", None, headers, None, 0))
        assert (r.method, r._path, raw(r) is headers) == ("OPTIONS", b"/n", True)
        assert release(r, 0) == 0 and POOLS[0] == [r] and take(acquire("GET", None, None, None, None, 0)) is r
        get = bind_export(messages, "acquire_response", _ptr, _int, _obj, _obj, _int)
        give = bind_export(messages, "release_response", _int, _obj, _int)
        response = take(get(302, None, None, 0))
        assert response.status == 302 and give(response, 0) == 0 and POOLS[1] == [response]
        with pytest.raises(TypeError, match="'headers'"):
            get(200, (), None, 0)

    def test_helpers(self):
        r = helper_request((b"Origin", b"o"), (b"host", b"h"))
        assert bind_export(messages, "is_cors_request", _int, _obj, _int)(r, 0) == 1
        assert bind_export(messages, "is_cors_preflight_request", _int, _obj, _int)(r, 0) == 0
        url = bind_export(messages, "get_request_absolute_url", _ptr, _obj, _int)
        to_path = bind_export(messages, "get_absolute_url_to_path", _ptr, _obj, _obj, _int)
        assert take(url(r, 0)).value == b"https://h/app/items"
        assert take(to_path(r, b"/raw", 0)).value == take(to_path(r, "/raw", 0)).value == b"https://h/app/raw"

    @pytest.mark.parametrize("name, extra, wrong", [
        (name, extra, wrong) for name, extra, right in [
            *[(n, (), Request) for n in REQUEST_TESTS], ("get_request_absolute_url", (), Request),
            ("get_absolute_url_to_path", (b"/",), Request), ("release_request", (), Request),
            ("release_response", (), Response)]
        for wrong in ["null", None, Response(200), Request("GET", None, None), 1] if not isinstance(wrong, right)])
    def test_other_objects_are_refused(self, name, extra, wrong):
        fn = bind_export(messages, name, _ptr if name.startswith("get") else _int, _ptr, *[_obj] * len(extra), _int)
        with pytest.raises(TypeError, match="has incorrect type"):
            fn(None if wrong == "null" else id(wrong), *extra, 0)


class TestReferenceCounts:
    """Requests, responses, the pools and the helpers give back every reference they take, on their
    error paths too."""

    def test_no_leaks(self):
        name, value, path = "".join(["n", "m"]), "".join(["v", " "]), b"".join([b"/", b"p"])
        scope, cookie = {"scheme": "https", "client": ("1.2.3.4", 1)}, Cookie(name, "v")
        headers = [(b"host", b"h"), (b"cookie", b"a=1; \xff=2; b"), (b"origin", b"o")]
        watched = [name, value, path, scope, headers, cookie]
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(300):
            r = acquire_request("GET", path, b"x=1", list(headers), scope)
            r.host, r.url, r.path, r.query, r.cookies, r.scheme, r.client_ip, r.user, repr(r)
            r.set_cookie(name, value), r.get_cookie(name)
            is_cors_preflight_request(r), get_request_absolute_url(r), get_absolute_url_to_path(r, name)
            r.query = {name: value}
            response = acquire_response(201, list(headers))
            response.set_cookie(cookie), response.get_cookies(), response.get_cookie(name)
            response.remove_cookie(name), response.unset_cookie(name), response.reason, repr(response)
            for bad in (lambda: setattr(r, "method", path), lambda: setattr(r, "url", 1), lambda: r.session,
                        lambda: Request(name, value, None), lambda: r.set_cookie(name, path),
                        lambda: acquire_request(name, path, b"", (), scope), lambda: response.set_cookie(name),
                        lambda: response.set_cookies([cookie, name]), lambda: release_request(response)):
                with pytest.raises(TypeError):
                    bad()
            release_request(r), release_response(response)
        del r, response
        for pool in POOLS:
            pool.clear()
        assert [sys.getrefcount(o) for o in watched] == before
