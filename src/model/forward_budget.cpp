#include "model/forward_budget.hpp"

#include <string>

#include "core/memory_budget.hpp"
#include "ledger/ledger.hpp"

namespace mirvon {

namespace {

// Besides slots and tracks: the discount vector, the event's quantity and
// value, and the roll's working copy of a present value.
constexpr double WORKING_VECTORS = 4;

// Slots that may hold a vector: a track reference's slot holds none.
double value_slots(const TimeTable& tt) {
    double slots = 0;
    for (std::size_t i = 0; i < tt.num_events(); ++i) {
        auto key = tt.unit_key_at(i);
        if (!key || tt.unit_by_key(*key).kind != Unit::Kind::Track) slots += 1;
    }
    return slots;
}

std::expected<void, ModelError> check(std::size_t paths, const TimeTable& tt, std::uint32_t flags, double slots) {
    const auto events = static_cast<double>(tt.num_events());
    double vectors = WORKING_VECTORS + slots + static_cast<double>(tt.num_tracks());
    if (flags & FLAG_CASHFLOW) vectors += events;
    if (flags & FLAG_CHOICES) vectors += events;
    const auto elements = static_cast<double>(paths);
    if (fits_in_memory(elements, vectors)) return {};
    return std::unexpected(out_of_memory(
        "A run of " + std::to_string(paths) + " paths over " + std::to_string(tt.num_events()) + " events",
        elements, vectors));
}

}  // namespace

std::expected<void, ModelError> check_forward_memory(std::size_t paths, const TimeTable& tt, std::uint32_t flags) {
    // Every slot counted as a vector first: the events are only looked at
    // when that bound does not fit.
    if (auto ok = check(paths, tt, flags, static_cast<double>(tt.num_events()))) return ok;
    return check(paths, tt, flags, value_slots(tt));
}

}  // namespace mirvon
