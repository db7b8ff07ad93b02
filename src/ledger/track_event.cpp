// The event step of the backward roll: operations, choices, conditions and
// the cashflow records they keep or cancel.
#include "ledger/ledger.hpp"

namespace mirvon {

namespace {

bool wins(const Op& op, double value, double pv) {
    // Comparisons with NaN are false, so a NaN never wins.
    return op.kind == Op::Kind::Max ? value > pv : value < pv;
}

bool is_single_zero(const Vec& v) { return v.size() == 1 && v[0] == 0.0; }

std::expected<void, LedgerError> check_fits(const Vec& pv, const Vec& value) {
    if (value.size() != pv.size() && value.size() != 1)
        return std::unexpected(LedgerError::Length{LengthMismatch{pv.size(), value.size()}});
    return {};
}

}  // namespace

std::expected<void, LedgerError> update_choice(const Vec& pv, ChoiceVec& choice, const Vec& value,
                                               const Op& op, std::uint64_t marker) {
    if (!op.is_choice()) return std::unexpected(LedgerError::UnknownOp{op.display()});
    if (auto ok = check_fits(pv, value); !ok) return ok;
    for (std::size_t i = 0; i < pv.size() && i < choice.size(); ++i)
        if (wins(op, at_bcast(value, i), pv[i])) choice[i] = marker;
    return {};
}

Vec filter(const Mask& mask, const Vec& value) {
    Vec out(mask.size(), 0.0);
    for (std::size_t i = 0; i < mask.size(); ++i)
        if (mask[i]) out[i] = at_bcast(value, i);
    return out;
}

std::expected<void, LedgerError> Ledger::one_track_event(const Op& op, std::uint64_t track, Vec value,
                                                         std::uint64_t event, std::uint32_t flags) {
    if (op.kind == Op::Kind::Add && !(flags & FLAG_CASHFLOW) && value.size() == num_paths_ &&
        !has_track_entry(track)) {
        // A track's first payment: adding it to a fresh zero vector gives
        // 0.0 + value, so the value's own storage becomes the track's vector.
        for (double& x : value) x = 0.0 + x;
        remember_track_entry(track, pvs_.emplace(track, std::move(value)).first->second);
        return {};
    }
    Vec& pv = track_entry(track);
    if (auto ok = check_fits(pv, value); !ok) return ok;
    if (op.kind == Op::Kind::Add) {
        // The lengths fit, so "+" adds element by element (a one-element
        // value to every path) and cannot fail; the value is then kept as
        // the event's cashflow without a copy.
        double* p = pv.data();
        const double* v = value.data();
        if (value.size() == 1)
            for (std::size_t i = 0; i < pv.size(); ++i) p[i] += v[0];
        else
            for (std::size_t i = 0; i < pv.size(); ++i) p[i] += v[i];
        if (flags & FLAG_CASHFLOW) return cf_insert(event, track, std::move(value));
        return {};
    }
    if (flags & FLAG_CASHFLOW) {
        if (op.is_choice()) {
            Mask mask(pv.size());
            for (std::size_t i = 0; i < pv.size(); ++i) mask[i] = wins(op, at_bcast(value, i), pv[i]);
            cf_mask(track, mask);
            if (!is_single_zero(value))
                if (auto ok = cf_insert(event, track, filter(mask, value)); !ok) return ok;
        }
    }
    if ((flags & FLAG_CHOICES) && op.is_choice()) {
        ChoiceVec choice(num_paths_, 0);
        if (auto ok = update_choice(pv, choice, value, op, 1); !ok) return ok;
        choices_.insert(event, track, std::move(choice));
    }
    if (auto ok = op.apply(pv, value); !ok) return std::unexpected(LedgerError(ok.error()));
    return {};
}

std::expected<void, LedgerError> Ledger::one_track_choice(std::uint64_t track, Vec value,
                                                          const ChoiceDecision& decide, std::uint64_t event,
                                                          std::uint32_t flags) {
    Vec& pv = track_entry(track);
    if (auto ok = check_fits(pv, value); !ok) return ok;
    const std::span<const std::size_t> won = decide(pv, value);
    if (!won.empty() && won.back() >= pv.size()) throw EngineAbort("a choice decided for a path that does not exist");
    if (flags & FLAG_CASHFLOW) {
        Mask mask(pv.size(), false);
        for (std::size_t i : won) mask[i] = true;
        cf_mask(track, mask);
        if (!is_single_zero(value))
            if (auto ok = cf_insert(event, track, filter(mask, value)); !ok) return ok;
    }
    if (flags & FLAG_CHOICES) {
        ChoiceVec choice(num_paths_, 0);
        for (std::size_t i : won) choice[i] = 1;
        choices_.insert(event, track, std::move(choice));
    }
    for (std::size_t i : won) pv[i] = at_bcast(value, i);
    return {};
}

std::expected<void, LedgerError> Ledger::one_track_weights(Vec weights, std::uint64_t track, Vec value,
                                                           std::uint64_t event, std::uint32_t flags) {
    Vec& pv = track_entry(track);
    if (auto ok = check_fits(pv, weights); !ok) return ok;
    if (auto ok = check_fits(pv, value); !ok) return ok;
    if (flags & FLAG_CASHFLOW) {
        Vec keep(weights.size());
        for (std::size_t i = 0; i < weights.size(); ++i) keep[i] = 1.0 - weights[i];
        cf_scale(track, keep);
        if (!is_single_zero(value)) {
            auto weighted = mul(value, weights);
            if (!weighted) return std::unexpected(LedgerError::Length{weighted.error()});
            if (auto ok = cf_insert(event, track, *weighted); !ok) return ok;
        }
    }
    for (std::size_t i = 0; i < pv.size(); ++i) {
        const double w = at_bcast(weights, i);
        pv[i] = pv[i] * (1.0 - w) + at_bcast(value, i) * w;
    }
    return {};
}

}  // namespace mirvon
