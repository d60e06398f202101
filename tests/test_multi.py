"""Nsga2Optimizer and MopsoOptimizer: the searches and their archive results."""

import math

import pytest

from swarmix import MopsoOptimizer, Nsga2Optimizer
from objectives import Recorder, schaffer, single_obj, vec_fail_often, vec_nan_sometimes, zdt1

CLASSES = [Nsga2Optimizer, MopsoOptimizer]
NAN = math.nan
CYCLE = [[0.0, 1.0, NAN], [1.0, NAN, 0.0], [NAN, 0.0, 1.0]]


def small(cls, **kw):
    size = "n_individuals" if cls is Nsga2Optimizer else "n_particles"
    kw.setdefault(size, 6)
    kw.setdefault("n_iterations", 4)
    return cls(**kw)


def cyclic():
    """Hands out the members of a dominance cycle in turn, so nobody is in any front."""
    calls = [0]

    def f(x):
        calls[0] += 1
        return list(CYCLE[calls[0] % 3])
    return f


def test_interface():
    assert Nsga2Optimizer.__doc__ == "NSGA-II-style multi-objective optimizer."
    assert MopsoOptimizer.__doc__ == "Multi-objective PSO."
    assert Nsga2Optimizer().get_params() == {
        "n_individuals": 40.0, "n_iterations": 100.0, "crossover_rate": 0.9, "mutation_rate": 0.1,
        "mutation_scale": 0.1, "archive_size": 50.0}
    assert MopsoOptimizer(mutation_scale=3).get_params() == {
        "n_particles": 30.0, "n_iterations": 100.0, "w": 0.7, "c1": 1.5, "c2": 1.5, "mutation_scale": 3.0,
        "archive_size": 50.0}
    for cls in CLASSES:
        obj = cls()
        assert not hasattr(obj, "history_") and obj.population_ == []
        assert cls.fit.__text_signature__ == ("($self, objective, lower, upper, *, initial=None, "
            "n_constraints=0, n_equalities=0, integer=None)")
        with pytest.raises(ValueError, match=r"^must call fit\(\) before predict\(\)$"):
            obj.predict()
        with pytest.raises(ValueError, match=r"^must call fit\(\) before score\(\)$"):
            obj.score()


@pytest.mark.parametrize("cls", CLASSES)
def test_calls_determinism_and_result(cls):
    runs = []
    for seed in (3, 3, 4):
        rec = Recorder(zdt1)
        obj = small(cls, random_state=seed)
        obj.fit(rec, [0.0] * 3, [1.0] * 3)
        assert rec.n_calls == 1 + 6 * (1 + 4)
        runs.append((obj.predict(), obj.score(), obj.population_, rec.digest.hexdigest()))
    assert runs[0] == runs[1] and runs[0][3] != runs[2][3]
    archive, score, population, _ = runs[0]
    assert len(population) == 6 and all(len(x) == 3 and all(0.0 <= v <= 1.0 for v in x) for x in population)
    # the score is the archive's hypervolume
    objectives = sorted((zdt1(x) for x in archive), key=lambda f: f[0])
    level, volume = 1.0, 0.0
    for f1, f2 in objectives:
        if level > f2:
            volume, level = volume + max(1.0 - f1, 0.0) * max(level - f2, 0.0), f2
    assert score == volume


@pytest.mark.parametrize("cls", CLASSES)
def test_empty_box_and_probe(cls):
    rec = Recorder(schaffer)
    with pytest.raises(ValueError, match=r"^Invalid input: bounds must not be empty$"):
        small(cls).fit(rec, [], [])
    assert rec.n_calls == 1
    seen = []
    small(cls, n_iterations=0, random_state=1).fit(lambda x: seen.append(x) or [0.0, 0.0], [0.0, -2.0], [1.0, 4.0])
    assert seen[0] == [0.5, 1.0]
    # the probe must return a sequence of numbers; later failures count as [inf]
    with pytest.raises(TypeError, match=r"^Can't extract `str` to `Vec`$"):
        small(cls).fit(lambda x: "ab", [0.0], [1.0])
    with pytest.raises(TypeError, match=r"^'float' object cannot be converted to 'Sequence'$"):
        small(cls).fit(lambda x: 1.0, [0.0], [1.0])
    calls = [0]

    def probe_only(x):
        calls[0] += 1
        return [0.5, 0.5] if calls[0] == 1 else "ab"
    obj = small(cls, n_iterations=2, random_state=0)
    obj.fit(probe_only, [0.0], [1.0])
    assert obj.score() == 0.0 and len(obj.predict()) > 0


@pytest.mark.parametrize("cls", CLASSES)
def test_single_objective_scores_zero(cls):
    obj = small(cls, random_state=2)
    obj.fit(single_obj, [-1.0, -1.0], [1.0, 1.0])
    assert obj.score() == 0.0
    # whole fronts, best first: with one objective the archive is sorted by value
    values = [single_obj(x)[0] for x in obj.predict()]
    # (MOPSO adds all personal bests to its archive after every iteration)
    assert values == sorted(values) and len(values) == (6 if cls is Nsga2Optimizer else 6 + 4 * 6)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("objective", [vec_fail_often, vec_nan_sometimes])
def test_failures_and_nan_objectives(cls, objective):
    # failing calls give [inf], mixing lengths in the fronts; NaN values make ties
    results = []
    for _ in range(2):
        obj = small(cls, n_iterations=8, random_state=5)
        obj.fit(objective, [-1.0, -1.0], [1.0, 1.0])
        results.append((obj.predict(), obj.score(), obj.population_))
    assert results[0] == results[1]


def test_nsga2_crossover_and_mutation_off():
    rec = Recorder(zdt1)
    seen = []
    Nsga2Optimizer(n_individuals=8, n_iterations=5, crossover_rate=0.0, mutation_rate=0.0, random_state=1).fit(
        lambda x: seen.append(tuple(x)) or rec(x), [0.0] * 2, [1.0] * 2)
    # every child is an unchanged copy of a first parent
    initial = set(seen[1:9])
    assert len(initial) == 8 and set(seen[9:]) <= initial
    # blends without mutation stay inside the initial range of each coordinate
    seen.clear()
    Nsga2Optimizer(n_individuals=8, n_iterations=5, crossover_rate=1.0, mutation_rate=0.0, random_state=1).fit(
        lambda x: seen.append(x) or zdt1(x), [0.0] * 2, [1.0] * 2)
    for d in range(2):
        lo, hi = min(x[d] for x in seen[1:9]), max(x[d] for x in seen[1:9])
        assert all(lo <= x[d] <= hi for x in seen[9:])
    assert set(map(tuple, seen[9:])) - set(map(tuple, seen[1:9]))
    # mutation: copies of a first parent moved by at most mutation_scale, clamped to the box
    seen.clear()
    Nsga2Optimizer(n_individuals=8, n_iterations=5, crossover_rate=0.0, mutation_rate=1.0, mutation_scale=50.0,
                   random_state=1).fit(lambda x: seen.append(x) or zdt1(x), [0.0] * 2, [1.0] * 2)
    assert all(0.0 <= v <= 1.0 for x in seen for v in x)
    assert sum(v in (0.0, 1.0) for x in seen[9:] for v in x) > len(seen[9:])


def test_archive_size_zero():
    rec = Recorder(schaffer)
    obj = Nsga2Optimizer(n_individuals=5, n_iterations=2, random_state=0)
    obj.fit(schaffer, [0.0], [2.0])
    obj2 = Nsga2Optimizer(n_individuals=5, n_iterations=2, archive_size=0, random_state=0)
    obj2.fit(rec, [0.0], [2.0])
    assert rec.n_calls == 1 + 5 * 3 and obj2.population_ == obj.population_
    with pytest.raises(ValueError, match=r"^must call fit\(\) before predict\(\)$"):
        obj2.predict()
    with pytest.raises(ValueError, match=r"^must call fit\(\) before score\(\)$"):
        obj2.score()

    # MOPSO: a leader could never be chosen; the fit fails at once and keeps the old result
    mopso = MopsoOptimizer(n_particles=4, n_iterations=2, random_state=0)
    mopso.fit(schaffer, [0.0], [2.0])
    before = (mopso.predict(), mopso.score(), mopso.population_)
    rec = Recorder(schaffer)
    bad = MopsoOptimizer(n_particles=4, n_iterations=2, archive_size=0, random_state=0)
    with pytest.raises(ValueError, match=r"^Invalid input: archive_size must be at least 1 for MOPSO$"):
        bad.fit(rec, [0.0], [2.0])
    assert rec.n_calls == 1 and bad.population_ == []
    # without moves no leader is needed: an empty archive
    for kw in ({"n_iterations": 0}, {"n_particles": 0}):
        obj = MopsoOptimizer(**{"n_particles": 4, "n_iterations": 2, **kw}, archive_size=0, random_state=0)
        obj.fit(schaffer, [0.0], [2.0])
        assert len(obj.population_) == (4 if kw.get("n_particles") is None else 0)
        with pytest.raises(ValueError, match=r"^must call fit\(\) before predict\(\)$"):
            obj.predict()
    assert (mopso.predict(), mopso.score(), mopso.population_) == before


def test_mopso_single_particle():
    # the archive holds one point, which leads; the particle is its own personal best, so it
    # never moves; every iteration adds one more copy of that point to the archive
    seen = []
    obj = MopsoOptimizer(n_particles=1, n_iterations=3, random_state=8)
    obj.fit(lambda x: seen.append(x) or schaffer(x), [-1.0, 0.0], [1.0, 4.0])
    assert len(seen) == 1 + 4 and all(x == seen[1] for x in seen[1:])
    assert obj.predict() == [seen[1]] * 4 and obj.population_ == [seen[1]]


def test_mopso_personal_best_needs_dominance():
    # f2 rises with every call: no new point dominates its personal best, so the archive
    # keeps the initial points
    calls = [0]

    def f(x):
        calls[0] += 1
        return [x[0], float(calls[0])]
    seen = []
    obj = MopsoOptimizer(n_particles=3, n_iterations=3, random_state=1)
    obj.fit(lambda x: seen.append(x) or f(x), [0.0], [1.0])
    assert all(p in seen[1:4] for p in obj.predict())


def test_nan_values_make_no_dominance_cycle():
    # NaN counts as +inf, so the three vectors of a would-be cycle are mutually
    # non-dominated: every member stays in the first front.
    for cls in CLASSES:
        obj = small(cls, n_iterations=3, random_state=0)
        obj.fit(cyclic(), [0.0], [1.0])
        assert len(obj.population_) == 6 and obj.predict()
        assert obj.score() == 0.0  # the archive's vectors are [0, 1, inf]-like: nothing below (1, 1)


