// put, and empty/get_nowait as the worker loop calls them, done in place on a plain queue.Queue.
// What makes a queue plain is checked on every use, since any of it can be changed at run time.
#include "plain_queue.hpp"

namespace vantor::executors {

namespace {

// A worker loop lets other threads in at least this often while the queue never runs dry and no
// batch fills (batch_size 0 or below, or beyond this).
constexpr Py_ssize_t max_tasks_per_hold = 1024;

// The parts of a plain queue (borrowed from its dict and those of its conditions).
struct Parts {
    PyObject* dict;
    PyObject* mutex;
    PyObject* items;              // the deque
    PyObject* not_empty;
    PyObject* not_empty_waiters;  // deques of the threads waiting on each condition
    PyObject* not_full_waiters;
};

// Every {name: function} of `methods` is what `type` resolves for the name, and the instance
// dict (if any) does not shadow it.
bool methods_unchanged(PyTypeObject* type, PyObject* dict, PyObject* methods) {
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* function;
    while (PyDict_Next(methods, &pos, &name, &function)) {
        if (type_lookup(type, name) != function) return false;
        if (PyDict_GetItemWithError(dict, name) != nullptr) return false;
        if (PyErr_Occurred()) throw_error();
    }
    return true;
}

// The instance dict of `obj` when `obj` is exactly of `type` and keeps its attributes in a dict.
PyObject* dict_of_exact(PyObject* obj, PyObject* type) {
    if (Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(type)) return nullptr;
    PyObject* dict = internals::instance_dict(obj);
    return dict != nullptr && PyDict_CheckExact(dict) ? dict : nullptr;
}

// A standard threading.Condition on `mutex`: its waiters' deque, else nullptr.
PyObject* plain_condition_waiters(State* st, PyObject* condition, PyObject* mutex) {
    PyObject* dict = dict_of_exact(condition, st->condition_type);
    if (dict == nullptr || !methods_unchanged(Py_TYPE(condition), dict, st->condition_methods)) return nullptr;
    if (plain_instance_attr(condition, dict, st->str__lock) != mutex) return nullptr;
    PyObject* waiters = plain_instance_attr(condition, dict, st->str__waiters);
    return waiters != nullptr && Py_TYPE(waiters) == reinterpret_cast<PyTypeObject*>(st->deque_type) ? waiters
                                                                                                      : nullptr;
}

// What recognize() found, kept for the next use while the bases of the queue (but for the count
// of unfinished tasks, which every put changes) and of both conditions hold. From 3.12 on only:
// before, the dict versions change with every put.
void remember(State* st, PyObject* queue, const Parts& p) {
#if VANTOR_WATCHERS
    auto& r = st->recognized;
    r.object = nullptr;
    PyObject* not_full = plain_instance_attr(queue, p.dict, st->str_not_full);
    r.queue.watch().ignore_key(st->str_unfinished_tasks);
    if (not_full == nullptr || !r.queue.take(queue) || r.queue.dict() != p.dict || !r.not_empty.take(p.not_empty) ||
        !r.not_full.take(not_full))
        return;
    r.object = queue;
    r.mutex = p.mutex;
    r.items = p.items;
    r.not_empty_condition = p.not_empty;
    r.not_full_condition = not_full;
    r.not_empty_waiters = p.not_empty_waiters;
    r.not_full_waiters = p.not_full_waiters;
#else
    (void)st, (void)queue, (void)p;
#endif
}

// The remembered parts, when `queue` is the queue remembered and they still hold. The queue is the
// caller's (alive), and its basis is asked first: its dict holds the conditions.
VANTOR_HOT bool remembered(State* st, PyObject* queue, Parts& p) {
#if VANTOR_WATCHERS
    const auto& r = st->recognized;
    if (r.object != queue || !r.queue.holds(queue) || !r.not_empty.holds(r.not_empty_condition) ||
        !r.not_full.holds(r.not_full_condition))
        return false;
    p = {r.queue.dict(), r.mutex, r.items, r.not_empty_condition, r.not_empty_waiters, r.not_full_waiters};
    return true;
#else
    (void)st, (void)queue, (void)p;
    return false;
#endif
}

VANTOR_HOT bool recognize(State* st, PyObject* queue, Parts& p) {
#ifdef Py_GIL_DISABLED
    // Doing the steps in place relies on nothing else running while the GIL is held.
    (void)st, (void)queue, (void)p;
    return false;
#else
    if (st->queue_type == nullptr) return false;
    if (remembered(st, queue, p)) return true;
    p.dict = dict_of_exact(queue, st->queue_type);
    if (p.dict == nullptr || !methods_unchanged(Py_TYPE(queue), p.dict, st->queue_methods)) return false;
    p.mutex = plain_instance_attr(queue, p.dict, st->str_mutex);
    if (p.mutex == nullptr || Py_TYPE(p.mutex) != reinterpret_cast<PyTypeObject*>(st->lock_type)) return false;
    p.items = plain_instance_attr(queue, p.dict, st->str_queue);
    if (p.items == nullptr || Py_TYPE(p.items) != reinterpret_cast<PyTypeObject*>(st->deque_type)) return false;
    p.not_empty = plain_instance_attr(queue, p.dict, st->str_not_empty);
    PyObject* not_full = plain_instance_attr(queue, p.dict, st->str_not_full);
    if (p.not_empty == nullptr || not_full == nullptr) return false;
    p.not_empty_waiters = plain_condition_waiters(st, p.not_empty, p.mutex);
    p.not_full_waiters = plain_condition_waiters(st, not_full, p.mutex);
    if (p.not_empty_waiters == nullptr || p.not_full_waiters == nullptr) return false;
    remember(st, queue, p);
    return true;
#endif
}

// The queue's shut-down flag (from 3.13 on) allows the step: put and get test it first.
bool not_shut_down(State* st, PyObject* queue, PyObject* dict, bool get) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* flag = plain_instance_attr(queue, dict, st->str_is_shutdown);
    // A get that finds the queue non-empty goes on whatever the flag says, but tests it first.
    return flag == Py_False || (get && flag == Py_True);
#else
    (void)st, (void)queue, (void)dict, (void)get;
    return true;
#endif
}

// Holds a queue's mutex as `with queue.mutex:` does, and lets go of it however the step ends.
class MutexHold {
public:
    MutexHold(State* st, PyObject* mutex) : st_(st), mutex_(Ref::new_ref(mutex)) {
        // A free mutex is taken without letting other threads run; only a busy one is waited for.
        // The call makes an argument tuple, whose allocation could start a collection, and with
        // it finalizers that change the queue whose parts the caller holds: none runs meanwhile.
        PyObject* try_args[] = {mutex, Py_False};
        const int collecting = PyGC_Disable();
        Ref taken = Ref::steal_or_null(PyObject_VectorcallMethod(st->str_acquire, try_args, 2, nullptr));
        if (collecting) PyGC_Enable();
        if (!taken) throw_error();
        if (taken.get() != Py_True) {
            PyObject* args[] = {mutex};
            call_method(st->str_acquire, args, 1);
            waited_ = true;
        }
        held_ = true;
    }
    ~MutexHold() {
        if (held_) cleanup_during_unwind([&] { release(); });
    }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

    // Other threads ran while we waited: what was read of the queue must be read again.
    bool waited() const noexcept { return waited_; }
    PyObject* mutex() const noexcept { return mutex_.get(); }

    void release() {
        held_ = false;
        PyObject* args[] = {mutex_.get()};
        call_method(st_->str_release, args, 1);
    }

private:
    State* st_;
    Ref mutex_;
    bool waited_ = false;
    bool held_ = false;
};

// Recognizes the queue again after a wait for its mutex, which must still be the one held.
bool still_plain(State* st, PyObject* queue, const MutexHold& hold, Parts& p) {
    return !hold.waited() || (recognize(st, queue, p) && p.mutex == hold.mutex());
}

// self.batch_size (borrowed) when it and self._queue (which must be `queue`) are plain instance
// attributes, read without running any code, and batch_size is an exact int; else nullptr.
VANTOR_HOT PyObject* plain_batch_size(State* st, PyObject* self, PyObject* queue) {
    if (Py_TYPE(self)->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* dict = internals::instance_dict(self);
    if (dict == nullptr || !PyDict_CheckExact(dict) || plain_instance_attr(self, dict, st->str__queue) != queue)
        return nullptr;
    PyObject* batch_size = plain_instance_attr(self, dict, st->str_batch_size);
    return batch_size != nullptr && PyLong_CheckExact(batch_size) ? batch_size : nullptr;
}

bool is_positive_int(PyObject* value) {
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) throw_error();
    return overflow > 0 || (overflow == 0 && v > 0);
}

}  // namespace

// Whether every thread waiting on a condition waits on a plain lock, which wake_first_waiter can
// release without running code. Read by index: an iterator would be an allocation that the
// collector tracks.
bool waiters_are_plain(State* st, PyObject* waiters) {
    const Py_ssize_t n = require(PyObject_Length(waiters));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref waiter = Ref::steal(PySequence_GetItem(waiters, i));
        if (Py_TYPE(waiter.get()) != reinterpret_cast<PyTypeObject*>(st->lock_type)) return false;
    }
    return true;
}

// condition.notify() in place, under the queue's mutex: the steps of threading.Condition.notify
// for one waiter (3.10 to 3.15). The first waiter's lock is released and the waiter taken off the
// deque. From 3.13 on a waiter whose lock was released already (a notify interrupted between its
// two steps) is dropped and the next one woken; before, that release's RuntimeError reaches the
// caller, as it does there.
void wake_first_waiter(State* st, PyObject* waiters) {
    PyObject* popleft_args[] = {waiters};
    while (require(PyObject_Length(waiters)) > 0) {
        Ref waiter = Ref::steal(PySequence_GetItem(waiters, 0));
        PyObject* release_args[] = {waiter.get()};
        Ref released = Ref::steal_or_null(PyObject_VectorcallMethod(st->str_release, release_args, 1, nullptr));
        if (!released) {
#if PY_VERSION_HEX >= 0x030D0000
            if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) throw_error();
            PyErr_Clear();
            Ref dropped = call_method(st->str_popleft, popleft_args, 1);
            continue;
#else
            throw_error();
#endif
        }
        Ref woken = call_method(st->str_popleft, popleft_args, 1);
        return;
    }
}

VANTOR_HOT bool put_in_place(State* st, PyObject* queue, PyObject* item) {
    Parts p;
    if (!recognize(st, queue, p)) return false;
    MutexHold hold(st, p.mutex);
    // Nothing below runs Python code, so the values read stay true until the mutex is released.
    PyObject* maxsize = nullptr;
    PyObject* unfinished = nullptr;
    if (still_plain(st, queue, hold, p)) {
        maxsize = plain_instance_attr(queue, p.dict, st->str_maxsize);
        unfinished = plain_instance_attr(queue, p.dict, st->str_unfinished_tasks);
    }
    // A bounded queue may have to wait for room, which the ordinary call does; so does a queue
    // whose waiters in get() could not be woken without running code.
    if (maxsize == nullptr || !PyLong_CheckExact(maxsize) || is_positive_int(maxsize) || unfinished == nullptr ||
        !PyLong_CheckExact(unfinished) || !not_shut_down(st, queue, p.dict, false)) {
        hold.release();
        return false;
    }
    const bool waiting = require(PyObject_Length(p.not_empty_waiters)) > 0;
    if (waiting && !waiters_are_plain(st, p.not_empty_waiters)) {
        hold.release();
        return false;
    }
    PyObject* append_args[] = {p.items, item};
    call_method(st->str_append, append_args, 2);
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref counted = Ref::steal(PyNumber_Add(unfinished, one.get()));
    // A plain queue keeps the count in its dict, as `self.unfinished_tasks += 1` would.
    require(PyDict_SetItem(p.dict, st->str_unfinished_tasks, counted.get()));
    if (waiting) wake_first_waiter(st, p.not_empty_waiters);
    hold.release();
    return true;
}

Ref plain_queue_items(State* st, PyObject* queue) {
    Parts p;
    return recognize(st, queue, p) ? Ref::new_ref(p.items) : Ref();
}

Py_ssize_t plain_queue_length(State* st, PyObject* self) {
    if (Py_TYPE(self)->tp_getattro != PyObject_GenericGetAttr) return -1;
    PyObject* dict = internals::instance_dict(self);
    if (dict == nullptr || !PyDict_CheckExact(dict)) return -1;
    PyObject* queue = plain_instance_attr(self, dict, st->str__queue);
    Parts p;
    if (queue == nullptr || !recognize(st, queue, p)) return -1;
    return require(PyObject_Length(p.items));
}

namespace {

bool empty_in_place(State* st, PyObject* queue, bool& empty) {
    Parts p;
    if (!recognize(st, queue, p)) return false;
    MutexHold hold(st, p.mutex);
    if (!still_plain(st, queue, hold, p)) {
        hold.release();
        return false;
    }
    empty = require(PyObject_Length(p.items)) == 0;
    hold.release();
    return true;
}

}  // namespace

bool queue_empty(State* st, PyObject* self) {
    Ref queue = get_attr(self, st->str__queue);
    bool empty;
    if (empty_in_place(st, queue.get(), empty)) return empty;
    PyObject* args[] = {queue.get()};
    return truthy(call_method(st->str_empty, args, 1).get());
}

VANTOR_HOT Take take_in_place(State* st, PyObject* self, PyObject* queue, PyObject* tasks, Py_ssize_t& count) {
    Parts p;
    if (plain_batch_size(st, self, queue) == nullptr || !recognize(st, queue, p)) return Take::not_plain;
    Ref dropped;  // a task that could not be kept is let go of only after the mutex
    MutexHold hold(st, p.mutex);
    PyObject* batch_size = still_plain(st, queue, hold, p) ? plain_batch_size(st, self, queue) : nullptr;
    // Someone waiting in put() for room is woken by get_nowait itself.
    if (batch_size == nullptr || require(PyObject_Length(p.not_full_waiters)) > 0 ||
        !not_shut_down(st, queue, p.dict, true)) {
        hold.release();
        return Take::not_plain;
    }
    // The length is compared with ==; a batch_size beyond any length is never reached.
    Py_ssize_t full_length = PyLong_AsSsize_t(batch_size);
    if (full_length == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error();
        PyErr_Clear();
    }

    // Nothing is allocated below that the collector tracks, so no finalizer can run (and touch
    // the queue) while the mutex is held.
    PyObject* popleft_args[] = {p.items};
    for (Py_ssize_t taken = 0; taken < max_tasks_per_hold; ++taken) {
        if (require(PyObject_Length(p.items)) == 0) {
            hold.release();
            return Take::queue_empty;
        }
        Ref task = call_method(st->str_popleft, popleft_args, 1);
        ++count;
        if (PyList_Append(tasks, task.get()) < 0) {
            dropped = std::move(task);
            throw_error();
        }
        if (PyList_GET_SIZE(tasks) == full_length) {
            hold.release();
            return Take::batch_full;
        }
    }
    hold.release();
    return Take::more;
}

namespace {

// The interpreters whose queue.Queue (__init__, put, get, get_nowait, empty, _qsize, _put, _get,
// and from 3.13 on shutdown with the is_shutdown tests) and threading.Condition (__enter__,
// __exit__, notify, _is_owned, the _waiters deque) were read line by line against the steps done
// here: 3.10.13, 3.11.7, 3.12.1, 3.13.0, 3.13.18, 3.14.10 and 3.15.2 (their 3.10 to 3.15 lines).
// Any other version makes the ordinary method calls. The running interpreter's sys.version_info
// decides.
bool queue_internals_checked() {
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    Ref version = Ref::steal(PyObject_GetAttrString(sys.get(), "version_info"));
    Ref major = Ref::steal(PySequence_GetItem(version.get(), 0));
    Ref minor = Ref::steal(PySequence_GetItem(version.get(), 1));
    const long x = PyLong_AsLong(major.get());
    const long y = PyLong_AsLong(minor.get());
    if ((x == -1 || y == -1) && PyErr_Occurred()) throw_error();
    return x == 3 && y >= 10 && y <= 15;
}

}  // namespace

void capture_plain_queue(State* st) {
    if (!queue_internals_checked()) return;
    struct Method {
        const char* name;
        const char* qualname;
    };
    // A method counts only if it is the standard library's own function.
    auto capture = [](PyObject* type, const char* module, std::initializer_list<Method> methods) {
        Ref table = Ref::steal(PyDict_New());
        for (const Method& m : methods) {
            Ref name = Ref::steal(PyUnicode_InternFromString(m.name));
            PyObject* function = type_lookup(reinterpret_cast<PyTypeObject*>(type), name.get());
            if (function == nullptr || !PyFunction_Check(function)) return Ref();
            Ref qualname = Ref::steal(PyObject_GetAttrString(function, "__qualname__"));
            PyObject* owner = PyFunction_GetModule(function);
            if (owner == nullptr || !PyUnicode_Check(owner) || PyUnicode_CompareWithASCIIString(owner, module) != 0 ||
                !PyUnicode_Check(qualname.get()) || PyUnicode_CompareWithASCIIString(qualname.get(), m.qualname) != 0)
                return Ref();
            require(PyDict_SetItem(table.get(), name.get(), function));
        }
        return table;
    };
    Ref queue_type = Ref::steal(PyObject_GetAttrString(Ref::steal(PyImport_ImportModule("queue")).get(), "Queue"));
    Ref condition_type =
        Ref::steal(PyObject_GetAttrString(Ref::steal(PyImport_ImportModule("threading")).get(), "Condition"));
    Ref lock_type = Ref::steal(PyObject_GetAttrString(Ref::steal(PyImport_ImportModule("_thread")).get(), "LockType"));
    Ref deque_type = Ref::steal(PyObject_GetAttrString(Ref::steal(PyImport_ImportModule("_collections")).get(), "deque"));
    if (!PyType_Check(queue_type.get()) || !PyType_Check(condition_type.get()) || !PyType_Check(lock_type.get()) ||
        !PyType_Check(deque_type.get()))
        return;
    Ref queue_methods = capture(queue_type.get(), "queue",
                                {{"empty", "Queue.empty"},
                                 {"get_nowait", "Queue.get_nowait"},
                                 {"get", "Queue.get"},
                                 {"put", "Queue.put"},
                                 {"_qsize", "Queue._qsize"},
                                 {"_get", "Queue._get"},
                                 {"_put", "Queue._put"}});
    Ref condition_methods = capture(condition_type.get(), "threading",
                                    {{"__enter__", "Condition.__enter__"},
                                     {"__exit__", "Condition.__exit__"},
                                     {"notify", "Condition.notify"},
                                     {"_is_owned", "Condition._is_owned"}});
    // Without the standard methods nothing is done in place, and every step is a method call.
    if (!queue_methods || !condition_methods) return;
    st->queue_type = queue_type.release();
    st->condition_type = condition_type.release();
    st->lock_type = lock_type.release();
    st->deque_type = deque_type.release();
    st->queue_methods = queue_methods.release();
    st->condition_methods = condition_methods.release();
}

}  // namespace vantor::executors
