// One slot per event carrying the forward pass's findings to the backward roll.
#pragma once
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "core/errors.hpp"
#include "core/vector.hpp"

namespace mirvon {

struct EvState {
    struct Empty {};
    struct Pay { Vec value; };
    struct TrackRef { std::uint64_t track; };
    // Boxed: every slot is as large as its largest kind, and conditions are rare.
    struct CondPay {
        struct Data { Vec value; Vec condition; };
        std::unique_ptr<Data> data;
    };
    std::variant<Empty, Pay, TrackRef, CondPay> v;
};

class EvGraph {
public:
    explicit EvGraph(std::size_t num_events) : states_(num_events) {}

    void save_pay(std::size_t event, Vec value) { slot(event).v.emplace<EvState::Pay>(std::move(value)); }
    void save_t(std::size_t event, std::uint64_t track) { slot(event).v = EvState::TrackRef{track}; }
    void save_cond_pay(std::size_t event, Vec value, Vec condition) {
        slot(event).v =
            EvState::CondPay{std::make_unique<EvState::CondPay::Data>(std::move(value), std::move(condition))};
    }

    std::size_t size() const { return states_.size(); }
    EvState& at(std::size_t event) { return slot(event); }
    // The backward roll empties the graph from the end: it applies the last
    // slot in place, then takes it off.
    EvState& back() { return states_.back(); }
    void pop_back() { states_.pop_back(); }

private:
    EvState& slot(std::size_t event) {
        // The forward pass only saves for events of the timetable the graph was built from.
        if (event >= states_.size()) throw EngineAbort("event index without a graph slot");
        return states_[event];
    }
    std::vector<EvState> states_;
};

}  // namespace mirvon
