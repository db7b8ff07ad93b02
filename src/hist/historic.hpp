// The backtest engine: the forward pass on one path over a time-series
// source, from the epoch, with cashflows recorded.
#pragma once
#include <memory>

#include "hist/ts_data.hpp"
#include "model/forward_engine.hpp"

namespace mirvon {

class Historic final : public ForwardEngine {
public:
    Historic(std::unique_ptr<TsData> source, std::uint32_t flags)
        : source_(std::move(source)), flags_(flags) {}

    std::expected<Ledger, ModelError> calculate(const TimeTable& tt) const {
        return calculate_forward(*this, tt, flags_);
    }

    std::size_t paths() const override { return 1; }
    std::int64_t start_time() const override { return 0; }
    // Nothing is discounted in a backtest.
    std::expected<void, ModelError> on_event_time(FwdModelStateGeneric&, std::int64_t,
                                                  std::int64_t) const override {
        return {};
    }
    std::expected<Vec, ModelError> asset_value(const FwdModelStateGeneric& state, const Vec& q,
                                               const std::string& name, std::int64_t time) const override;

private:
    std::unique_ptr<TsData> source_;
    std::uint32_t flags_;
};

}  // namespace mirvon
