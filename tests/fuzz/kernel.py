"""Fuzz cases of quenda.stampcore.

A case lays out a small random circuit as a simulator would (host arrays,
models of every class bound by InitModel, the element lists, the
collection), mostly right and sometimes wrong in one or two places, then runs
a random sequence of steps against it: the six drivers with random arrays,
runs of points in a row as a time loop makes them, constructors, InitModel,
SetParameters, InitTJMModel and pickling with random arguments, and changes
to the host state between the calls (arrays replaced, dropped, shortened or
made read-only, lists and counts that change, models re-initialised, dropped
or finalised while the kernel holds them, host modules replaced by objects
that call back).
"""

import copy
import gc
import pickle

import numpy as np

from calls import Caller, play
from hostile import HOOKS, Gen, Seq
from quenda import SimulationParameters as SP
from quenda import qdconfig as C
from quenda import qdglobals as G
from quenda import stampcore as sc

# Constructor signature, slot names and parameter count of each class.
TWO = ("i", "j", "eindex")
BRANCH = ("i", "j", "q", "eindex")
SLOTS2 = ("ind_ii", "ind_ij", "ind_ji", "ind_jj")
SLOTSB = ("ind_iq", "ind_jq", "ind_qi", "ind_qj")
LINE = ("p1", "n1", "p2", "n2", "eindex")
SLOTSL = ("ind_p1p1", "ind_p1n1", "ind_n1p1", "ind_n1n1", "ind_p2p2", "ind_p2n2", "ind_n2p2",
          "ind_n2n2")
CLASSES = {
    sc.ResistorModel: (TWO, SLOTS2, 1),
    sc.CapacitorModel: (TWO, SLOTS2, 1),
    sc.InductorModel: (TWO, SLOTS2, 1),
    sc.CurrentSourceModel: (TWO, SLOTS2, 1),
    sc.JunctionModel: (TWO, SLOTS2, 3),
    sc.JunctionRSJNModel: (TWO, SLOTS2, 5),
    sc.JunctionTJMModel: (TWO, SLOTS2, 3),
    sc.JunctionPWLModel: (TWO, SLOTS2, 8),
    sc.InductorImpedanceModel: (BRANCH, SLOTSB + ("ind_qq",), 1),
    sc.PhaseSourceModel: (BRANCH, SLOTSB, 1),
    sc.VoltageSourceModel: (BRANCH, SLOTSB, 1),
    sc.MutualInductanceModel: (("q", "v", "eindex"), ("ind_qq", "ind_qv", "ind_vq", "ind_vv"), 1),
    sc.TransmissionLineModel: (LINE, SLOTSL, 3),
    sc.ElementModel: ((), (), 0),
}
DRIVERS = ("InitElementModels", "BuildStaticMatrix", "BuildMatrix", "UpdateMatrix", "UpdateRHS",
           "UpdateValues")
NODE_ARRAYS = ("NodePhase", "NodeVoltage", "NodeDVoltage")
ELEMENT_ARRAYS = {"ElementPhase": "f8", "ElementVoltage": "f8", "ElementCurrent": "f8",
                  "ElementN": "i4", "ElementInc": "u1", "ElementDec": "u1"}
SOLUTION = ("DX", "DDX", "DXprev")
MODULE_GLOBALS = ("np", "SP", "qdglobals", "qdconfig", "NTHREADS", "RHSHelper")
ORIGINAL_GLOBALS = {name: getattr(sc, name) for name in MODULE_GLOBALS}
HOST_STATE = {mod: dict(vars(mod)) for mod in (G, SP, C)}


def finalising(cls):
    """A Python subclass of an element class whose finaliser calls back."""

    class Finalising(cls):
        def __del__(self):
            HOOKS.fire()

    Finalising.__name__ = "Finalising" + cls.__name__
    return Finalising


SUBCLASSES = {cls: finalising(cls) for cls in CLASSES}


class Holder(sc.ElementModel):
    """An ElementModel with an instance dictionary, which its pickle carries."""


def spec_of(cls):
    """The CLASSES entry of a class or of the element class it derives from."""
    while cls not in CLASSES:
        cls = cls.__base__
    return CLASSES[cls]


class Element:
    """A host element object; its parameter refresh may call back."""

    def __init__(self, model, hook=False):
        self.model = model
        self.hook = hook

    def UpdateParameters(self):
        if self.hook:
            HOOKS.fire()


class CallingElement:
    """An element whose model is read through a property that calls back."""

    def __init__(self, model):
        self._model = model

    @property
    def model(self):
        HOOKS.fire()
        return self._model

    @model.setter
    def model(self, value):
        self._model = value

    def UpdateParameters(self):
        HOOKS.fire()


class Proxy:
    """Stands in for a host module: every attribute read may call back first."""

    def __init__(self, module):
        object.__setattr__(self, "_module", module)

    def __getattr__(self, name):
        HOOKS.fire()
        return getattr(self._module, name)


class KernelWorld:
    def __init__(self, rng, log=None):
        self.rng = rng
        self.g = Gen(rng)
        self.call = Caller(self.g, log)
        self.models = []
        HOOKS.rng = rng
        HOOKS.actions = [self.hostile_step]
        self.reset()

    # ---- the circuit ------------------------------------------------------

    def reset(self):
        g = self.g
        g.guards.clear()
        g.flaw = 0.0 if g.chance(0.5) else 0.02
        for name, value in ORIGINAL_GLOBALS.items():
            setattr(sc, name, value)
        for mod, attrs in HOST_STATE.items():
            for name in set(vars(mod)) - set(attrs):
                delattr(mod, name)
            vars(mod).update(attrs)
        self.nodes = g.rng.randint(1, 8)
        self.nelem = g.rng.randint(0, 8)
        self.nslots = g.rng.randint(1, 24)
        for name in NODE_ARRAYS:
            setattr(G, name, g.array(self.nodes))
        for name, dtype in ELEMENT_ARRAYS.items():
            setattr(G, name, g.array(self.nelem + g.pick([0, 0, 0, 2]), dtype))
        G.TotalNodes = self.nodes
        SP.X = np.vstack([g.guarded(self.nodes) for _ in range(3)])
        SP.Xind = 1
        for name in SOLUTION:
            setattr(SP, name, g.array(self.nodes))
        SP.InterpCoeffDt, SP.InterpCoeffDDt = [g.rng.uniform(1, 9)], [g.rng.uniform(1, 90)]
        SP.TimeSteps = [g.rng.uniform(0.01, 1)]
        SP.InitialSmoothFactor, SP.PHASE_HISTERESIS = g.rng.random(), 0.1 * g.rng.random()
        SP.INITIAL_RAMP = 1.0
        G.CurrentTime = g.rng.uniform(0, 2)
        G.OptimizeSimulation = g.chance(0.5)
        C.tjm_models = {"tjm": self.tjm_terms(g.rng.randint(1, 6))}
        self.models = [self.new_model() for _ in range(self.nelem)]
        for m in self.models:
            self.bind(m)
        self.set_lists()
        self.call(sc.InitElementModels)
        g.flaw = 0.25

    def tjm_terms(self, n):
        g = self.g
        terms = [[complex(g.rng.uniform(-1, 1), g.rng.uniform(-1, 1)) for _ in range(n)]
                 for _ in range(3)]
        terms[2] = [complex(-abs(p.real) - 0.1, p.imag) for p in terms[2]]
        return tuple(terms)

    def new_model(self, k=None):
        g = self.g
        cls = g.pick(list(CLASSES)[:-1]) if g.chance(0.97) else sc.ElementModel
        if g.chance(0.1):
            cls = SUBCLASSES[cls]
        ctor = spec_of(cls)[0]
        k = self.rng.randrange(max(self.nelem, 1)) if k is None else k
        args = []
        for name in ctor:
            if name == "eindex":
                args.append(k if g.ok() else g.index(self.nelem + 1))
            elif name in ("q", "v"):
                args.append(g.rng.randint(1, self.nodes) if g.ok() else g.index(10))
            else:
                args.append(g.index(self.nodes + 1))
        ports = [(0, 1)] if ctor[:2] == ("i", "j") else [(0, 1), (2, 3)] if ctor == LINE else []
        for a, b in ports:
            if all(type(args[k]) is int and args[k] == 0 for k in (a, b)):
                args[g.pick([a, b])] = 1  # one terminal of each port off ground
        try:
            return cls(*args)
        except Exception:  # noqa: BLE001 - an index the class refuses: a plain one instead
            return cls(*[0 if name == "eindex" else 1 for name in ctor])

    def bind(self, m):
        g = self.g
        _, slots, nparams = spec_of(type(m))
        if not hasattr(m, "InitModel"):
            return  # the base class binds nothing
        positions = [g.rng.randrange(self.nslots) if g.ok() else g.weird_int()
                     for _ in slots]
        self.call(m.InitModel, *positions, names=slots, label="InitModel")
        params = [g.rng.uniform(0.2, 3) if g.ok() else g.weird_float()
                  for _ in range(nparams)]
        if isinstance(m, sc.TransmissionLineModel) and type(params[0]) is float and g.ok():
            params[2] = params[0] / g.rng.randint(1, 40)  # a history of a few to 43 points
        if isinstance(m, sc.JunctionTJMModel):
            self.call(m.InitTJMModel, g.sequence(["tjm"] + [g.rng.uniform(0.5, 2) for _ in range(5)])
                      if g.chance(0.3) else ["tjm", 1.0, 1.0, 4.0, 0.6, 0.1], label="InitTJMModel")
            params = ["tjm"] + params[1:]
        self.call(m.SetParameters, params if g.ok() else g.sequence(params),
                  label="SetParameters")

    def set_lists(self):
        g = self.g
        wrap = [Element(m, hook=g.chance(0.2)) if g.ok() else CallingElement(m)
                for m in self.models]
        G.ElementList = wrap if g.ok() else g.sequence(wrap)
        sources = [e for e in wrap if g.chance(0.3)]
        G.SourceElementList = sources
        G.TotalElements = len(wrap) if g.ok() else g.weird_int()
        G.TotalSourceElements = len(sources) if g.ok() else g.weird_int()

    # ---- steps ------------------------------------------------------------

    def driver(self, name):
        g = self.g
        fn = getattr(sc, name)
        n, slots = self.nodes, self.nslots
        if name == "BuildStaticMatrix":
            a0 = g.array(slots)
            return self.call(fn, a0, watch=[a0], label=name)
        if name == "BuildMatrix":
            a1, a2, b = g.array(slots), g.array(slots), g.array(n)
            return self.call(fn, a1, a2, b, names=("A1", "A2", "B"), watch=[a1, a2, b], label=name)
        if name == "UpdateMatrix":
            a2, b = g.array(slots), g.array(n)
            return self.call(fn, a2, b, names=("A2", "B"), watch=[a2, b], label=name)
        if name == "UpdateRHS":
            b = g.array(n)
            return self.call(fn, b, watch=[b], label=name)
        return self.call(fn, label=name)

    def change_host(self):
        g = self.g
        r = g.rng.random()
        if r < 0.2:
            name = g.pick(NODE_ARRAYS + tuple(ELEMENT_ARRAYS))
            setattr(G, name, g.array(self.nodes if name in NODE_ARRAYS else self.nelem,
                                     ELEMENT_ARRAYS.get(name, "f8")))
        elif r < 0.3:
            name = g.pick(SOLUTION + ("X", "Xind", "InterpCoeffDt", "InterpCoeffDDt", "TimeSteps",
                                      "InitialSmoothFactor", "PHASE_HISTERESIS", "INITIAL_RAMP"))
            kind = g.rng.randrange(6)
            value = (g.array(self.nodes) if kind == 0 else g.weird_int() if kind == 1 else
                     g.weird_float() if kind == 2 else g.sequence([g.weird_float()]) if kind == 3
                     else g.guarded(self.nodes * 3).reshape(3, -1) if kind == 4 else
                     Seq([g.array(self.nodes) for _ in range(3)], hook=True))
            setattr(SP, name, value)
        elif r < 0.4:
            mod = g.pick([G, SP, C])
            names = [k for k in vars(mod) if not k.startswith("__")]
            if names:
                delattr(mod, g.pick(names))
        elif r < 0.5:
            name = g.pick(["TotalElements", "TotalSourceElements", "TotalNodes", "CurrentTime",
                           "OptimizeSimulation"])
            setattr(G, name, g.weird_int() if g.chance(0.7) else g.weird_float())
        elif r < 0.65:
            lst = getattr(G, "ElementList", None)
            lst = lst if isinstance(lst, list) else []
            action = g.rng.randrange(5)
            if action == 0 and lst:
                lst.pop(g.rng.randrange(len(lst)))
            elif action == 1:
                lst.append(Element(self.new_model()))
                if g.ok():
                    self.bind(lst[-1].model)
            elif action == 2 and lst:
                lst[g.rng.randrange(len(lst))].model = g.pick([None, 3, self.new_model(), sc])
            elif action == 3:
                self.models.clear()
                G.ElementList = G.SourceElementList = []
                gc.collect()
            else:
                self.set_lists()
        elif r < 0.75:
            name = g.pick(MODULE_GLOBALS)
            if g.chance(0.2):
                if hasattr(sc, name):
                    delattr(sc, name)
            elif name in ("SP", "qdglobals", "qdconfig"):
                setattr(sc, name, Proxy(ORIGINAL_GLOBALS[name]) if g.chance(0.8) else None)
            else:
                setattr(sc, name, g.weird_int())
        elif r < 0.85:
            name = g.pick(NODE_ARRAYS + tuple(ELEMENT_ARRAYS))
            a = getattr(G, name, None)
            if isinstance(a, np.ndarray):
                a.flags.writeable = False
        else:
            C.tjm_models = g.pick([{"tjm": self.tjm_terms(g.rng.randint(0, 25))}, {}, None,
                                   {"tjm": (1, 2)}, {"tjm": ([1j], [1j])},
                                   {"tjm": ([1j] * 3, [1j], [1j] * 3)},
                                   {"tjm": ([1j], ["x"], [0j])},
                                   {"tjm": Seq([[1j], [2j], [-1 + 0j]], hook=True)}, ["tjm"]])

    def model_step(self):
        g = self.g
        if not self.models:
            self.models.append(self.new_model())
        m = g.pick(self.models)
        ctor, slots, nparams = spec_of(type(m))
        r = g.rng.random()
        if not hasattr(m, "InitModel"):
            r = 0.0 if r < 0.5 else 0.8  # the base class: its constructor or its pickling
        if r < 0.25:
            self.call(m.__init__, *[g.index(self.nodes + 2) for _ in ctor], names=ctor,
                      label="__init__")
        elif r < 0.5:
            positions = [g.rng.randrange(self.nslots) if g.chance(0.8) else g.weird_int()
                         for _ in slots]
            self.call(m.InitModel, *positions, names=slots, label="InitModel")
        elif r < 0.65:
            self.call(m.SetParameters, g.sequence([g.weird_float() for _ in range(nparams + 1)]),
                      label="SetParameters")
        elif r < 0.75 and isinstance(m, sc.JunctionTJMModel):
            items = [g.pick(["tjm", "none", b"tjm", 5, None])] + \
                    [g.weird_float() for _ in range(g.rng.randint(0, 6))]
            self.call(m.InitTJMModel, g.sequence(items), label="InitTJMModel")
        elif r < 0.85:
            self.pickling(m)
        elif r < 0.92:
            self.models.remove(m)
            del m
            gc.collect()
        else:
            self.models.append(self.new_model())
            self.bind(self.models[-1])

    def pickling(self, m):
        g = self.g
        action = g.rng.randrange(7)
        if action == 0:
            self.call(pickle.dumps, m, label="pickle.dumps")
        elif action == 1:
            self.call(copy.copy, m, label="copy.copy")
        elif action == 2:
            self.call(m.__setstate__, g.pick([(), ({},), ({"a": 1},), None, 5, ({1: 2},), ([],)]),
                      label="__setstate__")
        elif action == 3:
            base = Holder()
            base.extra = g.weird_float()
            self.call(pickle.loads, pickle.dumps(base), label="pickle.loads")
        elif action == 4:
            cls = g.pick(list(CLASSES) + [int, object, type(m)])
            self.call(sc._rebuild_ElementModel, cls, g.pick([222419149, 0, g.weird_int()]),
                      g.pick([(), ({},), None, ({"x": 1},), 3, (1, 2)]),
                      names=("type", "checksum", "state"), label="_rebuild_ElementModel")
        elif action == 5:
            self.call(sc.ElementModel.__reduce__, m, label="ElementModel.__reduce__")
        else:
            cls = g.pick(list(CLASSES))
            self.call(cls.__new__, g.pick(list(CLASSES) + [int]), label="__new__")

    def march(self):
        """Points in a row, accepted or not, as a time loop makes them: the
        lines' histories fill, turn over, thin, restart and go back in time."""
        g = self.g
        t, step = g.rng.uniform(0, 3), g.pick([0.004, 0.02, 0.1, 0.3, 1.0])
        for _ in range(g.rng.randint(1, 30)):
            r = g.rng.random()
            if r < 0.8:
                t += step if g.chance(0.8) else g.pick([0.004, 0.05, 0.1, 0.3, 1.0, 3.0])
            elif r < 0.9:
                t -= g.pick([0.0, 0.3, 5.0])
            G.CurrentTime = t if g.ok() else g.weird_float()
            self.driver(g.pick(["UpdateRHS", "UpdateMatrix", "BuildMatrix"]))
            if g.chance(0.8):
                self.call(sc.UpdateValues, label="UpdateValues")
            elif g.chance(0.2):
                self.driver("BuildStaticMatrix")

    def hostile_step(self):
        """What a hook does when the kernel calls back into the host."""
        g = self.g
        r = g.rng.random()
        if r < 0.35:
            self.driver(g.pick(DRIVERS))
        elif r < 0.6:
            self.model_step()
        elif r < 0.9:
            self.change_host()
        else:
            gc.collect()

    def step(self):
        r = self.rng.random()
        if r < 0.03:
            self.march()
        elif r < 0.5:
            self.driver(self.g.pick(DRIVERS))
        elif r < 0.7:
            self.change_host()
        elif r < 0.95:
            self.model_step()
        else:
            self.reset()


def run_case(rng, log=None):
    """One case: a fresh circuit, then 1 to 12 steps. Returns the calls made."""
    return play(KernelWorld(rng, log), rng)
