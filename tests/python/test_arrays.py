# SPDX-License-Identifier: MIT
"""NumPy arrays in and out of DataPy: which objects are accepted, how any
layout is read, the 2-D rule for n, and the independence of the copies."""

import sys
import warnings

import numpy as np
import pytest

import lamiro
from conftest import (
    TWO_D_MESSAGE,
    catch_panic,
    conversion_message,
    run_python,
    same_bits,
    stack,
)

NON_NATIVE = ">" if sys.byteorder == "little" else "<"

# np.matrix is an ndarray subclass that some callers still pass; NumPy warns
# about it on creation.
pytestmark = pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")


def as_matrix(values):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.asmatrix(values)


class MyArray(np.ndarray):
    pass


class Holder:
    class Inner:
        pass


# --- acceptance of d and wl -------------------------------------------------------

VECTOR_REJECTS = [
    (np.array([1, 2]), "ndarray"),
    (np.array([1.0, 2.0], dtype=np.float32), "ndarray"),
    (np.array([1.0, 2.0], dtype=np.float16), "ndarray"),
    (np.array([1.0, 2.0], dtype=np.longdouble), "ndarray"),
    (np.array([1.0, 2.0], dtype=np.complex128), "ndarray"),
    (np.array([1.0, 2.0], dtype=NON_NATIVE + "f8"), "ndarray"),
    (np.array([1.0, 2.0], dtype=object), "ndarray"),
    (np.array([True, False]), "ndarray"),
    (np.array([[1.0, 2.0]]), "ndarray"),
    (np.array(1.0), "ndarray"),
    (np.zeros((2, 0)), "ndarray"),
    (as_matrix([[1.0, 2.0]]), "matrix"),
    (np.array([1, 2]).view(MyArray), "MyArray"),
    ([1.0, 2.0], "list"),
    ((1.0, 2.0), "tuple"),
    (1.0, "float"),
    (np.float64(1.0), "float64"),
    (None, "NoneType"),
    (memoryview(np.array([1.0, 2.0])), "memoryview"),
    (Holder.Inner(), "Holder.Inner"),
]
VECTOR_REJECT_IDS = ["int64", "float32", "float16", "longdouble", "complex128", "byteswapped",
                     "object", "bool", "2-D", "0-D", "2-D-empty", "matrix", "subclass-int",
                     "list", "tuple", "float", "np.float64-scalar", "None", "memoryview",
                     "nested-class"]


@pytest.mark.parametrize("value, type_name", VECTOR_REJECTS, ids=VECTOR_REJECT_IDS)
@pytest.mark.parametrize("name", ["d", "wl"])
def test_vector_rejected_with_exact_message(sample, name, value, type_name):
    d, n, wl = sample
    args = {"d": d, "n": n, "wl": wl, "theta": 0.1, "phi": 0.0, name: value}
    with pytest.raises(TypeError) as info:
        lamiro.DataPy(**args)
    assert type(info.value) is TypeError
    assert str(info.value) == conversion_message(name, type_name)


MATRIX_REJECTS = [
    (np.ones((2, 3)), "ndarray"),
    (np.ones((2, 3), dtype=np.complex64), "ndarray"),
    (np.ones((2, 3), dtype=np.clongdouble), "ndarray"),
    (np.ones((2, 3), dtype=NON_NATIVE + "c16"), "ndarray"),
    (np.ones((2, 3), dtype=np.int64), "ndarray"),
    (np.ones((2, 3), dtype=object), "ndarray"),
    (np.ones((2, 3), dtype=[("re", "f8"), ("im", "f8")]), "ndarray"),
    (np.ones((2, 3)).view(MyArray), "MyArray"),
    ([[1 + 0j, 2 + 0j]], "list"),
    (1 + 2j, "complex"),
    (np.complex128(1 + 2j), "complex128"),
]
MATRIX_REJECT_IDS = ["float64", "complex64", "clongdouble", "byteswapped", "int64", "object",
                     "structured-pair", "subclass-float", "list", "complex", "np.complex128-scalar"]


@pytest.mark.parametrize("value, type_name", MATRIX_REJECTS, ids=MATRIX_REJECT_IDS)
def test_n_rejected_with_exact_message(sample, value, type_name):
    d, _, wl = sample
    with pytest.raises(TypeError) as info:
        lamiro.DataPy(d, value, wl, 0.1, 0.0)
    assert type(info.value) is TypeError
    assert str(info.value) == conversion_message("n", type_name)


def test_equivalent_dtypes_are_accepted(sample):
    d, n, wl = sample
    native = "<" if sys.byteorder == "little" else ">"
    d_explicit = d.astype(native + "f8")
    n_explicit = n.astype(native + "c16")
    d_meta = d.astype(np.dtype(np.float64, metadata={"unit": "nm"}))
    obj = lamiro.DataPy(d_meta, n_explicit, wl, 0.1, 0.0)
    assert same_bits(obj.d, d) and same_bits(obj.n, n)
    obj = lamiro.DataPy(d_explicit, n, wl.astype("d"), 0.1, 0.0)
    assert same_bits(obj.d, d) and same_bits(obj.wl, wl)


# --- the 2-D rule for n -------------------------------------------------------------


@pytest.mark.parametrize(
    "shape",
    [(), (3,), (0,), (1, 1, 1), (3, 2, 1), (2, 0, 3)],
    ids=["0-D", "1-D", "1-D-empty", "3-D-ones", "3-D", "3-D-empty"],
)
def test_n_not_two_dimensional_is_an_internal_fault(sample, panic_type, shape):
    d, _, wl = sample
    n = np.ones(shape, dtype=np.complex128)
    exc = catch_panic(lambda: lamiro.DataPy(d, n, wl, 0.1, 0.0))
    assert type(exc) is panic_type
    assert exc.args == (TWO_D_MESSAGE,)


def test_n_with_more_than_32_dimensions_is_an_internal_fault(sample, panic_type):
    if np.lib.NumpyVersion(np.__version__).major < 2:
        pytest.skip("NumPy 1.x limits arrays to 32 dimensions")
    d, _, wl = sample
    n = np.zeros((1,) * 33, dtype=np.complex128)
    exc = catch_panic(lambda: lamiro.DataPy(d, n, wl, 0.1, 0.0))
    assert type(exc) is panic_type


# --- layouts: values and logical order are kept ----------------------------------


def unaligned(values):
    """A copy of values whose data pointer is off by one byte from alignment."""
    values = np.ascontiguousarray(values)
    raw = bytearray(values.nbytes + 1)
    out = np.frombuffer(raw, dtype=values.dtype, offset=1, count=values.size).reshape(values.shape)
    out[...] = values
    assert not out.flags.aligned
    return out


def odd_stride(values):
    """A view of a copy of values whose elements lie 1 byte more apart than
    their size: every element but the first is unaligned."""
    values = np.ascontiguousarray(values)
    record = np.zeros(values.size, dtype=[("pad", "u1"), ("v", values.dtype)])
    record["v"] = values.ravel()
    out = record["v"].reshape(values.shape)
    assert out.strides[-1] == values.itemsize + 1
    return out


def readonly(values):
    out = values.copy()
    out.flags.writeable = False
    return out


BASE_VECTOR = np.array([3.5, -0.0, 1e-310, np.inf, -2.25, np.nan, 7.0, 1e300])

VECTOR_LAYOUTS = [
    ("contiguous", lambda x: x.copy()),
    ("step-2", lambda x: x[::2]),
    ("step-3", lambda x: x[1::3]),
    ("reversed", lambda x: x[::-1]),
    ("reversed-step-2", lambda x: x[::-2]),
    ("broadcast", lambda x: np.broadcast_to(x[2], (5,))),
    ("unaligned", unaligned),
    ("odd-byte-stride", odd_stride),
    ("column-of-2-D", lambda x: x.reshape(4, 2)[:, 1]),
    ("row-of-F-2-D", lambda x: np.asfortranarray(x.reshape(2, 4))[1]),
    ("read-only", readonly),
    ("length-0", lambda x: x[:0]),
    ("length-1", lambda x: x[3:4]),
    ("length-1-strided", lambda x: x[1::7]),
    ("subclass", lambda x: x.view(MyArray)),
    ("masked", lambda x: np.ma.masked_array(x, mask=[True] + [False] * 7)),
]


@pytest.mark.parametrize("make", [m for _, m in VECTOR_LAYOUTS], ids=[i for i, _ in VECTOR_LAYOUTS])
@pytest.mark.parametrize("name", ["d", "wl"])
def test_vector_layouts_keep_values_in_logical_order(sample, name, make):
    d, n, wl = sample
    given = make(BASE_VECTOR.copy())
    args = {"d": d, "n": n, "wl": wl, "theta": 0.1, "phi": 0.0, name: given}
    got = getattr(lamiro.DataPy(**args), name)
    expected = np.ascontiguousarray(np.asarray(given))
    assert type(got) is np.ndarray
    assert got.dtype == np.float64 and got.shape == (len(given),)
    assert same_bits(got, expected)
    assert got.flags.c_contiguous and got.flags.writeable and got.flags.owndata


BASE_MATRIX = (np.arange(12.0).reshape(3, 4) - 5.5) + 1j * (np.arange(12.0).reshape(3, 4) * 0.25)
BASE_MATRIX[1, 2] = complex(-0.0, np.nan)
BASE_MATRIX[2, 0] = complex(np.inf, -0.0)

# (id, builder, getter layout): "C" C-contiguous only (or both), "F" F- but not
# C-contiguous. A column-major block in the input gives a column-major output;
# everything else comes back row-major.
MATRIX_LAYOUTS = [
    ("C", lambda m: m.copy(), "C"),
    ("F", lambda m: np.asfortranarray(m), "F"),
    ("transposed-C", lambda m: np.ascontiguousarray(m.T).T, "F"),
    ("transposed-F", lambda m: np.asfortranarray(m.T).T, "C"),
    ("rows-reversed", lambda m: m[::-1, :], "C"),
    ("columns-reversed", lambda m: m[:, ::-1], "C"),
    ("both-reversed", lambda m: m[::-1, ::-1], "C"),
    ("F-rows-reversed", lambda m: np.asfortranarray(m)[::-1, :], "C"),
    ("F-columns-reversed", lambda m: np.asfortranarray(m)[:, ::-1], "C"),
    ("columns-step-2", lambda m: m[:, ::2], "C"),
    ("rows-step-2", lambda m: m[::2, :], "C"),
    ("F-rows-step-2", lambda m: np.asfortranarray(m)[::2, :], "C"),
    ("broadcast-rows", lambda m: np.broadcast_to(m[1], (3, 4)), "C"),
    ("broadcast-columns", lambda m: np.broadcast_to(m[:, 2:3], (3, 4)), "C"),
    ("plane-of-3-D", lambda m: np.stack([m, m], axis=2)[:, :, 1], "C"),
    ("unaligned", unaligned, "C"),
    ("odd-byte-stride", odd_stride, "C"),
    ("read-only", readonly, "C"),
    ("one-row-F", lambda m: np.asfortranarray(m[1:2]), "C"),
    ("one-column-C", lambda m: np.ascontiguousarray(m[:, 1:2]), "C"),
    ("one-column-strided", lambda m: m[:, 1:2], "C"),
    ("zero-rows", lambda m: m[:0], "C"),
    ("zero-columns", lambda m: m[:, :0], "C"),
    ("zero-by-zero", lambda m: np.zeros((0, 0), dtype=np.complex128), "C"),
    ("F-zero-rows", lambda m: np.asfortranarray(m[:0]), "C"),
    ("subclass", lambda m: m.view(MyArray), "C"),
    ("matrix", as_matrix, "C"),
    ("masked", lambda m: np.ma.masked_array(m, mask=np.eye(3, 4, dtype=bool)), "C"),
]


@pytest.mark.parametrize(
    "make, layout", [(m, l) for _, m, l in MATRIX_LAYOUTS], ids=[i for i, _, _ in MATRIX_LAYOUTS]
)
def test_matrix_layouts_keep_values_and_follow_the_contiguity_rule(sample, make, layout):
    d, _, wl = sample
    given = make(BASE_MATRIX.copy())
    got = lamiro.DataPy(d, given, wl, 0.1, 0.0).n
    rows, cols = given.shape
    expected = np.ascontiguousarray(np.asarray(given))
    assert type(got) is np.ndarray
    assert got.dtype == np.complex128 and got.shape == (rows, cols)
    assert same_bits(got, expected)
    assert got.flags.writeable and got.flags.owndata
    if layout == "F":
        assert got.flags.f_contiguous and not got.flags.c_contiguous
    else:
        assert got.flags.c_contiguous


def test_same_array_as_d_and_wl(sample):
    _, n, _ = sample
    x = np.array([410.0, 520.0, 630.0, 740.0])
    obj = lamiro.DataPy(x, n, x, 0.1, 0.0)
    assert same_bits(obj.d, x) and same_bits(obj.wl, x)
    assert not np.shares_memory(obj.d, obj.wl)


@pytest.mark.parametrize(
    "d, n, wl",
    [(np.zeros(0), np.zeros((2, 0), complex), np.zeros(0)),
     (np.zeros(0), np.zeros((0, 0), complex), np.zeros(0)),
     (np.zeros(0), np.zeros((0, 5), complex), np.zeros(0))],
    ids=["2x0", "0x0", "0x5"],
)
def test_empty_arrays_round_trip(d, n, wl):
    obj = lamiro.DataPy(d, n, wl, 0.0, 0.0)
    assert obj.d.shape == (0,) and obj.wl.shape == (0,) and obj.n.shape == n.shape
    assert obj.d.dtype == np.float64 and obj.n.dtype == np.complex128


# --- independence ---------------------------------------------------------


@pytest.mark.parametrize("name", ["d", "n", "wl"])
def test_getters_return_fresh_writable_arrays(sample, name):
    d, n, wl = sample
    obj = lamiro.DataPy(d, n, wl, 0.1, 0.0)
    first = getattr(obj, name)
    second = getattr(obj, name)
    assert first is not second
    assert not np.shares_memory(first, second)
    assert not np.shares_memory(first, {"d": d, "n": n, "wl": wl}[name])
    assert first.flags.writeable and first.base is None
    original = first.copy()
    first[...] = 99.0
    assert same_bits(getattr(obj, name), original)


def test_float_getters_return_new_floats(sample):
    d, n, wl = sample
    obj = lamiro.DataPy(d, n, wl, 0.1, 1)
    assert type(obj.theta) is float and type(obj.phi) is float
    assert obj.theta is not obj.theta
    assert (obj.theta, obj.phi) == (0.1, 1.0)


def test_changing_the_inputs_afterwards_changes_nothing(sample):
    d, n, wl = (a.copy() for a in sample)
    kept = tuple(a.copy() for a in (d, n, wl))
    obj = lamiro.DataPy(d, n, wl, 0.1, 0.0)
    d[...] = -1.0
    n[...] = 7 + 7j
    wl[...] = 0.0
    for got, want in zip((obj.d, obj.n, obj.wl), kept):
        assert same_bits(got, want)


# Changes that Python code can make to an accepted array, in place, before
# the constructor copies it: other elements over the same bytes (narrower or
# wider), other rows, every element the first.
IN_PLACE_CHANGES = {
    "dtype-int8": lambda a: setattr(a, "dtype", np.int8),
    "dtype-wider": lambda a: setattr(a, "dtype", np.dtype(f"V{2 * a.itemsize}")),
    "shape": lambda a: setattr(a, "shape", (1, a.size)),
    "zero-strides": lambda a: setattr(a, "strides", (0,) * a.ndim),
}


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("hook", ["theta-__float__", "phi-__index__"])
@pytest.mark.parametrize("change", list(IN_PLACE_CHANGES))
@pytest.mark.parametrize("name", ["d", "n", "wl"])
def test_an_input_changed_after_acceptance_is_copied_as_accepted(name, change, hook):
    d, n, wl = stack(4, n_media=4)
    arrays = {"d": d, "n": n, "wl": wl}
    accepted = {key: value.copy() for key, value in arrays.items()}

    # The conversion of theta (__float__) or phi (__index__) runs the caller's
    # code after d, n and wl were accepted.
    method, zero = ("__float__", 0.0) if hook.startswith("theta") else ("__index__", 0)

    def change_and_give_zero(_):
        IN_PLACE_CHANGES[change](arrays[name])
        return zero

    angle = type("Angle", (), {method: change_and_give_zero})()
    theta, phi = (angle, 0.0) if method == "__float__" else (0.0, angle)
    obj = lamiro.DataPy(d, n, wl, theta, phi)
    for key, value in accepted.items():
        assert same_bits(getattr(obj, key), value), key
    expected = lamiro.DataPy(*accepted.values(), 0.0, 0.0).simulate()
    assert same_bits(obj.simulate().r, expected.r)


# Python code that, once an array was accepted, frees or replaces the memory
# it had, run by theta's __float__. The arrays are large (16 to 32 MB) so
# that freed memory goes back to the system and a read of it crashes; a
# sanitized build reports any read of it. Each case runs in a child
# interpreter, so that a crash fails the case and not the whole run.
FREED_MEMORY = r"""
import numpy as np
import lamiro

name, route = NAME, ROUTE
# Distinct values, so that a read of other memory or of zeros shows.
count = 2_000_000
values = np.arange(count) + 100.0
if name == "n":
    values = (values + 1j * values[::-1]).reshape(2, count // 2)

if route == "setstate":  # what unpickling into the array does
    given = values.copy()
    def release():
        given.__setstate__((1, given.shape, given.dtype, False, bytes(given.nbytes)))
    def released():
        return not given.any()
elif route == "resize":
    given = values.copy()
    def release():
        given.resize((4 * given.shape[0],) + given.shape[1:], refcheck=False)
    def released():
        return given.shape[0] == 4 * values.shape[0]
elif route == "setstate-of-view-base":
    base = np.zeros(values.shape[:-1] + (2 * values.shape[-1],), values.dtype)
    base[..., ::2] = values
    given = base[..., ::2]
    def release():
        base.__setstate__((1, base.shape, base.dtype, False, bytes(base.nbytes)))
    def released():
        return not base.any()
elif route == "released-memoryview":
    # NumPy reads a bytearray through a memoryview of its own, its base;
    # once that is released the bytearray may grow and move.
    buffer = bytearray(values.tobytes())
    flat = np.frombuffer(buffer, values.dtype)
    given = flat.reshape(values.shape)
    def release():
        flat.base.release()
        buffer.extend(bytes(3 * len(buffer)))
    def released():
        return len(buffer) == 4 * values.nbytes

class Theta:
    def __float__(self):
        release()
        return 0.25

args = {"d": np.array([50.0]), "n": np.ones((3, 1), complex), "wl": np.array([500.0])}
args[name] = given
obj = lamiro.DataPy(args["d"], args["n"], args["wl"], Theta(), 0.0)
copy = getattr(obj, name)
print(released(), copy.dtype == values.dtype and copy.shape == values.shape
      and copy.tobytes() == values.tobytes())
"""


@pytest.mark.parametrize("route", ["setstate", "resize", "setstate-of-view-base",
                                   "released-memoryview"])
@pytest.mark.parametrize("name", ["d", "n", "wl"])
def test_memory_freed_after_acceptance_is_never_read(name, route):
    code = FREED_MEMORY.replace("NAME", repr(name)).replace("ROUTE", repr(route))
    rc, out, err = run_python(code, timeout=120)
    assert rc == 0, f"exit {rc}\n{err[-4000:]}"
    # The hook did free or replace the memory, and the copy still holds
    # every value the array had when it was accepted.
    assert out.split() == ["True", "True"], err[-4000:]


def test_inputs_are_left_untouched(sample):
    d, n, wl = sample
    kept = tuple((a.copy(), a.flags.writeable) for a in (d, n, wl))
    lamiro.DataPy(d, n, wl, 0.1, 0.0)
    catch_panic(lambda: lamiro.DataPy(d, n[0], wl, 0.1, 0.0))
    for a, (copy, writeable) in zip((d, n, wl), kept):
        assert same_bits(a, copy) and a.flags.writeable == writeable


# --- reference counts of the inputs ---------------------------------------------


def refcounts(*objs):
    return [sys.getrefcount(o) for o in objs]


def test_refcounts_unchanged_by_successful_construction(sample):
    d, n, wl = sample
    base = np.arange(8.0)
    view = base[::2]
    theta = float("0.25")
    before = refcounts(d, n, wl, base, view, theta)
    obj = lamiro.DataPy(view, n, wl, theta, 0.0)
    obj2 = lamiro.DataPy(d, n, d, theta, 0.0)
    assert refcounts(d, n, wl, base, view, theta) == before
    del obj, obj2
    assert refcounts(d, n, wl, base, view, theta) == before


@pytest.mark.parametrize(
    "build",
    [
        lambda d, n, wl: lamiro.DataPy(d, n, wl, 0.1),
        lambda d, n, wl: lamiro.DataPy(d, n, wl, 0.1, 0.0, x=1),
        lambda d, n, wl: lamiro.DataPy(d, n, [1.0], 0.1, 0.0),
        lambda d, n, wl: lamiro.DataPy(d, n.real, wl, 0.1, 0.0),
        lambda d, n, wl: lamiro.DataPy(d, n, wl, "x", 0.0),
        lambda d, n, wl: lamiro.DataPy(d, n, wl, 0.0, "y"),
    ],
    ids=["missing", "unexpected", "bad-wl", "bad-n", "bad-theta", "bad-phi"],
)
def test_refcounts_unchanged_by_failed_construction(sample, build):
    d, n, wl = sample
    before = refcounts(d, n, wl)
    try:
        build(d, n, wl)
    except TypeError:
        pass
    else:
        pytest.fail("construction succeeded")
    assert refcounts(d, n, wl) == before


def test_refcounts_unchanged_by_the_2d_fault(sample):
    d, n, wl = sample
    row = n[0].copy()
    before = refcounts(d, row, wl)
    catch_panic(lambda: lamiro.DataPy(d, row, wl, 0.1, 0.0))
    assert refcounts(d, row, wl) == before
