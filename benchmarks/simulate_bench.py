# SPDX-License-Identifier: MIT
"""Wall-clock figures of lamiro.simulate() from Python, with their noise.

For 20 layers x 1 000 wavelengths and 200 layers x 10 000 wavelengths:
milliseconds per simulate() and nanoseconds per (layer x wavelength), with 1
and with 2 worker threads; the whole-call time of a small problem (3 media x
10 wavelengths: construction, simulate, reading r and t); and the peak extra
memory of simulate() against its bound (copies of the inputs plus 256 bytes
per wavelength).

Times come from pyperf: each is the mean +- standard deviation of the values
of several worker processes, so the noise of a shared machine shows in the
figures instead of being hidden by a best-of. The worker count is fixed when
lamiro's pool is created, so every (problem, thread count) is a pyperf run of
its own, with RAYON_NUM_THREADS set for it and its worker processes; each
worker process checks that the pool it created has that many threads. The
runs of one problem follow each other, so the speed-up compares times taken
close together.

With --before DIR, the two large problems are also timed with the lamiro
module in DIR (make benchmark builds this tree with the worker pool before its
latency work into build/pool-before/module), each run of it right after the
same run of this tree's module, and the table gives both and their ratio.
--this DIR takes this tree's module from DIR instead of the installed one
(make benchmark: build/pool-this/module, built the same way as the other).

Run: .venv/bin/python benchmarks/simulate_bench.py [--processes N] [--values N]
         [--before DIR [--this DIR]]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

import lamiro

SIZES = [(20, 1_000), (200, 10_000)]
THREADS = (1, 2)
SMALL = (1, 10)


def problem(layers, count, seed=1):
    rng = np.random.default_rng(seed)
    wl = np.linspace(400.0, 800.0, count)
    n = np.empty((layers + 2, count), dtype=np.complex128)
    n[0] = 1.0
    n[-1] = 1.52
    n[1:-1] = (rng.uniform(1.3, 2.5, layers) + 1j * rng.uniform(0.0, 0.05, layers))[:, None]
    d = rng.uniform(20.0, 200.0, layers)
    return d, n, wl


# --- pyperf worker side ----------------------------------------------------------

_prepared = {}


def thread_count():
    return len(os.listdir("/proc/self/task"))


def prepared(layers, count):
    """The DataPy of a problem, built once per process; the first one creates the pool and checks its size."""
    if (layers, count) not in _prepared:
        data = lamiro.DataPy(*problem(layers, count), 0.3, 0.4)
        before = thread_count()
        data.simulate()
        if count > 100 and not _prepared:
            wanted = int(os.environ["RAYON_NUM_THREADS"])
            started = thread_count() - before
            if started != wanted:
                raise SystemExit(f"RAYON_NUM_THREADS={wanted} but the pool started {started} threads")
        _prepared[(layers, count)] = data
    return _prepared[(layers, count)]


def time_simulate(loops, layers, count):
    data = prepared(layers, count)
    start = time.perf_counter()
    for _ in range(loops):
        data.simulate()
    return time.perf_counter() - start


def time_small_call(loops):
    d, n, wl = problem(*SMALL)
    make = lamiro.DataPy
    start = time.perf_counter()
    for _ in range(loops):
        result = make(d, n, wl, 0.3, 0.4).simulate()
        result.r
        result.t
    return time.perf_counter() - start


def pyperf_worker(argv):
    """One benchmark ("LAYERSxCOUNT" or "small") as a pyperf run: manager and worker processes."""
    import pyperf

    runner = pyperf.Runner(program_args=(__file__, "pyperf"),
                           add_cmdline_args=lambda cmd, args: cmd.append(args.benchmark))
    runner.argparser.add_argument("benchmark")
    args = runner.parse_args(argv)
    if args.benchmark == "small":
        runner.bench_time_func("small", time_small_call)
    else:
        layers, count = map(int, args.benchmark.split("x"))
        runner.bench_time_func(args.benchmark, time_simulate, layers, count)


def memory_worker(argv):
    layers, count = map(int, argv)
    d, n, wl = problem(layers, count)
    data = lamiro.DataPy(d, n, wl, 0.3, 0.4)
    lamiro.DataPy(*problem(1, 200), 0.3, 0.4).simulate()  # pool and its stacks exist before measuring
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    data.simulate()
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    inputs = d.nbytes + n.nbytes + wl.nbytes
    print(json.dumps({"extra": (after - before) * 1024, "inputs": inputs, "bound": inputs + 256 * count}))


# --- manager side ------------------------------------------------------------------


def measure(benchmark, threads, options, scratch, module_dir=None, tag="this"):
    """(mean, standard deviation, median, values) in seconds of one pyperf run.

    With module_dir, the lamiro module found there is timed instead of the
    installed one."""
    import pyperf

    out = os.path.join(scratch, f"{benchmark}-{threads}-{tag}.json")
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("PYTHONPATH", None)
    inherited = "RAYON_NUM_THREADS"
    if module_dir:
        env["PYTHONPATH"] = os.path.abspath(module_dir)
        inherited += ",PYTHONPATH"
    command = [sys.executable, __file__, "pyperf", benchmark, "--quiet", "-o", out,
               "--inherit-environ", inherited, *options]
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"pyperf run of {benchmark} with {threads} threads failed:\n{done.stdout}{done.stderr}")
    bench = pyperf.Benchmark.load(out)
    return bench.mean(), bench.stdev(), bench.median(), bench.get_nvalue()


def ratio_text(slow, fast):
    """slow/fast of two (mean, std. dev.) pairs, with the relative deviations added in quadrature."""
    value = slow[0] / fast[0]
    spread = value * math.hypot(slow[1] / slow[0], fast[1] / fast[0])
    return f"{value:.2f} ± {spread:.2f}"


def load_text():
    one, five, _ = os.getloadavg()
    return f"load average {one:.2f} (1 min), {five:.2f} (5 min)"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--processes", type=int, default=10, help="pyperf worker processes (default: %(default)s)")
    parser.add_argument("--values", type=int, default=3, help="pyperf values per process (default: %(default)s)")
    parser.add_argument("--before", help="directory of a lamiro module to time next to this one")
    parser.add_argument("--this", help="directory of this tree's lamiro module (default: the installed one)")
    args = parser.parse_args(argv)
    options = ["--processes", str(args.processes), "--values", str(args.values)]

    print(f"CPUs available to this process: {len(os.sched_getaffinity(0))}; at the start: {load_text()}")
    print(f"pyperf: {args.processes} processes x {args.values} values each, mean ± std. dev. of the values")
    with tempfile.TemporaryDirectory(prefix="simulate_bench-") as scratch:
        pools = ("this", "before") if args.before else ("this",)
        print(f"\n{'problem':>12} {'threads':>7} {'pool':>6} {'ms/simulate':>18} {'median ms':>10} "
              f"{'ns/(layer*wl)':>14} {'speed-up':>12}" + (f" {'this/before':>12}" if args.before else ""))
        for layers, count in SIZES:
            key = f"{layers}x{count}"
            results = {}
            for threads in THREADS:
                for pool in pools:
                    module_dir = args.before if pool == "before" else args.this
                    results[pool, threads] = measure(key, threads, options, scratch, module_dir, pool)
            for threads in THREADS:
                for pool in pools:
                    mean, spread, median, _ = results[pool, threads]
                    speed_up = ratio_text(results[pool, 1], results[pool, threads]) if threads > 1 else ""
                    versus = ratio_text(results["before", threads], results[pool, threads]) \
                        if pool == "this" and args.before else ""
                    print(f"{key:>12} {threads:>7} {pool:>6} {mean * 1e3:9.3f} ± {spread * 1e3:6.3f} "
                          f"{median * 1e3:10.3f} {mean * 1e9 / (layers * count):14.2f} {speed_up:>12}"
                          + (f" {versus:>12}" if args.before else ""))
        if args.before:
            print("(this/before: time of the earlier pool over this one's; above 1 this pool is faster)")

        mean, spread, median, nvalues = measure("small", 1, options, scratch)
        print(f"\nsmall call (3 media x 10 wavelengths, DataPy + simulate + r + t): "
              f"{mean * 1e6:.2f} ± {spread * 1e6:.2f} µs (median {median * 1e6:.2f} µs, {nvalues} values)")
    print(f"At the end: {load_text()}")

    print(f"\n{'problem':>16} {'inputs MiB':>11} {'peak extra MiB':>15} {'bound MiB':>10}")
    for layers, count in [(200, 10_000), (10, 200_000)]:
        done = subprocess.run([sys.executable, __file__, "memory", str(layers), str(count)],
                              capture_output=True, text=True, check=True)
        mem = json.loads(done.stdout)
        print(f"{f'{layers}x{count}':>16} {mem['inputs'] / 2**20:11.2f} {mem['extra'] / 2**20:15.2f} "
              f"{mem['bound'] / 2**20:10.2f}")


if __name__ == "__main__":
    modes = {"pyperf": pyperf_worker, "memory": memory_worker}
    if len(sys.argv) > 1 and sys.argv[1] in modes:
        modes[sys.argv[1]](sys.argv[2:])
    else:
        main(sys.argv[1:])
