"""URL-encoded form parsing and server-sent event data, side by side in one run.

    .venv/bin/python bench/bench_contents.py [--quick]

Prints nanoseconds per call for:
  - parse_www_form_urlencoded(text) (quillmoth.contents) against urllib.parse.parse_qs(text,
    keep_blank_values=True) and a werkzeug MultiDict built from parse_qsl (how a form body usually
    ends up in a werkzeug request), on three forms (a short login form, a form with escapes and
    repeated keys, a 60-field form). The results differ in shape (a dict of str or list against a
    dict of lists or a MultiDict); the parsing work is the same;
  - TextServerSentEvent.write_data() on a three-line payload against the equivalent Python
    `re.sub` of the line breaks.
Each candidate runs the same number of calls; the best of several repeats is reported.
"""

import re
import sys
import time
from urllib.parse import parse_qs, parse_qsl

from quillmoth.contents import TextServerSentEvent, parse_www_form_urlencoded

try:
    from werkzeug.datastructures import MultiDict
except ImportError:
    MultiDict = None

FORMS = {
    "login": "username=ada&password=s3cr3t&remember=on",
    "escapes": "q=caf%C3%A9+au+lait&tag=a&tag=b&tag=c&note=50%25+off%21&empty=&flag",
    "60 fields": "&".join(f"field{i}=value+{i}%20x" for i in range(60)),
}

_LINES_RX = re.compile(r"\r\n|\r|\n")


def python_write_data(text):
    return _LINES_RX.sub("\ndata: ", text)


def werkzeug_parse(text):
    return MultiDict(parse_qsl(text, keep_blank_values=True))


def best_ns(function, argument, calls, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(calls):
            function(argument)
        best = min(best, (time.perf_counter_ns() - start) / calls)
    return best


def main():
    quick = "--quick" in sys.argv
    calls, repeats = (2000, 3) if quick else (50000, 5)

    print(f"{'form':<12} {'quillmoth':>12} {'parse_qs':>12} {'ratio':>8} {'MultiDict(parse_qsl)':>20}")
    for name, text in FORMS.items():
        ours = best_ns(parse_www_form_urlencoded, text, calls, repeats)
        stdlib = best_ns(lambda t: parse_qs(t, keep_blank_values=True), text, calls, repeats)
        multi = best_ns(werkzeug_parse, text, calls, repeats) if MultiDict is not None else float("nan")
        print(f"{name:<12} {ours:>10.0f}ns {stdlib:>10.0f}ns {stdlib / ours:>7.1f}x {multi:>18.0f}ns")

    payload = "first line\nsecond line\r\nthird line"
    event = TextServerSentEvent(payload)
    assert event.write_data() == python_write_data(payload)
    ours = best_ns(lambda e: e.write_data(), event, calls, repeats)
    python = best_ns(python_write_data, payload, calls, repeats)
    print()
    print(f"{'sse data':<12} {'quillmoth':>12} {'re.sub':>12} {'ratio':>8}")
    print(f"{'3 lines':<12} {ours:>10.0f}ns {python:>10.0f}ns {python / ours:>7.1f}x")


if __name__ == "__main__":
    main()
