// The override check behind every call through `self`: when `self.<name>` would resolve to our
// own function object, the caller may run the C++ body directly instead of the attribute call.
#pragma once

#include "internals.hpp"
#include "ref.hpp"
#include "watch.hpp"

#include <cstdint>

namespace vantor::support {

// True when, under the generic attribute lookup, `self.<name>` resolves to `ours`: the type's
// attribute is that very object and the instance dict does not shadow it. The probe of the
// instance dict may run a key's __eq__ (a key comparing equal to `name`).
bool resolves_to(PyObject* self, PyObject* name, PyObject* ours);

// The attribute `name` as the type's MRO gives it, before any descriptor is applied (borrowed;
// nullptr when no class in the MRO has it). The interpreter's cached type lookup.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return internals::type_lookup(type, name); }

// self.<name>(*args) with an optional kwnames tuple, through the interpreter's method call.
inline Ref call_method(PyObject* name, PyObject* const* args, size_t nargs_with_self, PyObject* kwnames = nullptr) {
    return Ref::steal(PyObject_VectorcallMethod(name, args, nargs_with_self, kwnames));
}

// Watches an object's attribute lookup: valid while neither its type (nor a base) nor its
// instance dict has been modified since `take`. Everything resolved from the type and the dict
// in between may be reused while it stays valid.
class LookupSnapshot {
public:
    // False when the lookup cannot be watched (custom __getattribute__, no dict, nothing to watch
    // it with).
    bool take(PyObject* self);
    bool still_valid(PyObject* self) const { return still_valid(self, internals::instance_dict(self)); }
    // The same with self's instance dict already at hand.
    bool still_valid(PyObject* self, PyObject* dict) const {
        // The addresses first: they tell that the dict and type are alive, which reading their
        // version tags needs.
        return Py_TYPE(self) == watch_.type() && dict == watch_.dict() && watch_.unchanged() &&
               inline_values_unchanged(dict);
    }
    PyObject* dict() const { return const_cast<PyObject*>(watch_.dict()); }
    Watch& watch() { return watch_; }

private:
#if PY_VERSION_HEX >= 0x030D0000
    // Where the dict watchers miss stores into the object's inline values (inline_stores_missed),
    // a copy of the values up to the last one present, and their count, compared at every check:
    // a store replaces a slot, and an attribute added past the copy counts one more (one deleted
    // at the same time empties a slot of the copy). Comparing addresses suffices, since what was
    // taken from a slot is read through it at each use: an object at a reused address is the
    // slot's current value.
    // A copy of at most kBlockSlots slots is made of exactly that many, compared as one block
    // without branches (empty slots past the last present are compared as well).
    static constexpr int kMaxInlineSlots = 32;
    static constexpr int kBlockSlots = 8;
    bool inline_compared_ = false;
    std::uint8_t inline_size_ = 0;
    int inline_count_ = 0;
    PyObject* inline_copy_[kMaxInlineSlots];

    bool copy_inline_values(PyObject* dict);
    bool inline_values_unchanged(PyObject* dict) const {
        if (!inline_compared_) return true;
        const internals::InlineValues* values = internals::inline_values_under(dict);
        if (values == nullptr || !values->valid || values->size != inline_size_) return false;
        if (inline_count_ == kBlockSlots) {
            std::uintptr_t differ = 0;
            for (int i = 0; i < kBlockSlots; ++i)
                differ |= reinterpret_cast<std::uintptr_t>(values->slots[i]) ^
                          reinterpret_cast<std::uintptr_t>(inline_copy_[i]);
            return differ == 0;
        }
        for (int i = 0; i < inline_count_; ++i)
            if (values->slots[i] != inline_copy_[i]) return false;
        return true;
    }
#else
    bool inline_values_unchanged(PyObject*) const { return true; }
#endif
    Watch watch_;
};

// `self.<name>` when it comes straight from the instance dict because the type has no attribute
// of that name (borrowed from `dict`); nullptr when the ordinary lookup must decide. The probe may
// run a key's __eq__, as above.
PyObject* plain_instance_attr(PyObject* self, PyObject* dict, PyObject* name);

}  // namespace vantor::support
