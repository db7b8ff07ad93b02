// The deterministic model: one path, discounting with the base curve and
// assets at their market-data forwards.
#pragma once
#include <cstdint>

#include "model/forward_engine.hpp"

namespace mirvon {

class Fixed final : public ForwardEngine {
public:
    Fixed(Assets assets, std::int64_t pricing_ts, std::uint32_t flags)
        : assets_(std::move(assets)), pricing_ts_(pricing_ts), flags_(flags) {}

    std::uint32_t flags() const { return flags_; }
    std::expected<Ledger, ModelError> calculate(const TimeTable& tt) const {
        return calculate_forward(*this, tt, flags_);
    }
    // Track 0's present value on the single path.
    std::expected<double, ModelError> price(const Ledger& ledger) const;

    std::size_t paths() const override { return 1; }
    std::int64_t start_time() const override { return pricing_ts_; }
    std::expected<void, ModelError> on_event_time(FwdModelStateGeneric& state, std::int64_t time,
                                                  std::int64_t current_time) const override;
    std::expected<Vec, ModelError> asset_value(const FwdModelStateGeneric& state, const Vec& q,
                                               const std::string& name, std::int64_t time) const override;

private:
    Assets assets_;
    std::int64_t pricing_ts_;
    std::uint32_t flags_;
    // Lookup aids that never change a result: events at the same time get the
    // same discount factor again, and event times never decrease, so the base
    // curve's search resumes where the previous event left it.
    struct LastDiscount {
        std::int64_t time = 0;
        double factor = 0.0;
        bool known = false;
        std::size_t segment = 0;
    };
    mutable LastDiscount last_discount_;
};

}  // namespace mirvon
