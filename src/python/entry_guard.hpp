// The boundary every entry function runs behind: nothing thrown inside a call
// escapes into the interpreter, and an exception that must reach the caller
// unchanged (KeyboardInterrupt, for example) is raised here.
#pragma once
#include <new>
#include <stdexcept>

#include "python/pending_exception.hpp"
#include "python/py_errors.hpp"

namespace mirvon::py {

// Anything thrown out of the engines stops the call without taking the
// interpreter down: memory exhaustion as MemoryError, the rest as the abort exception.
template <class F>
PyObject* caught(F& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(abort_exception_type(), e.what());
    } catch (...) {
        PyErr_SetString(abort_exception_type(), "unknown internal fault");
    }
    return nullptr;
}

template <class F>
PyObject* guarded(F body) {
    PendingExceptionScope pending;
    return pending.finish(caught(body));
}

}  // namespace mirvon::py
