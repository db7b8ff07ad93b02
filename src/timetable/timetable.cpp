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

std::string TimeTable::unit_desc_at(std::size_t i) const {
    auto key = unit_key_at(i);
    if (!key) return "<none>";
    return unit_by_key(*key).describe();
}

TimeTableError TimeTable::no_track_error(std::size_t i) {
    return TimeTableError::message("No track specified at event#" + std::to_string(i));
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
