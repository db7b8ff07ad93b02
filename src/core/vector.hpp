// Vectors over paths or grid nodes, with the one-element broadcasting rule
// used by every engine: a vector of length 1 stands for every element.
#pragma once
#include <cstddef>
#include <expected>
#include <string>
#include <vector>

namespace mirvon {

using Vec = std::vector<double>;

// Two vectors whose lengths differ and are both above one cannot be combined.
struct LengthMismatch {
    std::size_t left;
    std::size_t right;
    std::string text() const;
};

// The common length of two operands under broadcasting.
std::expected<std::size_t, LengthMismatch> broadcast_len(std::size_t a, std::size_t b);

// Element-wise a * b with broadcasting.
std::expected<Vec, LengthMismatch> mul(const Vec& a, const Vec& b);

// In place: target := target * factors, where the result may grow from length 1.
std::expected<void, LengthMismatch> mul_assign(Vec& target, const Vec& factors);

Vec scaled(const Vec& v, double factor);

// Element i of a vector under broadcasting.
inline double at_bcast(const Vec& v, std::size_t i) { return v.size() == 1 ? v[0] : v[i]; }

}  // namespace mirvon
