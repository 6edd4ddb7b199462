// The records of the executors (machine.hpp), one per executor, kept beside its instance
// attributes, which stay exactly the documented ones.
#pragma once

#include "machine.hpp"

#include <unordered_map>
#include <vector>

namespace vantor::executors {

// Records are keyed by the executor's address and know the executor only through a weak
// reference, so a record left by a freed executor is recognised when another one takes that
// address. A record is dropped only once its executor is gone: whoever holds an executor may keep
// a reference to its record across Python code.
class Registry {
public:
    // The record of `executor`, made on first use (new records may run Python code: the weak
    // reference is allocated first, then inserted without running any).
    Record& of(PyObject* executor);
    // The record of `executor`, or nullptr when it has none.
    Record* find(PyObject* executor);

    // New references to every executor that still lives, for the fork and exit hooks.
    template <class F>
    void for_each_live(F&& f);

    // After a fork, in the child: no loop, start or stop of the parent goes on here.
    void fork_child();

private:
    bool is_record_of(const Record& r, PyObject* executor) const;
    void sweep();

    std::unordered_map<PyObject*, Record> records_;
    std::size_t sweep_at_ = 64;
};

// A new reference to the object behind a weak reference, or an empty Ref when it is gone.
Ref weakref_target(PyObject* weakref);

template <class F>
void Registry::for_each_live(F&& f) {
    // Taken out first: the callback runs Python code, which may add records.
    std::vector<Ref> live;
    live.reserve(records_.size());
    for (auto& [address, record] : records_) {
        Ref target = weakref_target(record.weakref.get());
        if (target && target.get() == address) live.push_back(std::move(target));
    }
    for (Ref& executor : live) f(executor.get());
}

}  // namespace vantor::executors
