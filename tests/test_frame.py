"""The estimator frame shared by every class, exercised through ParticleSwarm."""

import gc
import math
import os
import signal
import sys
import time

import pytest

import swarmix
from swarmix import ParticleSwarm, _swarmix
from objectives import sphere


def fitted(**kw):
    p = ParticleSwarm(n_particles=5, n_iterations=3, random_state=1, **kw)
    p.fit(sphere, [-1.0, -1.0], [1.0, 1.0])
    return p


def state(obj):
    return obj.predict(), obj.score(), obj.history_, obj.population_


def test_module_contents_and_identity():
    public = [n for n in dir(_swarmix) if not n.startswith("__")]
    assert "InternalError" in public and "ParticleSwarm" in public
    assert issubclass(swarmix.InternalError, BaseException)
    assert not issubclass(swarmix.InternalError, Exception)
    assert _swarmix.__doc__.count(".") == 1
    # a re-import after removing it from sys.modules gives the very same module
    del sys.modules["swarmix._swarmix"]
    import importlib
    again = importlib.import_module("swarmix._swarmix")
    assert again is _swarmix


def test_type_names_and_docs():
    assert ParticleSwarm.__module__ == "swarmix._swarmix"
    assert ParticleSwarm.__qualname__ == "ParticleSwarm"
    assert ParticleSwarm.__doc__ == ("Particle Swarm Optimization for continuous minimization.\n\n"
                                     "Exposed to Python as `swarmix._swarmix.ParticleSwarm`.")
    assert ParticleSwarm.fit.__text_signature__ == ("($self, objective, lower, upper, *, initial=None, "
        "n_constraints=0, n_equalities=0, integer=None)")
    assert ParticleSwarm.fit.__doc__ == "Minimize `objective(list[float]) -> float` over the box `[lower, upper]`."
    assert ParticleSwarm.predict.__doc__ == "Return the best position found."
    assert ParticleSwarm.score.__doc__ == "Return the objective value at the best position."
    assert ParticleSwarm.get_params.__text_signature__ == "($self)"
    assert ParticleSwarm.get_params.__doc__ is None


def test_constructor_conversion():
    p = ParticleSwarm(10, 20, 1, True, 0.5, 2**64 - 1)
    assert p.get_params() == {"n_particles": 10.0, "n_iterations": 20.0, "w": 1.0, "c1": 1.0, "c2": 0.5}
    assert ParticleSwarm(w=-3.5, n_particles=0).get_params()["w"] == -3.5  # no range checks

    class Index:
        def __index__(self):
            return 7

    assert ParticleSwarm(n_particles=Index()).get_params()["n_particles"] == 7.0
    with pytest.raises(TypeError, match=r"^argument 'n_particles': 'float' object cannot be interpreted as an integer$"):
        ParticleSwarm(n_particles=3.0)
    with pytest.raises(TypeError, match=r"^argument 'w': must be real number, not str$"):
        ParticleSwarm(w="x")
    with pytest.raises(OverflowError):
        ParticleSwarm(random_state=-1)
    with pytest.raises(OverflowError):
        ParticleSwarm(random_state=2**64)
    with pytest.raises(OverflowError):
        ParticleSwarm(n_iterations=-1)
    with pytest.raises(TypeError, match="^argument 'random_state': "):
        ParticleSwarm(random_state=1.5)
    with pytest.raises(TypeError, match="keyword argument"):  # wording differs by Python version
        ParticleSwarm(foo=1)
    with pytest.raises(TypeError, match="at most 6 arguments"):
        ParticleSwarm(1, 2, 3, 4, 5, 6, 7)
    with pytest.raises(TypeError, match="given by name"):
        ParticleSwarm(1, n_particles=2)


def test_params_and_repr():
    p = ParticleSwarm()
    assert p.get_params() == {"n_particles": 30.0, "n_iterations": 100.0, "w": 0.9, "c1": 2.0, "c2": 2.0}
    assert all(type(v) is float for v in p.get_params().values())
    assert repr(p) == "ParticleSwarm(n_particles=30, n_iterations=100, w=0.9, c1=2, c2=2)"
    assert repr(ParticleSwarm(w=1e-4, c1=-0.0, c2=math.nan)) == (
        "ParticleSwarm(n_particles=30, n_iterations=100, w=0.0001, c1=-0, c2=NaN)")
    assert repr(ParticleSwarm(c1=1.7976931348623157e308)) == (
        "ParticleSwarm(n_particles=30, n_iterations=100, w=0.9, c1=17976931348623157" + "0" * 292 + ", c2=2)")
    with pytest.raises(ValueError, match=r"^Lower bound 1(0{23}) > upper bound 0 at index 0$"):
        ParticleSwarm().fit(lambda x: 0.0, [1e23], [0.0])


def test_unfitted_object():
    p = ParticleSwarm()
    assert p.population_ == [] and p.history_ == []
    with pytest.raises(ValueError, match=r"^must call fit\(\) before predict\(\)$"):
        p.predict()
    with pytest.raises(ValueError, match=r"^must call fit\(\) before score\(\)$"):
        p.score()


def test_sequence_conversion():
    calls = []
    p = ParticleSwarm(n_particles=1, n_iterations=0, random_state=0)
    with pytest.raises(TypeError, match=r"^argument 'lower': Can't extract `str` to `Vec`$"):
        p.fit(calls.append, "ab", "cd")
    with pytest.raises(TypeError, match=r"^argument 'upper': 'int' object cannot be converted to 'Sequence'$"):
        p.fit(calls.append, [0.0], 5)
    with pytest.raises(TypeError, match=r"^argument 'lower': 'set' object cannot be converted to 'Sequence'$"):
        p.fit(calls.append, {1.0}, [2.0])
    with pytest.raises(TypeError, match=r"^argument 'lower': must be real number, not str$"):
        p.fit(calls.append, ["a"], [2.0])
    assert calls == []
    p.fit(sphere, (0, 1), range(2, 4))  # tuples, ranges and ints are fine
    assert len(p.predict()) == 2


def test_bounds_errors_before_objective():
    calls = []
    p = ParticleSwarm()
    with pytest.raises(ValueError, match="^Lower and upper bounds must have the same length$"):
        p.fit(calls.append, [0, 0], [1])
    with pytest.raises(ValueError, match="^Lower bound 5 > upper bound 1 at index 0$"):
        p.fit(calls.append, [5.0], [1.0])
    with pytest.raises(ValueError, match="^Lower bound 1 > upper bound 0.5 at index 1$"):
        p.fit(calls.append, [0.0, 1.0], [0.0, 0.5])
    assert calls == []


def test_non_finite_bounds_are_refused_before_any_evaluation():
    """A NaN or infinite bound leaves no box to search (no midpoint to probe, no scale to draw
    from): every class that takes a box refuses it, naming the coordinate, and keeps its state."""
    import estimators
    cases = [((1, -math.inf), None, "Lower bound -inf at index 1"), (None, (2, math.inf), "Upper bound inf at index 2"),
             ((0, math.nan), None, "Lower bound NaN at index 0"), (None, (0, math.nan), "Upper bound NaN at index 0"),
             ((2, -math.inf), (2, math.inf), "Lower bound -inf at index 2")]
    for cls in estimators.CLASSES:
        if estimators.is_tour(cls):
            continue
        obj = estimators.fitted(cls)
        before = estimators.state(obj)
        calls = []
        for low, high, message in cases:
            _, lower, upper = estimators.fit_args(cls)
            for side, change in ((lower, low), (upper, high)):
                if change:
                    side[change[0]] = change[1]
            with pytest.raises(ValueError, match=f"^{message} is not finite$"):
                obj.fit(calls.append, lower, upper)
        assert calls == [] and estimators.state(obj) == before, cls.__name__


def test_empty_box_probes_then_fails():
    calls = []

    def f(x):
        calls.append(list(x))
        return 0.0

    with pytest.raises(ValueError, match="^Invalid input: Bounds must have at least one dimension$"):
        ParticleSwarm().fit(f, [], [])
    assert calls == [[]]


def test_probe_errors_propagate_unchanged():
    class Boom(Exception):
        pass

    def raises_first(x):
        raise Boom("first")

    p = ParticleSwarm(n_particles=2, n_iterations=1)
    with pytest.raises(Boom, match="first"):
        p.fit(raises_first, [0.0], [1.0])
    with pytest.raises(TypeError, match="must be real number, not NoneType"):
        p.fit(lambda x: None, [0.0], [1.0])
    p.fit(lambda x: 3, [0.0], [1.0])  # an int is a number
    assert p.score() == 3.0


def test_probe_is_midpoint_and_call_count():
    seen = []

    def f(x):
        seen.append(x)
        return sphere(x)

    ParticleSwarm(n_particles=4, n_iterations=3, random_state=2).fit(f, [0.0, -2.0], [1.0, 4.0])
    assert seen[0] == [0.5, 1.0]
    assert len(seen) == 4 * (1 + 3) + 1
    assert all(type(x) is list for x in seen)
    assert len({id(x) for x in seen}) > 1 or len(seen) == 1


def test_later_failures_count_as_infinity():
    n = [0]

    def flaky(x):
        n[0] += 1
        if n[0] > 1:
            raise ValueError("later")
        return 1.0

    p = ParticleSwarm(n_particles=3, n_iterations=2, random_state=0)
    p.fit(flaky, [1.0, 1.0], [2.0, 2.0])
    # nothing ever beats +inf: the all-zero start position is kept, even outside the box
    assert p.predict() == [0.0, 0.0] and p.score() == math.inf


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_stop_the_fit(exc):
    p = fitted()
    before = state(p)
    n = [0]

    def f(x):
        n[0] += 1
        if n[0] == 7:
            raise exc()
        return sphere(x)

    with pytest.raises(exc):
        p.fit(f, [-1.0, -1.0], [1.0, 1.0])
    assert n[0] == 7
    assert state(p) == before


def test_base_exception_from_float_conversion_propagates():
    class Bad:
        def __float__(self):
            raise KeyboardInterrupt

    n = [0]

    def f(x):
        n[0] += 1
        return 1.0 if n[0] < 3 else Bad()

    with pytest.raises(KeyboardInterrupt):
        ParticleSwarm(n_particles=5, n_iterations=1).fit(f, [0.0], [1.0])
    assert n[0] == 3


def test_signal_stops_a_fit_without_bytecode():
    def on_alarm(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            # math.fsum runs no Python bytecode; only the check between evaluations sees the signal
            ParticleSwarm(n_particles=50, n_iterations=10**9).fit(math.fsum, [0.0], [1.0])
        assert time.monotonic() - start < 5
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_failed_fit_keeps_state():
    p = fitted()
    before = state(p)
    with pytest.raises(ValueError):
        p.fit(sphere, [2.0], [1.0])
    with pytest.raises(ValueError):
        p.fit(sphere, [], [])
    with pytest.raises(TypeError):
        p.fit(lambda x: None, [0.0], [1.0])
    assert state(p) == before


# The address sanitizer's allocator aborts on impossible requests instead of throwing.
@pytest.mark.skipif(bool(os.environ.get("SWARMIX_SANITIZED")), reason="allocator under the sanitizer")
def test_impossible_sizes_raise_memory_error():
    p = fitted()
    before = state(p)
    with pytest.raises(MemoryError):
        ParticleSwarm(n_particles=10**15).fit(sphere, [0.0], [1.0])
    with pytest.raises(MemoryError):
        ParticleSwarm(n_particles=2**62).fit(sphere, [0.0] * 8, [1.0] * 8)  # n_particles * dims overflows
    assert state(p) == before


def test_reentrancy():
    p = ParticleSwarm(n_particles=2, n_iterations=1, random_state=3)
    errors = []

    def f(x):
        for call in (p.predict, p.score, p.get_params, lambda: p.history_, lambda: p.population_,
                     lambda: repr(p), lambda: p.fit(sphere, [0.0], [1.0])):
            try:
                call()
            except RuntimeError as e:
                errors.append(str(e))
        return sphere(x)

    p.fit(f, [0.0], [1.0])
    n = 2 * 2 + 1
    assert errors == (["Already mutably borrowed"] * 6 + ["Already borrowed"]) * n
    # an objective whose read raises counts that position as +inf
    q = ParticleSwarm(n_particles=3, n_iterations=0, random_state=3)
    q.fit(lambda x: q.score() if len(errors) > 100 else sphere(x), [0.0], [1.0])


def test_getters_return_copies():
    p = fitted()
    h = p.history_
    h.append(1.0)
    p.population_[0].append(5.0)
    assert len(p.history_) == 1 and len(p.population_[0]) == 2
    pr = p.predict()
    pr[0] = 99.0
    assert p.predict()[0] != 99.0


def test_no_reference_leak_of_objective():
    def f(x):
        return sphere(x)

    before = sys.getrefcount(f)
    for _ in range(20):
        ParticleSwarm(n_particles=3, n_iterations=2, random_state=0).fit(f, [0.0], [1.0])
    gc.collect()
    assert sys.getrefcount(f) == before


def test_objects_are_independent_and_immutable_types():
    a, b = fitted(), ParticleSwarm()
    assert a.get_params()["n_particles"] == 5.0 and b.get_params()["n_particles"] == 30.0
    with pytest.raises(TypeError):
        ParticleSwarm.extra = 1
    with pytest.raises(TypeError):
        class Sub(ParticleSwarm):
            pass
    with pytest.raises(AttributeError):
        a.history_ = []


def test_subinterpreter_import_is_refused():
    try:
        import _interpreters as interpreters  # Python 3.13
    except ImportError:
        interpreters = pytest.importorskip("_xxsubinterpreters")
    import swarmix as package

    root = os.path.dirname(os.path.dirname(package.__file__))
    code = f"""
import sys
sys.path.insert(0, {root!r})
try:
    import swarmix._swarmix
    outcome = 'imported'
except ImportError as e:
    outcome = str(e)
assert outcome in ('swarmix._swarmix can only be imported in the main interpreter',
                   'module swarmix._swarmix does not support loading in subinterpreters'), outcome
"""
    configs = [{}]
    try:  # a legacy (shared) sub-interpreter reaches the module's own refusal
        configs.append({"config": interpreters.new_config("legacy")})
    except AttributeError:
        configs.append({"isolated": False})
    for kwargs in configs:
        interp = interpreters.create(**kwargs)
        try:
            result = interpreters.run_string(interp, code)
            assert result is None, result  # Python 3.13 returns failures instead of raising
        finally:
            interpreters.destroy(interp)


def test_package_exports_the_module_in_order():
    names = [k for k in vars(_swarmix) if not k.startswith("_")]  # (private: the indicators' native side)
    assert names + ["vectorized", "parallel", "Monitor", "UsageError", "journaled", "read_journal", "AskTell",
                    "hypervolume", "igd", "reference_directions"] == swarmix.__all__
    assert names[:2] == ["two_opt", "AntColony"] and names[-1] == "InternalError"
    assert all(getattr(swarmix, n) is getattr(_swarmix, n) for n in names)
    assert swarmix.__version__
