// quillmoth.messages: the Message base of requests and responses, with its header operations on
// the raw header list, content inspection and charset detection; the module functions
// parse_charset and method_without_body; and the module's init, which binds what the units import
// and runs each unit's init (messages_module.h). The scratchpad arena (scratchpad.cpp) is linked in
// and exported under its plain symbol names.
#include "messages_module.h"

#include "common/header_list.h"

#include <cstdint>
#include <cstring>

namespace qm::messages {

Imports g_imports;
PyTypeObject* g_message_type = nullptr;
PyTypeObject* g_request_type = nullptr;
PyTypeObject* g_response_type = nullptr;

namespace {

using qm::Ref;
using qm::contents::ContentObject;

// ---------------------------------------------------------------------------------------------
// Module state (one interpreter, single-phase init): classes imported from the siblings, the
// Message class, interned names and constants.


PyObject* g_key_content_type = nullptr;  // b"content-type"
PyObject* g_word_json = nullptr;         // b"json"
PyObject* g_word_xml = nullptr;          // b"xml"
PyObject* g_index_zero = nullptr;
PyObject* g_index_one = nullptr;

// The Python-visible operations first (a Python subclass may redefine them), in table order.
enum Name {
    N_GET_HEADERS,
    N_GET_FIRST_HEADER,
    N_GET_SINGLE_HEADER,
    N_REMOVE_HEADER,
    N_HAS_HEADER,
    N_ADD_HEADER,
    N_SET_HEADER,
    N_CONTENT_TYPE,
    N_WITH_CONTENT,
    N_HAS_BODY,
    N_DECLARES_CONTENT_TYPE,
    N_DECLARES_JSON,
    N_DECLARES_XML,
    N_OPS_COUNT,
    N_UTF8 = N_OPS_COUNT,
    N_COUNT
};
constexpr const char* kNameTexts[N_COUNT] = {
    "get_headers", "get_first_header", "get_single_header",     "remove_header", "has_header",
    "add_header",  "set_header",       "content_type",          "with_content",  "has_body",
    "declares_content_type", "declares_json", "declares_xml",   "utf8",
};
qm::InternedNames<N_COUNT> g_names{kNameTexts};
qm::Overridable g_overridables[N_OPS_COUNT];


// ---------------------------------------------------------------------------------------------
// Header matching on the raw list (the scans of common/header_list.h). The key is lowered once (on
// the stack for any usual name); stored names must be bytes, and an element that is not a plain
// pair is indexed (or, for _has_header, unpacked) the general way.

[[nodiscard]] qm::Failure raise_not_a_list(PyObject* list) noexcept {
    if (list == Py_None) return qm::raise_not_iterable(list);
    return qm::raise_expected("list", list);
}

// Whether the stored `name` matches the lowered key; names must be bytes.
[[nodiscard]] inline int name_matches(PyObject* name, const qm::LoweredKey& key) noexcept {
    if (QM_UNLIKELY(!PyBytes_Check(name))) return qm::raise_expected("bytes", name);
    return qm::bytes_name_matches(name, key.data(), key.size());
}

// The checks every lookup makes before its scan: a bytes key (lowered into `lowered`) and a list.
[[nodiscard]] bool check_lookup(PyObject* list, PyObject* key) noexcept {
    if (QM_UNLIKELY(!PyBytes_Check(key))) return qm::raise_expected("bytes", key);
    if (QM_UNLIKELY(!PyList_Check(list))) return raise_not_a_list(list);
    return true;
}

// Calls `on_match(element)` for each element of `list` whose name (item 0) matches `key`, in list
// order, with scan_header_list's callback convention (0 go on, 1 stop, -1 error).
template <typename OnMatch>
[[nodiscard]] int scan_matching(PyObject* list, PyObject* key, OnMatch&& on_match) noexcept {
    if (!check_lookup(list, key)) return -1;
    qm::LoweredKey lowered(PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key)));
    if (QM_UNLIKELY(!lowered.data())) return qm::raise_no_memory();
    return qm::scan_header_list<qm::PairShape::Indexed>(
        list, lowered.data(), lowered.size(),
        [&lowered](PyObject* element) -> int {
            // A tuple with a name that is not exact bytes, or any other element: indexed as a
            // sequence (None fails there).
            Ref name(PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) > 0
                         ? Py_NewRef(PyTuple_GET_ITEM(element, 0))
                         : PyObject_GetItem(element, g_index_zero));
            if (!name) return -1;
            return name_matches(name.get(), lowered);
        },
        on_match);
}

// Item 1 of a matching element (a new reference).
PyObject* element_value(PyObject* element) noexcept {
    if (PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) > 1) return Py_NewRef(PyTuple_GET_ITEM(element, 1));
    return PyObject_GetItem(element, g_index_one);
}

// Whether any element of `list` is named `key`; elements are unpacked into exactly two items.
int list_has_header(PyObject* list, PyObject* key) noexcept {
    if (!check_lookup(list, key)) return -1;
    qm::LoweredKey lowered(PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key)));
    if (QM_UNLIKELY(!lowered.data())) return qm::raise_no_memory();
    return qm::scan_header_list<qm::PairShape::Pair>(
        list, lowered.data(), lowered.size(),
        [&lowered](PyObject* element) -> int {
            Ref name, value;
            if (PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) == 2) {
                name.reset_borrowed(PyTuple_GET_ITEM(element, 0));
            } else if (!qm::unpack_pair(element, name, value)) {
                return -1;
            }
            return name_matches(name.get(), lowered);
        },
        [](PyObject*) -> int { return 1; });
}

// Appends the pair (key, value) to the message's list.
int append_pair(MessageObject* self, PyObject* key, PyObject* value) noexcept {
    if (QM_UNLIKELY(!PyList_Check(self->_raw_headers))) return qm::raise_no_attribute(self->_raw_headers, "append");
    Ref pair(PyTuple_Pack(2, key, value));
    if (!pair) return -1;
    return PyList_Append(self->_raw_headers, pair.get());
}

// ---------------------------------------------------------------------------------------------
// Operations. Each Python-visible one opens with the dispatch step (a Python subclass that
// redefines the method gets the call) and has a wrapper (py_message_*) that checks its arguments
// and calls the implementation with skip_dispatch 1; internal and sibling calls go through the
// table. The native-only operations have no Python method, hence no dispatch.

PyObject* message_get_headers(MessageObject* self, PyObject* key, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_GET_HEADERS].dispatch(self, skip_dispatch, key)) return call.result;
    Ref values(PyList_New(0));
    if (!values) return nullptr;
    Ref list = Ref::borrow(self->_raw_headers);
    int r = scan_matching(list.get(), key, [&](PyObject* element) -> int {
        Ref value(element_value(element));
        if (!value || PyList_Append(values.get(), value.get()) < 0) return -1;
        return 0;
    });
    return r < 0 ? nullptr : values.release();
}

PyObject* message_get_first_header(MessageObject* self, PyObject* key, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_GET_FIRST_HEADER].dispatch(self, skip_dispatch, key)) return call.result;
    Ref value;
    Ref list = Ref::borrow(self->_raw_headers);
    int r = scan_matching(list.get(), key, [&](PyObject* element) -> int {
        value.reset(element_value(element));
        return value ? 1 : -1;
    });
    if (r < 0) return nullptr;
    return value ? value.release() : Py_NewRef(Py_None);
}

PyObject* message_get_single_header(MessageObject* self, PyObject* key, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_GET_SINGLE_HEADER].dispatch(self, skip_dispatch, key)) return call.result;
    Ref values(self->ops->get_headers(self, key, 0));
    if (!values) return nullptr;
    Py_ssize_t count = PyObject_Size(values.get());
    if (count < 0) return nullptr;
    if (count > 1) return qm::raise_error(PyExc_ValueError, "Headers contains more than one header with the given key");
    if (count == 0) return qm::raise_error(PyExc_ValueError, "Headers does not contain one header with the given key");
    return PySequence_GetItem(values.get(), 0);
}

int message_remove_header(MessageObject* self, PyObject* key, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_REMOVE_HEADER].dispatch(self, skip_dispatch, key)) return qm::as_status(call.result);
    // Collect first, remove afterwards: the list is never changed while it is walked.
    Ref list = Ref::borrow(self->_raw_headers);
    Ref matching;
    int r = scan_matching(list.get(), key, [&](PyObject* element) -> int {
        if (!matching) {
            matching.reset(PyList_New(0));
            if (!matching) return -1;
        }
        return PyList_Append(matching.get(), element);
    });
    if (r < 0) return -1;
    if (!matching) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(matching.get()); ++i) {
        if (qm::list_remove(list.get(), PyList_GET_ITEM(matching.get(), i)) < 0) return -1;
    }
    return 0;
}

// `_has_header`: has_header without the dispatch step (native only).
int message_has_header_no_dispatch(MessageObject* self, PyObject* key, int) noexcept {
    Ref list = Ref::borrow(self->_raw_headers);
    return list_has_header(list.get(), key);
}

int message_has_header(MessageObject* self, PyObject* key, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_HAS_HEADER].dispatch(self, skip_dispatch, key)) return qm::as_truth(call.result);
    return self->ops->_has_header(self, key, 0);
}

// `_add_header`: add_header without the dispatch step (native only; the response writer's call).
int message_add_header_no_dispatch(MessageObject* self, PyObject* key, PyObject* value, int) noexcept {
    return append_pair(self, key, value);
}

int message_add_header_if_missing(MessageObject* self, PyObject* key, PyObject* value, int) noexcept {
    int present = self->ops->_has_header(self, key, 0);
    if (present != 0) return present < 0 ? -1 : 0;
    return self->ops->_add_header(self, key, value, 0);
}

int message_add_header(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_ADD_HEADER].dispatch(self, skip_dispatch, key, value)) {
        return qm::as_status(call.result);
    }
    return append_pair(self, key, value);
}

int message_set_header(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_SET_HEADER].dispatch(self, skip_dispatch, key, value)) {
        return qm::as_status(call.result);
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
    if (truth && PyObject_TypeCheck(content.get(), g_imports.content_type)) *out = std::move(content);
    return true;
}

PyObject* message_content_type(MessageObject* self, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_CONTENT_TYPE].dispatch(self, skip_dispatch)) return call.result;
    Ref content;
    if (!truthy_content(self, &content)) return nullptr;
    if (content) {
        PyObject* type = reinterpret_cast<ContentObject*>(content.get())->type;
        if (type && PyBytes_Check(type) && PyBytes_GET_SIZE(type) > 0) return Py_NewRef(type);
    }
    return self->ops->get_first_header(self, g_key_content_type, 0);
}

// `remove_headers`: removes given pairs (not names) from the list, each by list removal.
int message_remove_pairs(MessageObject* self, PyObject* pairs, int) noexcept {
    Ref list = Ref::borrow(self->_raw_headers);
    Ref iterator(PyObject_GetIter(pairs));
    if (!iterator) return -1;
    while (Ref pair{PyIter_Next(iterator.get())}) {
        if (!PyList_Check(list.get())) return qm::raise_no_attribute(list.get(), "remove");
        if (qm::list_remove(list.get(), pair.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* message_get_headers_tuples(MessageObject* self, PyObject* key, int) noexcept {
    Ref pairs(PyList_New(0));
    if (!pairs) return nullptr;
    Ref list = Ref::borrow(self->_raw_headers);
    int r = scan_matching(list.get(), key, [&](PyObject* element) -> int { return PyList_Append(pairs.get(), element); });
    return r < 0 ? nullptr : pairs.release();
}

int message_init_prop(MessageObject* self, PyObject* name, PyObject* value, int) noexcept {
    Ref current(PyObject_GetAttr(as_object(self), name));
    if (current) return 0;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return PyObject_SetAttr(as_object(self), name, value);
}

PyObject* message_with_content(MessageObject* self, PyObject* content, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_WITH_CONTENT].dispatch(self, skip_dispatch, content)) return call.result;
    if (!qm::check_instance_arg(content, g_imports.content_type, "content")) return nullptr;
    qm::replace_field_borrowed(&self->content, content);
    return Py_NewRef(as_object(self));
}

int message_has_body(MessageObject* self, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_HAS_BODY].dispatch(self, skip_dispatch)) return qm::as_truth(call.result);
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

int message_declares_content_type(MessageObject* self, PyObject* type, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_DECLARES_CONTENT_TYPE].dispatch(self, skip_dispatch, type)) {
        return qm::as_truth(call.result);
    }
    if (!PyBytes_Check(type)) return qm::raise_expected("bytes", type);
    Ref declared(self->ops->content_type(self, 0));
    if (!declared) return -1;
    if (declared.get() == Py_None) return 0;
    if (!PyBytes_Check(declared.get())) return qm::raise_expected("bytes", declared.get());
    if (PyBytes_GET_SIZE(declared.get()) == 0) return 0;
    qm::LoweredKey lowered(PyBytes_AS_STRING(type), static_cast<size_t>(PyBytes_GET_SIZE(type)));
    if (!lowered.data()) return qm::raise_no_memory();
    return contains_lowered(PyBytes_AS_STRING(declared.get()), static_cast<size_t>(PyBytes_GET_SIZE(declared.get())),
                            lowered.data(), lowered.size());
}

int message_declares_json(MessageObject* self, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_DECLARES_JSON].dispatch(self, skip_dispatch)) return qm::as_truth(call.result);
    return self->ops->declares_content_type(self, g_word_json, 0);
}

int message_declares_xml(MessageObject* self, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_DECLARES_XML].dispatch(self, skip_dispatch)) return qm::as_truth(call.result);
    return self->ops->declares_content_type(self, g_word_xml, 0);
}

}  // namespace

const MessageOps kMessageOps = {
    message_get_headers,
    message_get_first_header,
    message_get_single_header,
    message_remove_header,
    message_has_header_no_dispatch,
    message_has_header,
    message_add_header_no_dispatch,
    message_add_header_if_missing,
    message_add_header,
    message_set_header,
    message_content_type,
    message_remove_pairs,
    message_get_headers_tuples,
    message_init_prop,
    message_with_content,
    message_has_body,
    message_declares_content_type,
    message_declares_json,
    message_declares_xml,
};

namespace {

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

PyObject* py_message_get_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key;
    if (!parse_key(kSigGetHeaders, args, nargs, kwnames, &key)) return nullptr;
    return message_get_headers(as_message(self), key, 1);
}

PyObject* py_message_get_first_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key;
    if (!parse_key(kSigGetFirstHeader, args, nargs, kwnames, &key)) return nullptr;
    return message_get_first_header(as_message(self), key, 1);
}

PyObject* py_message_get_single_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key;
    if (!parse_key(kSigGetSingleHeader, args, nargs, kwnames, &key)) return nullptr;
    return message_get_single_header(as_message(self), key, 1);
}

PyObject* py_message_remove_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key;
    if (!parse_key(kSigRemoveHeader, args, nargs, kwnames, &key)) return nullptr;
    return none_or_null(message_remove_header(as_message(self), key, 1));
}

PyObject* py_message_has_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* key;
    if (!parse_key(kSigHasHeader, args, nargs, kwnames, &key)) return nullptr;
    return bool_or_null(message_has_header(as_message(self), key, 1));
}

PyObject* py_message_add_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* kv[2];
    if (!parse_key_value(kSigAddHeader, args, nargs, kwnames, kv)) return nullptr;
    return none_or_null(message_add_header(as_message(self), kv[0], kv[1], 1));
}

PyObject* py_message_set_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* kv[2];
    if (!parse_key_value(kSigSetHeader, args, nargs, kwnames, kv)) return nullptr;
    return none_or_null(message_set_header(as_message(self), kv[0], kv[1], 1));
}

PyObject* py_message_content_type(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qm::no_args("content_type", nargs, kwnames)) return nullptr;
    return message_content_type(as_message(self), 1);
}

PyObject* py_message_with_content(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* content;
    if (!qm::parse_args(kSigWithContent, args, nargs, kwnames, &content)) return nullptr;
    return message_with_content(as_message(self), content, 1);
}

PyObject* py_message_has_body(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qm::no_args("has_body", nargs, kwnames)) return nullptr;
    return bool_or_null(message_has_body(as_message(self), 1));
}

PyObject* py_message_declares_content_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* type;
    if (!qm::parse_args(kSigDeclaresContentType, args, nargs, kwnames, &type)) return nullptr;
    if (!check_bytes(type, "type")) return nullptr;
    return bool_or_null(message_declares_content_type(as_message(self), type, 1));
}

PyObject* py_message_declares_json(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qm::no_args("declares_json", nargs, kwnames)) return nullptr;
    return bool_or_null(message_declares_json(as_message(self), 1));
}

PyObject* py_message_declares_xml(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qm::no_args("declares_xml", nargs, kwnames)) return nullptr;
    return bool_or_null(message_declares_xml(as_message(self), 1));
}

// ---------------------------------------------------------------------------------------------
// Message: allocation, construction, GC, attributes.

PyObject* message_new(PyTypeObject* type, PyObject*, PyObject*) {
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

int message_init(PyObject* obj, PyObject* args, PyObject* kwargs) {
    PyObject* headers;
    if (!qm::parse_tuple_args(kSigInit, args, kwargs, &headers)) return -1;
    if (!qm::check_exact_arg(headers, &PyList_Type, "headers")) return -1;
    return adopt_header_list(as_message(obj), headers, false) ? 0 : -1;
}

// Clearing puts None back rather than null, so a method reached during collection still finds
// well-formed fields; deallocation releases them to null.

PyObject* message_get_headers_view(PyObject* obj, void*) {
    MessageObject* self = as_message(obj);
    if (self->_headers == Py_None) {
        Ref list = Ref::borrow(self->_raw_headers);
        PyObject* view = qm::headers::Headers_New(g_imports.headers, list.get());
        if (!view) return nullptr;
        qm::replace_field(&self->_headers, view);
    }
    return Py_NewRef(self->_headers);
}

PyObject* message_get_charset(PyObject* obj, void*) {
    MessageObject* self = as_message(obj);
    Ref declared(self->ops->content_type(self, 0));
    if (!declared) return nullptr;
    if (declared.get() != Py_None) {
        if (!PyBytes_Check(declared.get())) return qm::raise_expected("bytes", declared.get());
        if (PyBytes_GET_SIZE(declared.get()) > 0) {
            Ref charset(parse_charset_bytes(declared.get()));
            if (!charset) return nullptr;
            if (charset.get() != Py_None && PyUnicode_GET_LENGTH(charset.get()) > 0) return charset.release();
        }
    }
    return Py_NewRef(g_names[N_UTF8]);
}

int message_set_cached_headers(PyObject* obj, PyObject* value, void*) {
    return qm::set_instance_field(&as_message(obj)->_headers, value, g_imports.headers.headers);
}

int message_set_content(PyObject* obj, PyObject* value, void*) {
    return qm::set_instance_field(&as_message(obj)->content, value, g_imports.content_type);
}

#define QM_METHOD(name, doc) QM_FASTCALL_METHOD(#name, py_message_##name, doc)

PyMethodDef message_methods[] = {
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

#undef QM_METHOD

PyGetSetDef message_getset[] = {
    {"headers", message_get_headers_view, nullptr,
     "The Headers view over this message's header list, built on first read and kept.", nullptr},
    {"charset", message_get_charset, nullptr,
     "The charset parameter of the content type, as written, or 'utf8'.", nullptr},
    {"_headers", qm::get_member<&MessageObject::_headers>, message_set_cached_headers,
     "The cached Headers view, or None until `headers` is read.", nullptr},
    {"content", qm::get_member<&MessageObject::content>, message_set_content, "The body content (a Content) or None.",
     nullptr},
    {"_form_data", qm::get_member<&MessageObject::_form_data>, qm::set_any_member<&MessageObject::_form_data>,
     "The parsed form, once read, or None.", nullptr},
    {"context", qm::get_member<&MessageObject::context>, qm::set_any_member<&MessageObject::context>,
     "Application data; never read by the framework.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot message_slots[] = {
    {Py_tp_doc, const_cast<char*>("Message(headers)\n--\n\n"
                                  "An HTTP message: its raw header list of (name, value) bytes pairs and its "
                                  "body content. A non-empty list is adopted as given (the very list, not a "
                                  "copy); None or an empty list gives the message a new list of its own.")},
    {Py_tp_new, reinterpret_cast<void*>(message_new)},
    {Py_tp_init, reinterpret_cast<void*>(message_init)},
    QM_GC_SLOTS(MessageFields::dealloc_with_weakrefs, MessageFields::traverse, MessageFields::clear_to_none),
    {Py_tp_methods, message_methods},
    {Py_tp_getset, message_getset},
    {0, nullptr},
};

PyType_Spec message_spec = {
    "quillmoth.messages.Message",
    sizeof(MessageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF |
        Py_TPFLAGS_IMMUTABLETYPE,
    message_slots,
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
    QM_FASTCALL_METHOD("parse_charset", py_parse_charset, "parse_charset(value)\n--\n\n"
                             "The charset named in a content-type value (bytes) as a str, letter case as "
                             "written, or None."),
    QM_FASTCALL_METHOD("method_without_body", py_method_without_body, "method_without_body(method)\n--\n\n"
                                   "Whether requests of this method (a str, exact case) carry no body: GET, HEAD "
                                   "and TRACE."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = qm::make_module_def(
    "quillmoth.messages",
    "HTTP messages: the Message base of requests and responses, and the scratchpad arena.",
    module_methods);

void release_imports() noexcept {
    Imports& i = g_imports;
    qm::clear_refs(i.content_type, i.cookie_type, i.headers.header, i.headers.headers, i.url.url_type, i.asgi_content,
                   i.bad_request, i.bad_request_format, i.failed_request_error, i.message_aborted, i.identity,
                   i.utcnow, i.json_settings, i.encodings_settings, i.http_status, i.parse_qs, i.urlencode,
                   i.timedelta_year);
    i = Imports{};
}

void release_state() noexcept {
    release_forms_unit();
    release_pools_unit();
    release_body_unit();
    release_response_unit();
    release_request_unit();
    qm::clear_refs(g_message_type, g_request_type, g_response_type, g_key_content_type, g_word_json, g_word_xml,
                   g_index_zero, g_index_one);
    release_imports();
    g_names.release();
    for (qm::Overridable& op : g_overridables) op.unbind();
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

// datetime.timedelta(days=365)
PyObject* make_timedelta_year() noexcept {
    Ref timedelta(qm::import_attr("datetime", "timedelta"));
    if (!timedelta) return nullptr;
    Ref days(PyLong_FromLong(365));
    if (!days) return nullptr;
    return PyObject_CallOneArg(timedelta.get(), days.get());
}

// The classes and functions of the siblings and the companion modules; any missing one fails the
// import with ImportError.
[[nodiscard]] bool bind_imports() noexcept {
    Imports& i = g_imports;
    if (!qm::headers::import_headers_types(&i.headers) ||
        !(i.content_type = qm::import_native_type("quillmoth.contents", "Content"))) {
        return false;
    }
    qm::ImportedApi contents_api;
    if (!qm::url::import_url_api(&i.url) || !qm::cookies::import_cookies_api(&i.cookies) ||
        !(i.cookie_type = qm::import_native_type("quillmoth.cookies", "Cookie")) ||
        !contents_api.open("quillmoth.contents") ||
        !contents_api.bind(contents::kParseWwwFormUrlencodedName, contents::kParseWwwFormUrlencodedSignature,
                           &i.parse_www_form_urlencoded)) {
        return false;
    }
    // The session of a request (its `session` property) is a quillmoth.sessions.Session that the
    // sessions layer puts there. Importing the class when this module loads makes a missing or
    // broken sessions module fail here, at start-up, instead of in the first request that uses
    // sessions. Nothing of it is called here, so the class is not kept.
    Ref session(reinterpret_cast<PyObject*>(qm::import_class("quillmoth.sessions", "Session")));
    if (!session) return false;
    struct Attr {
        PyObject** slot;
        const char* module;
        const char* name;
    };
    const Attr attrs[] = {
        {&i.asgi_content, "quillmoth.contents", "ASGIContent"},
        {&i.bad_request, "quillmoth.exceptions", "BadRequest"},
        {&i.bad_request_format, "quillmoth.exceptions", "BadRequestFormat"},
        {&i.failed_request_error, "quillmoth.exceptions", "FailedRequestError"},
        {&i.message_aborted, "quillmoth.exceptions", "MessageAborted"},
        {&i.identity, "vellumgate", "Identity"},
        {&i.utcnow, "quillmoth.utils.time", "utcnow"},
        {&i.json_settings, "quillmoth.settings.json", "json_settings"},
        {&i.encodings_settings, "quillmoth.settings.encodings", "encodings_settings"},
        {&i.http_status, "http", "HTTPStatus"},
        {&i.parse_qs, "urllib.parse", "parse_qs"},
        {&i.urlencode, "urllib.parse", "urlencode"},
    };
    for (const Attr& attr : attrs) {
        if (!(*attr.slot = qm::import_attr(attr.module, attr.name))) return false;
    }
    i.timedelta_year = make_timedelta_year();
    return i.timedelta_year != nullptr;
}

PyObject* build_module() noexcept {
    if (!bind_imports() || !g_names.intern()) return nullptr;
    g_key_content_type = PyBytes_FromString("content-type");
    g_word_json = PyBytes_FromString("json");
    g_word_xml = PyBytes_FromString("xml");
    g_index_zero = PyLong_FromLong(0);
    g_index_one = PyLong_FromLong(1);
    if (!g_key_content_type || !g_word_json || !g_word_xml || !g_index_zero || !g_index_one) return nullptr;

    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    g_message_type = qm::add_module_type(module.get(), &message_spec);
    if (!g_message_type) return nullptr;
    if (!qm::bind_overridables(g_overridables, N_OPS_COUNT, g_message_type, g_names.data())) return nullptr;

    Ref charset_rx(compile_charset_rx());
    if (!charset_rx || PyModule_AddObjectRef(module.get(), "_charset_rx", charset_rx.get()) < 0) return nullptr;
    const qm::Export exports[] = {
        {kMethodWithoutBodyName, reinterpret_cast<void*>(method_without_body_native), kMethodWithoutBodySignature},
    };
    if (!qm::publish_exports(module.get(), exports, sizeof(exports) / sizeof(exports[0]))) return nullptr;
    const qm::TypeExport types[] = {{"Message", g_message_type}};
    if (!qm::publish_types(module.get(), types, 1)) return nullptr;
    if (!init_request_unit(module.get()) || !init_response_unit(module.get()) || !init_body_unit(module.get()) ||
        !init_pools_unit(module.get()) || !init_forms_unit(module.get())) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

PyObject* message_charset(MessageObject* self) noexcept { return message_get_charset(as_object(self), nullptr); }

bool adopt_header_list(MessageObject* self, PyObject* headers, bool adopt_empty) noexcept {
    if (headers != Py_None && (adopt_empty || PyList_GET_SIZE(headers) > 0)) {
        qm::replace_field_borrowed(&self->_raw_headers, headers);
    } else {
        PyObject* fresh = PyList_New(0);
        if (!fresh) return false;
        qm::replace_field(&self->_raw_headers, fresh);
    }
    // A cached view wraps the list it was built over; a new list needs a new view.
    qm::replace_field_borrowed(&self->_headers, Py_None);
    return true;
}

int dispose_content(MessageObject* self) noexcept {
    if (self->content == Py_None) return 0;
    Ref content = Ref::borrow(self->content);
    if (PyObject_TypeCheck(content.get(), g_imports.content_type)) {
        auto* native = reinterpret_cast<contents::ContentObject*>(content.get());
        if (qm::as_status(native->ops->dispose(native, 0)) < 0) return -1;
    } else if (qm::as_status(PyObject_CallMethod(content.get(), "dispose", nullptr)) < 0) {
        return -1;
    }
    qm::replace_field_borrowed(&self->content, Py_None);
    return 0;
}

}  // namespace qm::messages

PyMODINIT_FUNC PyInit_messages(void) {
    return qm::init_module(qm::messages::build_module, qm::messages::release_state);
}
