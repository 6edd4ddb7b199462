// The single place where C++ exceptions are turned into the interpreter's.
#include "ref.hpp"

#include <exception>

namespace vantor::support {

void set_error_without_exception(const char* where) noexcept {
    PyErr_Format(PyExc_SystemError, "%s failed without setting an exception", where);
}

void set_error_from_current_exception(const char* where) {
    try {
        throw;
    } catch (const PyErrOccurred&) {
        if (!PyErr_Occurred()) set_error_without_exception(where);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception: %s", where, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception", where);
    }
}

void write_unraisable(PyObject* obj, bool keep) {
    if (!keep) return PyErr_WriteUnraisable(obj);
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    PyErr_SetRaisedException(Py_NewRef(exc));
    PyErr_WriteUnraisable(obj);
    PyErr_SetRaisedException(exc);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    PyErr_Restore(Py_XNewRef(type), Py_XNewRef(value), Py_XNewRef(tb));
    PyErr_WriteUnraisable(obj);
    PyErr_Restore(type, value, tb);
#endif
}

HandlingScope::HandlingScope() {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type, *exc, *tb;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
    if (tb != nullptr && exc != nullptr) PyException_SetTraceback(exc, tb);
#endif
    handled_ = Ref::new_ref(exc);
#if PY_VERSION_HEX >= 0x030B0000
#if PY_VERSION_HEX < 0x030C0000
    Py_XDECREF(type);
    Py_XDECREF(tb);
#endif
    outer_ = PyErr_GetHandledException();
    PyErr_SetHandledException(exc);
    Py_XDECREF(exc);
#else
    PyErr_GetExcInfo(&outer_type_, &outer_value_, &outer_tb_);
    PyErr_SetExcInfo(type, exc, tb);  // steals all three
#endif
}

HandlingScope::~HandlingScope() {
    if (!interpreter_usable()) return;
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(outer_);
    Py_XDECREF(outer_);
#else
    PyErr_SetExcInfo(outer_type_, outer_value_, outer_tb_);
#endif
}

void raise_again(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(Py_NewRef(exception));
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), Py_NewRef(exception),
                  PyException_GetTraceback(exception));
#endif
    throw PyErrOccurred{};
}

void set_raised_traceback(PyObject* traceback) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetTraceback(exc, traceback);
    PyErr_SetRaisedException(exc);
#else
    // Before 3.12 the thread's own traceback is the one that goes on, and the exception's follows it.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(tb);
    if (value != nullptr) PyException_SetTraceback(value, traceback);
    PyErr_Restore(type, value, Py_NewRef(traceback));
#endif
}

void unpack_exact(PyObject* iterable, Ref* out, Py_ssize_t n) {
    if ((PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) && PySequence_Fast_GET_SIZE(iterable) == n) {
        PyObject** items = PySequence_Fast_ITEMS(iterable);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::new_ref(items[i]);
        return;
    }
    PyObject* it_raw = PyObject_GetIter(iterable);
    if (it_raw == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(iterable)->tp_iter == nullptr && !PySequence_Check(iterable)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(iterable)->tp_name);
        }
        throw_error();
    }
    Ref it = Ref::steal(it_raw);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyIter_Next(it.get());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            throw_error();
        }
        out[i] = Ref::steal(item);
    }
    PyObject* extra = PyIter_Next(it.get());
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        throw_error();
    }
    if (PyErr_Occurred()) throw_error();
}

}  // namespace vantor::support
