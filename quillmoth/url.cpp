#include "common/native.h"
#include "common/percent.h"

static PyObject* py_quote(PyObject*, PyObject* v) { return qm::percent::quote(v); }
static PyObject* py_unquote(PyObject*, PyObject* v) { return qm::percent::unquote(v); }
static PyObject* py_unquote_to_bytes(PyObject*, PyObject* v) { return qm::percent::unquote_to_bytes(v); }
static PyMethodDef methods[] = {
    {"_quote", py_quote, METH_O, nullptr},
    {"_unquote", py_unquote, METH_O, nullptr},
    {"_unquote_to_bytes", py_unquote_to_bytes, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "url", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_url(void) { return PyModule_Create(&def); }
