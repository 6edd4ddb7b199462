// Knowing that a dict and a type have not changed, so that what was looked up in them may be
// reused: the public dict and type watchers from 3.12 on, the version tags before (internals.hpp).
#pragma once

#include "internals.hpp"
#include "ref.hpp"

#include <cstdint>

namespace vantor::support {

// One dict and, optionally, one type, as they were when `start` was called. `unchanged()` stays
// true until either changes (any change of the dict, any change of the type or of a base; a
// dealloc counts as a change). Only addresses are kept, never references. A Watch lives in
// storage that outlives its use (module state) and is registered with `watch_register` so that
// the watchers can reach it. From 3.12 on the dict and the type stay watched: a watcher is
// never removed from an object that something else of ours may still watch.
class Watch {
public:
    // False, with nothing watched, when this interpreter cannot watch them (a dict that is not a
    // dict, a type without a version tag, no watcher free). Nothing here runs Python code.
    bool start(PyObject* dict, PyTypeObject* type);
    // Before 3.12 this reads the version tags of the dict and the type: call it only once they are
    // known to be alive (their addresses compared with live objects).
    bool unchanged() const {
#if VANTOR_WATCHERS
        return valid_ && (type_ == nullptr || type_->tp_version_tag == type_version_);
#else
        return valid_ && internals::dict_version(dict_) == dict_version_ &&
               (type_ == nullptr || (internals::type_version_valid(type_) && type_->tp_version_tag == type_version_));
#endif
    }
    void stop() { valid_ = false; }
    const PyObject* dict() const { return dict_; }
    const PyTypeObject* type() const { return type_; }

    // From 3.12 on, a change of the dict under this one key (an interned str) does not count: for
    // a dict whose other entries a cache rests on while this one changes all the time.
    void ignore_key(PyObject* key) { ignored_key_ = key; }

    // Called by the watchers: `changed` is the dict or the type that changes, `key` the dict's key
    // that changes (nullptr for the whole dict).
    void notify(const void* changed, const void* key = nullptr) {
        if (changed == dict_ && key != nullptr && key == ignored_key_) return;
        if (changed == dict_ || changed == type_) valid_ = false;
    }

private:
    bool valid_ = false;
    PyObject* dict_ = nullptr;
    PyTypeObject* type_ = nullptr;
    unsigned int type_version_ = 0;  // guards a freed type whose address was reused
    const PyObject* ignored_key_ = nullptr;
#if !VANTOR_WATCHERS
    std::uint64_t dict_version_ = 0;
#endif
};

// The instance dict of `self` (borrowed) when a Watch sees its every change, else nullptr. 3.13.0
// (and the 3.13 releases before the interpreter mended it) does not tell the dict watchers of a
// store into an object's inline values, which is where such a dict keeps its values; there the
// dict is first given a table of its own (internals::own_table_for), once per object: the dict
// watchers see an item taken out and put back, and no Python code runs. The interpreter is asked
// at watch_init(). Raises (throws) only when the item could not be put back.
PyObject* watchable_instance_dict(PyObject* self);

// Whether `dict`, self's instance dict, lies over inline values whose stores the dict watchers of
// this interpreter do not hear of (above).
bool inline_stores_missed(PyObject* self, PyObject* dict);

// Adds this interpreter's watchers (3.12 on) and asks it how it tells them of changes; called by
// the module body, so that no Python code runs at the first Watch::start.
void watch_init();

// Makes a Watch reachable by the watchers (3.12 on), until it is unregistered.
void watch_register(Watch* watch);
void watch_unregister(Watch* watch);

}  // namespace vantor::support
