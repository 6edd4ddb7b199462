// Knowing that a dict or a type has not changed: the public dict and type watchers from 3.12 on,
// the version tags before (internals.hpp). This is the mechanism; when a lookup may be reused is
// the rule of reuse.hpp, which every cache goes through.
#pragma once

#include "internals.hpp"
#include "ref.hpp"

#include <cstdint>

namespace vantor::support {

// One dict and one type (either may be absent), as they were when `start` was called.
// `unchanged()` stays true until either changes (any change of the dict, any change of the type or
// of a base; a dealloc counts as a change). Only addresses are kept, never references. A Watch
// lives in storage that outlives its use (module state) and is registered with `watch_register`
// so that this interpreter's watchers can reach it. From 3.12 on a dict or type stays watched: a
// watcher is never removed from an object that something else of ours may still watch.
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
        return valid_ && (dict_ == nullptr || internals::dict_version(dict_) == dict_version_) &&
               (type_ == nullptr || (internals::type_version_valid(type_) && type_->tp_version_tag == type_version_));
#endif
    }
    void stop() { valid_ = false; }

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

// Whether `dict`, the instance dict of `obj`, lies over inline values whose stores this
// interpreter's dict watchers do not hear of: 3.13.0 (and the 3.13 releases before the interpreter
// mended it) does not tell them of a store into an object's inline values. The interpreter is
// asked at watch_init(). Nothing of such an object is reused.
bool inline_stores_missed(PyObject* obj, PyObject* dict);
// The same for a dict on its own (a mapping passed in): any dict over inline values.
bool dict_stores_missed(PyObject* dict);

// Makes this module's watchers ready in the running interpreter (3.12 on): each interpreter has
// its own watcher ids and its own list of registered Watch objects, kept in the interpreter's own
// dict. Called by the module body, so that no Python code runs at the first Watch::start.
void watch_init();

// Makes a Watch reachable by this interpreter's watchers, until it is unregistered.
void watch_register(Watch* watch);
void watch_unregister(Watch* watch);

}  // namespace vantor::support
