// quillmoth.messages, unit Response: what a handler returns, a status, a header list and a body.
//
// Cookies are never parsed when a response is built or sent: set_cookie writes the Set-Cookie
// value into the header list once, when it is called, and the cookie readers parse the
// set-cookie headers only when they are asked.
#include "messages_module.h"

namespace qm::messages {
namespace {

// The overridable operations first, in table order.
enum Name { N_IS_REDIRECT, N_RESET, N_OPS_COUNT, N_SET_COOKIE = N_OPS_COUNT, N_PHRASE, N_NAME, N_COUNT };
constexpr const char* kNameTexts[N_COUNT] = {"is_redirect", "reset", "set_cookie", "phrase", "name"};
InternedNames<N_COUNT> g_names{kNameTexts};
Overridable g_overridables[N_OPS_COUNT];

PyObject* g_key_set_cookie = nullptr;  // b"set-cookie"
PyObject* g_empty_str = nullptr;

using ResponseFields =
    DerivedFields<MessageFields, ResponseObject, &ResponseObject::state, &ResponseObject::_context>;

inline MessageObject* base_of(ResponseObject* self) noexcept { return &self->message; }

// ---------------------------------------------------------------------------------------------
// Cookies

// The values of the set-cookie headers (through the table), as a fast sequence.
PyObject* set_cookie_values(ResponseObject* self) noexcept {
    Ref values(base_of(self)->ops->get_headers(base_of(self), g_key_set_cookie, 0));
    if (!values) return nullptr;
    return PySequence_Fast(values.get(), "get_headers must return a sequence");
}

// The Cookie parsed from one set-cookie value, which must be bytes.
PyObject* parse_set_cookie(PyObject* value) noexcept {
    if (!PyBytes_Check(value)) return raise_expected("bytes", value);
    return reinterpret_cast<PyObject*>(g_imports.cookies.parse_cookie(value, 0));
}

// The name of a parsed cookie (its property, which a subclass of Cookie may redefine).
PyObject* cookie_name(PyObject* cookie) noexcept {
    if (Py_IS_TYPE(cookie, g_imports.cookie_type)) {
        return Py_NewRef(reinterpret_cast<cookies::CookieObject*>(cookie)->_name);
    }
    return PyObject_GetAttr(cookie, g_names[N_NAME]);
}

// Whether the parsed cookie is named `name`: 1, 0 or -1.
int cookie_named(PyObject* cookie, PyObject* name) noexcept {
    Ref own(cookie_name(cookie));
    if (!own) return -1;
    return PyObject_RichCompareBool(own.get(), name, Py_EQ);
}

PyObject* response_get_cookies(ResponseObject* self) noexcept {
    Ref values(set_cookie_values(self));
    if (!values) return nullptr;
    Ref cookies(PyDict_New());
    if (!cookies) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(values.get()); ++i) {
        Ref cookie(parse_set_cookie(PySequence_Fast_GET_ITEM(values.get(), i)));
        if (!cookie) return nullptr;
        Ref name(cookie_name(cookie.get()));
        if (!name || PyDict_SetItem(cookies.get(), name.get(), cookie.get()) < 0) return nullptr;
    }
    return cookies.release();
}

PyObject* response_get_cookie(ResponseObject* self, PyObject* name) noexcept {
    Ref values(set_cookie_values(self));
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(values.get()); ++i) {
        Ref cookie(parse_set_cookie(PySequence_Fast_GET_ITEM(values.get(), i)));
        if (!cookie) return nullptr;
        int named = cookie_named(cookie.get(), name);
        if (named < 0) return nullptr;
        if (named) return cookie.release();
    }
    Py_RETURN_NONE;
}

// Appends (b"set-cookie", the cookie written as a Set-Cookie value) to the header list. None
// cannot be written as a Set-Cookie value: it is refused like any other non-cookie.
int response_set_cookie(ResponseObject* self, PyObject* cookie) noexcept {
    if (!check_instance_arg(cookie, g_imports.cookie_type, "cookie", false)) return -1;
    Ref value(g_imports.cookies.write_cookie_for_response(reinterpret_cast<cookies::CookieObject*>(cookie)));
    if (!value) return -1;
    return base_of(self)->ops->_add_header(base_of(self), g_key_set_cookie, value.get(), 0);
}

// Calls set_cookie looked up on the object, so that a subclass's override runs.
int call_set_cookie(ResponseObject* self, PyObject* cookie) noexcept {
    return as_status(call_method(as_object(self), g_names[N_SET_COOKIE], cookie));
}

int response_remove_cookie(ResponseObject* self, PyObject* name) noexcept {
    MessageObject* message = base_of(self);
    Ref pairs(message->ops->get_headers_tuples(message, g_key_set_cookie, 0));
    if (!pairs) return -1;
    Ref matching(PyList_New(0));
    if (!matching) return -1;
    Ref sequence(PySequence_Fast(pairs.get(), "get_headers_tuples must return a sequence"));
    if (!sequence) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        PyObject* pair = PySequence_Fast_GET_ITEM(sequence.get(), i);
        Ref value(PySequence_GetItem(pair, 1));
        if (!value) return -1;
        Ref cookie(parse_set_cookie(value.get()));
        if (!cookie) return -1;
        int named = cookie_named(cookie.get(), name);
        if (named < 0) return -1;
        if (named && PyList_Append(matching.get(), pair) < 0) return -1;
    }
    if (PyList_GET_SIZE(matching.get()) == 0) return 0;
    return message->ops->remove_headers(message, matching.get(), 0);
}

// ---------------------------------------------------------------------------------------------
// Operations of the table

int response_is_redirect(ResponseObject* self, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_IS_REDIRECT].dispatch(self, skip_dispatch)) return as_truth(call.result);
    switch (self->status) {
        case 301: case 302: case 303: case 307: case 308: return 1;
        default: return 0;
    }
}

int response_reset(ResponseObject* self, int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_RESET].dispatch(self, skip_dispatch)) return as_status(call.result);
    Ref held = Ref::borrow(as_object(self));
    MessageObject* message = base_of(self);
    self->status = 200;
    replace_field_borrowed(&self->state, Py_None);
    replace_field_borrowed(&message->context, Py_None);
    replace_field_borrowed(&message->_form_data, Py_None);
    if (!adopt_header_list(message, Py_None, false)) return -1;
    return dispose_content(message);
}

}  // namespace

const ResponseOps kResponseOps = {kMessageOps, response_is_redirect, response_reset};

namespace {

// ---------------------------------------------------------------------------------------------
// Construction

PyObject* response_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref obj(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    ResponseObject* self = as_response(obj.get());
    self->message.ops = &kResponseOps;
    self->status = 0;
    ResponseFields::reset_to_none(obj.get());
    return obj.release();
}

const char* const kInitParams[] = {"status", "headers", "content"};
const Signature kInitSignature{"__init__", kInitParams, 3, 1};

[[nodiscard]] bool response_fill(ResponseObject* self, PyObject* status, PyObject* headers,
                                 PyObject* content) noexcept {
    int32_t code;
    if (!to_c_integer(status, &code)) return false;
    if (!check_exact_arg(headers, &PyList_Type, "headers") ||
        !check_instance_arg(content, g_imports.content_type, "content")) {
        return false;
    }
    if (!adopt_header_list(base_of(self), headers, false)) return false;
    self->status = code;
    replace_field_borrowed(&self->message.content, content);
    return true;
}

int response_init(PyObject* op, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* values[3] = {nullptr, Py_None, Py_None};
    if (!parse_tuple_args(kInitSignature, args, kwargs, values)) return -1;
    return response_fill(as_response(op), values[0], values[1], values[2]) ? 0 : -1;
}

PyObject* response_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    PyObject* values[3] = {nullptr, Py_None, Py_None};
    if (!parse_args(kInitSignature, args, PyVectorcall_NARGS(nargsf), kwnames, values)) return nullptr;
    Ref obj(response_new(reinterpret_cast<PyTypeObject*>(type), nullptr, nullptr));
    if (!obj || !response_fill(as_response(obj.get()), values[0], values[1], values[2])) return nullptr;
    return obj.release();
}

// ---------------------------------------------------------------------------------------------
// Attributes and methods

PyObject* response_get_reason(PyObject* op, void*) noexcept {
    Ref code(PyLong_FromLong(as_response(op)->status));
    if (!code) return nullptr;
    Ref member(PyObject_CallOneArg(g_imports.http_status, code.get()));
    if (!member) return nullptr;
    return PyObject_GetAttr(member.get(), g_names[N_PHRASE]);
}

PyObject* response_get_acquired(PyObject* op, void*) noexcept { return PyBool_FromLong(as_response(op)->acquired); }

PyObject* response_get_cookies_property(PyObject* op, void*) noexcept { return response_get_cookies(as_response(op)); }

PyObject* none_or_null(int status) noexcept { return status < 0 ? nullptr : Py_NewRef(Py_None); }

PyObject* py_response_is_redirect(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("is_redirect", nargs, kwnames)) return nullptr;
    int truth = response_is_redirect(as_response(op), 1);
    return truth < 0 ? nullptr : PyBool_FromLong(truth);
}

PyObject* py_response_reset(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("reset", nargs, kwnames)) return nullptr;
    return none_or_null(response_reset(as_response(op), 1));
}

PyObject* py_response_get_cookies(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("get_cookies", nargs, kwnames)) return nullptr;
    return response_get_cookies(as_response(op));
}

const char* const kNameParam[] = {"name"};
const char* const kCookieParam[] = {"cookie"};
const char* const kCookiesParam[] = {"cookies"};
const Signature kGetCookieSignature{"get_cookie", kNameParam, 1, 1};
const Signature kSetCookieSignature{"set_cookie", kCookieParam, 1, 1};
const Signature kSetCookiesSignature{"set_cookies", kCookiesParam, 1, 1};
const Signature kUnsetCookieSignature{"unset_cookie", kNameParam, 1, 1};
const Signature kRemoveCookieSignature{"remove_cookie", kNameParam, 1, 1};

// Parses the one `name` argument (a str or None) of the cookie methods.
[[nodiscard]] bool parse_name(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              PyObject** name) noexcept {
    return parse_args(sig, args, nargs, kwnames, name) && check_exact_arg(*name, &PyUnicode_Type, "name");
}

PyObject* py_response_get_cookie(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* name;
    if (!parse_name(kGetCookieSignature, args, nargs, kwnames, &name)) return nullptr;
    return response_get_cookie(as_response(op), name);
}

PyObject* py_response_set_cookie(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* cookie;
    if (!parse_args(kSetCookieSignature, args, nargs, kwnames, &cookie)) return nullptr;
    return none_or_null(response_set_cookie(as_response(op), cookie));
}

PyObject* py_response_set_cookies(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* cookies;
    if (!parse_args(kSetCookiesSignature, args, nargs, kwnames, &cookies)) return nullptr;
    if (!check_exact_arg(cookies, &PyList_Type, "cookies", false)) return nullptr;
    Ref held = Ref::borrow(cookies);
    // Re-read the length each round: a set_cookie override may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cookies); ++i) {
        Ref cookie = Ref::borrow(PyList_GET_ITEM(cookies, i));
        if (!PyObject_TypeCheck(cookie.get(), g_imports.cookie_type)) {
            return raise_cannot_convert(cookie.get(), g_imports.cookie_type);
        }
        if (call_set_cookie(as_response(op), cookie.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// Asks the client to delete the cookie: a cookie of that name with an empty value that expired a
// year ago, through set_cookie looked up on the object.
PyObject* py_response_unset_cookie(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* name;
    if (!parse_name(kUnsetCookieSignature, args, nargs, kwnames, &name)) return nullptr;
    Ref now(PyObject_CallNoArgs(g_imports.utcnow));
    if (!now) return nullptr;
    Ref expires(PyNumber_Subtract(now.get(), g_imports.timedelta_year));
    if (!expires) return nullptr;
    PyObject* cookie_args[] = {name, g_empty_str, expires.get()};
    Ref cookie(PyObject_Vectorcall(reinterpret_cast<PyObject*>(g_imports.cookie_type), cookie_args, 3, nullptr));
    if (!cookie) return nullptr;
    return none_or_null(call_set_cookie(as_response(op), cookie.get()));
}

PyObject* py_response_remove_cookie(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* name;
    if (!parse_name(kRemoveCookieSignature, args, nargs, kwnames, &name)) return nullptr;
    return none_or_null(response_remove_cookie(as_response(op), name));
}

PyObject* response_repr(PyObject* op) noexcept {
    return PyUnicode_FromFormat("<Response %d>", static_cast<int>(as_response(op)->status));
}

PyMethodDef response_methods[] = {
    QM_FASTCALL_METHOD("is_redirect", py_response_is_redirect,
                       "is_redirect($self, /)\n--\n\nWhether the status is a redirect: 301, 302, 303, 307 or 308."),
    QM_FASTCALL_METHOD("reset", py_response_reset,
                       "reset($self, /)\n--\n\nReturns the response to its initial state, for reuse."),
    QM_FASTCALL_METHOD("get_cookies", py_response_get_cookies,
                       "get_cookies($self, /)\n--\n\n"
                       "The cookies of the set-cookie headers, by name (a later header wins)."),
    QM_FASTCALL_METHOD("get_cookie", py_response_get_cookie,
                       "get_cookie($self, /, name)\n--\n\nThe first cookie named `name` of the set-cookie headers, or "
                       "None."),
    QM_FASTCALL_METHOD("set_cookie", py_response_set_cookie,
                       "set_cookie($self, /, cookie)\n--\n\nAppends a set-cookie header for the Cookie."),
    QM_FASTCALL_METHOD("set_cookies", py_response_set_cookies,
                       "set_cookies($self, /, cookies)\n--\n\nCalls set_cookie for each Cookie of the list, in order."),
    QM_FASTCALL_METHOD("unset_cookie", py_response_unset_cookie,
                       "unset_cookie($self, /, name)\n--\n\n"
                       "Asks the client to delete the cookie: sets it empty, expired a year ago."),
    QM_FASTCALL_METHOD("remove_cookie", py_response_remove_cookie,
                       "remove_cookie($self, /, name)\n--\n\nRemoves every set-cookie header of that cookie name."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef response_getset[] = {
    {"status", get_member<&ResponseObject::status>, set_integer_member<&ResponseObject::status>,
     "The HTTP status code.", nullptr},
    {"state", get_member<&ResponseObject::state>, set_any_member<&ResponseObject::state>,
     "Application state of the response.", nullptr},
    {"_context", get_member<&ResponseObject::_context>, set_any_member<&ResponseObject::_context>,
     "A free slot, kept by reset.", nullptr},
    {"_acquired", response_get_acquired, nullptr,
     "Whether the response was handed out by acquire_response and not released since (the framework "
     "recycles only those).", nullptr},
    {"reason", response_get_reason, nullptr, "The standard reason phrase of the status.", nullptr},
    {"cookies", response_get_cookies_property, nullptr, "The same as get_cookies().", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot response_slots[] = {
    {Py_tp_doc, const_cast<char*>("Response(status, headers=None, content=None)\n--\n\n"
                                  "An HTTP response: a status, a raw header list and a body content.")},
    {Py_tp_new, reinterpret_cast<void*>(response_new)},
    {Py_tp_init, reinterpret_cast<void*>(response_init)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(response_vectorcall)},
    QM_GC_SLOTS(ResponseFields::dealloc_with_weakrefs, ResponseFields::traverse, ResponseFields::clear_to_none),
    {Py_tp_repr, reinterpret_cast<void*>(response_repr)},
    {Py_tp_methods, response_methods},
    {Py_tp_getset, response_getset},
    {0, nullptr},
};

PyType_Spec response_spec = {
    "quillmoth.messages.Response",
    sizeof(ResponseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    response_slots,
};

}  // namespace

ResponseObject* make_response(int32_t status, PyObject* headers, PyObject* content, bool adopt_empty) noexcept {
    Ref obj(response_new(g_response_type, nullptr, nullptr));
    if (!obj || !adopt_header_list(&as_response(obj.get())->message, headers, adopt_empty)) return nullptr;
    ResponseObject* self = as_response(obj.get());
    self->status = status;
    replace_field_borrowed(&self->message.content, content);
    return as_response(obj.release());
}

bool init_response_unit(PyObject* module) noexcept {
    if (!g_names.intern()) return false;
    g_key_set_cookie = PyBytes_FromString("set-cookie");
    g_empty_str = PyUnicode_FromStringAndSize("", 0);
    if (!g_key_set_cookie || !g_empty_str) return false;
    g_response_type = add_module_type(module, &response_spec, reinterpret_cast<PyObject*>(g_message_type));
    if (!g_response_type || !bind_overridables(g_overridables, N_OPS_COUNT, g_response_type, g_names.data())) {
        return false;
    }
    const TypeExport types[] = {{"Response", g_response_type}};
    return publish_types(module, types, 1);
}

void release_response_unit() noexcept {
    clear_refs(g_key_set_cookie, g_empty_str);
    g_names.release();
    for (Overridable& op : g_overridables) op.unbind();
}

}  // namespace qm::messages
