#include "ledger/ledger.hpp"

#include <cmath>
#include <cstdio>
#include <utility>

#include "core/format.hpp"

namespace mirvon {

void CashflowMap::insert(std::uint64_t event, Vec values) {
    // While events arrive in decreasing order, a smaller one cannot be present yet.
    if (entries_.empty() || (descending_ && event < entries_.back().first)) {
        entries_.emplace_back(event, std::move(values));
        recorded_at_.push_back(operations_);
        return;
    }
    for (std::size_t j = 0; j < entries_.size(); ++j)
        if (entries_[j].first == event) {
            entries_[j].second = std::move(values);
            recorded_at_[j] = operations_;
            return;
        }
    descending_ = false;
    entries_.emplace_back(event, std::move(values));
    recorded_at_.push_back(operations_);
}

std::uint64_t CashflowMap::next_operation(std::size_t paths) {
    if (cancelled_at_.size() != paths) {
        cancelled_at_.assign(paths, 0);
        zeroed_at_.assign(paths, 0);
    }
    pending_ = true;
    return ++operations_;
}

void CashflowMap::cancel(const Mask& mask) {
    std::size_t first = 0;
    while (first < mask.size() && !mask[first]) ++first;
    if (first == mask.size()) return;  // cancels nothing anywhere
    const std::uint64_t op = next_operation(mask.size());
    for (std::size_t i = first; i < mask.size(); ++i)
        if (mask[i]) cancelled_at_[i] = op;
}

void CashflowMap::scale(const Vec& factors) {
    if (factors.empty() || entries_.empty()) return;
    // Multiplying by exactly 1 changes nothing, and multiplying by 0 twice is
    // multiplying by 0 once, so those two factors can wait; any other factor
    // must meet every value in the order the operations came.
    bool only_ones = true, ones_and_zeros = true;
    for (double f : factors) {
        if (f == 1.0) continue;
        only_ones = false;
        if (!(f == 0.0 && !std::signbit(f))) ones_and_zeros = false;
    }
    if (only_ones) return;
    const std::size_t paths = entries_.front().second.size();
    if (ones_and_zeros) {
        const std::uint64_t op = next_operation(paths);
        for (std::size_t i = 0; i < paths; ++i)
            if (at_bcast(factors, i) != 1.0) zeroed_at_[i] = op;
        return;
    }
    settle();
    for (auto& [event, c] : entries_)
        for (std::size_t i = 0; i < c.size(); ++i) c[i] *= factors.size() == 1 ? factors[0] : factors[i];
}

void CashflowMap::settle() {
    if (!pending_) return;
    for (std::size_t j = 0; j < entries_.size(); ++j) {
        Vec& c = entries_[j].second;
        const std::uint64_t recorded = recorded_at_[j];
        for (std::size_t i = 0; i < c.size(); ++i) {
            // A cancellation sets 0.0, which later zero factors keep; a zero
            // factor alone keeps the value's sign and turns infinities into NaN.
            if (cancelled_at_[i] > recorded)
                c[i] = 0.0;
            else if (zeroed_at_[i] > recorded)
                c[i] *= 0.0;
        }
        recorded_at_[j] = operations_;
    }
    pending_ = false;
}

Vec& Ledger::new_track_entry(std::uint64_t track) {
    auto it = pvs_.find(track);
    if (it == pvs_.end()) it = pvs_.emplace(track, Vec(num_paths_, 0.0)).first;
    return remember_track_entry(track, it->second);
}

Vec& Ledger::remember_track_entry(std::uint64_t track, Vec& pv) {
    if (track < SMALL_TRACKS) {
        if (pv_by_small_track_.size() <= track) pv_by_small_track_.resize(track + 1, nullptr);
        pv_by_small_track_[track] = &pv;
    }
    return pv;
}

CashflowMap& Ledger::cashflow_entry(std::uint64_t track) {
    if (track < cashflows_by_small_track_.size())
        if (CashflowMap* map = cashflows_by_small_track_[track]) return *map;
    CashflowMap& map = cashflows_[track];
    if (track < SMALL_TRACKS) {
        if (cashflows_by_small_track_.size() <= track) cashflows_by_small_track_.resize(track + 1, nullptr);
        cashflows_by_small_track_[track] = &map;
    }
    return map;
}

std::expected<const Vec*, LedgerError> Ledger::pv_vec(std::uint64_t track) const {
    auto it = pvs_.find(track);
    if (it == pvs_.end()) return std::unexpected(LedgerError::track_not_found(track));
    return &it->second;
}

std::expected<void, LedgerError> Ledger::cf_insert(std::uint64_t event, std::uint64_t track,
                                                   const Vec& values) {
    Vec fitted;
    if (values.size() == num_paths_)
        fitted = values;
    else if (values.size() == 1)
        fitted.assign(num_paths_, values[0]);
    else
        return std::unexpected(LedgerError::track_not_found(track));
    cashflow_entry(track).insert(event, std::move(fitted));
    return {};
}

std::expected<void, LedgerError> Ledger::cf_insert(std::uint64_t event, std::uint64_t track, Vec&& values) {
    if (values.size() != num_paths_) return cf_insert(event, track, std::as_const(values));
    cashflow_entry(track).insert(event, std::move(values));
    return {};
}

void Ledger::cf_mask(std::uint64_t track, const Mask& mask) {
    auto it = cashflows_.find(track);
    if (it != cashflows_.end()) it->second.cancel(mask);
}

void Ledger::cf_scale(std::uint64_t track, const Vec& factors) {
    auto it = cashflows_.find(track);
    if (it != cashflows_.end()) it->second.scale(factors);
}

void Ledger::cf_print() {
    auto taken = std::move(cashflows());
    cashflows_.clear();
    for (auto& [track, events] : taken) {
        std::printf("Track: %llu\n", static_cast<unsigned long long>(track));
        for (auto& [event, v] : events) {
            std::string items;
            for (std::size_t i = 0; i < v.size(); ++i)
                items += (i ? ", " : "") + format_float(v[i]);
            std::printf("Event: %llu CashflowMap: [%s], shape=[%zu], strides=[1], layout=CFcf (0xf), const ndim=1\n",
                        static_cast<unsigned long long>(event), items.c_str(), v.size());
        }
    }
    std::fflush(stdout);
}

}  // namespace mirvon
