# SPDX-License-Identifier: MIT
"""
An ellipsometry angle sweep
===========================

With ``lamiro_design.ellipsometry``: Psi and Delta of thermal
SiO2 films of several thicknesses on silicon, at the He-Ne line (632.8 nm),
for angles of incidence from 40 to 85 degrees.

One call per film computes the whole sweep (theta as an array of angles).
Prints, for each film, the principal angle (where the magnitude of Delta passes 90 degrees,
near which ellipsometers measure) and Psi there; saves a plot of Psi and
Delta against the angle. Delta follows tmm's convention, arg(-rp/rs), which
is 0 at normal incidence; add 180 degrees for the convention rp/rs =
tan(Psi) exp(i Delta).

Needs numpy and matplotlib. Run from any directory::

    python ellipsometry_sweep.py [--output ellipsometry_sweep.png]
"""

from __future__ import annotations

import argparse
import os
import pathlib

import numpy as np

import lamiro_design

WAVELENGTH = 632.8  # nm
AIR, SIO2, SILICON = 1.0, 1.457, 3.882 + 0.019j
FILMS = [0.0, 25.0, 100.0, 250.0]  # nm; 0 is the bare substrate
ANGLES = np.radians(np.linspace(40.0, 85.0, 451))


def film_on_silicon(thickness):
    """d, n, wl of air | SiO2 film | silicon at one wavelength."""
    n = np.array([[AIR], [SIO2], [SILICON]], dtype=np.complex128)
    return np.array([thickness]), n, np.array([WAVELENGTH])


def sweep(thickness):
    """Psi and Delta in degrees at every angle of ANGLES."""
    result = lamiro_design.ellipsometry(*film_on_silicon(thickness), ANGLES)
    return np.degrees(result.psi[:, 0]), np.degrees(result.delta[:, 0])


def principal_angle(delta):
    """Index of the angle where the magnitude of Delta is closest to 90 degrees."""
    return int(np.argmin(np.abs(np.abs(delta) - 90.0)))


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("ellipsometry_sweep.png"),
                        help="where the plot goes (default: ellipsometry_sweep.png in the current directory)")
    args = parser.parse_args(argv)

    curves = {thickness: sweep(thickness) for thickness in FILMS}
    print(f"SiO2 on Si at {WAVELENGTH} nm: principal angle (|Delta| = 90 deg) and Psi there")
    for thickness, (psi, delta) in curves.items():
        i = principal_angle(delta)
        print(f"  film {thickness:6.1f} nm: {np.degrees(ANGLES[i]):5.2f} deg, Psi = {psi[i]:6.2f} deg")

    import matplotlib

    matplotlib.use(os.environ.get("MPLBACKEND", "Agg"))
    import matplotlib.pyplot as plt

    fig, (ax_psi, ax_delta) = plt.subplots(2, 1, sharex=True, figsize=(7.0, 6.5))
    degrees = np.degrees(ANGLES)
    for thickness, (psi, delta) in curves.items():
        label = "bare Si" if thickness == 0.0 else f"{thickness:g} nm SiO2"
        ax_psi.plot(degrees, psi, label=label)
        ax_delta.plot(degrees, delta, label=label)
    ax_psi.set_ylabel("Psi (degrees)")
    ax_delta.set_ylabel("Delta = arg(-rp/rs) (degrees)")
    ax_delta.set_xlabel("angle of incidence (degrees)")
    ax_delta.set_ylim(-185, 185)
    ax_delta.set_yticks(range(-180, 181, 60))
    for ax in (ax_psi, ax_delta):
        ax.grid(alpha=0.3)
    ax_psi.legend(loc="lower left", fontsize=9)
    fig.suptitle(f"SiO2 films on silicon at {WAVELENGTH} nm (lamiro_design.ellipsometry)")
    fig.tight_layout()
    output = pathlib.Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output, dpi=110)
    print("plot saved to", output)


if __name__ == "__main__":
    main()
