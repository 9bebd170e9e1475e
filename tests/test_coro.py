"""The native coroutine mechanism (quillmoth/common/coro.h) through the test module coro_harness,
whose coroutine functions, methods, async generator and generator are written with it the way the
framework's modules write theirs. Each has a Python twin below; the protocol tests drive both the
same way and compare everything they give: yields, results, exceptions, messages."""

import asyncio
import gc
import inspect
import os
import resource
import shutil
import subprocess
import sys
import sysconfig
import tracemalloc
import types
import warnings
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import examples, load_module

# The Python twins are sometimes dropped unawaited on purpose, as their native counterparts are.
pytestmark = pytest.mark.filterwarnings("ignore:coroutine '.*' was never awaited:RuntimeWarning")


@pytest.fixture(scope="module")
def h(compile_native):
    return load_module("coro_harness", compile_native("coro_harness"))


@pytest.fixture(scope="module")
def sibling(h, tmp_path_factory):
    """The test module built again under another name: a second module with classes of its own, as
    messages, keystone and scribe each have."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(root, "tests", "native", "coro_harness.cpp")) as file:
        source = file.read().replace("coro_harness", "coro_sibling")
    out_dir = tmp_path_factory.mktemp("sibling")
    (out_dir / "coro_sibling.cpp").write_text(source)
    target = out_dir / ("coro_sibling" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([shutil.which("c++") or shutil.which("g++"), "-std=c++20", "-O1", "-shared", "-fPIC", "-Wall",
                    "-Wextra", "-Werror", "-fno-exceptions", "-I" + sysconfig.get_paths()["include"],
                    "-I" + os.path.join(root, "quillmoth"), str(out_dir / "coro_sibling.cpp"), "-o", str(target)],
                   check=True)
    return load_module("coro_sibling", target)


def _uvloop_factory():
    uvloop = pytest.importorskip("uvloop")
    return uvloop.new_event_loop


@pytest.fixture(params=["asyncio", "uvloop"])
def run(request):
    """Runs a coroutine to completion under the default asyncio loop or under uvloop."""
    factory = None if request.param == "asyncio" else _uvloop_factory()

    def runner(coro):
        return asyncio.run(coro, loop_factory=factory)

    return runner


# --- Python twins of the native operations --------------------------------------------------------

async def py_identity(value):
    return value


async def py_await_one(awaitable, transform=None):
    result = await awaitable
    return result if transform is None else transform(result)


async def py_await_catching(awaitable, exc_type, fallback):
    try:
        return await awaitable
    except exc_type:
        return fallback


async def py_guarded(awaitable, log):
    try:
        result = await awaitable
    except BaseException as exc:
        log.append(type(exc))
        raise
    log.append("done")
    return result


async def py_await_all(awaitables):
    results = []
    for awaitable in awaitables:
        results.append(await awaitable)
    return results


async def py_chain(depth, awaitable):
    if depth <= 0:
        return await awaitable
    return await py_chain(depth - 1, awaitable)


async def py_stubborn(first, second):
    try:
        return await first
    except GeneratorExit:
        return await second


async def py_aiter_items(source, transform=None):
    iterator = aiter(source)
    while True:
        try:
            item = await anext(iterator)
        except StopAsyncIteration:
            return
        try:
            yield item if transform is None else transform(item)
        except GeneratorExit:
            if hasattr(iterator, "aclose"):
                await iterator.aclose()
            raise


def py_get_chunks(body, size=4):
    if not isinstance(body, bytes):
        raise TypeError("body must be bytes")
    for start in range(0, len(body), size):
        yield body[start:start + size]


# --- Awaitables the tests control -----------------------------------------------------------------

@types.coroutine
def suspend(tag):
    """Yields `tag` up to whoever drives the coroutine; returns what is sent back."""
    return (yield tag)


async def inner(count, catch=()):
    """Suspends `count` times; an exception of `catch` thrown in is recorded instead of raised."""
    got = []
    for i in range(count):
        try:
            got.append(await suspend(i))
        except catch as exc:
            got.append(type(exc).__name__)
    return tuple(got)


class Awaitable:
    """An object with __await__ (not a coroutine): yields `count` tags, returns `result`."""

    def __init__(self, count=1, result="awaited", tags=True):
        self.count, self.result, self.tags = count, result, tags

    def __await__(self):
        for i in range(self.count):
            # Bare yields are what an event loop takes as "run me again soon".
            yield ("tag", i) if self.tags else None
        return self.result


def outcome(call):
    """What one protocol call gives: ('yield', value), ('return', value) or ('raise', type, text)."""
    try:
        value = call()
    except StopIteration as stop:
        return ("return", stop.value)
    except BaseException as exc:  # noqa: BLE001 - every exception is part of the comparison
        return ("raise", type(exc), str(exc))
    return ("yield", value)


def apply(target, op):
    kind, arg = op
    if kind == "send":
        return outcome(lambda: target.send(arg))
    if kind == "throw":
        return outcome(lambda: target.throw(arg))
    return outcome(lambda: target.close())


# --- Results travel intact ------------------------------------------------------------------------

RESULTS = [None, 0, "text", (1, 2), (), [1], ValueError("carried"), StopIteration(3), (None,)]


@pytest.mark.parametrize("value", RESULTS, ids=repr)
def test_result_arrives_intact_through_send_and_await(h, value):
    with pytest.raises(StopIteration) as stop:
        h.identity(value).send(None)
    assert stop.value.value is value
    assert stop.value.args == ((value,) if value is not None else ())

    async def outer():
        return await h.identity(value), await h.nested(value), await h.ready(value)

    with pytest.raises(StopIteration) as stop:
        outer().send(None)
    assert all(item is value for item in stop.value.value)


@pytest.mark.parametrize("step", ["__next__", "send"])
def test_stop_iteration_someone_keeps_is_never_refilled(h, step):
    def finish(value):
        coro = h.identity(value)
        try:
            getattr(coro, step)(*(() if step == "__next__" else (None,)))
        except StopIteration as exc:
            return exc

    kept = finish("first")
    again = finish("second")
    assert again is not kept and again.value == "second" and again.args == ("second",)
    assert kept.value == "first" and kept.args == ("first",) and kept.__traceback__ is not None
    with pytest.raises(StopIteration) as stop:
        h.identity(None).__next__() if step == "send" else h.identity((1,)).__next__()
    assert stop.value.args in ((), ((1,),))


def test_returned_value_is_not_kept_alive(h):
    class Big:
        pass

    async def outer(value):
        return await h.identity(value)

    value = Big()
    ref = weakref.ref(value)
    with pytest.raises(StopIteration):
        outer(value).send(None)
    del value
    gc.collect()
    assert ref() is None


# --- The coroutine protocol, compared with Python twins --------------------------------------------

def _pairs(h):
    """(name, factory(native_module_or_None, inner_args)) twins over the controlled inner coroutine."""
    return {
        "await_one": lambda m, a: (m.await_one if m else py_await_one)(inner(*a)),
        "await_one_transform": lambda m, a: (m.await_one if m else py_await_one)(inner(*a), list),
        "await_catching": lambda m, a: (m.await_catching if m else py_await_catching)(inner(*a), KeyError, "fallback"),
        "await_all": lambda m, a: (m.await_all if m else py_await_all)([inner(*a), Awaitable(2), inner(*a)]),
        "chain": lambda m, a: (m.chain if m else py_chain)(3, inner(*a)),
        "stubborn": lambda m, a: (m.stubborn if m else py_stubborn)(inner(*a), inner(1)),
        "stubborn_at_once": lambda m, a: (m.stubborn if m else py_stubborn)(inner(*a), py_identity("late")),
        "guarded": lambda m, a: (m.guarded if m else py_guarded)(inner(*a), []),
        "nested_native": lambda m, a: (m.await_one if m else py_await_one)((m.chain if m else py_chain)(2, inner(*a))),
    }


OPS = st.sampled_from([
    ("send", None), ("send", None), ("send", 7), ("send", "x"),
    ("throw", ValueError), ("throw", ValueError("message")), ("throw", KeyError("k")),
    ("throw", GeneratorExit), ("throw", StopIteration), ("throw", 1), ("throw", asyncio.CancelledError()),
    ("close", None),
])


@settings(max_examples=examples(300), deadline=None)
@given(name=st.sampled_from(sorted(_pairs(None))), count=st.integers(0, 3),
       catches=st.booleans(), ops=st.lists(OPS, max_size=8))
def test_protocol_matches_python(h, name, count, catches, ops):
    factory = _pairs(h)[name]
    args = (count, (ValueError,) if catches else ())
    native, python = factory(h, args), factory(None, args)
    for op in ops:
        got, expected = apply(native, op), apply(python, op)
        assert got == expected, (op, got, expected)
    assert native.cr_running is False
    assert (native.cr_await is None) == (python.cr_await is None)
    assert (native.cr_suspended, native.cr_running) == (python.cr_suspended, python.cr_running)
    assert apply(native, ("close", None)) == apply(python, ("close", None))


@pytest.mark.parametrize("args, warns", [
    ((ValueError,), False),
    ((ValueError, ValueError("v"), None), True),
    ((ValueError, "text"), True),
    ((ValueError("i"), "separate"), True),
    ((ValueError, None, "not a traceback"), True),
    ((), False),
    ((ValueError, None, None, None), False),
])
def test_throw_validation_and_deprecation_match_python(h, args, warns):
    results = []
    for module in (h, None):
        coro = (module.await_one if module else py_await_one)(inner(2))
        coro.send(None)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = outcome(lambda: coro.throw(*args))
        results.append((got, [(w.category, str(w.message)) for w in caught]))
        coro.close()
    assert results[0] == results[1]
    assert bool(results[0][1]) == warns
    # One warning, not a second one from the inner coroutine the arguments were handed to.
    assert len(results[0][1]) <= 1


@pytest.mark.parametrize("body, size", [(b"", 4), (b"abc", 4), (b"abcdefghij", 3), (b"abcd", 1)])
def test_generator_matches_python(h, body, size):
    assert list(h.get_chunks(body, size)) == list(py_get_chunks(body, size))
    assert list(h.get_chunks(body)) == list(py_get_chunks(body))


@settings(max_examples=examples(150), deadline=None)
@given(ops=st.lists(st.sampled_from([("send", None), ("send", 1), ("throw", ValueError), ("close", None)]),
                    max_size=8))
def test_generator_protocol_matches_python(h, ops):
    native, python = h.get_chunks(b"abcdefghij", 3), py_get_chunks(b"abcdefghij", 3)
    for op in ops:
        assert apply(native, op) == apply(python, op), op


def test_generator_errors(h):
    with pytest.raises(TypeError, match="body"):
        next(h.get_chunks("text"))
    with pytest.raises(ValueError, match="size must be positive"):
        next(h.get_chunks(b"x", 0))
    gen = h.get_chunks(b"abcdef", 2)
    assert iter(gen) is gen and next(gen) == b"ab"
    assert gen.gi_running is False and gen.gi_suspended is True


# --- Starting, finishing, reusing -----------------------------------------------------------------

def test_reuse_raises_as_for_python(h):
    for coro in (h.identity(1), h.await_one(h.ready(2))):
        with pytest.raises(StopIteration):
            coro.send(None)
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            coro.send(None)
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            coro.throw(ValueError)
        assert coro.close() is None

    async def twice(coro):
        await coro
        await coro

    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        asyncio.run(twice(h.identity(1)))


def test_throw_into_unstarted_coroutine_raises_and_finishes_it(h):
    class Arg:
        pass

    arg = Arg()
    ref = weakref.ref(arg)
    coro = h.guarded(arg, [])
    del arg
    error = ValueError("before start")
    with pytest.raises(ValueError) as raised:
        coro.throw(error)
    assert raised.value is error
    assert ref() is None  # the frame released its arguments on finishing
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)
    # Arguments that cannot be raised leave it untouched, as for a Python coroutine.
    coro = h.identity(5)
    with pytest.raises(TypeError, match="exceptions must be classes or instances"):
        coro.throw(1)
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value == 5


def test_unstarted_coroutine_dropped_or_closed_releases_its_arguments(h):
    class Arg:
        pass

    for finish in (lambda c: None, lambda c: c.close()):
        arg = Arg()
        ref, before = weakref.ref(arg), sys.getrefcount(arg)
        coro = h.await_catching(arg, KeyError, arg)
        assert sys.getrefcount(arg) == before + 2
        finish(coro)
        del coro
        assert sys.getrefcount(arg) == before
        del arg
        assert ref() is None


@pytest.mark.parametrize("awaitable_factory", [
    lambda: 1,
    lambda: type("BadAwait", (), {"__await__": lambda self: 5})(),
    lambda: type("CoroAwait", (), {"__await__": lambda self: py_identity(1)})(),
], ids=["not-awaitable", "non-iterator", "returns-coroutine"])
def test_awaiting_something_wrong_raises_as_python(h, awaitable_factory):
    got = outcome(lambda: h.await_one(awaitable_factory()).send(None))
    expected = outcome(lambda: py_await_one(awaitable_factory()).send(None))
    assert got == expected and got[0] == "raise"
    gc.collect()


def test_awaiting_a_coroutine_already_awaited(h):
    shared = inner(2)
    first = py_await_one(shared)
    first.send(None)
    for second in (h.await_one(shared), py_await_one(shared)):
        with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
            second.send(None)
    native_inner = h.await_one(inner(1))
    holder = h.await_one(native_inner)
    holder.send(None)
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        h.await_one(native_inner).send(None)
    first.close()
    holder.close()


def test_resuming_itself_raises_already_executing(h):
    box = {}

    class Reenter:
        def __await__(self):
            box["outer"].send(None)
            yield

    for module in (h, None):
        box["outer"] = (module.await_one if module else py_await_one)(Reenter())
        with pytest.raises(ValueError, match="^coroutine already executing$"):
            box["outer"].send(None)
    gen = h.get_chunks(b"x")
    assert gen.gi_running is False


def test_stop_iteration_leaving_a_step_becomes_runtime_error(h):
    def leak(value):
        raise StopIteration(value)

    for module in (h, None):
        coro = (module.await_one if module else py_await_one)(h.ready(1), leak)
        with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$") as raised:
            coro.send(None)
        assert isinstance(raised.value.__cause__, StopIteration) and raised.value.__cause__.args == (1,)


def test_attributes_across_states(h):
    coro = h.await_one(inner(1))
    assert (coro.__name__, coro.__qualname__) == ("await_one", "await_one")
    assert repr(coro).startswith("<native coroutine await_one at 0x")
    assert (coro.cr_running, coro.cr_suspended, coro.cr_await, coro.cr_frame, coro.cr_code) == (
        False, False, None, None, None)
    assert coro.send(None) == 0
    assert coro.cr_suspended is True and inspect.iscoroutine(coro.cr_await)
    with pytest.raises(StopIteration):
        coro.send("a")
    assert (coro.cr_suspended, coro.cr_await) == (False, None)
    holder_coro = h.Holder(1).get()
    assert holder_coro.__qualname__ == "Holder.get" and holder_coro.__name__ == "get"
    holder_coro.close()
    agen = h.aiter_items([])
    assert repr(agen).startswith("<native async_generator aiter_items at 0x")
    assert repr(h.get_chunks(b"")).startswith("<native generator get_chunks at 0x")


# --- Failures, close, cancellation ------------------------------------------------------------------

def test_exception_from_awaited_object_arrives_intact(h):
    error = KeyError("from inside")

    async def failing():
        await suspend("once")
        raise error

    coro = h.guarded(failing(), log := [])
    assert coro.send(None) == "once"
    with pytest.raises(KeyError) as raised:
        coro.send(None)
    assert raised.value is error and log == [KeyError]
    coro = h.await_catching(failing(), KeyError, "handled")
    coro.send(None)
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value == "handled"


def test_close_while_awaiting_closes_the_awaited_object(h):
    events = []

    async def cleaning():
        try:
            await suspend("waiting")
        finally:
            events.append("inner finally")

    coro = h.guarded(cleaning(), log := [])
    assert coro.send(None) == "waiting"
    assert coro.close() is None
    assert events == ["inner finally"] and log == [GeneratorExit]
    assert coro.cr_await is None and coro.cr_suspended is False
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_cancelling_a_task_reaches_the_future_it_awaits(h, run):
    async def main():
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        log = []
        task = asyncio.create_task(h.guarded(h.chain(5, future), log))
        await asyncio.sleep(0)
        assert not future.done()
        task.cancel("stop it")
        with pytest.raises(asyncio.CancelledError):
            await task
        assert future.cancelled() and log == [asyncio.CancelledError]
        # A handler that catches the cancellation decides what the task returns.
        future = loop.create_future()
        task = asyncio.create_task(h.await_catching(future, asyncio.CancelledError, "caught"))
        await asyncio.sleep(0)
        task.cancel()
        return await task

    assert run(main()) == "caught"


def test_throw_of_cancelled_error_reaches_the_python_coroutine_awaited(h):
    events = []

    async def handler():
        try:
            await suspend("in handler")
        except asyncio.CancelledError:
            events.append("handler saw cancel")
            raise

    coro = h.handle_error(lambda request, exc: handler(), "request", "exc")
    assert coro.send(None) == "in handler"
    with pytest.raises(asyncio.CancelledError):
        coro.throw(asyncio.CancelledError())
    assert events == ["handler saw cancel"]


def test_deep_chain_of_native_awaits(h, run):
    async def main():
        future = asyncio.get_running_loop().create_future()
        asyncio.get_running_loop().call_soon(future.set_result, "bottom")
        return await h.chain(300, future)

    assert run(main()) == "bottom"
    with pytest.raises(RecursionError):
        h.chain(200_000, h.ready(1)).send(None)


def test_coroutines_of_another_module_are_resumed_directly(h, sibling, run):
    assert type(sibling.identity(1)) is not type(h.identity(1))
    # Each module recognises the other's frames (the shared marker), so it resumes them directly.
    assert h.is_native_coroutine(sibling.identity(1)) and sibling.is_native_coroutine(h.identity(1))
    assert not h.is_native_coroutine(py_identity(1)) and not h.is_native_coroutine(sibling.get_chunks(b""))
    gc.collect()

    async def main():
        future = asyncio.get_running_loop().create_future()
        log = []
        task = asyncio.create_task(h.guarded(sibling.chain(3, h.await_one(sibling.await_one(future))), log))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return future.cancelled(), log, await sibling.await_one(h.await_one(sibling.ready("across")))

    assert run(main()) == (True, [asyncio.CancelledError], "across")


# --- asyncio ---------------------------------------------------------------------------------------

def test_asyncio_accepts_native_coroutines(h, run):
    assert asyncio.iscoroutine(h.identity(1)) and not inspect.iscoroutine(h.identity(1))
    gc.collect()

    async def main():
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        loop.call_later(0.001, future.set_result, "late")
        task = asyncio.create_task(h.await_one(future, str.upper), name="native")
        assert "await_one()" in repr(task)
        results = [await task]
        results.append(await asyncio.ensure_future(h.nested("ensure")))
        results.append(await asyncio.gather(h.identity(1), h.await_one(asyncio.sleep(0, 2)), py_identity(3)))
        results.append(await asyncio.wait_for(h.await_one(asyncio.sleep(0.001, "waited")), 5))
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(h.await_one(asyncio.sleep(5)), 0.01)
        async with asyncio.TaskGroup() as group:
            tasks = [group.create_task(h.await_all([h.identity(i), asyncio.sleep(0, i)])) for i in range(3)]
        results.append([t.result() for t in tasks])
        return results

    assert run(main()) == ["LATE", "ensure", [1, 2, 3], "waited", [[0, 0], [1, 1], [2, 2]]]
    # The loop also runs one as the task's own coroutine, stepped through its send slot.
    assert run(h.await_all([asyncio.sleep(0, "a"), h.ready("b"), Awaitable(2, tags=False)])) == ["a", "b", "awaited"]


def test_task_group_cancels_native_siblings(h, run):
    async def fail():
        await asyncio.sleep(0)
        raise ValueError("sibling failed")

    async def main():
        log = []
        with pytest.raises(ExceptionGroup) as group:
            async with asyncio.TaskGroup() as tasks:
                tasks.create_task(h.guarded(asyncio.sleep(10), log))
                tasks.create_task(fail())
        assert group.value.exceptions[0].args == ("sibling failed",)
        return log

    assert run(main()) == [asyncio.CancelledError]


def test_debug_mode_task_repr(h):
    async def main():
        task = asyncio.create_task(h.await_one(asyncio.sleep(0.001)))
        await asyncio.sleep(0)
        text = repr(task)
        await task
        return text

    assert "await_one()" in asyncio.run(main(), debug=True)


def test_send_all_awaits_send_for_each_chunk(h, run):
    async def main():
        sent = []
        chunks = [b"a", b"b"]

        async def send(message):
            await asyncio.sleep(0)
            sent.append(message)
            if len(sent) == 1:
                chunks.append(b"c")  # a send that changes the list between two chunks

        count = await h.send_all(send, chunks)

        async def broken(message):
            raise OSError("disconnected")

        with pytest.raises(OSError, match="disconnected"):
            await h.send_all(broken, [b"x"])
        return count, sent

    count, sent = run(main())
    assert count == 3
    assert [m["body"] for m in sent] == [b"a", b"b", b"c", b""]
    assert [m["more_body"] for m in sent] == [True, True, True, False]


# --- Async generators ------------------------------------------------------------------------------

async def _source(log, count=3):
    try:
        for i in range(count):
            await asyncio.sleep(0)
            yield i
    finally:
        log.append("source closed")


def test_async_for_over_native_async_generator(h, run):
    async def main():
        log = []
        items = [item async for item in h.aiter_items(_source(log), str)]
        agen = h.aiter_items(_source(log))
        assert agen.__aiter__() is agen
        with pytest.raises(StopAsyncIteration):
            while True:
                await anext(agen)
        with pytest.raises(StopAsyncIteration):
            await anext(agen)
        return items, log

    assert run(main()) == (["0", "1", "2"], ["source closed", "source closed"])


def test_aclose_at_a_yield_closes_what_it_iterates(h, run):
    async def main():
        results = []
        for make in (h.aiter_items, py_aiter_items):
            log = []
            agen = make(_source(log, 5))
            assert await anext(agen) == 0
            await agen.aclose()
            results.append(log)
            with pytest.raises(StopAsyncIteration):
                await anext(agen)
        return results

    assert run(main()) == [["source closed"], ["source closed"]]


def test_aclose_and_athrow_while_awaiting(h, run):
    async def main():
        outcomes = []
        for make in (h.aiter_items, py_aiter_items):
            log = []
            agen = make(_source(log, 5))
            step = asyncio.ensure_future(anext(agen))
            await asyncio.sleep(0)  # the generator is now suspended inside the source's await
            step.cancel()
            with pytest.raises(asyncio.CancelledError):
                await step
            outcomes.append(list(log))
            agen = make(_source(log := [], 5))
            await anext(agen)
            with pytest.raises(ValueError):
                await agen.athrow(ValueError("thrown"))
            with pytest.raises(StopAsyncIteration):
                await agen.asend(None)
            outcomes.append(list(log))
        return outcomes

    native_cancel, native_throw, py_cancel, py_throw = run(main())
    assert (native_cancel, native_throw) == (py_cancel, py_throw)


def test_event_loop_finalizes_abandoned_native_async_generators(h, run):
    """The loop's async generator hooks apply: an abandoned generator's aclose() runs on the loop
    (so its cleanup may await), and the loop's shutdown closes one still referenced."""

    class Slow(_Source):
        async def __anext__(self):
            self.count -= 1
            await asyncio.sleep(0)
            return self.count

        async def aclose(self):
            await asyncio.sleep(0)
            self.closed = True

    async def main():
        abandoned, kept = Slow(5), Slow(5)
        agen = h.aiter_items(abandoned)
        assert await anext(agen) == 4
        del agen
        gc.collect()
        for _ in range(5):
            await asyncio.sleep(0)
        holder = h.aiter_items(kept)
        await anext(holder)
        return abandoned, kept, holder

    abandoned, kept, holder = run(main())
    assert abandoned.closed and kept.closed
    assert weakref.ref(holder)() is holder and weakref.ref(h.identity(1)) is not None


def _drive(awaitable):
    """Runs an awaitable by hand: the tags it yields, then ('return', value) or ('raise', type, text)."""
    tags = []
    while True:
        result = outcome(lambda: awaitable.send(None))
        if result[0] != "yield":
            return tags, result
        tags.append(result[1])


class _Source:
    """An async iterator whose __anext__ suspends once through a controlled yield."""

    def __init__(self, count):
        self.count = count
        self.closed = False

    def __aiter__(self):
        return self

    async def __anext__(self):
        if self.count == 0:
            raise StopAsyncIteration
        self.count -= 1
        return await suspend(("next", self.count))

    async def aclose(self):
        self.closed = True
        await suspend("closing")


AGEN_OPS = st.sampled_from(["anext", "anext", "asend", "athrow", "athrow_caught", "aclose", "anext_throw"])


@settings(max_examples=examples(200), deadline=None)
@given(ops=st.lists(AGEN_OPS, max_size=6), count=st.integers(0, 3))
def test_async_generator_protocol_matches_python(h, ops, count):
    runs = []
    for make in (h.aiter_items, py_aiter_items):
        source = _Source(count)
        agen = make(source)
        got = []
        for op in ops:
            if op == "anext":
                got.append(_drive(agen.__anext__()))
            elif op == "asend":
                got.append(_drive(agen.asend(None)))
            elif op == "athrow":
                got.append(_drive(agen.athrow(ValueError("x"))))
            elif op == "athrow_caught":
                got.append(_drive(agen.athrow(GeneratorExit)))
            elif op == "aclose":
                got.append(_drive(agen.aclose()))
            else:
                step = agen.__anext__()
                first = outcome(lambda: step.send(None))
                got.append((first, outcome(lambda: step.throw(KeyError("k")))))
        got.append(_drive(agen.aclose()))
        runs.append((got, source.closed))
    assert runs[0] == runs[1]


def test_async_generator_awaitables_reused(h):
    agen = h.aiter_items(_Source(2))
    step = agen.__anext__()
    assert _drive(step)[1] == ("return", None)
    with pytest.raises(RuntimeError, match=r"^cannot reuse already awaited __anext__\(\)/asend\(\)$"):
        step.send(None)
    closing = agen.aclose()
    _drive(closing)
    with pytest.raises(RuntimeError, match=r"^cannot reuse already awaited aclose\(\)/athrow\(\)$"):
        closing.send(None)
    assert agen.ag_running is False


# --- Native callables and inspect -------------------------------------------------------------------

@pytest.mark.parametrize("path, text", [
    ("identity", "(value)"),
    ("await_one", "(awaitable, transform=None)"),
    ("handle_error", "(app, request, exc)"),
    ("Holder.exchange", "(self, awaitable)"),
    ("Holder.get", "(self)"),
    ("get_chunks", "(body, size=4)"),
    ("aiter_items", "(source, transform=None)"),
])
def test_signature_gives_real_parameters(h, path, text):
    func = h
    for part in path.split("."):
        func = getattr(func, part)
    assert str(inspect.signature(func)) == text
    assert str(inspect.Signature.from_callable(func)) == text
    assert func.__qualname__ == path and func.__name__ == path.rsplit(".", 1)[-1]
    assert func.__module__ == "coro_harness" and func.__doc__
    assert func.__kwdefaults__ is None and func.__annotations__ == {}


def test_inspect_sees_the_kind_of_function(h):
    holder = h.Holder(1)
    for func in (h.identity, h.handle_error, h.Holder.exchange, holder.exchange, holder.get):
        assert inspect.iscoroutinefunction(func)
        assert not inspect.isasyncgenfunction(func)
    assert inspect.isasyncgenfunction(h.aiter_items) and not inspect.iscoroutinefunction(h.aiter_items)
    assert inspect.isgeneratorfunction(h.get_chunks)
    assert str(inspect.signature(holder.exchange)) == "(awaitable)"
    assert h.identity.__code__.co_flags & inspect.CO_COROUTINE
    assert h.identity.__code__.co_varnames == ("value",) and h.identity.__code__.co_argcount == 1
    assert repr(h.identity).startswith("<native function identity at 0x")


def test_methods_bind_like_python_methods(h, run):
    holder = h.Holder("old")
    bound = holder.exchange
    assert isinstance(bound, types.MethodType) and bound.__self__ is holder
    assert h.Holder.__dict__["exchange"].__get__(None, h.Holder) is h.Holder.exchange

    async def main():
        first = await holder.exchange(h.ready("new"))
        second = await h.Holder.exchange(holder, asyncio.sleep(0, "newer"))
        return first, second, await holder.get()

    assert run(main()) == ("old", "new", "newer")
    with pytest.raises(TypeError, match="^descriptor 'get' for 'coro_harness.Holder' objects doesn't apply to a 'int'"):
        h.Holder.get(1)
    with pytest.raises(TypeError):
        h.Holder.a = 1  # still an immutable class


@pytest.mark.parametrize("call, message", [
    (lambda h: h.identity(), r"identity\(\) takes exactly 1 positional argument \(0 given\)"),
    (lambda h: h.identity(1, 2), r"identity\(\) takes exactly 1 positional argument \(2 given\)"),
    (lambda h: h.await_one(1, 2, 3), r"await_one\(\) takes at most 2 positional arguments \(3 given\)"),
    (lambda h: h.await_one(transform=1), r"await_one\(\) takes at least 1 positional argument \(0 given\)"),
    (lambda h: h.identity(other=1), r"identity\(\) got an unexpected keyword argument 'other'"),
    (lambda h: h.identity(1, value=1), r"identity\(\) got multiple values for keyword argument 'value'"),
])
def test_argument_errors(h, call, message):
    with pytest.raises(TypeError, match=message):
        call(h)


def test_keyword_arguments_and_defaults(h):
    coro = h.await_one(transform=str, awaitable=h.ready(5))
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value == "5"
    assert list(h.get_chunks(size=2, body=b"abc")) == [b"ab", b"c"]


# --- The collector and leaks -----------------------------------------------------------------------

class Target:
    """Something a cycle can go through and a weak reference can watch."""


@pytest.mark.parametrize("started", [False, True])
def test_cycle_through_a_pending_coroutine_is_collected(h, started):
    holder = h.Holder()
    waiting = Awaitable(count=3)
    waiting.owner = holder
    coro = holder.exchange(waiting)
    holder.value = coro  # holder -> coroutine -> holder
    if started:
        assert coro.send(None) == ("tag", 0)
    refs = [weakref.ref(holder), weakref.ref(waiting)]
    del holder, waiting, coro
    gc.collect()
    assert [ref() for ref in refs] == [None, None]


def test_collected_suspended_coroutine_closes_what_it_awaits(h):
    events = []

    async def cleaning(target):
        try:
            await suspend("waiting")
        finally:
            events.append("finally")

    target = Target()
    coro = h.guarded(cleaning(target), log := [])
    target.coro = coro
    coro.send(None)
    ref = weakref.ref(target)
    del target, coro
    gc.collect()
    assert ref() is None and events == ["finally"] and log == [GeneratorExit]


def test_cycle_through_native_async_generator_and_generator(h):
    target = Target()
    target.agen = h.aiter_items(_Source(3), target.__class__)
    step = target.agen.__anext__()
    step.send(None)
    target.step = step
    target.gen = h.get_chunks(b"abc")
    ref = weakref.ref(target)
    del target, step
    gc.collect()
    assert ref() is None


def _cycle(h, loop, future_value):
    future = loop.create_future()
    coro = h.guarded(h.await_one(future, str), [])
    first = coro.send(None)
    future.set_result(future_value)
    try:
        coro.send(None)
    except StopIteration as stop:
        return first is future and stop.value == str(future_value)
    return False


def _one_of_each(h, loop, i):
    assert _cycle(h, loop, i)
    for _ in h.get_chunks(b"abcdefgh", 3):
        pass
    with pytest.raises(StopIteration):
        h.await_catching(h.chain(2, h.ready(i)), KeyError, None).send(None)
    c = h.await_catching(inner(1), ValueError, "x")
    c.send(None)
    with pytest.raises(StopIteration):
        c.throw(ValueError)
    c = h.guarded(inner(1), [])
    c.send(None)
    c.close()


def test_references_balance_over_many_runs(h):
    loop = asyncio.new_event_loop()
    try:
        probe = object()
        before = sys.getrefcount(probe), sys.getrefcount(None)
        for _ in range(2000):
            with pytest.raises(StopIteration):
                h.await_one(h.identity(probe)).send(None)
            h.identity(probe).close()
            h.identity(probe)
        assert sys.getrefcount(probe) == before[0]
        for i in range(200):
            _one_of_each(h, loop, i)
        gc.collect()
        counts = len(gc.get_objects())
        for i in range(2000):
            _one_of_each(h, loop, i)
        gc.collect()
        assert len(gc.get_objects()) - counts < 50
    finally:
        loop.close()


def _await_loop(h, count):
    async def body():
        identity, await_one, ready = h.identity, h.await_one, h.ready
        for i in range(count):
            await identity(i)
            await await_one(ready(i))
            if i % 64 == 0:
                await asyncio.sleep(0)
    return body()


def _rss_kib():
    """The resident set size now (Linux), else the peak so far."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * resource.getpagesize() // 1024
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def _measure(h, count):
    asyncio.run(_await_loop(h, 20_000))  # warm the free lists and caches
    gc.collect()
    rss_before = _rss_kib()
    tracemalloc.start()
    try:
        asyncio.run(_await_loop(h, 1000))
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        asyncio.run(_await_loop(h, count))
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    rss_after = _rss_kib()
    return start, end, rss_before, rss_after


def test_memory_stays_flat_over_200k_awaits(h):
    start, end, _, _ = _measure(h, 100_000)  # two native awaits per turn
    assert end - start < 64 * 1024, (start, end)


@pytest.mark.skipif(os.environ.get("QM_LONG") != "1", reason="long run: set QM_LONG=1")
def test_memory_stays_flat_over_a_million_awaits(h):
    start, end, rss_before, rss_after = _measure(h, 500_000)  # two native awaits per turn
    print(f"\ntracemalloc {start} -> {end} bytes; RSS {rss_before} -> {rss_after} KiB")
    # RSS is reported, not checked: under a sanitizer's quarantine it grows whatever the code does.
    assert end - start < 64 * 1024, (start, end)


def test_weakref_callback_collecting_while_a_frame_dies(h):
    # A weak reference's callback may run a collection while the frame is being freed (asyncio
    # keeps async generators in a WeakSet); the collection must not see the dying frame, neither a
    # finished one nor a suspended one that is closed on the way out.
    class Pending:
        def __await__(self):
            yield "suspended"

    for make in (lambda: h.identity(1), lambda: h.await_one(Pending())):
        coro = make()
        if coro.__qualname__ == "await_one":
            coro.send(None)  # suspended on the sleep
        calls = []
        ref = weakref.ref(coro, lambda r: calls.append(gc.collect()))
        del coro
        assert ref() is None and len(calls) == 1
