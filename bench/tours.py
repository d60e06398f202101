"""Tour optimisers: 2-opt speed, the colony and genetic optimiser on the shipped TSPLIB
instances, and the gap of their tours to the known optima.

    python bench/tours.py [--baseline DIR] [--sizes 100 200 400 800] [--seeds 3]
                          [--literal-max 100] [--instances a280 pcb442 ...] [--quick]

1. two_opt from a random permutation of a random Euclidean instance (points uniform in a
   1000 x 1000 square, float distances). Beside it, when --baseline names a directory that
   holds another build's compiled module (a _swarmix*.so, for example one built from an
   older commit), that build's two_opt on the same input, in the same process; and, up to
   --literal-max cities, the literal scan (every candidate copied and measured in full,
   swarmix._testing.two_opt_reference). Every output must be identical.
2. AntColony() with 10 iterations on kroA100 and PermutationGeneticOptimizer() with 20
   generations on a280 (TSPLIB's rounded distances), beside the baseline build when given;
   the fitted results must be identical.
3. Per shipped instance (rounded distances): time and gap to the optimum of
   AntColony(n_ants=10, n_iterations=10), PermutationGeneticOptimizer() and two_opt from the
   nearest-neighbour tour and from the file order.

Times are CPU seconds of this process (time.process_time), the fastest of --seeds rounds
where a mean is not stated.
"""

import argparse
import importlib.util
import math
import pathlib
import random
import sys
import time

import swarmix
from swarmix import AntColony, PermutationGeneticOptimizer, _testing, tsplib


def load_baseline(directory):
    """The _swarmix module of another build, loaded beside this one."""
    found = sorted(pathlib.Path(directory).glob("_swarmix*.so")) + sorted(pathlib.Path(directory).glob("_swarmix*.pyd"))
    if not found:
        sys.exit(f"no _swarmix module in {directory}")
    module_spec = importlib.util.spec_from_file_location("swarmix_baseline._swarmix", found[0])
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def random_instance(m, seed):
    rng = random.Random(seed)
    pts = [(rng.random() * 1000.0, rng.random() * 1000.0) for _ in range(m)]
    return [[math.dist(p, q) for q in pts] for p in pts]


def rounded(name):
    return tsplib.euc_2d_matrix(tsplib.load(name).coords)


def cpu(fn):
    start = time.process_time()
    result = fn()
    return time.process_time() - start, result


def fastest(fn, rounds):
    best, result = math.inf, None
    for _ in range(rounds):
        t, result = cpu(fn)
        best = min(best, t)
    return best, result


def nearest_neighbour_tour(d):
    n = len(d)
    tour, seen = [0], [False] * n
    seen[0] = True
    for _ in range(n - 1):
        row = d[tour[-1]]
        nxt = min((c for c in range(n) if not seen[c]), key=lambda c: (row[c], c))
        seen[nxt] = True
        tour.append(nxt)
    return tour


def gap(length, optimum):
    return f"{100 * (length / optimum - 1):+.1f}%"


def bench_two_opt(sizes, seeds, literal_max, base):
    print("1. two_opt from a random permutation, float distances (CPU s per call, mean over seeds)")
    head = f"{'m':>5} {'length':>12} {'swarmix':>9}"
    if base:
        head += f" {'baseline':>9} {'speed-up':>8}"
    print(head + f" {'literal':>9}  identical")
    for m in sizes:
        t_new = t_base = t_lit = 0.0
        same, length = True, 0.0
        for seed in range(seeds):
            d = random_instance(m, seed)
            tour = list(range(m))
            random.Random(1000 + seed).shuffle(tour)
            t, new = cpu(lambda: swarmix.two_opt(tour, d))
            t_new += t
            length += new[1]
            if base:
                t, old = cpu(lambda: base.two_opt(tour, d))
                t_base += t
                same = same and old == new
            if m <= literal_max:
                t, lit = cpu(lambda: _testing.two_opt_reference(tour, d))
                t_lit += t
                same = same and lit == new
        line = f"{m:>5} {length / seeds:>12.1f} {t_new / seeds:>9.4f}"
        if base:
            line += f" {t_base / seeds:>9.3f} {t_base / t_new:>7.1f}x"
        line += f" {t_lit / seeds:>9.3f}" if m <= literal_max else f" {'-':>9}"
        print(line + f"  {same if base or m <= literal_max else '-'}")


def fitted(obj):
    return obj.predict(), obj.score(), obj.history_, obj.population_


def bench_targets(rounds, base):
    print("\n2. Tour optimisers with their defaults (CPU s, fastest of rounds)")
    cases = [("kroA100", "AntColony(n_iterations=10)", lambda m: m.AntColony(n_iterations=10, random_state=0)),
             ("a280", "PermutationGeneticOptimizer(n_iterations=20)",
              lambda m: m.PermutationGeneticOptimizer(n_iterations=20, random_state=0))]
    for name, label, make in cases:
        d = rounded(name)
        optimum = tsplib.OPTIMA[name]
        t_new, new = fastest(lambda: (o := make(swarmix), o.fit(d), fitted(o))[2], rounds)
        line = f"{name:>8} {label:<46} {t_new:7.3f} s, {new[1]:.0f} ({gap(new[1], optimum)})"
        if base:
            t_base, old = fastest(lambda: (o := make(base), o.fit(d), fitted(o))[2], rounds)
            line += f"; baseline {t_base:.3f} s, {t_base / t_new:.1f}x, identical {old == new}"
        print(line)


def bench_instances(names, seeds):
    print("\n3. Shipped instances, rounded distances: CPU s and gap to the optimum")
    print(f"{'instance':>9} {'optimum':>8} | {'AntColony(10 ants, 10 it.)':>27} | {'GA defaults':>20} |"
          f" {'two_opt from NN':>18} | {'two_opt from file':>18}")
    for name in names:
        d = rounded(name)
        optimum = tsplib.OPTIMA[name]
        cells = []
        for make in (lambda s: AntColony(n_ants=10, n_iterations=10, random_state=s),
                     lambda s: PermutationGeneticOptimizer(random_state=s)):
            total, scores = 0.0, []
            for s in range(seeds):
                obj = make(s)
                t, _ = cpu(lambda: obj.fit(d))
                total += t
                scores.append(obj.score())
            mean = sum(scores) / len(scores)
            cells.append(f"{total / seeds:7.2f} s {gap(mean, optimum):>7}")
        for start in (nearest_neighbour_tour(d), list(range(len(d)))):
            t, (_, length) = cpu(lambda: swarmix.two_opt(start, d))
            cells.append(f"{t:7.3f} s {gap(length, optimum):>7}")
        print(f"{name:>9} {optimum:>8.0f} | {cells[0]:>27} | {cells[1]:>20} | {cells[2]:>18} | {cells[3]:>18}")
    print(f"(AntColony and GA: mean over {seeds} seeds of the time and of the tour length)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--baseline", help="a directory holding another build's _swarmix module")
    ap.add_argument("--sizes", type=int, nargs="+", default=[100, 200, 400, 800])
    ap.add_argument("--seeds", type=int, default=3)
    ap.add_argument("--literal-max", type=int, default=100)
    ap.add_argument("--instances", nargs="+", default=list(tsplib.INSTANCES))
    ap.add_argument("--quick", action="store_true", help="small sizes, one seed")
    a = ap.parse_args()
    if a.quick:
        a.sizes, a.seeds, a.instances = [100, 200], 1, ["eil51", "kroA100"]
    base = load_baseline(a.baseline) if a.baseline else None
    bench_two_opt(a.sizes, a.seeds, a.literal_max, base)
    bench_targets(a.seeds, base)
    bench_instances(a.instances, a.seeds)


if __name__ == "__main__":
    main()
