// The watchers behind Watch, per interpreter: one dict watcher and one type watcher, whose
// callbacks tell every Watch registered in that interpreter which dict or type is about to change.
#include "watch.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace vantor::support {

#if VANTOR_WATCHERS
namespace {

// What one interpreter knows of this module's watching. The support layer is compiled into each
// module, so each module keeps its own, under a key of its own in the interpreter's dict.
struct Watchers {
    int dict_watcher = -1;
    int type_watcher = -1;
    bool inline_stores_seen = true;  // the dict watcher hears of stores into inline values
    PyObject* probe_dict = nullptr;  // the dict of the probe, while it runs
    bool probe_seen = false;
    std::vector<Watch*> watches;
};

// The running interpreter's Watchers, as the interpreter's dict holds them. A thread remembers the
// last it found, with the interpreter's id: ids are never reused, so what it remembers of an
// interpreter that ended never matches again. The callbacks ask at every change of a watched dict
// (every put into a plain queue): the memo is in the static TLS block, read without a call.
struct Memo {
    std::int64_t interp = -1;
    Watchers* watchers = nullptr;
};
[[gnu::tls_model("initial-exec")]] thread_local Memo memo;

int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject* key, PyObject*);

// "vantor.common watchers <address of this module's callback>": one entry per module. New
// reference, or nullptr with an exception set.
PyObject* watchers_key() {
    return PyUnicode_FromFormat("vantor.common watchers %p", reinterpret_cast<void*>(&on_dict_event));
}

void destroy_watchers(PyObject* capsule) {
    auto* w = static_cast<Watchers*>(PyCapsule_GetPointer(capsule, nullptr));
    if (memo.watchers == w) memo = Memo{};
    delete w;
}

// Never raises: a watcher callback calls it.
Watchers* watchers_here() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (memo.interp == id && memo.watchers != nullptr) return memo.watchers;
    PyObject* dict = PyInterpreterState_GetDict(interp);
    if (dict == nullptr) return nullptr;
    SavedError pending;
    PyObject* key = watchers_key();
    PyObject* capsule = key != nullptr ? PyDict_GetItemWithError(dict, key) : nullptr;
    Py_XDECREF(key);
    PyErr_Clear();
    if (capsule == nullptr || !PyCapsule_CheckExact(capsule)) return nullptr;
    auto* w = static_cast<Watchers*>(PyCapsule_GetPointer(capsule, nullptr));
    PyErr_Clear();
    if (w != nullptr) memo = Memo{id, w};
    return w;
}

int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject* key, PyObject*) {
    Watchers* w = watchers_here();
    if (w == nullptr) return 0;
    if (dict == w->probe_dict) w->probe_seen = true;
    for (Watch* watch : w->watches) watch->notify(dict, key);
    return 0;
}

int on_type_modified(PyTypeObject* type) {
    Watchers* w = watchers_here();
    if (w == nullptr) return 0;
    for (Watch* watch : w->watches) watch->notify(type);
    return 0;
}

// Asks the interpreter: an object of a new class, its dict made and watched, an attribute stored.
bool inline_stores_seen(Watchers& w) {
#if PY_VERSION_HEX >= 0x030D0000
    Ref ns = Ref::steal(PyDict_New());
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "probe", ns.get()));
    Ref obj = Ref::steal(PyObject_CallNoArgs(cls.get()));
    require(PyObject_SetAttrString(obj.get(), "a", Py_None));
    PyObject* dict = internals::instance_dict(obj.get());
    if (dict == nullptr || PyDict_Watch(w.dict_watcher, dict) < 0) throw_error();
    w.probe_dict = dict;
    w.probe_seen = false;
    const int stored = PyObject_SetAttrString(obj.get(), "a", Py_True);
    w.probe_dict = nullptr;
    require(stored);
    return w.probe_seen;
#else
    (void)w;
    return true;
#endif
}

}  // namespace
#endif

bool Watch::start(PyObject* dict, PyTypeObject* type) {
    valid_ = false;
    if (dict != nullptr && !PyDict_Check(dict)) return false;
#if VANTOR_WATCHERS
    Watchers* w = watchers_here();
    if (w == nullptr) return false;
    if (dict != nullptr && (w->dict_watcher < 0 || PyDict_Watch(w->dict_watcher, dict) < 0)) {
        PyErr_Clear();
        return false;
    }
    if (type != nullptr &&
        (w->type_watcher < 0 || type->tp_version_tag == 0 || PyType_Watch(w->type_watcher, reinterpret_cast<PyObject*>(type)) < 0)) {
        PyErr_Clear();
        return false;
    }
#else
    if (type != nullptr && !internals::type_version_valid(type)) return false;
    dict_version_ = dict != nullptr ? internals::dict_version(dict) : 0;
#endif
    dict_ = dict;
    type_ = type;
    type_version_ = type != nullptr ? type->tp_version_tag : 0;
    valid_ = true;
    return true;
}

void watch_init() {
#if VANTOR_WATCHERS
    if (watchers_here() != nullptr) return;  // this module is imported again in this interpreter
    PyInterpreterState* interp = PyInterpreterState_Get();
    PyObject* dict = PyInterpreterState_GetDict(interp);
    if (dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "this interpreter keeps no dict for its extension modules");
        throw_error();
    }
    auto owned = std::make_unique<Watchers>();
    Ref capsule = Ref::steal(PyCapsule_New(owned.get(), nullptr, destroy_watchers));
    Watchers* w = owned.release();
    require(PyDict_SetItem(dict, Ref::steal(watchers_key()).get(), capsule.get()));
    w->dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (w->dict_watcher < 0) PyErr_Clear();
    w->type_watcher = PyType_AddWatcher(on_type_modified);
    if (w->type_watcher < 0) PyErr_Clear();
    if (w->dict_watcher >= 0) {
        try {
            w->inline_stores_seen = inline_stores_seen(*w);
        } catch (const PyErrOccurred&) {
            PyErr_Clear();
            w->inline_stores_seen = false;
        }
    }
#endif
}

bool inline_stores_missed(PyObject* obj, PyObject* dict) {
#if PY_VERSION_HEX >= 0x030D0000
    return dict != nullptr && internals::keeps_inline_values(obj) && dict_stores_missed(dict);
#else
    (void)obj, (void)dict;
    return false;
#endif
}

bool dict_stores_missed(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030D0000
    if (!internals::dict_over_inline_values(dict)) return false;
    Watchers* w = watchers_here();
    return w == nullptr || !w->inline_stores_seen;
#else
    (void)dict;
    return false;
#endif
}

void watch_register(Watch* watch) {
#if VANTOR_WATCHERS
    if (Watchers* w = watchers_here()) w->watches.push_back(watch);
#else
    (void)watch;
#endif
}

void watch_unregister(Watch* watch) {
#if VANTOR_WATCHERS
    if (Watchers* w = watchers_here()) std::erase(w->watches, watch);
#else
    (void)watch;
#endif
}

}  // namespace vantor::support
