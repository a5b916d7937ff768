"""Source waveforms, as SPICE defines them, in SI units.

A waveform is a callable of time (seconds) that returns the source value. It
also tells the time loop

- its breakpoints: the times where it has a corner or a jump (a PWL point, a
  pulse edge, the start and end of a sine or of an exponential), on which
  the loop lands a step
  so that no pulse is stepped over and no corner is cut;
- from when on it stays constant, so that constant sources cost nothing;
- the levels it takes, so that a value that cannot be simulated is refused
  when the circuit is built rather than at the step that meets it;
- for a waveform held in steps (NOISE), its clock: the times start + k
  interval at which alone its value changes.

Every argument is a finite number, or text with an engineering suffix
("20p", "500u"). Users may subclass Waveform: __call__ is all it needs.
"""

import bisect
import math

import numpy as np

from .units import si_value


class Waveform:
    def __call__(self, t):
        raise NotImplementedError

    def breakpoints(self, t_end):
        """Sorted times in [0, t_end] at which the waveform has a corner or a jump."""
        return np.empty(0)

    def constant_from(self):
        """Time from which the value never changes (inf if never)."""
        return math.inf

    def levels(self):
        """Values the waveform reaches (its extremes among them); empty if unknown."""
        return ()

    def clock(self):
        """(start, interval) of a waveform held in steps, else None."""
        return None


def _finite(value, what):
    v = si_value(value, what)
    if not math.isfinite(v):
        raise ValueError(f"{what} must be finite (got {value!r})")
    return v


def _duration(value, what, allow_inf=False):
    v = si_value(value, what)
    if math.isnan(v) or v < 0 or (math.isinf(v) and not allow_inf):
        bound = "not negative" if allow_inf else "finite and not negative"
        raise ValueError(f"{what} must be {bound} (got {value!r})")
    return v


def _within(times, t_end):
    times = np.unique(np.asarray(times, dtype=float))
    return times[(times >= 0) & (times <= t_end)]


class DC(Waveform):
    def __init__(self, value):
        self.value = _finite(value, "DC value")

    def __call__(self, t):
        return self.value

    def constant_from(self):
        return -math.inf

    def levels(self):
        return (self.value,)

    def __repr__(self):
        return f"DC({self.value!r})"


class PWL(Waveform):
    """Piecewise linear through (time, value) points; constant outside them.

    PWL([(0, 0), (20e-12, 0), (22e-12, 500e-6)]), or SPICE's flat list
    PWL([0, 0, "20p", 0, "22p", "500u"])."""

    def __init__(self, points):
        pts = list(points)
        if pts and not isinstance(pts[0], (tuple, list, np.ndarray)):
            if len(pts) % 2:
                raise ValueError(f"a flat PWL list needs time, value pairs (got {len(pts)} numbers)")
            pts = list(zip(pts[0::2], pts[1::2]))
        if not pts:
            raise ValueError("PWL needs at least one (time, value) point")
        times, values = [], []
        for k, point in enumerate(pts):
            if len(point) != 2:
                raise ValueError(f"PWL point {k} must be a (time, value) pair (got {point!r})")
            times.append(_finite(point[0], f"PWL time {k}"))
            values.append(_finite(point[1], f"PWL value {k}"))
        for k in range(1, len(times)):
            if times[k] < times[k - 1]:
                raise ValueError(f"PWL times must not decrease: time {k} ({times[k]:g}) "
                                 f"comes before time {k - 1} ({times[k - 1]:g})")
        self._t, self._v = times, values
        self.times, self.values = np.array(times), np.array(values)

    def __call__(self, t):
        times, values = self._t, self._v
        k = bisect.bisect_right(times, t)
        if k == 0:
            return values[0]
        if k == len(times):
            return values[-1]
        t0, t1 = times[k - 1], times[k]
        # A jump (two points at one time) takes the later value from its time on.
        return values[k - 1] + (values[k] - values[k - 1]) * self._ease((t - t0) / (t1 - t0))

    @staticmethod
    def _ease(s):
        """How far between two points, at the fraction s of the time between them."""
        return s

    def breakpoints(self, t_end):
        return _within(self.times, t_end)

    def constant_from(self):
        return float(self.times[-1])

    def levels(self):
        return tuple(self._v)

    def __repr__(self):
        return f"PWL({list(zip(self._t, self._v))!r})"


class PWS(PWL):
    """Through (time, value) points like PWL, but with half-cosine easing
    between them, so that it has no kink at a point; constant outside them.
    Its breakpoints are its points: the easing starts and ends there."""

    @staticmethod
    def _ease(s):
        return 0.5 * (1.0 - math.cos(math.pi * s))

    def __repr__(self):
        return f"PWS({list(zip(self._t, self._v))!r})"


class PULSE(Waveform):
    """v1 until td, rise to v2 in tr, hold pw, fall in tf, repeat every per."""

    def __init__(self, v1, v2, td=0.0, tr=0.0, tf=0.0, pw=math.inf, per=math.inf):
        self.v1, self.v2 = _finite(v1, "PULSE v1"), _finite(v2, "PULSE v2")
        self.td = _duration(td, "PULSE delay td")
        self.tr = _duration(tr, "PULSE rise time tr")
        self.tf = _duration(tf, "PULSE fall time tf")
        self.pw = _duration(pw, "PULSE width pw", allow_inf=True)
        self.per = _duration(per, "PULSE period per", allow_inf=True)
        if self.per == 0:
            raise ValueError("PULSE period per must be positive")

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

    def breakpoints(self, t_end):
        edges = np.cumsum([self.td, self.tr, self.pw, self.tf])
        edges = edges[np.isfinite(edges)]
        if math.isfinite(self.per) and t_end > self.td:
            starts = self.td + self.per * np.arange(0, math.floor((t_end - self.td) / self.per) + 1)
            edges = (starts[:, None] + (edges - self.td)[None, :]).ravel()
        return _within(edges, t_end)

    def constant_from(self):
        if math.isfinite(self.per):
            return math.inf
        return self.td + self.tr + self.pw + self.tf

    def levels(self):
        return (self.v1, self.v2)

    def __repr__(self):
        return (f"PULSE({self.v1!r}, {self.v2!r}, td={self.td!r}, tr={self.tr!r}, "
                f"tf={self.tf!r}, pw={self.pw!r}, per={self.per!r})")


class SIN(Waveform):
    """vo until td, then vo + va exp(-theta u) sin(2 pi freq u + phase) with
    u = t - td (phase in radians); back to vo after `ncycles` periods if given."""

    def __init__(self, vo, va, freq, td=0.0, theta=0.0, phase=0.0, ncycles=None):
        self.vo, self.va = _finite(vo, "SIN offset vo"), _finite(va, "SIN amplitude va")
        self.freq = _finite(freq, "SIN frequency")
        self.td = _duration(td, "SIN delay td")
        self.theta = _finite(theta, "SIN damping theta")
        self.phase = _finite(phase, "SIN phase")
        self.ncycles = None if ncycles is None else _duration(ncycles, "SIN cycle count")
        if self.ncycles is not None and self.freq <= 0:
            raise ValueError("SIN with a cycle count needs a positive frequency")

    def _stop(self):
        return self.td + self.ncycles / self.freq if self.ncycles else math.inf

    def __call__(self, t):
        if t < self.td or t >= self._stop():
            return self.vo
        u = t - self.td
        return self.vo + self.va * math.exp(-self.theta * u) * math.sin(
            2 * math.pi * self.freq * u + self.phase)

    def breakpoints(self, t_end):
        return _within([self.td, self._stop()], t_end)

    def constant_from(self):
        return self._stop() if self.ncycles else (math.inf if self.va else -math.inf)

    def levels(self):
        return (self.vo - abs(self.va), self.vo + abs(self.va))

    def __repr__(self):
        return (f"SIN({self.vo!r}, {self.va!r}, {self.freq!r}, td={self.td!r}, "
                f"theta={self.theta!r}, phase={self.phase!r}, ncycles={self.ncycles!r})")


class EXP(Waveform):
    """v1 until td1; then towards v2 with time constant tau1; from td2 on
    (never, by default) back towards v1 with time constant tau2 (default
    tau1): v1 + (v2 - v1) (1 - e^-(t - td1)/tau1) - (v2 - v1) (1 - e^-(t - td2)/tau2)."""

    def __init__(self, v1, v2, td1, tau1, td2=math.inf, tau2=None):
        self.v1, self.v2 = _finite(v1, "EXP v1"), _finite(v2, "EXP v2")
        self.td1 = _duration(td1, "EXP delay td1")
        self.td2 = _duration(td2, "EXP delay td2", allow_inf=True)
        self.tau1 = _duration(tau1, "EXP time constant tau1")
        self.tau2 = self.tau1 if tau2 is None else _duration(tau2, "EXP time constant tau2")
        for name, tau in (("tau1", self.tau1), ("tau2", self.tau2)):
            if tau == 0:
                raise ValueError(f"EXP time constant {name} must be positive")

    def __call__(self, t):
        v = self.v1
        if t > self.td1:
            v += (self.v2 - self.v1) * -math.expm1(-(t - self.td1) / self.tau1)
        if t > self.td2:
            v -= (self.v2 - self.v1) * -math.expm1(-(t - self.td2) / self.tau2)
        return v

    def breakpoints(self, t_end):
        return _within([self.td1, self.td2], t_end)

    def levels(self):
        # Bounds: a fall that starts before the rise has settled can
        # overshoot v1 by as much as the rise reached.
        return (self.v1, self.v2, 2.0 * self.v1 - self.v2)

    def __repr__(self):
        return (f"EXP({self.v1!r}, {self.v2!r}, td1={self.td1!r}, tau1={self.tau1!r}, "
                f"td2={self.td2!r}, tau2={self.tau2!r})")


def as_waveform(value):
    """A waveform, or a number (or text with a suffix) taken as DC."""
    if isinstance(value, Waveform):
        return value
    if callable(value):
        raise TypeError("a source value must be a number or a quenda waveform (DC, PWL, PWS, "
                        "PULSE, SIN, EXP, or a subclass of quenda.Waveform)")
    return DC(value)


class NOISE(Waveform):
    """Gaussian noise held in steps: 0 until `td`, then a new value every
    `tstep` seconds, each of standard deviation a / sqrt(2 tstep), so that
    `a` is the noise's spectral amplitude (one-sided, per sqrt(Hz)) below
    1 / tstep. Value k is held over (td + k tstep, td + (k + 1) tstep].

    The values come from the run: each source draws from its own stream of
    the run's seed (Transient.run(seed=...)), so a NOISE alone has no value
    at a time. The time loop lands a step on every change of value."""

    def __init__(self, a, td=0.0, tstep=None):
        self.a = _finite(a, "NOISE amplitude a")
        self.td = _duration(td, "NOISE delay td")
        if tstep is None:
            raise ValueError("NOISE needs its interval tstep (seconds between values)")
        self.tstep = _duration(tstep, "NOISE interval tstep")
        if self.tstep == 0:
            raise ValueError("NOISE interval tstep must be positive")
        self.sigma = self.a / math.sqrt(2.0 * self.tstep)
        if not math.isfinite(self.sigma):
            raise ValueError(f"NOISE amplitude {self.a:g} over an interval of {self.tstep:g} s "
                             "is not a finite value")

    def __call__(self, t):
        raise TypeError("a NOISE waveform takes its values from a run's random stream: it "
                        "has none outside a simulation")

    def clock(self):
        """(start, interval): the value changes only at start + k interval."""
        return self.td, self.tstep

    def __repr__(self):
        return f"NOISE({self.a!r}, td={self.td!r}, tstep={self.tstep!r})"
