"""DifferentialEvolution and CmaEsOptimizer beside scipy's differential evolution and the
`cma` package, on Rosenbrock and Rastrigin, with an equal evaluation budget.

    python bench/evolution.py [--dims 10] [--budget 20000] [--seeds 5]

Needs the benchmark extras of bench/requirements.txt (never a runtime dependency).

Every optimiser minimises the same pure-Python objective, which receives a list of floats:
swarmix's adapter builds that list itself; scipy and cma hand over a numpy array, which is
turned into a list with `tolist()` before the call (the same conversion cost). Each run stops
at the budget (the peers' tolerance-based stops are switched off; scipy still stops when its
whole population has one value, and cma when its steps no longer change the mean, so their
"evals" column may fall short of the budget), and the table gives,
over the seeds, the median wall time per 10,000 objective evaluations (the objective's own
cost included; the "objective alone" row is that cost on its own) and the median, best and
worst final value. The objective calls are counted, swarmix's probe call included.

Settings: all DE runs use 40 members, F = 0.8, CR = 0.9 and in-place (immediate)
replacement; scipy runs rand/1/bin like swarmix ("rand1bin") and also its default scheme
("best1bin", dithered F in [0.5, 1), CR = 0.7). Both CMA-ES runs use 20 samples per
generation, start at the box midpoint with sigma = 0.3 x box width; cma keeps to the box with
its default bound handling. Boxes: Rosenbrock [-2.048, 2.048], Rastrigin [-2.62, 7.62] (the
usual width, shifted so that the midpoint is not the optimum).
"""

import argparse
import math
import statistics
import time

import cma
import numpy as np
from scipy.optimize import differential_evolution

from swarmix import CmaEsOptimizer, DifferentialEvolution


def rosenbrock(x):
    s = 0.0
    for i in range(len(x) - 1):
        a = x[i + 1] - x[i] * x[i]
        b = 1.0 - x[i]
        s += 100.0 * a * a + b * b
    return s


def rastrigin(x):
    s = 10.0 * len(x)
    for v in x:
        s += v * v - 10.0 * math.cos(2.0 * math.pi * v)
    return s


# Per-coordinate box. The Rastrigin box is the usual width shifted so that its midpoint (where
# both CMA-ES runs start) is not the optimum at 0.
PROBLEMS = {"rosenbrock": (rosenbrock, -2.048, 2.048), "rastrigin": (rastrigin, -2.62, 7.62)}
DE_MEMBERS, CMA_LAMBDA = 40, 20


class Counted:
    def __init__(self, f, as_list):
        self.f, self.as_list, self.n = f, as_list, 0

    def __call__(self, x):
        self.n += 1
        return self.f(x.tolist() if self.as_list else x)


def run_swarmix_de(f, lower, upper, budget, seed):
    obj = Counted(f, False)
    de = DifferentialEvolution(n_individuals=DE_MEMBERS, n_iterations=budget // DE_MEMBERS - 1, f=0.8, cr=0.9,
                               random_state=seed)
    de.fit(obj, lower, upper)
    return de.score(), obj.n


def run_swarmix_cma(f, lower, upper, budget, seed):
    obj = Counted(f, False)
    es = CmaEsOptimizer(n_individuals=CMA_LAMBDA, n_iterations=(budget - 1) // CMA_LAMBDA,
                        sigma=0.3 * (upper[0] - lower[0]), random_state=seed)
    es.fit(obj, lower, upper)
    return es.score(), obj.n


def scipy_de(strategy):
    def run(f, lower, upper, budget, seed):
        obj = Counted(f, True)
        dims = len(lower)
        extra = dict(mutation=0.8, recombination=0.9) if strategy == "rand1bin" else {}
        res = differential_evolution(obj, list(zip(lower, upper)), strategy=strategy, popsize=DE_MEMBERS // dims,
                                     maxiter=budget // DE_MEMBERS - 1, tol=0.0, atol=0.0, polish=False, rng=seed,
                                     updating="immediate", init="random", **extra)
        return float(res.fun), obj.n
    return run


def run_cma(f, lower, upper, budget, seed):
    obj = Counted(f, True)
    x0 = [(lo + hi) * 0.5 for lo, hi in zip(lower, upper)]
    opts = {"popsize": CMA_LAMBDA, "bounds": [lower, upper], "maxfevals": budget, "seed": seed + 1, "verbose": -9,
            "tolfun": 0, "tolfunhist": 0, "tolx": 0, "tolstagnation": 10 ** 9, "tolflatfitness": 10 ** 9,
            "tolfunrel": 0, "tolconditioncov": 1e300, "tolxstagnation": False}
    es = cma.CMAEvolutionStrategy(x0, 0.3 * (upper[0] - lower[0]), opts)
    while not es.stop():
        xs = es.ask()
        es.tell(xs, [obj(x) for x in xs])
    return float(es.result.fbest), obj.n


RUNNERS = [
    ("swarmix DifferentialEvolution", run_swarmix_de),
    ("scipy DE rand1bin", scipy_de("rand1bin")),
    ("scipy DE best1bin (default)", scipy_de("best1bin")),
    ("swarmix CmaEsOptimizer", run_swarmix_cma),
    ("cma CMAEvolutionStrategy", run_cma),
]


def objective_alone(f, dims, n):
    rng = np.random.default_rng(0)
    points = [rng.uniform(-1.0, 1.0, dims).tolist() for _ in range(100)]
    start = time.perf_counter()
    for k in range(n):
        f(list(points[k % 100]))
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dims", type=int, default=10)
    ap.add_argument("--budget", type=int, default=20000)
    ap.add_argument("--seeds", type=int, default=5)
    a = ap.parse_args()
    print(f"dims={a.dims} budget={a.budget} evaluations, {a.seeds} seeds; "
          f"time = median ms per 10,000 evaluations; value = median [best, worst] final value")
    header = f"{'problem':<11} {'optimiser':<30} {'evals':>7} {'ms/10k':>8}  value"
    print(header)
    print("-" * (len(header) + 40))
    for pname, (f, lo, hi) in PROBLEMS.items():
        lower, upper = [lo] * a.dims, [hi] * a.dims
        alone = min(objective_alone(f, a.dims, 10000) for _ in range(3))
        print(f"{pname:<11} {'objective alone':<30} {10000:>7} {alone * 1e3:8.1f}")
        for name, run in RUNNERS:
            times, values, evals = [], [], []
            for seed in range(a.seeds):
                start = time.perf_counter()
                value, n = run(f, lower, upper, a.budget, seed)
                elapsed = time.perf_counter() - start
                times.append(elapsed / n * 10000)
                values.append(value)
                evals.append(n)
            print(f"{pname:<11} {name:<30} {round(statistics.mean(evals)):>7} {statistics.median(times) * 1e3:8.1f}  "
                  f"{statistics.median(values):.4g} [{min(values):.4g}, {max(values):.4g}]")


if __name__ == "__main__":
    main()
