"""Waveforms of a transient simulation, in SI units, by node or element name.

    res.time                      seconds
    res.node_voltage("n1")        volts (node phase: res.node_phase, radians)
    res.voltage("B1")             volts across an element, from its first node to its second
    res.current("L1")             amperes through it, from its first node to its second
    res.phase("B1")               radians across it
    res.quanta("B1")              its signed count of 2 pi phase quanta (sources, junctions)
    res.crossing_times("B1", pi)  every time its phase rises through pi
    res.switching("B1")           times and directions of its phase-quanta changes
    res.to_csv(path); res.plot(path)

A transmission line reports its port 1: voltage and phase from p1 to n1, and
the current that enters the line at p1 (the voltage at port 2 is its nodes').
"""

import numpy as np

from .. import qdglobals as G
from ..circuit.builder import GROUND, Circuit, CircuitError, suggest
from . import measure

# (method, column prefix, unit) of what is recorded per node and per element.
NODE_QUANTITIES = (("node_phase", "P", "rad"), ("node_voltage", "V", "V"))
ELEMENT_QUANTITIES = (("current", "I", "A"), ("voltage", "V", "V"), ("phase", "P", "rad"))


class Results:
    def __init__(self, assembly, record, rows):
        circuit = assembly.circuit
        self.units = assembly.units
        self.title = circuit.title
        elements = list(circuit.elements)
        nodes = circuit.nodes
        if record is None:
            self.node_names, self.element_names = nodes, elements
        else:
            record = [record] if isinstance(record, (str, int)) else list(record)
            wanted_nodes, wanted_elements = set(), set()
            for name in record:
                if isinstance(name, str) and name in circuit.elements:
                    wanted_elements.add(name)
                    continue
                try:
                    node = Circuit.canonical(name)
                except CircuitError:
                    node = None
                if node in circuit._nodes:
                    wanted_nodes.add(node)
                else:
                    raise KeyError(f"cannot record {name!r}: no node or element of that name"
                                   f"{suggest(name, nodes + elements)}")
            self.node_names = [n for n in nodes if n in wanted_nodes]
            self.element_names = [e for e in elements if e in wanted_elements]
        self._node_index = {n: k for k, n in enumerate(self.node_names)}
        self._element_index = {e: k for k, e in enumerate(self.element_names)}
        eindex = {e: k for k, e in enumerate(elements)}
        # What is recorded: unknowns (0-based) and element indices, in column order.
        self.recorded_unknowns = np.array([assembly.node_number[n] - 1 for n in self.node_names],
                                          dtype=np.int32)
        self._element_positions = [eindex[e] for e in self.element_names]
        self.recorded_elements = np.array(self._element_positions, dtype=np.int32)
        self._nodes = _as_slice(self.recorded_unknowns.astype(np.intp))
        self._elements = _as_slice(self.recorded_elements.astype(np.intp))
        kinds = dict(zip(elements, assembly.kinds))
        self._current_sign = np.array([assembly.current_sign(circuit.elements[e])
                                       for e in self.element_names])
        self._counting = {e for e in self.element_names if kinds[e].counts_quanta}
        # A junction with a phase offset counts the quanta of its phase less the offset.
        self._quanta_offset = {e: circuit.elements[e].params.get("phi") or 0.0
                               for e in self._counting}
        self.count = 0
        self._time = np.zeros(rows)
        shape_n, shape_e = (rows, len(self.node_names)), (rows, len(self.element_names))
        self._node_phase, self._node_voltage = np.zeros(shape_n), np.zeros(shape_n)
        self._phase, self._voltage, self._current = (np.zeros(shape_e), np.zeros(shape_e),
                                                     np.zeros(shape_e))
        self._quanta = np.zeros(shape_e, dtype=np.int32)
        self.timing = {}
        #: The seed of the run's thermal noise (None: the run drew none).
        self.seed = None
        self._noise = None  # (columns, kernel elements, signs) of noise currents

    def add_noise_currents(self, elements, sources, signs):
        """Makes the recorded current of each noisy element its terminal
        current: its own plus that of its noise source (element index
        elements[m], the kernel element sources[m], signs[m] its direction)."""
        column = {int(e): k for k, e in enumerate(self._element_positions)}
        keep = [m for m, e in enumerate(elements) if int(e) in column]
        if keep:
            self._noise = (np.array([column[int(elements[m])] for m in keep], dtype=np.intp),
                           np.asarray(sources)[keep], np.asarray(signs)[keep])

    _ARRAYS = ("_time", "_node_phase", "_node_voltage", "_phase", "_voltage", "_current", "_quanta")

    def store(self, t):
        """Appends the kernel's present state as the point at time t (kernel units)."""
        k = self.count
        if k >= self._time.shape[0]:
            self.grow()
        self._time[k] = t
        if self.node_names:
            self._node_phase[k] = G.NodePhase[self._nodes]
            self._node_voltage[k] = G.NodeVoltage[self._nodes]
        if self.element_names:
            self._phase[k] = G.ElementPhase[self._elements]
            self._voltage[k] = G.ElementVoltage[self._elements]
            self._current[k] = G.ElementCurrent[self._elements]
            if self._noise is not None:
                columns, sources, signs = self._noise
                self._current[k, columns] += signs * G.ElementCurrent[sources]
            self._quanta[k] = G.ElementN[self._elements]
        self.count = k + 1

    def outputs(self):
        """The arrays a point is stored into, one row per point: time, node
        phase and voltage, element phase, voltage, current and quanta."""
        return tuple(getattr(self, name) for name in self._ARRAYS)

    def grow(self):
        """Room for as many points again."""
        self._resize(2 * max(self._time.shape[0], 1))

    def _resize(self, rows):
        for name in self._ARRAYS:
            old = getattr(self, name)
            new = np.zeros((rows,) + old.shape[1:], dtype=old.dtype)
            keep = min(rows, self.count)
            new[:keep] = old[:keep]
            setattr(self, name, new)

    def trim(self):
        """Keeps only the stored points (after a run, or a run that stopped)."""
        if self._time.shape[0] != self.count:
            self._resize(self.count)

    # -- access ----------------------------------------------------------------

    @property
    def time(self):
        return self._time[: self.count] * self.units.time

    def _node(self, name):
        try:
            node = Circuit.canonical(name)
        except CircuitError as err:
            raise KeyError(str(err)) from None
        if node == GROUND:
            raise KeyError("ground has no waveform: it is 0 by definition")
        try:
            return self._node_index[node]
        except KeyError:
            raise KeyError(f"no recorded node named {name!r}"
                           f"{suggest(name, self.node_names)}") from None

    def _element(self, name):
        try:
            return self._element_index[name]
        except KeyError:
            raise KeyError(f"no recorded element named {name!r}"
                           f"{suggest(name, self.element_names)}") from None

    def node_phase(self, node):
        return self._node_phase[: self.count, self._node(node)].copy()

    def node_voltage(self, node):
        return self._node_voltage[: self.count, self._node(node)] * self.units.voltage

    def phase(self, element):
        return self._phase[: self.count, self._element(element)].copy()

    def voltage(self, element):
        return self._voltage[: self.count, self._element(element)] * self.units.voltage

    def current(self, element):
        k = self._element(element)
        return self._current[: self.count, k] * (self._current_sign[k] * self.units.current)

    def quanta(self, element):
        k = self._element(element)
        if element not in self._counting:
            raise KeyError(f"{element!r} counts no phase quanta (only sources of phase or "
                           "voltage and junctions do)")
        return self._quanta[: self.count, k].copy()

    def crossing_times(self, element, level=np.pi, direction="rising"):
        """Every time the element's phase crosses `level` (radians) in that
        direction ("rising", "falling" or "both"), interpolated linearly."""
        return measure.crossing_times(self.time, self.phase(element), level, direction)

    def crossing_time(self, element, level=np.pi):
        """The first time the element's phase rises through `level`, or None."""
        found = self.crossing_times(element, level)
        return float(found[0]) if found.size else None

    def switching(self, element):
        """(times, steps) of the element's phase-quanta changes: when its
        count changed and by how much (+1: a 2 pi slip forward)."""
        quanta = self.quanta(element)
        return measure.switching_events(self.time, self.phase(element) -
                                        self._quanta_offset[element], quanta)

    # -- output ----------------------------------------------------------------

    def columns(self):
        """(header, values) pairs of every recorded waveform, in SI units."""
        cols = [("time [s]", self.time)]
        for n in self.node_names:
            cols += [(f"{prefix}({n}) [{unit}]", getattr(self, method)(n))
                     for method, prefix, unit in NODE_QUANTITIES]
        for e in self.element_names:
            cols += [(f"{prefix}({e}) [{unit}]", getattr(self, method)(e))
                     for method, prefix, unit in ELEMENT_QUANTITIES]
            if e in self._counting:
                cols.append((f"N({e})", self.quanta(e)))
        return cols

    def to_csv(self, path):
        from .output import write_csv

        write_csv(path, self.columns())

    def plot(self, path=None, names=None, what="voltage"):
        """Draws the waveforms of the named elements (default: every recorded
        junction) in stacked panels, one per quantity of `what` ("voltage",
        "current", "phase", "quanta" or a list of them), with SI units; saves
        to path if given and returns the matplotlib Figure. Needs matplotlib
        (pip install 'quenda[plot]'); leaves the caller's pyplot alone."""
        from .plot import plot_results

        return plot_results(self, path, names, what)


def _as_slice(indices):
    """A slice for evenly spaced indices (copied without gathering), else the indices."""
    if len(indices) > 1:
        steps = np.diff(indices)
        if steps[0] > 0 and np.all(steps == steps[0]):
            return slice(int(indices[0]), int(indices[-1]) + 1, int(steps[0]))
    elif len(indices) == 1:
        return slice(int(indices[0]), int(indices[0]) + 1)
    return indices
