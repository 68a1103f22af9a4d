# SPDX-License-Identifier: MIT
"""How the gallery runs and orders the scripts of examples/.

The gallery shows every example's output and plot; the slow ones run with a
short budget so that a documentation build stays within a few minutes. Each
script prints the sizes it used, so its page says what was computed.
"""

import os

ARGUMENTS = {
    "design_loop.py": ["--quick"],
    "sweep_dask.py": ["--candidates", "400", "--wavelengths", "200", "--workers", "2"],
}
# From the first spectrum to the larger workflows, then the companion
# module's in the order of its guide; an example not listed comes after
# these, by file name.
ORDER = ["demo.py", "angle_polarisation.py", "metal_mirror.py", "design_loop.py", "sweep_dask.py",
         "ellipsometry_sweep.py", "coated_plate.py", "solar_absorption.py", "needle_synthesis.py"]


def short_budget(gallery_conf, script_vars):
    return list(ARGUMENTS.get(os.path.basename(script_vars["src_file"]), []))


class ListedOrder:
    """Sort key of the examples: the order of ORDER, then the others by name."""

    def __init__(self, src_dir):
        self.src_dir = src_dir

    def __call__(self, filename):
        name = os.path.basename(filename)
        return (ORDER.index(name), "") if name in ORDER else (len(ORDER), name)
