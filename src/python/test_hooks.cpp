#include "python/test_hooks.hpp"

namespace mirvon::py {

bool grid_step_reuse = true;

bool add_test_hooks(PyObject* module) {
    // The capsule's name is the module attribute's, qualified, as the C API
    // expects. The leading "__" keeps it out of the module's public names.
    PyObject* capsule = PyCapsule_New(&grid_step_reuse, "_mirvon.__grid_step_reuse", nullptr);
    if (!capsule) return false;
    const int added = PyModule_AddObjectRef(module, "__grid_step_reuse", capsule);
    Py_DECREF(capsule);
    return added == 0;
}

}  // namespace mirvon::py
