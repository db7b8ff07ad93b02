#include "core/memory_budget.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace mirvon {

namespace {
constexpr double GB = 1024.0 * 1024.0 * 1024.0;

std::string whole_gb(double bytes) {
    return std::to_string(static_cast<long long>(std::llround(std::min(bytes / GB, 1e15)))) + " GB";
}
}  // namespace

double physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    // Unknown: nothing is refused up front, allocation failures still are.
    if (pages <= 0 || page_size <= 0) return INFINITY;
    return static_cast<double>(pages) * static_cast<double>(page_size);
}

std::expected<void, ModelError> check_memory(const std::string& request, double elements, double vectors) {
    const double needed = elements * vectors * static_cast<double>(sizeof(double));
    const double available = physical_memory_bytes();
    if (needed <= available) return {};
    return std::unexpected(ModelError(ModelError::OutOfMemory{request + " needs about " + whole_gb(needed) +
                                                              "; this machine has " + whole_gb(available)}));
}

}  // namespace mirvon
