// Newton iterations for one time step, the factorisation they keep, and
// when to stop: quenda/analysis/newton.py, compiled. The two are one
// design; the reasons are given there.
#pragma once

#include "kernel_link.hpp"

#include "../sparsefactor/kept_factors.hpp"

#include <cstdint>
#include <vector>

namespace quenda::steploop {

enum class Outcome { ok, singular, diverged, nonfinite, phase, error, source };

// Whether the iterate after an update of size `largest` (the previous one
// `previous`) is within tol of the solution (newton.converged).
bool converged(int it, double largest, double previous, double tol, bool exact, bool lagging);

// What the host says about the circuit and the run (newton.Newton).
struct NewtonSettings {
    double tol;
    int32_t max_iter;
    bool exact;             // every model's A2 is its exact Jacobian
    bool linear;            // no model stamps A2
    bool build_every_step;  // a model advances its history in Admitance1
    bool lagging;           // a model takes its history from the iterate before the last update
    double slow_rate;       // newton.SLOW_RATE
    double drift;           // newton.DRIFT
    bool profile;           // measure kernel_seconds and solver_seconds
};

// The solution arrays of the point being solved, as the models read them.
struct Point {
    double* S;  // rows x, v, a of n values
    ModelContext* ctx;
};

class Newton {
public:
    Newton() = default;
    Newton(const Newton&) = delete;
    Newton& operator=(const Newton&) = delete;
    ~Newton();

    // Copies the pattern (n unknowns, columns ap, rows ai), analyses it and
    // stamps A0. False with an exception set for memory; KLU's refusal
    // shows in status().
    bool prepare(const NewtonSettings& settings, const Models& models, int32_t n,
                 const int32_t* ap, const int32_t* ai);
    int status() const { return status_; }

    // Iterates from the predicted state (changed in place) to the solution
    // at the new point; *worst: the index of the unknown at fault, or -1.
    Outcome solve(const Models& models, Point point, double c0, int32_t* worst);

    // The values of the matrix last factorised (for the message of a singular one).
    const std::vector<double>& matrix() const { return Ax_; }

    // With settings.profile: the time spent in the models and in KLU.
    double kernel_seconds = 0.0, solver_seconds = 0.0;
    uint64_t iterations = 0, factorisations = 0, refactorisations = 0;

private:
    double now() const;
    bool factor(double c0);
    bool refactor_now(int it, double c0, bool have_rate, double rate, bool* unmoved) const;
    bool unmoved() const;
    bool moved_within(double bound) const;

    NewtonSettings s_{};
    int32_t n_ = 0, nnz_ = 0;
    std::vector<int32_t> ap_, ai_;
    std::vector<double> A0_, A1_, A2_, A01_, Ax_, B_, A2_kept_;
    bool have_c0_built_ = false, have_kept_ = false;
    double c0_built_ = 0.0, c0_kept_ = 0.0, scale_kept_ = 0.0;
    klu_common common_{};
    sparsefactor::Symbolic symbolic_;
    sparsefactor::KeptFactors kept_;
    int status_ = 0;
};

}  // namespace quenda::steploop
