"""Runs fuzz cases in this process: python runner.py TARGET SEED FIRST COUNT [-v]

Case k of a seed is drawn from its own random.Random, so any case replays
alone (FIRST = k, COUNT = 1, -v to print each call). Before each case the
runner prints its number, so that the last number printed before a crash
names the case that crashed. At the end it prints "cases N calls M".
"""

import faulthandler
import os
import random
import sys
import warnings

# The cases import each other by name; a sanitized run (PYTHONSAFEPATH) does
# not put this directory on the path by itself.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kernel  # noqa: E402
import solver  # noqa: E402
import steploop  # noqa: E402

TARGETS = {"kernel": kernel.run_case, "solver": solver.run_case, "steploop": steploop.run_case}


def main(argv):
    target, seed, first, count = argv[0], int(argv[1]), int(argv[2]), int(argv[3])
    verbose = "-v" in argv
    faulthandler.enable()
    # Conversions of odd values warn (NumPy's array-to-scalar, __int__
    # returning a subclass); what matters here is whether they raise.
    warnings.simplefilter("ignore")
    run = TARGETS[target]
    log = (lambda text: print(text, flush=True)) if verbose else None
    calls = 0
    for k in range(first, first + count):
        print(f"case {k}", flush=True)
        calls += run(random.Random(f"{target}/{seed}/{k}"), log)
    print(f"cases {count} calls {calls}", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
