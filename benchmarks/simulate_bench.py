"""Wall-clock figures of lamiro.simulate() from Python.

For 20 layers x 1 000 wavelengths and 200 layers x 10 000 wavelengths:
milliseconds per simulate() and nanoseconds per (layer x wavelength), with 1
and with 2 worker threads (each in its own process, since the worker count is
fixed when the pool is created); the whole-call time of a small problem
(3 media x 10 wavelengths: construction, simulate, reading r and t); and the
peak extra memory of simulate() against its bound (copies of the inputs plus
256 bytes per wavelength).

Run: .venv/bin/python benchmarks/simulate_bench.py
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

SIZES = [(20, 1_000), (200, 10_000)]

WORKER = textwrap.dedent(
    """
    import json, resource, sys, time
    import numpy as np
    import lamiro

    def problem(layers, count, seed=1):
        rng = np.random.default_rng(seed)
        wl = np.linspace(400.0, 800.0, count)
        n = np.empty((layers + 2, count), dtype=np.complex128)
        n[0] = 1.0
        n[-1] = 1.52
        n[1:-1] = (rng.uniform(1.3, 2.5, layers) + 1j * rng.uniform(0.0, 0.05, layers))[:, None]
        d = rng.uniform(20.0, 200.0, layers)
        return d, n, wl

    mode = sys.argv[1]
    out = {}
    if mode == "timing":
        for layers, count in json.loads(sys.argv[2]):
            data = lamiro.DataPy(*problem(layers, count), 0.3, 0.4)
            data.simulate()  # creates the pool
            repeats = max(3, int(2e7 // (layers * count)))
            best = float("inf")
            for _ in range(3):
                start = time.perf_counter()
                for _ in range(repeats):
                    data.simulate()
                best = min(best, (time.perf_counter() - start) / repeats)
            out[f"{layers}x{count}"] = best
    elif mode == "small":
        d, n, wl = problem(1, 10)
        calls = 200_000
        best = float("inf")
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(calls):
                res = lamiro.DataPy(d, n, wl, 0.3, 0.4).simulate()
                res.r
                res.t
            best = min(best, (time.perf_counter() - start) / calls)
        out["small"] = best
    elif mode == "memory":
        layers, count = json.loads(sys.argv[2])
        d, n, wl = problem(layers, count)
        data = lamiro.DataPy(d, n, wl, 0.3, 0.4)
        lamiro.DataPy(*problem(1, 200), 0.3, 0.4).simulate()  # pool and its stacks exist before measuring
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        res = data.simulate()
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        out = {"extra": (after - before) * 1024, "inputs": d.nbytes + n.nbytes + wl.nbytes,
               "bound": d.nbytes + n.nbytes + wl.nbytes + 256 * count}
    print(json.dumps(out))
    """
)


def run(mode: str, *args: str, threads: int | None = None) -> dict:
    env = dict(os.environ)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    done = subprocess.run([sys.executable, "-c", WORKER, mode, *args], env=env,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main() -> None:
    print(f"CPUs available to this process: {len(os.sched_getaffinity(0))}")
    timings = {threads: run("timing", json.dumps(SIZES), threads=threads) for threads in (1, 2)}
    print(f"\n{'problem':>16} {'threads':>7} {'ms/simulate':>12} {'ns/(layer*wl)':>14} {'speed-up':>9}")
    for layers, count in SIZES:
        key = f"{layers}x{count}"
        for threads in (1, 2):
            seconds = timings[threads][key]
            ratio = timings[1][key] / seconds
            print(f"{key:>16} {threads:>7} {seconds * 1e3:12.3f} {seconds * 1e9 / (layers * count):14.2f} {ratio:9.2f}")

    small = run("small")["small"]
    print(f"\nsmall call (3 media x 10 wavelengths, DataPy + simulate + r + t): {small * 1e6:.2f} us")

    print(f"\n{'problem':>16} {'inputs MiB':>11} {'peak extra MiB':>15} {'bound MiB':>10}")
    for layers, count in [(200, 10_000), (10, 200_000)]:
        mem = run("memory", json.dumps([layers, count]))
        print(f"{layers}x{count:>9} {mem['inputs'] / 2**20:11.2f} {mem['extra'] / 2**20:15.2f} {mem['bound'] / 2**20:10.2f}")


if __name__ == "__main__":
    main()
