// What attribute lookups on one client resolve to, reused while its type and instance dict are
// unchanged: whether each step is our own method, and the plain instance attributes that the
// send path reads. A small per-module cache keyed by the client's dict holds the recent ones.
#pragma once

#include "state.hpp"

namespace vantor::stat {

struct ClientView {
    LookupSnapshot snapshot;
    bool valid = false;
    bool timing_ours = false;
    bool gauge_ours = false;
    bool send_stat_ours = false;
    bool line_steps_ours = false;  // _prepare, _build_tag, _after and _send
    bool build_tag_ours = false;
    // Borrowed from the instance dict; nullptr where the ordinary lookup must be made.
    PyObject* statd_available = nullptr;
    PyObject* prefix = nullptr;
    PyObject* sock = nullptr;
    PyObject* addr = nullptr;
};

// The client's view, refreshed if stale. The reference is to a cache slot that the next lookup
// for another client may overwrite: callers that run Python code while using it take a copy.
// The borrowed values stay alive only while the snapshot is still valid, so users of a copy
// re-check it after running any Python code.
const ClientView& view_of(State* st, PyObject* self);

// self.<name> as a new reference: the view's borrowed value `cached` when there is one and the
// view is known fresh (looked up with no Python code run since) or still valid; otherwise the
// ordinary attribute lookup.
inline Ref read_attr(const ClientView& view, PyObject* cached, PyObject* self, PyObject* name, bool fresh = false) {
    if (cached != nullptr && (fresh || (view.valid && view.snapshot.still_valid(self)))) return Ref::new_ref(cached);
    return Ref::steal(PyObject_GetAttr(self, name));
}

}  // namespace vantor::stat
