// quillmoth._exceptions: the HTTP exception classes with native fields.
//
// `HTTPException` derives from Exception and adds the int32 `status` (exceptions.h) that the
// application core reads without an attribute lookup. Its subclasses either keep that layout
// (BadRequest, NotFound, UnsupportedMediaType) or add one object field after it
// (InternalServerError.source_error, BadRequestFormat.source_error, UnprocessableEntity.details,
// FailedRequestError.data). `str(exc)` is the message: the constructor stores it as the only
// argument.
#include "common/native.h"
#include "exceptions.h"

namespace qm::exceptions {
namespace {

inline HTTPExceptionObject* as_http(PyObject* op) noexcept { return reinterpret_cast<HTTPExceptionObject*>(op); }
inline HTTPExceptionWithFieldObject* as_with_field(PyObject* op) noexcept {
    return reinterpret_cast<HTTPExceptionWithFieldObject*>(op);
}
inline PyTypeObject* exception_base() noexcept { return reinterpret_cast<PyTypeObject*>(PyExc_Exception); }

// Stores the message as the exception's argument tuple, so str(exc) gives it.
[[nodiscard]] bool set_message(PyObject* op, PyObject* message) noexcept {
    Ref args(PyTuple_Pack(1, message));
    if (!args) return false;
    replace_field(&reinterpret_cast<PyBaseExceptionObject*>(op)->args, args.release());
    return true;
}

[[nodiscard]] bool check_message(PyObject* message) noexcept {
    return check_exact_arg(message, &PyUnicode_Type, "message");
}

[[nodiscard]] bool set_status(PyObject* op, PyObject* status) noexcept {
    return to_c_integer(status, &as_http(op)->status);
}

// The message: the first constructor argument, or None when the exception was built without one.
PyObject* first_arg(PyObject* op) noexcept {
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(op)->args;
    if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0) return PyTuple_GET_ITEM(args, 0);
    return Py_None;
}

// Instance attributes of Python subclasses travel as the pickle state.
[[nodiscard]] PyObject* instance_state(PyObject* op) noexcept {
    PyObject* dict = reinterpret_cast<PyBaseExceptionObject*>(op)->dict;
    if (!dict || !PyDict_Check(dict) || PyDict_GET_SIZE(dict) == 0) return Py_NewRef(Py_None);
    return Py_NewRef(dict);
}

[[nodiscard]] PyObject* reduce_with(PyObject* op, PyObject* ctor_args) noexcept {
    if (!ctor_args) return nullptr;
    Ref held(ctor_args);
    Ref state(instance_state(op));
    if (!state) return nullptr;
    return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(op)), ctor_args, state.get());
}

// ---------------------------------------------------------------------------------------------
// Shared slots

// Each layout releases its own field, then Exception's slots handle the base fields.
using HTTPExceptionFields = ExceptionFields<HTTPExceptionObject>;
using WithFieldFields = ExceptionFields<HTTPExceptionWithFieldObject, &HTTPExceptionWithFieldObject::field>;

constexpr getter kFieldGet = get_member<&HTTPExceptionWithFieldObject::field>;
constexpr setter kFieldSet = set_any_member<&HTTPExceptionWithFieldObject::field>;

PyObject* get_message(PyObject* op, void*) { return Py_NewRef(first_arg(op)); }

// ---------------------------------------------------------------------------------------------
// HTTPException(status, message="HTTP exception")

const char* const kHttpParams[] = {"status", "message"};
const Signature kHttpSignature = {"HTTPException", kHttpParams, 2, 1};

int http_exception_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    PyObject* values[2] = {nullptr, nullptr};
    if (!parse_tuple_args(kHttpSignature, args, kwargs, values)) return -1;
    Ref default_message;
    if (!values[1] || values[1] == Py_None) {
        default_message.reset(PyUnicode_FromString("HTTP exception"));
        if (!default_message) return -1;
        values[1] = default_message.get();
    }
    if (!check_message(values[1]) || !set_status(op, values[0]) || !set_message(op, values[1])) return -1;
    return 0;
}

PyObject* http_exception_reduce(PyObject* op, PyObject*) {
    return reduce_with(op, Py_BuildValue("(iO)", static_cast<int>(as_http(op)->status), first_arg(op)));
}

PyMethodDef http_exception_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(http_exception_reduce), METH_NOARGS,
     PyDoc_STR("__reduce__($self, /)\n--\n\nPickling support.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef http_exception_getset[] = {
    {"status", get_member<&HTTPExceptionObject::status>, set_integer_member<&HTTPExceptionObject::status>,
     PyDoc_STR("The HTTP status code."), nullptr},
    {"message", get_message, nullptr, PyDoc_STR("The message given to the constructor."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot http_exception_slots[] = {
    {Py_tp_doc, const_cast<char*>("HTTPException(status, message='HTTP exception')\n--\n\n"
                                  "An error answered with an HTTP status code.")},
    {Py_tp_init, reinterpret_cast<void*>(http_exception_init)},
    QM_FIELD_GC_SLOTS(HTTPExceptionFields),
    {Py_tp_methods, http_exception_methods},
    {Py_tp_getset, http_exception_getset},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Subclasses with a fixed status and an optional message: BadRequest, NotFound,
// UnsupportedMediaType.

struct FixedStatus {
    const char* name;
    int32_t status;
    const char* default_message;
    const char* doc;
};

constexpr FixedStatus kBadRequest = {"BadRequest", 400, "Bad request",
                                     "BadRequest(message=None)\n--\n\nA request that cannot be served as sent (400)."};
constexpr FixedStatus kNotFound = {"NotFound", 404, "Not found",
                                   "NotFound(message=None)\n--\n\nA resource that does not exist (404)."};
constexpr FixedStatus kUnsupportedMediaType = {
    "UnsupportedMediaType", 415, "Unsupported media type",
    "UnsupportedMediaType(message=None)\n--\n\nA body in a media type the handler does not accept (415)."};

const char* const kMessageParams[] = {"message"};

template <const FixedStatus& kind>
int fixed_status_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const Signature sig = {kind.name, kMessageParams, 1, 0};
    PyObject* message = Py_None;
    if (!parse_tuple_args(sig, args, kwargs, &message)) return -1;
    if (!check_message(message)) return -1;
    Ref default_message;
    if (message == Py_None) {
        default_message.reset(PyUnicode_FromString(kind.default_message));
        if (!default_message) return -1;
        message = default_message.get();
    }
    as_http(op)->status = kind.status;
    return set_message(op, message) ? 0 : -1;
}

PyObject* message_only_reduce(PyObject* op, PyObject*) {
    return reduce_with(op, PyTuple_Pack(1, first_arg(op)));
}

PyMethodDef message_only_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(message_only_reduce), METH_NOARGS,
     PyDoc_STR("__reduce__($self, /)\n--\n\nPickling support.")},
    {nullptr, nullptr, 0, nullptr},
};

template <const FixedStatus& kind>
PyType_Slot fixed_status_slots[] = {
    {Py_tp_doc, const_cast<char*>(kind.doc)},
    {Py_tp_clear, reinterpret_cast<void*>(HTTPExceptionFields::clear)},
    {Py_tp_init, reinterpret_cast<void*>(fixed_status_init<kind>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(HTTPExceptionFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(HTTPExceptionFields::traverse)},
    {Py_tp_methods, message_only_methods},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Subclasses with one object field after `status`.

// InternalServerError(source_error=None): 500, the exception that was being handled.
const char* const kInternalParams[] = {"source_error"};
const Signature kInternalSignature = {"InternalServerError", kInternalParams, 1, 0};

int internal_server_error_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    PyObject* source_error = Py_None;
    if (!parse_tuple_args(kInternalSignature, args, kwargs, &source_error)) return -1;
    Ref message(PyUnicode_FromString("Internal server error"));
    if (!message || !set_message(op, message.get())) return -1;
    as_http(op)->status = 500;
    replace_field_borrowed(&as_with_field(op)->field, source_error);
    return 0;
}

PyObject* internal_server_error_reduce(PyObject* op, PyObject*) {
    PyObject* field = as_with_field(op)->field;
    return reduce_with(op, PyTuple_Pack(1, field ? field : Py_None));
}

// BadRequestFormat(message, source_error=None): 400, the body could not be parsed.
const char* const kFormatParams[] = {"message", "source_error"};
const Signature kFormatSignature = {"BadRequestFormat", kFormatParams, 2, 1};

int bad_request_format_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    PyObject* values[2] = {nullptr, Py_None};
    if (!parse_tuple_args(kFormatSignature, args, kwargs, values)) return -1;
    if (!check_message(values[0]) || !set_message(op, values[0])) return -1;
    as_http(op)->status = 400;
    replace_field_borrowed(&as_with_field(op)->field, values[1]);
    return 0;
}

PyObject* message_and_field_reduce(PyObject* op, PyObject*) {
    PyObject* field = as_with_field(op)->field;
    return reduce_with(op, PyTuple_Pack(2, first_arg(op), field ? field : Py_None));
}

// UnprocessableEntity(message=None, details=None): 422, with optional details for the answer.
const char* const kUnprocessableParams[] = {"message", "details"};
const Signature kUnprocessableSignature = {"UnprocessableEntity", kUnprocessableParams, 2, 0};

int unprocessable_entity_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    PyObject* values[2] = {Py_None, Py_None};
    if (!parse_tuple_args(kUnprocessableSignature, args, kwargs, values)) return -1;
    if (!check_message(values[0])) return -1;
    Ref default_message;
    if (values[0] == Py_None) {
        default_message.reset(PyUnicode_FromString("Unprocessable entity"));
        if (!default_message) return -1;
        values[0] = default_message.get();
    }
    if (!set_message(op, values[0])) return -1;
    as_http(op)->status = 422;
    replace_field_borrowed(&as_with_field(op)->field, values[1]);
    return 0;
}

// FailedRequestError(status, data): a response with an error status; `data` is its body text.
const char* const kFailedParams[] = {"status", "data"};
const Signature kFailedSignature = {"FailedRequestError", kFailedParams, 2, 2};

int failed_request_error_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    PyObject* values[2] = {nullptr, nullptr};
    if (!parse_tuple_args(kFailedSignature, args, kwargs, values)) return -1;
    if (!set_status(op, values[0])) return -1;
    Ref message(PyUnicode_FromFormat("The response status code does not indicate success: %d. Response body: %S",
                                     static_cast<int>(as_http(op)->status), values[1]));
    if (!message || !set_message(op, message.get())) return -1;
    replace_field_borrowed(&as_with_field(op)->field, values[1]);
    return 0;
}

PyObject* failed_request_error_reduce(PyObject* op, PyObject*) {
    PyObject* field = as_with_field(op)->field;
    return reduce_with(op, Py_BuildValue("(iO)", static_cast<int>(as_http(op)->status), field ? field : Py_None));
}

PyObject* with_field_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref op(exception_base()->tp_new(type, args, kwargs));
    if (!op) return nullptr;
    as_with_field(op.get())->field = Py_NewRef(Py_None);
    return op.release();
}

PyMethodDef internal_server_error_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(internal_server_error_reduce), METH_NOARGS,
     PyDoc_STR("__reduce__($self, /)\n--\n\nPickling support.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef message_and_field_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(message_and_field_reduce), METH_NOARGS,
     PyDoc_STR("__reduce__($self, /)\n--\n\nPickling support.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef failed_request_error_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(failed_request_error_reduce), METH_NOARGS,
     PyDoc_STR("__reduce__($self, /)\n--\n\nPickling support.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef source_error_getset[] = {
    {"source_error", kFieldGet, kFieldSet, PyDoc_STR("The error that caused this one, or None."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef details_getset[] = {
    {"details", kFieldGet, kFieldSet, PyDoc_STR("Details of the validation failure, or None."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef data_getset[] = {
    {"data", kFieldGet, kFieldSet, PyDoc_STR("The body text of the failed response."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot internal_server_error_slots[] = {
    {Py_tp_doc, const_cast<char*>("InternalServerError(source_error=None)\n--\n\n"
                                  "An unexpected failure, answered with status 500.")},
    {Py_tp_new, reinterpret_cast<void*>(with_field_new)},
    {Py_tp_init, reinterpret_cast<void*>(internal_server_error_init)},
    QM_FIELD_GC_SLOTS(WithFieldFields),
    {Py_tp_methods, internal_server_error_methods},
    {Py_tp_getset, source_error_getset},
    {0, nullptr},
};

PyType_Slot bad_request_format_slots[] = {
    {Py_tp_doc, const_cast<char*>("BadRequestFormat(message, source_error=None)\n--\n\n"
                                  "A request body that cannot be parsed, answered with status 400.")},
    {Py_tp_new, reinterpret_cast<void*>(with_field_new)},
    {Py_tp_init, reinterpret_cast<void*>(bad_request_format_init)},
    QM_FIELD_GC_SLOTS(WithFieldFields),
    {Py_tp_methods, message_and_field_methods},
    {Py_tp_getset, source_error_getset},
    {0, nullptr},
};

PyType_Slot unprocessable_entity_slots[] = {
    {Py_tp_doc, const_cast<char*>("UnprocessableEntity(message=None, details=None)\n--\n\n"
                                  "Input that is well-formed but invalid, answered with status 422.")},
    {Py_tp_new, reinterpret_cast<void*>(with_field_new)},
    {Py_tp_init, reinterpret_cast<void*>(unprocessable_entity_init)},
    QM_FIELD_GC_SLOTS(WithFieldFields),
    {Py_tp_methods, message_and_field_methods},
    {Py_tp_getset, details_getset},
    {0, nullptr},
};

PyType_Slot failed_request_error_slots[] = {
    {Py_tp_doc, const_cast<char*>("FailedRequestError(status, data)\n--\n\n"
                                  "A response whose status code signals a failure.")},
    {Py_tp_new, reinterpret_cast<void*>(with_field_new)},
    {Py_tp_init, reinterpret_cast<void*>(failed_request_error_init)},
    QM_FIELD_GC_SLOTS(WithFieldFields),
    {Py_tp_methods, failed_request_error_methods},
    {Py_tp_getset, data_getset},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Module

PyModuleDef module_def = qm::make_module_def(
    "quillmoth._exceptions",
    PyDoc_STR("Native HTTP exception classes of quillmoth.exceptions."));

constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;

PyObject* build_module() noexcept {
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;

    static PyType_Spec http_spec = {"quillmoth.exceptions.HTTPException", sizeof(HTTPExceptionObject), 0, kFlags,
                                    http_exception_slots};
    Ref http(reinterpret_cast<PyObject*>(add_module_type(module.get(), &http_spec, PyExc_Exception)));
    if (!http) return nullptr;

    static PyType_Spec fixed_specs[] = {
        {"quillmoth.exceptions.BadRequest", sizeof(HTTPExceptionObject), 0, kFlags, fixed_status_slots<kBadRequest>},
        {"quillmoth.exceptions.NotFound", sizeof(HTTPExceptionObject), 0, kFlags, fixed_status_slots<kNotFound>},
        {"quillmoth.exceptions.UnsupportedMediaType", sizeof(HTTPExceptionObject), 0, kFlags,
         fixed_status_slots<kUnsupportedMediaType>},
    };
    for (PyType_Spec& spec : fixed_specs) {
        Ref type(reinterpret_cast<PyObject*>(add_module_type(module.get(), &spec, http.get())));
        if (!type) return nullptr;
    }
    static PyType_Spec field_specs[] = {
        {"quillmoth.exceptions.InternalServerError", sizeof(HTTPExceptionWithFieldObject), 0, kFlags,
         internal_server_error_slots},
        {"quillmoth.exceptions.BadRequestFormat", sizeof(HTTPExceptionWithFieldObject), 0, kFlags,
         bad_request_format_slots},
        {"quillmoth.exceptions.UnprocessableEntity", sizeof(HTTPExceptionWithFieldObject), 0, kFlags,
         unprocessable_entity_slots},
        {"quillmoth.exceptions.FailedRequestError", sizeof(HTTPExceptionWithFieldObject), 0, kFlags,
         failed_request_error_slots},
    };
    for (PyType_Spec& spec : field_specs) {
        Ref type(reinterpret_cast<PyObject*>(add_module_type(module.get(), &spec, http.get())));
        if (!type) return nullptr;
    }
    // The status is read natively from instances of HTTPException and its subclasses.
    const TypeExport types[] = {{"HTTPException", reinterpret_cast<PyTypeObject*>(http.get())}};
    if (!publish_types(module.get(), types, 1)) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace qm::exceptions

PyMODINIT_FUNC PyInit__exceptions(void) {
    // No state outside the module object: nothing to release when the init fails.
    return qm::init_module(qm::exceptions::build_module, [] {});
}
