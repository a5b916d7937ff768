"""Junction models: `.model NAME jj(key=value, ...)` and what a junction of a
given area gets from one.

Keys (any case, separated by commas or blanks) and their defaults:

    rtype 1        0: a constant quasiparticle resistance rn; 1: piecewise linear;
                   2: the tunnel-junction model (memory kernel from a table)
    vg (vgap)      2.8 mV    gap voltage
    icrit (ic)     1 mA      critical current
    rn             5 ohm     normal resistance
    r0             30 ohm    subgap resistance
    cap (c)        2.5 pF    capacitance
    delv           0.1 mV    width of the quasiparticle step at the gap
    icfct (icfact) pi/4      the step's conductance is Ic / (icfct delv)
    phi            0         phase offset: the supercurrent is Ic sin(phase - phi)
    t, tc          4.2, 9.1 K  temperature and critical temperature
    d              0         transparency (only 0: the sine current-phase relation)
    cpr            {1}       harmonic amplitudes (only {1}: a pure sine)
    table          -         rtype=2: a coefficient table by name (qdconfig.tjm_models)

Per junction of area A: Ic = icrit A, C = cap A, rn / A, r0 / A.

rtype=2 takes its table by name, or else fits the BCS table at temperature t
with the gap from vg when the card gives vg and from tc otherwise; a card that
gives none of table, t and tc gets niobium at 4.2 K (quenda.tjm.DEFAULT) with
gap vg. A BCS table ties Ic to Rn: a card that gives only one of icrit and rn
gets the other from the table, and the subgap resistance is the table's own
unless r0 is given.
"""

import math
from dataclasses import dataclass

from .lines import split_words

DEFAULTS = {"RTYPE": 1.0, "VG": 2.8e-3, "ICRIT": 1e-3, "RN": 5.0, "R0": 30.0, "CAP": 2.5e-12,
            "DELV": 1e-4, "ICFCT": math.pi / 4, "PHI": 0.0, "T": 4.2, "TC": 9.1, "D": 0.0,
            "CPR": (1.0,), "TABLE": None}
ALIASES = {"VGAP": "VG", "IC": "ICRIT", "C": "CAP", "ICFACT": "ICFCT"}
KEYS_TEXT = ("rtype, vg (vgap), icrit (ic), rn, r0, cap (c), delv, icfct (icfact), phi, t, tc, d, "
             "cpr, table")
#: Keys only the piecewise-linear law reads.
PWL_KEYS = ("DELV", "ICFCT", "PHI")


@dataclass
class JunctionModel:
    name: str
    values: dict  # canonical key -> value, every key present
    card: object
    given: frozenset = frozenset()  # the keys the card gave

    def junction(self, area):
        """The builder's parameters of a junction of this area (SI units)."""
        v = self.values
        ic, c = v["ICRIT"] * area, v["CAP"] * area
        rn, r0 = v["RN"] / area, v["R0"] / area
        if v["RTYPE"] == 2:
            return self._tunnel(area)
        if v["RTYPE"] == 0:
            if v["PHI"] == 0:
                return {"model": "rcsj", "ic": ic, "r": rn, "c": c}
            # A constant resistance with a phase offset: the piecewise-linear
            # law with the same conductance on all three pieces (where the
            # gap lies then does not matter).
            return {"model": "pwl", "ic": ic, "c": c, "r0": rn, "rn": rn, "gstep": 1.0 / rn,
                    "phi": v["PHI"]}
        return {"model": "pwl", "ic": ic, "c": c, "r0": r0, "rn": rn, "vg": v["VG"],
                "delv": v["DELV"], "gstep": ic / (v["ICFCT"] * v["DELV"]), "phi": v["PHI"]}

    def _tunnel(self, area):
        v, given = self.values, self.given
        params = {"model": "tjm", "c": v["CAP"] * area}
        if "TABLE" in given:
            params["tjm"] = v["TABLE"]
        elif given & {"T", "TC"}:
            params["temperature"] = v["T"]
            if "VG" not in given:
                params["tc"] = v["TC"]
        if "VG" in given or "tc" not in params:
            params["vg"] = v["VG"]
        # A BCS table ties Ic to Rn: what the card does not give follows
        # (with neither, from the default icrit); other tables need both.
        if "ICRIT" in given or "RN" not in given or not _bcs(v["TABLE"]):
            params["ic"] = v["ICRIT"] * area
        if "RN" in given or not _bcs(v["TABLE"]):
            params["rn"] = v["RN"] / area
        if "R0" in given:
            params["rsg"] = v["R0"] / area
        return params


def parse_model(card, scope):
    """A .model card read in a scope: (NAME, JunctionModel)."""
    words = card.words
    if len(words) < 3:
        raise card.error(len(card.text), ".model needs a name and a type",
                         ".model NAME jj(key=value, ...)")
    name = words[1]
    if name.is_pair or "(" in name.text:
        raise name.error(f"{name.text!r} is no model name", ".model NAME jj(key=value, ...)")
    rest = words[2]
    paren = rest.text.find("(")
    kind = rest.upper if paren < 0 else rest.upper[:paren]
    if kind != "JJ":
        raise rest.error(f"unknown model type {kind or rest.text!r}",
                         "jj (Josephson junction models are the only kind)")
    if paren >= 0:
        params = _inner(rest, paren)
        extra = words[3:]
    elif len(words) > 3 and words[3].text.startswith("("):
        params = _inner(words[3], 0)
        extra = words[4:]
    else:
        params, extra = words[3:], []
    if extra:
        raise extra[0].error(f"unexpected {extra[0].text!r} after the model's parameters")
    values = dict(DEFAULTS)
    seen = {}
    for word in params:
        if not word.is_pair:
            raise word.error(f"{word.text!r} is no key=value pair", f"one of {KEYS_TEXT}")
        key = ALIASES.get(word.key.upper, word.key.upper)
        if key not in DEFAULTS:
            raise word.key.error(f"unknown junction model key {word.key.text!r}",
                                 f"one of {KEYS_TEXT}")
        if key in seen:
            raise word.key.error(f"{word.key.text} is given twice (also as "
                                 f"{seen[key].key.text}, earlier on the card)")
        seen[key] = word
        if key == "TABLE":
            values[key] = word.value.text.strip('"')
        else:
            values[key] = _cpr(word.value, scope) if key == "CPR" else scope.value_of(word.value)
    _check(values, seen, card)
    return name.upper, JunctionModel(name.upper, values, card, frozenset(seen))


def _inner(word, paren):
    if not word.text.endswith(")"):
        raise word.error(f"unexpected text after ')' in {word.text!r}")
    start = word.offset + paren + 1
    return split_words(word.card, start, word.offset + len(word.text) - 1, commas=True)


def _cpr(word, scope):
    text = word.text
    if text.startswith("{") and text.endswith("}"):
        items = split_words(word.card, word.offset + 1, word.offset + len(text) - 1, commas=True)
        return tuple(scope.value_of(w) for w in items)
    return (scope.value_of(word),)


def _check(values, seen, card):
    def bad(key, message, expected=None):
        word = seen.get(key)
        if word is None:
            return card.error(0, message, expected)
        return word.value.error(message, expected)

    if values["RTYPE"] not in (0.0, 1.0, 2.0):
        raise bad("RTYPE", f"rtype={values['RTYPE']:g} is not supported",
                  "0 (constant resistance rn), 1 (piecewise linear) or 2 (tunnel-junction model)")
    if values["RTYPE"] == 2:
        _check_tunnel(values, seen, bad)
    elif "TABLE" in seen:
        raise bad("TABLE", "a coefficient table is for the tunnel-junction model", "rtype=2")
    for key in ("ICRIT", "RN", "R0", "VG", "DELV", "ICFCT"):
        if not (values[key] > 0 and math.isfinite(values[key])):
            raise bad(key, f"{key.lower()} must be positive and finite (got {values[key]:g})")
    if not (values["CAP"] >= 0 and math.isfinite(values["CAP"])):
        raise bad("CAP", f"cap must not be negative (got {values['CAP']:g})")
    if values["RTYPE"] == 1 and not values["VG"] > values["DELV"] / 2:
        raise bad("VG", f"the gap voltage ({values['VG']:g} V) must exceed half the step "
                  f"width delv ({values['DELV']:g} V)")
    if not math.isfinite(values["PHI"]):
        raise bad("PHI", "phi must be finite")
    if values["D"] != 0:
        raise bad("D", f"transparency d={values['D']:g} is not supported yet",
                  "d=0 (the sine current-phase relation)")
    cpr = values["CPR"]
    if any(a != (1.0 if k == 0 else 0.0) for k, a in enumerate(cpr)) or not cpr:
        raise bad("CPR", "harmonics in the current-phase relation (cpr) are not supported yet",
                  "cpr={1} (a pure sine)")
    for key in ("T", "TC"):
        # A tunnel junction's table may be that of zero temperature.
        if not (values[key] > 0 or key == "T" and values["RTYPE"] == 2 and values[key] == 0):
            raise bad(key, f"{key.lower()} must be a positive temperature in kelvin")


def _bcs(table):
    """Whether a table (None: one fitted from the BCS theory) holds a whole
    junction's currents, or only kernel terms."""
    from .. import tjm

    if table is None:
        return True
    try:
        tjm.table(table)
    except KeyError:
        return False
    return True


def _check_tunnel(values, seen, bad):
    from .. import qdconfig

    stray = [k for k in PWL_KEYS if k in seen]
    if stray:
        raise bad(stray[0], f"{stray[0].lower()} is a parameter of the piecewise-linear law, "
                  "not of the tunnel-junction model (rtype=2)")
    if "TABLE" in seen:
        if seen.keys() & {"T", "TC"}:
            key = "T" if "T" in seen else "TC"
            raise bad(key, "a tunnel junction takes either a table or a temperature and gap, "
                      "not both")
        # Netlists ignore case; a table's name is matched exactly first.
        names = [n for n in qdconfig.tjm_models if isinstance(n, str)]
        same = [n for n in names if n.upper() == values["TABLE"].upper()]
        if values["TABLE"] not in names and len(same) != 1:
            raise bad("TABLE", f"no tunnel-junction table {values['TABLE']!r}",
                      f"one of {', '.join(sorted(names))}")
        if values["TABLE"] not in names:
            values["TABLE"] = same[0]
    elif "VG" in seen and "TC" in seen:
        raise bad("TC", "the gap comes from vg or from tc, not both")
