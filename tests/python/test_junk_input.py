# SPDX-License-Identifier: MIT
"""Random objects and arrays thrown at DataPy(...) and simulate().

Every call must end in one of three ways, each predicted here from the
inputs alone: a result, a TypeError with the binder's or the converter's
text, or the module's PanicException with one of its fixed messages. Any
other outcome (a crash, a hang, another exception type, another message)
fails. Every result must equal, value for value, the result computed from
C-contiguous copies of the same inputs, whatever layout the inputs had.
"""

import fractions
import math
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import lamiro
from conftest import INDEX_MESSAGE, TWO_D_MESSAGE, conversion_message, same_bits, same_values

NAMES = ("d", "n", "wl", "theta", "phi")
FN = "DataPy.__new__()"
NON_NATIVE = ">" if sys.byteorder == "little" else "<"
F8 = np.dtype(np.float64)
C16 = np.dtype(np.complex128)

# Filling float16 or float32 arrays with huge values overflows on purpose.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

# --- values ----------------------------------------------------------------------

SPECIAL = [
    0.0, -0.0, 1.0, -1.0, 1.5, 2.0, 500.0,
    math.nan, -math.nan, math.inf, -math.inf,
    5e-324, -5e-324, 2.2250738585072014e-308, 1e-300, 1e-154,
    1e154, 1e300, 1.7976931348623157e308, -1.7976931348623157e308,
]
reals = st.one_of(st.sampled_from(SPECIAL), st.floats(width=64))
# Plausible optical values, so that many spectra are finite.
plausible = st.floats(min_value=0.1, max_value=5.0)
values_for_real = st.one_of(reals, plausible)
values_for_complex = st.builds(complex, values_for_real, values_for_real)


class Sub(np.ndarray):
    """An ndarray subclass: accepted like an ndarray."""


class Outer:
    class Inner:
        pass


def filled(dtype, shape, draw):
    """A C-contiguous array of the shape, values drawn per element."""
    size = math.prod(shape)
    if dtype.kind == "c":
        items = draw(st.lists(values_for_complex, min_size=size, max_size=size))
    else:
        items = draw(st.lists(values_for_real, min_size=size, max_size=size))
    out = np.empty(shape, dtype=dtype)
    if size:
        out.reshape(-1)[...] = np.array(items, dtype=dtype)
    return out


@st.composite
def relaid(draw, values):
    """A view with the logical content of `values` (shape, dtype, every
    element) but another memory layout: permuted axes, steps of either sign,
    unaligned or odd byte strides, zero strides, read-only, a subclass."""
    shape = values.shape
    kind = draw(st.sampled_from(["strided", "strided", "unaligned", "field", "broadcast", "same"]))
    if kind == "same":
        view = values
    elif kind == "broadcast":
        # Zero strides: the content is a broadcast, so the contiguous
        # copy compared later is the broadcast too.
        if values.ndim == 0 or values.size == 0:
            view = values
        else:
            axis = draw(st.integers(0, values.ndim - 1))
            view = np.broadcast_to(np.take(values, [0], axis=axis), shape)
    elif kind == "unaligned":
        if values.size == 0 or values.dtype.hasobject:
            view = values
        else:
            raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
            view = raw[1:].view(values.dtype).reshape(shape)
            view[...] = values
    elif kind == "field":
        # A field of a packed record: byte strides that are not a multiple
        # of the element size.
        record = np.dtype([("pad", "u1"), ("v", values.dtype)])
        view = np.zeros(shape, dtype=record)["v"]
        view[...] = values
    else:
        steps = [draw(st.sampled_from([1, 1, 2, 3, -1, -2])) for _ in shape]
        order = draw(st.permutations(range(len(shape))))
        base_shape = [max(length * abs(step), 1) for length, step in zip(shape, steps)]
        holder = np.zeros([base_shape[a] for a in order], dtype=values.dtype)
        base = holder.transpose(np.argsort(order))
        index = tuple(
            slice(length * -step - 1, None, step) if step < 0 and length else slice(0, length * step, step)
            for length, step in zip(shape, steps))
        view = base[index + (Ellipsis,)]
        view[...] = values
    assert view.shape == shape
    if draw(st.booleans()):
        view = view.view(Sub)
    if draw(st.integers(0, 3)) == 0:
        view = view.view()
        view.flags.writeable = False
    return view


WRONG_DTYPES = ["f4", "f2", "i8", "i4", "u1", "?", "c8", "O", "U2", "M8[s]", "g", "G",
                NON_NATIVE + "f8", NON_NATIVE + "c16"]

JUNK_OBJECTS = [
    None, 0, 1.5, -0.0, "abc", b"ab", [1.0, 2.0], [[1 + 0j]], (1.0,), {}, {"a": 1},
    np.float64(1.0), np.complex128(1j), object(), Outer.Inner(), memoryview(b"abcdefgh"),
    range(3), fractions.Fraction(1, 3),
]


@st.composite
def junk_array(draw, right_dtype):
    """An array that the converter may or may not take: any dtype, 0 to 3
    dimensions, zero-length axes, any layout."""
    dtype = draw(st.sampled_from([right_dtype] * 6 + WRONG_DTYPES))
    shape = tuple(draw(st.lists(st.integers(0, 4), min_size=0, max_size=3)))
    dtype = np.dtype(dtype)
    if dtype.kind in "fc":
        base = filled(dtype.newbyteorder("="), shape, draw).astype(dtype)
    else:
        base = np.zeros(shape, dtype=dtype)
    return draw(relaid(base))


@st.composite
def argument(draw, name, stack_shape):
    """Mostly a well-formed array of the right kind in some layout; otherwise
    junk. stack_shape = (media, wavelengths) keeps many stacks consistent."""
    media, waves = stack_shape
    if name in ("d", "wl"):
        if draw(st.integers(0, 9)) < 9:
            length = (draw(st.sampled_from([media - 2, media - 2, media - 2, media - 3, 0, 5]))
                      if name == "d"
                      else draw(st.sampled_from([waves, waves, waves, waves + 1, 0])))
            return draw(relaid(filled(F8, (max(length, 0),), draw)))
        right = F8
    else:
        if draw(st.integers(0, 9)) < 9:
            cols = draw(st.sampled_from([waves, waves, waves, waves + 2, max(waves - 1, 0)]))
            return draw(relaid(filled(C16, (media, cols), draw)))
        right = C16
    if draw(st.integers(0, 3)) == 0:
        return draw(st.sampled_from(JUNK_OBJECTS))
    return draw(junk_array(right))


class FloatFails:
    def __float__(self):
        raise ValueError("no float here")


class FloatWrong:
    def __float__(self):
        return 3


class Index:
    def __index__(self):
        return -4


# (object, expected): a float value, or (exception type, message or None
# for an interpreter message that only needs the argument prefix).
SCALARS = [
    (0.3, 0.3), (-0.0, -0.0), (math.nan, math.nan), (math.inf, math.inf),
    (-math.inf, -math.inf), (1.7976931348623157e308, 1.7976931348623157e308),
    (5e-324, 5e-324), (-1.0, -1.0), (1, 1.0), (True, 1.0), (2**70, float(2**70)),
    (np.float64(0.25), 0.25), (np.float32(0.5), 0.5), (np.int64(3), 3.0),
    (np.array(0.75), 0.75), (fractions.Fraction(1, 4), 0.25), (Index(), -4.0),
    (10**400, (OverflowError, "int too large to convert to float")),
    (FloatFails(), (ValueError, "no float here")),
    ("0.1", (TypeError, None)), (None, (TypeError, None)), (1j, (TypeError, None)),
    ([0.1], (TypeError, None)), (FloatWrong(), (TypeError, None)),
]


def name_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


@st.composite
def calls(draw):
    """Five arguments and a way of passing them: positional prefix, keywords
    in any order, sometimes one missing, extra or repeated."""
    media = draw(st.sampled_from([0, 1, 2, 2, 3, 3, 4, 5]))
    waves = draw(st.integers(0, 8))
    values = {name: draw(argument(name, (media, waves))) for name in ("d", "n", "wl")}
    for name in ("theta", "phi"):
        values[name] = draw(st.one_of(st.tuples(reals, st.just(None)), st.sampled_from(SCALARS)))
    positional = draw(st.integers(0, 5))
    keywords = list(draw(st.permutations(NAMES[positional:])))
    mess = draw(st.sampled_from(["none"] * 12 + ["extra", "missing", "unknown", "repeated"]))
    if mess == "extra":
        positional = 6
        keywords = []
    elif mess == "missing" and keywords:
        del keywords[draw(st.integers(0, len(keywords) - 1))]
    elif mess == "unknown":
        keywords.insert(draw(st.integers(0, len(keywords))), draw(st.sampled_from(["x", "Theta", "dd"])))
    elif mess == "repeated" and positional:
        keywords.insert(draw(st.integers(0, len(keywords))), NAMES[draw(st.integers(0, positional - 1))])
    return values, positional, keywords


def passed(values, name):
    """The object passed for a parameter (scalars travel with their expectation)."""
    value = values[name]
    return value[0] if name in ("theta", "phi") else value


def binder_message(positional, keywords):
    if positional > 5:
        return f"{FN} takes 5 positional arguments but {positional} were given"
    filled_slots = set(NAMES[:positional])
    for key in keywords:
        if key not in NAMES:
            return f"{FN} got an unexpected keyword argument '{key}'"
        if key in filled_slots:
            return f"{FN} got multiple values for argument '{key}'"
        filled_slots.add(key)
    missing = [name for name in NAMES if name not in filled_slots]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        return f"{FN} missing {len(missing)} required positional {noun}: {name_list(missing)}"
    return None


def scalar_value(obj, expected):
    return obj if expected is None else expected


def expected_construction(values):
    """What DataPy(...) with these values must do once binding has succeeded:
    ("ok", theta, phi), ("raise", type, message or None, name), ("panic", message)."""
    for name, dtype, one_d in (("d", F8, True), ("n", C16, False), ("wl", F8, True)):
        obj = values[name]
        if not (isinstance(obj, np.ndarray) and obj.dtype == dtype and (not one_d or obj.ndim == 1)):
            return ("raise", TypeError, conversion_message(name, type(obj).__qualname__), name)
    floats = []
    for name in ("theta", "phi"):
        obj, expected = values[name]
        if isinstance(expected, tuple):
            kind, message = expected
            if kind is TypeError:
                return ("raise", TypeError, None, name)
            return ("raise", kind, message, name)
        floats.append(scalar_value(obj, expected))
    if values["n"].ndim != 2:
        return ("panic", TWO_D_MESSAGE)
    return ("ok", *floats)


def spectrum_fails(d, n, wl):
    """The index fault of the numerics: some wavelength reads outside n or d."""
    if len(wl) == 0:
        return False
    rows, cols = n.shape
    return rows < 2 or cols < len(wl) or len(d) < rows - 2


def is_panic(exc):
    kind = type(exc)
    return (kind.__module__, kind.__name__) == ("pyo3_runtime", "PanicException")


def outcome(call):
    """("ok", value) or ("raised", exception); lets BaseException through
    only for the module's PanicException."""
    try:
        return "ok", call()
    except Exception as exc:  # noqa: BLE001 - classified by the caller
        return "raised", exc
    except BaseException as exc:
        if is_panic(exc):
            return "raised", exc
        raise


def contiguous(array):
    return np.ascontiguousarray(np.asarray(array))


def check_simulation(obj, d, n, wl, theta, phi):
    kind, value = outcome(obj.simulate)
    if spectrum_fails(d, n, wl):
        event("index fault")
        assert kind == "raised" and is_panic(value), value
        assert str(value) == INDEX_MESSAGE
        return
    assert kind == "ok", repr(value)
    event("spectrum" if len(wl) else "empty spectrum")
    r, t = value.r, value.t
    assert r.dtype == F8 and t.dtype == F8 and r.shape == t.shape == (len(wl),)
    reference = lamiro.DataPy(contiguous(d), contiguous(n), contiguous(wl), theta, phi).simulate()
    assert same_values(r, reference.r)
    assert same_values(t, reference.t)


@settings(derandomize=True, deadline=None, max_examples=1500,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(call=calls())
def test_every_call_ends_in_a_defined_outcome(call):
    values, positional, keywords = call
    args = [passed(values, name) for name in NAMES[:positional]]
    if positional > 5:
        args.append(7)
    kwargs = {key: (passed(values, key) if key in NAMES else 0.0) for key in keywords}
    kind, value = outcome(lambda: lamiro.DataPy(*args, **kwargs))

    message = binder_message(positional, keywords)
    if message is not None:
        event("binder TypeError")
        assert kind == "raised" and type(value) is TypeError, repr(value)
        assert str(value) == message
        return
    expected = expected_construction(values)
    if expected[0] == "raise":
        _, exc_type, text, name = expected
        event(f"{exc_type.__name__} for {name}")
        assert kind == "raised" and type(value) is exc_type, repr(value)
        if text is not None:
            assert str(value) == text
        if exc_type is TypeError:
            assert str(value).startswith(f"argument '{name}': ")
        return
    if expected[0] == "panic":
        event("n not 2-D")
        assert kind == "raised" and is_panic(value), repr(value)
        assert str(value) == expected[1]
        return
    assert kind == "ok", repr(value)
    obj = value
    _, theta, phi = expected
    d, n, wl = values["d"], values["n"], values["wl"]
    # The stored copies hold the inputs' values in logical order.
    assert same_bits(obj.d, contiguous(d))
    assert same_bits(obj.n, contiguous(n))
    assert same_bits(obj.wl, contiguous(wl))
    assert same_bits(np.float64(obj.theta), np.float64(theta))
    assert same_bits(np.float64(obj.phi), np.float64(phi))
    check_simulation(obj, d, n, wl, theta, phi)


@st.composite
def long_stacks(draw):
    """Stacks of more than 100 wavelengths (evaluated on the pool) in random
    layouts, most of them consistent, some too small for their wavelengths."""
    waves = draw(st.integers(101, 300))
    media = draw(st.integers(2, 5))
    cols, layers = waves, media - 2
    fault = draw(st.sampled_from(["none"] * 6 + ["last column", "half", "no column", "short d",
                                                 "one medium", "more"]))
    if fault == "last column":
        cols = waves - 1
    elif fault == "half":
        cols = waves // 2
    elif fault == "no column":
        cols = 0
    elif fault == "short d" and media > 2:
        layers -= 1
    elif fault == "one medium":
        media = 1
    elif fault == "more":
        cols, layers = waves + 3, layers + 2
    d = filled(F8, (layers,), draw)
    wl = np.linspace(300.0, 900.0, waves)
    if draw(st.booleans()):
        wl = filled(F8, (waves,), draw)
    n = np.full((media, cols), 1.5 + 0.01j)
    if draw(st.booleans()) and n.size:
        n = filled(C16, (media, cols), draw)
    angles = draw(st.tuples(reals, reals))
    return draw(relaid(d)), draw(relaid(n)), draw(relaid(wl)), angles


@settings(derandomize=True, deadline=None, max_examples=300,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(case=long_stacks())
def test_parallel_results_do_not_depend_on_layout(case):
    d, n, wl, (theta, phi) = case
    check_simulation(lamiro.DataPy(d, n, wl, theta, phi), d, n, wl, theta, phi)
