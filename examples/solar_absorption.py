# SPDX-License-Identifier: MIT
"""
Where the light goes in a solar cell
====================================

The power absorbed in each layer of a thin-film solar cell, with
``lamiro_design.absorption``.

The cell, seen from the sun: air | 1 mm glass (thick: incoherent) | 80 nm ITO
| 400 nm perovskite absorber | 150 nm silver back contact | air. The indices
come from simple models (Cauchy glass, a Drude ITO, a perovskite absorber
with a 1.6 eV band gap and an Urbach tail, Drude silver), good enough to
show the shapes, not for device work.

Unpolarised light (phi = pi/4: equal parts s and p). One call gives the
absorbed fraction of every layer at every wavelength and, with theta an
array, at every angle. Prints the absorber's share of the light averaged
over 400 to 750 nm at a few angles and how well R + T + the absorptions add
up to 1; plots, stacked, what each layer absorbs, what is reflected and what
is transmitted against the wavelength, and the absorber's share against the
angle of incidence.

Needs numpy and matplotlib. Run from any directory::

    python solar_absorption.py [--output solar_absorption.png] [--quick]
"""

from __future__ import annotations

import argparse
import os
import pathlib

import numpy as np

import lamiro_design

HC = 1239.84198  # photon energy in eV times wavelength in nm
LAYERS = ["glass", "ITO", "perovskite", "silver"]
THICKNESS = np.array([1e6, 80.0, 400.0, 150.0])  # nm
COHERENT = [False, True, True, True]  # the glass is thick: its phase averages out
PHI = np.pi / 4  # unpolarised


def drude(energy, eps_inf, plasma, damping):
    """n + ik of a Drude metal; energies in eV."""
    return np.sqrt(eps_inf - plasma**2 / (energy * (energy + 1j * damping)))


def perovskite(energy):
    """n + ik of an absorber with a 1.6 eV gap: k grows as the square root of
    E - Eg above the gap and falls off as an Urbach tail (width 15 meV)
    below it, joined smoothly by a softplus."""
    gap, urbach = 1.6, 0.015
    above = urbach * np.logaddexp(0.0, (energy - gap) / urbach)  # E - Eg above, a tail below
    k = 0.3 * np.sqrt(above)
    n = 2.3 + 0.35 / (1.0 + ((energy - 1.7) / 0.5) ** 2)
    return n + 1j * k


def cell(wl):
    """n of the six media, one row each, at the wavelengths wl (nm)."""
    energy = HC / wl
    um = wl / 1000.0
    glass = 1.5046 + 0.0042 / um**2 + 1e-8j
    ito = drude(energy, 3.6, 1.9, 0.12)
    silver = drude(energy, 3.7, 9.0, 0.02)
    air = np.ones_like(wl)
    return np.array([air, glass, ito, perovskite(energy), silver, air], dtype=np.complex128)


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description="Where the light goes in a thin-film solar cell.")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("solar_absorption.png"),
                        help="where the plot goes (default: solar_absorption.png in the current directory)")
    parser.add_argument("--quick", action="store_true", default=os.environ.get("LAMIRO_EXAMPLE_QUICK") == "1",
                        help="fewer wavelengths and angles (also LAMIRO_EXAMPLE_QUICK=1)")
    args = parser.parse_args(argv)

    wl = np.linspace(350.0, 1000.0, 131 if args.quick else 651)
    angles = np.radians(np.linspace(0.0, 85.0, 18 if args.quick else 86))
    n = cell(wl)

    # (angles, layers, wavelengths) in one call, and R, T at normal incidence.
    absorbed = lamiro_design.absorption(THICKNESS, n, wl, angles, PHI, COHERENT)
    r, t = lamiro_design.incoherent(THICKNESS, n, wl, 0.0, PHI, COHERENT)
    balance = np.max(np.abs(r + t + absorbed[0].sum(axis=0) - 1.0))

    visible = (wl >= 400.0) & (wl <= 750.0)
    share = absorbed[:, LAYERS.index("perovskite"), visible].mean(axis=1)
    print("Absorber's share of the light, 400 to 750 nm, unpolarised:")
    for degrees in (0, 30, 60, 80):
        i = int(np.argmin(np.abs(np.degrees(angles) - degrees)))
        print(f"  {np.degrees(angles[i]):4.0f} deg: {share[i]:.3f}")
    at_550 = int(np.argmin(np.abs(wl - 550.0)))
    print("At 550 nm, normal incidence: " + ", ".join(
        f"{name} {absorbed[0, k, at_550]:.4f}" for k, name in enumerate(LAYERS)) +
        f", R {r[at_550]:.4f}, T {t[at_550]:.2e}")
    print(f"R + T + sum of the absorptions = 1 within {balance:.1e}")

    import matplotlib

    matplotlib.use(os.environ.get("MPLBACKEND", "Agg"))
    import matplotlib.pyplot as plt

    fig, (ax_wl, ax_angle) = plt.subplots(1, 2, figsize=(11.0, 5.2),
                                          gridspec_kw={"width_ratios": [2.2, 1.0]})
    parts = [absorbed[0, k] for k in range(len(LAYERS))] + [r, t]
    labels = [f"absorbed in {name}" for name in LAYERS] + ["reflected", "transmitted"]
    colours = ["#9ecae1", "#fdd0a2", "#d94801", "#969696", "#c6dbef", "#31a354"]
    ax_wl.stackplot(wl, parts, labels=labels, colors=colours)
    ax_wl.set_xlim(wl[0], wl[-1])
    ax_wl.set_ylim(0.0, 1.0)
    ax_wl.set_xlabel("wavelength (nm)")
    ax_wl.set_ylabel("fraction of the incident power")
    ax_wl.set_title("normal incidence, unpolarised")
    ax_wl.legend(loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=3, fontsize=8)
    ax_angle.plot(np.degrees(angles), share, color=colours[2])
    ax_angle.set_xlabel("angle of incidence (degrees)")
    ax_angle.set_ylabel("absorbed in the perovskite, 400 to 750 nm")
    ax_angle.set_ylim(0.0, 1.0)
    ax_angle.grid(alpha=0.3)
    fig.suptitle("glass | ITO | perovskite | silver (lamiro_design.absorption)")
    fig.tight_layout()
    output = pathlib.Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output, dpi=110)
    print("plot saved to", output)


if __name__ == "__main__":
    main()
