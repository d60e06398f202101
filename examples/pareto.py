"""Pareto fronts of Nsga2Optimizer and MopsoOptimizer on ZDT1, beside the true front.

    python examples/pareto.py [--out DIR] [--dims 30] [--seed 1] [--quick]

ZDT1 has two objectives over [0, 1]^dims; its Pareto-optimal front is f2 = 1 - sqrt(f1)
for f1 in [0, 1], reached when every coordinate but the first is 0. ``predict()`` of a
multi-objective optimiser returns the positions of its archive; the example evaluates
them again to place them in objective space, and ``score()`` gives the hypervolume of the
archive against the reference point (1, 1) (the true front scores 2/3). Writes pareto.png
into the current directory (or into --out DIR). Drawing needs matplotlib
(``pip install 'swarmix[plot]'``).
"""

from __future__ import annotations

import argparse
import math
import pathlib
from collections.abc import Sequence
from dataclasses import dataclass

from swarmix import MopsoOptimizer, Nsga2Optimizer

TRUE_HYPERVOLUME = 2.0 / 3.0


def zdt1(x: Sequence[float]) -> list[float]:
    f1 = x[0]
    g = 1.0 + 9.0 * sum(x[1:]) / (len(x) - 1)
    return [f1, g * (1.0 - math.sqrt(f1 / g))]


@dataclass
class Front:
    name: str
    points: list[list[float]]  # objective vectors of the archive, sorted
    distinct: int  # archive positions that differ
    hypervolume: float


def fronts(dims: int, n_iterations: int, seed: int) -> list[Front]:
    lower, upper = [0.0] * dims, [1.0] * dims
    nsga2 = Nsga2Optimizer(n_individuals=60, n_iterations=n_iterations, archive_size=60, random_state=seed)
    mopso = MopsoOptimizer(n_particles=60, n_iterations=n_iterations, archive_size=60, random_state=seed)
    out = []
    for name, opt in (("Nsga2Optimizer", nsga2), ("MopsoOptimizer", mopso)):
        opt.fit(zdt1, lower, upper)
        archive = opt.predict()
        points = sorted(zdt1(position) for position in archive)
        out.append(Front(name, points, len({tuple(p) for p in archive}), opt.score()))
    return out


def draw(results: Sequence[Front], dims: int, out: pathlib.Path) -> None:
    # Imported here, so that --help and the searches run without matplotlib.
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7.5, 5.5), dpi=100)
    f1 = [i / 200.0 for i in range(201)]
    ax.plot(f1, [1.0 - math.sqrt(v) for v in f1], "-", color="black", linewidth=1.2,
            label=f"true front (hypervolume {TRUE_HYPERVOLUME:.4f})")
    for front, marker in zip(results, ("o", "^")):
        ax.scatter([p[0] for p in front.points], [p[1] for p in front.points], s=22, marker=marker, alpha=0.8,
                   label=f"{front.name}: {front.distinct} distinct points, hypervolume {front.hypervolume:.4f}")
    ax.set_xlabel("f1")
    ax.set_ylabel("f2")
    ax.set_title(f"ZDT1 in {dims} dimensions: archives after the search", fontsize=10)
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(out)
    plt.close(fig)


def main(argv: Sequence[str] | None = None) -> list[Front]:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    ap.add_argument("--out", type=pathlib.Path, default=pathlib.Path(),
                    help="directory for pareto.png (default: the current directory)")
    ap.add_argument("--dims", type=int, default=30, help="dimensions of ZDT1 (default 30, at least 2)")
    ap.add_argument("--seed", type=int, default=1, help="random_state of both optimisers (default 1)")
    ap.add_argument("--quick", action="store_true", help="few iterations (for tests)")
    args = ap.parse_args(argv)
    if args.dims < 2:
        ap.error("--dims must be at least 2")

    results = fronts(args.dims, 5 if args.quick else 500, args.seed)
    args.out.mkdir(parents=True, exist_ok=True)
    png = args.out / "pareto.png"
    draw(results, args.dims, png)
    for front in results:
        print(f"{front.name:<16}{len(front.points):>4} points ({front.distinct} distinct)"
              f"  hypervolume {front.hypervolume:.4f}")
    print(f"-> {png}")
    return results


if __name__ == "__main__":
    main()
