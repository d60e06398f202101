"""The Pareto toolkit, called directly through swarmix._testing."""

import math

from swarmix import _testing as t

INF = math.inf
NAN = math.nan
# Three points whose dominance is cyclic (NaN compares as a tie): a > b > c > a.
CYCLE = [[0.0, 1.0, NAN], [1.0, NAN, 0.0], [NAN, 0.0, 1.0]]


def test_dominance():
    assert t.dominates([1, 2], [1, 3]) and not t.dominates([1, 3], [1, 2])
    assert not t.dominates([1, 2], [1, 2])          # identical: neither
    assert not t.dominates([0, 3], [1, 2]) and not t.dominates([1, 2], [0, 3])
    # NaN is a tie on its place, the other places decide
    assert t.dominates([1, NAN], [2, 5]) and not t.dominates([2, 5], [1, NAN])
    assert not t.dominates([NAN, NAN], [1, 1]) and not t.dominates([1, 1], [NAN, NAN])
    # only the common prefix counts
    assert t.dominates([1], [2, 0]) and not t.dominates([2, 0], [1])
    assert not t.dominates([1, 0], [1]) and not t.dominates([1], [1, 0])
    assert not t.dominates([], [1]) and not t.dominates([1], [])
    # the cycle used below
    a, b, c = CYCLE
    assert t.dominates(a, b) and t.dominates(b, c) and t.dominates(c, a)


def test_sort_front_order():
    # first front in index order; the second in the order its members were released:
    # 3 (only behind 0) when 0 is processed, then 2 and 4 when 1 is
    points = [[0, 5], [5, 0], [5.5, 5.5], [1, 6], [6, 1], [7, 7]]
    assert t.non_dominated_sort(points) == [[0, 1], [3, 2, 4], [5]]
    # equal points share a front; empty objective vectors are never dominated
    assert t.non_dominated_sort([[2, 2], [1, 1], [2, 2]]) == [[1], [0, 2]]
    assert t.non_dominated_sort([[], [1, 1], [], [0, 0]]) == [[0, 2, 3], [1]]
    assert t.non_dominated_sort([]) == []
    # a dominance cycle puts nobody in a front, nor anything that only the cycle dominates
    assert t.non_dominated_sort(CYCLE + [[5, 5, 5]]) == []
    assert t.non_dominated_sort([[-1, -1, -1]] + CYCLE) == [[0]]


def test_crowding_distance():
    assert t.crowding_distance([[1, 2]], []) == []
    assert t.crowding_distance([[1, 2]], [0]) == [(0, INF)]
    assert t.crowding_distance([[1, 2], [2, 1]], [1, 0]) == [(1, INF), (0, INF)]
    # inner members add |next - previous| / range per objective; an objective on which all
    # members are equal adds 0 inside and marks the first and last member in front order
    pts = [[1, 0], [1, 3], [1, 1], [1, 2]]
    assert t.crowding_distance(pts, [0, 1, 2, 3]) == [(0, INF), (1, INF), (2, 2 / 3), (3, INF)]
    pts = [[0, 1], [1, 1], [2, 1], [3, 1]]
    assert t.crowding_distance(pts, [0, 1, 2, 3]) == [(0, INF), (1, 2 / 3), (2, 2 / 3), (3, INF)]
    # extreme in one objective: +inf, although inside the range of the other
    pts = [[0, 2], [1, 0], [2, 3], [3, 1]]
    assert [d for _, d in t.crowding_distance(pts, [0, 1, 2, 3])] == [INF, INF, INF, INF]
    # the sort is stable: of two members tied at the low end, the first in front order is
    # the boundary and the second an inner member
    pts = [[0, 1], [0, 3], [1, 2], [2, 4]]
    got = t.crowding_distance(pts, [0, 1, 2, 3])
    assert got == [(0, INF), (1, (1 - 0) / 2 + (4 - 2) / 3), (2, (2 - 0) / 2 + (3 - 1) / 3), (3, INF)]
    # also in fronts long enough to be sorted by merging
    pts = [[float(i * 7 % 5)] for i in range(45)]
    order = sorted(range(45), key=lambda i: pts[i][0])
    assert (order[0], order[-1]) == (0, 42)
    expect = {0: INF, 42: INF}
    for r in range(1, 44):
        expect[order[r]] = abs(pts[order[r + 1]][0] - pts[order[r - 1]][0]) / 4.0
    assert t.crowding_distance(pts, list(range(45))) == [(i, expect[i]) for i in range(45)]


def test_crowding_mixed_lengths():
    # a member without objective j sits out the pass over j; nothing is read past a vector
    pts = [[0, 0], [1], [2, 5], [3, 3]]
    assert t.crowding_distance(pts, [0, 1, 2, 3]) == [(0, INF), (1, 2 / 3), (2, INF), (3, INF)]
    # the objective count is the first member's
    assert t.crowding_distance([[1], [0, 0], [2, 9]], [0, 1, 2]) == [(0, 1.0), (1, INF), (2, INF)]
    # a member with no objective at all keeps 0.0
    pts = [[0, 0], [], [1, 1], [2, 2]]
    assert t.crowding_distance(pts, [0, 1, 2, 3]) == [(0, INF), (1, 0.0), (2, 2.0), (3, INF)]


def test_archive_truncation():
    # first front 0..3 (the inner members 1 and 2 tie at 4/3), then the dominated 4
    line = [[0, 3], [1, 2], [2, 1], [3, 0], [5, 5]]
    assert t.archive_from_population(line, 4) == [0, 1, 2, 3]
    assert t.archive_from_population(line, 3) == [0, 3, 1]       # the later of the tie goes
    assert t.archive_from_population(line, 5) == [0, 1, 2, 3, 4]
    assert t.archive_from_population(line, 9) == [0, 1, 2, 3, 4]
    assert t.archive_from_population(line, 0) == []
    assert t.archive_from_population([], 3) == []
    # no tie: member 1 (4/3) is more crowded than member 2 (5/3) and is dropped
    bent = [[0, 3], [0.5, 2.5], [2, 1], [3, 0]]
    assert t.archive_from_population(bent, 3) == [0, 3, 2]
    # a front that does not fit ends the archive, later fronts are not considered
    assert t.archive_from_population([[0, 2], [2, 0], [1, 1], [3, 3]], 2) == [0, 1]
    assert t.archive_from_population([[1, 1], [0, 2], [2, 0], [3, 3], [9, 9]], 2) == [1, 2]
    assert t.archive_from_population(CYCLE, 5) == []


def test_hypervolume():
    hv = t.hypervolume_2d
    assert hv([[0.5, 0.5]], 1.0, 1.0) == 0.25
    assert hv([], 1.0, 1.0) == 0.0
    # at or beyond the reference in either objective: nothing
    assert hv([[1.0, 0.5]], 1.0, 1.0) == 0.0 and hv([[0.5, 1.0]], 1.0, 1.0) == 0.0
    assert hv([[2.0, -1.0]], 1.0, 1.0) == 0.0
    # a staircase, given out of order; a dominated point adds nothing
    assert hv([[0.6, 0.2], [0.7, 0.7], [0.2, 0.6]], 1.0, 1.0) == 0.8 * 0.4 + 0.4 * (0.6 - 0.2)
    # single objectives are ignored; only the first two objectives count
    assert hv([[0.1], [0.5, 0.5, -7.0]], 1.0, 1.0) == 0.25
    # a point right of the reference still lowers the level for later points
    assert hv([[1.5, 0.2], [1.6, 0.1]], 1.0, 1.0) == 0.0
    assert hv([[0.5, 0.5]], 2.0, 3.0) == 1.5 * 2.5
    # NaN in f2 adds nothing and keeps the level
    assert hv([[0.2, NAN], [0.5, 0.5]], 1.0, 1.0) == 0.25


def test_initial_population_draws():
    lower, upper = [-1.0, 2.0, 0.5], [3.0, 2.0, 0.75]
    got = t.initialize_continuous_population(11, lower, upper, 4)
    u = t.rng(11, [("u01",)] * 12)
    assert got == [[u[3 * i + d] * (upper[d] - lower[d]) + lower[d] for d in range(3)] for i in range(4)]
    assert t.initialize_continuous_population(11, [], [], 3) == [[], [], []]
    assert t.initialize_continuous_population(11, [0.0], [1.0], 0) == []


def test_crowding_distance_matches_its_definition():
    # Random fronts with ties: per objective, the members in stable order of value; both ends
    # are infinite, an inner member adds |next - previous| / range (range at least 1e-12).
    import random

    rng = random.Random(8)
    for _ in range(300):
        m, k = rng.randrange(1, 4), rng.randrange(2, 25)
        points = [[float(rng.randrange(5)) for _ in range(m)] for _ in range(k + 3)]
        front = rng.sample(range(len(points)), k)
        expect = dict.fromkeys(front, 0.0)
        for j in range(m):
            order = sorted(front, key=lambda i: points[i][j])
            divisor = max(points[order[-1]][j] - points[order[0]][j], 1e-12)
            expect[order[0]] = expect[order[-1]] = INF
            for a, i, b in zip(order, order[1:-1], order[2:]):
                if expect[i] != INF:
                    expect[i] += abs((points[b][j] - points[a][j]) / divisor)
        assert t.crowding_distance(points, front) == [(i, expect[i]) for i in front]
