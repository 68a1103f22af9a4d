# SPDX-License-Identifier: MIT
"""lamiro_design's incoherent() and absorption() next to the peers that compute
the same, each called as its own users call it, in one process, side by side:
each round times every contender once, in turn, and the figures are medians
over the rounds.

Rows, each with its target (peer time / lamiro_design time):
  incoherent(), air | 20 coherent layers | 1 mm glass (incoherent) | air,
  1 000 wavelengths:
    tmm-faster calc_incoherent, all wavelengths in one call      >= 4x
    tmm inc_tmm, per wavelength and polarisation                 >= 200x
  absorption() of the 20 coherent layers on glass, 1 000 wavelengths:
    tmm coh_tmm + absorp_in_each_layer, per wavelength and pol.  >= 200x
  absorption() of the stack with the 1 mm incoherent glass:
    tmm inc_tmm + inc_absorp_in_each_layer                       >= 200x

tmm takes one wavelength per call; it is timed on its first TMM_COUNT
wavelengths and scaled to the whole spectrum. Every peer must agree with
lamiro_design to AGREEMENT first (on the wavelengths it computed), otherwise
its row is not timed and run() reports the disagreement.

Run alone: .venv/bin/python benchmarks/design_peers.py [--rounds N]
(also run by compare_peers.py and by design_bench.py --peers).
"""

from __future__ import annotations

import argparse
import math
import statistics
import time

import numpy as np

import lamiro_design as ld

COUNT = 1000  # wavelengths
TMM_COUNT = 50  # wavelengths tmm is timed on
THETA = 0.3
PHI = math.pi / 4
AGREEMENT = 1e-9


def problem(seed=1):
    """(d, n, wl, flags): 20 dispersive, weakly absorbing coherent layers on
    1 mm of glass, in air; `flags` marks the glass incoherent."""
    rng = np.random.default_rng(seed)
    wl = np.linspace(400.0, 800.0, COUNT)
    n = np.empty((23, COUNT), dtype=np.complex128)
    n[0] = 1.0
    n[-1] = 1.0
    n[1:-2] = (rng.uniform(1.3, 2.5, 20) + 1j * rng.uniform(0.0, 0.05, 20))[:, None]
    n[1:-2] *= np.linspace(1.02, 0.98, COUNT)  # dispersive: every column differs
    n[-2] = 1.517 + 1e-7j
    d = np.append(rng.uniform(20.0, 200.0, 20), 1e6)
    return d, n, wl, [True] * 20 + [False]


def by_tmm(d, n, wl, flags, absorption, count):
    """tmm per wavelength and polarisation, mixed as cos²φ·s + sin²φ·p: (R, T)
    or, with `absorption`, the absorbed fractions of layers 1 ... N - 2."""
    import tmm

    c2, s2 = math.cos(PHI) ** 2, math.sin(PHI) ** 2
    thick = [math.inf, *d.tolist(), math.inf]
    letters = None if flags is None else ["i", *("c" if c else "i" for c in flags), "i"]
    out = []
    for w in range(count):
        column = n[:, w].tolist()
        values = []
        for pol in "sp":
            if letters is None:
                res = tmm.coh_tmm(pol, column, thick, THETA, wl[w])
                values.append(np.array(tmm.absorp_in_each_layer(res)[1:-1]))
            else:
                res = tmm.inc_tmm(pol, column, thick, letters, THETA, wl[w])
                values.append(np.array(tmm.inc_absorp_in_each_layer(res)[1:-1]) if absorption
                              else np.array([res["R"], res["T"]]))
        out.append(c2 * values[0] + s2 * values[1])
    return np.array(out).T


def seconds(call, repeat):
    start = time.perf_counter()
    for _ in range(repeat):
        call()
    return (time.perf_counter() - start) / repeat


def rows_of_peers(d, n, wl, flags):
    """[(what, peer label, peer call, scale, ours, our values, peer values, target)]"""
    coherent_d, coherent_n = d[:-1], np.concatenate([n[:-2], n[-2:-1].real.astype(np.complex128)])
    rows = []

    def incoherent():
        return np.array(ld.incoherent(d, n, wl, THETA, PHI, flags))

    try:
        import tmm_faster
    except ImportError:
        print("tmm-faster is not installed (make compare-peers installs it)")
    else:
        n_matrix = np.ascontiguousarray(n.T)
        thick = [math.inf, *d.tolist(), math.inf]
        letters = ["i", *("c" if c else "i" for c in flags), "i"]
        angles = [math.degrees(THETA)]

        def faster():
            res = tmm_faster.calc_incoherent(n_matrix, thick, letters, angles, wl)
            return np.array([res["R_avg"][:, 0], res["T_avg"][:, 0]])

        rows.append(("incoherent()", "tmm-faster calc_incoherent", faster, 1.0, incoherent, 4.0))
    rows.append(("incoherent()", "tmm inc_tmm", lambda: by_tmm(d, n, wl, flags, False, TMM_COUNT),
                 COUNT / TMM_COUNT, incoherent, 200.0))
    rows.append(("absorption(), coherent", "tmm absorp_in_each_layer",
                 lambda: by_tmm(coherent_d, coherent_n, wl, None, True, TMM_COUNT), COUNT / TMM_COUNT,
                 lambda: ld.absorption(coherent_d, coherent_n, wl, THETA, PHI), 200.0))
    rows.append(("absorption(), 1 mm incoherent", "tmm inc_absorp_in_each_layer",
                 lambda: by_tmm(d, n, wl, flags, True, TMM_COUNT), COUNT / TMM_COUNT,
                 lambda: ld.absorption(d, n, wl, THETA, PHI, flags), 200.0))
    return rows


def run(rounds=7):
    """Checks and times every row; returns False if a peer disagreed."""
    d, n, wl, flags = problem()
    print(f"\nlamiro_design against peers: 20 layers on 1 mm glass x {COUNT} wl, theta = {THETA}, "
          f"phi = pi/4; medians of {rounds} interleaved rounds; tmm timed on {TMM_COUNT} wl and scaled")
    print(f"{'function':32} {'peer':30} {'difference':>10} {'peer time':>11} {'ours':>10} "
          f"{'speed-up':>9} {'target':>7}")
    agreed = True
    for what, label, peer, scale, ours, target in rows_of_peers(d, n, wl, flags):
        theirs = np.asarray(peer())
        mine = np.asarray(ours())
        columns = theirs.shape[-1]
        difference = float(np.max(np.abs(mine[..., :columns] - theirs)))
        if not difference <= AGREEMENT:
            agreed = False
            print(f"{what:32} {label:30} {difference:10.1e}  DISAGREES: not timed")
            continue
        t_peer, t_ours = [], []
        for _ in range(rounds):
            t_peer.append(seconds(peer, 1) * scale)
            t_ours.append(seconds(ours, 3))
        mp, mo = statistics.median(t_peer), statistics.median(t_ours)
        verdict = "ok" if mp / mo >= target else "MISSED"
        print(f"{what:32} {label:30} {difference:10.1e} {mp * 1e3:9.2f}ms {mo * 1e3:8.3f}ms "
              f"{mp / mo:8.0f}x {target:>6.0f}x {verdict}")
    return agreed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    return 0 if run(parser.parse_args().rounds) else 1


if __name__ == "__main__":
    raise SystemExit(main())
