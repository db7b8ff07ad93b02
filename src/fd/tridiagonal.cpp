#include "fd/tridiagonal.hpp"

#include <array>

namespace mirvon {

namespace {

// K vectors in one sweep. The product's row i needs the old v[i-1], which the
// elimination has already overwritten, so it is carried in `old_prev`.
template <std::size_t K>
void sweep(const Tridiagonal& p, const Tridiagonal& q, Elimination& elim, std::array<double*, K> v,
           const Tridiagonal* q_next, Elimination* next) {
    const std::size_t n = q.n;
    if (n == 1) {
        for (double* x : v) x[0] = (p.diag[0] * x[0]) / q.diag[0];
        return;
    }
    const bool eliminate = !elim.done;
    if (eliminate) {
        elim.mult.resize(n);
        elim.pivot.resize(n);
        elim.pivot[0] = q.diag[0];
        elim.done = true;
    }
    double* mult = elim.mult.data();
    double* pivot = elim.pivot.data();
    std::array<double, K> old_prev, e_prev;
    for (std::size_t k = 0; k < K; ++k) {
        old_prev[k] = v[k][0];
        e_prev[k] = p.diag[0] * v[k][0] + p.upper[0] * v[k][1];
        v[k][0] = e_prev[k];
    }
    const auto row = [&](std::size_t i, bool last) {
        double w;
        if (eliminate) {
            w = q.lower[i] / pivot[i - 1];
            pivot[i] = q.diag[i] - w * q.upper[i - 1];
            mult[i] = w;
        } else {
            w = mult[i];
        }
        for (std::size_t k = 0; k < K; ++k) {
            const double old = v[k][i];
            const double y = last ? p.lower[i] * old_prev[k] + p.diag[i] * old
                                  : p.lower[i] * old_prev[k] + p.diag[i] * old + p.upper[i] * v[k][i + 1];
            const double e = y - w * e_prev[k];
            v[k][i] = e;
            old_prev[k] = old;
            e_prev[k] = e;
        }
    };
    for (std::size_t i = 1; i + 1 < n; ++i) row(i, false);
    row(n - 1, true);
    for (std::size_t k = 0; k < K; ++k) v[k][n - 1] /= pivot[n - 1];
    if (!q_next) {
        for (std::size_t i = n - 1; i-- > 0;)
            for (std::size_t k = 0; k < K; ++k) v[k][i] = (v[k][i] - q.upper[i] * v[k][i + 1]) / pivot[i];
        return;
    }
    // Back substitution from the bottom row up, the next elimination from the top down.
    const Tridiagonal& r = *q_next;
    next->mult.resize(n);
    next->pivot.resize(n);
    double* next_mult = next->mult.data();
    double* next_pivot = next->pivot.data();
    next_pivot[0] = r.diag[0];
    for (std::size_t j = 1; j < n; ++j) {
        const std::size_t i = n - 1 - j;
        for (std::size_t k = 0; k < K; ++k) v[k][i] = (v[k][i] - q.upper[i] * v[k][i + 1]) / pivot[i];
        const double w = r.lower[j] / next_pivot[j - 1];
        next_pivot[j] = r.diag[j] - w * r.upper[j - 1];
        next_mult[j] = w;
    }
    next->done = true;
}

}  // namespace

void cn_sweep(const Tridiagonal& p, const Tridiagonal& q, Elimination& elim, Vec& v, const Tridiagonal* q_next,
              Elimination* next) {
    sweep<1>(p, q, elim, {v.data()}, q_next, next);
}

void cn_sweep(const Tridiagonal& p, const Tridiagonal& q, Elimination& elim, Vec& v, Vec& u,
              const Tridiagonal* q_next, Elimination* next) {
    sweep<2>(p, q, elim, {v.data(), u.data()}, q_next, next);
}

}  // namespace mirvon
