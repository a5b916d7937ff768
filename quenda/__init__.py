"""quenda: transient simulation of superconducting circuits.

    from quenda import Circuit, Transient
    c = Circuit(); ...; res = Transient(c).run(tstop=1e-9, step=0.25e-12)

The numerical core lives in two extension modules:

- ``quenda.stampcore``: element models that stamp the circuit into sparse
  matrix value arrays and a right-hand side, and write element values back;
- ``quenda.SparseFactor``: a sparse LU solver on SuiteSparse KLU.

They share no state of their own: everything passes through the host state
modules ``quenda.SimulationParameters``, ``quenda.qdglobals`` and
``quenda.qdconfig``. A third, ``quenda._steploop``, is the transient time
loop compiled: it drives the kernel's models through the C interface the
kernel exports (the capsule ``stampcore._KERNEL_API``) and KLU directly. The host built on them works in SI units:

- ``quenda.circuit``: the circuit description (builder, element kinds,
  waveforms, units);
- ``quenda.analysis``: the analyses (the transient analysis and its parts;
  sweeps, margins and yield on one machine or a Dask cluster);
- ``quenda.results``: results, measurements, files and plots;
- ``quenda.demos``: demo circuits; ``quenda.cli``: the command line.
"""

__version__ = "0.1.0"

_HOST = {
    "Circuit": "circuit", "CircuitError": "circuit", "Units": "circuit", "PHI0": "circuit",
    "Waveform": "circuit", "DC": "circuit", "PWL": "circuit", "PWS": "circuit", "PULSE": "circuit",
    "SIN": "circuit", "EXP": "circuit", "NOISE": "circuit",
    "Transient": "analysis", "SimulationError": "analysis", "Results": "results",
    "noise_statistics": "analysis", "SwitchTimes": "analysis",
    "read_netlist": "netlist", "NetlistError": "netlist",
    "sweep": "analysis", "margins": "analysis", "yield_analysis": "analysis",
    "SwitchingCheck": "analysis",
}


def __getattr__(name):
    # The host is imported on first use, so that importing the kernel alone
    # does not pull in the solver and the rest.
    if name in _HOST:
        import importlib

        return getattr(importlib.import_module(f".{_HOST[name]}", __name__), name)
    raise AttributeError(f"module 'quenda' has no attribute {name!r}")


__all__ = list(_HOST)
