#include "fd/step_times.hpp"

namespace mirvon {

std::expected<double, ModelError> discount_rate(const Assets& assets, const StepTimes& s) {
    auto base = assets.base_asset();
    if (!base) return std::unexpected(ModelError(std::move(base.error())));
    auto r = (*base)->rate(s.t1, s.t0);
    if (!r) return std::unexpected(ModelError(AssetError::rate_error("discount", std::move(r.error()), s.t1, s.t0)));
    return *r;
}

}  // namespace mirvon
