// Least-squares regression across paths on a polynomial basis in a few state
// variables: the estimate of a conditional expectation from what is known at
// a date, as an exercise decision needs it.
#pragma once
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/vector.hpp"

namespace mirvon {

// The number of monomials of total degree at most `degree` in `variables`
// variables (the constant included), or nothing when it exceeds `limit`.
std::optional<std::size_t> polynomial_basis_size(std::size_t variables, std::size_t degree, std::size_t limit);

// Fits of a target on the monomials of total degree at most `degree` in the
// regressors, by least squares across paths. One object serves a whole
// backward roll: its buffers are kept from one fit to the next.
class LeastSquaresFit {
public:
    explicit LeastSquaresFit(std::size_t degree) : degree_(degree) {}

    // Fits `target` over the given paths and returns the fitted value at each
    // of them, valid until the next fit.
    //
    // Every regressor has one element per path of `target`, or one element
    // for all. Paths where the target or a regressor is not finite take no
    // part in the fit; where a regressor is not finite the fitted value is
    // NaN. Basis functions that the fitted paths cannot tell apart from the
    // others (a regressor constant across them, fewer paths than basis
    // functions, regressors that are functions of each other) are left out,
    // so the fit always succeeds. Without any path to fit, every fitted value
    // is NaN.
    std::span<const double> fit(std::span<const Vec> regressors, const Vec& target,
                                std::span<const std::size_t> paths);

private:
    std::size_t degree_;
    Vec state_;   // the regressors at the paths, regressor k from k * paths
    Vec target_;  // the target at the paths
    // The paths whose target and regressors are finite, copied only when
    // some are not.
    Vec fit_state_;
    Vec fit_target_;
    Vec fitted_;
};

}  // namespace mirvon
