"""The BBOB functions (COCO's suite): which targets each solver reaches within a budget.

    pip install . -r bench/requirements.txt     # coco-experiment (cocoex), cma, matplotlib
    nice python bench/bbob.py [--dims 5 20] [--instances 1-3] [--budget 1000] [--seeds 1 2 3] \\
        [--functions 6-9] [--solvers BipopCmaEs pycma-bipop ...] [--plot docs/images/bbob.png] \\
        [--json out.json] [--load a.json b.json ...]

Protocol: functions f1-f24, the given dimensions and instances, a budget of --budget x d
evaluations per problem, the box [-5, 5]^d, initial step 0.3 of the box's width. A problem
counts the (function, instance, target) triples reached, for the precisions f - f_opt <= 1e1,
1e-1, 1e-3, 1e-5, 1e-8; only evaluations within the budget count (a swarmix fit is stopped by
a Monitor at the first iteration boundary past the budget). Solvers:

- `BipopCmaEs` and the other continuous swarmix classes, at their defaults (n_iterations set
  to the budget, so the Monitor's stop at the budget ends the fit, or the iterations run out
  where they evaluate nothing);
- `pycma-bipop`: pycma's ``cma.fmin2(..., restarts=9, bipop=True)``, bounds [-5, 5], the first
  run from the centre and later ones from uniform points, like BipopCmaEs;
- `random`: uniform random search.

The table gives the fraction of triples reached, overall and per function group (separable
f1-5, moderate f6-9, ill-conditioned f10-14, multimodal f15-19, weakly structured f20-24),
averaged over the seeds (--seeds: each solver runs every problem once per seed; --functions
restricts the suite, for instance to one group; --load merges saved runs, so a long
comparison can run in pieces);
--plot draws the ECDF of the evaluations (divided by d) at which they are reached, one panel
per dimension. The CPU cost per evaluation of BipopCmaEs and pycma without the objective is
measured on a trivial objective at the largest dimension, in the same process (--cpu).
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from typing import Any

import numpy as np

import swarmix

TARGETS = (1e1, 1e-1, 1e-3, 1e-5, 1e-8)
GROUPS = {"separable": range(1, 6), "moderate": range(6, 10), "ill-conditioned": range(10, 15),
          "multimodal": range(15, 20), "weakly structured": range(20, 25)}
OURS = ["BipopCmaEs", "CmaEsOptimizer", "DifferentialEvolution", "ParticleSwarm", "BeeColony", "GreyWolfOptimizer",
        "FireflyOptimizer", "SimulatedAnnealing", "CuckooSearch", "BatAlgorithm", "GlowwormOptimizer",
        "BacterialForagingOptimizer"]
SOLVERS = OURS + ["pycma-bipop", "random"]


class Budget(Exception):
    """The budget is used up (ends a peer's run)."""


class Tracked:
    """The problem behind a counter that notes when each target is first reached."""

    def __init__(self, problem: Any, budget: int, raise_at_budget: bool = False) -> None:
        self.problem = problem
        self.budget = budget
        self.raise_at_budget = raise_at_budget
        best = problem._best_value
        self.fopt = best() if callable(best) else best
        self.n = 0
        self.best = math.inf
        self.hits: list[int | None] = [None] * len(TARGETS)

    def __call__(self, x: Any) -> float:
        if self.n >= self.budget and self.raise_at_budget:
            raise Budget
        self.n += 1
        value = float(self.problem(x))
        if self.n <= self.budget and value - self.fopt < self.best:
            self.best = value - self.fopt
            for k, t in enumerate(TARGETS):
                if self.hits[k] is None and self.best <= t:
                    self.hits[k] = self.n
        return value


def run_ours(name: str, tracked: Tracked, d: int, seed: int) -> None:
    cls = getattr(swarmix, name)
    lower, upper = [-5.0] * d, [5.0] * d
    if name == "BipopCmaEs":
        opt = cls(n_evaluations=tracked.budget, random_state=seed)
        opt.fit(tracked, lower, upper)
        return
    # At most the budget in iterations (every class but the glowworms evaluates in each one),
    # so the fit ends even where iterations evaluate nothing.
    opt = cls(n_iterations=tracked.budget, random_state=seed)
    opt.fit(swarmix.Monitor(tracked, max_evaluations=tracked.budget), lower, upper)


def run_pycma(tracked: Tracked, d: int, seed: int) -> None:
    import cma

    rng = np.random.default_rng(seed)
    first = [True]

    def x0() -> np.ndarray:  # the centre first, then uniform points
        if first[0]:
            first[0] = False
            return np.zeros(d)
        return rng.uniform(-5.0, 5.0, d)

    options = {"bounds": [-5.0, 5.0], "maxfevals": tracked.budget, "verbose": -9, "seed": seed + 1,
               "verb_log": 0, "verb_disp": 0}
    try:
        cma.fmin2(tracked, x0, 3.0, options, restarts=9, bipop=True)
    except Budget:
        pass


def run_random(tracked: Tracked, d: int, seed: int) -> None:
    rng = np.random.default_rng(seed)
    for x in rng.uniform(-5.0, 5.0, (tracked.budget, d)):
        tracked(x)


def bbob(dims: list[int], instances: str, functions: str, budget_factor: int, solvers: list[str],
         seeds: list[int], label: str = "") -> dict:
    """results[d][solver] = rows [function, instance, hits], one per problem and seed."""
    import cocoex

    def suite(d: int) -> Any:
        options = f"dimensions:{d} instance_indices:{instances}"
        if functions:
            options += f" function_indices:{functions}"
        return cocoex.Suite("bbob", "", options)

    runners = {s: (lambda tracked, problem, seed, s=s: run_ours(s, tracked, problem.dimension, seed)) for s in OURS}
    runners["pycma-bipop"] = lambda tracked, problem, seed: run_pycma(tracked, problem.dimension, seed)
    runners["random"] = lambda tracked, problem, seed: run_random(tracked, problem.dimension, seed)
    return suite_rows(suite, dims, budget_factor, solvers, seeds, label, runners, raising={"pycma-bipop"})


def suite_rows(suite: Any, dims: list[int], budget_factor: int, solvers: list[str], seeds: list[int], label: str,
               runners: dict, raising: set[str]) -> dict:
    """results[d][solver] = rows [function, instance, hits]: runners[solver](tracked, problem, seed) on
    each problem of suite(d) for each seed, budget_factor x d evaluations each (a solver of
    `raising` is stopped by an exception at the budget)."""
    import cocoex

    cocoex.log_level("error")
    results: dict = {}
    for d in dims:
        problems = suite(d)
        for solver in solvers:
            start = time.process_time()
            rows = []
            for seed in seeds:
                for problem in problems:
                    tracked = Tracked(problem, budget_factor * d, raise_at_budget=solver in raising)
                    runners[solver](tracked, problem, seed)
                    rows.append([problem.id_function, problem.id_instance, tracked.hits])
            results.setdefault(str(d), {})[f"{solver} ({label})" if label else solver] = rows
            print(f"d={d} {solver}: {fraction(rows):.3f} ({time.process_time() - start:.0f} s)", file=sys.stderr,
                  flush=True)
    return results


def merge(parts: list[dict]) -> dict:
    """Saved results joined: the rows of the same dimension and solver follow each other."""
    results: dict = {}
    for part in parts:
        for d, by_solver in part.items():
            for solver, rows in by_solver.items():
                results.setdefault(d, {}).setdefault(solver, []).extend(rows)
    return results


def fraction(rows: list, functions: Any = range(1, 25)) -> float:
    picked = [hits for f, _, hits in rows if f in functions]
    if not picked:
        return math.nan
    return sum(h is not None for hits in picked for h in hits) / (len(picked) * len(TARGETS))


def cell(x: float) -> str:
    return "-" if math.isnan(x) else f"{x:.3f}"


def table(results: dict) -> str:
    """One row per solver and dimension: the fraction overall and per group."""
    dims = list(results)
    solvers = list(dict.fromkeys(s for d in dims for s in results[d]))
    lines = ["| solver | d | all | " + " | ".join(GROUPS) + " |", "|---" * (3 + len(GROUPS)) + "|"]
    for s in solvers:
        for d in dims:
            if s in results[d]:
                rows = results[d][s]
                cells = [cell(fraction(rows))] + [cell(fraction(rows, GROUPS[g])) for g in GROUPS]
                lines.append(f"| `{s}` | {d} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def plot(results: dict, path: str, budget_factor: int, suite: str = "BBOB f1-f24") -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    dims = list(results)
    solvers = list(dict.fromkeys(s for d in dims for s in results[d]))  # one colour each, in every panel
    fig, axes = plt.subplots(1, len(dims), figsize=(6.5 * len(dims), 5), squeeze=False)
    for ax, d in zip(axes[0], dims):
        for s, rows in results[d].items():
            steps = sorted(h / int(d) for _, _, hits in rows for h in hits if h is not None)
            total = len(rows) * len(TARGETS)
            xs = [1.0] + steps + [budget_factor]
            ys = [0.0] + [(k + 1) / total for k in range(len(steps))] + [len(steps) / total]
            bold = s.startswith(("BipopCmaEs", "pycma-bipop")) and "relaxed" not in s
            ax.step(xs, ys, where="post", label=s, linewidth=2.2 if bold else 1.0, color=f"C{solvers.index(s) % 10}",
                    linestyle=":" if s.startswith("random") else "-")
        ax.set_xscale("log")
        ax.set_xlim(1, budget_factor)
        ax.set_ylim(0, 1)
        ax.set_xlabel("evaluations / d")
        ax.set_ylabel("fraction of (function, instance, target) reached")
        ax.set_title(f"{suite}, d = {d}, targets 1e1 .. 1e-8")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7, loc="upper left")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def cpu_per_evaluation(d: int, budget: int, repeat: int = 3) -> dict[str, float]:
    """Microseconds of CPU per evaluation beyond the objective's own, on a trivial objective."""
    import cma

    def trivial_list(x: list[float]) -> float:
        return 1.0 + x[0] * x[0]

    def trivial_array(x: np.ndarray) -> float:
        return 1.0 + float(x[0]) * float(x[0])

    return cost_beyond_objective((
        ("BipopCmaEs", lambda f: swarmix.BipopCmaEs(n_evaluations=budget, random_state=1).fit(
            f, [-5.0] * d, [5.0] * d), trivial_list, [0.5] * d),
        ("pycma-bipop", lambda f: cma.fmin2(f, np.zeros(d), 3.0, {"bounds": [-5.0, 5.0], "maxfevals": budget,
                                                                  "verbose": -9, "seed": 2},
                                            restarts=9, bipop=True), trivial_array, np.full(d, 0.5))), repeat)


def cost_beyond_objective(contenders: Any, repeat: int) -> dict[str, float]:
    """For each (name, run, objective, point): microseconds of CPU per evaluation that run(objective)
    spends beyond a bare loop making the same number of calls at the point; best of `repeat`."""
    out = {}
    for name, runner, objective, arg in contenders:
        best = math.inf
        for _ in range(repeat):
            calls = [0]

            def counted(x: Any, objective: Any = objective) -> float:
                calls[0] += 1
                return objective(x)

            start = time.process_time()
            runner(counted)
            total = time.process_time() - start
            n = calls[0]
            start = time.process_time()
            for _ in range(n):
                counted(arg)
            bare = time.process_time() - start
            best = min(best, (total - bare) / n * 1e6)
        out[name] = best
    return out


def main(run: Any = None, dims: tuple[int, ...] = (5, 20), suite: str = "BBOB f1-f24", cpu: Any = None,
         solvers: list[str] = SOLVERS, description: str | None = __doc__) -> None:
    """The command line of this benchmark; bench/mixint.py runs it with its own suite and solvers."""
    run, cpu = run or bbob, cpu or cpu_per_evaluation
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dims", type=int, nargs="+", default=list(dims))
    parser.add_argument("--instances", default="1-3")
    parser.add_argument("--budget", type=int, default=1000, help="evaluations per dimension")
    parser.add_argument("--solvers", nargs="+", default=solvers, choices=solvers)
    parser.add_argument("--functions", default="", help="a subset of f1-f24, as cocoex reads it (6-9)")
    parser.add_argument("--seeds", type=int, nargs="+", default=[1])
    parser.add_argument("--label", default="", help="names the solvers 'solver (label)' in the results")
    parser.add_argument("--plot")
    parser.add_argument("--json", help="write the raw hits here")
    parser.add_argument("--load", nargs="+", help="read the raw hits from here instead of running")
    parser.add_argument("--cpu", action="store_true", help="also time BipopCmaEs and pycma per evaluation")
    args = parser.parse_args()
    if args.load:
        parts = []
        for path in args.load:
            with open(path) as fh:
                parts.append(json.load(fh))
        results = merge(parts)
    else:
        results = run(args.dims, args.instances, args.functions, args.budget, args.solvers, args.seeds, args.label)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(results, fh)
    print(table(results))
    if args.plot:
        plot(results, args.plot, args.budget, suite)
    if args.cpu:
        d = max(int(d) for d in results) if results else max(args.dims)
        costs = cpu(d, args.budget * d)
        print(f"\nCPU per evaluation without the objective, d = {d}: " +
              ", ".join(f"{k} {v:.1f} us" for k, v in costs.items()) +
              f" (ratio {costs['BipopCmaEs'] / costs['pycma-bipop']:.3f})")


if __name__ == "__main__":
    main()
