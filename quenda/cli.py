"""The command line: python -m quenda (or `quenda`).

    quenda FILE.cir [-o out.csv|out.dat|out.raw] [--plot out.png] [--quiet]

simulates a netlist with its .tran settings and writes what its .print,
.plot, .save and .file cards ask for (with -o, the requests before any
.file), and the I-V curves of its .iv cards; without -o it prints a short
summary of when and how often each junction switched. A progress bar on
stderr shows for runs longer than about a second (not with --quiet, nor
when stderr is not a terminal). Errors in the netlist print as
file:line:column messages.

`quenda margins|yield|sweep FILE.cir ...` runs those analyses of a netlist
(quenda/cli_analyses.py).

Without a netlist it simulates the demo, a 20-stage Josephson transmission
line driven by one single-flux-quantum pulse, prints when each junction
switches, and writes the waveforms to CSV (and to PNG when matplotlib is
installed).
"""

import argparse
import importlib.util
import sys
import time
import warnings
from pathlib import Path

from .analysis import SimulationError, Transient
from .circuit import CircuitError
from .demos.jtl import PS, jtl, switching_table

#: The demo's options and their defaults.
DEMO = {"stages": 20, "tstop": 100.0, "step": 0.25, "adaptive": False, "out": "out"}
#: Junctions listed by the summary; the rest are counted.
SUMMARY_ROWS = 40


def parser():
    p = argparse.ArgumentParser(
        prog="quenda",
        description="Simulate a netlist (FILE) and write what it asks for, or, without FILE, "
                    "the demo: a Josephson transmission line.")
    p.add_argument("netlist", nargs="?", metavar="FILE",
                   help="netlist to simulate (the superconductor SPICE dialect)")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="file for the netlist's output requests: .csv, .dat (blank-separated) "
                        "or .raw / no extension (SPICE raw); without it, a summary on stdout")
    p.add_argument("--plot", metavar="PNG", help="draw the output requests (needs matplotlib)")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no notes of files written")
    demo = p.add_argument_group("the demo (without FILE)")
    demo.add_argument("--stages", type=int, help=f"stages (default {DEMO['stages']})")
    demo.add_argument("--tstop", type=float,
                      help=f"simulated time [ps] (default {DEMO['tstop']})")
    demo.add_argument("--step", type=float, help=f"time step [ps] (default {DEMO['step']})")
    demo.add_argument("--adaptive", action="store_true", default=None,
                      help="choose the steps by local truncation error (--step is the first)")
    demo.add_argument("--out", help="directory for jtl.csv and jtl.png (default out)")
    return p


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in ("margins", "yield", "sweep"):
        from .cli_analyses import main as analyses

        return analyses(argv)
    p = parser()
    args = p.parse_args(argv)
    given = [f"--{k}" for k in DEMO if getattr(args, k) is not None]
    try:
        if args.netlist is None:
            if args.output or args.plot:
                p.error("-o and --plot are for a netlist; the demo writes into --out")
            for k, default in DEMO.items():
                if getattr(args, k) is None:
                    setattr(args, k, default)
            return run_demo(args)
        if given:
            p.error(f"{', '.join(given)} {'is' if len(given) == 1 else 'are'} for the demo, "
                    "not for a netlist (its .tran sets the run)")
        return run_netlist(args)
    except (CircuitError, SimulationError, ValueError, OSError) as err:
        print(f"quenda: {err}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("quenda: interrupted", file=sys.stderr)
        return 130


# -- a netlist -------------------------------------------------------------------


def run_netlist(args):
    from .netlist import NetlistError, NetlistWarning, read_netlist
    from .netlist import run

    if args.plot and importlib.util.find_spec("matplotlib") is None:
        print("quenda: --plot needs matplotlib: pip install 'quenda[plot]'", file=sys.stderr)
        return 1
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", NetlistWarning)
            net = read_netlist(args.netlist)
    except NetlistError as err:
        # The message starts with file:line:column; no traceback.
        print(str(err) if err.position else f"quenda: {err}", file=sys.stderr)
        return 1
    for w in caught:
        if issubclass(w.category, NetlistWarning):
            print(f"quenda: warning: {w.message}", file=sys.stderr)
        else:
            warnings.showwarning(w.message, w.category, w.filename, w.lineno)
    note = (lambda text: None) if args.quiet else (lambda text: print(text, file=sys.stderr))
    for path in run.write_iv(net):
        note(f"I-V curve written to {path}")
    if net.tran is None:
        if net.iv:
            return 0
        print(f"quenda: {args.netlist}: no .tran, so nothing to simulate (expected: .tran "
              "TSTEP TSTOP)", file=sys.stderr)
        return 1
    summary = args.output is None
    started = time.perf_counter()
    with _progress_bar(args.quiet) as progress:
        try:
            res = run.simulate(net, main=not summary or bool(args.plot), summary=summary,
                               progress=progress)
        except NetlistError as err:
            print(str(err) if err.position else f"quenda: {err}", file=sys.stderr)
            return 1
    elapsed = time.perf_counter() - started
    for path in run.write_outputs(net, res, args.output):
        note(f"waveforms written to {path}")
    if args.plot:
        from .results.plot import plot_columns

        plot_columns(run.columns(net, res), args.plot, net.title or Path(args.netlist).name)
        note(f"plot written to {args.plot}")
    if summary:
        print_summary(args.netlist, net, res, elapsed)
    return 0


class _progress_bar:
    """progress(t, tstop) for Transient.run, drawing a bar on stderr once a
    run has taken a second; None when quiet or stderr is no terminal."""

    def __init__(self, quiet):
        self.show = not quiet and sys.stderr.isatty()
        self.bar = None

    def __enter__(self):
        return self.update if self.show else None

    def update(self, t, tstop):
        if self.bar is None:
            from tqdm import tqdm

            self.bar = tqdm(total=round(tstop / PS, 6), unit="ps", delay=1.0, file=sys.stderr,
                            leave=False, dynamic_ncols=True,
                            bar_format="{l_bar}{bar}| {n:.0f}/{total:.0f} ps "
                                       "[{elapsed}<{remaining}]")
        self.bar.update(round(t / PS, 6) - self.bar.n)

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.close()
        return False


def print_summary(path, net, res, elapsed):
    from .netlist.run import switching_summary

    tran = net.tran
    title = f"{net.title} ({Path(path).name})" if net.title else Path(path).name
    print(f"{title}: {tran.stop / PS:g} ps in steps of {tran.step / PS:g} ps, "
          f"{len(res.time)} points, {elapsed:.2f} s")
    if res.seed is not None:
        print(f"noise seed {res.seed} (.option seed={res.seed} repeats this run)")
    rows = switching_summary(net, res)
    if not rows:
        print("no junctions")
        return
    width = max(8, *(len(r[0]) for r in rows[:SUMMARY_ROWS]))
    print(f"{'junction':<{width}}  {'net quanta':>10}  {'slips +/-':>9}  {'first slip [ps]':>15}")
    for name, net_change, forward, backward, first in rows[:SUMMARY_ROWS]:
        when = f"{first / PS:15.3f}" if first is not None else f"{'never':>15}"
        print(f"{name:<{width}}  {net_change:>+10d}  {f'{forward}/{backward}':>9}  {when}")
    if len(rows) > SUMMARY_ROWS:
        rest = rows[SUMMARY_ROWS:]
        moved = sum(1 for r in rest if r[1])
        print(f"... and {len(rest)} more junctions, {moved} of them with a net change "
              "(-o FILE with .print PHASE requests writes their waveforms)")


# -- the demo --------------------------------------------------------------------


def run_demo(args):
    circuit = jtl(args.stages)
    res = Transient(circuit).run(tstop=args.tstop * PS, step=args.step * PS, ramp=10 * PS,
                                 adaptive=args.adaptive)
    steps = "adaptive steps" if args.adaptive else f"steps of {args.step} ps"
    print(f"{circuit.title}: {len(res.time) - 1} points in {steps}, "
          f"{res.timing['iterations'] / res.timing['steps']:.2f} Newton iterations per step")
    print(f"{'junction':>8}  {'switches at [ps]':>16}  {'quanta':>6}")
    previous = None
    for name, when, count in switching_table(res, args.stages):
        shown = f"{when / PS:16.3f}" if when is not None else f"{'never':>16}"
        delay = f"  (+{(when - previous) / PS:.3f})" if when is not None and previous is not None else ""
        print(f"{name:>8}  {shown}  {count:6d}{delay}")
        previous = when if when is not None else previous
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    res.to_csv(out / "jtl.csv")
    if importlib.util.find_spec("matplotlib") is None:
        print(f"waveforms written to {out / 'jtl.csv'} (for a plot, install matplotlib: "
              "pip install 'quenda[plot]')")
    else:
        res.plot(out / "jtl.png")
        print(f"waveforms written to {out / 'jtl.csv'} and {out / 'jtl.png'}")
    return 0
