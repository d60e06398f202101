"""Tour optimisers: 2-opt speed against the literal scan, colony and genetic optimiser timings,
and tour quality on two classic instances.

    python bench/tours.py [--sizes 50 100 200 500] [--seeds 3] [--skip-literal-above 500]

1. two_opt from a random permutation of a random Euclidean instance (points uniform in a
   1000 x 1000 square), beside the literal scan (every candidate copied and measured in full,
   swarmix._testing.two_opt_reference) on the same input; the outputs must be identical.
2. AntColony() and PermutationGeneticOptimizer() with their defaults on a 100-city instance.
3. Tour quality on berlin52 (optimum 7542) and eil51 (optimum 426), with distances rounded
   to the nearest integer as the instances define them.
"""

import argparse
import math
import random
import time

import swarmix
from swarmix import AntColony, PermutationGeneticOptimizer, _testing, tsplib


def random_instance(m, seed):
    rng = random.Random(seed)
    pts = [(rng.random() * 1000.0, rng.random() * 1000.0) for _ in range(m)]
    return [[math.dist(p, q) for q in pts] for p in pts]


def read_rounded(name):
    return tsplib.euc_2d_matrix(tsplib.load(name).coords)


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def bench_two_opt(sizes, seeds, skip_literal_above):
    print("two_opt from a random permutation (times are per call, mean over seeds)")
    print(f"{'m':>5} {'fast s':>10} {'literal s':>10} {'speed-up':>9}  identical")
    for m in sizes:
        fast_t = lit_t = 0.0
        same = True
        for seed in range(seeds):
            d = random_instance(m, seed)
            tour = list(range(m))
            random.Random(1000 + seed).shuffle(tour)
            t, fast = timed(lambda: swarmix.two_opt(tour, d))
            fast_t += t
            if m <= skip_literal_above:
                t, lit = timed(lambda: _testing.two_opt_reference(tour, d))
                lit_t += t
                same = same and fast == lit
        if m <= skip_literal_above:
            print(f"{m:>5} {fast_t / seeds:>10.4f} {lit_t / seeds:>10.3f} {lit_t / fast_t:>8.1f}x  {same}")
        else:
            print(f"{m:>5} {fast_t / seeds:>10.4f} {'-':>10} {'-':>9}  -")


def bench_defaults():
    d = random_instance(100, 7)
    print("\nDefaults on a 100-city random Euclidean instance (random_state=0)")
    for cls in (AntColony, PermutationGeneticOptimizer):
        obj = cls(random_state=0)
        t, _ = timed(lambda: obj.fit(d))
        print(f"{cls.__name__:>28}: {t:7.2f} s, tour length {obj.score():.1f}")


def bench_quality(seeds):
    print("\nTour quality with rounded distances (mean and best over seeds; gap to the optimum)")
    for name, optimum in tsplib.OPTIMA.items():
        d = read_rounded(name)
        _, start = swarmix.two_opt(list(range(len(d))), d)
        print(f"{name} (optimum {optimum:g}): two_opt from the file order {start:.0f} "
              f"({100 * (start / optimum - 1):+.1f}%)")
        for label, make in [("AntColony()", lambda s: AntColony(random_state=s)),
                            ("PermutationGeneticOptimizer()", lambda s: PermutationGeneticOptimizer(random_state=s))]:
            scores, total = [], 0.0
            for s in range(seeds):
                obj = make(s)
                t, _ = timed(lambda: obj.fit(d))
                total += t
                scores.append(obj.score())
            mean = sum(scores) / len(scores)
            print(f"  {label:>30}: mean {mean:.1f} ({100 * (mean / optimum - 1):+.1f}%), best {min(scores):.0f} "
                  f"({100 * (min(scores) / optimum - 1):+.1f}%), {total / seeds:.2f} s per fit")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[50, 100, 200, 500])
    ap.add_argument("--seeds", type=int, default=3)
    ap.add_argument("--skip-literal-above", type=int, default=500)
    a = ap.parse_args()
    bench_two_opt(a.sizes, a.seeds, a.skip_literal_above)
    bench_defaults()
    bench_quality(a.seeds)


if __name__ == "__main__":
    main()
