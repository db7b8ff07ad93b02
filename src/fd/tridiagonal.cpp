#include "fd/tridiagonal.hpp"

namespace mirvon {

namespace {

// The vectors of one sweep, one per lane: a double for one vector, a pair of
// doubles in one register for two, so that a pair costs about what one does.
struct OneVector {
    using Value = double;
    double* v;
    Value load(std::size_t i) const { return v[i]; }
    void store(std::size_t i, Value x) const { v[i] = x; }
};

struct TwoVectors {
    typedef double Value __attribute__((vector_size(16)));
    double* v;
    double* u;
    Value load(std::size_t i) const { return Value{v[i], u[i]}; }
    void store(std::size_t i, Value x) const {
        v[i] = x[0];
        u[i] = x[1];
    }
};

// Starts the elimination of q with its first row; returns that row's pivot.
double first_row(const Tridiagonal& q, Elimination& e) {
    const std::size_t n = q.n;
    e.mult.resize(n);
    e.inv_pivot.resize(n);
    e.ratio.resize(n);
    e.inv_pivot[0] = 1.0 / q.diag[0];
    e.ratio[0] = q.upper[0] / q.diag[0];
    return q.diag[0];
}

// Row i >= 1 of the elimination of q, from the pivot of the row above;
// returns row i's pivot.
double next_row(const Tridiagonal& q, std::size_t i, double pivot_above, Elimination& e) {
    const double w = q.lower[i] / pivot_above;
    const double pivot = q.diag[i] - w * q.upper[i - 1];
    e.mult[i] = w;
    e.inv_pivot[i] = 1.0 / pivot;
    e.ratio[i] = q.upper[i] / pivot;
    return pivot;
}

// The product y = P v and the forward elimination e[i] = y[i] - mult[i] e[i-1],
// row by row, leaving e[i] / pivot[i] in v[i]; with `Eliminate`, the
// elimination of Q is worked out on the way. Rows go in twos, e[i+1] taken
// from e[i-1] as (y[i+1] - mult[i+1] y[i]) + (mult[i+1] mult[i]) e[i-1], so
// that the chain of dependent operations has one link per two rows. The
// product's row i needs the old v[i-1], which is overwritten by then, so it
// is carried along.
template <class Lanes, bool Eliminate>
void forward(const Tridiagonal& p, const Tridiagonal& q, Elimination& elim, Lanes x) {
    using V = typename Lanes::Value;
    const std::size_t n = q.n;
    double pivot = Eliminate ? first_row(q, elim) : 0.0;
    const double* w = elim.mult.data();
    const double* inv = elim.inv_pivot.data();
    const double* pl = p.lower.data();
    const double* pd = p.diag.data();
    const double* pu = p.upper.data();
    V old_prev = x.load(0), old = x.load(1);
    V e_prev = pd[0] * old_prev + pu[0] * old;
    x.store(0, e_prev * inv[0]);
    std::size_t i = 1;
    for (; i + 2 < n; i += 2) {
        if constexpr (Eliminate) {
            pivot = next_row(q, i, pivot, elim);
            pivot = next_row(q, i + 1, pivot, elim);
        }
        const V a = x.load(i + 1), b = x.load(i + 2);
        const V y0 = pl[i] * old_prev + pd[i] * old + pu[i] * a;
        const V y1 = pl[i + 1] * old + pd[i + 1] * a + pu[i + 1] * b;
        const V e0 = y0 - w[i] * e_prev;
        const V e1 = (y1 - w[i + 1] * y0) + (w[i + 1] * w[i]) * e_prev;
        x.store(i, e0 * inv[i]);
        x.store(i + 1, e1 * inv[i + 1]);
        e_prev = e1;
        old_prev = a;
        old = b;
    }
    // The last row, or the last two; the last has no upper entry.
    for (; i < n; ++i) {
        if constexpr (Eliminate) pivot = next_row(q, i, pivot, elim);
        const bool last = i + 1 == n;
        const V a = last ? V{} : x.load(i + 1);
        const V y = last ? pl[i] * old_prev + pd[i] * old : pl[i] * old_prev + pd[i] * old + pu[i] * a;
        const V e = y - w[i] * e_prev;
        x.store(i, e * inv[i]);
        e_prev = e;
        old_prev = old;
        old = a;
    }
    if constexpr (Eliminate) elim.done = true;
}

// The back substitution x[i] = h[i] - ratio[i] x[i+1], h[i] = e[i] / pivot[i]
// being what v[i] holds, from the bottom row up and again two rows per link
// of the chain. With `EliminateNext`, the elimination of the next step's Q
// runs from the top down beside it: an independent chain.
template <class Lanes, bool EliminateNext>
void back(std::size_t n, const Elimination& elim, Lanes x, const Tridiagonal* q_next, Elimination* next) {
    using V = typename Lanes::Value;
    const double* g = elim.ratio.data();
    double pivot = EliminateNext ? first_row(*q_next, *next) : 0.0;
    std::size_t j = 1;  // the next row of q_next to eliminate
    V below = x.load(n - 1);
    std::size_t i = n - 1;  // rows from i down are done
    for (; i >= 2; i -= 2) {
        const V h1 = x.load(i - 1), h2 = x.load(i - 2);
        const V x1 = h1 - g[i - 1] * below;
        const V x2 = (h2 - g[i - 2] * h1) + (g[i - 2] * g[i - 1]) * below;
        x.store(i - 1, x1);
        x.store(i - 2, x2);
        below = x2;
        if constexpr (EliminateNext) {
            pivot = next_row(*q_next, j, pivot, *next);
            pivot = next_row(*q_next, j + 1, pivot, *next);
            j += 2;
        }
    }
    if (i == 1) x.store(0, x.load(0) - g[0] * below);
    if constexpr (EliminateNext) {
        for (; j < n; ++j) pivot = next_row(*q_next, j, pivot, *next);
        next->done = true;
    }
}

template <class Lanes>
void sweep(const Tridiagonal& p, const Tridiagonal& q, Elimination& elim, Lanes x, const Tridiagonal* q_next,
           Elimination* next) {
    const std::size_t n = q.n;
    if (n == 1) {
        x.store(0, (p.diag[0] * x.load(0)) / q.diag[0]);
        return;
    }
    if (elim.done)
        forward<Lanes, false>(p, q, elim, x);
    else
        forward<Lanes, true>(p, q, elim, x);
    if (q_next)
        back<Lanes, true>(n, elim, x, q_next, next);
    else
        back<Lanes, false>(n, elim, x, nullptr, nullptr);
}

}  // namespace

void cn_sweep(const Tridiagonal& p, const Tridiagonal& q, Elimination& elim, Vec& v, const Tridiagonal* q_next,
              Elimination* next) {
    sweep(p, q, elim, OneVector{v.data()}, q_next, next);
}

void cn_sweep(const Tridiagonal& p, const Tridiagonal& q, Elimination& elim, Vec& v, Vec& u,
              const Tridiagonal* q_next, Elimination* next) {
    sweep(p, q, elim, TwoVectors{v.data(), u.data()}, q_next, next);
}

}  // namespace mirvon
