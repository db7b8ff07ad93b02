#include "model/forward_state.hpp"

#include <optional>

#include "core/overload.hpp"
#include "core/stop_check.hpp"
#include "model/regressed_choice.hpp"

namespace mirvon {

std::expected<void, ModelError> FwdModelStateGeneric::evolve_pvs_backward(const TimeTable& tt,
                                                                           std::uint32_t flags,
                                                                           const ChoiceRegression* regression) {
    std::optional<RegressedChoice> regressed;
    if (regression) regressed.emplace(regression->degree);
    auto book = [&](std::size_t t, std::uint64_t track, Vec value) -> std::expected<void, LedgerError> {
        const Op& op = tt.op_at(t);
        if (regressed && op.is_choice()) {
            const std::vector<Vec> regressors = graph.take_regressors(t);
            if (!regressors.empty()) {
                auto decide = [&](const Vec& pv, const Vec& v) { return regressed->winners(op, v, pv, regressors); };
                return ledger.one_track_choice(track, std::move(value), decide, t, flags);
            }
        }
        return ledger.one_track_event(op, track, std::move(value), t, flags);
    };
    StopPoll poll(ledger.num_paths());
    while (graph.size() > 0) {
        if (poll.stop()) return std::unexpected(stop_error());
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
                [&](EvState::Pay& p) { return book(t, k, std::move(p.value)); },
                [&](EvState::TrackRef& r) -> std::expected<void, LedgerError> {
                    auto pv = ledger.pv_vec(r.track);
                    if (!pv) return std::unexpected(std::move(pv.error()));
                    return book(t, k, Vec(**pv));
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
