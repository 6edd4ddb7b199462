// StatClient construction and the metric operations (inc, set, timing, _gauge), plus the
// abstract interface's methods, which convert their arguments and then raise NotImplementedError.
#include "client.hpp"

#include <algorithm>

namespace vantor::stat {

namespace {

// ---- the abstract interface ------------------------------------------------------------------

constexpr Param inc_params[] = {{"self"}, {"key", "str"}, {"count", "int"}, {"tags", "Tags"}};
constexpr Param timing_params[] = {{"self"}, {"key", "str"}, {"delta", "float"}, {"tags", "Tags"}};
constexpr Param set_params[] = {{"self"}, {"key", "str"}, {"value", "int"}, {"tags", "Tags"}};

constexpr Signature inc_sig{"inc", inc_params, "None"};
constexpr Signature timing_sig{"timing", timing_params, "None"};
constexpr Signature set_sig{"set", set_params, "None"};

PyObject* abstract_body(FunctionObject*, BoundArgs&) {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw_error();
}

// ---- construction ----------------------------------------------------------------------------

constexpr Param init_params[] = {{"self"},
                                 {"host", "str"},
                                 {"port", "int"},
                                 {"prefix", "str"},
                                 {"maxudpsize", "int"},
                                 {"ipv6", "bool"}};
constexpr Signature init_sig{"__init__", init_params, "None"};

Ref socket_attr(State* st, PyObject* name) {
    Ref socket = lookup_global(st->globals, st->str_socket);
    return Ref::steal(PyObject_GetAttr(socket.get(), name));
}

// The guarded part of construction: resolve, then open the socket and store the settings.
void resolve_and_open(State* st, PyObject* self, PyObject* host, PyObject* port, PyObject* fam,
                      PyObject* prefix, PyObject* maxudpsize) {
    Ref getaddrinfo = socket_attr(st, st->str_getaddrinfo);
    Ref dgram = socket_attr(st, st->str_SOCK_DGRAM);
    PyObject* lookup_args[] = {host, port, fam, dgram.get()};
    Ref infos = Ref::steal(PyObject_Vectorcall(getaddrinfo.get(), lookup_args, 4, nullptr));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref first = Ref::steal(PyObject_GetItem(infos.get(), zero.get()));
    Ref fields[5];
    unpack_exact(first.get(), fields, 5);
    require(PyObject_SetAttr(self, st->str__addr, fields[4].get()));

    Ref socket_type = socket_attr(st, st->str_socket);
    Ref sock_dgram = socket_attr(st, st->str_SOCK_DGRAM);
    PyObject* socket_args[] = {fields[0].get(), sock_dgram.get()};
    Ref sock = Ref::steal(PyObject_Vectorcall(socket_type.get(), socket_args, 2, nullptr));
    require(PyObject_SetAttr(self, st->str__sock, sock.get()));
    require(PyObject_SetAttr(self, st->str__prefix, prefix));
    require(PyObject_SetAttr(self, st->str__maxudpsize, maxudpsize));
}

// A port outside 1..65535 gives a client whose every metric fails in the caller (0, 65536) or goes
// to a port the caller never named (the value modulo 65536): refused before anything is done.
void check_port(PyObject* port) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(port, &overflow);  // an exact int: runs no code
    if (value == -1 && !overflow && PyErr_Occurred()) throw_error();
    if (overflow != 0 || value < 1 || value > 65535) {
        PyErr_Format(PyExc_ValueError, "port must be in 1..65535, got %S", port);
        throw_error();
    }
}

PyObject* init_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    PyObject* self = a[0];
    PyObject* host = a[1];
    PyObject* port = a[2];
    check_port(port);
    Ref fam = socket_attr(st, a[5] == Py_True ? st->str_AF_INET6 : st->str_AF_INET);
    require(PyObject_SetAttr(self, st->str_statd_available, Py_True));
    try {
        resolve_and_open(st, self, host, port, fam.get(), a[3], a[4]);
    } catch (const PyErrOccurred&) {
        CaughtError error;
        Ref gaierror = socket_attr(st, st->str_gaierror);
        if (!error.matches(gaierror.get())) error.rethrow();
        require(PyObject_SetAttr(self, st->str_statd_available, Py_False));
        Ref logger = lookup_global(st->globals, st->str_logger);
        PyObject* args[] = {logger.get(), st->str_warning_format, host, port};
        call_method(st->str_warning, args, 4);
    }
    Py_RETURN_NONE;
}

// ---- metric operations -----------------------------------------------------------------------

constexpr Param gauge_params[] = {
    {"self"}, {"stat", "str"}, {"value", "int"}, {"delta", "bool"}, {"tags", "Tags"}};
constexpr Signature gauge_sig{"_gauge", gauge_params, "None"};

VANTOR_HOT void gauge_impl(State* st, PyObject* self, PyObject* stat, PyObject* value, bool delta, PyObject* tags,
                View* view = nullptr) {
    // A daemon reads a leading sign on a gauge as a change, so a negative absolute value goes
    // after a reset to 0: "0|g\n-5|g", two value texts that the send path writes as two lines of
    // one datagram. In two datagrams another sender's pair could come between them.
    static constexpr char reset[] = "0|g\n";
    constexpr Py_ssize_t reset_length = sizeof(reset) - 1;
    ValueText text;
    // The digits go after room for the reset or a sign, which is then written in front of them.
    constexpr Py_ssize_t room = reset_length + 1;
    char chars[room + 24 + 2];
    char* digits = chars + room;
    Py_ssize_t n = format_small_int(value, digits);
    if (n >= 0) {
        const bool negative = digits[0] == '-';
        char* start = digits;
        if (delta && !negative) *--start = '+';
        if (!delta && negative) start = std::copy_n(reset, reset_length, digits - reset_length) - reset_length;
        std::memcpy(digits + n, "|g", 2);
        text.set_ascii(start, digits + n + 2 - start);
    } else {
        Ref format = Ref::steal(PyUnicode_FromString("d"));
        Ref number = Ref::steal(PyObject_Format(value, format.get()));
        const bool negative = PyUnicode_READ_CHAR(number.get(), 0) == '-';
        const char* sign = delta ? (negative ? "" : "+") : (negative ? reset : "");
        text.set_str(Ref::steal(PyUnicode_FromFormat("%s%U|g", sign, number.get())));
    }
    call_send_stat(st, self, stat, text, tags, view);
}

PyObject* gauge_body(FunctionObject* f, BoundArgs& a) {
    gauge_impl(state_of(f), a[0], a[1], a[2], a[3] == Py_True, a[4]);
    Py_RETURN_NONE;
}

// A silenced client whose steps are all ours drops the metric before the value text is made:
// nothing observable happens in between (formatting an int runs no Python code, and the flag is a
// plain instance attribute holding False, whose truth test runs none either). Only for a view
// fresh from its lookup.
bool dropped_early(const View& view) {
    return view.gauge_ours() && view.send_stat_ours() && view.statd_available() == Py_False;
}

PyObject* inc_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    View view = view_of(st, a[0]);
    if (!dropped_early(view)) call_gauge(st, a[0], a[1], a[2], true, a[3], &view);
    Py_RETURN_NONE;
}

PyObject* set_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    View view = view_of(st, a[0]);
    if (!dropped_early(view)) call_gauge(st, a[0], a[1], a[2], false, a[3], &view);
    Py_RETURN_NONE;
}

// The calls of inc, set and timing as call sites make them, taken apart without the binder:
// (self, key[, number[, tags]]), the number and the tags also by their (interned) names, the
// missing ones from __defaults__ (held for the call). False for any other shape.
struct MetricCall {
    PyObject* self;
    PyObject* key;
    PyObject* number;
    PyObject* tags;
    Ref defaults;
};

VANTOR_HOT bool take_metric_call(FunctionObject* f, PyObject* number_name, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, MetricCall& call) {
    if (nargs < 2 || nargs > 4) return false;
    State* st = state_of(f);
    PyObject* given[4] = {args[0], args[1], nargs > 2 ? args[2] : nullptr, nargs > 3 ? args[3] : nullptr};
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, k);
            const int i = name == number_name ? 2 : name == st->str_tags ? 3 : -1;
            if (i < 0 || given[i] != nullptr) return false;
            given[i] = args[nargs + k];
        }
    }
    PyObject* defaults = f->defaults;
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    for (int i = 2; i < 4; ++i) {
        if (given[i] != nullptr) continue;
        const Py_ssize_t from_end = 4 - i;  // the defaults belong to the last parameters
        if (from_end > ndefaults) return false;
        given[i] = PyTuple_GET_ITEM(defaults, ndefaults - from_end);
    }
    call = {given[0], given[1], given[2], given[3], Ref::new_ref(defaults)};
    return PyUnicode_CheckExact(call.key);
}

// inc and set, when the number needs no conversion: the body of inc_body and set_body. The
// metric a silenced client drops runs no code; the rest goes under the recursion guard, as the
// ordinary call would.
VANTOR_HOT PyObject* gauge_fast(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool delta) {
    State* st = state_of(f);
    MetricCall call;
    if (!take_metric_call(f, delta ? st->str_count : st->str_value, args, nargs, kwnames, call) ||
        !PyLong_CheckExact(call.number))
        return not_handled();
    View view = view_of(st, call.self);
    if (dropped_early(view)) Py_RETURN_NONE;
    RecursionGuard guard(" while calling a Python object");
    call_gauge(st, call.self, call.key, call.number, delta, call.tags, &view);
    Py_RETURN_NONE;
}

VANTOR_HOT PyObject* inc_fast(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return gauge_fast(f, args, nargs, kwnames, true);
}

VANTOR_HOT PyObject* set_fast(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return gauge_fast(f, args, nargs, kwnames, false);
}

VANTOR_HOT void timing_impl(State* st, PyObject* self, PyObject* key, double seconds, PyObject* tags, View* view = nullptr) {
    ValueText text;
    char chars[340];
    Py_ssize_t n = format_seconds(seconds, chars);
    std::memcpy(chars + n, "|h", 2);
    text.set_ascii(chars, n + 2);
    call_send_stat(st, self, key, text, tags, view);
}

PyObject* timing_body(FunctionObject* f, BoundArgs& a) {
    State* st = state_of(f);
    View view = view_of(st, a[0]);
    if (view.send_stat_ours() && view.statd_available() == Py_False) Py_RETURN_NONE;
    timing_impl(st, a[0], a[1], PyFloat_AS_DOUBLE(a[2]), a[3], &view);
    Py_RETURN_NONE;
}

VANTOR_HOT PyObject* timing_fast(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    State* st = state_of(f);
    MetricCall call;
    if (!take_metric_call(f, st->str_delta, args, nargs, kwnames, call) || !PyFloat_CheckExact(call.number))
        return not_handled();
    View view = view_of(st, call.self);
    if (view.send_stat_ours() && view.statd_available() == Py_False) Py_RETURN_NONE;
    RecursionGuard guard(" while calling a Python object");
    timing_impl(st, call.self, call.key, PyFloat_AS_DOUBLE(call.number), call.tags, &view);
    Py_RETURN_NONE;
}

}  // namespace

VANTOR_HOT void call_gauge(State* st, PyObject* self, PyObject* stat, PyObject* value, bool delta, PyObject* tags,
                View* given) {
    View looked_up;
    View& view = given ? *given : (looked_up = view_of(st, self));
    if (view.usable(self) && view.gauge_ours()) return gauge_impl(st, self, stat, value, delta, tags, &view);
    PyObject* args[] = {self, stat, value, delta ? Py_True : Py_False, tags};
    call_method(st->str__gauge, args, 3, st->kw_delta_tags);
}

namespace {

// Whether a timing metric is formatted here: a str key, and the client's own timing.
bool timing_here(View& view, PyObject* self, PyObject* key) {
    return PyUnicode_CheckExact(key) && view.usable(self) && view.timing_ours();
}

void ordinary_timing(State* st, PyObject* self, PyObject* key, PyObject* delta, PyObject* tags) {
    PyObject* args[] = {self, key, delta, tags};
    call_method(st->str_timing, args, 3, st->kw_tags);
}

}  // namespace

VANTOR_HOT void call_timing(State* st, PyObject* self, PyObject* key, PyObject* delta, PyObject* tags) {
    View view = view_of(st, self);
    if (!timing_here(view, self, key)) return ordinary_timing(st, self, key, delta, tags);
    if (PyFloat_CheckExact(delta)) return timing_impl(st, self, key, PyFloat_AS_DOUBLE(delta), tags, &view);
    // Converting another number may run Python code: the client is looked up again after it.
    Ref seconds = convert_float(delta);
    timing_impl(st, self, key, PyFloat_AS_DOUBLE(seconds.get()), tags);
}

VANTOR_HOT void call_timing_seconds(State* st, PyObject* self, PyObject* key, double seconds, PyObject* tags) {
    View view = view_of(st, self);
    if (timing_here(view, self, key)) return timing_impl(st, self, key, seconds, tags, &view);
    Ref delta = Ref::steal(PyFloat_FromDouble(seconds));
    ordinary_timing(st, self, key, delta.get(), tags);
}

const FunctionDef abstract_inc_def{&inc_sig, abstract_body, "AbstractStatClient.inc",
                                   "统计指标增加count，count可以为负（不推荐）\n"
                                   "\n"
                                   "        :param key: 统计指标名称\n"
                                   "        :type key: str\n"
                                   "        :param count: 指标增加的数量，可以为负\n"
                                   "        :type count: int\n"
                                   "        "};
const FunctionDef abstract_timing_def{&timing_sig, abstract_body, "AbstractStatClient.timing",
                                      "计时器，同时统计调用次数和总耗时秒数\n"
                                      "\n"
                                      "        :param key: 统计指标名称\n"
                                      "        :type key: str\n"
                                      "        :param delta: 本次调用时间，单位s\n"
                                      "        :type delta: float\n"
                                      "        "};
const FunctionDef abstract_set_def{&set_sig, abstract_body, "AbstractStatClient.set",
                                   "统计指标设置为某个值，value可以为任意整数\n"
                                   "\n"
                                   "        :param key: 统计指标名称\n"
                                   "        :type key: str\n"
                                   "        :param value: 指标设置的值\n"
                                   "        :type value: int\n"
                                   "        "};

const FunctionDef init_def{&init_sig, init_body, "StatClient.__init__", "建立一个statsd client."};
const FunctionDef timing_def{&timing_sig, timing_body, "StatClient.timing", "summary使用标记ms，histogram使用标记h",
                             nullptr, timing_fast};
const FunctionDef inc_def{&inc_sig, inc_body, "StatClient.inc", nullptr, nullptr, inc_fast};
const FunctionDef set_def{&set_sig, set_body, "StatClient.set", nullptr, nullptr, set_fast};
const FunctionDef gauge_def{&gauge_sig, gauge_body, "StatClient._gauge", "设定gauge类型的值"};

}  // namespace vantor::stat
