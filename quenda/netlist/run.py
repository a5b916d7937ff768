"""A read netlist simulated: the transient of its .tran, the columns its
output requests ask for, and the curves of its .iv requests.

The columns are sampled at the output times of .tran (from its print start,
every print step, up to the stop time); the time loop's grid is the .tran
step, and an output time between two of its points is interpolated
linearly. Paths of .file and .iv are taken as written: relative ones from
the working directory.
"""

import numpy as np

from ..analysis import Transient
from ..analysis.iv import dc_iv
from ..circuit import Circuit
from ..results.output import write_csv, write_table
from .errors import NetlistError

#: Each quantity of a request: (Results method for a device, for a node).
_QUANTITY = {"V": ("voltage", "node_voltage"), "I": ("current", None),
             "P": ("phase", "node_phase")}


def junctions(net):
    """The names of the circuit's junctions, in netlist order."""
    return [e.name for e in net.circuit.elements.values() if e.kind == "B"]


def _main_requests(net):
    return [r for r in net.outputs if r.file is None]


def recorded(net, main=True, summary=False):
    """The nodes and elements whose waveforms are needed: those of the
    requests (with main, every node when none goes to the main output) and,
    with summary, every junction."""
    names = {}
    if main and not _main_requests(net):
        names.update(dict.fromkeys(net.circuit.nodes))
    for r in net.outputs:
        if main or r.file is not None:
            names.update((name, None) for _, name in r.operands if name != "0")
    if summary:
        names.update(dict.fromkeys(junctions(net)))
    return list(names)


def simulate(net, main=True, summary=False, progress=None):
    """Runs the transient analysis of the netlist's .tran, recording what
    recorded(net, main, summary) names, with the noise of its .option seed
    (a fresh seed without one: Results.seed); returns the Results."""
    if net.tran is None:
        raise NetlistError("the netlist has no .tran: nothing says how long to simulate",
                           None, ".tran TSTEP TSTOP")
    return Transient(net.circuit).run(tstop=net.tran.stop, step=net.tran.step,
                                      record=recorded(net, main, summary), progress=progress,
                                      seed=net.options.seed)


def _series(res, kind, name, quantity):
    if name == "0":
        return np.zeros(len(res.time))
    method = _QUANTITY[quantity][0 if kind == "device" else 1]
    return getattr(res, method)(name)


def columns(net, res, file=None):
    """(name, values) of the time and of each request sent to `file` (None:
    the main output), at the output times; every node phase for a main
    output that no request goes to."""
    times = net.tran.output_times()
    wanted = [(r.column, r.quantity, r.operands) for r in net.outputs if r.file == file]
    if file is None and not wanted:
        wanted = [(f"P({n})", "P", (("node", n),)) for n in net.circuit.nodes]
    out = [("time", times)]
    for column, quantity, operands in wanted:
        values = _series(res, *operands[0], quantity)
        if len(operands) == 2:
            values = values - _series(res, *operands[1], quantity)
        out.append((column, np.interp(times, res.time, values)))
    return out


def files(net):
    """The paths that .file sends requests to, in order."""
    return list(dict.fromkeys(r.file for r in net.outputs if r.file is not None))


def write_outputs(net, res, main=None):
    """Writes the main requests to `main` (if given) and those after each
    .file to its file; returns the paths written."""
    written = []
    targets = ([main] if main is not None else []) + files(net)
    for path in targets:
        write_table(path, columns(net, res, None if path is main else path), net.title)
        written.append(str(path))
    return written


def write_iv(net, points=400):
    """Writes the I-V curve of each .iv request (CSV: V, I); returns the paths."""
    written = []
    for request in net.iv:
        model = net.models[request.model]
        element = Circuit().junction(f"model {model.name}", "1", "0", **model.junction(1.0))
        v, i = dc_iv(element, request.imax, points)
        write_csv(request.path, [("V", v), ("I", i)])
        written.append(request.path)
    return written


def switching_summary(net, res):
    """(junction, net quanta change, forward slips, backward slips, first
    slip time or None) for every junction."""
    rows = []
    for name in junctions(net):
        times, steps = res.switching(name)
        quanta = res.quanta(name)
        rows.append((name, int(quanta[-1] - quanta[0]), int(steps[steps > 0].sum()),
                     int(-steps[steps < 0].sum()), float(times[0]) if times.size else None))
    return rows
