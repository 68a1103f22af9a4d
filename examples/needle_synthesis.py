# SPDX-License-Identifier: MIT
"""
Needle synthesis with exact derivatives
=======================================

A broadband antireflection coating grown from one layer with
``lamiro_design.needle`` and ``lamiro_design.thickness_gradient``.

The coating is made of two real materials, MgF2 and ZrO2, on N-BK7 glass,
with the dispersion of each from the literature (the Sellmeier formulas of
examples/design_loop.py). The merit is the mean reflectance of unpolarised
light over 400-700 nm at the angles of incidence 0, 10, 20 and 30 degrees.

The synthesis starts from a single MgF2 layer 250 nm thick and alternates two
steps:

1. refinement: scipy.optimize.minimize (L-BFGS-B, thicknesses >= 0) with the
   merit's gradient from lamiro_design.thickness_gradient (all angles in one
   call); layers that shrink to zero are removed and their neighbours, now of
   the same material, merged;
2. needle insertion: lamiro_design.needle gives, for both materials at every
   depth of the stack (a 1 nm grid), the derivative of the merit with respect
   to the thickness of a thin layer of that material inserted there; a thin
   layer of the other material goes in where that derivative is most
   negative.

It stops when no needle lowers the merit any more, or after a number of
insertions. (The start is thick on purpose: the refined quarter-wave layer
that examples/design_loop.py starts from is a minimum where no thin layer of
either material helps, and where a needle synthesis would end at once.)
The same synthesis then runs with finite-difference gradients (L-BFGS-B's
own, one spectrum per layer and step), and differential evolution as examples/design_loop.py runs it (four layers
MgF2/ZrO2/MgF2/ZrO2, 0-250 nm each) gets the same evaluation budget, then
design_loop.py's full budget. The final merit, the evaluations and the wall
time of each are printed; the reflectance of the designs, the index profile
of the synthesised coating and the merit against wall time are plotted into
needle_synthesis.png in the current directory (or --output).

An evaluation here is one merit over every angle and wavelength: one call of
thickness_gradient (merit and gradient), one of needle, or the four
simulate() calls of a merit alone.

Needs numpy, scipy and matplotlib. Run from any directory::

    python needle_synthesis.py [--quick] [--output PNG] [--json PATH]

(--quick, or LAMIRO_EXAMPLE_QUICK=1: fewer wavelengths, angles and
insertions, for a smoke test)
"""

from __future__ import annotations

import argparse
import json
import math
import os
import pathlib
import time

# The optimiser's vectors are short (one entry per layer): BLAS threads
# would only add their wake-ups to every step (milliseconds each here) and
# compete with lamiro's own worker threads for the cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy.optimize import differential_evolution, minimize  # noqa: E402

import lamiro  # noqa: E402
import lamiro_design as ld  # noqa: E402

PHI = math.pi / 4  # equal parts of s and p: unpolarised light

# Sellmeier terms (B, C in um^2) of n^2 = 1 + sum of B * wl^2 / (wl^2 - C), wl in um.
# MgF2, ordinary ray: M. J. Dodge, Appl. Opt. 23, 1980-1985 (1984).
MGF2 = ((0.48755108, 0.04338408**2), (0.39875031, 0.09461442**2), (2.3120353, 23.793604**2))
# ZrO2 (cubic, yttria-stabilised): D. L. Wood and K. Nassau, Appl. Opt. 21, 2978-2981 (1982).
ZRO2 = ((1.347091, 0.062543**2), (2.117788, 0.166739**2), (9.452943, 24.320570**2))
# N-BK7 substrate: SCHOTT optical glass data sheet.
NBK7 = ((1.03961212, 0.00600069867), (0.231792344, 0.0200179144), (1.01046945, 103.560653))

MATERIALS = (("MgF2", MGF2), ("ZrO2", ZRO2))  # material 0 and 1 of a design
NEEDLE = 2.0  # nm: thickness of an inserted layer before refinement
GONE = 0.5  # nm: thinner layers are removed
DEPTH_STEP = 1.0  # nm: grid of the needle depths
DE_BOUNDS = [(0.0, 250.0)] * 4  # design_loop.py's four layers
DE_SEED = 3
START = 250.0  # nm of MgF2


def sellmeier(terms, wl):
    square = (wl / 1000.0) ** 2
    return np.sqrt(1.0 + sum(b * square / (square - c) for b, c in terms))


def quarter_wave():
    return 550.0 / (4 * sellmeier(MGF2, np.array([550.0]))[0])


class Problem:
    """The merit over the band and the angles; counts evaluations and keeps a trace of (seconds, merit)."""

    def __init__(self, wl, angles):
        self.wl, self.angles = wl, np.asarray(angles, dtype=np.float64)
        self.rows = np.array([sellmeier(terms, wl) for _, terms in MATERIALS], dtype=np.complex128)
        self.air = np.ones_like(wl, dtype=np.complex128)
        self.glass = sellmeier(NBK7, wl).astype(np.complex128)
        self.points = self.angles.size * wl.size
        self.evaluations = 0
        self.start = time.perf_counter()
        self.trace = []

    def n(self, materials):
        return np.vstack([self.air, self.rows[list(materials)], self.glass])

    def record(self, merit):
        self.evaluations += 1
        best = min(merit, self.trace[-1][1]) if self.trace else merit
        self.trace.append((time.perf_counter() - self.start, best))

    def merit_and_gradient(self, d, materials):
        result = ld.thickness_gradient(np.asarray(d, dtype=np.float64), self.n(materials), self.wl, self.angles, PHI)
        merit = float(result.r.mean())
        self.record(merit)
        return merit, result.dr.mean(axis=(0, 2))

    def merit(self, d, materials):
        d, n = np.asarray(d, dtype=np.float64), self.n(materials)
        merit = float(np.mean([lamiro.DataPy(d, n, self.wl, theta, PHI).simulate().r.mean()
                               for theta in self.angles]))
        self.record(merit)
        return merit

    def needles(self, d, materials):
        """Depths (a grid with the top and the bottom) and the merit's needle function of both materials there."""
        total = float(d.sum())
        depths = np.linspace(0.0, total, max(2, int(total / DEPTH_STEP) + 1))
        weight = np.full(self.wl.size, 1.0 / self.points)  # the merit is the mean of R
        values = ld.needle(d, self.n(materials), self.wl, self.angles, PHI, self.rows, depths, weight)
        self.evaluations += 1
        return depths, values


def refine(problem, d, materials, exact):
    """L-BFGS-B over the thicknesses, with the exact gradient or L-BFGS-B's finite differences."""
    bounds = [(0.0, None)] * len(d)
    options = {"maxiter": 300, "ftol": 1e-13, "gtol": 1e-10}
    if exact:
        result = minimize(problem.merit_and_gradient, d, args=(materials,), jac=True, method="L-BFGS-B",
                          bounds=bounds, options=options)
    else:
        result = minimize(problem.merit, d, args=(materials,), method="L-BFGS-B", bounds=bounds,
                          options=options)
    return np.maximum(result.x, 0.0)


def clean(d, materials):
    """Removes layers thinner than GONE and merges neighbours of the same material."""
    keep_d, keep_m = [], []
    for thickness, material in zip(d, materials):
        if thickness < GONE:
            continue
        if keep_m and keep_m[-1] == material:
            keep_d[-1] += thickness
        else:
            keep_d.append(float(thickness))
            keep_m.append(material)
    return np.array(keep_d), keep_m


def insert_needle(problem, d, materials):
    """The design with a thin layer inserted where it lowers the merit fastest, or None."""
    depths, values = problem.needles(d, materials)
    bottoms = np.cumsum(d)
    best = (0.0, None)
    for z, depth in enumerate(depths):
        k = int(np.searchsorted(bottoms, depth, side="right"))  # the host layer (len(d): the glass)
        offset = depth - (bottoms[k - 1] if k > 0 else 0.0)
        # A new layer must differ from both layers it touches; inside a
        # layer those are the host on either side.
        neighbours = {materials[k]} if k < len(d) else set()
        if offset == 0.0 and k > 0:
            neighbours.add(materials[k - 1])
        for candidate in range(len(MATERIALS)):
            if candidate not in neighbours and values[candidate, z] < best[0]:
                best = (values[candidate, z], (k, offset, candidate))
    if best[1] is None:
        return None
    k, offset, candidate = best[1]
    if k == len(d):  # on the glass
        return np.append(d, NEEDLE), materials + [candidate]
    pieces = [offset, NEEDLE, d[k] - offset]
    new_d = np.concatenate([d[:k], pieces, d[k + 1:]])
    new_m = materials[:k] + [materials[k], candidate, materials[k]] + materials[k + 1:]
    return clean(new_d, new_m)


def synthesise(problem, insertions, exact):
    d, materials = np.array([START]), [0]
    history = []
    d = refine(problem, d, materials, exact)
    d, materials = clean(d, materials)
    merit = problem.merit(d, materials)
    history.append((len(d), merit))
    for _ in range(insertions):
        inserted = insert_needle(problem, d, materials)
        if inserted is None:
            break
        d, materials = refine(problem, *inserted, exact), inserted[1]
        d, materials = clean(d, materials)
        new_merit = problem.merit(d, materials)
        history.append((len(d), new_merit))
        if new_merit > merit * (1.0 - 1e-4):  # the needle no longer pays
            merit = min(merit, new_merit)
            break
        merit = new_merit
    return d, materials, merit, history


def evolve(problem, budget):
    """design_loop.py's differential evolution over its four layers, stopped after `budget` evaluations."""
    materials = [0, 1, 0, 1]
    start = np.array([quarter_wave(), 0.0, 0.0, 0.0])

    def stop(*_, **__):
        return budget is not None and problem.evaluations >= budget

    result = differential_evolution(problem.merit, DE_BOUNDS, args=(materials,), x0=start, seed=DE_SEED,
                                    maxiter=100, popsize=15, tol=1e-6, polish=budget is None, callback=stop)
    return result.x, materials, problem.merit(result.x, materials)


def plot(problem_wl, runs, synthesis, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    wl = np.linspace(380.0, 780.0, 401)
    show = Problem(wl, [0.0])
    fig, (spectra, profile, trace) = plt.subplots(1, 3, figsize=(15, 5.6), constrained_layout=True,
                                                  gridspec_kw={"width_ratios": [1.4, 1.0, 1.0]})
    spectra.axvspan(problem_wl[0], problem_wl[-1], color="0.93", zorder=0, label="optimised band")
    designs = [("bare N-BK7", np.empty(0), [], "0.5"),
               (f"start: {START:.0f} nm MgF2", np.array([START]), [0], "tab:orange"),
               (runs["evolution_full"]["label"], *runs["evolution_full"]["design"], "tab:green"),
               (runs["exact"]["label"], *runs["exact"]["design"], "tab:blue")]
    for name, d, materials, color in designs:
        for degrees, style in ((0, "-"), (30, "--")):
            r = lamiro.DataPy(np.asarray(d, dtype=np.float64), show.n(materials), wl, math.radians(degrees),
                              PHI).simulate().r
            spectra.plot(wl, 100 * r, style, color=color, label=f"{name}, {degrees}°")
    spectra.set_xlim(wl[0], wl[-1])
    spectra.set_ylim(0, 5)
    spectra.set_xlabel("wavelength (nm)")
    spectra.set_ylabel("reflectance, unpolarised (%)")
    spectra.set_title("Reflectance at 0° (solid) and 30° (dashed)")
    spectra.grid(alpha=0.3)
    # Below the axes, so that no curve is hidden behind it.
    spectra.legend(fontsize=7, ncol=2, loc="upper center", bbox_to_anchor=(0.5, -0.13))

    d, materials = synthesis
    at_550 = np.array([550.0])
    index = {m: sellmeier(terms, at_550)[0] for m, (_, terms) in enumerate(MATERIALS)}
    top = 0.0
    for thickness, material in zip(d, materials):
        profile.fill_between([top, top + thickness], 1.0, index[material],
                             color=("tab:cyan", "tab:purple")[material], alpha=0.8)
        top += thickness
    profile.axhline(sellmeier(NBK7, at_550)[0], color="0.4", ls=":", label="N-BK7")
    for m, (name, _) in enumerate(MATERIALS):
        profile.plot([], [], color=("tab:cyan", "tab:purple")[m], lw=6, label=f"{name} ({index[m]:.3f})")
    profile.set_xlim(0, max(top, 1.0))
    profile.set_ylim(1.0, 2.3)
    profile.set_xlabel("depth below the air side (nm)")
    profile.set_ylabel("refractive index at 550 nm")
    profile.set_title(f"Synthesised coating: {len(d)} layers, {top:.0f} nm")
    profile.legend(fontsize=8, loc="upper right")

    for key, color in (("exact", "tab:blue"), ("differences", "tab:red"), ("evolution", "tab:green"),
                       ("evolution_full", "0.3")):
        seconds, merit = zip(*runs[key]["trace"])
        trace.plot(seconds, 100 * np.array(merit), color=color, label=runs[key]["label"])
    trace.set_xscale("log")
    trace.set_yscale("log")
    trace.set_xlabel("wall time (s)")
    trace.set_ylabel("best merit so far (%)")
    trace.set_title("Merit against wall time")
    trace.grid(alpha=0.3, which="both")
    trace.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.13))
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    print(f"\nplot written to {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Needle synthesis of a broadband antireflection coating.")
    parser.add_argument("--quick", action="store_true", default=os.environ.get("LAMIRO_EXAMPLE_QUICK") == "1",
                        help="a short run for a smoke test (also LAMIRO_EXAMPLE_QUICK=1)")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("needle_synthesis.png"),
                        help="where the plot goes (default: needle_synthesis.png in the current directory)")
    parser.add_argument("--json", type=pathlib.Path, help="write the designs and figures to this file")
    args = parser.parse_args(argv)

    count, degrees, insertions = (31, (0, 30), 3) if args.quick else (301, (0, 10, 20, 30), 12)
    wl = np.linspace(400.0, 700.0, count)
    angles = [math.radians(a) for a in degrees]
    print(f"merit: mean reflectance of unpolarised light, {count} wavelengths from 400 to 700 nm "
          f"x angles {', '.join(map(str, degrees))}°; MgF2 and ZrO2 on N-BK7")
    start_merit = Problem(wl, angles).merit(np.array([START]), [0])
    print(f"start, one MgF2 layer {START:.0f} nm thick: merit {100 * start_merit:.4f} %\n")

    runs = {}
    for key, exact, label in (("exact", True, "needle + exact gradient"),
                              ("differences", False, "needle + finite differences")):
        problem = Problem(wl, angles)
        d, materials, merit, history = synthesise(problem, insertions, exact)
        seconds = time.perf_counter() - problem.start
        runs[key] = {"label": label, "design": (d.tolist(), materials), "merit": merit,
                     "evaluations": problem.evaluations, "seconds": seconds, "trace": problem.trace,
                     "layers": [h[0] for h in history], "merits": [h[1] for h in history]}
        steps = ", ".join(f"{layers}: {100 * m:.4f} %" for layers, m in history)
        print(f"{label}: {len(d)} layers, merit {100 * merit:.4f} %, {problem.evaluations:,} evaluations "
              f"in {seconds:.2f} s\n    merit after each refinement (layers: merit): {steps}")

    budget = runs["exact"]["evaluations"]
    for key, limit, label in (("evolution", budget, f"differential evolution, {budget:,} evaluations"),
                              ("evolution_full", None, "differential evolution, design_loop.py's budget")):
        problem = Problem(wl, angles)
        d, materials, merit = evolve(problem, limit)
        seconds = time.perf_counter() - problem.start
        runs[key] = {"label": label, "design": (d.tolist(), materials), "merit": merit,
                     "evaluations": problem.evaluations, "seconds": seconds, "trace": problem.trace}
        print(f"{label}: 4 layers " + " ".join(f"{x:.1f}" for x in d) + f" nm, merit {100 * merit:.4f} %, "
              f"{problem.evaluations:,} evaluations in {seconds:.2f} s")

    exact, differences = runs["exact"], runs["differences"]
    print(f"\nexact gradients against finite differences: {differences['seconds'] / exact['seconds']:.1f}x "
          f"less wall time, {differences['evaluations'] / exact['evaluations']:.1f}x fewer evaluations")
    for key in ("evolution", "evolution_full"):
        run = runs[key]
        print(f"synthesis against {run['label']}: merit {run['merit'] / exact['merit']:.1f}x lower, "
              f"in {exact['seconds']:.2f} s against {run['seconds']:.2f} s")

    plot(wl, runs, (np.array(exact["design"][0]), exact["design"][1]), args.output)
    if args.json:
        result = {"wavelengths": count, "angles": list(degrees), "start_merit": start_merit,
                  "runs": {key: {k: v for k, v in run.items() if k != "trace"} for key, run in runs.items()}}
        args.json.write_text(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
