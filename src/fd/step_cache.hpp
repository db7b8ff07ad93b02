// The matrices and eliminations of the last few distinct steps of one
// backward pass, so that a step that repeats is neither built nor
// eliminated again.
#pragma once
#include <array>
#include <cstdint>

#include "fd/fd_engine.hpp"

namespace mirvon {

class StepCache {
public:
    struct Entry {
        StepTerms terms;
        CnMatrices m;
        Elimination elim;  // worked out by the first sweep that uses m
    };

    // Without reuse nothing is ever found, and every step is built anew.
    explicit StepCache(bool reuse) : reuse_(reuse) {}

    // The entry holding the matrices of these terms, or null.
    Entry* find(const StepTerms& terms);
    // Builds the matrices of these terms into an entry other than `keep`:
    // a free one, else the one used longest ago. Its elimination is still to do.
    Entry& build(const FDCN& model, const FdState& state, const StepTerms& terms, const Entry* keep);

private:
    struct Slot {
        Entry entry;
        std::uint64_t last_use = 0;
        bool filled = false;
    };
    // A contract on a fixed TIMESTEP repeats one step between its events; an
    // event off the lattice adds the two shorter steps around it, after
    // which the lattice step is still held.
    std::array<Slot, 3> slots_;
    std::uint64_t clock_ = 0;
    bool reuse_;
};

}  // namespace mirvon
