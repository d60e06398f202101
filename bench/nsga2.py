"""Nsga2Optimizer beside pymoo's NSGA2 on ZDT1 with an equal evaluation budget.

    python bench/nsga2.py [--dims 30] [--individuals 100] [--generations 250] [--seeds 5]

Both searches get the same number of objective evaluations: `individuals` for the initial
population plus `individuals` per generation (Nsga2Optimizer's probe call comes on top).
Reported per contender: the median wall time of a whole run and the mean, min and max
hypervolume of its final front against (1.1, 1.1), computed for both by pymoo's indicator
from the objective values of the returned points.

Contenders:
- swarmix: Nsga2Optimizer calling a plain Python ZDT1 once per point;
- pymoo (per point): pymoo's NSGA2 with default operators on an elementwise problem that
  calls the same Python function once per point, so objective costs are equal;
- pymoo (vectorised): pymoo's NSGA2 on its built-in numpy ZDT1, which evaluates a whole
  population per call; shown for reference.
pymoo is a benchmark-only dependency (bench/requirements.txt).
"""

import argparse
import statistics
import time

import numpy as np
from pymoo.algorithms.moo.nsga2 import NSGA2
from pymoo.config import Config
from pymoo.core.problem import ElementwiseProblem
from pymoo.indicators.hv import HV
from pymoo.optimize import minimize
from pymoo.problems import get_problem

from groups import zdt1  # the plain-loop ZDT1, beside its numpy twin
from swarmix import Nsga2Optimizer

Config.warnings["not_compiled"] = False
REFERENCE = np.array([1.1, 1.1])


class ElementwiseZdt1(ElementwiseProblem):
    def __init__(self, dims):
        super().__init__(n_var=dims, n_obj=2, xl=0.0, xu=1.0)

    def _evaluate(self, x, out, *args, **kwargs):
        out["F"] = zdt1(x.tolist())


def hypervolume(objectives):
    return float(HV(ref_point=REFERENCE)(np.asarray(objectives, dtype=float)))


def run_swarmix(dims, individuals, generations, seed):
    calls = [0]

    def f(x):
        calls[0] += 1
        return zdt1(x)

    opt = Nsga2Optimizer(n_individuals=individuals, n_iterations=generations, archive_size=individuals,
                         random_state=seed)
    start = time.perf_counter()
    opt.fit(f, [0.0] * dims, [1.0] * dims)
    elapsed = time.perf_counter() - start
    front = [zdt1(x) for x in opt.predict()]
    return elapsed, hypervolume(front), calls[0] - 1  # the probe is not part of the budget


def run_pymoo(problem, individuals, generations, seed):
    algorithm = NSGA2(pop_size=individuals)
    start = time.perf_counter()
    res = minimize(problem, algorithm, ("n_gen", generations + 1), seed=seed, verbose=False)
    elapsed = time.perf_counter() - start
    return elapsed, hypervolume(res.F), res.algorithm.evaluator.n_eval


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dims", type=int, default=30)
    ap.add_argument("--individuals", type=int, default=100)
    ap.add_argument("--generations", type=int, default=250)
    ap.add_argument("--seeds", type=int, default=5)
    args = ap.parse_args()
    budget = args.individuals * (args.generations + 1)
    contenders = {
        "swarmix Nsga2Optimizer": lambda s: run_swarmix(args.dims, args.individuals, args.generations, s),
        "pymoo NSGA2 (per point)": lambda s: run_pymoo(ElementwiseZdt1(args.dims), args.individuals,
                                                       args.generations, s),
        "pymoo NSGA2 (vectorised)": lambda s: run_pymoo(get_problem("zdt1", n_var=args.dims), args.individuals,
                                                        args.generations, s),
    }
    print(f"ZDT1, {args.dims} variables, population {args.individuals}, {args.generations} generations, "
          f"budget {budget} evaluations, {args.seeds} seeds, hypervolume against (1.1, 1.1)")
    print(f"(the ideal front's hypervolume is {1.21 - 1.0 / 3.0:.4f})")
    print(f"{'contender':<26}{'evals':>8}{'median s':>10}{'HV mean':>10}{'HV min':>9}{'HV max':>9}")
    for name, run in contenders.items():
        results = [run(seed) for seed in range(1, args.seeds + 1)]
        times = [r[0] for r in results]
        volumes = [r[1] for r in results]
        evals = {r[2] for r in results}
        assert evals == {budget}, (name, evals)
        print(f"{name:<26}{budget:>8}{statistics.median(times):>10.3f}{statistics.fmean(volumes):>10.4f}"
              f"{min(volumes):>9.4f}{max(volumes):>9.4f}")


if __name__ == "__main__":
    main()
