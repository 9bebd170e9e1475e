// Operation tables. Each native class keeps an ordered table (a struct of function pointers) of
// its overridable operations; native callers go through the table with `skip_dispatch` 0. An
// operation that is also a Python method first asks `find_override`: when the object's class is a
// Python subclass that redefines the method, the override is called instead. The exact native
// class (and native subclasses that inherit the method) take the direct path with no attribute
// lookup at all after the first call for a given class.
#pragma once

#include "ref.h"

namespace qm {

// Remembers the last class found not to override an operation, keyed by the class's version tag
// (which the interpreter changes whenever the class or one of its bases is modified).
struct OverrideCache {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
};

namespace detail {

// Whether `attr`, found on a class, is the native method implemented by `impl`.
inline bool is_native_method(PyObject* attr, void* impl) noexcept {
    if (Py_IS_TYPE(attr, &PyMethodDescr_Type)) {
        return reinterpret_cast<void*>(reinterpret_cast<PyMethodDescrObject*>(attr)->d_method->ml_meth) == impl;
    }
    if (PyCFunction_Check(attr)) {
        return reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(attr)) == impl;
    }
    return false;
}

// Slow path of find_override: a class other than the native one itself.
inline int lookup_override(PyObject* self, PyObject* name, void* impl, OverrideCache& cache) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (cache.type == type && cache.version != 0 && type->tp_version_tag == cache.version) return 0;
    Ref attr(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name));
    if (!attr) return -1;
    if (is_native_method(attr.get(), impl)) {
        // Looking the name up assigned the class a valid version tag (unless the interpreter ran
        // out of tags, in which case the tag is 0 and the cache is never trusted).
        cache.type = type;
        cache.version = type->tp_version_tag;
        return 0;
    }
    return 1;
}

}  // namespace detail

// Returns 1 when the class of `self` redefines the Python method `name` (whose native
// implementation is `impl`), 0 when the native implementation applies, -1 on error.
[[nodiscard]] inline int find_override(PyObject* self, PyTypeObject* native_type, PyObject* name, void* impl,
                                       OverrideCache& cache) noexcept {
    if (Py_IS_TYPE(self, native_type)) return 0;
    return detail::lookup_override(self, name, impl, cache);
}

// Calls the Python-level method `name` of `self` (the override) with the given arguments.
template <typename... Args>
[[nodiscard]] inline PyObject* call_override(PyObject* self, PyObject* name, Args... args) noexcept {
    PyObject* stack[] = {self, args...};
    return PyObject_VectorcallMethod(name, stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Interned method names for override lookups, made once at module init.
[[nodiscard]] inline bool intern_names(const char* const* texts, PyObject** out, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) {
        out[i] = PyUnicode_InternFromString(texts[i]);
        if (!out[i]) return false;
    }
    return true;
}

}  // namespace qm

// Casts a fastcall method implementation to the `impl` pointer find_override compares against.
#define QM_IMPL(fn) (reinterpret_cast<void*>(fn))
