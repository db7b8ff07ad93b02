#include "market/assets.hpp"

#include <algorithm>
#include <cmath>

namespace mirvon {

std::expected<LinearInterpolator, AssetError> LinearInterpolator::create(Vec xs,
                                                                         Vec ys) {
    for (std::size_t i = 1; i < xs.size(); ++i)
        if (!(xs[i] > xs[i - 1]))
            return std::unexpected(AssetError{AssetError::Builder{
                "Values in the x axis need to be strictly monotonic rising"}});
    LinearInterpolator out;
    out.xs_ = std::move(xs);
    out.ys_ = std::move(ys);
    return out;
}

std::size_t LinearInterpolator::segment_of(double x) const {
    auto it = std::upper_bound(xs_.begin(), xs_.end(), x);
    const std::size_t i = static_cast<std::size_t>(it - xs_.begin()) - 1;
    return std::min(i, xs_.size() - 2);
}

std::optional<double> LinearInterpolator::at(double x, std::size_t& segment) const {
    if (std::isnan(x) || x < xs_.front() || x > xs_.back()) return std::nullopt;
    // i: the largest index with xs[i] <= x, capped so that i + 1 exists.
    const std::size_t last = xs_.size() - 2;
    std::size_t i = std::min(segment, last);
    if (xs_[i] <= x) {
        while (i < last && xs_[i + 1] <= x) ++i;
    } else {
        i = segment_of(x);
    }
    segment = i;
    return ys_[i] + (ys_[i + 1] - ys_[i]) / (xs_[i + 1] - xs_[i]) * (x - xs_[i]);
}

std::optional<double> LinearInterpolator::slope_over(double lo, double hi) const {
    if (!(lo >= xs_.front() && hi <= xs_.back())) return std::nullopt;
    const std::size_t i = segment_of(lo);
    if (hi > xs_[i + 1]) return std::nullopt;
    return (ys_[i + 1] - ys_[i]) / (xs_[i + 1] - xs_[i]);
}

std::expected<AssetLogFwd, AssetError> AssetLogFwd::create(Vec times,
                                                           Vec log_values,
                                                           ForwardKind kind) {
    AssetLogFwd out;
    out.kind_ = kind;
    if (times.empty()) return std::unexpected(AssetError{AssetError::Builder{"The curve has no points"}});
    out.first_time_ = times.front();
    out.first_log_value_ = log_values.front();
    if (times.size() >= 2) {
        auto curve = LinearInterpolator::create(std::move(times), std::move(log_values));
        if (!curve) return std::unexpected(std::move(curve.error()));
        out.curve_ = std::move(*curve);
    }
    return out;
}

std::expected<double, AssetError> AssetLogFwd::log_value(double t, std::size_t& segment) const {
    // Before the first point the log-value runs linearly through the origin.
    if (first_time_ > 0.0 && t <= first_time_) return first_log_value_ * t / first_time_;
    if (curve_)
        if (auto v = curve_->at(t, segment)) return *v;
    return std::unexpected(AssetError{AssetError::OutOfRange{t}});
}

std::expected<double, AssetError> AssetLogFwd::rate(double t1, double t2) const {
    if (t1 == t2) return std::unexpected(AssetError{AssetError::DivideByZero{}});
    auto l1 = log_value(t1);
    if (!l1) return l1;
    auto l2 = log_value(t2);
    if (!l2) return l2;
    // The difference of two interpolated values carries the rounding of
    // both; the slope of their common piece does not.
    const double lo = std::min(t1, t2), hi = std::max(t1, t2);
    if (first_time_ > 0.0 && hi <= first_time_) return first_log_value_ / first_time_;
    if (curve_ && lo >= first_time_)
        if (auto slope = curve_->slope_over(lo, hi)) return *slope;
    return (*l1 - *l2) / (t1 - t2);
}

Assets::Assets(std::string base, std::unordered_map<std::string, AssetLogFwd> by_name)
    : by_name_(std::move(by_name)), base_(std::move(base)) {
    auto it = by_name_.find(base_);
    base_curve_ = it == by_name_.end() ? nullptr : &it->second;
}

std::expected<const AssetLogFwd*, AssetError> Assets::base_asset() const {
    if (base_curve_ == nullptr) return std::unexpected(AssetError{AssetError::AssetNotFound{base_}});
    return base_curve_;
}

std::expected<const AssetLogFwd*, AssetError> Assets::asset_by_name(const std::string& name) const {
    // Most units name the base currency: one comparison instead of a hash.
    if (base_curve_ != nullptr && name == base_) return base_curve_;
    auto it = by_name_.find(name);
    if (it == by_name_.end()) return std::unexpected(AssetError{AssetError::AssetNotFound{name}});
    return &it->second;
}

std::expected<double, AssetError> Assets::asset_value(const std::string& name, double t) const {
    auto asset = asset_by_name(name);
    if (!asset) return std::unexpected(std::move(asset.error()));
    if ((*asset)->kind() == ForwardKind::Base) return 1.0;
    auto l = (*asset)->log_value(t);
    if (!l) return l;
    return std::exp(*l);
}

std::expected<double, AssetError> Assets::discount_factor(double t, std::size_t& segment) const {
    auto base = base_asset();
    if (!base) return std::unexpected(std::move(base.error()));
    auto l = (*base)->log_value(t, segment);
    if (!l) return std::unexpected(AssetError::spot_error("discount factor", std::move(l.error()), t));
    return std::exp(-*l);
}

std::expected<double, AssetError> Assets::asset_rate(const std::string& name, double t1, double t2) const {
    auto asset = asset_by_name(name);
    if (!asset) return std::unexpected(std::move(asset.error()));
    auto r = (*asset)->rate(t1, t2);
    if (!r) return std::unexpected(AssetError::rate_error(name, std::move(r.error()), t1, t2));
    return r;
}

}  // namespace mirvon
