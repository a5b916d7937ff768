"""Transient analysis: the circuit in time, from 0 to tstop.

    sim = Transient(circuit)
    res = sim.run(tstop=1e-9, step=0.25e-12)

Each step integrates the unknowns with the trapezoidal rule (or second-order
BDF, method="gear") and solves the circuit equations by Newton iterations
(newton.py); step control (stepping.py) lands on every source breakpoint,
bounds how far a junction may turn in one step, and retries failing steps in
parts. A run that cannot go on raises SimulationError carrying the results
up to the last accepted point; so does an interrupted run (the
KeyboardInterrupt carries them in `results`).

The steps are taken by the compiled loop (compiled.py, quenda._steploop)
when it knows every source's waveform, else by the Python loop (loop.py):
one design, written twice; both reach the same values. One run holds the
kernel at a time in a process (hoststate.py).
"""

import math
import numbers
import secrets
import time as _time
from types import SimpleNamespace

from ..circuit.builder import CircuitError
from ..circuit.units import DEFAULT, si_value
from ..results.results import Results
from .assembly import Assembly
from .compiled import CompiledLoop, unsupported
from .errors import SimulationError
from .hoststate import exclusive_run
from .integration import METHODS
from .loop import TimeLoop
from .noise import RunNoise, noisy
from .stepping import Steps, all_breakpoints, grid_points, run_adaptive, run_fixed

#: More steps than this is a run that would not end in any useful time.
MAX_STEPS = 10**9
#: The time loops a run may take.
LOOPS = ("auto", "compiled", "python")


def _positive(name, value, allow_inf=False, allow_zero=False):
    v = si_value(value, name)
    if math.isnan(v) or v < 0 or (v == 0 and not allow_zero) or (math.isinf(v) and not allow_inf):
        what = "not negative" if allow_zero else "positive"
        raise ValueError(f"{name} must be {what}{'' if allow_inf else ' and finite'} "
                         f"(got {value!r})")
    return v


class Transient:
    """A circuit made ready for the kernel; run() simulates it."""

    def __init__(self, circuit, units=DEFAULT):
        self.circuit = circuit
        self.units = units
        self.assembly = Assembly(circuit, units)

    @property
    def size(self):
        """Number of unknowns (nodes and branch currents)."""
        return self.assembly.size

    def run(self, *, tstop, step, method="trap", ramp=0.0, record=None, tol=1e-6, max_iter=30,
            min_step=None, hysteresis=0.1, adaptive=False, lte=1e-3, max_step=None,
            max_phase_step=math.pi / 2, progress=None, seed=None, loop="auto"):
        """Simulates from 0 to tstop; returns Results (SI units).

        Times are in seconds, as numbers or with a suffix ("100p").
        tstop, step: keyword-only. With fixed steps the results are
            recorded every `step` (the last point at tstop); with
            adaptive=True, step is the first step and every accepted point
            is recorded.
        method: "trap" (trapezoidal rule) or "gear" (second-order BDF).
        ramp: every source value rises smoothly from 0 to 1 over the first
            `ramp` seconds (the start-up ramp).
        record: names of nodes and elements to keep waveforms of (default all).
        tol: a step is accepted when the estimated distance of its unknowns
            from the exact solution of the step's equations is below tol
            (radians, or 100 uA for branch currents).
        max_iter: Newton iterations per attempt of a step.
        min_step: a step that fails is retried in parts down to this size
            (default step / 1024) before the run stops with an error.
        hysteresis: hold band of the phase-quanta counts, in quanta.
        adaptive, lte: choose each step so that the estimated local
            truncation error of every unknown stays below lte (radians),
            with steps below max_step (default the larger of 16 * step and
            tstop / 1000).
        max_phase_step: the most a junction or phase source may turn in one
            step (radians, default a quarter flux quantum); larger steps are
            taken again in parts.
        No step exceeds the shortest delay of the circuit's transmission
        lines (a fixed-step run takes steps of it between its grid points),
        and a line shorter than min_step is refused.
        progress: called as progress(t, tstop) (seconds) now and then.
        seed: picks the realisation of the thermal noise of a circuit at a
            temperature (Circuit(temperature=...), temp= of an element): the
            same seed, the same run. Default a fresh one, which the results
            keep (Results.seed). Each element draws from its own stream of
            the seed (quenda/analysis/noise.py).
        loop: "auto" runs the compiled loop when it can (every source's
            waveform is a DC, PWL, PWS, PULSE, SIN or EXP of quenda's, and
            thermal noise) and the Python loop otherwise (a waveform of
            Python code, a NOISE source); "compiled" insists on the compiled
            one (ValueError, saying why, when it cannot); "python" takes
            the Python loop, the reference. Both take the same steps to the
            same values.
        """
        if method not in METHODS:
            raise ValueError(f"unknown integration method {method!r} (choose 'trap' or 'gear')")
        tstop = _positive("tstop", tstop)
        step = _positive("step", step)
        ramp = _positive("ramp", ramp, allow_zero=True)
        tol = _positive("tol", tol)
        lte = _positive("lte", lte)
        hysteresis = _positive("hysteresis", hysteresis, allow_zero=True)
        max_phase_step = _positive("max_phase_step", max_phase_step, allow_inf=True)
        if not isinstance(max_iter, numbers.Integral) or isinstance(max_iter, bool) or max_iter < 1:
            raise ValueError(f"max_iter must be a whole number of at least 1 (got {max_iter!r})")
        if progress is not None and not callable(progress):
            raise TypeError(f"progress must be callable (got {type(progress).__name__})")
        if seed is not None and (not isinstance(seed, numbers.Integral) or isinstance(seed, bool)
                                 or not 0 <= seed < 2**64):
            raise ValueError(f"seed must be a whole number from 0 to 2**64 - 1 (got {seed!r})")
        given_min_step = min_step
        min_step = step / 1024 if min_step is None else _positive("min_step", min_step)
        if adaptive:
            # The truncation error, not this bound, sets the steps: it only
            # keeps a quiet stretch from being crossed in a few giant steps.
            max_step = max(16 * step, tstop / 1000) if max_step is None else _positive(
                "max_step", max_step)
        elif max_step is not None:
            raise ValueError("max_step is for adaptive runs; fixed steps are `step` at most")
        else:
            max_step = step
        largest = max_step if adaptive else min(step, tstop)
        _check_count(tstop, largest)
        if min_step > min(step, max_step):
            raise ValueError(f"min_step ({min_step:g} s) must not exceed step ({step:g} s) "
                             f"or max_step ({max_step:g} s)")
        if min_step < tstop * 1e-12:
            raise ValueError(f"min_step ({min_step:g} s) is below what the time {tstop:g} s "
                             "can resolve (tstop * 1e-12)")

        stale = self.assembly.stale()
        if stale:  # the circuit changed since Transient(circuit): prepare it again
            self.assembly = Assembly(self.circuit, self.units)
        u = self.units
        # In kernel time the steps then never exceed the delay that the
        # kernel's line holds, to the last bit.
        limit_kernel, limiter = self.assembly.step_limit
        limit = limit_kernel * u.time
        if min_step > limit:
            given = ("min_step" if given_min_step is not None else
                     "min_step, by default step / 1024")
            raise CircuitError(
                f"{limiter.name}: its delay TD = {limit:g} s is shorter than the smallest step "
                f"this run may take ({given} = {min_step:g} s), and no step may exceed TD: "
                "give a min_step below TD (or a smaller step), or a longer delay")
        _check_count(tstop, min(largest, limit))

        noise = self._noise(seed, min_step, tstop)
        compiled = self._compiled(loop)
        t_end = tstop / u.time
        settings = SimpleNamespace(
            method=method, step=step / u.time, min_step=min_step / u.time,
            max_step=min(max_step / u.time, limit_kernel),
            models_min_step=min(min_step / u.time, limit_kernel), max_phase=max_phase_step,
            t_end=t_end, adaptive=adaptive, lte=lte if adaptive else math.inf,
            grid_count=grid_points(t_end, step / u.time), t_ramp=ramp / u.time, tol=tol,
            max_iter=max_iter, hysteresis=hysteresis, tstop=tstop, progress=progress)
        with exclusive_run():
            rows = settings.grid_count + 1 if not adaptive else 1024
            results = Results(self.assembly, record, rows)
            start = _time.perf_counter()
            if compiled:
                time_loop = steps = CompiledLoop(self.assembly, results, settings, noise)
                run = lambda: time_loop.run(results, progress, tstop)  # noqa: E731
            else:
                time_loop, steps = self._python_loop(settings, results, noise)
                store = results.store
                if progress is not None:
                    store = _with_progress(results.store, progress, u.time, tstop)
                if adaptive:
                    run = lambda: run_adaptive(steps, t_end, lte, store)  # noqa: E731
                else:
                    run = lambda: run_fixed(steps, t_end, store)  # noqa: E731
            try:
                run()
            except (SimulationError, KeyboardInterrupt) as err:
                err.results = self._finish(results, time_loop, steps, start)
                raise
            self._finish(results, time_loop, steps, start)
        if progress is not None:
            progress(tstop, tstop)
        return results

    def _compiled(self, loop):
        """Whether this run takes the compiled loop (loop: the run's argument)."""
        if loop not in LOOPS:
            raise ValueError(f"unknown loop {loop!r} (choose 'auto', 'compiled' or 'python')")
        if loop == "python":
            return False
        why = unsupported(self.assembly)
        if why and loop == "compiled":
            raise ValueError(f"loop='compiled' cannot run this circuit: {why}")
        return why is None

    def _python_loop(self, s, results, noise):
        """The Python loop of one run and its step control, at the first point."""
        u = self.units
        loop = TimeLoop(self.assembly, s.t_ramp, s.tol, s.max_iter, s.hysteresis,
                        s.models_min_step, noise)
        if noise is not None:
            results.seed = noise.seed
            results.add_noise_currents(*noise.element_currents())
        results.store(0.0)
        breakpoints = all_breakpoints([w for w, _ in loop.varying], s.tstop, u.time)
        steps = Steps(loop, s.method, s.step, s.min_step, s.max_step, s.max_phase, breakpoints,
                      s.t_end, grid=not s.adaptive, landings=noise)
        return loop, steps

    def _noise(self, seed, min_step, tstop):
        """The noise of this run (noise.RunNoise), or None for a noise-free
        circuit; a fresh seed when none is given."""
        if not noisy(self.circuit):
            return None
        seed = secrets.randbits(63) if seed is None else int(seed)
        noise = RunNoise(self.assembly, seed, 0.5 * min_step / self.units.time)
        shortest = noise.shortest * self.units.time
        if shortest < min_step:
            raise ValueError(f"a noise source takes a new value every {shortest:g} s, more "
                             f"often than the smallest step ({min_step:g} s): lower the noise "
                             "bandwidth (neb) or min_step")
        _check_count(tstop, shortest)
        return noise

    @staticmethod
    def _finish(results, loop, steps, start):
        results.trim()
        results.timing = dict(loop.timing, total=_time.perf_counter() - start,
                              steps=loop.accepted, rejected=steps.rejected,
                              loop="compiled" if isinstance(loop, CompiledLoop) else "python")
        return results


def _check_count(tstop, largest):
    if tstop / largest > MAX_STEPS:
        raise ValueError(f"{tstop:g} s in steps of at most {largest:g} s would take more "
                         f"than {MAX_STEPS:.0e} steps")


def _with_progress(store, progress, time_unit, tstop):
    last = [_time.perf_counter()]

    def store_and_report(t):
        store(t)
        now = _time.perf_counter()
        if now - last[0] >= 0.1:
            last[0] = now
            progress(t * time_unit, tstop)

    return store_and_report
