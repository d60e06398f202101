"""BeeColony, GreyWolfOptimizer, FireflyOptimizer and CuckooSearch."""

import math

import pytest

from swarmix import BeeColony, CuckooSearch, FireflyOptimizer, GreyWolfOptimizer
from objectives import Recorder, constant, rastrigin, sphere

CLASSES = [BeeColony, GreyWolfOptimizer, FireflyOptimizer, CuckooSearch]
SMALL = {BeeColony: dict(n_bees=6), GreyWolfOptimizer: dict(n_wolves=5),
         FireflyOptimizer: dict(n_fireflies=5), CuckooSearch: dict(n_nests=5)}
BOX = ([-2.0, -1.0, 0.5], [2.0, 3.0, 1.5])


class Log(Recorder):
    """A Recorder that also keeps every (position, value) after the probe."""

    def __init__(self, f):
        super().__init__(f)
        self.seen = []

    def __call__(self, x):
        value = super().__call__(x)
        if self.n_calls > 1:
            self.seen.append((list(x), value))
        return value


def fit(cls, f, box=BOX, seed=3, **kw):
    obj = cls(**{**SMALL[cls], **kw}, random_state=seed)
    obj.fit(f, *box)
    return obj


def state(obj):
    return obj.predict(), obj.score(), obj.history_, obj.population_


@pytest.mark.parametrize("cls, doc, params", [
    (BeeColony, "Artificial Bee Colony for continuous minimization.\n\n"
     "Exposed to Python as `swarmix._swarmix.BeeColony`.",
     dict(n_bees=50.0, n_iterations=100.0, limit=10.0)),
    (GreyWolfOptimizer, "Grey Wolf Optimizer for continuous minimization.",
     dict(n_wolves=30.0, n_iterations=100.0)),
    (FireflyOptimizer, "Firefly algorithm for continuous minimization.",
     dict(n_fireflies=30.0, n_iterations=100.0, beta0=1.0, gamma=1.0, alpha=0.2)),
    (CuckooSearch, "Cuckoo search for continuous minimization.",
     dict(n_nests=25.0, n_iterations=100.0, pa=0.25, alpha=0.01, levy_scale=1.0)),
])
def test_class_surface(cls, doc, params):
    assert (cls.__doc__, cls().get_params()) == (doc, params)
    assert cls.fit.__text_signature__ == ("($self, objective, lower, upper, *, initial=None, "
        "n_constraints=0, n_equalities=0, integer=None)")
    if cls is BeeColony:
        assert (cls.fit.__doc__, cls.predict.__doc__, cls.score.__doc__) == (
            "Minimize `objective(list[float]) -> float` over the box `[lower, upper]`.",
            "Return the best position found.", "Return the objective value at the best position.")
        assert repr(BeeColony(7, 0, 2)) == "BeeColony(n_bees=7, n_iterations=0, limit=2)"
    else:
        assert cls.fit.__doc__ is None and cls.score.__doc__ is None
        assert repr(cls()).startswith(f"<swarmix._swarmix.{cls.__name__} object at ")


@pytest.mark.parametrize("cls, kw, calls", [
    (BeeColony, dict(n_bees=6, n_iterations=4, limit=99), 3 + 4 * 6),
    (GreyWolfOptimizer, dict(n_wolves=5, n_iterations=4), 5 * 5),
    (CuckooSearch, dict(n_nests=5, n_iterations=4, pa=0.25), 5 * 5 + 2 * 4),
    (FireflyOptimizer, dict(n_fireflies=5, n_iterations=4), None),
])
def test_call_count_and_determinism(cls, kw, calls):
    runs = []
    for _ in range(2):
        rec = Recorder(rastrigin)
        obj = fit(cls, rec, **kw)
        runs.append((state(obj), rec.n_calls, rec.digest.hexdigest()))
    assert runs[0] == runs[1]
    if calls is not None:
        assert runs[0][1] == calls + 1  # the probe
    assert state(fit(cls, rastrigin, seed=4, **kw)) != runs[0][0]


@pytest.mark.parametrize("cls", CLASSES)
def test_history_and_population(cls):
    obj = fit(cls, rastrigin, n_iterations=12)
    assert obj.score() == rastrigin(obj.predict())
    if cls is BeeColony:
        assert obj.history_ == [obj.score()] and obj.population_ == [obj.predict()]
        return
    h = obj.history_
    assert len(h) == 12 and all(a >= b for a, b in zip(h, h[1:])) and h[-1] == obj.score()
    assert len(obj.population_) == 5
    assert all(lo <= v <= hi for x in obj.population_ for v, lo, hi in zip(x, *BOX))


@pytest.mark.parametrize("cls", CLASSES)
def test_no_iterations_keeps_lowest_index_among_ties(cls):
    log = Log(constant)
    obj = fit(cls, log, n_iterations=0)
    first = [x for x, _ in log.seen]
    assert obj.predict() == first[0] and obj.score() == 5.0
    if cls is not BeeColony:
        assert obj.history_ == [] and obj.population_ == first


@pytest.mark.parametrize("cls", CLASSES)
def test_nan_first_value_counts_as_inf(cls):
    log = Log(lambda x: math.nan if log.n_calls == 2 else sphere(x))
    obj = fit(cls, log, n_iterations=5)
    best = min((v, k) for k, (_, v) in enumerate(log.seen) if not math.isnan(v))
    assert obj.score() == best[0] and obj.predict() == log.seen[best[1]][0]
    if cls is not BeeColony:
        assert not any(math.isnan(h) for h in obj.history_)


@pytest.mark.parametrize("cls, kw, message", [
    (GreyWolfOptimizer, dict(n_wolves=2), "n_wolves must be at least 3 for grey wolf optimization"),
    (GreyWolfOptimizer, dict(n_wolves=0), "n_wolves must be at least 3 for grey wolf optimization"),
    (FireflyOptimizer, dict(n_fireflies=1), "n_fireflies must be at least 2 for firefly optimization"),
    (FireflyOptimizer, dict(n_fireflies=0), "n_fireflies must be at least 2 for firefly optimization"),
    (CuckooSearch, dict(n_nests=1), "n_nests must be at least 2 for cuckoo search"),
])
def test_size_checks(cls, kw, message):
    rec = Recorder(sphere)
    with pytest.raises(ValueError, match=f"^Invalid input: {message}$"):
        cls(**kw).fit(rec, [0.0], [1.0])
    assert rec.n_calls == 1
    # the box is checked first
    with pytest.raises(ValueError, match="^Invalid input: Problem must have at least one dimension$"):
        cls(**kw).fit(sphere, [], [])


@pytest.mark.parametrize("cls", CLASSES)
def test_failed_fit_keeps_state(cls):
    obj = fit(cls, rastrigin, n_iterations=3)
    before = state(obj)
    word = "Bounds" if cls is BeeColony else "Problem"
    with pytest.raises(ValueError, match=f"^Invalid input: {word} must have at least one dimension$"):
        obj.fit(sphere, [], [])
    assert state(obj) == before


@pytest.mark.parametrize("n_bees, sources", [(0, 1), (1, 1), (2, 1), (3, 1), (4, 2), (5, 2)])
def test_bee_colony_source_count(n_bees, sources):
    log = Log(sphere)
    BeeColony(n_bees=n_bees, n_iterations=3, limit=99, random_state=1).fit(log, [-1.0, -1.0], [1.0, 3.0])
    assert len(log.seen) == sources * (1 + 2 * 3)
    if sources == 1:
        # one coordinate moves, by at most a tenth of its width; only better points are kept
        source, value = log.seen[0]
        for x, f in log.seen[1:]:
            moved = [(a - b) / w for a, b, w in zip(x, source, (2.0, 4.0)) if a != b]
            assert len(moved) <= 1 and all(abs(m) <= 0.1 for m in moved)
            if f < value:
                source, value = x, f


def test_bee_colony_limit_zero_reseeds_once_per_iteration():
    # constant values: nothing is ever accepted, so from the first iteration on every
    # counter is above 0 and exactly one scout is sent per iteration
    rec = Recorder(constant)
    BeeColony(n_bees=4, n_iterations=5, limit=0, random_state=2).fit(rec, [0.0], [1.0])
    assert rec.n_calls == 1 + 2 + 5 * (2 * 2 + 1)


@pytest.mark.parametrize("seed", [4, 20])  # NaN values and ties that change the sum
def test_grey_wolf_last_iteration_goes_to_the_leaders_mean(seed):
    # a = 0 in the last of two iterations: every wolf lands on ((alpha + beta) + delta) / 3,
    # the leaders ranked by value (NaN last, ties in index order)
    log = Log(lambda x: math.nan if x[0] > 0.0 else float(round(sphere(x))))
    obj = fit(GreyWolfOptimizer, log, seed=seed, n_wolves=3, n_iterations=2)
    after_first = sorted(log.seen[3:6], key=lambda e: (math.isnan(e[1]), e[1]))
    (a, _), (b, _), (c, _) = after_first
    mean = [min(hi, max(lo, ((p + q) + r) / 3.0)) for p, q, r, lo, hi in zip(a, b, c, *BOX)]
    assert [x for x, _ in log.seen[6:]] == [mean] * 3
    assert obj.population_ == [mean] * 3  # moves are taken unconditionally


def test_firefly_nan_firefly_counts_as_inf():
    # firefly 1 is NaN, so +inf: it never attracts firefly 0, and its first move is an
    # attempt toward firefly 0, which is accepted (any number beats +inf)
    log = Log(lambda x: math.nan if log.n_calls == 3 else sphere(x))
    obj = fit(FireflyOptimizer, log, n_fireflies=2, n_iterations=1)
    assert len(log.seen) == 3 and obj.population_ == [log.seen[0][0], log.seen[2][0]]
    assert obj.history_ == [min(log.seen[0][1], log.seen[2][1])]


def test_firefly_equal_values_make_no_move():
    log = Log(constant)
    obj = fit(FireflyOptimizer, log, n_iterations=6)
    assert len(log.seen) == 5 and obj.history_ == [5.0] * 6
    assert obj.population_ == [x for x, _ in log.seen]


@pytest.mark.parametrize("n, pa, m", [
    (5, 0.0, 1), (5, -3.0, 1), (5, math.nan, 1), (5, 0.2, 1), (5, 0.25, 2), (5, 0.4, 2),
    (5, 1.0, 5), (5, 1e300, 5), (5, math.inf, 5), (25, 0.25, 7)])
def test_cuckoo_abandon_count(n, pa, m):
    rec = Recorder(sphere)
    CuckooSearch(n_nests=n, n_iterations=100, pa=pa, random_state=0).fit(rec, [0.0], [1.0])
    assert rec.n_calls == 1 + n * 101 + m * 100


def test_cuckoo_ranking_and_replacement():
    # values with ties and NaN (counted as +inf): the worst nests (descending values, ties in
    # index order) are replaced whether the new value is better or not
    def f(x):
        return math.nan if x[0] < -0.5 else float(round(abs(x[0]) * 4))

    n, m, iterations = 7, 3, 6
    log = Log(f)
    obj = fit(CuckooSearch, log, box=([-1.0, 0.0], [1.0, 1.0]), n_nests=n, pa=m / n - 0.01,
              n_iterations=iterations, alpha=0.5)
    seen = iter(log.seen)
    nests = [(x, math.inf if math.isnan(v) else v) for x, v in (next(seen) for _ in range(n))]
    for _ in range(iterations):
        for i in range(n):
            x, v = next(seen)
            if v < nests[i][1]:
                nests[i] = (x, v)
        ranking = sorted(range(n), key=lambda i: -nests[i][1])
        for i in ranking[:m]:
            x, v = next(seen)
            nests[i] = (x, math.inf if math.isnan(v) else v)
    assert next(seen, None) is None
    assert obj.population_ == [x for x, _ in nests]


def test_cuckoo_pa_one_keeps_no_jump():
    log = Log(sphere)
    obj = fit(CuckooSearch, log, pa=1.0, n_iterations=3)
    assert sorted(obj.population_) == sorted(x for x, _ in log.seen[-5:])
    fresh = [v for k, (_, v) in enumerate(log.seen) if k < 5 or (k - 5) % 10 >= 5]
    assert obj.score() == min(fresh)
