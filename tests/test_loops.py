"""The compiled loop beside the Python one: which runs where, the waveforms
it evaluates itself, interrupts and progress, what it holds and frees, and
the kernel interface it is built against. (Every run of the host test files
goes through both loops as well: conftest.both_loops.)"""

import gc
import signal

import numpy as np
import pytest

from conftest import heap_bytes, run_isolated, same_results, same_steps
from quenda import EXP, PWS, PULSE, PWL, SIN, Circuit, Transient, Waveform
from quenda.demos.jtl import jtl

PS = 1e-12


def driven(wave):
    c = Circuit("a source into a junction")
    c.current_source("I1", "0", "n1", wave)
    c.resistor("R1", "n1", "0", 2.0)
    c.junction("B1", "n1", "0", ic=100e-6, r=4.0, c=0.1e-12)
    return c


WAVES = {
    "dc": 120e-6,
    "pwl with a jump": PWL([(0, 0), (3 * PS, 150e-6), (3 * PS, -50e-6), (9 * PS, 80e-6)]),
    "pws": PWS([(0, 0), (2 * PS, 200e-6), (7 * PS, -100e-6)]),
    "periodic pulse": PULSE(-20e-6, 180e-6, td=1 * PS, tr=0.5 * PS, tf=1 * PS, pw=2 * PS,
                            per=5 * PS),
    "damped sine, 3 cycles": SIN(50e-6, 150e-6, 2e11, td=1 * PS, theta=5e10, phase=0.3,
                                 ncycles=3),
    "exp rise and fall": EXP(0, 250e-6, 1 * PS, 2 * PS, td2=8 * PS, tau2=1.5 * PS),
}


@pytest.mark.parametrize("adaptive", [False, True])
@pytest.mark.parametrize("wave", WAVES.values(), ids=WAVES)
def test_compiled_waveforms_are_the_hosts(wave, adaptive):
    runs = [Transient(driven(wave)).run(tstop=20 * PS, step=0.1 * PS, adaptive=adaptive,
                                        loop=loop) for loop in ("python", "compiled")]
    same_results(*runs)
    same_steps(*runs)
    res = runs[1]
    # The source's current at every point is its waveform there (the
    # compiled loop evaluated it in C++).
    expected = [float(wave(t) if isinstance(wave, Waveform) else wave) for t in res.time]
    np.testing.assert_allclose(res.current("I1"), expected, rtol=1e-14, atol=1e-25)


class Kick(Waveform):
    """A waveform of Python code: only the Python loop evaluates it."""

    def __call__(self, t):
        return 150e-6 if 2 * PS < t < 4 * PS else 0.0


def test_the_loop_is_chosen_by_the_waveforms():
    c = driven(Kick())
    assert Transient(c).run(tstop=5 * PS, step=0.5 * PS).timing["loop"] == "python"
    with pytest.raises(ValueError, match=r"loop='compiled' cannot run this circuit: current "
                                         r"source I1 has a waveform of Python code \(Kick\)"):
        Transient(c).run(tstop=5 * PS, step=0.5 * PS, loop="compiled")
    with pytest.raises(ValueError, match="unknown loop 'fast'"):
        Transient(c).run(tstop=5 * PS, step=0.5 * PS, loop="fast")
    assert Transient(jtl(2)).run(tstop=5 * PS, step=0.5 * PS).timing["loop"] == "compiled"


def test_an_interrupt_stops_a_compiled_run_keeping_what_it_stored():
    sim, args = Transient(jtl(20)), dict(step=0.25 * PS, ramp=10 * PS, loop="compiled")

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    def soon(t, tstop):  # the first report: the loop is stepping; it goes on at once
        signal.setitimer(signal.ITIMER_REAL, 0.01)

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            sim.run(tstop=1e-6, progress=soon, **args)  # four million steps
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    part = info.value.results
    assert part.count > 1 and part.timing["steps"] >= part.count - 1
    # What it stored is what a run to its last point stores; and the
    # interrupted run let go of the kernel, or this one would be refused.
    whole = sim.run(tstop=part.time[-1], **args)
    same_results(part, whole)


def test_progress_of_a_compiled_run():
    seen = []
    Transient(jtl(30)).run(tstop=3000 * PS, step=0.25 * PS, ramp=10 * PS, loop="compiled",
                           progress=lambda t, tstop: seen.append((t, tstop)))
    times = [t for t, _ in seen]
    assert seen[-1] == (3000 * PS, 3000 * PS) and times == sorted(times)
    assert all(0 < t <= 3000 * PS for t in times)


def test_runs_free_what_they_hold():
    sim = Transient(jtl(8))
    args = dict(tstop=100 * PS, step=0.5 * PS, ramp=10 * PS, loop="compiled")
    sim.run(**args)
    gc.collect()
    before = heap_bytes()
    for _ in range(200):
        res = sim.run(**args)
    gc.collect()
    assert heap_bytes() - before < (1 << 20)
    # The loop gave back the arrays it wrote through: NumPy can resize them.
    from quenda import qdglobals as G

    G.ElementPhase.resize(G.ElementPhase.size + 1, refcheck=False)
    assert res.count == 201


IMPORT = """
try:
    import quenda._steploop
except Exception as err:
    print(type(err).__name__, err)
else:
    print("imported")
"""
FAKE = """
class Record(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("version", ctypes.c_uint32),
                ("rest", ctypes.c_char * 256)]
record = Record(1024, {version})
new = ctypes.pythonapi.PyCapsule_New
new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
stampcore._KERNEL_API = new(ctypes.addressof(record), {name!r}, None)
"""


@pytest.mark.parametrize("tamper, text", [
    (FAKE.format(version=99, name=b"quenda.stampcore._KERNEL_API"),
     "ImportError quenda.stampcore exports version 99 of its C interface, this loop was built "
     "for version 1"),
    (FAKE.format(version=1, name=b"quenda.stampcore._OTHER"),
     'AttributeError PyCapsule_Import "quenda.stampcore._KERNEL_API" is not valid'),
    ("stampcore._KERNEL_API = 3",
     'AttributeError PyCapsule_Import "quenda.stampcore._KERNEL_API" is not valid'),
    ("del stampcore._KERNEL_API", "AttributeError"),
    ("", "imported"),
], ids=["other version", "other name", "no capsule", "none", "as built"])
def test_the_loop_refuses_a_kernel_interface_it_was_not_built_for(tamper, text):
    rc, out, err = run_isolated("import ctypes\nfrom quenda import stampcore\n" + tamper + IMPORT)
    assert rc == 0, err
    assert out.strip().startswith(text), out
