// The forward pass shared by the fixed model, the Monte Carlo engine and the
// historic backtest: one loop, parameterised by how time advances and how an
// asset is valued.
#pragma once
#include <cstdint>
#include <expected>
#include <string>

#include "market/assets.hpp"
#include "model/lang_model.hpp"
#include "model/regressed_choice.hpp"

namespace mirvon {

class ForwardEngine : public FwdModel {
public:
    virtual std::size_t paths() const = 0;
    // The current time before the first event.
    virtual std::int64_t start_time() const = 0;
    // Cause of the event error for an event without a time.
    virtual std::string missing_time_cause() const { return "No event time"; }
    // Called for each event once its time is known not to lie in the past;
    // updates the state's discount vector.
    virtual std::expected<void, ModelError> on_event_time(FwdModelStateGeneric& state, std::int64_t time,
                                                          std::int64_t current_time) const = 0;
    // Regressors for exercise decisions without hindsight; none by default.
    virtual const ChoiceRegression* choice_regression() const { return nullptr; }
};

// Forward pass, backward roll, and the filled ledger.
std::expected<Ledger, ModelError> calculate_forward(const ForwardEngine& engine, const TimeTable& tt,
                                                    std::uint32_t flags);

// q times the market-data forward of the asset at year fraction t.
std::expected<Vec, ModelError> market_value(const Assets& assets, const Vec& q, const std::string& name,
                                            double t);

}  // namespace mirvon
