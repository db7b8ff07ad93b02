#include "python/pending_exception.hpp"

namespace mirvon::py {

namespace {

// type, value, traceback of the waiting exception; all null when none waits.
PyObject* slot[3] = {nullptr, nullptr, nullptr};

}  // namespace

bool is_ordinary_exception(PyObject* type) {
    return PyErr_GivenExceptionMatches(type, PyExc_Exception) != 0;
}

void keep_pending_exception() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (slot[0] != nullptr || type == nullptr) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    slot[0] = type;
    slot[1] = value;
    slot[2] = tb;
}

bool has_pending_exception() { return slot[0] != nullptr; }

bool clear_ordinary_exception() {
    PyObject* type = PyErr_Occurred();
    if (type == nullptr) return true;
    if (is_ordinary_exception(type)) {
        PyErr_Clear();
        return true;
    }
    keep_pending_exception();
    return false;
}

bool stop_for_signals() {
    if (has_pending_exception()) return true;
    if (PyErr_CheckSignals() == 0) return false;
    keep_pending_exception();
    return true;
}

PendingExceptionScope::PendingExceptionScope() : outer_{slot[0], slot[1], slot[2]} {
    slot[0] = slot[1] = slot[2] = nullptr;
}

PendingExceptionScope::~PendingExceptionScope() {
    // finish() has taken this call's exception, if any.
    for (int i = 0; i < 3; ++i) {
        Py_XDECREF(slot[i]);
        slot[i] = outer_[i];
    }
}

PyObject* PendingExceptionScope::finish(PyObject* result) {
    if (!has_pending_exception()) return result;
    Py_XDECREF(result);
    PyErr_Clear();
    PyErr_Restore(slot[0], slot[1], slot[2]);
    slot[0] = slot[1] = slot[2] = nullptr;
    return nullptr;
}

}  // namespace mirvon::py
