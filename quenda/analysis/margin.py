"""Margins: how far each parameter may move, alone, before the circuit fails.

    m = quenda.margins(circuit, ["global:bias", "IB1", "B3"], tstop=..., step=...)
    print(m); m.critical; m.plot("margins.png"); m.to_csv("margins.csv")

For each parameter, with every other at its nominal value, the lowest and
the highest scale at which the check passes: searched on the grid of scales
1 +- k * resolution out to the limits (the last grid point is the limit
itself). A search first tries the limit; when the circuit fails there, it
bisects between the last scale known to pass and the first known to fail
until they are neighbours on the grid, and reports the passing one. On a
parameter whose passing scales form one interval around nominal this is the
answer of a scan of every grid point, in log2 as many runs. The searches of
all parameters and both directions run at once, each a chain of runs.

The critical margin is the smallest distance from nominal to a boundary, in
percent, over all parameters and both directions.
"""

import math
import warnings
from dataclasses import dataclass

import numpy as np

from .backend import Backend
from .check import DEFAULT_WINDOW, as_check, nominal_verdict
from .design import design_of
from .evaluate import job_for
from .parameters import is_bias
from .transient import Transient

DEFAULT_RESOLUTION = 0.005
DEFAULT_LIMITS = (0.1, 2.0)


@dataclass
class Margin:
    """One parameter's margins: the lowest and highest passing scales, whether
    each is the search limit (the circuit passed there), and what failed at
    the first failing scale beyond it."""

    parameter: str
    nominal: float
    low: float
    high: float
    low_at_limit: bool
    high_at_limit: bool
    low_failure: str = None
    high_failure: str = None

    @property
    def low_percent(self):
        return (self.low - 1.0) * 100.0

    @property
    def high_percent(self):
        return (self.high - 1.0) * 100.0

    @property
    def margin_percent(self):
        """The smaller of the two distances from nominal, in percent."""
        return min(-self.low_percent, self.high_percent)


class Margins:
    """The margins of each parameter (`rows`, in the order given), the search
    settings, the runs made and the runs that failed with an error."""

    def __init__(self, rows, resolution, limits, runs, errors, check):
        self.rows, self.resolution, self.limits = rows, resolution, limits
        self.runs, self.errors, self.check = runs, errors, check

    def __getitem__(self, name):
        for row in self.rows:
            if row.parameter == name:
                return row
        raise KeyError(f"no margins of {name!r} (parameters: "
                       f"{', '.join(r.parameter for r in self.rows)})")

    def __iter__(self):
        return iter(self.rows)

    def __len__(self):
        return len(self.rows)

    @property
    def critical(self):
        """(parameter, side "low" or "high", margin in percent) of the
        smallest margin."""
        best = None
        for row in self.rows:
            for side, pct in (("low", -row.low_percent), ("high", row.high_percent)):
                if best is None or pct < best[2]:
                    best = (row.parameter, side, pct)
        return best

    @property
    def table(self):
        """A NumPy structured array: parameter, nominal, low, high, low_percent,
        high_percent, low_at_limit, high_at_limit."""
        width = max([1] + [len(r.parameter) for r in self.rows])
        dtype = [("parameter", f"U{width}"), ("nominal", float), ("low", float),
                 ("high", float), ("low_percent", float), ("high_percent", float),
                 ("low_at_limit", bool), ("high_at_limit", bool)]
        return np.array([(r.parameter, r.nominal, r.low, r.high, r.low_percent,
                          r.high_percent, r.low_at_limit, r.high_at_limit) for r in self.rows],
                        dtype=dtype)

    def to_csv(self, path):
        from ..results.output import write_csv

        table = self.table
        write_csv(path, [(name, table[name]) for name in table.dtype.names])

    def plot(self, path=None):
        """Bars of percent below and above nominal per parameter (needs
        matplotlib); saves to path if given, returns the Figure."""
        from ..results.margins_plot import plot_margins

        return plot_margins(self, path)

    def __str__(self):
        width = max([9] + [len(r.parameter) for r in self.rows])
        lines = [f"{'parameter':<{width}}  {'nominal':>11}  {'low':>8}  {'high':>8}"]
        for r in self.rows:
            low = f"{r.low_percent:+.1f}%" + ("*" if r.low_at_limit else " ")
            high = f"{r.high_percent:+.1f}%" + ("*" if r.high_at_limit else " ")
            lines.append(f"{r.parameter:<{width}}  {r.nominal:11.4g}  {low:>8}  {high:>8}")
        if self.rows:
            name, side, pct = self.critical
            lines.append(f"critical margin: {pct:.1f}% ({name}, {side})")
        if any(r.low_at_limit or r.high_at_limit for r in self.rows):
            lines.append(f"* the search limit ({self.limits[0]:g}x or {self.limits[1]:g}x): "
                         "the circuit passes there")
        if self.errors:
            lines.append(f"{len(self.errors)} runs failed with an error (counted as failing):")
            lines += [f"  {p} at {s:g}x: {e}" for p, s, e in self.errors]
        return "\n".join(lines)

    def __repr__(self):
        return f"<Margins of {len(self.rows)} parameters; {self.runs} runs>"


def default_parameters(circuit):
    """Every bias source and every junction: what a designer checks first."""
    return [e.name for e in circuit.elements.values() if is_bias(e) or e.kind == "B"]


def _check_limits(limits, resolution):
    try:
        lo, hi = (float(v) for v in limits)
    except (TypeError, ValueError):
        raise ValueError(f"limits must be two scales (low, high), such as (0.1, 2.0) "
                         f"(got {limits!r})") from None
    if not (0 <= lo < 1 < hi < math.inf):
        raise ValueError(f"limits must satisfy 0 <= low < 1 < high (got {limits!r})")
    resolution = float(resolution)
    if not (0 < resolution < 1):
        raise ValueError(f"the resolution is a fraction of nominal between 0 and 1, such as "
                         f"0.005 for 0.5 % (got {resolution!r})")
    return (lo, hi), resolution


class _Search:
    """The bisection of one parameter in one direction, on its grid of scales."""

    def __init__(self, index, direction, limit, resolution):
        self.index, self.direction, self.limit = index, direction, limit
        self.resolution = resolution
        self.last = math.ceil(round(abs(limit - 1.0) / resolution, 9))
        self.passing, self.failing, self.failure = 0, None, None

    def scale(self, k):
        if k == self.last:
            return self.limit
        return 1.0 + self.direction * k * self.resolution

    def next_step(self):
        """The next grid index to try, or None when the boundary is found."""
        if self.failing is None:
            return self.last if self.passing < self.last else None
        if self.failing - self.passing > 1:
            return (self.passing + self.failing) // 2
        return None

    @property
    def runs(self):
        return 1 + math.ceil(math.log2(max(self.last, 1)))


def margins(source, parameters=None, *, check="nominal", window=DEFAULT_WINDOW,
            resolution=DEFAULT_RESOLUTION, limits=DEFAULT_LIMITS, workers=None, scheduler=None,
            progress=None, **run):
    """The margins of each parameter (see quenda.analysis.parameters for
    their names; default every bias source and junction) of a Circuit, a
    netlist (path or text) or a read netlist.

    check: "nominal" (the switching events of the nominal run, each within
        `window` seconds) or a callable taking Results and returning true
        when the circuit works.
    resolution: the grid step of the search, a fraction of nominal.
    limits: (low, high) scales the search goes no further than.
    workers, scheduler: where the runs go (quenda.analysis.backend).
    progress: a progress bar (default: when stderr is a terminal).
    run: Transient.run arguments (tstop and step; a netlist's .tran
        gives them).
    """
    limits, resolution = _check_limits(limits, resolution)
    design = design_of(source, run)
    names = default_parameters(design.circuit) if parameters is None else parameters
    params = design.parameters(names)
    if not params:
        raise ValueError("no parameters to find the margins of")
    nominal = Transient(design.circuit).run(**design.run)
    check = as_check(check, nominal, window)
    nominal_verdict(check, nominal)

    searches = {}
    for i in range(len(params)):
        searches[(i, -1)] = _Search(i, -1, limits[0], resolution)
        searches[(i, +1)] = _Search(i, +1, limits[1], resolution)
    errors = []

    def point(search, k):
        return ((search.index, search.direction, k),
                ((params[search.index], search.scale(k)),))

    def follow(key, outcome):
        i, d, k = key
        search = searches[(i, d)]
        if outcome.error is not None:
            errors.append((params[i].name, search.scale(k), outcome.error))
        if outcome.ok:
            search.passing = max(search.passing, k)
        elif search.failing is None or k < search.failing:
            search.failing, search.failure = k, outcome.error or outcome.reason
        k = search.next_step()
        return [] if k is None else [point(search, k)]

    first = [point(s, s.last) for s in searches.values()]
    job = job_for(design, params, check)
    with Backend(workers, scheduler, progress) as backend:
        done = backend.run(job, first, follow, total=sum(s.runs for s in searches.values()),
                           desc="margins")

    rows = []
    for i, p in enumerate(params):
        low, high = searches[(i, -1)], searches[(i, +1)]
        rows.append(Margin(p.name, design.nominal(p), low.scale(low.passing),
                           high.scale(high.passing), low.failing is None,
                           high.failing is None, low.failure, high.failure))
    if errors:
        warnings.warn(f"{len(errors)} margin runs failed with an error and count as failing; "
                      "see Margins.errors", RuntimeWarning, stacklevel=2)
    return Margins(rows, resolution, limits, len(done), errors, check)
