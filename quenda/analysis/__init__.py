"""Analyses of a circuit.

The transient analysis, by phase of its work:

- assembly.py: unknowns, sparse pattern and kernel models of a circuit;
- hoststate.py: the kernel's host state, held by one run at a time;
- integration.py: the integration formulas (trapezoidal, BDF2, backward Euler);
- newton.py: Newton iterations for one step, and when they have converged;
- loop.py: the state of one run, one step at a time;
- stepping.py: which steps are taken and accepted (grid, breakpoints,
  phase bound, truncation error, retries);
- transient.py: Transient, the front: arguments, the run, its results.

and iv.py, a junction's DC current-voltage curve from its kernel model.
"""

from .errors import SimulationError
from .transient import Transient

__all__ = ["Transient", "SimulationError"]
