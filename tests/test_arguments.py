"""The texts users see when they call the kernel wrongly: argument counts,
keywords, argument types, buffer layouts and number conversions."""

import numpy as np
import pytest

from quenda import qdglobals as G
from quenda import stampcore as sc

LINEAR = [sc.ResistorModel, sc.CapacitorModel, sc.InductorModel, sc.CurrentSourceModel]


def count_error(func, required, given):
    plural = "" if required == 1 else "s"
    return f"{func}() takes exactly {required} positional argument{plural} ({given} given)"


def raises(exc, text, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == text


@pytest.mark.parametrize("cls", LINEAR)
@pytest.mark.parametrize("given", [0, 2, 4])
def test_constructor_count(cls, given):
    raises(TypeError, count_error("__init__", 3, given), cls, *range(1, given + 1))


@pytest.mark.parametrize("given", [0, 3, 5])
def test_init_model_count(given):
    r = sc.ResistorModel(1, 2, 0)
    raises(TypeError, count_error("InitModel", 4, given), r.InitModel, *range(given))


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((), {"i": 1, "eindex": 0}, count_error("__init__", 3, 1)),
        ((), {"j": 2, "eindex": 0}, count_error("__init__", 3, 0)),
        ((1,), {"eindex": 0}, count_error("__init__", 3, 1)),
        ((1, 2, 3, 4), {"d": 5}, count_error("__init__", 3, 4)),
        ((1, 2, 0), {"i": 1}, "__init__() got multiple values for keyword argument 'i'"),
        ((1, 2, 0), {"d": 4}, "__init__() got an unexpected keyword argument 'd'"),
        ((1,), {"j": 2, "eindex": 0, "k": 9}, "__init__() got an unexpected keyword argument 'k'"),
        ((1, 2, 0), {1: 2}, "__init__() keywords must be strings"),
    ],
)
def test_constructor_keywords(args, kwargs, text):
    raises(TypeError, text, lambda: sc.ResistorModel(*args, **kwargs))


def test_keywords_fill_like_positions(host):
    by_keyword = sc.ResistorModel(eindex=0, j=2, i=1)
    by_keyword.InitModel(ind_jj=3, ind_ii=0, ind_ij=1, ind_ji=2)
    by_position = sc.ResistorModel(1, 2, 0)
    by_position.InitModel(0, 1, 2, 3)
    results = []
    for m in (by_keyword, by_position):
        host.collect(m)
        results.append(host.build(4, 8))
    for a, b in zip(*results):
        np.testing.assert_array_equal(a, b)


def test_base_class_takes_nothing():
    raises(TypeError, count_error("__init__", 0, 1), sc.ElementModel, 1)
    raises(TypeError, "__init__() got an unexpected keyword argument 'x'", sc.ElementModel, x=1)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda a: sc.BuildMatrix(a, a), count_error("BuildMatrix", 3, 2)),
        (lambda a: sc.BuildMatrix(A1=a, A2=a, C=a), count_error("BuildMatrix", 3, 2)),
        (lambda a: sc.BuildMatrix(a, a, a, A1=a), "BuildMatrix() got multiple values for keyword argument 'A1'"),
        (lambda a: sc.UpdateMatrix(a), count_error("UpdateMatrix", 2, 1)),
        (lambda a: sc.UpdateMatrix(a, a, a), count_error("UpdateMatrix", 2, 3)),
        (lambda a: sc.UpdateMatrix(a, a, C=a), "UpdateMatrix() got an unexpected keyword argument 'C'"),
        (lambda a: sc.UpdateRHS(), "UpdateRHS() takes exactly one argument (0 given)"),
        (lambda a: sc.UpdateRHS(B=a), "UpdateRHS() takes no keyword arguments"),
        (lambda a: sc.BuildStaticMatrix(a, a), "BuildStaticMatrix() takes exactly one argument (2 given)"),
        (lambda a: sc.InitElementModels(a), "InitElementModels() takes no arguments (1 given)"),
        (lambda a: sc.UpdateValues(a), "UpdateValues() takes no arguments (1 given)"),
        (lambda a: sc.ResistorModel(1, 2, 0).SetParameters(), "SetParameters() takes exactly one argument (0 given)"),
        (lambda a: sc.ResistorModel(1, 2, 0).SetParameters(params=[1]), "SetParameters() takes no keyword arguments"),
    ],
)
def test_driver_and_method_counts(call, text):
    raises(TypeError, text, call, np.zeros(4))


class Plain:
    pass


@pytest.mark.parametrize(
    "bad, got",
    [([0.0], "list"), (None, "NoneType"), (np.float64(1.0), "numpy.float64"), (Plain(), "Plain")],
)
@pytest.mark.parametrize("position, name", [(0, "A1"), (1, "A2"), (2, "B")])
def test_driver_argument_types(host, bad, got, position, name):
    args = [np.zeros(8) for _ in range(3)]
    args[position] = bad
    text = f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {got})"
    raises(TypeError, text, sc.BuildMatrix, *args)


def test_ndarray_subclass_passes(host):
    class Sub(np.ndarray):
        pass

    sc.UpdateRHS(np.zeros(8).view(Sub))


FLOAT_BUFFERS = [
    (np.zeros((2, 4)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.array(1.0), "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (np.zeros(4, np.float32), "Buffer dtype mismatch, expected 'FLOAT_t' but got 'float'"),
    (np.zeros(4, np.int64), "Buffer dtype mismatch, expected 'FLOAT_t' but got 'long'"),
    (np.zeros(4, np.complex128), "Buffer dtype mismatch, expected 'FLOAT_t' but got 'complex double'"),
    (np.zeros(4, np.bool_), "Buffer dtype mismatch, expected 'FLOAT_t' but got 'bool'"),
    (np.zeros(4, np.float16), "Does not understand character buffer dtype format string ('e')"),
    (np.zeros(4, ">f8"), "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros((4, 2))[:, 0], "ndarray is not C-contiguous"),
]


@pytest.mark.parametrize("array, text", FLOAT_BUFFERS)
def test_driver_buffer_layout(host, array, text):
    raises(ValueError, text, sc.UpdateRHS, array)


@pytest.mark.parametrize("array, text", FLOAT_BUFFERS[:4] + [FLOAT_BUFFERS[-1]])
def test_bound_array_layout(host, array, text):
    G.NodePhase = array
    raises(ValueError, text, sc.ResistorModel(1, 2, 0).InitModel, 0, 1, 2, 3)


@pytest.mark.parametrize(
    "value, exc, text",
    [
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (1e10, OverflowError, "value too large to convert to int"),
        (2**70, OverflowError, "Python int too large to convert to C long"),
        ("1", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (1j, TypeError, "an integer is required"),
        (float("nan"), ValueError, "cannot convert float NaN to integer"),
        (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    ],
)
def test_integer_conversion(value, exc, text):
    raises(exc, text, sc.ResistorModel, 1, value, 0)


def test_integer_conversion_accepts_int_likes(host):
    class IndexOnly:
        def __index__(self):
            return 1

    raises(TypeError, "an integer is required", sc.ResistorModel, IndexOnly(), 2, 0)
    # Floats truncate toward zero, NumPy integers and bools pass.
    m = sc.ResistorModel(np.int64(3), True, 0.9)
    m.InitModel(0, 1, 2, 3)
    host.collect(m)
    SP_voltages = np.arange(1.0, 9.0)
    from quenda import SimulationParameters as SP

    SP.DX = SP_voltages
    b = np.zeros(8)
    sc.UpdateRHS(b)
    # Current from node 3 to node 1 through 1 ohm: (3 - 1) volts.
    np.testing.assert_array_equal(b[:3], [2.0, 0.0, -2.0])


def test_parameter_conversion():
    r = sc.ResistorModel(1, 2, 0)
    raises(TypeError, "must be real number, not str", r.SetParameters, ["1.0"])
    raises(IndexError, "list index out of range", r.SetParameters, [])
    raises(IndexError, "tuple index out of range", r.SetParameters, ())
    raises(TypeError, "'int' object is not subscriptable", r.SetParameters, 3)
