# SPDX-License-Identifier: MIT
"""What a parallel request costs a Python caller: the worker pool of an earlier
build ("before") and of this tree ("this") side by side, in one run.

"before" is a lamiro module built from this tree with the worker pool before
its latency work (make benchmark builds it into build/pool-before/module; the
path is given with --before); "this" is the module of this tree, from --this
(make benchmark: build/pool-this/module, built the same way) or else the one
installed in this interpreter.
Every figure comes from child interpreters, one module each, the two kinds
interleaved, so a change of load on the machine hits both:

1. Latency: DataPy(...).simulate() on a stored object, lossless layers on
   glass, 100 wavelengths (on the calling thread) and 101, 301, 1 000 (on the
   pool), with 2 workers and with 1; per cell the minimum and the median of
   ROUNDS rounds of CALLS calls, and the ratio of 101 to 100 wavelengths.
2. Idle processor time: after a burst of calls, the process's processor time
   over the next second, as a share of one core.
3. Two processes on the machine's cores, each a loop of 4 layers x 301
   wavelengths (what a multiprocessing or Dask sweep does): calls per second
   of both together.
4. The caller's own time between calls: a fixed piece of Python work after
   each 4 x 301 spectrum, its time against the same work with no spectra
   between, and the calling thread's involuntary context switches per call.
5. The optimisation of examples/design_loop.py with its settings (lamiro's
   merit only, not the NumPy model's): evaluations per second.

Run: .venv/bin/python benchmarks/pool_latency.py --before DIR [--this DIR]
         [--rounds 20] [--calls 200] [--repeats 3] [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
COUNTS = (100, 101, 301, 1000)
ROWS = (("4 layers", 4, "2"), ("4 layers, RAYON_NUM_THREADS=1", 4, "1"), ("20 layers", 20, "2"))
QUIET_BLAS = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


# --- child side ----------------------------------------------------------------------


def lossless_stack(layers, count):
    """Alternating MgF2- and ZrO2-like layers (real indices) between air and glass."""
    import numpy as np

    wl = np.linspace(400.0, 700.0, count)
    n = np.empty((layers + 2, count), dtype=np.complex128)
    n[0] = 1.0
    n[-1] = 1.52
    for k in range(layers):
        n[k + 1] = 1.38 if k % 2 == 0 else 2.1
    d = np.array([100.0 + 7.0 * k for k in range(layers)])
    return d, n, wl


def prepared(layers, count):
    import lamiro

    return lamiro.DataPy(*lossless_stack(layers, count), 0.2, 0.7)


def child_latency(layers, rounds, calls):
    results = {}
    for count in COUNTS:
        data = prepared(layers, count)
        simulate = data.simulate
        for _ in range(calls):  # pool started, caches warm
            simulate()
        per_call = []
        for _ in range(rounds):
            start = time.perf_counter()
            for _ in range(calls):
                simulate()
            per_call.append((time.perf_counter() - start) / calls)
        results[count] = per_call
    return results


def child_idle(burst_calls):
    data = prepared(4, 301)
    for _ in range(burst_calls):
        data.simulate()
    time.sleep(0.005)  # "a few milliseconds later"
    cpu, wall = time.process_time(), time.perf_counter()
    time.sleep(1.0)
    return {"share": (time.process_time() - cpu) / (time.perf_counter() - wall)}


def child_loop(seconds, start_at):
    data = prepared(4, 301)
    data.simulate()
    while time.time() < start_at:
        time.sleep(0.001)
    calls, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        data.simulate()
        calls += 1
    return {"rate": calls / (time.perf_counter() - start)}


def involuntary_switches():
    with open("/proc/thread-self/status") as status:
        for line in status:
            if line.startswith("nonvoluntary_ctxt_switches"):
                return int(line.split()[1])
    return 0


def python_work(steps):
    total = 0
    for i in range(steps):
        total += i * i
    return total


def child_caller(calls, steps):
    data = prepared(4, 301)
    data.simulate()
    alone = []
    for _ in range(calls):
        start = time.perf_counter()
        python_work(steps)
        alone.append(time.perf_counter() - start)
    between = []
    switches = involuntary_switches()
    for _ in range(calls):
        data.simulate()
        start = time.perf_counter()
        python_work(steps)
        between.append(time.perf_counter() - start)
    return {"alone": statistics.median(alone), "between": statistics.median(between),
            "between_mean": statistics.fmean(between), "alone_mean": statistics.fmean(alone),
            "switches": (involuntary_switches() - switches) / calls}


def child_design(quick):
    sys.path.insert(0, str(ROOT / "examples"))
    import math

    import numpy as np
    from design_loop import Merit, lamiro_spectra, optimise

    # The example's own settings (its NumPy run left out).
    count, degrees, generations, population = (301, (0, 10, 20, 30), 100, 15)
    if quick:
        generations = 3
    wl = np.linspace(400.0, 700.0, count)
    merit = Merit(lamiro_spectra, wl, [math.radians(a) for a in degrees])
    result = optimise(merit, generations, population)
    return {"rate": result["evaluations"] / result["seconds"], "evaluations": result["evaluations"]}


def child_main(argv):
    import lamiro

    kind, *args = argv
    tasks_before = len(os.listdir("/proc/self/task"))
    if kind == "latency":
        out = child_latency(int(args[0]), int(args[1]), int(args[2]))
    elif kind == "idle":
        out = child_idle(int(args[0]))
    elif kind == "loop":
        out = child_loop(float(args[0]), float(args[1]))
    elif kind == "caller":
        out = child_caller(int(args[0]), int(args[1]))
    else:
        out = child_design(args[0] == "quick")
    out = {"result": out, "module": lamiro.__file__,
           "workers": len(os.listdir("/proc/self/task")) - tasks_before}
    print(json.dumps(out))


# --- parent side ---------------------------------------------------------------------


class Variants:
    """Starts child interpreters with the "before" module or with this one."""

    def __init__(self, before, this=None):
        self.dirs = {"before": pathlib.Path(before).resolve(),
                     "this": pathlib.Path(this).resolve() if this else None}
        self.names = ("before", "this")

    def env(self, name, threads=None, quiet_blas=True):
        env = dict(os.environ, **(QUIET_BLAS if quiet_blas else {}))
        env.pop("PYTHONPATH", None)
        if self.dirs[name] is not None:
            env["PYTHONPATH"] = str(self.dirs[name])
        if threads is not None:
            env["RAYON_NUM_THREADS"] = threads
        return env

    def start(self, name, args, threads=None, quiet_blas=True):
        return subprocess.Popen([sys.executable, __file__, "child", *map(str, args)],
                                env=self.env(name, threads, quiet_blas), stdout=subprocess.PIPE, text=True)

    def collect(self, name, proc):
        out, _ = proc.communicate()
        if proc.returncode != 0:
            raise SystemExit(f"child with the {name} module failed")
        report = json.loads(out)
        module = pathlib.Path(report["module"]).resolve()
        expected = self.dirs[name]
        if (expected is not None and not module.is_relative_to(expected)) or \
                (expected is None and module.is_relative_to(self.dirs["before"])):
            raise SystemExit(f"the {name} child imported {report['module']}")
        return report

    def run(self, name, args, threads=None, quiet_blas=True):
        return self.collect(name, self.start(name, args, threads, quiet_blas))


def micro(seconds):
    return f"{seconds * 1e6:7.1f}"


def latency(variants, args):
    print(f"\n1. simulate() on a stored DataPy, lossless layers: µs per call, minimum (median) of "
          f"{args.rounds} rounds x {args.calls} calls, {args.repeats} interleaved processes per cell")
    rounds = {}
    for _ in range(args.repeats):
        for label, layers, threads in ROWS:
            for name in variants.names:
                report = variants.run(name, ["latency", layers, args.rounds, args.calls], threads)
                if report["workers"] != int(threads):
                    raise SystemExit(f"{label}: {report['workers']} workers started, not {threads}")
                for count, values in report["result"].items():
                    rounds.setdefault((label, name, int(count)), []).extend(values)
    head = "".join(f"{c:>17,}" for c in COUNTS)
    print(f"{'stack':<31}{'pool':<8}{head}   101/100")
    summary = {}
    for label, _, _ in ROWS:
        for name in variants.names:
            cells = [rounds[(label, name, count)] for count in COUNTS]
            text = "".join(f"{micro(min(v))} ({micro(statistics.median(v)).strip():>6})" for v in cells)
            ratio = min(cells[1]) / min(cells[0])
            summary[(label, name)] = ratio
            print(f"{label:<31}{name:<8}{text}   {ratio:5.2f}")
    print("(100 wavelengths run on the calling thread, so both pools should agree there)")
    return summary


def idle(variants, args):
    burst = 200 if args.quick else 2000
    print(f"\n2. Processor time over one idle second, 5 ms after a burst of {burst} calls of 4 x 301 "
          f"(target < 1 % of a core)")
    for name in variants.names:
        shares = [variants.run(name, ["idle", burst])["result"]["share"] for _ in range(args.repeats)]
        print(f"   {name:<7} " + ", ".join(f"{100 * s:.3f} %" for s in shares))


def two_processes(variants, args):
    seconds = 1.0 if args.quick else 3.0
    print(f"\n3. Two processes at once, each a loop of 4 layers x 301 wavelengths for {seconds:.0f} s, "
          f"default worker count: calls per second of both together")
    totals = {name: [] for name in variants.names}
    for _ in range(args.repeats):
        for name in variants.names:
            start_at = time.time() + 1.0
            procs = [variants.start(name, ["loop", seconds, start_at]) for _ in range(2)]
            rates = [variants.collect(name, p)["result"]["rate"] for p in procs]
            totals[name].append(sum(rates))
    for name in variants.names:
        print(f"   {name:<7} " + ", ".join(f"{t:8.0f}" for t in totals[name])
              + f"   median {statistics.median(totals[name]):8.0f}")
    ratio = statistics.median(totals["this"]) / statistics.median(totals["before"])
    print(f"   this / before: {ratio:.2f} (target >= 1)")


def caller_core(variants, args):
    calls, steps = (300, 300) if args.quick else (3000, 300)
    print(f"\n4. The calling thread between calls: a Python loop of {steps} steps after each 4 x 301 "
          f"spectrum, {calls} calls; median µs of that loop without spectra between and with them, "
          f"and the calling thread's involuntary context switches per call")
    for name in variants.names:
        for _ in range(args.repeats):
            r = variants.run(name, ["caller", calls, steps])["result"]
            print(f"   {name:<7} alone {micro(r['alone'])}  between calls {micro(r['between'])}"
                  f"  (means {micro(r['alone_mean']).strip()}, {micro(r['between_mean']).strip()})"
                  f"  switches per call {r['switches']:.3f}")


def design(variants, args):
    print("\n5. examples/design_loop.py's optimisation with lamiro's merit (301 wavelengths x 4 angles"
          f"{', 3 generations' if args.quick else ', its settings'}): evaluations per second")
    rates = {name: [] for name in variants.names}
    for _ in range(args.repeats):
        for name in variants.names:
            # As a designer runs it: the BLAS library's threads as they come.
            r = variants.run(name, ["design", "quick" if args.quick else "full"], quiet_blas=False)["result"]
            rates[name].append(r["rate"])
    for name in variants.names:
        print(f"   {name:<7} " + ", ".join(f"{r:7.0f}" for r in rates[name])
              + f"   median {statistics.median(rates[name]):7.0f}")
    ratio = statistics.median(rates["this"]) / statistics.median(rates["before"])
    print(f"   this / before: {ratio:.2f} (target >= 1.5)")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", required=True, help="directory holding the lamiro module to compare with")
    parser.add_argument("--this", help="directory holding this tree's lamiro module (default: the installed one)")
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=3, help="interleaved child processes per figure")
    parser.add_argument("--quick", action="store_true", help="shorter runs, for a smoke test")
    parser.add_argument("--only", nargs="*", default=["latency", "idle", "two", "caller", "design"])
    args = parser.parse_args(argv)
    variants = Variants(args.before, args.this)
    one, five, _ = os.getloadavg()
    print(f"{len(os.sched_getaffinity(0))} CPUs; load average {one:.2f} (1 min), {five:.2f} (5 min)")
    steps = {"latency": latency, "idle": idle, "two": two_processes, "caller": caller_core, "design": design}
    for step in args.only:
        steps[step](variants, args)
    one, five, _ = os.getloadavg()
    print(f"\nAt the end: load average {one:.2f} (1 min), {five:.2f} (5 min)")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "child":
        child_main(sys.argv[2:])
    else:
        main(sys.argv[1:])
