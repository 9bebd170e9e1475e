"""Request: construction, the native field layout and its typed setters, the lazy properties, cookies,
the table operations (reached natively, overrides included), dispose, repr and the object's life."""

import ctypes
import gc
import weakref
from types import SimpleNamespace
from urllib.parse import parse_qs, unquote

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quillmoth.contents import Content
from quillmoth.exceptions import BadRequest
from quillmoth.messages import Message, Request
from quillmoth.url import URL
from vellumgate import Identity

FIELDS = ["method", "_url", "_path", "_raw_query", "route_values", "scope", "_user", "_di_scope", "state",
          "_session", "_base_path", "_original_client_ip", "_host", "_scheme", "_context", "services",
          "_is_disconnected"]


def req(*pairs, url=b"/", method="GET"):
    return Request(method, url, list(pairs) or None)


def raw(message):
    return message.headers.values


def native_op(obj, index, restype=ctypes.c_int, *argtypes):
    """Entry `index` of the object's operation table (19 of Message come first), called with flag 0."""
    table = ctypes.c_void_p.from_address(id(obj) + object.__basicsize__).value
    address = ctypes.c_void_p.from_address(table + index * ctypes.sizeof(ctypes.c_void_p)).value
    fn = ctypes.PYFUNCTYPE(restype, ctypes.py_object, *argtypes, ctypes.c_int)(address)
    return lambda *args: fn(obj, *args, 0)


class Disposing(Content):
    def __init__(self, *args):
        super().__init__(*args)
        self.disposed = 0

    def dispose(self):
        self.disposed += 1


class TestConstruction:
    @pytest.mark.parametrize("url, path, query", [(b"/a?x=1", b"/a", b"x=1"), (b"https://h/p", b"/p", None),
                                                  (b"", None, None), (None, None, None)])
    def test_url_splits_into_raw_path_and_query(self, url, path, query):
        r = Request("GET", url, None)
        assert (r._path, r._raw_query) == (path, query)
        assert (r._url is None) == (not url) and r._session is None and raw(r) == []

    def test_header_list_adoption(self):
        pairs, empty = [(b"a", b"1")], []
        a, b = Request("GET", None, empty), Request("GET", None, empty)
        assert raw(Request("GET", None, pairs)) is pairs and raw(a) is not empty and raw(a) is not raw(b)

    @pytest.mark.parametrize("call, text", [
        (lambda: Request(1, None, None), "Argument 'method' has incorrect type (expected str, got int)"),
        (lambda: Request("GET", "/", None), "Argument 'url' has incorrect type (expected bytes, got str)"),
        (lambda: Request.incoming("GET", b"/", "", None), "Argument 'query' has incorrect type (expected bytes, got str)"),
        (lambda: Request.incoming("GET", b"/", b""), "incoming() takes exactly 4 positional arguments (3 given)"),
    ])
    def test_bad_arguments(self, call, text):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == text

    def test_incoming_builds_the_class_it_is_called_on_without_parsing(self):
        class Sub(Request):
            def __init__(self, method, url, headers):
                super().__init__(method, url, headers)
                self.built = (method, url)

        r = Sub.incoming(method="PUT", path=b"/a", query=b"", headers=[(b"k", b"v")])
        assert type(r) is Sub and r.built == ("PUT", None) and r._url is None
        assert (r._path, r._raw_query, raw(r)) == (b"/a", b"", [(b"k", b"v")])
        assert r.query == {} and r.url.value == b"/a" and r._url is r.url  # no "?" for an empty query


class TestFields:
    @pytest.mark.parametrize("index, name", list(enumerate(FIELDS)))
    def test_declared_order_in_the_native_layout_and_deletion(self, index, name):
        r = req()
        value = URL(b"/x") if name == "_url" else (b"v" if name in ("_path", "_raw_query") else "v")
        setattr(r, name, value)
        offset = Message.__basicsize__ + index * ctypes.sizeof(ctypes.c_void_p)
        assert ctypes.py_object.from_address(id(r) + offset).value is value
        delattr(r, name)
        assert getattr(r, name) is None
        with pytest.raises(AttributeError):  # a fixed layout, no instance dict
            r.anything = 1

    @pytest.mark.parametrize("name, value, text", [
        *[(n, 1, "Expected str, got int") for n in ("method", "_base_path", "_original_client_ip", "_host", "_scheme")],
        *[(n, "x", "Expected bytes, got str") for n in ("_path", "_raw_query")],
        ("_url", b"/x", "Cannot convert bytes to quillmoth.url.URL"),
        *[(n, b"x", "Argument 'value' has incorrect type (expected str, got bytes)")
          for n in ("host", "base_path", "original_client_ip", "scheme")],
        ("scheme", None, "Argument 'value' has incorrect type (expected str, got NoneType)"),
    ])
    def test_typed_setters(self, name, value, text):
        r = req()
        with pytest.raises(TypeError) as info:
            setattr(r, name, value)
        assert str(info.value) == text
        if name != "scheme":  # None passes, except for scheme
            setattr(r, name, None)
            assert getattr(r, name if name in FIELDS else "_" + name) is None

    @pytest.mark.parametrize("name", ["query", "url", "session", "identity", "user", "scheme", "host", "base_path",
                                      "original_client_ip", "path", "client_ip", "cookies", "etag", "if_none_match"])
    def test_computed_properties_cannot_be_deleted(self, name):
        # Those with a setter refuse deletion; the others are read-only.
        with pytest.raises(AttributeError if name in ("path", "client_ip", "cookies", "etag", "if_none_match")
                           else NotImplementedError, match="^__del__$|not writable"):
            delattr(req(), name)


class TestProperties:
    def test_user_identity_and_session(self):
        r = req()
        assert type(r.user) is Identity and r.user is r.user is r.identity is r._user
        r.identity = "someone"
        assert r.user == r._user == "someone"
        with pytest.raises(TypeError, match="^A session is not configured for this request, activate sessions "
                                            "using `app.use_sessions` method.$"):
            r.session
        r.session = marker = object()
        assert r.session is marker is r._session

    def test_derived_properties_read_a_subclass_property(self):
        class Sub(Request):
            user = property(lambda self: "sub user")
            client_ip = property(lambda self: "9.9.9.9")

        r = Sub("GET", None, None)
        assert (r.identity, r.original_client_ip) == ("sub user", "9.9.9.9")

    @pytest.mark.parametrize("scope, name, expected", [
        (None, "scheme", ""), ({}, "scheme", ""), ({"scheme": "https"}, "scheme", "https"),
        (None, "base_path", ""), ({}, "base_path", ""), ({"root_path": "/app"}, "base_path", "/app"),
        (object(), "base_path", ""),  # a scope without get
        (None, "client_ip", ""), ({}, "client_ip", ""), ({"client": ["1.2.3.4", 80]}, "client_ip", "1.2.3.4"),
        ({"client": ("5.6.7.8", 1)}, "original_client_ip", "5.6.7.8"), ({"client": None}, "client_ip", ""),
        ({"client": ("a",)}, "client_ip", ValueError), ({"client": "abc"}, "client_ip", ValueError),
        (object(), "scheme", AttributeError),
    ])
    def test_scope_derived_values(self, scope, name, expected):
        r = req()
        r.scope = scope
        if isinstance(expected, type):
            with pytest.raises(expected):
                getattr(r, name)
        else:
            assert getattr(r, name) == expected

    def test_explicit_values_win(self):
        r = req()
        r.scope = {"scheme": "ws", "root_path": "/ws", "client": ("1.1.1.1", 0)}
        r.scheme, r.base_path, r.original_client_ip = "https", "/c", "3.3.3.3"
        assert (r._scheme, r._base_path, r._original_client_ip, r.scheme, r.base_path) == ("https", "/c", "3.3.3.3",
                                                                                           "https", "/c")

    def test_host_sources_and_cache(self):
        r = req((b"Host", b"example.com:8080"))
        assert r.host == "example.com:8080" == r._host
        r.remove_header(b"host")
        assert r.host == "example.com:8080"
        assert req(url=b"https://h.io/x").host == "h.io" and req((b"host", b"")).host == ""
        with pytest.raises(BadRequest, match="^Missing Host header$"):
            req().host
        with pytest.raises(UnicodeDecodeError):
            req((b"host", b"\xff")).host
        r.url = b"https://h/"
        assert r.host == "h"
        r.url = b"/y"
        with pytest.raises(BadRequest):
            r.host

    def test_path_and_query_are_decoded_on_every_read(self):
        r = req(url=b"/a%20b?x=1&x=2&y=")
        assert r.path == "/a%20b" and r.query == {"x": ["1", "2"]}
        r._path, r._raw_query = "/é".encode(), b"k=%C3%A9"
        assert r.path == "/é" and r.query == {"k": ["é"]} and r.query is not r.query
        r._path, r._raw_query = None, None
        assert r.query == {}
        with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'decode'$"):
            r.path
        with pytest.raises(UnicodeDecodeError):
            Request.incoming("GET", b"/", b"\xff", None).query

    @given(st.lists(st.tuples(st.text(), st.text()), max_size=4))
    def test_query_setter_round_trips_through_parse_qs(self, pairs):
        r = req((b"host", b"h"), url=b"/p?old=1")
        r.query = pairs
        expected = parse_qs((r._raw_query or b"").decode())
        assert r.query == expected and r.url.query == (r._raw_query or None) and r._path == b"/p"
        assert raw(r) == []  # the url setter drops the Host header

    @pytest.mark.parametrize("value, path, query", [
        (b"https://h/y?q=1", b"/y", b"q=1"), ("/s%20t?x", b"/s%20t", b"x"), (URL(b"/u"), b"/u", None),
        (None, None, None), (b"", None, None), ("", None, None), (0, None, None),
    ])
    def test_url_setter(self, value, path, query):
        r = req((b"HOST", b"old"), url=b"/a?b")
        r.host
        r.url = value
        assert (r._path, r._raw_query, r._host, raw(r)) == (path, query, None, [])
        assert r._url is value if isinstance(value, URL) else (r._url is None) == (not value)
        with pytest.raises(TypeError, match="^Invalid value type, expected bytes, str, or URL$"):
            r.url = 5


def model_cookies(values):
    """The cookie pieces as the request reads them: split at ';', spaces and tabs stripped."""
    out = {}
    for value in values:
        for piece in value.split(b";"):
            name, sep, rest = piece.strip(b" \t").partition(b"=")
            if not sep:
                continue
            try:
                out[unquote(name.decode())] = unquote(rest.rstrip(b"; ").decode())
            except UnicodeDecodeError:
                pass
    return out


class TestCookies:
    def test_examples(self):
        assert req((b"cookie", b"a=1; b=2"), (b"Cookie", b"b=3")).cookies == {"a": "1", "b": "3"}
        assert req((b"cookie", b"a=1;b=2;\tc=%41 ; d; e=\xff; f=")).cookies == {"a": "1", "b": "2", "c": "A", "f": ""}
        assert req().get_cookie("a") is None and req((b"cookie", b"a=1")).get_cookie(None) is None
        with pytest.raises(TypeError, match="^Expected bytes, got str$"):
            req((b"cookie", "a=1")).cookies

    @given(st.lists(st.binary(max_size=12).map(lambda b: b.replace(b"\x00", b"")) |
                    st.lists(st.sampled_from([b"a", b"=", b";", b" ", b"\t", b"%4", b"1", b"\xc3\xa9", b"\xff"]),
                             max_size=10).map(b"".join), max_size=3))
    def test_matches_the_model(self, values):
        r = req(*[(b"cookie", v) for v in values])
        assert r.cookies == model_cookies(values)

    def test_set_cookie_joins_every_cookie_header_into_one(self):
        r = req()
        r.set_cookie("x", "1")
        assert raw(r) == [(b"cookie", b"x=1")]
        r.set_cookie(name="y", value="a b")
        assert raw(r) == [(b"cookie", b"x=1; y=a%20b")] and r.cookies == {"x": "1", "y": "a b"}
        r = req((b"Cookie", b"a=1"), (b"other", b"o"), (b"cookie", b""), (b"COOKIE", b"b=2"))
        r.set_cookie("c", "3")
        assert raw(r) == [(b"other", b"o"), (b"cookie", b"a=1; b=2; c=3")]

    @given(st.text(), st.text())
    def test_set_cookie_round_trips(self, name, value):
        r = req((b"cookie", b"z=0"))
        r.set_cookie(name, value)
        assert r.get_cookie(name) == value and len(raw(r)) == 1
        with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected str, got bytes\)$"):
            r.set_cookie(name, b"1")


class TestOperations:
    @pytest.mark.parametrize("value, expected", [(b"100-continue", True), (b"100-CoNtInUe", True), (b"", False),
                                                 (None, False), (b"100-continue ", False)])
    def test_expect_100_continue(self, value, expected):
        r = req(*([(b"Expect", value)] if value is not None else []))
        assert r.expect_100_continue() is expected and native_op(r, 19)() == expected

    def test_overrides_are_reached_through_the_table(self):
        seen = []
        Sub = type("Sub", (Request,), {
            "expect_100_continue": lambda self: True, "reset": lambda self: seen.append("reset"),
            "get_first_header": lambda self, key: seen.append(key) or b"v",
            "get_headers": lambda self, key: seen.append(key) or [b"k=v"],
            "set_header": lambda self, key, value: seen.append((key, value)),
            "remove_header": lambda self, key: seen.append(("remove", key)),
        })
        r = Sub("GET", None, None)
        assert native_op(r, 19)() == 1 and native_op(r, 20)() == 0 and seen == ["reset"]
        assert (r.host, r.etag, r.if_none_match, r.cookies) == ("v", b"v", b"v", {"k": "v"})
        r.set_cookie("a", "1")
        r.url = b"/x"
        assert seen[1:] == [b"host", b"etag", b"if-none-match", b"cookie", b"cookie", (b"cookie", b"k=v; a=1"),
                            ("remove", b"host")]
        # The base method runs its own body, which still reads the header through the table.
        assert Request.expect_100_continue(r) is False and seen[-1] == b"expect"

    def test_reset(self):
        class Sub(Request):
            identity = property(lambda self: None, lambda self, value: seen.append(value))

        seen = []
        r = Sub("GET", b"https://h/p?q", [(b"a", b"1")])
        content = Disposing(b"t", b"b")
        for name in FIELDS:
            setattr(r, name, getattr(r, name) if name.startswith(("_url", "_path", "_raw", "method")) else "x")
        r.content, r.context, r._form_data, view, old_list = content, 1, {}, r.headers, raw(r)
        r.reset()
        assert seen == [None] and content.disposed == 1 and r.content is None
        assert (r.method, r._path, r._raw_query, r.path, r._context) == ("", b"", b"", "", "x")
        assert all(getattr(r, n) is None for n in FIELDS if n not in ("method", "_path", "_raw_query", "_context"))
        assert (r.context, r._form_data, r._headers) == (None, None, None)
        assert raw(r) == [] and raw(r) is not old_list and r.headers is not view

    def test_dispose_closes_form_files_then_the_content(self):
        closed = []
        file = SimpleNamespace(close=lambda: closed.append(1))
        r = req()
        r.content = Disposing(b"", b"x")
        r._form_data = {"a": [SimpleNamespace(file=file), SimpleNamespace(file=None)], "b": (SimpleNamespace(file=file),)}
        assert r.dispose() is None and closed == [1, 1] and r.content.disposed == 1 and r._form_data
        r._form_data = {"a": [object()]}
        with pytest.raises(AttributeError):
            r.dispose()


class TestRepr:
    @pytest.mark.parametrize("method, path, query, url, text", [
        ("GET", b"/items", b"page=2", None, "<Request GET /items?page=2>"), (None, b"/", None, None, "<Request None />"),
        ("GET", None, None, None, "<Request GET >"), ("GET", b"/\xff", b"q=\xfe", None, r"<Request GET /\xff?q=\xfe>"),
        # A subclass's url property is read; when it fails or gives no URL, the raw pieces are shown.
        ("GET", b"/p", b"q", lambda self: URL(b"/sub"), "<Request GET /sub>"),
        ("GET", b"/p", b"q", lambda self: 1 / 0, "<Request GET /p?q>"),
        ("GET", b"/p", b"q", lambda self: "/text", "<Request GET /p?q>"),
    ])
    def test_repr(self, method, path, query, url, text):
        cls = type("Sub", (Request,), {"url": property(url)}) if url else Request
        assert repr(cls.incoming(method, path, query, None)) == text


class TestLifecycle:
    @pytest.mark.parametrize("slot", ["state", "context", "_context", "scope", "services"])
    def test_cycles_are_collected(self, slot):
        r = req()
        setattr(r, slot, {"back": r})
        ref = weakref.ref(r)
        del r
        gc.collect()
        assert ref() is None
