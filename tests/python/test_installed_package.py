# SPDX-License-Identifier: MIT
"""What an installed lamiro gives a user beyond the module's behaviour: type
stubs that a checker finds with no configuration, and a binary that carries
neither the path it was built in nor assertion code."""

import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import lamiro
from conftest import INDEX_MESSAGE, catch_panic

CORRECT_USE = """
    import numpy as np
    import numpy.typing as npt
    import lamiro

    wl = np.linspace(400.0, 800.0, 5)
    n = np.ones((3, wl.size), dtype=np.complex128)
    data = lamiro.DataPy(np.array([100.0]), n, wl, theta=0.1, phi=np.pi / 4)
    result: lamiro.Simulation = data.simulate()
    r: npt.NDArray[np.float64] = result.r
    t: npt.NDArray[np.float64] = result.t
    theta: float = data.theta
    print(r + t, theta, data.d, data.n, data.wl, data.phi)
"""
WRONG_USE = """
    import numpy as np
    import lamiro

    wl = np.linspace(400.0, 800.0, 5)
    n = np.ones((3, wl.size), dtype=np.complex128)
    lamiro.DataPy(np.array([100.0]), n, wl, "0.1", 0.0)
    lamiro.Simulation()
    lamiro.DataPy(np.array([100.0]), n, wl, 0.1, 0.0).simulate().r = wl
"""


def test_mypy_strict_finds_the_stubs_with_no_configuration(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "correct.py").write_text(textwrap.dedent(CORRECT_USE))
    (tmp_path / "wrong.py").write_text(textwrap.dedent(WRONG_USE))
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "correct.py", "wrong.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    errors = re.findall(r"^(\w+\.py):(\d+): error: .*\[([\w-]+)\]$", proc.stdout, re.MULTILINE)
    # The str angle, the constructor call and the read-only attribute, and
    # nothing in the correct script (an unseen stub would fail its import).
    assert sorted(errors) == [
        ("wrong.py", "7", "arg-type"), ("wrong.py", "8", "call-arg"), ("wrong.py", "9", "misc"),
    ], proc.stdout + proc.stderr


def test_fault_diagnostic_names_the_source_relative_to_the_project(capfd):
    d, wl = np.array([100.0]), np.linspace(400.0, 800.0, 4)
    n = np.ones((3, 2), dtype=np.complex128)  # fewer columns than wavelengths
    capfd.readouterr()
    assert catch_panic(lambda: lamiro.DataPy(d, n, wl, 0.0, 0.0).simulate()).args == (INDEX_MESSAGE,)
    err = capfd.readouterr().err
    assert re.search(r"^thread '.*' panicked at src/optics/\w+\.cpp:\d+:\d+:$", err, re.MULTILINE), err


@pytest.mark.parametrize("carried", [
    pytest.param(rb"/src/(common|module|optics|pool)/\w+\.[ch]pp", id="build-path", marks=pytest.mark.skipif(
        bool(os.environ.get("LAMIRO_SANITIZED")),
        reason="g++'s sanitizer metadata keeps the unmapped source paths")),
    pytest.param(rb"__assert_fail", id="assertions"),
])
def test_binary_carries_no_build_path_and_no_assertions(carried):
    with open(lamiro.__file__, "rb") as f:
        data = f.read()
    assert re.search(carried, data) is None
