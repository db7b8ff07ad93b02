// Statistics and backtest cashflows handed to the caller's `set_stat`.
#pragma once
#include <cstdint>
#include <expected>

#include "ledger/ledger.hpp"
#include "python/py_ref.hpp"

namespace mirvon::py {

// "PV_VEC", "CHOICES" and "CASHFLOW" as the flags select. Exceptions raised
// by set_stat are ignored, except those that must reach the caller (Ctrl-C),
// which stop the sending; the only other failure is a missing track 0.
std::expected<void, ModelError> py_save_stats(std::uint32_t flags, Ledger& ledger, PyObject* py_state);

// "CASHFLOW" as a dict of pyarrow record batches by track. False, with the
// Python exception set or waiting, when a batch cannot be built or converted
// or set_stat was interrupted.
bool save_backtest_cashflow(Ledger& ledger, PyObject* py_state);

}  // namespace mirvon::py
