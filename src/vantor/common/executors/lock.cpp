// LockHold: the executor's _lock as its own steps take it, nesting on the thread that holds it.
#include "state.hpp"

namespace vantor::executors {

LockHold::LockHold(State* st, PyObject* self, Record& record) : st_(st), self_(self), record_(record) {
    const unsigned long me = PyThread_get_thread_ident();
    if (record.lock_owner == me) {
        ++record.lock_depth;
        held_ = true;
        return;
    }
    call_lock(st, self, st->str_acquire);
    // Nothing runs between the acquire's return and this mark.
    record.lock_owner = me;
    record.lock_depth = 1;
    held_ = true;
}

LockHold::~LockHold() {
    if (held_) cleanup_during_unwind([&] { release(); });
}

void LockHold::release() {
    held_ = false;
    if (--record_.lock_depth > 0) return;
    // Read while still marked ours: code that the read runs may nest a hold of its own.
    Ref lock;
    try {
        lock = get_attr(self_, st_->str__lock);
    } catch (...) {
        pass_thread_exit();
        record_.lock_owner = 0;
        throw;
    }
    record_.lock_owner = 0;
    PyObject* args[] = {lock.get()};
    call_method(st_->str_release, args, 1);
}

}  // namespace vantor::executors
