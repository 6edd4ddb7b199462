// The timing decorator: timing(client, key, tags) -> timing_decorator(func) -> wrapped_function,
// each a closure over the values of the one that made it. The wrapper reports the wall-clock
// duration of every call that returns normally through client.timing(key, elapsed, tags=tags);
// the wrapper of a coroutine function is a coroutine function that times the call until its await
// ends, however it ends.
#include "timing.hpp"

namespace vantor::stat {

namespace {

enum Captured : Py_ssize_t { captured_client, captured_key, captured_tags };

constexpr Param factory_params[] = {{"client", "StatClient"}, {"key", "str"}, {"tags", "Tags"}};
constexpr Param decorator_params[] = {{"func", "Any"}};
constexpr Param wrapper_params[] = {{"args", "Any", ParamKind::var_positional},
                                    {"kwargs", "Any", ParamKind::var_keyword}};

constexpr Signature factory_sig{"timing", factory_params, "Any"};
constexpr Signature decorator_sig{"timing_decorator", decorator_params, "Any"};
constexpr Signature wrapper_sig{"wrapped_function", wrapper_params, "Any"};

}  // namespace

ClockReading call_clock(State* st, PyObject* clock) {
    ClockReading reading;
    if (clock == st->standard_clock) {
        if (!internals::system_clock_seconds(reading.seconds)) throw_error();
        return reading;
    }
    Ref held = Ref::new_ref(clock);
    reading.value = Ref::steal(PyObject_CallNoArgs(held.get()));
    return reading;
}

ClockReading read_wall_clock_afresh(State* st) {
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
    ClockReading reading;
    reading.value = call_method(st->str_time, args, 1);
    return reading;
}

namespace {

// The wrapper takes any arguments and passes them on untouched, so it skips the binder.
VANTOR_HOT PyObject* wrapper_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return boundary("wrapped_function", [&]() -> PyObject* {
        FunctionObject* f = as_function(callable);
        State* st = state_of(f);
        RecursionGuard guard(" while calling a Python object");
        ClockReading start = read_wall_clock(st);
        Ref result = Ref::steal(PyObject_Vectorcall(closure_item(f, wrapper_func), args, nargsf, kwnames));
        ClockReading end = read_wall_clock(st);
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

const FunctionDef coroutine_wrapper_def{&wrapper_sig, wrapper_body,
                                        "timing.<locals>.timing_decorator.<locals>.wrapped_function", nullptr,
                                        timed_coroutine_call};

// What inspect asks of a function-like object to call it a coroutine function: a code object
// flagged as a coroutine's, compiled from the wrapper's own signature, and __kwdefaults__. Both
// live in the wrapper's __dict__, so that no other function of ours looks like one.
constexpr const char coroutine_code_source[] =
    "async def wrapped_function(*args: 'Any', **kwargs: 'Any') -> 'Any':\n"
    "    ...\n";

void mark_as_coroutine_function(State* st, PyObject* wrapper) {
    Ref code_name = Ref::steal(PyUnicode_InternFromString("__code__"));
    Ref kwdefaults_name = Ref::steal(PyUnicode_InternFromString("__kwdefaults__"));
    require(PyObject_SetAttr(wrapper, code_name.get(), st->coroutine_code));
    require(PyObject_SetAttr(wrapper, kwdefaults_name.get(), Py_None));
}

// inspect.iscoroutinefunction(func), imported when first needed.
bool is_coroutine_function(State* st, PyObject* func) {
    Ref check = import_from(st->globals, "inspect", "iscoroutinefunction");
    Ref answer = Ref::steal(PyObject_CallOneArg(check.get(), func));
    return require(PyObject_IsTrue(answer.get())) != 0;
}

PyObject* decorator_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* func = a[0];
    Ref closure = Ref::steal(PyTuple_Pack(4, func, closure_item(f, captured_client), closure_item(f, captured_key),
                                          closure_item(f, captured_tags)));
    Ref wrapper;
    if (is_coroutine_function(st, func)) {
        wrapper = make_function(factory_of(f), coroutine_wrapper_def, nullptr, closure.get());
        mark_as_coroutine_function(st, wrapper.get());
    } else {
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
    Ref module_code = Ref::steal(Py_CompileString(coroutine_code_source, "<vantor.common.stat: timing>", Py_file_input));
    Ref consts = Ref::steal(PyObject_GetAttrString(module_code.get(), "co_consts"));
    // The function's code among the constants (from 3.14 on the module's __annotate__ is another).
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()) && st->coroutine_code == nullptr; ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts.get(), i);
        if (!PyCode_Check(item)) continue;
        Ref name = Ref::steal(PyObject_GetAttrString(item, "co_name"));
        if (PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "wrapped_function") == 0)
            st->coroutine_code = Py_NewRef(item);
    }
    if (st->coroutine_code == nullptr) {
        PyErr_SetString(PyExc_SystemError, "the coroutine wrapper's code compiled to no function");
        throw_error();
    }
    PyTypeObject* type = create_timed_coroutine_type(factory.owner);
    if (type == nullptr) throw_error();
    st->timed_coroutine_type = type;
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
