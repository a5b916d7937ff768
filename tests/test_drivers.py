"""The module frame and the six module functions: what they read from the
host, in which order, and what they leave alone."""

import numpy as np
import pytest

from conftest import Element, run_isolated
from quenda import SimulationParameters as SP
from quenda import qdglobals as G
from quenda import stampcore as sc


def resistor(i=1, j=2, e=0, r=2.0):
    m = sc.ResistorModel(i, j, e)
    m.InitModel(0, 1, 2, 3)
    m.SetParameters([r])
    return m


def test_module_frame():
    code = """
        from quenda import stampcore as sc
        names = [n for n in vars(sc) if not n.startswith('__')]
        print(names)
        print(sc.RHSHelper, sc.NTHREADS, sc.np.__name__, sc.SP.__name__, sc.qdconfig.__name__)
    """
    rc, out, err = run_isolated(code)
    assert rc == 0, err
    names, values = out.splitlines()
    names = eval(names)
    split = names.index("np")
    classes, rest = names[:split], names[split:]
    order = ["ElementModel", "InductorModel", "InductorImpedanceModel", "ResistorModel",
             "CapacitorModel", "CurrentSourceModel", "PhaseSourceModel", "VoltageSourceModel",
             "JunctionModel", "JunctionRSJNModel", "JunctionTJMModel", "JunctionPWLModel",
             "MutualInductanceModel", "TransmissionLineModel"]
    assert classes == [c for c in order if c in classes]
    assert {"ElementModel", "ResistorModel", "CapacitorModel", "InductorModel",
            "CurrentSourceModel"} <= set(classes)
    assert rest == ["np", "SP", "qdglobals", "qdconfig", "RHSHelper", "NTHREADS",
                    "InitElementModels", "BuildStaticMatrix", "BuildMatrix", "UpdateMatrix",
                    "UpdateRHS", "UpdateValues", "_rebuild_ElementModel", "_KERNEL_API"]
    assert values == "None 4 numpy quenda.SimulationParameters quenda.qdconfig"


def test_rhs_helper_follows_nthreads(host):
    sc.NTHREADS = 2
    G.TotalNodes = 10
    host.collect()
    assert sc.RHSHelper.shape == (2, 10) and sc.RHSHelper.dtype == np.float64
    assert not sc.RHSHelper.any()
    del sc.NTHREADS
    with pytest.raises(NameError, match="name 'NTHREADS' is not defined"):
        sc.InitElementModels()


def test_no_elements_touch_nothing(host):
    host.collect()
    a = [np.ones(3) for _ in range(4)]
    for arr in a:
        arr.flags.writeable = False  # no model is handed a view, so no write is needed
    sc.BuildStaticMatrix(a[0])
    sc.BuildMatrix(a[1], a[2], a[3])
    sc.UpdateMatrix(a[2], a[3])
    sc.UpdateRHS(a[3])
    sc.UpdateValues()
    assert all((arr == 1).all() for arr in a)


def test_stamps_accumulate(host):
    host.arrays(8, 8, seed=1)
    host.collect(resistor())
    a1, a2, b = np.zeros(4), np.zeros(4), np.zeros(8)
    sc.BuildMatrix(a1, a2, b)
    once = a1.copy(), b.copy()
    sc.BuildMatrix(A1=a1, A2=a2, B=b)
    np.testing.assert_array_equal(a1, 2 * once[0])
    np.testing.assert_array_equal(b, 2 * once[1])
    sc.UpdateMatrix(B=b, A2=a2)
    sc.UpdateRHS(b)
    np.testing.assert_array_equal(b, 4 * once[1])


def test_float32_b_leaves_the_matrices(host):
    host.collect(resistor())
    a1, a2 = np.full(4, 7.0), np.full(4, 7.0)
    with pytest.raises(ValueError) as info:
        sc.BuildMatrix(a1, a2, np.zeros(8, np.float32))
    assert str(info.value) == "Buffer dtype mismatch, expected 'FLOAT_t' but got 'float'"
    assert (a1 == 7).all() and (a2 == 7).all()


def test_previous_phases_index_wraps(host):
    host.collect(resistor())
    rows = [np.zeros(8), np.zeros(8), np.zeros(8, np.float32)]
    SP.X, SP.Xind = rows, 0  # X[Xind - 1] is the last row
    with pytest.raises(ValueError, match="'FLOAT_t' but got 'float'"):
        sc.UpdateMatrix(np.zeros(4), np.zeros(8))
    SP.Xind = 1
    sc.UpdateMatrix(np.zeros(4), np.zeros(8))


class Recorder:
    """A host module stand-in that records which attributes are read."""

    def __init__(self, module, **values):
        self.__dict__["_module"] = module
        self.__dict__["read"] = []
        self.__dict__["_values"] = values

    def __getattr__(self, name):
        self.read.append(name)
        if name in self._values:
            return self._values[name]
        return getattr(self._module, name)


@pytest.mark.parametrize(
    "optimize, now, ramp, refreshed",
    [(False, 5.0, 1.0, "all"), (True, 1.0, 1.0, "all"), (True, 0.5, 1.0, "all"),
     (True, 1.5, 1.0, "sources")],
)
def test_parameter_refresh(host, optimize, now, ramp, refreshed):
    m, s = resistor(), resistor()
    elements = host.collect(m, s, sources=[s])
    sources = G.SourceElementList
    G.OptimizeSimulation, G.CurrentTime, SP.INITIAL_RAMP = optimize, now, ramp
    sc.BuildStaticMatrix(np.zeros(4))
    assert [e.updates for e in elements] == ([1, 1] if refreshed == "all" else [0, 0])
    assert [e.updates for e in sources] == ([0] if refreshed == "all" else [1])


def test_refresh_without_optimisation_reads_no_time(host):
    host.collect(resistor())
    G.OptimizeSimulation = 0
    del G.CurrentTime, SP.INITIAL_RAMP
    sc.BuildStaticMatrix(np.zeros(4))


def test_refresh_error_leaves_a0(host):
    host.collect(resistor(), resistor())

    def fail():
        raise RuntimeError("no parameters for L7")

    G.ElementList[1].on_update = fail
    a0 = np.full(4, 3.0)
    with pytest.raises(RuntimeError, match="L7"):
        sc.BuildStaticMatrix(a0)
    assert G.ElementList[0].updates == 1 and (a0 == 3.0).all()


def test_update_values_needs_the_hold_band(host):
    host.arrays(8, 8, seed=2)
    host.collect(resistor())
    del SP.PHASE_HISTERESIS
    with pytest.raises(AttributeError):
        sc.UpdateValues()
    assert not G.ElementCurrent.any()


def test_rebound_host_module_is_seen(host):
    host.collect(resistor())
    stand_in = Recorder(SP, InterpCoeffDt=(3.0,))
    sc.SP = stand_in
    try:
        a1 = np.zeros(4)
        sc.BuildMatrix(a1, np.zeros(4), np.zeros(8))
    finally:
        sc.SP = SP
    assert a1[0] == 1.5
    assert stand_in.read[:4] == ["X", "Xind", "X", "Xind"]
    assert {"DX", "DDX", "DXprev", "InterpCoeffDDt", "InitialSmoothFactor", "TimeSteps"} <= set(stand_in.read)


def test_collection_reads_the_lists_afresh(host):
    m = resistor()
    host.collect(m)
    G.ElementList = (Element(m),)  # any sequence
    sc.InitElementModels()
    G.TotalElements = 2
    with pytest.raises(IndexError, match="tuple index out of range"):
        sc.InitElementModels()
