"""Step control: which steps the time loop takes, and which it accepts.

Two ways to choose steps share one set of rules:

- fixed: the user's grid t_k = k * step; results are recorded on it;
- adaptive: each step from the estimated local truncation error; results
  are recorded at every accepted point.

The rules, whatever the way:

- every breakpoint of a source (a PWL corner, a pulse edge) is landed on,
  so that no input is stepped over; the step after it, like the first step
  of the run, is a short backward-Euler step (integration.py), after which
  steps grow by at most a factor of two;
- every boundary of a noise source's intervals (noise.py) is landed on too,
  and the step after it is a backward-Euler step of the restart's size, but
  then the steps go on at the size they had (no doubling from the short
  step, which at a boundary every step or few would multiply the steps);
  in adaptive runs the two steps after a boundary are not judged by their
  truncation error (the second one's predictor still carries derivatives
  from across the noise's jump);
- a step after which any junction or phase source has turned by more than
  `max_phase` radians is taken again in parts: a large step would otherwise
  change the physics silently (a junction slipping several flux quanta
  where it slips one);
- a step that Newton cannot solve is taken again in halves, down to the
  smallest step, before the run stops with an error naming time and place;
- no step leaves a sliver: the last two steps before a point that must be
  landed on share the distance;
- no step exceeds max_step, which the shortest delay of the circuit's
  transmission lines bounds (a line reads its own past at t - TD).
"""

import bisect
import math

import numpy as np

from .errors import SimulationError
from .integration import error_share

#: The first step after a restart is this share of the user's step.
RESTART_SHARE = 1.0 / 16.0


def landing_points(breakpoints, step, min_step, t_end, grid):
    """The breakpoints (sorted, kernel time) the steps land on. Breakpoints
    closer together than the smallest step are one; on a grid, one that the
    rounding of its time puts a hair off a grid point is that point."""
    kept = []
    for b in breakpoints:
        if grid and abs(b - round(b / step) * step) < 1e-9 * step:
            b = round(b / step) * step
        if 0.0 < b < t_end and (not kept or b - kept[-1] >= min_step):
            kept.append(float(b))
    return kept


class Steps:
    """The step controller of one run (kernel time throughout)."""

    def __init__(self, loop, method, step, min_step, max_step, max_phase, breakpoints, t_end,
                 grid=False, landings=None):
        self.loop, self.method = loop, method
        # landings: next_landing(t), the first noise boundary after t, or None.
        self.landings = landings
        self.step, self.min_step, self.max_step = step, min_step, max_step
        self.max_phase = max_phase
        self.breakpoints = landing_points(breakpoints, step, min_step, t_end, grid)
        self.h_try = step
        self.rejected = 0
        self.unjudged = 0  # steps still to take before the truncation error is judged again
        self.resume = None  # the step to go on with after a noise boundary's restart

    def next_breakpoint(self, t):
        k = bisect.bisect_right(self.breakpoints, t)
        return self.breakpoints[k] if k < len(self.breakpoints) else math.inf

    def next_landing(self, t):
        """The first noise boundary after t, or inf."""
        return math.inf if self.landings is None else self.landings.next_landing(t)

    def _size(self, t, end):
        """The step to take from t towards end (no farther), and where it lands."""
        r = end - t
        h = min(self.h_try, self.max_step)
        if self.loop.h_prev is None:
            h = min(h, self.step * RESTART_SHARE)
        if h >= r * (1.0 - 1e-9):  # the rounding of a sum of steps is no reason for two
            return r, end
        if r < 2 * h:
            h = 0.5 * r
        return h, t + h

    def advance(self, end, lte=None):
        """Takes accepted steps from the loop's time up to (at most) end;
        returns after the first accepted step, or once end is reached.
        With lte, the step also must keep the estimated truncation error
        below it, and its size follows that estimate."""
        loop = self.loop
        t = loop.t
        bp = self.next_breakpoint(t)
        seg_end = min(end, bp)
        # A noise boundary within half the smallest step of a point landed
        # on anyway is that point (the noise takes it so): no sliver steps.
        landing = self.next_landing(t)
        near = 0.5 * self.min_step
        if landing < seg_end - near:
            seg_end = landing
        exempt = self.unjudged > 0
        while True:
            h, t_new = self._size(t, seg_end)
            formula = self.method if loop.h_prev is not None else "euler"
            outcome, worst = loop.attempt(t_new, formula)
            shrink = 0.5
            if outcome == "ok":
                turned = loop.phase_step()
                if turned > self.max_phase:
                    outcome, shrink = "phase", max(0.1, 0.8 * self.max_phase / turned)
            error = 0.0
            if (outcome == "ok" and lte is not None and error_share(formula) is not None
                    and not exempt):
                error = error_share(formula) * loop.prediction_error()
                if error > lte:
                    outcome, shrink = "error", max(0.2, 0.9 * (lte / error) ** (1 / 3))
            if outcome == "ok":
                break
            self.rejected += 1
            if h <= self.min_step * (1 + 1e-9):
                raise self.failure(outcome, worst, t_new, h)
            self.h_try = max(h * shrink, self.min_step)
        landed_on_breakpoint = t_new == bp
        on_landing = abs(t_new - landing) <= near and not landed_on_breakpoint
        self.unjudged = 2 if on_landing else max(0, self.unjudged - 1)
        loop.accept(t_new, restart=landed_on_breakpoint or on_landing)
        wanted = self.h_try  # before this step was cut short to land
        if lte is None:
            self.h_try = min(self.step, 2.0 * h)
        elif exempt:
            self.h_try = h  # unjudged: no reason to change it
        else:
            grow = 2.0 if error == 0.0 else min(2.0, max(0.5, 0.9 * (lte / error) ** (1 / 3)))
            self.h_try = h * grow
        if on_landing:
            self.resume = max(self.h_try, wanted)
        elif self.resume is not None:
            self.h_try, self.resume = max(self.h_try, self.resume), None
        return t_new

    def failure(self, outcome, worst, t_new, h):
        return failure(self.loop.assembly, self.loop.newton.Ax, self.max_phase, outcome, worst,
                       t_new, h)


def failure(assembly, Ax, max_phase, outcome, worst, t_new, h):
    """The SimulationError of a step of size h to t_new (kernel time) that
    failed with `outcome` at unknown index `worst` (None: unknown), Ax the
    values of the matrix last factorised."""
    a = assembly
    when = t_new * a.units.time
    at = f"t = {when:.6g} s"
    hint = " (a smaller step or min_step may help)"
    if outcome == "singular":
        where = a.empty_row(Ax)
        text = (f"the circuit equations are singular at {at}"
                + (f" (nothing fixes the unknown of {where})" if where else ""))
    elif outcome == "nonfinite":
        text = (f"the solution became infinite or NaN at {at} at {a.name_of_unknown(worst)}"
                f"{hint}")
    elif outcome == "phase":
        text = (f"a junction or phase source turns by more than {max_phase:.3g} rad "
                f"within the smallest step ({h * a.units.time:.3g} s) at {at}{hint}")
    elif outcome == "error":
        text = (f"the local truncation error stays above its bound at {at} even with the "
                f"smallest step")
    else:
        text = (f"Newton iterations did not converge at {at}; the largest update was at "
                f"{a.name_of_unknown(worst)}{hint}")
    return SimulationError(text, time=when)


def run_fixed(steps, t_end, store):
    """Steps over the grid k * step, storing the solution at each grid point."""
    loop, step = steps.loop, steps.step
    count = grid_points(t_end, step)
    for k in range(1, count + 1):
        target = t_end if k == count else k * step
        while loop.t < target:
            steps.advance(target)
        store(target)


def grid_points(t_end, step):
    """Points of the grid k * step after 0 up to t_end (the last one is t_end)."""
    return max(1, int(math.ceil(t_end / step - 1e-9)))


def run_adaptive(steps, t_end, lte, store):
    """Steps chosen by the truncation error, storing every accepted point."""
    loop = steps.loop
    while loop.t < t_end:
        store(steps.advance(t_end, lte=lte))


def all_breakpoints(sources, t_end_si, time_unit):
    """The breakpoints of every source waveform up to t_end, in kernel time."""
    found = [np.asarray(s.wave.breakpoints(t_end_si), dtype=float) for s in sources]
    if not found:
        return []
    return (np.unique(np.concatenate(found)) / time_unit).tolist()
