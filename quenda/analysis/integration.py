"""Integration formulas: the derivatives at the new point as functions of its unknowns.

The state of the time loop is, per unknown x, the value, first and second
time derivative (x, v, a). A formula makes v and a at the new point linear in
x there, with slopes c0 and c0**2:

    trapezoidal   x1 = x0 + h (v0 + v1) / 2        v1 = c0 (x1 - x0) - v0,  c0 = 2 / h
    backward Euler                                  v1 = c0 (x1 - x0),       c0 = 1 / h
    BDF2 (variable step, w = h / h_prev)            v1 = c0 x1 + c1 x0 + c2 x_-1
        c0 = (1 + 2w) / ((1 + w) h),  c1 = -(1 + w) / h,  c2 = w^2 / ((1 + w) h)

and the same formula takes a from v. The kernel stamps c0 (coeff_dt) and
c0**2 (coeff_ddt) into A1, so A1 must be rebuilt whenever c0 changes: with
the step size, and for BDF2 also with the ratio of steps and from its
backward-Euler first step to its second.

Backward Euler also restarts either method at t = 0 and after every
breakpoint of a source: it needs no derivatives from the past, so it starts
from a state whose derivatives are not yet consistent with the circuit (a
source that jumps, a corner of a PWL) without carrying that inconsistency
on, as the trapezoidal rule would, undamped, for the whole run.

The predictor takes a Taylor step with the last accepted derivatives; the
derivatives then follow from the formula, so the predicted point satisfies it.
(Extrapolation through more past points predicts no better: at rest the
Taylor step is exact to the last bit, and within a junction's switching its
error and theirs are alike, about 1e-2 rad at a quarter picosecond.) It is
summed term by term in a fixed order, as the compiled loop sums it, so that
both loops take the same steps to the last bit.
"""

import numpy as np

METHODS = ("trap", "gear")


def step_map(formula, h, h_prev=None):
    """(T, c0): the predicted state S = T @ H[:T.shape[1]] from the history
    H (rows x, v, a at the last accepted point, then at the one before), and
    the slope c0. formula is "trap", "euler" or "gear" (BDF2, needs h_prev)."""
    xrow = [1.0, h, 0.5 * h * h]
    if formula == "trap":
        c0 = 2.0 / h
        v = [c0 * xrow[0] - c0, c0 * xrow[1] - 1.0, c0 * xrow[2]]
        a = [c0 * c0 * xrow[0] - c0 * c0, c0 * c0 * xrow[1] - 2.0 * c0, c0 * c0 * xrow[2] - 1.0]
        return np.array([xrow, v, a]), c0
    if formula == "euler":
        c0 = 1.0 / h
        v = [c0 * xrow[0] - c0, c0 * xrow[1], c0 * xrow[2]]
        a = [c0 * c0 * xrow[0] - c0 * c0, c0 * c0 * xrow[1] - c0, c0 * c0 * xrow[2]]
        return np.array([xrow, v, a]), c0
    if formula == "gear":
        w = h / h_prev
        c0, c1, c2 = (1 + 2 * w) / ((1 + w) * h), -(1 + w) / h, w * w / ((1 + w) * h)
        xrow6 = xrow + [0.0, 0.0, 0.0]
        v = [c0 * x for x in xrow6]
        v[0] += c1
        v[3] += c2
        a = [c0 * c0 * x for x in xrow6]
        a[0] += c0 * c1
        a[1] += c1
        a[3] += c0 * c2
        a[4] += c2
        return np.array([xrow6, v, a]), c0
    raise ValueError(f"unknown integration formula {formula!r}")


def predict(T, H, S, work):
    """S = T @ H[:T.shape[1]], each row summed over the columns of T in
    order (work: a scratch array shaped like S)."""
    np.multiply(T[:, :1], H[0], out=S)
    for k in range(1, T.shape[1]):
        np.multiply(T[:, k:k + 1], H[k], out=work)
        np.add(S, work, out=S)


def error_share(formula):
    """The share of (solved - predicted) that is the step's own truncation
    error. The Taylor predictor errs by h^3 D/6 (D the third derivative); the
    trapezoidal rule by -h^3 D/12, BDF2 by -2 h^3 D/9, so a third of the
    difference (trapezoidal) or 4/7 of it (BDF2). Backward Euler's own error
    is of lower order and is not estimated this way: None."""
    return {"trap": 1.0 / 3.0, "gear": 4.0 / 7.0}.get(formula)
