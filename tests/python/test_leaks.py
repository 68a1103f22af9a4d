# SPDX-License-Identifier: MIT
"""No leaks: every entry point, getter and error path run 10 000 times must
leave the reference counts of its inputs and of the types involved as they
were, keep the interpreter's count of allocated blocks flat and the
resident memory of the process within 1 MiB of where it stood after a
warm-up."""

import contextlib
import gc
import os
import sys

import numpy as np
import pytest

import lamiro
from conftest import resident_bytes, stack

CYCLES = 10_000
WARM_UP = 1_000
# One block per cycle would be 10 000; a handful of blocks may move between
# free lists, caches and the test's own frames.
BLOCK_SLACK = 100
RSS_LIMIT = 1 << 20
# AddressSanitizer holds freed memory in quarantine on purpose, so resident
# memory says nothing about leaks in a sanitized build.
CHECK_RSS = not os.environ.get("LAMIRO_SANITIZED")


@contextlib.contextmanager
def quiet_stderr():
    """Keeps the fault diagnostics of 10 000 panics off the test output."""
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


class FloatFails:
    def __float__(self):
        raise ValueError("no float")


class FloatTypeErrorWithCause:
    def __float__(self):
        raise TypeError("not a float") from KeyError("inner")


@pytest.fixture(scope="module")
def inputs():
    # Sizes chosen so that any buffer leaked once per cycle (a copy of an
    # input, a spectrum, the matrix cache) costs at least 800 bytes, 8 MB
    # over the run. The surplus thicknesses are never read.
    d, n, wl = stack(100, n_media=4, seed=1)
    big_d, big_n, big_wl = stack(150, n_media=4, seed=2)
    d = np.concatenate([d, np.full(126, 50.0)])
    big_d = np.concatenate([big_d, np.full(126, 50.0)])
    # Floats made at run time, not constants shared with other code.
    theta, phi = float("0.25") * 1.5, float("0.125") * 3
    ns = dict(d=d, n=n, wl=wl, theta=theta, phi=phi,
              big_d=big_d, big_n=big_n, big_wl=big_wl,
              n_real=np.ascontiguousarray(n.real), n_row=n[0], wl_2d=wl[None, :],
              floatfails=FloatFails(), floatcause=FloatTypeErrorWithCause(), word="abc",
              empty_d=np.empty(0), empty_n=np.empty((2, 0), complex), empty_wl=np.empty(0))
    ns["obj"] = lamiro.DataPy(d, n, wl, theta, phi)
    ns["big"] = lamiro.DataPy(big_d, big_n, big_wl, theta, phi)
    ns["empty"] = lamiro.DataPy(ns["empty_d"], ns["empty_n"], ns["empty_wl"], theta, phi)
    ns["res"] = ns["obj"].simulate()
    ns["bad"] = lamiro.DataPy(d, n[:, :2], wl, theta, phi)
    ns["big_bad"] = lamiro.DataPy(big_d, big_n[:, :75], big_wl, theta, phi)
    return ns


# name: (expression, expected exception or None). The expressions run with
# the fixture's objects as names.
CASES = {
    "construct": ("DataPy(d, n, wl, theta, phi)", None),
    "construct-keywords": ("DataPy(phi=phi, theta=theta, wl=wl, n=n, d=d)", None),
    "construct-views": ("DataPy(d[::-1], n[:, ::-2], wl[::2], theta, phi)", None),
    "getter-d": ("obj.d", None),
    "getter-n": ("obj.n", None),
    "getter-wl": ("obj.wl", None),
    "getter-theta": ("obj.theta", None),
    "getter-phi": ("obj.phi", None),
    "simulate-serial": ("obj.simulate()", None),
    "simulate-parallel": ("big.simulate()", None),
    "simulate-empty": ("empty.simulate()", None),
    "simulate-unbound": ("DataPy.simulate(obj)", None),
    "getter-r": ("res.r", None),
    "getter-t": ("res.t", None),
    "simulate-and-read": ("(lambda s: (s.r, s.t))(big.simulate())", None),
    "missing-argument": ("DataPy(d, n, wl, theta)", TypeError),
    "too-many-arguments": ("DataPy(d, n, wl, theta, phi, d)", TypeError),
    "unexpected-keyword": ("DataPy(d, n, wl, theta, phi, x=d)", TypeError),
    "repeated-argument": ("DataPy(d, n, wl, theta, phi, theta=theta)", TypeError),
    "d-not-array": ("DataPy(word, n, wl, theta, phi)", TypeError),
    "n-wrong-dtype": ("DataPy(d, n_real, wl, theta, phi)", TypeError),
    "wl-two-dimensional": ("DataPy(d, n, wl_2d, theta, phi)", TypeError),
    "theta-not-float": ("DataPy(d, n, wl, word, phi)", TypeError),
    "theta-error-with-cause": ("DataPy(d, n, wl, floatcause, phi)", TypeError),
    "phi-other-exception": ("DataPy(d, n, wl, theta, floatfails)", ValueError),
    "n-one-dimensional": ("DataPy(d, n_row, wl, theta, phi)", "panic"),
    "index-fault-serial": ("bad.simulate()", "panic"),
    "index-fault-parallel": ("big_bad.simulate()", "panic"),
    "simulation-constructor": ("Simulation(d, x=n)", TypeError),
    "simulate-with-argument": ("obj.simulate(d)", TypeError),
}


def tracked_objects(ns, panic_type):
    """The inputs and the types whose reference counts must not move."""
    names = ["d", "n", "wl", "theta", "phi", "big_d", "big_n", "big_wl", "n_real", "n_row",
             "wl_2d", "floatfails", "floatcause", "word", "obj", "big", "empty", "res", "bad",
             "big_bad"]
    return ([ns[name] for name in names]
            + [lamiro.DataPy, lamiro.Simulation, panic_type, np.ndarray,
               np.dtype(np.float64), np.dtype(np.complex128), TypeError, ValueError,
               FloatFails, FloatTypeErrorWithCause, float])


def cycle(call, expected, panic_type, count):
    for _ in range(count):
        try:
            call()
        except (Exception, panic_type) as exc:
            wanted = panic_type if expected == "panic" else expected
            if type(exc) is not wanted:
                raise
        else:
            assert expected is None


@pytest.mark.parametrize("case", list(CASES), ids=list(CASES))
def test_ten_thousand_cycles_leak_nothing(case, inputs, panic_type):
    expression, expected = CASES[case]
    namespace = dict(inputs, DataPy=lamiro.DataPy, Simulation=lamiro.Simulation)
    call = eval(f"lambda: {expression}", namespace)
    tracked = tracked_objects(inputs, panic_type)
    with quiet_stderr():
        cycle(call, expected, panic_type, WARM_UP)
        gc.collect()
        refs = [sys.getrefcount(o) for o in tracked]
        blocks = sys.getallocatedblocks()
        rss = resident_bytes()
        cycle(call, expected, panic_type, CYCLES)
        gc.collect()
        blocks_grown = sys.getallocatedblocks() - blocks
        rss_grown = resident_bytes() - rss
        refs_after = [sys.getrefcount(o) for o in tracked]
    print(f"\n{case}: blocks {blocks_grown:+d}, rss {rss_grown:+d} B")
    changed = [(repr(o)[:40], a, b) for o, a, b in zip(tracked, refs, refs_after) if a != b]
    assert changed == []
    assert blocks_grown < BLOCK_SLACK, blocks_grown
    if CHECK_RSS:
        assert rss_grown < RSS_LIMIT, rss_grown
