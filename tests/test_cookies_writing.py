"""Set-Cookie writing (write_cookie_for_response), cookie dates and the write-then-parse round trip."""

import datetime
import gc
import os
import shutil
import subprocess
import sys
import textwrap
import urllib.parse

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import cookies_native as native
from conftest import examples, run_python
from cookies_native import write_cookie_for_response as write
from quillmoth.cookies import Cookie, CookieSameSiteMode, datetime_to_cookie_format, parse_cookie

WHEN = datetime.datetime(2015, 10, 21, 7, 28)


class TestWrite:
    @pytest.mark.parametrize(
        "kwargs, expected",
        [
            (dict(name="name", value="value"), b"name=value"),
            (dict(name="sid", value="a b", path="/", max_age=3600, http_only=True, same_site=1),
             b"sid=a%20b; Max-Age=3600; Path=/; HttpOnly; SameSite=Lax"),
            (dict(name="n", value="v", max_age=0), b"n=v; Max-Age=0"),
            (dict(name="n", value="v", max_age=-1), b"n=v"),
            (dict(name="n", value="v", max_age=2**63 - 1), b"n=v; Max-Age=9223372036854775807"),
            (dict(name="n", value="v", same_site=3), b"n=v; Secure; SameSite=None"),
            (dict(name="n", value="v", same_site=2), b"n=v; Secure; SameSite=Strict"),
            (dict(name="n", value="v", same_site=1), b"n=v; SameSite=Lax"),
            (dict(name="n", value="v", same_site=9, secure=False), b"n=v"),
            (dict(name="n", value="v", same_site=2, secure=True), b"n=v; Secure; SameSite=Strict"),
            (dict(name="n", value="v", domain="", path=""), b"n=v"),
            (dict(name="n", value="a/b"), b"n=a/b"),
            (dict(name="n", value="ä"), b"n=%C3%A4"),
            (dict(name="n", value='"x";=y'), b"n=%22x%22%3B%3Dy"),
            (dict(name="a b", value=""), b"a%20b="),
            (dict(name="n", value="-_.~09AZaz"), b"n=-_.~09AZaz"),
            (dict(name="n", value="v", expires=WHEN), b"n=v; Expires=Wed, 21 Oct 2015 07:28:00 GMT"),
            (dict(name="n", value="v", domain="ä.example", path="/ä"), "n=v; Domain=ä.example; Path=/ä".encode()),
            (dict(name="n", value="v", domain=".example.com", path="/a b,c=d"),
             b"n=v; Domain=.example.com; Path=/a b,c=d"),
            (dict(name="n", value="v", expires=WHEN, max_age=5, domain="d", path="/", http_only=True, secure=True,
                  same_site=1),
             b"n=v; Expires=Wed, 21 Oct 2015 07:28:00 GMT; Max-Age=5; Domain=d; Path=/; HttpOnly; Secure; "
             b"SameSite=Lax"),
        ],
    )
    def test_write(self, kwargs, expected):
        assert write(Cookie(**kwargs)) == expected

    def test_aware_expiry_written_in_gmt(self):
        zone = datetime.timezone(datetime.timedelta(hours=2))
        cookie = Cookie("n", "v", expires=datetime.datetime(2015, 10, 21, 9, 28, tzinfo=zone))
        assert write(cookie) == b"n=v; Expires=Wed, 21 Oct 2015 07:28:00 GMT"
        assert cookie.expires.hour == 9  # the cookie itself is left as it was

    @pytest.mark.parametrize(
        "cookie, error",
        [
            (Cookie("n", None), TypeError),
            (Cookie.__new__(Cookie), TypeError),   # never initialised: the name is None
            ("n=v", TypeError),
            (None, TypeError),
        ],
    )
    def test_unwritable(self, cookie, error):
        with pytest.raises(error):
            write(cookie)

    def test_subclass_properties_are_used(self):
        class Shouting(Cookie):
            @property
            def value(self):
                return Cookie.value.__get__(self).upper()

            @value.setter
            def value(self, new):
                Cookie.value.__set__(self, new)

        assert write(Shouting("n", "quiet value", path="/")) == b"n=QUIET%20VALUE; Path=/"


class TestAttributeInjection:
    """Domain and path are written raw, so text that would end the attribute or the line is refused."""

    @pytest.mark.parametrize("field", ["domain", "path"])
    @pytest.mark.parametrize("text", ["a\r\nSet-Cookie: admin=1", "x\n", "\r", "/; Domain=evil.example", ";",
                                      "a;b"])
    def test_refused(self, field, text):
        cookie = Cookie("n", "v", **{field: text})
        with pytest.raises(ValueError, match=f"^Cookie {field} must not contain CR, LF or ';'"):
            write(cookie)

    @pytest.mark.parametrize("field", ["domain", "path"])
    @pytest.mark.parametrize("text", ["example.com", "/a b", "/ä", "a,b", "x=y", "\t", '"q"'])
    def test_well_formed_written_as_is(self, field, text):
        cookie = Cookie("n", "v", **{field: text})
        expected = b"n=v; " + field.capitalize().encode() + b"=" + text.encode()
        assert write(cookie) == expected

    def test_lone_surrogate_in_path(self):
        with pytest.raises(UnicodeEncodeError):
            write(Cookie("n", "v", path="/\ud800"))


# Fixed UTC offsets within a day, to the minute.
_OFFSETS = st.integers(-1439, 1439).map(lambda minutes: datetime.timezone(datetime.timedelta(minutes=minutes)))
_TEXT = st.text(st.characters(exclude_categories=["Cs"]), max_size=40)


@settings(max_examples=examples(1500))
@given(name=_TEXT.filter(bool), value=_TEXT)
@example(name="a b", value="\x00\x7f\x80\uffff\U0010ffff")
def test_name_and_value_quoted_like_standard_library(name, value):
    expected = urllib.parse.quote(name).encode() + b"=" + urllib.parse.quote(value).encode()
    assert write(Cookie(name, value)) == expected


class TestDates:
    @pytest.mark.parametrize("convert", [datetime_to_cookie_format, native.datetime_to_cookie_format])
    @pytest.mark.parametrize(
        "when, expected",
        [
            (WHEN, b"Wed, 21 Oct 2015 07:28:00 GMT"),
            (datetime.datetime(1, 1, 1), b"Mon, 01 Jan 0001 00:00:00 GMT"),
            (datetime.datetime(9999, 12, 31, 23, 59, 59, 999999), b"Fri, 31 Dec 9999 23:59:59 GMT"),
            (datetime.datetime(2000, 2, 29, 12, 0, 5), b"Tue, 29 Feb 2000 12:00:05 GMT"),
            (datetime.datetime(1900, 3, 1), b"Thu, 01 Mar 1900 00:00:00 GMT"),
            # aware datetimes are moved to UTC: a cookie date is always GMT
            (datetime.datetime(2015, 10, 21, 9, 28, tzinfo=datetime.timezone(datetime.timedelta(hours=2))),
             b"Wed, 21 Oct 2015 07:28:00 GMT"),
            (datetime.datetime(2015, 10, 20, 23, 28, tzinfo=datetime.timezone(datetime.timedelta(hours=-8))),
             b"Wed, 21 Oct 2015 07:28:00 GMT"),
            (datetime.datetime(2015, 10, 21, 7, 28, tzinfo=datetime.timezone.utc), b"Wed, 21 Oct 2015 07:28:00 GMT"),
        ],
    )
    def test_format(self, convert, when, expected):
        assert convert(when) == expected

    @settings(max_examples=examples(3000))
    @given(st.datetimes(min_value=datetime.datetime(1, 1, 1), max_value=datetime.datetime(9999, 12, 31)))
    def test_equals_strftime_in_c_locale(self, when):
        # The test process runs with the default (C) time locale.
        assert datetime_to_cookie_format(when) == when.strftime("%a, %d %b %Y %H:%M:%S GMT").encode()

    @pytest.mark.parametrize(
        "value, error, message",
        [
            (None, AttributeError, "'NoneType' object has no attribute 'strftime'"),
            (datetime.date(2015, 10, 21), TypeError,
             "Argument 'value' has incorrect type (expected datetime.datetime, got datetime.date)"),
            ("2015", TypeError, "Argument 'value' has incorrect type (expected datetime.datetime, got str)"),
        ],
    )
    def test_errors(self, value, error, message):
        with pytest.raises(error) as info:
            datetime_to_cookie_format(value)
        assert str(info.value) == message

    def test_native_export_rejects_non_datetime(self):
        with pytest.raises(TypeError, match="^Cannot convert str to datetime.datetime$"):
            native.datetime_to_cookie_format("2015")

    def test_aware_subclass_whose_subtraction_is_not_a_datetime(self):
        # Moving an aware expiry to UTC subtracts its offset; a subclass that answers with anything
        # but a datetime is refused, never read as one.
        class Odd(datetime.datetime):
            def __sub__(self, other):
                return 12345

        zone = datetime.timezone(datetime.timedelta(hours=2))
        when = Odd(2015, 10, 21, 9, 28, tzinfo=zone)
        for convert in (datetime_to_cookie_format, native.datetime_to_cookie_format,
                        lambda value: write(Cookie("n", "v", expires=value))):
            with pytest.raises(TypeError, match="^Cannot convert int to datetime.datetime$"):
                convert(when)
        # naive, or without an offset, there is nothing to subtract
        assert datetime_to_cookie_format(Odd(2015, 10, 21, 7, 28)) == b"Wed, 21 Oct 2015 07:28:00 GMT"

    def test_english_names_under_another_locale(self, tmp_path):
        # A German time locale is compiled into a temporary directory, so the check does not depend
        # on the locales the machine has installed.
        localedef = shutil.which("localedef")
        if localedef is None:
            pytest.skip("localedef is not available")
        built = subprocess.run([localedef, "-i", "de_DE", "-f", "UTF-8", str(tmp_path / "de_DE.UTF-8")],
                               capture_output=True)
        if not (tmp_path / "de_DE.UTF-8").exists():
            pytest.skip(f"cannot build a German locale: {built.stderr!r}")
        script = textwrap.dedent(
            """
            import datetime, locale
            locale.setlocale(locale.LC_ALL, "")
            from quillmoth.cookies import Cookie, datetime_to_cookie_format
            import cookies_native
            when = datetime.datetime(2015, 10, 21, 7, 28)
            print(when.strftime("%a %b"))
            print(datetime_to_cookie_format(when).decode())
            print(cookies_native.write_cookie_for_response(Cookie("n", "v", expires=when)).decode())
            """
        )
        done = run_python(script, extra_paths=[os.path.dirname(__file__)], LOCPATH=str(tmp_path),
                          LC_ALL="de_DE.UTF-8")
        assert done.returncode == 0, done.stderr
        localised, date, header = done.stdout.splitlines()
        assert localised == "Mi Okt"  # the locale really is active
        assert date == "Wed, 21 Oct 2015 07:28:00 GMT"
        assert header == "n=v; Expires=Wed, 21 Oct 2015 07:28:00 GMT"


class TestRoundTrip:
    @pytest.mark.parametrize(
        "kwargs",
        [
            dict(name="sid", value="a b", path="/", max_age=3600, http_only=True, same_site=1),
            dict(name="sid", value="ä;=\"", domain="example.com", expires=WHEN, same_site=2),
            dict(name="n=1", value="", same_site=3, secure=False),
            dict(name="n", value="v", secure=True, max_age=0),
            dict(name="n", value="v", same_site=9),
        ],
    )
    def test_examples(self, kwargs):
        self._check(Cookie(**kwargs))

    @settings(max_examples=examples(1500))
    @given(
        name=_TEXT.filter(bool).filter(
            lambda n: n.lower() not in {"expires", "domain", "path", "max-age", "samesite"}),
        value=_TEXT,
        expires=st.one_of(st.none(), st.datetimes(min_value=datetime.datetime(1000, 1, 2),
                                                  max_value=datetime.datetime(9999, 12, 30),
                                                  timezones=st.one_of(st.none(), _OFFSETS))),
        domain=st.one_of(st.none(), _TEXT.filter(lambda t: not set(t) & set(";\r\n"))),
        path=st.one_of(st.none(), _TEXT.filter(lambda t: not set(t) & set(";\r\n"))),
        http_only=st.booleans(),
        secure=st.booleans(),
        max_age=st.integers(-(2**63), 2**63 - 1),
        same_site=st.integers(0, 5),
    )
    def test_any_cookie(self, name, value, expires, domain, path, http_only, secure, max_age, same_site):
        self._check(Cookie(name, value, expires, domain, path, http_only, secure, max_age, same_site))

    @staticmethod
    def _check(cookie):
        parsed = parse_cookie(write(cookie))
        assert (parsed.name, parsed.value) == (cookie.name, cookie.value)
        assert parsed.path == (cookie.path or None) and parsed.domain == (cookie.domain or None)
        assert parsed.max_age == max(cookie.max_age, -1)
        assert parsed.http_only == cookie.http_only
        assert parsed.same_site == (cookie.same_site if cookie.same_site <= 3 else CookieSameSiteMode.UNDEFINED)
        assert parsed.secure == (cookie.secure or cookie.same_site in (2, 3))
        if cookie.expires is None:
            assert parsed.expires is None
        else:
            assert parsed.expires.tzinfo is None
            expires = cookie.expires
            if expires.utcoffset() is not None:
                expires = expires.astimezone(datetime.timezone.utc)
            assert parsed.expires == expires.replace(microsecond=0, tzinfo=None)


def test_writing_does_not_leak():
    cookies = [Cookie("n", "v ä", expires=WHEN, max_age=5, domain="d", path="/", http_only=True, same_site=2),
               Cookie("n", None), Cookie("n", "v", path="a;b"), Cookie("n", "v", domain="\ud800")]

    def run():
        for cookie in cookies:
            try:
                write(cookie)
            except (TypeError, ValueError):
                pass
        datetime_to_cookie_format(WHEN)

    for _ in range(100):
        run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(3000):
        run()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100
