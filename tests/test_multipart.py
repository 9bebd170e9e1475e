"""The streaming multipart parser: against python-multipart (a reference only) on generated bodies
cut at random, the header forms clients send, every malformed body and limit, bounded memory, and
the protocol between the part generator and the part streams."""

import asyncio
import tracemalloc

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from python_multipart import MultipartParser
from python_multipart.multipart import parse_options_header

from quillmoth import multipart
from quillmoth.contents import StreamedFormPart
from quillmoth.exceptions import BadRequest, InvalidOperation, MessageAborted
from quillmoth.multipart import get_boundary_from_header, parse_multipart_async
from conftest import examples

BOUNDARY = b"b0uNd4ry-x"


def build(parts, boundary=BOUNDARY, preamble=b"", epilogue=b""):
    """A body from (name, file_name, content_type, data) tuples; names are quoted with escapes."""
    out = [preamble]
    for name, file_name, content_type, data in parts:
        quote = lambda v: v.replace("\\", "\\\\").replace('"', '\\"').encode()  # noqa: E731
        header = b'Content-Disposition: form-data; name="' + quote(name) + b'"'
        if file_name is not None:
            header += b'; filename="' + quote(file_name) + b'"'
        lines = [header] + ([b"Content-Type: " + content_type.encode()] if content_type else [])
        out.append(b"\r\n--" + boundary + b"\r\n" + b"\r\n".join(lines) + b"\r\n\r\n" + data)
    out.append(b"\r\n--" + boundary + b"--\r\n" + epilogue)
    body = b"".join(out)
    return body if preamble else body[2:]


def cut(body, points):
    points = sorted({p % (len(body) + 1) for p in points})
    edges = [0, *points, len(body)]
    return [body[a:b] for a, b in zip(edges, edges[1:]) if b > a]


async def source(chunks):
    for chunk in chunks:
        yield chunk


async def parse_all(chunks, boundary=BOUNDARY, **limits):
    result = []
    async for part in parse_multipart_async(source(chunks), boundary, **limits):
        data = b"".join([piece async for piece in part.stream()])
        result.append((part.name, part.file_name, part.content_type, part.charset, data))
    return result


def parse(chunks, boundary=BOUNDARY, **limits):
    return asyncio.run(parse_all(chunks, boundary, **limits))


def reference(body, boundary=BOUNDARY):
    """python-multipart's reading of the body, in the same shape."""
    parts, state = [], {}

    def on_part_begin():
        state.update(headers={}, field=b"", value=b"", data=[])

    def on_header_field(data, start, end):
        state["field"] += data[start:end]

    def on_header_value(data, start, end):
        state["value"] += data[start:end]

    def on_header_end():
        state["headers"][state["field"].lower()] = state["value"]
        state["field"] = state["value"] = b""

    def on_part_data(data, start, end):
        state["data"].append(data[start:end])

    def on_part_end():
        _, params = parse_options_header(state["headers"][b"content-disposition"])
        media, ct_params = parse_options_header(state["headers"].get(b"content-type", b""))
        file_name = params.get(b"filename")
        charset = ct_params.get(b"charset")
        parts.append((params[b"name"].decode(), file_name.decode() if file_name is not None else None,
                      media.decode() or None, charset.decode() if charset else None, b"".join(state["data"])))

    parser = MultipartParser(boundary, {"on_part_begin": on_part_begin, "on_header_field": on_header_field,
                                        "on_header_value": on_header_value, "on_header_end": on_header_end,
                                        "on_part_data": on_part_data, "on_part_end": on_part_end})
    parser.write(body)
    parser.finalize()
    return parts


# ---------------------------------------------------------------------------------------------
# Against the reference

# No backslash: the reference reads an escaped backslash (two backslashes in a quoted name) as two characters, which the
# header-form table below covers.
texts = st.text(alphabet=st.characters(codec="utf-8", exclude_characters="\r\n\x00\\"), max_size=12)
# Data made to look like delimiters: line breaks, dashes and pieces of the boundary.
near_misses = st.lists(st.sampled_from([b"\r", b"\n", b"\r\n", b"-", b"--", BOUNDARY[:3], BOUNDARY[:-1], b"x", b"\xff"]),
                       max_size=30).map(b"".join)
datas = st.one_of(st.binary(max_size=300), near_misses)
parts_strategy = st.lists(
    st.tuples(texts, st.one_of(st.none(), texts), st.sampled_from([None, "text/plain", "image/png; charset=utf-8"]),
              datas),
    min_size=0, max_size=6,
).filter(lambda parts: all(b"\r\n--" + BOUNDARY not in b"\r\n" + d for *_, d in parts))


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(parts=parts_strategy, points=st.lists(st.integers(min_value=0), max_size=40),
       preamble=st.sampled_from([b"", b"preamble\r\n", b"\r\n"]), epilogue=st.sampled_from([b"", b"epilogue\r\n"]))
def test_matches_reference_under_any_chunking(parts, points, preamble, epilogue):
    body = build(parts, preamble=preamble, epilogue=epilogue)
    expected = reference(build(parts))  # the reference reads no preamble
    assert [p[0] for p in expected] == [p[0] for p in parts]
    assert parse(cut(body, points)) == expected


@settings(max_examples=examples(40), deadline=None)
@given(parts=parts_strategy)
def test_one_byte_chunks(parts):
    body = build(parts)
    assert parse([body[i:i + 1] for i in range(len(body))]) == reference(body)


# ---------------------------------------------------------------------------------------------
# Header forms


def single(disposition, extra=b"", data=b"v"):
    body = (b"--" + BOUNDARY + b"\r\nContent-Disposition: " + disposition + b"\r\n" + extra + b"\r\n" + data
            + b"\r\n--" + BOUNDARY + b"--\r\n")
    return parse([body])[0]


@pytest.mark.parametrize(
    "disposition, extra, expected",
    [
        (b'form-data; name="a\\"b"', b"", ("a\"b", None, None, None)),
        (b'form-data; name="x"; filename="C:\\dir\\f.txt"', b"", ("x", "C:\\dir\\f.txt", None, None)),
        (b'form-data; name="x"; filename="a\\\\b"', b"", ("x", "a\\b", None, None)),
        (b"form-data; name=plain", b"", ("plain", None, None, None)),
        (b'FORM-DATA; NAME="up"; FileName="f"', b"", ("up", "f", None, None)),
        (b'form-data; name="semi;colon"; filename="x;y.txt"', b"", ("semi;colon", "x;y.txt", None, None)),
        ('form-data; name="ü"; filename="€.txt"'.encode(), b"", ("ü", "€.txt", None, None)),
        (b'form-data; name="\xe9t\xe9"', b"", ("\xe9t\xe9", None, None, None)),  # not UTF-8: Latin-1
        (b"form-data; name=\"f\"; filename=\"fallback.txt\"; filename*=UTF-8''%E2%82%AC%20rate.txt", b"",
         ("f", "€ rate.txt", None, None)),
        (b"form-data; name=\"f\"; filename*=iso-8859-1'en'caf%E9.txt", b"", ("f", "café.txt", None, None)),
        (b"form-data; name=\"f\"; filename=\"kept.txt\"; filename*=koi8-r''%C1", b"", ("f", "kept.txt", None, None)),
        (b"form-data; name=\"f\"; filename=\"kept.txt\"; filename*=UTF-8''%FF", b"", ("f", "kept.txt", None, None)),
        (b'form-data; name="e"; filename=""', b"", ("e", "", None, None)),
        (b'form-data; name="t"', b"content-type: text/plain;charset=\"latin-1\"\r\nX-Other: 1\r\n",
         ("t", None, "text/plain", "latin-1")),
        (b'form-data; name="t"', b"Content-Type:image/png\r\n", ("t", None, "image/png", None)),
        (b'form-data ; name = "spaced" ; flag', b"", ("spaced", None, None, None)),
    ],
)
def test_header_forms(disposition, extra, expected):
    assert single(disposition, extra)[:4] == expected


def test_framing_around_parts():
    body = (b"ignored preamble\r\n--" + BOUNDARY + b" \t\r\nContent-Disposition: form-data; name=a\r\n\r\n"
            b"\r\n--" + BOUNDARY + b"\r\nContent-Disposition: form-data; name=b\r\n\r\nx\r\n--" + BOUNDARY
            + b"X\r\n--" + BOUNDARY + b"--garbage that is never read")
    with pytest.raises(BadRequest, match="after a boundary delimiter"):
        parse([body])
    ok = body.replace(b"x\r\n--" + BOUNDARY + b"X\r\n", b"x\r\n")
    assert parse([ok]) == [("a", None, None, None, b""), ("b", None, None, None, b"x")]


def test_parts_are_streamed_form_parts():
    async def main():
        async for part in parse_multipart_async(source([build([("n", "f.bin", "a/b", b"1")])]), BOUNDARY):
            assert isinstance(part, StreamedFormPart) and isinstance(part, multipart.MultipartPart)
            assert repr(part) == "<StreamedFormPart name='n' file_name='f.bin'>"
            # What the base class's stream() calls gives the same native stream.
            return [piece async for piece in part._data_provider()]

    assert asyncio.run(main()) == [b"1"]


# ---------------------------------------------------------------------------------------------
# Malformed bodies and limits


def part_bytes(i, data=b"v"):
    return b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="f%d"\r\n\r\n' % i + data + b"\r\n"


END = b"--" + BOUNDARY + b"--\r\n"


@pytest.mark.parametrize(
    "body, message",
    [
        (b"", "no boundary delimiter"),
        (b"no delimiter at all\r\n", "no boundary delimiter"),
        (part_bytes(0), "ends before the closing"),
        (b"--" + BOUNDARY + b"\r\nContent-Disposition: form-data; name=a\r\n", "ends inside a part's headers"),
        (b"--" + BOUNDARY + b"\r\nno colon here\r\n\r\nx\r\n" + END, "bad header line"),
        (b"--" + BOUNDARY + b"\r\nBad Name: x\r\n\r\nx\r\n" + END, "bad header line"),
        (b"--" + BOUNDARY + b"\r\nX: a\x00b\r\n\r\nx\r\n" + END, "bad header line"),
        (b"--" + BOUNDARY + b"\r\nX: a\rb\r\n\r\nx\r\n" + END, "bad header line"),
        (b"--" + BOUNDARY + b"\r\nContent-Type: text/plain\r\n\r\nx\r\n" + END, "no Content-Disposition"),
        (b"--" + BOUNDARY + b"\r\nContent-Disposition: form-data\r\n\r\nx\r\n" + END, "no Content-Disposition"),
        (b"--" + BOUNDARY + b"\r\nContent-Disposition: attachment; name=a\r\n\r\nx\r\n" + END, "not form-data"),
        (b'--' + BOUNDARY + b'\r\nContent-Disposition: form-data; name="a\r\n\r\nx\r\n' + END, "unterminated"),
        (b'--' + BOUNDARY + b'\r\nContent-Disposition: form-data; name="a"x\r\n\r\nx\r\n' + END, "parameter list"),
        (b"--" + BOUNDARY + b"\r\nContent-Disposition: form-data; name=a; name=b\r\n\r\nx\r\n" + END, "two names"),
        (b"--" + BOUNDARY + b"\r\nContent-Disposition: form-data; name=a\r\nContent-Disposition: form-data; "
         b"name=b\r\n\r\nx\r\n" + END, "two Content-Disposition"),
        (b"--" + BOUNDARY + b"\r\nContent-Disposition: form-data; name=a\r\nContent-Type: a/b\r\nContent-Type: c/d"
         b"\r\n\r\nx\r\n" + END, "two Content-Type"),
        (b"--" + BOUNDARY + b"junk\r\n", "after a boundary delimiter"),
        (b"--" + BOUNDARY + b" " * 300 + b"\r\n", "after a boundary delimiter"),
    ],
)
def test_malformed_bodies_raise_bad_request(body, message):
    for chunks in ([body], [body[i:i + 1] for i in range(len(body))]):
        with pytest.raises(BadRequest, match=message) as info:
            parse(chunks)
        assert info.value.status == 400


@pytest.mark.parametrize(
    "limit, at_limit, past_limit",
    [
        ("max_parts", lambda n: b"".join(part_bytes(i) for i in range(n)) + END,
         lambda n: b"".join(part_bytes(i) for i in range(n + 1)) + END),
        ("max_field_size", lambda n: part_bytes(0, b"x" * n) + END, lambda n: part_bytes(0, b"x" * (n + 1)) + END),
        ("max_headers",
         lambda n: b"--" + BOUNDARY + b"\r\nContent-Disposition: form-data; name=a\r\n" + b"X: 1\r\n" * (n - 1)
         + b"\r\nv\r\n" + END,
         lambda n: b"--" + BOUNDARY + b"\r\nContent-Disposition: form-data; name=a\r\n" + b"X: 1\r\n" * n
         + b"\r\nv\r\n" + END),
        ("max_header_size",
         # The block counts every line with its CRLF and the blank line: 38 + 4 bytes besides the padding.
         lambda n: b"--" + BOUNDARY + b"\r\nContent-Disposition: form-data; name=a" + b" " * (n - 42) + b"\r\n\r\nv\r\n"
         + END,
         lambda n: b"--" + BOUNDARY + b"\r\nContent-Disposition: form-data; name=a" + b" " * (n - 41) + b"\r\n\r\nv\r\n"
         + END),
    ],
)
@pytest.mark.parametrize("how", ["per call", "default", "secure default"])
def test_limits(limit, at_limit, past_limit, how):
    value = {"max_parts": 7, "max_field_size": 100, "max_headers": 5, "max_header_size": 300}[limit]
    if how == "secure default":
        value = multipart.get_default_limits()[limit]
        assert value == {"max_parts": 1000, "max_field_size": 1 << 20, "max_headers": 32,
                         "max_header_size": 16384}[limit]
        kwargs = {}
    elif how == "default":
        multipart.set_default_limits(**{limit: value})
        kwargs = {}
    else:
        kwargs = {limit: value}
    try:
        assert parse([at_limit(value)], **kwargs)
        with pytest.raises(BadRequest, match=f"{value}.*\\({limit}\\)"):
            parse([past_limit(value)], **kwargs)
    finally:
        multipart.reset_default_limits()


def test_field_size_limit_spares_files_and_limit_arguments_are_checked():
    body = (b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="f"; filename="a"\r\n\r\n' + b"x" * 50
            + b"\r\n" + END)
    assert parse([body], max_field_size=10)[0][4] == b"x" * 50
    with pytest.raises(ValueError):
        parse([body], max_parts=-1)
    with pytest.raises(TypeError):
        parse([body], max_parts="3")
    with pytest.raises(TypeError):
        multipart.set_default_limits(max_headers=True)


@pytest.mark.parametrize(
    "content_type, expected",
    [
        (b"multipart/form-data; boundary=abc", b"abc"),
        (b'multipart/form-data; charset=utf-8; BOUNDARY="a b;c"', b"a b;c"),
        ("multipart/form-data;boundary=----WebKitFormBoundary7MA4YWxk", b"----WebKitFormBoundary7MA4YWxk"),
        (b"multipart/form-data", ValueError),
        (b"multipart/form-data; boundary=", ValueError),
        (b'multipart/form-data; boundary="unterminated', ValueError),
        (b"multipart/form-data; boundary=" + b"x" * 201, ValueError),
        (None, TypeError),
    ],
)
def test_get_boundary_from_header(content_type, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            get_boundary_from_header(content_type)
    else:
        assert get_boundary_from_header(content_type) == expected


# ---------------------------------------------------------------------------------------------
# Memory and the generators' protocol


def test_memory_stays_bounded_by_the_chunk():
    chunk = b"\r\n-" * 21845 + b"\r"  # 64 KiB of near misses, ending in a cut delimiter
    count = 300  # about 20 MB of file data

    async def body():
        yield b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="f"; filename="big"\r\n\r\n'
        for _ in range(count):
            yield chunk
        yield b"\r\n--" + BOUNDARY + b"--\r\n"

    async def main():
        total = 0
        async for part in parse_multipart_async(body(), BOUNDARY):
            async for piece in part.stream():
                total += len(piece)
        return total

    tracemalloc.start()
    try:
        total = asyncio.run(main())
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert total == len(chunk) * count
    assert peak < 1 << 20, peak


def test_stream_rules_between_parts():
    body = build([("a", None, None, b"1" * 10), ("b", None, None, b"2"), ("c", None, None, b"3")])

    async def main():
        parts = parse_multipart_async(source([body[i:i + 4] for i in range(0, len(body), 4)]), BOUNDARY)
        a = await anext(parts)
        stream = a.stream()
        assert await anext(stream) == b"1" * 2  # what the first chunk held after the headers
        b = await anext(parts)  # the rest of a is skipped
        with pytest.raises(InvalidOperation, match="moved past"):
            await anext(stream)
        assert [p async for p in b.stream()] == [b"2"]
        with pytest.raises(InvalidOperation, match="already read"):
            await anext(b.stream())
        c = await anext(parts)
        await parts.aclose()
        with pytest.raises(InvalidOperation):
            await anext(c.stream())

    asyncio.run(main())


def test_errors_of_the_body_reach_every_generator_and_close_the_source():
    closed = []

    async def broken():
        try:
            yield part_bytes(0, b"abc")[:-5]
            raise MessageAborted()
        finally:
            closed.append("source")

    async def main():
        parts = parse_multipart_async(broken(), BOUNDARY)
        part = await anext(parts)
        with pytest.raises(MessageAborted):
            async for _ in part.stream():
                pass
        with pytest.raises(MessageAborted):
            await anext(parts)

    asyncio.run(main())
    assert closed == ["source"]

    async def good():
        try:
            yield part_bytes(0) + b"--" + BOUNDARY + b"junk"
            yield END
        finally:
            closed.append("closed on parse error")

    async def bad_parse():
        with pytest.raises(BadRequest):
            async for _ in parse_multipart_async(good(), BOUNDARY):
                pass

    asyncio.run(bad_parse())
    assert closed[-1] == "closed on parse error"


def test_cancelled_while_waiting_for_the_body():
    async def main():
        gate = asyncio.Event()

        async def slow():
            yield part_bytes(0)[:-2]
            await gate.wait()
            yield b"\r\n" + END

        parts = parse_multipart_async(slow(), BOUNDARY)
        part = await anext(parts)
        stream = part.stream()
        assert await anext(stream) == b"v"  # handed out before the rest of the body came
        task = asyncio.create_task(anext(stream))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # The body's iterator was interrupted: the parse cannot go on, and says so.
        with pytest.raises(InvalidOperation, match="interrupted"):
            await anext(parts)

    asyncio.run(main())


@pytest.mark.parametrize("chunk", ["text", 12])
def test_chunks_must_be_bytes(chunk):
    with pytest.raises(TypeError):
        parse([b"--" + BOUNDARY, chunk])
    # bytearray, memoryview and None chunks are taken
    body = build([("a", None, None, b"xyz")])
    assert parse([None, bytearray(body[:5]), memoryview(body[5:])]) == [("a", None, None, None, b"xyz")]
