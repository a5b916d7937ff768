"""The kernel's host state, and the rule that one run holds it at a time.

The kernel reads its circuit and integration state from module attributes
(quenda.qdglobals, quenda.SimulationParameters) and its models hold raw
addresses of the host's arrays. Two runs in one process would overwrite each
other's state, so every run holds a process-wide lock: a run started from
another thread waits for the first to finish, and a run started from inside
a run (a waveform or a progress callback that simulates) is refused, since
it could only corrupt the outer one. Runs in parallel take processes (the
sweep, margin and yield analyses start them).
"""

import threading
from contextlib import contextmanager

import numpy as np

from .. import SimulationParameters as SP
from .. import qdglobals as G
from .. import stampcore
from .errors import SimulationError

_lock = threading.Lock()
_owner = None


@contextmanager
def exclusive_run():
    """Holds the kernel for one run."""
    global _owner
    me = threading.get_ident()
    if _owner == me:
        raise SimulationError(
            "a simulation is already running in this thread (a waveform or callback started "
            "another): the kernel holds one run per process; run the second one after the "
            "first returns, or in another process")
    with _lock:
        _owner = me
        try:
            yield
        finally:
            _owner = None


def install(assembly, S, H, t_ramp, hysteresis, min_step, noise=None):
    """Points the kernel at one run's arrays and makes its models (for
    steps of min_step or more, kernel time).

    S holds the unknowns, voltages and voltage derivatives at the point being
    solved (rows 0 to 2); H the same at the last accepted point (rows 0 to 2)
    and the one before (rows 3 to 5). The run's noise (noise.RunNoise) binds
    the NOISE waveforms of sources, and its Johnson sources follow the
    circuit's elements. Returns the host source elements."""
    x, dx, ddx = S
    ne = len(assembly.kinds) + (len(noise) if noise is not None else 0)
    G.NodePhase, G.NodeVoltage, G.NodeDVoltage = x, dx, ddx
    G.ElementPhase, G.ElementVoltage, G.ElementCurrent = np.zeros(ne), np.zeros(ne), np.zeros(ne)
    G.ElementN = np.zeros(ne, dtype=np.int32)
    G.ElementInc = np.zeros(ne, dtype=np.uint8)
    G.ElementDec = np.zeros(ne, dtype=np.uint8)
    G.TotalNodes = assembly.size
    G.CurrentTime = 0.0
    G.OptimizeSimulation = False
    SP.X, SP.Xind = [H[0], x], 1
    SP.DX, SP.DDX, SP.DXprev = dx, ddx, H[1]
    SP.InterpCoeffDt, SP.InterpCoeffDDt, SP.TimeSteps = [0.0], [0.0], [0.0]
    SP.PHASE_HISTERESIS = hysteresis
    SP.INITIAL_RAMP = t_ramp
    SP.InitialSmoothFactor = smooth(0.0, t_ramp)

    # Drop the previous run's models before making new ones.
    G.ElementList, G.SourceElementList = [], []
    G.TotalElements = G.TotalSourceElements = 0
    stampcore.InitElementModels()
    elements, sources = assembly.make_models(min_step,
                                             noise.bind if noise is not None else None)
    if noise is not None:
        elements += noise.make_models(len(elements))
    G.ElementList, G.TotalElements = elements, len(elements)
    G.SourceElementList, G.TotalSourceElements = sources, len(sources)
    stampcore.InitElementModels()
    return sources


def smooth(t, t_ramp):
    """The start-up ramp: 0 at t = 0 rising smoothly (a cubic) to 1 at t_ramp."""
    if t_ramp <= 0 or t >= t_ramp:
        return 1.0
    s = t / t_ramp
    return s * s * (3.0 - 2.0 * s)
