// The two backtests: replay the contract over a time-series source and hand
// the cashflows over as pyarrow record batches.
#include <array>
#include <memory>

#include "hist/historic.hpp"
#include "python/arguments.hpp"
#include "python/arrow_import.hpp"
#include "python/entry_functions.hpp"
#include "python/entry_guard.hpp"
#include "python/pending_exception.hpp"
#include "python/py_ts_data.hpp"
#include "python/stats_output.hpp"
#include "python/timetable_builder.hpp"

namespace mirvon::py {

namespace {

// Backtests record cashflows and no choices.
constexpr std::uint32_t BACKTEST_FLAGS = FLAG_CASHFLOW;

PyObject* run_backtest(const arrow::RecordBatch& batch, PyObject* py_state, PyObject* expressions,
                       std::unique_ptr<TsData> source) {
    auto tt = create_timetable(batch, expressions);
    if (!tt) return raise(tt.error());
    Historic engine(std::move(source), BACKTEST_FLAGS);
    auto ledger = engine.calculate(*tt);
    if (!ledger) return raise(ledger.error());
    // A signal that came after the engine's last look still keeps the cashflows back.
    if (stop_for_signals()) return nullptr;
    if (!save_backtest_cashflow(*ledger, py_state)) return nullptr;
    ledger->cf_print();
    Py_RETURN_NONE;
}

// False, with the TypeError naming the parameter set, unless the argument is a str.
bool is_str_argument(const char* function, const char* parameter, PyObject* value) {
    if (PyUnicode_Check(value)) return true;
    argument_type_error(function, parameter, "str", value);
    return false;
}

std::expected<std::string, PyObject*> str_argument(const char* function, const char* parameter, PyObject* value) {
    if (!is_str_argument(function, parameter, value)) return std::unexpected(nullptr);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return std::unexpected(nullptr);
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

PyObject* backtest_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<const char*, 5> names = {"events_rb", "py_state", "_filename", "base",
                                                             "expressions"};
        std::array<PyObject*, 5> a{};
        if (!bind_arguments("backtest_csv", names, args, nargs, kwnames, a)) return nullptr;
        auto batch = import_record_batch("backtest_csv", "events_rb", a[0]);
        if (!batch) return nullptr;
        // The name is never used, so it need not be encodable (os.fsdecode of a
        // non-UTF-8 file name gives lone surrogates).
        if (!is_str_argument("backtest_csv", "_filename", a[2])) return nullptr;
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

}  // namespace mirvon::py
