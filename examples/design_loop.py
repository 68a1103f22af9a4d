# SPDX-License-Identifier: MIT
"""
A designer's optimisation loop
==============================

A broadband antireflection coating optimised with lamiro in the merit
function. The coating is air | MgF2 | ZrO2 | MgF2 | ZrO2 | N-BK7 glass, with
the dispersion of each material from the literature (Sellmeier formulas
below). The merit is the mean reflectance of unpolarised light over 400-700 nm
at the angles of incidence 0, 10, 20 and 30 degrees: one
``DataPy(...).simulate()`` per angle. ``scipy.optimize.differential_evolution``
searches the four thicknesses (0-250 nm each), starting from the textbook
coating, a single quarter-wave MgF2 layer at 550 nm (the other three layers at
zero thickness), and polishes its best design with L-BFGS-B. The loop prints
its evaluations per second; the reflectance of the bare glass, the start and
the optimised coating is plotted.

Needs numpy, scipy and matplotlib. Run from any directory::

    python design_loop.py [--quick] [--output design_loop.png] [--json PATH]

``--quick`` (or ``LAMIRO_EXAMPLE_QUICK=1``) makes a short run: fewer
wavelengths, angles and generations.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import pathlib
import time

import numpy as np
from scipy.optimize import differential_evolution

import lamiro

PHI = math.pi / 4  # equal parts of s and p: unpolarised light

# Sellmeier terms (B, C in um^2) of n^2 = 1 + sum of B * wl^2 / (wl^2 - C), wl in um.
# MgF2, ordinary ray: M. J. Dodge, "Refractive properties of magnesium
# fluoride", Appl. Opt. 23, 1980-1985 (1984).
MGF2 = ((0.48755108, 0.04338408**2), (0.39875031, 0.09461442**2), (2.3120353, 23.793604**2))
# ZrO2 (cubic, yttria-stabilised): D. L. Wood and K. Nassau, "Refractive index
# of cubic zirconia stabilized with yttria", Appl. Opt. 21, 2978-2981 (1982).
ZRO2 = ((1.347091, 0.062543**2), (2.117788, 0.166739**2), (9.452943, 24.320570**2))
# N-BK7 substrate: SCHOTT optical glass data sheet.
NBK7 = ((1.03961212, 0.00600069867), (0.231792344, 0.0200179144), (1.01046945, 103.560653))
# Bulk values: evaporated films are somewhat less dense, so a real process
# would refit these coefficients to its own layers.

LAYERS = (("MgF2", MGF2), ("ZrO2", ZRO2), ("MgF2", MGF2), ("ZrO2", ZRO2))  # from the air side
BOUNDS = [(0.0, 250.0)] * len(LAYERS)  # nm
SEED = 3


def sellmeier(terms, wl):
    square = (wl / 1000.0) ** 2
    return np.sqrt(1.0 + sum(b * square / (square - c) for b, c in terms))


def indices(wl):
    """Refractive indices, one row per medium (air first, glass last), one column per wavelength."""
    rows = [np.ones_like(wl)] + [sellmeier(terms, wl) for _, terms in LAYERS] + [sellmeier(NBK7, wl)]
    return np.array(rows, dtype=np.complex128)


def start_design():
    """A quarter-wave MgF2 layer at 550 nm; the other layers have zero thickness."""
    quarter = 550.0 / (4 * sellmeier(MGF2, np.array([550.0]))[0])
    return np.array([quarter, 0.0, 0.0, 0.0])


def lamiro_spectra(d, n, wl, theta, phi):
    result = lamiro.DataPy(d, n, wl, theta, phi).simulate()
    return result.r, result.t


class Merit:
    """Mean reflectance of unpolarised light over the band and the angles; counts its calls.

    ``spectra(d, n, wl, theta, phi)`` returns (R, T); any model with lamiro's
    arguments fits.
    """

    def __init__(self, spectra, wl, angles):
        self.spectra, self.wl, self.angles = spectra, wl, angles
        self.n = indices(wl)
        self.calls = 0

    def __call__(self, d):
        self.calls += 1
        d = np.asarray(d, dtype=np.float64)
        return float(np.mean([self.spectra(d, self.n, self.wl, theta, PHI)[0].mean() for theta in self.angles]))


def optimise(merit, generations, population):
    start = time.perf_counter()
    result = differential_evolution(merit, BOUNDS, x0=start_design(), seed=SEED, maxiter=generations,
                                    popsize=population, tol=1e-6, polish=True)
    seconds = time.perf_counter() - start
    return {"thicknesses": result.x.tolist(), "merit": float(result.fun), "evaluations": merit.calls,
            "seconds": seconds}


def plot(designs, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    wl = np.linspace(380.0, 780.0, 801)
    n = indices(wl)
    fig, ax = plt.subplots(figsize=(8, 5.2), constrained_layout=True)
    ax.axvspan(400, 700, color="0.93", zorder=0, label="optimised band")
    for (name, d, ri), color in zip(designs, ("0.4", "tab:orange", "tab:blue")):
        for degrees, style in ((0, "-"), (30, "--")):
            reflectance = lamiro_spectra(d, n[ri], wl, np.deg2rad(degrees), PHI)[0]
            ax.plot(wl, 100 * reflectance, style, color=color, label=f"{name}, {degrees}°")
    ax.set_xlim(wl[0], wl[-1])
    ax.set_ylim(0, None)
    ax.set_xlabel("wavelength (nm)")
    ax.set_ylabel("reflectance, unpolarised (%)")
    ax.set_title("Broadband antireflection coating MgF2/ZrO2/MgF2/ZrO2 on N-BK7")
    ax.grid(alpha=0.3)
    # Below the axes, so that no curve is hidden behind it.
    ax.legend(fontsize=8, ncol=3, loc="upper center", bbox_to_anchor=(0.5, -0.14))
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    print(f"\nplot written to {path}")


def settings(quick):
    """Wavelength count, angles in degrees, generations and population of a full or a quick run."""
    return (31, (0, 30), 3, 5) if quick else (301, (0, 10, 20, 30), 100, 15)


def main(argv=None):
    parser = argparse.ArgumentParser(description="A broadband antireflection coating optimised with lamiro.")
    parser.add_argument("--quick", action="store_true", default=os.environ.get("LAMIRO_EXAMPLE_QUICK") == "1",
                        help="a short run for a smoke test (also LAMIRO_EXAMPLE_QUICK=1)")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("design_loop.png"),
                        help="where to write the plot (default: ./design_loop.png)")
    parser.add_argument("--json", type=pathlib.Path, help="write the designs and figures to this file")
    args = parser.parse_args(argv)

    count, degrees, generations, population = settings(args.quick)
    wl = np.linspace(400.0, 700.0, count)
    angles = np.deg2rad(degrees)
    at_550 = np.array([550.0])
    print("n at 550 nm: " + ", ".join(f"{name} {sellmeier(terms, at_550)[0]:.4f}"
                                      for name, terms in (("MgF2", MGF2), ("ZrO2", ZRO2), ("N-BK7", NBK7))))
    print(f"merit: mean reflectance of unpolarised light, {count} wavelengths from 400 to 700 nm "
          f"x angles {', '.join(map(str, degrees))}°")

    start = start_design()
    results = {"wavelengths": count, "angles": list(degrees),
               "start": {"thicknesses": start.tolist(), "merit": Merit(lamiro_spectra, wl, angles)(start)}}
    print(f"start, one quarter-wave MgF2 layer: merit {100 * results['start']['merit']:.4f} %")

    result = optimise(Merit(lamiro_spectra, wl, angles), generations, population)
    results["lamiro"] = result
    print("optimised: thicknesses " + " ".join(f"{x:6.1f}" for x in result["thicknesses"])
          + f" nm, merit {100 * result['merit']:.4f} %, {result['evaluations']:,} evaluations in "
          f"{result['seconds']:.2f} s: {result['evaluations'] / result['seconds']:,.0f} evaluations per second "
          f"({len(angles)} spectra of {count} wavelengths each)")

    layers = list(range(len(LAYERS) + 2))
    plot([("bare N-BK7", np.empty(0), [0, layers[-1]]),
          ("start: quarter-wave MgF2", start, layers),
          ("optimised", np.array(result["thicknesses"]), layers)], args.output)
    if args.json:
        args.json.write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
