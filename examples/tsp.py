"""An ant colony tour through the 52 cities of berlin52, drawn over the cities.

    python examples/tsp.py [--out DIR] [--seed 3] [--quick] [--tsp FILE]

Reads a TSPLIB instance with EUC_2D coordinates (by default the berlin52 copy shipped in
the swarmix package), measures distances with TSPLIB's rounding rule, so that lengths
compare with the published optimum (7542 for berlin52), runs AntColony with 2-opt
polishing and writes tsp.png into the current directory (or into --out DIR). Drawing
needs matplotlib (``pip install 'swarmix[plot]'``).
"""

from __future__ import annotations

import argparse
import pathlib
import time
from collections.abc import Sequence
from dataclasses import dataclass

from swarmix import AntColony
from swarmix.tsplib import OPTIMA, Instance, euc_2d_matrix, load
from swarmix.tsplib import parse as parse_tsplib


@dataclass
class TourResult:
    tour: list[int]
    length: float
    seconds: float
    png: pathlib.Path


def load_instance(path: pathlib.Path | None) -> Instance:
    if path is None:
        return load("berlin52")
    return parse_tsplib(path.read_text())


def draw(instance: Instance, tour: Sequence[int], length: float, out: pathlib.Path) -> None:
    # Imported here, so that --help and the searches run without matplotlib.
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    xs = [instance.coords[c][0] for c in tour] + [instance.coords[tour[0]][0]]
    ys = [instance.coords[c][1] for c in tour] + [instance.coords[tour[0]][1]]
    fig, ax = plt.subplots(figsize=(8, 5.6), dpi=110)
    ax.plot(xs, ys, "-", color="#1f77b4", linewidth=1.4, zorder=1)
    ax.scatter([x for x, _ in instance.coords], [y for _, y in instance.coords], s=22, color="#d62728", zorder=2)
    start = instance.coords[tour[0]]
    ax.scatter([start[0]], [start[1]], s=80, facecolors="none", edgecolors="black", zorder=3, label="start city")
    title = f"AntColony on {instance.name}: tour length {length:g}"
    optimum = OPTIMA.get(instance.name)
    if optimum is not None:
        title += (" (the known optimum)" if length <= optimum
                  else f" ({(length / optimum - 1.0) * 100.0:.2f}% above the optimum {optimum:g})")
    ax.set_title(title, fontsize=10)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_aspect("equal", adjustable="datalim")
    ax.legend(loc="upper right", fontsize=8)
    fig.tight_layout()
    fig.savefig(out)
    plt.close(fig)


def main(argv: Sequence[str] | None = None) -> TourResult:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    ap.add_argument("--out", type=pathlib.Path, default=pathlib.Path(),
                    help="directory for tsp.png (default: the current directory)")
    ap.add_argument("--seed", type=int, default=3, help="random_state of the colony (default 3)")
    ap.add_argument("--quick", action="store_true", help="a small colony and few iterations (for tests)")
    ap.add_argument("--tsp", type=pathlib.Path, default=None, help="a TSPLIB EUC_2D file (default berlin52)")
    args = ap.parse_args(argv)

    instance = load_instance(args.tsp)
    matrix = euc_2d_matrix(instance.coords)
    n_ants, n_iterations = (4, 3) if args.quick else (20, 40)
    colony = AntColony(n_ants=n_ants, n_iterations=n_iterations, random_state=args.seed)
    start = time.perf_counter()
    colony.fit(matrix)
    seconds = time.perf_counter() - start
    tour, length = colony.predict(), colony.score()

    args.out.mkdir(parents=True, exist_ok=True)
    png = args.out / "tsp.png"
    draw(instance, tour, length, png)
    print(f"{instance.name}: {len(instance.coords)} cities, tour length {length:g} in {seconds:.2f} s -> {png}")
    return TourResult(tour, length, seconds, png)


if __name__ == "__main__":
    main()
