# SPDX-License-Identifier: MIT
"""The size of the worker pool, seen from a fresh process.

Each case runs a child interpreter with the environment under test, makes
one parallel evaluation (more than 100 wavelengths) and counts the threads
of the process; the workers are all threads but the main one. The pool only
exists after that first parallel evaluation.
"""

import os

import pytest

from conftest import run_python

CHILD = """
import os, sys
import numpy as np
import lamiro

def threads():
    return len(os.listdir("/proc/self/task"))

d = np.array([100.0])
n = np.array([[1.0], [1.9 + 0.01j], [1.5]], dtype=np.complex128).repeat(200, axis=1)
wl = np.linspace(400.0, 800.0, 200)
before = threads()
lamiro.DataPy(d, n[:, :100], wl[:100], 0.2, 0.3).simulate()
serial = threads()
lamiro.DataPy(d, n, wl, 0.2, 0.3).simulate()
workers = threads() - before
# The count is fixed when the pool is created; later changes do nothing.
os.environ["RAYON_NUM_THREADS"] = "7"
lamiro.DataPy(d, n, wl, 0.2, 0.3).simulate()
print(before, serial, workers, threads() - before)
"""


def worker_count(env):
    rc, out, err = run_python(CHILD, env_extra=env)
    assert rc == 0, err
    before, serial, workers, later = map(int, out.split())
    assert serial == before, "a serial evaluation must not start the pool"
    assert later == workers, "the worker count changed after the pool was created"
    return workers


@pytest.fixture(scope="module")
def default_count():
    count = worker_count({})
    assert 1 <= count <= len(os.sched_getaffinity(0))
    return count


CASES = [
    # (RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, expected; None = the default count)
    ("4", None, 4),
    ("+4", None, 4),
    ("1", None, 1),
    ("0", "2", None),
    ("", None, None),
    ("", "3", 3),
    (" 4", None, None),
    ("4 ", "3", 3),
    ("-1", None, None),
    ("abc", "3", 3),
    ("1000", None, 255),
    (None, "3", 3),
    (None, "0", None),
    (None, "x", None),
]


@pytest.mark.parametrize("num_threads, rs_num_cpus, expected", CASES,
                         ids=[f"{a!r}-{b!r}" for a, b, _ in CASES])
def test_worker_count_follows_the_environment(num_threads, rs_num_cpus, expected, default_count):
    env = {}
    if num_threads is not None:
        env["RAYON_NUM_THREADS"] = num_threads
    if rs_num_cpus is not None:
        env["RAYON_RS_NUM_CPUS"] = rs_num_cpus
    assert worker_count(env) == (default_count if expected is None else expected)
