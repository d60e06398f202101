"""Nsga2Sbx: its operators against their published distributions, the survival step, the
exact hypervolume, and what a fit hands to the objective and keeps."""

import itertools
import math
import random
import statistics

import pytest

import swarmix
from objectives import zdt1
from swarmix import Nsga2Sbx
from swarmix import _testing as t

INF = math.inf


def test_sbx_stays_in_the_box_and_has_the_published_spread():
    # Parents close to the lower bound with a wide distribution (eta = 2): a crossover that
    # clamped the unbounded form would put about 2% of the children exactly on the bound.
    children = t.sbx(7, [0.05, 0.5, 0.99], [0.1, 0.9, 0.97], [0.0] * 3, [1.0] * 3, 1.0, 2.0, 4000)
    assert all(0.0 < v < 1.0 for row in children for v in row)
    # Far from the bounds: the spread factor beta = |c2 - c1| / |p2 - p1| has density
    # (eta + 1) / 2 * beta^eta below 1 and (eta + 1) / 2 / beta^(eta + 2) above, and the
    # children are symmetric about the parents' mean.
    eta, n = 15.0, 20000
    rows = t.sbx(11, [0.4], [0.6], [-1000.0], [1000.0], 1.0, eta, n)
    pairs = [(rows[2 * k][0], rows[2 * k + 1][0]) for k in range(n)]
    crossed = [(a, b) for a, b in pairs if (a, b) != (0.4, 0.6)]
    assert abs(len(crossed) / n - 0.5) < 0.015  # each variable crosses with probability 0.5
    assert all(abs((a + b) - 1.0) < 1e-12 for a, b in crossed)
    assert abs(sum(a < b for a, b in crossed) / len(crossed) - 0.5) < 0.02  # the exchange
    beta = [abs(b - a) / 0.2 for a, b in crossed]
    mean = (eta + 1) / 2 / (eta + 2) + (eta + 1) / 2 / eta
    square = (eta + 1) / 2 / (eta + 3) + (eta + 1) / 2 / (eta - 1)
    assert abs(sum(b <= 1.0 for b in beta) / len(beta) - 0.5) < 0.02
    assert abs(statistics.fmean(beta) - mean) < 0.004
    assert abs(statistics.pvariance(beta) / (square - mean * mean) - 1.0) < 0.1
    # crossover_rate 0: the parents come back untouched
    assert t.sbx(3, [0.4, 0.5], [0.6, 0.1], [0.0] * 2, [1.0] * 2, 0.0, eta, 50) == [[0.4, 0.5], [0.6, 0.1]] * 50


def test_polynomial_mutation_stays_in_the_box_and_has_the_published_spread():
    near = t.polynomial_mutation(5, [0.001, 0.999, 0.5], [0.0] * 3, [1.0] * 3, 1.0, 1.0, 5000)
    assert all(0.0 < v < 1.0 for row in near for v in row)
    # From the middle of the box the step (in box widths) follows the density
    # (eta + 1) / 2 * (1 - |d|)^eta: mean 0 and variance 2 / ((eta + 2) (eta + 3)).
    eta, n = 20.0, 20000
    steps = [row[0] / 2.0 for row in t.polynomial_mutation(9, [0.0], [-1.0], [1.0], 1.0, eta, n)]
    variance = 2.0 / ((eta + 2.0) * (eta + 3.0))
    assert all(-0.5 <= s <= 0.5 for s in steps)
    assert abs(statistics.fmean(steps)) < 3 * math.sqrt(variance / n)
    assert abs(statistics.pvariance(steps) / variance - 1.0) < 0.05
    # each variable mutates with probability `rate`
    rows = t.polynomial_mutation(2, [0.5] * 8, [0.0] * 8, [1.0] * 8, 0.25, eta, 2000)
    assert abs(sum(v != 0.5 for row in rows for v in row) / 16000 - 0.25) < 0.015


def test_survival_keeps_the_first_fronts_then_the_most_spread():
    front0 = [[0, 4], [1, 2], [4, 0]]
    front1 = [[1, 5], [2, 3], [3, 2.5], [5, 1]]
    points = [front1[1], front0[2], [6, 6], front1[0], front0[0], front1[3], front0[1], front1[2]]
    # crowding in a whole front: the ends are infinite, inner members add the gap of their
    # neighbours over the front's range per objective
    first = [(1, 0, INF), (4, 0, INF), (6, 0, 2.0)]
    assert t.select_survivors(points, 3) == first
    # six: the ends of the second front (in front order: 5 is released before 3), then its
    # most spread inner member (1.25 > 1.125); a whole front keeps its front order
    assert t.select_survivors(points, 6) == first + [(5, 1, INF), (3, 1, INF), (7, 1, 1.25)]
    assert t.select_survivors(points, 7) == first + [(5, 1, INF), (0, 1, 1.125), (3, 1, INF), (7, 1, 1.25)]
    assert t.select_survivors(points, 9)[7:] == [(2, 2, INF)]
    assert t.select_survivors(points, 0) == []


def brute_force_volume(points, reference, step):
    """The number of grid cells (of side `step`, from 0 to the reference) that a point
    dominates, times the cell volume: exact for points on the grid."""
    m = len(reference)
    cells = [range(round(r / step)) for r in reference]
    count = sum(1 for c in itertools.product(*cells)
                if any(len(p) >= m and all(p[j] <= c[j] * step for j in range(m)) for p in points))
    return count * step ** m


@pytest.mark.parametrize("m", [2, 3, 4])
def test_hypervolume_equals_the_brute_force_volume(m):
    rng = random.Random(m)
    step = 0.25
    reference = [1.5] * m
    for size in (1, 2, 5, 9, 14):
        points = [[rng.randrange(8) * step for _ in range(m)] for _ in range(size)]
        points += points[:2]  # duplicates
        points.append([0.25] * (m - 1))  # too short: ignored
        points.append([2.0] + [0.0] * (m - 1))  # beyond the reference: adds nothing
        assert t.hypervolume(points, reference) == brute_force_volume(points, reference, step)
    assert t.hypervolume([], reference) == 0.0


def test_fit_groups_counts_and_score():
    groups = []

    @swarmix.vectorized
    def f(points):
        groups.append(len(points))
        return [zdt1(list(x)) for x in points]

    opt = Nsga2Sbx(n_individuals=7, n_iterations=4, random_state=3)
    opt.fit(f, [0.0] * 5, [1.0] * 5)
    assert groups == [1, 7, 7, 7, 7, 7]  # the probe, the start, one group per generation
    population, front, values = opt.population_, opt.predict(), opt.front_values_
    assert len(population) == 7 and len(opt.history_) == 4 and opt.history_[-1] == len(front)
    assert all(0.0 <= v <= 1.0 for row in population for v in row)
    assert values == [zdt1(x) for x in front] and all(x in population for x in front)
    assert not any(t.dominates(zdt1(x), v) for x in population for v in values)
    # the default reference: the population's maximum plus a tenth of its range
    pv = [zdt1(x) for x in population]
    reference = [max(c) + (max(c) - min(c)) * 0.1 for c in zip(*pv)]
    assert opt.score() == t.hypervolume(values, reference) == opt.score(reference=reference) > 0.0
    assert opt.score([0.0, 0.0]) == 0.0
    for bad in ([1.0], [1.0, 2.0, 3.0], [math.nan, 1.0], [1.0, INF]):
        with pytest.raises(ValueError, match="reference"):
            opt.score(bad)
    with pytest.raises(ValueError, match=r"must call fit\(\) before score\(\)"):
        Nsga2Sbx().score()
    for bad in ({"crossover_eta": -1.0}, {"mutation_eta": math.nan}):
        with pytest.raises(ValueError, match=f"{next(iter(bad))} must be at least 0"):
            Nsga2Sbx(**bad).fit(f, [0.0] * 5, [1.0] * 5)


def test_zdt1_front_at_ten_thousand_evaluations():
    opt = Nsga2Sbx(n_iterations=99, random_state=0)
    opt.fit(zdt1, [0.0] * 30, [1.0] * 30)
    assert opt.score([1.1, 1.1]) > 0.84  # the true front's is 0.8762
