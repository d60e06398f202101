"""Cost of a journal: recording a fit (sync="none") and replaying a finished one, beside the plain fit.

    python bench/journal.py [--dims 10] [--iterations 300] [--repeat 5]

The objective is trivial (one multiplication), so the ratios show the journal's whole cost;
for an objective that takes milliseconds or more it is negligible.
"""

import argparse
import os
import tempfile

from overhead import best_of
from swarmix import DifferentialEvolution, GreyWolfOptimizer, ParticleSwarm, journaled


def objective(x):
    return x[0] * x[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dims", type=int, default=10)
    ap.add_argument("--iterations", type=int, default=300)
    ap.add_argument("--repeat", type=int, default=5)
    a = ap.parse_args()
    lower, upper = [-5.0] * a.dims, [5.0] * a.dims
    path = os.path.join(tempfile.mkdtemp(), "bench.swj")

    def remove():
        if os.path.exists(path):
            os.unlink(path)

    print(f"{'class':<24}{'plain':>10}{'recording':>12}{'replaying':>12}  (ms; ratio to plain)")
    for cls in (GreyWolfOptimizer, DifferentialEvolution, ParticleSwarm):
        def fit(objective):
            return lambda: cls(n_iterations=a.iterations, random_state=1).fit(objective, lower, upper)

        plain = best_of(a.repeat, fit(objective))
        recording = best_of(a.repeat, fit(journaled(objective, path, sync="none")), before=remove)
        replaying = best_of(a.repeat, fit(journaled(objective, path, sync="none")))
        print(f"{cls.__name__:<24}{plain * 1e3:10.1f}{recording * 1e3:8.1f} {recording / plain:3.1f}x"
              f"{replaying * 1e3:8.1f} {replaying / plain:3.1f}x")
    remove()


if __name__ == "__main__":
    main()
