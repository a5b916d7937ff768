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

Values may also be given as text with an engineering suffix, as netlists
write them: "2p" is 2e-12, "280u" 280e-6, "1.5meg" 1.5e6 (see si_value).
"""

import math
import re

#: Magnetic flux quantum h / (2e), in webers (exact since the 2019 SI).
PHI0 = 6.62607015e-34 / (2 * 1.602176634e-19)


class Units:
    """Conversion between SI values and kernel values for one choice of base units."""

    def __init__(self, time=1e-12, current=1e-4):
        if not (time > 0 and current > 0 and math.isfinite(time) and math.isfinite(current)):
            raise ValueError("base units of time and current must be positive and finite")
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

# Engineering suffixes, as netlists write them: the first letters after the
# digits may be a scale (MEG before M, and M is milli as in SPICE: a
# megahertz is 1MEGHz or 1X); any letters after that, or letters that are
# no scale, are a unit and are not read: "2pH" is 2e-12, "1000.00ohm" is
# 1000, but "5F" is 5e-15 (femto).
SUFFIXES = {"f": 1e-15, "p": 1e-12, "n": 1e-9, "u": 1e-6, "m": 1e-3, "k": 1e3, "x": 1e6,
            "g": 1e9, "t": 1e12}
MEG = 1e6
_NUMBER = re.compile(r"(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
_LETTERS = re.compile(r"[A-Za-z_]*")


def scale_of(letters):
    """The factor a run of letters after a number stands for (1 if none)."""
    if not letters:
        return 1.0
    if letters[:3].lower() == "meg":
        return MEG
    return SUFFIXES.get(letters[0].lower(), 1.0)


def match_number(text, start=0):
    """(value, end) of an unsigned number with its suffix and unit letters at
    text[start:], or None when no number starts there."""
    m = _NUMBER.match(text, start)
    if not m:
        return None
    letters = _LETTERS.match(text, m.end())
    # A scale, not a rounding step: 2.425p is 2.425 * 1e-12, as written.
    return float(m.group()) * scale_of(letters.group()), letters.end()


def parse_si(text):
    """The value of a number with an optional sign and engineering suffix
    ("2.5p", "1e-12", "280uA", "1.5MEG", "-3k"), case-insensitive; None if
    text is not one."""
    s = text.strip()
    k = 1 if s[:1] in "+-" else 0
    found = match_number(s, k)
    if found is None or found[1] != len(s):
        return None
    return -found[0] if s[:1] == "-" else found[0]


def si_value(value, what="value"):
    """A number, or text with an engineering suffix, as a float. Raises
    ValueError naming `what` for anything else."""
    if isinstance(value, str):
        v = parse_si(value)
        if v is None:
            raise ValueError(f"{what} must be a number (got {value!r})")
        return v
    if isinstance(value, bool):
        raise ValueError(f"{what} must be a number (got {value!r})")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a number (got {value!r})") from None
