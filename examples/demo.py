# SPDX-License-Identifier: MIT
"""
Antireflection coating and Bragg mirror
=======================================

Spectra of two classic thin-film designs: a quarter-wave MgF2 antireflection
coating on glass (designed for 550 nm) and a 10-pair quarter-wave TiO2/SiO2
Bragg mirror on glass (designed for 600 nm), from 400 to 800 nm, at normal
incidence (where s and p coincide) and at 45 degrees for s- and p-polarised
light. Prints a short table and saves a plot of R and T.

Needs numpy and matplotlib. Run from any directory::

    python demo.py [--output demo.png]
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib

import numpy as np

import lamiro

AIR, GLASS, MGF2, TIO2, SIO2 = 1.0, 1.52, 1.38, 2.35, 1.46


def stack(indices, thicknesses, wl):
    """Refractive-index rows (constant over wavelength) and thicknesses."""
    n = np.empty((len(indices), len(wl)), dtype=np.complex128)
    for row, index in enumerate(indices):
        n[row, :] = index
    return np.asarray(thicknesses, dtype=np.float64), n


AR_DESIGN, MIRROR_DESIGN, MIRROR_PAIRS = 550.0, 600.0, 10


def antireflection(wl, design=AR_DESIGN):
    return stack([AIR, MGF2, GLASS], [design / (4 * MGF2)], wl)


def bragg_mirror(wl, pairs=MIRROR_PAIRS, design=MIRROR_DESIGN):
    indices = [AIR] + [TIO2, SIO2] * pairs + [GLASS]
    thicknesses = [design / (4 * TIO2), design / (4 * SIO2)] * pairs
    return stack(indices, thicknesses, wl)


def spectra(design, wl, theta, phi):
    d, n = design
    result = lamiro.DataPy(d, n, wl, theta, phi).simulate()
    return result.r, result.t


def main() -> None:
    parser = argparse.ArgumentParser(description="Spectra of an antireflection coating and a Bragg mirror.")
    parser.add_argument("--output", default="demo.png", help="where to write the plot (default: ./demo.png)")
    args = parser.parse_args()

    wl = np.linspace(400.0, 800.0, 801)
    designs = {
        "MgF2 antireflection": (
            antireflection(wl), AR_DESIGN,
            f"Quarter-wave MgF$_2$ (n = {MGF2}) on glass (n = {GLASS}),\n"
            f"designed for {AR_DESIGN:.0f} nm: reflectance"),
        "10-pair Bragg mirror": (
            bragg_mirror(wl), MIRROR_DESIGN,
            f"{MIRROR_PAIRS}-pair quarter-wave TiO$_2$/SiO$_2$ mirror (n = {TIO2}/{SIO2}) on glass,\n"
            f"designed for {MIRROR_DESIGN:.0f} nm: reflectance and transmittance"),
    }
    # At normal incidence the two polarisations are the same light: one case.
    cases = [("0°, s = p", 0.0, 0.0), ("45°, s", math.pi / 4, 0.0), ("45°, p", math.pi / 4, math.pi / 2)]
    results = {(name, label): spectra(design, wl, theta, phi)
               for name, (design, _, _) in designs.items() for label, theta, phi in cases}

    shown = [450.0, 550.0, 600.0, 650.0, 750.0]
    columns = [np.searchsorted(wl, x) for x in shown]
    print(f"{'design':22} {'incidence':10} " + " ".join(f"{'R@' + format(x, '.0f'):>8}" for x in shown)
          + "   min(R+T)  max(R+T)")
    for (name, label), (r, t) in results.items():
        values = " ".join(f"{r[c]:8.5f}" for c in columns)
        total = r + t
        print(f"{name:22} {label:10} {values}   {total.min():.6f}  {total.max():.6f}")
    for name, (design, _, _) in designs.items():
        r_s, _ = results[(name, cases[0][0])]
        r_p, _ = spectra(design, wl, 0.0, math.pi / 2)
        print(f"{name} at 0°: s and p reflectance differ by at most {np.abs(r_s - r_p).max():.1e}")

    import matplotlib

    matplotlib.use(os.environ.get("MPLBACKEND", "Agg"))
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(12, 5.2), constrained_layout=True)
    for ax, (name, (_, design_wl, title)) in zip(axes, designs.items()):
        # The antireflection coating transmits nearly everything: its panel
        # shows the reflectance alone, on an axis that makes it visible.
        show_t = name != "MgF2 antireflection"
        for label, _, _ in cases:
            r, t = results[(name, label)]
            line, = ax.plot(wl, r, label=f"R, {label}")
            if show_t:
                ax.plot(wl, t, linestyle="--", color=line.get_color(), label=f"T, {label}")
        ax.axvline(design_wl, color="0.5", linestyle=":", linewidth=1,
                   label=f"design wavelength {design_wl:.0f} nm")
        ax.set_title(title, fontsize=10)
        ax.set_xlabel("wavelength (nm)")
        ax.set_ylabel("reflectance R, transmittance T" if show_t else "reflectance R")
        if show_t:
            ax.set_ylim(-0.02, 1.02)
        ax.set_xlim(wl[0], wl[-1])
        ax.grid(alpha=0.3)
        # Below the axes, so no curve is hidden behind it.
        ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.13), ncol=4, frameon=False)
    output = pathlib.Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output, dpi=110)
    print(f"\nplot written to {output}")


if __name__ == "__main__":
    main()
