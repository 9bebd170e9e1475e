// A stand-in sibling module for the tests: it binds quillmoth.headers the way messages does
// (qualified-name import, headers.h wrappers) and calls the operation table natively, so the tests
// can check that Python subclass overrides are reached from native code and that the table's
// error reporting holds (-1 or null always with an exception set, success never with one).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "headers.h"

namespace {

qm::headers::HeadersTypes g_types;

PyObject* checked_object(PyObject* result) {
    if (!result && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "null result without an exception");
    } else if (result && PyErr_Occurred()) {
        Py_DECREF(result);
        return qm::raise_error(PyExc_SystemError, "result with an exception pending");
    }
    return result;
}

PyObject* checked_status(int status, bool boolean) {
    if (status < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "-1 without an exception");
        return nullptr;
    }
    if (PyErr_Occurred()) return qm::raise_error(PyExc_SystemError, "success with an exception pending");
    if (boolean) return PyBool_FromLong(status);
    Py_RETURN_NONE;
}

// call(headers, operation, *args): runs one table operation with skip_dispatch 0.
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2 || !PyUnicode_Check(args[1])) {
        return qm::raise_error(PyExc_TypeError, "call(headers, operation, *args)");
    }
    PyObject* self = args[0];
    if (!qm::headers::Headers_Check(self, g_types)) {
        return qm::raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(self)->tp_name,
                     g_types.headers->tp_name);
    }
    const char* op = PyUnicode_AsUTF8(args[1]);
    if (!op) return nullptr;
    Py_ssize_t extra = nargs - 2;
    PyObject* a = extra > 0 ? args[2] : nullptr;
    PyObject* b = extra > 1 ? args[3] : nullptr;
    auto need = [&](Py_ssize_t n) -> bool {
        if (extra == n) return true;
        return qm::raise_format(PyExc_TypeError, "%s needs %zd arguments", op, n);
    };
    using namespace qm::headers;
    if (!std::strcmp(op, "keys")) return need(0) ? checked_object(Headers_Keys(self)) : nullptr;
    if (!std::strcmp(op, "clone")) return need(0) ? checked_object(Headers_Clone(self)) : nullptr;
    if (!std::strcmp(op, "get")) return need(1) ? checked_object(Headers_Get(self, a)) : nullptr;
    if (!std::strcmp(op, "get_tuples")) return need(1) ? checked_object(Headers_GetTuples(self, a)) : nullptr;
    if (!std::strcmp(op, "add")) return need(2) ? checked_status(Headers_Add(self, a, b), false) : nullptr;
    if (!std::strcmp(op, "set")) return need(2) ? checked_status(Headers_Set(self, a, b), false) : nullptr;
    if (!std::strcmp(op, "get_single")) return need(1) ? checked_object(Headers_GetSingle(self, a)) : nullptr;
    if (!std::strcmp(op, "get_first")) return need(1) ? checked_object(Headers_GetFirst(self, a)) : nullptr;
    if (!std::strcmp(op, "remove")) return need(1) ? checked_status(Headers_Remove(self, a), false) : nullptr;
    if (!std::strcmp(op, "merge")) return need(1) ? checked_status(Headers_Merge(self, a), false) : nullptr;
    if (!std::strcmp(op, "contains")) return need(1) ? checked_status(Headers_Contains(self, a), true) : nullptr;
    return qm::raise_format(PyExc_ValueError, "unknown operation %s", op);
}

PyObject* new_headers(PyObject*, PyObject* list) { return qm::headers::Headers_New(g_types, list); }

// import_type(module, name): the binding helper siblings use at import time.
PyObject* import_type(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) return qm::raise_error(PyExc_TypeError, "import_type(module, name)");
    const char* module = PyUnicode_AsUTF8(args[0]);
    const char* name = module ? PyUnicode_AsUTF8(args[1]) : nullptr;
    if (!name) return nullptr;
    return reinterpret_cast<PyObject*>(qm::import_class(module, name));
}

PyObject* is_header(PyObject*, PyObject* obj) { return PyBool_FromLong(qm::headers::Header_Check(obj, g_types)); }

PyObject* is_exact_headers(PyObject*, PyObject* obj) {
    return PyBool_FromLong(qm::headers::Headers_CheckExact(obj, g_types));
}

PyMethodDef methods[] = {
    {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)), METH_FASTCALL, nullptr},
    {"new_headers", new_headers, METH_O, nullptr},
    {"import_type", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(import_type)), METH_FASTCALL, nullptr},
    {"is_header", is_header, METH_O, nullptr},
    {"is_exact_headers", is_exact_headers, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "headers_caller", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_headers_caller(void) {
    if (!g_types.headers && !qm::headers::import_headers_types(&g_types)) return nullptr;
    return PyModule_Create(&module_def);
}
