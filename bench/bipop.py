"""BipopCmaEs beside pycma's BIPOP: restarts on a multimodal function, and the cost of a
generation at large dimension.

    pip install . -r bench/requirements.txt     # cma, numpy
    nice python bench/bipop.py restarts [--dim 10] [--seeds 11] [--budget 1000000] [--solvers ...]
    nice python bench/bipop.py generation [--dims 100 200 1000] [--generations 60]
    nice python bench/bipop.py cpu [--dims 100 200] [--budget 20000]

restarts: Rastrigin shifted so that its optimum is (1.234, ...) in the box [-5.12, 5.12]^dim;
per seed, whether f <= 1e-8 is reached within --budget evaluations and at which evaluation,
and how many runs it took (a fit stops at the first generation boundary past the target).
pycma runs ``cma.fmin2(..., restarts=9, bipop=True)`` with sigma0 0.3 of the width, the first
run from the centre and later ones from uniform points.

generation: CPU time per generation beyond the objective's own, on an ellipsoid (condition
1e6) from the box's centre, for --generations generations of one run with the default
population: the mean and the largest (the generations that renew the eigendecomposition).
pycma's time is taken around its ask and tell (its BLAS threads counted: process time).

cpu: CPU time per evaluation beyond the objective's own over whole restarting fits on a
trivial objective (bench/bbob.py's measurement), and the ratio to pycma's.

Every time is process time, so other load on the machine counts little.
"""

from __future__ import annotations

import argparse
import math
import statistics
import time
from typing import Any

import numpy as np

import swarmix
from bbob import cpu_per_evaluation

SHIFT = 1.234


def rastrigin(x: Any) -> float:
    s = 10.0 * len(x)
    for v in x:
        v = float(v) - SHIFT
        s += v * v - 10.0 * math.cos(2.0 * math.pi * v)
    return s


def ellipsoid(x: Any) -> float:
    d = len(x)
    s = 0.0
    for i, v in enumerate(x):
        s += 1e6 ** (i / (d - 1)) * float(v) * float(v)
    return s


class Hits:
    """Counts the calls and notes the first at which the value is at or below the target."""

    def __init__(self, f: Any, target: float) -> None:
        self.f, self.target, self.n, self.hit = f, target, 0, None

    def __call__(self, x: Any) -> float:
        self.n += 1
        value = self.f(x)
        if self.hit is None and value <= self.target:
            self.hit = self.n
        return value


def restarts(d: int, seeds: int, budget: int, solvers: list[str]) -> None:
    import cma

    lower, upper = -5.12, 5.12
    print(f"Rastrigin, d = {d}, {budget:,} evaluations, target 1e-8")
    for name in solvers:
        hits, lines = [], []
        start = time.process_time()
        for seed in range(seeds):
            counted = Hits(rastrigin, 1e-8)
            if name == "BipopCmaEs":
                opt = swarmix.BipopCmaEs(n_evaluations=budget, random_state=seed)
                opt.fit(swarmix.Monitor(counted, target=1e-8), [lower] * d, [upper] * d)
                n_runs = len(opt.runs_)
            else:
                starts = Starts(d, lower, upper, seed)
                options = {"bounds": [lower, upper], "maxfevals": budget, "ftarget": 1e-8, "seed": seed + 1,
                           "verbose": -9, "verb_log": 0, "verb_disp": 0}
                cma.fmin2(counted, starts, 0.3 * (upper - lower), options, restarts=9, bipop=True)
                n_runs = starts.n
            hits.append(counted.hit)
            lines.append(f"  seed {seed}: " + (f"1e-8 at {counted.hit:,}" if counted.hit else
                                                 f"missed, {counted.n:,} evaluations") + f", {n_runs} runs")
        reached = sorted(h for h in hits if h is not None)
        median = f", median {statistics.median(reached):,.0f} evaluations" if reached else ""
        print(f"{name}: {len(reached)} of {seeds} seeds reach 1e-8{median} "
              f"({time.process_time() - start:.0f} s)")
        print("\n".join(lines))


class Starts:
    """pycma's start points, one per run: the centre, then uniform points; counts the runs."""

    def __init__(self, d: int, lower: float, upper: float, seed: int) -> None:
        self.d, self.lower, self.upper, self.n = d, lower, upper, 0
        self.rng = np.random.default_rng(seed)

    def __call__(self) -> np.ndarray:
        self.n += 1
        if self.n == 1:
            return np.full(self.d, (self.lower + self.upper) / 2)
        return self.rng.uniform(self.lower, self.upper, self.d)


class Timed:
    """The objective and a monitor that notes the process time at every generation boundary."""

    def __init__(self, f: Any) -> None:
        self.f = f
        self.times: list[float] = []

    def __swarmix_start__(self, fit: dict) -> Any:
        return self.f

    def __swarmix_boundary__(self, completed: int, planned: int, best: float, counts: Any) -> bool:
        self.times.append(time.process_time())
        return False


def objective_seconds(f: Any, d: int, calls: int) -> float:
    x = [0.5] * d
    start = time.process_time()
    for _ in range(calls):
        f(list(x))
    return (time.process_time() - start) / calls


def generation(dims: list[int], generations: int) -> None:
    import cma

    print("| d | population | BipopCmaEs mean / largest (ms) | pycma mean / largest (ms) | ratio of means |")
    print("|---|---|---|---|---|")
    for d in dims:
        lam = 4 + math.floor(3 * math.log(d))
        per_call = objective_seconds(ellipsoid, d, 200)
        timed = Timed(ellipsoid)
        opt = swarmix.BipopCmaEs(n_evaluations=1 + generations * lam, random_state=1)
        opt.fit(timed, [-5.0] * d, [5.0] * d)
        ours = [b - a - lam * per_call for a, b in zip(timed.times, timed.times[1:])]
        es = cma.CMAEvolutionStrategy(np.zeros(d), 3.0, {"bounds": [-5.0, 5.0], "seed": 2, "verbose": -9})
        theirs = []
        for _ in range(generations):
            start = time.process_time()
            points = es.ask()
            values = [ellipsoid(x) for x in points]
            es.tell(points, values)
            theirs.append(time.process_time() - start - len(points) * per_call)
        mean_ours, mean_theirs = statistics.fmean(ours), statistics.fmean(theirs)
        print(f"| {d} | {lam} | {mean_ours * 1e3:.2f} / {max(ours) * 1e3:.1f} | "
              f"{mean_theirs * 1e3:.2f} / {max(theirs) * 1e3:.1f} | {mean_ours / mean_theirs:.3f} |", flush=True)


def cpu(dims: list[int], budget: int) -> None:
    for d in dims:
        out = cpu_per_evaluation(d, budget)
        print(f"d = {d}, {budget:,} evaluations: BipopCmaEs {out['BipopCmaEs']:.1f} us, "
              f"pycma {out['pycma-bipop']:.1f} us per evaluation beyond the objective "
              f"(ratio {out['BipopCmaEs'] / out['pycma-bipop']:.3f})", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="what", required=True)
    r = sub.add_parser("restarts")
    r.add_argument("--dim", type=int, default=10)
    r.add_argument("--seeds", type=int, default=11)
    r.add_argument("--budget", type=int, default=1_000_000)
    r.add_argument("--solvers", nargs="+", default=["BipopCmaEs", "pycma-bipop"], choices=["BipopCmaEs", "pycma-bipop"])
    g = sub.add_parser("generation")
    g.add_argument("--dims", type=int, nargs="+", default=[100, 200, 1000])
    g.add_argument("--generations", type=int, default=60)
    c = sub.add_parser("cpu")
    c.add_argument("--dims", type=int, nargs="+", default=[100, 200])
    c.add_argument("--budget", type=int, default=20_000)
    args = parser.parse_args()
    if args.what == "restarts":
        restarts(args.dim, args.seeds, args.budget, args.solvers)
    elif args.what == "generation":
        generation(args.dims, args.generations)
    else:
        cpu(args.dims, args.budget)


if __name__ == "__main__":
    main()
