# SPDX-License-Identifier: MIT
"""lamiro side by side with the alternatives a Python user has.

Three ways to compute the same reflectance and transmittance spectra:

- lamiro: one DataPy(...).simulate() per stack (construction and reading r
  and t included in the time);
- tmm, the pure-Python transfer-matrix package from the package index, called
  once per wavelength and polarisation, as its users do;
- a NumPy transfer-matrix implementation vectorised over the wavelengths,
  written below (what a user would write instead of either).

Sizes: 3 media x 10 wavelengths, 20 layers x 1 000 wavelengths, 200 layers x
10 000 wavelengths.  A peer whose run is estimated (from a run on a few
wavelengths) to take over a minute is skipped at that size and the table says
so; its agreement is then checked on the wavelengths of the estimate only.
Every peer must agree with lamiro on R and T (the exit medium is lossless, so
the packages' conventions coincide); the script exits with status 1 if not.

Prints a table of times and speed-ups, the same table as Markdown, and saves
a plot to benchmarks/output/compare_peers.png.

Run: .venv/bin/python benchmarks/compare_peers.py [--budget SECONDS]
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import platform
import sys
import time

import numpy as np

import lamiro

SIZES = [(1, 10), (20, 1_000), (200, 10_000)]  # (layers, wavelengths)
THETA = 0.3
PHI = math.pi / 4  # equal parts of s and p, so both polarisations count
AGREEMENT = 1e-9  # largest accepted deviation, relative to max(|value|, 1)
OUTPUT = pathlib.Path(__file__).resolve().parent / "output"


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


# --- the peers -------------------------------------------------------------


def run_lamiro(d, n, wl, theta, phi):
    result = lamiro.DataPy(d, n, wl, theta, phi).simulate()
    return result.r, result.t


def numpy_spectra(d, n, wl, theta, phi):
    """R and T by the transfer-matrix method, all wavelengths at once."""
    n0 = n[0]
    beta2 = (n0 * math.sin(theta)) ** 2
    kz = np.sqrt(n * n - beta2)  # n_j cos(theta_j), principal branch
    cos_j = kz / n
    phase = 2j * math.pi * kz[1:-1] / wl  # times thickness below

    def amplitudes(p_polarised):
        def interface(a):
            if p_polarised:
                u, v = n[a + 1] * cos_j[a], n[a] * cos_j[a + 1]
            else:
                u, v = kz[a], kz[a + 1]
            inv_tau = (u + v) / (2 * kz[a])
            rho_tau = (u - v) / (2 * kz[a])
            return inv_tau, rho_tau

        a, b = interface(0)
        m00, m01, m10, m11 = a, b, b, a
        for k in range(1, n.shape[0] - 1):
            e_plus = np.exp(phase[k - 1] * d[k - 1])
            e_minus = 1.0 / e_plus
            a, b = interface(k)
            x00, x01 = e_minus * m00, e_minus * m01
            x10, x11 = e_plus * m10, e_plus * m11
            m00, m01, m10, m11 = a * x00 + b * x10, a * x01 + b * x11, b * x00 + a * x10, b * x01 + a * x11
        return m01 / m00, 1.0 / m00

    rs, ts = amplitudes(False)
    rp, tp = amplitudes(True)
    cs2, sp2 = math.cos(phi) ** 2, math.sin(phi) ** 2
    reflectance = cs2 * np.abs(rs) ** 2 + sp2 * np.abs(rp) ** 2
    factor = (kz[-1] / (n0 * math.cos(theta))).real
    transmittance = factor * (cs2 * np.abs(ts) ** 2 + sp2 * np.abs(tp) ** 2)
    return reflectance, transmittance


def tmm_spectra(d, n, wl, theta, phi, count=None):
    """R and T from tmm, one coh_tmm call per wavelength and polarisation."""
    import tmm

    count = len(wl) if count is None else count
    d_list = [math.inf, *d.tolist(), math.inf]
    cs2, sp2 = math.cos(phi) ** 2, math.sin(phi) ** 2
    reflectance = np.empty(count)
    transmittance = np.empty(count)
    for w in range(count):
        column = n[:, w].tolist()
        s = tmm.coh_tmm("s", column, d_list, theta, wl[w])
        p = tmm.coh_tmm("p", column, d_list, theta, wl[w])
        reflectance[w] = cs2 * s["R"] + sp2 * p["R"]
        transmittance[w] = cs2 * s["T"] + sp2 * p["T"]
    return reflectance, transmittance


# --- timing ------------------------------------------------------------------


def best_time(call, min_total=0.3, rounds=3):
    """Best per-call wall time over `rounds` rounds of enough calls to last min_total."""
    start = time.perf_counter()
    value = call()
    once = time.perf_counter() - start
    repeats = max(1, int(min_total / max(once, 1e-7)))
    best = once
    for _ in range(rounds if once < min_total else 0):
        start = time.perf_counter()
        for _ in range(repeats):
            call()
        best = min(best, (time.perf_counter() - start) / repeats)
    return best, value


def deviation(ours, theirs):
    """Largest |difference| relative to max(|value|, 1) over R and T."""
    worst = 0.0
    for a, b in zip(ours, theirs):
        a = np.asarray(a)[: len(b)]
        worst = max(worst, float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1.0), initial=0.0)))
    return worst


def measure(layers, count, budget):
    d, n, wl = problem(layers, count)
    row = {"layers": layers, "count": count}

    row["lamiro"], reference = best_time(lambda: run_lamiro(d, n, wl, THETA, PHI))
    row["numpy"], values = best_time(lambda: numpy_spectra(d, n, wl, THETA, PHI))
    row["numpy_dev"] = deviation(reference, values)

    try:
        import tmm  # noqa: F401
    except ImportError:
        row["tmm"], row["tmm_note"] = None, "not installed"
        return row
    trial = min(count, 100)  # about half a second at the largest size
    start = time.perf_counter()
    values = tmm_spectra(d, n, wl, THETA, PHI, count=trial)
    estimate = (time.perf_counter() - start) * count / trial
    if estimate > budget:
        row["tmm"], row["tmm_note"] = None, f"skipped (est. {estimate:.0f} s)"
        row["tmm_dev"] = deviation(reference, values)
        row["tmm_checked"] = trial
    else:
        row["tmm"], values = best_time(lambda: tmm_spectra(d, n, wl, THETA, PHI), rounds=1)
        row["tmm_dev"] = deviation(reference, values)
        row["tmm_checked"] = count
    return row


# --- reporting ---------------------------------------------------------------


def seconds(value):
    if value is None:
        return "-"
    if value < 1e-3:
        return f"{value * 1e6:.1f} µs"
    if value < 1.0:
        return f"{value * 1e3:.2f} ms"
    return f"{value:.2f} s"


def ratio(slow, fast):
    return "-" if slow is None else f"{slow / fast:,.0f}×" if slow / fast >= 10 else f"{slow / fast:.1f}×"


def label(row):
    if row["layers"] < 2:
        return f"{row['layers'] + 2} media × {row['count']:,} wl"
    return f"{row['layers']} layers × {row['count']:,} wl"


def table(rows):
    header = ["stack", "lamiro", "NumPy (vectorised)", "tmm (per wavelength)", "NumPy / lamiro", "tmm / lamiro"]
    lines = []
    for row in rows:
        name = label(row)
        tmm_cell = seconds(row["tmm"]) if row["tmm"] is not None else row["tmm_note"]
        lines.append(
            [name, seconds(row["lamiro"]), seconds(row["numpy"]), tmm_cell,
             ratio(row["numpy"], row["lamiro"]), ratio(row["tmm"], row["lamiro"])]
        )
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


def plot(rows, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return
    labels = [label(r).replace(" × ", "\n× ") for r in rows]
    peers = [("lamiro", "lamiro"), ("numpy", "NumPy (vectorised)"), ("tmm", "tmm (per wavelength)")]
    x = np.arange(len(rows))
    width = 0.27
    fig, ax = plt.subplots(figsize=(7.5, 4.5))
    for i, (key, name) in enumerate(peers):
        times = [r[key] if r.get(key) is not None else np.nan for r in rows]
        bars = ax.bar(x + (i - 1) * width, times, width, label=name)
        for bar, r in zip(bars, rows):
            if r.get(key) is None:
                ax.text(bar.get_x() + width / 2, 0.03, "skipped", rotation=90, ha="center",
                        va="bottom", fontsize=8, transform=ax.get_xaxis_transform())
    ax.set_yscale("log")
    ax.set_xticks(x, labels)
    ax.set_ylabel("seconds per spectrum (R and T)")
    ax.set_title(f"R and T at θ = {THETA}, φ = π/4 ({os.cpu_count()} CPUs)")
    ax.legend()
    ax.grid(axis="y", which="both", alpha=0.3)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=120)
    print(f"plot saved to {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--budget", type=float, default=60.0,
                        help="skip a peer whose estimated run is longer than this (seconds)")
    args = parser.parse_args(argv)

    try:
        import tmm

        tmm_version = getattr(tmm, "__version__", "installed")
    except ImportError:
        tmm_version = "not installed"
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, tmm {tmm_version}, "
          f"{os.cpu_count()} CPUs, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}")
    print(f"theta = {THETA}, phi = pi/4; times are the best wall time of one full R and T spectrum\n")

    rows = [measure(layers, count, args.budget) for layers, count in SIZES]
    header, lines = table(rows)
    print_plain(header, lines)

    print("\nAgreement with lamiro (largest |difference| / max(|value|, 1) over R and T):")
    failed = False
    for row in rows:
        parts = [f"NumPy {row['numpy_dev']:.1e}"]
        if "tmm_dev" in row:
            checked = "" if row["tmm_checked"] == row["count"] else f" (first {row['tmm_checked']} wl)"
            parts.append(f"tmm {row['tmm_dev']:.1e}{checked}")
        worst = max(row["numpy_dev"], row.get("tmm_dev", 0.0))
        failed |= not worst <= AGREEMENT
        print(f"  {row['layers'] + 2:>3} media × {row['count']:>6,} wl: " + ", ".join(parts))
    for row in rows:
        if row["tmm"] is None:
            print(f"tmm at {row['layers']} layers × {row['count']:,} wl: {row['tmm_note']} "
                  f"(budget {args.budget:.0f} s)")

    print("\nMarkdown:\n")
    print_markdown(header, lines)
    print()
    plot(rows, OUTPUT / "compare_peers.png")
    if failed:
        print(f"DISAGREEMENT above {AGREEMENT:g}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
