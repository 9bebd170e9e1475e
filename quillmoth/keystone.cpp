// quillmoth.keystone: the application core. BaseApplication dispatches one request to its route's
// handler and turns a handler's failure into an error response through a table of exception
// handlers; the module offers that table's class (ExceptionHandlersDict), the default handlers the
// table holds, the framework logger and the log lines of handled and unhandled errors.
//
// Every coroutine here is a native state machine of the shared mechanism (common/coro.h); the
// comment above each step function gives the Python it stands for. Calls between the coroutine
// methods go through method lookup on the application object, so a Python subclass may replace any
// of them; an instance of BaseApplication itself starts the native operation directly.
//
// The hot path is `handle` answering a route whose handler returns a Response: one call of the
// router, two attribute reads on the route, the handler awaited in place (a native coroutine is
// resumed directly, a Python one through its send slot), no object made by this module beyond the
// frame, which comes from the mechanism's free list. Everything else (the exception path) may take
// longer but keeps nothing past the request.
//
// Code that runs while an error is being handled: a native frame has no exception state of its own,
// so where the Python twin would be inside `except ... as exc`, the steps below give an error raised
// there `exc` as its context themselves (chain_pending_to), and make `exc` the handled exception
// around the one call that reads it (logger.exception).
#include "common/coro.h"
#include "common/native.h"
#include "exceptions.h"
#include "contents.h"
#include "keystone.h"
#include "messages.h"
#include "routing.h"
#include "scribe.h"

#include <iterator>

namespace qm::keystone {
namespace {

using coro::Frame;
using coro::Function;
using coro::Operation;
using coro::Step;
using exceptions::HTTPExceptionObject;

// ---------------------------------------------------------------------------------------------
// Module state (one interpreter, single-phase init)

// The overridable operation first (table order), then the other names.
enum Name {
    N_GET_HTTP_EXCEPTION_HANDLER,
    N_OPS_COUNT,
    N_GET_MATCH = N_OPS_COUNT,
    N_VALUES,
    N_HANDLER,
    N_ROUTE_VALUES,
    N_HANDLE_REQUEST_HANDLER_EXCEPTION,
    N_HANDLE_INTERNAL_SERVER_ERROR,
    N_APPLY_EXCEPTION_HANDLER,
    N_HANDLE_HTTP_EXCEPTION,
    N_HANDLE_EXCEPTION,
    N_LOG_UNHANDLED_EXC,
    N_LOG_HANDLED_EXC,
    N_INIT_EXCEPTIONS_HANDLERS,
    N_SERVER_ERROR_DETAILS_HANDLER,
    N_PRODUCE_RESPONSE,
    N_ERROR,
    N_INFO,
    N_EXCEPTION,
    N_SET_LEVEL,
    N_METHOD,
    N_URL,
    N_VALUE,
    N_PATH,
    N_DECODE,
    N_ENCODE,
    N_STATUS,
    N_NAME,
    N_CONTEXT,
    N_JSON,
    N_DETAILS,
    N_PHRASE,
    N_GET,
    N_PARAMETERS,
    N_KIND,
    N_TYPE,
    N_RAW_PATH,
    N_SCOPE_PATH,
    N_QUERY_STRING,
    N_HEADERS,
    N_CONTENT,
    N_HANDLE,
    N_SERVE_SCOPE,
    N_RESPOND,
    N_SEND_STREAMED,
    N_BODY,
    N_MORE_BODY,
    N_HTTP,
    N_HEAD,
    N_RESPONSE_START,
    N_RESPONSE_BODY,
    N_COUNT
};
constexpr const char* kNameTexts[N_COUNT] = {
    "get_http_exception_handler",
    "get_match",
    "values",
    "handler",
    "route_values",
    "handle_request_handler_exception",
    "handle_internal_server_error",
    "_apply_exception_handler",
    "handle_http_exception",
    "handle_exception",
    "log_unhandled_exc",
    "log_handled_exc",
    "init_exceptions_handlers",
    "server_error_details_handler",
    "produce_response",
    "error",
    "info",
    "exception",
    "setLevel",
    "method",
    "url",
    "value",
    "_path",
    "decode",
    "encode",
    "status",
    "__name__",
    "__context__",
    "json",
    "details",
    "phrase",
    "get",
    "parameters",
    "kind",
    "type",
    "raw_path",
    "path",
    "query_string",
    "headers",
    "content",
    "handle",
    "_serve_scope",
    "_respond",
    "_send_streamed",
    "body",
    "more_body",
    "http",
    "HEAD",
    "http.response.start",
    "http.response.body",
};
InternedNames<N_COUNT> g_names{kNameTexts};
Overridable g_overridables[N_OPS_COUNT];

// What the module takes from its siblings, the companion modules and the standard library when it
// loads (new references, kept for the process).
struct Imports {
    messages::MessagesApi messages;               // Request, Response (and Message)
    PyTypeObject* http_exception = nullptr;       // quillmoth.exceptions.HTTPException (native `status` read)
    PyObject* internal_server_error = nullptr;    // quillmoth.exceptions.InternalServerError
    PyObject* unprocessable_entity = nullptr;     // quillmoth.exceptions.UnprocessableEntity
    PyObject* invalid_exception_handler = nullptr;  // quillmoth.exceptions.InvalidExceptionHandler
    PyObject* content = nullptr;                  // quillmoth.contents.Content
    PyObject* text_content = nullptr;             // quillmoth.contents.TextContent
    PyTypeObject* asgi_content = nullptr;         // quillmoth.contents.ASGIContent (a Content: stored natively)
    PyObject* streamed_content = nullptr;         // quillmoth.contents.StreamedContent
    PyTypeObject* route_match = nullptr;          // quillmoth.routing.RouteMatch (native fields read)
    scribe::ScribeApi scribe;                     // set_headers_for_response_content, send_asgi_response
    PyObject* get_class_instance_hierarchy = nullptr;  // quillmoth.utils
    PyObject* json_encode = nullptr;              // msgspec.json.encode
    PyObject* http_status = nullptr;              // http.HTTPStatus
    PyObject* get_logger = nullptr;               // logging.getLogger
    PyObject* level_info = nullptr;               // logging.INFO
    PyObject* iscoroutinefunction = nullptr;      // inspect.iscoroutinefunction
    PyObject* signature_from_callable = nullptr;  // inspect.Signature.from_callable
    PyObject* user_dict = nullptr;                // collections.UserDict
    PyObject* user_dict_setitem = nullptr;        // collections.UserDict.__setitem__
    PyObject* validation_error = nullptr;         // pydantic.ValidationError, or None
};
Imports g_imports;

PyTypeObject* g_base_application_type = nullptr;
PyObject* g_handlers_dict_type = nullptr;  // ExceptionHandlersDict

// The module-level handlers (the native callables), for the default table and the fallbacks.
PyObject* g_handle_not_found = nullptr;
PyObject* g_handle_bad_request = nullptr;
PyObject* g_handle_unprocessable_entity = nullptr;
PyObject* g_pydantic_handler = nullptr;
PyObject* g_common_handler = nullptr;

// Constants.
PyObject* g_status_204 = nullptr;
PyObject* g_status_400 = nullptr;
PyObject* g_status_404 = nullptr;
PyObject* g_status_422 = nullptr;
PyObject* g_status_500 = nullptr;
PyObject* g_status_413 = nullptr;
PyObject* g_key_content_length = nullptr;   // b"content-length"
PyObject* g_empty_bytes = nullptr;
PyObject* g_default_max_body_size = nullptr;  // contents::kDefaultMaxBodySize as an int
PyObject* g_call_function = nullptr;        // BaseApplication.__call__, the native coroutine function
PyObject* g_kind_var_positional = nullptr;  // 2, inspect.Parameter.VAR_POSITIONAL as an int
PyObject* g_indent = nullptr;               // 4
PyObject* g_logger_name = nullptr;          // "quillmoth.server"
PyObject* g_text_not_found = nullptr;       // "Resource not found"
PyObject* g_text_server_error = nullptr;    // "Internal Server Error"
PyObject* g_text_str_failed = nullptr;      // "<exception str() failed>"
PyObject* g_json_type = nullptr;            // b"application/json"
PyObject* g_codec_utf8 = nullptr;           // "utf8"
PyObject* g_codec_utf_8 = nullptr;          // "utf-8"
PyObject* g_key_error = nullptr;            // "error"
PyObject* g_key_type = nullptr;             // "type"
PyObject* g_validation_error_text = nullptr;  // "validation_error"
PyObject* g_format_unhandled = nullptr;     // the log formats of the table below
PyObject* g_format_http = nullptr;
PyObject* g_format_handled = nullptr;
PyObject* g_format_handler_failed = nullptr;
PyObject* g_message_server_error_handler_failed = nullptr;
PyObject* g_kw_content = nullptr;    // ("content",)
PyObject* g_kw_exc_info = nullptr;   // ("exc_info",)
PyObject* g_kw_indent = nullptr;     // ("indent",)

struct ConstantText {
    PyObject** slot;
    const char* text;
};
const ConstantText kConstantTexts[] = {
    {&g_logger_name, "quillmoth.server"},
    {&g_text_not_found, "Resource not found"},
    {&g_text_server_error, "Internal Server Error"},
    {&g_text_str_failed, "<exception str() failed>"},
    {&g_codec_utf8, "utf8"},
    {&g_codec_utf_8, "utf-8"},
    {&g_key_error, "error"},
    {&g_key_type, "type"},
    {&g_validation_error_text, "validation_error"},
    {&g_format_unhandled, "Unhandled exception - \"%s %s\""},
    {&g_format_http, "HTTP %s - \"%s %s\". %s"},
    {&g_format_handled, "Handled error: \"%s %s\". %s"},
    {&g_format_handler_failed, "Unhandled exception in exception_handler: %s"},
    {&g_message_server_error_handler_failed,
     "An exception occurred while trying to apply the configured Internal Server Error handler!"},
};

inline BaseApplicationObject* as_app(PyObject* obj) noexcept { return reinterpret_cast<BaseApplicationObject*>(obj); }
inline PyObject* as_object(BaseApplicationObject* self) noexcept { return reinterpret_cast<PyObject*>(self); }
inline PyTypeObject* exception_class() noexcept { return reinterpret_cast<PyTypeObject*>(PyExc_Exception); }

// ---------------------------------------------------------------------------------------------
// Helpers: argument checks, responses, errors raised while another one is handled

[[nodiscard]] inline bool check_request(PyObject* request) noexcept {
    return check_instance_arg(request, g_imports.messages.request_type, "request");
}

// An argument typed Exception: an instance (of a subclass too) or None.
[[nodiscard]] inline bool check_exception_arg(PyObject* exc, const char* arg) noexcept {
    if (exc == Py_None || PyObject_TypeCheck(exc, exception_class())) return true;
    return raise_arg_type(arg, "Exception", exc);
}

[[nodiscard]] inline bool is_http_exception(PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, g_imports.http_exception);
}

inline int32_t native_status(PyObject* http_exception) noexcept {
    return reinterpret_cast<HTTPExceptionObject*>(http_exception)->status;
}

// Response(status), as the constructor makes it.
PyObject* new_empty_response(PyObject* status) noexcept {
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(g_imports.messages.response_type), &status, 1, nullptr);
}

// Response(status, content=content).
PyObject* new_response(PyObject* status, PyObject* content) noexcept {
    if (!content) return nullptr;
    Ref held(content);
    PyObject* args[] = {status, content};
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(g_imports.messages.response_type), args, 1, g_kw_content);
}

// Response(status, content=TextContent(text)).
PyObject* text_response(PyObject* status, PyObject* text) noexcept {
    if (!text) return nullptr;
    Ref held(text);
    return new_response(status, PyObject_CallOneArg(g_imports.text_content, text));
}

// Response(status, content=Content(b"application/json", data)).
PyObject* json_response(PyObject* status, PyObject* data) noexcept {
    if (!data) return nullptr;
    Ref held(data);
    PyObject* args[] = {g_json_type, data};
    return new_response(status, PyObject_Vectorcall(g_imports.content, args, 2, nullptr));
}

// The awaited result of a handler must be a Response (a subclass too) or None: the "Cannot
// convert" TypeError otherwise.
[[nodiscard]] inline bool check_response(PyObject* result) noexcept {
    if (QM_LIKELY(result == Py_None || PyObject_TypeCheck(result, g_imports.messages.response_type))) return true;
    return raise_cannot_convert(result, g_imports.messages.response_type);
}

// `return response or Response(204)`, for a checked result.
Step finish_response(PyObject* response) noexcept {
    if (response != Py_None) {
        int truth = PyObject_IsTrue(response);
        if (truth < 0) return kFailed;
        if (QM_LIKELY(truth)) return Frame::ret_borrowed(response);
    }
    return Frame::ret(new_empty_response(g_status_204));
}

// The pending exception, raised while `handled` was being handled, gets `handled` as its context
// unless it has one already: what raising it inside `except ... as handled` does. A chain that would
// loop back to the pending exception is cut first, as the interpreter cuts it.
void chain_pending_to(PyObject* handled) noexcept {
    if (!handled || !PyExceptionInstance_Check(handled)) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (!pending) return;
    if (pending != handled && PyExceptionInstance_Check(pending)) {
        Ref context(PyException_GetContext(pending));
        if (!context) {
            // Walk handled's chain (stepping a second cursor at half speed so that a loop already in
            // the chain ends the walk) and unlink `pending` where it occurs.
            PyObject* o = handled;
            PyObject* slow = handled;
            bool slow_step = false;
            for (;;) {
                Ref next(PyException_GetContext(o));
                if (!next) break;
                if (next.get() == pending) {
                    PyException_SetContext(o, nullptr);
                    break;
                }
                o = next.get();  // kept alive by its holder in the chain
                if (o == slow) break;
                if (slow_step) {
                    Ref slow_next(PyException_GetContext(slow));
                    slow = slow_next.get();
                }
                slow_step = !slow_step;
            }
            PyException_SetContext(pending, Py_NewRef(handled));
        }
    }
    PyErr_SetRaisedException(pending);
}

// Makes `exc` the exception being handled (what sys.exc_info() answers) for the scope's length.
class HandledScope {
public:
    explicit HandledScope(PyObject* exc) noexcept : saved_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc);
    }
    ~HandledScope() { PyErr_SetHandledException(saved_.get()); }
    HandledScope(const HandledScope&) = delete;
    HandledScope& operator=(const HandledScope&) = delete;

private:
    Ref saved_;
};

// self.server_error_details_handler.produce_response(request, exc), not awaited.
PyObject* produce_details_response(PyObject* self, PyObject* request, PyObject* exc) noexcept {
    Ref details(PyObject_GetAttr(self, g_names[N_SERVER_ERROR_DETAILS_HANDLER]));
    if (!details) return nullptr;
    return call_method(details.get(), g_names[N_PRODUCE_RESPONSE], request, exc);
}

// ---------------------------------------------------------------------------------------------
// The table: handler lookups

// Calls `visit(cls)` for each class of get_class_instance_hierarchy(exc), in its order, until it
// returns non-zero (1 stop, -1 error); returns that, or 0 when the classes ran out.
template <typename Visit>
[[nodiscard]] int for_each_class(PyObject* exc, Visit&& visit) noexcept {
    Ref hierarchy(PyObject_CallOneArg(g_imports.get_class_instance_hierarchy, exc));
    if (!hierarchy) return -1;
    if (PyTuple_CheckExact(hierarchy.get())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(hierarchy.get()); ++i) {
            if (int r = visit(PyTuple_GET_ITEM(hierarchy.get(), i))) return r;
        }
        return 0;
    }
    Ref iterator(PyObject_GetIter(hierarchy.get()));
    if (!iterator) return -1;
    while (Ref cls{PyIter_Next(iterator.get())}) {
        if (int r = visit(cls.get())) return r;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// `table[key]` when `key in table` (a new reference in *out); 1 found, 0 not, -1 error.
[[nodiscard]] int table_lookup(PyObject* table, PyObject* key, PyObject** out) noexcept {
    *out = nullptr;
    if (PyDict_CheckExact(table)) return PyDict_GetItemRef(table, key, out);
    int present = PySequence_Contains(table, key);
    if (present <= 0) return present;
    *out = PyObject_GetItem(table, key);
    return *out ? 1 : -1;
}

PyObject* base_application_get_exception_handler(BaseApplicationObject* self, PyObject* exc, PyObject* stop_at,
                                                 int) noexcept {
    // The table is held for the walk: Python code run by the lookups may replace the field.
    Ref table = Ref::borrow(self->exceptions_handlers);
    PyObject* found = nullptr;
    int r = for_each_class(exc, [&](PyObject* cls) -> int {
        if (stop_at && stop_at != Py_None && cls == stop_at) return 1;
        return table_lookup(table.get(), cls, &found);
    });
    if (r < 0) return nullptr;
    return found ? found : Py_NewRef(Py_None);
}

int base_application_is_handled_exception(BaseApplicationObject* self, PyObject* exc, int) noexcept {
    Ref table = Ref::borrow(self->exceptions_handlers);
    return for_each_class(exc, [&](PyObject* cls) -> int {
        if (PyDict_CheckExact(table.get())) return PyDict_Contains(table.get(), cls);
        return PySequence_Contains(table.get(), cls);
    });
}

// exceptions_handlers.get(key, default)
PyObject* table_get(PyObject* table, PyObject* key, PyObject* default_value) noexcept {
    if (PyDict_CheckExact(table)) {
        PyObject* value = nullptr;
        int found = PyDict_GetItemRef(table, key, &value);
        if (found < 0) return nullptr;
        return found ? value : Py_NewRef(default_value);
    }
    return call_method(table, g_names[N_GET], key, default_value);
}

// get_http_exception_handler(http_exception): a handler for the class of the exception or one of
// its bases below HTTPException, else the one for its status, else common_http_exception_handler.
// Anything but an HTTPException (None too, which has no status to read) is a TypeError.
PyObject* base_application_get_http_exception_handler(BaseApplicationObject* self, PyObject* http_exception,
                                                      int skip_dispatch) noexcept {
    if (auto call = g_overridables[N_GET_HTTP_EXCEPTION_HANDLER].dispatch(self, skip_dispatch, http_exception)) {
        return call.result;
    }
    if (!is_http_exception(http_exception)) {
        return raise_arg_type("http_exception", g_imports.http_exception->tp_name, http_exception);
    }
    Ref handler(self->ops->get_exception_handler(self, http_exception,
                                                 reinterpret_cast<PyObject*>(g_imports.http_exception), 0));
    if (!handler) return nullptr;
    int truth = PyObject_IsTrue(handler.get());
    if (truth < 0) return nullptr;
    if (truth) return handler.release();
    Ref status(PyLong_FromLong(native_status(http_exception)));
    if (!status) return nullptr;
    Ref table = Ref::borrow(self->exceptions_handlers);
    return table_get(table.get(), status.get(), g_common_handler);
}

const BaseApplicationOps kBaseApplicationOps = {
    base_application_get_http_exception_handler,
    base_application_get_exception_handler,
    base_application_is_handled_exception,
};

// ---------------------------------------------------------------------------------------------
// The coroutine methods

Step handle_step(Frame& f, PyObject* sent) noexcept;
Step handle_request_handler_exception_step(Frame& f, PyObject* sent) noexcept;
Step handle_internal_server_error_step(Frame& f, PyObject* sent) noexcept;
Step apply_exception_handler_step(Frame& f, PyObject* sent) noexcept;
Step handle_http_exception_step(Frame& f, PyObject* sent) noexcept;
Step handle_exception_step(Frame& f, PyObject* sent) noexcept;
Step log_unhandled_exc_step(Frame& f, PyObject* sent) noexcept;
Step log_handled_exc_step(Frame& f, PyObject* sent) noexcept;
Step default_internal_server_error_step(Frame& f, PyObject* sent) noexcept;

constexpr Operation kHandleOp{"BaseApplication.handle", handle_step};
constexpr Operation kHandleRequestHandlerExceptionOp{"BaseApplication.handle_request_handler_exception",
                                                     handle_request_handler_exception_step};
constexpr Operation kHandleInternalServerErrorOp{"BaseApplication.handle_internal_server_error",
                                                 handle_internal_server_error_step};
constexpr Operation kApplyExceptionHandlerOp{"BaseApplication._apply_exception_handler",
                                             apply_exception_handler_step};
constexpr Operation kHandleHttpExceptionOp{"BaseApplication.handle_http_exception", handle_http_exception_step};
constexpr Operation kHandleExceptionOp{"BaseApplication.handle_exception", handle_exception_step};
constexpr Operation kLogUnhandledExcOp{"BaseApplication.log_unhandled_exc", log_unhandled_exc_step};
constexpr Operation kLogHandledExcOp{"BaseApplication.log_handled_exc", log_handled_exc_step};
constexpr Operation kDefaultInternalServerErrorOp{"handle_internal_server_error", default_internal_server_error_step};

// self.<name>(args...) for a coroutine method: the native operation for an instance of
// BaseApplication itself, the method looked up on the object otherwise (a subclass's override, or
// an attribute of the instance, runs).
template <typename... Args>
PyObject* call_own(PyObject* self, const Operation& op, Name name, Args... args) noexcept {
    if (Py_IS_TYPE(self, g_base_application_type)) return coro::start(op, self, args...);
    return call_method(self, g_names[name], args...);
}

// request.route_values = values: the field of a Request, the attribute of anything else (a
// subclass may make it a property).
[[nodiscard]] bool set_route_values(PyObject* request, PyObject* values) noexcept {
    if (Py_IS_TYPE(request, g_imports.messages.request_type)) {
        replace_field_borrowed(&messages::request_cast(request)->route_values, values);
        return true;
    }
    return PyObject_SetAttr(request, g_names[N_ROUTE_VALUES], values) == 0;
}

// async def handle(self, request):
//     route = self.router.get_match(request)
//     if not route:
//         return Response(404)
//     request.route_values = route.values
//     try:
//         response = await route.handler(request)
//         if response is not None and not isinstance(response, Response): raise TypeError(...)
//     except Exception as exc:
//         response = await self.handle_request_handler_exception(request, exc)
//         if response is not None and not isinstance(response, Response): raise TypeError(...)
//     return response or Response(204)
enum HandleSlot { kHandleSelf, kHandleRequest, kHandleExc };
enum HandleState { kHandleStart, kHandleAwaitedHandler, kHandleAwaitedFallback };

// The except clause: an Exception from the handler (or its result check) goes to
// handle_request_handler_exception; anything else (a cancellation) leaves as it is.
Step handle_handler_failure(Frame& f) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return kFailed;
    PyObject* exc = PyErr_GetRaisedException();
    f.set(kHandleExc, exc);
    PyObject* fallback = call_own(f[kHandleSelf], kHandleRequestHandlerExceptionOp,
                                  N_HANDLE_REQUEST_HANDLER_EXCEPTION, f[kHandleRequest], exc);
    if (!fallback) {
        chain_pending_to(exc);
        return kFailed;
    }
    return f.await(kHandleAwaitedFallback, fallback);
}

Step handle_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case kHandleStart: {
            PyObject* request = f[kHandleRequest];
            if (!check_request(request)) return kFailed;
            Ref router = Ref::borrow(as_app(f[kHandleSelf])->router);
            Ref route(call_method(router.get(), g_names[N_GET_MATCH], request));
            if (!route) return kFailed;
            int found = route.get() == Py_None ? 0 : PyObject_IsTrue(route.get());
            if (found < 0) return kFailed;
            if (!found) return Frame::ret(new_empty_response(g_status_404));
            // The protected block: reading the handler, calling it, awaiting it, checking its result.
            PyObject* awaitable;
            if (Py_IS_TYPE(route.get(), g_imports.route_match)) {
                // The router layer's own match: its fields read as its attributes give them.
                auto* match = reinterpret_cast<RouteMatch*>(route.get());
                if (!set_route_values(request, match->values)) return kFailed;
                Ref handler = Ref::borrow(match->handler);
                awaitable = PyObject_CallOneArg(handler.get(), request);
            } else {
                Ref values(PyObject_GetAttr(route.get(), g_names[N_VALUES]));
                if (!values || !set_route_values(request, values.get())) return kFailed;
                awaitable = call_method(route.get(), g_names[N_HANDLER], request);
            }
            if (!awaitable) return handle_handler_failure(f);
            return f.await(kHandleAwaitedHandler, awaitable);
        }
        case kHandleAwaitedHandler:
            if (QM_UNLIKELY(!sent || !check_response(sent))) return handle_handler_failure(f);
            return finish_response(sent);
        case kHandleAwaitedFallback:
            if (!sent || !check_response(sent)) {
                chain_pending_to(f[kHandleExc]);
                return kFailed;
            }
            return finish_response(sent);
    }
    return coro::bad_state(f);
}

// async def handle_request_handler_exception(self, request, exc):
//     if isinstance(exc, HTTPException):
//         await self.log_handled_exc(request, exc)
//         return await self.handle_http_exception(request, exc)
//     (exc must be None or an Exception: TypeError "Expected Exception, got ..." otherwise)
//     if self.is_handled_exception(exc):       # native
//         await self.log_handled_exc(request, exc)
//     else:
//         await self.log_unhandled_exc(request, exc)
//     return await self.handle_exception(request, exc)
enum ExcSlot { kExcSelf, kExcRequest, kExcExc };
enum HandlerExceptionState { kHreStart, kHreLoggedHttp, kHreLogged, kHreDone };

Step handle_request_handler_exception_step(Frame& f, PyObject* sent) noexcept {
    PyObject* self = f[kExcSelf];
    switch (f.state) {
        case kHreStart: {
            PyObject* exc = f[kExcExc];
            if (is_http_exception(exc)) {
                return f.await(kHreLoggedHttp, call_own(self, kLogHandledExcOp, N_LOG_HANDLED_EXC, f[kExcRequest], exc));
            }
            if (exc != Py_None && !PyObject_TypeCheck(exc, exception_class())) return raise_expected("Exception", exc);
            BaseApplicationObject* app = as_app(self);
            int handled = app->ops->is_handled_exception(app, exc, 0);
            if (handled < 0) return kFailed;
            PyObject* log = handled ? call_own(self, kLogHandledExcOp, N_LOG_HANDLED_EXC, f[kExcRequest], exc)
                                    : call_own(self, kLogUnhandledExcOp, N_LOG_UNHANDLED_EXC, f[kExcRequest], exc);
            return f.await(kHreLogged, log);
        }
        case kHreLoggedHttp:
            if (!sent) return kFailed;
            return f.await(kHreDone, call_own(self, kHandleHttpExceptionOp, N_HANDLE_HTTP_EXCEPTION, f[kExcRequest],
                                              f[kExcExc]));
        case kHreLogged:
            if (!sent) return kFailed;
            return f.await(kHreDone,
                           call_own(self, kHandleExceptionOp, N_HANDLE_EXCEPTION, f[kExcRequest], f[kExcExc]));
        case kHreDone:
            return sent ? Frame::ret_borrowed(sent) : Step(kFailed);
    }
    return coro::bad_state(f);
}

// async def handle_http_exception(self, request: Request, http_exception: HTTPException):
//     exception_handler = self.get_http_exception_handler(http_exception)
//     if exception_handler:
//         return await self._apply_exception_handler(request, http_exception, exception_handler)
//     return await self.handle_exception(request, http_exception)
Step handle_http_exception_step(Frame& f, PyObject* sent) noexcept {
    PyObject* self = f[kExcSelf];
    switch (f.state) {
        case 0: {
            PyObject* request = f[kExcRequest];
            PyObject* exc = f[kExcExc];
            if (!check_request(request) ||
                !check_instance_arg(exc, g_imports.http_exception, "http_exception")) {
                return kFailed;
            }
            BaseApplicationObject* app = as_app(self);
            Ref handler(app->ops->get_http_exception_handler(app, exc, 0));
            if (!handler) return kFailed;
            int truth = PyObject_IsTrue(handler.get());
            if (truth < 0) return kFailed;
            if (truth) {
                return f.await(1, call_own(self, kApplyExceptionHandlerOp, N_APPLY_EXCEPTION_HANDLER, request, exc,
                                           handler.get()));
            }
            return f.await(1, call_own(self, kHandleExceptionOp, N_HANDLE_EXCEPTION, request, exc));
        }
        case 1:
            return sent ? Frame::ret_borrowed(sent) : Step(kFailed);
    }
    return coro::bad_state(f);
}

// async def handle_exception(self, request, exc):
//     (exc must be an Exception: TypeError "Expected Exception, got ..." otherwise)
//     exception_handler = self.get_exception_handler(exc, None)     # native
//     if exception_handler:
//         return await self._apply_exception_handler(request, exc, exception_handler)
//     return await self.handle_internal_server_error(request, exc)
Step handle_exception_step(Frame& f, PyObject* sent) noexcept {
    PyObject* self = f[kExcSelf];
    switch (f.state) {
        case 0: {
            PyObject* exc = f[kExcExc];
            if (!PyObject_TypeCheck(exc, exception_class())) return raise_expected("Exception", exc);
            BaseApplicationObject* app = as_app(self);
            Ref handler(app->ops->get_exception_handler(app, exc, Py_None, 0));
            if (!handler) return kFailed;
            int truth = PyObject_IsTrue(handler.get());
            if (truth < 0) return kFailed;
            if (truth) {
                return f.await(1, call_own(self, kApplyExceptionHandlerOp, N_APPLY_EXCEPTION_HANDLER, f[kExcRequest],
                                           exc, handler.get()));
            }
            return f.await(1, call_own(self, kHandleInternalServerErrorOp, N_HANDLE_INTERNAL_SERVER_ERROR,
                                       f[kExcRequest], exc));
        }
        case 1:
            return sent ? Frame::ret_borrowed(sent) : Step(kFailed);
    }
    return coro::bad_state(f);
}

// The name a failing handler is logged under: its __name__ when it has one (a functools.partial,
// which the table accepts, has none), its repr otherwise.
PyObject* handler_name(PyObject* handler) noexcept {
    PyObject* name = nullptr;
    if (PyObject_GetOptionalAttr(handler, g_names[N_NAME], &name) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
    }
    return name ? name : PyObject_Repr(handler);
}

// async def _apply_exception_handler(self, request: Request, exc: Exception, exception_handler):
//     try:
//         return await exception_handler(self, request, exc)
//     except Exception as server_ex:
//         self.logger.error("Unhandled exception in exception_handler: %s", <the handler's name>)
//         if self.show_error_details:
//             return self.server_error_details_handler.produce_response(request, exc)
//         return await handle_internal_server_error(self, request, server_ex)   # the module's
enum ApplySlot { kApplySelf, kApplyRequest, kApplyExc, kApplyHandler, kApplyServerEx };
enum ApplyState { kApplyStart, kApplyAwaitedHandler, kApplyAwaitedFallback };

Step apply_handler_failure(Frame& f) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return kFailed;
    chain_pending_to(f[kApplyExc]);
    PyObject* server_ex = PyErr_GetRaisedException();
    f.set(kApplyServerEx, server_ex);
    PyObject* self = f[kApplySelf];
    BaseApplicationObject* app = as_app(self);
    Ref name(handler_name(f[kApplyHandler]));
    Ref logger = Ref::borrow(app->logger);
    Ref logged(name ? call_method(logger.get(), g_names[N_ERROR], g_format_handler_failed, name.get()) : nullptr);
    if (!logged) {
        chain_pending_to(server_ex);
        return kFailed;
    }
    if (app->show_error_details) {
        PyObject* response = produce_details_response(self, f[kApplyRequest], f[kApplyExc]);
        if (!response) chain_pending_to(server_ex);
        return Frame::ret(response);
    }
    return f.await(kApplyAwaitedFallback, coro::start(kDefaultInternalServerErrorOp, self, f[kApplyRequest], server_ex));
}

Step apply_exception_handler_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case kApplyStart: {
            if (!check_request(f[kApplyRequest]) || !check_exception_arg(f[kApplyExc], "exc")) return kFailed;
            PyObject* args[] = {f[kApplySelf], f[kApplyRequest], f[kApplyExc]};
            PyObject* awaitable = PyObject_Vectorcall(f[kApplyHandler], args, 3, nullptr);
            if (!awaitable) return apply_handler_failure(f);
            return f.await(kApplyAwaitedHandler, awaitable);
        }
        case kApplyAwaitedHandler:
            return sent ? Frame::ret_borrowed(sent) : apply_handler_failure(f);
        case kApplyAwaitedFallback:
            if (sent) return Frame::ret_borrowed(sent);
            chain_pending_to(f[kApplyServerEx]);
            return kFailed;
    }
    return coro::bad_state(f);
}

// async def handle_internal_server_error(self, request: Request, exc: Exception):
//     if self.show_error_details:
//         return self.server_error_details_handler.produce_response(request, exc)
//     error = InternalServerError(exc)
//     internal_server_error_handler = self.get_http_exception_handler(error)
//     try:
//         return await internal_server_error_handler(self, request, error)
//     except Exception:
//         self.logger.exception("An exception occurred while trying to apply the configured ...")
//         return Response(500, content=TextContent("Internal Server Error"))
enum ServerErrorSlot { kServerErrorSelf, kServerErrorRequest, kServerErrorExc, kServerErrorError };

Step server_error_handler_failure(Frame& f) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return kFailed;
    chain_pending_to(f[kServerErrorExc]);
    Ref failure(PyErr_GetRaisedException());
    Ref logger = Ref::borrow(as_app(f[kServerErrorSelf])->logger);
    Ref logged;
    {
        HandledScope scope(failure.get());
        logged.reset(call_method(logger.get(), g_names[N_EXCEPTION], g_message_server_error_handler_failed));
    }
    if (!logged) {
        chain_pending_to(failure.get());
        return kFailed;
    }
    return Frame::ret(text_response(g_status_500, Py_NewRef(g_text_server_error)));
}

Step handle_internal_server_error_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case 0: {
            PyObject* self = f[kServerErrorSelf];
            PyObject* request = f[kServerErrorRequest];
            PyObject* exc = f[kServerErrorExc];
            if (!check_request(request) || !check_exception_arg(exc, "exc")) return kFailed;
            BaseApplicationObject* app = as_app(self);
            if (app->show_error_details) return Frame::ret(produce_details_response(self, request, exc));
            PyObject* error = PyObject_CallOneArg(g_imports.internal_server_error, exc);
            if (!error) return kFailed;
            f.set(kServerErrorError, error);
            Ref handler(app->ops->get_http_exception_handler(app, error, 0));
            if (!handler) return kFailed;
            PyObject* args[] = {self, request, error};
            PyObject* awaitable = PyObject_Vectorcall(handler.get(), args, 3, nullptr);
            if (!awaitable) return server_error_handler_failure(f);
            return f.await(1, awaitable);
        }
        case 1:
            return sent ? Frame::ret_borrowed(sent) : server_error_handler_failure(f);
    }
    return coro::bad_state(f);
}

// ---------------------------------------------------------------------------------------------
// The ASGI entry point
//
// __call__(scope, receive, send) serves an http scope from start to end without leaving native
// code, but for the route's handler: the pooled request made from the scope, its body channel, the
// bound on the body, handle(), the response written by the scribe, both objects back to their
// pools. What a subclass configures or adds goes through its own methods, looked up when needed:
//   - `_serve_scope(scope, receive, send)` for any other scope type (the lifespan, websockets);
//     without one, ValueError "Unsupported ASGI scope type ...";
//   - `_respond(request)` instead of handle() when `_cors` is set or `middlewares` is truthy (the
//     CORS hooks and the middleware chain); without one, handle();
//   - `_send_streamed(request, response, send)` for a StreamedContent body, which may watch the
//     client while the stream goes out; without one, the scribe sends it as any response.
// The scope, the channels, the handler and the hooks are Python code that may run anything: the
// step keeps what it works on in frame slots.

// scope[key]: a dict read directly, any other mapping through its __getitem__.
PyObject* scope_item(PyObject* scope, PyObject* key) noexcept {
    if (PyDict_CheckExact(scope)) {
        PyObject* value = nullptr;
        int found = PyDict_GetItemRef(scope, key, &value);
        if (found == 0) PyErr_SetObject(PyExc_KeyError, key);
        return value;
    }
    return PyObject_GetItem(scope, key);
}

// scope.get(key): None when absent.
PyObject* scope_get(PyObject* scope, PyObject* key) noexcept {
    if (PyDict_CheckExact(scope)) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(scope, key, &value) < 0) return nullptr;
        return value ? value : Py_NewRef(Py_None);
    }
    return call_method(scope, g_names[N_GET], key);
}

// `value == literal` for an interned str literal: identity first, as servers pass the literals of
// the protocol.
int equals_literal(PyObject* value, PyObject* literal) noexcept {
    if (value == literal) return 1;
    if (PyUnicode_CheckExact(value)) {
        return PyUnicode_GET_LENGTH(value) == PyUnicode_GET_LENGTH(literal) && PyUnicode_Compare(value, literal) == 0;
    }
    return PyObject_RichCompareBool(value, literal, Py_EQ);
}

// The raw path of the request line: scope.get("raw_path") or scope["path"].encode("utf-8").
PyObject* scope_raw_path(PyObject* scope) noexcept {
    Ref raw(scope_get(scope, g_names[N_RAW_PATH]));
    if (!raw) return nullptr;
    int given = raw.get() == Py_None ? 0 : PyObject_IsTrue(raw.get());
    if (given < 0) return nullptr;
    if (given) return raw.release();
    Ref path(scope_item(scope, g_names[N_SCOPE_PATH]));
    if (!path) return nullptr;
    if (PyUnicode_CheckExact(path.get())) return PyUnicode_AsUTF8String(path.get());
    return call_method(path.get(), g_names[N_ENCODE], g_codec_utf_8);
}

// The request made from the scope's request line and headers (acquire_request), or null.
PyObject* request_from_scope(PyObject* scope) noexcept {
    Ref method(scope_item(scope, g_names[N_METHOD]));
    Ref path(method ? scope_raw_path(scope) : nullptr);
    Ref query(path ? scope_item(scope, g_names[N_QUERY_STRING]) : nullptr);
    Ref headers(query ? scope_item(scope, g_names[N_HEADERS]) : nullptr);
    if (!headers) return nullptr;
    return reinterpret_cast<PyObject*>(
        g_imports.messages.acquire_request(method.get(), path.get(), query.get(), headers.get(), scope, 0));
}

// The Content-Length the client declared is above the bound: the first content-length header,
// when it is plain digits (anything else is left to the body reader, which refuses it). 1, 0, -1.
int declared_above_limit(BaseApplicationObject* app, PyObject* request) noexcept {
    Ref value(messages::Message_GetFirstHeader(request, g_key_content_length));
    if (!value) return -1;
    if (value.get() == Py_None) return 0;
    if (!PyBytes_Check(value.get())) {
        // Not bytes (a header list put together by hand): the Python test, `value.isdigit()` and int().
        int truth = PyObject_IsTrue(value.get());
        if (truth <= 0) return truth;
        Ref digits(PyObject_CallMethod(value.get(), "isdigit", nullptr));
        if (!digits) return -1;
        int plain = PyObject_IsTrue(digits.get());
        if (plain <= 0) return plain;
        Ref number(PyNumber_Long(value.get()));
        if (!number) return -1;
        return PyObject_RichCompareBool(number.get(), app->max_body_size, Py_GT);
    }
    const char* text = PyBytes_AS_STRING(value.get());
    Py_ssize_t n = PyBytes_GET_SIZE(value.get());
    if (n == 0) return 0;
    uint64_t declared = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        if (i < 19) declared = declared * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (app->body_limit == INT64_MAX) {
        // A bound past the C integers: compared as Python ints.
        Ref number(PyLong_FromString(text, nullptr, 10));  // bytes end with a NUL
        if (!number) return -1;
        return PyObject_RichCompareBool(number.get(), app->max_body_size, Py_GT);
    }
    return n >= 20 || declared > static_cast<uint64_t>(app->body_limit);
}

// `self.middlewares` is truthy: a list by its length, anything else by its truth value.
int has_middlewares(BaseApplicationObject* app) noexcept {
    PyObject* middlewares = app->middlewares;
    if (PyList_CheckExact(middlewares)) return PyList_GET_SIZE(middlewares) > 0;
    Ref held = Ref::borrow(middlewares);
    return middlewares == Py_None ? 0 : PyObject_IsTrue(held.get());
}

// self.<name>(args...) when the object has the attribute; null with no error set when it has not.
template <typename... Args>
PyObject* call_hook(PyObject* self, Name name, Args... args) noexcept {
    Ref hook;
    if (PyObject_GetOptionalAttr(self, g_names[name], hook.out()) <= 0) return nullptr;
    PyObject* stack[] = {args...};
    return PyObject_Vectorcall(hook.get(), stack, sizeof...(Args), nullptr);
}

// A body message of the HEAD answer, or the start message {"type", "status", "headers"}.
PyObject* head_start_message(messages::ResponseObject* response) noexcept {
    Ref status(PyLong_FromLong(response->status));
    Ref message(status ? PyDict_New() : nullptr);
    if (!message || PyDict_SetItem(message.get(), g_names[N_TYPE], g_names[N_RESPONSE_START]) < 0 ||
        PyDict_SetItem(message.get(), g_names[N_STATUS], status.get()) < 0 ||
        PyDict_SetItem(message.get(), g_names[N_HEADERS], response->message._raw_headers) < 0) {
        return nullptr;
    }
    return message.release();
}

PyObject* head_body_message() noexcept {
    Ref message(PyDict_New());
    if (!message || PyDict_SetItem(message.get(), g_names[N_TYPE], g_names[N_RESPONSE_BODY]) < 0 ||
        PyDict_SetItem(message.get(), g_names[N_BODY], g_empty_bytes) < 0 ||
        PyDict_SetItem(message.get(), g_names[N_MORE_BODY], Py_False) < 0) {
        return nullptr;
    }
    return message.release();
}

// send(message) for a new reference to the message (or null).
PyObject* send_message(PyObject* send, PyObject* message) noexcept {
    Ref held(message);
    return held ? PyObject_CallOneArg(send, held.get()) : nullptr;
}

// async def __call__(self, scope, receive, send):
//     if scope["type"] != "http":
//         return await self._serve_scope(scope, receive, send)
//     request = acquire_request(scope["method"], scope.get("raw_path") or scope["path"].encode("utf-8"),
//                               scope["query_string"], scope["headers"], scope)
//     response = None
//     try:
//         limit = self.max_body_size
//         request.content = ASGIContent(receive, limit)
//         if limit is not None and <the declared length> > limit:
//             response = Response(413)
//         elif self._cors is not None or self.middlewares:
//             response = await self._respond(request)
//         else:
//             response = await self.handle(request)
//         (a response that is not a Response is a TypeError)
//         if scope["method"] == "HEAD":
//             set_headers_for_response_content(response)
//             await send({"type": "http.response.start", "status": response.status, "headers": response.headers.values})
//             await send({"type": "http.response.body", "body": b"", "more_body": False})
//         elif isinstance(response.content, StreamedContent):
//             await self._send_streamed(request, response, send)
//         else:
//             await send_asgi_response(response, send)
//     finally:
//         release_request(request)
//         # Only a response that came from the pool goes back to it (those of the response helpers):
//         # one a handler built itself may be kept and returned again, and resetting it would spoil it.
//         if response is not None and response._acquired:
//             release_response(response)
enum CallSlot { kCallSelf, kCallScope, kCallReceive, kCallSend, kCallRequest, kCallResponse, kCallMethod, kCallError };
enum CallState { kCallStart, kCallServedOther, kCallResponded, kCallHeadStarted, kCallSent };

// The finally clause; `failed` when the try block raised (the pending exception). An error of a
// release replaces the pending one, with it as its context, and stops the releases that follow.
Step serve_finish(Frame& f, bool failed) noexcept {
    if (failed) f.stash_error(kCallError);
    Ref request = f.take(kCallRequest);
    Ref response = f.take(kCallResponse);
    const messages::MessagesApi& api = g_imports.messages;
    int released = api.release_request(messages::request_cast(request.get()), 0);
    if (released == 0 && response && messages::response_cast(response.get())->acquired) {
        released = api.release_response(messages::response_cast(response.get()), 0);
    }
    if (released < 0) {
        chain_pending_to(f[kCallError]);
        return kFailed;
    }
    return failed ? f.reraise(kCallError) : Frame::ret_none();
}

// After the response came: checked, kept for the finally clause, sent.
Step serve_send(Frame& f, PyObject* response) noexcept {
    if (!PyObject_TypeCheck(response, g_imports.messages.response_type)) {
        (void)raise_cannot_convert(response, g_imports.messages.response_type);
        return serve_finish(f, true);
    }
    f.set_borrowed(kCallResponse, response);
    auto* native = messages::response_cast(response);
    int head = equals_literal(f[kCallMethod], g_names[N_HEAD]);
    if (head < 0) return serve_finish(f, true);
    if (head) {
        if (g_imports.scribe.set_headers_for_response_content(native, 0) < 0) return serve_finish(f, true);
        PyObject* sending = send_message(f[kCallSend], head_start_message(native));
        return sending ? f.await(kCallHeadStarted, sending) : serve_finish(f, true);
    }
    // A StreamedContent (a subclass too), tested as the scribe tests it.
    PyObject* sending = nullptr;
    if (PyObject_TypeCheck(native->message.content, reinterpret_cast<PyTypeObject*>(g_imports.streamed_content))) {
        sending = call_hook(f[kCallSelf], N_SEND_STREAMED, f[kCallRequest], response, f[kCallSend]);
        if (!sending && PyErr_Occurred()) return serve_finish(f, true);
    }
    if (!sending) sending = g_imports.scribe.send_asgi_response(native, f[kCallSend], 0);
    return sending ? f.await(kCallSent, sending) : serve_finish(f, true);
}

// The try block up to the response: the body channel, the bound, the response awaited.
Step serve_respond(Frame& f) noexcept {
    PyObject* self = f[kCallSelf];
    BaseApplicationObject* app = as_app(self);
    PyObject* request = f[kCallRequest];
    PyObject* args[] = {f[kCallReceive], app->max_body_size};
    Ref content(PyObject_Vectorcall(reinterpret_cast<PyObject*>(g_imports.asgi_content), args, 2, nullptr));
    if (!content) return serve_finish(f, true);
    if (Py_IS_TYPE(request, g_imports.messages.request_type)) {
        replace_field(&messages::request_cast(request)->message.content, content.release());
    } else if (PyObject_SetAttr(request, g_names[N_CONTENT], content.get()) < 0) {
        return serve_finish(f, true);
    }
    if (app->max_body_size != Py_None) {
        int refused = declared_above_limit(app, request);
        if (refused < 0) return serve_finish(f, true);
        if (refused) {
            Ref response(new_empty_response(g_status_413));
            if (!response) return serve_finish(f, true);
            return serve_send(f, response.get());
        }
    }
    int configured = app->cors != Py_None ? 1 : has_middlewares(app);
    if (configured < 0) return serve_finish(f, true);
    PyObject* responding = nullptr;
    if (configured) {
        responding = call_hook(self, N_RESPOND, request);
        if (!responding && PyErr_Occurred()) return serve_finish(f, true);
    }
    if (!responding) responding = call_own(self, kHandleOp, N_HANDLE, request);
    return responding ? f.await(kCallResponded, responding) : serve_finish(f, true);
}

Step call_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case kCallStart: {
            PyObject* scope = f[kCallScope];
            Ref kind(scope_item(scope, g_names[N_TYPE]));
            if (!kind) return kFailed;
            int http = equals_literal(kind.get(), g_names[N_HTTP]);
            if (http < 0) return kFailed;
            if (!http) {
                PyObject* serving = call_hook(f[kCallSelf], N_SERVE_SCOPE, scope, f[kCallReceive], f[kCallSend]);
                if (serving) return f.await(kCallServedOther, serving);
                if (PyErr_Occurred()) return kFailed;
                return raise_format(PyExc_ValueError, "Unsupported ASGI scope type %R", kind.get());
            }
            PyObject* request = request_from_scope(scope);
            if (!request) return kFailed;
            f.set(kCallRequest, request);
            f.set_borrowed(kCallMethod, messages::request_cast(request)->method);
            return serve_respond(f);
        }
        case kCallServedOther:
            return sent ? Frame::ret_borrowed(sent) : Step(kFailed);
        case kCallResponded:
            if (!sent) return serve_finish(f, true);
            return serve_send(f, sent);
        case kCallHeadStarted: {
            if (!sent) return serve_finish(f, true);
            PyObject* sending = send_message(f[kCallSend], head_body_message());
            return sending ? f.await(kCallSent, sending) : serve_finish(f, true);
        }
        case kCallSent:
            return serve_finish(f, !sent);
    }
    return coro::bad_state(f);
}

constexpr Operation kCallOp{"BaseApplication.__call__", call_step};

// ---------------------------------------------------------------------------------------------
// Logging. The values of a log line are read so that logging never replaces the error being
// handled: a request whose URL cannot be built or decoded is logged with its raw path (decoded
// with backslashreplace), a value that cannot be read at all as None, an exception whose str()
// fails as "<exception str() failed>". Only an error that is not an Exception (KeyboardInterrupt,
// a cancellation) goes on.

// Clears the pending error when it is an Exception; false (the error left) otherwise.
[[nodiscard]] bool swallow_exception() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// request.method, or None when it cannot be read.
PyObject* logged_method(PyObject* request) noexcept {
    if (Py_IS_TYPE(request, g_imports.messages.request_type)) {
        return Py_NewRef(messages::request_cast(request)->method);
    }
    PyObject* method = PyObject_GetAttr(request, g_names[N_METHOD]);
    if (method) return method;
    return swallow_exception() ? Py_NewRef(Py_None) : nullptr;
}

// The raw path of the request decoded with backslashreplace; the raw value when it is not bytes;
// None when there is none.
PyObject* logged_raw_path(PyObject* request) noexcept {
    Ref path;
    if (Py_IS_TYPE(request, g_imports.messages.request_type)) {
        path = Ref::borrow(messages::request_cast(request)->_path);
    } else if (PyObject_GetOptionalAttr(request, g_names[N_PATH], path.out()) < 0) {
        if (!swallow_exception()) return nullptr;
    }
    if (!path) return Py_NewRef(Py_None);
    if (PyBytes_Check(path.get())) {
        return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(path.get()), PyBytes_GET_SIZE(path.get()), "backslashreplace");
    }
    return path.release();
}

// request.url.value.decode(), or the raw path when that fails.
PyObject* logged_url(PyObject* request) noexcept {
    Ref url(PyObject_GetAttr(request, g_names[N_URL]));
    Ref value(url ? PyObject_GetAttr(url.get(), g_names[N_VALUE]) : nullptr);
    if (value) {
        PyObject* text = PyBytes_Check(value.get())
                             ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value.get()), PyBytes_GET_SIZE(value.get()), nullptr)
                             : PyObject_CallMethodNoArgs(value.get(), g_names[N_DECODE]);
        if (text) return text;
    }
    if (!swallow_exception()) return nullptr;
    return logged_raw_path(request);
}

// str(exc), or a placeholder when that raises.
PyObject* logged_text(PyObject* exc) noexcept {
    PyObject* text = PyObject_Str(exc);
    if (text) return text;
    return swallow_exception() ? Py_NewRef(g_text_str_failed) : nullptr;
}

// async def log_unhandled_exc(self, request, exc):
//     self.logger.error('Unhandled exception - "%s %s"', request.method, url, exc_info=exc)
Step log_unhandled_exc_step(Frame& f, PyObject*) noexcept {
    PyObject* request = f[kExcRequest];
    Ref method(logged_method(request));
    Ref url(method ? logged_url(request) : nullptr);
    if (!url) return kFailed;
    Ref logger = Ref::borrow(as_app(f[kExcSelf])->logger);
    PyObject* args[] = {logger.get(), g_format_unhandled, method.get(), url.get(), f[kExcExc]};
    Ref logged(PyObject_VectorcallMethod(g_names[N_ERROR], args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, g_kw_exc_info));
    return logged ? Frame::ret_none() : Step(kFailed);
}

// async def log_handled_exc(self, request, exc):
//     if isinstance(exc, HTTPException):
//         self.logger.info('HTTP %s - "%s %s". %s', exc.status, request.method, url, str(exc))
//     else:
//         self.logger.info('Handled error: "%s %s". %s', request.method, url, str(exc))
Step log_handled_exc_step(Frame& f, PyObject*) noexcept {
    PyObject* request = f[kExcRequest];
    PyObject* exc = f[kExcExc];
    Ref method(logged_method(request));
    Ref url(method ? logged_url(request) : nullptr);
    Ref text(url ? logged_text(exc) : nullptr);
    if (!text) return kFailed;
    Ref logger = Ref::borrow(as_app(f[kExcSelf])->logger);
    Ref logged;
    if (is_http_exception(exc)) {
        Ref status(PyObject_GetAttr(exc, g_names[N_STATUS]));
        if (!status) {
            if (!swallow_exception()) return kFailed;
            status.reset(PyLong_FromLong(native_status(exc)));
            if (!status) return kFailed;
        }
        logged.reset(call_method(logger.get(), g_names[N_INFO], g_format_http, status.get(), method.get(), url.get(),
                                 text.get()));
    } else {
        logged.reset(call_method(logger.get(), g_names[N_INFO], g_format_handled, method.get(), url.get(), text.get()));
    }
    return logged ? Frame::ret_none() : Step(kFailed);
}

// ---------------------------------------------------------------------------------------------
// The default handlers: module-level coroutine functions (app, request, exception)

enum HandlerSlot { kHandlerApp, kHandlerRequest, kHandlerExc };

// async def handle_not_found(app, request, http_exception):
//     return Response(404, content=TextContent("Resource not found"))
Step handle_not_found_step(Frame&, PyObject*) noexcept {
    return Frame::ret(text_response(g_status_404, Py_NewRef(g_text_not_found)));
}

// async def handle_internal_server_error(app, request, exception):
//     return Response(500, content=TextContent("Internal Server Error"))
Step default_internal_server_error_step(Frame&, PyObject*) noexcept {
    return Frame::ret(text_response(g_status_500, Py_NewRef(g_text_server_error)));
}

// The status of an HTTP exception as a Python int: its native field when it is one, its `status`
// attribute otherwise.
PyObject* status_of(PyObject* http_exception) noexcept {
    if (is_http_exception(http_exception)) return PyLong_FromLong(native_status(http_exception));
    return PyObject_GetAttr(http_exception, g_names[N_STATUS]);
}

// async def handle_bad_request(app, request, http_exception):
//     if http_exception.__context__ is not None:
//         json = getattr(http_exception.__context__, "json", None)
//         if callable(json):
//             return Response(http_exception.status,
//                             content=Content(b"application/json", json().encode("utf8")))
//     return Response(400, content=TextContent(f"Bad Request: {http_exception}"))
Step handle_bad_request_step(Frame& f, PyObject*) noexcept {
    PyObject* exc = f[kHandlerExc];
    Ref context(PyExceptionInstance_Check(exc) ? PyException_GetContext(exc) : PyObject_GetAttr(exc, g_names[N_CONTEXT]));
    if (!context && PyErr_Occurred()) return kFailed;
    if (context && context.get() != Py_None) {
        Ref json;
        if (PyObject_GetOptionalAttr(context.get(), g_names[N_JSON], json.out()) < 0) return kFailed;
        if (json && PyCallable_Check(json.get())) {
            Ref text(PyObject_CallNoArgs(json.get()));
            if (!text) return kFailed;
            Ref status(status_of(exc));
            if (!status) return kFailed;
            return Frame::ret(json_response(status.get(), call_method(text.get(), g_names[N_ENCODE], g_codec_utf8)));
        }
    }
    Ref text(PyObject_Str(exc));
    if (!text) return kFailed;
    return Frame::ret(text_response(g_status_400, PyUnicode_FromFormat("Bad Request: %U", text.get())));
}

// async def handle_unprocessable_entity(app, request, http_exception):
//     details = getattr(http_exception, "details", None)
//     if details is not None:
//         if isinstance(details, (list, dict)):
//             data = msgspec.json.encode(details)
//         else:
//             data = msgspec.json.encode({"error": str(details), "type": "validation_error"})
//         (data must be bytes: TypeError "Expected bytes, got ..." otherwise)
//         return Response(422, content=Content(b"application/json", data))
//     return Response(422, content=TextContent(f"Unprocessable Entity: {http_exception}"))
Step handle_unprocessable_entity_step(Frame& f, PyObject*) noexcept {
    PyObject* exc = f[kHandlerExc];
    Ref details;
    if (PyObject_GetOptionalAttr(exc, g_names[N_DETAILS], details.out()) < 0) return kFailed;
    if (details && details.get() != Py_None) {
        Ref data;
        if (PyList_Check(details.get()) || PyDict_Check(details.get())) {
            data.reset(PyObject_CallOneArg(g_imports.json_encode, details.get()));
        } else {
            Ref text(PyObject_Str(details.get()));
            if (!text) return kFailed;
            Ref payload(PyDict_New());
            if (!payload || PyDict_SetItem(payload.get(), g_key_error, text.get()) < 0 ||
                PyDict_SetItem(payload.get(), g_key_type, g_validation_error_text) < 0) {
                return kFailed;
            }
            data.reset(PyObject_CallOneArg(g_imports.json_encode, payload.get()));
        }
        if (!data) return kFailed;
        if (!PyBytes_CheckExact(data.get())) return raise_expected("bytes", data.get());
        return Frame::ret(json_response(g_status_422, data.release()));
    }
    Ref text(PyObject_Str(exc));
    if (!text) return kFailed;
    return Frame::ret(text_response(g_status_422, PyUnicode_FromFormat("Unprocessable Entity: %U", text.get())));
}

// async def _default_pydantic_validation_error_handler(app, request, error):
//     return Response(400, content=Content(b"application/json", error.json(indent=4).encode("utf-8")))
Step pydantic_validation_error_step(Frame& f, PyObject*) noexcept {
    PyObject* args[] = {f[kHandlerExc], g_indent};
    Ref text(PyObject_VectorcallMethod(g_names[N_JSON], args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, g_kw_indent));
    if (!text) return kFailed;
    return Frame::ret(json_response(g_status_400, call_method(text.get(), g_names[N_ENCODE], g_codec_utf_8)));
}

// async def common_http_exception_handler(app, request, http_exception: HTTPException):
//     return Response(http_exception.status,
//                     content=TextContent(http.HTTPStatus(http_exception.status).phrase))
// The status is the native field, so the exception must be an HTTPException (None too is refused).
Step common_http_exception_step(Frame& f, PyObject*) noexcept {
    PyObject* exc = f[kHandlerExc];
    if (!is_http_exception(exc)) return raise_arg_type("http_exception", g_imports.http_exception->tp_name, exc);
    Ref status(PyLong_FromLong(native_status(exc)));
    if (!status) return kFailed;
    Ref member(PyObject_CallOneArg(g_imports.http_status, status.get()));
    if (!member) return kFailed;
    return Frame::ret(text_response(status.get(), PyObject_GetAttr(member.get(), g_names[N_PHRASE])));
}

constexpr Operation kHandleNotFoundOp{"handle_not_found", handle_not_found_step};
constexpr Operation kHandleBadRequestOp{"handle_bad_request", handle_bad_request_step};
constexpr Operation kHandleUnprocessableEntityOp{"handle_unprocessable_entity", handle_unprocessable_entity_step};
constexpr Operation kPydanticValidationErrorOp{"_default_pydantic_validation_error_handler",
                                               pydantic_validation_error_step};
constexpr Operation kCommonHttpExceptionOp{"common_http_exception_handler", common_http_exception_step};

// ---------------------------------------------------------------------------------------------
// ExceptionHandlersDict: a UserDict whose item assignment validates the handler

// InvalidExceptionHandler(), raised.
Failure raise_invalid_handler() noexcept { return raise_new(g_imports.invalid_exception_handler); }

// Whether `item` has the form of an exception handler: a coroutine function whose signature has
// exactly three parameters, or a variable-positional one (kind 2, `*args`). 1, 0, or -1.
int is_valid_handler(PyObject* item) noexcept {
    Ref coroutine(PyObject_CallOneArg(g_imports.iscoroutinefunction, item));
    if (!coroutine) return -1;
    int truth = PyObject_IsTrue(coroutine.get());
    if (truth <= 0) return truth;
    Ref signature(PyObject_CallOneArg(g_imports.signature_from_callable, item));
    if (!signature) return -1;
    Ref parameters(PyObject_GetAttr(signature.get(), g_names[N_PARAMETERS]));
    if (!parameters) return -1;
    Py_ssize_t count = PyObject_Size(parameters.get());
    if (count < 0) return -1;
    if (count == 3) return 1;
    Ref values(PyObject_CallMethodNoArgs(parameters.get(), g_names[N_VALUES]));
    Ref iterator(values ? PyObject_GetIter(values.get()) : nullptr);
    if (!iterator) return -1;
    while (Ref parameter{PyIter_Next(iterator.get())}) {
        Ref kind(PyObject_GetAttr(parameter.get(), g_names[N_KIND]));
        if (!kind) return -1;
        int variadic = PyObject_RichCompareBool(kind.get(), g_kind_var_positional, Py_EQ);
        if (variadic != 0) return variadic;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// __setitem__(self, key, item): validated, then UserDict's own assignment. Keys are not checked.
PyObject* py_handlers_dict_setitem(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 3) return raise_arg_count("__setitem__", 3, 3, nargs);
    int valid = is_valid_handler(args[2]);
    if (valid < 0) return nullptr;
    if (!valid) return raise_invalid_handler();
    return PyObject_Vectorcall(g_imports.user_dict_setitem, args, 3, nullptr);
}

PyMethodDef handlers_dict_setitem_def = {
    "__setitem__", QM_FASTCALL(py_handlers_dict_setitem), METH_FASTCALL,
    "__setitem__(self, key, item, /)\n--\n\n"
    "Registers `item` for `key` (an exception class or a status code). The handler must be a coroutine "
    "function taking (app, request, exc), or one with *args; InvalidExceptionHandler otherwise.",
};

constexpr const char* kHandlersDictDoc =
    "The table of exception handlers: keys are exception classes or int status codes, values are coroutine "
    "functions handler(app, request, exc) whose result is the Response to send. Every assignment (the "
    "constructor's and update's too) validates the handler.";

// type(UserDict)("ExceptionHandlersDict", (UserDict,), namespace), with the native __setitem__.
PyObject* make_handlers_dict_type(PyObject* module) noexcept {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return nullptr;
    Ref function(PyCFunction_NewEx(&handlers_dict_setitem_def, nullptr, module_name.get()));
    if (!function) return nullptr;
    // An instance method binds like a Python function: d[k] = v calls it with d first.
    Ref method(PyInstanceMethod_New(function.get()));
    Ref name(PyUnicode_FromString("ExceptionHandlersDict"));
    Ref doc(PyUnicode_FromString(kHandlersDictDoc));
    Ref namespace_(PyDict_New());
    if (!method || !name || !doc || !namespace_ || PyDict_SetItemString(namespace_.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__qualname__", name.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__setitem__", method.get()) < 0) {
        return nullptr;
    }
    Ref bases(PyTuple_Pack(1, g_imports.user_dict));
    if (!bases) return nullptr;
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(g_imports.user_dict));
    PyObject* args[] = {name.get(), bases.get(), namespace_.get()};
    return PyObject_Vectorcall(metaclass, args, 3, nullptr);
}

// ---------------------------------------------------------------------------------------------
// get_logger

// The logger "quillmoth.server", its level set to INFO again on every call.
PyObject* get_logger() noexcept {
    Ref logger(PyObject_CallOneArg(g_imports.get_logger, g_logger_name));
    if (!logger) return nullptr;
    Ref set(call_method(logger.get(), g_names[N_SET_LEVEL], g_imports.level_info));
    if (!set) return nullptr;
    return logger.release();
}

PyObject* py_get_logger(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!no_args("get_logger", nargs, kwnames)) return nullptr;
    return get_logger();
}

// ---------------------------------------------------------------------------------------------
// BaseApplication: construction, attributes, the synchronous methods

using BaseApplicationFields =
    ObjectFields<BaseApplicationObject, &BaseApplicationObject::router, &BaseApplicationObject::logger,
                 &BaseApplicationObject::exceptions_handlers, &BaseApplicationObject::max_body_size,
                 &BaseApplicationObject::middlewares, &BaseApplicationObject::cors>;

// Accepts any arguments: a subclass's own __init__ takes what it likes.
PyObject* base_application_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref obj(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    BaseApplicationObject* self = as_app(obj.get());
    self->ops = &kBaseApplicationOps;
    self->show_error_details = 0;
    BaseApplicationFields::reset_to_none(obj.get());
    replace_field_borrowed(&self->max_body_size, g_default_max_body_size);
    self->body_limit = contents::kDefaultMaxBodySize;
    replace_field(&self->middlewares, PyList_New(0));
    if (!self->middlewares) return nullptr;
    return obj.release();
}

// self(scope, receive, send) on BaseApplication itself: its __call__, the native coroutine
// function. (A Python subclass calls it through the interpreter's own slot.)
PyObject* base_application_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* small[8];
    if (nargs + 1 > static_cast<Py_ssize_t>(std::size(small))) {
        return raise_arg_count("__call__", 4, 4, nargs + 1);
    }
    small[0] = self;
    for (Py_ssize_t i = 0; i < nargs; ++i) small[i + 1] = PyTuple_GET_ITEM(args, i);
    return PyObject_VectorcallDict(g_call_function, small, static_cast<size_t>(nargs + 1), kwargs);
}

const char* const kInitParams[] = {"show_error_details", "router"};
const Signature kInitSignature{"__init__", kInitParams, 2, 2};

// __init__(self, show_error_details, router), in this order: the truth value of
// show_error_details, the router stored, the table from self.init_exceptions_handlers(), the flag
// stored, the logger from get_logger().
int base_application_init(PyObject* op, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* values[2] = {nullptr, nullptr};
    if (!parse_tuple_args(kInitSignature, args, kwargs, values)) return -1;
    int show = PyObject_IsTrue(values[0]);
    if (show < 0) return -1;
    BaseApplicationObject* self = as_app(op);
    replace_field_borrowed(&self->router, values[1]);
    PyObject* handlers = PyObject_CallMethodNoArgs(op, g_names[N_INIT_EXCEPTIONS_HANDLERS]);
    if (!handlers) return -1;
    replace_field(&self->exceptions_handlers, handlers);
    self->show_error_details = show;
    PyObject* logger = get_logger();
    if (!logger) return -1;
    replace_field(&self->logger, logger);
    return 0;
}

// init_exceptions_handlers(): a new ExceptionHandlersDict with the default handlers.
PyObject* py_base_application_init_exceptions_handlers(PyObject*, PyObject* const*, Py_ssize_t nargs,
                                                       PyObject* kwnames) noexcept {
    if (!no_args("init_exceptions_handlers", nargs, kwnames)) return nullptr;
    Ref table(PyObject_CallNoArgs(g_handlers_dict_type));
    if (!table) return nullptr;
    struct Entry {
        PyObject* key;
        PyObject* handler;
    };
    const Entry entries[] = {
        {g_status_404, g_handle_not_found},
        {g_status_400, g_handle_bad_request},
        {g_status_422, g_handle_unprocessable_entity},
        {g_imports.unprocessable_entity, g_handle_unprocessable_entity},
    };
    for (const Entry& entry : entries) {
        if (PyObject_SetItem(table.get(), entry.key, entry.handler) < 0) return nullptr;
    }
    if (g_imports.validation_error != Py_None &&
        PyObject_SetItem(table.get(), g_imports.validation_error, g_pydantic_handler) < 0) {
        return nullptr;
    }
    return table.release();
}

const char* const kHttpExceptionParam[] = {"http_exception"};
const Signature kGetHttpExceptionHandlerSignature{"get_http_exception_handler", kHttpExceptionParam, 1, 1};

PyObject* py_base_application_get_http_exception_handler(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                                                         PyObject* kwnames) noexcept {
    PyObject* http_exception;
    if (!parse_args(kGetHttpExceptionHandlerSignature, args, nargs, kwnames, &http_exception)) return nullptr;
    return base_application_get_http_exception_handler(as_app(op), http_exception, 1);
}

PyObject* base_application_get_show_error_details(PyObject* op, void*) noexcept {
    return PyBool_FromLong(as_app(op)->show_error_details);
}

int base_application_set_show_error_details(PyObject* op, PyObject* value, void*) noexcept {
    if (!value) return raise_no_delete();
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    as_app(op)->show_error_details = truth;
    return 0;
}

PyObject* base_application_get_max_body_size(PyObject* op, void*) noexcept { return get_field(as_app(op)->max_body_size); }

int base_application_set_max_body_size(PyObject* op, PyObject* value, void*) noexcept {
    if (!value) return raise_no_delete();
    int64_t limit;
    if (!contents::parse_body_limit(value, &limit)) return -1;
    BaseApplicationObject* self = as_app(op);
    self->body_limit = limit;
    replace_field_borrowed(&self->max_body_size, value);
    return 0;
}

PyGetSetDef base_application_getset[] = {
    {"max_body_size", base_application_get_max_body_size, base_application_set_max_body_size,
     "The bound on a request body in bytes (a non-negative int; 10 MiB by default), or None for no bound: a "
     "larger body is answered 413.", nullptr},
    {"middlewares", get_member<&BaseApplicationObject::middlewares>, set_any_member<&BaseApplicationObject::middlewares>,
     "The middlewares (a list, empty by default): when there are any, the response comes from _respond().",
     nullptr},
    {"_cors", get_member<&BaseApplicationObject::cors>, set_any_member<&BaseApplicationObject::cors>,
     "The CORS settings (None by default): when set, the response comes from _respond().", nullptr},
    {"show_error_details", base_application_get_show_error_details, base_application_set_show_error_details,
     "Whether unhandled errors are answered by server_error_details_handler instead of the plain 500.", nullptr},
    {"router", get_member<&BaseApplicationObject::router>, nullptr,
     "The router layer: get_match(request) gives the route or a falsy value.", nullptr},
    {"logger", get_member<&BaseApplicationObject::logger>, nullptr, "The logger of get_logger().", nullptr},
    {"exceptions_handlers", get_member<&BaseApplicationObject::exceptions_handlers>,
     set_any_member<&BaseApplicationObject::exceptions_handlers>,
     "The exception handlers, by exception class or status code.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef base_application_methods[] = {
    QM_FASTCALL_METHOD("init_exceptions_handlers", py_base_application_init_exceptions_handlers,
                       "init_exceptions_handlers($self, /)\n--\n\n"
                       "A new ExceptionHandlersDict with the default handlers (404, 400, 422, UnprocessableEntity "
                       "and, when pydantic is present, its ValidationError)."),
    QM_FASTCALL_METHOD("get_http_exception_handler", py_base_application_get_http_exception_handler,
                       "get_http_exception_handler($self, /, http_exception)\n--\n\n"
                       "The handler for an HTTPException: one registered for its class (below HTTPException), "
                       "else for its status, else common_http_exception_handler."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot base_application_slots[] = {
    {Py_tp_doc, const_cast<char*>("BaseApplication(show_error_details, router)\n--\n\n"
                                  "The native base of the application object: dispatches a request to its "
                                  "route's handler and turns failures into error responses.")},
    {Py_tp_new, reinterpret_cast<void*>(base_application_new)},
    {Py_tp_init, reinterpret_cast<void*>(base_application_init)},
    {Py_tp_call, reinterpret_cast<void*>(base_application_call)},
    QM_GC_SLOTS(BaseApplicationFields::dealloc, BaseApplicationFields::traverse, BaseApplicationFields::clear_to_none),
    {Py_tp_methods, base_application_methods},
    {Py_tp_getset, base_application_getset},
    {0, nullptr},
};

PyType_Spec base_application_spec = {
    "quillmoth.keystone.BaseApplication",
    sizeof(BaseApplicationObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    base_application_slots,
};

// ---------------------------------------------------------------------------------------------
// The callables

constexpr const char* kHandleParams[] = {"self", "request"};
constexpr const char* kCallParams[] = {"self", "scope", "receive", "send"};
constexpr const char* kExcParams[] = {"self", "request", "exc"};
constexpr const char* kHttpExcParams[] = {"self", "request", "http_exception"};
constexpr const char* kApplyParams[] = {"self", "request", "exc", "exception_handler"};

// Installed over the slot wrapper that the class's tp_call gave it (see install_call).
const Function kCallFunction{
    &kCallOp, {"__call__", kCallParams, 4, 4},
    "__call__($self, scope, receive, send)\n--\n\n"
    "The ASGI application: serves an http scope (the request from the scope, its body bounded by "
    "max_body_size, handle() or _respond(), the response sent, both back to their pools); any other scope "
    "goes to _serve_scope()."};

const Function kBaseApplicationMethods[] = {
    {&kHandleOp, {"handle", kHandleParams, 2, 2},
     "handle($self, request)\n--\n\n"
     "The Response for the request: its route's handler awaited, a failure turned into an error response; "
     "404 without a route, 204 for a handler that returns None."},
    {&kHandleRequestHandlerExceptionOp, {"handle_request_handler_exception", kExcParams, 3, 3},
     "handle_request_handler_exception($self, request, exc)\n--\n\n"
     "Logs the handler's failure and answers it through the exception handlers."},
    {&kHandleInternalServerErrorOp, {"handle_internal_server_error", kExcParams, 3, 3},
     "handle_internal_server_error($self, request, exc)\n--\n\n"
     "The 500 response: the details handler's with show_error_details, else the handler for "
     "InternalServerError or 500."},
    {&kApplyExceptionHandlerOp, {"_apply_exception_handler", kApplyParams, 4, 4},
     "_apply_exception_handler($self, request, exc, exception_handler)\n--\n\n"
     "Awaits exception_handler(self, request, exc); a failing handler is logged and replaced by the 500 path."},
    {&kHandleHttpExceptionOp, {"handle_http_exception", kHttpExcParams, 3, 3},
     "handle_http_exception($self, request, http_exception)\n--\n\n"
     "Answers an HTTPException with the handler get_http_exception_handler gives."},
    {&kHandleExceptionOp, {"handle_exception", kExcParams, 3, 3},
     "handle_exception($self, request, exc)\n--\n\n"
     "Answers an exception with the handler of its closest registered class, else the 500 path."},
    {&kLogUnhandledExcOp, {"log_unhandled_exc", kExcParams, 3, 3},
     "log_unhandled_exc($self, request, exc)\n--\n\nLogs an unhandled error with its traceback."},
    {&kLogHandledExcOp, {"log_handled_exc", kExcParams, 3, 3},
     "log_handled_exc($self, request, exc)\n--\n\nLogs a handled error (an HTTP exception with its status)."},
};

constexpr const char* kHttpHandlerParams[] = {"app", "request", "http_exception"};
constexpr const char* kExceptionHandlerParams[] = {"app", "request", "exception"};
constexpr const char* kErrorHandlerParams[] = {"app", "request", "error"};

const Function kModuleFunctions[] = {
    {&kHandleNotFoundOp, {"handle_not_found", kHttpHandlerParams, 3, 3},
     "handle_not_found(app, request, http_exception)\n--\n\n404 with the text Resource not found."},
    {&kDefaultInternalServerErrorOp, {"handle_internal_server_error", kExceptionHandlerParams, 3, 3},
     "handle_internal_server_error(app, request, exception)\n--\n\n500 with the text Internal Server Error."},
    {&kHandleBadRequestOp, {"handle_bad_request", kHttpHandlerParams, 3, 3},
     "handle_bad_request(app, request, http_exception)\n--\n\n"
     "The JSON of the error behind the exception when it offers json(), else 400 with the exception's text."},
    {&kHandleUnprocessableEntityOp, {"handle_unprocessable_entity", kHttpHandlerParams, 3, 3},
     "handle_unprocessable_entity(app, request, http_exception)\n--\n\n"
     "422 with the exception's details as JSON, or its text without details."},
    {&kPydanticValidationErrorOp, {"_default_pydantic_validation_error_handler", kErrorHandlerParams, 3, 3},
     "_default_pydantic_validation_error_handler(app, request, error)\n--\n\n400 with the validation error's JSON."},
    {&kCommonHttpExceptionOp, {"common_http_exception_handler", kHttpHandlerParams, 3, 3},
     "common_http_exception_handler(app, request, http_exception)\n--\n\n"
     "The exception's status with its standard reason phrase as text."},
};

PyMethodDef module_methods[] = {
    QM_FASTCALL_METHOD("get_logger", py_get_logger,
                       "get_logger()\n--\n\nThe logger quillmoth.server, its level set to INFO."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = make_module_def(
    "quillmoth.keystone",
    "The application core: request dispatch, the exception handler table, default error handlers and logging.",
    module_methods);

// ---------------------------------------------------------------------------------------------
// Init and release

void release_state() noexcept {
    Imports& i = g_imports;
    clear_refs(i.messages.message_type, i.messages.request_type, i.messages.response_type, i.http_exception,
               i.internal_server_error, i.unprocessable_entity, i.invalid_exception_handler, i.content,
               i.text_content, i.get_class_instance_hierarchy, i.json_encode, i.http_status, i.get_logger,
               i.level_info, i.iscoroutinefunction, i.signature_from_callable, i.user_dict, i.user_dict_setitem,
               i.validation_error, i.asgi_content, i.streamed_content, i.route_match);
    i = Imports{};
    clear_refs(g_status_413, g_key_content_length, g_empty_bytes, g_default_max_body_size, g_call_function);
    clear_refs(g_base_application_type, g_handlers_dict_type, g_handle_not_found, g_handle_bad_request,
               g_handle_unprocessable_entity, g_pydantic_handler, g_common_handler, g_status_204, g_status_400,
               g_status_404, g_status_422, g_status_500, g_kind_var_positional, g_indent, g_json_type, g_kw_content,
               g_kw_exc_info, g_kw_indent);
    for (const ConstantText& constant : kConstantTexts) clear_ref(*constant.slot);
    g_names.release();
    for (Overridable& op : g_overridables) op.unbind();
    coro::release_types();
}

// pydantic.ValidationError, or None when pydantic cannot be imported.
PyObject* import_validation_error() noexcept {
    PyObject* cls = import_attr("pydantic", "ValidationError");
    if (cls || !PyErr_ExceptionMatches(PyExc_ImportError)) return cls;
    PyErr_Clear();
    return Py_NewRef(Py_None);
}

[[nodiscard]] bool bind_imports() noexcept {
    Imports& i = g_imports;
    if (!messages::import_messages_api(&i.messages) ||
        !(i.http_exception = import_native_type("quillmoth.exceptions", "HTTPException")) ||
        !(i.asgi_content = import_native_type("quillmoth.contents", "ASGIContent")) ||
        !(i.streamed_content = reinterpret_cast<PyObject*>(import_class("quillmoth.contents", "StreamedContent"))) ||
        !(i.route_match = import_native_type("quillmoth.routing", "RouteMatch")) ||
        !scribe::import_scribe_api(&i.scribe)) {
        return false;
    }
    struct Attr {
        PyObject** slot;
        const char* module;
        const char* name;
    };
    const Attr attrs[] = {
        {&i.internal_server_error, "quillmoth.exceptions", "InternalServerError"},
        {&i.unprocessable_entity, "quillmoth.exceptions", "UnprocessableEntity"},
        {&i.invalid_exception_handler, "quillmoth.exceptions", "InvalidExceptionHandler"},
        {&i.content, "quillmoth.contents", "Content"},
        {&i.text_content, "quillmoth.contents", "TextContent"},
        {&i.get_class_instance_hierarchy, "quillmoth.utils", "get_class_instance_hierarchy"},
        {&i.json_encode, "msgspec.json", "encode"},
        {&i.http_status, "http", "HTTPStatus"},
        {&i.get_logger, "logging", "getLogger"},
        {&i.level_info, "logging", "INFO"},
        {&i.iscoroutinefunction, "inspect", "iscoroutinefunction"},
        {&i.user_dict, "collections", "UserDict"},
    };
    for (const Attr& attr : attrs) {
        if (!(*attr.slot = import_attr(attr.module, attr.name))) return false;
    }
    Ref signature(import_attr("inspect", "Signature"));
    if (!signature) return false;
    i.signature_from_callable = PyObject_GetAttrString(signature.get(), "from_callable");
    i.user_dict_setitem = i.signature_from_callable ? PyObject_GetAttrString(i.user_dict, "__setitem__") : nullptr;
    if (!i.user_dict_setitem) return false;
    i.validation_error = import_validation_error();
    return i.validation_error != nullptr;
}

[[nodiscard]] bool make_constants() noexcept {
    for (const ConstantText& constant : kConstantTexts) {
        if (!(*constant.slot = PyUnicode_InternFromString(constant.text))) return false;
    }
    g_status_204 = PyLong_FromLong(204);
    g_status_400 = PyLong_FromLong(400);
    g_status_404 = PyLong_FromLong(404);
    g_status_422 = PyLong_FromLong(422);
    g_status_500 = PyLong_FromLong(500);
    g_status_413 = PyLong_FromLong(413);
    g_key_content_length = PyBytes_FromString("content-length");
    g_empty_bytes = PyBytes_FromStringAndSize("", 0);
    g_default_max_body_size = PyLong_FromLongLong(contents::kDefaultMaxBodySize);
    if (!g_status_413 || !g_key_content_length || !g_empty_bytes || !g_default_max_body_size) return false;
    g_kind_var_positional = PyLong_FromLong(2);
    g_indent = PyLong_FromLong(4);
    g_json_type = PyBytes_FromString("application/json");
    g_kw_content = Py_BuildValue("(s)", "content");
    g_kw_exc_info = Py_BuildValue("(s)", "exc_info");
    g_kw_indent = Py_BuildValue("(s)", "indent");
    return g_status_204 && g_status_400 && g_status_404 && g_status_422 && g_status_500 && g_kind_var_positional &&
           g_indent && g_json_type && g_kw_content && g_kw_exc_info && g_kw_indent;
}

// BaseApplication.__call__ as the native coroutine function, so that `inspect` sees a coroutine
// function (an ASGI 3 application) where the class's tp_call put a slot wrapper. Instances of
// BaseApplication itself are called through tp_call, which calls it; a Python subclass's slot finds
// it in the class dict and calls it.
[[nodiscard]] bool install_call(PyTypeObject* type) noexcept {
    Ref module_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module_name) return false;
    g_call_function = coro::new_function(kCallFunction, type, module_name.get());
    if (!g_call_function) return false;
    Ref dict(PyType_GetDict(type));
    if (!dict || PyDict_SetItemString(dict.get(), "__call__", g_call_function) < 0) return false;
    PyType_Modified(type);
    return true;
}

// The module attribute `name` (the native callable add_functions made), kept in `slot`.
[[nodiscard]] bool keep_function(PyObject* module, const char* name, PyObject** slot) noexcept {
    *slot = PyObject_GetAttrString(module, name);
    return *slot != nullptr;
}

PyObject* build_module() noexcept {
    if (!bind_imports() || !g_names.intern() || !make_constants()) return nullptr;
    Ref module(PyModule_Create(&module_def));
    if (!module || !coro::add_types(module.get())) return nullptr;
    g_base_application_type = add_module_type(module.get(), &base_application_spec);
    if (!g_base_application_type ||
        !bind_overridables(g_overridables, N_OPS_COUNT, g_base_application_type, g_names.data()) ||
        !coro::add_methods(g_base_application_type, kBaseApplicationMethods, std::size(kBaseApplicationMethods)) ||
        !install_call(g_base_application_type) ||
        !coro::add_functions(module.get(), kModuleFunctions, std::size(kModuleFunctions))) {
        return nullptr;
    }
    if (!keep_function(module.get(), "handle_not_found", &g_handle_not_found) ||
        !keep_function(module.get(), "handle_bad_request", &g_handle_bad_request) ||
        !keep_function(module.get(), "handle_unprocessable_entity", &g_handle_unprocessable_entity) ||
        !keep_function(module.get(), "_default_pydantic_validation_error_handler", &g_pydantic_handler) ||
        !keep_function(module.get(), "common_http_exception_handler", &g_common_handler)) {
        return nullptr;
    }
    g_handlers_dict_type = make_handlers_dict_type(module.get());
    if (!g_handlers_dict_type ||
        PyModule_AddObjectRef(module.get(), "ExceptionHandlersDict", g_handlers_dict_type) < 0 ||
        PyModule_AddObjectRef(module.get(), "ValidationError", g_imports.validation_error) < 0) {
        return nullptr;
    }
    const TypeExport types[] = {{"BaseApplication", g_base_application_type}};
    if (!publish_types(module.get(), types, std::size(types))) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace qm::keystone

PyMODINIT_FUNC PyInit_keystone(void) {
    return qm::init_module(qm::keystone::build_module, qm::keystone::release_state);
}
