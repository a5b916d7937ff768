"""The circuit description: elements between named nodes, in SI units.

- builder.py: Circuit, the builder, and the checks made as elements are added;
- kinds.py: the element kinds, one table of what each is to the simulator;
- checks.py: whole-circuit checks made before a simulation;
- waveforms.py: source waveforms (DC, PWL, PWS, PULSE, SIN, EXP, NOISE) and their breakpoints;
- units.py: SI values, engineering suffixes and the kernel's units.
"""

from .builder import GROUND, Circuit, CircuitError, Element
from .units import DEFAULT, PHI0, Units, parse_si, si_value
from .waveforms import DC, EXP, NOISE, PULSE, PWL, PWS, SIN, Waveform, as_waveform

__all__ = ["Circuit", "CircuitError", "Element", "GROUND", "Units", "DEFAULT", "PHI0",
           "parse_si", "si_value", "Waveform", "DC", "PWL", "PWS", "PULSE", "SIN", "EXP", "NOISE",
           "as_waveform"]
