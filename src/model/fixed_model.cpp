#include "model/fixed_model.hpp"

namespace mirvon {

std::expected<void, ModelError> Fixed::on_event_time(FwdModelStateGeneric& state, std::int64_t time,
                                                     std::int64_t) const {
    // Every event gets the discount factor at its time; a repeated time gets
    // the factor the previous lookup gave.
    LastDiscount& last = last_discount_;
    if (!last.known || last.time != time) {
        auto df = assets_.discount_factor(year_fraction(time, pricing_ts_), last.segment);
        if (!df) return std::unexpected(ModelError(std::move(df.error())));
        last = LastDiscount{time, *df, true, last.segment};
    }
    state.discount.assign(1, last.factor);
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
