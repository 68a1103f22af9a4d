# SPDX-License-Identifier: MIT
"""lamiro_design next to lamiro on the same stacks, measured side by side in
one run: each round times every contender once, in turn, and the figures are
medians over the rounds, so that the load of a shared machine falls on all
of them alike.

Rows, each with its target:
  amplitudes(d, n, wl, theta)  vs  DataPy(d, n, wl, theta, phi).simulate()
                                    with r and t read        ratio <= 1.1
  ellipsometry(...)             vs  the same                 (for reference)
  absorption(d, n, wl, theta, phi)
                                vs  the same                 ratio <= 2
  absorption(...) of the stack with 1 mm incoherent glass below
                                vs  incoherent() of it       (for reference)
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

With --peers, also incoherent() and absorption() against their peers
(tmm-faster's calc_incoherent, tmm's inc_tmm, absorp_in_each_layer and
inc_absorp_in_each_layer), as benchmarks/design_peers.py says.

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
    """incoherent() and absorption() against their peers (design_peers.py)."""
    import design_peers

    design_peers.run(rounds)


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
        rows.append((f"absorption, {layers} layers x {count} wl vs simulate()",
                     lambda d=d, n=n, wl=wl: ld.absorption(d, n, wl, 0.3, 0.7), simulate, repeat, 2.0))

    # Absorption with an incoherent substrate: the blocks' matrices and a
    # sweep of the coating from each side.
    glass = stack(21, 1000)
    glass[1][-2], glass[0][-1] = 1.517 + 1e-7j, 1e6
    glass_flags = [True] * 20 + [False]
    rows.append(("absorption, 20 layers + 1 mm glass x 1000 wl vs incoherent()",
                 lambda: ld.absorption(*glass, 0.3, 0.7, glass_flags),
                 lambda: ld.incoherent(*glass, 0.3, 0.7, glass_flags), 10, None))

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
