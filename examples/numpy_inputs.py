"""NumPy arrays and scalars wherever swarmix takes numbers, type-checked as they are.

    python examples/numpy_inputs.py [--seed 0]

A 1-D array serves as ``lower`` and ``upper``, a 2-D array as a distance matrix, an integer
array as a tour for ``two_opt``, numpy integers as counts and as ``random_state``, and an
objective may return a numpy scalar or (with several objectives) an array. Nothing is
converted by hand, and ``mypy --strict`` accepts all of it. Needs numpy; writes nothing.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

import swarmix


@dataclass
class Results:
    box_score: float
    tour: list[int]
    tour_length: float
    polished_length: float
    archive_size: int


def main(argv: Sequence[str] | None = None) -> Results:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    ap.add_argument("--seed", type=int, default=0, help="random_state of every optimiser (default 0)")
    args = ap.parse_args(argv)
    seed = np.int64(args.seed)  # any integer with __index__ is a seed
    rng = np.random.default_rng(args.seed)

    # A box as arrays, an objective that returns np.float64.
    shift = np.array([0.5, -1.0, 1.5, 0.0])
    de = swarmix.DifferentialEvolution(n_individuals=np.int64(20), n_iterations=np.int64(60), f=np.float64(0.7),
                                       random_state=seed)
    de.fit(lambda x: np.sum((np.asarray(x) - shift) ** 2), np.full(4, -2.0), np.full(4, 2.0))

    # A distance matrix as a 2-D array; the variant is one of four names (the stub lists them).
    cities = rng.uniform(0.0, 1.0, size=(12, 2))
    d = np.sqrt(((cities[:, None, :] - cities[None, :, :]) ** 2).sum(axis=-1))
    colony = swarmix.AntColony(n_ants=10, n_iterations=20, variant="mmas", random_state=seed)
    colony.fit(d)
    # Any other text selects "basic" at run time, but a type checker reports it.
    swarmix.AntColony(variant="MMAS")  # type: ignore[arg-type]

    # A tour as an integer array.
    _, polished = swarmix.two_opt(np.arange(12), d)

    # Two objectives returned as an array.
    nsga = swarmix.Nsga2Optimizer(n_iterations=20, random_state=seed)
    nsga.fit(lambda x: np.array([x[0] ** 2, (x[0] - 1.0) ** 2]), np.array([-1.0]), np.array([2.0]))

    results = Results(de.score(), colony.predict(), colony.score(), polished, len(nsga.predict()))
    print(f"DifferentialEvolution on a shifted sphere: {results.box_score:.3g}")
    print(f"AntColony (mmas) on 12 random cities: {results.tour_length:.4f}, 2-opt from 0..11: {polished:.4f}")
    print(f"Nsga2Optimizer archive: {results.archive_size} points")
    return results


if __name__ == "__main__":
    main()
