// quillmoth.headers: Header, one name/value pair of bytes, and Headers, the ordered collection of
// such pairs with case-insensitive lookup by name.
//
// Headers stores its pairs in a plain list of (name, value) tuples, the very list it was built
// over, so a message and its Headers view share one storage. Names keep the case they were stored
// with; each lookup lowers the key once and compares every stored name lowered on the fly (ASCII
// A-Z only), so a lookup allocates nothing beyond its result.
//
// The eleven operations of the table in headers.h are reachable natively (sibling modules) and as
// Python methods; a Python subclass redefining one of them is honoured in both cases, and also by
// the calls the collection makes to itself (set calling contains, remove and add, get_single
// calling get, the subscript and `in` protocols).

#include "headers.h"

#include "common/header_list.h"
#include "common/native.h"

#include <cstring>
#include <new>

namespace qm::headers {
namespace {

PyTypeObject* g_header_type = nullptr;
PyTypeObject* g_headers_type = nullptr;
PyObject* g_mutable_sequence = nullptr;  // collections.abc.MutableSequence
PyObject* g_mapping = nullptr;           // collections.abc.Mapping

// Interned names: the eleven operations in table order first (they index g_caches), then the
// other attribute names used here.
enum NameIndex {
    N_KEYS,
    N_CLONE,
    N_GET,
    N_GET_TUPLES,
    N_ADD,
    N_SET,
    N_GET_SINGLE,
    N_GET_FIRST,
    N_REMOVE,
    N_MERGE,
    N_CONTAINS,
    N_OPS_COUNT,
    N_LOWER = N_OPS_COUNT,
    N_ITEMS,
    N_NAME,
    N_VALUE,
    N_CLASS,
    N_DUNDER_NAME,
    N_DICT,
    N_COUNT
};
constexpr const char* kNameTexts[N_COUNT] = {
    "keys", "clone", "get", "get_tuples", "add", "set", "get_single", "get_first", "remove", "merge", "contains",
    "lower", "items", "name", "value", "__class__", "__name__", "__dict__",
};
InternedNames<N_COUNT> g_names{kNameTexts};
Overridable g_overridables[N_OPS_COUNT];

inline HeadersObject* self_of(PyObject* obj) noexcept { return reinterpret_cast<HeadersObject*>(obj); }
inline HeaderObject* header_of(PyObject* obj) noexcept { return reinterpret_cast<HeaderObject*>(obj); }
inline PyObject* obj_of(HeadersObject* self) noexcept { return reinterpret_cast<PyObject*>(self); }

// ---------------------------------------------------------------------------------------------
// Small helpers

// Owned references collected during a scan. The first sixteen live on the stack, so a lookup that
// finds a handful of pairs (or none) makes no allocation of its own.
class RefStack {
public:
    RefStack() noexcept = default;
    RefStack(const RefStack&) = delete;
    RefStack& operator=(const RefStack&) = delete;
    ~RefStack() {
        for (Py_ssize_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
        if (items_ != small_) PyMem_Free(items_);
    }

    // Takes ownership of `owned`; on failure releases it and sets MemoryError.
    [[nodiscard]] bool push(PyObject* owned) noexcept {
        if (size_ == capacity_) {
            Py_ssize_t grown = capacity_ * 2;
            auto* bigger = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<size_t>(grown)));
            if (!bigger) {
                Py_DECREF(owned);
                PyErr_NoMemory();
                return false;
            }
            std::memcpy(bigger, items_, sizeof(PyObject*) * static_cast<size_t>(size_));
            if (items_ != small_) PyMem_Free(items_);
            items_ = bigger;
            capacity_ = grown;
        }
        items_[size_++] = owned;
        return true;
    }

    Py_ssize_t size() const noexcept { return size_; }
    PyObject* operator[](Py_ssize_t i) const noexcept { return items_[i]; }
    PyObject* const* data() const noexcept { return items_; }

    // Moves the collected references into a new tuple (the shared empty tuple when none).
    [[nodiscard]] PyObject* to_tuple() noexcept {
        PyObject* tuple = PyTuple_New(size_);
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < size_; ++i) PyTuple_SET_ITEM(tuple, i, items_[i]);
        size_ = 0;
        return tuple;
    }

    [[nodiscard]] PyObject* to_list() noexcept {
        PyObject* list = PyList_New(size_);
        if (!list) return nullptr;
        for (Py_ssize_t i = 0; i < size_; ++i) PyList_SET_ITEM(list, i, items_[i]);
        size_ = 0;
        return list;
    }

private:
    PyObject* small_[16];
    PyObject** items_ = small_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 16;
};

// The lowered lookup key. An exact bytes key is lowered once into a stack buffer; anything else
// goes through its own `lower()`, whose result must be bytes ("Expected bytes, got str").
class LookupKey {
public:
    LookupKey() noexcept {}
    LookupKey(const LookupKey&) = delete;
    LookupKey& operator=(const LookupKey&) = delete;
    ~LookupKey() {
        if (lowered_) lowered_->~LoweredKey();
    }

    [[nodiscard]] bool init(PyObject* key) noexcept {
        if (PyBytes_CheckExact(key)) {
            // Built in place in raw storage: the 128-byte buffer is not zeroed first, which would
            // cost more than the whole scan of a short header list.
            lowered_ = new (storage_) LoweredKey(PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key)));
            if (!lowered_->data()) {
                PyErr_NoMemory();
                return false;
            }
            data_ = lowered_->data();
            size_ = lowered_->size();
            return true;
        }
        object_.reset(PyObject_CallMethodNoArgs(key, g_names[N_LOWER]));
        if (!object_) return false;
        if (!PyBytes_CheckExact(object_.get())) return raise_expected("bytes", object_.get());
        data_ = PyBytes_AS_STRING(object_.get());
        size_ = static_cast<size_t>(PyBytes_GET_SIZE(object_.get()));
        return true;
    }

    const char* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }

    // The lowered key as a bytes object (borrowed), made only when a stored name is not plain
    // bytes and has to be compared through the generic protocol.
    PyObject* object() noexcept {
        if (!object_) object_.reset(PyBytes_FromStringAndSize(data_, static_cast<Py_ssize_t>(size_)));
        return object_.get();
    }

private:
    alignas(LoweredKey) unsigned char storage_[sizeof(LoweredKey)];
    LoweredKey* lowered_ = nullptr;
    Ref object_;
    const char* data_ = nullptr;
    size_t size_ = 0;
};

// Whether a stored name matches the key: 1, 0, or -1 with an exception set. Plain bytes compare
// lowered on the fly; any other object must offer `lower()` and its result is compared with ==.
inline int stored_name_matches(PyObject* name, LookupKey& key) noexcept {
    if (QM_LIKELY(PyBytes_CheckExact(name))) return bytes_name_matches(name, key.data(), key.size());
    Ref keep = Ref::borrow(name);
    Ref lowered(PyObject_CallMethodNoArgs(name, g_names[N_LOWER]));
    if (!lowered) return -1;
    PyObject* k = key.object();
    if (!k) return -1;
    return PyObject_RichCompareBool(lowered.get(), k, Py_EQ);
}

// `element[index]` of a stored pair, as the lookup family indexes it: a tuple, or None which is not
// subscriptable. Borrowed; null with an exception set.
inline PyObject* pair_item(PyObject* element, Py_ssize_t index) noexcept {
    if (QM_LIKELY(PyTuple_CheckExact(element))) {
        if (QM_LIKELY(index < PyTuple_GET_SIZE(element))) return PyTuple_GET_ITEM(element, index);
        return raise_error(PyExc_IndexError, "tuple index out of range");
    }
    if (element == Py_None) return raise_error(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return raise_expected("tuple", element);
}

using detail::is_bytes_or_none;

// Unpacks a stored pair whose items must both be bytes or None ("Expected bytes, got str").
[[nodiscard]] bool unpack_bytes_pair(PyObject* element, Ref& name, Ref& value) noexcept {
    if (!unpack_pair(element, name, value)) return false;
    if (!is_bytes_or_none(name.get())) return raise_expected("bytes", name.get());
    if (!is_bytes_or_none(value.get())) return raise_expected("bytes", value.get());
    return true;
}

// The list of a collection, which is None only when the constructor never ran.
[[nodiscard]] inline PyObject* values_for_iteration(HeadersObject* self) noexcept {
    if (QM_UNLIKELY(self->values == Py_None)) return raise_not_iterable(self->values);
    return self->values;
}

// Results of subclass overrides, checked so that native callers may rely on the result type.
[[nodiscard]] PyObject* expect_exact(PyObject* result, PyTypeObject* type) noexcept {
    if (!result || Py_IS_TYPE(result, type)) return result;
    Ref drop(result);
    return raise_expected(type->tp_name, result);
}

[[nodiscard]] PyObject* expect_bytes_or_none(PyObject* result) noexcept {
    if (!result || is_bytes_or_none(result)) return result;
    Ref drop(result);
    return raise_expected("bytes", result);
}

// ---------------------------------------------------------------------------------------------
// Header

PyObject* header_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    header_of(obj)->name = Py_NewRef(Py_None);
    header_of(obj)->value = Py_NewRef(Py_None);
    return obj;
}

int header_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"name", "value"};
    static const Signature sig{"__init__", names, 2, 2};
    PyObject* parsed[2];
    if (!parse_tuple_args(sig, args, kwargs, parsed)) return -1;
    if (!check_exact_arg(parsed[0], &PyBytes_Type, "name") || !check_exact_arg(parsed[1], &PyBytes_Type, "value")) {
        return -1;
    }
    replace_field_borrowed(&header_of(self)->name, parsed[0]);
    replace_field_borrowed(&header_of(self)->value, parsed[1]);
    return 0;
}

// Header(name, value) called on the class itself skips the generic new-then-init protocol (the
// interpreter never hands this entry to subclasses, which keep the usual path).
PyObject* header_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"name", "value"};
    static const Signature sig{"__init__", names, 2, 2};
    PyObject* parsed[2];
    if (!parse_args(sig, args, PyVectorcall_NARGS(nargsf), kwnames, parsed)) return nullptr;
    if (!check_exact_arg(parsed[0], &PyBytes_Type, "name") || !check_exact_arg(parsed[1], &PyBytes_Type, "value")) {
        return nullptr;
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    PyObject* obj = cls->tp_alloc(cls, 0);
    if (!obj) return nullptr;
    header_of(obj)->name = Py_NewRef(parsed[0]);
    header_of(obj)->value = Py_NewRef(parsed[1]);
    return obj;
}

using HeaderFields = qm::ObjectFields<HeaderObject, &HeaderObject::name, &HeaderObject::value>;

// Iteration yields the name, then the value: `name, value = header`.
PyObject* header_iter(PyObject* self) {
    Ref pair(PyTuple_Pack(2, header_of(self)->name, header_of(self)->value));
    if (!pair) return nullptr;
    return PyObject_GetIter(pair.get());
}

// `other.name.lower() == self.name.lower() and other.value == self.value`.
int header_equal(HeaderObject* self, HeaderObject* other) {
    PyObject* a = other->name;
    PyObject* b = self->name;
    int names_equal;
    if (PyBytes_CheckExact(a) && PyBytes_CheckExact(b)) {
        Py_ssize_t n = PyBytes_GET_SIZE(a);
        names_equal = n == PyBytes_GET_SIZE(b);
        const auto* pa = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(a));
        const auto* pb = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b));
        for (Py_ssize_t i = 0; names_equal && i < n; ++i) names_equal = ascii_lower(pa[i]) == ascii_lower(pb[i]);
    } else {
        // None has no lower(): the comparison raises AttributeError like the attribute chain would.
        Ref keep_a = Ref::borrow(a), keep_b = Ref::borrow(b);
        Ref lower_a(PyObject_CallMethodNoArgs(a, g_names[N_LOWER]));
        if (!lower_a) return -1;
        Ref lower_b(PyObject_CallMethodNoArgs(b, g_names[N_LOWER]));
        if (!lower_b) return -1;
        names_equal = PyObject_RichCompareBool(lower_a.get(), lower_b.get(), Py_EQ);
        if (names_equal <= 0) return names_equal;
    }
    if (!names_equal) return 0;
    return PyObject_RichCompareBool(other->value, self->value, Py_EQ);
}

PyObject* header_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, g_header_type)) Py_RETURN_NOTIMPLEMENTED;
    int equal = header_equal(header_of(self), header_of(other));
    if (equal < 0) return nullptr;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject* header_repr(PyObject* self) {
    return PyUnicode_FromFormat("<Header %S: %S>", header_of(self)->name, header_of(self)->value);
}

// (class, constructor arguments) for pickling, plus the instance dict of a Python subclass when it
// holds anything, so subclass attributes survive the round trip.
PyObject* reduce_with_state(PyObject* self, PyObject* ctor_args) {
    Ref args(ctor_args);
    if (!args) return nullptr;
    PyObject* raw = nullptr;
    if (qm::get_pickle_dict(self, g_names[N_DICT], &raw) < 0) return nullptr;
    Ref dict(raw);
    if (dict) return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), dict.get());
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get());
}

PyObject* header_reduce(PyObject* self, PyObject*) {
    return reduce_with_state(self, PyTuple_Pack(2, header_of(self)->name, header_of(self)->value));
}

PyMethodDef header_methods[] = {
    {"__reduce__", header_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickles the header by its name and value."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef header_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(HeaderObject, name), Py_READONLY, "The header field name (bytes), case as given."},
    {"value", Py_T_OBJECT_EX, offsetof(HeaderObject, value), Py_READONLY, "The header field value (bytes)."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot header_slots[] = {
    {Py_tp_doc, const_cast<char*>("Header(name, value)\n--\n\n"
                                  "One HTTP header field: a name and a value, both bytes (or None).\n"
                                  "Unpacks as `name, value = header`; equality ignores the case of the name.")},
    {Py_tp_new, reinterpret_cast<void*>(header_new)},
    {Py_tp_init, reinterpret_cast<void*>(header_init)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(header_vectorcall)},
    QM_FIELD_GC_SLOTS(HeaderFields),
    {Py_tp_iter, reinterpret_cast<void*>(header_iter)},
    {Py_tp_richcompare, reinterpret_cast<void*>(header_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_repr, reinterpret_cast<void*>(header_repr)},
    {Py_tp_methods, header_methods},
    {Py_tp_members, header_members},
    {0, nullptr},
};

PyType_Spec header_spec = {
    "quillmoth.headers.Header",
    sizeof(HeaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    header_slots,
};

// ---------------------------------------------------------------------------------------------
// Headers: the table implementations. Each opens with the dispatch step: a Python subclass that
// redefines the method of the same name gets the call (its result checked so that native callers
// may rely on the result type); otherwise the native body runs.

PyObject* new_headers_over(PyObject* list);

// Whether `name` (bytes or None) is among `names[0 .. count)`, by exact bytes.
inline bool holds_exact_name(PyObject* const* names, Py_ssize_t count, PyObject* name) noexcept {
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject* known = names[j];
        if (known == name) return true;
        if (known != Py_None && name != Py_None) {
            Py_ssize_t n = PyBytes_GET_SIZE(known);
            if (n == PyBytes_GET_SIZE(name) &&
                std::memcmp(PyBytes_AS_STRING(known), PyBytes_AS_STRING(name), static_cast<size_t>(n)) == 0) {
                return true;
            }
        }
    }
    return false;
}

// Lists up to this many pairs are deduplicated by comparing each name with those kept so far
// (cheaper than a set for the usual few dozen headers); longer ones through a set of the names.
constexpr Py_ssize_t kKeysLinearLimit = 32;

PyObject* headers_keys(HeadersObject* self, int skip_dispatch) {
    if (auto call = g_overridables[N_KEYS].dispatch(self, skip_dispatch)) return expect_exact(call.result, &PyTuple_Type);
    PyObject* list = values_for_iteration(self);
    if (!list) return nullptr;
    Ref keep_list = Ref::borrow(list);
    RefStack names;
    // Names are exact bytes or None, whose hashing and equality run no Python code; equality of
    // exact bytes is equality of their contents, which is the deduplication wanted.
    Ref seen;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref element = Ref::borrow(PyList_GET_ITEM(list, i));
        Ref name, value;
        if (!unpack_bytes_pair(element.get(), name, value)) return nullptr;
        if (!seen && names.size() < kKeysLinearLimit) {
            if (holds_exact_name(names.data(), names.size(), name.get())) continue;
        } else {
            if (!seen) {
                seen.reset(PySet_New(nullptr));
                if (!seen) return nullptr;
                for (Py_ssize_t j = 0; j < names.size(); ++j) {
                    if (PySet_Add(seen.get(), names[j]) < 0) return nullptr;
                }
            }
            int present = PySet_Contains(seen.get(), name.get());
            if (present < 0) return nullptr;
            if (present) continue;
            if (PySet_Add(seen.get(), name.get()) < 0) return nullptr;
        }
        if (!names.push(name.release())) return nullptr;
    }
    return names.to_tuple();
}

PyObject* headers_clone(HeadersObject* self, int skip_dispatch) {
    if (auto call = g_overridables[N_CLONE].dispatch(self, skip_dispatch)) {
        if (call.result && !PyObject_TypeCheck(call.result, g_headers_type)) {
            Ref drop(call.result);
            return raise_cannot_convert(call.result, g_headers_type);
        }
        return call.result;
    }
    PyObject* list = values_for_iteration(self);
    if (!list) return nullptr;
    Ref keep_list = Ref::borrow(list);
    Ref copy(PyList_New(0));
    if (!copy) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref element = Ref::borrow(PyList_GET_ITEM(list, i));
        Ref name, value;
        if (!unpack_bytes_pair(element.get(), name, value)) return nullptr;
        Ref pair(PyTuple_Pack(2, name.get(), value.get()));
        if (!pair || PyList_Append(copy.get(), pair.get()) < 0) return nullptr;
    }
    return new_headers_over(copy.get());
}

// Calls `on_match(element)` for each stored pair whose name matches `key` (scan_header_list's
// callback convention). An element that is not a plain pair is indexed as a tuple, and a name that
// is not plain bytes is compared through its lower().
template <typename OnMatch>
[[nodiscard]] int scan_matching(HeadersObject* self, LookupKey& key, OnMatch&& on_match) noexcept {
    PyObject* list = values_for_iteration(self);
    if (!list) return -1;
    Ref keep_list = Ref::borrow(list);
    return scan_header_list<PairShape::Indexed>(
        list, key.data(), key.size(),
        [&key](PyObject* element) -> int {
            PyObject* name = pair_item(element, 0);
            if (!name) return -1;
            return stored_name_matches(name, key);
        },
        on_match);
}

PyObject* headers_get(HeadersObject* self, PyObject* name, int skip_dispatch) {
    if (auto call = g_overridables[N_GET].dispatch(self, skip_dispatch, name)) {
        return expect_exact(call.result, &PyTuple_Type);
    }
    LookupKey key;
    if (!key.init(name)) return nullptr;
    RefStack found;
    int r = scan_matching(self, key, [&found](PyObject* element) -> int {
        PyObject* value = pair_item(element, 1);
        if (!value) return -1;
        return found.push(Py_NewRef(value)) ? 0 : -1;
    });
    if (r < 0) return nullptr;
    return found.to_tuple();
}

PyObject* headers_get_tuples(HeadersObject* self, PyObject* name, int skip_dispatch) {
    if (auto call = g_overridables[N_GET_TUPLES].dispatch(self, skip_dispatch, name)) {
        return expect_exact(call.result, &PyList_Type);
    }
    LookupKey key;
    if (!key.init(name)) return nullptr;
    RefStack found;
    int r = scan_matching(self, key, [&found](PyObject* element) -> int {
        return found.push(Py_NewRef(element)) ? 0 : -1;
    });
    if (r < 0) return nullptr;
    return found.to_list();
}

// The list pairs are appended to; only an instance whose constructor never ran has none (None).
[[nodiscard]] inline PyObject* values_for_append(HeadersObject* self) noexcept {
    if (QM_UNLIKELY(!PyList_CheckExact(self->values))) return raise_no_attribute(self->values, "append");
    return self->values;
}

int headers_add(HeadersObject* self, PyObject* name, PyObject* value, int skip_dispatch) {
    if (auto call = g_overridables[N_ADD].dispatch(self, skip_dispatch, name, value)) return as_status(call.result);
    PyObject* list = values_for_append(self);
    if (!list) return -1;
    Ref pair(PyTuple_Pack(2, name, value));
    if (!pair) return -1;
    return PyList_Append(list, pair.get());
}

int headers_set(HeadersObject* self, PyObject* name, PyObject* value, int skip_dispatch) {
    if (auto call = g_overridables[N_SET].dispatch(self, skip_dispatch, name, value)) return as_status(call.result);
    // Each step goes through the table, so a subclass redefining one of them is honoured.
    int present = self->ops->contains(self, name, 0);
    if (present < 0) return -1;
    if (present && self->ops->remove(self, name, 0) < 0) return -1;
    return self->ops->add(self, name, value, 0);
}

PyObject* headers_get_single(HeadersObject* self, PyObject* key, int skip_dispatch) {
    if (auto call = g_overridables[N_GET_SINGLE].dispatch(self, skip_dispatch, key)) {
        return expect_bytes_or_none(call.result);
    }
    Ref found(self->ops->get(self, key, 0));
    if (!found) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(found.get());
    if (n > 1) return raise_error(PyExc_ValueError, "Headers contains more than one header with the given key");
    if (n == 0) return raise_error(PyExc_ValueError, "Headers does not contain one header with the given key");
    return expect_bytes_or_none(Py_NewRef(PyTuple_GET_ITEM(found.get(), 0)));
}

PyObject* headers_get_first(HeadersObject* self, PyObject* key, int skip_dispatch) {
    if (auto call = g_overridables[N_GET_FIRST].dispatch(self, skip_dispatch, key)) {
        return expect_bytes_or_none(call.result);
    }
    LookupKey lookup;
    if (!lookup.init(key)) return nullptr;
    PyObject* result = nullptr;
    int r = scan_matching(self, lookup, [&result](PyObject* element) -> int {
        PyObject* value = pair_item(element, 1);
        if (!value) return -1;
        if (!is_bytes_or_none(value)) return raise_expected("bytes", value);
        result = Py_NewRef(value);
        return 1;
    });
    if (r < 0) return nullptr;
    return result ? result : Py_NewRef(Py_None);
}

int headers_remove(HeadersObject* self, PyObject* key, int skip_dispatch) {
    if (auto call = g_overridables[N_REMOVE].dispatch(self, skip_dispatch, key)) return as_status(call.result);
    LookupKey lookup;
    if (!lookup.init(key)) return -1;
    // Collect first, remove afterwards: the list is never changed while it is walked.
    RefStack found;
    int r = scan_matching(self, lookup, [&found](PyObject* element) -> int {
        return found.push(Py_NewRef(element)) ? 0 : -1;
    });
    if (r < 0) return -1;
    if (found.size() == 0) return 0;
    Ref list = Ref::borrow(self->values);
    for (Py_ssize_t i = 0; i < found.size(); ++i) {
        if (list_remove(list.get(), found[i]) < 0) return -1;
    }
    return 0;
}

int headers_merge(HeadersObject* self, PyObject* values, int skip_dispatch) {
    if (auto call = g_overridables[N_MERGE].dispatch(self, skip_dispatch, values)) return as_status(call.result);
    if (values == Py_None) return raise_not_iterable(values);
    if (!PyList_CheckExact(values)) return raise_expected("list", values);
    Ref source = Ref::borrow(values);
    // Only the pairs present on entry are merged, so merging a collection's own list into it
    // doubles it once instead of chasing its own growth.
    Py_ssize_t count = PyList_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(values); ++i) {
        PyObject* element = PyList_GET_ITEM(values, i);
        if (element == Py_None) continue;
        if (!PyTuple_CheckExact(element)) return raise_expected("tuple", element);
        PyObject* list = values_for_append(self);
        if (!list || PyList_Append(list, element) < 0) return -1;
    }
    return 0;
}

int headers_contains(HeadersObject* self, PyObject* key, int skip_dispatch) {
    if (auto call = g_overridables[N_CONTAINS].dispatch(self, skip_dispatch, key)) return as_truth(call.result);
    LookupKey lookup;
    if (!lookup.init(key)) return -1;
    PyObject* list = values_for_iteration(self);
    if (!list) return -1;
    Ref keep_list = Ref::borrow(list);
    // Anything but a plain (bytes, bytes-or-None) 2-tuple is unpacked the general way.
    return scan_header_list<PairShape::BytesPair>(
        list, lookup.data(), lookup.size(),
        [&lookup](PyObject* element) -> int {
            Ref stored_name, value;
            if (!unpack_bytes_pair(element, stored_name, value)) return -1;
            return stored_name_matches(stored_name.get(), lookup);
        },
        [](PyObject*) -> int { return 1; });
}

const HeadersOps kHeadersOps = {
    headers_keys, headers_clone,      headers_get,       headers_get_tuples, headers_add,     headers_set,
    headers_get_single, headers_get_first, headers_remove, headers_merge,     headers_contains,
};

// ---------------------------------------------------------------------------------------------
// Headers: object lifecycle

PyObject* headers_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    self_of(obj)->ops = &kHeadersOps;
    self_of(obj)->values = Py_NewRef(Py_None);
    return obj;
}

// A new base-class Headers over `list` (borrowed).
PyObject* new_headers_over(PyObject* list) {
    PyObject* obj = headers_new(g_headers_type, nullptr, nullptr);
    if (!obj) return nullptr;
    replace_field_borrowed(&self_of(obj)->values, list);
    return obj;
}

int headers_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"values"};
    static const Signature sig{"__init__", names, 1, 0};
    PyObject* values = Py_None;
    if (!parse_tuple_args(sig, args, kwargs, &values)) return -1;
    if (!check_exact_arg(values, &PyList_Type, "values")) return -1;
    if (values == Py_None) {
        PyObject* fresh = PyList_New(0);
        if (!fresh) return -1;
        replace_field(&self_of(self)->values, fresh);
    } else {
        replace_field_borrowed(&self_of(self)->values, values);
    }
    return 0;
}

// Headers(values) called on the class itself (how sibling modules wrap a message's list): the same
// checks as __init__ without the generic new-then-init protocol. Subclasses keep the usual path.
PyObject* headers_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"values"};
    static const Signature sig{"__init__", names, 1, 0};
    PyObject* values = Py_None;
    if (!parse_args(sig, args, PyVectorcall_NARGS(nargsf), kwnames, &values)) return nullptr;
    if (!check_exact_arg(values, &PyList_Type, "values")) return nullptr;
    Ref fresh;
    if (values == Py_None) {
        fresh.reset(PyList_New(0));
        if (!fresh) return nullptr;
        values = fresh.get();
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    PyObject* obj = cls->tp_alloc(cls, 0);
    if (!obj) return nullptr;
    self_of(obj)->ops = &kHeadersOps;
    self_of(obj)->values = Py_NewRef(values);
    return obj;
}

using HeadersFields = qm::ObjectFields<HeadersObject, &HeadersObject::values>;

PyObject* headers_repr(PyObject* self) {
    return PyUnicode_FromFormat("<Headers %S>", self_of(self)->values ? self_of(self)->values : Py_None);
}

// iter(headers) and items(): the stored pairs, in order, straight from the list.
PyObject* headers_iter(PyObject* self) {
    PyObject* list = values_for_iteration(self_of(self));
    if (!list) return nullptr;
    return PyObject_GetIter(list);
}

// ---------------------------------------------------------------------------------------------
// Headers: Python-visible methods of the table. Each checks its arguments, then runs the native
// operation directly (skip_dispatch 1: the class's own method was called).

#define QM_PARSE(funcname, required, ...)                                                            \
    static const char* const param_names[] = {__VA_ARGS__};                                         \
    static const Signature sig{funcname, param_names, sizeof(param_names) / sizeof(param_names[0]), \
                               required};                                                           \
    PyObject* a[sizeof(param_names) / sizeof(param_names[0])];                                      \
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr

[[nodiscard]] inline PyObject* none_or_null(int status) noexcept {
    if (status < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_headers_keys(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("keys", nargs, kwnames)) return nullptr;
    return headers_keys(self_of(self), 1);
}

PyObject* py_headers_clone(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("clone", nargs, kwnames)) return nullptr;
    return headers_clone(self_of(self), 1);
}

PyObject* py_headers_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("get", 1, "name");
    if (!check_exact_arg(a[0], &PyBytes_Type, "name")) return nullptr;
    return headers_get(self_of(self), a[0], 1);
}

PyObject* py_headers_get_tuples(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("get_tuples", 1, "name");
    if (!check_exact_arg(a[0], &PyBytes_Type, "name")) return nullptr;
    return headers_get_tuples(self_of(self), a[0], 1);
}

PyObject* py_headers_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("add", 2, "name", "value");
    if (!check_exact_arg(a[0], &PyBytes_Type, "name") || !check_exact_arg(a[1], &PyBytes_Type, "value")) {
        return nullptr;
    }
    return none_or_null(headers_add(self_of(self), a[0], a[1], 1));
}

PyObject* py_headers_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("set", 2, "name", "value");
    if (!check_exact_arg(a[0], &PyBytes_Type, "name") || !check_exact_arg(a[1], &PyBytes_Type, "value")) {
        return nullptr;
    }
    return none_or_null(headers_set(self_of(self), a[0], a[1], 1));
}

PyObject* py_headers_get_single(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("get_single", 1, "key");
    if (!check_exact_arg(a[0], &PyBytes_Type, "key")) return nullptr;
    return headers_get_single(self_of(self), a[0], 1);
}

PyObject* py_headers_get_first(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("get_first", 1, "key");
    if (!check_exact_arg(a[0], &PyBytes_Type, "key")) return nullptr;
    return headers_get_first(self_of(self), a[0], 1);
}

PyObject* py_headers_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("remove", 1, "key");
    if (!check_exact_arg(a[0], &PyBytes_Type, "key")) return nullptr;
    return none_or_null(headers_remove(self_of(self), a[0], 1));
}

PyObject* py_headers_merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("merge", 1, "values");
    if (!check_exact_arg(a[0], &PyList_Type, "values")) return nullptr;
    return none_or_null(headers_merge(self_of(self), a[0], 1));
}

PyObject* py_headers_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("contains", 1, "key");
    if (!check_exact_arg(a[0], &PyBytes_Type, "key")) return nullptr;
    int found = headers_contains(self_of(self), a[0], 1);
    if (found < 0) return nullptr;
    return PyBool_FromLong(found);
}

// ---------------------------------------------------------------------------------------------
// Headers: interpreter-only methods and protocols

PyObject* py_headers_items(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("items", nargs, kwnames)) return nullptr;
    return headers_iter(self);
}

// A list iterated while pairs are added to some list: iterate over a snapshot when the source is a
// plain list, so that adding a collection's own list (or the collection itself) to it terminates.
[[nodiscard]] PyObject* iterate_snapshot(PyObject* source, bool snapshot) noexcept {
    if (!snapshot) return PyObject_GetIter(source);
    Ref copy(PySequence_List(source));
    if (!copy) return nullptr;
    return PyObject_GetIter(copy.get());
}

PyObject* py_headers_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("update", 1, "values");
    if (!check_exact_arg(a[0], &PyDict_Type, "values")) return nullptr;
    // None has no items(): AttributeError, as the attribute lookup gives it.
    Ref items(PyObject_CallMethodNoArgs(a[0], g_names[N_ITEMS]));
    if (!items) return nullptr;
    Ref iterator(PyObject_GetIter(items.get()));
    if (!iterator) return nullptr;
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        Ref item(raw);
        Ref key, value;
        if (!unpack_pair(item.get(), key, value)) return nullptr;
        // `self[key] = value`: a subclass redefining __setitem__ is honoured.
        if (PyObject_SetItem(self, key.get(), value.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// `self.add(*item)` through attribute lookup.
[[nodiscard]] bool call_add_star(PyObject* add, PyObject* item) noexcept {
    Ref args;
    if (PyTuple_CheckExact(item)) {
        args.reset_borrowed(item);
    } else {
        if (!Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
            return raise_format(PyExc_TypeError, "add() argument after * must be an iterable, not %.200s",
                         Py_TYPE(item)->tp_name);
        }
        args.reset(PySequence_Tuple(item));
        if (!args) return false;
    }
    return as_status(PyObject_Call(add, args.get(), nullptr)) == 0;
}

PyObject* py_headers_add_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("add_many", 1, "values");
    PyObject* values = a[0];
    int is_sequence = PyList_CheckExact(values) ? 1 : PyObject_IsInstance(values, g_mutable_sequence);
    if (is_sequence < 0) return nullptr;
    if (is_sequence) {
        Ref add(PyObject_GetAttr(self, g_names[N_ADD]));
        if (!add) return nullptr;
        Ref iterator(iterate_snapshot(values, PyList_CheckExact(values)));
        if (!iterator) return nullptr;
        while (PyObject* raw = PyIter_Next(iterator.get())) {
            Ref item(raw);
            if (!call_add_star(add.get(), item.get())) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    int is_mapping = PyDict_CheckExact(values) ? 1 : PyObject_IsInstance(values, g_mapping);
    if (is_mapping < 0) return nullptr;
    if (!is_mapping) return raise_error(PyExc_ValueError, "values must be dict[bytes, bytes] or list[Header]");
    Ref items(PyObject_CallMethodNoArgs(values, g_names[N_ITEMS]));
    if (!items) return nullptr;
    Ref iterator(PyObject_GetIter(items.get()));
    if (!iterator) return nullptr;
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        Ref item(raw);
        Ref key, value;
        if (!unpack_bytes_pair(item.get(), key, value)) return nullptr;
        if (self_of(self)->ops->add(self_of(self), key.get(), value.get(), 0) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

[[nodiscard]] bool call_add(PyObject* instance, PyObject* name, PyObject* value) noexcept {
    return as_status(call_method(instance, g_names[N_ADD], name, value)) == 0;
}

// Adds `other` to `instance` (every add through attribute lookup on `instance`). A new reference to
// `instance`, NotImplemented for an operand of another kind, or null with an exception set.
PyObject* add_to_instance(PyObject* instance, PyObject* other) {
    if (PyObject_TypeCheck(other, g_headers_type)) {
        // When `other` walks the very list the adds append to (the collection itself, or another
        // collection over the same list), its pairs are added as they were on entry.
        bool same_list =
            PyObject_TypeCheck(instance, g_headers_type) && self_of(other)->values == self_of(instance)->values;
        Ref iterator(iterate_snapshot(other, same_list));
        if (!iterator) return nullptr;
        while (PyObject* raw = PyIter_Next(iterator.get())) {
            Ref pair(raw);
            Ref name, value;
            if (!unpack_pair(pair.get(), name, value) || !call_add(instance, name.get(), value.get())) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        return Py_NewRef(instance);
    }
    if (PyObject_TypeCheck(other, g_header_type)) {
        Ref name(PyObject_GetAttr(other, g_names[N_NAME]));
        if (!name) return nullptr;
        Ref value(PyObject_GetAttr(other, g_names[N_VALUE]));
        if (!value || !call_add(instance, name.get(), value.get())) return nullptr;
        return Py_NewRef(instance);
    }
    if (PyTuple_Check(other)) {
        if (PyTuple_GET_SIZE(other) != 2) {
            Ref message(PyUnicode_FromFormat("Cannot add, an invalid tuple %S.", other));
            if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            return nullptr;
        }
        Ref keep = Ref::borrow(other);
        if (!call_add(instance, PyTuple_GET_ITEM(other, 0), PyTuple_GET_ITEM(other, 1))) return nullptr;
        return Py_NewRef(instance);
    }
    int is_sequence = PyList_CheckExact(other) ? 1 : PyObject_IsInstance(other, g_mutable_sequence);
    if (is_sequence < 0) return nullptr;
    if (!is_sequence) Py_RETURN_NOTIMPLEMENTED;
    Ref iterator(iterate_snapshot(other, PyList_CheckExact(other)));
    if (!iterator) return nullptr;
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        Ref element(raw);
        if (!PyTuple_Check(raw) || PyTuple_GET_SIZE(raw) != 2) {
            Ref cls(PyObject_GetAttr(instance, g_names[N_CLASS]));
            if (!cls) return nullptr;
            Ref cls_name(PyObject_GetAttr(cls.get(), g_names[N_DUNDER_NAME]));
            if (!cls_name) return nullptr;
            Ref message(PyUnicode_FromFormat("The sequence contains invalid elements: cannot add %S to %S", raw,
                                             cls_name.get()));
            if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            return nullptr;
        }
        if (!call_add(instance, PyTuple_GET_ITEM(raw, 0), PyTuple_GET_ITEM(raw, 1))) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return Py_NewRef(instance);
}

PyObject* py_headers_add_to_instance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QM_PARSE("_add_to_instance", 2, "instance", "other");
    return add_to_instance(a[0], a[1]);
}

PyObject* py_headers_reduce(PyObject* self, PyObject*) {
    return reduce_with_state(self, PyTuple_Pack(1, self_of(self)->values));
}

// headers[item]: the values of every pair named `item`; an empty tuple when none (never KeyError).
PyObject* headers_subscript(PyObject* self, PyObject* item) {
    if (!check_exact_arg(item, &PyBytes_Type, "item")) return nullptr;
    return self_of(self)->ops->get(self_of(self), item, 0);
}

// headers[key] = value is set(); del headers[key] is remove(), silent when the name is absent.
int headers_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    if (!check_exact_arg(key, &PyBytes_Type, "key")) return -1;
    if (!value) return self_of(self)->ops->remove(self_of(self), key, 0);
    if (!check_exact_arg(value, &PyBytes_Type, "value")) return -1;
    return self_of(self)->ops->set(self_of(self), key, value, 0);
}

int headers_sq_contains(PyObject* self, PyObject* key) {
    if (!check_exact_arg(key, &PyBytes_Type, "key")) return -1;
    return self_of(self)->ops->contains(self_of(self), key, 0);
}

// headers + other, and other + headers: a clone of the collection, then the other operand's pairs.
PyObject* headers_nb_add(PyObject* left, PyObject* right) {
    PyObject* headers = left;
    PyObject* other = right;
    if (!PyObject_TypeCheck(left, g_headers_type)) {
        headers = right;
        other = left;
    }
    Ref clone(self_of(headers)->ops->clone(self_of(headers), 0));
    if (!clone) return nullptr;
    return add_to_instance(clone.get(), other);
}

PyObject* headers_nb_inplace_add(PyObject* self, PyObject* other) { return add_to_instance(self, other); }

PyMethodDef headers_methods[] = {
    QM_FASTCALL_METHOD("keys", py_headers_keys,
        "keys($self, /)\n--\n\nThe distinct names, in order of first occurrence, spelled as stored (names that differ "
        "only in case are listed separately)."),
    QM_FASTCALL_METHOD("clone", py_headers_clone,
        "clone($self, /)\n--\n\nA new Headers (always of the base class) over a new list of new pairs."),
    QM_FASTCALL_METHOD("get", py_headers_get,
        "get($self, /, name)\n--\n\nThe values of every pair whose name matches `name` (any case), as a tuple."),
    QM_FASTCALL_METHOD("get_tuples", py_headers_get_tuples,
        "get_tuples($self, /, name)\n--\n\nThe stored (name, value) pairs whose name matches `name`, as a list."),
    QM_FASTCALL_METHOD("add", py_headers_add, "add($self, /, name, value)\n--\n\nAppends the pair (name, value)."),
    QM_FASTCALL_METHOD("set", py_headers_set,
        "set($self, /, name, value)\n--\n\nReplaces every pair named `name` (any case) by one pair at the end."),
    QM_FASTCALL_METHOD("get_single", py_headers_get_single,
        "get_single($self, /, key)\n--\n\nThe value of the one pair named `key`; ValueError when there are none or "
        "several."),
    QM_FASTCALL_METHOD("get_first", py_headers_get_first,
        "get_first($self, /, key)\n--\n\nThe value of the first pair named `key`, or None."),
    QM_FASTCALL_METHOD("remove", py_headers_remove,
        "remove($self, /, key)\n--\n\nRemoves every pair named `key` (any case); nothing to remove is not an error."),
    QM_FASTCALL_METHOD("merge", py_headers_merge,
        "merge($self, /, values)\n--\n\nAppends each tuple of the list `values` as it is; None elements are skipped."),
    QM_FASTCALL_METHOD("contains", py_headers_contains,
        "contains($self, /, key)\n--\n\nWhether a pair is named `key` (any case)."),
    QM_FASTCALL_METHOD("items", py_headers_items, "items($self, /)\n--\n\nAn iterator over the stored pairs, in order."),
    QM_FASTCALL_METHOD("update", py_headers_update,
        "update($self, /, values)\n--\n\nFor each key, value of the dict `values`, performs self[key] = value."),
    QM_FASTCALL_METHOD("add_many", py_headers_add_many,
        "add_many($self, /, values)\n--\n\nAdds the pairs of a mutable sequence (of pairs or Header objects) or of a "
        "mapping of bytes to bytes."),
    {"_add_to_instance", QM_FASTCALL(py_headers_add_to_instance), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_add_to_instance(instance, other)\n--\n\nAdds the pairs of `other` (Headers, Header, 2-tuple or a mutable "
     "sequence of 2-tuples) to `instance`; NotImplemented for anything else."},
    {"__reduce__", py_headers_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickles the collection by its values."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef headers_getset[] = {
    {"values", qm::get_member<&HeadersObject::values>, nullptr, "The live list of stored (name, value) pairs.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot headers_slots[] = {
    {Py_tp_doc, const_cast<char*>("Headers(values=None)\n--\n\n"
                                  "An ordered collection of (name, value) pairs of bytes with case-insensitive "
                                  "lookup by name.\nIt works on the list it is given, without copying it.")},
    {Py_tp_new, reinterpret_cast<void*>(headers_new)},
    {Py_tp_init, reinterpret_cast<void*>(headers_init)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(headers_vectorcall)},
    QM_FIELD_GC_SLOTS(HeadersFields),
    {Py_tp_iter, reinterpret_cast<void*>(headers_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(headers_repr)},
    {Py_mp_subscript, reinterpret_cast<void*>(headers_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(headers_ass_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(headers_sq_contains)},
    {Py_nb_add, reinterpret_cast<void*>(headers_nb_add)},
    {Py_nb_inplace_add, reinterpret_cast<void*>(headers_nb_inplace_add)},
    {Py_tp_methods, headers_methods},
    {Py_tp_getset, headers_getset},
    {0, nullptr},
};

PyType_Spec headers_spec = {
    "quillmoth.headers.Headers",
    sizeof(HeadersObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    headers_slots,
};

// ---------------------------------------------------------------------------------------------
// Module

PyModuleDef module_def = qm::make_module_def(
    "quillmoth.headers",
    "Header and Headers: HTTP header fields as bytes, in an ordered collection with case-insensitive lookup.");

[[nodiscard]] bool load_abcs() noexcept {
    Ref abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    g_mutable_sequence = PyObject_GetAttrString(abc.get(), "MutableSequence");
    if (!g_mutable_sequence) return false;
    g_mapping = PyObject_GetAttrString(abc.get(), "Mapping");
    return g_mapping != nullptr;
}

void release_state() noexcept {
    clear_refs(g_header_type, g_headers_type, g_mutable_sequence, g_mapping);
    g_names.release();
    for (Overridable& op : g_overridables) op.unbind();
}

PyObject* build_module() noexcept {
    if (!g_names.intern() || !load_abcs()) return nullptr;
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    g_header_type = add_module_type(module.get(), &header_spec);
    if (!g_header_type) return nullptr;
    g_headers_type = add_module_type(module.get(), &headers_spec);
    if (!g_headers_type) return nullptr;
    if (!bind_overridables(g_overridables, N_OPS_COUNT, g_headers_type, g_names.data())) return nullptr;
    const TypeExport types[] = {{"Header", g_header_type}, {"Headers", g_headers_type}};
    if (!publish_types(module.get(), types, 2)) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace qm::headers

PyMODINIT_FUNC PyInit_headers(void) {
    return qm::init_module(qm::headers::build_module, qm::headers::release_state);
}
