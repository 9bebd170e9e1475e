"""Fuzz target for quillmoth.multipart: parse_multipart_async and get_boundary_from_header.

    mkdir -p /tmp/multipart-corpus
    .venv/bin/python fuzz/fuzz_multipart.py -max_total_time=300 /tmp/multipart-corpus

An empty corpus directory is first filled with the SEEDS below. Each input is used three times:
  - as a raw body (after two bytes that choose the chunking), and as a body spelled with the
    TOKENS below, one input byte choosing each token (which reaches the states deep inside part
    headers far more often than raw bytes do): the parse, with small
    limits, either gives parts or raises BadRequest, never another exception, a hang or a crash;
    the same body cut into one chunk, into 1-byte chunks and into the fuzzed chunk sizes gives the
    same parts (names, file names, content types, charsets, bytes) or the same error; every plain
    field stays within max_field_size and there are never more than max_parts parts;
  - as the parts of a body this harness writes (names, file names and data taken from the input,
    data kept free of the delimiter): the parse must give those parts back exactly.
get_boundary_from_header gets the input as a content type and may only raise ValueError.

The native module carries no coverage instrumentation, so this harness is instrumented: its
branches on the outcome (parts, errors by message) give the fuzzer its feedback.
"""


import atheris
from _harness import fuzz

from quillmoth.exceptions import BadRequest
from quillmoth.multipart import get_boundary_from_header, parse_multipart_async

BOUNDARY = b"fuzzB0undary"
LIMITS = {"max_parts": 8, "max_header_size": 512, "max_headers": 6, "max_field_size": 64}
SEEDS = [
    b"\x00\x00--fuzzB0undary\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nvalue\r\n--fuzzB0undary--\r\n",
    b"\x03\x01preamble\r\n--fuzzB0undary \r\nContent-Disposition: form-data; name=\"f\"; filename=\"x.txt\"\r\n"
    b"Content-Type: text/plain; charset=utf-8\r\n\r\n\r\n--fuzz\r\n\r\n--fuzzB0undary--epilogue",
    b"\x07\x00--fuzzB0undary\r\nContent-Disposition: form-data; name=\"q\\\"x\"; filename*=UTF-8''%E2%82%AC\r\n"
    b"\r\n1\r\n--fuzzB0undary\r\nContent-Disposition: form-data; name=b\r\n\r\n2\r\n--fuzzB0undary--",
    b"\x01\x02--fuzzB0undary\r\nContent-Disposition: attachment\r\n\r\n--fuzzB0undary--",
    b"multipart/form-data; boundary=\"a\\\"b\"; charset=x",
]


# The pieces of a body's grammar, and bytes that come close to them.
TOKENS = [
    b"--fuzzB0undary", b"--fuzzB0undary--", b"\r\n", b"\r", b"\n", b"--", b"-", b"fuzzB0", b" ", b"\t", b"\r\n\r\n",
    b"Content-Disposition: form-data", b"content-disposition:attachment", b"; name=", b"; filename=", b"; filename*=",
    b"UTF-8''%E2%82%AC", b"latin1'en'%E9", b"%FF", b'"', b"\\", b'\\"', b";", b"=", b"Content-Type: ", b"text/plain",
    b"; charset=", b"utf-8", b"X-Other: v", b"a", b"name", b"\x00", b"\xc3\xa9", b"\xff", b"x" * 70, b":",
]


def from_tokens(data):
    return b"".join(TOKENS[b % len(TOKENS)] for b in data)


def drive(awaitable):
    """Runs an awaitable that never waits (the sources below never do) to its result."""
    try:
        awaitable.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the parse waited on something")


async def source(chunks):
    for chunk in chunks:
        yield chunk


async def parse_all(chunks, limits):
    parts = []
    async for part in parse_multipart_async(source(chunks), BOUNDARY, **limits):
        data = b"".join([piece async for piece in part.stream()])
        parts.append((part.name, part.file_name, part.content_type, part.charset, data))
    return parts


@atheris.instrument_func
def outcome(chunks, limits):
    try:
        return "parts", drive(parse_all(chunks, limits))
    except BadRequest as error:
        return "error", str(error)


def cut(body, sizes):
    chunks, at = [], 0
    for size in sizes:
        if at >= len(body):
            break
        chunks.append(body[at:at + size])
        at += size
    if at < len(body):
        chunks.append(body[at:])
    return chunks


@atheris.instrument_func
def check_raw(body, sizes, limits):
    whole = outcome([body], limits)
    assert outcome([body[i:i + 1] for i in range(len(body))], limits) == whole, body
    assert outcome(cut(body, sizes), limits) == whole, (body, sizes)
    if whole[0] == "parts":
        parts = whole[1]
        assert len(parts) <= limits["max_parts"]
        for name, file_name, content_type, charset, data in parts:
            assert isinstance(name, str)
            assert all(v is None or isinstance(v, str) for v in (file_name, content_type, charset))
            if file_name is None:
                assert len(data) <= limits["max_field_size"]


def quote(text):
    return text.replace("\\", "\\\\").replace('"', '\\"').encode()


@atheris.instrument_func
def check_round_trip(fdp):
    parts = []
    for _ in range(fdp.ConsumeIntInRange(0, 5)):
        name = fdp.ConsumeUnicodeNoSurrogates(8).replace("\r", "").replace("\n", "").replace("\x00", "")
        file_name = fdp.ConsumeUnicodeNoSurrogates(8).replace("\r", "").replace("\n", "").replace("\x00", "")
        data = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 100))
        if b"\r\n--" + BOUNDARY in b"\r\n" + data:
            continue
        parts.append((name, file_name if fdp.ConsumeBool() else None, data))
    body = b"".join(
        b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="' + quote(name) + b'"'
        + (b'; filename="' + quote(file_name) + b'"' if file_name is not None else b"") + b"\r\n\r\n" + data + b"\r\n"
        for name, file_name, data in parts) + b"--" + BOUNDARY + b"--\r\n"
    limits = dict(LIMITS, max_field_size=1000)
    got = outcome(cut(body, [fdp.ConsumeIntInRange(1, 64) for _ in range(8)]), limits)
    assert got == ("parts", [(n, f, None, None, d) for n, f, d in parts]), (parts, got)


def test_one_input(data):
    if len(data) >= 2:
        sizes = [1 + (data[0] >> shift & 7) * (1 + data[1] % 9) for shift in (0, 3, 5)] * 4
        check_raw(data[2:], sizes, LIMITS)
        check_raw(from_tokens(data[2:]), sizes, LIMITS)
    try:
        boundary = get_boundary_from_header(data)
        assert isinstance(boundary, bytes) and boundary
    except ValueError:
        pass
    check_round_trip(atheris.FuzzedDataProvider(data))


if __name__ == "__main__":
    fuzz(test_one_input, SEEDS)
