"""Transient simulation: the circuit's kernel models, its sparse pattern and
the time loop that drives the kernel and the solver.

    sim = Transient(circuit)
    res = sim.run(tstop=1e-9, step=0.25e-12)

Each time step integrates the node phases with the trapezoidal rule (or
second-order BDF, method="gear") and solves the nonlinear circuit equations
by Newton iterations. The kernel stamps, in kernel units (quenda.units), the
derivative of every node's current balance with respect to the unknowns
(the matrix, A0 + A1 + A2) and minus its residual (B); the solver turns B
into the Newton update of the unknowns.

The kernel reads its host state from the modules quenda.qdglobals and
quenda.SimulationParameters, so one simulation runs at a time in a process.
"""

import array
import math
import time as _time

import numpy as np

from . import SimulationParameters as SP
from . import qdglobals as G
from . import stampcore as sc
from .SparseFactor import SparseFactor
from .circuit import GROUND
from .results import Results
from .units import DEFAULT


class SimulationError(RuntimeError):
    """A step that could not be solved, with the time and the worst unknown."""


# How each element kind appears to the kernel: its model class, whether it
# needs a branch row, and the (row, col) pairs of its slot positions, in the
# order its InitModel takes them ('i', 'j' its nodes, 'q' its branch row,
# 'v' the coupled inductor's branch row).
_TWO_TERMINAL = (("i", "i"), ("i", "j"), ("j", "i"), ("j", "j"))
_BRANCH = (("i", "q"), ("j", "q"), ("q", "i"), ("q", "j"))
_LAYOUT = {
    "R": (sc.ResistorModel, False, _TWO_TERMINAL),
    "C": (sc.CapacitorModel, False, _TWO_TERMINAL),
    "L": (sc.InductorModel, False, _TWO_TERMINAL),
    "LB": (sc.InductorImpedanceModel, True, _BRANCH + (("q", "q"),)),
    "K": (sc.MutualInductanceModel, False, (("q", "q"), ("q", "v"), ("v", "q"), ("v", "v"))),
    "I": (sc.CurrentSourceModel, False, ()),
    "P": (sc.PhaseSourceModel, True, _BRANCH),
    "V": (sc.VoltageSourceModel, True, _BRANCH),
    "rcsj": (sc.JunctionModel, False, _TWO_TERMINAL),
    "rsjn": (sc.JunctionRSJNModel, False, _TWO_TERMINAL),
    "tjm": (sc.JunctionTJMModel, False, _TWO_TERMINAL),
}


def _layout_key(e):
    if e.kind == "L" and e.params.get("branch"):
        return "LB"
    if e.kind == "B":
        return e.params["model"]
    return e.kind


class HostElement:
    """What the kernel expects of a host element: a model and a parameter refresh."""

    __slots__ = ("spec", "model", "params", "wave", "scale", "tjm", "time_unit")

    def __init__(self, spec, model, params, wave=None, scale=1.0, tjm=None, time_unit=1.0):
        self.spec, self.model, self.params = spec, model, params
        self.wave, self.scale, self.tjm, self.time_unit = wave, scale, tjm, time_unit

    def value(self, t):
        """The source's kernel value at kernel time t."""
        return self.wave(t * self.time_unit) * self.scale

    def UpdateParameters(self):
        if self.wave is not None:
            self.params = [self.value(G.CurrentTime)]
        if self.tjm is not None:
            self.model.InitTJMModel(self.tjm)
        else:
            self.model.SetParameters(self.params)


class Transient:
    """A circuit made ready for the kernel: numbering, pattern and models."""

    def __init__(self, circuit, units=DEFAULT):
        circuit.check()
        self.circuit = circuit
        self.units = units
        self.node_number = {n: k + 1 for k, n in enumerate(circuit.nodes)}
        self.node_number[GROUND] = 0
        nodes = len(circuit.nodes)

        # Branch rows follow the nodes, in element order.
        self.branch_row = {}
        layouts = {}
        for e in circuit.elements.values():
            layouts[e.name] = _LAYOUT[_layout_key(e)]
            if layouts[e.name][1]:
                self.branch_row[e.name] = nodes + len(self.branch_row) + 1
        self.size = nodes + len(self.branch_row)

        # The compressed-column pattern of every entry some element reads.
        self.rows_cols = {}
        self._terminals = {}
        for e in circuit.elements.values():
            t = self._numbers(e)
            self._terminals[e.name] = t
            for r, c in layouts[e.name][2]:
                if t[r] and t[c]:
                    self.rows_cols[(t[r], t[c])] = None
        ordered = sorted(self.rows_cols, key=lambda rc: (rc[1], rc[0]))
        self.slot = {rc: k for k, rc in enumerate(ordered)}
        self.nnz = len(ordered)
        cols = np.array([c for _, c in ordered], dtype=np.int64)
        self.Ap = array.array("i", np.searchsorted(cols, np.arange(1, self.size + 2)).tolist())
        self.Ai = array.array("i", [r - 1 for r, _ in ordered])

        self.layouts = layouts
        self.nonlinear = any(e.kind == "B" for e in circuit.elements.values())
        self.has_tjm = any(e.kind == "B" and e.params["model"] == "tjm"
                           for e in circuit.elements.values())

    # -- numbering -----------------------------------------------------------

    def _numbers(self, e):
        if e.kind == "K":
            a, b = e.nodes
            return {"q": self.branch_row[a], "v": self.branch_row[b]}
        t = {"i": self.node_number[e.nodes[0]], "j": self.node_number[e.nodes[1]]}
        if e.name in self.branch_row:
            t["q"] = self.branch_row[e.name]
        return t

    # -- models --------------------------------------------------------------

    @staticmethod
    def current_sign(e):
        """+1, or -1 for a current source whose first node is off ground.

        The kernel's current source drives its value into its first node and
        out of its second, but into the other node when one is ground. A SPICE
        source drives its current into its second node: given to the kernel
        with its nodes in the user's order it is negated, except when its
        first node is ground. The host negates the reported current back."""
        return 1.0 if e.kind != "I" or e.nodes[0] == GROUND else -1.0

    def _kernel_params(self, e):
        """The element's parameters in kernel units (see quenda.units)."""
        u, p = self.units, e.params
        if e.kind == "R":
            return [p["r"] / u.resistance], None, 1.0
        if e.kind == "C":
            return [p["c"] / u.capacitance], None, 1.0
        if e.kind == "L":
            return [p["l"] / u.inductance], None, 1.0
        if e.kind == "K":
            return [p["m"] / u.inductance], None, 1.0
        if e.kind == "I":
            return None, p["wave"], self.current_sign(e) / u.current
        if e.kind == "P":
            return None, p["wave"], 1.0
        if e.kind == "V":
            return None, p["wave"], 1.0 / u.voltage
        ic, c = p["ic"] / u.current, p["c"] / u.capacitance
        if p["model"] == "rcsj":
            return [ic, p["r"] / u.resistance, c], None, 1.0
        if p["model"] == "rsjn":
            return [ic, p["rn"] / u.resistance, p["vg"] / u.voltage, p["n"], c], None, 1.0
        # Tunnel-junction model: gap voltage in kernel units, IcRn / Vg, the
        # capacitance as the weight of the voltage-derivative term, Rn / Rsg.
        wvg = p["vg"] / u.voltage
        wvrat = p["ic"] * p["rn"] / p["vg"]
        sgw = 1.0 / (wvg * wvrat)
        beta = c / (ic * sgw * sgw)
        return [p["table"], ic, beta, wvg, wvrat, p["rn"] / p["rsg"]], None, 1.0

    def _make_models(self):
        """Element objects with bound models; the qdglobals arrays must be in place."""
        elements, sources = [], []
        for eindex, e in enumerate(self.circuit.elements.values()):
            cls_entry = self.layouts[e.name]
            cls = cls_entry[0]
            t = self._terminals[e.name]
            args = [t[k] for k in ("i", "j", "q", "v") if k in t]
            model = cls(*args, eindex)
            positions = [self.slot.get((t[r], t[c]), -1) if t[r] and t[c] else -1
                         for r, c in cls_entry[2]]
            if not positions:  # the current source stores positions it never reads
                positions = [-1] * 4
            model.InitModel(*positions)
            params, wave, scale = self._kernel_params(e)
            tjm = params if e.kind == "B" and e.params["model"] == "tjm" else None
            host = HostElement(e, model, params, wave, scale, tjm, self.units.time)
            host.UpdateParameters()
            elements.append(host)
            if wave is not None:
                sources.append(host)
        return elements, sources

    # -- the run ---------------------------------------------------------------

    def run(self, tstop, step, method="trap", ramp=0.0, record=None, tol=1e-6, max_iter=30,
            min_step=None, hysteresis=0.1, adaptive=False, lte=1e-3, max_step=None):
        """Simulates from 0 to tstop; returns Results.

        step: the time step in seconds (with adaptive=True, the first one).
        method: "trap" (trapezoidal rule) or "gear" (second-order BDF, whose
            first step is a backward Euler step).
        ramp: every source value rises smoothly from 0 to 1 over the first
            `ramp` seconds (the start-up ramp).
        record: names of nodes and elements to keep waveforms of (default all).
        tol: Newton iterations stop when no unknown changes by more than this
            (radians, or 100 uA for branch currents). Newton converges
            quadratically, so what remains is far below tol.
        min_step: a step that does not converge (or, adaptive, that misses
            the error bound) is retried in smaller steps down to this size
            (default step / 64) before the run fails.
        hysteresis: hold band of the phase-quanta counts, in quanta.
        adaptive: choose each step from an estimate of the local truncation
            error: the largest error of an unknown per step stays below `lte`
            (radians), and steps stay below max_step (default 16 * step).
            The results then hold the accepted points, unevenly spaced.
        """
        if method not in ("trap", "gear"):
            raise ValueError(f"unknown integration method {method!r} (choose 'trap' or 'gear')")
        if not step > 0 or not tstop > 0:
            raise ValueError("tstop and step must be positive")
        u = self.units
        loop = _TimeLoop(self, method, ramp / u.time, tol, max_iter, hysteresis)
        h0 = step / u.time
        h_min = (min_step / u.time) if min_step else h0 / 64
        t_end = tstop / u.time
        nsteps = int(math.ceil(t_end / h0 - 1e-9))
        results = Results(self, record, nsteps + 1)
        sc.UpdateValues()
        results.store(0, 0.0)
        clock = _time.perf_counter
        start = clock()
        if adaptive:
            h_max = (max_step / u.time) if max_step else 16 * h0
            self._run_adaptive(loop, results, h0, h_min, h_max, t_end, lte)
        else:
            self._run_fixed(loop, results, h0, h_min, t_end, nsteps)
        loop.timing["total"] = clock() - start
        results.timing = loop.timing
        return results

    def _run_fixed(self, loop, results, h0, h_min, t_end, nsteps):
        t = 0.0
        for k in range(1, nsteps + 1):
            t_target = min(k * h0, t_end)
            h = t_target - t
            while True:  # halve a failing step, then walk on to the grid point
                outcome, worst = loop.attempt(t, h)
                if outcome == "ok":
                    t += h
                    if t >= t_target - 1e-12 * h0:
                        break
                    loop.accept()  # an intermediate point of a halved step
                    h = min(2 * h, t_target - t)
                elif h / 2 < h_min:
                    raise SimulationError(self._failure(outcome, worst, t + h, loop.Ax))
                else:
                    h /= 2
            loop.accept()
            results.store(k, t)

    def _run_adaptive(self, loop, results, h, h_min, h_max, t_end, lte):
        # The predictor is a second-order Taylor step, wrong by h^3 D/6 where
        # D is the third derivative of the unknown; the trapezoidal rule errs
        # by -h^3 D/12, second-order BDF by -2 h^3 D/9. The difference between
        # the solved and the predicted point therefore gives the step's own
        # error: a third of it (trap), or 4/7 of it (gear).
        share = 1.0 / 3.0 if loop.method == "trap" else 4.0 / 7.0
        t, k = 0.0, 0
        while t < t_end * (1 - 1e-12):
            h = min(h, t_end - t)
            outcome, worst = loop.attempt(t, h)
            error = share * loop.prediction_error() if outcome == "ok" else math.inf
            if outcome == "ok" and loop.h_prev is None and loop.method == "gear":
                error = 0.0  # backward Euler's first step has no history to judge it by
            if error <= lte:
                t += h
                k += 1
                loop.accept()
                results.store(k, t)
                grow = 2.0 if error == 0 else min(2.0, 0.9 * (lte / error) ** (1 / 3))
                h = min(h_max, max(h * max(grow, 0.5), h_min))
                continue
            if h <= h_min * (1 + 1e-9):
                raise SimulationError(self._failure(outcome if outcome != "ok" else "error",
                                                    worst, t + h, loop.Ax))
            shrink = 0.5 if outcome != "ok" else max(0.2, 0.9 * (lte / error) ** (1 / 3))
            h = max(h * shrink, h_min)
        results.trim(k + 1)

    def _failure(self, outcome, worst, t, values):
        when = t * self.units.time
        if outcome == "error":
            return (f"the local truncation error stays above its bound at t = {when:.6g} s "
                    f"even with the smallest step")
        if outcome == "singular":
            where = self._empty_row(values)
            return (f"the circuit equations are singular at t = {when:.6g} s"
                    + (f" (nothing fixes the unknown of {where})" if where else ""))
        return (f"Newton iterations did not converge at t = {when:.6g} s; the largest update "
                f"was at {self.name_of_unknown(worst)}")

    def name_of_unknown(self, index):
        for name, number in self.node_number.items():
            if number == index + 1:
                return f"node {name!r}"
        for name, number in self.branch_row.items():
            if number == index + 1:
                return f"the branch current of {name}"
        return f"unknown {index + 1}"

    def _empty_row(self, values):
        rows = np.zeros(self.size)
        for (r, _), k in self.slot.items():
            rows[r - 1] = max(rows[r - 1], abs(values[k]))
        empty = np.flatnonzero(rows == 0)
        return self.name_of_unknown(int(empty[0])) if empty.size else None


class _TimeLoop:
    """The state of one run: host arrays bound to the kernel, the solver, the
    integration history, and one time step at a time.

    The unknowns x and their first and second time derivatives are the rows
    of one (3, n) array S, so that a Newton update dx of the unknowns moves
    all three at once: the integration formulas make the derivatives at the
    new point linear in x, with slopes c0 and c0**2.
    """

    def __init__(self, sim, method, t_ramp, tol, max_iter, hysteresis):
        self.sim, self.method, self.t_ramp = sim, method, t_ramp
        self.tol, self.max_iter = tol, max_iter
        n, nnz = sim.size, sim.nnz
        self.S = np.zeros((3, n))  # x, dx/dt, d2x/dt2 at the point being solved
        self.H = np.zeros((6, n))  # the same at the last two accepted points
        self.work = np.zeros((3, n))
        self.x_predicted = np.zeros(n)
        self.increment = np.zeros((3, 1))
        self.h_prev = None  # step that led to the last accepted point (None: no history)
        self.h_built = None  # step of the A1 in place
        self._predictors = {}
        x, dx, ddx = self.S
        ne = len(sim.circuit.elements)
        G.NodePhase, G.NodeVoltage, G.NodeDVoltage = x, dx, ddx
        G.ElementPhase, G.ElementVoltage, G.ElementCurrent = np.zeros(ne), np.zeros(ne), np.zeros(ne)
        G.ElementN = np.zeros(ne, dtype=np.int32)
        G.ElementInc = np.zeros(ne, dtype=np.uint8)
        G.ElementDec = np.zeros(ne, dtype=np.uint8)
        G.TotalNodes = n
        G.CurrentTime = 0.0
        G.OptimizeSimulation = False
        SP.X, SP.Xind = [self.H[0], x], 1
        SP.DX, SP.DDX, SP.DXprev = dx, ddx, self.H[1]
        SP.InterpCoeffDt, SP.InterpCoeffDDt, SP.TimeSteps = [0.0], [0.0], [0.0]
        SP.PHASE_HISTERESIS = hysteresis
        SP.INITIAL_RAMP = t_ramp
        SP.InitialSmoothFactor = _smooth(0.0, t_ramp)

        elements, sources = sim._make_models()
        G.ElementList, G.TotalElements = elements, len(elements)
        G.SourceElementList, G.TotalSourceElements = sources, len(sources)
        sc.InitElementModels()
        # Sources whose value still changes, and until when (kernel time).
        self.varying = [(s, s.wave.constant_from() / sim.units.time) for s in sources
                        if s.wave.constant_from() > 0.0]

        self.A0, self.A1, self.A2 = np.zeros(nnz), np.zeros(nnz), np.zeros(nnz)
        self.A01, self.Ax, self.B = np.zeros(nnz), np.zeros(nnz), np.zeros(n)
        sc.BuildStaticMatrix(self.A0)
        self.solver = SparseFactor()
        self.solver.analyze(n, sim.Ap, sim.Ai)
        if self.solver.status != 0:
            raise SimulationError(f"the solver refused the circuit's pattern (status {self.solver.status})")
        # The tunnel-junction model advances its history in BuildMatrix, so it
        # needs one every step; otherwise A1 is rebuilt only when h changes.
        self.build_every_step = sim.has_tjm
        self.timing = {"kernel": 0.0, "solver": 0.0, "total": 0.0, "iterations": 0, "steps": 0}

    def predictor(self, h):
        """predict(h), cached: the step size rarely changes."""
        key = (h, self.h_prev if self.method == "gear" else 0.0)
        found = self._predictors.get(key)
        if found is None:
            T, c0 = self.predict(h)
            if self.method != "gear" or self.h_prev is None:
                T = np.ascontiguousarray(T[:, :3])  # one point of history is enough
            found = self._predictors[key] = (T, c0)
            if len(self._predictors) > 64:
                self._predictors.clear()
        return found

    def predict(self, h):
        """The map from the history H to the predicted S, and the slope c0.

        The phases take a Taylor step with their last voltages and voltage
        derivatives; the derivatives then follow from the integration formula.
        """
        xrow = np.array([1.0, h, 0.5 * h * h, 0.0, 0.0, 0.0])
        if self.method == "trap":
            c0 = 2.0 / h
            v = c0 * xrow + [-c0, -1.0, 0.0, 0.0, 0.0, 0.0]
            a = c0 * c0 * xrow + [-c0 * c0, -2.0 * c0, -1.0, 0.0, 0.0, 0.0]
        elif self.h_prev is None:  # gear's first step: backward Euler
            c0 = 1.0 / h
            v = c0 * xrow + [-c0, 0.0, 0.0, 0.0, 0.0, 0.0]
            a = c0 * c0 * xrow + [-c0 * c0, -c0, 0.0, 0.0, 0.0, 0.0]
        else:  # second-order BDF with a variable step
            w = h / self.h_prev
            c0, c1, c2 = (1 + 2 * w) / ((1 + w) * h), -(1 + w) / h, w * w / ((1 + w) * h)
            v = c0 * xrow + [c1, 0.0, 0.0, c2, 0.0, 0.0]
            a = c0 * c0 * xrow + [c0 * c1, c1, 0.0, c0 * c2, c2, 0.0]
        return np.array([xrow, v, a]), c0

    def attempt(self, t, h):
        """One step of size h from the last accepted point at time t.
        Returns ("ok" | "singular" | "diverged", index of the worst unknown)."""
        sim, timing, clock = self.sim, self.timing, _time.perf_counter
        t_new = t + h
        G.CurrentTime = t_new
        SP.InitialSmoothFactor = _smooth(t_new, self.t_ramp)
        for s, _ in self.varying:
            s.model.SetParameters([s.value(t_new)])
        T, c0 = self.predictor(h)
        SP.InterpCoeffDt[0], SP.InterpCoeffDDt[0], SP.TimeSteps[0] = c0, c0 * c0, h
        np.dot(T, self.H[: T.shape[1]], out=self.S)
        np.copyto(self.x_predicted, self.S[0])
        self.increment[:, 0] = (1.0, c0, c0 * c0)

        A2, B, Ax, solver = self.A2, self.B, self.Ax, self.solver
        started = clock()
        A2.fill(0.0)
        B.fill(0.0)
        if self.build_every_step or h != self.h_built:
            self.A1.fill(0.0)
            sc.BuildMatrix(self.A1, A2, B)
            np.add(self.A0, self.A1, out=self.A01)
            self.h_built = h
        else:
            sc.UpdateMatrix(A2, B)
        timing["kernel"] += clock() - started
        previous = math.inf
        for it in range(self.max_iter):
            if it:
                started = clock()
                A2.fill(0.0)
                B.fill(0.0)
                sc.UpdateMatrix(A2, B)
                timing["kernel"] += clock() - started
            np.add(self.A01, A2, out=Ax)
            started = clock()
            solver.solveSparseMatrix(Ax, B)
            timing["solver"] += clock() - started
            timing["iterations"] += 1
            if solver.status != 0:
                return "singular", None
            np.multiply(self.increment, B, out=self.work)
            np.add(self.S, self.work, out=self.S)
            largest = max(B.max(), -B.min())
            if largest <= self.tol or (not sim.nonlinear and it == 0):
                return "ok", None
            # Newton converges quadratically: once the updates contract, the
            # error left after this one is about largest**3 / previous**2.
            if it and largest < 0.5 * previous and largest**3 <= self.tol * previous**2:
                return "ok", None
            if not math.isfinite(largest):
                break
            previous = largest
        return "diverged", int(np.abs(B).argmax())

    def prediction_error(self):
        """Largest difference between the solved and the predicted unknowns."""
        np.subtract(self.S[0], self.x_predicted, out=self.work[0])
        return float(np.abs(self.work[0]).max()) if self.work.shape[1] else 0.0

    def accept(self):
        """Makes the solved point the last accepted one."""
        if self.method == "gear":
            self.H[3:] = self.H[:3]
        self.H[:3] = self.S
        self.h_prev = SP.TimeSteps[0]
        self.timing["steps"] += 1
        sc.UpdateValues()
        t = G.CurrentTime
        if self.varying and min(until for _, until in self.varying) < t:
            self.varying = [(s, until) for s, until in self.varying if until >= t]


def _smooth(t, t_ramp):
    """The start-up ramp: 0 at t = 0 rising smoothly (a cubic) to 1 at t_ramp."""
    if t_ramp <= 0 or t >= t_ramp:
        return 1.0
    s = t / t_ramp
    return s * s * (3.0 - 2.0 * s)
