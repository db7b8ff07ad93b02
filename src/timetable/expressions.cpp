#include "timetable/expressions.hpp"

#include "timetable/events.hpp"

namespace mirvon {

std::string Unit::describe() const {
    switch (kind) {
        case Kind::Track: return "Track(" + std::to_string(track) + ")";
        case Kind::Asset: return "Asset(" + name + ")";
        case Kind::Null: return "<none>";
        case Kind::Snapper: return "Snapper(" + name + ")";
        case Kind::Snap: return "Snap(" + name + ")";
        case Kind::Batch: return "Batch(" + name + ")";
        case Kind::Phrase: return "Phrase(" + name + ")";
    }
    return "<none>";
}

std::expected<std::vector<Unit>, TimeTableError> Expressions::create_units_map(
    const Events& events) const {
    auto names = events.unit_names();
    if (!names) return std::unexpected(names.error());
    std::vector<Unit> units;
    units.reserve(names->texts.size());
    for (const auto& text : names->texts)
        units.push_back(text ? Unit::named(Unit::Kind::Asset, std::string(*text)) : Unit{});
    if (auto ok = events.identify_tracks(units, *names); !ok) return std::unexpected(ok.error());
    auto mark = [&](const std::string& name, Unit::Kind kind) {
        if (auto pos = names->first_position(name)) units[*pos] = Unit::named(kind, name);
    };
    for (const auto& [name, snapper] : snappers) {
        mark(name, Unit::Kind::Snapper);
        for (const auto& out : snapper.out) mark(out, Unit::Kind::Snap);
    }
    for (const auto& [name, phrase] : phrases) mark(name, Unit::Kind::Phrase);
    return units;
}

const Snapper* Expressions::snapper_by_name(const std::string& name) const {
    auto it = snappers.find(name);
    return it == snappers.end() ? nullptr : &it->second;
}

const EvalPhrase* Expressions::get_phrase(const std::string& name) const {
    auto it = phrases.find(name);
    return it == phrases.end() ? nullptr : it->second.get();
}

}  // namespace mirvon
