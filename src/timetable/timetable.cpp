#include "timetable/timetable.hpp"

#include "core/format.hpp"

namespace mirvon {

std::expected<TimeTable, TimeTableError> TimeTable::create(Events events, Expressions expressions) {
    auto units = expressions.create_units_map(events);
    if (!units) return std::unexpected(units.error());
    auto ops = events.ops_map();
    if (!ops) return std::unexpected(ops.error());
    return TimeTable(std::move(*ops), std::move(*units), events, std::move(expressions));
}

const Op& TimeTable::op_at(std::size_t i) const {
    if (!events_.op.keys.is_valid(idx(i))) return no_op_;
    return ops_[static_cast<std::size_t>(events_.op.keys.value(idx(i)))];
}

std::optional<std::int64_t> TimeTable::unit_key_at(std::size_t i) const {
    if (!events_.unit.keys.is_valid(idx(i))) return std::nullopt;
    return events_.unit.keys.value(idx(i));
}

std::string TimeTable::unit_desc_at(std::size_t i) const {
    auto key = unit_key_at(i);
    if (!key) return "<none>";
    return unit_by_key(*key).describe();
}

std::expected<std::int64_t, TimeTableError> TimeTable::track_key_at(std::size_t i) const {
    if (!events_.track.keys.is_valid(idx(i)))
        return std::unexpected(
            TimeTableError::message("No track specified at event#" + std::to_string(i)));
    return events_.track.keys.value(idx(i));
}

std::string TimeTable::event_desc(std::size_t i) const {
    std::string track = "<none>";
    if (events_.track.keys.is_valid(idx(i)))
        track = "Track(" + std::to_string(events_.track.keys.value(idx(i))) + ")";
    std::string time = "None";
    if (auto dt = civil_from_ms(ts_at(i))) time = "Single(" + format_utc(*dt) + ")";
    return "#" + std::to_string(i) + ": track: " + quoted(track) + ", time: " + time +
           ", op: " + op_at(i).display() + ", qty: " + format_float(quantity_at(i)) +
           ", unit: " + quoted(unit_desc_at(i));
}

}  // namespace mirvon
