// Binding of fast-call arguments to named parameters, with the interpreter's
// usual errors for missing, surplus, duplicated and unknown arguments.
#pragma once
#include <array>
#include <cstddef>

#include "python/py_ref.hpp"

namespace mirvon::py {

// Fills `out` (borrowed references) in parameter order; false with a
// TypeError set on failure.
bool bind_arguments(const char* function, const char* const* names, std::size_t count,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <std::size_t N>
bool bind_arguments(const char* function, const std::array<const char*, N>& names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::array<PyObject*, N>& out) {
    return bind_arguments(function, names.data(), N, args, nargs, kwnames, out.data());
}

// A TypeError naming the parameter whose argument has the wrong type.
void argument_type_error(const char* function, const char* parameter, const char* expected, PyObject* got);

}  // namespace mirvon::py
