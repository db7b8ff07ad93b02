#include "hist/ts_data.hpp"

#include "core/format.hpp"

namespace mirvon {

std::expected<double, ModelError> TsDataCSV::asset_value(const std::string& name, std::int64_t time) const {
    // A time without a calendar date cannot be looked up in any series. Every
    // time within about 250,000 years of the epoch has one, so only the rest
    // needs the full conversion.
    constexpr std::int64_t ALWAYS_CIVIL_MS = 8'000'000'000'000'000;
    if ((time > ALWAYS_CIVIL_MS || time < -ALWAYS_CIVIL_MS) && !civil_from_ms(time))
        throw EngineAbort("No such local time");
    if (name == base_) return 1.0;
    return value_;
}

}  // namespace mirvon
