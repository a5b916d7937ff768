#include "kept_factors.hpp"

#include <cmath>

namespace quenda::sparsefactor {

FactorWork factor(KeptFactors& kept, const Pattern& p, double* values, klu_common* common) {
    kept = KeptFactors{};  // free the old factors before L and U are allocated anew
    FactorWork work;
    work.factors = 1;
    Numeric numeric(klu_factor(p.ap, p.ai, values, p.symbolic, common), common);
    work.status = common->status;
    if (!numeric) return work;
    // Cannot fail with a factorisation in hand; should it, every refactorisation
    // falls back rather than trust an unknown reference.
    kept.growth = klu_rgrowth(p.ap, p.ai, values, p.symbolic, numeric.get(), common)
                      ? common->rgrowth
                      : INFINITY;
    kept.numeric = std::move(numeric);
    common->status = work.status;
    return work;
}

FactorWork refactor(KeptFactors& kept, const Pattern& p, double* values, klu_common* common) {
    if (!kept.numeric) return factor(kept, p, values, common);
    klu_numeric* numeric = kept.numeric.get();
    // NaN growth (from NaN values) fails the comparison and falls back as well.
    if (klu_refactor(p.ap, p.ai, values, p.symbolic, numeric, common) &&
        klu_rgrowth(p.ap, p.ai, values, p.symbolic, numeric, common) &&
        common->rgrowth >= common->tol * kept.growth) {
        common->status = KLU_OK;
        return {KLU_OK, 0, 1};
    }
    FactorWork work = factor(kept, p, values, common);
    work.refactors = 1;
    return work;
}

int solve(KeptFactors& kept, const Pattern& p, double* b, klu_common* common) {
    return klu_solve(p.symbolic, kept.numeric.get(), p.n, 1, b, common) ? KLU_OK
                                                                         : common->status;
}

}  // namespace quenda::sparsefactor
