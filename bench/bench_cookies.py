"""Cookie parsing and Set-Cookie writing, side by side in one run.

    .venv/bin/python bench/bench_cookies.py [--quick]

Prints nanoseconds per operation for:
  - parse_cookie(bytes) against http.cookies.SimpleCookie(str) (given the text already decoded);
  - write_cookie_for_response(cookie) against an existing SimpleCookie morsel's OutputString()
    and werkzeug's dump_cookie(...), both encoded to bytes as a header value must be.

write_cookie_for_response is a native export, not a Python function: it is reached here through
ctypes, bound from the module's export table exactly as sibling modules bind it. The ctypes call
itself costs time, so the same call path to a C function that does nothing but return its
argument (Py_NewRef) is timed as well; the native figure includes that cost and is not corrected.
"""

import ctypes
import datetime
import http.cookies
import sys
import time
from pathlib import Path

from werkzeug.http import dump_cookie

# The export binder the tests use (tests/cookies_native.py).
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from cookies_native import write_cookie_for_response
from quillmoth.cookies import Cookie, parse_cookie

SET_COOKIE_VALUES = [
    b"sid=abc; Path=/; HttpOnly; Secure; SameSite=Lax",
    b"session=3f9a1c27b0e44d6f9e8a; Expires=Wed, 21 Oct 2015 07:28:00 GMT; Max-Age=3600; Domain=example.org; "
    b"Path=/; HttpOnly",
    b"theme=dark",
    b"token=a%20b%2Fc; Path=/app; SameSite=Strict; Secure",
    b"lang=en-GB; Max-Age=31536000; Path=/",
]
SET_COOKIE_TEXTS = [raw.decode() for raw in SET_COOKIE_VALUES]

WHEN = datetime.datetime(2015, 10, 21, 7, 28)
# (name, value, expires, max_age, domain, path, http_only, secure, same_site)
COOKIE_FIELDS = [
    ("sid", "abc", None, -1, None, "/", True, True, "Lax"),
    ("session", "3f9a1c27b0e44d6f9e8a", WHEN, 3600, "example.org", "/", True, False, None),
    ("theme", "dark", None, -1, None, None, False, False, None),
    ("token", "a b/c", None, -1, None, "/app", False, True, "Strict"),
    ("lang", "en-GB", None, 31536000, None, "/", False, False, None),
]
SAME_SITE = {None: 0, "Lax": 1, "Strict": 2, "None": 3}


def make_cookie(name, value, expires, max_age, domain, path, http_only, secure, same_site):
    return Cookie(name, value, expires=expires, domain=domain, path=path, http_only=http_only, secure=secure,
                  max_age=max_age, same_site=SAME_SITE[same_site])


def make_morsel(name, value, expires, max_age, domain, path, http_only, secure, same_site):
    jar = http.cookies.SimpleCookie()
    jar[name] = value
    morsel = jar[name]
    if expires is not None:
        morsel["expires"] = expires.strftime("%a, %d %b %Y %H:%M:%S GMT")
    if max_age >= 0:
        morsel["max-age"] = max_age
    if domain:
        morsel["domain"] = domain
    if path:
        morsel["path"] = path
    morsel["httponly"] = http_only
    morsel["secure"] = secure
    if same_site:
        morsel["samesite"] = same_site
    return morsel


def dump_args(name, value, expires, max_age, domain, path, http_only, secure, same_site):
    return dict(key=name, value=value, expires=expires, max_age=max_age if max_age >= 0 else None, domain=domain,
                path=path, secure=secure, httponly=http_only, samesite=same_site)


def best_ns_per_op(func, inputs, rounds, repeats):
    """Best of `repeats` timings of `rounds` passes over `inputs`, per call."""
    best = float("inf")
    calls = rounds * len(inputs)
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(rounds):
            for value in inputs:
                func(value)
        elapsed = time.perf_counter_ns() - start
        best = min(best, elapsed / calls)
    return best


def main():
    quick = "--quick" in sys.argv
    rounds, repeats = (300, 3) if quick else (3000, 7)

    # The peers must produce the same information, or the comparison would be meaningless.
    for raw, text in zip(SET_COOKIE_VALUES, SET_COOKIE_TEXTS):
        ours = parse_cookie(raw)
        morsel = next(iter(http.cookies.SimpleCookie(text).values()))
        assert (ours.name, ours.value) == (morsel.key, morsel.value.replace("%20", " ").replace("%2F", "/"))
    cookies = [make_cookie(*fields) for fields in COOKIE_FIELDS]
    morsels = [make_morsel(*fields) for fields in COOKIE_FIELDS]
    dumps = [dump_args(*fields) for fields in COOKIE_FIELDS]
    for cookie, morsel in zip(cookies, morsels):
        assert write_cookie_for_response(cookie).split(b"=", 1)[0] == morsel.OutputString().split("=", 1)[0].encode()

    identity = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(
        ctypes.cast(ctypes.pythonapi.Py_NewRef, ctypes.c_void_p).value)

    rows = []

    def measure(group, label, func, inputs):
        ns = best_ns_per_op(func, inputs, rounds, repeats)
        rows.append((group, label, ns))
        return ns

    parse_ns = measure("parse", "quillmoth parse_cookie(bytes)", parse_cookie, SET_COOKIE_VALUES)
    simple_ns = measure("parse", "http.cookies.SimpleCookie(str)", http.cookies.SimpleCookie, SET_COOKIE_TEXTS)

    write_ns = measure("write", "quillmoth write_cookie_for_response (via ctypes)", write_cookie_for_response,
                       cookies)
    floor_ns = measure("write", "  ctypes call floor (Py_NewRef, same path)", identity, cookies)
    morsel_ns = measure("write", "SimpleCookie morsel.OutputString().encode()",
                        lambda m: m.OutputString().encode("latin-1"), morsels)
    dump_ns = measure("write", "werkzeug dump_cookie(...).encode()",
                      lambda kw: dump_cookie(**kw).encode("latin-1"), dumps)

    print(f"{'operation':<58} {'ns/op':>10}")
    for group, label, ns in rows:
        print(f"[{group}] {label:<50} {ns:>10.1f}")
    print()
    print(f"parse_cookie vs SimpleCookie:            {simple_ns / parse_ns:6.1f}x faster  (target >= 5x)")
    print(f"write vs SimpleCookie output:            {morsel_ns / write_ns:6.1f}x faster  (target >= 5x)")
    print(f"write vs werkzeug dump_cookie:           {dump_ns / write_ns:6.1f}x faster  (target >= 2x)")
    print(f"(write figures include the ctypes call floor of {floor_ns:.1f} ns)")


if __name__ == "__main__":
    main()
