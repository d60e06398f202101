"""A short tour of swarmix: ``python -m swarmix``.

Runs the optimisers on small classic problems (continuous test functions, the berlin52
tour, the ZDT1 two-objective problem and a bit-matching problem) and prints one line per
run: the result, the number of objective calls (the probe call included) and the time.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import swarmix
from swarmix import tsplib

BERLIN52_OPTIMUM = tsplib.OPTIMA["berlin52"]


# The classic test functions, moved so that no minimum lies at the centre of its box (where
# some optimisers take their first point): every minimum is 0.
def sphere(x: Sequence[float]) -> float:
    return sum((v - 1.5) ** 2 for v in x)


def rastrigin(x: Sequence[float]) -> float:
    z = [v - 1.25 for v in x]
    return 10.0 * len(z) + sum(v * v - 10.0 * math.cos(2.0 * math.pi * v) for v in z)


def rosenbrock(x: Sequence[float]) -> float:
    return sum(100.0 * (x[i + 1] - x[i] * x[i]) ** 2 + (1.0 - x[i]) ** 2 for i in range(len(x) - 1))


def zdt1(x: Sequence[float]) -> list[float]:
    g = 1.0 + 9.0 * sum(x[1:]) / max(len(x) - 1, 1)
    return [x[0], g * (1.0 - math.sqrt(x[0] / g))]


FUNCTIONS: list[tuple[str, Callable[[Sequence[float]], float], float]] = [
    ("sphere", sphere, 5.12), ("rastrigin", rastrigin, 5.12), ("rosenbrock", rosenbrock, 2.048)]
CONTINUOUS = ["ParticleSwarm", "BeeColony", "GreyWolfOptimizer", "FireflyOptimizer", "CuckooSearch",
              "BatAlgorithm", "GlowwormOptimizer", "BacterialForagingOptimizer", "SimulatedAnnealing",
              "DifferentialEvolution", "CmaEsOptimizer", "BipopCmaEs"]
# Hyperparameters that differ from the defaults, chosen for these small boxes (and, for
# BipopCmaEs, a budget like the others' calls).
CONTINUOUS_SETTINGS: dict[str, dict[str, Any]] = {
    "ParticleSwarm": {"w": 0.7, "c1": 1.5, "c2": 1.5},
    "GlowwormOptimizer": {"neighborhood_radius": 10.0, "step_size": 0.5},
    "BipopCmaEs": {"n_evaluations": 3000},
}
NAME_WIDTH = 28


class Counter:
    """Wraps an objective and counts its calls."""

    def __init__(self, objective: Callable[[list[float]], Any]) -> None:
        self.objective = objective
        self.calls = 0

    def __call__(self, x: list[float]) -> Any:
        self.calls += 1
        return self.objective(x)


def berlin52() -> tuple[list[tuple[float, float]], list[list[float]]]:
    """The berlin52 cities and their distances (TSPLIB EUC_2D: rounded to the nearest integer)."""
    cities = tsplib.load("berlin52").coords
    return cities, tsplib.euc_2d_matrix(cities)


def header(title: str, columns: str = f"{'result':>36}") -> None:
    print(f"\n{title}\n  {'optimizer':<{NAME_WIDTH}}{columns}{'calls':>9}{'time':>12}")


def row(name: str, result: str, calls: int | None, seconds: float) -> None:
    calls_text = f"{calls:>9,}" if calls is not None else f"{'':>9}"
    print(f"  {name:<{NAME_WIDTH}}{result:>36}{calls_text}{seconds * 1000.0:>9.1f} ms")


def missing(name: str) -> None:
    print(f"  {name:<{NAME_WIDTH}}{'(not in this build)':>36}")


def timed(fn: Callable[[], object]) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def classes(names: Sequence[str]) -> Iterator[tuple[str, Any]]:
    for name in names:
        yield name, getattr(swarmix, name, None)


def continuous(dims: int, seed: int, quick: bool) -> None:
    listed = [f"{name}({', '.join(f'{k}={v}' for k, v in kw.items())})" for name, kw in CONTINUOUS_SETTINGS.items()]
    changed = ", ".join(listed[:-1]) + "\nand " + listed[-1]
    header(f"Continuous minimisation in {dims} dimensions (every minimum is 0, off the box centre): best\n"
           "value per function; calls and time summed over the three. Default hyperparameters"
           + (" with 10 iterations" if quick else "") + f", except\n{changed}.",
           "".join(f"{label:>12}" for label, _, _ in FUNCTIONS))
    for name, cls in classes(CONTINUOUS):
        if cls is None:
            missing(name)
            continue
        settings = dict(CONTINUOUS_SETTINGS.get(name, {}), random_state=seed)
        if quick and "n_iterations" in cls().get_params():  # BipopCmaEs keeps its budget
            settings["n_iterations"] = 10
        cells, calls, seconds = "", 0, 0.0
        for _, f, r in FUNCTIONS:
            opt = cls(**settings)
            objective = Counter(f)
            seconds += timed(lambda: opt.fit(objective, [-r] * dims, [r] * dims))
            calls += objective.calls
            cells += f"{opt.score():>12.4g}"
        row(name, cells, calls, seconds)


def tours(seed: int, quick: bool) -> None:
    cities, matrix = berlin52()
    header(f"Tours through the {len(cities)} cities of berlin52 (shortest tour {BERLIN52_OPTIMUM:g}); two_opt starts"
           " from the\nlisted order 0, 1, ..., 51:")

    def gap(length: float) -> str:
        return f"{length:g} (+{(length / BERLIN52_OPTIMUM - 1.0) * 100.0:.1f}%)"

    two_opt = getattr(swarmix, "two_opt", None)
    if two_opt is None:
        missing("two_opt")
    else:
        found: list[float] = []
        seconds = timed(lambda: found.append(two_opt(list(range(len(cities))), matrix)[1]))
        row("two_opt", gap(found[0]), None, seconds)
    settings = {"AntColony": dict(n_ants=4, n_iterations=2) if quick else {},
                "PermutationGeneticOptimizer": dict(n_individuals=10, n_iterations=10) if quick else {}}
    for name, cls in classes(list(settings)):
        if cls is None:
            missing(name)
            continue
        opt = cls(**settings[name], random_state=seed)
        seconds = timed(lambda: opt.fit(matrix))
        row(name, gap(opt.score()), None, seconds)


def multi_objective(seed: int, quick: bool) -> None:
    dims = 30
    header(f"Two objectives: ZDT1 in {dims} dimensions, 60 members, {10 if quick else 500} iterations; score() is\n"
           "the hypervolume against (1, 1), 0.6667 for the true front:")
    sizes = {"Nsga2Optimizer": dict(n_individuals=60, archive_size=60), "MopsoOptimizer":
             dict(n_particles=60, archive_size=60), "Nsga2Sbx": dict(n_individuals=60)}
    for name, cls in classes(list(sizes)):
        if cls is None:
            missing(name)
            continue
        opt = cls(**sizes[name], n_iterations=10 if quick else 500, random_state=seed)
        objective = Counter(zdt1)
        seconds = timed(lambda: opt.fit(objective, [0.0] * dims, [1.0] * dims))
        distinct = len({tuple(p) for p in opt.predict()})
        score = opt.score(reference=[1.0, 1.0]) if name == "Nsga2Sbx" else opt.score()
        row(name, f"{distinct} points, hypervolume {score:.4f}", objective.calls, seconds)


def binary(seed: int, quick: bool) -> None:
    bits = 40
    target = [float((i * 7 + 3) % 5 < 2) for i in range(bits)]

    def mismatches(x: Sequence[float]) -> float:
        return float(sum(a != b for a, b in zip(x, target)))

    header(f"Bit vectors: find a hidden pattern of {bits} bits (minimum 0 mismatches):")
    cls = getattr(swarmix, "BinaryParticleSwarm", None)
    if cls is None:
        missing("BinaryParticleSwarm")
        return
    opt = cls(n_iterations=10, random_state=seed) if quick else cls(random_state=seed)
    objective = Counter(mismatches)
    seconds = timed(lambda: opt.fit(objective, [0.0] * bits, [1.0] * bits))
    row("BinaryParticleSwarm", f"{opt.score():g} mismatches", objective.calls, seconds)


SECTIONS = ("continuous", "tours", "multi", "binary")


def main(argv: Sequence[str] | None = None) -> int:
    ap = argparse.ArgumentParser(
        prog="python -m swarmix",
        description="A short tour of swarmix: every optimiser on a small classic problem, with its result, "
                    "its number of objective calls and its time. Results depend only on --seed.")
    ap.add_argument("--dims", type=int, default=5, metavar="N",
                    help="dimensions of the continuous test functions (default 5)")
    ap.add_argument("--seed", type=int, default=0, metavar="S",
                    help="random_state of every optimiser, 0 to 2**64-1 (default 0)")
    ap.add_argument("--quick", action="store_true", help="a much smaller budget everywhere (well under a second)")
    ap.add_argument("--only", choices=SECTIONS, action="append", metavar="SECTION",
                    help=f"run only this section ({', '.join(SECTIONS)}); may be repeated")
    args = ap.parse_args(argv)
    if args.dims < 1:
        ap.error("--dims must be at least 1")
    if not 0 <= args.seed < 2**64:
        ap.error("--seed must be between 0 and 2**64-1")
    sections = args.only or list(SECTIONS)

    print(f"swarmix {swarmix.__version__}, seed {args.seed}")
    start = time.perf_counter()
    if "continuous" in sections:
        continuous(args.dims, args.seed, args.quick)
    if "tours" in sections:
        tours(args.seed, args.quick)
    if "multi" in sections:
        multi_objective(args.seed, args.quick)
    if "binary" in sections:
        binary(args.seed, args.quick)
    print(f"\nTotal {time.perf_counter() - start:.2f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
