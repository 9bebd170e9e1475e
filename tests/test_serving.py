"""The application under real ASGI servers: uvicorn (and, for a smaller set, hypercorn) started in a
subprocess on a free loopback port and stopped by its PID, exercised by real clients (httpx, and
curl where present)."""

import asyncio
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import httpx
import pytest

TESTS = Path(__file__).resolve().parent


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def start_server(argv, port, env=None):
    """Starts a server process and waits until it accepts connections."""
    import quillmoth

    package_root = str(Path(quillmoth.__file__).resolve().parent.parent)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([package_root, str(TESTS)]), **(env or {}))
    process = subprocess.Popen(argv, cwd=TESTS, env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"the server exited: {process.stderr.read().decode(errors='replace')}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return process
        except OSError:
            time.sleep(0.05)
    stop_server(process)
    raise RuntimeError("the server did not start listening in time")


def stop_server(process):
    if process.poll() is None:
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait(10)


@pytest.fixture(scope="module", params=["asyncio", "uvloop"])
def uvicorn_url(request):
    port = free_port()
    process = start_server([sys.executable, "-m", "uvicorn", "serving_app:app", "--host", "127.0.0.1", "--port",
                            str(port), "--loop", request.param, "--http", "httptools", "--no-access-log",
                            "--log-level", "warning"], port)
    yield f"http://127.0.0.1:{port}"
    stop_server(process)


@pytest.fixture(scope="module")
def small_limit_url():
    port = free_port()
    process = start_server([sys.executable, "-m", "uvicorn", "serving_app:app", "--host", "127.0.0.1", "--port",
                            str(port), "--log-level", "warning"], port, env={"QM_TEST_MAX_BODY": "1000"})
    yield f"http://127.0.0.1:{port}"
    stop_server(process)


@pytest.fixture(scope="module")
def hypercorn_url():
    pytest.importorskip("hypercorn")
    port = free_port()
    process = start_server([sys.executable, "-m", "hypercorn", "serving_app:app", "--bind", f"127.0.0.1:{port}"], port)
    yield f"http://127.0.0.1:{port}"
    stop_server(process)


def test_basic_routes(uvicorn_url):
    with httpx.Client(base_url=uvicorn_url) as client:
        hello = client.get("/hello")
        assert hello.status_code == 200 and hello.text == "Hello, World!"
        assert hello.headers["content-type"] == "text/plain; charset=utf-8" and hello.headers["content-length"] == "13"
        assert client.get("/items/42/moth%20wing").json() == {"item_id": 42, "name": "moth wing"}
        assert client.get("/items/x/moth").status_code == 404  # int parameter refused
        assert client.get("/nothing").status_code == 404
        not_allowed = client.delete("/hello")
        assert not_allowed.status_code == 405 and set(not_allowed.headers["allow"].split(", ")) == {"GET", "HEAD"}
        head = client.head("/hello")
        assert head.status_code == 200 and head.content == b"" and head.headers["content-length"] == "13"
        assert client.post("/echo", json={"a": [1, 2, {"b": None}]}).json() == {"a": [1, 2, {"b": None}]}
        bad = client.post("/echo", content=b"{", headers={"content-type": "application/json"})
        assert bad.status_code == 400


def test_handler_error_is_500_without_details(uvicorn_url):
    response = httpx.get(uvicorn_url + "/fail")
    assert response.status_code == 500 and "secret" not in response.text and "Traceback" not in response.text


def test_cookies_round_trip(uvicorn_url):
    with httpx.Client(base_url=uvicorn_url) as client:
        set_response = client.get("/cookies/set")
        assert set_response.headers["set-cookie"] == "session=a%20b%3Bc; Path=/; HttpOnly"
        assert client.get("/cookies").json() == {"session": "a b;c"}
        assert client.get("/cookies", headers={"cookie": "a=1;b=2; c=3"}).json() == {"a": "1", "b": "2", "c": "3"}


def test_keep_alive_serves_many_requests_on_one_connection(uvicorn_url):
    with httpx.Client(base_url=uvicorn_url, limits=httpx.Limits(max_connections=1)) as client:
        answers = {client.get("/hello").text for _ in range(100)}
    assert answers == {"Hello, World!"}


def test_multipart_upload_of_5_mb(uvicorn_url):
    payload = os.urandom(5 * 1024 * 1024)
    files = {"file": ("big.bin", payload, "application/octet-stream")}
    response = httpx.post(uvicorn_url + "/upload", data={"title": "big"}, files=files, timeout=60)
    assert response.status_code == 200
    assert response.json() == {"fields": {"title": "big"}, "files": {"big.bin": len(payload)}}


def test_body_over_the_limit_is_413(small_limit_url):
    with httpx.Client(base_url=small_limit_url) as client:
        assert client.post("/size", content=b"x" * 1000).json() == {"size": 1000}
        assert client.post("/size", content=b"x" * 1001).status_code == 413  # declared length

        def chunks():  # no Content-Length: the limit is seen while reading
            for _ in range(20):
                yield b"x" * 100

        assert client.post("/size", content=chunks()).status_code == 413
        assert client.get("/hello").status_code == 200


def test_sse_stream_is_read_incrementally_and_a_client_may_leave(uvicorn_url):
    async def main():
        async with httpx.AsyncClient(base_url=uvicorn_url) as client:
            before = (await client.get("/streams")).json()
            async with client.stream("GET", "/events") as response:
                assert response.headers["content-type"] == "text/event-stream"
                lines = []
                async for line in response.aiter_lines():
                    lines.append(line)
                    if len([x for x in lines if x.startswith("data:")]) == 3:
                        break
            assert lines[:4] == ["id: 0", "event: tick", 'data: {"n":0}', ""]
            # The client left mid-stream; the server ends that stream and goes on serving.
            for _ in range(100):
                after = (await client.get("/streams")).json()
                if after["finished"] > before["finished"]:
                    break
                await asyncio.sleep(0.05)
            assert after["finished"] == before["finished"] + 1
            assert (await client.get("/hello")).text == "Hello, World!"

    asyncio.run(main())


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")
def test_curl(uvicorn_url):
    done = subprocess.run(["curl", "-sS", "-i", uvicorn_url + "/items/7/curl"], capture_output=True, timeout=30)
    assert done.returncode == 0
    head, _, body = done.stdout.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200") and body == b'{"item_id":7,"name":"curl"}'


def test_hypercorn_serves_the_same_app(hypercorn_url):
    with httpx.Client(base_url=hypercorn_url) as client:
        assert client.get("/hello").text == "Hello, World!"
        assert client.post("/echo", json=[1, 2]).json() == [1, 2]
        assert client.delete("/hello").status_code == 405
