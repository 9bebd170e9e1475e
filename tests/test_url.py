"""quillmoth.url: the URL value type, InvalidURL, valid_schema and the URL helpers."""

import ctypes
import gc
import pickle
import sys
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import bind_export, examples, export_signature
import quillmoth.url as url_module
from quillmoth.url import URL, InvalidURL, build_absolute_url, join_prefix, valid_schema

PARSE_PREFIX = "The value cannot be parsed as URL ("


# ---------------------------------------------------------------------------------------------
# Construction


class TestConstruction:
    @pytest.mark.parametrize("value", [None, b""])
    def test_empty_or_none_rejected(self, value):
        with pytest.raises(InvalidURL) as info:
            URL(value)
        assert str(info.value) == "Input empty or null."

    def test_relative_url_components(self):
        u = URL(b"/a/b?x=1#top")
        assert (u.value, u.schema, u.host, u.port, u.path, u.query, u.fragment, u.is_absolute) == (
            b"/a/b?x=1#top", None, None, 0, b"/a/b", b"x=1", b"top", False,
        )

    def test_absolute_url_components(self):
        u = URL(b"https://h:8443/p?q=1#frag")
        assert (u.schema, u.host, u.port, u.path, u.query, u.fragment, u.is_absolute) == (
            b"https", b"h", 8443, b"/p", b"q=1", b"frag", True,
        )
        assert u.is_absolute is True

    @pytest.mark.parametrize(
        ("value", "port"),
        [(b"http://h/p", 0), (b"http://h:0/p", 0), (b"http://h:1/p", 1), (b"http://h:65535/p", 65535)],
    )
    def test_port(self, value, port):
        assert URL(value).port == port

    def test_absolute_url_without_path(self):
        u = URL(b"http://h")
        assert (u.host, u.path, u.query) == (b"h", None, None)

    def test_value_kept_as_given(self):
        raw = b"http://H/%7Euser/../x?b=%20"
        u = URL(raw)
        assert u.value is raw
        assert (u.host, u.path, u.query) == (b"H", b"/%7Euser/../x", b"b=%20")

    @pytest.mark.parametrize(("value", "stored"), [(b"./x", b"/./x"), (b"../a/b", b"/../a/b"), (b".", b"/.")])
    def test_leading_dot_gets_slash(self, value, stored):
        u = URL(value)
        assert u.value == stored
        assert u.path == stored
        assert not u.is_absolute

    @pytest.mark.parametrize("scheme", [b"ftp", b"HTTP", b"ws"])
    def test_other_scheme_rejected_wrapped(self, scheme):
        value = scheme + b"://h/p"
        with pytest.raises(InvalidURL) as info:
            URL(value)
        message = str(info.value)
        assert message == (
            PARSE_PREFIX + value.decode() + "): Expected http or https schema; got instead " + scheme.decode()
        )

    @pytest.mark.parametrize("value", [b"b", b"http://h:65536/", b"/a b", b"http://h#f", b"?x"])
    def test_splitter_rejection_wrapped(self, value):
        with pytest.raises(InvalidURL) as info:
            URL(value)
        message = str(info.value)
        assert message.startswith(PARSE_PREFIX + value.decode() + "): ")
        # The splitter's own error is the tail of the message and the handled exception.
        assert message.endswith(str(info.value.__context__))
        assert len(message) > len(PARSE_PREFIX + value.decode() + "): ")

    def test_wrapped_message_shows_prefixed_value(self):
        with pytest.raises(InvalidURL) as info:
            URL(b".a b")
        assert str(info.value).startswith(PARSE_PREFIX + "/.a b): ")

    def test_value_not_utf8_raises_decode_error(self):
        with pytest.raises(UnicodeDecodeError):
            URL(b"/\xff")

    @pytest.mark.parametrize("value", ["/a", bytearray(b"/a"), 1, memoryview(b"/a")])
    def test_wrong_type(self, value):
        with pytest.raises(TypeError) as info:
            URL(value)
        assert str(info.value) == (
            f"Argument 'value' has incorrect type (expected bytes, got {type(value).__name__})"
        )

    def test_bytes_subclass_rejected(self):
        class B(bytes):
            pass

        with pytest.raises(TypeError, match="Argument 'value' has incorrect type"):
            URL(B(b"/a"))

    def test_keyword_and_count(self):
        assert URL(value=b"/k").path == b"/k"
        with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
            URL()
        with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
            URL(b"/a", b"/b")
        with pytest.raises(TypeError, match="unexpected keyword argument 'val'"):
            URL(val=b"/a")

    def test_fields_before_constructor(self):
        u = URL.__new__(URL)
        assert (u.value, u.schema, u.host, u.port, u.path, u.query, u.fragment, u.is_absolute) == (
            None, None, None, 0, None, None, None, False,
        )

    @pytest.mark.parametrize("field", ["value", "schema", "host", "port", "path", "query", "fragment", "is_absolute"])
    def test_fields_read_only(self, field):
        u = URL(b"http://h/p")
        with pytest.raises(AttributeError):
            setattr(u, field, getattr(u, field))
        with pytest.raises(AttributeError):
            delattr(u, field)

    def test_failed_reinit_leaves_object_unchanged(self):
        u = URL(b"http://h/p")
        with pytest.raises(InvalidURL):
            u.__init__(b"ftp://x/")
        assert (u.value, u.schema, u.host, u.path) == (b"http://h/p", b"http", b"h", b"/p")


# ---------------------------------------------------------------------------------------------
# Text forms, equality, hashing


class TestValueSemantics:
    def test_str_and_repr(self):
        u = URL(b"/caf%C3%A9?q='x'")
        assert str(u) == "/caf%C3%A9?q='x'"
        assert repr(u) == "<URL " + repr(b"/caf%C3%A9?q='x'") + ">"

    def test_str_of_non_utf8_value_raises(self):
        # The splitter refuses raw non-ASCII bytes, so such a value only arrives through a restored state.
        u = url_module._restore_url(URL, (b"/\xff", None, None, 0, b"/\xff", None, None, 0))
        with pytest.raises(UnicodeDecodeError):
            str(u)

    def test_equality(self):
        a, b, c = URL(b"/a?x=1"), URL(b"/a?x=1"), URL(b"/a?x=2")
        assert a == b and not (a != b)
        assert a != c and not (a == c)
        assert a != b"/a?x=1" and not (a == b"/a?x=1")
        assert a != "/a?x=1"

    def test_subclass_equality(self):
        class Sub(URL):
            pass

        assert Sub(b"/a") == URL(b"/a")
        assert URL(b"/a") == Sub(b"/a")

    def test_unhashable_and_unordered(self):
        u = URL(b"/a")
        with pytest.raises(TypeError):
            hash(u)
        with pytest.raises(TypeError):
            {u}  # noqa: B018
        with pytest.raises(TypeError):
            u < URL(b"/b")  # noqa: B015


# ---------------------------------------------------------------------------------------------
# join and +


class TestJoin:
    @pytest.mark.parametrize(
        ("first", "second", "expected"),
        [
            (b"/a/", b"/b", b"/a/b"),
            (b"/a", b"/b", b"/a/b"),
            (b"/a", b"*", b"/a*"),  # no separator is inserted
            (b"/a/", b"/b?x=1#f", b"/a/b?x=1#f"),
            (b"http://h/", b"/b", b"http://h/b"),
            (b"http://h:81/api/", b"/v1/", b"http://h:81/api/v1/"),
            (b"/a//", b"/b", b"/a//b"),  # only one slash goes
            (b"/", b"/", b"/"),
        ],
    )
    def test_join_table(self, first, second, expected):
        assert URL(first).join(URL(second)).value == expected
        assert (URL(first) + URL(second)).value == expected
        assert (URL(first) + second).value == expected

    def test_join_without_separator_on_restored_relative_value(self):
        other = url_module._restore_url(URL, (b"b", None, None, 0, b"b", None, None, 0))
        assert URL(b"/a").join(other).value == b"/ab"

    def test_join_absolute_other_rejected(self):
        with pytest.raises(ValueError) as info:
            URL(b"/a").join(URL(b"https://h/x"))
        assert str(info.value) == "Cannot concatenate to an absolute URL (b'/a' + b'https://h/x')"

    @pytest.mark.parametrize("first", [b"/a?x=1", b"/a#f", b"/a?x=1#f"])
    def test_join_onto_query_or_fragment_rejected(self, first):
        with pytest.raises(ValueError) as info:
            URL(first).join(URL(b"/b"))
        assert str(info.value) == "Cannot concatenate a URL with query or fragment to another URL portion"

    def test_empty_query_does_not_block_join(self):
        # Only a non-empty query or fragment blocks joining; the values are concatenated as they are.
        assert (URL(b"/a?") + b"/b").value == b"/a?/b"

    @pytest.mark.parametrize("other", [None, b"/b", "/b"])
    def test_join_argument_type(self, other):
        with pytest.raises(TypeError) as info:
            URL(b"/a").join(other)
        assert str(info.value) == (
            f"Argument 'other' has incorrect type (expected quillmoth.url.URL, got {type(other).__name__})"
        )

    def test_join_keyword(self):
        assert URL(b"/a").join(other=URL(b"/b")).value == b"/a/b"

    def test_add_bytes_subclass(self):
        class B(bytes):
            pass

        assert (URL(b"/a") + B(b"/b")).value == b"/a/b"

    @pytest.mark.parametrize("other", ["/b", 1, None, bytearray(b"/b")])
    def test_add_unsupported(self, other):
        with pytest.raises(TypeError):
            URL(b"/a") + other  # noqa: B018

    def test_bytes_on_left_unsupported(self):
        with pytest.raises(TypeError):
            b"/a" + URL(b"/b")  # noqa: B018

    def test_add_empty_bytes(self):
        with pytest.raises(InvalidURL, match="Input empty or null."):
            URL(b"/a") + b""  # noqa: B018

    def test_result_is_a_new_url(self):
        a = URL(b"/a")
        result = a + b"/b"
        assert type(result) is URL
        assert a.value == b"/a"


# ---------------------------------------------------------------------------------------------
# base_url and the rebuilders


class TestBaseUrl:
    @pytest.mark.parametrize(
        ("value", "expected"),
        [
            (b"https://h:8443/p?x#f", b"https://h:8443"),
            (b"https://h:443/p", b"https://h"),
            (b"https://h:80/p", b"https://h:80"),
            (b"http://h:80/p", b"http://h"),
            (b"http://h:443/p", b"http://h:443"),
            (b"http://h/p", b"http://h"),
            (b"http://h", b"http://h"),
            (b"http://u:pw@h:81/p", b"http://h:81"),
            (b"http://[::1]:8080/p", b"http://[::1]:8080"),
            (b"https://[::1]/p", b"https://[::1]"),
        ],
    )
    def test_base_url(self, value, expected):
        base = URL(value).base_url()
        assert base.value == expected
        assert base.path is None

    def test_relative_rejected(self):
        with pytest.raises(ValueError) as info:
            URL(b"/p").base_url()
        assert str(info.value) == "This URL is relative. Cannot extract a base URL (without path)."

    def test_takes_no_arguments(self):
        with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
            URL(b"http://h/").base_url(1)


class TestRebuilders:
    @pytest.mark.parametrize(
        ("value", "query", "expected"),
        [
            (b"/p?x=1#f", b"", b"/p#f"),
            (b"/p?x=1#f", None, b"/p#f"),
            (b"/p", b"a=1", b"/p?a=1"),
            (b"/p?x=1", b"y=2", b"/p?y=2"),
            # A non-default port stays in the rebuilt text; a default one is not written.
            (b"http://h:81/p", b"y=2", b"http://h:81/p?y=2"),
            (b"http://h:8080/p?x=1#f", b"y=2", b"http://h:8080/p?y=2#f"),
            (b"http://h:80/p", b"y=2", b"http://h/p?y=2"),
            (b"https://h:443/p", b"y=2", b"https://h/p?y=2"),
            # A URL of scheme and host only has an empty path.
            (b"http://h", b"y=2", b"http://h?y=2"),
            (b"http://h:81", b"y=2", b"http://h:81?y=2"),
            (b"http://[::1]:8080/p", b"y=2", b"http://[::1]:8080/p?y=2"),
        ],
    )
    def test_with_query(self, value, query, expected):
        result = URL(value).with_query(query)
        assert result.value == expected
        assert result.port == URL(expected).port

    @pytest.mark.parametrize(
        ("value", "host", "expected"),
        [
            (b"http://h/p?x=1#f", b"other", b"http://other/p?x=1#f"),
            (b"https://h:8443/p", b"other", b"https://other:8443/p"),
            (b"http://h", b"other", b"http://other"),
            (b"http://h:81/p", b"other:9000", b"http://other:9000/p"),
            (b"http://h:81/p", b"[::1]", b"http://[::1]:81/p"),
        ],
    )
    def test_with_host(self, value, host, expected):
        assert URL(value).with_host(host).value == expected

    @pytest.mark.parametrize(
        ("value", "scheme", "expected"),
        [
            (b"http://h/p?x=1#f", b"https", b"https://h/p?x=1#f"),
            (b"http://h:8080/p", b"https", b"https://h:8080/p"),
            (b"http://h:443/p", b"https", b"https://h/p"),
            (b"https://h:80/p", b"http", b"http://h/p"),
            (b"https://h", b"http", b"http://h"),
            (b"https://[::1]:9/p", b"http", b"http://[::1]:9/p"),
        ],
    )
    def test_with_scheme(self, value, scheme, expected):
        assert URL(value).with_scheme(scheme).value == expected

    @pytest.mark.parametrize("method", ["with_host", "with_scheme"])
    def test_relative_rejected(self, method):
        with pytest.raises(ValueError) as info:
            getattr(URL(b"/p"), method)(b"https")
        assert str(info.value) == "This URL is not absolute."

    def test_with_scheme_invalid_not_wrapped(self):
        with pytest.raises(InvalidURL) as info:
            URL(b"http://h/p").with_scheme(b"ftp")
        assert str(info.value) == "Expected http or https schema; got instead ftp"

    def test_with_scheme_empty_fails_to_parse(self):
        with pytest.raises(InvalidURL) as info:
            URL(b"http://h/p").with_scheme(b"")
        assert str(info.value).startswith(PARSE_PREFIX + "://h/p): ")

    @pytest.mark.parametrize(("method", "arg"), [("with_host", "host"), ("with_scheme", "schema"), ("with_query", "query")])
    def test_argument_type(self, method, arg):
        u = URL(b"http://h/p")
        with pytest.raises(TypeError) as info:
            getattr(u, method)("text")
        assert str(info.value) == f"Argument '{arg}' has incorrect type (expected bytes, got str)"
        assert getattr(u, method)(**{arg: b"https" if arg == "schema" else b"x"}).is_absolute

    @pytest.mark.parametrize("method", ["with_host", "with_scheme"])
    def test_none_fails_in_concatenation(self, method):
        with pytest.raises(TypeError):
            getattr(URL(b"http://h/p"), method)(None)

    def test_results_are_parsed_again(self):
        with pytest.raises(InvalidURL) as info:
            URL(b"http://h/p").with_host(b"bad host")
        assert str(info.value).startswith(PARSE_PREFIX + "http://bad host/p): ")
        rebuilt = URL(b"http://h/p?x=1").with_host(b"other")
        assert (rebuilt.host, rebuilt.path, rebuilt.query) == (b"other", b"/p", b"x=1")


_DEFAULT_PORT = {b"http": 80, b"https": 443}
_label = st.text("abcdefghijklmnopqrstuvwxyz0123456789-", min_size=1, max_size=8).map(str.encode)
_hosts = st.one_of(
    st.lists(_label, min_size=1, max_size=3).map(b".".join),
    st.sampled_from([b"[::1]", b"[2001:db8::7]", b"127.0.0.1"]),
)
_parts = st.text("abcXYZ019-._~%=&+", max_size=10).map(str.encode)


@st.composite
def absolute_urls(draw):
    scheme = draw(st.sampled_from([b"http", b"https"]))
    host = draw(_hosts)
    port = draw(st.one_of(st.just(None), st.integers(1, 65535)))
    path = draw(st.one_of(st.just(b""), _parts.map(lambda p: b"/" + p)))
    text = scheme + b"://" + host + (b":%d" % port if port else b"") + path
    if draw(st.booleans()):
        text += b"?" + draw(_parts)
    if path and draw(st.booleans()):
        text += b"#" + draw(_parts)
    return URL(text)


def _effective_port(url):
    return url.port or _DEFAULT_PORT[url.schema]


class TestRebuildProperties:
    """The rebuilders change one component and keep every other, whatever the URL."""

    @settings(max_examples=examples(400))
    @given(absolute_urls(), _parts)
    def test_with_query_keeps_the_rest(self, url, query):
        result = url.with_query(query)
        assert (result.schema, result.host, _effective_port(result), result.path or b"", result.fragment) == (
            url.schema, url.host, _effective_port(url), url.path or b"", url.fragment,
        )
        assert result.query == (query or None)

    @settings(max_examples=examples(400))
    @given(absolute_urls(), st.sampled_from([b"other", b"example.org", b"[::2]"]))
    def test_with_host_keeps_the_rest(self, url, host):
        result = url.with_host(host)
        assert result.host == host.strip(b"[]")
        assert (result.schema, _effective_port(result), result.path, result.query, result.fragment) == (
            url.schema, _effective_port(url), url.path, url.query, url.fragment,
        )

    @settings(max_examples=examples(400))
    @given(absolute_urls(), st.sampled_from([b"http", b"https"]))
    def test_with_scheme_keeps_the_rest(self, url, scheme):
        result = url.with_scheme(scheme)
        assert result.schema == scheme
        # An explicit port names the same port afterwards; no port stays no port.
        assert _effective_port(result) == (url.port or _DEFAULT_PORT[scheme])
        assert (result.host, result.path, result.query, result.fragment) == (
            url.host, url.path, url.query, url.fragment,
        )

    @settings(max_examples=examples(400))
    @given(absolute_urls())
    def test_base_url_keeps_origin(self, url):
        base = url.base_url()
        assert (base.schema, base.host, _effective_port(base)) == (url.schema, url.host, _effective_port(url))
        assert (base.path, base.query, base.fragment) == (None, None, None)


# ---------------------------------------------------------------------------------------------
# Subclasses and the operation table


class TestSubclass:
    def test_subclass_instances(self):
        class Sub(URL):
            pass

        s = Sub(b"http://h:81/p")
        assert isinstance(s, URL) and s.port == 81
        # Derived values are plain URLs.
        assert type(s.base_url()) is URL

    def test_add_goes_through_join_override(self):
        calls = []

        class Sub(URL):
            def join(self, other):
                calls.append(other.value)
                return URL(b"/overridden")

        assert (Sub(b"/a") + b"/b").value == b"/overridden"
        assert (Sub(b"/a") + URL(b"/c")).value == b"/overridden"
        assert calls == [b"/b", b"/c"]

    def test_override_result_checked(self):
        class Sub(URL):
            def join(self, other):
                return "not a url"

        with pytest.raises(TypeError, match="Cannot convert str to quillmoth.url.URL"):
            Sub(b"/a") + b"/b"  # noqa: B018

    def test_override_error_propagates(self):
        class Sub(URL):
            def join(self, other):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            Sub(b"/a") + b"/b"  # noqa: B018

    def test_subclass_init_chain(self):
        class Sub(URL):
            def __init__(self, value, tag):
                super().__init__(value)
                self.tag = tag

        s = Sub(b"/a", "t")
        assert (s.path, s.tag) == (b"/a", "t")


# ---------------------------------------------------------------------------------------------
# Pickling


class PickledSub(URL):
    pass


class TestPickle:
    @pytest.mark.parametrize("value", [b"/a/b?x=1#top", b"https://h:8443/p", b"http://h"])
    def test_round_trip(self, value):
        u = URL(value)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            back = pickle.loads(pickle.dumps(u, protocol))
            assert type(back) is URL
            assert [getattr(back, f) for f in ("value", "schema", "host", "port", "path", "query", "fragment", "is_absolute")] == [
                getattr(u, f) for f in ("value", "schema", "host", "port", "path", "query", "fragment", "is_absolute")
            ]

    def test_subclass_with_attributes(self):
        s = PickledSub(b"http://h:81/p")
        s.extra = [1, 2]
        back = pickle.loads(pickle.dumps(s))
        assert type(back) is PickledSub
        assert back == s and back.port == 81 and back.extra == [1, 2]

    @pytest.mark.parametrize(
        ("cls", "state"),
        [
            (int, (b"/a", None, None, 0, b"/a", None, None, 0)),
            (URL, (b"/a", None, None, 0, b"/a", None, None)),
            (URL, [b"/a", None, None, 0, b"/a", None, None, 0]),
            (URL, ("/a", None, None, 0, b"/a", None, None, 0)),
            (URL, (b"/a", None, None, "0", b"/a", None, None, 0)),
        ],
    )
    def test_restore_rejects_bad_state(self, cls, state):
        with pytest.raises(TypeError):
            url_module._restore_url(cls, state)

    def test_restore_port_overflow(self):
        with pytest.raises(OverflowError):
            url_module._restore_url(URL, (b"/a", None, None, 2**31, b"/a", None, None, 0))


# ---------------------------------------------------------------------------------------------
# valid_schema and InvalidURL


class TestValidSchema:
    @pytest.mark.parametrize("schema", [None, b"", b"http", b"https"])
    def test_accepted(self, schema):
        assert valid_schema(schema) is None

    @pytest.mark.parametrize("schema", [b"ftp", b"HTTP", b"https ", b"htt"])
    def test_rejected(self, schema):
        with pytest.raises(InvalidURL) as info:
            valid_schema(schema)
        assert str(info.value) == "Expected http or https schema; got instead " + schema.decode()

    def test_rejected_non_utf8(self):
        with pytest.raises(UnicodeDecodeError):
            valid_schema(b"\xff")

    def test_type(self):
        with pytest.raises(TypeError, match="Argument 'schema' has incorrect type"):
            valid_schema("http")


class TestInvalidURL:
    def test_class(self):
        assert issubclass(InvalidURL, Exception)
        exc = InvalidURL("bad")
        assert str(exc) == "bad" and exc.args == ("bad",)
        assert InvalidURL(None).args == (None,)
        assert InvalidURL(message="m").args == ("m",)

    @pytest.mark.parametrize(("args", "pattern"), [((), "exactly 1"), (("a", "b"), "exactly 1"), ((1,), "incorrect type")])
    def test_constructor_arguments(self, args, pattern):
        with pytest.raises(TypeError, match=pattern):
            InvalidURL(*args)

    def test_subclassable_and_raisable(self):
        class Mine(InvalidURL):
            pass

        with pytest.raises(InvalidURL, match="x"):
            raise Mine("x")


# ---------------------------------------------------------------------------------------------
# build_absolute_url and join_prefix


class TestBuildAbsoluteUrl:
    @pytest.mark.parametrize(
        ("scheme", "host", "base_path", "path", "expected"),
        [
            (b"https", b"h", b"", b"", b"https://h/"),
            (b"https", b"h", None, None, b"https://h/"),
            (b"https", b"h", b"api", b"users", b"https://h/api/users"),
            (b"https", b"h", b"/api/", b"/users", b"https://h/api/users"),
            (b"https", b"h", b"/", b"/x", b"https://h/x"),
            (b"https", b"h", b"api//", b"x", b"https://h/api//x"),
            (b"http", b"h:8080", b"", b"//x", b"http://h:8080//x"),
            (b"http", b"h", b"/app", b"/items?x=1", b"http://h/app/items?x=1"),
        ],
    )
    def test_table(self, scheme, host, base_path, path, expected):
        result = build_absolute_url(scheme, host, base_path, path)
        assert type(result) is URL
        assert result.value == expected

    def test_keywords(self):
        assert build_absolute_url(scheme=b"http", host=b"h", base_path=b"", path=b"p").value == b"http://h/p"

    def test_other_scheme(self):
        with pytest.raises(InvalidURL) as info:
            build_absolute_url(b"ftp", b"h", b"", b"/x")
        assert str(info.value) == PARSE_PREFIX + "ftp://h/x): Expected http or https schema; got instead ftp"

    @pytest.mark.parametrize("missing", [0, 1])
    def test_none_scheme_or_host(self, missing):
        args = [b"http", b"h", b"", b"/"]
        args[missing] = None
        with pytest.raises(TypeError):
            build_absolute_url(*args)

    @pytest.mark.parametrize(("index", "name"), [(0, "scheme"), (1, "host"), (2, "base_path"), (3, "path")])
    def test_argument_types(self, index, name):
        args = [b"http", b"h", b"", b"/"]
        args[index] = "text"
        with pytest.raises(TypeError) as info:
            build_absolute_url(*args)
        assert str(info.value) == f"Argument '{name}' has incorrect type (expected bytes, got str)"

    def test_argument_count(self):
        with pytest.raises(TypeError, match=r"build_absolute_url\(\) takes exactly 4 positional arguments \(3 given\)"):
            build_absolute_url(b"http", b"h", b"")


class TestJoinPrefix:
    @pytest.mark.parametrize(
        ("prefix", "path", "expected"),
        [
            ("api", "users", "/api/users"),
            ("/api/", "/users", "/api/users"),
            ("/api", "/users", "/api/users"),
            ("/api/", "users", "/api/users"),
            ("/api", "", "/api/"),
            ("/api", None, "/api/"),
            ("/api/", "", "/api//"),
            ("", "x", "x"),
            (None, "x", "x"),
            (None, None, None),
            ("/", "/", "/"),
            ("é", "ü", "/é/ü"),
        ],
    )
    def test_table(self, prefix, path, expected):
        assert join_prefix(prefix, path) == expected

    def test_empty_prefix_returns_path_itself(self):
        path = "some/path"
        assert join_prefix("", path) is path

    @pytest.mark.parametrize(("args", "name"), [((b"api", "x"), "prefix"), (("api", b"x"), "path")])
    def test_argument_types(self, args, name):
        with pytest.raises(TypeError) as info:
            join_prefix(*args)
        assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got bytes)"


# ---------------------------------------------------------------------------------------------
# Native exports


def _bind(name, *argtypes):
    return bind_export(url_module, name, ctypes.py_object, *argtypes)


class TestNativeExports:
    def test_table_names_and_signatures(self):
        api = url_module.__quillmoth_api__
        assert set(api) == {"build_absolute_url", "join_prefix"}
        assert export_signature(url_module, "build_absolute_url") == (
            b"URLObject *(PyObject *, PyObject *, PyObject *, PyObject *, int)")
        assert export_signature(url_module, "join_prefix") == b"PyObject *(PyObject *, PyObject *, int)"

    def test_build_absolute_url_entry(self):
        build = _bind("build_absolute_url", *[ctypes.py_object] * 4, ctypes.c_int)
        result = build(b"https", b"h", b"/app/", b"items", 0)
        assert type(result) is URL and result.value == b"https://h/app/items"
        with pytest.raises(InvalidURL):
            build(b"ftp", b"h", b"", b"", 0)

    def test_join_prefix_entry(self):
        join = _bind("join_prefix", ctypes.py_object, ctypes.py_object, ctypes.c_int)
        assert join("api", "users", 0) == "/api/users"
        with pytest.raises(TypeError, match="Argument 'prefix'"):
            join(1, "x", 0)


@pytest.fixture(scope="module")
def scan_lib():
    lib = ctypes.CDLL(url_module.__file__)
    for name, restype, argtypes in [
        ("simd_find_crlf", ctypes.c_int64, [ctypes.c_char_p, ctypes.c_size_t]),
        ("simd_find_crlf_crlf", ctypes.c_int64, [ctypes.c_char_p, ctypes.c_size_t]),
        ("simd_find_path_separator", ctypes.c_int64, [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_size_t]),
        ("simd_validate_url_ascii", ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t]),
        ("simd_fast_hash", ctypes.c_uint32, [ctypes.c_char_p, ctypes.c_size_t]),
    ]:
        func = getattr(lib, name)
        func.restype, func.argtypes = restype, argtypes
    return lib


class TestScanningSymbols:
    """The url module carries the scanning primitives under their plain names."""

    def test_results(self, scan_lib):
        lib = scan_lib
        data = b"GET / HTTP/1.1\r\nHost: h\r\n\r\nbody"
        assert lib.simd_find_crlf(data, len(data)) == data.index(b"\r\n")
        assert lib.simd_find_crlf_crlf(data, len(data)) == data.index(b"\r\n\r\n")
        assert lib.simd_find_crlf(None, 10) == -1
        assert lib.simd_find_path_separator(b"/a?b", 4, 1) == 2
        assert lib.simd_find_path_separator(b"/a?b", 4, 4) == -1
        assert lib.simd_validate_url_ascii(b"", 0) == 1
        assert lib.simd_validate_url_ascii(b"/a\tb", 4) == 0

    @pytest.mark.parametrize("data", [b"a", b"abcd", b"hello world", bytes(range(256))])
    def test_fnv1a(self, scan_lib, data):
        lib = scan_lib
        expected = 0x811C9DC5
        for byte in data:
            expected = ((expected ^ byte) * 0x01000193) & 0xFFFFFFFF
        assert lib.simd_fast_hash(data, len(data)) == expected
        assert lib.simd_fast_hash(None, 0) == 0


# ---------------------------------------------------------------------------------------------
# Reference and memory leaks, success and error paths


class OverridingURL(URL):
    def join(self, other):
        raise KeyError("override")


_BASE = URL(b"http://h:8080/p?x=1#f")
_REL = URL(b"/a/")
_SUB = OverridingURL(b"/a")
_STATE = _BASE.__reduce__()[1][1]

# Every operation, on its success and its error paths.
_OPERATIONS = {
    "construct": lambda: URL(b"http://h:8080/p?x=1#f"),
    "construct-dot": lambda: URL(b"./x"),
    "construct-scheme-error": lambda: URL(b"ftp://h/"),
    "construct-split-error": lambda: URL(b"/a b"),
    "construct-empty": lambda: URL(None),
    "construct-type-error": lambda: URL("str"),
    "construct-decode-error": lambda: URL(b"/\xff"),
    "base_url": lambda: _BASE.base_url(),
    "base_url-relative": lambda: _REL.base_url(),
    "with_query": lambda: _BASE.with_query(b"y=2"),
    "with_host": lambda: _BASE.with_host(b"other"),
    "with_host-none": lambda: _BASE.with_host(None),
    "with_host-relative": lambda: _REL.with_host(b"x"),
    "with_scheme": lambda: _BASE.with_scheme(b"https"),
    "with_scheme-invalid": lambda: _BASE.with_scheme(b"ftp"),
    "add-bytes": lambda: _REL + b"/b",
    "add-url": lambda: _REL + URL(b"/c"),
    "join-absolute": lambda: _REL.join(_BASE),
    "join-query": lambda: _BASE.join(_REL),
    "join-override-error": lambda: _SUB + b"/b",
    "compare": lambda: _REL == _BASE,
    "str-repr": lambda: str(_BASE) + repr(_BASE),
    # The unpickler's side of pickling (pickle.loads itself keeps interpreter-side name caches).
    "restore": lambda: url_module._restore_url(URL, _STATE),
    "restore-bad-state": lambda: url_module._restore_url(URL, _STATE[:7]),
    "reduce": lambda: _BASE.__reduce__(),
    "build_absolute_url": lambda: build_absolute_url(b"https", b"h", b"/api/", b"users"),
    "build_absolute_url-scheme": lambda: build_absolute_url(b"ftp", b"h", b"", b""),
    "build_absolute_url-none": lambda: build_absolute_url(None, b"h", b"", b""),
    "join_prefix": lambda: join_prefix("api", "users"),
    "join_prefix-slashes": lambda: join_prefix("/api/", "/users"),
    "join_prefix-type": lambda: join_prefix(1, "x"),
    "valid_schema": lambda: valid_schema(b"ftp"),
    "invalid_url": lambda: InvalidURL("x"),
}


def _run(op, times):
    for _ in range(times):
        try:
            op()
        except (InvalidURL, ValueError, TypeError, KeyError, UnicodeDecodeError):
            pass


@pytest.mark.parametrize("name", sorted(_OPERATIONS))
def test_no_leaks(name):
    op = _OPERATIONS[name]
    _run(op, 500)
    gc.collect()
    tracemalloc.start()
    try:
        _run(op, 200)
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        _run(op, 4000)
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # One leaked object (32 bytes at least) per call would show as 128 KB here.
    assert second - first < 16 * 1024


def test_no_type_reference_leak():
    before_url = sys.getrefcount(URL)
    before_exc = sys.getrefcount(InvalidURL)
    for _ in range(1000):
        URL(b"/a")
        try:
            URL(b"ftp://h/")
        except InvalidURL:
            pass
    gc.collect()
    assert sys.getrefcount(URL) - before_url < 10
    assert sys.getrefcount(InvalidURL) - before_exc < 10


def test_gc_cycle_through_subclass_instance():
    class Holder(URL):
        pass

    h = Holder(b"/a")
    h.me = h
    del h
    assert gc.collect() >= 1
