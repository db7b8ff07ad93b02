// Adds up, during the forward pass, the "+" payments of a track that follow
// one another with nothing in between that reads the track or chooses on it,
// so that the roll keeps one vector per run instead of one per event.
#pragma once
#include <cstdint>
#include <unordered_map>

#include "ledger/ev_graph.hpp"
#include "ledger/ledger.hpp"
#include "timetable/timetable.hpp"

namespace mirvon {

class PaymentRuns {
public:
    // A run is added in event order where the roll would add it backwards,
    // which moves present values by rounding. That pays where every value
    // is a vector over many paths held until the roll, and where no choice
    // or cashflow is recorded (those keep their exact order).
    static bool worthwhile(std::size_t paths, std::uint32_t flags) {
        return paths > 1 && (flags & (FLAG_CHOICES | FLAG_CASHFLOW)) == 0;
    }

    // Looks at event i's slot right after the forward pass booked it: a
    // payment joins its track's open run and the run's total moves to its
    // slot; anything else that touches a track closes that track's run.
    void after_event(EvGraph& graph, const TimeTable& tt, std::size_t i);

private:
    std::unordered_map<std::uint64_t, std::size_t> open_;  // track -> slot holding its run's total
};

}  // namespace mirvon
