# SPDX-License-Identifier: MIT
"""Command-line arguments of each example when the gallery runs it.

The gallery shows every example's output and plot; the slow ones run with a
short budget so that a documentation build stays within a few minutes. Each
script prints the sizes it used, so its page says what was computed.
"""

import os

ARGUMENTS = {
    "design_loop.py": ["--quick"],
    "sweep_dask.py": ["--candidates", "400", "--wavelengths", "200", "--workers", "2"],
}


def short_budget(gallery_conf, script_vars):
    return list(ARGUMENTS.get(os.path.basename(script_vars["src_file"]), []))
