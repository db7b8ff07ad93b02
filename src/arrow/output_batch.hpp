// Builds a record batch of two non-nullable columns, a UInt64 and a Float64
// one, as C data interface structures that release their memory themselves.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "arrow/c_abi.hpp"

namespace mirvon::arrow {

struct ExportedBatch {
    ArrowSchema schema;
    ArrowArray array;
};

// The columns must have equal lengths; the vectors' storage is taken over.
ExportedBatch export_u64_f64_batch(const std::string& u64_name, std::vector<std::uint64_t> u64_values,
                                   const std::string& f64_name, std::vector<double> f64_values);

}  // namespace mirvon::arrow
