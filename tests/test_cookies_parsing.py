"""Set-Cookie parsing: parse_cookie, split_value and datetime_from_cookie_format."""

import datetime
import email.utils
import gc
import inspect
import sys
import urllib.parse

import pytest
from conftest import examples
from hypothesis import example, given, settings
from hypothesis import strategies as st

import cookies_native as native
from quillmoth.cookies import (
    CookieSameSiteMode,
    CookieValueExceedsMaximumLength,
    datetime_from_cookie_format,
    parse_cookie,
)

DEFAULTS = dict(value=None, expires=None, domain=None, path=None, http_only=False, secure=False, max_age=-1,
                same_site=CookieSameSiteMode.UNDEFINED)


def fields(cookie):
    return {key: getattr(cookie, key) for key in ("name", *DEFAULTS)}


# Both entry points: the Python function and the native export siblings bind.
parsers = pytest.mark.parametrize("parse", [parse_cookie, native.parse_cookie], ids=["python", "native"])


@parsers
@pytest.mark.parametrize(
    "raw, expected",
    [
        (b"sid=abc; Path=/; HttpOnly; Secure; SameSite=Lax",
         dict(name="sid", value="abc", path="/", http_only=True, secure=True, same_site=CookieSameSiteMode.LAX)),
        (b"sid=abc;Path=/;secure", dict(name="sid", value="abc", path="/", secure=True)),
        # Mixed separators: "; " splits, the bare ";" stays inside the first fragment.
        (b"sid=abc;Path=/; Secure", dict(name="sid", value="abc;Path=/", secure=True)),
        (b"sid=a%20b", dict(name="sid", value="a b")),
        (b'sid="a b"', dict(name="sid", value="a b")),
        (b'sid=""a b""', dict(name="sid", value="a b")),
        (b'sid="ab"', dict(name="sid", value='"ab"')),
        (b'sid=a b"', dict(name="sid", value='a b"')),
        (b"sid=a=b", dict(name="sid", value="a=b")),
        (b"sid=", dict(name="sid", value="")),
        (b"%73id=%C3%A4", dict(name="sid", value="ä")),
        (b"sid=\xc3\xa4%C3%A4", dict(name="sid", value="ää")),
        (b"sid=%E2%82", dict(name="sid", value="\ufffd")),
        (b"sid=%zz%4", dict(name="sid", value="%zz%4")),
        (b"sid=1; Max-Age=0", dict(name="sid", value="1", max_age=0)),
        (b"sid=1; max-age=10; Max-Age=20", dict(name="sid", value="1", max_age=20)),
        (b"sid=1; Max-Age= +7 ", dict(name="sid", value="1", max_age=7)),
        (b"sid=1; Max-Age=-3", dict(name="sid", value="1", max_age=-3)),
        (b"sid=1; Max-Age=1_000", dict(name="sid", value="1", max_age=1000)),
        (b"sid=1; Max-Age=9223372036854775807", dict(name="sid", value="1", max_age=2**63 - 1)),
        (b"sid=1; Expires=Wed, 21 Oct 2015 07:28:00 GMT",
         dict(name="sid", value="1", expires=datetime.datetime(2015, 10, 21, 7, 28))),
        (b"sid=1; Expires=", dict(name="sid", value="1")),
        (b"sid=1; SameSite=strict", dict(name="sid", value="1", same_site=CookieSameSiteMode.STRICT)),
        (b"sid=1; SameSite=NONE", dict(name="sid", value="1", same_site=CookieSameSiteMode.NONE)),
        (b"sid=1; SameSite=Bogus", dict(name="sid", value="1")),
        (b"sid=1; SameSite= Lax", dict(name="sid", value="1")),
        (b"sid=1; SameSite=Lax; SameSite=", dict(name="sid", value="1")),
        (b"sid=1; Domain=", dict(name="sid", value="1")),
        (b"sid=1; Domain=.example.com; Path=/a b", dict(name="sid", value="1", domain=".example.com", path="/a b")),
        (b"sid=1; Path=/\xc3\xa4", dict(name="sid", value="1", path="/ä")),
        (b"sid=1; Path=%20", dict(name="sid", value="1", path="%20")),
        (b"sid=1; path=/x; PATH=/y", dict(name="sid", value="1", path="/y")),
        (b"path=/x; Path=/y", dict(name="path", value="/x", path="/y")),
        (b"secure=1", dict(name="secure", value="1")),
        (b"sid=1; HTTPONLY; SeCuRe", dict(name="sid", value="1", http_only=True, secure=True)),
        (b"sid=1;  Secure; HttpOnly ; Partitioned", dict(name="sid", value="1")),
        (b"sid=1; Unknown=2; Priority=High", dict(name="sid", value="1")),
        (b"sid=1; ", dict(name="sid", value="1")),
    ],
)
def test_parse(parse, raw, expected):
    assert fields(parse(raw)) == {**DEFAULTS, **expected}


@parsers
@pytest.mark.parametrize(
    "raw, error, message",
    [
        (b"justaname", ValueError, "Invalid name=value fragment: b'justaname'"),
        (b"", ValueError, "Invalid name=value fragment: b''"),
        (b"noeq; a=b", ValueError, "Invalid name=value fragment: b'noeq'"),
        (b"=abc", ValueError, "A cookie name is required"),
        (b"%41=\xff", UnicodeDecodeError, None),
        (b"\xff=1", UnicodeDecodeError, None),
        (b"\xff%41=1", UnicodeDecodeError, None),
        (b"sid=1; Path=\xff", UnicodeDecodeError, None),
        (b"sid=1; Domain=\xc3", UnicodeDecodeError, None),
        (b"sid=1; Max-Age=abc", ValueError, "invalid literal for int() with base 10: b'abc'"),
        (b"sid=1; Max-Age=", ValueError, None),
        (b"max-age=abc", ValueError, "invalid literal for int() with base 10: b'abc'"),
        (b"sid=1; Max-Age=9223372036854775808", OverflowError, None),
        # The Max-Age error is raised during the scan, before the name is checked.
        (b"=1; Max-Age=x", ValueError, "invalid literal for int() with base 10: b'x'"),
        (b"sid=1; Expires=yesterday", ValueError, None),
        (b"sid=1; Expires=Wed, 31 Feb 2015 07:28:00 GMT", ValueError, None),
        (b"sid=" + b"a" * 4097, CookieValueExceedsMaximumLength, None),
        (b"sid=" + b"%C3%A9" * 2049, CookieValueExceedsMaximumLength, None),
    ],
)
def test_parse_errors(parse, raw, error, message):
    with pytest.raises(error) as info:
        parse(raw)
    if message is not None:
        assert str(info.value) == message


def test_missing_separator_is_raised_from_split_error():
    with pytest.raises(ValueError) as info:
        parse_cookie(b"justaname")
    assert isinstance(info.value.__context__, ValueError)


def test_value_limit_counts_decoded_bytes():
    assert parse_cookie(b"sid=" + b"%C3%A9" * 2048).value == "é" * 2048


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: parse_cookie(None), AttributeError, "'NoneType' object has no attribute 'split'"),
        (lambda: native.parse_cookie(None), AttributeError, "'NoneType' object has no attribute 'split'"),
        (lambda: parse_cookie("sid=1"), TypeError,
         "Argument 'raw_value' has incorrect type (expected bytes, got str)"),
        (lambda: parse_cookie(bytearray(b"a=1")), TypeError,
         "Argument 'raw_value' has incorrect type (expected bytes, got bytearray)"),
        (lambda: parse_cookie(), TypeError, "parse_cookie() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_parse_arguments(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments_and_signatures():
    assert parse_cookie(raw_value=b"a=1").value == "1"
    assert datetime_from_cookie_format(value=b"Wed, 21 Oct 2015 07:28:00 GMT").year == 2015
    assert str(inspect.signature(parse_cookie)) == "(raw_value)"
    assert str(inspect.signature(datetime_from_cookie_format)) == "(value)"


class TestSplitValue:
    @pytest.mark.parametrize(
        "raw, separator, expected",
        [
            (b"a=b=c", b"=", (b"a", b"b=c")),
            (b"a=", b"=", (b"a", b"")),
            (b"=a", b"=", (b"", b"a")),
            (b"a; b", b"; ", (b"a", b" b")),  # one byte after the match is skipped
            (bytearray(b"k:v"), b":", (bytearray(b"k"), bytearray(b"v"))),
        ],
    )
    def test_split(self, raw, separator, expected):
        assert native.split_value(raw, separator) == expected

    @pytest.mark.parametrize("raw, separator, error", [(b"abc", b"=", ValueError), (b"", b"=", ValueError),
                                                       ("a=b", b"=", TypeError),
                                                       # a tuple is one argument of index(), not its argument list
                                                       ("abcabc", ("c", 3), TypeError),
                                                       (b"a=b", (b"=",), TypeError)])
    def test_errors(self, raw, separator, error):
        with pytest.raises(error):
            native.split_value(raw, separator)


def utc_clock(when):
    """The naive UTC clock of a datetime that the standard library parsed (with or without an offset)."""
    if when.utcoffset() is not None:
        when = when.astimezone(datetime.timezone.utc)
    return when.replace(tzinfo=None)


class TestDatetimeFromCookieFormat:
    @pytest.mark.parametrize("convert", [datetime_from_cookie_format, native.datetime_from_cookie_format])
    @pytest.mark.parametrize(
        "raw, expected",
        [
            (b"Wed, 21 Oct 2015 07:28:00 GMT", datetime.datetime(2015, 10, 21, 7, 28)),
            (b"Thu, 21 Oct 2015 07:28:00 GMT", datetime.datetime(2015, 10, 21, 7, 28)),  # weekday not checked
            (b"Wed, 21 Oct 2015 07:28:00 +0200", datetime.datetime(2015, 10, 21, 5, 28)),  # moved to UTC
            (b"Tue, 20 Oct 2015 23:28:00 -0800", datetime.datetime(2015, 10, 21, 7, 28)),
            (b"Wed, 21 Oct 2015 07:28:00 -0000", datetime.datetime(2015, 10, 21, 7, 28)),
            (b"21 Oct 2015 07:28", datetime.datetime(2015, 10, 21, 7, 28)),
            (b"Wed, 21 oct 2015 07:28:00 GMT", datetime.datetime(2015, 10, 21, 7, 28)),
            (b"Wed, 21 Oct 15 07:28:00 GMT", datetime.datetime(2015, 10, 21, 7, 28)),
            (b"Wed, 21 Oct 0050 07:28:00 GMT", datetime.datetime(2050, 10, 21, 7, 28)),
            (b"Sat, 29 Feb 2020 23:59:59 GMT", datetime.datetime(2020, 2, 29, 23, 59, 59)),
        ],
    )
    def test_parse(self, convert, raw, expected):
        result = convert(raw)
        assert result == expected and result.tzinfo is None and type(result) is datetime.datetime

    @pytest.mark.parametrize(
        "raw, error, message",
        [
            (None, AttributeError, "'NoneType' object has no attribute 'decode'"),
            (b"yesterday", ValueError, None),
            (b"", ValueError, None),
            (b"Wed, 29 Feb 2015 07:28:00 GMT", ValueError, "day 29 must be in range 1..28 for month 2 in year 2015"),
            (b"Wed, 21 Oct 2015 24:28:00 GMT", ValueError, "hour must be in 0..23, not 24"),
            (b"Wed, 21 Oct 2015 07:28:00 GMT\xff", UnicodeDecodeError, None),
            ("Wed, 21 Oct 2015 07:28:00 GMT", TypeError,
             "Argument 'value' has incorrect type (expected bytes, got str)"),
        ],
    )
    def test_errors(self, raw, error, message):
        with pytest.raises(error) as info:
            datetime_from_cookie_format(raw)
        if message is not None:
            assert str(info.value) == message

    @settings(max_examples=examples(1500))
    @given(
        st.datetimes(min_value=datetime.datetime(1, 1, 1), max_value=datetime.datetime(9999, 12, 31)),
        st.sampled_from(["GMT", "UTC", "+0200", "-0000", "EST", "gmt", "XYZ"]),
        st.sampled_from(["Mon", "Wed", "Xyz", "mon"]),
    )
    def test_equals_standard_library(self, when, zone, day):
        text = f"{day}, {when.day:02d} {when:%b} {when.year:04d} {when:%H:%M:%S} {zone}"
        expected = utc_clock(email.utils.parsedate_to_datetime(text))
        assert datetime_from_cookie_format(text.encode()) == expected

    @settings(max_examples=examples(1500))
    @given(st.text(alphabet="0123456789 :,+-ADFGJMNOSTWabdeglnortuv", max_size=32))
    @example("Wed, 21 Oct 2015 07:28:60 GMT")
    @example("Wed, 00 Oct 2015 07:28:00 GMT")
    @example("Wed, 21 Oct 0999 07:28:00 GMT")
    @example("Wed, 21 Oct 0099 07:28:00 GMT")
    def test_same_outcome_as_standard_library_on_junk(self, text):
        try:
            expected = ("ok", utc_clock(email.utils.parsedate_to_datetime(text)))
        except Exception as exc:  # noqa: BLE001 - the type is compared
            expected = ("raised", type(exc))
        try:
            actual = ("ok", datetime_from_cookie_format(text.encode()))
        except Exception as exc:  # noqa: BLE001
            actual = ("raised", type(exc))
        assert actual == expected


_VALUE_PIECES = [b"%", b"%2", b"%20", b"%zz", b"%C3", b"%A4", b"%C3%A4", b"%E2%82", b"%F0%9F%98%80", b"%ED%A0%80",
                 b"\xc3\xa4", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"a", b"/", b"+", b" ", b"~", b"%25", b"%3D"]


_PLAIN_TEXT = st.text(st.characters(exclude_categories=["Cs"], exclude_characters=';="'), max_size=3)


@settings(max_examples=examples(2000))
@given(st.lists(st.one_of(st.sampled_from(_VALUE_PIECES), _PLAIN_TEXT.map(str.encode)), max_size=16).map(b"".join))
def test_name_and_value_decoded_like_standard_library(raw):
    # unquote(raw.decode()) for both the name and the value.
    cookie = parse_cookie(b"n" + raw + b"=" + raw)
    expected = urllib.parse.unquote(raw.decode())
    assert cookie.value == expected and cookie.name == "n" + expected


def test_parsing_does_not_leak():
    raws = [b"sid=a%20b; Expires=Wed, 21 Oct 2015 07:28:00 GMT; Max-Age=5; Domain=d; Path=/; HttpOnly; "
            b"Secure; SameSite=Lax", b"sid=1; Expires=21 Oct 2015 07:28", b"justaname", b"=x", b"a=1; Max-Age=x",
            b"a=\xff", b"a=1; Expires=bad", b"a=" + b"x" * 5000]

    def run():
        for raw in raws:
            for parse in (parse_cookie, native.parse_cookie):
                try:
                    parse(raw)
                except Exception:  # noqa: BLE001 - error paths are exercised on purpose
                    pass
        native.split_value(b"a=b", b"=")
        try:
            native.split_value(b"ab", b"=")
        except ValueError:
            pass

    for _ in range(100):
        run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(1500):
        run()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100
