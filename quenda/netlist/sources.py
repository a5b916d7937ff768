"""Source values of V, I and P cards: a number (DC), `dc a`, or a function
pwl pulse sin exp pws of numbers, parameters and expressions.

    pwl(t0 v0 t1 v1 ...)                  linear between the points, held after
    pulse(a1 a2 [td [tr [tf [pw [per]]]]])  tr, tf default to the step; pw, per to tstop
    sin(ao a [f [td [theta [phase [ncycles]]]]])  f defaults to 1 / tstop
    exp(a1 a2 [td1 [tau1 [td2 [tau2]]]])  tau1, tau2 default to the step, td2 to td1 + step
    pws(t0 v0 t1 v1 ...)                  half-cosine easing between the points
    noise(a td tstep)                     gaussian, a new value every tstep after td,
                                          of standard deviation a / sqrt(2 tstep)

The arguments are evaluated when the card is read; the waveform is made
once the .tran settings (for the defaults) are known.
"""

import math
from dataclasses import dataclass

from ..circuit import waveforms as host_waveforms
from .lines import split_words

# name: (fewest, most arguments)
FUNCTIONS = {"PWL": (2, None), "PULSE": (2, 7), "SIN": (2, 7), "EXP": (2, 6), "PWS": (2, None),
             "NOISE": (3, 3)}
NOT_YET = {"CUS": "samples from a file (cus)"}
FORMS = "a number, dc VALUE, pwl(...), pulse(...), sin(...), exp(...), pws(...) or noise(...)"


@dataclass
class SourceSpec:
    kind: str  # "DC" or a key of FUNCTIONS
    args: list  # evaluated values
    words: list  # the argument words, for errors
    head: object  # the word that names the function (or the value)

    def waveform(self, tran):
        """The waveform, with the defaults that come from the .tran settings."""
        a = self.args
        if self.kind == "DC":
            return host_waveforms.DC(a[0])
        if self.kind in ("PWL", "PWS"):
            points = list(zip(a[0::2], a[1::2]))
            return (host_waveforms.PWL if self.kind == "PWL" else host_waveforms.PWS)(points)
        if self.kind == "PULSE":
            step, stop = self._tran(tran, len(a) < 7)
            v1, v2, td, tr, tf, pw, per = a + [None] * (7 - len(a))
            return host_waveforms.PULSE(v1, v2, td or 0.0, step if tr is None else tr,
                                        step if tf is None else tf,
                                        stop if pw is None else pw, stop if per is None else per)
        if self.kind == "NOISE":
            return host_waveforms.NOISE(*a)
        if self.kind == "SIN":
            _, stop = self._tran(tran, len(a) < 3)
            vo, va, f, td, theta, phase, ncycles = a + [None] * (7 - len(a))
            # A cycle count of 0 (or none) runs the sine to the end.
            return host_waveforms.SIN(vo, va, 1.0 / stop if f is None else f, td or 0.0,
                                      theta or 0.0, phase or 0.0, ncycles or None)
        step, _ = self._tran(tran, len(a) < 6)
        v1, v2, td1, tau1, td2, tau2 = a + [None] * (6 - len(a))
        td1 = td1 or 0.0
        return host_waveforms.EXP(v1, v2, td1, step if tau1 is None else tau1,
                                  td1 + step if td2 is None else td2,
                                  step if tau2 is None else tau2)

    def _tran(self, tran, needed):
        if tran is None:
            if needed:
                raise self.head.error(f"{self.kind.lower()}() takes some of its defaults from "
                                      ".tran, and the netlist has none",
                                      "a .tran card, or every argument given")
            return None, None
        return tran.step, tran.stop


def parse_source(words, scope, label):
    """The SourceSpec of the words after a source's nodes."""
    if not words:
        raise label.card.error(len(label.card.text), f"{label.text} has no value", FORMS)
    head = words[0]
    if head.is_pair:
        raise head.error(f"unexpected {head.text!r}", FORMS)
    paren = head.text.find("(")
    name = head.upper[:paren] if paren > 0 else head.upper
    rest = words[1:]
    if paren < 0 and rest and rest[0].text.startswith("(") and name in (*FUNCTIONS, *NOT_YET):
        args = _arguments(rest[0], 0)
        rest = rest[1:]
    elif paren > 0 and name in (*FUNCTIONS, *NOT_YET):
        args = _arguments(head, paren)
    elif name == "DC" and paren < 0:
        if len(rest) != 1:
            raise (rest[1] if rest else head).error("dc takes one value", "dc VALUE")
        return SourceSpec("DC", [scope.value_of(rest[0])], rest, head)
    else:
        if rest:
            raise rest[0].error(f"unexpected {rest[0].text!r} after the value of {label.text}",
                                FORMS)
        return SourceSpec("DC", [scope.value_of(head)], [head], head)
    if name in NOT_YET:
        raise head.error(f"{NOT_YET[name]} are not supported yet", FORMS)
    if rest:
        raise rest[0].error(f"unexpected {rest[0].text!r} after {name.lower()}(...)")
    least, most = FUNCTIONS[name]
    if len(args) < least or (most is not None and len(args) > most):
        count = f"{least} to {most}" if most else f"at least {least}"
        raise head.error(f"{name.lower()}() takes {count} arguments, not {len(args)}")
    values = [scope.value_of(w) for w in args]
    for w, v in zip(args, values):
        if not math.isfinite(v):
            raise w.error(f"{v} is not a finite value")
    if name in ("PWL", "PWS"):
        if len(values) % 2:
            raise args[-1].error(f"{name.lower()}() takes (time, value) pairs; "
                                 f"{len(values)} numbers leave one over",
                                 "an even number of arguments")
        times = values[0::2]
        for k in range(1, len(times)):
            if times[k] < times[k - 1]:
                raise args[2 * k].error(f"time {times[k]:g} s comes before the previous point's "
                                        f"{times[k - 1]:g} s", "times that never decrease")
        if times[0] < 0:
            raise args[0].error("a point before time 0", "times from 0 on")
    if name in ("PULSE", "EXP"):
        for k, w in enumerate(args[2:], start=2):
            if values[k] < 0:
                raise w.error(f"{name.lower()}() times must not be negative")
        if name == "PULSE" and len(values) == 7 and values[6] == 0:
            raise args[6].error("a pulse period of 0", "a positive period")
        if name == "EXP":
            for k in (3, 5):
                if len(values) > k and values[k] == 0:
                    raise args[k].error("a time constant of 0", "a positive time constant")
    if name == "SIN" and len(values) > 2 and values[2] < 0:
        raise args[2].error("a negative frequency")
    if name == "NOISE":
        if values[1] < 0:
            raise args[1].error("a negative delay", "noise(a td tstep), td at least 0")
        if not values[2] > 0:
            raise args[2].error("noise() needs a positive interval between values",
                                "noise(a td tstep), tstep > 0")
    return SourceSpec(name, values, args, head)


def _arguments(word, paren):
    if not word.text.endswith(")"):
        raise word.error(f"unexpected text after ')' in {word.text!r}")
    return split_words(word.card, word.offset + paren + 1, word.offset + len(word.text) - 1,
                       commas=True)
