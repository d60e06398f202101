"""Two optimisers on one evaluation budget, watched by ``swarmix.Monitor``.

    python examples/budget.py [--out DIR] [--budget 20000] [--seed 0] [--quick]

DifferentialEvolution and CmaEsOptimizer minimise the shifted 10-dimensional Rastrigin
function of examples/convergence.py, each asked for far more iterations than it may use: a
Monitor stops each fit at the first iteration boundary after ``--budget`` objective calls.
The picture plots each Monitor's ``trace`` (the best value after each iteration against the
calls made so far). Writes budget.png into the current directory (or into --out DIR). Drawing
needs matplotlib (``pip install 'swarmix[plot]'``).
"""

from __future__ import annotations

import argparse
import math
import pathlib
from collections.abc import Sequence
from dataclasses import dataclass

import swarmix

SHIFT = 1.25


def rastrigin(x: Sequence[float]) -> float:
    z = [v - SHIFT for v in x]
    return 10.0 * len(z) + sum(v * v - 10.0 * math.cos(2.0 * math.pi * v) for v in z)


@dataclass
class Watched:
    name: str
    score: float
    monitor: swarmix.Monitor


def run(budget: int, seed: int, dims: int = 10) -> list[Watched]:
    lower, upper = [-5.12] * dims, [5.12] * dims
    de = swarmix.DifferentialEvolution(n_iterations=10**6, random_state=seed)
    cma = swarmix.CmaEsOptimizer(n_iterations=10**6, sigma=1.5, random_state=seed)
    watched = []
    for opt in (de, cma):
        monitor = swarmix.Monitor(rastrigin, max_evaluations=budget)
        opt.fit(monitor, lower, upper)
        watched.append(Watched(type(opt).__name__, opt.score(), monitor))
    return watched


def draw(watched: Sequence[Watched], budget: int, out: pathlib.Path) -> None:
    # Imported here, so that --help and the searches run without matplotlib.
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.2), dpi=100)
    for w in watched:
        calls, best = zip(*w.monitor.trace)
        ax.step(calls, best, where="post", linewidth=1.5,
                label=f"{w.name}: {w.monitor.n_iterations} iterations, best {w.score:.3g}")
    ax.axvline(budget, color="0.5", linestyle=":", linewidth=1)
    ax.set_xlabel("objective calls")
    ax.set_ylabel("best value (Rastrigin, 10-D)")
    ax.set_yscale("log")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    ax.set_title(f"Monitor(max_evaluations={budget:,}): trace of each fit", fontsize=10)
    fig.tight_layout()
    fig.savefig(out)
    plt.close(fig)


def main(argv: Sequence[str] | None = None) -> list[Watched]:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    ap.add_argument("--out", type=pathlib.Path, default=pathlib.Path(),
                    help="directory for budget.png (default: the current directory)")
    ap.add_argument("--budget", type=int, default=20_000, help="objective calls per fit (default 20000)")
    ap.add_argument("--seed", type=int, default=0, help="random_state of both optimisers (default 0)")
    ap.add_argument("--quick", action="store_true", help="a small budget (for tests)")
    args = ap.parse_args(argv)

    budget = 500 if args.quick else args.budget
    watched = run(budget, args.seed)
    args.out.mkdir(parents=True, exist_ok=True)
    png = args.out / "budget.png"
    draw(watched, budget, png)
    for w in watched:
        print(f"{w.name:<24}{w.score:>12.6g}{w.monitor.n_evaluations:>9} calls  stopped: {w.monitor.stop_reason}")
    print(f"-> {png}")
    return watched


if __name__ == "__main__":
    main()
