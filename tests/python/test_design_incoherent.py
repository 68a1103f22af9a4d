# SPDX-License-Identifier: MIT
"""lamiro_design.incoherent: against tmm's inc_tmm on random stacks of
coherent and incoherent layers, the closed forms of a single thick slab and
of a thick layer between two coherent groups,
lamiro's own spectra to the bit when every layer is coherent, finite values
through a 1 mm absorbing substrate, angle arrays against single angles, and
the errors of a bad `coherent`."""

import math

import numpy as np
import pytest

import lamiro
import lamiro_design as ld
from conftest import same_bits

tmm = pytest.importorskip("tmm")


def random_stack(rng, wavelengths=3):
    """1 to 6 layers, each coherent (20 to 300 thick) or incoherent (1e4 to
    1e6 thick, weakly absorbing); lossless incidence medium."""
    layers = int(rng.integers(1, 7))
    coherent = [bool(c) for c in rng.integers(0, 2, layers)]
    n = np.empty((layers + 2, wavelengths), dtype=np.complex128)
    n[0] = rng.uniform(1.0, 1.5)
    n[-1] = rng.uniform(1.0, 2.0)  # lossless: T into an absorbing exit medium is a convention
    d = np.empty(layers)
    for k, thin in enumerate(coherent):
        if thin:
            n[k + 1] = rng.uniform(1.3, 2.5, wavelengths) + 1j * rng.uniform(0.0, 0.05, wavelengths)
            d[k] = rng.uniform(20.0, 300.0)
        else:
            n[k + 1] = rng.uniform(1.4, 1.8) + 1j * rng.uniform(0.0, 1e-5, wavelengths)
            d[k] = 10.0 ** rng.uniform(4.0, 6.0)
    wl = np.linspace(450.0, 750.0, wavelengths)
    return d, n, wl, float(rng.uniform(0.0, 0.6)), float(rng.uniform(0.0, math.pi)), coherent


def tmm_incoherent(d, n, wl, theta, phi, coherent):
    thick = [np.inf, *d, np.inf]
    flags = ["i", *("c" if c else "i" for c in coherent), "i"]
    r, t = [], []
    for w, lam in enumerate(wl):
        s = tmm.inc_tmm("s", list(n[:, w]), thick, flags, theta, lam)
        p = tmm.inc_tmm("p", list(n[:, w]), thick, flags, theta, lam)
        r.append(math.cos(phi) ** 2 * s["R"] + math.sin(phi) ** 2 * p["R"])
        t.append(math.cos(phi) ** 2 * s["T"] + math.sin(phi) ** 2 * p["T"])
    return np.array(r), np.array(t)


def test_agrees_with_tmm_inc_tmm():
    rng = np.random.default_rng(2002)
    worst = {"r": 0.0, "t": 0.0}
    for _ in range(250):
        d, n, wl, theta, phi, coherent = random_stack(rng)
        ours = ld.incoherent(d, n, wl, theta, phi, coherent)
        ref = tmm_incoherent(d, n, wl, theta, phi, coherent)
        worst["r"] = max(worst["r"], float(np.max(np.abs(ours.r - ref[0]))))
        worst["t"] = max(worst["t"], float(np.max(np.abs(ours.t - ref[1]))))
    print("largest difference from tmm.inc_tmm:", worst)
    assert worst["r"] <= 1e-10 and worst["t"] <= 1e-10, worst


@pytest.mark.parametrize("thickness,k", [(1e4, 1e-5), (1e6, 2e-5), (5e5, 0.0)])
def test_single_thick_slab_closed_form(thickness, k):
    # Air | slab | air at normal incidence: R = R0 + T0·T1·R1·P²/(1 − R1²P²),
    # T = T0·T1·P/(1 − R1²P²), with the Fresnel power fractions of the two
    # faces (R1 = R0 seen from inside, T1 out of the slab) and single-pass P.
    m, lam = 1.52 + 1j * k, 633.0
    r01 = (1 - m) / (1 + m)
    R0 = abs(r01) ** 2
    T0 = abs(2 / (1 + m)) ** 2 * m.real
    T1 = abs(2 * m / (1 + m)) ** 2 / m.real
    P = math.exp(-4 * math.pi * k * thickness / lam)
    R = R0 + T0 * T1 * R0 * P**2 / (1 - R0**2 * P**2)
    T = T0 * T1 * P / (1 - R0**2 * P**2)
    n = np.array([[1.0 + 0j], [m], [1.0 + 0j]])
    res = ld.incoherent(np.array([thickness]), n, np.array([lam]), 0.0, 0.4, [False])
    assert res.r[0] == pytest.approx(R, rel=1e-12, abs=1e-15)
    assert res.t[0] == pytest.approx(T, rel=1e-12, abs=1e-15)


@pytest.mark.parametrize("phi", [0.0, math.pi / 2], ids=["s", "p"])
def test_thick_layer_between_coherent_groups_closed_form(phi):
    # Air | two coherent layers (A) | 1 mm lossless glass | two coherent
    # layers (B) | water. With the groups' power fractions from lamiro (A
    # forwards, A backwards from inside the glass, B from inside the glass):
    # R = R_A + T_A·T_A'·R_B/(1 − R_A'·R_B), T = T_A·T_B/(1 − R_A'·R_B).
    rng = np.random.default_rng(11)
    wl = np.linspace(420.0, 780.0, 5)
    coating = rng.uniform(1.3, 2.4, (4, 5)) + 1j * rng.uniform(0.0, 0.05, (4, 5))
    glass, water, air = np.full(5, 1.5 + 0j), np.full(5, 1.33 + 0j), np.ones(5, dtype=np.complex128)
    d = np.array([80.0, 140.0, 1e6, 95.0, 60.0])
    n = np.array([air, coating[0], coating[1], glass, coating[2], coating[3], water])
    theta = 0.3
    inside = math.asin(math.sin(theta) / 1.5)

    def power(d, n, theta):
        res = lamiro.DataPy(np.array(d), np.array(n), wl, theta, phi).simulate()
        return res.r, res.t

    r_a, t_a = power(d[:2], n[:4], theta)
    r_a_back, t_a_back = power(d[1::-1], n[3::-1], inside)
    r_b, t_b = power(d[3:], n[3:], inside)
    res = ld.incoherent(d, n, wl, theta, phi, [True, True, False, True, True])
    denominator = 1 - r_a_back * r_b
    np.testing.assert_allclose(res.r, r_a + t_a * t_a_back * r_b / denominator, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(res.t, t_a * t_b / denominator, rtol=1e-12, atol=1e-15)


def test_every_layer_coherent_is_lamiro_to_the_bit():
    rng = np.random.default_rng(4)
    for media, wavelengths in [(2, 5), (5, 7), (12, 400)]:
        n = rng.uniform(1.3, 2.4, (media, wavelengths)) + 1j * rng.uniform(0, 0.05, (media, wavelengths))
        n[0] = 1.0
        d, wl = rng.uniform(10, 300, media - 2), np.linspace(400, 800, wavelengths)
        thetas = np.array([0.0, 0.4, 1.1])
        grid = ld.incoherent(d, n, wl, thetas, 0.7, [True] * (media - 2))
        for a, theta in enumerate(thetas):
            res = lamiro.DataPy(d, n, wl, theta, 0.7).simulate()
            assert same_bits(grid.r[a], res.r) and same_bits(grid.t[a], res.t)


def test_one_millimetre_absorbing_substrate_gives_finite_values():
    # Air | 3 coherent layers | 1 mm of strongly absorbing glass | air:
    # nothing comes back from the back side, so R is that of the front
    # coating on a semi-infinite substrate, and nothing is transmitted.
    rng = np.random.default_rng(8)
    wl = np.linspace(400.0, 800.0, 50)
    n = np.empty((6, wl.size), dtype=np.complex128)
    n[0], n[-1], n[-2] = 1.0, 1.0, 1.52 + 0.05j
    n[1:4] = (rng.uniform(1.4, 2.3, 3) + 0.001j)[:, None]
    d = np.array([80.0, 120.0, 95.0, 1e6])
    res = ld.incoherent(d, n, wl, 0.3, 0.2, [True, True, True, False])
    assert np.all(np.isfinite(res.r)) and np.all(np.isfinite(res.t))
    assert np.all(res.t == 0.0)
    front = lamiro.DataPy(d[:3], n[:5], wl, 0.3, 0.2).simulate().r
    np.testing.assert_allclose(res.r, front, rtol=1e-13)


def test_angle_array_rows_are_the_single_angle_calls():
    rng = np.random.default_rng(6)
    d, n, wl, _, phi, coherent = random_stack(rng, wavelengths=150)
    coherent[0] = False
    thetas = np.linspace(0.0, 0.6, 40)
    grid = ld.incoherent(d, n, wl, thetas, phi, coherent)
    for a, theta in enumerate(thetas):
        single = ld.incoherent(d, n, wl, theta, phi, coherent)
        assert same_bits(grid.r[a], single.r) and same_bits(grid.t[a], single.t)


D, N, WL = np.array([100.0, 1e5]), np.ones((4, 2), dtype=np.complex128), np.array([500.0, 600.0])


@pytest.mark.parametrize("coherent,kind,message", [
    ([True], ValueError, "coherent must hold one boolean for each of the 2 layers, got 1"),
    ((True, False, True), ValueError, "coherent must hold one boolean for each of the 2 layers, got 3"),
    ([True, 1], TypeError, "coherent must be a sequence of booleans, one per layer, got int at index 1"),
    ("ci", TypeError, "coherent must be a sequence of booleans, one per layer, got str"),
    (None, TypeError, "coherent must be a sequence of booleans, one per layer, got NoneType"),
], ids=["short", "long", "int", "str", "none"])
def test_bad_coherent_names_the_argument(coherent, kind, message):
    with pytest.raises(kind, match=f"^{message}$"):
        ld.incoherent(D, N, WL, 0.1, 0.0, coherent)


def test_numpy_booleans_are_accepted():
    expected = ld.incoherent(D, N, WL, 0.1, 0.0, [True, False])
    got = ld.incoherent(D, N, WL, 0.1, 0.0, np.array([True, False]))
    assert same_bits(got.r, expected.r) and same_bits(got.t, expected.t)
