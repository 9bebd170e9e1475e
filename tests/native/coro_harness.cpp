// A test module written with the native coroutine mechanism (common/coro.h) the way the framework's
// modules write their coroutine methods, coroutine functions, async generators and generators. Each
// operation has a Python twin in tests/test_coro.py that the tests compare it with.
#include "common/coro.h"
#include "common/native.h"

#include <iterator>

namespace {

using qm::kFailed;
using qm::Ref;
using qm::coro::Frame;
using qm::coro::Function;
using qm::coro::Kind;
using qm::coro::Operation;
using qm::coro::Step;

PyTypeObject* g_holder_type = nullptr;

// ---------------------------------------------------------------------------------------------
// Coroutine functions

// async def identity(value): return value
Step identity_step(Frame& f, PyObject*) { return Frame::ret(f.take(0).release()); }
constexpr Operation kIdentityOp{"identity", identity_step};

// async def await_one(awaitable, transform=None):
//     result = await awaitable
//     return result if transform is None else transform(result)
enum AwaitOneSlot { kAwaitOneAwaitable, kAwaitOneTransform };
Step await_one_step(Frame& f, PyObject* sent) {
    switch (f.state) {
        case 0: return f.await(1, f.take(kAwaitOneAwaitable).release());
        case 1:
            if (!sent) return kFailed;
            if (f[kAwaitOneTransform] == Py_None) return Frame::ret_borrowed(sent);
            return Frame::ret(PyObject_CallOneArg(f[kAwaitOneTransform], sent));
    }
    return qm::coro::bad_state(f);
}
constexpr Operation kAwaitOneOp{"await_one", await_one_step};

// async def await_catching(awaitable, exc_type, fallback):
//     try:
//         return await awaitable
//     except exc_type:
//         return fallback
enum CatchingSlot { kCatchingAwaitable, kCatchingType, kCatchingFallback };
Step await_catching_step(Frame& f, PyObject* sent) {
    switch (f.state) {
        case 0: return f.await(1, f.take(kCatchingAwaitable).release());
        case 1:
            if (sent) return Frame::ret_borrowed(sent);
            if (!PyErr_ExceptionMatches(f[kCatchingType])) return kFailed;
            PyErr_Clear();
            return Frame::ret_borrowed(f[kCatchingFallback]);
    }
    return qm::coro::bad_state(f);
}
constexpr Operation kAwaitCatchingOp{"await_catching", await_catching_step};

// async def guarded(awaitable, log):
//     try:
//         result = await awaitable
//     except BaseException as exc:
//         log.append(type(exc))
//         raise
//     log.append("done")
//     return result
enum GuardedSlot { kGuardedAwaitable, kGuardedLog };
Step guarded_step(Frame& f, PyObject* sent) {
    switch (f.state) {
        case 0: return f.await(1, f.take(kGuardedAwaitable).release());
        case 1: {
            if (!sent) {
                Ref exc(PyErr_GetRaisedException());
                if (PyList_Append(f[kGuardedLog], reinterpret_cast<PyObject*>(Py_TYPE(exc.get()))) < 0) return kFailed;
                PyErr_SetRaisedException(exc.release());
                return kFailed;
            }
            Ref done(PyUnicode_FromString("done"));
            if (!done || PyList_Append(f[kGuardedLog], done.get()) < 0) return kFailed;
            return Frame::ret_borrowed(sent);
        }
    }
    return qm::coro::bad_state(f);
}
constexpr Operation kGuardedOp{"guarded", guarded_step};

// async def await_all(awaitables):
//     results = []
//     for awaitable in awaitables:
//         results.append(await awaitable)
//     return results
enum AwaitAllSlot { kAwaitAllIter, kAwaitAllResults };
Step await_all_step(Frame& f, PyObject* sent) {
    switch (f.state) {
        case 0: {
            PyObject* iter = PyObject_GetIter(f[kAwaitAllIter]);
            if (!iter) return kFailed;
            f.set(kAwaitAllIter, iter);
            PyObject* results = PyList_New(0);
            if (!results) return kFailed;
            f.set(kAwaitAllResults, results);
            break;
        }
        case 1:
            if (!sent) return kFailed;
            if (PyList_Append(f[kAwaitAllResults], sent) < 0) return kFailed;
            break;
        default: return qm::coro::bad_state(f);
    }
    // The iterator may be Python code: it runs while this frame is running, so it cannot resume it.
    PyObject* next = PyIter_Next(f[kAwaitAllIter]);
    if (!next) {
        if (PyErr_Occurred()) return kFailed;
        return Frame::ret(f.take(kAwaitAllResults).release());
    }
    return f.await(1, next);
}
constexpr Operation kAwaitAllOp{"await_all", await_all_step};

// async def nested(value): return await identity(value)
Step nested_step(Frame& f, PyObject* sent) {
    switch (f.state) {
        case 0: return f.await(1, qm::coro::start(kIdentityOp, f[0]));
        case 1: return sent ? Frame::ret_borrowed(sent) : Step(kFailed);
    }
    return qm::coro::bad_state(f);
}
constexpr Operation kNestedOp{"nested", nested_step};

// async def chain(depth, awaitable):
//     if depth <= 0: return await awaitable
//     return await chain(depth - 1, awaitable)
extern const Operation kChainOp;
Step chain_step(Frame& f, PyObject* sent) {
    switch (f.state) {
        case 0: {
            Py_ssize_t depth = PyLong_AsSsize_t(f[0]);
            if (depth == -1 && PyErr_Occurred()) return kFailed;
            if (depth <= 0) return f.await(1, f.take(1).release());
            Ref less(PyLong_FromSsize_t(depth - 1));
            if (!less) return kFailed;
            return f.await(1, qm::coro::start(kChainOp, less.get(), f[1]));
        }
        case 1: return sent ? Frame::ret_borrowed(sent) : Step(kFailed);
    }
    return qm::coro::bad_state(f);
}
constexpr Operation kChainOp{"chain", chain_step};

// async def handle_error(app, request, exc): return await app(request, exc)
enum HandleSlot { kHandleApp, kHandleRequest, kHandleExc };
Step handle_error_step(Frame& f, PyObject* sent) {
    switch (f.state) {
        case 0: {
            PyObject* args[] = {f[kHandleRequest], f[kHandleExc]};
            return f.await(1, PyObject_Vectorcall(f[kHandleApp], args, 2, nullptr));
        }
        case 1: return sent ? Frame::ret_borrowed(sent) : Step(kFailed);
    }
    return qm::coro::bad_state(f);
}
constexpr Operation kHandleErrorOp{"handle_error", handle_error_step};

// async def send_all(send, chunks):
//     for chunk in chunks:
//         await send({"type": "http.response.body", "body": chunk, "more_body": True})
//     await send({"type": "http.response.body", "body": b"", "more_body": False})
//     return len(chunks)
enum SendAllSlot { kSendAllSend, kSendAllChunks };
enum SendAllState { kSendAllStart, kSendAllSent, kSendAllDone };
PyObject* body_message(PyObject* chunk, bool more) {
    return Py_BuildValue("{s:s,s:O,s:O}", "type", "http.response.body", "body", chunk, "more_body",
                         more ? Py_True : Py_False);
}
Step send_all_step(Frame& f, PyObject* sent) {
    switch (f.state) {
        case kSendAllStart:
            if (!PyList_CheckExact(f[kSendAllChunks])) return qm::raise_expected("list", f[kSendAllChunks]);
            break;
        case kSendAllSent:
            if (!sent) return kFailed;
            ++f.n(0);
            break;
        case kSendAllDone:
            if (!sent) return kFailed;
            return Frame::ret(PyLong_FromSsize_t(f.n(0)));
        default: return qm::coro::bad_state(f);
    }
    // `send` may change the list between two chunks: its size is read again each time.
    PyObject* chunks = f[kSendAllChunks];
    if (f.n(0) < PyList_GET_SIZE(chunks)) {
        Ref message(body_message(PyList_GET_ITEM(chunks, f.n(0)), true));
        if (!message) return kFailed;
        return f.await(kSendAllSent, PyObject_CallOneArg(f[kSendAllSend], message.get()));
    }
    Ref empty(PyBytes_FromStringAndSize("", 0));
    Ref message(empty ? body_message(empty.get(), false) : nullptr);
    if (!message) return kFailed;
    return f.await(kSendAllDone, PyObject_CallOneArg(f[kSendAllSend], message.get()));
}
constexpr Operation kSendAllOp{"send_all", send_all_step};

// async def stubborn(first, second):
//     try:
//         return await first
//     except GeneratorExit:
//         return await second
Step stubborn_step(Frame& f, PyObject* sent) {
    switch (f.state) {
        case 0: return f.await(1, f.take(0).release());
        case 1:
            if (sent) return Frame::ret_borrowed(sent);
            if (!PyErr_ExceptionMatches(PyExc_GeneratorExit)) return kFailed;
            PyErr_Clear();
            return f.await(2, f.take(1).release());
        case 2: return sent ? Frame::ret_borrowed(sent) : Step(kFailed);
    }
    return qm::coro::bad_state(f);
}
constexpr Operation kStubbornOp{"stubborn", stubborn_step};

// ---------------------------------------------------------------------------------------------
// An async generator and a generator

// async def aiter_items(source, transform=None):
//     iterator = aiter(source)
//     while True:
//         try:
//             item = await anext(iterator)
//         except StopAsyncIteration:
//             return
//         try:
//             yield item if transform is None else transform(item)
//         except GeneratorExit:
//             if hasattr(iterator, "aclose"):
//                 await iterator.aclose()
//             raise
enum ItemsSlot { kItemsSource, kItemsTransform, kItemsIter, kItemsPending };
enum ItemsState { kItemsStart, kItemsGot, kItemsResumed, kItemsClosed };
Step aiter_items_step(Frame& f, PyObject* sent) {
    switch (f.state) {
        case kItemsStart: {
            PyObject* iter = PyObject_GetAIter(f[kItemsSource]);
            if (!iter) return kFailed;
            f.set(kItemsIter, iter);
            return f.await(kItemsGot, qm::coro::anext(iter));
        }
        case kItemsGot:
            if (!sent) {
                if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) return kFailed;
                PyErr_Clear();
                return Frame::ret_none();
            }
            if (f[kItemsTransform] == Py_None) return f.yield(kItemsResumed, Py_NewRef(sent));
            return f.yield(kItemsResumed, PyObject_CallOneArg(f[kItemsTransform], sent));
        case kItemsResumed: {
            if (sent) return f.await(kItemsGot, qm::coro::anext(f[kItemsIter]));
            if (!PyErr_ExceptionMatches(PyExc_GeneratorExit)) return kFailed;
            PyObject* aclose = nullptr;
            if (PyObject_GetOptionalAttrString(f[kItemsIter], "aclose", &aclose) < 0) return kFailed;
            if (!aclose) return kFailed;  // the GeneratorExit goes on
            f.stash_error(kItemsPending);
            PyObject* closing = PyObject_CallNoArgs(aclose);
            Py_DECREF(aclose);
            return f.await(kItemsClosed, closing);
        }
        case kItemsClosed:
            if (!sent) return kFailed;  // aclose() raised: that replaces the GeneratorExit
            return f.reraise(kItemsPending);
    }
    return qm::coro::bad_state(f);
}
constexpr Operation kAiterItemsOp{"aiter_items", aiter_items_step, Kind::kAsyncGenerator};

// def get_chunks(body, size=4):
//     for start in range(0, len(body), size):
//         yield body[start:start + size]
Step get_chunks_step(Frame& f, PyObject* sent) {
    if (!sent) return kFailed;
    if (f.state == 0) {
        if (!PyBytes_CheckExact(f[0])) return qm::raise_arg_type("body", "bytes", f[0]);
        Py_ssize_t size = PyLong_AsSsize_t(f[1]);
        if (size == -1 && PyErr_Occurred()) return kFailed;
        if (size <= 0) return qm::raise_error(PyExc_ValueError, "size must be positive");
        f.n(1) = size;
    }
    Py_ssize_t start = f.n(0), length = PyBytes_GET_SIZE(f[0]);
    if (start >= length) return Frame::ret_none();
    Py_ssize_t take = length - start < f.n(1) ? length - start : f.n(1);
    f.n(0) = start + take;
    return f.yield(1, PyBytes_FromStringAndSize(PyBytes_AS_STRING(f[0]) + start, take));
}
constexpr Operation kGetChunksOp{"get_chunks", get_chunks_step, Kind::kGenerator};

PyObject* chunk_defaults() { return Py_BuildValue("(i)", 4); }

// ---------------------------------------------------------------------------------------------
// Holder: a native class with coroutine methods

struct HolderObject {
    PyObject_HEAD
    PyObject* value;
};

HolderObject* as_holder(PyObject* op) { return reinterpret_cast<HolderObject*>(op); }

// async def get(self): return self.value
Step holder_get_step(Frame& f, PyObject*) { return Frame::ret_borrowed(as_holder(f[0])->value); }
constexpr Operation kHolderGetOp{"Holder.get", holder_get_step};

// async def exchange(self, awaitable):
//     new = await awaitable
//     old, self.value = self.value, new
//     return old
Step holder_exchange_step(Frame& f, PyObject* sent) {
    switch (f.state) {
        case 0: return f.await(1, f.take(1).release());
        case 1: {
            if (!sent) return kFailed;
            HolderObject* self = as_holder(f[0]);
            PyObject* old = std::exchange(self->value, Py_NewRef(sent));
            return Frame::ret(old);
        }
    }
    return qm::coro::bad_state(f);
}
constexpr Operation kHolderExchangeOp{"Holder.exchange", holder_exchange_step};

PyObject* holder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"value"};
    PyObject* value = Py_None;
    if (!qm::parse_tuple_args({"Holder", names, 1, 0}, args, kwargs, &value)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_holder(self)->value = Py_NewRef(value);
    return self;
}

using HolderFields = qm::ObjectFields<HolderObject, &HolderObject::value>;

PyGetSetDef holder_getset[] = {
    {"value", qm::get_member<&HolderObject::value>, qm::set_any_member<&HolderObject::value>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot holder_slots[] = {
    {Py_tp_doc, const_cast<char*>("Holds a value; its coroutine methods read and replace it.")},
    {Py_tp_new, reinterpret_cast<void*>(holder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(HolderFields::dealloc_with_weakrefs)},
    {Py_tp_traverse, reinterpret_cast<void*>(HolderFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(HolderFields::clear_to_none)},
    {Py_tp_getset, holder_getset},
    {0, nullptr},
};

PyType_Spec holder_spec = {
    "coro_harness.Holder",
    sizeof(HolderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_MANAGED_WEAKREF,
    holder_slots,
};

// ---------------------------------------------------------------------------------------------
// Signatures and the module

constexpr const char* kValueParams[] = {"value"};
constexpr const char* kAwaitOneParams[] = {"awaitable", "transform"};
constexpr const char* kCatchingParams[] = {"awaitable", "exc_type", "fallback"};
constexpr const char* kGuardedParams[] = {"awaitable", "log"};
constexpr const char* kAwaitAllParams[] = {"awaitables"};
constexpr const char* kChainParams[] = {"depth", "awaitable"};
constexpr const char* kHandleParams[] = {"app", "request", "exc"};
constexpr const char* kSendAllParams[] = {"send", "chunks"};
constexpr const char* kStubbornParams[] = {"first", "second"};
constexpr const char* kItemsParams[] = {"source", "transform"};
constexpr const char* kChunksParams[] = {"body", "size"};
constexpr const char* kSelfParams[] = {"self"};
constexpr const char* kExchangeParams[] = {"self", "awaitable"};

const Function kFunctions[] = {
    {&kIdentityOp, {"identity", kValueParams, 1, 1}, "Returns its argument."},
    {&kAwaitOneOp, {"await_one", kAwaitOneParams, 2, 1}, "Awaits one awaitable; transforms its result."},
    {&kAwaitCatchingOp, {"await_catching", kCatchingParams, 3, 3}, "Awaits; an exception of exc_type gives fallback."},
    {&kGuardedOp, {"guarded", kGuardedParams, 2, 2}, "Awaits; logs the exception class or 'done'."},
    {&kAwaitAllOp, {"await_all", kAwaitAllParams, 1, 1}, "Awaits each awaitable in turn."},
    {&kNestedOp, {"nested", kValueParams, 1, 1}, "Awaits identity(value)."},
    {&kChainOp, {"chain", kChainParams, 2, 2}, "Native coroutines awaiting each other, depth deep."},
    {&kHandleErrorOp, {"handle_error", kHandleParams, 3, 3}, "Awaits app(request, exc)."},
    {&kSendAllOp, {"send_all", kSendAllParams, 2, 2}, "Sends each chunk as an ASGI body message."},
    {&kStubbornOp, {"stubborn", kStubbornParams, 2, 2}, "Awaits second when closed while awaiting first."},
    {&kAiterItemsOp, {"aiter_items", kItemsParams, 2, 1}, "Yields the items of an async iterable."},
    {&kGetChunksOp, {"get_chunks", kChunksParams, 2, 1}, "Yields body in pieces of size bytes.", chunk_defaults},
};

const Function kHolderMethods[] = {
    {&kHolderGetOp, {"get", kSelfParams, 1, 1}, "Returns the value."},
    {&kHolderExchangeOp, {"exchange", kExchangeParams, 2, 2}, "Stores what awaitable gives; returns the old value."},
};

// ready(value): the awaitable that completes at once.
PyObject* ready(PyObject*, PyObject* value) { return qm::coro::ready(value); }

// start_identity(value): a native coroutine started from native code, as a step starts one.
PyObject* start_identity(PyObject*, PyObject* value) { return qm::coro::start(kIdentityOp, value); }

// is_native_coroutine(obj)
PyObject* is_native_coroutine(PyObject*, PyObject* obj) { return PyBool_FromLong(qm::coro::is_coroutine(obj)); }

PyMethodDef module_methods[] = {
    {"ready", ready, METH_O, nullptr},
    {"start_identity", start_identity, METH_O, nullptr},
    {"is_native_coroutine", is_native_coroutine, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = qm::make_module_def("coro_harness", "Native coroutines for the tests.", module_methods);

PyObject* build() {
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!qm::coro::add_types(module.get())) return nullptr;
    g_holder_type = qm::add_module_type(module.get(), &holder_spec);
    if (!g_holder_type) return nullptr;
    if (!qm::coro::add_methods(g_holder_type, kHolderMethods, std::size(kHolderMethods))) return nullptr;
    if (!qm::coro::add_functions(module.get(), kFunctions, std::size(kFunctions))) return nullptr;
    if (PyModule_AddIntConstant(module.get(), "FRAME_SLOTS", qm::coro::kSlots) < 0) return nullptr;
    return module.release();
}

void release() {
    qm::coro::release_types();
    qm::clear_refs(g_holder_type);
}

}  // namespace

PyMODINIT_FUNC PyInit_coro_harness(void) { return qm::init_module(build, release); }
