"""Waveforms of a transient simulation, in SI units, by node or element name.

    res.time                      seconds
    res.node_voltage("n1")        volts (node phase: res.node_phase, radians)
    res.voltage("B1")             volts across an element, from its first node to its second
    res.current("L1")             amperes through it, from its first node to its second
    res.phase("B1")               radians across it
    res.quanta("B1")              its signed count of 2 pi phase quanta (sources, junctions)
"""

import csv
import math

import numpy as np

from . import qdglobals as G
from .circuit import GROUND


class Results:
    def __init__(self, sim, record, rows):
        self.units = sim.units
        self.title = sim.circuit.title
        elements = list(sim.circuit.elements)
        nodes = sim.circuit.nodes
        if record is None:
            self.node_names, self.element_names = nodes, elements
        else:
            record = [record] if isinstance(record, str) else list(record)
            wanted = set(record)
            unknown = wanted - set(nodes) - set(elements)
            if unknown:
                name = next(n for n in record if n in unknown)
                raise KeyError(f"cannot record {name!r}: no node or element of that name")
            self.node_names = [n for n in nodes if n in wanted]
            self.element_names = [e for e in elements if e in wanted]
        self._node_index = {n: k for k, n in enumerate(self.node_names)}
        self._element_index = {e: k for k, e in enumerate(self.element_names)}
        eindex = {e: k for k, e in enumerate(elements)}
        self._nodes = _as_slice(np.array([sim.node_number[n] - 1 for n in self.node_names], dtype=np.intp))
        self._elements = _as_slice(np.array([eindex[e] for e in self.element_names], dtype=np.intp))
        self._current_sign = np.array([sim.current_sign(sim.circuit.elements[e])
                                       for e in self.element_names])
        self._counting = {e for e in self.element_names
                          if sim.circuit.elements[e].kind in ("P", "V", "B")}
        self._time = np.zeros(rows)
        shape_n, shape_e = (rows, len(self.node_names)), (rows, len(self.element_names))
        self._node_phase, self._node_voltage = np.zeros(shape_n), np.zeros(shape_n)
        self._phase, self._voltage, self._current = np.zeros(shape_e), np.zeros(shape_e), np.zeros(shape_e)
        self._quanta = np.zeros(shape_e, dtype=np.int32)
        self.rows = rows
        self.timing = {}

    _ARRAYS = ("_time", "_node_phase", "_node_voltage", "_phase", "_voltage", "_current", "_quanta")

    def store(self, k, t):
        """Copies the kernel's state at point k (time t in kernel units)."""
        if k >= self.rows:  # adaptive steps: grow by half
            self._resize(max(k + 1, self.rows + self.rows // 2))
        self._time[k] = t
        if self.node_names:
            self._node_phase[k] = G.NodePhase[self._nodes]
            self._node_voltage[k] = G.NodeVoltage[self._nodes]
        if self.element_names:
            self._phase[k] = G.ElementPhase[self._elements]
            self._voltage[k] = G.ElementVoltage[self._elements]
            self._current[k] = G.ElementCurrent[self._elements]
            self._quanta[k] = G.ElementN[self._elements]

    def _resize(self, rows):
        for name in self._ARRAYS:
            old = getattr(self, name)
            new = np.zeros((rows,) + old.shape[1:], dtype=old.dtype)
            keep = min(rows, old.shape[0])
            new[:keep] = old[:keep]
            setattr(self, name, new)
        self.rows = rows

    def trim(self, rows):
        """Keeps the first `rows` points."""
        self._resize(rows)

    # -- access ----------------------------------------------------------------

    @property
    def time(self):
        return self._time * self.units.time

    def _node(self, name):
        if name == GROUND or str(name).lower() == "gnd":
            raise KeyError("ground has no waveform: it is 0 by definition")
        try:
            return self._node_index[name]
        except KeyError:
            raise KeyError(f"no recorded node named {name!r}") from None

    def _element(self, name):
        try:
            return self._element_index[name]
        except KeyError:
            raise KeyError(f"no recorded element named {name!r}") from None

    def node_phase(self, node):
        return self._node_phase[:, self._node(node)].copy()

    def node_voltage(self, node):
        return self._node_voltage[:, self._node(node)] * self.units.voltage

    def phase(self, element):
        return self._phase[:, self._element(element)].copy()

    def voltage(self, element):
        return self._voltage[:, self._element(element)] * self.units.voltage

    def current(self, element):
        k = self._element(element)
        return self._current[:, k] * (self._current_sign[k] * self.units.current)

    def quanta(self, element):
        k = self._element(element)
        if element not in self._counting:
            raise KeyError(f"{element!r} counts no phase quanta (only sources of phase or "
                           "voltage and junctions do)")
        return self._quanta[:, k].copy()

    def crossing_time(self, element, level=math.pi):
        """First time the element's phase rises through `level` (linear
        interpolation between steps), or None if it never does."""
        p = self._phase[:, self._element(element)]
        above = np.flatnonzero((p[:-1] < level) & (p[1:] >= level))
        if not above.size:
            return None
        k = above[0]
        frac = (level - p[k]) / (p[k + 1] - p[k])
        return float((self._time[k] + frac * (self._time[k + 1] - self._time[k])) * self.units.time)

    # -- output ----------------------------------------------------------------

    def columns(self):
        """(header, values) pairs of every recorded waveform, in SI units."""
        cols = [("time [s]", self.time)]
        cols += [(f"V({n}) [V]", self.node_voltage(n)) for n in self.node_names]
        for e in self.element_names:
            cols += [(f"I({e}) [A]", self.current(e)), (f"V({e}) [V]", self.voltage(e)),
                     (f"P({e}) [rad]", self.phase(e))]
            if e in self._counting:
                cols.append((f"N({e})", self.quanta(e)))
        return cols

    def to_csv(self, path):
        cols = self.columns()
        with open(path, "w", newline="") as f:
            w = csv.writer(f)
            w.writerow([h for h, _ in cols])
            for row in zip(*(v.tolist() for _, v in cols)):
                w.writerow(row)

    def plot(self, path, names=None, what="voltage"):
        """Writes a plot of the voltages (what="voltage") or phases ("phase")
        of the named elements (default: every recorded junction) to path."""
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        if names is None:
            names = [e for e in self.element_names if e in self._counting] or self.element_names
        fig, ax = plt.subplots(figsize=(10, 5))
        scale, unit = (1e-3, "mV") if what == "voltage" else (1.0, "rad")
        for name in names:
            ax.plot(self.time * 1e12, getattr(self, what)(name) / scale, label=name, lw=0.8)
        ax.set_xlabel("time [ps]")
        ax.set_ylabel(f"{what} [{unit}]")
        ax.set_title(self.title)
        if len(names) <= 12:
            ax.legend(loc="upper right", fontsize="small")
        fig.tight_layout()
        fig.savefig(path, dpi=120)
        plt.close(fig)


def _as_slice(indices):
    """A slice for evenly spaced indices (copied without gathering), else the indices."""
    if len(indices) > 1:
        steps = np.diff(indices)
        if steps[0] > 0 and np.all(steps == steps[0]):
            return slice(int(indices[0]), int(indices[-1]) + 1, int(steps[0]))
    elif len(indices) == 1:
        return slice(int(indices[0]), int(indices[0]) + 1)
    return indices
