"""Group objectives: many points evaluated in one call, vectorised or in parallel.

A fit hands a group objective all the points of a group at once, where the search allows it
(the points of a group never depend on each other's values). The protocol is one method,
``__swarmix_group__(points)``: ``points`` is a k x d memoryview of doubles over a new buffer,
and the method returns the k values in point order (k lists of values for
``Nsga2Optimizer``, ``Nsga2Sbx`` and ``MopsoOptimizer``). An entry that is not a number fails its point
(+inf), an entry that is an exception object fails it with that error, and a call that
raises an ``Exception`` fails the whole group. The results are exactly those of evaluating
the points one by one.
"""

from __future__ import annotations

import math
import sys
import time
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Executor, Future, wait
from typing import Any, cast

from swarmix._errors import fails_fit

__all__ = ["vectorized", "parallel"]


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as exc:  # numpy is optional: only this wrapper needs it
        raise ImportError("swarmix.vectorized needs numpy (pip install numpy)") from exc
    return numpy


class Vectorized:
    """An objective evaluated on a whole group of points with one call of ``fn``."""

    __slots__ = ("fn",)

    def __init__(self, fn: Callable[[Any], Any]) -> None:
        if not callable(fn):
            raise TypeError(f"vectorized() needs a callable, not {type(fn).__name__}")
        _numpy()
        self.fn = fn

    def __swarmix_group__(self, points: memoryview) -> Any:
        # A k x d float64 array over the fit's buffer, without a copy.
        return self.fn(_numpy().asarray(points))

    def __call__(self, x: Sequence[float]) -> Any:
        """The value at one point (a group of one)."""
        return self.fn(_numpy().asarray([x], dtype=float))[0]

    def __repr__(self) -> str:
        return f"vectorized({self.fn!r})"


class _PointError:
    """What a worker returns when the objective raised: the point's failure, never the executor's."""

    __slots__ = ("error",)

    def __init__(self, error: Exception) -> None:
        self.error = error

    def __reduce__(self) -> tuple[Any, ...]:
        return (_PointError, (self.error,))


def _evaluate(fn: Callable[[list[float]], Any], x: list[float]) -> Any:
    """One point, in the worker: the objective's own exception comes back as a marked value."""
    try:
        return fn(x)
    except Exception as exc:  # the point's failure
        return _PointError(exc)


class _Flight:
    """A group waiting for its evaluations: what a Ctrl-C sees, and what was reported."""

    __slots__ = ("pending", "interrupted", "reported")

    def __init__(self, pending: int) -> None:
        self.pending = pending
        self.interrupted = False
        self.reported: set[int] = set()


_flights: list[_Flight] = []

_WAKE = 0.1  # seconds between two looks for signals while a group waits


def interrupted() -> None:
    """A Ctrl-C that lets the evaluations in flight finish: say so, and how to abandon them."""
    in_flight = 0
    for flight in _flights:
        flight.interrupted = True
        in_flight += flight.pending
    if in_flight:
        sys.stderr.write(f"\nswarmix: the search stops after the {in_flight} evaluations in flight; "
                         "press Ctrl-C again to abandon them\n")
        sys.stderr.flush()


def _value(result: Any) -> Any:
    """A point's entry: its value, or the exception its objective raised."""
    return result.error if isinstance(result, _PointError) else result


def _capacity(executor: Any) -> Callable[[], int] | None:
    """How to read the number of calls ``executor`` runs at once, or None if it cannot be read:
    ``_max_workers`` (the standard thread and process pools, and executors made like them),
    or the threads of the workers of a Dask client's executor, read as a group starts and again
    while it waits for a worker."""
    workers = getattr(executor, "_max_workers", None)
    if isinstance(workers, int) and workers > 0:
        return lambda: workers
    nthreads = getattr(getattr(executor, "_client", None), "nthreads", None)
    if callable(nthreads):
        return lambda: sum(nthreads().values())
    return None


_clock = time.monotonic  # the timeouts' clock
_sleep = time.sleep  # how a group waits for a worker to join when it has no evaluation to wait on


class _Running:
    """An evaluation handed to a free worker: its point, and when it was handed over."""

    __slots__ = ("index", "point", "started")

    def __init__(self, index: int, point: list[float], started: float) -> None:
        self.index, self.point, self.started = index, point, started


class Parallel:
    """A per-point objective evaluated concurrently over each group through an executor."""

    __slots__ = ("fn", "executor", "timeout", "_capacity", "_hung")

    # __swarmix_group__ takes report=: each point is reported as soon as it completes.
    __swarmix_reports__ = True

    def __init__(self, fn: Callable[[list[float]], Any], executor: Executor, timeout: float | None = None) -> None:
        if not callable(fn):
            raise TypeError(f"parallel() needs a callable, not {type(fn).__name__}")
        if not callable(getattr(executor, "submit", None)):
            raise TypeError(f"parallel() needs an executor with submit(), not {type(executor).__name__}")
        capacity = None
        if timeout is not None:
            timeout = float(timeout)
            if not timeout > 0.0:
                raise ValueError("timeout must be a number of seconds above 0, or None")
            capacity = _capacity(executor)
            if capacity is None:
                raise TypeError(f"parallel(timeout=...) needs an executor whose number of workers it can read "
                                f"(a thread or process pool, Dask's client.get_executor(), or one with "
                                f"_max_workers), not {type(executor).__name__}")
        self.fn = fn
        self.executor = executor
        self.timeout = timeout
        self._capacity = capacity
        # Evaluations that timed out and may still run, each keeping its worker busy.
        self._hung: dict[Future[Any], _Running] = {}

    def __swarmix_group__(self, points: memoryview, report: Callable[[int, Any], Any] | None = None) -> list[Any]:
        """The values of the k points, in point order; ``report(i, entry)``, when given, hears of
        each point as soon as it completes (in this thread), and of every completed point
        before a Ctrl-C leaves."""
        rows = cast(list[list[float]], points.tolist())
        futures: dict[Future[Any], int] = {}
        results: list[Any] = [None] * len(rows)
        flight = _Flight(len(rows))
        _flights.append(flight)
        try:
            if self.timeout is None:
                try:
                    for i, row in enumerate(rows):
                        futures[self.executor.submit(_evaluate, self.fn, row)] = i
                except Exception as exc:  # the executor refused the work: the fit fails
                    raise fails_fit(exc)
                self._wait(futures, results, flight, report)
            else:
                self._wait_timed(rows, futures, results, flight, report)
        except BaseException:
            for future in futures:  # nothing more starts; what runs is abandoned
                future.cancel()
            if report is not None:
                for future, i in futures.items():
                    if i not in flight.reported and future.done() and not future.cancelled() \
                            and future.exception() is None:
                        report(i, _value(future.result()))
            raise
        finally:
            _flights.remove(flight)
        return results

    def _wait(self, futures: dict[Future[Any], int], results: list[Any], flight: _Flight,
              report: Callable[[int, Any], Any] | None) -> None:
        pending = set(futures)
        while pending:
            # Wake now and then: a signal that the system delivered to another thread only
            # runs its handler (Ctrl-C) once this thread runs Python code again.
            done, pending = wait(pending, timeout=_WAKE, return_when=FIRST_COMPLETED)
            for future in done:
                self._complete(futures[future], future, results, flight, report)
            flight.pending = len(pending)

    def _complete(self, i: int, future: Future[Any], results: list[Any], flight: _Flight,
                  report: Callable[[int, Any], Any] | None) -> None:
        results[i] = self._entry(future, flight)
        flight.reported.add(i)
        if report is not None:
            report(i, results[i])

    def _wait_timed(self, rows: list[list[float]], futures: dict[Future[Any], int], results: list[Any],
                    flight: _Flight, report: Callable[[int, Any], Any] | None) -> None:
        """The group under a timeout: no more calls are submitted than the executor runs at once,
        so each call starts as it is handed over and its clock runs from there; the other points
        wait here, where no clock runs. An evaluation that has run for `timeout` seconds fails its
        point and keeps its worker until it ends. When every worker is kept so, and for
        `timeout` seconds no evaluation has completed or timed out, the executor is stuck."""
        timeout = cast(float, self.timeout)
        capacity = 0  # read as the group starts, and again whenever it waits for a worker
        hung = self._hung
        running: dict[Future[Any], _Running] = {}
        following = 0  # the next point to submit
        progress = _clock()  # the group's start, or its latest completion or timeout
        try:
            while following < len(rows) or running:
                for future in [future for future in hung if future.done()]:
                    del hung[future]  # its worker is free again
                    progress = _clock()
                if following < len(rows) and not running:  # waiting for a worker: one may have joined
                    capacity = self._workers()
                while following < len(rows) and len(running) + len(hung) < capacity:
                    handed = _clock()  # before the call can start
                    try:
                        future = self.executor.submit(_evaluate, self.fn, rows[following])
                    except Exception as exc:  # the executor refused the work: the fit fails
                        raise fails_fit(exc)
                    futures[future] = following
                    running[future] = _Running(following, rows[following], handed)
                    following += 1
                now = _clock()
                if following < len(rows) and not running and now - progress >= timeout:
                    raise fails_fit(RuntimeError(self._stuck(hung, now, len(rows) - following)))
                ends = [evaluation.started + timeout for evaluation in running.values()]
                if following < len(rows) and not running:
                    ends.append(progress + timeout)
                left = max(0.0, min(min(ends, default=math.inf) - now, _WAKE))
                if running or hung:
                    done, _ = wait(list(running) + list(hung), timeout=left, return_when=FIRST_COMPLETED)
                else:  # no worker yet: nothing to wait on (wait() would return at once), only the clock
                    _sleep(left)
                    done = set()
                now = _clock()
                for future in done:
                    evaluation = running.pop(future, None)
                    if evaluation is not None:
                        progress = now
                        self._complete(evaluation.index, future, results, flight, report)
                for future, evaluation in list(running.items()):
                    if now - evaluation.started >= timeout:  # it has run `timeout` seconds: its point fails
                        progress = now  # the executor gets `timeout` seconds more, if it has no other worker
                        del running[future]
                        hung[future] = evaluation
                        results[evaluation.index] = TimeoutError(f"the evaluation took more than {timeout} s")
                        flight.reported.add(evaluation.index)
                        if report is not None:
                            report(evaluation.index, results[evaluation.index])
                flight.pending = len(rows) - len(flight.reported)
        except BaseException:
            hung.update(running)  # abandoned, they may still keep their workers
            raise

    def _workers(self) -> int:
        """How many calls the executor runs at once; failing to read it fails the fit."""
        try:
            return int(cast(Callable[[], int], self._capacity)())
        except Exception as exc:  # a closed client, a lost scheduler
            raise fails_fit(exc)

    def _stuck(self, hung: dict[Future[Any], _Running], now: float, waiting: int) -> str:
        if not hung:
            return f"the executor has no worker: {waiting} evaluations waited {self.timeout} s for one"
        stuck = "; ".join(f"point {evaluation.index} of its group {evaluation.point}, running for "
                          f"{now - evaluation.started:.3g} s" for evaluation in hung.values())
        return (f"the executor is stuck: no evaluation completed for {self.timeout} s, {waiting} wait, and "
                f"every worker still runs one that timed out or was abandoned: {stuck}")

    def _entry(self, future: Future[Any], flight: _Flight) -> Any:
        try:
            return _value(future.result())
        except KeyboardInterrupt:  # Ctrl-C reached the worker: it is the interrupt
            raise
        except Exception as exc:  # the executor's own failure, not the objective's
            if flight.interrupted:  # workers lost to the Ctrl-C the fit was told of
                raise KeyboardInterrupt from exc
            raise fails_fit(exc)

    def __call__(self, x: list[float]) -> Any:
        """The value at one point, computed here."""
        return self.fn(x)

    def __repr__(self) -> str:
        timeout = "" if self.timeout is None else f", timeout={self.timeout!r}"
        return f"parallel({self.fn!r}, {self.executor!r}{timeout})"


def vectorized(fn: Callable[[Any], Any]) -> Vectorized:
    """Wrap a vectorised objective for ``fit``.

    ``fn(X)`` receives a 2-D numpy float64 array, one row per point (k x d), and returns the k
    values (any 1-D array-like or sequence of numbers); for ``Nsga2Optimizer``,
    ``Nsga2Sbx`` and ``MopsoOptimizer`` a k x m array-like or k sequences. A NaN or non-number entry counts as
    +inf for its point; if the call raises an ``Exception``, every point of the group does.
    The fit is the per-point fit when ``fn`` gives each row the value the per-point objective
    gives its point, bit for bit; note that Python's ``sum()`` adds numpy scalars without the
    compensation it gives floats (use ``math.fsum``, numpy's sums, or ``row.tolist()``).
    Needs numpy.
    """
    return Vectorized(fn)


def parallel(fn: Callable[[list[float]], Any], executor: Executor, *, timeout: float | None = None) -> Parallel:
    """Wrap a per-point objective so that each group is evaluated concurrently.

    ``fn(list[float])`` is submitted once per point of a group to ``executor`` (any
    ``concurrent.futures.Executor``: a thread or process pool, Dask's
    ``client.get_executor()``, ...) and the values are used in point order, so the fit gives
    exactly the serial results. A call that raises an ``Exception`` or returns a non-number
    counts as +inf for its point. A failure of the executor itself (a broken pool, a lost
    worker, a cancelled future, a closed client) fails the fit with that error.

    ``timeout``: an evaluation that has run for ``timeout`` seconds fails its point with
    ``TimeoutError`` (+inf) and the search goes on; a point that has not started never times
    out. For this no more calls are submitted than the executor runs at once (read from a
    thread or process pool, from the workers of Dask's executor, or from an executor's
    ``_max_workers``; another executor gets a ``TypeError``), and an evaluation's clock runs
    from its hand-over to a free worker. An evaluation that timed out keeps its worker busy
    (executors cannot stop a call that has started), so fewer run at once until it ends. When
    every worker is kept so and for ``timeout`` seconds no evaluation completes while points
    wait, the executor is stuck: the fit fails with a ``RuntimeError`` naming the stuck
    evaluations, as on any failure of the executor. The executor's workers are taken to be
    this wrapper's while a group is in flight.

    While a group is in flight, Ctrl-C abandons it (pending calls are cancelled) and raises
    KeyboardInterrupt; under a ``Monitor(stop_on_interrupt=True)`` the first Ctrl-C lets the
    evaluations in flight finish and the second abandons them.
    """
    return Parallel(fn, executor, timeout)
