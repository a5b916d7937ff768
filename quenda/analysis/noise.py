"""Thermal noise in transient runs: Johnson noise currents beside every
resistive element of a circuit at a temperature.

An element at temperature T whose resistive part has the conductance G gets
a current source in parallel, white within the noise bandwidth, of one-sided
spectral density

    S_I = 4 kB T G.

The source holds a gaussian value over each interval of length dt = 1/neb
(the element's noise bandwidth, else the circuit's) and takes a new,
independent one at every interval boundary. A held sequence of variance
sigma^2 has the autocorrelation sigma^2 (1 - |tau|/dt) over |tau| < dt, so its
one-sided spectral density is 2 sigma^2 dt sinc^2(f dt), flat at 2 sigma^2 dt
for f << 1/dt. Matching it to S_I gives the variance of a held value

    sigma^2 = S_I / (2 dt) = 2 kB T G / dt,

the noise(a td tstep) source of the netlist dialect with a = sqrt(S_I).

G is the element's present conductance, taken from the last accepted point
at each boundary:

- a resistor, an rcsj junction: 1 / R (its shunt);
- an rsjn junction: the differential conductance of its shunt at the junction
  voltage, d/dV [V rel / ((rel + 1) Rn)] with rel = (|V| / Vg)^n;
- a pwl junction: the conductance of the piece the voltage lies on (1/r0
  below the gap, the step's gstep across it, 1/rn above);
- a tjm junction: the chord conductance I_qp(V) / V of its DC quasiparticle
  curve (from its table, with rsg), at V -> 0 its slope. A tunnel junction's
  current noise is 2 e I_qp coth(eV / 2kB T), which is 4 kB T I_qp / V for
  eV << kB T: the thermal noise of the chord conductance, not of the
  differential one (which the steep rise at the gap makes many times
  larger there). Above that voltage the shot noise exceeds it; it is not
  modelled.

Each source draws from its own stream, keyed by the run's seed and the
element's name (streams.py): value k is held over (k dt, (k+1) dt].

The time loop lands a step on every boundary, so that no step straddles two
values (and a bandwidth above 1/step is resolved, not aliased), and restarts
there with one short backward-Euler step (the restart's 1/16 of the step),
after which the steps go on at their size. The trapezoidal rule then
integrates each held value as held: through a boundary without the
restart, its derivatives from before the jump would make it see the current
change linearly over the first step, which lowers the noise that a mode of
time constant tau takes up by 1 / (1 + h / (2 tau)) (5 % at h = tau / 10:
an RC's voltage would settle at kT / (C (1 + h / 2RC))), and at a node
without capacitance its trapezoidal second derivatives would ring on and
grow from jump to jump. A full restart at every boundary would instead
multiply the steps by its doubling from 1/16 (five steps where one was).
The cost: one more (short) step per boundary, twice the steps when the
noise changes at every step; at the default 1 GHz and picosecond steps,
nothing measurable.

The noise sources are the kernel's own current sources (CurrentSourceModel),
appended after the circuit's elements, so they follow the start-up ramp as
every source does. A noise-free run (temperature 0 everywhere) makes none
of them and runs exactly as before.

This module states the noise as data (NoiseSource: its element, terminals,
stream key, interval, conductance law and variance per siemens) so that any
time loop can apply it; RunNoise applies it in the Python loop, with the
NOISE waveforms of sources (bound to their streams, HeldNoise).
"""

import math
from dataclasses import dataclass

import numpy as np

from .. import qdconfig
from .. import qdglobals as G
from .. import stampcore
from ..circuit.kinds import KINDS
from ..circuit.waveforms import NOISE, Waveform
from .streams import Block, stream_key

#: Boltzmann's constant, J/K (exact since the 2019 SI).
K_B = 1.380649e-23


@dataclass(frozen=True)
class NoiseSource:
    """One Johnson noise current: everything a time loop needs to apply it.

    Value k, held over (k interval, (k + 1) interval] (kernel time), is

        sqrt(variance * CONDUCTANCE[law](constants, |V|)) * gaussian(key, k)

    in kernel current units, V the element's voltage (volts) at the last
    accepted point at or before k interval: the noise current from the
    element's first terminal (unknown i) through the source to its second
    (j). The kernel's CurrentSourceModel drives its value into i (into j
    when i is ground), so it is given the value negated when i is not
    ground.
    """

    element: str       # the element whose noise it is (and whose stream)
    eindex: int        # its index: its voltage is ElementVoltage[eindex]
    i: int             # unknown numbers of its terminals (0: ground)
    j: int
    key: int           # stream key (seed, element)
    interval: float    # kernel time between values
    law: str           # a key of CONDUCTANCE
    constants: tuple   # the law's constants (SI)
    variance: float    # held-value variance per siemens: 2 kB T / dt / i0^2


# -- conductance laws: (constants, |V| in volts) -> siemens ---------------------
#
# The constants come as columns (one array per constant, a value per source),
# except the tunnel junction's, which come one junction at a time.


def _ohmic(constants, v):
    return np.broadcast_to(constants[0], np.shape(v)).astype(float)


def _rsjn(constants, v):
    rn, vg, n = constants
    with np.errstate(over="ignore", invalid="ignore"):
        rel = (v / vg) ** n
        g = rel * (1.0 + n + rel) / (rn * (rel + 1.0) ** 2)
    # Far above the gap the shunt is ohmic (and the expression overflows).
    return np.where(rel > 1e100, 1.0 / rn, g)


def _pwl(constants, v):
    r0, rn, vg, delv, gstep = constants
    return np.where(v < vg - 0.5 * delv, 1.0 / r0, np.where(v < vg + 0.5 * delv, gstep, 1.0 / rn))


def tjm_chord(table, x, ratio=0.0):
    """The chord conductance I_qp(x) / x of a tunnel-junction table, in 1 / Rn,
    at x = V / Vg (its slope at x = 0), with the subgap share ratio = Rn / Rsg.

    I_qp = x + (1 - ratio) Im Jq(x) with Jq(x) = -1/2 Sum [B/(P + ix) +
    conj(B)/(conj(P) + ix)] real at x = 0, so that Im Jq(x) / x is
    Re 1/2 Sum [B / (P (P + ix)) + conj(B) / (conj(P) (conj(P) + ix))]:
    exact, and finite at x = 0."""
    _, b, p = (np.asarray(c, dtype=complex) for c in table)
    ix = 1j * np.asarray(x, dtype=float)[..., None]
    s = 0.5 * np.sum(b / (p * (p + ix)) + np.conj(b) / (np.conj(p) * (np.conj(p) + ix)), axis=-1)
    return 1.0 + (1.0 - ratio) * s.real


def _tjm(constants, v):
    name, rn, vg, rsg = constants
    return tjm_chord(qdconfig.tjm_models[name], v / vg, rn / rsg) / rn


#: The conductance laws by name: (constants, |V| in volts) -> siemens.
CONDUCTANCE = {"ohmic": _ohmic, "rsjn": _rsjn, "pwl": _pwl, "tjm": _tjm}
#: The laws whose constants are not columns: evaluated one source at a time.
ONE_BY_ONE = ("tjm",)


# -- the sources of a circuit ------------------------------------------------------


def _held(e):
    """The NOISE waveform of a source, or None."""
    wave = e.params.get("wave")
    return wave if isinstance(wave, NOISE) else None


def noisy(circuit):
    """Whether a run of the circuit draws noise: an element with its thermal
    noise above 0 K, or a source with a NOISE waveform."""
    return any((KINDS[e.key].thermal is not None and e.params.get("temp", circuit.temperature) > 0)
               or _held(e) is not None for e in circuit.elements.values())


def thermal_sources(assembly, seed):
    """The Johnson noise sources of an assembled circuit in a run of `seed`."""
    circuit, units = assembly.circuit, assembly.units
    found = []
    for eindex, (e, kind, t) in enumerate(zip(circuit.elements.values(), assembly.kinds,
                                               assembly.terminals)):
        if kind.thermal is None:
            continue
        temperature = e.params.get("temp", circuit.temperature)
        if temperature <= 0:
            continue
        interval = 1.0 / e.params.get("neb", circuit.neb)  # seconds
        law, constants = kind.thermal(e)
        variance = 2.0 * K_B * temperature / interval / units.current ** 2
        found.append(NoiseSource(e.name, eindex, t["i"], t["j"], stream_key(seed, e.name),
                                 interval / units.time, law, tuple(constants), variance))
    return found


class HeldNoise(Waveform):
    """A NOISE waveform bound to its stream: its value at t (seconds)."""

    def __init__(self, wave, key):
        self.wave = wave
        self.block = Block([key])

    def __call__(self, t):
        w = self.wave
        # The interval whose end t is: a point on a boundary belongs to the
        # interval it ends, whatever the rounding of its time.
        k = math.ceil((t - w.td) / w.tstep - 1e-9) - 1
        return 0.0 if k < 0 else w.sigma * float(self.block.value(k)[0])

    def clock(self):
        return self.wave.clock()


# -- applying them in the Python time loop -----------------------------------------


class _Host:
    """A noise source as the kernel's element lists hold it: its values are
    set at interval boundaries, never by a parameter refresh."""

    __slots__ = ("model",)

    def __init__(self, model):
        self.model = model

    def UpdateParameters(self):
        pass


class _Boundaries:
    """start + k interval: the interval being simulated is the k-th,
    (start + k interval, start + (k + 1) interval] (k = -1: before start)."""

    def __init__(self, start, interval):
        self.start, self.interval = start, interval
        self.k = 0 if start <= 0 else -1

    @property
    def next(self):
        """The boundary that ends the interval being simulated."""
        return self.start + (self.k + 1) * self.interval


class _Clock(_Boundaries):
    """The Johnson sources that share one interval: their boundaries, their
    stream block and their amplitudes."""

    def __init__(self, interval, members, sources):
        super().__init__(0.0, interval)
        self.members = np.array(members, dtype=np.intp)
        self.block = Block([sources[m].key for m in members])
        self.models = []
        variance = np.array([sources[m].variance for m in members])
        # Ohmic sources keep their amplitude; the others are evaluated by
        # law, as (positions within the clock, their elements, constants).
        self.sigma = np.zeros(len(members))
        self.kernel_sign = np.array([-1.0 if sources[m].i != 0 else 1.0 for m in members])
        self.laws = []
        groups = {}
        for n, m in enumerate(members):
            s = sources[m]
            if s.law == "ohmic":
                self.sigma[n] = math.sqrt(variance[n] * s.constants[0])
            else:
                groups.setdefault((s.law, s.constants if s.law in ONE_BY_ONE else None),
                                  []).append(n)
        for (law, one), at in groups.items():
            constants = one if one is not None else tuple(
                np.array(column) for column in zip(*(sources[members[n]].constants for n in at)))
            self.laws.append((CONDUCTANCE[law], np.array(at, dtype=np.intp),
                              np.array([sources[members[n]].eindex for n in at], dtype=np.intp),
                              constants, variance[at]))


class RunNoise:
    """The noise of one run: the Johnson sources, applied through kernel
    current sources, and the NOISE waveforms of sources, bound to their
    streams.

    make_models() gives the host elements to append to the kernel's element
    list; bind() binds a source's NOISE waveform; start() sets the values of
    the first interval; accepted(t), after every accepted point, moves the
    sources whose boundary it reached on to their next value; next_landing(t)
    is the first boundary after t that the loop must land on."""

    def __init__(self, assembly, seed, tolerance):
        units = assembly.units
        self.seed, self.units = seed, units
        self.tolerance = tolerance  # a boundary this close to a point is that point
        self.sources = thermal_sources(assembly, seed)
        by_interval = {}
        for m, s in enumerate(self.sources):
            by_interval.setdefault(s.interval, []).append(m)
        self.clocks = [_Clock(dt, members, self.sources)
                       for dt, members in sorted(by_interval.items())]
        # The NOISE waveforms' changes, landed on alike; their values come
        # from the waveforms themselves as the loop evaluates its sources.
        self.held = {}
        for e in assembly.circuit.elements.values():
            wave = _held(e)
            if wave is not None:
                self.held.setdefault((wave.td / units.time, wave.tstep / units.time), None)
        self.boundaries = self.clocks + [_Boundaries(start, dt) for start, dt in self.held]
        self.models = []
        self.eindex = np.array([s.eindex for s in self.sources], dtype=np.intp)
        self.first_eindex = None
        self.next = math.inf  # the first boundary still ahead

    def __len__(self):
        return len(self.sources)

    @property
    def shortest(self):
        """The shortest interval (kernel time), or inf."""
        return min((b.interval for b in self.boundaries), default=math.inf)

    def bind(self, element, wave):
        """The waveform a source takes in this run: a NOISE bound to its stream."""
        return HeldNoise(wave, stream_key(self.seed, element.name)) if isinstance(
            wave, NOISE) else wave

    def make_models(self, first_eindex):
        """Kernel current sources, one per Johnson source, with element
        indices from first_eindex on (after the circuit's)."""
        self.first_eindex = first_eindex
        self.models = []
        for m, s in enumerate(self.sources):
            model = stampcore.CurrentSourceModel(s.i, s.j, first_eindex + m)
            model.InitModel(-1, -1, -1, -1)
            model.SetParameters([0.0])
            self.models.append(model)
        for clock in self.clocks:
            clock.models = [self.models[m] for m in clock.members]
        return [_Host(model) for model in self.models]

    def start(self):
        for b in self.boundaries:
            b.k = 0 if b.start <= 0 else -1
        for clock in self.clocks:
            self._draw(clock)
        self.next = min((b.next for b in self.boundaries), default=math.inf)

    def accepted(self, t):
        if t < self.next - self.tolerance:
            return
        for b in self.boundaries:
            if t >= b.next - self.tolerance:
                b.k += 1
                if isinstance(b, _Clock):
                    self._draw(b)
        self.next = min(b.next for b in self.boundaries)

    def next_landing(self, t):
        """The first boundary after t, kernel time. The loop lands on every
        boundary, so the one ahead of the last accepted point is the next."""
        return self.next

    def _draw(self, clock):
        sigma = clock.sigma
        for law, at, elements, constants, variance in clock.laws:
            v = np.abs(G.ElementVoltage[elements]) * self.units.voltage
            sigma[at] = np.sqrt(variance * np.maximum(law(constants, v), 0.0))
        values = (sigma * clock.kernel_sign * clock.block.value(clock.k)).tolist()
        for model, value in zip(clock.models, values):
            model.SetParameters([value])

    def element_currents(self):
        """(elements, kernel sources, signs): where the results find each noise
        current (ElementCurrent[kernel source], the ramp included) and the
        sign that turns it into the direction of its element, from its first
        node through it to its second (see NoiseSource)."""
        kernel = self.first_eindex + np.arange(len(self.sources))
        sign = np.array([-1.0 if s.i != 0 else 1.0 for s in self.sources])
        return self.eindex, kernel, sign
