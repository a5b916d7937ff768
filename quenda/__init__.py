"""quenda: transient simulation of superconducting circuits.

    from quenda import Circuit, Transient
    c = Circuit(); ...; res = Transient(c).run(tstop=1e-9, step=0.25e-12)

The numerical core lives in two extension modules:

- ``quenda.stampcore``: element models that stamp the circuit into sparse
  matrix value arrays and a right-hand side, and write element values back;
- ``quenda.SparseFactor``: a sparse LU solver on SuiteSparse KLU.

They share no state of their own: everything passes through the host state
modules ``quenda.SimulationParameters``, ``quenda.qdglobals`` and
``quenda.qdconfig``. The host built on them (``Circuit``, ``Transient``,
``Results``) works in SI units.
"""

__version__ = "0.1.0"

_HOST = {
    "Circuit": "circuit", "CircuitError": "circuit", "Transient": "transient",
    "SimulationError": "transient", "Results": "results", "Units": "units", "PHI0": "units",
    "DC": "waveforms", "PWL": "waveforms", "PULSE": "waveforms", "SIN": "waveforms",
    "read_netlist": "netlist", "NetlistError": "netlist",
}


def __getattr__(name):
    # The host is imported on first use, so that importing the kernel alone
    # does not pull in the solver and the rest.
    if name in _HOST:
        import importlib

        return getattr(importlib.import_module(f".{_HOST[name]}", __name__), name)
    raise AttributeError(f"module 'quenda' has no attribute {name!r}")


__all__ = list(_HOST)
