// Operation tables. Each native class keeps an ordered table (a struct of function pointers) of
// its overridable operations; native callers go through the table with `skip_dispatch` 0. An
// operation that is also a Python method opens with one dispatch step:
//
//     PyObject* headers_get(HeadersObject* self, PyObject* name, int skip_dispatch) {
//         if (auto call = g_overridables[OP_GET].dispatch(self, skip_dispatch, name)) return call.result;
//         ... the native body ...
//     }
//
// When the object's class is a Python subclass that redefines the method, the redefinition is
// called and its result returned; otherwise the native body runs. Instances of the native class
// itself take the direct path at the cost of one comparison; other classes (native subclasses,
// Python subclasses that redefine nothing) after one attribute lookup per class, remembered in a
// small cache keyed by the class's version tag.
#pragma once

#include "args.h"
#include "ref.h"

namespace qm {

// Classes found not to redefine one operation. A class is trusted while its version tag (which the
// interpreter changes whenever the class or one of its bases is modified, and never hands out
// twice) is the one seen when it was checked. Several classes (Request and Response, subclasses of
// those) share an operation, so the cache keeps a few of them, replaced in turn.
class OverrideCache {
public:
    static constexpr int kSlots = 8;

    bool holds(PyTypeObject* type) const noexcept {
        for (const Entry& entry : entries_) {
            if (entry.type == type) return entry.version != 0 && entry.version == type->tp_version_tag;
        }
        return false;
    }

    void add(PyTypeObject* type) noexcept {
        // A class the interpreter gave no tag (it ran out of them) is never trusted.
        if (type->tp_version_tag == 0) return;
        for (Entry& entry : entries_) {
            if (entry.type == type) {
                entry.version = type->tp_version_tag;
                return;
            }
        }
        entries_[next_] = Entry{type, type->tp_version_tag};
        next_ = (next_ + 1) % kSlots;
    }

    void clear() noexcept { *this = OverrideCache{}; }

private:
    struct Entry {
        PyTypeObject* type = nullptr;
        unsigned int version = 0;
    };
    Entry entries_[kSlots];
    int next_ = 0;
};

// The outcome of a dispatch step: when true, the override ran and `result` is what it returned (a
// new reference), or null with its exception (or the failed lookup's) set.
struct Dispatch {
    PyObject* result;
    bool taken;
    explicit operator bool() const noexcept { return taken; }
};

namespace detail {

// Whether `attr`, found on a class, is the native method implemented by `impl`.
inline bool is_native_method(PyObject* attr, PyCFunction impl) noexcept {
    if (Py_IS_TYPE(attr, &PyMethodDescr_Type)) {
        return reinterpret_cast<PyMethodDescrObject*>(attr)->d_method->ml_meth == impl;
    }
    if (PyCFunction_Check(attr)) return PyCFunction_GET_FUNCTION(attr) == impl;
    return false;
}

}  // namespace detail

// One Python-visible operation of a native class that a Python subclass may redefine.
class Overridable {
public:
    // At module init, once the class exists: `name` (interned) must be a method of `native_type`,
    // whose implementation is then what a class's attribute is compared with. SystemError otherwise.
    [[nodiscard]] bool bind(PyTypeObject* native_type, PyObject* name) noexcept {
        Ref attr(PyObject_GetAttr(reinterpret_cast<PyObject*>(native_type), name));
        if (!attr) return false;
        if (!Py_IS_TYPE(attr.get(), &PyMethodDescr_Type)) {
            return raise_format(PyExc_SystemError, "%.200s.%U is not a native method", native_type->tp_name, name);
        }
        native_type_ = native_type;
        name_ = name;
        impl_ = reinterpret_cast<PyMethodDescrObject*>(attr.get())->d_method->ml_meth;
        cache_.clear();
        return true;
    }

    void unbind() noexcept { *this = Overridable{}; }

    PyObject* name() const noexcept { return name_; }

    // Calls the override with `args` when the class of `self` redefines the method; see Dispatch.
    // Nothing is looked up when `skip_dispatch` is set (the class's own method was called).
    template <typename Self, typename... Args>
    [[nodiscard]] Dispatch dispatch(Self* self, int skip_dispatch, Args... args) noexcept {
        auto* obj = reinterpret_cast<PyObject*>(self);
        if (skip_dispatch || Py_IS_TYPE(obj, native_type_) || cache_.holds(Py_TYPE(obj))) return {nullptr, false};
        return dispatch_slow(obj, args...);
    }

    // Whether the class of `self` redefines the method: 1, 0, or -1 with an exception set. For
    // callers that take the override path themselves.
    template <typename Self>
    [[nodiscard]] int is_redefined(Self* self) noexcept {
        auto* obj = reinterpret_cast<PyObject*>(self);
        if (Py_IS_TYPE(obj, native_type_) || cache_.holds(Py_TYPE(obj))) return 0;
        return lookup(Py_TYPE(obj));
    }

private:
    int lookup(PyTypeObject* type) noexcept {
        Ref attr(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name_));
        if (!attr) return -1;
        if (!detail::is_native_method(attr.get(), impl_)) return 1;
        // Looking the name up gave the class a valid version tag (unless the interpreter ran out
        // of tags, and then the class is not cached).
        cache_.add(type);
        return 0;
    }

    template <typename... Args>
    [[gnu::noinline]] Dispatch dispatch_slow(PyObject* self, Args... args) noexcept {
        int redefined = lookup(Py_TYPE(self));
        if (redefined == 0) return {nullptr, false};
        if (redefined < 0) return {nullptr, true};
        PyObject* stack[] = {self, args...};
        return {PyObject_VectorcallMethod(name_, stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
                true};
    }

    PyTypeObject* native_type_ = nullptr;
    PyObject* name_ = nullptr;  // borrowed from the module's interned names
    PyCFunction impl_ = nullptr;
    OverrideCache cache_;
};

// Binds `ops[i]` to the method `names[i]` of `native_type` for each of the `count` operations.
[[nodiscard]] inline bool bind_overridables(Overridable* ops, size_t count, PyTypeObject* native_type,
                                            PyObject* const* names) noexcept {
    for (size_t i = 0; i < count; ++i) {
        if (!ops[i].bind(native_type, names[i])) return false;
    }
    return true;
}

// An override's result where the operation returns nothing: 0, or -1 when it raised.
[[nodiscard]] inline int as_status(PyObject* result) noexcept {
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

// An override's result where the operation returns a truth value: 1, 0, or -1.
[[nodiscard]] inline int as_truth(PyObject* result) noexcept {
    if (!result) return -1;
    int truth = PyObject_IsTrue(result);
    Py_DECREF(result);
    return truth;
}

// Calls the Python-level method `name` of `self` with the given arguments, looked up on the object.
template <typename... Args>
[[nodiscard]] inline PyObject* call_method(PyObject* self, PyObject* name, Args... args) noexcept {
    PyObject* stack[] = {self, args...};
    return PyObject_VectorcallMethod(name, stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace qm
