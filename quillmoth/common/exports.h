// Native export tables between modules. A module publishes its entry points in the module
// attribute `__quillmoth_api__`: a dict from name to a capsule whose name is the entry's signature
// text. An importing module binds each entry it needs when it is imported; a missing entry or a
// different signature text makes that import fail with ImportError.
#pragma once

#include "args.h"
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

// Native classes are published beside the entry points, in the module attribute
// `__quillmoth_types__`: a dict from class name to a capsule (named kTypeSignature) holding the type
// object. An importer that reads a class's native layout checks the class it finds under that name
// against it, so a module attribute rebound to another class is refused instead of read past its end.
inline constexpr const char* kTypesAttribute = "__quillmoth_types__";
inline constexpr const char* kTypeSignature = "PyTypeObject";

struct TypeExport {
    const char* name;
    PyTypeObject* type;
};

// Adds `__quillmoth_types__` to `module` (merging with an existing table).
[[nodiscard]] inline bool publish_types(PyObject* module, const TypeExport* types, size_t count) noexcept {
    Ref table;
    if (PyObject_GetOptionalAttrString(module, kTypesAttribute, table.out()) < 0) return false;
    if (!table) {
        table.reset(PyDict_New());
        if (!table || PyModule_AddObjectRef(module, kTypesAttribute, table.get()) < 0) return false;
    }
    for (size_t i = 0; i < count; ++i) {
        Ref capsule(PyCapsule_New(types[i].type, kTypeSignature, nullptr));
        if (!capsule || PyDict_SetItemString(table.get(), types[i].name, capsule.get()) < 0) return false;
    }
    return true;
}

// `from qualified_module import name`: a new reference, or null with ImportError set ("cannot
// import name ..." when the module lacks the attribute).
[[nodiscard]] inline PyObject* import_attr(const char* qualified_module, const char* name) noexcept {
    Ref module(PyImport_ImportModule(qualified_module));
    if (!module) return nullptr;
    PyObject* attr = PyObject_GetAttrString(module.get(), name);
    if (attr) return attr;
    PyErr_Clear();
    return raise_format(PyExc_ImportError, "cannot import name '%.200s' from '%.200s'", name, qualified_module);
}

// The same, checked to be a class; ImportError otherwise. For Python classes that are only
// called or tested against, never read natively.
[[nodiscard]] inline PyTypeObject* import_class(const char* qualified_module, const char* name) noexcept {
    Ref attr(import_attr(qualified_module, name));
    if (!attr) return nullptr;
    if (!PyType_Check(attr.get())) {
        return raise_format(PyExc_ImportError, "%.200s.%.200s is not a class", qualified_module, name);
    }
    return reinterpret_cast<PyTypeObject*>(attr.release());
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
            return raise_format(PyExc_ImportError, "%.200s does not export a native API", module_name);
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
            return raise_format(PyExc_ImportError, "%.200s does not export expected native function %.200s",
                                module_name_, name);
        }
        const char* actual = PyCapsule_GetName(capsule);
        if (!actual || std::strcmp(actual, signature) != 0) {
            PyErr_Clear();
            return raise_format(PyExc_ImportError,
                                "native function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                                module_name_, name, signature, actual ? actual : "(none)");
        }
        return PyCapsule_GetPointer(capsule, actual);
    }

    const char* module_name_ = "";
    Ref table_;
};

// The class `name` of `module_name` as the module attribute gives it now (a new reference),
// checked to be the native class the module publishes under that name, or a subclass of it: the
// attribute must exist and be a class, and a class whose native layout the importer reads cannot
// be trusted by its name alone. A Python subclass of the native class passes. ImportError otherwise.
[[nodiscard]] inline PyTypeObject* import_native_type(const char* module_name, const char* name) noexcept {
    Ref found(reinterpret_cast<PyObject*>(import_class(module_name, name)));
    if (!found) return nullptr;
    Ref module(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    Ref table(PyObject_GetAttrString(module.get(), kTypesAttribute));
    if (!table || !PyDict_Check(table.get())) {
        PyErr_Clear();
        return raise_format(PyExc_ImportError, "%.200s does not publish its native classes", module_name);
    }
    PyObject* capsule = PyDict_GetItemString(table.get(), name);  // borrowed
    void* native = capsule && PyCapsule_IsValid(capsule, kTypeSignature) ? PyCapsule_GetPointer(capsule, kTypeSignature)
                                                                          : nullptr;
    if (!native) {
        PyErr_Clear();
        return raise_format(PyExc_ImportError, "%.200s does not publish the native class %.200s", module_name, name);
    }
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(found.get()), static_cast<PyTypeObject*>(native))) {
        return raise_format(PyExc_ImportError, "%.200s.%.200s is not the native class %.200s nor derived from it",
                            module_name, name, static_cast<PyTypeObject*>(native)->tp_name);
    }
    return reinterpret_cast<PyTypeObject*>(found.release());
}

}  // namespace qm
