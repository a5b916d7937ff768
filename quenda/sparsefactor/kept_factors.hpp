// A numeric factorisation kept between calls, and its refactorisation with
// the pivot order it was made with.
//
// klu_refactor skips the pivot search and the growth of L and U that a full
// klu_factor does, and reuses the pivot sequence of the last one. New values
// may no longer suit that sequence: a pivot that was the largest entry of its
// column can become a small one, and then L's multipliers and U's entries
// grow and the solution loses digits in proportion. KLU's reciprocal pivot
// growth (the largest entry of each column of the scaled, permuted matrix
// over the largest of U's column, the smallest such ratio) measures exactly
// that loss. A refactorisation stands while its growth stays within KLU's own
// pivot tolerance (common->tol, 0.001 by default) of the growth the last full
// factorisation reached: partial pivoting itself accepts a diagonal pivot down
// to that fraction of its column's largest entry, so the kept order is then
// no worse than a choice the pivot search could have made. Below that, or
// when the kept order meets a zero pivot, the matrix is factorised afresh.
//
// Plain KLU work, no interpreter calls: the solver runs it without holding
// the interpreter lock.
#pragma once

#include "klu_owner.hpp"

#include <cstdint>

namespace quenda::sparsefactor {

// An analysed pattern as KLU reads it. The arrays are the solver's own copies.
struct Pattern {
    int32_t n;
    int32_t* ap;
    int32_t* ai;
    klu_symbolic* symbolic;  // not null
};

struct KeptFactors {
    Numeric numeric;      // null: nothing kept
    double growth = 0.0;  // reciprocal pivot growth of the full factorisation kept
};

// What a factorisation call did: KLU's status and the calls it made.
struct FactorWork {
    int status = KLU_OK;
    int factors = 0;    // klu_factor calls
    int refactors = 0;  // klu_refactor calls
};

// Factorises `values` afresh and keeps the result; keeps nothing when KLU fails.
FactorWork factor(KeptFactors& kept, const Pattern& p, double* values, klu_common* common);

// Refactorises `values` with the kept pivot order, or factorises afresh when
// nothing is kept, the kept order meets a zero pivot or its growth degrades.
FactorWork refactor(KeptFactors& kept, const Pattern& p, double* values, klu_common* common);

// Overwrites b (n values) with the solution by the kept factors, which must
// exist. Returns KLU's status.
int solve(KeptFactors& kept, const Pattern& p, double* b, klu_common* common);

}  // namespace quenda::sparsefactor
