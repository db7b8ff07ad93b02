#include "fd/grid_budget.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/format.hpp"
#include "core/memory_budget.hpp"

namespace mirvon {

namespace {

// Vectors of one value per node that the pass keeps besides the tracks' own:
// the grid and the model's asset values, the matrices and eliminations of the
// steps kept for reuse (three of nine vectors each), and an event's value on
// its way to the ledger.
constexpr double GRID_VECTORS = 32;

// A grid whose work would run for hours is refused up front instead of
// appearing to hang. Work is counted in node steps: the vectors of two
// tracks rolled back over one node for one step, which cost about as much
// as one track's (they share one sweep). The limit is about a minute's work
// on a current core; a step's fixed cost counts as that many nodes.
constexpr double MAX_GRID_WORK = 2e9;
constexpr double STEP_COST_IN_NODES = 10;

}  // namespace

std::expected<void, ModelError> check_grid_memory(const FdParams& p, const TimeTable& tt) {
    const auto events = static_cast<double>(tt.num_events());
    double vectors = GRID_VECTORS + static_cast<double>(tt.num_tracks());
    if (p.flags & FLAG_CASHFLOW) vectors += events;
    if (p.flags & FLAG_CHOICES) vectors += events;
    const auto nodes = static_cast<double>(p.n_nodes);
    if (fits_in_memory(nodes, vectors)) return {};
    return std::unexpected(out_of_memory("A grid of " + std::to_string(p.n_nodes) + " nodes", nodes, vectors));
}

std::expected<void, ModelError> check_grid_work(const FdParams& p, const TimeTable& tt, std::int64_t last_time,
                                                std::int64_t delta) {
    std::int64_t earliest = p.pricing_ts;
    for (std::size_t i = 0; i < tt.num_events(); ++i)
        if (auto t = tt.time_at(i)) earliest = std::min(earliest, *t);
    const double steps = std::floor((static_cast<double>(last_time) - static_cast<double>(earliest)) /
                                    static_cast<double>(delta)) +
                         static_cast<double>(tt.num_events());
    const double sweeps = static_cast<double>(std::max<std::size_t>((tt.num_tracks() + 1) / 2, 1));
    const double per_step = static_cast<double>(p.n_nodes) * sweeps + STEP_COST_IN_NODES;
    const double work = steps * per_step;
    if (work <= MAX_GRID_WORK) return {};
    return std::unexpected(ModelError::message(
        "The grid would take about " + format_float(std::floor(work)) + " node steps (" +
        format_float(steps) + " steps of TIMESTEP over " + std::to_string(p.n_nodes) +
        " nodes), more than " + format_float(MAX_GRID_WORK) + "; use a longer TIMESTEP or a smaller N_X"));
}

}  // namespace mirvon
