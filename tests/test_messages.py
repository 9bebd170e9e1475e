"""Message: header operations on the raw list, content inspection, charset, the operation table
(reached natively through the object's table pointer), and the module functions."""

import ctypes
import gc
import inspect
import re
import sys
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import bind_export, examples, export_signature, run_python
from quillmoth import messages
from quillmoth.contents import Content
from quillmoth.headers import Header, Headers
from quillmoth.messages import Message, method_without_body, parse_charset


def make(*pairs):
    return Message(list(pairs))


def raw(message):
    """The message's raw list (the Headers view shares it)."""
    return message.headers.values


def content(type_=b"", body=b"", length=None):
    c = Content(type_, body)
    if length is not None:
        c.length = length
    return c


# ---------------------------------------------------------------------------------------------
# Native access to the operation table: the table pointer follows the object header, and each
# entry takes the message, its arguments and the skip_dispatch flag.

_obj = ctypes.py_object
_OBJ = ctypes.PYFUNCTYPE(ctypes.c_void_p, _obj, _obj, ctypes.c_int)  # new reference or null
_OBJ0 = ctypes.PYFUNCTYPE(ctypes.c_void_p, _obj, ctypes.c_int)
_INT = ctypes.PYFUNCTYPE(ctypes.c_int, _obj, _obj, ctypes.c_int)
_INT2 = ctypes.PYFUNCTYPE(ctypes.c_int, _obj, _obj, _obj, ctypes.c_int)
_INT0 = ctypes.PYFUNCTYPE(ctypes.c_int, _obj, ctypes.c_int)


class MessageOps(ctypes.Structure):
    _fields_ = [
        ("get_headers", _OBJ),
        ("get_first_header", _OBJ),
        ("get_single_header", _OBJ),
        ("remove_header", _INT),
        ("_has_header", _INT),
        ("has_header", _INT),
        ("_add_header", _INT2),
        ("_add_header_if_missing", _INT2),
        ("add_header", _INT2),
        ("set_header", _INT2),
        ("content_type", _OBJ0),
        ("remove_headers", _INT),
        ("get_headers_tuples", _OBJ),
        ("init_prop", _INT2),
        ("with_content", _OBJ),
        ("has_body", _INT0),
        ("declares_content_type", _INT),
        ("declares_json", _INT0),
        ("declares_xml", _INT0),
    ]


_decref = ctypes.pythonapi.Py_DecRef
_decref.argtypes = [ctypes.c_void_p]


class Native:
    """Calls the operations of one message through its table, as a sibling module does (flag 0)."""

    def __init__(self, message):
        self.message = message
        table = ctypes.c_void_p.from_address(id(message) + object.__basicsize__).value
        self.ops = MessageOps.from_address(table)

    def __getattr__(self, name):
        fn = getattr(self.ops, name)
        restype = dict(MessageOps._fields_)[name]._restype_

        def call(*args):
            result = fn(self.message, *args, 0)
            if restype is ctypes.c_void_p:  # take over the new reference
                obj = ctypes.cast(result, ctypes.py_object).value
                _decref(result)
                return obj
            return result

        return call


# ---------------------------------------------------------------------------------------------


class TestConstruction:
    @pytest.mark.parametrize("given", [None, []])
    def test_each_empty_message_gets_its_own_list(self, given):
        a, b = Message(given), Message(given)
        assert raw(a) == [] and raw(a) is not raw(b) and raw(a) is not given

    def test_non_empty_list_is_adopted(self):
        pairs = [(b"a", b"1")]
        message = Message(headers=pairs)
        pairs.append((b"A", b"2"))
        assert raw(message) is pairs
        assert message.get_headers(b"a") == [b"1", b"2"]

    @pytest.mark.parametrize(
        "args, kwargs, error",
        [
            (((b"a", b"1"),), {}, "Argument 'headers' has incorrect type (expected list, got tuple)"),
            (({},), {}, "Argument 'headers' has incorrect type (expected list, got dict)"),
            ((), {}, "__init__() takes exactly 1 positional argument (0 given)"),
            (([], []), {}, "__init__() takes exactly 1 positional argument (2 given)"),
            ((), {"values": []}, "__init__() got an unexpected keyword argument 'values'"),
        ],
    )
    def test_bad_arguments(self, args, kwargs, error):
        with pytest.raises(TypeError) as info:
            Message(*args, **kwargs)
        assert str(info.value) == error

    def test_fresh_instance_before_the_constructor(self):
        message = Message.__new__(Message)
        assert (message._headers, message.content, message._form_data, message.context) == (None,) * 4
        # The header list is still None: operations fail cleanly instead of crashing.
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            message.get_first_header(b"a")
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            message.remove_header(b"a")
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'append'"):
            message.add_header(b"a", b"1")
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            message.charset


class TestAttributes:
    def test_headers_view_is_cached_and_shares_the_list(self):
        message = make((b"a", b"1"))
        view = message.headers
        assert isinstance(view, Headers) and message.headers is view and message._headers is view
        message.add_header(b"B", b"2")
        assert view.get(b"b") == (b"2",)
        view.add(b"c", b"3")
        assert message.get_first_header(b"C") == b"3"

    def test_resetting_the_cache_rebuilds_the_view_over_the_same_list(self):
        message = make((b"a", b"1"))
        first = message.headers
        message._headers = None
        second = message.headers
        assert second is not first and second.values is first.values

    def test_assigning_a_view_leaves_the_raw_list_alone(self):
        message = make((b"a", b"1"))
        message._headers = Headers([(b"x", b"y")])
        assert message.headers.get(b"x") == (b"y",)
        assert message.get_first_header(b"x") is None and message.get_first_header(b"a") == b"1"

    @pytest.mark.parametrize(
        "field, value, error",
        [
            ("_headers", [(b"a", b"b")], "Cannot convert list to quillmoth.headers.Headers"),
            ("_headers", Header(b"a", b"b"), "Cannot convert quillmoth.headers.Header to quillmoth.headers.Headers"),
            ("content", b"body", "Cannot convert bytes to quillmoth.contents.Content"),
        ],
    )
    def test_typed_fields_reject_other_types(self, field, value, error):
        message = make()
        with pytest.raises(TypeError) as info:
            setattr(message, field, value)
        assert str(info.value) == error
        assert getattr(message, field) is None

    @pytest.mark.parametrize(
        "field, value",
        [("_headers", Headers()), ("content", content(b"a")), ("_form_data", {"a": 1}), ("context", object())],
    )
    def test_fields_accept_values_and_deleting_sets_none(self, field, value):
        message = make()
        setattr(message, field, value)
        assert getattr(message, field) is value
        delattr(message, field)
        assert getattr(message, field) is None

    @pytest.mark.parametrize("prop", ["headers", "charset"])
    def test_properties_are_read_only(self, prop):
        with pytest.raises(AttributeError):
            setattr(make(), prop, None)

    def test_raw_headers_is_native_only(self):
        assert not hasattr(make(), "_raw_headers")

    def test_weak_references_and_cycle_collection(self):
        message = make((b"a", b"1"))
        message.context = message
        ref = weakref.ref(message)
        del message
        gc.collect()
        assert ref() is None


class TestHeaderLookups:
    STORED = [(b"Content-Type", b"text/plain"), (b"X-A", b"1"), (b"x-a", b"2"), (b"X-a", b"3")]

    @pytest.mark.parametrize("key", [b"content-type", b"CONTENT-TYPE", b"Content-Type", b"cOnTeNt-TyPe"])
    def test_any_letter_case_matches(self, key):
        message = make(*self.STORED)
        assert message.get_first_header(key) == b"text/plain"
        assert message.get_headers(key) == [b"text/plain"]
        assert message.has_header(key) is True
        assert Native(message).get_headers_tuples(key) == [(b"Content-Type", b"text/plain")]
        assert Native(message).get_headers_tuples(key)[0] is raw(message)[0]

    @pytest.mark.parametrize("key", [b"x-b", b"content-typ", b"content-type ", b"", b"content_type"])
    def test_misses(self, key):
        message = make(*self.STORED)
        assert message.get_first_header(key) is None
        assert message.get_headers(key) == []
        assert message.has_header(key) is False

    def test_duplicates_in_list_order(self):
        message = make(*self.STORED)
        assert message.get_headers(b"x-A") == [b"1", b"2", b"3"]
        assert message.get_first_header(b"X-A") == b"1"

    def test_only_ascii_letters_are_folded(self):
        message = make((b"\xc9t\xc9", b"1"), (b"a[", b"2"))
        assert message.get_first_header(b"\xe9t\xe9") is None
        assert message.get_first_header(b"\xc9T\xc9") == b"1"
        assert message.get_first_header(b"A{") is None  # '[' + 32 is '{', not a letter
        assert message.get_first_header(b"A[") == b"2"

    def test_long_names(self):
        name = b"X-" + b"Long" * 100
        message = make((name, b"v"))
        assert message.get_first_header(name.upper()) == b"v"
        assert message.get_first_header(name.upper() + b"x") is None

    @pytest.mark.parametrize("length", [1, 7, 8, 9, 16, 17])
    def test_every_byte_value_folds_like_bytes_lower(self, length):
        # Names of eight bytes or more are compared a word at a time; shorter ones byte by byte.
        pairs = [(bytes([b]) * length, bytes([b])) for b in range(256)]
        message = Message(pairs)
        for b in range(256):
            key = bytes([b]) * length
            expected = [value for name, value in pairs if name.lower() == key.lower()]
            assert message.get_headers(key) == expected
        mixed = bytes(range(0x38, 0x38 + length))  # digits, punctuation and capitals in one name
        assert Message([(mixed, b"v")]).get_first_header(mixed.lower()) == b"v"

    @settings(max_examples=examples(300))
    @given(
        names=st.lists(st.binary(max_size=40).filter(bool) | st.sampled_from(
            [b"X-Forwarded-For", b"x-forwarded-for", b"X-FORWARDED-FOR", b"Content-Type", b"\xc3\x89t\xc3\xa9", b"@[`{"]
        ), max_size=12),
        key=st.binary(max_size=40) | st.sampled_from([b"x-forwarded-for", b"CONTENT-TYPE", b"@[`{", b"`{@["]),
    )
    def test_matches_bytes_lower(self, names, key):
        pairs = [(name, str(i).encode()) for i, name in enumerate(names)]
        message = Message(list(pairs))
        expected = [value for name, value in pairs if name.lower() == key.lower()]
        assert message.get_headers(key) == expected
        assert message.get_first_header(key) == (expected[0] if expected else None)
        assert message.has_header(key) is bool(expected)

    @pytest.mark.parametrize(
        "pairs, value",
        [([(b"a", b"1")], b"1"), ([(b"a", b"")], b"")],
    )
    def test_single_header(self, pairs, value):
        assert make(*pairs).get_single_header(b"A") == value

    @pytest.mark.parametrize(
        "pairs, error",
        [
            ([(b"a", b"1"), (b"A", b"1")], "Headers contains more than one header with the given key"),
            ([(b"a", b"1"), (b"b", b"2"), (b"a", b"3")], "Headers contains more than one header with the given key"),
            ([(b"b", b"1")], "Headers does not contain one header with the given key"),
            ([], "Headers does not contain one header with the given key"),
        ],
    )
    def test_single_header_errors(self, pairs, error):
        message = make(*pairs)
        with pytest.raises(ValueError) as info:
            message.get_single_header(b"a")
        assert str(info.value) == error
        assert raw(message) == pairs


class TestHeaderChanges:
    def test_add_header_appends_without_normalising(self):
        message = make((b"a", b"1"))
        message.add_header(b"A", b"1")
        message.add_header(key=b"B", value=b"")
        assert raw(message) == [(b"a", b"1"), (b"A", b"1"), (b"B", b"")]

    def test_set_header_replaces_every_case_and_goes_last(self):
        message = make((b"a", b"1"), (b"b", b"0"), (b"A", b"9"))
        message.set_header(b"A", b"2")
        assert raw(message) == [(b"b", b"0"), (b"A", b"2")]

    def test_set_header_on_an_absent_name_appends(self):
        message = make((b"b", b"0"))
        message.set_header(b"c", b"1")
        assert raw(message) == [(b"b", b"0"), (b"c", b"1")]

    def test_remove_header_removes_all_matches_including_equal_duplicates(self):
        pairs = [(b"a", b"1"), (b"X", b"1"), (b"a", b"1"), (b"b", b"2"), (b"A", b"3")]
        message = Message(pairs)
        message.remove_header(b"a")
        assert raw(message) is pairs and pairs == [(b"X", b"1"), (b"b", b"2")]
        message.remove_header(b"absent")
        assert pairs == [(b"X", b"1"), (b"b", b"2")]

    def test_native_add_and_add_if_missing(self):
        message = make((b"Content-Length", b"3"))
        native = Native(message)
        assert native._add_header(b"x", "not bytes") == 0  # no type check at this level
        assert native._add_header_if_missing(b"content-length", b"9") == 0
        assert native._add_header_if_missing(b"content-type", b"text/plain") == 0
        assert raw(message) == [(b"Content-Length", b"3"), (b"x", "not bytes"), (b"content-type", b"text/plain")]

    def test_native_remove_headers(self):
        message = make((b"a", b"1"), (b"b", b"2"), (b"a", b"1"))
        native = Native(message)
        assert native.remove_headers([(b"a", b"1"), (b"b", b"2")]) == 0
        assert raw(message) == [(b"a", b"1")]
        with pytest.raises(ValueError, match=re.escape("list.remove(x): x not in list")):
            native.remove_headers([(b"a", b"1"), (b"zz", b"0")])
        assert raw(message) == []  # what was removed before the failure stays removed
        with pytest.raises(TypeError):
            native.remove_headers(None)

    def test_native_init_prop(self):
        class Sub(Message):
            pass

        message = Sub([])
        native = Native(message)
        assert native.init_prop("extra", 1) == 0
        assert native.init_prop("extra", 2) == 0
        assert native.init_prop("context", 3) == 0  # context is None, which reads fine
        assert (message.extra, message.context) == (1, None)

        class Failing(Message):
            @property
            def broken(self):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            Native(Failing([])).init_prop("broken", 1)


class TestMalformedHeaderLists:
    @pytest.mark.parametrize(
        "element, key, error, text",
        [
            (None, b"a", TypeError, "'NoneType' object is not subscriptable"),
            ((), b"a", IndexError, "tuple index out of range"),
            (("a", b"1"), b"a", TypeError, "Expected bytes, got str"),
            ((None, b"1"), b"a", TypeError, "Expected bytes, got NoneType"),
            (5, b"a", TypeError, "'int' object is not subscriptable"),
        ],
    )
    def test_indexing_operations(self, element, key, error, text):
        message = make((b"b", b"0"), element)
        for operation in (message.get_first_header, message.get_headers, message.remove_header):
            with pytest.raises(error) as info:
                operation(key)
            assert str(info.value) == text
        assert raw(message) == [(b"b", b"0"), element]

    def test_short_tuples(self):
        message = make((b"b",), (b"a", b"1"))
        assert message.get_first_header(b"a") == b"1"  # only a match needs the value
        for operation in (message.get_first_header, message.get_headers):
            with pytest.raises(IndexError, match="tuple index out of range"):
                operation(b"b")
        message.remove_header(b"B")
        assert raw(message) == [(b"a", b"1")]

    def test_lists_and_headers_as_elements(self):
        message = make([b"a", b"1"], [b"A", b"2"])
        assert message.get_headers(b"a") == [b"1", b"2"]
        assert message.has_header(b"a") is True
        message = make(Header(b"B", b"2"))
        with pytest.raises(TypeError, match="'quillmoth.headers.Header' object is not subscriptable"):
            message.get_first_header(b"b")
        assert message.has_header(b"b") is True  # a Header is not subscriptable, but it unpacks

    @pytest.mark.parametrize(
        "element, error, text",
        [
            ((b"a", b"1", b"2"), ValueError, "too many values to unpack (expected 2)"),
            ((b"a",), ValueError, "need more than 1 value to unpack"),
            ((), ValueError, "need more than 0 values to unpack"),
            (None, TypeError, "'NoneType' object is not iterable"),
            (iter([b"a", b"1", b"2"]), ValueError, "too many values to unpack (expected 2)"),
            (("a", b"1"), TypeError, "Expected bytes, got str"),
        ],
    )
    def test_has_header_unpacks_each_element(self, element, error, text):
        message = make((b"b", b"0"), element)
        with pytest.raises(error) as info:
            message.has_header(b"a")
        assert str(info.value) == text
        assert message.has_header(b"B") is True  # a match before the bad element ends the walk

    def test_element_mutating_the_list_during_a_scan(self):
        class Evil:
            def __getitem__(self, index):
                pairs.clear()
                return b"a" if index == 0 else b"gone"

        pairs = [Evil(), (b"a", b"2")]
        message = Message(pairs)
        assert message.get_headers(b"a") == [b"gone"]


class TestArgumentTypes:
    @pytest.mark.parametrize(
        "method, args, text",
        [
            ("get_first_header", ("a",), "Argument 'key' has incorrect type (expected bytes, got str)"),
            ("get_headers", (None,), "Argument 'key' has incorrect type (expected bytes, got NoneType)"),
            ("get_single_header", (bytearray(b"a"),), "Argument 'key' has incorrect type (expected bytes, got bytearray)"),
            ("remove_header", (1,), "Argument 'key' has incorrect type (expected bytes, got int)"),
            ("has_header", ("a",), "Argument 'key' has incorrect type (expected bytes, got str)"),
            ("add_header", ("a", b"1"), "Argument 'key' has incorrect type (expected bytes, got str)"),
            ("add_header", (b"a", None), "Argument 'value' has incorrect type (expected bytes, got NoneType)"),
            ("set_header", (b"a", "1"), "Argument 'value' has incorrect type (expected bytes, got str)"),
            ("declares_content_type", ("json",), "Argument 'type' has incorrect type (expected bytes, got str)"),
            ("with_content", (b"x",), "Argument 'content' has incorrect type (expected quillmoth.contents.Content, got bytes)"),
            ("get_first_header", (), "get_first_header() takes exactly 1 positional argument (0 given)"),
            ("add_header", (b"a",), "add_header() takes exactly 2 positional arguments (1 given)"),
            ("has_body", (1,), "has_body() takes exactly 0 positional arguments (1 given)"),
        ],
    )
    def test_messages(self, method, args, text):
        message = make((b"a", b"1"))
        with pytest.raises(TypeError) as info:
            getattr(message, method)(*args)
        assert str(info.value) == text
        assert raw(message) == [(b"a", b"1")]

    @pytest.mark.parametrize(
        "function, args, text",
        [
            (parse_charset, ("charset=utf-8",), "Argument 'value' has incorrect type (expected bytes, got str)"),
            (parse_charset, (None,), "Argument 'value' has incorrect type (expected bytes, got NoneType)"),
            (method_without_body, (b"GET",), "Argument 'method' has incorrect type (expected str, got bytes)"),
            (method_without_body, (), "method_without_body() takes exactly 1 positional argument (0 given)"),
        ],
    )
    def test_module_functions(self, function, args, text):
        with pytest.raises(TypeError) as info:
            function(*args)
        assert str(info.value) == text

    @pytest.mark.parametrize(
        "method, parameters",
        [
            ("get_first_header", ["self", "key"]),
            ("add_header", ["self", "key", "value"]),
            ("declares_content_type", ["self", "type"]),
            ("with_content", ["self", "content"]),
            ("has_body", ["self"]),
        ],
    )
    def test_signatures(self, method, parameters):
        assert list(inspect.signature(getattr(Message, method)).parameters) == parameters


class TestContent:
    def test_with_content_chains(self):
        message = make()
        body = content(b"text/plain", b"abc")
        assert message.with_content(body) is message and message.content is body
        assert message.with_content(None) is message and message.content is None

    @pytest.mark.parametrize(
        "type_, header, expected",
        [
            (b"application/json", b"text/plain", b"application/json"),  # the content wins
            (b"", b"text/plain", b"text/plain"),  # an empty type falls back to the header
            (None, b"text/plain", b"text/plain"),
            (b"", None, None),
        ],
    )
    def test_content_type(self, type_, header, expected):
        message = make(*([(b"Content-Type", header)] if header is not None else []))
        message.content = content(type_, b"x")
        assert message.content_type() == expected

    def test_content_type_without_content(self):
        assert make((b"content-type", b"a/b")).content_type() == b"a/b"
        assert make().content_type() is None

    def test_falsy_content_falls_back_to_the_header(self):
        class Empty(Content):
            def __bool__(self):
                return False

        message = make((b"content-type", b"text/html"))
        message.content = Empty(b"application/json", b"x")
        assert message.content_type() == b"text/html"
        assert message.has_body() is False

    @pytest.mark.parametrize(
        "declared, json, xml",
        [
            (b"application/problem+json", True, False),
            (b"Application/JSON", True, False),
            (b"application/xml; charset=utf-8", False, True),
            (b"TEXT/XML", False, True),
            (b"text/plain", False, False),
            (None, False, False),
        ],
    )
    def test_declares(self, declared, json, xml):
        message = make(*([(b"content-type", declared)] if declared is not None else []))
        assert message.declares_json() is json
        assert message.declares_xml() is xml
        assert message.declares_content_type(b"JsOn") is json

    def test_declares_content_type_reads_the_content_first(self):
        message = make((b"content-type", b"text/plain"))
        message.content = content(b"application/json")
        assert message.declares_json() is True
        assert message.declares_content_type(b"") is True
        assert make().declares_content_type(b"") is False

    @pytest.mark.parametrize(
        "declared, charset",
        [
            (b"text/plain; Charset=ISO-8859-1", "ISO-8859-1"),
            (b"text/html;charset=utf-8", "utf-8"),
            (b"text/html; CHARSET=Windows_1252; q=1", "Windows_1252"),
            (b"text/plain", "utf8"),
            (b"text/plain; charset=", "utf8"),
            (b"text/plain; charset=;", "utf8"),
            (b"", "utf8"),
            (None, "utf8"),
        ],
    )
    def test_charset(self, declared, charset):
        message = make(*([(b"Content-Type", declared)] if declared is not None else []))
        assert message.charset == charset

    def test_charset_follows_changes(self):
        message = make((b"content-type", b"text/plain; charset=latin-1"))
        assert message.charset == "latin-1"
        message.content = content(b"text/plain; charset=utf-16")
        assert message.charset == "utf-16"
        message.content = None
        message.remove_header(b"content-type")
        assert message.charset == "utf8"

    @pytest.mark.parametrize("length, expected", [(None, False), (0, False), (-1, True), (12, True)])
    def test_has_body(self, length, expected):
        message = make()
        if length is not None:
            message.content = content(b"text/plain", b"x", length)
        assert message.has_body() is expected


class TestModuleFunctions:
    @pytest.mark.parametrize(
        "method, expected",
        [("GET", True), ("HEAD", True), ("TRACE", True), ("get", False), ("OPTIONS", False),
         ("POST", False), ("GETS", False), ("", False), ("G\u00c9T", False), (None, False)],
    )
    def test_method_without_body(self, method, expected):
        assert method_without_body(method) is expected
        assert method_without_body(method=method) is expected

    def test_method_without_body_is_exported_natively(self):
        assert export_signature(messages, "method_without_body") == b"int (PyObject *, int)"
        native = bind_export(messages, "method_without_body", ctypes.c_int, ctypes.py_object, ctypes.c_int)
        assert [native(m, 0) for m in ("GET", "HEAD", "TRACE", "get", "PUT", None, 5, b"GET")] == [1, 1, 1, 0, 0, 0, 0, 0]

    def test_charset_rx(self):
        assert messages._charset_rx.pattern == rb"charset=([\w\-]+)"
        assert messages._charset_rx.flags & re.IGNORECASE

    @pytest.mark.parametrize(
        "value, expected",
        [
            (b"text/plain; charset=UTF-8", "UTF-8"),
            (b"CharSet=x_y-z9 rest", "x_y-z9"),
            (b"charset=\xff; charset=ok", "ok"),  # the first marker has no name after it
            (b"charset=", None),
            (b"charsetutf-8", None),
            (b"", None),
        ],
    )
    def test_parse_charset(self, value, expected):
        assert parse_charset(value) == expected

    @settings(max_examples=examples(400))
    @given(
        st.lists(
            st.one_of(
                st.sampled_from([b"charset=", b"CHARSET=", b"ChArSeT=", b"charset", b"=", b";", b" ", b"-", b"_"]),
                st.binary(max_size=6),
            ),
            max_size=8,
        ).map(b"".join)
    )
    def test_parse_charset_agrees_with_the_published_pattern(self, value):
        match = messages._charset_rx.search(value)
        assert parse_charset(value) == (match.group(1).decode("ascii") if match else None)


class TestOverrides:
    """A Python subclass that redefines an operation is reached by the internal calls through the
    table and by native callers; the exact class takes the direct path."""

    def test_get_single_header_calls_get_headers(self):
        class Sub(Message):
            def get_headers(self, key):
                return [b"one", b"two"] if key == b"many" else [b"only"]

        message = Sub([])
        assert message.get_single_header(b"x") == b"only"
        with pytest.raises(ValueError, match="more than one"):
            message.get_single_header(b"many")

    def test_set_header_calls_remove_header(self):
        calls = []

        class Sub(Message):
            def remove_header(self, key):
                calls.append(key)

        message = Sub([(b"a", b"1")])
        message.set_header(b"a", b"2")
        assert calls == [b"a"] and raw(message) == [(b"a", b"1"), (b"a", b"2")]

    def test_content_type_calls_get_first_header(self):
        class Sub(Message):
            def get_first_header(self, key):
                return b"application/json; charset=koi8-r" if key == b"content-type" else None

        message = Sub([])
        assert message.content_type() == b"application/json; charset=koi8-r"
        assert message.declares_json() is True and message.charset == "koi8-r"

    def test_charset_and_declares_call_content_type(self):
        class Sub(Message):
            def content_type(self):
                return b"text/xml; charset=ascii"

        message = Sub([(b"content-type", b"text/plain")])
        assert message.charset == "ascii" and message.declares_xml() is True

    def test_declares_json_calls_declares_content_type(self):
        seen = []

        class Sub(Message):
            def declares_content_type(self, type):
                seen.append(type)
                return True

        message = Sub([])
        assert message.declares_json() is True and message.declares_xml() is True
        assert seen == [b"json", b"xml"]

    def test_errors_in_overrides_propagate(self):
        class Sub(Message):
            def remove_header(self, key):
                raise RuntimeError("no removal")

        message = Sub([(b"a", b"1")])
        with pytest.raises(RuntimeError, match="no removal"):
            message.set_header(b"a", b"2")
        assert raw(message) == [(b"a", b"1")]

    @pytest.mark.parametrize(
        "name, args, expected",
        [
            ("get_headers", (b"k",), ["override"]),
            ("get_first_header", (b"k",), "override"),
            ("get_single_header", (b"k",), "override"),
            ("remove_header", (b"k",), 0),
            ("has_header", (b"k",), 1),
            ("add_header", (b"k", b"v"), 0),
            ("set_header", (b"k", b"v"), 0),
            ("content_type", (), "override"),
            ("with_content", (None,), "override"),
            ("has_body", (), 1),
            ("declares_content_type", (b"k",), 1),
            ("declares_json", (), 1),
            ("declares_xml", (), 1),
        ],
    )
    def test_native_callers_reach_every_python_visible_override(self, name, args, expected):
        calls = []

        def override(self, *a):
            calls.append(a)
            return ["override"] if name == "get_headers" else ("override" if expected == "override" else True)

        Sub = type("Sub", (Message,), {name: override})
        message = Sub([(b"k", b"v")])
        assert getattr(Native(message), name)(*args) == expected
        assert calls == [args]

    def test_override_added_after_first_use_is_seen(self):
        class Sub(Message):
            pass

        message = Sub([(b"content-type", b"a/b")])
        assert message.content_type() == b"a/b"
        Sub.get_first_header = lambda self, key: b"c/d"
        assert message.content_type() == b"c/d"
        del Sub.get_first_header
        assert message.content_type() == b"a/b"

    def test_native_has_header_only_op_ignores_python_attribute(self):
        class Sub(Message):
            def _has_header(self, key):  # native-only operations are not Python-visible
                return True

        message = Sub([])
        assert message.has_header(b"x") is False
        assert Native(message)._has_header(b"x") == 0


class TestReinitialisation:
    def test_init_again_drops_the_view_of_the_old_list(self):
        message = Message([(b"a", b"1")])
        old_view = message.headers
        message.__init__([(b"b", b"2")])
        assert message.headers is not old_view
        assert message.headers.get(b"b") == (b"2",) and message.get_first_header(b"a") is None


class TestImport:
    @pytest.mark.parametrize(
        "setup, text",
        [
            ("sys.modules['quillmoth.sessions'] = None", "quillmoth.sessions"),
            ("import types; sys.modules['quillmoth.sessions'] = types.ModuleType('quillmoth.sessions')",
             "cannot import name 'Session' from 'quillmoth.sessions'"),
            ("import types; m = types.ModuleType('quillmoth.contents'); m.Content = 5; "
             "sys.modules['quillmoth.contents'] = m", "quillmoth.contents.Content is not a class"),
        ],
    )
    def test_missing_dependency_fails_the_import(self, setup, text):
        code = f"import sys\n{setup}\ntry:\n    import quillmoth.messages\nexcept ImportError as e:\n    print('ImportError', e)\n"
        done = run_python(code)
        assert done.returncode == 0, done.stderr
        out = done.stdout
        assert out.startswith("ImportError") and text in out


class TestReferenceCounts:
    """Every operation, including its error paths, returns what it took."""

    def test_no_leaks(self):
        class Sub(Message):
            def remove_header(self, key):
                raise RuntimeError

        key, value = b"X-Key", b"value"
        pairs = [(b"a", b"1"), (b"x-key", value), (b"b", b"2")]
        message = Message(list(pairs))
        message.content = content(b"text/plain; charset=utf-8", b"abc")
        failing = Sub([])
        malformed = Message([None])

        def exercise():
            message.get_first_header(key)
            message.get_headers(key)
            message.get_single_header(key)
            message.has_header(b"missing")
            message.add_header(b"tmp", value)
            message.set_header(b"tmp", value)
            message.remove_header(b"tmp")
            message.content_type()
            message.charset
            message.declares_json()
            message.has_body()
            message.headers
            Native(message).get_headers_tuples(key)
            parse_charset(b"charset=utf-8")
            for call in (
                lambda: message.get_single_header(b"missing"),
                lambda: message.get_first_header("str"),
                lambda: failing.set_header(b"a", b"b"),
                lambda: malformed.get_first_header(b"a"),
                lambda: Message(()),
            ):
                try:
                    call()
                except (TypeError, ValueError, RuntimeError):
                    pass

        for _ in range(200):
            exercise()
        counts = (sys.getrefcount(key), sys.getrefcount(value), sys.getrefcount(message))
        gc.collect()
        blocks = sys.getallocatedblocks()
        for _ in range(2000):
            exercise()
        gc.collect()
        assert (sys.getrefcount(key), sys.getrefcount(value), sys.getrefcount(message)) == counts
        assert sys.getallocatedblocks() - blocks < 100
        assert raw(message) == pairs
