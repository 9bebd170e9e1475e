// Interned attribute names, made once when a module is imported. A module lists them as an enum
// of indexes and the texts in the same order:
//
//     enum Name { N_KEYS, N_LOWER, N_COUNT };
//     constexpr const char* kNameTexts[N_COUNT] = {"keys", "lower"};
//     qm::InternedNames<N_COUNT> g_names{kNameTexts};
//     ...
//     PyObject_GetAttr(obj, g_names[N_LOWER]);
#pragma once

#include "ref.h"

#include <cstddef>

namespace qm {

template <size_t N>
class InternedNames {
public:
    explicit constexpr InternedNames(const char* const (&texts)[N]) noexcept : texts_(texts) {}

    // All names or none: on failure the ones made are released again.
    [[nodiscard]] bool intern() noexcept {
        for (size_t i = 0; i < N; ++i) {
            if (objects_[i]) continue;
            objects_[i] = PyUnicode_InternFromString(texts_[i]);
            if (!objects_[i]) {
                release();
                return false;
            }
        }
        return true;
    }

    void release() noexcept {
        for (PyObject*& name : objects_) Py_CLEAR(name);
    }

    PyObject* operator[](size_t i) const noexcept { return objects_[i]; }
    PyObject* const* data() const noexcept { return objects_; }

private:
    const char* const* texts_;
    PyObject* objects_[N] = {};
};

}  // namespace qm
