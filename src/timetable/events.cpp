#include "timetable/events.hpp"

namespace mirvon {

namespace {

TimeTableError column_error(std::string_view name, const arrow::ColumnProblem& problem) {
    if (problem.wrong_type)
        return TimeTableError::message("Couldn't convert column '" + std::string(name) +
                                       "', likely incorrect type");
    return TimeTableError::message("Column '" + std::string(name) + "' is malformed: " +
                                   problem.detail);
}

template <class View, class F>
std::expected<View, TimeTableError> get_typed_column(const arrow::RecordBatch& batch,
                                                     std::string_view name, F view_fn) {
    auto index = batch.find_column(name);
    if (!index)
        return std::unexpected(TimeTableError::message("Column '" + std::string(name) + "' not found"));
    auto view = view_fn(batch, *index);
    if (!view) return std::unexpected(column_error(name, view.error()));
    return *view;
}

std::expected<arrow::DictionaryView, TimeTableError> get_column(const arrow::RecordBatch& batch,
                                                                std::string_view name) {
    return get_typed_column<arrow::DictionaryView>(batch, name, arrow::view_dictionary_i64);
}

// The dictionary values as texts; `what` names the column in the error.
std::expected<DictionaryTexts, TimeTableError> dictionary_texts(const arrow::DictionaryView& dict,
                                                                std::string_view what) {
    auto values = dict.values_utf8();
    if (!values) {
        if (values.error().wrong_type)
            return std::unexpected(TimeTableError::message("Error in " + std::string(what) +
                                                           " column, expected strings"));
        return std::unexpected(TimeTableError::message("Error in " + std::string(what) +
                                                       " column: " + values.error().detail));
    }
    DictionaryTexts out;
    out.texts.reserve(static_cast<std::size_t>(values->length));
    for (std::int64_t i = 0; i < values->length; ++i) {
        auto text = values->value(i);
        out.texts.push_back(text);
        if (text) out.first.emplace(*text, static_cast<std::size_t>(i));
    }
    return out;
}

}  // namespace

std::expected<Events, TimeTableError> Events::create(const arrow::RecordBatch& batch) {
    auto time = get_typed_column<arrow::PrimitiveView<std::int64_t>>(batch, "time",
                                                                      arrow::view_timestamp_ms);
    if (!time) return std::unexpected(time.error());
    auto track = get_column(batch, "track");
    if (!track) return std::unexpected(track.error());
    auto op = get_column(batch, "op");
    if (!op) return std::unexpected(op.error());
    auto quantity =
        get_typed_column<arrow::PrimitiveView<double>>(batch, "quantity", arrow::view_float64);
    if (!quantity) return std::unexpected(quantity.error());
    auto unit = get_column(batch, "unit");
    if (!unit) return std::unexpected(unit.error());
    return Events{*time, *track, *op, *quantity, *unit};
}

std::expected<DictionaryTexts, TimeTableError> Events::unit_names() const {
    return dictionary_texts(unit, "units");
}

std::expected<void, TimeTableError> Events::identify_tracks(std::vector<Unit>& units,
                                                            const DictionaryTexts& unit_names) const {
    auto tracks = dictionary_texts(track, "tracks");
    if (!tracks) return std::unexpected(tracks.error());
    for (std::size_t i = 0; i < tracks->texts.size(); ++i) {
        const auto& name = tracks->texts[i];
        if (!name) return std::unexpected(TimeTableError::message("Missing Track Value"));
        if (auto pos = unit_names.first_position(*name)) units[*pos] = Unit::of_track(i);
    }
    return {};
}

std::expected<std::vector<Op>, TimeTableError> Events::ops_map() const {
    auto texts = dictionary_texts(op, "ops");
    if (!texts) return std::unexpected(texts.error());
    std::vector<Op> ops;
    ops.reserve(texts->texts.size());
    for (const auto& text : texts->texts) ops.push_back(text ? Op::parse(*text) : Op::no_op());
    return ops;
}

}  // namespace mirvon
