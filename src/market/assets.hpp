// Market data: named assets, each one curve held as log-values over year
// fractions and interpolated linearly in log space.
#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/errors.hpp"
#include "core/vector.hpp"

namespace mirvon {

enum class ForwardKind { Base, Forward };

// Linear interpolation over a strictly increasing axis of at least two points.
class LinearInterpolator {
public:
    static std::expected<LinearInterpolator, AssetError> create(Vec xs,
                                                                Vec ys);
    // Absent outside [first x, last x] and for NaN.
    std::optional<double> at(double x) const {
        std::size_t segment = 0;
        return at(x, segment);
    }
    // The same value; the search starts at `segment`, the segment of the
    // previous lookup, and leaves the one found there, so that lookups at
    // times that never decrease walk the curve once.
    std::optional<double> at(double x, std::size_t& segment) const;
    // The slope of the one segment that holds both x (its end points
    // included); absent when they lie in different segments or outside.
    std::optional<double> slope_over(double lo, double hi) const;

private:
    // The segment of x: the largest i with xs[i] <= x, at most size - 2.
    std::size_t segment_of(double x) const;
    Vec xs_, ys_;
};

class AssetLogFwd {
public:
    static std::expected<AssetLogFwd, AssetError> create(Vec times,
                                                         Vec log_values,
                                                         ForwardKind kind);
    ForwardKind kind() const { return kind_; }
    std::expected<double, AssetError> log_value(double t) const {
        std::size_t segment = 0;
        return log_value(t, segment);
    }
    std::expected<double, AssetError> log_value(double t, std::size_t& segment) const;
    // (L(t1) - L(t2)) / (t1 - t2). Where L is one straight line over both
    // times this is that line's slope, so that every step inside one piece
    // of the curve sees the same rate, bit for bit.
    std::expected<double, AssetError> rate(double t1, double t2) const;

private:
    ForwardKind kind_ = ForwardKind::Forward;
    std::optional<LinearInterpolator> curve_;
    double first_time_ = 0.0;
    double first_log_value_ = 0.0;
};

class Assets {
public:
    Assets(std::string base, std::unordered_map<std::string, AssetLogFwd> by_name);
    // The base curve is found once; moving keeps the map's nodes, copying would not.
    Assets(Assets&&) = default;
    Assets(const Assets&) = delete;
    Assets& operator=(const Assets&) = delete;

    const std::string& base() const { return base_; }
    std::expected<const AssetLogFwd*, AssetError> asset_by_name(const std::string& name) const;
    std::expected<const AssetLogFwd*, AssetError> base_asset() const;
    std::expected<double, AssetError> asset_value(const std::string& name, double t) const;
    std::expected<double, AssetError> discount_factor(double t) const {
        std::size_t segment = 0;
        return discount_factor(t, segment);
    }
    // The same, searching the base curve from `segment` (see LinearInterpolator::at).
    std::expected<double, AssetError> discount_factor(double t, std::size_t& segment) const;
    std::expected<double, AssetError> asset_rate(const std::string& name, double t1, double t2) const;

private:
    std::unordered_map<std::string, AssetLogFwd> by_name_;
    std::string base_;
    const AssetLogFwd* base_curve_;  // null when the base is not among the assets
};

// Year fraction of a millisecond timestamp from the valuation time (365-day years).
inline constexpr double MS_PER_YEAR = 3.1536e10;
inline double year_fraction(std::int64_t ts, std::int64_t pricing_ts) {
    // Two timestamps far apart differ by more than the 64-bit range holds;
    // either way the exact difference is rounded once.
    std::int64_t diff;
    if (!__builtin_sub_overflow(ts, pricing_ts, &diff)) return static_cast<double>(diff) / MS_PER_YEAR;
    return static_cast<double>(static_cast<__int128>(ts) - pricing_ts) / MS_PER_YEAR;
}

}  // namespace mirvon
