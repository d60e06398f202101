"""two_opt gives exactly the result of the literal scan (every candidate copied and measured in
full), on inputs chosen to stress its shortcuts: ties, near-ties at the acceptance margin,
rounding-sensitive magnitudes, integers at the limit of exact sums, clustered points, zeros,
negative, infinite and NaN distances, repeated cities, subsets of the cities and short tours.
Symmetric finite matrices with tours that repeat no city take the neighbour-list scan (also
with very short neighbour lists, through swarmix._testing.two_opt_indexed), the others the
scan of every candidate."""

import math
import random
import struct
from fractions import Fraction

import pytest

import swarmix
from swarmix import _testing

INF = math.inf
NAN = math.nan


def literal_two_opt(tour, d):
    """The literal scan in plain Python (floats are the same IEEE doubles)."""

    def length(t):
        s = 0.0
        for k in range(len(t)):
            s = s + d[t[k]][t[(k + 1) % len(t)]]
        return s

    best = list(tour)
    m = len(best)
    best_len = length(best)
    if m < 4:
        return best, best_len
    improved = True
    while improved:
        improved = False
        for i in range(1, m - 2):
            for j in range(i + 2, m + 1):
                cand = best[:i] + best[i:j][::-1] + best[j:]
                cand_len = length(cand)
                if cand_len + 1e-12 < best_len:
                    best, best_len, improved = cand, cand_len, True
                    break
            if improved:
                break
    return best, best_len


def key(result):
    """Compare lengths by bit pattern (NaN == NaN, -0.0 != 0.0)."""
    tour, length = result
    return list(tour), struct.pack("<d", length)


def euclidean(rng, n, scale=1000.0):
    pts = [(rng.random() * scale, rng.random() * scale) for _ in range(n)]
    return [[math.dist(p, q) for q in pts] for p in pts]


def symmetrise(d):
    n = len(d)
    for a in range(n):
        for b in range(a):
            d[a][b] = d[b][a]
    return d


def sprinkle(rng, d, values, share):
    for row in d:
        for b in range(len(row)):
            if rng.random() < share:
                row[b] = rng.choice(values)
    return d


def matrix(rng, kind, n):
    r = rng.random
    if kind == "euclid":
        return euclidean(rng, n)
    if kind == "asym":
        return [[r() * 10 for _ in range(n)] for _ in range(n)]
    if kind == "ties":
        return symmetrise([[float(rng.randint(0, 3)) for _ in range(n)] for _ in range(n)])
    if kind == "ties_asym":
        return [[float(rng.randint(0, 2)) for _ in range(n)] for _ in range(n)]
    if kind == "zeros":
        return [[0.0] * n for _ in range(n)]
    if kind == "near_margin":  # deltas of a few 1e-13 around the 1e-12 margin
        return symmetrise([[1000.0 + rng.randint(0, 6) * 2.5e-13 for _ in range(n)] for _ in range(n)])
    if kind == "near_margin_asym":
        return [[1.0 + rng.randint(0, 4) * 4e-13 for _ in range(n)] for _ in range(n)]
    if kind == "at_margin":  # small values, where gains of a few steps straddle the margin itself
        return symmetrise([[1e-3 + rng.randint(0, 6) * 3.5e-13 for _ in range(n)] for _ in range(n)])
    if kind == "at_margin_asym":
        return [[rng.randint(0, 8) * 2.525e-13 for _ in range(n)] for _ in range(n)]
    if kind == "huge":  # sums lose bits far above the margin
        return symmetrise([[1e9 * (1.0 + r()) for _ in range(n)] for _ in range(n)])
    if kind == "mixed_scale":
        return [[10.0 ** rng.randint(-3, 12) * r() for _ in range(n)] for _ in range(n)]
    if kind == "negative":
        return [[r() * 10 - 5 for _ in range(n)] for _ in range(n)]
    if kind == "inf":
        return sprinkle(rng, euclidean(rng, n), [INF], 0.15)
    if kind == "inf_sym":
        return symmetrise(sprinkle(rng, euclidean(rng, n), [INF], 0.1))
    if kind == "nan":
        return sprinkle(rng, euclidean(rng, n), [NAN], 0.05)
    if kind == "wild":
        return sprinkle(rng, euclidean(rng, n), [INF, -INF, NAN, 0.0, -1.0, 1e308], 0.1)
    if kind == "overflow":
        return symmetrise([[1e307 * (1.0 + r()) for _ in range(n)] for _ in range(n)])
    if kind == "cluster":  # tight clusters far apart: long edges beside very short ones
        centres = [(r() * 1000, r() * 1000) for _ in range(rng.randint(1, 4))]
        pts = [(cx + rng.gauss(0, 5), cy + rng.gauss(0, 5)) for cx, cy in (rng.choice(centres) for _ in range(n))]
        return [[math.dist(p, q) for q in pts] for p in pts]
    if kind == "rounded":  # TSPLIB's rounded Euclidean distances: integers full of ties
        pts = [(rng.randint(0, 60), rng.randint(0, 60)) for _ in range(n)]
        return [[float(int(math.dist(p, q) + 0.5)) for q in pts] for p in pts]
    if kind == "int_limit":  # integers up to where every tour sum is still exact
        top = 2**52 // max(n, 1)
        return symmetrise([[float(top - rng.randint(0, 3) * (top // 4)) for _ in range(n)] for _ in range(n)])
    if kind == "tiny":  # far below the acceptance margin, some near the smallest normal numbers
        return symmetrise([[10.0 ** rng.choice([-200, -295, -307]) * r() for _ in range(n)] for _ in range(n)])
    if kind == "int_beyond":  # integers whose tour sums round
        top = 2**54 // max(n, 1)
        return symmetrise([[float(top - rng.randint(0, 7)) for _ in range(n)] for _ in range(n)])
    raise AssertionError(kind)


KINDS = ["euclid", "asym", "ties", "ties_asym", "zeros", "near_margin", "near_margin_asym", "at_margin",
         "at_margin_asym", "huge",
         "mixed_scale", "negative", "inf", "inf_sym", "nan", "wild", "overflow", "cluster", "rounded",
         "int_limit", "int_beyond", "tiny"]


def tour_for(rng, n, m):
    if m == n and rng.random() < 0.7:
        t = list(range(n))
        rng.shuffle(t)
        return t
    if rng.random() < 0.3:
        return rng.sample(range(n), min(m, n))  # some of the cities, each once
    return [rng.randrange(n) for _ in range(m)]  # repeated cities, any length


def disturbed_optimum(rng, d):
    """A 2-opt local optimum with a few cities moved: most rows start with nothing to accept,
    and the moves land anywhere in the tour."""
    n = len(d)
    t = list(range(n))
    rng.shuffle(t)
    t = _testing.two_opt_reference(t, d)[0]
    for _ in range(rng.randint(1, 4)):
        i, j = sorted(rng.sample(range(n), 2))
        if rng.random() < 0.5:
            t[i:j] = t[i:j][::-1]
        else:
            t[i], t[j] = t[j], t[i]
    return t


@pytest.mark.parametrize("kind", KINDS)
def test_fast_scan_equals_literal_scan(kind):
    rng = random.Random(f"two-opt-{kind}")
    for case in range(300):
        n = rng.randint(1, 12)
        m = n if rng.random() < 0.6 else rng.randint(0, 14)
        d = matrix(rng, kind, n)
        t = tour_for(rng, n, m)
        fast = swarmix.two_opt(t, d)
        assert key(fast) == key(_testing.two_opt_reference(t, d)), (kind, case, t, d)
        if case % 10 == 0:
            assert key(fast) == key(literal_two_opt(t, d)), (kind, case, t, d)


@pytest.mark.parametrize("kind", ["euclid", "asym", "ties", "near_margin", "huge", "inf_sym", "wild"])
def test_fast_scan_equals_literal_scan_on_longer_tours(kind):
    rng = random.Random(f"two-opt-long-{kind}")
    for case in range(6):
        n = rng.randint(20, 45)
        d = matrix(rng, kind, n)
        t = tour_for(rng, n, n)
        assert key(swarmix.two_opt(t, d)) == key(_testing.two_opt_reference(t, d)), (kind, case)


@pytest.mark.parametrize("kind", ["euclid", "cluster", "rounded", "ties", "near_margin", "at_margin", "int_beyond",
                                  "negative", "mixed_scale"])
def test_neighbour_scan_equals_literal_scan(kind):
    # Tours of 30 to 70 cities, from random orders and from disturbed local optima, with
    # neighbour lists from 1 entry (nearly every city overflows its list) to 24, and rows
    # that note from no turned edge (every clean row keeps none) to six.
    rng = random.Random(f"two-opt-neighbours-{kind}")
    for case in range(8):
        n = rng.randint(30, 70)
        d = matrix(rng, kind, n)
        t = disturbed_optimum(rng, d) if case % 2 else tour_for(rng, n, n)
        expect = key(_testing.two_opt_reference(t, d))
        assert key(swarmix.two_opt(t, d)) == expect, (kind, case)
        for length, notes in [(1, 6), (2, 0), (4, 1), (24, 0), (24, 6)]:
            assert key(_testing.two_opt_indexed(t, d, length, notes)) == expect, (kind, case, length, notes)


def test_which_matrices_take_the_neighbour_scan():
    # Exactly symmetric and finite off the diagonal; integers are "exact" while n max|d| <= 2^52.
    rng = random.Random(5)
    d = matrix(rng, "euclid", 8)
    kind = _testing.two_opt_index_kind
    assert kind(d) == "rounded"
    assert kind([[float(round(v)) for v in row] for row in d]) == "exact"
    assert kind([[0.0] * 8 for _ in range(8)]) == "exact"
    assert kind([[2.0**49 if a != b else 0.0 for b in range(8)] for a in range(8)]) == "exact"
    assert kind([[2.0**49 + 2 if a != b else 0.0 for b in range(8)] for a in range(8)]) == "rounded"
    assert kind([[NAN if a == b else v for b, v in enumerate(row)] for a, row in enumerate(d)]) == "rounded"
    for a, b, v in [(2, 5, math.nextafter(d[2][5], INF)), (1, 3, INF), (4, 0, NAN)]:
        odd = [row[:] for row in d]
        odd[a][b] = v
        assert kind(odd) is None, (a, b, v)
    assert kind([[1e-300 * v for v in row] for row in d]) is None  # tiny: the bounds would underflow
    assert kind([[1e298 * v for v in row] for row in d]) is None  # huge: they would overflow
    assert kind([row[:3] for row in d[:3]]) is None  # fewer than 4 cities


def test_cases_reach_moves_that_rounding_decides():
    # The near-margin matrices do produce candidates whose computed acceptance differs from
    # the exact-arithmetic one, so the equality above covers moves decided by rounding.
    rng = random.Random("two-opt-near_margin")
    flips = 0
    for _ in range(40):
        n = rng.randint(1, 12)
        m = n if rng.random() < 0.6 else rng.randint(0, 14)
        d = matrix(rng, "near_margin", n)
        t = tour_for(rng, n, m)
        if m < 4:
            continue
        exact_len = lambda t: sum(Fraction(d[t[k]][t[(k + 1) % m]]) for k in range(m))
        best = _testing.tour_length(t, d)
        for i in range(1, m - 2):
            for j in range(i + 2, m + 1):
                cand = t[:i] + t[i:j][::-1] + t[j:]
                computed = _testing.tour_length(cand, d) + 1e-12 < best
                flips += computed != (exact_len(cand) + Fraction(1e-12) < exact_len(t))
    assert flips > 0
