// Market data and model parameters read from the dataset dictionary.
#pragma once
#include <expected>

#include "fd/black_scholes.hpp"
#include "fd/hull_white.hpp"
#include "model/fixed_model.hpp"
#include "model/monte_carlo.hpp"
#include "python/py_errors.hpp"

namespace mirvon::py {

std::expected<Assets, PyParseError> create_assets(PyObject* dataset);
std::expected<MCParams, PyParseError> get_mc_params(PyObject* dataset);
std::expected<Fixed, PyParseError> fixed_from_dataset(PyObject* dataset);
std::expected<FdParams, PyParseError> get_fd_1f(PyObject* dataset);
std::expected<BlackScholesCN, PyParseError> black_scholes_from_dataset(PyObject* dataset);
std::expected<HullWhiteCN, PyParseError> hull_white_from_dataset(PyObject* dataset);

}  // namespace mirvon::py
