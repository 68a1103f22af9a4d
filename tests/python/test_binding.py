# SPDX-License-Identifier: MIT
"""Binding of DataPy(d, n, wl, theta, phi): argument placement, the binder's
TypeError texts, the per-argument prefix and the float conversion of theta
and phi."""

import ctypes
import math

import numpy as np
import pytest

import lamiro
from conftest import TWO_D_MESSAGE, catch_panic, conversion_message, stack

FN = "DataPy.__new__()"


def call_with_raw_kwargs(args, kwargs):
    """Calls DataPy through PyObject_Call, so that kwargs reaches the
    constructor as it is (the interpreter's own call syntax refuses keys
    that are not strings before the constructor is reached)."""
    call = ctypes.pythonapi.PyObject_Call
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    call.restype = ctypes.py_object
    return call(lamiro.DataPy, tuple(args), kwargs)


def interpreter_float_error(obj):
    """The exception that the interpreter's own float conversion raises for obj."""
    as_double = ctypes.pythonapi.PyFloat_AsDouble
    as_double.argtypes = [ctypes.py_object]
    as_double.restype = ctypes.c_double
    try:
        as_double(obj)
    except BaseException as exc:  # noqa: BLE001
        return exc
    raise AssertionError(f"{obj!r} converts to float")


@pytest.fixture
def arrays():
    return stack(3)


def attributes(obj):
    return (obj.d.tobytes(), obj.n.tobytes(), obj.n.shape, obj.wl.tobytes(), obj.theta, obj.phi)


# --- placement ------------------------------------------------------------


@pytest.mark.parametrize(
    "positional, keywords",
    [
        (5, ()),
        (0, ("d", "n", "wl", "theta", "phi")),
        (0, ("phi", "theta", "wl", "n", "d")),
        (3, ("phi", "theta")),
        (3, ("theta", "phi")),
        (1, ("wl", "phi", "n", "theta")),
        (4, ("phi",)),
    ],
    ids=["all-positional", "all-keyword", "keywords-reversed", "3pos-phi-theta",
         "3pos-theta-phi", "1pos-mixed-order", "4pos-phi"],
)
def test_positional_and_keyword_bind_identically(arrays, positional, keywords):
    d, n, wl = arrays
    values = {"d": d, "n": n, "wl": wl, "theta": 0.1, "phi": 0.7}
    names = ["d", "n", "wl", "theta", "phi"]
    args = [values[k] for k in names[:positional]]
    kwargs = {k: values[k] for k in keywords}
    reference = lamiro.DataPy(d, n, wl, 0.1, 0.7)
    assert attributes(lamiro.DataPy(*args, **kwargs)) == attributes(reference)


def test_str_subclass_key_binds_by_its_text(arrays):
    class Key(str):
        pass

    d, n, wl = arrays
    obj = lamiro.DataPy(d, n, wl, 0.1, **{Key("phi"): 0.25})
    assert obj.phi == 0.25


# --- binder messages --------------------------------------------------------

MISSING = [
    ((), {}, "missing 5 required positional arguments: 'd', 'n', 'wl', 'theta', and 'phi'"),
    (("d",), {}, "missing 4 required positional arguments: 'n', 'wl', 'theta', and 'phi'"),
    (("d", "n"), {}, "missing 3 required positional arguments: 'wl', 'theta', and 'phi'"),
    (("d", "n", "wl"), {}, "missing 2 required positional arguments: 'theta' and 'phi'"),
    (("d", "n", "wl", 0.1), {}, "missing 1 required positional argument: 'phi'"),
    ((), {"n": "n", "wl": "wl", "theta": 0.1, "phi": 0.0},
     "missing 1 required positional argument: 'd'"),
    (("d",), {"wl": "wl", "phi": 0.0}, "missing 2 required positional arguments: 'n' and 'theta'"),
    ((), {"theta": 0.1}, "missing 4 required positional arguments: 'd', 'n', 'wl', and 'phi'"),
    ((), {"phi": 0.0, "d": "d"}, "missing 3 required positional arguments: 'n', 'wl', and 'theta'"),
]

TOO_MANY = [
    (("d", "n", "wl", 0.1, 0.0, 7), {}, "takes 5 positional arguments but 6 were given"),
    (("d", "n", "wl", 0.1, 0.0, 7, 8), {}, "takes 5 positional arguments but 7 were given"),
    # Too many positional arguments end the binding before any keyword is looked at.
    (("d", "n", "wl", 0.1, 0.0, 7), {"theta": 0.2},
     "takes 5 positional arguments but 6 were given"),
    (("d", "n", "wl", 0.1, 0.0, 7), {"x": 1}, "takes 5 positional arguments but 6 were given"),
]

MULTIPLE = [
    (("d", "n", "wl", 0.1, 0.0), {"theta": 0.2}, "got multiple values for argument 'theta'"),
    (("d", "n", "wl", 0.1, 0.0), {"d": "d"}, "got multiple values for argument 'd'"),
    # Reported before the arguments that are still missing.
    (("d",), {"d": "d"}, "got multiple values for argument 'd'"),
    (("d", "n"), {"phi": 0.0, "n": "n"}, "got multiple values for argument 'n'"),
]

UNEXPECTED = [
    (("d", "n", "wl", 0.1, 0.0), {"Theta": 0.2}, "got an unexpected keyword argument 'Theta'"),
    ((), {"x": 1}, "got an unexpected keyword argument 'x'"),
    (("d", "n", "wl", 0.1), {"phi": 0.0, "extra": 1},
     "got an unexpected keyword argument 'extra'"),
    ((), {"théta": 1}, "got an unexpected keyword argument 'théta'"),
    ((), {"": 1}, "got an unexpected keyword argument ''"),
    ((), {"theta ": 1}, "got an unexpected keyword argument 'theta '"),
]

# Keywords are visited in dictionary order: the first bad entry decides.
KEYWORD_ORDER = [
    (("d",), {"x": 1, "d": "d"}, "got an unexpected keyword argument 'x'"),
    (("d",), {"d": "d", "x": 1}, "got multiple values for argument 'd'"),
    ((), {"y": 1, "x": 1}, "got an unexpected keyword argument 'y'"),
    ((), {"x": 1, "y": 1}, "got an unexpected keyword argument 'x'"),
    (("d", "n", "wl", 0.1, 0.0), {"phi": 1, "theta": 1}, "got multiple values for argument 'phi'"),
]


def substitute(arrays, args, kwargs):
    d, n, wl = arrays
    table = {"d": d, "n": n, "wl": wl}
    args = [table.get(a, a) if isinstance(a, str) else a for a in args]
    kwargs = {k: table.get(v, v) if isinstance(v, str) else v for k, v in kwargs.items()}
    return args, kwargs


def case_id(case):
    args, kwargs, _ = case
    shown = [a if isinstance(a, str) else repr(a) for a in args]
    shown += [f"{k}=" for k in kwargs]
    return "(" + ",".join(shown) + ")"


@pytest.mark.parametrize(
    "args, kwargs, message",
    MISSING + TOO_MANY + MULTIPLE + UNEXPECTED + KEYWORD_ORDER,
    ids=[f"missing{case_id(c)}" for c in MISSING]
    + [f"too-many{case_id(c)}" for c in TOO_MANY]
    + [f"multiple{case_id(c)}" for c in MULTIPLE]
    + [f"unexpected{case_id(c)}" for c in UNEXPECTED]
    + [f"order{case_id(c)}" for c in KEYWORD_ORDER],
)
def test_binder_message(arrays, args, kwargs, message):
    args, kwargs = substitute(arrays, args, kwargs)
    with pytest.raises(TypeError) as info:
        lamiro.DataPy(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"{FN} {message}"
    assert info.value.args == (f"{FN} {message}",)


@pytest.mark.parametrize(
    "key, shown",
    [(1, "1"), (None, "None"), ((1, 2), "(1, 2)"), (b"theta", "b'theta'")],
    ids=["int", "None", "tuple", "bytes"],
)
def test_unreadable_key_is_unexpected_and_named_by_str(arrays, key, shown):
    d, n, wl = arrays
    with pytest.raises(TypeError) as info:
        call_with_raw_kwargs((d, n, wl, 0.1, 0.0), {key: 1})
    assert str(info.value) == f"{FN} got an unexpected keyword argument '{shown}'"


def test_key_that_cannot_be_encoded_is_unexpected(arrays):
    # A lone surrogate has no UTF-8 form, so it matches no parameter. The
    # message is UTF-8 text as well: the key shows either as itself or with
    # its unencodable code point replaced.
    d, n, wl = arrays
    key = "th\ud800"
    with pytest.raises(TypeError) as info:
        lamiro.DataPy(d, n, wl, 0.1, **{key: 0.0})
    assert type(info.value) is TypeError
    lossy = key.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    assert str(info.value) in (
        f"{FN} got an unexpected keyword argument '{key}'",
        f"{FN} got an unexpected keyword argument '{lossy}'",
    )


def test_unprintable_key_is_named_generically(arrays, monkeypatch):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    with pytest.raises(TypeError) as info:
        call_with_raw_kwargs((), {Unprintable(): 1})
    assert str(info.value) == (
        f"{FN} got an unexpected keyword argument '<unprintable Unprintable object>'"
    )
    assert len(seen) == 1 and type(seen[0].exc_value) is RuntimeError


def test_non_string_key_after_a_good_one_is_still_reported(arrays):
    d, n, wl = arrays
    with pytest.raises(TypeError) as info:
        call_with_raw_kwargs((d, n, wl), {"theta": 0.1, 5: 0.0})
    assert str(info.value) == f"{FN} got an unexpected keyword argument '5'"


# --- several faults at once: the first in argument order is reported -------------


@pytest.mark.parametrize(
    "build, expected",
    [
        # binder before any conversion
        (lambda d, n, wl: lamiro.DataPy([1.0], n, wl, 0.1), "missing 1 required positional argument: 'phi'"),
        (lambda d, n, wl: lamiro.DataPy([1.0], [2.0], wl, "x", 0.0, 7), "takes 5 positional arguments but 6 were given"),
        # d before n before wl before theta before phi
        (lambda d, n, wl: lamiro.DataPy([1.0], [2.0], [3.0], "x", "y"), conversion_message("d", "list")),
        (lambda d, n, wl: lamiro.DataPy(d, n.real.copy(), (3.0,), "x", "y"), conversion_message("n", "ndarray")),
        (lambda d, n, wl: lamiro.DataPy(d, n, None, "x", "y"), conversion_message("wl", "NoneType")),
        (lambda d, n, wl: lamiro.DataPy(d=d, phi="y", theta="x", n=n, wl=wl), "theta"),
        (lambda d, n, wl: lamiro.DataPy(d, n, wl, 0.1, "y"), "phi"),
        # conversion errors come before the dimension check of n
        (lambda d, n, wl: lamiro.DataPy(d, n[0], wl, "x", 0.0), "theta"),
        (lambda d, n, wl: lamiro.DataPy(d, n[0], wl, 0.0, "y"), "phi"),
    ],
    ids=["binder-before-d", "too-many-before-all", "d-first", "n-before-wl", "wl-before-theta",
         "theta-before-phi", "phi-alone", "theta-before-2d-rule", "phi-before-2d-rule"],
)
def test_first_fault_in_argument_order_wins(arrays, build, expected):
    with pytest.raises(TypeError) as info:
        build(*arrays)
    if expected in ("theta", "phi"):
        base = interpreter_float_error("x" if expected == "theta" else "y")
        assert str(info.value) == f"argument '{expected}': {base}"
    elif expected.startswith("argument"):
        assert str(info.value) == expected
    else:
        assert str(info.value) == f"{FN} {expected}"


# --- theta and phi: float conversion and the argument prefix --------------------


class WithFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class WithIndex:
    def __index__(self):
        return 7


class FloatSub(float):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (1, 1.0),
        (-3, -3.0),
        (True, 1.0),
        (False, 0.0),
        (2**53 + 1, float(2**53 + 1)),
        (-1.0, -1.0),
        (FloatSub(0.3), 0.3),
        (np.float64(0.1), 0.1),
        (np.float32(0.1), float(np.float32(0.1))),
        (np.int64(-5), -5.0),
        (np.int8(3), 3.0),
        (np.bool_(True), 1.0),
        (WithFloat(0.625), 0.625),
        (WithFloat(-1.0), -1.0),
        (WithIndex(), 7.0),
        (math.inf, math.inf),
        (-math.inf, -math.inf),
        (1e308, 1e308),
        (5e-324, 5e-324),
    ],
    ids=["int", "negative-int", "True", "False", "big-int-rounded", "minus-one",
         "float-subclass", "np.float64", "np.float32", "np.int64", "np.int8", "np.bool_",
         "__float__", "__float__-minus-one", "__index__", "inf", "-inf", "huge", "subnormal"],
)
@pytest.mark.parametrize("name", ["theta", "phi"])
def test_extract_float_accepts(arrays, name, value, expected):
    d, n, wl = arrays
    kwargs = {"theta": 0.0, "phi": 0.0, name: value}
    obj = lamiro.DataPy(d, n, wl, **kwargs)
    got = getattr(obj, name)
    assert type(got) is float
    assert got == expected and math.copysign(1.0, got) == math.copysign(1.0, expected)


@pytest.mark.parametrize("name", ["theta", "phi"])
def test_extract_float_keeps_nan_and_negative_zero(arrays, name):
    d, n, wl = arrays
    nan_obj = lamiro.DataPy(d, n, wl, **{"theta": 0.0, "phi": 0.0, name: math.nan})
    assert math.isnan(getattr(nan_obj, name))
    zero_obj = lamiro.DataPy(d, n, wl, **{"theta": 0.0, "phi": 0.0, name: -0.0})
    assert math.copysign(1.0, getattr(zero_obj, name)) == -1.0


@pytest.mark.parametrize(
    "value",
    ["0.5", b"0.5", None, [0.5], 1j, object(), np.array([0.5, 0.25])],
    ids=["str", "bytes", "None", "list", "complex", "object", "2-element-array"],
)
@pytest.mark.parametrize("name", ["theta", "phi"])
def test_interpreter_type_error_gets_prefix(arrays, name, value):
    d, n, wl = arrays
    kwargs = {"theta": 0.0, "phi": 0.0, name: value}
    with pytest.raises(TypeError) as info:
        lamiro.DataPy(d, n, wl, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {interpreter_float_error(value)}"


class Raising:
    """An object whose __float__ raises the exception it is given and keeps it."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("name", ["theta", "phi"])
def test_prefixed_error_carries_the_cause_of_the_original(arrays, name):
    d, n, wl = arrays
    root = KeyError("root")
    original = TypeError("no number here")
    original.__cause__ = root
    with pytest.raises(TypeError) as info:
        lamiro.DataPy(d, n, wl, **{"theta": 0.0, "phi": 0.0, name: Raising(original)})
    err = info.value
    assert type(err) is TypeError
    assert str(err) == f"argument '{name}': no number here"
    assert err is not original
    assert err.__cause__ is root
    assert err.__context__ is not original


@pytest.mark.parametrize("name", ["theta", "phi"])
def test_prefixed_error_without_cause_has_none(arrays, name):
    d, n, wl = arrays
    original = TypeError("plain")
    with pytest.raises(TypeError) as info:
        lamiro.DataPy(d, n, wl, **{"theta": 0.0, "phi": 0.0, name: Raising(original)})
    assert str(info.value) == f"argument '{name}': plain"
    assert info.value.__cause__ is None
    assert info.value.__context__ is not original


@pytest.mark.parametrize(
    "exc",
    [ValueError("bad value"), MyTypeError("subclass of TypeError"),
     ZeroDivisionError("zero"), OverflowError("big")],
    ids=["ValueError", "TypeError-subclass", "ZeroDivisionError", "OverflowError"],
)
@pytest.mark.parametrize("name", ["theta", "phi"])
def test_other_exception_types_pass_unchanged(arrays, name, exc):
    d, n, wl = arrays
    with pytest.raises(type(exc)) as info:
        lamiro.DataPy(d, n, wl, **{"theta": 0.0, "phi": 0.0, name: Raising(exc)})
    assert info.value is exc
    assert info.value.args == exc.args


def test_int_too_large_for_float_passes_overflow_error_unchanged(arrays):
    d, n, wl = arrays
    expected = interpreter_float_error(10**400)
    with pytest.raises(OverflowError) as info:
        lamiro.DataPy(d, n, wl, 10**400, 0.0)
    assert str(info.value) == str(expected)


def test_unprintable_conversion_error_text(arrays, monkeypatch):
    class NoText:
        def __str__(self):
            raise RuntimeError("no text")

    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    d, n, wl = arrays
    with pytest.raises(TypeError) as info:
        lamiro.DataPy(d, n, wl, Raising(TypeError(NoText())), 0.0)
    assert str(info.value) == "argument 'theta': <unprintable TypeError object>"
    assert len(seen) == 1 and type(seen[0].exc_value) is RuntimeError


def test_bad_theta_is_reported_before_the_2d_rule_and_2d_rule_still_applies(arrays, panic_type):
    d, n, wl = arrays
    with pytest.raises(TypeError):
        lamiro.DataPy(d, n[0], wl, "x", 0.0)
    exc = catch_panic(lambda: lamiro.DataPy(d, n[0], wl, 0.0, 0.0))
    assert type(exc) is panic_type and str(exc) == TWO_D_MESSAGE
