"""Warm starts: a fit that starts from an earlier run's population (`initial=`) beside a cold
fit of the same configuration and seed, in evaluations until a target.

    python bench/warm_start.py [--seeds 5]

1. Continuous: DifferentialEvolution(n_individuals=40) on the 10-dimensional Rosenbrock
   function over [-2, 2]^10. The earlier run: 150 generations (6,040 evaluations). Then, with
   another seed, a cold fit and a fit given the earlier run's population_, each until its best
   value is at most 1e-2 (a Monitor's target; its count includes the probe).
2. Tours: PermutationGeneticOptimizer(n_individuals=40, use_two_opt=False) on eil51 (TSPLIB's
   rounded distances, optimum 426). The earlier run: 500 generations. Then, with another seed,
   a cold fit, a fit given the earlier population_ and one given only its best tour, each of up
   to 3,000 generations, until the elite is at most 1.5 times the optimum (read from history_,
   the elite at the start of each generation; the start costs 40 evaluations, each generation
   39).
3. Tours: AntColony(n_ants=20, use_two_opt=False) on eil51. The earlier run: 20 iterations;
   its population_ is its best tour, which the warm fit's first ant takes. Then cold and warm
   fits of up to 100 iterations (20 evaluations each), until the best is at most 1.1 times the
   optimum.

Each seed is printed, then the medians. Everything is deterministic: the numbers are the same
on every run.
"""

import argparse
import statistics

from swarmix import AntColony, DifferentialEvolution, Monitor, PermutationGeneticOptimizer, tsplib

D = 10
LOWER, UPPER = [-2.0] * D, [2.0] * D
TARGET = 1e-2
TOUR_FACTOR = 1.5
COLONY_FACTOR = 1.1


def rosenbrock(x):
    return sum(100 * (b - a * a) ** 2 + (1 - a) ** 2 for a, b in zip(x, x[1:]))


def continuous(seed):
    earlier = DifferentialEvolution(n_individuals=40, n_iterations=150, random_state=seed)
    earlier.fit(rosenbrock, LOWER, UPPER)
    counts = []
    for initial in (None, earlier.population_):
        monitor = Monitor(rosenbrock, target=TARGET, max_evaluations=500_000)
        DifferentialEvolution(n_individuals=40, n_iterations=100_000, random_state=1000 + seed).fit(
            monitor, LOWER, UPPER, initial=initial)
        counts.append(monitor.n_evaluations if monitor.stop_reason == "target" else None)
    return earlier.score(), counts


def tours(seed, matrix, target):
    earlier = PermutationGeneticOptimizer(n_individuals=40, n_iterations=500, use_two_opt=False, random_state=seed)
    earlier.fit(matrix)
    counts = []
    for initial in (None, earlier.population_, earlier.population_[:1]):
        ga = PermutationGeneticOptimizer(n_individuals=40, n_iterations=3000, use_two_opt=False,
                                         random_state=1000 + seed)
        ga.fit(matrix, initial=initial)
        reached = next((g for g, elite in enumerate(ga.history_) if elite <= target), None)
        counts.append(None if reached is None else 40 + 39 * reached)
    return earlier.score(), counts


def colony(seed, matrix, target):
    earlier = AntColony(n_ants=20, n_iterations=20, use_two_opt=False, random_state=seed)
    earlier.fit(matrix)
    counts = []
    for initial in (None, earlier.population_):
        def best(iterations):
            ant = AntColony(n_ants=20, n_iterations=iterations, use_two_opt=False, random_state=1000 + seed)
            ant.fit(matrix, initial=initial)
            return ant.score()

        # A fit of t iterations is the first t iterations of a longer one, so its best is
        # non-increasing in t: the first t that reaches the target is found by bisection.
        low, high = 0, 100
        if best(high) > target:
            counts.append(None)
            continue
        while high - low > 1:
            middle = (low + high) // 2
            low, high = (low, middle) if best(middle) <= target else (middle, high)
        counts.append(20 * high)
    return earlier.score(), counts


def report(title, rows, columns=("cold", "warm")):
    print(title)
    print(f"  {'seed':>4}  {'earlier best':>12}" + "".join(f"  {name:>10}" for name in columns))
    for seed, (best, counts) in enumerate(rows):
        print(f"  {seed:>4}  {best:>12.4g}" + "".join(f"  {count or 'never':>10}" for count in counts))
    for column, name in enumerate(columns):
        reached = [counts[column] for _, counts in rows if counts[column]]
        median = statistics.median(reached) if reached else None
        print(f"  median {name}: {median} evaluations ({len(reached)} of {len(rows)} reached the target)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=5)
    args = parser.parse_args()
    report(f"DifferentialEvolution, 10-D Rosenbrock, evaluations until best <= {TARGET}",
           [continuous(seed) for seed in range(args.seeds)])
    instance = tsplib.load("eil51")
    matrix = tsplib.euc_2d_matrix(instance.coords)
    target = TOUR_FACTOR * instance.optimum
    report(f"PermutationGeneticOptimizer, eil51, evaluations until the elite <= {target:g}",
           [tours(seed, matrix, target) for seed in range(args.seeds)], ("cold", "warm", "best only"))
    target = COLONY_FACTOR * instance.optimum
    report(f"AntColony, eil51, evaluations until the best <= {target:g}",
           [colony(seed, matrix, target) for seed in range(args.seeds)])


if __name__ == "__main__":
    main()
