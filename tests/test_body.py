"""Body reading on messages: read, read_raw, read_detached, detach_raw, body_buffer, text, json and
stream; Request.is_disconnected with its probe; Response.raise_for_status; _read_stream and
_call_soon. Each coroutine is native; the tests drive them under asyncio's loop and under uvloop."""

import asyncio
import gc
import inspect
import tracemalloc

import msgspec
import pytest
import uvloop

from quillmoth.contents import ASGIContent, Content, StreamedContent
from quillmoth.exceptions import BadRequestFormat, FailedRequestError
from quillmoth.messages import Message, Request, Response, _call_soon, _read_stream
from quillmoth.settings.json import json_settings


@pytest.fixture(params=["asyncio", "uvloop"])
def run(request):
    loop_factory = uvloop.new_event_loop if request.param == "uvloop" else None
    return lambda coro: asyncio.run(coro, loop_factory=loop_factory)


def message(content_type=None, body=None, headers=()):
    m = Message(list(headers))
    if body is not None:
        m.content = Content(content_type, body)
    elif content_type is not None:
        m.add_header(b"content-type", content_type)
    return m


async def collect(aiterable):
    return [item async for item in aiterable]


class Receive:
    """An ASGI receive channel: the given messages, then nothing until disconnect() (counts calls)."""

    def __init__(self, *chunks):
        self.messages = [{"type": "http.request", "body": c, "more_body": i < len(chunks) - 1}
                         for i, c in enumerate(chunks)]
        self.gone = asyncio.Event()
        self.calls = 0

    async def __call__(self):
        self.calls += 1
        if self.messages:
            return self.messages.pop(0)
        await self.gone.wait()
        return {"type": "http.disconnect"}


def asgi_request(receive):
    request = Request("POST", b"/", [(b"content-type", b"application/json")])
    request.content = ASGIContent(receive)
    return request


def test_without_content(run):
    m = Message([])

    async def main():
        return (await m.read(), await m.read_raw(), await m.read_detached(), await m.text(), await m.json(),
                await collect(m.stream()))

    assert run(main()) == (None, b"", b"", "", None, [None])
    assert m.detach_raw() == b"" and isinstance(m.body_buffer, memoryview) and bytes(m.body_buffer) == b""


@pytest.mark.parametrize(
    "content_type, body, expected",
    [
        (b"application/json", b'{"a": [1, 2.5, null]}', {"a": [1, 2.5, None]}),
        (b"application/problem+json; charset=utf-8", b"[1]", [1]),
        (b"text/plain", b'{"valid": "json"}', None),  # only a declared JSON body is parsed
        (b"application/json", b"", None),
    ],
)
def test_json_results(run, content_type, body, expected):
    assert run(message(content_type, body).json()) == expected


@pytest.mark.parametrize(
    "content_type, prefix",
    [(b"application/json", "Declared Content-Type is application/json but"),
     (b"application/JSON", "Cannot parse content as JSON")],  # "json" is looked for case-sensitively
)
def test_json_parse_failure(run, content_type, prefix):
    with pytest.raises(BadRequestFormat) as info:
        run(message(content_type, b'{"a": ').json())
    error = info.value
    assert str(error).startswith(prefix)
    assert prefix.startswith("Cannot") or str(error).endswith(" but the content cannot be parsed as JSON.")
    assert isinstance(error.source_error, msgspec.DecodeError) and error.__context__ is error.source_error


def test_json_with_loads(run):
    seen = []

    def loads(text):
        seen.append(text)
        if text == "bad":
            raise ValueError("nope")
        if text == "odd":
            raise KeyError("not a parse error")
        return {"text": text}

    latin = message(b"application/json; charset=ISO-8859-1", b"\xe9t\xe9")
    assert run(latin.json(loads=loads)) == {"text": "été"} and seen == ["été"]
    with pytest.raises(BadRequestFormat) as info:
        run(message(b"application/json", b"bad").json(loads))
    assert isinstance(info.value.source_error, ValueError)
    with pytest.raises(KeyError):
        run(message(b"application/json", b"odd").json(loads=loads))


@pytest.mark.parametrize("loads", [None, __import__("json").loads])
def test_json_nested_past_the_decoders_depth_is_a_bad_request(run, loads):
    deep = b"[" * 100_000 + b"]" * 100_000
    with pytest.raises(BadRequestFormat) as info:
        run(message(b"application/json", deep).json(loads))
    assert isinstance(info.value.source_error, RecursionError)


def test_json_uses_configured_loads(run):
    json_settings.use(loads=lambda text: ("custom", text))
    try:
        assert run(message(b"application/json", b"[1]").json()) == ("custom", "[1]")
        assert run(message(b"application/json", b"[1]").json(lambda t: "given")) == "given"
    finally:
        json_settings.reset()


@pytest.mark.parametrize(
    "content_type, body, expected",
    [
        (b"text/plain; charset=ISO-8859-1", "Gr\u00fc\u00dfe".encode("latin-1"), "Gr\u00fc\u00dfe"),
        (b"text/plain", "caf\u00e9".encode(), "caf\u00e9"),
        (b"text/plain", b"caf\xe9", "caf\u00e9"),  # not UTF-8: the configured fallback decodes it
    ],
)
def test_text(run, content_type, body, expected):
    assert run(message(content_type, body).text()) == expected


def test_read_variants_and_copies(run):
    body = b"payload"
    m = message(b"application/octet-stream", body)

    async def main():
        return await m.read(), await m.read_raw(), await m.read_detached()

    read, raw, detached = run(main())
    assert read is body and raw is body and detached == body
    assert m.detach_raw() == body and bytes(m.body_buffer) == body

    class Held(Content):
        _data = bytearray(b"held")

    m.content = Held(b"x", b"body")
    assert m.detach_raw() == b"held" and type(m.detach_raw()) is bytes


def test_subclass_overrides_are_reached(run):
    class Sub(Request):
        async def read(self):
            return b"from the subclass"

    r = Sub("POST", b"/", [(b"content-type", b"text/plain")])
    r.content = Content(b"text/plain", b"ignored")
    assert run(r.text()) == "from the subclass"


def test_stream_passes_chunks_and_closes_what_it_iterates(run):
    closed = []

    async def provider():
        try:
            for chunk in (b"a", b"b", b"c"):
                yield chunk
        finally:
            closed.append(True)

    m = Message([])
    m.content = StreamedContent(b"text/plain", provider)
    assert run(collect(m.stream())) == [b"a", b"b", b"c"]

    async def first_then_close():
        stream = m.stream()
        first = await anext(stream)
        await stream.aclose()
        return first

    closed.clear()
    assert run(first_then_close()) == b"a" and closed == [True]


def test_read_stream_drains(run):
    receive = Receive(b"ab", b"cd")
    assert run(_read_stream(asgi_request(receive))) is None
    assert receive.calls == 2


def test_call_soon(run):
    async def waits(future):
        try:
            await future
        finally:
            log.append("finished")

    log = []

    async def main():
        at_once = await _call_soon(asyncio.sleep(0, "never"))  # sleep(0) waits one turn
        value = await _call_soon(_read_stream(message(b"a/b", b"x")))
        pending = await _call_soon(waits(asyncio.get_running_loop().create_future()))
        return at_once, value, pending

    assert run(main()) == (None, None, None) and log == ["finished"]


def test_call_soon_lets_the_callers_own_cancellation_through(run):
    async def wait(future):
        return await future

    async def main():
        loop = asyncio.get_running_loop()
        task = asyncio.create_task(_call_soon(wait(loop.create_future())))
        await asyncio.sleep(0)  # the probe's task started and is waiting
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task.cancelled()

    assert run(main()) is True


def test_is_disconnected_keeps_the_body_and_sees_a_late_disconnect(run):
    receive = Receive(b'{"a"', b": 1}")

    async def main():
        request = asgi_request(receive)
        first = await request.is_disconnected()  # drains the body, keeping it
        body = await request.json()
        second = await request.is_disconnected()  # body complete: asks the channel again
        receive.gone.set()
        await asyncio.sleep(0)
        third = await request.is_disconnected()
        calls = receive.calls
        fourth = await request.is_disconnected()  # known: the channel is not asked
        return first, body, second, third, fourth, receive.calls - calls, request._is_disconnected

    assert run(main()) == (False, {"a": 1}, False, True, True, 0, True)


def test_is_disconnected_needs_asgi_content(run):
    request = Request("GET", b"/", [])
    request.content = Content(b"a", b"b")
    with pytest.raises(TypeError, match="^This method is only supported when a request is bound to an instance"):
        run(request.is_disconnected())
    assert request._is_disconnected is None


@pytest.mark.parametrize("status, raises", [(200, False), (299, False), (199, True), (300, True), (404, True)])
def test_raise_for_status(run, status, raises):
    response = Response(status, None, Content(b"text/plain", b"the body"))
    if not raises:
        assert run(response.raise_for_status()) is None
        return
    with pytest.raises(FailedRequestError) as info:
        run(response.raise_for_status())
    assert info.value.status == status and info.value.data == "the body"


def test_coroutine_members_look_like_coroutine_functions():
    request = Request("GET", b"/", [])
    for member in (Message.read, Message.json, request.text, Request.is_disconnected, Response.raise_for_status,
                   _read_stream, _call_soon):
        assert inspect.iscoroutinefunction(member), member
    assert inspect.isasyncgenfunction(Message.stream)
    assert list(inspect.signature(Message.json).parameters) == ["self", "loads"]
    assert list(inspect.signature(request.json).parameters) == ["loads"]
    with pytest.raises(TypeError):
        Message.json(object())


def test_body_operations_do_not_leak():
    m = message(b"application/json", b'{"a": [1, 2, 3]}')
    bad = message(b"application/json", b"{")

    async def rounds():
        for _ in range(2000):
            await m.json()
            await m.text()
            await m.read_detached()
            await collect(m.stream())
            try:
                await bad.json()
            except BadRequestFormat:
                pass

    asyncio.run(rounds())
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        asyncio.run(rounds())
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, grown
