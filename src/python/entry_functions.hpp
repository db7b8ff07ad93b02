// The six functions of the module, in the fast-call convention with keywords.
#pragma once
#include "python/py_ref.hpp"

namespace mirvon::py {

PyObject* mc_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fixed_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fd_hullwhite_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fd_blackscholes_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* backtest_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* backtest_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace mirvon::py
