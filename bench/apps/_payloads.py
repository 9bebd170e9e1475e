"""What every benchmark app answers, shared so that their answers are byte for byte the same.

The load generator's Lua scripts (bench/wrk/) send the JSON and multipart requests described here;
bench/bench_serving.py checks each app against these values before measuring it.
"""

import itertools
import os
import tempfile

HELLO = "Hello, World!"

PAGE = (
    "<!doctype html>\n"
    '<html lang="en"><head><meta charset="utf-8"><title>Moths of the night</title></head>\n'
    "<body><h1>Moths of the night</h1>\n"
    "<ul><li>Luna moth</li><li>Atlas moth</li><li>Death's-head hawkmoth</li></ul>\n"
    "<p>A short page served as text/html.</p></body></html>\n"
)

# The per-request header of the HTML scenario: the number of the request within the process.
REQUEST_ID_HEADER = "x-request-id"

# The JSON API: PUT /api/items/{item_id:int}/parts/{part:int}?mode=...&limit=... with this
# bearer token; any other Authorization is answered 401.
TOKEN = "Bearer moth-secret-token"


def upload_dir() -> str:
    """Where the upload scenario stores the file parts (set by the benchmark per server), made on
    the first upload."""
    global _upload_dir
    if _upload_dir is None:
        path = os.environ.get("QM_BENCH_UPLOAD_DIR") or os.path.join(tempfile.gettempdir(), "qm-bench-uploads")
        os.makedirs(path, exist_ok=True)
        _upload_dir = path
    return _upload_dir


def store(file_name: str, data: bytes) -> str:
    """Writes an uploaded file to a new file of the upload directory, named after its base name
    behind the number of the upload (an upload never overwrites another: on ext4, truncating a
    file to rewrite it flushes it at close, which would cost far more than any framework)."""
    name = os.path.basename(file_name) or "upload.bin"
    path = os.path.join(_upload_dir or upload_dir(), f"{next(_uploads)}-{name}")
    with open(path, "wb") as out:
        out.write(data)
    return path


_upload_dir: str | None = None
_uploads = itertools.count(1)
