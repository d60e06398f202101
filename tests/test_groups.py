"""Group objectives (vectorized, parallel, the protocol) and monitors: a grouped or watched fit
is the plain fit, bit for bit, point for point."""

import math
import struct
from concurrent.futures import Executor, Future, ThreadPoolExecutor

import numpy as np
import pytest

import swarmix
from estimators import CLASSES, attempt, fit_args, is_binary, is_multi, is_tour, small_kwargs, state
from objectives import flaky, flaky_vector, schaffer, sphere
from swarmix import Monitor, parallel, vectorized

OBJECTIVE_CLASSES = [c for c in CLASSES if not is_tour(c)]


class Calls:
    """Records every point an objective is called with."""

    def __init__(self, f):
        self.f = f
        self.points = []

    def __call__(self, x):
        self.points.append(struct.pack(f"<{len(x)}d", *x))
        return self.f(x)


class InOrder(Executor):
    """Runs each call at submission, so the calls are made in point order."""

    def submit(self, fn, /, *args, **kwargs):
        future = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as exc:  # noqa: BLE001
            future.set_exception(exc)
        return future


def numpy_style(calls, multi):
    """A vectorised objective built from the per-point one: a failed value is NaN, a failed row
    its exception (a row of NaN would fail its point too, but it is a row of values, not the
    failure row of a point that raised)."""
    def fn(X):
        assert isinstance(X, np.ndarray) and X.dtype == np.float64 and X.ndim == 2
        rows = []
        for row in X.tolist():
            try:
                value = calls(row)
                rows.append([float(v) for v in value] if multi else float(value))
            except Exception as exc:  # noqa: BLE001
                rows.append(exc if multi else math.nan)
        return rows if multi else np.array(rows)
    return fn


def run(cls, seed, wrap):
    f = flaky_vector if is_multi(cls) else flaky
    calls = Calls(f)
    obj = cls(**small_kwargs(cls, size=6, iterations=4, other=2), random_state=seed)
    _, lower, upper = fit_args(cls)
    obj.fit(wrap(calls), lower, upper)
    return state(obj), calls.points


@pytest.mark.parametrize("cls", OBJECTIVE_CLASSES, ids=lambda c: c.__name__)
def test_grouped_and_monitored_fits_are_the_plain_fit(cls):
    multi = is_multi(cls)
    wraps = {
        "parallel": lambda calls: parallel(calls, InOrder()),
        "vectorized": lambda calls: vectorized(numpy_style(calls, multi)),
        "monitor": lambda calls: Monitor(calls),
        "monitor+vectorized": lambda calls: Monitor(vectorized(numpy_style(calls, multi))),
    }
    for seed in (0, 7, 2**63 + 5):
        plain = run(cls, seed, lambda calls: calls)
        for name, wrap in wraps.items():
            assert run(cls, seed, wrap) == plain, (name, seed)


def test_threads_give_the_serial_result():
    plain = run(swarmix.GreyWolfOptimizer, 3, lambda calls: calls)[0]
    with ThreadPoolExecutor(8) as pool:
        threaded = run(swarmix.GreyWolfOptimizer, 3, lambda calls: parallel(calls, pool))[0]
    assert threaded == plain


class Sizes:
    """A group objective that records the size of every group."""

    def __init__(self, f):
        self.f = f
        self.sizes = []

    def __swarmix_group__(self, points):
        self.sizes.append(len(points))
        return [self.f(row) for row in points.tolist()]


@pytest.mark.parametrize("cls, expected", [
    # (probe, first group, later groups): a list of sizes, or (size, count) pairs
    (swarmix.GreyWolfOptimizer, [(1, 1), (30, 101)]),
    (swarmix.CuckooSearch, [(1, 1), (25 + 25 + 7, 1), (25 + 7, 99)]),
    (swarmix.CmaEsOptimizer, [(1, 1), (21, 1), (20, 99)]),
    (swarmix.Nsga2Optimizer, [(1, 1), (40, 101)]),
    (swarmix.MopsoOptimizer, [(1, 1), (30, 101)]),
    (swarmix.ParticleSwarm, [(1, 1), (30, 1), (1, 3000)]),
    (swarmix.BinaryParticleSwarm, [(1, 1), (30, 1), (1, 3000)]),
    (swarmix.BatAlgorithm, [(1, 1), (30, 1), (1, 3000)]),
    (swarmix.SimulatedAnnealing, [(1, 1), (1, 1), (1, 100)]),
])
def test_group_sizes(cls, expected):
    sizes = Sizes(schaffer if is_multi(cls) else sphere)
    cls(random_state=1).fit(sizes, [0.0] * 3 if is_binary(cls) else [-2.0] * 3, [1.0] * 3)
    assert sizes.sizes == [size for size, count in expected for _ in range(count)]


def test_group_sizes_of_the_other_classes():
    # groups of one after the start, as many as the evaluations
    for cls, start in [(swarmix.FireflyOptimizer, 30), (swarmix.GlowwormOptimizer, 30)]:
        sizes = Sizes(sphere)
        cls(random_state=1).fit(sizes, [-2.0] * 3, [1.0] * 3)
        assert sizes.sizes[:2] == [1, start] and set(sizes.sizes[2:]) == {1}
    # trials (candidates) wait in a group until one reads a member whose trial waits there
    for cls, start, groups, evaluations in [(swarmix.DifferentialEvolution, 40, 951, 4041),
                                            (swarmix.BeeColony, 25, 1203, 5053)]:
        sizes = Sizes(sphere)
        cls(random_state=1).fit(sizes, [-2.0] * 3, [1.0] * 3)
        assert sizes.sizes[:2] == [1, start] and (len(sizes.sizes), sum(sizes.sizes)) == (groups, evaluations)
    # a chemotactic sweep per group: the initial colony joins the first, the dispersals the last
    sizes = Sizes(sphere)
    obj = swarmix.BacterialForagingOptimizer(random_state=1)
    obj.fit(sizes, [-2.0] * 3, [1.0] * 3)
    groups = sizes.sizes[1:]
    assert len(groups) == 100 * 4 * 10 and groups[0] >= 60 and sum(groups) > 120_000
    for it in range(100):
        block = groups[it * 40:(it + 1) * 40]
        assert set(block[1 if it == 0 else 0:-1]) == {30} and 30 <= block[-1] <= 60


def test_failure_rules():
    # a group call that raises fails every point of the group; the probe (one point) passes
    def raises_for_groups(X):
        if len(X) > 1:
            raise RuntimeError("batch failed")
        return (X ** 2).sum(axis=1)
    monitor = Monitor(vectorized(raises_for_groups))
    obj = swarmix.GreyWolfOptimizer(n_wolves=5, n_iterations=2, random_state=0)
    obj.fit(monitor, [-1.0] * 2, [1.0] * 2)
    assert obj.score() == math.inf and obj.history_ == [math.inf] * 2
    assert monitor.n_evaluations == 16 and monitor.n_failed == 15 and str(monitor.first_error) == "batch failed"

    # entries: numbers of any kind, NaN and non-numbers (+inf), exception objects (+inf)
    class Entries:
        def __swarmix_group__(self, points):
            return [np.float32(1.5), 2, math.nan, None, ValueError("bad point"), True][:len(points)]
    monitor = Monitor(Entries())
    obj = swarmix.GreyWolfOptimizer(n_wolves=6, n_iterations=0, random_state=0)
    obj.fit(monitor, [0.0], [1.0])
    assert obj.score() == 1.0 and monitor.n_failed == 3 and str(monitor.first_error) == "the objective value is NaN"

    # the probe raises what the wrapper's point raised
    def fails_at_centre(x):
        raise KeyError("centre")
    with pytest.raises(KeyError, match="centre"):
        swarmix.DifferentialEvolution().fit(parallel(fails_at_centre, InOrder()), [0.0], [1.0])
    with pytest.raises(TypeError):
        swarmix.DifferentialEvolution().fit(vectorized(lambda X: [None] * len(X)), [0.0], [1.0])


@pytest.mark.parametrize("cls, result, message", [
    (swarmix.GreyWolfOptimizer, lambda X: np.zeros(len(X) - (len(X) > 1)),
     r"^the group objective returned shape \(4,\) for 5 points; expected shape \(5,\)$"),
    (swarmix.GreyWolfOptimizer, lambda X: np.zeros((len(X), 1)) if len(X) > 1 else np.zeros(1),
     r"^the group objective returned shape \(5, 1\) for 5 points; expected shape \(5,\)$"),
    (swarmix.GreyWolfOptimizer, lambda X: 0.0 if len(X) > 1 else [0.0],
     r"^the group objective returned float for 5 points; expected shape \(5,\)$"),
    (swarmix.Nsga2Optimizer, lambda X: np.zeros(len(X)) if len(X) > 1 else [[0.0, 0.0]],
     r"^the group objective returned shape \(5,\) for 5 points; expected 5 rows of objective values$"),
])
def test_wrong_shapes_fail_the_fit(cls, result, message):
    kw = dict(n_individuals=5) if cls is swarmix.Nsga2Optimizer else dict(n_wolves=5)
    obj = cls(**kw, n_iterations=2, random_state=0)
    obj.fit(schaffer if is_multi(cls) else sphere, [0.0] * 2, [1.0] * 2)
    before = state(obj)
    with pytest.raises(ValueError, match=message):
        obj.fit(vectorized(result), [0.0] * 2, [1.0] * 2)
    assert state(obj) == before


def test_interrupt_in_a_group_propagates():
    obj = swarmix.CmaEsOptimizer(random_state=0)

    def interrupted(X):
        if len(X) > 1:
            raise KeyboardInterrupt
        return np.zeros(len(X))
    with pytest.raises(KeyboardInterrupt):
        obj.fit(vectorized(interrupted), [0.0] * 2, [1.0] * 2)
    assert isinstance(attempt(obj.predict), ValueError)


def test_dask_cluster_gives_the_serial_result():
    distributed = pytest.importorskip("distributed")
    import cloudpickle

    import objectives
    cloudpickle.register_pickle_by_value(objectives)  # the workers cannot import the tests
    plain = swarmix.CmaEsOptimizer(n_iterations=5, random_state=9)
    plain.fit(objectives.raise_often, [-1.0] * 4, [2.0] * 4)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        grouped = swarmix.CmaEsOptimizer(n_iterations=5, random_state=9)
        grouped.fit(parallel(objectives.raise_often, client.get_executor()), [-1.0] * 4, [2.0] * 4)
        timed = swarmix.CmaEsOptimizer(n_iterations=5, random_state=9)  # as many calls at once as workers
        timed.fit(parallel(objectives.raise_often, client.get_executor(), timeout=60), [-1.0] * 4, [2.0] * 4)
    assert state(grouped) == state(plain) == state(timed)
