#include "hist/historic.hpp"

namespace mirvon {

std::expected<Vec, ModelError> Historic::asset_value(const FwdModelStateGeneric&, const Vec& q,
                                                     const std::string& name, std::int64_t time) const {
    auto value = source_->asset_value(name, time);
    if (!value) return std::unexpected(std::move(value.error()));
    return scaled(q, *value);
}

}  // namespace mirvon
