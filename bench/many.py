"""Many objectives: Nsga3 and Nsga2Sbx beside pymoo's NSGA-III on DTLZ1-DTLZ4.

    nice python bench/many.py [--seeds 5] [--objectives 3 5 8] [--problems 1 2 3 4]
                              [--plot docs/images/many.png]
    nice python bench/many.py --hypervolume

Deb and Jain's settings (IEEE TEVC 18(4), 2014): k = 5 distance variables for DTLZ1 and 10 for
DTLZ2-4 (n = m + k - 1), their reference directions (m = 3: 12 partitions, 91 directions;
m = 5: 6, 210; m = 8: 3 + 2 in two layers, 156), populations 92 / 212 / 156 and their
generation counts; SBX with rate 1 and index 30, polynomial mutation with rate 1 / n and
index 20. Every contender gets the same population and generations (swarmix's probe call
comes on top): Nsga3 with its defaults (which are these settings), Nsga2Sbx with
n_individuals set to the population, pymoo's NSGA3 with the same directions and population
(its own SBX and polynomial mutation at these indices) for one generation more (pymoo counts
the initial population as the first).

swarmix's objectives are numpy functions through `swarmix.vectorized` (one call per
generation); pymoo evaluates its own numpy DTLZ problems. Reported per problem and m, over the
seeds 0 .. seeds-1:
- IGD of the final non-dominated set (swarmix: `front_values_`; pymoo: `res.F`) against the
  true front at the reference directions (DTLZ1: w / 2; DTLZ2-4: w / |w|): the median;
- for m <= 5, the hypervolume against 1.1 x the true nadir (exact, `swarmix.hypervolume`),
  divided by the true front's (known in closed form): the mean;
- CPU time per evaluation with the objective excluded: the process time of the whole run
  minus the process time spent inside the objective, divided by the evaluations (the mean).
`--hypervolume` times `swarmix.hypervolume` against moocore's on mutually non-dominated
points (uniform on the positive part of the unit sphere, on the unit simplex, and 1 minus the
sphere's, a convex front; a numpy array, reference 1.1 per objective), process time, the
median of repeated runs.
pymoo and moocore are benchmark-only dependencies (bench/requirements.txt).
"""

import argparse
import math
import os
import statistics
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import swarmix  # noqa: E402
from swarmix import Nsga2Sbx, Nsga3, vectorized  # noqa: E402

from multi import Timed, timed_pymoo  # noqa: E402  (this folder's bench/multi.py)

# Deb and Jain's table: m -> (partitions, inner partitions, population).
SETTINGS = {3: (12, 0, 92), 5: (6, 0, 212), 8: (3, 2, 156), 10: (3, 2, 276), 15: (2, 1, 136)}
GENERATIONS = {  # problem -> {m: generations}
    1: {3: 400, 5: 600, 8: 750, 10: 1000, 15: 1500},
    2: {3: 250, 5: 350, 8: 500, 10: 750, 15: 1000},
    3: {3: 1000, 5: 1000, 8: 1000, 10: 1500, 15: 2000},
    4: {3: 600, 5: 1000, 8: 1250, 10: 2000, 15: 3000},
}
CONTENDERS = ["Nsga3", "pymoo NSGA3", "Nsga2Sbx"]


# ---------------------------------------------------------------- DTLZ1-4 as numpy rows

def dtlz(problem, m):
    """The objective of DTLZ<problem> with m objectives on rows X."""

    def rastrigin_g(Z):
        return 100.0 * (Z.shape[1] + ((Z - 0.5) ** 2 - np.cos(20.0 * np.pi * (Z - 0.5))).sum(axis=1))

    def rows(X):
        X = np.asarray(X, dtype=float)
        head, tail = X[:, : m - 1], X[:, m - 1:]
        if problem == 1:
            g = rastrigin_g(tail)
            F = np.empty((len(X), m))
            for i in range(m):
                f = 0.5 * (1.0 + g)
                f = f * np.prod(head[:, : m - 1 - i], axis=1)
                if i > 0:
                    f = f * (1.0 - head[:, m - 1 - i])
                F[:, i] = f
            return F
        g = rastrigin_g(tail) if problem == 3 else ((tail - 0.5) ** 2).sum(axis=1)
        theta = (head ** 100.0 if problem == 4 else head) * (np.pi / 2)
        F = np.empty((len(X), m))
        for i in range(m):
            f = 1.0 + g
            f = f * np.prod(np.cos(theta[:, : m - 1 - i]), axis=1)
            if i > 0:
                f = f * np.sin(theta[:, m - 1 - i])
            F[:, i] = f
        return F

    return rows


def variables(problem, m):
    return m + (5 if problem == 1 else 10) - 1


def true_front(problem, directions):
    W = np.asarray(directions)
    return W / 2.0 if problem == 1 else W / np.linalg.norm(W, axis=1, keepdims=True)


def true_hypervolume(problem, m, r):
    """The volume dominated by the true front inside [0, r]^m: the box less the region the front
    bounds (the simplex sum f <= 1/2, or the unit ball's positive part)."""
    if problem == 1:
        return r ** m - 0.5 ** m / math.factorial(m)
    return r ** m - math.pi ** (m / 2) / math.gamma(m / 2 + 1) / 2 ** m


def non_dominated(F):
    F = np.asarray(F, dtype=float)
    keep = [i for i in range(len(F)) if not any(np.all(F[j] <= F[i]) and np.any(F[j] < F[i]) for j in range(len(F)))]
    return F[keep]


# ---------------------------------------------------------------- the contenders

def run_swarmix(contender, problem, m, seed):
    objective = Timed(dtlz(problem, m))
    n = variables(problem, m)
    generations = GENERATIONS[problem][m]
    if contender == "Nsga3":
        opt = Nsga3(n_iterations=generations, random_state=seed)
    else:
        opt = Nsga2Sbx(n_individuals=SETTINGS[m][2], n_iterations=generations, random_state=seed)
    start = time.process_time()
    opt.fit(vectorized(objective), [0.0] * n, [1.0] * n)
    elapsed = time.process_time() - start
    return np.asarray(opt.front_values_), (elapsed - objective.spent) / objective.evaluations, objective.evaluations - 1


def run_pymoo(problem, m, seed):
    from pymoo.algorithms.moo.nsga3 import NSGA3
    from pymoo.config import Config
    from pymoo.optimize import minimize
    from pymoo.problems.many import dtlz as pymoo_dtlz

    Config.warnings["not_compiled"] = False
    pymoo_problem = timed_pymoo(getattr(pymoo_dtlz, f"DTLZ{problem}"), {"n_var": variables(problem, m), "n_obj": m})
    algorithm = NSGA3(ref_dirs=pymoo_directions(m), pop_size=SETTINGS[m][2])
    start = time.process_time()
    res = minimize(pymoo_problem, algorithm, ("n_gen", GENERATIONS[problem][m] + 1), seed=seed, verbose=False)
    elapsed = time.process_time() - start
    evaluations = res.algorithm.evaluator.n_eval
    return non_dominated(res.F), (elapsed - pymoo_problem.spent) / evaluations, evaluations


def pymoo_directions(m):
    from pymoo.util.ref_dirs import get_reference_directions

    outer, inner, _ = SETTINGS[m]
    if not inner:
        return get_reference_directions("das-dennis", m, n_partitions=outer)
    return get_reference_directions("multi-layer", get_reference_directions("das-dennis", m, n_partitions=outer),
                                    get_reference_directions("das-dennis", m, n_partitions=inner, scaling=0.5))


# ---------------------------------------------------------------- the report

def quality(problem, m, F):
    outer, inner, _ = SETTINGS[m]
    truth = true_front(problem, swarmix.reference_directions(m, outer, inner))
    igd = swarmix.igd(F, truth)
    if m > 5:
        return igd, None
    r = 1.1 * (0.5 if problem == 1 else 1.0)
    return igd, swarmix.hypervolume(F, [r] * m) / true_hypervolume(problem, m, r)


def benchmark(args):
    results = {}  # (problem, m, contender) -> [(igd, hv, cpu per evaluation, evaluations, front)]
    for m in args.objectives:
        for problem in args.problems:
            for seed in range(args.seeds):
                for contender in args.contenders:
                    if contender == "pymoo NSGA3":
                        F, cpu, evaluations = run_pymoo(problem, m, seed)
                    else:
                        F, cpu, evaluations = run_swarmix(contender, problem, m, seed)
                    igd, hv = quality(problem, m, F)
                    results.setdefault((problem, m, contender), []).append((igd, hv, cpu, evaluations, F))
                    print(f"DTLZ{problem} m={m} seed {seed} {contender}: IGD {igd:.5f}"
                          + (f" HV {hv:.4f}" if hv is not None else "") + f" CPU {cpu * 1e6:.1f} µs/eval",
                          flush=True)
    print()
    print("| problem | m | population × generations | IGD median: Nsga3 | pymoo NSGA3 | Nsga2Sbx | ratio |"
          " HV mean: Nsga3 | pymoo NSGA3 | Nsga2Sbx | CPU µs/eval: Nsga3 | pymoo NSGA3 | Nsga2Sbx |")
    print("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for m in args.objectives:
        for problem in args.problems:
            def column(contender, k, reduce):
                rows = results.get((problem, m, contender))
                if not rows or rows[0][k] is None:
                    return None
                return reduce([r[k] for r in rows])

            igd = {c: column(c, 0, statistics.median) for c in CONTENDERS}
            hv = {c: column(c, 1, statistics.fmean) for c in CONTENDERS}
            cpu = {c: column(c, 2, statistics.fmean) for c in CONTENDERS}

            def text(v, fmt):
                return "–" if v is None else format(v, fmt)

            ratio = igd["Nsga3"] / igd["pymoo NSGA3"] if igd["Nsga3"] and igd["pymoo NSGA3"] else None
            cells = ([f"DTLZ{problem}", str(m), f"{SETTINGS[m][2]} × {GENERATIONS[problem][m]}"]
                     + [text(igd[c], ".4g") for c in CONTENDERS] + [text(ratio, ".2f")]
                     + [text(hv[c], ".4f") for c in CONTENDERS]
                     + [text(None if cpu[c] is None else cpu[c] * 1e6, ".1f") for c in CONTENDERS])
            print("| " + " | ".join(cells) + " |")
    if args.plot:
        plot(args.plot, results)


def plot(path, results):
    """Parallel coordinates of the m = 5 DTLZ2 fronts of the first seed (or of the first m = 5
    problem run), one panel per contender."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    keys = sorted(k for k in results if k[1] == 5)
    problem = 2 if any(k[0] == 2 for k in keys) else keys[0][0]
    panels = [c for c in CONTENDERS if (problem, 5, c) in results]
    fig, axes = plt.subplots(1, len(panels), figsize=(4.4 * len(panels), 3.3), sharey=True)
    for ax, contender in zip(np.atleast_1d(axes), panels):
        igd, _, _, _, F = results[problem, 5, contender][0]
        for row in F:
            ax.plot(range(1, 6), row, color="tab:blue", alpha=0.25, linewidth=0.6)
        ax.set_title(f"{contender}: {len(F)} points, IGD {igd:.4f}")
        ax.set_xticks(range(1, 6), [f"f{i}" for i in range(1, 6)])
        ax.set_ylim(0.0, 1.15 * (0.5 if problem == 1 else 1.0))
    np.atleast_1d(axes)[0].set_ylabel("objective value")
    fig.suptitle(f"DTLZ{problem}, five objectives, seed 0: the final non-dominated points", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    from PIL import Image  # (matplotlib's own dependency) a palette of 64 colours: a small file

    Image.open(path).convert("RGB").quantize(64).save(path, optimize=True)


def hypervolume_timing():
    import moocore

    rng = np.random.default_rng(1)

    def sphere(k, m):
        P = np.abs(rng.standard_normal((k, m)))
        return P / np.linalg.norm(P, axis=1, keepdims=True)

    def simplex(k, m):
        P = rng.exponential(size=(k, m))
        return P / P.sum(axis=1, keepdims=True)

    def convex(k, m):
        return 1.0 - sphere(k, m)

    def cpu(call):
        times = []
        while len(times) < 5 or sum(times) < 0.5:
            start = time.process_time()
            call()
            times.append(time.process_time() - start)
            if sum(times) > 20:
                break
        return statistics.median(times)

    print("| points | m | k | swarmix | moocore | ratio |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, points in (("sphere", sphere), ("simplex", simplex), ("convex", convex)):
        for m, k in ((3, 400), (3, 1000), (4, 400), (4, 1000), (5, 400), (5, 1000), (6, 400)):
            P, ref = points(k, m), np.full(m, 1.1)
            ours, theirs = swarmix.hypervolume(P, ref), moocore.hypervolume(P, ref=ref)
            assert abs(ours - theirs) <= 1e-9 * theirs, (ours, theirs)
            a, b = cpu(lambda: swarmix.hypervolume(P, ref)), cpu(lambda: moocore.hypervolume(P, ref=ref))
            print(f"| {name} | {m} | {k} | {a * 1e3:.3f} ms | {b * 1e3:.3f} ms | {a / b:.2f} |", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, default=5)
    ap.add_argument("--objectives", type=int, nargs="+", default=[3, 5, 8], choices=sorted(SETTINGS))
    ap.add_argument("--problems", type=int, nargs="+", default=[1, 2, 3, 4], choices=[1, 2, 3, 4])
    ap.add_argument("--contenders", nargs="+", default=CONTENDERS, choices=CONTENDERS)
    ap.add_argument("--plot", help="write parallel coordinates of the m = 5 fronts (first seed) to this file")
    ap.add_argument("--hypervolume", action="store_true", help="only time the exact hypervolume against moocore")
    args = ap.parse_args()
    if args.hypervolume:
        hypervolume_timing()
    else:
        benchmark(args)


if __name__ == "__main__":
    main()
