"""Multipart parsing side by side in one run, and the memory of a large upload read as a form.

    .venv/bin/python bench/bench_multipart.py [--quick]

Two bodies, cut into the same 64 KiB chunks for every candidate:
  - "10 MB file": one file part of 10 MB (random bytes) and five short fields;
  - "1000 fields": a thousand small plain fields.
Candidates, each consuming every part fully (field values joined, file bytes counted):
  - quillmoth.multipart.parse_multipart_async, iterated with `async for` over the parts and each
    part's stream();
  - python-multipart's MultipartParser, fed with write(chunk), collecting through its callbacks;
  - streaming-form-data's StreamingFormDataParser, fed with data_received(chunk), each name
    registered with a target that collects (fields) or counts (the file).
All three pull the chunks from the same async generator inside one event loop, so the source costs
the same. Each is run several times; the best time gives MB/s, and a ratio is the candidate's time
over quillmoth's.

Then a 100 MB upload (one file of 100 MB and a field) is read through Request.form() from an ASGI
receive channel that makes its 64 KiB chunks as it goes, in a child process so that its peak RSS is
its own: the peak RSS is reset just before the read (Linux /proc/self/clear_refs) and read after it,
and the growth is printed (the file's bytes go to a spool file).
"""

import asyncio
import os
import random
import subprocess
import sys
import time

from quillmoth.multipart import parse_multipart_async

try:
    from python_multipart import MultipartParser
except ImportError:
    MultipartParser = None
try:
    from streaming_form_data import StreamingFormDataParser
    from streaming_form_data.targets import BaseTarget
except ImportError:
    StreamingFormDataParser = None
    BaseTarget = object

BOUNDARY = b"----quillmothBench7MA4YWxkTrZu0gW"
CHUNK = 65536


def field(name, value):
    return (b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="' + name.encode() + b'"\r\n\r\n'
            + value + b"\r\n")


def file_part(name, file_name, data):
    return (b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="' + name.encode() + b'"; filename="'
            + file_name.encode() + b'"\r\nContent-Type: application/octet-stream\r\n\r\n' + data + b"\r\n")


def bodies():
    rng = random.Random(7)
    data = rng.randbytes(10 * 1000 * 1000)
    big = b"".join([field(f"field{i}", f"value number {i}".encode()) for i in range(5)]
                   + [file_part("upload", "data.bin", data)]) + b"--" + BOUNDARY + b"--\r\n"
    small = b"".join(field(f"f{i}", b"v%d" % rng.randrange(10**9)) for i in range(1000)) + b"--" + BOUNDARY + b"--\r\n"
    return {"10 MB file": big, "1000 fields": small}


def chunked(body):
    return [body[i:i + CHUNK] for i in range(0, len(body), CHUNK)]


async def source(chunks):
    for chunk in chunks:
        yield chunk


async def run_quillmoth(chunks):
    fields, file_bytes = {}, 0
    async for part in parse_multipart_async(source(chunks), BOUNDARY):
        if part.file_name is None:
            pieces = []
            async for piece in part.stream():
                pieces.append(piece)
            fields[part.name] = b"".join(pieces)
        else:
            async for piece in part.stream():
                file_bytes += len(piece)
    return len(fields), file_bytes


async def run_python_multipart(chunks):
    fields, state = {}, {"file": 0, "pieces": [], "header": b"", "name": None, "is_file": False}

    def on_header_value(data, start, end):
        state["header"] += data[start:end]

    def on_header_end():
        value = state["header"]
        state["header"] = b""
        if b"name=" in value:
            state["name"] = value.split(b'name="', 1)[1].split(b'"', 1)[0]
            state["is_file"] = b"filename=" in value

    def on_part_data(data, start, end):
        if state["is_file"]:
            state["file"] += end - start
        else:
            state["pieces"].append(data[start:end])

    def on_part_end():
        if not state["is_file"]:
            fields[state["name"]] = b"".join(state["pieces"])
        state["pieces"] = []

    parser = MultipartParser(BOUNDARY, {"on_header_value": on_header_value, "on_header_end": on_header_end,
                                        "on_part_data": on_part_data, "on_part_end": on_part_end})
    async for chunk in source(chunks):
        parser.write(chunk)
    parser.finalize()
    return len(fields), state["file"]


class CountTarget(BaseTarget):
    def __init__(self):
        super().__init__()
        self.size = 0

    def on_data_received(self, chunk):
        self.size += len(chunk)


class JoinTarget(BaseTarget):
    def __init__(self):
        super().__init__()
        self.pieces = []

    def on_data_received(self, chunk):
        self.pieces.append(chunk)


def streaming_names(body):
    # The names the application registers in advance, as this parser requires.
    names = []
    for line in body.split(b"\r\n"):
        if line.startswith(b"Content-Disposition"):
            names.append((line.split(b'name="', 1)[1].split(b'"', 1)[0].decode(), b"filename=" in line))
    return names


async def run_streaming_form_data(chunks, names):
    parser = StreamingFormDataParser(headers={"Content-Type": "multipart/form-data; boundary=" + BOUNDARY.decode()})
    targets = {}
    for name, is_file in names:
        targets[name] = CountTarget() if is_file else JoinTarget()
        parser.register(name, targets[name])
    async for chunk in source(chunks):
        parser.data_received(chunk)
    fields = sum(1 for t in targets.values() if isinstance(t, JoinTarget) and b"".join(t.pieces))
    return fields, sum(t.size for t in targets.values() if isinstance(t, CountTarget))


async def best_seconds(make, repeats):
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = await make()
        best = min(best, time.perf_counter() - start)
    return best, result


async def parsing(quick):
    repeats = 3 if quick else 15
    print(f"{'body':<12} {'MB':>6} {'quillmoth MB/s':>15} {'python-multipart':>17} {'ratio':>7} "
          f"{'streaming-form-data':>20} {'ratio':>7}")
    for label, body in bodies().items():
        chunks = chunked(body)
        names = streaming_names(body)
        ours, expected = await best_seconds(lambda: run_quillmoth(chunks), repeats)
        row = [f"{label:<12} {len(body) / 1e6:>6.1f} {len(body) / ours / 1e6:>15.1f}"]
        for available, make in ((MultipartParser, lambda: run_python_multipart(chunks)),
                                (StreamingFormDataParser, lambda: run_streaming_form_data(chunks, names))):
            if available is None:
                row.append(f"{'(not installed)':>17} {'':>7}")
                continue
            seconds, result = await best_seconds(make, repeats)
            # All candidates must have read the same body for the figures to compare.
            assert result == expected, (label, result, expected)
            row.append(f"{len(body) / seconds / 1e6:>17.1f} {seconds / ours:>6.1f}x")
        print(" ".join(row))


UPLOAD_SIZE = 100 * 1000 * 1000


def status_kib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key):
                return int(line.split()[1])
    raise RuntimeError(key)


def reset_peak_rss():
    """Sets the peak RSS back to the current RSS (Linux); returns it in KiB."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    return status_kib("VmHWM:")


def peak_rss():
    return status_kib("VmHWM:")


def upload_child():
    from quillmoth.contents import ASGIContent
    from quillmoth.messages import Request

    boundary = b"uploadBoundary42"
    block = random.Random(3).randbytes(CHUNK)
    head = (b"--" + boundary + b'\r\nContent-Disposition: form-data; name="title"\r\n\r\nholiday\r\n--' + boundary
            + b'\r\nContent-Disposition: form-data; name="video"; filename="v.bin"\r\n'
              b"Content-Type: application/octet-stream\r\n\r\n")
    tail = b"\r\n--" + boundary + b"--\r\n"
    blocks = UPLOAD_SIZE // CHUNK
    remainder = UPLOAD_SIZE - blocks * CHUNK

    def messages():
        yield head
        for _ in range(blocks):
            yield block
        yield block[:remainder] + tail

    chunks = messages()

    async def receive():
        chunk = next(chunks, None)
        if chunk is None:
            return {"type": "http.request", "body": b"", "more_body": False}
        return {"type": "http.request", "body": chunk, "more_body": True}

    async def main():
        request = Request("POST", b"/upload", [(b"content-type", b"multipart/form-data; boundary=" + boundary)])
        request.content = ASGIContent(receive, None)
        before = reset_peak_rss()
        start = time.perf_counter()
        form = await request.form()
        seconds = time.perf_counter() - start
        after = peak_rss()
        video = form["video"]
        assert form["title"] == "holiday" and video.size == UPLOAD_SIZE and video.data._rolled
        request.dispose()
        return before, after, seconds

    before, after, seconds = asyncio.run(main())
    print(f"{before} {after} {seconds}")


def upload():
    result = subprocess.run([sys.executable, __file__, "--upload-child"], capture_output=True, text=True,
                            env=dict(os.environ), check=True)
    before, after, seconds = result.stdout.split()
    growth = (int(after) - int(before)) / 1024
    print(f"100 MB upload through Request.form(): {UPLOAD_SIZE / float(seconds) / 1e6:.0f} MB/s, "
          f"peak RSS {int(before) / 1024:.1f} MB before, {int(after) / 1024:.1f} MB after: growth {growth:.2f} MB "
          f"(the file's bytes went to a spool file)")


def main():
    if "--upload-child" in sys.argv:
        upload_child()
        return
    asyncio.run(parsing("--quick" in sys.argv))
    upload()


if __name__ == "__main__":
    main()
