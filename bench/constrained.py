"""Constrained single-objective problems: runs solved on CEC 2006 G1-G13 and G24, and the cost of
a constrained fit per evaluation.

    pip install . -r bench/requirements.txt          # pymoo and scipy
    python bench/constrained.py [--evals 20000] [--seeds 0 1 2] [--problems 1 2 ...] [--only de scipy ...]
    python bench/constrained.py --cost               # CPU per evaluation beyond the objective
    python bench/constrained.py --multi [--seeds 0 1 2 3 4] [--only nsga2 nsga3]

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

Several objectives (--multi): pymoo's BNH, TNK, C1-DTLZ1 and C2-DTLZ2 (three objectives; seven
and twelve variables), Nsga2Sbx with n_constraints against pymoo's NSGA2 (its defaults, which
are Nsga2Sbx's: SBX 0.9 / 15, polynomial mutation 1/n / 20), the same population and
generations (pymoo counts its start as a generation; swarmix's probe comes on top); and
C1-DTLZ1 / C2-DTLZ2 with three and five objectives, Nsga3 (its defaults: Deb and Jain's
directions and populations) against pymoo's NSGA3 with the same directions, population and
generations (Jain and Deb's counts). Both evaluate pymoo's own numpy problems. Reported: the
hypervolume of the final feasible non-dominated set (swarmix: `front_values_` when `feasible_`;
pymoo: its feasible `res.opt`), its objectives normalised by the true front's ideal and nadir
points, against 1.1 in each (`swarmix.hypervolume`), the mean over the seeds; for Nsga3 also
the median IGD against pymoo's true front (`swarmix.igd`).

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
    """CPU per evaluation beyond a bare loop of the same calls, of DifferentialEvolution and of
    Nsga2Sbx: a plain fit, the objective returning a row with constraint values in a constrained
    fit, and a fit with five integer coordinates; of BipopCmaEs and pycma's fmin_con2 on the
    constrained rows."""
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
        print(f"{name:20s} fit {t_fit / n * 1e9:9.1f} ns/eval, bare loop {t_loop / n * 1e9:7.1f} ns/eval, "
              f"beyond the objective {(t_fit - t_loop) / n * 1e9:9.1f} ns/eval ({n} evaluations)")

    def two(x: list[float]) -> list[float]:
        return [x[0] * x[0], x[1] * x[1]]

    def two_row(x: list[float]) -> list[float]:
        return [x[0] * x[0], x[1] * x[1], x[1] - 1.0, -x[2]]

    def fit_nsga(objective: Any, **keywords: Any) -> int:  # Nsga2Sbx, 100 x 100
        opt = swarmix.Nsga2Sbx(n_individuals=100, n_iterations=100, random_state=1)
        opt.fit(objective, [-5.0] * d, [5.0] * d, **keywords)
        return 1 + 100 * 101

    n = fit(scalar)
    for name, run, objective, keywords in (
            ("plain", fit, scalar, {}),
            ("constrained", fit, row, {"n_constraints": 2, "n_equalities": 1}),
            ("integer", fit, scalar, {"integer": [0, 1, 2, 3, 4]}),
            ("Nsga2Sbx", fit_nsga, two, {}),
            ("Nsga2Sbx constrained", fit_nsga, two_row, {"n_constraints": 2}),
            ("Nsga2Sbx integer", fit_nsga, two, {"integer": [0, 1, 2, 3, 4]})):
        n = run(objective, **keywords)
        report(name, best(lambda: run(objective, **keywords)), best(lambda: loop(objective, n)), n)

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


# ---------------------------------------------------------------- several objectives

# name -> (pymoo class path, arguments, ideal, nadir of the true front, population, generations)
MULTI_PROBLEMS: dict[str, tuple[str, dict[str, int], list[float], list[float], int, int]] = {
    "BNH": ("pymoo.problems.multi.bnh:BNH", {}, [0.0, 4.0], [136.0, 50.0], 100, 100),
    "TNK": ("pymoo.problems.multi.tnk:TNK", {}, [0.0, 0.0], [1.04, 1.04], 100, 100),
    "C1-DTLZ1": ("pymoo.problems.many.cdtlz:C1DTLZ1", {"n_var": 7, "n_obj": 3}, [0.0] * 3, [0.5] * 3, 92, 500),
    "C2-DTLZ2": ("pymoo.problems.many.cdtlz:C2DTLZ2", {"n_var": 12, "n_obj": 3}, [0.0] * 3, [1.0] * 3, 92, 250),
}
# Nsga3: name, m -> (arguments, nadir, population, generations); Jain and Deb's counts.
MANY_PROBLEMS: dict[tuple[str, int], tuple[dict[str, int], float, int, int]] = {
    ("C1-DTLZ1", 3): ({"n_var": 7, "n_obj": 3}, 0.5, 92, 500),
    ("C1-DTLZ1", 5): ({"n_var": 9, "n_obj": 5}, 0.5, 212, 600),
    ("C2-DTLZ2", 3): ({"n_var": 12, "n_obj": 3}, 1.0, 92, 250),
    ("C2-DTLZ2", 5): ({"n_var": 14, "n_obj": 5}, 1.0, 212, 350),
}


def pymoo_problem(path: str, kwargs: dict[str, int]) -> Any:
    import importlib

    module, name = path.split(":")
    return getattr(importlib.import_module(module), name)(**kwargs)


def normalised_hypervolume(F: Any, ideal: list[float], nadir: list[float]) -> float:
    F = np.asarray(F, dtype=float).reshape(-1, len(ideal))
    if not len(F):
        return 0.0
    Z = (F - np.array(ideal)) / (np.array(nadir) - np.array(ideal))
    return swarmix.hypervolume(Z, [1.1] * len(ideal))


def swarmix_feasible_front(opt: Any, problem: Any) -> np.ndarray:
    """A fit of `opt` on the pymoo problem with its constraints: the front, when feasible."""
    m, ng = problem.n_obj, problem.n_ieq_constr

    def rows(X: np.ndarray) -> np.ndarray:
        out = problem.evaluate(np.asarray(X, dtype=float), return_values_of=["F", "G"], return_as_dictionary=True)
        return np.hstack([np.reshape(out["F"], (len(X), m)), np.reshape(out["G"], (len(X), ng))])

    opt.fit(swarmix.vectorized(rows), [float(v) for v in problem.xl], [float(v) for v in problem.xu], n_constraints=ng)
    return np.array(opt.front_values_ if opt.feasible_ else [], dtype=float)


def pymoo_feasible_front(algorithm: Any, problem: Any, generations: int, seed: int) -> np.ndarray:
    from pymoo.optimize import minimize

    res = minimize(problem, algorithm, ("n_gen", generations + 1), seed=seed, verbose=False)
    opt = res.opt
    return np.array([F for F, ok in zip(opt.get("F"), opt.get("feasible").ravel()) if ok], dtype=float)


def multi_table(args: argparse.Namespace) -> None:
    from pymoo.algorithms.moo.nsga2 import NSGA2
    from pymoo.algorithms.moo.nsga3 import NSGA3

    seeds = args.seeds
    if not args.only or "nsga2" in args.only:
        print(f"Nsga2Sbx against pymoo NSGA2, hypervolume of the feasible front (mean of {len(seeds)} seeds)\n")
        print("| problem | population x generations | Nsga2Sbx | pymoo NSGA2 | difference | CPU s (ours / pymoo) |")
        print("|---|---|---:|---:|---:|---:|")
        for name, (path, kwargs, ideal, nadir, n, gens) in MULTI_PROBLEMS.items():
            ours, theirs, t_ours, t_theirs = [], [], 0.0, 0.0
            for seed in seeds:
                start = time.process_time()
                F = swarmix_feasible_front(swarmix.Nsga2Sbx(n_individuals=n, n_iterations=gens, random_state=seed),
                                           pymoo_problem(path, kwargs))
                t_ours += time.process_time() - start
                ours.append(normalised_hypervolume(F, ideal, nadir))
                start = time.process_time()
                F = pymoo_feasible_front(NSGA2(pop_size=n), pymoo_problem(path, kwargs), gens, seed)
                t_theirs += time.process_time() - start
                theirs.append(normalised_hypervolume(F, ideal, nadir))
            a, b = float(np.mean(ours)), float(np.mean(theirs))
            print(f"| {name} | {n} x {gens} | {a:.4f} | {b:.4f} | {a - b:+.4f} | {t_ours:.1f} / {t_theirs:.1f} |",
                  flush=True)
        print()
    if not args.only or "nsga3" in args.only:
        from pymoo.util.ref_dirs import get_reference_directions

        print(f"Nsga3 against pymoo NSGA3: hypervolume of the feasible front (mean) and IGD against the true front "
              f"(median), {len(seeds)} seeds\n")
        print("| problem | m | population x generations | HV Nsga3 | HV pymoo | IGD Nsga3 | IGD pymoo "
              "| CPU s (ours / pymoo) |")
        print("|---|---:|---|---:|---:|---:|---:|---:|")
        for (name, m), (kwargs, nadir, n, gens) in MANY_PROBLEMS.items():
            path = MULTI_PROBLEMS[name][0]
            partitions = 12 if m == 3 else 6
            directions = np.array(swarmix.reference_directions(m, partitions))
            truth = pymoo_problem(path, kwargs).pareto_front(directions)
            hv: dict[str, list[float]] = {"ours": [], "theirs": []}
            igd: dict[str, list[float]] = {"ours": [], "theirs": []}
            cpu = {"ours": 0.0, "theirs": 0.0}
            for seed in seeds:
                for who in ("ours", "theirs"):
                    start = time.process_time()
                    if who == "ours":
                        F = swarmix_feasible_front(swarmix.Nsga3(n_iterations=gens, random_state=seed),
                                                   pymoo_problem(path, kwargs))
                    else:
                        pymoo_directions = get_reference_directions("das-dennis", m, n_partitions=partitions)
                        F = pymoo_feasible_front(NSGA3(ref_dirs=pymoo_directions, pop_size=n),
                                                 pymoo_problem(path, kwargs), gens, seed)
                    cpu[who] += time.process_time() - start
                    hv[who].append(normalised_hypervolume(F, [0.0] * m, [nadir] * m))
                    igd[who].append(swarmix.igd(F, truth) if len(F) else math.inf)
            print(f"| {name} | {m} | {n} x {gens} | {np.mean(hv['ours']):.4f} | {np.mean(hv['theirs']):.4f} | "
                  f"{np.median(igd['ours']):.5f} | {np.median(igd['theirs']):.5f} | "
                  f"{cpu['ours']:.1f} / {cpu['theirs']:.1f} |", flush=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--evals", type=int, default=20_000)
    ap.add_argument("--seeds", type=int, nargs="+", help="default: 0 1 2 (--multi: 0 1 2 3 4)")
    ap.add_argument("--problems", type=int, nargs="+", default=PROBLEMS)
    ap.add_argument("--only", nargs="+", choices=[*METHODS, "nsga2", "nsga3"])
    ap.add_argument("--cost", action="store_true", help="measure the CPU per evaluation instead")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--multi", action="store_true", help="the multi-objective problems instead (5 seeds by default)")
    args = ap.parse_args()
    args.seeds = args.seeds or ([0, 1, 2, 3, 4] if args.multi else [0, 1, 2])
    if args.multi:
        multi_table(args)
    elif args.cost:
        cost(args)
    else:
        solved_table(args)


if __name__ == "__main__":
    main()
