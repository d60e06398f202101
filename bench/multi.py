"""Several objectives: Nsga2Sbx, Nsga2Optimizer and MopsoOptimizer beside pymoo's NSGA-II.

    python bench/multi.py [--seeds 3] [--evaluations 10000] [--plot docs/images/fronts.png]
    python bench/multi.py --hypervolume-cost
    python bench/multi.py --mixint [--seeds 5]

Problems: ZDT1, ZDT2, ZDT3 (30 variables) and DTLZ2 (3 objectives, 12 variables). Every
contender gets the same budget of objective evaluations (swarmix's probe call comes on top
and is not counted): Nsga2Sbx with its defaults (population 100), Nsga2Optimizer and
MopsoOptimizer with theirs, their iteration counts set to spend the budget; pymoo's NSGA2
with population 100 and its default SBX and polynomial mutation, stopped at the budget.
swarmix's objectives are numpy functions through `swarmix.vectorized` (one call per group);
pymoo evaluates its own numpy problems.

Reported per contender and problem, mean ± standard deviation over the seeds:
- hypervolume of the final non-dominated set (swarmix: `front_values_`; pymoo: `res.F`),
  by pymoo's indicator against 1.1 x the true front's nadir; the true front's own value in
  the header;
- IGD against a sampling of the true front (1000 points on ZDT, 861 on DTLZ2);
- CPU time per evaluation with the objective excluded: the process time of the whole run
  minus the process time spent inside the objective, divided by the evaluations.

Integer coordinates (--mixint): a mixed-integer ZDT1 in 10 variables, x0 in [0, 1] and x1..x4
in [-1, 1] continuous, x5..x9 integers in [-10, 10]; g = 1 + (x1² + ... + x4² + (x5/10)² + ...
+ (x9/10)²), f1 = x0, f2 = g (1 - sqrt(x0 / g)). The front needs every distance variable at 0,
the integers in the middle of their range (no bound to lean on). Nsga2Sbx with integer=
against pymoo's NSGA2 with its documented handling of integer variables (SBX and polynomial
mutation each followed by a rounding repair, here of the integer coordinates only; a rounded
random start; duplicates eliminated), the same operators and indices, population 100, 100
generations: a fair test of what each does around the rounding. The hypervolume of the final
non-dominated set against (1.1, 1.1) (the true front's 0.8767), mean ± sd over the seeds.
pymoo is a benchmark-only dependency (bench/requirements.txt).
"""

import argparse
import os
import statistics
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from pymoo.algorithms.moo.nsga2 import NSGA2  # noqa: E402
from pymoo.config import Config  # noqa: E402
from pymoo.indicators.hv import HV  # noqa: E402
from pymoo.indicators.igd import IGD  # noqa: E402
from pymoo.optimize import minimize  # noqa: E402
from pymoo.problems.many.dtlz import DTLZ2  # noqa: E402
from pymoo.problems.multi.zdt import ZDT1, ZDT2, ZDT3  # noqa: E402
from pymoo.util.ref_dirs import get_reference_directions  # noqa: E402
from pymoo.util.nds.non_dominated_sorting import NonDominatedSorting  # noqa: E402

from swarmix import MopsoOptimizer, Nsga2Optimizer, Nsga2Sbx, vectorized  # noqa: E402

Config.warnings["not_compiled"] = False


# ---------------------------------------------------------------- the problems, as numpy rows

def zdt_g(X):
    return 1.0 + 9.0 * X[:, 1:].sum(axis=1) / (X.shape[1] - 1)


def zdt1(X):
    g = zdt_g(X)
    return np.column_stack([X[:, 0], g * (1.0 - np.sqrt(X[:, 0] / g))])


def zdt2(X):
    g = zdt_g(X)
    return np.column_stack([X[:, 0], g * (1.0 - (X[:, 0] / g) ** 2)])


def zdt3(X):
    g = zdt_g(X)
    f1 = X[:, 0]
    return np.column_stack([f1, g * (1.0 - np.sqrt(f1 / g) - f1 / g * np.sin(10.0 * np.pi * f1))])


def dtlz2(X):
    g = ((X[:, 2:] - 0.5) ** 2).sum(axis=1)
    a, b = X[:, 0] * np.pi / 2, X[:, 1] * np.pi / 2
    return np.column_stack([(1 + g) * np.cos(a) * np.cos(b), (1 + g) * np.cos(a) * np.sin(b), (1 + g) * np.sin(a)])


PROBLEMS = [  # name, rows, pymoo problem class and arguments, the true front's sampling
    ("ZDT1", zdt1, ZDT1, {"n_var": 30}, {"n_pareto_points": 1000}),
    ("ZDT2", zdt2, ZDT2, {"n_var": 30}, {"n_pareto_points": 1000}),
    ("ZDT3", zdt3, ZDT3, {"n_var": 30}, {"n_points": 1000}),
    ("DTLZ2", dtlz2, DTLZ2, {"n_var": 12, "n_obj": 3},
     {"ref_dirs": get_reference_directions("das-dennis", 3, n_partitions=40)}),  # 861 points
]


class Timed:
    """A numpy objective that counts its rows and the process time spent in it."""

    def __init__(self, rows):
        self.rows, self.evaluations, self.spent = rows, 0, 0.0

    def __call__(self, X):
        start = time.process_time()
        X = np.asarray(X)
        F = self.rows(X)
        self.spent += time.process_time() - start
        self.evaluations += len(X)
        return F


def timed_pymoo(cls, kwargs):
    class TimedProblem(cls):
        spent = 0.0

        def _evaluate(self, x, out, *args, **kw):
            start = time.process_time()
            super()._evaluate(x, out, *args, **kw)
            self.spent += time.process_time() - start

    return TimedProblem(**kwargs)


def non_dominated(F):
    F = np.asarray(F, dtype=float)
    return F[NonDominatedSorting().do(F, only_non_dominated_front=True)]


# ---------------------------------------------------------------- the contenders

def swarmix_run(make, rows, dims, budget, seed):
    objective = Timed(rows)
    opt = make(budget, seed)
    start = time.process_time()
    opt.fit(vectorized(objective), [0.0] * dims, [1.0] * dims)
    elapsed = time.process_time() - start
    evaluations = objective.evaluations - 1  # the probe
    return non_dominated(opt.front_values_), (elapsed - objective.spent) / objective.evaluations, evaluations


def nsga2_sbx(budget, seed):
    return Nsga2Sbx(n_iterations=budget // 100 - 1, random_state=seed)


def nsga2_optimizer(budget, seed):
    return Nsga2Optimizer(n_iterations=budget // 40 - 1, random_state=seed)


def mopso(budget, seed):
    return MopsoOptimizer(n_iterations=budget // 30 - 1, random_state=seed)


def pymoo_run(cls, kwargs, budget, seed):
    problem = timed_pymoo(cls, kwargs)
    start = time.process_time()
    res = minimize(problem, NSGA2(pop_size=100), ("n_evals", budget), seed=seed, verbose=False)
    elapsed = time.process_time() - start
    evaluations = res.algorithm.evaluator.n_eval
    return non_dominated(res.F), (elapsed - problem.spent) / evaluations, evaluations


CONTENDERS = ["Nsga2Sbx", "Nsga2Optimizer", "MopsoOptimizer", "pymoo NSGA2"]
MAKERS = {"Nsga2Sbx": nsga2_sbx, "Nsga2Optimizer": nsga2_optimizer, "MopsoOptimizer": mopso}


def mean_sd(values, digits=3):
    mean = statistics.fmean(values)
    sd = statistics.stdev(values) if len(values) > 1 else 0.0
    return f"{mean:.{digits}f} ± {sd:.{digits}f}"


# ---------------------------------------------------------------- integer coordinates

MIXINT_INTEGER = [5, 6, 7, 8, 9]
MIXINT_LOWER = [0.0] + [-1.0] * 4 + [-10.0] * 5
MIXINT_UPPER = [1.0] + [1.0] * 4 + [10.0] * 5


def mixint_zdt1(X):
    X = np.asarray(X, dtype=float)
    g = 1.0 + (X[:, 1:5] ** 2).sum(axis=1) + ((X[:, 5:] / 10.0) ** 2).sum(axis=1)
    return np.column_stack([X[:, 0], g * (1.0 - np.sqrt(X[:, 0] / g))])


def mixint(seeds):
    from pymoo.core.problem import Problem
    from pymoo.core.repair import Repair
    from pymoo.operators.crossover.sbx import SBX
    from pymoo.operators.mutation.pm import PM

    class Rows(Problem):
        def __init__(self):
            super().__init__(n_var=10, n_obj=2, xl=np.array(MIXINT_LOWER), xu=np.array(MIXINT_UPPER))

        def _evaluate(self, x, out, *args, **kwargs):
            out["F"] = mixint_zdt1(x)

    class RoundIntegers(Repair):
        def _do(self, problem, X, **kwargs):
            X[:, MIXINT_INTEGER] = np.round(X[:, MIXINT_INTEGER])
            return X

    hv = HV(ref_point=np.array([1.1, 1.1]))
    results = {"Nsga2Sbx": [], "pymoo NSGA2 (rounding)": []}
    cpu = {name: 0.0 for name in results}
    for seed in range(seeds):
        start = time.process_time()
        opt = Nsga2Sbx(n_individuals=100, n_iterations=100, random_state=seed)
        opt.fit(vectorized(mixint_zdt1), MIXINT_LOWER, MIXINT_UPPER, integer=MIXINT_INTEGER)
        cpu["Nsga2Sbx"] += time.process_time() - start
        results["Nsga2Sbx"].append(float(hv(non_dominated(opt.front_values_))))

        start = time.process_time()
        rng = np.random.default_rng(seed)
        lower, upper = np.array(MIXINT_LOWER), np.array(MIXINT_UPPER)
        X = lower + rng.random((100, 10)) * (upper - lower)
        X[:, MIXINT_INTEGER] = np.round(X[:, MIXINT_INTEGER])
        algorithm = NSGA2(pop_size=100, sampling=X, crossover=SBX(prob=0.9, eta=15, repair=RoundIntegers()),
                          mutation=PM(eta=20, repair=RoundIntegers()), eliminate_duplicates=True)
        res = minimize(Rows(), algorithm, ("n_gen", 101), seed=seed, verbose=False)
        cpu["pymoo NSGA2 (rounding)"] += time.process_time() - start
        results["pymoo NSGA2 (rounding)"].append(float(hv(non_dominated(res.F))))
        print(f"seed {seed}: " + ", ".join(f"{k} {v[-1]:.4f}" for k, v in results.items()), flush=True)
    print()
    print(f"| mixed-integer ZDT1, 100 x 100 | hypervolume (true front 0.8767), mean ± sd of {seeds} seeds | CPU s |")
    print("|---|---:|---:|")
    for name, values in results.items():
        print(f"| {name} | {mean_sd(values, 4)} | {cpu[name]:.1f} |")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, help="default 3 (--mixint: 5)")
    ap.add_argument("--evaluations", type=int, default=10000)
    ap.add_argument("--plot", help="write a picture of the fronts (first seed) to this file")
    ap.add_argument("--hypervolume-cost", action="store_true", help="only time the exact hypervolume")
    ap.add_argument("--mixint", action="store_true", help="only the mixed-integer problem (5 seeds by default)")
    args = ap.parse_args()
    if args.mixint:
        mixint(args.seeds or 5)
        return
    args.seeds = args.seeds or 3
    if args.hypervolume_cost:
        hypervolume_cost()
        return

    results = {}  # (problem, contender) -> [(hv, igd, cpu per evaluation, evaluations, front)]
    truths = {}
    for name, rows, cls, kwargs, sampling in PROBLEMS:
        front = cls(**kwargs).pareto_front(**sampling)
        hv = HV(ref_point=1.1 * front.max(axis=0))
        igd = IGD(front)
        truths[name] = (front, hv(front))
        for seed in range(args.seeds):
            for contender in CONTENDERS:
                if contender in MAKERS:
                    F, cpu, n = swarmix_run(MAKERS[contender], rows, kwargs["n_var"], args.evaluations, seed)
                else:
                    F, cpu, n = pymoo_run(cls, kwargs, args.evaluations, seed)
                results.setdefault((name, contender), []).append((float(hv(F)), float(igd(F)), cpu, n, F))
            print(f"{name} seed {seed} done", flush=True)

    print()
    header = "| contender | " + " | ".join(f"{n} ({truths[n][1]:.3f})" for n, *_ in PROBLEMS) + " |"
    rule = "|---" * (len(PROBLEMS) + 1) + "|"
    for title, column, digits in (("Hypervolume (the true front's in brackets)", 0, 3), ("IGD", 1, 4)):
        print(f"{title}, mean ± sd over {args.seeds} seeds\n")
        print(header if column == 0 else header.replace(" (", " <!--").replace(") |", "--> |"))
        print(rule)
        for contender in CONTENDERS:
            cells = [mean_sd([r[column] for r in results[n, contender]], digits) for n, *_ in PROBLEMS]
            print(f"| {contender} | " + " | ".join(cells) + " |")
        print()
    print("CPU µs per evaluation, objective excluded (mean over seeds); evaluations per run\n")
    print("| contender | " + " | ".join(n for n, *_ in PROBLEMS) + " | evaluations |")
    print(rule + "---|")
    for contender in CONTENDERS:
        cells = [f"{statistics.fmean(r[2] for r in results[n, contender]) * 1e6:.2f}" for n, *_ in PROBLEMS]
        counts = sorted({r[3] for n, *_ in PROBLEMS for r in results[n, contender]})
        print(f"| {contender} | " + " | ".join(cells) + f" | {', '.join(map(str, counts))} |")

    if args.plot:
        plot(args.plot, results, truths)


def hypervolume_cost():
    """The exact hypervolume's time on k mutually non-dominated points (on the unit sphere's
    positive part, the costliest case: every point counts) in m objectives."""
    from swarmix import _testing

    rng = np.random.default_rng(0)
    print("| objectives | " + " | ".join(f"{k} points" for k in (100, 200, 400)) + " |")
    print("|---|---:|---:|---:|")
    for m in (2, 3, 4):
        cells = []
        for k in (100, 200, 400):
            P = np.abs(rng.normal(size=(k, m)))
            P = (P / np.linalg.norm(P, axis=1, keepdims=True)).tolist()
            rounds, start = 0, time.perf_counter()
            while rounds == 0 or time.perf_counter() - start < 0.5:
                _testing.hypervolume(P, [1.1] * m)
                rounds += 1
            cells.append(f"{(time.perf_counter() - start) / rounds * 1e3:.2f} ms")
        print(f"| {m} | " + " | ".join(cells) + " |")


def plot(path, results, truths):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(16, 4.2))
    markers = {"Nsga2Sbx": ("o", "tab:blue"), "Nsga2Optimizer": ("s", "tab:orange"),
               "MopsoOptimizer": ("^", "tab:green"), "pymoo NSGA2": ("x", "tab:red")}
    for k, (name, *_rest) in enumerate(PROBLEMS):
        front = truths[name][0]
        three = front.shape[1] == 3
        ax = fig.add_subplot(1, len(PROBLEMS), k + 1, **({"projection": "3d"} if three else {}))
        coords = front.T if three else front.T
        ax.scatter(*coords, s=2, c="lightgray", label="true front")
        for contender, (marker, colour) in markers.items():
            F = results[name, contender][0][4]
            ax.scatter(*F.T, s=10, marker=marker, c=colour, label=contender, linewidths=0.8)
        ax.set_title(f"{name}, first seed")
        if not three:
            ax.set_xlabel("f1")
            ax.set_ylabel("f2")
    fig.axes[0].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    main()
