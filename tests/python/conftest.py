# SPDX-License-Identifier: MIT
"""Shared helpers for the Python tests of lamiro.

The stacks here are small and chosen so that every test can read its inputs
at a glance; values that the module must reproduce to the bit are compared
through their bytes.
"""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

import lamiro

# The one-layer worked example: air, an absorbing film of index 2 + 0.1i and
# 100 units thick, glass; wavelength 500 units, 0.5 rad incidence.
EXAMPLE_N = np.array([[1.0 + 0.0j], [2.0 + 0.1j], [1.5 + 0.0j]])
EXAMPLE_D = np.array([100.0])
EXAMPLE_WL = np.array([500.0])
EXAMPLE_THETA = 0.5

TWO_D_MESSAGE = (
    "Failed to convert n to 2D array: ShapeError/IncompatibleShape: incompatible shapes"
)
INDEX_MESSAGE = "ndarray: index out of bounds"


def conversion_message(name, type_name):
    """The TypeError text for an array argument that was refused."""
    return f"argument '{name}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


def stack(n_wavelengths, n_media=3, seed=0):
    """A stack whose indices and wavelengths differ from column to column.

    Returns (d, n, wl) with n of shape (n_media, n_wavelengths), d of length
    n_media - 2 (thicknesses around 50 to 200) and wl from 400 to 800.
    """
    rng = np.random.default_rng(seed)
    n = np.empty((n_media, n_wavelengths), dtype=np.complex128)
    n[0] = 1.0
    if n_media > 1:
        n[-1] = 1.52 + 0.0j
    if n_media > 2:
        re = rng.uniform(1.3, 2.4, size=(n_media - 2, n_wavelengths))
        im = rng.uniform(0.0, 0.05, size=(n_media - 2, n_wavelengths))
        n[1:-1] = re + 1j * im
    d = rng.uniform(50.0, 200.0, size=max(n_media - 2, 0))
    wl = np.linspace(400.0, 800.0, n_wavelengths)
    return d, n, wl


def simulate(d, n, wl, theta, phi):
    """(r, t) of one DataPy built from the arguments."""
    result = lamiro.DataPy(d, n, wl, theta, phi).simulate()
    return result.r, result.t


def same_bits(a, b):
    """True when two float arrays hold the same values to the bit (NaN included)."""
    a = np.ascontiguousarray(a)
    b = np.ascontiguousarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def same_values(a, b):
    """True when two float or complex arrays are equal to the bit, except that
    any NaN equals any NaN (real and imaginary parts compared apart)."""
    a = np.asarray(a)
    b = np.asarray(b)
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.dtype.kind == "c":
        return same_values(a.real, b.real) and same_values(a.imag, b.imag)
    nan_a, nan_b = np.isnan(a), np.isnan(b)
    return bool((nan_a == nan_b).all()) and same_bits(np.where(nan_a, 0.0, a),
                                                      np.where(nan_b, 0.0, b))


def catch_panic(call):
    """Runs call(), which must fail with the module's internal-error exception.

    PanicException derives from BaseException, so it is caught here by that
    base and then checked by its qualified name.
    """
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - the point is the base class
        kind = type(exc)
        assert (kind.__module__, kind.__name__) == ("pyo3_runtime", "PanicException"), repr(exc)
        return exc
    pytest.fail("expected PanicException, nothing was raised")


@pytest.fixture(scope="session")
def panic_type():
    """The PanicException type, taken from a fault provoked on purpose."""
    d, n, wl = stack(2)
    return type(catch_panic(lambda: lamiro.DataPy(d, n[0], wl, 0.0, 0.0)))


@pytest.fixture
def sample():
    """A sound three-media stack with four wavelengths."""
    return stack(4)


def child_env(extra=None):
    """The environment of a child interpreter: this one's, with the module
    found the same way and the worker-count variables unset unless `extra`
    (a dict of variables) sets them."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.update(extra or {})
    return env


def run_python(code, env_extra=None, timeout=60):
    """Runs code in a fresh interpreter of this Python; returns (rc, stdout, stderr)."""
    proc = subprocess.run(
        [sys.executable, "-c", code],
        env=child_env(env_extra),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    return proc.returncode, proc.stdout, proc.stderr


def outputs_by_thread_count(code, counts=("1", "2", "7")):
    """The distinct stdout texts of `code` run in fresh interpreters, one per
    worker count in `counts`: a single text when the output does not depend on it."""
    outputs = set()
    for threads in counts:
        rc, out, err = run_python(code, env_extra={"RAYON_NUM_THREADS": threads})
        assert rc == 0, err
        outputs.add(out.strip())
    return outputs


def resident_bytes():
    """The resident memory of this process."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def ulps_apart(a, b):
    """Distance of two finite doubles in units in the last place of the larger."""
    return abs(a - b) / math.ulp(max(abs(a), abs(b)))
