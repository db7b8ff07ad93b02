// An imported record batch: owns the schema and the struct array handed over
// through the C data interface and releases both exactly once.
#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "arrow/c_abi.hpp"

namespace mirvon::arrow {

class RecordBatch {
public:
    // Takes over both structures (the sources are marked released) after
    // checking that they describe a struct array without nulls.
    static std::expected<RecordBatch, std::string> adopt(ArrowSchema* schema, ArrowArray* array);

    RecordBatch(RecordBatch&& other) noexcept;
    RecordBatch& operator=(RecordBatch&&) = delete;
    RecordBatch(const RecordBatch&) = delete;
    ~RecordBatch();

    std::int64_t num_rows() const { return array_.length; }
    // The first column of that name, if any.
    std::optional<std::int64_t> find_column(std::string_view name) const;
    const ArrowSchema& column_schema(std::int64_t i) const { return *schema_.children[i]; }
    const ArrowArray& column_array(std::int64_t i) const { return *array_.children[i]; }
    // Row offset of the batch itself, added to every column's own offset.
    std::int64_t row_offset() const { return array_.offset; }

private:
    RecordBatch() = default;
    ArrowSchema schema_{};
    ArrowArray array_{};
};

}  // namespace mirvon::arrow
