// quillmoth.messages: the Message base of requests and responses, with its header operations on
// the raw header list, content inspection and charset detection; the module functions
// parse_charset and method_without_body. The scratchpad arena (scratchpad.cpp) is linked in and
// exported under its plain symbol names.
#include "messages.h"

#include "common/fold.h"
#include "common/native.h"
#include "contents.h"
#include "headers.h"

#include <cstdint>
#include <cstring>

namespace qm::messages {
namespace {

using qm::Ref;
using qm::contents::ContentObject;

// ---------------------------------------------------------------------------------------------
// Module state (one interpreter, single-phase init): classes imported from the siblings, the
// Message class, interned names and constants.

PyTypeObject* MessageType = nullptr;
PyTypeObject* ContentType = nullptr;
qm::headers::HeadersTypes HeadersClasses;

PyObject* key_content_type = nullptr;  // b"content-type"
PyObject* word_json = nullptr;         // b"json"
PyObject* word_xml = nullptr;          // b"xml"
PyObject* text_utf8 = nullptr;         // "utf8"
PyObject* name_remove = nullptr;       // "remove"
PyObject* index_zero = nullptr;
PyObject* index_one = nullptr;

// The Python-visible operations, which a Python subclass may redefine.
enum Overridable {
    OP_get_headers,
    OP_get_first_header,
    OP_get_single_header,
    OP_remove_header,
    OP_has_header,
    OP_add_header,
    OP_set_header,
    OP_content_type,
    OP_with_content,
    OP_has_body,
    OP_declares_content_type,
    OP_declares_json,
    OP_declares_xml,
    OP_count
};

const char* const kOverridableNames[OP_count] = {
    "get_headers", "get_first_header", "get_single_header",     "remove_header",
    "has_header",  "add_header",       "set_header",            "content_type",
    "with_content", "has_body",        "declares_content_type", "declares_json",
    "declares_xml",
};
PyObject* op_names[OP_count] = {};

// Each operation remembers a few classes found not to override it, so that Request and Response
// (native subclasses) alternating on one path both stay on the direct path.
struct DispatchCache {
    qm::OverrideCache slots[4];
    qm::OverrideCache& pick(PyTypeObject* type) noexcept {
        return slots[(reinterpret_cast<uintptr_t>(type) >> 6) & 3];
    }
};
DispatchCache dispatch_caches[OP_count];

inline MessageObject* as_message(PyObject* obj) noexcept { return reinterpret_cast<MessageObject*>(obj); }
inline PyObject* as_object(MessageObject* self) noexcept { return reinterpret_cast<PyObject*>(self); }

// 0: the native implementation applies. 1: the class redefines operation `op`; the override was
// called and `*result` holds its result (null when it raised). -1: error.
template <typename... Args>
[[nodiscard]] int dispatch(MessageObject* self, Overridable op, void* impl, PyObject** result, Args... args) noexcept {
    PyObject* obj = as_object(self);
    int found = qm::find_override(obj, MessageType, op_names[op], impl, dispatch_caches[op].pick(Py_TYPE(obj)));
    if (found <= 0) return found;
    *result = qm::call_override(obj, op_names[op], args...);
    return 1;
}

// An override's result where the operation returns nothing: 0, or -1 when it raised.
int status_of(PyObject* result) noexcept {
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

// An override's result where the operation returns a boolean.
int truth_of(PyObject* result) noexcept {
    if (!result) return -1;
    int truth = PyObject_IsTrue(result);
    Py_DECREF(result);
    return truth;
}

// ---------------------------------------------------------------------------------------------
// Header matching on the raw list. The key is lowered once (on the stack for any usual name);
// each stored name is lowered on the fly while it is compared, so a lookup allocates nothing
// beyond its result.

[[nodiscard]] bool raise_not_a_list(PyObject* list) noexcept {
    if (list == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return false;
    }
    return qm::raise_expected("list", list);
}

// Whether the stored `name` matches the lowered key; names must be bytes.
[[nodiscard]] inline int name_matches(PyObject* name, const qm::LoweredKey& key) noexcept {
    if (QM_UNLIKELY(!PyBytes_Check(name))) return (void)qm::raise_expected("bytes", name), -1;
    return static_cast<size_t>(PyBytes_GET_SIZE(name)) == key.size() &&
           qm::equals_lowered_n(PyBytes_AS_STRING(name), key.data(), key.size());
}

// Calls `on_match(element)` for each element of `list` whose name (item 0) matches `key`, in list
// order. `on_match` returns 1 to go on, 0 to stop, -1 on error; it gets a borrowed element that
// stays alive during the call. Elements are indexed as sequences: a tuple with a bytes name takes
// the direct path (no reference taken, no code run); anything else goes through __getitem__
// (None fails there), and the element is held meanwhile since that may change the list.
template <typename OnMatch>
[[nodiscard]] bool scan_matching(PyObject* list, PyObject* key, OnMatch&& on_match) noexcept {
    if (QM_UNLIKELY(!PyBytes_Check(key))) return qm::raise_expected("bytes", key);
    if (QM_UNLIKELY(!PyList_Check(list))) return raise_not_a_list(list);
    qm::LoweredKey lowered(PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key)));
    if (QM_UNLIKELY(!lowered.data())) {
        PyErr_NoMemory();
        return false;
    }
    const char* const k = lowered.data();
    const Py_ssize_t key_size = static_cast<Py_ssize_t>(lowered.size());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* element = PyList_GET_ITEM(list, i);
        if (QM_LIKELY(PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) > 0)) {
            PyObject* name = PyTuple_GET_ITEM(element, 0);
            if (QM_LIKELY(PyBytes_CheckExact(name))) {
                if (PyBytes_GET_SIZE(name) != key_size ||
                    !qm::equals_lowered_n(PyBytes_AS_STRING(name), k, static_cast<size_t>(key_size))) {
                    continue;
                }
            } else {
                int match = name_matches(name, lowered);
                if (match <= 0) {
                    if (match < 0) return false;
                    continue;
                }
            }
        } else {
            Ref held = Ref::borrow(element);
            Ref name(PyObject_GetItem(element, index_zero));
            if (!name) return false;
            int match = name_matches(name.get(), lowered);
            if (match <= 0) {
                if (match < 0) return false;
                continue;
            }
            int go_on = on_match(element);
            if (go_on <= 0) return go_on == 0;
            continue;
        }
        Ref held = Ref::borrow(element);
        int go_on = on_match(element);
        if (go_on <= 0) return go_on == 0;
    }
    return true;
}

// Item 1 of a matching element (a new reference).
PyObject* element_value(PyObject* element) noexcept {
    if (PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) > 1) return Py_NewRef(PyTuple_GET_ITEM(element, 1));
    return PyObject_GetItem(element, index_one);
}

[[nodiscard]] bool raise_unpack_count(Py_ssize_t got) noexcept {
    if (got > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    }
    return false;
}

// Unpacks `element` into exactly two items as `name, value = element` does; `*name` receives a
// new reference to the first. Tuples and lists take the direct path; other iterables are iterated.
[[nodiscard]] bool unpack_name(PyObject* element, Ref* name) noexcept {
    if (PyTuple_CheckExact(element) || PyList_CheckExact(element)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(element);
        if (size != 2) return raise_unpack_count(size);
        name->reset_borrowed(PySequence_Fast_GET_ITEM(element, 0));
        return true;
    }
    Ref iterator(PyObject_GetIter(element));
    if (!iterator) return false;
    Ref first(PyIter_Next(iterator.get()));
    if (!first) return PyErr_Occurred() ? false : raise_unpack_count(0);
    Ref second(PyIter_Next(iterator.get()));
    if (!second) return PyErr_Occurred() ? false : raise_unpack_count(1);
    Ref extra(PyIter_Next(iterator.get()));
    if (extra) return raise_unpack_count(3);
    if (PyErr_Occurred()) return false;
    *name = std::move(first);
    return true;
}

// Whether any element of `list` is named `key`; elements are unpacked into exactly two items.
int list_has_header(PyObject* list, PyObject* key) noexcept {
    if (QM_UNLIKELY(!PyBytes_Check(key))) return (void)qm::raise_expected("bytes", key), -1;
    if (QM_UNLIKELY(!PyList_Check(list))) return (void)raise_not_a_list(list), -1;
    qm::LoweredKey lowered(PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key)));
    if (QM_UNLIKELY(!lowered.data())) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* element = PyList_GET_ITEM(list, i);
        int match;
        if (QM_LIKELY(PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) == 2)) {
            match = name_matches(PyTuple_GET_ITEM(element, 0), lowered);
        } else {
            Ref held = Ref::borrow(element);
            Ref name;
            if (!unpack_name(element, &name)) return -1;
            match = name_matches(name.get(), lowered);
        }
        if (match != 0) return match;
    }
    return 0;
}

// Appends the pair (key, value) to the message's list.
int append_pair(MessageObject* self, PyObject* key, PyObject* value) noexcept {
    if (QM_UNLIKELY(!PyList_Check(self->_raw_headers))) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute 'append'",
                     Py_TYPE(self->_raw_headers)->tp_name);
        return -1;
    }
    Ref pair(PyTuple_Pack(2, key, value));
    if (!pair) return -1;
    return PyList_Append(self->_raw_headers, pair.get());
}

// list.remove(item) on `list`, so equality, the error and its message are exactly the list's.
int list_remove(PyObject* list, PyObject* item) noexcept {
    return status_of(PyObject_CallMethodOneArg(list, name_remove, item));
}

// ---------------------------------------------------------------------------------------------
// Operations. Each Python-visible one has a wrapper (py_*) that checks its arguments and calls
// the implementation with skip_dispatch 1; internal and sibling calls go through the table.

PyObject* py_get_headers(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_get_first_header(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_get_single_header(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_remove_header(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_has_header(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_add_header(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_set_header(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_content_type(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_with_content(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_has_body(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_declares_content_type(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_declares_json(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_declares_xml(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* get_headers(MessageObject* self, PyObject* key, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_get_headers, QM_IMPL(py_get_headers), &result, key);
        if (found) return found < 0 ? nullptr : result;
    }
    Ref values(PyList_New(0));
    if (!values) return nullptr;
    Ref list = Ref::borrow(self->_raw_headers);
    bool ok = scan_matching(list.get(), key, [&](PyObject* element) {
        Ref value(element_value(element));
        if (!value || PyList_Append(values.get(), value.get()) < 0) return -1;
        return 1;
    });
    return ok ? values.release() : nullptr;
}

PyObject* get_first_header(MessageObject* self, PyObject* key, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_get_first_header, QM_IMPL(py_get_first_header), &result, key);
        if (found) return found < 0 ? nullptr : result;
    }
    Ref value;
    Ref list = Ref::borrow(self->_raw_headers);
    bool ok = scan_matching(list.get(), key, [&](PyObject* element) {
        value.reset(element_value(element));
        return value ? 0 : -1;
    });
    if (!ok) return nullptr;
    return value ? value.release() : Py_NewRef(Py_None);
}

PyObject* get_single_header(MessageObject* self, PyObject* key, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_get_single_header, QM_IMPL(py_get_single_header), &result, key);
        if (found) return found < 0 ? nullptr : result;
    }
    Ref values(self->ops->get_headers(self, key, 0));
    if (!values) return nullptr;
    Py_ssize_t count = PyObject_Size(values.get());
    if (count < 0) return nullptr;
    if (count > 1) {
        PyErr_SetString(PyExc_ValueError, "Headers contains more than one header with the given key");
        return nullptr;
    }
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "Headers does not contain one header with the given key");
        return nullptr;
    }
    return PySequence_GetItem(values.get(), 0);
}

int remove_header(MessageObject* self, PyObject* key, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_remove_header, QM_IMPL(py_remove_header), &result, key);
        if (found) return found < 0 ? -1 : status_of(result);
    }
    // Collect first, remove afterwards: the list is never changed while it is walked.
    Ref list = Ref::borrow(self->_raw_headers);
    Ref matching;
    bool ok = scan_matching(list.get(), key, [&](PyObject* element) {
        if (!matching) {
            matching.reset(PyList_New(0));
            if (!matching) return -1;
        }
        return PyList_Append(matching.get(), element) < 0 ? -1 : 1;
    });
    if (!ok) return -1;
    if (!matching) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(matching.get()); ++i) {
        if (list_remove(list.get(), PyList_GET_ITEM(matching.get(), i)) < 0) return -1;
    }
    return 0;
}

int has_header_native(MessageObject* self, PyObject* key, int) noexcept {
    Ref list = Ref::borrow(self->_raw_headers);
    return list_has_header(list.get(), key);
}

int has_header(MessageObject* self, PyObject* key, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_has_header, QM_IMPL(py_has_header), &result, key);
        if (found) return found < 0 ? -1 : truth_of(result);
    }
    return self->ops->_has_header(self, key, 0);
}

int add_header_native(MessageObject* self, PyObject* key, PyObject* value, int) noexcept {
    return append_pair(self, key, value);
}

int add_header_if_missing(MessageObject* self, PyObject* key, PyObject* value, int) noexcept {
    int present = self->ops->_has_header(self, key, 0);
    if (present != 0) return present < 0 ? -1 : 0;
    return self->ops->_add_header(self, key, value, 0);
}

int add_header(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_add_header, QM_IMPL(py_add_header), &result, key, value);
        if (found) return found < 0 ? -1 : status_of(result);
    }
    return append_pair(self, key, value);
}

int set_header(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_set_header, QM_IMPL(py_set_header), &result, key, value);
        if (found) return found < 0 ? -1 : status_of(result);
    }
    if (self->ops->remove_header(self, key, 0) < 0) return -1;
    return append_pair(self, key, value);
}

// The content object when it is truthy (a new reference in `*out`, else null); false on error.
[[nodiscard]] bool truthy_content(MessageObject* self, Ref* out) noexcept {
    if (self->content == Py_None) return true;
    Ref content = Ref::borrow(self->content);
    int truth = PyObject_IsTrue(content.get());
    if (truth < 0) return false;
    if (truth && PyObject_TypeCheck(content.get(), ContentType)) *out = std::move(content);
    return true;
}

PyObject* content_type(MessageObject* self, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_content_type, QM_IMPL(py_content_type), &result);
        if (found) return found < 0 ? nullptr : result;
    }
    Ref content;
    if (!truthy_content(self, &content)) return nullptr;
    if (content) {
        PyObject* type = reinterpret_cast<ContentObject*>(content.get())->type;
        if (type && PyBytes_Check(type) && PyBytes_GET_SIZE(type) > 0) return Py_NewRef(type);
    }
    return self->ops->get_first_header(self, key_content_type, 0);
}

int remove_headers(MessageObject* self, PyObject* headers, int) noexcept {
    Ref list = Ref::borrow(self->_raw_headers);
    Ref iterator(PyObject_GetIter(headers));
    if (!iterator) return -1;
    while (Ref pair{PyIter_Next(iterator.get())}) {
        if (list_remove(list.get(), pair.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* get_headers_tuples(MessageObject* self, PyObject* key, int) noexcept {
    Ref pairs(PyList_New(0));
    if (!pairs) return nullptr;
    Ref list = Ref::borrow(self->_raw_headers);
    bool ok = scan_matching(list.get(), key,
                            [&](PyObject* element) { return PyList_Append(pairs.get(), element) < 0 ? -1 : 1; });
    return ok ? pairs.release() : nullptr;
}

int init_prop(MessageObject* self, PyObject* name, PyObject* value, int) noexcept {
    Ref current(PyObject_GetAttr(as_object(self), name));
    if (current) return 0;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return PyObject_SetAttr(as_object(self), name, value);
}

[[nodiscard]] bool check_content(PyObject* content) noexcept {
    return qm::check_instance_arg(content, ContentType, "content");
}

PyObject* with_content(MessageObject* self, PyObject* content, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_with_content, QM_IMPL(py_with_content), &result, content);
        if (found) return found < 0 ? nullptr : result;
    }
    if (!check_content(content)) return nullptr;
    qm::replace_field_borrowed(&self->content, content);
    return Py_NewRef(as_object(self));
}

int has_body(MessageObject* self, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_has_body, QM_IMPL(py_has_body), &result);
        if (found) return found < 0 ? -1 : truth_of(result);
    }
    Ref content;
    if (!truthy_content(self, &content)) return -1;
    return content && reinterpret_cast<ContentObject*>(content.get())->length != 0;
}

// Whether the lowered `needle` occurs in `haystack` lowered.
bool contains_lowered(const char* haystack, size_t haystack_len, const char* needle, size_t needle_len) noexcept {
    if (needle_len == 0) return true;
    if (needle_len > haystack_len) return false;
    for (size_t i = 0; i + needle_len <= haystack_len; ++i) {
        if (qm::equals_lowered(haystack + i, needle_len, needle, needle_len)) return true;
    }
    return false;
}

int declares_content_type(MessageObject* self, PyObject* type, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_declares_content_type, QM_IMPL(py_declares_content_type), &result, type);
        if (found) return found < 0 ? -1 : truth_of(result);
    }
    if (!PyBytes_Check(type)) return (void)qm::raise_expected("bytes", type), -1;
    Ref declared(self->ops->content_type(self, 0));
    if (!declared) return -1;
    if (declared.get() == Py_None) return 0;
    if (!PyBytes_Check(declared.get())) return (void)qm::raise_expected("bytes", declared.get()), -1;
    if (PyBytes_GET_SIZE(declared.get()) == 0) return 0;
    qm::LoweredKey lowered(PyBytes_AS_STRING(type), static_cast<size_t>(PyBytes_GET_SIZE(type)));
    if (!lowered.data()) return PyErr_NoMemory(), -1;
    return contains_lowered(PyBytes_AS_STRING(declared.get()), static_cast<size_t>(PyBytes_GET_SIZE(declared.get())),
                            lowered.data(), lowered.size());
}

int declares_json(MessageObject* self, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_declares_json, QM_IMPL(py_declares_json), &result);
        if (found) return found < 0 ? -1 : truth_of(result);
    }
    return self->ops->declares_content_type(self, word_json, 0);
}

int declares_xml(MessageObject* self, int skip_dispatch) noexcept {
    if (!skip_dispatch) {
        PyObject* result;
        int found = dispatch(self, OP_declares_xml, QM_IMPL(py_declares_xml), &result);
        if (found) return found < 0 ? -1 : truth_of(result);
    }
    return self->ops->declares_content_type(self, word_xml, 0);
}

const MessageOps kMessageOps = {
    get_headers,
    get_first_header,
    get_single_header,
    remove_header,
    has_header_native,
    has_header,
    add_header_native,
    add_header_if_missing,
    add_header,
    set_header,
    content_type,
    remove_headers,
    get_headers_tuples,
    init_prop,
    with_content,
    has_body,
    declares_content_type,
    declares_json,
    declares_xml,
};

// ---------------------------------------------------------------------------------------------
// Charset detection. `_charset_rx` (charset=([\w\-]+), case-insensitive, over bytes) is the
// module's published pattern; the search below is the same match done in place: the first
// "charset=" in any letter case that is followed by at least one of A-Z a-z 0-9 _ -, and the
// longest run of those.

inline bool is_charset_char(unsigned char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// A new str with the charset named in `value` (bytes), None when there is none.
PyObject* parse_charset_bytes(PyObject* value) noexcept {
    static constexpr char kMarker[] = "charset=";
    constexpr size_t kMarkerLen = sizeof(kMarker) - 1;
    const char* data = PyBytes_AS_STRING(value);
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(value));
    for (size_t i = 0; i + kMarkerLen < size; ++i) {
        if (!qm::equals_lowered(data + i, kMarkerLen, kMarker, kMarkerLen)) continue;
        size_t start = i + kMarkerLen, end = start;
        while (end < size && is_charset_char(static_cast<unsigned char>(data[end]))) ++end;
        if (end > start) return PyUnicode_DecodeASCII(data + start, static_cast<Py_ssize_t>(end - start), nullptr);
    }
    return Py_NewRef(Py_None);
}

// ---------------------------------------------------------------------------------------------
// Python-visible wrappers.

const char* const kKeyParams[] = {"key"};
const char* const kKeyValueParams[] = {"key", "value"};
const char* const kTypeParams[] = {"type"};
const char* const kContentParams[] = {"content"};
const char* const kHeadersParams[] = {"headers"};

const qm::Signature kSigGetHeaders{"get_headers", kKeyParams, 1, 1};
const qm::Signature kSigGetFirstHeader{"get_first_header", kKeyParams, 1, 1};
const qm::Signature kSigGetSingleHeader{"get_single_header", kKeyParams, 1, 1};
const qm::Signature kSigRemoveHeader{"remove_header", kKeyParams, 1, 1};
const qm::Signature kSigHasHeader{"has_header", kKeyParams, 1, 1};
const qm::Signature kSigAddHeader{"add_header", kKeyValueParams, 2, 2};
const qm::Signature kSigSetHeader{"set_header", kKeyValueParams, 2, 2};
const qm::Signature kSigWithContent{"with_content", kContentParams, 1, 1};
const qm::Signature kSigDeclaresContentType{"declares_content_type", kTypeParams, 1, 1};
const qm::Signature kSigInit{"__init__", kHeadersParams, 1, 1};

[[nodiscard]] inline bool check_bytes(PyObject* obj, const char* arg) noexcept {
    return qm::check_exact_arg(obj, &PyBytes_Type, arg, false);
}

// Parses the single bytes argument `key`.
[[nodiscard]] inline bool parse_key(const qm::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, PyObject** key) noexcept {
    if (nargs == 1 && !kwnames) {
        *key = args[0];
    } else if (!qm::parse_args(sig, args, nargs, kwnames, key)) {
        return false;
    }
    return check_bytes(*key, "key");
}

[[nodiscard]] inline bool parse_key_value(const qm::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames, PyObject** out) noexcept {
    if (!qm::parse_args(sig, args, nargs, kwnames, out)) return false;
    return check_bytes(out[0], "key") && check_bytes(out[1], "value");
}

inline PyObject* none_or_null(int status) noexcept { return status < 0 ? nullptr : Py_NewRef(Py_None); }
inline PyObject* bool_or_null(int truth) noexcept { return truth < 0 ? nullptr : PyBool_FromLong(truth); }

PyObject* py_get_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key;
    if (!parse_key(kSigGetHeaders, args, nargs, kwnames, &key)) return nullptr;
    return get_headers(as_message(self), key, 1);
}

PyObject* py_get_first_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key;
    if (!parse_key(kSigGetFirstHeader, args, nargs, kwnames, &key)) return nullptr;
    return get_first_header(as_message(self), key, 1);
}

PyObject* py_get_single_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key;
    if (!parse_key(kSigGetSingleHeader, args, nargs, kwnames, &key)) return nullptr;
    return get_single_header(as_message(self), key, 1);
}

PyObject* py_remove_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key;
    if (!parse_key(kSigRemoveHeader, args, nargs, kwnames, &key)) return nullptr;
    return none_or_null(remove_header(as_message(self), key, 1));
}

PyObject* py_has_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key;
    if (!parse_key(kSigHasHeader, args, nargs, kwnames, &key)) return nullptr;
    return bool_or_null(has_header(as_message(self), key, 1));
}

PyObject* py_add_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* kv[2];
    if (!parse_key_value(kSigAddHeader, args, nargs, kwnames, kv)) return nullptr;
    return none_or_null(add_header(as_message(self), kv[0], kv[1], 1));
}

PyObject* py_set_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* kv[2];
    if (!parse_key_value(kSigSetHeader, args, nargs, kwnames, kv)) return nullptr;
    return none_or_null(set_header(as_message(self), kv[0], kv[1], 1));
}

PyObject* py_content_type(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qm::no_args("content_type", nargs, kwnames)) return nullptr;
    return content_type(as_message(self), 1);
}

PyObject* py_with_content(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* content;
    if (!qm::parse_args(kSigWithContent, args, nargs, kwnames, &content)) return nullptr;
    return with_content(as_message(self), content, 1);
}

PyObject* py_has_body(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qm::no_args("has_body", nargs, kwnames)) return nullptr;
    return bool_or_null(has_body(as_message(self), 1));
}

PyObject* py_declares_content_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* type;
    if (!qm::parse_args(kSigDeclaresContentType, args, nargs, kwnames, &type)) return nullptr;
    if (!check_bytes(type, "type")) return nullptr;
    return bool_or_null(declares_content_type(as_message(self), type, 1));
}

PyObject* py_declares_json(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qm::no_args("declares_json", nargs, kwnames)) return nullptr;
    return bool_or_null(declares_json(as_message(self), 1));
}

PyObject* py_declares_xml(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qm::no_args("declares_xml", nargs, kwnames)) return nullptr;
    return bool_or_null(declares_xml(as_message(self), 1));
}

// ---------------------------------------------------------------------------------------------
// Message: allocation, construction, GC, attributes.

PyObject* Message_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = reinterpret_cast<MessageObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->ops = &kMessageOps;
    self->_raw_headers = Py_NewRef(Py_None);
    self->_headers = Py_NewRef(Py_None);
    self->content = Py_NewRef(Py_None);
    self->_form_data = Py_NewRef(Py_None);
    self->context = Py_NewRef(Py_None);
    return as_object(self);
}

int Message_init(PyObject* obj, PyObject* args, PyObject* kwargs) {
    PyObject* headers;
    if (!qm::parse_tuple_args(kSigInit, args, kwargs, &headers)) return -1;
    if (!qm::check_exact_arg(headers, &PyList_Type, "headers")) return -1;
    MessageObject* self = as_message(obj);
    if (headers != Py_None && PyList_GET_SIZE(headers) > 0) {
        qm::replace_field_borrowed(&self->_raw_headers, headers);
    } else {
        PyObject* fresh = PyList_New(0);
        if (!fresh) return -1;
        qm::replace_field(&self->_raw_headers, fresh);
    }
    // A cached view wraps the list it was built over; a new list needs a new view.
    qm::replace_field_borrowed(&self->_headers, Py_None);
    return 0;
}

// Clearing puts None back rather than null, so a method reached during collection still finds
// well-formed fields; deallocation releases them to null.
using MessageFields = qm::ObjectFields<MessageObject, &MessageObject::_raw_headers, &MessageObject::_headers,
                                       &MessageObject::content, &MessageObject::_form_data, &MessageObject::context>;

PyObject* Message_get_headers_view(PyObject* obj, void*) {
    MessageObject* self = as_message(obj);
    if (self->_headers == Py_None) {
        Ref list = Ref::borrow(self->_raw_headers);
        PyObject* view = qm::headers::Headers_New(HeadersClasses, list.get());
        if (!view) return nullptr;
        qm::replace_field(&self->_headers, view);
    }
    return Py_NewRef(self->_headers);
}

PyObject* Message_get_charset(PyObject* obj, void*) {
    MessageObject* self = as_message(obj);
    Ref declared(self->ops->content_type(self, 0));
    if (!declared) return nullptr;
    if (declared.get() != Py_None) {
        if (!PyBytes_Check(declared.get())) return (void)qm::raise_expected("bytes", declared.get()), nullptr;
        if (PyBytes_GET_SIZE(declared.get()) > 0) {
            Ref charset(parse_charset_bytes(declared.get()));
            if (!charset) return nullptr;
            if (charset.get() != Py_None && PyUnicode_GET_LENGTH(charset.get()) > 0) return charset.release();
        }
    }
    return Py_NewRef(text_utf8);
}

int Message_set_cached_headers(PyObject* obj, PyObject* value, void*) {
    return qm::set_instance_field(&as_message(obj)->_headers, value, HeadersClasses.headers);
}

int Message_set_content(PyObject* obj, PyObject* value, void*) {
    return qm::set_instance_field(&as_message(obj)->content, value, ContentType);
}

#define QM_METHOD(name, doc) QM_FASTCALL_METHOD(#name, py_##name, doc)

PyMethodDef Message_methods[] = {
    QM_METHOD(get_headers, "get_headers($self, key)\n--\n\n"
                           "Values of every header named `key` (bytes, any letter case), in list order."),
    QM_METHOD(get_first_header, "get_first_header($self, key)\n--\n\n"
                                "Value of the first header named `key` (bytes, any letter case), or None."),
    QM_METHOD(get_single_header, "get_single_header($self, key)\n--\n\n"
                                 "The one value of the header named `key`; ValueError when there is none or "
                                 "more than one."),
    QM_METHOD(remove_header, "remove_header($self, key)\n--\n\n"
                             "Removes every header named `key` (any letter case); nothing to remove is fine."),
    QM_METHOD(has_header, "has_header($self, key)\n--\n\n"
                          "Whether a header named `key` (any letter case) is present."),
    QM_METHOD(add_header, "add_header($self, key, value)\n--\n\n"
                          "Appends the header (key, value), both bytes, after the others."),
    QM_METHOD(set_header, "set_header($self, key, value)\n--\n\n"
                          "Replaces every header named `key` by the one pair (key, value), placed last."),
    QM_METHOD(content_type, "content_type($self)\n--\n\n"
                            "Media type of the content when it declares one, else the content-type "
                            "header, else None."),
    QM_METHOD(with_content, "with_content($self, content)\n--\n\n"
                            "Sets the body content (a Content or None) and returns the message."),
    QM_METHOD(has_body, "has_body($self)\n--\n\n"
                        "Whether the content has a body: a non-zero length (negative means streamed)."),
    QM_METHOD(declares_content_type, "declares_content_type($self, type)\n--\n\n"
                                     "Whether the content type contains `type` (bytes), ignoring letter case."),
    QM_METHOD(declares_json, "declares_json($self)\n--\n\n"
                             "Whether the content type mentions json."),
    QM_METHOD(declares_xml, "declares_xml($self)\n--\n\n"
                            "Whether the content type mentions xml."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Message_getset[] = {
    {"headers", Message_get_headers_view, nullptr,
     "The Headers view over this message's header list, built on first read and kept.", nullptr},
    {"charset", Message_get_charset, nullptr,
     "The charset parameter of the content type, as written, or 'utf8'.", nullptr},
    {"_headers", qm::get_member<&MessageObject::_headers>, Message_set_cached_headers,
     "The cached Headers view, or None until `headers` is read.", nullptr},
    {"content", qm::get_member<&MessageObject::content>, Message_set_content, "The body content (a Content) or None.",
     nullptr},
    {"_form_data", qm::get_member<&MessageObject::_form_data>, qm::set_any_member<&MessageObject::_form_data>,
     "The parsed form, once read, or None.", nullptr},
    {"context", qm::get_member<&MessageObject::context>, qm::set_any_member<&MessageObject::context>,
     "Application data; never read by the framework.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Message_slots[] = {
    {Py_tp_doc, const_cast<char*>("Message(headers)\n--\n\n"
                                  "An HTTP message: its raw header list of (name, value) bytes pairs, adopted "
                                  "as given, and its body content.")},
    {Py_tp_new, reinterpret_cast<void*>(Message_new)},
    {Py_tp_init, reinterpret_cast<void*>(Message_init)},
    QM_GC_SLOTS(MessageFields::dealloc_with_weakrefs, MessageFields::traverse, MessageFields::clear_to_none),
    {Py_tp_methods, Message_methods},
    {Py_tp_getset, Message_getset},
    {0, nullptr},
};

PyType_Spec Message_spec = {
    "quillmoth.messages.Message",
    sizeof(MessageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF |
        Py_TPFLAGS_IMMUTABLETYPE,
    Message_slots,
};

// ---------------------------------------------------------------------------------------------
// Module functions.

int method_without_body_native(PyObject* method, int) noexcept {
    if (!method || !PyUnicode_Check(method) || PyUnicode_KIND(method) != PyUnicode_1BYTE_KIND) return 0;
    const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(method));
    switch (PyUnicode_GET_LENGTH(method)) {
        case 3: return std::memcmp(text, "GET", 3) == 0;
        case 4: return std::memcmp(text, "HEAD", 4) == 0;
        case 5: return std::memcmp(text, "TRACE", 5) == 0;
        default: return 0;
    }
}

const char* const kValueParams[] = {"value"};
const char* const kMethodParams[] = {"method"};
const qm::Signature kSigParseCharset{"parse_charset", kValueParams, 1, 1};
const qm::Signature kSigMethodWithoutBody{"method_without_body", kMethodParams, 1, 1};

PyObject* py_parse_charset(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value;
    if (!qm::parse_args(kSigParseCharset, args, nargs, kwnames, &value)) return nullptr;
    if (!check_bytes(value, "value")) return nullptr;
    return parse_charset_bytes(value);
}

PyObject* py_method_without_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* method;
    if (!qm::parse_args(kSigMethodWithoutBody, args, nargs, kwnames, &method)) return nullptr;
    if (!qm::check_exact_arg(method, &PyUnicode_Type, "method")) return nullptr;
    return PyBool_FromLong(method_without_body_native(method, 0));
}

PyMethodDef module_methods[] = {
    QM_METHOD(parse_charset, "parse_charset(value)\n--\n\n"
                             "The charset named in a content-type value (bytes) as a str, letter case as "
                             "written, or None."),
    QM_METHOD(method_without_body, "method_without_body(method)\n--\n\n"
                                   "Whether requests of this method (a str, exact case) carry no body: GET, HEAD "
                                   "and TRACE."),
    {nullptr, nullptr, 0, nullptr},
};

#undef QM_METHOD

const qm::Export kExports[] = {
    {kMethodWithoutBodyName, reinterpret_cast<void*>(method_without_body_native), kMethodWithoutBodySignature},
};

PyModuleDef module_def = qm::make_module_def(
    "quillmoth.messages",
    "HTTP messages: the Message base of requests and responses, and the scratchpad arena.",
    module_methods);

void release_state() noexcept {
    Py_CLEAR(MessageType);
    Py_CLEAR(ContentType);
    Py_CLEAR(HeadersClasses.header);
    Py_CLEAR(HeadersClasses.headers);
    Py_CLEAR(key_content_type);
    Py_CLEAR(word_json);
    Py_CLEAR(word_xml);
    Py_CLEAR(text_utf8);
    Py_CLEAR(name_remove);
    Py_CLEAR(index_zero);
    Py_CLEAR(index_one);
    for (PyObject*& name : op_names) Py_CLEAR(name);
}

// re.compile(rb"charset=([\w\-]+)", re.IGNORECASE)
PyObject* compile_charset_rx() noexcept {
    Ref re(PyImport_ImportModule("re"));
    if (!re) return nullptr;
    Ref flag(PyObject_GetAttrString(re.get(), "IGNORECASE"));
    if (!flag) return nullptr;
    Ref pattern(PyBytes_FromString("charset=([\\w\\-]+)"));
    if (!pattern) return nullptr;
    return PyObject_CallMethod(re.get(), "compile", "OO", pattern.get(), flag.get());
}

PyObject* init_module() noexcept {
    if (!qm::headers::import_headers_types(&HeadersClasses)) return nullptr;
    ContentType = qm::import_type("quillmoth.contents", "Content");
    if (!ContentType) return nullptr;
    // Session is imported from its module when this one loads, though nothing of it is used here.
    Ref session(reinterpret_cast<PyObject*>(qm::import_type("quillmoth.sessions", "Session")));
    if (!session) return nullptr;

    if (!qm::intern_names(kOverridableNames, op_names, OP_count)) return nullptr;
    key_content_type = PyBytes_FromString("content-type");
    word_json = PyBytes_FromString("json");
    word_xml = PyBytes_FromString("xml");
    text_utf8 = PyUnicode_InternFromString("utf8");
    name_remove = PyUnicode_InternFromString("remove");
    index_zero = PyLong_FromLong(0);
    index_one = PyLong_FromLong(1);
    if (!key_content_type || !word_json || !word_xml || !text_utf8 || !name_remove || !index_zero || !index_one) {
        return nullptr;
    }

    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    MessageType = reinterpret_cast<PyTypeObject*>(qm::add_module_type(module.get(), &Message_spec));
    if (!MessageType) return nullptr;

    Ref charset_rx(compile_charset_rx());
    if (!charset_rx || PyModule_AddObjectRef(module.get(), "_charset_rx", charset_rx.get()) < 0) return nullptr;
    if (!qm::publish_exports(module.get(), kExports, sizeof(kExports) / sizeof(kExports[0]))) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace qm::messages

PyMODINIT_FUNC PyInit_messages(void) {
    PyObject* module = qm::messages::init_module();
    if (!module) qm::messages::release_state();
    return module;
}
