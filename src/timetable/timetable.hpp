// The contract as every engine sees it: events by row index with their parsed
// ops, resolved units and named expressions. Borrows the batch's columns.
#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "timetable/events.hpp"

namespace mirvon {

class TimeTable {
public:
    static std::expected<TimeTable, TimeTableError> create(Events events, Expressions expressions);

    std::size_t num_events() const { return static_cast<std::size_t>(events_.num_rows()); }

    std::int64_t ts_at(std::size_t i) const { return events_.time.value(idx(i)); }
    std::optional<std::int64_t> time_at(std::size_t i) const {
        if (!events_.time.is_valid(idx(i))) return std::nullopt;
        return ts_at(i);
    }
    const Op& op_at(std::size_t i) const {
        if (!events_.op.keys.is_valid(idx(i))) return no_op_;
        return ops_[static_cast<std::size_t>(events_.op.keys.value(idx(i)))];
    }
    // The names in the track dictionary: at least as many as the tracks booked on.
    std::size_t num_tracks() const { return static_cast<std::size_t>(events_.track.num_values()); }
    double quantity_at(std::size_t i) const { return events_.quantity.value(idx(i)); }
    std::optional<std::int64_t> unit_key_at(std::size_t i) const {
        if (!events_.unit.keys.is_valid(idx(i))) return std::nullopt;
        return events_.unit.keys.value(idx(i));
    }
    // Unit keys were checked against the dictionary when the columns were viewed.
    const Unit& unit_by_key(std::int64_t key) const { return units_[static_cast<std::size_t>(key)]; }
    std::string unit_desc_at(std::size_t i) const;
    std::expected<std::int64_t, TimeTableError> track_key_at(std::size_t i) const {
        if (!events_.track.keys.is_valid(idx(i))) return std::unexpected(no_track_error(i));
        return events_.track.keys.value(idx(i));
    }
    std::string event_desc(std::size_t i) const;

    const Snapper* snapper_by_name(const std::string& name) const {
        return expressions_.snapper_by_name(name);
    }
    const EvalPhrase* get_phrase(const std::string& name) const {
        return expressions_.get_phrase(name);
    }

private:
    TimeTable(std::vector<Op> ops, std::vector<Unit> units, Events events, Expressions expressions)
        : ops_(std::move(ops)), units_(std::move(units)), events_(events),
          expressions_(std::move(expressions)) {}
    static std::int64_t idx(std::size_t i) { return static_cast<std::int64_t>(i); }
    static TimeTableError no_track_error(std::size_t i);

    std::vector<Op> ops_;
    std::vector<Unit> units_;
    Events events_;
    Expressions expressions_;
    Op no_op_;
};

}  // namespace mirvon
