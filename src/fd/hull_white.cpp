#include "fd/hull_white.hpp"

#include <cmath>

#include "fd/step_times.hpp"

namespace mirvon {

std::expected<FdState, ModelError> HullWhiteCN::create_state_cn(std::int64_t ts) const {
    return FdState(params_.n_x, params_.max_x, ts);
}

std::expected<StepTerms, ModelError> HullWhiteCN::step_terms(const FdState& state, std::int64_t t0) const {
    const StepTimes s(state, t0, params_.pricing_ts);
    auto f = discount_rate(params_.assets, s);
    if (!f) return std::unexpected(std::move(f.error()));
    const double a = meanrev_;
    const double sig2 = vol_ * vol_;
    // phi = f + sig^2 (1 - e^{-a T0})^2 / (2 a^2); (1 - e^{-a T0}) / a tends to T0
    // as a tends to 0, and expm1 keeps it accurate for small a.
    const double g = a == 0.0 ? s.t0 : -std::expm1(-a * s.t0) / a;
    const double phi = *f + 0.5 * sig2 * g * g;
    return StepTerms{{s.dt, phi, 0.0}};
}

void HullWhiteCN::cn_coefficients(const FdState& state, const StepTerms& terms, CnMatrices& out) const {
    const double dt = terms.values[0], phi = terms.values[1];
    const double a = meanrev_;
    const double sig2 = vol_ * vol_;
    const double dx = state.dx;
    const double d = sig2 * (0.25 * dt) / (dx * dx);
    const double drift = 0.25 * dt * a / dx;
    const double half_dt = 0.5 * dt;
    const std::size_t n = params_.n_nodes;
    Tridiagonal& p = out.p;
    if (p.n != n) p = Tridiagonal(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double r = state.grid[i] + phi;
        const double c = state.grid[i] * drift;
        p.lower[i] = c - d;
        p.diag[i] = r * half_dt + (2.0 * d - 1.0);
        p.upper[i] = -d - c;
    }
    // End rows: one-sided drift, no diffusion.
    const double c0 = state.grid[0] * drift;
    const double cn = state.grid[n - 1] * drift;
    p.diag[0] = (2.0 * c0 - 1.0) + half_dt * (state.grid[0] + phi);
    p.upper[0] = -2.0 * c0;
    p.lower[n - 1] = 2.0 * cn;
    p.diag[n - 1] = (-1.0 - 2.0 * cn) + half_dt * (state.grid[n - 1] + phi);
}

}  // namespace mirvon
