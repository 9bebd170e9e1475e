// quillmoth._contents: the native base classes of quillmoth.contents.
//
// `Content` carries the media type, the buffered body and the body length that the message and
// response writers read straight from the object; `ServerSentEvent` and `TextServerSentEvent`
// carry the fields of one server-sent event. Each class has an operation table (contents.h) whose
// entries honour Python overrides. The module also provides `parse_www_form_urlencoded`, exported
// natively to the sibling modules. `Content.read()` returns an awaitable that is done already and
// `Content.stream()` is a native async generator, both of the shared coroutine mechanism.
#include "common/coro.h"
#include "common/native.h"
#include "common/percent.h"
#include "contents.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

namespace qm::contents {
namespace {

PyTypeObject* g_content_type = nullptr;
PyTypeObject* g_text_content_type = nullptr;
PyTypeObject* g_html_content_type = nullptr;
PyTypeObject* g_json_content_type = nullptr;
PyTypeObject* g_asgi_content_type = nullptr;
PyTypeObject* g_sse_type = nullptr;
PyTypeObject* g_text_sse_type = nullptr;
// quillmoth.settings.json.json_settings: its `dumps` renders the data of a ServerSentEvent and, once
// the application configured one, the body of a JSONContent.
PyObject* g_json_settings = nullptr;
PyObject* g_json_encode = nullptr;         // msgspec.json.encode, the default JSON encoder
PyObject* g_invalid_operation = nullptr;   // quillmoth.exceptions.InvalidOperation
PyObject* g_message_aborted = nullptr;     // quillmoth.exceptions.MessageAborted
PyObject* g_payload_too_large = nullptr;   // quillmoth.exceptions.PayloadTooLarge
PyObject* g_default_max_body_size = nullptr;  // kDefaultMaxBodySize as an int
PyObject* g_empty_bytes = nullptr;
PyObject* g_media_text = nullptr;          // b"text/plain; charset=utf-8"
PyObject* g_media_html = nullptr;          // b"text/html; charset=utf-8"
PyObject* g_media_json = nullptr;          // b"application/json"
PyObject* g_utf8 = nullptr;                // "utf8"

// The overridable operations first: Content.dispose, ServerSentEvent.write_data,
// TextServerSentEvent.write_data and ASGIContent.dispose (each class's own method, hence its own
// entry).
enum Name {
    N_DISPOSE,
    N_WRITE_DATA,
    N_TEXT_WRITE_DATA,
    N_ASGI_DISPOSE,
    N_OPS_COUNT,
    N_DUMPS = N_OPS_COUNT,
    N_DICT,
    N_HAS_CUSTOM_DUMPS,
    N_ENCODE,
    N_STRIP,
    N_STREAM,
    N_GET,
    N_TYPE,
    N_BODY,
    N_MORE_BODY,
    N_HTTP_REQUEST,
    N_HTTP_DISCONNECT,
    N_JOIN,
    N_COUNT
};
constexpr const char* kNameTexts[N_COUNT] = {
    "dispose", "write_data", "write_data", "dispose", "dumps", "__dict__", "has_custom_dumps", "encode", "strip",
    "stream", "get", "type", "body", "more_body", "http.request", "http.disconnect", "join",
};
InternedNames<N_COUNT> g_names{kNameTexts};
Overridable g_overridables[N_OPS_COUNT];

// ---------------------------------------------------------------------------------------------
// The chunks of a buffered body: the body once, or nothing without one.

enum StreamSlot { kStreamSelf };

coro::Step content_stream_step(coro::Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case 0: {
            PyObject* body = reinterpret_cast<ContentObject*>(f[kStreamSelf])->body;
            if (body == Py_None) return coro::Frame::ret_none();
            return f.yield(1, Py_NewRef(body));
        }
        case 1:
            return sent ? coro::Frame::ret_none() : coro::Step(kFailed);
    }
    return coro::bad_state(f);
}

constexpr coro::Operation kContentStreamOp{"Content.stream", content_stream_step, coro::Kind::kAsyncGenerator};
constexpr coro::Operation kContentPartsOp{"Content.get_parts", content_stream_step, coro::Kind::kAsyncGenerator};
constexpr const char* kSelfParam[] = {"self"};
const coro::Function kContentAsyncMethods[] = {
    {&kContentStreamOp, {"stream", kSelfParam, 1, 1}, "stream($self, /)\n--\n\nYields the buffered body once."},
    {&kContentPartsOp, {"get_parts", kSelfParam, 1, 1}, "get_parts($self, /)\n--\n\nYields the buffered body once."},
};

// ---------------------------------------------------------------------------------------------
// Content

inline ContentObject* as_content(PyObject* op) noexcept { return reinterpret_cast<ContentObject*>(op); }

// A buffered body holds nothing that needs releasing: dispose only gives subclasses (streams,
// receive channels, files) their hook. Calling it twice is harmless.
PyObject* content_dispose(ContentObject* self, int skip_dispatch) {
    if (auto call = g_overridables[N_DISPOSE].dispatch(self, skip_dispatch)) return call.result;
    Py_RETURN_NONE;
}

const ContentOps g_content_ops = {
    content_dispose,
};

PyObject* py_content_dispose(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("dispose", nargs, kwnames)) return nullptr;
    return content_dispose(as_content(self), 1);
}

// An awaitable that is done already with the body: a buffered body needs no reading, and awaiting
// it again gives the same body again.
PyObject* content_read(PyObject* self, PyObject* /*unused*/) { return coro::ready(as_content(self)->body); }

PyObject* content_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    Ref op(type->tp_alloc(type, 0));
    if (!op) return nullptr;
    ContentObject* self = as_content(op.get());
    self->ops = &g_content_ops;
    self->type = Py_NewRef(Py_None);
    self->body = Py_NewRef(Py_None);
    self->length = 0;
    return op.release();
}

const char* const kContentParams[] = {"content_type", "data"};
const Signature kContentSignature = {"Content", kContentParams, 2, 2};

int content_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    PyObject* values[2] = {nullptr, nullptr};
    if (!parse_tuple_args(kContentSignature, args, kwargs, values)) return -1;
    if (!check_exact_arg(values[0], &PyBytes_Type, "content_type")) return -1;
    if (!check_exact_arg(values[1], &PyBytes_Type, "data")) return -1;
    ContentObject* self = as_content(op);
    replace_field_borrowed(&self->type, values[0]);
    replace_field_borrowed(&self->body, values[1]);
    self->length = values[1] == Py_None ? 0 : PyBytes_GET_SIZE(values[1]);
    return 0;
}

using ContentFields = ObjectFields<ContentObject, &ContentObject::type, &ContentObject::body>;

// Typed setters, shared by the attribute table and the unpickling helper.
constexpr setter content_set_type = set_builtin_member<&ContentObject::type, &PyBytes_Type>;
constexpr setter content_set_body = set_builtin_member<&ContentObject::body, &PyBytes_Type>;
constexpr setter content_set_length = set_integer_member<&ContentObject::length>;

// A memoryview over the buffered body (over empty bytes when there is none).
PyObject* content_get_body_buffer(PyObject* op, void*) {
    PyObject* body = as_content(op)->body;
    if (body && PyObject_CheckBuffer(body)) return PyMemoryView_FromObject(body);
    Ref empty(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty) return nullptr;
    return PyMemoryView_FromObject(empty.get());
}

// The instance dictionary of a Python subclass instance when it holds anything, or None.
[[nodiscard]] PyObject* instance_state(PyObject* op) noexcept {
    PyObject* dict = nullptr;
    if (get_pickle_dict(op, g_names[N_DICT], &dict) < 0) return nullptr;
    return dict ? dict : Py_NewRef(Py_None);
}

PyObject* g_restore_content = nullptr;  // module function _restore_content
PyObject* g_restore_sse = nullptr;      // module function _restore_server_sent_event

// Pickling: rebuilt by _restore_content without running the subclass constructor, so subclasses
// with other constructor signatures pickle too; their instance attributes come back as state.
PyObject* content_reduce(PyObject* op, PyObject* /*unused*/) {
    ContentObject* self = as_content(op);
    Ref length(PyLong_FromLongLong(self->length));
    if (!length) return nullptr;
    Ref state(instance_state(op));
    if (!state) return nullptr;
    return Py_BuildValue("O(OOOO)O", g_restore_content, reinterpret_cast<PyObject*>(Py_TYPE(op)), self->type,
                         self->body, length.get(), state.get());
}

PyObject* content_repr(PyObject* op) {
    ContentObject* self = as_content(op);
    return PyUnicode_FromFormat("<%s type=%R length=%lld>", Py_TYPE(op)->tp_name, self->type,
                                static_cast<long long>(self->length));
}

PyMethodDef content_methods[] = {
    QM_FASTCALL_METHOD("dispose", py_content_dispose,
        PyDoc_STR("dispose($self, /)\n--\n\nReleases what the content holds. Calling it again is harmless.")),
    {"read", reinterpret_cast<PyCFunction>(content_read), METH_NOARGS,
     PyDoc_STR("read($self, /)\n--\n\nAn awaitable giving the whole body (bytes, or None without a body).")},
    {"__reduce__", reinterpret_cast<PyCFunction>(content_reduce), METH_NOARGS,
     PyDoc_STR("__reduce__($self, /)\n--\n\nPickling support.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef content_getset[] = {
    {"type", get_member<&ContentObject::type>, content_set_type, PyDoc_STR("The media type (bytes or None)."), nullptr},
    {"body", get_member<&ContentObject::body>, content_set_body, PyDoc_STR("The buffered body (bytes or None)."),
     nullptr},
    {"length", get_member<&ContentObject::length>, content_set_length,
     PyDoc_STR("Body length; negative for a streamed body of open length, 0 for no body."), nullptr},
    {"body_buffer", content_get_body_buffer, nullptr, PyDoc_STR("A memoryview over the buffered body."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot content_slots[] = {
    {Py_tp_doc, const_cast<char*>("Content(content_type, data)\n--\n\n"
                                  "A message body: its media type, the buffered bytes and their length.")},
    {Py_tp_new, reinterpret_cast<void*>(content_new)},
    {Py_tp_init, reinterpret_cast<void*>(content_init)},
    QM_FIELD_GC_SLOTS(ContentFields),
    {Py_tp_repr, reinterpret_cast<void*>(content_repr)},
    {Py_tp_methods, content_methods},
    {Py_tp_getset, content_getset},
    {0, nullptr},
};

PyType_Spec content_spec = {
    "quillmoth.contents.Content",
    sizeof(ContentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    content_slots,
};

PyObject* bare_instance(PyTypeObject* cls) noexcept;

// _restore_content(cls, type, body, length): a `cls` instance with these fields, built without
// calling its constructor.
PyObject* restore_content(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) return raise_arg_count("_restore_content", 4, 4, nargs);
    if (!PyType_Check(args[0]) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(args[0]), g_content_type)) {
        return raise_cannot_convert(args[0], g_content_type);
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(args[0]);
    Ref op(bare_instance(cls));
    if (!op) return nullptr;
    if (content_set_type(op.get(), args[1], nullptr) < 0 || content_set_body(op.get(), args[2], nullptr) < 0 ||
        content_set_length(op.get(), args[3], nullptr) < 0) {
        return nullptr;
    }
    return op.release();
}

// ---------------------------------------------------------------------------------------------
// The contents of the response helpers and of an incoming request: TextContent, HTMLContent,
// JSONContent and ASGIContent
//
// Native subclasses of Content whose layout begins with Content's, so the readers of contents.h
// see them as any Content. Each instance carries an instance dictionary and a weak reference list,
// as an instance of a Python subclass does. The exact classes are built through their vectorcall
// (one call, no argument tuple); Python subclasses go through __new__ and __init__ as usual.

QM_COLD Failure raise_invalid_operation(const char* message) noexcept {
    Ref text(PyUnicode_FromString(message));
    if (!text) return kFailed;
    return raise_new(g_invalid_operation, text.get());
}

// The fields every one of these classes adds to Content's: the instance dictionary and the weak
// reference list.
struct ExtendedContentObject {
    ContentObject content;
    PyObject* dict;
    PyObject* weakrefs;
};

using ExtendedContentFields = DerivedFields<ContentFields, ExtendedContentObject, &ExtendedContentObject::dict>;

inline ExtendedContentObject* as_extended(PyObject* op) noexcept { return reinterpret_cast<ExtendedContentObject*>(op); }

// The collector's clear: the dictionary dropped, the fields back to None (a method reached during
// the collection still finds well-formed fields).
int extended_content_clear(PyObject* op) noexcept {
    Py_CLEAR(as_extended(op)->dict);
    ContentFields::reset_to_none(op);
    return 0;
}

#define QM_EXTENDED_MEMBERS(T)                                                                         \
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(T, dict), Py_READONLY, nullptr},                        \
        {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(T, weakrefs), Py_READONLY, nullptr}, {          \
        nullptr, 0, 0, 0, nullptr                                                                      \
    }

PyMemberDef extended_content_members[] = {QM_EXTENDED_MEMBERS(ExtendedContentObject)};

PyGetSetDef extended_content_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The buffered fields of a content: its media type and body (exact bytes, a new reference taken
// over), the length from the body.
[[nodiscard]] bool fill_buffered(ContentObject* self, PyObject* media_type, PyObject* body) noexcept {
    Ref held(body);
    if (!held) return false;
    if (!check_exact_arg(body, &PyBytes_Type, "data", false)) return false;
    replace_field_borrowed(&self->type, media_type);
    replace_field(&self->body, held.release());
    self->length = PyBytes_GET_SIZE(body);
    return true;
}

// str.encode("utf8") of a text argument (a str or a subclass of it; anything else is refused with
// the framework's argument message naming `arg`).
[[nodiscard]] PyObject* encode_text(PyObject* value, const char* arg) noexcept {
    if (!PyUnicode_Check(value)) return raise_arg_type(arg, "str", value);
    if (PyUnicode_CheckExact(value)) return PyUnicode_AsUTF8String(value);
    return call_method(value, g_names[N_ENCODE], g_utf8);  // a subclass's own encode, as Python calls it
}

// A buffered content class: its constructor's signature and the filler of its fields.
struct BufferedContentClass {
    PyTypeObject** type;
    Signature signature;
    bool (*fill)(ContentObject* self, PyObject* const* values) noexcept;
};

[[nodiscard]] bool fill_text(ContentObject* self, PyObject* const* values) noexcept {
    return fill_buffered(self, g_media_text, encode_text(values[0], "text"));
}

[[nodiscard]] bool fill_html(ContentObject* self, PyObject* const* values) noexcept {
    return fill_buffered(self, g_media_html, encode_text(values[0], "html"));
}

// The bytes of what a JSON encoder returned: bytes as they are, str encoded as UTF-8, a bytearray
// or memoryview copied; anything else is a TypeError.
[[nodiscard]] PyObject* json_bytes(PyObject* encoded) noexcept {
    Ref held(encoded);
    if (!held) return nullptr;
    if (PyBytes_Check(encoded)) return held.release();  // a subclass is refused by the body's check
    if (PyUnicode_Check(encoded)) return encode_text(encoded, "data");
    if (PyByteArray_Check(encoded) || PyMemoryView_Check(encoded)) return PyBytes_FromObject(encoded);
    return raise_format(PyExc_TypeError, "Expected str or bytes, got %.200s", type_name(encoded));
}

// JSONContent(data, dumps=None): `dumps(data)` when given, else json_settings.dumps(data) once the
// application configured an encoder, else msgspec's encoding of the data.
[[nodiscard]] bool fill_json(ContentObject* self, PyObject* const* values) noexcept {
    PyObject* data = values[0];
    PyObject* dumps = values[1];
    if (dumps != Py_None) return fill_buffered(self, g_media_json, json_bytes(PyObject_CallOneArg(dumps, data)));
    Ref custom(PyObject_GetAttr(g_json_settings, g_names[N_HAS_CUSTOM_DUMPS]));
    if (!custom) return false;
    int configured = PyObject_IsTrue(custom.get());
    if (configured < 0) return false;
    PyObject* encoded = configured ? call_method(g_json_settings, g_names[N_DUMPS], data)
                                   : PyObject_CallOneArg(g_json_encode, data);
    return fill_buffered(self, g_media_json, json_bytes(encoded));
}

const char* const kTextParams[] = {"text"};
const char* const kHtmlParams[] = {"html"};
const char* const kJsonParams[] = {"data", "dumps"};

const BufferedContentClass kTextContentClass{&g_text_content_type, {"TextContent", kTextParams, 1, 1}, fill_text};
const BufferedContentClass kHtmlContentClass{&g_html_content_type, {"HTMLContent", kHtmlParams, 1, 1}, fill_html};
const BufferedContentClass kJsonContentClass{&g_json_content_type, {"JSONContent", kJsonParams, 2, 1}, fill_json};

template <const BufferedContentClass& Class>
int buffered_content_init(PyObject* op, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* values[2] = {nullptr, Py_None};
    if (!parse_tuple_args(Class.signature, args, kwargs, values)) return -1;
    return Class.fill(as_content(op), values) ? 0 : -1;
}

template <const BufferedContentClass& Class>
PyObject* buffered_content_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* values[2] = {nullptr, Py_None};
    if (!parse_args(Class.signature, args, nargs, kwnames, values)) return nullptr;
    Ref op(content_new(reinterpret_cast<PyTypeObject*>(type), nullptr, nullptr));
    if (!op || !Class.fill(as_content(op.get()), values)) return nullptr;
    return op.release();
}

constexpr unsigned long kContentClassFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;

#define QM_BUFFERED_CONTENT_SLOTS(doc, cls)                                                                       \
    {Py_tp_doc, const_cast<char*>(doc)}, {Py_tp_init, reinterpret_cast<void*>(buffered_content_init<cls>)},    \
        {Py_tp_vectorcall, reinterpret_cast<void*>(buffered_content_vectorcall<cls>)},                           \
        QM_GC_SLOTS(ExtendedContentFields::dealloc_with_weakrefs, ExtendedContentFields::traverse,              \
                    extended_content_clear),                                                                    \
        {Py_tp_members, extended_content_members}, {Py_tp_getset, extended_content_getset}, {                   \
        0, nullptr                                                                                              \
    }

PyType_Slot text_content_slots[] = {QM_BUFFERED_CONTENT_SLOTS(
    "TextContent(text)\n--\n\nA plain-text body, encoded as UTF-8.", kTextContentClass)};
PyType_Slot html_content_slots[] = {QM_BUFFERED_CONTENT_SLOTS(
    "HTMLContent(html)\n--\n\nAn HTML body, encoded as UTF-8.", kHtmlContentClass)};
PyType_Slot json_content_slots[] = {QM_BUFFERED_CONTENT_SLOTS(
    "JSONContent(data, dumps=None)\n--\n\n"
    "A JSON body. ``dumps`` (value -> str or bytes) defaults to the configured JSON encoder, msgspec\n"
    "unless the application chose another.",
    kJsonContentClass)};

#undef QM_BUFFERED_CONTENT_SLOTS

PyType_Spec text_content_spec = {"quillmoth.contents.TextContent", sizeof(ExtendedContentObject), 0,
                                 kContentClassFlags, text_content_slots};
PyType_Spec html_content_spec = {"quillmoth.contents.HTMLContent", sizeof(ExtendedContentObject), 0,
                                 kContentClassFlags, html_content_slots};
PyType_Spec json_content_spec = {"quillmoth.contents.JSONContent", sizeof(ExtendedContentObject), 0,
                                 kContentClassFlags, json_content_slots};

// ---------------------------------------------------------------------------------------------
// ASGIContent: the body of an incoming request, pulled from the ASGI receive channel.
//
// State: `receive` is the channel (None once disposed); `pending` the chunks an interrupted read()
// or a probe received and kept (null until one is kept); `received` the body bytes counted against
// the bound; `complete` set by the last body message, `streamed` once chunks went out through
// stream() without being kept, `disconnected` once the channel said the client left, `too_large`
// once the body passed the bound (or its declared length did). read() keeps the whole body in
// `body`; stream(), get_parts() and _probe_disconnect() are the other ways of reading.
//
// Every operation awaits `receive()` and hands each message to take_message, the one place that
// reads messages; the channel and the messages' own methods are Python code that may run anything,
// so the steps keep the channel and the list they fill in frame slots.

struct AsgiContentObject {
    ContentObject content;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* receive;        // the receive callable, None once disposed
    PyObject* max_body_size;  // None or the int given
    PyObject* pending;        // list of kept chunks, or null (none kept yet)
    int64_t limit;            // max_body_size as a C integer (INT64_MAX beyond it); -1 for None
    int64_t received;
    bool complete;
    bool streamed;
    bool disconnected;
    bool too_large;
};

using AsgiContentFields = DerivedFields<ExtendedContentFields, AsgiContentObject, &AsgiContentObject::receive,
                                        &AsgiContentObject::max_body_size, &AsgiContentObject::pending>;

inline AsgiContentObject* as_asgi(PyObject* op) noexcept { return reinterpret_cast<AsgiContentObject*>(op); }

constexpr const char kDisposedMessage[] = "The content was disposed and can no longer be read.";
constexpr const char kStreamedMessage[] =
    "The request body was already consumed as a stream; it can no longer be read whole.";

// The value of ASCII digits (more than 18 of them: 2**62, past any bound), or -1 when `text` is
// empty or holds anything else.
int64_t digits_value(const char* text, Py_ssize_t n) noexcept {
    if (n == 0) return -1;
    int64_t value = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        if (i < 18) value = value * 10 + (text[i] - '0');
    }
    return n <= 18 ? value : int64_t{1} << 62;
}

inline bool is_ascii_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A declared Content-Length (None, an int, bytes or str of digits with surrounding whitespace) is
// larger than `limit_obj` (an int). 1, 0 or -1. Anything that is not a length is not larger;
// other types are a TypeError.
int declared_above(PyObject* value, PyObject* limit_obj, int64_t limit) noexcept {
    if (value == Py_None) return 0;
    if (PyLong_Check(value) && !PyBool_Check(value)) return PyObject_RichCompareBool(value, limit_obj, Py_GT);
    int64_t declared;
    if (PyBytes_Check(value)) {
        const char* text = PyBytes_AS_STRING(value);
        Py_ssize_t n = PyBytes_GET_SIZE(value);
        while (n > 0 && is_ascii_space(text[n - 1])) --n;
        while (n > 0 && is_ascii_space(*text)) ++text, --n;
        declared = digits_value(text, n);
    } else if (PyUnicode_Check(value)) {
        Ref stripped(call_method(value, g_names[N_STRIP]));
        if (!stripped) return -1;
        if (!PyUnicode_Check(stripped.get()) || !PyUnicode_IS_ASCII(stripped.get())) return 0;
        declared = digits_value(static_cast<const char*>(PyUnicode_DATA(stripped.get())),
                                PyUnicode_GET_LENGTH(stripped.get()));
    } else {
        return raise_format(PyExc_TypeError, "content_length must be an int, bytes, str or None, not %.200s",
                            type_name(value));
    }
    return declared > limit;
}

// The list of kept chunks, made when first needed (a new reference).
PyObject* pending_list(AsgiContentObject* self) noexcept {
    if (!self->pending) {
        self->pending = PyList_New(0);
        if (!self->pending) return nullptr;
    }
    return Py_NewRef(self->pending);
}

// The receive channel when the body can still be read (a new reference); else the error that
// says why: disposed, too large, or the client gone.
PyObject* asgi_channel(AsgiContentObject* self) noexcept {
    if (self->receive == Py_None) return raise_invalid_operation(kDisposedMessage);
    if (self->too_large) return raise_new(g_payload_too_large, self->max_body_size);
    if (self->disconnected) return raise_new(g_message_aborted);
    return Py_NewRef(self->receive);
}

// message.get(key): a dict read directly, any other mapping through its get(); None when absent.
PyObject* message_get(PyObject* message, PyObject* key) noexcept {
    if (PyDict_CheckExact(message)) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(message, key, &value) < 0) return nullptr;
        return value ? value : Py_NewRef(Py_None);
    }
    return call_method(message, g_names[N_GET], key);
}

// One message of the channel, as the body sees it:
//     kind = message.get("type")
//     if kind == "http.request":
//         body = message.get("body") or b""
//         count it against the bound (PayloadTooLarge once past it: nothing received is kept)
//         if not message.get("more_body", False): the body is complete
//         return body
//     if kind == "http.disconnect": raise MessageAborted()
//     (any other message carries nothing for the body)
// 1 with *chunk the body (a new reference; the empty bytes object when the message had no body),
// 0 for a message of another type, -1 with the error set.
int take_message(AsgiContentObject* self, PyObject* message, PyObject** chunk) noexcept {
    *chunk = nullptr;
    Ref kind(message_get(message, g_names[N_TYPE]));
    if (!kind) return -1;
    int is_body = PyObject_RichCompareBool(kind.get(), g_names[N_HTTP_REQUEST], Py_EQ);
    if (is_body < 0) return -1;
    if (!is_body) {
        int gone = PyObject_RichCompareBool(kind.get(), g_names[N_HTTP_DISCONNECT], Py_EQ);
        if (gone < 0) return -1;
        if (!gone) return 0;
        self->disconnected = true;
        return raise_new(g_message_aborted);
    }
    Ref body(message_get(message, g_names[N_BODY]));
    if (!body) return -1;
    int has_body = PyObject_IsTrue(body.get());
    if (has_body < 0) return -1;
    if (!has_body) body.reset(Py_NewRef(g_empty_bytes));
    if (has_body && self->limit >= 0) {
        Py_ssize_t size = PyObject_Length(body.get());
        if (size < 0) return -1;
        self->received += size;
        if (self->received > self->limit) {
            // Nothing received is kept: the body will not be read.
            self->too_large = true;
            Py_CLEAR(self->pending);
            return raise_new(g_payload_too_large, self->max_body_size);
        }
    }
    PyObject* more = nullptr;
    if (PyDict_CheckExact(message)) {
        if (PyDict_GetItemRef(message, g_names[N_MORE_BODY], &more) < 0) return -1;
    } else {
        more = call_method(message, g_names[N_GET], g_names[N_MORE_BODY], Py_False);
        if (!more) return -1;
    }
    Ref held_more(more);
    int more_body = more ? PyObject_IsTrue(more) : 0;
    if (more_body < 0) return -1;
    if (!more_body) self->complete = true;
    *chunk = body.release();
    return 1;
}

// b"".join(chunks)
PyObject* join_chunks(PyObject* chunks) noexcept {
    if (PyList_GET_SIZE(chunks) == 1 && PyBytes_CheckExact(PyList_GET_ITEM(chunks, 0))) {
        return Py_NewRef(PyList_GET_ITEM(chunks, 0));
    }
    return call_method(g_empty_bytes, g_names[N_JOIN], chunks);
}

// The awaitable of the next message.
inline PyObject* receive_next(coro::Frame& f, int receive_slot) noexcept { return PyObject_CallNoArgs(f[receive_slot]); }

// async def read(self):
//     if self.body is not None: return self.body
//     receive = self._channel()
//     if self._streamed: raise InvalidOperation(...)
//     pending = self._pending
//     while not self._complete:
//         chunk = await self._next_chunk(receive)
//         if chunk: pending.append(chunk)
//     body = b"".join(pending); pending.clear(); self.body = body
//     return body
// The chunks are kept on the object as they come, so a read interrupted by a cancellation resumes
// where it stopped.
enum AsgiReadSlot { kReadSelf, kReadReceive, kReadPending };
enum AsgiReadState { kReadStart, kReadGot };

coro::Step asgi_read_next(coro::Frame& f) noexcept {
    AsgiContentObject* self = as_asgi(f[kReadSelf]);
    if (!self->complete) return f.await(kReadGot, receive_next(f, kReadReceive));
    PyObject* pending = f[kReadPending];
    Ref body(join_chunks(pending));
    if (!body) return kFailed;
    if (PyList_SetSlice(pending, 0, PY_SSIZE_T_MAX, nullptr) < 0) return kFailed;
    if (content_set_body(f[kReadSelf], body.get(), nullptr) < 0) return kFailed;
    return coro::Frame::ret(body.release());
}

coro::Step asgi_read_step(coro::Frame& f, PyObject* sent) noexcept {
    AsgiContentObject* self = as_asgi(f[kReadSelf]);
    switch (f.state) {
        case kReadStart: {
            if (self->content.body != Py_None) return coro::Frame::ret_borrowed(self->content.body);
            PyObject* receive = asgi_channel(self);
            if (!receive) return kFailed;
            f.set(kReadReceive, receive);
            if (self->streamed) return raise_invalid_operation(kStreamedMessage);
            PyObject* pending = pending_list(self);
            if (!pending) return kFailed;
            f.set(kReadPending, pending);
            return asgi_read_next(f);
        }
        case kReadGot: {
            if (!sent) return kFailed;
            PyObject* chunk = nullptr;
            int got = take_message(self, sent, &chunk);
            if (got < 0) return kFailed;
            Ref held(chunk);
            if (got > 0 && chunk != g_empty_bytes && PyList_Append(f[kReadPending], chunk) < 0) return kFailed;
            return asgi_read_next(f);
        }
    }
    return coro::bad_state(f);
}

// async def stream(self):
//     receive = self._channel()
//     if self.body is not None:            # read already (an empty body too)
//         if self.body: yield self.body
//         return
//     if self._pending:                    # kept by an interrupted read or a probe: handed out, not kept
//         pending, self._pending = self._pending, []
//         self._streamed = True
//         for chunk in pending: yield chunk
//         if self._complete: return
//     elif self._complete:
//         # Streamed whole already, nothing kept: the channel answers again only when the client
//         # goes (what a drain of the stream used as a probe relies on).
//         await self._next_chunk(receive)
//         return
//     while not self._complete:
//         chunk = await self._next_chunk(receive)
//         if chunk:
//             self._streamed = True
//             yield chunk
enum AsgiStreamSlot { kAsgiStreamSelf, kStreamReceive, kStreamPending };
enum AsgiStreamState { kStreamStart, kStreamYieldedBody, kStreamYieldedKept, kStreamDrained, kStreamGot, kStreamYielded };

coro::Step asgi_stream_loop(coro::Frame& f) noexcept {
    if (as_asgi(f[kAsgiStreamSelf])->complete) return coro::Frame::ret_none();
    return f.await(kStreamGot, receive_next(f, kStreamReceive));
}

coro::Step asgi_stream_kept(coro::Frame& f) noexcept {
    PyObject* kept = f[kStreamPending];
    Py_ssize_t& index = f.n(0);
    if (index < PyList_GET_SIZE(kept)) return f.yield(kStreamYieldedKept, Py_NewRef(PyList_GET_ITEM(kept, index++)));
    f.set(kStreamPending, nullptr);
    return asgi_stream_loop(f);
}

coro::Step asgi_stream_step(coro::Frame& f, PyObject* sent) noexcept {
    AsgiContentObject* self = as_asgi(f[kAsgiStreamSelf]);
    switch (f.state) {
        case kStreamStart: {
            PyObject* receive = asgi_channel(self);
            if (!receive) return kFailed;
            f.set(kStreamReceive, receive);
            Ref body = Ref::borrow(self->content.body);
            if (body.get() != Py_None) {
                int truth = PyObject_IsTrue(body.get());
                if (truth < 0) return kFailed;
                if (!truth) return coro::Frame::ret_none();
                return f.yield(kStreamYieldedBody, body.release());
            }
            if (self->pending && PyList_GET_SIZE(self->pending) > 0) {
                f.set(kStreamPending, std::exchange(self->pending, nullptr));
                self->streamed = true;
                f.n(0) = 0;
                return asgi_stream_kept(f);
            }
            if (self->complete) return f.await(kStreamDrained, receive_next(f, kStreamReceive));
            return asgi_stream_loop(f);
        }
        case kStreamYieldedBody:
            return sent ? coro::Frame::ret_none() : coro::Step(kFailed);
        case kStreamYieldedKept:
            if (!sent) return kFailed;
            return asgi_stream_kept(f);
        case kStreamDrained: {
            if (!sent) return kFailed;
            PyObject* chunk = nullptr;
            int got = take_message(self, sent, &chunk);
            Py_XDECREF(chunk);
            if (got < 0) return kFailed;
            if (got == 0) return f.await(kStreamDrained, receive_next(f, kStreamReceive));
            return coro::Frame::ret_none();
        }
        case kStreamGot: {
            if (!sent) return kFailed;
            PyObject* chunk = nullptr;
            int got = take_message(self, sent, &chunk);
            if (got < 0) return kFailed;
            if (got > 0 && chunk != g_empty_bytes) {
                self->streamed = true;
                return f.yield(kStreamYielded, chunk);
            }
            Py_XDECREF(chunk);
            return asgi_stream_loop(f);
        }
        case kStreamYielded:
            if (!sent) return kFailed;  // thrown in where it stands (aclose(), athrow())
            return asgi_stream_loop(f);
    }
    return coro::bad_state(f);
}

// async def _probe_disconnect(self):
//     receive = self._channel()
//     if self.body is None:
//         pending = self._pending
//         while not self._complete:
//             chunk = await self._next_chunk(receive)
//             if chunk: pending.append(chunk)
//     while True:
//         await self._next_chunk(receive)
// Receives what the channel has, keeping the chunks (a later read or stream still gets the whole
// body), and once the body is complete asks the channel once more: it answers only when the client
// disconnects, which raises MessageAborted. Meant to be cancelled as soon as it has to wait.
// A channel that answers that last question with anything but a disconnect (no server should, but
// one that does would have the loop above spin for ever, without ever letting the event loop run)
// cannot tell when the client leaves: the probe returns None.
enum AsgiProbeSlot { kProbeSelf, kProbeReceive, kProbePending };
enum AsgiProbeState { kProbeStart, kProbeFilled, kProbeWaited };

coro::Step asgi_probe_next(coro::Frame& f) noexcept {
    if (f[kProbePending] && !as_asgi(f[kProbeSelf])->complete) {
        return f.await(kProbeFilled, receive_next(f, kProbeReceive));
    }
    return f.await(kProbeWaited, receive_next(f, kProbeReceive));
}

coro::Step asgi_probe_step(coro::Frame& f, PyObject* sent) noexcept {
    AsgiContentObject* self = as_asgi(f[kProbeSelf]);
    switch (f.state) {
        case kProbeStart: {
            PyObject* receive = asgi_channel(self);
            if (!receive) return kFailed;
            f.set(kProbeReceive, receive);
            if (self->content.body == Py_None) {
                PyObject* pending = pending_list(self);
                if (!pending) return kFailed;
                f.set(kProbePending, pending);
            }
            return asgi_probe_next(f);
        }
        case kProbeFilled:
        case kProbeWaited: {
            if (!sent) return kFailed;
            PyObject* chunk = nullptr;
            int got = take_message(self, sent, &chunk);
            Ref held(chunk);
            if (got < 0) return kFailed;
            if (f.state == kProbeWaited) return coro::Frame::ret_none();
            if (got > 0 && chunk != g_empty_bytes && PyList_Append(f[kProbePending], chunk) < 0) return kFailed;
            return asgi_probe_next(f);
        }
    }
    return coro::bad_state(f);
}

constexpr coro::Operation kAsgiReadOp{"ASGIContent.read", asgi_read_step};
constexpr coro::Operation kAsgiStreamOp{"ASGIContent.stream", asgi_stream_step, coro::Kind::kAsyncGenerator};
constexpr coro::Operation kAsgiProbeOp{"ASGIContent._probe_disconnect", asgi_probe_step};
const coro::Function kAsgiContentAsyncMethods[] = {
    {&kAsgiReadOp, {"read", kSelfParam, 1, 1},
     "read($self, /)\n--\n\nThe whole body, received once and kept in `body` (later reads give it again)."},
    {&kAsgiStreamOp, {"stream", kSelfParam, 1, 1},
     "stream($self, /)\n--\n\nYields the chunks of the body as they arrive, without keeping them."},
    {&kAsgiProbeOp, {"_probe_disconnect", kSelfParam, 1, 1},
     "_probe_disconnect($self, /)\n--\n\n"
     "Receives what the channel has, keeping it, then waits for the client to leave (MessageAborted)."},
};

int asgi_content_clear(PyObject* op) noexcept {
    AsgiContentObject* self = as_asgi(op);
    Py_CLEAR(self->pending);
    replace_field_borrowed(&self->receive, Py_None);
    replace_field_borrowed(&self->max_body_size, Py_None);
    return extended_content_clear(op);
}

PyObject* asgi_content_dispose(ContentObject* content, int skip_dispatch) {
    if (auto call = g_overridables[N_ASGI_DISPOSE].dispatch(content, skip_dispatch)) return call.result;
    AsgiContentObject* self = reinterpret_cast<AsgiContentObject*>(content);
    replace_field_borrowed(&self->receive, Py_None);
    Py_CLEAR(self->pending);
    replace_field_borrowed(&self->content.body, Py_None);
    Py_RETURN_NONE;
}

const ContentOps g_asgi_content_ops = {
    asgi_content_dispose,
};

PyObject* py_asgi_content_dispose(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("dispose", nargs, kwnames)) return nullptr;
    return asgi_content_dispose(as_content(self), 1);
}

// def get_parts(self): return self.stream()
PyObject* py_asgi_content_get_parts(PyObject* self, PyObject* /*unused*/) {
    if (Py_IS_TYPE(self, g_asgi_content_type)) return coro::start(kAsgiStreamOp, self);
    return PyObject_CallMethodNoArgs(self, g_names[N_STREAM]);
}

PyObject* asgi_content_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    Ref op(content_new(type, nullptr, nullptr));
    if (!op) return nullptr;
    AsgiContentObject* self = as_asgi(op.get());
    self->content.ops = &g_asgi_content_ops;
    self->content.length = -1;
    self->receive = Py_NewRef(Py_None);
    self->max_body_size = Py_NewRef(Py_None);
    self->limit = -1;
    return op.release();
}

const char* const kAsgiContentParams[] = {"receive", "max_body_size", "content_length"};
const Signature kAsgiContentSignature = {"ASGIContent", kAsgiContentParams, 3, 1};

// ASGIContent(receive, max_body_size=DEFAULT_MAX_BODY_SIZE, content_length=None): every field set
// anew (a second __init__ starts over).
[[nodiscard]] bool asgi_content_fill(AsgiContentObject* self, PyObject* const* values) noexcept {
    PyObject *receive = values[0], *max_body_size = values[1], *content_length = values[2];
    if (!PyCallable_Check(receive)) {
        return raise_error(PyExc_TypeError, "receive must be the callable of the ASGI receive channel");
    }
    int64_t limit;
    if (!parse_body_limit(max_body_size, &limit)) return false;
    // Without a bound the declared length is not looked at.
    int too_large = limit < 0 ? 0 : declared_above(content_length, max_body_size, limit);
    if (too_large < 0) return false;
    replace_field_borrowed(&self->content.type, Py_None);
    replace_field_borrowed(&self->content.body, Py_None);
    self->content.length = -1;
    replace_field_borrowed(&self->receive, receive);
    replace_field_borrowed(&self->max_body_size, max_body_size);
    Py_CLEAR(self->pending);
    self->limit = limit;
    self->received = 0;
    self->complete = self->streamed = self->disconnected = false;
    self->too_large = too_large;
    return true;
}

int asgi_content_init(PyObject* op, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* values[3] = {nullptr, g_default_max_body_size, Py_None};
    if (!parse_tuple_args(kAsgiContentSignature, args, kwargs, values)) return -1;
    return asgi_content_fill(as_asgi(op), values) ? 0 : -1;
}

PyObject* asgi_content_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* values[3] = {nullptr, g_default_max_body_size, Py_None};
    if (!parse_args(kAsgiContentSignature, args, nargs, kwnames, values)) return nullptr;
    Ref op(asgi_content_new(reinterpret_cast<PyTypeObject*>(type), nullptr, nullptr));
    if (!op || !asgi_content_fill(as_asgi(op.get()), values)) return nullptr;
    return op.release();
}

PyObject* asgi_content_get_max_body_size(PyObject* op, void*) noexcept { return get_field(as_asgi(op)->max_body_size); }

int asgi_content_set_max_body_size(PyObject* op, PyObject* value, void*) noexcept {
    if (!value) return raise_no_delete();
    int64_t limit;
    if (!parse_body_limit(value, &limit)) return -1;
    AsgiContentObject* self = as_asgi(op);
    self->limit = limit;
    replace_field_borrowed(&self->max_body_size, value);
    return 0;
}

PyObject* asgi_content_get_pending(PyObject* op, void*) noexcept { return pending_list(as_asgi(op)); }

PyMethodDef asgi_content_methods[] = {
    QM_FASTCALL_METHOD("dispose", py_asgi_content_dispose,
                       PyDoc_STR("dispose($self, /)\n--\n\nDrops the receive channel and the body read so far.")),
    {"get_parts", py_asgi_content_get_parts, METH_NOARGS,
     PyDoc_STR("get_parts($self, /)\n--\n\nThe chunks of the body: self.stream().")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef asgi_content_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"max_body_size", asgi_content_get_max_body_size, asgi_content_set_max_body_size,
     PyDoc_STR("The bound on the body in bytes (a non-negative int), or None for no bound."), nullptr},
    {"_receive", get_member<&AsgiContentObject::receive>, nullptr,
     PyDoc_STR("The ASGI receive callable; None once disposed."), nullptr},
    {"_pending", asgi_content_get_pending, nullptr,
     PyDoc_STR("The chunks an interrupted read or a probe received and kept (a list)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef asgi_content_members[] = {QM_EXTENDED_MEMBERS(AsgiContentObject)};

#undef QM_EXTENDED_MEMBERS

PyType_Slot asgi_content_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "ASGIContent(receive, max_body_size=10485760, content_length=None)\n--\n\n"
                    "The body of an incoming request, pulled from the ASGI ``receive`` channel.\n\n"
                    "``stream()`` yields the chunks as they arrive without keeping them; ``read()`` keeps the\n"
                    "whole body in ``body``, so later reads (and streams) give the same bytes. A client that\n"
                    "disconnects makes both raise ``MessageAborted``. Once the body went out as a stream without\n"
                    "being kept it cannot be read whole any more, and ``read()`` says so instead of returning a\n"
                    "truncated body. ``_probe_disconnect()`` is the non-blocking probe of ``is_disconnected``.\n\n"
                    "``max_body_size`` bounds the body (None: no bound): every way of reading it stops as soon as\n"
                    "the bytes received pass the bound and raises ``PayloadTooLarge`` (413), then and on every\n"
                    "later read. A declared ``content_length`` above the bound is refused before anything is\n"
                    "received.")},
    {Py_tp_new, reinterpret_cast<void*>(asgi_content_new)},
    {Py_tp_init, reinterpret_cast<void*>(asgi_content_init)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(asgi_content_vectorcall)},
    QM_GC_SLOTS(AsgiContentFields::dealloc_with_weakrefs, AsgiContentFields::traverse, asgi_content_clear),
    {Py_tp_methods, asgi_content_methods},
    {Py_tp_getset, asgi_content_getset},
    {Py_tp_members, asgi_content_members},
    {0, nullptr},
};

PyType_Spec asgi_content_spec = {"quillmoth.contents.ASGIContent", sizeof(AsgiContentObject), 0, kContentClassFlags,
                                 asgi_content_slots};

// An instance of `cls` (Content or a subclass) with empty fields, its constructor not called: for
// unpickling.
PyObject* bare_instance(PyTypeObject* cls) noexcept {
    if (g_asgi_content_type && PyType_IsSubtype(cls, g_asgi_content_type)) return asgi_content_new(cls, nullptr, nullptr);
    return content_new(cls, nullptr, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Line breaks inside event data: each CR LF, LF or lone CR becomes "\ndata: ", so a multi-line
// payload goes out as consecutive data lines (the client joins them back with LF). A lone CR
// counts too: event-stream readers end a line at it, and left alone it would cut the event.

[[nodiscard]] PyObject* continue_data_lines(PyObject* text) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t i = 0;
    if (kind == PyUnicode_1BYTE_KIND) {
        const auto* chars = static_cast<const unsigned char*>(data);
        const void* lf = std::memchr(chars, '\n', static_cast<size_t>(n));
        const void* cr = std::memchr(chars, '\r', static_cast<size_t>(n));
        if (!lf && !cr) return Py_NewRef(text);
        const unsigned char* first = static_cast<const unsigned char*>(!lf ? cr : !cr ? lf : (lf < cr ? lf : cr));
        i = first - chars;
    } else {
        while (i < n) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c == '\n' || c == '\r') break;
            ++i;
        }
        if (i == n) return Py_NewRef(text);
    }
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(n + 16);
    if (!writer) return nullptr;
    Py_ssize_t start = 0;
    for (; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c != '\n' && c != '\r') continue;
        if (PyUnicodeWriter_WriteSubstring(writer, text, start, i) < 0 ||
            PyUnicodeWriter_WriteUTF8(writer, "\ndata: ", 7) < 0) {
            PyUnicodeWriter_Discard(writer);
            return nullptr;
        }
        if (c == '\r' && i + 1 < n && PyUnicode_READ(kind, data, i + 1) == '\n') ++i;
        start = i + 1;
    }
    if (PyUnicodeWriter_WriteSubstring(writer, text, start, n) < 0) {
        PyUnicodeWriter_Discard(writer);
        return nullptr;
    }
    return PyUnicodeWriter_Finish(writer);
}

// ---------------------------------------------------------------------------------------------
// ServerSentEvent and TextServerSentEvent

inline ServerSentEventObject* as_sse(PyObject* op) noexcept { return reinterpret_cast<ServerSentEventObject*>(op); }

// The data of a plain event as JSON text, rendered by json_settings.dumps (msgspec unless the
// application configured another encoder).
PyObject* sse_write_data(ServerSentEventObject* self, int skip_dispatch) {
    if (auto call = g_overridables[N_WRITE_DATA].dispatch(self, skip_dispatch)) return call.result;
    Ref dumps(PyObject_GetAttr(g_json_settings, g_names[N_DUMPS]));
    if (!dumps) return nullptr;
    // Held: the encoder may run Python code (a hook) that replaces the event's data meanwhile.
    Ref data = Ref::borrow(self->data);
    Ref text(PyObject_CallOneArg(dumps.get(), data.get()));
    if (!text) return nullptr;
    if (PyBytes_Check(text.get()) || PyByteArray_Check(text.get())) {
        Py_buffer view;
        if (PyObject_GetBuffer(text.get(), &view, PyBUF_SIMPLE) < 0) return nullptr;
        Ref decoded(PyUnicode_DecodeUTF8(static_cast<const char*>(view.buf), view.len, "strict"));
        PyBuffer_Release(&view);
        if (!decoded) return nullptr;
        text = std::move(decoded);
    } else if (!PyUnicode_Check(text.get())) {
        return raise_expected("str", text.get());
    }
    return continue_data_lines(text.get());
}

// The data of a text event as it stands (str() of a non-str value), line breaks continued.
PyObject* text_sse_write_data(ServerSentEventObject* self, int skip_dispatch) {
    if (auto call = g_overridables[N_TEXT_WRITE_DATA].dispatch(self, skip_dispatch)) return call.result;
    if (PyUnicode_Check(self->data)) return continue_data_lines(self->data);
    Ref text(PyObject_Str(self->data));
    if (!text) return nullptr;
    return continue_data_lines(text.get());
}

const ServerSentEventOps g_sse_ops = {
    sse_write_data,
};

const ServerSentEventOps g_text_sse_ops = {
    text_sse_write_data,
};

PyObject* py_server_sent_event_write_data(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("write_data", nargs, kwnames)) return nullptr;
    return sse_write_data(as_sse(self), 1);
}

PyObject* py_text_server_sent_event_write_data(PyObject* self, PyObject* const* /*args*/, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("write_data", nargs, kwnames)) return nullptr;
    return text_sse_write_data(as_sse(self), 1);
}

[[nodiscard]] PyObject* sse_alloc(PyTypeObject* type, const ServerSentEventOps* ops) noexcept {
    Ref op(type->tp_alloc(type, 0));
    if (!op) return nullptr;
    ServerSentEventObject* self = as_sse(op.get());
    self->ops = ops;
    self->data = Py_NewRef(Py_None);
    self->event = Py_NewRef(Py_None);
    self->id = Py_NewRef(Py_None);
    self->retry = -1;
    self->comment = Py_NewRef(Py_None);
    return op.release();
}

PyObject* sse_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    return sse_alloc(type, &g_sse_ops);
}

PyObject* text_sse_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    return sse_alloc(type, &g_text_sse_ops);
}

const char* const kSseParams[] = {"data", "event", "id", "retry", "comment"};
const Signature kSseSignature = {"ServerSentEvent", kSseParams, 5, 1};
const Signature kTextSseSignature = {"TextServerSentEvent", kSseParams, 5, 1};

int sse_init_with(PyObject* op, PyObject* args, PyObject* kwargs, const Signature& sig) {
    PyObject* values[5] = {nullptr, Py_None, Py_None, nullptr, Py_None};
    if (!parse_tuple_args(sig, args, kwargs, values)) return -1;
    if (!check_exact_arg(values[1], &PyUnicode_Type, "event") || !check_exact_arg(values[2], &PyUnicode_Type, "id") ||
        !check_exact_arg(values[4], &PyUnicode_Type, "comment")) {
        return -1;
    }
    int32_t retry = -1;
    if (values[3] && !to_c_integer(values[3], &retry)) return -1;
    ServerSentEventObject* self = as_sse(op);
    replace_field_borrowed(&self->data, values[0]);
    replace_field_borrowed(&self->event, values[1]);
    replace_field_borrowed(&self->id, values[2]);
    self->retry = retry;
    replace_field_borrowed(&self->comment, values[4]);
    return 0;
}

int sse_init(PyObject* op, PyObject* args, PyObject* kwargs) { return sse_init_with(op, args, kwargs, kSseSignature); }

int text_sse_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    return sse_init_with(op, args, kwargs, kTextSseSignature);
}

using ServerSentEventFields = ObjectFields<ServerSentEventObject, &ServerSentEventObject::data,
                                           &ServerSentEventObject::event, &ServerSentEventObject::id,
                                           &ServerSentEventObject::comment>;

constexpr setter sse_set_data = set_any_member<&ServerSentEventObject::data>;
constexpr setter sse_set_event = set_builtin_member<&ServerSentEventObject::event, &PyUnicode_Type>;
constexpr setter sse_set_id = set_builtin_member<&ServerSentEventObject::id, &PyUnicode_Type>;
constexpr setter sse_set_retry = set_integer_member<&ServerSentEventObject::retry>;
constexpr setter sse_set_comment = set_builtin_member<&ServerSentEventObject::comment, &PyUnicode_Type>;

PyObject* sse_reduce(PyObject* op, PyObject* /*unused*/) {
    ServerSentEventObject* self = as_sse(op);
    Ref state(instance_state(op));
    if (!state) return nullptr;
    return Py_BuildValue("O(OOOOiO)O", g_restore_sse, reinterpret_cast<PyObject*>(Py_TYPE(op)), self->data,
                         self->event, self->id, static_cast<int>(self->retry), self->comment, state.get());
}

PyObject* sse_repr(PyObject* op) {
    ServerSentEventObject* self = as_sse(op);
    // Held: the repr of the data may run Python code that replaces the other fields meanwhile.
    Ref data = Ref::borrow(self->data);
    Ref event = Ref::borrow(self->event);
    Ref id = Ref::borrow(self->id);
    return PyUnicode_FromFormat("<%s data=%R event=%R id=%R retry=%d>", Py_TYPE(op)->tp_name, data.get(), event.get(),
                                id.get(), static_cast<int>(self->retry));
}

PyMethodDef sse_methods[] = {
    QM_FASTCALL_METHOD("write_data", py_server_sent_event_write_data,
        PyDoc_STR("write_data($self, /)\n--\n\nThe text written after \"data: \": the data as JSON, each line break "
                  "continued on a new data line.")),
    {"__reduce__", reinterpret_cast<PyCFunction>(sse_reduce), METH_NOARGS,
     PyDoc_STR("__reduce__($self, /)\n--\n\nPickling support.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef text_sse_methods[] = {
    QM_FASTCALL_METHOD("write_data", py_text_server_sent_event_write_data,
        PyDoc_STR("write_data($self, /)\n--\n\nThe text written after \"data: \": the data as text, each line break "
                  "continued on a new data line.")),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sse_getset[] = {
    {"data", get_member<&ServerSentEventObject::data>, sse_set_data, PyDoc_STR("The event payload."), nullptr},
    {"event", get_member<&ServerSentEventObject::event>, sse_set_event, PyDoc_STR("The event name (str or None)."),
     nullptr},
    {"id", get_member<&ServerSentEventObject::id>, sse_set_id, PyDoc_STR("The event id (str or None)."), nullptr},
    {"retry", get_member<&ServerSentEventObject::retry>, sse_set_retry,
     PyDoc_STR("Reconnection time in milliseconds; negative when unset."), nullptr},
    {"comment", get_member<&ServerSentEventObject::comment>, sse_set_comment, PyDoc_STR("Comment text (str or None)."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sse_slots[] = {
    {Py_tp_doc, const_cast<char*>("ServerSentEvent(data, event=None, id=None, retry=-1, comment=None)\n--\n\n"
                                  "One server-sent event whose data is written as JSON.")},
    {Py_tp_new, reinterpret_cast<void*>(sse_new)},
    {Py_tp_init, reinterpret_cast<void*>(sse_init)},
    QM_FIELD_GC_SLOTS(ServerSentEventFields),
    {Py_tp_repr, reinterpret_cast<void*>(sse_repr)},
    {Py_tp_methods, sse_methods},
    {Py_tp_getset, sse_getset},
    {0, nullptr},
};

PyType_Spec sse_spec = {
    "quillmoth.contents.ServerSentEvent",
    sizeof(ServerSentEventObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    sse_slots,
};

PyType_Slot text_sse_slots[] = {
    {Py_tp_doc, const_cast<char*>("TextServerSentEvent(data, event=None, id=None, retry=-1, comment=None)\n--\n\n"
                                  "One server-sent event whose data is written as text.")},
    {Py_tp_new, reinterpret_cast<void*>(text_sse_new)},
    {Py_tp_init, reinterpret_cast<void*>(text_sse_init)},
    QM_FIELD_GC_SLOTS(ServerSentEventFields),
    {Py_tp_methods, text_sse_methods},
    {0, nullptr},
};

PyType_Spec text_sse_spec = {
    "quillmoth.contents.TextServerSentEvent",
    sizeof(ServerSentEventObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    text_sse_slots,
};

// _restore_server_sent_event(cls, data, event, id, retry, comment)
PyObject* restore_sse(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) return raise_arg_count("_restore_server_sent_event", 6, 6, nargs);
    if (!PyType_Check(args[0]) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(args[0]), g_sse_type)) {
        return raise_cannot_convert(args[0], g_sse_type);
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(args[0]);
    const ServerSentEventOps* ops = PyType_IsSubtype(cls, g_text_sse_type) ? &g_text_sse_ops : &g_sse_ops;
    Ref op(sse_alloc(cls, ops));
    if (!op) return nullptr;
    if (sse_set_data(op.get(), args[1], nullptr) < 0 || sse_set_event(op.get(), args[2], nullptr) < 0 ||
        sse_set_id(op.get(), args[3], nullptr) < 0 || sse_set_retry(op.get(), args[4], nullptr) < 0 ||
        sse_set_comment(op.get(), args[5], nullptr) < 0) {
        return nullptr;
    }
    return op.release();
}

// ---------------------------------------------------------------------------------------------
// parse_www_form_urlencoded

// Decodes one name or value of an application/x-www-form-urlencoded text: "+" is a space, "%XX"
// escapes give bytes, and the bytes are read as UTF-8 with invalid sequences replaced.
[[nodiscard]] PyObject* decode_form_component(const char* src, size_t n, char* scratch) noexcept {
    bool plain = true;
    for (size_t i = 0; i < n; ++i) {
        char c = src[i];
        if (c == '+' || c == '%') {
            plain = false;
            break;
        }
    }
    if (plain) return PyUnicode_DecodeUTF8(src, static_cast<Py_ssize_t>(n), "replace");
    for (size_t i = 0; i < n; ++i) scratch[i] = src[i] == '+' ? ' ' : src[i];
    size_t out = percent::unquote_into(scratch, n, scratch);
    return PyUnicode_DecodeUTF8(scratch, static_cast<Py_ssize_t>(out), "replace");
}

// Adds `value` under `key`: a first value is stored as it is; later ones turn the entry into a
// list of all values in arrival order.
[[nodiscard]] bool add_form_value(PyObject* result, PyObject* key, PyObject* value) noexcept {
    PyObject* existing = nullptr;
    int found = PyDict_GetItemRef(result, key, &existing);
    if (found < 0) return false;
    if (found == 0) return PyDict_SetItem(result, key, value) == 0;
    Ref held(existing);
    // Values are str, so a list is always one made here.
    if (PyList_CheckExact(existing)) return PyList_Append(existing, value) == 0;
    Ref list(PyList_New(2));
    if (!list) return false;
    PyList_SET_ITEM(list.get(), 0, held.release());
    PyList_SET_ITEM(list.get(), 1, Py_NewRef(value));
    return PyDict_SetItem(result, key, list.get()) == 0;
}

[[nodiscard]] PyObject* parse_form_buffer(const char* text, size_t n) noexcept {
    Ref result(PyDict_New());
    if (!result) return nullptr;
    percent::ScratchBuffer scratch(n);
    if (!scratch.data()) return nullptr;
    size_t pos = 0;
    while (pos <= n) {
        const void* amp = std::memchr(text + pos, '&', n - pos);
        size_t end = amp ? static_cast<size_t>(static_cast<const char*>(amp) - text) : n;
        size_t len = end - pos;
        if (len > 0) {
            const char* piece = text + pos;
            const void* eq = std::memchr(piece, '=', len);
            size_t name_len = eq ? static_cast<size_t>(static_cast<const char*>(eq) - piece) : len;
            Ref name(decode_form_component(piece, name_len, scratch.data()));
            if (!name) return nullptr;
            Ref value(eq ? decode_form_component(piece + name_len + 1, len - name_len - 1, scratch.data())
                         : PyUnicode_FromStringAndSize(nullptr, 0));
            if (!value) return nullptr;
            if (!add_form_value(result.get(), name.get(), value.get())) return nullptr;
        }
        if (!amp) break;
        pos = end + 1;
    }
    return result.release();
}

}  // namespace

// Parses an application/x-www-form-urlencoded text (str, or bytes read as UTF-8) into a dict from
// field name to value: a str for a field given once, a list of str in order for a repeated one.
// Fields without "=" get the empty value; empty fields between "&" are skipped. None gives an empty
// dict. Exported natively (the flag is part of the shared signature and has no effect).
PyObject* parse_www_form_urlencoded(PyObject* text, int /*skip_dispatch*/) {
    if (text == Py_None) return PyDict_New();
    if (PyBytes_Check(text)) {
        return parse_form_buffer(PyBytes_AS_STRING(text), static_cast<size_t>(PyBytes_GET_SIZE(text)));
    }
    if (!PyUnicode_Check(text)) return raise_arg_type("text", "str", text);
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8) return parse_form_buffer(utf8, static_cast<size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
    // Lone surrogates (text decoded with surrogateescape): carried through as bytes and then
    // replaced like any other undecodable sequence.
    PyErr_Clear();
    Ref encoded(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!encoded) return nullptr;
    return parse_form_buffer(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
}

namespace {

PyObject* parse_www_form_urlencoded_py(PyObject* /*module*/, PyObject* text) {
    return parse_www_form_urlencoded(text, 1);
}

PyMethodDef module_methods[] = {
    {"parse_www_form_urlencoded", parse_www_form_urlencoded_py, METH_O,
     PyDoc_STR("parse_www_form_urlencoded(text, /)\n--\n\n"
               "Parses a URL-encoded form into a dict: a str for a field given once, a list of str for a "
               "repeated one.")},
    {"_restore_content", QM_FASTCALL(restore_content), METH_FASTCALL,
     PyDoc_STR("_restore_content(cls, type, body, length, /)\n--\n\nUnpickling helper.")},
    {"_restore_server_sent_event", QM_FASTCALL(restore_sse),
     METH_FASTCALL,
     PyDoc_STR("_restore_server_sent_event(cls, data, event, id, retry, comment, /)\n--\n\nUnpickling helper.")},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = qm::make_module_def(
    "quillmoth._contents",
    PyDoc_STR("Native base classes of quillmoth.contents and the URL-encoded form parser."),
    module_methods);

void release_state() noexcept {
    clear_refs(g_json_settings, g_content_type, g_sse_type, g_text_sse_type, g_restore_content, g_restore_sse);
    clear_refs(g_text_content_type, g_html_content_type, g_json_content_type, g_asgi_content_type, g_json_encode,
               g_invalid_operation, g_message_aborted, g_payload_too_large, g_default_max_body_size, g_empty_bytes,
               g_media_text, g_media_html, g_media_json, g_utf8);
    coro::release_types();
    g_names.release();
    for (Overridable& op : g_overridables) op.unbind();
}

PyObject* build_module() noexcept {
    if (!g_names.intern()) return nullptr;
    Ref settings(PyImport_ImportModule("quillmoth.settings.json"));
    if (!settings) return nullptr;
    g_json_settings = PyObject_GetAttrString(settings.get(), "json_settings");
    if (!g_json_settings) return nullptr;
    if (!(g_json_encode = import_attr("msgspec.json", "encode")) ||
        !(g_invalid_operation = import_attr("quillmoth.exceptions", "InvalidOperation")) ||
        !(g_message_aborted = import_attr("quillmoth.exceptions", "MessageAborted")) ||
        !(g_payload_too_large = import_attr("quillmoth.exceptions", "PayloadTooLarge")) ||
        !(g_default_max_body_size = PyLong_FromLongLong(kDefaultMaxBodySize)) ||
        !(g_empty_bytes = PyBytes_FromStringAndSize("", 0)) ||
        !(g_media_text = PyBytes_FromString("text/plain; charset=utf-8")) ||
        !(g_media_html = PyBytes_FromString("text/html; charset=utf-8")) ||
        !(g_media_json = PyBytes_FromString("application/json")) || !(g_utf8 = PyUnicode_InternFromString("utf8"))) {
        return nullptr;
    }

    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!coro::add_types(module.get())) return nullptr;
    if (!(g_content_type = add_module_type(module.get(), &content_spec))) return nullptr;
    if (!coro::add_methods(g_content_type, kContentAsyncMethods, std::size(kContentAsyncMethods))) return nullptr;
    PyObject* content_base = reinterpret_cast<PyObject*>(g_content_type);
    if (!(g_text_content_type = add_module_type(module.get(), &text_content_spec, content_base)) ||
        !(g_html_content_type = add_module_type(module.get(), &html_content_spec, content_base)) ||
        !(g_json_content_type = add_module_type(module.get(), &json_content_spec, content_base)) ||
        !(g_asgi_content_type = add_module_type(module.get(), &asgi_content_spec, content_base)) ||
        !coro::add_methods(g_asgi_content_type, kAsgiContentAsyncMethods, std::size(kAsgiContentAsyncMethods)) ||
        PyModule_AddObjectRef(module.get(), "DEFAULT_MAX_BODY_SIZE", g_default_max_body_size) < 0) {
        return nullptr;
    }
    if (!(g_sse_type = add_module_type(module.get(), &sse_spec))) return nullptr;
    g_text_sse_type = add_module_type(module.get(), &text_sse_spec, reinterpret_cast<PyObject*>(g_sse_type));
    if (!g_text_sse_type) return nullptr;
    if (!g_overridables[N_DISPOSE].bind(g_content_type, g_names[N_DISPOSE]) ||
        !g_overridables[N_WRITE_DATA].bind(g_sse_type, g_names[N_WRITE_DATA]) ||
        !g_overridables[N_TEXT_WRITE_DATA].bind(g_text_sse_type, g_names[N_TEXT_WRITE_DATA]) ||
        !g_overridables[N_ASGI_DISPOSE].bind(g_asgi_content_type, g_names[N_ASGI_DISPOSE])) {
        return nullptr;
    }
    g_restore_content = PyObject_GetAttrString(module.get(), "_restore_content");
    if (!g_restore_content) return nullptr;
    g_restore_sse = PyObject_GetAttrString(module.get(), "_restore_server_sent_event");
    if (!g_restore_sse) return nullptr;
    const Export exports[] = {
        {kParseWwwFormUrlencodedName, reinterpret_cast<void*>(parse_www_form_urlencoded),
         kParseWwwFormUrlencodedSignature},
    };
    if (!publish_exports(module.get(), exports, sizeof(exports) / sizeof(exports[0]))) return nullptr;
    const TypeExport types[] = {
        {"Content", g_content_type},           {"TextContent", g_text_content_type},
        {"HTMLContent", g_html_content_type},  {"JSONContent", g_json_content_type},
        {"ASGIContent", g_asgi_content_type},  {"ServerSentEvent", g_sse_type},
        {"TextServerSentEvent", g_text_sse_type}};
    if (!publish_types(module.get(), types, sizeof(types) / sizeof(types[0]))) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace qm::contents

PyMODINIT_FUNC PyInit__contents(void) {
    return qm::init_module(qm::contents::build_module, qm::contents::release_state);
}
