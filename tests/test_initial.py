"""Fits that start from given points (`initial`), and the values of the Pareto front."""

import itertools
import math
import pickle

import numpy as np
import pytest

from estimators import (CLASSES, MATRIX, fit_args, freeze, is_binary, is_multi, is_tour, small_kwargs, state,
                        tour_length, two_sphere)
from objectives import sphere

NAME = lambda c: c.__name__  # noqa: E731
BOX_CLASSES = [c for c in CLASSES if not is_tour(c)]
TOUR_CLASSES = [c for c in CLASSES if is_tour(c)]
SIZE = 6  # the population parameter of every fit here


def holds(cls):
    """How many points `initial` may give a fit of SIZE, and the message's reason."""
    name = cls.__name__
    if name in ("SimulatedAnnealing", "CmaEsOptimizer", "BipopCmaEs"):
        return 1, "one start point"
    if name == "BeeColony":
        return SIZE // 2, "from n_bees"
    return SIZE, [n for n in small_kwargs(cls) if n != "n_iterations"][0]  # the population's count


def make(cls, n_iterations):
    return cls(**small_kwargs(cls, size=SIZE, iterations=n_iterations), random_state=5)


def given_points(cls):
    if is_binary(cls):
        rows = [[1.0, 0.0, 1.0], [0.0, 0.0, 0.0]]
    else:  # inside the box of fit_args, its corners included
        rows = [[0.25, -1.5, 0.125], [-1.0, 2.0, 0.5]]
    return rows[: min(2, holds(cls)[0])]


def recorded_fit(obj, **kw):
    """The fit's calls (the probe first) with fit_args' objective."""
    objective, lower, upper = fit_args(type(obj))
    calls = []

    def f(x):
        calls.append(list(x))
        return objective(x)

    obj.fit(f, lower, upper, **kw)
    return calls


@pytest.mark.parametrize("cls", BOX_CLASSES, ids=NAME)
def test_given_points_replace_the_first_drawn_ones(cls):
    given = given_points(cls)
    k = len(given)
    # With no iteration a fit evaluates only its start: the given points come first after the
    # probe, and the rest of the start is the one drawn without them, with no extra call.
    cold = recorded_fit(make(cls, 0))
    warm = recorded_fit(make(cls, 0), initial=given)
    assert freeze(warm) == freeze([cold[0], *given, *cold[1 + k:]])
    assert recorded_fit(make(cls, 0), initial=[]) == cold

    # A searching fit still opens with them, and is a pure function of its input: lists and
    # numpy arrays (one point may be given flat) give the same calls and results.
    runs = []
    for form in (given, np.array(given), *([np.array(given[0])] if k == 1 else [])):
        obj = make(cls, 2)
        runs.append((recorded_fit(obj, initial=form), state(obj)))
    assert freeze(runs[0][0][1:1 + k]) == freeze(given)
    assert all(freeze(calls) == freeze(runs[0][0]) and after == runs[0][1] for calls, after in runs)

    # The population a fit leaves is a valid start for the next (not CMA-ES's samples).
    population = obj.population_
    if cls.__name__ in ("CmaEsOptimizer", "BipopCmaEs"):
        with pytest.raises(ValueError, match=f"^initial has 6 points; {cls.__name__} holds 1"):
            obj.fit(*fit_args(cls), initial=population)
    else:
        obj.fit(*fit_args(cls), initial=population)


@pytest.mark.parametrize("cls", TOUR_CLASSES, ids=NAME)
def test_given_tours_join_the_first_ones(cls):
    lengths = {p: tour_length(p, MATRIX) for p in itertools.permutations(range(6))}
    shortest = list(min(lengths, key=lengths.get))
    worst = list(max(lengths, key=lengths.get))
    kwargs = small_kwargs(cls, size=SIZE, iterations=1 if cls.__name__ == "AntColony" else 0)

    def fitted(initial):
        obj = cls(**kwargs, use_two_opt=False, random_state=3)
        obj.fit(MATRIX, initial=initial)
        return obj

    # A shortest tour given to the first ant or individual is the result, as given (a tour
    # drawn later must be strictly shorter to replace it); two runs agree.
    for form in (shortest, np.array([shortest], dtype=np.int64), [[float(c) for c in shortest]]):
        obj = fitted(form)
        assert obj.predict() == shortest and obj.score() == lengths[tuple(shortest)]
        assert state(obj) == state(fitted(shortest))
    if cls.__name__ == "AntColony":
        # The ant given a tour still draws its own, so the other ants build what they build
        # without it: here the third ant's tour is shorter than the first two ants' and stays
        # the result when the first ant is given the longest tour.
        def colony(n_ants, initial=None):
            obj = cls(n_ants=n_ants, n_iterations=1, use_two_opt=False, random_state=2)
            obj.fit(MATRIX, initial=initial)
            return obj

        assert colony(3).score() < colony(2).score()
        assert colony(3, [worst]).predict() == colony(3).predict()
    else:
        # The unevaluated rest of the population is the one drawn without the given tours.
        cold = fitted(None).population_
        warm = fitted([worst, shortest]).population_
        rest = list(warm)
        rest.remove(shortest)
        rest.remove(worst)
        assert all(rest.count(row) <= cold.count(row) for row in rest) and len(rest) == len(cold) - 2
    obj.fit(MATRIX, initial=obj.population_)


def refusals():
    for cls in CLASSES:
        n, why = holds(cls)
        yield cls, [given_points(cls)[0] if not is_tour(cls) else list(range(6))] * (n + 1), \
            f"^initial has {n + 1} points; {cls.__name__} holds {n} \\({why}\\)$"
    de = next(c for c in CLASSES if c.__name__ == "DifferentialEvolution")
    multi = next(c for c in CLASSES if is_multi(c))
    binary = next(c for c in CLASSES if is_binary(c))
    yield de, [[0.0, 0.0]], "^initial row 0 has length 2, not 3$"
    yield de, [0.0, math.nan, 0.0], "^initial row 0, coordinate 1 is NaN$"
    yield de, [[0.0, 0.0, 0.0], [0.0, 0.0, 0.75]], r"^initial row 1, coordinate 2 is 0.75, outside the box \[0, 0.5\]$"
    yield multi, [-1.5, 0.0, 0.0], r"^initial row 0, coordinate 0 is -1.5, outside the box \[-1, 1\]$"
    yield binary, [[1.0, 0.5, 0.0]], r"^initial row 0, coordinate 1 is 0.5, not a bit \(0 or 1\)$"
    for cls in TOUR_CLASSES:
        yield cls, [0, 1, 2, 3, 4, 4], "^initial row 0 is not a tour: a permutation of the cities 0 to 5$"
        yield cls, [[0, 1, 2, 3, 4, 5], [0, 1, 2, 3, 4]], "^initial row 1 is not a tour"


@pytest.mark.parametrize("cls, initial, message", list(refusals()), ids=lambda v: getattr(v, "__name__", ""))
def test_refused_points_leave_the_object_and_call_nothing(cls, initial, message):
    obj = make(cls, 1)
    obj.fit(*fit_args(cls))
    before = state(obj)
    calls = []

    def objective(x):
        calls.append(x)
        return (two_sphere if is_multi(cls) else sphere)(x)

    args = fit_args(cls, objective)
    with pytest.raises(ValueError, match=message):
        obj.fit(*args, initial=initial)
    with pytest.raises(TypeError, match="^argument 'initial': "):
        obj.fit(*args, initial=5)
    assert calls == [] and state(obj) == before


@pytest.mark.parametrize("cls", [c for c in CLASSES if is_multi(c)], ids=NAME)
def test_front_values_are_the_evaluated_objectives_of_the_front(cls):
    obj = make(cls, 3)
    assert obj.front_values_ == []
    calls = recorded_fit(obj)
    front = obj.predict()
    assert freeze(obj.front_values_) == freeze([two_sphere(p) for p in front])
    assert all(p in calls for p in front)  # evaluated during the fit, not again
    assert pickle.loads(pickle.dumps(obj)).front_values_ == obj.front_values_
    broken = list(obj.__reduce__()[2])
    broken[5] = broken[5][1:]
    with pytest.raises(ValueError, match="^malformed pickled state$"):
        obj.__setstate__(tuple(broken))
