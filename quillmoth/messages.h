// Native layout of quillmoth.messages: the Message base shared by Request and Response, its
// operation table, and the native functions the module exports to its siblings.
//
// Request and Response derive from Message natively: their object structs begin with a
// MessageObject and their operation tables derive from MessageOps, appending their own entries,
// so code holding a checked Message calls `msg->ops->get_first_header(msg, key, 0)` whatever the
// concrete class is.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/exports.h"

namespace qm::messages {

struct MessageObject;

// Operation table of Message, in its fixed order. Append-only: new entries go at the end, and a
// native subclass extends it by deriving from it.
//
// Every operation takes `skip_dispatch` last: native callers pass 0, which lets a Python subclass
// that redefines the method of the same name take over; the Python-visible methods pass 1. The
// operations marked "native only" have no Python method and so no override.
//
// Header keys are bytes (names are matched ASCII case-insensitively); the header list is the
// message's raw list of (name, value) tuples.
//
// Results: operations returning an object give a new reference, or null with an exception set.
// Operations returning nothing give 0, or -1 with an exception set. Boolean operations give 1 or
// 0, or -1 with an exception set.
struct MessageOps {
    // Values of all matching headers: a list (an override may return any sequence).
    PyObject* (*get_headers)(MessageObject* self, PyObject* key, int skip_dispatch);
    // Value of the first matching header, or None.
    PyObject* (*get_first_header)(MessageObject* self, PyObject* key, int skip_dispatch);
    // The one value of `key`; ValueError when there are none or several.
    PyObject* (*get_single_header)(MessageObject* self, PyObject* key, int skip_dispatch);
    // Removes every matching header.
    int (*remove_header)(MessageObject* self, PyObject* key, int skip_dispatch);
    // Native only: has_header without the dispatch step.
    int (*_has_header)(MessageObject* self, PyObject* key, int skip_dispatch);
    int (*has_header)(MessageObject* self, PyObject* key, int skip_dispatch);
    // Native only: add_header without the dispatch step, and so without a type check (the
    // response writer's call).
    int (*_add_header)(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch);
    // Native only: appends (key, value) unless a header named `key` is present.
    int (*_add_header_if_missing)(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch);
    int (*add_header)(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch);
    // Removes every header named `key`, then appends (key, value) last.
    int (*set_header)(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch);
    // The content's type when it has one, else the content-type header, else None.
    PyObject* (*content_type)(MessageObject* self, int skip_dispatch);
    // Native only: removes each pair (not name) of the iterable `headers` from the list, each by
    // list removal (first element equal to it).
    int (*remove_headers)(MessageObject* self, PyObject* headers, int skip_dispatch);
    // Native only: the stored pairs matching `key`, in a new list.
    PyObject* (*get_headers_tuples)(MessageObject* self, PyObject* key, int skip_dispatch);
    // Native only: sets attribute `name` to `value` unless reading it succeeds.
    int (*init_prop)(MessageObject* self, PyObject* name, PyObject* value, int skip_dispatch);
    // Stores `content` (a Content or None) and returns a new reference to self.
    PyObject* (*with_content)(MessageObject* self, PyObject* content, int skip_dispatch);
    int (*has_body)(MessageObject* self, int skip_dispatch);
    int (*declares_content_type)(MessageObject* self, PyObject* type, int skip_dispatch);
    int (*declares_json)(MessageObject* self, int skip_dispatch);
    int (*declares_xml)(MessageObject* self, int skip_dispatch);
};

struct MessageObject {
    PyObject_HEAD
    const MessageOps* ops;
    PyObject* _raw_headers;  // list of (bytes, bytes) tuples; None only before the constructor
    PyObject* _headers;      // Headers view over _raw_headers, or None until `headers` is read
    PyObject* content;       // Content or None
    PyObject* _form_data;    // parsed form cache, or None
    PyObject* context;       // application data, or None
};

// Wrappers over the table for callers holding a checked Message (PyObject_TypeCheck against the
// class imported with qm::import_native_type("quillmoth.messages", "Message")). Each goes through
// the table with skip_dispatch 0, so Python overrides are honoured where the operation has them.
inline MessageObject* message_cast(PyObject* obj) noexcept { return reinterpret_cast<MessageObject*>(obj); }

[[nodiscard]] inline PyObject* Message_GetHeaders(PyObject* self, PyObject* key) noexcept {
    return message_cast(self)->ops->get_headers(message_cast(self), key, 0);
}
[[nodiscard]] inline PyObject* Message_GetFirstHeader(PyObject* self, PyObject* key) noexcept {
    return message_cast(self)->ops->get_first_header(message_cast(self), key, 0);
}
[[nodiscard]] inline PyObject* Message_GetSingleHeader(PyObject* self, PyObject* key) noexcept {
    return message_cast(self)->ops->get_single_header(message_cast(self), key, 0);
}
[[nodiscard]] inline int Message_RemoveHeader(PyObject* self, PyObject* key) noexcept {
    return message_cast(self)->ops->remove_header(message_cast(self), key, 0);
}
[[nodiscard]] inline int Message_HasHeader(PyObject* self, PyObject* key) noexcept {
    return message_cast(self)->ops->has_header(message_cast(self), key, 0);
}
[[nodiscard]] inline int Message_HasHeaderNoDispatch(PyObject* self, PyObject* key) noexcept {
    return message_cast(self)->ops->_has_header(message_cast(self), key, 0);
}
[[nodiscard]] inline int Message_AddHeaderNoDispatch(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return message_cast(self)->ops->_add_header(message_cast(self), key, value, 0);
}
[[nodiscard]] inline int Message_AddHeaderIfMissing(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return message_cast(self)->ops->_add_header_if_missing(message_cast(self), key, value, 0);
}
[[nodiscard]] inline int Message_SetHeader(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return message_cast(self)->ops->set_header(message_cast(self), key, value, 0);
}
[[nodiscard]] inline int Message_RemovePairs(PyObject* self, PyObject* pairs) noexcept {
    return message_cast(self)->ops->remove_headers(message_cast(self), pairs, 0);
}
[[nodiscard]] inline PyObject* Message_GetHeaderPairs(PyObject* self, PyObject* key) noexcept {
    return message_cast(self)->ops->get_headers_tuples(message_cast(self), key, 0);
}
[[nodiscard]] inline PyObject* Message_ContentType(PyObject* self) noexcept {
    return message_cast(self)->ops->content_type(message_cast(self), 0);
}
[[nodiscard]] inline int Message_HasBody(PyObject* self) noexcept {
    return message_cast(self)->ops->has_body(message_cast(self), 0);
}

// Native exports of the module (in its __quillmoth_api__ table), with their signature texts.
// method_without_body(method, skip_dispatch): 1 when `method` is exactly "GET", "HEAD" or
// "TRACE", else 0 (None and non-str give 0). The flag has no effect; pass 0.
inline constexpr const char* kMethodWithoutBodyName = "method_without_body";
inline constexpr const char* kMethodWithoutBodySignature = "int (PyObject *, int)";
using MethodWithoutBodyFn = int(PyObject* method, int skip_dispatch);

// Binds method_without_body from quillmoth.messages at the importer's module init; ImportError
// when the module lacks it or its signature text differs.
[[nodiscard]] inline bool import_method_without_body(MethodWithoutBodyFn** out) noexcept {
    qm::ImportedApi api;
    return api.open("quillmoth.messages") && api.bind(kMethodWithoutBodyName, kMethodWithoutBodySignature, out);
}

}  // namespace qm::messages
