// Native layout of the content base classes of quillmoth.contents (built by the _contents module),
// which messages, keystone and scribe read directly. The classes are imported with
// qm::import_native_type("quillmoth.contents", "Content") (or "ServerSentEvent"), which checks them
// against the native classes published in the module's export table, and instances are checked
// with PyObject_TypeCheck before a cast.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qm::contents {

struct ContentObject;
struct ServerSentEventObject;

// Operation table of Content. Append-only: new entries go at the end.
struct ContentOps {
    // dispose(): returns a new reference to the result (normally None), null on error.
    PyObject* (*dispose)(ContentObject* self, int skip_dispatch);
};

struct ContentObject {
    PyObject_HEAD
    const ContentOps* ops;
    PyObject* type;   // bytes or None: the media type
    PyObject* body;   // bytes or None: a buffered body
    int64_t length;   // -1 (or any negative): streamed, open length; 0: no body
};

// The bound on the body of an incoming request that ASGIContent applies when none is given
// (quillmoth.contents.DEFAULT_MAX_BODY_SIZE).
inline constexpr int64_t kDefaultMaxBodySize = 10 * 1024 * 1024;

// A bound on a request body as the framework takes it (ASGIContent's and the application's
// max_body_size): None, or an int (not a bool) of at least 0. Its C value goes to *limit: -1 for
// None, INT64_MAX for an int beyond the C integers. false with ValueError set for anything else.
[[nodiscard]] inline bool parse_body_limit(PyObject* value, int64_t* limit) noexcept {
    constexpr const char* kMessage = "max_body_size must be a non-negative int or None";
    if (value == Py_None) {
        *limit = -1;
        return true;
    }
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_SetString(PyExc_ValueError, kMessage);
        return false;
    }
    int overflow = 0;
    long long bound = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (bound == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && bound < 0)) {
        PyErr_SetString(PyExc_ValueError, kMessage);
        return false;
    }
    *limit = overflow > 0 ? INT64_MAX : bound;
    return true;
}

// Operation table of ServerSentEvent. Append-only.
struct ServerSentEventOps {
    // write_data(): a new reference to the str written after "data: ", null on error.
    PyObject* (*write_data)(ServerSentEventObject* self, int skip_dispatch);
};

struct ServerSentEventObject {
    PyObject_HEAD
    const ServerSentEventOps* ops;
    PyObject* data;
    PyObject* event;    // str or None
    PyObject* id;       // str or None
    int32_t retry;      // negative: unset
    PyObject* comment;  // str or None
};

}  // namespace qm::contents

namespace qm::contents {

// Native export of quillmoth.contents (table `__quillmoth_api__`, published by quillmoth._contents
// and re-exported by the Python module): parse_www_form_urlencoded(text, skip_dispatch) takes the
// decoded form text and returns a new reference to the parsed dict, null on error. The flag has
// no effect; callers pass 0.
inline constexpr const char* kParseWwwFormUrlencodedName = "parse_www_form_urlencoded";
inline constexpr const char* kParseWwwFormUrlencodedSignature = "PyObject *(PyObject *, int)";
using ParseWwwFormUrlencodedFn = PyObject* (*)(PyObject* text, int skip_dispatch);

}  // namespace qm::contents
