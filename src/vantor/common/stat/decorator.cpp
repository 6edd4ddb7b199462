// The timing decorator: timing(client, key, tags) -> timing_decorator(func) -> wrapped_function,
// each a closure over the values of the one that made it. The wrapper reports the wall-clock
// duration of every call that returns normally through client.timing(key, elapsed, tags=tags);
// the wrapper of a coroutine function is a coroutine function that times the call until its await
// ends, however it ends.
#include "client.hpp"

namespace vantor::stat {

namespace {

enum Captured : Py_ssize_t { captured_client, captured_key, captured_tags };
enum WrapperCaptured : Py_ssize_t { wrapper_func, wrapper_client, wrapper_key, wrapper_tags };

constexpr Param factory_params[] = {{"client", "StatClient"}, {"key", "str"}, {"tags", "Tags"}};
constexpr Param decorator_params[] = {{"func", "Any"}};
constexpr Param wrapper_params[] = {{"args", "Any", ParamKind::var_positional},
                                    {"kwargs", "Any", ParamKind::var_keyword}};

constexpr Signature factory_sig{"timing", factory_params, "Any"};
constexpr Signature decorator_sig{"timing_decorator", decorator_params, "Any"};
constexpr Signature wrapper_sig{"wrapped_function", wrapper_params, "Any"};

// One reading of the clock: the float time.time() returned, or, when the clock was the time
// module's own time.time, its value read in place (the same value, without the call).
struct Reading {
    double seconds = 0;
    Ref value;  // the returned object, or empty for a reading in place

    Ref as_object() const { return value ? value.copy() : Ref::steal(PyFloat_FromDouble(seconds)); }
};

Reading call_clock(State* st, PyObject* clock) {
    Reading reading;
    if (clock == st->standard_clock) {
        if (!internals::system_clock_seconds(reading.seconds)) throw_error();
        return reading;
    }
    Ref held = Ref::new_ref(clock);
    reading.value = Ref::steal(PyObject_CallNoArgs(held.get()));
    return reading;
}

// time.time(), with the global `time` and its attribute `time` looked up at this moment.
VANTOR_HOT Reading wall_clock(State* st) {
    // While our namespace and the time module are as they were, so are both lookups. Our namespace
    // is asked first: it holds the module.
    if (st->clock.clock != nullptr && st->clock.globals.holds(st->globals) &&
        st->clock.module_basis.holds(st->clock.module))
        return call_clock(st, st->clock.clock);
    st->clock.clock = nullptr;
    const bool global_of_ours = PyDict_GetItemWithError(st->globals, st->str_time) != nullptr;
    if (!global_of_ours && PyErr_Occurred()) throw_error();
    Ref time = lookup_global(st->globals, st->str_time);
    if (PyModule_CheckExact(time.get())) {
        // A plain module's attribute is its dict entry (the module type defines no `time`):
        // the same lookup, without the general attribute machinery.
        PyObject* module_dict = PyModule_GetDict(time.get());
        PyObject* clock = PyDict_GetItemWithError(module_dict, st->str_time);
        if (clock != nullptr) {
            // Nothing ran since the lookups: the watches start from what they found (a global of
            // our own namespace only: a builtin of that name is not watched).
            if (global_of_ours && st->clock.globals.take_dict(st->globals) && st->clock.module_basis.take(time.get())) {
                st->clock.module = time.get();
                st->clock.clock = clock;
            }
            return call_clock(st, clock);
        }
        if (PyErr_Occurred()) throw_error();
    }
    PyObject* args[] = {time.get()};
    Reading reading;
    reading.value = call_method(st->str_time, args, 1);
    return reading;
}

// The wrapper takes any arguments and passes them on untouched, so it skips the binder.
VANTOR_HOT PyObject* wrapper_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return boundary("wrapped_function", [&]() -> PyObject* {
        FunctionObject* f = as_function(callable);
        State* st = state_of(f);
        RecursionGuard guard(" while calling a Python object");
        Reading start = wall_clock(st);
        Ref result = Ref::steal(PyObject_Vectorcall(closure_item(f, wrapper_func), args, nargsf, kwnames));
        Reading end = wall_clock(st);
        PyObject* client = closure_item(f, wrapper_client);
        PyObject* key = closure_item(f, wrapper_key);
        PyObject* tags = closure_item(f, wrapper_tags);
        if (!start.value && !end.value) {
            // Two floats subtract as their doubles do.
            call_timing_seconds(st, client, key, end.seconds - start.seconds, tags);
        } else {
            Ref elapsed = Ref::steal(PyNumber_Subtract(end.as_object().get(), start.as_object().get()));
            call_timing(st, client, key, elapsed.get(), tags);
        }
        return result.release();
    });
}

PyObject* wrapper_body(FunctionObject*, BoundArgs&) {
    PyErr_SetString(PyExc_SystemError, "wrapped_function is called through its own entry point");
    throw_error();
}

const FunctionDef wrapper_def{&wrapper_sig, wrapper_body,
                              "timing.<locals>.timing_decorator.<locals>.wrapped_function", nullptr,
                              wrapper_call};

// ---- coroutine functions -----------------------------------------------------------------------

// The wrapper of a coroutine function must be one too, for inspect and the frameworks that ask it;
// before 3.12 only a code object flagged as a coroutine makes one, so it is Python source, compiled
// once at import with the module namespace as its globals. Its names nest as the qualified name of
// the synchronous wrapper reads. The clock and the report are ours: clock() is a reading of
// time.time(), report(...) reads it again and reports the difference, also after an exception or
// a cancellation. A call without keywords passes no dict on (the cheaper call).
constexpr const char coroutine_source[] =
    "def timing():\n"
    "    def timing_decorator(func, client, key, tags, clock, report):\n"
    "        async def wrapped_function(*args: 'Any', **kwargs: 'Any') -> 'Any':\n"
    "            start = clock()\n"
    "            try:\n"
    "                return await (func(*args, **kwargs) if kwargs else func(*args))\n"
    "            finally:\n"
    "                report(client, key, tags, start)\n"
    "        return wrapped_function\n"
    "    return timing_decorator\n";

// The helpers are called only by the wrapper's code, but can be reached through its closure.
void check_arguments(const char* name, size_t nargsf, PyObject* kwnames, Py_ssize_t expected) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
        throw_error();
    }
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (given == expected) return;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional arguments (%zd given)", name, expected, given);
    throw_error();
}

// clock(): time.time() as the synchronous wrapper reads it.
PyObject* coroutine_clock_call(PyObject* callable, PyObject* const*, size_t nargsf, PyObject* kwnames) {
    return boundary("timing_clock", [&]() -> PyObject* {
        check_arguments("timing_clock", nargsf, kwnames, 0);
        return wall_clock(state_of(as_function(callable))).as_object().release();
    });
}

// report(client, key, tags, start): the elapsed time since `start` through client.timing().
PyObject* coroutine_report_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return boundary("timing_report", [&]() -> PyObject* {
        check_arguments("timing_report", nargsf, kwnames, 4);
        State* st = state_of(as_function(callable));
        RecursionGuard guard(" while calling a Python object");
        Ref start = Ref::new_ref(args[3]);
        Reading end = wall_clock(st);
        if (!end.value && PyFloat_CheckExact(start.get())) {
            call_timing_seconds(st, args[0], args[1], end.seconds - PyFloat_AS_DOUBLE(start.get()), args[2]);
        } else {
            Ref elapsed = Ref::steal(PyNumber_Subtract(end.as_object().get(), start.get()));
            call_timing(st, args[0], args[1], elapsed.get(), args[2]);
        }
        Py_RETURN_NONE;
    });
}

constexpr Param report_params[] = {{"client"}, {"key"}, {"tags"}, {"start"}};
constexpr Signature clock_sig{"timing_clock", {}};
constexpr Signature report_sig{"timing_report", report_params};
const FunctionDef clock_def{&clock_sig, wrapper_body, "timing_clock", nullptr, coroutine_clock_call};
const FunctionDef report_def{&report_sig, wrapper_body, "timing_report", nullptr, coroutine_report_call};

// inspect.iscoroutinefunction(func), imported when first needed.
bool is_coroutine_function(State* st, PyObject* func) {
    Ref check = import_from(st->globals, "inspect", "iscoroutinefunction");
    Ref answer = Ref::steal(PyObject_CallOneArg(check.get(), func));
    return require(PyObject_IsTrue(answer.get())) != 0;
}

PyObject* decorator_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* func = a[0];
    Ref wrapper;
    if (is_coroutine_function(st, func)) {
        PyObject* args[] = {func, closure_item(f, captured_client), closure_item(f, captured_key),
                            closure_item(f, captured_tags), st->coroutine_clock, st->coroutine_report};
        Ref make = Ref::new_ref(st->coroutine_decorator);
        wrapper = Ref::steal(PyObject_Vectorcall(make.get(), args, 6, nullptr));
    } else {
        Ref closure = Ref::steal(PyTuple_Pack(4, func, closure_item(f, captured_client),
                                              closure_item(f, captured_key), closure_item(f, captured_tags)));
        wrapper = make_function(factory_of(f), wrapper_def, nullptr, closure.get());
    }
    Ref wraps = lookup_global(st->globals, st->str_wraps);
    Ref update = Ref::steal(PyObject_CallOneArg(wraps.get(), func));
    return PyObject_CallOneArg(update.get(), wrapper.get());
}

const FunctionDef decorator_def{&decorator_sig, decorator_body, "timing.<locals>.timing_decorator"};

PyObject* factory_body(FunctionObject* f, BoundArgs& a) {
    Ref closure = Ref::steal(PyTuple_Pack(3, a[0], a[1], a[2]));
    return make_function(factory_of(f), decorator_def, nullptr, closure.get()).release();
}

}  // namespace

void init_coroutine_wrapper(State* st, const FunctionFactory& factory) {
    Ref code = Ref::steal(Py_CompileString(coroutine_source, "<vantor.common.stat: timing>", Py_file_input));
    Ref consts = Ref::steal(PyObject_GetAttrString(code.get(), "co_consts"));
    Ref timing_code;  // the code of `def timing()`, the one code object among the constants
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()) && !timing_code; ++i)
        if (PyCode_Check(PyTuple_GET_ITEM(consts.get(), i))) timing_code = Ref::new_ref(PyTuple_GET_ITEM(consts.get(), i));
    if (!timing_code) {
        PyErr_SetString(PyExc_SystemError, "the coroutine wrapper's source compiled to no function");
        throw_error();
    }
    Ref outer = Ref::steal(PyFunction_New(timing_code.get(), st->globals));
    st->coroutine_decorator = Ref::steal(PyObject_CallNoArgs(outer.get())).release();
    st->coroutine_clock = make_function(factory, clock_def).release();
    st->coroutine_report = make_function(factory, report_def).release();
}

const FunctionDef timing_decorator_factory_def{&factory_sig, factory_body, "timing",
                                               "计时装饰器\n"
                                               "\n"
                                               "    :param client: 统计客户端\n"
                                               "    :type client: StatClient\n"
                                               "    :param key: 统计指标名称\n"
                                               "    :type key: str\n"
                                               "    "};

}  // namespace vantor::stat
