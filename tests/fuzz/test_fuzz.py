"""The fuzz suite: every entry point of the kernel and the solver, and the
compiled loop with its plans, called with what a careless or hostile caller
could hand it (kernel.py, solver.py, steploop.py), each target
in a child interpreter so that a crash fails its test and names the case.

CI runs a fixed seed; `make fuzz` runs many more cases under the sanitizers
(QUENDA_FUZZ_SEED, QUENDA_FUZZ_CASES: all targets together).
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import isolated_env

HERE = Path(__file__).resolve().parent
SEED = int(os.environ.get("QUENDA_FUZZ_SEED", "8"))
CASES = int(os.environ.get("QUENDA_FUZZ_CASES", "12000"))
TARGETS = ("kernel", "solver", "steploop")
CHUNK = 20000  # cases per child interpreter


def run_chunk(target, first, count):
    proc = subprocess.run(
        [sys.executable, str(HERE / "runner.py"), target, str(SEED), str(first), str(count)],
        capture_output=True, text=True, env=isolated_env(), timeout=4 * 3600,
    )
    cases = re.findall(r"^case (\d+)$", proc.stdout, re.M)
    where = cases[-1] if cases else first
    assert proc.returncode == 0, (
        f"{target} case {where} of seed {SEED} failed (exit {proc.returncode}); replay with\n"
        f"  PYTHONPATH={os.environ.get('PYTHONPATH', '.')} python {HERE / 'runner.py'} "
        f"{target} {SEED} {where} 1 -v\n{proc.stderr[-6000:]}")
    done = re.search(r"^cases (\d+) calls (\d+)$", proc.stdout, re.M)
    assert done and int(done[1]) == count, proc.stdout[-500:]
    return int(done[2])


@pytest.mark.fuzz
@pytest.mark.parametrize("target", TARGETS, ids=lambda t: f"{t}-{CASES // len(TARGETS)}-cases")
def test_every_call_returns_or_raises(target):
    total = CASES // len(TARGETS)
    calls = sum(run_chunk(target, first, min(CHUNK, total - first))
                for first in range(0, total, CHUNK))
    print(f"{target}: seed {SEED}, {total} cases, {calls} calls")
