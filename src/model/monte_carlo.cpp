#include "model/monte_carlo.hpp"

#include <cmath>

namespace mirvon {

namespace {

inline void neumaier_add(double& sum, double& comp, double x) {
    const double t = sum + x;
    comp += std::abs(sum) >= std::abs(x) ? (sum - t) + x : (x - t) + sum;
    sum = t;
}

}  // namespace

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
    // Compensated (Neumaier) summation keeps the mean accurate over many
    // paths; four interleaved sums keep it from waiting on each addition.
    constexpr std::size_t LANES = 4;
    double sum[LANES] = {}, comp[LANES] = {};
    const std::size_t whole = v.size() - v.size() % LANES;
    for (std::size_t i = 0; i < whole; i += LANES)
        for (std::size_t k = 0; k < LANES; ++k) neumaier_add(sum[k], comp[k], v[i + k]);
    for (std::size_t i = whole; i < v.size(); ++i) neumaier_add(sum[0], comp[0], v[i]);
    double total = 0.0, total_comp = 0.0;
    for (std::size_t k = 0; k < LANES; ++k) {
        neumaier_add(total, total_comp, sum[k]);
        total_comp += comp[k];
    }
    // Infinite or NaN terms make the compensation meaningless; the plain sum is the answer.
    if (!std::isfinite(total)) return total / static_cast<double>(v.size());
    return (total + total_comp) / static_cast<double>(v.size());
}

}  // namespace mirvon
