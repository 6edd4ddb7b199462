// vantor.common.stat: module state, the module body (imports, logger, type aliases, classes,
// decorator factory, in that order) and the state's traverse/clear/free.
#include "client.hpp"

namespace vantor::stat {

namespace {

#define STAT_STATE_OBJECTS(X)                                                                       \
    X(function_type) X(globals) X(fn_timing) X(fn_gauge) X(fn_send_stat) X(fn_prepare) X(fn_build_tag) \
    X(fn_after) X(fn_send) X(str_socket) X(str_time) X(str_wraps) X(str_logger) X(str_warning)        \
    X(str_AF_INET) X(str_AF_INET6) X(str_SOCK_DGRAM) X(str_getaddrinfo) X(str_gaierror) X(str_sendto)  \
    X(str_items) X(str_statd_available) X(str__addr) X(str__sock) X(str__prefix) X(str__maxudpsize)    \
    X(str_timing) X(str__gauge) X(str__send_stat) X(str__prepare) X(str__build_tag) X(str__after)      \
    X(str__send) X(str_warning_format) X(str_key) X(str_count) X(str_value) X(str_delta) X(str_tags)      \
    X(standard_clock) X(kw_tags) X(kw_delta_tags)  \
    X(coroutine_code) X(timed_coroutine_type)

State* get_state(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

int stat_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = get_state(module);
    if (st == nullptr) return 0;
#define VISIT(field) Py_VISIT(st->field);
    STAT_STATE_OBJECTS(VISIT)
#undef VISIT
    return 0;
}

int stat_clear(PyObject* module) {
    State* st = get_state(module);
    if (st == nullptr) return 0;
#define CLEAR(field) Py_CLEAR(st->field);
    STAT_STATE_OBJECTS(CLEAR)
#undef CLEAR
    return 0;
}

void stat_free(void* module) {
    stat_clear(static_cast<PyObject*>(module));
    State* st = get_state(static_cast<PyObject*>(module));
    if (st != nullptr && st->views != nullptr) {
        unregister_views(st);
        watch_unregister(&st->rendered_tags.basis.watch());
        watch_unregister(&st->clock.globals.watch());
        watch_unregister(&st->clock.module_basis.watch());
        delete[] st->views;
        st->views = nullptr;
    }
}

void init_names(State* st) {
    st->str_socket = intern("socket");
    st->str_time = intern("time");
    st->str_wraps = intern("wraps");
    st->str_logger = intern("logger");
    st->str_warning = intern("warning");
    st->str_AF_INET = intern("AF_INET");
    st->str_AF_INET6 = intern("AF_INET6");
    st->str_SOCK_DGRAM = intern("SOCK_DGRAM");
    st->str_getaddrinfo = intern("getaddrinfo");
    st->str_gaierror = intern("gaierror");
    st->str_sendto = intern("sendto");
    st->str_items = intern("items");
    st->str_statd_available = intern("statd_available");
    st->str__addr = intern("_addr");
    st->str__sock = intern("_sock");
    st->str__prefix = intern("_prefix");
    st->str__maxudpsize = intern("_maxudpsize");
    st->str_timing = intern("timing");
    st->str__gauge = intern("_gauge");
    st->str__send_stat = intern("_send_stat");
    st->str__prepare = intern("_prepare");
    st->str__build_tag = intern("_build_tag");
    st->str__after = intern("_after");
    st->str__send = intern("_send");
    st->str_warning_format = require(PyUnicode_FromString("Unable to find address for %s:%s. No statsd will be reported."));
    st->str_key = intern("key");
    st->str_count = intern("count");
    st->str_value = intern("value");
    st->str_delta = intern("delta");
    st->str_tags = intern("tags");
    st->kw_tags = keyword_names({"tags"});
    st->kw_delta_tags = keyword_names({"delta", "tags"});
}

// `name[args]` for the typing aliases, with the subscripted object taken from the namespace.
Ref subscript(PyObject* globals, const char* name, PyObject* args) {
    Ref base = lookup_global(globals, Ref::steal(PyUnicode_FromString(name)).get());
    return Ref::steal(PyObject_GetItem(base.get(), args));
}

Ref abstract(PyObject* globals, Ref function) {
    Ref decorator = lookup_global(globals, Ref::steal(PyUnicode_FromString("abstractmethod")).get());
    return Ref::steal(PyObject_CallOneArg(decorator.get(), function.get()));
}

void exec_body(PyObject* module) {
    State* st = get_state(module);
    PyObject* globals = PyModule_GetDict(module);
    st->globals = Py_NewRef(globals);
    st->views = new ClientView[State::view_slots];
    watch_init();
    watch_interpreter_exit();
    register_views(st);
    watch_register(&st->rendered_tags.basis.watch());
    watch_register(&st->clock.globals.watch());
    watch_register(&st->clock.module_basis.watch());
    init_names(st);

    bind_global(globals, "socket", import_module(globals, "socket").get());
    bind_global(globals, "time", import_module(globals, "time").get());
    st->standard_clock = import_from(globals, "time", "time").release();
    bind_global(globals, "ABC", import_from(globals, "abc", "ABC").get());
    bind_global(globals, "abstractmethod", import_from(globals, "abc", "abstractmethod").get());
    bind_global(globals, "wraps", import_from(globals, "functools", "wraps").get());
    for (const char* name : {"Any", "Mapping", "Optional", "Union"})
        bind_global(globals, name, import_from(globals, "typing", name).get());
    bind_global(globals, "LogUtils", import_from(globals, "vantor.common.utils", "LogUtils").get());
    {
        Ref log_utils = lookup_global(globals, Ref::steal(PyUnicode_FromString("LogUtils")).get());
        Ref module_name = lookup_global(globals, Ref::steal(PyUnicode_FromString("__name__")).get());
        PyObject* args[] = {log_utils.get(), module_name.get()};
        Ref get_logger = Ref::steal(PyUnicode_FromString("get_logger"));
        bind_global(globals, "logger", call_method(get_logger.get(), args, 2).get());
    }

    {
        Ref members = Ref::steal(PyTuple_Pack(4, &PyUnicode_Type, &PyLong_Type, &PyFloat_Type, &PyBool_Type));
        Ref union_of = subscript(globals, "Union", members.get());
        bind_global(globals, "TagValue", subscript(globals, "Optional", union_of.get()).get());
        Ref tag_value = lookup_global(globals, Ref::steal(PyUnicode_FromString("TagValue")).get());
        Ref mapping_args = Ref::steal(PyTuple_Pack(2, &PyUnicode_Type, tag_value.get()));
        Ref mapping = subscript(globals, "Mapping", mapping_args.get());
        bind_global(globals, "Tags", subscript(globals, "Optional", mapping.get()).get());
    }

    st->function_type = create_function_type(module, "vantor.common.stat.function");
    if (st->function_type == nullptr) throw_error();
    Ref module_name = lookup_global(globals, Ref::steal(PyUnicode_FromString("__name__")).get());
    const FunctionFactory factory{st->function_type, module, st, globals, module_name.get()};
    Ref none_default = Ref::steal(PyTuple_Pack(1, Py_None));

    {
        Ref inc_defaults = Ref::steal(Py_BuildValue("(iO)", 1, Py_None));
        Ref inc = abstract(globals, make_function(factory, abstract_inc_def, inc_defaults.get()));
        Ref timing = abstract(globals, make_function(factory, abstract_timing_def, none_default.get()));
        Ref set = abstract(globals, make_function(factory, abstract_set_def, none_default.get()));
        Ref abc = lookup_global(globals, Ref::steal(PyUnicode_FromString("ABC")).get());
        Ref cls = build_class(module_name.get(), "AbstractStatClient", {abc.get()},
                              {{"inc", inc.get()}, {"timing", timing.get()}, {"set", set.get()}});
        bind_global(globals, "AbstractStatClient", cls.get());
    }
    {
        Ref init_defaults = Ref::steal(Py_BuildValue("(siO)", "", 512, Py_False));
        Ref inc_defaults = Ref::steal(Py_BuildValue("(iO)", 1, Py_None));
        Ref gauge_defaults = Ref::steal(Py_BuildValue("(OO)", Py_False, Py_None));
        Ref init = make_function(factory, init_def, init_defaults.get());
        Ref timing = make_function(factory, timing_def, none_default.get());
        Ref inc = make_function(factory, inc_def, inc_defaults.get());
        Ref set = make_function(factory, set_def, none_default.get());
        Ref gauge = make_function(factory, gauge_def, gauge_defaults.get());
        Ref send_stat = make_function(factory, send_stat_def, none_default.get());
        Ref prepare = make_function(factory, prepare_def, none_default.get());
        Ref build_tag = make_function(factory, build_tag_def);
        Ref after = make_function(factory, after_def);
        Ref send = make_function(factory, send_def);
        Ref base = lookup_global(globals, Ref::steal(PyUnicode_FromString("AbstractStatClient")).get());
        Ref cls = build_class(module_name.get(), "StatClient", {base.get()},
                              {{"__init__", init.get()},
                               {"timing", timing.get()},
                               {"inc", inc.get()},
                               {"set", set.get()},
                               {"_gauge", gauge.get()},
                               {"_send_stat", send_stat.get()},
                               {"_prepare", prepare.get()},
                               {"_build_tag", build_tag.get()},
                               {"_after", after.get()},
                               {"_send", send.get()}});
        st->fn_timing = timing.release();
        st->fn_gauge = gauge.release();
        st->fn_send_stat = send_stat.release();
        st->fn_prepare = prepare.release();
        st->fn_build_tag = build_tag.release();
        st->fn_after = after.release();
        st->fn_send = send.release();
        bind_global(globals, "StatClient", cls.get());
    }
    bind_global(globals, "timing", make_function(factory, timing_decorator_factory_def, none_default.get()).get());
    init_coroutine_wrapper(st, factory);
}

int stat_exec(PyObject* module) {
    return boundary("vantor.common.stat", [&] {
        exec_body(module);
        return 0;
    });
}

PyModuleDef_Slot stat_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(stat_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Everything mutable is the module state's or the interpreter's own: each interpreter, with a
    // GIL of its own or not, imports a module of its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef stat_module = {
    PyModuleDef_HEAD_INIT,
    "stat",
    nullptr,
    sizeof(State),
    nullptr,
    stat_slots,
    stat_traverse,
    stat_clear,
    stat_free,
};

}  // namespace

}  // namespace vantor::stat

PyMODINIT_FUNC PyInit_stat(void) { return PyModuleDef_Init(&vantor::stat::stat_module); }
