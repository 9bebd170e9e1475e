// Case-insensitive comparison of a stored name with an already lowered key, eight bytes at a time.
// Same result as equals_lowered (bytes.h): only ASCII A-Z are folded, every other byte compares as
// is. Header names are mostly 4 to 30 bytes, so a lookup that reaches the full comparison does a
// few word compares instead of a byte loop.
#pragma once

#include "bytes.h"

#include <cstdint>
#include <cstring>

namespace qm {

inline uint64_t load_word(const char* p) noexcept {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Lowers the ASCII capitals among the eight bytes of `word`. For a byte b below 0x80,
// (b & 0x7f) + 0x3f reaches 0x80 when b >= 'A', and (b & 0x7f) + 0x25 reaches it when b > 'Z';
// neither sum carries into the next byte. Bytes with the top bit set are left alone.
constexpr uint64_t lower_word(uint64_t word) noexcept {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    const uint64_t low7 = word & (0x7f * ones);
    const uint64_t capitals = ((low7 + 0x3f * ones) ^ (low7 + 0x25 * ones)) & ~word & (0x80 * ones);
    return word | (capitals >> 2);
}

// Whether `stored` (n bytes) lowered equals `lowered_key` (n bytes, already lowered).
inline bool equals_lowered_n(const char* stored, const char* lowered_key, size_t n) noexcept {
    if (n < 8) {
        for (size_t i = 0; i < n; ++i) {
            if (ascii_lower(static_cast<unsigned char>(stored[i])) != static_cast<unsigned char>(lowered_key[i])) {
                return false;
            }
        }
        return true;
    }
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        if (lower_word(load_word(stored + i)) != load_word(lowered_key + i)) return false;
    }
    // The last partial word: compare the final eight bytes, overlapping what was already compared.
    return i == n || lower_word(load_word(stored + n - 8)) == load_word(lowered_key + n - 8);
}

}  // namespace qm
