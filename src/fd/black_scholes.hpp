// Lognormal dynamics of one asset on a grid in x = ln S.
#pragma once
#include "fd/fd_engine.hpp"

namespace mirvon {

class BlackScholesCN final : public FDCN {
public:
    BlackScholesCN(FdParams params, std::string asset, double vol)
        : params_(std::move(params)), asset_(std::move(asset)), vol_(vol) {}

    const FdParams& params() const override { return params_; }
    std::expected<FdState, ModelError> create_state_cn(std::int64_t ts) const override;
    // Terms: the step's length, the discount rate and the asset's rate over it.
    std::expected<StepTerms, ModelError> step_terms(const FdState& state, std::int64_t t0) const override;
    void cn_coefficients(const FdState& state, const StepTerms& terms, CnMatrices& out) const override;
    const Vec* get_model_val_cn(const FdState& state, const std::string& name) const override;

private:
    FdParams params_;
    std::string asset_;
    double vol_;
};

}  // namespace mirvon
