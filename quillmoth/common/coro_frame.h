// Native coroutines, generators and async generators as explicit state machines: the frame object,
// the step protocol, and the one driver behind every send, throw and close.
//
// An operation (Message.json, BaseApplication.handle, get_chunks) is one step function over a frame:
//
//     Step json_step(Frame& f, PyObject* sent);
//
// The frame is the coroutine object itself. It holds the operation's state as a resume label
// (`f.state`, 0 on the first call), kSlots owned object slots (the arguments first, then whatever
// the operation keeps across a suspension; read with f[i], written only through f.set / f.take so
// that the collector and the release see them) and kScalars plain integers. Each call of the step
// function runs from one suspension point to the next and says what comes next:
//
//     return f.await(kGotBody, awaitable);   suspend on `awaitable` (a new reference), resume at kGotBody
//     return f.yield(kNext, item);           (generators, async generators) hand `item` out, resume at kNext
//     return f.ret(value);                   finish with `value` (a new reference)
//     return qm::kFailed;                    finish with the exception that is set (any qm::raise_...)
//
// `sent` is what arrives at the suspension point (borrowed for the call; f.set_borrowed keeps it):
// Py_None on the first call, then the result of the await, or the value sent into a generator after
// a yield. When `sent` is null an exception is set:
// the awaited object raised, or one was thrown in (throw(), close()'s GeneratorExit, a task's
// CancelledError). The step function handles it like an except clause (test it with
// PyErr_ExceptionMatches, clear it, go on) or propagates it by returning kFailed. A null
// awaitable, item or value passed to await/yield/ret (a failed C API call) propagates its error.
//
// The driver: when a step awaits, the driver takes the object's awaitable iterator (the object
// itself for a native coroutine or a Python coroutine, its __await__ result otherwise) and sends
// None into it at once. An awaitable that finishes without suspending (a native coroutine that
// returns at once, a done future) never leaves the driver's loop: its result goes straight to the
// next step. One that yields hands what it yielded up to the caller unchanged (to the event loop,
// through every native frame in between), and the frame stays suspended on it: send() and throw()
// go down into it, close() closes it. A native coroutine of this mechanism awaited by another is
// resumed directly through the frame functions below (no iterator protocol, no StopIteration
// objects), whichever module made it.
//
// Python code runs inside a step wherever the step calls it, and while the driver sends into or
// closes the awaited object. The frame is running then: code that tries to resume it again gets
// "coroutine already executing", and the frame's state cannot change under the step. A frame that
// finishes drops its slots at once; a destructor run by that finds it finished. An operation that
// needs more than kSlots objects keeps the rest in a tuple or list in one slot.
//
// Costs: a frame comes from a small free list and needs no other allocation; awaiting something
// that completes at once costs one call of its send slot. The garbage collector sees every slot, the
// awaited object and the class; a suspended frame that becomes garbage is closed first (its step
// sees GeneratorExit and may clean up), as a Python coroutine is.
#pragma once

#include "args.h"
#include "ref.h"

#include <cstdint>
#include <cstring>
#include <utility>

// The per-module state below must stay in the module that compiled it (never shared between
// extension modules by the dynamic linker), whatever the build's default visibility.
#define QM_CORO_LOCAL __attribute__((visibility("hidden")))

namespace qm::coro {

inline constexpr int kSlots = 8;
inline constexpr int kScalars = 4;

enum class Kind : uint8_t { kCoroutine, kGenerator, kAsyncGenerator };

struct Frame;
struct Step;
using StepFn = Step (*)(Frame& f, PyObject* sent);

// What a frame runs. `qualname` ("Message.json") names it in reprs, __qualname__ and __name__ (its
// last dotted part). Operations are static data of the module that defines them.
struct Operation {
    const char* qualname;
    StepFn step;
    Kind kind = Kind::kCoroutine;
};

// What a step function returns; see the file comment. Any qm::raise_... (a Failure) converts to a
// step that propagates the exception.
struct [[nodiscard]] Step {
    enum Action : uint8_t { kRaise, kReturn, kAwait, kYield };
    Action action;
    PyObject* value;  // a new reference, null for kRaise
    constexpr Step(Action a, PyObject* v) noexcept : action(a), value(v) {}
    constexpr Step(Failure) noexcept : action(kRaise), value(nullptr) {}
};

enum class Status : uint8_t { kCreated, kSuspended, kRunning, kFinished };

struct Frame {
    PyObject_HEAD
    const Operation* op;
    PyObject* awaiting;  // the awaitable iterator the frame is suspended on, or null
    PyObject* slots[kSlots];
    Py_ssize_t scalars[kScalars];
    int state;  // the step function's resume label
    Status status;
    bool async_running;  // async generators: an __anext__/asend/athrow/aclose awaitable drives it
    bool async_closed;   // async generators: aclose() began, or it ended
    bool finalized;      // frame_finalize ran (the collector's mark is set in the header)
    bool hooks_started;  // async generators: the interpreter's async generator hooks were applied
    uint8_t top;         // slots at and past this index are null
    PyObject* finalizer;  // async generators: the finalizer hook in force when it started, or null
    PyObject* weakrefs;

    // Slot i, borrowed (null when empty).
    PyObject* operator[](int i) const noexcept { return slots[i]; }
    // Stores a new reference (or null) into slot i, releasing what it held.
    void set(int i, PyObject* owned) noexcept {
        if (i >= top) top = static_cast<uint8_t>(i + 1);
        replace_field(&slots[i], owned);
    }
    void set_borrowed(int i, PyObject* borrowed) noexcept { set(i, Py_XNewRef(borrowed)); }
    // Empties slot i, handing its reference to the caller.
    Ref take(int i) noexcept { return Ref(std::exchange(slots[i], nullptr)); }
    Py_ssize_t& n(int i) noexcept { return scalars[i]; }

    Step await(int next, PyObject* awaitable) noexcept {
        state = next;
        return awaitable ? Step(Step::kAwait, awaitable) : Step(kFailed);
    }
    Step yield(int next, PyObject* item) noexcept {
        state = next;
        return item ? Step(Step::kYield, item) : Step(kFailed);
    }
    static Step ret(PyObject* value) noexcept { return value ? Step(Step::kReturn, value) : Step(kFailed); }
    static Step ret_none() noexcept { return Step(Step::kReturn, Py_NewRef(Py_None)); }
    static Step ret_borrowed(PyObject* value) noexcept { return Step(Step::kReturn, Py_NewRef(value)); }

    // For a handler that must await before it lets an exception go on (an aclose() on the way out):
    // keep the pending exception in slot i, then raise it again from a later state.
    void stash_error(int i) noexcept { set(i, PyErr_GetRaisedException()); }
    Step reraise(int i) noexcept {
        PyObject* exc = std::exchange(slots[i], nullptr);
        if (!exc) return raise_error(PyExc_SystemError, "no stashed exception to raise again");
        PyErr_SetRaisedException(exc);
        return kFailed;
    }
};

// For the `default:` of a step function's switch: a resume label it does not know.
QM_COLD inline Failure bad_state(const Frame& f) noexcept {
    return raise_format(PyExc_SystemError, "native %.200s resumed at unknown state %d", f.op->qualname, f.state);
}

namespace detail {

inline constexpr int kFreeFrames = 32;
inline constexpr int kFreeAsyncOps = 16;

struct AsyncOp;

enum NameIndex { kNameThrow, kNameClose, kNameAclose, kNameCount };

// Everything the mechanism keeps per module: its classes, the marker shared by every module's
// frame classes, interned names and the free lists.
struct ModuleState {
    PyTypeObject* coroutine_type;
    PyTypeObject* generator_type;
    PyTypeObject* async_generator_type;
    PyTypeObject* async_op_type;
    PyTypeObject* function_type;
    PyTypeObject* ready_type;
    void* token;
    PyObject* names[kNameCount];
    Frame* free_frames[kFreeFrames];
    int free_frame_count;
    AsyncOp* free_ops[kFreeAsyncOps];
    int free_op_count;
    getter coro_await_get;        // the getter of a Python coroutine's cr_await, and its closure
    void* coro_await_closure;
    PyStopIterationObject* stop;  // the StopIteration reused for returns (see raise_stop)
    PyObject* stop_args;          // and its one-item args tuple
};

QM_CORO_LOCAL inline ModuleState g_state = {};

// What one run of a frame ends with.
enum class Outcome : uint8_t {
    kAwaitedYield,  // the awaited object yielded *out (handed up unchanged); the frame is suspended on it
    kItem,          // the step yielded *out (generators, async generators); the frame is suspended
    kReturn,        // the frame finished with *out
    kError,         // the frame finished with the exception set
};

// An error raised where an Outcome is returned: `return failed(raise_running(f));`.
inline constexpr Outcome failed(Failure) noexcept { return Outcome::kError; }

// Arguments of a throw(), as given: `val` and `tb` null when not passed.
struct Thrown {
    PyObject* typ;
    PyObject* val;
    PyObject* tb;
    Py_ssize_t nargs;
};

inline const char* kind_word(Kind kind) noexcept {
    switch (kind) {
        case Kind::kCoroutine: return "coroutine";
        case Kind::kGenerator: return "generator";
        case Kind::kAsyncGenerator: return "async generator";
    }
    return "coroutine";
}

QM_COLD inline Failure raise_running(const Frame* f) noexcept {
    return raise_format(PyExc_ValueError, "%s already executing", kind_word(f->op->kind));
}

QM_COLD inline Failure raise_reused() noexcept {
    return raise_error(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
}

QM_COLD inline Failure raise_non_none_start(const Frame* f) noexcept {
    return raise_format(PyExc_TypeError, "can't send non-None value to a just-started %s", kind_word(f->op->kind));
}

// A frame of this mechanism, made by this module or another one. Each module has its own classes;
// they share the marker (the type token), which the first module to load puts in the interpreter's
// dict under a name that includes the frame layout's version, so frames built from another layout
// are never taken for ours.
inline bool is_frame_type(PyTypeObject* type) noexcept {
    if (type == g_state.coroutine_type || type == g_state.generator_type || type == g_state.async_generator_type) {
        return true;
    }
#if PY_VERSION_HEX >= 0x030E0000
    return g_state.token && (type->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
           reinterpret_cast<PyHeapTypeObject*>(type)->ht_token == g_state.token;
#else
    return false;
#endif
}

inline Frame* as_native_coroutine(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == g_state.coroutine_type) return reinterpret_cast<Frame*>(obj);
    if (!is_frame_type(type)) return nullptr;
    Frame* frame = reinterpret_cast<Frame*>(obj);
    return frame->op->kind == Kind::kCoroutine ? frame : nullptr;
}

// Returning through StopIteration. The interpreter's `await` (and `async for`) resumes an awaitable
// that is not one of its own coroutines through __next__ (not through the send slot, which
// asyncio's tasks use), so a native coroutine awaited from Python code returns its value as
// StopIteration(value). Building and freeing that exception would cost more than the whole await of
// a Python coroutine, so each module keeps one instance and __next__ raises it again whenever
// nothing else holds it: the interpreter takes the value out at once and drops the exception. While
// anything else keeps it (an `except StopIteration as e`, a context) a new one is made as usual.
// send() and throw(), which Python code calls, always make a new one. The kept instance is scrubbed
// (value None, no traceback) when a frame or an async generator step of the module goes away, so it
// does not keep a returned value alive; only a StopIteration that a direct next() call let through
// Python code keeps its traceback until then.
//
// The instance's args tuple is kept too, and its one item replaced in place while nothing but the
// instance holds it. Every old value is released only after the new ones are in place: releasing
// may run a destructor, which may return from a native coroutine itself and find the instance in
// use (then it makes a new one).
inline bool args_reusable(const PyStopIterationObject* stop, PyObject* kept) noexcept {
    return kept && Py_REFCNT(kept) == 1 + (stop->args == kept);
}

// Replaces the kept tuple's item by a new reference to `value`; returns the old item.
inline PyObject* refill_args(PyObject* kept, PyObject* value) noexcept {
    PyObject* old = PyTuple_GET_ITEM(kept, 0);
    PyTuple_SET_ITEM(kept, 0, Py_NewRef(value));
    // The collector stops tracking a tuple of untracked items; a new item it tracks needs the tuple
    // tracked again.
    if (PyType_IS_GC(Py_TYPE(value)) && !PyObject_GC_IsTracked(kept)) PyObject_GC_Track(kept);
    return old;
}

// Whether the kept instance carries nothing but its value and args (no traceback, context, cause,
// notes or attributes), as it does when the interpreter took its value out at once.
inline bool stop_is_bare(const PyStopIterationObject* stop) noexcept {
    auto bits = [](PyObject* field) { return reinterpret_cast<uintptr_t>(field); };
    return (bits(stop->traceback) | bits(stop->context) | bits(stop->cause) | bits(stop->notes) | bits(stop->dict)) == 0;
}

// Empties the kept instance: value None, args (), nothing else.
inline void scrub_stop(PyStopIterationObject* stop) noexcept {
    PyObject* kept = g_state.stop_args;
    PyObject* old_item = args_reusable(stop, kept) ? refill_args(kept, Py_None) : nullptr;
    PyObject* olds[] = {std::exchange(stop->args, PyTuple_New(0)),  // the empty tuple: never fails
                        std::exchange(stop->value, Py_NewRef(Py_None)),
                        std::exchange(stop->traceback, nullptr),
                        std::exchange(stop->context, nullptr),
                        std::exchange(stop->cause, nullptr),
                        std::exchange(stop->notes, nullptr),
                        std::exchange(stop->dict, nullptr),
                        old_item};
    stop->suppress_context = 0;
    for (PyObject* old : olds) Py_XDECREF(old);
}

// Sets StopIteration(value) (`value` borrowed), a new instance: for send() and throw(), which
// Python code calls and whose exception it may keep (and give a traceback) as it likes.
inline void raise_stop(PyObject* value) noexcept {
    PyObject* exc = value == Py_None ? PyObject_CallNoArgs(PyExc_StopIteration)
                                     : PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exc) PyErr_SetRaisedException(exc);
}

// The same from __next__, which the interpreter's `await` (and `async for`) calls and whose
// StopIteration it consumes at once: the module's kept instance when nothing else holds it.
inline void raise_stop_kept(PyObject* value) noexcept {
    PyStopIterationObject* stop = g_state.stop;
    PyObject* kept = g_state.stop_args;
    // The usual case: the instance and its tuple free, nothing attached since the last return.
    if (QM_LIKELY(stop && Py_REFCNT(stop) == 1 && stop->args == kept && Py_REFCNT(kept) == 2 &&
                  value != Py_None && stop_is_bare(stop))) {
        PyObject* old_item = refill_args(kept, value);
        PyObject* old_value = std::exchange(stop->value, Py_NewRef(value));
        PyErr_SetRaisedException(Py_NewRef(reinterpret_cast<PyObject*>(stop)));
        Py_DECREF(old_item);
        Py_DECREF(old_value);
        return;
    }
    if (stop && Py_REFCNT(stop) == 1) {
        if (!stop_is_bare(stop)) scrub_stop(stop);
        PyObject* old_item = nullptr;
        PyObject* args;
        if (value == Py_None) {
            args = PyTuple_New(0);  // StopIteration(), as a Python frame's `return` raises it
        } else if (args_reusable(stop, kept)) {
            old_item = refill_args(kept, value);
            args = Py_NewRef(kept);
        } else {
            args = PyTuple_Pack(1, value);
            if (!args) return;
        }
        PyObject* old_args = std::exchange(stop->args, args);
        PyObject* old_value = std::exchange(stop->value, Py_NewRef(value));
        PyErr_SetRaisedException(Py_NewRef(reinterpret_cast<PyObject*>(stop)));
        Py_XDECREF(old_args);
        Py_XDECREF(old_value);
        Py_XDECREF(old_item);
        return;
    }
    PyObject* exc = value == Py_None ? PyObject_CallNoArgs(PyExc_StopIteration)
                                     : PyObject_CallOneArg(PyExc_StopIteration, value);
    if (!exc) return;
    if (!stop && Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_StopIteration))) {
        stop = reinterpret_cast<PyStopIterationObject*>(exc);
        g_state.stop = reinterpret_cast<PyStopIterationObject*>(Py_NewRef(exc));
        if (!g_state.stop_args && PyTuple_GET_SIZE(stop->args) == 1) g_state.stop_args = Py_NewRef(stop->args);
    }
    PyErr_SetRaisedException(exc);
}

// Drops what the kept instance carries (the value, a traceback), when nothing else holds it.
inline void scrub_kept_stop() noexcept {
    PyStopIterationObject* stop = g_state.stop;
    if (!stop || Py_REFCNT(stop) != 1) return;
    if (QM_UNLIKELY(!stop_is_bare(stop))) {
        scrub_stop(stop);
        return;
    }
    if (stop->value == Py_None) return;  // scrubbed already, or a `return None`
    PyObject* kept = g_state.stop_args;
    PyObject* old_item = args_reusable(stop, kept) ? refill_args(kept, Py_None) : nullptr;
    PyObject* old_value = std::exchange(stop->value, Py_NewRef(Py_None));
    Py_XDECREF(old_item);
    Py_DECREF(old_value);
}

// When a StopIteration is set: clears it and puts its value in *out (a new reference); true. False
// (and the exception left alone) otherwise.
inline bool fetch_stop_iteration(PyObject** out) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
    PyObject* exc = PyErr_GetRaisedException();
    *out = Py_NewRef(reinterpret_cast<PyStopIterationObject*>(exc)->value);
    Py_DECREF(exc);
    return true;
}

// The pending exception replaced by RuntimeError(message), chained from it as `raise ... from`.
QM_COLD inline void replace_with_runtime_error(const char* message) noexcept {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, message);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, Py_NewRef(cause));
    PyException_SetContext(error, cause);
    PyErr_SetRaisedException(error);
}

// A StopIteration (or, from an async generator, StopAsyncIteration) leaving a frame would read as
// the end of the iteration, so it becomes a RuntimeError, as it does for Python frames.
inline void convert_stop(const Frame* f) noexcept {
    PyObject* exc = PyErr_Occurred();
    if (!exc) {
        PyErr_Format(PyExc_SystemError, "native %.200s failed without setting an exception", f->op->qualname);
        return;
    }
    if (QM_LIKELY(!PyErr_GivenExceptionMatches(exc, PyExc_StopIteration) &&
                  !PyErr_GivenExceptionMatches(exc, PyExc_StopAsyncIteration))) {
        return;
    }
    bool stop = PyErr_GivenExceptionMatches(exc, PyExc_StopIteration);
    switch (f->op->kind) {
        case Kind::kCoroutine:
            if (stop) replace_with_runtime_error("coroutine raised StopIteration");
            break;
        case Kind::kGenerator:
            if (stop) replace_with_runtime_error("generator raised StopIteration");
            break;
        case Kind::kAsyncGenerator:
            replace_with_runtime_error(stop ? "async generator raised StopIteration"
                                            : "async generator raised StopAsyncIteration");
            break;
    }
}

// Drops everything the frame holds. Releasing a slot may run Python code (a destructor); the frame
// is marked finished first, so that code finds it finished, whatever it does.
inline void release_frame(Frame* f) noexcept {
    f->status = Status::kFinished;
    PyObject* awaiting = std::exchange(f->awaiting, nullptr);
    Py_XDECREF(awaiting);
    PyObject* finalizer = std::exchange(f->finalizer, nullptr);
    Py_XDECREF(finalizer);
    // A destructor run here finds the frame finished: it cannot store into the slots again.
    for (int i = 0, top = std::exchange(f->top, uint8_t{0}); i < top; ++i) {
        PyObject* old = std::exchange(f->slots[i], nullptr);
        Py_XDECREF(old);
    }
}

inline Outcome finish_with_error(Frame* f, bool started = true) noexcept {
    if (started) convert_stop(f);
    PyObject* exc = PyErr_GetRaisedException();
    release_frame(f);
    PyErr_SetRaisedException(exc);
    return Outcome::kError;
}

// The awaitable iterator of `obj` (stolen), as `await obj` takes it: a native or Python coroutine
// (or a generator marked as one) is its own; otherwise __await__ must give an iterator that is
// not a coroutine. A new reference, or null with TypeError / RuntimeError set.
[[nodiscard]] inline PyObject* awaitable_iter(PyObject* obj) noexcept {
    Ref held(obj);
    if (Frame* native = as_native_coroutine(obj)) {
        if (native->status == Status::kSuspended && native->awaiting) {
            return raise_error(PyExc_RuntimeError, "coroutine is being awaited already");
        }
        return held.release();
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (PyCoro_CheckExact(obj)) {
        // Sending into a coroutine another one is awaiting would resume it under the other's feet.
        // Its cr_await getter, found once at init, tells without an attribute lookup.
        PyObject* awaited = g_state.coro_await_get(obj, g_state.coro_await_closure);
        if (!awaited) return nullptr;
        bool busy = awaited != Py_None;
        Py_DECREF(awaited);
        if (busy) return raise_error(PyExc_RuntimeError, "coroutine is being awaited already");
        return held.release();
    }
    if (PyGen_CheckExact(obj)) {
        PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(obj));
        bool iterable_coroutine = code->co_flags & CO_ITERABLE_COROUTINE;
        Py_DECREF(code);
        if (iterable_coroutine) return held.release();
    }
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) return raise_format(PyExc_TypeError, "'%.100s' object can't be awaited", type->tp_name);
    PyObject* iter = getter(obj);
    if (!iter) return nullptr;
    if (PyCoro_CheckExact(iter) || as_native_coroutine(iter)) {
        Py_DECREF(iter);
        return raise_error(PyExc_TypeError, "__await__() returned a coroutine");
    }
    if (!PyIter_Check(iter)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(iter)->tp_name);
        Py_DECREF(iter);
        return nullptr;
    }
    return iter;
}

// Sets the exception a throw() raises where the frame stands, after the interpreter's checks of its
// arguments. False with TypeError set when the arguments cannot be raised (nothing was thrown).
[[nodiscard]] inline bool set_thrown(const Thrown& t) noexcept {
    PyObject* typ = t.typ;
    PyObject* val = t.val;
    PyObject* tb = t.tb == Py_None ? nullptr : t.tb;
    if (tb && !PyTraceBack_Check(tb)) {
        return raise_error(PyExc_TypeError, "throw() third argument must be a traceback object");
    }
    Py_INCREF(typ);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(typ)) {
        PyErr_NormalizeException(&typ, &val, &tb);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            Py_DECREF(typ);
            Py_XDECREF(val);
            Py_XDECREF(tb);
            return raise_error(PyExc_TypeError, "instance exception may not have a separate value");
        }
        Py_XSETREF(val, typ);
        typ = Py_NewRef(PyExceptionInstance_Class(typ));
        if (!tb) tb = PyException_GetTraceback(val);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        Py_DECREF(typ);
        Py_XDECREF(val);
        Py_XDECREF(tb);
        return false;
    }
    PyErr_Restore(typ, val, tb);
    return true;
}

// The throw() arguments checked as the interpreter checks generator throw: one to three of them,
// and the three-argument form deprecated. `what` is "throw" or "athrow".
[[nodiscard]] inline bool parse_thrown(const char* what, PyObject* const* args, Py_ssize_t nargs, Thrown* out) noexcept {
    if (nargs < 1 || nargs > 3) {
        return raise_format(PyExc_TypeError, "%s expected %s%d argument%s, got %zd", what,
                            nargs < 1 ? "at least " : "at most ", nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s", nargs);
    }
    if (nargs > 1) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "the (type, exc, tb) signature of %s() is deprecated, use the single-arg signature instead.",
                             what) < 0) {
            return false;
        }
    }
    *out = Thrown{args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr, nargs};
    return true;
}

// ---------------------------------------------------------------------------------------------
// The driver

inline PySendResult frame_send(Frame* f, PyObject* value, PyObject** out) noexcept;
inline Outcome frame_throw(Frame* f, bool close_on_genexit, const Thrown& t, PyObject** out) noexcept;
inline int frame_close(Frame* f, PyObject** result) noexcept;

inline PySendResult outcome_to_send(Outcome outcome) noexcept {
    switch (outcome) {
        case Outcome::kAwaitedYield:
        case Outcome::kItem: return PYGEN_NEXT;
        case Outcome::kReturn: return PYGEN_RETURN;
        case Outcome::kError: return PYGEN_ERROR;
    }
    return PYGEN_ERROR;
}

// Sends `value` into the awaitable iterator `iter`: a native coroutine directly, anything else
// through its send slot (PyIter_Send also covers __next__ and send()).
inline PySendResult send_into(PyObject* iter, PyObject* value, PyObject** out) noexcept {
    if (Frame* inner = as_native_coroutine(iter)) {
        // A chain of native coroutines resumes through the C stack, one call per link.
        if (Py_EnterRecursiveCall(" while resuming a native coroutine")) return PYGEN_ERROR;
        PySendResult result = frame_send(inner, value, out);
        Py_LeaveRecursiveCall();
        return result;
    }
    return PyIter_Send(iter, value, out);
}

// What throwing into an awaited iterator gave; kNoThrow when it has no throw method, so the
// exception is raised at the await point instead.
enum class ThrowResult : uint8_t { kNext, kReturn, kError, kNoThrow };

inline ThrowResult throw_into(PyObject* iter, bool close_on_genexit, const Thrown& t, PyObject** out) noexcept {
    if (Frame* inner = as_native_coroutine(iter)) {
        if (Py_EnterRecursiveCall(" while throwing into a native coroutine")) return ThrowResult::kError;
        Outcome outcome = frame_throw(inner, close_on_genexit, t, out);
        Py_LeaveRecursiveCall();
        switch (outcome) {
            case Outcome::kAwaitedYield:
            case Outcome::kItem: return ThrowResult::kNext;
            case Outcome::kReturn: return ThrowResult::kReturn;
            case Outcome::kError: return ThrowResult::kError;
        }
    }
    Ref meth;
    {
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttr(iter, g_state.names[kNameThrow], &found) < 0) return ThrowResult::kError;
        if (!found) return ThrowResult::kNoThrow;
        meth.reset(found);
    }
    Ref result;
    if (t.nargs > 1 && (PyCoro_CheckExact(iter) || PyGen_CheckExact(iter))) {
        // The interpreter hands the three arguments down a chain of Python frames without warning
        // again; the exception they make, passed alone, reaches the frame the same way.
        if (!set_thrown(t)) return ThrowResult::kError;
        Ref exc(PyErr_GetRaisedException());
        result.reset(PyObject_CallOneArg(meth.get(), exc.get()));
    } else {
        PyObject* args[3] = {t.typ, t.val, t.tb};
        result.reset(PyObject_Vectorcall(meth.get(), args, static_cast<size_t>(t.nargs), nullptr));
    }
    if (result) {
        *out = result.release();
        return ThrowResult::kNext;
    }
    return fetch_stop_iteration(out) ? ThrowResult::kReturn : ThrowResult::kError;
}

// Closes an awaited iterator as the interpreter does when the frame awaiting it is closed: a
// native coroutine directly, anything else through its close method when it has one. 0, or -1
// with the exception close raised.
inline int close_into(PyObject* iter) noexcept {
    if (Frame* inner = as_native_coroutine(iter)) {
        PyObject* result = nullptr;
        if (frame_close(inner, &result) < 0) return -1;
        Py_XDECREF(result);
        return 0;
    }
    PyObject* meth = nullptr;
    if (PyObject_GetOptionalAttr(iter, g_state.names[kNameClose], &meth) < 0) {
        PyErr_WriteUnraisable(iter);
        return 0;
    }
    if (!meth) return 0;
    PyObject* result = PyObject_CallNoArgs(meth);
    Py_DECREF(meth);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

// Runs the step function from where the frame stands, with `sent` (borrowed; null with an
// exception set) arriving there, until the frame suspends or finishes. The caller has set the
// frame running and has no awaited iterator pending.
inline Outcome run(Frame* f, PyObject* sent, PyObject** out) noexcept {
    Ref result_of_await;  // keeps the result of a completed await alive while the step reads it
    for (;;) {
        Step step = f->op->step(*f, sent);
        result_of_await.reset();
        switch (step.action) {
            case Step::kReturn:
                release_frame(f);
                *out = step.value;
                return Outcome::kReturn;
            case Step::kRaise:
                return finish_with_error(f);
            case Step::kYield:
                if (QM_UNLIKELY(f->op->kind == Kind::kCoroutine)) {
                    Py_DECREF(step.value);
                    (void)failed(raise_format(PyExc_SystemError, "native coroutine %.200s yielded", f->op->qualname));
                    return finish_with_error(f);
                }
                f->status = Status::kSuspended;
                *out = step.value;
                return Outcome::kItem;
            case Step::kAwait: {
                if (QM_UNLIKELY(f->op->kind == Kind::kGenerator)) {
                    Py_DECREF(step.value);
                    (void)failed(raise_format(PyExc_SystemError, "native generator %.200s awaited", f->op->qualname));
                    return finish_with_error(f);
                }
                PyObject* iter = awaitable_iter(step.value);
                if (!iter) {
                    sent = nullptr;  // the error arrives at the await point
                    continue;
                }
                PyObject* result = nullptr;
                PySendResult sent_result = send_into(iter, Py_None, &result);
                if (sent_result == PYGEN_NEXT) {
                    f->awaiting = iter;
                    f->status = Status::kSuspended;
                    *out = result;
                    return Outcome::kAwaitedYield;
                }
                Py_DECREF(iter);
                if (sent_result == PYGEN_RETURN) {
                    result_of_await.reset(result);
                    sent = result;
                } else {
                    sent = nullptr;
                }
                continue;
            }
        }
    }
}

// After the awaited iterator gave `result` to a send or throw: a yield goes up and the frame stays
// suspended on it; a return or an error arrives at the await point.
inline Outcome continue_after_await(Frame* f, PySendResult result, PyObject* value, PyObject** out) noexcept {
    if (result == PYGEN_NEXT) {
        f->status = Status::kSuspended;
        *out = value;
        return Outcome::kAwaitedYield;
    }
    PyObject* iter = std::exchange(f->awaiting, nullptr);
    Py_DECREF(iter);
    if (result == PYGEN_RETURN) {
        Ref arrived(value);
        return run(f, arrived.get(), out);
    }
    return run(f, nullptr, out);
}

// Resumes the frame with `value` (borrowed) arriving where it stands. Checks its state first, as
// the interpreter checks a generator's.
inline Outcome frame_resume(Frame* f, PyObject* value, PyObject** out) noexcept {
    switch (f->status) {
        case Status::kSuspended: {
            f->status = Status::kRunning;
            if (f->awaiting) {
                PyObject* result = nullptr;
                PySendResult sent = send_into(f->awaiting, value, &result);
                return continue_after_await(f, sent, result, out);
            }
            return run(f, value, out);
        }
        case Status::kCreated:
            if (QM_UNLIKELY(value != Py_None)) return failed(raise_non_none_start(f));
            f->status = Status::kRunning;
            return run(f, value, out);
        case Status::kRunning:
            return failed(raise_running(f));
        case Status::kFinished:
            if (f->op->kind == Kind::kCoroutine) return failed(raise_reused());
            // An exhausted generator returns None again (StopIteration); an async generator's
            // awaitables turn that into StopAsyncIteration.
            *out = Py_NewRef(Py_None);
            return Outcome::kReturn;
    }
    return Outcome::kError;
}

inline PySendResult frame_send(Frame* f, PyObject* value, PyObject** out) noexcept {
    return outcome_to_send(frame_resume(f, value, out));
}

// throw() where the frame stands: into the awaited object first (closing it instead for a
// GeneratorExit when `close_on_genexit`, as a coroutine's or generator's throw does; an async
// generator's aclose() throws it in), else raised at the suspension point.
inline Outcome frame_throw(Frame* f, bool close_on_genexit, const Thrown& t, PyObject** out) noexcept {
    if (f->status == Status::kSuspended && f->awaiting) {
        PyObject* iter = f->awaiting;
        if (close_on_genexit && PyErr_GivenExceptionMatches(t.typ, PyExc_GeneratorExit)) {
            // Arguments that cannot be raised leave the frame untouched.
            if (!set_thrown(t)) return Outcome::kError;
            Ref exit(PyErr_GetRaisedException());
            f->status = Status::kRunning;
            f->awaiting = nullptr;
            int closed = close_into(iter);
            Py_DECREF(iter);
            // What closing raised arrives instead of the GeneratorExit.
            if (closed == 0) PyErr_SetRaisedException(exit.release());
            return run(f, nullptr, out);
        }
        f->status = Status::kRunning;
        PyObject* result = nullptr;
        ThrowResult thrown = throw_into(iter, close_on_genexit, t, &result);
        switch (thrown) {
            case ThrowResult::kNext: return continue_after_await(f, PYGEN_NEXT, result, out);
            case ThrowResult::kReturn: return continue_after_await(f, PYGEN_RETURN, result, out);
            case ThrowResult::kError: return continue_after_await(f, PYGEN_ERROR, nullptr, out);
            case ThrowResult::kNoThrow:
                if (!set_thrown(t)) {
                    f->status = Status::kSuspended;
                    return Outcome::kError;
                }
                f->awaiting = nullptr;
                Py_DECREF(iter);
                return run(f, nullptr, out);
        }
    }
    if (!set_thrown(t)) return Outcome::kError;
    switch (f->status) {
        case Status::kSuspended:
            f->status = Status::kRunning;
            return run(f, nullptr, out);
        case Status::kCreated:
            // Raised before the first statement: nothing can catch it, nothing converts a
            // StopIteration; the frame ends with it as it is.
            return finish_with_error(f, false);
        case Status::kRunning:
            PyErr_Clear();
            return failed(raise_running(f));
        case Status::kFinished:
            if (f->op->kind == Kind::kCoroutine) {
                PyErr_Clear();
                return failed(raise_reused());
            }
            return Outcome::kError;
    }
    return Outcome::kError;
}

QM_COLD inline Failure raise_ignored_exit(const Frame* f) noexcept {
    return raise_format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind_word(f->op->kind));
}

// close(): closes what the frame awaits, then raises GeneratorExit (or what closing raised) where
// it stands, so the step function may clean up. 0 with *result the value it returned (or None), or
// -1 with an exception set: what the step raised instead, or RuntimeError when it went on (the
// frame then stays suspended where it went, as a Python one does).
inline int frame_close(Frame* f, PyObject** result) noexcept {
    *result = nullptr;
    switch (f->status) {
        case Status::kCreated:
            release_frame(f);
            [[fallthrough]];
        case Status::kFinished:
            *result = Py_NewRef(Py_None);
            return 0;
        case Status::kRunning:
            return raise_running(f);
        case Status::kSuspended:
            break;
    }
    f->status = Status::kRunning;
    int closed = 0;
    if (PyObject* iter = std::exchange(f->awaiting, nullptr)) {
        closed = close_into(iter);
        Py_DECREF(iter);
    }
    if (closed == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* out = nullptr;
    switch (run(f, nullptr, &out)) {
        case Outcome::kAwaitedYield:
        case Outcome::kItem:
            Py_DECREF(out);
            return raise_ignored_exit(f);
        case Outcome::kReturn:
            *result = out;
            return 0;
        case Outcome::kError:
            if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
                PyErr_Clear();
                *result = Py_NewRef(Py_None);
                return 0;
            }
            return -1;
    }
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Frame objects: allocation, the collector's slots, finalization

// A new frame of `type` running `op` with the first `count` slots holding `args` (borrowed;
// each gets a new reference). A new reference, or null with MemoryError set.
[[nodiscard]] inline Frame* new_frame(PyTypeObject* type, const Operation* op, PyObject* const* args,
                                      Py_ssize_t count) noexcept {
    Frame* f;
    if (g_state.free_frame_count > 0) {
        f = g_state.free_frames[--g_state.free_frame_count];
        PyObject_Init(reinterpret_cast<PyObject*>(f), type);
    } else {
        f = PyObject_GC_New(Frame, type);
        if (!f) return nullptr;
        f->awaiting = nullptr;
        f->finalizer = nullptr;
        f->weakrefs = nullptr;
        for (PyObject*& slot : f->slots) slot = nullptr;
    }
    f->op = op;
    for (Py_ssize_t& scalar : f->scalars) scalar = 0;
    f->state = 0;
    f->status = Status::kCreated;
    f->async_running = false;
    f->async_closed = false;
    f->finalized = false;
    f->hooks_started = false;
    f->top = static_cast<uint8_t>(count);
    for (Py_ssize_t i = 0; i < count; ++i) f->slots[i] = Py_XNewRef(args[i]);
    PyObject_GC_Track(f);
    return f;
}

inline int frame_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(op));
    Frame* f = reinterpret_cast<Frame*>(op);
    Py_VISIT(f->awaiting);
    Py_VISIT(f->finalizer);
    for (int i = 0; i < f->top; ++i) Py_VISIT(f->slots[i]);
    return 0;
}

// The collector clears a frame only once it was finalized (closed): it is finished from then on.
inline int frame_clear(PyObject* op) noexcept {
    release_frame(reinterpret_cast<Frame*>(op));
    return 0;
}

// A suspended frame that goes away is closed first, so the object it awaits is closed and the
// step function sees GeneratorExit. An async generator that an event loop's finalizer hook
// watches is handed to that hook instead (which schedules its aclose() on the loop, so its cleanup
// may await; the hook keeps it alive until then). Errors cannot go anywhere: they are reported as
// unraisable.
inline void frame_finalize(PyObject* op) noexcept {
    Frame* f = reinterpret_cast<Frame*>(op);
    f->finalized = true;
    if (f->status != Status::kSuspended) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (f->finalizer && !f->async_closed) {
        Ref finalizer(Py_NewRef(f->finalizer));
        Ref result(PyObject_CallOneArg(finalizer.get(), op));
        if (!result) PyErr_WriteUnraisable(op);
        PyErr_SetRaisedException(saved);
        return;
    }
    PyObject* result = nullptr;
    if (frame_close(f, &result) < 0) {
        PyErr_WriteUnraisable(op);
    } else {
        Py_XDECREF(result);
    }
    PyErr_SetRaisedException(saved);
}

inline void frame_dealloc(PyObject* op) noexcept {
    Frame* f = reinterpret_cast<Frame*>(op);
    // Untracked while the weak references are cleared: their callbacks may start a collection
    // (asyncio keeps async generators in a WeakSet), which must not find and free this frame.
    PyObject_GC_UnTrack(op);
    if (f->weakrefs) PyObject_ClearWeakRefs(op);
    if (f->status == Status::kSuspended) {
        // The finalizer runs Python code that may resurrect the frame: tracked again meanwhile.
        PyObject_GC_Track(op);
        if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // resurrected by its cleanup
        PyObject_GC_UnTrack(op);
    }
    PyTypeObject* type = Py_TYPE(op);
    Py_TRASHCAN_BEGIN(op, frame_dealloc)
    if (f->status != Status::kFinished) release_frame(f);  // a finished frame holds nothing
    scrub_kept_stop();
    // A frame the collector finalized keeps that mark in its header, which would stop the next
    // frame built in the same memory from being finalized: such a block goes back to the allocator.
    if (g_state.free_frame_count < kFreeFrames && !f->finalized) {
        g_state.free_frames[g_state.free_frame_count++] = f;
    } else {
        type->tp_free(op);
    }
    Py_DECREF(type);
    Py_TRASHCAN_END
}

inline void drain_free_frames() noexcept {
    while (g_state.free_frame_count > 0) PyObject_GC_Del(g_state.free_frames[--g_state.free_frame_count]);
}

inline PyObject* frame_repr(PyObject* op) noexcept {
    Frame* f = reinterpret_cast<Frame*>(op);
    const char* word = f->op->kind == Kind::kCoroutine  ? "coroutine"
                       : f->op->kind == Kind::kGenerator ? "generator"
                                                         : "async_generator";
    return PyUnicode_FromFormat("<native %s %s at %p>", word, f->op->qualname, op);
}

inline PyObject* frame_get_qualname(PyObject* op, void*) noexcept {
    return PyUnicode_FromString(reinterpret_cast<Frame*>(op)->op->qualname);
}

inline PyObject* frame_get_name(PyObject* op, void*) noexcept {
    const char* qualname = reinterpret_cast<Frame*>(op)->op->qualname;
    const char* dot = std::strrchr(qualname, '.');
    return PyUnicode_FromString(dot ? dot + 1 : qualname);
}

inline PyObject* frame_get_awaiting(PyObject* op, void*) noexcept {
    Frame* f = reinterpret_cast<Frame*>(op);
    return Py_NewRef(f->awaiting && f->status == Status::kSuspended ? f->awaiting : Py_None);
}

inline PyObject* frame_get_running(PyObject* op, void*) noexcept {
    return PyBool_FromLong(reinterpret_cast<Frame*>(op)->status == Status::kRunning);
}

inline PyObject* frame_get_suspended(PyObject* op, void*) noexcept {
    return PyBool_FromLong(reinterpret_cast<Frame*>(op)->status == Status::kSuspended);
}

inline PyObject* frame_get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// ---------------------------------------------------------------------------------------------
// Coroutine and generator methods

// Ends a send() (or with `kept`, a __next__) with what the frame gave.
inline PyObject* send_result(Outcome outcome, PyObject* value, bool kept = false) noexcept {
    switch (outcome) {
        case Outcome::kAwaitedYield:
        case Outcome::kItem: return value;
        case Outcome::kReturn:
            if (kept) {
                raise_stop_kept(value);
            } else {
                raise_stop(value);
            }
            Py_DECREF(value);
            return nullptr;
        case Outcome::kError: return nullptr;
    }
    return nullptr;
}

inline PyObject* frame_method_send(PyObject* op, PyObject* value) noexcept {
    PyObject* out = nullptr;
    Outcome outcome = frame_resume(reinterpret_cast<Frame*>(op), value, &out);
    return send_result(outcome, out);
}

inline PyObject* frame_method_throw(PyObject* op, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Thrown t;
    if (!parse_thrown("throw", args, nargs, &t)) return nullptr;
    PyObject* out = nullptr;
    Outcome outcome = frame_throw(reinterpret_cast<Frame*>(op), true, t, &out);
    return send_result(outcome, out);
}

inline PyObject* frame_method_close(PyObject* op, PyObject*) noexcept {
    PyObject* result = nullptr;
    if (frame_close(reinterpret_cast<Frame*>(op), &result) < 0) return nullptr;
    return result;
}

inline PySendResult coroutine_am_send(PyObject* op, PyObject* value, PyObject** out) noexcept {
    return frame_send(reinterpret_cast<Frame*>(op), value, out);
}

// __next__ of a coroutine (what its __await__ iterator, the coroutine itself, offers) and of a
// generator: an exhausted generator ends without setting StopIteration, which tp_iternext allows.
inline PyObject* frame_iternext(PyObject* op) noexcept {
    Frame* f = reinterpret_cast<Frame*>(op);
    PyObject* out = nullptr;
    Outcome outcome = frame_resume(f, Py_None, &out);
    if (outcome == Outcome::kReturn && out == Py_None) {
        Py_DECREF(out);
        return nullptr;
    }
    return send_result(outcome, out, true);
}

inline PyObject* coroutine_await(PyObject* op) noexcept { return Py_NewRef(op); }

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Starting operations from native code

// A new coroutine, generator or async generator (by op->kind) running `op`, its first slots holding
// `args` (borrowed). The module must have called add_types. A new reference, or null.
template <typename... Args>
[[nodiscard]] inline PyObject* start(const Operation& op, Args... args) noexcept {
    static_assert(sizeof...(Args) <= kSlots, "more arguments than frame slots");
    PyObject* values[sizeof...(Args) + 1] = {args..., nullptr};
    PyTypeObject* type = op.kind == Kind::kCoroutine   ? detail::g_state.coroutine_type
                         : op.kind == Kind::kGenerator ? detail::g_state.generator_type
                                                       : detail::g_state.async_generator_type;
    return reinterpret_cast<PyObject*>(detail::new_frame(type, &op, values, sizeof...(Args)));
}

[[nodiscard]] inline PyObject* start_array(const Operation& op, PyObject* const* args, Py_ssize_t count) noexcept {
    if (count > kSlots) return raise_format(PyExc_SystemError, "native %.200s takes more than %d values", op.qualname, kSlots);
    PyTypeObject* type = op.kind == Kind::kCoroutine   ? detail::g_state.coroutine_type
                         : op.kind == Kind::kGenerator ? detail::g_state.generator_type
                                                       : detail::g_state.async_generator_type;
    return reinterpret_cast<PyObject*>(detail::new_frame(type, &op, args, count));
}

namespace detail {

// An awaitable that is done already, like a finished future: awaiting it (any number of times)
// gives its value at once. Awaited from native code it never leaves the driver's loop.
struct ReadyObject {
    PyObject_HEAD
    PyObject* value;
};

inline PyObject* ready_await(PyObject* op) noexcept { return Py_NewRef(op); }

inline PySendResult ready_am_send(PyObject* op, PyObject*, PyObject** out) noexcept {
    *out = Py_NewRef(reinterpret_cast<ReadyObject*>(op)->value);
    return PYGEN_RETURN;
}

// A new StopIteration each time (not the module's kept one): a done awaitable is often driven by
// hand (next() and `except StopIteration`), and the kept instance would then hold the value, and
// the traceback's frames, until the next native return.
inline PyObject* ready_iternext(PyObject* op) noexcept {
    raise_stop(reinterpret_cast<ReadyObject*>(op)->value);
    return nullptr;
}

inline PyObject* ready_send(PyObject* op, PyObject*) noexcept {
    raise_stop(reinterpret_cast<ReadyObject*>(op)->value);
    return nullptr;
}

// Nothing is pending: the exception is raised where it is thrown, after the usual checks.
inline PyObject* ready_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Thrown thrown;
    if (!parse_thrown("throw", args, nargs, &thrown)) return nullptr;
    (void)set_thrown(thrown);
    return nullptr;
}

inline PyObject* ready_close(PyObject*, PyObject*) noexcept { Py_RETURN_NONE; }

inline int ready_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(reinterpret_cast<ReadyObject*>(op)->value);
    return 0;
}

inline int ready_clear(PyObject* op) noexcept {
    Py_CLEAR(reinterpret_cast<ReadyObject*>(op)->value);
    return 0;
}

inline void ready_dealloc(PyObject* op) noexcept {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    (void)ready_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

inline PyMethodDef ready_methods[] = {
    {"send", ready_send, METH_O, "send($self, value, /)\n--\n\nCompletes with the value."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ready_throw)), METH_FASTCALL,
     "throw($self, typ, val=None, tb=None, /)\n--\n\nRaises the exception given."},
    {"close", ready_close, METH_NOARGS, "close($self, /)\n--\n\nDoes nothing."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace detail

// An awaitable that is done already with `value` (borrowed); see detail::ReadyObject. The module
// must have called add_types. A new reference, or null.
[[nodiscard]] inline PyObject* ready(PyObject* value) noexcept {
    auto* self = PyObject_GC_New(detail::ReadyObject, detail::g_state.ready_type);
    if (!self) return nullptr;
    self->value = Py_NewRef(value);
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

// Whether `obj` is a native coroutine of this mechanism (from any module).
inline bool is_coroutine(PyObject* obj) noexcept { return detail::as_native_coroutine(obj) != nullptr; }

// The awaitable iterator of an async iterator's next item: __anext__ of `aiter`, for a step to
// await. A new reference, or null with TypeError set.
[[nodiscard]] inline PyObject* anext(PyObject* aiter) noexcept {
    PyTypeObject* type = Py_TYPE(aiter);
    if (!type->tp_as_async || !type->tp_as_async->am_anext) {
        return raise_format(PyExc_TypeError, "'%.200s' object is not an async iterator", type->tp_name);
    }
    return type->tp_as_async->am_anext(aiter);
}

}  // namespace qm::coro
