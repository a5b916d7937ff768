"""quenda: transient simulation of superconducting circuits.

The numerical core lives in two extension modules:

- ``quenda.stampcore``: element models that stamp the circuit into sparse
  matrix value arrays and a right-hand side, and write element values back;
- ``quenda.SparseFactor``: a sparse LU solver on SuiteSparse KLU.

They share no state of their own: everything passes through the host state
modules ``quenda.SimulationParameters``, ``quenda.qdglobals`` and
``quenda.qdconfig``.
"""

__version__ = "0.1.0"
