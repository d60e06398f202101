"""No failure passes as success: a broken executor, swarmix's own usage errors and malformed
group results fail the fit (object unchanged); an evaluation that hangs times out as a failed
point; Ctrl-C never hangs a fit in flight and always gives the SIGINT handler back."""

import itertools
import math
import multiprocessing
import os
import signal
import subprocess
import sys
import textwrap
import threading
import warnings
from concurrent.futures import Future, ProcessPoolExecutor, ThreadPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import swarmix
from estimators import CLASSES, fit_args, fitted, is_multi, is_tour, small, state, two_sphere
from objectives import flaky, flaky_vector, schaffer, sphere
from swarmix import GreyWolfOptimizer, Monitor, Nsga2Optimizer, UsageError, journaled, parallel, vectorized
from swarmix._errors import fails_fit
from test_groups import InOrder

CHILD_ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}


def fitted_wolves():
    obj = GreyWolfOptimizer(n_wolves=5, n_iterations=3, random_state=0)
    obj.fit(sphere, [-1.0] * 2, [1.0] * 2)
    return obj


def exits_far_out(x):
    if x[0] > 0.5:
        os._exit(3)  # the worker process dies
    return sphere(x)


def test_executor_failures_fail_the_fit():
    obj = fitted_wolves()
    before = state(obj)
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("fork")) as pool:
        with pytest.raises(BrokenProcessPool):
            obj.fit(parallel(exits_far_out, pool), [-1.0] * 2, [1.0] * 2)
    assert state(obj) == before
    closed = ThreadPoolExecutor(1)
    closed.shutdown()
    with pytest.raises(RuntimeError, match="shutdown"):  # a closed pool takes no work
        obj.fit(parallel(sphere, closed), [-1.0] * 2, [1.0] * 2)
    assert state(obj) == before

    class Cancels(InOrder):  # a future cancelled by the machinery is no value
        def submit(self, fn, /, *args, **kwargs):
            future = Future()
            future.cancel()
            future.set_running_or_notify_cancel()
            return future
    with pytest.raises(Exception) as raised:
        obj.fit(parallel(sphere, Cancels()), [-1.0] * 2, [1.0] * 2)
    assert type(raised.value).__name__ == "CancelledError" and state(obj) == before

    class Heals(InOrder):  # one future fails, then the executor works again
        _max_workers = 2

        def __init__(self):
            self.submitted = 0

        def submit(self, fn, /, *args, **kwargs):
            self.submitted += 1
            if self.submitted == 3:
                future = Future()
                future.set_exception(OSError("worker lost"))
                return future
            return super().submit(fn, *args, **kwargs)
    for timeout in (None, 60):
        with pytest.raises(OSError, match="worker lost"):
            obj.fit(parallel(sphere, Heals(), timeout=timeout), [-1.0] * 2, [1.0] * 2)
        assert state(obj) == before
    with pytest.raises(TypeError, match="needs an executor whose number of workers it can read"):
        parallel(sphere, InOrder(), timeout=60)


def test_usage_errors_fail_the_fit():
    obj = fitted_wolves()
    before = state(obj)
    calls = [0]

    def reenters(x):
        calls[0] += 1
        if calls[0] > 1:  # the probe passes; the search's first call fails the fit
            obj.__reduce__()
        return sphere(x)

    def reenters_rows(x):
        calls[0] += 1
        if calls[0] > 1:
            multi.fit(schaffer, [0.0], [1.0])
        return schaffer(x)

    def marked_entry(X):
        return [fails_fit(OSError("journal full")) if len(X) > 1 else 0.0] * len(X)

    multi = Nsga2Optimizer(n_individuals=4, n_iterations=1, random_state=0)
    for target, objective, error, message in [
        (obj, reenters, UsageError, "Already mutably borrowed"),
        (obj, parallel(reenters, InOrder()), UsageError, "Already mutably borrowed"),
        (obj, parallel(reenters, ThreadPoolExecutor(2)), UsageError, "Already mutably borrowed"),
        (obj, Monitor(reenters), UsageError, "Already mutably borrowed"),
        (multi, reenters_rows, UsageError, "Already borrowed"),
        (multi, parallel(reenters_rows, InOrder()), UsageError, "Already borrowed"),
        (obj, vectorized(marked_entry), OSError, "journal full"),
    ]:
        calls[0] = 0
        previous = state(target)
        with pytest.raises(error, match=message):
            target.fit(objective, [-1.0] * 2, [1.0] * 2)
        assert state(target) == previous
    assert state(obj) == before
    assert isinstance(UsageError("x"), RuntimeError)


def test_a_hanging_evaluation_times_out_and_every_point_is_reported():
    hang_at = fitted_wolves()  # the plain fit's fourth search point hangs
    calls = []

    def recorded(x):
        calls.append(tuple(x))
        return sphere(x)
    GreyWolfOptimizer(n_wolves=5, n_iterations=3, random_state=0).fit(recorded, [-1.0] * 2, [1.0] * 2)
    hung = calls[4]
    release = threading.Event()

    def hangs(x):
        if tuple(x) == hung:
            release.wait(60)
        return sphere(x)

    def inf_there(x):  # (a failure there, as a timeout is)
        if tuple(x) == hung:
            raise TimeoutError
        return sphere(x)

    class Reported:  # a wrapper hearing of every completion, as a journal does
        def __init__(self, inner):
            self.inner, self.groups = inner, []

        def __swarmix_group__(self, points):
            heard = {}
            values = self.inner.__swarmix_group__(points, report=lambda i, entry: heard.setdefault(i, entry))
            self.groups.append((heard, values))
            return values

    assert parallel.__module__ == "swarmix._group" and swarmix._group.Parallel.__swarmix_reports__
    expected = GreyWolfOptimizer(n_wolves=5, n_iterations=3, random_state=0)
    expected.fit(inf_there, [-1.0] * 2, [1.0] * 2)
    with ThreadPoolExecutor(2) as pool:
        try:
            reported = Reported(parallel(hangs, pool, timeout=2.0))
            monitor = Monitor(reported)
            obj = GreyWolfOptimizer(n_wolves=5, n_iterations=3, random_state=0)
            obj.fit(monitor, [-1.0] * 2, [1.0] * 2)
        finally:
            release.set()
    assert state(obj) == state(expected)
    assert monitor.n_failed == 1 and isinstance(monitor.first_error, TimeoutError)
    assert all(sorted(heard) == list(range(len(values))) and all(heard[i] is values[i] for i in heard)
               for heard, values in reported.groups)

    # Ctrl-C reaching a worker is the interrupt: the completed points are reported first
    class Interrupted(InOrder):
        def submit(self, fn, /, *args, **kwargs):
            future = Future()
            if args[1][0] == 2.0:
                future.set_exception(KeyboardInterrupt())
                return future
            return super().submit(fn, *args, **kwargs)
    heard = []
    points = memoryview(bytearray(np.array([[1.0], [2.0], [3.0]]).tobytes())).cast("d", (3, 1))
    with pytest.raises(KeyboardInterrupt):
        parallel(sphere, Interrupted()).__swarmix_group__(points, report=lambda i, e: heard.append((i, e)))
    assert sorted(heard) == [(0, 1.0), (2, 9.0)]


def test_a_timeout_runs_from_the_start_of_its_evaluation(monkeypatch):
    """The timeouts' clock is the test's: here it moves only when an evaluation moves it."""
    clock = [0.0]
    monkeypatch.setattr(swarmix._group, "_clock", lambda: clock[0])
    release = threading.Event()
    calls = []

    def slow_first(x):  # the first evaluation runs ten seconds, then ends once it timed out
        calls.append(x)
        if x[0] == 1.0:
            clock[0] += 10.0
            release.wait(60)
        return sphere(x)
    heard = {}

    def report(i, entry):
        heard[i] = entry
        if isinstance(entry, TimeoutError):
            release.set()
    points = memoryview(bytearray(np.array([[1.0], [2.0], [3.0]]).tobytes())).cast("d", (3, 1))
    with ThreadPoolExecutor(1) as pool:  # the later points wait for the one worker
        values = parallel(slow_first, pool, timeout=1.0).__swarmix_group__(points, report=report)
    assert isinstance(values[0], TimeoutError) and values[1:] == [4.0, 9.0] and heard == dict(enumerate(values))

    # every worker kept by an evaluation that timed out while points wait: the fit fails, naming
    # them, and no point that never ran is reported
    release.clear()
    calls.clear()
    ticks = itertools.count(0.0, 0.25)  # now time passes as it is read, once both workers hang
    monkeypatch.setattr(swarmix._group, "_clock", lambda: next(ticks) if len(calls) == 3 else 0.0)

    def hangs(x):
        calls.append(x)
        if len(calls) > 1:  # the probe (here) ends, evaluations in the workers hang
            release.wait(60)
        return sphere(x)

    class Reported:
        def __init__(self, inner):
            self.inner, self.heard = inner, {}

        def __swarmix_group__(self, points):
            self.points = points.tolist()
            return self.inner.__swarmix_group__(points, report=self.heard.__setitem__)
    obj = fitted_wolves()
    before = state(obj)
    with ThreadPoolExecutor(2) as pool:
        try:
            reported = Reported(parallel(hangs, pool, timeout=1.0))
            with pytest.raises(RuntimeError, match="the executor is stuck") as raised:
                obj.fit(reported, [-1.0] * 2, [1.0] * 2)
        finally:
            release.set()
    assert state(obj) == before and len(calls) == 3
    assert sorted(reported.heard) == [0, 1] and all(isinstance(e, TimeoutError) for e in reported.heard.values())
    assert sorted(calls[1:]) == sorted(reported.points[:2])
    assert all(f"point {i} of its group {reported.points[i]}, running for" in str(raised.value) for i in (0, 1))
    assert "3 wait" in str(raised.value)


def test_each_evaluation_has_its_own_clock_and_a_group_waits_calmly_for_a_worker(monkeypatch):
    """Several workers: an evaluation handed over later times out later. No worker yet: the group
    looks for one at the waking interval (never spinning) until one joins, or for `timeout`."""
    clock = [0.0]
    monkeypatch.setattr(swarmix._group, "_clock", lambda: clock[0])
    release_first, release_third = threading.Event(), threading.Event()

    def staggered(x):
        if x[0] == 1.0:  # runs until it timed out
            release_first.wait(60)
        elif x[0] == 2.0:  # ends at 0.9 s: the third point is handed over then
            clock[0] = 0.9
        else:  # at 1.5 s the first has run 1.5 s, this one 0.6 s
            clock[0] = 1.5
            release_third.wait(60)
        return sphere(x)

    def report(i, entry):
        if isinstance(entry, TimeoutError):
            release_third.set()
    points = memoryview(bytearray(np.array([[1.0], [2.0], [3.0]]).tobytes())).cast("d", (3, 1))
    with ThreadPoolExecutor(2) as pool:
        try:
            values = parallel(staggered, pool, timeout=1.0).__swarmix_group__(points, report=report)
        finally:
            release_first.set()
    assert isinstance(values[0], TimeoutError) and values[1:] == [4.0, 9.0]

    sleeps = []

    def sleep(seconds):
        sleeps.append(seconds)
        clock[0] += seconds
    monkeypatch.setattr(swarmix._group, "_sleep", sleep)

    class Cluster:  # a Dask client's executor whose first worker joins at 0.5 s, or never
        def __init__(self, joins):
            self.joins, self.reads = joins, 0

        def nthreads(self):
            self.reads += 1
            assert self.reads < 100, "the group spins"
            return {"worker": 1} if clock[0] >= self.joins else {}

    for joins in (0.5, math.inf):
        clock[0], sleeps[:] = 0.0, []
        executor = InOrder()
        executor._client = Cluster(joins)
        waiting = parallel(sphere, executor, timeout=1.0)
        if joins == 0.5:
            assert waiting.__swarmix_group__(points) == [1.0, 4.0, 9.0]
            assert len(sleeps) == 5
        else:
            with pytest.raises(RuntimeError, match="the executor has no worker: 3 evaluations waited 1.0 s"):
                waiting.__swarmix_group__(points)
            assert sum(sleeps) == pytest.approx(1.0) and len(sleeps) <= 11 and max(sleeps) <= 0.1


MUTATING = """
import swarmix

class Shrinks:
    def __init__(self, owner, value):
        self.value = value
    def __float__(self):
        self.owner.clear()  # the list the reader is reading
        return self.value

class ShrinksRow(list):
    def __iter__(self):
        self.owner.clear()
        return super().__iter__()

def shrinking(k, vector):
    result = []
    for i in range(k):
        entry = ShrinksRow([1.0 + i, 2.0]) if vector else Shrinks(result, 1.0 + i)
        entry.owner = result
        result.append(entry)
    return result

class Group:
    def __init__(self, vector):
        self.vector = vector
    def __swarmix_group__(self, points):
        return shrinking(len(points), self.vector)

for cls in (swarmix.GreyWolfOptimizer, swarmix.Nsga2Optimizer):
    obj = cls(n_iterations=2, random_state=0)
    obj.fit(Group(cls is swarmix.Nsga2Optimizer), [0.0] * 2, [1.0] * 2)
print("read", obj.population_ is not None)
"""


def test_a_result_changed_while_read_is_read_whole():
    done = subprocess.run([sys.executable, "-c", MUTATING], capture_output=True, text=True, timeout=120,
                          env=CHILD_ENV)
    assert done.returncode == 0 and done.stdout == "read True\n", done.stderr


@pytest.mark.parametrize("result, message", [
    ({0: 1.0, 1: 2.0}, "returned dict for 5 points"),
    ({1.0, 2.0}, "returned set for 5 points"),
    (iter([1.0] * 5), "returned list_iterator for 5 points"),
    ([1.0] * 6, r"returned shape \(6,\) for 5 points"),
])
def test_results_that_are_no_list_of_values_fail_the_fit(result, message):
    obj = fitted_wolves()
    before = state(obj)

    class Group:
        def __swarmix_group__(self, points):
            return [0.0] if len(points) == 1 else result
    with pytest.raises(ValueError, match=message):
        obj.fit(Group(), [-1.0] * 2, [1.0] * 2)
    assert state(obj) == before


def test_complex_and_masked_entries_fail_their_points():
    def fit(result):
        monitor = Monitor(vectorized(lambda X: np.zeros(1) if len(X) == 1 else result(len(X))))
        obj = GreyWolfOptimizer(n_wolves=6, n_iterations=0, random_state=0)
        obj.fit(monitor, [0.0], [1.0])
        return obj.score(), monitor.n_failed, type(monitor.first_error).__name__, str(monitor.first_error)

    for complex_values in (lambda k: np.arange(k) + 2j, lambda k: [np.complex64(1.0)] * k, lambda k: [1j] * k):
        score, failed, kind, text = fit(complex_values)
        assert (score, failed, kind) == (math.inf, 6, "TypeError") and "complex" in text
    masked = np.ma.masked_array(np.arange(6.0) + 1.0, mask=[1, 1, 0, 1, 0, 0])
    assert fit(lambda k: masked) == (3.0, 3, "ValueError", "the objective value is masked")
    assert fit(lambda k: masked.astype(np.float32)) == (3.0, 3, "ValueError", "the objective value is masked")
    rows = np.ma.masked_array(np.ones((4, 2)), mask=[[0, 0], [0, 1], [0, 0], [1, 1]])
    monitor = Monitor(vectorized(lambda X: np.ones((1, 2)) if len(X) == 1 else rows))
    Nsga2Optimizer(n_individuals=4, n_iterations=0, random_state=0).fit(monitor, [0.0], [1.0])
    assert monitor.n_failed == 2


def test_real_numbers_of_any_type_are_values_and_complex_ones_fail_their_points(tmp_path):
    """Whatever float() takes is a value on every path (per point, grouped, vector, journaled);
    a complex value is none, numpy's complex64 and clongdouble included (float() would keep
    their real part)."""
    names = itertools.count()

    def fits(convert, monitored=False):
        scalar = lambda x: convert(sphere(x))  # noqa: E731
        vector = lambda x: [convert(v) for v in two_sphere(x)]  # noqa: E731
        paths = [(GreyWolfOptimizer, scalar), (GreyWolfOptimizer, parallel(scalar, InOrder())),
                 (Nsga2Optimizer, vector), (Nsga2Optimizer, parallel(vector, InOrder()))]
        paths += [(cls, journaled(f, tmp_path / f"{next(names)}.journal")) for cls, f in paths]
        for cls, objective in paths:
            obj = cls(n_iterations=2, random_state=3)
            monitor = Monitor(objective)
            obj.fit(monitor if monitored else objective, [-1.0, 0.0], [1.0, 0.5])
            yield obj, monitor

    expected = [state(obj) for obj, _ in fits(float)]
    for convert in (Fraction, Decimal, np.array):
        assert [state(obj) for obj, _ in fits(convert)] == expected, convert

    def complex_but_the_probe(kind):
        return lambda v: v if v in (0.0625, 1.5625) else kind(v)  # the probe's values are numbers
    for kind in (complex, np.complex64, lambda v: np.array(v, dtype=complex), np.clongdouble):
        for obj, monitor in fits(complex_but_the_probe(kind), monitored=True):
            assert monitor.n_failed == monitor.n_evaluations - 1 and isinstance(monitor.first_error, TypeError)
            assert str(monitor.first_error).startswith("the objective value is complex: ")


def test_failures_are_counted_and_end_the_fit_with_one_warning(tmp_path):
    """n_failures_ counts the evaluations of the last fit that raised or gave no number (NaN
    included), per point and grouped alike, and replayed from a journal; a fit with failures ends
    with one RuntimeWarning naming their count and the first one's point and error (made an
    error by a filter, it fails the fit, which changes nothing)."""
    def fit(obj, objective):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            obj.fit(objective, *fit_args(type(obj))[1:])
        return obj.n_failures_, [str(w.message) for w in caught if w.category is RuntimeWarning]

    for cls in CLASSES:
        if is_tour(cls):
            assert fitted(cls).n_failures_ == 0
            continue
        calls = []
        failures = []  # the search's failing points (the probe is not one) and their errors

        def watched(x, f=flaky_vector if is_multi(cls) else flaky):
            calls.append(list(x))
            try:
                value = f(x)
            except RuntimeError as exc:
                error = f"RuntimeError: {exc}"
            else:
                values = value if isinstance(value, list) else [value]
                error = ("TypeError: must be real number, not str" if isinstance(value, str) else
                         "ValueError: the objective value is NaN" if any(v != v for v in values) else None)
            if error and len(calls) > 1:
                failures.append((x, error))
            if error and error.startswith("RuntimeError"):
                raise RuntimeError("flaky point")
            return value
        for objective in (watched, parallel(watched, InOrder())):
            calls.clear()
            failures.clear()
            warned = fit(small(cls, n_iterations=3), objective)
            first, error = failures[0]
            n = len(failures)
            assert warned == (n, [f"{n} evaluation{'s' * (n > 1)} of the objective failed and counted as +inf; "
                                  f"the first, at {first!r}: {error}"]), cls.__name__
        assert fit(small(cls, n_iterations=3), fit_args(cls)[0]) == (0, [])

    # a journal's replay counts its recorded failures; the warning names the first one's point
    path = tmp_path / "flaky.journal"
    live = fit(small(GreyWolfOptimizer), journaled(flaky, path))
    replayed = fit(small(GreyWolfOptimizer), journaled(flaky, path))
    assert live[0] == replayed[0] > 1 and live[1][0].split(": ")[0] == replayed[1][0].split(": ")[0]

    # a warning filter that makes it an error fails the fit, and the object keeps its state
    obj = fitted(GreyWolfOptimizer)
    before = state(obj)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match=r"^\d+ evaluations of the objective failed"):
            obj.fit(flaky, *fit_args(GreyWolfOptimizer)[1:])
    assert state(obj) == before


def test_the_sigint_handler_is_always_restored():
    original = signal.getsignal(signal.SIGINT)

    class LookupFails:
        def __call__(self, x):
            return 0.0

        @property
        def __swarmix_group__(self):
            raise LookupError("no group here")
    monitor = Monitor(LookupFails(), stop_on_interrupt=True, progress=True)
    with pytest.raises(LookupError):
        GreyWolfOptimizer(n_wolves=5, n_iterations=1).fit(monitor, [0.0], [1.0])
    assert signal.getsignal(signal.SIGINT) is original

    # a nested fit with the same monitor fails, not the monitor's first fit
    def nested(x):
        GreyWolfOptimizer(n_wolves=5, n_iterations=1).fit(monitor, [0.0], [1.0])
    monitor = Monitor(nested, stop_on_interrupt=True)
    with pytest.raises(UsageError, match="already watching a fit"):
        GreyWolfOptimizer(n_wolves=5, n_iterations=1).fit(monitor, [0.0], [1.0])
    assert signal.getsignal(signal.SIGINT) is original

    # a second thread starting a fit with the monitor of a running fit
    errors = []

    def second_fit():
        try:
            GreyWolfOptimizer(n_wolves=5, n_iterations=1).fit(monitor, [0.0], [1.0])
        except UsageError as exc:
            errors.append(exc)

    def starts_a_thread(x):
        if not errors:
            thread = threading.Thread(target=second_fit)
            thread.start()
            thread.join()
        return sphere(x)
    monitor = Monitor(starts_a_thread, stop_on_interrupt=True)
    obj = GreyWolfOptimizer(n_wolves=5, n_iterations=2, random_state=0)
    obj.fit(monitor, [0.0], [1.0])
    assert len(errors) == 1 and monitor.n_evaluations == 1 + 5 * 3 and obj.score() == monitor.best_value
    assert signal.getsignal(signal.SIGINT) is original


def test_the_best_keeps_the_first_of_equal_values():
    monitor = Monitor(lambda x: 1.0)
    obj = GreyWolfOptimizer(n_wolves=5, n_iterations=2, random_state=0)
    obj.fit(monitor, [-1.0] * 2, [1.0] * 2)
    calls = []
    GreyWolfOptimizer(n_wolves=5, n_iterations=2, random_state=0).fit(
        lambda x: calls.append(list(x)) or 1.0, [-1.0] * 2, [1.0] * 2)
    assert monitor.best_position == calls[1] and monitor.best_value == 1.0


CTRL_C = """
import os, sys, threading, time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
import signal
import swarmix

marker = sys.argv[2]
release = threading.Event()

def slow(x):
    if os.path.exists(marker):  # the search is under way: tell the test once per worker
        if not getattr(slow, "told", False):
            slow.told = True
            os.write(1, b"running\\n")  # one write: two workers' lines never interleave
        release.wait(30) if sys.argv[1] == "threads" else time.sleep(0.5)
    return sum(v * v for v in x)

def callback(iteration, best):
    open(marker, "w").close()

if __name__ == "__main__":
    pool = ProcessPoolExecutor(2) if sys.argv[1] == "pool" else ThreadPoolExecutor(2)
    pool.submit(abs, 1).result()  # warm
    monitor = swarmix.Monitor(swarmix.parallel(slow, pool), callback=callback, stop_on_interrupt=True)
    try:
        swarmix.GreyWolfOptimizer(n_wolves=4, n_iterations=1000, random_state=0).fit(monitor, [-1.0] * 2, [1.0] * 2)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    release.set()
    pool.shutdown(cancel_futures=True)
    print(outcome, monitor.best_value is not None and monitor.best_value < 2, len(monitor.trace) >= 1,
          signal.getsignal(signal.SIGINT) is signal.default_int_handler, flush=True)
"""


@pytest.mark.parametrize("how", ["pool", "threads"])
def test_ctrl_c_with_evaluations_in_flight(tmp_path, how):
    """pool: Ctrl-C reaches the process group, workers included; threads: Ctrl-C twice, the
    evaluations in flight hang until the second abandons them."""
    script = tmp_path / "child.py"
    script.write_text(CTRL_C)
    child = subprocess.Popen([sys.executable, str(script), how, str(tmp_path / "marker")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=CHILD_ENV,
                             start_new_session=True)
    guard = threading.Timer(60, child.kill)  # never a hang: the verdict below then fails
    guard.start()
    try:
        assert child.stdout.readline() == "running\n"
        if how == "pool":
            os.killpg(child.pid, signal.SIGINT)
        else:
            child.send_signal(signal.SIGINT)
            told = child.stderr.readline() + child.stderr.readline()
            assert "the search stops after the 4 evaluations in flight; press Ctrl-C again" in told
            child.send_signal(signal.SIGINT)
        out, err = child.communicate()
    finally:
        guard.cancel()
        child.kill()
        child.wait()
        try:  # no worker outlives the test
            os.killpg(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    assert out.splitlines()[-1] == "KeyboardInterrupt True True True", err
    if how == "pool":
        assert "evaluations in flight" in err
