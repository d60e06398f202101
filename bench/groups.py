"""Group evaluation: vectorised numpy objectives, thread pools and process pools.

    python bench/groups.py [--quick]

1. CmaEsOptimizer on a 10-D Rosenbrock, 10,000 evaluations: the per-point Python objective
   beside `swarmix.vectorized` with numpy.
2. Nsga2Optimizer on the 30-D ZDT1, 10,000 evaluations: the same comparison, with the
   per-point ZDT1 of bench/nsga2.py (a loop) and with a leaner one (the builtin sum).
3. GreyWolfOptimizer with a 20 ms objective (it sleeps, as an external program or I/O
   would): serial beside `swarmix.parallel` with a ThreadPoolExecutor(16); same result.
4. GreyWolfOptimizer with a CPU-bound pure-Python objective of about 10 ms: serial beside a
   ProcessPoolExecutor with one worker per core; same result.
"""

import argparse
import math
import os
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np

from swarmix import CmaEsOptimizer, GreyWolfOptimizer, Nsga2Optimizer, parallel, vectorized


def rosenbrock(x):
    return sum(100.0 * (b - a * a) ** 2 + (1.0 - a) ** 2 for a, b in zip(x, x[1:]))


def rosenbrock_rows(X):
    a, b = X[:, :-1], X[:, 1:]
    return (100.0 * (b - a * a) ** 2 + (1.0 - a) ** 2).sum(axis=1)


def zdt1(x):
    """ZDT1 as bench/nsga2.py computes it: a plain loop."""
    d = len(x)
    f1 = x[0]
    s = 0.0
    for v in x[1:]:
        s = s + v
    g = 1.0 + 9.0 * s / max(d - 1, 1)
    return [f1, g * (1.0 - math.sqrt(f1 / g))]


def zdt1_builtin_sum(x):
    g = 1.0 + 9.0 * sum(x[1:]) / (len(x) - 1)
    return [x[0], g * (1.0 - math.sqrt(x[0] / g))]


def zdt1_rows(X):
    g = 1.0 + 9.0 * X[:, 1:].sum(axis=1) / (X.shape[1] - 1)
    return np.column_stack([X[:, 0], g * (1.0 - np.sqrt(X[:, 0] / g))])


def sleepy(x):
    time.sleep(0.02)
    return sum(v * v for v in x)


def busy(x):
    s = 0.0
    for k in range(120_000):  # about 10 ms of pure Python
        s += math.sin(k * 1e-3 + x[0])
    return sum(v * v for v in x) + s * 0.0


def timed(fn, repeat):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def side_by_side(title, plain, grouped, same=True, repeat=1):
    t_plain, a = timed(plain, repeat)
    t_grouped, b = timed(grouped, repeat)
    note = "identical results" if a == b else "results differ (floating-point order)" if not same else "RESULTS DIFFER"
    print(f"{title}\n  per point {t_plain:8.3f} s   grouped {t_grouped:8.3f} s   "
          f"speed-up {t_plain / t_grouped:5.2f}x   {note}")
    return t_plain / t_grouped


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer evaluations for the slow objectives")
    a = ap.parse_args()

    def cma(objective):
        opt = CmaEsOptimizer(n_individuals=20, n_iterations=500, random_state=1)
        opt.fit(objective, [-2.0] * 10, [2.0] * 10)
        return opt.score()
    side_by_side("CmaEsOptimizer, 10-D Rosenbrock, 10,001 evaluations",
                 lambda: cma(rosenbrock), lambda: cma(vectorized(rosenbrock_rows)), same=False, repeat=7)

    def nsga(objective):
        opt = Nsga2Optimizer(n_individuals=40, n_iterations=249, random_state=1)
        opt.fit(objective, [0.0] * 30, [1.0] * 30)
        return opt.score()
    side_by_side("Nsga2Optimizer, 30-D ZDT1, 10,000 evaluations",
                 lambda: nsga(zdt1), lambda: nsga(vectorized(zdt1_rows)), same=False, repeat=7)
    side_by_side("Nsga2Optimizer, 30-D ZDT1 summed with sum(), 10,000 evaluations",
                 lambda: nsga(zdt1_builtin_sum), lambda: nsga(vectorized(zdt1_rows)), same=False, repeat=7)

    iterations = 2 if a.quick else 5

    def wolves(objective):
        opt = GreyWolfOptimizer(n_wolves=30, n_iterations=iterations, random_state=1)
        opt.fit(objective, [-5.0] * 5, [5.0] * 5)
        return opt.predict(), opt.score(), opt.history_

    with ThreadPoolExecutor(16) as pool:
        side_by_side(f"GreyWolfOptimizer, 20 ms objective (sleeps), {30 * (iterations + 1) + 1} evaluations, "
                     "ThreadPoolExecutor(16)", lambda: wolves(sleepy), lambda: wolves(parallel(sleepy, pool)))
    workers = os.cpu_count() or 1
    with ProcessPoolExecutor(workers) as pool:
        pool.submit(busy, [0.0]).result()  # the workers are up
        side_by_side(f"GreyWolfOptimizer, ~10 ms CPU-bound objective, {30 * (iterations + 1) + 1} evaluations, "
                     f"ProcessPoolExecutor({workers})", lambda: wolves(busy), lambda: wolves(parallel(busy, pool)))


if __name__ == "__main__":
    main()
