// The Monte Carlo engine: the forward pass over paths with a stochastic model
// that moves its own simulation and answers asset values per path.
#pragma once
#include <cstdint>
#include <optional>

#include "model/forward_engine.hpp"

namespace mirvon {

struct MCParams {
    Assets assets;
    std::size_t paths;
    std::uint64_t seed;  // required in the dataset, kept for models that draw numbers
    std::int64_t pricing_ts;
    std::uint32_t flags;
    ChoiceRegression choice_regression;
};

class MCModel {
public:
    virtual ~MCModel() = default;
    virtual const MCParams& params() const = 0;
    // The model's value of the asset per path at the current time; nothing
    // means the market data is to be used.
    virtual std::expected<std::optional<Vec>, ModelError> get_model_val_mc(
        const FwdModelStateGeneric& state, const std::string& name) const = 0;
    // Moves the model to the event time and updates the state's discount vector.
    virtual std::expected<void, ModelError> advance(FwdModelStateGeneric& state, std::int64_t time) const = 0;
};

class MonteCarlo final : public ForwardEngine {
public:
    explicit MonteCarlo(const MCModel& model) : model_(model) {}

    std::expected<Ledger, ModelError> calculate(const TimeTable& tt) const {
        return calculate_forward(*this, tt, model_.params().flags);
    }
    // The mean over paths of track 0's present value.
    std::expected<double, ModelError> price(const Ledger& ledger) const;

    std::size_t paths() const override { return model_.params().paths; }
    std::int64_t start_time() const override { return model_.params().pricing_ts; }
    std::string missing_time_cause() const override { return "missing time"; }
    std::expected<void, ModelError> on_event_time(FwdModelStateGeneric& state, std::int64_t time,
                                                  std::int64_t current_time) const override;
    std::expected<Vec, ModelError> asset_value(const FwdModelStateGeneric& state, const Vec& q,
                                               const std::string& name, std::int64_t time) const override;
    const ChoiceRegression* choice_regression() const override {
        const ChoiceRegression& r = model_.params().choice_regression;
        return r.regressors.empty() ? nullptr : &r;
    }

private:
    const MCModel& model_;
};

}  // namespace mirvon
