# SPDX-License-Identifier: MIT
"""
A coated glass plate with its back side
=======================================

With ``lamiro_design.incoherent``: a quarter-wave MgF2 antireflection coating (designed for 550 nm) on the
front of a 1 mm N-BK7 plate whose back side is bare, in air, at normal
incidence, from 400 to 800 nm. The plate is thick: its phase averages out
over any real bandwidth, so it is incoherent, while the coating is coherent.

Prints R and T at a few wavelengths and saves a plot of the plate's
reflectance next to two common mistakes: the coated front surface alone (a
semi-infinite substrate: the back side forgotten), and the whole plate
treated as coherent (fringes about 0.1 nm apart that no spectrometer
resolves, drawn here as the band they fill).

Needs numpy and matplotlib. Run from any directory::

    python coated_plate.py [--output coated_plate.png]
"""

from __future__ import annotations

import argparse
import os
import pathlib

import numpy as np

import lamiro
import lamiro_design

AIR, MGF2 = 1.0, 1.38
DESIGN = 550.0  # nm
PLATE = 1e6  # nm: 1 mm


def bk7(wl):
    """N-BK7 refractive index (Sellmeier, wavelength in nm), weakly absorbing."""
    x = (wl / 1000.0) ** 2
    n2 = 1 + 1.03961212 * x / (x - 0.00600069867) + 0.231792344 * x / (x - 0.0200179144) \
        + 1.01046945 * x / (x - 103.560653)
    return np.sqrt(n2) + 1e-8j


def plate(wl):
    """d, n of air | MgF2 | 1 mm N-BK7 | air, and the coherent flags."""
    n = np.empty((4, wl.size), dtype=np.complex128)
    n[0], n[1], n[2], n[3] = AIR, MGF2, bk7(wl), AIR
    return np.array([DESIGN / (4 * MGF2), PLATE]), n, [True, False]


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("coated_plate.png"),
                        help="where the plot goes (default: coated_plate.png in the current directory)")
    args = parser.parse_args(argv)

    wl = np.linspace(400.0, 800.0, 2001)
    d, n, flags = plate(wl)
    with_back = lamiro_design.incoherent(d, n, wl, 0.0, 0.0, flags)
    front_only = lamiro.DataPy(d[:1], n[:3], wl, 0.0, 0.0).simulate()
    # The coherent plate on a fine grid around each wavelength: its fringes.
    fine = np.linspace(-0.5, 0.5, 41)
    coherent = np.array([lamiro.DataPy(d, plate(w + fine)[1], w + fine, 0.0, 0.0).simulate().r
                         for w in wl[::40]])

    print("wavelength   R plate   T plate   R front surface only")
    for w in (450.0, 550.0, 650.0, 750.0):
        i = int(np.argmin(np.abs(wl - w)))
        print(f"{wl[i]:7.1f} nm  {with_back.r[i]:8.4f}  {with_back.t[i]:8.4f}  {front_only.r[i]:8.4f}")

    import matplotlib

    matplotlib.use(os.environ.get("MPLBACKEND", "Agg"))
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7.5, 4.5))
    ax.fill_between(wl[::40], 100 * coherent.min(axis=1), 100 * coherent.max(axis=1),
                    color="0.85", label="plate treated as coherent (fringe band)")
    ax.plot(wl, 100 * with_back.r, label="plate with its back side (incoherent)")
    ax.plot(wl, 100 * front_only.r, "--", label="coated front surface only")
    ax.set_xlabel("wavelength (nm)")
    ax.set_ylabel("reflectance (%)")
    ax.set_ylim(0, None)
    ax.grid(alpha=0.3)
    ax.legend(loc="upper center", fontsize=9)
    ax.set_title("MgF2 AR coating on 1 mm N-BK7, normal incidence")
    fig.tight_layout()
    output = pathlib.Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output, dpi=110)
    print("plot saved to", output)


if __name__ == "__main__":
    main()
