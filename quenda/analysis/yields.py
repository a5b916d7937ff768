"""Yield: the fraction of circuits that work under process spread (Monte Carlo).

    y = quenda.yield_analysis("cell.cir", samples=1000)     # .spread, spread=, .option seed
    y = quenda.yield_analysis(circuit, 1000, spread=0.05, kinds={"B": 0.03},
                              correlated={"B": 0.02}, seed=7, tstop=..., step=...)
    print(y); y.fraction, y.interval; y.sensitivity(); y.circuit(12)

Each sample draws every spread element's value (spread.py), runs the circuit
and applies the check (by default: the nominal run's switching events).
The yield is the fraction of samples that pass, with a Wilson score interval
at the chosen confidence. A sample that could not be judged (an error) is
listed with its values and left out of the fraction, never counted silently.

The sensitivity of failures tells which spread values go with failing: per
element, the mean deviation of its factor (in units of its spread) among the
passing and the failing samples, and the correlation of that deviation with
failing.
"""

import math
import secrets
import statistics
import warnings

import numpy as np

from .backend import Backend
from .check import DEFAULT_WINDOW, as_check, nominal_verdict
from .design import design_of
from .evaluate import Seeded, job_for
from .noise_runs import run_seed
from .parameters import Parameter, apply, find_element
from .spread import Spread
from .transient import Transient


def wilson_interval(passes, count, confidence):
    """The Wilson score interval of a binomial proportion."""
    if count == 0:
        return (0.0, 1.0)
    z = statistics.NormalDist().inv_cdf(0.5 + confidence / 2)
    p = passes / count
    d = 1 + z * z / count
    centre = (p + z * z / (2 * count)) / d
    half = z / d * math.sqrt(p * (1 - p) / count + z * z / (4 * count * count))
    return (max(0.0, centre - half), min(1.0, centre + half))


class Yield:
    """Per sample: the factors of the spread elements (`factors`, samples by
    `names`), the correlated factors (`shared`, by `components`), whether it
    passed (`passed`), and the errors by sample index (`errors`)."""

    def __init__(self, design, spread, targets, seed, factors, shared, outcomes, confidence,
                 check):
        self._design, self.spread, self.seed = design, spread, seed
        self.names = [name for name, _, _ in targets]
        self.spreads = np.array([x for _, x, _ in targets])
        self.components = spread.components()
        self.factors, self.shared = factors, shared
        self.samples = len(outcomes)
        self.passed = np.array([o.ok for o in outcomes], dtype=bool)
        self.reasons = {i: o.reason for i, o in enumerate(outcomes)
                        if o.error is None and not o.passed and o.reason}
        self.errors = {i: o.error for i, o in enumerate(outcomes) if o.error is not None}
        self.confidence, self.check = confidence, check

    @property
    def completed(self):
        """The samples that ran and were judged."""
        mask = np.ones(self.samples, dtype=bool)
        mask[list(self.errors)] = False
        return mask

    @property
    def passes(self):
        return int(self.passed.sum())

    @property
    def failures(self):
        return int(self.completed.sum()) - self.passes

    @property
    def fraction(self):
        judged = int(self.completed.sum())
        return self.passes / judged if judged else math.nan

    @property
    def interval(self):
        return wilson_interval(self.passes, int(self.completed.sum()), self.confidence)

    def values(self, index):
        """{element: factor} of one sample (correlated factors included)."""
        return dict(zip(self.names, self.factors[index].tolist()))

    def circuit(self, index):
        """The circuit of one sample, to run and look at (e.g. a failing one)."""
        point = [(Parameter(n, "element", n), f) for n, f in self.values(index).items()]
        return apply(self._design.circuit, point)

    def sensitivity(self):
        """A structured array, most telling first: element, spread,
        mean deviation (in spreads) of passing and of failing samples,
        correlation of the deviation with failing."""
        judged = self.completed
        fail = (~self.passed & judged)[judged].astype(float)
        names = self.names + [f"correlated:{k or 'all'}" for k in self.components]
        spreads = np.concatenate([self.spreads, [self.spread.correlated[k]
                                                 for k in self.components]])
        factors = np.hstack([self.factors, self.shared])[judged]
        dev = (factors - 1.0) / np.where(spreads > 0, spreads, 1.0)
        rows = []
        for j, name in enumerate(names):
            d = dev[:, j]
            passing = d[fail == 0].mean() if (fail == 0).any() else math.nan
            failing = d[fail == 1].mean() if (fail == 1).any() else math.nan
            if 0 < fail.sum() < fail.size and d.std() > 0:
                corr = float(np.corrcoef(d, fail)[0, 1])
            else:
                corr = math.nan
            rows.append((name, spreads[j], passing, failing, corr))
        rows.sort(key=lambda r: -abs(r[4]) if not math.isnan(r[4]) else 0.0)
        width = max([1] + [len(n) for n in names])
        dtype = [("element", f"U{width}"), ("spread", float), ("passing", float),
                 ("failing", float), ("correlation", float)]
        return np.array(rows, dtype=dtype)

    @property
    def table(self):
        """Per sample: sample, passed, error, then each element's factor."""
        width = max([1] + [len(e) for e in self.errors.values()])
        columns = self.names + [f"correlated:{k or 'all'}" for k in self.components]
        dtype = ([("sample", int), ("passed", bool), ("error", f"U{width}")]
                 + [(c, float) for c in columns])
        table = np.zeros(self.samples, dtype=dtype)
        table["sample"] = np.arange(self.samples)
        table["passed"] = self.passed
        for i, e in self.errors.items():
            table["error"][i] = e
        values = np.hstack([self.factors, self.shared])
        for j, c in enumerate(columns):
            table[c] = values[:, j]
        return table

    def to_csv(self, path):
        from ..results.output import write_csv

        table = self.table
        write_csv(path, [(name, table[name]) for name in table.dtype.names])

    def __str__(self):
        lo, hi = self.interval
        judged = int(self.completed.sum())
        lines = [f"yield {self.fraction * 100:.1f}% ({self.passes} of {judged} samples pass; "
                 f"{self.confidence * 100:g}% interval {lo * 100:.1f}% to {hi * 100:.1f}%)",
                 f"{len(self.names)} spread elements, {self.spread.distribution}; seed "
                 f"{self.seed}"]
        if self.failures:
            lines.append("failures go with (mean deviation in spreads, correlation with failing):")
            for row in self.sensitivity()[:8]:
                if not math.isnan(row["correlation"]):
                    lines.append(f"  {row['element']:<16} failing {row['failing']:+.2f}  "
                                 f"passing {row['passing']:+.2f}  r = {row['correlation']:+.2f}")
        if self.errors:
            lines.append(f"{len(self.errors)} samples could not be judged (left out):")
            for i, e in list(self.errors.items())[:10]:
                lines.append(f"  sample {i}: {e}")
            if len(self.errors) > 10:
                lines.append(f"  ... and {len(self.errors) - 10} more (Yield.errors)")
        return "\n".join(lines)

    def __repr__(self):
        return f"<Yield {self.fraction:.3f} of {self.samples} samples, seed {self.seed}>"


def yield_analysis(source, samples=1000, *, spread=None, kinds=None, elements=None,
                   correlated=None, distribution=None, seed=None, check="nominal",
                   window=DEFAULT_WINDOW, confidence=0.95, workers=None, scheduler=None,
                   progress=None, **run):
    """Monte Carlo yield of a Circuit, a netlist (path or text) or a read
    netlist under process spread.

    spread: the global spread (a fraction) of every resistor, inductor,
        capacitor and junction; kinds: {"R"|"L"|"C"|"B": fraction};
        elements: {element name: fraction} (sources too); a netlist's .spread
        and spread= are the defaults these replace.
    correlated: one more factor per sample shared by a kind's elements
        ({"B": 0.02}) or by all of them (a number, or {"": x}).
    distribution: "uniform" (the default, as .spread) or "gaussian" (the
        spread is one standard deviation).
    seed: the seed of every sample's streams, of its values and of its
        noise when the circuit is noisy (default the netlist's
        .option seed, else a fresh one, reported in the result).
    check, window: as for margins; confidence: of the yield's interval.
    workers, scheduler, progress: where the runs go (backend.py).
    run: Transient.run arguments (tstop and step; a netlist's .tran gives them).
    """
    if not isinstance(samples, int) or isinstance(samples, bool) or samples < 1:
        raise ValueError(f"samples must be a whole number of at least 1 (got {samples!r})")
    if not 0 < confidence < 1:
        raise ValueError(f"confidence must be between 0 and 1 (got {confidence!r})")
    design = design_of(source, run)
    stated = Spread.of_netlist(design.options)
    if isinstance(correlated, (int, float)):
        correlated = {"": correlated}
    named = {find_element(design.circuit, name): x for name, x in (elements or {}).items()}
    spread = Spread(stated.default if spread is None else spread,
                    {**stated.kinds, **(kinds or {})},
                    {**stated.elements, **named},
                    dict(correlated or {}), distribution or "uniform")
    targets = spread.targets(design.circuit)
    if not targets:
        raise ValueError("nothing to spread: give spread=, kinds= or elements= (or .spread "
                         "and spread= in the netlist)")
    if seed is None:
        seed = design.options.seed if design.options and design.options.seed is not None \
            else secrets.randbits(32)
    if not isinstance(seed, int) or isinstance(seed, bool) or seed < 0:
        raise ValueError(f"the seed must be a whole number, at least 0 (got {seed!r})")

    nominal = Transient(design.circuit).run(**design.run)
    check = as_check(check, nominal, window)
    nominal_verdict(check, nominal)

    draws = [spread.draw(seed, i, targets) for i in range(samples)]
    factors = np.array([f for f, _ in draws]).reshape(samples, len(targets))
    shared = np.array([s for _, s in draws]).reshape(samples, len(spread.components()))
    varied = [Parameter(name, "element", name) for name, _, _ in targets]
    # Each sample its own noise too (for a noisy circuit), from (seed, i).
    points = ((i, Seeded(tuple(zip(varied, factors[i].tolist())), run_seed(seed, i)))
              for i in range(samples))
    job = job_for(design, varied, check)
    with Backend(workers, scheduler, progress) as backend:
        done = backend.run(job, points, total=samples, desc="yield")
    result = Yield(design, spread, targets, seed, factors, shared,
                   [done[i] for i in range(samples)], confidence, check)
    if result.errors:
        warnings.warn(f"{len(result.errors)} of {samples} yield samples could not be judged "
                      "and are left out of the yield; see Yield.errors", RuntimeWarning,
                      stacklevel=2)
    return result
