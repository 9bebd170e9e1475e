"""URL construction and percent coding, side by side in one run.

    .venv/bin/python bench/bench_url.py [--quick]

Prints nanoseconds per operation for:
  - URL(b) against httptools' parse_url alone (the splitter URL builds on: the floor) and yarl.URL;
  - the native percent codec against urllib.parse.quote / unquote.
Every candidate runs over the same inputs, cycled; the best of several repeats is reported.

yarl keeps an LRU cache of parsed URL strings (128 entries), so the URL figures are given twice:
over a few repeated URLs (yarl answers from its cache) and over 4096 distinct URLs (every call
parses). The targets are read on the distinct set, where each library does its parsing work.
"""

import sys
import time
import urllib.parse

import httptools
import yarl

from quillmoth.url import URL, _quote, _unquote

URLS = [
    b"/",
    b"/api/v1/users/42",
    b"/search?q=moth&page=2",
    b"/static/css/site.min.css",
    b"http://example.org/",
    b"https://example.org:8443/app/items?id=10&sort=desc#top",
    b"http://localhost:8080/health",
    b"/a/very/long/path/with/many/segments/for/routing/tests/and/some/more?x=1&y=2&z=3",
]
URL_TEXTS = [u.decode() for u in URLS]
# The same shapes made distinct by a counter in the query or path.
DISTINCT_URLS = [
    (u + (b"&" if b"?" in u else b"?") + b"n=%d" % i) if b"#" not in u else u.replace(b"#", b"&n=%d#" % i)
    for i in range(512)
    for u in URLS
]
DISTINCT_TEXTS = [u.decode() for u in DISTINCT_URLS]

QUOTE_INPUTS = ["plain", "/a/b/c", "hello world", "caf\u00e9/na\u00efve", "a&b=c d", "x" * 40 + " y"]
UNQUOTE_INPUTS = ["plain", "/a/b/c", "hello%20world", "caf%C3%A9/na%C3%AFve", "a%26b%3Dc%20d", "%E2%82%AC" * 8]


def time_pass(func, inputs, rounds):
    """Nanoseconds per call of `rounds` passes over `inputs`."""
    start = time.perf_counter_ns()
    for _ in range(rounds):
        for value in inputs:
            func(value)
    return (time.perf_counter_ns() - start) / (rounds * len(inputs))


def compare(candidates, rounds, repeats):
    """Best ns/op of each (name, func, inputs); the candidates take turns in every repeat, so a
    change in machine load touches all of them alike."""
    best = {name: float("inf") for name, _, _ in candidates}
    for _ in range(repeats):
        for name, func, inputs in candidates:
            best[name] = min(best[name], time_pass(func, inputs, rounds))
    return [(name, best[name]) for name, _, _ in candidates]


def report(title, rows, reference):
    print(title)
    base = dict(rows)[reference]
    width = max(len(name) for name, _ in rows)
    for name, ns in rows:
        print(f"  {name:<{width}}  {ns:8.1f} ns/op   {ns / base:5.2f}x {reference}")
    print()


def main():
    quick = "--quick" in sys.argv
    rounds = 200 if quick else 2_000
    repeats = 5 if quick else 15

    # Same results first: a benchmark of functions that disagree would measure nothing useful.
    for raw in URLS + DISTINCT_URLS[:64]:
        parsed = httptools.parse_url(raw)
        ours = URL(raw)
        assert (ours.schema, ours.host, ours.path, ours.query, ours.fragment) == (
            parsed.schema, parsed.host, parsed.path, parsed.query, parsed.fragment,
        )
    for text in QUOTE_INPUTS:
        assert _quote(text) == urllib.parse.quote(text)
    for text in UNQUOTE_INPUTS:
        assert _unquote(text) == urllib.parse.unquote(text)

    rows = compare(
        [
            ("httptools.parse_url(b)", httptools.parse_url, URLS),
            ("URL(b)", URL, URLS),
            ("yarl.URL(str)", yarl.URL, URL_TEXTS),
        ],
        rounds,
        repeats,
    )
    report(f"URL construction, {len(URLS)} repeated URLs (yarl served from its cache)", rows, "httptools.parse_url(b)")

    distinct_rounds = max(1, rounds * len(URLS) // len(DISTINCT_URLS))
    rows = compare(
        [
            ("httptools.parse_url(b)", httptools.parse_url, DISTINCT_URLS),
            ("URL(b)", URL, DISTINCT_URLS),
            ("yarl.URL(str)", yarl.URL, DISTINCT_TEXTS),
        ],
        distinct_rounds,
        repeats,
    )
    report(f"URL construction, {len(DISTINCT_URLS)} distinct URLs (every call parses)", rows, "httptools.parse_url(b)")
    ours = dict(rows)["URL(b)"]
    print(f"  URL(b) / parse_url alone: {ours / dict(rows)['httptools.parse_url(b)']:.2f}x the floor (target <= 1.3x)")
    print(f"  yarl.URL / URL(b):        {dict(rows)['yarl.URL(str)'] / ours:.2f}x (target >= 2x)")
    print()

    rows = compare(
        [("urllib.parse.quote", urllib.parse.quote, QUOTE_INPUTS), ("native quote", _quote, QUOTE_INPUTS)],
        rounds,
        repeats,
    )
    report(f"quote ({len(QUOTE_INPUTS)} texts cycled)", rows, "urllib.parse.quote")
    rows = compare(
        [("urllib.parse.unquote", urllib.parse.unquote, UNQUOTE_INPUTS), ("native unquote", _unquote, UNQUOTE_INPUTS)],
        rounds,
        repeats,
    )
    report(f"unquote ({len(UNQUOTE_INPUTS)} texts cycled)", rows, "urllib.parse.unquote")


if __name__ == "__main__":
    main()
