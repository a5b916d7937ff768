// Step control (stepping.hpp), as quenda/analysis/stepping.py decides it.
#include "stepping.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quenda::steploop {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Python's min(a, b) and max(a, b): the first argument unless the second
// is strictly smaller (larger).
double py_min(double a, double b) { return b < a ? b : a; }
double py_max(double a, double b) { return b > a ? b : a; }

}  // namespace

double Steps::next_breakpoint(double t) const {
    const auto& b = s_.breakpoints;
    const auto k = std::upper_bound(b.begin(), b.end(), t);  // bisect_right
    return k != b.end() ? *k : kInf;
}

void Steps::size(const TimeLoop& loop, double t, double end, double* h_out,
                 double* t_out) const {
    const double r = end - t;
    double h = py_min(h_try_, s_.max_step);
    if (!loop.have_h_prev) h = py_min(h, s_.step * s_.restart_share);
    if (h >= r * (1.0 - 1e-9)) {  // the rounding of a sum of steps is no reason for two
        *h_out = r;
        *t_out = end;
        return;
    }
    if (r < 2 * h) h = 0.5 * r;
    *h_out = h;
    *t_out = t + h;
}

bool Steps::advance(const Models& models, TimeLoop& loop, Newton& newton, double end,
                    Failure* failed) {
    const double t = loop.t;
    const double bp = next_breakpoint(t);
    double seg_end = py_min(end, bp);
    // A noise boundary within half the smallest step of a point landed on
    // anyway is that point (the noise takes it so): no sliver steps.
    const double near = 0.5 * s_.min_step;
    if (landing < seg_end - near) seg_end = landing;
    const bool exempt = unjudged_ > 0;
    double h, t_new, error;
    Formula formula;
    while (true) {
        size(loop, t, seg_end, &h, &t_new);
        formula = loop.have_h_prev ? s_.method : Formula::euler;
        int32_t worst;
        SourceFailure source;
        Outcome outcome = loop.attempt(models, newton, t_new, formula, &worst, &source);
        if (outcome == Outcome::source) {
            *failed = Failure{outcome, -1, t_new, h, source};
            return false;
        }
        double shrink = 0.5;
        if (outcome == Outcome::ok) {
            const double turned = loop.phase_step();
            if (turned > s_.max_phase) {
                outcome = Outcome::phase;
                shrink = py_max(0.1, 0.8 * s_.max_phase / turned);
            }
        }
        error = 0.0;
        if (outcome == Outcome::ok && s_.adaptive && error_share(formula) != 0.0 && !exempt) {
            error = error_share(formula) * loop.prediction_error();
            if (error > s_.lte) {
                outcome = Outcome::error;
                shrink = py_max(0.2, 0.9 * std::pow(s_.lte / error, 1.0 / 3.0));
            }
        }
        if (outcome == Outcome::ok) break;
        ++rejected;
        if (h <= s_.min_step * (1 + 1e-9)) {
            *failed = Failure{outcome, worst, t_new, h, {}};
            return false;
        }
        h_try_ = py_max(h * shrink, s_.min_step);
    }
    const bool landed_on_breakpoint = t_new == bp;
    const bool on_landing = std::fabs(t_new - landing) <= near && !landed_on_breakpoint;
    unjudged_ = on_landing ? 2 : std::max(0, unjudged_ - 1);
    loop.accept(models, t_new, landed_on_breakpoint || on_landing);
    // The noise moves on at its boundary (noise.RunNoise.accepted).
    landed = !(t_new < landing - near);
    const double wanted = h_try_;  // before this step was cut short to land
    if (!s_.adaptive) {
        h_try_ = py_min(s_.step, 2.0 * h);
    } else if (exempt) {
        h_try_ = h;  // unjudged: no reason to change it
    } else {
        const double grow = error == 0.0 ? 2.0
                                         : py_min(2.0, py_max(0.5, 0.9 * std::pow(s_.lte / error,
                                                                                 1.0 / 3.0)));
        h_try_ = h * grow;
    }
    if (on_landing) {
        resume_ = py_max(h_try_, wanted);
        have_resume_ = true;
    } else if (have_resume_) {
        h_try_ = py_max(h_try_, resume_);
        have_resume_ = false;
    }
    return true;
}

}  // namespace quenda::steploop
