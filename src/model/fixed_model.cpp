#include "model/fixed_model.hpp"

namespace mirvon {

std::expected<void, ModelError> Fixed::on_event_time(FwdModelStateGeneric& state, std::int64_t time,
                                                     std::int64_t) const {
    // Looked up again for every event, including events at the previous time.
    auto df = assets_.discount_factor(year_fraction(time, pricing_ts_));
    if (!df) return std::unexpected(ModelError(std::move(df.error())));
    state.discount.assign(1, *df);
    return {};
}

std::expected<Vec, ModelError> Fixed::asset_value(const FwdModelStateGeneric&, const Vec& q,
                                                  const std::string& name, std::int64_t time) const {
    return market_value(assets_, q, name, year_fraction(time, pricing_ts_));
}

std::expected<double, ModelError> Fixed::price(const Ledger& ledger) const {
    auto pv = ledger.pv_vec(0);
    if (!pv) return std::unexpected(ModelError(std::move(pv.error())));
    if ((*pv)->empty()) return std::unexpected(ModelError::message("Empty PV Vector"));
    return (**pv)[0];
}

}  // namespace mirvon
