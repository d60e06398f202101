"""Constraints and integer coordinates: the order of points, the one rule for a row's length on
every path, the refusals, and the classes that handle them (discovered, not listed): grouped,
journaled, told and pickled fits are the plain fit, every evaluated point whole where it must be."""

import math
import pickle
import struct

import numpy as np
import pytest

from estimators import CLASSES, attempt, fit_args, freeze, handles, is_multi, is_tour, small_kwargs, state, two_sphere
from objectives import failure_kind, sphere
from swarmix import (AskTell, DifferentialEvolution, Monitor, _testing, hypervolume, journaled, parallel, read_journal,
                     vectorized)
from test_groups import Calls, InOrder, numpy_style
from test_journal import frames

NAME = lambda c: c.__name__  # noqa: E731
CONSTRAINED = [c for c in CLASSES if handles(c, "n_constraints")]
INTEGRAL = [c for c in CLASSES if handles(c, "integer")]
INF = math.inf


def active(x):
    """min (x0 - 2)² + (x1 - 1)² with x0² ≤ x1 and x0 + x1 ≤ 2: the optimum (1, 1), both active."""
    return [(x[0] - 2.0) ** 2 + (x[1] - 1.0) ** 2, x[0] * x[0] - x[1], x[0] + x[1] - 2.0]


def flaky_row(x, objectives=1):
    """A row of 1 (or 2) objective, 2 inequality and 1 equality values that fails in every way."""
    k = failure_kind(x)
    if k == 1:
        raise RuntimeError("flaky point")
    if k == 3:
        return "not a row"
    row = active(x) + [x[2] - 0.25]
    if objectives == 2:
        row.insert(1, x[1] * x[1] - x[0])
    if k == 2:
        row[1] = math.nan
    if k == 4:
        row[3] = -INF
    return row


KEYWORDS = {"n_constraints": 2, "n_equalities": 1, "integer": [1]}


def flaky(cls):
    """flaky_row with as many objectives as `cls` takes (two for a multi-objective class)."""
    return (lambda x: flaky_row(x, 2)) if is_multi(cls) else flaky_row


def keywords_of(cls):
    """KEYWORDS, the integer coordinate only where the class takes one."""
    return KEYWORDS if cls in INTEGRAL else dict(KEYWORDS, integer=None)


def fitted_with(cls, objective, wrap=lambda f: f, keywords=None):
    """A small fit of `cls` on fit_args' box (KEYWORDS by default): the object, and the points
    evaluated."""
    keywords = keywords_of(cls) if keywords is None else keywords
    calls = Calls(objective)
    obj = cls(**small_kwargs(cls, size=6, iterations=4, other=2), random_state=4)
    obj.fit(wrap(calls), *fit_args(cls)[1:], **keywords)
    return obj, calls.points


def observed(obj):
    return state(obj), obj.feasible_, obj.violation_, freeze(obj.constraint_values_)


# ---------------------------------------------------------------- the order of points


def test_the_order_of_points():
    # The violation: max(g, 0) summed, then max(|h| - 1e-4, 0); an equality within 1e-4 is met.
    assert _testing.standing([1.5, 0.5, -1.0, 3e-4, -1e-4], 2, 2) == (1.5, 0.5 + (3e-4 - 1e-4))
    assert _testing.standing([-2.0, 0.0, -0.0, 1e-4], 2, 1) == (-2.0, 0.0)
    for bad in (math.nan, INF, -INF):  # anything not finite, anywhere, is a failed point
        assert _testing.standing([bad, -1.0], 1, 0) == _testing.standing([0.0, bad], 1, 0) == (INF, INF)
    # A feasible point beats every infeasible one, however good its value; feasible points
    # compare by value (the first of equals is kept), infeasible ones by violation only.
    rows = [[-9.0, 0.5], [3.0, 0.0], [-1.0, 0.25], [2.0, -1.0], [2.0, -3.0], [math.nan, 0.0], [-50.0, 0.25]]
    best, pairs = _testing.deb_best(rows, 1, 0)
    assert best == 3
    assert pairs == [(False, False), (True, True), (False, False), (False, True), (True, True), (False, False)]
    assert _testing.deb_best([[-9.0, 0.5], [7.0, math.nan], [5.0, 0.5], [-1.0, 0.25]], 1, 0)[0] == 3
    assert _testing.deb_best([[math.nan, 1.0], [INF, 0.0]], 1, 0) == (0, [(False, True)])  # all failed: the first
    # Constraint-domination: feasibility first, then violation, then Pareto dominance.
    dominates = _testing.constraint_dominates
    assert dominates([9.0, 9.0, 0.0], [0.0, 0.0, 1.0], 2, 1, 0) and not dominates([0.0, 0.0, 1.0], [9, 9, 0], 2, 1, 0)
    assert dominates([9.0, 9.0, 0.5], [0.0, 0.0, 1.0], 2, 1, 0)
    assert not dominates([0.0, 0.0, 0.5], [9.0, 9.0, 0.5], 2, 1, 0)  # equal violations: neither
    assert dominates([0.0, 1.0, -1.0], [0.0, 2.0, 0.0], 2, 1, 0) and not dominates([0, 1, -1], [1, 0, 0], 2, 1, 0)
    # Rounding: half away from zero, inside the (whole) bounds.
    assert _testing.round_integers([0.5, -0.5, 2.5, 7.2, 1.5], [0, 1, 2, 3], [0, -1, 0, 0, 0], [3, 3, 2, 5, 2]) == \
        [1.0, -1.0, 2.0, 5.0, 1.5]


# ---------------------------------------------------------------- refusals and the row's length


def refusals(cls):
    """(keywords, exception, message) that `cls` refuses before calling its objective."""
    de = "DifferentialEvolution" if not is_tour(cls) else None
    yield {"n_constraints": -1}, ValueError, "^n_constraints must not be negative, not -1$"
    yield {"n_equalities": 1.0}, TypeError, "^argument 'n_equalities': 'float' object cannot be interpreted"
    yield {"integer": [0, 0]}, ValueError, "^integer repeats index 0$"
    yield {"integer": [-1]}, ValueError, "^integer index -1 is out of range for"
    yield {"integer": [True, False]}, ValueError, "^integer has 2 booleans for [36] coordinates$"
    yield {"integer": [True, 1]}, TypeError, "^argument 'integer': booleans and indices mixed$"
    if not handles(cls, "n_constraints"):
        yield {"n_constraints": 1}, ValueError, \
            rf"^{cls.__name__} does not handle constraints \(n_constraints, n_equalities\); classes that do: " + \
            " and ".join(c.__name__ for c in CONSTRAINED).replace(" and ", ", ", len(CONSTRAINED) - 2) + "$"
    if not handles(cls, "integer"):
        yield {"integer": np.array([True] + [False] * (len(fit_args(cls)[-1]) - 1))}, ValueError, \
            rf"^{cls.__name__} does not handle integer coordinates \(integer\); classes that do: .*{de or ''}"
    else:
        yield {"integer": [2]}, ValueError, r"^the bounds of integer coordinate 2 must be whole numbers, not \[0, 0.5\]$"
        yield {"integer": [0], "initial": [0.5, 0.0, 0.0]}, ValueError, \
            r"^initial row 0, coordinate 0 is 0.5, not a whole number \(an integer coordinate\)$"


@pytest.mark.parametrize("cls", CLASSES, ids=NAME)
def test_refused_keywords_leave_the_object_and_call_nothing(cls):
    obj = cls(**small_kwargs(cls), random_state=1)
    obj.fit(*fit_args(cls))
    assert (obj.feasible_, obj.violation_, obj.constraint_values_) == (True, 0.0, [])  # unconstrained
    before = state(obj)
    calls = []
    args = fit_args(cls, lambda x: calls.append(x) or (two_sphere if is_multi(cls) else sphere)(x))
    for keywords, error, message in refusals(cls):
        with pytest.raises(error, match=message):
            obj.fit(*args, **keywords)
    assert calls == [] and state(obj) == before
    # An empty selection is no selection: the plain fit, bit for bit.
    for empty in ([], [False] * len(args[-1]), np.array([], dtype=np.int64)):
        obj.fit(*args, integer=empty, n_constraints=0)
        assert state(obj) == before


def wrong_length_paths(tmp_path):
    """Each way a fit reads rows: the per-point, group, journaled and told paths."""
    yield "plain", lambda f: f
    yield "vectorized", lambda f: vectorized(lambda X: [f(x) for x in X.tolist()])
    yield "parallel", lambda f: parallel(f, InOrder())
    yield "journal", lambda f: journaled(f, tmp_path / "fit.swj")
    yield "told", None


def test_a_row_of_the_wrong_length_ends_the_fit_on_every_path(tmp_path):
    def short_later(x):  # the probe (the box's midpoint, 0) is right; later rows lack the equality
        return active(x)[:3 if x[0] == 0.0 else 2] + [0.0]

    def changing(x):  # a multi-objective objective whose vectors change length
        return [x[0], x[1]] if x[0] == 0.0 else [x[0], x[1], 1.0]

    cases = [(DifferentialEvolution, short_later, {"n_constraints": 2, "n_equalities": 1},
              "the objective returned 3 values; expected 4: 1 objective value, 2 inequality values, 1 equality value"),
             (DifferentialEvolution, lambda x: [1.0, 2.0], {"n_constraints": 2, "n_equalities": 1},
              "the objective returned 2 values; expected 4: 1 objective value, 2 inequality values, 1 equality value")]
    cases += [(cls, changing, {}, "the objective returned 3 values; expected 2, as many as its first evaluation "
               "returned") for cls in CLASSES if is_multi(cls)]
    for cls, objective, keywords, message in cases:
        for name, wrap in wrong_length_paths(tmp_path):
            obj = cls(n_iterations=2, random_state=3)
            if wrap is None:
                run = AskTell(obj, [-1.0, -1.0], [1.0, 1.0], **keywords)
                result = attempt(lambda: [run.tell([objective(x) for x in run.ask()]) for _ in range(3)])
            else:
                result = attempt(lambda: obj.fit(wrap(objective), [-1.0, -1.0], [1.0, 1.0], **keywords))
            assert type(result) is ValueError and str(result) == message, (cls, name, result)
            assert obj.population_ == []
            if name == "journal":  # nothing of the wrong length recorded; the resume fails alike
                assert all(len(v) == len(objective([0.0, 0.0])) for v in read_journal(tmp_path / "fit.swj").values
                           if v is not None)
                again = attempt(lambda: obj.fit(wrap(objective), [-1.0, -1.0], [1.0, 1.0], **keywords))
                assert str(again) == message
                (tmp_path / "fit.swj").unlink()


# ---------------------------------------------------------------- the classes that handle them


@pytest.mark.parametrize("cls", CONSTRAINED, ids=NAME)
def test_grouped_journaled_and_told_fits_are_the_plain_fit(cls, tmp_path):
    keywords = keywords_of(cls)
    row = flaky(cls)
    plain, points = fitted_with(cls, row)
    expected = observed(plain)
    if is_multi(cls):  # a row of g and h per front point
        assert len(plain.constraint_values_) == len(plain.front_values_)
        assert {len(r) for r in plain.constraint_values_} == {3}
    else:
        assert len(plain.constraint_values_) == 3
    wraps = {"vectorized": lambda calls: vectorized(numpy_style(calls, True)),
             "parallel": lambda calls: parallel(calls, InOrder()),
             "monitored": lambda calls: Monitor(vectorized(numpy_style(calls, True)))}
    for name, wrap in wraps.items():
        obj, seen = fitted_with(cls, row, wrap)
        assert (observed(obj), seen) == (expected, points), name

    # A journal cut after any of its records resumes to the same fit, evaluating only the rest.
    path = tmp_path / "fit.swj"
    obj, _ = fitted_with(cls, row, lambda calls: journaled(calls, path))
    assert observed(obj) == expected
    data = path.read_bytes()
    cuts = frames(data)[1:-1]
    for start, end in cuts[:: max(1, len(cuts) // 4)]:
        path.write_bytes(data[:end])
        kept = len(read_journal(path).points)
        obj, seen = fitted_with(cls, row, lambda calls: journaled(calls, path))
        assert observed(obj) == expected and seen == points[:1] + points[kept:]
    assert path.read_bytes() == data

    # Told, with a pickle in the middle.
    run = AskTell(cls(**small_kwargs(cls, size=6, iterations=4, other=2), random_state=4), *fit_args(cls)[1:],
                  **keywords)
    asked = []
    while not run.done:
        if len(asked) == 7:
            run = pickle.loads(pickle.dumps(run))
        X = run.ask()
        assert cls not in INTEGRAL or all(x[1] == round(x[1]) for x in X)  # whole where integer, as asked
        asked += [struct.pack("<3d", *x) for x in X]
        told = []
        for x in X:
            try:
                told.append(row(x))
            except RuntimeError as exc:
                told.append(exc)
        run.tell(told)
    assert (observed(run.optimizer), asked) == (expected, points)


@pytest.mark.parametrize("cls", CONSTRAINED, ids=NAME)
def test_constrained_results_pickle_and_older_states_load(cls):
    obj, _ = fitted_with(cls, flaky(cls))
    copy = pickle.loads(pickle.dumps(obj))
    assert observed(copy) == observed(obj) and copy.feasible_ == (copy.violation_ == 0.0)
    if is_multi(cls):  # each front point's own row, as evaluated
        rows = [flaky(cls)(x) for x in obj.predict()]
        assert (obj.front_values_, obj.constraint_values_) == ([r[:2] for r in rows], [r[2:] for r in rows])
    else:
        row = flaky_row(obj.predict())  # the best point's own row, as evaluated
        assert (obj.score(), obj.constraint_values_) == (row[0], row[1:])
    parts = obj.__reduce__()[2]
    older = cls(**small_kwargs(cls, size=6, iterations=4, other=2), random_state=4)
    older.__setstate__(parts[:-2])  # a state pickled before the constraint parts existed
    assert (older.predict(), older.feasible_, older.violation_, older.constraint_values_) == \
        (obj.predict(), True, 0.0, [])
    for broken in ((*parts[:-1], [parts[-1][0][:2]]), (*parts[:-2], (2, 0), parts[-1]), (*parts[:-2], (-1, 1), []),
                   (*parts[:-1], [[math.nan] * 3]), (*parts[:-2], (0, 0), parts[-1]), (*parts[:-1], [])):
        with pytest.raises(ValueError, match="^malformed pickled state$"):
            older.__setstate__(broken)
    assert older.constraint_values_ == []


@pytest.mark.parametrize("cls", INTEGRAL, ids=NAME)
def test_every_evaluated_point_is_whole_at_the_integer_coordinates(cls):
    lower = [-1e15, 3.0, -2.0**60, -5.0, 0.0]
    upper = [1e15, 3.0, 2.0**60, 5.0, 1.0]
    integer = [0, 1, 2, 4]
    for seed in range(3):
        calls = Calls(lambda x: [sum(v * v for v in x), x[3]] if is_multi(cls) else sum(v * v for v in x))
        obj = cls(**small_kwargs(cls, size=6, iterations=6, other=2), random_state=seed)
        obj.fit(calls, lower, upper, integer=[j in integer for j in range(5)])
        points = [struct.unpack("<5d", p) for p in calls.points]
        best = obj.predict() if is_multi(cls) else [obj.predict()]
        for x in points + [tuple(p) for p in best + obj.population_]:
            assert all(x[j] == math.floor(x[j]) and lower[j] <= x[j] <= upper[j] for j in integer), x
            assert x[1] == 3.0


def test_a_trial_never_rounds_back_onto_its_member():
    # In {0, 1} with a constant objective, every trial differs from its member and replaces it:
    # each generation flips the population. With no integer coordinate free to move, the trials
    # equal their members and cost nothing.
    def population(n_iterations, lower, upper, calls=None):
        opt = DifferentialEvolution(n_individuals=8, n_iterations=n_iterations, random_state=2)
        opt.fit(calls or (lambda x: 1.0), lower, upper, integer=[0])
        return opt.population_

    start = population(0, [0.0], [1.0])
    assert {v for (v,) in start} == {0.0, 1.0}
    assert population(1, [0.0], [1.0]) == [[1.0 - v] for (v,) in start]
    assert population(2, [0.0], [1.0]) == start
    calls = Calls(lambda x: 1.0)
    assert population(5, [3.0], [3.0], calls) == [[3.0]] * 8 and len(calls.points) == 1 + 8


def test_differential_evolution_finds_the_integer_optimum_that_rounding_misses():
    # The relaxed optimum (1.2, 0.6) rounds to (1, 1), worth 10.16; the integer optimum is (2, 1).
    def f(x):
        return 10.0 * (x[0] - 2.0 * x[1]) ** 2 + (x[1] - 0.6) ** 2

    relaxed = DifferentialEvolution(n_iterations=100, random_state=0)
    relaxed.fit(f, [-5.0, -5.0], [5.0, 5.0])
    assert [round(v) for v in relaxed.predict()] == [1, 1]
    for seed in range(3):
        opt = DifferentialEvolution(n_individuals=10, n_iterations=30, random_state=seed)
        opt.fit(f, [-5.0, -5.0], [5.0, 5.0], integer=[0, 1])
        assert opt.predict() == [2.0, 1.0] and opt.score() == f([2.0, 1.0])


def test_differential_evolution_ends_feasible_and_on_active_constraints():
    def line(x):  # x0 + x1 = 1 (within 1e-4): no start point meets it
        return [x[0] * x[0] + x[1] * x[1], x[0] + x[1] - 1.0]

    for seed in range(3):
        opt = DifferentialEvolution(n_iterations=300, random_state=seed)
        # A Monitor's target is never reached by an infeasible best (its best value is None).
        monitor = Monitor(line, target=100.0)
        opt.fit(monitor, [-3.0, -3.0], [3.0, 3.0], n_equalities=1)
        assert monitor.stop_reason == "target" and monitor.trace[-1][1] <= 100.0
        assert monitor.trace[0][1] is None and all(best is None for _, best in monitor.trace[:-1])
        assert opt.feasible_ and abs(opt.constraint_values_[0]) <= 1e-4
        opt.fit(line, [-3.0, -3.0], [3.0, 3.0], n_equalities=1)
        assert opt.feasible_ and abs(opt.predict()[0] - 0.5) < 1e-3
        # The optimum (1, 1), where both inequalities hold with equality, to 1e-6.
        opt.fit(active, [-3.0, -3.0], [3.0, 3.0], n_constraints=2)
        assert max(abs(opt.predict()[0] - 1.0), abs(opt.predict()[1] - 1.0)) < 1e-6
        assert opt.feasible_ and opt.constraint_values_ == active(opt.predict())[1:]
        assert opt.history_[-1] == opt.score() == active(opt.predict())[0]


# ---------------------------------------------------------------- several objectives

MULTI = [c for c in CONSTRAINED if c in INTEGRAL and is_multi(c)]


def test_constraint_domination_ranks_hand_made_populations():
    survivors = _testing.select_survivors
    # Feasible members first however good the infeasible ones look, then by violation: equal
    # violations share a front (the Pareto-better (-5, -5) does not beat (0, 0)), a failed row last.
    objectives = [[1.0, 1.0], [0.0, 2.0], [2.0, 0.0], [0.0, 0.0], [-5.0, -5.0], [3.0, 3.0], [math.nan, 1.0]]
    violations = [0.0, 0.0, 0.0, 0.5, 0.5, 0.25, INF]
    assert [(i, r) for i, r, _ in survivors(objectives, 7, violations)] == \
        [(0, 0), (1, 0), (2, 0), (5, 1), (3, 2), (4, 2), (6, 3)]
    assert [i for i, _, _ in survivors(objectives, 5, violations)] == [0, 1, 2, 5, 3]  # a tie: front order
    assert [(i, r) for i, r, _ in survivors(objectives[:4], 4, [0.3, 0.1, 0.2, 0.1])] == \
        [(1, 0), (3, 0), (2, 1), (0, 2)]  # all infeasible: by violation alone
    dominated = [[1.0, 4.0], [2.0, 2.0], [3.0, 3.0], [0.5, 5.0], [4.0, 1.0], [3.0, 3.0]]
    assert survivors(dominated, 4, [0.0] * 6) == survivors(dominated, 4)  # all feasible: plain NSGA-II

    # NSGA-III: among more feasible members than places, the niching of the feasible ones alone
    # (the normalisation learns from them only); a last front of infeasible members gives its
    # first members in front order.
    rng = np.random.default_rng(3)
    values = rng.random((30, 3)).tolist()
    violations = [0.0 if i % 3 else 0.5 + i for i in range(30)]
    feasible = [i for i in range(30) if violations[i] == 0.0]
    directions = [[a / 4, b / 4, (4 - a - b) / 4] for a in range(5) for b in range(5 - a)]
    for seed in range(3):
        kept = _testing.nsga3_survival(seed, values, 12, directions, violations)
        alone = _testing.nsga3_survival(seed, [values[i] for i in feasible], 12, directions)
        assert kept == [feasible[k] for k in alone]
    few = [[0.0, 1.0, 1.0], [1.0, 0.0, 1.0], [2.0, 2.0, 2.0], [-1.0, -1.0, -1.0], [-2.0, 0.0, 0.0], [0.0, -3.0, 0.0]]
    assert _testing.nsga3_survival(0, few, 4, directions, [0.0, 0.0, 0.0, 0.2, 0.1, 0.1]) == [0, 1, 2, 4]
    assert _testing.nsga3_survival(0, few, 2, directions, [0.3, 0.1, 0.2, 0.3, 0.3, 0.3]) == [1, 2]


def pareto_rows(rows):
    return [r for r in rows if not any(o != r and all(a <= b for a, b in zip(o, r)) for o in rows)]


@pytest.mark.parametrize("cls", MULTI, ids=NAME)
def test_the_front_is_infeasible_only_when_no_point_is_feasible(cls):
    def narrow(x):  # x0 >= 0.98: hardly any start point is feasible
        return [x[0], 1.0 - x[0] + x[1] * x[1], 0.98 - x[0]]

    def nowhere(x):
        return [x[0], 1.0 - x[0], 1.0 + x[1] * x[1]]

    for seed in range(3):
        obj = cls(**small_kwargs(cls, size=12, iterations=25), random_state=seed)
        obj.fit(narrow, [0.0, -1.0], [1.0, 1.0], n_constraints=1)
        rows = [narrow(x) for x in obj.population_]
        front = [r[:2] for r in rows if r[2] <= 0.0]
        assert obj.feasible_ and obj.violation_ == 0.0 and all(g <= 0.0 for (g,) in obj.constraint_values_)
        assert sorted(obj.front_values_) == sorted(pareto_rows(front))  # the feasible members' own front
        assert obj.front_values_ == [narrow(x)[:2] for x in obj.predict()]
        assert obj.score([2.0, 2.0]) == hypervolume(obj.front_values_, [2.0, 2.0]) > 0.0

        obj.fit(nowhere, [0.0, -1.0], [1.0, 1.0], n_constraints=1)
        least = min(nowhere(x)[2] for x in obj.population_)
        assert not obj.feasible_ and obj.violation_ == least >= 1.0
        assert obj.constraint_values_ == [[least]] * len(obj.front_values_) and obj.score([2.0, 2.0]) == 0.0


@pytest.mark.parametrize("cls", MULTI, ids=NAME)
def test_an_integer_child_never_rounds_back_onto_a_member(cls):
    # Copies of the parents, mutated by hardly anything: each child is a member moved one unit,
    # never a member itself nor an earlier child.
    calls = Calls(lambda x: [x[0], -x[0]])
    directions = {"reference_directions": [[1.0, 0.0], [0.5, 0.5], [0.0, 1.0]]} if "reference_directions" in \
        cls().get_params() else {}
    obj = cls(n_individuals=8, n_iterations=1, crossover_rate=0.0, mutation_rate=1.0, mutation_eta=1e6,
              random_state=5, **directions)
    obj.fit(calls, [0.0], [50.0], integer=[0])
    points = [struct.unpack("<d", p)[0] for p in calls.points]
    start, children = points[1:9], points[9:]
    assert len(children) == 8 == len(set(children)) and all(v == round(v) for v in points)
    assert all(min(abs(c - s) for s in start) == 1.0 for c in children)
