"""swarmix.hypervolume and swarmix.igd against their definitions, their errors, Ctrl-C in a
long hypervolume (alone and inside score()), and the default reference of score()."""

import itertools
import math
import os
import random
import signal
import subprocess
import sys

import numpy as np
import pytest

import swarmix
from objectives import zdt1
from swarmix import Nsga2Sbx


def inclusion_exclusion(points, reference):
    """The hypervolume by its definition: the union of the boxes [p, reference], summed over
    every subset with alternating signs (exact on small sets)."""
    boxes = [p for p in points if all(v < r for v, r in zip(p, reference))]
    total = 0.0
    for k in range(1, len(boxes) + 1):
        for subset in itertools.combinations(boxes, k):
            corner = [max(c) for c in zip(*subset)]
            total += (-1) ** (k + 1) * math.prod(r - c for r, c in zip(reference, corner))
    return total


def grid_volume(points, reference, step):
    """The cells of a grid (side `step`) that some point dominates: exact for grid points."""
    m = len(reference)
    axes = [np.arange(round(r / step)) * step for r in reference]
    cells = np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, 1, m)
    P = np.asarray(points, dtype=float).reshape(1, -1, m)
    return step ** m * int((P <= cells).all(axis=2).any(axis=1).sum())


@pytest.mark.parametrize("m", [1, 2, 3, 4, 5, 6])
def test_hypervolume_on_a_grid_equals_the_cells_it_covers(m):
    rng = random.Random(m)
    step, reference = 0.25, [1.5] * m
    for size in (0, 1, 3, 8, 15, 40 if m <= 5 else 20):
        points = [[rng.randrange(7) * step for _ in range(m)] for _ in range(size)]
        points += points[:2] + [[2.0] + [0.0] * (m - 1)]  # duplicates; beyond the reference
        expected = grid_volume(points, reference, step)
        assert swarmix.hypervolume(points, reference) == expected
        assert swarmix.hypervolume(np.array(points).reshape(-1, m), np.array(reference)) == expected


@pytest.mark.parametrize("m", [3, 5, 7, 8])
def test_hypervolume_of_scattered_points_equals_inclusion_exclusion(m):
    rng = random.Random(10 + m)
    for _ in range(20):
        points = [[rng.random() for _ in range(m)] for _ in range(rng.randrange(2, 11))]
        reference = [rng.uniform(0.8, 1.2) for _ in range(m)]
        expected = inclusion_exclusion(points, reference)
        assert abs(swarmix.hypervolume(points, reference) - expected) <= 1e-12 * max(expected, 1.0)


def test_igd_is_the_mean_distance_to_the_nearest_point():
    rng = random.Random(2)
    front = [[rng.random() for _ in range(4)] for _ in range(30)]
    points = [[rng.random() for _ in range(4)] for _ in range(7)]
    expected = math.fsum(min(math.dist(f, p) for p in points) for f in front) / len(front)
    assert abs(swarmix.igd(points, front) - expected) < 1e-15
    assert swarmix.igd(np.array(points), np.array(front)) == swarmix.igd(points, front)
    assert swarmix.igd(front, front) == 0.0


def test_errors_of_the_indicators():
    cases = [
        (lambda: swarmix.hypervolume([[1.0, 2.0], [1.0]], [3.0, 3.0]), "rows of equal length: row 0 has 2"),
        (lambda: swarmix.hypervolume([[1.0, math.nan]], [3.0, 3.0]), "points must not hold NaN"),
        (lambda: swarmix.hypervolume([[1.0, 2.0, 3.0]], [3.0, 3.0]), "points have 3 values each, the reference 2"),
        (lambda: swarmix.hypervolume([[1.0]], []), "one value per objective"),
        (lambda: swarmix.hypervolume([[1.0]], [math.inf]), "reference values must be finite"),
        (lambda: swarmix.igd([[1.0], [2.0, 3.0]], [[1.0]]), "points must be rows of equal length"),
        (lambda: swarmix.igd([[1.0]], [[math.nan]]), "reference_front must not hold NaN"),
        (lambda: swarmix.igd([[1.0, 2.0]], [[1.0]]), "points have 2 values each, the reference front 1"),
        (lambda: swarmix.igd([], [[1.0]]), "points must not be empty"),
        (lambda: swarmix.igd([[1.0]], np.zeros((0, 1))), "reference_front must not be empty"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError, match=message):
            call()
    with pytest.raises(TypeError, match="argument 'points'"):
        swarmix.hypervolume([1.0, 2.0], [3.0, 3.0])
    assert swarmix.hypervolume([], [1.0, 1.0]) == 0.0
    assert swarmix.hypervolume([[-math.inf, 0.0]], [1.0, 1.0]) == math.inf


CHILD = r"""
import signal
import numpy as np
import swarmix
signal.signal(signal.SIGINT, signal.default_int_handler)  # (also where the parent ignores Ctrl-C)
rng = np.random.default_rng(0)
P = np.abs(rng.standard_normal((3000, 12)))
P /= np.linalg.norm(P, axis=1, keepdims=True)
sbx = swarmix.Nsga2Sbx(n_individuals=1, n_iterations=0)
state = sbx.__reduce__()[2]
rows = [[0.5]] * len(P)
sbx.__setstate__(state[:3] + (rows, rows, P.tolist(), None, P.tolist()))
for name, call in (("hypervolume", lambda: swarmix.hypervolume(P, [1.1] * 12)), ("score", sbx.score)):
    try:
        print("go", flush=True)
        call()
        print("returned", flush=True)
    except KeyboardInterrupt:
        print("interrupted", name, flush=True)
"""


def test_ctrl_c_ends_a_long_hypervolume():
    # A hypervolume of 3,000 points in 12 objectives would run for days: each Ctrl-C must end
    # it (the child reports each), first of the function, then of score().
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    try:
        seen = []
        for _ in range(2):
            assert child.stdout.readline() == "go\n"
            try:
                child.wait(0.5)  # (inside the computation by then: it never returns on its own)
            except subprocess.TimeoutExpired:
                pass
            child.send_signal(signal.SIGINT)
            seen.append(child.stdout.readline())
        assert seen == ["interrupted hypervolume\n", "interrupted score\n"]
        assert child.wait(60) == 0
    finally:
        child.kill()
        child.wait()


def test_default_reference_of_score_with_a_constant_objective():
    # One individual, or an objective with no range: the default reference adds 1 there (a
    # tenth of the range elsewhere), so the score still measures the front.
    opt = Nsga2Sbx(n_individuals=1, n_iterations=3, random_state=2)
    opt.fit(zdt1, [0.0] * 3, [1.0] * 3)
    (f,) = opt.front_values_
    assert opt.score() == swarmix.hypervolume([f], [v + 1.0 for v in f]) == 1.0
    opt = Nsga2Sbx(n_individuals=6, n_iterations=3, random_state=2)
    opt.fit(lambda x: [x[0], 2.0], [0.0] * 2, [1.0] * 2)
    values = [v for v, _ in opt.front_values_]
    population = [x[0] for x in opt.population_]
    reference = [max(population) + (max(population) - min(population)) * 0.1, 3.0]
    assert opt.score() == swarmix.hypervolume(opt.front_values_, reference) > 0.0 and values
    with pytest.raises(ValueError, match="^Invalid input: n_individuals must be at least 1$"):
        Nsga2Sbx(n_individuals=0).fit(zdt1, [0.0] * 3, [1.0] * 3)
