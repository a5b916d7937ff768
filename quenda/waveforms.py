"""Source waveforms, as SPICE defines them, in SI units.

Each waveform is a callable of time (seconds) that returns the source value,
and tells the time loop from when on it stays constant, so that constant
sources cost nothing per step.
"""

import math

import numpy as np


class Waveform:
    def __call__(self, t):
        raise NotImplementedError

    def constant_from(self):
        """Time from which the value never changes (inf if never)."""
        return math.inf


class DC(Waveform):
    def __init__(self, value):
        self.value = float(value)

    def __call__(self, t):
        return self.value

    def constant_from(self):
        return -math.inf

    def __repr__(self):
        return f"DC({self.value!r})"


class PWL(Waveform):
    """Piecewise linear through (time, value) points; constant outside them."""

    def __init__(self, points):
        pts = [(float(t), float(v)) for t, v in points]
        if not pts:
            raise ValueError("PWL needs at least one (time, value) point")
        times = [t for t, _ in pts]
        if any(b < a for a, b in zip(times, times[1:])):
            raise ValueError(f"PWL times must not decrease: {times}")
        self.times = np.array(times)
        self.values = np.array([v for _, v in pts])

    def __call__(self, t):
        return float(np.interp(t, self.times, self.values))

    def constant_from(self):
        return float(self.times[-1])

    def __repr__(self):
        return f"PWL({list(zip(self.times.tolist(), self.values.tolist()))!r})"


class PULSE(Waveform):
    """v1 until td, rise to v2 in tr, hold pw, fall in tf, repeat every per."""

    def __init__(self, v1, v2, td=0.0, tr=0.0, tf=0.0, pw=math.inf, per=math.inf):
        self.v1, self.v2 = float(v1), float(v2)
        self.td, self.tr, self.tf, self.pw, self.per = map(float, (td, tr, tf, pw, per))
        if min(self.td, self.tr, self.tf, self.pw) < 0 or self.per <= 0:
            raise ValueError("PULSE times must not be negative and its period must be positive")

    def __call__(self, t):
        if t < self.td:
            return self.v1
        u = t - self.td
        if math.isfinite(self.per):
            u = math.fmod(u, self.per)
        if u < self.tr:
            return self.v1 + (self.v2 - self.v1) * u / self.tr
        u -= self.tr
        if u < self.pw:
            return self.v2
        u -= self.pw
        if u < self.tf:
            return self.v2 + (self.v1 - self.v2) * u / self.tf
        return self.v1

    def constant_from(self):
        if math.isfinite(self.per):
            return math.inf
        return self.td + self.tr + self.pw + self.tf

    def __repr__(self):
        return (f"PULSE({self.v1!r}, {self.v2!r}, td={self.td!r}, tr={self.tr!r}, "
                f"tf={self.tf!r}, pw={self.pw!r}, per={self.per!r})")


class SIN(Waveform):
    """vo + va * sin(2 pi freq (t - td)) * exp(-theta (t - td)) from td on."""

    def __init__(self, vo, va, freq, td=0.0, theta=0.0):
        self.vo, self.va, self.freq, self.td, self.theta = map(float, (vo, va, freq, td, theta))

    def __call__(self, t):
        if t < self.td:
            return self.vo
        u = t - self.td
        return self.vo + self.va * math.sin(2 * math.pi * self.freq * u) * math.exp(-self.theta * u)

    def __repr__(self):
        return f"SIN({self.vo!r}, {self.va!r}, {self.freq!r}, td={self.td!r}, theta={self.theta!r})"


def as_waveform(value):
    """A waveform, or a number taken as DC."""
    if isinstance(value, Waveform):
        return value
    if callable(value):
        raise TypeError("a source value must be a number or a quenda waveform (DC, PWL, PULSE, SIN)")
    return DC(value)
