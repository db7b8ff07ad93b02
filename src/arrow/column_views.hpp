// Typed, bounds-checked views of the columns of an imported record batch.
// A view borrows the batch's buffers and must not outlive the batch.
#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "arrow/record_batch.hpp"

namespace mirvon::arrow {

struct Validity {
    const std::uint8_t* bits = nullptr;  // null: every slot is valid
    std::int64_t offset = 0;
    bool is_valid(std::int64_t i) const {
        if (bits == nullptr) return true;
        const std::int64_t k = offset + i;
        return (bits[k >> 3] >> (k & 7)) & 1;
    }
};

template <class T>
struct PrimitiveView {
    const T* data = nullptr;
    Validity validity;
    std::int64_t offset = 0;
    std::int64_t length = 0;
    bool is_valid(std::int64_t i) const { return validity.is_valid(i); }
    T value(std::int64_t i) const { return data[offset + i]; }
};

struct Utf8View {
    const std::int32_t* offsets = nullptr;
    const char* chars = nullptr;
    Validity validity;
    std::int64_t offset = 0;
    std::int64_t length = 0;
    // Absent for a null slot.
    std::optional<std::string_view> value(std::int64_t i) const;
};

// Why a column could not be viewed: it has another Arrow type, or its
// structures break the rules of the C data interface.
struct ColumnProblem {
    bool wrong_type;
    std::string detail;
};

struct DictionaryView {
    PrimitiveView<std::int64_t> keys;
    const ArrowSchema* value_schema = nullptr;
    const ArrowArray* value_array = nullptr;
    std::int64_t num_values() const { return value_array->length; }
    // The dictionary values as UTF-8 strings; a wrong type is reported with
    // `wrong_type` set.
    std::expected<Utf8View, ColumnProblem> values_utf8() const;
};

std::expected<PrimitiveView<std::int64_t>, ColumnProblem> view_timestamp_ms(const RecordBatch& batch,
                                                                            std::int64_t column);
std::expected<PrimitiveView<double>, ColumnProblem> view_float64(const RecordBatch& batch,
                                                                 std::int64_t column);
// A dictionary column with 64-bit signed keys; its value type is checked later.
std::expected<DictionaryView, ColumnProblem> view_dictionary_i64(const RecordBatch& batch,
                                                                 std::int64_t column);

}  // namespace mirvon::arrow
