"""Spectra of two classic thin-film designs, computed with lamiro.

A quarter-wave MgF2 antireflection coating on glass and a 10-pair TiO2/SiO2
Bragg mirror, from 400 to 800 nm, at normal and at 45 degree incidence, for
s- and p-polarised light. Prints a short table and saves a plot of R and T.
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


def antireflection(wl, design=550.0):
    return stack([AIR, MGF2, GLASS], [design / (4 * MGF2)], wl)


def bragg_mirror(wl, pairs=10, design=600.0):
    indices = [AIR] + [TIO2, SIO2] * pairs + [GLASS]
    thicknesses = [design / (4 * TIO2), design / (4 * SIO2)] * pairs
    return stack(indices, thicknesses, wl)


def spectra(design, wl, theta, phi):
    d, n = design
    result = lamiro.DataPy(d, n, wl, theta, phi).simulate()
    return result.r, result.t


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--output", default=str(pathlib.Path(__file__).parent / "output" / "demo.png"))
    args = parser.parse_args()

    wl = np.linspace(400.0, 800.0, 801)
    designs = {"MgF2 antireflection": antireflection(wl), "10-pair Bragg mirror": bragg_mirror(wl)}
    cases = [("0 deg, s", 0.0, 0.0), ("0 deg, p", 0.0, math.pi / 2),
             ("45 deg, s", math.pi / 4, 0.0), ("45 deg, p", math.pi / 4, math.pi / 2)]
    results = {(name, label): spectra(design, wl, theta, phi)
               for name, design in designs.items() for label, theta, phi in cases}

    shown = [450.0, 550.0, 600.0, 650.0, 750.0]
    columns = [np.searchsorted(wl, x) for x in shown]
    print(f"{'design':22} {'incidence':10} " + " ".join(f"{'R@' + format(x, '.0f'):>8}" for x in shown)
          + "   min(R+T)  max(R+T)")
    for (name, label), (r, t) in results.items():
        values = " ".join(f"{r[c]:8.5f}" for c in columns)
        total = r + t
        print(f"{name:22} {label:10} {values}   {total.min():.6f}  {total.max():.6f}")

    import matplotlib

    matplotlib.use(os.environ.get("MPLBACKEND", "Agg"))
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5), constrained_layout=True)
    for ax, name in zip(axes, designs):
        # The antireflection coating transmits nearly everything: its panel
        # shows the reflectance alone, on an axis that makes it visible.
        show_t = name != "MgF2 antireflection"
        for label, _, _ in cases:
            r, t = results[(name, label)]
            line, = ax.plot(wl, r, label=f"R, {label}")
            if show_t:
                ax.plot(wl, t, linestyle="--", color=line.get_color(), label=f"T, {label}")
        ax.set_title(name + ("" if show_t else " (reflectance)"))
        ax.set_xlabel("wavelength (nm)")
        ax.set_ylabel("reflectance / transmittance" if show_t else "reflectance")
        if show_t:
            ax.set_ylim(-0.02, 1.02)
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8, loc="upper left" if not show_t else "center right")
    output = pathlib.Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output, dpi=110)
    print(f"\nplot written to {output.resolve()}")


if __name__ == "__main__":
    main()
