"""Group objectives: many points evaluated in one call, vectorised or in parallel.

A fit hands a group objective all the points of a group at once, where the search allows it
(the points of a group never depend on each other's values). The protocol is one method,
``__swarmix_group__(points)``: ``points`` is a k x d memoryview of doubles over a new buffer,
and the method returns the k values in point order (k lists of values for
``Nsga2Optimizer`` and ``MopsoOptimizer``). An entry that is not a number fails its point
(+inf), an entry that is an exception object fails it with that error, and a call that
raises an ``Exception`` fails the whole group. The results are exactly those of evaluating
the points one by one.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from concurrent.futures import Executor, Future
from typing import Any, cast

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


class Parallel:
    """A per-point objective evaluated concurrently over each group through an executor."""

    __slots__ = ("fn", "executor")

    def __init__(self, fn: Callable[[list[float]], Any], executor: Executor) -> None:
        if not callable(fn):
            raise TypeError(f"parallel() needs a callable, not {type(fn).__name__}")
        if not callable(getattr(executor, "submit", None)):
            raise TypeError(f"parallel() needs an executor with submit(), not {type(executor).__name__}")
        self.fn = fn
        self.executor = executor

    def __swarmix_group__(self, points: memoryview) -> list[Any]:
        rows = cast(list[list[float]], points.tolist())
        futures: list[Future[Any]] = [self.executor.submit(self.fn, row) for row in rows]
        results: list[Any] = []
        try:
            for future in futures:
                try:
                    results.append(future.result())
                except Exception as exc:  # that point failed: its error is its entry
                    results.append(exc)
        except BaseException:  # Ctrl-C while waiting: nothing more starts
            for future in futures:
                future.cancel()
            raise
        return results

    def __call__(self, x: list[float]) -> Any:
        """The value at one point, computed here."""
        return self.fn(x)

    def __repr__(self) -> str:
        return f"parallel({self.fn!r}, {self.executor!r})"


def vectorized(fn: Callable[[Any], Any]) -> Vectorized:
    """Wrap a vectorised objective for ``fit``.

    ``fn(X)`` receives a 2-D numpy float64 array, one row per point (k x d), and returns the k
    values (any 1-D array-like or sequence of numbers); for ``Nsga2Optimizer`` and
    ``MopsoOptimizer`` a k x m array-like or k sequences. A NaN or non-number entry counts as
    +inf for its point; if the call raises an ``Exception``, every point of the group does.
    Needs numpy.
    """
    return Vectorized(fn)


def parallel(fn: Callable[[list[float]], Any], executor: Executor) -> Parallel:
    """Wrap a per-point objective so that each group is evaluated concurrently.

    ``fn(list[float])`` is submitted once per point of a group to ``executor`` (any
    ``concurrent.futures.Executor``: a thread or process pool, Dask's
    ``client.get_executor()``, ...) and the values are used in point order, so the fit gives
    exactly the serial results. A call that raises an ``Exception`` or returns a non-number
    counts as +inf for its point.
    """
    return Parallel(fn, executor)
