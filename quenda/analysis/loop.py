"""The state of one run and one time step at a time.

The unknowns x and their first and second time derivatives are the rows of
one (3, n) array S, so that a Newton update dx of the unknowns moves all
three at once (integration.py). H holds the same at the last two accepted
points. A step is attempted from the last accepted point; only accept()
makes it part of the run (the kernel's models take their history there).
"""

import time as _time

import numpy as np

from .. import SimulationParameters as SP
from .. import qdglobals as G
from .. import stampcore as sc
from .hoststate import install, smooth
from .integration import predict, step_map
from .newton import Newton, _largest


def varying(sources, time_unit):
    """The sources whose value still changes after 0, each with the kernel
    time from which it stays constant."""
    return [(s, s.wave.constant_from() / time_unit) for s in sources
            if s.wave.constant_from() > 0.0]


class TimeLoop:
    def __init__(self, assembly, t_ramp, tol, max_iter, hysteresis, min_step, noise=None):
        self.assembly, self.t_ramp = assembly, t_ramp
        n = assembly.size
        self.S = np.zeros((3, n))
        self.H = np.zeros((6, n))
        self.x_predicted = np.zeros(n)
        self.dx = np.zeros(n + 1)  # change of the unknowns over the step, ground at 0
        self.t = 0.0               # time of the last accepted point (kernel time)
        self.h_prev = None         # step that led to it (None: no usable history)
        self.formula = None        # formula of the step being solved
        self.accepted = 0          # steps accepted so far
        self._maps = {}
        self.noise = noise         # noise.RunNoise, or None
        sources = install(assembly, self.S, self.H, t_ramp, hysteresis, min_step, noise)
        self.varying = varying(sources, assembly.units.time)
        self.newton = Newton(assembly, tol, max_iter)
        self.turned = np.zeros((2, assembly.bounded_i.size))
        sc.UpdateValues()
        if noise is not None:
            noise.start()

    def _map(self, formula, h):
        key = (formula, h, self.h_prev if formula == "gear" else None)
        found = self._maps.get(key)
        if found is None:
            if len(self._maps) > 64:
                self._maps.clear()
            T, c0 = step_map(formula, h, self.h_prev)
            found = self._maps[key] = (np.ascontiguousarray(T), c0)
        return found

    def attempt(self, t_new, formula):
        """Solves the step from the last accepted point to t_new with the
        formula "trap", "gear" or "euler"; returns Newton's outcome."""
        h = t_new - self.t
        G.CurrentTime = t_new
        SP.InitialSmoothFactor = smooth(t_new, self.t_ramp)
        for s, _ in self.varying:
            s.model.SetParameters([s.value(t_new)])
        T, c0 = self._map(formula, h)
        SP.InterpCoeffDt[0], SP.InterpCoeffDDt[0], SP.TimeSteps[0] = c0, c0 * c0, h
        predict(T, self.H, self.S, self.newton.work)
        np.copyto(self.x_predicted, self.S[0])
        self.formula = formula
        return self.newton.solve(self.S, c0)

    def phase_step(self):
        """Largest change over the solved step of the phase across a junction
        or a phase source (radians)."""
        a = self.assembly
        if not a.bounded_i.size:
            return 0.0
        np.subtract(self.S[0], self.H[0], out=self.dx[1:])
        turned, other = self.turned
        self.dx.take(a.bounded_i, out=turned)
        self.dx.take(a.bounded_j, out=other)
        np.subtract(turned, other, out=turned)
        np.abs(turned, out=turned)
        return float(_largest(turned))

    def prediction_error(self):
        """Largest difference between the solved and the predicted unknowns."""
        if not self.S.shape[1]:
            return 0.0
        np.subtract(self.S[0], self.x_predicted, out=self.dx[1:])
        return float(_largest(np.abs(self.dx[1:], out=self.dx[1:])))

    def accept(self, t_new, restart=False):
        """Makes the solved point (at t_new) the last accepted one. restart:
        the next step begins afresh (a breakpoint): no derivatives carry over."""
        self.H[3:] = self.H[:3]
        self.H[:3] = self.S
        self.h_prev = None if restart else t_new - self.t
        self.t = t_new
        self.accepted += 1
        started = _time.perf_counter()
        sc.UpdateValues()
        self.newton.timing["kernel"] += _time.perf_counter() - started
        if self.noise is not None:
            self.noise.accepted(t_new)
        if self.varying and min(until for _, until in self.varying) < self.t:
            self.varying = [(s, until) for s, until in self.varying if until >= self.t]

    @property
    def timing(self):
        return dict(self.newton.timing, **self.newton.counts)
