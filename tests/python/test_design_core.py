# SPDX-License-Identifier: MIT
"""lamiro and lamiro_design share one core library beside them, and so one
worker pool, whichever of the two is imported first; each module exports
only its own PyInit function."""

import os
import re
import shutil
import subprocess

import pytest

import lamiro
import lamiro_design
from conftest import run_python

# Requests through both modules in the given import order; prints the
# process's thread count before any request, after lamiro's and after
# lamiro_design's, and how many distinct core library files are mapped.
ONE_POOL = """
import os
import numpy as np
for name in {order!r}:
    __import__(name)
import lamiro, lamiro_design

def threads():
    return len(os.listdir("/proc/self/task"))

rng = np.random.default_rng(0)
n = 1.5 + rng.uniform(0, 0.5, (6, 3000)) + 0j
d, wl = rng.uniform(50, 200, 4), np.linspace(400.0, 800.0, 3000)
counts = [threads()]
{first}
counts.append(threads())
{second}
counts.append(threads())
{first}
counts.append(threads())
with open("/proc/self/maps") as maps:
    cores = {{line.split()[-1] for line in maps if "liblamiro_core" in line}}
print(*counts, len(cores))
"""
VIA_LAMIRO = "lamiro.DataPy(d, n, wl, 0.3, 0.0).simulate()"
VIA_DESIGN = "lamiro_design.amplitudes(d, n, wl, np.linspace(0.0, 1.0, 4))"


@pytest.mark.parametrize("order", [("lamiro", "lamiro_design"), ("lamiro_design", "lamiro")],
                         ids=["lamiro-first", "design-first"])
@pytest.mark.parametrize("first,second", [(VIA_LAMIRO, VIA_DESIGN), (VIA_DESIGN, VIA_LAMIRO)],
                         ids=["lamiro-request-first", "design-request-first"])
def test_one_pool_whichever_module_comes_first(order, first, second):
    code = ONE_POOL.format(order=order, first=first, second=second)
    rc, out, err = run_python(code, env_extra={"RAYON_NUM_THREADS": "3",
                                               "OPENBLAS_NUM_THREADS": "1"})
    assert rc == 0, err
    before, after_first, after_second, after_again, cores = map(int, out.split())
    assert after_first - before == 3
    assert after_second == after_first == after_again
    assert cores == 1


@pytest.mark.parametrize("module,name", [(lamiro, "PyInit_lamiro"),
                                         (lamiro_design, "PyInit_lamiro_design")])
def test_each_module_exports_only_its_init_function(module, name):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", module.__file__],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == [name]


CORE = os.path.join(os.path.dirname(lamiro.__file__), "liblamiro_core.so")
SHARED_OBJECTS = [lamiro.__file__, lamiro_design.__file__, CORE]


@pytest.mark.parametrize("path", SHARED_OBJECTS, ids=["lamiro", "lamiro_design", "core"])
def test_no_fused_multiply_add_anywhere(path):
    # Every product is rounded before it is added: an FMA instruction in the
    # kernel or the spectra would change bits.
    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("objdump is not installed")
    listing = subprocess.run([objdump, "-d", path], capture_output=True, text=True, check=True).stdout
    assert re.search(r"\bv?f(n)?m(add|sub)\w*(132|213|231)", listing) is None


@pytest.mark.skipif(bool(os.environ.get("LAMIRO_SANITIZED")),
                    reason="g++'s sanitizer metadata keeps the unmapped source paths")
@pytest.mark.parametrize("path", SHARED_OBJECTS[1:], ids=["lamiro_design", "core"])
def test_binaries_carry_no_build_path(path):
    with open(path, "rb") as f:
        assert re.search(rb"/src/(common|design|module|optics|pool)/\w+\.[ch]pp", f.read()) is None
