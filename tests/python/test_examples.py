# SPDX-License-Identifier: MIT
"""Smoke tests of the examples: the Dask design sweep on a LocalCluster, the optimisation loop."""

import importlib.util
import json
import pathlib
import pickle
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("dask.distributed")

import lamiro  # noqa: E402
from conftest import child_env  # noqa: E402

SWEEP = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sweep_dask.py"
DESIGN_LOOP = SWEEP.parent / "design_loop.py"


def load_example(path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_small_sweep_finds_the_best_designs(tmp_path):
    # 70 candidates in blocks of 16: the last block is short, so a wrong block
    # offset or a lost block shows up in the ranking.
    candidates, count, keep, seed = 70, 120, 4, 11
    out = tmp_path / "sweep.json"
    proc = subprocess.run(
        [sys.executable, str(SWEEP), "--candidates", str(candidates), "--wavelengths", str(count),
         "--chunk", "16", "--keep", str(keep), "--workers", "2", "--seed", str(seed), "--json", str(out)],
        env=child_env(), capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "distributed and serial best designs agree to the bit" in proc.stdout
    result = json.loads(out.read_text())

    # Rank every candidate here, in one process and without Dask.
    sweep = load_example(SWEEP)
    wl = sweep.wavelengths(count)
    n = sweep.indices(wl)
    designs = sweep.candidates(candidates, seed)
    merits = np.array([lamiro.DataPy(d, n, wl, 0.0, np.pi / 4).simulate().r.mean() for d in designs])
    expected = np.argsort(merits, kind="stable")[:keep]

    assert [b["index"] for b in result["best"]] == expected.tolist()
    assert [b["merit"] for b in result["best"]] == merits[expected].tolist()
    assert [b["thicknesses"] for b in result["best"]] == designs[expected].tolist()

    # A coating worth keeping reflects less than the bare glass it sits on.
    bare = lamiro.DataPy(np.empty(0), n[[0, -1]], wl, 0.0, np.pi / 4).simulate().r.mean()
    assert result["best"][0]["merit"] < bare


def test_a_fault_inside_a_task_becomes_an_exception_that_pickles():
    # Dask (imported above) pickles an exception with its __context__ and
    # __cause__, as a task's error is sent back to the client.
    sweep = load_example(SWEEP)
    wl = sweep.wavelengths(5)
    n = sweep.indices(wl)[:, :4]  # one column short: lamiro's index fault
    with pytest.raises(RuntimeError) as info:
        sweep.score_block(0, sweep.candidates(2, 0), n, wl, 0.0, 1)
    again = pickle.loads(pickle.dumps(info.value))
    assert type(again) is RuntimeError
    assert str(again) == "lamiro failed: ndarray: index out of bounds"


def test_quick_design_loop_improves_on_its_start(tmp_path):
    pytest.importorskip("scipy")
    pytest.importorskip("matplotlib")
    out, png = tmp_path / "loop.json", tmp_path / "loop.png"
    proc = subprocess.run([sys.executable, str(DESIGN_LOOP), "--quick", "--json", str(out), "--output", str(png)],
                          env=child_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    result = json.loads(out.read_text())
    assert png.stat().st_size > 10_000

    # The merits reported for lamiro's designs are those of the NumPy model
    # recomputed here, and the loop found a better coating than its start.
    loop = load_example(DESIGN_LOOP)
    wl = np.linspace(400.0, 700.0, result["wavelengths"])
    merit = loop.Merit(loop.numpy_spectra, wl, np.radians(result["angles"]))
    for design in (result["start"], result["lamiro"]):
        assert merit(design["thicknesses"]) == pytest.approx(design["merit"], rel=1e-12)
    assert result["lamiro"]["merit"] < 0.9 * result["start"]["merit"]


def test_ellipsometry_sweep_finds_the_brewster_angle_of_bare_silicon(tmp_path):
    pytest.importorskip("matplotlib")
    script = SWEEP.parent / "ellipsometry_sweep.py"
    png = tmp_path / "sweep.png"
    proc = subprocess.run([sys.executable, str(script), "--output", str(png)], cwd=tmp_path,
                          env=child_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert png.stat().st_size > 10_000
    # On bare silicon, |Delta| passes 90 degrees at the Brewster angle
    # arctan(3.882) = 75.56 degrees, to within the sweep's 0.1 degree step.
    bare = next(line for line in proc.stdout.splitlines() if "film    0.0 nm" in line)
    angle = float(bare.split(":")[1].split("deg")[0])
    assert abs(angle - np.degrees(np.arctan(3.882))) <= 0.1


def test_coated_plate_adds_the_back_side(tmp_path):
    pytest.importorskip("matplotlib")
    script = SWEEP.parent / "coated_plate.py"
    png = tmp_path / "plate.png"
    proc = subprocess.run([sys.executable, str(script), "--output", str(png)], cwd=tmp_path,
                          env=child_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert png.stat().st_size > 10_000
    # At 550 nm: plate R = front R + T_front² R_back / (1 − R_front R_back)
    # nearly (the coated face reflects a little differently from inside),
    # with the bare back face R_back = ((n − 1)/(n + 1))² of N-BK7.
    line = next(line for line in proc.stdout.splitlines() if line.strip().startswith("550.0 nm"))
    r_plate, t_plate, r_front = map(float, line.split()[2:5])
    n = 1.5185
    r_back = ((n - 1) / (n + 1)) ** 2
    t_front = 1 - r_front
    assert r_plate == pytest.approx(r_front + t_front**2 * r_back / (1 - r_front * r_back), abs=1e-3)
    # k = 1e-8 over 1 mm absorbs 1 − exp(−4πkh/λ) = 2.3e-4 of the light.
    assert 1.0 - (r_plate + t_plate) == pytest.approx(2.3e-4, abs=1.5e-4)


def test_solar_absorption_accounts_for_all_the_light(tmp_path):
    pytest.importorskip("matplotlib")
    script = SWEEP.parent / "solar_absorption.py"
    png = tmp_path / "solar.png"
    proc = subprocess.run([sys.executable, str(script), "--quick", "--output", str(png)], cwd=tmp_path,
                          env=child_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert png.stat().st_size > 10_000
    lines = proc.stdout.splitlines()
    assert float(next(line for line in lines if "R + T + sum" in line).split()[-1]) <= 1e-12
    # At 550 nm the 400 nm absorber, above its gap, takes most of the light,
    # and the silver behind it lets almost nothing through.
    fields = next(line for line in lines if line.startswith("At 550 nm")).split(": ")[1].split(", ")
    values = {name: float(value) for name, value in (field.split() for field in fields)}
    assert values["perovskite"] > 0.8 and values["perovskite"] == max(values.values())
    assert values["T"] < 1e-4
