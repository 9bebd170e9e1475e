"""Header lookup: Message.get_first_header, Headers.get and Headers.contains / `in` on a 20-header
message, side by side with multidict's CIMultiDict (getone / getall / in) and a plain-Python scan
of the same list of (name, value) tuples, for a key found first, found last and not found.

Also times what each request pays: wrapping the raw list plus one lookup, and wrapping it (or, for
CIMultiDict, building it from the raw bytes) plus three lookups; and checks that lookups which find
nothing allocate nothing.

    .venv/bin/python bench/bench_headers.py [--quick]
"""

import argparse
import gc
import sys
import timeit
import tracemalloc
from itertools import repeat

from multidict import CIMultiDict

from quillmoth.headers import Headers
from quillmoth.messages import Message

# A typical browser request: 20 headers, names in the case clients send them.
RAW = [
    (b"Host", b"example.org"),
    (b"User-Agent", b"Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0"),
    (b"Accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"Accept-Language", b"en-GB,en;q=0.5"),
    (b"Accept-Encoding", b"gzip, deflate, br, zstd"),
    (b"Referer", b"https://example.org/articles/2026/"),
    (b"Connection", b"keep-alive"),
    (b"Cookie", b"session=7f3a9c; theme=dark; consent=1"),
    (b"Upgrade-Insecure-Requests", b"1"),
    (b"Sec-Fetch-Dest", b"document"),
    (b"Sec-Fetch-Mode", b"navigate"),
    (b"Sec-Fetch-Site", b"same-origin"),
    (b"Sec-Fetch-User", b"?1"),
    (b"Priority", b"u=0, i"),
    (b"Pragma", b"no-cache"),
    (b"Cache-Control", b"no-cache"),
    (b"DNT", b"1"),
    (b"X-Forwarded-For", b"203.0.113.7"),
    (b"X-Request-Id", b"c0ffee00-1234-5678-9abc-def012345678"),
    (b"Content-Type", b"text/html; charset=utf-8"),
]
assert len(RAW) == 20

# Keys in lower case, as framework code writes them (the stored names are mixed case).
CASES = {
    "hit-first": b"host",
    "hit-last": b"content-type",
    "miss": b"authorization",
}


def scan_first(headers, key):
    key = key.lower()
    for name, value in headers:
        if name.lower() == key:
            return value
    return None


def scan_all(headers, key):
    key = key.lower()
    return [value for name, value in headers if name.lower() == key]


def scan_contains(headers, key):
    key = key.lower()
    for name, _ in headers:
        if name.lower() == key:
            return True
    return False


def measure(stmts, env, number, repeat_count):
    """Best time per call in ns of each statement over `repeat_count` runs of `number` calls. The
    runs of the statements alternate, so a change in machine load touches all of them alike."""
    timers = [timeit.Timer(stmt, globals=env) for stmt in stmts]
    best = [float("inf")] * len(stmts)
    for _ in range(repeat_count):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number))
    return [t / number * 1e9 for t in best]


def traced_peak_on_miss(call, key, loops=100_000):
    """Peak of the memory tracemalloc sees allocated during `loops` calls, in bytes. Any call that
    allocates raises it by at least the size of what it allocates, even when that is freed again
    before the next call (see the bytes.lower control row)."""
    for _ in repeat(None, 100):
        call(key)
    gc.collect()
    gc.disable()
    try:
        tracemalloc.start()
        calls = repeat(None, loops)
        tracemalloc.reset_peak()
        before, _ = tracemalloc.get_traced_memory()
        for _ in calls:
            call(key)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
    finally:
        gc.enable()
    return peak - before


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer iterations (smoke run)")
    args = parser.parse_args()
    number, repeat_count = (20_000, 3) if args.quick else (200_000, 7)

    message = Message(list(RAW))
    headers = Headers(list(RAW))
    multi = CIMultiDict((name.decode("latin-1"), value.decode("latin-1")) for name, value in RAW)
    plain = list(RAW)

    rows = [
        # (ours, multidict peer, python peer)
        ("message.get_first_header(k)", "multi.getone(s, None)", "scan_first(plain, k)"),
        ("headers.get_first(k)", "multi.getone(s, None)", "scan_first(plain, k)"),
        ("headers.get(k)", "multi.getall(s, ())", "scan_all(plain, k)"),
        ("message.get_headers(k)", "multi.getall(s, ())", "scan_all(plain, k)"),
        ("headers.contains(k)", "s in multi", "scan_contains(plain, k)"),
        ("k in headers", "s in multi", "scan_contains(plain, k)"),
        ("message.has_header(k)", "s in multi", "scan_contains(plain, k)"),
    ]

    print(f"Python {sys.version.split()[0]}, 20 headers, {number} calls x {repeat_count} runs, best run, ns per call")
    print("CIMultiDict holds the same headers with str keys; python = list-of-tuples scan lowering each name\n")
    title = (f"{'case':<10} {'quillmoth':<28} {'ns':>6}   {'CIMultiDict':<22} {'ns':>6} {'python':>7}"
             f" {'md/ours':>8} {'py/ours':>8}")
    print(title)
    print("-" * len(title))
    for case, key in CASES.items():
        env = {
            "message": message, "headers": headers, "multi": multi, "plain": plain,
            "k": key, "s": key.decode("latin-1"),
            "scan_first": scan_first, "scan_all": scan_all, "scan_contains": scan_contains,
        }
        for ours, peer, python in rows:
            t_ours, t_peer, t_py = measure([ours, peer, python], env, number, repeat_count)
            print(f"{case:<10} {ours:<28} {t_ours:6.1f}   {peer:<22} {t_peer:6.1f} {t_py:7.1f}"
                  f" {t_peer / t_ours:7.2f}x {t_py / t_ours:7.2f}x")
        print()
    print("md/ours, py/ours: the peer's time divided by ours (above 1: ours is faster)\n")

    # What a framework pays per request: wrap the server's raw list, then read one header. The
    # CIMultiDict is given pairs already decoded to str, which a server does not deliver.
    print("Per request: wrap the raw 20-header list, then look up one header")
    decoded = [(name.decode("latin-1"), value.decode("latin-1")) for name, value in RAW]
    env = {"Message": Message, "Headers": Headers, "CIMultiDict": CIMultiDict, "raw": RAW, "decoded": decoded,
           "scan_first": scan_first}
    for case, key in CASES.items():
        env["k"], env["s"] = key, key.decode("latin-1")
        t_msg, t_view, t_md, t_py = measure(
            ["Message(list(raw)).get_first_header(k)", "Headers(list(raw)).get_first(k)",
             "CIMultiDict(decoded).getone(s, None)", "scan_first(list(raw), k)"],
            env, number // 10, repeat_count)
        print(f"{case:<10} Message {t_msg:7.1f}  Headers {t_view:7.1f}  CIMultiDict {t_md:7.1f}  python {t_py:7.1f}"
              f"   md/Message {t_md / t_msg:5.2f}x")
    print()

    # The same with the CIMultiDict built from the raw bytes (decoding every name and value, as a
    # framework over a server's raw list must), then a late hit, an early hit and a miss.
    def per_request_multidict(raw):
        built = CIMultiDict((name.decode("latin-1"), value.decode("latin-1")) for name, value in raw)
        return built.get("content-type"), built.get("host"), built.get("authorization")

    def per_request_headers(raw):
        view = Headers(raw)
        return view.get_first(b"content-type"), view.get_first(b"host"), view.get_first(b"authorization")

    def per_request_message(raw):
        msg = Message(raw)
        return (msg.get_first_header(b"content-type"), msg.get_first_header(b"host"),
                msg.get_first_header(b"authorization"))

    print("Per request from raw bytes: wrap (or build a CIMultiDict, decoding), then a late hit, an early hit"
          " and a miss")
    env = {"per_request_multidict": per_request_multidict, "per_request_headers": per_request_headers,
           "per_request_message": per_request_message, "raw": RAW}
    t_md, t_view, t_msg = measure(
        ["per_request_multidict(list(raw))", "per_request_headers(list(raw))", "per_request_message(list(raw))"],
        env, number // 10, repeat_count)
    print(f"           CIMultiDict {t_md:7.1f}  Headers {t_view:7.1f}  Message {t_msg:7.1f}"
          f"   md/Headers {t_md / t_view:5.2f}x  md/Message {t_md / t_msg:5.2f}x")
    print()

    # Lookups reached natively through the operation table (content_type() reads the content-type
    # header with get_first_header) on subclasses that redefine nothing: four classes taking turns
    # must stay as fast as one class alone, each found in the override cache.
    subclasses = [type(f"Sub{i}", (Message,), {}) for i in range(4)]
    alone = [subclasses[0](list(RAW)) for _ in range(4)]
    mixed = [cls(list(RAW)) for cls in subclasses]
    exact = [Message(list(RAW)) for _ in range(4)]

    def turns(messages):
        for m in messages:
            m.content_type()

    env = {"turns": turns, "alone": alone, "mixed": mixed, "exact": exact}
    t_exact, t_alone, t_mixed = (t / 4 for t in measure(["turns(exact)", "turns(alone)", "turns(mixed)"], env,
                                                         number // 4, repeat_count))
    print("Native lookup through the table (content_type() -> get_first_header), ns per call")
    print(f"           Message {t_exact:6.1f}  one subclass {t_alone:6.1f}  four subclasses in turn {t_mixed:6.1f}"
          f"   four/one {t_mixed / t_alone:5.2f}x")
    print()

    # keys(): distinct names in order, linear in the number of pairs.
    print("Headers.keys() over n distinct names, ns per pair")
    for n in (20, 1_000, 100_000):
        many = Headers([(b"x-name-%d" % i, b"v") for i in range(n)])
        (t_keys,) = measure(["many.keys()"], {"many": many}, max(1, 200_000 // n), 3)
        print(f"           n={n:<7} {t_keys / n:6.1f}")
    print()

    miss = CASES["miss"]
    print(f"Allocations: traced peak in bytes over 100000 lookups that find nothing (key {miss!r})")
    traced_peak_on_miss(len, miss)  # the first traced run pays one-time costs
    for label, call in [
        ("control: len (allocates nothing)", len),
        ("control: bytes.lower (one bytes per call)", bytes.lower),
        ("Message.get_first_header", message.get_first_header),
        ("Message.has_header", message.has_header),
        ("Headers.get_first", headers.get_first),
        ("Headers.get", headers.get),
        ("Headers.contains", headers.contains),
        ("key in Headers", lambda key: key in headers),
        ("control: key in a list (allocates nothing)", lambda key: key in plain),
    ]:
        print(f"  {label:<44} {traced_peak_on_miss(call, miss):>6}")


if __name__ == "__main__":
    main()
