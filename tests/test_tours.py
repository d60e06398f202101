"""Tours: two_opt and the tour objective, AntColony and PermutationGeneticOptimizer.

The colony and the genetic optimiser are also checked bit for bit against small Python models
that draw from the same random stream (replayed through swarmix._testing.rng), so draw order,
tie rules and the pheromone update are covered beyond the golden cases."""

import math
import random

import pytest

import swarmix
from swarmix import AntColony, PermutationGeneticOptimizer, _testing, tsplib

INF, NAN = math.inf, math.nan


def closed_length(tour, d):
    s = 0.0
    for k in range(len(tour)):
        s = s + d[tour[k]][tour[(k + 1) % len(tour)]]
    return s


def euclidean(points):
    return [[math.dist(p, q) for q in points] for p in points]


def random_matrix(seed, n, symmetric=True):
    rng = random.Random(seed)
    if symmetric:
        return euclidean([(rng.random() * 10, rng.random() * 10) for _ in range(n)])
    return [[0.0 if a == b else rng.random() * 10 for b in range(n)] for a in range(n)]


SQUARE = euclidean([(0, 0), (1, 0), (1, 1), (0, 1)])


# ---------------------------------------------------------------- two_opt and tour lengths

def test_two_opt_function_signature():
    assert swarmix.two_opt.__text_signature__ == "(tour, distance_matrix)"
    assert swarmix.two_opt.__doc__ is None
    assert swarmix.two_opt(distance_matrix=[[0.0]], tour=[0]) == ([0], 0.0)
    with pytest.raises(TypeError):
        swarmix.two_opt([0])


def test_two_opt_short_tours_are_measured_not_moved():
    assert swarmix.two_opt([], [[0.0]]) == ([], 0.0)
    assert swarmix.two_opt([0], [[5.0]]) == ([0], 5.0)
    assert swarmix.two_opt([1, 0], [[0, 2], [3, 0]]) == ([1, 0], 5.0)
    # Three cities: no move is tried even where the reversed cycle is shorter.
    d = [[0, 1, 100], [100, 0, 1], [1, 100, 0]]
    assert swarmix.two_opt([0, 2, 1], d) == ([0, 2, 1], 300.0)


def test_two_opt_matrix_errors_come_first():
    with pytest.raises(ValueError, match=r"^distance_matrix must be non-empty$"):
        swarmix.two_opt([0, 1], [])
    with pytest.raises(ValueError, match=r"^distance_matrix must be non-empty$"):
        swarmix.two_opt([], [])
    msg = r"^distance_matrix must be square: row 1 has length 3, expected 2$"
    with pytest.raises(ValueError, match=msg):
        swarmix.two_opt([0, 1], [[0, 1], [1, 0, 2]])
    with pytest.raises(ValueError, match=r"^distance_matrix must be square: row 1 has length 2, expected 3$"):
        swarmix.two_opt([7], [[0, 1, 1], [1, 0], [5]])


@pytest.mark.parametrize("tour", [[0, 2], [2], [0, 1, 0, 1, 9], [0, 1, 2**64 - 1]])
def test_two_opt_rejects_entries_that_are_not_cities(tour):
    k = next(i for i, c in enumerate(tour) if c >= 2)
    msg = rf"^tour\[{k}\] = {tour[k]} is not a valid city index for 2 cities$"
    with pytest.raises(ValueError, match=msg):
        swarmix.two_opt(tour, [[0, 1], [1, 0]])
    with pytest.raises(ValueError, match=msg):
        _testing.two_opt_reference(tour, [[0, 1], [1, 0]])


def test_two_opt_argument_conversion():
    with pytest.raises(TypeError, match=r"^argument 'tour': Can't extract `str` to `Vec`$"):
        swarmix.two_opt("ab", [[0.0]])
    with pytest.raises(TypeError, match=r"^argument 'tour': "):
        swarmix.two_opt([0.0], [[0.0]])
    with pytest.raises(OverflowError):
        swarmix.two_opt([-1], [[0.0]])
    with pytest.raises(TypeError, match=r"^argument 'distance_matrix': Can't extract `str` to `Vec`$"):
        swarmix.two_opt([0], ["a"])
    with pytest.raises(TypeError, match=r"^argument 'distance_matrix': 'int' object cannot be converted"):
        swarmix.two_opt([0], 3)
    assert swarmix.two_opt((0, 1, 2, 3), tuple(tuple(r) for r in SQUARE)) == ([0, 1, 2, 3], 4.0)


def test_two_opt_unit_square_uncrosses():
    tour, length = swarmix.two_opt([0, 2, 1, 3], SQUARE)
    assert (tour, length) == ([0, 1, 2, 3], 4.0)
    assert closed_length([0, 2, 1, 3], SQUARE) == 2 + 2 * math.sqrt(2)


def test_two_opt_four_city_moves():
    # On (a, b, c, d) only (a, c, b, d) and (a, d, c, b) are tried. A symmetric matrix whose
    # best cycle is (0, 1, 3, 2), which neither move reaches, stays put.
    d = [[0, 1, 5, 5], [1, 0, 5, 1], [5, 5, 0, 1], [5, 1, 1, 0]]
    d[0][2] = d[2][0] = 1
    assert closed_length([0, 1, 3, 2], d) < closed_length([0, 1, 2, 3], d)
    assert swarmix.two_opt([0, 1, 2, 3], d) == ([0, 1, 2, 3], 12.0)
    # The reversed cycle counts only on an asymmetric matrix.
    sym = random_matrix(3, 4)
    best, _ = swarmix.two_opt([0, 1, 2, 3], sym)
    assert best != [0, 3, 2, 1]
    asym = [[0, 5, 9, 1], [1, 0, 5, 9], [9, 1, 0, 5], [5, 9, 1, 0]]
    assert closed_length([0, 2, 1, 3], asym) > closed_length([0, 1, 2, 3], asym) == 20.0
    assert swarmix.two_opt([0, 1, 2, 3], asym) == ([0, 3, 2, 1], 4.0)


def test_two_opt_takes_the_first_of_equal_moves():
    # From (0, 1, 2, 3, 4), reversing [1, 3) and reversing [1, 4) both gain exactly 3; the
    # scan meets j = 3 first, and the two choices end in different local optima.
    d = [[0.0, 4.0, 1.0, 1.0, 2.0], [4.0, 0.0, 1.0, 3.0, 1.0], [1.0, 1.0, 0.0, 3.0, 1.0],
         [1.0, 3.0, 3.0, 0.0, 1.0], [2.0, 1.0, 1.0, 1.0, 0.0]]
    assert closed_length([0, 1, 2, 3, 4], d) - closed_length([0, 2, 1, 3, 4], d) == 3.0
    assert closed_length([0, 1, 2, 3, 4], d) - closed_length([0, 3, 2, 1, 4], d) == 3.0
    assert swarmix.two_opt([0, 3, 2, 1, 4], d)[0] == [0, 3, 4, 1, 2]
    assert swarmix.two_opt([0, 1, 2, 3, 4], d) == ([0, 2, 1, 3, 4], 8.0)


def test_two_opt_result_invariants():
    rng = random.Random(11)
    for case in range(200):
        n = rng.randint(1, 9)
        d = random_matrix(case, n, symmetric=case % 2 == 0)
        tour = [rng.randrange(n) for _ in range(rng.randint(0, 12))]
        result, length = swarmix.two_opt(tour, d)
        assert sorted(result) == sorted(tour)
        assert result[:1] == tour[:1]
        assert length == _testing.tour_length(result, d) == closed_length(result, d)
        assert length <= closed_length(tour, d)


def test_tour_length_and_tsp_objective():
    d = [[0, 1, 2], [4, 0, 8], [16, 32, 0]]
    assert _testing.tour_length([], d) == 0.0
    assert _testing.tour_length([2], d) == 0.0
    assert _testing.tour_length([0, 1, 2], d) == 1 + 8 + 16
    # An internal error (the test module maps it to RuntimeError).
    with pytest.raises((swarmix.InternalError, RuntimeError), match="outside the distance matrix"):
        _testing.tour_length([0, 3], d)
    ev = _testing.discrete_evaluate
    assert ev([0.9, 1.7, 2.2], d) == 25.0
    assert ev([], d) == 0.0
    assert ev([-3.0, NAN, 2.5], d) == d[0][0] + d[0][2] + d[2][0]
    assert ev([0.0, 3.0], d) == INF
    assert ev([1e30, 0.0], d) == INF
    assert ev([INF], d) == INF
    assert ev([0.0, 2.0, 3.0], [[0, 1, NAN], [1, 0, 1], [NAN, 1, 0]]) == INF  # not NaN


# ---------------------------------------------------------------- replayed random stream

class ReplayRng:
    """The library's random stream, read one draw at a time through _testing.rng."""

    def __init__(self, seed):
        self.seed, self.ops = seed, []

    def _draw(self, *op):
        self.ops.append(op)
        return _testing.rng(self.seed, self.ops)[-1]

    def u01(self):
        return self._draw("u01")

    def index(self, n):
        return self._draw("index", n)

    def permutation(self, n):
        return self._draw("shuffle", n)


def c_pow(x, y):
    try:
        return math.pow(x, y)
    except ValueError:
        return NAN
    except OverflowError:
        return INF


def fmax(x, y):
    return x if y != y else y if x != x else x if x > y else y


def fmin(x, y):
    return x if y != y else y if x != x else x if x < y else y


# ---------------------------------------------------------------- AntColony

ACO_DEFAULTS = dict(n_ants=50, n_iterations=100, alpha=1.0, beta=2.0, rho=0.5, q=1.0, use_two_opt=True,
                    variant="basic", q0=0.9, elitist_weight=2.0, tau_min=1e-4, tau_max=10.0)


class ColonyModel:
    """The colony written out plainly; `best` persists across fits like the object's record."""

    def __init__(self, **params):
        self.p = {**ACO_DEFAULTS, **params}
        self.best = None  # (tour, value)

    def fit(self, d, seed):
        p, n = self.p, len(d)
        variant = p["variant"] if p["variant"] in ("acs", "elitist", "mmas") else "basic"
        if self.best and len(self.best[0]) != n:
            self.best = None
        tau = [[1.0 / n] * n for _ in range(n)]
        rng = ReplayRng(seed)
        best_value = INF
        for _ in range(p["n_iterations"]):
            ants = []
            for _ in range(p["n_ants"]):
                tour = self.build(rng, d, tau, variant)
                if p["use_two_opt"] and n >= 4:
                    tour = _testing.two_opt_reference(tour, d)[0]
                value = closed_length(tour, d)
                if value < best_value:
                    best_value, self.best = value, (tour, value)
                ants.append((tour, value))
            keep = 1.0 - p["rho"]
            tau = [[x * keep for x in row] for row in tau]
            if variant != "acs":
                for tour, value in ants:
                    if value > 0:
                        self.deposit(tau, tour, p["q"] / value)
            if variant != "basic" and self.best and self.best[1] > 0:
                self.deposit(tau, self.best[0], (p["q"] * p["elitist_weight"]) / self.best[1])
            if variant == "mmas":
                tau = [[fmin(fmax(x, p["tau_min"]), p["tau_max"]) for x in row] for row in tau]

    def build(self, rng, d, tau, variant):
        p, n = self.p, len(d)
        tour = [rng.index(n)]
        while len(tour) < n:
            c = tour[-1]
            cands, total = [], 0.0
            for j in range(n):
                if j in tour:
                    continue
                dist = d[c][j] if d[c][j] > 1e-10 else 1e-10
                w = c_pow(tau[c][j], p["alpha"]) * c_pow(1.0 / dist, p["beta"])
                cands.append((j, w))
                total += w
            pick = None
            if math.isfinite(total) and total > 0:
                if variant == "acs" and rng.u01() < p["q0"]:
                    pick = 0
                    for x in range(1, len(cands)):
                        if not cands[x][1] < cands[pick][1]:
                            pick = x
                else:
                    r, run, pick = total * rng.u01(), 0.0, len(cands) - 1
                    for x, (_, w) in enumerate(cands):
                        run += w
                        if run >= r:
                            pick = x
                            break
            else:
                pick = rng.index(len(cands))
            tour.append(cands[pick][0])
        return tour

    @staticmethod
    def deposit(tau, tour, delta):
        for k in range(len(tour)):
            a, b = tour[k], tour[(k + 1) % len(tour)]
            tau[a][b] += delta
            tau[b][a] += delta


@pytest.mark.parametrize("params", [
    dict(n_ants=3, n_iterations=3, use_two_opt=False),
    dict(n_ants=3, n_iterations=3, variant="acs", q0=1.0, use_two_opt=False),
    dict(n_ants=3, n_iterations=3, variant="acs", q0=0.0, use_two_opt=False),
    dict(n_ants=3, n_iterations=3, variant="acs", q0=0.5, rho=0.9),
    dict(n_ants=2, n_iterations=3, variant="elitist", elitist_weight=5.0, alpha=2.0, beta=0.5),
    dict(n_ants=2, n_iterations=3, variant="mmas", tau_min=1.0, tau_max=1.0),
    dict(n_ants=2, n_iterations=3, variant="mmas", tau_min=0.3, tau_max=0.4, rho=0.1),
    dict(n_ants=2, n_iterations=2, variant="MMAS", q=3.0),
])
@pytest.mark.parametrize("matrix", ["euclid", "asym", "zeros_and_ties"])
def test_colony_matches_model(params, matrix):
    d = {"euclid": random_matrix(1, 6), "asym": random_matrix(2, 5, symmetric=False),
         "zeros_and_ties": [[0.0, 0.0, 1.0, 1.0, 2.0], [0.0, 0.0, 1.0, 1.0, 1.0], [1.0, 1.0, 0.0, 0.0, 1.0],
                            [1.0, 1.0, 0.0, 0.0, 2.0], [2.0, 1.0, 1.0, 2.0, 0.0]]}[matrix]
    obj, model = AntColony(**params, random_state=77), ColonyModel(**params)
    for _ in range(2):  # the second fit starts from the first one's stored best
        obj.fit(d)
        model.fit(d, 77)
        tour, value = model.best
        assert obj.predict() == tour and obj.score() == value
        assert obj.history_ == [value] and obj.population_ == [[float(c) for c in tour]]


def test_colony_acs_greedy_ties_go_to_the_highest_index():
    # All distances equal: with q0 = 1 every step takes the highest unvisited city.
    n = 6
    d = [[0.0 if a == b else 2.0 for b in range(n)] for a in range(n)]
    obj = AntColony(n_ants=4, n_iterations=1, variant="acs", q0=1.0, use_two_opt=False, random_state=5)
    obj.fit(d)
    tour = obj.predict()
    assert tour[1:] == sorted(tour[1:], reverse=True) == [c for c in range(n - 1, -1, -1) if c != tour[0]]
    assert obj.score() == 12.0


def test_colony_frame():
    assert AntColony.__doc__ == ("Ant Colony Optimization for discrete problems (e.g. TSP).\n\n"
                                 "Exposed to Python as `swarmix._swarmix.AntColony`.")
    assert AntColony.fit.__doc__ == "Fit the colony to a square distance matrix and search for a short tour."
    assert AntColony.fit.__text_signature__ == ("($self, distance_matrix, *, initial=None, "
        "n_constraints=0, n_equalities=0, integer=None)")
    assert AntColony.predict.__doc__ == "Return the best tour found as a list of city indices."
    assert AntColony.score.__doc__ == "Return the length of the best tour found."
    assert AntColony.get_params.__doc__ == "Return the algorithm's hyperparameters."
    assert repr(AntColony()) == "AntColony(n_ants=50, n_iterations=100, alpha=1, beta=2, rho=0.5, q=1)"
    assert repr(AntColony(rho=0.25, q=2.0)) == "AntColony(n_ants=50, n_iterations=100, alpha=1, beta=2, rho=0.25, q=2)"
    expect = {k: float(v) for k, v in ACO_DEFAULTS.items() if k != "variant"}
    assert AntColony().get_params() == {**expect, "variant": 0.0}
    # any other text selects basic, texts without a UTF-8 form and embedded NULs included
    for text, code in [("basic", 0), ("acs", 1), ("elitist", 2), ("mmas", 3), ("ACS", 0), ("other", 0), ("", 0),
                       ("\ud800", 0), ("acs\x00", 0), ("acs\x00\u00e9", 0), ("m\u00e9mas", 0)]:
        assert AntColony(variant=text, use_two_opt=False).get_params()["variant"] == code
        assert AntColony(variant=text, use_two_opt=False).get_params()["use_two_opt"] == 0.0
    with pytest.raises(TypeError, match=r"^argument 'variant': "):
        AntColony(variant=1)
    with pytest.raises(TypeError, match=r"^argument 'use_two_opt': "):
        AntColony(use_two_opt=1)


def test_colony_fit_argument_errors_keep_the_state():
    obj = AntColony(n_ants=3, n_iterations=2, random_state=1)
    with pytest.raises(ValueError, match=r"^must call fit\(\) before predict\(\)$"):
        obj.predict()
    obj.fit(random_matrix(5, 5))
    state = (obj.predict(), obj.score(), obj.history_, obj.population_)
    with pytest.raises(ValueError, match=r"^distance_matrix must be non-empty$"):
        obj.fit([])
    with pytest.raises(ValueError, match=r"^distance_matrix must be square: row 0 has length 1, expected 2$"):
        obj.fit([[0.0], [1.0, 0.0]])
    with pytest.raises(TypeError, match=r"^argument 'distance_matrix': Can't extract `str` to `Vec`$"):
        obj.fit("ab")
    assert (obj.predict(), obj.score(), obj.history_, obj.population_) == state


def test_colony_small_matrices():
    obj = AntColony(n_ants=2, n_iterations=2, random_state=0)
    obj.fit([[3.5]])
    assert obj.predict() == [0] and obj.score() == 3.5 and obj.population_ == [[0.0]]
    for n in (2, 3):
        d = random_matrix(n, n, symmetric=False)
        obj = AntColony(n_ants=3, n_iterations=2, random_state=n)
        obj.fit(d)
        assert sorted(obj.predict()) == list(range(n))
        assert obj.score() == closed_length(obj.predict(), d)


def test_colony_without_ants_or_iterations():
    d = random_matrix(6, 5)
    for params in (dict(n_iterations=0), dict(n_ants=0), dict(n_ants=0, variant="mmas")):
        obj = AntColony(**params, random_state=1)
        for _ in range(2):
            obj.fit(d)
            with pytest.raises(ValueError, match=r"^must call fit\(\) before predict\(\)$"):
                obj.predict()
            with pytest.raises(ValueError, match=r"^must call fit\(\) before score\(\)$"):
                obj.score()
            assert obj.history_ == [] and obj.population_ == []


def test_colony_determinism_and_single_entry_results():
    d = random_matrix(8, 9)
    runs = []
    for _ in range(2):
        obj = AntColony(n_ants=5, n_iterations=4, variant="elitist", random_state=123)
        obj.fit(d)
        runs.append((obj.predict(), obj.score(), obj.history_, obj.population_))
    assert runs[0] == runs[1]
    tour, score, history, population = runs[0]
    assert history == [score] and population == [[float(c) for c in tour]]
    assert score == closed_length(tour, d)


def test_colony_stored_best_carries_over():
    d = random_matrix(9, 6)
    obj = AntColony(n_ants=4, n_iterations=2, random_state=3)
    obj.fit(d)
    tour, score = obj.predict(), obj.score()
    # Every tour of a NaN or +inf matrix has a value that never beats +inf: the stored best of
    # the first fit stays and is reported again.
    for bad in (NAN, INF):
        obj.fit([[bad] * 6 for _ in range(6)])
        assert (obj.predict(), obj.score(), obj.history_) == (tour, score, [score])
    # On a same-size matrix whose every tour is longer, the first ant still replaces it.
    far = [[0.0 if a == b else 1e6 for b in range(6)] for a in range(6)]
    obj.fit(far)
    assert obj.score() == 6e6


@pytest.mark.parametrize("variant", ["acs", "elitist", "mmas"])
def test_colony_drops_a_stored_best_of_another_size(variant):
    # No ant of these matrices has a value below +inf, so a kept 7-city best would be
    # deposited into a pheromone matrix of another size at the end of the first iteration.
    obj = AntColony(n_ants=3, n_iterations=2, variant=variant, random_state=4)
    obj.fit(random_matrix(10, 7))
    state = (obj.predict(), obj.score(), obj.history_, obj.population_)
    for n in (3, 9, 7):
        obj.fit([[NAN] * n for _ in range(n)])  # succeeds without a result
        assert (obj.predict(), obj.score(), obj.history_, obj.population_) == state


def test_colony_odd_distances_are_not_errors():
    d = [[0.0, -1.0, INF, 2.0, NAN], [1.0, 0.0, 0.0, 3.0, 1.0], [2.0, 1.0, 0.0, -4.0, 1.0],
         [1.0, INF, 2.0, 0.0, 1.0], [1.0, 2.0, 1.0, 1.0, 0.0]]
    for variant in ("basic", "acs", "elitist", "mmas"):
        obj = AntColony(n_ants=4, n_iterations=3, variant=variant, random_state=2)
        model = ColonyModel(n_ants=4, n_iterations=3, variant=variant)
        obj.fit(d)
        model.fit(d, 2)
        assert obj.predict() == model.best[0]


# ---------------------------------------------------------------- PermutationGeneticOptimizer

GA_DEFAULTS = dict(n_individuals=40, n_iterations=100, mutation_rate=0.1, use_two_opt=True)


def model_ga(d, seed, n_individuals=40, n_iterations=100, mutation_rate=0.1, use_two_opt=True):
    """Returns (best tour, best value, history, population)."""
    n = len(d)
    rng = ReplayRng(seed)
    pop = [rng.permutation(n) for _ in range(n_individuals)]
    measured = []
    for tour in pop:
        value = closed_length(tour, d)
        if use_two_opt and n > 3:
            tour, value = _testing.two_opt_reference(tour, d)
        measured.append((list(tour), value))
    pop, history = measured, []
    for _ in range(n_iterations):
        pop = sorted(pop, key=lambda ind: ind[1])  # stable
        history.append(pop[0][1])
        new = [pop[0]]
        while len(new) < n_individuals:
            a, b, c, e = (rng.index(len(pop)) for _ in range(4))
            p1 = pop[a] if pop[a][1] <= pop[b][1] else pop[b]
            p2 = pop[c] if pop[c][1] <= pop[e][1] else pop[e]
            start = rng.index(n)
            end = start + rng.index(n - start)
            child = [None] * n
            child[start:end + 1] = p1[0][start:end + 1]
            pos = (end + 1) % n
            for city in p2[0]:
                if None not in child:
                    break
                if city in child:
                    continue
                child[pos] = city
                pos = (pos + 1) % n
            if rng.u01() <= mutation_rate:
                i, j = rng.index(n), rng.index(n)
                child[i], child[j] = child[j], child[i]
            new.append((child, closed_length(child, d)))
        pop = new
    pop = sorted(pop, key=lambda ind: ind[1])
    return pop[0][0], pop[0][1], history, [[float(c) for c in t] for t, _ in pop]


def ga_result(obj):
    return obj.predict(), obj.score(), obj.history_, obj.population_


@pytest.mark.parametrize("params", [
    dict(n_individuals=6, n_iterations=5),
    dict(n_individuals=5, n_iterations=4, mutation_rate=0.0, use_two_opt=False),
    dict(n_individuals=5, n_iterations=4, mutation_rate=1.0, use_two_opt=False),
    dict(n_individuals=4, n_iterations=3, mutation_rate=7.5),
    dict(n_individuals=1, n_iterations=4),
    dict(n_individuals=7, n_iterations=0),
])
@pytest.mark.parametrize("matrix", ["euclid", "asym", "equal"])
def test_ga_matches_model(params, matrix):
    d = {"euclid": random_matrix(21, 7), "asym": random_matrix(22, 6, symmetric=False),
         "equal": [[0.0 if a == b else 1.0 for b in range(6)] for a in range(6)]}[matrix]
    obj = PermutationGeneticOptimizer(**params, random_state=99)
    obj.fit(d)
    assert ga_result(obj) == model_ga(d, 99, **params)


def test_ga_initial_population_and_tie_order():
    # Equal lengths: the population keeps the order in which the tours were drawn.
    n, size = 6, 5
    d = [[0.0 if a == b else 1.0 for b in range(n)] for a in range(n)]
    obj = PermutationGeneticOptimizer(n_individuals=size, n_iterations=0, use_two_opt=False, random_state=8)
    obj.fit(d)
    drawn = _testing.rng(8, [("shuffle", n)] * size)
    assert obj.population_ == [[float(c) for c in t] for t in drawn]
    assert obj.predict() == drawn[0] and obj.history_ == []


def test_ga_history_and_population():
    d = random_matrix(30, 12)
    obj = PermutationGeneticOptimizer(n_individuals=8, n_iterations=15, random_state=4)
    obj.fit(d)
    history, population = obj.history_, obj.population_
    assert len(history) == 15 and len(population) == 8
    assert all(a >= b for a, b in zip(history, history[1:]))
    lengths = [closed_length([int(c) for c in t], d) for t in population]
    assert lengths == sorted(lengths) and lengths[0] == obj.score() <= history[-1]
    zero = PermutationGeneticOptimizer(n_individuals=8, n_iterations=0, random_state=4)
    zero.fit(d)
    assert history[0] == zero.score()
    assert obj.predict() == [int(c) for c in population[0]]


def test_ga_three_cities_and_errors():
    d = random_matrix(31, 3)
    obj = PermutationGeneticOptimizer(n_individuals=4, n_iterations=3, random_state=1)
    obj.fit(d)
    assert obj.score() == closed_length(obj.predict(), d)
    state = ga_result(obj)
    with pytest.raises(ValueError, match=r"^Invalid input: distance matrix must have at least 3 cities$"):
        obj.fit([[0, 1], [1, 0]])
    with pytest.raises(ValueError, match=r"^distance_matrix must be square: row 2 has length 2, expected 3$"):
        obj.fit([[0, 1, 1], [1, 0, 1], [1, 1]])
    assert ga_result(obj) == state
    # No individuals: invalid when generations are asked for, no result otherwise.
    msg = r"^Invalid input: n_individuals must be at least 1 for the genetic optimizer$"
    with pytest.raises(ValueError, match=msg):
        PermutationGeneticOptimizer(n_individuals=0).fit(d)
    with pytest.raises(ValueError, match=r"^Invalid input: distance matrix must have at least 3 cities$"):
        PermutationGeneticOptimizer(n_individuals=0).fit([[0, 1], [1, 0]])
    empty = PermutationGeneticOptimizer(n_individuals=0, n_iterations=0)
    empty.fit(d)
    with pytest.raises(ValueError, match=r"^must call fit\(\) before predict\(\)$"):
        empty.predict()
    assert empty.population_ == [] and empty.history_ == []


def test_ga_frame():
    cls = PermutationGeneticOptimizer
    assert cls.__doc__ == "Permutation genetic optimizer for TSP-like discrete problems."
    assert cls.fit.__doc__ is None and cls.fit.__text_signature__ == (
        "($self, distance_matrix, *, initial=None, n_constraints=0, n_equalities=0, integer=None)")
    assert cls().get_params() == {k: float(v) for k, v in GA_DEFAULTS.items()}
    assert repr(cls()).startswith("<swarmix._swarmix.PermutationGeneticOptimizer object at ")
    a, b = cls(n_individuals=6, n_iterations=6, random_state=3), cls(n_individuals=6, n_iterations=6, random_state=3)
    d = random_matrix(32, 8)
    a.fit(d)
    b.fit(d)
    assert ga_result(a) == ga_result(b)


# ---------------------------------------------------------------- benchmark instances

def tsplib_rounded(name):
    return tsplib.euc_2d_matrix(tsplib.load(name).coords)


@pytest.mark.parametrize("name, optimum", [("berlin52", 7542), ("eil51", 426), ("kroA100", 21282)])
def test_benchmark_instances(name, optimum):
    d = tsplib_rounded(name)
    _, length = swarmix.two_opt(list(range(len(d))), d)
    assert optimum <= length < optimum * 1.2
    ga = PermutationGeneticOptimizer(n_individuals=10, n_iterations=20, random_state=0)
    ga.fit(d)
    assert optimum <= ga.score() < optimum * 1.15


def test_shipped_instances_and_their_optima():
    # Every shipped file reads back with its number of cities and its optimum, which no
    # 2-opt tour undercuts (a 2-opt optimum from the file order lands a few percent above).
    assert tsplib.INSTANCES == ("eil51", "berlin52", "kroA100", "ch150", "a280", "pcb442", "rat783", "pr1002")
    for name in tsplib.INSTANCES:
        instance = tsplib.load(name)
        assert instance.name == name and len(instance.coords) == int("".join(filter(str.isdigit, name)))
        assert instance.optimum == tsplib.OPTIMA[name]
        if len(instance.coords) <= 300:
            d = tsplib.euc_2d_matrix(instance.coords)
            _, length = swarmix.two_opt(list(range(len(d))), d)
            assert instance.optimum <= length < 1.2 * instance.optimum, name
    assert tsplib.parse("NAME: mine\nNODE_COORD_SECTION\n1 0 0\n2 3 4\nEOF\n").optimum is None
