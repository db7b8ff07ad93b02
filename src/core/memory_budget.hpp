// Requests too large for the machine are refused before anything is
// allocated: zero-filling vectors beyond physical memory would leave the
// process to the kernel's out-of-memory killer instead of raising an error.
#pragma once
#include <string>

#include "core/errors.hpp"

namespace mirvon {

// Bytes of physical memory in the machine.
double physical_memory_bytes();

// Whether `vectors` vectors of `elements` doubles each fit in physical memory.
bool fits_in_memory(double elements, double vectors);

// The refusal of such a request, named by `request` ("A grid of 2000000001
// nodes"), with what it needs and what the machine has; raised as MemoryError.
ModelError out_of_memory(const std::string& request, double elements, double vectors);

}  // namespace mirvon
