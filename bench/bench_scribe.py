"""Response emission and server-sent events, side by side in one run.

    .venv/bin/python bench/bench_scribe.py [--quick]

Prints nanoseconds per operation for:
  - a response built and sent to a no-op ASGI `send` (`async def send(message): pass`):
    quillmoth's `await send_asgi_response(Response(200, None, Content(...)), send)` against
    Starlette's `await Response(body, media_type=...)(scope, receive, send)`, for a small text body
    and a 1 MiB buffered body. Each is awaited from a Python coroutine, as an ASGI entry point awaits
    it. Both build their header list and their message dicts. quillmoth sends a body above 61440 bytes
    in 61440-byte slices (bytes copies: an ASGI body is a byte string), 19 body messages for 1 MiB
    where Starlette sends the whole body in one. The last column is the cost of the sends alone: the
    same number of awaits of the no-op `send` with ready-made messages, which neither writer can go
    below;
  - write_sse(event) against the event encoder of sse-starlette (`ServerSentEvent.encode()`, with
    "\\n" as its line separator so both write the same bytes), for a text event with id, event name,
    data and retry, and for a JSON event built and written (quillmoth's ServerSentEvent renders its
    data with msgspec when written, sse-starlette's JSONServerSentEvent with json.dumps when built).
The candidates of a row run in turns, round after round, and each one's best round is reported, so
a busy machine slows them alike.
"""

import sys
import time

from quillmoth.contents import Content, ServerSentEvent, TextServerSentEvent
from quillmoth.messages import Response
from quillmoth.scribe import send_asgi_response, write_sse

from starlette.responses import Response as StarletteResponse

try:
    from sse_starlette.event import JSONServerSentEvent as PeerJSONEvent, ServerSentEvent as PeerEvent
except ImportError:
    PeerEvent = PeerJSONEvent = None

SCOPE = {"type": "http", "method": "GET", "path": "/"}
SMALL = b"Hello, world! This is a small text response."
LARGE = bytes(range(256)) * 4096  # 1 MiB


async def send(message):
    pass


async def receive():
    return {"type": "http.disconnect"}


def ours(body, sink=send):
    return lambda: send_asgi_response(Response(200, None, Content(b"text/plain; charset=utf-8", body)), sink)


def starlette(body, sink=send):
    return lambda: StarletteResponse(body, media_type="text/plain")(SCOPE, receive, sink)


def sends_alone(count):
    messages = [{"type": "http.response.body", "body": b"", "more_body": True}] * count

    async def emit():
        for message in messages:
            await send(message)

    return emit


def collected(candidate, body):
    """The messages one run of `candidate` sends."""
    got = []

    async def record(message):
        got.append(message)

    run_awaited(candidate(body, record), 1)
    return got


def run_awaited(make, calls):
    """ns per `await make()` over `calls` awaits in one Python coroutine."""

    async def loop():
        for _ in range(calls):
            await make()

    start = time.perf_counter_ns()
    try:
        loop().send(None)
    except StopIteration:
        pass
    else:
        raise AssertionError("the no-op send never suspends")
    return (time.perf_counter_ns() - start) / calls


def run_called(function, calls):
    start = time.perf_counter_ns()
    for _ in range(calls):
        function()
    return (time.perf_counter_ns() - start) / calls


def best_in_turns(runner, candidates, calls, rounds):
    best = [float("inf")] * len(candidates)
    for _ in range(rounds):
        for i, candidate in enumerate(candidates):
            best[i] = min(best[i], runner(candidate, calls))
    return best


def main():
    quick = "--quick" in sys.argv
    calls, rounds = (2000, 3) if quick else (50000, 7)

    print(f"{'response':<9} {'quillmoth':>10} {'starlette':>10} {'ratio':>7}   sends alone: quillmoth, starlette")
    for name, body, scale in (("small", SMALL, 1), ("1 MiB", LARGE, 50)):
        mine, peer = collected(ours, body), collected(starlette, body)
        assert b"".join(m["body"] for m in mine[1:]) == b"".join(m["body"] for m in peer[1:]) == body
        t_ours, t_peer, floor_ours, floor_peer = best_in_turns(
            run_awaited, [ours(body), starlette(body), sends_alone(len(mine)), sends_alone(len(peer))],
            max(1, calls // scale), rounds)
        print(f"{name:<9} {t_ours:>8.0f}ns {t_peer:>8.0f}ns {t_peer / t_ours:>6.2f}x   "
              f"{len(mine)} messages {floor_ours:.0f}ns, {len(peer)} messages {floor_peer:.0f}ns")

    print()
    if PeerEvent is None:
        print("sse-starlette is not installed: write_sse not compared")
        return
    text_fields = dict(event="tick", id="42", retry=1500)
    text_ours = TextServerSentEvent("temperature 21.5", **text_fields)
    text_peer = PeerEvent("temperature 21.5", sep="\n", **text_fields)
    assert write_sse(text_ours) == text_peer.encode()
    payload = {"sensor": "t-1", "value": 21.5, "tags": ["a", "b"]}
    assert write_sse(ServerSentEvent(payload, id="7")) == PeerJSONEvent(payload, id="7", sep="\n").encode()
    print(f"{'event':<9} {'quillmoth':>10} {'sse-starl.':>10} {'ratio':>7}")
    rows = (
        ("text", lambda: write_sse(text_ours), text_peer.encode),
        ("json", lambda: write_sse(ServerSentEvent(payload, id="7")),
         lambda: PeerJSONEvent(payload, id="7", sep="\n").encode()),
    )
    for name, mine, peer in rows:
        t_ours, t_peer = best_in_turns(run_called, [mine, peer], calls, rounds)
        print(f"{name:<9} {t_ours:>8.0f}ns {t_peer:>8.0f}ns {t_peer / t_ours:>6.2f}x")


if __name__ == "__main__":
    main()
