// Builds the timetable from the imported batch and the expressions dictionary.
#pragma once
#include <expected>

#include "python/py_errors.hpp"
#include "timetable/timetable.hpp"

namespace mirvon::py {

std::expected<TimeTable, PyTimeTableError> create_timetable(const arrow::RecordBatch& batch,
                                                           PyObject* expressions);

}  // namespace mirvon::py
