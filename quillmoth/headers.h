// Native layout of quillmoth.headers: Header (one name/value pair) and Headers (the ordered,
// case-insensitive collection over a list of (name, value) tuples of bytes).
//
// Sibling modules import both classes (import_headers_types below), build a
// Headers over an existing list by calling the class, and reach the collection's operations through
// its operation table, which honours Python subclass overrides:
//
//     qm::headers::HeadersTypes types;
//     if (!qm::headers::import_headers_types(&types)) return nullptr;   // at module init
//     ...
//     PyObject* view = qm::headers::Headers_New(types, raw_list);        // shares raw_list
//     PyObject* value = qm::headers::Headers_GetFirst(view_obj, key);    // bytes, None, or null
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/exports.h"

namespace qm::headers {

struct HeadersObject;

// One header field. Both fields are bytes or None and never change after construction.
// Header has no overridable operations, hence no table pointer.
struct HeaderObject {
    PyObject_HEAD
    PyObject* name;   // bytes or None, case as given
    PyObject* value;  // bytes or None
};

// Operation table of Headers, in its fixed order. Append-only: new entries go at the end, and a
// native subclass extends it by deriving from it.
//
// Every operation takes `skip_dispatch` last: callers pass 0, which lets a Python subclass that
// redefines the method of the same name take over; the Python-visible methods pass 1.
//
// Results: operations returning an object give a new reference, or null with an exception set.
// `keys` and `get` always give a tuple, `get_tuples` a list, `clone` a Headers, `get_first` and
// `get_single` bytes or None (a subclass override returning something else raises TypeError).
// Operations returning nothing give 0, or -1 with an exception set (an exception pending after
// the call means the same). `contains` gives 1 or 0, or -1 with an exception set.
struct HeadersOps {
    PyObject* (*keys)(HeadersObject* self, int skip_dispatch);
    PyObject* (*clone)(HeadersObject* self, int skip_dispatch);
    PyObject* (*get)(HeadersObject* self, PyObject* name, int skip_dispatch);
    PyObject* (*get_tuples)(HeadersObject* self, PyObject* name, int skip_dispatch);
    int (*add)(HeadersObject* self, PyObject* name, PyObject* value, int skip_dispatch);
    int (*set)(HeadersObject* self, PyObject* name, PyObject* value, int skip_dispatch);
    PyObject* (*get_single)(HeadersObject* self, PyObject* key, int skip_dispatch);
    PyObject* (*get_first)(HeadersObject* self, PyObject* key, int skip_dispatch);
    int (*remove)(HeadersObject* self, PyObject* key, int skip_dispatch);
    int (*merge)(HeadersObject* self, PyObject* values, int skip_dispatch);
    int (*contains)(HeadersObject* self, PyObject* key, int skip_dispatch);
};

struct HeadersObject {
    PyObject_HEAD
    const HeadersOps* ops;
    PyObject* values;  // list of pairs (the caller's list, adopted without a copy); None only
                       // before the constructor has run
};

// The two classes as a sibling module holds them (new references, kept for the process).
struct HeadersTypes {
    PyTypeObject* header = nullptr;
    PyTypeObject* headers = nullptr;
};

// Both classes, checked to be the module's own native classes or subclasses of them (the module
// publishes them in its export table); ImportError otherwise.
[[nodiscard]] inline bool import_headers_types(HeadersTypes* out) noexcept {
    out->header = qm::import_native_type("quillmoth.headers", "Header");
    if (!out->header) return false;
    out->headers = qm::import_native_type("quillmoth.headers", "Headers");
    if (!out->headers) {
        Py_CLEAR(out->header);
        return false;
    }
    return true;
}

inline bool Header_Check(PyObject* obj, const HeadersTypes& types) noexcept {
    return PyObject_TypeCheck(obj, types.header);
}
inline bool Headers_Check(PyObject* obj, const HeadersTypes& types) noexcept {
    return PyObject_TypeCheck(obj, types.headers);
}
inline bool Headers_CheckExact(PyObject* obj, const HeadersTypes& types) noexcept {
    return Py_IS_TYPE(obj, types.headers);
}

// A new Headers sharing `list` (a list, or None for a fresh empty one).
[[nodiscard]] inline PyObject* Headers_New(const HeadersTypes& types, PyObject* list) noexcept {
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(types.headers), list);
}

// Wrappers over the table for callers holding a checked Headers instance (Headers_Check).
inline HeadersObject* as_headers(PyObject* obj) noexcept { return reinterpret_cast<HeadersObject*>(obj); }

[[nodiscard]] inline PyObject* Headers_Keys(PyObject* self) noexcept {
    return as_headers(self)->ops->keys(as_headers(self), 0);
}
[[nodiscard]] inline PyObject* Headers_Clone(PyObject* self) noexcept {
    return as_headers(self)->ops->clone(as_headers(self), 0);
}
[[nodiscard]] inline PyObject* Headers_Get(PyObject* self, PyObject* name) noexcept {
    return as_headers(self)->ops->get(as_headers(self), name, 0);
}
[[nodiscard]] inline PyObject* Headers_GetTuples(PyObject* self, PyObject* name) noexcept {
    return as_headers(self)->ops->get_tuples(as_headers(self), name, 0);
}
[[nodiscard]] inline int Headers_Add(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return as_headers(self)->ops->add(as_headers(self), name, value, 0);
}
[[nodiscard]] inline int Headers_Set(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return as_headers(self)->ops->set(as_headers(self), name, value, 0);
}
[[nodiscard]] inline PyObject* Headers_GetSingle(PyObject* self, PyObject* key) noexcept {
    return as_headers(self)->ops->get_single(as_headers(self), key, 0);
}
[[nodiscard]] inline PyObject* Headers_GetFirst(PyObject* self, PyObject* key) noexcept {
    return as_headers(self)->ops->get_first(as_headers(self), key, 0);
}
[[nodiscard]] inline int Headers_Remove(PyObject* self, PyObject* key) noexcept {
    return as_headers(self)->ops->remove(as_headers(self), key, 0);
}
[[nodiscard]] inline int Headers_Merge(PyObject* self, PyObject* values) noexcept {
    return as_headers(self)->ops->merge(as_headers(self), values, 0);
}
[[nodiscard]] inline int Headers_Contains(PyObject* self, PyObject* key) noexcept {
    return as_headers(self)->ops->contains(as_headers(self), key, 0);
}

}  // namespace qm::headers
