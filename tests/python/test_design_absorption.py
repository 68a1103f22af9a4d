# SPDX-License-Identifier: MIT
"""lamiro_design.absorption: against tmm's absorp_in_each_layer and
inc_absorp_in_each_layer on random stacks, the energy balance with lamiro's
and incoherent()'s R and T, a closed form, finite values through a 1 mm
absorbing substrate, angle arrays and thread counts bit for bit."""

import hashlib
import math

import numpy as np
import pytest

import lamiro
import lamiro_design as ld
from conftest import outputs_by_thread_count, same_bits

tmm = pytest.importorskip("tmm")


def random_stack(rng, wavelengths=3, incoherent=False):
    """1 to 7 layers, lossless incidence medium (as tmm requires). Coherent
    layers 0 to 300 thick, lossless to strongly absorbing; with `incoherent`,
    about half the layers are 1e3 to 1e5 thick and weakly absorbing (single
    pass 0.6 to 1, where tmm does not clamp it). The exit medium absorbs in a
    third of the stacks."""
    layers = int(rng.integers(1, 8))
    flags = [not (incoherent and rng.random() < 0.5) for _ in range(layers)]
    n = np.empty((layers + 2, wavelengths), dtype=np.complex128)
    n[0] = rng.uniform(1.0, 1.6)
    n[-1] = rng.uniform(1.0, 2.5) + 1j * (rng.uniform(0.0, 0.3) if rng.random() < 1 / 3 else 0.0)
    d = np.empty(layers)
    for k, thin in enumerate(flags):
        if thin:
            n[k + 1] = rng.uniform(1.2, 2.6, wavelengths) + 1j * rng.uniform(0.0, 0.4, wavelengths)
            d[k] = rng.uniform(0.0, 300.0)
        else:
            n[k + 1] = rng.uniform(1.4, 1.8) + 1j * rng.uniform(0.0, 2e-4, wavelengths)
            d[k] = 10.0 ** rng.uniform(3.0, 5.0)
    wl = np.linspace(400.0, 800.0, wavelengths)
    return d, n, wl, float(rng.uniform(0.0, 1.2)), float(rng.uniform(0.0, math.pi)), flags


def tmm_absorption(d, n, wl, theta, phi, flags=None):
    """Layers 1 ... N - 2 of tmm, mixed as cos²φ·s + sin²φ·p, shape (N - 2, W)."""
    thick = [np.inf, *d, np.inf]
    letters = ["i", *("c" if c else "i" for c in flags), "i"] if flags else None
    columns = []
    for w, lam in enumerate(wl):
        column = 0.0
        for pol, weight in (("s", math.cos(phi) ** 2), ("p", math.sin(phi) ** 2)):
            if flags is None:
                layers = tmm.absorp_in_each_layer(tmm.coh_tmm(pol, list(n[:, w]), thick, theta, lam))
            else:
                layers = tmm.inc_absorp_in_each_layer(tmm.inc_tmm(pol, list(n[:, w]), thick, letters, theta, lam))
            column = column + weight * np.array(layers[1:-1])
        columns.append(column)
    return np.array(columns).T


@pytest.mark.parametrize("incoherent", [False, True], ids=["coherent", "incoherent"])
def test_agrees_with_tmm_and_balances_r_and_t(incoherent):
    rng = np.random.default_rng(18 + incoherent)
    worst, balance = 0.0, 0.0
    for _ in range(300):
        d, n, wl, theta, phi, flags = random_stack(rng, incoherent=incoherent)
        coherent = flags if incoherent else None
        a = ld.absorption(d, n, wl, theta, phi, coherent)
        assert a.shape == (len(d), len(wl))
        worst = max(worst, float(np.max(np.abs(a - tmm_absorption(d, n, wl, theta, phi, coherent)))))
        if n[-1, 0].imag == 0.0:
            if incoherent:
                r, t = ld.incoherent(d, n, wl, theta, phi, flags)
            else:
                res = lamiro.DataPy(d, n, wl, theta, phi).simulate()
                r, t = res.r, res.t
            balance = max(balance, float(np.max(np.abs(r + t + a.sum(axis=0) - 1.0))))
    print(f"largest difference from tmm {worst:.1e}, largest |R + T + sum A - 1| {balance:.1e}")
    assert worst <= 1e-10
    assert balance <= 1e-12


def test_every_layer_coherent_is_coherent_none_to_the_bit():
    rng = np.random.default_rng(4)
    d, n, wl, theta, phi, flags = random_stack(rng, wavelengths=150)
    expected = ld.absorption(d, n, wl, theta, phi)
    assert same_bits(ld.absorption(d, n, wl, theta, phi, [True] * len(d)), expected)
    assert same_bits(ld.absorption(d, n, wl, theta, phi, None), expected)


def test_single_thick_slab_closed_form():
    # Air | absorbing slab | air at normal incidence, incoherent: what R and
    # T of the closed form (as in test_design_incoherent) leave.
    m, lam, thickness = 1.52 + 2e-5j, 633.0, 2e4
    r01 = (1 - m) / (1 + m)
    R0 = abs(r01) ** 2
    T0 = abs(2 / (1 + m)) ** 2 * m.real
    T1 = abs(2 * m / (1 + m)) ** 2 / m.real
    P = math.exp(-4 * math.pi * m.imag * thickness / lam)
    R = R0 + T0 * T1 * R0 * P**2 / (1 - R0**2 * P**2)
    T = T0 * T1 * P / (1 - R0**2 * P**2)
    n = np.array([[1.0 + 0j], [m], [1.0 + 0j]])
    a = ld.absorption(np.array([thickness]), n, np.array([lam]), 0.0, 0.4, [False])
    assert a[0, 0] == pytest.approx(1 - R - T, rel=1e-9)


@pytest.mark.parametrize("coherent", [None, [True, True, True, False]], ids=["coherent", "incoherent"])
def test_one_millimetre_absorbing_substrate_gives_finite_values(coherent):
    # Air | 3 coherent layers | 1 mm of strongly absorbing glass | air: the
    # substrate takes everything the coating lets through, nothing comes out.
    wl = np.linspace(400.0, 800.0, 50)
    n = np.empty((6, wl.size), dtype=np.complex128)
    n[0], n[-1], n[-2] = 1.0, 1.0, 1.52 + 0.05j
    n[1:4] = np.array([1.45 + 0.001j, 2.3 + 0.01j, 1.9 + 0.001j])[:, None]
    d = np.array([80.0, 120.0, 95.0, 1e6])
    a = ld.absorption(d, n, wl, 0.3, 0.2, coherent)
    assert np.all(np.isfinite(a))
    r = lamiro.DataPy(d, n, wl, 0.3, 0.2).simulate().r
    np.testing.assert_allclose(a.sum(axis=0), 1.0 - r, rtol=1e-12)
    assert np.all(a[3] > 0.5)


@pytest.mark.parametrize("angles,wavelengths", [(3, 7), (40, 150)], ids=["serial", "pool"])
@pytest.mark.parametrize("incoherent", [False, True], ids=["coherent", "incoherent"])
def test_angle_array_rows_are_the_single_angle_calls(angles, wavelengths, incoherent):
    rng = np.random.default_rng(angles)
    d, n, wl, _, phi, flags = random_stack(rng, wavelengths, incoherent=True)
    flags[0] = not incoherent
    coherent = flags if incoherent else None
    thetas = np.linspace(0.0, 1.2, angles)
    grid = ld.absorption(d, n, wl, thetas, phi, coherent)
    assert grid.shape == (angles, len(d), wavelengths)
    for a, theta in enumerate(thetas):
        assert same_bits(grid[a], ld.absorption(d, n, wl, theta, phi, coherent))


DIGEST = """
import hashlib, numpy as np, lamiro_design as ld
rng = np.random.default_rng(5)
n = rng.uniform(1.3, 2.4, (10, 301)) + 1j * rng.uniform(0, 0.3, (10, 301))
n[0] = 1.0
n[3] = 1.5 + 1e-5j
d, wl, th = rng.uniform(20, 300, 8), np.linspace(400, 800, 301), np.linspace(0, 1.4, 37)
d[2] = 5e4
d[5] = 3e5  # a thick metal-like layer: some wavelengths go the scaled way
h = hashlib.sha256()
h.update(ld.absorption(d, n, wl, th, 0.3).tobytes())
h.update(ld.absorption(d, n, wl, th, 0.3, [True, True, False] + [True] * 5).tobytes())
print(h.hexdigest())
"""


def test_results_do_not_depend_on_the_thread_count():
    assert len(outputs_by_thread_count(DIGEST)) == 1


def test_no_layers_and_no_wavelengths_keep_their_shapes():
    n = np.ones((2, 4), dtype=np.complex128)
    assert ld.absorption(np.empty(0), n, np.ones(4), 0.1, 0.0).shape == (0, 4)
    n = np.ones((4, 0), dtype=np.complex128)
    assert ld.absorption(np.ones(2), n, np.empty(0), np.zeros(3), 0.0, [True, False]).shape == (3, 2, 0)
