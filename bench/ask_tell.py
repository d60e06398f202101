"""Cost of driving a fit with AskTell beside the same fit calling the objective itself.

    python bench/ask_tell.py [--repeat 3]

Each ask/tell round hands the turn to the run's thread and back. Measured on a trivial
10-D objective, for groups of one point (ParticleSwarm after its start), large groups
(GreyWolfOptimizer, 30 points) and trial groups (DifferentialEvolution), plus a pickle
round trip of a finished run (which replays every told group).
"""

import argparse
import pickle

from overhead import best_of
from swarmix import AskTell, DifferentialEvolution, GreyWolfOptimizer, ParticleSwarm


def objective(x):
    return x[0] * x[0]


def told(make, lower, upper):
    run = AskTell(make(), lower, upper)
    groups = 0
    while not run.done:
        run.tell([objective(x) for x in run.ask()])
        groups += 1
    return run, groups


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=3)
    a = ap.parse_args()
    lower, upper = [-5.0] * 10, [5.0] * 10
    cases = [
        ("ParticleSwarm, 30 particles, 100 iterations", lambda: ParticleSwarm(n_iterations=100, random_state=1)),
        ("GreyWolfOptimizer, 30 wolves, 100 iterations", lambda: GreyWolfOptimizer(n_iterations=100, random_state=1)),
        ("DifferentialEvolution, 40 members, 100 iterations",
         lambda: DifferentialEvolution(n_iterations=100, random_state=1)),
    ]
    for name, make in cases:
        plain = best_of(a.repeat, lambda: make().fit(objective, lower, upper))
        asked = best_of(a.repeat, lambda: told(make, lower, upper))
        run, groups = told(make, lower, upper)
        data = pickle.dumps(run)
        replay = best_of(a.repeat, lambda: pickle.loads(data))
        print(f"{name}: {groups} groups; fit {plain * 1e3:.1f} ms, ask/tell {asked * 1e3:.1f} ms "
              f"({(asked - plain) / groups * 1e6:.1f} us per group); "
              f"pickle {len(data) / 1e3:.0f} kB, unpickled (replayed) in {replay * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
