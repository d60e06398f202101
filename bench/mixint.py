"""The mixed-integer BBOB functions (COCO's bbob-mixint suite): which targets each solver reaches.

    pip install . -r bench/requirements.txt     # coco-experiment (cocoex), cma, cmaes, matplotlib
    nice python bench/mixint.py [--dims 10 20] [--instances 1-3] [--budget 1000] [--seeds 1 2 3] \\
        [--functions 6-9] [--solvers BipopCmaEs pycma-bipop ...] [--plot docs/images/mixint.png] \\
        [--json out.json] [--load a.json b.json ...] [--cpu]

Protocol: bench/bbob.py's (the same targets 1e1 ... 1e-8, groups, tables, merged runs and
picture), on the 24 functions of bbob-mixint: four fifths of the variables integer, a fifth
each of cardinality 2, 4, 8 and 16 (bounds [0, 1], [0, 3], [0, 7], [0, 15]), the last fifth
continuous in [-5, 5]; a budget of --budget x d evaluations per problem. Solvers:

- `BipopCmaEs`: ``fit(..., integer=<the integer coordinates>)`` on the problem's bounds,
  n_evaluations the budget, its defaults otherwise;
- `BipopCmaEs-relaxed`: the baseline without integer handling: the box widened by 0.5 on each
  side of an integer coordinate, the point rounded there before the objective sees it;
- `pycma-bipop`: pycma's ``cma.fmin2(..., restarts=9, bipop=True)`` with its documented option
  ``integer_variables``, the problem's bounds, sigma0 0.3 scaled per coordinate by the width
  of the widened box (``CMA_stds``); the first run from the centre, later ones from uniform
  points;
- `cmaes-margin`: the cmaes package's CMA-ES with margin (``CMAwM``, steps 1 at the integer
  coordinates), the step 0.3 of each widened width (through its initial covariance), restarted
  with a doubled population from a uniform mean whenever ``should_stop()`` (IPOP: the package
  has no restarts of its own).

The CPU cost per evaluation beyond the objective (--cpu) is measured for BipopCmaEs with
integers and pycma with ``integer_variables``, on a trivial objective at the largest dimension
with bbob-mixint's bounds, in the same process.
"""

from __future__ import annotations

from typing import Any

import numpy as np

import swarmix
import bbob
from bbob import Budget, Tracked, cost_beyond_objective, suite_rows

SOLVERS = ["BipopCmaEs", "BipopCmaEs-relaxed", "pycma-bipop", "cmaes-margin"]


def box(problem: Any) -> tuple[list[float], list[float], list[int]]:
    """The problem's bounds and its integer coordinates (the first ones)."""
    lower = [float(v) for v in problem.lower_bounds]
    upper = [float(v) for v in problem.upper_bounds]
    return lower, upper, list(range(problem.number_of_integer_variables))


def widened(lower: list[float], upper: list[float], integer: list[int]) -> tuple[np.ndarray, np.ndarray]:
    lo, hi = np.array(lower), np.array(upper)
    lo[integer] -= 0.5
    hi[integer] += 0.5
    return lo, hi


def run_ours(tracked: Tracked, problem: Any, seed: int) -> None:
    lower, upper, integer = box(problem)
    opt = swarmix.BipopCmaEs(n_evaluations=tracked.budget, random_state=seed)
    opt.fit(tracked, lower, upper, integer=integer)


def run_relaxed(tracked: Tracked, problem: Any, seed: int) -> None:
    lower, upper, integer = box(problem)
    lo, hi = widened(lower, upper, integer)

    def rounded(x: list[float]) -> float:
        for j in integer:
            x[j] = min(max(float(round(x[j])), lower[j]), upper[j])
        return tracked(x)

    opt = swarmix.BipopCmaEs(n_evaluations=tracked.budget, random_state=seed)
    opt.fit(rounded, lo.tolist(), hi.tolist())


def run_pycma(tracked: Tracked, problem: Any, seed: int) -> None:
    import cma

    lower, upper, integer = box(problem)
    lo, hi = widened(lower, upper, integer)
    rng = np.random.default_rng(seed)
    first = [True]

    def x0() -> np.ndarray:  # the centre first, then uniform points
        if first[0]:
            first[0] = False
            return (np.array(lower) + np.array(upper)) / 2
        return rng.uniform(lower, upper)

    options = {"bounds": [lower, upper], "integer_variables": integer, "CMA_stds": (hi - lo).tolist(),
               "maxfevals": tracked.budget, "verbose": -9, "seed": seed + 1, "verb_log": 0, "verb_disp": 0}
    try:
        cma.fmin2(tracked, x0, 0.3, options, restarts=9, bipop=True)
    except Budget:
        pass


def run_margin(tracked: Tracked, problem: Any, seed: int) -> None:
    from cmaes import CMAwM

    lower, upper, integer = box(problem)
    lo, hi = widened(lower, upper, integer)
    d = len(lower)
    bounds = np.column_stack([lower, upper])
    steps = np.zeros(d)
    steps[integer] = 1.0
    widths = hi - lo
    scale = float(widths.max())
    cov = np.diag((widths / scale) ** 2)
    rng = np.random.default_rng(seed)
    mean = (np.array(lower) + np.array(upper)) / 2
    population = None
    run = 0
    try:
        while True:
            es = CMAwM(mean=mean, sigma=0.3 * scale, bounds=bounds, steps=steps, cov=cov.copy(),
                       seed=seed * 1000 + run, population_size=population)
            while not es.should_stop():
                told = []
                for _ in range(es.population_size):
                    x_eval, x_tell = es.ask()
                    told.append((x_tell, tracked(x_eval)))
                es.tell(told)
            population = 2 * es.population_size
            mean = rng.uniform(lower, upper)
            run += 1
    except Budget:
        pass


def mixint(dims: list[int], instances: str, functions: str, budget_factor: int, solvers: list[str],
           seeds: list[int], label: str = "") -> dict:
    """results[d][solver] = rows [function, instance, hits], one per problem and seed."""
    import cocoex

    def suite(d: int) -> Any:
        options = f"dimensions: {d}"
        if functions:
            options += f" function_indices: {functions}"
        return cocoex.Suite("bbob-mixint", f"instances: {instances}", options)

    runners = {"BipopCmaEs": run_ours, "BipopCmaEs-relaxed": run_relaxed, "pycma-bipop": run_pycma,
               "cmaes-margin": run_margin}
    return suite_rows(suite, dims, budget_factor, solvers, seeds, label, runners,
                      raising={"pycma-bipop", "cmaes-margin"})


def cpu_per_evaluation(d: int, budget: int, repeat: int = 3) -> dict[str, float]:
    """Microseconds of CPU per evaluation beyond the objective's own, on a trivial objective over
    bbob-mixint's bounds at dimension d, with the integer coordinates stated."""
    import cma

    k = d // 5
    upper = [1.0] * k + [3.0] * k + [7.0] * k + [15.0] * k + [5.0] * (d - 4 * k)
    lower = [0.0] * (4 * k) + [-5.0] * (d - 4 * k)
    integer = list(range(4 * k))
    lo, hi = widened(lower, upper, integer)

    def trivial_list(x: list[float]) -> float:
        return 1.0 + x[-1] * x[-1]

    def trivial_array(x: np.ndarray) -> float:
        return 1.0 + float(x[-1]) * float(x[-1])

    def ours(f: Any) -> None:
        swarmix.BipopCmaEs(n_evaluations=budget, random_state=1).fit(f, lower, upper, integer=integer)

    def pycma(f: Any) -> None:
        options = {"bounds": [lower, upper], "integer_variables": integer, "CMA_stds": (hi - lo).tolist(),
                   "maxfevals": budget, "verbose": -9, "seed": 2}
        cma.fmin2(f, (np.array(lower) + np.array(upper)) / 2, 0.3, options, restarts=9, bipop=True)

    return cost_beyond_objective((("BipopCmaEs", ours, trivial_list, [0.5] * d),
                                  ("pycma-bipop", pycma, trivial_array, np.full(d, 0.5))), repeat)


def main() -> None:
    bbob.main(mixint, (10, 20), "bbob-mixint f1-f24", cpu_per_evaluation, SOLVERS, __doc__)


if __name__ == "__main__":
    main()
