"""BipopCmaEs and pycma's fmin_con2 on cocoex's bbob-constrained suite: a check on problems no
setting was chosen on.

    pip install coco-experiment cma                       # cocoex and pycma
    python bench/constrained_bbob.py bipop|pycma [--dimensions 2,5] [--per-dimension 2000]

Every function of the suite (nine objectives, each with six numbers of constraints), instance 1,
the given dimensions, a budget of per-dimension x d evaluations. A problem counts as solved
when cocoex reports its final target (1e-8 above the optimum, feasible) hit. BipopCmaEs runs at
its defaults with n_constraints; fmin_con2 with IPOP restarts (restarts=9) from the suite's
initial point, sigma0 1 (a fifth of the box [-5, 5]), its constraints from the same evaluation
as the objective (a cache), stopped once it asks for a point past the budget. Times are CPU.
"""

from __future__ import annotations

import argparse
import collections
import time
import warnings

import numpy as np

import swarmix

OBJECTIVES = ["sphere", "separable ellipsoid", "linear slope", "rotated ellipsoid", "discus", "bent cigar",
              "different powers", "separable Rastrigin", "rotated Rastrigin"]


class Spent(Exception):
    """fmin_con2 asked for a point past the budget."""


def run_bipop(p, budget: int) -> None:
    def rows(x: list[float]) -> list[float]:
        x = np.asarray(x)
        return [p(x), *p.constraint(x)]

    opt = swarmix.BipopCmaEs(n_evaluations=budget, random_state=1)
    opt.fit(rows, list(p.lower_bounds), list(p.upper_bounds), n_constraints=p.number_of_constraints)


def run_pycma(p, budget: int) -> None:
    import cma

    cache: dict[bytes, list[float]] = {}

    def row(x: np.ndarray) -> list[float]:
        key = np.asarray(x, dtype=float).tobytes()
        if key not in cache:
            if len(cache) >= budget:
                raise Spent
            cache[key] = [p(x), *p.constraint(x)]
        return cache[key]

    options = {"bounds": [list(p.lower_bounds), list(p.upper_bounds)], "maxfevals": budget, "seed": 2,
               "verbose": -9, "verb_log": 0, "verb_disp": 0}
    try:
        cma.fmin_con2(lambda x: row(x)[0], p.initial_solution, 1.0, lambda x: row(x)[1:], restarts=9,
                      options=options)
    except Spent:
        pass


def main() -> None:
    import cocoex

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("method", choices=["bipop", "pycma"])
    ap.add_argument("--dimensions", default="2,5")
    ap.add_argument("--per-dimension", type=int, default=2000)
    args = ap.parse_args()
    warnings.filterwarnings("ignore")
    run = run_bipop if args.method == "bipop" else run_pycma
    suite = cocoex.Suite("bbob-constrained", "", f"dimensions: {args.dimensions} instance_indices: 1")
    solved: dict[tuple[str, int], list[bool]] = collections.defaultdict(list)
    cpu = 0.0
    for p in suite:
        start = time.process_time()
        run(p, args.per_dimension * p.dimension)
        cpu += time.process_time() - start
        solved[(OBJECTIVES[(p.id_function - 1) // 6], p.dimension)].append(bool(p.final_target_hit))
    dimensions = sorted({d for _, d in solved})
    print("| objective | " + " | ".join(f"d = {d}" for d in dimensions) + " |")
    print("|---|" + "---:|" * len(dimensions))
    for name in OBJECTIVES:
        print(f"| {name} | " + " | ".join(f"{sum(solved[(name, d)])}/{len(solved[(name, d)])}" for d in dimensions)
              + " |")
    total = [sum(sum(solved[(n, d)]) for n in OBJECTIVES) for d in dimensions]
    print("| **solved** | " + " | ".join(f"**{t}/{len(OBJECTIVES) * 6}**" for t in total) + " |")
    print(f"CPU {cpu:.1f} s")


if __name__ == "__main__":
    main()
