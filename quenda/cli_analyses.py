"""The analyses from the command line, on a netlist:

    python -m quenda margins FILE.cir [--param NAME ...] [--resolution PCT] [--plot PNG]
    python -m quenda yield FILE.cir [--samples N] [--seed N] [--spread X] ...
    python -m quenda sweep FILE.cir --param NAME=VALUES [--param ...] [--time-of ELEMENT]

Every one runs on a local cluster of processes by default (--workers N, 1:
in this process) or on an existing Dask cluster (--scheduler tcp://HOST:PORT),
prints its table and writes it as CSV with --csv PATH. Parameter names are
those of quenda.analysis.parameters: IB01|X02 (or IB01.X02), B01|X02:ic,
{PARAM}, global:bias, global:ic, global:L, ...
"""

import argparse
import math
import sys
import warnings

from .circuit.units import si_value

COMMANDS = ("margins", "yield", "sweep")


def _time(text):
    try:
        v = si_value(text, "time")
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None
    if not v > 0:
        raise argparse.ArgumentTypeError(f"a time must be positive (got {text!r})")
    return v


def _common(parser):
    where = parser.add_argument_group("where the runs go")
    where.add_argument("--workers", type=int, default=None,
                       help="worker processes of a local cluster (default: one per processor; "
                            "1: every run in this process)")
    where.add_argument("--scheduler", default=None, metavar="ADDRESS",
                       help="an existing Dask cluster's scheduler, e.g. tcp://host:8786")
    where.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                       help="show a progress bar (default: on a terminal)")
    parser.add_argument("netlist", help="the netlist file (its .tran gives the run)")
    parser.add_argument("--window", type=_time, default=5e-12, metavar="TIME",
                        help="how far a switching event may move from its nominal time and "
                             "still pass (default 5p)")
    parser.add_argument("--csv", default=None, metavar="PATH", help="write the table as CSV")


def parser():
    top = argparse.ArgumentParser(prog="python -m quenda",
                                  description="Margins, yield and sweeps of a netlist.")
    sub = top.add_subparsers(dest="command", required=True)

    m = sub.add_parser("margins", help="the margins of each parameter",
                       description="For each parameter alone, the lowest and highest scale "
                                   "at which the circuit still switches as at nominal.")
    _common(m)
    m.add_argument("--param", action="append", default=None, metavar="NAME",
                   help="a parameter (repeat for more; default every bias source and junction)")
    m.add_argument("--resolution", type=float, default=0.5, metavar="PCT",
                   help="resolution of the search in percent of nominal (default 0.5)")
    m.add_argument("--limits", type=float, nargs=2, default=(0.1, 2.0), metavar=("LOW", "HIGH"),
                   help="scales the search goes no further than (default 0.1 2)")
    m.add_argument("--plot", default=None, metavar="PNG", help="draw the margins (matplotlib)")

    y = sub.add_parser("yield", help="the yield under process spread (Monte Carlo)",
                       description="The fraction of samples with spread values that switch as "
                                   "at nominal. The netlist's .spread, spread= and .option seed "
                                   "are the defaults.")
    _common(y)
    y.add_argument("--samples", type=int, default=1000)
    y.add_argument("--seed", type=int, default=None)
    y.add_argument("--spread", type=float, default=None, metavar="X",
                   help="global spread of R, L, C and junctions (a fraction)")
    y.add_argument("--kind", action="append", default=[], metavar="K=X",
                   help="spread of one kind: R, L, C or B (repeat for more)")
    y.add_argument("--element", action="append", default=[], metavar="NAME=X",
                   help="spread of one element, sources too (repeat for more)")
    y.add_argument("--correlated", action="append", default=[], metavar="[K=]X",
                   help="a factor per sample shared by a kind (B=0.02) or by all (0.02)")
    y.add_argument("--distribution", choices=("uniform", "gaussian"), default=None)
    y.add_argument("--confidence", type=float, default=0.95)

    s = sub.add_parser("sweep", help="runs over a grid of parameter values",
                       description="Runs the netlist at each combination of values and tells "
                                   "whether it switches as at nominal.")
    _common(s)
    s.add_argument("--param", action="append", required=True, metavar="NAME=VALUES",
                   help="values as a list (150u,175u,200u) or START:STOP:COUNT; global "
                        "scales take scales (0.8:1.2:5)")
    s.add_argument("--zip", action="store_true",
                   help="take the lists side by side instead of every combination")
    s.add_argument("--time-of", action="append", default=[], metavar="ELEMENT",
                   help="add a column: when the element's phase first rises through pi")
    return top


def _pairs(items, what):
    out = {}
    for item in items:
        key, sep, value = item.rpartition("=")
        if not sep or not key:
            raise ValueError(f"{what} {item!r}: write NAME=VALUE")
        out[key.strip()] = float(value)
    return out


def _sweep_values(text):
    name, sep, spec = text.rpartition("=")
    if not sep or not name:
        raise ValueError(f"--param {text!r}: write NAME=VALUES (a,b,c or START:STOP:COUNT)")
    if ":" in spec and "," not in spec:
        parts = spec.split(":")
        if len(parts) != 3:
            raise ValueError(f"--param {text!r}: a range is START:STOP:COUNT")
        start, stop = si_value(parts[0], "start"), si_value(parts[1], "stop")
        count = int(parts[2])
        if count < 1:
            raise ValueError(f"--param {text!r}: the count must be at least 1")
        values = [start + (stop - start) * k / max(count - 1, 1) for k in range(count)]
    else:
        values = [si_value(v, name) for v in spec.split(",") if v.strip()]
    return name.strip(), values


class TimeOf:
    """A sweep's measure: when each element's phase first rises through pi."""

    def __init__(self, elements):
        self.elements = list(elements)

    def __call__(self, results):
        return {f"t({e})": results.crossing_time(e, math.pi) for e in self.elements}


def _where(args):
    return dict(workers=args.workers, scheduler=args.scheduler, progress=args.progress)


def run_margins(args):
    from .analysis.margin import margins

    result = margins(args.netlist, args.param, window=args.window,
                     resolution=args.resolution / 100, limits=tuple(args.limits), **_where(args))
    print(result)
    if args.csv:
        result.to_csv(args.csv)
    if args.plot:
        try:
            result.plot(args.plot)
        except ImportError as err:
            print(f"quenda: {err}", file=sys.stderr)
            return 1
    return 0


def run_yield(args):
    from .analysis.yields import yield_analysis

    correlated = {}
    for item in args.correlated:
        key, sep, value = item.rpartition("=")
        correlated[key.strip().upper() if sep else ""] = float(value)
    result = yield_analysis(args.netlist, args.samples, spread=args.spread,
                            kinds={k.upper(): v for k, v in _pairs(args.kind, "--kind").items()},
                            elements=_pairs(args.element, "--element"),
                            correlated=correlated, distribution=args.distribution,
                            seed=args.seed, window=args.window, confidence=args.confidence,
                            **_where(args))
    print(result)
    if args.csv:
        result.to_csv(args.csv)
    return 0


def run_sweep(args):
    from .analysis.design import read_for_analysis
    from .analysis.parameters import find_element
    from .analysis.sweeps import sweep

    values = dict(_sweep_values(p) for p in args.param)
    net = read_for_analysis(args.netlist)
    measure = TimeOf(find_element(net.circuit, e) for e in args.time_of) if args.time_of else None
    result = sweep(net, values, measure=measure, check="nominal", window=args.window,
                   grid=not args.zip, **_where(args))
    print(result)
    if args.csv:
        result.to_csv(args.csv)
    return 0


def _show_warning(message, category, *rest, **more):
    print(f"quenda: warning: {message}", file=sys.stderr)


def main(argv):
    args = parser().parse_args(argv)
    from .analysis import SimulationError
    from .circuit import CircuitError

    run = {"margins": run_margins, "yield": run_yield, "sweep": run_sweep}[args.command]
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _show_warning
            return run(args)
    except (CircuitError, SimulationError, ValueError, TypeError, ConnectionError,
            ImportError, RuntimeError) as err:
        print(f"quenda: {err}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("quenda: interrupted", file=sys.stderr)
        return 130
