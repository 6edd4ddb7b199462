// Parameter tables and the argument binder shared by every function of both modules.
// Binding follows the interpreter's rules; the conversions and messages are this package's own.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace vantor::support {

enum class ParamKind : std::uint8_t { positional_or_keyword, var_positional, var_keyword };

// What a parameter's annotation asks of its argument before the body runs.
enum class Conv : std::uint8_t { none, to_int, to_float, to_bool, exact_str, exact_list };

constexpr bool text_equal(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b;
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

constexpr Conv conv_for(const char* annotation) {
    if (text_equal(annotation, "int")) return Conv::to_int;
    if (text_equal(annotation, "float")) return Conv::to_float;
    if (text_equal(annotation, "bool")) return Conv::to_bool;
    if (text_equal(annotation, "str")) return Conv::exact_str;
    if (text_equal(annotation, "list")) return Conv::exact_list;
    return Conv::none;
}

struct Param {
    constexpr Param(const char* name_, const char* annotation_ = nullptr,
                    ParamKind kind_ = ParamKind::positional_or_keyword)
        : name(name_), annotation(annotation_), kind(kind_), conv(conv_for(annotation_)) {}

    const char* name;
    const char* annotation;  // stored as text; nullptr when unannotated
    ParamKind kind;
    Conv conv;
};

// The static description of one function: its own name (used in binding messages),
// its parameters in order (positional-or-keyword first, then *args, then **kwargs)
// and its return annotation.
struct Signature {
    constexpr Signature(const char* name_, std::span<const Param> params_, const char* returns_ = nullptr)
        : name(name_), params(params_), returns(returns_) {
        for (const Param& p : params) {
            if (p.kind == ParamKind::positional_or_keyword) {
                if (p.conv == Conv::to_int || p.conv == Conv::to_float || p.conv == Conv::to_bool)
                    numeric_params |= 1u << npos;
                if (p.conv == Conv::exact_str || p.conv == Conv::exact_list) exact_params |= 1u << npos;
                ++npos;
            }
            if (p.kind == ParamKind::var_positional) var_positional = true;
            if (p.kind == ParamKind::var_keyword) var_keyword = true;
        }
    }

    const char* name;
    std::span<const Param> params;
    const char* returns;
    std::size_t npos = 0;  // positional-or-keyword parameters, which come first
    bool var_positional = false;
    bool var_keyword = false;
    unsigned numeric_params = 0;  // bit i: parameter i is converted ("int", "float", "bool")
    unsigned exact_params = 0;    // bit i: parameter i must be of an exact type ("str", "list")
};

inline constexpr std::size_t kMaxPositional = 6;

// The arguments of one call after binding and conversion. `value[i]` (for the positional-or-
// keyword parameters) is borrowed from the caller, from `defaults` (held for the call), or owned
// here when a conversion produced a new object.
struct BoundArgs {
    PyObject* value[kMaxPositional];
    Ref defaults;        // the __defaults__ tuple that defaults were taken from
    Ref var_positional;  // tuple, when the signature has *args
    Ref var_keyword;     // dict, when the signature has **kwargs

    BoundArgs() = default;
    BoundArgs(const BoundArgs&) = delete;
    BoundArgs& operator=(const BoundArgs&) = delete;
    ~BoundArgs() {
        if (converted_ == 0 || !interpreter_usable()) return;
        for (unsigned bits = converted_; bits != 0; bits &= bits - 1) Py_DECREF(value[__builtin_ctz(bits)]);
    }

    PyObject* operator[](std::size_t i) const noexcept { return value[i]; }
    // Makes `converted` (a new reference) the value of parameter i.
    void own(std::size_t i, PyObject* converted) noexcept {
        value[i] = converted;
        converted_ |= 1u << i;
    }

private:
    unsigned converted_ = 0;  // bit i: value[i] is a reference of ours
};

// Inputs of one binding: the static table plus what lives on the function object.
struct BindTarget {
    const Signature* sig;
    PyObject* names;     // tuple of interned parameter names (positional-or-keyword only)
    PyObject* defaults;  // tuple or nullptr, read at call time
};

// False, with the interpreter's exception set, when the arguments do not fit.
bool bind_arguments(const BindTarget& target, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out);

// The conversions of the annotations, each usable on its own (the binder applies them in order:
// the numeric ones for every parameter first, then the exact-type checks).
Ref convert_int(const char* param, PyObject* value);
Ref convert_float(PyObject* value);
void check_exact(const char* param, PyObject* value, PyTypeObject* expected);


}  // namespace vantor::support
