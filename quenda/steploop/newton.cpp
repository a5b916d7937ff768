// Newton iterations with kept factors (newton.hpp), in the order and with
// the arithmetic of quenda/analysis/newton.py.
#include "newton.hpp"

#include "clock.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace quenda::steploop {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The largest of |x[k]|, NaN as soon as one is NaN (as NumPy's max).
double largest_magnitude(const double* x, size_t count) {
    double m = 0.0;
    for (size_t k = 0; k < count; ++k) {
        const double a = std::fabs(x[k]);
        if (std::isnan(a)) return a;
        if (a > m) m = a;
    }
    return m;
}

}  // namespace

bool converged(int it, double largest, double previous, double tol, bool exact, bool lagging) {
    if (exact) {
        if (largest <= tol) return true;
        return it > 0 && largest < 0.5 * previous &&
               largest * std::pow(largest / previous, 2.0) <= tol;
    }
    if (largest == 0.0) return true;
    if (it == 0) return false;
    const double rate = largest / previous;
    if (!(rate < 1.0 && largest * rate <= tol * (1.0 - rate))) return false;
    return largest <= tol || (!lagging && rate < 0.5);
}

Newton::~Newton() {
    kept_ = sparsefactor::KeptFactors{};
    symbolic_.reset();
}

bool Newton::prepare(const NewtonSettings& settings, const Models& models, int32_t n,
                     const int32_t* ap, const int32_t* ai) {
    s_ = settings;
    n_ = n;
    nnz_ = ap[n];
    try {
        ap_.assign(ap, ap + n + 1);
        ai_.assign(ai, ai + nnz_);
        for (auto* v : {&A0_, &A1_, &A2_, &A01_, &Ax_, &A2_kept_}) v->assign(nnz_, 0.0);
        B_.assign(n, 0.0);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    models.static_matrix(A0_.data());
    klu_defaults(&common_);
    symbolic_ = sparsefactor::Symbolic(klu_analyze(n, ap_.data(), ai_.data(), &common_), &common_);
    status_ = common_.status;
    return true;
}

bool Newton::unmoved() const {
    for (size_t k = 0; k < A2_.size(); ++k)
        if (!(std::fabs(A2_[k] - A2_kept_[k]) == 0.0)) return false;
    return true;
}

bool Newton::moved_within(double bound) const {
    for (size_t k = 0; k < A2_.size(); ++k)
        if (!(std::fabs(A2_[k] - A2_kept_[k]) <= bound)) return false;
    return true;
}

// newton.refactor_now, deciding as it decides with no more of the drift
// than the decision needs. *unmoved: A2 is the one the kept factors were
// made from (the drift is 0).
bool Newton::refactor_now(int it, double c0, bool have_rate, double rate, bool* unmoved) const {
    *unmoved = false;
    if (!have_kept_ || c0 != c0_kept_) return true;
    if ((*unmoved = this->unmoved())) return false;
    if (it == 0 || (have_rate && rate > s_.slow_rate)) return true;
    return !moved_within(s_.drift * scale_kept_);
}

bool Newton::factor(double c0) {
    for (size_t k = 0; k < Ax_.size(); ++k) Ax_[k] = A01_[k] + A2_[k];
    const sparsefactor::Pattern p{n_, ap_.data(), ai_.data(), symbolic_.get()};
    const sparsefactor::FactorWork work = sparsefactor::refactor(kept_, p, Ax_.data(), &common_);
    factorisations += work.factors;
    refactorisations += work.refactors;
    if (work.status != KLU_OK) {
        have_kept_ = false;
        return false;
    }
    A2_kept_ = A2_;
    have_kept_ = true;
    c0_kept_ = c0;
    scale_kept_ = largest_magnitude(Ax_.data(), Ax_.size());
    return true;
}

double Newton::now() const { return s_.profile ? seconds_now() : 0.0; }

Outcome Newton::solve(const Models& models, Point point, double c0, int32_t* worst) {
    *worst = -1;
    const size_t n = size_t(n_);
    double* S = point.S;
    double* B = B_.data();
    const double increment[3] = {1.0, c0, c0 * c0};
    double started = now();
    std::fill(A2_.begin(), A2_.end(), 0.0);
    std::fill(B_.begin(), B_.end(), 0.0);
    if (s_.build_every_step || !have_c0_built_ || c0 != c0_built_) {
        std::fill(A1_.begin(), A1_.end(), 0.0);
        models.step_matrix(A1_.data(), A2_.data(), B, *point.ctx);
        for (size_t k = 0; k < A01_.size(); ++k) A01_[k] = A0_[k] + A1_[k];
        have_c0_built_ = true;
        c0_built_ = c0;
    } else {
        models.iteration_matrix(A2_.data(), B, *point.ctx);
    }
    double stopped = now();
    kernel_seconds += stopped - started;
    double previous = kInf, rate = 0.0;
    bool have_rate = false;
    bool exact_so_far = s_.exact;
    const sparsefactor::Pattern p{n_, ap_.data(), ai_.data(), symbolic_.get()};
    for (int it = 0; it < s_.max_iter; ++it) {
        if (it) {
            started = now();
            std::fill(A2_.begin(), A2_.end(), 0.0);
            std::fill(B_.begin(), B_.end(), 0.0);
            models.iteration_matrix(A2_.data(), B, *point.ctx);
            stopped = now();
            kernel_seconds += stopped - started;
        }
        started = stopped;
        bool unmoved;
        if (refactor_now(it, c0, have_rate, rate, &unmoved)) {
            if (!factor(c0)) {
                solver_seconds += now() - started;
                return Outcome::singular;
            }
            unmoved = true;
        }
        exact_so_far = exact_so_far && unmoved;
        sparsefactor::solve(kept_, p, B, &common_);
        stopped = now();
        solver_seconds += stopped - started;
        ++iterations;
        const double largest = largest_magnitude(B, n);
        if (!std::isfinite(largest)) {
            for (size_t k = 0; k < n; ++k)
                if (!std::isfinite(B[k])) {
                    *worst = int32_t(k);
                    break;
                }
            return Outcome::nonfinite;
        }
        for (int r = 0; r < 3; ++r) {
            double* row = S + r * n;
            const double inc = increment[r];
            for (size_t k = 0; k < n; ++k) row[k] = row[k] + inc * B[k];
        }
        if (s_.linear || converged(it, largest, previous, s_.tol, exact_so_far, s_.lagging)) {
            if (!std::isfinite(largest_magnitude(S, 3 * n))) {
                for (size_t k = 0; k < n && *worst < 0; ++k)
                    for (int r = 0; r < 3; ++r)
                        if (!std::isfinite(S[r * n + k])) {
                            *worst = int32_t(k);
                            break;
                        }
                return Outcome::nonfinite;
            }
            return Outcome::ok;
        }
        if (it) {
            rate = largest / previous;
            have_rate = true;
        }
        previous = largest;
    }
    size_t at = 0;
    for (size_t k = 1; k < n; ++k)
        if (std::fabs(B[k]) > std::fabs(B[at])) at = k;
    *worst = int32_t(at);
    return Outcome::diverged;
}

}  // namespace quenda::steploop
