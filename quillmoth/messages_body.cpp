// quillmoth.messages, unit body reading: read, read_raw, read_detached, text, json and stream of
// Message, with detach_raw and body_buffer; Request.is_disconnected and Response.raise_for_status;
// the module coroutines _read_stream and _call_soon.
//
// A message keeps no body bytes of its own: every operation delegates to its `content` and adds
// the conversions on top. Each coroutine here is a native state machine of the shared mechanism
// (common/coro.h): the comments above the step functions give the Python each one stands for.
#include "messages_module.h"

#include "common/coro.h"

#include <cstring>
#include <iterator>

namespace qm::messages {
namespace {

using coro::Frame;
using coro::Function;
using coro::Kind;
using coro::Operation;
using coro::Step;

enum Name {
    N_READ,
    N_READ_RAW,
    N_TEXT,
    N_STREAM,
    N_DECODE,
    N_DATA,
    N_BODY,
    N_BODY_BUFFER,
    N_CONTENT,
    N_HAS_CUSTOM_LOADS,
    N_LOADS,
    N_PROBE,
    N_CALL_SOON,
    N_CANCEL,
    N_CANCELLING,
    N_CHARSET,
    N_COUNT
};
constexpr const char* kNameTexts[N_COUNT] = {
    "read", "read_raw", "text", "stream", "decode", "_data", "body", "body_buffer", "content", "has_custom_loads",
    "loads", "_probe_disconnect", "call_soon", "cancel", "cancelling", "charset",
};
InternedNames<N_COUNT> g_names{kNameTexts};

PyObject* g_empty_bytes = nullptr;
PyObject* g_empty_str = nullptr;
PyObject* g_msgspec_decode = nullptr;     // msgspec.json.decode
PyObject* g_create_task = nullptr;        // asyncio.create_task
PyObject* g_get_event_loop = nullptr;     // asyncio.get_event_loop
PyObject* g_current_task = nullptr;       // asyncio.current_task
PyObject* g_cancelled_error = nullptr;    // asyncio.CancelledError

// Whether `self` is an instance of one of the module's own classes, whose body operations are the
// native ones: their calls to each other skip the method lookup.
inline bool native_message(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    return type == g_message_type || type == g_request_type || type == g_response_type;
}

// The content of a message when it is truthy (a new reference), None (a new reference) when not;
// null on error.
PyObject* truthy_content(MessageObject* self) noexcept {
    Ref content = Ref::borrow(self->content);
    if (content.get() == Py_None) return content.release();
    int truth = PyObject_IsTrue(content.get());
    if (truth < 0) return nullptr;
    return truth ? content.release() : Py_NewRef(Py_None);
}

// ---------------------------------------------------------------------------------------------
// read, read_raw, read_detached

// async def read(self):      return await self.content.read() if self.content else None
// async def read_raw(self):  the same, empty bytes without content
enum ReadSlot { kReadSelf };
Step read_step(Frame& f, PyObject* sent) noexcept;
constexpr Operation kReadOp{"Message.read", read_step};
constexpr Operation kReadRawOp{"Message.read_raw", read_step};

Step read_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case 0: {
            Ref content(truthy_content(as_message(f[kReadSelf])));
            if (!content) return kFailed;
            if (content.get() == Py_None) return Frame::ret_borrowed(f.op == &kReadOp ? Py_None : g_empty_bytes);
            return f.await(1, PyObject_CallMethodNoArgs(content.get(), g_names[N_READ]));
        }
        case 1:
            return sent ? Frame::ret_borrowed(sent) : Step(kFailed);
    }
    return coro::bad_state(f);
}

// self.<name>() for a coroutine method of the messages: the native operation for the module's own
// classes, the method looked up on the object otherwise (a subclass's override runs).
PyObject* call_own(PyObject* self, const Operation& op, Name name) noexcept {
    if (native_message(self)) return coro::start(op, self);
    return PyObject_CallMethodNoArgs(self, g_names[name]);
}

// async def read_detached(self):
//     raw = await self.read_raw()
//     return b"" if raw is None else bytes(raw)
Step read_detached_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case 0: return f.await(1, call_own(f[kReadSelf], kReadRawOp, N_READ_RAW));
        case 1:
            if (!sent) return kFailed;
            if (sent == Py_None) return Frame::ret_borrowed(g_empty_bytes);
            return Frame::ret(PyBytes_FromObject(sent));
    }
    return coro::bad_state(f);
}

constexpr Operation kReadDetachedOp{"Message.read_detached", read_detached_step};

// ---------------------------------------------------------------------------------------------
// text

// body.decode(charset), with the bytes decoded directly when they are bytes.
PyObject* decode_body(PyObject* body, PyObject* charset) noexcept {
    if (!PyUnicode_Check(charset)) return raise_expected("str", charset);
    const char* encoding = PyUnicode_AsUTF8(charset);
    if (!encoding) return nullptr;
    if (PyBytes_Check(body)) return PyUnicode_Decode(PyBytes_AS_STRING(body), PyBytes_GET_SIZE(body), encoding, nullptr);
    return call_method(body, g_names[N_DECODE], charset);
}

// The message's charset: read natively for the module's own classes, as the property otherwise.
PyObject* charset_of(PyObject* self) noexcept {
    if (native_message(self)) return message_charset(as_message(self));
    return PyObject_GetAttr(self, g_names[N_CHARSET]);
}

// The body decoded with the charset; a body that charset cannot decode goes to the configured
// fallback, encodings_settings.decode(body, error). So does a body whose declared charset is no
// text encoding Python knows (LookupError: a name the client made up, or a codec such as zlib that
// is not a text encoding), with None for the error: the charset is the client's word, not ours.
PyObject* body_text(PyObject* self, PyObject* body) noexcept {
    Ref charset(charset_of(self));
    if (!charset) return nullptr;
    PyObject* text = decode_body(body, charset.get());
    if (text) return text;
    if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        Ref error(PyErr_GetRaisedException());
        return call_method(g_imports.encodings_settings, g_names[N_DECODE], body, error.get());
    }
    if (!PyErr_ExceptionMatches(PyExc_LookupError)) return nullptr;
    PyErr_Clear();
    return call_method(g_imports.encodings_settings, g_names[N_DECODE], body, Py_None);
}

// async def text(self):
//     body = await self.read()
//     return "" if body is None else the body decoded (see body_text)
Step text_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case 0: return f.await(1, call_own(f[kReadSelf], kReadOp, N_READ));
        case 1:
            if (!sent) return kFailed;
            if (sent == Py_None) return Frame::ret_borrowed(g_empty_str);
            return Frame::ret(body_text(f[kReadSelf], sent));
    }
    return coro::bad_state(f);
}

constexpr Operation kTextOp{"Message.text", text_step};

// ---------------------------------------------------------------------------------------------
// json

// The pending parse error replaced by BadRequestFormat(message, error), the error also its context:
// "Declared Content-Type is <ct> but the content cannot be parsed as JSON." when the content type
// holds the bytes "json", "Cannot parse content as JSON" otherwise.
Failure raise_unparsable_json(MessageObject* self) noexcept {
    Ref error(PyErr_GetRaisedException());
    Ref content_type(self->ops->content_type(self, 0));
    if (!content_type) return kFailed;
    Ref message;
    if (PyBytes_Check(content_type.get())) {
        const char* ct = PyBytes_AS_STRING(content_type.get());
        Py_ssize_t n = PyBytes_GET_SIZE(content_type.get());
        bool json = false;
        for (Py_ssize_t i = 0; i + 4 <= n && !json; ++i) json = std::memcmp(ct + i, "json", 4) == 0;
        if (json) {
            Ref text(PyUnicode_DecodeUTF8(ct, n, nullptr));
            if (!text) return kFailed;
            message.reset(PyUnicode_FromFormat("Declared Content-Type is %U but the content cannot be parsed as JSON.",
                                               text.get()));
        }
    }
    if (!message) message.reset(PyUnicode_FromString("Cannot parse content as JSON"));
    if (!message) return kFailed;
    Ref exc(PyObject_CallFunctionObjArgs(g_imports.bad_request_format, message.get(), error.get(), nullptr));
    if (!exc) return kFailed;
    PyException_SetContext(exc.get(), error.release());
    PyErr_SetRaisedException(exc.release());
    return {};
}

// The decoded JSON of `raw` with `loads` (None: msgspec on the bytes); a parse failure becomes the
// BadRequestFormat above, any other error propagates.
PyObject* decode_json(PyObject* self, PyObject* raw, PyObject* loads) noexcept {
    PyObject* result;
    if (loads == Py_None) {
        result = PyObject_CallOneArg(g_msgspec_decode, raw);
    } else {
        Ref text;
        if (PyBytes_Check(raw) || PyByteArray_Check(raw) || PyMemoryView_Check(raw)) {
            Ref charset(charset_of(self));
            if (!charset) return nullptr;
            text.reset(decode_body(raw, charset.get()));
            // A declared charset that is no text encoding (LookupError) leaves the body unparsable;
            // only the decoding's, not a KeyError of loads below.
            if (!text && PyErr_ExceptionMatches(PyExc_LookupError)) return raise_unparsable_json(as_message(self));
        } else {
            text = Ref::borrow(raw);
        }
        result = text ? PyObject_CallOneArg(loads, text.get()) : nullptr;
    }
    // msgspec's DecodeError, the standard JSONDecodeError and UnicodeDecodeError are ValueErrors;
    // a document nested deeper than the decoder goes is the client's too (RecursionError).
    if (result || !(PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_RecursionError))) {
        return result;
    }
    return raise_unparsable_json(as_message(self));
}

// async def json(self, loads=None):
//     if not self.declares_json(): return None
//     raw = await self.read_raw()
//     if not raw: return None
//     if loads is None and json_settings.has_custom_loads: loads = json_settings.loads
//     return the decoded JSON (see decode_json)
enum JsonSlot { kJsonSelf, kJsonLoads };
Step json_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case 0: {
            MessageObject* self = as_message(f[kJsonSelf]);
            int declared = self->ops->declares_json(self, 0);
            if (declared < 0) return kFailed;
            if (!declared) return Frame::ret_none();
            return f.await(1, call_own(f[kJsonSelf], kReadRawOp, N_READ_RAW));
        }
        case 1: {
            if (!sent) return kFailed;
            if (sent == Py_None) return Frame::ret_none();
            Py_ssize_t size = PyObject_Length(sent);
            if (size < 0) return kFailed;
            if (size == 0) return Frame::ret_none();
            Ref loads = Ref::borrow(f[kJsonLoads]);
            if (loads.get() == Py_None) {
                Ref custom(PyObject_GetAttr(g_imports.json_settings, g_names[N_HAS_CUSTOM_LOADS]));
                if (!custom) return kFailed;
                int truth = PyObject_IsTrue(custom.get());
                if (truth < 0) return kFailed;
                if (truth) {
                    loads.reset(PyObject_GetAttr(g_imports.json_settings, g_names[N_LOADS]));
                    if (!loads) return kFailed;
                }
            }
            return Frame::ret(decode_json(f[kJsonSelf], sent, loads.get()));
        }
    }
    return coro::bad_state(f);
}

constexpr Operation kJsonOp{"Message.json", json_step};

// ---------------------------------------------------------------------------------------------
// stream, and the drain of _read_stream

// async def stream(self):
//     if not self.content:
//         yield None
//         return
//     iterator = aiter(self.content.stream())
//     try:
//         async for chunk in iterator: yield chunk
//     finally (on the way out through an exception thrown in, as aclose() throws GeneratorExit):
//         await iterator.aclose()
enum StreamSlot { kStreamSelf, kStreamIter, kStreamError };
enum StreamState { kStreamStart, kStreamNoContent, kStreamGot, kStreamResumed, kStreamClosed };
Step stream_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case kStreamStart: {
            Ref content(truthy_content(as_message(f[kStreamSelf])));
            if (!content) return kFailed;
            if (content.get() == Py_None) return f.yield(kStreamNoContent, Py_NewRef(Py_None));
            Ref iterable(PyObject_CallMethodNoArgs(content.get(), g_names[N_STREAM]));
            if (!iterable) return kFailed;
            PyObject* iterator = PyObject_GetAIter(iterable.get());
            if (!iterator) return kFailed;
            f.set(kStreamIter, iterator);
            return f.await(kStreamGot, coro::anext(iterator));
        }
        case kStreamNoContent:
            return sent ? Frame::ret_none() : Step(kFailed);
        case kStreamGot:
        case kStreamResumed:
        case kStreamClosed:
            return coro::relay_step(f, sent, {kStreamIter, kStreamError, kStreamGot, kStreamResumed, kStreamClosed});
    }
    return coro::bad_state(f);
}

constexpr Operation kStreamOp{"Message.stream", stream_step, Kind::kAsyncGenerator};

// The content of `request` (any object with `content`): the field of a message, the attribute of
// anything else.
PyObject* content_of(PyObject* request) noexcept {
    if (PyObject_TypeCheck(request, g_message_type)) return Py_NewRef(as_message(request)->content);
    return PyObject_GetAttr(request, g_names[N_CONTENT]);
}

// async def _read_stream(request):
//     async for _ in request.content.stream(): pass
enum DrainSlot { kDrainRequest, kDrainIter };
Step read_stream_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case 0: {
            Ref content(content_of(f[kDrainRequest]));
            if (!content) return kFailed;
            Ref iterable(PyObject_CallMethodNoArgs(content.get(), g_names[N_STREAM]));
            if (!iterable) return kFailed;
            PyObject* iterator = PyObject_GetAIter(iterable.get());
            if (!iterator) return kFailed;
            f.set(kDrainIter, iterator);
            return f.await(1, coro::anext(iterator));
        }
        case 1:
            if (sent) return f.await(1, coro::anext(f[kDrainIter]));
            if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) return kFailed;
            PyErr_Clear();
            return Frame::ret_none();
    }
    return coro::bad_state(f);
}

constexpr Operation kReadStreamOp{"_read_stream", read_stream_step};

// ---------------------------------------------------------------------------------------------
// _call_soon

// Whether the task running now is being cancelled (its own cancellation, not the probe's).
int current_task_cancelling() noexcept {
    Ref task(PyObject_CallNoArgs(g_current_task));
    if (!task) return -1;
    if (task.get() == Py_None) return 0;
    Ref count(PyObject_CallMethodNoArgs(task.get(), g_names[N_CANCELLING]));
    if (!count) return -1;
    return PyObject_IsTrue(count.get());
}

// async def _call_soon(coro):
//     task = asyncio.create_task(coro)
//     asyncio.get_event_loop().call_soon(task.cancel)
//     try:
//         return await task
//     except asyncio.CancelledError:
//         return None
// A coroutine that finishes without waiting gives its result; one that would have to wait is
// cancelled on the loop's next turn. A cancellation of the awaiting task itself goes on: only the
// probe's own cancellation means "nothing yet".
enum CallSoonSlot { kCallSoonCoro, kCallSoonTask };
Step call_soon_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case 0: {
            Ref task(PyObject_CallOneArg(g_create_task, f[kCallSoonCoro]));
            if (!task) return kFailed;
            Ref loop(PyObject_CallNoArgs(g_get_event_loop));
            if (!loop) return kFailed;
            Ref cancel(PyObject_GetAttr(task.get(), g_names[N_CANCEL]));
            if (!cancel) return kFailed;
            Ref handle(call_method(loop.get(), g_names[N_CALL_SOON], cancel.get()));
            if (!handle) return kFailed;
            f.set(kCallSoonTask, Py_NewRef(task.get()));
            return f.await(1, task.release());
        }
        case 1: {
            if (sent) return Frame::ret_borrowed(sent);
            if (!PyErr_ExceptionMatches(g_cancelled_error)) return kFailed;
            Ref error(PyErr_GetRaisedException());
            int cancelling = current_task_cancelling();
            if (cancelling < 0) return kFailed;
            if (cancelling) {
                PyErr_SetRaisedException(error.release());
                return kFailed;
            }
            return Frame::ret_none();
        }
    }
    return coro::bad_state(f);
}

constexpr Operation kCallSoonOp{"_call_soon", call_soon_step};

// ---------------------------------------------------------------------------------------------
// Request.is_disconnected, Response.raise_for_status

// async def is_disconnected(self):
//     if not isinstance(self.content, ASGIContent): raise TypeError(...)
//     if self._is_disconnected is None: self._is_disconnected = False
//     if self._is_disconnected: return True
//     try:
//         await _call_soon(self.content._probe_disconnect())
//     except MessageAborted:
//         self._is_disconnected = True
//     return self._is_disconnected
//
// The probe receives what the channel has without waiting and keeps it in the content (a later
// read or stream still gets the whole body); once the body is complete it asks the channel once
// more, which answers only when the client has gone.
enum DisconnectSlot { kDisconnectSelf };
Step is_disconnected_step(Frame& f, PyObject* sent) noexcept {
    RequestObject* self = as_request(f[kDisconnectSelf]);
    switch (f.state) {
        case 0: {
            Ref content = Ref::borrow(self->message.content);
            int asgi = PyObject_IsInstance(content.get(), g_imports.asgi_content);
            if (asgi < 0) return kFailed;
            if (!asgi) {
                return raise_error(PyExc_TypeError,
                                   "This method is only supported when a request is bound to an instance of "
                                   "ASGIContent and to an ASGI request/response cycle.");
            }
            if (self->_is_disconnected == Py_None) replace_field_borrowed(&self->_is_disconnected, Py_False);
            if (self->_is_disconnected == Py_True) return Frame::ret_borrowed(Py_True);
            Ref probe(PyObject_CallMethodNoArgs(content.get(), g_names[N_PROBE]));
            if (!probe) return kFailed;
            return f.await(1, coro::start(kCallSoonOp, probe.get()));
        }
        case 1:
            if (!sent) {
                if (!PyErr_ExceptionMatches(g_imports.message_aborted)) return kFailed;
                PyErr_Clear();
                replace_field_borrowed(&self->_is_disconnected, Py_True);
            }
            return Frame::ret_borrowed(self->_is_disconnected);
    }
    return coro::bad_state(f);
}

constexpr Operation kIsDisconnectedOp{"Request.is_disconnected", is_disconnected_step};

// async def raise_for_status(self):
//     if 200 <= self.status < 300: return None
//     text = await self.text()
//     raise FailedRequestError(self.status, text)
enum StatusSlot { kStatusSelf };
Step raise_for_status_step(Frame& f, PyObject* sent) noexcept {
    ResponseObject* self = as_response(f[kStatusSelf]);
    switch (f.state) {
        case 0:
            if (self->status >= 200 && self->status < 300) return Frame::ret_none();
            return f.await(1, call_own(f[kStatusSelf], kTextOp, N_TEXT));
        case 1: {
            if (!sent) return kFailed;
            Ref status(PyLong_FromLong(self->status));
            if (!status) return kFailed;
            return raise_new(g_imports.failed_request_error, status.get(), sent);
        }
    }
    return coro::bad_state(f);
}

constexpr Operation kRaiseForStatusOp{"Response.raise_for_status", raise_for_status_step};

// ---------------------------------------------------------------------------------------------
// The synchronous members: detach_raw and body_buffer

// An attribute of `obj`, None when it has none (a new reference), null on any other error.
PyObject* attribute_or_none(PyObject* obj, PyObject* name) noexcept {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) return nullptr;
    return value ? value : Py_NewRef(Py_None);
}

// A bytes copy of a body read already (the content's `_data`, else its `body`); never reads.
PyObject* py_message_detach_raw(PyObject* op, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!no_args("detach_raw", nargs, kwnames)) return nullptr;
    Ref content(truthy_content(as_message(op)));
    if (!content) return nullptr;
    if (content.get() == Py_None) return Py_NewRef(g_empty_bytes);
    for (Name name : {N_DATA, N_BODY}) {
        Ref value(attribute_or_none(content.get(), g_names[name]));
        if (!value) return nullptr;
        if (value.get() != Py_None) return PyBytes_FromObject(value.get());
    }
    return Py_NewRef(g_empty_bytes);
}

PyObject* message_get_body_buffer(PyObject* op, void*) noexcept {
    Ref content(truthy_content(as_message(op)));
    if (!content) return nullptr;
    if (content.get() != Py_None) {
        PyObject* buffer = nullptr;
        if (PyObject_GetOptionalAttr(content.get(), g_names[N_BODY_BUFFER], &buffer) < 0) return nullptr;
        if (buffer) return buffer;
    }
    return PyMemoryView_FromObject(g_empty_bytes);
}

PyMethodDef message_body_methods[] = {
    QM_FASTCALL_METHOD("detach_raw", py_message_detach_raw,
                       "detach_raw($self, /)\n--\n\n"
                       "A bytes copy of a body already read, safe to keep after the request; never reads."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef message_body_getset[] = {
    {"body_buffer", message_get_body_buffer, nullptr,
     "A memoryview over the body read already (over empty bytes without one).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------------
// The callables

constexpr const char* kSelfParam[] = {"self"};
constexpr const char* kJsonParams[] = {"self", "loads"};
constexpr const char* kRequestParam[] = {"request"};
constexpr const char* kCoroParam[] = {"coro"};

const Function kMessageMethods[] = {
    {&kReadOp, {"read", kSelfParam, 1, 1},
     "read($self, /)\n--\n\nThe whole body (bytes), or None without content."},
    {&kReadRawOp, {"read_raw", kSelfParam, 1, 1},
     "read_raw($self, /)\n--\n\nThe whole body as the content gives it; empty bytes without content."},
    {&kReadDetachedOp, {"read_detached", kSelfParam, 1, 1},
     "read_detached($self, /)\n--\n\nAn independent bytes copy of the body, safe to keep after the request."},
    {&kTextOp, {"text", kSelfParam, 1, 1},
     "text($self, /)\n--\n\nThe body decoded with the declared charset (utf8 by default)."},
    {&kJsonOp, {"json", kJsonParams, 2, 1},
     "json($self, /, loads=None)\n--\n\n"
     "The body decoded as JSON, when the content type declares JSON; None otherwise or without a body."},
    {&kStreamOp, {"stream", kSelfParam, 1, 1},
     "stream($self, /)\n--\n\nThe chunks of the body as they come; one None without content."},
};

const Function kRequestMethods[] = {
    {&kIsDisconnectedOp, {"is_disconnected", kSelfParam, 1, 1},
     "is_disconnected($self, /)\n--\n\nWhether the client has gone, probed without waiting."},
};

const Function kResponseMethods[] = {
    {&kRaiseForStatusOp, {"raise_for_status", kSelfParam, 1, 1},
     "raise_for_status($self, /)\n--\n\nRaises FailedRequestError with the body text unless the status is 2xx."},
};

const Function kModuleFunctions[] = {
    {&kReadStreamOp, {"_read_stream", kRequestParam, 1, 1},
     "_read_stream(request)\n--\n\nDrains the request's body stream, discarding every chunk."},
    {&kCallSoonOp, {"_call_soon", kCoroParam, 1, 1},
     "_call_soon(coro)\n--\n\nThe result of `coro` if it finishes within one turn of the event loop, else None."},
};

}  // namespace

bool init_body_unit(PyObject* module) noexcept {
    if (!g_names.intern() || !coro::add_types(module)) return false;
    g_empty_bytes = PyBytes_FromStringAndSize("", 0);
    g_empty_str = PyUnicode_FromStringAndSize("", 0);
    if (!g_empty_bytes || !g_empty_str) return false;
    if (!(g_msgspec_decode = import_attr("msgspec.json", "decode")) ||
        !(g_create_task = import_attr("asyncio", "create_task")) ||
        !(g_get_event_loop = import_attr("asyncio", "get_event_loop")) ||
        !(g_current_task = import_attr("asyncio", "current_task")) ||
        !(g_cancelled_error = import_attr("asyncio", "CancelledError"))) {
        return false;
    }
    return coro::add_methods(g_message_type, kMessageMethods, std::size(kMessageMethods)) &&
           add_type_methods(g_message_type, message_body_methods) &&
           add_type_getsets(g_message_type, message_body_getset) &&
           coro::add_methods(g_request_type, kRequestMethods, std::size(kRequestMethods)) &&
           coro::add_methods(g_response_type, kResponseMethods, std::size(kResponseMethods)) &&
           coro::add_functions(module, kModuleFunctions, std::size(kModuleFunctions));
}

void release_body_unit() noexcept {
    clear_refs(g_empty_bytes, g_empty_str, g_msgspec_decode, g_create_task, g_get_event_loop,
               g_current_task, g_cancelled_error);
    g_names.release();
    coro::release_types();
}

}  // namespace qm::messages
