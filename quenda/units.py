"""SI units and the kernel's units: one choice of base units, applied here only.

The kernel's unknowns are node phases (radians) and branch currents, and the
voltage of an unknown is the time derivative of its phase in kernel time.
quenda picks two base units, a time and a current, that put typical
single-flux-quantum circuits near 1:

    t0 = 1 ps          kernel time unit
    i0 = 100 uA        kernel current unit

and derives the rest from the reduced flux quantum phi0 = PHI0 / (2 pi):

    v0 = phi0 / t0     voltage unit     (0.329 mV)
    r0 = v0 / i0       resistance unit  (3.29 ohm)
    l0 = phi0 / i0     inductance unit  (3.29 pH)
    c0 = i0 * t0 / v0  capacitance unit (0.304 pF)

A phase of 2 pi across an element is one flux quantum PHI0 of flux.
"""

import math

#: Magnetic flux quantum h / (2e), in webers (exact since the 2019 SI).
PHI0 = 6.62607015e-34 / (2 * 1.602176634e-19)


class Units:
    """Conversion between SI values and kernel values for one choice of base units."""

    def __init__(self, time=1e-12, current=1e-4):
        if time <= 0 or current <= 0:
            raise ValueError("base units of time and current must be positive")
        self.time = time
        self.current = current
        self.flux = PHI0 / (2 * math.pi)  # webers per radian
        self.voltage = self.flux / time
        self.resistance = self.voltage / current
        self.inductance = self.flux / current
        self.capacitance = current * time / self.voltage

    def __repr__(self):
        return f"Units(time={self.time!r}, current={self.current!r})"


#: The base units every simulation uses unless told otherwise.
DEFAULT = Units()
