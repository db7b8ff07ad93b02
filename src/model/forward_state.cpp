#include "model/forward_state.hpp"

#include "core/overload.hpp"

namespace mirvon {

std::expected<void, ModelError> FwdModelStateGeneric::evolve_pvs_backward(const TimeTable& tt,
                                                                           std::uint32_t flags) {
    while (graph.size() > 0) {
        const std::size_t t = graph.size() - 1;
        EvState& slot = graph.back();
        if (std::holds_alternative<EvState::Empty>(slot.v)) {
            graph.pop_back();
            continue;
        }
        auto track = tt.track_key_at(t);
        if (!track) return std::unexpected(ModelError(std::move(track.error())));
        const auto k = static_cast<std::uint64_t>(*track);
        std::expected<void, LedgerError> booked = std::visit(
            Overload{
                [](EvState::Empty&) -> std::expected<void, LedgerError> { return {}; },
                [&](EvState::Pay& p) {
                    return ledger.one_track_event(tt.op_at(t), k, std::move(p.value), t, flags);
                },
                [&](EvState::TrackRef& r) -> std::expected<void, LedgerError> {
                    auto pv = ledger.pv_vec(r.track);
                    if (!pv) return std::unexpected(std::move(pv.error()));
                    return ledger.one_track_event(tt.op_at(t), k, Vec(**pv), t, flags);
                },
                [&](EvState::CondPay& c) {
                    return ledger.one_track_weights(std::move(c.data->condition), k, std::move(c.data->value),
                                                    t, flags);
                },
            },
            slot.v);
        if (!booked) return std::unexpected(ModelError(std::move(booked.error())));
        graph.pop_back();
    }
    return {};
}

}  // namespace mirvon
