"""Fuzz target for the cookies of a request: Request.cookies and Request.get_cookie over Cookie headers.

    mkdir -p /tmp/request-cookies-corpus
    PYTHONPATH=tests .venv/bin/python fuzz/fuzz_request_cookies.py -max_total_time=300 \
        -dict=fuzz/cookies.dict /tmp/request-cookies-corpus

An empty corpus directory is first filled with the SEEDS below. The first input byte chooses how the
rest is cut into Cookie header values (one header, or a new header at every NUL byte) and how the
header names are spelled; the request reads them as its cookies, which must equal the reference
model of tests/test_request.py (pieces split at ';', spaces and tabs stripped, name and value
percent-decoded, a piece that is not UTF-8 or has no '=' skipped, a later name replacing an earlier
one). get_cookie must agree with the dict for each name, and reading the cookies twice gives the
same dict. Any exception, a mismatch or a crash is a finding.

The native code carries no coverage instrumentation, so the checks below are instrumented.
"""


import atheris
from _harness import fuzz

with atheris.instrument_imports():
    from test_request import model_cookies

from quillmoth.messages import Request

SEEDS = [
    b"\x00a=1; b=2",
    b"\x01a=1;b=2;\tc=%41 ; d; e=\xff; f=\x00b=3",
    b"\x02sid=\"quoted\"; x=%E2%82%AC; =empty; ;;",
    b"\x03a=1\x00a=2\x00\x00 b = 3 ",
]
SPELLINGS = [b"cookie", b"Cookie", b"COOKIE", b"cOoKiE"]


@atheris.instrument_func
def test_one_input(data):
    if not data:
        return
    mode, rest = data[0], data[1:]
    values = rest.split(b"\x00") if mode & 1 else [rest]
    headers = [(SPELLINGS[(mode >> 1) + i & 3], value) for i, value in enumerate(values)]
    if mode & 8:
        headers.insert(0, (b"x-other", b"a=b"))
    request = Request("GET", b"/", headers)
    cookies = request.cookies
    assert isinstance(cookies, dict)
    expected = model_cookies(values)
    assert cookies == expected, (values, cookies, expected)
    for name, value in cookies.items():
        assert request.get_cookie(name) == value, (values, name)
    assert request.get_cookie("\x00not-a-name\x00") is None or "\x00not-a-name\x00" in cookies
    assert Request("GET", b"/", headers).cookies == cookies


if __name__ == "__main__":
    fuzz(test_one_input, SEEDS)
