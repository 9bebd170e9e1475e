// Scratchpad arena: one heap block, handed out by bumping an offset, freed in one go.
#include "scratchpad.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr size_t kDefaultCapacity = 0x10000;
constexpr size_t kDefaultAlignment = 8;
// Headroom added beyond a single request that doubling the block would not cover.
constexpr size_t kGrowthHeadroom = 0x10000;
// malloc and realloc return blocks aligned for every fundamental type, so for an alignment up to
// this one the padding in front of an allocation is the same wherever realloc moves the block.
constexpr size_t kBlockAlignment = alignof(std::max_align_t);

static_assert(sizeof(uintptr_t) == sizeof(size_t), "offsets and addresses share one width");

// Offset from `buffer` of the first address at or after buffer + offset that is a multiple of
// `alignment` (a power of two). False when that address cannot be represented.
bool aligned_offset(const char* buffer, size_t offset, size_t alignment, size_t* out) noexcept {
    const uintptr_t base = reinterpret_cast<uintptr_t>(buffer);
    if (offset > UINTPTR_MAX - base) return false;
    const uintptr_t start = base + offset;
    const uintptr_t mask = static_cast<uintptr_t>(alignment) - 1;
    if (mask > UINTPTR_MAX - start) return false;
    const uintptr_t aligned = (start + mask) & ~mask;
    *out = offset + static_cast<size_t>(aligned - start);
    return true;
}

// Offset just past `size` bytes placed at `start`; false on overflow.
bool end_offset(size_t start, size_t size, size_t* out) noexcept {
    if (size > SIZE_MAX - start) return false;
    *out = start + size;
    return true;
}

}  // namespace

QM_PUBLIC int scratchpad_init(ScratchpadArena* arena, size_t capacity) {
    if (!arena) return -1;
    if (capacity == 0) capacity = kDefaultCapacity;
    char* block = static_cast<char*>(std::malloc(capacity));
    if (!block) {
        arena->buffer = nullptr;
        arena->capacity = 0;
        arena->offset = 0;
        arena->is_dynamic = 0;
        return -1;
    }
    arena->buffer = block;
    arena->capacity = capacity;
    arena->offset = 0;
    arena->is_dynamic = 1;
    return 0;
}

QM_PUBLIC void* scratchpad_alloc(ScratchpadArena* arena, size_t size, size_t alignment) {
    if (!arena || size == 0 || !arena->buffer) return nullptr;
    if (alignment == 0) alignment = kDefaultAlignment;
    // The rounding is a mask: anything but a power of two would give a misaligned address.
    if ((alignment & (alignment - 1)) != 0) return nullptr;

    size_t start, new_offset;
    if (!aligned_offset(arena->buffer, arena->offset, alignment, &start) || !end_offset(start, size, &new_offset)) {
        return nullptr;
    }
    if (new_offset <= arena->capacity) {
        arena->offset = new_offset;
        return arena->buffer + start;
    }
    if (!arena->is_dynamic) return nullptr;

    // The block must hold the request wherever realloc puts it. Up to the block alignment the
    // padding does not change with the address; beyond it, room for the largest padding is needed.
    size_t needed = new_offset;
    if (alignment > kBlockAlignment) {
        size_t padded;
        if (!end_offset(arena->offset, alignment - 1, &padded) || !end_offset(padded, size, &needed)) return nullptr;
    }
    size_t new_capacity;
    if (arena->capacity <= SIZE_MAX / 2 && arena->capacity * 2 >= needed) {
        new_capacity = arena->capacity * 2;
    } else if (!end_offset(needed, kGrowthHeadroom, &new_capacity)) {
        return nullptr;
    }

    char* grown = static_cast<char*>(std::realloc(arena->buffer, new_capacity));
    if (!grown) return nullptr;  // the old block, capacity and offset stay as they were
    arena->buffer = grown;
    arena->capacity = new_capacity;

    // The block may have moved: align again in the new block and make sure the region fits.
    if (!aligned_offset(grown, arena->offset, alignment, &start) || !end_offset(start, size, &new_offset) ||
        new_offset > new_capacity) {
        return nullptr;
    }
    arena->offset = new_offset;
    return grown + start;
}

QM_PUBLIC void scratchpad_destroy(ScratchpadArena* arena) {
    if (!arena) return;
    if (arena->buffer && arena->is_dynamic) {
        std::free(arena->buffer);
        arena->buffer = nullptr;
    }
    arena->capacity = 0;
    arena->offset = 0;
    arena->is_dynamic = 0;
}
