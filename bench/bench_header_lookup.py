"""Header lookup over a typical 20-header request, side by side in one run.

    PYTHONPATH=. .venv/bin/python bench/bench_header_lookup.py [--quick]

For three keys (an early hit, a late hit, a miss), prints nanoseconds per lookup for:
  - Message.get_first_header (quillmoth.messages, when built) on the raw header list;
  - Headers.get_first, Headers.get and `key in headers` (quillmoth.headers);
  - multidict's CIMultiDict (getone / get, getall, `in`) over the same headers as str;
  - a plain-Python scan of the list of (bytes, bytes) tuples, lowering each name.
Ratios are against CIMultiDict's lookup of the same kind. A last table shows what one request pays
when the collection must first be made from the server's raw list (a CIMultiDict is built, a
Headers or Message only wraps the list). Each candidate runs the same number of
calls; the best of several interleaved repeats is reported. Finally it reports the bytes allocated by the
interpreter during 1000 missing lookups of each quillmoth kind (tracemalloc peak).
"""

import sys
import time
import tracemalloc

from multidict import CIMultiDict

from quillmoth.headers import Headers

try:
    from quillmoth.messages import Message
except ImportError:  # the messages module is optional for this benchmark
    Message = None

RAW = [
    (b"Host", b"example.org"),
    (b"User-Agent", b"Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0"),
    (b"Accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"Accept-Language", b"en-GB,en;q=0.5"),
    (b"Accept-Encoding", b"gzip, deflate, br, zstd"),
    (b"Referer", b"https://example.org/articles/2024/some-article"),
    (b"Connection", b"keep-alive"),
    (b"Cookie", b"session=abc123; theme=dark; lang=en"),
    (b"Upgrade-Insecure-Requests", b"1"),
    (b"Sec-Fetch-Dest", b"document"),
    (b"Sec-Fetch-Mode", b"navigate"),
    (b"Sec-Fetch-Site", b"same-origin"),
    (b"Sec-Fetch-User", b"?1"),
    (b"Priority", b"u=0, i"),
    (b"Pragma", b"no-cache"),
    (b"Cache-Control", b"no-cache"),
    (b"X-Forwarded-For", b"203.0.113.7"),
    (b"X-Request-Id", b"5b1c2f0e-1c7e-4b8a-9a43-2f1f5a1b9c00"),
    (b"Content-Length", b"0"),
    (b"Content-Type", b"application/json; charset=utf-8"),
]
KEYS = [("early hit", b"host"), ("late hit", b"content-type"), ("miss", b"x-absent-header")]


def python_scan_first(raw, key):
    key = key.lower()
    for name, value in raw:
        if name.lower() == key:
            return value
    return None


def best_ns_each(candidates, calls, repeats):
    """Best ns per call of each (func, arg); the repeats are interleaved across the candidates so
    that a burst of load on the machine does not fall on one candidate only."""
    best = [float("inf")] * len(candidates)
    loop = range(calls)
    for _ in range(repeats):
        for index, (func, arg) in enumerate(candidates):
            start = time.perf_counter_ns()
            for _ in loop:
                func(arg)
            best[index] = min(best[index], (time.perf_counter_ns() - start) / calls)
    return best


def traced_bytes(func, arg, calls=1000):
    for _ in range(10):
        func(arg)
    loop = iter([None] * calls)
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        for _ in loop:
            func(arg)
        return tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()


def main():
    quick = "--quick" in sys.argv
    calls, repeats = (20_000, 3) if quick else (50_000, 25)
    headers = Headers(list(RAW))
    multi = CIMultiDict((n.decode(), v.decode()) for n, v in RAW)
    message = Message(list(RAW)) if Message is not None else None

    def multi_getone_or_get(key):
        # getone raises on a miss; get is the equivalent lookup that returns a default
        return multi.get(key)

    print(f"{len(RAW)} headers, {calls} calls per candidate, best of {repeats}\n")
    for label, key in KEYS:
        skey = key.decode()
        first = [("CIMultiDict.getone/get", multi.getone if label != "miss" else multi_getone_or_get, skey)]
        if message is not None:
            first.append(("Message.get_first_header", message.get_first_header, key))
        first += [("Headers.get_first", headers.get_first, key),
                  ("python list scan", lambda k: python_scan_first(RAW, k), key)]
        groups = [
            ("first value", first),
            ("all values", [("CIMultiDict.getall(k, ())", lambda k: multi.getall(k, ()), skey),
                            ("Headers.get", headers.get, key)]),
            ("membership", [("key in CIMultiDict", lambda k: k in multi, skey),
                            ("Headers.contains", headers.contains, key),
                            ("key in Headers", lambda k: k in headers, key)]),
        ]
        print(f"== {label}: {key!r}")
        for title, rows in groups:
            timings = best_ns_each([(func, arg) for _, func, arg in rows], calls, repeats)
            measured = [(name, ns) for (name, _, _), ns in zip(rows, timings)]
            reference = measured[0][1]
            width = max(len(name) for name, _ in measured)
            print(f"  {title}")
            for name, ns in measured:
                print(f"    {name:<{width}}  {ns:7.1f} ns/op   {reference / ns:5.2f}x speed of {rows[0][0]}")
            if title == "first value":
                scan = dict(measured)["python list scan"]
                native = dict(measured)["Headers.get_first"]
                print(f"    Headers.get_first is {scan / native:.1f}x the plain-Python scan")
        print()

    # What a request pays: the server hands over the raw list; a CIMultiDict has to be built from
    # it (names and values as str) before its first lookup, the collections here wrap the list.
    def per_request_multidict(raw):
        built = CIMultiDict((n.decode("latin-1"), v.decode("latin-1")) for n, v in raw)
        return built.get("content-type"), built.get("host"), built.get("x-absent-header")

    def per_request_headers(raw):
        view = Headers(raw)
        return view.get_first(b"content-type"), view.get_first(b"host"), view.get_first(b"x-absent-header")

    rows = [("CIMultiDict(raw) + 3 lookups", per_request_multidict), ("Headers(raw) + 3 get_first", per_request_headers)]
    if Message is not None:
        def per_request_message(raw):
            msg = Message(raw)
            return (msg.get_first_header(b"content-type"), msg.get_first_header(b"host"),
                    msg.get_first_header(b"x-absent-header"))

        rows.append(("Message(raw) + 3 get_first_header", per_request_message))
    timings = best_ns_each([(func, RAW) for _, func in rows], calls // 10, repeats)
    measured = [(name, ns) for (name, _), ns in zip(rows, timings)]
    reference = measured[0][1]
    width = max(len(name) for name, _ in measured)
    print("== per request: wrap or build over the raw list, then a late hit, an early hit and a miss")
    for name, ns in measured:
        print(f"    {name:<{width}}  {ns:8.1f} ns/request   {reference / ns:5.2f}x speed of {rows[0][0]}")
    print()

    miss = KEYS[-1][1]
    print("== interpreter allocations during 1000 missing lookups (tracemalloc peak, bytes)")
    candidates = [("Headers.get", headers.get), ("Headers.get_first", headers.get_first),
                  ("Headers.contains", headers.contains)]
    if message is not None:
        candidates.insert(0, ("Message.get_first_header", message.get_first_header))
    for name, func in candidates:
        print(f"    {name:<26} {traced_bytes(func, miss)}")


if __name__ == "__main__":
    main()
