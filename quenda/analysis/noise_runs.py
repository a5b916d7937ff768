"""Statistics of noisy runs: one circuit run many times, each run with its
own noise, and a quantity gathered from each.

    stats = quenda.noise_statistics(circuit, runs=200, measure=SwitchTimes(["B3", "B9"]),
                                    seed=7, tstop=100e-12, step=0.25e-12)
    stats.mean("B9"), stats.std("B9"), stats.stderr("B9"), stats.values["B9"]
    Transient(circuit).run(seed=stats.seeds[12], ...)   # run 12 again, alone

Run r takes the seed stats.seeds[r], derived from (seed, r) by a hash: the
runs of two batches of different seeds share no noise, and any run can be
repeated alone. The circuit needs a temperature (Circuit(temperature=...)
or an element's temp=), else every run would be the same.

The measure is a callable of the Results that gives a number or a dict of
numbers (None for "did not happen": NaN); it must be picklable (a function
defined at module level, or an object such as SwitchTimes) when the runs go
to other processes. A run that fails (a simulation error, a measure that
raises) is kept in `errors` with its message; its values are NaN.
"""

import math
import secrets
import warnings

import numpy as np

from ..circuit.builder import Circuit
from .noise import noisy
from .streams import stream_key
from .transient import Transient


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
    """The seed of run r of a batch of `seed`."""
    return stream_key(seed, f"run {r}")


def measured(value):
    """A measure's result as {name: float} (None: NaN)."""
    if isinstance(value, dict):
        return {str(k): math.nan if v is None else float(v) for k, v in value.items()}
    return {"value": math.nan if value is None else float(value)}


class _Job:
    """What every run of a batch shares."""

    def __init__(self, circuit, run, measure):
        self.circuit, self.run, self.measure = circuit, run, measure
        self._transient = None

    def __getstate__(self):
        return {"circuit": self.circuit, "run": self.run, "measure": self.measure,
                "_transient": None}

    def __call__(self, seed):
        """(values, error) of the run of this seed; never raises."""
        try:
            if self._transient is None:
                self._transient = Transient(self.circuit)
            results = self._transient.run(seed=seed, **self.run)
            return measured(self.measure(results)), None
        except Exception as err:  # kept with its run, never lost
            return {}, f"{type(err).__name__}: {err}"


class NoiseStatistics:
    """The quantities of every run: values[name] (an array over runs, NaN
    where a run gave none), the seed of each run, the errors by run."""

    def __init__(self, seed, seeds, outcomes):
        self.seed, self.seeds = seed, seeds
        self.runs = len(seeds)
        self.errors = {r: e for r, (_, e) in enumerate(outcomes) if e is not None}
        names = []
        for values, _ in outcomes:
            names += [n for n in values if n not in names]
        self.names = names
        self.values = {n: np.array([v.get(n, math.nan) for v, _ in outcomes]) for n in names}

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


def noise_statistics(circuit, runs, measure, *, seed=None, progress=None, **run):
    """Runs a circuit at a temperature `runs` times, each with its own noise,
    and gathers measure(results) of each run.

    circuit: a Circuit with a temperature (or elements with temp=).
    measure: callable(Results) -> number or {name: number} (SwitchTimes
        measures switching times).
    seed: the batch's seed (default a fresh one, kept in the result): run r
        takes run_seed(seed, r).
    progress: show a progress bar (needs tqdm; default when stderr is a
        terminal).
    run: Transient.run arguments (tstop and step at least).
    """
    if not isinstance(circuit, Circuit):
        raise TypeError(f"noise_statistics runs a Circuit (got {type(circuit).__name__})")
    if not isinstance(runs, int) or isinstance(runs, bool) or runs < 1:
        raise ValueError(f"runs must be a whole number of at least 1 (got {runs!r})")
    if not callable(measure):
        raise TypeError(f"measure must be callable with the results (got {measure!r})")
    if "seed" in run:
        raise TypeError("the runs take their seeds from the batch's seed=")
    missing = [k for k in ("tstop", "step") if k not in run]
    if missing:
        raise TypeError(f"noise_statistics needs {' and '.join(missing)} (seconds), as "
                        "Transient.run does")
    if not noisy(circuit):
        raise ValueError("the circuit has no thermal noise: give it a temperature "
                         "(Circuit(temperature=...) or temp= of an element)")
    if seed is None:
        seed = secrets.randbits(63)
    seeds = [run_seed(seed, r) for r in range(runs)]
    job = _Job(circuit, dict(run), measure)
    outcomes = [job(s) for s in _bar(seeds, progress)]
    stats = NoiseStatistics(seed, seeds, outcomes)
    if stats.errors:
        warnings.warn(f"{len(stats.errors)} of {runs} noisy runs failed; see "
                      "NoiseStatistics.errors", RuntimeWarning, stacklevel=2)
    return stats


def _bar(items, show):
    import sys

    if show is None:
        show = sys.stderr.isatty()
    if not show:
        return items
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return items
    return tqdm(items, desc="noise", unit="run", leave=False)
