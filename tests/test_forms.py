"""Form reading on messages: form, multipart, multipart_stream, files, _multipart_to_dict_streaming
and _encode, over URL-encoded and multipart bodies (built here, by httpx and by curl at test time),
with the spool threshold, the cache in _form_data and what a failed parse leaves behind."""

import asyncio
import os
import shutil
import socket
import subprocess
import threading

import httpx
import pytest

from quillmoth.contents import ASGIContent, Content, FormPart
from quillmoth.exceptions import BadRequest
from quillmoth.messages import Message, Request, _encode, _multipart_to_dict_streaming

BOUNDARY = b"formBoundary1234"
MULTIPART = b"multipart/form-data; boundary=" + BOUNDARY


def field(name, value, file_name=None, content_type=None):
    header = b'Content-Disposition: form-data; name="' + name + b'"'
    if file_name is not None:
        header += b'; filename="' + file_name + b'"'
    if content_type:
        header += b"\r\nContent-Type: " + content_type
    return b"--" + BOUNDARY + b"\r\n" + header + b"\r\n\r\n" + value + b"\r\n"


END = b"--" + BOUNDARY + b"--\r\n"


class Receive:
    """An ASGI receive channel over the body cut in chunks; counts its calls."""

    def __init__(self, body, size=1000):
        self.chunks = [body[i:i + size] for i in range(0, len(body), size)] or [b""]
        self.calls = 0

    async def __call__(self):
        self.calls += 1
        chunk = self.chunks.pop(0)
        return {"type": "http.request", "body": chunk, "more_body": bool(self.chunks)}


def request(content_type, body, size=1000):
    r = Request("POST", b"/", [(b"content-type", content_type)] if content_type else [])
    receive = Receive(body, size)
    r.content = ASGIContent(receive, None)
    return r, receive


def run(coro):
    return asyncio.run(coro)


@pytest.mark.parametrize(
    "content_type",
    [None, b"", b"application/json", b"multipart/form-data", b"Multipart/Form-Data; boundary=x", b"text/plain"],
)
def test_form_of_other_content_is_none(content_type):
    r, receive = request(content_type, field(b"a", b"1") + END)
    assert run(r.form()) is None
    assert run(r.multipart()) == [] and run(r.files()) == []
    assert receive.calls == 0


def test_urlencoded_form_is_parsed_each_time():
    r, _ = request(b"application/x-www-form-urlencoded", b"a=1&b=2&b=3&c=caf%C3%A9")
    expected = {"a": "1", "b": ["2", "3"], "c": "café"}
    assert run(r.form()) == expected and run(r.form(simplify_fields=False)) == expected
    assert r._form_data is None
    # Flattened, a field given once stays whole; its values are no files.
    assert run(r.multipart()) == ["1", "2", "3", "café"]
    assert run(r.files()) == [] and run(r.files("a")) == []

    class NotText(Message):
        async def text(self):
            return b"a=1"

    m = NotText([(b"content-type", b"application/x-www-form-urlencoded")])
    with pytest.raises(TypeError):
        run(m.form())


def test_multipart_form_groups_caches_and_simplifies():
    body = (field(b"tags", b"x") + field(b"title", "é".encode()) + field(b"tags", b"y")
            + field(b"avatar", b"\x89PNG", b"me.png", b"image/png; charset=binary") + END)
    r, receive = request(MULTIPART, body, size=7)
    simple = run(r.form())
    calls = receive.calls
    data = r._form_data
    assert list(data) == ["tags", "title", "avatar"]
    assert [p.read() for p in data["tags"]] == [b"x", b"y"]
    avatar = data["avatar"][0]
    assert (avatar.name, avatar.file_name, avatar.content_type, avatar.charset, avatar.size) == (
        b"avatar", b"me.png", b"image/png", b"binary", 4)
    assert avatar.data.tell() == 0 and avatar.file is avatar.data
    assert simple == {"tags": ["x", "y"], "title": "é", "avatar": avatar}
    # Cached: no more reads of the body, and the dict itself without simplification.
    assert run(r.form(simplify_fields=False)) is data
    assert run(r.form()) == simple
    assert receive.calls == calls
    assert run(r.multipart()) == [*data["tags"], *data["title"], avatar]
    assert run(r.files()) == [avatar] == run(r.files("avatar")) == run(r.files(b"avatar"))
    assert run(r.files("tags")) == []
    with pytest.raises(TypeError):
        run(r.files(3))


@pytest.mark.parametrize("content_type", [b"multipart/form-data; charset=utf-8", b'multipart/form-data; boundary="',
                                          b"multipart/form-data; boundary="])
def test_malformed_boundary_is_a_bad_request(content_type):
    async def stream(r):
        return [part async for part in r.multipart_stream()]

    for read in (lambda r: r.form(), lambda r: r.multipart(), lambda r: r.files(), stream):
        r, _ = request(content_type, field(b"a", b"1") + END)
        with pytest.raises(BadRequest, match="no usable boundary") as info:
            run(read(r))
        assert isinstance(info.value.__cause__, ValueError) and r._form_data is None


@pytest.mark.parametrize("size, rolled", [(1048576, False), (1048577, True)])
def test_spooling_threshold(size, rolled):
    data = os.urandom(size)
    r, _ = request(MULTIPART, field(b"f", data, b"blob.bin") + END, size=65536)
    part = run(r.form())["f"]
    assert part.size == size and part.data._rolled is rolled
    assert part.data.read() == data


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def test_a_failed_parse_leaves_no_cache_and_no_open_buffer():
    big = field(b"f", b"x" * (3 << 20), b"big.bin")
    r, _ = request(MULTIPART, big + field(b"g", b"1") + b"--" + BOUNDARY + b"junk")
    before = open_fds()
    with pytest.raises(BadRequest, match="after a boundary delimiter"):
        run(r.form())
    assert r._form_data is None
    assert open_fds() == before
    # A later call starts again (here on a body that is whole).
    r.content = ASGIContent(Receive(big + END), None)
    assert run(r.form())["f"].size == 3 << 20
    r.dispose()


def test_multipart_to_dict_streaming_and_encode():
    class Part:
        def __init__(self, name, chunks, file_name=None):
            self.name, self.file_name, self.content_type, self.charset = name, file_name, "", None
            self.chunks = chunks

        async def stream(self):
            for chunk in self.chunks:
                yield chunk

    async def parts():
        yield Part("a", [b"12", b"345"])
        yield Part("a", [], "f.txt")

    result = run(_multipart_to_dict_streaming(parts(), 4))
    first, second = result["a"]
    assert type(result) is dict and isinstance(first, FormPart)
    assert (first.size, first.data._rolled, first.read(), first.file_name, first.content_type) == (
        5, True, b"12345", None, None)
    assert (second.size, second.file_name) == (0, b"f.txt")
    assert [_encode(v) for v in ("", None, "é", b"", 0)] == [None, None, "é".encode(), None, None]
    with pytest.raises(AttributeError):
        _encode(b"bytes have no encode")
    with pytest.raises(TypeError):
        _encode()


def test_form_of_a_message_without_body_stream():
    m = Message([])
    m.content = Content(MULTIPART, field(b"a", b"1") + END)
    assert run(m.form()) == {"a": "1"}


# ---------------------------------------------------------------------------------------------
# Bodies made by clients


HTTPX_CASES = [
    ({"plain": "v", "utf8 ü": "ä€", 'q"uote': "x"}, {"f": ("f.txt", b"1", "text/plain")}),
    ({"n": ["1", "2"]}, {"up": ('we"ird\\ näme.txt', b"\x00\r\n--data\r\n", "text/plain")}),
    ({}, {"a": ("a.bin", os.urandom(200_000), "application/octet-stream"), "b": ("b", b"", None)}),
]


@pytest.mark.parametrize("data, files", HTTPX_CASES)
def test_bodies_built_by_httpx(data, files):
    built = httpx.Request("POST", "http://test/", data=data, files=files)
    r, _ = request(built.headers["content-type"].encode(), built.read(), size=4096)
    form = run(r.form(simplify_fields=False))
    fields = {name.replace('"', "%22"): value for name, value in data.items()}
    for name, value in fields.items():
        values = value if isinstance(value, list) else [value]
        assert [p.read().decode() for p in form[name]] == values
    for name, (file_name, content, _) in files.items():
        (part,) = form[name]
        # Quotes in names come escaped as browsers write them (%22), and are read as sent.
        assert part.file_name == file_name.replace('"', "%22").encode() and part.read() == content
    r.dispose()


@pytest.fixture
def capture_server():
    """A local HTTP server that keeps the first request it gets (head and body) and answers 200."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(1)
    captured = {}

    def serve():
        conn, _ = sock.accept()
        with conn:
            data = b""
            while b"\r\n\r\n" not in data:
                data += conn.recv(65536)
            head, body = data.split(b"\r\n\r\n", 1)
            length = int([line.split(b":")[1] for line in head.split(b"\r\n") if line.lower().startswith(
                b"content-length:")][0])
            while len(body) < length:
                body += conn.recv(65536)
            captured["head"], captured["body"] = head, body
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    yield sock.getsockname()[1], captured
    thread.join(timeout=10)
    sock.close()


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")
def test_body_built_by_curl(capture_server, tmp_path):
    port, captured = capture_server
    upload = tmp_path / "photo ü.jpg"
    content = os.urandom(300_000)
    upload.write_bytes(content)
    subprocess.run(["curl", "-s", "-H", "Expect:", "-F", "title=holiday ü", "-F", "note=<-", "-F",
                    f"photo=@{upload};type=image/jpeg", "-F", 'quoted=@' + str(upload) + ';filename="a\\"b.jpg"',
                    f"http://127.0.0.1:{port}/"], input=b"from stdin", check=True, timeout=30)
    head = captured["head"].decode()
    content_type = [line.split(":", 1)[1].strip() for line in head.split("\r\n")
                    if line.lower().startswith("content-type:")][0]
    r, _ = request(content_type.encode(), captured["body"], size=16384)
    form = run(r.form())
    assert form["title"] == "holiday ü" and form["note"] == "from stdin"
    photo, quoted = form["photo"], form["quoted"]
    assert (photo.file_name, photo.content_type, photo.read()) == ("photo ü.jpg".encode(), b"image/jpeg", content)
    # curl escapes a quote in a file name as browsers do.
    assert quoted.file_name == b"a%22b.jpg" and quoted.read() == content
    r.dispose()
