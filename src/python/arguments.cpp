#include "python/arguments.hpp"

namespace mirvon::py {

bool bind_arguments(const char* function, const char* const* names, std::size_t count,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const auto n = static_cast<Py_ssize_t>(count);
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", function, n,
                     nargs);
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        // Compared as text, not as a C string: a keyword with an embedded NUL or
        // a lone surrogate is an unknown keyword, not a prefix match or an encoding error.
        std::size_t slot = count;
        for (std::size_t i = 0; i < count; ++i)
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) slot = i;
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", function, key);
            return false;
        }
        if (out[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[slot]);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, names[i],
                         i + 1);
            return false;
        }
    }
    return true;
}

void argument_type_error(const char* function, const char* parameter, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", function, parameter, expected,
                 Py_TYPE(got)->tp_name);
}

}  // namespace mirvon::py
