// The wrapper of a coroutine function and what its call returns: the call reads the clock, calls
// the function and returns a timed coroutine, which runs the function's coroutine (send, throw,
// close, or awaited) and reports the time from the call to the end, however it ends.
//
// The wrapper is one of our functions, as the synchronous one is, and says that it is a coroutine
// function as compiled functions do: by a `__code__` flagged as a coroutine's (inspect asks that
// of any function-like object). A timed coroutine is a coroutine in the sense of
// collections.abc (it has __await__, send, throw and close), as asyncio, trio and every `await`
// take it; it is not the interpreter's own coroutine type, whose objects only Python code makes.
#include "timing.hpp"

namespace vantor::stat {

namespace {

enum class Phase : unsigned char {
    fresh,      // called; nothing sent yet
    suspended,  // its coroutine waits at a yield
    running,    // inside one of its steps
    done,       // returned, raised or closed; the time reported
};

struct TimedCoroutine {
    PyObject_HEAD
    PyObject* closure;  // the wrapper's: func, client, key, tags
    PyObject* inner;    // what the function returned
    PyObject* awaited;  // what `await inner` iterates: inner itself for a coroutine
    PyObject* start;    // the clock's value when it was not read in place, else nullptr
    double start_seconds;
    Phase phase;
};

TimedCoroutine* as_timed(PyObject* op) { return reinterpret_cast<TimedCoroutine*>(op); }

State* timed_state(PyObject* op) { return static_cast<State*>(PyType_GetModuleState(Py_TYPE(op))); }

// client.timing(key, <the time since `start`>, tags=tags), as the synchronous wrapper reports.
// The closure is a tuple that the caller keeps alive throughout.
void report(State* st, PyObject* closure, PyObject* start, double start_seconds) {
    PyObject* client = PyTuple_GET_ITEM(closure, wrapper_client);
    PyObject* key = PyTuple_GET_ITEM(closure, wrapper_key);
    PyObject* tags = PyTuple_GET_ITEM(closure, wrapper_tags);
    ClockReading end = read_wall_clock(st);
    if (start == nullptr && !end.value) {
        call_timing_seconds(st, client, key, end.seconds - start_seconds, tags);
        return;
    }
    Ref begun = start ? Ref::new_ref(start) : Ref::steal(PyFloat_FromDouble(start_seconds));
    Ref elapsed = Ref::steal(PyNumber_Subtract(end.as_object().get(), begun.get()));
    call_timing(st, client, key, elapsed.get(), tags);
}

// Runs `report` while an exception may be pending, as a `finally` block runs: the pending one is
// the one being handled meanwhile, so that an exception the report raises replaces it with it as
// its context (chained as the interpreter chains it); else the pending one goes on.
template <class F>
void report_in_finally(F&& report) {
    if (!PyErr_Occurred()) return report();
    Ref pending;
    {
        HandlingScope handling;
        pending = Ref::new_ref(handling.exception());
        report();
    }
    raise_again(pending.get());
}

// The end of a step that ended the coroutine.
void report_at_end(TimedCoroutine* self) {
    self->phase = Phase::done;
    Py_CLEAR(self->awaited);
    if (self->closure == nullptr) return;  // cleared by the collector
    report_in_finally([&] { report(timed_state(reinterpret_cast<PyObject*>(self)), self->closure, self->start,
                                   self->start_seconds); });
}

// StopIteration(value), as a coroutine that returned `value` raises it.
void set_stop_iteration(PyObject* value) {
    if (value == Py_None) return PyErr_SetNone(PyExc_StopIteration);
    // Made by hand: given as is, a tuple would become the exception's arguments.
    Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
    PyErr_SetObject(PyExc_StopIteration, stop.get());
}

// A timed coroutine in a reference cycle that the collector broke (its parts are cleared) ends.
PySendResult ended_by_collector(TimedCoroutine* self) {
    self->phase = Phase::done;
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
}

bool enter_step(TimedCoroutine* self) {
    if (self->phase == Phase::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    return true;
}

// One send into the coroutine (its value returned through `result`, as am_send does).
PySendResult advance(TimedCoroutine* self, PyObject* value, PyObject** result) {
    *result = nullptr;
    if (!enter_step(self)) return PYGEN_ERROR;
    if (self->phase == Phase::done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (self->phase == Phase::fresh && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    if (self->awaited == nullptr) return ended_by_collector(self);
    self->phase = Phase::running;
    const PySendResult sent = PyIter_Send(self->awaited, value, result);
    if (sent == PYGEN_NEXT) {
        self->phase = Phase::suspended;
        return sent;
    }
    return boundary("timed coroutine", [&] {
        try {
            report_at_end(self);
        } catch (...) {
            pass_thread_exit();
            Py_CLEAR(*result);
            throw;
        }
        return sent;
    });
}

PySendResult timed_am_send(PyObject* op, PyObject* value, PyObject** result) {
    return advance(as_timed(op), value, result);
}

// The end of a step, as an iterator's next() or a coroutine's send() gives it: the value yielded,
// or StopIteration carrying the value returned (for an iterator, None needs no exception).
PyObject* step_result(PySendResult sent, PyObject* result, bool as_iterator) {
    Ref value = Ref::steal_or_null(result);
    if (sent == PYGEN_NEXT) return value.release();
    if (sent == PYGEN_RETURN && !(as_iterator && value.get() == Py_None)) {
        boundary("timed coroutine", [&] {
            set_stop_iteration(value.get());
            return 0;
        });
    }
    return nullptr;
}

PyObject* timed_iternext(PyObject* op) {
    PyObject* result;
    const PySendResult sent = advance(as_timed(op), Py_None, &result);
    // An iterator that ends without an exception ends with None.
    return step_result(sent, result, true);
}

PyObject* timed_send(PyObject* op, PyObject* value) {
    PyObject* result;
    const PySendResult sent = advance(as_timed(op), value, &result);
    return step_result(sent, result, false);
}

// Whether throw(typ[, val[, tb]]) names an exception as a coroutine's throw takes one; else sets
// the TypeError that it raises.
bool check_thrown(PyObject* const* args, Py_ssize_t nargs) {
    PyObject* type = args[0];
    if (nargs > 2 && args[2] != Py_None && !PyTraceBack_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    if (PyExceptionInstance_Check(type)) {
        if (nargs < 2 || args[1] == Py_None) return true;
        PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
        return false;
    }
    if (PyExceptionClass_Check(type)) return true;
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return false;
}

// The exception that throw() names, raised here, as a coroutine raises it where it cannot pass it
// on (or the TypeError of check_thrown).
void raise_thrown(PyObject* const* args, Py_ssize_t nargs) {
    if (!check_thrown(args, nargs)) return;
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    if (PyExceptionInstance_Check(type)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
    } else {
        PyErr_SetObject(type, value == Py_None ? nullptr : value);
    }
    if (nargs > 2 && args[2] != Py_None) set_raised_traceback(args[2]);
}

// awaited.close() when it has one, as closing what an await is on does.
void close_awaited(PyObject* awaited) {
    Ref close_method = Ref::steal_or_null(PyObject_GetAttrString(awaited, "close"));
    if (close_method) {
        Ref ignored = Ref::steal(PyObject_CallNoArgs(close_method.get()));
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
}

PyObject* timed_throw(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    TimedCoroutine* self = as_timed(op);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, nargs < 1 ? "throw expected at least 1 argument, got %zd"
                                                : "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (!enter_step(self)) return nullptr;
    if (self->phase == Phase::done || self->awaited == nullptr) {
        self->phase = Phase::done;
        // Refused, as the interpreter's coroutines refuse it: before 3.15 once the arguments passed
        // the checks of a throw, from 3.15 on before they are looked at.
#if PY_VERSION_HEX < 0x030F0000
        if (!check_thrown(args, nargs)) return nullptr;
#endif
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    self->phase = Phase::running;
    return boundary("timed coroutine", [&]() -> PyObject* {
        Ref result;
        try {
            Ref awaited = Ref::new_ref(self->awaited);
            // GeneratorExit closes what the await is on, and is raised at the await, as `await`
            // takes it.
            if (PyErr_GivenExceptionMatches(args[0], PyExc_GeneratorExit)) {
                close_awaited(awaited.get());
                raise_thrown(args, nargs);
                throw_error();
            }
            // Passed on to what the await iterates, as `await` does; raised at the await when it
            // cannot take it.
            Ref throw_method = Ref::steal_or_null(PyObject_GetAttrString(awaited.get(), "throw"));
            if (!throw_method) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
                PyErr_Clear();
                raise_thrown(args, nargs);
                throw_error();
            }
            result = Ref::steal_or_null(PyObject_Vectorcall(throw_method.get(), args, nargs, nullptr));
            if (result) {
                self->phase = Phase::suspended;
                return result.release();
            }
            if (!PyErr_ExceptionMatches(PyExc_StopIteration)) throw_error();
            CaughtError stop;
            result = Ref::steal(PyObject_GetAttrString(stop.value(), "value"));
        } catch (...) {
            pass_thread_exit();
            if (self->phase == Phase::running) report_at_end(self);
            throw;
        }
        report_at_end(self);
        set_stop_iteration(result.get());
        return nullptr;
    });
}

// Closes what the await iterates, then reports, as GeneratorExit through a `finally` would; one
// that was never sent or thrown into reports nothing, as a coroutine closed before it ran never
// entered its `try`.
PyObject* close_now(TimedCoroutine* self) {
    if (!enter_step(self)) return nullptr;
    if (self->phase == Phase::done || self->awaited == nullptr) {
        self->phase = Phase::done;
        Py_RETURN_NONE;
    }
    const bool driven = self->phase != Phase::fresh;
    self->phase = Phase::running;
    auto end = [&] {
        if (driven) return report_at_end(self);
        self->phase = Phase::done;
        Py_CLEAR(self->awaited);
    };
    return boundary("timed coroutine", [&]() -> PyObject* {
        try {
            close_awaited(Ref::new_ref(self->awaited).get());
        } catch (...) {
            pass_thread_exit();
            if (self->phase == Phase::running) end();
            throw;
        }
        end();
        Py_RETURN_NONE;
    });
}

PyObject* timed_close(PyObject* op, PyObject*) { return close_now(as_timed(op)); }

PyObject* timed_await(PyObject* op) { return Py_NewRef(op); }

// A timed coroutine dropped while its coroutine waits is closed, as the interpreter's own are. One
// that was never sent anything reports nothing; its function's coroutine, dropped with it, says
// that it was never awaited. No other one has anything to finalize.
bool needs_finalizing(const TimedCoroutine* self) { return self->phase == Phase::suspended; }

void timed_finalize(PyObject* op) {
    TimedCoroutine* self = as_timed(op);
    if (!needs_finalizing(self) || !interpreter_usable()) return;
    SavedError pending;
    Ref closed = Ref::steal_or_null(close_now(self));
    if (!closed) PyErr_WriteUnraisable(op);
}

int timed_traverse(PyObject* op, visitproc visit, void* arg) {
    TimedCoroutine* self = as_timed(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->closure);
    Py_VISIT(self->inner);
    Py_VISIT(self->awaited);
    Py_VISIT(self->start);
    return 0;
}

int timed_clear(PyObject* op) {
    TimedCoroutine* self = as_timed(op);
    Py_CLEAR(self->closure);
    Py_CLEAR(self->inner);
    Py_CLEAR(self->awaited);
    Py_CLEAR(self->start);
    return 0;
}

void timed_dealloc(PyObject* op) {
    // Only a coroutine that needs finalizing pays for the call, which may keep it alive.
    if (needs_finalizing(as_timed(op)) && PyObject_CallFinalizerFromDealloc(op) < 0) return;
    PyTypeObject* type = Py_TYPE(op);
    Ref type_reference = Ref::steal_or_null(reinterpret_cast<PyObject*>(type));  // an instance's, let go last
    PyObject_GC_UnTrack(op);
    timed_clear(op);
    type->tp_free(op);
}

// The name of what the function returned, else of the function (an awaitable need not have
// one), else the type's.
PyObject* inner_attribute(PyObject* op, const char* name) {
    TimedCoroutine* self = as_timed(op);
    // Both kept first: a lookup runs Python code, which may clear the object's parts.
    const Ref named[] = {Ref::new_ref(self->inner),
                         Ref::new_ref(self->closure ? PyTuple_GET_ITEM(self->closure, wrapper_func) : nullptr)};
    for (const Ref& candidate : named) {
        if (!candidate) continue;
        PyObject* value = PyObject_GetAttrString(candidate.get(), name);
        if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
        PyErr_Clear();
    }
    return PyUnicode_FromString("timed_coroutine");
}

PyObject* timed_name(PyObject* op, void*) { return inner_attribute(op, "__name__"); }
PyObject* timed_qualname(PyObject* op, void*) { return inner_attribute(op, "__qualname__"); }

PyObject* timed_repr(PyObject* op) {
    Ref qualname = Ref::steal_or_null(timed_qualname(op, nullptr));
    if (!qualname) return nullptr;
    return PyUnicode_FromFormat("<timed coroutine object %S at %p>", qualname.get(), op);
}

PyMethodDef timed_methods[] = {
    {"send", timed_send, METH_O, "send(arg) -> send 'arg' into the coroutine,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(timed_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next yielded value or raise\nStopIteration."},
    {"close", timed_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef timed_getset[] = {
    {"__name__", timed_name, nullptr, "name of the timed coroutine", nullptr},
    {"__qualname__", timed_qualname, nullptr, "qualified name of the timed coroutine", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// What `await inner` iterates, as the interpreter takes it: a coroutine itself, else what its
// __await__ returns, which must be an iterator and no coroutine.
Ref awaitable_iterator(PyObject* inner) {
    if (PyCoro_CheckExact(inner)) return Ref::new_ref(inner);
    PyAsyncMethods* async = Py_TYPE(inner)->tp_as_async;
    if (async == nullptr || async->am_await == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", Py_TYPE(inner)->tp_name);
        throw_error();
    }
    Ref iterator = Ref::steal(async->am_await(inner));
    if (PyCoro_CheckExact(iterator.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        throw_error();
    }
    if (!PyIter_Check(iterator.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iterator.get())->tp_name);
        throw_error();
    }
    return iterator;
}

}  // namespace

PyTypeObject* create_timed_coroutine_type(PyObject* module) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(timed_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(timed_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(timed_clear)},
        {Py_tp_finalize, reinterpret_cast<void*>(timed_finalize)},
        {Py_tp_repr, reinterpret_cast<void*>(timed_repr)},
        {Py_tp_iternext, reinterpret_cast<void*>(timed_iternext)},
        {Py_tp_methods, timed_methods},
        {Py_tp_getset, timed_getset},
        {Py_am_await, reinterpret_cast<void*>(timed_await)},
        {Py_am_send, reinterpret_cast<void*>(timed_am_send)},
        {0, nullptr},
    };
    PyType_Spec type_spec = {
        "vantor.common.stat.timed_coroutine",
        sizeof(TimedCoroutine),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
}

PyObject* timed_coroutine_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return boundary("wrapped_function", [&]() -> PyObject* {
        FunctionObject* f = as_function(callable);
        State* st = state_of(f);
        PyObject* closure = f->closure;
        RecursionGuard guard(" while calling a Python object");
        Ref owned_closure = Ref::new_ref(closure);
        ClockReading start = read_wall_clock(st);
        PyObject* func = PyTuple_GET_ITEM(closure, wrapper_func);  // the wrapper's, which the caller holds
        Ref inner, awaited;
        try {
            inner = Ref::steal(PyObject_Vectorcall(func, args, nargsf, kwnames));
            awaited = awaitable_iterator(inner.get());
        } catch (...) {
            pass_thread_exit();
            // Ended at the call: reported as an await that raised.
            report_in_finally([&] { report(st, closure, start.value.get(), start.seconds); });
            throw;
        }
        TimedCoroutine* self = PyObject_GC_New(TimedCoroutine, st->timed_coroutine_type);
        if (self == nullptr) throw_error();
        self->closure = owned_closure.release();
        self->inner = inner.release();
        self->awaited = awaited.release();
        self->start = start.value.release();
        self->start_seconds = start.seconds;
        self->phase = Phase::fresh;
        PyObject_GC_Track(self);
        return reinterpret_cast<PyObject*>(self);
    });
}

}  // namespace vantor::stat
