# SPDX-License-Identifier: MIT
"""
Metal mirror from tabulated n and k
===================================

Silver films of 10 to 80 nm on glass, at normal incidence, from a table of
the refractive index n and the extinction coefficient k against wavelength,
as published data or a material database gives them: the reflectance R, the
transmittance T and the absorptance A = 1 - R - T, the share of the light
that the film absorbs.

The table is interpolated onto the wavelengths of the spectrum, n and k each
on its own, and combined into n + ik (lamiro's convention: k > 0 absorbs;
some tables write n - ik and need the sign of k turned). Wavelengths outside
the table are refused rather than extrapolated.

The table built in here is not measured data: it is a Drude model of silver
(below), rounded as a table would be, so that the script runs as it is. Give
your own with ``--table FILE``: a CSV file with the columns wavelength in nm,
n and k, one row per wavelength, ``#`` starting a comment.

Needs numpy and matplotlib. Run from any directory::

    python metal_mirror.py [--table silver.csv] [--output metal_mirror.png] [--json PATH]
"""

from __future__ import annotations

import argparse
import io
import json
import os
import pathlib

import numpy as np

import lamiro

GLASS = 1.52
THICKNESSES = (10.0, 20.0, 40.0, 80.0)  # nm
# Silver, Drude model eps = 3.7 - wp^2 / (E (E + i g)) with hbar wp = 9.1 eV and
# hbar g = 0.018 eV (E = 1239.84198 eV nm / wavelength), n + ik = sqrt(eps),
# rounded to 4 decimals: a stand-in for a measured table. It has no interband
# absorption, so it absorbs less than real silver, most of all below 450 nm.
SILVER_TABLE = """\
# wavelength_nm, n, k
350, 0.0098, 1.7027
400, 0.0113, 2.2179
450, 0.0133, 2.6849
500, 0.0156, 3.1252
550, 0.0183, 3.5490
600, 0.0213, 3.9614
650, 0.0246, 4.3656
700, 0.0282, 4.7639
750, 0.0320, 5.1575
800, 0.0361, 5.5474
850, 0.0405, 5.9344
900, 0.0451, 6.3190
950, 0.0500, 6.7016
1000, 0.0552, 7.0825
1050, 0.0607, 7.4620
1100, 0.0664, 7.8403
"""


def read_table(source):
    """(wavelengths, n, k) from a CSV text stream or path: wavelength in nm, n, k; sorted by wavelength."""
    table = np.loadtxt(source, delimiter=",", comments="#", ndmin=2)
    if table.shape[1] != 3:
        raise ValueError(f"the table needs three columns (wavelength in nm, n, k), found {table.shape[1]}")
    table = table[np.argsort(table[:, 0])]
    return table[:, 0], table[:, 1], table[:, 2]


def index_from_table(table_wl, table_n, table_k, wl):
    """n + ik at every wavelength of wl, n and k interpolated linearly, each on its own."""
    if wl.min() < table_wl[0] or wl.max() > table_wl[-1]:
        raise ValueError(f"wavelengths {wl.min():g}-{wl.max():g} nm leave the table's "
                         f"{table_wl[0]:g}-{table_wl[-1]:g} nm")
    return np.interp(wl, table_wl, table_n) + 1j * np.interp(wl, table_wl, table_k)


def film_on_glass(metal, thickness, wl):
    """R, T and A of air | metal film | glass at normal incidence."""
    n = np.empty((3, wl.size), dtype=np.complex128)
    n[0], n[1], n[2] = 1.0, metal, GLASS
    # At normal incidence s and p light coincide; phi = pi/4 is unpolarised light.
    result = lamiro.DataPy(np.array([thickness]), n, wl, 0.0, np.pi / 4).simulate()
    r, t = result.r, result.t
    return r, t, 1.0 - r - t


def main(argv=None):
    parser = argparse.ArgumentParser(description="Silver films on glass from a table of n and k: R, T and A.")
    parser.add_argument("--table", type=pathlib.Path, help="CSV of wavelength (nm), n, k (default: built-in silver)")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("metal_mirror.png"),
                        help="where to write the plot (default: ./metal_mirror.png)")
    parser.add_argument("--json", type=pathlib.Path, help="write the spectra to this file")
    args = parser.parse_args(argv)

    table_wl, table_n, table_k = read_table(args.table if args.table else io.StringIO(SILVER_TABLE))
    wl = np.linspace(max(400.0, table_wl[0]), min(1000.0, table_wl[-1]), 301)
    metal = index_from_table(table_wl, table_n, table_k, wl)
    spectra = {d: film_on_glass(metal, d, wl) for d in THICKNESSES}

    at = np.searchsorted(wl, 550.0)
    print(f"{'film':>8} {'R':>7} {'T':>7} {'A':>7}   at {wl[at]:.0f} nm, n + ik = {metal[at]:.4f}")
    for d, (r, t, a) in spectra.items():
        print(f"{d:5.0f} nm {r[at]:7.4f} {t[at]:7.4f} {a[at]:7.4f}")

    import matplotlib

    matplotlib.use(os.environ.get("MPLBACKEND", "Agg"))
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(13, 4.4), sharex=True, constrained_layout=True)
    for (d, values), color in zip(spectra.items(), ("tab:orange", "tab:green", "tab:blue", "tab:purple")):
        for ax, value in zip(axes, values):
            ax.plot(wl, 100 * value, color=color, label=f"{d:.0f} nm")
    for ax, name in zip(axes, ("reflectance R", "transmittance T", "absorptance A = 1 - R - T")):
        ax.set_title(f"{name} (%)", fontsize=10)
        ax.set_xlabel("wavelength (nm)")
        ax.set_xlim(wl[0], wl[-1])
        ax.set_ylim(0, None)
        ax.grid(alpha=0.3)
    axes[0].legend(title="silver film on glass", fontsize=8)
    fig.suptitle("Silver films on glass at normal incidence, from a table of n and k"
                 + ("" if args.table else " (built-in Drude table)"), fontsize=11)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.output, dpi=110)
    print(f"\nplot written to {args.output}")

    if args.json:
        args.json.write_text(json.dumps({
            "wavelengths": wl.tolist(),
            "films": {str(d): {"r": r.tolist(), "t": t.tolist(), "a": a.tolist()} for d, (r, t, a) in spectra.items()},
        }))


if __name__ == "__main__":
    main()
