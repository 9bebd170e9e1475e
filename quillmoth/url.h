// Native layout of quillmoth.url: the immutable URL value type, its operation table, and the two
// helpers the module exports to its siblings (build_absolute_url, join_prefix).
//
// A sibling binds the exports and the class once, when it is imported:
//
//     qm::url::UrlApi url_api;
//     if (!qm::url::import_url_api(&url_api)) return nullptr;          // at module init
//     ...
//     qm::url::URLObject* u = url_api.build_absolute_url(scheme, host, base_path, path, 0);  // or null
//     PyObject* joined = qm::url::URL_Join(reinterpret_cast<PyObject*>(u), other);           // the table
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "common/exports.h"

namespace qm::url {

struct URLObject;

// Operation table of URL, in its fixed order. Append-only: new entries go at the end, and a native
// subclass extends it by deriving from it.
//
// Every operation takes `skip_dispatch` last: callers pass 0, which lets a Python subclass that
// redefines the method of the same name take over; the Python-visible methods pass 1. Each returns
// a new reference to a URL (an override may also return None), or null with an exception set.
// Arguments are not type-checked by the table entries beyond what the operation itself needs:
// `other` must be a URL instance, `host`, `schema` and `query` bytes or None.
struct URLOps {
    PyObject* (*join)(URLObject* self, PyObject* other, int skip_dispatch);
    PyObject* (*base_url)(URLObject* self, int skip_dispatch);
    PyObject* (*with_host)(URLObject* self, PyObject* host, int skip_dispatch);
    PyObject* (*with_scheme)(URLObject* self, PyObject* schema, int skip_dispatch);
    PyObject* (*with_query)(URLObject* self, PyObject* query, int skip_dispatch);
};

// Fields in their declared order. The object fields are bytes or None (never null once the
// object exists); `port` is 0 when the URL names no port.
struct URLObject {
    PyObject_HEAD
    const URLOps* ops;
    PyObject* value;     // the whole URL as given (after the leading-dot rule)
    PyObject* schema;    // b"http" / b"https", None for a relative URL
    PyObject* host;      // without port
    int32_t port;
    PyObject* path;      // starts with "/" when present
    PyObject* query;     // without "?"
    PyObject* fragment;  // without "#"
    int32_t is_absolute; // 1 exactly when schema is not None
};

// Native exports of quillmoth.url (published under these names with these signature texts).
// Both take the no-op override flag last; callers pass 0.
//
// build_absolute_url(scheme, host, base_path, path): four bytes values (None allowed where the
// Python function allows it); returns a new URL, or null with an exception set.
using BuildAbsoluteUrlFn = URLObject* (*)(PyObject* scheme, PyObject* host, PyObject* base_path, PyObject* path,
                                          int skip_dispatch);
inline constexpr const char* kBuildAbsoluteUrlName = "build_absolute_url";
inline constexpr const char* kBuildAbsoluteUrlSignature =
    "URLObject *(PyObject *, PyObject *, PyObject *, PyObject *, int)";

// join_prefix(prefix, path): two str values or None; returns a new reference (str, or `path`
// itself when the prefix is empty), or null with an exception set.
using JoinPrefixFn = PyObject* (*)(PyObject* prefix, PyObject* path, int skip_dispatch);
inline constexpr const char* kJoinPrefixName = "join_prefix";
inline constexpr const char* kJoinPrefixSignature = "PyObject *(PyObject *, PyObject *, int)";

// What a sibling module holds of quillmoth.url (the class is a new reference kept for the process,
// checked to be the module's native URL class or a subclass of it).
struct UrlApi {
    PyTypeObject* url_type = nullptr;
    BuildAbsoluteUrlFn build_absolute_url = nullptr;
    JoinPrefixFn join_prefix = nullptr;
};

[[nodiscard]] inline bool import_url_api(UrlApi* out) noexcept {
    qm::ImportedApi api;
    if (!api.open("quillmoth.url")) return false;
    if (!api.bind(kBuildAbsoluteUrlName, kBuildAbsoluteUrlSignature, &out->build_absolute_url)) return false;
    if (!api.bind(kJoinPrefixName, kJoinPrefixSignature, &out->join_prefix)) return false;
    out->url_type = qm::import_native_type("quillmoth.url", "URL");
    return out->url_type != nullptr;
}

inline bool URL_Check(PyObject* obj, const UrlApi& api) noexcept { return PyObject_TypeCheck(obj, api.url_type); }
inline bool URL_CheckExact(PyObject* obj, const UrlApi& api) noexcept { return Py_IS_TYPE(obj, api.url_type); }

// Wrappers over the table for callers holding a checked URL instance (URL_Check).
inline URLObject* as_url(PyObject* obj) noexcept { return reinterpret_cast<URLObject*>(obj); }

[[nodiscard]] inline PyObject* URL_Join(PyObject* self, PyObject* other) noexcept {
    return as_url(self)->ops->join(as_url(self), other, 0);
}
[[nodiscard]] inline PyObject* URL_BaseUrl(PyObject* self) noexcept {
    return as_url(self)->ops->base_url(as_url(self), 0);
}
[[nodiscard]] inline PyObject* URL_WithHost(PyObject* self, PyObject* host) noexcept {
    return as_url(self)->ops->with_host(as_url(self), host, 0);
}
[[nodiscard]] inline PyObject* URL_WithScheme(PyObject* self, PyObject* schema) noexcept {
    return as_url(self)->ops->with_scheme(as_url(self), schema, 0);
}
[[nodiscard]] inline PyObject* URL_WithQuery(PyObject* self, PyObject* query) noexcept {
    return as_url(self)->ops->with_query(as_url(self), query, 0);
}

}  // namespace qm::url
