// The _mirvon module: the six entry functions in their order, with their text
// signatures, and nothing else but the test suite's private switches.
#define MIRVON_IMPORT_NUMPY
#include "python/numpy_api.hpp"

#include "core/stop_check.hpp"
#include "python/entry_functions.hpp"
#include "python/pending_exception.hpp"
#include "python/py_errors.hpp"
#include "python/test_hooks.hpp"

namespace mirvon::py {

namespace {

#define MIRVON_FN(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))

PyMethodDef methods[] = {
    {"mc_price", MIRVON_FN(mc_price), METH_FASTCALL | METH_KEYWORDS,
     "mc_price(events_rb, py_state, dataset, expressions)\n--\n\n"
     "Takes the timetable as a pyarrow record batch and calculates a price by Monte Carlo,\n"
     "with py_state simulating the paths (advance, get_value) and receiving statistics (set_stat)."},
    {"fixed_price", MIRVON_FN(fixed_price), METH_FASTCALL | METH_KEYWORDS,
     "fixed_price(events_rb, py_state, dataset, expressions)\n--\n\n"
     "Takes the timetable as a pyarrow record batch and calculates a price with the deterministic\n"
     "model: discounting on the base curve, assets at their forwards."},
    {"fd_hullwhite_price", MIRVON_FN(fd_hullwhite_price), METH_FASTCALL | METH_KEYWORDS,
     "fd_hullwhite_price(events_rb, py_state, dataset, expressions)\n--\n\n"
     "Takes the timetable as a pyarrow record batch and calculates a price on a Crank-Nicolson\n"
     "grid under the one-factor Hull-White short rate model."},
    {"fd_blackscholes_price", MIRVON_FN(fd_blackscholes_price), METH_FASTCALL | METH_KEYWORDS,
     "fd_blackscholes_price(events_rb, py_state, dataset, expressions)\n--\n\n"
     "Takes the timetable as a pyarrow record batch and calculates a price on a Crank-Nicolson\n"
     "grid under Black-Scholes dynamics of one asset."},
    {"backtest_csv", MIRVON_FN(backtest_csv), METH_FASTCALL | METH_KEYWORDS,
     "backtest_csv(events_rb, py_state, _filename, base, expressions)\n--\n\n"
     "Takes the timetable as a pyarrow record batch and replays it over a constant source\n"
     "(base worth 1, every other asset 100); the cashflows go to py_state.set_stat."},
    {"backtest_py", MIRVON_FN(backtest_py), METH_FASTCALL | METH_KEYWORDS,
     "backtest_py(events_rb, py_state, expressions, base)\n--\n\n"
     "Takes the timetable as a pyarrow record batch and replays it over the values of\n"
     "py_state.get_value(name, time); the cashflows go to py_state.set_stat."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_mirvon", "basic", -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace mirvon::py

PyMODINIT_FUNC PyInit__mirvon() {
    import_array();
    if (!mirvon::py::init_abort_exception()) return nullptr;
    mirvon::install_stop_check(&mirvon::py::stop_for_signals);
    PyObject* module = PyModule_Create(&mirvon::py::module_def);
    if (module && !mirvon::py::add_test_hooks(module)) Py_CLEAR(module);
    return module;
}
