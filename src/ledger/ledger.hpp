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
//
// A choice that wins on a path cancels every cashflow recorded before it on
// that path, and a condition of weight 1 zeroes them. Walking all of them at
// every such event would cost the number of events squared, so both are noted
// per path with the number of the operation, and an entry recorded before that
// number is brought up to date when the cashflows are read (settle). Weights
// other than 0 and 1 scale every entry at once, after settling.
class CashflowMap {
public:
    using Entry = std::pair<std::uint64_t, Vec>;
    void insert(std::uint64_t event, Vec values);
    // values := 0.0 on the paths where the mask is true, for every entry.
    void cancel(const Mask& mask);
    // values := values * factors for every entry; a one-element factor
    // vector multiplies every path.
    void scale(const Vec& factors);

    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    // The entries with every cancellation and scaling applied.
    auto begin() {
        settle();
        return entries_.begin();
    }
    auto end() { return entries_.end(); }

private:
    void settle();
    std::uint64_t next_operation(std::size_t paths);

    std::vector<Entry> entries_;
    std::vector<std::uint64_t> recorded_at_;  // per entry: operations counted when it was recorded
    std::vector<std::uint64_t> cancelled_at_;  // per path: the last cancelling operation, 0 for none
    std::vector<std::uint64_t> zeroed_at_;     // per path: the last zero factor, 0 for none
    std::uint64_t operations_ = 0;
    bool pending_ = false;
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
    // The track caches point into the maps' nodes, which a move keeps.
    Ledger(Ledger&&) = default;
    Ledger& operator=(Ledger&&) = default;
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    std::size_t num_paths() const { return num_paths_; }

    Vec& track_entry(std::uint64_t track) {
        if (track < pv_by_small_track_.size())
            if (Vec* pv = pv_by_small_track_[track]) return *pv;
        return new_track_entry(track);
    }
    // Entries may be changed in place; none is ever removed.
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
    // For the statistics output, which may take the maps out.
    std::unordered_map<std::uint64_t, CashflowMap>& cashflows() {
        cashflows_by_small_track_.clear();
        return cashflows_;
    }

private:
    bool has_track_entry(std::uint64_t track) const {
        if (track < pv_by_small_track_.size() && pv_by_small_track_[track] != nullptr) return true;
        return pvs_.contains(track);
    }
    Vec& new_track_entry(std::uint64_t track);
    Vec& remember_track_entry(std::uint64_t track, Vec& pv);
    CashflowMap& cashflow_entry(std::uint64_t track);

    std::unordered_map<std::uint64_t, Vec> pvs_;
    ChoiceMap choices_;
    std::unordered_map<std::uint64_t, CashflowMap> cashflows_;
    std::size_t num_paths_;
    // Track keys are mostly the positions of a small dictionary: entries of
    // such tracks are found by index instead of hashing at every event.
    static constexpr std::uint64_t SMALL_TRACKS = 4096;
    std::vector<Vec*> pv_by_small_track_;
    std::vector<CashflowMap*> cashflows_by_small_track_;
};

// Marks the paths where the event's value wins the choice.
std::expected<void, LedgerError> update_choice(const Vec& pv, ChoiceVec& choice, const Vec& value,
                                               const Op& op, std::uint64_t marker);
// value where the mask is true, 0 elsewhere.
Vec filter(const Mask& mask, const Vec& value);

}  // namespace mirvon
