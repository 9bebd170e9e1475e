// Typed native fields: setters that check the assigned value and report the fixed messages.
//  - builtin-typed fields (bytes, str, list, dict) take exactly that type or None:
//    TypeError "Expected list, got tuple";
//  - extension-class fields take an instance (subclasses too) or None:
//    TypeError "Cannot convert str to quillmoth.headers.Headers";
//  - deleting an object field sets it to None; deleting a field that cannot hold None (an int)
//    raises NotImplementedError "__del__".
#pragma once

#include "args.h"

#include <climits>
#include <cstdint>
#include <limits>

namespace qm {

enum class OnDelete { SetNone, Raise };

QM_COLD inline Failure raise_no_delete() noexcept { return raise_error(PyExc_NotImplementedError, "__del__"); }

// Object field of any type. `value` null means deletion.
[[nodiscard]] inline int set_any_field(PyObject** slot, PyObject* value, OnDelete on_delete = OnDelete::SetNone) noexcept {
    if (!value) {
        if (on_delete == OnDelete::Raise) return raise_no_delete();
        value = Py_None;
    }
    replace_field_borrowed(slot, value);
    return 0;
}

// Field holding exactly the builtin `type`, or None.
[[nodiscard]] inline int set_builtin_field(PyObject** slot, PyObject* value, PyTypeObject* type,
                                           OnDelete on_delete = OnDelete::SetNone) noexcept {
    if (value && value != Py_None && !Py_IS_TYPE(value, type)) return raise_expected(type->tp_name, value);
    return set_any_field(slot, value, on_delete);
}

// Field holding an instance of the extension class `type` (or a subclass), or None.
[[nodiscard]] inline int set_instance_field(PyObject** slot, PyObject* value, PyTypeObject* type,
                                            OnDelete on_delete = OnDelete::SetNone) noexcept {
    if (value && value != Py_None && !PyObject_TypeCheck(value, type)) return raise_cannot_convert(value, type);
    return set_any_field(slot, value, on_delete);
}

// Converts an int-like value (an int, or an object with __index__) to a C integer of type T:
// TypeError for anything else, OverflowError "value too large to convert to int" when it does not
// fit in T, whatever its sign.
template <typename T>
[[nodiscard]] inline bool to_c_integer(PyObject* value, T* out) noexcept {
    long long wide = PyLong_AsLongLong(value);
    if (wide == -1 && PyErr_Occurred()) return false;
    if constexpr (sizeof(T) < sizeof(long long)) {
        if (wide < static_cast<long long>(std::numeric_limits<T>::min()) ||
            wide > static_cast<long long>(std::numeric_limits<T>::max())) {
            return raise_error(PyExc_OverflowError, "value too large to convert to int");
        }
    }
    *out = static_cast<T>(wide);
    return true;
}

// Setter of a C integer field; deletion raises NotImplementedError "__del__".
template <typename T>
[[nodiscard]] inline int set_integer_field(T* slot, PyObject* value) noexcept {
    if (!value) return raise_no_delete();
    T converted;
    if (!to_c_integer(value, &converted)) return -1;
    *slot = converted;
    return 0;
}

// Getter helper: a new reference to a field that is never null once the object is built.
inline PyObject* get_field(PyObject* field) noexcept { return Py_NewRef(field ? field : Py_None); }

}  // namespace qm
