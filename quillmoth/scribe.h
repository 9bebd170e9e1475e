// Native exports of quillmoth.scribe, the response writer: completing a response's headers from
// its content, serializing one server-sent event, the chunk size of the wire format, and the
// coroutine that sends a response.
//
// A sibling binds them once, when it is imported:
//
//     qm::scribe::ScribeApi scribe_api;
//     if (!qm::scribe::import_scribe_api(&scribe_api)) return nullptr;          // at module init
//     ...
//     if (scribe_api.set_headers_for_response_content(response, 0) < 0) ...   // -1: exception set
//     PyObject* event_bytes = scribe_api.write_sse(event, 0);                 // bytes, or null
//
// Both functions take the no-op override flag last (callers pass 0) and check their argument: a
// null pointer or an object of another class is refused with TypeError, never read.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/exports.h"
#include "contents.h"
#include "messages.h"

namespace qm::scribe {

// The size of the body slices of a buffered response, and the largest body sent in one message.
inline constexpr int kMaxResponseChunkSize = 61440;

// set_headers_for_response_content(message): appends to the response's raw header list the
// headers that describe its content (content-length 0 without content; else content-type, then
// transfer-encoding chunked for an open length or content-length). 0, or -1 with an exception set.
inline constexpr const char* kSetHeadersForResponseContentName = "set_headers_for_response_content";
inline constexpr const char* kSetHeadersForResponseContentSignature = "int (ResponseObject *, int)";
using SetHeadersForResponseContentFn = int(messages::ResponseObject* message, int skip_dispatch);

// write_sse(event): the bytes of one text/event-stream event (a new reference), or null with an
// exception set.
inline constexpr const char* kWriteSseName = "write_sse";
inline constexpr const char* kWriteSseSignature = "PyObject *(ServerSentEventObject *, int)";
using WriteSseFn = PyObject*(contents::ServerSentEventObject* event, int skip_dispatch);

// MAX_RESPONSE_CHUNK_SIZE: an int variable, 61440, readable and writable by native code. The
// writer itself slices by kMaxResponseChunkSize: writing the variable changes nothing it sends.
inline constexpr const char* kMaxResponseChunkSizeName = "MAX_RESPONSE_CHUNK_SIZE";
inline constexpr const char* kMaxResponseChunkSizeSignature = "int";

// send_asgi_response(response, send): a new native coroutine sending `response` to the ASGI `send`
// callable, as `send_asgi_response(response, send)` from Python makes it (the response is checked
// when it is called: TypeError for a null pointer or anything but a Response), or null with an
// exception set.
inline constexpr const char* kSendAsgiResponseName = "send_asgi_response";
inline constexpr const char* kSendAsgiResponseSignature = "PyObject *(ResponseObject *, PyObject *, int)";
using SendAsgiResponseFn = PyObject*(messages::ResponseObject* response, PyObject* send, int skip_dispatch);

struct ScribeApi {
    SetHeadersForResponseContentFn* set_headers_for_response_content = nullptr;
    WriteSseFn* write_sse = nullptr;
    int* max_response_chunk_size = nullptr;
    SendAsgiResponseFn* send_asgi_response = nullptr;
};

// Imports quillmoth.scribe and binds the four exports; false with ImportError (or the import's own
// error) set when one is missing or has another signature text.
[[nodiscard]] inline bool import_scribe_api(ScribeApi* out) noexcept {
    qm::ImportedApi api;
    return api.open("quillmoth.scribe") &&
           api.bind(kSetHeadersForResponseContentName, kSetHeadersForResponseContentSignature,
                    &out->set_headers_for_response_content) &&
           api.bind(kWriteSseName, kWriteSseSignature, &out->write_sse) &&
           api.bind(kMaxResponseChunkSizeName, kMaxResponseChunkSizeSignature, &out->max_response_chunk_size) &&
           api.bind(kSendAsgiResponseName, kSendAsgiResponseSignature, &out->send_asgi_response);
}

}  // namespace qm::scribe
