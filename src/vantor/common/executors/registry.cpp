// The records of the executors: found by address, confirmed through the weak reference.
#include "registry.hpp"

namespace vantor::executors {

Ref weakref_target(PyObject* weakref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(weakref, &target) < 0) support::throw_error();
    return Ref::steal_or_null(target);
#else
    PyObject* target = PyWeakref_GetObject(weakref);
    if (target == nullptr) support::throw_error();
    return target == Py_None ? Ref() : Ref::new_ref(target);
#endif
}

bool Registry::is_record_of(const Record& r, PyObject* executor) const {
    // The reference taken here is never the last one (the caller holds the executor, and any
    // other target is alive), so dropping it runs no code.
    return weakref_target(r.weakref.get()).get() == executor;
}

Record* Registry::find(PyObject* executor) {
    auto it = records_.find(executor);
    if (it == records_.end()) return nullptr;
    if (is_record_of(it->second, executor)) return &it->second;
    // Left by a freed executor at the same address: dropped, its fields released only after
    // the erase, since releasing them may run Python code that adds records.
    Record stale = std::move(it->second);
    records_.erase(it);
    return nullptr;
}

Record& Registry::of(PyObject* executor) {
    if (Record* r = find(executor)) return *r;
    Ref weakref = Ref::steal(PyWeakref_NewRef(executor, nullptr));
    // Making the weak reference may have run a collection, and its finalizers our code.
    if (Record* r = find(executor)) return *r;
    if (records_.size() >= sweep_at_) sweep();
    Record& r = records_[executor];
    r.weakref = std::move(weakref);
    return r;
}

void Registry::sweep() {
    std::vector<Record> dead;
    for (auto it = records_.begin(); it != records_.end();) {
        if (!weakref_target(it->second.weakref.get())) {
            dead.push_back(std::move(it->second));
            it = records_.erase(it);
        } else {
            ++it;
        }
    }
    sweep_at_ = std::max<std::size_t>(64, 2 * records_.size());
}

void Registry::fork_child() {
    // The parent's pools are let go of after the walk: releasing them may run Python code.
    std::vector<Ref> pools;
    for (auto& [address, r] : records_)
        for (Ref& pool : executors::fork_child(r)) pools.push_back(std::move(pool));
}

}  // namespace vantor::executors
