# SPDX-License-Identifier: MIT
"""
Angles of incidence and polarisation
====================================

Reflectance against the angle of incidence for s-polarised, p-polarised and
unpolarised light: bare glass, where p light is not reflected at Brewster's
angle, and the same glass with a quarter-wave MgF2 antireflection coating, at
550 nm. Then the reflectance band of a TiO2/SiO2 Bragg mirror, which moves to
shorter wavelengths as the angle grows.

lamiro takes angles in radians: convert degrees with ``np.deg2rad``. The angle
of incidence runs from 0 up to, but not including, 90 degrees (at 90 degrees
the results are NaN, beyond it they are meaningless). ``theta`` is one number
per ``DataPy``, so an angle sweep is one call per angle, while all wavelengths
go into one call. The mixing angle ``phi`` selects the polarisation: 0 is s
light, ``np.pi / 2`` is p light and ``np.pi / 4`` an equal mix of both, which
is unpolarised light.

Needs numpy and matplotlib. Run from any directory::

    python angle_polarisation.py [--output angle_polarisation.png] [--quick]
"""

from __future__ import annotations

import argparse
import os
import pathlib

import numpy as np

import lamiro

AIR, GLASS, MGF2, TIO2, SIO2 = 1.0, 1.52, 1.38, 2.35, 1.46
POLARISATIONS = {"s": 0.0, "p": np.pi / 2, "unpolarised": np.pi / 4}


def stack(indices, thicknesses, wl):
    """n with one row per medium (constant over wavelength) and the thicknesses as lamiro takes them."""
    n = np.empty((len(indices), len(wl)), dtype=np.complex128)
    n[:] = np.asarray(indices, dtype=np.complex128)[:, None]
    return np.asarray(thicknesses, dtype=np.float64), n


def reflectance_against_angle(indices, thicknesses, wavelength, degrees, phi):
    """R at one wavelength for every angle of incidence given in degrees: one DataPy per angle."""
    wl = np.array([wavelength])
    d, n = stack(indices, thicknesses, wl)
    return np.array([lamiro.DataPy(d, n, wl, theta, phi).simulate().r[0] for theta in np.deg2rad(degrees)])


def reflectance_map(indices, thicknesses, wl, degrees, phi):
    """R for every angle (rows) and wavelength (columns): one DataPy per angle, all wavelengths at once."""
    d, n = stack(indices, thicknesses, wl)
    return np.array([lamiro.DataPy(d, n, wl, theta, phi).simulate().r for theta in np.deg2rad(degrees)])


def band_centre(wl, r):
    """Centre of the reflectance band, midway in wave number (1/wl) between its edges at half the peak."""
    above = wl[r > r.max() / 2]
    return 2 / (1 / above[0] + 1 / above[-1])


def main(argv=None):
    parser = argparse.ArgumentParser(description="Reflectance against the angle of incidence, s, p and unpolarised.")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("angle_polarisation.png"),
                        help="where to write the plot (default: ./angle_polarisation.png)")
    parser.add_argument("--quick", action="store_true", default=os.environ.get("LAMIRO_EXAMPLE_QUICK") == "1",
                        help="coarser grids, for a smoke test (also LAMIRO_EXAMPLE_QUICK=1)")
    args = parser.parse_args(argv)

    step = 1.0 if args.quick else 0.25
    degrees = np.arange(0.0, 90.0, step)  # 90 degrees itself is grazing incidence: no light enters
    designs = {
        "bare glass": ([AIR, GLASS], []),
        "quarter-wave MgF2 on glass": ([AIR, MGF2, GLASS], [550.0 / (4 * MGF2)]),
    }
    curves = {(name, pol): reflectance_against_angle(indices, d, 550.0, degrees, phi)
              for name, (indices, d) in designs.items() for pol, phi in POLARISATIONS.items()}

    brewster = degrees[np.argmin(curves[("bare glass", "p")])]
    print(f"bare glass at 550 nm: R at normal incidence {curves[('bare glass', 's')][0]:.4f}; "
          f"p light least reflected at {brewster:.2f}° on a {step}° grid, "
          f"Brewster's angle arctan({GLASS}) = {np.rad2deg(np.arctan(GLASS)):.2f}°")
    for name in designs:
        mixed, s, p = (curves[(name, pol)] for pol in ("unpolarised", "s", "p"))
        print(f"{name}: unpolarised R differs from the mean of s and p by at most "
              f"{np.abs(mixed - (s + p) / 2).max():.1e}; at 45°: s {s[degrees == 45][0]:.4f}, "
              f"p {p[degrees == 45][0]:.4f}, unpolarised {mixed[degrees == 45][0]:.4f}")

    pairs = 10
    mirror = ([AIR] + [TIO2, SIO2] * pairs + [GLASS], [600.0 / (4 * TIO2), 600.0 / (4 * SIO2)] * pairs)
    wl = np.linspace(400.0, 800.0, 201 if args.quick else 801)
    map_degrees = np.arange(0.0, 86.0, 5.0 if args.quick else 1.0)
    r_map = reflectance_map(*mirror, wl, map_degrees, POLARISATIONS["unpolarised"])
    for angle in (0.0, 30.0, 60.0):
        print(f"{pairs}-pair TiO2/SiO2 mirror, unpolarised, {angle:.0f}°: band centre "
              f"{band_centre(wl, r_map[map_degrees == angle][0]):.0f} nm")

    import matplotlib

    matplotlib.use(os.environ.get("MPLBACKEND", "Agg"))
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 5), constrained_layout=True)
    for name, style in zip(designs, ("-", "--")):
        for pol, color in zip(POLARISATIONS, ("tab:blue", "tab:red", "black")):
            left.plot(degrees, curves[(name, pol)], style, color=color, label=f"{name}, {pol}")
    left.axvline(np.rad2deg(np.arctan(GLASS)), color="0.5", linestyle=":", linewidth=1,
                 label=f"Brewster's angle of glass, {np.rad2deg(np.arctan(GLASS)):.1f}°")
    left.set_xlim(0, 90)
    left.set_ylim(0, 1)
    left.set_xlabel("angle of incidence (degrees)")
    left.set_ylabel("reflectance R at 550 nm")
    left.set_title(f"Glass (n = {GLASS}), bare and with a quarter-wave MgF$_2$ coating", fontsize=10)
    left.grid(alpha=0.3)
    left.legend(fontsize=8, loc="upper left")

    image = right.pcolormesh(wl, map_degrees, r_map, shading="nearest", vmin=0, vmax=1, cmap="viridis")
    fig.colorbar(image, ax=right, label="reflectance R, unpolarised")
    right.set_xlabel("wavelength (nm)")
    right.set_ylabel("angle of incidence (degrees)")
    right.set_title(f"{pairs}-pair quarter-wave TiO$_2$/SiO$_2$ mirror on glass, designed for 600 nm", fontsize=10)

    args.output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.output, dpi=110)
    print(f"\nplot written to {args.output}")


if __name__ == "__main__":
    main()
