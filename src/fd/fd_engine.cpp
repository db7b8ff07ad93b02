#include "fd/fd_engine.hpp"

#include <cmath>
#include <algorithm>
#include <limits>
#include <vector>

#include "core/format.hpp"

#include "model/lang_model.hpp"

namespace mirvon {

FdState::FdState(std::size_t n_x, double max_x, std::int64_t time)
    : ledger(2 * n_x + 1), grid(2 * n_x + 1), grid_ts(time), dx(max_x / static_cast<double>(n_x)),
      n_nodes(2 * n_x + 1) {
    const double spacing = (-max_x - max_x) / (2.0 * static_cast<double>(n_x));
    for (std::size_t i = 0; i < n_nodes; ++i) grid[i] = max_x + static_cast<double>(i) * spacing;
}

void CnMatrices::derive_implicit() {
    const std::size_t n = p.n;
    if (q.n != n) q = Tridiagonal(n);
    for (std::size_t i = 0; i < n; ++i) {
        q.lower[i] = -p.lower[i];
        q.upper[i] = -p.upper[i];
        q.diag[i] = -2.0 - p.diag[i];
    }
}

std::optional<std::int64_t> step_length_ms(double timestep) {
    const double ms = timestep * MS_PER_YEAR;
    if (!(ms >= 1.0) || ms >= 9.2e18) return std::nullopt;
    return static_cast<std::int64_t>(ms);
}

namespace {

// Reused across the steps of one run, so the hot loop allocates nothing.
struct StepWork {
    CnMatrices m;
    Elimination elim;
    std::vector<Vec*> tracks;
};

std::expected<void, ModelError> step_back_with(const FDCN& model, FdState& state, std::int64_t t0,
                                               StepWork& work) {
    // Steps shorter than about 3 ms, or forward in time, leave the grid where it stands.
    if ((static_cast<double>(state.grid_ts) - static_cast<double>(t0)) / MS_PER_YEAR < 1e-10) return {};
    if (auto ok = model.cn_coefficients(state, t0, work.m); !ok) return ok;
    work.m.derive_implicit();
    work.elim.done = false;
    work.tracks.clear();
    for (auto& [track, v] : state.ledger.pvs_by_track_mut()) work.tracks.push_back(&v);
    // Tracks go through the sweep in pairs, which costs little more than one.
    std::size_t k = 0;
    for (; k + 1 < work.tracks.size(); k += 2) cn_sweep(work.m.p, work.m.q, work.elim, *work.tracks[k], *work.tracks[k + 1]);
    if (k < work.tracks.size()) cn_sweep(work.m.p, work.m.q, work.elim, *work.tracks[k]);
    state.grid_ts = t0;
    return {};
}

std::int64_t minus_saturating(std::int64_t a, std::int64_t b) {
    if (a < std::numeric_limits<std::int64_t>::min() + b) return std::numeric_limits<std::int64_t>::min();
    return a - b;
}

// Steps down the lattice while the cursor lies above the target, then lands on it.
std::expected<void, ModelError> roll_to(const FDCN& model, FdState& state, std::int64_t& cursor,
                                        std::int64_t delta, std::int64_t target, StepWork& work) {
    while (cursor > target) {
        if (auto ok = step_back_with(model, state, cursor, work); !ok) return ok;
        cursor = minus_saturating(cursor, delta);
    }
    return step_back_with(model, state, target, work);
}

std::expected<Vec, ModelError> event_value(const FDCN& model, const FdState& state, const TimeTable& tt,
                                           std::size_t i, std::int64_t t) {
    const double q = tt.quantity_at(i);
    auto key = tt.unit_key_at(i);
    if (!key) return std::unexpected(ModelError(ModelError::EventSpecs{"Missing Unit Name"}));
    const Unit& unit = tt.unit_by_key(*key);
    switch (unit.kind) {
        case Unit::Kind::Track: {
            auto pv = state.ledger.pv_vec(unit.track);
            if (!pv) return std::unexpected(ModelError(std::move(pv.error())));
            return scaled(**pv, q);
        }
        case Unit::Kind::Asset: {
            if (const Vec* v = model.get_model_val_cn(state, unit.name)) return scaled(*v, q);
            auto fwd = model.params().assets.asset_value(unit.name,
                                                         year_fraction(t, model.params().pricing_ts));
            if (!fwd) return std::unexpected(ModelError(std::move(fwd.error())));
            return Vec{q * *fwd};
        }
        case Unit::Kind::Snapper:
            return std::unexpected(ModelError(ModelError::NotImplemented{"Snapper in FD: " + unit.name}));
        case Unit::Kind::Snap:
            return std::unexpected(ModelError(ModelError::NotImplemented{"Snap in FD: " + unit.name}));
        case Unit::Kind::Phrase:
            return std::unexpected(ModelError(ModelError::NotImplemented{"Phrase in FD: " + unit.name}));
        case Unit::Kind::Batch:
            return std::unexpected(ModelError(ModelError::NotImplemented{"Batch in FD: " + unit.name}));
        case Unit::Kind::Null:
            break;
    }
    return std::unexpected(ModelError(ModelError::EventSpecs{"Unknown Unit"}));
}

std::expected<void, ModelError> apply_event(const FDCN& model, FdState& state, const TimeTable& tt,
                                            std::size_t i, std::int64_t t) {
    auto values = event_value(model, state, tt, i, t);
    if (!values) return std::unexpected(std::move(values.error()));
    auto track = tt.track_key_at(i);
    if (!track) return std::unexpected(ModelError(std::move(track.error())));
    auto ok = state.ledger.one_track_event(tt.op_at(i), static_cast<std::uint64_t>(*track),
                                           std::move(*values), i, model.params().flags);
    if (!ok) return std::unexpected(ModelError(std::move(ok.error())));
    return {};
}

// A lattice far finer than the contract's span would run for hours: refuse it
// up front instead of appearing to hang.
constexpr double MAX_GRID_STEPS = 1e8;

std::expected<void, ModelError> check_step_count(const TimeTable& tt, std::int64_t pricing_ts,
                                                 std::int64_t last_time, std::int64_t delta) {
    std::int64_t earliest = pricing_ts;
    for (std::size_t i = 0; i < tt.num_events(); ++i)
        if (auto t = tt.time_at(i)) earliest = std::min(earliest, *t);
    const double steps = (static_cast<double>(last_time) - static_cast<double>(earliest)) /
                             static_cast<double>(delta) + static_cast<double>(tt.num_events());
    if (steps <= MAX_GRID_STEPS) return {};
    return std::unexpected(ModelError::message(
        "The grid would take about " + format_float(std::floor(steps)) + " steps of TIMESTEP, more than " +
        format_float(MAX_GRID_STEPS) + "; use a longer TIMESTEP"));
}

}  // namespace

std::expected<void, ModelError> step_back(const FDCN& model, FdState& state, std::int64_t t0) {
    StepWork work;
    return step_back_with(model, state, t0, work);
}

std::expected<Ledger, ModelError> calculate_fd(const FDCN& model, const TimeTable& tt) {
    const FdParams& p = model.params();
    const std::size_t n = tt.num_events();
    // Without events there is nothing to roll: the ledger stays empty.
    if (n == 0) return Ledger(p.n_nodes);
    auto last_time = tt.time_at(n - 1);
    if (!last_time) return std::unexpected(event_error(tt, n - 1, "No event time"));
    auto state = model.create_state_cn(*last_time);
    if (!state) return std::unexpected(std::move(state.error()));
    // Validated when the parameters were read.
    const std::int64_t delta = *step_length_ms(p.timestep);
    if (auto ok = check_step_count(tt, p.pricing_ts, state->grid_ts, delta); !ok)
        return std::unexpected(std::move(ok.error()));
    std::int64_t cursor = minus_saturating(state->grid_ts, delta);
    StepWork work;
    for (std::size_t i = n; i-- > 0;) {
        auto t = tt.time_at(i);
        if (!t) return std::unexpected(event_error(tt, i, "No event time"));
        if (auto ok = roll_to(model, *state, cursor, delta, *t, work); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = apply_event(model, *state, tt, i, *t); !ok)
            return std::unexpected(event_error(tt, i, ok.error().text()));
    }
    if (auto ok = roll_to(model, *state, cursor, delta, p.pricing_ts, work); !ok)
        return std::unexpected(std::move(ok.error()));
    return std::move(state->ledger);
}

std::expected<double, ModelError> price_fd(const FDCN& model, const Ledger& ledger) {
    auto pv = ledger.pv_vec(0);
    if (!pv) return std::unexpected(ModelError(std::move(pv.error())));
    const std::size_t centre = model.params().n_x;
    if (centre >= (*pv)->size()) return std::unexpected(ModelError::message("Empty PV Vector"));
    return (**pv)[centre];
}

}  // namespace mirvon
