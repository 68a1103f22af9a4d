# SPDX-License-Identifier: MIT
"""lamiro_design.thickness_gradient and needle: the derivatives against
Richardson-extrapolated differences of lamiro's own spectra (and of
incoherent() for stacks with incoherent layers), the needle function against
actually inserting a layer of thickness h -> 0, r and t bit for bit those of
simulate() (also where a thick absorbing layer overflows the plain
products), angle arrays against per-angle calls, the merit form against the
per-wavelength form, independence of the thread count, and bad input."""

import hashlib
import math

import numpy as np
import pytest

import lamiro
import lamiro_design as ld
from conftest import outputs_by_thread_count, same_bits

RELATIVE, ABSOLUTE = 1e-7, 1e-12


def random_stack(rng, kind, wavelengths=4):
    """1 to 8 layers of one of three kinds: lossless, absorbing, or lossless
    with evanescent layers (a dense incidence medium at a steep angle, so
    that n0 sin(theta) exceeds the index of some layers)."""
    layers = int(rng.integers(1, 9))
    wl = np.sort(rng.uniform(400.0, 800.0, wavelengths))
    n = rng.uniform(1.3, 2.5, (layers + 2, wavelengths)) + 0j
    theta = float(rng.uniform(0.0, 1.2))
    if kind == "absorbing":
        n[1:] += 1j * rng.uniform(0.0, 0.3, (layers + 1, wavelengths))
    if kind == "evanescent":
        n[0], n[-1], theta = 1.9, 2.0, float(rng.uniform(0.9, 1.2))
    else:
        n[0] = rng.uniform(1.0, 1.6)
    d = rng.uniform(0.0, 300.0, layers)
    return d, n, wl, theta


def richardson(f, h):
    """df/dx at 0 from central differences of steps h and h/2, extrapolated."""
    def central(step):
        return (f(step) - f(-step)) / (2.0 * step)
    return (4.0 * central(h / 2.0) - central(h)) / 3.0


class Errors:
    """The largest relative error where the reference is not near zero, the
    largest absolute one elsewhere, and whether every value met its bound."""

    def __init__(self):
        self.relative = self.absolute = 0.0

    def check(self, got, reference):
        error = np.abs(got - reference)
        scale = np.abs(reference)
        near_zero = scale * RELATIVE <= ABSOLUTE
        if np.any(~near_zero):
            self.relative = max(self.relative, float(np.max(error[~near_zero] / scale[~near_zero])))
        if np.any(near_zero):
            self.absolute = max(self.absolute, float(np.max(error[near_zero])))
        return bool(np.all(error <= np.maximum(RELATIVE * scale, ABSOLUTE)))


def spectra(d, n, wl, theta, phi):
    result = lamiro.DataPy(d, n, wl, theta, phi).simulate()
    return np.stack([result.r, result.t])


@pytest.mark.parametrize("kind", ["lossless", "absorbing", "evanescent"])
@pytest.mark.parametrize("phi", [0.0, math.pi / 2, 0.7], ids=["s", "p", "mixed"])
def test_gradient_matches_extrapolated_differences_of_lamiro(kind, phi):
    rng = np.random.default_rng(sum(map(ord, kind)) + int(10 * phi))
    errors, failures = Errors(), []
    for trial in range(40):
        d, n, wl, theta = random_stack(rng, kind)
        grad = ld.thickness_gradient(d, n, wl, theta, phi)
        plain = lamiro.DataPy(d, n, wl, theta, phi).simulate()
        assert same_bits(grad.r, plain.r) and same_bits(grad.t, plain.t)
        for k in range(d.size):
            def moved(h, k=k):
                shifted = d.copy()
                shifted[k] += h
                return spectra(shifted, n, wl, theta, phi)
            reference = richardson(moved, 0.1)
            if not errors.check(np.stack([grad.dr[k], grad.dt[k]]), reference):
                failures.append((trial, k))
    print(f"{kind}, phi={phi}: largest relative error {errors.relative:.1e},"
          f" largest absolute error near zero {errors.absolute:.1e}")
    assert failures == []


def incoherent_stack(rng, wavelengths=4):
    """Coherent layers (20 to 300 thick, absorbing) and at least one
    incoherent one (1e4 to 1e6 thick, weakly absorbing)."""
    layers = int(rng.integers(2, 7))
    coherent = [bool(c) for c in rng.integers(0, 2, layers)]
    coherent[int(rng.integers(0, layers))] = False
    n = np.empty((layers + 2, wavelengths), dtype=np.complex128)
    n[0], n[-1] = rng.uniform(1.0, 1.5), rng.uniform(1.0, 2.0)
    d = np.empty(layers)
    for k, thin in enumerate(coherent):
        if thin:
            n[k + 1] = rng.uniform(1.3, 2.5, wavelengths) + 1j * rng.uniform(0.0, 0.1, wavelengths)
            d[k] = rng.uniform(20.0, 300.0)
        else:
            n[k + 1] = rng.uniform(1.4, 1.8) + 1j * rng.uniform(1e-7, 1e-5, wavelengths)
            d[k] = 10.0 ** rng.uniform(4.0, 6.0)
    wl = np.linspace(450.0, 750.0, wavelengths)
    return d, n, wl, float(rng.uniform(0.0, 0.8)), float(rng.uniform(0.0, math.pi)), coherent


def test_incoherent_gradient_matches_extrapolated_differences_of_incoherent():
    rng = np.random.default_rng(2002)
    errors, failures = Errors(), []
    for trial in range(100):
        d, n, wl, theta, phi, coherent = incoherent_stack(rng)
        grad = ld.thickness_gradient(d, n, wl, theta, phi, coherent)
        plain = ld.incoherent(d, n, wl, theta, phi, coherent)
        assert same_bits(grad.r, plain.r) and same_bits(grad.t, plain.t)
        for k in range(d.size):
            def moved(h, k=k):
                shifted = d.copy()
                shifted[k] += h
                result = ld.incoherent(shifted, n, wl, theta, phi, coherent)
                return np.stack([result.r, result.t])
            # P varies over lambda / (4 pi Im n), millimetres: a long step.
            reference = richardson(moved, 0.1 if coherent[k] else 100.0)
            if not errors.check(np.stack([grad.dr[k], grad.dt[k]]), reference):
                failures.append((trial, k))
    print(f"incoherent: largest relative error {errors.relative:.1e},"
          f" largest absolute error near zero {errors.absolute:.1e}")
    assert failures == []


def inserted(d, n, wl, theta, phi, material, depth, h):
    """R and T with a layer of `material` h thick inserted at `depth`."""
    bottoms = np.cumsum(d)
    k = int(np.searchsorted(bottoms, depth, side="right"))
    if k == d.size:  # the bottom of the stack: on top of the exit medium
        return spectra(np.append(d, h), np.insert(n, d.size + 1, material, axis=0), wl, theta, phi)
    top = bottoms[k] - d[k]
    split = np.concatenate([d[:k], [depth - top, h, bottoms[k] - depth], d[k + 1:]])
    rows = np.concatenate([n[:k + 2], [material, n[k + 1]], n[k + 2:]])
    return spectra(split, rows, wl, theta, phi)


@pytest.mark.parametrize("kind", ["lossless", "absorbing", "evanescent"])
def test_needle_matches_inserting_a_thin_layer(kind):
    rng = np.random.default_rng(31 + len(kind))
    errors, failures = Errors(), []
    for trial in range(25):
        d, n, wl, theta = random_stack(rng, kind)
        phi = float(rng.uniform(0.0, math.pi))
        candidates = rng.uniform(1.2, 2.6, (2, wl.size)) + 1j * rng.uniform(0.0, 0.2, (2, wl.size))
        bottoms = np.cumsum(d)
        depths = np.concatenate([[0.0], bottoms, rng.uniform(0.0, bottoms[-1], 4)])
        got = ld.needle(d, n, wl, theta, phi, candidates, depths)
        assert got.dr.shape == got.dt.shape == (2, depths.size, wl.size)
        for c in range(2):
            for z, depth in enumerate(depths):
                reference = richardson(
                    lambda h: inserted(d, n, wl, theta, phi, candidates[c], depth, h), 0.05)
                if not errors.check(np.stack([got.dr[c, z], got.dt[c, z]]), reference):
                    failures.append((trial, c, z))
    print(f"needle, {kind}: largest relative error {errors.relative:.1e},"
          f" largest absolute error near zero {errors.absolute:.1e}")
    assert failures == []


def test_needle_merit_is_the_weighted_sum_of_the_per_wavelength_form():
    rng = np.random.default_rng(12)
    d, n, wl, _ = random_stack(rng, "absorbing", wavelengths=150)
    thetas = np.linspace(0.0, 0.5, 3)
    material = rng.uniform(1.3, 2.4, (2, wl.size)) + 0j
    depths = np.linspace(-1.0, d.sum() + 1.0, 60)  # the ends are outside the stack
    weight_r, weight_t = rng.normal(size=(3, wl.size)), rng.normal(size=(3, wl.size))
    per_wavelength = ld.needle(d, n, wl, thetas, 0.3, material, depths)
    merit = ld.needle(d, n, wl, thetas, 0.3, material, depths, weight_r, weight_t)
    expected = (np.einsum("aczw,aw->cz", per_wavelength.dr, weight_r)
                + np.einsum("aczw,aw->cz", per_wavelength.dt, weight_t))
    assert merit.shape == (2, depths.size)
    assert np.all(np.isnan(merit[:, [0, -1]]))
    np.testing.assert_allclose(merit[:, 1:-1], expected[:, 1:-1], rtol=1e-11, atol=1e-15)
    # One weight row for every angle is the same as the row repeated.
    repeated = ld.needle(d, n, wl, thetas, 0.3, material[0], depths, weight_r=np.tile(weight_r[0], (3, 1)))
    assert same_bits(ld.needle(d, n, wl, thetas, 0.3, material[0], depths, weight_r[0]), repeated)


def test_r_and_t_are_simulates_also_where_a_thick_absorbing_layer_overflows():
    # 50 um of an absorbing layer: |m00|^2 overflows at the short wavelengths,
    # where simulate() replaces the plain values by the scaled evaluation's.
    wl = np.linspace(400.0, 800.0, 130)
    n = np.empty((5, wl.size), dtype=np.complex128)
    n[0], n[1], n[2], n[3], n[4] = 1.0, 2.1 + 0.01j, 1.5 + 0.6j, 1.46, 1.52
    d = np.array([90.0, 5e4, 120.0])
    # The layer's growth e^(Im kappa h) at 400 nm: its square exceeds the
    # largest binary64, so |m00|^2 overflows in the plain quotients.
    assert 2 * np.pi * n[2, 0].imag * d[1] / wl[0] > np.log(np.finfo(float).max) / 2
    for theta in (0.0, 0.6):
        for phi in (0.0, 0.9):
            grad = ld.thickness_gradient(d, n, wl, theta, phi)
            res = lamiro.DataPy(d, n, wl, theta, phi).simulate()
            assert same_bits(grad.r, res.r) and same_bits(grad.t, res.t)
            assert np.all(np.isfinite(grad.dr)) and np.all(np.isfinite(grad.dt))
    assert np.all(np.isfinite(res.r))
    # The first layer still has its ordinary derivative in front of the opaque one.
    reference = richardson(lambda h: spectra(d + [h, 0.0, 0.0], n, wl, 0.6, 0.9), 0.1)
    assert Errors().check(np.stack([grad.dr[0], grad.dt[0]]), reference)


@pytest.mark.parametrize("angles,wavelengths", [(3, 7), (40, 150)], ids=["serial", "pool"])
def test_angle_array_rows_are_the_single_angle_calls(angles, wavelengths):
    rng = np.random.default_rng(angles)
    d, n, wl, _ = random_stack(rng, "absorbing", wavelengths)
    thetas = np.linspace(0.0, 1.3, angles)
    material, depths = n[1] * 0.9, np.linspace(0.0, d.sum(), 11)
    coherent = [k % 2 == 0 for k in range(d.size)]
    grid = ld.thickness_gradient(d, n, wl, thetas, 0.4)
    mixed = ld.thickness_gradient(d, n, wl, thetas, 0.4, coherent)
    needles = ld.needle(d, n, wl, thetas, 0.4, material, depths)
    assert grid.dr.shape == (angles, d.size, wavelengths)
    assert needles.dr.shape == (angles, depths.size, wavelengths)
    for a, theta in enumerate(thetas):
        for whole, single in ((grid, ld.thickness_gradient(d, n, wl, theta, 0.4)),
                              (mixed, ld.thickness_gradient(d, n, wl, theta, 0.4, coherent)),
                              (needles, ld.needle(d, n, wl, theta, 0.4, material, depths))):
            assert all(same_bits(w[a], s) for w, s in zip(whole, single))


# Hashes of pool-sized calls, computed in a child with the given worker count.
DIGEST = """
import hashlib, numpy as np, lamiro_design as ld
rng = np.random.default_rng(5)
n = rng.uniform(1.3, 2.4, (10, 1001)) + 1j * rng.uniform(0, 0.05, (10, 1001))
n[0] = 1.0
d, wl, th = rng.uniform(20, 300, 8), np.linspace(400, 800, 1001), np.linspace(0, 1.2, 7)
depths = np.linspace(0, d.sum(), 200)
coherent = [True, True, False, True, True, True, False, True]
weights = rng.normal(size=(7, 1001))
h = hashlib.sha256()
for field in (*ld.thickness_gradient(d, n, wl, th, 0.3), *ld.thickness_gradient(d, n, wl, th, 0.3, coherent),
              *ld.needle(d, n, wl, th, 0.3, n[[2, 3]], depths),
              ld.needle(d, n, wl, th, 0.3, n[[2, 3]], depths, weights, weights[::-1])):
    h.update(field.tobytes())
print(h.hexdigest())
"""


def test_results_do_not_depend_on_the_thread_count():
    assert len(outputs_by_thread_count(DIGEST)) == 1


D, N, WL = np.array([100.0, 50.0]), np.ones((4, 3), dtype=np.complex128), np.array([4.0, 5.0, 6.0])
M, Z = np.ones(3, dtype=np.complex128), np.array([10.0, 120.0])
BAD = [
    (ld.thickness_gradient, (D, N, WL, 0.1, 0.0, [True]), {}, ValueError,
     "coherent must hold one boolean for each of the 2 layers, got 1"),
    (ld.thickness_gradient, (D, N, WL, 0.1), {}, TypeError,
     r"thickness_gradient\(\) missing 1 required positional argument: 'phi'"),
    (ld.thickness_gradient, (D[:1], N, WL, 0.1, 0.0), {}, ValueError,
     r"d must hold a thickness for each of the 2 layers .*, got 1"),
    (ld.needle, (D, N, WL, 0.1, 0.0, M.real, Z), {}, TypeError,
     r"material must be a 1-D complex128 array of refractive indices \(one per wavelength\) or a 2-D one "
     r"\(candidates × wavelengths\), got float64 with shape \(3,\)"),
    (ld.needle, (D, N, WL, 0.1, 0.0, np.ones((1, 1, 3), complex), Z), {}, TypeError,
     r"material must .*, got complex128 with shape \(1, 1, 3\)"),
    (ld.needle, (D, N, WL, 0.1, 0.0, M[:2], Z), {}, ValueError,
     "material must have a column for each of the 3 wavelengths, got 2 columns"),
    (ld.needle, (D, N, WL, 0.1, 0.0, M, Z.tolist()), {}, TypeError,
     "depths must be a 1-D float64 array of depths below the top of the stack, got list"),
    (ld.needle, (D, N, WL, 0.1, 0.0, M), {}, TypeError,
     r"needle\(\) missing 1 required positional argument: 'depths'"),
    (ld.needle, (D, N, WL, 0.1, 0.0, M, Z), {"weight_r": np.ones(2)}, ValueError,
     r"weight_r must have shape \(3,\), got float64 with shape \(2,\)"),
    (ld.needle, (D, N, WL, 0.1, 0.0, M, Z), {"weight_t": np.ones((1, 3))}, TypeError,
     r"weight_t must be a float64 array of shape \(wavelengths,\), got float64 with shape \(1, 3\)"),
    (ld.needle, (D, N, WL, np.zeros(3), 0.0, M, Z), {"weight_r": np.ones((2, 3))}, ValueError,
     r"weight_r must have shape \(3, 3\), got float64 with shape \(2, 3\)"),
    (ld.needle, (D, N, WL, 0.1, 0.0, M, Z, np.ones(3, np.float32)), {}, TypeError,
     r"weight_r must be a float64 array of shape \(wavelengths,\), got float32 with shape \(3,\)"),
]


@pytest.mark.parametrize("function,args,kwargs,kind,message", BAD, ids=range(len(BAD)))
def test_bad_input_names_the_argument(function, args, kwargs, kind, message):
    with pytest.raises(kind, match=f"^{message}$"):
        function(*args, **kwargs)
