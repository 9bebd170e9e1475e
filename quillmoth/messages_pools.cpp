// quillmoth.messages, unit pools and helpers: the free lists of requests and responses, and the
// request helpers (CORS tests, absolute URLs).
//
// The pools are the module attributes _REQUEST_FREELIST and _RESPONSE_FREELIST, plain lists used
// as stacks, each bounded by _MAX_FREELIST_CAPACITY. An object is reset when it is released, so a
// pooled object keeps nothing of its last request alive. A pooled object is marked, and releasing
// it again does not add it a second time (which would hand one object to two users).
#include "messages_module.h"

namespace qm::messages {
namespace {

constexpr int32_t kMaxFreelistCapacity = 512;

enum Name { N_URL, N_SCHEME, N_HOST, N_BASE_PATH, N_IS_ABSOLUTE, N_COUNT };
constexpr const char* kNameTexts[N_COUNT] = {"url", "scheme", "host", "base_path", "is_absolute"};
InternedNames<N_COUNT> g_names{kNameTexts};

PyObject* g_request_freelist = nullptr;   // list of Request
PyObject* g_response_freelist = nullptr;  // list of Response
PyObject* g_key_origin = nullptr;         // b"Origin"
PyObject* g_key_request_method = nullptr; // b"Access-Control-Request-Method"
PyObject* g_options = nullptr;            // "OPTIONS"

// The last object of a free list that is an instance of `type`, removed from the list (a new
// reference), or null when there is none. The lists are module attributes: anything else found on
// top (put there from Python) is dropped from the list.
PyObject* pop_pooled(PyObject* list, PyTypeObject* type) noexcept {
    while (PyList_GET_SIZE(list) > 0) {
        Py_ssize_t last = PyList_GET_SIZE(list) - 1;
        Ref item = Ref::borrow(PyList_GET_ITEM(list, last));
        if (PyList_SetSlice(list, last, last + 1, nullptr) < 0) return nullptr;
        if (PyObject_TypeCheck(item.get(), type)) return item.release();
    }
    return nullptr;
}

// Whether `self` waits in `list`. The mark alone is not trusted when it is set: the list is a module
// attribute, and Python code may have taken the object out of it directly, which leaves the mark on
// an object that is no longer pooled. Such a stale mark is cleared.
template <typename T>
bool waits_in(PyObject* list, T* self) noexcept {
    if (!self->pooled) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (PyList_GET_ITEM(list, i) == as_object(self)) return true;
    }
    self->pooled = false;
    return false;
}

// A native caller's missing argument (null) stands for None.
inline PyObject* or_none(PyObject* arg) noexcept { return arg ? arg : Py_None; }

// ---------------------------------------------------------------------------------------------
// Requests

RequestObject* acquire_request(PyObject* method, PyObject* path, PyObject* raw_query, PyObject* headers,
                               PyObject* scope, int) noexcept {
    method = or_none(method);
    path = or_none(path);
    raw_query = or_none(raw_query);
    headers = or_none(headers);
    scope = or_none(scope);
    if (!check_exact_arg(method, &PyUnicode_Type, "method") || !check_exact_arg(path, &PyBytes_Type, "path") ||
        !check_exact_arg(raw_query, &PyBytes_Type, "raw_query") || !check_exact_arg(headers, &PyList_Type, "headers")) {
        return nullptr;
    }
    Ref obj(pop_pooled(g_request_freelist, g_request_type));
    if (!obj) {
        if (PyErr_Occurred()) return nullptr;
        obj.reset(as_object(make_request(method, headers)));
        if (!obj) return nullptr;
    }
    RequestObject* self = as_request(obj.get());
    self->pooled = false;
    replace_field_borrowed(&self->method, method);
    replace_field_borrowed(&self->_path, path);
    replace_field_borrowed(&self->_raw_query, raw_query);
    // The caller's list is adopted as it is, an empty one too.
    if (!adopt_header_list(&self->message, headers, true)) return nullptr;
    replace_field_borrowed(&self->scope, scope);
    replace_field_borrowed(&self->message.content, Py_None);
    replace_field_borrowed(&self->_url, Py_None);
    replace_field_borrowed(&self->route_values, Py_None);
    return as_request(obj.release());
}

// Resets the object through its table (an override runs) and pools it, unless the pool is full or
// the object is pooled already.
template <typename T, int (*Reset)(PyObject*)>
int release_into(PyObject* list, T* self) noexcept {
    if (waits_in(list, self) || PyList_GET_SIZE(list) >= kMaxFreelistCapacity) return 0;
    Ref held = Ref::borrow(as_object(self));
    if (Reset(as_object(self)) < 0) return -1;
    // The reset may have run Python code that pooled the object or filled the list meanwhile.
    if (waits_in(list, self) || PyList_GET_SIZE(list) >= kMaxFreelistCapacity) return 0;
    if (PyList_Append(list, as_object(self)) < 0) return -1;
    self->pooled = true;
    return 0;
}

int release_request(RequestObject* request, int) noexcept {
    if (!check_instance_arg(or_none(as_object(request)), g_request_type, "request", false)) return -1;
    return release_into<RequestObject, Request_Reset>(g_request_freelist, request);
}

// ---------------------------------------------------------------------------------------------
// Responses

ResponseObject* acquire_response(int status, PyObject* headers, PyObject* content, int) noexcept {
    headers = or_none(headers);
    content = or_none(content);
    if (!check_exact_arg(headers, &PyList_Type, "headers") ||
        !check_instance_arg(content, g_imports.content_type, "content")) {
        return nullptr;
    }
    Ref obj(pop_pooled(g_response_freelist, g_response_type));
    if (!obj) {
        if (PyErr_Occurred()) return nullptr;
        // The caller's list is adopted as it is, an empty one too.
        ResponseObject* made = make_response(status, headers, content, true);
        if (made) made->acquired = true;
        return made;
    }
    ResponseObject* self = as_response(obj.get());
    self->pooled = false;
    self->acquired = true;
    self->status = status;
    if (!adopt_header_list(&self->message, headers, true)) return nullptr;
    replace_field_borrowed(&self->message.content, content);
    return as_response(obj.release());
}

int release_response(ResponseObject* response, int) noexcept {
    if (!check_instance_arg(or_none(as_object(response)), g_response_type, "response", false)) return -1;
    response->acquired = false;
    return release_into<ResponseObject, Response_Reset>(g_response_freelist, response);
}

// ---------------------------------------------------------------------------------------------
// Request helpers

// The helpers read the request's native fields: anything but a Request (None, and a native caller's
// null, included) is refused.
[[nodiscard]] bool check_request(PyObject* request) noexcept {
    return check_instance_arg(or_none(request), g_request_type, "request", false);
}

// Whether get_first_header(key), through the table, gives a non-empty value: 1, 0 or -1.
int has_non_empty_header(RequestObject* request, PyObject* key) noexcept {
    MessageObject* message = &request->message;
    Ref value(message->ops->get_first_header(message, key, 0));
    if (!value) return -1;
    return value.get() == Py_None ? 0 : PyObject_IsTrue(value.get());
}

int is_cors_request(RequestObject* request, int) noexcept {
    if (!check_request(as_object(request))) return -1;
    return has_non_empty_header(request, g_key_origin);
}

int is_cors_preflight_request(RequestObject* request, int) noexcept {
    if (!check_request(as_object(request))) return -1;
    Ref method = Ref::borrow(request->method);
    int options = method.get() != Py_None ? PyObject_RichCompareBool(method.get(), g_options, Py_EQ) : 0;
    if (options <= 0) return options;
    int cors = has_non_empty_header(request, g_key_origin);
    if (cors <= 0) return cors;
    return has_non_empty_header(request, g_key_request_method);
}

// ensure_bytes(value): a str encoded as UTF-8, exact bytes as they are.
PyObject* ensure_bytes(PyObject* value) noexcept {
    if (PyUnicode_Check(value)) return PyUnicode_AsUTF8String(value);
    if (PyBytes_CheckExact(value)) return Py_NewRef(value);
    if (PyBytes_Check(value)) return raise_expected("bytes", value);
    return raise_error(PyExc_ValueError, "Input value must be bytes or str");
}

// ensure_bytes of the request's attribute `name` (read through normal attribute access, so a
// subclass's property applies).
PyObject* attribute_bytes(RequestObject* request, Name name) noexcept {
    Ref value(PyObject_GetAttr(as_object(request), g_names[name]));
    if (!value) return nullptr;
    return ensure_bytes(value.get());
}

PyObject* get_request_absolute_url(RequestObject* request, int) noexcept {
    if (!check_request(as_object(request))) return nullptr;
    Ref url(PyObject_GetAttr(as_object(request), g_names[N_URL]));
    if (!url) return nullptr;
    int absolute;
    if (Py_IS_TYPE(url.get(), g_imports.url.url_type)) {
        absolute = reinterpret_cast<url::URLObject*>(url.get())->is_absolute != 0;
    } else {
        // A subclass's url property may give a URL subclass (or another object) that answers
        // is_absolute itself.
        absolute = as_truth(PyObject_GetAttr(url.get(), g_names[N_IS_ABSOLUTE]));
        if (absolute < 0) return nullptr;
    }
    if (absolute) return url.release();
    // The raw path as it is stored, read after the properties (whose code may replace it).
    Ref scheme(attribute_bytes(request, N_SCHEME));
    if (!scheme) return nullptr;
    Ref host(attribute_bytes(request, N_HOST));
    if (!host) return nullptr;
    Ref base_path(attribute_bytes(request, N_BASE_PATH));
    if (!base_path) return nullptr;
    Ref path = Ref::borrow(request->_path);
    return reinterpret_cast<PyObject*>(
        g_imports.url.build_absolute_url(scheme.get(), host.get(), base_path.get(), path.get(), 0));
}

PyObject* get_absolute_url_to_path(RequestObject* request, PyObject* path, int) noexcept {
    if (!check_request(as_object(request))) return nullptr;
    Ref scheme(attribute_bytes(request, N_SCHEME));
    if (!scheme) return nullptr;
    Ref host(attribute_bytes(request, N_HOST));
    if (!host) return nullptr;
    Ref base_path(attribute_bytes(request, N_BASE_PATH));
    if (!base_path) return nullptr;
    Ref path_bytes(ensure_bytes(path));
    if (!path_bytes) return nullptr;
    return reinterpret_cast<PyObject*>(
        g_imports.url.build_absolute_url(scheme.get(), host.get(), base_path.get(), path_bytes.get(), 0));
}

// ---------------------------------------------------------------------------------------------
// Python-visible functions

const char* const kAcquireRequestParams[] = {"method", "path", "raw_query", "headers", "scope"};
const Signature kAcquireRequestArgs{"acquire_request", kAcquireRequestParams, 5, 5};
const char* const kAcquireResponseParams[] = {"status", "headers", "content"};
const Signature kAcquireResponseArgs{"acquire_response", kAcquireResponseParams, 3, 0};
const char* const kRequestParam[] = {"request"};
const char* const kResponseParam[] = {"response"};
const char* const kRequestPathParams[] = {"request", "path"};
const char* const kValueParam[] = {"value"};

PyObject* py_acquire_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* a[5];
    if (nargs == 5 && !kwnames) {
        for (int i = 0; i < 5; ++i) a[i] = args[i];
    } else if (!parse_args(kAcquireRequestArgs, args, nargs, kwnames, a)) {
        return nullptr;
    }
    return as_object(acquire_request(a[0], a[1], a[2], a[3], a[4], 0));
}

PyObject* py_acquire_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* a[3] = {nullptr, Py_None, Py_None};
    if (!parse_args(kAcquireResponseArgs, args, nargs, kwnames, a)) return nullptr;
    int32_t status = 200;
    if (a[0] && !to_c_integer(a[0], &status)) return nullptr;
    return as_object(acquire_response(status, a[1], a[2], 0));
}

// One argument of a one-parameter function, by position or keyword.
[[nodiscard]] bool parse_one(const char* func, const char* const* names, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, PyObject** out) noexcept {
    if (nargs == 1 && !kwnames) {
        *out = args[0];
        return true;
    }
    const Signature sig{func, names, 1, 1};
    return parse_args(sig, args, nargs, kwnames, out);
}

PyObject* none_or_null(int status) noexcept { return status < 0 ? nullptr : Py_NewRef(Py_None); }
PyObject* bool_or_null(int truth) noexcept { return truth < 0 ? nullptr : PyBool_FromLong(truth); }

PyObject* py_release_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* request;
    if (!parse_one("release_request", kRequestParam, args, nargs, kwnames, &request)) return nullptr;
    if (!check_request(request)) return nullptr;
    return none_or_null(release_request(as_request(request), 0));
}

PyObject* py_release_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* response;
    if (!parse_one("release_response", kResponseParam, args, nargs, kwnames, &response)) return nullptr;
    if (!check_instance_arg(response, g_response_type, "response", false)) return nullptr;
    return none_or_null(release_response(as_response(response), 0));
}

PyObject* py_is_cors_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* request;
    if (!parse_one("is_cors_request", kRequestParam, args, nargs, kwnames, &request)) return nullptr;
    if (!check_request(request)) return nullptr;
    return bool_or_null(is_cors_request(as_request(request), 0));
}

PyObject* py_is_cors_preflight_request(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    PyObject* request;
    if (!parse_one("is_cors_preflight_request", kRequestParam, args, nargs, kwnames, &request)) return nullptr;
    if (!check_request(request)) return nullptr;
    return bool_or_null(is_cors_preflight_request(as_request(request), 0));
}

PyObject* py_get_request_absolute_url(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    PyObject* request;
    if (!parse_one("get_request_absolute_url", kRequestParam, args, nargs, kwnames, &request)) return nullptr;
    if (!check_request(request)) return nullptr;
    return get_request_absolute_url(as_request(request), 0);
}

PyObject* py_get_absolute_url_to_path(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    PyObject* a[2];
    const Signature sig{"get_absolute_url_to_path", kRequestPathParams, 2, 2};
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!check_request(a[0]) || !check_exact_arg(a[1], &PyUnicode_Type, "path")) return nullptr;
    return get_absolute_url_to_path(as_request(a[0]), a[1], 0);
}

PyObject* py_ensure_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* value;
    if (!parse_one("ensure_bytes", kValueParam, args, nargs, kwnames, &value)) return nullptr;
    return ensure_bytes(value);
}

PyMethodDef pool_functions[] = {
    QM_FASTCALL_METHOD("acquire_request", py_acquire_request,
                       "acquire_request(method, path, raw_query, headers, scope)\n--\n\n"
                       "A request from the pool (or a new one) holding the request line, the header list (adopted) "
                       "and the ASGI scope."),
    QM_FASTCALL_METHOD("release_request", py_release_request,
                       "release_request(request)\n--\n\nResets the request and returns it to the pool."),
    QM_FASTCALL_METHOD("acquire_response", py_acquire_response,
                       "acquire_response(status=200, headers=None, content=None)\n--\n\n"
                       "A response from the pool (or a new one)."),
    QM_FASTCALL_METHOD("release_response", py_release_response,
                       "release_response(response)\n--\n\n"
                       "Resets the response (disposing of its content) and returns it to the pool."),
    QM_FASTCALL_METHOD("is_cors_request", py_is_cors_request,
                       "is_cors_request(request)\n--\n\nWhether the request carries a non-empty Origin header."),
    QM_FASTCALL_METHOD("is_cors_preflight_request", py_is_cors_preflight_request,
                       "is_cors_preflight_request(request)\n--\n\n"
                       "Whether the request is an OPTIONS request with Origin and Access-Control-Request-Method."),
    QM_FASTCALL_METHOD("get_request_absolute_url", py_get_request_absolute_url,
                       "get_request_absolute_url(request)\n--\n\n"
                       "The request's URL when absolute, else the one made of its scheme, host, base path and path."),
    QM_FASTCALL_METHOD("get_absolute_url_to_path", py_get_absolute_url_to_path,
                       "get_absolute_url_to_path(request, path)\n--\n\n"
                       "The absolute URL of `path` on the request's scheme, host and base path."),
    QM_FASTCALL_METHOD("ensure_bytes", py_ensure_bytes,
                       "ensure_bytes(value)\n--\n\nA str encoded as UTF-8; bytes as they are."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_pools_unit(PyObject* module) noexcept {
    if (!g_names.intern()) return false;
    g_request_freelist = PyList_New(0);
    g_response_freelist = PyList_New(0);
    // Spelled as a subclass's get_first_header receives them; the native lookup ignores the case.
    g_key_origin = PyBytes_FromString("Origin");
    g_key_request_method = PyBytes_FromString("Access-Control-Request-Method");
    g_options = PyUnicode_InternFromString("OPTIONS");
    if (!g_request_freelist || !g_response_freelist || !g_key_origin || !g_key_request_method || !g_options) {
        return false;
    }
    if (PyModule_AddObjectRef(module, "_REQUEST_FREELIST", g_request_freelist) < 0 ||
        PyModule_AddObjectRef(module, "_RESPONSE_FREELIST", g_response_freelist) < 0 ||
        PyModule_AddIntConstant(module, "_MAX_FREELIST_CAPACITY", kMaxFreelistCapacity) < 0 ||
        PyModule_AddFunctions(module, pool_functions) < 0) {
        return false;
    }
    const Export exports[] = {
        {"acquire_request", reinterpret_cast<void*>(acquire_request), kAcquireRequestSignature},
        {"release_request", reinterpret_cast<void*>(release_request), kReleaseRequestSignature},
        {"acquire_response", reinterpret_cast<void*>(acquire_response), kAcquireResponseSignature},
        {"release_response", reinterpret_cast<void*>(release_response), kReleaseResponseSignature},
        {"is_cors_request", reinterpret_cast<void*>(is_cors_request), kRequestTestSignature},
        {"is_cors_preflight_request", reinterpret_cast<void*>(is_cors_preflight_request), kRequestTestSignature},
        {"get_request_absolute_url", reinterpret_cast<void*>(get_request_absolute_url),
         kGetRequestAbsoluteUrlSignature},
        {"get_absolute_url_to_path", reinterpret_cast<void*>(get_absolute_url_to_path),
         kGetAbsoluteUrlToPathSignature},
    };
    return publish_exports(module, exports, sizeof(exports) / sizeof(exports[0]));
}

void release_pools_unit() noexcept {
    clear_refs(g_request_freelist, g_response_freelist, g_key_origin, g_key_request_method, g_options);
    g_names.release();
}

}  // namespace qm::messages
