"""Numbers as designers write them: engineering notation or an SI suffix.

    1e-12   2.425p   0.07pF   5GHz   811mV   1.000pohm   10M (milli!)   1MEG

The first letters after the digits may be a scale suffix (MEG before M);
any letters after that, or letters that are no suffix, are a unit and mean
nothing: 2pH is 2p, 1000.00ohm is 1000, but 5F is five femto. M is milli,
as in SPICE: a megahertz is 1MEGHz or 1X.
"""

import re

SUFFIXES = {"F": 1e-15, "P": 1e-12, "N": 1e-9, "U": 1e-6, "M": 1e-3, "K": 1e3, "X": 1e6,
            "G": 1e9, "T": 1e12}
MEG = 1e6

_NUMBER = re.compile(r"(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
_LETTERS = re.compile(r"[A-Za-z_]*")


def scale_of(letters):
    """The factor a run of letters after a number stands for (1 if none)."""
    if not letters:
        return 1.0
    if letters[:3].upper() == "MEG":
        return MEG
    return SUFFIXES.get(letters[0].upper(), 1.0)


def match_number(text, start=0):
    """(value, end) of a number with its suffix and unit letters at text[start:],
    or None when no number starts there."""
    m = _NUMBER.match(text, start)
    if not m:
        return None
    end = m.end()
    letters = _LETTERS.match(text, end)
    value = float(m.group())
    scale = scale_of(letters.group())
    # A scale, not a rounding step: 2.425p is 2.425 * 1e-12, as written.
    return (value * scale if scale != 1.0 else value), letters.end()


def parse_number(text):
    """The value of a whole word that is one number (sign allowed), else None."""
    k = 1 if text[:1] in "+-" else 0
    found = match_number(text, k)
    if found is None or found[1] != len(text):
        return None
    return -found[0] if text[:1] == "-" else found[0]
