// quillmoth.messages, unit Request: the incoming HTTP request over its raw ASGI pieces.
//
// A request keeps the request line and the header list exactly as the server delivered them and
// computes everything else when it is read: host, URL and identity once (cached in their
// underscore fields), path, query, cookies, scheme and client address on every read.
#include "messages_module.h"

#include "common/header_list.h"
#include "common/percent.h"

#include <cstring>

namespace qm::messages {
namespace {

// The overridable operations first, in table order.
enum Name {
    N_EXPECT_100_CONTINUE,
    N_RESET,
    N_OPS_COUNT,
    N_IDENTITY = N_OPS_COUNT,
    N_GET,
    N_SCHEME,
    N_ROOT_PATH,
    N_CLIENT,
    N_VALUES,
    N_FILE,
    N_CLOSE,
    N_WITH_QUERY,
    N_USER,
    N_PATH_FIELD,
    N_RAW_QUERY_FIELD,
    N_URL,
    N_CLIENT_IP,
    N_COUNT
};
constexpr const char* kNameTexts[N_COUNT] = {"expect_100_continue", "reset", "identity", "get", "scheme",
                                             "root_path", "client", "values", "file", "close", "with_query",
                                             "user", "_path", "_raw_query", "url", "client_ip"};
InternedNames<N_COUNT> g_names{kNameTexts};
Overridable g_overridables[N_OPS_COUNT];

PyObject* g_key_host = nullptr;          // b"host"
PyObject* g_key_cookie = nullptr;        // b"cookie"
PyObject* g_key_expect = nullptr;        // b"expect"
PyObject* g_key_etag = nullptr;          // b"etag"
PyObject* g_key_if_none_match = nullptr; // b"if-none-match"
PyObject* g_empty_bytes = nullptr;
PyObject* g_empty_str = nullptr;
PyObject* g_none_text = nullptr;         // "None", for repr
PyObject* g_default_client = nullptr;    // ("", 0)
PyObject* g_equals_bytes = nullptr;      // b"="
PyObject* g_cookie_separator = nullptr;  // b"; "

inline MessageObject* base_of(RequestObject* self) noexcept { return &self->message; }

// ---------------------------------------------------------------------------------------------
// Fields: every one readable and writable; the typed ones accept their type or None, deleting a
// field sets it to None.

using RequestFields =
    DerivedFields<MessageFields, RequestObject, &RequestObject::method, &RequestObject::_url, &RequestObject::_path,
                  &RequestObject::_raw_query, &RequestObject::route_values, &RequestObject::scope,
                  &RequestObject::_user, &RequestObject::_di_scope, &RequestObject::state, &RequestObject::_session,
                  &RequestObject::_base_path, &RequestObject::_original_client_ip, &RequestObject::_host,
                  &RequestObject::_scheme, &RequestObject::_context, &RequestObject::services,
                  &RequestObject::_is_disconnected>;

template <auto Member>
int request_set_url_field(PyObject* op, PyObject* value, void*) noexcept {
    return set_instance_field(&(as_request(op)->*Member), value, g_imports.url.url_type);
}

// A property with a setter cannot be deleted.
[[nodiscard]] inline bool deleting(PyObject* value) noexcept { return value == nullptr; }

// ---------------------------------------------------------------------------------------------
// Computed properties

PyObject* request_get_user(PyObject* op, void*) noexcept {
    RequestObject* self = as_request(op);
    if (self->_user == Py_None) {
        // An unauthenticated request has an empty identity, never None.
        PyObject* identity = PyObject_CallNoArgs(g_imports.identity);
        if (!identity) return nullptr;
        replace_field(&self->_user, identity);
    }
    return Py_NewRef(self->_user);
}

int request_set_user(PyObject* op, PyObject* value, void*) noexcept {
    if (deleting(value)) return raise_no_delete();
    replace_field_borrowed(&as_request(op)->_user, value);
    return 0;
}

// `identity` reads `user` (looked up, so a subclass's property runs) and stores into _user.
PyObject* request_get_identity(PyObject* op, void*) noexcept {
    if (Py_IS_TYPE(op, g_request_type)) return request_get_user(op, nullptr);
    return PyObject_GetAttr(op, g_names[N_USER]);
}

PyObject* request_get_session(PyObject* op, void*) noexcept {
    PyObject* session = as_request(op)->_session;
    if (session == Py_None) {
        return raise_error(PyExc_TypeError,
                           "A session is not configured for this request, activate sessions using "
                           "`app.use_sessions` method.");
    }
    return Py_NewRef(session);
}

int request_set_session(PyObject* op, PyObject* value, void*) noexcept {
    if (deleting(value)) return raise_no_delete();
    replace_field_borrowed(&as_request(op)->_session, value);
    return 0;
}

// scope.get(key, default) with the scope held: the lookup may run Python code.
PyObject* scope_get(PyObject* scope, PyObject* key, PyObject* fallback) noexcept {
    Ref held = Ref::borrow(scope);
    if (PyDict_CheckExact(scope)) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(scope, key, &found) < 0) return nullptr;
        return found ? found : Py_NewRef(fallback);
    }
    return call_method(scope, g_names[N_GET], key, fallback);
}

PyObject* request_get_scheme(PyObject* op, void*) noexcept {
    RequestObject* self = as_request(op);
    if (self->_scheme != Py_None) return Py_NewRef(self->_scheme);
    Ref scope = Ref::borrow(self->scope);
    int truth = PyObject_IsTrue(scope.get());
    if (truth < 0) return nullptr;
    if (!truth) return Py_NewRef(g_empty_str);
    return scope_get(scope.get(), g_names[N_SCHEME], g_empty_str);
}

int request_set_scheme(PyObject* op, PyObject* value, void*) noexcept {
    if (deleting(value)) return raise_no_delete();
    if (!PyUnicode_CheckExact(value)) return raise_arg_type("value", "str", value);
    replace_field_borrowed(&as_request(op)->_scheme, value);
    return 0;
}

// The setters of the str-typed computed properties (host, base_path, original_client_ip).
template <auto Member>
int request_set_str_property(PyObject* op, PyObject* value, void*) noexcept {
    if (deleting(value)) return raise_no_delete();
    if (!check_exact_arg(value, &PyUnicode_Type, "value")) return -1;
    replace_field_borrowed(&(as_request(op)->*Member), value);
    return 0;
}

// The bytes decoded as UTF-8 (strict); an empty or None value gives the empty str.
PyObject* decode_or_empty(PyObject* value) noexcept {
    if (value == Py_None || PyBytes_GET_SIZE(value) == 0) return Py_NewRef(g_empty_str);
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr);
}

PyObject* request_get_host(PyObject* op, void*) noexcept {
    RequestObject* self = as_request(op);
    if (self->_host != Py_None) return Py_NewRef(self->_host);
    PyObject* host;
    if (self->_url != Py_None && reinterpret_cast<url::URLObject*>(self->_url)->is_absolute) {
        PyObject* url_host = reinterpret_cast<url::URLObject*>(self->_url)->host;
        if (url_host != Py_None && !PyBytes_Check(url_host)) return raise_expected("bytes", url_host);
        host = decode_or_empty(url_host);
    } else {
        Ref value(base_of(self)->ops->get_first_header(base_of(self), g_key_host, 0));
        if (!value) return nullptr;
        if (value.get() == Py_None) {
            PyErr_SetString(g_imports.bad_request, "Missing Host header");
            return nullptr;
        }
        if (!PyBytes_Check(value.get())) return raise_expected("bytes", value.get());
        host = decode_or_empty(value.get());
    }
    if (!host) return nullptr;
    replace_field(&self->_host, host);
    return Py_NewRef(host);
}

PyObject* request_get_base_path(PyObject* op, void*) noexcept {
    RequestObject* self = as_request(op);
    if (self->_base_path != Py_None) return Py_NewRef(self->_base_path);
    if (self->scope == Py_None) return Py_NewRef(g_empty_str);
    PyObject* root = scope_get(self->scope, g_names[N_ROOT_PATH], g_empty_str);
    if (root || !PyErr_ExceptionMatches(PyExc_AttributeError)) return root;
    // A scope without `get`.
    PyErr_Clear();
    return Py_NewRef(g_empty_str);
}

PyObject* request_get_client_ip(PyObject* op, void*) noexcept {
    RequestObject* self = as_request(op);
    if (self->scope == Py_None) return Py_NewRef(g_empty_str);
    Ref client(scope_get(self->scope, g_names[N_CLIENT], g_default_client));
    if (!client) return nullptr;
    // None is what servers give for a connection without an address (a Unix socket).
    if (client.get() == Py_None) return Py_NewRef(g_empty_str);
    Ref host, port;
    if (!unpack_pair(client.get(), host, port)) return nullptr;
    return host.release();
}

PyObject* request_get_original_client_ip(PyObject* op, void*) noexcept {
    RequestObject* self = as_request(op);
    if (self->_original_client_ip != Py_None) return Py_NewRef(self->_original_client_ip);
    if (Py_IS_TYPE(op, g_request_type)) return request_get_client_ip(op, nullptr);
    return PyObject_GetAttr(op, g_names[N_CLIENT_IP]);
}

PyObject* request_get_path(PyObject* op, void*) noexcept {
    PyObject* path = as_request(op)->_path;
    if (path == Py_None) return raise_no_attribute(path, "decode");
    if (!PyBytes_Check(path)) return raise_expected("bytes", path);
    return decode_or_empty(path);
}

PyObject* request_get_query(PyObject* op, void*) noexcept {
    PyObject* raw = as_request(op)->_raw_query;
    if (raw == Py_None || !PyBytes_Check(raw) || PyBytes_GET_SIZE(raw) == 0) return PyDict_New();
    Ref text(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw), nullptr));
    if (!text) return nullptr;
    return PyObject_CallOneArg(g_imports.parse_qs, text.get());
}

// The url getter: the cached URL, or one built from the raw path and query.
PyObject* request_url(RequestObject* self) noexcept {
    if (self->_url != Py_None) {
        // Held: the truth test of a URL subclass runs Python code, which may replace the field.
        Ref cached = Ref::borrow(self->_url);
        int truth = PyObject_IsTrue(cached.get());
        if (truth < 0) return nullptr;
        if (truth) return cached.release();
    }
    Ref text;
    PyObject* path = self->_path;
    PyObject* query = self->_raw_query;
    if (query != Py_None && PyBytes_Check(query) && PyBytes_GET_SIZE(query) > 0) {
        if (!PyBytes_Check(path)) {
            return raise_format(PyExc_TypeError, "can't concat bytes to %.100s", Py_TYPE(path)->tp_name);
        }
        text.reset(PyBytes_FromStringAndSize(nullptr, PyBytes_GET_SIZE(path) + 1 + PyBytes_GET_SIZE(query)));
        if (!text) return nullptr;
        char* out = PyBytes_AS_STRING(text.get());
        std::memcpy(out, PyBytes_AS_STRING(path), static_cast<size_t>(PyBytes_GET_SIZE(path)));
        out[PyBytes_GET_SIZE(path)] = '?';
        std::memcpy(out + PyBytes_GET_SIZE(path) + 1, PyBytes_AS_STRING(query),
                    static_cast<size_t>(PyBytes_GET_SIZE(query)));
    } else {
        text = Ref::borrow(path);
    }
    PyObject* url = PyObject_CallOneArg(reinterpret_cast<PyObject*>(g_imports.url.url_type), text.get());
    if (!url) return nullptr;
    replace_field(&self->_url, url);
    return Py_NewRef(url);
}

PyObject* request_get_url(PyObject* op, void*) noexcept { return request_url(as_request(op)); }

// The `url` property as the object answers it: a subclass may redefine the property.
PyObject* read_url(RequestObject* self) noexcept {
    if (Py_IS_TYPE(as_object(self), g_request_type)) return request_url(self);
    return PyObject_GetAttr(as_object(self), g_names[N_URL]);
}

// The url setter, with value v: falsy gives None; bytes (or a subclass) and str (encoded as
// UTF-8) become a new URL; a URL is taken as it is. The raw path and query follow the new URL, the
// cached host is dropped and so is the Host header, so that the host comes from the new URL.
int request_assign_url(RequestObject* self, PyObject* value) noexcept {
    Ref url;
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    if (truth) {
        if (PyObject_TypeCheck(value, g_imports.url.url_type)) {
            url = Ref::borrow(value);
        } else {
            Ref text;
            if (PyBytes_Check(value)) {
                text = Ref::borrow(value);
            } else if (PyUnicode_Check(value)) {
                text.reset(PyUnicode_AsUTF8String(value));
                if (!text) return -1;
            } else {
                return raise_error(PyExc_TypeError, "Invalid value type, expected bytes, str, or URL");
            }
            url.reset(PyObject_CallOneArg(reinterpret_cast<PyObject*>(g_imports.url.url_type), text.get()));
            if (!url) return -1;
        }
    }
    int url_truth = url ? PyObject_IsTrue(url.get()) : 0;
    if (url_truth < 0) return -1;
    if (url_truth) {
        auto* parsed = reinterpret_cast<url::URLObject*>(url.get());
        replace_field_borrowed(&self->_path, parsed->path);
        replace_field_borrowed(&self->_raw_query, parsed->query);
    } else {
        replace_field_borrowed(&self->_path, Py_None);
        replace_field_borrowed(&self->_raw_query, Py_None);
    }
    replace_field_borrowed(&self->_url, url ? url.get() : Py_None);
    replace_field_borrowed(&self->_host, Py_None);
    return base_of(self)->ops->remove_header(base_of(self), g_key_host, 0);
}

int request_set_url(PyObject* op, PyObject* value, void*) noexcept {
    if (deleting(value)) return raise_no_delete();
    return request_assign_url(as_request(op), value);
}

// The query setter: urlencode(value, True) becomes the raw query, and the URL is rebuilt with it
// (through the url setter, which also sets the raw path and drops the Host header).
int request_set_query(PyObject* op, PyObject* value, void*) noexcept {
    if (deleting(value)) return raise_no_delete();
    RequestObject* self = as_request(op);
    Ref text(PyObject_CallFunctionObjArgs(g_imports.urlencode, value, Py_True, nullptr));
    if (!text) return -1;
    if (!PyUnicode_Check(text.get())) return raise_expected("str", text.get());
    Ref query(PyUnicode_AsUTF8String(text.get()));
    if (!query) return -1;
    replace_field_borrowed(&self->_raw_query, query.get());
    Ref url(read_url(self));
    if (!url) return -1;
    Ref replaced(call_method(url.get(), g_names[N_WITH_QUERY], query.get()));
    if (!replaced) return -1;
    return request_assign_url(self, replaced.get());
}

// ---------------------------------------------------------------------------------------------
// Cookies of the request: the `cookie` headers split into name=value pieces.

// Whether `c` is a space or a tab, the whitespace allowed around a cookie pair.
inline bool is_cookie_space(char c) noexcept { return c == ' ' || c == '\t'; }

// The percent-decoded UTF-8 text of the n bytes at p; null with ValueError (a decoding error) or
// another error set.
PyObject* cookie_text(const char* p, Py_ssize_t n) noexcept {
    Ref text(PyUnicode_DecodeUTF8(p, n, nullptr));
    if (!text) return nullptr;
    return percent::unquote(text.get());
}

// Adds one `name=value` piece to `cookies`. A piece that cannot be a cookie (no "=", text that is
// not UTF-8) is skipped: 0. -1 on any other error.
int add_cookie_piece(PyObject* cookies, const char* p, Py_ssize_t n) noexcept {
    Ref piece(PyBytes_FromStringAndSize(p, n));
    if (!piece) return -1;
    Ref pair(g_imports.cookies.split_value(piece.get(), g_equals_bytes));
    Ref name_text, value_text;
    if (pair && PyTuple_Check(pair.get()) && PyTuple_GET_SIZE(pair.get()) == 2 &&
        PyBytes_Check(PyTuple_GET_ITEM(pair.get(), 0)) && PyBytes_Check(PyTuple_GET_ITEM(pair.get(), 1))) {
        PyObject* name = PyTuple_GET_ITEM(pair.get(), 0);
        PyObject* value = PyTuple_GET_ITEM(pair.get(), 1);
        const char* v = PyBytes_AS_STRING(value);
        Py_ssize_t vn = PyBytes_GET_SIZE(value);
        while (vn > 0 && (v[vn - 1] == ';' || v[vn - 1] == ' ')) --vn;  // value.rstrip(b"; ")
        name_text.reset(cookie_text(PyBytes_AS_STRING(name), PyBytes_GET_SIZE(name)));
        if (name_text) value_text.reset(cookie_text(v, vn));
    } else if (pair) {
        PyErr_SetString(PyExc_ValueError, "a cookie piece splits into a name and a value");
    }
    if (!value_text) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return PyDict_SetItem(cookies, name_text.get(), value_text.get());
}

// The cookies of the request as a dict of str to str, from every `cookie` header in order. Pieces
// are split at ";" with the spaces around them stripped (clients write "a=1; b=2" and also
// "a=1;b=2"); a later name overwrites an earlier one.
PyObject* request_cookies(RequestObject* self) noexcept {
    Ref values(base_of(self)->ops->get_headers(base_of(self), g_key_cookie, 0));
    if (!values) return nullptr;
    Ref cookies(PyDict_New());
    if (!cookies) return nullptr;
    Ref sequence(PySequence_Fast(values.get(), "get_headers must return a sequence"));
    if (!sequence) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        PyObject* header = PySequence_Fast_GET_ITEM(sequence.get(), i);
        if (!PyBytes_Check(header)) return raise_expected("bytes", header);
        Ref held = Ref::borrow(header);
        const char* p = PyBytes_AS_STRING(header);
        const Py_ssize_t n = PyBytes_GET_SIZE(header);
        Py_ssize_t start = 0;
        while (start <= n) {
            const void* semicolon = std::memchr(p + start, ';', static_cast<size_t>(n - start));
            Py_ssize_t end = semicolon ? static_cast<const char*>(semicolon) - p : n;
            Py_ssize_t a = start, b = end;
            while (a < b && is_cookie_space(p[a])) ++a;
            while (b > a && is_cookie_space(p[b - 1])) --b;
            if (b > a && add_cookie_piece(cookies.get(), p + a, b - a) < 0) return nullptr;
            start = end + 1;
        }
    }
    return cookies.release();
}

PyObject* request_get_cookies(PyObject* op, void*) noexcept { return request_cookies(as_request(op)); }

PyObject* request_get_etag(PyObject* op, void*) noexcept {
    MessageObject* self = as_message(op);
    return self->ops->get_first_header(self, g_key_etag, 0);
}

PyObject* request_get_if_none_match(PyObject* op, void*) noexcept {
    MessageObject* self = as_message(op);
    return self->ops->get_first_header(self, g_key_if_none_match, 0);
}

// ---------------------------------------------------------------------------------------------
// Operations of the table

int request_expect_100_continue(RequestObject* self, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_EXPECT_100_CONTINUE].dispatch(self, skip_dispatch)) return as_truth(call.result);
    Ref value(base_of(self)->ops->get_first_header(base_of(self), g_key_expect, 0));
    if (!value) return -1;
    if (value.get() == Py_None) return 0;
    if (!PyBytes_Check(value.get())) return raise_expected("bytes", value.get());
    static constexpr char kContinue[] = "100-continue";
    return PyBytes_GET_SIZE(value.get()) == sizeof(kContinue) - 1 &&
           equals_lowered(PyBytes_AS_STRING(value.get()), sizeof(kContinue) - 1, kContinue, sizeof(kContinue) - 1);
}

// Sets a field to None or to the empty str/bytes, as reset does.
inline void reset_field(PyObject** slot, PyObject* value = Py_None) noexcept { replace_field_borrowed(slot, value); }

int request_reset(RequestObject* self, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_RESET].dispatch(self, skip_dispatch)) return as_status(call.result);
    Ref held = Ref::borrow(as_object(self));
    MessageObject* message = base_of(self);
    reset_field(&self->method, g_empty_str);
    reset_field(&self->_url);
    reset_field(&self->_path, g_empty_bytes);
    reset_field(&self->_raw_query, g_empty_bytes);
    reset_field(&self->route_values);
    reset_field(&self->scope);
    // Through attribute assignment, so that a subclass's identity setter runs.
    if (Py_IS_TYPE(as_object(self), g_request_type)) {
        reset_field(&self->_user);
    } else if (PyObject_SetAttr(as_object(self), g_names[N_IDENTITY], Py_None) < 0) {
        return -1;
    }
    for (PyObject** slot : {&self->_user, &self->_di_scope, &self->state, &self->_session, &self->_base_path,
                            &self->_original_client_ip, &self->_host, &self->_scheme, &message->context,
                            &self->services, &message->_form_data}) {
        reset_field(slot);
    }
    if (!adopt_header_list(message, Py_None, false)) return -1;
    reset_field(&self->_is_disconnected);
    return dispose_content(message);
}

}  // namespace

const RequestOps kRequestOps = {kMessageOps, request_expect_100_continue, request_reset};

namespace {

// ---------------------------------------------------------------------------------------------
// Construction

PyObject* request_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref obj(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    RequestObject* self = as_request(obj.get());
    self->message.ops = &kRequestOps;
    // Every field starts as None (the Message ones included).
    RequestFields::reset_to_none(obj.get());
    return obj.release();
}

const char* const kInitParams[] = {"method", "url", "headers"};
const Signature kInitSignature{"__init__", kInitParams, 3, 3};

// Request(method, url, headers) on an allocated object.
[[nodiscard]] bool request_fill(RequestObject* self, PyObject* method, PyObject* url, PyObject* headers) noexcept {
    if (!check_exact_arg(method, &PyUnicode_Type, "method") || !check_exact_arg(url, &PyBytes_Type, "url") ||
        !check_exact_arg(headers, &PyList_Type, "headers")) {
        return false;
    }
    if (!adopt_header_list(base_of(self), headers, false)) return false;
    replace_field_borrowed(&self->method, method);
    Ref parsed;
    if (url != Py_None && PyBytes_GET_SIZE(url) > 0) {
        parsed.reset(PyObject_CallOneArg(reinterpret_cast<PyObject*>(g_imports.url.url_type), url));
        if (!parsed) return false;
    }
    replace_field_borrowed(&self->_url, parsed ? parsed.get() : Py_None);
    replace_field_borrowed(&self->_session, Py_None);
    if (parsed) {
        int truth = PyObject_IsTrue(parsed.get());
        if (truth < 0) return false;
        if (truth) {
            auto* u = reinterpret_cast<url::URLObject*>(parsed.get());
            replace_field_borrowed(&self->_path, u->path);
            replace_field_borrowed(&self->_raw_query, u->query);
        }
    }
    return true;
}

int request_init(PyObject* op, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* values[3];
    if (!parse_tuple_args(kInitSignature, args, kwargs, values)) return -1;
    return request_fill(as_request(op), values[0], values[1], values[2]) ? 0 : -1;
}

// Request(...) called on the class itself: no argument tuple, no separate __new__/__init__.
PyObject* request_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* values[3];
    if (nargs == 3 && !kwnames) {
        values[0] = args[0];
        values[1] = args[1];
        values[2] = args[2];
    } else if (!parse_args(kInitSignature, args, nargs, kwnames, values)) {
        return nullptr;
    }
    Ref obj(request_new(reinterpret_cast<PyTypeObject*>(type), nullptr, nullptr));
    if (!obj || !request_fill(as_request(obj.get()), values[0], values[1], values[2])) return nullptr;
    return obj.release();
}

const char* const kIncomingParams[] = {"method", "path", "query", "headers"};
const Signature kIncomingSignature{"incoming", kIncomingParams, 4, 4};

// Request.incoming(method, path, query, headers): the class it is called on, built with (method,
// None, headers), then the raw path and query assigned as attributes. No URL is parsed.
PyObject* py_request_incoming(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* values[4];
    if (nargs == 4 && !kwnames) {
        for (int i = 0; i < 4; ++i) values[i] = args[i];
    } else if (!parse_args(kIncomingSignature, args, nargs, kwnames, values)) {
        return nullptr;
    }
    PyObject *method = values[0], *path = values[1], *query = values[2], *headers = values[3];
    if (!check_exact_arg(method, &PyUnicode_Type, "method") || !check_exact_arg(path, &PyBytes_Type, "path") ||
        !check_exact_arg(query, &PyBytes_Type, "query") || !check_exact_arg(headers, &PyList_Type, "headers")) {
        return nullptr;
    }
    if (cls == reinterpret_cast<PyObject*>(g_request_type)) {
        Ref obj(request_new(g_request_type, nullptr, nullptr));
        if (!obj || !request_fill(as_request(obj.get()), method, Py_None, headers)) return nullptr;
        replace_field_borrowed(&as_request(obj.get())->_path, path);
        replace_field_borrowed(&as_request(obj.get())->_raw_query, query);
        return obj.release();
    }
    PyObject* call_args[] = {method, Py_None, headers};
    Ref obj(PyObject_Vectorcall(cls, call_args, 3, nullptr));
    if (!obj) return nullptr;
    if (PyObject_SetAttr(obj.get(), g_names[N_PATH_FIELD], path) < 0 ||
        PyObject_SetAttr(obj.get(), g_names[N_RAW_QUERY_FIELD], query) < 0) {
        return nullptr;
    }
    return obj.release();
}

// ---------------------------------------------------------------------------------------------
// Python-visible methods

PyObject* none_or_null(int status) noexcept { return status < 0 ? nullptr : Py_NewRef(Py_None); }
PyObject* bool_or_null(int truth) noexcept { return truth < 0 ? nullptr : PyBool_FromLong(truth); }

PyObject* py_request_expect_100_continue(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("expect_100_continue", nargs, kwnames)) return nullptr;
    return bool_or_null(request_expect_100_continue(as_request(op), 1));
}

PyObject* py_request_reset(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("reset", nargs, kwnames)) return nullptr;
    return none_or_null(request_reset(as_request(op), 1));
}

// Closes the file of every part of the parsed form, then disposes of the content. Fields stay.
int request_dispose(RequestObject* self) noexcept {
    MessageObject* message = base_of(self);
    Ref form = Ref::borrow(message->_form_data);
    if (form.get() != Py_None) {
        Ref values(PyMapping_Values(form.get()));
        if (!values) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
            Ref value = Ref::borrow(PyList_GET_ITEM(values.get(), i));
            Ref items(PySequence_Fast(value.get(), "form values must be sequences of parts"));
            if (!items) return -1;
            // Re-read the size each round: closing a file runs Python code.
            for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(items.get()); ++j) {
                Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), j));
                Ref file(PyObject_GetAttr(item.get(), g_names[N_FILE]));
                if (!file) return -1;
                int truth = PyObject_IsTrue(file.get());
                if (truth < 0) return -1;
                if (truth && as_status(PyObject_CallMethodNoArgs(file.get(), g_names[N_CLOSE])) < 0) return -1;
            }
        }
    }
    if (message->content == Py_None) return 0;
    Ref content = Ref::borrow(message->content);
    int truth = PyObject_IsTrue(content.get());
    if (truth <= 0) return truth;
    auto* native = reinterpret_cast<contents::ContentObject*>(content.get());
    return as_status(native->ops->dispose(native, 0));
}

PyObject* py_request_dispose(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("dispose", nargs, kwnames)) return nullptr;
    return none_or_null(request_dispose(as_request(op)));
}

const char* const kNameParam[] = {"name"};
const Signature kGetCookieSignature{"get_cookie", kNameParam, 1, 1};

PyObject* py_request_get_cookie(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* name;
    if (!parse_args(kGetCookieSignature, args, nargs, kwnames, &name)) return nullptr;
    if (!check_exact_arg(name, &PyUnicode_Type, "name")) return nullptr;
    Ref cookies(request_cookies(as_request(op)));
    if (!cookies) return nullptr;
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(cookies.get(), name, &value) < 0) return nullptr;
    return value ? value : Py_NewRef(Py_None);
}

const char* const kSetCookieParams[] = {"name", "value"};
const Signature kSetCookieSignature{"set_cookie", kSetCookieParams, 2, 2};

// Adds the cookie name=value (each percent-quoted) to the request's cookie header. The values of
// all the cookie headers present and the new pair are joined with "; " into one header, so every
// cookie set or received survives, in order.
int request_set_cookie(RequestObject* self, PyObject* name, PyObject* value) noexcept {
    Ref quoted_name(percent::quote(name));
    if (!quoted_name) return -1;
    Ref quoted_value(percent::quote(value));
    if (!quoted_value) return -1;
    // Quoted text is ASCII.
    Py_ssize_t name_size = PyUnicode_GET_LENGTH(quoted_name.get());
    Py_ssize_t value_size = PyUnicode_GET_LENGTH(quoted_value.get());
    Ref pair(PyBytes_FromStringAndSize(nullptr, name_size + 1 + value_size));
    if (!pair) return -1;
    char* out = PyBytes_AS_STRING(pair.get());
    std::memcpy(out, PyUnicode_1BYTE_DATA(quoted_name.get()), static_cast<size_t>(name_size));
    out[name_size] = '=';
    std::memcpy(out + name_size + 1, PyUnicode_1BYTE_DATA(quoted_value.get()), static_cast<size_t>(value_size));

    MessageObject* message = base_of(self);
    Ref existing(message->ops->get_headers(message, g_key_cookie, 0));
    if (!existing) return -1;
    Ref sequence(PySequence_Fast(existing.get(), "get_headers must return a sequence"));
    if (!sequence) return -1;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    if (count == 0) return message->ops->_add_header(message, g_key_cookie, pair.get(), 0);
    Ref pieces(PyList_New(0));
    if (!pieces) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* header = PySequence_Fast_GET_ITEM(sequence.get(), i);
        if (!PyBytes_Check(header)) return raise_expected("bytes", header);
        if (PyBytes_GET_SIZE(header) > 0 && PyList_Append(pieces.get(), header) < 0) return -1;
    }
    if (PyList_Append(pieces.get(), pair.get()) < 0) return -1;
    Ref joined(PyBytes_Join(g_cookie_separator, pieces.get()));
    if (!joined) return -1;
    return message->ops->set_header(message, g_key_cookie, joined.get(), 0);
}

PyObject* py_request_set_cookie(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* values[2];
    if (!parse_args(kSetCookieSignature, args, nargs, kwnames, values)) return nullptr;
    if (!check_exact_arg(values[0], &PyUnicode_Type, "name") || !check_exact_arg(values[1], &PyUnicode_Type, "value")) {
        return nullptr;
    }
    return none_or_null(request_set_cookie(as_request(op), values[0], values[1]));
}

// "<Request GET /items?page=2>". A URL that cannot be built or decoded (no path, a path the URL
// type refuses, bytes that are not UTF-8, a subclass's url property that fails or gives no URL)
// is shown as the raw path and query instead, so that printing a request never fails.
PyObject* request_repr(PyObject* op) noexcept {
    RequestObject* self = as_request(op);
    Ref method = Ref::borrow(self->method == Py_None ? g_none_text : self->method);
    Ref url(read_url(self));
    Ref text;
    if (url && PyObject_TypeCheck(url.get(), g_imports.url.url_type) &&
        PyBytes_Check(reinterpret_cast<url::URLObject*>(url.get())->value)) {
        PyObject* value = reinterpret_cast<url::URLObject*>(url.get())->value;
        text.reset(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr));
    }
    if (!text) {
        PyErr_Clear();
        Ref path = Ref::borrow(PyBytes_Check(self->_path) ? self->_path : g_empty_bytes);
        Ref query = Ref::borrow(PyBytes_Check(self->_raw_query) ? self->_raw_query : g_empty_bytes);
        Ref path_text(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(path.get()), PyBytes_GET_SIZE(path.get()),
                                           "backslashreplace"));
        Ref query_text(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(query.get()), PyBytes_GET_SIZE(query.get()),
                                            "backslashreplace"));
        if (!path_text || !query_text) return nullptr;
        text.reset(PyUnicode_FromFormat("%U%s%U", path_text.get(), PyBytes_GET_SIZE(query.get()) ? "?" : "",
                                        query_text.get()));
        if (!text) return nullptr;
    }
    return PyUnicode_FromFormat("<Request %S %U>", method.get(), text.get());
}

PyMethodDef request_methods[] = {
    QM_FASTCALL_METHOD("expect_100_continue", py_request_expect_100_continue,
                       "expect_100_continue($self, /)\n--\n\n"
                       "Whether the client asked, with an Expect header, for a 100 Continue before the body."),
    QM_FASTCALL_METHOD("reset", py_request_reset,
                       "reset($self, /)\n--\n\nReturns the request to its empty state, for reuse."),
    QM_FASTCALL_METHOD("dispose", py_request_dispose,
                       "dispose($self, /)\n--\n\n"
                       "Closes the files of the parsed form and disposes of the body content."),
    QM_FASTCALL_METHOD("get_cookie", py_request_get_cookie,
                       "get_cookie($self, /, name)\n--\n\nThe value of the request cookie `name`, or None."),
    QM_FASTCALL_METHOD("set_cookie", py_request_set_cookie,
                       "set_cookie($self, /, name, value)\n--\n\nAdds a cookie to the request's cookie header."),
    {"incoming", QM_FASTCALL(py_request_incoming), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "incoming($cls, /, method, path, query, headers)\n--\n\n"
     "A request from the pieces an ASGI server delivers (raw path and query as they are); no URL is parsed."},
    {nullptr, nullptr, 0, nullptr},
};

#define QM_FIELD_ANY(name, doc) {#name, get_member<&RequestObject::name>, set_any_member<&RequestObject::name>, doc, nullptr}
#define QM_FIELD_TYPED(name, type, doc) \
    {#name, get_member<&RequestObject::name>, set_builtin_member<&RequestObject::name, type>, doc, nullptr}

PyGetSetDef request_getset[] = {
    QM_FIELD_TYPED(method, &PyUnicode_Type, "The HTTP method as received (str)."),
    {"_url", get_member<&RequestObject::_url>, request_set_url_field<&RequestObject::_url>,
     "The cached URL, or None.", nullptr},
    QM_FIELD_TYPED(_path, &PyBytes_Type, "The raw request path (bytes)."),
    QM_FIELD_TYPED(_raw_query, &PyBytes_Type, "The raw query string without '?' (bytes)."),
    QM_FIELD_ANY(route_values, "The values the router captured from the path."),
    QM_FIELD_ANY(scope, "The ASGI scope."),
    QM_FIELD_ANY(_user, "The cached identity, or None."),
    QM_FIELD_ANY(_di_scope, "The dependency-injection scope of the request."),
    QM_FIELD_ANY(state, "Per-request application state."),
    QM_FIELD_ANY(_session, "The session, or None."),
    QM_FIELD_TYPED(_base_path, &PyUnicode_Type, "An explicit base path, or None."),
    QM_FIELD_TYPED(_original_client_ip, &PyUnicode_Type, "An explicit client address, or None."),
    QM_FIELD_TYPED(_host, &PyUnicode_Type, "The cached or explicit host, or None."),
    QM_FIELD_TYPED(_scheme, &PyUnicode_Type, "An explicit scheme, or None."),
    QM_FIELD_ANY(_context, "A free slot, kept by reset."),
    QM_FIELD_ANY(services, "The service provider of dependency injection."),
    QM_FIELD_ANY(_is_disconnected, "Whether a disconnection was seen: None before any probe."),
    {"user", request_get_user, request_set_user, "The identity of the user (an empty Identity by default).",
     nullptr},
    {"identity", request_get_identity, request_set_user, "The same as `user`.", nullptr},
    {"session", request_get_session, request_set_session, "The request session (TypeError when none is set).",
     nullptr},
    {"scheme", request_get_scheme, request_set_scheme, "The URL scheme: explicit, else the scope's.", nullptr},
    {"host", request_get_host, request_set_str_property<&RequestObject::_host>,
     "The host: from an absolute URL, else the Host header (BadRequest when missing).", nullptr},
    {"base_path", request_get_base_path, request_set_str_property<&RequestObject::_base_path>,
     "The base path: explicit, else the scope's root_path.", nullptr},
    {"client_ip", request_get_client_ip, nullptr, "The client's address, from the scope.", nullptr},
    {"original_client_ip", request_get_original_client_ip,
     request_set_str_property<&RequestObject::_original_client_ip>,
     "The address of the client that started the request: explicit, else client_ip.", nullptr},
    {"path", request_get_path, nullptr, "The raw path decoded as UTF-8.", nullptr},
    {"query", request_get_query, request_set_query, "The query string parsed into a dict of str to list of str.",
     nullptr},
    {"url", request_get_url, request_set_url, "The request URL (a URL), built from the raw path and query.", nullptr},
    {"cookies", request_get_cookies, nullptr, "The request cookies, a dict of str to str.", nullptr},
    {"etag", request_get_etag, nullptr, "The ETag header value, or None.", nullptr},
    {"if_none_match", request_get_if_none_match, nullptr, "The If-None-Match header value, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef QM_FIELD_ANY
#undef QM_FIELD_TYPED

PyType_Slot request_slots[] = {
    {Py_tp_doc, const_cast<char*>("Request(method, url, headers)\n--\n\n"
                                  "An HTTP request: the request line and the raw header list as received, and its "
                                  "body content. Derived values are computed when read.")},
    {Py_tp_new, reinterpret_cast<void*>(request_new)},
    {Py_tp_init, reinterpret_cast<void*>(request_init)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(request_vectorcall)},
    QM_GC_SLOTS(RequestFields::dealloc_with_weakrefs, RequestFields::traverse, RequestFields::clear_to_none),
    {Py_tp_repr, reinterpret_cast<void*>(request_repr)},
    {Py_tp_methods, request_methods},
    {Py_tp_getset, request_getset},
    {0, nullptr},
};

PyType_Spec request_spec = {
    "quillmoth.messages.Request",
    sizeof(RequestObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    request_slots,
};

}  // namespace

RequestObject* make_request(PyObject* method, PyObject* headers) noexcept {
    Ref obj(request_new(g_request_type, nullptr, nullptr));
    if (!obj || !request_fill(as_request(obj.get()), method, Py_None, headers)) return nullptr;
    return as_request(obj.release());
}

bool init_request_unit(PyObject* module) noexcept {
    if (!g_names.intern()) return false;
    struct Constant {
        PyObject** slot;
        PyObject* value;
    };
    const Constant constants[] = {
        {&g_key_host, PyBytes_FromString("host")},
        {&g_key_cookie, PyBytes_FromString("cookie")},
        {&g_key_expect, PyBytes_FromString("expect")},
        {&g_key_etag, PyBytes_FromString("etag")},
        {&g_key_if_none_match, PyBytes_FromString("if-none-match")},
        {&g_empty_bytes, PyBytes_FromStringAndSize("", 0)},
        {&g_empty_str, PyUnicode_FromStringAndSize("", 0)},
        {&g_none_text, PyUnicode_FromString("None")},
        {&g_default_client, Py_BuildValue("(si)", "", 0)},
        {&g_equals_bytes, PyBytes_FromStringAndSize("=", 1)},
        {&g_cookie_separator, PyBytes_FromStringAndSize("; ", 2)},
    };
    bool ok = true;
    for (const Constant& c : constants) {
        *c.slot = c.value;
        ok &= c.value != nullptr;
    }
    if (!ok) return false;
    g_request_type = add_module_type(module, &request_spec, reinterpret_cast<PyObject*>(g_message_type));
    if (!g_request_type || !bind_overridables(g_overridables, N_OPS_COUNT, g_request_type, g_names.data())) {
        return false;
    }
    const TypeExport types[] = {{"Request", g_request_type}};
    return publish_types(module, types, 1);
}

void release_request_unit() noexcept {
    clear_refs(g_key_host, g_key_cookie, g_key_expect, g_key_etag, g_key_if_none_match, g_empty_bytes,
               g_empty_str, g_none_text, g_default_client, g_equals_bytes, g_cookie_separator);
    g_names.release();
    for (Overridable& op : g_overridables) op.unbind();
}

}  // namespace qm::messages
