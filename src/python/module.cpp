// The _mirvon module: six entry functions, each a thin driver that converts
// its arguments, builds the timetable, runs one engine and hands results back.
#define MIRVON_IMPORT_NUMPY
#include "python/numpy_api.hpp"

#include <array>
#include <new>
#include <stdexcept>
#include <variant>

#include "hist/historic.hpp"
#include "python/arguments.hpp"
#include "python/arrow_import.hpp"
#include "python/model_params.hpp"
#include "python/py_mc_model.hpp"
#include "python/py_ts_data.hpp"
#include "python/stats_output.hpp"
#include "python/timetable_builder.hpp"

namespace mirvon::py {

namespace {

// Anything thrown out of the engines stops the call without taking the
// interpreter down: memory exhaustion as MemoryError, the rest as the abort exception.
template <class F>
PyObject* guarded(F body) {
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

using EntryError = std::variant<PyParseError, ModelError>;

struct Priced {
    double price;
    Ledger ledger;
    std::uint32_t flags;
};

// Runs an engine on a built model, keeping the price, the ledger and the flags.
template <class Engine>
std::expected<Priced, EntryError> run_engine(const Engine& engine, const TimeTable& tt, std::uint32_t flags) {
    auto ledger = engine.calculate(tt);
    if (!ledger) return std::unexpected(EntryError(std::move(ledger.error())));
    auto price = engine.price(*ledger);
    if (!price) return std::unexpected(EntryError(std::move(price.error())));
    return Priced{*price, std::move(*ledger), flags};
}

// The grid engine's operations are free functions over the model.
template <class Model>
struct GridEngine {
    const Model& model;
    std::expected<Ledger, ModelError> calculate(const TimeTable& tt) const { return calculate_fd(model, tt); }
    std::expected<double, ModelError> price(const Ledger& ledger) const { return price_fd(model, ledger); }
};

constexpr std::array<const char*, 4> PRICE_PARAMS = {"events_rb", "py_state", "dataset", "expressions"};

// The shared driver of the four pricing functions; `price` builds the model
// from the dataset and runs its engine.
template <class PriceFn>
PyObject* price_entry(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PriceFn price) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 4> a{};
        if (!bind_arguments(function, PRICE_PARAMS, args, nargs, kwnames, a)) return nullptr;
        auto batch = import_record_batch(function, "events_rb", a[0]);
        if (!batch) return nullptr;
        PyObject* py_state = a[1];
        if (!PyDict_Check(a[2])) return argument_type_error(function, "dataset", "dict", a[2]), nullptr;
        if (!PyDict_Check(a[3])) return argument_type_error(function, "expressions", "dict", a[3]), nullptr;

        auto tt = create_timetable(*batch, a[3]);
        if (!tt) return raise(tt.error());
        std::expected<Priced, EntryError> priced = price(*tt, a[2], py_state);
        if (!priced) return std::visit([](const auto& e) { return raise(e); }, priced.error());
        if (auto ok = py_save_stats(priced->flags, priced->ledger, py_state); !ok) return raise(ok.error());
        return PyFloat_FromDouble(priced->price);
    });
}

template <class Model, class Build>
std::expected<Priced, EntryError> price_on_grid(const TimeTable& tt, PyObject* dataset, Build build) {
    std::expected<Model, PyParseError> model = build(dataset);
    if (!model) return std::unexpected(EntryError(std::move(model.error())));
    return run_engine(GridEngine<Model>{*model}, tt, model->params().flags);
}

PyObject* mc_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return price_entry("mc_price", args, nargs, kwnames,
                       [](const TimeTable& tt, PyObject* dataset, PyObject* py_state) -> std::expected<Priced, EntryError> {
                           auto params = get_mc_params(dataset);
                           if (!params) return std::unexpected(EntryError(std::move(params.error())));
                           const std::uint32_t flags = params->flags;
                           MCPy model(std::move(*params), py_state);
                           return run_engine(MonteCarlo(model), tt, flags);
                       });
}

PyObject* fixed_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return price_entry("fixed_price", args, nargs, kwnames,
                       [](const TimeTable& tt, PyObject* dataset, PyObject*) -> std::expected<Priced, EntryError> {
                           auto model = fixed_from_dataset(dataset);
                           if (!model) return std::unexpected(EntryError(std::move(model.error())));
                           return run_engine(*model, tt, model->flags());
                       });
}

PyObject* fd_hullwhite_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return price_entry("fd_hullwhite_price", args, nargs, kwnames,
                       [](const TimeTable& tt, PyObject* dataset, PyObject*) {
                           return price_on_grid<HullWhiteCN>(tt, dataset, hull_white_from_dataset);
                       });
}

PyObject* fd_blackscholes_price(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return price_entry("fd_blackscholes_price", args, nargs, kwnames,
                       [](const TimeTable& tt, PyObject* dataset, PyObject*) {
                           return price_on_grid<BlackScholesCN>(tt, dataset, black_scholes_from_dataset);
                       });
}

// Backtests record cashflows and no choices.
constexpr std::uint32_t BACKTEST_FLAGS = FLAG_CASHFLOW;

PyObject* run_backtest(const arrow::RecordBatch& batch, PyObject* py_state, PyObject* expressions,
                       std::unique_ptr<TsData> source) {
    auto tt = create_timetable(batch, expressions);
    if (!tt) return raise(tt.error());
    Historic engine(std::move(source), BACKTEST_FLAGS);
    auto ledger = engine.calculate(*tt);
    if (!ledger) return raise(ledger.error());
    if (!save_backtest_cashflow(*ledger, py_state)) return nullptr;
    ledger->cf_print();
    Py_RETURN_NONE;
}

std::expected<std::string, PyObject*> str_argument(const char* function, const char* parameter, PyObject* value) {
    if (!PyUnicode_Check(value)) {
        argument_type_error(function, parameter, "str", value);
        return std::unexpected(nullptr);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return std::unexpected(nullptr);
    return std::string(utf8, static_cast<std::size_t>(size));
}

PyObject* backtest_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, 5> names = {"events_rb", "py_state", "_filename", "base",
                                                             "expressions"};
        std::array<PyObject*, 5> a{};
        if (!bind_arguments("backtest_csv", names, args, nargs, kwnames, a)) return nullptr;
        auto batch = import_record_batch("backtest_csv", "events_rb", a[0]);
        if (!batch) return nullptr;
        if (!str_argument("backtest_csv", "_filename", a[2])) return nullptr;
        auto base = str_argument("backtest_csv", "base", a[3]);
        if (!base) return nullptr;
        if (!PyDict_Check(a[4])) return argument_type_error("backtest_csv", "expressions", "dict", a[4]), nullptr;
        // The constant source reads no file: every non-base asset is worth 100.
        return run_backtest(*batch, a[1], a[4], std::make_unique<TsDataCSV>(std::move(*base), 100.0));
    });
}

PyObject* backtest_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, 4> names = {"events_rb", "py_state", "expressions", "base"};
        std::array<PyObject*, 4> a{};
        if (!bind_arguments("backtest_py", names, args, nargs, kwnames, a)) return nullptr;
        auto batch = import_record_batch("backtest_py", "events_rb", a[0]);
        if (!batch) return nullptr;
        if (!PyDict_Check(a[2])) return argument_type_error("backtest_py", "expressions", "dict", a[2]), nullptr;
        auto base = str_argument("backtest_py", "base", a[3]);
        if (!base) return nullptr;
        return run_backtest(*batch, a[1], a[2], std::make_unique<TsDataPy>(std::move(*base), a[1]));
    });
}

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
    return PyModule_Create(&mirvon::py::module_def);
}
