// Lifecycle slots of native classes, written once: the cast for fastcall method tables, garbage
// collector support over a list of object fields, and creating a heap class into its module.
#pragma once

#include "ref.h"

#include <cstring>

// Casts a METH_FASTCALL (optionally | METH_KEYWORDS) implementation to the PyCFunction a
// PyMethodDef holds; the detour through a plain function pointer keeps -Wcast-function-type quiet.
#define QM_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

namespace qm {

namespace detail {

inline int visit_field(PyObject* field, visitproc visit, void* arg) noexcept {
    return field ? visit(field, arg) : 0;
}

// Py_CLEAR as a function, so it can be applied to a pack of fields.
inline void clear_field(PyObject** slot) noexcept {
    PyObject* old = *slot;
    if (old) {
        *slot = nullptr;
        Py_DECREF(old);
    }
}

}  // namespace detail

// GC slots of a heap class whose instances (layout T) hold the object fields `Fields`:
//   tp_traverse  traverse        the class itself, then each field;
//   tp_clear     clear           each field back to null, or
//                clear_to_none   each field back to None, for classes whose methods read their
//                                fields without null checks (a method reached during collection
//                                still finds well-formed fields);
//   tp_dealloc   dealloc         untracks, releases the fields, frees, drops the class, or
//                dealloc_with_weakrefs  the same after clearing weak references (classes with
//                                Py_TPFLAGS_MANAGED_WEAKREF).
// `release` drops the fields for a class that writes its own dealloc (a free list, say).
template <typename T, PyObject* T::*... Fields>
struct ObjectFields {
    static int traverse(PyObject* op, visitproc visit, void* arg) noexcept {
        Py_VISIT(Py_TYPE(op));
        [[maybe_unused]] T* self = reinterpret_cast<T*>(op);
        int result = 0;
        (void)(((result = detail::visit_field(self->*Fields, visit, arg)) == 0) && ...);
        return result;
    }

    static void release(PyObject* op) noexcept {
        [[maybe_unused]] T* self = reinterpret_cast<T*>(op);
        (detail::clear_field(&(self->*Fields)), ...);
    }

    static int clear(PyObject* op) noexcept {
        release(op);
        return 0;
    }

    static int clear_to_none(PyObject* op) noexcept {
        [[maybe_unused]] T* self = reinterpret_cast<T*>(op);
        (replace_field_borrowed(&(self->*Fields), Py_None), ...);
        return 0;
    }

    static void dealloc(PyObject* op) noexcept {
        PyTypeObject* type = Py_TYPE(op);
        PyObject_GC_UnTrack(op);
        release(op);
        type->tp_free(op);
        Py_DECREF(type);
    }

    static void dealloc_with_weakrefs(PyObject* op) noexcept {
        PyTypeObject* type = Py_TYPE(op);
        PyObject_GC_UnTrack(op);
        PyObject_ClearWeakRefs(op);
        release(op);
        type->tp_free(op);
        Py_DECREF(type);
    }
};

// The same for a heap subclass of Exception: the base's own fields (args, traceback, context,
// ...) are traversed and cleared by Exception's slots after this layout's fields.
template <typename T, PyObject* T::*... Fields>
struct ExceptionFields {
    static PyTypeObject* base() noexcept { return reinterpret_cast<PyTypeObject*>(PyExc_Exception); }

    static int traverse(PyObject* op, visitproc visit, void* arg) noexcept {
        int result = ObjectFields<T, Fields...>::traverse(op, visit, arg);
        return result ? result : base()->tp_traverse(op, visit, arg);
    }

    static int clear(PyObject* op) noexcept {
        ObjectFields<T, Fields...>::release(op);
        return base()->tp_clear(op);
    }

    static void dealloc(PyObject* op) noexcept {
        PyTypeObject* type = Py_TYPE(op);
        PyObject_GC_UnTrack(op);
        (void)clear(op);
        type->tp_free(op);
        Py_DECREF(type);
    }
};

// Creates the heap class of `spec` (deriving from `base`, or object when null) for `module` and
// adds it to the module under the last dotted part of the spec's name. Returns a new reference.
[[nodiscard]] inline PyObject* add_module_type(PyObject* module, PyType_Spec* spec, PyObject* base = nullptr) noexcept {
    Ref type(PyType_FromModuleAndSpec(module, spec, base));
    if (!type) return nullptr;
    const char* dot = std::strrchr(spec->name, '.');
    if (PyModule_AddObjectRef(module, dot ? dot + 1 : spec->name, type.get()) < 0) return nullptr;
    return type.release();
}

}  // namespace qm
