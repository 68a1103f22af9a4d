# SPDX-License-Identifier: MIT
"""lamiro_design.thickness_gradient next to tmm-fast's forward and backward pass.

tmm-fast (PyTorch on the CPU) gets derivatives by automatic differentiation:
one forward pass of both polarisations, then one backward pass of a scalar,
here the merit mean(R) of light mixed as cos^2(phi) s + sin^2(phi) p, which
gives d merit / d thickness for every layer. thickness_gradient gives every
dR/dd[k] and dT/dd[k] at every wavelength in one call (the merit's gradient
is their mean over the wavelengths), so it computes more than tmm-fast's
pass does. Target: 20x faster or more.

The same stacks as benchmarks/compare_peers.py (dispersive, weakly absorbing
layers on glass, theta = 0.3, phi = pi/4) of 20 layers x 1 000 wavelengths
and 200 layers x 1 000. First both gradients of the merit must agree to
AGREEMENT (relative to the largest); then each round times one call of
each, in turn (tmm-fast in a child process of the interpreter given by
--torch-python, waiting for the round's signal), and the figures are medians
over the rounds.

Run: .venv/bin/python benchmarks/gradient_peers.py [--torch-python PATH] [--rounds N]
     Exit status 1 when the gradients disagree; 0 with a note when tmm-fast is
     not installed.
"""

from __future__ import annotations

import argparse
import json
import math
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
SIZES = [(20, 1_000), (200, 1_000)]
THETA = 0.3
PHI = math.pi / 4
AGREEMENT = 1e-8
TARGET = 20.0


def tmm_fast_child(path):
    """In the torch interpreter: loads the problem, prints the merit's gradient
    as JSON, then times one forward and backward pass per line read."""
    import torch
    from tmm_fast import coh_tmm

    with np.load(path) as data:
        d, n, wl = data["d"], data["n"], data["wl"]
    stacks = torch.from_numpy(n[np.newaxis])
    wavelengths = torch.from_numpy(wl * 1e-9)
    angles = torch.tensor([THETA], dtype=torch.float64)
    inner = torch.from_numpy(d * 1e-9)
    cs2, sp2 = math.cos(PHI) ** 2, math.sin(PHI) ** 2
    infinite = torch.tensor([math.inf], dtype=torch.float64)

    def gradient():
        layers = inner.clone().requires_grad_(True)
        thicknesses = torch.cat([infinite, layers, infinite])[None]
        s = coh_tmm("s", stacks, thicknesses, angles, wavelengths)
        p = coh_tmm("p", stacks, thicknesses, angles, wavelengths)
        merit = (cs2 * s["R"] + sp2 * p["R"]).mean()
        merit.backward()
        return layers.grad * 1e-9  # per nm

    print(json.dumps({"gradient": gradient().tolist(), "version": torch.__version__,
                      "threads": torch.get_num_threads()}), flush=True)
    for _ in sys.stdin:
        start = time.perf_counter()
        gradient()
        print(time.perf_counter() - start, flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--torch-python", default=str(HERE.parent / ".venv-torch" / "bin" / "python"))
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args(argv)

    import lamiro_design as ld
    from compare_peers import problem

    print("thickness_gradient against tmm-fast's forward + backward pass (PyTorch, CPU),"
          f" medians of {args.rounds} interleaved rounds")
    print(f"{'stack':28} {'tmm-fast':>11} {'lamiro':>11} {'speed-up':>9} {'target':>7}")
    status = 0
    with tempfile.TemporaryDirectory() as tmp:
        for layers, count in SIZES:
            d, n, wl = problem(layers, count)
            path = pathlib.Path(tmp) / f"problem_{layers}.npz"
            np.savez(path, d=d, n=n, wl=wl)
            try:
                child = subprocess.Popen([args.torch_python, __file__, "child", str(path)], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, text=True)
            except OSError:
                print(f"tmm-fast is not installed ({args.torch_python} not found: make compare-peers makes it)")
                return 0
            first = child.stdout.readline()
            if not first:
                child.wait()
                print("tmm-fast is not installed in", args.torch_python)
                return 0
            peer = json.loads(first)

            def ours():
                result = ld.thickness_gradient(d, n, wl, THETA, PHI)
                return result.dr.mean(axis=1)

            theirs = np.array(peer["gradient"])
            difference = float(np.max(np.abs(ours() - theirs)) / np.max(np.abs(theirs)))
            if difference > AGREEMENT:
                print(f"{layers} layers x {count} wl: the gradients differ by {difference:.1e} (relative), not timed")
                child.stdin.close()
                child.wait()
                status = 1
                continue
            t_peer, t_ours = [], []
            for _ in range(args.rounds):
                child.stdin.write("time\n")
                child.stdin.flush()
                t_peer.append(float(child.stdout.readline()))
                start = time.perf_counter()
                ours()
                t_ours.append(time.perf_counter() - start)
            child.stdin.close()
            child.wait()
            mp, mo = statistics.median(t_peer), statistics.median(t_ours)
            verdict = "ok" if mp / mo >= TARGET else "MISSED"
            print(f"{f'{layers} layers x {count:,} wl':28} {mp * 1e3:9.2f}ms {mo * 1e3:9.2f}ms {mp / mo:8.0f}x"
                  f" {TARGET:>6.0f}x {verdict}   (gradients agree to {difference:.0e};"
                  f" PyTorch {peer['version']}, {peer['threads']} threads)")
    return status


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "child":
        tmm_fast_child(sys.argv[2])
    else:
        sys.path.insert(0, str(HERE))
        sys.exit(main())
