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
    "rcsj": ("JunctionModel", False, _TWO_TERMINAL),
    "rsjn": ("JunctionRSJNModel", False, _TWO_TERMINAL),
    "tjm": ("JunctionTJMModel", False, _TWO_TERMINAL),
}


def _layout_key(e):
    if e.kind == "L" and e.params.get("branch"):
        return "LB"
    if e.kind == "B":
        return e.params["model"]
    return e.kind


def _model_class(entry):
    cls = entry[0]
    if isinstance(cls, str):
        try:
            return getattr(sc, cls)
        except AttributeError:
            raise NotImplementedError(f"this build of quenda.stampcore has no {cls}") from None
    return cls


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
        u = units
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
        self._u = u

    # -- numbering -----------------------------------------------------------

    def _numbers(self, e):
        if e.kind == "K":
            a, b = e.nodes
            return {"q": self.branch_row[a], "v": self.branch_row[b]}
        t = {"i": self.node_number[e.nodes[0]], "j": self.node_number[e.nodes[1]]}
        if e.name in self.branch_row:
            t["q"] = self.branch_row[e.name]
        return t

    def unknown_of(self, name):
        """0-based index of a node's unknown, or of an element's branch row."""
        if name in self.node_number and name != GROUND:
            return self.node_number[name] - 1
        if name in self.branch_row:
            return self.branch_row[name] - 1
        raise KeyError(f"no node or branch-current element named {name!r}")

    # -- models --------------------------------------------------------------

    def _kernel_params(self, e):
        """The element's parameters in kernel units (see quenda.units)."""
        u, p = self._u, e.params
        if e.kind == "R":
            return [p["r"] / u.resistance], None, 1.0
        if e.kind == "C":
            return [p["c"] / u.capacitance], None, 1.0
        if e.kind == "L":
            return [p["l"] / u.inductance], None, 1.0
        if e.kind == "K":
            return [p["m"] / u.inductance], None, 1.0
        if e.kind == "I":
            return None, p["wave"], 1.0 / u.current
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
            cls = _model_class(cls_entry)
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
            host = HostElement(e, model, params, wave, scale, tjm, self._u.time)
            host.UpdateParameters()
            elements.append(host)
            if wave is not None:
                sources.append(host)
        return elements, sources

    # -- the run ---------------------------------------------------------------

    def run(self, tstop, step, method="trap", ramp=0.0, record=None, tol=1e-9, max_iter=30,
            min_step=None, hysteresis=0.1):
        """Simulates from 0 to tstop with steps of `step` seconds.

        method: "trap" (trapezoidal rule) or "gear" (second-order BDF).
        ramp: every source value rises smoothly from 0 to 1 over the first
            `ramp` seconds (the start-up ramp).
        record: names of nodes and elements to keep waveforms of (default all).
        tol: Newton convergence on the largest update of an unknown (radians,
            or kernel current units for branch currents).
        min_step: the smallest step a failing step is retried with (default step / 64).
        hysteresis: hold band of the phase-quanta counts, in quanta.
        """
        if method not in ("trap", "gear"):
            raise ValueError(f"unknown integration method {method!r} (choose 'trap' or 'gear')")
        if not step > 0 or not tstop > 0:
            raise ValueError("tstop and step must be positive")
        u = self._u
        h0 = step / u.time
        t_end = tstop / u.time
        t_ramp = ramp / u.time
        h_min = (min_step / u.time) if min_step else h0 / 64
        n = self.size
        nsteps = int(math.ceil(t_end / h0 - 1e-9))

        # Host state. The accepted solution lives in the rows the kernel reads
        # as its context, so NodePhase/NodeVoltage/NodeDVoltage are views of them.
        X = np.zeros((2, n))
        x, x_prev = X[1], X[0]
        dx, ddx, dx_prev = np.zeros(n), np.zeros(n), np.zeros(n)
        ne = len(self.circuit.elements)
        G.NodePhase, G.NodeVoltage, G.NodeDVoltage = x, dx, ddx
        G.ElementPhase, G.ElementVoltage, G.ElementCurrent = np.zeros(ne), np.zeros(ne), np.zeros(ne)
        G.ElementN = np.zeros(ne, dtype=np.int32)
        G.ElementInc = np.zeros(ne, dtype=np.uint8)
        G.ElementDec = np.zeros(ne, dtype=np.uint8)
        G.TotalNodes = n
        G.CurrentTime = 0.0
        G.OptimizeSimulation = False
        SP.X, SP.Xind = X, 1
        SP.DX, SP.DDX, SP.DXprev = dx, ddx, dx_prev
        SP.InterpCoeffDt, SP.InterpCoeffDDt, SP.TimeSteps = [0.0], [0.0], [h0]
        SP.PHASE_HISTERESIS = hysteresis
        SP.INITIAL_RAMP = t_ramp
        SP.InitialSmoothFactor = _smooth(0.0, t_ramp)

        elements, sources = self._make_models()
        G.ElementList, G.TotalElements = elements, len(elements)
        G.SourceElementList, G.TotalSourceElements = sources, len(sources)
        sc.InitElementModels()
        varying = [s for s in sources if s.wave.constant_from() > 0.0]
        varying_until = [s.wave.constant_from() / u.time for s in varying]

        A0, A1, A2 = np.zeros(self.nnz), np.zeros(self.nnz), np.zeros(self.nnz)
        A01, Ax, B = np.zeros(self.nnz), np.zeros(self.nnz), np.zeros(n)
        sc.BuildStaticMatrix(A0)
        solver = SparseFactor()
        solver.analyze(n, self.Ap, self.Ai)
        if solver.status != 0:
            raise SimulationError(f"the solver refused the circuit's pattern (status {solver.status})")

        results = Results(self, record, nsteps + 1)
        sc.UpdateValues()
        results.store(0, 0.0)

        # History for the integration formulas: the previous accepted point's
        # phases and derivatives (and, for gear, the one before).
        a_prev = np.zeros(n)
        x_old, dx_old = np.zeros(n), np.zeros(n)
        v_const, a_const = np.zeros(n), np.zeros(n)
        delta = np.zeros(n)
        h_prev = None
        timing = {"kernel": 0.0, "solver": 0.0, "total": 0.0, "iterations": 0, "steps": 0}
        clock = _time.perf_counter
        run_start = clock()

        def derivatives(cdt, cddt):
            np.multiply(x, cdt, out=dx)
            np.add(dx, v_const, out=dx)
            np.multiply(x, cddt, out=ddx)
            np.add(ddx, a_const, out=ddx)

        def attempt(t_new, h):
            """One step of size h from the accepted point; True when it converged."""
            nonlocal h_prev
            G.CurrentTime = t_new
            SP.InitialSmoothFactor = _smooth(t_new, t_ramp)
            for s in varying:
                s.model.SetParameters([s.value(t_new)])
            gear = method == "gear" and h_prev is not None
            if gear:
                w = h / h_prev
                c0, c1, c2 = (1 + 2 * w) / ((1 + w) * h), -(1 + w) / h, w * w / ((1 + w) * h)
                cdt, cddt = c0, c0 * c0
                np.multiply(x_prev, c1, out=v_const)
                np.add(v_const, c2 * x_old, out=v_const)
                np.multiply(v_const, c0, out=a_const)
                np.add(a_const, c1 * dx_prev, out=a_const)
                np.add(a_const, c2 * dx_old, out=a_const)
            elif method == "gear":  # first step: backward Euler
                cdt, cddt = 1.0 / h, 1.0 / (h * h)
                np.multiply(x_prev, -cdt, out=v_const)
                np.multiply(v_const, cdt, out=a_const)
                np.subtract(a_const, dx_prev / h, out=a_const)
            else:
                cdt, cddt = 2.0 / h, 4.0 / (h * h)
                np.multiply(x_prev, -cdt, out=v_const)
                np.subtract(v_const, dx_prev, out=v_const)
                np.multiply(x_prev, -cddt, out=a_const)
                np.subtract(a_const, (4.0 / h) * dx_prev, out=a_const)
                np.subtract(a_const, a_prev, out=a_const)
            SP.InterpCoeffDt[0], SP.InterpCoeffDDt[0], SP.TimeSteps[0] = cdt, cddt, h

            # Predictor: the phases move on with their present voltages.
            np.multiply(dx_prev, h, out=x)
            np.add(x, x_prev, out=x)
            derivatives(cdt, cddt)
            t0 = clock()
            A1.fill(0.0)
            A2.fill(0.0)
            B.fill(0.0)
            sc.BuildMatrix(A1, A2, B)
            t1 = clock()
            timing["kernel"] += t1 - t0
            np.add(A0, A1, out=A01)
            for it in range(max_iter):
                if it:
                    t0 = clock()
                    A2.fill(0.0)
                    B.fill(0.0)
                    sc.UpdateMatrix(A2, B)
                    timing["kernel"] += clock() - t0
                np.add(A01, A2, out=Ax)
                t0 = clock()
                solver.solveSparseMatrix(Ax, B)
                timing["solver"] += clock() - t0
                timing["iterations"] += 1
                if solver.status != 0:
                    return ("singular", None)
                np.add(x, B, out=x)
                derivatives(cdt, cddt)
                np.abs(B, out=delta)
                worst = int(delta.argmax())
                if delta[worst] <= tol or (not self.nonlinear and it == 0):
                    return ("ok", None)
                if not math.isfinite(delta[worst]):
                    return ("diverged", worst)
            return ("diverged", worst)

        t = 0.0
        for k in range(1, nsteps + 1):
            t_target = min(k * h0, t_end)
            # History of the accepted point.
            if method == "gear":
                x_old[:] = x_prev
                dx_old[:] = dx_prev
            x_prev[:] = x
            dx_prev[:] = dx
            a_prev[:] = ddx
            h = t_target - t
            while True:  # shrink the step until it converges, then walk to t_target
                outcome, worst = attempt(t + h, h)
                if outcome == "ok":
                    t += h
                    h_prev = h
                    timing["steps"] += 1
                    if t >= t_target - 1e-12 * h0:
                        break
                    # An intermediate point of a retried step: accept it as history.
                    if method == "gear":
                        x_old[:] = x_prev
                        dx_old[:] = dx_prev
                    x_prev[:] = x
                    dx_prev[:] = dx
                    a_prev[:] = ddx
                    sc.UpdateValues()
                    h = min(2 * h, t_target - t)
                    continue
                x[:] = x_prev
                dx[:] = dx_prev
                ddx[:] = a_prev
                if h / 2 < h_min:
                    raise SimulationError(self._failure(outcome, worst, (t + h) * u.time, Ax))
                h /= 2
            sc.UpdateValues()
            results.store(k, t)
            if varying and min(varying_until) < t:  # sources that stay constant from now on
                keep = [j for j, until in enumerate(varying_until) if until >= t]
                varying = [varying[j] for j in keep]
                varying_until = [varying_until[j] for j in keep]
        timing["total"] = clock() - run_start
        results.timing = timing
        return results

    def _failure(self, outcome, worst, when, values):
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


def _smooth(t, t_ramp):
    """The start-up ramp: 0 at t = 0 rising smoothly (a cubic) to 1 at t_ramp."""
    if t_ramp <= 0 or t >= t_ramp:
        return 1.0
    s = t / t_ramp
    return s * s * (3.0 - 2.0 * s)
