// Least-squares regression across paths on a polynomial basis in a few state
// variables: the estimate of a conditional expectation from what is known at
// a date, as an exercise decision needs it.
#pragma once
#include <cstddef>
#include <optional>
#include <span>

#include "core/vector.hpp"

namespace mirvon {

// The number of monomials of total degree at most `degree` in `variables`
// variables (the constant included), or nothing when it exceeds `limit`.
std::optional<std::size_t> polynomial_basis_size(std::size_t variables, std::size_t degree, std::size_t limit);

// Fits `target` on the monomials of total degree at most `degree` in the
// regressors, by least squares over the given paths, and
// returns the fitted value at each of them.
//
// Every regressor has one element per path of `target`, or one element for
// all. Paths where the target or a regressor is not finite take no part in
// the fit (their fitted value is NaN where a regressor is not finite). Basis
// functions that the fitted paths cannot tell apart from the others (a
// regressor constant across them, fewer paths than basis functions,
// regressors that are functions of each other) are left out, so the fit
// always succeeds. Without any path to fit, every fitted value is NaN.
Vec least_squares_fit(std::span<const Vec> regressors, const Vec& target, std::span<const std::size_t> paths,
                      std::size_t degree);

}  // namespace mirvon
