// The timing decorator's parts that its two wrappers share (decorator.cpp; timed_coroutine.cpp,
// the call of a coroutine function's wrapper).
#pragma once

#include "client.hpp"

namespace vantor::stat {

// One reading of the clock: the float time.time() returned, or, when the clock was the time
// module's own time.time, its value read in place (the same value, without the call).
struct ClockReading {
    double seconds = 0;
    Ref value;  // the returned object, or empty for a reading in place

    Ref as_object() const { return value ? value.copy() : Ref::steal(PyFloat_FromDouble(seconds)); }
};

// time.time() as `clock` gives it: read in place when it is the time module's own.
ClockReading call_clock(State* st, PyObject* clock);
// time.time(), the global `time` and its attribute `time` looked up afresh (and kept for reuse).
ClockReading read_wall_clock_afresh(State* st);

// time.time(), with the global `time` and its attribute `time` looked up at this moment: while
// our namespace and the time module are as they were, so are both lookups. Our namespace is asked
// first: it holds the module.
[[gnu::always_inline]] inline ClockReading read_wall_clock(State* st) {
    if (st->clock.clock != nullptr && st->clock.globals.holds(st->globals) &&
        st->clock.module_basis.holds(st->clock.module)) {
        if (st->clock.clock != st->standard_clock) return call_clock(st, st->clock.clock);
        ClockReading reading;
        if (!internals::system_clock_seconds(reading.seconds)) throw_error();
        return reading;
    }
    return read_wall_clock_afresh(st);
}

// What a wrapper captures, in its closure.
enum WrapperCaptured : Py_ssize_t { wrapper_func, wrapper_client, wrapper_key, wrapper_tags };

// The type of timed coroutines, made once per module.
PyTypeObject* create_timed_coroutine_type(PyObject* module);
// The call of a coroutine function's wrapper.
PyObject* timed_coroutine_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace vantor::stat
