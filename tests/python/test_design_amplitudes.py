# SPDX-License-Identifier: MIT
"""lamiro_design.amplitudes and ellipsometry: against tmm on random stacks,
against lamiro's reflectance bit for bit, angle arrays against per-angle
calls bit for bit, independent of the thread count and of other Python
threads, inputs copied at acceptance, and the errors of bad input."""

import hashlib
import math
import threading

import numpy as np
import pytest

import lamiro
import lamiro_design as ld
from conftest import outputs_by_thread_count, same_bits

tmm = pytest.importorskip("tmm")


def random_stack(rng, wavelengths=5):
    """2 to 8 media: lossless incidence medium (as tmm requires), absorbing
    layers and exit medium, thicknesses 0 to 300, wavelengths 400 to 800."""
    media = int(rng.integers(2, 9))
    n = rng.uniform(1.2, 2.6, (media, wavelengths)) + 1j * rng.uniform(0.0, 0.1, (media, wavelengths))
    n[0] = rng.uniform(1.0, 1.6)
    d = rng.uniform(0.0, 300.0, media - 2)
    return d, n, np.linspace(400.0, 800.0, wavelengths), float(rng.uniform(0.0, 1.3))


def tmm_coefficients(d, n, wl, theta):
    """rs, rp, ts, tp and Psi, Delta of tmm, one value per wavelength."""
    thick = [np.inf, *d, np.inf]
    out = {key: [] for key in ("rs", "rp", "ts", "tp", "psi", "delta")}
    for w, lam in enumerate(wl):
        for pol in "sp":
            res = tmm.coh_tmm(pol, list(n[:, w]), thick, theta, lam)
            out["r" + pol].append(res["r"])
            out["t" + pol].append(res["t"])
        e = tmm.ellips(list(n[:, w]), thick, theta, lam)
        out["psi"].append(e["psi"])
        out["delta"].append(e["Delta"])
    return {key: np.array(values) for key, values in out.items()}


def test_amplitudes_and_ellipsometry_agree_with_tmm():
    rng = np.random.default_rng(18)
    worst = {key: 0.0 for key in ("rs", "rp", "ts", "tp", "psi", "delta")}
    for _ in range(300):
        d, n, wl, theta = random_stack(rng)
        a, e = ld.amplitudes(d, n, wl, theta), ld.ellipsometry(d, n, wl, theta)
        ours = dict(rs=a.rs, rp=a.rp, ts=a.ts, tp=a.tp, psi=e.psi, delta=e.delta)
        ref = tmm_coefficients(d, n, wl, theta)
        for key in worst:
            diff = ours[key] - ref[key]
            if key == "delta":  # angles: +pi and -pi are the same
                diff = np.angle(np.exp(1j * diff))
            scale = np.maximum(1.0, np.abs(ref[key]))
            worst[key] = max(worst[key], float(np.max(np.abs(diff) / scale)))
    print("largest difference from tmm:", worst)
    assert all(value <= 1e-12 for value in worst.values()), worst


def test_thick_absorbing_wafer_gives_tmms_amplitudes():
    # A silicon wafer in air, 1 um to 1 m: the plain matrices overflow from
    # about 100 um on at 400 nm. r is that of tmm (the front surface's, once
    # the wafer is opaque), |rs|**2 is lamiro's R, t vanishes.
    wl = np.array([400.0, 500.0, 800.0])
    silicon = np.array([5.6 + 0.4j, 4.3 + 0.07j, 3.7 + 0.006j])
    n = np.array([np.ones(3), silicon, np.ones(3)], dtype=np.complex128)
    for thickness in (1e3, 5e4, 5e5, 1e9):
        d = np.array([thickness])
        a, e = ld.amplitudes(d, n, wl, 0.2), ld.ellipsometry(d, n, wl, 0.2)
        ref = tmm_coefficients(d, n, wl, 0.2)
        for key, value in (("rs", a.rs), ("rp", a.rp), ("psi", e.psi)):
            np.testing.assert_allclose(value, ref[key], rtol=1e-12, atol=1e-15, err_msg=key)
        assert np.all(np.abs(a.ts) <= np.maximum(np.abs(ref["ts"]), 1e-300) * (1 + 1e-12))
        r = lamiro.DataPy(d, n, wl, 0.2, 0.0).simulate().r
        np.testing.assert_allclose(np.abs(a.rs) ** 2, r, rtol=1e-13)


def test_normal_incidence_conventions():
    d, n, wl = np.array([120.0]), np.array([[1.0 + 0j] * 3, [2.1 + 0.02j] * 3, [1.5 + 0j] * 3]), \
        np.array([450.0, 550.0, 650.0])
    a = ld.amplitudes(d, n, wl, 0.0)
    np.testing.assert_allclose(a.rp, -a.rs, rtol=1e-14)
    np.testing.assert_allclose(a.tp, a.ts, rtol=1e-14)
    e = ld.ellipsometry(d, n, wl, 0.0)
    np.testing.assert_allclose(e.psi, np.pi / 4, rtol=1e-14)
    np.testing.assert_allclose(e.delta, 0.0, atol=1e-14)


@pytest.mark.parametrize("phi", [0.0, 0.3, math.pi / 2])
def test_reflectance_from_amplitudes_is_lamiros_to_the_bit(phi):
    # lamiro's R = sin²φ·|rp|² + cos²φ·|rs|² with |z| = hypot(re, im), from
    # the same matrices: replayed here with the C library's sin, cos, hypot.
    rng = np.random.default_rng(7)
    for _ in range(40):
        d, n, wl, theta = random_stack(rng, wavelengths=150)
        a = ld.amplitudes(d, n, wl, theta)
        sp, cp = math.sin(phi), math.cos(phi)
        abs_s, abs_p = np.hypot(a.rs.real, a.rs.imag), np.hypot(a.rp.real, a.rp.imag)
        replayed = (sp * sp) * (abs_p * abs_p) + (cp * cp) * (abs_s * abs_s)
        assert same_bits(replayed, lamiro.DataPy(d, n, wl, theta, phi).simulate().r)


@pytest.mark.parametrize("angles,media,wavelengths", [(3, 4, 7), (90, 12, 200)],
                         ids=["serial", "pool"])
@pytest.mark.parametrize("function", [ld.amplitudes, ld.ellipsometry], ids=lambda f: f.__name__)
def test_angle_array_rows_are_the_single_angle_calls(function, angles, media, wavelengths):
    rng = np.random.default_rng(angles)
    d, n, wl, _ = random_stack(rng, wavelengths)
    n = np.resize(n, (media, wavelengths))
    d = rng.uniform(10.0, 200.0, media - 2)
    thetas = np.linspace(0.0, 1.5, angles)
    grid = function(d, n, wl, thetas)
    for field in grid:
        assert field.shape == (angles, wavelengths)
    for a, theta in enumerate(thetas):
        single = function(d, n, wl, theta)
        for g, s in zip(grid, single):
            assert same_bits(g[a], s)


# Hashes of a pool-sized grid, computed in a child with the given worker count.
DIGEST = """
import hashlib, numpy as np, lamiro_design as ld
rng = np.random.default_rng(5)
n = rng.uniform(1.3, 2.4, (10, 301)) + 1j * rng.uniform(0, 0.05, (10, 301))
n[0] = 1.0
d, wl, th = rng.uniform(20, 300, 8), np.linspace(400, 800, 301), np.linspace(0, 1.4, 37)
h = hashlib.sha256()
for field in (*ld.amplitudes(d, n, wl, th), *ld.ellipsometry(d, n, wl, th)):
    h.update(field.tobytes())
print(h.hexdigest())
"""


def test_results_do_not_depend_on_the_thread_count():
    assert len(outputs_by_thread_count(DIGEST)) == 1


def test_concurrent_calls_from_python_threads():
    rng = np.random.default_rng(3)
    problems = [random_stack(rng, wavelengths=400) for _ in range(6)]
    problems = [(d, n, wl, np.linspace(0.0, 1.2, 12)) for d, n, wl, _ in problems]
    expected = [b"".join(f.tobytes() for f in ld.amplitudes(*p)) for p in problems]
    failures = []

    def work(k):
        for i in range(10):
            p = (k + i) % len(problems)
            got = b"".join(f.tobytes() for f in ld.amplitudes(*problems[p]))
            if got != expected[p]:
                failures.append((k, i))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_arrays_are_copied_when_accepted():
    rng = np.random.default_rng(9)
    d, n, wl, theta = random_stack(rng, wavelengths=8)
    expected = ld.amplitudes(d, n, wl, theta)

    class Meddling:
        def __float__(self):  # runs after d, n and wl were accepted
            n[:] = 1.0
            d[:] = 0.0
            wl[:] = 1.0
            return theta

    got = ld.amplitudes(d, n, wl, Meddling())
    assert all(same_bits(g, e) for g, e in zip(got, expected))


def test_empty_grids_keep_their_shapes():
    d, n = np.array([100.0]), np.ones((3, 0), dtype=np.complex128)
    assert ld.amplitudes(d, n, np.empty(0), 0.1).rs.shape == (0,)
    assert ld.ellipsometry(d, n, np.empty(0), np.zeros(3)).psi.shape == (3, 0)
    n = np.ones((3, 4), dtype=np.complex128)
    assert ld.amplitudes(d, n, np.ones(4), np.empty(0)).tp.shape == (0, 4)


D, N, WL = np.array([100.0, 50.0]), np.ones((4, 3), dtype=np.complex128), np.array([4.0, 5.0, 6.0])
BAD = [
    ((D.tolist(), N, WL, 0.1), TypeError, "d must be a 1-D float64 array of layer thicknesses, got list"),
    ((D.astype(np.float32), N, WL, 0.1), TypeError, r"d must .*, got float32 with shape \(2,\)"),
    ((D, N.real, WL, 0.1), TypeError,
     r"n must be a 2-D complex128 array \(media × wavelengths\), got float64 with shape \(4, 3\)"),
    ((D, N[0], WL, 0.1), TypeError, r"n must be a 2-D .*, got complex128 with shape \(3,\)"),
    ((D, N, WL[None], 0.1), TypeError, r"wl must be a 1-D float64 array .*, got float64 with shape \(1, 3\)"),
    ((D, N, WL, "0.1"), TypeError,
     "theta must be a real number or a 1-D float64 array of angles in radians, got str"),
    ((D, N, WL, np.zeros((2, 2))), TypeError, r"theta must .*, got float64 with shape \(2, 2\)"),
    ((D, N, WL, [0.1, 0.2]), TypeError, "theta must .*, got list"),
    ((D, N[:1], WL, 0.1), ValueError, "n must have at least 2 rows .*, got 1"),
    ((D, N[:, :2], WL, 0.1), ValueError, "n must have a column for each of the 3 wavelengths, got 2 columns"),
    ((D[:1], N, WL, 0.1), ValueError, r"d must hold a thickness for each of the 2 layers .*, got 1"),
    ((D[:0], N[1:], WL[:1], 0.1), ValueError, r"d must hold a thickness for the 1 layer .*, got 0"),
    ((D, N[:, :0], WL[:1], 0.1), ValueError, "n must have a column for the 1 wavelength, got 0 columns"),
    ((D, N, WL), TypeError, r"amplitudes\(\) missing 1 required positional argument: 'theta'"),
    ((D, N, WL, 0.1, 0.2), TypeError, r"amplitudes\(\) takes 4 positional arguments but 5 were given"),
]


# absorption() takes phi and an optional coherent after theta.
BAD_ABSORPTION = [
    ((D, N, WL, 0.1), TypeError, r"absorption\(\) missing 1 required positional argument: 'phi'"),
    ((D, N, WL, 0.1, 0.0, None, 1), TypeError,
     r"absorption\(\) takes from 5 to 6 positional arguments but 7 were given"),
    ((D, N, WL, 0.1, "0"), TypeError, r"phi must be a real number \(radians\), got str"),
    ((D, N, WL, np.zeros((2, 2)), 0.0), TypeError, r"theta must .*, got float64 with shape \(2, 2\)"),
    ((D, N, WL, 0.1, 0.0, [True]), ValueError, "coherent must hold one boolean for each of the 2 layers, got 1"),
    ((D, N, WL, 0.1, 0.0, "cc"), TypeError, "coherent must be a sequence of booleans, one per layer, got str"),
    ((D[:1], N, WL, 0.1, 0.0), ValueError, r"d must hold a thickness for each of the 2 layers .*, got 1"),
    ((D, N[:, :2], WL, 0.1, 0.0), ValueError, "n must have a column for each of the 3 wavelengths, got 2 columns"),
    ((D, N.astype(np.complex64), WL, 0.1, 0.0), TypeError, r"n must be a 2-D complex128 array .*, got complex64 .*"),
]


@pytest.mark.parametrize("function,args,kind,message",
                         [(ld.amplitudes, *row) for row in BAD] + [(ld.absorption, *row) for row in BAD_ABSORPTION],
                         ids=[f"amplitudes-{i}" for i in range(len(BAD))]
                         + [f"absorption-{i}" for i in range(len(BAD_ABSORPTION))])
def test_bad_input_names_the_argument(function, args, kind, message):
    with pytest.raises(kind, match=f"^{message}$"):
        function(*args)


def test_error_of_a_users_float_passes_unchanged():
    class Broken:
        def __float__(self):
            raise ZeroDivisionError("from __float__")

    with pytest.raises(ZeroDivisionError, match="from __float__"):
        ld.ellipsometry(D, N, WL, Broken())
