// The typed view of the events record batch: five columns found by name and
// checked for their exact Arrow types. Borrows from the batch.
#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "arrow/column_views.hpp"
#include "core/errors.hpp"
#include "timetable/expressions.hpp"
#include "timetable/op.hpp"

namespace mirvon {

// The texts of a string dictionary, with the first position of each text.
struct DictionaryTexts {
    std::vector<std::optional<std::string_view>> texts;
    std::unordered_map<std::string_view, std::size_t> first;
    std::optional<std::size_t> first_position(std::string_view text) const {
        auto it = first.find(text);
        if (it == first.end()) return std::nullopt;
        return it->second;
    }
};

class Events {
public:
    static std::expected<Events, TimeTableError> create(const arrow::RecordBatch& batch);

    std::int64_t num_rows() const { return time.length; }

    std::expected<DictionaryTexts, TimeTableError> unit_names() const;
    // Marks the units whose names equal a track name as references to that track.
    std::expected<void, TimeTableError> identify_tracks(std::vector<Unit>& units,
                                                        const DictionaryTexts& unit_names) const;
    std::expected<std::vector<Op>, TimeTableError> ops_map() const;

    arrow::PrimitiveView<std::int64_t> time;
    arrow::DictionaryView track;
    arrow::DictionaryView op;
    arrow::PrimitiveView<double> quantity;
    arrow::DictionaryView unit;
};

}  // namespace mirvon
