"""quillmoth.scribe, the response writer: the ASGI messages of a response for every kind of content,
the headers that describe the content, get_chunks and write_chunks, write_response_cookie, the
constants and native exports, and the scanning primitives carried by the module's shared object.
The coroutines run under asyncio's loop and under uvloop."""

import asyncio
import ctypes
import datetime
import importlib.util
import random

import pytest
import uvloop

from conftest import bind_export, export_signature
from quillmoth import scribe
from quillmoth.contents import Content, StreamedContent
from quillmoth.cookies import Cookie
from quillmoth.messages import Request, Response
from quillmoth.scribe import get_chunks, send_asgi_response, set_headers_for_response_content, write_chunks

SIZE = 61440


@pytest.fixture(params=["asyncio", "uvloop"])
def run(request):
    loop_factory = uvloop.new_event_loop if request.param == "uvloop" else None
    return lambda coro: asyncio.run(coro, loop_factory=loop_factory)


class Parts(Content):
    """A content whose get_parts() yields the given parts (an exception instance is raised there)."""

    def __init__(self, parts, length=-1, content_type=b"text/plain"):
        super().__init__(content_type, None)
        self.length = length
        self.parts = parts

    async def get_parts(self):
        for part in self.parts:
            await asyncio.sleep(0)
            if isinstance(part, BaseException):
                raise part
            yield part


class Send:
    """An ASGI send channel that records each message and suspends once per call; raises `fail` at
    the message numbered `fail_at`."""

    def __init__(self, fail_at=None, fail=OSError("client gone")):
        self.messages = []
        self.fail_at, self.fail = fail_at, fail

    async def __call__(self, message):
        await asyncio.sleep(0)
        if len(self.messages) == self.fail_at:
            self.messages.append("failed")
            raise self.fail
        self.messages.append(message)


def streamed(*parts, length=-1):
    async def provide():
        for part in parts:
            yield part

    return StreamedContent(b"text/plain", provide, length)


def bodies(messages):
    """Each body message as (body, more_body), more_body None when the key is absent."""
    return [(m["body"], m.get("more_body")) for m in messages[1:]]


BIG = bytes(range(256)) * 800  # 204800 bytes: three full slices and a shorter one

# content, headers added, body messages
SEQUENCES = {
    "no content": (None, [(b"content-length", b"0")], [(b"", None)]),
    "buffered": (Content(b"text/plain", b"hello"), [(b"content-type", b"text/plain"), (b"content-length", b"5")],
                 [(b"hello", False)]),
    "buffered, no type": (Content(None, b"x"), [(b"content-type", b"application/octet-stream"),
                                                (b"content-length", b"1")], [(b"x", False)]),
    "buffered, empty type": (Content(b"", b""), [(b"content-type", b"application/octet-stream"),
                                                 (b"content-length", b"0")], [(b"", False)]),
    "buffered, no bytes": (Content(b"a/b", None), [(b"content-type", b"a/b"), (b"content-length", b"0")],
                           [(b"", False)]),
    "exactly one slice": (Content(b"a/b", b"s" * SIZE), [(b"content-type", b"a/b"), (b"content-length", b"61440")],
                          [(b"s" * SIZE, False)]),
    "one byte more": (Content(b"a/b", b"s" * (SIZE + 1)), [(b"content-type", b"a/b"),
                                                           (b"content-length", b"61441")],
                      [(b"s" * SIZE, True), (b"s", True), (b"", False)]),
    "several slices": (Content(b"a/b", BIG), [(b"content-type", b"a/b"), (b"content-length", b"204800")],
                       [(BIG[i:i + SIZE], True) for i in range(0, len(BIG), SIZE)] + [(b"", False)]),
    "streamed": (streamed(b"ab", b"cd"), [(b"content-type", b"text/plain"), (b"transfer-encoding", b"chunked")],
                 [(b"ab", True), (b"cd", True), (b"", False)]),
    "streamed, empty last part": (Parts([b"ab", b""]), [(b"content-type", b"text/plain"),
                                                        (b"transfer-encoding", b"chunked")],
                                  [(b"ab", True), (b"", False)]),
    "streamed with a length": (streamed(b"abc", b"defg", length=7), [(b"content-type", b"text/plain"),
                                                                     (b"content-length", b"7")],
                               [(b"abc", True), (b"defg", True), (b"", False)]),
    # Mended: an empty or None part ends nothing; the body ends once, after the last part.
    "empty part in the middle": (Parts([b"a", b"", b"b"]), None, [(b"a", True), (b"b", True), (b"", False)]),
    "None parts": (Parts([None, b"a", None, b"b", None]), None, [(b"a", True), (b"b", True), (b"", False)]),
    "only empty parts": (Parts([b"", None, b""]), None, [(b"", False)]),
    "no parts": (Parts([]), None, [(b"", False)]),
}


@pytest.mark.parametrize("name", SEQUENCES)
def test_message_sequences(run, name):
    content, added, expected = SEQUENCES[name]
    own = [(b"x-own", b"1")]
    response = Response(201, list(own), content)
    send = Send()
    assert run(send_asgi_response(response, send)) is None
    start, *rest = send.messages
    assert list(start) == ["type", "status", "headers"]
    assert start["type"] == "http.response.start" and start["status"] == 201 and type(start["status"]) is int
    assert start["headers"] is response.headers.values  # the list itself, not a copy
    if added is not None:
        assert start["headers"] == own + added
    for message in rest:
        assert list(message) == ["type", "body", "more_body"][:len(message)]
        assert message["type"] == "http.response.body" and type(message["body"]) is bytes
    assert bodies(send.messages) == expected
    assert response.status == 201 and response.content is content  # neither reset nor released


def test_small_body_goes_out_without_copy(run):
    body = b"x" * SIZE
    send = Send()
    run(send_asgi_response(Response(200, None, Content(b"a/b", body)), send))
    assert send.messages[1]["body"] is body


def test_length_decides_slicing_and_the_body_is_cut_whatever_its_size(run):
    content = Content(b"a/b", b"abc")
    content.length = SIZE + 1
    send = Send()
    run(send_asgi_response(Response(200, None, content), send))
    assert bodies(send.messages) == [(b"abc", True), (b"", False)]
    content.body, content.length = None, SIZE + 1
    with pytest.raises(TypeError, match=r"object of type 'NoneType' has no len\(\)"):
        run(send_asgi_response(Response(200, None, content), Send()))


def test_a_replaced_get_chunks_is_used(run, monkeypatch):
    monkeypatch.setattr(scribe, "get_chunks", lambda data: iter([data[:2], b"", data[2:]]))
    send = Send()
    run(send_asgi_response(Response(200, None, Content(b"a/b", b"q" * (SIZE + 2))), send))
    assert bodies(send.messages) == [(b"qq", True), (b"", False), (b"q" * SIZE, True)]
    monkeypatch.delattr(scribe, "get_chunks")
    with pytest.raises(NameError, match="get_chunks"):
        run(send_asgi_response(Response(200, None, Content(b"a/b", b"q" * (SIZE + 2))), Send()))


@pytest.mark.parametrize("fail_at", [0, 1, 2, 3])
def test_a_failing_send_stops_at_its_message(run, fail_at):
    send = Send(fail_at)
    with pytest.raises(OSError, match="client gone"):
        run(send_asgi_response(Response(200, None, streamed(b"a", b"b")), send))
    assert len(send.messages) == fail_at + 1 and send.messages[-1] == "failed"


@pytest.mark.parametrize(
    "parts, error, text",
    [
        ([b"a", KeyError("broken source")], KeyError, "broken source"),
        ([b"a", "text"], TypeError, "Expected bytes, got str"),
        ([b"a", bytearray(b"b")], TypeError, "Expected bytes, got bytearray"),
    ],
)
def test_part_errors_propagate_after_what_was_sent(run, parts, error, text):
    send = Send()
    with pytest.raises(error, match=text):
        run(send_asgi_response(Response(200, None, Parts(parts)), send))
    assert bodies(send.messages) == [(b"a", True)]


def test_get_parts_must_be_an_async_iterable(run):
    class Sync(Content):
        def get_parts(self):
            return [b"a"]

    content = Sync(b"a/b", None)
    content.length = -1
    with pytest.raises(TypeError, match="'async for' requires an object with __aiter__ method, got list"):
        run(send_asgi_response(Response(200, None, content), Send()))


def test_a_falsy_content_counts_as_no_content(run):
    class Empty(Content):
        def __bool__(self):
            return False

    send = Send()
    run(send_asgi_response(Response(200, None, Empty(b"a/b", b"ignored")), send))
    assert send.messages[0]["headers"] == [(b"content-length", b"0")]
    assert bodies(send.messages) == [(b"", None)]


def test_responses_written_concurrently_stay_apart(run):
    async def main():
        sends = [Send() for _ in range(20)]
        await asyncio.gather(*(send_asgi_response(Response(200, None, streamed(b"%d" % i, b"!")), s)
                               for i, s in enumerate(sends)))
        return sends

    for i, send in enumerate(run(main())):
        assert bodies(send.messages) == [(b"%d" % i, True), (b"!", True), (b"", False)]


@pytest.mark.parametrize("bad", [None, Request("GET", b"/", []), object(), "response"])
def test_only_responses_are_written(run, bad):
    with pytest.raises(TypeError, match=r"Argument 'response' has incorrect type \(expected "
                                        r"quillmoth.messages.Response"):
        run(send_asgi_response(bad, Send()))
    with pytest.raises(TypeError, match=r"Argument 'message' has incorrect type"):
        set_headers_for_response_content(bad)


def test_set_headers_appends_without_deduplicating():
    response = Response(200, [(b"Content-Type", b"text/html")], Content(b"text/plain", b"hi"))
    assert set_headers_for_response_content(response) is None
    assert response.get_headers(b"content-type") == [b"text/html", b"text/plain"]
    assert response.get_first_header(b"content-length") == b"2"


# ---- get_chunks and write_chunks ---------------------------------------------------------------

@pytest.mark.parametrize("size", [0, 1, SIZE - 1, SIZE, SIZE + 1, 3 * SIZE, 3 * SIZE + 17])
def test_get_chunks_against_slicing(size):
    data = random.Random(size).randbytes(size)
    assert list(get_chunks(data)) == [data[i:i + SIZE] for i in range(0, size, SIZE)] + [b""]


def test_get_chunks_arguments():
    with pytest.raises(TypeError, match=r"Argument 'data' has incorrect type \(expected bytes, got str\)"):
        next(get_chunks("text"))
    with pytest.raises(TypeError, match="has no len"):
        next(get_chunks(None))
    assert list(get_chunks(data=b"ab")) == [b"ab", b""]


async def collect(aiterable):
    return [item async for item in aiterable]


@pytest.mark.parametrize(
    "parts, frames",
    [
        ([b"x" * 10, b"y" * 255], [b"a\r\n" + b"x" * 10 + b"\r\n", b"ff\r\n" + b"y" * 255 + b"\r\n"]),
        ([b"z" * 4096], [b"1000\r\n" + b"z" * 4096 + b"\r\n"]),
        ([], []),
        # Mended: an empty part would be framed as the terminator and end the body early.
        ([b"a", b"", None, b"b", b""], [b"1\r\na\r\n", b"1\r\nb\r\n"]),
    ],
)
def test_write_chunks_framing(run, parts, frames):
    assert run(collect(write_chunks(Parts(parts)))) == frames + [b"0\r\n\r\n"]


def test_write_chunks_errors(run):
    with pytest.raises(TypeError, match=r"Argument 'http_content' has incorrect type"):
        run(collect(write_chunks(b"body")))
    with pytest.raises(TypeError, match="Expected bytes, got int"):
        run(collect(write_chunks(Parts([b"a", 5]))))
    assert run(collect(write_chunks(Content(b"a/b", b"abc")))) == [b"3\r\nabc\r\n", b"0\r\n\r\n"]


# ---- cookies, constants and exports ------------------------------------------------------------

def test_write_response_cookie():
    cookie = Cookie("session", "abc", expires=datetime.datetime(2015, 10, 21, 7, 28))
    assert scribe.write_response_cookie(cookie) == b"session=abc; Expires=Wed, 21 Oct 2015 07:28:00 GMT"
    for bad in (None, "session=abc"):
        with pytest.raises(TypeError, match=r"Argument 'cookie' has incorrect type \(expected "
                                            r"quillmoth.cookies.Cookie"):
            scribe.write_response_cookie(bad)


def test_constants_and_export_signatures():
    assert scribe.MAX_RESPONSE_CHUNK_SIZE == scribe._MAX_RESPONSE_CHUNK_SIZE == SIZE
    assert scribe._NEW_LINES_RX.pattern == "\r\n|\n"
    assert export_signature(scribe, "set_headers_for_response_content") == b"int (ResponseObject *, int)"
    assert export_signature(scribe, "write_sse") == b"PyObject *(ServerSentEventObject *, int)"
    assert export_signature(scribe, "MAX_RESPONSE_CHUNK_SIZE") == b"int"


def test_native_send_asgi_response_makes_the_coroutine_of_the_python_call(run):
    assert export_signature(scribe, "send_asgi_response") == b"PyObject *(ResponseObject *, PyObject *, int)"
    native = bind_export(scribe, "send_asgi_response", ctypes.py_object, ctypes.py_object, ctypes.py_object,
                         ctypes.c_int)
    got = []

    async def send(message):
        got.append(message)

    coro = native(Response(200, None, Content(b"a/b", b"hi")), send, 0)
    assert type(coro) is type(send_asgi_response(Response(200), send))
    assert run(coro) is None and [m["type"] for m in got] == ["http.response.start", "http.response.body"]
    with pytest.raises(TypeError, match=r"Argument 'response' has incorrect type"):
        native("not a response", send, 0)


def test_exported_chunk_size_is_a_variable_the_writer_does_not_read(run):
    capsule = scribe.__quillmoth_api__["MAX_RESPONSE_CHUNK_SIZE"]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    variable = ctypes.c_int.from_address(get_pointer(capsule, b"int"))
    assert variable.value == SIZE
    variable.value = 10
    try:
        assert [len(c) for c in get_chunks(b"x" * (SIZE + 1))] == [SIZE, 1, 0]
    finally:
        variable.value = SIZE


def test_native_set_headers_checks_its_argument():
    native = bind_export(scribe, "set_headers_for_response_content", ctypes.c_int, ctypes.py_object, ctypes.c_int)
    response = Response(200)
    assert native(response, 0) == 0
    assert response.headers.values == [(b"content-length", b"0")]
    with pytest.raises(TypeError, match="Argument 'message'"):
        native(Request("GET", b"/", []), 0)
    null = bind_export(scribe, "set_headers_for_response_content", ctypes.c_int, ctypes.c_void_p, ctypes.c_int)
    with pytest.raises(TypeError, match="Argument 'message' has incorrect type"):
        null(None, 0)


def test_scanning_primitives_are_exported_and_match_routing():
    def load(module):
        lib = ctypes.CDLL(importlib.util.find_spec(module).origin)
        for name, res, extra in [("simd_find_crlf", ctypes.c_int64, []), ("simd_find_crlf_crlf", ctypes.c_int64, []),
                                 ("simd_find_path_separator", ctypes.c_int64, [ctypes.c_size_t]),
                                 ("simd_validate_url_ascii", ctypes.c_int, []),
                                 ("simd_fast_hash", ctypes.c_uint32, [])]:
            function = getattr(lib, name)
            function.restype, function.argtypes = res, [ctypes.c_char_p, ctypes.c_size_t, *extra]
        return lib

    ours, routing = load("quillmoth.scribe"), load("quillmoth.routing")
    rng = random.Random(7)
    for n in range(0, 300, 3):
        data = bytes(rng.choice(b"ab\r\n /?#\x7f\xaf") for _ in range(n))
        for name in ("simd_find_crlf", "simd_find_crlf_crlf", "simd_validate_url_ascii", "simd_fast_hash"):
            assert getattr(ours, name)(data, n) == getattr(routing, name)(data, n), (name, data)
        assert ours.simd_find_path_separator(data, n, n // 2) == routing.simd_find_path_separator(data, n, n // 2)
