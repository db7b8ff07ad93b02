// How a forward model values the names of a contract: assets (the model's
// own answer), snaps, phrases, and the booking of a valued event.
#pragma once
#include <cstdint>
#include <expected>
#include <string>

#include "model/forward_state.hpp"

namespace mirvon {

class FwdModel {
public:
    virtual ~FwdModel() = default;
    // The named asset's value at the event time, times the quantity vector.
    virtual std::expected<Vec, ModelError> asset_value(const FwdModelStateGeneric& state, const Vec& q,
                                                       const std::string& name,
                                                       std::int64_t time) const = 0;
};

// The value of a name with quantity 1: a phrase, else a stored snap, else an asset.
std::expected<Vec, ModelError> name_value(const FwdModel& model, const FwdModelStateGeneric& state,
                                          const TimeTable& tt, const std::string& name,
                                          std::int64_t time);
// The last output of a phrase evaluated on the values of its inputs.
std::expected<Vec, ModelError> phrase_value_1(const FwdModel& model, const FwdModelStateGeneric& state,
                                              const TimeTable& tt, const EvalPhrase& phrase,
                                              std::int64_t time);
// Books one valued event: a plain payment, or a payment under a condition.
std::expected<void, ModelError> gr_save(const FwdModel& model, FwdModelStateGeneric& state,
                                        const TimeTable& tt, std::size_t event, Vec value, const Op& op,
                                        std::int64_t time);
// Values event i's unit with the discounted quantity q and books it; failures
// come back as event errors.
std::expected<void, ModelError> value_event(const FwdModel& model, FwdModelStateGeneric& state,
                                            const TimeTable& tt, std::size_t event, std::int64_t time,
                                            const Vec& q);

// q times a value the caller hands over; the value's storage is reused when
// the product has its length.
std::expected<Vec, ModelError> times(const Vec& q, Vec value);

ModelError event_error(const TimeTable& tt, std::size_t event, std::string cause);
ModelError event_in_past(const TimeTable& tt, std::size_t event, std::int64_t current_time);

}  // namespace mirvon
