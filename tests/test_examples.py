"""The examples draw their pictures, the demo runs, and every Python block of the README runs."""

import contextlib
import importlib.util
import io
import math
import os
import pathlib
import re
import subprocess
import sys

import pytest

import swarmix

ROOT = pathlib.Path(__file__).resolve().parent.parent
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
needs_matplotlib = pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                                      reason="matplotlib is not installed")


def require(*names):
    missing = [n for n in names if not hasattr(swarmix, n)]
    if missing:
        pytest.skip(f"not in this build: {', '.join(missing)}")


def example(name):
    module_spec = importlib.util.spec_from_file_location(f"example_{name}", ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module  # dataclasses look their module up there
    module_spec.loader.exec_module(module)
    return module


def quietly(fn, *args):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = fn(*args)
    return result, out.getvalue()


def assert_png(path):
    data = path.read_bytes()
    assert data[:8] == PNG_MAGIC and len(data) > 10_000


@pytest.mark.parametrize("name", ["convergence", "tsp", "pareto"])
def test_example_help_needs_no_matplotlib(name, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # any import of it fails
    with pytest.raises(SystemExit) as stop:
        example(name).main(["--help"])
    assert stop.value.code == 0 and "--seed" in capsys.readouterr().out


@needs_matplotlib
def test_convergence_traces_end_at_each_score(tmp_path, monkeypatch):
    require("GreyWolfOptimizer", "DifferentialEvolution", "CmaEsOptimizer", "CuckooSearch", "BatAlgorithm",
            "FireflyOptimizer", "SimulatedAnnealing")
    monkeypatch.chdir(tmp_path)  # without --out the picture goes to the current directory
    runs, _ = quietly(example("convergence").main, ["--quick", "--dims", "3"])
    assert_png(tmp_path / "convergence.png")
    assert len(runs) == 7
    for run in runs:
        # The monitor's trace is the optimiser's history, against the calls made so far.
        assert [best for _, best in run.trace] == run.history and run.trace[-1][1] == run.score, run.name
        calls = [n for n, _ in run.trace]
        assert calls == sorted(calls) and calls[-1] <= run.calls


@needs_matplotlib
def test_budget_stops_both_fits(tmp_path):
    watched, _ = quietly(example("budget").main, ["--quick", "--out", str(tmp_path)])
    assert_png(tmp_path / "budget.png")
    for w in watched:
        assert w.monitor.stop_reason == "max_evaluations" and 500 <= w.monitor.n_evaluations < 600
        assert w.monitor.trace[-1][1] == w.score


@needs_matplotlib
def test_tsp_tour_is_a_permutation_measured_by_tsplib_rounding(tmp_path, monkeypatch):
    require("AntColony")
    tsp = example("tsp")
    monkeypatch.chdir(tmp_path)
    result, _ = quietly(tsp.main, ["--quick"])
    assert_png(tmp_path / "tsp.png")
    instance = tsp.load_instance(None)
    assert instance.name == "berlin52" and len(instance.coords) == 52
    assert instance.coords[0] == (565.0, 575.0) and instance.coords[-1] == (1740.0, 245.0)
    assert sorted(result.tour) == list(range(52))
    coords = instance.coords
    length = sum(float(int(math.dist(coords[a], coords[b]) + 0.5))
                 for a, b in zip(result.tour, result.tour[1:] + result.tour[:1]))
    assert result.length == length >= 7542.0


@needs_matplotlib
def test_tsplib_parser_rejects_other_edge_weights():
    require("AntColony")
    tsp = example("tsp")
    with pytest.raises(ValueError, match="EUC_2D"):
        tsp.parse_tsplib("NAME: x\nEDGE_WEIGHT_TYPE: GEO\nNODE_COORD_SECTION\n1 1 2\nEOF\n")
    assert tsp.parse_tsplib("NAME : tiny\nNODE_COORD_SECTION\n1 0 0\n2 3 4\nEOF\n").coords == [(0, 0), (3, 4)]
    assert tsp.euc_2d_matrix([(0.0, 0.0), (1.0, 1.0)]) == [[0.0, 1.0], [1.0, 0.0]]  # sqrt(2) rounds to 1


def hypervolume(points, ref=(1.0, 1.0)):
    area, best_f2 = 0.0, ref[1]
    for f1, f2 in sorted(p[:2] for p in points):
        if f1 < ref[0] and f2 < best_f2:
            area += (ref[0] - f1) * (best_f2 - f2)
            best_f2 = f2
    return area


@needs_matplotlib
def test_pareto_fronts_match_their_scores(tmp_path):
    require("Nsga2Optimizer", "MopsoOptimizer")
    fronts, _ = quietly(example("pareto").main, ["--quick", "--dims", "2", "--out", str(tmp_path / "pictures")])
    assert_png(tmp_path / "pictures" / "pareto.png")
    assert [f.name for f in fronts] == ["Nsga2Optimizer", "MopsoOptimizer"]
    for front in fronts:
        # Re-evaluated archive positions give back the archive that score() measured.
        assert front.hypervolume == pytest.approx(hypervolume(front.points), abs=1e-12)
        assert 0.0 < front.hypervolume < 2.0 / 3.0
        assert 1 <= front.distinct <= len(front.points)


def test_numpy_inputs_example():
    np = pytest.importorskip("numpy")
    results, _ = quietly(example("numpy_inputs").main, ["--seed", "4"])
    assert sorted(results.tour) == list(range(12)) and results.archive_size >= 1
    # an array box gives exactly what the same box as a list gives
    opt = swarmix.DifferentialEvolution(n_individuals=20, n_iterations=60, f=0.7, random_state=4)
    shift = np.array([0.5, -1.0, 1.5, 0.0])
    opt.fit(lambda x: np.sum((np.asarray(x) - shift) ** 2), [-2.0] * 4, [2.0] * 4)
    assert opt.score() == results.box_score


def test_demo_lists_every_optimizer():
    from swarmix.__main__ import main

    code, out = quietly(main, ["--quick", "--dims", "2"])
    assert code == 0
    names = ["ParticleSwarm", "BeeColony", "GreyWolfOptimizer", "FireflyOptimizer", "CuckooSearch",
             "BatAlgorithm", "GlowwormOptimizer", "BacterialForagingOptimizer", "SimulatedAnnealing",
             "DifferentialEvolution", "CmaEsOptimizer", "BipopCmaEs", "AntColony", "PermutationGeneticOptimizer",
             "Nsga2Optimizer", "MopsoOptimizer", "Nsga2Sbx", "BinaryParticleSwarm", "two_opt"]
    for name in names:
        line = next(line for line in out.splitlines() if line.split()[:1] == [name])
        assert ("(not in this build)" in line) != hasattr(swarmix, name), line
    _, only = quietly(main, ["--quick", "--only", "binary"])
    assert [line.split()[0] for line in only.splitlines() if "Swarm" in line] == ["BinaryParticleSwarm"]


def test_demo_help_names_its_options(capsys):
    from swarmix.__main__ import main

    with pytest.raises(SystemExit) as stop:
        main(["--help"])
    assert stop.value.code == 0
    out = capsys.readouterr().out
    assert all(option in out for option in ("--dims", "--seed", "--quick", "--only"))


def readme_blocks():
    text = (ROOT / "README.md").read_text()
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)


README_BLOCKS = readme_blocks()


@pytest.mark.parametrize("code", README_BLOCKS, ids=[f"block{i}" for i in range(1, len(README_BLOCKS) + 1)])
def test_readme_block_runs(code, tmp_path):
    for line in re.findall(r"^from swarmix import (.+)$", code, flags=re.M):
        require(*(name.strip() for name in line.split(",")))
    script = tmp_path / "block.py"
    script.write_text(code)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(pathlib.Path(swarmix.__file__).resolve().parent.parent), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
