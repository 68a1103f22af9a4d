# SPDX-License-Identifier: MIT
"""The examples as a user runs them: copied anywhere, with what the examples
extra installs; the Dask sweep's ranking, the optimisation loop's designs, the
angle sweep's physics and the metal mirror's table."""

import ast
import importlib.util
import io
import json
import pathlib
import pickle
import shutil
import subprocess
import sys
import tomllib

import numpy as np
import pytest

pytest.importorskip("dask.distributed")

import lamiro  # noqa: E402
from conftest import child_env  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
SWEEP = EXAMPLES / "sweep_dask.py"
DESIGN_LOOP = EXAMPLES / "design_loop.py"
NEEDLE_SYNTHESIS = EXAMPLES / "needle_synthesis.py"
# Short runs of each example, and the plot each writes by default.
SHORT_RUNS = {
    "demo.py": ([], "demo.png"),
    "design_loop.py": (["--quick"], "design_loop.png"),
    "angle_polarisation.py": (["--quick"], "angle_polarisation.png"),
    "metal_mirror.py": ([], "metal_mirror.png"),
    "coated_plate.py": ([], "coated_plate.png"),
    "ellipsometry_sweep.py": ([], "ellipsometry_sweep.png"),
    "needle_synthesis.py": (["--quick"], "needle_synthesis.png"),
    "solar_absorption.py": (["--quick"], "solar_absorption.png"),
    "sweep_dask.py": (["--candidates", "40", "--wavelengths", "50", "--chunk", "16", "--workers", "2"], None),
}
# Runs a script as `python script.py ARGS` does, then says so: a script that
# ends a successful run with sys.exit() would also end a runner (the
# documentation's gallery) that executes it in its own process.
RUN_AS_MAIN = "import runpy, sys; sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__'); print('RETURNED')"


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


def test_every_example_is_run_by_the_test_table():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(SHORT_RUNS)


@pytest.mark.parametrize("name", sorted(SHORT_RUNS))
def test_example_runs_copied_out_of_the_tree(name, tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("scipy")
    elsewhere, cwd = tmp_path / "copied", tmp_path / "cwd"
    elsewhere.mkdir(), cwd.mkdir()
    script = shutil.copy(EXAMPLES / name, elsewhere)
    args, plot = SHORT_RUNS[name]
    proc = subprocess.run([sys.executable, "-c", RUN_AS_MAIN, script, *args], cwd=cwd,
                          env=child_env({"MPLBACKEND": "Agg"}), capture_output=True, text=True, timeout=180)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.rstrip().endswith("RETURNED"), proc.stdout
    written = sorted(p.name for p in cwd.iterdir())
    assert written == ([plot] if plot else []), written


def test_examples_extra_installs_every_import():
    if not (ROOT / "pyproject.toml").exists():
        pytest.skip("needs the source tree's pyproject.toml")
    with open(ROOT / "pyproject.toml", "rb") as f:
        extra = tomllib.load(f)["project"]["optional-dependencies"]["examples"]
    listed = {requirement.split("[")[0].split(">")[0].split("=")[0].strip() for requirement in extra}
    imported = set()
    for path in EXAMPLES.glob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                imported.update(alias.name.split(".")[0] for alias in node.names)
            elif isinstance(node, ast.ImportFrom) and node.level == 0:
                imported.add(node.module.split(".")[0])
    third_party = imported - set(sys.stdlib_module_names) - {"__future__", "numpy", "lamiro", "lamiro_design"}
    assert third_party == listed


def test_angle_sweep_meets_brewster_and_fresnel():
    sweep = load_example(EXAMPLES / "angle_polarisation.py")
    air_glass = [sweep.AIR, sweep.GLASS]
    brewster = np.rad2deg(np.arctan(sweep.GLASS))
    degrees = np.array([0.0, brewster, 45.0])
    s, p, mixed = (sweep.reflectance_against_angle(air_glass, [], 550.0, degrees, sweep.POLARISATIONS[pol])
                   for pol in ("s", "p", "unpolarised"))
    # Fresnel at normal incidence, where s and p coincide; no p light reflected at Brewster's angle.
    assert s[0] == pytest.approx(((sweep.GLASS - 1) / (sweep.GLASS + 1)) ** 2, rel=1e-14)
    assert p[0] == pytest.approx(s[0], rel=1e-14)
    assert p[1] < 1e-25 < s[1]
    # Unpolarised light is the mean of s and p (cos^2 and sin^2 of pi/4 differ from 1/2 by one rounding).
    assert mixed == pytest.approx((s + p) / 2, rel=1e-15)


def test_metal_mirror_table_is_the_model_it_names(tmp_path):
    mirror = load_example(EXAMPLES / "metal_mirror.py")
    wl, n, k = mirror.read_table(io.StringIO(mirror.SILVER_TABLE))
    energy = 1239.84198 / wl
    index = np.sqrt(3.7 - 9.1**2 / (energy * (energy + 0.018j)))
    np.testing.assert_allclose(n, index.real, atol=5e-5)
    np.testing.assert_allclose(k, index.imag, atol=5e-5)
    with pytest.raises(ValueError, match="leave the table"):
        mirror.index_from_table(wl, n, k, np.array([300.0, 500.0]))


def test_metal_mirror_from_a_users_table(tmp_path):
    # A lossless "metal" (k = 0) given in reverse order absorbs nothing: R + T = 1.
    table, out = tmp_path / "lossless.csv", tmp_path / "spectra.json"
    table.write_text("# wavelength_nm, n, k\n900, 2.2, 0\n600, 2.1, 0\n300, 2.0, 0\n")
    proc = subprocess.run([sys.executable, str(EXAMPLES / "metal_mirror.py"), "--table", str(table), "--json", str(out),
                           "--output", str(tmp_path / "plot.png")],
                          env=child_env({"MPLBACKEND": "Agg"}), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    result = json.loads(out.read_text())
    assert result["wavelengths"][0] == 400.0 and result["wavelengths"][-1] == 900.0
    for film in result["films"].values():
        assert np.abs(film["a"]).max() < 1e-14


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
    numpy_model = load_example(ROOT / "benchmarks" / "numpy_model.py")
    wl = np.linspace(400.0, 700.0, result["wavelengths"])
    merit = loop.Merit(numpy_model.numpy_spectra, wl, np.radians(result["angles"]))
    for design in (result["start"], result["lamiro"]):
        assert merit(design["thicknesses"]) == pytest.approx(design["merit"], rel=1e-12)
    assert result["lamiro"]["merit"] < 0.9 * result["start"]["merit"]


def test_quick_needle_synthesis_grows_a_better_coating(tmp_path):
    pytest.importorskip("scipy")
    pytest.importorskip("matplotlib")
    out, png = tmp_path / "needle.json", tmp_path / "needle.png"
    proc = subprocess.run([sys.executable, str(NEEDLE_SYNTHESIS), "--quick", "--json", str(out), "--output", str(png)],
                          cwd=tmp_path, env=child_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    result = json.loads(out.read_text())
    assert png.stat().st_size > 10_000
    exact, differences = result["runs"]["exact"], result["runs"]["differences"]

    # The merit reported for the synthesised design is its mean reflectance
    # recomputed here, layer by layer from the printed design; needles were
    # inserted, and the design is far better than its single-layer start.
    synthesis = load_example(NEEDLE_SYNTHESIS)
    wl = np.linspace(400.0, 700.0, result["wavelengths"])
    problem = synthesis.Problem(wl, np.radians(result["angles"]))
    d, materials = exact["design"]
    assert set(materials) == {0, 1} and len(d) >= 3
    assert problem.merit(np.array(d), materials) == pytest.approx(exact["merit"], rel=1e-12)
    assert exact["merit"] < 0.2 * result["start_merit"]
    # Finite differences reach the same design with many more evaluations.
    assert differences["merit"] == pytest.approx(exact["merit"], rel=1e-4)
    assert differences["evaluations"] > 2 * exact["evaluations"]


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
