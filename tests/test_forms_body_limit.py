"""The bound on an incoming request body (ASGIContent's max_body_size): every way of reading stops at
the chunk that passes it with PayloadTooLarge (413), a declared length above it is refused before
anything is received, and the exception itself."""

import asyncio
import pickle

import pytest

from quillmoth.contents import DEFAULT_MAX_BODY_SIZE, ASGIContent
from quillmoth.exceptions import HTTPException, PayloadTooLarge
from quillmoth.messages import Request


class Receive:
    def __init__(self, chunks):
        self.chunks = list(chunks)
        self.calls = 0

    async def __call__(self):
        self.calls += 1
        chunk = self.chunks.pop(0)
        return {"type": "http.request", "body": chunk, "more_body": bool(self.chunks)}


BOUNDARY = b"limitBoundary"


def body_of(kind, size):
    """A body of exactly `size` bytes that the reader `kind` accepts."""
    if kind == "urlencoded":
        return b"a=" + b"x" * (size - 2)
    if kind == "json":
        return b'"' + b"x" * (size - 2) + b'"'
    if kind == "multipart":
        head = b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="f"; filename="f"\r\n\r\n'
        tail = b"\r\n--" + BOUNDARY + b"--\r\n"
        return head + b"x" * (size - len(head) - len(tail)) + tail
    return b"x" * size


CONTENT_TYPES = {"urlencoded": b"application/x-www-form-urlencoded", "json": b"application/json",
                 "multipart": b"multipart/form-data; boundary=" + BOUNDARY}

READERS = {
    "read": lambda r: r.read(),
    "text": lambda r: r.text(),
    "json": lambda r: r.json(),
    "stream": lambda r: collect(r.stream()),
    "urlencoded": lambda r: r.form(),
    "multipart": lambda r: r.form(),
    "probe": lambda r: r.content._probe_disconnect(),
}


async def collect(aiterable):
    return [chunk async for chunk in aiterable]


def request(kind, body, limit, chunk=100, content_length=None):
    r = Request("POST", b"/", [(b"content-type", CONTENT_TYPES.get(kind, b"application/octet-stream"))])
    receive = Receive([body[i:i + chunk] for i in range(0, len(body), chunk)])
    r.content = ASGIContent(receive, limit, content_length)
    return r, receive


@pytest.mark.parametrize("kind", list(READERS))
def test_reading_stops_at_the_chunk_past_the_limit(kind):
    limit = 1000
    r, receive = request(kind, body_of(kind, 2000), limit)
    with pytest.raises(PayloadTooLarge) as info:
        asyncio.run(READERS[kind](r))
    assert info.value.status == 413 and str(info.value) == "The request body exceeds the maximum size of 1000 bytes."
    assert receive.calls == 11  # the eleventh chunk of 100 bytes passed the limit
    # Every later read refuses at once.
    with pytest.raises(PayloadTooLarge):
        asyncio.run(r.read())
    assert receive.calls == 11
    assert r.content._pending == []


@pytest.mark.parametrize("kind", [k for k in READERS if k != "probe"])
def test_a_body_at_the_limit_is_read(kind):
    r, _ = request(kind, body_of(kind, 1000), 1000)
    assert asyncio.run(READERS[kind](r)) is not None
    r, _ = request(kind, body_of(kind, 5000), None)
    assert asyncio.run(READERS[kind](r)) is not None


@pytest.mark.parametrize(
    "content_length, refused",
    [(1001, True), (b"1001", True), ("99999999999999999999999", True), (1000, False), (b" 10 ", False),
     (b"abc", False), ("\u00b2", False), (None, False)],
)
def test_declared_length_above_the_limit_is_refused_before_reading(content_length, refused):
    r, receive = request("read", b"x" * 10, 1000, content_length=content_length)
    if refused:
        with pytest.raises(PayloadTooLarge):
            asyncio.run(r.read())
        assert receive.calls == 0
    else:
        assert asyncio.run(r.read()) == b"x" * 10


@pytest.mark.parametrize("limit, error", [(-1, ValueError), ("10", ValueError), (True, ValueError), (1.5, ValueError)])
def test_limit_argument_is_checked(limit, error):
    with pytest.raises(error):
        ASGIContent(Receive([]), limit)
    with pytest.raises(TypeError):
        ASGIContent(Receive([]), 10, 3.5)


def test_default_limit_and_the_exception():
    assert ASGIContent(Receive([])).max_body_size == DEFAULT_MAX_BODY_SIZE == 10 * 1024 * 1024
    exc = PayloadTooLarge(5)
    assert isinstance(exc, HTTPException) and exc.status == 413 and exc.max_body_size == 5
    again = pickle.loads(pickle.dumps(exc))
    assert (type(again), again.status, str(again), again.max_body_size) == (PayloadTooLarge, 413, str(exc), 5)
    assert str(PayloadTooLarge()) == "The request body is too large."
