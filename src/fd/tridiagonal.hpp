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

// The part of the Thomas solve of Q that depends on Q alone. The first sweep
// of a step works it out, the sweeps of the step's other vectors, and of
// every step that repeats it, reuse it.
struct Elimination {
    Vec mult;       // mult[i] = Q.lower[i] / pivot[i-1], for i >= 1
    Vec inv_pivot;  // 1 / pivot[i]
    Vec ratio;      // Q.upper[i] / pivot[i]
    bool done = false;
};

// v := Q^-1 (P v) in place, for one vector or two at once: the product
// y = P v formed row by row during the Thomas solve of Q x = y, without
// pivoting (a zero or non-finite pivot propagates into the result). Each
// vector's solve is two chains of dependent operations, the forward
// elimination and the back substitution; they are written so that the
// chains are short, with results equal to the textbook order's up to
// rounding: the back substitution as x[i] = e[i] / pivot[i] - (upper[i] /
// pivot[i]) x[i+1], its divisions taken once per Q; and both recurrences two
// rows per link. Two vectors share the registers of one sweep.
// Needs n >= 1 and vectors of n elements; `elim` must be fresh (done false)
// for a new Q.
//
// When `q_next` is given (a matrix of the same size), the sweep also works
// out its elimination into `next` during the back substitution: the two are
// independent chains, so the next step's elimination costs little time of
// its own.
void cn_sweep(const Tridiagonal& p, const Tridiagonal& q, Elimination& elim, Vec& v,
              const Tridiagonal* q_next = nullptr, Elimination* next = nullptr);
void cn_sweep(const Tridiagonal& p, const Tridiagonal& q, Elimination& elim, Vec& v, Vec& u,
              const Tridiagonal* q_next = nullptr, Elimination* next = nullptr);

}  // namespace mirvon
