// Percent-encoding and -decoding with the exact results of the standard library's
// urllib.parse.quote (UTF-8, strict errors, default safe set "/"), unquote (UTF-8, errors
// "replace") and unquote_to_bytes, for every input. The common cases return the input object
// itself: a str that needs no escaping, a str or bytes without any "%".
//
// Byte-level pieces (`unquote_into`, `quote_into`) work on raw buffers for callers that hold the
// bytes already; the object-level functions return new references, or null with an exception set.
#pragma once

#include "ref.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qm::percent {

// Bytes that quote leaves as they are: letters, digits, "_.-~" and the caller's extra characters
// (only ASCII ones count, as with the standard library).
struct SafeTable {
    bool safe[256];
};

constexpr SafeTable make_safe_table(const char* extra) {
    SafeTable table{};
    for (int c = 'A'; c <= 'Z'; ++c) table.safe[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) table.safe[c] = true;
    for (int c = '0'; c <= '9'; ++c) table.safe[c] = true;
    table.safe[static_cast<unsigned char>('_')] = true;
    table.safe[static_cast<unsigned char>('.')] = true;
    table.safe[static_cast<unsigned char>('-')] = true;
    table.safe[static_cast<unsigned char>('~')] = true;
    for (const char* p = extra; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 128) table.safe[c] = true;
    }
    return table;
}

// quote()'s default: "/" stays as it is.
inline constexpr SafeTable kDefaultSafe = make_safe_table("/");
// Nothing but the always-safe characters.
inline constexpr SafeTable kStrictSafe = make_safe_table("");

// Value of a hex digit (either case), or -1.
constexpr int hex_value(unsigned char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline constexpr char kHexUpper[] = "0123456789ABCDEF";

// ---------------------------------------------------------------------------------------------
// Byte level

// Whether src[i] starts a "%XX" escape with two hex digits.
inline bool is_escape_at(const unsigned char* src, size_t n, size_t i) noexcept {
    return src[i] == '%' && i + 2 < n && hex_value(src[i + 1]) >= 0 && hex_value(src[i + 2]) >= 0;
}

// Length of the decoded form of src[0..n): each valid "%XX" shrinks by two bytes; a "%" not
// followed by two hex digits is kept as it stands.
inline size_t unquoted_length(const char* src, size_t n) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    size_t out = n;
    const void* hit;
    size_t i = 0;
    while (i < n && (hit = std::memchr(s + i, '%', n - i)) != nullptr) {
        i = static_cast<size_t>(static_cast<const unsigned char*>(hit) - s);
        if (is_escape_at(s, n, i)) {
            out -= 2;
            i += 3;
        } else {
            i += 1;
        }
    }
    return out;
}

// Decodes the "%XX" escapes of src[0..n) into dst and returns the number of bytes written
// (never more than n). `dst` may be `src` itself: decoding in place is allowed.
inline size_t unquote_into(const char* src, size_t n, char* dst) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    size_t i = 0, o = 0;
    while (i < n) {
        const void* hit = std::memchr(s + i, '%', n - i);
        size_t stop = hit ? static_cast<size_t>(static_cast<const unsigned char*>(hit) - s) : n;
        if (stop > i) {
            if (dst + o != src + i) std::memmove(dst + o, src + i, stop - i);
            o += stop - i;
        }
        if (!hit) break;
        i = stop;
        int hi, lo;
        if (i + 2 < n && (hi = hex_value(s[i + 1])) >= 0 && (lo = hex_value(s[i + 2])) >= 0) {
            dst[o++] = static_cast<char>((hi << 4) | lo);
            i += 3;
        } else {
            dst[o++] = '%';
            i += 1;
        }
    }
    return o;
}

// Number of bytes of src[0..n) that quote escapes.
inline size_t count_unsafe(const char* src, size_t n, const SafeTable& safe) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) count += !safe.safe[s[i]];
    return count;
}

// Writes the quoted form of src[0..n) into dst, which holds n + 2 * count_unsafe(...) bytes.
inline void quote_into(const char* src, size_t n, char* dst, const SafeTable& safe) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    size_t o = 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = s[i];
        if (safe.safe[c]) {
            dst[o++] = static_cast<char>(c);
        } else {
            dst[o++] = '%';
            dst[o++] = kHexUpper[c >> 4];
            dst[o++] = kHexUpper[c & 15];
        }
    }
}

// A scratch buffer on the stack for short inputs, on the heap beyond that.
class ScratchBuffer {
public:
    explicit ScratchBuffer(size_t size) noexcept {
        data_ = size <= sizeof(small_) ? small_ : static_cast<char*>(PyMem_Malloc(size ? size : 1));
        if (!data_) PyErr_NoMemory();
    }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    ~ScratchBuffer() {
        if (data_ != small_) PyMem_Free(data_);
    }
    char* data() const noexcept { return data_; }

private:
    char small_[512];
    char* data_;
};

// ---------------------------------------------------------------------------------------------
// Object level

// The quoted form of src[0..n) as a new ASCII str.
[[nodiscard]] inline PyObject* quote_buffer(const char* src, size_t n, const SafeTable& safe = kDefaultSafe) noexcept {
    size_t unsafe = count_unsafe(src, n, safe);
    if (unsafe == 0) return PyUnicode_DecodeASCII(src, static_cast<Py_ssize_t>(n), nullptr);
    if (unsafe > (static_cast<size_t>(PY_SSIZE_T_MAX) - n) / 2) return PyErr_NoMemory();
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(n + 2 * unsafe), 127);
    if (!out) return nullptr;
    quote_into(src, n, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out)), safe);
    return out;
}

// quote(value): `value` a str (encoded as UTF-8, strict: a lone surrogate raises
// UnicodeEncodeError), bytes or bytearray; the result is always a str. An exact str that needs
// no escaping is returned as it is.
[[nodiscard]] inline PyObject* quote(PyObject* value, const SafeTable& safe = kDefaultSafe) noexcept {
    if (PyUnicode_Check(value)) {
        if (PyUnicode_IS_ASCII(value)) {
            const char* data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value));
            size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(value));
            if (PyUnicode_CheckExact(value) && count_unsafe(data, n, safe) == 0) return Py_NewRef(value);
            return quote_buffer(data, n, safe);
        }
        Py_ssize_t n;
        const char* data = PyUnicode_AsUTF8AndSize(value, &n);
        if (!data) return nullptr;
        return quote_buffer(data, static_cast<size_t>(n), safe);
    }
    if (PyBytes_Check(value)) {
        return quote_buffer(PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value)), safe);
    }
    if (PyByteArray_Check(value)) {
        return quote_buffer(PyByteArray_AS_STRING(value), static_cast<size_t>(PyByteArray_GET_SIZE(value)), safe);
    }
    PyErr_SetString(PyExc_TypeError, "quote_from_bytes() expected bytes");
    return nullptr;
}

// Decoded escapes of src[0..n) as bytes.
[[nodiscard]] inline PyObject* unquote_buffer_to_bytes(const char* src, size_t n) noexcept {
    size_t out_len = unquoted_length(src, n);
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(out_len));
    if (!out) return nullptr;
    unquote_into(src, n, PyBytes_AS_STRING(out));
    return out;
}

// Decoded escapes of src[0..n) as str: the bytes are decoded as UTF-8 with invalid sequences
// replaced by U+FFFD.
[[nodiscard]] inline PyObject* unquote_buffer_to_str(const char* src, size_t n) noexcept {
    if (!std::memchr(src, '%', n)) return PyUnicode_DecodeUTF8(src, static_cast<Py_ssize_t>(n), "replace");
    ScratchBuffer buffer(n);
    if (!buffer.data()) return nullptr;
    size_t out_len = unquote_into(src, n, buffer.data());
    return PyUnicode_DecodeUTF8(buffer.data(), static_cast<Py_ssize_t>(out_len), "replace");
}

namespace detail {

// unquote of a str holding non-ASCII characters: those are kept as they are, and each run of
// ASCII characters between them is decoded on its own (so an escape sequence is never joined
// across a non-ASCII character).
[[nodiscard]] inline PyObject* unquote_mixed_str(PyObject* value) noexcept {
    const int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(n);
    if (!writer) return nullptr;
    ScratchBuffer buffer(static_cast<size_t>(n));
    if (!buffer.data()) {
        PyUnicodeWriter_Discard(writer);
        return nullptr;
    }
    Py_ssize_t i = 0;
    while (i < n) {
        Py_ssize_t start = i;
        if (PyUnicode_READ(kind, data, i) >= 128) {
            while (i < n && PyUnicode_READ(kind, data, i) >= 128) ++i;
            if (PyUnicodeWriter_WriteSubstring(writer, value, start, i) < 0) goto error;
            continue;
        }
        bool has_percent = false;
        size_t len = 0;
        while (i < n) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= 128) break;
            has_percent |= c == '%';
            buffer.data()[len++] = static_cast<char>(c);
            ++i;
        }
        if (!has_percent) {
            if (PyUnicodeWriter_WriteSubstring(writer, value, start, i) < 0) goto error;
            continue;
        }
        len = unquote_into(buffer.data(), len, buffer.data());
        if (PyUnicodeWriter_DecodeUTF8Stateful(writer, buffer.data(), static_cast<Py_ssize_t>(len), "replace",
                                               nullptr) < 0)
            goto error;
    }
    return PyUnicodeWriter_Finish(writer);
error:
    PyUnicodeWriter_Discard(writer);
    return nullptr;
}

}  // namespace detail

// unquote(value): `value` a str or bytes; the result is a str. A str without "%" is returned as
// it is.
[[nodiscard]] inline PyObject* unquote(PyObject* value) noexcept {
    if (PyUnicode_Check(value)) {
        if (PyUnicode_IS_ASCII(value)) {
            const char* data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(value));
            size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(value));
            if (!std::memchr(data, '%', n)) return Py_NewRef(value);
            return unquote_buffer_to_str(data, n);
        }
        if (PyUnicode_FindChar(value, '%', 0, PyUnicode_GET_LENGTH(value), 1) == -1) return Py_NewRef(value);
        return detail::unquote_mixed_str(value);
    }
    if (PyBytes_Check(value)) {
        return unquote_buffer_to_str(PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value)));
    }
    PyErr_Format(PyExc_TypeError, "unquote() expected str or bytes, got %.200s", Py_TYPE(value)->tp_name);
    return nullptr;
}

// unquote_to_bytes(value): `value` a str (encoded as UTF-8, strict), bytes or bytearray; the
// result is bytes. Exact bytes without "%" are returned as they are.
[[nodiscard]] inline PyObject* unquote_to_bytes(PyObject* value) noexcept {
    const char* data;
    Py_ssize_t n;
    if (PyBytes_Check(value)) {
        data = PyBytes_AS_STRING(value);
        n = PyBytes_GET_SIZE(value);
        if (PyBytes_CheckExact(value) && !std::memchr(data, '%', static_cast<size_t>(n))) return Py_NewRef(value);
    } else if (PyByteArray_Check(value)) {
        data = PyByteArray_AS_STRING(value);
        n = PyByteArray_GET_SIZE(value);
    } else if (PyUnicode_Check(value)) {
        data = PyUnicode_AsUTF8AndSize(value, &n);
        if (!data) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError, "unquote_to_bytes() expected str or bytes, got %.200s",
                     Py_TYPE(value)->tp_name);
        return nullptr;
    }
    return unquote_buffer_to_bytes(data, static_cast<size_t>(n));
}

}  // namespace qm::percent
