"""Header and Headers: construction, lookups, mutation, the interpreter protocols, malformed stored
pairs, subclass overrides (reached from Python, from native callers and from the collection's own
calls), pickling, and reference/allocation hygiene on success and error paths."""

import collections.abc
import gc
import pickle
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import examples, load_module, run_python
from quillmoth.headers import Header, Headers

MORE_THAN_ONE = "Headers contains more than one header with the given key"
NOT_ONE = "Headers does not contain one header with the given key"


def arg_type_message(arg, expected, got):
    return f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"


@pytest.fixture(scope="session")
def native(compile_native):
    """A stand-in sibling module compiled against quillmoth/headers.h, calling the table natively."""
    return load_module("headers_caller", compile_native("headers_caller"))


# --- Header ------------------------------------------------------------------------------------


class TestHeader:
    @pytest.mark.parametrize(
        "args, kwargs",
        [((b"Content-Type", b"text/plain"), {}), ((), {"name": b"Content-Type", "value": b"text/plain"}),
         ((b"Content-Type",), {"value": b"text/plain"})],
    )
    def test_construction_positional_or_keyword(self, args, kwargs):
        header = Header(*args, **kwargs)
        assert (header.name, header.value) == (b"Content-Type", b"text/plain")
        name, value = header
        assert (name, value) == (b"Content-Type", b"text/plain")

    def test_none_allowed_and_fields_none_before_init(self):
        assert (Header(None, None).name, Header(None, None).value) == (None, None)
        fresh = Header.__new__(Header)
        assert (fresh.name, fresh.value) == (None, None)

    @pytest.mark.parametrize(
        "name, value, arg, got",
        [("a", b"x", "name", "str"), (b"a", 1, "value", "int"), (bytearray(b"a"), b"x", "name", "bytearray"),
         (type("B", (bytes,), {})(b"a"), b"x", "name", "B")],
    )
    def test_wrong_types(self, name, value, arg, got):
        with pytest.raises(TypeError) as info:
            Header(name, value)
        assert str(info.value) == arg_type_message(arg, "bytes", got)

    @pytest.mark.parametrize("args", [(), (b"a",), (b"a", b"b", b"c")])
    def test_argument_count(self, args):
        with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments"):
            Header(*args)

    def test_read_only(self):
        header = Header(b"a", b"b")
        for attr in ("name", "value"):
            with pytest.raises(AttributeError):
                setattr(header, attr, b"x")
        assert header.name == b"a"

    @pytest.mark.parametrize(
        "left, right, equal",
        [(Header(b"A", b"x"), Header(b"a", b"x"), True), (Header(b"a", b"x"), Header(b"a", b"X"), False),
         (Header(b"content-TYPE", b"v"), Header(b"Content-Type", b"v"), True),
         (Header(b"a", b"x"), Header(b"ab", b"x"), False), (Header(b"\xc4", b"x"), Header(b"\xe4", b"x"), False),
         (Header(b"a", None), Header(b"A", None), True)],
    )
    def test_equality(self, left, right, equal):
        assert (left == right) is equal
        assert (left != right) is (not equal)
        assert (right == left) is equal

    def test_comparison_with_other_types_is_identity(self):
        header = Header(b"a", b"x")
        assert header != (b"a", b"x")
        assert not header == (b"a", b"x")
        assert header.__eq__((b"a", b"x")) is NotImplemented
        assert header.__ne__(5) is NotImplemented
        assert header == header

    def test_subclass_equality(self):
        Sub = type("Sub", (Header,), {})
        assert Sub(b"A", b"1") == Header(b"a", b"1")

    def test_none_names_compare_through_lower(self):
        with pytest.raises(AttributeError, match="lower"):
            Header(None, b"x") == Header(None, b"x")

    @pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
    def test_ordering_not_implemented(self, op):
        assert getattr(Header(b"a", b"b"), op)(Header(b"a", b"b")) is NotImplemented
        with pytest.raises(TypeError):
            Header(b"a", b"b") < Header(b"a", b"c")

    def test_unhashable(self):
        with pytest.raises(TypeError, match="unhashable"):
            hash(Header(b"a", b"b"))

    @pytest.mark.parametrize(
        "header, text",
        [(Header(b"content-type", b"text/plain"), "<Header b'content-type': b'text/plain'>"),
         (Header(None, b"v"), "<Header None: b'v'>")],
    )
    def test_repr(self, header, text):
        assert repr(header) == text

    def test_pickle(self):
        Sub = globals()["PickledHeader"]
        for header in (Header(b"Set-Cookie", b"a=1"), Sub(b"X", b"y"), Header(None, None)):
            copy = pickle.loads(pickle.dumps(header))
            assert type(copy) is type(header)
            assert (copy.name, copy.value) == (header.name, header.value)


class PickledHeader(Header):
    pass


class PickledHeaders(Headers):
    pass


class TaggedHeaders(Headers):
    def __init__(self, values=None, tag="t"):
        super().__init__(values)
        self.tag = tag


def test_pickle_keeps_subclass_attributes():
    headers = TaggedHeaders([(b"a", b"1")], tag="kept")
    copy = pickle.loads(pickle.dumps(headers))
    assert (type(copy), copy.tag, copy.values) == (TaggedHeaders, "kept", [(b"a", b"1")])
    header = PickledHeader(b"n", b"v")
    header.note = 1
    copy = pickle.loads(pickle.dumps(header))
    assert (copy.name, copy.value, copy.note) == (b"n", b"v", 1)


def test_subclass_constructor_runs_its_own_init():
    raw = [(b"a", b"1")]
    headers = TaggedHeaders(raw, tag="x")
    assert headers.values is raw and headers.tag == "x"
    assert TaggedHeaders().values == []


# --- Headers: construction and storage ---------------------------------------------------------


class TestConstruction:
    @pytest.mark.parametrize("make", [lambda: Headers(), lambda: Headers(None), lambda: Headers(values=None)])
    def test_fresh_list(self, make):
        first, second = make(), make()
        assert first.values == [] and first.values is not second.values

    def test_shares_given_list(self):
        raw = [(b"a", b"1")]
        headers = Headers(raw)
        assert headers.values is raw
        headers.add(b"b", b"2")
        assert raw[-1] == (b"b", b"2")
        raw.append((b"c", b"3"))
        assert headers.get(b"C") == (b"3",)

    @pytest.mark.parametrize(
        "values, got", [(((b"a", b"1"),), "tuple"), ({b"a": b"1"}, "dict"), (type("L", (list,), {})(), "L")]
    )
    def test_rejects_non_list(self, values, got):
        with pytest.raises(TypeError) as info:
            Headers(values)
        assert str(info.value) == arg_type_message("values", "list", got)

    def test_argument_errors(self):
        with pytest.raises(TypeError, match=r"takes at most 1 positional argument \(2 given\)"):
            Headers([], [])
        with pytest.raises(TypeError, match="unexpected keyword argument 'items'"):
            Headers(items=[])

    def test_values_read_only(self):
        headers = Headers()
        with pytest.raises(AttributeError):
            headers.values = []

    def test_repr(self):
        assert repr(Headers([(b"a", b"1")])) == "<Headers [(b'a', b'1')]>"
        assert repr(Headers()) == "<Headers []>"

    def test_pickle(self):
        for headers in (Headers([(b"A", b"1"), (b"a", b"2")]), PickledHeaders([(b"x", b"y")]), Headers()):
            copy = pickle.loads(pickle.dumps(headers))
            assert type(copy) is type(headers)
            assert copy.values == headers.values and copy.values is not headers.values

    def test_not_hashable_nor_indexable_by_int(self):
        headers = Headers([(b"a", b"1")])
        with pytest.raises(TypeError) as info:
            headers[0]
        assert str(info.value) == arg_type_message("item", "bytes", "int")
        with pytest.raises(TypeError) as info:
            headers[0] = b"x"
        assert str(info.value) == arg_type_message("key", "bytes", "int")
        with pytest.raises(TypeError) as info:
            del headers[0]
        assert str(info.value) == arg_type_message("key", "bytes", "int")


# --- Lookups -----------------------------------------------------------------------------------


@pytest.fixture
def cookies():
    headers = Headers()
    headers.add(b"Set-Cookie", b"a")
    headers.add(b"set-cookie", b"b")
    headers.add(b"Content-Type", b"text/html")
    return headers


class TestLookups:
    def test_duplicates_in_mixed_case(self, cookies):
        assert cookies.get(b"SET-COOKIE") == (b"a", b"b")
        assert cookies[b"set-cookie"] == (b"a", b"b")
        assert cookies.get_first(b"set-cookie") == b"a"
        assert cookies.keys() == (b"Set-Cookie", b"set-cookie", b"Content-Type")
        with pytest.raises(ValueError) as info:
            cookies.get_single(b"set-cookie")
        assert str(info.value) == MORE_THAN_ONE

    def test_single(self, cookies):
        assert cookies.get_single(b"content-type") == b"text/html"
        assert cookies.contains(b"CONTENT-TYPE") is True
        assert b"content-type" in cookies

    def test_absent(self, cookies):
        with pytest.raises(ValueError) as info:
            cookies.get_single(b"x-absent")
        assert str(info.value) == NOT_ONE
        assert cookies.get_first(b"x-absent") is None
        assert cookies[b"x-absent"] == ()
        assert cookies.get(b"x-absent") == ()
        assert cookies.get_tuples(b"x-absent") == []
        assert cookies.contains(b"x-absent") is False
        assert b"x-absent" not in cookies

    def test_get_tuples_returns_stored_objects(self, cookies):
        found = cookies.get_tuples(b"SET-cookie")
        assert found == [(b"Set-Cookie", b"a"), (b"set-cookie", b"b")]
        assert found[0] is cookies.values[0] and found[1] is cookies.values[1]

    def test_equal_values_still_count_twice(self):
        headers = Headers([(b"x", b"1"), (b"X", b"1")])
        with pytest.raises(ValueError, match=MORE_THAN_ONE):
            headers.get_single(b"x")

    def test_keys_exact_duplicates_once(self):
        headers = Headers([(b"a", b"1"), (b"B", b"2"), (b"a", b"3"), (b"b", b"4"), (b"B", b"5")])
        assert headers.keys() == (b"a", b"B", b"b")
        assert Headers().keys() == ()

    @settings(max_examples=examples(60))
    @given(st.lists(st.tuples(st.one_of(st.none(), st.sampled_from([b"a", b"A", b"b", b"x-y", b"X-Y", b""]),
                                        st.binary(max_size=3)), st.just(b"v")), max_size=120))
    def test_keys_against_model(self, pairs):
        # Short lists compare names one by one, long ones go through a set: both must give every
        # distinct name (exact bytes, None included) once, in order of first occurrence.
        assert Headers(pairs).keys() == tuple(dict.fromkeys(name for name, _ in pairs))

    def test_keys_of_many_distinct_names(self):
        names = [b"x-%d" % i for i in range(20000)]
        headers = Headers([(name, b"v") for name in names] + [(name.upper(), b"w") for name in names[:50]])
        assert headers.keys() == tuple(names) + tuple(name.upper() for name in names[:50])

    @pytest.mark.parametrize(
        "stored, key, match",
        [(b"X-\xc4", b"x-\xc4", True), (b"\xc4", b"\xe4", False), (b"[", b"{", False), (b"@", b"`", False),
         (b"Z", b"z", True), (b"", b"", True), (b"a", b"", False),
         # Names of eight bytes and more are compared a word at a time.
         (b"X-Custom-\xc4\xd6-Name", b"x-custom-\xc4\xd6-name", True),
         (b"X-Custom-\xc4-Name", b"x-custom-\xe4-name", False), (b"Content-[Type", b"content-{type", False),
         (b"ACCEPT-@", b"accept-`", False), (b"ABCDEFGH", b"abcdefgh", True)],
    )
    def test_only_ascii_letters_fold(self, stored, key, match):
        headers = Headers([(stored, b"v")])
        assert headers.contains(key) is match
        assert headers.get(key) == ((b"v",) if match else ())
        assert (headers.get_first(key) == b"v") is match

    @pytest.mark.parametrize("length", [127, 128, 129, 4096])
    def test_long_keys(self, length):
        name = b"X" * length
        headers = Headers([(b"x" * (length - 1), b"short"), (name, b"long"), (b"x" * (length + 1), b"longer")])
        assert headers.get(name.lower()) == (b"long",)
        assert headers.contains(name) and headers.get_first(name) == b"long"
        headers.remove(name.lower())
        assert headers.values == [(b"x" * (length - 1), b"short"), (b"x" * (length + 1), b"longer")]

    def test_many_matches_grow_past_stack_buffer(self):
        raw = [(b"X-N" if i % 2 else b"x-n", str(i).encode()) for i in range(100)]
        headers = Headers(raw)
        assert headers.get(b"x-n") == tuple(str(i).encode() for i in range(100))
        assert len(headers.get_tuples(b"X-N")) == 100
        headers.remove(b"x-N")
        assert headers.values == []

    def test_keyword_arguments(self, cookies):
        assert cookies.get(name=b"content-type") == (b"text/html",)
        assert cookies.get_first(key=b"content-type") == b"text/html"
        cookies.add(name=b"k", value=b"v")
        assert cookies.contains(key=b"K")


# --- Mutation ----------------------------------------------------------------------------------


class TestMutation:
    def test_set_moves_to_end_with_given_case(self):
        headers = Headers([(b"x-a", b"1"), (b"b", b"c")])
        headers.set(b"X-A", b"2")
        assert headers.values == [(b"b", b"c"), (b"X-A", b"2")]

    def test_set_absent_appends_and_setitem(self):
        headers = Headers([(b"b", b"c")])
        headers[b"New"] = b"1"
        headers[b"new"] = b"2"
        assert headers.values == [(b"b", b"c"), (b"new", b"2")]

    def test_remove_all_mixed_case_keeps_order(self):
        headers = Headers([(b"A", b"1"), (b"keep", b"k1"), (b"a", b"2"), (b"x", b"y"), (b"A", b"1")])
        headers.remove(b"a")
        assert headers.values == [(b"keep", b"k1"), (b"x", b"y")]

    def test_remove_absent_and_del_absent(self):
        raw = [(b"a", b"1")]
        headers = Headers(raw)
        headers.remove(b"b")
        del headers[b"b"]
        assert raw == [(b"a", b"1")]
        del headers[b"A"]
        assert raw == []

    def test_add_keeps_duplicates_and_case(self):
        headers = Headers()
        headers.add(b"A", b"1")
        headers.add(b"A", b"1")
        headers.add(None, None)
        assert headers.values == [(b"A", b"1"), (b"A", b"1"), (None, None)]

    def test_merge_appends_same_objects_skipping_none(self):
        headers = Headers([(b"z", b"0")])
        pair = (b"a", b"1")
        headers.merge([None, pair])
        assert headers.values == [(b"z", b"0"), pair] and headers.values[1] is pair

    def test_merge_stops_at_bad_element(self):
        headers = Headers()
        with pytest.raises(TypeError, match="^Expected tuple, got list$"):
            headers.merge([(b"a", b"1"), [b"b", b"2"], (b"c", b"3")])
        assert headers.values == [(b"a", b"1")]

    def test_merge_does_not_validate_tuples(self):
        headers = Headers()
        headers.merge([(b"a",), (1, 2, 3)])
        assert headers.values == [(b"a",), (1, 2, 3)]

    @pytest.mark.parametrize(
        "values, exc, message",
        [(None, TypeError, "'NoneType' object is not iterable"),
         ((("a", "b"),), TypeError, arg_type_message("values", "list", "tuple"))],
    )
    def test_merge_argument(self, values, exc, message):
        with pytest.raises(exc) as info:
            Headers().merge(values)
        assert str(info.value) == message

    def test_clone_is_independent_base_class(self):
        source = PickledHeaders([(b"A", b"1"), (b"b", None)])
        clone = source.clone()
        assert type(clone) is Headers
        assert clone.values == source.values
        assert clone.values is not source.values
        assert all(c is not s for c, s in zip(clone.values, source.values))
        assert clone.values[0][0] is source.values[0][0]
        clone.add(b"c", b"3")
        assert len(source.values) == 2

    def test_update(self):
        headers = Headers([(b"a", b"0"), (b"b", b"1")])
        assert headers.update({b"A": b"1", b"c": b"2"}) is None
        assert headers.values == [(b"b", b"1"), (b"A", b"1"), (b"c", b"2")]

    @pytest.mark.parametrize(
        "values, exc, message",
        [(None, AttributeError, "'NoneType' object has no attribute 'items'"),
         ([(b"a", b"1")], TypeError, arg_type_message("values", "dict", "list")),
         ({"a": b"1"}, TypeError, arg_type_message("key", "bytes", "str")),
         ({b"a": 1}, TypeError, arg_type_message("value", "bytes", "int"))],
    )
    def test_update_errors(self, values, exc, message):
        with pytest.raises(exc) as info:
            Headers().update(values)
        assert str(info.value) == message

    def test_items_and_iter(self, cookies):
        assert list(cookies.items()) == cookies.values
        assert list(iter(cookies)) == cookies.values
        assert [name for name, _ in cookies] == [b"Set-Cookie", b"set-cookie", b"Content-Type"]


# --- add_many, +, += ---------------------------------------------------------------------------


class TestAdding:
    @pytest.mark.parametrize(
        "values, expected",
        [({b"a": b"1"}, [(b"a", b"1")]),
         ([(b"a", b"1"), Header(b"b", b"2")], [(b"a", b"1"), (b"b", b"2")]),
         ([[b"a", b"1"]], [(b"a", b"1")]),
         (collections.UserList([(b"u", b"1")]), [(b"u", b"1")]),
         (collections.OrderedDict([(b"o", b"1"), (b"p", b"2")]), [(b"o", b"1"), (b"p", b"2")])],
    )
    def test_add_many(self, values, expected):
        headers = Headers()
        assert headers.add_many(values) is None
        assert headers.values == expected

    @pytest.mark.parametrize(
        "values, exc, message",
        [(((b"a", b"1"),), ValueError, "values must be dict[bytes, bytes] or list[Header]"),
         (None, ValueError, "values must be dict[bytes, bytes] or list[Header]"),
         ({"a": b"1"}, TypeError, "Expected bytes, got str"),
         ({b"a": 1}, TypeError, "Expected bytes, got int"),
         ([(b"a", b"1", b"2")], TypeError, "add() takes exactly 2 positional arguments (3 given)"),
         ([5], TypeError, "add() argument after * must be an iterable, not int")],
    )
    def test_add_many_errors(self, values, exc, message):
        with pytest.raises(exc) as info:
            Headers().add_many(values)
        assert str(info.value) == message

    def test_add_many_keeps_pairs_before_failure(self):
        headers = Headers()
        with pytest.raises(TypeError):
            headers.add_many([(b"a", b"1"), (b"b",)])
        assert headers.values == [(b"a", b"1")]

    def test_add_many_dict_changing_size(self):
        class Growing(Headers):
            def add(self, name, value):
                source[name + b"!"] = value
                super().add(name, value)

        source = {b"a": b"1"}
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            Growing().add_many(source)

    @pytest.mark.parametrize(
        "other, expected",
        [(Headers([(b"b", b"2")]), [(b"b", b"2")]), (Header(b"b", b"2"), [(b"b", b"2")]),
         ((b"b", b"2"), [(b"b", b"2")]), ([(b"b", b"2"), (b"c", b"3")], [(b"b", b"2"), (b"c", b"3")]),
         (collections.UserList([(b"u", b"1")]), [(b"u", b"1")])],
    )
    def test_plus(self, other, expected):
        headers = Headers([(b"a", b"1")])
        result = headers + other
        assert result is not headers and type(result) is Headers
        assert result.values == [(b"a", b"1")] + expected
        assert headers.values == [(b"a", b"1")]

    def test_reflected_plus_keeps_collection_first(self):
        headers = Headers([(b"h", b"1")])
        result = [(b"a", b"1")] + headers
        assert type(result) is Headers
        assert result.values == [(b"h", b"1"), (b"a", b"1")]
        assert ((b"a", b"1") + headers).values == [(b"h", b"1"), (b"a", b"1")]

    def test_inplace_changes_itself(self):
        headers = Headers([(b"a", b"1")])
        alias = headers
        headers += Header(b"b", b"2")
        assert headers is alias
        assert headers.values == [(b"a", b"1"), (b"b", b"2")]

    @pytest.mark.parametrize(
        "other, message",
        [((b"a", b"1", b"2"), "Cannot add, an invalid tuple (b'a', b'1', b'2')."),
         ((b"a",), "Cannot add, an invalid tuple (b'a',)."),
         ([b"x"], "The sequence contains invalid elements: cannot add b'x' to Headers"),
         ([Header(b"a", b"1")], "The sequence contains invalid elements: cannot add <Header b'a': b'1'> to Headers")],
    )
    def test_plus_invalid(self, other, message):
        headers = Headers([(b"a", b"1")])
        with pytest.raises(ValueError) as info:
            headers + other
        assert str(info.value) == message
        assert headers.values == [(b"a", b"1")]

    def test_invalid_element_names_subclass_and_keeps_earlier(self):
        headers = PickledHeaders()
        with pytest.raises(ValueError, match="cannot add 5 to PickledHeaders$"):
            headers += [(b"a", b"1"), 5]
        assert headers.values == [(b"a", b"1")]

    @pytest.mark.parametrize("other", [5, None, "ab", {b"a": b"1"}, ((b"a", b"1"),) * 3])
    def test_unsupported_operands(self, other):
        headers = Headers([(b"a", b"1")])
        if isinstance(other, tuple):  # a tuple of pairs is a tuple of the wrong length
            with pytest.raises(ValueError, match="invalid tuple"):
                headers + other
            return
        with pytest.raises(TypeError, match="unsupported operand"):
            headers + other
        with pytest.raises(TypeError, match="unsupported operand"):
            headers += other
        assert headers.values == [(b"a", b"1")]

    def test_add_to_instance_static(self):
        target = Headers()
        assert Headers._add_to_instance(target, (b"a", b"1")) is target
        assert Headers._add_to_instance(target, 5) is NotImplemented
        assert target.values == [(b"a", b"1")]
        with pytest.raises(TypeError, match="takes exactly 2 positional arguments"):
            Headers._add_to_instance(target)

    def test_add_to_instance_honours_add_of_any_object(self):
        class Collector:
            def __init__(self):
                self.seen = []

            def add(self, name, value):
                self.seen.append((name, value))

        collector = Collector()
        assert Headers._add_to_instance(collector, Headers([(b"a", b"1")])) is collector
        Headers._add_to_instance(collector, Header(b"b", b"2"))
        Headers._add_to_instance(collector, [(b"c", b"3")])
        assert collector.seen == [(b"a", b"1"), (b"b", b"2"), (b"c", b"3")]
        with pytest.raises(ValueError, match="cannot add 1 to Collector$"):
            Headers._add_to_instance(collector, [1])


class TestSelfReference:
    """Adding a collection (or its own list) to itself adds each pair once and terminates."""

    def test_merge_own_list(self):
        headers = Headers([(b"a", b"1"), (b"b", b"2")])
        headers.merge(headers.values)
        assert headers.values == [(b"a", b"1"), (b"b", b"2")] * 2

    def test_inplace_add_itself(self):
        headers = Headers([(b"a", b"1")])
        headers += headers
        assert headers.values == [(b"a", b"1")] * 2

    @pytest.mark.parametrize("how", ["iadd", "add_to_instance"])
    def test_other_collection_over_the_same_list(self, how):
        class Capped(Headers):
            def add(self, name, value):
                if len(self.values) > 50:
                    raise RuntimeError("runaway")
                super().add(name, value)

        shared = [(b"a", b"1"), (b"b", b"2")]
        headers = Capped(shared)
        other = Headers(shared)
        if how == "iadd":
            headers += other
        else:
            Headers._add_to_instance(headers, other)
        assert shared == [(b"a", b"1"), (b"b", b"2")] * 2

    @pytest.mark.parametrize("how", ["add_many", "iadd_list", "add_to_instance"])
    def test_own_list(self, how):
        headers = Headers([(b"a", b"1"), (b"b", b"2")])
        if how == "add_many":
            headers.add_many(headers.values)
        elif how == "iadd_list":
            headers += headers.values
        else:
            Headers._add_to_instance(headers, headers.values)
        assert headers.values == [(b"a", b"1"), (b"b", b"2")] * 2


# --- Module import ---------------------------------------------------------------------------------


def test_import_retried_after_a_failure_half_way():
    # The first import fails after finding MutableSequence but not Mapping; the retry must load both
    # instead of keeping the half it had (adding a mapping then crashed the interpreter).
    code = textwrap.dedent(
        """
        import sys, types, collections.abc as real
        fake = types.ModuleType("collections.abc")
        fake.MutableSequence = real.MutableSequence
        sys.modules["collections.abc"] = fake
        try:
            import quillmoth.headers
        except AttributeError as error:
            print("failed:", error)
        sys.modules["collections.abc"] = real
        from quillmoth.headers import Headers
        headers = Headers()
        headers.add_many(types.MappingProxyType({b"a": b"1"}))
        print(headers.values)
        """
    )
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["failed: module 'collections.abc' has no attribute 'Mapping'",
                                        "[(b'a', b'1')]"]


# --- Argument checking of the methods ----------------------------------------------------------


class TestArguments:
    @pytest.mark.parametrize(
        "method, args, arg, expected, got",
        [("get", ("x",), "name", "bytes", "str"), ("get_tuples", (1,), "name", "bytes", "int"),
         ("get_first", (bytearray(b"x"),), "key", "bytes", "bytearray"), ("get_single", ([],), "key", "bytes", "list"),
         ("remove", ("x",), "key", "bytes", "str"), ("contains", (1.0,), "key", "bytes", "float"),
         ("add", ("a", b"b"), "name", "bytes", "str"), ("add", (b"a", "b"), "value", "bytes", "str"),
         ("set", (1, b"b"), "name", "bytes", "int"), ("set", (b"a", 1), "value", "bytes", "int"),
         ("merge", ({},), "values", "list", "dict"), ("update", ([],), "values", "dict", "list")],
    )
    def test_wrong_type(self, method, args, arg, expected, got):
        with pytest.raises(TypeError) as info:
            getattr(Headers([(b"a", b"1")]), method)(*args)
        assert str(info.value) == arg_type_message(arg, expected, got)

    @pytest.mark.parametrize(
        "call, message",
        [(lambda h: h.get(), "get() takes exactly 1 positional argument (0 given)"),
         (lambda h: h.add(b"a"), "add() takes exactly 2 positional arguments (1 given)"),
         (lambda h: h.keys(b"a"), "keys() takes exactly 0 positional arguments (1 given)"),
         (lambda h: h.clone(deep=True), "clone() got an unexpected keyword argument 'deep'"),
         (lambda h: h.get(b"a", name=b"b"), "get() got multiple values for keyword argument 'name'"),
         (lambda h: h.contains(k=b"a"), "contains() got an unexpected keyword argument 'k'")],
    )
    def test_argument_count(self, call, message):
        with pytest.raises(TypeError) as info:
            call(Headers())
        assert str(info.value) == message

    @pytest.mark.parametrize("call", [lambda h: h.get(None), lambda h: h.get_first(None), lambda h: h.contains(None),
                                      lambda h: h.remove(None), lambda h: None in h, lambda h: h[None],
                                      lambda h: h.set(None, b"x")])
    def test_none_key_reaches_lower(self, call):
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'lower'"):
            call(Headers([(b"a", b"1")]))

    def test_none_value_and_name_accepted_where_stored(self):
        headers = Headers()
        headers.add(b"a", None)
        headers[b"b"] = None
        assert headers.get_first(b"a") is None and headers.get(b"b") == (None,)
        assert headers.get_single(b"a") is None


# --- Malformed stored pairs --------------------------------------------------------------------


INDEXING = ["get", "get_tuples", "get_first", "remove"]
UNPACKING = ["contains", "keys", "clone"]


class Iterable:
    """An iterable that is neither tuple nor list (the generic unpacking path)."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


def run(headers, op):
    return getattr(headers, op)() if op in ("keys", "clone") else getattr(headers, op)(b"a")


class TestMalformed:
    @pytest.mark.parametrize("op", INDEXING)
    def test_none_element_not_subscriptable(self, op):
        with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
            run(Headers([(b"x", b"1"), None]), op)

    @pytest.mark.parametrize("op", INDEXING + UNPACKING)
    def test_list_element(self, op):
        headers = Headers([[b"a", b"1", b"2"]])
        if op in INDEXING:
            with pytest.raises(TypeError, match="^Expected tuple, got list$"):
                run(headers, op)
        else:
            with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
                run(headers, op)

    @pytest.mark.parametrize("op", INDEXING)
    def test_short_tuple_index_error(self, op):
        with pytest.raises(IndexError, match="tuple index out of range"):
            run(Headers([()]), op)
        if op != "get_tuples" and op != "remove":  # these need only the name
            with pytest.raises(IndexError, match="tuple index out of range"):
                run(Headers([(b"A",)]), op)

    def test_short_tuple_without_match_is_fine_for_indexing(self):
        headers = Headers([(b"x",), (b"a", b"1")])
        assert headers.get(b"a") == (b"1",)
        assert headers.get_tuples(b"x") == [(b"x",)]
        headers.remove(b"x")
        assert headers.values == [(b"a", b"1")]

    @pytest.mark.parametrize("op", UNPACKING)
    @pytest.mark.parametrize(
        "element, exc, message",
        [((b"a", b"1", b"2"), ValueError, r"^too many values to unpack \(expected 2\)$"),
         ((b"a",), ValueError, "^need more than 1 value to unpack$"),
         ((), ValueError, "^need more than 0 values to unpack$"),
         (None, TypeError, "^'NoneType' object is not iterable$"),
         (("a", b"1"), TypeError, "^Expected bytes, got str$"),
         ((b"a", 1), TypeError, "^Expected bytes, got int$"),
         (Iterable([b"a", b"1", b"2"]), ValueError, r"^too many values to unpack \(expected 2\)$"),
         (Iterable([b"a"]), ValueError, "^need more than 1 value to unpack$")],
    )
    def test_unpacking_errors(self, op, element, exc, message):
        with pytest.raises(exc, match=message):
            run(Headers([element]), op)

    @pytest.mark.parametrize("op", UNPACKING)
    def test_two_item_list_unpacks(self, op):
        headers = Headers([[b"A", b"1"]])
        result = run(headers, op)
        expected = {"contains": True, "keys": (b"A",)}
        if op == "clone":
            assert result.values == [(b"A", b"1")]
        else:
            assert result == expected[op]

    @pytest.mark.parametrize(
        "name, matches", [("a", False), (bytearray(b"A"), True), (type("B", (bytes,), {})(b"A"), True)]
    )
    def test_names_of_other_types_compare_through_lower(self, name, matches):
        headers = Headers()
        headers.merge([(name, b"v")])
        assert headers.get(b"a") == ((b"v",) if matches else ())
        assert (headers.get_first(b"a") == b"v") is matches

    def test_none_name_fails_at_lower(self):
        headers = Headers([(None, b"v")])
        for op in ("get", "get_first", "contains", "remove"):
            with pytest.raises(AttributeError, match="lower"):
                getattr(headers, op)(b"a")
        assert headers.keys() == (None,)

    def test_get_first_value_must_be_bytes(self):
        headers = Headers()
        headers.merge([(b"a", 5)])
        with pytest.raises(TypeError, match="^Expected bytes, got int$"):
            headers.get_first(b"a")
        with pytest.raises(TypeError, match="^Expected bytes, got int$"):
            headers.get_single(b"a")
        assert headers.get(b"a") == (5,)

    def test_uninitialised_collection(self):
        headers = Headers.__new__(Headers)
        assert headers.values is None
        for op in INDEXING + UNPACKING:
            with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
                run(headers, op)
        with pytest.raises(AttributeError, match="append"):
            headers.add(b"a", b"1")
        with pytest.raises(AttributeError, match="append"):
            headers.merge([(b"a", b"1")])
        with pytest.raises(TypeError, match="not iterable"):
            iter(headers)
        assert repr(headers) == "<Headers None>"

    def test_element_equality_that_mutates_the_list(self):
        """A stored name whose lower() empties the list while it is being walked."""
        raw = []

        class Name:
            def lower(self):
                raw.clear()
                return b"a"

        raw.extend([(Name(), b"1"), (b"a", b"2"), (b"a", b"3")])
        headers = Headers(raw)
        assert headers.get(b"a") == (b"1",)
        raw.extend([(Name(), b"1"), (b"a", b"2")])
        with pytest.raises(ValueError, match="x not in list"):
            headers.remove(b"a")


# --- Reference model (property) ----------------------------------------------------------------

names = st.sampled_from([b"a", b"A", b"Content-Type", b"content-type", b"X-Y", b"x-y", b"\xc4", b"\xe4", b""])
pairs = st.lists(st.tuples(names, st.binary(max_size=3)), max_size=12)


@settings(max_examples=examples(150), deadline=None)
@given(pairs, names, st.binary(max_size=3))
def test_matches_reference_model(raw, key, value):
    def low(b):
        return b.lower()  # bytes.lower touches ASCII only

    headers = Headers(list(raw))
    matching = [p for p in raw if low(p[0]) == low(key)]
    assert headers.get(key) == tuple(v for _, v in matching)
    assert headers.get_tuples(key) == matching
    assert headers.contains(key) is bool(matching)
    assert headers.get_first(key) == (matching[0][1] if matching else None)
    assert headers.keys() == tuple(dict.fromkeys(n for n, _ in raw))
    headers.set(key, value)
    assert headers.values == [p for p in raw if low(p[0]) != low(key)] + [(key, value)]
    headers.remove(key)
    assert headers.values == [p for p in raw if low(p[0]) != low(key)]


# A plain-Python statement of the lookup semantics, errors included, for lists holding anything.


def _type_name(obj):
    return type(obj).__name__


def ref_key(key):
    lowered = key.lower()
    if type(lowered) is not bytes:
        raise TypeError(f"Expected bytes, got {_type_name(lowered)}")
    return lowered


def ref_index(element, index):
    if element is None:
        raise TypeError("'NoneType' object is not subscriptable")
    if type(element) is not tuple:
        raise TypeError(f"Expected tuple, got {_type_name(element)}")
    return element[index]


def ref_unpack(element):
    if type(element) in (tuple, list):
        items = list(element)
    elif element is None:
        raise TypeError("'NoneType' object is not iterable")
    else:
        items = list(element)
    if len(items) > 2:
        raise ValueError("too many values to unpack (expected 2)")
    if len(items) < 2:
        raise ValueError(f"need more than {len(items)} value{'' if len(items) == 1 else 's'} to unpack")
    for item in items:
        if item is not None and type(item) is not bytes:
            raise TypeError(f"Expected bytes, got {_type_name(item)}")
    return items


def ref_op(values, op, key):
    if op == "keys":
        found = []
        for element in values:
            name, _ = ref_unpack(element)
            if name not in found:
                found.append(name)
        return tuple(found)
    if op == "clone":
        return [tuple(ref_unpack(element)) for element in values]
    k = ref_key(key)
    if op == "contains":
        return any(ref_unpack(element)[0].lower() == k for element in values)
    if op == "get_first":  # stops at the first match: later elements are never looked at
        for element in values:
            if ref_index(element, 0).lower() == k:
                value = ref_index(element, 1)
                if value is not None and type(value) is not bytes:
                    raise TypeError(f"Expected bytes, got {_type_name(value)}")
                return value
        return None
    if op in ("get_tuples", "remove"):
        matching = [element for element in values if ref_index(element, 0).lower() == k]
        if op == "get_tuples":
            return matching
        for element in matching:
            values.remove(element)
        return None
    # One pass: each matching element's value is taken as soon as the element is met, so a short
    # matching tuple fails before a later malformed element is reached.
    found = tuple(ref_index(element, 1) for element in values if ref_index(element, 0).lower() == k)
    if op == "get":
        return found
    if len(found) > 1:
        raise ValueError(MORE_THAN_ONE)
    if not found:
        raise ValueError(NOT_ONE)
    if found[0] is not None and type(found[0]) is not bytes:
        raise TypeError(f"Expected bytes, got {_type_name(found[0])}")
    return found[0]


def outcome(call):
    try:
        result = call()
    except (TypeError, ValueError, IndexError, AttributeError) as exc:
        return type(exc), str(exc)
    return "ok", result.values if isinstance(result, Headers) else result


loose_items = st.one_of(names, st.none(), st.just("a"), st.integers(0, 3), st.binary(max_size=2))
elements = st.one_of(
    st.tuples(names, st.binary(max_size=2)), st.none(), st.lists(loose_items, max_size=3).map(tuple),
    st.lists(names, min_size=2, max_size=2),
)
OPS = ["get", "get_tuples", "get_first", "get_single", "contains", "keys", "clone", "remove"]


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(elements, max_size=6), st.sampled_from(OPS), names)
def test_malformed_lists_match_reference(raw, op, key):
    stored, expected_list = list(raw), list(raw)
    headers = Headers(stored)
    args = () if op in ("keys", "clone") else (key,)
    assert outcome(lambda: getattr(headers, op)(*args)) == outcome(lambda: ref_op(expected_list, op, key))
    assert stored == expected_list


@pytest.mark.parametrize(
    "body", [{"get": lambda self, name: self[name]}, {"contains": lambda self, key: key in self}]
)
def test_override_recursing_through_protocol_raises(body):
    Looping = type("Looping", (Headers,), body)
    with pytest.raises(RecursionError):
        Looping().set(b"a", b"b") if "contains" in body else Looping().get_single(b"a")


# --- Subclass overrides ------------------------------------------------------------------------


class Recording(Headers):
    """Overrides every table operation, records the call and delegates to the native method."""

    def __init__(self, values=None):
        super().__init__(values)
        self.calls = []

    def keys(self):
        self.calls.append("keys")
        return super().keys()

    def clone(self):
        self.calls.append("clone")
        return super().clone()

    def get(self, name):
        self.calls.append("get")
        return super().get(name)

    def get_tuples(self, name):
        self.calls.append("get_tuples")
        return super().get_tuples(name)

    def add(self, name, value):
        self.calls.append("add")
        return super().add(name, value)

    def set(self, name, value):
        self.calls.append("set")
        return super().set(name, value)

    def get_single(self, key):
        self.calls.append("get_single")
        return super().get_single(key)

    def get_first(self, key):
        self.calls.append("get_first")
        return super().get_first(key)

    def remove(self, key):
        self.calls.append("remove")
        return super().remove(key)

    def merge(self, values):
        self.calls.append("merge")
        return super().merge(values)

    def contains(self, key):
        self.calls.append("contains")
        return super().contains(key)


NATIVE_CALLS = [
    ("keys", (), (b"a",)), ("clone", (), None), ("get", (b"A",), (b"1",)), ("get_tuples", (b"a",), [(b"a", b"1")]),
    ("add", (b"b", b"2"), None), ("set", (b"b", b"2"), None), ("get_single", (b"a",), b"1"),
    ("get_first", (b"a",), b"1"), ("remove", (b"a",), None), ("merge", ([(b"m", b"1")],), None),
    ("contains", (b"a",), True),
]


class TestOverrides:
    @pytest.mark.parametrize("op, args, expected", NATIVE_CALLS)
    def test_native_caller_reaches_override(self, native, op, args, expected):
        headers = Recording([(b"a", b"1")])
        result = native.call(headers, op, *args)
        assert headers.calls[0] == op
        if op == "clone":
            assert type(result) is Headers and result.values == [(b"a", b"1")]
        elif expected is not None:
            assert result == expected

    @pytest.mark.parametrize("op, args, expected", NATIVE_CALLS)
    def test_native_caller_on_base_class(self, native, op, args, expected):
        raw = [(b"a", b"1")]
        result = native.call(Headers(raw), op, *args)
        if op == "clone":
            assert result.values == raw and result.values is not raw
        elif expected is not None:
            assert result == expected
        elif op != "clone":
            assert result is None

    @pytest.mark.parametrize(
        "action, calls",
        [(lambda h: h.set(b"a", b"2"), ["set", "contains", "remove", "add"]),
         (lambda h: h.set(b"new", b"2"), ["set", "contains", "add"]),
         (lambda h: h.get_single(b"a"), ["get_single", "get"]),
         (lambda h: h[b"a"], ["get"]), (lambda h: b"a" in h, ["contains"]),
         (lambda h: h.__delitem__(b"a"), ["remove"]), (lambda h: h.__setitem__(b"a", b"2"), ["set", "contains", "remove", "add"]),
         (lambda h: h + (b"x", b"1"), ["clone"]), (lambda h: (b"x", b"1") + h, ["clone"]),
         (lambda h: h.__iadd__((b"x", b"1")), ["add"]), (lambda h: h.__iadd__(Header(b"x", b"1")), ["add"]),
         (lambda h: h.__iadd__([(b"x", b"1"), (b"y", b"2")]), ["add", "add"]),
         (lambda h: h.add_many({b"x": b"1"}), ["add"]), (lambda h: h.add_many([(b"x", b"1")]), ["add"]),
         (lambda h: h.update({b"x": b"1"}), ["set", "contains", "add"])],
    )
    def test_internal_calls_reach_overrides(self, action, calls):
        headers = Recording([(b"a", b"1")])
        action(headers)
        assert headers.calls == calls

    def test_set_native_uses_overridden_steps(self, native):
        headers = Recording([(b"A", b"1")])
        native.call(headers, "set", b"a", b"2")
        assert headers.calls == ["set", "contains", "remove", "add"]
        assert headers.values == [(b"a", b"2")]

    def test_partial_override_changes_behaviour(self, native):
        class Prefixed(Headers):
            def contains(self, key):
                return False

            def get(self, name):
                return (b"override",)

        headers = Prefixed([(b"a", b"1")])
        headers.set(b"a", b"2")  # contains says no: nothing is removed
        assert headers.values == [(b"a", b"1"), (b"a", b"2")]
        assert headers.get_single(b"a") == b"override"
        assert native.call(headers, "get_single", b"zzz") == b"override"
        assert headers[b"q"] == (b"override",)
        assert native.call(headers, "contains", b"a") is False
        assert headers.get_first(b"a") == b"1"  # not overridden: native path

    def test_subclass_without_overrides_takes_native_path(self, native):
        Plain = type("Plain", (Headers,), {})
        headers = Plain([(b"a", b"1")])
        assert native.call(headers, "get", b"A") == (b"1",)
        native.call(headers, "set", b"a", b"2")
        assert headers.values == [(b"a", b"2")]

    def test_override_added_after_first_call_is_seen(self, native):
        Late = type("Late", (Headers,), {})
        headers = Late([(b"a", b"1")])
        assert native.call(headers, "get_first", b"a") == b"1"
        Late.get_first = lambda self, key: b"late"
        assert native.call(headers, "get_first", b"a") == b"late"
        del Late.get_first
        assert native.call(headers, "get_first", b"a") == b"1"

    @pytest.mark.parametrize(
        "op, args, bad, message",
        [("keys", (), [b"a"], "Expected tuple, got list"), ("get", (b"a",), [b"1"], "Expected tuple, got list"),
         ("get", (b"a",), None, "Expected tuple, got NoneType"),
         ("get_tuples", (b"a",), (), "Expected list, got tuple"),
         ("get_first", (b"a",), "1", "Expected bytes, got str"),
         ("get_single", (b"a",), 1, "Expected bytes, got int"),
         ("clone", (), [], "Cannot convert list to quillmoth.headers.Headers")],
    )
    def test_override_result_types_checked_for_native_callers(self, native, op, args, bad, message):
        Bad = type("Bad", (Headers,), {op: lambda self, *a: bad})
        with pytest.raises(TypeError) as info:
            native.call(Bad(), op, *args)
        assert str(info.value) == message

    @pytest.mark.parametrize("op, args", [(op, args) for op, args, _ in NATIVE_CALLS])
    def test_override_errors_propagate_natively(self, native, op, args):
        def boom(self, *a):
            raise LookupError(op)

        Failing = type("Failing", (Headers,), {op: boom})
        with pytest.raises(LookupError, match=op):
            native.call(Failing([(b"a", b"1")]), op, *args)

    def test_contains_override_truthiness(self, native):
        class Odd(Headers):
            def contains(self, key):
                return [1] if key == b"yes" else 0

        assert native.call(Odd(), "contains", b"yes") is True
        assert (b"no" in Odd()) is False

        class Broken(Headers):
            def contains(self, key):
                class NoBool:
                    def __bool__(self):
                        raise ZeroDivisionError

                return NoBool()

        with pytest.raises(ZeroDivisionError):
            native.call(Broken(), "contains", b"a")


class TestNativeSibling:
    def test_types_and_construction(self, native):
        raw = [(b"a", b"1")]
        headers = native.new_headers(raw)
        assert type(headers) is Headers and headers.values is raw
        assert native.new_headers(None).values == []
        assert native.is_exact_headers(headers) and not native.is_exact_headers(PickledHeaders())
        assert native.is_header(PickledHeader(b"a", b"b")) and not native.is_header((b"a", b"b"))
        with pytest.raises(TypeError, match=arg_type_message("values", "list", "tuple").replace("(", r"\(").replace(")", r"\)")):
            native.new_headers(())

    def test_import_type_errors(self, native):
        assert native.import_type("quillmoth.headers", "Headers") is Headers
        with pytest.raises(ImportError, match="cannot import name 'Nope' from 'quillmoth.headers'"):
            native.import_type("quillmoth.headers", "Nope")
        with pytest.raises(ImportError, match="is not a class"):
            native.import_type("quillmoth.headers", "__name__")

    def test_call_rejects_non_headers(self, native):
        with pytest.raises(TypeError, match="Cannot convert list to quillmoth.headers.Headers"):
            native.call([], "get", b"a")

    @pytest.mark.parametrize(
        "op, args, exc, message",
        [("get", ("a",), TypeError, "Expected bytes, got str"), ("get_first", (None,), AttributeError, "lower"),
         ("contains", (5,), AttributeError, "lower"), ("remove", ("a",), TypeError, "Expected bytes, got str"),
         ("merge", (None,), TypeError, "'NoneType' object is not iterable"),
         ("merge", ((),), TypeError, "Expected list, got tuple"),
         ("merge", ([1],), TypeError, "Expected tuple, got int")],
    )
    def test_native_argument_errors(self, native, op, args, exc, message):
        with pytest.raises(exc, match=message):
            native.call(Headers([(b"a", b"1")]), op, *args)

    def test_native_add_does_no_type_test(self, native):
        headers = Headers()
        native.call(headers, "add", "str", 5)
        assert headers.values == [("str", 5)]

    def test_bytes_subclass_key_natively(self, native):
        key = type("K", (bytes,), {})(b"A")
        assert native.call(Headers([(b"a", b"1")]), "get", key) == (b"1",)


# --- Reference and allocation hygiene ----------------------------------------------------------


def blocks_delta(action, rounds=2000):
    """Blocks still allocated after `rounds` calls; the smaller of two runs, so that a cache filled
    once by the interpreter is not mistaken for a leak (which grows in both runs)."""
    for _ in range(50):
        action()
    deltas = []
    for _ in range(2):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            action()
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
    return min(deltas)


def swallow(action, exc):
    def run(headers):
        try:
            action(headers)
        except exc:
            pass

    return run


LEAK_CASES = {
    "get": lambda h: h.get(b"set-cookie"), "get_miss": lambda h: h.get(b"nope"),
    "get_tuples": lambda h: h.get_tuples(b"SET-COOKIE"), "get_first": lambda h: h.get_first(b"Content-Type"),
    "contains": lambda h: h.contains(b"x"), "keys": lambda h: h.keys(), "clone": lambda h: h.clone(),
    "set_remove": lambda h: (h.set(b"X-Tmp", b"1"), h.remove(b"x-tmp")),
    "merge": lambda h: (h.merge([(b"m", b"1"), None]), h.remove(b"m")),
    "plus": lambda h: h + [(b"a", b"1")], "iadd": lambda h: (h.__iadd__(Header(b"t", b"1")), h.remove(b"t")),
    "add_many": lambda h: (h.add_many({b"t": b"1"}), h.add_many([(b"t", b"2")]), h.remove(b"t")),
    "subscript": lambda h: (h[b"set-cookie"], b"a" in h), "header": lambda h: (Header(b"a", b"b") == Header(b"A", b"b")),
    "pickle": lambda h: pickle.loads(pickle.dumps(h)),
    "get_single_error": swallow(lambda h: h.get_single(b"set-cookie"), ValueError),
    "get_single_missing": swallow(lambda h: h.get_single(b"nope"), ValueError),
    "type_error": swallow(lambda h: h.get("x"), TypeError),
    "lower_error": swallow(lambda h: h.get(None), AttributeError),
    "plus_error": swallow(lambda h: h + [b"x"], ValueError),
    "tuple_error": swallow(lambda h: h + (b"a", b"b", b"c"), ValueError),
    "add_many_error": swallow(lambda h: h.add_many({"a": b"b"}), TypeError),
    "header_ctor_error": swallow(lambda h: Header("a", b"b"), TypeError),
    "ctor_error": swallow(lambda h: Headers(()), TypeError),
}


@pytest.mark.parametrize("case", sorted(LEAK_CASES))
def test_no_leak(case):
    headers = Headers([(b"Set-Cookie", b"a"), (b"set-cookie", b"b"), (b"Content-Type", b"text/plain")])
    action = LEAK_CASES[case]
    key_refs = sys.getrefcount(b"set-cookie")
    delta = blocks_delta(lambda: action(headers))
    assert delta < 100, f"{case}: {delta} blocks kept over 2000 calls"
    assert sys.getrefcount(b"set-cookie") == key_refs
    assert len(headers.values) == 3


@pytest.mark.parametrize("path", ["malformed", "override_error", "native"])
def test_no_leak_on_native_and_malformed_paths(native, path):
    class Failing(Headers):
        def contains(self, key):
            raise KeyError(key)

    malformed = Headers([(b"a", b"1"), (b"b",), None])
    failing = Failing([(b"a", b"1")])
    clean = Headers([(b"a", b"1")])

    def act():
        if path == "malformed":
            for op in ("contains", "keys", "clone", "get", "remove"):
                try:
                    run(malformed, op)
                except (TypeError, ValueError, IndexError):
                    pass
        elif path == "override_error":
            try:
                native.call(failing, "set", b"a", b"2")
            except KeyError:
                pass
        else:
            native.call(clean, "get", b"A")
            native.call(clean, "set", b"b", b"2")
            native.call(clean, "remove", b"b")

    assert blocks_delta(act, rounds=1000) < 100


def traced_peak(action, rounds=100):
    """Peak bytes allocated (by the interpreter's allocators) while `action` runs `rounds` times."""
    import tracemalloc

    for _ in range(10):
        action()
    loop = iter([None] * rounds)  # made before tracing: the loop itself allocates nothing
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        for _ in loop:
            action()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return peak - base


@pytest.mark.parametrize("op", ["get", "get_first", "contains"])
@pytest.mark.parametrize("key", [b"x-absent-header", b"X-HEADER-1x", b"y" * 300])
def test_missing_lookup_allocates_nothing(native, op, key):
    headers = Headers([(f"X-Header-{i}".encode(), b"v") for i in range(20)])
    traced_peak(lambda: None)  # the first traced run pays one-time costs
    noise = traced_peak(lambda: None)
    assert traced_peak(lambda: bytes(100)) > noise  # the measurement does see allocations
    expected = {"get": (), "get_first": None, "contains": False}[op]
    assert native.call(headers, op, key) == expected
    assert traced_peak(lambda: native.call(headers, op, key)) <= noise
    assert traced_peak(lambda: getattr(headers, op)(key)) <= noise
