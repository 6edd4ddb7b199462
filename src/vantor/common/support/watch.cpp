// The watchers behind Watch: one dict watcher and one type watcher per interpreter, whose
// callbacks tell every registered Watch of this module which dict or type is about to change.
#include "watch.hpp"

#include <algorithm>
#include <vector>

namespace vantor::support {

namespace {

// The Watch objects of this module, in every interpreter that loaded it (they share the GIL, which
// guards this list and the callbacks alike).
std::vector<Watch*>& registered() {
    static std::vector<Watch*> watches;
    return watches;
}

#if VANTOR_WATCHERS
PyObject* probe_dict = nullptr;  // the dict of the probe below while it runs
bool probe_seen = false;

int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject* key, PyObject*) {
    if (dict == probe_dict) probe_seen = true;
    for (Watch* w : registered()) w->notify(dict, key);
    return 0;
}

int on_type_modified(PyTypeObject* type) {
    for (Watch* w : registered()) w->notify(type);
    return 0;
}

// The watcher ids of an interpreter (each has its own), added on first use; -1 when none was free.
struct WatcherIds {
    PyInterpreterState* interp;
    int dict;
    int type;
    bool inline_stores_seen;  // the dict watcher hears of stores into an object's inline values
};

// Asks the interpreter: an object of a new class, its dict made and watched, an attribute stored.
bool inline_stores_seen(int dict_watcher) {
#if PY_VERSION_HEX >= 0x030D0000
    Ref ns = Ref::steal(PyDict_New());
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "probe", ns.get()));
    Ref obj = Ref::steal(PyObject_CallNoArgs(cls.get()));
    require(PyObject_SetAttrString(obj.get(), "a", Py_None));
    PyObject* dict = internals::instance_dict(obj.get());
    if (dict == nullptr || PyDict_Watch(dict_watcher, dict) < 0) throw_error();
    probe_dict = dict;
    probe_seen = false;
    const int stored = PyObject_SetAttrString(obj.get(), "a", Py_True);
    probe_dict = nullptr;
    require(stored);
    return probe_seen;
#else
    (void)dict_watcher;
    return true;
#endif
}

const WatcherIds& watcher_ids() {
    static std::vector<WatcherIds> ids;
    PyInterpreterState* interp = PyInterpreterState_Get();
    for (const WatcherIds& i : ids)
        if (i.interp == interp) return i;
    int dict = PyDict_AddWatcher(on_dict_event);
    if (dict < 0) PyErr_Clear();
    int type = PyType_AddWatcher(on_type_modified);
    if (type < 0) PyErr_Clear();
    bool seen = false;
    if (dict >= 0) {
        try {
            seen = inline_stores_seen(dict);
        } catch (const PyErrOccurred&) {
            PyErr_Clear();
        }
    }
    ids.push_back({interp, dict, type, seen});
    return ids.back();
}
#endif

}  // namespace

bool Watch::start(PyObject* dict, PyTypeObject* type) {
    valid_ = false;
    if (!PyDict_Check(dict)) return false;
#if VANTOR_WATCHERS
    const WatcherIds& ids = watcher_ids();
    if (ids.dict < 0 || (type != nullptr && (ids.type < 0 || type->tp_version_tag == 0))) return false;
    if (PyDict_Watch(ids.dict, dict) < 0 ||
        (type != nullptr && PyType_Watch(ids.type, reinterpret_cast<PyObject*>(type)) < 0)) {
        PyErr_Clear();
        return false;
    }
#else
    if (type != nullptr && !internals::type_version_valid(type)) return false;
    dict_version_ = internals::dict_version(dict);
#endif
    dict_ = dict;
    type_ = type;
    type_version_ = type != nullptr ? type->tp_version_tag : 0;
    valid_ = true;
    return true;
}

void watch_init() {
#if VANTOR_WATCHERS
    watcher_ids();
#endif
}

bool inline_stores_missed(PyObject* self, PyObject* dict) {
#if PY_VERSION_HEX >= 0x030D0000
    return dict != nullptr && internals::keeps_inline_values(self) && internals::dict_over_inline_values(dict) &&
           !watcher_ids().inline_stores_seen;
#else
    (void)self, (void)dict;
    return false;
#endif
}

PyObject* watchable_instance_dict(PyObject* self) {
    PyObject* dict = internals::instance_dict(self);
#if PY_VERSION_HEX >= 0x030D0000
    if (inline_stores_missed(self, dict)) {
        // The watchers would not hear of stores into the inline values: the dict takes the values
        // into a table of its own, through which every later store goes.
        if (!internals::own_table_for(dict)) {
            if (PyErr_Occurred()) throw_error();
            return nullptr;
        }
        if (internals::dict_over_inline_values(dict)) return nullptr;
    }
#endif
    return dict;
}

void watch_register(Watch* watch) { registered().push_back(watch); }

void watch_unregister(Watch* watch) {
    auto& watches = registered();
    watches.erase(std::remove(watches.begin(), watches.end(), watch), watches.end());
}

}  // namespace vantor::support
