#include "ledger/ledger.hpp"

#include <cstdio>
#include <utility>

#include "core/format.hpp"

namespace mirvon {

void CashflowMap::insert(std::uint64_t event, Vec values) {
    // While events arrive in decreasing order, a smaller one cannot be present yet.
    if (entries_.empty() || (descending_ && event < entries_.back().first)) {
        entries_.emplace_back(event, std::move(values));
        return;
    }
    for (auto& [recorded, v] : entries_)
        if (recorded == event) {
            v = std::move(values);
            return;
        }
    descending_ = false;
    entries_.emplace_back(event, std::move(values));
}

Vec& Ledger::track_entry(std::uint64_t track) {
    auto it = pvs_.find(track);
    if (it == pvs_.end()) it = pvs_.emplace(track, Vec(num_paths_, 0.0)).first;
    return it->second;
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
    cashflows_[track].insert(event, std::move(fitted));
    return {};
}

std::expected<void, LedgerError> Ledger::cf_insert(std::uint64_t event, std::uint64_t track, Vec&& values) {
    if (values.size() != num_paths_) return cf_insert(event, track, std::as_const(values));
    cashflows_[track].insert(event, std::move(values));
    return {};
}

void Ledger::cf_mask(std::uint64_t track, const Mask& mask) {
    auto it = cashflows_.find(track);
    if (it == cashflows_.end()) return;
    for (auto& [event, c] : it->second)
        for (std::size_t i = 0; i < c.size() && i < mask.size(); ++i)
            if (mask[i]) c[i] = 0.0;
}

void Ledger::cf_scale(std::uint64_t track, const Vec& factors) {
    auto it = cashflows_.find(track);
    if (it == cashflows_.end() || factors.empty()) return;
    for (auto& [event, c] : it->second)
        for (std::size_t i = 0; i < c.size(); ++i)
            c[i] *= factors.size() == 1 ? factors[0] : (i < factors.size() ? factors[i] : 1.0);
}

void Ledger::cf_print() {
    auto taken = std::move(cashflows_);
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
