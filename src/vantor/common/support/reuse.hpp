// The one rule for reusing what was looked up: every cache of both modules (a client's view, the
// rendered tags, a plain queue's parts, the decorator's clock, the Task record type) goes through
// a Basis, and none keeps a variant of its own.
//
// A lookup is reused only while it is the same object, of the same type, with the same dict, and
// nothing of them has changed since it was read (the dict's and the type's watches, watch.hpp);
// and the caller asks again (holds()) before each use, after anything that can run Python code.
// What a user may change at any time, and how each change is noticed:
//   an attribute, by any route: setattr, del, obj.__dict__[k] = v,  the dict's watch (from 3.12 the
//     vars(obj).update(...), a store the interpreter specialises      dict watcher, before its version)
//   a method or attribute of the class or of a base, set or deleted  the type's watch (type watcher
//                                                                     or version tag)
//   a method set on the instance                                      the dict's watch
//   obj.__class__ = Other                                             the type, compared with the one read
//   obj.__dict__ = {...}                                              the dict, compared with the one read
//   the object freed and another made at its address                  its dict freed: a watch counts a
//                                                                     dealloc as a change
// Where the interpreter does not tell the dict watchers of stores into an object's inline values
// (3.13.0, and the 3.13 releases before it was mended; asked at import), nothing of an object whose
// dict lies over inline values is reused, nor such a dict on its own: correct first.
#pragma once

#include "internals.hpp"
#include "watch.hpp"

namespace vantor::support {

class Basis {
public:
    // What `obj` rests on now: the object, its type and its instance dict (made if it had none).
    // False, with nothing held, when that cannot be watched: a custom __getattribute__, no dict or
    // not a plain one, no watcher, or a dict whose stores the watchers would miss. No Python code.
    bool take(PyObject* obj);
    // A dict used as it is (a mapping passed in): it is the object, and its own dict.
    bool take_dict(PyObject* dict);
    // A type used as it is (a record type): it is the object, watched as a type.
    bool take_type(PyTypeObject* type);
    void drop() { watch_.stop(); }

    // Whether what was read of `obj` still holds. Runs no Python code. A dict taken as it is needs
    // only its watch: an exact dict's type cannot be changed, and it is its own dict.
    bool holds(PyObject* obj) const {
        if (obj != object_) return false;
        if (kind_ == Kind::dict) return watch_.unchanged();
        return holds_current(obj, current_dict(obj));
    }
    // The same, with obj's instance dict already at hand.
    bool holds(PyObject* obj, PyObject* dict) const { return obj == object_ && holds_current(obj, dict); }

    PyObject* dict() const { return dict_; }
    Watch& watch() { return watch_; }

private:
    enum class Kind : unsigned char { object, dict, type };

    PyObject* current_dict(PyObject* obj) const {
        return kind_ == Kind::object ? internals::instance_dict(obj) : dict_;
    }
    bool holds_current(PyObject* obj, PyObject* dict) const {
        // The addresses first: they tell that the dict and the type are alive, which reading their
        // version tags needs before 3.12.
        return Py_TYPE(obj) == type_ && dict == dict_ && watch_.unchanged();
    }

    Kind kind_ = Kind::object;
    const PyObject* object_ = nullptr;
    PyTypeObject* type_ = nullptr;  // the object's type when taken
    PyObject* dict_ = nullptr;      // its dict when taken (the object itself for a dict)
    Watch watch_;
};

}  // namespace vantor::support
