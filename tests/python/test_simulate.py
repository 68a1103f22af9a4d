# SPDX-License-Identifier: MIT
"""End to end: DataPy(...).simulate() and the Simulation it returns.

Reference values: the one-layer example and the air/glass interface are the
published worked examples of the model; everything else is checked through
invariants (per-wavelength evaluation, worker counts, energy conservation).
"""

import gc
import math
import os
import sys

import numpy as np
import pytest

import lamiro
from conftest import (
    EXAMPLE_D,
    EXAMPLE_N,
    EXAMPLE_THETA,
    EXAMPLE_WL,
    INDEX_MESSAGE,
    catch_panic,
    resident_bytes,
    run_python,
    same_bits,
    simulate,
    stack,
    ulps_apart,
)

# --- worked examples ------------------------------------------------------------


@pytest.mark.parametrize(
    "phi, r_text, t_text",
    [
        (0.7, "0.114178195004", "0.686983730719"),
        (0.0, "0.138176341392", "0.668621578963"),
        (math.pi / 2, "0.0803517717198", "0.712865976276"),
    ],
    ids=["phi=0.7", "phi=0", "phi=pi/2"],
)
def test_one_layer_example_to_12_digits(phi, r_text, t_text):
    r, t = simulate(EXAMPLE_D, EXAMPLE_N, EXAMPLE_WL, EXAMPLE_THETA, phi)
    assert r.shape == (1,) and t.shape == (1,)
    assert (f"{r[0]:.12g}", f"{t[0]:.12g}") == (r_text, t_text)
    assert r[0] + t[0] < 1.0  # the film absorbs


@pytest.mark.parametrize("phi", [0.0, 0.3, math.pi / 4, math.pi / 2, 2.0, -1.0],
                         ids=["0", "0.3", "pi/4", "pi/2", "2", "-1"])
def test_air_on_glass_at_normal_incidence(phi):
    n = np.array([[1.0 + 0.0j], [1.5 + 0.0j]])
    r, t = simulate(np.zeros(0), n, np.array([550.0]), 0.0, phi)
    assert ulps_apart(r[0], 0.04) <= 2
    assert ulps_apart(t[0], 0.96) <= 2


# --- invariants of the optics ---------------------------------------------------


@pytest.mark.parametrize(
    "indices, theta",
    [
        ([1.0, 1.38, 2.1, 1.38, 2.1, 1.52], 0.0),
        ([1.0, 1.38, 2.1, 1.38, 2.1, 1.52], 0.9),
        ([1.5, 1.0, 1.6], 1.2),  # evanescent middle layer: tunnelling
        ([1.5, 1.9, 1.0, 1.7, 1.6], 1.2),
    ],
    ids=["quarter-stack-normal", "quarter-stack-oblique", "tunnelling", "tunnelling-3-layers"],
)
@pytest.mark.parametrize("phi", [0.0, 0.6, math.pi / 2], ids=["s", "mixed", "p"])
def test_lossless_stack_conserves_energy(indices, theta, phi):
    wl = np.linspace(400.0, 800.0, 9)
    n = np.repeat(np.array(indices, dtype=np.complex128)[:, None], wl.size, axis=1)
    d = np.linspace(60.0, 140.0, len(indices) - 2)
    r, t = simulate(d, n, wl, theta, phi)
    assert np.all(np.abs(r + t - 1.0) < 1e-14), r + t - 1.0


@pytest.mark.parametrize("layers", [0, 1, 2], ids=["no-layer", "one-layer", "two-layers"])
def test_total_internal_reflection(layers):
    indices = [1.5] + [1.8, 1.3][:layers] + [1.0]
    wl = np.array([450.0, 600.0, 750.0])
    n = np.repeat(np.array(indices, dtype=np.complex128)[:, None], wl.size, axis=1)
    r, t = simulate(np.full(layers, 80.0), n, wl, 1.2, 0.4)
    assert np.all(t == 0.0)
    assert np.all(np.abs(r - 1.0) < 1e-14)


def test_angle_beyond_90_degrees_negates_transmittance():
    d, n, wl = stack(6)
    n = n.real.astype(np.complex128)  # lossless
    r1, t1 = simulate(d, n, wl, 0.3, 0.5)
    r2, t2 = simulate(d, n, wl, math.pi - 0.3, 0.5)
    assert np.all(t1 > 0)
    np.testing.assert_allclose(t2, -t1, rtol=1e-12)
    np.testing.assert_allclose(r2, r1, rtol=1e-12)


# --- spectrum evaluation: serial, parallel and per wavelength ------------------


def per_wavelength(d, n, wl, theta, phi):
    """Each wavelength evaluated alone, as a stack with one column."""
    pairs = [simulate(d, n[:, i:i + 1], wl[i:i + 1], theta, phi) for i in range(wl.size)]
    return (np.array([p[0][0] for p in pairs], dtype=np.float64),
            np.array([p[1][0] for p in pairs], dtype=np.float64))


@pytest.mark.parametrize("count", [1, 2, 100, 101, 257], ids=lambda c: f"N={c}")
def test_spectrum_equals_per_wavelength_evaluation_bit_for_bit(count):
    d, n, wl = stack(count, n_media=7, seed=count)
    r, t = simulate(d, n, wl, 0.4, 0.8)
    r_ref, t_ref = per_wavelength(d, n, wl, 0.4, 0.8)
    assert same_bits(r, r_ref)
    assert same_bits(t, t_ref)


WORKER_SCRIPT = r"""
import numpy as np
import lamiro
data = np.load(%r)
res = lamiro.DataPy(data["d"], data["n"], data["wl"], 0.35, 1.1).simulate()
np.savez(%r, r=res.r, t=res.t)
"""


@pytest.fixture(scope="module")
def big_stack():
    return stack(1000, n_media=12, seed=42)


def spectra_in_child(tmp_path, d, n, wl, threads):
    """(r, t) computed in a fresh process with RAYON_NUM_THREADS = threads."""
    inputs = tmp_path / "inputs.npz"
    outputs = tmp_path / "outputs.npz"
    np.savez(inputs, d=d, n=n, wl=wl)
    rc, _, err = run_python(WORKER_SCRIPT % (str(inputs), str(outputs)),
                            env_extra={"RAYON_NUM_THREADS": threads})
    assert rc == 0, err
    got = np.load(outputs)
    return got["r"], got["t"]


@pytest.mark.parametrize("threads", ["1", "2", "8"], ids=lambda k: f"RAYON_NUM_THREADS={k}")
def test_parallel_equals_serial_for_any_worker_count(tmp_path, big_stack, threads):
    d, n, wl = big_stack
    r, t = spectra_in_child(tmp_path, d, n, wl, threads)
    r_ref, t_ref = per_wavelength(d, n, wl, 0.35, 1.1)
    assert same_bits(r, r_ref)
    assert same_bits(t, t_ref)


@pytest.fixture(scope="module")
def nan_stack():
    """Wavelengths whose spectra are NaN, scattered over every lane position
    of the packed evaluation: a vanishing incidence index with an absorbing
    layer of NaN loss, and NaN wavelengths."""
    d, n, wl = stack(300, n_media=4, seed=3)
    for w in range(5, 300, 37):
        n[0, w] = 1e-300
        n[1, w] = complex(2.0, float("nan"))
    wl[[2, 71, 150, 299]] = float("nan")
    return d, n, wl


@pytest.mark.parametrize("threads", ["1", "2", "3", "4"], ids=lambda k: f"RAYON_NUM_THREADS={k}")
def test_nan_results_are_the_same_bytes_for_any_worker_count(tmp_path, nan_stack, threads):
    d, n, wl = nan_stack
    r, t = spectra_in_child(tmp_path, d, n, wl, threads)
    assert np.isnan(r).sum() >= 12
    r_ref, t_ref = per_wavelength(d, n, wl, 0.35, 1.1)
    assert same_bits(r, r_ref)
    assert same_bits(t, t_ref)


@pytest.mark.parametrize(
    "n_shape",
    [(2, 0), (0, 0), (1, 0), (5, 0), (3, 7)],
    ids=["2x0", "0x0", "1x0", "5x0", "3x7-unused"],
)
def test_no_wavelengths_gives_empty_spectra(n_shape):
    res = lamiro.DataPy(np.zeros(0), np.ones(n_shape, complex), np.zeros(0), 0.1, 0.2).simulate()
    for spectrum in (res.r, res.t):
        assert type(spectrum) is np.ndarray
        assert spectrum.dtype == np.float64 and spectrum.shape == (0,)


@pytest.mark.parametrize("count", [50, 500], ids=["serial", "parallel"])
def test_surplus_columns_and_thicknesses_are_never_read(count):
    d, n, wl = stack(count, n_media=5, seed=7)
    wide = np.concatenate([n, np.full((5, 3), complex(np.nan, np.nan))], axis=1)
    long_d = np.concatenate([d, [np.nan, -1.0]])
    ref = simulate(d, n, wl, 0.2, 0.3)
    got = simulate(long_d, wide, wl, 0.2, 0.3)
    assert same_bits(got[0], ref[0]) and same_bits(got[1], ref[1])


@pytest.mark.parametrize("count", [7, 150], ids=["serial", "parallel"])
def test_views_give_the_same_spectra_as_contiguous_copies(count):
    d, n, wl = stack(count, n_media=6, seed=3)
    ref = simulate(d, n, wl, 0.25, 0.9)
    views = [
        (d[::-1].copy()[::-1], np.ascontiguousarray(n[::-1])[::-1], wl[::-1].copy()[::-1]),
        (np.repeat(d, 2)[::2], np.asfortranarray(n), np.repeat(wl, 3)[1::3]),
        (d, np.ascontiguousarray(n[:, ::-1])[:, ::-1], wl),
    ]
    for vd, vn, vwl in views:
        got = simulate(vd, vn, vwl, 0.25, 0.9)
        assert same_bits(got[0], ref[0]) and same_bits(got[1], ref[1])


# --- index faults ---------------------------------------------------------


def faulty_stack(kind, count):
    d, n, wl = stack(count, n_media=4, seed=count)
    if kind == "too-few-columns":
        return d, n[:, :-1], wl
    if kind == "no-columns":
        return d, n[:, :0], wl
    if kind == "one-medium":
        return d, n[:1], wl
    if kind == "no-media":
        return d, n[:0], wl
    if kind == "short-d":
        return d[:1], n, wl
    if kind == "empty-d":
        return d[:0], n[:3], wl
    raise ValueError(kind)


FAULT_KINDS = ["too-few-columns", "no-columns", "one-medium", "no-media", "short-d", "empty-d"]


@pytest.mark.parametrize("count", [50, 500], ids=["N=50-serial", "N=500-parallel"])
@pytest.mark.parametrize("kind", FAULT_KINDS)
def test_index_fault_then_sound_simulate_succeeds(panic_type, kind, count):
    d, n, wl = faulty_stack(kind, count)
    obj = lamiro.DataPy(d, n, wl, 0.3, 0.4)  # shapes are not related at construction
    stored = (obj.d, obj.n, obj.wl, obj.theta, obj.phi)
    for _ in range(2):
        exc = catch_panic(obj.simulate)
        assert type(exc) is panic_type
        assert exc.args == (INDEX_MESSAGE,)
    assert same_bits(obj.d, stored[0]) and same_bits(obj.n, stored[1])
    assert same_bits(obj.wl, stored[2]) and (obj.theta, obj.phi) == stored[3:]

    # The process, and the worker pool, go on working.
    r, t = simulate(EXAMPLE_D, EXAMPLE_N, EXAMPLE_WL, EXAMPLE_THETA, 0.7)
    assert (f"{r[0]:.12g}", f"{t[0]:.12g}") == ("0.114178195004", "0.686983730719")
    d, n, wl = stack(count, n_media=4, seed=1)
    r, t = simulate(d, n, wl, 0.3, 0.4)
    r_ref, t_ref = per_wavelength(d, n, wl, 0.3, 0.4)
    assert same_bits(r, r_ref) and same_bits(t, t_ref)


# --- the Simulation object ------------------------------------------------------


def test_result_shape_and_kind(sample):
    d, n, wl = sample
    res = lamiro.DataPy(d, n, wl, 0.2, 0.1).simulate()
    assert type(res) is lamiro.Simulation
    for spectrum in (res.r, res.t):
        assert type(spectrum) is np.ndarray
        assert spectrum.dtype == np.float64 and spectrum.shape == (wl.size,)


@pytest.mark.parametrize("name", ["r", "t"])
def test_result_getters_return_fresh_arrays(sample, name):
    d, n, wl = sample
    res = lamiro.DataPy(d, n, wl, 0.2, 0.1).simulate()
    first, second = getattr(res, name), getattr(res, name)
    assert first is not second and not np.shares_memory(first, second)
    assert first.flags.writeable and first.flags.c_contiguous and first.base is None
    kept = first.copy()
    first[0] = 5.0
    assert same_bits(getattr(res, name), kept)


def test_two_simulate_calls_give_equal_independent_results(sample):
    d, n, wl = sample
    obj = lamiro.DataPy(d, n, wl, 0.2, 0.1)
    a, b = obj.simulate(), obj.simulate()
    c = lamiro.DataPy.simulate(obj)
    assert a is not b and b is not c
    for name in ("r", "t"):
        assert same_bits(getattr(a, name), getattr(b, name))
        assert same_bits(getattr(a, name), getattr(c, name))


@pytest.mark.parametrize(
    "call",
    [lambda o: o.simulate(1), lambda o: o.simulate(x=1), lambda o: lamiro.DataPy.simulate(),
     lambda o: lamiro.DataPy.simulate(o, None)],
    ids=["positional", "keyword", "no-self", "self-and-one"],
)
def test_simulate_takes_no_arguments(sample, call):
    obj = lamiro.DataPy(*sample, 0.2, 0.1)
    with pytest.raises(TypeError):
        call(obj)


def test_simulate_rejects_a_foreign_receiver():
    with pytest.raises(TypeError):
        lamiro.DataPy.simulate(1)


def test_results_outlive_the_datapy(sample):
    d, n, wl = sample
    obj = lamiro.DataPy(d, n, wl, 0.2, 0.1)
    res = obj.simulate()
    kept = (res.r, res.t)
    del obj
    gc.collect()
    assert same_bits(res.r, kept[0]) and same_bits(res.t, kept[1])


def test_reference_counts_and_memory_steady_over_many_cycles():
    d, n, wl = stack(64, n_media=3)
    theta, phi = float("0.3"), float("0.45")
    watched = (d, n, wl, theta, phi, lamiro.DataPy, lamiro.Simulation)

    def cycles(count):
        for _ in range(count):
            res = lamiro.DataPy(d, n, wl, theta, phi).simulate()
            res.r
            res.t

    cycles(2_000)
    before_refs = [sys.getrefcount(o) for o in watched]
    before_rss = resident_bytes()
    cycles(10_000)
    assert [sys.getrefcount(o) for o in watched] == before_refs
    # Every cycle copies about 4 KiB into the module; a leak of any of those
    # buffers would add tens of MiB. (AddressSanitizer keeps freed blocks in
    # quarantine, so the resident size says nothing under it.)
    if not os.environ.get("LAMIRO_SANITIZED"):
        assert resident_bytes() - before_rss < 4 * 2**20
