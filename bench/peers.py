"""swarmix beside peer libraries: time per 10,000 objective evaluations on one objective.

    pip install . -r bench/requirements.txt     # NiaPy, mealpy, pyswarms, scipy, matplotlib
    python bench/peers.py [--evals 20000] [--dims 10] [--repeat 5] [--plot docs/images/benchmarks.png]

Every optimiser minimises the same plain-Python sphere function over [-5.12, 5.12]^dims
with about the same number of objective evaluations (--evals). A counting wrapper sits
between each library and the objective: it counts the calls actually made, and hands the
objective a Python list (the peers pass numpy arrays, which the wrapper turns into lists
with ``tolist()``; swarmix already passes a fresh list). Times are the best of --repeat
rounds (each round runs every optimiser once), divided by the evaluations counted, and
reported per 10,000 evaluations. The
overhead is the time beyond the bare objective calls, measured as in bench/overhead.py: a
plain Python loop calling the objective on a fresh list the same number of times.

Budgets are set through each library's own knobs (iterations, or an evaluation limit where
it has one), so counts differ slightly; the table reports the count of every run. Results
are printed as a Markdown table; --plot also draws them. Missing libraries are skipped.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import platform
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import swarmix


def sphere(x: list[float]) -> float:
    s = 0.0
    for v in x:
        s = s + v * v
    return s


class Counted:
    """The objective behind a call counter; numpy arrays are handed over as lists."""

    def __init__(self, objective: Callable[[list[float]], float]) -> None:
        self.objective = objective
        self.calls = 0

    def __call__(self, x: Any) -> float:
        self.calls += 1
        return self.objective(x if type(x) is list else x.tolist())


@dataclass
class Entry:
    family: str
    library: str
    implementation: str
    run: Callable[[Counted], float]  # runs one search on the counted objective, returns its best value


@dataclass
class Result:
    entry: Entry
    calls: int
    seconds: float
    best: float
    bare: float  # the same number of bare objective calls

    @property
    def per_10k(self) -> float:
        return self.seconds / self.calls * 1e4

    @property
    def overhead_per_10k(self) -> float:
        return (self.seconds - self.bare) / self.calls * 1e4


class Config:
    def __init__(self, evals: int, dims: int, seed: int) -> None:
        self.evals, self.dims, self.seed = evals, dims, seed
        self.lower, self.upper = [-5.12] * dims, [5.12] * dims


# ---------------------------------------------------------------------------------------- swarmix

SWARMIX = [
    # family, class, population keyword and size, fixed keywords matching the peers' settings
    ("PSO", "ParticleSwarm", "n_particles", 30, {"w": 0.7, "c1": 1.5, "c2": 1.5}),
    ("DE", "DifferentialEvolution", "n_individuals", 40, {"f": 0.8, "cr": 0.9}),
    ("GWO", "GreyWolfOptimizer", "n_wolves", 30, {}),
    ("Firefly", "FireflyOptimizer", "n_fireflies", 20, {}),
    ("Cuckoo", "CuckooSearch", "n_nests", 25, {"pa": 0.25}),
    ("Bat", "BatAlgorithm", "n_bats", 30, {}),
    ("ABC", "BeeColony", "n_bees", 50, {}),
]


def swarmix_entries(cfg: Config) -> list[Entry]:
    out = []
    for family, name, size_key, size, fixed in SWARMIX:
        cls = getattr(swarmix, name, None)
        if cls is None:
            print(f"# swarmix {name}: not in this build, skipped", file=sys.stderr)
            continue

        def make(n_iterations: int, cls: Any = cls, size_key: str = size_key, size: int = size,
                 fixed: dict[str, float] = fixed) -> Any:
            return cls(**{size_key: size}, n_iterations=n_iterations, **fixed, random_state=cfg.seed)

        n_iterations = calibrate(make, cfg)

        def run(f: Counted, make: Callable[[int], Any] = make, n_iterations: int = n_iterations) -> float:
            opt = make(n_iterations)
            opt.fit(f, cfg.lower, cfg.upper)
            return float(opt.score())

        out.append(Entry(family, "swarmix", name, run))
    return out


def calibrate(make: Callable[[int], Any], cfg: Config) -> int:
    """The iteration count whose run makes about cfg.evals objective calls.

    Calls grow linearly with the iterations for most classes; the rate is measured on two
    short runs (the firefly and bee colony counts depend on the values met)."""
    counts = []
    for n_iterations in (5, 10):
        f = Counted(sphere)
        make(n_iterations).fit(f, cfg.lower, cfg.upper)
        counts.append(f.calls)
    rate = max((counts[1] - counts[0]) / 5.0, 1.0)
    return max(1, round((cfg.evals - (counts[0] - 5 * rate)) / rate))


# ------------------------------------------------------------------------------------------ peers

def niapy_entries(cfg: Config) -> list[Entry]:
    try:
        from niapy.algorithms import basic
        from niapy.problems import Problem
        from niapy.task import Task
    except ImportError:
        print("# niapy: not installed, skipped", file=sys.stderr)
        return []

    def entry(family: str, name: str, **params: Any) -> Entry:
        def run(f: Counted) -> float:
            class Wrapped(Problem):  # type: ignore[misc]
                def __init__(self) -> None:
                    super().__init__(cfg.dims, cfg.lower[0], cfg.upper[0])

                def _evaluate(self, x: Any) -> float:
                    return f(x)

            algorithm = getattr(basic, name)(seed=cfg.seed, **params)
            _, best = algorithm.run(Task(problem=Wrapped(), max_evals=cfg.evals))
            return float(best)

        return Entry(family, "NiaPy", name, run)

    return [
        entry("PSO", "ParticleSwarmAlgorithm", population_size=30, w=0.7, c1=1.5, c2=1.5),
        entry("DE", "DifferentialEvolution", population_size=40, differential_weight=0.8, crossover_probability=0.9),
        entry("GWO", "GreyWolfOptimizer", population_size=30),
        entry("Firefly", "FireflyAlgorithm", population_size=20),
        entry("Cuckoo", "CuckooSearch", population_size=25, pa=0.25),
        entry("Bat", "BatAlgorithm", population_size=30),
        entry("ABC", "ArtificialBeeColonyAlgorithm", population_size=50),
    ]


def mealpy_entries(cfg: Config) -> list[Entry]:
    try:
        import mealpy
        from mealpy import FloatVar
    except ImportError:
        print("# mealpy: not installed, skipped", file=sys.stderr)
        return []

    def entry(family: str, module: str, name: str, **params: Any) -> Entry:
        def run(f: Counted) -> float:
            problem = {"obj_func": f, "bounds": FloatVar(lb=cfg.lower, ub=cfg.upper), "minmax": "min",
                       "log_to": None}
            model = getattr(getattr(mealpy, module), name)(epoch=100000, **params)
            best = model.solve(problem, termination={"max_fe": cfg.evals}, seed=cfg.seed)
            return float(best.target.fitness)

        return Entry(family, "mealpy", f"{module}.{name}", run)

    return [
        entry("PSO", "PSO", "OriginalPSO", pop_size=30, w=0.7, c1=1.5, c2=1.5),
        entry("DE", "DE", "OriginalDE", pop_size=40, wf=0.8, cr=0.9),
        entry("GWO", "GWO", "OriginalGWO", pop_size=30),
        entry("Firefly", "FFA", "OriginalFFA", pop_size=20),
        entry("Cuckoo", "CSA", "OriginalCSA", pop_size=25, p_a=0.25),
        entry("Bat", "BA", "OriginalBA", pop_size=30),
        entry("ABC", "ABC", "OriginalABC", pop_size=50),
    ]


def pyswarms_entries(cfg: Config) -> list[Entry]:
    try:
        import numpy as np
        import pyswarms
    except ImportError:
        print("# pyswarms: not installed, skipped", file=sys.stderr)
        return []

    def run(f: Counted) -> float:
        bounds = (np.array(cfg.lower), np.array(cfg.upper))
        opt = pyswarms.single.GlobalBestPSO(n_particles=30, dimensions=cfg.dims, bounds=bounds,
                                            options={"w": 0.7, "c1": 1.5, "c2": 1.5})
        np.random.seed(cfg.seed)
        cost, _ = opt.optimize(lambda swarm: np.array([f(row) for row in swarm]), iters=cfg.evals // 30,
                               verbose=False)
        return float(cost)

    return [Entry("PSO", "pyswarms", "single.GlobalBestPSO", run)]


def scipy_entries(cfg: Config) -> list[Entry]:
    try:
        from scipy.optimize import differential_evolution
    except ImportError:
        print("# scipy: not installed, skipped", file=sys.stderr)
        return []
    population = 40

    def run(f: Counted) -> float:
        # popsize multiplies the dimensions; tol = atol = 0 never stops early; no polishing.
        result = differential_evolution(f, list(zip(cfg.lower, cfg.upper)), strategy="rand1bin",
                                        maxiter=cfg.evals // population - 1, popsize=max(1, population // cfg.dims),
                                        mutation=0.8, recombination=0.9, tol=0.0, atol=0.0, polish=False,
                                        init="random", seed=cfg.seed)
        return float(result.fun)

    return [Entry("DE", "scipy", "optimize.differential_evolution", run)]


# -------------------------------------------------------------------------------------- measuring

def bare_seconds(calls: int, dims: int) -> float:
    """The bare loop of bench/overhead.py: the objective on a fresh list, `calls` times."""
    point = [0.5] * dims
    f = sphere
    start = time.perf_counter()
    for _ in range(calls):
        f(list(point))
    return time.perf_counter() - start


def measure(entries: list[Entry], cfg: Config, rounds: int) -> list[Result]:
    """The fastest of `rounds` runs of every entry. Each round runs every entry once, followed
    by the bare loop for the same number of calls, so a passing load on the machine spoils
    one round of everything rather than every run of one entry."""
    best: list[Result | None] = [None] * len(entries)
    for _ in range(rounds):
        for i, entry in enumerate(entries):
            f = Counted(sphere)
            start = time.perf_counter()
            value = entry.run(f)
            seconds = time.perf_counter() - start
            bare = bare_seconds(f.calls, cfg.dims)
            old = best[i]
            if old is None:
                best[i] = Result(entry, f.calls, seconds, value, bare)
            else:
                old.seconds, old.bare = min(old.seconds, seconds), min(old.bare, bare)
    return [r for r in best if r is not None]


FAMILIES = ["PSO", "DE", "GWO", "Firefly", "Cuckoo", "Bat", "ABC"]
LIBRARIES = ["swarmix", "NiaPy", "mealpy", "pyswarms", "scipy"]


def markdown(results: list[Result]) -> str:
    lines = [
        "| family | library | implementation | evaluations | ms per 10,000 evaluations | ratio to swarmix "
        "| overhead ms per 10,000 | best value |",
        "|---|---|---|---:|---:|---:|---:|---:|",
    ]
    for family in FAMILIES:
        rows = [r for r in results if r.entry.family == family]
        ours = next((r for r in rows if r.entry.library == "swarmix"), None)
        for r in rows:
            ratio = f"{r.per_10k / ours.per_10k:.1f}" if ours is not None else "n/a"
            lines.append(f"| {family} | {r.entry.library} | `{r.entry.implementation}` | {r.calls:,} "
                         f"| {r.per_10k * 1e3:.1f} | {ratio} | {r.overhead_per_10k * 1e3:.1f} | {r.best:.3g} |")
    bare = [r.bare / r.calls * 1e4 * 1e3 for r in results]
    lines.append("")
    lines.append(f"Bare objective calls (a plain loop on a fresh list), measured after each optimiser: "
                 f"{min(bare):.1f} to {max(bare):.1f} ms per 10,000.")
    return "\n".join(lines)


def plot(results: list[Result], path: pathlib.Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colours = {"swarmix": "#d62728", "NiaPy": "#1f77b4", "mealpy": "#2ca02c", "pyswarms": "#9467bd",
               "scipy": "#ff7f0e"}
    fig, ax = plt.subplots(figsize=(9, 5.4), dpi=100)
    width = 0.18
    labelled: set[str] = set()
    for i, family in enumerate(FAMILIES):
        rows = sorted((r for r in results if r.entry.family == family), key=lambda r: LIBRARIES.index(r.entry.library))
        for k, r in enumerate(rows):
            library = r.entry.library
            ax.bar(i + (k - (len(rows) - 1) / 2) * width, r.per_10k * 1e3, width=width, color=colours[library],
                   label=None if library in labelled else library)
            labelled.add(library)
    bare = min(r.bare / r.calls for r in results)
    ax.axhline(bare * 1e4 * 1e3, color="black", linestyle="--", linewidth=1,
               label="bare objective calls (plain loop)")
    ax.set_xticks(range(len(FAMILIES)), FAMILIES)
    ax.set_yscale("log")
    ax.set_ylim(bottom=bare * 1e4 * 1e3 / 2)
    ax.set_ylabel("ms per 10,000 evaluations (log scale)")
    ax.set_title(title, fontsize=10)
    ax.grid(True, axis="y", which="both", alpha=0.3)
    ax.legend(fontsize=8, ncol=6, loc="upper center", bbox_to_anchor=(0.5, -0.08), frameon=False)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)
    plt.close(fig)


def main(argv: list[str] | None = None) -> None:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--evals", type=int, default=20000, help="objective evaluations per run (default 20000)")
    ap.add_argument("--dims", type=int, default=10, help="dimensions of the sphere (default 10)")
    ap.add_argument("--repeat", type=int, default=5, help="runs per optimiser, the fastest counts (default 5)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--plot", type=pathlib.Path, default=None, help="also draw the results into this PNG")
    ap.add_argument("--only", choices=LIBRARIES, action="append", help="time only these libraries")
    args = ap.parse_args(argv)
    cfg = Config(args.evals, args.dims, args.seed)
    plot_path = args.plot.resolve() if args.plot is not None else None
    # Some peers write log files into the working directory (pyswarms a report.log): run in a
    # scratch directory.
    here = os.getcwd()
    with tempfile.TemporaryDirectory() as scratch:
        os.chdir(scratch)
        try:
            run(args, cfg, plot_path)
        finally:
            os.chdir(here)


def run(args: argparse.Namespace, cfg: Config, plot_path: pathlib.Path | None) -> None:
    entries: list[Entry] = []
    for library, make in (("swarmix", swarmix_entries), ("NiaPy", niapy_entries), ("mealpy", mealpy_entries),
                          ("pyswarms", pyswarms_entries), ("scipy", scipy_entries)):
        if not args.only or library in args.only:
            entries += make(cfg)

    results = measure(entries, cfg, args.repeat)

    versions = [f"Python {platform.python_version()}", f"swarmix {swarmix.__version__}"]
    for module in ("niapy", "mealpy", "pyswarms", "scipy", "numpy"):
        try:
            versions.append(f"{module} {__import__(module).__version__}")
        except (ImportError, AttributeError):
            pass
    print(f"Sphere in {cfg.dims} dimensions, about {cfg.evals:,} evaluations per run, best of {args.repeat}; "
          f"{platform.machine()}, {', '.join(versions)}.\n")
    print(markdown(results))
    if plot_path is not None:
        plot(results, plot_path,
             f"Time per 10,000 evaluations of a plain-Python sphere ({cfg.dims} dimensions), lower is better")


if __name__ == "__main__":
    main()
