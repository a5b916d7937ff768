"""Analyses of a circuit.

The transient analysis, by phase of its work:

- assembly.py: unknowns, sparse pattern and kernel models of a circuit;
- hoststate.py: the kernel's host state, held by one run at a time;
- integration.py: the integration formulas (trapezoidal, BDF2, backward Euler);
- newton.py: Newton iterations for one step, and when they have converged;
- loop.py: the state of one run, one step at a time;
- stepping.py: which steps are taken and accepted (grid, breakpoints,
  phase bound, truncation error, retries);
- transient.py: Transient, the front: arguments, the run, its results;

and iv.py, a junction's DC current-voltage curve from its kernel model.

The analyses of many runs, on one machine or a cluster:

- parameters.py: what they vary, by name, and how a value is applied;
- design.py: the circuit as it travels to the processes that run it;
- check.py: pass or fail, from the nominal run's switching events;
- evaluate.py: one run at one point, judged, with its errors;
- backend.py: where runs go (this process, a local or existing Dask cluster);
- sweeps.py, margin.py, spread.py and yields.py: the analyses.

Noise:

- streams.py: reproducible random streams, one per (seed, element);
- noise.py: the thermal noise of resistive elements and the NOISE waveform
  of sources in a run: the sources as data, and their application;
- noise_runs.py: statistics of many runs of a noisy circuit.
"""

from .check import SwitchingCheck
from .errors import SimulationError
from .margin import Margins, margins
from .noise_runs import NoiseStatistics, SwitchTimes, noise_statistics
from .spread import Spread
from .sweeps import Sweep, sweep
from .transient import Transient
from .yields import Yield, yield_analysis

__all__ = ["Transient", "SimulationError", "SwitchingCheck", "sweep", "Sweep", "margins",
           "Margins", "yield_analysis", "Yield", "Spread", "noise_statistics",
           "NoiseStatistics", "SwitchTimes"]
