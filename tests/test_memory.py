"""Many calls of every driver and solver method, and of their error paths,
leave the process's memory, the reference counts and the arrays' buffers as
they were (leakcheck.py, in a fresh interpreter)."""

import sys

from conftest import ROOT, run_isolated

CALLS = 100_000


def test_no_growth_no_references_no_held_buffers():
    rc, out, err = run_isolated(f"""
        import runpy, sys
        sys.argv = ["leakcheck.py", "{CALLS}"]
        runpy.run_path({str(ROOT / "tests" / "leakcheck.py")!r}, run_name="__main__")
    """, timeout=1800)
    sys.stdout.write(out)
    assert rc == 0, out + err
    assert "CHANGED" not in out and out.count("calls  memory") == 20, out
