#include "model/forward_engine.hpp"

#include <optional>

#include "core/stop_check.hpp"
#include "model/forward_budget.hpp"
#include "model/payment_runs.hpp"

namespace mirvon {

std::expected<Ledger, ModelError> calculate_forward(const ForwardEngine& engine, const TimeTable& tt,
                                                    std::uint32_t flags) {
    if (auto ok = check_forward_memory(engine.paths(), tt, flags); !ok)
        return std::unexpected(std::move(ok.error()));
    FwdModelStateGeneric state(tt, engine.paths());
    const ChoiceRegression* regression = engine.choice_regression();
    std::int64_t current = engine.start_time();
    Vec q;  // the event's discounted quantity, reusing one buffer for every event
    StopPoll poll(engine.paths());
    std::optional<PaymentRuns> runs;
    if (PaymentRuns::worthwhile(engine.paths(), flags)) runs.emplace();
    for (std::size_t i = 0; i < tt.num_events(); ++i) {
        if (poll.stop()) return std::unexpected(stop_error());
        auto time = tt.time_at(i);
        if (!time) return std::unexpected(event_error(tt, i, engine.missing_time_cause()));
        if (*time < current) return std::unexpected(event_in_past(tt, i, current));
        if (auto ok = engine.on_event_time(state, *time, current); !ok)
            return std::unexpected(std::move(ok.error()));
        q.assign(state.discount.begin(), state.discount.end());
        for (double& x : q) x *= tt.quantity_at(i);
        if (auto ok = value_event(engine, state, tt, i, *time, q); !ok)
            return std::unexpected(std::move(ok.error()));
        if (regression && tt.op_at(i).is_choice()) {
            auto values = value_regressors(engine, state, tt, i, *time, regression->regressors, engine.paths());
            if (!values) return std::unexpected(std::move(values.error()));
            state.graph.save_regressors(i, std::move(*values));
        }
        if (runs) runs->after_event(state.graph, tt, i);
        current = *time;
    }
    if (auto ok = state.evolve_pvs_backward(tt, flags, regression); !ok) return std::unexpected(std::move(ok.error()));
    return std::move(state).into_ledger();
}

std::expected<Vec, ModelError> market_value(const Assets& assets, const Vec& q, const std::string& name,
                                            double t) {
    auto forward = assets.asset_value(name, t);
    if (!forward) return std::unexpected(ModelError(std::move(forward.error())));
    return scaled(q, *forward);
}

}  // namespace mirvon
