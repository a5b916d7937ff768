"""Statistics of noisy runs: one circuit run many times, each run with its
own noise, and a quantity gathered from each, on the analyses' back end.

    stats = quenda.noise_statistics(circuit, runs=200, measure=SwitchTimes(["B3", "B9"]),
                                    seed=7, tstop=100e-12, step=0.25e-12)
    stats.mean("B9"), stats.std("B9"), stats.stderr("B9"), stats.values["B9"]
    Transient(circuit).run(seed=stats.seeds[12], ...)   # run 12 again, alone

Run r takes the seed stats.seeds[r], derived from (seed, r) by a hash: the
runs of two batches of different seeds share no noise, and any run can be
repeated alone. The circuit (or netlist) must be noisy: a temperature
(Circuit(temperature=...), .temp), an element's temp=, or a NOISE source.

The runs go where the other analyses' runs go (backend.py: this process
with workers=1, else a local Dask cluster or an existing one). The measure
is a callable of the Results that gives a number or a dict of numbers (None
for "did not happen": NaN); it must be picklable (a function defined at
module level, or an object such as SwitchTimes) when the runs go to other
processes. A run that fails (a simulation error, a measure that raises) is
kept in `errors` with its message; its values are NaN.
"""

import math
import secrets
import warnings

import numpy as np

from .backend import Backend
from .design import design_of
from .evaluate import Job, Seeded
from .noise import noisy
from .streams import stream_key


class SwitchTimes:
    """A measure: the first time each named element's phase rises through
    `level` (radians, default pi: a junction's switching), None if never."""

    def __init__(self, names, level=math.pi):
        self.names = [names] if isinstance(names, str) else list(names)
        self.level = float(level)

    def __call__(self, results):
        return {n: results.crossing_time(n, self.level) for n in self.names}

    def __repr__(self):
        return f"SwitchTimes({self.names!r}, level={self.level!r})"


def run_seed(seed, r):
    """The seed of run (or sample) r of a batch of `seed`."""
    return stream_key(seed, f"run {r}")


class NoiseStatistics:
    """The quantities of every run: values[name] (an array over runs, NaN
    where a run gave none), the seed of each run, the errors by run."""

    def __init__(self, seed, seeds, outcomes):
        self.seed, self.seeds = seed, seeds
        self.runs = len(seeds)
        self.errors = {r: o.error for r, o in enumerate(outcomes) if o.error is not None}
        names = []
        for o in outcomes:
            names += [n for n in o.values if n not in names]
        self.names = names
        self.values = {n: np.array([o.values.get(n, math.nan) for o in outcomes]) for n in names}

    def _of(self, name):
        if name is None:
            if len(self.names) != 1:
                raise KeyError(f"name one of the quantities: {', '.join(self.names) or 'none'}")
            name = self.names[0]
        try:
            v = self.values[name]
        except KeyError:
            raise KeyError(f"no quantity {name!r} (measured: {', '.join(self.names)})") from None
        return v[np.isfinite(v)]

    def count(self, name=None):
        """The runs that gave the quantity."""
        return self._of(name).size

    def mean(self, name=None):
        v = self._of(name)
        return float(v.mean()) if v.size else math.nan

    def std(self, name=None):
        """The sample standard deviation over the runs (n - 1)."""
        v = self._of(name)
        return float(v.std(ddof=1)) if v.size > 1 else math.nan

    def stderr(self, name=None):
        """The standard error of the mean."""
        v = self._of(name)
        return float(v.std(ddof=1) / math.sqrt(v.size)) if v.size > 1 else math.nan

    @property
    def table(self):
        """Per run: run, seed, error, then each quantity."""
        width = max([1] + [len(e) for e in self.errors.values()])
        dtype = ([("run", int), ("seed", np.uint64), ("error", f"U{width}")]
                 + [(n, float) for n in self.names])
        table = np.zeros(self.runs, dtype=dtype)
        table["run"] = np.arange(self.runs)
        table["seed"] = self.seeds
        for r, e in self.errors.items():
            table["error"][r] = e
        for n in self.names:
            table[n] = self.values[n]
        return table

    def to_csv(self, path):
        from ..results.output import write_csv

        table = self.table
        write_csv(path, [(name, table[name]) for name in table.dtype.names])

    def __str__(self):
        lines = [f"{self.runs} noisy runs, seed {self.seed}"]
        for n in self.names:
            lines.append(f"  {n}: mean {self.mean(n):.6g} +- {self.stderr(n):.3g}, "
                         f"std {self.std(n):.4g} ({self.count(n)} runs)")
        if self.errors:
            lines.append(f"{len(self.errors)} runs failed:")
            lines += [f"  run {r}: {e}" for r, e in list(self.errors.items())[:10]]
        return "\n".join(lines)

    def __repr__(self):
        return f"<NoiseStatistics of {self.runs} runs, seed {self.seed}>"


def noise_statistics(source, runs, measure, *, seed=None, workers=None, scheduler=None,
                     progress=None, **run):
    """Runs a noisy circuit `runs` times, each with its own noise, and gathers
    measure(results) of each run.

    source: a Circuit, a netlist (path or text) or a read netlist, noisy
        (a temperature, temp= of an element, or a NOISE source).
    measure: callable(Results) -> number or {name: number} (SwitchTimes
        measures switching times).
    seed: the batch's seed (default the netlist's .option seed, else a fresh
        one; kept in the result): run r takes run_seed(seed, r).
    workers, scheduler, progress: where the runs go (backend.py).
    run: Transient.run arguments (tstop and step; a netlist's .tran gives
        them).
    """
    if not isinstance(runs, int) or isinstance(runs, bool) or runs < 1:
        raise ValueError(f"runs must be a whole number of at least 1 (got {runs!r})")
    if not callable(measure):
        raise TypeError(f"measure must be callable with the results (got {measure!r})")
    if "seed" in run:
        raise TypeError("the runs take their seeds from the batch's seed=")
    design = design_of(source, run)
    if not noisy(design.circuit):
        raise ValueError("the circuit has no noise: give it a temperature "
                         "(Circuit(temperature=...), .temp, or temp= of an element) or a "
                         "NOISE source")
    if seed is None:
        stated = design.options.seed if design.options is not None else None
        seed = secrets.randbits(63) if stated is None else stated
    seeds = np.array([run_seed(seed, r) for r in range(runs)], dtype=np.uint64)
    job = Job(design.circuit, None, design.params,
              {k: v for k, v in design.run.items() if k != "seed"}, None, measure)
    points = ((r, Seeded((), int(s))) for r, s in enumerate(seeds))
    with Backend(workers, scheduler, progress) as backend:
        done = backend.run(job, points, total=runs, desc="noise")
    stats = NoiseStatistics(seed, seeds, [done[r] for r in range(runs)])
    if stats.errors:
        warnings.warn(f"{len(stats.errors)} of {runs} noisy runs failed; see "
                      "NoiseStatistics.errors", RuntimeWarning, stacklevel=2)
    return stats
