// Exercise decisions without hindsight: a choice event compares its value
// with a least-squares estimate of the track's continuation from the state at
// its date, instead of with the continuation of the path's own future.
#pragma once
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "ledger/ledger.hpp"
#include "model/lang_model.hpp"
#include "model/regression.hpp"

namespace mirvon {

struct ChoiceRegression {
    std::vector<std::string> regressors;  // none: choices compare with each path's own continuation
    std::size_t degree = 2;               // total degree of the polynomial basis
};

// The regressors of a choice event, valued like a phrase's inputs at its
// time; a failure is an event error naming the regressor.
std::expected<std::vector<Vec>, ModelError> value_regressors(const FwdModel& model, const FwdModelStateGeneric& state,
                                                             const TimeTable& tt, std::size_t event, std::int64_t time,
                                                             const std::vector<std::string>& names,
                                                             std::size_t paths);

// Decides choice events by regression, one after another through a
// backward roll, keeping its buffers from one event to the next.
class RegressedChoice {
public:
    explicit RegressedChoice(std::size_t degree) : fit_(degree) {}

    // The paths, ascending, where the event's value wins (">": is larger,
    // "<": is smaller) against the continuation fitted on the regressors;
    // valid until the next call.
    //
    // Where the value cannot beat even the lowest (for "<" the highest)
    // continuation of any path, no estimate could make it win: those paths
    // keep their continuation and take no part in the fit, which then spends
    // its few basis functions where the decision is made. For an option,
    // whose continuation is never below 0, these are the paths out of the
    // money.
    std::span<const std::size_t> winners(const Op& op, const Vec& value, const Vec& continuation,
                                         std::span<const Vec> regressors);

private:
    LeastSquaresFit fit_;
    // Sized to the paths once; the counts in use change from event to event.
    std::vector<std::size_t> can_win_;
    std::vector<std::size_t> winners_;
};

}  // namespace mirvon
