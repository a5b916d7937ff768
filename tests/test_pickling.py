"""Element models refuse pickling (their state is raw addresses of host
arrays); the base class pickles by reduction and comes back as itself."""

import pickle

import pytest

from quenda import stampcore as sc

PLAIN = ("self.elem_currents,self.elem_phases,self.elem_voltages,self.node_phases,"
         "self.node_voltages cannot be converted to a Python object for pickling")
WITH_DVOLTAGE = ("self.elem_currents,self.elem_phases,self.elem_voltages,self.node_dvoltages,"
                 "self.node_phases,self.node_voltages cannot be converted to a Python object "
                 "for pickling")


@pytest.mark.parametrize(
    "cls, text",
    [(sc.ResistorModel, PLAIN), (sc.InductorModel, PLAIN), (sc.CurrentSourceModel, PLAIN),
     (sc.CapacitorModel, WITH_DVOLTAGE)],
)
def test_elements_refuse(cls, text):
    m = cls(1, 2, 0)
    for attempt in (lambda: pickle.dumps(m), m.__reduce__, lambda: m.__setstate__(())):
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == text


class Tagged(sc.ElementModel):
    pass


def test_base_round_trip():
    assert type(pickle.loads(pickle.dumps(sc.ElementModel()))) is sc.ElementModel
    fn, args = sc.ElementModel().__reduce__()
    assert fn is sc._rebuild_ElementModel and args == (sc.ElementModel, 222419149, ())


def test_subclass_keeps_its_dict():
    t = Tagged()
    t.label = "L1"
    fn, args, state = t.__reduce__()
    assert args == (Tagged, 222419149, None) and state == ({"label": "L1"},)
    back = pickle.loads(pickle.dumps(t))
    assert type(back) is Tagged and back.label == "L1"


@pytest.mark.parametrize(
    "state, exc, text",
    [
        (5, TypeError, "Expected tuple, got int"),
        (None, TypeError, "object of type 'NoneType' has no len()"),
    ],
)
def test_setstate_errors(state, exc, text):
    with pytest.raises(exc) as info:
        sc.ElementModel().__setstate__(state)
    assert str(info.value) == text


def test_setstate_updates_dict_and_ignores_empty():
    t = Tagged()
    t.__setstate__(())
    t.__setstate__(({"x": 1},))
    assert t.x == 1
    sc.ElementModel().__setstate__(({"x": 1},))  # no __dict__: nothing to update


def test_bad_checksum():
    with pytest.raises(pickle.PickleError) as info:
        sc._rebuild_ElementModel(sc.ElementModel, 4660, ())
    assert str(info.value) == "Incompatible checksums (4660 vs 0xd41d8cd = ())"


def test_rebuild_skips_constructor():
    m = sc._rebuild_ElementModel(sc.ResistorModel, 222419149, None)
    assert type(m) is sc.ResistorModel
