// Forward runs whose vectors over paths the machine cannot hold are refused
// before anything is allocated.
#pragma once
#include <cstddef>
#include <cstdint>
#include <expected>

#include "timetable/timetable.hpp"

namespace mirvon {

// A vector of `paths` values for every event's slot and every track, and for
// the statistics that `flags` records, against physical memory; refused as
// ModelError::OutOfMemory.
std::expected<void, ModelError> check_forward_memory(std::size_t paths, const TimeTable& tt, std::uint32_t flags);

}  // namespace mirvon
