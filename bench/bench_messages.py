"""Requests from ASGI pieces, the message pools, and reading a JSON body, side by side in one run.

    .venv/bin/python bench/bench_messages.py [--quick]

Prints nanoseconds per operation for:
  - a request made from the pieces of an ASGI scope, then three header reads, its cookies and its
    URL: acquire_request (+ release_request) and Request.incoming, against Starlette's
    Request(scope) doing the same reads (target: at least 5x faster);
  - acquire_request + release_request against constructing a new Request each time;
  - `await request.json()` on a 2 KB body against msgspec.json.decode of the same bytes alone
    (target: within 1.1x).
"""

import argparse
import asyncio
import sys
import time

import msgspec
from starlette.requests import Request as StarletteRequest

from quillmoth.contents import Content
from quillmoth.messages import Request, acquire_request, get_request_absolute_url, release_request

HEADERS = [
    (b"host", b"example.org"),
    (b"user-agent", b"Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0"),
    (b"accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"accept-language", b"en-GB,en;q=0.5"),
    (b"accept-encoding", b"gzip, deflate, br, zstd"),
    (b"referer", b"https://example.org/articles/2026/"),
    (b"connection", b"keep-alive"),
    (b"cookie", b"session=7f3a9c; theme=dark; consent=1"),
    (b"upgrade-insecure-requests", b"1"),
    (b"sec-fetch-dest", b"document"),
    (b"sec-fetch-mode", b"navigate"),
    (b"sec-fetch-site", b"same-origin"),
]
SCOPE = {
    "type": "http",
    "asgi": {"version": "3.0", "spec_version": "2.4"},
    "http_version": "1.1",
    "server": ("127.0.0.1", 8000),
    "client": ("127.0.0.1", 51000),
    "scheme": "https",
    "method": "GET",
    "root_path": "",
    "path": "/articles/2026/moths",
    "raw_path": b"/articles/2026/moths",
    "query_string": b"page=2&sort=desc",
    "headers": HEADERS,
}


def ours_acquire(scope=SCOPE):
    request = acquire_request(scope["method"], scope["raw_path"], scope["query_string"], scope["headers"], scope)
    request.get_first_header(b"host")
    request.get_first_header(b"user-agent")
    request.get_first_header(b"accept")
    request.cookies
    request.url
    release_request(request)


def ours_incoming(scope=SCOPE, incoming=Request.incoming):
    request = incoming(scope["method"], scope["raw_path"], scope["query_string"], scope["headers"])
    request.scope = scope
    request.get_first_header(b"host")
    request.get_first_header(b"user-agent")
    request.get_first_header(b"accept")
    request.cookies
    request.url


def ours_absolute(scope=SCOPE):
    request = acquire_request(scope["method"], scope["raw_path"], scope["query_string"], scope["headers"], scope)
    request.get_first_header(b"host")
    request.get_first_header(b"user-agent")
    request.get_first_header(b"accept")
    request.cookies
    get_request_absolute_url(request)
    release_request(request)


def starlette(scope=SCOPE):
    request = StarletteRequest(scope)
    headers = request.headers
    headers.get("host")
    headers.get("user-agent")
    headers.get("accept")
    request.cookies
    request.url


def new_request(scope=SCOPE):
    Request(scope["method"], None, scope["headers"])


def pooled_request(scope=SCOPE):
    release_request(acquire_request(scope["method"], scope["raw_path"], scope["query_string"], scope["headers"], scope))


def measure(candidates, rounds, repeats):
    """Best ns per call of each (name, func); the candidates take turns in every repeat, so a change
    in machine load touches all of them alike."""
    best = {name: float("inf") for name, _ in candidates}
    for _ in range(repeats):
        for name, func in candidates:
            start = time.perf_counter_ns()
            for _ in range(rounds):
                func()
            best[name] = min(best[name], (time.perf_counter_ns() - start) / rounds)
    return best


def report(title, best, reference):
    print(title)
    for name, ns in best.items():
        ratio = best[reference] / ns if name != reference else 1.0
        print(f"  {name:<44} {ns:9.1f} ns   {reference}/this {ratio:6.2f}x")
    print()


# --- JSON body -------------------------------------------------------------------------------

def json_body():
    items = [{"id": i, "name": f"moth {i}", "wingspan_mm": 30 + i % 17, "tags": ["night", "lepidoptera"]}
             for i in range(24)]
    body = msgspec.json.encode({"items": items, "page": 2})
    return body[:2048] if len(body) <= 2048 else msgspec.json.encode({"items": items[:20], "page": 2})


def measure_json(rounds, repeats):
    body = json_body()
    request = Request("POST", b"/items", [(b"content-type", b"application/json")])
    request.content = Content(b"application/json", body)
    decode = msgspec.json.decode

    def drive(coroutine):
        # One await from start to finish, as a task step would run it.
        try:
            coroutine.send(None)
        except StopIteration as stop:
            return stop.value
        raise RuntimeError("the coroutine suspended")

    def ours():
        drive(request.json())

    def alone():
        decode(body)

    async def in_task():
        start = time.perf_counter_ns()
        for _ in range(rounds):
            await request.json()
        return (time.perf_counter_ns() - start) / rounds

    best = measure([("msgspec.json.decode(body)", alone), ("await request.json() (driven)", ours)], rounds, repeats)
    best["await request.json() (in a task)"] = min(asyncio.run(in_task()) for _ in range(repeats))
    return len(body), best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer iterations (smoke run)")
    args = parser.parse_args()
    rounds, repeats = (5_000, 3) if args.quick else (50_000, 7)
    print(f"Python {sys.version.split()[0]}, {len(HEADERS)} headers, best of {repeats} runs of {rounds} calls\n")

    best = measure([("Starlette Request(scope) + reads", starlette), ("acquire_request + reads + release", ours_acquire),
                    ("Request.incoming + reads", ours_incoming),
                    ("acquire + reads (absolute URL) + release", ours_absolute)], rounds, repeats)
    report("Request from an ASGI scope, 3 header reads, cookies, url", best, "Starlette Request(scope) + reads")

    best = measure([("Request(method, None, headers)", new_request), ("acquire_request + release_request",
                                                                       pooled_request)], rounds, repeats)
    report("A request object per request: new against pooled", best, "Request(method, None, headers)")

    if hasattr(Request, "json"):
        size, best = measure_json(rounds, repeats)
        report(f"JSON body of {size} bytes", best, "msgspec.json.decode(body)")


if __name__ == "__main__":
    main()
