// Present values, choices and cashflows by track: the result of a pricing run
// and the store the backward roll writes into.
#pragma once
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/vector.hpp"
#include "timetable/op.hpp"

namespace mirvon {

using ChoiceVec = std::vector<std::uint64_t>;
using Mask = std::vector<bool>;

// Cashflows of one track by event index. The backward roll records events in
// decreasing order, so entries are kept in a flat list and a later record for
// the same event replaces the earlier one.
class CashflowMap {
public:
    using Entry = std::pair<std::uint64_t, Vec>;
    void insert(std::uint64_t event, Vec values);
    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    auto begin() { return entries_.begin(); }
    auto end() { return entries_.end(); }

private:
    std::vector<Entry> entries_;
    bool descending_ = true;
};

struct ChoiceMap {
    std::unordered_map<std::uint64_t, std::unordered_map<std::uint64_t, ChoiceVec>> by_event;
    void insert(std::uint64_t event, std::uint64_t track, ChoiceVec choice) {
        by_event[event][track] = std::move(choice);
    }
};

// Option bits of "FLAGS" read by the ledger.
inline constexpr std::uint32_t FLAG_PV_VEC = 1;
inline constexpr std::uint32_t FLAG_CHOICES = 2;
inline constexpr std::uint32_t FLAG_CASHFLOW = 8;

class Ledger {
public:
    explicit Ledger(std::size_t num_paths) : num_paths_(num_paths) {}

    std::size_t num_paths() const { return num_paths_; }

    Vec& track_entry(std::uint64_t track);
    std::unordered_map<std::uint64_t, Vec>& pvs_by_track_mut() { return pvs_; }
    std::expected<const Vec*, LedgerError> pv_vec(std::uint64_t track) const;

    std::expected<void, LedgerError> cf_insert(std::uint64_t event, std::uint64_t track, const Vec& values);
    // Takes the vector over when it already has num_paths elements.
    std::expected<void, LedgerError> cf_insert(std::uint64_t event, std::uint64_t track, Vec&& values);
    void cf_mask(std::uint64_t track, const Mask& mask);
    void cf_scale(std::uint64_t track, const Vec& factors);
    void cf_print();

    // The event step of the backward roll: books one value on its track.
    std::expected<void, LedgerError> one_track_event(const Op& op, std::uint64_t track, Vec value,
                                                     std::uint64_t event, std::uint32_t flags);
    // A choice event whose winning paths (ascending) `decide` finds from the
    // track's present value and the event's value (of that length or of one
    // element); the value replaces the present value there.
    using ChoiceDecision = std::function<std::span<const std::size_t>(const Vec& pv, const Vec& value)>;
    std::expected<void, LedgerError> one_track_choice(std::uint64_t track, Vec value, const ChoiceDecision& decide,
                                                      std::uint64_t event, std::uint32_t flags);
    // A conditional event: blends the value in with the weights.
    std::expected<void, LedgerError> one_track_weights(Vec weights, std::uint64_t track, Vec value,
                                                       std::uint64_t event, std::uint32_t flags);

    ChoiceMap& choices() { return choices_; }
    std::unordered_map<std::uint64_t, CashflowMap>& cashflows() { return cashflows_; }

private:
    std::unordered_map<std::uint64_t, Vec> pvs_;
    ChoiceMap choices_;
    std::unordered_map<std::uint64_t, CashflowMap> cashflows_;
    std::size_t num_paths_;
};

// Marks the paths where the event's value wins the choice.
std::expected<void, LedgerError> update_choice(const Vec& pv, ChoiceVec& choice, const Vec& value,
                                               const Op& op, std::uint64_t marker);
// value where the mask is true, 0 elsewhere.
Vec filter(const Mask& mask, const Vec& value);

}  // namespace mirvon
