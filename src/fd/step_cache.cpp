#include "fd/step_cache.hpp"

namespace mirvon {

StepCache::Entry* StepCache::find(const StepTerms& terms) {
    if (!reuse_) return nullptr;
    for (Slot& slot : slots_) {
        if (slot.filled && slot.entry.terms == terms) {
            slot.last_use = ++clock_;
            return &slot.entry;
        }
    }
    return nullptr;
}

StepCache::Entry& StepCache::build(const FDCN& model, const FdState& state, const StepTerms& terms,
                                   const Entry* keep) {
    Slot* target = nullptr;
    for (Slot& slot : slots_) {
        if (&slot.entry == keep) continue;
        if (!slot.filled) {
            target = &slot;
            break;
        }
        if (!target || slot.last_use < target->last_use) target = &slot;
    }
    target->filled = true;
    target->last_use = ++clock_;
    Entry& entry = target->entry;
    entry.terms = terms;
    model.cn_coefficients(state, terms, entry.m);
    entry.m.derive_implicit();
    entry.elim.done = false;
    return entry;
}

}  // namespace mirvon
