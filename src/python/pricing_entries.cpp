// The four pricing functions: convert the arguments, build the timetable,
// build the model from the dataset, run its engine, hand the statistics over.
#include <array>
#include <variant>

#include "python/arguments.hpp"
#include "python/arrow_import.hpp"
#include "python/entry_functions.hpp"
#include "python/entry_guard.hpp"
#include "python/pending_exception.hpp"
#include "python/model_params.hpp"
#include "python/py_mc_model.hpp"
#include "python/stats_output.hpp"
#include "python/test_hooks.hpp"
#include "python/timetable_builder.hpp"

namespace mirvon::py {

namespace {

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
    std::expected<Ledger, ModelError> calculate(const TimeTable& tt) const {
        return calculate_fd(model, tt, GridPassOptions{.reuse_repeated_steps = grid_step_reuse});
    }
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
        // A signal that came after the engine's last look still keeps the statistics back.
        if (stop_for_signals()) return nullptr;
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

}  // namespace

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

}  // namespace mirvon::py
