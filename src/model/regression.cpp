#include "model/regression.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace mirvon {

namespace {

// Paths are gathered in blocks: each block's sums are formed column by column
// and then added to the totals, which keeps the rounding of a sum over a
// million paths close to that of a sum over a thousand.
constexpr std::size_t BLOCK = 512;

// A basis function is dropped when the share of it (squared) that the
// functions already chosen do not explain falls below this: an angle of about
// 1e-5, far above the rounding of the sums and far below anything that
// distinct state variables produce.
constexpr double RANK_TOLERANCE = 1e-10;

// A regressor whose spread across the fitted paths is within rounding of its
// level carries no information: it is treated as constant.
constexpr double CONSTANT_SPREAD = 64 * std::numeric_limits<double>::epsilon();

// Monomial j > 0 is monomial parent[j] times variable var[j]; monomial 0 is 1.
// They come in order of degree, each product of variables once.
struct Monomials {
    std::vector<std::size_t> parent;
    std::vector<std::size_t> var;
    std::size_t size() const { return parent.size(); }
};

Monomials graded_monomials(std::size_t variables, std::size_t degree) {
    Monomials m{{0}, {0}};
    // The highest variable in each monomial: multiplying only by variables
    // from there on builds each product in non-decreasing order, so once.
    std::vector<std::size_t> highest{0};
    std::size_t begin = 0, end = 1;  // the monomials of the previous degree
    for (std::size_t d = 1; d <= degree; ++d) {
        for (std::size_t j = begin; j < end; ++j)
            for (std::size_t v = highest[j]; v < variables; ++v) {
                m.parent.push_back(j);
                m.var.push_back(v);
                highest.push_back(v);
            }
        begin = end;
        end = m.size();
    }
    return m;
}

// z = (x - mean) * inv_spread: regressors of unit spread around zero, so that
// the powers of different regressors are of comparable size.
struct Standardization {
    double mean = 0.0;
    double inv_spread = 0.0;  // 0 for a constant regressor, which then adds nothing
};

double blocked_sum(std::size_t count, auto term) {
    double total = 0.0;
    for (std::size_t start = 0; start < count; start += BLOCK) {
        double block = 0.0;
        for (std::size_t r = start; r < std::min(count, start + BLOCK); ++r) block += term(r);
        total += block;
    }
    return total;
}

Standardization standardization(const double* x, std::size_t count) {
    const double n = static_cast<double>(count);
    const double mean = blocked_sum(count, [x](std::size_t r) { return x[r]; }) / n;
    const double spread = std::sqrt(blocked_sum(count, [x, mean](std::size_t r) {
                                        const double d = x[r] - mean;
                                        return d * d;
                                    }) /
                                    n);
    if (!(spread > CONSTANT_SPREAD * std::abs(mean)) || !std::isfinite(spread)) return {mean, 0.0};
    return {mean, 1.0 / spread};
}

void standardize(double* x, std::size_t count, Standardization s) {
    for (std::size_t r = 0; r < count; ++r) x[r] = (x[r] - s.mean) * s.inv_spread;
}

// Four running sums break the chain of dependent additions.
inline double dot(const double* a, const double* b, std::size_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < n; ++i) s0 += a[i] * b[i];
    return (s0 + s1) + (s2 + s3);
}

// The basis functions on a block of consecutive paths, column by column:
// function j of the block's r-th path at j * BLOCK + r.
class BasisBlock {
public:
    BasisBlock(std::size_t variables, std::size_t degree)
        : monomials_(graded_monomials(variables, degree)), values_(monomials_.size() * BLOCK) {
        std::fill_n(values_.begin(), BLOCK, 1.0);
    }

    std::size_t size() const { return monomials_.size(); }
    const double* column(std::size_t j) const { return &values_[j * BLOCK]; }

    // The block of `count` paths from `start`, of standardised regressors
    // laid out as regressor k from k * stride.
    void fill(const double* state, std::size_t stride, std::size_t start, std::size_t count) {
        for (std::size_t j = 1; j < monomials_.size(); ++j) {
            const double* parent = &values_[monomials_.parent[j] * BLOCK];
            const double* z = state + monomials_.var[j] * stride + start;
            double* out = &values_[j * BLOCK];
            for (std::size_t r = 0; r < count; ++r) out[r] = parent[r] * z[r];
        }
    }

private:
    Monomials monomials_;
    Vec values_;
};

// The normal equations X^T X beta = X^T y over the fitted paths, the upper
// triangle of X^T X row by row. Each block's sums are added to the totals.
struct NormalEquations {
    std::vector<double> gram;
    std::vector<double> moment;
};

NormalEquations accumulate(BasisBlock& basis, const double* state, const double* target, std::size_t count) {
    const std::size_t p = basis.size();
    NormalEquations eq{std::vector<double>(p * p, 0.0), std::vector<double>(p, 0.0)};
    for (std::size_t start = 0; start < count; start += BLOCK) {
        const std::size_t n = std::min(BLOCK, count - start);
        basis.fill(state, count, start, n);
        for (std::size_t a = 0; a < p; ++a) {
            eq.moment[a] += dot(basis.column(a), target + start, n);
            for (std::size_t c = a; c < p; ++c) eq.gram[a * p + c] += dot(basis.column(a), basis.column(c), n);
        }
    }
    return eq;
}

// Solves the normal equations by a Cholesky factorisation with diagonal
// pivoting, after scaling every basis function to unit norm. Functions that
// add nothing new beyond the tolerance get coefficient 0: the result is the
// least-squares fit on the functions that span the fitted paths' data.
std::vector<double> solve(const NormalEquations& eq) {
    const std::size_t p = eq.moment.size();
    std::vector<double> scale(p, 0.0);
    for (std::size_t j = 0; j < p; ++j)
        if (eq.gram[j * p + j] > 0.0) scale[j] = 1.0 / std::sqrt(eq.gram[j * p + j]);
    auto scaled_gram = [&](std::size_t a, std::size_t c) {
        return eq.gram[std::min(a, c) * p + std::max(a, c)] * scale[a] * scale[c];
    };

    std::vector<std::size_t> order(p);  // order[k]: the basis function in pivot position k
    std::iota(order.begin(), order.end(), 0);
    std::vector<double> residual(p);  // what is left of each function's squared norm
    for (std::size_t j = 0; j < p; ++j) residual[j] = scaled_gram(j, j);
    std::vector<double> chol(p * p, 0.0);  // lower factor, rows and columns in pivot positions
    std::size_t rank = 0;
    for (; rank < p; ++rank) {
        const std::size_t k = rank;
        std::size_t best = k;
        for (std::size_t j = k + 1; j < p; ++j)
            if (residual[order[j]] > residual[order[best]]) best = j;
        if (!(residual[order[best]] > RANK_TOLERANCE)) break;
        std::swap(order[k], order[best]);
        for (std::size_t t = 0; t < k; ++t) std::swap(chol[k * p + t], chol[best * p + t]);
        const double pivot = std::sqrt(residual[order[k]]);
        chol[k * p + k] = pivot;
        for (std::size_t j = k + 1; j < p; ++j) {
            double v = scaled_gram(order[j], order[k]);
            for (std::size_t t = 0; t < k; ++t) v -= chol[j * p + t] * chol[k * p + t];
            v /= pivot;
            chol[j * p + k] = v;
            residual[order[j]] -= v * v;
        }
    }

    // L L^T w = scaled moment over the chosen functions.
    std::vector<double> w(rank);
    for (std::size_t k = 0; k < rank; ++k) {
        double v = eq.moment[order[k]] * scale[order[k]];
        for (std::size_t t = 0; t < k; ++t) v -= chol[k * p + t] * w[t];
        w[k] = v / chol[k * p + k];
    }
    for (std::size_t k = rank; k-- > 0;) {
        double v = w[k];
        for (std::size_t t = k + 1; t < rank; ++t) v -= chol[t * p + k] * w[t];
        w[k] = v / chol[k * p + k];
    }
    std::vector<double> beta(p, 0.0);
    for (std::size_t k = 0; k < rank; ++k) beta[order[k]] = w[k] * scale[order[k]];
    return beta;
}

}  // namespace

std::optional<std::size_t> polynomial_basis_size(std::size_t variables, std::size_t degree, std::size_t limit) {
    // C(variables + degree, variables), built up as C(m, j) from C(m, j - 1):
    // each product is exact in 128 bits and each quotient a whole number, and
    // the loop runs over the few variables, not over a degree that may be huge.
    const unsigned __int128 m = static_cast<unsigned __int128>(variables) + degree;
    unsigned __int128 size = 1;
    for (std::size_t j = 1; j <= std::min(variables, degree); ++j) {
        size = size * (m - j + 1) / j;
        if (size > limit) return std::nullopt;
    }
    if (size > limit) return std::nullopt;
    return static_cast<std::size_t>(size);
}

std::span<const double> LeastSquaresFit::fit(std::span<const Vec> regressors, const Vec& target,
                                             std::span<const std::size_t> paths) {
    const std::size_t m = paths.size(), k = regressors.size();
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    target_.resize(m);
    state_.resize(k * m);
    for (std::size_t r = 0; r < m; ++r) target_[r] = target[paths[r]];
    for (std::size_t v = 0; v < k; ++v) {
        const Vec& x = regressors[v];
        double* z = &state_[v * m];
        if (x.size() == 1)
            std::fill_n(z, m, x[0]);
        else
            for (std::size_t r = 0; r < m; ++r) z[r] = x[paths[r]];
    }

    // |x| <= max fails for NaN and the infinities; all paths are checked at
    // once before any is looked at alone.
    auto finite = [](double x) { return std::abs(x) <= std::numeric_limits<double>::max(); };
    bool all_finite = true;
    for (std::size_t r = 0; r < m; ++r) all_finite &= finite(target_[r]);
    for (std::size_t r = 0; r < k * m; ++r) all_finite &= finite(state_[r]);
    auto finite_at = [&](std::size_t r) {
        bool ok = finite(target_[r]);
        for (std::size_t v = 0; v < k; ++v) ok &= finite(state_[v * m + r]);
        return ok;
    };
    std::size_t count = m;
    if (!all_finite) {
        count = 0;
        for (std::size_t r = 0; r < m; ++r) count += finite_at(r);
    }
    double* fit_state = state_.data();
    const double* fit_target = target_.data();
    if (count < m) {
        fit_state_.resize(k * count);
        fit_target_.resize(count);
        for (std::size_t r = 0, f = 0; r < m; ++r) {
            if (!finite_at(r)) continue;
            for (std::size_t v = 0; v < k; ++v) fit_state_[v * count + f] = state_[v * m + r];
            fit_target_[f++] = target_[r];
        }
        fit_state = fit_state_.data();
        fit_target = fit_target_.data();
    }
    fitted_.assign(m, count == 0 ? NaN : 0.0);
    if (count == 0) return fitted_;

    for (std::size_t v = 0; v < k; ++v) {
        const Standardization s = standardization(fit_state + v * count, count);
        if (count < m) standardize(fit_state + v * count, count, s);
        standardize(&state_[v * m], m, s);
    }
    BasisBlock basis(k, degree_);
    const std::vector<double> beta = solve(accumulate(basis, fit_state, fit_target, count));

    for (std::size_t start = 0; start < m; start += BLOCK) {
        const std::size_t n = std::min(BLOCK, m - start);
        basis.fill(state_.data(), m, start, n);
        double* out = &fitted_[start];
        for (std::size_t j = 0; j < basis.size(); ++j) {
            if (beta[j] == 0.0) continue;  // left out, and its value may not even be finite
            const double* column = basis.column(j);
            for (std::size_t r = 0; r < n; ++r) out[r] += beta[j] * column[r];
        }
    }
    // Where the state is not known there is no estimate, even when the
    // regressor's own terms were left out of the fit.
    if (count < m)
        for (std::size_t v = 0; v < k; ++v)
            for (std::size_t r = 0; r < m; ++r)
                if (!std::isfinite(state_[v * m + r])) fitted_[r] = NaN;
    return fitted_;
}

}  // namespace mirvon
