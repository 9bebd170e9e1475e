"""The five exported scanning primitives, called through ctypes on the routing extension.

Every result is compared with a byte-by-byte Python reference over random buffers of every length
up to a few vector widths and at every alignment, and at the very end of a readable page followed
by an unreadable one, so that a vector load reaching past the buffer crashes the run.
"""

import ctypes
import importlib.util
import mmap
import random

import pytest

CR, LF = 13, 10
SEPARATORS = {32, 35, 47, 63}


def _load_library():
    spec = importlib.util.find_spec("quillmoth.routing")
    assert spec is not None and spec.origin, "quillmoth.routing is not built"
    lib = ctypes.CDLL(spec.origin)
    lib.simd_find_crlf.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    lib.simd_find_crlf.restype = ctypes.c_int64
    lib.simd_find_crlf_crlf.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    lib.simd_find_crlf_crlf.restype = ctypes.c_int64
    lib.simd_find_path_separator.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t]
    lib.simd_find_path_separator.restype = ctypes.c_int64
    lib.simd_validate_url_ascii.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    lib.simd_validate_url_ascii.restype = ctypes.c_int
    lib.simd_fast_hash.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    lib.simd_fast_hash.restype = ctypes.c_uint32
    return lib


LIB = _load_library()


# ---- byte-by-byte references -------------------------------------------------------------------

def ref_crlf(data):
    for i in range(1, len(data)):
        if data[i - 1] == CR and data[i] == LF:
            return i - 1
    return -1


def ref_crlf_crlf(data):
    i = 0
    while i + 3 < len(data):
        if data[i:i + 4] == b"\r\n\r\n":
            return i
        i += 1
    return -1


def ref_separator(data, start):
    for i in range(start, len(data)):
        if data[i] in SEPARATORS:
            return i
    return -1


def ref_validate(data):
    return int(all(((b - 32) & 0xFF) <= 94 for b in data))


def ref_fnv1a(data):
    if not data:
        return 0
    h = 0x811C9DC5
    for b in data:
        h = ((h ^ b) * 0x01000193) & 0xFFFFFFFF
    return h


class Buffer:
    """Bytes copied into a ctypes array at a chosen offset, to vary alignment."""

    def __init__(self, data, offset=0):
        self.raw = ctypes.create_string_buffer(len(data) + offset + 1)
        ctypes.memmove(ctypes.addressof(self.raw) + offset, data, len(data))
        self.ptr = ctypes.addressof(self.raw) + offset
        self.length = len(data)


def call_all(ptr, data):
    n = len(data)
    got = (
        LIB.simd_find_crlf(ptr, n),
        LIB.simd_find_crlf_crlf(ptr, n),
        LIB.simd_validate_url_ascii(ptr, n),
        LIB.simd_fast_hash(ptr, n),
        [LIB.simd_find_path_separator(ptr, n, s) for s in range(0, n + 2, max(1, n // 7))],
    )
    want = (
        ref_crlf(data),
        ref_crlf_crlf(data),
        ref_validate(data),
        ref_fnv1a(data),
        [ref_separator(data, s) for s in range(0, n + 2, max(1, n // 7))],
    )
    return got, want


# ---- the documented cases ---------------------------------------------------------------------

@pytest.mark.parametrize(
    "data, expected",
    [(b"\r\n", 0), (b"\r", -1), (b"\n\r", -1), (b"", -1), (b"ab\r\r\n", 3), (b"\r\r\r", -1)],
)
def test_find_crlf_small_cases(data, expected):
    buf = Buffer(data)
    assert LIB.simd_find_crlf(buf.ptr, len(data)) == expected


@pytest.mark.parametrize(
    "data, expected",
    [(b"a\r\n\r\n", 1), (b"\r\n\r", -1), (b"\r\n\r\n", 0), (b"\r\n\n\r\n\r\n", 3), (b"\r\r\n\r\n", 1)],
)
def test_find_crlf_crlf_small_cases(data, expected):
    buf = Buffer(data)
    assert LIB.simd_find_crlf_crlf(buf.ptr, len(data)) == expected


@pytest.mark.parametrize(
    "data, start, expected",
    [
        (b"/a?b", 1, 2),
        (b"/a?b", 0, 0),
        (b"/a?b", 4, -1),
        (b"/a?b", 99, -1),
        (b"ab\xafcd", 0, -1),
        (b"a b", 0, 1),
        (b"a#", 0, 1),
        (b"x" * 100 + b"\xaf\xa3\xa0/", 0, 103),
    ],
)
def test_find_path_separator_cases(data, start, expected):
    buf = Buffer(data)
    assert LIB.simd_find_path_separator(buf.ptr, len(data), start) == expected


@pytest.mark.parametrize(
    "data, expected",
    [(b"", 1), (b"a b~", 1), (b"a\tb", 0), (b"ab\x7f", 0), (b"\x80", 0), (b"\x1f", 0), (b" " * 70 + b"\x7f", 0)],
)
def test_validate_url_ascii_cases(data, expected):
    buf = Buffer(data)
    assert LIB.simd_validate_url_ascii(buf.ptr, len(data)) == expected


@pytest.mark.parametrize(
    "data, expected",
    # Published 32-bit FNV-1a test vectors.
    [(b"a", 0xE40C292C), (b"foobar", 0xBF9CF968), (b"", 0)],
)
def test_fast_hash_known_values(data, expected):
    buf = Buffer(data)
    assert LIB.simd_fast_hash(buf.ptr, len(data)) == expected


def test_null_buffer_whatever_the_length():
    assert LIB.simd_find_crlf(None, 100) == -1
    assert LIB.simd_find_crlf_crlf(None, 100) == -1
    assert LIB.simd_find_path_separator(None, 100, 0) == -1
    assert LIB.simd_validate_url_ascii(None, 0) == 0
    assert LIB.simd_fast_hash(None, 100) == 0


# ---- random buffers against the references ----------------------------------------------------

def _random_buffer(rng, n):
    # Biased towards the bytes the scans look for, so hits land at every position in a block.
    alphabet = [CR, LF, CR, LF, 32, 35, 47, 63, 31, 126, 127, 128, 175, 255, 0, 9] + list(range(97, 107))
    mode = rng.randrange(4)
    if mode == 0:
        return bytes(rng.choice(alphabet) for _ in range(n))
    if mode == 1:
        return bytes(rng.randrange(256) for _ in range(n))
    # Mostly clean text with at most one interesting byte or pattern planted somewhere.
    data = bytearray(rng.choice(b"abcdefghij") for _ in range(n))
    if n and mode == 2:
        pos = rng.randrange(n)
        pattern = rng.choice([b"\r\n\r\n", b"\r\n", b"?", b"\x7f", b"\xaf", b" "])
        data[pos:pos + len(pattern)] = pattern[: n - pos]
    return bytes(data)


@pytest.mark.parametrize("seed", range(6))
def test_random_buffers_match_reference(seed):
    rng = random.Random(seed)
    for n in range(0, 140):
        for offset in (0, 1, 3, 7, 15, 31):
            data = _random_buffer(rng, n)
            buf = Buffer(data, offset)
            got, want = call_all(buf.ptr, data)
            assert got == want, (data, offset)


def test_long_buffers_match_reference():
    rng = random.Random(99)
    for n in (1000, 4095, 4096, 4097, 65537):
        data = bytearray(rng.choice(b"abcdefgh") for _ in range(n))
        clean = Buffer(bytes(data))
        assert call_all(clean.ptr, bytes(data))[0][:4] == (-1, -1, 1, ref_fnv1a(data))
        for pos in (0, n // 3, n - 4, n - 2):
            marked = bytes(data[:pos]) + b"\r\n\r\n" + bytes(data[pos + 4:])
            marked = marked[:n]
            buf = Buffer(marked)
            got, want = call_all(buf.ptr, marked)
            assert got == want


# ---- page edges --------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def guarded_page():
    """A readable page followed by an inaccessible one: any read past the first page faults."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    page = mmap.PAGESIZE
    region = mmap.mmap(-1, 2 * page)
    base = ctypes.addressof(ctypes.c_char.from_buffer(region))
    assert libc.mprotect(base + page, page, 0) == 0  # PROT_NONE
    yield base, page
    libc.mprotect(base + page, page, 3)  # PROT_READ | PROT_WRITE, so the mapping can be released


@pytest.mark.parametrize("pattern", [b"a", b"\r", b"\r\n\r", b"\x7f", b"/", b" "])
def test_buffers_ending_at_a_page_edge(guarded_page, pattern):
    base, page = guarded_page
    rng = random.Random(pattern)
    for n in range(0, 200):
        data = bytes(rng.choice(b"abcdef") for _ in range(n))
        if n:
            data = data[: n - len(pattern)] + pattern[-n:] if n >= len(pattern) else pattern[-n:]
        ptr = base + page - n
        ctypes.memmove(ptr, data, n)
        got, want = call_all(ptr, data)
        assert got == want, data
