"""Convergence of several optimisers on the Rastrigin function, from their ``history_``.

    python examples/convergence.py [--out DIR] [--dims 10] [--seed 0] [--quick]

Every optimiser minimises the same plain-Python Rastrigin function with the same seed. The
function is shifted so that its minimum, 0, lies at (1.25, ..., 1.25) rather than at the
centre of the box [-5.12, 5.12]^dims, where some optimisers take their first point.
The left panel plots ``history_`` (the best value after each iteration) against the
iteration; since optimisers spend very different numbers of objective calls per
iteration, the right panel plots the same best values against the number of objective calls,
from a ``swarmix.Monitor``'s ``trace``. Writes
convergence.png into the current directory (or into --out DIR). Drawing needs matplotlib
(``pip install 'swarmix[plot]'``).
"""

from __future__ import annotations

import argparse
import math
import pathlib
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Protocol

import swarmix


class Fittable(Protocol):
    def fit(self, objective: Callable[[list[float]], float], lower: list[float], upper: list[float]) -> None: ...
    def score(self) -> float: ...
    @property
    def history_(self) -> list[float]: ...


SHIFT = 1.25


def rastrigin(x: Sequence[float]) -> float:
    z = [v - SHIFT for v in x]
    return 10.0 * len(z) + sum(v * v - 10.0 * math.cos(2.0 * math.pi * v) for v in z)


@dataclass
class Run:
    name: str
    score: float
    history: list[float]
    trace: list[tuple[int, float]]  # (objective calls, best value) after each iteration
    calls: int


def optimisers(n_iterations: int, seed: int) -> list[tuple[str, Fittable]]:
    """The optimisers shown: default hyperparameters but for the iteration counts and CMA-ES's
    initial step size, which is absolute and should suit the box."""
    return [
        ("GreyWolfOptimizer", swarmix.GreyWolfOptimizer(n_iterations=n_iterations, random_state=seed)),
        ("DifferentialEvolution", swarmix.DifferentialEvolution(n_iterations=n_iterations, random_state=seed)),
        ("CmaEsOptimizer", swarmix.CmaEsOptimizer(n_iterations=n_iterations, sigma=1.5, random_state=seed)),
        ("CuckooSearch", swarmix.CuckooSearch(n_iterations=n_iterations, random_state=seed)),
        ("BatAlgorithm", swarmix.BatAlgorithm(n_iterations=n_iterations, random_state=seed)),
        ("FireflyOptimizer", swarmix.FireflyOptimizer(n_iterations=n_iterations, random_state=seed)),
        # One call per iteration: as many iterations as DifferentialEvolution (40 members) makes calls.
        ("SimulatedAnnealing", swarmix.SimulatedAnnealing(n_iterations=40 * (n_iterations + 1), cooling_rate=0.999,
                                                          random_state=seed)),
    ]


def run_all(dims: int, n_iterations: int, seed: int) -> list[Run]:
    lower, upper = [-5.12] * dims, [5.12] * dims
    runs = []
    for name, opt in optimisers(n_iterations, seed):
        monitor = swarmix.Monitor(rastrigin)
        opt.fit(monitor, lower, upper)
        trace = [(calls, best) for calls, best in monitor.trace if best is not None]
        runs.append(Run(name, opt.score(), opt.history_, trace, monitor.n_evaluations))
    return runs


def draw(runs: Sequence[Run], dims: int, out: pathlib.Path) -> None:
    # Imported here, so that --help and the searches run without matplotlib.
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.8), dpi=100)
    for run in runs:
        (line,) = left.plot(range(1, len(run.history) + 1), run.history, linewidth=1.4, label=run.name)
        calls, best = zip(*run.trace)
        right.step(calls, best, where="post", linewidth=1.4, color=line.get_color(),
                   label=f"{run.name} ({run.calls:,} calls)")
    left.set_title("history_: best value after each iteration", fontsize=10)
    left.set_xlabel("iteration")
    left.set_xscale("log")
    right.set_title("Monitor.trace: the same against objective calls", fontsize=10)
    right.set_xlabel("objective calls")
    right.set_xscale("log")
    for ax in (left, right):
        ax.set_yscale("log")
        ax.set_ylabel("Rastrigin value")
        ax.grid(True, which="both", alpha=0.3)
    left.legend(fontsize=8)
    right.legend(fontsize=7)
    fig.suptitle(f"Minimising the {dims}-dimensional Rastrigin function, shifted (global minimum 0 at 1.25 in every "
                 "coordinate)", fontsize=11)
    fig.tight_layout()
    fig.savefig(out)
    plt.close(fig)


def main(argv: Sequence[str] | None = None) -> list[Run]:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    ap.add_argument("--out", type=pathlib.Path, default=pathlib.Path(),
                    help="directory for convergence.png (default: the current directory)")
    ap.add_argument("--dims", type=int, default=10, help="dimensions of the Rastrigin function (default 10)")
    ap.add_argument("--seed", type=int, default=0, help="random_state of every optimiser (default 0)")
    ap.add_argument("--quick", action="store_true", help="few iterations (for tests)")
    args = ap.parse_args(argv)

    runs = run_all(args.dims, 5 if args.quick else 150, args.seed)
    args.out.mkdir(parents=True, exist_ok=True)
    png = args.out / "convergence.png"
    draw(runs, args.dims, png)
    for run in runs:
        print(f"{run.name:<24}{run.score:>12.6g}{run.calls:>9} calls")
    print(f"-> {png}")
    return runs


if __name__ == "__main__":
    main()
