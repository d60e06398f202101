"""Arbitrary Python values thrown at every constructor, every fit, two_opt and __setstate__.

Whatever goes in, the interpreter survives, every failure is one of the documented
exception types with the documented text, a failed fit leaves the object exactly as it
was, and a successful fit keeps its positions in the box and its score equal to the
objective at its prediction. SWARMIX_FUZZ_EXAMPLES=<n> runs n examples per test (random
rather than the fixed derandomised set that CI uses).
"""

import fractions
import math
import operator
import os
import pickle
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from swarmix import UsageError
from estimators import (CLASSES, COUNT, FLAG, INTERNAL, REAL, ROWS, TWO_OPT, attempt, fit_args, fitted, freeze,
                        is_binary, is_multi, is_single_entry, is_tour, params, same_float, small, sphere, state, TWO_DIRECTIONS,
                        tour_length, two_sphere)

try:
    import numpy as np
except ImportError:  # numpy is optional: its cases are skipped without it
    np = None

_LONG = int(os.environ.get("SWARMIX_FUZZ_EXAMPLES", "0"))
fuzz = settings(max_examples=_LONG or 25, deadline=None, derandomize=not _LONG, database=None,
                suppress_health_check=list(HealthCheck))

by_class = pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
objective_classes = [c for c in CLASSES if not is_tour(c)]
tour_classes = [c for c in CLASSES if is_tour(c)]

# ---------------------------------------------------------------- hostile values

# Every exception that one of the hostile objects below raises, in order; a test clears it.
RAISED = []


class Boom(Exception):
    """An ordinary failure inside user code."""


class Halt(BaseException):
    """Something like KeyboardInterrupt inside user code: it must never be swallowed."""


def _raise(exc_type, where):
    exc = exc_type(where)
    RAISED.append(exc)
    raise exc


def hooked(hook, exc_type):
    """An object whose `hook` raises; sequences (len, iter) still hold two floats."""
    body = {f"__{hook}__": lambda self, *a: _raise(exc_type, hook)}
    if hook in ("len", "iter"):
        body.setdefault("__getitem__", lambda self, i: [0.5, 1.5][i])
        body.setdefault("__len__", lambda self: 2)
    return type(f"Raising{hook.title()}{exc_type.__name__}", (), body)()


class ReturnsWrong:
    def __float__(self):
        return "not a float"

    def __index__(self):
        return 2.5


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"Index({self.v})"


class FloatSeq:
    """A sequence by the old protocol only (__getitem__ until IndexError)."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"FloatSeq({self.items})"


HOOKED = [hooked(h, e) for h in ("float", "index", "len", "iter") for e in (Boom, TypeError, Halt)]
WEIRD = [None, "1.5", b"\x01", bytearray(b"\x02"), [1.0], (2.0,), {}, set(), object(), 1j, fractions.Fraction(1, 3),
         ReturnsWrong(), Index(3), Index(-1), Index(2**64), math.nan, -0.0, math.inf, -math.inf, 5e-324,
         "\ud800"]

ints = st.one_of(st.integers(-3, 6), st.integers(2**63 - 2, 2**64 + 2), st.integers(-2**70, 2**70),
                 st.sampled_from([2**1100, -2**1100]))
scalars = st.one_of(ints, st.booleans(), st.floats(), st.sampled_from(WEIRD), st.sampled_from(HOOKED),
                    st.text(max_size=3), st.integers(-2, 2**64).map(Index))
if np is not None:
    scalars = st.one_of(scalars, st.floats().map(np.float64), st.floats(width=32).map(np.float32),
                        st.integers(-2**63, 2**63 - 1).map(np.int64), st.booleans().map(np.bool_),
                        st.floats().map(np.array))


def sequences(items, max_size=4):
    """Sequence arguments of every shape: lists, tuples, generators, old-protocol sequences,
    strings, non-sequences and (with numpy) arrays."""
    lists = st.lists(items, max_size=max_size)
    options = [lists, lists.map(tuple), lists.map(lambda v: (x for x in v)), lists.map(FloatSeq), items,
               st.text(max_size=3), st.binary(max_size=3), st.integers(-1, 4).map(range),
               st.sampled_from(HOOKED), st.dictionaries(st.integers(0, 2), st.floats(), max_size=2)]
    if np is not None:
        options.append(st.lists(st.floats(), max_size=max_size).map(np.array))
        options.append(st.lists(st.integers(-5, 5), max_size=max_size).map(np.array))
        options.append(st.integers(0, 3).map(lambda n: np.zeros((n, 2))))
    return st.one_of(*options)


def plain_floats(max_size=4):
    return st.lists(st.floats(), max_size=max_size)


# ---------------------------------------------------------------- documented failures

VALUE_ERRORS = [r"Lower and upper bounds must have the same length", r"Lower bound \S+ > upper bound \S+ at index \d+",
                r"(Lower|Upper) bound \S+ at index \d+ is not finite",
                r"(Invalid input|Convergence error|Dimension mismatch): .+", r"distance_matrix must be non-empty",
                r"distance_matrix must be square: row \d+ has length \d+, expected \d+",
                r"tour\[\d+\] = \d+ is not a valid city index for \d+ cities"]


# The refusal of a probe whose number of values the reference directions do not fit (Nsga3).
MISFIT = (r"Invalid input: (reference_directions must have \d+ values each, one per objective, not \d+"
          r"|the objective must return at least one value)")


def check_failure(exc, names, raised=()):
    """`exc` ended a call whose converted arguments are `names`: it must be one of the
    documented outcomes, or an exception that user code raised, passed on unchanged."""
    assert not isinstance(exc, (INTERNAL, SystemError)), repr(exc)
    if any(exc is r for r in raised):
        return
    assert not isinstance(exc, (Boom, Halt)), f"{exc!r} is not the instance that user code raised"
    if type(exc) is TypeError:
        assert re.match(r"argument '(%s)': " % "|".join(names), str(exc)), str(exc)
    elif type(exc) is ValueError:
        assert any(re.fullmatch(p, str(exc)) for p in VALUE_ERRORS), str(exc)
    else:
        assert type(exc) in (OverflowError, MemoryError), repr(exc)


def halted(raised):
    return next((r for r in raised if isinstance(r, Halt)), None)


# ---------------------------------------------------------------- constructors


def tp_name(v):
    t = type(v)
    return t.__name__ if t.__flags__ & (1 << 9) or t.__module__ == "builtins" else f"{t.__module__}.{t.__name__}"


def python_conversion(kind, v, default=0):
    """What Python makes of `v` for a parameter of `kind`: a float, None (an optional one's
    None), or the exception (for rows, whose reading no single Python call mirrors, a
    TypeError of any text)."""
    if v is None and default is None:
        return None
    if kind == ROWS:
        return TypeError()  # no scalar is a sequence of sequences of numbers
    try:
        if kind == COUNT:
            i = operator.index(v)
            if not 0 <= i < 2**64:
                return OverflowError()
            return float(i)
        if kind == REAL:
            if isinstance(v, (str, bytes, bytearray)):
                return TypeError(f"must be real number, not {tp_name(v)}")
            return float(v)
        if kind == FLAG:
            if type(v) is bool or tp_name(v) in ("numpy.bool", "numpy.bool_"):
                return float(bool(v))
            return TypeError(f"'{tp_name(v)}' object cannot be converted to 'PyBool'")
        if not isinstance(v, str):
            return TypeError(f"'{tp_name(v)}' object cannot be converted to 'PyString'")
        return None  # a code; which one is the class's business (any text is accepted)
    except BaseException as e:  # noqa: BLE001
        return e


@by_class
@fuzz
@given(data=st.data())
def test_constructor_converts_or_raises_documented_errors(cls, data):
    declared = params(cls)
    chosen = data.draw(st.lists(st.sampled_from(range(len(declared))), unique=True, max_size=len(declared)))
    kwargs = {declared[i][0]: data.draw(scalars) for i in sorted(chosen)}
    seed = data.draw(st.one_of(st.none(), scalars))
    # the first failure in signature order wins, random_state last
    expected = {}
    for name, kind, default in declared:
        if name in kwargs:
            expected[name] = python_conversion(kind, kwargs[name], default)
    expected["random_state"] = None if seed is None else python_conversion(COUNT, seed)
    RAISED.clear()
    result = attempt(lambda: cls(**kwargs, random_state=seed))
    failure = next(((n, e) for n, e in expected.items() if isinstance(e, BaseException)), None)
    if failure is None:
        assert not isinstance(result, BaseException), repr(result)
        got = result.get_params()
        for name, value in expected.items():
            if isinstance(value, float) and name != "random_state":
                assert freeze(got[name]) == freeze(value), name
        assert result.__reduce__()[1][-1] == (None if seed is None else operator.index(seed))
        return
    name, exc = failure
    assert isinstance(result, BaseException), f"{name}={kwargs.get(name, seed)!r} was accepted"
    kind = next((k for n, k, _ in declared if n == name), COUNT)
    if kind == ROWS and any(result is r for r in RAISED):  # raised by the sequence's own hooks
        return
    assert type(result) is type(exc) or (isinstance(exc, OverflowError) and type(result) is OverflowError)
    if type(exc) is TypeError:
        assert str(result).startswith(f"argument '{name}': "), str(result)
        if kind not in (REAL, ROWS) or "must be real number" in str(exc):  # float() words its own errors
            assert str(result) == f"argument '{name}': {exc}"
    check_failure(result, [name], RAISED)


# ---------------------------------------------------------------- fit arguments


@by_class
@fuzz
@given(data=st.data())
def test_fit_arguments_of_any_shape(cls, data):
    obj = fitted(cls)
    before = state(obj)
    calls = []

    def objective(x):
        calls.append(list(x))
        return two_sphere(x) if is_multi(cls) else sphere(x)

    if is_tour(cls):
        rows = st.one_of(plain_floats(5), sequences(scalars, 5))
        args, names = (data.draw(st.one_of(st.lists(rows, max_size=5), sequences(rows, 5))),), ["distance_matrix"]
    else:
        args = (objective, data.draw(sequences(scalars)), data.draw(sequences(scalars)))
        names = ["lower", "upper"]
    RAISED.clear()
    result = attempt(lambda: obj.fit(*args))
    if halted(RAISED):
        assert result is halted(RAISED), f"{halted(RAISED)!r} was swallowed"
    if isinstance(result, BaseException):
        check_failure(result, names, RAISED)
        invalid_input = type(result) is ValueError and str(result).startswith("Invalid input: ")
        assert len(calls) == (1 if invalid_input and not is_tour(cls) else 0)
        assert state(obj) == before
    else:
        check_success(obj)


# ---------------------------------------------------------------- objectives


def behaviours(multi):
    results = st.one_of(st.floats(), st.sampled_from(WEIRD), st.sampled_from(HOOKED), ints,
                        st.lists(st.floats(), max_size=3), st.lists(st.sampled_from(HOOKED), max_size=2),
                        st.just("huge list"))
    if np is not None:
        results = st.one_of(results, st.floats().map(np.float64), st.lists(st.floats(), max_size=3).map(np.array))
    return st.one_of(
        results.map(lambda r: ("return", r)),
        st.sampled_from([Boom, TypeError, RuntimeError, Halt]).map(lambda e: ("raise", e)),
        st.sampled_from(["predict", "score", "get_params", "population_", "repr", "fit"]).map(lambda m: ("reenter", m)),
        st.sampled_from(["clear", "append", "replace"]).map(lambda m: ("mutate", m)),
    )


REENTRY = {"predict": lambda o: o.predict(), "score": lambda o: o.score(), "get_params": lambda o: o.get_params(),
           "population_": lambda o: o.population_, "repr": repr, "fit": lambda o: o.fit(*fit_args(type(o)))}


@pytest.mark.parametrize("cls", objective_classes, ids=lambda c: c.__name__)
@fuzz
@given(script=st.lists(behaviours(False), min_size=1, max_size=6), data=st.data())
def test_objectives_that_misbehave(cls, script, data):
    """Raise, return junk, re-enter the object, mutate the box: only the probe's failure
    (or a BaseException) may end the fit, and the object keeps its state when it does."""
    obj = fitted(cls)
    before = state(obj)
    lower, upper = [-1.0, -2.0, 0.0], [1.0, 2.0, 0.5]
    calls = []  # per call: how many exceptions user code had raised before it
    reentries = []

    def objective(x):
        k = len(calls)
        calls.append(len(RAISED))
        action, arg = script[k % len(script)]
        good = two_sphere(x) if is_multi(cls) else sphere(x)
        if action == "raise":
            _raise(arg, f"call {k}")
        if action == "reenter":
            reentries.append((arg, attempt(lambda: REENTRY[arg](obj))))
            return good
        if action == "mutate":
            {"clear": lambda: (lower.clear(), upper.clear()), "append": lambda: (lower.append("x"), upper.append(-9)),
             "replace": lambda: (lower.__setitem__(slice(None), [5.0]), upper.reverse())}[arg]()
            return good
        return [1.0] * 100_000 if arg == "huge list" else arg

    RAISED.clear()
    result = attempt(lambda: obj.fit(objective, lower, upper))
    for method, outcome in reentries:
        if method == "repr" and cls.__repr__ is object.__repr__:  # the default repr reads nothing
            continue
        expected = "Already borrowed" if method == "fit" else "Already mutably borrowed"
        assert type(outcome) is UsageError and str(outcome) == expected, (method, outcome)
    if isinstance(result, BaseException):
        assert not isinstance(result, (INTERNAL, SystemError)), repr(result)
        if isinstance(result, Halt):  # stops the fit at once, from any call
            where = next(i for i, r in enumerate(RAISED) if r is result)
            assert calls[-1] <= where, "the objective was called again after a Halt"
        elif is_multi(cls) and type(result) is ValueError and "as many as its first evaluation returned" in str(result):
            assert len(calls) > 1  # a vector whose length differs from the first one's (the probe's)
        else:  # only the probe reports failures
            assert len(calls) == 1, f"{result!r} after {len(calls)} calls"
            first = script[0][1]
            foreign = type(first).__module__ == "numpy" or any(type(v).__module__ == "numpy" for v in
                                                                  (first if isinstance(first, list) else []))
            # numpy words its own conversion errors; Nsga3 refuses a probe whose values its
            # reference directions do not fit
            misfit = type(result) is ValueError and re.fullmatch(MISFIT, str(result))
            assert result in RAISED or type(result) in (TypeError, OverflowError) or foreign or misfit, repr(result)
        assert state(obj) == before
    else:
        assert len(calls) > 1
        check_success(obj, ([-1.0, -2.0, 0.0], [1.0, 2.0, 0.5]))


# ---------------------------------------------------------------- consistent results

finite = st.floats(-1e3, 1e3, allow_nan=False)


@st.composite
def boxes(draw, max_dims=3):
    pairs = draw(st.lists(st.tuples(finite, finite), min_size=1, max_size=max_dims))
    return [min(p) for p in pairs], [max(p) for p in pairs]


@st.composite
def hyperparameters(draw, cls):
    kwargs = {}
    for name, kind, default in params(cls):
        if kind == COUNT:
            kwargs[name] = draw(st.integers(0, 2 if name == "n_iterations" else 5))
        elif kind == REAL:
            kwargs[name] = draw(st.one_of(st.just(default), st.floats(), st.floats(-3, 3)))
        elif kind == FLAG:
            kwargs[name] = draw(st.booleans())
        elif kind == ROWS:
            kwargs[name] = draw(st.sampled_from([default, TWO_DIRECTIONS, [[0.5, 0.5], [1.0, 0.0], [0.0, 1.0]]]))
        else:
            kwargs[name] = draw(st.sampled_from([default, "acs", "elitist", "mmas", "MMAS", ""]))
    return kwargs


def scalar_objective(shift, mode):
    def f(x):
        s = 0.0
        for v, c in zip(x, shift):
            s = s + (v - c) * (v - c)
        if mode != "plain" and x and x[0] > shift[0]:
            if mode == "nan":
                return math.nan
            if mode == "raise":
                raise Boom("right half")
            if mode == "none":
                return None
        return int(s) if mode == "int" else s
    return f


def vector_objective(shift, mode):
    g = scalar_objective(shift, "plain")

    def f(x):
        r = [g(x), g([-v for v in x])]
        if mode == "nan" and x[0] > shift[0]:
            r[1] = math.nan
        if mode == "raise" and x[0] > shift[0]:
            raise Boom("right half")
        if mode == "none" and x[0] > shift[0]:
            r = r[:1]
        return r
    return f


def adapter_value(f, x):
    """What the search sees for f(x): a failure or NaN counts as +inf."""
    try:
        value = float(f(x))
    except Exception:  # noqa: BLE001
        return math.inf
    return math.inf if math.isnan(value) else value


def in_box(row, lower, upper):
    return len(row) == len(lower) and all(lo <= v <= hi for v, lo, hi in zip(row, lower, upper))


def check_success(obj, box=None, objective=None, matrix=None):
    """What every successful fit guarantees, as far as this class promises it."""
    cls = type(obj)
    prediction, score = attempt(obj.predict), attempt(obj.score)
    population = obj.population_
    if isinstance(prediction, BaseException):  # nothing stored (empty archive, no finite tour)
        assert str(prediction) == "must call fit() before predict()"
        return
    assert not isinstance(score, BaseException), repr(score)
    history = getattr(obj, "history_", None)
    if history and not is_multi(cls):  # a multi-objective history_ counts front members
        assert all(not (b > a) for a, b in zip(history, history[1:])), history
        assert not score > history[-1]
    if is_tour(cls):
        assert sorted(prediction) == list(range(len(prediction)))
        assert all(sorted(row) == list(map(float, range(len(row)))) for row in population)
        if matrix is not None:
            assert same_float(score, tour_length(prediction, matrix))
        return
    if is_binary(cls):
        assert all(v in (0.0, 1.0) for row in population + [prediction] for v in row)
    elif box is not None:
        lower, upper = box
        unevaluated = score == math.inf and prediction == [0.0] * len(lower)  # a swarm that never improved
        rows = population + (prediction if is_multi(cls) else [prediction])
        assert all(in_box(row, lower, upper) for row in rows if not (unevaluated and row == prediction)), rows
    if objective is not None and not is_multi(cls):
        expected = adapter_value(objective, prediction)
        assert same_float(score, expected) or (score == math.inf and prediction == [0.0] * len(prediction))


@pytest.mark.parametrize("cls", objective_classes, ids=lambda c: c.__name__)
@fuzz
@given(data=st.data(), box=boxes(), shift=st.lists(finite, min_size=3, max_size=3),
       mode=st.sampled_from(["plain", "nan", "raise", "none", "int"]), seed=st.integers(0, 2**64 - 1))
def test_results_are_consistent(cls, data, box, shift, mode, seed):
    kwargs = data.draw(hyperparameters(cls))
    f = (vector_objective if is_multi(cls) else scalar_objective)(shift, mode)
    lower, upper = box
    obj = cls(**kwargs, random_state=seed)
    new = state(obj)
    probe = [0.0] * len(lower) if is_binary(cls) else [(a + b) * 0.5 for a, b in zip(lower, upper)]
    probe_fails = probe[0] > shift[0] and mode in (("raise",) if is_multi(cls) else ("raise", "none"))
    result = attempt(lambda: obj.fit(f, lower, upper))
    if isinstance(result, BaseException):
        if probe_fails:
            assert type(result) is (Boom if mode == "raise" else TypeError), repr(result)
        else:  # a hyperparameter that the class refuses, or a search that cannot go on
            assert type(result) is ValueError and str(result).startswith(("Invalid input: ", "Convergence error: "))
        assert state(obj) == new
        return
    assert not probe_fails
    check_success(obj, box, f)
    first = state(obj)
    obj.fit(f, list(lower), list(upper))  # the same seed gives the same result, also on a used object
    assert state(obj) == first


@pytest.mark.parametrize("cls", tour_classes, ids=lambda c: c.__name__)
@fuzz
@given(data=st.data(), seed=st.integers(0, 2**64 - 1))
def test_tour_results_are_consistent(cls, data, seed):
    n = data.draw(st.integers(1, 6))
    cell = st.one_of(st.floats(0, 100), st.floats(), st.just(0.0))
    matrix = data.draw(st.lists(st.lists(cell, min_size=n, max_size=n), min_size=n, max_size=n))
    obj = cls(**data.draw(hyperparameters(cls)), random_state=seed)
    result = attempt(lambda: obj.fit(matrix))
    if isinstance(result, BaseException):
        assert type(result) is ValueError and str(result).startswith("Invalid input: "), repr(result)
        return
    check_success(obj, matrix=matrix)
    first = state(obj)
    obj.fit(matrix)
    assert state(obj) == first


# ---------------------------------------------------------------- two_opt

needs_two_opt = pytest.mark.skipif(TWO_OPT is None, reason="two_opt is not in the module yet")


@needs_two_opt
@fuzz
@given(data=st.data())
def test_two_opt_with_any_arguments(data):
    n = data.draw(st.integers(0, 6))
    square = st.lists(st.lists(st.floats(), min_size=n, max_size=n), min_size=n, max_size=n)
    matrix = data.draw(st.one_of(square, st.lists(plain_floats(6), max_size=6), sequences(sequences(scalars))))
    tour = data.draw(st.one_of(st.lists(st.integers(0, max(n - 1, 0)), max_size=8),
                               st.permutations(range(n)).map(list), st.lists(st.integers(-1, 8), max_size=8),
                               sequences(scalars, 8)))
    RAISED.clear()
    result = attempt(lambda: TWO_OPT(tour, matrix))
    if halted(RAISED):
        assert result is halted(RAISED)
    plain = (isinstance(tour, list) and all(type(v) is int for v in tour) and isinstance(matrix, list)
             and all(isinstance(r, list) and all(type(v) is float for v in r) for r in matrix))
    if not plain:
        if isinstance(result, BaseException) and not isinstance(result, INTERNAL):
            check_failure(result, ["tour", "distance_matrix"], RAISED)
        return
    rows = len(matrix)
    bad_row = next((i for i, r in enumerate(matrix) if len(r) != rows), None)
    if any(v < 0 for v in tour):
        assert type(result) is OverflowError
    elif rows == 0:
        assert freeze(result) == freeze(ValueError("distance_matrix must be non-empty"))
    elif bad_row is not None:
        expected = f"distance_matrix must be square: row {bad_row} has length {len(matrix[bad_row])}, expected {rows}"
        assert freeze(result) == freeze(ValueError(expected))
    elif any(v >= rows for v in tour):
        k = next(k for k, v in enumerate(tour) if v >= rows)
        expected = ValueError(f"tour[{k}] = {tour[k]} is not a valid city index for {rows} cities")
        assert freeze(result) == freeze(expected), repr(result)
    else:
        assert not isinstance(result, BaseException), repr(result)
        improved, length = result
        assert sorted(improved) == sorted(tour) and improved[:1] == tour[:1]
        assert same_float(length, tour_length(improved, matrix))
        if len(tour) < 4:
            assert improved == tour


# ---------------------------------------------------------------- interrupts inside user code

HALTS = {hook: hooked(hook, Halt) for hook in ("float", "index", "len", "iter")}


@by_class
def test_a_halt_raised_by_any_hook_propagates(cls):
    """A KeyboardInterrupt-like exception from __float__, __index__, __len__ or __iter__, in
    an argument or in an objective's result, is never swallowed: it ends the call and the
    object keeps its state."""
    calls = []

    def late(result):
        def objective(x):
            calls.append(1)
            return result if len(calls) > 3 else (two_sphere(x) if is_multi(cls) else sphere(x))
        return objective

    kinds = {COUNT: HALTS["index"], REAL: HALTS["float"], ROWS: HALTS["iter"]}
    attempts = [lambda n=name, v=kinds[k]: cls(**{n: v}) for name, k, _ in params(cls) if k in kinds]
    obj = fitted(cls)
    if is_tour(cls):
        matrices = [HALTS["len"], HALTS["iter"], [HALTS["len"]], [[HALTS["float"]]]]
        attempts += [lambda m=m: obj.fit(m) for m in matrices]
    else:
        box = fit_args(cls)[1:]
        sequences_ = [HALTS["len"], HALTS["iter"], [HALTS["float"]]]
        attempts += [lambda s=s: obj.fit(sphere, s, box[1]) for s in sequences_]
        results = sequences_ + [[1.0, HALTS["float"]]] if is_multi(cls) else [HALTS["float"], HALTS["index"]]
        attempts += [lambda r=r: obj.fit(lambda x: r, *box) for r in results]
        attempts += [lambda r=r: obj.fit(late(r), *box) for r in results]
    if TWO_OPT is not None:
        attempts += [lambda: TWO_OPT(HALTS["len"], [[0.0]]), lambda: TWO_OPT([Index(0), HALTS["index"]], [[0.0]])]
    before = state(obj)
    for call in attempts:
        RAISED.clear()
        result = attempt(call)
        assert isinstance(result, Halt) and result is RAISED[-1], repr(result)
    assert state(obj) == before


# ---------------------------------------------------------------- pickled state


def slots(value):
    """(list, index) for every entry of every list in a state, and the end of each list."""
    if not isinstance(value, list):
        return []
    out = [(value, i) for i in range(len(value) + 1)]
    for item in value:
        out += slots(item)
    return out


NUMBERS = st.one_of(st.sampled_from([-1.0, -0.0, 0.0, 0.5, 1.0, 2.0, 5.0, 6.0, 7.0, 6.5, 1e300, math.nan, math.inf]),
                    st.integers(-2, 12).map(float), st.floats())


@st.composite
def mutated(draw, state):
    """A pickled state with one or two changes, each at a place drawn evenly from all places:
    an entry replaced by a number (near the old one or not), a list lengthened by a copy of
    an entry or shortened by one."""
    state = pickle.loads(pickle.dumps(list(state)))  # a private deep copy
    for _ in range(draw(st.integers(1, 2))):
        target, where = draw(st.sampled_from(slots(state)))
        change = draw(st.sampled_from(["number", "number", "lengthen", "shorten"]))
        at_entry = where < len(target)
        if change == "number" and at_entry:
            old = target[where]
            nudged = st.sampled_from([old + 1.0, old - 1.0, old * 2.0]) if isinstance(old, float) else NUMBERS
            target[where] = draw(st.one_of(NUMBERS, nudged))
        elif change == "lengthen":
            target.insert(where, pickle.loads(pickle.dumps(target[where])) if at_entry else draw(NUMBERS))
        elif at_entry:
            del target[where]
    return tuple(state)


def is_tour_row(row):
    return sorted(row) == [float(i) for i in range(len(row))] and len(row) > 0


def check_sound(obj):
    """What a fitted state promises to every reader: each answers (or says that nothing is
    fitted), and the answers fit together."""
    cls = type(obj)
    outcomes = [attempt(read) for read in (obj.predict, obj.score, obj.get_params, lambda: obj.population_,
                                           lambda: getattr(obj, "history_", []), lambda: repr(obj))]
    for outcome in outcomes:
        if isinstance(outcome, BaseException):
            assert type(outcome) is ValueError and str(outcome).startswith("must call fit() before "), repr(outcome)
    prediction, score, _, population, history, _ = outcomes
    if isinstance(prediction, BaseException):
        assert is_multi(cls) or (isinstance(score, BaseException) and population == history == [])
        return
    rows = population + (prediction if is_multi(cls) else [prediction])
    assert len({len(row) for row in rows}) == 1 and rows[0], rows
    if is_tour(cls):
        assert all(is_tour_row(row) for row in rows), rows
    if is_binary(cls):
        assert all(v in (0.0, 1.0) for row in rows for v in row), rows
    if is_single_entry(cls):
        assert freeze(history) == freeze([score]) and freeze(population) == freeze([list(map(float, prediction))])


@by_class
@settings(fuzz, max_examples=_LONG or 12)  # eight states each
@given(data=st.data())
def test_pickled_state_is_untrusted_input(cls, data):
    """Changed pickled states of a fitted object: each is refused as malformed, changing
    nothing, or taken as given and sound, so that the readers, pickling and a further fit
    (an ant colony without ants deposits its stored best) work on it."""
    original = fitted(cls)
    good, unchanged = original.__reduce__()[2], state(original)
    for _ in range(8):
        obj = pickle.loads(pickle.dumps(original))
        state_ = data.draw(mutated(good))
        result = attempt(lambda: obj.__setstate__(state_))
        if isinstance(result, BaseException):
            assert type(result) is ValueError and str(result) == "malformed pickled state", repr(result)
            assert state(obj) == unchanged
            continue
        taken = obj.__reduce__()[2]  # taken as given (a state without n_failures, as pickled before it, has 0)
        assert freeze(taken) == freeze(state_) or (freeze(taken) == freeze(state_ + (0,)) and len(state_) < len(good))
        check_sound(obj)
        assert state(pickle.loads(pickle.dumps(obj))) == state(obj)
        if cls.__name__ == "AntColony":
            variant = data.draw(st.sampled_from(["acs", "elitist", "mmas"]))
            later = cls(n_ants=0, n_iterations=1, variant=variant, random_state=1)
        else:
            later = small(cls)
        later.__setstate__(state_)
        later.fit(*fit_args(cls))
        check_sound(later)
        check_success(later)
