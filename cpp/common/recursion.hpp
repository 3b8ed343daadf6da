// Recursion through the functions of both extension modules.
//
// A call of one of their functions counts against the interpreter's recursion
// limit, as the frame of a Python function does.  From CPython 3.12 on that
// limit counts Python frames only, and the interpreter bounds C calls apart
// from it (by a count, from 3.14 by the stack): a call counts against both,
// as a Python function called from C code does.  The limit counts calls, not
// bytes: these functions and the interpreter's own C code in between
// use the C stack, and with a raised limit a deep enough recursion would run
// out of it.  So a call is also refused while little of the thread's stack
// is left.  Either way the caller gets RecursionError instead of a crash.
#pragma once

#include "ref.hpp"

namespace vellumcrest {

// Enters one call; false with RecursionError set when it may not go deeper.
bool enter_call() noexcept;

// Leaves a call that enter_call() let in.
void leave_call() noexcept;

// The bytes of the current thread's stack left below this point, or -1 when
// the platform does not tell.
Py_ssize_t stack_left() noexcept;

}  // namespace vellumcrest
