"""The DC current-voltage curve of a junction, as the kernel's model of it gives it.

At a constant voltage V != 0 the phase turns steadily, the supercurrent
Ic sin(phase) averages to nothing over its period, and what is left as DC is
the quasiparticle current at V: the curve there is the model's quasiparticle
law. At V = 0 the supercurrent carries any DC current up to Ic: a vertical
branch from -Ic to Ic. Both are read off the kernel's models, each junction
set at its voltage (phase where the supercurrent is zero) and asked for its
current once it has accepted that voltage, so that a law that picks its
piece from the accepted voltage (the "pwl" junction) shows that piece.

Works for the shunted junctions ("rcsj", "rsjn", "pwl"); the tunnel
junction's current depends on its history, not on the voltage alone.
"""

import math

import numpy as np

from .. import stampcore as sc
from ..circuit.builder import Circuit, CircuitError
from ..circuit.units import DEFAULT
from .assembly import Assembly
from .hoststate import exclusive_run, install

#: A voltage range this wide that does not reach imax is an error.
_LARGEST_VOLTAGE = 1e3


def junction_currents(element, voltages, phases=None, units=DEFAULT):
    """The current (A) of the junction `element` (a Circuit element) at each
    of `voltages` (V), with its phase at `phases` (radians; default: where
    its supercurrent is zero), after the kernel's model has accepted that
    voltage."""
    p = element.params
    if p["model"] == "tjm":
        raise CircuitError(f"{element.name}: the tunnel junction's current depends on its "
                           "history, not on its voltage alone: it has no DC I-V of this kind")
    voltages = np.asarray(voltages, dtype=float).ravel()
    offset = p.get("phi") or 0.0
    phases = np.full(voltages.shape, offset) if phases is None else np.asarray(phases, float)
    circuit = Circuit(f"I-V of {element.name}")
    settings = {k: v for k, v in p.items() if k != "model"}
    for k in range(voltages.size):
        circuit.junction(f"B{k}", f"n{k}", "0", model=p["model"], **settings)
    assembly = Assembly(circuit, units)
    with exclusive_run():
        S, H = np.zeros((3, assembly.size)), np.zeros((6, assembly.size))
        install(assembly, S, H, 0.0, 0.0, min_step=math.inf)  # no time steps are taken
        from .. import qdglobals as G

        S[0] = phases
        S[1] = voltages / units.voltage
        S[2] = 0.0
        sc.UpdateValues()  # accepts the voltage: a pwl junction takes its piece from it
        sc.UpdateValues()
        return G.ElementCurrent.copy() * units.current


def dc_iv(element, imax, points=400, units=DEFAULT):
    """(voltage, current) arrays of the junction's DC I-V from -imax to imax
    (amperes): the quasiparticle branch for V < 0, the supercurrent branch at
    V = 0 (from -min(Ic, imax) to min(Ic, imax)), the quasiparticle branch for
    V > 0, in that order, with `points` voltages a side. The corners of the
    law (the gap's edges) are among the voltages; a jump shows as two points
    at one voltage."""
    if not (imax > 0 and math.isfinite(imax)):
        raise ValueError(f"imax must be positive and finite (got {imax!r})")
    p = element.params
    # The voltage at which the current first reaches imax, within a factor of 2.
    probe = 1e-9 * 2.0 ** np.arange(0, math.ceil(math.log2(_LARGEST_VOLTAGE / 1e-9)) + 1)
    reached = np.flatnonzero(junction_currents(element, probe, units=units) >= imax)
    if not reached.size:
        raise CircuitError(f"{element.name}: its current stays below {imax:g} A up to "
                           f"{_LARGEST_VOLTAGE:g} V")
    top = probe[reached[0]]
    finer = np.linspace(top / 2, top, 65)
    top = finer[np.flatnonzero(junction_currents(element, finer, units=units) >= imax)[0]]
    corners = []
    if "delv" in p:
        low, high = p["vg"] - p["delv"] / 2, p["vg"] + p["delv"] / 2
        corners = [low, high * (1 - 1e-12), high]
    elif "vg" in p:
        corners = [p["vg"]]
    v = np.union1d(np.linspace(0.0, top, points + 1)[1:], [c for c in corners if c < top])
    i = junction_currents(element, np.concatenate([-v[::-1], v]), units=units)
    v = np.concatenate([-v[::-1], v])
    keep = np.abs(i) <= imax * (1 + 1e-12)
    v, i = v[keep], i[keep]
    # The supercurrent's extremes: phase pi/2 past the offset either way.
    offset = p.get("phi") or 0.0
    i0 = junction_currents(element, [0.0, 0.0], [offset - math.pi / 2, offset + math.pi / 2],
                           units=units)
    i0 = np.clip(i0, -imax, imax)
    split = np.searchsorted(v, 0.0)
    return (np.concatenate([v[:split], [0.0, 0.0], v[split:]]),
            np.concatenate([i[:split], i0, i[split:]]))
