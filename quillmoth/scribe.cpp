// quillmoth.scribe: the response writer. It turns a Response into the ASGI messages a server
// expects on its `send` channel, completes the response headers from the body content, cuts a
// buffered body into slices, frames a streamed body in HTTP/1.1 chunked coding, and serializes
// server-sent events. The scanning primitives (simd_ops.cpp) are linked in and exported under their
// plain symbol names.
//
// The ASGI wire format, as sent here (dicts with str keys, inserted in the order shown):
//
//     start   {"type": "http.response.start", "status": int, "headers": <the response's own list>}
//     body    {"type": "http.response.body", "body": bytes, "more_body": bool}
//     end     {"type": "http.response.body", "body": b""}      (no content at all)
//
// A response goes out as the start message and then:
//   - no content: the end message;
//   - a buffered body up to 61440 bytes: one body message (the body object itself, no copy);
//   - a longer buffered body: its 61440-byte slices with more_body true, then b"" with false;
//   - a streamed body (open length, or a StreamedContent): one message with more_body true for each
//     non-empty part, then b"" with false, once, after the last part. Empty and None parts are
//     skipped: an empty body message ends the body for the server, so one in the middle would cut
//     the response short, and None is no body at all.
//
// Each coroutine and generator is a native state machine of the shared mechanism (common/coro.h);
// the comment above each step function gives the Python it stands for. `send`, the part iterators
// and Python subclasses of the contents and events run Python code wherever they are called: the
// steps keep what they work on in frame slots, never in borrowed pointers across such a call.
#include "scribe.h"

#include "common/coro.h"
#include "common/bytes.h"
#include "common/native.h"
#include "contents.h"
#include "cookies.h"
#include "messages.h"

#include <cstring>
#include <iterator>

namespace qm::scribe {
namespace {

using contents::ContentObject;
using contents::ServerSentEventObject;
using coro::Frame;
using coro::Function;
using coro::Kind;
using coro::Operation;
using coro::Step;
using messages::ResponseObject;

// ---------------------------------------------------------------------------------------------
// Module state (one interpreter, single-phase init)

messages::MessagesApi g_messages;        // Response (native fields read), and the other exports
cookies::CookiesApi g_cookies;           // write_cookie_for_response, parse_cookie, ...
PyTypeObject* g_cookie_type = nullptr;   // quillmoth.cookies.Cookie
PyTypeObject* g_content_type = nullptr;  // quillmoth.contents.Content (native fields read)
PyTypeObject* g_server_sent_event_type = nullptr;  // quillmoth.contents.ServerSentEvent (fields read)
PyTypeObject* g_streamed_content_type = nullptr;   // quillmoth.contents.StreamedContent (a Python class)

PyObject* g_module_dict = nullptr;  // the module's globals, where send_asgi_response finds get_chunks
PyObject* g_get_chunks = nullptr;   // the module's own get_chunks, run inline when still in place

// Header names and values, the empty body and the chunked terminator (bytes).
PyObject* g_key_content_length = nullptr;
PyObject* g_key_content_type = nullptr;
PyObject* g_key_transfer_encoding = nullptr;
PyObject* g_value_chunked = nullptr;
PyObject* g_value_zero = nullptr;
PyObject* g_value_octet_stream = nullptr;
PyObject* g_empty_bytes = nullptr;
PyObject* g_chunked_terminator = nullptr;

// The exported int variable (scribe.h). Nothing here reads it.
int g_max_response_chunk_size = kMaxResponseChunkSize;

enum Name {
    N_TYPE,
    N_STATUS,
    N_HEADERS,
    N_BODY,
    N_MORE_BODY,
    N_HTTP_RESPONSE_START,
    N_HTTP_RESPONSE_BODY,
    N_GET_PARTS,
    N_GET_CHUNKS,
    N_COUNT
};
constexpr const char* kNameTexts[N_COUNT] = {
    "type", "status", "headers", "body", "more_body", "http.response.start", "http.response.body",
    "get_parts", "get_chunks",
};
InternedNames<N_COUNT> g_names{kNameTexts};

// ---------------------------------------------------------------------------------------------
// Small helpers

// The lower-case hexadecimal digits of `value` into `out` (room for 16), no leading zeros.
size_t hex_digits(uint64_t value, char* out) noexcept {
    static constexpr char kDigits[] = "0123456789abcdef";
    char reversed[16];
    size_t n = 0;
    do {
        reversed[n++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value);
    for (size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
    return n;
}

// "object of type 'NoneType' has no len()": what len() raises, for a body of None.
QM_COLD Failure raise_no_len(PyObject* obj) noexcept {
    return raise_format(PyExc_TypeError, "object of type '%.200s' has no len()", type_name(obj));
}

// The truth of a response's content: None and a falsy content (a subclass may define __len__ or
// __bool__) are no content. 1, 0 or -1. May run Python code.
int content_truth(PyObject* content) noexcept {
    if (content == Py_None) return 0;
    return PyObject_IsTrue(content);
}

// The messages are copies of kept templates with their keys in place (a copy of a small dict
// costs less than building it key by key), whose values are then replaced.
PyObject* g_start_template = nullptr;      // {"type": "http.response.start", "status": None, "headers": None}
PyObject* g_body_template = nullptr;       // {"type": "http.response.body", "body": None, "more_body": None}
PyObject* g_end_template = nullptr;        // {"type": "http.response.body", "body": None}

// Status codes and content lengths as ints and bytes, made once when first used.
constexpr int32_t kFirstStatus = 100, kStatusCount = 500;  // 100 ... 599
PyObject* g_status_ints[kStatusCount] = {};
constexpr int64_t kKeptLengths = 1024;
PyObject* g_length_bytes[kKeptLengths] = {};

// `status` as an int (a new reference).
PyObject* status_int(int32_t status) noexcept {
    if (status < kFirstStatus || status >= kFirstStatus + kStatusCount) return PyLong_FromLong(status);
    PyObject*& kept = g_status_ints[status - kFirstStatus];
    if (!kept && !(kept = PyLong_FromLong(status))) return nullptr;
    return Py_NewRef(kept);
}

// The decimal digits of a content length (a new reference to bytes).
PyObject* length_bytes(int64_t length) noexcept {
    PyObject** kept = length < kKeptLengths ? &g_length_bytes[length] : nullptr;
    if (kept && *kept) return Py_NewRef(*kept);
    char digits[20];
    size_t n = decimal_digits(static_cast<uint64_t>(length), digits);
    PyObject* made = PyBytes_FromStringAndSize(digits, static_cast<Py_ssize_t>(n));
    if (made && kept) *kept = Py_NewRef(made);
    return made;
}

// A copy of `template_` with the values of its keys `keys[i]` replaced by `values[i]`.
PyObject* message_from(PyObject* template_, const Name* keys, PyObject* const* values, size_t count) noexcept {
    Ref message(PyDict_Copy(template_));
    if (!message) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (PyDict_SetItem(message.get(), g_names[keys[i]], values[i]) < 0) return nullptr;
    }
    return message.release();
}

// The response start message {"type", "status", "headers"}: `headers` is the list itself.
PyObject* start_message(int32_t status, PyObject* headers) noexcept {
    Ref code(status_int(status));
    if (!code) return nullptr;
    static constexpr Name kKeys[] = {N_STATUS, N_HEADERS};
    PyObject* values[] = {code.get(), headers};
    return message_from(g_start_template, kKeys, values, 2);
}

// A body message {"type", "body", "more_body"}; without the flag key when `more` is null.
PyObject* body_message(PyObject* body, PyObject* more) noexcept {
    static constexpr Name kKeys[] = {N_BODY, N_MORE_BODY};
    PyObject* values[] = {body, more};
    return message_from(more ? g_body_template : g_end_template, kKeys, values, more ? 2 : 1);
}

// The templates, keys in the order of the wire format (the file comment).
[[nodiscard]] bool make_templates() noexcept {
    g_start_template = Py_BuildValue("{OOOOOO}", g_names[N_TYPE], g_names[N_HTTP_RESPONSE_START], g_names[N_STATUS],
                                     Py_None, g_names[N_HEADERS], Py_None);
    g_body_template = g_start_template ? PyDict_New() : nullptr;
    g_end_template = g_body_template ? PyDict_New() : nullptr;
    if (!g_end_template) return false;
    for (PyObject* message : {g_body_template, g_end_template}) {
        if (PyDict_SetItem(message, g_names[N_TYPE], g_names[N_HTTP_RESPONSE_BODY]) < 0 ||
            PyDict_SetItem(message, g_names[N_BODY], Py_None) < 0) {
            return false;
        }
    }
    return PyDict_SetItem(g_body_template, g_names[N_MORE_BODY], Py_None) == 0;
}

// The awaitable of `send(message)` (`message` a new reference or null).
PyObject* call_send(PyObject* send, PyObject* message) noexcept {
    Ref held(message);
    if (!held) return nullptr;
    return PyObject_CallOneArg(send, held.get());
}

// `async for` over `iterable`: its __aiter__ result, which must have __anext__, with the
// interpreter's messages. A new reference, or null with TypeError set.
PyObject* begin_async_for(PyObject* iterable) noexcept {
    PyTypeObject* type = Py_TYPE(iterable);
    unaryfunc aiter = type->tp_as_async ? type->tp_as_async->am_aiter : nullptr;
    if (!aiter) {
        return raise_format(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.200s",
                            type->tp_name);
    }
    Ref iterator(aiter(iterable));
    if (!iterator) return nullptr;
    PyTypeObject* iterator_type = Py_TYPE(iterator.get());
    if (!iterator_type->tp_as_async || !iterator_type->tp_as_async->am_anext) {
        return raise_format(PyExc_TypeError,
                            "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
                            iterator_type->tp_name);
    }
    return iterator.release();
}

// A part of a streamed body: 1 to send (non-empty bytes), 0 to skip (None or empty bytes), -1
// with TypeError set for anything else.
int check_part(PyObject* part) noexcept {
    if (part == Py_None) return 0;
    if (QM_UNLIKELY(!PyBytes_CheckExact(part))) return raise_expected("bytes", part);
    return PyBytes_GET_SIZE(part) > 0;
}

// The body `get_chunks` slices: exact bytes; None fails on its length, as len() does.
[[nodiscard]] bool check_chunked_body(PyObject* data) noexcept {
    if (data == Py_None) return raise_no_len(data);
    if (!PyBytes_CheckExact(data)) return raise_arg_type("data", PyBytes_Type.tp_name, data);
    return true;
}

// The slice of `data` (exact bytes) from `*offset`, at most kMaxResponseChunkSize bytes, or null
// at its end (no exception). The offset moves past it. A body that fits whole is its own slice.
PyObject* next_slice(PyObject* data, Py_ssize_t* offset, bool* end) noexcept {
    Py_ssize_t length = PyBytes_GET_SIZE(data), start = *offset;
    *end = start >= length;
    if (*end) return nullptr;
    Py_ssize_t take = length - start < kMaxResponseChunkSize ? length - start : kMaxResponseChunkSize;
    *offset = start + take;
    if (take == length) return Py_NewRef(data);
    return PyBytes_FromStringAndSize(PyBytes_AS_STRING(data) + start, take);
}

// ---------------------------------------------------------------------------------------------
// Argument checks of the native coroutine and generator functions, at call time
//
// Typed arguments are checked when a function is called, and the functions of the coroutine
// mechanism are no exception: `send_asgi_response(None, send)` raises at once, not only when (and
// if) the coroutine is awaited. The mechanism has no hook for such checks, so each checked
// function's vectorcall is the mechanism's own with a check in front of it.

using ArgsCheck = bool (*)(PyObject* const* values) noexcept;

template <ArgsCheck Check>
PyObject* checked_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    const Signature& sig = reinterpret_cast<coro::detail::FunctionObject*>(callable)->def->sig;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (QM_LIKELY(nargs == sig.count && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0))) {
        if (!Check(args)) return nullptr;
    } else {
        // By keyword: parsed here for the check, then again by the mechanism. No parameter of
        // these functions is optional.
        PyObject* values[coro::kSlots];
        if (!parse_args(sig, args, nargs, kwnames, values) || !Check(values)) return nullptr;
    }
    return coro::detail::function_vectorcall(callable, args, nargsf, kwnames);
}

// Adds the callable of `def` to `module` with the checked vectorcall; a new reference to it, or null.
PyObject* add_checked_function(PyObject* module, const Function& def, vectorcallfunc vectorcall) noexcept {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return nullptr;
    Ref fn(coro::new_function(def, nullptr, module_name.get()));
    if (!fn) return nullptr;
    reinterpret_cast<coro::detail::FunctionObject*>(fn.get())->vectorcall = vectorcall;
    if (PyModule_AddObjectRef(module, def.sig.func, fn.get()) < 0) return nullptr;
    return fn.release();
}

bool check_get_chunks_args(PyObject* const* values) noexcept {
    return check_exact_arg(values[0], &PyBytes_Type, "data");
}

bool check_write_chunks_args(PyObject* const* values) noexcept {
    return check_instance_arg(values[0], g_content_type, "http_content", false);
}

bool check_send_asgi_response_args(PyObject* const* values) noexcept {
    return check_instance_arg(values[0], g_messages.response_type, "response", false);
}

// ---------------------------------------------------------------------------------------------
// set_headers_for_response_content

[[nodiscard]] int add_header(PyObject* response, PyObject* key, PyObject* value) noexcept {
    return messages::Message_AddHeaderNoDispatch(response, key, value);
}

// The body-describing headers, appended through the response's table (plain appends: a header
// the handler set already is not looked for).
int set_headers_for_content(ResponseObject* response) noexcept {
    PyObject* self = reinterpret_cast<PyObject*>(response);
    // Held: the truth test may run Python code that replaces the response's content.
    Ref content = Ref::borrow(response->message.content);
    int truth = content_truth(content.get());
    if (truth < 0) return -1;
    if (!truth) return add_header(self, g_key_content_length, g_value_zero);
    if (QM_UNLIKELY(!PyObject_TypeCheck(content.get(), g_content_type))) {
        return raise_cannot_convert(content.get(), g_content_type);
    }
    auto* native = reinterpret_cast<ContentObject*>(content.get());
    // The media type is exact bytes or None (the field's setter sees to it): no Python code runs.
    PyObject* type = native->type;
    bool has_type = type != Py_None && (!PyBytes_Check(type) || PyBytes_GET_SIZE(type) > 0);
    if (add_header(self, g_key_content_type, has_type ? type : g_value_octet_stream) < 0) return -1;
    if (native->length < 0) return add_header(self, g_key_transfer_encoding, g_value_chunked);
    if (native->length == 0) return add_header(self, g_key_content_length, g_value_zero);
    Ref length(length_bytes(native->length));
    if (!length) return -1;
    return add_header(self, g_key_content_length, length.get());
}

// Exported: the argument is checked (a null pointer too) before any field is read.
int set_headers_for_response_content(ResponseObject* message, int /*skip_dispatch*/) noexcept {
    PyObject* obj = message ? reinterpret_cast<PyObject*>(message) : Py_None;
    if (!check_instance_arg(obj, g_messages.response_type, "message", false)) return -1;
    return set_headers_for_content(message);
}

// ---------------------------------------------------------------------------------------------
// get_chunks

// def get_chunks(bytes data):
//     for i in range(0, len(data), _MAX_RESPONSE_CHUNK_SIZE):
//         yield data[i:i + _MAX_RESPONSE_CHUNK_SIZE]
//     yield b""
enum ChunksSlot { kChunksData };
enum ChunksState { kChunksStart, kChunksSlice, kChunksEnd };

Step get_chunks_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case kChunksStart:
            if (!check_chunked_body(f[kChunksData])) return kFailed;
            break;
        case kChunksSlice:
            if (!sent) return kFailed;  // thrown in
            break;
        case kChunksEnd:
            return sent ? Frame::ret_none() : Step(kFailed);
        default:
            return coro::bad_state(f);
    }
    bool end = false;
    PyObject* slice = next_slice(f[kChunksData], &f.n(0), &end);
    if (end) return f.yield(kChunksEnd, Py_NewRef(g_empty_bytes));
    return f.yield(kChunksSlice, slice);
}

constexpr Operation kGetChunksOp{"get_chunks", get_chunks_step, Kind::kGenerator};

// ---------------------------------------------------------------------------------------------
// write_chunks

// async def write_chunks(Content http_content):
//     async for chunk in http_content.get_parts():
//         if chunk:                                    # None and b"" would end the body early
//             yield b"%x\r\n" % len(chunk) + chunk + b"\r\n"
//     yield b"0\r\n\r\n"
enum WriteChunksSlot { kFramesContent, kFramesIter };
enum WriteChunksState { kFramesStart, kFramesGotPart, kFramesYielded, kFramesEnded };

// The frame of one part: its size in hex, CR LF, the part, CR LF.
PyObject* chunk_frame(PyObject* part) noexcept {
    Py_ssize_t size = PyBytes_GET_SIZE(part);
    char digits[16];
    size_t n = hex_digits(static_cast<uint64_t>(size), digits);
    PyObject* frame = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n) + 2 + size + 2);
    if (!frame) return nullptr;
    char* out = PyBytes_AS_STRING(frame);
    std::memcpy(out, digits, n);
    out += n;
    std::memcpy(out, "\r\n", 2);
    std::memcpy(out + 2, PyBytes_AS_STRING(part), static_cast<size_t>(size));
    std::memcpy(out + 2 + size, "\r\n", 2);
    return frame;
}

Step write_chunks_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case kFramesStart: {
            Ref parts(PyObject_CallMethodNoArgs(f[kFramesContent], g_names[N_GET_PARTS]));
            if (!parts) return kFailed;
            PyObject* iterator = begin_async_for(parts.get());
            if (!iterator) return kFailed;
            f.set(kFramesIter, iterator);
            return f.await(kFramesGotPart, coro::anext(iterator));
        }
        case kFramesGotPart: {
            if (!sent) {
                if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) return kFailed;
                PyErr_Clear();
                return f.yield(kFramesEnded, Py_NewRef(g_chunked_terminator));
            }
            int send_it = check_part(sent);
            if (send_it < 0) return kFailed;
            if (!send_it) return f.await(kFramesGotPart, coro::anext(f[kFramesIter]));
            return f.yield(kFramesYielded, chunk_frame(sent));
        }
        case kFramesYielded:
            if (!sent) return kFailed;  // athrow() or aclose() where the generator stands
            return f.await(kFramesGotPart, coro::anext(f[kFramesIter]));
        case kFramesEnded:
            return sent ? Frame::ret_none() : Step(kFailed);
    }
    return coro::bad_state(f);
}

constexpr Operation kWriteChunksOp{"write_chunks", write_chunks_step, Kind::kAsyncGenerator};

// ---------------------------------------------------------------------------------------------
// send_asgi_response

// async def send_asgi_response(Response response, send):
//     content = response.content
//     set_headers_for_response_content(response)
//     await send({"type": "http.response.start", "status": response.status,
//                 "headers": response._raw_headers})
//     if not content:
//         await send({"type": "http.response.body", "body": b""})
//     elif content.length < 0 or isinstance(content, StreamedContent):
//         async for chunk in content.get_parts():
//             if chunk:                                # None and b"" are skipped (see the top)
//                 await send({"type": "http.response.body", "body": chunk, "more_body": True})
//         await send({"type": "http.response.body", "body": b"", "more_body": False})
//     elif content.length > _MAX_RESPONSE_CHUNK_SIZE:
//         for chunk in get_chunks(content.body):      # the module global, as it is now
//             await send({"type": "http.response.body", "body": chunk, "more_body": bool(chunk)})
//     else:
//         await send({"type": "http.response.body", "body": content.body or b"", "more_body": False})
//
// The module's own get_chunks is run inline (no generator object); a replacement put in the
// module's globals is called and iterated as written.
enum SendSlot { kSendResponse, kSendSend, kSendContent, kSendSource };
enum SendState {
    kSendStart,
    kSendStarted,    // the start message went out
    kSendGotPart,    // a streamed part arrived (or the parts ended)
    kSendPartSent,
    kSendSliceSent,  // a slice of a buffered body went out (kSendSource: the body, n(0): the offset)
    kSendChunkSent,  // a chunk of a replaced get_chunks went out (kSendSource: its iterator)
    kSendDone,
};

Step send_message(Frame& f, int next, PyObject* message) noexcept {
    return f.await(next, call_send(f[kSendSend], message));
}

// The last message of a streamed or sliced body.
Step send_body_end(Frame& f) noexcept {
    return send_message(f, kSendDone, body_message(g_empty_bytes, Py_False));
}

Step send_next_slice(Frame& f) noexcept {
    bool end = false;
    Ref slice(next_slice(f[kSendSource], &f.n(0), &end));
    if (end) return send_body_end(f);
    if (!slice) return kFailed;
    return send_message(f, kSendSliceSent, body_message(slice.get(), Py_True));
}

Step send_next_chunk(Frame& f) noexcept {
    Ref chunk(PyIter_Next(f[kSendSource]));
    if (!chunk) return PyErr_Occurred() ? Step(kFailed) : Frame::ret_none();
    int more = PyObject_IsTrue(chunk.get());
    if (more < 0) return kFailed;
    return send_message(f, kSendChunkSent, body_message(chunk.get(), more ? Py_True : Py_False));
}

// A buffered body longer than one message, cut by get_chunks as the module's globals hold it.
Step send_buffered_in_slices(Frame& f, PyObject* body) noexcept {
    PyObject* found = nullptr;
    int present = PyDict_GetItemRef(g_module_dict, g_names[N_GET_CHUNKS], &found);
    if (present < 0) return kFailed;
    if (!present) return raise_format(PyExc_NameError, "name '%U' is not defined", g_names[N_GET_CHUNKS]);
    Ref chunker(found);
    if (chunker.get() == g_get_chunks) {
        if (!check_chunked_body(body)) return kFailed;
        f.set_borrowed(kSendSource, body);
        f.n(0) = 0;
        return send_next_slice(f);
    }
    Ref chunks(PyObject_CallOneArg(chunker.get(), body));
    if (!chunks) return kFailed;
    PyObject* iterator = PyObject_GetIter(chunks.get());
    if (!iterator) return kFailed;
    f.set(kSendSource, iterator);
    return send_next_chunk(f);
}

// After the start message: the body, by the kind of content.
Step send_body(Frame& f) noexcept {
    PyObject* content = f[kSendContent];
    int truth = content_truth(content);
    if (truth < 0) return kFailed;
    if (!truth) return send_message(f, kSendDone, body_message(g_empty_bytes, nullptr));
    // The content came from the response's checked field; a falsy-then-truthy subclass aside,
    // it is a Content (or None, handled above).
    if (QM_UNLIKELY(!PyObject_TypeCheck(content, g_content_type))) return raise_cannot_convert(content, g_content_type);
    auto* native = reinterpret_cast<ContentObject*>(content);
    if (native->length < 0 || PyObject_TypeCheck(content, g_streamed_content_type)) {
        Ref parts(PyObject_CallMethodNoArgs(content, g_names[N_GET_PARTS]));
        if (!parts) return kFailed;
        PyObject* iterator = begin_async_for(parts.get());
        if (!iterator) return kFailed;
        f.set(kSendSource, iterator);
        return f.await(kSendGotPart, coro::anext(iterator));
    }
    // Held: slicing a replaced get_chunks may run code that replaces the content's body.
    Ref body = Ref::borrow(native->body);
    if (native->length > kMaxResponseChunkSize) return send_buffered_in_slices(f, body.get());
    // No body object at all (Content(type, None)) is an empty body: None is no byte string.
    PyObject* whole = body.get() == Py_None ? g_empty_bytes : body.get();
    return send_message(f, kSendDone, body_message(whole, Py_False));
}

Step send_asgi_response_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case kSendStart: {
            auto* response = reinterpret_cast<ResponseObject*>(f[kSendResponse]);
            f.set_borrowed(kSendContent, response->message.content);
            if (set_headers_for_content(response) < 0) return kFailed;
            return send_message(f, kSendStarted, start_message(response->status, response->message._raw_headers));
        }
        case kSendStarted:
            if (!sent) return kFailed;
            return send_body(f);
        case kSendGotPart: {
            if (!sent) {
                if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) return kFailed;
                PyErr_Clear();
                return send_body_end(f);
            }
            int send_it = check_part(sent);
            if (send_it < 0) return kFailed;
            if (!send_it) return f.await(kSendGotPart, coro::anext(f[kSendSource]));
            return send_message(f, kSendPartSent, body_message(sent, Py_True));
        }
        case kSendPartSent:
            if (!sent) return kFailed;
            return f.await(kSendGotPart, coro::anext(f[kSendSource]));
        case kSendSliceSent:
            if (!sent) return kFailed;
            return send_next_slice(f);
        case kSendChunkSent:
            if (!sent) return kFailed;
            return send_next_chunk(f);
        case kSendDone:
            return sent ? Frame::ret_none() : Step(kFailed);
    }
    return coro::bad_state(f);
}

constexpr Operation kSendAsgiResponseOp{"send_asgi_response", send_asgi_response_step};

// Exported: the coroutine for a checked response, as the Python call makes it.
PyObject* start_send_asgi_response(ResponseObject* response, PyObject* send, int /*skip_dispatch*/) noexcept {
    PyObject* obj = response ? reinterpret_cast<PyObject*>(response) : Py_None;
    if (!check_instance_arg(obj, g_messages.response_type, "response", false)) return nullptr;
    return coro::start(kSendAsgiResponseOp, obj, send);
}

// ---------------------------------------------------------------------------------------------
// write_sse
//
// The event is measured first and then written once, straight into the bytes object it returns.
// A line break is CR LF, LF or a lone CR, as an event-stream client reads them: an id or an event
// name loses its line breaks (a break left in would start a new field line), and a comment is
// written one comment line per line. Text is scanned as UTF-8, where CR and LF are single bytes
// that never occur inside another character.

// The UTF-8 text of a field (a str): the pointer stays valid while the str is held.
struct Text {
    const char* data = nullptr;
    Py_ssize_t size = 0;
};

// A field read as the regular expression operations of the line handling read it: non-str values
// raise the TypeError they raise.
[[nodiscard]] bool field_text(PyObject* value, Text* out) noexcept {
    if (QM_UNLIKELY(!PyUnicode_Check(value))) {
        return raise_format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'", type_name(value));
    }
    out->data = PyUnicode_AsUTF8AndSize(value, &out->size);
    return out->data != nullptr;
}

inline bool is_break(char c) noexcept { return c == '\r' || c == '\n'; }

// The bytes of `text` that are CR or LF.
Py_ssize_t break_bytes(const Text& text) noexcept {
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < text.size; ++i) count += is_break(text.data[i]);
    return count;
}

// The line breaks of `text` (CR LF counted once).
Py_ssize_t line_breaks(const Text& text) noexcept {
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < text.size; ++i) {
        char c = text.data[i];
        if (!is_break(c)) continue;
        ++count;
        if (c == '\r' && i + 1 < text.size && text.data[i + 1] == '\n') ++i;
    }
    return count;
}

class EventWriter {
public:
    explicit EventWriter(char* out) noexcept : out_(out) {}

    void raw(const char* data, size_t n) noexcept {
        std::memcpy(out_, data, n);
        out_ += n;
    }
    void literal(const char* text) noexcept { raw(text, std::strlen(text)); }

    // `text` without its CR and LF bytes.
    void without_breaks(const Text& text) noexcept {
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < text.size; ++i) {
            if (!is_break(text.data[i])) continue;
            raw(text.data + start, static_cast<size_t>(i - start));
            start = i + 1;
        }
        raw(text.data + start, static_cast<size_t>(text.size - start));
    }

    // One ": " line per line of `text`, an empty last line included.
    void comment_lines(const Text& text) noexcept {
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < text.size; ++i) {
            char c = text.data[i];
            if (!is_break(c)) continue;
            line(": ", text.data + start, i - start);
            if (c == '\r' && i + 1 < text.size && text.data[i + 1] == '\n') ++i;
            start = i + 1;
        }
        line(": ", text.data + start, text.size - start);
    }

    void line(const char* prefix, const char* data, Py_ssize_t n) noexcept {
        literal(prefix);
        raw(data, static_cast<size_t>(n));
        raw("\n", 1);
    }

    char* end() const noexcept { return out_; }

private:
    char* out_;
};

// The field's text when it is truthy (non-empty), held in `held`; false on error. `text.data`
// stays null for a field that is left out.
[[nodiscard]] bool truthy_field(PyObject* field, Ref& held, Text* text) noexcept {
    if (field == Py_None) return true;
    held.reset_borrowed(field);
    if (!field_text(field, text)) return false;
    if (text->size == 0) text->data = nullptr;
    return true;
}

// The text write_data() gives through the event's table (a Python override is honoured), held in
// `held`: it must be a str, which is encoded; anything else (None above all) has no such encode and
// fails as calling it would.
[[nodiscard]] bool data_text(ServerSentEventObject* event, Ref& held, Text* text) noexcept {
    held.reset(event->ops->write_data(event, 0));
    if (!held) return false;
    if (!PyUnicode_Check(held.get())) return raise_no_attribute(held.get(), "encode");
    text->data = PyUnicode_AsUTF8AndSize(held.get(), &text->size);
    return text->data != nullptr;
}

PyObject* write_event(ServerSentEventObject* event) noexcept {
    // Each field is read in the order it is written; the texts are held, so Python code run later
    // (the data's truth test, write_data) cannot free what the writer reads.
    Ref id_ref, comment_ref, name_ref, data_ref;
    Text id, comment, name, data;
    if (!truthy_field(event->id, id_ref, &id) || !truthy_field(event->comment, comment_ref, &comment) ||
        !truthy_field(event->event, name_ref, &name)) {
        return nullptr;
    }
    Ref payload = Ref::borrow(event->data);
    int has_data = PyObject_IsTrue(payload.get());
    if (has_data < 0) return nullptr;
    if (has_data && !data_text(event, data_ref, &data)) return nullptr;
    const int32_t retry = event->retry;
    char retry_digits[20];
    size_t retry_size = retry >= 0 ? decimal_digits(static_cast<uint64_t>(retry), retry_digits) : 0;

    Py_ssize_t total = 1;
    if (id.data) total += 4 + id.size - break_bytes(id) + 1;
    if (comment.data) total += 3 * (line_breaks(comment) + 1) + comment.size - break_bytes(comment);
    if (name.data) total += 7 + name.size - break_bytes(name) + 1;
    if (has_data) total += 6 + data.size + 1;
    if (retry >= 0) total += 7 + static_cast<Py_ssize_t>(retry_size) + 1;

    PyObject* result = PyBytes_FromStringAndSize(nullptr, total);
    if (!result) return nullptr;
    EventWriter w(PyBytes_AS_STRING(result));
    if (id.data) {
        w.literal("id: ");
        w.without_breaks(id);
        w.raw("\n", 1);
    }
    if (comment.data) w.comment_lines(comment);
    if (name.data) {
        w.literal("event: ");
        w.without_breaks(name);
        w.raw("\n", 1);
    }
    if (has_data) w.line("data: ", data.data, data.size);
    if (retry >= 0) w.line("retry: ", retry_digits, static_cast<Py_ssize_t>(retry_size));
    w.raw("\n", 1);
    if (QM_UNLIKELY(w.end() != PyBytes_AS_STRING(result) + total)) {
        Py_DECREF(result);
        return raise_error(PyExc_SystemError, "write_sse measured the event wrongly");
    }
    return result;
}

// Exported: the argument is checked (a null pointer too) before any field is read.
PyObject* write_sse(ServerSentEventObject* event, int /*skip_dispatch*/) noexcept {
    PyObject* obj = event ? reinterpret_cast<PyObject*>(event) : Py_None;
    if (!check_instance_arg(obj, g_server_sent_event_type, "event", false)) return nullptr;
    return write_event(event);
}

// ---------------------------------------------------------------------------------------------
// Python-visible functions

constexpr const char* kMessageParam[] = {"message"};
constexpr const char* kCookieParam[] = {"cookie"};
constexpr const char* kEventParam[] = {"event"};
constexpr const char* kDataParam[] = {"data"};
constexpr const char* kHttpContentParam[] = {"http_content"};
constexpr const char* kSendParams[] = {"response", "send"};

constexpr Signature kSetHeadersArgs{"set_headers_for_response_content", kMessageParam, 1, 1};
constexpr Signature kWriteResponseCookieArgs{"write_response_cookie", kCookieParam, 1, 1};
constexpr Signature kWriteSseArgs{"write_sse", kEventParam, 1, 1};

PyObject* py_set_headers_for_response_content(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) noexcept {
    PyObject* message = nullptr;
    if (!parse_args(kSetHeadersArgs, args, nargs, kwnames, &message)) return nullptr;
    if (set_headers_for_response_content(reinterpret_cast<ResponseObject*>(message), 0) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_write_response_cookie(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* cookie = nullptr;
    if (!parse_args(kWriteResponseCookieArgs, args, nargs, kwnames, &cookie)) return nullptr;
    // None passes the convention's test but there is nothing to serialize: refused here.
    if (!check_instance_arg(cookie, g_cookie_type, "cookie", false)) return nullptr;
    return g_cookies.write_cookie_for_response(reinterpret_cast<cookies::CookieObject*>(cookie));
}

PyObject* py_write_sse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* event = nullptr;
    if (!parse_args(kWriteSseArgs, args, nargs, kwnames, &event)) return nullptr;
    return write_sse(reinterpret_cast<ServerSentEventObject*>(event), 0);
}

const Function kGetChunksFunction{
    &kGetChunksOp, {"get_chunks", kDataParam, 1, 1},
    "get_chunks(data)\n--\n\n"
    "Yields the consecutive 61440-byte slices of `data` (bytes; the last may be shorter), then b''."};
const Function kWriteChunksFunction{
    &kWriteChunksOp, {"write_chunks", kHttpContentParam, 1, 1},
    "write_chunks(http_content)\n--\n\n"
    "Frames the parts of a streamed content in HTTP/1.1 chunked coding: one frame per non-empty part\n"
    "(its size in hex, CR LF, the part, CR LF), then the terminator b'0\\r\\n\\r\\n'."};
const Function kSendAsgiResponseFunction{
    &kSendAsgiResponseOp, {"send_asgi_response", kSendParams, 2, 2},
    "send_asgi_response(response, send)\n--\n\n"
    "Completes the response's content headers and sends it to the ASGI `send` callable: the start\n"
    "message, then the body (whole up to 61440 bytes, in 61440-byte slices beyond, or part by part\n"
    "for a streamed content)."};

PyMethodDef module_methods[] = {
    QM_FASTCALL_METHOD("set_headers_for_response_content", py_set_headers_for_response_content,
        "set_headers_for_response_content(message)\n--\n\n"
        "Appends the headers that describe the Response's content: content-length 0 without content;\n"
        "else content-type (application/octet-stream when the content has none), then\n"
        "transfer-encoding chunked for a streamed body or content-length."),
    QM_FASTCALL_METHOD("write_response_cookie", py_write_response_cookie,
        "write_response_cookie(cookie)\n--\n\nThe Set-Cookie header value of a Cookie, as bytes."),
    QM_FASTCALL_METHOD("write_sse", py_write_sse,
        "write_sse(event)\n--\n\n"
        "The bytes of one text/event-stream event: the id, comment, event, data and retry lines\n"
        "(those that are set, in this order), then an empty line."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = make_module_def(
    "quillmoth.scribe",
    "The response writer: a Response as ASGI messages, buffered bodies in slices, chunked framing of\n"
    "streamed bodies, and server-sent events.",
    module_methods);

// ---------------------------------------------------------------------------------------------
// Init

[[nodiscard]] bool bind_imports() noexcept {
    if (!messages::import_messages_api(&g_messages) || !cookies::import_cookies_api(&g_cookies)) return false;
    return (g_cookie_type = import_native_type("quillmoth.cookies", "Cookie")) &&
           (g_content_type = import_native_type("quillmoth.contents", "Content")) &&
           (g_server_sent_event_type = import_native_type("quillmoth.contents", "ServerSentEvent")) &&
           (g_streamed_content_type = import_class("quillmoth.contents", "StreamedContent"));
}

[[nodiscard]] bool make_constants() noexcept {
    struct Constant {
        PyObject** slot;
        const char* data;
        Py_ssize_t size;
    };
    const Constant constants[] = {
        {&g_key_content_length, "content-length", 14},
        {&g_key_content_type, "content-type", 12},
        {&g_key_transfer_encoding, "transfer-encoding", 17},
        {&g_value_chunked, "chunked", 7},
        {&g_value_zero, "0", 1},
        {&g_value_octet_stream, "application/octet-stream", 24},
        {&g_empty_bytes, "", 0},
        {&g_chunked_terminator, "0\r\n\r\n", 5},
    };
    for (const Constant& constant : constants) {
        if (!(*constant.slot = PyBytes_FromStringAndSize(constant.data, constant.size))) return false;
    }
    return true;
}

// MAX_RESPONSE_CHUNK_SIZE, _MAX_RESPONSE_CHUNK_SIZE and _NEW_LINES_RX = re.compile("\r\n|\n").
[[nodiscard]] bool add_constants(PyObject* module) noexcept {
    if (PyModule_AddIntConstant(module, "MAX_RESPONSE_CHUNK_SIZE", kMaxResponseChunkSize) < 0 ||
        PyModule_AddIntConstant(module, "_MAX_RESPONSE_CHUNK_SIZE", kMaxResponseChunkSize) < 0) {
        return false;
    }
    Ref compile(import_attr("re", "compile"));
    if (!compile) return false;
    Ref pattern(PyUnicode_FromString("\r\n|\n"));
    if (!pattern) return false;
    Ref rx(PyObject_CallOneArg(compile.get(), pattern.get()));
    return rx && PyModule_AddObjectRef(module, "_NEW_LINES_RX", rx.get()) == 0;
}

void release_state() noexcept {
    clear_refs(g_messages.message_type, g_messages.request_type, g_messages.response_type);
    g_messages = messages::MessagesApi{};
    g_cookies = cookies::CookiesApi{};
    clear_refs(g_cookie_type, g_content_type, g_server_sent_event_type, g_streamed_content_type, g_module_dict,
               g_get_chunks, g_key_content_length, g_key_content_type, g_key_transfer_encoding, g_value_chunked,
               g_value_zero, g_value_octet_stream, g_empty_bytes, g_chunked_terminator);
    clear_refs(g_start_template, g_body_template, g_end_template);
    for (PyObject*& kept : g_status_ints) Py_CLEAR(kept);
    for (PyObject*& kept : g_length_bytes) Py_CLEAR(kept);
    g_names.release();
    coro::release_types();
}

PyObject* build_module() noexcept {
    if (!bind_imports() || !g_names.intern() || !make_constants() || !make_templates()) return nullptr;
    Ref module(PyModule_Create(&module_def));
    if (!module || !coro::add_types(module.get())) return nullptr;
    g_module_dict = Py_XNewRef(PyModule_GetDict(module.get()));
    if (!g_module_dict) return nullptr;
    g_get_chunks = add_checked_function(module.get(), kGetChunksFunction, checked_vectorcall<check_get_chunks_args>);
    if (!g_get_chunks) return nullptr;
    Ref write_chunks(
        add_checked_function(module.get(), kWriteChunksFunction, checked_vectorcall<check_write_chunks_args>));
    Ref send_asgi_response(write_chunks ? add_checked_function(module.get(), kSendAsgiResponseFunction,
                                                               checked_vectorcall<check_send_asgi_response_args>)
                                        : nullptr);
    if (!send_asgi_response || !add_constants(module.get())) return nullptr;

    g_max_response_chunk_size = kMaxResponseChunkSize;
    const Export exports[] = {
        {kSetHeadersForResponseContentName, reinterpret_cast<void*>(set_headers_for_response_content),
         kSetHeadersForResponseContentSignature},
        {kWriteSseName, reinterpret_cast<void*>(write_sse), kWriteSseSignature},
        {kMaxResponseChunkSizeName, &g_max_response_chunk_size, kMaxResponseChunkSizeSignature},
        {kSendAsgiResponseName, reinterpret_cast<void*>(start_send_asgi_response), kSendAsgiResponseSignature},
    };
    if (!publish_exports(module.get(), exports, std::size(exports))) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace qm::scribe

PyMODINIT_FUNC PyInit_scribe(void) { return qm::init_module(qm::scribe::build_module, qm::scribe::release_state); }
