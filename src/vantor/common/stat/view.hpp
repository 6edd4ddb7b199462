// What attribute lookups on one client resolve to, reused while its type and instance dict are
// unchanged: whether each step is our own method, and the plain instance attributes that the
// send path reads. A small per-module cache keyed by the client's dict holds the recent ones.
#pragma once

#include "state.hpp"

#include <cstdint>

namespace vantor::stat {

// A slot of the cache. The borrowed values are owned by the client's instance dict, and stay
// alive while the basis holds (the dict unchanged).
struct ClientView {
    Basis basis;
    std::uint32_t generation = 0;  // renewed whenever the slot is rebuilt
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

// The view of one client as one call uses it. Its decisions were taken at the lookup; whether
// they, and the borrowed values, may still be used is known without a check while no Python code
// has run since (`fresh`), and by checking the slot again afterwards. Every step that may run
// Python code calls ran_code().
class View {
public:
    View() = default;
    View(const ClientView& slot) : slot_(&slot), generation_(slot.generation), fresh_(slot.valid) {}

    // Nothing run since the lookup, or the slot still is what `self` resolves to; the view is
    // fresh again until the next step that may run code.
    bool usable(PyObject* self) {
        if (fresh_) return true;
        fresh_ = slot_ != nullptr && slot_->generation == generation_ && slot_->valid && slot_->basis.holds(self);
        return fresh_;
    }
    void ran_code() { fresh_ = false; }

    // The decisions of the lookup; false (make the ordinary call) for an empty view.
    bool timing_ours() const { return slot_ && slot_->timing_ours; }
    bool gauge_ours() const { return slot_ && slot_->gauge_ours; }
    bool send_stat_ours() const { return slot_ && slot_->send_stat_ours; }
    bool line_steps_ours() const { return slot_ && slot_->line_steps_ours; }
    bool build_tag_ours() const { return slot_ && slot_->build_tag_ours; }
    // A plain instance attribute from the view, only while usable (borrowed), else nullptr.
    PyObject* statd_available() const { return fresh_ ? slot_->statd_available : nullptr; }
    PyObject* prefix() const { return fresh_ ? slot_->prefix : nullptr; }
    PyObject* sock() const { return fresh_ ? slot_->sock : nullptr; }
    PyObject* addr() const { return fresh_ ? slot_->addr : nullptr; }

    // self.<name> as a new reference: the view's value when it has one and is usable, else the
    // ordinary lookup, after which the view is no longer fresh.
    Ref read(PyObject* self, PyObject* ClientView::*field, PyObject* name) {
        if (slot_ != nullptr && slot_->*field != nullptr && usable(self)) return Ref::new_ref(slot_->*field);
        fresh_ = false;
        return Ref::steal(PyObject_GetAttr(self, name));
    }

private:
    const ClientView* slot_ = nullptr;
    std::uint32_t generation_ = 0;
    bool fresh_ = false;
};

// The view of `self`, from the cache or looked up now (the slot may be rebuilt for another client
// by the next lookup: a View notices through the slot's generation).
View view_of(State* st, PyObject* self);

// Makes the view slots reachable by the watchers, and lets go of them.
void register_views(State* st);
void unregister_views(State* st);

}  // namespace vantor::stat
