#include "arrow/column_views.hpp"

#include <cstring>

namespace mirvon::arrow {

namespace {

std::unexpected<ColumnProblem> wrong_type() { return std::unexpected(ColumnProblem{true, {}}); }
std::unexpected<ColumnProblem> malformed(std::string detail) {
    return std::unexpected(ColumnProblem{false, std::move(detail)});
}

// Checks shared by every array we read: sane lengths and the buffer count.
std::expected<void, ColumnProblem> check_layout(const ArrowArray& a, std::int64_t n_buffers,
                                                std::int64_t needed_length) {
    if (a.length < 0 || a.offset < 0) return malformed("negative length or offset");
    if (a.length < needed_length)
        return malformed("length " + std::to_string(a.length) + " is shorter than the " +
                         std::to_string(needed_length) + " rows of the batch");
    if (a.n_buffers != n_buffers || a.buffers == nullptr)
        return malformed("expected " + std::to_string(n_buffers) + " buffers, got " +
                         std::to_string(a.n_buffers));
    if (a.null_count != 0 && a.null_count != -1 && a.buffers[0] == nullptr)
        return malformed("nulls are counted but there is no validity buffer");
    return {};
}

template <class T>
std::expected<PrimitiveView<T>, ColumnProblem> primitive(const ArrowArray& a, std::int64_t row_offset,
                                                         std::int64_t rows) {
    if (auto ok = check_layout(a, 2, row_offset + rows); !ok) return std::unexpected(ok.error());
    PrimitiveView<T> v;
    v.offset = a.offset + row_offset;
    v.length = rows;
    v.data = static_cast<const T*>(a.buffers[1]);
    if (v.data == nullptr && rows > 0) return malformed("the values buffer is missing");
    v.validity = Validity{static_cast<const std::uint8_t*>(a.buffers[0]), v.offset};
    return v;
}

bool has_prefix(const char* s, const char* prefix) {
    return s != nullptr && std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

std::optional<std::string_view> Utf8View::value(std::int64_t i) const {
    if (!validity.is_valid(i)) return std::nullopt;
    const std::int32_t begin = offsets[offset + i];
    const std::int32_t end = offsets[offset + i + 1];
    return std::string_view(chars + begin, static_cast<std::size_t>(end - begin));
}

std::expected<Utf8View, ColumnProblem> DictionaryView::values_utf8() const {
    if (value_schema->format == nullptr || std::strcmp(value_schema->format, "u") != 0)
        return wrong_type();
    const ArrowArray& a = *value_array;
    if (auto ok = check_layout(a, 3, 0); !ok) return std::unexpected(ok.error());
    Utf8View v;
    v.offset = a.offset;
    v.length = a.length;
    v.offsets = static_cast<const std::int32_t*>(a.buffers[1]);
    v.chars = static_cast<const char*>(a.buffers[2]);
    v.validity = Validity{static_cast<const std::uint8_t*>(a.buffers[0]), a.offset};
    if (a.length == 0) return v;
    if (v.offsets == nullptr) return malformed("the string offsets buffer is missing");
    // Offsets must start at zero or above and never decrease; without a data
    // buffer every string must be empty.
    std::int32_t prev = v.offsets[v.offset];
    if (prev < 0) return malformed("negative string offset");
    for (std::int64_t i = 1; i <= a.length; ++i) {
        const std::int32_t cur = v.offsets[v.offset + i];
        if (cur < prev) return malformed("string offsets decrease");
        prev = cur;
    }
    if (v.chars == nullptr && prev != v.offsets[v.offset])
        return malformed("the string data buffer is missing");
    static const char empty = 0;
    if (v.chars == nullptr) v.chars = &empty;
    return v;
}

std::expected<PrimitiveView<std::int64_t>, ColumnProblem> view_timestamp_ms(const RecordBatch& batch,
                                                                            std::int64_t column) {
    const ArrowSchema& s = batch.column_schema(column);
    if (s.dictionary != nullptr || !has_prefix(s.format, "tsm:")) return wrong_type();
    return primitive<std::int64_t>(batch.column_array(column), batch.row_offset(), batch.num_rows());
}

std::expected<PrimitiveView<double>, ColumnProblem> view_float64(const RecordBatch& batch,
                                                                 std::int64_t column) {
    const ArrowSchema& s = batch.column_schema(column);
    if (s.dictionary != nullptr || std::strcmp(s.format, "g") != 0) return wrong_type();
    return primitive<double>(batch.column_array(column), batch.row_offset(), batch.num_rows());
}

std::expected<DictionaryView, ColumnProblem> view_dictionary_i64(const RecordBatch& batch,
                                                                 std::int64_t column) {
    const ArrowSchema& s = batch.column_schema(column);
    if (s.dictionary == nullptr || std::strcmp(s.format, "l") != 0) return wrong_type();
    const ArrowArray& a = batch.column_array(column);
    if (a.dictionary == nullptr || a.dictionary->length < 0 || s.dictionary->format == nullptr)
        return malformed("the dictionary is missing");
    auto keys = primitive<std::int64_t>(a, batch.row_offset(), batch.num_rows());
    if (!keys) return std::unexpected(keys.error());
    DictionaryView v;
    v.keys = *keys;
    v.value_schema = s.dictionary;
    v.value_array = a.dictionary;
    // Keys index the parsed dictionary values, so each must lie inside it.
    const std::int64_t n = v.num_values();
    for (std::int64_t i = 0; i < v.keys.length; ++i) {
        if (!v.keys.is_valid(i)) continue;
        const std::int64_t k = v.keys.value(i);
        if (k < 0 || k >= n)
            return malformed("key " + std::to_string(k) + " at row " + std::to_string(i) +
                             " is outside the dictionary of " + std::to_string(n) + " values");
    }
    return v;
}

}  // namespace mirvon::arrow
