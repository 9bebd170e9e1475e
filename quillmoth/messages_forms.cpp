// quillmoth.messages, unit forms: form, multipart, multipart_stream and files of Message, and the
// module functions _multipart_to_dict_streaming and _encode.
//
// URL-encoded bodies are read whole (text()) and handed to the content module's parser. Multipart
// bodies are never held whole: multipart_stream() runs the body stream (stream()) through the
// streaming parser of quillmoth.multipart, and _multipart_to_dict_streaming copies each part's
// bytes, as they arrive, into a spooled buffer that stays in memory up to its threshold and moves
// to a temporary file beyond it. form() keeps the parsed multipart result in the message's
// `_form_data` until the message is reset; a parse that fails leaves it as it was (None).
//
// Python code runs wherever these steps call the message's own methods (a subclass may override
// content_type, text, stream, form or multipart), the parser, the part streams and the buffers.
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
    N_TEXT,
    N_FORM,
    N_MULTIPART,
    N_MULTIPART_STREAM,
    N_STREAM,
    N_NAME,
    N_FILE_NAME,
    N_CONTENT_TYPE,
    N_CHARSET,
    N_WRITE,
    N_SEEK,
    N_CLOSE,
    N_ENCODE,
    N_DATA,
    N_SIMPLIFY_FIELDS,
    N_COUNT
};
constexpr const char* kNameTexts[N_COUNT] = {
    "text",  "form", "multipart", "multipart_stream", "stream", "name",   "file_name", "content_type",
    "charset", "write", "seek",   "close",     "encode", "data",   "simplify_fields",
};
InternedNames<N_COUNT> g_names{kNameTexts};

constexpr Py_ssize_t kSpoolMaxSize = 1048576;

PyObject* g_spooled_file = nullptr;     // tempfile.SpooledTemporaryFile
PyObject* g_form_part = nullptr;        // quillmoth.contents.FormPart
PyObject* g_spool_kwnames = nullptr;    // ("max_size", "mode")
PyObject* g_part_kwnames = nullptr;     // ("name", "data", "file_name", "content_type", "size", "charset")
PyObject* g_simplify_kwnames = nullptr; // ("simplify_fields",)
PyObject* g_mode = nullptr;             // "w+b"
PyObject* g_utf8 = nullptr;             // "utf8"
PyObject* g_zero = nullptr;             // 0
PyObject* g_multipart_marker = nullptr; // b"multipart/form-data;"
PyObject* g_urlencoded_marker = nullptr;// b"application/x-www-form-urlencoded"

inline bool native_message(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    return type == g_message_type || type == g_request_type || type == g_response_type;
}

// Whether the bytes `marker` occur in the content type `ct` (a case-sensitive substring test);
// a content type that is not bytes goes through the `in` operator. -1 on error.
int contains(PyObject* ct, PyObject* marker) noexcept {
    if (!PyBytes_Check(ct)) return PySequence_Contains(ct, marker);
    Py_ssize_t n = PyBytes_GET_SIZE(ct), m = PyBytes_GET_SIZE(marker);
    if (m > n) return 0;
    return memmem(PyBytes_AS_STRING(ct), static_cast<size_t>(n), PyBytes_AS_STRING(marker), static_cast<size_t>(m)) !=
           nullptr;
}

// The message's content type when it is truthy (a new reference); None (a new reference) when it
// is None or empty; null on error.
PyObject* truthy_content_type(PyObject* self) noexcept {
    Ref ct(as_message(self)->ops->content_type(as_message(self), 0));
    if (!ct || ct.get() == Py_None) return ct.release();
    int truth = PyObject_IsTrue(ct.get());
    if (truth < 0) return nullptr;
    return truth ? ct.release() : Py_NewRef(Py_None);
}

// `from quillmoth.contents import simplify_multipart_data`, as at each call, then the call.
PyObject* simplify(PyObject* data) noexcept {
    Ref function(import_attr("quillmoth.contents", "simplify_multipart_data"));
    if (!function) return nullptr;
    return PyObject_CallOneArg(function.get(), data);
}

// value.encode("utf8") when value is truthy, else None.
PyObject* encode(PyObject* value) noexcept {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return nullptr;
    if (!truth) Py_RETURN_NONE;
    if (PyUnicode_CheckExact(value)) return PyUnicode_AsUTF8String(value);
    return call_method(value, g_names[N_ENCODE], g_utf8);
}

// An attribute of a part, encoded by `encode`.
PyObject* encoded_attr(PyObject* part, Name name) noexcept {
    Ref value(PyObject_GetAttr(part, g_names[name]));
    return value ? encode(value.get()) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// _multipart_to_dict_streaming

// Closes `buffer` (the buffer of a part being copied, or null) and the buffers of the parts of
// `result` (name -> list of FormPart), keeping the exception that is pending; errors of close()
// cannot go anywhere and are reported as unraisable.
void close_buffers(PyObject* result, PyObject* buffer) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    auto close = [](PyObject* file) {
        if (!file || file == Py_None) return;
        Ref done(PyObject_CallMethodNoArgs(file, g_names[N_CLOSE]));
        if (!done) PyErr_WriteUnraisable(file);
    };
    close(buffer);
    if (result && PyDict_Check(result)) {
        Ref values(PyDict_Values(result));
        if (!values) PyErr_WriteUnraisable(result);
        for (Py_ssize_t i = 0; values && i < PyList_GET_SIZE(values.get()); ++i) {
            PyObject* parts = PyList_GET_ITEM(values.get(), i);
            if (!PyList_Check(parts)) continue;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(parts); ++j) {
                Ref part = Ref::borrow(PyList_GET_ITEM(parts, j));
                Ref data(PyObject_GetAttr(part.get(), g_names[N_DATA]));
                if (!data) {
                    PyErr_WriteUnraisable(part.get());
                    continue;
                }
                close(data.get());
            }
        }
    }
    PyErr_SetRaisedException(exc);
}

// async def _multipart_to_dict_streaming(stream_iter, spool_max_size=1048576):
//     result = {}
//     async for part in stream_iter:
//         buffer = SpooledTemporaryFile(max_size=spool_max_size, mode="w+b")
//         total_size = 0
//         async for chunk in part.stream():
//             buffer.write(chunk)
//             total_size += len(chunk)
//         buffer.seek(0)
//         result.setdefault(part.name, []).append(FormPart(name=_encode(part.name), data=buffer,
//             file_name=_encode(part.file_name), content_type=_encode(part.content_type),
//             size=total_size, charset=_encode(part.charset)))
//     return result
// On any error (of the parts, their streams, a buffer, or thrown in) every buffer made so far is
// closed and the parts' iterator is closed before the error goes on.
enum ToDictSlot { kTdStream, kTdSpool, kTdParts, kTdResult, kTdPart, kTdChunks, kTdBuffer, kTdError };
enum ToDictState { kTdStart, kTdGotPart, kTdGotChunk, kTdClosed };
enum ToDictScalar { kTdTotal };

Step to_dict_fail(Frame& f) noexcept {
    close_buffers(f[kTdResult], f[kTdBuffer]);
    f.set(kTdResult, nullptr);
    f.set(kTdBuffer, nullptr);
    f.set(kTdChunks, nullptr);
    f.set(kTdPart, nullptr);
    if (!f[kTdParts]) return kFailed;
    f.stash_error(kTdError);
    PyObject* closing = coro::aclose_of(f[kTdParts]);
    if (!closing) return PyErr_Occurred() ? Step(kFailed) : f.reraise(kTdError);
    return f.await(kTdClosed, closing);
}

// The part's FormPart appended under its name, once its stream has ended.
bool store_part(Frame& f) noexcept {
    PyObject* part = f[kTdPart];
    PyObject* buffer = f[kTdBuffer];
    Ref rewound(call_method(buffer, g_names[N_SEEK], g_zero));
    if (!rewound) return false;
    Ref key(PyObject_GetAttr(part, g_names[N_NAME]));
    if (!key) return false;
    Ref name(encode(key.get()));
    Ref file_name(name ? encoded_attr(part, N_FILE_NAME) : nullptr);
    Ref content_type(file_name ? encoded_attr(part, N_CONTENT_TYPE) : nullptr);
    Ref charset(content_type ? encoded_attr(part, N_CHARSET) : nullptr);
    Ref size(charset ? PyLong_FromSsize_t(f.n(kTdTotal)) : nullptr);
    if (!size) return false;
    PyObject* args[] = {name.get(), buffer, file_name.get(), content_type.get(), size.get(), charset.get()};
    Ref form_part(PyObject_Vectorcall(g_form_part, args, 0, g_part_kwnames));
    if (!form_part) return false;
    PyObject* result = f[kTdResult];
    Ref list;
    if (PyDict_GetItemRef(result, key.get(), list.out()) < 0) return false;
    if (!list) {
        list.reset(PyList_New(0));
        if (!list || PyDict_SetItem(result, key.get(), list.get()) < 0) return false;
    }
    if (PyList_Append(list.get(), form_part.get()) < 0) return false;
    // The buffer belongs to the FormPart now, and so to the result.
    f.set(kTdBuffer, nullptr);
    f.set(kTdChunks, nullptr);
    f.set(kTdPart, nullptr);
    return true;
}

Step to_dict_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case kTdStart: {
            PyObject* parts = PyObject_GetAIter(f[kTdStream]);
            if (!parts) return kFailed;
            f.set(kTdParts, parts);
            PyObject* result = PyDict_New();
            if (!result) return kFailed;
            f.set(kTdResult, result);
            return f.await(kTdGotPart, coro::anext(parts));
        }
        case kTdGotPart: {
            if (!sent) {
                if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
                    // The parts' iterator raised: it is finished, nothing to close there.
                    close_buffers(f[kTdResult], nullptr);
                    return kFailed;
                }
                PyErr_Clear();
                return Frame::ret(f.take(kTdResult).release());
            }
            f.set_borrowed(kTdPart, sent);
            PyObject* spool_args[] = {f[kTdSpool], g_mode};
            PyObject* buffer = PyObject_Vectorcall(g_spooled_file, spool_args, 0, g_spool_kwnames);
            if (!buffer) return to_dict_fail(f);
            f.set(kTdBuffer, buffer);
            Ref stream(PyObject_CallMethodNoArgs(sent, g_names[N_STREAM]));
            PyObject* chunks = stream ? PyObject_GetAIter(stream.get()) : nullptr;
            if (!chunks) return to_dict_fail(f);
            f.set(kTdChunks, chunks);
            f.n(kTdTotal) = 0;
            return f.await(kTdGotChunk, coro::anext(chunks));
        }
        case kTdGotChunk: {
            if (sent) {
                Py_ssize_t size = PyBytes_Check(sent) ? PyBytes_GET_SIZE(sent) : PyObject_Length(sent);
                if (size < 0) return to_dict_fail(f);
                Ref written(call_method(f[kTdBuffer], g_names[N_WRITE], sent));
                if (!written) return to_dict_fail(f);
                f.n(kTdTotal) += size;
                return f.await(kTdGotChunk, coro::anext(f[kTdChunks]));
            }
            if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) return to_dict_fail(f);
            PyErr_Clear();
            if (!store_part(f)) return to_dict_fail(f);
            return f.await(kTdGotPart, coro::anext(f[kTdParts]));
        }
        case kTdClosed:
            // An error of aclose() replaces the one that was going on.
            return sent ? f.reraise(kTdError) : Step(kFailed);
    }
    return coro::bad_state(f);
}

constexpr Operation kToDictOp{"_multipart_to_dict_streaming", to_dict_step};

// ---------------------------------------------------------------------------------------------
// multipart_stream

// A module attribute of quillmoth.multipart, imported as at each call.
PyObject* multipart_attr(const char* name) noexcept {
    Ref module(PyImport_GetModule(Ref(PyUnicode_FromString("quillmoth.multipart")).get()));
    if (!module) {
        if (PyErr_Occurred()) return nullptr;
        return import_attr("quillmoth.multipart", name);
    }
    PyObject* attr = PyObject_GetAttrString(module.get(), name);
    if (attr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return attr;
    PyErr_Clear();
    return raise_format(PyExc_ImportError, "cannot import name '%.200s' from 'quillmoth.multipart'", name);
}

// async def multipart_stream(self):
//     ct = self.content_type()
//     if not ct or b"multipart/form-data;" not in ct: return
//     from quillmoth.multipart import get_boundary_from_header, parse_multipart_async
//     try:
//         boundary = get_boundary_from_header(ct)
//     except (ValueError, IndexError) as error:
//         raise BadRequest("...") from error   # a body declared multipart is not dropped unread
//     parts = parse_multipart_async(self.stream(), boundary)
//     try:
//         async for part in parts: yield part
//     finally (on the way out through an exception thrown in at the yield):
//         await parts.aclose()
enum StreamSlot { kMsSelf, kMsParts, kMsError };
enum StreamState { kMsStart, kMsGot, kMsResumed, kMsClosed };

Step multipart_stream_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case kMsStart: {
            Ref ct(truthy_content_type(f[kMsSelf]));
            if (!ct) return kFailed;
            if (ct.get() == Py_None) return Frame::ret_none();
            int multipart = contains(ct.get(), g_multipart_marker);
            if (multipart <= 0) return multipart < 0 ? Step(kFailed) : Frame::ret_none();
            Ref get_boundary(multipart_attr("get_boundary_from_header"));
            Ref parse(get_boundary ? multipart_attr("parse_multipart_async") : nullptr);
            if (!parse) return kFailed;
            Ref boundary(PyObject_CallOneArg(get_boundary.get(), ct.get()));
            if (!boundary) {
                if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_IndexError)) {
                    return kFailed;
                }
                // Taking the body for no form would report a malformed request as an empty one.
                Ref error(PyErr_GetRaisedException());
                PyErr_SetString(g_imports.bad_request, "The multipart/form-data content type has no usable boundary.");
                Ref raised(PyErr_GetRaisedException());
                PyException_SetCause(raised.get(), error.release());
                PyErr_SetRaisedException(raised.release());
                return kFailed;
            }
            Ref stream(PyObject_CallMethodNoArgs(f[kMsSelf], g_names[N_STREAM]));
            if (!stream) return kFailed;
            PyObject* args[] = {stream.get(), boundary.get()};
            Ref parts(PyObject_Vectorcall(parse.get(), args, 2, nullptr));
            PyObject* iterator = parts ? PyObject_GetAIter(parts.get()) : nullptr;
            if (!iterator) return kFailed;
            f.set(kMsParts, iterator);
            return f.await(kMsGot, coro::anext(iterator));
        }
        case kMsGot:
        case kMsResumed:
        case kMsClosed:
            return coro::relay_step(f, sent, {kMsParts, kMsError, kMsGot, kMsResumed, kMsClosed});
    }
    return coro::bad_state(f);
}

constexpr Operation kMultipartStreamOp{"Message.multipart_stream", multipart_stream_step, Kind::kAsyncGenerator};

// ---------------------------------------------------------------------------------------------
// form

// self.multipart_stream(): the native generator for the module's own classes, the method looked
// up otherwise (a subclass's override runs).
PyObject* call_multipart_stream(PyObject* self) noexcept {
    if (native_message(self)) return coro::start(kMultipartStreamOp, self);
    return PyObject_CallMethodNoArgs(self, g_names[N_MULTIPART_STREAM]);
}

// async def form(self, simplify_fields=True):
//     ct = self.content_type()
//     if not ct: return None
//     if self._form_data is not None:
//         if b"multipart/form-data;" in ct and simplify_fields: return simplify_multipart_data(self._form_data)
//         return self._form_data
//     if b"application/x-www-form-urlencoded" in ct:
//         text = await self.text()      (a str, else TypeError)
//         return parse_www_form_urlencoded(text)
//     if b"multipart/form-data;" in ct:
//         self._form_data = await _multipart_to_dict_streaming(self.multipart_stream())
//         return simplify_multipart_data(self._form_data) if simplify_fields else self._form_data
//     return None
enum FormSlot { kFormSelf, kFormSimplify };
enum FormState { kFormStart, kFormGotText, kFormGotParts };

Step form_result(Frame& f, PyObject* data) noexcept {
    int simplify_fields = PyObject_IsTrue(f[kFormSimplify]);
    if (simplify_fields < 0) return kFailed;
    return simplify_fields ? Frame::ret(simplify(data)) : Frame::ret_borrowed(data);
}

Step form_step(Frame& f, PyObject* sent) noexcept {
    MessageObject* self = as_message(f[kFormSelf]);
    switch (f.state) {
        case kFormStart: {
            Ref ct(truthy_content_type(f[kFormSelf]));
            if (!ct) return kFailed;
            if (ct.get() == Py_None) return Frame::ret_none();
            if (self->_form_data != Py_None) {
                Ref cached = Ref::borrow(self->_form_data);
                int multipart = contains(ct.get(), g_multipart_marker);
                if (multipart < 0) return kFailed;
                if (multipart) return form_result(f, cached.get());
                return Frame::ret_borrowed(cached.get());
            }
            int urlencoded = contains(ct.get(), g_urlencoded_marker);
            if (urlencoded < 0) return kFailed;
            if (urlencoded) return f.await(kFormGotText, PyObject_CallMethodNoArgs(f[kFormSelf], g_names[N_TEXT]));
            int multipart = contains(ct.get(), g_multipart_marker);
            if (multipart < 0) return kFailed;
            if (!multipart) return Frame::ret_none();
            Ref stream(call_multipart_stream(f[kFormSelf]));
            if (!stream) return kFailed;
            PyObject* spool = PyLong_FromSsize_t(kSpoolMaxSize);
            if (!spool) return kFailed;
            Ref held(spool);
            return f.await(kFormGotParts, coro::start(kToDictOp, stream.get(), spool));
        }
        case kFormGotText:
            if (!sent) return kFailed;
            if (!PyUnicode_Check(sent)) return raise_expected("str", sent);
            return Frame::ret(g_imports.parse_www_form_urlencoded(sent, 0));
        case kFormGotParts:
            if (!sent) return kFailed;
            replace_field_borrowed(&self->_form_data, sent);
            return form_result(f, sent);
    }
    return coro::bad_state(f);
}

constexpr Operation kFormOp{"Message.form", form_step};

PyObject* form_defaults() noexcept { return PyTuple_Pack(1, Py_True); }

// ---------------------------------------------------------------------------------------------
// multipart, files

// await self.form(simplify_fields=False): the native operation for the module's own classes.
PyObject* call_form_unsimplified(PyObject* self) noexcept {
    if (native_message(self)) return coro::start(kFormOp, self, Py_False);
    Ref method(PyObject_GetAttr(self, g_names[N_FORM]));
    if (!method) return nullptr;
    PyObject* args[] = {Py_False};
    return PyObject_Vectorcall(method.get(), args, 0, g_simplify_kwnames);
}

// Every value of the form in dict order: the items of each list value, and any other value as it
// is (a URL-encoded field given once is a str, which stays whole).
PyObject* flatten(PyObject* data) noexcept {
    Ref result(PyList_New(0));
    if (!result) return nullptr;
    Ref values(PyMapping_Values(data));
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        PyObject* value = PyList_GET_ITEM(values.get(), i);
        if (PyList_Check(value) || PyTuple_Check(value)) {
            Ref items(PySequence_Fast(value, "form values"));
            if (!items) return nullptr;
            for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(items.get()); ++j) {
                if (PyList_Append(result.get(), PySequence_Fast_GET_ITEM(items.get(), j)) < 0) return nullptr;
            }
        } else if (PyList_Append(result.get(), value) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

// async def multipart(self):
//     data = await self.form(simplify_fields=False)
//     return [] if not data else every part of data, in order
enum MultipartSlot { kMpSelf };
Step multipart_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case 0: return f.await(1, call_form_unsimplified(f[kMpSelf]));
        case 1: {
            if (!sent) return kFailed;
            int truth = PyObject_IsTrue(sent);
            if (truth < 0) return kFailed;
            if (!truth) return Frame::ret(PyList_New(0));
            return Frame::ret(flatten(sent));
        }
    }
    return coro::bad_state(f);
}

constexpr Operation kMultipartOp{"Message.multipart", multipart_step};

PyObject* call_multipart(PyObject* self) noexcept {
    if (native_message(self)) return coro::start(kMultipartOp, self);
    return PyObject_CallMethodNoArgs(self, g_names[N_MULTIPART]);
}

// async def files(self, name=None):
//     if isinstance(name, str): name = name.encode("utf8")
//     data = await self.multipart()
//     the parts with a truthy file_name (and, when name is truthy, whose name equals it)
enum FilesSlot { kFilesSelf, kFilesName };
Step files_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case 0: {
            PyObject* name = f[kFilesName];
            if (PyUnicode_Check(name)) {
                PyObject* encoded = PyUnicode_AsUTF8String(name);
                if (!encoded) return kFailed;
                f.set(kFilesName, encoded);
            } else if (name != Py_None && !PyBytes_Check(name)) {
                return raise_arg_type("name", "str or bytes", name);
            }
            return f.await(1, call_multipart(f[kFilesSelf]));
        }
        case 1: {
            if (!sent) return kFailed;
            Ref parts(PySequence_Fast(sent, "multipart() must return a sequence"));
            if (!parts) return kFailed;
            Ref result(PyList_New(0));
            if (!result) return kFailed;
            int by_name = PyObject_IsTrue(f[kFilesName]);
            if (by_name < 0) return kFailed;
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(parts.get()); ++i) {
                PyObject* part = PySequence_Fast_GET_ITEM(parts.get(), i);
                // A URL-encoded form gives str values, which are no files.
                Ref file_name;
                if (PyObject_GetOptionalAttr(part, g_names[N_FILE_NAME], file_name.out()) < 0) return kFailed;
                if (!file_name) continue;
                int is_file = PyObject_IsTrue(file_name.get());
                if (is_file < 0) return kFailed;
                if (!is_file) continue;
                if (by_name) {
                    Ref part_name(PyObject_GetAttr(part, g_names[N_NAME]));
                    if (!part_name) return kFailed;
                    int same = PyObject_RichCompareBool(part_name.get(), f[kFilesName], Py_EQ);
                    if (same < 0) return kFailed;
                    if (!same) continue;
                }
                if (PyList_Append(result.get(), part) < 0) return kFailed;
            }
            return Frame::ret(result.release());
        }
    }
    return coro::bad_state(f);
}

constexpr Operation kFilesOp{"Message.files", files_step};

PyObject* spool_defaults() noexcept {
    Ref size(PyLong_FromSsize_t(kSpoolMaxSize));
    return size ? PyTuple_Pack(1, size.get()) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// _encode

constexpr const char* kValueParam[] = {"value"};
constexpr Signature kEncodeSignature = {"_encode", kValueParam, 1, 1};

PyObject* py_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* value = nullptr;
    if (!parse_args(kEncodeSignature, args, nargs, kwnames, &value)) return nullptr;
    return encode(value);
}

PyMethodDef module_functions[] = {
    QM_FASTCALL_METHOD("_encode", py_encode,
                       "_encode(value)\n--\n\n"
                       "value.encode('utf8') when value is truthy, else None (an empty str and None both give None)."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// The callables

constexpr const char* kSelfParam[] = {"self"};
constexpr const char* kFormParams[] = {"self", "simplify_fields"};
constexpr const char* kFilesParams[] = {"self", "name"};
constexpr const char* kToDictParams[] = {"stream_iter", "spool_max_size"};

const Function kMessageMethods[] = {
    {&kFormOp, {"form", kFormParams, 2, 1},
     "form($self, /, simplify_fields=True)\n--\n\n"
     "The form of the body: a URL-encoded form parsed, or a multipart form (parsed once and kept), its\n"
     "plain fields as text when simplify_fields is true; None for other content.",
     form_defaults},
    {&kMultipartOp, {"multipart", kSelfParam, 1, 1},
     "multipart($self, /)\n--\n\nEvery part of the form, in body order (an empty list without one)."},
    {&kMultipartStreamOp, {"multipart_stream", kSelfParam, 1, 1},
     "multipart_stream($self, /)\n--\n\n"
     "The parts of a multipart body as the parser delivers them, read from the body stream afresh."},
    {&kFilesOp, {"files", kFilesParams, 2, 1},
     "files($self, /, name=None)\n--\n\nThe parts of the form that carry a file name (only those named `name`, if given)."},
};

const Function kModuleFunctions[] = {
    {&kToDictOp, {"_multipart_to_dict_streaming", kToDictParams, 2, 1},
     "_multipart_to_dict_streaming(stream_iter, spool_max_size=1048576)\n--\n\n"
     "A dict from part name to the list of its FormPart objects, each part's bytes copied into a spooled\n"
     "buffer (in memory up to spool_max_size bytes, in a temporary file beyond).",
     spool_defaults},
};

}  // namespace

bool init_forms_unit(PyObject* module) noexcept {
    if (!g_names.intern() || !coro::add_types(module)) return false;
    if (!(g_spooled_file = import_attr("tempfile", "SpooledTemporaryFile")) ||
        !(g_form_part = import_attr("quillmoth.contents", "FormPart"))) {
        return false;
    }
    g_spool_kwnames = Py_BuildValue("(ss)", "max_size", "mode");
    g_part_kwnames = Py_BuildValue("(ssssss)", "name", "data", "file_name", "content_type", "size", "charset");
    g_simplify_kwnames = PyTuple_Pack(1, g_names[N_SIMPLIFY_FIELDS]);
    g_mode = PyUnicode_FromString("w+b");
    g_utf8 = PyUnicode_FromString("utf8");
    g_zero = PyLong_FromLong(0);
    g_multipart_marker = PyBytes_FromString("multipart/form-data;");
    g_urlencoded_marker = PyBytes_FromString("application/x-www-form-urlencoded");
    if (!g_spool_kwnames || !g_part_kwnames || !g_simplify_kwnames || !g_mode || !g_utf8 || !g_zero ||
        !g_multipart_marker || !g_urlencoded_marker) {
        return false;
    }
    return coro::add_methods(g_message_type, kMessageMethods, std::size(kMessageMethods)) &&
           coro::add_functions(module, kModuleFunctions, std::size(kModuleFunctions)) &&
           PyModule_AddFunctions(module, module_functions) == 0;
}

void release_forms_unit() noexcept {
    clear_refs(g_spooled_file, g_form_part, g_spool_kwnames, g_part_kwnames, g_simplify_kwnames, g_mode, g_utf8, g_zero,
               g_multipart_marker, g_urlencoded_marker);
    g_names.release();
}

}  // namespace qm::messages
