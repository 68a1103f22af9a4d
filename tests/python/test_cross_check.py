# SPDX-License-Identifier: MIT
"""lamiro against tmm, an independent pure-Python transfer-matrix package.

Seeded random stacks (0 to 30 layers, lossless and absorbing layers, a
lossless exit medium, incidence from 0 to 80 degrees) are computed by both;
s-polarised R and T (phi = 0) and p-polarised R (phi = pi/2) must agree to
1e-10 relative or 1e-13 absolute.  p-polarised T is compared only where the
two packages share a convention (see test_p_transmittance_convention).
"""

import math

import numpy as np
import pytest

tmm = pytest.importorskip("tmm")

import lamiro  # noqa: E402 - after the skip, so a missing peer skips the module

RTOL = 1e-10
ATOL = 1e-13
STACKS_PER_KIND = 150
WAVELENGTHS_PER_STACK = 4
HALF_PI = math.pi / 2


def random_stack(rng, absorbing):
    """(d, n, wl, theta) of one random stack.

    The incidence medium is real (1.0 to 1.8) and the exit medium lossless
    (1.0 to 2.5), so some stacks are totally reflecting at the larger angles.
    Layer indices start at 1.0, so at oblique incidence some layers are beyond
    their critical angle and the light tunnels through them.  With `absorbing`
    about half the layers get an extinction coefficient up to 0.5.
    Thicknesses stay below 1.3 wavelengths so no layer is nearly opaque (tmm
    clips the phase of such layers, which would be a difference of method).
    Indices differ from wavelength to wavelength.
    """
    layers = int(rng.integers(0, 31))
    count = WAVELENGTHS_PER_STACK
    wl = rng.uniform(300.0, 1000.0, count)
    n = np.empty((layers + 2, count), dtype=np.complex128)
    n[0] = rng.uniform(1.0, 1.8)
    n[-1] = rng.uniform(1.0, 2.5)
    n[1:-1] = rng.uniform(1.0, 3.0, (layers, count))
    if absorbing:
        lossy = rng.random((layers, 1)) < 0.5
        n[1:-1] += 1j * np.where(lossy, rng.uniform(0.0, 0.5, (layers, count)), 0.0)
    d = rng.uniform(0.0, 400.0, layers)
    theta = 0.0 if rng.random() < 0.1 else rng.uniform(0.0, math.radians(80.0))
    return d, n, wl, theta


def describe(d, n, wl, theta):
    return f"{len(d)} layers, theta={theta!r}, wl={wl.tolist()!r}, d={d.tolist()!r}, n={n.tolist()!r}"


def peer(pol, d, n, wl, theta, w):
    """tmm's result for one wavelength index and one polarisation."""
    return tmm.coh_tmm(pol, n[:, w].tolist(), [math.inf, *d.tolist(), math.inf], theta, wl[w])


def disagreement(ours, theirs):
    """Indices where the two values differ by more than both tolerances."""
    ours = np.asarray(ours)
    theirs = np.asarray(theirs)
    bound = np.maximum(RTOL * np.abs(theirs), ATOL)
    return np.flatnonzero(~(np.abs(ours - theirs) <= bound))


@pytest.mark.parametrize("absorbing", [False, True], ids=["lossless", "absorbing"])
def test_random_stacks_agree_with_tmm(absorbing):
    rng = np.random.default_rng(20240611 + int(absorbing))
    failures = []
    for case in range(STACKS_PER_KIND):
        d, n, wl, theta = random_stack(rng, absorbing)
        s = lamiro.DataPy(d, n, wl, theta, 0.0).simulate()
        p = lamiro.DataPy(d, n, wl, theta, HALF_PI).simulate()
        s_peer = [peer("s", d, n, wl, theta, w) for w in range(len(wl))]
        p_peer = [peer("p", d, n, wl, theta, w) for w in range(len(wl))]
        checks = {
            "s R": (s.r, [x["R"] for x in s_peer]),
            "s T": (s.t, [x["T"] for x in s_peer]),
            "p R": (p.r, [x["R"] for x in p_peer]),
        }
        for name, (ours, theirs) in checks.items():
            for w in disagreement(ours, theirs):
                failures.append(
                    f"case {case}, {name} at wl index {w}: lamiro {ours[w]!r}, tmm {theirs[w]!r}; "
                    + describe(d, n, wl, theta)
                )
    assert not failures, f"{len(failures)} disagreements, first ones:\n" + "\n".join(failures[:5])


# tmm's own published example: a 2-unit layer of 2+4i and a 3-unit layer of
# 3+0.3i between vacuum and an absorbing exit medium 1+0.1i, theta = 0.1,
# lambda = 100.  Values as published with the package.
REFERENCE_N = np.array([[1.0], [2.0 + 4.0j], [3.0 + 0.3j], [1.0 + 0.1j]])
REFERENCE_D = np.array([2.0, 3.0])
REFERENCE_WL = np.array([100.0])
REFERENCE_THETA = 0.1


@pytest.mark.parametrize(
    ("phi", "quantity", "expected"),
    [
        (0.0, "r", 0.37273208839139516),
        (0.0, "t", 0.22604491247079261),
        (HALF_PI, "r", 0.37016110373044969),
    ],
    ids=["s-R", "s-T", "p-R"],
)
def test_published_reference_case(phi, quantity, expected):
    result = lamiro.DataPy(REFERENCE_D, REFERENCE_N, REFERENCE_WL, REFERENCE_THETA, phi).simulate()
    value = getattr(result, quantity)[0]
    assert value == pytest.approx(expected, rel=1e-12, abs=0.0)


def test_p_transmittance_convention():
    """Into an absorbing exit medium the two packages weight |t_p|^2 differently.

    Both share the p amplitude t_p (hence R_p).  lamiro uses one exit-medium
    factor Re(n_L cos th_L) / (n_0 cos th_0) for s and p alike; tmm uses
    Re(n_L conj(cos th_L)) / Re(n_0 conj(cos th_0)) for p.  The two coincide
    for a lossless exit medium.  On the published case (exit medium 1+0.1i)
    each package's p T must match its own factor times tmm's |t_p|^2, and the
    two factors must differ by far more than the agreement tolerance.
    """
    theta = REFERENCE_THETA
    p_peer = peer("p", REFERENCE_D, REFERENCE_N, REFERENCE_WL, theta, 0)
    n0 = REFERENCE_N[0, 0]
    n_exit = REFERENCE_N[-1, 0]
    k_exit = np.sqrt(n_exit**2 - (n0 * math.sin(theta)) ** 2)  # n_L cos th_L
    cos_exit = k_exit / n_exit
    ours_factor = (k_exit / (n0 * math.cos(theta))).real
    peer_factor = (n_exit * np.conj(cos_exit)).real / (n0 * math.cos(theta)).real
    amplitude = abs(p_peer["t"]) ** 2

    value = lamiro.DataPy(REFERENCE_D, REFERENCE_N, REFERENCE_WL, theta, HALF_PI).simulate().t[0]

    assert value == pytest.approx(ours_factor * amplitude, rel=1e-12, abs=0.0)
    assert p_peer["T"] == pytest.approx(peer_factor * amplitude, rel=1e-12, abs=0.0)
    assert abs(ours_factor - peer_factor) > 1e-6 * peer_factor


# A silicon wafer between air and air at normal incidence, in nanometres:
# the indices at 400, 500 and 800 nm.  From about 100 um on, the growing phase
# factor of the wafer exceeds the range of binary64 at the shorter wavelengths.
WAFER_WL = np.array([400.0, 500.0, 800.0])
WAFER_INDEX = np.array([5.6 + 0.4j, 4.3 + 0.07j, 3.7 + 0.006j])


@pytest.mark.parametrize(
    "thickness",
    [1e3, 1e4, 5e4, 1e5, 5e5, 1e6, 1e7, 1e8, 1e9],
    ids=["1um", "10um", "50um", "100um", "500um", "1mm", "1cm", "10cm", "1m"],
)
def test_thick_wafer_agrees_with_tmm_and_the_opaque_slab(thickness):
    n = np.array([np.ones(3), WAFER_INDEX, np.ones(3)], dtype=np.complex128)
    d = np.array([thickness])
    result = lamiro.DataPy(d, n, WAFER_WL, 0.0, 0.7).simulate()
    assert np.isfinite(result.r).all() and np.isfinite(result.t).all(), (result.r, result.t)

    # At normal incidence s and p light reflect and transmit alike.
    peers = [peer("s", d, n, WAFER_WL, 0.0, w) for w in range(3)]
    peer_r = [x["R"] for x in peers]
    peer_t = [x["T"] for x in peers]
    assert disagreement(result.r, peer_r).size == 0, (result.r, peer_r)
    assert disagreement(result.t, peer_t).size == 0, (result.t, peer_t)

    # Where e^(-2 Im(kappa) h) is below 1e-35 nothing returns from the back
    # face: R is that of the front face, |(1 - n)/(1 + n)|^2, and T vanishes.
    attenuation = 4.0 * math.pi * WAFER_INDEX.imag * thickness / WAFER_WL
    opaque = attenuation > 80.0
    front = np.abs((1.0 - WAFER_INDEX) / (1.0 + WAFER_INDEX)) ** 2
    assert opaque.all() or thickness < 1e6
    assert result.r[opaque] == pytest.approx(front[opaque], rel=1e-12, abs=0.0)
    assert (result.t[opaque] < 1e-35).all(), result.t
