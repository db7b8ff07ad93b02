// Grids the machine cannot hold, or that would run for hours, are refused
// before anything is allocated.
#pragma once
#include <cstdint>
#include <expected>

#include "fd/fd_engine.hpp"

namespace mirvon {

// The grid's vectors, the tracks' and the recorded statistics' against
// physical memory; refused as ModelError::OutOfMemory.
std::expected<void, ModelError> check_grid_memory(const FdParams& p, const TimeTable& tt);

// The pass's work, from the last event's time back to the earliest of the
// events and the valuation time in steps of `delta` ms.
std::expected<void, ModelError> check_grid_work(const FdParams& p, const TimeTable& tt, std::int64_t last_time,
                                                std::int64_t delta);

}  // namespace mirvon
