"""Margins of the 12-junction DC-to-SFQ converter example on 1 and 2 workers.

The example netlist (a DC-to-SFQ converter, two JTL stages and a sink; four
input pulses over 1 ns in steps of 0.25 ps) with its margins found for every
bias source and every junction at 0.5 % resolution between 0.1 and 2 times
nominal, the check being the nominal run's switching events within 5 ps.
Prints the margins and, per worker count, the wall time, the runs made and
whether the margins are the same as with the first worker count.
"""

import argparse
import time
from pathlib import Path

import numpy as np

from quenda.analysis.margin import margins

EXAMPLE = Path("/work/shared/netlists/josim-examples/ex_dcsfq_jtl_sink.cir")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--netlist", default=str(EXAMPLE))
    parser.add_argument("--workers", default="1,2", help="worker counts, comma-separated")
    parser.add_argument("--resolution", type=float, default=0.5, help="percent")
    args = parser.parse_args()
    first = None
    times = []
    for workers in (int(w) for w in args.workers.split(",")):
        start = time.perf_counter()
        m = margins(args.netlist, resolution=args.resolution / 100, workers=workers)
        elapsed = time.perf_counter() - start
        if first is None:
            first = m
            print(m)
            print()
        same = np.array_equal(m.table, first.table)
        times.append((workers, elapsed, m.runs, same))
    print(f"{'workers':>7} {'wall [s]':>9} {'runs':>6} {'runs/s':>7} {'same margins':>13}")
    for workers, elapsed, runs, same in times:
        print(f"{workers:7d} {elapsed:9.1f} {runs:6d} {runs / elapsed:7.2f} {str(same):>13}")


if __name__ == "__main__":
    main()
