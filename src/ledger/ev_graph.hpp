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

    // The state variables at a choice event, for a decision by regression.
    // Kept beside the slots, which stay small for the runs that have none.
    void save_regressors(std::size_t event, std::vector<Vec> values) {
        check_event(event);
        if (regressors_.empty()) regressors_.resize(states_.size());
        regressors_[event] = std::move(values);
    }
    // Empty for an event without regressors; taken once, by the backward roll.
    std::vector<Vec> take_regressors(std::size_t event) {
        if (event >= regressors_.size()) return {};
        return std::move(regressors_[event]);
    }

    std::size_t size() const { return states_.size(); }
    EvState& at(std::size_t event) { return slot(event); }
    // The backward roll empties the graph from the end: it applies the last
    // slot in place, then takes it off.
    EvState& back() { return states_.back(); }
    void pop_back() { states_.pop_back(); }

private:
    void check_event(std::size_t event) const {
        // The forward pass only saves for events of the timetable the graph was built from.
        if (event >= states_.size()) throw EngineAbort("event index without a graph slot");
    }
    EvState& slot(std::size_t event) {
        check_event(event);
        return states_[event];
    }
    std::vector<EvState> states_;
    std::vector<std::vector<Vec>> regressors_;  // by event index; empty until the first save
};

}  // namespace mirvon
