"""Fuzz target for Set-Cookie parsing and writing.

    mkdir -p /tmp/cookies-corpus
    PYTHONPATH=tests .venv/bin/python fuzz/fuzz_cookies.py -max_total_time=300 -dict=fuzz/cookies.dict \
        /tmp/cookies-corpus

An empty corpus directory is first filled with the SEEDS below. The native code
is not instrumented for coverage, so the Python checks below are, which lets the fuzzer keep
inputs that reach new outcomes (parsed, refused, written, round-tripped).

Each input is used twice:
  - as raw header bytes for parse_cookie, which may only fail with the documented errors
    (ValueError and its UnicodeDecodeError, OverflowError, CookieError); a parsed cookie is written
    again and the written bytes must parse back to the same name and value;
  - as structured data for a Cookie built from fuzzed fields, which is written and parsed back
    (the write-then-parse round trip).
Any other exception, a mismatch or a crash of the process is a finding.
"""

import datetime

import atheris
from _harness import fuzz

from cookies_native import write_cookie_for_response
from quillmoth.cookies import Cookie, CookieError, parse_cookie

SEEDS = [
    b"sid=abc; Path=/; HttpOnly; Secure; SameSite=Lax",
    b"sid=abc;Path=/;secure",
    b"sid=abc;Path=/; Secure",
    b'sid="a b"',
    b"sid=a%20b%C3%A4; Max-Age=3600; Domain=example.org",
    b"session=1; Expires=Wed, 21 Oct 2015 07:28:00 GMT",
    b"x=1; Expires=21 Oct 15 07:28 +0200; SameSite=None",
    b"path=/x; Path=/y",
    b"justaname",
]
PARSE_ERRORS = (ValueError, OverflowError, CookieError)
# Names the parser reads as attributes even in the name=value fragment, so a cookie with such a
# name cannot come back from its own header.
ATTRIBUTE_NAMES = {"expires", "domain", "path", "max-age", "samesite"}


@atheris.instrument_func
def check_parse(data):
    try:
        cookie = parse_cookie(data)
    except PARSE_ERRORS:
        return
    try:
        written = write_cookie_for_response(cookie)
    except ValueError:
        # Only a domain or path holding ";", CR or LF is refused.
        assert any(c in text for text in (cookie.domain or "", cookie.path or "") for c in ";\r\n")
        return
    if cookie.name.lower() in ATTRIBUTE_NAMES:
        return
    again = parse_cookie(written)
    assert (again.name, again.value) == (cookie.name, cookie.value), (data, written)


@atheris.instrument_func
def check_write(provider):
    name = provider.ConsumeUnicodeNoSurrogates(provider.ConsumeIntInRange(1, 24))
    value = provider.ConsumeUnicodeNoSurrogates(provider.ConsumeIntInRange(0, 64))
    path = provider.ConsumeUnicodeNoSurrogates(provider.ConsumeIntInRange(0, 16)) or None
    domain = provider.ConsumeUnicodeNoSurrogates(provider.ConsumeIntInRange(0, 16)) or None
    max_age = provider.ConsumeIntInRange(-(2**63), 2**63 - 1)
    same_site = provider.ConsumeIntInRange(0, 2**32 - 1)
    flags = provider.ConsumeIntInRange(0, 3)
    expires = None
    if provider.ConsumeBool():
        expires = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=provider.ConsumeIntInRange(0, 2**36))
    try:
        cookie = Cookie(name, value, expires, domain, path, bool(flags & 1), bool(flags & 2), max_age, same_site)
    except ValueError:
        assert not name
        return
    try:
        written = write_cookie_for_response(cookie)
    except ValueError:
        assert any(c in text for text in (domain or "", path or "") for c in ";\r\n")
        return
    if name.lower() in ATTRIBUTE_NAMES:
        return
    parsed = parse_cookie(written)
    assert (parsed.name, parsed.value) == (name, value), written
    assert parsed.path == path and parsed.domain == domain, written
    assert parsed.max_age == max(max_age, -1), written
    assert parsed.http_only == bool(flags & 1), written
    if expires is not None and expires.year >= 100:
        assert parsed.expires == expires, written


def test_one_input(data):
    check_parse(data)
    check_write(atheris.FuzzedDataProvider(data))


if __name__ == "__main__":
    fuzz(test_one_input, SEEDS)
