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


class Parallel:
    """A per-point objective evaluated concurrently over each group through an executor."""

    __slots__ = ("fn", "executor", "timeout")

    # __swarmix_group__ takes report=: each point is reported as soon as it completes.
    __swarmix_reports__ = True

    def __init__(self, fn: Callable[[list[float]], Any], executor: Executor, timeout: float | None = None) -> None:
        if not callable(fn):
            raise TypeError(f"parallel() needs a callable, not {type(fn).__name__}")
        if not callable(getattr(executor, "submit", None)):
            raise TypeError(f"parallel() needs an executor with submit(), not {type(executor).__name__}")
        if timeout is not None:
            timeout = float(timeout)
            if not timeout > 0.0:
                raise ValueError("timeout must be a number of seconds above 0, or None")
        self.fn = fn
        self.executor = executor
        self.timeout = timeout

    def __swarmix_group__(self, points: memoryview, report: Callable[[int, Any], Any] | None = None) -> list[Any]:
        """The values of the k points, in point order; ``report(i, entry)``, when given, hears of
        each point as soon as it completes (in this thread), and of every completed point
        before a Ctrl-C leaves."""
        rows = cast(list[list[float]], points.tolist())
        futures: list[Future[Any]] = []
        results: list[Any] = [None] * len(rows)
        flight = _Flight(len(rows))
        _flights.append(flight)
        try:
            try:
                for row in rows:
                    futures.append(self.executor.submit(_evaluate, self.fn, row))
            except Exception as exc:  # the executor refused the work: the fit fails
                raise fails_fit(exc)
            self._wait(futures, results, flight, report)
        except BaseException:
            for future in futures:  # nothing more starts; what runs is abandoned
                future.cancel()
            if report is not None:
                for i, future in enumerate(futures):
                    if i not in flight.reported and future.done() and not future.cancelled() \
                            and future.exception() is None:
                        report(i, _value(future.result()))
            raise
        finally:
            _flights.remove(flight)
        return results

    def _wait(self, futures: list[Future[Any]], results: list[Any], flight: _Flight,
              report: Callable[[int, Any], Any] | None) -> None:
        index = {future: i for i, future in enumerate(futures)}
        pending = set(futures)
        # A point's clock runs from the group's latest progress (its submission, or the last
        # completion of one of its points), so a point waiting in the executor's queue behind
        # others is never timed out: points time out when the group makes no progress for
        # `timeout` seconds, and have then run at least that long.
        progress = time.monotonic()
        while pending:
            left = math.inf if self.timeout is None else progress + self.timeout - time.monotonic()
            # Wake now and then: a signal that the system delivered to another thread only
            # runs its handler (Ctrl-C) once this thread runs Python code again.
            done, pending = wait(pending, timeout=max(0.0, min(left, _WAKE)), return_when=FIRST_COMPLETED)
            timed_out = not done and left <= _WAKE
            if done:
                progress = time.monotonic()
            elif not timed_out:
                continue
            else:  # no progress for `timeout` seconds: what is left fails
                done, pending = pending, set()
            for future in done:
                i = index[future]
                future.cancel()  # a queued call never starts; a running one may keep its worker busy
                results[i] = self._entry(future, flight, timed_out)
                flight.reported.add(i)
                if report is not None:
                    report(i, results[i])
            flight.pending = len(pending)

    def _entry(self, future: Future[Any], flight: _Flight, timed_out: bool) -> Any:
        if timed_out and (future.cancelled() or not future.done()):
            return TimeoutError(f"the evaluation took more than {self.timeout} s")
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

    ``timeout``: an evaluation not done within ``timeout`` seconds fails its point with
    ``TimeoutError`` (+inf) and the search goes on. The clock runs from the group's latest
    progress (its submission, or the last completion of one of its points), so a point
    waiting in the executor's queue behind others is never timed out, and a point that times
    out has run at least that long. Its worker may stay busy with it: executors cannot stop
    a call that has started.

    While a group is in flight, Ctrl-C abandons it (pending calls are cancelled) and raises
    KeyboardInterrupt; under a ``Monitor(stop_on_interrupt=True)`` the first Ctrl-C lets the
    evaluations in flight finish and the second abandons them.
    """
    return Parallel(fn, executor, timeout)
