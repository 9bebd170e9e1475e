// Argument checking with the framework's fixed error messages, and positional/keyword parsing
// by parameter name for METH_FASTCALL | METH_KEYWORDS functions and vectorcall constructors.
#pragma once

#include "ref.h"

#include <cstdarg>
#include <cstddef>

namespace qm {

inline const char* type_name(PyObject* obj) noexcept { return Py_TYPE(obj)->tp_name; }

// What a failing function returns, whatever it returns on success: null for an object or any
// other pointer, -1 for a status or a size, false for a test, PYGEN_ERROR for a send. Every
// raiser below returns one, so an error path reads `return qm::raise_expected("bytes", value);`
// in any function.
struct [[nodiscard]] Failure {
    template <typename T>
    constexpr operator T*() const noexcept { return nullptr; }
    constexpr operator int() const noexcept { return -1; }
    constexpr operator long() const noexcept { return -1; }
    constexpr operator long long() const noexcept { return -1; }
    constexpr operator bool() const noexcept { return false; }
    constexpr operator PySendResult() const noexcept { return PYGEN_ERROR; }
};

// The exception is already set (by a failed C API call): only the failure value.
inline constexpr Failure kFailed{};

// Branch hints for hot paths.
#define QM_LIKELY(x) __builtin_expect(!!(x), 1)
#define QM_UNLIKELY(x) __builtin_expect(!!(x), 0)

// Raisers are out of line and cold: error paths stay out of the hot code that calls them.
#define QM_COLD [[gnu::cold, gnu::noinline]]

QM_COLD inline Failure raise_error(PyObject* type, const char* message) noexcept {
    PyErr_SetString(type, message);
    return {};
}

// cls(*args), raised: for exception classes whose constructor takes other arguments than one
// message (or builds its own).
template <typename... Args>
QM_COLD Failure raise_new(PyObject* cls, Args... args) noexcept {
    PyObject* stack[] = {args..., nullptr};
    PyObject* exc = PyObject_Vectorcall(cls, stack, sizeof...(Args), nullptr);
    if (exc) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        Py_DECREF(exc);
    }
    return {};
}

QM_COLD inline Failure raise_format(PyObject* type, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    return {};
}

QM_COLD inline Failure raise_no_memory() noexcept {
    PyErr_NoMemory();
    return {};
}

// "Argument 'x' has incorrect type (expected bytes, got str)".
QM_COLD inline Failure raise_arg_type(const char* arg, const char* expected, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 expected, type_name(got));
    return {};
}

// "Expected bytes, got str": a value that must have a builtin type.
QM_COLD inline Failure raise_expected(const char* expected, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected, type_name(got));
    return {};
}

// "Cannot convert str to quillmoth.headers.Headers": a value that must be an extension-class instance.
QM_COLD inline Failure raise_cannot_convert(PyObject* got, PyTypeObject* target) noexcept {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", type_name(got), target->tp_name);
    return {};
}

// "'NoneType' object has no attribute 'decode'": what the attribute lookup on `obj` would raise.
QM_COLD inline Failure raise_no_attribute(PyObject* obj, const char* attribute) noexcept {
    PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.400s'", type_name(obj), attribute);
    return {};
}

// "'NoneType' object is not iterable": what iterating `obj` would raise.
QM_COLD inline Failure raise_not_iterable(PyObject* obj) noexcept {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", type_name(obj));
    return {};
}

// "f() takes exactly 1 positional argument (2 given)".
QM_COLD inline Failure raise_arg_count(const char* func, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) noexcept {
    const char* how;
    Py_ssize_t expected;
    if (min == max) {
        how = "exactly";
        expected = min;
    } else if (given < min) {
        how = "at least";
        expected = min;
    } else {
        how = "at most";
        expected = max;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, how, expected,
                 expected == 1 ? "" : "s", given);
    return {};
}

// Exact builtin type test (bytes, list, dict, str, tuple): subclasses are rejected, None passes
// when `none_ok`. On failure raises the "Argument ... has incorrect type" error.
[[nodiscard]] inline bool check_exact_arg(PyObject* obj, PyTypeObject* type, const char* arg,
                                          bool none_ok = true) noexcept {
    if (Py_IS_TYPE(obj, type) || (none_ok && obj == Py_None)) return true;
    return raise_arg_type(arg, type->tp_name, obj);
}

// Extension-class test: subclasses pass, None passes when `none_ok`.
[[nodiscard]] inline bool check_instance_arg(PyObject* obj, PyTypeObject* type, const char* arg,
                                             bool none_ok = true) noexcept {
    if ((none_ok && obj == Py_None) || PyObject_TypeCheck(obj, type)) return true;
    return raise_arg_type(arg, type->tp_name, obj);
}

// Parameter list of a function: its name (for messages) and its parameter names in order; the first
// `required` are mandatory. Optional slots of `out` keep whatever default the caller put there.
struct Signature {
    const char* func;
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
};

// Parses fastcall arguments into `out` (borrowed references). Returns false with TypeError set on
// a wrong count, an unknown or repeated keyword, or a missing required parameter.
[[nodiscard]] inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                     PyObject** out) noexcept {
    if (nargs > sig.count) {
        return raise_arg_count(sig.func, sig.required, sig.count, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    // Which slots were filled by keyword, so a keyword cannot fill a slot twice. 64 parameters is
    // far beyond any function of this package.
    unsigned long long filled = 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < sig.count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            return raise_format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", sig.func, key);
        }
        if (slot < nargs || (filled & (1ULL << slot))) {
            return raise_format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'", sig.func,
                                key);
        }
        filled |= 1ULL << slot;
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < sig.required; ++i) {
        if (!(filled & (1ULL << i))) {
            return raise_arg_count(sig.func, sig.required, sig.count, nargs);
        }
    }
    return true;
}

// Parses a classic (args tuple, kwargs dict) call, as tp_init and tp_new receive it.
[[nodiscard]] inline bool parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs,
                                           PyObject** out) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
        return parse_args(sig, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
    }
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    Ref kwnames(PyTuple_New(nkw));
    if (!kwnames) return false;
    // Positional values followed by keyword values, as vectorcall lays them out.
    PyObject* stack_small[16];
    PyObject** stack = stack_small;
    if (nargs + nkw > 16) {
        stack = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<size_t>(nargs + nkw)));
        if (!stack) return raise_no_memory();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    bool ok = true;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.func);
            ok = false;
            break;
        }
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        stack[nargs + k] = value;
        ++k;
    }
    if (ok) ok = parse_args(sig, stack, nargs, kwnames.get(), out);
    if (stack != stack_small) PyMem_Free(stack);
    return ok;
}

// For methods that take no arguments through METH_FASTCALL | METH_KEYWORDS.
[[nodiscard]] inline bool no_args(const char* func, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs != 0) return raise_arg_count(func, 0, 0, nargs);
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        return raise_format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", func,
                            PyTuple_GET_ITEM(kwnames, 0));
    }
    return true;
}

}  // namespace qm
