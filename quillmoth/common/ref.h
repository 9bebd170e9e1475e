// Owned references: a Ref releases what it holds when it goes out of scope, so every early
// return on an error path drops exactly the references the success path would have handed on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.h"

#include <utility>

namespace qm {

class Ref {
public:
    Ref() noexcept = default;
    // Takes ownership of a new reference (which may be null after a failed call).
    explicit Ref(PyObject* owned) noexcept : ptr_(owned) {}
    // Makes a new reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // Replaces the held reference by `owned` (a new reference or null).
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = ptr_;
        ptr_ = owned;
        Py_XDECREF(old);
    }
    // For a C API call that hands a new reference back through a pointer
    // (`PyDict_GetItemRef(dict, key, ref.out())`): drops what is held and gives the slot.
    [[nodiscard]] PyObject** out() noexcept {
        reset();
        return &ptr_;
    }
    // Same as reset, for the common `ref.reset(borrowed)` with an incref.
    void reset_borrowed(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        reset(borrowed);
    }

private:
    PyObject* ptr_ = nullptr;
};

// Stores a new reference into a field slot, releasing the old value after the store, so a
// destructor triggered by the old value never sees a half-updated object.
inline void replace_field(PyObject** slot, PyObject* owned) noexcept {
    PyObject* old = *slot;
    *slot = owned;
    Py_XDECREF(old);
}

inline void replace_field_borrowed(PyObject** slot, PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    replace_field(slot, borrowed);
}

}  // namespace qm
