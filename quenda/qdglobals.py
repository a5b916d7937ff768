"""Circuit state that the host owns and the kernel reads and writes.

The host fills these before it builds models; the kernel looks every
attribute up afresh at each call, so rebinding one takes effect at once
(element models bind the arrays in their ``InitModel`` and keep the arrays
they bound alive: re-run ``InitModel`` after replacing one).

Node-indexed arrays hold unknown k (a node, or an element's branch row) at
position k - 1; ground (node 0) has no entry. Element-indexed arrays hold
element ``eindex`` at position ``eindex``. Every array is one-dimensional and
C-contiguous, of exactly the element type given below.
"""

import numpy as np

#: Solved phase of every unknown (at a branch row: its branch current). float64.
NodePhase = np.zeros(0, dtype=np.float64)
#: Voltage (time derivative of the phase) of every unknown. float64.
NodeVoltage = np.zeros(0, dtype=np.float64)
#: Time derivative of the voltage of every unknown. float64.
NodeDVoltage = np.zeros(0, dtype=np.float64)

#: Phase difference across each element, written by ``UpdateValues``. float64.
ElementPhase = np.zeros(0, dtype=np.float64)
#: Voltage across each element, written by ``UpdateValues``. float64.
ElementVoltage = np.zeros(0, dtype=np.float64)
#: Current through each element, written by ``UpdateValues``. float64.
ElementCurrent = np.zeros(0, dtype=np.float64)
#: Signed count of 2*pi phase quanta of sources and junctions. int32.
ElementN = np.zeros(0, dtype=np.int32)
#: 1 where an element's count rose at the last ``UpdateValues``. uint8.
ElementInc = np.zeros(0, dtype=np.uint8)
#: 1 where an element's count fell at the last ``UpdateValues``. uint8.
ElementDec = np.zeros(0, dtype=np.uint8)

#: Number of elements the drivers walk (the first entries of ElementList).
TotalElements = 0
#: Number of source elements (the first entries of SourceElementList).
TotalSourceElements = 0
#: Number of unknowns (columns of ``stampcore.RHSHelper``).
TotalNodes = 0

#: Element objects: each has a ``model`` attribute (an element model) and an
#: ``UpdateParameters()`` method.
ElementList = []
#: The source elements among them.
SourceElementList = []

#: When true, ``BuildStaticMatrix`` refreshes only the sources once
#: ``CurrentTime`` is past ``SimulationParameters.INITIAL_RAMP``.
OptimizeSimulation = False
#: Simulated time of the current point (kernel units): the refresh choice of
#: ``BuildStaticMatrix``, and the time transmission lines are solved and
#: accepted at (read by the other drivers only when lines are collected).
CurrentTime = 0.0
