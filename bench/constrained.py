"""Constrained single-objective problems: runs solved on CEC 2006 G1-G13 and G24, and the cost of
a constrained fit per evaluation.

    pip install . -r bench/requirements.txt          # pymoo and scipy
    python bench/constrained.py [--evals 20000] [--seeds 0 1 2] [--problems 1 2 ...] [--only de scipy ...]
    python bench/constrained.py --cost               # CPU per evaluation beyond the objective

The problems are pymoo's (`pymoo.problems.single.g`: objective, inequalities g <= 0, equalities
h = 0, the known optimum from `pareto_front()`). A run succeeds when, within its first --evals
evaluations, it evaluates a feasible point (every g <= 0, every |h| <= 1e-4) whose value is
within 1e-4 of the known optimum. Every method is charged each distinct point it evaluates
(scipy asks for the objective and the constraints of a point separately: one evaluation).

Methods:
- ``de``: swarmix DifferentialEvolution with n_constraints / n_equalities (Deb's feasibility
  rules), its defaults (40 individuals, F = 0.8, CR = 0.9), n_iterations from the budget;
- ``scipy``: scipy.optimize.differential_evolution with NonlinearConstraint (inequalities
  (-inf, 0], equalities [-1e-4, 1e-4]), its defaults (best1bin, popsize 15) without polishing,
  maxiter from the budget;
- ``penalty100``, ``penalty1e6``: swarmix DifferentialEvolution on the static penalty
  f + w * violation (the violation as swarmix defines it), unconstrained;
- ``bipop``: swarmix BipopCmaEs with n_constraints / n_equalities, its defaults, n_evaluations
  from the budget;
- ``pycma``: pycma's ``cma.fmin_con2`` (its augmented Lagrangian) with IPOP restarts
  (restarts=9), described at ``run_pycma``; stopped once it asks for a point past the budget.

``--cost`` measures the CPU per evaluation beyond the objective of DifferentialEvolution
(plain, constrained, integer), and of BipopCmaEs and pycma's fmin_con2 on the same constrained
rows in d = 10 (fmin_con2 asks for a point's value and its constraints apart: a cache gives both
from one evaluation, and its look-ups are counted as fmin_con2's).

Times are CPU (process) time. Results are printed as a Markdown table (docs/benchmarks.md).
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Callable
from typing import Any

import numpy as np

import swarmix

PROBLEMS = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 24]
TOLERANCE = 1e-4  # of the optimum's value, and of an equality


def columns(values: Any, k: int, n: int) -> np.ndarray:
    """pymoo's values of k points as k rows of n: an array, or a list of one array per column."""
    if isinstance(values, (list, tuple)):
        return np.column_stack([np.reshape(v, k) for v in values])
    return np.reshape(values, (k, n))


class Tracker:
    """One run's evaluations of a G problem: counted, and checked for success."""

    def __init__(self, number: int, budget: int) -> None:
        from pymoo.problems.single import g

        self.problem = getattr(g, f"G{number}")()
        self.optimum = float(np.ravel(self.problem.pareto_front())[0])
        self.ng, self.nh = self.problem.n_ieq_constr, self.problem.n_eq_constr
        self.budget = budget
        self.n = 0
        self.solved_at: int | None = None

    def rows(self, X: np.ndarray) -> np.ndarray:
        """The rows [f, g..., h...] of the points X (k x d), each counted."""
        k = len(X)
        out: dict[str, Any] = {}
        self.problem._evaluate(np.asarray(X, dtype=float), out)
        parts = [columns(out["F"], k, 1)]
        if self.ng:
            parts.append(columns(out["G"], k, self.ng))
        if self.nh:
            parts.append(columns(out["H"], k, self.nh))
        rows = np.hstack(parts).astype(float)
        for row in rows:
            self.n += 1
            if self.solved_at is None and self.n <= self.budget and self.solved(row):
                self.solved_at = self.n
        return rows

    def solved(self, row: np.ndarray) -> bool:
        g, h = row[1:1 + self.ng], row[1 + self.ng:]
        return bool(np.all(np.isfinite(row)) and np.all(g <= 0.0) and np.all(np.abs(h) <= TOLERANCE)
                     and row[0] - self.optimum <= TOLERANCE)

    def violation(self, row: np.ndarray) -> float:
        g, h = row[1:1 + self.ng], row[1 + self.ng:]
        return float(np.sum(np.maximum(g, 0.0)) + np.sum(np.maximum(np.abs(h) - TOLERANCE, 0.0)))

    @property
    def box(self) -> tuple[list[float], list[float]]:
        return [float(v) for v in self.problem.xl], [float(v) for v in self.problem.xu]


def iterations(budget: int, population: int) -> int:
    """Generations after the start (and swarmix's probe) that fit in the budget."""
    return max(0, (budget - 1) // population - 1)


def run_de(t: Tracker, seed: int) -> None:
    opt = swarmix.DifferentialEvolution(n_iterations=iterations(t.budget, 40), random_state=seed)
    opt.fit(swarmix.vectorized(t.rows), *t.box, n_constraints=t.ng, n_equalities=t.nh)


def penalty(weight: float) -> Callable[[Tracker, int], None]:
    def run(t: Tracker, seed: int) -> None:
        def penalised(X: np.ndarray) -> np.ndarray:
            return np.array([row[0] + weight * t.violation(row) for row in t.rows(X)])

        opt = swarmix.DifferentialEvolution(n_iterations=iterations(t.budget, 40), random_state=seed)
        opt.fit(swarmix.vectorized(penalised), *t.box)

    return run


class Spent(Exception):
    """A peer that cannot be told a budget in distinct points is stopped past it."""


def cached_rows(t: Tracker) -> Callable[[np.ndarray], np.ndarray]:
    """The row of a point, each distinct point evaluated (and counted) once; past the budget the
    run is stopped by Spent."""
    cache: dict[bytes, np.ndarray] = {}

    def row(x: np.ndarray) -> np.ndarray:
        key = np.asarray(x, dtype=float).tobytes()
        if key not in cache:
            if t.n >= t.budget:
                raise Spent
            cache[key] = t.rows(np.atleast_2d(x))[0]
        return cache[key]

    return row


def run_bipop(t: Tracker, seed: int) -> None:
    opt = swarmix.BipopCmaEs(n_evaluations=t.budget - 1, random_state=seed)
    opt.fit(swarmix.vectorized(t.rows), *t.box, n_constraints=t.ng, n_equalities=t.nh)


def run_pycma(t: Tracker, seed: int) -> None:
    """cma.fmin_con2 with IPOP restarts (restarts=9) in coordinates scaled to [0, 1]: the first
    run from the box's centre, later ones from uniform points; sigma0 0.3; each equality h as
    the two inequalities h - 1e-4 <= 0 and -h - 1e-4 <= 0."""
    import cma

    lower, upper = (np.array(b) for b in t.box)
    row = cached_rows(t)
    rng = np.random.default_rng(seed)
    runs = [0]

    def x0() -> np.ndarray:
        runs[0] += 1
        return np.full(len(lower), 0.5) if runs[0] == 1 else rng.uniform(size=len(lower))

    def point(u: np.ndarray) -> np.ndarray:
        return lower + np.asarray(u, dtype=float) * (upper - lower)

    def constraints(u: np.ndarray) -> list[float]:
        r = row(point(u))
        h = r[1 + t.ng:]
        return list(r[1:1 + t.ng]) + [v for e in h for v in (e - TOLERANCE, -e - TOLERANCE)]

    options = {"bounds": [0.0, 1.0], "maxfevals": t.budget, "seed": seed + 1, "verbose": -9, "verb_log": 0,
               "verb_disp": 0}
    try:
        cma.fmin_con2(lambda u: float(row(point(u))[0]), x0, 0.3, constraints, restarts=9, options=options)
    except Spent:
        pass


def run_scipy(t: Tracker, seed: int) -> None:
    from scipy.optimize import Bounds, NonlinearConstraint, differential_evolution

    cache: dict[bytes, np.ndarray] = {}

    def row(x: np.ndarray) -> np.ndarray:
        key = np.asarray(x, dtype=float).tobytes()
        if key not in cache:
            cache[key] = t.rows(np.atleast_2d(x))[0]
        return cache[key]

    constraints = []
    if t.ng:
        constraints.append(NonlinearConstraint(lambda x: row(x)[1:1 + t.ng], -np.inf, 0.0))
    if t.nh:
        constraints.append(NonlinearConstraint(lambda x: row(x)[1 + t.ng:], -TOLERANCE, TOLERANCE))
    lower, upper = t.box
    population = 15 * len(lower)
    differential_evolution(lambda x: row(x)[0], Bounds(lower, upper), constraints=constraints, seed=seed,
                           maxiter=iterations(t.budget + 1, population), polish=False, tol=0.0)


METHODS: dict[str, tuple[str, Callable[[Tracker, int], None]]] = {
    "de": ("DifferentialEvolution (constraints)", run_de),
    "bipop": ("BipopCmaEs (constraints)", run_bipop),
    "pycma": ("pycma fmin_con2", run_pycma),
    "scipy": ("scipy differential_evolution", run_scipy),
    "penalty100": ("DifferentialEvolution, f + 100 violation", penalty(100.0)),
    "penalty1e6": ("DifferentialEvolution, f + 1e6 violation", penalty(1e6)),
}


def solved_table(args: argparse.Namespace) -> None:
    methods = [m for m in METHODS if not args.only or m in args.only]
    solved = {m: {} for m in methods}
    seconds = {m: 0.0 for m in methods}
    for number in args.problems:
        for m in methods:
            runs = []
            for seed in args.seeds:
                t = Tracker(number, args.evals)
                start = time.process_time()
                METHODS[m][1](t, seed)
                seconds[m] += time.process_time() - start
                runs.append(t.solved_at)
            solved[m][number] = runs
        print(f"G{number}: " + "  ".join(f"{m} {sum(r is not None for r in solved[m][number])}" for m in methods),
              flush=True)
    print()
    print("| problem | " + " | ".join(METHODS[m][0] for m in methods) + " |")
    print("|---|" + "---:|" * len(methods))
    for number in args.problems:
        cells = []
        for m in methods:
            runs = solved[m][number]
            hits = [r for r in runs if r is not None]
            cells.append(f"{len(hits)}/{len(runs)}" + (f" ({int(np.median(hits))})" if hits else ""))
        print(f"| G{number} | " + " | ".join(cells) + " |")
    total = len(args.problems) * len(args.seeds)
    print("| **solved** | " + " | ".join(
        f"**{sum(r is not None for runs in solved[m].values() for r in runs)}/{total}**" for m in methods) + " |")
    print("| CPU s | " + " | ".join(f"{seconds[m]:.1f}" for m in methods) + " |")


# ---------------------------------------------------------------- cost per evaluation


def cost(args: argparse.Namespace) -> None:
    """CPU per evaluation beyond a bare loop of the same calls: DifferentialEvolution's plain
    fit, the same objective returning a row [value, g1, g2, h] in a constrained fit, an integer
    fit; BipopCmaEs and pycma's fmin_con2 on those rows."""
    d, evals = 10, args.evals

    def scalar(x: list[float]) -> float:
        return x[0] * x[0]

    def row(x: list[float]) -> list[float]:
        return [x[0] * x[0], x[1] - 1.0, -x[2], x[3] * 1e-6]

    def fit(objective: Any, **keywords: Any) -> int:
        opt = swarmix.DifferentialEvolution(n_iterations=iterations(evals, 40), random_state=1)
        opt.fit(objective, [-5.0] * d, [5.0] * d, **keywords)
        return 1 + 40 * (1 + iterations(evals, 40))

    def loop(objective: Any, n: int) -> None:
        point = [0.5] * d
        for _ in range(n):
            objective(list(point))

    def best(fn: Callable[[], Any]) -> float:
        times = []
        for _ in range(args.repeat):
            start = time.process_time()
            fn()
            times.append(time.process_time() - start)
        return min(times)

    def report(name: str, t_fit: float, t_loop: float, n: int) -> None:
        print(f"{name:12s} fit {t_fit / n * 1e9:9.1f} ns/eval, bare loop {t_loop / n * 1e9:7.1f} ns/eval, "
              f"beyond the objective {(t_fit - t_loop) / n * 1e9:9.1f} ns/eval ({n} evaluations)")

    n = fit(scalar)
    for name, objective, keywords in (("plain", scalar, {}),
                                      ("constrained", row, {"n_constraints": 2, "n_equalities": 1}),
                                      ("integer", scalar, {"integer": [0, 1, 2, 3, 4]})):
        report(name, best(lambda: fit(objective, **keywords)), best(lambda: loop(objective, n)), n)

    # BipopCmaEs and pycma's fmin_con2 on the same rows (a single run of each: its evaluations).
    def bipop() -> int:
        opt = swarmix.BipopCmaEs(n_evaluations=evals, random_state=1)
        opt.fit(row, [-5.0] * d, [5.0] * d, n_constraints=2, n_equalities=1)
        return 1 + sum(r["evaluations"] for r in opt.runs_)

    n = bipop()
    report("BipopCmaEs", best(bipop), best(lambda: loop(row, n)), n)
    try:
        import cma
    except ImportError:
        return
    seen: list[int] = []

    def pycma() -> None:
        cache: dict[bytes, list[float]] = {}

        def cached(x: np.ndarray) -> list[float]:
            key = x.tobytes()
            if key not in cache:
                cache[key] = row(list(x))
            return cache[key]

        def constraints(x: np.ndarray) -> list[float]:
            r = cached(x)
            return [r[1], r[2], r[3] - TOLERANCE, -r[3] - TOLERANCE]

        cma.fmin_con2(lambda x: cached(x)[0], [0.0] * d, 3.0, constraints, restarts=0,
                      options={"bounds": [-5.0, 5.0], "maxfevals": evals, "seed": 2, "verbose": -9, "verb_log": 0,
                               "verb_disp": 0})
        seen.append(len(cache))

    start = time.process_time()
    pycma()
    t_fit = time.process_time() - start
    report("fmin_con2", t_fit, best(lambda: loop(row, seen[-1])), seen[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--evals", type=int, default=20_000)
    ap.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    ap.add_argument("--problems", type=int, nargs="+", default=PROBLEMS)
    ap.add_argument("--only", nargs="+", choices=list(METHODS))
    ap.add_argument("--cost", action="store_true", help="measure the CPU per evaluation instead")
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    if args.cost:
        cost(args)
    else:
        solved_table(args)


if __name__ == "__main__":
    main()
