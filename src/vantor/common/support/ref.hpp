// Owning and borrowed reference handles, and the error plumbing between C++ and the interpreter.
// Inside C++ a failed CPython call throws PyErrOccurred; `boundary` turns that back into NULL / -1.
// Handles and guards leave the interpreter alone on a thread that it is ending (lifecycle.hpp).
//
// What may be held across which calls. Python code runs at more places than it seems: any
// attribute read (a property, __getattr__), truth test, comparison or hash, __index__, __int__,
// __float__, __len__ or __str__, any call into the standard library (which may also let other
// threads run), any allocation of a tracked object (the collector runs finalizers and weak
// reference callbacks: at the allocation on 3.10 and 3.11, at the next bytecode boundary later),
// and wherever a signal handler can run. Whatever runs there may change or free what we use:
// - Anything used after such a point is held by a Ref. A borrowed item of a dict, tuple or
//   attribute dies with the next change of its container, on this thread or another.
// - A decision made before such a point (a reused view, "this method is our own", a length) is
//   made again after it, or rests on a Watch (watch.hpp) that sees every change.
// - A C++ reference into a container of ours (an executor's record) is kept only while its owner
//   is held alive and nothing can erase it.
// - No lock is held across such a point that code on the same thread may want: a signal handler
//   or a finalizer that calls back into us would wait for itself. Take it without running code,
//   or record the request for the holder to honour.
#pragma once

#include "lifecycle.hpp"

#include <cassert>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

// Marks the functions of the paths every metric and every task takes: the compiler keeps them
// together, apart from the code of the rare paths, so that they share the instruction cache.
#define VANTOR_HOT [[gnu::hot]]

namespace vantor::support {

// Thrown only while the interpreter holds an exception; it carries no message of its own.
struct PyErrOccurred {};

[[noreturn]] inline void throw_error() {
    assert(PyErr_Occurred());
    throw PyErrOccurred{};
}

inline PyObject* require(PyObject* result) {
    if (result == nullptr) throw_error();
    return result;
}

inline int require(int result) {
    if (result < 0) throw_error();
    return result;
}

// A borrowed view: never changes a reference count.
class Borrowed {
public:
    Borrowed(PyObject* p) noexcept : p_(p) {}
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_;
};

// An owning handle: move-only, releases its reference on destruction.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    ~Ref() {
        if (p_ && interpreter_usable()) {
            assert(PyGILState_Check());
            Py_DECREF(p_);
        }
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    // Takes over a new reference that an API call returned; throws if the call failed.
    static Ref steal(PyObject* p) { return Ref(require(p)); }
    // Takes over a new reference that may legitimately be NULL without an error.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Keeps a reference of our own to a borrowed object.
    static Ref new_ref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref new_ref(Borrowed b) noexcept { return new_ref(b.get()); }

    Ref copy() const noexcept { return new_ref(p_); }
    PyObject* get() const noexcept { return p_; }
    Borrowed borrow() const noexcept { return Borrowed(p_); }
    // The caller now owns the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Holds the pending exception aside while cleanup code runs, and restores it afterwards.
class SavedError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~SavedError() {
        if (interpreter_usable()) PyErr_SetRaisedException(exc_);
    }
#else
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~SavedError() {
        if (interpreter_usable()) PyErr_Restore(type_, value_, tb_);
    }
#endif
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_;
#else
    PyObject* type_;
    PyObject* value_;
    PyObject* tb_;
#endif
};

// Runs `cleanup` while an exception propagates (inside a catch block, before `throw;`): the
// pending exception is kept aside meanwhile, and a failure of the cleanup itself is dropped so
// that the original error is the one reported. Nothing runs on a thread the interpreter is ending.
template <class F>
void cleanup_during_unwind(F&& cleanup) {
    if (!interpreter_usable()) return;
    SavedError pending;
    try {
        cleanup();
    } catch (...) {
        pass_thread_exit();
        PyErr_Clear();
    }
}

// Takes the pending exception out of the interpreter, as an `except` clause does, so that the
// handler may call into the interpreter; `rethrow` puts it back, otherwise it is dropped.
class CaughtError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    CaughtError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~CaughtError() {
        if (interpreter_usable()) Py_XDECREF(exc_);
    }
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(exc_, type); }
    PyObject* value() noexcept { return exc_; }  // the exception (borrowed)
    [[noreturn]] void rethrow() {
        PyErr_SetRaisedException(std::exchange(exc_, nullptr));
        throw PyErrOccurred{};
    }
#else
    CaughtError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~CaughtError() {
        if (!interpreter_usable()) return;
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(type_, type); }
    PyObject* value() noexcept {  // the exception (borrowed)
        PyErr_NormalizeException(&type_, &value_, &tb_);
        return value_;
    }
    [[noreturn]] void rethrow() {
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(tb_, nullptr));
        throw PyErrOccurred{};
    }
#endif
    CaughtError(const CaughtError&) = delete;
    CaughtError& operator=(const CaughtError&) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_;
#else
    PyObject* type_;
    PyObject* value_;
    PyObject* tb_;
#endif
};

// Turns the pending exception into the one being handled (what sys.exc_info() and
// logging's exception() see), as inside an `except` or `finally` block, until the scope ends: an
// exception raised meanwhile gets it as its __context__, chained as the interpreter chains it.
class HandlingScope {
public:
    HandlingScope();
    ~HandlingScope();
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;
    PyObject* exception() const noexcept { return handled_.get(); }  // the one handled here

private:
    Ref handled_;
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* outer_;
#else
    PyObject* outer_type_;
    PyObject* outer_value_;
    PyObject* outer_tb_;
#endif
};

// Unpacks an iterable into exactly `n` items, with the interpreter's messages for a mismatch.
void unpack_exact(PyObject* iterable, Ref* out, Py_ssize_t n);

// Py_EnterRecursiveCall / Py_LeaveRecursiveCall as a scope.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) { require(Py_EnterRecursiveCall(where) ? -1 : 0); }
    ~RecursionGuard() {
        if (interpreter_usable()) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

void set_error_from_current_exception(const char* where);
// Raises `exception` (an instance) again, with its traceback.
[[noreturn]] void raise_again(PyObject* exception);
// The exception being raised gets `traceback` (a traceback object) as its own.
void set_raised_traceback(PyObject* traceback);

// Hands the pending exception to sys.unraisablehook, as the interpreter reports an exception that
// nobody can receive, naming `obj`; with `keep` the exception stays pending afterwards.
void write_unraisable(PyObject* obj, bool keep);
void set_error_without_exception(const char* where) noexcept;

// Runs a slot body: C++ exceptions become the interpreter's, and the failure value is returned.
// The usual case, an error the interpreter already holds, is caught by type: classifying by a
// rethrow would unwind a second time. Not noexcept, and neither are the slots that call it: a
// forced unwind that ends the thread passes through (lifecycle.hpp).
template <class F>
auto boundary(const char* where, F&& body) -> decltype(body()) {
    using R = decltype(body());
    try {
        return body();
    } catch (const PyErrOccurred&) {
        if (!PyErr_Occurred()) set_error_without_exception(where);
    } catch (...) {
        pass_thread_exit();
        set_error_from_current_exception(where);
    }
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return R(-1);
    }
}

}  // namespace vantor::support
