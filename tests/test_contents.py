"""Content classes: the native Content/ServerSentEvent layouts and operation tables, the Python
subclasses, form parts and the URL-encoded form parser."""

import asyncio
import ctypes
import email.parser
import gc
import io
import pickle
import sys
import tracemalloc
import weakref
from urllib.parse import parse_qsl

import msgspec
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillmoth.contents as contents
from conftest import bind_export, examples, export_signature
from quillmoth.contents import (
    ASGIContent,
    Content,
    FileBuffer,
    FormContent,
    FormPart,
    HTMLContent,
    JSONContent,
    MultiPartFormData,
    ServerSentEvent,
    StreamedContent,
    StreamedFormPart,
    TextContent,
    TextServerSentEvent,
    parse_www_form_urlencoded,
    simplify_multipart_data,
)
from quillmoth.exceptions import InvalidOperation, MessageAborted, PayloadTooLarge
from quillmoth.settings.json import json_settings

PTR = ctypes.sizeof(ctypes.c_void_p)
HEAD = object.__basicsize__
# An entry of an operation table: PyObject *(self, int skip_dispatch), new reference or error.
NATIVE_OP = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int)


def run(coro):
    return asyncio.run(coro)


async def collect(aiterable):
    return [chunk async for chunk in aiterable]


def read_pointer(obj, offset):
    return ctypes.c_void_p.from_address(id(obj) + offset).value


def call_native_op(obj, index=0):
    """Calls entry `index` of the object's operation table the way a sibling module does."""
    table = read_pointer(obj, HEAD)
    entry = ctypes.c_void_p.from_address(table + index * PTR).value
    return NATIVE_OP(entry)(obj, 0)


def assert_no_leak(operation, rounds=6000, limit=64 * 1024):
    """Runs `operation` many times and checks that the traced memory does not grow with it (a leak of
    one small object per call passes the limit; the interpreter's own caches, which vary by some tens
    of kilobytes under a sanitizer's allocator, do not). The
    warm-up runs under tracing too, so that one-time allocations (caches filled on first use)
    are not mistaken for a leak."""
    tracemalloc.start()
    try:
        for _ in range(500):
            operation()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            operation()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < limit, f"memory grew by {grown} bytes over {rounds} calls"


# ---------------------------------------------------------------------------------------------
# Content


def test_content_fields_and_native_layout():
    content = Content(b"text/plain", b"hello")
    assert (content.type, content.body, content.length) == (b"text/plain", b"hello", 5)
    # Siblings read the fields at fixed offsets after the operation table pointer.
    assert read_pointer(content, HEAD + PTR) == id(content.type)
    assert read_pointer(content, HEAD + 2 * PTR) == id(content.body)
    assert ctypes.c_int64.from_address(id(content) + HEAD + 3 * PTR).value == 5
    assert Content.__basicsize__ == HEAD + 4 * PTR


def test_content_without_data_has_no_body():
    content = Content(None, None)
    assert (content.type, content.body, content.length) == (None, None, 0)
    assert run(content.read()) is None
    assert run(collect(content.stream())) == []
    assert bytes(content.body_buffer) == b""


@pytest.mark.parametrize(
    "args, message",
    [
        (("text/plain", b"x"), "Argument 'content_type' has incorrect type (expected bytes, got str)"),
        ((b"text/plain", "x"), "Argument 'data' has incorrect type (expected bytes, got str)"),
        ((b"text/plain", bytearray(b"x")), "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
        ((b"text/plain",), "Content() takes exactly 2 positional arguments (1 given)"),
        ((b"a", b"b", b"c"), "Content() takes exactly 2 positional arguments (3 given)"),
    ],
)
def test_content_constructor_rejects_wrong_arguments(args, message):
    with pytest.raises(TypeError) as info:
        Content(*args)
    assert str(info.value) == message


def test_content_keyword_arguments():
    content = Content(data=b"abc", content_type=b"x/y")
    assert (content.type, content.body, content.length) == (b"x/y", b"abc", 3)


@pytest.mark.parametrize(
    "field, value, error, message",
    [
        ("type", "text/plain", TypeError, "Expected bytes, got str"),
        ("body", memoryview(b"x"), TypeError, "Expected bytes, got memoryview"),
        ("length", "5", TypeError, None),
        ("length", 2**63, OverflowError, None),
    ],
)
def test_content_field_setters_check_types(field, value, error, message):
    content = Content(b"a", b"b")
    with pytest.raises(error) as info:
        setattr(content, field, value)
    if message:
        assert str(info.value) == message
    assert (content.type, content.body, content.length) == (b"a", b"b", 1)


def test_content_field_deletion():
    content = Content(b"a", b"b")
    del content.type
    del content.body
    assert content.type is None and content.body is None
    with pytest.raises(NotImplementedError, match="__del__"):
        del content.length
    content.length = -1
    assert content.length == -1


def test_content_read_stream_and_parts_give_the_body():
    content = Content(b"application/octet-stream", b"\x00payload")
    awaitable = content.read()
    assert run(_await_twice(awaitable)) == (b"\x00payload", b"\x00payload")
    assert run(collect(content.stream())) == [b"\x00payload"]
    assert run(collect(content.get_parts())) == [b"\x00payload"]
    view = content.body_buffer
    assert isinstance(view, memoryview) and view.readonly and bytes(view) == b"\x00payload"


async def _await_twice(awaitable):
    return (await awaitable, await awaitable)


def test_read_result_works_with_asyncio_machinery():
    content = Content(b"a", b"body")

    async def main():
        done = await asyncio.gather(content.read(), asyncio.ensure_future(content.read()))
        return done, await asyncio.wait_for(content.read(), 1)

    assert run(main()) == ([b"body", b"body"], b"body")


def test_content_dispose_is_harmless_twice():
    content = Content(b"a", b"b")
    assert content.dispose() is None
    assert content.dispose() is None
    assert call_native_op(content) is None
    with pytest.raises(TypeError):
        content.dispose(1)


def test_native_dispose_reaches_python_override():
    calls = []

    class Tracked(Content):
        def dispose(self):
            calls.append(self)
            return "overridden"

    content = Tracked(b"a", b"b")
    assert call_native_op(content) == "overridden"
    assert calls == [content]


def test_native_dispose_sees_override_added_after_first_call():
    class Late(Content):
        pass

    content = Late(b"a", b"b")
    assert call_native_op(content) is None  # native path, remembered for this class
    Late.dispose = lambda self: "late"
    assert call_native_op(content) == "late"
    del Late.dispose
    assert call_native_op(content) is None


def test_native_dispose_propagates_override_error():
    class Failing(Content):
        def dispose(self):
            raise RuntimeError("dispose failed")

    with pytest.raises(RuntimeError, match="dispose failed"):
        call_native_op(Failing(b"a", b"b"))


def test_python_subclass_calling_super_dispose():
    class Counting(Content):
        count = 0

        def dispose(self):
            Counting.count += 1
            return super().dispose()

    content = Counting(b"a", b"b")
    assert call_native_op(content) is None
    assert Counting.count == 1


@pytest.mark.parametrize(
    "factory",
    [
        lambda: Content(b"text/plain", b"x"),
        lambda: Content(None, None),
        lambda: TextContent("h\u00e9llo"),
        lambda: JSONContent({"a": 1}),
    ],
    ids=["content", "empty", "text", "json"],
)
def test_content_pickles(factory):
    content = factory()
    content.length = 42  # carried as it is, not recomputed from the body
    if type(content) is not Content:
        content.extra = "kept"
    copy = pickle.loads(pickle.dumps(content))
    assert type(copy) is type(content)
    assert (copy.type, copy.body, copy.length) == (content.type, content.body, 42)
    assert getattr(copy, "extra", None) == getattr(content, "extra", None)


def test_content_setattr_only_on_subclasses():
    with pytest.raises(AttributeError):
        Content(b"a", b"b").anything = 1


def test_content_operations_do_not_leak():
    body = b"x" * 100
    content = Content(b"text/plain", body)

    def operations():
        Content(b"text/plain", body)
        content.body_buffer.release()
        run_ready(content.read())
        run_ready(content.dispose())
        for bad in (("x", body), (b"x", 1), (b"x",)):
            try:
                Content(*bad)
            except TypeError:
                pass
        try:
            content.type = "bad"
        except TypeError:
            pass
        pickle.loads(pickle.dumps(content))

    before = sys.getrefcount(body)
    assert_no_leak(operations)
    assert sys.getrefcount(body) == before


def run_ready(awaitable):
    """Drives an awaitable that completes without suspending, without an event loop."""
    if awaitable is None:
        return None
    iterator = awaitable.__await__()
    try:
        next(iterator)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the awaitable suspended")


def test_read_awaitable_generator_protocol():
    awaitable = Content(b"a", b"v").read()
    assert awaitable.__await__() is awaitable
    with pytest.raises(StopIteration) as info:
        awaitable.send(None)
    assert info.value.value == b"v"
    with pytest.raises(KeyError):
        awaitable.throw(KeyError("k"))
    with pytest.raises(ValueError):
        awaitable.throw(ValueError)
    assert awaitable.close() is None


# ---------------------------------------------------------------------------------------------
# StreamedContent


def chunks_provider(*chunks):
    calls = []

    def provider():
        calls.append(1)

        async def gen():
            for chunk in chunks:
                yield chunk

        return gen()

    provider.calls = calls
    return provider


def test_streamed_content_yields_provider_chunks_each_time():
    provider = chunks_provider(b"ab", b"cd")
    content = StreamedContent(b"text/plain", provider)
    assert content.length == -1 and content.body is None
    assert run(collect(content.get_parts())) == [b"ab", b"cd"]
    assert run(collect(content.stream())) == [b"ab", b"cd"]
    assert run(content.read()) == b"abcd"
    assert len(provider.calls) == 3
    assert isinstance(content, Content)


def test_streamed_content_leaves_out_empty_chunks():
    # An empty part would end the response body early: only non-empty chunks go out.
    content = StreamedContent(b"x", chunks_provider(b"a", b"", None, b"b", b""))
    assert run(collect(content.get_parts())) == [b"a", b"b"]


def test_streamed_content_with_known_length_and_dispose():
    content = StreamedContent(b"x", chunks_provider(b"abc"), 3)
    assert content.length == 3
    content.dispose()
    content.dispose()
    with pytest.raises(InvalidOperation):
        run(collect(content.get_parts()))


def test_streamed_content_rejects_a_non_callable_provider():
    with pytest.raises(TypeError):
        StreamedContent(b"x", [b"a"])


def test_streamed_content_dispose_through_native_table():
    content = StreamedContent(b"x", chunks_provider(b"abc"))
    assert call_native_op(content) is None
    with pytest.raises(InvalidOperation):
        run(content.read())


# ---------------------------------------------------------------------------------------------
# ASGIContent


class FakeReceive:
    """An ASGI receive channel: hands out the queued messages, then waits until `disconnect()`."""

    def __init__(self, *messages):
        self.messages = list(messages)
        self.calls = 0
        self.gone = None

    def disconnect(self):
        self.messages.append({"type": "http.disconnect"})
        if self.gone is not None and not self.gone.done():
            self.gone.set_result(None)

    async def __call__(self):
        self.calls += 1
        if not self.messages:
            self.gone = asyncio.get_running_loop().create_future()
            await self.gone
        return self.messages.pop(0)


def body_messages(*chunks):
    return [
        {"type": "http.request", "body": chunk, "more_body": index < len(chunks) - 1}
        for index, chunk in enumerate(chunks)
    ]


def test_asgi_content_read_keeps_the_body():
    receive = FakeReceive(*body_messages(b"ab", b"", b"cd"))
    content = ASGIContent(receive)
    assert content.length == -1 and content.type is None

    async def main():
        first = await content.read()
        second = await content.read()
        streamed = await collect(content.stream())
        return first, second, streamed

    assert run(main()) == (b"abcd", b"abcd", [b"abcd"])
    assert receive.calls == 3
    assert content.body == b"abcd" and bytes(content.body_buffer) == b"abcd"


def test_asgi_content_message_without_body_keys():
    content = ASGIContent(FakeReceive({"type": "http.request"}))
    assert run(content.read()) == b""


def test_asgi_content_stream_passes_chunks_through():
    content = ASGIContent(FakeReceive(*body_messages(b"a", b"b", b"")))
    assert run(collect(content.stream())) == [b"a", b"b"]
    assert content.body is None


def test_asgi_content_read_after_stream_refuses_instead_of_truncating():
    content = ASGIContent(FakeReceive(*body_messages(b"a", b"b")))

    async def main():
        stream = content.stream()
        assert await stream.__anext__() == b"a"
        await stream.aclose()
        await content.read()

    with pytest.raises(InvalidOperation):
        run(main())


@pytest.mark.parametrize("method", ["read", "stream"])
def test_asgi_content_disconnect_raises_message_aborted(method):
    receive = FakeReceive(body_messages(b"a", b"b")[0], {"type": "http.disconnect"})
    content = ASGIContent(receive)

    async def consume():
        if method == "read":
            return await content.read()
        return await collect(content.stream())

    with pytest.raises(MessageAborted):
        run(consume())
    calls = receive.calls
    # Once the client is known to be gone, the channel is not asked again.
    with pytest.raises(MessageAborted):
        run(consume())
    assert receive.calls == calls


def test_asgi_content_interrupted_read_resumes():
    receive = FakeReceive(body_messages(b"ab", b"cd")[0])
    content = ASGIContent(receive)

    async def main():
        task = asyncio.create_task(content.read())
        await asyncio.sleep(0.01)  # the first chunk arrived, the task waits for the next one
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        receive.messages.append(body_messages(b"ab", b"cd")[1])
        return await content.read()

    assert run(main()) == b"abcd"


def test_asgi_content_probe_after_complete_body_waits_for_disconnect():
    # A non-blocking probe drains the stream; once the body is complete the stream waits on the
    # channel, which answers only when the client goes away.
    receive = FakeReceive({"type": "http.request", "body": b"", "more_body": False})
    content = ASGIContent(receive)

    async def probe():
        task = asyncio.create_task(collect(content.stream()))
        asyncio.get_running_loop().call_soon(task.cancel)
        try:
            await task
        except asyncio.CancelledError:
            return "waiting"
        return "done"

    async def main():
        results = [await probe(), await probe()]
        receive.disconnect()
        try:
            await probe()
        except MessageAborted:
            results.append("aborted")
        return results

    assert run(main()) == ["done", "waiting", "aborted"]


def test_asgi_content_dispose_drops_channel_and_body():
    content = ASGIContent(FakeReceive(*body_messages(b"abc")))
    assert run(content.read()) == b"abc"
    assert call_native_op(content) is None
    content.dispose()
    assert content.body is None and content._receive is None
    with pytest.raises(InvalidOperation):
        run(content.read())
    with pytest.raises(InvalidOperation):
        run(collect(content.stream()))


def test_asgi_content_rejects_non_callable_receive():
    with pytest.raises(TypeError):
        ASGIContent(None)


def test_asgi_content_stream_after_a_probe_ends_with_the_kept_chunks():
    # The probe kept the whole body: a stream hands it out and ends, without waiting on the
    # channel (which answers only when the client goes). A second stream, nothing kept any more,
    # does wait (the drain used as a probe).
    receive = FakeReceive(*body_messages(b"ab", b"cd"))
    content = ASGIContent(receive)

    async def main():
        probe = asyncio.create_task(content._probe_disconnect())
        await asyncio.sleep(0.01)
        probe.cancel()
        streamed = await asyncio.wait_for(collect(content.stream()), 1)
        with pytest.raises(InvalidOperation, match="consumed as a stream"):
            await content.read()
        again = asyncio.create_task(collect(content.stream()))
        await asyncio.sleep(0.01)
        waiting = not again.done()
        receive.disconnect()
        with pytest.raises(MessageAborted):
            await again
        return streamed, waiting

    assert run(main()) == ([b"ab", b"cd"], True)


@pytest.mark.parametrize("after", [{"type": "http.request", "body": b"x"}, {"type": "other"}])
def test_asgi_content_probe_ends_when_the_channel_answers_other_than_a_disconnect(after):
    # Once the body is complete only a disconnect should come; a channel that answers at once with
    # anything else cannot tell when the client leaves, and the probe must not spin on it.
    content = ASGIContent(FakeReceive(*body_messages(b"ab", b"cd"), after))

    async def main():
        return await asyncio.wait_for(content._probe_disconnect(), 1), await content.read()

    assert run(main()) == (None, b"abcd")


class MappingMessage:
    """A message that is not a dict: read through its get()."""

    def __init__(self, **items):
        self.items = items

    def get(self, key, default=None):
        return self.items.get(key, default)


def test_asgi_content_reads_any_mapping_and_skips_other_messages():
    receive = FakeReceive({"type": "http.other"}, MappingMessage(type="http.request", body=b"ab", more_body=True),
                          {"type": "lifespan.whatever", "body": b"ignored"}, MappingMessage(type="http.request", body=b"c"))
    content = ASGIContent(receive, 3)
    assert run(content.read()) == b"abc" and receive.calls == 4


def test_asgi_content_arguments_and_attributes():
    content = ASGIContent(FakeReceive(), None, 3.5)  # without a bound the declared length is not looked at
    assert content.max_body_size is None and content._pending == []
    content.max_body_size = 2**70
    assert content.max_body_size == 2**70
    for bad in (-1, True, 2.0, "10"):
        with pytest.raises(ValueError, match="non-negative int or None"):
            content.max_body_size = bad
    assert content.max_body_size == 2**70
    # A declared length is stripped of surrounding whitespace, str and bytes alike.
    for declared, refused in ((" 11\t", True), ("\u2003 11", True), (b"\x0b11 ", True), (b"10", False), (-5, False)):
        got = ASGIContent(FakeReceive(*body_messages(b"x")), 10, declared)
        if refused:
            with pytest.raises(PayloadTooLarge):
                run(got.read())
        else:
            assert run(got.read()) == b"x"
    with pytest.raises(TypeError, match="content_length must be an int, bytes, str or None, not bool"):
        ASGIContent(FakeReceive(), 10, True)
    with pytest.raises(TypeError, match="takes at most 3 positional arguments"):
        ASGIContent(FakeReceive(), 10, None, 1)


# ---------------------------------------------------------------------------------------------
# The native subclasses of Content: classes and instances


NATIVE_SUBCLASSES = [
    (TextContent, ("x",)),
    (HTMLContent, ("x",)),
    (JSONContent, ({"a": 1},)),
    (ASGIContent, (FakeReceive(),)),
]


@pytest.mark.parametrize("cls, args", NATIVE_SUBCLASSES, ids=lambda v: getattr(v, "__name__", ""))
def test_native_subclasses_are_immutable_open_to_subclasses_and_hold_attributes(cls, args):
    assert cls.__module__ == "quillmoth.contents" and issubclass(cls, Content)
    with pytest.raises(TypeError):
        cls.read = None
    content = cls(*args)
    content.extra = [content]  # an instance dictionary, and a cycle through it
    ref = weakref.ref(content)
    del content
    gc.collect()
    assert ref() is None

    class Sub(cls):
        def __init__(self, *given):
            super().__init__(*given)
            self.seen = True

    sub = Sub(*args)
    assert sub.seen and isinstance(sub.length, int) and type(sub).__mro__[1] is cls


def test_native_subclasses_reinitialized_start_over():
    content = TextContent("first")
    TextContent.__init__(content, "second")
    assert (content.body, content.length) == (b"second", 6)
    asgi = ASGIContent(FakeReceive(*body_messages(b"abc")), 2)
    with pytest.raises(PayloadTooLarge):
        run(asgi.read())
    ASGIContent.__init__(asgi, FakeReceive(*body_messages(b"abc")), None)
    assert run(asgi.read()) == b"abc"


class TextLike(str):
    def encode(self, encoding="utf-8", errors="strict"):
        return b"encoded by the subclass"


@pytest.mark.parametrize(
    "make, body",
    [
        (lambda: TextContent(TextLike("x")), b"encoded by the subclass"),
        (lambda: JSONContent(1, dumps=lambda v: bytearray(b"[1]")), b"[1]"),
        (lambda: JSONContent(1, dumps=lambda v: memoryview(b"[2]")), b"[2]"),
        (lambda: JSONContent(data=1, dumps=None), b"1"),
    ],
)
def test_buffered_contents_from_other_types(make, body):
    assert make().body == body


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: JSONContent(1, dumps=lambda v: 5), "Expected str or bytes, got int"),
        (lambda: JSONContent(1, dumps=lambda v: type("B", (bytes,), {})(b"x")),
         "Argument 'data' has incorrect type (expected bytes, got B)"),
        (lambda: TextContent(), "TextContent() takes exactly 1 positional argument (0 given)"),
        (lambda: HTMLContent(text="x"), "HTMLContent() got an unexpected keyword argument 'text'"),
    ],
)
def test_buffered_contents_refuse(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


def test_native_contents_do_not_leak():
    receive = FakeReceive()

    def operations():
        TextContent("hello")
        JSONContent([1, 2])
        content = ASGIContent(receive, 100, b"12")
        content.dispose()
        receive.messages[:] = body_messages(b"ab", b"c")
        content = ASGIContent(receive)
        run_until_done(content.read())
        run_until_done(collect(content.stream()))
        try:
            ASGIContent(receive, -1)
        except ValueError:
            pass

    assert_no_leak(operations, rounds=3000)


def run_until_done(coro):
    """Drives a coroutine that never has to wait, without an event loop."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine waited")


# ---------------------------------------------------------------------------------------------
# Text, HTML, JSON and form contents


@pytest.mark.parametrize(
    "content, media_type, body",
    [
        (TextContent("héllo"), b"text/plain; charset=utf-8", "héllo".encode()),
        (TextContent(""), b"text/plain; charset=utf-8", b""),
        (HTMLContent("<p>ü</p>"), b"text/html; charset=utf-8", "<p>ü</p>".encode()),
        (JSONContent({"a": [1, "é"]}), b"application/json", msgspec.json.encode({"a": [1, "é"]})),
        (JSONContent([1], dumps=lambda v: '["custom"]'), b"application/json", b'["custom"]'),
        (JSONContent(None, dumps=lambda v: b"null"), b"application/json", b"null"),
        (FormContent({"a": "1 2", "b": ["x", "y"]}), b"application/x-www-form-urlencoded", b"a=1+2&b=x&b=y"),
        (FormContent([("k", "é"), ("k", "&")]), b"application/x-www-form-urlencoded", b"k=%C3%A9&k=%26"),
    ],
)
def test_buffered_contents(content, media_type, body):
    assert (content.type, content.body, content.length) == (media_type, body, len(body))
    assert run(content.read()) == body


@pytest.mark.parametrize("cls, arg", [(TextContent, b"bytes"), (HTMLContent, 1), (TextContent, None)])
def test_text_contents_reject_non_str(cls, arg):
    with pytest.raises(TypeError, match="incorrect type"):
        cls(arg)


def test_json_content_follows_configured_dumps():
    json_settings.use(dumps=lambda value: "configured")
    try:
        assert JSONContent({"a": 1}).body == b"configured"
    finally:
        json_settings.reset()
    assert JSONContent({"a": 1}).body == b'{"a":1}'


def test_form_content_round_trips_through_the_parser():
    content = FormContent({"name": "a&b=c", "tags": ["x y", "z"]})
    assert parse_www_form_urlencoded(content.body) == {"name": "a&b=c", "tags": ["x y", "z"]}


# ---------------------------------------------------------------------------------------------
# ServerSentEvent


def test_server_sent_event_fields_and_native_layout():
    event = ServerSentEvent({"x": 1}, event="tick", id="7", retry=1500, comment="note")
    assert (event.data, event.event, event.id, event.retry, event.comment) == ({"x": 1}, "tick", "7", 1500, "note")
    assert read_pointer(event, HEAD + PTR) == id(event.data)
    assert read_pointer(event, HEAD + 2 * PTR) == id(event.event)
    assert read_pointer(event, HEAD + 3 * PTR) == id(event.id)
    assert ctypes.c_int32.from_address(id(event) + HEAD + 4 * PTR).value == 1500
    assert read_pointer(event, HEAD + 5 * PTR) == id(event.comment)


def test_server_sent_event_defaults():
    event = ServerSentEvent("data")
    assert (event.event, event.id, event.retry, event.comment) == (None, None, -1, None)
    assert TextServerSentEvent("x").retry == -1


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"event": 1}, TypeError, "Argument 'event' has incorrect type (expected str, got int)"),
        ({"id": b"1"}, TypeError, "Argument 'id' has incorrect type (expected str, got bytes)"),
        ({"comment": ["c"]}, TypeError, "Argument 'comment' has incorrect type (expected str, got list)"),
        ({"retry": 2**31}, OverflowError, "value too large to convert to int"),
        ({"retry": "1"}, TypeError, None),
        ({"unknown": 1}, TypeError, "ServerSentEvent() got an unexpected keyword argument 'unknown'"),
    ],
)
def test_server_sent_event_constructor_checks(kwargs, error, message):
    with pytest.raises(error) as info:
        ServerSentEvent("d", **kwargs)
    if message:
        assert str(info.value) == message


def test_server_sent_event_requires_data():
    with pytest.raises(TypeError, match=r"ServerSentEvent\(\) takes at least 1 positional argument \(0 given\)"):
        ServerSentEvent()


@pytest.mark.parametrize(
    "field, value, message",
    [("event", 1, "Expected str, got int"), ("id", 2.0, "Expected str, got float"), ("comment", b"", "Expected str, got bytes")],
)
def test_server_sent_event_setters_check_types(field, value, message):
    event = ServerSentEvent("d")
    with pytest.raises(TypeError, match=message):
        setattr(event, field, value)
    setattr(event, field, "ok")
    assert getattr(event, field) == "ok"
    delattr(event, field)
    assert getattr(event, field) is None


@pytest.mark.parametrize(
    "data, expected",
    [
        ({"a": [1, 2]}, '{"a":[1,2]}'),
        ("line\nbreak", '"line\\nbreak"'),  # escaped by JSON, stays on one line
        (1, "1"),
    ],
)
def test_server_sent_event_write_data_is_json(data, expected):
    event = ServerSentEvent(data)
    assert event.write_data() == expected
    assert call_native_op(event) == expected


def test_server_sent_event_multiline_json_is_continued():
    json_settings.use(dumps=lambda value: '{\n  "a": 1\r\n}')
    try:
        assert ServerSentEvent({"a": 1}).write_data() == '{\ndata:   "a": 1\ndata: }'
    finally:
        json_settings.reset()


def test_server_sent_event_dumps_returning_bytes_or_other():
    json_settings.use(dumps=lambda value: b'{"b":2}')
    try:
        assert ServerSentEvent({}).write_data() == '{"b":2}'
        json_settings.use(dumps=lambda value: 12)
        with pytest.raises(TypeError, match="Expected str, got int"):
            ServerSentEvent({}).write_data()
    finally:
        json_settings.reset()


def test_server_sent_event_data_replaced_while_being_encoded():
    # The encoder may call back into Python (an enc_hook) while it walks the data; replacing the
    # event's data there must not free the value that is still being encoded.
    class Opaque:
        pass

    event = ServerSentEvent([Opaque(), [1, 2, 3], "tail"])

    def hook(value):
        event.data = None
        return "opaque"

    json_settings.use(dumps=msgspec.json.Encoder(enc_hook=hook).encode)
    try:
        assert event.write_data() == '["opaque",[1,2,3],"tail"]'
    finally:
        json_settings.reset()
    assert event.data is None


def test_server_sent_event_repr_survives_fields_replaced_by_the_data_repr():
    class Meddler:
        def __repr__(self):
            event.event = None
            event.id = None
            return "M"

    # Fresh strings, owned by the event alone.
    name = "".join(["ti", "ck"])
    number = str(10**30)
    event = ServerSentEvent(Meddler(), event=name, id=number)
    del name, number
    text = repr(event)
    assert text.endswith(f" data=M event='tick' id='{10**30}' retry=-1>")
    assert (event.event, event.id) == (None, None)


@pytest.mark.parametrize(
    "data, expected",
    [
        ("plain", "plain"),
        ("a\nb", "a\ndata: b"),
        ("a\r\nb", "a\ndata: b"),
        ("a\rb", "a\ndata: b"),  # a lone CR also ends a line for event-stream readers
        ("a\n\nb", "a\ndata: \ndata: b"),
        ("end\n", "end\ndata: "),
        ("\r\n", "\ndata: "),
        ("€\n😀\rx", "€\ndata: 😀\ndata: x"),
        ("é\r\n", "é\ndata: "),
        (42, "42"),
    ],
)
def test_text_server_sent_event_write_data(data, expected):
    event = TextServerSentEvent(data)
    assert event.write_data() == expected
    assert call_native_op(event) == expected


def test_write_data_overrides_reach_native_callers():
    class Upper(TextServerSentEvent):
        def write_data(self):
            return super().write_data().upper()

    class Custom(ServerSentEvent):
        def write_data(self):
            return "custom"

    assert call_native_op(Upper("a\nb")) == "A\nDATA: B"
    assert call_native_op(Custom("x")) == "custom"
    assert isinstance(Upper("x"), ServerSentEvent)


def test_write_data_takes_no_arguments():
    with pytest.raises(TypeError, match=r"write_data\(\) takes exactly 0 positional arguments \(1 given\)"):
        ServerSentEvent("x").write_data(1)


@pytest.mark.parametrize("cls", [ServerSentEvent, TextServerSentEvent])
def test_server_sent_event_pickles(cls):
    event = cls("a\nb", event="e", id="1", retry=3, comment="c")
    copy = pickle.loads(pickle.dumps(event))
    assert type(copy) is cls
    assert (copy.data, copy.event, copy.id, copy.retry, copy.comment) == ("a\nb", "e", "1", 3, "c")
    assert copy.write_data() == event.write_data()
    assert call_native_op(copy) == event.write_data()


def test_server_sent_event_cycle_is_collected():
    class Node(ServerSentEvent):
        pass

    import weakref

    event = Node(None)
    event.data = event
    ref = weakref.ref(event)
    del event
    gc.collect()
    assert ref() is None


def test_server_sent_event_operations_do_not_leak():
    text = "payload\nline"
    event = TextServerSentEvent(text, event="e")
    plain = ServerSentEvent({"a": 1})

    def operations():
        event.write_data()
        call_native_op(event)
        plain.write_data()
        TextServerSentEvent(text, id="1", retry=5)
        for kwargs in ({"event": 1}, {"retry": 2**40}):
            try:
                ServerSentEvent(text, **kwargs)
            except (TypeError, OverflowError):
                pass

    before = sys.getrefcount(text)
    assert_no_leak(operations)
    assert sys.getrefcount(text) == before


# ---------------------------------------------------------------------------------------------
# parse_www_form_urlencoded


def stdlib_form(text):
    result = {}
    for key, value in parse_qsl(text, keep_blank_values=True):
        if key in result:
            if isinstance(result[key], list):
                result[key].append(value)
            else:
                result[key] = [result[key], value]
        else:
            result[key] = value
    return result


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a=1&b=2", {"a": "1", "b": "2"}),
        ("a=1&a=2&a=3", {"a": ["1", "2", "3"]}),
        ("a=1&b=&a=", {"a": ["1", ""], "b": ""}),
        ("flag", {"flag": ""}),
        ("=v", {"": "v"}),
        ("", {}),
        ("&&", {}),
        ("a=b=c", {"a": "b=c"}),
        ("x=%41%2b+%zz%4", {"x": "A+ %zz%4"}),
        ("n%C3%A4me=v%C3%A9", {"näme": "vé"}),
        ("bad=%ff%fe", {"bad": "\ufffd\ufffd"}),
        ("raw=é+ü", {"raw": "é ü"}),
        ("a=1;b=2", {"a": "1;b=2"}),
    ],
)
def test_parse_www_form_urlencoded_cases(text, expected):
    assert parse_www_form_urlencoded(text) == expected
    assert parse_www_form_urlencoded(text.encode()) == expected
    assert stdlib_form(text) == expected


@settings(max_examples=examples(400), deadline=None)
@given(st.text(alphabet=st.sampled_from("ab=&+%2F0éC3A9\x00 ;"), max_size=40) | st.text(max_size=40))
def test_parse_www_form_urlencoded_matches_the_standard_library(text):
    assert parse_www_form_urlencoded(text) == stdlib_form(text)


def test_parse_www_form_urlencoded_none_and_wrong_types():
    assert parse_www_form_urlencoded(None) == {}
    with pytest.raises(TypeError, match=r"Argument 'text' has incorrect type \(expected str, got int\)"):
        parse_www_form_urlencoded(1)


def test_parse_www_form_urlencoded_lone_surrogate_does_not_fail():
    result = parse_www_form_urlencoded("a=\udcff&b=1")
    assert result["b"] == "1" and "\ufffd" in result["a"]


def test_parse_www_form_urlencoded_native_export():
    assert export_signature(contents, "parse_www_form_urlencoded") == b"PyObject *(PyObject *, int)"
    native = bind_export(contents, "parse_www_form_urlencoded", ctypes.py_object, ctypes.py_object, ctypes.c_int)
    assert native("a=1&a=2", 0) == {"a": ["1", "2"]}
    with pytest.raises(TypeError):
        native(3.5, 0)


def test_parse_www_form_urlencoded_does_not_leak():
    text = "a=1&a=2&b=%C3%A9+x&" + "k=v&" * 50

    def operations():
        parse_www_form_urlencoded(text)
        parse_www_form_urlencoded(text.encode())
        try:
            parse_www_form_urlencoded(1)
        except TypeError:
            pass

    assert_no_leak(operations)


# ---------------------------------------------------------------------------------------------
# Form parts and multipart data


def test_form_part_with_buffer_exposes_it_as_file():
    buffer = FileBuffer()
    buffer.write(b"file bytes")
    buffer.seek(3)
    part = FormPart(name=b"avatar", data=buffer, file_name=b"a.png", content_type=b"image/png", size=None)
    assert part.file is buffer and part.data is buffer
    assert part.size == 10
    assert buffer.tell() == 3  # measuring the size keeps the position
    assert part.read() == b"file bytes" and buffer.tell() == 3
    plain = FormPart(b"field", b"value")
    assert plain.file is None and plain.size == 5 and plain.read() == b"value"
    assert FormPart(b"n", b"abc", size=99).size == 99


def test_file_buffer_is_binary_read_write():
    with FileBuffer(max_size=4) as buffer:
        buffer.write(b"0123456789")  # beyond max_size: moved to a temporary file
        buffer.seek(0)
        assert buffer.read() == b"0123456789"
        assert buffer.fileno() >= 0


def test_streamed_form_part_streams_its_chunks():
    part = StreamedFormPart("f", chunks_provider(b"a", b"", b"b"), file_name="x.txt", content_type="text/plain")
    assert (part.name, part.file_name, part.content_type, part.charset) == ("f", "x.txt", "text/plain", None)
    assert run(collect(part.stream())) == [b"a", b"b"]


def parse_multipart(content):
    body = run(content.read())
    message = email.parser.BytesParser().parsebytes(b"Content-Type: " + content.type + b"\r\n\r\n" + body)
    assert message.is_multipart()
    return message.get_payload()


def test_multipart_form_data_body_parses_back():
    buffer = io.BytesIO(b"F" * 70000)
    content = MultiPartFormData(
        [
            FormPart(b"title", b"hello"),
            FormPart(b"doc", buffer, file_name=b"doc.txt", content_type=b"text/plain", charset=b"utf-8"),
            FormPart("tags", b""),
        ]
    )
    assert isinstance(content, StreamedContent) and content.length == -1
    assert content.type.startswith(b"multipart/form-data; boundary=")
    parts = parse_multipart(content)
    assert [part.get_param("name", header="content-disposition") for part in parts] == ["title", "doc", "tags"]
    assert parts[0].get_payload(decode=True) == b"hello"
    assert parts[1].get_filename() == "doc.txt"
    assert parts[1]["Content-Type"] == "text/plain; charset=utf-8"
    assert parts[1].get_payload(decode=True) == b"F" * 70000
    assert parts[2].get_payload(decode=True) == b""


def test_multipart_names_cannot_inject_headers():
    content = MultiPartFormData([FormPart('a"\r\nX-Injected: 1', b"v", file_name='f"\n.txt')])
    (part,) = parse_multipart(content)
    assert part["X-Injected"] is None
    assert part.get_param("name", header="content-disposition") == "a%22%0D%0AX-Injected: 1"
    assert part.get_filename() == "f%22%0A.txt"


def test_multipart_form_data_rejects_other_parts():
    with pytest.raises(TypeError, match="Expected FormPart, got bytes"):
        MultiPartFormData([b"raw"])


def test_simplify_multipart_data():
    upload = FormPart(b"file", io.BytesIO(b"bin"), file_name=b"f.bin")
    data = {
        b"name": [FormPart(b"name", b"J\xc3\xa9")],
        "tags": [FormPart(b"tags", b"a"), FormPart(b"tags", io.BytesIO(b"b"))],
        "file": [upload],
        "latin": [FormPart(b"latin", b"caf\xe9", charset=b"iso-8859-1")],
        "broken": [FormPart(b"broken", b"caf\xe9")],
        "unknown_charset": [FormPart(b"u", b"ok", charset=b"no-such-codec")],
    }
    assert simplify_multipart_data(data) == {
        "name": "Jé",
        "tags": ["a", "b"],
        "file": upload,
        "latin": "café",
        "broken": "café",  # not UTF-8: decoded by the configured fallback
        "unknown_charset": "ok",
    }
    assert simplify_multipart_data(None) is None
    assert simplify_multipart_data({}) == {}
