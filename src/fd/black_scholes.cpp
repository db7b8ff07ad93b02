#include "fd/black_scholes.hpp"

#include <cmath>

#include "core/format.hpp"
#include "fd/step_times.hpp"

namespace mirvon {

std::expected<FdState, ModelError> BlackScholesCN::create_state_cn(std::int64_t ts) const {
    auto spot = params_.assets.asset_value(asset_, 0.0);
    if (!spot) return std::unexpected(ModelError(std::move(spot.error())));
    // The grid is in ln S: a spot without a finite logarithm has no grid.
    if (!(*spot > 0.0) || !std::isfinite(*spot))
        return std::unexpected(ModelError::message("Black-Scholes spot of asset '" + asset_ +
                                                   "' must be positive and finite, got " +
                                                   format_float(*spot)));
    FdState state(params_.n_x, params_.max_x, ts);
    const double centre = std::log(*spot);
    for (double& x : state.grid) x += centre;
    state.asset_at_nodes.resize(state.grid.size());
    for (std::size_t i = 0; i < state.grid.size(); ++i) state.asset_at_nodes[i] = std::exp(state.grid[i]);
    return state;
}

const Vec* BlackScholesCN::get_model_val_cn(const FdState& state, const std::string& name) const {
    if (name != asset_) return nullptr;
    return &state.asset_at_nodes;
}

std::expected<StepTerms, ModelError> BlackScholesCN::step_terms(const FdState& state, std::int64_t t0) const {
    const StepTimes s(state, t0, params_.pricing_ts);
    auto r = discount_rate(params_.assets, s);
    if (!r) return std::unexpected(std::move(r.error()));
    auto mu = params_.assets.asset_rate(asset_, s.t1, s.t0);
    if (!mu) return std::unexpected(ModelError(std::move(mu.error())));
    return StepTerms{{s.dt, *r, *mu}};
}

void BlackScholesCN::cn_coefficients(const FdState& state, const StepTerms& terms, CnMatrices& out) const {
    const auto [dt, r, mu] = terms.values;
    const double sig2 = vol_ * vol_;
    const double dx = state.dx;
    const double d = sig2 * (0.25 * dt) / (dx * dx);
    const double c = (0.25 * dt) * (mu - 0.5 * sig2) / dx;
    const double disc = 0.5 * dt * r;
    const std::size_t n = params_.n_nodes;
    Tridiagonal& p = out.p;
    if (p.n != n) p = Tridiagonal(n);
    for (std::size_t i = 0; i < n; ++i) {
        p.lower[i] = -d - c;
        p.diag[i] = (2.0 * d - 1.0) + disc;
        p.upper[i] = c - d;
    }
    // End rows: one-sided drift, no diffusion.
    p.diag[0] = disc + (-1.0 - 2.0 * c);
    p.upper[0] = 2.0 * c;
    p.lower[n - 1] = -2.0 * c;
    p.diag[n - 1] = disc + (2.0 * c - 1.0);
}

}  // namespace mirvon
