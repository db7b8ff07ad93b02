// Tridiagonal matrices: the product and the Thomas solve of one
// Crank-Nicolson step.
#pragma once
#include <cstddef>

#include "core/vector.hpp"

namespace mirvon {

struct Tridiagonal {
    explicit Tridiagonal(std::size_t n = 0) : lower(n), diag(n), upper(n), n(n) {}
    Vec lower;  // lower[i]: row i, column i-1 (lower[0] unused)
    Vec diag;
    Vec upper;  // upper[i]: row i, column i+1 (upper[n-1] unused)
    std::size_t n;

    Vec product(const Vec& v) const;
    Vec solve(const Vec& d) const;
    // Allocation-free forms for the grid's hot loop: y must not alias v; the
    // solve uses `pivots` as scratch and may write x over d.
    void product_into(const Vec& v, Vec& y) const;
    void solve_into(const Vec& d, Vec& x, Vec& pivots) const;
};

}  // namespace mirvon
