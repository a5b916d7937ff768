"""The circuit an analysis varies, as it travels to the processes that run it.

An analysis starts from a Circuit, a netlist (its path or its text) or a
netlist already read (quenda.read_netlist). What goes to a worker is a
description, never live kernel objects: the Circuit itself (it pickles), or,
when the analysis varies a .param, the netlist's text (its path when it
includes other files), which the worker reads again with the new values.
"""

import os
import secrets
import warnings
from dataclasses import dataclass
from pathlib import Path

from ..circuit.builder import Circuit
from . import parameters
from .noise import noisy


@dataclass
class Design:
    """The nominal circuit, how to run it, and where it came from."""

    circuit: Circuit
    run: dict                      # Transient.run arguments
    netlist: str = None            # the netlist's text or path (None for a Circuit)
    params: dict = None            # its top-level .param values (None for a Circuit)
    options: object = None         # its options: .spread, seed, per-element settings

    def parameters(self, names):
        """The Parameters that names (text) give in this circuit, each once."""
        if isinstance(names, (str, parameters.Parameter)):
            names = [names]
        found = []
        for name in names:
            p = parameters.parse(name, self.circuit, self.params)
            if any(q.kind == p.kind and q.target == p.target and q.key == p.key for q in found):
                raise ValueError(f"{name}: the same parameter is given twice")
            found.append(p)
        return found

    def nominal(self, param):
        return parameters.nominal(param, self.circuit, self.params)

    def shipped(self, varied):
        """(circuit, netlist) for the workers: the netlist only when a .param
        is among the varied parameters."""
        if any(p.kind == "param" for p in varied):
            return None, self.netlist
        return self.circuit, None


def design_of(source, run):
    """A Design from a Circuit, a Netlist, or a netlist's path or text, with
    run (Transient.run arguments) completed from the netlist's .tran, and,
    for a noisy circuit, with one seed for the noise of every run (given,
    the netlist's .option seed, or a fresh one): a sweep or a margin search
    sees the circuit change with its parameters, not with its noise."""
    design = _design_of(source, run)
    if "seed" not in design.run and noisy(design.circuit):
        stated = design.options.seed if design.options is not None else None
        design.run["seed"] = secrets.randbits(63) if stated is None else stated
    return design


def _design_of(source, run):
    from ..netlist import Netlist

    run = dict(run)
    if isinstance(source, Circuit):
        missing = [k for k in ("tstop", "step") if k not in run]
        if missing:
            raise TypeError(f"an analysis of a Circuit needs {' and '.join(missing)} "
                            "(seconds), as Transient.run does")
        return Design(source, run)
    if isinstance(source, (str, os.PathLike)):
        net = read_for_analysis(source)
        text = source if not net.files else _shipped_text(net)
    elif isinstance(source, Netlist):
        net = source
        text = _shipped_text(net) if net.files else None
    else:
        raise TypeError("an analysis takes a Circuit, a netlist's path or text, or a netlist "
                        f"read by quenda.read_netlist (got {type(source).__name__})")
    if net.tran is not None:
        run.setdefault("tstop", net.tran.stop)
        run.setdefault("step", net.tran.step)
    elif "tstop" not in run or "step" not in run:
        raise TypeError("the netlist has no .tran: give tstop and step (seconds)")
    return Design(net.circuit, run, text, dict(net.params), net.options)


def read_for_analysis(source):
    """The netlist read, its warnings passed on but for those that say a
    single run leaves the spread and seed to the yield analysis: here they
    are the analysis's own settings."""
    from ..netlist import read_netlist

    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        net = read_netlist(source)
    for w in seen:
        if "yield analysis" not in str(w.message):
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    return net


def _shipped_text(net):
    """A netlist file's text when it is one file (so that workers elsewhere
    need no copy), else its path (its includes are relative to it)."""
    if len(net.files) == 1:
        return Path(net.files[0]).read_text(encoding="utf-8", errors="replace")
    return net.files[0]


def build(circuit, netlist, netlist_params, values):
    """The circuit with the (Parameter, scale) pairs applied: the netlist is
    read with the scaled .param values when there are any, then the other
    parameters are applied to a copy."""
    overrides = {p.target: netlist_params[p.target] * s for p, s in values if p.kind == "param"}
    if overrides or circuit is None:
        from ..netlist import NetlistWarning, read_netlist

        with warnings.catch_warnings():
            # The warnings were shown when the analysis read the netlist.
            warnings.simplefilter("ignore", NetlistWarning)
            circuit = read_netlist(netlist, params=overrides).circuit
    return parameters.apply(circuit, values)
