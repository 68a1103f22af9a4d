# SPDX-License-Identifier: MIT
"""The optimisation loop of examples/design_loop.py with lamiro and with the NumPy model.

Runs the example's loop (same optimiser, settings and seed) twice, once with
lamiro in the merit function and once with the vectorised NumPy model of
numpy_model.py, and prints the evaluations per second of each and their
ratio: what a designer gains in a loop where each evaluation is four spectra
of 301 wavelengths and the Python around the call weighs as much as the
kernel.

Run: .venv/bin/python benchmarks/design_loop_speed.py [--quick]
"""

from __future__ import annotations

import argparse
import importlib.util
import pathlib

import numpy as np

from numpy_model import numpy_spectra

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "design_loop.py"


def load_example():
    spec = importlib.util.spec_from_file_location("design_loop", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the example's short run")
    args = parser.parse_args(argv)

    loop = load_example()
    count, degrees, generations, population = loop.settings(args.quick)
    wl = np.linspace(400.0, 700.0, count)
    angles = np.deg2rad(degrees)
    speeds = {}
    for name, spectra in (("lamiro", loop.lamiro_spectra), ("NumPy model", numpy_spectra)):
        result = loop.optimise(loop.Merit(spectra, wl, angles), generations, population)
        speeds[name] = result["evaluations"] / result["seconds"]
        print(f"{name:<11}: merit {100 * result['merit']:.4f} %, {result['evaluations']:,} evaluations in "
              f"{result['seconds']:.2f} s: {speeds[name]:,.0f} evaluations per second")
    print(f"lamiro's loop made {speeds['lamiro'] / speeds['NumPy model']:.1f}x the evaluations per second of the "
          f"NumPy model's (one wall-clock run each; {len(angles)} spectra of {count} wavelengths per evaluation)")


if __name__ == "__main__":
    main()
