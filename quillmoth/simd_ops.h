// Byte-scanning primitives over raw buffers, compiled into routing, url and scribe. Each module that
// links this unit exports the five functions under their plain names for native code that loads it.
// None of them touches Python objects, keeps state or allocates; each reads only
// buffer[0 .. length - 1] and accepts a null buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#define QM_SIMD_EXPORT extern "C" __attribute__((visibility("default")))

// Index of the CR of the first CR LF pair, or -1.
QM_SIMD_EXPORT int64_t simd_find_crlf(const char* buffer, size_t length);
// Index of the first byte of the first CR LF CR LF sequence, or -1.
QM_SIMD_EXPORT int64_t simd_find_crlf_crlf(const char* buffer, size_t length);
// Index of the first of space, '#', '/', '?' at or after `start_pos`, or -1.
QM_SIMD_EXPORT int64_t simd_find_path_separator(const char* buffer, size_t length, size_t start_pos);
// 1 when every byte is printable ASCII (32..126), else 0; 0 for a null buffer.
QM_SIMD_EXPORT int simd_validate_url_ascii(const char* buffer, size_t length);
// 32-bit FNV-1a of the bytes; 0 for a null or empty buffer.
QM_SIMD_EXPORT uint32_t simd_fast_hash(const char* buffer, size_t length);
