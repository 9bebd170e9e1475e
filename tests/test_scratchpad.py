"""The scratchpad arena, driven through its plain exported symbols in the messages shared object."""

import ctypes
import os
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillmoth
from conftest import examples

SIZE_MAX = 2**64 - 1
DEFAULT_CAPACITY = 65536

_so = sorted(Path(quillmoth.__file__).parent.glob("messages.*.so"))
if not _so:
    pytest.skip("the messages extension is not built", allow_module_level=True)
lib = ctypes.CDLL(str(_so[0]))


class Arena(ctypes.Structure):
    _fields_ = [
        ("buffer", ctypes.c_void_p),
        ("capacity", ctypes.c_size_t),
        ("offset", ctypes.c_size_t),
        ("is_dynamic", ctypes.c_int),
    ]

    def state(self):
        return (self.buffer, self.capacity, self.offset, self.is_dynamic)


lib.scratchpad_init.argtypes = [ctypes.POINTER(Arena), ctypes.c_size_t]
lib.scratchpad_init.restype = ctypes.c_int
lib.scratchpad_alloc.argtypes = [ctypes.POINTER(Arena), ctypes.c_size_t, ctypes.c_size_t]
lib.scratchpad_alloc.restype = ctypes.c_void_p
lib.scratchpad_destroy.argtypes = [ctypes.POINTER(Arena)]
lib.scratchpad_destroy.restype = None

# Under AddressSanitizer a request the allocator cannot serve aborts the process unless the
# allocator is told to return null instead.
_asan = "asan" in os.environ.get("LD_PRELOAD", "")
_may_return_null = not _asan or "allocator_may_return_null=1" in os.environ.get("ASAN_OPTIONS", "")


def init(capacity):
    arena = Arena()
    assert lib.scratchpad_init(ctypes.byref(arena), capacity) == 0
    return arena


def alloc(arena, size, alignment=0):
    return lib.scratchpad_alloc(ctypes.byref(arena), size, alignment)


@pytest.fixture
def owned():
    """Arenas made by the test; destroyed afterwards."""
    arenas = []

    def make(capacity):
        arena = init(capacity)
        arenas.append(arena)
        return arena

    yield make
    for arena in arenas:
        lib.scratchpad_destroy(ctypes.byref(arena))


def supplied(block, offset=0):
    """An arena over a caller-supplied block (never grown or freed)."""
    return Arena(ctypes.addressof(block), ctypes.sizeof(block), offset, 0)


def assert_inside(arena, pointer, size):
    assert pointer is not None
    assert arena.buffer <= pointer
    assert pointer + size <= arena.buffer + arena.capacity
    assert arena.offset <= arena.capacity
    ctypes.memset(pointer, 0xA5, size)  # the sanitizer build checks this write


class TestInit:
    @pytest.mark.parametrize("requested, capacity", [(0, DEFAULT_CAPACITY), (64, 64), (1, 1)])
    def test_owning_block(self, owned, requested, capacity):
        arena = owned(requested)
        assert arena.buffer
        assert (arena.capacity, arena.offset, arena.is_dynamic) == (capacity, 0, 1)

    def test_null_arena(self):
        assert lib.scratchpad_init(None, 64) == -1

    @pytest.mark.skipif(not _may_return_null, reason="the sanitizer allocator aborts on impossible sizes")
    def test_impossible_size_leaves_an_empty_arena(self):
        arena = Arena(1234, 5, 6, 1)
        assert lib.scratchpad_init(ctypes.byref(arena), SIZE_MAX) == -1
        assert arena.state() == (None, 0, 0, 0)


class TestAlloc:
    def test_alignment_of_successive_allocations(self, owned):
        arena = owned(64)
        first = alloc(arena, 1, 16)
        second = alloc(arena, 1, 0)
        assert first % 16 == 0
        assert second % 8 == 0 and second > first
        assert arena.offset == second - arena.buffer + 1

    def test_exact_fit_then_one_byte_more_doubles(self, owned):
        arena = owned(64)
        start = alloc(arena, 8)
        remaining = arena.capacity - arena.offset
        buffer = arena.buffer
        assert_inside(arena, alloc(arena, remaining, 1), remaining)
        assert (arena.buffer, arena.capacity, arena.offset) == (buffer, 64, 64)
        assert start == buffer
        assert_inside(arena, alloc(arena, 1, 1), 1)
        assert (arena.capacity, arena.offset) == (128, 65)

    @pytest.mark.parametrize(
        "size, capacity",
        [
            (100_000, 2 * DEFAULT_CAPACITY),  # doubling is enough
            (200_000, 200_000 + DEFAULT_CAPACITY),  # a single large request gets 64 KiB headroom
        ],
    )
    def test_growth(self, owned, size, capacity):
        arena = owned(0)
        pointer = alloc(arena, size)
        assert (arena.capacity, arena.offset) == (capacity, size)
        assert_inside(arena, pointer, size)

    def test_growth_keeps_earlier_contents(self, owned):
        arena = owned(16)
        first = alloc(arena, 16)
        ctypes.memmove(first, b"0123456789abcdef", 16)
        alloc(arena, 1000)
        assert ctypes.string_at(arena.buffer, 16) == b"0123456789abcdef"

    @pytest.mark.parametrize(
        "size, alignment",
        [
            (0, 8),  # nothing to allocate
            (8, 3),  # alignments are masks: only powers of two round correctly
            (8, 24),
        ],
    )
    def test_refused_requests_leave_the_arena_unchanged(self, owned, size, alignment):
        arena = owned(64)
        alloc(arena, 5)
        before = arena.state()
        assert alloc(arena, size, alignment) is None
        assert arena.state() == before

    def test_null_arena_and_null_buffer(self):
        assert lib.scratchpad_alloc(None, 8, 8) is None
        arena = Arena(None, 64, 0, 1)
        assert alloc(arena, 8) is None
        assert arena.state() == (None, 64, 0, 1)

    def test_supplied_block_is_used_but_never_grown(self):
        block = (ctypes.c_char * 64)()
        arena = supplied(block)
        assert_inside(arena, alloc(arena, 64, 1), 64)
        assert alloc(arena, 1, 1) is None
        assert arena.state() == (ctypes.addressof(block), 64, 64, 0)

    @pytest.mark.skipif(not _may_return_null, reason="the sanitizer allocator aborts on impossible sizes")
    def test_failed_growth_keeps_the_arena(self, owned):
        arena = owned(64)
        first = alloc(arena, 8)
        ctypes.memmove(first, b"kept", 4)
        before = arena.state()
        assert alloc(arena, 2**50) is None
        assert arena.state() == before
        assert ctypes.string_at(first, 4) == b"kept"


class TestOverflow:
    """Requests whose offsets or capacities do not fit in size_t fail and change nothing."""

    @pytest.mark.parametrize("size", [SIZE_MAX, SIZE_MAX - 4, SIZE_MAX - 16])
    def test_size_wrapping_the_offset_on_a_supplied_block(self, size):
        block = (ctypes.c_char * 64)()
        arena = supplied(block, offset=8)
        before = arena.state()
        assert alloc(arena, size, 8) is None
        assert arena.state() == before

    @pytest.mark.parametrize(
        "size",
        [
            SIZE_MAX - 100,
            SIZE_MAX - 8,
            # Just below wrapping: the arithmetic holds and the allocator refuses the size.
            pytest.param(SIZE_MAX - 65536 - 64, marks=pytest.mark.skipif(
                not _may_return_null, reason="the sanitizer allocator aborts on impossible sizes")),
        ],
    )
    def test_size_wrapping_the_grown_capacity(self, owned, size):
        # new_offset + 64 KiB of headroom would wrap to a small block.
        arena = owned(64)
        alloc(arena, 8)
        before = arena.state()
        assert alloc(arena, size, 8) is None
        assert arena.state() == before

    @pytest.mark.parametrize("alignment", [256, 2**20, 2**63])
    def test_alignment_wrapping_the_address(self, alignment):
        # Only arithmetic is done on the address, so a block at the top of the address space can
        # be described without existing.
        arena = Arena(2**64 - 0xFF, 4096, 0, 0)
        before = arena.state()
        assert alloc(arena, 1, alignment) is None
        assert arena.state() == before

    @pytest.mark.skipif(not _may_return_null, reason="the sanitizer allocator aborts on impossible sizes")
    def test_huge_alignment_on_an_owning_arena(self, owned):
        arena = owned(64)
        before = arena.state()
        assert alloc(arena, 1, 2**63) is None
        assert arena.state() == before


class TestLargeAlignmentAfterGrowth:
    """A block that moves during growth may need more padding than it had; the region handed out
    must still lie inside the grown block."""

    @pytest.mark.parametrize("alignment", [64, 4096, 32768, 2**20])
    def test_region_stays_inside_the_moved_block(self, owned, alignment):
        padding_grew = False
        for trial in range(12):
            capacity = 4 * alignment
            arena = owned(capacity)
            owned(64)  # a neighbour, so the block cannot grow in place
            shift = 1 + trial * max(1, alignment // 12)  # varies the padding the old block needs
            alloc(arena, shift, 1)
            buffer = arena.buffer
            old_padding = -(buffer + shift) % alignment
            # A size for which the old block's padding would make the request end exactly at
            # twice the capacity, which doubling provides.
            size = 2 * capacity - shift - old_padding
            pointer = alloc(arena, size, alignment)
            assert pointer % alignment == 0
            assert_inside(arena, pointer, size)
            if arena.buffer != buffer and pointer - (arena.buffer + shift) > old_padding:
                padding_grew = True
        if not padding_grew:
            pytest.skip("this allocator never moved the block to an address needing more padding")


class TestDestroy:
    def test_twice_is_harmless_and_init_works_again(self):
        arena = init(64)
        lib.scratchpad_destroy(ctypes.byref(arena))
        assert arena.state() == (None, 0, 0, 0)
        lib.scratchpad_destroy(ctypes.byref(arena))
        assert arena.state() == (None, 0, 0, 0)
        lib.scratchpad_destroy(None)
        assert lib.scratchpad_init(ctypes.byref(arena), 32) == 0
        assert_inside(arena, alloc(arena, 32), 32)
        lib.scratchpad_destroy(ctypes.byref(arena))

    def test_supplied_block_is_neither_freed_nor_forgotten(self):
        block = (ctypes.c_char * 64)()
        arena = supplied(block, offset=10)
        lib.scratchpad_destroy(ctypes.byref(arena))
        assert arena.state() == (ctypes.addressof(block), 0, 0, 0)


@settings(max_examples=examples(200), deadline=None)
@given(
    capacity=st.integers(1, 4096),
    requests=st.lists(
        st.tuples(st.integers(0, 20_000), st.sampled_from([0, 1, 2, 4, 8, 16, 32, 64, 256, 4096, 65536])),
        max_size=30,
    ),
)
def test_every_region_is_aligned_inside_and_disjoint(capacity, requests):
    arena = init(capacity)
    try:
        regions = []  # (start, end) as offsets from the block start, which may move
        for size, alignment in requests:
            offset_before = arena.offset
            pointer = alloc(arena, size, alignment)
            if size == 0:
                assert pointer is None and arena.offset == offset_before
                continue
            assert pointer % (alignment or 8) == 0
            assert_inside(arena, pointer, size)
            start = pointer - arena.buffer
            assert start >= offset_before
            assert arena.offset == start + size
            assert all(end <= start for _, end in regions)
            regions.append((start, start + size))
    finally:
        lib.scratchpad_destroy(ctypes.byref(arena))
