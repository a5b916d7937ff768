"""Sweeps: the circuit over a list or a grid of parameter values.

    s = quenda.sweep(circuit, {"IB1": [150e-6, 175e-6, 200e-6], "global:ic": [0.9, 1, 1.1]},
                     measure=lambda res: res.crossing_time("B4"), check="nominal",
                     tstop=..., step=...)
    s.table; s.to_csv("sweep.csv"); print(s)

Values are in SI units, as the parameter's nominal value is (a junction's
critical current, a source's amplitude, a .param's value); a global scale's
values are scales (nominal 1). Each value is applied as its ratio to the
nominal value, so a parameter that is 0 at nominal cannot be swept.
With grid=True (the default) every combination runs; with grid=False the
lists, of equal length, are taken side by side.

The table (a NumPy structured array) has a column per parameter, then
"passed" when there is a check, a column per number the measure returns
(a number: "value"; a dict: its keys), and "error", empty unless the run
could not be made (its numbers are then NaN and it did not pass).
"""

import itertools
import math
import warnings

import numpy as np

from ..circuit.units import si_value
from .backend import Backend
from .check import DEFAULT_WINDOW, as_check
from .design import design_of
from .evaluate import job_for
from .transient import Transient


class Sweep:
    def __init__(self, table, errors):
        self.table, self.errors = table, errors

    def __len__(self):
        return len(self.table)

    def to_csv(self, path):
        from ..results.output import write_csv

        write_csv(path, [(name, self.table[name]) for name in self.table.dtype.names])

    def __str__(self):
        names = self.table.dtype.names
        shown = [n for n in names if n != "error"]
        width = {n: max(11, len(n)) for n in shown}
        lines = ["  ".join(f"{n:>{width[n]}}" for n in shown)]
        for row in self.table:
            cells = []
            for n in shown:
                v = row[n]
                cells.append(f"{('yes' if v else 'no'):>{width[n]}}" if n == "passed"
                             else f"{v:>{width[n]}.5g}")
            line = "  ".join(cells)
            if row["error"]:
                line += f"  error: {row['error']}"
            lines.append(line)
        return "\n".join(lines)

    def __repr__(self):
        return f"<Sweep of {len(self.table)} points>"


def _values(name, values):
    if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
        values = [values]
    out = [si_value(v, f"{name} value") for v in values]
    if not out:
        raise ValueError(f"{name}: no values to sweep")
    if not all(math.isfinite(v) for v in out):
        raise ValueError(f"{name}: values must be finite")
    return out


def sweep(source, values, *, measure=None, check=None, window=DEFAULT_WINDOW, grid=True,
          workers=None, scheduler=None, progress=None, **run):
    """Runs a Circuit, a netlist (path or text) or a read netlist at each
    point of `values` ({parameter name: values}); returns a Sweep.

    measure: a callable taking Results and returning a number (or None: NaN)
        or a dict of numbers.
    check: None, "nominal" (the nominal run's switching events, each within
        `window` seconds) or a callable taking Results, true when it works.
    grid: every combination (True) or the lists side by side (False).
    workers, scheduler, progress: where the runs go (backend.py).
    run: Transient.run arguments (tstop and step; a netlist's .tran gives them).
    """
    if measure is None and check is None:
        raise ValueError("a sweep needs a measure (a callable taking Results) or a check")
    if measure is not None and not callable(measure):
        raise TypeError(f"measure must be a callable taking Results (got {measure!r})")
    if not isinstance(values, dict) or not values:
        raise ValueError("values: a dict of {parameter name: list of values}")
    design = design_of(source, run)
    params = design.parameters(list(values))
    lists = [_values(p.name, v) for p, v in zip(params, values.values())]
    nominals = [design.nominal(p) for p in params]
    for p, n in zip(params, nominals):
        if not (n != 0 and math.isfinite(n)):
            raise ValueError(f"{p.name}: its nominal value is {n:g}; values are applied as a "
                             "ratio to it, so it cannot be swept")
    if grid:
        rows = list(itertools.product(*lists))
    else:
        if len({len(v) for v in lists}) != 1:
            raise ValueError("grid=False takes lists of one length "
                             f"(got {', '.join(str(len(v)) for v in lists)})")
        rows = list(zip(*lists))
    if check is not None:
        nominal = Transient(design.circuit).run(**design.run)
        check = as_check(check, nominal, window)

    job = job_for(design, params, check, measure)
    points = ((k, tuple((p, v / n) for p, v, n in zip(params, row, nominals)))
              for k, row in enumerate(rows))
    with Backend(workers, scheduler, progress) as backend:
        done = backend.run(job, points, total=len(rows), desc="sweep")
    outcomes = [done[k] for k in range(len(rows))]

    measured = list(dict.fromkeys(k for o in outcomes for k in o.values))
    errors = {k: o.error for k, o in enumerate(outcomes) if o.error is not None}
    width = max([1] + [len(e) for e in errors.values()])
    dtype = ([(p.name, float) for p in params] + ([("passed", bool)] if check else [])
             + [(m, float) for m in measured] + [("error", f"U{width}")])
    table = np.zeros(len(rows), dtype=dtype)
    for j, p in enumerate(params):
        table[p.name] = [row[j] for row in rows]
    for k, o in enumerate(outcomes):
        if check is not None:
            table["passed"][k] = o.ok
        for m in measured:
            table[m][k] = o.values.get(m, math.nan)
        table["error"][k] = o.error or ""
    if errors:
        warnings.warn(f"{len(errors)} of {len(rows)} sweep points failed with an error; see the "
                      "table's error column", RuntimeWarning, stacklevel=2)
    return Sweep(table, errors)
