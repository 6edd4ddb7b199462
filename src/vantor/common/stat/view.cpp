// The client view cache: a handful of direct-mapped entries, refreshed on a miss.
#include "view.hpp"

namespace vantor::stat {

namespace {

ClientView build_view(State* st, PyObject* self) {
    ClientView view;
    view.timing_ours = resolves_to(self, st->str_timing, st->fn_timing);
    view.gauge_ours = resolves_to(self, st->str__gauge, st->fn_gauge);
    view.send_stat_ours = resolves_to(self, st->str__send_stat, st->fn_send_stat);
    view.build_tag_ours = resolves_to(self, st->str__build_tag, st->fn_build_tag);
    view.line_steps_ours = view.build_tag_ours && resolves_to(self, st->str__prepare, st->fn_prepare) &&
                           resolves_to(self, st->str__after, st->fn_after) &&
                           resolves_to(self, st->str__send, st->fn_send);
    // The type lookups above gave the type its version tag; nothing since has run Python code.
    if (!view.snapshot.take(self)) return view;
    PyObject* dict = view.snapshot.dict();
    view.statd_available = plain_instance_attr(self, dict, st->str_statd_available);
    view.prefix = plain_instance_attr(self, dict, st->str__prefix);
    view.sock = plain_instance_attr(self, dict, st->str__sock);
    view.addr = plain_instance_attr(self, dict, st->str__addr);
    view.valid = true;
    return view;
}

}  // namespace

const ClientView& view_of(State* st, PyObject* self) {
    PyObject* dict = LookupSnapshot::dict_of(self);
    ClientView& slot = st->views[(reinterpret_cast<std::uintptr_t>(dict) >> 6) % State::view_slots];
    if (slot.valid && slot.snapshot.still_valid(self)) return slot;
    slot = build_view(st, self);
    return slot;
}

}  // namespace vantor::stat
