#include "fd/fd_engine.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/format.hpp"
#include "core/stop_check.hpp"
#include "fd/grid_budget.hpp"
#include "fd/step_cache.hpp"
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

bool moves_grid(std::int64_t grid_ts, std::int64_t t0) {
    // Steps shorter than about 3 ms, or forward in time, leave the grid where it stands.
    return !(year_fraction(grid_ts, t0) < 1e-10);
}

// Reused across the steps of one run, so the hot loop allocates nothing.
struct StepWork {
    explicit StepWork(bool reuse) : cache(reuse) {}
    StepCache cache;
    StepCache::Entry* prepared = nullptr;  // the coming step's matrices, when known ahead
    std::optional<ModelError> next_error;  // finding the coming step's terms failed
    std::vector<Vec*> tracks;
};

// v := Q^-1 (P v) for every track, with the matrices of `step`. With `next`,
// the first sweep also eliminates the next step's Q.
void sweep_tracks(FdState& state, StepWork& work, StepCache::Entry& step, StepCache::Entry* next) {
    work.tracks.clear();
    for (auto& [track, v] : state.ledger.pvs_by_track_mut()) work.tracks.push_back(&v);
    const Tridiagonal& p = step.m.p;
    const Tridiagonal& q = step.m.q;
    const Tridiagonal* q_next = next ? &next->m.q : nullptr;
    Elimination* next_elim = next ? &next->elim : nullptr;
    // Tracks go through the sweep in pairs, which costs little more than one.
    std::size_t k = 0;
    for (; k + 1 < work.tracks.size(); k += 2, q_next = nullptr)
        cn_sweep(p, q, step.elim, *work.tracks[k], *work.tracks[k + 1], q_next, next_elim);
    if (k < work.tracks.size()) cn_sweep(p, q, step.elim, *work.tracks[k], q_next, next_elim);
}

std::int64_t minus_saturating(std::int64_t a, std::int64_t b) {
    if (a < std::numeric_limits<std::int64_t>::min() + b) return std::numeric_limits<std::int64_t>::min();
    return a - b;
}

// The backward pass in order: for each event from the last to the first, the
// steps down the lattice while the cursor lies above the event's time, the
// step that lands on it, and the event; then the same down to the valuation
// time. Steps that would not move the grid are left out. Knowing the order
// ahead lets a step prepare the next one.
class Schedule {
public:
    enum class Kind { Step, Event, NoTime, Done };
    struct Action {
        Kind kind;
        std::int64_t time;  // the step's target, or the event's time
        std::size_t event;
    };

    Schedule(const TimeTable& tt, std::int64_t grid_ts, std::int64_t delta, std::int64_t pricing_ts)
        : tt_(&tt), events_left_(tt.num_events()), grid_ts_(grid_ts), cursor_(minus_saturating(grid_ts, delta)),
          delta_(delta), pricing_ts_(pricing_ts) {}

    Action next() {
        for (;;) {
            if (done_) return {Kind::Done, 0, 0};
            if (!has_target_) {
                if (events_left_ == 0) {
                    final_ = true;
                    target_ = pricing_ts_;
                } else {
                    auto t = tt_->time_at(events_left_ - 1);
                    if (!t) return {Kind::NoTime, 0, events_left_ - 1};
                    target_ = *t;
                }
                has_target_ = true;
                landed_ = false;
            }
            if (cursor_ > target_) {
                const std::int64_t to = cursor_;
                cursor_ = minus_saturating(cursor_, delta_);
                if (moves_grid(grid_ts_, to)) return step(to);
                continue;
            }
            if (!landed_) {
                landed_ = true;
                if (moves_grid(grid_ts_, target_)) return step(target_);
            }
            has_target_ = false;
            if (final_) {
                done_ = true;
                continue;
            }
            --events_left_;
            return {Kind::Event, target_, events_left_};
        }
    }

    // The next step, looking past events; none if the pass ends or fails first.
    std::optional<std::int64_t> peek_step() const {
        Schedule ahead = *this;
        for (;;) {
            const Action a = ahead.next();
            if (a.kind == Kind::Step) return a.time;
            if (a.kind != Kind::Event) return std::nullopt;
        }
    }

private:
    Action step(std::int64_t to) {
        grid_ts_ = to;
        return {Kind::Step, to, 0};
    }

    const TimeTable* tt_;
    std::size_t events_left_;  // events not yet applied: indices below this
    std::int64_t grid_ts_;     // where the grid stands once the actions so far are taken
    std::int64_t cursor_;
    std::int64_t delta_;
    std::int64_t pricing_ts_;
    std::int64_t target_ = 0;
    bool has_target_ = false;
    bool landed_ = false;
    bool final_ = false;
    bool done_ = false;
};

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

// One step of every track's vector from the grid's time back to t0. A step
// whose terms match one taken before reuses its matrices and elimination.
// The step after it (at t_next, if any) has terms that depend on its times
// alone, not on the values the events in between book: they are found now,
// and a step not seen before is built so that this step's sweep can
// eliminate it on the way. A failure there waits until that step is
// reached, as events in between may fail first.
std::expected<void, ModelError> step_back(const FDCN& model, FdState& state, std::int64_t t0,
                                          std::optional<std::int64_t> t_next, StepWork& work) {
    if (work.next_error) return std::unexpected(std::move(*work.next_error));
    StepCache::Entry* step = work.prepared;
    if (!step) {
        auto terms = model.step_terms(state, t0);
        if (!terms) return std::unexpected(std::move(terms.error()));
        step = work.cache.find(*terms);
        if (!step) step = &work.cache.build(model, state, *terms, nullptr);
    }
    state.grid_ts = t0;
    work.prepared = nullptr;
    StepCache::Entry* to_eliminate = nullptr;
    if (t_next) {
        if (auto terms = model.step_terms(state, *t_next); !terms) {
            work.next_error = std::move(terms.error());
        } else if (!(work.prepared = work.cache.find(*terms))) {
            work.prepared = to_eliminate = &work.cache.build(model, state, *terms, step);
        }
    }
    sweep_tracks(state, work, *step, to_eliminate);
    return {};
}

}  // namespace

bool StepTerms::operator==(const StepTerms& other) const {
    for (std::size_t i = 0; i < values.size(); ++i)
        if (std::bit_cast<std::uint64_t>(values[i]) != std::bit_cast<std::uint64_t>(other.values[i])) return false;
    return true;
}

std::expected<Ledger, ModelError> calculate_fd(const FDCN& model, const TimeTable& tt, GridPassOptions options) {
    const FdParams& p = model.params();
    const std::size_t n = tt.num_events();
    // Without events there is nothing to roll: the ledger stays empty.
    if (n == 0) return Ledger(p.n_nodes);
    auto last_time = tt.time_at(n - 1);
    if (!last_time) return std::unexpected(event_error(tt, n - 1, "No event time"));
    // Validated when the parameters were read.
    const std::int64_t delta = *step_length_ms(p.timestep);
    if (auto ok = check_grid_memory(p, tt); !ok) return std::unexpected(std::move(ok.error()));
    auto state = model.create_state_cn(*last_time);
    if (!state) return std::unexpected(std::move(state.error()));
    if (auto ok = check_grid_work(p, tt, state->grid_ts, delta); !ok)
        return std::unexpected(std::move(ok.error()));
    Schedule schedule(tt, state->grid_ts, delta, p.pricing_ts);
    StepWork work(options.reuse_repeated_steps);
    StopPoll poll(p.n_nodes);
    for (;;) {
        const Schedule::Action a = schedule.next();
        if (poll.stop()) return std::unexpected(stop_error());
        switch (a.kind) {
            case Schedule::Kind::Done:
                return std::move(state->ledger);
            case Schedule::Kind::NoTime:
                return std::unexpected(event_error(tt, a.event, "No event time"));
            case Schedule::Kind::Event:
                if (auto ok = apply_event(model, *state, tt, a.event, a.time); !ok)
                    return std::unexpected(event_error(tt, a.event, ok.error().text()));
                break;
            case Schedule::Kind::Step:
                if (auto ok = step_back(model, *state, a.time, schedule.peek_step(), work); !ok)
                    return std::unexpected(std::move(ok.error()));
                break;
        }
    }
}

std::expected<double, ModelError> price_fd(const FDCN& model, const Ledger& ledger) {
    auto pv = ledger.pv_vec(0);
    if (!pv) return std::unexpected(ModelError(std::move(pv.error())));
    const std::size_t centre = model.params().n_x;
    if (centre >= (*pv)->size()) return std::unexpected(ModelError::message("Empty PV Vector"));
    return (**pv)[centre];
}

}  // namespace mirvon
