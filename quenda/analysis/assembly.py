"""A circuit made ready for the kernel: unknowns, the sparse pattern, the models.

Unknown k (1-based, as the kernel counts) is a node, numbered in order of
first use, or, after all nodes, the branch row of an element that needs one
(in element order). The compressed-column pattern holds every matrix entry
some element's model stamps; each model is given the slot positions of its
entries in that pattern, in the order of its kind's `slots`.
"""

import array
import math

import numpy as np

from .. import stampcore
from ..circuit.builder import GROUND, CircuitError
from ..circuit.kinds import KINDS, KernelRangeError
from ..circuit.units import DEFAULT
from .errors import SimulationError


class HostElement:
    """What the kernel expects of a host element: a model and a parameter refresh.

    A source's value is its waveform at the kernel's CurrentTime (kernel
    time), divided by its kind's unit (and, for a current source, signed as
    the kernel wants it)."""

    __slots__ = ("spec", "model", "params", "wave", "scale", "setup", "time_unit")

    def __init__(self, spec, model, params, wave, scale, setup, time_unit):
        self.spec, self.model, self.params = spec, model, params
        self.wave, self.scale, self.setup, self.time_unit = wave, scale, setup, time_unit

    def value(self, t):
        """The source's kernel value at kernel time t; SimulationError when
        its waveform gives something that is not a finite number there."""
        v = self.wave(t * self.time_unit) * self.scale
        if not (v - v == 0.0):  # NaN or infinite, and no function call
            raise self.failure(t, v)
        return v

    def failure(self, t, v):
        """The SimulationError of kernel value v at kernel time t."""
        return SimulationError(
            f"{self.spec.what} {self.spec.name}: its waveform gives {v / self.scale!r} at "
            f"t = {t * self.time_unit:.6g} s, which cannot be simulated", time=t * self.time_unit)

    def UpdateParameters(self):
        from .. import qdglobals

        if self.wave is not None:
            self.params = [self.value(qdglobals.CurrentTime)]
        getattr(self.model, self.setup)(self.params)


class Assembly:
    """Numbering, pattern and kernel models of one circuit (kernel units)."""

    def __init__(self, circuit, units=DEFAULT):
        circuit.check()
        self.circuit = circuit
        self.units = units
        self.revision = circuit.revision
        elements = list(circuit.elements.values())
        self.kinds = [KINDS[e.key] for e in elements]
        self.node_number = {n: k + 1 for k, n in enumerate(circuit.nodes)}
        self.node_number[GROUND] = 0

        # Branch rows follow the nodes, in element order.
        nodes = len(circuit.nodes)
        self.branch_row = {}
        for e, kind in zip(elements, self.kinds):
            if kind.branch:
                self.branch_row[e.name] = nodes + len(self.branch_row) + 1
        self.size = nodes + len(self.branch_row)

        # The compressed-column pattern of every entry some model stamps.
        self.terminals = [self._numbers(e, k) for e, k in zip(elements, self.kinds)]
        entries = {}
        for t, kind in zip(self.terminals, self.kinds):
            for r, c in kind.slots:
                if t[r] and t[c]:
                    entries[(t[r], t[c])] = None
        ordered = sorted(entries, key=lambda rc: (rc[1], rc[0]))
        self.slot = {rc: k for k, rc in enumerate(ordered)}
        self.nnz = len(ordered)
        cols = np.array([c for _, c in ordered], dtype=np.int64)
        self.Ap = array.array("i", np.searchsorted(cols, np.arange(1, self.size + 2)).tolist())
        self.Ai = array.array("i", [r - 1 for r, _ in ordered])

        self.nonlinear = any(k.nonlinear for k in self.kinds)
        self.exact_jacobian = all(k.exact_jacobian for k in self.kinds)
        # The tunnel-junction model advances its history in BuildMatrix: it
        # needs one at the start of every step.
        self.build_every_step = any(k.model == "JunctionTJMModel" for k in self.kinds)
        # Terminals of the elements whose phase change per step is bounded,
        # as unknown numbers (0: ground).
        bounded = [t for t, k in zip(self.terminals, self.kinds) if k.bounded_phase]
        self.bounded_i = np.array([t["i"] for t in bounded], dtype=np.intp)
        self.bounded_j = np.array([t["j"] for t in bounded], dtype=np.intp)
        self.kernel_params = [self._kernel_params(e, k) for e, k in zip(elements, self.kinds)]
        # The largest step some element allows (kernel time), and that element.
        limits = [(k.max_step(e) / units.time, e) for e, k in zip(elements, self.kinds)
                  if k.max_step is not None]
        self.step_limit = min(limits, key=lambda le: le[0]) if limits else (math.inf, None)

    def _numbers(self, e, kind):
        """The unknown number of each of the element's terminals by name (0: ground)."""
        rows = self.branch_row if kind.couples else self.node_number
        t = {name: rows[n] for name, n in zip(kind.terminals, e.nodes)}
        if kind.branch:
            t["q"] = self.branch_row[e.name]
        return t

    def _kernel_params(self, e, kind):
        """(parameters, waveform, scale) in kernel units, checked to be
        representable there."""
        try:
            if kind.source is None:
                return kind.params(e, self.units), None, 1.0
            scale = 1.0 if kind.source == "phase" else 1.0 / getattr(self.units, kind.source)
            scale *= self.current_sign(e)
            for level in e.params["wave"].levels():
                if not (level * scale - level * scale == 0.0):
                    raise KernelRangeError(f"value {level:g} is outside the range the "
                                           f"simulator can represent")
            return None, e.params["wave"], scale
        except KernelRangeError as err:
            raise CircuitError(f"{e.name}: {err}") from None

    @staticmethod
    def current_sign(e):
        """+1, or -1 for a current source whose first node is off ground.

        The kernel's current source drives its value into its first node and
        out of its second, but into the other node when one is ground. A SPICE
        source drives its current into its second node: given to the kernel
        with its nodes in the user's order it is negated, except when its
        first node is ground. Results negate the reported current back."""
        return 1.0 if e.kind != "I" or e.nodes[0] == GROUND else -1.0

    def stale(self):
        """What changed in the circuit since this assembly, or None."""
        if self.circuit.revision == self.revision:
            return None
        return "elements were added to the circuit"

    # -- models ----------------------------------------------------------------

    def make_models(self, min_step, bind=None):
        """Host elements with bound models for a run whose steps are min_step
        (kernel time) or more; the qdglobals arrays must be in place.
        bind(element, waveform), if given, gives the waveform a source takes
        in this run (a NOISE bound to its stream)."""
        elements, sources = [], []
        for eindex, (e, kind, t) in enumerate(zip(self.circuit.elements.values(), self.kinds,
                                                   self.terminals)):
            cls = getattr(stampcore, kind.model)
            model = cls(*[t[k] for k in kind.terminals], *([t["q"]] if kind.branch else []),
                        eindex)
            positions = [self.slot.get((t[r], t[c]), -1) if t[r] and t[c] else -1
                         for r, c in kind.slots]
            model.InitModel(*(positions or [-1] * 4))
            params, wave, scale = self.kernel_params[eindex]
            if kind.for_run is not None:
                params = kind.for_run(params, min_step)
            if bind is not None and wave is not None:
                wave = bind(e, wave)
            host = HostElement(e, model, params, wave, scale, kind.setup, self.units.time)
            host.UpdateParameters()
            elements.append(host)
            if wave is not None:
                sources.append(host)
        return elements, sources

    # -- names, for messages ---------------------------------------------------

    def name_of_unknown(self, index):
        """The node or branch current of unknown index + 1, with the elements at a node."""
        for name, number in self.node_number.items():
            if number == index + 1:
                at = [e.name for e in self.circuit.elements.values()
                      if e.kind != "K" and name in e.nodes]
                return f"node {name!r}" + (f" ({', '.join(at)})" if at else "")
        for name, number in self.branch_row.items():
            if number == index + 1:
                return f"the branch current of {name}"
        return f"unknown {index + 1}"

    def empty_row(self, values):
        """The first unknown whose matrix row is all zero, or None."""
        rows = np.zeros(self.size)
        for (r, _), k in self.slot.items():
            rows[r - 1] = max(rows[r - 1], abs(values[k]))
        empty = np.flatnonzero(rows == 0)
        return self.name_of_unknown(int(empty[0])) if empty.size else None
