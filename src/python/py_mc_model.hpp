// The Monte Carlo model driven by the caller's Python object: `advance(t)`
// moves its simulation and returns the step's discounting, `get_value(name)`
// returns an asset's value per path.
#pragma once
#include "model/monte_carlo.hpp"
#include "python/py_ref.hpp"

namespace mirvon::py {

class MCPy final : public MCModel {
public:
    MCPy(MCParams params, PyObject* py_state) : params_(std::move(params)), py_state_(py_state) {}

    const MCParams& params() const override { return params_; }
    std::expected<std::optional<Vec>, ModelError> get_model_val_mc(const FwdModelStateGeneric& state,
                                                                   const std::string& name) const override;
    std::expected<void, ModelError> advance(FwdModelStateGeneric& state, std::int64_t time) const override;

private:
    MCParams params_;
    PyObject* py_state_;  // borrowed for the call
};

}  // namespace mirvon::py
