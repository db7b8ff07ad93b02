// Year fractions of one grid step from the state's time back to t0.
#pragma once
#include <cstdint>

#include "fd/fd_engine.hpp"

namespace mirvon {

struct StepTimes {
    double t1;  // the state's time
    double t0;  // the target time
    double dt;  // t1 - t0, from the exact difference in milliseconds
    StepTimes(const FdState& state, std::int64_t t0_ms, std::int64_t pricing_ts)
        : t1(year_fraction(state.grid_ts, pricing_ts)), t0(year_fraction(t0_ms, pricing_ts)),
          dt(year_fraction(state.grid_ts, t0_ms)) {}
};

// The short rate of the discount curve over the step, named "discount" in errors.
std::expected<double, ModelError> discount_rate(const Assets& assets, const StepTimes& s);

}  // namespace mirvon
