"""The compiled time loop: when it can run a circuit, what it is given, and a run through it.

quenda._steploop steps a run in C++: it drives the kernel's models through
the C interface stampcore exports (no interpreter call per step), solves
with KLU keeping its factors, and stores the recorded waveforms into the
arrays of Results. It is the loop of loop.py, newton.py and stepping.py
written once more, operation for operation, so that both loops take the
same steps and reach the same values; the host still does everything that
is not per step, once, here and in the modules it shares with the Python
loop: the models and the arrays they are bound to (hoststate.install), the
breakpoints the steps land on (stepping.landing_points), the messages of a
run that stops (stepping.failure, HostElement.failure).

It evaluates the waveforms it knows itself: DC, PWL, PWS, PULSE, SIN and
EXP, each encoded below as a kind and its parameters (the C++ value
functions are in quenda/steploop/waveforms.cpp). A circuit with any other
waveform (a user's subclass of Waveform, a NOISE source) runs on the Python
loop. Thermal noise runs on both: the host draws it (noise.py), the loop
hands back at each of its boundaries. A new kind
of source value set at each step (say, a noise source's random values held
over each interval, drawn in the host before the run) is one encoder here
and one entry in the table of waveforms.cpp: the loop sets every varying
source's value at each attempted step, from its waveform at that time.
"""

from types import SimpleNamespace

import numpy as np

from .. import qdglobals as G
from ..circuit import waveforms as W
from .errors import SimulationError
from .hoststate import install
from .loop import varying
from .newton import DRIFT, SLOW_RATE
from .stepping import RESTART_SHARE, all_breakpoints, failure, landing_points

#: Whether compiled runs measure the time spent in the models and in the
#: solver (a clock reading around each costs a few percent on small circuits).
PROFILE = False

try:
    from .. import _steploop
except ImportError as err:  # a build without the module: the Python loop runs everything
    _steploop, _missing = None, err


def _points(w):
    return [x for tv in zip(w._t, w._v) for x in tv]


def _sin(w):
    return [w.vo, w.va, w.freq, w.td, w.theta, w.phase, w._stop()]


#: (kind, parameters) of each waveform class the compiled loop evaluates; the
#: class must be exactly one of these (a subclass may compute otherwise).
ENCODERS = {
    W.DC: lambda w: ("dc", [w.value]),
    W.PWL: lambda w: ("pwl", _points(w)),
    W.PULSE: lambda w: ("pulse", [w.v1, w.v2, w.td, w.tr, w.tf, w.pw, w.per]),
    W.SIN: lambda w: ("sin", _sin(w)),
    W.PWS: lambda w: ("pws", _points(w)),
    W.EXP: lambda w: ("exp", [w.v1, w.v2, w.td1, w.tau1, w.td2, w.tau2]),
}


def unsupported(assembly):
    """Why the compiled loop cannot run this circuit, or None."""
    if _steploop is None:
        return f"the compiled loop is not built ({_missing})"
    for e, (_, wave, _) in zip(assembly.circuit.elements.values(), assembly.kernel_params):
        if isinstance(wave, W.NOISE):
            return f"{e.what} {e.name} has a NOISE waveform, which only the Python loop draws"
        if wave is not None and type(wave) not in ENCODERS:
            return (f"{e.what} {e.name} has a waveform of Python code "
                    f"({type(wave).__name__}), which only the Python loop evaluates")
    return None


def plan(assembly, results, run, noise=None):
    """Installs the models of a run and returns (the plan of its StepLoop,
    the varying sources as loop.varying lists them). run: the run's
    settings in kernel time (see Transient.run): method, step, min_step,
    max_step (bounded by the transmission lines' delays), models_min_step
    (the smallest step the models are made for), max_phase, t_end,
    adaptive, lte, t_ramp, tol, max_iter, hysteresis, tstop (seconds),
    progress. noise: the run's thermal noise (noise.RunNoise), whose
    sources follow the circuit's elements and whose currents the results
    add to their elements'."""
    n, unit = assembly.size, assembly.units.time
    S, H = np.zeros((3, n)), np.zeros((6, n))
    sources = varying(install(assembly, S, H, run.t_ramp, run.hysteresis, run.models_min_step,
                              noise), unit)
    kinds = [ENCODERS[type(s.wave)](s.wave) for s, _ in sources]
    breakpoints = all_breakpoints([s for s, _ in sources], run.tstop, unit)
    columns, kernel, signs = [], [], []
    if noise is not None:
        results.seed = noise.seed
        results.add_noise_currents(*noise.element_currents())
        if results._noise is not None:
            columns, kernel, signs = results._noise
    return SimpleNamespace(
        S=S, H=H, Ap=np.frombuffer(assembly.Ap, dtype=np.int32),
        Ai=np.frombuffer(assembly.Ai, dtype=np.int32),
        element_phase=G.ElementPhase, element_voltage=G.ElementVoltage,
        element_current=G.ElementCurrent, element_n=G.ElementN,
        record_nodes=results.recorded_unknowns, record_elements=results.recorded_elements,
        noise_columns=np.asarray(columns, dtype=np.int32),
        noise_sources=np.asarray(kernel, dtype=np.int32),
        noise_signs=np.asarray(signs, dtype=float),
        tol=run.tol, max_iter=run.max_iter, exact_jacobian=assembly.exact_jacobian,
        linear=not assembly.nonlinear, build_every_step=assembly.build_every_step,
        lagging=assembly.build_every_step, slow_rate=SLOW_RATE, drift=DRIFT, profile=PROFILE,
        t_ramp=run.t_ramp, hysteresis=run.hysteresis, time_unit=unit,
        bounded_i=assembly.bounded_i.astype(np.int32),
        bounded_j=assembly.bounded_j.astype(np.int32),
        sources=[(s.model, kind, np.asarray(p, dtype=float), s.scale, until)
                 for (s, until), (kind, p) in zip(sources, kinds)],
        method=run.method, step=run.step, min_step=run.min_step, max_step=run.max_step,
        max_phase=run.max_phase, t_end=run.t_end, restart_share=RESTART_SHARE,
        adaptive=run.adaptive, lte=run.lte, progress=run.progress is not None,
        breakpoints=np.array(landing_points(breakpoints, run.step, run.min_step, run.t_end,
                                            grid=not run.adaptive), dtype=float)), sources


class CompiledLoop:
    """One run of the compiled loop, with the figures TimeLoop and Steps give.

    The noise of a run stays the host's (noise.RunNoise): the loop lands on
    its boundaries and restarts there as the Python loop does, and at each
    one hands back, for the host to draw the next interval's values."""

    def __init__(self, assembly, results, run, noise=None):
        self.assembly, self.max_phase, self.noise = assembly, run.max_phase, noise
        loop_plan, self.sources = plan(assembly, results, run, noise)
        self.core = _steploop.StepLoop(loop_plan)
        if self.core.status != 0:
            raise SimulationError(f"the solver refused the circuit's pattern "
                                  f"(status {self.core.status})")
        if noise is not None:
            noise.start()
            self.core.land_at(noise.next)

    def run(self, results, progress, tstop):
        """Steps to the end, storing into results; raises SimulationError
        (or the interrupt) when the run stops."""
        core, unit = self.core, self.assembly.units.time
        try:
            while True:
                event = core.run(results.outputs())
                results.count = core.stored
                if event is None:
                    return
                if event[0] == "full":
                    results.grow()
                elif event[0] == "progress":
                    progress(event[1] * unit, tstop)
                elif event[0] == "noise":
                    self.noise.accepted(event[1])
                    core.land_at(self.noise.next)
                elif event[0] == "source":
                    _, k, t, value = event
                    raise self.sources[k][0].failure(t, value)
                else:
                    _, outcome, worst, t, h = event
                    Ax = np.array(core.matrix()) if outcome == "singular" else None
                    raise failure(self.assembly, Ax, self.max_phase, outcome, worst, t, h)
        finally:
            results.count = core.stored

    @property
    def t(self):
        return self.core.t

    @property
    def accepted(self):
        return self.core.accepted

    @property
    def rejected(self):
        return self.core.rejected

    @property
    def timing(self):
        c = self.core
        measured = {"kernel": c.kernel_seconds, "solver": c.solver_seconds} if PROFILE else {}
        return dict(measured, iterations=c.iterations, factorisations=c.factorisations,
                    refactorisations=c.refactorisations)
