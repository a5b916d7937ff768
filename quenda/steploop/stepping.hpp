// Step control: which steps the compiled loop takes and which it accepts,
// by the rules of quenda/analysis/stepping.py (its docstring gives them).
// The host prepares what both loops share: the breakpoints (already
// merged, and moved onto the grid), the bounds, and the noise boundaries,
// one at a time.
#pragma once

#include "loop.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace quenda::steploop {

struct StepSettings {
    Formula method;  // trap or gear
    double step, min_step, max_step, max_phase, t_end;
    double restart_share;  // stepping.RESTART_SHARE
    bool adaptive;
    double lte;  // adaptive runs only
    std::vector<double> breakpoints;
};

// What stopped a step: its outcome and where (Outcome::ok: nothing did).
struct Failure {
    Outcome outcome = Outcome::ok;
    int32_t worst = -1;
    double t_new = 0.0, h = 0.0;
    SourceFailure source;
};

class Steps {
public:
    explicit Steps(StepSettings settings)
        : landing(std::numeric_limits<double>::infinity()), s_(std::move(settings)),
          h_try_(s_.step) {}

    // Takes accepted steps from the loop's time towards end (no farther);
    // returns after the first accepted step. False with *failed filled when
    // a step fails within the smallest step.
    bool advance(const Models& models, TimeLoop& loop, Newton& newton, double end,
                 Failure* failed);

    const StepSettings& settings() const { return s_; }
    uint64_t rejected = 0;

    // The first noise boundary ahead (kernel time), which the host sets
    // after each one is reached; inf without noise.
    double landing;
    // The last accepted point reached the boundary: the host draws the
    // noise of the next interval before the loop steps on.
    bool landed = false;

private:
    double next_breakpoint(double t) const;
    // The step to take from t towards end, and where it lands.
    void size(const TimeLoop& loop, double t, double end, double* h, double* t_new) const;

    StepSettings s_;
    double h_try_;
    int unjudged_ = 0;         // steps still to take before the truncation error is judged again
    bool have_resume_ = false;  // a step to go on with after a noise boundary's restart:
    double resume_ = 0.0;
};

}  // namespace quenda::steploop
