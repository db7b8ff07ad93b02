// Import of the events record batch through the Arrow PyCapsule protocol.
#pragma once
#include <optional>

#include "arrow/record_batch.hpp"
#include "python/py_ref.hpp"

namespace mirvon::py {

// Nothing, with a Python exception set, when the object is not a record batch.
std::optional<arrow::RecordBatch> import_record_batch(const char* function, const char* parameter,
                                                      PyObject* object);

}  // namespace mirvon::py
