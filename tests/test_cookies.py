"""Cookie model: the Cookie object, its validated fields, CookieSameSiteMode and the errors."""

import copy
import datetime
import enum
import gc
import inspect
import pickle
import sys

import pytest

from cookies_native import layout, same_site_mode_from_bytes, table_clone
from quillmoth.cookies import (
    Cookie,
    CookieError,
    CookieSameSiteMode,
    CookieValueExceedsMaximumLength,
)

WHEN = datetime.datetime(2015, 10, 21, 7, 28)


class TestConstruction:
    def test_defaults(self):
        cookie = Cookie("sid", "abc")
        assert (cookie.name, cookie.value) == ("sid", "abc")
        assert cookie.expires is None and cookie.domain is None and cookie.path is None
        assert cookie.http_only is False and cookie.secure is False
        assert cookie.max_age == -1
        assert cookie.same_site is CookieSameSiteMode.UNDEFINED

    def test_all_arguments_by_keyword(self):
        cookie = Cookie(
            value="v", name="n", expires=WHEN, domain="example.com", path="/p",
            http_only=1, secure="yes", max_age=0, same_site=CookieSameSiteMode.STRICT,
        )
        assert (cookie.name, cookie.value, cookie.expires) == ("n", "v", WHEN)
        assert (cookie.domain, cookie.path) == ("example.com", "/p")
        assert cookie.http_only is True and cookie.secure is True
        assert cookie.max_age == 0 and cookie.same_site is CookieSameSiteMode.STRICT

    def test_value_none_is_valid(self):
        assert Cookie("a", None).value is None

    def test_datetime_subclass_accepted(self):
        class Stamp(datetime.datetime):
            pass

        stamp = Stamp(2020, 1, 1)
        assert Cookie("a", "b", expires=stamp).expires is stamp

    @pytest.mark.parametrize(
        "args, kwargs, error, message",
        [
            (("", "v"), {}, ValueError, "A cookie name is required"),
            ((None, "v"), {}, ValueError, "A cookie name is required"),
            ((b"n", "v"), {}, TypeError, "Argument 'name' has incorrect type (expected str, got bytes)"),
            (("n", b"v"), {}, TypeError, "Argument 'value' has incorrect type (expected str, got bytes)"),
            (("n", "v"), {"expires": "today"}, TypeError,
             "Argument 'expires' has incorrect type (expected datetime.datetime, got str)"),
            (("n", "v"), {"expires": datetime.date(2020, 1, 1)}, TypeError,
             "Argument 'expires' has incorrect type (expected datetime.datetime, got datetime.date)"),
            (("n", "v"), {"domain": 1}, TypeError, "Argument 'domain' has incorrect type (expected str, got int)"),
            (("n", "v"), {"path": b"/"}, TypeError, "Argument 'path' has incorrect type (expected str, got bytes)"),
            (("n",), {}, TypeError, "Cookie() takes at least 2 positional arguments (1 given)"),
            (("n", "v", None, None, None, False, False, -1, 0, "x"), {}, TypeError,
             "Cookie() takes at most 9 positional arguments (10 given)"),
            (("n", "v"), {"colour": 1}, TypeError, "Cookie() got an unexpected keyword argument 'colour'"),
            (("n", "v"), {"same_site": -1}, OverflowError, "can't convert negative value to CookieSameSiteMode"),
            (("n", "v"), {"max_age": 2**63}, OverflowError, None),
        ],
    )
    def test_rejected(self, args, kwargs, error, message):
        with pytest.raises(error) as info:
            Cookie(*args, **kwargs)
        if message is not None:
            assert str(info.value) == message

    def test_type_checks_come_before_name_validation(self):
        # Argument conversion happens first, then the name, then the value.
        with pytest.raises(TypeError, match="'path'"):
            Cookie("", "v", path=1)
        with pytest.raises(OverflowError):
            Cookie("", "x" * 5000, max_age=2**64)
        with pytest.raises(ValueError, match="name is required"):
            Cookie("", "x" * 5000)


class TestValueLength:
    @pytest.mark.parametrize(
        "value, accepted",
        [
            ("a" * 4096, True),
            ("a" * 4097, False),
            ("é" * 2048, True),          # two bytes each: 4096
            ("é" * 2049, False),
            ("€" * 1365 + "a", True),    # three bytes each: 4095 + 1
            ("€" * 1366, False),         # 4098
            ("😀" * 1024, True),         # four bytes each: 4096
            ("😀" * 1024 + "a", False),
            ("a" * 4095 + "é", False),   # 4097 bytes in 4096 characters
            ("", True),
        ],
    )
    def test_limit_in_utf8_bytes(self, value, accepted):
        if accepted:
            assert Cookie("n", value).value == value
            cookie = Cookie("n", "x")
            cookie.value = value
            assert cookie.value == value
        else:
            with pytest.raises(CookieValueExceedsMaximumLength):
                Cookie("n", value)
            cookie = Cookie("n", "kept")
            with pytest.raises(CookieError):
                cookie.value = value
            assert cookie.value == "kept"

    def test_lone_surrogate_cannot_be_a_value(self):
        with pytest.raises(UnicodeEncodeError):
            Cookie("n", "a\ud800")

    def test_message(self):
        error = CookieValueExceedsMaximumLength()
        assert isinstance(error, CookieError) and isinstance(error, Exception)
        assert str(error).startswith(
            "The length of the cookie value exceeds the maximum length of 4096 bytes, and it would be "
            "ignored or truncated by clients. See: "
        )
        assert str(error).endswith("rfc6265#section-6.1")


class TestFields:
    @pytest.mark.parametrize(
        "field, value, error, message",
        [
            ("name", "", ValueError, "A cookie name is required"),
            ("name", None, ValueError, "A cookie name is required"),
            ("name", 0, ValueError, "A cookie name is required"),
            ("name", b"x", TypeError, "Expected str, got bytes"),
            ("value", 5, TypeError, "Expected str, got int"),
            ("expires", 5, TypeError, "Cannot convert int to datetime.datetime"),
            ("expires", datetime.date(2020, 1, 1), TypeError, "Cannot convert datetime.date to datetime.datetime"),
            ("domain", 5, TypeError, "Expected str, got int"),
            ("path", b"/", TypeError, "Expected str, got bytes"),
            ("max_age", 2**63, OverflowError, None),
            ("max_age", "1", TypeError, None),
            ("same_site", -1, OverflowError, "can't convert negative value to CookieSameSiteMode"),
            ("same_site", 2**32, OverflowError, "value too large to convert to CookieSameSiteMode"),
            ("same_site", 2**70, OverflowError, "value too large to convert to CookieSameSiteMode"),
            ("same_site", -(2**70), OverflowError, "can't convert negative value to CookieSameSiteMode"),
            ("same_site", 1.0, TypeError, None),
        ],
    )
    def test_rejected_assignment_keeps_old_value(self, field, value, error, message):
        cookie = Cookie("n", "v", expires=WHEN, domain="d", path="/", max_age=5, same_site=1)
        before = getattr(cookie, field)
        with pytest.raises(error) as info:
            setattr(cookie, field, value)
        if message is not None:
            assert str(info.value) == message
        assert getattr(cookie, field) == before

    @pytest.mark.parametrize(
        "field, value, expected",
        [
            ("http_only", [], False),
            ("http_only", "x", True),
            ("secure", 0, False),
            ("secure", [1], True),
            ("max_age", 2**63 - 1, 2**63 - 1),
            ("max_age", -(2**63), -(2**63)),
            ("max_age", True, 1),
            ("same_site", 2**32 - 1, 2**32 - 1),
            ("domain", None, None),
            ("expires", None, None),
        ],
    )
    def test_assignment(self, field, value, expected):
        cookie = Cookie("n", "v", domain="d", expires=WHEN)
        setattr(cookie, field, value)
        assert getattr(cookie, field) == expected

    @pytest.mark.parametrize("field", ["expires", "domain", "path"])
    def test_delete_sets_none(self, field):
        cookie = Cookie("n", "v", expires=WHEN, domain="d", path="/")
        delattr(cookie, field)
        assert getattr(cookie, field) is None

    @pytest.mark.parametrize("field", ["name", "value", "http_only", "secure", "max_age", "same_site"])
    def test_delete_refused(self, field):
        cookie = Cookie("n", "v")
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(cookie, field)

    def test_native_layout_matches_declaration(self):
        # Sibling modules read these fields directly through cookies.h.
        cookie = Cookie("n", "v", path="/", http_only=True, secure=False, max_age=77, same_site=9)
        fields = layout(cookie)
        assert fields._name == id(cookie.name) and fields._value == id(cookie.value)
        assert fields.path == id(cookie.path) and fields.domain == id(None)
        assert (fields.http_only, fields.secure, fields.max_age, fields.same_site) == (True, False, 77, 9)


@pytest.mark.parametrize(
    "func, text",
    [
        (Cookie, "(name, value, expires=None, domain=None, path=None, http_only=False, secure=False, max_age=-1, "
                 "same_site=<CookieSameSiteMode.UNDEFINED: 0>)"),
        (Cookie.clone, "(self, /)"),
    ],
)
def test_signatures(func, text):
    assert str(inspect.signature(func)) == text


class TestSameSiteMode:
    def test_members(self):
        assert issubclass(CookieSameSiteMode, enum.IntEnum)
        assert [(m.name, int(m)) for m in CookieSameSiteMode] == [
            ("UNDEFINED", 0), ("LAX", 1), ("STRICT", 2), ("NONE", 3)]
        assert CookieSameSiteMode.LAX == 1 and repr(CookieSameSiteMode.LAX) == "<CookieSameSiteMode.LAX: 1>"
        assert CookieSameSiteMode.__module__ == "quillmoth.cookies"

    @pytest.mark.parametrize("value", [4, 9, 2**32 - 1, 2**40, -5])
    def test_unnamed_members_are_registered(self, value):
        member = CookieSameSiteMode(value)
        assert member is CookieSameSiteMode(value)
        assert isinstance(member, CookieSameSiteMode) and member == value and member.value == value
        assert member.name is None
        assert repr(member) == f"<CookieSameSiteMode: {value!r}>"
        assert pickle.loads(pickle.dumps(member)) is member
        assert len(CookieSameSiteMode) == 4

    @pytest.mark.parametrize("value", ["1", 1.5, None])
    def test_non_integers_rejected(self, value):
        with pytest.raises(ValueError):
            CookieSameSiteMode(value)

    def test_cookie_field_reads_as_member(self):
        cookie = Cookie("n", "v")
        assert cookie.same_site is CookieSameSiteMode.UNDEFINED
        cookie.same_site = 3
        assert cookie.same_site is CookieSameSiteMode.NONE
        cookie.same_site = 9
        assert cookie.same_site is CookieSameSiteMode(9) and cookie.same_site.name is None

    @pytest.mark.parametrize(
        "raw, mode",
        [
            (b"Strict", 2), (b"LAX", 1), (b"lax", 1), (b"None", 3), (b"NONE", 3),
            (b" lax", 0), (b"lax ", 0), (b'"lax"', 0), (b"", 0), (None, 0), (b"bogus", 0),
            (bytearray(b""), 0),
        ],
    )
    def test_from_bytes(self, raw, mode):
        assert same_site_mode_from_bytes(raw) == mode

    @pytest.mark.parametrize("raw, shown", [("lax", "str"), (bytearray(b"Strict"), "bytearray")])
    def test_from_bytes_requires_bytes_after_lowering(self, raw, shown):
        with pytest.raises(TypeError, match=f"^Expected bytes, got {shown}$"):
            same_site_mode_from_bytes(raw)


class TestRepr:
    @pytest.mark.parametrize("value, text", [("abcdef", "<Cookie sid: abc...>"), ("ab", "<Cookie sid: ab...>"),
                                             ("", "<Cookie sid: ...>"), ("äöüß", "<Cookie sid: äöü...>")])
    def test_repr(self, value, text):
        assert repr(Cookie("sid", value)) == text

    def test_value_none(self):
        with pytest.raises(TypeError, match="^'NoneType' object is unsliceable$"):
            repr(Cookie("sid", None))


class TestEquality:
    @pytest.mark.parametrize(
        "other, equal",
        [
            ("1", True), ("2", False), (b"1", True), (b"2", False),
            (Cookie("a", "1", path="/x", secure=True, max_age=3), True),
            (Cookie("b", "1"), False), (Cookie("a", "2"), False),
            (1, False), (None, False),
        ],
    )
    def test_equality(self, other, equal):
        cookie = Cookie("a", "1")
        assert (cookie == other) is equal and (other == cookie) is equal
        assert (cookie != other) is (not equal) and (other != cookie) is (not equal)

    def test_invalid_utf8_bytes(self):
        with pytest.raises(UnicodeDecodeError):
            Cookie("a", "1") == b"\xff"

    def test_str_subclass_compares(self):
        class Text(str):
            pass

        assert Cookie("a", "1") == Text("1")

    def test_unhashable_and_unordered(self):
        with pytest.raises(TypeError):
            hash(Cookie("a", "1"))
        with pytest.raises(TypeError):
            Cookie("a", "1") < Cookie("a", "2")

    def test_not_implemented_passes_through(self):
        cookie = Cookie("a", "1")
        assert cookie.__eq__(1) is NotImplemented and cookie.__ne__(1) is NotImplemented
        assert cookie.__lt__(cookie) is NotImplemented


class TestClone:
    def test_copies_every_field_and_shares_objects(self):
        cookie = Cookie("n", "v", expires=WHEN, domain="d", path="/p", http_only=True, secure=True,
                        max_age=0, same_site=9)
        clone = cookie.clone()
        assert clone is not cookie and type(clone) is Cookie
        assert clone.expires is cookie.expires and clone.domain is cookie.domain and clone.name is cookie.name
        assert (clone.http_only, clone.secure, clone.max_age) == (True, True, 0)
        assert clone.same_site is CookieSameSiteMode(9)

    def test_subclass_clones_to_base_class_through_properties(self):
        class Upper(Cookie):
            @property
            def value(self):
                return "X" * 5000

            @value.setter
            def value(self, new):
                pass

        cookie = Upper("n", "v")
        # The clone reads `value` through the subclass's property and validates it again.
        with pytest.raises(CookieValueExceedsMaximumLength):
            cookie.clone()

    def test_clone_rejects_arguments(self):
        with pytest.raises(TypeError, match=r"clone\(\) takes exactly 0 positional arguments \(1 given\)"):
            Cookie("n", "v").clone(1)

    def test_operation_table_reaches_python_override(self):
        class Tracked(Cookie):
            def clone(self):
                return ("override", self.name)

        plain = Cookie("n", "v")
        assert type(table_clone(plain)) is Cookie
        tracked = Tracked("t", "v")
        assert table_clone(tracked) == ("override", "t")
        assert type(table_clone(tracked, skip_dispatch=1)) is Cookie
        assert tracked.clone() == ("override", "t")

    def test_operation_table_propagates_override_error(self):
        class Broken(Cookie):
            def clone(self):
                raise RuntimeError("boom")

        with pytest.raises(RuntimeError, match="boom"):
            table_clone(Broken("n", "v"))


class TestPickling:
    def test_state_layout(self):
        cookie = Cookie("n", "v", expires=WHEN, domain="d", path="/p", http_only=True, max_age=7, same_site=2)
        state = cookie.__reduce__()[2]
        assert state == ("n", "v", "d", WHEN, True, 7, "/p", 2, False)

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_round_trip(self, protocol):
        cookie = Cookie("n", "v", expires=WHEN, domain="d", path="/p", http_only=True, secure=True,
                        max_age=0, same_site=11)
        restored = pickle.loads(pickle.dumps(cookie, protocol))
        assert type(restored) is Cookie
        for field in ("name", "value", "expires", "domain", "path", "http_only", "secure", "max_age", "same_site"):
            assert getattr(restored, field) == getattr(cookie, field)
        assert copy.copy(cookie) == cookie and copy.deepcopy(cookie).path == "/p"

    def test_subclass_keeps_its_attributes(self):
        restored = pickle.loads(pickle.dumps(_Tagged("n", "v", tag="blue")))
        assert type(restored) is _Tagged and restored.tag == "blue" and restored.value == "v"

    @pytest.mark.parametrize(
        "state, error",
        [
            ((1, "v", None, None, False, -1, None, 0, False), TypeError),
            (("n", "v", None, "2015", False, -1, None, 0, False), TypeError),
            (("n", "v", None, None, False, -1, None, -1, False), OverflowError),
            (("n", "v"), TypeError),
        ],
    )
    def test_forged_state_rejected(self, state, error):
        cookie = Cookie("n", "v")
        with pytest.raises(error):
            cookie.__setstate__(state)
        assert cookie.name == "n"

    def test_state_flag_error_stops_at_once(self):
        # The http_only flag's truth test fails: nothing more is evaluated with its error pending.
        tested = []

        class Failing:
            def __bool__(self):
                raise ZeroDivisionError("no truth")

        class Recording:
            def __bool__(self):
                tested.append(self)
                return True

        cookie = Cookie("n", "v")
        with pytest.raises(ZeroDivisionError, match="^no truth$"):
            cookie.__setstate__(("x", "y", None, None, Failing(), -1, None, 0, Recording()))
        assert tested == [] and cookie.name == "n" and cookie.secure is False


class _Tagged(Cookie):
    def __init__(self, name, value, tag=None):
        super().__init__(name, value)
        self.tag = tag


class TestErrors:
    @pytest.mark.parametrize("message", ["bad cookie", None])
    def test_cookie_error(self, message):
        error = CookieError(message)
        assert error.args == (message,)
        assert isinstance(error, Exception)

    @pytest.mark.parametrize(
        "args, text",
        [
            ((1,), "Argument 'message' has incorrect type (expected str, got int)"),
            ((), "CookieError() takes exactly 1 positional argument (0 given)"),
        ],
    )
    def test_cookie_error_arguments(self, args, text):
        with pytest.raises(TypeError) as info:
            CookieError(*args)
        assert str(info.value) == text

    def test_value_too_long_takes_no_arguments_and_pickles(self):
        with pytest.raises(TypeError):
            CookieValueExceedsMaximumLength("x")
        restored = pickle.loads(pickle.dumps(CookieValueExceedsMaximumLength()))
        assert type(restored) is CookieValueExceedsMaximumLength and str(restored).startswith("The length")


class TestReferences:
    """Repeated calls, failing ones included, must not leave references or memory behind."""

    @staticmethod
    def _leak(action, rounds=3000):
        for _ in range(200):
            action()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            action()
        gc.collect()
        return sys.getallocatedblocks() - before

    @staticmethod
    def _raises(func, *args, **kwargs):
        def action():
            try:
                func(*args, **kwargs)
            except Exception:  # noqa: BLE001 - the error path is what is exercised
                pass
            else:
                raise AssertionError("expected an error")

        return action

    def test_operations_do_not_leak(self):
        cookie = Cookie("n", "v" * 10, expires=WHEN, domain="d", path="/", same_site=9)

        class Sub(Cookie):
            def clone(self):
                raise RuntimeError("no")

        sub = Sub("n", "v")

        def assign_bad(field, value):
            setattr(cookie, field, value)

        actions = [
            lambda: Cookie("n", "v", expires=WHEN, domain="d", path="/", same_site=9).clone(),
            lambda: repr(cookie),
            lambda: cookie == Cookie("n", "v" * 10),
            lambda: cookie == b"v",
            lambda: cookie.same_site,
            lambda: pickle.loads(pickle.dumps(cookie)),
            lambda: table_clone(cookie),
            self._raises(Cookie, "", "v"),
            self._raises(Cookie, "n", "x" * 5000),
            self._raises(Cookie, "n", "v", expires=1),
            self._raises(assign_bad, "value", "x" * 5000),
            self._raises(assign_bad, "same_site", -1),
            self._raises(assign_bad, "expires", 1),
            self._raises(repr, Cookie("n", None)),
            self._raises(table_clone, sub),
            self._raises(CookieError, 1),
            self._raises(cookie.__eq__, b"\xff"),
        ]
        for action in actions:
            assert self._leak(action) < 100

    def test_refcounts_stable(self):
        name, value = "stable-name", "stable-value"
        before = sys.getrefcount(name), sys.getrefcount(value), sys.getrefcount(WHEN)
        for _ in range(1000):
            Cookie(name, value, expires=WHEN).clone()
            try:
                Cookie(name, value, expires=WHEN, max_age="x")
            except TypeError:
                pass
        assert (sys.getrefcount(name), sys.getrefcount(value), sys.getrefcount(WHEN)) == before
