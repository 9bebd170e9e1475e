"""Fuzz target for URL-encoded forms: parse_www_form_urlencoded, and Request.form() over a body that
arrives through the ASGI receive channel in fuzzed chunks.

    mkdir -p /tmp/forms-corpus
    PYTHONPATH=tests .venv/bin/python fuzz/fuzz_forms.py -max_total_time=300 /tmp/forms-corpus

An empty corpus directory is first filled with the SEEDS below. The first input byte chooses the
chunking and the declared charset; the rest is the body. Checks:
  - parse_www_form_urlencoded over the body decoded as UTF-8 (bad bytes replaced) equals the
    standard library's parse_qsl grouped the same way (the reference of tests/test_contents.py),
    and over the undecoded bytes equals parse_qsl over the bytes with each name and value then
    read as UTF-8 (bad bytes replaced);
  - Request.form() over the body, cut into chunks and received as http.request messages, gives
    the same dict as parsing the body decoded with the declared charset; a second form() call
    gives the same object; the request's body bound (max_body_size) is honoured with 413.
Any other exception, a mismatch, a hang or a crash is a finding.

The native code carries no coverage instrumentation, so the checks below are instrumented.
"""

import asyncio
from urllib.parse import parse_qsl

import atheris
from _harness import fuzz

with atheris.instrument_imports():
    from test_contents import stdlib_form

from quillmoth.contents import ASGIContent, parse_www_form_urlencoded
from quillmoth.exceptions import PayloadTooLarge
from quillmoth.messages import Request
from quillmoth.settings.encodings import encodings_settings

def group(pairs):
    result = {}
    for key, value in pairs:
        if key not in result:
            result[key] = value
        elif isinstance(result[key], list):
            result[key].append(value)
        else:
            result[key] = [result[key], value]
    return result


SEEDS = [
    b"\x00a=1&b=2&a=3",
    b"\x11x=%41%2b+%zz%4&flag&=v&&",
    b"\x22n%C3%A4me=v%C3%A9&bad=%ff%fe&raw=\xc3\xa9+\xff",
    b"\x33a=1;b=2&c=%00&d=%0D%0A",
]
CHARSETS = [None, "utf-8", "latin-1", "ascii"]
LIMIT = 4096
LOOP = asyncio.new_event_loop()


def chunked(body, size):
    if not body:
        return [{"type": "http.request", "body": b"", "more_body": False}]
    pieces = [body[i:i + size] for i in range(0, len(body), size)]
    return [{"type": "http.request", "body": piece, "more_body": i + 1 < len(pieces)} for i, piece in enumerate(pieces)]


async def read_form(body, size, charset):
    messages = chunked(body, size)

    async def receive():
        return messages.pop(0) if messages else {"type": "http.disconnect"}

    content_type = b"application/x-www-form-urlencoded" + (b"; charset=" + charset.encode() if charset else b"")
    request = Request("POST", b"/form", [(b"content-type", content_type)])
    request.content = ASGIContent(receive, LIMIT)
    first = await request.form()
    second = await request.form()
    assert second is first or second == first
    return first


@atheris.instrument_func
def check_parse(body):
    text = body.decode("utf-8", "replace")
    parsed = parse_www_form_urlencoded(text)
    assert parsed == stdlib_form(text), (body, parsed)
    # Over bytes, the bytes are percent-decoded first and then read as UTF-8.
    pairs = [(k.decode("utf-8", "replace"), v.decode("utf-8", "replace"))
             for k, v in parse_qsl(body, keep_blank_values=True)]
    assert parse_www_form_urlencoded(body) == group(pairs), body


@atheris.instrument_func
def check_request(body, size, charset):
    try:
        form = LOOP.run_until_complete(read_form(body, size, charset))
    except PayloadTooLarge:
        assert len(body) > LIMIT
        return
    assert len(body) <= LIMIT, len(body)
    try:
        text = body.decode(charset or "utf-8")
    except UnicodeDecodeError as error:
        text = encodings_settings.decode(body, error)
    expected = parse_www_form_urlencoded(text)
    assert form == expected, (body, charset, form, expected)


def test_one_input(data):
    if not data:
        return
    choice, body = data[0], data[1:]
    check_parse(body)
    check_request(body, 1 + (choice & 15) * 7, CHARSETS[choice >> 4 & 3])
    assert not asyncio.all_tasks(LOOP)


if __name__ == "__main__":
    fuzz(test_one_input, SEEDS)
