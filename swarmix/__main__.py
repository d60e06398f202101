"""A short tour of swarmix: ``python -m swarmix``."""

import math
import time

import swarmix


def sphere(x):
    return sum(v * v for v in x)


def rastrigin(x):
    return 10.0 * len(x) + sum(v * v - 10.0 * math.cos(2.0 * math.pi * v) for v in x)


def rosenbrock(x):
    return sum(100.0 * (x[i + 1] - x[i] * x[i]) ** 2 + (1.0 - x[i]) ** 2 for i in range(len(x) - 1))


FUNCTIONS = [("sphere", sphere, 5.12), ("rastrigin", rastrigin, 5.12), ("rosenbrock", rosenbrock, 2.048)]
CONTINUOUS = ["ParticleSwarm", "BeeColony", "GreyWolfOptimizer", "FireflyOptimizer", "CuckooSearch",
              "BatAlgorithm", "GlowwormOptimizer", "BacterialForagingOptimizer", "SimulatedAnnealing",
              "DifferentialEvolution", "CmaEsOptimizer"]


def main(dims=5, seed=0):
    print(f"swarmix {swarmix.__version__}: minimising classic functions in {dims} dimensions (seed {seed})")
    print(f"{'optimizer':<28}{'function':<12}{'best value':>14}{'calls':>9}{'time':>10}")
    for name in CONTINUOUS:
        cls = getattr(swarmix, name, None)
        if cls is None:
            continue
        for label, f, r in FUNCTIONS:
            calls = [0]

            def counted(x, f=f):
                calls[0] += 1
                return f(x)

            opt = cls(random_state=seed)
            start = time.perf_counter()
            opt.fit(counted, [-r] * dims, [r] * dims)
            elapsed = time.perf_counter() - start
            print(f"{name:<28}{label:<12}{opt.score():>14.6g}{calls[0]:>9}{elapsed * 1000:>8.1f}ms")


if __name__ == "__main__":
    main()
