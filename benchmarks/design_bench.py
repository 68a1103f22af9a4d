# SPDX-License-Identifier: MIT
"""lamiro_design next to lamiro on the same stacks, measured side by side in
one run: each round times every contender once, in turn, and the figures are
medians over the rounds, so that the load of a shared machine falls on all
of them alike.

Rows, each with its target:
  amplitudes(d, n, wl, theta)  vs  DataPy(d, n, wl, theta, phi).simulate()
                                    with r and t read        ratio <= 1.1
  ellipsometry(...)             vs  the same                 (for reference)
  amplitudes over 90 angles x 200 wavelengths in one call
                                vs  90 calls of one angle    ratio <= 0.7
  incoherent(...) of air | 20 coherent layers | 1 mm glass (incoherent) | air
                                vs  simulate() of the same media, all
                                    coherent                 ratio <= 2.5
  thickness_gradient(...), all 20 derivatives of a 20-layer x 1 000-wavelength
  spectrum                      vs  simulate()               ratio <= 3
  forward differences, 21 simulate() calls (for reference: what the
  derivatives cost without the gradient)
                                vs  simulate()               ratio about 21
  thickness_gradient(...) with the 1 mm incoherent substrate
                                vs  incoherent()             (for reference)
  needle(...), 2 candidates x 300 depths, merit form
                                vs  simulate()               (for reference)

With --peers, also incoherent() against its peers on the 20-layer stack with
a 1 mm incoherent substrate at 1 000 wavelengths: tmm-faster's
calc_incoherent (all wavelengths in one call; target: lamiro_design 4x
faster or more) and tmm's inc_tmm (one call per wavelength and
polarisation, timed on 50 wavelengths and scaled; target 200x), after
checking that they agree to 1e-9.

Run: .venv/bin/python benchmarks/design_bench.py [--rounds N] [--peers]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import lamiro
import lamiro_design as ld


def stack(layers, count, seed=1):
    rng = np.random.default_rng(seed)
    wl = np.linspace(400.0, 800.0, count)
    n = np.empty((layers + 2, count), dtype=np.complex128)
    n[0] = 1.0
    n[-1] = 1.52
    n[1:-1] = (rng.uniform(1.3, 2.5, layers) + 1j * rng.uniform(0.0, 0.05, layers))[:, None]
    n[1:-1] *= np.linspace(1.02, 0.98, count)  # dispersive: every column differs
    return rng.uniform(20.0, 200.0, layers), n, wl


def seconds(call, repeat):
    start = time.perf_counter()
    for _ in range(repeat):
        call()
    return (time.perf_counter() - start) / repeat


def compare(rows, rounds):
    """rows: [(label, contender, baseline, repeat, target)]; prints medians."""
    print(f"{'':46} {'contender':>11} {'baseline':>11} {'ratio':>7} {'target':>7}")
    for label, contender, baseline, repeat, target in rows:
        contender(), baseline()  # warm up (the pool starts here)
        c, b = [], []
        for _ in range(rounds):
            c.append(seconds(contender, repeat))
            b.append(seconds(baseline, repeat))
        mc, mb = statistics.median(c), statistics.median(b)
        ratio = mc / mb
        if target is None:  # a reference figure, no target
            print(f"{label:46} {mc * 1e6:9.1f}us {mb * 1e6:9.1f}us {ratio:7.2f}   (reference)")
            continue
        verdict = "ok" if ratio <= target else "MISSED"
        print(f"{label:46} {mc * 1e6:9.1f}us {mb * 1e6:9.1f}us {ratio:7.2f} {target:>5.2f} {verdict}")


def peers(rounds):
    import math

    import tmm

    try:
        import tmm_faster
    except ImportError:
        tmm_faster = None
    count, theta, phi = 1000, 0.3, math.pi / 4
    d, n, wl = stack(21, count)
    n[-2] = 1.517 + 1e-7j
    d[-1] = 1e6
    flags = [True] * 20 + [False]
    thick = [math.inf, *d.tolist(), math.inf]
    letters = ["i", *("c" if c else "i" for c in flags), "i"]
    c2, s2 = math.cos(phi) ** 2, math.sin(phi) ** 2

    def ours():
        return ld.incoherent(d, n, wl, theta, phi, flags)

    def by_tmm(count):
        r = []
        for w in range(count):
            s = tmm.inc_tmm("s", list(n[:, w]), thick, letters, theta, wl[w])
            p = tmm.inc_tmm("p", list(n[:, w]), thick, letters, theta, wl[w])
            r.append((c2 * s["R"] + s2 * p["R"], c2 * s["T"] + s2 * p["T"]))
        return np.array(r).T

    reference = ours()
    tmm_r, tmm_t = by_tmm(50)
    agree = max(np.max(np.abs(reference.r[:50] - tmm_r)), np.max(np.abs(reference.t[:50] - tmm_t)))
    print(f"\nincoherent() against peers, 20 layers + 1 mm glass x {count} wl;"
          f" largest difference from tmm.inc_tmm {agree:.1e}")
    rows = []
    if tmm_faster is not None:
        n_matrix = np.ascontiguousarray(n.T)
        angles = [math.degrees(theta)]

        def faster():
            return tmm_faster.calc_incoherent(n_matrix, thick, letters, angles, wl)

        res = faster()
        diff = max(np.max(np.abs(res["R_avg"][:, 0] - reference.r)),
                   np.max(np.abs(res["T_avg"][:, 0] - reference.t)))
        print(f"largest difference from tmm-faster calc_incoherent {diff:.1e}")
        if diff <= 1e-9:
            rows.append(("tmm-faster calc_incoherent", faster, 1, 4.0))
    else:
        print("tmm-faster is not installed (pip install tmm-faster)")
    if agree <= 1e-9:
        rows.append(("tmm inc_tmm (50 wl, scaled)", lambda: by_tmm(50), count / 50, 200.0))
    print(f"{'peer':32} {'peer time':>11} {'ours':>11} {'speed-up':>9} {'target':>7}")
    for label, call, scale, target in rows:
        call(), ours()
        t_peer, t_ours = [], []
        for _ in range(rounds):
            t_peer.append(seconds(call, 1) * scale)
            t_ours.append(seconds(ours, 3))
        mp, mo = statistics.median(t_peer), statistics.median(t_ours)
        verdict = "ok" if mp / mo >= target else "MISSED"
        print(f"{label:32} {mp * 1e3:9.2f}ms {mo * 1e3:9.2f}ms {mp / mo:8.0f}x {target:>6.0f}x {verdict}")


def gradient_rows():
    """thickness_gradient and needle next to the spectra they differentiate."""
    rows = []
    layers, count = 20, 1000
    d, n, wl = stack(layers, count)

    def simulate():
        res = lamiro.DataPy(d, n, wl, 0.3, 0.7).simulate()
        return res.r, res.t

    def differences():
        # Forward differences: the spectrum, then one per moved layer.
        base = simulate()
        for k in range(layers):
            moved = d.copy()
            moved[k] += 0.01
            res = lamiro.DataPy(moved, n, wl, 0.3, 0.7).simulate()
            (res.r - base[0]) / 0.01, (res.t - base[1]) / 0.01

    rows.append((f"thickness_gradient, {layers} layers x {count} wl vs simulate()",
                 lambda: ld.thickness_gradient(d, n, wl, 0.3, 0.7), simulate, 10, 3.0))
    rows.append((f"differences, {layers + 1} x simulate() vs simulate()", differences, simulate, 2, None))
    rows.append((f"thickness_gradient vs differences, {layers} layers x {count} wl",
                 lambda: ld.thickness_gradient(d, n, wl, 0.3, 0.7), differences, 2, None))
    depths = np.linspace(0.0, d.sum(), 300)
    weights = np.ones(count)
    rows.append((f"needle merit, 2 x 300 depths, {layers} layers x {count} wl vs simulate()",
                 lambda: ld.needle(d, n, wl, 0.3, 0.7, n[[1, 2]], depths, weights), simulate, 3, None))

    d, n, wl = stack(21, count)
    n[-2] = 1.517 + 1e-7j  # 1 mm of glass, incoherent
    d[-1] = 1e6
    flags = [True] * 20 + [False]
    rows.append(("thickness_gradient vs incoherent(), 20 + 1 mm glass",
                 lambda: ld.thickness_gradient(d, n, wl, 0.3, 0.7, flags),
                 lambda: ld.incoherent(d, n, wl, 0.3, 0.7, flags), 3, None))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--peers", action="store_true")
    arguments = parser.parse_args()
    rounds = arguments.rounds
    print("lamiro_design next to lamiro, medians of", rounds, "interleaved rounds;",
          "times per call, ratio = contender / baseline")

    rows = []
    for layers, count in [(20, 200), (20, 1000), (4, 1000)]:
        d, n, wl = stack(layers, count)

        def simulate(d=d, n=n, wl=wl):
            res = lamiro.DataPy(d, n, wl, 0.3, 0.7).simulate()
            return res.r, res.t

        repeat = max(1, 20_000 // (layers * count // 10 + 1))
        rows.append((f"amplitudes, {layers} layers x {count} wl vs simulate()",
                     lambda d=d, n=n, wl=wl: ld.amplitudes(d, n, wl, 0.3), simulate, repeat, 1.1))
        rows.append((f"ellipsometry, {layers} layers x {count} wl vs simulate()",
                     lambda d=d, n=n, wl=wl: ld.ellipsometry(d, n, wl, 0.3), simulate, repeat, 1.1))

    angles = np.linspace(0.0, 1.4, 90)
    for layers in (20, 4):
        d, n, wl = stack(layers, 200)
        rows.append((f"amplitudes, 90 angles x 200 wl, {layers} layers, one call vs 90",
                     lambda d=d, n=n, wl=wl: ld.amplitudes(d, n, wl, angles),
                     lambda d=d, n=n, wl=wl: [ld.amplitudes(d, n, wl, a) for a in angles],
                     2, 0.7))
    for count in (200, 1000):
        d, n, wl = stack(21, count)
        n[-2] = 1.517 + 1e-7j  # the last layer: 1 mm of glass
        d[-1] = 1e6
        flags = [True] * 20 + [False]
        rows.append((f"incoherent, 20 layers + 1 mm glass x {count} wl vs simulate()",
                     lambda d=d, n=n, wl=wl: ld.incoherent(d, n, wl, 0.3, 0.7, flags),
                     lambda d=d, n=n, wl=wl: lamiro.DataPy(d, n, wl, 0.3, 0.7).simulate(),
                     max(1, 20_000 // (2 * count)), 2.5))
    rows.extend(gradient_rows())
    compare(rows, rounds)
    if arguments.peers:
        peers(rounds)


if __name__ == "__main__":
    main()
