// quillmoth.url: the immutable URL value type over bytes, the helpers that assemble absolute URLs
// and mounted paths, and private entry points of the shared percent codec.
//
// A URL is split once, when it is made, by httptools' parse_url; every component is kept as the
// bytes object the splitter produced. Derived URLs (join, base_url, with_*) are built by byte
// concatenation into one buffer and parsed again from scratch.

#include "url.h"

#include "common/native.h"
#include "common/percent.h"

#include <cstdio>
#include <cstring>

namespace {

using qm::Ref;
using qm::url::URLObject;
using qm::url::URLOps;

// ---------------------------------------------------------------------------------------------
// Module state (one interpreter; set once at init and kept for the process)

PyTypeObject* g_url_type = nullptr;
PyTypeObject* g_invalid_url_type = nullptr;
PyObject* g_parse_url = nullptr;    // httptools.parse_url
PyObject* g_restore_url = nullptr;  // this module's _restore_url, named by __reduce__

// The overridable operations first, in table order.
enum Name { N_JOIN, N_BASE_URL, N_WITH_HOST, N_WITH_SCHEME, N_WITH_QUERY, N_OPS_COUNT, N_DICT = N_OPS_COUNT, N_COUNT };
constexpr const char* kNameTexts[N_COUNT] = {"join", "base_url", "with_host", "with_scheme", "with_query", "__dict__"};
qm::InternedNames<N_COUNT> g_names{kNameTexts};
qm::Overridable g_overridables[N_OPS_COUNT];

// The components of the splitter's result. When the result has the class seen at init and the
// attribute is a plain getset descriptor of that class, its getter is called directly instead of
// going through attribute lookup; anything else takes the generic getattr path.
enum SplitField { kSchema, kHost, kPort, kPath, kQuery, kFragment, kSplitCount };
const char* const kSplitNames[kSplitCount] = {"schema", "host", "port", "path", "query", "fragment"};
struct SplitGetter {
    PyObject* name = nullptr;
    getter get = nullptr;
    void* closure = nullptr;
};
SplitGetter g_split[kSplitCount];
PyTypeObject* g_split_type = nullptr;

// The operation table of URL itself, defined after the operations.
extern const URLOps kURLOps;

// Released objects of the exact class, kept for reuse (untracked, fields cleared). URL values are
// made and dropped once or more per request; reuse saves the allocator round trip.
constexpr int kFreeListCapacity = 256;
URLObject* g_free_urls[kFreeListCapacity];
int g_free_count = 0;

inline bool is_url(PyObject* obj) noexcept { return PyObject_TypeCheck(obj, g_url_type); }
inline URLObject* as_url(PyObject* obj) noexcept { return reinterpret_cast<URLObject*>(obj); }

// ---------------------------------------------------------------------------------------------
// Small byte helpers

inline const char* bytes_data(PyObject* b) noexcept { return PyBytes_AS_STRING(b); }
inline Py_ssize_t bytes_size(PyObject* b) noexcept { return PyBytes_GET_SIZE(b); }

// Whether a bytes-or-None field holds at least one byte.
inline bool non_empty(PyObject* field) noexcept { return field != Py_None && bytes_size(field) > 0; }

inline bool bytes_equal(PyObject* b, const char* text, Py_ssize_t len) noexcept {
    return bytes_size(b) == len && std::memcmp(bytes_data(b), text, static_cast<size_t>(len)) == 0;
}

// The TypeError "b'...' + None" raises.
PyObject* raise_concat_error(PyObject* piece) noexcept {
    return qm::raise_format(PyExc_TypeError, "can't concat %.100s to bytes", Py_TYPE(piece)->tp_name);
}

// Gathers the pieces of a URL text and makes one bytes object of them with a single allocation.
class BytesBuilder {
public:
    // A bytes piece that must be present: None makes finish() raise the concatenation TypeError.
    void add(PyObject* bytes) noexcept {
        if (bytes == Py_None || !PyBytes_Check(bytes)) {
            if (!bad_) bad_ = bytes;
            return;
        }
        add(bytes_data(bytes), bytes_size(bytes));
    }
    void add(const char* data, Py_ssize_t size) noexcept {
        if (count_ == kMaxPieces || size > PY_SSIZE_T_MAX - total_) {
            overflow_ = true;
            return;
        }
        pieces_[count_++] = {data, size};
        total_ += size;
    }
    void add_literal(const char* text) noexcept { add(text, static_cast<Py_ssize_t>(std::strlen(text))); }
    void add_port(int32_t port) noexcept {
        int n = std::snprintf(port_text_, sizeof(port_text_), ":%d", static_cast<int>(port));
        add(port_text_, n);
    }

    [[nodiscard]] PyObject* finish() noexcept {
        if (bad_) return raise_concat_error(bad_);
        if (overflow_) return PyErr_NoMemory();
        PyObject* out = PyBytes_FromStringAndSize(nullptr, total_);
        if (!out) return nullptr;
        char* dst = PyBytes_AS_STRING(out);
        for (int i = 0; i < count_; ++i) {
            if (pieces_[i].size) std::memcpy(dst, pieces_[i].data, static_cast<size_t>(pieces_[i].size));
            dst += pieces_[i].size;
        }
        return out;
    }

private:
    static constexpr int kMaxPieces = 16;
    struct Piece {
        const char* data;
        Py_ssize_t size;
    };
    Piece pieces_[kMaxPieces];
    int count_ = 0;
    Py_ssize_t total_ = 0;
    PyObject* bad_ = nullptr;
    bool overflow_ = false;
    char port_text_[16];
};

// ---------------------------------------------------------------------------------------------
// Errors

QM_COLD qm::Failure raise_invalid_url(PyObject* message) noexcept {
    PyErr_SetObject(reinterpret_cast<PyObject*>(g_invalid_url_type), message);
    return {};
}

QM_COLD qm::Failure raise_invalid_url(const char* message) noexcept {
    Ref text(PyUnicode_FromString(message));
    return text ? raise_invalid_url(text.get()) : qm::kFailed;
}

// Chains the exception that was being handled (`handled`, a reference this call takes over) to
// the one now pending, as raising inside an except block would.
void chain_pending(PyObject* handled) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    if (pending) {
        PyException_SetContext(pending, handled);
        PyErr_SetRaisedException(pending);
    } else {
        Py_DECREF(handled);
    }
}

// Replaces a pending error of kind Exception raised while splitting `value` by InvalidURL
// "The value cannot be parsed as URL (<value>): <error>". Other exceptions pass unchanged; if
// `value` is not UTF-8 the decoding error is raised instead.
void wrap_split_error(PyObject* value) noexcept {
    PyObject* caught = PyErr_GetRaisedException();
    if (!caught) return;
    if (!PyErr_GivenExceptionMatches(caught, PyExc_Exception)) {
        PyErr_SetRaisedException(caught);
        return;
    }
    Ref text(PyUnicode_DecodeUTF8(bytes_data(value), bytes_size(value), nullptr));
    Ref cause(text ? PyObject_Str(caught) : nullptr);
    Ref message(cause ? PyUnicode_FromFormat("The value cannot be parsed as URL (%U): %U", text.get(), cause.get())
                      : nullptr);
    if (message) (void)raise_invalid_url(message.get());
    chain_pending(caught);
}

// Accepts None, b"", b"http" and b"https"; raises InvalidURL "Expected http or https schema; got
// instead <scheme>" for any other bytes.
[[nodiscard]] bool check_schema(PyObject* schema) noexcept {
    if (schema == Py_None) return true;
    Py_ssize_t n = bytes_size(schema);
    if (n == 0 || bytes_equal(schema, "http", 4) || bytes_equal(schema, "https", 5)) return true;
    Ref text(PyUnicode_DecodeUTF8(bytes_data(schema), n, nullptr));
    if (!text) return false;
    Ref message(PyUnicode_FromFormat("Expected http or https schema; got instead %U", text.get()));
    return message ? raise_invalid_url(message.get()) : qm::kFailed;
}

// ---------------------------------------------------------------------------------------------
// Construction

inline PyObject* read_split_field(PyObject* parsed, int which) noexcept {
    const SplitGetter& field = g_split[which];
    if (field.get && Py_IS_TYPE(parsed, g_split_type)) return field.get(parsed, field.closure);
    return PyObject_GetAttr(parsed, field.name);
}

// A component the splitter gave: bytes or None.
[[nodiscard]] inline bool check_component(PyObject* component) noexcept {
    if (component == Py_None || PyBytes_CheckExact(component)) return true;
    return qm::raise_expected("bytes", component);
}

// The unprotected part of splitting: splits `value` (non-empty bytes) into `self`. On failure
// `self` is unchanged and an error is pending.
[[nodiscard]] bool split_value(URLObject* self, PyObject* value) noexcept {
    Ref parsed(PyObject_Vectorcall(g_parse_url, &value, 1, nullptr));
    if (!parsed) return false;
    Ref parts[kSplitCount];
    for (int i = 0; i < kSplitCount; ++i) {
        parts[i].reset(read_split_field(parsed.get(), i));
        if (!parts[i]) return false;
        if (i != kPort && !check_component(parts[i].get())) return false;
    }
    if (!check_schema(parts[kSchema].get())) return false;
    int32_t port = 0;
    PyObject* port_obj = parts[kPort].get();
    if (port_obj != Py_None) {
        if (!PyLong_Check(port_obj)) return qm::raise_expected("int", port_obj);
        if (!qm::to_c_integer(port_obj, &port)) return false;
    }
    qm::replace_field_borrowed(&self->value, value);
    qm::replace_field(&self->schema, parts[kSchema].release());
    qm::replace_field(&self->host, parts[kHost].release());
    self->port = port;
    qm::replace_field(&self->path, parts[kPath].release());
    qm::replace_field(&self->query, parts[kQuery].release());
    qm::replace_field(&self->fragment, parts[kFragment].release());
    self->is_absolute = self->schema != Py_None;
    return true;
}

// URL(value) on an existing object: `value` is bytes or None (checked by the caller).
[[nodiscard]] bool url_init_value(URLObject* self, PyObject* value) noexcept {
    if (value == Py_None || bytes_size(value) == 0) return raise_invalid_url("Input empty or null.");
    Ref text = Ref::borrow(value);
    if (bytes_data(value)[0] == '.') {
        // A relative path such as ./a or ../a is split as a path.
        BytesBuilder prefixed;
        prefixed.add_literal("/");
        prefixed.add(value);
        text.reset(prefixed.finish());
        if (!text) {
            wrap_split_error(value);
            return false;
        }
    }
    if (split_value(self, text.get())) return true;
    wrap_split_error(text.get());
    return false;
}

void init_fields(URLObject* self) noexcept {
    self->ops = &kURLOps;
    self->value = Py_None;
    self->schema = Py_None;
    self->host = Py_None;
    self->port = 0;
    self->path = Py_None;
    self->query = Py_None;
    self->fragment = Py_None;
    self->is_absolute = 0;
}

PyObject* url_alloc(PyTypeObject* type) noexcept {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj) init_fields(as_url(obj));
    return obj;
}

// A new URL of the exact class from `value` (bytes or None). Such an object only ever holds bytes
// and None, which refer to nothing, so it can never be part of a reference cycle: like a tuple of
// atomic values it stays untracked by the cycle collector. Instances of subclasses (which may carry
// a __dict__) are made through tp_alloc and tracked.
PyObject* new_url(PyObject* value) noexcept {
    URLObject* self;
    if (g_free_count > 0) {
        self = g_free_urls[--g_free_count];
        PyObject_Init(reinterpret_cast<PyObject*>(self), g_url_type);
    } else {
        self = PyObject_GC_New(URLObject, g_url_type);
        if (!self) return nullptr;
    }
    init_fields(self);
    Ref obj(reinterpret_cast<PyObject*>(self));
    if (!url_init_value(self, value)) return nullptr;
    return obj.release();
}

// A new URL from freshly built text (a new reference or null, consumed here).
PyObject* new_url_from_built(PyObject* owned_text) noexcept {
    if (!owned_text) return nullptr;
    Ref text(owned_text);
    return new_url(text.get());
}

const char* const kValueParam[] = {"value"};
const qm::Signature kInitSignature = {"__init__", kValueParam, 1, 1};

PyObject* url_new(PyTypeObject* type, PyObject*, PyObject*) { return url_alloc(type); }

int url_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* value = nullptr;
    if (!qm::parse_tuple_args(kInitSignature, args, kwargs, &value)) return -1;
    if (!qm::check_exact_arg(value, &PyBytes_Type, "value")) return -1;
    return url_init_value(as_url(self), value) ? 0 : -1;
}

// The ordinary __new__ + __init__ call of a class, from vectorcall arguments.
PyObject* call_class_generic(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref tuple(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs.reset(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
        }
    }
    return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
}

// Calling the class itself: no argument tuple, no separate __new__/__init__ dispatch.
PyObject* url_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (QM_UNLIKELY(type != reinterpret_cast<PyObject*>(g_url_type))) {
        return call_class_generic(type, args, nargsf, kwnames);
    }
    PyObject* value = nullptr;
    if (!qm::parse_args(kInitSignature, args, PyVectorcall_NARGS(nargsf), kwnames, &value)) return nullptr;
    if (!qm::check_exact_arg(value, &PyBytes_Type, "value")) return nullptr;
    return new_url(value);
}

// ---------------------------------------------------------------------------------------------
// Lifecycle

// Fields go back to None rather than null on clearing, so nothing ever reads a null field.
using URLFields = qm::ObjectFields<URLObject, &URLObject::value, &URLObject::schema, &URLObject::host,
                                   &URLObject::path, &URLObject::query, &URLObject::fragment>;

void url_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    URLFields::release(obj);
    URLObject* self = as_url(obj);
    if (type == g_url_type && g_free_count < kFreeListCapacity) {
        g_free_urls[g_free_count++] = self;
    } else {
        type->tp_free(obj);
    }
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------------
// Text forms and comparison

PyObject* url_str(PyObject* obj) {
    PyObject* value = as_url(obj)->value;
    if (value == Py_None) return qm::raise_error(PyExc_AttributeError, "'NoneType' object has no attribute 'decode'");
    return PyUnicode_DecodeUTF8(bytes_data(value), bytes_size(value), nullptr);
}

PyObject* url_repr(PyObject* obj) { return PyUnicode_FromFormat("<URL %R>", as_url(obj)->value); }

PyObject* url_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_url(a) || !is_url(b)) Py_RETURN_NOTIMPLEMENTED;
    return PyObject_RichCompare(as_url(a)->value, as_url(b)->value, op);
}

PyObject* url_get_is_absolute(PyObject* obj, void*) { return PyBool_FromLong(as_url(obj)->is_absolute); }

// ---------------------------------------------------------------------------------------------
// Operations

// Result of an override: a URL (or a subclass) or None, as the table promises.
PyObject* checked_override(PyObject* result) noexcept {
    if (!result || result == Py_None || is_url(result)) return result;
    Ref drop(result);
    return qm::raise_cannot_convert(result, g_url_type);
}

// Appends scheme "://" host, and the port when it is not the scheme's default. A host holding ":"
// is an IPv6 literal whose brackets the splitter removed; they are put back, or the text would not
// split again.
void add_origin(BytesBuilder& text, PyObject* schema, PyObject* host, int32_t port, bool bracket_ipv6) noexcept {
    text.add(schema);
    text.add_literal("://");
    bool bracket = bracket_ipv6 && PyBytes_Check(host) &&
                   std::memchr(bytes_data(host), ':', static_cast<size_t>(bytes_size(host))) != nullptr;
    if (bracket) text.add_literal("[");
    text.add(host);
    if (bracket) text.add_literal("]");
    if (port != 0 && PyBytes_Check(schema)) {
        bool http = bytes_equal(schema, "http", 4);
        bool https = bytes_equal(schema, "https", 5);
        if ((http && port != 80) || (https && port != 443)) text.add_port(port);
    }
}

// Path, then "?" query and "#" fragment when they are non-empty. A URL of scheme and host only has
// no path: it counts as empty.
void add_rest(BytesBuilder& text, PyObject* path, PyObject* query, PyObject* fragment) noexcept {
    if (path != Py_None) text.add(path);
    if (non_empty(query)) {
        text.add_literal("?");
        text.add(query);
    }
    if (non_empty(fragment)) {
        text.add_literal("#");
        text.add(fragment);
    }
}

PyObject* url_join(URLObject* self, PyObject* other, int skip_dispatch) {
    if (auto call = g_overridables[N_JOIN].dispatch(self, skip_dispatch, other)) return checked_override(call.result);
    if (!qm::check_instance_arg(other, g_url_type, "other", false)) return nullptr;
    URLObject* rhs = as_url(other);
    if (rhs->is_absolute) {
        return qm::raise_format(PyExc_ValueError, "Cannot concatenate to an absolute URL (%R + %R)", self->value, rhs->value);
    }
    if (non_empty(self->query) || non_empty(self->fragment)) {
        return qm::raise_error(PyExc_ValueError, "Cannot concatenate a URL with query or fragment to another URL portion");
    }
    PyObject* first = self->value;
    PyObject* second = rhs->value;
    BytesBuilder text;
    if (non_empty(first) && non_empty(second) && bytes_data(first)[bytes_size(first) - 1] == '/' &&
        bytes_data(second)[0] == '/') {
        text.add(bytes_data(first), bytes_size(first) - 1);
    } else {
        text.add(first);
    }
    text.add(second);
    return new_url_from_built(text.finish());
}

PyObject* url_base_url(URLObject* self, int skip_dispatch) {
    if (auto call = g_overridables[N_BASE_URL].dispatch(self, skip_dispatch)) return checked_override(call.result);
    if (!self->is_absolute) {
        return qm::raise_error(PyExc_ValueError, "This URL is relative. Cannot extract a base URL (without path).");
    }
    BytesBuilder text;
    add_origin(text, self->schema, self->host, self->port, true);
    return new_url_from_built(text.finish());
}

[[nodiscard]] bool require_absolute(URLObject* self) noexcept {
    if (self->is_absolute) return true;
    return qm::raise_error(PyExc_ValueError, "This URL is not absolute.");
}

PyObject* url_with_host(URLObject* self, PyObject* host, int skip_dispatch) {
    if (auto call = g_overridables[N_WITH_HOST].dispatch(self, skip_dispatch, host)) return checked_override(call.result);
    if (!require_absolute(self)) return nullptr;
    // A new host that carries its own port ("h:8080", as opposed to a bracketed IPv6 literal)
    // replaces the current port; otherwise the current port is kept.
    int32_t port = self->port;
    if (PyBytes_Check(host)) {
        Py_ssize_t n = bytes_size(host);
        if (std::memchr(bytes_data(host), ':', static_cast<size_t>(n)) && bytes_data(host)[n - 1] != ']') port = 0;
    }
    BytesBuilder text;
    add_origin(text, self->schema, host, port, false);
    add_rest(text, self->path, self->query, self->fragment);
    return new_url_from_built(text.finish());
}

PyObject* url_with_scheme(URLObject* self, PyObject* schema, int skip_dispatch) {
    if (auto call = g_overridables[N_WITH_SCHEME].dispatch(self, skip_dispatch, schema)) return checked_override(call.result);
    if (!require_absolute(self)) return nullptr;
    if (schema != Py_None && !PyBytes_Check(schema)) return raise_concat_error(schema);
    if (!check_schema(schema)) return nullptr;
    BytesBuilder text;
    add_origin(text, schema, self->host, self->port, true);
    add_rest(text, self->path, self->query, self->fragment);
    return new_url_from_built(text.finish());
}

PyObject* url_with_query(URLObject* self, PyObject* query, int skip_dispatch) {
    if (auto call = g_overridables[N_WITH_QUERY].dispatch(self, skip_dispatch, query)) return checked_override(call.result);
    if (query != Py_None && !PyBytes_Check(query)) return raise_concat_error(query);
    BytesBuilder text;
    if (self->is_absolute) add_origin(text, self->schema, self->host, self->port, true);
    add_rest(text, self->path, query, self->fragment);
    return new_url_from_built(text.finish());
}

const URLOps kURLOps = {url_join, url_base_url, url_with_host, url_with_scheme, url_with_query};

// ---------------------------------------------------------------------------------------------
// Python-visible methods

const char* const kOtherParam[] = {"other"};
const char* const kHostParam[] = {"host"};
const char* const kSchemaParam[] = {"schema"};
const char* const kQueryParam[] = {"query"};
const qm::Signature kJoinSignature = {"join", kOtherParam, 1, 1};
const qm::Signature kWithHostSignature = {"with_host", kHostParam, 1, 1};
const qm::Signature kWithSchemeSignature = {"with_scheme", kSchemaParam, 1, 1};
const qm::Signature kWithQuerySignature = {"with_query", kQueryParam, 1, 1};

PyObject* py_url_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* other = nullptr;
    if (!qm::parse_args(kJoinSignature, args, nargs, kwnames, &other)) return nullptr;
    return url_join(as_url(self), other, 1);  // which checks `other`
}

PyObject* py_url_base_url(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qm::no_args("base_url", nargs, kwnames)) return nullptr;
    return url_base_url(as_url(self), 1);
}

// The three rebuilders take one bytes argument (None passes the check).
template <PyObject* (*Impl)(URLObject*, PyObject*, int)>
PyObject* bytes_arg_method(const qm::Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    PyObject* arg = nullptr;
    if (!qm::parse_args(sig, args, nargs, kwnames, &arg)) return nullptr;
    if (!qm::check_exact_arg(arg, &PyBytes_Type, sig.names[0])) return nullptr;
    return Impl(as_url(self), arg, 1);
}

PyObject* py_url_with_host(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bytes_arg_method<url_with_host>(kWithHostSignature, self, args, nargs, kwnames);
}
PyObject* py_url_with_scheme(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bytes_arg_method<url_with_scheme>(kWithSchemeSignature, self, args, nargs, kwnames);
}
PyObject* py_url_with_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bytes_arg_method<url_with_query>(kWithQuerySignature, self, args, nargs, kwnames);
}

// `url + other`: bytes are made a URL first; a URL joins as it is.
PyObject* url_add(PyObject* left, PyObject* right) {
    if (!is_url(left)) Py_RETURN_NOTIMPLEMENTED;
    URLObject* self = as_url(left);
    if (is_url(right)) return self->ops->join(self, right, 0);
    if (!PyBytes_Check(right)) Py_RETURN_NOTIMPLEMENTED;
    // A bytes subclass is taken by its bytes.
    Ref value = PyBytes_CheckExact(right) ? Ref::borrow(right)
                                          : Ref(PyBytes_FromStringAndSize(bytes_data(right), bytes_size(right)));
    if (!value) return nullptr;
    Ref other(new_url(value.get()));
    if (!other) return nullptr;
    return self->ops->join(self, other.get(), 0);
}

// Pickling: the class and the eight fields (plus the instance dict of a subclass that has one).
PyObject* url_reduce(PyObject* obj, PyObject*) {
    URLObject* self = as_url(obj);
    Ref state(Py_BuildValue("(OOOiOOOi)", self->value, self->schema, self->host, static_cast<int>(self->port),
                            self->path, self->query, self->fragment, static_cast<int>(self->is_absolute)));
    if (!state) return nullptr;
    Ref dict;
    if (Py_TYPE(obj)->tp_dictoffset != 0) {
        PyObject* found = nullptr;
        if (qm::get_pickle_dict(obj, g_names[N_DICT], &found) < 0) return nullptr;
        dict.reset(found);
    }
    if (dict) return Py_BuildValue("O(OO)O", g_restore_url, Py_TYPE(obj), state.get(), dict.get());
    return Py_BuildValue("O(OO)", g_restore_url, Py_TYPE(obj), state.get());
}

PyMemberDef url_members[] = {
    {"value", Py_T_OBJECT_EX, offsetof(URLObject, value), Py_READONLY,
     "The whole URL as given to the constructor (bytes)."},
    {"schema", Py_T_OBJECT_EX, offsetof(URLObject, schema), Py_READONLY,
     "Scheme (b'http' or b'https'), None for a relative URL."},
    {"host", Py_T_OBJECT_EX, offsetof(URLObject, host), Py_READONLY, "Host without port (bytes or None)."},
    {"port", Py_T_INT, offsetof(URLObject, port), Py_READONLY, "Port number; 0 when the URL names none."},
    {"path", Py_T_OBJECT_EX, offsetof(URLObject, path), Py_READONLY, "Path (bytes or None)."},
    {"query", Py_T_OBJECT_EX, offsetof(URLObject, query), Py_READONLY, "Query string without '?' (bytes or None)."},
    {"fragment", Py_T_OBJECT_EX, offsetof(URLObject, fragment), Py_READONLY,
     "Fragment without '#' (bytes or None)."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef url_getset[] = {
    {"is_absolute", url_get_is_absolute, nullptr, "True when the URL has a scheme.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef url_methods[] = {
    QM_FASTCALL_METHOD("join", py_url_join,
        "join($self, other)\n--\n\n"
        "The URL of this one followed by the relative URL `other`. One slash is dropped when this one\n"
        "ends and `other` starts with one; no separator is inserted otherwise."),
    QM_FASTCALL_METHOD("base_url", py_url_base_url,
        "base_url($self)\n--\n\nScheme, host and non-default port of this absolute URL, as a new URL."),
    QM_FASTCALL_METHOD("with_host", py_url_with_host,
        "with_host($self, host)\n--\n\nThis absolute URL with another host."),
    QM_FASTCALL_METHOD("with_scheme", py_url_with_scheme,
        "with_scheme($self, schema)\n--\n\nThis absolute URL with another scheme (http or https)."),
    QM_FASTCALL_METHOD("with_query", py_url_with_query,
        "with_query($self, query)\n--\n\nThis URL with another query string; an empty or None query removes it."),
    {"__reduce__", url_reduce, METH_NOARGS, "__reduce__($self)\n--\n\nPickle support."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot url_slots[] = {
    {Py_tp_doc, const_cast<char*>("URL(value)\n--\n\n"
                                  "An immutable URL over bytes, split once into its components. Only the\n"
                                  "http and https schemes are accepted; a relative URL has no scheme.")},
    {Py_tp_new, reinterpret_cast<void*>(url_new)},
    {Py_tp_init, reinterpret_cast<void*>(url_init)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(url_vectorcall)},
    QM_GC_SLOTS(url_dealloc, URLFields::traverse, URLFields::clear_to_none),
    {Py_tp_str, reinterpret_cast<void*>(url_str)},
    {Py_tp_repr, reinterpret_cast<void*>(url_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(url_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_add, reinterpret_cast<void*>(url_add)},
    {Py_tp_members, url_members},
    {Py_tp_getset, url_getset},
    {Py_tp_methods, url_methods},
    {0, nullptr},
};

PyType_Spec url_spec = {
    "quillmoth.url.URL",
    sizeof(URLObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    url_slots,
};

// ---------------------------------------------------------------------------------------------
// InvalidURL

const char* const kMessageParam[] = {"message"};
const qm::Signature kInvalidUrlSignature = {"__init__", kMessageParam, 1, 1};

int invalid_url_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* message = nullptr;
    if (!qm::parse_tuple_args(kInvalidUrlSignature, args, kwargs, &message)) return -1;
    if (!qm::check_exact_arg(message, &PyUnicode_Type, "message")) return -1;
    Ref base_args(PyTuple_Pack(1, message));
    if (!base_args) return -1;
    return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, base_args.get(), nullptr);
}

// The base exception's own slots, plus the reference every instance holds to this heap class.
using InvalidURLFields = qm::ExceptionFields<PyBaseExceptionObject>;

PyType_Slot invalid_url_slots[] = {
    {Py_tp_doc, const_cast<char*>("InvalidURL(message)\n--\n\nRaised when bytes cannot be made a URL.")},
    {Py_tp_init, reinterpret_cast<void*>(invalid_url_init)},
    QM_FIELD_GC_SLOTS(InvalidURLFields),
    {0, nullptr},
};

PyType_Spec invalid_url_spec = {
    "quillmoth.url.InvalidURL",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    invalid_url_slots,
};

// ---------------------------------------------------------------------------------------------
// Module functions

const char* const kSchemaOnly[] = {"schema"};
const qm::Signature kValidSchemaSignature = {"valid_schema", kSchemaOnly, 1, 1};

PyObject* py_valid_schema(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* schema = nullptr;
    if (!qm::parse_args(kValidSchemaSignature, args, nargs, kwnames, &schema)) return nullptr;
    if (!qm::check_exact_arg(schema, &PyBytes_Type, "schema")) return nullptr;
    if (!check_schema(schema)) return nullptr;
    Py_RETURN_NONE;
}

inline bool starts_with_slash(PyObject* b) noexcept { return bytes_size(b) > 0 && bytes_data(b)[0] == '/'; }

[[nodiscard]] bool check_build_args(PyObject* scheme, PyObject* host, PyObject* base_path, PyObject* path) noexcept {
    return qm::check_exact_arg(scheme, &PyBytes_Type, "scheme") && qm::check_exact_arg(host, &PyBytes_Type, "host") &&
           qm::check_exact_arg(base_path, &PyBytes_Type, "base_path") &&
           qm::check_exact_arg(path, &PyBytes_Type, "path");
}

URLObject* build_absolute_url(PyObject* scheme, PyObject* host, PyObject* base_path, PyObject* path, int) {
    if (!check_build_args(scheme, host, base_path, path)) return nullptr;
    BytesBuilder text;
    text.add(scheme);
    text.add_literal("://");
    text.add(host);
    if (non_empty(base_path)) {
        if (!starts_with_slash(base_path)) text.add_literal("/");
        Py_ssize_t n = bytes_size(base_path);
        if (bytes_data(base_path)[n - 1] == '/') --n;  // only one trailing slash goes
        text.add(bytes_data(base_path), n);
    }
    if (!non_empty(path)) {
        text.add_literal("/");
    } else {
        if (!starts_with_slash(path)) text.add_literal("/");
        text.add(path);
    }
    return as_url(new_url_from_built(text.finish()));
}

const char* const kBuildParams[] = {"scheme", "host", "base_path", "path"};
const qm::Signature kBuildSignature = {"build_absolute_url", kBuildParams, 4, 4};

PyObject* py_build_absolute_url(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4] = {};
    if (!qm::parse_args(kBuildSignature, args, nargs, kwnames, a)) return nullptr;
    return reinterpret_cast<PyObject*>(build_absolute_url(a[0], a[1], a[2], a[3], 0));
}

inline Py_UCS4 first_char(PyObject* s) noexcept { return PyUnicode_READ_CHAR(s, 0); }
inline Py_UCS4 last_char(PyObject* s) noexcept { return PyUnicode_READ_CHAR(s, PyUnicode_GET_LENGTH(s) - 1); }
inline bool str_empty(PyObject* s) noexcept { return s == Py_None || PyUnicode_GET_LENGTH(s) == 0; }

PyObject* join_prefix(PyObject* prefix, PyObject* path, int) {
    if (!qm::check_exact_arg(prefix, &PyUnicode_Type, "prefix") || !qm::check_exact_arg(path, &PyUnicode_Type, "path"))
        return nullptr;
    if (str_empty(prefix)) return Py_NewRef(path);
    Ref slash(PyUnicode_FromOrdinal('/'));
    if (!slash) return nullptr;
    Ref full = first_char(prefix) == '/' ? Ref::borrow(prefix) : Ref(PyUnicode_Concat(slash.get(), prefix));
    if (!full) return nullptr;
    if (str_empty(path)) return PyUnicode_Concat(full.get(), slash.get());
    bool prefix_slash = last_char(full.get()) == '/';
    bool path_slash = first_char(path) == '/';
    if (prefix_slash && path_slash) {
        Ref rest(PyUnicode_Substring(path, 1, PyUnicode_GET_LENGTH(path)));
        if (!rest) return nullptr;
        return PyUnicode_Concat(full.get(), rest.get());
    }
    if (!prefix_slash && !path_slash) {
        Ref with_slash(PyUnicode_Concat(full.get(), slash.get()));
        if (!with_slash) return nullptr;
        return PyUnicode_Concat(with_slash.get(), path);
    }
    return PyUnicode_Concat(full.get(), path);
}

const char* const kJoinPrefixParams[] = {"prefix", "path"};
const qm::Signature kJoinPrefixSignature = {"join_prefix", kJoinPrefixParams, 2, 2};

PyObject* py_join_prefix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2] = {};
    if (!qm::parse_args(kJoinPrefixSignature, args, nargs, kwnames, a)) return nullptr;
    return join_prefix(a[0], a[1], 0);
}

// _restore_url(cls, state): the unpickler's side of URL.__reduce__.
const char* const kRestoreParams[] = {"cls", "state"};
const qm::Signature kRestoreSignature = {"_restore_url", kRestoreParams, 2, 2};

PyObject* py_restore_url(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2] = {};
    if (!qm::parse_args(kRestoreSignature, args, nargs, kwnames, a)) return nullptr;
    PyObject* cls = a[0];
    PyObject* state = a[1];
    if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), g_url_type)) {
        return qm::raise_format(PyExc_TypeError, "_restore_url() expects a URL class, got %.200s", Py_TYPE(cls)->tp_name);
    }
    if (!PyTuple_CheckExact(state) || PyTuple_GET_SIZE(state) != 8) {
        return qm::raise_error(PyExc_TypeError, "_restore_url() expects a tuple of the eight URL fields");
    }
    static constexpr int kObjectSlots[] = {0, 1, 2, 4, 5, 6};
    for (int i : kObjectSlots) {
        if (!qm::check_exact_arg(PyTuple_GET_ITEM(state, i), &PyBytes_Type, "state")) return nullptr;
    }
    int32_t port, is_absolute;
    if (!qm::to_c_integer(PyTuple_GET_ITEM(state, 3), &port) ||
        !qm::to_c_integer(PyTuple_GET_ITEM(state, 7), &is_absolute))
        return nullptr;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref empty(PyTuple_New(0));
    if (!empty) return nullptr;
    Ref obj(type->tp_new(type, empty.get(), nullptr));
    if (!obj) return nullptr;
    if (!is_url(obj.get())) return qm::raise_cannot_convert(obj.get(), g_url_type);
    URLObject* self = as_url(obj.get());
    qm::replace_field_borrowed(&self->value, PyTuple_GET_ITEM(state, 0));
    qm::replace_field_borrowed(&self->schema, PyTuple_GET_ITEM(state, 1));
    qm::replace_field_borrowed(&self->host, PyTuple_GET_ITEM(state, 2));
    self->port = port;
    qm::replace_field_borrowed(&self->path, PyTuple_GET_ITEM(state, 4));
    qm::replace_field_borrowed(&self->query, PyTuple_GET_ITEM(state, 5));
    qm::replace_field_borrowed(&self->fragment, PyTuple_GET_ITEM(state, 6));
    self->is_absolute = is_absolute != 0;
    return obj.release();
}

PyObject* py_quote(PyObject*, PyObject* value) { return qm::percent::quote(value); }
PyObject* py_unquote(PyObject*, PyObject* value) { return qm::percent::unquote(value); }
PyObject* py_unquote_to_bytes(PyObject*, PyObject* value) { return qm::percent::unquote_to_bytes(value); }

PyMethodDef module_methods[] = {
    QM_FASTCALL_METHOD("valid_schema", py_valid_schema,
        "valid_schema(schema)\n--\n\n"
        "Accepts None, b'', b'http' and b'https'; raises InvalidURL for any other scheme."),
    QM_FASTCALL_METHOD("build_absolute_url", py_build_absolute_url,
        "build_absolute_url(scheme, host, base_path, path)\n--\n\n"
        "The absolute URL scheme://host/base_path/path (bytes parts), parsed as a URL."),
    QM_FASTCALL_METHOD("join_prefix", py_join_prefix,
        "join_prefix(prefix, path)\n--\n\n"
        "`path` mounted under `prefix` with exactly one slash between them; `path` itself when\n"
        "the prefix is empty."),
    QM_FASTCALL_METHOD("_restore_url", py_restore_url,
        "_restore_url(cls, state)\n--\n\nRebuilds a pickled URL from its eight fields."),
    {"_quote", py_quote, METH_O,
     "_quote(value, /)\n--\n\nPercent-encodes a str (as UTF-8) or bytes, keeping '/' and unreserved characters."},
    {"_unquote", py_unquote, METH_O,
     "_unquote(value, /)\n--\n\nDecodes %XX escapes of a str or bytes into a str (UTF-8, invalid sequences replaced)."},
    {"_unquote_to_bytes", py_unquote_to_bytes, METH_O,
     "_unquote_to_bytes(value, /)\n--\n\nDecodes %XX escapes of a str or bytes into bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = qm::make_module_def(
    "quillmoth.url",
    "The immutable URL value type over bytes and the helpers that build absolute URLs.",
    module_methods);

// Finds httptools.parse_url and, from one sample result, the getters of the components.
[[nodiscard]] bool bind_splitter() noexcept {
    Ref httptools(PyImport_ImportModule("httptools"));
    if (!httptools) return false;
    g_parse_url = PyObject_GetAttrString(httptools.get(), "parse_url");
    if (!g_parse_url) return false;
    Ref sample_text(PyBytes_FromString("http://h:1/p?q#f"));
    if (!sample_text) return false;
    Ref sample(PyObject_CallOneArg(g_parse_url, sample_text.get()));
    if (!sample) return false;
    g_split_type = Py_TYPE(sample.get());
    Py_INCREF(g_split_type);
    for (int i = 0; i < kSplitCount; ++i) {
        g_split[i].name = PyUnicode_InternFromString(kSplitNames[i]);
        if (!g_split[i].name) return false;
        Ref descr(PyObject_GetAttr(reinterpret_cast<PyObject*>(g_split_type), g_split[i].name));
        if (!descr) return false;
        if (Py_IS_TYPE(descr.get(), &PyGetSetDescr_Type)) {
            auto* getset = reinterpret_cast<PyGetSetDescrObject*>(descr.get());
            if (getset->d_common.d_type == g_split_type && getset->d_getset->get) {
                g_split[i].get = getset->d_getset->get;
                g_split[i].closure = getset->d_getset->closure;
            }
        }
    }
    return true;
}

void release_state() noexcept {
    qm::clear_refs(g_url_type, g_invalid_url_type, g_parse_url, g_restore_url, g_split_type);
    for (SplitGetter& split : g_split) {
        qm::clear_ref(split.name);
        split = SplitGetter{};
    }
    g_names.release();
    for (qm::Overridable& op : g_overridables) op.unbind();
}

PyObject* build_module() noexcept {
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!g_names.intern() || !bind_splitter()) return nullptr;
    g_url_type = qm::add_module_type(module.get(), &url_spec);
    if (!g_url_type) return nullptr;
    if (!qm::bind_overridables(g_overridables, N_OPS_COUNT, g_url_type, g_names.data())) return nullptr;
    g_invalid_url_type = qm::add_module_type(module.get(), &invalid_url_spec, PyExc_Exception);
    if (!g_invalid_url_type) return nullptr;
    g_restore_url = PyObject_GetAttrString(module.get(), "_restore_url");
    if (!g_restore_url) return nullptr;

    const qm::Export exports[] = {
        {qm::url::kBuildAbsoluteUrlName, reinterpret_cast<void*>(build_absolute_url),
         qm::url::kBuildAbsoluteUrlSignature},
        {qm::url::kJoinPrefixName, reinterpret_cast<void*>(join_prefix), qm::url::kJoinPrefixSignature},
    };
    if (!qm::publish_exports(module.get(), exports, sizeof(exports) / sizeof(exports[0]))) return nullptr;
    const qm::TypeExport types[] = {{"URL", g_url_type}};
    if (!qm::publish_types(module.get(), types, 1)) return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_url(void) { return qm::init_module(build_module, release_state); }
