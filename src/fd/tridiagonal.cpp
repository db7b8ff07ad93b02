#include "fd/tridiagonal.hpp"

namespace mirvon {

void Tridiagonal::product_into(const Vec& v, Vec& y) const {
    y.resize(n);
    if (n == 1) {
        y[0] = diag[0] * v[0];
        return;
    }
    y[0] = diag[0] * v[0] + upper[0] * v[1];
    for (std::size_t i = 1; i + 1 < n; ++i)
        y[i] = lower[i] * v[i - 1] + diag[i] * v[i] + upper[i] * v[i + 1];
    y[n - 1] = lower[n - 1] * v[n - 2] + diag[n - 1] * v[n - 1];
}

void Tridiagonal::solve_into(const Vec& d, Vec& x, Vec& pivots) const {
    pivots.assign(diag.begin(), diag.end());
    if (&x != &d) x.assign(d.begin(), d.end());
    // Forward elimination, then back substitution, without pivoting.
    for (std::size_t i = 1; i < n; ++i) {
        const double w = lower[i] / pivots[i - 1];
        pivots[i] -= w * upper[i - 1];
        x[i] -= w * x[i - 1];
    }
    x[n - 1] /= pivots[n - 1];
    for (std::size_t i = n - 1; i-- > 0;) x[i] = (x[i] - upper[i] * x[i + 1]) / pivots[i];
}

Vec Tridiagonal::product(const Vec& v) const {
    Vec y;
    product_into(v, y);
    return y;
}

Vec Tridiagonal::solve(const Vec& d) const {
    Vec x, pivots;
    solve_into(d, x, pivots);
    return x;
}

}  // namespace mirvon
