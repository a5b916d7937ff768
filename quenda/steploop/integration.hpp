// The integration formulas of quenda/analysis/integration.py: the map from
// the history to the predicted state, its slope c0, and the share of the
// prediction error that is the step's own truncation error; and the
// start-up ramp of quenda/analysis/hoststate.py. Each value is computed with
// the host's operations in the host's order, so that both loops agree to
// the last bit.
#pragma once

#include <cmath>

namespace quenda::steploop {

enum class Formula { trap, euler, gear };

// S[r] = sum over k < columns of T[r][k] * H[k]; c0 the slope of v and a.
struct StepMap {
    double T[3][6];
    int columns;
    double c0;
};

inline StepMap step_map(Formula formula, double h, double h_prev) {
    StepMap m{};
    const double xrow[3] = {1.0, h, 0.5 * h * h};
    double* x = m.T[0];
    double* v = m.T[1];
    double* a = m.T[2];
    for (int k = 0; k < 3; ++k) x[k] = xrow[k];
    if (formula == Formula::trap) {
        const double c0 = 2.0 / h;
        v[0] = c0 * xrow[0] - c0;
        v[1] = c0 * xrow[1] - 1.0;
        v[2] = c0 * xrow[2];
        a[0] = c0 * c0 * xrow[0] - c0 * c0;
        a[1] = c0 * c0 * xrow[1] - 2.0 * c0;
        a[2] = c0 * c0 * xrow[2] - 1.0;
        m.columns = 3;
        m.c0 = c0;
    } else if (formula == Formula::euler) {
        const double c0 = 1.0 / h;
        v[0] = c0 * xrow[0] - c0;
        v[1] = c0 * xrow[1];
        v[2] = c0 * xrow[2];
        a[0] = c0 * c0 * xrow[0] - c0 * c0;
        a[1] = c0 * c0 * xrow[1] - c0;
        a[2] = c0 * c0 * xrow[2];
        m.columns = 3;
        m.c0 = c0;
    } else {
        const double w = h / h_prev;
        const double c0 = (1 + 2 * w) / ((1 + w) * h), c1 = -(1 + w) / h,
                     c2 = w * w / ((1 + w) * h);
        for (int k = 0; k < 6; ++k) {
            const double xk = k < 3 ? xrow[k] : 0.0;
            x[k] = xk;
            v[k] = c0 * xk;
            a[k] = c0 * c0 * xk;
        }
        v[0] += c1;
        v[3] += c2;
        a[0] += c0 * c1;
        a[1] += c1;
        a[3] += c0 * c2;
        a[4] += c2;
        m.columns = 6;
        m.c0 = c0;
    }
    return m;
}

// The share of (solved - predicted) that is the step's own truncation
// error; 0 for backward Euler, whose error is not estimated this way.
inline double error_share(Formula formula) {
    switch (formula) {
        case Formula::trap: return 1.0 / 3.0;
        case Formula::gear: return 4.0 / 7.0;
        default: return 0.0;
    }
}

// The start-up ramp: 0 at t = 0 rising smoothly (a cubic) to 1 at t_ramp.
inline double smooth(double t, double t_ramp) {
    if (t_ramp <= 0 || t >= t_ramp) return 1.0;
    const double s = t / t_ramp;
    return s * s * (3.0 - 2.0 * s);
}

}  // namespace quenda::steploop
