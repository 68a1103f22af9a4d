# SPDX-License-Identifier: MIT
"""Each peer of lamiro called as its own users call it.

Every peer gets the same problem (d, n, wl, theta, phi in lamiro's form: n
one row per medium and one column per wavelength, lengths in nm, angles in
radians) and returns R and T of light mixed as cos^2(phi) s + sin^2(phi) p.
What a user of a package keeps in that package's own form (its array layout,
its units, its list of thicknesses) is prepared once, outside the timed call;
the call is what the user's code runs for each spectrum:

- lamiro: DataPy(d, n, wl, theta, phi).simulate(), then reading r and t;
- numpy: numpy_model.numpy_spectra, vectorised over the wavelengths;
- tmm: tmm.coh_tmm once per wavelength and polarisation (its interface takes
  one wavelength), as in its documentation;
- tmm-faster: tmm_faster.calc_coherent(n_matrix, d, angles, wavelengths) with
  n_matrix [wavelengths x media], d with infinite end media, in nm, the
  angle in degrees; one call gives both polarisations;
- tmm-fast: tmm_fast.coh_tmm(pol, N, T, Theta, lambda) with N [stacks x
  media x wavelengths] and T in metres, one call per polarisation over all
  wavelengths, NumPy arrays in and out as in its quick start (it computes
  with PyTorch on the CPU).

Run in the interpreter that has the peer installed (tmm-fast needs PyTorch,
which may live in an environment of its own); benchmarks/compare_peers.py
drives both modes:

  python peers.py values PEER PROBLEM.npz OUT.npz [--count N]
      R and T of the problem's first N wavelengths (all by default) into
      OUT.npz, and on standard output a JSON line with the package's version
      and the wall time of one call. Exit status 3: the package is not
      installed in this interpreter.
  python peers.py time PEER PROBLEM.npz [pyperf options, e.g. -o OUT.json]
      A pyperf benchmark of one call: worker processes, warm-ups, mean and
      standard deviation.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import json
import math
import platform
import sys
import time

try:
    import numpy as np
except ImportError:  # an environment without the peer (nor NumPy) installed
    np = None

NOT_INSTALLED = 3


def mixing(phi):
    return math.cos(phi) ** 2, math.sin(phi) ** 2


def lamiro_call(d, n, wl, theta, phi):
    import lamiro

    def call():
        result = lamiro.DataPy(d, n, wl, theta, phi).simulate()
        return result.r, result.t

    return call


def numpy_call(d, n, wl, theta, phi):
    from numpy_model import numpy_spectra

    return lambda: numpy_spectra(d, n, wl, theta, phi)


def tmm_call(d, n, wl, theta, phi):
    import tmm

    d_list = [math.inf, *d.tolist(), math.inf]
    cs2, sp2 = mixing(phi)

    def call():
        reflectance = np.empty(len(wl))
        transmittance = np.empty(len(wl))
        for w in range(len(wl)):
            column = n[:, w].tolist()
            s = tmm.coh_tmm("s", column, d_list, theta, wl[w])
            p = tmm.coh_tmm("p", column, d_list, theta, wl[w])
            reflectance[w] = cs2 * s["R"] + sp2 * p["R"]
            transmittance[w] = cs2 * s["T"] + sp2 * p["T"]
        return reflectance, transmittance

    return call


def tmm_faster_call(d, n, wl, theta, phi):
    import tmm_faster

    n_matrix = np.ascontiguousarray(n.T)
    d_list = [math.inf, *d.tolist(), math.inf]
    angles = [math.degrees(theta)]
    cs2, sp2 = mixing(phi)

    def call():
        res = tmm_faster.calc_coherent(n_matrix, d_list, angles, wl)  # [wavelength x angle]
        return (cs2 * res["R_s"][:, 0] + sp2 * res["R_p"][:, 0],
                cs2 * res["T_s"][:, 0] + sp2 * res["T_p"][:, 0])

    return call


def tmm_fast_call(d, n, wl, theta, phi):
    from tmm_fast import coh_tmm

    stacks = n[np.newaxis]
    thicknesses = np.array([[math.inf, *(d * 1e-9), math.inf]])
    angles = np.array([theta])
    wavelengths = wl * 1e-9
    cs2, sp2 = mixing(phi)

    def call():
        s = coh_tmm("s", stacks, thicknesses, angles, wavelengths)  # [stack x angle x wavelength]
        p = coh_tmm("p", stacks, thicknesses, angles, wavelengths)
        return cs2 * s["R"][0, 0] + sp2 * p["R"][0, 0], cs2 * s["T"][0, 0] + sp2 * p["T"][0, 0]

    return call


# name: (how its users call it, the distribution whose version is reported)
PEERS = {
    "lamiro": (lamiro_call, "lamiro"),
    "tmm-faster": (tmm_faster_call, "tmm-faster"),
    "tmm-fast": (tmm_fast_call, "tmm-fast"),
    "numpy": (numpy_call, "numpy"),
    "tmm": (tmm_call, "tmm"),
}


def load(path, count=None):
    """(d, n, wl, theta, phi) from a problem file, cut to the first `count` wavelengths."""
    with np.load(path) as data:
        d, n, wl = data["d"], data["n"], data["wl"]
        theta, phi = float(data["theta"]), float(data["phi"])
    if count is not None:
        n, wl = np.ascontiguousarray(n[:, :count]), wl[:count].copy()
    return d, n, wl, theta, phi


def version(peer):
    text = importlib.metadata.version(PEERS[peer][1])
    if peer == "tmm-fast":
        import torch

        text += f" (PyTorch {torch.__version__}, {torch.get_num_threads()} threads)"
    return f"{text}, Python {platform.python_version()}"


def values(argv):
    parser = argparse.ArgumentParser(prog="peers.py values")
    parser.add_argument("peer", choices=PEERS)
    parser.add_argument("problem")
    parser.add_argument("out")
    parser.add_argument("--count", type=int, default=None)
    args = parser.parse_args(argv)
    try:
        if np is None:
            raise ImportError("No module named 'numpy'")
        call = PEERS[args.peer][0](*load(args.problem, args.count))
    except ImportError as error:
        print(json.dumps({"missing": str(error)}))
        return NOT_INSTALLED
    start = time.perf_counter()
    reflectance, transmittance = call()
    seconds = time.perf_counter() - start
    if seconds < 1.0:  # a second call, past the package's first-call set-up
        start = time.perf_counter()
        call()
        seconds = time.perf_counter() - start
    np.savez(args.out, r=np.asarray(reflectance, dtype=np.float64), t=np.asarray(transmittance, dtype=np.float64))
    print(json.dumps({"version": version(args.peer), "seconds": seconds}))
    return 0


def benchmark(argv):
    import pyperf

    runner = pyperf.Runner(program_args=(__file__, "time"),
                           add_cmdline_args=lambda cmd, args: cmd.extend([args.peer, args.problem]))
    runner.argparser.add_argument("peer", choices=PEERS)
    runner.argparser.add_argument("problem")
    args = runner.parse_args(argv)
    call = PEERS[args.peer][0](*load(args.problem))
    runner.bench_func(args.peer, call)
    return 0


if __name__ == "__main__":
    modes = {"values": values, "time": benchmark}
    if len(sys.argv) < 2 or sys.argv[1] not in modes:
        sys.exit(__doc__)
    sys.exit(modes[sys.argv[1]](sys.argv[2:]))
