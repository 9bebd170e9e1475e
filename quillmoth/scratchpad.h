// Scratchpad arena: a bump-pointer allocator over one block, for short-lived scratch memory that
// native code loaded in the same process frees all at once. The three functions are exported from
// the messages module under their plain names.
//
// The caller owns the ScratchpadArena structure itself; the functions only manage the block it
// points to. A pointer handed out by scratchpad_alloc stays valid until the next allocation that
// grows the block (growth uses realloc, which may move it) and until scratchpad_destroy.
#pragma once

#include "common/native.h"  // first: the interpreter's headers must precede the standard ones

#include <cstddef>

struct ScratchpadArena {
    char* buffer;     // start of the block, or null
    size_t capacity;  // size of the block in bytes
    size_t offset;    // bytes in use; the next allocation starts at buffer + offset (before alignment)
    int is_dynamic;   // 1: the arena owns the block (heap) and may grow and free it; 0: it does not
};

// Gives the arena a new heap block of `capacity` bytes (0 means 65536). Returns 0, or -1 when
// `arena` is null or the block cannot be allocated (the arena is then empty and not owning).
QM_PUBLIC int scratchpad_init(ScratchpadArena* arena, size_t capacity);

// Returns `size` bytes at an address aligned to `alignment` (a power of two; 0 means 8) inside
// the block, growing an owning arena when needed. Returns null, with the arena unchanged, when
// `arena` or its buffer is null, `size` is 0, `alignment` is not a power of two, the request
// cannot be represented in size_t, or the block cannot or may not grow.
QM_PUBLIC void* scratchpad_alloc(ScratchpadArena* arena, size_t size, size_t alignment);

// Frees an owned block and empties the arena. A caller-supplied block is left alone (and kept in
// `buffer`). Harmless on a null or already destroyed arena.
QM_PUBLIC void scratchpad_destroy(ScratchpadArena* arena);
