// Native async generators: the awaitables that __anext__, asend, athrow and aclose return. Each
// drives the generator's frame through one step of the iteration: what the frame awaits goes up
// to the event loop; the item it yields ends the awaitable with that item; its end raises
// StopAsyncIteration. aclose() throws GeneratorExit in where the generator stands (into what it
// awaits), lets it await its cleanup, and ends quietly once it has finished.
#pragma once

#include "coro_frame.h"

namespace qm::coro::detail {

enum class AsyncMode : uint8_t { kSend, kThrow, kClose };
enum class AsyncState : uint8_t { kInit, kIter, kClosed };

struct AsyncOp {
    PyObject_HEAD
    Frame* gen;
    PyObject* value;  // kSend: the value to send first; kThrow: the tuple of athrow() arguments
    AsyncMode mode;
    AsyncState state;
};

[[nodiscard]] inline PyObject* new_async_op(Frame* gen, AsyncMode mode, PyObject* value) noexcept {
    AsyncOp* o;
    if (g_state.free_op_count > 0) {
        o = g_state.free_ops[--g_state.free_op_count];
        PyObject_Init(reinterpret_cast<PyObject*>(o), g_state.async_op_type);
    } else {
        o = PyObject_GC_New(AsyncOp, g_state.async_op_type);
        if (!o) return nullptr;
    }
    o->gen = reinterpret_cast<Frame*>(Py_NewRef(reinterpret_cast<PyObject*>(gen)));
    o->value = Py_XNewRef(value);
    o->mode = mode;
    o->state = AsyncState::kInit;
    PyObject_GC_Track(o);
    return reinterpret_cast<PyObject*>(o);
}

inline int async_op_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(op));
    AsyncOp* o = reinterpret_cast<AsyncOp*>(op);
    Py_VISIT(reinterpret_cast<PyObject*>(o->gen));
    Py_VISIT(o->value);
    return 0;
}

inline int async_op_clear(PyObject* op) noexcept {
    AsyncOp* o = reinterpret_cast<AsyncOp*>(op);
    o->state = AsyncState::kClosed;
    Py_CLEAR(o->gen);
    Py_CLEAR(o->value);
    return 0;
}

inline void async_op_dealloc(PyObject* op) noexcept {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    (void)async_op_clear(op);
    scrub_kept_stop();
    if (g_state.free_op_count < kFreeAsyncOps) {
        g_state.free_ops[g_state.free_op_count++] = reinterpret_cast<AsyncOp*>(op);
    } else {
        type->tp_free(op);
    }
    Py_DECREF(type);
}

inline void drain_free_ops() noexcept {
    while (g_state.free_op_count > 0) PyObject_GC_Del(g_state.free_ops[--g_state.free_op_count]);
}

QM_COLD inline Failure raise_op_reused(const AsyncOp* o) noexcept {
    return raise_error(PyExc_RuntimeError, o->mode == AsyncMode::kSend
                                               ? "cannot reuse already awaited __anext__()/asend()"
                                               : "cannot reuse already awaited aclose()/athrow()");
}

QM_COLD inline Failure raise_already_running(AsyncOp* o) noexcept {
    o->state = AsyncState::kClosed;
    const char* what = o->mode == AsyncMode::kSend ? "anext" : o->mode == AsyncMode::kThrow ? "athrow" : "aclose";
    return raise_format(PyExc_RuntimeError, "%s(): asynchronous generator is already running", what);
}

// What one drive of the generator means for the awaitable driving it.
inline PySendResult settle(AsyncOp* o, Outcome outcome, PyObject* value, PyObject** out) noexcept {
    Frame* gen = o->gen;
    bool closing = o->mode == AsyncMode::kClose;
    switch (outcome) {
        case Outcome::kAwaitedYield:
            *out = value;
            return PYGEN_NEXT;
        case Outcome::kItem:
            gen->async_running = false;
            o->state = AsyncState::kClosed;
            if (closing) {
                Py_DECREF(value);
                return raise_error(PyExc_RuntimeError, "async generator ignored GeneratorExit");
            }
            *out = value;
            return PYGEN_RETURN;
        case Outcome::kReturn:
            Py_DECREF(value);
            PyErr_SetNone(PyExc_StopAsyncIteration);
            break;
        case Outcome::kError:
            break;
    }
    gen->async_running = false;
    o->state = AsyncState::kClosed;
    if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        gen->async_closed = true;
        if (closing) {
            // The generator has finished: aclose() is done.
            PyErr_Clear();
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
    }
    return PYGEN_ERROR;
}

inline PySendResult async_op_am_send(PyObject* op, PyObject* arg, PyObject** out) noexcept {
    AsyncOp* o = reinterpret_cast<AsyncOp*>(op);
    *out = nullptr;
    if (o->state == AsyncState::kClosed) return raise_op_reused(o);
    Frame* gen = o->gen;
    PyObject* value = nullptr;
    if (o->mode == AsyncMode::kSend) {
        if (o->state == AsyncState::kInit) {
            if (gen->async_running) return raise_already_running(o);
            if (arg == Py_None) arg = o->value;
            o->state = AsyncState::kIter;
            gen->async_running = true;
        }
        Outcome outcome = frame_resume(gen, arg, &value);
        return settle(o, outcome, value, out);
    }
    if (gen->status == Status::kFinished) {
        o->state = AsyncState::kClosed;
        *out = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    if (o->state == AsyncState::kIter) return settle(o, frame_resume(gen, arg, &value), value, out);
    if (gen->async_running) return raise_already_running(o);
    if (gen->async_closed) {
        o->state = AsyncState::kClosed;
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return PYGEN_ERROR;
    }
    if (arg != Py_None) return raise_error(PyExc_RuntimeError, "can't send non-None value to a just-started coroutine");
    o->state = AsyncState::kIter;
    gen->async_running = true;
    Thrown t{PyExc_GeneratorExit, nullptr, nullptr, 1};
    if (o->mode == AsyncMode::kClose) {
        gen->async_closed = true;
    } else {
        Py_ssize_t nargs = PyTuple_GET_SIZE(o->value);
        PyObject* const* args = &PyTuple_GET_ITEM(o->value, 0);
        t = Thrown{args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr, nargs};
    }
    // An async generator is not closed at once for a GeneratorExit: it may await its cleanup.
    Outcome outcome = frame_throw(gen, false, t, &value);
    return settle(o, outcome, value, out);
}

inline PyObject* async_op_send_with(PyObject* op, PyObject* arg, bool kept) noexcept {
    PyObject* out = nullptr;
    switch (async_op_am_send(op, arg, &out)) {
        case PYGEN_NEXT: return out;
        case PYGEN_RETURN:
            if (kept) {
                raise_stop_kept(out);
            } else {
                raise_stop(out);
            }
            Py_DECREF(out);
            return nullptr;
        case PYGEN_ERROR: return nullptr;
    }
    return nullptr;
}

inline PyObject* async_op_send(PyObject* op, PyObject* arg) noexcept { return async_op_send_with(op, arg, false); }

// What `async for` and `await anext(...)` call: the item comes back through the kept StopIteration.
inline PyObject* async_op_iternext(PyObject* op) noexcept { return async_op_send_with(op, Py_None, true); }

// throw() into the awaitable goes on into the generator, where it stands.
inline PyObject* async_op_throw_parsed(AsyncOp* o, const Thrown& t) noexcept {
    if (o->state == AsyncState::kClosed) return raise_op_reused(o);
    Frame* gen = o->gen;
    if (o->state == AsyncState::kInit) {
        if (gen->async_running) return raise_already_running(o);
        o->state = AsyncState::kIter;
        gen->async_running = true;
    }
    PyObject* value = nullptr;
    Outcome outcome = frame_throw(gen, true, t, &value);
    PyObject* out = nullptr;
    switch (settle(o, outcome, value, &out)) {
        case PYGEN_NEXT: return out;
        case PYGEN_RETURN:
            raise_stop(out);
            Py_DECREF(out);
            return nullptr;
        case PYGEN_ERROR: return nullptr;
    }
    return nullptr;
}

inline PyObject* async_op_throw(PyObject* op, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Thrown t;
    if (!parse_thrown("throw", args, nargs, &t)) return nullptr;
    return async_op_throw_parsed(reinterpret_cast<AsyncOp*>(op), t);
}

inline PyObject* async_op_close(PyObject* op, PyObject*) noexcept {
    AsyncOp* o = reinterpret_cast<AsyncOp*>(op);
    if (o->state == AsyncState::kClosed) Py_RETURN_NONE;
    PyObject* result = async_op_throw_parsed(o, Thrown{PyExc_GeneratorExit, nullptr, nullptr, 1});
    if (!result) {
        if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
            PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }
    Py_DECREF(result);
    return raise_error(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
}

inline PyObject* async_op_await(PyObject* op) noexcept { return Py_NewRef(op); }

// ---------------------------------------------------------------------------------------------
// Async generator methods

// The first __anext__, asend, athrow or aclose applies the interpreter's async generator hooks, as
// for a Python async generator: the finalizer hook in force is kept (frame_finalize hands the
// generator to it), and the firstiter hook is called (asyncio's registers the generator with the
// loop, whose shutdown_asyncgens() closes it). An error of firstiter is the call's error.
[[nodiscard]] inline bool start_hooks(Frame* gen) noexcept {
    if (gen->hooks_started) return true;
    gen->hooks_started = true;
    PyThreadState* tstate = PyThreadState_Get();
    if (tstate->async_gen_finalizer) replace_field_borrowed(&gen->finalizer, tstate->async_gen_finalizer);
    if (PyObject* hook = tstate->async_gen_firstiter) {
        Ref firstiter(Py_NewRef(hook));
        Ref result(PyObject_CallOneArg(firstiter.get(), reinterpret_cast<PyObject*>(gen)));
        if (!result) return false;
    }
    return true;
}

inline PyObject* async_gen_anext(PyObject* op) noexcept {
    Frame* gen = reinterpret_cast<Frame*>(op);
    if (!start_hooks(gen)) return nullptr;
    return new_async_op(gen, AsyncMode::kSend, Py_None);
}

inline PyObject* async_gen_aiter(PyObject* op) noexcept { return Py_NewRef(op); }

inline PyObject* async_gen_asend(PyObject* op, PyObject* value) noexcept {
    Frame* gen = reinterpret_cast<Frame*>(op);
    if (!start_hooks(gen)) return nullptr;
    return new_async_op(gen, AsyncMode::kSend, value);
}

inline PyObject* async_gen_athrow(PyObject* op, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Thrown t;
    if (!parse_thrown("athrow", args, nargs, &t)) return nullptr;
    if (!start_hooks(reinterpret_cast<Frame*>(op))) return nullptr;
    Ref packed(PyTuple_New(nargs));
    if (!packed) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(packed.get(), i, Py_NewRef(args[i]));
    return new_async_op(reinterpret_cast<Frame*>(op), AsyncMode::kThrow, packed.get());
}

inline PyObject* async_gen_aclose(PyObject* op, PyObject*) noexcept {
    Frame* gen = reinterpret_cast<Frame*>(op);
    if (!start_hooks(gen)) return nullptr;
    return new_async_op(gen, AsyncMode::kClose, nullptr);
}

inline PyObject* async_gen_get_running(PyObject* op, void*) noexcept {
    return PyBool_FromLong(reinterpret_cast<Frame*>(op)->async_running);
}

}  // namespace qm::coro::detail
