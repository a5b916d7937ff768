"""The analysis controls: .tran, .iv, the thermal noise (.temp, .neb) and
the options of other analyses (.spread for the yield analysis; .option seed
for the noise of a run and the yield analysis)."""

import math
from dataclasses import dataclass, field

import numpy as np

from .errors import notice


@dataclass
class Tran:
    """`.tran tstep tstop [pstart [pstep [pwindow]]] [DST] [UIC]`, in seconds:
    fixed steps of `step` from 0 to `stop`, output from `start` every `print_step`."""

    step: float
    stop: float
    start: float = 0.0
    print_step: float = None
    window: float = None
    flags: tuple = ()

    def __post_init__(self):
        if self.print_step is None:
            self.print_step = self.step

    def output_times(self):
        """The times at which the output requests are sampled: start, start +
        print_step, ... up to stop."""
        count = int(math.floor((self.stop - self.start) / self.print_step * (1 + 1e-12) + 1e-9))
        return self.start + self.print_step * np.arange(count + 1, dtype=float)


@dataclass
class IVRequest:
    """`.iv MODEL imax file`: the model's I-V curve up to imax, into a CSV file."""

    model: str
    imax: float
    path: str
    word: object = None


@dataclass
class Options:
    """.temp and .neb (applied to the circuit), .option seed (the noise of a
    run, and the yield analysis), .spread (for the yield analysis)."""

    temp: float = None
    neb: float = None
    spread: dict = field(default_factory=dict)  # "" (global) or L B C R -> fraction
    seed: int = None
    element_settings: dict = field(default_factory=dict)  # element name -> {key: value}


TRAN_FORM = ".tran TSTEP TSTOP [PSTART [PSTEP [PWINDOW]]] [DST] [UIC]"


def parse_tran(card, scope):
    words = card.words[1:]
    flags, values = [], []
    for w in words:
        if w.upper in ("DST", "UIC"):
            flags.append(w.upper)
        elif w.is_pair or flags:
            raise w.error(f"unexpected {w.text!r} in .tran", TRAN_FORM)
        else:
            values.append((w, scope.value_of(w)))
    if len(values) < 2:
        raise card.error(len(card.text), ".tran needs a time step and a stop time", TRAN_FORM)
    if len(values) > 5:
        raise values[5][0].error("too many values for .tran", TRAN_FORM)
    names = ("time step", "stop time", "print start", "print step", "print window")
    for (w, v), name in zip(values, names):
        if not math.isfinite(v) or v < 0 or (v == 0 and name in ("time step", "stop time",
                                                                  "print step")):
            raise w.error(f"the {name} must be {'positive' if name != 'print start' else 'at least 0'}"
                          f" (got {v:g})")
    step, stop = values[0][1], values[1][1]
    if stop < step:
        raise values[1][0].error(f"the stop time {stop:g} s is shorter than the step {step:g} s")
    rest = [v for _, v in values[2:]] + [None] * (5 - len(values))
    start, print_step, window = rest
    if start is not None and start >= stop:
        raise values[2][0].error(f"output would start at {start:g} s, at or after the stop time")
    return Tran(step, stop, start or 0.0, print_step, window, tuple(flags))


def parse_iv(card, scope):
    words = card.words[1:]
    if len(words) != 3 or any(w.is_pair for w in words):
        raise card.error(len(card.text), ".iv takes a model name, the largest current and a file",
                         ".iv MODEL IMAX FILE")
    imax = scope.value_of(words[1])
    if not (imax > 0 and math.isfinite(imax)):
        raise words[1].error(f"the largest current must be positive (got {imax:g})")
    return IVRequest(words[0].upper, imax, words[2].text, words[0])


def parse_option(card, scope, options, notices):
    """.temp, .neb, .spread and .option(s): kept in options; .spread gets a
    notice (it is not applied to a single run)."""
    keyword = card.keyword
    words = card.words[1:]
    pos = card.position(0)
    if keyword == ".TEMP":
        options.temp = _one(card, words, scope, "a temperature in kelvin", ".temp T")
        if not 0 <= options.temp < math.inf:
            raise words[0].error(f"a temperature of {options.temp:g} K",
                                 "a temperature in kelvin, at least 0")
    elif keyword == ".NEB":
        options.neb = _one(card, words, scope, "a bandwidth in Hz", ".neb F")
        if not 0 < options.neb < math.inf:
            raise words[0].error("the noise bandwidth must be positive and finite")
    elif keyword == ".SPREAD":
        if not words or words[0].is_pair:
            raise card.error(len(card.text), ".spread needs the global spread first",
                             ".spread X [L=X] [B=X] [C=X] [R=X]")
        options.spread[""] = _fraction(words[0], scope)
        for w in words[1:]:
            if not w.is_pair or w.key.upper not in ("L", "B", "C", "R"):
                raise w.error(f"unexpected {w.text!r} in .spread", "L=, B=, C= or R=")
            options.spread[w.key.upper] = _fraction(w.value, scope)
        notices.append(notice(".spread is not applied to a single run: the yield analysis "
                              "draws values from it (quenda.yield_analysis, python -m quenda "
                              "yield)", pos))
    else:  # .OPTION, .OPTIONS
        if not words:
            raise card.error(len(card.text), f"{card.words[0].text} without settings",
                             ".option seed=N")
        for w in words:
            if not w.is_pair or w.key.upper != "SEED":
                raise w.error(f"unknown option {w.text!r}", "seed=N")
            seed = scope.value_of(w.value)
            if not 0 <= seed < 2**64 or seed != int(seed):
                raise w.value.error(f"the seed must be a whole number from 0 to 2**64 - 1 "
                                    f"(got {seed:g})")
            options.seed = int(seed)


def _one(card, words, scope, what, form):
    if len(words) != 1 or words[0].is_pair:
        raise card.error(len(card.text), f"{card.words[0].text} takes {what}", form)
    return scope.value_of(words[0])


def _fraction(word, scope):
    v = scope.value_of(word)
    if not 0 <= v < 1:
        raise word.error(f"a spread of {v:g}: it is a fraction of the nominal value",
                         "a number from 0 up to (not including) 1")
    return v
