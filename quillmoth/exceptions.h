// Native layout of the framework exception classes of quillmoth.exceptions (built by the
// _exceptions module). keystone reads `status` directly after PyObject_TypeCheck against the
// HTTPException class imported with qm::import_native_type("quillmoth.exceptions", "HTTPException"),
// which checks it against the class the module publishes in its export table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qm::exceptions {

// HTTPException, BadRequest, NotFound, UnsupportedMediaType.
struct HTTPExceptionObject {
    PyBaseExceptionObject base;
    int32_t status;
};

// InternalServerError (source_error), BadRequestFormat (source_error), UnprocessableEntity
// (details), FailedRequestError (data): `status`, then one object field.
struct HTTPExceptionWithFieldObject {
    HTTPExceptionObject http;
    PyObject* field;
};

}  // namespace qm::exceptions
