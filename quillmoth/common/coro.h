// Native coroutine functions and methods, and the classes of the mechanism a module creates at init.
//
// A module writes each coroutine method, coroutine function, async generator or generator as an
// Operation with one step function (coro_frame.h tells how steps run), describes its Python
// signature in a Function, and installs it at init:
//
//     enum JsonSlot { kSelf, kLoads };            // the parameters take the first frame slots
//     enum JsonState { kStart, kGotBody };
//     qm::coro::Step json_step(qm::coro::Frame& f, PyObject* sent) {
//         switch (f.state) {
//             case kStart: return f.await(kGotBody, qm::coro::start(kReadOp, f[kSelf]));
//             case kGotBody:
//                 if (!sent) return qm::kFailed;   // read() raised
//                 return f.ret(PyObject_CallOneArg(loads_of(f[kLoads]), sent));
//         }
//         return qm::coro::bad_state(f);
//     }
//     constexpr qm::coro::Operation kJsonOp{"Message.json", json_step};
//     constexpr const char* kJsonParams[] = {"self", "loads"};
//     const qm::coro::Function kMessageMethods[] = {
//         {&kJsonOp, {"json", kJsonParams, 2, 1}, "Reads the body and decodes it as JSON."},
//     };
//     ...
//     if (!qm::coro::add_types(module) ||
//         !qm::coro::add_methods(message_type, kMessageMethods, std::size(kMessageMethods))) ...
//
// The callable is its own class (one per module): calling it costs a builtin's vectorcall, the
// argument parse of args.h and a frame from the free list. To `inspect` it looks like a Python
// coroutine function (or async generator / generator function): a code object with the right flag
// and parameter names, __defaults__, __kwdefaults__, __annotations__, so iscoroutinefunction,
// signature and Signature.from_callable give the real parameters. As a class attribute it is a
// method descriptor: `obj.json()` calls it with obj first, `obj.json` is a bound method.
#pragma once

#include "coro_async.h"
#include "coro_frame.h"
#include "object.h"

#include <cstdio>

namespace qm::coro {

// A Python-visible callable running `op`. `sig` gives its parameters (the first is `self` for a
// method; sig.func is __name__ and the name in argument errors), `doc` its __doc__ (or null), and
// `defaults`, when not null, the defaults of its optional parameters as a new tuple (all None
// otherwise). Static data of the module, like the operation.
struct Function {
    const Operation* op;
    Signature sig;
    const char* doc = nullptr;
    PyObject* (*defaults)() = nullptr;
};

namespace detail {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Function* def;
    PyTypeObject* frame_type;  // the module's class of frames of def->op's kind
    PyTypeObject* self_type;   // for methods: the class `self` must be an instance of
    PyObject* defaults;       // tuple of the optional parameters' defaults, or null when there are none
    PyObject* code;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
};

inline PyTypeObject* frame_type_for(Kind kind) noexcept {
    return kind == Kind::kCoroutine   ? g_state.coroutine_type
           : kind == Kind::kGenerator ? g_state.generator_type
                                      : g_state.async_generator_type;
}

QM_COLD inline Failure raise_bad_self(const FunctionObject* fn, PyObject* self) noexcept {
    return raise_format(PyExc_TypeError, "descriptor '%.200s' for '%.100s' objects doesn't apply to a '%.100s' object",
                        fn->def->sig.func, fn->self_type->tp_name, Py_TYPE(self)->tp_name);
}

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
    auto* fn = reinterpret_cast<FunctionObject*>(callable);
    const Function* def = fn->def;
    const Signature& sig = def->sig;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* values[kSlots];
    if (!(nargs == sig.count && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0))) {
        for (Py_ssize_t i = sig.required; i < sig.count; ++i) {
            values[i] = fn->defaults ? PyTuple_GET_ITEM(fn->defaults, i - sig.required) : Py_None;
        }
        if (!parse_args(sig, args, nargs, kwnames, values)) return nullptr;
        args = values;
    }
    if (fn->self_type && !PyObject_TypeCheck(args[0], fn->self_type)) return raise_bad_self(fn, args[0]);
    return reinterpret_cast<PyObject*>(new_frame(fn->frame_type, def->op, args, sig.count));
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

using FunctionFields = ObjectFields<FunctionObject, &FunctionObject::defaults, &FunctionObject::code,
                                    &FunctionObject::name, &FunctionObject::qualname, &FunctionObject::module,
                                    &FunctionObject::doc, &FunctionObject::annotations>;

inline int function_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    Py_VISIT(reinterpret_cast<PyObject*>(reinterpret_cast<FunctionObject*>(op)->self_type));
    return FunctionFields::traverse(op, visit, arg);
}

inline int function_clear(PyObject* op) noexcept {
    Py_CLEAR(reinterpret_cast<FunctionObject*>(op)->self_type);
    return FunctionFields::clear(op);
}

inline void function_dealloc(PyObject* op) noexcept {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    (void)function_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

inline PyObject* function_repr(PyObject* op) noexcept {
    return PyUnicode_FromFormat("<native function %U at %p>", reinterpret_cast<FunctionObject*>(op)->qualname, op);
}

template <PyObject* FunctionObject::*Member>
PyObject* function_get(PyObject* op, void*) noexcept {
    PyObject* value = reinterpret_cast<FunctionObject*>(op)->*Member;
    return Py_NewRef(value ? value : Py_None);
}

// The code object `inspect` reads: no instructions, only the flags and the parameter names and
// count of the function it stands for.
[[nodiscard]] inline PyObject* make_code(const Function& def, PyObject* module_name, PyObject* name,
                                         PyObject* qualname) noexcept {
    const char* filename = PyUnicode_AsUTF8(module_name);
    const char* funcname = filename ? PyUnicode_AsUTF8(name) : nullptr;
    if (!funcname) return nullptr;
    Ref empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, 1)));
    if (!empty) return nullptr;
    const Signature& sig = def.sig;
    Ref varnames(PyTuple_New(sig.count));
    if (!varnames) return nullptr;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        PyObject* param = PyUnicode_InternFromString(sig.names[i]);
        if (!param) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, param);
    }
    int flag = def.op->kind == Kind::kCoroutine   ? CO_COROUTINE
               : def.op->kind == Kind::kGenerator ? CO_GENERATOR
                                                  : CO_ASYNC_GENERATOR;
    Ref count(PyLong_FromSsize_t(sig.count));
    Ref flags(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS | flag));
    Ref zero(PyLong_FromLong(0));
    Ref kwnames(Py_BuildValue("(sssssss)", "co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_nlocals",
                              "co_varnames", "co_flags", "co_qualname"));
    if (!count || !flags || !zero || !kwnames) return nullptr;
    Ref replace(PyUnicode_InternFromString("replace"));
    if (!replace) return nullptr;
    PyObject* args[] = {empty.get(),  count.get(),    zero.get(),  zero.get(),
                        count.get(),  varnames.get(), flags.get(), qualname};
    return PyObject_VectorcallMethod(replace.get(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get());
}

QM_CORO_LOCAL inline PyGetSetDef function_getset[] = {
    {"__name__", function_get<&FunctionObject::name>, nullptr, nullptr, nullptr},
    {"__qualname__", function_get<&FunctionObject::qualname>, nullptr, nullptr, nullptr},
    {"__module__", function_get<&FunctionObject::module>, nullptr, nullptr, nullptr},
    {"__doc__", function_get<&FunctionObject::doc>, nullptr, nullptr, nullptr},
    {"__code__", function_get<&FunctionObject::code>, nullptr, nullptr, nullptr},
    {"__defaults__", function_get<&FunctionObject::defaults>, nullptr, nullptr, nullptr},
    // Every parameter can be passed by position: there are no keyword-only defaults.
    {"__kwdefaults__", frame_get_none, nullptr, nullptr, nullptr},
    {"__annotations__", function_get<&FunctionObject::annotations>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace detail

// A new native callable for `def` (static data): a method of `self_type` when that is not null.
// `module_name` is its __module__ (and its code object's file name). A new reference, or null.
[[nodiscard]] inline PyObject* new_function(const Function& def, PyTypeObject* self_type, PyObject* module_name) noexcept {
    using detail::FunctionObject;
    const Signature& sig = def.sig;
    if (!detail::g_state.function_type) {
        return raise_error(PyExc_SystemError, "qm::coro::add_types was not called for this module");
    }
    if (sig.count > kSlots || sig.required > sig.count || (self_type && sig.required < 1)) {
        return raise_format(PyExc_SystemError, "native function %.200s: bad signature", def.op->qualname);
    }
    Ref defaults;
    Py_ssize_t optional = sig.count - sig.required;
    if (def.defaults) {
        defaults.reset(def.defaults());
        if (!defaults) return nullptr;
        if (!PyTuple_CheckExact(defaults.get()) || PyTuple_GET_SIZE(defaults.get()) != optional) {
            return raise_format(PyExc_SystemError, "native function %.200s: %zd defaults expected", def.op->qualname,
                                optional);
        }
    } else if (optional > 0) {
        defaults.reset(PyTuple_New(optional));
        if (!defaults) return nullptr;
        for (Py_ssize_t i = 0; i < optional; ++i) PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
    }
    Ref name(PyUnicode_InternFromString(sig.func));
    Ref qualname(name ? PyUnicode_InternFromString(def.op->qualname) : nullptr);
    Ref doc(qualname ? (def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None)) : nullptr);
    Ref annotations(doc ? PyDict_New() : nullptr);
    if (!annotations) return nullptr;
    Ref code(detail::make_code(def, module_name, name.get(), qualname.get()));
    if (!code) return nullptr;
    auto* fn = PyObject_GC_New(FunctionObject, detail::g_state.function_type);
    if (!fn) return nullptr;
    fn->vectorcall = detail::function_vectorcall;
    fn->def = &def;
    fn->frame_type = detail::frame_type_for(def.op->kind);  // the module keeps it as long as fn lives
    fn->self_type = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(self_type)));
    fn->defaults = defaults.release();
    fn->code = code.release();
    fn->name = name.release();
    fn->qualname = qualname.release();
    fn->module = Py_NewRef(module_name);
    fn->doc = doc.release();
    fn->annotations = annotations.release();
    PyObject_GC_Track(fn);
    return reinterpret_cast<PyObject*>(fn);
}

// Installs the callables `defs[0..count)` as methods of the native class `type`, at module init
// before any instance exists. Native classes are immutable to Python code; the class dict is
// written from C and the class's attribute caches are reset after. A name the class already has is
// a SystemError (two definitions of one method).
[[nodiscard]] inline bool add_methods(PyTypeObject* type, const Function* defs, size_t count) noexcept {
    Ref module_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module_name) return false;
    if (!PyUnicode_Check(module_name.get())) return raise_expected("str", module_name.get());
    Ref dict(PyType_GetDict(type));
    if (!dict) return false;
    for (size_t i = 0; i < count; ++i) {
        Ref fn(new_function(defs[i], type, module_name.get()));
        if (!fn) return false;
        PyObject* name = reinterpret_cast<detail::FunctionObject*>(fn.get())->name;
        int present = PyDict_Contains(dict.get(), name);
        if (present < 0) return false;
        if (present) return raise_format(PyExc_SystemError, "%.200s already has an attribute %U", type->tp_name, name);
        if (PyDict_SetItem(dict.get(), name, fn.get()) < 0) return false;
    }
    PyType_Modified(type);
    return true;
}

// Adds the callables `defs[0..count)` to `module` as module-level functions.
[[nodiscard]] inline bool add_functions(PyObject* module, const Function* defs, size_t count) noexcept {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (size_t i = 0; i < count; ++i) {
        Ref fn(new_function(defs[i], nullptr, module_name.get()));
        if (!fn) return false;
        if (PyModule_AddObjectRef(module, defs[i].sig.func, fn.get()) < 0) return false;
    }
    return true;
}

// The awaitable that closes an async iterator on the way out (its aclose()), or null with no
// error set when it has none; null with an error when looking it up or calling it failed.
inline PyObject* aclose_of(PyObject* iterator) noexcept {
    PyObject* aclose;
    if (PyObject_GetOptionalAttr(iterator, detail::g_state.names[detail::kNameAclose], &aclose) <= 0) return nullptr;
    PyObject* closing = PyObject_CallNoArgs(aclose);
    Py_DECREF(aclose);
    return closing;
}

// The states of an async generator that hands on what another async iterator yields:
//     try:
//         async for item in iterator: yield item
//     finally (on the way out through an exception thrown in at the yield, as aclose() throws
//     GeneratorExit): await iterator.aclose()
// The generator keeps the iterator in slot `iterator` and an error in slot `error`, starts the
// relay with `f.await(got, anext(iterator))`, and hands each of the three states to relay_step.
struct Relay {
    int iterator, error;   // frame slots
    int got, resumed, closed;  // states: the next item came, the yield came back, aclose() ended
};

inline Step relay_step(Frame& f, PyObject* sent, const Relay& r) noexcept {
    if (f.state == r.got) {
        if (sent) return f.yield(r.resumed, Py_NewRef(sent));
        if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) return kFailed;
        PyErr_Clear();
        return Frame::ret_none();
    }
    if (f.state == r.resumed) {
        if (sent) return f.await(r.got, anext(f[r.iterator]));
        f.stash_error(r.error);
        PyObject* closing = aclose_of(f[r.iterator]);
        if (!closing) return PyErr_Occurred() ? Step(kFailed) : f.reraise(r.error);
        return f.await(r.closed, closing);
    }
    // An error of aclose() replaces the one that was going on.
    return sent ? f.reraise(r.error) : Step(kFailed);
}

// Whether `attr` (found on a class) is the native callable made from `def`: for operation tables
// that honour Python overrides of a coroutine method.
inline bool is_function_of(PyObject* attr, const Function* def) noexcept {
    return detail::g_state.function_type && Py_IS_TYPE(attr, detail::g_state.function_type) &&
           reinterpret_cast<detail::FunctionObject*>(attr)->def == def;
}

namespace detail {

inline constexpr const char* kNameTexts[kNameCount] = {"throw", "close", "aclose"};

#define QM_CORO_DOC(sig, text) PyDoc_STR(sig "\n--\n\n" text)

QM_CORO_LOCAL inline PyMethodDef coroutine_methods[] = {
    {"send", frame_method_send, METH_O, QM_CORO_DOC("send($self, value, /)", "Sends a value into the coroutine.")},
    {"throw", QM_FASTCALL(frame_method_throw), METH_FASTCALL,
     QM_CORO_DOC("throw($self, typ, val=None, tb=None, /)", "Raises an exception in the coroutine where it stands.")},
    {"close", frame_method_close, METH_NOARGS,
     QM_CORO_DOC("close($self, /)", "Raises GeneratorExit in the coroutine where it stands.")},
    {nullptr, nullptr, 0, nullptr},
};

QM_CORO_LOCAL inline PyMethodDef generator_methods[] = {
    {"send", frame_method_send, METH_O, QM_CORO_DOC("send($self, value, /)", "Sends a value into the generator.")},
    {"throw", QM_FASTCALL(frame_method_throw), METH_FASTCALL,
     QM_CORO_DOC("throw($self, typ, val=None, tb=None, /)", "Raises an exception in the generator where it stands.")},
    {"close", frame_method_close, METH_NOARGS,
     QM_CORO_DOC("close($self, /)", "Raises GeneratorExit in the generator where it stands.")},
    {nullptr, nullptr, 0, nullptr},
};

QM_CORO_LOCAL inline PyMethodDef async_generator_methods[] = {
    {"asend", async_gen_asend, METH_O,
     QM_CORO_DOC("asend($self, value, /)", "An awaitable that sends a value into the generator.")},
    {"athrow", QM_FASTCALL(async_gen_athrow), METH_FASTCALL,
     QM_CORO_DOC("athrow($self, typ, val=None, tb=None, /)", "An awaitable that raises an exception in the generator.")},
    {"aclose", async_gen_aclose, METH_NOARGS,
     QM_CORO_DOC("aclose($self, /)", "An awaitable that raises GeneratorExit in the generator.")},
    {nullptr, nullptr, 0, nullptr},
};

QM_CORO_LOCAL inline PyMethodDef async_op_methods[] = {
    {"send", async_op_send, METH_O, QM_CORO_DOC("send($self, value, /)", "Sends a value into the generator.")},
    {"throw", QM_FASTCALL(async_op_throw), METH_FASTCALL,
     QM_CORO_DOC("throw($self, typ, val=None, tb=None, /)", "Raises an exception in the generator.")},
    {"close", async_op_close, METH_NOARGS, QM_CORO_DOC("close($self, /)", "Closes the awaitable.")},
    {nullptr, nullptr, 0, nullptr},
};

#undef QM_CORO_DOC

QM_CORO_LOCAL inline PyGetSetDef coroutine_getset[] = {
    {"__name__", frame_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", frame_get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", frame_get_awaiting, nullptr, nullptr, nullptr},
    {"cr_running", frame_get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", frame_get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", frame_get_none, nullptr, nullptr, nullptr},
    {"cr_code", frame_get_none, nullptr, nullptr, nullptr},
    {"cr_origin", frame_get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

QM_CORO_LOCAL inline PyGetSetDef generator_getset[] = {
    {"__name__", frame_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", frame_get_qualname, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", frame_get_none, nullptr, nullptr, nullptr},
    {"gi_running", frame_get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", frame_get_suspended, nullptr, nullptr, nullptr},
    {"gi_frame", frame_get_none, nullptr, nullptr, nullptr},
    {"gi_code", frame_get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

QM_CORO_LOCAL inline PyGetSetDef async_generator_getset[] = {
    {"__name__", frame_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", frame_get_qualname, nullptr, nullptr, nullptr},
    {"ag_await", frame_get_awaiting, nullptr, nullptr, nullptr},
    {"ag_running", async_gen_get_running, nullptr, nullptr, nullptr},
    {"ag_suspended", frame_get_suspended, nullptr, nullptr, nullptr},
    {"ag_frame", frame_get_none, nullptr, nullptr, nullptr},
    {"ag_code", frame_get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

QM_CORO_LOCAL inline PyMemberDef frame_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Frame, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

QM_CORO_LOCAL inline PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline constexpr unsigned long kClassFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

// The marker every module's frame classes carry (see is_frame_type); null where types have no
// token (before 3.14).
[[nodiscard]] inline bool find_token() noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    static_assert(sizeof(Frame) < 1000, "the marker name holds the frame size in three digits");
    char key[64];
    std::snprintf(key, sizeof key, "quillmoth.coro.frame.v1.%03zu", sizeof(Frame));
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (!dict) return raise_error(PyExc_SystemError, "no interpreter dict");
    // The pointer only identifies the layout; it is never read through.
    Ref mine(PyCapsule_New(&g_state, nullptr, nullptr));
    if (!mine) return false;
    PyObject* found = nullptr;
    if (PyDict_SetDefaultRef(dict, Ref(PyUnicode_FromString(key)).get(), mine.get(), &found) < 0) return false;
    Ref holder(found);
    g_state.token = PyCapsule_GetPointer(found, nullptr);
    return g_state.token != nullptr;
#else
    return true;
#endif
}

[[nodiscard]] inline PyTypeObject* make_type(PyObject* module, const char* module_name, const char* class_name,
                                             Py_ssize_t basicsize, unsigned long flags, PyType_Slot* slots) noexcept {
    char name[256];
    std::snprintf(name, sizeof name, "%s.%s", module_name, class_name);
    PyType_Spec spec = {name, static_cast<int>(basicsize), 0, static_cast<unsigned int>(flags), slots};
    return new_module_type(module, &spec);
}

inline void release_state() noexcept {
    drain_free_frames();
    drain_free_ops();
    Py_CLEAR(g_state.stop);
    Py_CLEAR(g_state.stop_args);
    Py_CLEAR(g_state.coroutine_type);
    Py_CLEAR(g_state.generator_type);
    Py_CLEAR(g_state.async_generator_type);
    Py_CLEAR(g_state.async_op_type);
    Py_CLEAR(g_state.function_type);
    Py_CLEAR(g_state.ready_type);
    for (PyObject*& name : g_state.names) Py_CLEAR(name);
    g_state.token = nullptr;
}

// The getter behind a Python coroutine's cr_await, so that awaiting one never looks it up.
[[nodiscard]] inline bool find_coro_await_getter() noexcept {
    Ref dict(PyType_GetDict(&PyCoro_Type));
    if (!dict) return false;
    PyObject* descr = PyDict_GetItemString(dict.get(), "cr_await");  // borrowed
    if (!descr || !Py_IS_TYPE(descr, &PyGetSetDescr_Type) ||
        !reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset->get) {
        return raise_error(PyExc_SystemError, "coroutine.cr_await is not a getter");
    }
    PyGetSetDef* def = reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset;
    g_state.coro_await_get = def->get;
    g_state.coro_await_closure = def->closure;
    return true;
}

[[nodiscard]] inline bool make_types(PyObject* module) noexcept {
    for (int i = 0; i < kNameCount; ++i) {
        g_state.names[i] = PyUnicode_InternFromString(kNameTexts[i]);
        if (!g_state.names[i]) return false;
    }
    if (!find_coro_await_getter()) return false;
    if (!find_token()) return false;
    const char* module_name = PyModule_GetName(module);
    if (!module_name) return false;
#if PY_VERSION_HEX >= 0x030E0000
#define QM_CORO_TOKEN_SLOT {Py_tp_token, g_state.token},
#else
#define QM_CORO_TOKEN_SLOT
#endif
    PyType_Slot coroutine_slots[] = {
        {Py_tp_doc, const_cast<char*>("A coroutine run by native code.")},
        QM_GC_SLOTS(frame_dealloc, frame_traverse, frame_clear),
        {Py_tp_finalize, reinterpret_cast<void*>(frame_finalize)},
        {Py_tp_repr, reinterpret_cast<void*>(frame_repr)},
        {Py_tp_iternext, reinterpret_cast<void*>(frame_iternext)},
        {Py_am_await, reinterpret_cast<void*>(coroutine_await)},
        {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
        {Py_tp_methods, coroutine_methods},
        {Py_tp_getset, coroutine_getset},
        {Py_tp_members, frame_members},
        QM_CORO_TOKEN_SLOT
        {0, nullptr},
    };
    PyType_Slot generator_slots[] = {
        {Py_tp_doc, const_cast<char*>("A generator run by native code.")},
        QM_GC_SLOTS(frame_dealloc, frame_traverse, frame_clear),
        {Py_tp_finalize, reinterpret_cast<void*>(frame_finalize)},
        {Py_tp_repr, reinterpret_cast<void*>(frame_repr)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(frame_iternext)},
        {Py_tp_methods, generator_methods},
        {Py_tp_getset, generator_getset},
        {Py_tp_members, frame_members},
        QM_CORO_TOKEN_SLOT
        {0, nullptr},
    };
    PyType_Slot async_generator_slots[] = {
        {Py_tp_doc, const_cast<char*>("An async generator run by native code.")},
        QM_GC_SLOTS(frame_dealloc, frame_traverse, frame_clear),
        {Py_tp_finalize, reinterpret_cast<void*>(frame_finalize)},
        {Py_tp_repr, reinterpret_cast<void*>(frame_repr)},
        {Py_am_aiter, reinterpret_cast<void*>(async_gen_aiter)},
        {Py_am_anext, reinterpret_cast<void*>(async_gen_anext)},
        {Py_tp_methods, async_generator_methods},
        {Py_tp_getset, async_generator_getset},
        {Py_tp_members, frame_members},
        QM_CORO_TOKEN_SLOT
        {0, nullptr},
    };
#undef QM_CORO_TOKEN_SLOT
    PyType_Slot async_op_slots[] = {
        {Py_tp_doc, const_cast<char*>("The awaitable of one step of a native async generator.")},
        QM_GC_SLOTS(async_op_dealloc, async_op_traverse, async_op_clear),
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(async_op_iternext)},
        {Py_am_await, reinterpret_cast<void*>(async_op_await)},
        {Py_am_send, reinterpret_cast<void*>(async_op_am_send)},
        {Py_tp_methods, async_op_methods},
        {0, nullptr},
    };
    PyType_Slot ready_slots[] = {
        {Py_tp_doc, const_cast<char*>("An awaitable that is done already with its value.")},
        QM_GC_SLOTS(ready_dealloc, ready_traverse, ready_clear),
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(ready_iternext)},
        {Py_am_await, reinterpret_cast<void*>(ready_await)},
        {Py_am_send, reinterpret_cast<void*>(ready_am_send)},
        {Py_tp_methods, ready_methods},
        {0, nullptr},
    };
    // No class docstring: it would hide the `__doc__` of each function (the getset above).
    PyType_Slot function_slots[] = {
        QM_GC_SLOTS(function_dealloc, function_traverse, function_clear),
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
        {Py_tp_getset, function_getset},
        {Py_tp_members, function_members},
        {0, nullptr},
    };
    g_state.coroutine_type =
        make_type(module, module_name, "native_coroutine", sizeof(Frame), kClassFlags, coroutine_slots);
    if (!g_state.coroutine_type) return false;
    g_state.generator_type =
        make_type(module, module_name, "native_generator", sizeof(Frame), kClassFlags, generator_slots);
    if (!g_state.generator_type) return false;
    g_state.async_generator_type =
        make_type(module, module_name, "native_async_generator", sizeof(Frame), kClassFlags, async_generator_slots);
    if (!g_state.async_generator_type) return false;
    g_state.async_op_type =
        make_type(module, module_name, "native_async_generator_step", sizeof(AsyncOp), kClassFlags, async_op_slots);
    if (!g_state.async_op_type) return false;
    g_state.ready_type = make_type(module, module_name, "ready", sizeof(ReadyObject), kClassFlags, ready_slots);
    if (!g_state.ready_type) return false;
    g_state.function_type =
        make_type(module, module_name, "native_function", sizeof(FunctionObject),
                  kClassFlags | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR, function_slots);
    return g_state.function_type != nullptr;
}

}  // namespace detail

// Creates this module's classes of the mechanism (coroutine, generator, async generator, the async
// generator's step awaitable, the done awaitable of `ready`, the native function). Called once from the module's init before any
// operation starts; on failure the module's release must call release_types().
[[nodiscard]] inline bool add_types(PyObject* module) noexcept {
    if (detail::g_state.function_type) return true;
    if (detail::make_types(module)) return true;
    PyObject* exc = PyErr_GetRaisedException();
    detail::release_state();
    PyErr_SetRaisedException(exc);
    return false;
}

// Drops the classes and the free lists (for a module's release after a failed init).
inline void release_types() noexcept { detail::release_state(); }

}  // namespace qm::coro
