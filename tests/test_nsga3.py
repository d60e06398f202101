"""Nsga3: the reference directions, the normalisation, association and niching on hand-made
populations, what a fit hands to the objective and keeps, and a five-objective floor."""

import itertools
import math
import random

import numpy as np
import pytest

import swarmix
from swarmix import Nsga3
from swarmix import _testing as t

INF = math.inf


# ---------------------------------------------------------------- reference directions

# Deb and Jain's table and the choices between its rows: m -> (partitions, inner, directions).
TABLE = {1: (1, 0, 1), 2: (99, 0, 100), 3: (12, 0, 91), 4: (7, 0, 120), 5: (6, 0, 210), 6: (4, 1, 132),
         7: (3, 2, 112), 8: (3, 2, 156), 10: (3, 2, 275), 12: (2, 1, 90), 15: (2, 1, 135)}


def test_reference_directions_are_the_simplex_lattice_in_order():
    assert swarmix.reference_directions(3, 2) == [[0.0, 0.0, 1.0], [0.0, 0.5, 0.5], [0.0, 1.0, 0.0],
                                                  [0.5, 0.0, 0.5], [0.5, 0.5, 0.0], [1.0, 0.0, 0.0]]
    for m, (p, inner, count) in TABLE.items():
        rows = swarmix.reference_directions(m, p, inner)
        assert len(rows) == count == len({tuple(r) for r in rows}), m
        assert all(len(r) == m and min(r) >= 0.0 and abs(math.fsum(r) - 1.0) < 1e-12 for r in rows), m
        outer = rows[:math.comb(p + m - 1, m - 1)]
        assert outer == sorted(outer) and all(v == round(v * p) / p for r in outer for v in r)
        if inner:
            shrunk = [[0.5 * v + 0.5 / m for v in r] for r in swarmix.reference_directions(m, inner)]
            assert rows[len(outer):] == shrunk
    for bad in ((0, 3), (3, 0)):
        with pytest.raises(ValueError, match="must be at least 1"):
            swarmix.reference_directions(*bad)
    with pytest.raises(TypeError):
        swarmix.reference_directions(3, 2.0)


def test_default_population_follows_the_table():
    # The start alone: the probe, then the population, the smallest multiple of 4 at least
    # the number of directions that the objective's number of values chooses.
    for m, (_, _, count) in TABLE.items():
        sizes = []

        @swarmix.vectorized
        def f(points):
            sizes.append(len(points))
            return [list(x) for x in points]

        obj = Nsga3(n_iterations=0, random_state=1)
        obj.fit(f, [0.0] * m, [1.0] * m)
        assert sizes == [1, (count + 3) // 4 * 4] and len(obj.population_) == sizes[1], m


# ---------------------------------------------------------------- normalisation

def test_normalisation_on_hand_made_populations():
    ideal = [1.0, 2.0, -3.0]
    axes = [[4.0, 0.0, 0.0], [0.0, 2.0, 0.0], [0.0, 0.0, 0.5]]  # intercepts 4, 2, 0.5
    plane = [[a + i for a, i in zip(row, ideal)] for row in axes]
    inside = [[ideal[0] + 1.0, ideal[1] + 0.5, ideal[2] + 0.25]]  # on the plane x/4 + y/2 + z/0.5 = 1
    (got,) = t.nsga3_normalization(3, [(plane + inside, [0, 1, 2, 3])])
    assert got == (ideal, [5.0, 4.0, -2.5], plane, False)

    # A point along an axis whose other values are within 2e-3 of the range from the ideal
    # point counts as on the axis: of two, the one nearer the ideal point is the extreme, and
    # the hyperplane takes it as on the axis.
    near = [[5.0, 2.0 + 1e-4, -3.0 + 1e-5], [4.0, 2.0 + 5e-4, -3.0 + 5e-4]]
    (got,) = t.nsga3_normalization(3, [(near + plane[1:], [0, 1, 2, 3])])
    assert got[2][0] == near[1] and got[1] == [4.0, 4.0, -2.5]

    # Degenerate hyperplanes fall back to the worst values of the first front: one point
    # extreme on two axes (a singular system), and extremes whose plane has a negative
    # intercept (y = 1 + x with z free).
    twice = [[0.0, 0.0, 10.0], [1.0, 1.0, 0.0], [3.0, 0.0, 9.0], [9.0, 9.0, 9.0]]
    (got,) = t.nsga3_normalization(3, [(twice, [0, 1, 2])])
    assert got[3] and got[2][0] == got[2][1] == [1.0, 1.0, 0.0] and got[1] == [3.0, 1.0, 10.0]
    negative = [[2.0, 0.0, 1.0], [0.0, 1.0, 1.0], [1.0, 0.5, 0.0], [8.0, 8.0, 8.0]]
    (got,) = t.nsga3_normalization(3, [(negative, [0, 1, 2])])
    assert got[3] and got[1] == [2.0, 1.0, 1.0]
    # ... and where the front spans no range, to the worst of the population (here the extreme
    # points' plane is parallel to the first axis).
    flat = [[0.0, 1.0, 3.0], [0.0, 3.0, 1.0], [5.0, 2.0, 2.0]]
    (got,) = t.nsga3_normalization(3, [(flat, [0, 1])])
    assert got[3] and got[1] == [5.0, 3.0, 3.0]

    # Across updates: the ideal point is the best seen, the extreme points are kept until
    # better ones come.
    steps = t.nsga3_normalization(2, [([[0.0, 4.0], [4.0, 0.0], [6.0, 6.0]], [0, 1]),
                                      ([[1.0, 5.0], [3.0, 3.0]], [0, 1]),
                                      ([[0.0, 2.0], [2.0, 0.0]], [0, 1])])
    assert steps[0][:3] == ([0.0, 0.0], [4.0, 4.0], [[4.0, 0.0], [0.0, 4.0]])
    assert steps[1][:3] == steps[0][:3]
    assert steps[2][:3] == ([0.0, 0.0], [2.0, 2.0], [[2.0, 0.0], [0.0, 2.0]])


# ---------------------------------------------------------------- association and niching

def test_association_is_the_nearest_line():
    rng = random.Random(4)
    directions = swarmix.reference_directions(3, 4)
    points = [[rng.uniform(0, 1.5) for _ in range(3)] for _ in range(60)] + [[0.0, 0.0, 0.0], [1.0, INF, 0.0]]
    niche, distance = t.nsga3_associate(points, directions)

    def gap(f, w):
        n = math.sqrt(sum(v * v for v in w))
        along = sum(a * b for a, b in zip(f, w)) / n
        return math.sqrt(max(sum(v * v for v in f) - along * along, 0.0))

    for i, f in enumerate(points[:-1]):
        gaps = [gap(f, w) for w in directions]
        assert abs(distance[i] - min(gaps)) < 1e-12 and gaps[niche[i]] <= min(gaps) + 1e-12
    assert (niche[-2], distance[-2]) == (0, 0.0)  # the origin: on every line, the first one
    assert (niche[-1], distance[-1]) == (len(directions), INF)  # no line for a value that is not finite


def test_niching_keeps_one_point_per_direction_when_it_can():
    # Two candidates per direction on the plane x + y + z = 1 (one front), one nearer its line;
    # the axis points fix the normalisation to the identity.
    directions = swarmix.reference_directions(3, 4)
    h = len(directions)
    rng = random.Random(7)
    values, nearer = [], []
    for k, w in enumerate(directions):
        for offset in ((0.0 if max(w) == 1.0 else 0.004), 0.02):
            shift = [offset * math.cos(k + offset), -offset * math.sin(k + offset)]
            shift.append(-sum(shift))
            values.append([max(v + s, 0.0) for v, s in zip(w, shift)])
        nearer.append(len(values) - 2)
    order = list(range(len(values)))
    rng.shuffle(order)
    values = [values[i] for i in order]
    nearer = sorted(order.index(i) for i in nearer)
    niche, _ = t.nsga3_associate(values, directions)
    assert sorted(niche) == sorted(list(range(h)) * 2)
    assert sorted(t.nsga3_survival(3, values, h, directions)) == nearer
    # Beyond one per direction: every line first gets its nearer member, then the rest at
    # random among the least crowded lines; the same seed, the same choice.
    kept = t.nsga3_survival(3, values, h + 5, directions)
    assert set(nearer) <= set(kept) and len(set(kept)) == h + 5
    assert kept == t.nsga3_survival(3, values, h + 5, directions) != t.nsga3_survival(4, values, h + 5, directions)
    # A dominated point joins only when the first front is short, and then the emptiest line's.
    behind = [[v + 0.5 for v in values[i]] for i in (0, 1)]
    kept = t.nsga3_survival(3, values[:4] + behind, 5, directions)
    assert kept[:4] == [0, 1, 2, 3] and len(kept) == 5


# ---------------------------------------------------------------- fits

def dtlz2(m):
    def rows(X):
        X = np.asarray(X)
        g = ((X[:, m - 1:] - 0.5) ** 2).sum(axis=1)
        theta = X[:, : m - 1] * (np.pi / 2)
        F = np.empty((len(X), m))
        for i in range(m):
            F[:, i] = (1 + g) * np.prod(np.cos(theta[:, : m - 1 - i]), axis=1)
            if i > 0:
                F[:, i] *= np.sin(theta[:, m - 1 - i])
        return F
    return rows


def test_fit_groups_counts_and_results():
    groups = []
    objective = dtlz2(3)

    @swarmix.vectorized
    def f(points):
        groups.append(len(points))
        return objective(points)

    directions = swarmix.reference_directions(3, 3)
    fits = []
    for _ in range(2):
        groups.clear()
        opt = Nsga3(n_iterations=4, reference_directions=directions, random_state=3)
        opt.fit(f, [0.0] * 6, [1.0] * 6)
        fits.append((opt.predict(), opt.front_values_, opt.population_, opt.history_, list(groups)))
    assert fits[0] == fits[1]
    front, values, population, history, sizes = fits[0]
    assert sizes == [1, 12, 12, 12, 12, 12]  # the probe, the start (10 directions), one group per generation
    assert len(population) == 12 and len(history) == 4 and history[-1] == len(front)
    assert all(0.0 <= v <= 1.0 for row in population for v in row)
    assert values == objective(np.array(front)).tolist() and all(x in population for x in front)
    # the front is exactly the population's non-dominated members, in population order
    pv = objective(np.array(population)).tolist()
    assert front == [x for x, v in zip(population, pv) if not any(t.dominates(u, v) for u in pv)]
    assert opt.get_params()["reference_directions"] == directions


def test_refused_settings_call_the_objective_once():
    calls = []

    def f(x):
        calls.append(1)
        return [x[0], 1.0 - x[0]]

    before = Nsga3(n_iterations=1, random_state=1)
    before.fit(f, [0.0], [1.0])
    state = before.__reduce__()
    for kwargs, message in [
        ({"reference_directions": [[1.0, 0.0]]}, "at least 2 directions"),
        ({"reference_directions": [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0]]}, "2 values each, one per objective, not 3"),
        ({"reference_directions": [[1.5, -0.5], [0.0, 1.0]]}, "non-negative and sum to 1"),
        ({"reference_directions": [[0.5, 0.5 + 1e-8], [0.0, 1.0]]}, "non-negative and sum to 1"),
        ({"reference_directions": [[math.nan, 1.0], [0.0, 1.0]]}, "non-negative and sum to 1"),
        ({"n_individuals": 99}, r"at least the number of reference directions \(100\)"),
        ({"crossover_eta": -1.0}, "crossover_eta must be at least 0"),
    ]:
        calls.clear()
        opt = Nsga3(n_iterations=1, random_state=1, **kwargs)
        opt.__setstate__(state[2])
        with pytest.raises(ValueError, match=f"^Invalid input: .*{message}"):
            opt.fit(f, [0.0], [1.0])
        assert calls == [1] and opt.__reduce__()[2] == state[2]
    # directions summing to 1 within 1e-9 are taken as they are
    Nsga3(n_iterations=1, reference_directions=[[0.5, 0.5 + 1e-10], [0.0, 1.0]]).fit(f, [0.0], [1.0])
    with pytest.raises(ValueError, match=r"^Invalid input: initial has 101 points; Nsga3 holds 100 \(from the ref"):
        Nsga3(n_iterations=1).fit(f, [0.0], [1.0], initial=[[0.5]] * 101)


def test_dtlz2_five_objectives_floor():
    # Deb and Jain's setting (212 individuals, 350 generations); the true front at the
    # directions is w / |w|, and its hypervolume up to 1.1 is 1.1^5 - pi^2.5 / Gamma(3.5) / 32.
    objective = dtlz2(5)
    opt = Nsga3(n_iterations=350, random_state=0)
    opt.fit(swarmix.vectorized(objective), [0.0] * 14, [1.0] * 14)
    directions = np.array(swarmix.reference_directions(5, 6))
    truth = directions / np.linalg.norm(directions, axis=1, keepdims=True)
    assert swarmix.igd(opt.front_values_, truth) < 0.008  # pymoo's NSGA-III: 0.004 to 0.005
    ideal = 1.1 ** 5 - math.pi ** 2.5 / math.gamma(3.5) / 32
    assert opt.score([1.1] * 5) / ideal > 0.895  # pymoo's: 0.902
