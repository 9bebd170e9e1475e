// quillmoth.cookies: the Cookie value object, the SameSite enumeration, parsing of Set-Cookie
// header values, writing of them, and cookie dates.
//
// Parsing, percent-coding, writing and the common date form run natively on the raw bytes; only
// dates in another shape than the one written here go through the standard library's RFC 5322
// parser.

#include "cookies.h"

#include "common/bytes.h"
#include "common/native.h"
#include "common/percent.h"

#include <datetime.h>

#include <cstring>

namespace {

using qm::Ref;
using qm::cookies::CookieObject;
using qm::cookies::CookieOps;
using qm::cookies::CookieSameSiteMode;

// ---------------------------------------------------------------------------------------------
// Module state (one interpreter)

PyTypeObject* g_cookie_type = nullptr;
PyObject* g_same_site_type = nullptr;   // the CookieSameSiteMode enumeration class
PyObject* g_same_site_members[4] = {};  // UNDEFINED, LAX, STRICT, NONE
PyTypeObject* g_cookie_error_type = nullptr;
PyTypeObject* g_value_too_long_error_type = nullptr;  // CookieValueExceedsMaximumLength
PyObject* g_parsedate_to_datetime = nullptr;  // email.utils.parsedate_to_datetime
PyObject* g_newobj = nullptr;                 // copyreg.__newobj__
PyObject* g_tzinfo_kwnames = nullptr;         // ("tzinfo",)

// The overridable operation first.
enum Name { N_CLONE, N_OPS_COUNT, N_NAME = N_OPS_COUNT, N_VALUE, N_ENUM_NAME, N_ENUM_VALUE, N_VALUE2MEMBER,
            N_REPLACE, N_DICT, N_INDEX, N_LOWER, N_COUNT };
constexpr const char* kNameTexts[N_COUNT] = {"clone", "name", "value", "_name_", "_value_", "_value2member_map_",
                                             "replace", "__dict__", "index", "lower"};
qm::InternedNames<N_COUNT> g_names{kNameTexts};
qm::Overridable g_overridables[N_OPS_COUNT];

PyObject* cookie_clone(CookieObject* self, int skip_dispatch);
const CookieOps kCookieOps = {cookie_clone};

constexpr const char kDayNames[7][4] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr const char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// "Wed, 21 Oct 2015 07:28:00 GMT"
constexpr size_t kCookieDateLength = 29;

PyTypeObject* datetime_type() noexcept { return PyDateTimeAPI->DateTimeType; }


// A read-only view of bytes held by some object.
struct Span {
    const char* data;
    size_t size;
};

Span subspan(Span s, size_t start, size_t end) noexcept { return {s.data + start, end - start}; }

bool span_equals_lowered(Span s, const char* lowered) noexcept {
    return qm::equals_lowered(s.data, s.size, lowered, std::strlen(lowered));
}

// Position of the first `c` in `s`, or s.size.
size_t find_byte(Span s, char c) noexcept {
    const void* hit = std::memchr(s.data, c, s.size);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - s.data) : s.size;
}

// ---------------------------------------------------------------------------------------------
// CookieSameSiteMode

// A new reference to the enumeration member for `mode`; values outside the named four give the
// registered unnamed member.
PyObject* same_site_to_object(CookieSameSiteMode mode) noexcept {
    auto raw = static_cast<uint32_t>(mode);
    if (raw < 4) return Py_NewRef(g_same_site_members[raw]);
    Ref number(PyLong_FromUnsignedLong(raw));
    if (!number) return nullptr;
    return PyObject_CallOneArg(g_same_site_type, number.get());
}

// Any integer from 0 to 2**32-1 (or an object with __index__).
[[nodiscard]] bool same_site_from_object(PyObject* value, CookieSameSiteMode* out) noexcept {
    int overflow = 0;
    long long wide = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (wide == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && wide < 0)) {
        return qm::raise_error(PyExc_OverflowError, "can't convert negative value to CookieSameSiteMode");
    }
    if (overflow > 0 || wide > static_cast<long long>(UINT32_MAX)) {
        return qm::raise_error(PyExc_OverflowError, "value too large to convert to CookieSameSiteMode");
    }
    *out = static_cast<CookieSameSiteMode>(static_cast<uint32_t>(wide));
    return true;
}

// _missing_(cls, value): an integer without a named member becomes an unnamed member carrying
// it, registered so that the same value gives the same object again.
PyObject* same_site_missing(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) return qm::raise_arg_count("_missing_", 1, 1, nargs - 1);
    PyObject* cls = args[0];
    PyObject* value = args[1];
    if (!PyLong_Check(value) || !PyType_Check(cls)) Py_RETURN_NONE;  // the enumeration reports ValueError
    Ref number(PyNumber_Index(value));
    if (!number) return nullptr;
    Ref int_args(PyTuple_Pack(1, number.get()));
    if (!int_args) return nullptr;
    Ref member(PyLong_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls), int_args.get(), nullptr));
    if (!member) return nullptr;
    if (PyObject_SetAttr(member.get(), g_names[N_ENUM_NAME], Py_None) < 0 ||
        PyObject_SetAttr(member.get(), g_names[N_ENUM_VALUE], number.get()) < 0) {
        return nullptr;
    }
    Ref registry(PyObject_GetAttr(cls, g_names[N_VALUE2MEMBER]));
    if (!registry) return nullptr;
    if (!PyDict_Check(registry.get())) return qm::raise_expected("dict", registry.get());
    PyObject* registered = nullptr;
    if (PyDict_SetDefaultRef(registry.get(), number.get(), member.get(), &registered) < 0) return nullptr;
    return registered;
}

// __repr__: the standard form for named members, "<CookieSameSiteMode: 7>" for unnamed ones.
PyObject* same_site_repr(PyObject*, PyObject* self) {
    Ref name(PyObject_GetAttr(self, g_names[N_ENUM_NAME]));
    if (!name) return nullptr;
    Ref value(PyObject_GetAttr(self, g_names[N_ENUM_VALUE]));
    if (!value) return nullptr;
    Ref class_name(PyType_GetName(Py_TYPE(self)));
    if (!class_name) return nullptr;
    if (name.get() == Py_None) return PyUnicode_FromFormat("<%U: %R>", class_name.get(), value.get());
    return PyUnicode_FromFormat("<%U.%S: %R>", class_name.get(), name.get(), value.get());
}

PyMethodDef g_same_site_missing_def = {"_missing_", QM_FASTCALL(same_site_missing), METH_FASTCALL,
                                       "Registers an unnamed member for an integer without a name."};
PyMethodDef g_same_site_repr_def = {"__repr__", same_site_repr, METH_O, "Return repr(self)."};

// Builds the IntEnum subclass through its metaclass, as a class statement would.
[[nodiscard]] bool create_same_site_enum(PyObject* module) noexcept {
    Ref enum_module(PyImport_ImportModule("enum"));
    if (!enum_module) return false;
    Ref int_enum(PyObject_GetAttrString(enum_module.get(), "IntEnum"));
    if (!int_enum) return false;
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(int_enum.get()));
    Ref class_name(PyUnicode_FromString("CookieSameSiteMode"));
    Ref bases(PyTuple_Pack(1, int_enum.get()));
    if (!class_name || !bases) return false;
    Ref ns(PyObject_CallMethod(metaclass, "__prepare__", "OO", class_name.get(), bases.get()));
    if (!ns) return false;

    Ref missing_fn(PyCFunction_NewEx(&g_same_site_missing_def, module, nullptr));
    if (!missing_fn) return false;
    Ref missing(PyClassMethod_New(missing_fn.get()));
    if (!missing) return false;
    Ref repr_fn(PyCFunction_NewEx(&g_same_site_repr_def, module, nullptr));
    if (!repr_fn) return false;
    Ref repr(PyInstanceMethod_New(repr_fn.get()));
    if (!repr) return false;

    struct Item {
        const char* key;
        PyObject* value;
    };
    Ref module_name(PyUnicode_FromString("quillmoth.cookies"));
    Ref doc(PyUnicode_FromString("SameSite attribute of a cookie. An integer without a name converts to an "
                                 "unnamed member carrying it."));
    if (!module_name || !doc) return false;
    const Item items[] = {{"__module__", module_name.get()},
                          {"__qualname__", class_name.get()},
                          {"__doc__", doc.get()},
                          {"_missing_", missing.get()},
                          {"__repr__", repr.get()}};
    for (const Item& item : items) {
        if (PyMapping_SetItemString(ns.get(), item.key, item.value) < 0) return false;
    }
    const char* const member_names[4] = {"UNDEFINED", "LAX", "STRICT", "NONE"};
    for (long i = 0; i < 4; ++i) {
        Ref number(PyLong_FromLong(i));
        if (!number || PyMapping_SetItemString(ns.get(), member_names[i], number.get()) < 0) return false;
    }
    Ref cls(PyObject_CallFunctionObjArgs(metaclass, class_name.get(), bases.get(), ns.get(), nullptr));
    if (!cls) return false;
    for (int i = 0; i < 4; ++i) {
        g_same_site_members[i] = PyObject_GetAttrString(cls.get(), member_names[i]);
        if (!g_same_site_members[i]) return false;
    }
    if (PyModule_AddObjectRef(module, "CookieSameSiteMode", cls.get()) < 0) return false;
    g_same_site_type = cls.release();
    return true;
}

// Mode for a SameSite attribute text: exact Strict, Lax or None after ASCII lowering.
CookieSameSiteMode same_site_from_span(Span s) noexcept {
    if (span_equals_lowered(s, "strict")) return CookieSameSiteMode::STRICT;
    if (span_equals_lowered(s, "lax")) return CookieSameSiteMode::LAX;
    if (span_equals_lowered(s, "none")) return CookieSameSiteMode::NONE;
    return CookieSameSiteMode::UNDEFINED;
}

// Exported: same_site_mode_from_bytes(raw_value).
CookieSameSiteMode same_site_mode_from_bytes(PyObject* raw_value) {
    if (!raw_value || raw_value == Py_None) return CookieSameSiteMode::UNDEFINED;
    if (PyBytes_Check(raw_value)) {
        return same_site_from_span({PyBytes_AS_STRING(raw_value), static_cast<size_t>(PyBytes_GET_SIZE(raw_value))});
    }
    // Another object: empty means no mode; otherwise its lower() must give bytes.
    int truth = PyObject_IsTrue(raw_value);
    if (truth <= 0) return CookieSameSiteMode::UNDEFINED;
    Ref lowered(PyObject_CallMethodNoArgs(raw_value, g_names[N_LOWER]));
    if (!lowered) return CookieSameSiteMode::UNDEFINED;
    if (!PyBytes_Check(lowered.get())) {
        (void)qm::raise_expected("bytes", lowered.get());
        return CookieSameSiteMode::UNDEFINED;
    }
    return same_site_from_span(
        {PyBytes_AS_STRING(lowered.get()), static_cast<size_t>(PyBytes_GET_SIZE(lowered.get()))});
}

// ---------------------------------------------------------------------------------------------
// Errors

// CookieError(message): message must be str or None and becomes the exception's only argument.
int cookie_error_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"message"};
    static const qm::Signature sig = {"CookieError", names, 1, 1};
    PyObject* message = nullptr;
    if (!qm::parse_tuple_args(sig, args, kwargs, &message)) return -1;
    if (!qm::check_exact_arg(message, &PyUnicode_Type, "message")) return -1;
    Ref base_args(PyTuple_Pack(1, message));
    if (!base_args) return -1;
    return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, base_args.get(), nullptr);
}

constexpr const char kValueTooLongMessage[] =
    "The length of the cookie value exceeds the maximum length of 4096 bytes, and it would be ignored or "
    "truncated by clients. See: https://www.rfc-editor.org/rfc/rfc6265#section-6.1";

// CookieValueExceedsMaximumLength(): no arguments, a fixed message.
int value_too_long_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const qm::Signature sig = {"CookieValueExceedsMaximumLength", nullptr, 0, 0};
    if (!qm::parse_tuple_args(sig, args, kwargs, nullptr)) return -1;
    Ref message(PyUnicode_FromString(kValueTooLongMessage));
    if (!message) return -1;
    Ref base_args(PyTuple_Pack(1, message.get()));
    if (!base_args) return -1;
    return cookie_error_init(self, base_args.get(), nullptr);
}

// Pickles as a call without arguments, which is what its constructor takes.
PyObject* value_too_long_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O())", reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

PyMethodDef value_too_long_methods[] = {
    {"__reduce__", value_too_long_reduce, METH_NOARGS, "Return state information for pickling."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot cookie_error_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(cookie_error_init)},
    {Py_tp_doc, const_cast<char*>("CookieError(message)\n--\n\nError of the cookie model.")},
    {0, nullptr}};
PyType_Spec cookie_error_spec = {"quillmoth.cookies.CookieError", 0, 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
                                 cookie_error_slots};

PyType_Slot value_too_long_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(value_too_long_init)},
    {Py_tp_methods, value_too_long_methods},
    {Py_tp_doc, const_cast<char*>("CookieValueExceedsMaximumLength()\n--\n\n"
                                  "A cookie value longer than 4096 bytes in UTF-8.")},
    {0, nullptr}};
PyType_Spec value_too_long_spec = {"quillmoth.cookies.CookieValueExceedsMaximumLength", 0, 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
                                   value_too_long_slots};

QM_COLD qm::Failure raise_value_too_long() noexcept {
    Ref error(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(g_value_too_long_error_type)));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(g_value_too_long_error_type), error.get());
    return {};
}

// ---------------------------------------------------------------------------------------------
// Cookie: validated name and value

// Length of the UTF-8 encoding of `text`, or -1 with UnicodeEncodeError set when it holds a lone
// surrogate (which cannot be encoded at all).
Py_ssize_t utf8_length(PyObject* text) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) return n;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t total = 0;
    if (kind == PyUnicode_1BYTE_KIND) {
        const Py_UCS1* chars = static_cast<const Py_UCS1*>(data);
        for (Py_ssize_t i = 0; i < n; ++i) total += chars[i] < 0x80 ? 1 : 2;
        return total;
    }
    bool surrogate = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            total += 1;
        } else if (c < 0x800) {
            total += 2;
        } else if (c < 0x10000) {
            total += 3;
            surrogate |= c >= 0xD800 && c <= 0xDFFF;
        } else {
            total += 4;
        }
    }
    if (surrogate) {
        Py_ssize_t size;
        if (!PyUnicode_AsUTF8AndSize(text, &size)) return -1;
        return size;
    }
    return total;
}

int set_name(CookieObject* self, PyObject* value) noexcept {
    if (!value) return qm::raise_no_delete();
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    if (!truth) return qm::raise_error(PyExc_ValueError, "A cookie name is required");
    if (!PyUnicode_CheckExact(value)) return qm::raise_expected("str", value);
    qm::replace_field_borrowed(&self->_name, value);
    return 0;
}

int set_value(CookieObject* self, PyObject* value) noexcept {
    if (!value) return qm::raise_no_delete();
    if (value != Py_None) {
        if (!PyUnicode_CheckExact(value)) return qm::raise_expected("str", value);
        // 1024 characters or fewer cannot exceed 4096 bytes; longer ones are measured.
        const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        if (length > 0 && (length > qm::cookies::kMaxCookieValueLength / 4 || !PyUnicode_IS_ASCII(value))) {
            Py_ssize_t encoded = utf8_length(value);
            if (encoded < 0) return -1;
            if (encoded > qm::cookies::kMaxCookieValueLength) return raise_value_too_long();
        }
    }
    qm::replace_field_borrowed(&self->_value, value);
    return 0;
}

// Name and value as the properties give them: the fields for Cookie itself, the attribute for a
// subclass (which may redefine the properties).
PyObject* read_name(PyObject* cookie) noexcept {
    if (Py_IS_TYPE(cookie, g_cookie_type)) return qm::get_field(reinterpret_cast<CookieObject*>(cookie)->_name);
    return PyObject_GetAttr(cookie, g_names[N_NAME]);
}

PyObject* read_value(PyObject* cookie) noexcept {
    if (Py_IS_TYPE(cookie, g_cookie_type)) return qm::get_field(reinterpret_cast<CookieObject*>(cookie)->_value);
    return PyObject_GetAttr(cookie, g_names[N_VALUE]);
}

// Assigns through the properties: directly for Cookie itself, by attribute for a subclass.
[[nodiscard]] bool assign_name_and_value(CookieObject* self, PyObject* name, PyObject* value) noexcept {
    if (Py_IS_TYPE(self, g_cookie_type)) return set_name(self, name) == 0 && set_value(self, value) == 0;
    PyObject* obj = reinterpret_cast<PyObject*>(self);
    return PyObject_SetAttr(obj, g_names[N_NAME], name) == 0 && PyObject_SetAttr(obj, g_names[N_VALUE], value) == 0;
}

// The fields after the name and value, converted.
struct CookieAttributes {
    PyObject* expires = Py_None;  // borrowed
    PyObject* domain = Py_None;   // borrowed
    PyObject* path = Py_None;     // borrowed
    bool http_only = false;
    bool secure = false;
    int64_t max_age = -1;
    CookieSameSiteMode same_site = CookieSameSiteMode::UNDEFINED;
};

void store_attributes(CookieObject* self, const CookieAttributes& a) noexcept {
    qm::replace_field_borrowed(&self->expires, a.expires);
    qm::replace_field_borrowed(&self->domain, a.domain);
    qm::replace_field_borrowed(&self->path, a.path);
    self->http_only = a.http_only;
    self->secure = a.secure;
    self->max_age = a.max_age;
    self->same_site = a.same_site;
}

PyObject* cookie_new(PyTypeObject* type, PyObject*, PyObject*);

// A new Cookie of the base class, validated like the constructor validates it.
PyObject* create_cookie(PyObject* name, PyObject* value, const CookieAttributes& attributes) noexcept {
    Ref cookie(cookie_new(g_cookie_type, nullptr, nullptr));
    if (!cookie) return nullptr;
    auto* self = reinterpret_cast<CookieObject*>(cookie.get());
    if (!assign_name_and_value(self, name, value)) return nullptr;
    store_attributes(self, attributes);
    return cookie.release();
}

// ---------------------------------------------------------------------------------------------
// Cookie: type slots

PyObject* cookie_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    auto* self = reinterpret_cast<CookieObject*>(obj);
    self->ops = &kCookieOps;
    self->_name = Py_NewRef(Py_None);
    self->_value = Py_NewRef(Py_None);
    self->expires = Py_NewRef(Py_None);
    self->domain = Py_NewRef(Py_None);
    self->path = Py_NewRef(Py_None);
    self->http_only = false;
    self->secure = false;
    self->max_age = -1;
    self->same_site = CookieSameSiteMode::UNDEFINED;
    return obj;
}

int cookie_init(PyObject* obj, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"name",      "value",  "expires", "domain",   "path",
                                        "http_only", "secure", "max_age", "same_site"};
    static const qm::Signature sig = {"Cookie", names, 9, 2};
    PyObject* a[9] = {nullptr, nullptr, Py_None, Py_None, Py_None, nullptr, nullptr, nullptr, nullptr};
    if (!qm::parse_tuple_args(sig, args, kwargs, a)) return -1;
    if (!qm::check_exact_arg(a[0], &PyUnicode_Type, "name") || !qm::check_exact_arg(a[1], &PyUnicode_Type, "value") ||
        !qm::check_instance_arg(a[2], datetime_type(), "expires") ||
        !qm::check_exact_arg(a[3], &PyUnicode_Type, "domain") || !qm::check_exact_arg(a[4], &PyUnicode_Type, "path")) {
        return -1;
    }
    CookieAttributes attributes;
    attributes.expires = a[2];
    attributes.domain = a[3];
    attributes.path = a[4];
    if (a[5]) {
        int truth = PyObject_IsTrue(a[5]);
        if (truth < 0) return -1;
        attributes.http_only = truth;
    }
    if (a[6]) {
        int truth = PyObject_IsTrue(a[6]);
        if (truth < 0) return -1;
        attributes.secure = truth;
    }
    if (a[7] && !qm::to_c_integer(a[7], &attributes.max_age)) return -1;
    if (a[8] && !same_site_from_object(a[8], &attributes.same_site)) return -1;
    auto* self = reinterpret_cast<CookieObject*>(obj);
    if (!assign_name_and_value(self, a[0], a[1])) return -1;
    store_attributes(self, attributes);
    return 0;
}

using CookieFields = qm::ObjectFields<CookieObject, &CookieObject::_name, &CookieObject::_value,
                                      &CookieObject::expires, &CookieObject::domain, &CookieObject::path>;

// "<Cookie sid: abc...>": only the first three characters of the value.
PyObject* cookie_repr(PyObject* obj) {
    Ref name(read_name(obj));
    if (!name) return nullptr;
    Ref value(read_value(obj));
    if (!value) return nullptr;
    Ref head(PySequence_GetSlice(value.get(), 0, 3));
    if (!head) return nullptr;
    return PyUnicode_FromFormat("<Cookie %S: %S...>", name.get(), head.get());
}

// cookie == other, by the kind of `other`: a str or bytes compares with the value, a cookie by
// name and then value; anything else is not comparable here.
PyObject* cookie_equals(PyObject* self, PyObject* other) noexcept {
    if (PyUnicode_Check(other)) {
        Ref value(read_value(self));
        if (!value) return nullptr;
        return PyObject_RichCompare(other, value.get(), Py_EQ);
    }
    if (PyBytes_Check(other)) {
        Ref decoded(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(other), PyBytes_GET_SIZE(other), nullptr));
        if (!decoded) return nullptr;
        Ref value(read_value(self));
        if (!value) return nullptr;
        return PyObject_RichCompare(decoded.get(), value.get(), Py_EQ);
    }
    if (PyObject_TypeCheck(other, g_cookie_type)) {
        Ref other_name(read_name(other));
        if (!other_name) return nullptr;
        Ref name(read_name(self));
        if (!name) return nullptr;
        Ref same_name(PyObject_RichCompare(other_name.get(), name.get(), Py_EQ));
        if (!same_name) return nullptr;
        int truth = PyObject_IsTrue(same_name.get());
        if (truth < 0) return nullptr;
        if (!truth) return same_name.release();
        Ref other_value(read_value(other));
        if (!other_value) return nullptr;
        Ref value(read_value(self));
        if (!value) return nullptr;
        return PyObject_RichCompare(other_value.get(), value.get(), Py_EQ);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

PyObject* cookie_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    PyObject* result = cookie_equals(self, other);
    if (!result || op == Py_EQ || result == Py_NotImplemented) return result;
    int truth = PyObject_IsTrue(result);
    Py_DECREF(result);
    if (truth < 0) return nullptr;
    return PyBool_FromLong(!truth);
}

// ---------------------------------------------------------------------------------------------
// Cookie: properties

CookieObject* as_cookie(PyObject* obj) noexcept { return reinterpret_cast<CookieObject*>(obj); }

int set_name_property(PyObject* obj, PyObject* value, void*) { return set_name(as_cookie(obj), value); }
int set_value_property(PyObject* obj, PyObject* value, void*) { return set_value(as_cookie(obj), value); }

int set_expires(PyObject* obj, PyObject* value, void*) {
    return qm::set_instance_field(&as_cookie(obj)->expires, value, datetime_type());
}

[[nodiscard]] int set_flag(bool* slot, PyObject* value) noexcept {
    if (!value) return qm::raise_no_delete();
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    *slot = truth;
    return 0;
}
PyObject* get_http_only(PyObject* obj, void*) { return PyBool_FromLong(as_cookie(obj)->http_only); }
int set_http_only(PyObject* obj, PyObject* value, void*) { return set_flag(&as_cookie(obj)->http_only, value); }
PyObject* get_secure(PyObject* obj, void*) { return PyBool_FromLong(as_cookie(obj)->secure); }
int set_secure(PyObject* obj, PyObject* value, void*) { return set_flag(&as_cookie(obj)->secure, value); }

PyObject* get_same_site(PyObject* obj, void*) { return same_site_to_object(as_cookie(obj)->same_site); }
int set_same_site(PyObject* obj, PyObject* value, void*) {
    if (!value) return qm::raise_no_delete();
    CookieSameSiteMode mode;
    if (!same_site_from_object(value, &mode)) return -1;
    as_cookie(obj)->same_site = mode;
    return 0;
}

PyGetSetDef cookie_getset[] = {
    {"name", qm::get_member<&CookieObject::_name>, set_name_property, "The cookie's name: a non-empty str.", nullptr},
    {"value", qm::get_member<&CookieObject::_value>, set_value_property,
     "The cookie's value: str (at most 4096 bytes in UTF-8) or None.", nullptr},
    {"expires", qm::get_member<&CookieObject::expires>, set_expires, "Expiry date (datetime) or None.", nullptr},
    {"domain", qm::get_member<&CookieObject::domain>, qm::set_builtin_member<&CookieObject::domain, &PyUnicode_Type>,
     "Domain attribute (str) or None.", nullptr},
    {"path", qm::get_member<&CookieObject::path>, qm::set_builtin_member<&CookieObject::path, &PyUnicode_Type>,
     "Path attribute (str) or None.", nullptr},
    {"http_only", get_http_only, set_http_only, "Whether the cookie is hidden from scripts.", nullptr},
    {"secure", get_secure, set_secure, "Whether the cookie is sent over secure connections only.", nullptr},
    {"max_age", qm::get_member<&CookieObject::max_age>, qm::set_integer_member<&CookieObject::max_age>,
     "Max-Age in seconds; negative when not set.", nullptr},
    {"same_site", get_same_site, set_same_site, "SameSite mode (CookieSameSiteMode).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---------------------------------------------------------------------------------------------
// Cookie: operations

PyObject* cookie_clone(CookieObject* self, int skip_dispatch) {
    if (auto call = g_overridables[N_CLONE].dispatch(self, skip_dispatch)) return call.result;
    PyObject* obj = reinterpret_cast<PyObject*>(self);
    Ref name(read_name(obj));
    if (!name) return nullptr;
    Ref value(read_value(obj));
    if (!value) return nullptr;
    CookieAttributes attributes;
    attributes.expires = self->expires;
    attributes.domain = self->domain;
    attributes.path = self->path;
    attributes.http_only = self->http_only;
    attributes.secure = self->secure;
    attributes.max_age = self->max_age;
    attributes.same_site = self->same_site;
    return create_cookie(name.get(), value.get(), attributes);
}

PyObject* py_cookie_clone(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qm::no_args("clone", nargs, kwnames)) return nullptr;
    return cookie_clone(as_cookie(self), 1);
}

// Pickled state: (_name, _value, domain, expires, http_only, max_age, path, same_site, secure),
// followed by the instance dictionary of a subclass when it holds anything.
PyObject* cookie_reduce(PyObject* obj, PyObject*) {
    CookieObject* self = as_cookie(obj);
    Ref state(Py_BuildValue("(OOOOOLOkO)", self->_name, self->_value, self->domain, self->expires,
                            self->http_only ? Py_True : Py_False, static_cast<long long>(self->max_age), self->path,
                            static_cast<unsigned long>(self->same_site), self->secure ? Py_True : Py_False));
    if (!state) return nullptr;
    if (!Py_IS_TYPE(obj, g_cookie_type)) {
        PyObject* raw = nullptr;
        if (qm::get_pickle_dict(obj, g_names[N_DICT], &raw) < 0) return nullptr;
        Ref dict(raw);
        if (dict) {
            state.reset(PyTuple_Pack(2, state.get(), dict.get()));
            if (!state) return nullptr;
        }
    }
    return Py_BuildValue("(O(O)O)", g_newobj, reinterpret_cast<PyObject*>(Py_TYPE(obj)), state.get());
}

PyObject* cookie_setstate(PyObject* obj, PyObject* state) {
    PyObject* dict = nullptr;
    if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2 && PyTuple_Check(PyTuple_GET_ITEM(state, 0))) {
        dict = PyTuple_GET_ITEM(state, 1);
        state = PyTuple_GET_ITEM(state, 0);
    }
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 9) {
        return qm::raise_error(PyExc_TypeError, "invalid Cookie state");
    }
    PyObject* const* f = &PyTuple_GET_ITEM(state, 0);
    // Fields in the pickled order: _name, _value, domain, expires, http_only, max_age, path,
    // same_site, secure. Checked for type, so a forged state cannot give an unwritable cookie.
    for (int i : {0, 1, 2, 6}) {
        if (f[i] != Py_None && !PyUnicode_CheckExact(f[i])) return qm::raise_expected("str", f[i]);
    }
    if (f[3] != Py_None && !PyObject_TypeCheck(f[3], datetime_type())) {
        return qm::raise_cannot_convert(f[3], datetime_type());
    }
    CookieAttributes attributes;
    attributes.domain = f[2];
    attributes.expires = f[3];
    attributes.path = f[6];
    int http_only = PyObject_IsTrue(f[4]);
    if (http_only < 0) return nullptr;
    int secure = PyObject_IsTrue(f[8]);
    if (secure < 0) return nullptr;
    attributes.http_only = http_only;
    attributes.secure = secure;
    if (!qm::to_c_integer(f[5], &attributes.max_age)) return nullptr;
    if (!same_site_from_object(f[7], &attributes.same_site)) return nullptr;
    CookieObject* self = as_cookie(obj);
    qm::replace_field_borrowed(&self->_name, f[0]);
    qm::replace_field_borrowed(&self->_value, f[1]);
    store_attributes(self, attributes);
    if (dict && dict != Py_None) {
        Ref own_dict(PyObject_GetAttr(obj, g_names[N_DICT]));
        if (!own_dict || PyDict_Update(own_dict.get(), dict) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef cookie_methods[] = {
    QM_FASTCALL_METHOD("clone", py_cookie_clone,
        "clone($self, /)\n--\n\nA new Cookie (of the base class) with the same name, value and attributes, "
        "validated again."),
    {"__reduce__", cookie_reduce, METH_NOARGS, "Return state information for pickling."},
    {"__setstate__", cookie_setstate, METH_O, "Restore the pickled state."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot cookie_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(cookie_new)},
    {Py_tp_init, reinterpret_cast<void*>(cookie_init)},
    QM_FIELD_GC_SLOTS(CookieFields),
    {Py_tp_repr, reinterpret_cast<void*>(cookie_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(cookie_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, cookie_methods},
    {Py_tp_getset, cookie_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Cookie(name, value, expires=None, domain=None, path=None, http_only=False, secure=False, "
                    "max_age=-1, same_site=CookieSameSiteMode.UNDEFINED)\n--\n\n"
                    "An HTTP cookie: a name, a value and the attributes written into a Set-Cookie header.")},
    {0, nullptr}};

PyType_Spec cookie_spec = {"quillmoth.cookies.Cookie", sizeof(CookieObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                           cookie_slots};

// ---------------------------------------------------------------------------------------------
// Cookie dates

// Day of the week of a proleptic Gregorian date, 0 for Monday.
int weekday_of(int year, unsigned month, unsigned day) noexcept {
    year -= month <= 2;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    const long days_since_epoch = static_cast<long>(era) * 146097 + static_cast<long>(day_of_era) - 719468;
    // 1970-01-01 was a Thursday.
    return static_cast<int>(((days_since_epoch % 7) + 7 + 3) % 7);
}

void write_two_digits(char* out, int value) noexcept {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
}

// Writes the 29 bytes of "Wed, 21 Oct 2015 07:28:00 GMT" for a datetime, with English names
// whatever the process locale says: the date is read by clients, not by people.
void write_cookie_date(PyObject* value, char* out) noexcept {
    const int year = PyDateTime_GET_YEAR(value);
    const int month = PyDateTime_GET_MONTH(value);
    const int day = PyDateTime_GET_DAY(value);
    std::memcpy(out, kDayNames[weekday_of(year, static_cast<unsigned>(month), static_cast<unsigned>(day))], 3);
    out[3] = ',';
    out[4] = ' ';
    write_two_digits(out + 5, day);
    out[7] = ' ';
    std::memcpy(out + 8, kMonthNames[month - 1], 3);
    out[11] = ' ';
    write_two_digits(out + 12, year / 100);  // datetime years run from 1 to 9999
    write_two_digits(out + 14, year % 100);
    out[16] = ' ';
    write_two_digits(out + 17, PyDateTime_DATE_GET_HOUR(value));
    out[19] = ':';
    write_two_digits(out + 20, PyDateTime_DATE_GET_MINUTE(value));
    out[22] = ':';
    write_two_digits(out + 23, PyDateTime_DATE_GET_SECOND(value));
    std::memcpy(out + 25, " GMT", 4);
}

// `value` (a datetime) with its clock moved to UTC when it carries an offset: a new reference to
// value - value.utcoffset(), or to `value` itself when it is naive (or its tzinfo gives no offset).
// The result is always a datetime: a subclass whose subtraction gives anything else raises
// TypeError, as its fields are then read directly.
PyObject* to_utc_clock(PyObject* value) noexcept {
    if (PyDateTime_DATE_GET_TZINFO(value) == Py_None) return Py_NewRef(value);
    Ref offset(PyObject_CallMethod(value, "utcoffset", nullptr));
    if (!offset) return nullptr;
    if (offset.get() == Py_None) return Py_NewRef(value);
    Ref moved(PyNumber_Subtract(value, offset.get()));
    if (!moved) return nullptr;
    if (!PyDateTime_Check(moved.get())) return qm::raise_cannot_convert(moved.get(), datetime_type());
    return moved.release();
}

// Exported: datetime_to_cookie_format(value).
PyObject* datetime_to_cookie_format(PyObject* value, int) {
    if (value == Py_None) return qm::raise_no_attribute(Py_None, "strftime");
    if (!PyObject_TypeCheck(value, datetime_type())) return qm::raise_cannot_convert(value, datetime_type());
    // A cookie date is always GMT: an aware datetime is moved to UTC first (a naive one is taken
    // as UTC already), so 09:28 at +02:00 is written as 07:28 GMT, not as 09:28 GMT.
    Ref utc(to_utc_clock(value));
    if (!utc) return nullptr;
    char buffer[kCookieDateLength];
    write_cookie_date(utc.get(), buffer);
    return PyBytes_FromStringAndSize(buffer, kCookieDateLength);
}

int digit_at(Span s, size_t i) noexcept {
    auto c = static_cast<unsigned char>(s.data[i]);
    return (c >= '0' && c <= '9') ? c - '0' : -1;
}

// Two ASCII digits at s[i], or -1.
int two_digits_at(Span s, size_t i) noexcept {
    int hi = digit_at(s, i), lo = digit_at(s, i + 1);
    return (hi < 0 || lo < 0) ? -1 : hi * 10 + lo;
}

int index_of_name(const char (*names)[4], int count, const char* text) noexcept {
    for (int i = 0; i < count; ++i) {
        if (std::memcmp(names[i], text, 3) == 0) return i;
    }
    return -1;
}

bool is_leap_year(int year) noexcept { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int year, int month) noexcept {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : days[month - 1];
}

// The date as this module writes it ("Wed, 21 Oct 2015 07:28:00 GMT", valid fields, a four-digit
// year from 1000): a new naive datetime, or null without an exception when the text has another
// shape, which the general parser then handles.
PyObject* parse_written_cookie_date(Span s) noexcept {
    if (s.size != kCookieDateLength) return nullptr;
    const char* t = s.data;
    if (t[3] != ',' || t[4] != ' ' || t[7] != ' ' || t[11] != ' ' || t[16] != ' ' || t[19] != ':' || t[22] != ':' ||
        std::memcmp(t + 25, " GMT", 4) != 0) {
        return nullptr;
    }
    if (index_of_name(kDayNames, 7, t) < 0) return nullptr;
    int month = index_of_name(kMonthNames, 12, t + 8) + 1;
    int day = two_digits_at(s, 5);
    int century = two_digits_at(s, 12), year_of_century = two_digits_at(s, 14);
    int hour = two_digits_at(s, 17), minute = two_digits_at(s, 20), second = two_digits_at(s, 23);
    if (month <= 0 || day < 0 || century < 10 || year_of_century < 0 || hour < 0 || minute < 0 || second < 0) {
        return nullptr;
    }
    int year = century * 100 + year_of_century;
    if (day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 || second > 59) return nullptr;
    PyObject* result = PyDateTime_FromDateAndTime(year, month, day, hour, minute, second, 0);
    return result;
}

// datetime_from_cookie_format on raw bytes.
PyObject* datetime_from_span(Span s) noexcept {
    PyObject* fast = parse_written_cookie_date(s);
    if (fast || PyErr_Occurred()) return fast;
    Ref text(PyUnicode_DecodeUTF8(s.data, static_cast<Py_ssize_t>(s.size), nullptr));
    if (!text) return nullptr;
    Ref parsed(PyObject_CallOneArg(g_parsedate_to_datetime, text.get()));
    if (!parsed) return nullptr;
    // A date with an offset ("... 07:28:00 +0200") is 05:28 UTC: the naive result is the UTC clock.
    if (PyDateTime_Check(parsed.get())) parsed.reset(to_utc_clock(parsed.get()));
    if (!parsed) return nullptr;
    PyObject* args[] = {parsed.get(), Py_None};
    return PyObject_VectorcallMethod(g_names[N_REPLACE], args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, g_tzinfo_kwnames);
}

// Exported: datetime_from_cookie_format(value).
PyObject* datetime_from_cookie_format(PyObject* value, int) {
    if (value == Py_None) return qm::raise_no_attribute(Py_None, "decode");
    if (!PyBytes_Check(value)) return qm::raise_expected("bytes", value);
    return datetime_from_span({PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value))});
}

// ---------------------------------------------------------------------------------------------
// Parsing

// Exported: split_value(raw_value, separator) -> (raw_value[:i], raw_value[i + 1:]) where i is the
// first occurrence of separator; ValueError when there is none.
PyObject* split_value(PyObject* raw_value, PyObject* separator) {
    Py_ssize_t index;
    if (PyBytes_CheckExact(raw_value) && PyBytes_CheckExact(separator) && PyBytes_GET_SIZE(separator) == 1) {
        Span s{PyBytes_AS_STRING(raw_value), static_cast<size_t>(PyBytes_GET_SIZE(raw_value))};
        size_t found = find_byte(s, PyBytes_AS_STRING(separator)[0]);
        if (found == s.size) return qm::raise_error(PyExc_ValueError, "subsection not found");
        PyObject* before = PyBytes_FromStringAndSize(s.data, static_cast<Py_ssize_t>(found));
        if (!before) return nullptr;
        PyObject* after = PyBytes_FromStringAndSize(s.data + found + 1, static_cast<Py_ssize_t>(s.size - found - 1));
        if (!after) {
            Py_DECREF(before);
            return nullptr;
        }
        PyObject* pair = PyTuple_New(2);
        if (!pair) {
            Py_DECREF(before);
            Py_DECREF(after);
            return nullptr;
        }
        PyTuple_SET_ITEM(pair, 0, before);
        PyTuple_SET_ITEM(pair, 1, after);
        return pair;
    }
    // Anything else goes through the object's own index() and slicing.
    {
        Ref position(PyObject_CallMethodOneArg(raw_value, g_names[N_INDEX], separator));
        if (!position) return nullptr;
        index = PyLong_AsSsize_t(position.get());
        if (index == -1 && PyErr_Occurred()) return nullptr;
    }
    Ref before(PySequence_GetSlice(raw_value, 0, index));
    if (!before) return nullptr;
    Ref after(PySequence_GetSlice(raw_value, index + 1, PY_SSIZE_T_MAX));
    if (!after) return nullptr;
    return PyTuple_Pack(2, before.get(), after.get());
}

// unquote(bytes.decode()): strict UTF-8 first (so invalid input raises UnicodeDecodeError), then
// percent-decoding with invalid sequences in the decoded bytes replaced.
PyObject* decode_and_unquote(Span s) noexcept {
    if (!std::memchr(s.data, '%', s.size)) return PyUnicode_DecodeUTF8(s.data, static_cast<Py_ssize_t>(s.size), nullptr);
    bool ascii = true;
    for (size_t i = 0; i < s.size; ++i) {
        if (static_cast<unsigned char>(s.data[i]) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (!ascii) {
        Ref checked(PyUnicode_DecodeUTF8(s.data, static_cast<Py_ssize_t>(s.size), nullptr));
        if (!checked) return nullptr;
    }
    // Characters outside ASCII were whole UTF-8 sequences in the input, so decoding every byte
    // at once gives what decoding each ASCII run on its own would.
    return qm::percent::unquote_buffer_to_str(s.data, s.size);
}

PyObject* decode_utf8(Span s) noexcept { return PyUnicode_DecodeUTF8(s.data, static_cast<Py_ssize_t>(s.size), nullptr); }

// int(v) for a Max-Age text, into a signed 64-bit integer.
[[nodiscard]] bool parse_max_age(Span s, int64_t* out) noexcept {
    if (s.size > 0 && s.size <= 18) {
        int64_t value = 0;
        size_t i = 0;
        for (; i < s.size; ++i) {
            int digit = digit_at(s, i);
            if (digit < 0) break;
            value = value * 10 + digit;
        }
        if (i == s.size) {
            *out = value;
            return true;
        }
    }
    // Signs, surrounding whitespace, underscores, errors: the interpreter's own parsing.
    Ref text(PyBytes_FromStringAndSize(s.data, static_cast<Py_ssize_t>(s.size)));
    if (!text) return false;
    Ref number(PyNumber_Long(text.get()));
    if (!number) return false;
    return qm::to_c_integer(number.get(), out);
}

// ValueError "Invalid name=value fragment: b'...'", raised while handling the ValueError of the
// failed split, as the fragment lacks "=".
QM_COLD qm::Failure raise_invalid_fragment(Span fragment) noexcept {
    Ref fragment_bytes(PyBytes_FromStringAndSize(fragment.data, static_cast<Py_ssize_t>(fragment.size)));
    if (!fragment_bytes) return qm::kFailed;
    Ref shown(PyObject_Str(fragment_bytes.get()));
    if (!shown) return qm::kFailed;
    PyErr_SetString(PyExc_ValueError, "subsection not found");
    PyObject* inner = PyErr_GetRaisedException();
    PyErr_Format(PyExc_ValueError, "Invalid name=value fragment: %U", shown.get());
    PyObject* outer = PyErr_GetRaisedException();
    PyException_SetContext(outer, inner);  // steals inner
    PyErr_SetRaisedException(outer);
    return {};
}

// Splits a header value into its fragments: on "; " when it occurs, otherwise on ";".
class FragmentReader {
public:
    explicit FragmentReader(Span s) noexcept : s_(s) {
        wide_ = s.size >= 2 && memmem(s.data, s.size, "; ", 2) != nullptr;
    }
    bool next(Span* out) noexcept {
        if (done_) return false;
        const char* start = s_.data + pos_;
        size_t rest = s_.size - pos_;
        const void* hit = wide_ ? memmem(start, rest, "; ", 2) : std::memchr(start, ';', rest);
        if (!hit) {
            *out = {start, rest};
            done_ = true;
            return true;
        }
        size_t len = static_cast<size_t>(static_cast<const char*>(hit) - start);
        *out = {start, len};
        pos_ += len + (wide_ ? 2 : 1);
        return true;
    }

private:
    Span s_;
    size_t pos_ = 0;
    bool wide_ = false;
    bool done_ = false;
};

struct OptionalSpan {
    Span span{nullptr, 0};
    bool set = false;
    // Set and not empty.
    bool present() const noexcept { return set && span.size > 0; }
};

CookieObject* parse_cookie_bytes(Span raw) noexcept {
    FragmentReader reader(raw);
    Span first;
    (void)reader.next(&first);
    size_t eq = find_byte(first, '=');
    if (eq == first.size) return raise_invalid_fragment(first);
    Span name = subspan(first, 0, eq);
    Span value = subspan(first, eq + 1, first.size);
    if (value.size > 0 && value.data[0] == '"' && std::memchr(value.data, ' ', value.size)) {
        while (value.size > 0 && value.data[0] == '"') {
            ++value.data;
            --value.size;
        }
        while (value.size > 0 && value.data[value.size - 1] == '"') --value.size;
    }

    OptionalSpan expires, domain, path, same_site;
    CookieAttributes attributes;
    // Every fragment is scanned, the name=value one included; a later attribute overrides an
    // earlier one.
    Span fragment = first;
    do {
        size_t split = find_byte(fragment, '=');
        if (split == fragment.size) {
            if (span_equals_lowered(fragment, "httponly")) {
                attributes.http_only = true;
            } else if (span_equals_lowered(fragment, "secure")) {
                attributes.secure = true;
            }
            continue;
        }
        Span key = subspan(fragment, 0, split);
        Span text = subspan(fragment, split + 1, fragment.size);
        OptionalSpan* target = nullptr;
        switch (key.size) {
            case 4:
                if (span_equals_lowered(key, "path")) target = &path;
                break;
            case 6:
                if (span_equals_lowered(key, "domain")) target = &domain;
                break;
            case 7:
                if (span_equals_lowered(key, "expires")) {
                    target = &expires;
                } else if (span_equals_lowered(key, "max-age")) {
                    if (!parse_max_age(text, &attributes.max_age)) return nullptr;
                }
                break;
            case 8:
                if (span_equals_lowered(key, "samesite")) target = &same_site;
                break;
            default:
                break;
        }
        if (target) {
            target->span = text;
            target->set = true;
        }
    } while (reader.next(&fragment));

    Ref name_text(decode_and_unquote(name));
    if (!name_text) return nullptr;
    Ref value_text(decode_and_unquote(value));
    if (!value_text) return nullptr;
    Ref expires_value, domain_value, path_value;
    if (expires.present()) {
        expires_value.reset(datetime_from_span(expires.span));
        if (!expires_value) return nullptr;
        attributes.expires = expires_value.get();
    }
    if (domain.present()) {
        domain_value.reset(decode_utf8(domain.span));
        if (!domain_value) return nullptr;
        attributes.domain = domain_value.get();
    }
    if (path.present()) {
        path_value.reset(decode_utf8(path.span));
        if (!path_value) return nullptr;
        attributes.path = path_value.get();
    }
    if (same_site.present()) attributes.same_site = same_site_from_span(same_site.span);
    return reinterpret_cast<CookieObject*>(create_cookie(name_text.get(), value_text.get(), attributes));
}

// Exported: parse_cookie(raw_value).
CookieObject* parse_cookie(PyObject* raw_value, int) {
    if (raw_value == Py_None) return qm::raise_no_attribute(Py_None, "split");
    if (!PyBytes_Check(raw_value)) return qm::raise_expected("bytes", raw_value);
    return parse_cookie_bytes({PyBytes_AS_STRING(raw_value), static_cast<size_t>(PyBytes_GET_SIZE(raw_value))});
}

// ---------------------------------------------------------------------------------------------
// Writing

// The bytes quote() encodes for a name or value: UTF-8 of a str, or the bytes themselves.
struct QuoteSource {
    Span span{nullptr, 0};
    size_t unsafe = 0;
    size_t quoted_size() const noexcept { return span.size + 2 * unsafe; }
};

[[nodiscard]] bool prepare_quote(PyObject* value, QuoteSource* out) noexcept {
    if (PyUnicode_Check(value)) {
        Py_ssize_t size;
        const char* data = PyUnicode_AsUTF8AndSize(value, &size);  // no copy for ASCII text
        if (!data) return false;
        out->span = {data, static_cast<size_t>(size)};
    } else if (PyBytes_Check(value)) {
        out->span = {PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value))};
    } else {
        return qm::raise_error(PyExc_TypeError, "quote_from_bytes() expected bytes");
    }
    out->unsafe = qm::percent::count_unsafe(out->span.data, out->span.size, qm::percent::kDefaultSafe);
    return true;
}

// Domain and path go into the header as they are, so text that would end the attribute (";") or
// the header line (CR, LF) is refused rather than written.
[[nodiscard]] bool prepare_attribute(PyObject* value, const char* what, Span* out) noexcept {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        char c = data[i];
        if (c == ';' || c == '\r' || c == '\n') {
            return qm::raise_format(PyExc_ValueError, "Cookie %s must not contain CR, LF or ';': %R", what, value);
        }
    }
    *out = {data, static_cast<size_t>(size)};
    return true;
}

class Writer {
public:
    explicit Writer(char* out) noexcept : out_(out) {}
    void separator() noexcept { raw("; ", 2); }
    void raw(const char* data, size_t n) noexcept {
        std::memcpy(out_, data, n);
        out_ += n;
    }
    void literal(const char* text) noexcept { raw(text, std::strlen(text)); }
    void quoted(const QuoteSource& source) noexcept {
        qm::percent::quote_into(source.span.data, source.span.size, out_, qm::percent::kDefaultSafe);
        out_ += source.quoted_size();
    }
    void date(PyObject* value) noexcept {
        write_cookie_date(value, out_);
        out_ += kCookieDateLength;
    }

private:
    char* out_;
};

const char* same_site_attribute(CookieSameSiteMode mode) noexcept {
    switch (mode) {
        case CookieSameSiteMode::STRICT: return "SameSite=Strict";
        case CookieSameSiteMode::LAX: return "SameSite=Lax";
        case CookieSameSiteMode::NONE: return "SameSite=None";
        default: return nullptr;
    }
}

// Exported: write_cookie_for_response(cookie) -> the Set-Cookie header value.
PyObject* write_cookie_for_response(CookieObject* cookie) {
    PyObject* obj = reinterpret_cast<PyObject*>(cookie);
    if (!obj || !PyObject_TypeCheck(obj, g_cookie_type)) {
        return qm::raise_cannot_convert(obj ? obj : Py_None, g_cookie_type);
    }
    Ref name(read_name(obj));
    if (!name) return nullptr;
    Ref value(read_value(obj));
    if (!value) return nullptr;
    QuoteSource quoted_name, quoted_value;
    if (!prepare_quote(name.get(), &quoted_name) || !prepare_quote(value.get(), &quoted_value)) return nullptr;

    // Held for the duration: the text of domain and path is read in place, after allocations
    // that could run arbitrary code.
    Ref expires = Ref::borrow(cookie->expires);
    Ref domain_text = Ref::borrow(cookie->domain);
    Ref path_text = Ref::borrow(cookie->path);
    const bool has_expires = expires.get() != Py_None;
    if (has_expires) {
        // Written as GMT: an aware expiry is moved to UTC first.
        expires.reset(to_utc_clock(expires.get()));
        if (!expires) return nullptr;
    }
    char max_age_digits[20];
    size_t max_age_size = cookie->max_age >= 0 ? qm::decimal_digits(static_cast<uint64_t>(cookie->max_age), max_age_digits) : 0;
    Span domain{nullptr, 0}, path{nullptr, 0};
    if (domain_text.get() != Py_None && !prepare_attribute(domain_text.get(), "domain", &domain)) return nullptr;
    if (path_text.get() != Py_None && !prepare_attribute(path_text.get(), "path", &path)) return nullptr;
    const bool secure = cookie->secure || cookie->same_site == CookieSameSiteMode::STRICT ||
                        cookie->same_site == CookieSameSiteMode::NONE;
    const char* same_site = same_site_attribute(cookie->same_site);

    size_t total = quoted_name.quoted_size() + 1 + quoted_value.quoted_size();
    if (has_expires) total += 2 + 8 + kCookieDateLength;
    if (cookie->max_age >= 0) total += 2 + 8 + max_age_size;
    if (domain.size) total += 2 + 7 + domain.size;
    if (path.size) total += 2 + 5 + path.size;
    if (cookie->http_only) total += 2 + 8;
    if (secure) total += 2 + 6;
    if (same_site) total += 2 + std::strlen(same_site);

    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (!result) return nullptr;
    Writer w(PyBytes_AS_STRING(result));
    w.quoted(quoted_name);
    w.raw("=", 1);
    w.quoted(quoted_value);
    if (has_expires) {
        w.separator();
        w.literal("Expires=");
        w.date(expires.get());
    }
    if (cookie->max_age >= 0) {
        w.separator();
        w.literal("Max-Age=");
        w.raw(max_age_digits, max_age_size);
    }
    if (domain.size) {
        w.separator();
        w.literal("Domain=");
        w.raw(domain.data, domain.size);
    }
    if (path.size) {
        w.separator();
        w.literal("Path=");
        w.raw(path.data, path.size);
    }
    if (cookie->http_only) {
        w.separator();
        w.literal("HttpOnly");
    }
    if (secure) {
        w.separator();
        w.literal("Secure");
    }
    if (same_site) {
        w.separator();
        w.literal(same_site);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Module functions visible to Python

PyObject* py_parse_cookie(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"raw_value"};
    static const qm::Signature sig = {"parse_cookie", names, 1, 1};
    PyObject* raw_value = nullptr;
    if (!qm::parse_args(sig, args, nargs, kwnames, &raw_value)) return nullptr;
    if (!qm::check_exact_arg(raw_value, &PyBytes_Type, "raw_value")) return nullptr;
    return reinterpret_cast<PyObject*>(parse_cookie(raw_value, 1));
}

PyObject* py_datetime_from_cookie_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"value"};
    static const qm::Signature sig = {"datetime_from_cookie_format", names, 1, 1};
    PyObject* value = nullptr;
    if (!qm::parse_args(sig, args, nargs, kwnames, &value)) return nullptr;
    if (!qm::check_exact_arg(value, &PyBytes_Type, "value")) return nullptr;
    return datetime_from_cookie_format(value, 1);
}

PyObject* py_datetime_to_cookie_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"value"};
    static const qm::Signature sig = {"datetime_to_cookie_format", names, 1, 1};
    PyObject* value = nullptr;
    if (!qm::parse_args(sig, args, nargs, kwnames, &value)) return nullptr;
    if (!qm::check_instance_arg(value, datetime_type(), "value")) return nullptr;
    return datetime_to_cookie_format(value, 1);
}

PyMethodDef module_methods[] = {
    QM_FASTCALL_METHOD("parse_cookie", py_parse_cookie,
        "parse_cookie($module, raw_value)\n--\n\n"
        "Parses one Set-Cookie header value (bytes) into a Cookie."),
    QM_FASTCALL_METHOD("datetime_from_cookie_format", py_datetime_from_cookie_format,
        "datetime_from_cookie_format($module, value)\n--\n\n"
        "Parses a cookie date such as b'Wed, 21 Oct 2015 07:28:00 GMT' into a naive datetime holding the "
        "clock time as written."),
    QM_FASTCALL_METHOD("datetime_to_cookie_format", py_datetime_to_cookie_format,
        "datetime_to_cookie_format($module, value)\n--\n\n"
        "Formats a datetime as a cookie date, b'Wed, 21 Oct 2015 07:28:00 GMT', with English names; the "
        "fields are written as they are (pass UTC wall-clock times)."),
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = qm::make_module_def(
    "cookies",
    "Cookies: the Cookie value object, Set-Cookie parsing and writing, cookie dates.",
    module_methods);

void release_state() noexcept {
    qm::clear_refs(g_cookie_type, g_same_site_type, g_cookie_error_type, g_value_too_long_error_type,
                   g_parsedate_to_datetime, g_newobj, g_tzinfo_kwnames);
    for (PyObject*& member : g_same_site_members) qm::clear_ref(member);
    g_names.release();
    for (qm::Overridable& op : g_overridables) op.unbind();
}

PyObject* build_module() noexcept {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return nullptr;
    if (!g_names.intern()) return nullptr;
    g_tzinfo_kwnames = Py_BuildValue("(s)", "tzinfo");
    if (!g_tzinfo_kwnames) return nullptr;
    {
        Ref email_utils(PyImport_ImportModule("email.utils"));
        if (!email_utils) return nullptr;
        g_parsedate_to_datetime = PyObject_GetAttrString(email_utils.get(), "parsedate_to_datetime");
        if (!g_parsedate_to_datetime) return nullptr;
        Ref copyreg(PyImport_ImportModule("copyreg"));
        if (!copyreg) return nullptr;
        g_newobj = PyObject_GetAttrString(copyreg.get(), "__newobj__");
        if (!g_newobj) return nullptr;
    }
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!create_same_site_enum(module.get())) return nullptr;

    g_cookie_type = qm::add_module_type(module.get(), &cookie_spec);
    if (!g_cookie_type) return nullptr;
    if (!qm::bind_overridables(g_overridables, N_OPS_COUNT, g_cookie_type, g_names.data())) return nullptr;

    g_cookie_error_type = qm::add_module_type(module.get(), &cookie_error_spec, PyExc_Exception);
    if (!g_cookie_error_type) return nullptr;
    g_value_too_long_error_type =
        qm::add_module_type(module.get(), &value_too_long_spec, reinterpret_cast<PyObject*>(g_cookie_error_type));
    if (!g_value_too_long_error_type) return nullptr;

    const qm::Export exports[] = {
        {"datetime_from_cookie_format", reinterpret_cast<void*>(datetime_from_cookie_format),
         qm::cookies::kDatetimeFromCookieFormatSignature},
        {"datetime_to_cookie_format", reinterpret_cast<void*>(datetime_to_cookie_format),
         qm::cookies::kDatetimeToCookieFormatSignature},
        {"split_value", reinterpret_cast<void*>(split_value), qm::cookies::kSplitValueSignature},
        {"write_cookie_for_response", reinterpret_cast<void*>(write_cookie_for_response),
         qm::cookies::kWriteCookieForResponseSignature},
        {"same_site_mode_from_bytes", reinterpret_cast<void*>(same_site_mode_from_bytes),
         qm::cookies::kSameSiteModeFromBytesSignature},
        {"parse_cookie", reinterpret_cast<void*>(parse_cookie), qm::cookies::kParseCookieSignature},
    };
    if (!qm::publish_exports(module.get(), exports, sizeof(exports) / sizeof(exports[0]))) return nullptr;
    const qm::TypeExport types[] = {{"Cookie", g_cookie_type}};
    if (!qm::publish_types(module.get(), types, 1)) return nullptr;
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_cookies(void) { return qm::init_module(build_module, release_state); }
