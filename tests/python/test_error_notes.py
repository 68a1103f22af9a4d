# SPDX-License-Identifier: MIT
"""The notes (PEP 678) on errors of common mistakes with the arrays: the
fixed message and args stay exactly as they are, a note below them says
what the argument must be and what was given, or which array is too short
for the stack, and a traceback shows it."""

import sys
import traceback

import _testcapi
import numpy as np
import pytest

import lamiro
from conftest import INDEX_MESSAGE, TWO_D_MESSAGE, catch_panic, conversion_message

NON_NATIVE = ">" if sys.byteorder == "little" else "<"
ENDIAN = "big-endian" if NON_NATIVE == ">" else "little-endian"

# A sound stack: air, one layer, glass; five wavelengths.
D = np.array([100.0])
N = np.array([[1.0] * 5, [2.0 + 0.1j] * 5, [1.5] * 5])
WL = np.arange(400, 801, 100).astype(np.float64)

N_MUST = ("n must be a two-dimensional complex128 array with one row per medium and one "
          "column per wavelength; got ")
D_MUST = "d must be a one-dimensional float64 array of layer thicknesses; got "
WL_MUST = "wl must be a one-dimensional float64 array of wavelengths; got "


def d_layers(given, rows, layers):
    return (f"d has {given} but n has {rows} rows, which make {layers} between the incidence "
            "and the exit medium; d needs one thickness per layer")


# id: (d, n, wl, where the error comes from, exception, message, notes)
MISTAKES = {
    # Refused at conversion: TypeError with the defined text, and a note.
    "n-float64": (D, N.real.copy(), WL, "new", TypeError, conversion_message("n", "ndarray"),
                  [N_MUST + "a float64 array of shape (3, 5); "
                   "numpy.asarray(n, dtype=numpy.complex128) converts it"]),
    "n-complex64": (D, N.astype(np.complex64), WL, "new", TypeError,
                    conversion_message("n", "ndarray"),
                    [N_MUST + "a complex64 array of shape (3, 5); "
                     "numpy.asarray(n, dtype=numpy.complex128) converts it"]),
    "d-float32": (D.astype(np.float32), N, WL, "new", TypeError,
                  conversion_message("d", "ndarray"),
                  [D_MUST + "a float32 array of shape (1,); "
                   "numpy.asarray(d, dtype=numpy.float64) converts it"]),
    "wl-integers": (D, N, np.arange(400, 801, 100), "new", TypeError,
                    conversion_message("wl", "ndarray"),
                    [WL_MUST + "an int64 array of shape (5,); "
                     "numpy.asarray(wl, dtype=numpy.float64) converts it"]),
    "wl-non-native-order": (D, N, WL.astype(NON_NATIVE + "f8"), "new", TypeError,
                            conversion_message("wl", "ndarray"),
                            [WL_MUST + f"a {ENDIAN} float64 array of shape (5,); "
                             "numpy.asarray(wl, dtype=numpy.float64) converts it"]),
    "n-non-native-order": (D, N.astype(NON_NATIVE + "c16"), WL, "new", TypeError,
                           conversion_message("n", "ndarray"),
                           [N_MUST + f"a {ENDIAN} complex128 array of shape (3, 5); "
                            "numpy.asarray(n, dtype=numpy.complex128) converts it"]),
    # No conversion offered where the number of dimensions is wrong too.
    "d-two-dimensional": (D[None, :], N, WL, "new", TypeError,
                          conversion_message("d", "ndarray"),
                          [D_MUST + "a float64 array of shape (1, 1)"]),
    "n-one-dimensional-float64": (D, N[:, 0].real.copy(), WL, "new", TypeError,
                                  conversion_message("n", "ndarray"),
                                  [N_MUST + "a float64 array of shape (3,)"]),
    "d-list": ([100.0], N, WL, "new", TypeError, conversion_message("d", "list"),
               [D_MUST + "a list, not a NumPy array"]),
    "wl-int": (D, N, 500, "new", TypeError, conversion_message("wl", "int"),
               [WL_MUST + "an int, not a NumPy array"]),
    # An ndarray subclass is named by its class.
    "n-masked-float64": (D, np.ma.masked_array(N.real), WL, "new", TypeError,
                         conversion_message("n", "MaskedArray"),
                         [N_MUST + "a float64 MaskedArray of shape (3, 5); "
                          "numpy.asarray(n, dtype=numpy.complex128) converts it"]),
    # Accepted, then refused by the 2-D rule.
    "n-one-dimensional": (D, N[:, 0], WL, "new", "panic", TWO_D_MESSAGE,
                          [N_MUST + "a complex128 array of shape (3,)"]),
    "n-three-dimensional": (D, N[None], WL, "new", "panic", TWO_D_MESSAGE,
                            [N_MUST + "a complex128 array of shape (1, 3, 5)"]),
    # Shapes that do not fit, found by simulate().
    "n-fewer-columns": (D, N[:, :4], WL, "simulate", "panic", INDEX_MESSAGE,
                        ["n has 4 columns but wl has 5 wavelengths"]),
    "n-one-column": (D, N[:, :1], WL, "simulate", "panic", INDEX_MESSAGE,
                     ["n has 1 column but wl has 5 wavelengths"]),
    "n-transposed": (np.array([100.0, 80.0, 60.0]), np.ones((5, 3), complex), WL, "simulate",
                     "panic", INDEX_MESSAGE,
                     ["n has 3 columns but wl has 5 wavelengths; n has one row per medium and "
                      "one column per wavelength (is it transposed?)"]),
    "one-medium": (D, N[:1], WL, "simulate", "panic", INDEX_MESSAGE,
                   ["n has 1 row but a stack needs at least two media, the incidence and the "
                    "exit medium, one row each"]),
    "no-medium": (D, N[:0], WL, "simulate", "panic", INDEX_MESSAGE,
                  ["n has 0 rows but a stack needs at least two media, the incidence and the "
                   "exit medium, one row each"]),
    "empty-d": (np.empty(0), N, WL, "simulate", "panic", INDEX_MESSAGE,
                [d_layers("0 thicknesses", 3, "1 layer")]),
    "d-short": (np.array([100.0]), np.ones((5, 5), complex), WL, "simulate", "panic",
                INDEX_MESSAGE, [d_layers("1 thickness", 5, "3 layers")]),
    # Two arrays short at once: one note each.
    "one-medium-few-columns": (D, N[:1, :2], WL, "simulate", "panic", INDEX_MESSAGE,
                               ["n has 1 row but a stack needs at least two media, the "
                                "incidence and the exit medium, one row each",
                                "n has 2 columns but wl has 5 wavelengths"]),
    # More than 100 wavelengths: the fault comes back from a worker thread.
    "parallel-fewer-columns": (D, np.ones((3, 149), complex), np.linspace(400.0, 800.0, 150),
                               "simulate", "panic", INDEX_MESSAGE,
                               ["n has 149 columns but wl has 150 wavelengths"]),
}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("case", list(MISTAKES), ids=list(MISTAKES))
def test_common_mistake_carries_a_note_that_says_what_to_fix(case, panic_type):
    d, n, wl, where, kind, message, notes = MISTAKES[case]
    if where == "new":
        call = lambda: lamiro.DataPy(d, n, wl, 0.1, 0.0)  # noqa: E731
    else:
        obj = lamiro.DataPy(d, n, wl, 0.1, 0.0)
        call = obj.simulate
    if kind == "panic":
        exc = catch_panic(call)
    else:
        with pytest.raises(kind) as info:
            call()
        exc = info.value
        assert type(exc) is kind
    assert str(exc) == message and exc.args == (message,)
    assert exc.__notes__ == notes
    # A traceback shows the message, then each note on a line of its own.
    shown = "".join(traceback.format_exception(exc))
    assert shown.endswith(f"{message}\n" + "".join(f"{note}\n" for note in notes))


@pytest.mark.parametrize("build", [
    lambda: lamiro.DataPy(D, N, WL, "x", 0.0),
    lambda: lamiro.DataPy(D, N, WL, 0.1),
], ids=["theta-conversion", "binder"])
def test_no_note_where_no_array_is_at_fault(build):
    with pytest.raises(TypeError) as info:
        build()
    assert not hasattr(info.value, "__notes__")


# The refused argument, with each allocation of the interpreter's allocators
# failing in turn, one per call: while the note is made, while the error is
# made, while the note is added. Every call must end in the TypeError with
# its exact text, with its note or without it, or in MemoryError; a note is
# never put on the MemoryError.
def test_a_note_that_cannot_be_made_never_replaces_the_error():
    args = D, N.real.copy(), WL, 0.1, 0.0
    message = conversion_message("n", "ndarray")
    note = MISTAKES["n-float64"][-1]
    set_nomemory, remove_mem_hooks, DataPy = (_testcapi.set_nomemory,
                                              _testcapi.remove_mem_hooks, lamiro.DataPy)

    def failing_at(k):
        try:
            set_nomemory(k, k + 1)
            DataPy(*args)
        except BaseException as exc:  # noqa: BLE001 - whatever it raised is checked
            remove_mem_hooks()
            return exc
        finally:
            remove_mem_hooks()

    outcomes = []
    # Walk on until 50 calls in a row made everything: the calls then no
    # longer reach the failing allocation.
    while outcomes[-50:] != ["note"] * 50:
        assert len(outcomes) < 5000, "the walk does not come to an end"
        exc = failing_at(len(outcomes))
        if type(exc) is MemoryError:
            assert not hasattr(exc, "__notes__")
            outcomes.append("MemoryError")
            continue
        assert type(exc) is TypeError, repr(exc)
        # The type name is the one part a message can do without: the
        # defined fallback then stands in for it.
        assert str(exc) in (message, conversion_message("n", "<failed to extract type name>"))
        assert getattr(exc, "__notes__", []) in ([], note)
        outcomes.append("note" if hasattr(exc, "__notes__") else "no note")
    # Each way was seen: the note left out, the error lost to memory, and
    # both made.
    assert set(outcomes) == {"MemoryError", "note", "no note"}
