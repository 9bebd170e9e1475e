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

#include <cstring>
#include <iterator>

namespace qm::contents {
namespace {

PyTypeObject* g_content_type = nullptr;
PyTypeObject* g_sse_type = nullptr;
PyTypeObject* g_text_sse_type = nullptr;
// quillmoth.settings.json.json_settings: its `dumps` renders the data of a ServerSentEvent.
PyObject* g_json_settings = nullptr;

// The overridable operations first: Content.dispose, ServerSentEvent.write_data and
// TextServerSentEvent.write_data (each class's own method, hence its own entry).
enum Name { N_DISPOSE, N_WRITE_DATA, N_TEXT_WRITE_DATA, N_OPS_COUNT, N_DUMPS = N_OPS_COUNT, N_DICT, N_COUNT };
constexpr const char* kNameTexts[N_COUNT] = {"dispose", "write_data", "write_data", "dumps", "__dict__"};
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

// _restore_content(cls, type, body, length): a `cls` instance with these fields, built without
// calling its constructor.
PyObject* restore_content(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) return raise_arg_count("_restore_content", 4, 4, nargs);
    if (!PyType_Check(args[0]) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(args[0]), g_content_type)) {
        return raise_cannot_convert(args[0], g_content_type);
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(args[0]);
    Ref op(content_new(cls, nullptr, nullptr));
    if (!op) return nullptr;
    if (content_set_type(op.get(), args[1], nullptr) < 0 || content_set_body(op.get(), args[2], nullptr) < 0 ||
        content_set_length(op.get(), args[3], nullptr) < 0) {
        return nullptr;
    }
    return op.release();
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

    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!coro::add_types(module.get())) return nullptr;
    if (!(g_content_type = add_module_type(module.get(), &content_spec))) return nullptr;
    if (!coro::add_methods(g_content_type, kContentAsyncMethods, std::size(kContentAsyncMethods))) return nullptr;
    if (!(g_sse_type = add_module_type(module.get(), &sse_spec))) return nullptr;
    g_text_sse_type = add_module_type(module.get(), &text_sse_spec, reinterpret_cast<PyObject*>(g_sse_type));
    if (!g_text_sse_type) return nullptr;
    if (!g_overridables[N_DISPOSE].bind(g_content_type, g_names[N_DISPOSE]) ||
        !g_overridables[N_WRITE_DATA].bind(g_sse_type, g_names[N_WRITE_DATA]) ||
        !g_overridables[N_TEXT_WRITE_DATA].bind(g_text_sse_type, g_names[N_TEXT_WRITE_DATA])) {
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
        {"Content", g_content_type}, {"ServerSentEvent", g_sse_type}, {"TextServerSentEvent", g_text_sse_type}};
    if (!publish_types(module.get(), types, sizeof(types) / sizeof(types[0]))) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace qm::contents

PyMODINIT_FUNC PyInit__contents(void) {
    return qm::init_module(qm::contents::build_module, qm::contents::release_state);
}
