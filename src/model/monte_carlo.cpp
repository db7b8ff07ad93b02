#include "model/monte_carlo.hpp"

#include <cmath>

namespace mirvon {

std::expected<void, ModelError> MonteCarlo::on_event_time(FwdModelStateGeneric& state, std::int64_t time,
                                                          std::int64_t current_time) const {
    // Once per distinct event time, never at the valuation time itself.
    if (time > current_time) return model_.advance(state, time);
    return {};
}

std::expected<Vec, ModelError> MonteCarlo::asset_value(const FwdModelStateGeneric& state, const Vec& q,
                                                       const std::string& name, std::int64_t time) const {
    auto own = model_.get_model_val_mc(state, name);
    if (!own) return std::unexpected(std::move(own.error()));
    if (*own) return times(q, std::move(**own));
    const MCParams& p = model_.params();
    return market_value(p.assets, q, name, year_fraction(time, p.pricing_ts));
}

std::expected<double, ModelError> MonteCarlo::price(const Ledger& ledger) const {
    auto pv = ledger.pv_vec(0);
    if (!pv) return std::unexpected(ModelError(std::move(pv.error())));
    const Vec& v = **pv;
    if (v.empty()) return std::unexpected(ModelError::message("Empty PV Vector"));
    // Compensated (Neumaier) summation keeps the mean accurate over many paths.
    double sum = 0.0, comp = 0.0;
    for (double x : v) {
        const double t = sum + x;
        comp += std::abs(sum) >= std::abs(x) ? (sum - t) + x : (x - t) + sum;
        sum = t;
    }
    // Infinite or NaN terms make the compensation meaningless; the plain sum is the answer.
    if (!std::isfinite(sum)) return sum / static_cast<double>(v.size());
    return (sum + comp) / static_cast<double>(v.size());
}

}  // namespace mirvon
