// Import of the events record batch through the Arrow PyCapsule protocol.
#pragma once
#include <optional>

#include "arrow/record_batch.hpp"
#include "python/py_ref.hpp"

namespace mirvon::py {

// An imported batch. Its release callbacks belong to the producer and may run
// Python code, which must not happen while an exception is pending (the entry
// functions raise before their locals are destroyed), so the pending exception
// is set aside for the release and restored afterwards.
class ImportedBatch {
public:
    ImportedBatch() = default;
    explicit ImportedBatch(arrow::RecordBatch batch) : batch_(std::move(batch)) {}
    ImportedBatch(ImportedBatch&&) = default;
    ImportedBatch(const ImportedBatch&) = delete;
    ImportedBatch& operator=(const ImportedBatch&) = delete;
    ImportedBatch& operator=(ImportedBatch&&) = delete;
    ~ImportedBatch();

    explicit operator bool() const { return batch_.has_value(); }
    const arrow::RecordBatch& operator*() const { return *batch_; }

private:
    std::optional<arrow::RecordBatch> batch_;
};

// Empty, with a Python exception set, when the object is not a record batch.
ImportedBatch import_record_batch(const char* function, const char* parameter, PyObject* object);

}  // namespace mirvon::py
