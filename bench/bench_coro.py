"""The native coroutine mechanism against Python coroutines doing the same, side by side in one run.

    .venv/bin/python bench/bench_coro.py

Builds the test module tests/native/coro_harness.cpp (optimised as the package's release build is)
and times, in ns per operation (best of 15 rounds, native and Python in alternation):
  - awaiting a coroutine that returns at once, from a Python coroutine driven by send(None);
  - the same inside an asyncio task, under the default loop and under uvloop;
  - stepping such a coroutine itself with send(None) (what a pure-Python driver does);
  - calling the coroutine function and closing what it returns (the call and the frame alone);
  - a coroutine awaiting a Future-like object that suspends once, stepped with send(None);
  - a native coroutine awaiting a native one (against a Python one awaiting a Python one);
  - a native coroutine awaiting a Python coroutine (a handler) against a Python one doing so.
"""

import asyncio
import importlib.util
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def build_harness():
    compiler = shutil.which("c++") or shutil.which("g++")
    out = Path(tempfile.mkdtemp()) / ("coro_harness" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([compiler, "-std=c++20", "-O3", "-shared", "-fPIC", "-fno-exceptions", "-fvisibility=hidden",
                    "-fvisibility-inlines-hidden", "-I" + sysconfig.get_paths()["include"],
                    "-I" + str(ROOT / "quillmoth"), str(ROOT / "tests" / "native" / "coro_harness.cpp"),
                    "-o", str(out)], check=True)
    spec = importlib.util.spec_from_file_location("coro_harness", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


async def py_identity(value):
    return value


async def py_await_one(awaitable, transform=None):
    result = await awaitable
    return result if transform is None else transform(result)


async def py_nested(value):
    return await py_identity(value)


class FutureLike:
    """Suspends once (as a pending future does), then gives its result."""

    __slots__ = ("result",)

    def __init__(self, result):
        self.result = result

    def __await__(self):
        yield None
        return self.result


N = 100_000
ROUNDS = 15


def best_of_pair(native, python):
    """Best ns per operation of each, the two timed in alternation so that a busy machine slows both."""
    times = {native: [], python: []}
    for _ in range(ROUNDS):
        for run in (native, python):
            start = time.perf_counter()
            run()
            times[run].append(time.perf_counter() - start)
    return min(times[native]) / N * 1e9, min(times[python]) / N * 1e9


def awaits_in_a_coroutine(func, value):
    async def body():
        for _ in range(N):
            await func(value)

    def run():
        coro = body()
        try:
            coro.send(None)
        except StopIteration:
            pass

    return run


def awaits_in_a_task(func, value, factory):
    async def body():
        for _ in range(N):
            await func(value)

    def run():
        asyncio.run(body(), loop_factory=factory)

    return run


def send_loop(func, value):
    def run():
        for _ in range(N):
            coro = func(value)
            try:
                coro.send(None)
            except StopIteration:
                pass

    return run


def create_and_close(func, value):
    def run():
        for _ in range(N):
            func(value).close()

    return run


def future_like_loop(func):
    def run():
        for i in range(N):
            coro = func(FutureLike(i))
            coro.send(None)
            try:
                coro.send(None)
            except StopIteration:
                pass

    return run


def main():
    h = build_harness()
    factories = [("asyncio", None)]
    try:
        import uvloop

        factories.append(("uvloop", uvloop.new_event_loop))
    except ImportError:
        pass
    cases = [
        ("await f(1) in a coroutine (send loop)", awaits_in_a_coroutine(h.identity, 1), awaits_in_a_coroutine(py_identity, 1)),
        ("await f(None) in a coroutine (send loop)", awaits_in_a_coroutine(h.identity, None),
         awaits_in_a_coroutine(py_identity, None)),
    ]
    for name, factory in factories:
        cases.append((f"await f(1) in an asyncio task ({name})", awaits_in_a_task(h.identity, 1, factory),
                      awaits_in_a_task(py_identity, 1, factory)))
    cases += [
        ("f(1).send(None), returns at once", send_loop(h.identity, 1), send_loop(py_identity, 1)),
        ("f(1).close(): the call and the coroutine object", create_and_close(h.identity, 1),
         create_and_close(py_identity, 1)),
        ("await_one(FutureLike), two sends", future_like_loop(h.await_one), future_like_loop(py_await_one)),
        ("nested(1): coroutine awaiting a coroutine", awaits_in_a_coroutine(h.nested, 1),
         awaits_in_a_coroutine(py_nested, 1)),
        ("await_one(py coroutine): awaiting Python code", awaits_in_a_coroutine(lambda v: h.await_one(py_identity(v)), 1),
         awaits_in_a_coroutine(lambda v: py_await_one(py_identity(v)), 1)),
    ]
    print(f"{'operation':<48} {'native ns':>10} {'python ns':>10} {'native/python':>14}")
    for name, native, python in cases:
        native_ns, python_ns = best_of_pair(native, python)
        print(f"{name:<48} {native_ns:>10.1f} {python_ns:>10.1f} {native_ns / python_ns:>14.2f}")


if __name__ == "__main__":
    sys.exit(main())
