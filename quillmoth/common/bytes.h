// Byte helpers shared by the header, cookie and URL code: ASCII lowering (A-Z only) and the
// case-insensitive comparison used by every header lookup, which lowers the stored side on the fly
// so that a lookup allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qm {

constexpr unsigned char ascii_lower(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Lowers `n` bytes of `src` into `dst` (which may be the same buffer).
inline void ascii_lower_copy(char* dst, const char* src, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i) dst[i] = static_cast<char>(ascii_lower(static_cast<unsigned char>(src[i])));
}

// Whether `stored` lowered equals `lowered_key` (already lowered).
inline bool equals_lowered(const char* stored, size_t stored_len, const char* lowered_key, size_t key_len) noexcept {
    if (stored_len != key_len) return false;
    const auto* s = reinterpret_cast<const unsigned char*>(stored);
    const auto* k = reinterpret_cast<const unsigned char*>(lowered_key);
    for (size_t i = 0; i < key_len; ++i) {
        if (ascii_lower(s[i]) != k[i]) return false;
    }
    return true;
}

// A short key lowered on the stack; longer keys go to the heap. `data()` is null when the heap
// allocation failed.
class LoweredKey {
public:
    LoweredKey(const char* key, size_t len) noexcept : len_(len) {
        data_ = len <= sizeof(small_) ? small_ : static_cast<char*>(std::malloc(len));
        if (data_) ascii_lower_copy(data_, key, len);
    }
    LoweredKey(const LoweredKey&) = delete;
    LoweredKey& operator=(const LoweredKey&) = delete;
    ~LoweredKey() {
        if (data_ != small_) std::free(data_);
    }
    const char* data() const noexcept { return data_; }
    size_t size() const noexcept { return len_; }

private:
    char small_[128];
    char* data_;
    size_t len_;
};

// The decimal digits of `value` into `out` (room for 20); returns their count.
inline size_t decimal_digits(uint64_t value, char* out) noexcept {
    char reversed[20];
    size_t n = 0;
    do {
        reversed[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
    return n;
}

}  // namespace qm
