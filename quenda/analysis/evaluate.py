"""One run of an analysis: the circuit at some parameter values, simulated
and judged, in whichever process the back end chose.

A Job is what all runs of one analysis share (sent once to each worker); a
point is a tuple of (Parameter, scale) pairs, or a Seeded one: those values
and the seed of the run's noise (a yield sample, a run of noise_statistics). A run never raises: whatever
goes wrong (a value the circuit refuses, a simulation that cannot go on, a
check or measure that raises) comes back as the Outcome's error, so that
the analysis reports it with the point's values.
"""

import math
from dataclasses import dataclass, field

from .check import SwitchingCheck
from .design import build
from .transient import Transient


@dataclass
class Job:
    circuit: object          # the nominal Circuit, or None: read `netlist` instead
    netlist: str             # the netlist's text or path (for .param values)
    netlist_params: dict     # its nominal .param values
    run: dict                # Transient.run arguments
    check: object = None     # callable(results) -> bool, or None
    measure: object = None   # callable(results) -> number or {name: number}, or None


@dataclass(frozen=True)
class Seeded:
    """A point whose run draws its noise from its own seed."""

    values: tuple  # (Parameter, scale) pairs
    seed: int


@dataclass
class Outcome:
    passed: bool = None      # the check's verdict (None: no check, or an error)
    values: dict = field(default_factory=dict)  # the measure's numbers
    reason: str = None       # why the check failed, when it can tell
    error: str = None        # what went wrong instead of a verdict

    @property
    def ok(self):
        """Passed the check, and ran without error."""
        return self.error is None and bool(self.passed)


def measured(value):
    """A measure's result as {name: float}."""
    if isinstance(value, dict):
        return {str(k): _number(v) for k, v in value.items()}
    return {"value": _number(value)}


def _number(v):
    return math.nan if v is None else float(v)


def evaluate(job, point):
    """Builds, runs and judges the circuit at one point; an Outcome."""
    run = job.run
    if isinstance(point, Seeded):
        point, run = point.values, {**run, "seed": point.seed}
    try:
        circuit = build(job.circuit, job.netlist, job.netlist_params, point)
        results = Transient(circuit).run(**run)
        outcome = Outcome()
        if job.check is not None:
            outcome.passed = bool(job.check(results))
            explain = getattr(job.check, "explain", None)
            if not outcome.passed and explain is not None:
                outcome.reason = explain(results)
        if job.measure is not None:
            outcome.values = measured(job.measure(results))
        return outcome
    except Exception as err:  # reported with the point, never lost
        return Outcome(error=f"{type(err).__name__}: {err}")


def job_for(design, varied, check=None, measure=None):
    """The Job of an analysis that varies the given Parameters of a Design."""
    circuit, netlist = design.shipped(varied)
    run = dict(design.run)
    if measure is None and isinstance(check, SwitchingCheck) and "record" not in run:
        # Only the elements the check reads: the runs store no more than that.
        run["record"] = list(check.nominal)
    return Job(circuit, netlist, design.params, run, check, measure)
