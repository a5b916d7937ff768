"""Fuzz cases of quenda._steploop and the kernel capsule it drives.

A case builds a small random circuit through the public builder and makes
the plan of its compiled run as the host does (quenda.analysis.compiled.plan),
then breaks the plan in a place or two: an attribute missing, of the wrong
type, shape, length or range, a number that converts by calling back, a
source whose model is not one of the run's or whose waveform the loop does
not know. It then runs a random sequence of steps: StepLoop constructors,
run() with the outputs of a Results object or wrong ones, the loop's figures,
and changes to the host between the calls (models re-bound, re-collected or
dropped, element arrays replaced, a source's value made NaN, the outputs
shrunk, the kernel's capsule looked up again).
"""

import gc
import math
from types import SimpleNamespace

import numpy as np

from calls import Caller, play
from hostile import HOOKS, FloatLike, Gen, IntLike, Seq
from quenda import qdglobals as G
from quenda import stampcore as sc
from quenda import _steploop
from quenda.analysis import compiled
from quenda.analysis.assembly import Assembly
from quenda.analysis.noise import RunNoise, noisy
from quenda.circuit import Circuit, PULSE, PWL, SIN
from quenda.circuit import waveforms as W
from quenda.results.results import Results

PS = 1e-12
ATTRIBUTES = ("S", "H", "Ap", "Ai", "element_phase", "element_voltage", "element_current",
              "element_n", "record_nodes", "record_elements", "noise_columns", "noise_sources",
              "noise_signs", "tol", "max_iter",
              "exact_jacobian", "linear", "build_every_step", "lagging", "slow_rate", "drift",
              "profile", "t_ramp", "hysteresis", "time_unit", "bounded_i", "bounded_j",
              "sources", "method", "step", "min_step", "max_step", "max_phase", "t_end",
              "restart_share", "adaptive", "lte", "progress", "breakpoints")
WAVE_KINDS = ("dc", "pwl", "pws", "pulse", "sin", "exp", "held", "", None, 3)


def waveform(g):
    r = g.rng.random()
    if r < 0.2:
        return g.rng.uniform(-3e-4, 3e-4)
    if r < 0.4:
        return PWL([(0, 0), (g.rng.uniform(0, 3) * PS, g.rng.uniform(-5e-4, 5e-4)),
                    (4 * PS, 0)])
    if r < 0.55:
        return PULSE(0, g.rng.uniform(-5e-4, 5e-4), td=g.rng.uniform(0, 2) * PS, tr=0.5 * PS,
                     pw=g.rng.uniform(0, 2) * PS, tf=0.5 * PS, per=g.pick([math.inf, 3 * PS]))
    if r < 0.7:
        return SIN(1e-4, 2e-4, 3e11, td=g.rng.uniform(0, 1) * PS, theta=1e11,
                   ncycles=g.pick([None, 2]))
    if r < 0.85 and hasattr(W, "EXP"):
        return W.EXP(0, 3e-4, 0.5 * PS, 1 * PS, td2=g.pick([math.inf, 3 * PS]))
    if hasattr(W, "PWS"):
        return W.PWS([(0, 0), (1 * PS, 2e-4), (2 * PS, -1e-4)])
    return 1e-4


def circuit(g):
    """A small circuit that passes the builder's checks."""
    c = Circuit("fuzz", temperature=g.pick([0.0, 0.0, 4.2]), neb=g.pick([1e12, 4e12]))
    stages = g.rng.randint(1, 3)
    for k in range(1, stages + 1):
        node = f"n{k}"
        model = g.pick(["rcsj", "rcsj", "rsjn", "tjm", "pwl"])
        law = {"rcsj": dict(r=g.rng.uniform(1, 10)), "rsjn": dict(rn=8.0),
               "tjm": dict(rn=16.0, vg=2.8e-3, tjm="test_gap_20"),
               "pwl": dict(rn=8.0, r0=80.0)}[model]
        c.junction(f"B{k}", node, "0", ic=g.rng.uniform(5e-5, 3e-4), c=0.1e-12, model=model,
                   **law)
        c.current_source(f"I{k}", "0", node, waveform(g))
        if k < stages:
            c.inductor(f"L{k}", node, f"n{k + 1}", 3e-12, branch=g.chance(0.3))
    extra = g.rng.randrange(5)
    if extra == 1:
        c.phase_source("P1", "p", "0", PWL([(0, 0), (3 * PS, 2 * math.pi)]))
        c.resistor("RP", "p", "n1", 2.0)
    elif extra == 2:
        c.voltage_source("V1", "v", "0", waveform(g) if g.chance(0.5) else 1e-4)
        c.resistor("RV", "v", "n1", 4.0)
    elif extra == 3:
        c.capacitor("C1", "n1", "0", 0.2e-12)
    elif extra == 4:
        c.transmission_line("T1", "n1", "0", "far", "0", g.pick([0.3, 1.0, 2.5]) * PS, 5.0)
        c.resistor("RT", "far", "0", 5.0)
    return c


class LoopWorld:
    def __init__(self, rng, log=None):
        self.rng = rng
        self.g = Gen(rng)
        self.call = Caller(self.g, log)
        self.loops = []
        HOOKS.rng = rng
        self.reset()

    def reset(self):
        """A fresh circuit, its plan as the host makes it, a break or two, a loop."""
        g = self.g
        g.guards.clear()
        self.loops.clear()
        # The host lays out its run undisturbed: what the last case left may
        # call back as it goes (storage with a finaliser).
        HOOKS.actions = []
        self.assembly = Assembly(circuit(g))
        adaptive = g.chance(0.3)
        t_end, step = g.rng.uniform(1, 6), g.pick([0.05, 0.25, 1.0])
        limit = self.assembly.step_limit[0]
        run = SimpleNamespace(
            method=g.pick(["trap", "gear"]), step=step, min_step=step / 1024,
            max_step=min(16 * step if adaptive else step, limit),
            models_min_step=min(step / 1024, limit), max_phase=g.pick([math.pi / 2, math.inf]),
            t_end=t_end, adaptive=adaptive, lte=1e-3 if adaptive else math.inf,
            t_ramp=g.pick([0.0, 1.0]),
            tol=g.pick([1e-6, 1e-12]), max_iter=g.pick([1, 3, 30]), hysteresis=0.1,
            tstop=t_end * self.assembly.units.time, progress=g.pick([None, print]))
        self.results = Results(self.assembly, None if g.chance(0.5) else ["n1", "B1"],
                               g.pick([1, 4, 64]))
        self.noise = RunNoise(self.assembly, g.rng.randrange(2**63),
                              0.5 * run.min_step) if noisy(self.assembly.circuit) else None
        self.plan, _ = compiled.plan(self.assembly, self.results, run, self.noise)
        HOOKS.actions = [self.hostile_step]
        for _ in range(g.pick([0, 0, 1, 2])):
            self.break_plan()
        self.construct()

    def break_plan(self):
        g, plan = self.g, self.plan
        name = g.pick(ATTRIBUTES)
        if not hasattr(plan, name):
            return
        old = getattr(plan, name)
        r = g.rng.random()
        if r < 0.1:
            delattr(plan, name)
        elif r < 0.3 and isinstance(old, np.ndarray):
            setattr(plan, name, self.broken_array(old))
        elif r < 0.45 and name == "sources":
            setattr(plan, name, self.broken_sources(old))
        elif r < 0.7:
            setattr(plan, name, g.weird_float() if g.chance(0.5) else g.weird_int())
        elif r < 0.85:
            setattr(plan, name, FloatLike(old if isinstance(old, float) else 1.0, hook=True))
        else:
            setattr(plan, name, g.pick([None, "trap", "gear", "euler", [], IntLike(2, hook=True),
                                        Seq([1.0], hook=True)]))

    def broken_array(self, old):
        g = self.g
        if old.ndim == 2:
            rows, n = old.shape
            return g.pick([np.zeros((rows + g.pick([-1, 1]), n)), np.zeros((rows, n + 1)),
                           np.zeros((rows, max(n - 1, 0))), old.astype("f4"), old.T.copy(),
                           old[:, ::2], g.array(n)])
        length = old.shape[0] if old.ndim else 1
        new = g.array(max(length + g.pick([-1, 0, 0, 1]), 0), old.dtype.str)
        if (isinstance(new, np.ndarray) and new.size and new.dtype == old.dtype
                and new.flags.writeable and g.chance(0.5)):
            new.flat[g.rng.randrange(new.size)] = (g.pick([-1, 2**30, length, -2**31])
                                              if old.dtype.kind == "i" else
                                              g.pick([math.nan, math.inf, -1.0]))
        return new

    def broken_sources(self, sources):
        g = self.g
        intact = isinstance(sources, list) and all(
            isinstance(s, tuple) and len(s) == 5 for s in sources)
        if not intact or not sources or g.chance(0.2):
            return g.pick([None, 3, [(1, 2)], "abc", Seq([], hook=True)])
        sources = list(sources)
        k = g.rng.randrange(len(sources))
        model, kind, params, scale, until = sources[k]
        r = g.rng.randrange(5)
        if r == 0:
            # Not one of the run's models, or one that takes no source value.
            model = g.pick([sc.CurrentSourceModel(1, 0, 0), None, 5] +
                           [e.model for e in G.ElementList
                            if not isinstance(e.model, sc.CurrentSourceModel)])
        elif r == 1:
            kind = g.pick(WAVE_KINDS)
        elif r == 2 and isinstance(params, np.ndarray):
            params = g.pick([np.zeros(0), np.full(len(params), math.nan), params[:-1],
                             np.array([1.0, 0.0, 0.0, 1.0]), params.astype("f4"), [1.0], None])
        else:
            scale, until = g.weird_float(), g.weird_float()
        sources[k] = (model, kind, params, scale, until) if g.chance(0.9) else (model, kind)
        return sources

    def construct(self):
        """A StepLoop of the plan: the call checked, and a loop kept when it
        succeeds, with the noise's first values drawn and its first boundary."""
        if self.call(_steploop.StepLoop, self.plan, retains=True, label="StepLoop"):
            try:  # again, to keep one (a hook may have changed the host meanwhile)
                loop = _steploop.StepLoop(self.plan)
            except Exception:  # noqa: BLE001
                return
            if self.noise is not None and self.draw(self.noise.start):
                self.call(loop.land_at, self.noise.next if self.g.ok() else self.g.weird_float(),
                          label="land_at")
            self.loops.append(loop)

    @staticmethod
    def draw(step, *args):
        """The host's noise draws: they read the element arrays, which the
        changes below may have replaced (the host's failure, not the loop's)."""
        try:
            step(*args)
        except (IndexError, TypeError, ValueError):
            return False
        return True

    # ---- steps ------------------------------------------------------------

    def outputs(self):
        g = self.g
        outs = list(self.results.outputs())
        if g.ok():
            return tuple(outs)
        k = g.rng.randrange(len(outs))
        a = outs[k]
        outs[k] = g.pick([a[:-1], a.astype("f4"), np.zeros((len(a), 3)), a[::2], None,
                          a.T.copy() if a.ndim == 2 else a, g.array(len(a))])
        return g.pick([tuple(outs), tuple(outs[:-1]), outs, None])

    def run_loop(self):
        """run() until the loop stops or refuses, as the host calls it."""
        if not self.loops:
            return
        loop = self.g.pick(self.loops)
        events = []
        for _ in range(self.g.rng.randint(1, 6)):
            if not self.call(lambda out: events.append(loop.run(out)), self.outputs(),
                             label="run"):
                return
            self.results.count = loop.stored
            event = events[-1]
            if event is None or event[0] not in ("full", "progress", "noise"):
                return
            if event[0] == "full":
                self.results.grow()
            elif event[0] == "noise" and self.noise is not None:
                if self.draw(self.noise.accepted, event[1]):
                    self.call(loop.land_at, self.noise.next, label="land_at")

    def figures(self):
        if not self.loops:
            return
        loop = self.g.pick(self.loops)
        for name in ("stored", "t", "accepted", "rejected", "iterations", "factorisations",
                     "refactorisations", "kernel_seconds", "solver_seconds", "status"):
            getattr(loop, name)
        self.call(loop.matrix, label="matrix")

    def change_host(self):
        g = self.g
        r = g.rng.random()
        elements = [e for e in getattr(G, "ElementList", None) or [] if hasattr(e, "model")]
        if r < 0.25 and elements:
            m = g.pick(elements).model
            count = 5 if isinstance(m, sc.InductorImpedanceModel) else 4
            self.call(m.InitModel, *[g.rng.randrange(6) for _ in range(count)],
                      label="InitModel")
        elif r < 0.4:
            if g.chance(0.5):
                G.ElementList, G.SourceElementList = [], []
                G.TotalElements = G.TotalSourceElements = 0
            self.call(sc.InitElementModels, label="InitElementModels")
        elif r < 0.55:
            name = g.pick(["ElementPhase", "ElementVoltage", "ElementCurrent", "ElementN",
                           "NodePhase"])
            setattr(G, name, g.array(2, "i4" if name == "ElementN" else "f8"))
        elif r < 0.7 and elements:
            self.call(g.pick(elements).model.SetParameters, [g.weird_float()],
                      label="SetParameters")
        elif r < 0.8:
            self.results.trim()
        else:
            self.loops.clear()
            gc.collect()

    def hostile_step(self):
        """What a hook does when a conversion calls back into the host."""
        r = self.g.rng.random()
        if r < 0.5:
            self.change_host()
        elif r < 0.8:
            self.figures()
        else:
            gc.collect()

    def step(self):
        r = self.rng.random()
        if r < 0.45:
            self.run_loop()
        elif r < 0.55:
            self.figures()
        elif r < 0.8:
            self.change_host()
        elif r < 0.92:
            self.break_plan()
            self.construct()
        else:
            self.reset()


def run_case(rng, log=None):
    """One case: a fresh circuit and plan, then 1 to 12 steps. Returns the calls made."""
    return play(LoopWorld(rng, log), rng)
