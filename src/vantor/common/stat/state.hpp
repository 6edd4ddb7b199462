// Module state of vantor.common.stat: its function type, our own method objects (for the override
// check), interned names and prebuilt keyword tuples. Reached from every function object.
#pragma once

#include "support/fastpath.hpp"
#include "support/function.hpp"
#include "support/globals.hpp"
#include "support/klass.hpp"
#include "support/reuse.hpp"
#include "support/signature.hpp"

namespace vantor::stat {

using namespace support;

struct ClientView;

// The text last rendered for a tags dict whose tags all needed no Python code (ASCII names;
// str, int, bool or None values, none of which can change). It stands while its basis holds: the
// same dict, unchanged (any change of it, and its dealloc, counts). The address is only compared,
// never followed.
struct RenderedTags {
    Basis basis;
    Py_ssize_t length;  // 0: nothing held
    char text[240];
};

// Every field is strong and is visited, cleared and freed in module.cpp.
struct State {
    PyTypeObject* function_type;
    PyObject* globals;  // the module namespace (strong while the module lives)

    // The methods as created for StatClient; a subclass or instance that replaces one is detected
    // by identity.
    PyObject* fn_timing;
    PyObject* fn_gauge;
    PyObject* fn_send_stat;
    PyObject* fn_prepare;
    PyObject* fn_build_tag;
    PyObject* fn_after;
    PyObject* fn_send;

    // Interned names.
    PyObject* str_socket;
    PyObject* str_time;
    PyObject* str_wraps;
    PyObject* str_logger;
    PyObject* str_warning;
    PyObject* str_AF_INET;
    PyObject* str_AF_INET6;
    PyObject* str_SOCK_DGRAM;
    PyObject* str_getaddrinfo;
    PyObject* str_gaierror;
    PyObject* str_sendto;
    PyObject* str_items;
    PyObject* str_statd_available;
    PyObject* str__addr;
    PyObject* str__sock;
    PyObject* str__prefix;
    PyObject* str__maxudpsize;
    PyObject* str_timing;
    PyObject* str__gauge;
    PyObject* str__send_stat;
    PyObject* str__prepare;
    PyObject* str__build_tag;
    PyObject* str__after;
    PyObject* str__send;
    PyObject* str_warning_format;
    PyObject* str_key;
    PyObject* str_count;
    PyObject* str_value;
    PyObject* str_delta;
    PyObject* str_tags;

    // Keyword-name tuples of the calls made through `self`.
    PyObject* kw_tags;         // ("tags",)
    PyObject* kw_delta_tags;   // ("delta", "tags")

    // Recently used clients' views (view.hpp); owned, freed with the module.
    static constexpr std::size_t view_slots = 16;
    ClientView* views;

    RenderedTags rendered_tags;  // plain data, zeroed with the module state

    // The clock of the timing decorator, time.time as the module global `time` gives it: kept
    // (borrowed from the time module's dict) while the bases of our namespace and of that module
    // hold. `module` is borrowed from our namespace.
    struct {
        Basis globals;
        Basis module_basis;
        PyObject* module;
        PyObject* clock;
    } clock;
    PyObject* standard_clock;  // the time module's own time.time, which is read in place

    // The wrapper of coroutine functions: the code object that marks it (decorator.cpp), and the
    // type of what its calls return (timed_coroutine.cpp).
    PyObject* coroutine_code;
    PyTypeObject* timed_coroutine_type;
};

inline State* state_of(FunctionObject* f) noexcept { return static_cast<State*>(f->state); }

}  // namespace vantor::stat
