// Threads that the interpreter ends while our frames are on their stack.
//
// From 3.10 to 3.13 a thread that wants the GIL after finalization began (a daemon thread, or a
// worker left running when an exit was interrupted) is ended on the spot by a forced unwind
// (pthread_exit), which runs the destructors and handlers of every C++ frame on its way, without
// the GIL. That unwind must pass: every catch-all lets it through first (pass_thread_exit), no
// function it can cross is noexcept (the unwinder would call std::terminate there), and nothing
// on its way touches the interpreter, whose thread states may already be freed: the handles and
// scope guards of ref.hpp do nothing when interpreter_usable() is false. From 3.14 on such a thread
// waits forever instead, and none of this is reached.
#pragma once

#include "internals.hpp"

#include <atomic>
#include <version>

namespace vantor::support {

// Whether this thread holds the GIL (internals.hpp; a few loads, asked only once exit began).
bool this_thread_holds_interpreter() noexcept;

#if PY_VERSION_HEX < 0x030E0000
// Whether the runtime's question below must be asked at all: false until an interpreter that
// loaded a module of ours runs its atexit callbacks (the runtime finalizes only after the main
// interpreter's have run), or until one of ours is loaded in a subinterpreter (whose threads the
// runtime may end without its atexit callbacks having run). It is a hint, never a decision: once
// it is set, every release asks the runtime. Asking every time costs a call into the interpreter
// per release, a tenth of a metric's time; what the hint stands for, the runtime's finalization,
// belongs to the whole process, so the hint does too. Set once, never cleared.
extern std::atomic<bool> exit_may_have_begun;
#endif

// Arranges for exit_may_have_begun to be set in time; called by each module's exec.
void watch_interpreter_exit();

// False only on a thread that the interpreter is ending (or that otherwise runs without the GIL
// once the runtime is finalizing): objects are then left alone, leaked rather than touched. The
// question is the runtime's own (finalization of the main interpreter: a subinterpreter cannot
// end while another of its threads runs), so nothing of ours records it. From 3.14 on no thread
// is ended that way, and the answer is always yes.
inline bool interpreter_usable() noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return true;
#else
    return __builtin_expect(!exit_may_have_begun.load(std::memory_order_relaxed), 1) ||
           !internals::runtime_finalizing() || this_thread_holds_interpreter();
#endif
}

#if defined(_LIBCPP_VERSION) && PY_VERSION_HEX < 0x030E0000
// libc++abi (the wheels' runtime) rethrows a foreign exception by raising it afresh, which
// ends a forced unwind in std::terminate. There the thread is ended once more instead, from
// inside the handler, after the caught exception is dropped from the caught stack, whose head
// the C++ ABI places first in __cxa_eh_globals (__cxa_end_catch then has nothing to free).
[[noreturn]] void end_thread_again();
#endif

// First thing in a catch-all: a forced unwind that ends the thread goes on. It is told apart by
// the thread, not by catching abi::__forced_unwind, which binds a reference to no object.
inline void pass_thread_exit() {
#if defined(_LIBCPP_VERSION) && PY_VERSION_HEX < 0x030E0000
    if (!interpreter_usable()) end_thread_again();
#else
    if (!interpreter_usable()) throw;
#endif
}

}  // namespace vantor::support
