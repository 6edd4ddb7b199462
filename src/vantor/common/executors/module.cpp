// vantor.common.executors: module state, the module body (imports, logger, Task, the class, in
// that order) and the state's traverse/clear/free.
#include "plain_queue.hpp"
#include "state.hpp"

#include <utility>

namespace vantor::executors {

namespace {

#define EXECUTORS_INTERNED(X)                                                                         \
    X(Task) X(Queue) X(Lock) X(ThreadPoolExecutor) X(sleep) X(time) X(get_ident) X(Empty) X(logger)     \
    X(debug) X(exception) X(put) X(empty) X(get_nowait) X(acquire) X(release) X(submit) X(shutdown)     \
    X(run) X(_batch) X(_queue) X(_is_running) X(num_threads) X(batch_size) X(duration)                 \
    X(_num_running_threads) X(_lock) X(executor) X(popleft) X(append) X(mutex) X(queue) X(not_empty)     \
    X(not_full) X(_waiters) X(maxsize) X(unfinished_tasks) X(is_shutdown) X(notify) X(add_done_callback)   \
    X(cancelled) X(qsize) X(_threads) X(ident) X(warning)

#define EXECUTORS_OTHER_OBJECTS(X) \
    X(function_type) X(globals) X(kw_args_kwargs) X(kw_max_workers) X(kw_wait) X(poll_interval) X(loop_poll) X(empty_text) \
    X(queue_type) X(condition_type) X(lock_type) X(deque_type) X(queue_methods) X(condition_methods) X(fn_batch) \
    X(task_type)

State* get_state(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

int executors_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = get_state(module);
    if (st == nullptr) return 0;
#define VISIT_NAME(name) Py_VISIT(st->str_##name);
#define VISIT(field) Py_VISIT(st->field);
    EXECUTORS_INTERNED(VISIT_NAME)
    EXECUTORS_OTHER_OBJECTS(VISIT)
#undef VISIT
#undef VISIT_NAME
    return 0;
}

int executors_clear(PyObject* module) {
    State* st = get_state(module);
    if (st == nullptr) return 0;
#define CLEAR_NAME(name) Py_CLEAR(st->str_##name);
#define CLEAR(field) Py_CLEAR(st->field);
    EXECUTORS_INTERNED(CLEAR_NAME)
    EXECUTORS_OTHER_OBJECTS(CLEAR)
#undef CLEAR
#undef CLEAR_NAME
    return 0;
}

void executors_free(void* module) {
    executors_clear(static_cast<PyObject*>(module));
    State* st = get_state(static_cast<PyObject*>(module));
    if (st == nullptr) return;
    watch_unregister(&st->recognized.queue.watch());
    watch_unregister(&st->recognized.not_empty.watch());
    watch_unregister(&st->recognized.not_full.watch());
    watch_unregister(&st->task_basis.watch());
    // Taken out of the state before it is deleted: releasing the records' pools may run code.
    delete std::exchange(st->registry, nullptr);
}

void init_names(State* st) {
#define INTERN(name) st->str_##name = intern(#name);
    EXECUTORS_INTERNED(INTERN)
#undef INTERN
    st->kw_args_kwargs = keyword_names({"args", "kwargs"});
    st->kw_max_workers = keyword_names({"max_workers"});
    st->kw_wait = keyword_names({"wait"});
    st->poll_interval = require(PyFloat_FromDouble(0.1));
    st->loop_poll = require(PyFloat_FromDouble(0.005));
    st->empty_text = require(PyUnicode_FromString(""));
}

Ref global(PyObject* globals, const char* name) {
    return lookup_global(globals, Ref::steal(PyUnicode_FromString(name)).get());
}

void exec_body(PyObject* module) {
    State* st = get_state(module);
    PyObject* globals = PyModule_GetDict(module);
    st->globals = Py_NewRef(globals);
    st->module = module;
    st->registry = new Registry();
    init_names(st);
    // The remembered queue's parts are trusted only while the watchers can tell these of a change
    // (a queue freed and another made at its address included); added now, so that no Python code
    // runs at the first recognition.
    watch_init();
    watch_interpreter_exit();
    watch_register(&st->recognized.queue.watch());
    watch_register(&st->recognized.not_empty.watch());
    watch_register(&st->recognized.not_full.watch());
    watch_register(&st->task_basis.watch());

    struct Import {
        const char* module;
        const char* name;
    };
    for (const Import& imp : {Import{"abc", "ABC"}, Import{"abc", "abstractmethod"},
                              Import{"collections", "namedtuple"},
                              Import{"concurrent.futures", "ThreadPoolExecutor"}, Import{"queue", "Empty"},
                              Import{"queue", "Queue"}, Import{"threading", "Lock"},
                              Import{"threading", "get_ident"}, Import{"time", "sleep"}, Import{"time", "time"},
                              Import{"typing", "Any"}, Import{"typing", "List"},
                              Import{"vantor.common.utils", "LogUtils"}})
        bind_global(globals, imp.name, import_from(globals, imp.module, imp.name).get());

    capture_plain_queue(st);
    // After the thread pool's module registered its own exit hook, so that ours runs first.
    register_lifecycle_hooks(st);

    Ref module_name = global(globals, "__name__");
    {
        Ref log_utils = global(globals, "LogUtils");
        PyObject* args[] = {log_utils.get(), module_name.get()};
        Ref get_logger = Ref::steal(PyUnicode_FromString("get_logger"));
        bind_global(globals, "logger", call_method(get_logger.get(), args, 2).get());
    }
    {
        // The module is named explicitly: namedtuple would otherwise take it from the calling
        // Python frame, which here is the import machinery's.
        Ref namedtuple = global(globals, "namedtuple");
        Ref fields = Ref::steal(Py_BuildValue("[ss]", "args", "kwargs"));
        Ref type_name = Ref::steal(PyUnicode_FromString("Task"));
        Ref kwnames = Ref::steal(keyword_names({"module"}));
        PyObject* args[] = {type_name.get(), fields.get(), module_name.get()};
        Ref task_type = Ref::steal(PyObject_Vectorcall(namedtuple.get(), args, 2, kwnames.get()));
        bind_global(globals, "Task", task_type.get());
        remember_task_type(st, task_type.get());
    }

    st->function_type = create_function_type(module, "vantor.common.executors.function");
    if (st->function_type == nullptr) throw_error();
    const FunctionFactory factory{st->function_type, module, st, globals, module_name.get()};
    Ref init_defaults = Ref::steal(Py_BuildValue("(iid)", 1, 100, 0.1));
    Ref init = make_function(factory, init_def, init_defaults.get());
    Ref add_task = make_function(factory, add_task_def);
    Ref wait = make_function(factory, wait_until_empty_def);
    Ref shutdown = make_function(factory, shutdown_def);
    Ref batch = make_function(factory, batch_def);
    st->fn_batch = batch.copy().release();
    Ref run = [&] {
        Ref abstractmethod = global(globals, "abstractmethod");
        Ref plain = make_function(factory, run_def);
        return Ref::steal(PyObject_CallOneArg(abstractmethod.get(), plain.get()));
    }();
    Ref abc = global(globals, "ABC");
    Ref cls = build_class(module_name.get(), "DelayedBatchExecutor", {abc.get()},
                          {{"__init__", init.get()},
                           {"add_task", add_task.get()},
                           {"wait_until_empty", wait.get()},
                           {"shutdown", shutdown.get()},
                           {"_batch", batch.get()},
                           {"run", run.get()}});
    bind_global(globals, "DelayedBatchExecutor", cls.get());
}

int executors_exec(PyObject* module) {
    return boundary("vantor.common.executors", [&] {
        exec_body(module);
        return 0;
    });
}

PyModuleDef_Slot executors_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(executors_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Everything mutable is the module state's or the interpreter's own: each interpreter, with a
    // GIL of its own or not, imports a module of its own.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef executors_module = {
    PyModuleDef_HEAD_INIT, "executors", nullptr, sizeof(State), nullptr, executors_slots,
    executors_traverse,    executors_clear,
    executors_free,
};

}  // namespace

}  // namespace vantor::executors

PyMODINIT_FUNC PyInit_executors(void) { return PyModuleDef_Init(&vantor::executors::executors_module); }
