// The argument binder: positional and keyword arguments onto a parameter table in one pass,
// then the annotation conversions, with the package's exact error messages.
#include "signature.hpp"

namespace vantor::support {

// Failed arguments are the common error, so the binder reports by return value: a C++ throw
// costs microseconds, many times the call it fails.
namespace {

bool fail_count(const char* func, std::size_t min, std::size_t max, bool unbounded, Py_ssize_t given) {
    const char* more_or_less;
    Py_ssize_t expected;
    if (!unbounded && min == max) {
        more_or_less = "exactly";
        expected = static_cast<Py_ssize_t>(min);
    } else if (static_cast<std::size_t>(given) < min) {
        more_or_less = "at least";
        expected = static_cast<Py_ssize_t>(min);
    } else {
        more_or_less = "at most";
        expected = static_cast<Py_ssize_t>(max);
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func,
                 more_or_less, expected, expected == 1 ? "" : "s", given);
    return false;
}

bool fail_incorrect_type(const char* param, const char* expected, PyObject* given, bool subclass_of_expected) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s",
                 param, expected, Py_TYPE(given)->tp_name,
                 subclass_of_expected ? ". Subclasses of built-in types are not accepted." : "");
    return false;
}

// 1 when two keyword names are equal, 0 when not, -1 on error. Names from call sites are interned
// like ours, so two different interned strings differ without a look at their text.
int same_name(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        if (PyUnicode_CHECK_INTERNED(a) && PyUnicode_CHECK_INTERNED(b)) return 0;
        if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return 0;
    }
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

// Index of `key` among the parameter names, -1 when absent, -2 on error. Interned names match by
// identity first.
Py_ssize_t find_name(PyObject* names, PyObject* key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(names, i) == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = same_name(PyTuple_GET_ITEM(names, i), key);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

bool try_convert_int(const char* param, PyObject* value, Ref& out) {
    if (PyLong_CheckExact(value)) {
        out = Ref::new_ref(value);
        return true;
    }
    if (!PyNumber_Check(value)) return fail_incorrect_type(param, "int", value, false);
    out = Ref::steal_or_null(PyNumber_Long(value));
    return static_cast<bool>(out);
}

bool try_convert_float(PyObject* value, Ref& out) {
    if (PyFloat_CheckExact(value)) {
        out = Ref::new_ref(value);
        return true;
    }
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) return false;
    out = Ref::steal_or_null(PyFloat_FromDouble(d));
    return static_cast<bool>(out);
}

bool try_check_exact(const char* param, PyObject* value, PyTypeObject* expected) {
    if (Py_TYPE(value) == expected) return true;
    return fail_incorrect_type(param, expected->tp_name, value, PyObject_TypeCheck(value, expected));
}

}  // namespace

Ref convert_int(const char* param, PyObject* value) {
    Ref out;
    if (!try_convert_int(param, value, out)) throw_error();
    return out;
}

Ref convert_float(PyObject* value) {
    Ref out;
    if (!try_convert_float(value, out)) throw_error();
    return out;
}

void check_exact(const char* param, PyObject* value, PyTypeObject* expected) {
    if (!try_check_exact(param, value, expected)) throw_error();
}

namespace {

// The common calls, bound in one pass: no *args or **kwargs, no more positionals than parameters,
// keywords given by the very interned names of parameters after the positionals (as a call site
// passes them), and no required parameter left out. False when the call is of any other shape,
// with nothing set: the general binder then decides, and reports what does not fit.
bool bind_common(const BindTarget& target, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                 BoundArgs& out) {
    const Signature& sig = *target.sig;
    const std::size_t npos = sig.npos;
    if (sig.var_positional || sig.var_keyword || nargs > npos) return false;
    // A fixed number of moves, each kept or not: cheaper than a loop for a handful of arguments.
    for (std::size_t i = 0; i < kMaxPositional; ++i) out.value[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        PyObject* const* names = &PyTuple_GET_ITEM(target.names, 0);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t i = nargs;
            while (i < npos && names[i] != key) ++i;
            if (i == npos || out.value[i] != nullptr) return false;
            out.value[i] = args[nargs + static_cast<std::size_t>(k)];
        }
    }
    const Py_ssize_t ndefaults_all = target.defaults ? PyTuple_GET_SIZE(target.defaults) : 0;
    const std::size_t required = npos - std::min<std::size_t>(static_cast<std::size_t>(ndefaults_all), npos);
    for (std::size_t i = nargs; i < npos; ++i) {
        if (out.value[i] != nullptr) continue;
        if (i < required) return false;
        out.value[i] = PyTuple_GET_ITEM(target.defaults, ndefaults_all - static_cast<Py_ssize_t>(npos - i));
    }
    return true;
}

// Any call: the interpreter's rules and messages.
bool bind_general(const BindTarget& target, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  BoundArgs& out) {
    const Signature& sig = *target.sig;
    const std::size_t npos = sig.npos;
    const bool var_positional = sig.var_positional;
    const bool var_keyword = sig.var_keyword;
    for (std::size_t i = 0; i < npos; ++i) out.value[i] = nullptr;

    const Py_ssize_t ndefaults_all = target.defaults ? PyTuple_GET_SIZE(target.defaults) : 0;
    const std::size_t ndefaults = std::min<std::size_t>(static_cast<std::size_t>(ndefaults_all), npos);
    const std::size_t required = npos - ndefaults;

    if (static_cast<std::size_t>(nargs) > npos && !var_positional)
        return fail_count(sig.name, required, npos, false, nargs);

    const std::size_t taken = std::min<std::size_t>(static_cast<std::size_t>(nargs), npos);
    for (std::size_t i = 0; i < taken; ++i) out.value[i] = args[i];
    if (var_positional) {
        Py_ssize_t extra = nargs > static_cast<Py_ssize_t>(npos) ? nargs - static_cast<Py_ssize_t>(npos) : 0;
        out.var_positional = Ref::steal_or_null(PyTuple_New(extra));
        if (!out.var_positional) return false;
        for (Py_ssize_t i = 0; i < extra; ++i)
            PyTuple_SET_ITEM(out.var_positional.get(), i, Py_NewRef(args[static_cast<Py_ssize_t>(npos) + i]));
    }
    if (var_keyword) {
        out.var_keyword = Ref::steal_or_null(PyDict_New());
        if (!out.var_keyword) return false;
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kwvalues = args + nargs;

    // A required parameter missing from both the positionals and the keywords is reported
    // before any keyword is judged, with the count of arguments found ahead of it.
    for (std::size_t i = taken; i < required; ++i) {
        PyObject* name = PyTuple_GET_ITEM(target.names, static_cast<Py_ssize_t>(i));
        bool found = false;
        for (Py_ssize_t k = 0; k < nkw && !found; ++k)
            found = PyTuple_GET_ITEM(kwnames, k) == name;
        for (Py_ssize_t k = 0; k < nkw && !found; ++k) {
            int eq = same_name(PyTuple_GET_ITEM(kwnames, k), name);
            if (eq < 0) return false;
            found = eq;
        }
        if (!found) return fail_count(sig.name, required, npos, var_positional, static_cast<Py_ssize_t>(i));
    }

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = find_name(target.names, key);
        if (index == -2) return false;
        if (index >= static_cast<Py_ssize_t>(taken)) {
            out.value[index] = kwvalues[k];
        } else if (index >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
            return false;
        } else if (var_keyword) {
            if (PyDict_SetItem(out.var_keyword.get(), key, kwvalues[k]) < 0) return false;
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
            return false;
        }
    }

    for (std::size_t i = required; i < npos; ++i)
        if (out.value[i] == nullptr)
            out.value[i] = PyTuple_GET_ITEM(target.defaults, ndefaults_all - static_cast<Py_ssize_t>(npos - i));
    return true;
}

}  // namespace

VANTOR_HOT bool bind_arguments(const BindTarget& target, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArgs& out) {
    const Signature& sig = *target.sig;
    assert(sig.npos <= kMaxPositional);
    // The defaults of the call's start are the ones it uses, as in the interpreter: the tuple is held
    // for the whole call, since comparing a keyword name, a conversion or the body may run code
    // that rebinds __defaults__.
    out.defaults = Ref::new_ref(target.defaults);
    if (!bind_common(target, args, static_cast<std::size_t>(nargs), kwnames, out) &&
        !bind_general(target, args, nargs, kwnames, out))
        return false;

    // Numeric conversions come first, in parameter order; the exact-type checks after them.
    // An exact int or float is kept as it is, borrowed like any argument.
    for (unsigned bits = sig.numeric_params; bits != 0; bits &= bits - 1) {
        const std::size_t i = static_cast<std::size_t>(__builtin_ctz(bits));
        const Param& p = sig.params[i];
        PyObject* value = out.value[i];
        switch (p.conv) {
            case Conv::to_int: {
                if (PyLong_CheckExact(value)) break;
                Ref converted;
                if (!try_convert_int(p.name, value, converted)) return false;
                out.own(i, converted.release());
                break;
            }
            case Conv::to_float: {
                if (PyFloat_CheckExact(value)) break;
                Ref converted;
                if (!try_convert_float(value, converted)) return false;
                out.own(i, converted.release());
                break;
            }
            default: {
                int truth = PyObject_IsTrue(value);
                if (truth < 0) return false;
                out.value[i] = truth ? Py_True : Py_False;
                break;
            }
        }
    }
    for (unsigned bits = sig.exact_params; bits != 0; bits &= bits - 1) {
        const std::size_t i = static_cast<std::size_t>(__builtin_ctz(bits));
        const Param& p = sig.params[i];
        PyTypeObject* expected = p.conv == Conv::exact_str ? &PyUnicode_Type : &PyList_Type;
        if (!try_check_exact(p.name, out.value[i], expected)) return false;
    }
    return true;
}

}  // namespace vantor::support
