// The client view cache: a handful of direct-mapped slots, refreshed on a miss.
#include "view.hpp"

namespace vantor::stat {

namespace {

void build_view(State* st, PyObject* self, ClientView& slot) {
    slot = ClientView{.basis = slot.basis, .generation = slot.generation + 1};
    if (!slot.basis.take(self)) return;
    // The probes below may run a key's __eq__ (a key of the instance dict that compares equal to
    // an attribute name): what they found counts only if the basis still holds after them.
    slot.timing_ours = resolves_to(self, st->str_timing, st->fn_timing);
    slot.gauge_ours = resolves_to(self, st->str__gauge, st->fn_gauge);
    slot.send_stat_ours = resolves_to(self, st->str__send_stat, st->fn_send_stat);
    slot.build_tag_ours = resolves_to(self, st->str__build_tag, st->fn_build_tag);
    slot.line_steps_ours = slot.build_tag_ours && resolves_to(self, st->str__prepare, st->fn_prepare) &&
                           resolves_to(self, st->str__after, st->fn_after) &&
                           resolves_to(self, st->str__send, st->fn_send);
    PyObject* dict = slot.basis.dict();
    slot.statd_available = plain_instance_attr(self, dict, st->str_statd_available);
    slot.prefix = plain_instance_attr(self, dict, st->str__prefix);
    slot.sock = plain_instance_attr(self, dict, st->str__sock);
    slot.addr = plain_instance_attr(self, dict, st->str__addr);
    if (slot.basis.holds(self)) {
        slot.valid = true;
    } else {
        slot = ClientView{.basis = slot.basis, .generation = slot.generation};
    }
}

}  // namespace

VANTOR_HOT View view_of(State* st, PyObject* self) {
    PyObject* dict = internals::instance_dict(self);
    ClientView& slot = st->views[(reinterpret_cast<std::uintptr_t>(dict) >> 6) % State::view_slots];
    if (!(slot.valid && slot.basis.holds(self, dict))) build_view(st, self, slot);
    return View(slot);
}

void register_views(State* st) {
    for (std::size_t i = 0; i < State::view_slots; ++i) watch_register(&st->views[i].basis.watch());
}

void unregister_views(State* st) {
    for (std::size_t i = 0; i < State::view_slots; ++i) watch_unregister(&st->views[i].basis.watch());
}

}  // namespace vantor::stat
