// What the units of quillmoth.messages share, and nothing another module compiles against (their
// interface is messages.h). The module is one extension built from several units, by concern:
//
//   messages.cpp           Message (headers, content inspection), the module's init
//   messages_request.cpp   Request
//   messages_response.cpp  Response
//   messages_body.cpp      body reading: read, text, json, stream; _read_stream, _call_soon
//   messages_pools.cpp     the message pools and the request helpers (CORS, absolute URLs)
//   messages_forms.cpp     form reading: form, multipart, multipart_stream, files
//
// Each unit adds its classes and functions to the module from its `init_*` step, which
// messages.cpp runs in the order above once the imports below are bound, and drops every
// reference it keeps in its `release_*` step (run for all units when the init fails).
#pragma once

#include "messages.h"

#include "common/native.h"
#include "contents.h"
#include "cookies.h"
#include "headers.h"
#include "url.h"

namespace qm::messages {

// Classes and functions imported from the siblings and the companion modules when the module
// loads (all new references, kept for the process).
struct Imports {
    PyTypeObject* content_type = nullptr;       // quillmoth.contents.Content (native fields read)
    PyTypeObject* cookie_type = nullptr;        // quillmoth.cookies.Cookie (native fields read)
    headers::HeadersTypes headers;              // Header, Headers
    url::UrlApi url;                            // URL, build_absolute_url, join_prefix
    cookies::CookiesApi cookies;                // split_value, parse_cookie, write_cookie_for_response, ...
    contents::ParseWwwFormUrlencodedFn parse_www_form_urlencoded = nullptr;
    PyObject* asgi_content = nullptr;           // quillmoth.contents.ASGIContent
    PyObject* bad_request = nullptr;            // quillmoth.exceptions.BadRequest
    PyObject* bad_request_format = nullptr;     // quillmoth.exceptions.BadRequestFormat
    PyObject* failed_request_error = nullptr;   // quillmoth.exceptions.FailedRequestError
    PyObject* message_aborted = nullptr;        // quillmoth.exceptions.MessageAborted
    PyObject* identity = nullptr;               // vellumgate.Identity
    PyObject* utcnow = nullptr;                 // quillmoth.utils.time.utcnow
    PyObject* json_settings = nullptr;          // quillmoth.settings.json.json_settings
    PyObject* encodings_settings = nullptr;     // quillmoth.settings.encodings.encodings_settings
    PyObject* http_status = nullptr;            // http.HTTPStatus
    PyObject* parse_qs = nullptr;               // urllib.parse.parse_qs
    PyObject* urlencode = nullptr;              // urllib.parse.urlencode
    PyObject* timedelta_year = nullptr;         // datetime.timedelta(days=365)
};
extern Imports g_imports;

// The module's own classes.
extern PyTypeObject* g_message_type;
extern PyTypeObject* g_request_type;
extern PyTypeObject* g_response_type;

// Message's table, which the Request and Response tables extend.
extern const MessageOps kMessageOps;

// The Message fields, for the field lists of the classes that extend it.
using MessageFields = ObjectFields<MessageObject, &MessageObject::_raw_headers, &MessageObject::_headers,
                                   &MessageObject::content, &MessageObject::_form_data, &MessageObject::context>;

inline MessageObject* as_message(PyObject* obj) noexcept { return reinterpret_cast<MessageObject*>(obj); }
inline RequestObject* as_request(PyObject* obj) noexcept { return reinterpret_cast<RequestObject*>(obj); }
inline ResponseObject* as_response(PyObject* obj) noexcept { return reinterpret_cast<ResponseObject*>(obj); }
template <typename T>
inline PyObject* as_object(T* self) noexcept {
    return reinterpret_cast<PyObject*>(self);
}

// Replaces the message's header list by `headers` (a list, adopted) or by a new empty list
// (None), and drops the cached view, which wrapped the old list.
[[nodiscard]] bool adopt_header_list(MessageObject* self, PyObject* headers, bool adopt_empty) noexcept;

// Disposes of the message's content, if any, through its table, then sets `content` to None.
[[nodiscard]] int dispose_content(MessageObject* self) noexcept;

// The `charset` of a message: its content type's charset parameter, "utf8" without one.
[[nodiscard]] PyObject* message_charset(MessageObject* self) noexcept;

// New instances of the exact classes, as Request(method, None, headers) and
// Response(status, headers, content) make them (arguments already type-checked).
[[nodiscard]] RequestObject* make_request(PyObject* method, PyObject* headers) noexcept;
// `adopt_empty` adopts an empty list given as `headers` too (the pools do).
[[nodiscard]] ResponseObject* make_response(int32_t status, PyObject* headers, PyObject* content,
                                            bool adopt_empty = false) noexcept;

// The units' steps.
[[nodiscard]] bool init_request_unit(PyObject* module) noexcept;
void release_request_unit() noexcept;
[[nodiscard]] bool init_response_unit(PyObject* module) noexcept;
void release_response_unit() noexcept;
[[nodiscard]] bool init_body_unit(PyObject* module) noexcept;
void release_body_unit() noexcept;
[[nodiscard]] bool init_pools_unit(PyObject* module) noexcept;
void release_pools_unit() noexcept;
[[nodiscard]] bool init_forms_unit(PyObject* module) noexcept;
void release_forms_unit() noexcept;

}  // namespace qm::messages
