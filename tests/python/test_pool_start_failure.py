# SPDX-License-Identifier: MIT
"""A worker pool whose threads cannot all start: spectra are still computed,
on the calling thread, with the bits the pool gives, and no worker thread is
left behind.

The child interpreter limits its address space (RLIMIT_AS) to a few MiB above
what it uses, so only some of its eight 2 MiB worker stacks fit when its
first spectrum of more than 100 wavelengths starts the pool.
"""

import os

import pytest

from conftest import run_python, simulate, stack

pytestmark = pytest.mark.skipif(bool(os.environ.get("LAMIRO_SANITIZED")),
                                reason="the sanitizer's runtime needs more room than the limit leaves")

STACK = (400, 6, 11)  # wavelengths, media, seed
THETA, PHI = 0.3, 0.2

CHILD = f"""
import os, resource, time
import lamiro
from conftest import stack

def tasks():
    return len(os.listdir("/proc/self/task"))

def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

case = stack{STACK}
before = tasks()
hard = resource.getrlimit(resource.RLIMIT_AS)[1]
resource.setrlimit(resource.RLIMIT_AS, (address_space() + (6 << 20), hard))
results = [lamiro.DataPy(*case, {THETA}, {PHI}).simulate() for _ in range(2)]
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
results.append(lamiro.DataPy(*case, {THETA}, {PHI}).simulate())
# A joined thread may be listed for a moment while the kernel ends it.
for _ in range(200):
    if tasks() == before:
        break
    time.sleep(0.01)
print(before, tasks())
for res in results:
    print(res.r.tobytes().hex(), res.t.tobytes().hex())
"""


def test_spectra_computed_on_the_calling_thread_with_the_same_bits():
    rc, out, err = run_python(CHILD, env_extra={"RAYON_NUM_THREADS": "8",
                                                "OPENBLAS_NUM_THREADS": "1"})
    assert rc == 0, err
    counts, *spectra = out.split("\n")[:4]
    before, after = map(int, counts.split())
    assert after == before, "worker threads were left behind"
    # Twice under the limit, once after it: the bits of this process's pool.
    r, t = simulate(*stack(*STACK), THETA, PHI)
    assert spectra == [f"{r.tobytes().hex()} {t.tobytes().hex()}"] * 3
    # One line says why, once.
    lines = err.splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith("lamiro: cannot start the worker pool (failed to spawn worker "
                               "thread "), lines[0]
    assert lines[0].endswith("; spectra are computed on the calling thread from now on")
