#include "model/payment_runs.hpp"

namespace mirvon {

void PaymentRuns::after_event(EvGraph& graph, const TimeTable& tt, std::size_t i) {
    auto track = tt.track_key_at(i);
    if (!track) return;  // the roll reports the missing track; nothing here may hide it
    const auto k = static_cast<std::uint64_t>(*track);
    EvState& slot = graph.at(i);
    if (auto* ref = std::get_if<EvState::TrackRef>(&slot.v)) {
        // The referenced track is read here, and this track gets a value
        // known only in the roll.
        open_.erase(ref->track);
        open_.erase(k);
        return;
    }
    if (std::holds_alternative<EvState::Empty>(slot.v)) return;  // a snapper books nothing
    auto* pay = std::get_if<EvState::Pay>(&slot.v);
    if (pay == nullptr || tt.op_at(i).kind != Op::Kind::Add) {
        open_.erase(k);
        return;
    }
    auto [run, fresh] = open_.try_emplace(k, i);
    if (fresh) return;
    EvState& earlier = graph.at(run->second);
    if (add_assign(pay->value, std::get<EvState::Pay>(earlier.v).value))
        earlier.v = EvState::Empty{};
    run->second = i;
}

}  // namespace mirvon
