# SPDX-License-Identifier: MIT
"""The module object, its two type objects, the instances' fixed shape and
the internal-error exception type."""

import gc
import importlib
import inspect
import pickle
import shutil
import subprocess
import sys
import weakref

import pytest

import lamiro
from conftest import INDEX_MESSAGE, TWO_D_MESSAGE, catch_panic, run_python, stack

NO_CONSTRUCTOR = "No constructor defined for Simulation"


@pytest.fixture
def instances():
    d, n, wl = stack(3)
    obj = lamiro.DataPy(d, n, wl, 0.2, 0.3)
    return obj, obj.simulate()


# --- module ---------------------------------------------------------------


def test_module_namespace():
    assert lamiro.__name__ == "lamiro"
    assert type(lamiro.__all__) is list
    assert lamiro.__all__ == ["DataPy", "Simulation"]
    public = {name for name in vars(lamiro) if not name.startswith("__")}
    assert public == {"DataPy", "Simulation"}
    assert isinstance(lamiro.DataPy, type) and isinstance(lamiro.Simulation, type)


def test_module_has_a_docstring():
    assert isinstance(lamiro.__doc__, str) and lamiro.__doc__.strip()


def test_reimport_after_removal_gives_the_same_module():
    first = sys.modules.pop("lamiro")
    try:
        second = importlib.import_module("lamiro")
        assert second is first
        assert second.DataPy is first.DataPy and second.Simulation is first.Simulation
        assert second.__all__ == ["DataPy", "Simulation"]
    finally:
        sys.modules["lamiro"] = first


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", lamiro.__file__], capture_output=True, text=True, check=True
    ).stdout
    names = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert names == ["PyInit_lamiro"]


# --- type objects -----------------------------------------------------------------

TYPES = [lamiro.DataPy, lamiro.Simulation]
TYPE_IDS = ["DataPy", "Simulation"]


@pytest.mark.parametrize("cls", TYPES, ids=TYPE_IDS)
def test_type_names(cls):
    name = "DataPy" if cls is lamiro.DataPy else "Simulation"
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", TYPES, ids=TYPE_IDS)
def test_class_attributes_can_be_assigned(cls):
    cls.extra_marker = 42
    try:
        assert cls.extra_marker == 42
    finally:
        del cls.extra_marker
    assert not hasattr(cls, "extra_marker")


@pytest.mark.parametrize("cls", TYPES, ids=TYPE_IDS)
def test_no_subclassing(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_docstrings_and_signatures():
    assert lamiro.DataPy.__doc__ == ""
    assert lamiro.DataPy.__text_signature__ == "(d, n, wl, theta, phi)"
    assert str(inspect.signature(lamiro.DataPy)) == "(d, n, wl, theta, phi)"
    assert lamiro.Simulation.__doc__ is None
    assert lamiro.DataPy.simulate.__text_signature__ == "($self)"
    assert str(inspect.signature(lamiro.DataPy.simulate)) == "(self, /)"


@pytest.mark.parametrize(
    "cls, names",
    [(lamiro.DataPy, ["d", "n", "wl", "theta", "phi"]), (lamiro.Simulation, ["r", "t"])],
    ids=TYPE_IDS,
)
def test_getters_are_read_only_descriptors_with_empty_doc(cls, names):
    own = {k for k, v in vars(cls).items() if inspect.isgetsetdescriptor(v)}
    assert own == set(names)
    for name in names:
        assert vars(cls)[name].__doc__ == ""


# Nothing else: no comparison, hashing, repr, pickling or iteration of the
# module's own, and no instance dictionary or weak-reference slot.
@pytest.mark.parametrize(
    "cls, names",
    [(lamiro.DataPy, {"d", "n", "wl", "theta", "phi", "simulate"}),
     (lamiro.Simulation, {"r", "t"})],
    ids=TYPE_IDS,
)
def test_class_namespace(cls, names):
    assert set(vars(cls)) == names | {"__doc__", "__module__", "__new__"}


# --- no constructor for Simulation ------------------------------------------


@pytest.mark.parametrize(
    "make",
    [lambda: lamiro.Simulation(), lambda: lamiro.Simulation(1, 2, x=3),
     lambda: lamiro.Simulation.__new__(lamiro.Simulation),
     lambda: lamiro.Simulation.__new__(lamiro.Simulation, 1, y=2)],
    ids=["no-args", "args-and-kwargs", "__new__", "__new__-with-args"],
)
def test_simulation_has_no_constructor(make):
    with pytest.raises(TypeError) as info:
        make()
    assert type(info.value) is TypeError
    assert str(info.value) == NO_CONSTRUCTOR


# --- instances ------------------------------------------------------------


@pytest.mark.parametrize("which", [0, 1], ids=TYPE_IDS)
def test_instances_take_no_new_attributes_weak_references_garbage_collection_or_pickling(
        instances, which):
    obj = instances[which]
    with pytest.raises(AttributeError):
        obj.foo = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not hasattr(obj, "__dict__")
    assert not gc.is_tracked(obj)
    with pytest.raises(TypeError):
        pickle.dumps(obj)


@pytest.mark.parametrize(
    "which, name",
    [(0, "d"), (0, "n"), (0, "wl"), (0, "theta"), (0, "phi"), (1, "r"), (1, "t")],
    ids=["d", "n", "wl", "theta", "phi", "r", "t"],
)
def test_attributes_cannot_be_assigned_or_deleted(instances, which, name):
    obj = instances[which]
    before = getattr(obj, name)
    with pytest.raises(AttributeError):
        setattr(obj, name, before)
    with pytest.raises(AttributeError):
        delattr(obj, name)


def test_type_refcount_steady_over_many_instances():
    d, n, wl = stack(2)
    before = (sys.getrefcount(lamiro.DataPy), sys.getrefcount(lamiro.Simulation))
    for _ in range(10_000):
        lamiro.DataPy(d, n, wl, 0.1, 0.2).simulate()
    assert (sys.getrefcount(lamiro.DataPy), sys.getrefcount(lamiro.Simulation)) == before


# --- PanicException ---------------------------------------------------------


def test_panic_exception_type(panic_type):
    assert issubclass(panic_type, BaseException)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert isinstance(panic_type.__doc__, str) and panic_type.__doc__.strip()
    assert not hasattr(lamiro, "PanicException")


def test_panic_is_not_caught_by_except_exception(panic_type):
    d, n, wl = stack(2)
    caught_by = None
    try:
        try:
            lamiro.DataPy(d, n[0], wl, 0.0, 0.0)
        except Exception:  # noqa: BLE001 - must not catch it
            caught_by = "Exception"
    except BaseException as exc:  # noqa: BLE001
        caught_by = "BaseException"
        assert isinstance(exc, BaseException) and not isinstance(exc, Exception)
    assert caught_by == "BaseException"


# The type exists once the import is done, before any fault, so that
# reporting one later never needs memory for a new type; faults then raise
# that very type. In a child, where nothing else was imported or raised.
PANIC_TYPE_AT_IMPORT = """
import numpy as np
import lamiro
made = [c for c in BaseException.__subclasses__() if c.__module__ == "pyo3_runtime"]
print(len(made))
try:
    lamiro.DataPy(np.ones(1), np.ones(3, complex), np.ones(1), 0.0, 0.0)
except BaseException as exc:
    print(type(exc) is made[0])
"""


def test_panic_type_is_created_by_the_import():
    rc, out, err = run_python(PANIC_TYPE_AT_IMPORT)
    assert rc == 0, err
    assert out.split() == ["1", "True"]


def test_two_different_faults_raise_the_same_type(panic_type):
    d, n, wl = stack(4)
    shape_fault = catch_panic(lambda: lamiro.DataPy(d, n[0], wl, 0.0, 0.0))
    index_fault = catch_panic(lambda: lamiro.DataPy(d, n[:, :2], wl, 0.0, 0.0).simulate())
    assert type(shape_fault) is panic_type and type(index_fault) is panic_type
    assert shape_fault.args == (TWO_D_MESSAGE,)
    assert index_fault.args == (INDEX_MESSAGE,)
    assert str(index_fault) == INDEX_MESSAGE
