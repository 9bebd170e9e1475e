// The routing module: a radix tree of URL path patterns per HTTP method, matched against raw request
// paths with static > parameter > wildcard precedence and backtracking.
//
// Layout: shared helpers (percent-decoding, the built-in validators, the lookup tables, typed
// attributes and the classes' lifecycle), RadixNode, path segments, the matcher, RadixTree,
// RouteMatch, CythonRadixRouter, module init.
#include "routing.h"

#include "common/fold.h"
#include "common/percent.h"

#include <bit>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>

// The word-at-a-time scans below read bytes in memory order from the low end of a word.
static_assert(std::endian::native == std::endian::little);

// The matching path: placed together (.text.hot), apart from the cold code, and optimised for speed.
#ifndef QM_HOT
#define QM_HOT [[gnu::hot]]
#endif

namespace {

using qm::load_word;
using qm::Ref;

PyTypeObject* g_radix_node_type;
PyTypeObject* g_radix_tree_type;
PyTypeObject* g_route_match_type;
PyTypeObject* g_cython_radix_router_type;

// Compiled at import from bytes patterns; the module attributes _INT_RX, _FLOAT_RX, _UUID_RX.
PyObject* g_int_rx;
PyObject* g_float_rx;
PyObject* g_uuid_rx;

// copyreg.__newobj__, the factory every pickled state names.
PyObject* g_copyreg_newobj;

// Interned names; the overridable operations' come first, in the order of their tables.
enum Name {
    N_INSERT,
    N_MATCH,
    N_ADD_ROUTE,
    N_GET_MATCH,
    N_TAIL,
    N_PATH,
    N_PARAM_NAMES,
    N_HANDLER,
    N_PATTERN,
    N_DECODE,
    N_UTF8,
    N_EMPTY,
    N_DICT,
    N_COUNT
};
constexpr const char* kNameTexts[N_COUNT] = {
    "insert", "match", "add_route", "get_match", "tail", "path", "param_names",
    "handler", "pattern", "decode", "utf8", "", "__dict__",
};

qm::InternedNames<N_COUNT> g_names{kNameTexts};

// RadixTree.insert and match, CythonRadixRouter.add_route and get_match.
constexpr size_t kOverridableCount = N_GET_MATCH + 1;
qm::Overridable g_overridables[kOverridableCount];

// Small constants, made once at init.
PyObject* g_empty_bytes;
PyObject* g_slash_bytes;
PyObject* g_star_bytes;
PyObject* g_double_slash_bytes;

// "_p_0" .. "_p_127": positional keys of captured parameters; deeper indexes are formatted on demand.
constexpr int kCachedPositionalKeys = 128;
PyObject* g_positional_keys[kCachedPositionalKeys];

QM_HOT PyObject* positional_key(Py_ssize_t index) {
    if (index < kCachedPositionalKeys) return Py_NewRef(g_positional_keys[index]);
    return PyUnicode_FromFormat("_p_%zd", index);
}

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// The TypeError the interpreter raises for `key in obj` where `obj` (a field replaced from Python,
// None say) is no container: what a dict lookup reports there.
QM_COLD qm::Failure raise_not_container(PyObject* obj, PyObject* key) {
    (void)PySequence_Contains(obj, key);
    return qm::kFailed;
}

// ---------------------------------------------------------------------------------------------------
// Percent-decoding of captured values.
//
// A value is the raw bytes decoded as UTF-8 with invalid bytes replaced, then, when it holds a "%",
// passed through urllib.parse.unquote. unquote works on runs of ASCII characters: each run has its
// %XX escapes turned into bytes that are decoded as UTF-8 (invalid sequences replaced) on their own,
// while the non-ASCII text between runs is kept. ASCII characters of the decoded text are exactly
// the ASCII bytes of the input, and a UTF-8 sequence never spans an ASCII byte, so the same result
// comes from walking the raw bytes run by run without building the intermediate text.

PyObject* unquote_bytes(const char* data, Py_ssize_t size) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    Py_ssize_t first_non_ascii = 0;
    while (first_non_ascii < size && p[first_non_ascii] < 0x80) ++first_non_ascii;
    // One ASCII run: decode the escapes and the UTF-8 in one go.
    if (first_non_ascii == size) return qm::percent::unquote_buffer_to_str(data, static_cast<size_t>(size));

    qm::percent::ScratchBuffer scratch(static_cast<size_t>(size));
    if (!scratch.data()) return qm::kFailed;
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(size);
    if (!writer) return qm::kFailed;
    bool ok = true;
    Py_ssize_t i = 0;
    while (ok && i < size) {
        Py_ssize_t j = i;
        if (p[i] < 0x80) {
            while (j < size && p[j] < 0x80) ++j;
            size_t m = qm::percent::unquote_into(data + i, static_cast<size_t>(j - i), scratch.data());
            ok = PyUnicodeWriter_DecodeUTF8Stateful(writer, scratch.data(), static_cast<Py_ssize_t>(m), "replace",
                                                    nullptr) == 0;
        } else {
            while (j < size && p[j] >= 0x80) ++j;
            ok = PyUnicodeWriter_DecodeUTF8Stateful(writer, data + i, j - i, "replace", nullptr) == 0;
        }
        i = j;
    }
    if (!ok) {
        PyUnicodeWriter_Discard(writer);
        return qm::kFailed;
    }
    return PyUnicodeWriter_Finish(writer);
}

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHigh = 0x8080808080808080ULL;
constexpr uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fULL;

// The high bit of every byte of `w` that equals `c`, and no other bit.
inline uint64_t bytes_equal_to(uint64_t w, unsigned char c) {
    uint64_t x = w ^ (c * kOnes);
    return ~(((x & kLow7) + kLow7) | x) & kHigh;
}

// _fast_unquote on a byte range. Plain ASCII without escapes, the usual value, is copied as it is.
QM_HOT PyObject* fast_unquote_view(const char* data, Py_ssize_t size) {
    uint64_t any_high = 0, any_percent = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t w = load_word(data + i);
        any_high |= w;
        any_percent |= bytes_equal_to(w, '%');
    }
    for (; i < size; ++i) {
        any_high |= static_cast<unsigned char>(data[i]);
        any_percent |= data[i] == '%';
    }
    if (any_percent) return unquote_bytes(data, size);
    if (any_high & kHigh) return PyUnicode_DecodeUTF8(data, size, "replace");
    PyObject* text = PyUnicode_New(size, 127);
    if (text && size) std::memcpy(PyUnicode_DATA(text), data, static_cast<size_t>(size));
    return text;
}

// _fast_unquote(val): native-only module function, offered to other native code through the export
// table. `skip_dispatch` has no effect.
PyObject* fast_unquote(PyObject* val, int /*skip_dispatch*/) {
    if (val == Py_None) return qm::raise_no_attribute(val, "decode");
    if (!PyBytes_Check(val)) return qm::raise_arg_type("val", "bytes", val);
    return fast_unquote_view(PyBytes_AS_STRING(val), PyBytes_GET_SIZE(val));
}

// ---------------------------------------------------------------------------------------------------
// The built-in validators checked without the regular-expression engine. Each mirrors its pattern
// as `match` applies it to bytes: ASCII digits only, and `$` also accepts one final line feed.

inline Py_ssize_t strip_final_newline(const unsigned char* p, Py_ssize_t n) {
    return (n > 0 && p[n - 1] == '\n') ? n - 1 : n;
}

QM_HOT bool matches_int(const unsigned char* p, Py_ssize_t n) {
    n = strip_final_newline(p, n);
    if (n == 0) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!is_digit(p[i])) return false;
    }
    return true;
}

QM_HOT bool matches_float(const unsigned char* p, Py_ssize_t n) {
    n = strip_final_newline(p, n);
    Py_ssize_t i = 0;
    while (i < n && is_digit(p[i])) ++i;
    if (i == 0) return false;
    if (i == n) return true;
    if (p[i] != '.') return false;
    Py_ssize_t fraction = ++i;
    while (i < n && is_digit(p[i])) ++i;
    return i > fraction && i == n;
}

QM_HOT bool matches_uuid(const unsigned char* p, Py_ssize_t n) {
    n = strip_final_newline(p, n);
    if (n != 36) return false;
    for (Py_ssize_t i = 0; i < 36; ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (p[i] != '-') return false;
        } else if (qm::percent::hex_value(p[i]) < 0) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------
// Native lookup tables. Every match reads three kinds of dict: the router's `trees`, a tree's
// `static_routes` and each node's `children`. Looking a segment up in a dict needs a bytes key (a
// new object per segment, hashed each time); the tables below answer the same question from the
// bytes of the path as they stand, folding letter case on the fly where the lookup wants it.
//
// A table mirrors the dict it was built from. The module watches every dict it has a table for
// and bumps `g_index_generation` on any change to any of them (including its deallocation, so a new
// dict at the same address is never mistaken for the old one); a table of an older generation is
// rebuilt on its next use. Trees are built before they are matched against, so in practice each
// table is built once. A dict holding any key that is not exactly bytes is left to the dict
// lookup itself, which is what decides equality there.

uint64_t g_index_generation = 1;
int g_dict_watcher_id = -1;

int on_watched_dict_event(PyDict_WatchEvent /*event*/, PyObject* /*dict*/, PyObject* /*key*/,
                          PyObject* /*new_value*/) {
    ++g_index_generation;
    return 0;
}

enum class Fold : uint8_t { None, Lower, Upper };

// Eight bytes with the ASCII letters of one case turned into the other case's.
template <Fold F>
inline uint64_t fold_word(uint64_t w) {
    if constexpr (F == Fold::None) {
        return w;
    } else {
        constexpr unsigned char first = F == Fold::Lower ? 'A' : 'a';
        constexpr unsigned char last = F == Fold::Lower ? 'Z' : 'z';
        uint64_t heptets = w & kLow7;
        uint64_t at_least_first = heptets + (0x80 - first) * kOnes;  // high bit set where byte >= first
        uint64_t above_last = heptets + (0x7f - last) * kOnes;       // high bit set where byte > last
        uint64_t letters = (at_least_first ^ above_last) & ~w & kHigh;
        return w ^ (letters >> 2);  // 0x20 flips the case
    }
}

// The 1..7 bytes at p as the low bytes of a word, the rest zero.
inline uint64_t load_tail(const char* p, size_t n) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return lo | (static_cast<uint64_t>(hi) << (8 * (n - 4)));
    }
    return u[0] | (static_cast<uint64_t>(u[n / 2]) << (8 * (n / 2))) | (static_cast<uint64_t>(u[n - 1]) << (8 * (n - 1)));
}

constexpr uint64_t kHashMultiplier = 0x9E3779B97F4A7C15ULL;

template <Fold F>
uint64_t folded_hash(const char* p, size_t n) {
    uint64_t h = (n + 1) * kHashMultiplier;
    for (; n >= 8; p += 8, n -= 8) h = (((h << 5) | (h >> 59)) ^ fold_word<F>(load_word(p))) * kHashMultiplier;
    if (n) h = (((h << 5) | (h >> 59)) ^ fold_word<F>(load_tail(p, n))) * kHashMultiplier;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    return h ^ (h >> 32);
}

// Whether `key` (stored form) equals the n bytes at p folded.
template <Fold F>
bool equals_folded(const char* key, const char* p, size_t n) {
    for (; n >= 8; key += 8, p += 8, n -= 8) {
        if (load_word(key) != fold_word<F>(load_word(p))) return false;
    }
    return n == 0 || load_tail(key, n) == fold_word<F>(load_tail(p, n));
}

// Whether a stored key can ever equal a folded lookup: it has no letter of the folded-away case.
template <Fold F>
bool is_folded_form(const char* p, size_t n) {
    if constexpr (F == Fold::None) {
        return true;
    } else {
        for (; n >= 8; p += 8, n -= 8) {
            if (fold_word<F>(load_word(p)) != load_word(p)) return false;
        }
        return n == 0 || fold_word<F>(load_tail(p, n)) == load_tail(p, n);
    }
}

struct IndexEntry {
    uint64_t hash;
    const char* data;  // the key's bytes, owned by the dict; null for an empty slot
    size_t size;
    PyObject* value;   // borrowed from the dict
};

}  // namespace

struct RoutingIndex {
    PyObject* dict;       // identity of the dict mirrored; never dereferenced
    uint64_t generation;  // g_index_generation when built
    bool usable;          // false: the dict holds a key that is not exactly bytes
    size_t mask;          // slot count - 1
    uint64_t lengths[4];  // bit n set when a key of n bytes (n < 256) is present
    bool long_keys;       // a key of 256 bytes or more is present
    IndexEntry* slots;    // follows the header in the same allocation
};

namespace {

// Whether a key of `n` bytes may be present; most misses stop here without hashing.
inline bool may_hold_length(const RoutingIndex* index, size_t n) {
    return n < 256 ? (index->lengths[n >> 6] >> (n & 63)) & 1 : index->long_keys;
}

void free_index(RoutingIndex*& index) {
    PyMem_Free(index);
    index = nullptr;
}

template <Fold F>
RoutingIndex* build_index(PyObject* dict) {
    Py_ssize_t used = PyDict_GET_SIZE(dict);
    size_t capacity = 4;
    while (capacity < static_cast<size_t>(used) * 2) capacity *= 2;
    auto* index = static_cast<RoutingIndex*>(
        PyMem_Calloc(1, sizeof(RoutingIndex) + capacity * sizeof(IndexEntry)));
    if (!index) return nullptr;
    index->dict = dict;
    index->usable = true;
    index->mask = capacity - 1;
    index->slots = reinterpret_cast<IndexEntry*>(index + 1);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyBytes_CheckExact(key)) {
            index->usable = false;
            break;
        }
        const char* data = PyBytes_AS_STRING(key);
        size_t size = static_cast<size_t>(PyBytes_GET_SIZE(key));
        if (!is_folded_form<F>(data, size)) continue;
        if (size < 256) {
            index->lengths[size >> 6] |= uint64_t{1} << (size & 63);
        } else {
            index->long_keys = true;
        }
        uint64_t hash = folded_hash<Fold::None>(data, size);
        size_t i = hash & index->mask;
        while (index->slots[i].data) i = (i + 1) & index->mask;
        index->slots[i] = IndexEntry{hash, data, size, value};
    }
    if (PyDict_Watch(g_dict_watcher_id, dict) < 0) {
        PyErr_Clear();
        PyMem_Free(index);
        return nullptr;
    }
    index->generation = g_index_generation;
    return index;
}

// The up-to-date table over `dict` held in `slot`, built when missing or stale; null when the
// dict must be used directly.
template <Fold F>
QM_HOT RoutingIndex* current_index(RoutingIndex*& slot, PyObject* dict) {
    RoutingIndex* index = slot;
    if (index && index->dict == dict && index->generation == g_index_generation) return index->usable ? index : nullptr;
    if (index) free_index(slot);
    if (g_dict_watcher_id < 0 || !PyDict_CheckExact(dict)) return nullptr;
    slot = index = build_index<F>(dict);
    return index && index->usable ? index : nullptr;
}

// dict.get(fold(bytes)) through the table: the value (borrowed) or null when absent.
template <Fold F>
QM_HOT PyObject* index_lookup(const RoutingIndex* index, const char* p, size_t n) {
    if (!may_hold_length(index, n)) return nullptr;
    uint64_t hash = folded_hash<F>(p, n);
    for (size_t i = hash & index->mask;; i = (i + 1) & index->mask) {
        const IndexEntry& e = index->slots[i];
        if (!e.data) return nullptr;
        if (e.hash == hash && e.size == n && equals_folded<F>(e.data, p, n)) return e.value;
    }
}

// ---------------------------------------------------------------------------------------------------
// Typed attributes, for the getset tables: object.h's accessors over one field of a layout, and two
// for the kinds it has none for: a field holding a node (whose class exists only once the module
// is imported) and the is_leaf flag.

template <typename T, typename V>
T* owner_of(V T::*);  // for decltype: the layout a field pointer belongs to

template <auto Member>
inline auto& field_of(PyObject* op) {
    return reinterpret_cast<std::remove_pointer_t<decltype(owner_of(Member))>*>(op)->*Member;
}

template <auto Member>
int set_node_member(PyObject* op, PyObject* value, void*) {
    return qm::set_instance_field(&field_of<Member>(op), value, g_radix_node_type);
}

template <auto Member>
PyObject* get_flag_member(PyObject* op, void*) {
    return PyBool_FromLong(field_of<Member>(op));
}

// Any value, stored as its truth; deletion raises NotImplementedError "__del__".
template <auto Member>
int set_flag_member(PyObject* op, PyObject* value, void*) {
    if (!value) return qm::raise_no_delete();
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return qm::kFailed;
    field_of<Member>(op) = truth;
    return 0;
}

template <auto Member>
constexpr PyGetSetDef any_attribute(const char* name, const char* doc) {
    return {name, qm::get_member<Member>, qm::set_any_member<Member>, doc, nullptr};
}

template <auto Member, PyTypeObject* Type>
constexpr PyGetSetDef builtin_attribute(const char* name, const char* doc) {
    return {name, qm::get_member<Member>, qm::set_builtin_member<Member, Type>, doc, nullptr};
}

template <auto Member>
constexpr PyGetSetDef node_attribute(const char* name, const char* doc) {
    return {name, qm::get_member<Member>, set_node_member<Member>, doc, nullptr};
}

template <auto Member>
constexpr PyGetSetDef flag_attribute(const char* name, const char* doc) {
    return {name, get_flag_member<Member>, set_flag_member<Member>, doc, nullptr};
}

// Pickling: every class reduces to (copyreg.__newobj__, (cls,), state) where state is the tuple of
// its first `count` attributes in table order, followed by the instance dict of a Python subclass
// (or None). __setstate__ assigns them through their typed setters, so a tampered state cannot put
// a value of the wrong type into a field.
PyObject* reduce_fields(PyObject* self, const PyGetSetDef* fields, Py_ssize_t count) {
    Ref state(PyTuple_New(count + 1));
    if (!state) return qm::kFailed;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = fields[i].get(self, fields[i].closure);
        if (!value) return qm::kFailed;
        PyTuple_SET_ITEM(state.get(), i, value);
    }
    // A Python subclass's own attributes travel with the fields.
    PyObject* dict;
    if (qm::get_pickle_dict(self, g_names[N_DICT], &dict) < 0) return qm::kFailed;
    PyTuple_SET_ITEM(state.get(), count, dict ? dict : Py_NewRef(Py_None));
    return Py_BuildValue("O(O)O", g_copyreg_newobj, reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get());
}

PyObject* restore_fields(PyObject* self, PyObject* state, const PyGetSetDef* fields, Py_ssize_t count) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != count + 1) {
        return qm::raise_format(PyExc_TypeError, "__setstate__ expects a tuple of %zd items", count + 1);
    }
    Ref hold = Ref::borrow(state);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (fields[i].set(self, PyTuple_GET_ITEM(state, i), fields[i].closure) < 0) return qm::kFailed;
    }
    PyObject* extra = PyTuple_GET_ITEM(state, count);
    if (extra != Py_None) {
        Ref dict(PyObject_GetAttr(self, g_names[N_DICT]));
        if (!dict || PyDict_Update(dict.get(), extra) < 0) return qm::kFailed;
    }
    return Py_NewRef(Py_None);
}

template <PyGetSetDef* Fields, Py_ssize_t Count>
PyObject* pickle_reduce(PyObject* self, PyObject*) {
    return reduce_fields(self, Fields, Count);
}

template <PyGetSetDef* Fields, Py_ssize_t Count>
PyObject* pickle_setstate(PyObject* self, PyObject* state) {
    return restore_fields(self, state, Fields, Count);
}

// The method table entries __reduce__ and __setstate__ over the first `count` attributes of `getset`.
#define QM_PICKLE_METHOD_DEFS(getset, count)                                                                \
    {"__reduce__", pickle_reduce<getset, count>, METH_NOARGS,                                              \
     PyDoc_STR("__reduce__($self, /)\n--\n\nPickle support.")},                                            \
    {"__setstate__", pickle_setstate<getset, count>, METH_O,                                               \
     PyDoc_STR("__setstate__($self, state, /)\n--\n\nRestore the fields from a pickled state.")}

// ---------------------------------------------------------------------------------------------------
// Lifecycle helpers of the four classes.

// Owned-field helpers for native code that builds nodes.
inline void set_slot(PyObject** slot, PyObject* owned) { qm::replace_field(slot, owned); }
inline void set_slot_borrowed(PyObject** slot, PyObject* borrowed) { qm::replace_field_borrowed(slot, borrowed); }

// The 2-tuple (first, second).
QM_HOT PyObject* make_pair(PyObject* first, PyObject* second) {
    PyObject* pair = PyTuple_New(2);
    if (!pair) return qm::kFailed;
    PyTuple_SET_ITEM(pair, 0, Py_NewRef(first));
    PyTuple_SET_ITEM(pair, 1, Py_NewRef(second));
    return pair;
}

// A new instance of `type` (the native class or a subclass) with its operation table set and its
// fields null, for the caller to fill.
template <typename T, typename Ops>
T* alloc_instance(PyTypeObject* type, const Ops* ops) {
    auto* self = reinterpret_cast<T*>(type->tp_alloc(type, 0));
    if (self) self->ops = ops;
    return self;
}

// The constructor of a class that takes no arguments: the new instance (a new reference) with its
// operation table set and its fields null, or null with TypeError set for any argument.
template <typename T, typename Ops>
PyObject* new_without_args(const char* func, PyTypeObject* type, PyObject* args, PyObject* kwargs, const Ops* ops) {
    const qm::Signature sig{func, nullptr, 0, 0};
    if (!qm::parse_tuple_args(sig, args, kwargs, nullptr)) return qm::kFailed;
    return reinterpret_cast<PyObject*>(alloc_instance<T>(type, ops));
}

// The collector slots of a class whose instances keep a lookup table (`Index`) beside their object
// fields: those of ObjectFields, and the table freed with the fields. The trashcan keeps the release
// of a long chain of nodes (a pattern with many segments) from recursing once per node.
template <typename T, RoutingIndex* T::*Index, PyObject* T::*... Fields>
struct IndexedFields {
    using Objects = qm::ObjectFields<T, Fields...>;

    static int traverse(PyObject* op, visitproc visit, void* arg) { return Objects::traverse(op, visit, arg); }

    static int clear(PyObject* op) {
        free_index(reinterpret_cast<T*>(op)->*Index);
        Objects::release(op);
        return 0;
    }

    static void dealloc(PyObject* op) {
        PyTypeObject* type = Py_TYPE(op);
        PyObject_GC_UnTrack(op);
        Py_TRASHCAN_BEGIN(op, dealloc)
        (void)clear(op);
        type->tp_free(op);
        Py_DECREF(type);
        Py_TRASHCAN_END
    }
};

// The slots every class of the module has: its docstring, constructor, collector slots (from its
// field list), attributes and methods.
#define QM_CLASS_SLOTS(doc, new_fn, fields, getset, methods)                                                   \
    {Py_tp_doc, const_cast<char*>(doc)}, {Py_tp_new, reinterpret_cast<void*>(new_fn)}, QM_FIELD_GC_SLOTS(fields), \
        {Py_tp_getset, getset}, {Py_tp_methods, methods}

// The spec of a native class: subclassable from Python, collected, and immutable (its attributes
// cannot be set or deleted; a Python subclass's can).
constexpr PyType_Spec native_class_spec(const char* name, size_t size, PyType_Slot* slots) {
    return {name, static_cast<int>(size), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, slots};
}

inline RadixNode* as_node(PyObject* obj) { return reinterpret_cast<RadixNode*>(obj); }
inline bool is_node(PyObject* obj) { return PyObject_TypeCheck(obj, g_radix_node_type); }

// ---------------------------------------------------------------------------------------------------
// RadixNode

const RadixNodeOps kRadixNodeOps{};

PyObject* node_alloc(PyTypeObject* type, PyObject* segment) {
    RadixNode* node = alloc_instance<RadixNode>(type, &kRadixNodeOps);
    if (!node) return qm::kFailed;
    Ref owner(reinterpret_cast<PyObject*>(node));
    for (PyObject** field : {&node->segment, &node->route, &node->param_child, &node->param_name, &node->param_names,
                             &node->param_validator, &node->wildcard_child, &node->wildcard_name,
                             &node->wildcard_suffix}) {
        *field = Py_NewRef(Py_None);
    }
    if (!(node->children = PyDict_New())) return qm::kFailed;
    set_slot_borrowed(&node->segment, segment);
    return owner.release();
}

inline PyObject* new_node(PyObject* segment) { return node_alloc(g_radix_node_type, segment); }

PyObject* radix_node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"segment"};
    static const qm::Signature sig{"RadixNode", names, 1, 0};
    PyObject* segment = g_empty_bytes;
    if (!qm::parse_tuple_args(sig, args, kwargs, &segment)) return qm::kFailed;
    if (!qm::check_exact_arg(segment, &PyBytes_Type, "segment")) return qm::kFailed;
    return node_alloc(type, segment);
}

using RadixNodeFields =
    IndexedFields<RadixNode, &RadixNode::child_index, &RadixNode::segment, &RadixNode::route, &RadixNode::children,
                  &RadixNode::param_child, &RadixNode::param_name, &RadixNode::param_names,
                  &RadixNode::param_validator, &RadixNode::wildcard_child, &RadixNode::wildcard_name,
                  &RadixNode::wildcard_suffix>;

PyGetSetDef radix_node_getset[] = {
    builtin_attribute<&RadixNode::segment, &PyBytes_Type>(
        "segment", "The path segment the node was created for (bytes or None)."),
    any_attribute<&RadixNode::route>("route", "The route registered at this node, or None."),
    builtin_attribute<&RadixNode::children, &PyDict_Type>(
        "children", "Static children: lowercased segment (bytes) to RadixNode."),
    node_attribute<&RadixNode::param_child>("param_child", "The single parameter child, or None."),
    builtin_attribute<&RadixNode::param_name, &PyUnicode_Type>(
        "param_name", "On a parameter child: the name parsed from its segment."),
    builtin_attribute<&RadixNode::param_names, &PyList_Type>(
        "param_names", "On a route node: the names given to the captured values."),
    any_attribute<&RadixNode::param_validator>("param_validator",
                                               "On a parameter child: the pattern a segment must match."),
    node_attribute<&RadixNode::wildcard_child>("wildcard_child", "The single wildcard child, or None."),
    builtin_attribute<&RadixNode::wildcard_name, &PyUnicode_Type>(
        "wildcard_name", "Name under which the wildcard's captured tail is returned."),
    builtin_attribute<&RadixNode::wildcard_suffix, &PyBytes_Type>(
        "wildcard_suffix", "Lowercased ending the wildcard's tail must have, or None."),
    flag_attribute<&RadixNode::is_leaf>("is_leaf", "True once a route has been registered at this node."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef radix_node_methods[] = {
    QM_PICKLE_METHOD_DEFS(radix_node_getset, 11),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot radix_node_slots[] = {
    QM_CLASS_SLOTS("RadixNode(segment=b'')\n--\n\nOne node of a route pattern tree.", radix_node_new, RadixNodeFields,
                   radix_node_getset, radix_node_methods),
    {0, nullptr},
};

PyType_Spec radix_node_spec = native_class_spec("quillmoth.routing.RadixNode", sizeof(RadixNode), radix_node_slots);

// ---------------------------------------------------------------------------------------------------
// Path segments. Patterns and paths are split at "/" into segments, views over their bytes; empty
// segments (a leading slash, "//" in a pattern) carry no meaning and are skipped.

struct SegmentView {
    const char* data;
    Py_ssize_t size;
};

// Whether the path holds "//"; counts its slashes into *count otherwise.
QM_HOT bool scan_slashes(const char* p, Py_ssize_t n, Py_ssize_t* count) {
    Py_ssize_t total = 0;
    uint64_t previous = 0;  // 0x80 when the byte before the current word is a slash
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t m = bytes_equal_to(load_word(p + i), '/');
        if ((m & (m << 8)) || (m & previous)) return true;
        total += static_cast<Py_ssize_t>(((m >> 7) * kOnes) >> 56);  // one per flagged byte
        previous = m >> 56;
    }
    bool after_slash = previous != 0;
    for (; i < n; ++i) {
        bool slash = p[i] == '/';
        if (slash && after_slash) return true;
        total += slash;
        after_slash = slash;
    }
    *count = total;
    return false;
}

// Index of the first "/" in p[from .. end - 1], or end.
QM_HOT Py_ssize_t find_slash(const char* p, Py_ssize_t from, Py_ssize_t end) {
    Py_ssize_t i = from;
    for (; i + 8 <= end; i += 8) {
        uint64_t m = bytes_equal_to(load_word(p + i), '/');
        if (m) return i + (__builtin_ctzll(m) >> 3);
    }
    while (i < end && p[i] != '/') ++i;
    return i;
}

// The non-empty segments of p[0 .. n - 1] in order, for insert and both matching paths:
//
//     SegmentView seg;
//     for (SegmentCursor cursor(p, n); cursor.next(&seg);) ...
class SegmentCursor {
public:
    SegmentCursor(const char* p, Py_ssize_t n) : p_(p), n_(n) {}

    bool next(SegmentView* seg) {
        while (i_ < n_ && p_[i_] == '/') ++i_;
        if (i_ == n_) return false;
        Py_ssize_t end = find_slash(p_, i_, n_);
        *seg = SegmentView{p_ + i_, end - i_};
        i_ = end;
        return true;
    }

private:
    const char* p_;
    Py_ssize_t n_;
    Py_ssize_t i_ = 0;
};

// ---------------------------------------------------------------------------------------------------
// Matching. The search walks the tree depth first over the path's segment views, with an explicit
// stack (so a very deep tree cannot exhaust the C stack), and records captured parameters as
// segment indexes. At each node it tries three stages in turn: the static child, found through the
// node's lookup table from the segment bytes themselves; the parameter child, when its validator
// accepts the segment; the wildcard, which takes the rest of the path. A stage that finds nothing
// hands over to the next; a node with none left is popped, and its parent goes on. Python objects
// are made only where they are needed: a lowercased key when a node's `children` cannot have a
// table, the raw segment for a user-supplied validator, and the values once a route is found.

// What a stage returns: -1 (qm::kFailed) with an exception set, or one of these.
constexpr int kMissed = 0;     // nothing here: the next stage, or back to the parent
constexpr int kFound = 1;      // the result is made
constexpr int kDescended = 2;  // a child's frame was pushed

// The stage a frame tries next.
enum class Stage : uint8_t { Static, Param, Wildcard };

struct Frame {
    RadixNode* node;  // strong reference while on the stack
    Py_ssize_t index;
    Py_ssize_t captures_at_entry;
    Stage stage;
};

// Per-segment scratch laid out in one allocation.
struct SegmentSlot {
    SegmentView view;
    PyObject* raw;    // bytes of the segment (owned), made on demand
    PyObject* lower;  // lowercased bytes (owned), made on demand
};

inline bool has_wildcard_route(RadixNode* node) {
    return node->wildcard_child != Py_None && as_node(node->wildcard_child)->route != Py_None;
}

inline bool has_base_params(PyObject* base) { return base && PyDict_GET_SIZE(base) > 0; }

// Whether a route's param_names (a list or None) name exactly `count` values.
inline bool names_fit(PyObject* names, Py_ssize_t count) {
    return names != Py_None && PyList_GET_SIZE(names) == count;
}

class Matcher {
public:
    Matcher() = default;
    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;
    ~Matcher() {
        for (Py_ssize_t i = 0; i < depth_; ++i) Py_DECREF(frames_[i].node);
        if (slots_ && holds_objects_) {
            for (Py_ssize_t i = 0; i < count_; ++i) {
                Py_XDECREF(slots_[i].raw);
                Py_XDECREF(slots_[i].lower);
            }
        }
        Py_XDECREF(result_);
        if (block_ && block_ != small_block_) PyMem_Free(block_);
    }

    // Reserves room for `count` segments. False with MemoryError set on failure.
    [[nodiscard]] bool reserve(Py_ssize_t count) {
        size_t need = static_cast<size_t>(count) * sizeof(SegmentSlot) +
                      static_cast<size_t>(count + 1) * (sizeof(Frame) + sizeof(Py_ssize_t));
        if (need <= sizeof(small_block_)) {
            block_ = small_block_;
        } else {
            block_ = PyMem_Malloc(need);
            if (!block_) return qm::raise_no_memory();
        }
        auto* base = static_cast<char*>(block_);
        slots_ = reinterpret_cast<SegmentSlot*>(base);
        frames_ = reinterpret_cast<Frame*>(base + static_cast<size_t>(count) * sizeof(SegmentSlot));
        captures_ = reinterpret_cast<Py_ssize_t*>(reinterpret_cast<char*>(frames_) +
                                                  static_cast<size_t>(count + 1) * sizeof(Frame));
        return true;
    }

    // Adds a segment view; `owner` (borrowed, may be null) is a bytes object of exactly that segment.
    void add(const char* data, Py_ssize_t size, PyObject* owner) {
        slots_[count_++] = SegmentSlot{{data, size}, Py_XNewRef(owner), nullptr};
        holds_objects_ |= owner != nullptr;
    }

    // Segments that follow one another in one buffer, one "/" apart, let the wildcard tail be a slice.
    void set_contiguous(bool contiguous) { contiguous_ = contiguous; }
    void set_base_params(PyObject* params) { base_ = params; }

    // Searches from `start` at segment `index`: (route, values), None when no route matches, or
    // null with an exception set.
    PyObject* search(RadixNode* start, Py_ssize_t index);

private:
    int advance();
    int finish_at_end(RadixNode* node);
    int try_static_child(const Frame& f);
    int try_param_child(const Frame& f);
    int try_wildcard(const Frame& f);

    PyObject* lower_key(Py_ssize_t i);
    PyObject* raw_segment(Py_ssize_t i);
    int validate(PyObject* validator, Py_ssize_t i);
    bool join_tail(Py_ssize_t index, Ref* joined, SegmentView* tail);
    int leaf_result(RadixNode* node);
    int wildcard_result(RadixNode* parent, PyObject* tail);
    PyObject* collect_values(RadixNode* owner, PyObject* extra, bool* named);
    PyObject* build_params();
    PyObject* rename(PyObject* names, PyObject* params, PyObject* extra);
    PyObject* named_params(PyObject* names, PyObject* extra);

    int set_result(PyObject* route, PyObject* values) {
        result_ = make_pair(route, values);
        return result_ ? kFound : qm::kFailed;
    }

    void push(RadixNode* node, Py_ssize_t index, Py_ssize_t captures_at_entry) {
        frames_[depth_++] =
            Frame{reinterpret_cast<RadixNode*>(Py_NewRef(node)), index, captures_at_entry, Stage::Static};
    }
    void pop() {
        Frame& f = frames_[--depth_];
        captures_count_ = f.captures_at_entry;
        Py_DECREF(f.node);
    }

    alignas(16) char small_block_[32 * (sizeof(SegmentSlot) + sizeof(Frame) + sizeof(Py_ssize_t)) + 64];
    void* block_ = nullptr;
    SegmentSlot* slots_ = nullptr;
    Frame* frames_ = nullptr;
    Py_ssize_t* captures_ = nullptr;
    Py_ssize_t count_ = 0;
    Py_ssize_t depth_ = 0;
    Py_ssize_t captures_count_ = 0;
    bool contiguous_ = false;
    bool holds_objects_ = false;  // some slot owns a bytes object
    PyObject* base_ = nullptr;    // borrowed: params given to _match_recursive
    PyObject* result_ = nullptr;  // owned until search hands it on
};

QM_HOT PyObject* Matcher::search(RadixNode* start, Py_ssize_t index) {
    push(start, index, captures_count_);
    while (depth_ > 0) {
        int step = advance();
        if (step == kFound) return std::exchange(result_, nullptr);
        if (step < 0) return qm::kFailed;
        if (step == kMissed) pop();
    }
    return Py_NewRef(Py_None);
}

// The stages the top frame has left, until one finds a route, descends or fails. The frame stays
// in place while they run: pushes land above it, and only the matcher touches the stack.
QM_HOT int Matcher::advance() {
    Frame& f = frames_[depth_ - 1];
    if (f.stage == Stage::Static) {
        if (f.index == count_) return finish_at_end(f.node);
        f.stage = Stage::Param;
        int step = try_static_child(f);
        if (step != kMissed) return step;
    }
    if (f.stage == Stage::Param) {
        f.stage = Stage::Wildcard;
        int step = try_param_child(f);
        if (step != kMissed) return step;
    }
    return try_wildcard(f);
}

// The path is used up at `node`: its own route, or the route of a wildcard below it without a
// suffix, which takes the empty tail and names the values exactly as for a non-empty one.
QM_HOT int Matcher::finish_at_end(RadixNode* node) {
    if (node->is_leaf && node->route != Py_None) return leaf_result(node);
    if (has_wildcard_route(node) && node->wildcard_suffix == Py_None) return wildcard_result(node, g_names[N_EMPTY]);
    return kMissed;
}

// The child under the lowercased segment.
QM_HOT int Matcher::try_static_child(const Frame& f) {
    PyObject* children = f.node->children;
    if (children == Py_None) {
        PyObject* key = lower_key(f.index);
        if (!key) return qm::kFailed;
        return raise_not_container(children, key);
    }
    if (PyDict_GET_SIZE(children) == 0) return kMissed;
    PyObject* child;  // borrowed
    Ref hold_children;
    if (RoutingIndex* index = current_index<Fold::Lower>(f.node->child_index, children)) {
        const SegmentView& seg = slots_[f.index].view;
        child = index_lookup<Fold::Lower>(index, seg.data, static_cast<size_t>(seg.size));
    } else {
        PyObject* key = lower_key(f.index);
        if (!key) return qm::kFailed;
        // A key's comparison may run Python code that replaces `children`: the dict is held through
        // the lookup and until the child found in it is pushed.
        hold_children = Ref::borrow(children);
        child = PyDict_GetItemWithError(children, key);
        if (!child && PyErr_Occurred()) return qm::kFailed;
    }
    if (!child) return kMissed;
    if (!is_node(child)) return qm::raise_cannot_convert(child, g_radix_node_type);
    push(as_node(child), f.index + 1, captures_count_);
    return kDescended;
}

// The parameter child, which captures the segment when its validator (if any) accepts it.
QM_HOT int Matcher::try_param_child(const Frame& f) {
    PyObject* child = f.node->param_child;
    if (child == Py_None) return kMissed;
    Ref hold = Ref::borrow(child);
    PyObject* validator = as_node(child)->param_validator;
    if (validator != Py_None) {
        // May run Python code, which may change the tree but not the matcher's stack.
        Ref hold_validator = Ref::borrow(validator);
        int accepted = validate(validator, f.index);
        if (accepted <= 0) return accepted;  // kFailed or kMissed
    }
    captures_[captures_count_++] = f.index;
    push(as_node(child), f.index + 1, captures_count_ - 1);
    return kDescended;
}

// The wildcard child, which takes the rest of the path when it ends in the wildcard's suffix (in
// any case); the suffix is not part of the captured tail.
QM_HOT int Matcher::try_wildcard(const Frame& f) {
    RadixNode* node = f.node;
    if (!has_wildcard_route(node)) return kMissed;
    Ref joined;
    SegmentView tail;
    if (!join_tail(f.index, &joined, &tail)) return qm::kFailed;
    PyObject* suffix = node->wildcard_suffix;
    if (suffix != Py_None) {
        Py_ssize_t n = PyBytes_GET_SIZE(suffix);
        if (n > tail.size || !qm::equals_lowered(tail.data + tail.size - n, static_cast<size_t>(n),
                                                 PyBytes_AS_STRING(suffix), static_cast<size_t>(n))) {
            return kMissed;
        }
        tail.size -= n;
    }
    Ref text(fast_unquote_view(tail.data, tail.size));
    if (!text) return qm::kFailed;
    return wildcard_result(node, text.get());
}

PyObject* Matcher::lower_key(Py_ssize_t i) {
    SegmentSlot& s = slots_[i];
    if (!s.lower) {
        s.lower = PyBytes_FromStringAndSize(nullptr, s.view.size);
        holds_objects_ = true;
        if (!s.lower) return qm::kFailed;
        qm::ascii_lower_copy(PyBytes_AS_STRING(s.lower), s.view.data, static_cast<size_t>(s.view.size));
    }
    return s.lower;
}

PyObject* Matcher::raw_segment(Py_ssize_t i) {
    SegmentSlot& s = slots_[i];
    if (!s.raw) {
        s.raw = PyBytes_FromStringAndSize(s.view.data, s.view.size);
        holds_objects_ = true;
    }
    return s.raw;
}

// Whether `validator` accepts segment i: 1, 0, or -1 with an exception set.
QM_HOT int Matcher::validate(PyObject* validator, Py_ssize_t i) {
    const auto* p = reinterpret_cast<const unsigned char*>(slots_[i].view.data);
    Py_ssize_t n = slots_[i].view.size;
    if (validator == g_int_rx) return matches_int(p, n);
    if (validator == g_float_rx) return matches_float(p, n);
    if (validator == g_uuid_rx) return matches_uuid(p, n);
    PyObject* raw = raw_segment(i);
    if (!raw) return qm::kFailed;
    Ref result(PyObject_CallMethodOneArg(validator, g_names[N_MATCH], raw));
    if (!result) return qm::kFailed;
    return PyObject_IsTrue(result.get());
}

// segments[index:] joined with "/" into *tail: a view of the path itself when the segments lie in
// one buffer, else of *joined, made for it.
QM_HOT bool Matcher::join_tail(Py_ssize_t index, Ref* joined, SegmentView* tail) {
    const SegmentView& first = slots_[index].view;
    const SegmentView& last = slots_[count_ - 1].view;
    if (contiguous_) {
        *tail = SegmentView{first.data, (last.data + last.size) - first.data};
        return true;
    }
    Py_ssize_t size = count_ - index - 1;
    for (Py_ssize_t i = index; i < count_; ++i) size += slots_[i].view.size;
    joined->reset(PyBytes_FromStringAndSize(nullptr, size));
    if (!*joined) return qm::kFailed;
    char* w = PyBytes_AS_STRING(joined->get());
    for (Py_ssize_t i = index; i < count_; ++i) {
        if (i > index) *w++ = '/';
        std::memcpy(w, slots_[i].view.data, static_cast<size_t>(slots_[i].view.size));
        w += slots_[i].view.size;
    }
    *tail = SegmentView{PyBytes_AS_STRING(joined->get()), size};
    return true;
}

// The route of `node` with its values, None when it captured nothing and was given no params.
QM_HOT int Matcher::leaf_result(RadixNode* node) {
    bool named;
    Ref values(collect_values(node, nullptr, &named));
    if (!values) return qm::kFailed;
    return set_result(node->route, values.get());
}

// The route of the wildcard below `parent`, capturing `tail` (str): the values named by the
// wildcard route's param_names when their count fits, else the tail under the wildcard's name.
QM_HOT int Matcher::wildcard_result(RadixNode* parent, PyObject* tail) {
    // Held: building the values may run Python code that replaces the parent's wildcard child.
    Ref child = Ref::borrow(parent->wildcard_child);
    RadixNode* wildcard = as_node(child.get());
    bool named;
    Ref values(collect_values(wildcard, tail, &named));
    if (!values) return qm::kFailed;
    if (!named) {
        Ref name = Ref::borrow(parent->wildcard_name);
        int truth = PyObject_IsTrue(name.get());
        if (truth < 0) return qm::kFailed;
        if (PyDict_SetItem(values.get(), truth ? name.get() : g_names[N_TAIL], tail) < 0) return qm::kFailed;
    }
    return set_result(wildcard->route, values.get());
}

// The values of the route found at `owner` (a leaf, or a wildcard child): the caller's params, the
// captures, then `extra` (a wildcard's tail) when given; renamed by the owner's param_names when
// there are exactly as many names as values (*named tells whether they were). A new reference:
// None for a leaf that captured nothing and was given no params; null on error.
QM_HOT PyObject* Matcher::collect_values(RadixNode* owner, PyObject* extra, bool* named) {
    Py_ssize_t extra_count = extra ? 1 : 0;
    Py_ssize_t count = captures_count_ + extra_count;
    *named = true;
    if (count > 0 && !has_base_params(base_) && names_fit(owner->param_names, count)) {
        return named_params(owner->param_names, extra);  // straight from the captures
    }
    Ref values;
    if (count > 0) {
        values.reset(build_params());
        if (!values) return qm::kFailed;
    } else if (has_base_params(base_)) {
        values = Ref::borrow(base_);  // the caller's dict itself, as given
    } else {
        *named = false;
        return Py_NewRef(Py_None);
    }
    // Building the values may have run Python code (a caller's key comparing itself with a
    // positional one) that replaced the names and freed the list read above: read them again.
    PyObject* names = owner->param_names;
    if (!names_fit(names, PyDict_GET_SIZE(values.get()) + extra_count)) {
        *named = false;
        return values.release();
    }
    return rename(names, values.get(), extra);
}


// The values captured so far as a new dict: the caller's params, then the positional captures.
QM_HOT PyObject* Matcher::build_params() {
    Ref params(has_base_params(base_) ? PyDict_Copy(base_) : PyDict_New());
    if (!params) return qm::kFailed;
    for (Py_ssize_t c = 0; c < captures_count_; ++c) {
        Py_ssize_t i = captures_[c];
        Ref key(positional_key(i));
        if (!key) return qm::kFailed;
        Ref value(fast_unquote_view(slots_[i].view.data, slots_[i].view.size));
        if (!value || PyDict_SetItem(params.get(), key.get(), value.get()) < 0) return qm::kFailed;
    }
    return params.release();
}

// dict(zip(names, list(params.values()) + [extra])) with `extra` optional.
PyObject* Matcher::rename(PyObject* names, PyObject* params, PyObject* extra) {
    Ref names_ref = Ref::borrow(names);
    Ref values(PyDict_Values(params));
    if (!values) return qm::kFailed;
    if (extra && PyList_Append(values.get(), extra) < 0) return qm::kFailed;
    Ref result(PyDict_New());
    if (!result) return qm::kFailed;
    // Hashing a name may run Python code that changes the list; stop at the shorter of the two.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names) && i < PyList_GET_SIZE(values.get()); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(names, i));
        if (PyDict_SetItem(result.get(), key.get(), PyList_GET_ITEM(values.get(), i)) < 0) return qm::kFailed;
    }
    return result.release();
}

// dict(zip(names, values)) made straight from the captures, `extra` (optional) last: the dict
// rename() makes from the positional one, for a search that started without caller params.
QM_HOT PyObject* Matcher::named_params(PyObject* names, PyObject* extra) {
    Ref names_ref = Ref::borrow(names);
    Py_ssize_t total = captures_count_ + (extra ? 1 : 0);
    Ref result(PyDict_New());
    if (!result) return qm::kFailed;
    // Hashing a name may run Python code that changes the list; stop at the shorter of the two.
    for (Py_ssize_t c = 0; c < total && c < PyList_GET_SIZE(names); ++c) {
        Ref value;
        if (c < captures_count_) {
            const SegmentView& seg = slots_[captures_[c]].view;
            value.reset(fast_unquote_view(seg.data, seg.size));
            if (!value) return qm::kFailed;
        } else {
            value = Ref::borrow(extra);
        }
        Ref key = Ref::borrow(PyList_GET_ITEM(names, c));
        if (PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return qm::kFailed;
    }
    return result.release();
}

// ---------------------------------------------------------------------------------------------------
// RadixTree

inline RadixTree* as_tree(PyObject* obj) { return reinterpret_cast<RadixTree*>(obj); }

// The tree's root as a node; the AttributeError Python would give when it was replaced by None.
RadixNode* tree_root(RadixTree* self, const char* attribute) {
    if (self->root == Py_None) return qm::raise_no_attribute(self->root, attribute);
    return as_node(self->root);
}

// static_routes.get(key): 1 with *route set, 0 if absent, -1 on error. A None entry (a pattern
// registered with route None) counts as absent, as a None route does in the tree. The dict is held
// through the lookup, as a key's comparison may run Python code that replaces it.
int lookup_static(RadixTree* self, PyObject* key, Ref* route) {
    Ref table = Ref::borrow(self->static_routes);
    if (table.get() == Py_None) return raise_not_container(table.get(), key);
    PyObject* found;
    if (PyDict_GetItemRef(table.get(), key, &found) < 0) return qm::kFailed;
    route->reset(found);
    return found && found != Py_None;
}

// The same through the table, for the path bytes p[0 .. n - 1].
QM_HOT int lookup_static_view(const RoutingIndex* index, const char* p, Py_ssize_t n, Ref* route) {
    PyObject* found = index_lookup<Fold::None>(index, p, static_cast<size_t>(n));
    if (!found || found == Py_None) return 0;
    route->reset_borrowed(found);
    return 1;
}

PyObject* radix_tree_parse_param_segment(RadixTree* /*self*/, PyObject* seg, int /*skip_dispatch*/) {
    if (!PyBytes_Check(seg)) return qm::raise_arg_type("seg", "bytes", seg);
    const char* p = PyBytes_AS_STRING(seg);
    Py_ssize_t n = PyBytes_GET_SIZE(seg);
    const char* inner = p;
    Py_ssize_t inner_size = n;
    if (n >= 1 && ((p[0] == '{' && p[n - 1] == '}') || (p[0] == '<' && p[n - 1] == '>'))) {
        inner = p + 1;
        inner_size = n >= 2 ? n - 2 : 0;
    } else if (n >= 1 && p[0] == ':') {
        inner = p + 1;
        inner_size = n - 1;
    }
    Ref text(PyUnicode_DecodeUTF8(inner, inner_size, nullptr));
    if (!text) return qm::kFailed;
    Ref name, type;
    Py_ssize_t colon = PyUnicode_FindChar(text.get(), ':', 0, PyUnicode_GET_LENGTH(text.get()), 1);
    if (colon == -2) return qm::kFailed;
    if (colon >= 0) {
        Ref first(PyUnicode_Substring(text.get(), 0, colon));
        Ref second(PyUnicode_Substring(text.get(), colon + 1, PyUnicode_GET_LENGTH(text.get())));
        if (!first || !second) return qm::kFailed;
        bool type_first = false;
        for (const char* known : {"int", "float", "uuid", "str", "string", "path"}) {
            if (PyUnicode_EqualToUTF8(first.get(), known)) {
                type_first = true;
                break;
            }
        }
        if (type_first) {
            type = std::move(first);
            name = std::move(second);
        } else {
            name = std::move(first);
            type = std::move(second);
        }
    } else {
        name = std::move(text);
    }
    PyObject* validator = Py_None;
    if (type) {
        if (PyUnicode_EqualToUTF8(type.get(), "int")) {
            validator = g_int_rx;
        } else if (PyUnicode_EqualToUTF8(type.get(), "float")) {
            validator = g_float_rx;
        } else if (PyUnicode_EqualToUTF8(type.get(), "uuid")) {
            validator = g_uuid_rx;
        } else if (PyUnicode_EqualToUTF8(type.get(), "path")) {
            validator = g_names[N_PATH];
        }
    }
    return make_pair(name.get(), validator);
}

// Makes `parent`'s wildcard child if it has none; returns it (new reference).
PyObject* ensure_wildcard_child(RadixNode* parent) {
    if (parent->wildcard_child == Py_None) {
        PyObject* child = new_node(g_star_bytes);
        if (!child) return qm::kFailed;
        set_slot(&parent->wildcard_child, child);
    }
    return Py_NewRef(parent->wildcard_child);
}

// A str value for a str-typed field, or the field's TypeError.
bool check_str_value(PyObject* value) {
    if (value == Py_None || PyUnicode_CheckExact(value)) return true;
    return qm::raise_expected("str", value);
}

// A new list of the names in `source`: str kept, anything else replaced by its decode("utf8").
PyObject* convert_names(PyObject* source) {
    Ref iter(PyObject_GetIter(source));
    if (!iter) return qm::kFailed;
    Ref result(PyList_New(0));
    if (!result) return qm::kFailed;
    while (true) {
        Ref item(PyIter_Next(iter.get()));
        if (!item) break;
        if (!PyUnicode_Check(item.get())) {
            item.reset(PyObject_CallMethodOneArg(item.get(), g_names[N_DECODE], g_names[N_UTF8]));
            if (!item) return qm::kFailed;
        }
        if (PyList_Append(result.get(), item.get()) < 0) return qm::kFailed;
    }
    if (PyErr_Occurred()) return qm::kFailed;
    return result.release();
}

// insert's checks of what the Python-level signature does not check for native callers.
bool check_insert_args(PyObject* pattern, PyObject* param_names) {
    if (pattern == Py_None) return qm::raise_error(PyExc_TypeError, "object of type 'NoneType' has no len()");
    if (!PyBytes_Check(pattern)) return qm::raise_arg_type("pattern", "bytes", pattern);
    if (param_names != Py_None && !PyList_CheckExact(param_names)) {
        return qm::raise_arg_type("param_names", "list", param_names);
    }
    return true;
}

// The pattern as the tree keeps it (a new reference): the empty pattern is "/", trailing slashes go.
PyObject* normalise_pattern(PyObject* pattern) {
    const char* p = PyBytes_AS_STRING(pattern);
    Py_ssize_t n = PyBytes_GET_SIZE(pattern);
    if (n == 0) return Py_NewRef(g_slash_bytes);
    if (n == 1 || p[n - 1] != '/') return Py_NewRef(pattern);
    Py_ssize_t end = n;
    while (end > 0 && p[end - 1] == '/') --end;
    return PyBytes_FromStringAndSize(p, end);
}

inline bool is_static_pattern(const char* p, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        char c = p[i];
        if (c == '{' || c == ':' || c == '<' || c == '*') return false;
    }
    return true;
}

// A pattern without parameter or wildcard syntax also goes to the exact-path table, with and
// without the trailing slash ("/" pairs with the empty path).
bool store_static_route(RadixTree* self, PyObject* norm, PyObject* route) {
    const char* p = PyBytes_AS_STRING(norm);
    Py_ssize_t n = PyBytes_GET_SIZE(norm);
    if (!is_static_pattern(p, n)) return true;
    // Each store holds the table it was given: a key's comparison may run Python code that
    // replaces `static_routes`.
    Ref table = Ref::borrow(self->static_routes);
    if (PyObject_SetItem(table.get(), norm, route) < 0) return qm::kFailed;
    Ref alternate;
    if (n == 1 && p[0] == '/') {
        alternate = Ref::borrow(g_empty_bytes);
    } else {
        alternate.reset(PyBytes_FromStringAndSize(nullptr, n + 1));
        if (!alternate) return qm::kFailed;
        std::memcpy(PyBytes_AS_STRING(alternate.get()), p, static_cast<size_t>(n));
        PyBytes_AS_STRING(alternate.get())[n] = '/';
    }
    table.reset_borrowed(self->static_routes);
    return PyObject_SetItem(table.get(), alternate.get(), route) == 0;
}

// "*" or "*<suffix>": the rest of the path, ending in the suffix (in any case), under the name
// "tail". Returns the wildcard child (a new reference), where the pattern ends.
PyObject* insert_wildcard_segment(RadixNode* node, SegmentView seg) {
    Ref child(ensure_wildcard_child(node));
    if (!child) return qm::kFailed;
    set_slot_borrowed(&node->wildcard_name, g_names[N_TAIL]);
    if (seg.size == 1) {
        set_slot_borrowed(&node->wildcard_suffix, Py_None);
    } else {
        PyObject* suffix = PyBytes_FromStringAndSize(nullptr, seg.size - 1);
        if (!suffix) return qm::kFailed;
        qm::ascii_lower_copy(PyBytes_AS_STRING(suffix), seg.data + 1, static_cast<size_t>(seg.size - 1));
        set_slot(&node->wildcard_suffix, suffix);
    }
    return child.release();
}

inline bool is_param_segment(SegmentView seg) {
    const char* s = seg.data;
    Py_ssize_t n = seg.size;
    return (s[0] == '{' && s[n - 1] == '}') || (s[0] == '<' && s[n - 1] == '>') || s[0] == ':';
}

// {name}, {name:type}, <type:name>, :name: the node's single parameter child, made by the first such
// segment with the name and validator _parse_param_segment gives it. A "path" parameter is a named
// wildcard instead, where the pattern ends (*last set). Returns the child (a new reference).
PyObject* insert_param_segment(RadixTree* self, RadixNode* node, SegmentView seg, bool* last) {
    Ref text(PyBytes_FromStringAndSize(seg.data, seg.size));
    if (!text) return qm::kFailed;
    Ref parsed(self->ops->parse_param_segment(self, text.get(), 0));
    if (!parsed) return qm::kFailed;
    if (!PyTuple_Check(parsed.get()) || PyTuple_GET_SIZE(parsed.get()) != 2) {
        return qm::raise_error(PyExc_TypeError, "_parse_param_segment must return a 2-tuple");
    }
    PyObject* name = PyTuple_GET_ITEM(parsed.get(), 0);
    PyObject* validator = PyTuple_GET_ITEM(parsed.get(), 1);
    if (!check_str_value(name)) return qm::kFailed;
    if (PyUnicode_Check(validator) && PyUnicode_EqualToUTF8(validator, "path")) {
        Ref child(ensure_wildcard_child(node));
        if (!child) return qm::kFailed;
        set_slot_borrowed(&node->wildcard_name, name);
        set_slot_borrowed(&node->wildcard_suffix, Py_None);
        *last = true;
        return child.release();
    }
    if (node->param_child == Py_None) {
        PyObject* child = new_node(text.get());
        if (!child) return qm::kFailed;
        set_slot_borrowed(&as_node(child)->param_name, name);
        set_slot_borrowed(&as_node(child)->param_validator, validator);
        set_slot(&node->param_child, child);
    }
    return Py_NewRef(node->param_child);
}

// Any other segment: the node's child under the lowercased segment, made when missing. Returns it
// (a new reference).
PyObject* insert_static_segment(RadixNode* node, SegmentView seg) {
    Ref key(PyBytes_FromStringAndSize(nullptr, seg.size));
    if (!key) return qm::kFailed;
    qm::ascii_lower_copy(PyBytes_AS_STRING(key.get()), seg.data, static_cast<size_t>(seg.size));
    // Held: a key's comparison may run Python code that replaces `children`.
    Ref children = Ref::borrow(node->children);
    if (children.get() == Py_None) return raise_not_container(children.get(), key.get());
    PyObject* found;
    if (PyDict_GetItemRef(children.get(), key.get(), &found) < 0) return qm::kFailed;
    if (!found) {
        found = new_node(key.get());
        if (!found || PyDict_SetItem(children.get(), key.get(), found) < 0) {
            Py_XDECREF(found);
            return qm::kFailed;
        }
    }
    Ref child(found);
    if (!is_node(found)) return qm::raise_cannot_convert(found, g_radix_node_type);
    return child.release();
}

// Walks the segments of the normalised pattern from `root`, making the nodes that are missing.
// Returns the node where the pattern ends (a new reference); *any_segment tells whether the
// pattern had any segment.
PyObject* insert_segments(RadixTree* self, RadixNode* root, PyObject* norm, bool* any_segment) {
    Ref current = Ref::borrow(reinterpret_cast<PyObject*>(root));
    SegmentView seg;
    for (SegmentCursor cursor(PyBytes_AS_STRING(norm), PyBytes_GET_SIZE(norm)); cursor.next(&seg);) {
        *any_segment = true;
        RadixNode* node = as_node(current.get());  // held by `current` until it is replaced
        bool last = false;
        PyObject* next;
        if (seg.data[0] == '*') {
            next = insert_wildcard_segment(node, seg);
            last = true;
        } else if (is_param_segment(seg)) {
            next = insert_param_segment(self, node, seg, &last);
        } else {
            next = insert_static_segment(node, seg);
        }
        current.reset(next);
        if (!next || last) break;
    }
    return current.release();
}

// The names given to a route's captured values (a new reference): `param_names` when given, else
// the route's own `param_names` when it has a non-empty one, else None; bytes names are decoded.
PyObject* resolve_param_names(PyObject* route, PyObject* param_names) {
    if (param_names != Py_None) return convert_names(param_names);
    PyObject* found;
    if (PyObject_GetOptionalAttr(route, g_names[N_PARAM_NAMES], &found) < 0) return qm::kFailed;
    Ref attr(found);
    int truth = found ? PyObject_IsTrue(found) : 0;
    if (truth < 0) return qm::kFailed;
    return truth ? convert_names(found) : Py_NewRef(Py_None);
}

PyObject* radix_tree_insert(RadixTree* self, PyObject* pattern, PyObject* route, PyObject* param_names,
                            int skip_dispatch) {
    if (!param_names) param_names = Py_None;
    if (auto call = g_overridables[N_INSERT].dispatch(self, skip_dispatch, pattern, route, param_names)) {
        return call.result;
    }
    if (!check_insert_args(pattern, param_names)) return qm::kFailed;
    Ref self_ref = Ref::borrow(reinterpret_cast<PyObject*>(self));
    Ref route_ref = Ref::borrow(route);
    Ref norm(normalise_pattern(pattern));
    if (!norm || !store_static_route(self, norm.get(), route)) return qm::kFailed;
    RadixNode* root = tree_root(self, "route");
    if (!root) return qm::kFailed;
    bool any_segment = false;
    Ref last(insert_segments(self, root, norm.get(), &any_segment));
    if (!last) return qm::kFailed;
    RadixNode* node = as_node(last.get());
    set_slot_borrowed(&node->route, route);
    node->is_leaf = 1;
    if (!any_segment) return Py_NewRef(Py_None);  // the root keeps no names
    // The route is registered even when its names fail.
    PyObject* names = resolve_param_names(route, param_names);
    if (!names) return qm::kFailed;
    set_slot(&node->param_names, names);
    return Py_NewRef(Py_None);
}

PyObject* radix_tree_match_recursive(RadixTree* self, RadixNode* current, PyObject* segments, int32_t index,
                                     PyObject* params, int /*skip_dispatch*/) {
    if (!current) {
        return qm::raise_format(PyExc_TypeError, "Argument 'current' has incorrect type (expected %.200s, got NULL)",
                                g_radix_node_type->tp_name);
    }
    if (!is_node(reinterpret_cast<PyObject*>(current))) {
        return qm::raise_arg_type("current", g_radix_node_type->tp_name, reinterpret_cast<PyObject*>(current));
    }
    if (!PyList_Check(segments)) return qm::raise_arg_type("segments", "list", segments);
    if (!PyDict_Check(params)) return qm::raise_arg_type("params", "dict", params);
    Ref hold_segments = Ref::borrow(segments);
    Ref hold_params = Ref::borrow(params);
    Ref hold_self = Ref::borrow(reinterpret_cast<PyObject*>(self));
    Py_ssize_t count = PyList_GET_SIZE(segments);
    if (index < 0 || index > count) return qm::raise_error(PyExc_IndexError, "list index out of range");
    Matcher matcher;
    if (!matcher.reserve(count)) return qm::kFailed;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* seg = PyList_GET_ITEM(segments, i);
        if (!PyBytes_Check(seg)) return qm::raise_expected("bytes", seg);
        // The matcher holds each segment, so a validator that edits the list cannot free one.
        matcher.add(PyBytes_AS_STRING(seg), PyBytes_GET_SIZE(seg), seg);
    }
    matcher.set_base_params(params);
    return matcher.search(current, index);
}

// Result of a path that is empty or "/".
PyObject* match_root(RadixTree* self) {
    RadixNode* root = tree_root(self, "route");
    if (!root) return qm::kFailed;
    Ref hold = Ref::borrow(reinterpret_cast<PyObject*>(root));
    if (root->route != Py_None) return make_pair(root->route, Py_None);
    if (!has_wildcard_route(root) || root->wildcard_suffix != Py_None) return Py_NewRef(Py_None);
    Matcher matcher;
    if (!matcher.reserve(0)) return qm::kFailed;
    return matcher.search(root, 0);
}

// The exact-path table's route for the path as given, else for the path without its trailing
// slashes; *norm_size is the length of the latter. 1 with *route set, 0, or -1 on error.
QM_HOT int match_static_table(RadixTree* self, PyObject* path, Py_ssize_t* norm_size, Ref* route) {
    const char* p = PyBytes_AS_STRING(path);
    Py_ssize_t n = PyBytes_GET_SIZE(path);
    PyObject* table = self->static_routes;
    RoutingIndex* index = table != Py_None ? current_index<Fold::None>(self->static_index, table) : nullptr;
    int found = index ? lookup_static_view(index, p, n, route) : lookup_static(self, path, route);
    *norm_size = n;
    if (found != 0 || n <= 1 || p[n - 1] != '/') return found;
    Py_ssize_t size = n;
    while (size > 0 && p[size - 1] == '/') --size;
    *norm_size = size;
    if (index) return lookup_static_view(index, p, size, route);
    Ref norm(PyBytes_FromStringAndSize(p, size));
    if (!norm) return qm::kFailed;
    return lookup_static(self, norm.get(), route);
}

// A native subclass replaced the search: it gets the segments of p[0 .. n - 1] as a list of bytes.
PyObject* match_through_subclass(RadixTree* self, RadixNode* root, const char* p, Py_ssize_t n) {
    Ref segments(PyList_New(0));
    Ref params(PyDict_New());
    if (!segments || !params) return qm::kFailed;
    SegmentView seg;
    for (SegmentCursor cursor(p, n); cursor.next(&seg);) {
        Ref item(PyBytes_FromStringAndSize(seg.data, seg.size));
        if (!item || PyList_Append(segments.get(), item.get()) < 0) return qm::kFailed;
    }
    return self->ops->match_recursive(self, root, segments.get(), 0, params.get(), 0);
}

// The search from `root` over the segments of p[0 .. n - 1], which are `count` at the most.
QM_HOT PyObject* match_segments(RadixNode* root, const char* p, Py_ssize_t n, Py_ssize_t count) {
    Matcher matcher;
    if (!matcher.reserve(count)) return qm::kFailed;
    SegmentView seg;
    for (SegmentCursor cursor(p, n); cursor.next(&seg);) matcher.add(seg.data, seg.size, nullptr);
    matcher.set_contiguous(true);
    return matcher.search(root, 0);
}

QM_HOT PyObject* radix_tree_match(RadixTree* self, PyObject* path, int skip_dispatch) {
    if (auto call = g_overridables[N_MATCH].dispatch(self, skip_dispatch, path)) return call.result;
    if (!PyBytes_Check(path)) {
        if (path == Py_None) return raise_not_container(path, g_double_slash_bytes);
        return qm::raise_arg_type("path", "bytes", path);
    }
    Ref hold_self = Ref::borrow(reinterpret_cast<PyObject*>(self));
    const char* p = PyBytes_AS_STRING(path);
    Py_ssize_t n = PyBytes_GET_SIZE(path);
    // A path with an empty segment never matches.
    Py_ssize_t slashes = 0;
    if (scan_slashes(p, n, &slashes)) return Py_NewRef(Py_None);
    Ref route;
    Py_ssize_t norm_size;
    int found = match_static_table(self, path, &norm_size, &route);
    if (found < 0) return qm::kFailed;
    if (found) return make_pair(route.get(), Py_None);
    if (norm_size == 0 || (norm_size == 1 && p[0] == '/')) return match_root(self);
    RadixNode* root = tree_root(self, "children");
    if (!root) return qm::kFailed;
    Ref hold_root = Ref::borrow(reinterpret_cast<PyObject*>(root));
    if (self->ops->match_recursive != radix_tree_match_recursive) {
        return match_through_subclass(self, root, p, norm_size);
    }
    // No empty segment can appear inside (no "//"), only a leading "/"; the stripped trailing
    // slashes are not counted.
    return match_segments(root, p, norm_size, slashes - (n - norm_size) + 1);
}

const RadixTreeOps kRadixTreeOps = {
    radix_tree_insert,
    radix_tree_parse_param_segment,
    radix_tree_match,
    radix_tree_match_recursive,
};

PyObject* py_radix_tree_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"pattern", "route", "param_names"};
    static const qm::Signature sig{"insert", names, 3, 2};
    PyObject* values[3] = {nullptr, nullptr, Py_None};
    if (!qm::parse_args(sig, args, nargs, kwnames, values)) return qm::kFailed;
    if (!qm::check_exact_arg(values[0], &PyBytes_Type, "pattern")) return qm::kFailed;
    if (!qm::check_exact_arg(values[2], &PyList_Type, "param_names")) return qm::kFailed;
    return as_tree(self)->ops->insert(as_tree(self), values[0], values[1], values[2], 1);
}

QM_HOT PyObject* py_radix_tree_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"path"};
    static const qm::Signature sig{"match", names, 1, 1};
    PyObject* path = nullptr;
    if (nargs == 1 && !kwnames) {
        path = args[0];
    } else if (!qm::parse_args(sig, args, nargs, kwnames, &path)) {
        return qm::kFailed;
    }
    if (!qm::check_exact_arg(path, &PyBytes_Type, "path")) return qm::kFailed;
    return as_tree(self)->ops->match(as_tree(self), path, 1);
}

PyObject* radix_tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref owner(new_without_args<RadixTree>("RadixTree", type, args, kwargs, &kRadixTreeOps));
    if (!owner) return qm::kFailed;
    RadixTree* self = as_tree(owner.get());
    if (!(self->root = new_node(g_empty_bytes)) || !(self->static_routes = PyDict_New())) return qm::kFailed;
    return owner.release();
}

using RadixTreeFields = IndexedFields<RadixTree, &RadixTree::static_index, &RadixTree::root, &RadixTree::static_routes>;

PyGetSetDef radix_tree_getset[] = {
    node_attribute<&RadixTree::root>("root", "Root node of the tree."),
    builtin_attribute<&RadixTree::static_routes, &PyDict_Type>("static_routes",
                                                               "Exact-path table: pattern bytes to route."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef radix_tree_methods[] = {
    QM_PICKLE_METHOD_DEFS(radix_tree_getset, 2),
    QM_FASTCALL_METHOD("insert", py_radix_tree_insert,
                       PyDoc_STR("insert($self, /, pattern, route, param_names=None)\n--\n\n"
                                 "Register route under the path pattern (bytes). param_names names the captured "
                                 "values.")),
    QM_FASTCALL_METHOD("match", py_radix_tree_match,
                       PyDoc_STR("match($self, /, path)\n--\n\n"
                                 "Find the route for a raw path (bytes): (route, values) or None.")),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot radix_tree_slots[] = {
    QM_CLASS_SLOTS("RadixTree()\n--\n\nRoute patterns of one HTTP method.", radix_tree_new, RadixTreeFields,
                   radix_tree_getset, radix_tree_methods),
    {0, nullptr},
};

PyType_Spec radix_tree_spec = native_class_spec("quillmoth.routing.RadixTree", sizeof(RadixTree), radix_tree_slots);

// ---------------------------------------------------------------------------------------------------
// RouteMatch

const RouteMatchOps kRouteMatchOps{};

inline RouteMatch* as_match(PyObject* obj) { return reinterpret_cast<RouteMatch*>(obj); }

// Route values as the application reads them: bytes are decoded (UTF-8, then percent-decoding);
// str values were already decoded by the matcher and are kept as they are, so that an escaped "%"
// ("%2525" in the path) is not decoded a second time.
PyObject* decode_values(PyObject* values) {
    Ref result(PyDict_New());
    if (!result) return qm::kFailed;
    Py_ssize_t size = PyDict_GET_SIZE(values);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(values, &pos, &key, &value)) {
        Ref key_ref = Ref::borrow(key);
        Ref converted = Ref::borrow(value);
        if (PyBytes_Check(value)) {
            const char* data = PyBytes_AS_STRING(value);
            Py_ssize_t n = PyBytes_GET_SIZE(value);
            converted.reset(PyUnicode_DecodeUTF8(data, n, nullptr));
            if (!converted) return qm::kFailed;
            // Valid UTF-8 decodes the same with or without replacement, so the bytes themselves
            // can go through the percent-decoder.
            if (std::memchr(data, '%', static_cast<size_t>(n))) {
                converted.reset(unquote_bytes(data, n));
                if (!converted) return qm::kFailed;
            }
        }
        if (PyDict_SetItem(result.get(), key_ref.get(), converted.get()) < 0) return qm::kFailed;
        if (PyDict_GET_SIZE(values) != size) {
            return qm::raise_error(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
    }
    return result.release();
}

// RouteMatch(route, values) for an instance made by route_match_new: the route's handler and
// pattern, the values decoded (None for none), the route itself.
int route_match_fill(RouteMatch* self, PyObject* route, PyObject* route_values) {
    if (!qm::check_exact_arg(route_values, &PyDict_Type, "values")) return qm::kFailed;
    Ref hold_values = Ref::borrow(route_values);
    PyObject* handler = PyObject_GetAttr(route, g_names[N_HANDLER]);
    if (!handler) return qm::kFailed;
    set_slot(&self->handler, handler);
    PyObject* pattern = PyObject_GetAttr(route, g_names[N_PATTERN]);
    if (!pattern) return qm::kFailed;
    set_slot(&self->pattern, pattern);
    if (route_values == Py_None || PyDict_GET_SIZE(route_values) == 0) {
        set_slot_borrowed(&self->values, Py_None);
    } else {
        PyObject* decoded = decode_values(route_values);
        if (!decoded) return qm::kFailed;
        set_slot(&self->values, decoded);
    }
    set_slot_borrowed(&self->route, route);
    return 0;
}

int route_match_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"route", "values"};
    static const qm::Signature sig{"RouteMatch", names, 2, 1};
    PyObject* values[2] = {nullptr, Py_None};
    if (!qm::parse_tuple_args(sig, args, kwargs, values)) return qm::kFailed;
    return route_match_fill(as_match(op), values[0], values[1]);
}

PyObject* route_match_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    RouteMatch* self = alloc_instance<RouteMatch>(type, &kRouteMatchOps);
    if (!self) return qm::kFailed;
    for (PyObject** field : {&self->handler, &self->pattern, &self->values, &self->route}) *field = Py_NewRef(Py_None);
    return reinterpret_cast<PyObject*>(self);
}

using RouteMatchFields = qm::ObjectFields<RouteMatch, &RouteMatch::handler, &RouteMatch::pattern,
                                         &RouteMatch::values, &RouteMatch::route>;

PyObject* route_match_repr(PyObject* op) {
    Ref pattern = Ref::borrow(as_match(op)->pattern);
    Ref text(PyObject_Format(pattern.get(), nullptr));
    if (!text) return qm::kFailed;
    return PyUnicode_FromFormat("<RouteMatch %U>", text.get());
}

PyGetSetDef route_match_getset[] = {
    any_attribute<&RouteMatch::handler>("handler", "The route's handler."),
    any_attribute<&RouteMatch::pattern>("pattern", "The route's pattern."),
    builtin_attribute<&RouteMatch::values, &PyDict_Type>("_values", "The decoded route values, or None."),
    any_attribute<&RouteMatch::route>("route", "The route object."),
    {"values", qm::get_member<&RouteMatch::values>, nullptr, PyDoc_STR("The decoded route values (dict), or None."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef route_match_methods[] = {
    QM_PICKLE_METHOD_DEFS(route_match_getset, 4),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot route_match_slots[] = {
    QM_CLASS_SLOTS("RouteMatch(route, values=None)\n--\n\nA matched route with its decoded route values.",
                   route_match_new, RouteMatchFields, route_match_getset, route_match_methods),
    {Py_tp_init, reinterpret_cast<void*>(route_match_init)},
    {Py_tp_repr, reinterpret_cast<void*>(route_match_repr)},
    {0, nullptr},

};

PyType_Spec route_match_spec = native_class_spec("quillmoth.routing.RouteMatch", sizeof(RouteMatch), route_match_slots);

// ---------------------------------------------------------------------------------------------------
// CythonRadixRouter

inline CythonRadixRouter* as_router(PyObject* obj) { return reinterpret_cast<CythonRadixRouter*>(obj); }

// `method` with ASCII letters uppercased: the object itself when it has no lowercase letter.
PyObject* upper_method(PyObject* method) {
    if (method == Py_None) return qm::raise_no_attribute(method, "upper");
    if (!PyBytes_Check(method)) return qm::raise_arg_type("method", "bytes", method);
    const char* p = PyBytes_AS_STRING(method);
    Py_ssize_t n = PyBytes_GET_SIZE(method);
    Py_ssize_t i = 0;
    while (i < n && !(p[i] >= 'a' && p[i] <= 'z')) ++i;
    if (i == n && PyBytes_CheckExact(method)) return Py_NewRef(method);
    PyObject* upper = PyBytes_FromStringAndSize(p, n);
    if (!upper) return qm::kFailed;
    char* w = PyBytes_AS_STRING(upper);
    for (; i < n; ++i) {
        if (w[i] >= 'a' && w[i] <= 'z') w[i] = static_cast<char>(w[i] - ('a' - 'A'));
    }
    return upper;
}

PyObject* cython_radix_router_add_route(CythonRadixRouter* self, PyObject* method, PyObject* pattern,
                                        PyObject* route, PyObject* param_names, int skip_dispatch) {
    if (!param_names) param_names = Py_None;
    if (auto call = g_overridables[N_ADD_ROUTE].dispatch(self, skip_dispatch, method, pattern, route, param_names)) {
        return call.result;
    }
    Ref key(upper_method(method));
    if (!key) return qm::kFailed;
    Ref trees = Ref::borrow(self->trees);
    if (trees.get() == Py_None) return qm::raise_not_iterable(trees.get());
    PyObject* tree;
    if (PyDict_GetItemRef(trees.get(), key.get(), &tree) < 0) return qm::kFailed;
    if (!tree) {
        tree = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(g_radix_tree_type));
        if (!tree || PyDict_SetItem(trees.get(), key.get(), tree) < 0) {
            Py_XDECREF(tree);
            return qm::kFailed;
        }
    }
    Ref tree_ref(tree);
    if (!PyObject_TypeCheck(tree, g_radix_tree_type)) return qm::raise_cannot_convert(tree, g_radix_tree_type);
    return as_tree(tree)->ops->insert(as_tree(tree), pattern, route, param_names, 0);
}

QM_HOT PyObject* cython_radix_router_get_match(CythonRadixRouter* self, PyObject* method, PyObject* path,
                                               int skip_dispatch) {
    if (auto call = g_overridables[N_GET_MATCH].dispatch(self, skip_dispatch, method, path)) return call.result;
    PyObject* tree;  // borrowed
    PyObject* trees = self->trees;
    Ref hold_trees;  // through a dict lookup, whose key comparisons may run Python code that replaces `trees`
    if (PyBytes_Check(method) && trees != Py_None) {
        // The usual call: the method's tree found without making the uppercased name.
        RoutingIndex* index = current_index<Fold::Upper>(self->trees_index, trees);
        if (index) {
            tree = index_lookup<Fold::Upper>(index, PyBytes_AS_STRING(method),
                                             static_cast<size_t>(PyBytes_GET_SIZE(method)));
            if (!tree) return Py_NewRef(Py_None);
        } else {
            Ref key(upper_method(method));
            if (!key) return qm::kFailed;
            hold_trees = Ref::borrow(trees);
            tree = PyDict_GetItemWithError(trees, key.get());
            if (!tree && PyErr_Occurred()) return qm::kFailed;
            if (!tree) return Py_NewRef(Py_None);
        }
    } else {
        Ref key(upper_method(method));
        if (!key) return qm::kFailed;
        return qm::raise_not_iterable(trees);
    }
    if (!PyObject_TypeCheck(tree, g_radix_tree_type)) return qm::raise_cannot_convert(tree, g_radix_tree_type);
    Ref tree_ref = Ref::borrow(tree);
    return as_tree(tree)->ops->match(as_tree(tree), path, 0);
}

const CythonRadixRouterOps kCythonRadixRouterOps = {
    cython_radix_router_add_route,
    cython_radix_router_get_match,
};

PyObject* py_cython_radix_router_add_route(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"method", "pattern", "route", "param_names"};
    static const qm::Signature sig{"add_route", names, 4, 3};
    PyObject* values[4] = {nullptr, nullptr, nullptr, Py_None};
    if (!qm::parse_args(sig, args, nargs, kwnames, values)) return qm::kFailed;
    if (!qm::check_exact_arg(values[0], &PyBytes_Type, "method")) return qm::kFailed;
    if (!qm::check_exact_arg(values[1], &PyBytes_Type, "pattern")) return qm::kFailed;
    if (!qm::check_exact_arg(values[3], &PyList_Type, "param_names")) return qm::kFailed;
    return as_router(self)->ops->add_route(as_router(self), values[0], values[1], values[2], values[3], 1);
}

QM_HOT PyObject* py_cython_radix_router_get_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {

    static const char* const names[] = {"method", "path"};
    static const qm::Signature sig{"get_match", names, 2, 2};
    PyObject* values[2] = {nullptr, nullptr};
    if (nargs == 2 && !kwnames) {  // the usual call, both arguments positional
        values[0] = args[0];
        values[1] = args[1];
    } else if (!qm::parse_args(sig, args, nargs, kwnames, values)) {
        return qm::kFailed;
    }
    if (!qm::check_exact_arg(values[0], &PyBytes_Type, "method")) return qm::kFailed;
    if (!qm::check_exact_arg(values[1], &PyBytes_Type, "path")) return qm::kFailed;
    return as_router(self)->ops->get_match(as_router(self), values[0], values[1], 1);
}

// The methods of the request line the router layer registers, as the bytes get_match takes.
constexpr const char* kUsualMethods[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"};
PyObject* g_usual_method_bytes[std::size(kUsualMethods)];

// A method name (str) as bytes: the kept bytes of a usual method spelled as the request line spells
// it, else its Latin-1 encoding.
PyObject* method_bytes(PyObject* method) {
    if (PyUnicode_IS_ASCII(method)) {
        const char* text = static_cast<const char*>(PyUnicode_DATA(method));
        Py_ssize_t n = PyUnicode_GET_LENGTH(method);
        for (size_t i = 0; i < std::size(kUsualMethods); ++i) {
            if (static_cast<size_t>(n) == std::strlen(kUsualMethods[i]) &&
                std::memcmp(text, kUsualMethods[i], static_cast<size_t>(n)) == 0) {
                return Py_NewRef(g_usual_method_bytes[i]);
            }
        }
    }
    return PyUnicode_AsLatin1String(method);
}

// match_request(method, path): RouteMatch(found[0], found[1]) for found = get_match(method bytes,
// path), or None. Through the table, so a Python subclass's get_match is honoured.
QM_HOT PyObject* py_cython_radix_router_match_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) {
    static const char* const names[] = {"method", "path"};
    static const qm::Signature sig{"match_request", names, 2, 2};
    PyObject* values[2] = {nullptr, nullptr};
    if (!qm::parse_args(sig, args, nargs, kwnames, values)) return qm::kFailed;
    if (!qm::check_exact_arg(values[0], &PyUnicode_Type, "method", false)) return qm::kFailed;
    if (!qm::check_exact_arg(values[1], &PyBytes_Type, "path", false)) return qm::kFailed;
    Ref method(method_bytes(values[0]));
    if (!method) return qm::kFailed;
    Ref found(as_router(self)->ops->get_match(as_router(self), method.get(), values[1], 0));
    if (!found || found.get() == Py_None) return found.release();
    Ref route, route_values;
    if (PyTuple_CheckExact(found.get()) && PyTuple_GET_SIZE(found.get()) >= 2) {
        route.reset_borrowed(PyTuple_GET_ITEM(found.get(), 0));
        route_values.reset_borrowed(PyTuple_GET_ITEM(found.get(), 1));
    } else {
        route.reset(PySequence_GetItem(found.get(), 0));
        route_values.reset(route ? PySequence_GetItem(found.get(), 1) : nullptr);
        if (!route_values) return qm::kFailed;
    }
    Ref match(route_match_new(g_route_match_type, nullptr, nullptr));
    if (!match || route_match_fill(as_match(match.get()), route.get(), route_values.get()) < 0) return qm::kFailed;
    return match.release();
}

PyObject* cython_radix_router_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref owner(new_without_args<CythonRadixRouter>("CythonRadixRouter", type, args, kwargs, &kCythonRadixRouterOps));
    if (!owner || !(as_router(owner.get())->trees = PyDict_New())) return qm::kFailed;
    return owner.release();
}

using CythonRadixRouterFields =
    IndexedFields<CythonRadixRouter, &CythonRadixRouter::trees_index, &CythonRadixRouter::trees>;

PyGetSetDef cython_radix_router_getset[] = {
    builtin_attribute<&CythonRadixRouter::trees, &PyDict_Type>(
        "trees", "Uppercased method name (bytes) to the RadixTree of that method."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef cython_radix_router_methods[] = {
    QM_PICKLE_METHOD_DEFS(cython_radix_router_getset, 1),
    QM_FASTCALL_METHOD("add_route", py_cython_radix_router_add_route,
                       PyDoc_STR("add_route($self, /, method, pattern, route, param_names=None)\n--\n\n"
                                 "Register route for the method (bytes, any case) under the path pattern (bytes).")),
    QM_FASTCALL_METHOD("get_match", py_cython_radix_router_get_match,
                       PyDoc_STR("get_match($self, /, method, path)\n--\n\n"
                                 "Find the route for the method and raw path: (route, values) or None.")),
    QM_FASTCALL_METHOD("match_request", py_cython_radix_router_match_request,
                       PyDoc_STR("match_request($self, /, method, path)\n--\n\n"
                                 "The RouteMatch of the route for the method of a request line (str, any case) "
                                 "and its raw path (bytes), or None: get_match and RouteMatch in one call.")),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot cython_radix_router_slots[] = {
    QM_CLASS_SLOTS("CythonRadixRouter()\n--\n\nOne radix tree of routes per HTTP method.", cython_radix_router_new,
                   CythonRadixRouterFields, cython_radix_router_getset, cython_radix_router_methods),

    {0, nullptr},
};

PyType_Spec cython_radix_router_spec =
    native_class_spec("quillmoth.routing.CythonRadixRouter", sizeof(CythonRadixRouter), cython_radix_router_slots);

// ---------------------------------------------------------------------------------------------------
// Module

PyModuleDef g_module_def = qm::make_module_def(
    "quillmoth.routing", PyDoc_STR("Radix-tree routing of raw request paths, one tree per HTTP method."));

bool make_constants() {
    if (!g_names.intern()) return qm::kFailed;
    g_empty_bytes = PyBytes_FromStringAndSize("", 0);
    g_slash_bytes = PyBytes_FromString("/");
    g_star_bytes = PyBytes_FromString("*");
    g_double_slash_bytes = PyBytes_FromString("//");
    if (!g_empty_bytes || !g_slash_bytes || !g_star_bytes || !g_double_slash_bytes) return qm::kFailed;
    for (int i = 0; i < kCachedPositionalKeys; ++i) {
        g_positional_keys[i] = PyUnicode_FromFormat("_p_%d", i);
        if (!g_positional_keys[i]) return qm::kFailed;
        PyUnicode_InternInPlace(&g_positional_keys[i]);
    }
    return true;
}

PyObject* compile_bytes_pattern(PyObject* re_module, const char* pattern) {
    Ref source(PyBytes_FromString(pattern));
    if (!source) return qm::kFailed;
    return PyObject_CallMethod(re_module, "compile", "O", source.get());
}

// The built-in validators, compiled by `re` and published as the module attributes _INT_RX, ...
bool add_validators(PyObject* module) {
    Ref re_module(PyImport_ImportModule("re"));
    if (!re_module) return qm::kFailed;
    if (!(g_int_rx = compile_bytes_pattern(re_module.get(), "^\\d+$"))) return qm::kFailed;
    if (!(g_float_rx = compile_bytes_pattern(re_module.get(), "^\\d+(?:\\.\\d+)?$"))) return qm::kFailed;
    g_uuid_rx = compile_bytes_pattern(
        re_module.get(), "^[a-fA-F0-9]{8}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{12}$");
    if (!g_uuid_rx) return qm::kFailed;
    return PyModule_AddObjectRef(module, "_INT_RX", g_int_rx) == 0 &&
           PyModule_AddObjectRef(module, "_FLOAT_RX", g_float_rx) == 0 &&
           PyModule_AddObjectRef(module, "_UUID_RX", g_uuid_rx) == 0;
}

// The classes, and the overridable operations bound to their methods.
bool add_classes(PyObject* module) {
    if (!(g_radix_node_type = qm::add_module_type(module, &radix_node_spec))) return qm::kFailed;
    if (!(g_radix_tree_type = qm::add_module_type(module, &radix_tree_spec))) return qm::kFailed;
    if (!(g_route_match_type = qm::add_module_type(module, &route_match_spec))) return qm::kFailed;
    if (!(g_cython_radix_router_type = qm::add_module_type(module, &cython_radix_router_spec))) return qm::kFailed;
    return qm::bind_overridables(&g_overridables[N_INSERT], N_MATCH - N_INSERT + 1, g_radix_tree_type,
                                 &g_names.data()[N_INSERT]) &&
           qm::bind_overridables(&g_overridables[N_ADD_ROUTE], N_GET_MATCH - N_ADD_ROUTE + 1,
                                 g_cython_radix_router_type, &g_names.data()[N_ADD_ROUTE]);
}

PyObject* build_module() {
    Ref module(PyModule_Create(&g_module_def));
    if (!module || !make_constants()) return qm::kFailed;

    Ref copyreg(PyImport_ImportModule("copyreg"));
    if (!copyreg) return qm::kFailed;
    g_copyreg_newobj = PyObject_GetAttrString(copyreg.get(), "__newobj__");
    if (!g_copyreg_newobj) return qm::kFailed;

    if (!add_validators(module.get()) || !add_classes(module.get())) return qm::kFailed;
    for (size_t i = 0; i < std::size(kUsualMethods); ++i) {
        if (!(g_usual_method_bytes[i] = PyBytes_FromString(kUsualMethods[i]))) return qm::kFailed;
    }

    static const qm::Export exports[] = {
        {"_fast_unquote", reinterpret_cast<void*>(fast_unquote), QM_ROUTING_FAST_UNQUOTE_SIGNATURE},
    };
    if (!qm::publish_exports(module.get(), exports, 1)) return qm::kFailed;
    // The application core reads the fields of the router layer's matches.
    const qm::TypeExport types[] = {{"RouteMatch", g_route_match_type}};
    if (!qm::publish_types(module.get(), types, std::size(types))) return qm::kFailed;
    // Last, so that a failed import leaves none of the interpreter's few watcher slots taken.
    // Without a free slot the matcher reads the dicts directly.
    g_dict_watcher_id = PyDict_AddWatcher(on_watched_dict_event);
    if (g_dict_watcher_id < 0) PyErr_Clear();
    return module.release();
}

// Drops every global build_module may have set, so that a failed import leaves nothing behind and
// the next one starts from nothing.
void release_state() {
    if (g_dict_watcher_id >= 0) {
        PyObject* pending = PyErr_GetRaisedException();  // the failed import's
        if (PyDict_ClearWatcher(g_dict_watcher_id) < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending);
        g_dict_watcher_id = -1;
    }
    for (qm::Overridable& op
 : g_overridables) op.unbind();
    qm::clear_refs(g_radix_node_type, g_radix_tree_type, g_route_match_type, g_cython_radix_router_type);
    qm::clear_refs(g_int_rx, g_float_rx, g_uuid_rx, g_copyreg_newobj);
    qm::clear_refs(g_empty_bytes, g_slash_bytes, g_star_bytes, g_double_slash_bytes);
    for (PyObject*& method : g_usual_method_bytes) Py_CLEAR(method);
    for (PyObject*& key : g_positional_keys) Py_CLEAR(key);
    g_names.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_routing() { return qm::init_module(build_module, release_state); }
