"""Integration state that the host sets before each kernel call.

The kernel binds this module as ``stampcore.SP`` and reads every attribute
afresh at each driver call. Vectors are one-dimensional C-contiguous float64
arrays holding unknown k at position k - 1.
"""

import numpy as np

#: Phases of all unknowns at the recent time points, one row per point;
#: ``X[Xind]`` is the current point and ``X[Xind - 1]`` the previous one
#: (with ``Xind`` = 0 and an array, the last row).
X = np.zeros((2, 0), dtype=np.float64)
#: Row of ``X`` that holds the current point.
Xind = 1
#: First time derivatives (voltages) of all unknowns at the current point.
DX = np.zeros(0, dtype=np.float64)
#: Second time derivatives of all unknowns at the current point.
DDX = np.zeros(0, dtype=np.float64)
#: First time derivatives at the previous point.
DXprev = np.zeros(0, dtype=np.float64)

#: Item 0: factor by which a first derivative at the new point depends on the
#: phase there (2 / h for the trapezoidal rule).
InterpCoeffDt = [0.0]
#: Item 0: the same for a second derivative.
InterpCoeffDDt = [0.0]
#: Item 0: the current step size.
TimeSteps = [0.0]

#: Scale applied to every source value (the start-up ramp), 0 to 1.
InitialSmoothFactor = 1.0
#: Hold band of the phase-quanta count, in quanta: a count holds while the
#: fractional number of quanta lies above 0.5 + PHASE_HISTERESIS.
PHASE_HISTERESIS = 0.0
#: Time at which the source ramp ends.
INITIAL_RAMP = 0.0
