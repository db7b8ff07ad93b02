#include "arrow/record_batch.hpp"

#include <cstring>

#include "arrow/column_views.hpp"

namespace mirvon::arrow {

std::expected<RecordBatch, std::string> RecordBatch::adopt(ArrowSchema* schema, ArrowArray* array) {
    RecordBatch batch;
    if (schema == nullptr || schema->release == nullptr)
        return std::unexpected(std::string("the schema is missing or already released"));
    if (array == nullptr || array->release == nullptr)
        return std::unexpected(std::string("the array is missing or already released"));
    // Ownership moves first, so every later failure releases through the destructor.
    batch.schema_ = *schema;
    schema->release = nullptr;
    batch.array_ = *array;
    array->release = nullptr;

    const ArrowSchema& s = batch.schema_;
    const ArrowArray& a = batch.array_;
    if (s.format == nullptr || std::strcmp(s.format, "+s") != 0)
        return std::unexpected("expected a struct array (format '+s'), got format '" +
                               std::string(s.format ? s.format : "") + "'");
    if (s.n_children < 0 || a.n_children != s.n_children ||
        (s.n_children > 0 && (s.children == nullptr || a.children == nullptr)))
        return std::unexpected(std::string("the schema and the array disagree on the columns"));
    if (a.length < 0 || a.offset < 0)
        return std::unexpected(std::string("negative length or offset"));
    if (a.n_buffers < 1 || a.buffers == nullptr)
        return std::unexpected(std::string("the struct array has no validity buffer slot"));
    if (a.null_count != 0 && a.buffers[0] != nullptr) {
        const Validity rows{static_cast<const std::uint8_t*>(a.buffers[0]), a.offset};
        for (std::int64_t i = 0; i < a.length; ++i)
            if (!rows.is_valid(i)) return std::unexpected(std::string("the record batch has null rows"));
    }
    for (std::int64_t i = 0; i < s.n_children; ++i) {
        if (s.children[i] == nullptr || a.children[i] == nullptr)
            return std::unexpected("column " + std::to_string(i) + " is missing");
        if (s.children[i]->format == nullptr)
            return std::unexpected("column " + std::to_string(i) + " has no format");
    }
    return batch;
}

RecordBatch::RecordBatch(RecordBatch&& other) noexcept : schema_(other.schema_), array_(other.array_) {
    other.schema_.release = nullptr;
    other.array_.release = nullptr;
}

RecordBatch::~RecordBatch() {
    if (array_.release != nullptr) array_.release(&array_);
    if (schema_.release != nullptr) schema_.release(&schema_);
}

std::optional<std::int64_t> RecordBatch::find_column(std::string_view name) const {
    for (std::int64_t i = 0; i < schema_.n_children; ++i) {
        const char* n = schema_.children[i]->name;
        if (n != nullptr && name == n) return i;
    }
    return std::nullopt;
}

}  // namespace mirvon::arrow
