// What the sources use of the 3.13 and 3.14 C API, provided for older interpreters (3.12, 3.13), so
// the package keeps building there. Nothing here is compiled on 3.14.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#if PY_VERSION_HEX < 0x030D0000
// 1 with a new reference in *result when `key` is present, 0 (and *result null) when not, -1 on error.
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    *result = PyDict_GetItemWithError(dict, key);
    if (*result) {
        Py_INCREF(*result);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Like dict.setdefault: 1 when `key` was present, 0 when `default_value` was inserted, -1 on error;
// *result (when not null) receives a new reference to the value now stored.
inline int PyDict_SetDefaultRef(PyObject* dict, PyObject* key, PyObject* default_value, PyObject** result) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    int present = 1;
    if (!found) {
        if (PyErr_Occurred()) {
            if (result) *result = nullptr;
            return -1;
        }
        if (PyDict_SetItem(dict, key, default_value) < 0) {
            if (result) *result = nullptr;
            return -1;
        }
        found = default_value;
        present = 0;
    }
    if (result) *result = Py_NewRef(found);
    return present;
}

// Whether the str `text` equals the UTF-8 C string `utf8` (0 for a non-str or on any error, which is
// cleared, as the 3.13 function does).
inline int PyUnicode_EqualToUTF8(PyObject* text, const char* utf8) {
    if (!PyUnicode_Check(text)) return 0;
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<size_t>(size) == std::strlen(utf8) && std::memcmp(data, utf8, static_cast<size_t>(size)) == 0;
}

// 1 with a new reference in *result, 0 (and *result null) when the attribute is missing, -1 on error.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(obj, name);
    if (*result) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

inline int PyObject_GetOptionalAttrString(PyObject* obj, const char* name, PyObject** result) {
    PyObject* key = PyUnicode_FromString(name);
    if (!key) {
        *result = nullptr;
        return -1;
    }
    int found = PyObject_GetOptionalAttr(obj, key, result);
    Py_DECREF(key);
    return found;
}
#endif

#if PY_VERSION_HEX < 0x030E0000
// The str builder of 3.14, as a list of pieces joined at the end.
struct PyUnicodeWriter {
    PyObject* parts;
};

inline PyUnicodeWriter* PyUnicodeWriter_Create(Py_ssize_t) {
    auto* writer = static_cast<PyUnicodeWriter*>(PyMem_Malloc(sizeof(PyUnicodeWriter)));
    if (!writer) {
        PyErr_NoMemory();
        return nullptr;
    }
    writer->parts = PyList_New(0);
    if (!writer->parts) {
        PyMem_Free(writer);
        return nullptr;
    }
    return writer;
}

inline void PyUnicodeWriter_Discard(PyUnicodeWriter* writer) {
    if (!writer) return;
    Py_XDECREF(writer->parts);
    PyMem_Free(writer);
}

namespace qm::compat {
inline int append_piece(PyUnicodeWriter* writer, PyObject* piece) {
    if (!piece) return -1;
    int result = PyList_Append(writer->parts, piece);
    Py_DECREF(piece);
    return result;
}
}  // namespace qm::compat

inline int PyUnicodeWriter_WriteSubstring(PyUnicodeWriter* writer, PyObject* str, Py_ssize_t start, Py_ssize_t end) {
    return qm::compat::append_piece(writer, PyUnicode_Substring(str, start, end));
}

inline int PyUnicodeWriter_WriteUTF8(PyUnicodeWriter* writer, const char* text, Py_ssize_t size) {
    if (size < 0) size = static_cast<Py_ssize_t>(std::strlen(text));
    return qm::compat::append_piece(writer, PyUnicode_DecodeUTF8(text, size, "strict"));
}

inline int PyUnicodeWriter_DecodeUTF8Stateful(PyUnicodeWriter* writer, const char* text, Py_ssize_t size,
                                              const char* errors, Py_ssize_t* consumed) {
    return qm::compat::append_piece(writer, PyUnicode_DecodeUTF8Stateful(text, size, errors, consumed));
}

inline PyObject* PyUnicodeWriter_Finish(PyUnicodeWriter* writer) {
    PyObject* empty = PyUnicode_FromStringAndSize("", 0);
    PyObject* result = empty ? PyUnicode_Join(empty, writer->parts) : nullptr;
    Py_XDECREF(empty);
    PyUnicodeWriter_Discard(writer);
    return result;
}

// 3.14 lets a type's vectorcall be given as a slot. Before, add_module_type (object.h) takes this
// stand-in slot out of the PyType_Spec and sets the created type's tp_vectorcall itself.
#define Py_tp_vectorcall 0x7ff0
#endif
