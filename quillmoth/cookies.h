// Native layout of quillmoth.cookies: the Cookie value object, the SameSite mode as a native
// value, and the functions the module exports to its siblings.
//
// Sibling modules bind the exports once, when they are imported:
//
//     qm::cookies::CookiesApi cookies_api;
//     if (!qm::cookies::import_cookies_api(&cookies_api)) return nullptr;   // at module init
//     ...
//     PyObject* header_value = cookies_api.write_cookie_for_response(cookie);  // bytes or null
//
// and import the Cookie class with qm::import_native_type("quillmoth.cookies", "Cookie")
// to test instances with PyObject_TypeCheck before a cast to CookieObject.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/exports.h"

#include <cstdint>

namespace qm::cookies {

// SameSite attribute of a cookie. Any 32-bit value may be held; values other than the four named
// ones are written as no attribute at all.
enum class CookieSameSiteMode : uint32_t {
    UNDEFINED = 0,
    LAX = 1,
    STRICT = 2,
    NONE = 3,
};

// Value of a cookie's value above which clients ignore or truncate it, in UTF-8 bytes.
inline constexpr Py_ssize_t kMaxCookieValueLength = 4096;

struct CookieObject;

// Operation table of Cookie. Append-only: new entries go at the end, and a native subclass
// extends it by deriving from it.
//
// `skip_dispatch` 0 lets a Python subclass that redefines the method of the same name take over;
// the Python-visible methods pass 1.
struct CookieOps {
    // clone(): a new Cookie (always of the base class), or null with an exception set.
    PyObject* (*clone)(CookieObject* self, int skip_dispatch);
};

struct CookieObject {
    PyObject_HEAD
    const CookieOps* ops;
    PyObject* _name;     // str (None only before the constructor has run); set through `name`
    PyObject* _value;    // str or None; set through `value`
    PyObject* expires;   // datetime.datetime (or subclass) or None
    PyObject* domain;    // str or None
    PyObject* path;      // str or None
    bool http_only;
    bool secure;
    int64_t max_age;     // negative: no Max-Age
    CookieSameSiteMode same_site;
};

// ---------------------------------------------------------------------------------------------
// Exported functions. Functions returning an object give a new reference, or null with an
// exception set. The `skip_dispatch` flag of module-level functions has no effect; pass 0.

// datetime_from_cookie_format(value: bytes) -> naive datetime
using DatetimeFromCookieFormatFn = PyObject* (*)(PyObject* value, int skip_dispatch);
// datetime_to_cookie_format(value: datetime) -> bytes such as b"Wed, 21 Oct 2015 07:28:00 GMT"
using DatetimeToCookieFormatFn = PyObject* (*)(PyObject* value, int skip_dispatch);
// split_value(raw_value: bytes, separator: bytes) -> (before, after) split at the first separator;
// ValueError when it does not occur.
using SplitValueFn = PyObject* (*)(PyObject* raw_value, PyObject* separator);
// write_cookie_for_response(cookie) -> the Set-Cookie header value as bytes.
using WriteCookieForResponseFn = PyObject* (*)(CookieObject* cookie);
// same_site_mode_from_bytes(raw_value: bytes or None) -> mode; on error UNDEFINED with the
// exception set (check PyErr_Occurred).
using SameSiteModeFromBytesFn = CookieSameSiteMode (*)(PyObject* raw_value);
// parse_cookie(raw_value: bytes) -> Cookie parsed from one Set-Cookie header value.
using ParseCookieFn = CookieObject* (*)(PyObject* raw_value, int skip_dispatch);

// Signature texts, which are also the capsule names in the module's export table.
inline constexpr const char* kDatetimeFromCookieFormatSignature = "PyObject *(PyObject *, int)";
inline constexpr const char* kDatetimeToCookieFormatSignature = "PyObject *(PyObject *, int)";
inline constexpr const char* kSplitValueSignature = "PyObject *(PyObject *, PyObject *)";
inline constexpr const char* kWriteCookieForResponseSignature = "PyObject *(CookieObject *)";
inline constexpr const char* kSameSiteModeFromBytesSignature = "CookieSameSiteMode (PyObject *)";
inline constexpr const char* kParseCookieSignature = "CookieObject *(PyObject *, int)";

struct CookiesApi {
    DatetimeFromCookieFormatFn datetime_from_cookie_format = nullptr;
    DatetimeToCookieFormatFn datetime_to_cookie_format = nullptr;
    SplitValueFn split_value = nullptr;
    WriteCookieForResponseFn write_cookie_for_response = nullptr;
    SameSiteModeFromBytesFn same_site_mode_from_bytes = nullptr;
    ParseCookieFn parse_cookie = nullptr;
};

// Imports quillmoth.cookies and binds all six exports; false with ImportError (or the import's
// own error) set when one is missing or has another signature.
[[nodiscard]] inline bool import_cookies_api(CookiesApi* out) noexcept {
    qm::ImportedApi api;
    return api.open("quillmoth.cookies") &&
           api.bind("datetime_from_cookie_format", kDatetimeFromCookieFormatSignature,
                    &out->datetime_from_cookie_format) &&
           api.bind("datetime_to_cookie_format", kDatetimeToCookieFormatSignature, &out->datetime_to_cookie_format) &&
           api.bind("split_value", kSplitValueSignature, &out->split_value) &&
           api.bind("write_cookie_for_response", kWriteCookieForResponseSignature, &out->write_cookie_for_response) &&
           api.bind("same_site_mode_from_bytes", kSameSiteModeFromBytesSignature, &out->same_site_mode_from_bytes) &&
           api.bind("parse_cookie", kParseCookieSignature, &out->parse_cookie);
}

}  // namespace qm::cookies
