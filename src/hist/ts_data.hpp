// Sources of observed values for a backtest.
#pragma once
#include <cstdint>
#include <expected>
#include <string>

#include "core/errors.hpp"

namespace mirvon {

class TsData {
public:
    virtual ~TsData() = default;
    // The value of the named asset at a millisecond timestamp.
    virtual std::expected<double, ModelError> asset_value(const std::string& name,
                                                          std::int64_t time) const = 0;
};

// A constant source: the base asset is worth 1, every other asset the same value.
class TsDataCSV final : public TsData {
public:
    TsDataCSV(std::string base, double value) : base_(std::move(base)), value_(value) {}
    std::expected<double, ModelError> asset_value(const std::string& name,
                                                  std::int64_t time) const override;

private:
    std::string base_;
    double value_;
};

}  // namespace mirvon
