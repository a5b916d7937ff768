"""Waveforms the netlist dialect has beyond DC, PWL and PULSE: EXP, PWS and
SIN with a phase and a number of cycles. In SI units, with the interface of
quenda.waveforms (a callable of time, constant_from) and breakpoints(t_end),
the sorted times in [0, t_end] where the waveform has a corner."""

import bisect
import math

from ..circuit.waveforms import Waveform


def _within(times, t_end):
    return sorted({float(t) for t in times if 0.0 <= t <= t_end})


class EXP(Waveform):
    """v1 until td1; then towards v2 with time constant tau1; from td2 on back
    towards v1 with time constant tau2."""

    def __init__(self, v1, v2, td1=0.0, tau1=1e-12, td2=None, tau2=1e-12):
        self.v1, self.v2, self.td1, self.tau1 = map(float, (v1, v2, td1, tau1))
        self.td2 = self.td1 + self.tau1 if td2 is None else float(td2)
        self.tau2 = float(tau2)
        if min(self.td1, self.td2) < 0 or not (self.tau1 > 0 and self.tau2 > 0):
            raise ValueError("EXP times must not be negative and its time constants positive")

    def __call__(self, t):
        v = self.v1
        if t > self.td1:
            v += (self.v2 - self.v1) * -math.expm1(-(t - self.td1) / self.tau1)
        if t > self.td2:
            v += (self.v1 - self.v2) * -math.expm1(-(t - self.td2) / self.tau2)
        return v

    def breakpoints(self, t_end):
        return _within((self.td1, self.td2), t_end)

    def __repr__(self):
        return (f"EXP({self.v1!r}, {self.v2!r}, td1={self.td1!r}, tau1={self.tau1!r}, "
                f"td2={self.td2!r}, tau2={self.tau2!r})")


class PWS(Waveform):
    """Through (time, value) points with half-cosine easing between them (no
    kink at a point); constant outside them."""

    def __init__(self, points):
        pts = [(float(t), float(v)) for t, v in points]
        if not pts:
            raise ValueError("PWS needs at least one (time, value) point")
        self.times = [t for t, _ in pts]
        self.values = [v for _, v in pts]
        if any(b < a for a, b in zip(self.times, self.times[1:])):
            raise ValueError(f"PWS times must not decrease: {self.times}")

    def __call__(self, t):
        times, values = self.times, self.values
        k = bisect.bisect_right(times, t)
        if k == 0:
            return values[0]
        if k == len(times):
            return values[-1]
        t0, t1 = times[k - 1], times[k]
        s = (t - t0) / (t1 - t0)
        return values[k - 1] + (values[k] - values[k - 1]) * 0.5 * (1.0 - math.cos(math.pi * s))

    def constant_from(self):
        return self.times[-1]

    def breakpoints(self, t_end):
        return _within(self.times, t_end)

    def __repr__(self):
        return f"PWS({list(zip(self.times, self.values))!r})"


class SIN(Waveform):
    """vo until td; then vo + va exp(-theta tau) sin(2 pi freq tau + phase),
    tau = t - td (phase in radians); with ncycles > 0, vo again after
    ncycles / freq."""

    def __init__(self, vo, va, freq, td=0.0, theta=0.0, phase=0.0, ncycles=0.0):
        self.vo, self.va, self.freq, self.td, self.theta, self.phase, self.ncycles = map(
            float, (vo, va, freq, td, theta, phase, ncycles))
        self.stop = (self.td + self.ncycles / self.freq if self.ncycles > 0 and self.freq > 0
                     else math.inf)

    def __call__(self, t):
        if t < self.td or t >= self.stop:
            return self.vo
        u = t - self.td
        return self.vo + self.va * math.exp(-self.theta * u) * math.sin(
            2 * math.pi * self.freq * u + self.phase)

    def constant_from(self):
        return self.stop

    def breakpoints(self, t_end):
        return _within((self.td, self.stop), t_end)

    def __repr__(self):
        return (f"SIN({self.vo!r}, {self.va!r}, {self.freq!r}, td={self.td!r}, "
                f"theta={self.theta!r}, phase={self.phase!r}, ncycles={self.ncycles!r})")

