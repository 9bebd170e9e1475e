// Native layout of quillmoth.messages: the Message base shared by Request and Response, the two
// classes themselves, their operation tables, and the native functions the module exports to its
// siblings.
//
// Request and Response derive from Message natively: their object structs begin with a
// MessageObject and their operation tables derive from MessageOps, appending their own entries,
// so code holding a checked Message calls `msg->ops->get_first_header(msg, key, 0)` whatever the
// concrete class is.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/exports.h"

#include <cstdint>

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

// ---------------------------------------------------------------------------------------------
// Request and Response: a MessageObject first, then their own fields in declared order. Their
// tables derive from MessageOps and append their own entries.

struct RequestObject;
struct ResponseObject;

struct RequestOps : MessageOps {
    // Whether the Expect header asks for "100-continue" (any letter case).
    int (*expect_100_continue)(RequestObject* self, int skip_dispatch);
    // Returns the request to its empty state, for reuse (0, or -1 with an exception set).
    int (*reset)(RequestObject* self, int skip_dispatch);
};

struct RequestObject {
    MessageObject message;
    PyObject* method;              // str or None
    PyObject* _url;                // URL or None: cache of `url`
    PyObject* _path;               // bytes or None: raw path
    PyObject* _raw_query;          // bytes or None: raw query without "?"
    PyObject* route_values;        // any: the router's captured values
    PyObject* scope;               // any: the ASGI scope
    PyObject* _user;               // any: cache of `user`
    PyObject* _di_scope;           // any
    PyObject* state;               // any
    PyObject* _session;            // any
    PyObject* _base_path;          // str or None
    PyObject* _original_client_ip; // str or None
    PyObject* _host;               // str or None: cache of `host`
    PyObject* _scheme;             // str or None
    PyObject* _context;            // any; never cleared by reset
    PyObject* services;            // any
    PyObject* _is_disconnected;    // None, False or True
    bool pooled;                   // private to the module: waiting in the request pool
};

struct ResponseOps : MessageOps {
    // Whether the status is one of 301, 302, 303, 307, 308.
    int (*is_redirect)(ResponseObject* self, int skip_dispatch);
    // Returns the response to its initial state, for reuse (0, or -1 with an exception set).
    int (*reset)(ResponseObject* self, int skip_dispatch);
};

struct ResponseObject {
    MessageObject message;
    int32_t status;
    PyObject* state;     // any
    PyObject* _context;  // any; never cleared by reset
    bool pooled;         // private to the module: waiting in the response pool
    bool acquired;       // private to the module: handed out by acquire_response, not released since
};

inline RequestObject* request_cast(PyObject* obj) noexcept { return reinterpret_cast<RequestObject*>(obj); }
inline ResponseObject* response_cast(PyObject* obj) noexcept { return reinterpret_cast<ResponseObject*>(obj); }
inline const RequestOps* request_ops(const RequestObject* self) noexcept {
    return static_cast<const RequestOps*>(self->message.ops);
}
inline const ResponseOps* response_ops(const ResponseObject* self) noexcept {
    return static_cast<const ResponseOps*>(self->message.ops);
}

[[nodiscard]] inline int Request_Expect100Continue(PyObject* self) noexcept {
    return request_ops(request_cast(self))->expect_100_continue(request_cast(self), 0);
}
[[nodiscard]] inline int Request_Reset(PyObject* self) noexcept {
    return request_ops(request_cast(self))->reset(request_cast(self), 0);
}
[[nodiscard]] inline int Response_IsRedirect(PyObject* self) noexcept {
    return response_ops(response_cast(self))->is_redirect(response_cast(self), 0);
}
[[nodiscard]] inline int Response_Reset(PyObject* self) noexcept {
    return response_ops(response_cast(self))->reset(response_cast(self), 0);
}

// ---------------------------------------------------------------------------------------------
// Native exports of the module (in its __quillmoth_api__ table), with their signature texts. The
// module-level functions take the no-op override flag last; callers pass 0. Functions returning an
// object give a new reference, or null with an exception set; the others 0 or 1, or -1 with an
// exception set.

// method_without_body(method): 1 when `method` is exactly "GET", "HEAD" or "TRACE", else 0 (None
// and non-str give 0).
inline constexpr const char* kMethodWithoutBodyName = "method_without_body";
inline constexpr const char* kMethodWithoutBodySignature = "int (PyObject *, int)";
using MethodWithoutBodyFn = int(PyObject* method, int skip_dispatch);

// acquire_request(method, path, raw_query, headers, scope): a pooled or new Request holding the
// request line, the header list (adopted, an empty one too; None gives a new list) and the scope.
// A null argument stands for None.
inline constexpr const char* kAcquireRequestSignature =
    "RequestObject *(PyObject *, PyObject *, PyObject *, PyObject *, PyObject *, int)";
using AcquireRequestFn = RequestObject*(PyObject* method, PyObject* path, PyObject* raw_query, PyObject* headers,
                                        PyObject* scope, int skip_dispatch);
// release_request(request): resets the request (through its table) and pools it; 0, or -1. A full
// pool (512 requests), or a request waiting in the pool already, leaves it untouched (not reset,
// not added).
inline constexpr const char* kReleaseRequestSignature = "int (RequestObject *, int)";
using ReleaseRequestFn = int(RequestObject* request, int skip_dispatch);
// acquire_response(status, headers, content): a pooled or new Response (Python's defaults are 200,
// None, None). A null argument stands for None.
inline constexpr const char* kAcquireResponseSignature = "ResponseObject *(int, PyObject *, PyObject *, int)";
using AcquireResponseFn = ResponseObject*(int status, PyObject* headers, PyObject* content, int skip_dispatch);
// release_response(response): resets the response (disposing of its content) and pools it, as
// release_request does.
inline constexpr const char* kReleaseResponseSignature = "int (ResponseObject *, int)";
using ReleaseResponseFn = int(ResponseObject* response, int skip_dispatch);
// is_cors_request(request), is_cors_preflight_request(request): 1 or 0, -1 on error.
inline constexpr const char* kRequestTestSignature = "int (RequestObject *, int)";
using RequestTestFn = int(RequestObject* request, int skip_dispatch);
// get_request_absolute_url(request): the request's URL when absolute, else the one built from its
// scheme, host, base path and raw path (a URL).
inline constexpr const char* kGetRequestAbsoluteUrlSignature = "PyObject *(RequestObject *, int)";
using GetRequestAbsoluteUrlFn = PyObject*(RequestObject* request, int skip_dispatch);
// get_absolute_url_to_path(request, path): the URL of `path` (str or bytes) on the request's
// scheme, host and base path.
inline constexpr const char* kGetAbsoluteUrlToPathSignature = "PyObject *(RequestObject *, PyObject *, int)";
using GetAbsoluteUrlToPathFn = PyObject*(RequestObject* request, PyObject* path, int skip_dispatch);

// Everything a sibling module holds of quillmoth.messages: the three classes (new references kept
// for the process, checked to be the module's own native classes or subclasses of them) and the
// exports.
struct MessagesApi {
    PyTypeObject* message_type = nullptr;
    PyTypeObject* request_type = nullptr;
    PyTypeObject* response_type = nullptr;
    MethodWithoutBodyFn* method_without_body = nullptr;
    AcquireRequestFn* acquire_request = nullptr;
    ReleaseRequestFn* release_request = nullptr;
    AcquireResponseFn* acquire_response = nullptr;
    ReleaseResponseFn* release_response = nullptr;
    RequestTestFn* is_cors_request = nullptr;
    RequestTestFn* is_cors_preflight_request = nullptr;
    GetRequestAbsoluteUrlFn* get_request_absolute_url = nullptr;
    GetAbsoluteUrlToPathFn* get_absolute_url_to_path = nullptr;
};

// Binds the whole API at the importer's module init; ImportError when an entry is missing or its
// signature text differs, or a class is not the module's own.
[[nodiscard]] inline bool import_messages_api(MessagesApi* out) noexcept {
    qm::ImportedApi api;
    if (!api.open("quillmoth.messages") ||
        !api.bind(kMethodWithoutBodyName, kMethodWithoutBodySignature, &out->method_without_body) ||
        !api.bind("acquire_request", kAcquireRequestSignature, &out->acquire_request) ||
        !api.bind("release_request", kReleaseRequestSignature, &out->release_request) ||
        !api.bind("acquire_response", kAcquireResponseSignature, &out->acquire_response) ||
        !api.bind("release_response", kReleaseResponseSignature, &out->release_response) ||
        !api.bind("is_cors_request", kRequestTestSignature, &out->is_cors_request) ||
        !api.bind("is_cors_preflight_request", kRequestTestSignature, &out->is_cors_preflight_request) ||
        !api.bind("get_request_absolute_url", kGetRequestAbsoluteUrlSignature, &out->get_request_absolute_url) ||
        !api.bind("get_absolute_url_to_path", kGetAbsoluteUrlToPathSignature, &out->get_absolute_url_to_path)) {
        return false;
    }
    out->message_type = qm::import_native_type("quillmoth.messages", "Message");
    out->request_type = out->message_type ? qm::import_native_type("quillmoth.messages", "Request") : nullptr;
    out->response_type = out->request_type ? qm::import_native_type("quillmoth.messages", "Response") : nullptr;
    if (out->response_type) return true;
    Py_CLEAR(out->message_type);
    Py_CLEAR(out->request_type);
    return false;
}

// Binds method_without_body alone.
[[nodiscard]] inline bool import_method_without_body(MethodWithoutBodyFn** out) noexcept {
    qm::ImportedApi api;
    return api.open("quillmoth.messages") && api.bind(kMethodWithoutBodyName, kMethodWithoutBodySignature, out);
}

}  // namespace qm::messages
