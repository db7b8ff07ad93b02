// Requests too large for the machine are refused before anything is
// allocated: zero-filling vectors beyond physical memory would leave the
// process to the kernel's out-of-memory killer instead of raising an error.
#pragma once
#include <cstddef>
#include <expected>
#include <string>

#include "core/errors.hpp"

namespace mirvon {

// Bytes of physical memory in the machine.
double physical_memory_bytes();

// An OutOfMemory error naming the request ("A grid of 2000000001 nodes"),
// what it needs and what the machine has, when `vectors` vectors of
// `elements` doubles each cannot fit in physical memory.
std::expected<void, ModelError> check_memory(const std::string& request, double elements, double vectors);

}  // namespace mirvon
