// Native export tables between modules. A module publishes its entry points in the module
// attribute `__quillmoth_api__`: a dict from name to a capsule whose name is the entry's signature
// text. An importing module binds each entry it needs when it is imported; a missing entry or a
// different signature text makes that import fail with ImportError.
#pragma once

#include "ref.h"

#include <cstring>

namespace qm {

inline constexpr const char* kApiAttribute = "__quillmoth_api__";

struct Export {
    const char* name;
    void* pointer;          // function or variable
    const char* signature;  // e.g. "PyObject *(PyObject *, int)"
};

// Adds `__quillmoth_api__` to `module` (merging with an existing table).
[[nodiscard]] inline bool publish_exports(PyObject* module, const Export* exports, size_t count) noexcept {
    Ref table(PyObject_GetAttrString(module, kApiAttribute));
    if (!table) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        table.reset(PyDict_New());
        if (!table || PyModule_AddObjectRef(module, kApiAttribute, table.get()) < 0) return false;
    }
    for (size_t i = 0; i < count; ++i) {
        Ref capsule(PyCapsule_New(exports[i].pointer, exports[i].signature, nullptr));
        if (!capsule || PyDict_SetItemString(table.get(), exports[i].name, capsule.get()) < 0) return false;
    }
    return true;
}

// The export table of an imported module; binds entries by name and signature.
class ImportedApi {
public:
    [[nodiscard]] bool open(const char* module_name) noexcept {
        module_name_ = module_name;
        Ref module(PyImport_ImportModule(module_name));
        if (!module) return false;
        table_.reset(PyObject_GetAttrString(module.get(), kApiAttribute));
        if (!table_ || !PyDict_Check(table_.get())) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "%.200s does not export a native API", module_name);
            return false;
        }
        return true;
    }

    template <typename T>
    [[nodiscard]] bool bind(const char* name, const char* signature, T** out) noexcept {
        void* pointer = bind_pointer(name, signature);
        if (!pointer) return false;
        *out = reinterpret_cast<T*>(pointer);
        return true;
    }

private:
    void* bind_pointer(const char* name, const char* signature) noexcept {
        PyObject* capsule = PyDict_GetItemString(table_.get(), name);  // borrowed
        if (!capsule || !PyCapsule_CheckExact(capsule)) {
            PyErr_Format(PyExc_ImportError, "%.200s does not export expected native function %.200s", module_name_,
                         name);
            return nullptr;
        }
        const char* actual = PyCapsule_GetName(capsule);
        if (!actual || std::strcmp(actual, signature) != 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError,
                         "native function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                         module_name_, name, signature, actual ? actual : "(none)");
            return nullptr;
        }
        return PyCapsule_GetPointer(capsule, actual);
    }

    const char* module_name_ = "";
    Ref table_;
};

// Imports `qualified_module` and returns a new reference to its attribute `name`, checking that it
// is a class; ImportError otherwise.
[[nodiscard]] inline PyTypeObject* import_type(const char* qualified_module, const char* name) noexcept {
    Ref module(PyImport_ImportModule(qualified_module));
    if (!module) return nullptr;
    Ref attr(PyObject_GetAttrString(module.get(), name));
    if (!attr) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%.200s' from '%.200s'", name, qualified_module);
        return nullptr;
    }
    if (!PyType_Check(attr.get())) {
        PyErr_Format(PyExc_ImportError, "%.200s.%.200s is not a class", qualified_module, name);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(attr.release());
}

}  // namespace qm
