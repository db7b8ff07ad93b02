// Exceptions that must reach the caller unchanged, whatever the engine was
// doing when they arose: those that are not an Exception (KeyboardInterrupt,
// SystemExit, GeneratorExit and the like) and whatever a signal handler
// raised. The engines carry errors as texts, so the exception itself waits
// here while the call unwinds, and the call's boundary raises it again.
#pragma once
#include "python/py_ref.hpp"

namespace mirvon::py {

// An Exception subclass: something a fallback or an error text may absorb.
bool is_ordinary_exception(PyObject* type);

// Moves the current exception (which must be set) into the waiting slot; an
// exception already waiting there is kept and the new one dropped.
void keep_pending_exception();
bool has_pending_exception();

// For fallbacks: clears the current exception and returns true when it is
// ordinary; otherwise keeps it waiting and returns false, and the caller
// must stop.
bool clear_ordinary_exception();

// The stop check the engines ask (see core/stop_check.hpp): pending signals
// run their handlers here, and what a handler raises ends the call.
bool stop_for_signals();

// One per call of an entry function. Sets aside what an outer call (a
// callback calling back into the module) had waiting, and puts it back.
class PendingExceptionScope {
public:
    PendingExceptionScope();
    ~PendingExceptionScope();
    PendingExceptionScope(const PendingExceptionScope&) = delete;
    PendingExceptionScope& operator=(const PendingExceptionScope&) = delete;
    // The call's result; or, when an exception waits, null with that
    // exception raised in place of whatever the call set.
    PyObject* finish(PyObject* result);

private:
    PyObject* outer_[3];
};

}  // namespace mirvon::py
