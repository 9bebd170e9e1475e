// Native layout of quillmoth.keystone: BaseApplication's fields and operation table, and the
// binding helper a sibling module uses to read them.
//
// BaseApplication is the native base of the framework's application object: the ASGI entry point
// for http scopes and the dispatch of a request to its route. Its table holds the exception-handler
// lookups the dispatch coroutines use; a sibling holding a checked application (PyObject_TypeCheck
// against the class from import_base_application_type) calls them through the wrappers below,
// which honour a Python override where the operation has one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/exports.h"

#include <cstdint>

namespace qm::keystone {

struct BaseApplicationObject;

// Operation table of BaseApplication, in its fixed order. Append-only.
//
// Every operation takes `skip_dispatch` last: native callers pass 0. Only get_http_exception_handler
// is also a Python method, so only it can be redefined by a Python subclass (and is then reached
// by native callers too); the other two are native only.
//
// Results: a new reference, or null with an exception set; the boolean one 1 or 0, or -1.
struct BaseApplicationOps {
    // The handler for an HTTPException (`http_exception` must be one; None and anything else
    // raise TypeError): a handler registered for its class or an intermediate subclass of
    // HTTPException (most specific first), else the one registered for its status, else
    // common_http_exception_handler.
    PyObject* (*get_http_exception_handler)(BaseApplicationObject* self, PyObject* http_exception, int skip_dispatch);
    // The handler registered for the first class of the exception's class hierarchy that has one;
    // None when none has, or when `stop_at` (a class, or None for no stop) comes first.
    PyObject* (*get_exception_handler)(BaseApplicationObject* self, PyObject* exc, PyObject* stop_at,
                                       int skip_dispatch);
    // Whether any class of the exception's hierarchy has a handler.
    int (*is_handled_exception)(BaseApplicationObject* self, PyObject* exc, int skip_dispatch);
};

struct BaseApplicationObject {
    PyObject_HEAD
    const BaseApplicationOps* ops;
    int32_t show_error_details;    // truth value; read and write from Python
    PyObject* router;              // any: offers get_match(request); read only
    PyObject* logger;              // the logger of get_logger(); read only
    PyObject* exceptions_handlers; // any mapping (an ExceptionHandlersDict by default); read and write
    // The serving configuration, read on every request by the ASGI entry point (__call__); read and
    // write from Python.
    PyObject* max_body_size;       // None or a non-negative int: the bound on a request body
    PyObject* middlewares;         // any (a list by default): when truthy, responses come from _respond()
    PyObject* cors;                // `_cors`: None, or the CORS settings a subclass's _respond() applies
    int64_t body_limit;            // max_body_size as a C integer (INT64_MAX beyond it), -1 for None
};

inline BaseApplicationObject* base_application_cast(PyObject* obj) noexcept {
    return reinterpret_cast<BaseApplicationObject*>(obj);
}

[[nodiscard]] inline PyObject* BaseApplication_GetHttpExceptionHandler(PyObject* self, PyObject* http_exception) noexcept {
    BaseApplicationObject* app = base_application_cast(self);
    return app->ops->get_http_exception_handler(app, http_exception, 0);
}
[[nodiscard]] inline PyObject* BaseApplication_GetExceptionHandler(PyObject* self, PyObject* exc,
                                                                   PyObject* stop_at) noexcept {
    BaseApplicationObject* app = base_application_cast(self);
    return app->ops->get_exception_handler(app, exc, stop_at, 0);
}
[[nodiscard]] inline int BaseApplication_IsHandledException(PyObject* self, PyObject* exc) noexcept {
    BaseApplicationObject* app = base_application_cast(self);
    return app->ops->is_handled_exception(app, exc, 0);
}

// The class BaseApplication as quillmoth.keystone offers it now (a new reference), checked to be
// the module's native class or a subclass of it; ImportError otherwise.
[[nodiscard]] inline PyTypeObject* import_base_application_type() noexcept {
    return qm::import_native_type("quillmoth.keystone", "BaseApplication");
}

}  // namespace qm::keystone
