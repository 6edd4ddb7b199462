// The metrics client's methods as C++: the function definitions the module body installs, and
// the steps that call one another through `self` (directly when not overridden).
#pragma once

#include "line.hpp"
#include "state.hpp"
#include "view.hpp"

namespace vantor::stat {

// The value-and-type text of one metric ("+5|g", "0.250000|h"), kept as ASCII characters until
// some step needs it as a str. It may hold several value texts joined by "\n" ("0|g\n-5|g"):
// the send path writes one line of the metric for each.
class ValueText {
public:
    explicit ValueText(PyObject* text) : text_(Ref::new_ref(text)) {}  // any object from a caller
    ValueText() = default;
    void set_ascii(const char* chars, Py_ssize_t length);
    void set_str(Ref text) { text_ = std::move(text); }

    PyObject* as_object();                  // borrowed; made on first use
    void append_to(LineBuilder& line);      // requires a str (checked by the caller)
    bool is_exact_str() const { return !text_ || PyUnicode_CheckExact(text_.get()); }
    // The text's characters while it is ASCII (set_ascii, or a compact ASCII str), else nullptr.
    const char* ascii(Py_ssize_t& length) const;
    // Whether it holds several value texts; requires a str.
    bool several();

private:
    char chars_[340];
    Py_ssize_t length_ = 0;
    Ref text_;
};

// Steps called through `self`: each runs our C++ body when `self.<step>` is our own method,
// and otherwise makes the ordinary method call, so a subclass sees every step it overrides.
// `view`, when given, is self's view as the caller has it (else it is looked up).
void call_gauge(State* st, PyObject* self, PyObject* stat, PyObject* value, bool delta, PyObject* tags,
                View* view = nullptr);
void call_send_stat(State* st, PyObject* self, PyObject* stat, ValueText& value, PyObject* tags,
                    View* view = nullptr);
void call_timing(State* st, PyObject* self, PyObject* key, PyObject* delta, PyObject* tags);
// The same with the seconds as a double (a float is made only for an ordinary call).
void call_timing_seconds(State* st, PyObject* self, PyObject* key, double seconds, PyObject* tags);

// Makes what the wrappers of coroutine functions need (their code object, the type of timed
// coroutines), into `st`.
void init_coroutine_wrapper(State* st, const FunctionFactory& factory);

// Function definitions, in the order the class bodies list them.
extern const FunctionDef abstract_inc_def, abstract_timing_def, abstract_set_def;
extern const FunctionDef init_def, timing_def, inc_def, set_def, gauge_def;
extern const FunctionDef send_stat_def, prepare_def, build_tag_def, after_def, send_def;
extern const FunctionDef timing_decorator_factory_def;

}  // namespace vantor::stat
