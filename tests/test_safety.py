"""Bad host input becomes a Python exception, never a crash or a write out
of bounds: indices are checked when models are built and bound, array
lengths when a driver runs, and the kernel keeps what it points into alive."""

import numpy as np
import pytest

from conftest import Element, run_isolated
from quenda import SimulationParameters as SP
from quenda import qdglobals as G
from quenda import stampcore as sc


def bound(cls=sc.ResistorModel, i=1, j=2, e=0, positions=(0, 1, 2, 3)):
    m = cls(i, j, e)
    m.InitModel(*positions)
    return m


@pytest.mark.parametrize(
    "args, text",
    [
        ((-1, 2, 0), "ResistorModel: node number i must not be negative (got -1)"),
        ((1, -2, 0), "ResistorModel: node number j must not be negative (got -2)"),
        ((1, 2, -1), "ResistorModel: eindex must not be negative (got -1)"),
        ((0, 0, 0), "ResistorModel: both terminals are ground (i = j = 0)"),
    ],
)
def test_constructor_refuses_impossible_indices(host, args, text):
    with pytest.raises(ValueError) as info:
        sc.ResistorModel(*args)
    assert str(info.value) == text
    # A refused re-initialisation stores nothing.
    m = bound()
    with pytest.raises(ValueError):
        m.__init__(*args)
    host.collect(m)
    a1 = host.build(4, 8)[1]
    assert a1[0] == 8.0


@pytest.mark.parametrize(
    "setup, args, text",
    [
        (lambda: None, (9, 2, 0), "ResistorModel: node number i = 9 is beyond the node arrays (8 entries)"),
        (lambda: setattr(G, "NodeVoltage", np.zeros(4)), (1, 5, 0),
         "ResistorModel: node number j = 5 is beyond the node arrays (4 entries)"),
        (lambda: None, (1, 2, 8), "ResistorModel: eindex = 8 is beyond the element arrays (8 entries)"),
        (lambda: setattr(G, "ElementPhase", np.zeros(2)), (1, 2, 2),
         "ResistorModel: eindex = 2 is beyond the element arrays (2 entries)"),
    ],
)
def test_init_model_checks_indices_against_arrays(host, setup, args, text):
    setup()
    m = sc.ResistorModel(*args)
    with pytest.raises(IndexError) as info:
        m.InitModel(0, 1, 2, 3)
    assert str(info.value) == text
    G.ElementList, G.TotalElements = [type("E", (), {"model": m})()], 1
    with pytest.raises(ValueError, match="not bound to the host arrays"):
        sc.InitElementModels()


@pytest.mark.parametrize(
    "ij, positions, ok",
    [((1, 2), (0, -1, 2, 3), False), ((1, 0), (0, -1, -1, -1), True),
     ((0, 2), (-1, -1, -1, 3), True), ((0, 2), (-1, -1, -1, -3), False)],
)
def test_only_read_slots_must_be_positions(host, ij, positions, ok):
    m = sc.ResistorModel(*ij, 0)
    if ok:
        m.InitModel(*positions)
    else:
        with pytest.raises(IndexError, match="slot position ind_.. is negative"):
            m.InitModel(*positions)


def test_none_in_host_state(host):
    G.ElementVoltage = None
    with pytest.raises(TypeError) as info:
        bound()
    assert str(info.value) == "Cannot convert NoneType to numpy.ndarray"
    G.ElementVoltage = np.zeros(8)
    host.collect(bound())
    SP.DX = None
    with pytest.raises(TypeError, match="Cannot convert NoneType to numpy.ndarray"):
        sc.UpdateRHS(np.zeros(8))


def test_read_only_element_array_is_refused_at_binding(host):
    G.ElementCurrent.flags.writeable = False
    with pytest.raises(ValueError, match="buffer source array is read-only"):
        bound()


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: sc.BuildStaticMatrix(np.zeros(3)), "A0 has 3 values, but the element models stamp slot position 3"),
        (lambda: sc.BuildMatrix(np.zeros(8), np.zeros(8), np.zeros(4)), "A1 has 8 values, but the element models stamp slot position 9"),
        (lambda: sc.BuildMatrix(np.zeros(10), np.zeros(0), np.zeros(8)), None),  # nothing stamps A2
        (lambda: sc.UpdateMatrix(np.zeros(4), np.zeros(6)), "B has 6 values, but the element models use unknown 7"),
        (lambda: sc.UpdateRHS(np.zeros(6)), "B has 6 values, but the element models use unknown 7"),
    ],
)
def test_drivers_refuse_short_arrays(host, call, text):
    ind = bound(sc.InductorModel, 1, 2, 0, (0, 1, 2, 3))
    cap = bound(sc.CapacitorModel, 7, 3, 1, (6, 7, 8, 9))
    res = bound(sc.ResistorModel, 1, 0, 2, (0, -1, -1, -1))
    src = bound(sc.CurrentSourceModel, 2, 0, 3, (50, 50, 50, 50))  # positions never read
    host.collect(ind, cap, res, src)
    if text is None:
        call()
        return
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == text


def test_drivers_refuse_short_solution_arrays(host):
    host.collect(bound(sc.ResistorModel, 1, 6, 0))
    SP.DDX = np.zeros(5)
    b = np.zeros(8)
    with pytest.raises(ValueError) as info:
        sc.UpdateRHS(b)
    assert str(info.value) == "SP.DDX has 5 values, but the element models use unknown 6"
    assert not b.any()


def test_read_only_output_is_refused_before_any_stamp(host):
    host.arrays(8, 8, seed=1)
    host.collect(bound())
    a1, a2, b = np.zeros(4), np.zeros(4), np.zeros(8)
    b.flags.writeable = False
    with pytest.raises(ValueError, match="buffer source array is read-only"):
        sc.BuildMatrix(a1, a2, b)
    assert not a1.any()


def test_total_elements_beyond_the_collection(host):
    host.collect(bound())
    G.TotalElements = 2
    with pytest.raises(IndexError) as info:
        sc.UpdateValues()
    assert str(info.value) == ("TotalElements is 2, but the last successful InitElementModels "
                               "collected 1 element models")
    G.TotalElements = 1
    G.ElementList = [object()]
    with pytest.raises(AttributeError):
        sc.InitElementModels()
    with pytest.raises(IndexError, match="collected 0 element models"):
        sc.UpdateRHS(np.zeros(8))


@pytest.mark.parametrize(
    "model, exc, text",
    [
        ("R1", TypeError, "ElementList[0].model is not an element model (got str)"),
        (None, TypeError, "ElementList[0].model is not an element model (got NoneType)"),
        (sc.ResistorModel(1, 2, 0), ValueError,
         "ElementList[0].model (ResistorModel): not bound to the host arrays (its InitModel has not run)"),
    ],
)
def test_collection_refuses_what_is_not_a_bound_model(host, model, exc, text):
    G.ElementList = [type("E", (), {"model": model})()]
    G.TotalElements = 1
    with pytest.raises(exc) as info:
        sc.InitElementModels()
    assert str(info.value) == text


def test_rebinding_after_collection_is_checked_again(host):
    m = bound()
    host.collect(m)
    m.InitModel(0, 1, 2, 30)
    with pytest.raises(ValueError, match="stamp slot position 30"):
        sc.BuildMatrix(np.zeros(4), np.zeros(4), np.zeros(8))
    m.InitModel(0, 1, 2, 3)
    m.__init__(1, 20, 0)  # a node beyond the arrays it is bound to
    with pytest.raises(IndexError, match=r"ElementList\[0\]\.model \(ResistorModel\): node number j = 20"):
        sc.UpdateValues()


def test_empty_coefficient_list(host):
    host.collect(bound())
    SP.InterpCoeffDt = []
    with pytest.raises(IndexError, match="list index out of range"):
        sc.UpdateRHS(np.zeros(8))


def test_dropped_elements_and_replaced_arrays_stay_alive():
    rc, out, err = run_isolated("""
        import gc
        import numpy as np
        from quenda import qdglobals as G, SimulationParameters as SP, stampcore as sc
        n = 50
        G.NodePhase, G.NodeVoltage = np.ones(n), np.ones(n)
        for name in ("ElementPhase", "ElementVoltage", "ElementCurrent"):
            setattr(G, name, np.zeros(n))
        SP.X, SP.DX, SP.DDX, SP.DXprev = np.ones((3, n)), np.ones(n), np.ones(n), np.ones(n)
        class E:
            def __init__(self, m): self.model = m
            def UpdateParameters(self): pass
        models = [sc.ResistorModel(k + 1, 0, k) for k in range(n)]
        for m in models:
            m.InitModel(0, -1, -1, -1)
        G.ElementList, G.TotalElements = [E(m) for m in models], n
        sc.InitElementModels()
        current = G.ElementCurrent
        del models, G.ElementList, m
        G.NodeVoltage = G.ElementCurrent = None   # the host drops its arrays
        gc.collect()
        np.zeros(10**6)                            # reuse freed memory, if any was freed
        sc.UpdateValues()
        a1, b = np.zeros(1), np.zeros(n)
        sc.BuildMatrix(a1, np.zeros(1), b)
        print(current.sum(), a1[0], b.sum())
    """)
    assert rc == 0, err
    assert out.split() == ["50.0", "0.0", "-50.0"]


def test_finaliser_that_collects_again_while_models_are_released():
    # Releasing the previous models may run a finaliser that calls
    # InitElementModels again: each model is released once, the kept one too.
    rc, out, err = run_isolated("""
        import sys
        import numpy as np
        from quenda import qdglobals as G, stampcore as sc
        G.NodePhase, G.NodeVoltage = np.ones(4), np.ones(4)
        G.ElementPhase, G.ElementVoltage, G.ElementCurrent = np.zeros(4), np.zeros(4), np.zeros(4)
        finalised = []
        class Recollecting(sc.ResistorModel):
            def __del__(self):
                finalised.append(self)
                sc.InitElementModels()
        class E:
            def __init__(self, m): self.model = m
        kept = sc.ResistorModel(2, 0, 1)
        G.ElementList = [E(Recollecting(1, 0, 0)), E(kept)]
        for e in G.ElementList:
            e.model.InitModel(0, -1, -1, -1)
        G.TotalElements, G.TotalSourceElements, G.SourceElementList = 2, 0, []
        sc.InitElementModels()
        G.ElementList, G.TotalElements = [], 0
        before = sys.getrefcount(kept)
        sc.InitElementModels()
        print(len(finalised), before - sys.getrefcount(kept))
    """)
    assert rc == 0, err
    assert out.split() == ["1", "1"]


def test_module_global_rebound_by_host_code_during_a_call():
    # Host code run by a lookup in the middle of InitElementModels rebinds
    # the kernel's np, dropping the last other reference to the one the call
    # took at its start: that one is used to the end, alive (a use-after-free
    # under ASan when it was held borrowed).
    rc, out, err = run_isolated("""
        import numpy as np
        from quenda import qdglobals as G, stampcore as sc
        class FakeNumpy:
            float64 = np.float64
            def zeros(self, shape, dtype):
                return np.full(shape, 7.0)
        class Host:
            def __getattr__(self, name):
                if name == "TotalNodes":
                    sc.np = np
                return getattr(G, name)
        G.TotalNodes, G.TotalElements, G.TotalSourceElements = 2, 0, 0
        sc.np, sc.qdglobals = FakeNumpy(), Host()
        sc.InitElementModels()
        print(sc.RHSHelper[0, 0])
    """)
    assert rc == 0, err
    assert out.split() == ["7.0"]


def test_collection_counts_reserve_nothing():
    # The counts are only the host's word: a collection that fails on the
    # first missing element has set no memory aside for two billion models.
    rc, out, err = run_isolated("""
        from quenda import qdglobals as G, stampcore as sc
        def vm():
            return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmPeak"))
        G.ElementList, G.SourceElementList = [], []
        G.TotalElements = G.TotalSourceElements = 2**31 - 1
        before = vm()
        try:
            sc.InitElementModels()
        except IndexError as e:
            print(e)
        print((vm() - before) // 1024)  # kB to MiB
    """)
    assert rc == 0, err
    text, grown_mib = out.splitlines()
    assert text == "list index out of range"
    assert int(grown_mib) < 64


def test_positions_stored_while_a_driver_runs_in_between(host):
    # A conversion during InitModel calls a driver, which checks the positions
    # stored so far; the ones stored after it must be checked again.
    m = bound(sc.JunctionModel)
    host.collect(m)
    whole = np.zeros(16)
    a2, b = whole[8:12], np.zeros(8)

    class Position:
        def __int__(self):
            sc.UpdateMatrix(a2, b)
            return 1

    with pytest.raises(IndexError, match="slot position ind_ji is negative"):
        m.InitModel(0, Position(), -5, 3)
    with pytest.raises(IndexError, match=r"ElementList\[0\]\.model \(JunctionModel\): slot position ind_ji"):
        sc.UpdateMatrix(a2, b)
    assert not whole[:8].any() and not whole[12:].any()


def test_binding_replaced_from_the_finaliser_of_an_array_it_releases():
    # Re-binding releases the arrays of the previous binding; a finaliser run
    # by that may bind the model once more. The model then holds that last
    # binding, whose arrays its addresses point into and whose lengths it is
    # checked against.
    rc, out, err = run_isolated("""
        import numpy as np
        from quenda import qdglobals as G, stampcore as sc
        G.NodePhase, G.NodeVoltage = np.ones(4), np.arange(4.0)
        G.ElementPhase, G.ElementVoltage = np.zeros(8), np.zeros(8)
        whole = np.zeros(16)
        m = sc.ResistorModel(1, 2, 0)
        class Storage(bytearray):
            def __del__(self):
                G.ElementCurrent = whole[:1]
                m.InitModel(0, 1, 2, 3)
        G.ElementCurrent = np.frombuffer(Storage(64))
        m.InitModel(0, 1, 2, 3)
        G.ElementCurrent = np.zeros(8)
        m.InitModel(0, 1, 2, 3)  # releases the first binding, and Storage with it
        class E:
            model = m
        G.ElementList, G.TotalElements = [E()], 1
        G.SourceElementList, G.TotalSourceElements = [], 0
        sc.InitElementModels()
        m.__init__(1, 2, 7)
        try:
            sc.UpdateValues()
        except IndexError as e:
            print(e)
        print(whole[1:].any())
    """)
    assert rc == 0, err
    assert out.splitlines() == [
        "ElementList[0].model (ResistorModel): eindex = 7 is beyond the element arrays (1 entries)",
        "False"]


def test_driver_called_while_the_models_are_collected(host):
    # The host code that hands over a model may call a driver: it sees the
    # models collected so far, checked against the arrays it is given.
    wide, narrow = bound(sc.ResistorModel, 1, 7, 0), bound()
    host.collect(narrow)
    whole = np.zeros(12)
    b = whole[:2]

    class Calling:
        @property
        def model(self):
            G.TotalElements = 1
            with pytest.raises(ValueError, match="B has 2 values, but the element models use unknown 7"):
                sc.UpdateRHS(b)
            return bound()

    G.ElementList = [Element(wide), Calling()]
    G.TotalElements = 2
    sc.InitElementModels()
    assert not whole[2:].any()
