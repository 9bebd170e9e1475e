// Lifecycle slots of native classes, written once: the cast for fastcall method tables, garbage
// collector support over a list of object fields, and creating a heap class into its module.
#pragma once

#include "fields.h"
#include "ref.h"

#include <cstring>
#include <type_traits>

// The three collector slots of a class, for its PyType_Slot table; QM_FIELD_GC_SLOTS takes the
// ObjectFields / ExceptionFields type whose dealloc, traverse and clear apply as they are.
#define QM_GC_SLOTS(dealloc_fn, traverse_fn, clear_fn)                                                     \
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_fn)}, {Py_tp_traverse, reinterpret_cast<void*>(traverse_fn)}, \
        {Py_tp_clear, reinterpret_cast<void*>(clear_fn)}
#define QM_FIELD_GC_SLOTS(fields) QM_GC_SLOTS(fields::dealloc, fields::traverse, fields::clear)

// Casts a METH_FASTCALL (optionally | METH_KEYWORDS) implementation to the PyCFunction a
// PyMethodDef holds; the detour through a plain function pointer keeps -Wcast-function-type quiet.
#define QM_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
// A method table entry for a METH_FASTCALL | METH_KEYWORDS implementation.
#define QM_FASTCALL_METHOD(name, fn, doc) {name, QM_FASTCALL(fn), METH_FASTCALL | METH_KEYWORDS, doc}

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
// `release` drops the fields for a class that writes its own dealloc (a free list, say), and
// `visit_fields` visits them without the class. A layout that begins with another one (a native
// subclass) lists its own fields with DerivedFields over the base's list.
namespace detail {

template <typename Impl>
struct FieldSlots {
    static int traverse(PyObject* op, visitproc visit, void* arg) noexcept {
        Py_VISIT(Py_TYPE(op));
        return Impl::visit_fields(op, visit, arg);
    }

    static int clear(PyObject* op) noexcept {
        Impl::release(op);
        return 0;
    }

    static int clear_to_none(PyObject* op) noexcept {
        Impl::reset_to_none(op);
        return 0;
    }

    // The trashcan defers the release of very deep chains (an object holding an object holding ...)
    // so freeing them never overflows the C stack.
    static void dealloc(PyObject* op) noexcept {
        PyTypeObject* type = Py_TYPE(op);
        PyObject_GC_UnTrack(op);
        Py_TRASHCAN_BEGIN(op, dealloc)
        Impl::release(op);
        type->tp_free(op);
        Py_DECREF(type);
        Py_TRASHCAN_END
    }

    static void dealloc_with_weakrefs(PyObject* op) noexcept {
        PyTypeObject* type = Py_TYPE(op);
        PyObject_GC_UnTrack(op);
        Py_TRASHCAN_BEGIN(op, dealloc_with_weakrefs)
        PyObject_ClearWeakRefs(op);
        Impl::release(op);
        type->tp_free(op);
        Py_DECREF(type);
        Py_TRASHCAN_END
    }
};

}  // namespace detail

template <typename T, PyObject* T::*... Fields>
struct ObjectFields : detail::FieldSlots<ObjectFields<T, Fields...>> {
    static int visit_fields(PyObject* op, [[maybe_unused]] visitproc visit, [[maybe_unused]] void* arg) noexcept {
        [[maybe_unused]] T* self = reinterpret_cast<T*>(op);
        int result = 0;
        (void)(((result = detail::visit_field(self->*Fields, visit, arg)) == 0) && ...);
        return result;
    }

    static void release(PyObject* op) noexcept {
        [[maybe_unused]] T* self = reinterpret_cast<T*>(op);
        (detail::clear_field(&(self->*Fields)), ...);
    }

    static void reset_to_none(PyObject* op) noexcept {
        [[maybe_unused]] T* self = reinterpret_cast<T*>(op);
        (replace_field_borrowed(&(self->*Fields), Py_None), ...);
    }
};

// The fields of a layout T that begins with the layout of `Base` (an ObjectFields or DerivedFields
// list), followed by T's own `Fields`.
template <typename Base, typename T, PyObject* T::*... Fields>
struct DerivedFields : detail::FieldSlots<DerivedFields<Base, T, Fields...>> {
    using Own = ObjectFields<T, Fields...>;

    static int visit_fields(PyObject* op, visitproc visit, void* arg) noexcept {
        int result = Base::visit_fields(op, visit, arg);
        return result ? result : Own::visit_fields(op, visit, arg);
    }

    static void release(PyObject* op) noexcept {
        Own::release(op);
        Base::release(op);
    }

    static void reset_to_none(PyObject* op) noexcept {
        Base::reset_to_none(op);
        Own::reset_to_none(op);
    }
};

// The same for a heap subclass of Exception: the base's own fields (args, traceback, context,
// ...) are traversed and cleared by Exception's slots after this layout's fields.
template <typename T, PyObject* T::*... Fields>
struct ExceptionFields {
    static PyTypeObject* base() noexcept { return reinterpret_cast<PyTypeObject*>(PyExc_Exception); }

    static int traverse(PyObject* op, visitproc visit, void* arg) noexcept {
        Py_VISIT(Py_TYPE(op));
        int result = ObjectFields<T, Fields...>::visit_fields(op, visit, arg);
        return result ? result : base()->tp_traverse(op, visit, arg);
    }

    static int clear(PyObject* op) noexcept {
        ObjectFields<T, Fields...>::release(op);
        return base()->tp_clear(op);
    }

    static void dealloc(PyObject* op) noexcept {
        PyTypeObject* type = Py_TYPE(op);
        PyObject_GC_UnTrack(op);
        Py_TRASHCAN_BEGIN(op, dealloc)
        (void)clear(op);
        type->tp_free(op);
        Py_DECREF(type);
        Py_TRASHCAN_END
    }
};

// For __reduce__: the instance dictionary of `self` (which instances of Python subclasses carry)
// when it is a dict holding anything, as a new reference in *out; *out stays null otherwise.
// `dict_name` is the interned "__dict__". Returns -1 with an exception set on error, else 0.
[[nodiscard]] inline int get_pickle_dict(PyObject* self, PyObject* dict_name, PyObject** out) noexcept {
    *out = nullptr;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(self, dict_name, &found) < 0) return -1;
    if (found && PyDict_Check(found) && PyDict_GET_SIZE(found) > 0) {
        *out = found;
    } else {
        Py_XDECREF(found);
    }
    return 0;
}

// The definition of a single-phase module without per-module state (its classes live in globals
// for the one interpreter).
[[nodiscard]] inline PyModuleDef make_module_def(const char* name, const char* doc,
                                                PyMethodDef* methods = nullptr) noexcept {
    return {PyModuleDef_HEAD_INIT, name, doc, -1, methods, nullptr, nullptr, nullptr, nullptr};
}

// Creates the heap class of `spec` (deriving from `base`, or object when null) for `module`.
// Returns a new reference. Native classes are immutable, as the interpreter's own are: setting or
// deleting one of their attributes raises TypeError (a Python subclass stays as open as any).
[[nodiscard]] inline PyTypeObject* new_module_type(PyObject* module, PyType_Spec* spec, PyObject* base = nullptr) noexcept {
    if (!(spec->flags & Py_TPFLAGS_IMMUTABLETYPE)) {
        return raise_format(PyExc_SystemError, "native class %.200s must be immutable", spec->name);
    }
#if PY_VERSION_HEX < 0x030E0000
    // No vectorcall slot before 3.14: create the type without it, then set the function directly.
    void* vectorcall = nullptr;
    constexpr size_t kMaxSlots = 64;
    PyType_Slot slots[kMaxSlots];
    size_t count = 0;
    for (PyType_Slot* slot = spec->slots; slot->slot != 0; ++slot) {
        if (slot->slot == Py_tp_vectorcall) {
            vectorcall = slot->pfunc;
            continue;
        }
        if (count + 1 == kMaxSlots) {
            return raise_format(PyExc_SystemError, "native class %.200s has more than %zu slots", spec->name,
                                kMaxSlots - 1);
        }
        slots[count++] = *slot;
    }
    slots[count] = {0, nullptr};
    PyType_Spec stripped = *spec;
    stripped.slots = slots;
    PyObject* type = PyType_FromModuleAndSpec(module, &stripped, base);
    if (type && vectorcall) {
        reinterpret_cast<PyTypeObject*>(type)->tp_vectorcall = reinterpret_cast<vectorcallfunc>(vectorcall);
    }
    return reinterpret_cast<PyTypeObject*>(type);
#else
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, base));
#endif
}

// The same, and the class is added to the module under the last dotted part of its spec name.
[[nodiscard]] inline PyTypeObject* add_module_type(PyObject* module, PyType_Spec* spec, PyObject* base = nullptr) noexcept {
    Ref type(reinterpret_cast<PyObject*>(new_module_type(module, spec, base)));
    if (!type) return nullptr;
    const char* dot = std::strrchr(spec->name, '.');
    if (PyModule_AddObjectRef(module, dot ? dot + 1 : spec->name, type.get()) < 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.release());
}

// Adds methods and attributes to a native class after its creation, at module init before any
// instance exists (for a module split into units, each unit adding its own). Native classes are
// immutable to Python code; their dict is written from C and their attribute caches reset after.
// A name the class has already is a SystemError.
[[nodiscard]] inline bool add_to_type_dict(PyTypeObject* type, PyObject* name, PyObject* descriptor) noexcept {
    if (!descriptor) return false;
    Ref held(descriptor);
    Ref dict(PyType_GetDict(type));
    if (!dict) return false;
    int present = PyDict_Contains(dict.get(), name);
    if (present < 0) return false;
    if (present) return raise_format(PyExc_SystemError, "%.200s already has an attribute %U", type->tp_name, name);
    if (PyDict_SetItem(dict.get(), name, descriptor) < 0) return false;
    PyType_Modified(type);
    return true;
}

[[nodiscard]] inline bool add_type_methods(PyTypeObject* type, PyMethodDef* methods) noexcept {
    for (PyMethodDef* def = methods; def->ml_name; ++def) {
        Ref name(PyUnicode_InternFromString(def->ml_name));
        if (!name || !add_to_type_dict(type, name.get(), PyDescr_NewMethod(type, def))) return false;
    }
    return true;
}

[[nodiscard]] inline bool add_type_getsets(PyTypeObject* type, PyGetSetDef* getsets) noexcept {
    for (PyGetSetDef* def = getsets; def->name; ++def) {
        Ref name(PyUnicode_InternFromString(def->name));
        if (!name || !add_to_type_dict(type, name.get(), PyDescr_NewGetSet(type, def))) return false;
    }
    return true;
}

// Module state lives in globals (one interpreter, single-phase init). Init goes through
// init_module: `build` creates the module and fills the globals; when it fails, `release` drops
// every global it may have set, so that the next import (which runs the init again) starts from
// nothing and leaks nothing.
template <typename Build, typename Release>
[[nodiscard]] PyObject* init_module(Build&& build, Release&& release) noexcept {
    PyObject* module = build();
    if (!module) release();
    return module;
}

// Py_CLEAR over a list of globals of any object pointer type, for a module's `release`.
template <typename T>
void clear_ref(T*& ref) noexcept {
    PyObject* old = reinterpret_cast<PyObject*>(ref);
    ref = nullptr;
    Py_XDECREF(old);
}

template <typename... T>
void clear_refs(T*&... refs) noexcept {
    (clear_ref(refs), ...);
}

// Getters and setters of typed attributes over one field of the instance layout, for PyGetSetDef
// tables: `Member` is a pointer to the field (`&ContentObject::body`).
//   get_member            the object field (None when null), or the C integer field as an int;
//   set_any_member        any value; deletion stores None;
//   set_builtin_member    exactly the builtin `Type`, or None (TypeError "Expected bytes, got str");
//   set_integer_member    a C integer; deletion raises NotImplementedError "__del__".
namespace detail {

template <typename M>
struct member_of;
template <typename T, typename V>
struct member_of<V T::*> {
    using object = T;
};

template <auto Member>
inline auto& member(PyObject* op) noexcept {
    return reinterpret_cast<typename member_of<decltype(Member)>::object*>(op)->*Member;
}

}  // namespace detail

template <auto Member>
PyObject* get_member(PyObject* op, void*) noexcept {
    auto& field = detail::member<Member>(op);
    if constexpr (std::is_same_v<std::remove_reference_t<decltype(field)>, PyObject*>) {
        return get_field(field);
    } else {
        return PyLong_FromLongLong(field);
    }
}

template <auto Member>
int set_any_member(PyObject* op, PyObject* value, void*) noexcept {
    return set_any_field(&detail::member<Member>(op), value);
}

template <auto Member, PyTypeObject* Type>
int set_builtin_member(PyObject* op, PyObject* value, void*) noexcept {
    return set_builtin_field(&detail::member<Member>(op), value, Type);
}

template <auto Member>
int set_integer_member(PyObject* op, PyObject* value, void*) noexcept {
    return set_integer_field(&detail::member<Member>(op), value);
}

}  // namespace qm
