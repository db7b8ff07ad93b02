// The state of a forward pricing run: graph slots written by the forward pass,
// snaps, the discount vector, and the ledger the backward roll fills.
#pragma once
#include <cstdint>
#include <expected>
#include <string>
#include <unordered_map>
#include <vector>

#include "ledger/ev_graph.hpp"
#include "ledger/ledger.hpp"
#include "timetable/timetable.hpp"

namespace mirvon {

struct ChoiceRegression;

struct FwdModelStateGeneric {
    FwdModelStateGeneric(const TimeTable& tt, std::size_t paths)
        : graph(tt.num_events()), ledger(paths), discount{1.0} {}

    // Applies the booked slots from the last event to the first. With a
    // regression, choice events that kept regressors decide by it.
    std::expected<void, ModelError> evolve_pvs_backward(const TimeTable& tt, std::uint32_t flags,
                                                        const ChoiceRegression* regression);
    Ledger into_ledger() && { return std::move(ledger); }

    EvGraph graph;
    std::unordered_map<std::string, Vec> snaps;
    Ledger ledger;
    Vec discount;
    // Names of the phrases whose inputs are being valued, outermost first:
    // bookkeeping of a read-only valuation, so that a phrase reached again
    // through its own inputs is reported instead of recursing without end.
    mutable std::vector<std::string> phrases_in_evaluation;
};

}  // namespace mirvon
