# SPDX-License-Identifier: MIT
"""
A design sweep in parallel processes with Dask
==============================================

The best three-layer antireflection coatings among random candidates. Coatings
air | MgF2 | ZrO2 | Al2O3 | glass with random layer thicknesses (10 000
candidates by default) are scored by their mean reflectance of unpolarised
light over 400 to 700 nm (1 000 wavelengths by default). The refractive-index
and wavelength arrays are shipped once to every worker; each task gets a block
of candidate thicknesses, builds one ``lamiro.DataPy`` per candidate on the
worker, and sends back only its best designs (numbers, not lamiro objects,
which cannot be pickled), which the client merges. The same sweep then runs as
a plain loop in this process, the two lists of best designs are compared (they
must be identical to the bit: lamiro's results do not depend on where or on how
many threads they are computed), and both times are printed.

By default a LocalCluster with one single-threaded worker process per CPU is
started here; each worker runs lamiro with one pool thread, since the worker
processes already use every CPU. With ``--scheduler ADDRESS`` the sweep runs on
an existing cluster instead (its workers need numpy and lamiro installed).

Needs numpy and dask[distributed]. Run from any directory::

    python sweep_dask.py [--candidates 10000] [--wavelengths 1000]
        [--scheduler tcp://host:8786] [--workers N] [--chunk 250] [--keep 5]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time

import numpy as np

PHI = math.pi / 4  # equal parts of s and p: unpolarised light
LAYERS = ("MgF2", "ZrO2", "Al2O3")
# Cauchy coefficients (A, B in nm^2): n(wl) = A + B / wl^2.
CAUCHY = {
    "MgF2": (1.370, 3.0e3),
    "ZrO2": (2.080, 2.5e4),
    "Al2O3": (1.610, 6.0e3),
    "glass": (1.505, 4.2e3),
}


def wavelengths(count):
    """Wavelength grid in nm over the visible band."""
    return np.linspace(400.0, 700.0, count)


def indices(wl):
    """Refractive indices, one row per medium (air first, glass last)."""
    rows = [np.ones_like(wl)]
    rows += [a + b / wl**2 for a, b in (CAUCHY[name] for name in (*LAYERS, "glass"))]
    return np.array(rows, dtype=np.complex128)


def candidates(count, seed):
    """Layer thicknesses in nm, one candidate per row, each layer up to 250 nm."""
    rng = np.random.default_rng(seed)
    return rng.uniform(0.0, 250.0, (count, len(LAYERS)))


def mean_reflectance(d, n, wl, theta):
    """Mean reflectance of one candidate; runs on a worker.

    lamiro reports an internal fault (for example inconsistent shapes) as
    PanicException, which derives from BaseException and cannot be pickled
    (its module, pyo3_runtime, cannot be imported), so it could not travel back
    to the client as the task's error.  Here, inside the task, it becomes an
    ordinary RuntimeError with the same message, raised outside the handler so
    that it does not carry the PanicException along as its __context__ (Dask
    pickles that too).
    """
    import lamiro

    try:
        return lamiro.DataPy(d, n, wl, theta, PHI).simulate().r.mean()
    except BaseException as exc:
        if type(exc).__name__ != "PanicException":
            raise
        message = f"lamiro failed: {exc}"
    raise RuntimeError(message)


def score_block(first, thicknesses, n, wl, theta, keep):
    """Mean reflectance of each candidate of a block; returns its `keep` best.

    Runs on a worker.  Returns (merit, candidate index) pairs, best first;
    ties keep the lower index, so every way of splitting the sweep ranks alike.
    """
    merits = np.empty(len(thicknesses))
    for i, d in enumerate(thicknesses):
        merits[i] = mean_reflectance(d, n, wl, theta)
    order = np.argsort(merits, kind="stable")[:keep]
    return [(float(merits[i]), first + int(i)) for i in order]


def merge(blocks, keep):
    """The `keep` best (merit, index) pairs of several blocks' best lists."""
    return sorted((pair for block in blocks for pair in block))[:keep]


def warm_up():
    """Imports lamiro and starts its worker pool, so the sweep times only the sweep."""
    import lamiro

    wl = wavelengths(200)
    lamiro.DataPy(np.array([100.0]), indices(wl)[[0, 1, -1]], wl, 0.0, PHI).simulate()
    return os.environ.get("RAYON_NUM_THREADS", "(unset)")


def run_distributed(client, designs, n, wl, theta, chunk, keep):
    n_shared = client.scatter(n, broadcast=True)
    wl_shared = client.scatter(wl, broadcast=True)
    futures = [
        client.submit(score_block, first, designs[first : first + chunk], n_shared, wl_shared, theta, keep,
                      pure=False)
        for first in range(0, len(designs), chunk)
    ]
    return merge(client.gather(futures), keep)


def run_serial(designs, n, wl, theta, keep):
    return merge([score_block(0, designs, n, wl, theta, keep)], keep)


def start_client(args):
    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        return Client(args.scheduler), None
    cluster = LocalCluster(
        n_workers=args.workers or os.cpu_count() or 1,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        env={"RAYON_NUM_THREADS": "1"},
    )
    return Client(cluster), cluster


def main(argv=None):
    parser = argparse.ArgumentParser(description="The best three-layer antireflection coatings, found with Dask.")
    parser.add_argument("--candidates", type=int, default=10_000, help="number of candidate stacks")
    parser.add_argument("--wavelengths", type=int, default=1_000, help="wavelengths per spectrum")
    parser.add_argument("--theta", type=float, default=0.0, help="angle of incidence in radians")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler address (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, default=0, help="LocalCluster worker processes (default: CPUs)")
    parser.add_argument("--chunk", type=int, default=250, help="candidates per task")
    parser.add_argument("--keep", type=int, default=5, help="how many best designs to report")
    parser.add_argument("--seed", type=int, default=2024, help="seed of the random candidates")
    parser.add_argument("--json", metavar="FILE", help="also write the results to FILE as JSON")
    args = parser.parse_args(argv)
    if args.candidates < 1 or args.wavelengths < 1 or args.chunk < 1 or args.keep < 1:
        parser.error("--candidates, --wavelengths, --chunk and --keep must be positive")

    wl = wavelengths(args.wavelengths)
    n = indices(wl)
    designs = candidates(args.candidates, args.seed)
    print(f"{args.candidates:,} candidate coatings ({' / '.join(LAYERS)} on glass) × "
          f"{args.wavelengths:,} wavelengths, theta = {args.theta}")

    start = time.perf_counter()
    client, cluster = start_client(args)
    try:
        workers = len(client.scheduler_info()["workers"])
        pool_threads = set(client.run(warm_up).values())
        print(f"Dask: {workers} workers at {client.scheduler.address} "
              f"(RAYON_NUM_THREADS on workers: {', '.join(sorted(pool_threads))}), "
              f"ready in {time.perf_counter() - start:.1f} s")
        start = time.perf_counter()
        best = run_distributed(client, designs, n, wl, args.theta, args.chunk, args.keep)
        distributed_time = time.perf_counter() - start
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    warm_up()
    start = time.perf_counter()
    best_serial = run_serial(designs, n, wl, args.theta, args.keep)
    serial_time = time.perf_counter() - start

    print(f"\nbest designs (thicknesses in nm, {' / '.join(LAYERS)}):")
    for rank, (merit, index) in enumerate(best, 1):
        d = designs[index]
        print(f"  {rank}. candidate {index:>6}: {d[0]:6.1f} / {d[1]:6.1f} / {d[2]:6.1f}   "
              f"mean R = {100 * merit:.4f} %")
    agree = best == best_serial
    print(f"\ndistributed (Dask, {workers} workers): {distributed_time:.2f} s")
    print(f"plain loop in one process:      {serial_time:.2f} s")
    print(f"speed-up: {serial_time / distributed_time:.2f}×"
          + (" (slower: lamiro's own worker threads already keep every processor busy in the plain loop,"
             " and handing tasks to other processes costs more than it saves here)"
             if serial_time < distributed_time else ""))
    print("distributed and serial best designs agree to the bit" if agree
          else "MISMATCH between distributed and serial best designs")

    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump({
                "candidates": args.candidates, "wavelengths": args.wavelengths, "theta": args.theta,
                "seed": args.seed, "workers": workers,
                "best": [{"index": index, "merit": merit, "thicknesses": designs[index].tolist()}
                         for merit, index in best],
                "best_serial": [{"index": index, "merit": merit} for merit, index in best_serial],
                "distributed_seconds": distributed_time, "serial_seconds": serial_time,
            }, out, indent=1)
    return 0 if agree else 1


if __name__ == "__main__":
    # Exit only on a mismatch: a script runner that executes this file in its
    # own process (as the documentation's gallery does) must not end on success.
    if status := main():
        sys.exit(status)
