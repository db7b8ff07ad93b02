#include "core/memory_budget.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace mirvon {

namespace {

constexpr double GB = 1024.0 * 1024.0 * 1024.0;

double bytes_of(double elements, double vectors) { return elements * vectors * sizeof(double); }

std::string whole_gb(double bytes) {
    return std::to_string(static_cast<long long>(std::llround(std::min(bytes / GB, 1e15)))) + " GB";
}

}  // namespace

double physical_memory_bytes() {
    static const double bytes = []() -> double {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGESIZE);
        // Unknown: nothing is refused up front, allocation failures still are.
        if (pages <= 0 || page_size <= 0) return INFINITY;
        return static_cast<double>(pages) * static_cast<double>(page_size);
    }();
    return bytes;
}

bool fits_in_memory(double elements, double vectors) {
    return bytes_of(elements, vectors) <= physical_memory_bytes();
}

ModelError out_of_memory(const std::string& request, double elements, double vectors) {
    return ModelError::OutOfMemory{request + " needs about " + whole_gb(bytes_of(elements, vectors)) +
                                   "; this machine has " + whole_gb(physical_memory_bytes())};
}

}  // namespace mirvon
