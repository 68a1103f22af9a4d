# SPDX-License-Identifier: MIT
"""lamiro side by side with the alternatives a Python user has.

Five ways to compute the same reflectance and transmittance spectra, each
called as its own users call it (benchmarks/peers.py says how):

- lamiro: one DataPy(...).simulate() per stack, reading r and t included;
- tmm-faster (C++ core, OpenMP): one calc_coherent call for all wavelengths;
- tmm-fast (PyTorch on the CPU): one coh_tmm call per polarisation for all
  wavelengths; it runs in the interpreter given by --torch-python (a Python
  3.11 environment with a CPU build of PyTorch, made by `make compare-peers`);
- a NumPy transfer-matrix model vectorised over the wavelengths
  (benchmarks/numpy_model.py, what a user would write instead);
- tmm, the pure-Python package, once per wavelength and polarisation.

Sizes: 3 media x 10 wavelengths; the mid sizes of designers' loops, 4 layers x
101 and x 301 wavelengths and 20 layers x 301 (just above lamiro's parallel
threshold of 100 wavelengths, where a parallel request's fixed cost counts
most); 20 layers x 1 000 and 200 layers x 10 000 wavelengths; all of
dispersive, weakly absorbing layers on glass, from air, at theta = 0.3 and
phi = pi/4.

First every peer computes every problem once and must agree with lamiro, and
with tmm on the wavelengths tmm computed, to AGREEMENT on R and T; otherwise
nothing is timed and the exit status is 1. (The exit medium is lossless, where
the packages' conventions for T coincide.) Then each peer and size is timed
by pyperf in worker processes of the peer's interpreter, sizes one after the
other with the peers side by side, and reported as mean +- standard deviation
of the per-process values. A peer whose pyperf run is estimated to last longer
than --budget seconds gets fewer processes (one value each), or is skipped
when even two calls would not fit.

Prints the table, lamiro's lead over the fastest peer at each size, the same
table as Markdown, and saves a plot to
benchmarks/output/compare_peers.png (or --plot PATH).

Then lamiro_design's incoherent() and absorption() against tmm-faster's
calc_incoherent and tmm's inc_tmm, absorp_in_each_layer and
inc_absorp_in_each_layer, in this process (benchmarks/design_peers.py,
--design-rounds interleaved rounds; --design-only runs just these).

Run: .venv/bin/python benchmarks/compare_peers.py [--torch-python PATH]
         [--budget SECONDS] [--processes N] [--values N] [--plot PATH]
         [--sizes 4x101,4x301,...] [--design-rounds N] [--design-only]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
PEERS_SCRIPT = HERE / "peers.py"
SIZES = [(1, 10), (4, 101), (4, 301), (20, 301), (20, 1_000), (200, 10_000)]  # (layers, wavelengths)
LEAD_GOAL = 4.0  # lamiro's time at most a quarter of the fastest peer's
THETA = 0.3
PHI = math.pi / 4  # equal parts of s and p, so both polarisations count
AGREEMENT = 1e-9  # largest accepted |difference| of R or T
TMM_TRIAL = 100  # wavelengths of tmm's agreement run (and time estimate) at a size it would take long on
MIN_TIME = 0.1  # pyperf's shortest value, seconds
NOT_INSTALLED = 3  # exit status of peers.py values
TITLES = {
    "lamiro": "lamiro",
    "tmm-faster": "tmm-faster",
    "tmm-fast": "tmm-fast (PyTorch CPU)",
    "numpy": "NumPy (vectorised)",
    "tmm": "tmm (per wavelength)",
}
# Worker processes of pyperf start with a clean environment; these settings,
# when given, reach them.
INHERITED = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "OMP_NUM_THREADS", "MKL_NUM_THREADS",
             "OPENBLAS_NUM_THREADS", "OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def problem(layers, count, seed=7):
    """(d, n, wl) of a stack of dispersive, weakly absorbing layers on glass.

    Every layer has its own Cauchy-like dispersion, so each column of n is
    different; incidence from air, exit into lossless glass.
    """
    rng = np.random.default_rng(seed)
    wl = np.linspace(400.0, 1000.0, count)
    base = rng.uniform(1.35, 2.4, layers)[:, None]
    slope = rng.uniform(2e3, 2e4, layers)[:, None]
    loss = rng.uniform(0.0, 0.01, layers)[:, None]
    n = np.empty((layers + 2, count), dtype=np.complex128)
    n[0] = 1.0
    n[-1] = 1.52
    n[1:-1] = base + slope / wl**2 + 1j * loss * (500.0 / wl)
    d = rng.uniform(20.0, 200.0, layers)
    return d, n, wl


def label(layers, count):
    return f"{layers + 2} media × {count:,} wl" if layers < 2 else f"{layers} layers × {count:,} wl"


# --- running the peers ---------------------------------------------------------


def agreement_run(python, peer, path, out, count=None):
    """R and T of one peer (None if it is not installed there), its version and time per call."""
    command = [python, str(PEERS_SCRIPT), "values", peer, str(path), str(out)]
    if count is not None:
        command += ["--count", str(count)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode == NOT_INSTALLED:
        return None
    if done.returncode != 0:
        raise RuntimeError(f"{peer} failed:\n{done.stdout}{done.stderr}")
    info = json.loads(done.stdout.splitlines()[-1])
    with np.load(out) as data:
        info["r"], info["t"] = data["r"], data["t"]
    return info


def pyperf_plan(seconds, budget, processes, values):
    """pyperf options for a call of `seconds`, or None if two calls do not fit the budget."""
    if processes * (1 + values) * max(seconds, MIN_TIME) <= budget:
        return ["--processes", str(processes), "--values", str(values)]
    for warmups in (1, 0):  # one value per process, after a warm-up call while that fits
        fitting = min(processes, int(budget // ((1 + warmups) * seconds)))
        if fitting >= 2:
            return ["--processes", str(fitting), "--values", "1", "--warmups", str(warmups), "--loops", "1"]
    return None


def timed_run(python, peer, path, options, out):
    import pyperf

    inherited = [name for name in INHERITED if name in os.environ]
    command = [python, str(PEERS_SCRIPT), "time", peer, str(path), "--quiet", "-o", str(out), *options]
    if inherited:
        command += ["--inherit-environ", ",".join(inherited)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"pyperf run of {peer} failed:\n{done.stdout}{done.stderr}")
    bench = pyperf.Benchmark.load(str(out))
    return bench.mean(), bench.stdev(), bench.get_nvalue(), bench.median()


def deviation(ours, theirs):
    """Largest |difference| of R and T over the wavelengths both computed."""
    count = len(theirs["r"])
    return max(float(np.max(np.abs(ours[key][:count] - theirs[key]), initial=0.0)) for key in ("r", "t"))


# --- reporting -------------------------------------------------------------------


def with_unit(mean, spread=None):
    """Seconds as "mean ± spread unit" (or "mean unit"), both in the unit that suits the mean."""
    scale, unit = (1e6, "µs") if mean < 1e-3 else (1e3, "ms") if mean < 1.0 else (1.0, "s")
    digits = 0 if mean * scale >= 100 else 1 if mean * scale >= 10 else 2
    if spread is None:
        return f"{mean * scale:.{digits}f} {unit}"
    return f"{mean * scale:.{digits}f} ± {spread * scale:.{digits}f} {unit}"


def cell(row, peer):
    result = row["time"].get(peer)
    if result is None:
        return row["note"].get(peer, "-")
    text = with_unit(result[0], result[1])
    if peer != "lamiro":
        ratio = result[0] / row["time"]["lamiro"][0]
        text += f" ({ratio:,.0f}×)" if ratio >= 10 else f" ({ratio:.1f}×)"
    return text


def table(rows):
    header = ["stack", *TITLES.values()]
    lines = [[label(row["layers"], row["count"]), *(cell(row, peer) for peer in TITLES)] for row in rows]
    return header, lines


def print_plain(header, lines):
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header)]
    print("  ".join(h.ljust(w) for h, w in zip(header, widths)))
    for line in lines:
        print("  ".join(c.ljust(w) for c, w in zip(line, widths)))


def print_markdown(header, lines):
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|")
    for line in lines:
        print("| " + " | ".join(line) + " |")


def plot(rows, path, title):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return
    x = np.arange(len(rows))
    width = 0.8 / len(TITLES)
    fig, ax = plt.subplots(figsize=(9, 5))
    for i, (peer, name) in enumerate(TITLES.items()):
        offset = (i - (len(TITLES) - 1) / 2) * width
        means = [row["time"][peer][0] if peer in row["time"] else np.nan for row in rows]
        spreads = [row["time"][peer][1] if peer in row["time"] else np.nan for row in rows]
        # On the log axis a bar down to mean - std <= 0 would run off the plot: stop it at a tenth of the mean.
        below = np.minimum(spreads, 0.9 * np.array(means))
        bars = ax.bar(x + offset, means, width, yerr=[below, spreads], capsize=2, label=name)
        for bar, row in zip(bars, rows):
            if peer not in row["time"]:
                ax.text(bar.get_x() + width / 2, 0.03, row["note"].get(peer, "-").split(" (")[0],
                        rotation=90, ha="center", va="bottom", fontsize=7, transform=ax.get_xaxis_transform())
    ax.set_yscale("log")
    ax.set_xticks(x, [label(row["layers"], row["count"]).replace(" × ", "\n× ") for row in rows])
    ax.set_ylabel("seconds per spectrum (R and T)\nmean ± std. dev. (lower bar ends at ≥ mean/10)")
    ax.set_title(title, fontsize=10)
    ax.legend(fontsize=8)
    ax.grid(axis="y", which="both", alpha=0.3)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=120)
    print(f"plot saved to {path}")


def load_text():
    one, five, _ = os.getloadavg()
    return f"load average {one:.2f} (1 min), {five:.2f} (5 min)"


def sizes_option(text):
    try:
        return [tuple(int(x) for x in size.split("x")) for size in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not LAYERSxWAVELENGTHS,...: {text!r}") from None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_torch = HERE.parent / ".venv-torch" / "bin" / "python"
    parser.add_argument("--torch-python", default=str(default_torch),
                        help="interpreter that has tmm-fast and PyTorch (default: %(default)s)")
    parser.add_argument("--budget", type=float, default=150.0,
                        help="longest pyperf run of one peer at one size, seconds (default: %(default)s)")
    parser.add_argument("--processes", type=int, default=8, help="pyperf worker processes (default: %(default)s)")
    parser.add_argument("--values", type=int, default=3, help="pyperf values per process (default: %(default)s)")
    parser.add_argument("--plot", type=pathlib.Path, default=HERE / "output" / "compare_peers.png")
    parser.add_argument("--sizes", type=sizes_option, default=SIZES,
                        help="LAYERSxWAVELENGTHS,... to run (default: all, "
                             + ",".join(f"{a}x{b}" for a, b in SIZES) + ")")
    parser.add_argument("--design-rounds", type=int, default=7,
                        help="interleaved rounds of the lamiro_design rows (default: %(default)s)")
    parser.add_argument("--design-only", action="store_true", help="only the lamiro_design rows")
    args = parser.parse_args(argv)
    if args.design_only:
        return design_rows(args)
    with tempfile.TemporaryDirectory(prefix="compare_peers-") as scratch:
        return run(args, pathlib.Path(scratch))


def run(args, scratch):
    pythons = {peer: sys.executable for peer in TITLES}
    pythons["tmm-fast"] = args.torch_python
    cpus = len(os.sched_getaffinity(0))
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, {cpus} CPUs; "
          f"each peer with its default thread count; theta = {THETA}, phi = pi/4")
    started = os.getloadavg()[0]
    print(f"At the start: {load_text()}")

    rows, versions, failed = [], {}, False
    print(f"\nAgreement with lamiro and with tmm (largest |difference| of R and T; accepted: {AGREEMENT:g})")
    for layers, count in args.sizes:
        d, n, wl = problem(layers, count)
        path = scratch / f"problem-{layers}x{count}.npz"
        np.savez(path, d=d, n=n, wl=wl, theta=THETA, phi=PHI)
        row = {"layers": layers, "count": count, "path": path, "seconds": {}, "time": {}, "note": {}}
        results = {}
        for peer in TITLES:
            python = pythons[peer]
            if not pathlib.Path(python).exists():
                row["note"][peer] = "not installed"
                continue
            trial = TMM_TRIAL if peer == "tmm" and count > TMM_TRIAL else None
            result = agreement_run(python, peer, path, scratch / f"{peer}-{layers}x{count}.npz", trial)
            if result is None:
                row["note"][peer] = "not installed"
                continue
            versions[peer] = result["version"]
            results[peer] = result
            row["seconds"][peer] = result["seconds"] * (count / trial if trial else 1)
        parts = []
        for peer, result in results.items():
            if peer == "lamiro":
                continue
            worst = deviation(results["lamiro"], result)
            text = f"{peer} {worst:.1e}"
            if "tmm" in results and peer != "tmm":
                against_tmm = deviation(result, results["tmm"])
                worst = max(worst, against_tmm)
                text += f" (tmm {against_tmm:.1e})"
            failed |= not worst <= AGREEMENT
            parts.append(text)
        tmm_note = f"; tmm on the first {TMM_TRIAL} wl" if "tmm" in results and count > TMM_TRIAL else ""
        print(f"  {label(layers, count)}: " + ", ".join(parts) + tmm_note)
        rows.append(row)
    print("Versions: " + "; ".join(f"{peer} {text}" for peer, text in versions.items()))
    if failed:
        print(f"DISAGREEMENT above {AGREEMENT:g}: nothing timed", file=sys.stderr)
        return 1

    print(f"\nTiming with pyperf ({args.processes} processes x {args.values} values unless the budget "
          f"of {args.budget:.0f} s per run asks for fewer)")
    for row in rows:
        for peer in TITLES:
            if peer not in row["seconds"]:
                continue
            estimate = row["seconds"][peer]
            options = pyperf_plan(estimate, args.budget, args.processes, args.values)
            if options is None:
                row["note"][peer] = f"skipped (est. {estimate:.0f} s per call)"
                print(f"  {label(row['layers'], row['count'])}, {peer}: {row['note'][peer]}")
                continue
            start = time.perf_counter()
            out = scratch / f"{peer}-{row['layers']}x{row['count']}.json"
            row["time"][peer] = timed_run(pythons[peer], peer, row["path"], options, out)
            mean, spread, nvalues, median = row["time"][peer]
            noisy = "  (std. dev. over 10 % of the mean)" if spread > 0.1 * mean else ""
            print(f"  {label(row['layers'], row['count'])}, {peer}: {with_unit(mean, spread)}, median "
                  f"{with_unit(median)}, from {nvalues} values in "
                  f"{time.perf_counter() - start:.0f} s{noisy}")
    print(f"At the end: {load_text()}\n")

    header, lines = table(rows)
    print_plain(header, lines)
    print(f"\nlamiro's lead over the fastest peer (goal: at least {LEAD_GOAL:g}x at every size):")
    for row in rows:
        peers = {peer: result[0] for peer, result in row["time"].items() if peer != "lamiro"}
        if "lamiro" not in row["time"] or not peers:
            continue
        fastest = min(peers, key=peers.get)
        lead = peers[fastest] / row["time"]["lamiro"][0]
        print(f"  {label(row['layers'], row['count'])}: {lead:.1f}x ({fastest})"
              + ("" if lead >= LEAD_GOAL else "  below the goal"))
    print("\nMarkdown:\n")
    print_markdown(header, lines)
    print()
    plot(rows, args.plot, f"R and T at θ = {THETA}, φ = π/4; mean ± std. dev. of pyperf's values\n{cpus} CPUs, "
                          f"1-minute load average {started:.1f} at the start, {os.getloadavg()[0]:.1f} at the end")
    return design_rows(args)


def design_rows(args):
    sys.path.insert(0, str(HERE))
    import design_peers

    print(f"At the start: {load_text()}")
    agreed = design_peers.run(args.design_rounds)
    print(f"At the end: {load_text()}")
    return 0 if agreed else 1


if __name__ == "__main__":
    sys.exit(main())
