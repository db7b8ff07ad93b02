// Tridiagonal matrices and the sweep of one Crank-Nicolson step: the product
// with P and the Thomas solve with Q, fused.
#pragma once
#include <cstddef>

#include "core/vector.hpp"

namespace mirvon {

struct Tridiagonal {
    explicit Tridiagonal(std::size_t n = 0) : lower(n), diag(n), upper(n), n(n) {}
    Vec lower;  // lower[i]: row i, column i-1 (lower[0] unused)
    Vec diag;
    Vec upper;  // upper[i]: row i, column i+1 (upper[n-1] unused)
    std::size_t n;
};

// The part of the Thomas solve of Q that depends on Q alone: the elimination
// multipliers and the pivots. The first sweep of a step works them out, the
// sweeps of the step's other vectors reuse them.
struct Elimination {
    Vec mult;  // mult[i] = Q.lower[i] / pivot[i-1], for i >= 1
    Vec pivot;
    bool done = false;
};

// v := Q^-1 (P v) in place, for one vector or two at once. The product is
// formed row by row during the forward elimination; every value is computed
// with the operations, in the order, of the plain product y = P v followed by
// the Thomas solve of Q y without pivoting (a zero or non-finite pivot
// propagates into the result), so the results are those of the two done apart.
// Each sweep is a chain of dependent divisions; two vectors in one sweep are
// two independent chains, which the processor overlaps.
// Needs n >= 1 and vectors of n elements; `elim` must be fresh (done false)
// for a new Q.
//
// When `q_next` is given (a matrix of the same size), the sweep also works
// out its elimination into `next` during the back substitution: the two are
// independent chains of divisions, so the next step's elimination adds
// little to the time of this sweep.
void cn_sweep(const Tridiagonal& p, const Tridiagonal& q, Elimination& elim, Vec& v,
              const Tridiagonal* q_next = nullptr, Elimination* next = nullptr);
void cn_sweep(const Tridiagonal& p, const Tridiagonal& q, Elimination& elim, Vec& v, Vec& u,
              const Tridiagonal* q_next = nullptr, Elimination* next = nullptr);

}  // namespace mirvon
