"""Hostile requests to the hardening application under uvicorn (httptools), over raw sockets: header
blocks past what servers usually take, floods of headers, cookies, query parameters and form
fields, request lines and Hosts that are not UTF-8, malformed and oversized multipart bodies,
Content-Lengths that lie, bodies that trickle in.

Each request gets the answer its row gives, from the framework or from the server itself (which
refuses what it cannot parse with its own 400, or closes the connection without an answer): never a
500, never a hang (every read has a timeout). After each one no request is left in flight and
/hello still answers; at the end the server's log has no traceback."""

import json
import os
import socket
import sys
import time

import httpx
import pytest

from test_serving import free_port, start_server, stop_server

MAX_BODY = int(os.environ.get("QM_HARDENING_MAX_BODY", 1024 * 1024))  # the hardening app's max_body_size
MB = 1024 * 1024
REFUSED = "refused by the server"  # its own 400, or the connection closed without an answer
BOUNDARY = b"h0stileB0undary"
MULTIPART = b"multipart/form-data; boundary=" + BOUNDARY


def serve():
    port = free_port()
    process = start_server([sys.executable, "-m", "uvicorn", "hardening_app:app", "--host", "127.0.0.1", "--port",
                            str(port), "--no-access-log", "--log-level", "info", "--loop", "asyncio", "--http",
                            "httptools"], port)
    return f"http://127.0.0.1:{port}", port, process


@pytest.fixture(scope="module")
def server():
    url, port, process = serve()
    yield url, port
    stop_server(process)
    errors = process.stderr.read().decode(errors="replace")
    assert "Traceback" not in errors and "Task was destroyed" not in errors, errors


class ThenClose(bytes):
    """What the client sends before it shuts its side of the connection."""


class NotTheRowsAnswer(AssertionError):
    """An answer that is neither a 500 nor a hang, but not the one the row expects."""


def request(target, *headers, method=b"GET", host=b"x", body=None, content_type=None, length=None):
    lines = [method + b" " + target + b" HTTP/1.1", b"Host: " + host, *headers]
    if content_type is not None:
        lines.append(b"Content-Type: " + content_type)
    if body is not None or length is not None:
        lines.append(b"Content-Length: %d" % (len(body or b"") if length is None else length))
    return b"\r\n".join(lines) + b"\r\n\r\n" + (body or b"")


def post(target, body, content_type=None, length=None):
    return request(target, method=b"POST", body=body, content_type=content_type, length=length)


def part(disposition=b'name="a"', data=b"v", extra=b""):
    return b"--%s\r\nContent-Disposition: form-data; %s\r\n%s\r\n%s\r\n" % (BOUNDARY, disposition, extra, data)


END = b"--" + BOUNDARY + b"--\r\n"


def read_answer(sock):
    """(status, body) of the response on `sock`, None when the server closed it without one."""
    received = b""
    while True:
        if b"\r\n\r\n" in received:
            head, _, body = received.partition(b"\r\n\r\n")
            lines = head.split(b"\r\n")
            fields = dict(line.lower().split(b": ", 1) for line in lines[1:])
            if len(body) >= int(fields.get(b"content-length", b"-1")) >= 0:
                return int(lines[0].split()[1]), body
        try:
            chunk = sock.recv(1 << 16)
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            assert not received, f"the connection closed in the middle of a response: {received[:300]!r}"
            return None
        received += chunk


def exchange(port, *pieces, pause=0.0):
    """Sends the pieces (sleeping `pause` between them) and reads the answer; the socket timeout
    turns a hang into an error."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        try:
            for i, piece in enumerate(pieces):
                if i and pause:
                    time.sleep(pause)
                sock.sendall(piece)
            if isinstance(pieces[-1], ThenClose):
                sock.shutdown(socket.SHUT_WR)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server answered (or gave up) before it had everything: read what it said
        return read_answer(sock)


def settled(url):
    """No request is left in flight, and the server still serves."""
    for _ in range(250):
        if httpx.get(url + "/state", timeout=10).json()["in_flight"] == 0:
            break
        time.sleep(0.02)
    else:
        raise AssertionError("a request is still being handled")
    hello = httpx.get(url + "/hello", timeout=10)
    assert (hello.status_code, hello.text) == (200, "Hello, World!")


def check(server, data, expected, values=None):
    url, port = server
    answer = exchange(port, data)
    outcome = REFUSED if answer is None or answer[1] == b"Invalid HTTP request received." else answer[0]
    assert outcome != 500, answer
    settled(url)
    expected = expected if isinstance(expected, tuple) else (expected,)
    if outcome not in expected:
        raise NotTheRowsAnswer(f"answered {outcome}, not {expected}: {answer and answer[1][:300]!r}")
    if outcome == 200 and values:
        assert_values(answer[1], values)


def assert_values(body, values):
    got = json.loads(body)
    assert {key: got.get(key) for key in values} == values


def headers_of(count, size, name=b"X-H"):
    return [b"%s%d: %s" % (name, i, b"a" * size) for i in range(count)]


def headers_seen(extra):
    """What /headers reports for a request with the Host and `extra` header lines."""
    pairs = [(b"host", b"x"), *(line.split(b": ", 1) for line in extra)]
    return {"count": len(pairs), "size": sum(len(name) + len(value) for name, value in pairs)}


COOKIES = 100000
MANY_COOKIES = b"Cookie: " + b"; ".join(b"c%d=v" % i for i in range(COOKIES))
BIG_BLOCK, MANY = headers_of(16, 64 * 1024), headers_of(10000, 1)
FLOOD = b"&".join([b"a=1"] * 100000)
NEAR_URL_LIMIT = b"&".join([b"a=1"] * 16000)  # httptools refuses a URL of more than 64 KiB


@pytest.mark.parametrize("data, expected, values", [
    pytest.param(request(b"/headers", b"X-Big: " + b"a" * 60000), 200, headers_seen([b"X-Big: " + b"a" * 60000]),
                 id="60 KB header value"),
    # httptools sets no bound on the header block: a large one reaches the framework whole.
    pytest.param(request(b"/headers", *BIG_BLOCK), (200, REFUSED), headers_seen(BIG_BLOCK), id="1 MB header block"),
    pytest.param(request(b"/headers", *MANY), 200, headers_seen(MANY), id="10,000 headers"),
    pytest.param(request(b"/cookies", b"Cookie: a=" + b"v" * MB), 200, {"a": "v" * MB},
                 id="1 MB cookie value"),
    pytest.param(request(b"/cookies", MANY_COOKIES), 200, {"c0": "v", f"c{COOKIES - 1}": "v"},
                 id="1 MB Cookie header of small cookies"),
    pytest.param(request(b"/cookies", b"Cookie: a=\xff\xfe; \xff=b; ok=1"), 200, {"ok": "1"},
                 id="cookies not UTF-8"),
    pytest.param(request(b"/query?" + FLOOD), REFUSED, None, id="100,000 query parameters"),
    pytest.param(request(b"/query?a=" + b"x" * MB), REFUSED, None, id="1 MB query string"),
    pytest.param(request(b"/query?" + NEAR_URL_LIMIT), 200, {"keys": 1, "values": 16000},
                 id="16,000 query parameters"),
    pytest.param(request(b"/query?" + b"&" * 60000), 200, {"keys": 0}, id="60,000 empty query parameters"),
    pytest.param(post(b"/form", FLOOD, b"application/x-www-form-urlencoded"), 200, {"fields": {"a": 100000}},
                 id="100,000 form fields"),
    pytest.param(request(b"/inspect/\xff\xfe"), REFUSED, None, id="path not UTF-8"),
    pytest.param(request(b"/inspect/a?\xff=\xfe"), REFUSED, None, id="query not UTF-8"),
    pytest.param(request(b"/inspect/%ff%fe"), 200, {"rest": "\ufffd\ufffd"}, id="percent-encoded path not UTF-8"),
    pytest.param(request(b"/inspect/a?%ff=%fe"), 200, {"query": 1}, id="percent-encoded query not UTF-8"),
    pytest.param(request(b"/inspect/a", host=b"h\xff"), 400, None, id="Host not UTF-8"),
    pytest.param(request(b"/inspect/a", host=b"x:\xff"), 400, None, id="Host port not UTF-8"),
    pytest.param(request(b"/inspect/a", host=b"h h"), 200, {"host": "h h"}, id="Host with a space"),
    pytest.param(request(b"/inspect/a", host=b"[::1"), 200, {"host": "[::1"}, id="Host with an open bracket"),
    pytest.param(request(b"/inspect/a", host=b"[zz]:80"), 200, {"host": "[zz]:80"}, id="Host bracketed not IPv6"),
    pytest.param(request(b"http://[zz/inspect/a"), REFUSED, None, id="absolute target with a bad host"),
    pytest.param(request(b"/inspect/a%00b"), 200, {"rest": "a\0b"}, id="percent-encoded NUL"),
    # Dot segments stay in the route value: they never reach another route.
    pytest.param(request(b"/inspect/../../etc/passwd"), 200, {"rest": "../../etc/passwd"}, id="dot segments"),
    pytest.param(request(b"/inspect/../hello"), 200, {"rest": "../hello"}, id="dot segments to another route"),
    pytest.param(request(b"/inspect/%2e%2e%2f%2e%2e%2fetc"), 200, {"rest": "../../etc"},
                 id="percent-encoded dot segments"),
    pytest.param(request(b"/headers", b"X-A: a\x01b"), REFUSED, None, id="control byte in a header"),
])
def test_request_head(server, data, expected, values):
    check(server, data, expected, values)


def form_of(count):
    return b"".join(part(b'name="a%d"' % i) for i in range(count)) + END


@pytest.mark.parametrize("route", [b"/form", b"/stream-form"])
@pytest.mark.parametrize("body, content_type, expected", [
    pytest.param(form_of(1), MULTIPART, 200, id="well formed"),
    pytest.param(part(), MULTIPART, 400, id="no closing delimiter"),
    pytest.param(part()[:-2], MULTIPART, 400, id="cut in the part"),
    pytest.param(b"--" + BOUNDARY + b"\r\nnot a header line\r\n\r\nv\r\n" + END, MULTIPART, 400, id="bad header line"),
    pytest.param(part(b'filename="x.bin"') + END, MULTIPART, 400, id="part without a name"),
    pytest.param(b"--" + BOUNDARY + b"\r\nContent-Type: text/plain\r\n\r\nv\r\n" + END, MULTIPART, 400,
                 id="part without a disposition"),
    pytest.param(part(b'name="a') + END, MULTIPART, 400, id="unterminated quoted name"),
    pytest.param(part(extra=b"X: " + b"y" * 20000 + b"\r\n") + END, MULTIPART, 400, id="part header of 20 KB"),
    pytest.param(part(extra=b"X: y\r\n" * 40) + END, MULTIPART, 400, id="40 part headers"),
    pytest.param(b"no delimiter at all", MULTIPART, 400, id="no delimiter"),
    pytest.param(form_of(1), b"multipart/form-data; boundary=other", 400, id="delimiter not the declared one"),
    # Without parameters the type is not taken for a form at all: the routes see no fields.
    pytest.param(form_of(1), b"multipart/form-data", 200, id="no parameters"),
    pytest.param(form_of(1), b"multipart/form-data; charset=utf-8", 400, id="boundary missing"),
    pytest.param(form_of(1), b"multipart/form-data; boundary=", 400, id="empty boundary"),
    pytest.param(form_of(1001), MULTIPART, 400, id="1001 parts"),
    pytest.param(part(b'name="f"; filename="big.bin"', b"z" * (MAX_BODY + 1)) + END, MULTIPART, 413,
                 id="past max_body_size"),
])
def test_multipart(server, route, body, content_type, expected):
    check(server, post(route, body, content_type), expected)


@pytest.mark.parametrize("data, expected, values", [
    pytest.param(ThenClose(post(b"/body", b"abc", length=100)), REFUSED, None, id="declares more, then closes"),
    pytest.param(ThenClose(post(b"/stream-form", part(), MULTIPART, length=10000)), REFUSED, None,
                 id="multipart declares more, then closes"),
    pytest.param(post(b"/body", b"abcdef", length=3), (200, REFUSED), {"size": 3}, id="declares less"),
    pytest.param(post(b"/body", None, length=2 * MAX_BODY), 413, None, id="declared past the limit, not sent"),
    pytest.param(post(b"/form", None, MULTIPART, length=2 * MAX_BODY), 413, None,
                 id="multipart declared past the limit, not sent"),
    pytest.param(request(b"/body", b"Content-Length: -1", method=b"POST"), REFUSED, None,
                 id="negative Content-Length"),
    pytest.param(request(b"/body", b"Content-Length: 3", b"Transfer-Encoding: chunked", method=b"POST") +
                 b"3\r\nabc\r\n0\r\n\r\n", REFUSED, None, id="Content-Length and chunked"),
    pytest.param(request(b"/chunks", b"Transfer-Encoding: chunked", method=b"POST") + b"%x\r\n%s\r\n0\r\n\r\n"
                 % (MAX_BODY + 1, b"a" * (MAX_BODY + 1)), 413, None, id="chunked past the limit"),
    pytest.param(request(b"/chunks", b"Transfer-Encoding: chunked", method=b"POST") + b"zz\r\nabc\r\n0\r\n\r\n",
                 REFUSED, None, id="bad chunk size"),
    pytest.param(post(b"/json", b"{nope", b"application/json"), 400, None, id="invalid JSON"),
    pytest.param(post(b"/json", b'["\xff\xfe"]', b"application/json"), 400, None, id="JSON not UTF-8"),
    pytest.param(post(b"/json", b'{"a": "\\ud800"}', b"application/json"), 400, None, id="JSON lone surrogate"),
    pytest.param(post(b"/json", b"[" + b"9" * 5000 + b"]", b"application/json"), 400, None,
                 id="JSON integer of 5000 digits"),
    pytest.param(post(b"/json", b"1", b"application/json"), 400, None, id="JSON scalar"),
])
def test_request_body(server, data, expected, values):
    check(server, data, expected, values)


def test_deeply_nested_json(server):
    # Deeper than the decoder goes: the client's fault, answered 400 (the module's server checks
    # its log for tracebacks at the end).
    depth = 100000
    check(server, post(b"/json", b"[" * depth + b"]" * depth, b"application/json"), 400)


def trickled(data, size):
    return [data[i:i + size] for i in range(0, len(data), size)]


SLOW_FORM = part(data=b"q" * 300) + part(b'name="f"; filename="f.bin"', b"\r\n--" * 50) + END


@pytest.mark.parametrize("pieces, pause, expected", [
    pytest.param(trickled(post(b"/body", b"b" * 4000), 100), 0.02, {"size": 4000}, id="body in 100-byte pieces"),
    pytest.param([request(b"/chunks", b"Transfer-Encoding: chunked", method=b"POST"),
                  *[b"1f4\r\n" + b"c" * 500 + b"\r\n"] * 10, b"0\r\n\r\n"], 0.05, {"size": 5000},
                 id="chunked body in 10 chunks"),
    # Pieces of 7 bytes put a delimiter across two reads again and again.
    pytest.param(trickled(post(b"/stream-form", SLOW_FORM, MULTIPART), 7), 0.005, {"a": 300, "f": 200},
                 id="multipart in 7-byte pieces"),
    pytest.param(trickled(post(b"/json", b'{"moth": "luna", "wings": [1, 2, 3.5]}', b"application/json"), 1),
                 0.005, {"moth": "luna", "wings": [1, 2, 3.5]}, id="JSON a byte at a time"),
])
def test_slow_body(server, pieces, pause, expected):
    url, port = server
    started = time.monotonic()
    answer = exchange(port, *pieces, pause=pause)
    assert answer is not None and answer[0] == 200, answer
    assert_values(answer[1], expected)
    assert time.monotonic() - started < 8
    settled(url)
