// Switches that only the test suite turns, to show that an optimisation
// changes no result. They are no part of the module's interface: the module
// holds them in a capsule under a private name, and only code that opens the
// capsule through the C API (the tests, with ctypes) can reach them.
#pragma once
#include "python/py_ref.hpp"

namespace mirvon::py {

// Whether the grid engine reuses the matrices and elimination of a step that
// repeats; on unless a test turns it off.
extern bool grid_step_reuse;

// Puts the capsule on the module; false with a Python exception set.
bool add_test_hooks(PyObject* module);

}  // namespace mirvon::py
