#include "core/vector.hpp"

namespace mirvon {

void Vec::reserve(std::size_t n) {
    if (n <= capacity()) return;
    double* block = new double[n];
    std::copy(begin(), end(), block);
    const std::size_t kept = size_;
    release();
    data_ = block;
    capacity_ = n;
    size_ = kept;
}

std::string LengthMismatch::text() const {
    return "Vector lengths " + std::to_string(left) + " and " + std::to_string(right) +
           " cannot be combined";
}

std::expected<std::size_t, LengthMismatch> broadcast_len(std::size_t a, std::size_t b) {
    if (a == b || b == 1) return a;
    if (a == 1) return b;
    return std::unexpected(LengthMismatch{a, b});
}

std::expected<Vec, LengthMismatch> mul(const Vec& a, const Vec& b) {
    auto n = broadcast_len(a.size(), b.size());
    if (!n) return std::unexpected(n.error());
    Vec out(*n);
    for (std::size_t i = 0; i < *n; ++i) out[i] = at_bcast(a, i) * at_bcast(b, i);
    return out;
}

std::expected<void, LengthMismatch> mul_assign(Vec& target, const Vec& factors) {
    auto n = broadcast_len(target.size(), factors.size());
    if (!n) return std::unexpected(n.error());
    if (*n == target.size()) {
        for (std::size_t i = 0; i < *n; ++i) target[i] *= at_bcast(factors, i);
    } else {
        const double t0 = target[0];
        target.assign(factors.begin(), factors.end());
        for (double& x : target) x *= t0;
    }
    return {};
}


std::expected<void, LengthMismatch> add_assign(Vec& target, const Vec& addend) {
    auto n = broadcast_len(target.size(), addend.size());
    if (!n) return std::unexpected(n.error());
    double* t = target.data();
    if (addend.size() == target.size()) {
        const double* a = addend.data();
        for (std::size_t i = 0; i < *n; ++i) t[i] += a[i];
    } else if (addend.size() == 1) {
        const double a = addend[0];
        for (std::size_t i = 0; i < *n; ++i) t[i] += a;
    } else {
        const double t0 = target[0];
        target.assign(addend.begin(), addend.end());
        for (double& x : target) x = t0 + x;
    }
    return {};
}

}  // namespace mirvon
