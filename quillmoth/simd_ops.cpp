// Scanning primitives. On x86-64 the scans run 16 bytes at a time with SSE2 (always present there)
// and 32 at a time with AVX2 when the processor has it (checked once, at load); elsewhere, and for
// the last bytes of every buffer, a byte loop does the work. Vector loads never reach past
// buffer[length - 1]: a block is only loaded when it lies wholly inside the buffer.
#include "simd_ops.h"

// 32-bit x86 compilers enable SSE2 only on request; without it the byte loops do all the work.
#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define QM_SIMD_X86 1
#else
#define QM_SIMD_X86 0
#endif

namespace {

constexpr unsigned char kCR = 13;
constexpr unsigned char kLF = 10;
// Separator bytes below 64: space (32), '#' (35), '/' (47), '?' (63).
constexpr uint64_t kSeparatorMask = 0x8000800900000000ULL;

inline bool is_separator(unsigned char c) noexcept { return c < 64 && ((kSeparatorMask >> c) & 1u); }
inline bool is_url_ascii(unsigned char c) noexcept { return static_cast<unsigned char>(c - 32) <= 94; }

#if QM_SIMD_X86

const bool kHaveAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();

// ---- SSE2: 16 bytes a step. Each returns the index to resume the byte loop at, or writes the hit.

inline int64_t sse2_find_crlf(const unsigned char* p, size_t length, size_t* resume) noexcept {
    const __m128i cr = _mm_set1_epi8(static_cast<char>(kCR));
    const __m128i lf = _mm_set1_epi8(static_cast<char>(kLF));
    size_t i = *resume;
    // The LF of a pair starting at i + 15 is at i + 16, so a block needs 17 readable bytes.
    for (; i + 17 <= length; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        int mask = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, cr), _mm_cmpeq_epi8(b, lf)));
        if (mask) return static_cast<int64_t>(i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask))));
    }
    *resume = i;
    return -1;
}

inline int64_t sse2_find_crlf_crlf(const unsigned char* p, size_t length, size_t* resume) noexcept {
    const __m128i cr = _mm_set1_epi8(static_cast<char>(kCR));
    const __m128i lf = _mm_set1_epi8(static_cast<char>(kLF));
    size_t i = *resume;
    for (; i + 19 <= length; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 2));
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 3));
        __m128i hit = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, cr), _mm_cmpeq_epi8(b, lf)),
                                    _mm_and_si128(_mm_cmpeq_epi8(c, cr), _mm_cmpeq_epi8(d, lf)));
        int mask = _mm_movemask_epi8(hit);
        if (mask) return static_cast<int64_t>(i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask))));
    }
    *resume = i;
    return -1;
}

inline int64_t sse2_find_separator(const unsigned char* p, size_t length, size_t* resume) noexcept {
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i hash = _mm_set1_epi8('#');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i question = _mm_set1_epi8('?');
    size_t i = *resume;
    for (; i + 16 <= length; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, hash)),
                                   _mm_or_si128(_mm_cmpeq_epi8(v, slash), _mm_cmpeq_epi8(v, question)));
        int mask = _mm_movemask_epi8(hit);
        if (mask) return static_cast<int64_t>(i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask))));
    }
    *resume = i;
    return -1;
}

// Returns false as soon as a block holds a byte outside 32..126. Read as signed bytes, the valid
// ones are exactly those greater than 31 and less than 127 (bytes of 128 and up are negative).
inline bool sse2_validate(const unsigned char* p, size_t length, size_t* resume) noexcept {
    const __m128i low = _mm_set1_epi8(31);
    const __m128i high = _mm_set1_epi8(127);
    size_t i = *resume;
    for (; i + 16 <= length; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i ok = _mm_and_si128(_mm_cmpgt_epi8(v, low), _mm_cmplt_epi8(v, high));
        if (_mm_movemask_epi8(ok) != 0xFFFF) return false;
    }
    *resume = i;
    return true;
}

// ---- AVX2: 32 bytes a step, for buffers long enough to pay for it.

__attribute__((target("avx2"))) int64_t avx2_find_crlf(const unsigned char* p, size_t length,
                                                        size_t* resume) noexcept {
    const __m256i cr = _mm256_set1_epi8(static_cast<char>(kCR));
    const __m256i lf = _mm256_set1_epi8(static_cast<char>(kLF));
    size_t i = *resume;
    for (; i + 33 <= length; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
        unsigned mask = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, cr), _mm256_cmpeq_epi8(b, lf))));
        if (mask) return static_cast<int64_t>(i + static_cast<size_t>(__builtin_ctz(mask)));
    }
    *resume = i;
    return -1;
}

__attribute__((target("avx2"))) int64_t avx2_find_crlf_crlf(const unsigned char* p, size_t length,
                                                             size_t* resume) noexcept {
    const __m256i cr = _mm256_set1_epi8(static_cast<char>(kCR));
    const __m256i lf = _mm256_set1_epi8(static_cast<char>(kLF));
    size_t i = *resume;
    for (; i + 35 <= length; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 2));
        __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 3));
        __m256i hit = _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi8(a, cr), _mm256_cmpeq_epi8(b, lf)),
                                       _mm256_and_si256(_mm256_cmpeq_epi8(c, cr), _mm256_cmpeq_epi8(d, lf)));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(hit));
        if (mask) return static_cast<int64_t>(i + static_cast<size_t>(__builtin_ctz(mask)));
    }
    *resume = i;
    return -1;
}

__attribute__((target("avx2"))) int64_t avx2_find_separator(const unsigned char* p, size_t length,
                                                             size_t* resume) noexcept {
    const __m256i space = _mm256_set1_epi8(' ');
    const __m256i hash = _mm256_set1_epi8('#');
    const __m256i slash = _mm256_set1_epi8('/');
    const __m256i question = _mm256_set1_epi8('?');
    size_t i = *resume;
    for (; i + 32 <= length; i += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        __m256i hit = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, space), _mm256_cmpeq_epi8(v, hash)),
                                      _mm256_or_si256(_mm256_cmpeq_epi8(v, slash), _mm256_cmpeq_epi8(v, question)));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(hit));
        if (mask) return static_cast<int64_t>(i + static_cast<size_t>(__builtin_ctz(mask)));
    }
    *resume = i;
    return -1;
}

__attribute__((target("avx2"))) bool avx2_validate(const unsigned char* p, size_t length, size_t* resume) noexcept {
    const __m256i low = _mm256_set1_epi8(31);
    const __m256i high = _mm256_set1_epi8(127);
    size_t i = *resume;
    for (; i + 32 <= length; i += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        __m256i ok = _mm256_and_si256(_mm256_cmpgt_epi8(v, low), _mm256_cmpgt_epi8(high, v));
        if (static_cast<unsigned>(_mm256_movemask_epi8(ok)) != 0xFFFFFFFFu) return false;
    }
    *resume = i;
    return true;
}

// Below this length the byte loop (plus SSE2) is as fast as setting up the wide registers.
constexpr size_t kAvx2Threshold = 64;

#endif  // QM_SIMD_X86

}  // namespace

QM_SIMD_EXPORT int64_t simd_find_crlf(const char* buffer, size_t length) {
    if (!buffer || length < 2) return -1;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer);
    size_t i = 0;
#if QM_SIMD_X86
    int64_t hit;
    if (kHaveAvx2 && length >= kAvx2Threshold && (hit = avx2_find_crlf(p, length, &i)) >= 0) return hit;
    if ((hit = sse2_find_crlf(p, length, &i)) >= 0) return hit;
#endif
    for (; i + 1 < length; ++i) {
        if (p[i] == kCR && p[i + 1] == kLF) return static_cast<int64_t>(i);
    }
    return -1;
}

QM_SIMD_EXPORT int64_t simd_find_crlf_crlf(const char* buffer, size_t length) {
    if (!buffer || length < 4) return -1;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer);
    size_t i = 0;
#if QM_SIMD_X86
    int64_t hit;
    if (kHaveAvx2 && length >= kAvx2Threshold && (hit = avx2_find_crlf_crlf(p, length, &i)) >= 0) return hit;
    if ((hit = sse2_find_crlf_crlf(p, length, &i)) >= 0) return hit;
#endif
    for (; i + 3 < length; ++i) {
        if (p[i] == kCR && p[i + 1] == kLF && p[i + 2] == kCR && p[i + 3] == kLF) return static_cast<int64_t>(i);
    }
    return -1;
}

QM_SIMD_EXPORT int64_t simd_find_path_separator(const char* buffer, size_t length, size_t start_pos) {
    if (!buffer || start_pos >= length) return -1;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer);
    size_t i = start_pos;
#if QM_SIMD_X86
    int64_t hit;
    if (kHaveAvx2 && length - start_pos >= kAvx2Threshold && (hit = avx2_find_separator(p, length, &i)) >= 0)
        return hit;
    if ((hit = sse2_find_separator(p, length, &i)) >= 0) return hit;
#endif
    for (; i < length; ++i) {
        if (is_separator(p[i])) return static_cast<int64_t>(i);
    }
    return -1;
}

QM_SIMD_EXPORT int simd_validate_url_ascii(const char* buffer, size_t length) {
    if (!buffer) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer);
    size_t i = 0;
#if QM_SIMD_X86
    if (kHaveAvx2 && length >= kAvx2Threshold && !avx2_validate(p, length, &i)) return 0;
    if (!sse2_validate(p, length, &i)) return 0;
#endif
    for (; i < length; ++i) {
        if (!is_url_ascii(p[i])) return 0;
    }
    return 1;
}

QM_SIMD_EXPORT uint32_t simd_fast_hash(const char* buffer, size_t length) {
    if (!buffer || length == 0) return 0;
    constexpr uint32_t kPrime = 16777619u;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer);
    uint32_t hash = 2166136261u;
    size_t i = 0;
    // FNV-1a is a serial chain; taking four bytes per step only saves loop overhead.
    for (; i + 4 <= length; i += 4) {
        hash = (hash ^ p[i]) * kPrime;
        hash = (hash ^ p[i + 1]) * kPrime;
        hash = (hash ^ p[i + 2]) * kPrime;
        hash = (hash ^ p[i + 3]) * kPrime;
    }
    for (; i < length; ++i) hash = (hash ^ p[i]) * kPrime;
    return hash;
}
