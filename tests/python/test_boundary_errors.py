# SPDX-License-Identifier: MIT
"""Error paths of the module's boundary that only unusual callers reach:
a PanicException coming back through Python code, NumPy missing or of a
foreign ABI at the first construction, and errors raised while another
exception is handled."""

import pytest

import lamiro
from conftest import TWO_D_MESSAGE, catch_panic, run_python


def test_panic_raised_inside_a_conversion_is_resumed_as_a_fault(sample, panic_type, capfd):
    d, n, wl = sample
    original = catch_panic(lambda: lamiro.DataPy(d, n[0], wl, 0.0, 0.0))
    capfd.readouterr()

    class Theta:
        def __float__(self):
            raise original

    resumed = catch_panic(lambda: lamiro.DataPy(d, n, wl, Theta(), 0.0))
    err = capfd.readouterr().err
    # Carried on as a fault, not as the caught object: a new exception of the
    # same type with the same message, after the notice and the traceback.
    assert type(resumed) is panic_type
    assert resumed is not original
    assert resumed.args == (TWO_D_MESSAGE,)
    notice, below = err.splitlines()[:2]
    assert "PanicException" in notice and "Python" in below
    assert f"PanicException: {TWO_D_MESSAGE}" in err


# The first use of NumPy's C API with NumPy made unusable by `block`, twice,
# then with `unblock` undoing that: a failure is not remembered.
FIRST_USE = r"""
import sys
import lamiro
{block}
for attempt in range(2):
    try:
        lamiro.DataPy(1, 2, 3, 4, 5)
    except BaseException as exc:
        print(type(exc).__name__)
        print(exc)
{unblock}
import numpy as np
print(lamiro.DataPy(np.ones(1), np.ones((3, 1), complex), np.ones(1), 0.0, 0.0).d.tolist())
"""

NUMPY_MISSING_TEXT = (
    "Failed to access NumPy array API capsule: PyErr { type: <class 'ModuleNotFoundError'>, "
    "value: ModuleNotFoundError('import of numpy halted; None in sys.modules'), traceback: None }"
)
OUT_OF_MEMORY = """
import numpy.lib
real = numpy.lib.NumpyVersion
def exhausted(version):
    raise MemoryError
numpy.lib.NumpyVersion = exhausted
"""


@pytest.mark.parametrize("block, unblock, exception, text", [
    ('sys.modules["numpy"] = None', 'del sys.modules["numpy"]', "PanicException",
     NUMPY_MISSING_TEXT),
    # Memory running out is reported as MemoryError, not as a fault.
    (OUT_OF_MEMORY, "numpy.lib.NumpyVersion = real", "MemoryError", ""),
], ids=["numpy-missing", "out-of-memory"])
def test_numpy_unusable_at_first_use_is_not_remembered(block, unblock, exception, text):
    rc, out, err = run_python(FIRST_USE.format(block=block, unblock=unblock))
    assert rc == 0, err
    assert out.splitlines() == [exception, text, exception, text, "[1.0]"]


# The NumPy C-API table is replaced, before its first use, by one whose slot 0
# (the ABI version function) reports ABI_VERSION and whose other slots are
# NumPy's own; after that first use the real table is put back.
FOREIGN_ABI = r"""
import ctypes, importlib
import numpy as np
import lamiro
api = ctypes.pythonapi
api.PyCapsule_GetPointer.restype = ctypes.POINTER(ctypes.c_void_p)
api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
core = "numpy._core" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core"
multiarray = importlib.import_module(core + ".multiarray")
real = multiarray._ARRAY_API
table = (ctypes.c_void_p * 200)(*api.PyCapsule_GetPointer(real, None)[:200])
version = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: ABI_VERSION)
table[0] = ctypes.cast(version, ctypes.c_void_p)
multiarray._ARRAY_API = api.PyCapsule_New(table, None, None)
args = np.ones(1), np.ones((3, 1), complex), np.ones(1), 0.0, 0.0
try:
    lamiro.DataPy(*args)
except BaseException as exc:
    print(type(exc).__name__)
    print(exc)
multiarray._ARRAY_API = real
print(lamiro.DataPy(*args).d.tolist())
"""


@pytest.mark.parametrize("version, major", [(0x03000000, 3), (0x00000009, 0),
                                            (0x01000009, 1), (0x02000000, 2)],
                         ids=["abi-3", "abi-0", "abi-1", "abi-2"])
def test_numpy_abi_other_than_1_and_2_is_refused(version, major):
    rc, out, err = run_python(FOREIGN_ABI.replace("ABI_VERSION", str(version)))
    assert rc == 0, err
    if major in (1, 2):
        assert out.splitlines() == ["[1.0]"]
        return
    text = (f"NumPy's C API has ABI version 0x{version:08x} (major {major}); lamiro works "
            "with the ABI of NumPy 1.x (major 1) and 2.x (major 2)")
    expected = ("Failed to access NumPy array API capsule: PyErr { type: <class 'ImportError'>, "
                f"value: ImportError({text!r}), traceback: None }}")
    assert out.splitlines() == ["PanicException", expected, "[1.0]"]


# Errors the module raises while another exception is being handled chain to
# it as __context__, as a Python `raise` would; the "argument '...': " error
# replaces the conversion's own exception, so its context is not shown.
CONTEXT_CASES = {
    "binder": (lambda d, n, wl: lamiro.DataPy(), False),
    "array-conversion": (lambda d, n, wl: lamiro.DataPy([1.0], n, wl, 0.1, 0.0), True),
    "float-conversion": (lambda d, n, wl: lamiro.DataPy(d, n, wl, "x", 0.0), True),
    "no-constructor": (lambda d, n, wl: lamiro.Simulation(), False),
    "panic": (lambda d, n, wl: lamiro.DataPy(d, n[0], wl, 0.0, 0.0), False),
}


@pytest.mark.parametrize("case", list(CONTEXT_CASES), ids=list(CONTEXT_CASES))
def test_errors_raised_while_handling_another_chain_to_it(sample, case):
    call, prefixed = CONTEXT_CASES[case]
    outer = ValueError("outer")
    try:
        try:
            raise outer
        except ValueError:
            call(*sample)
    except BaseException as exc:  # noqa: BLE001 - PanicException included
        raised = exc
    assert raised.__context__ is outer
    assert raised.__suppress_context__ is prefixed
    assert raised.__cause__ is None
