// One-factor Hull-White short rate on a grid in x = r - phi(t).
#pragma once
#include "fd/fd_engine.hpp"

namespace mirvon {

class HullWhiteCN final : public FDCN {
public:
    HullWhiteCN(FdParams params, double meanrev, double vol)
        : params_(std::move(params)), meanrev_(meanrev), vol_(vol) {}

    const FdParams& params() const override { return params_; }
    std::expected<FdState, ModelError> create_state_cn(std::int64_t ts) const override;
    // Terms: the step's length and phi, the expected short rate at its target time.
    std::expected<StepTerms, ModelError> step_terms(const FdState& state, std::int64_t t0) const override;
    void cn_coefficients(const FdState& state, const StepTerms& terms, CnMatrices& out) const override;
    // Every asset is worth its market-data forward on this grid.
    const Vec* get_model_val_cn(const FdState&, const std::string&) const override { return nullptr; }

private:
    FdParams params_;
    double meanrev_;
    double vol_;
};

}  // namespace mirvon
