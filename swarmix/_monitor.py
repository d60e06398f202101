"""Watching and stopping a long fit."""

from __future__ import annotations

import importlib
import math
import operator
import signal
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

from swarmix import _group, _protocol
from swarmix._errors import UsageError

__all__ = ["Monitor"]

class Monitor:
    """Wrap an objective to watch a fit and to stop it early.

    Pass the monitor to ``fit`` in place of the objective (a plain callable,
    ``swarmix.vectorized(...)`` or ``swarmix.parallel(...)``)::

        monitor = Monitor(f, max_evaluations=5000, progress=True)
        opt.fit(monitor, lower, upper)
        monitor.n_evaluations, monitor.best_value, monitor.stop_reason

    The stopping conditions are checked at every iteration boundary (the end of the initial
    population counts as one): at least ``max_evaluations`` evaluations made, at least
    ``max_time`` seconds passed, the search's best value at or below ``target`` (never while a
    constrained fit's best point is infeasible: its best value is then None, in ``trace`` and
    for ``callback`` too), or ``callback(iteration, best_value)`` returned true. The fit then
    ends at that boundary and succeeds as usual, with the optimiser's results as they stand
    there; an iteration in progress always completes. Without limits a monitored fit gives
    exactly the plain fit's results.

    With ``stop_on_interrupt=True``, Ctrl-C ends the fit at the next boundary with the best
    so far stored (a second Ctrl-C raises KeyboardInterrupt at once, abandoning the
    evaluations in flight of a ``parallel`` objective); by default
    KeyboardInterrupt propagates and the optimiser keeps its previous state. With
    ``progress=True`` a live line on standard error shows the iteration, the evaluations,
    the best value, the rate and the elapsed time (through tqdm when it is installed).

    A monitor watches one fit at a time: starting a second fit with it while the first runs (a
    nested fit, another thread) raises ``swarmix.UsageError``, which fails that fit. The
    attributes describe the latest fit that used the monitor, during the fit (updated at every
    boundary) and after it. ``best_value`` and ``best_position`` are the best point of all the
    search's evaluations (the probe only checks the objective), None for the multi-objective
    classes (in a constrained fit, the best under the feasibility rules that the fit's order
    follows: a feasible point beats an infeasible one, feasible points compare by value,
    infeasible ones by violation); ``trace`` holds one ``(n_evaluations, best_value)`` pair per
    completed iteration, with the search's own best value (the one ``history_`` records).
    """

    def __init__(
        self,
        objective: Callable[[list[float]], Any],
        *,
        max_evaluations: int | None = None,
        max_time: float | None = None,
        target: float | None = None,
        callback: Callable[[int, float | None], Any] | None = None,
        progress: bool = False,
        stop_on_interrupt: bool = False,
    ) -> None:
        if isinstance(objective, Monitor):
            raise TypeError("a Monitor cannot watch another Monitor")
        if not callable(objective) and not hasattr(objective, "__swarmix_group__"):
            raise TypeError(f"Monitor needs an objective, not {type(objective).__name__}")
        if max_evaluations is not None:
            max_evaluations = operator.index(max_evaluations)
            if max_evaluations < 0:
                raise ValueError("max_evaluations must not be negative")
        if max_time is not None:
            max_time = float(max_time)
            if not max_time >= 0.0:
                raise ValueError("max_time must be a number of seconds, at least 0")
        if target is not None:
            target = float(target)
        if callback is not None and not callable(callback):
            raise TypeError("callback must be callable")
        self.objective = objective
        self.max_evaluations = max_evaluations
        self.max_time = max_time
        self.target = target
        self.callback = callback
        self.progress = bool(progress)
        self.stop_on_interrupt = bool(stop_on_interrupt)
        self._claim = threading.Lock()  # held by the fit that uses the monitor
        self._reset()

    def _reset(self) -> None:
        # (n_evaluations, n_failed, first_error, best_value, best_position), as the fit reports them
        self._counts: tuple[Any, ...] = (0, 0, None, None, None)
        self.n_iterations = 0
        self.trace: list[tuple[int, float | None]] = []
        self.stop_reason: str | None = None
        self._planned = 0
        self._started = time.monotonic()
        self._interrupted = False
        self._previous_handler: Any = None
        self._line: _Progress | None = None

    @property
    def n_evaluations(self) -> int:
        """Objective evaluations so far, the probe included."""
        return int(self._counts[0])

    @property
    def n_failed(self) -> int:
        """Evaluations that counted as +inf: they raised, returned a non-number or NaN."""
        return int(self._counts[1])

    @property
    def first_error(self) -> BaseException | None:
        """The first such failure's exception (a ValueError for a NaN), or None."""
        error: BaseException | None = self._counts[2]
        return error

    @property
    def best_value(self) -> float | None:
        """The best value of the search's evaluations (None before any, and for several objectives)."""
        value: float | None = self._counts[3]
        return value

    @property
    def best_position(self) -> list[float] | None:
        """Where the best value was found."""
        position: list[float] | None = self._counts[4]
        return None if position is None else list(position)

    def __call__(self, x: list[float]) -> Any:
        """The objective's value at one point (not counted: only fits are watched)."""
        return self.objective(x)

    def __repr__(self) -> str:
        return f"Monitor({self.objective!r})"

    # ------------------------------------------------------------ the fit's calls

    def __swarmix_start__(self, fit: dict[str, Any]) -> Any:
        self._begin()
        try:
            return _protocol.start(self.objective, fit)
        except BaseException:
            self._finish()
            raise

    def _begin(self) -> None:
        # One fit at a time: a nested fit or another thread must not take over the first
        # fit's attributes and saved Ctrl-C handler.
        if not self._claim.acquire(blocking=False):
            raise UsageError("this Monitor is already watching a fit; give each fit its own Monitor")
        try:
            self._reset()
            if self.stop_on_interrupt and threading.current_thread() is threading.main_thread():
                self._previous_handler = signal.signal(signal.SIGINT, self._on_interrupt)
        except BaseException:
            self._claim.release()
            raise

    def __swarmix_boundary__(self, completed: int, planned: int, best: float | None, counts: tuple[Any, ...]) -> bool:
        self._counts = counts
        self._planned = planned
        stop_by_callback = False
        if completed:
            self.n_iterations = completed
            self.trace.append((counts[0], best))
            if self.callback is not None:
                stop_by_callback = bool(self.callback(completed, best))
        if self.max_evaluations is not None and counts[0] >= self.max_evaluations:
            self.stop_reason = "max_evaluations"
        elif self.max_time is not None and time.monotonic() - self._started >= self.max_time:
            self.stop_reason = "max_time"
        elif self.target is not None and best is not None and best <= self.target:
            self.stop_reason = "target"
        elif stop_by_callback:
            self.stop_reason = "callback"
        elif self._interrupted:
            self.stop_reason = "interrupt"
        else:
            if self.progress:
                self._show(completed, planned, best, final=False)
            return False
        if self.progress:
            self._show(completed, planned, best, final=True)
        return True

    def _show(self, completed: int, planned: int, best: float | None, final: bool) -> None:
        if self._line is None:
            self._line = _Progress(planned)
        self._line.show(completed, self.n_evaluations, best, time.monotonic() - self._started, final)

    def __swarmix_end__(self, counts: tuple[Any, ...], error: BaseException | None) -> None:
        self._counts = counts
        try:
            self._finish()
        finally:
            stop = None if self.stop_reason is None else (self.stop_reason, self.n_iterations, self._planned)
            _protocol.end(self.objective, _protocol.stopped(counts, stop), error)

    def _finish(self) -> None:
        # Whatever fails here, the handler returns and the monitor is free again.
        try:
            if self._line is not None:
                line, self._line = self._line, None
                line.close(self.n_iterations, self.n_evaluations, time.monotonic() - self._started)
        finally:
            if self._previous_handler is not None:
                signal.signal(signal.SIGINT, self._previous_handler)
                self._previous_handler = None
            self._claim.release()

    def _on_interrupt(self, signum: int, frame: Any) -> None:
        if self._interrupted:  # a second Ctrl-C does not wait
            raise KeyboardInterrupt
        self._interrupted = True
        _group.interrupted()  # evaluations in flight finish first: say how to abandon them


class _Progress:
    """One live line on standard error: through tqdm when it is installed."""

    def __init__(self, planned: int) -> None:
        self.planned = planned
        self.best: float | None = None
        self.evaluations = 0
        self.last = -math.inf
        self.width = 0
        self.bar: Any = None
        try:
            tqdm = importlib.import_module("tqdm").tqdm
        except ImportError:
            return
        self.bar = tqdm(total=planned, file=sys.stderr, unit="it", leave=True, dynamic_ncols=True)

    def show(self, completed: int, evaluations: int, best: float | None, elapsed: float, final: bool = False) -> None:
        self.best, self.evaluations = best, evaluations
        now = time.monotonic()
        if not final and completed < self.planned and now - self.last < 0.1:
            return
        self.last = now
        fields = self._fields(evaluations, best, elapsed)
        if self.bar is not None:
            self.bar.n = completed
            self.bar.set_postfix_str(fields, refresh=False)
            self.bar.refresh()
            return
        text = f"iteration {completed}/{self.planned}  {fields}  {elapsed:.1f} s"
        sys.stderr.write("\r" + text.ljust(self.width))
        sys.stderr.flush()
        self.width = len(text)

    @staticmethod
    def _fields(evaluations: int, best: float | None, elapsed: float) -> str:
        rate = evaluations / elapsed if elapsed > 0 else 0.0
        shown = "-" if best is None else f"{best:.6g}"
        return f"evaluations {evaluations}  best {shown}  {rate:.0f} evals/s"

    def close(self, completed: int, evaluations: int, elapsed: float) -> None:
        if self.bar is not None:
            self.bar.n = completed
            self.bar.set_postfix_str(self._fields(evaluations, self.best, elapsed), refresh=False)
            self.bar.close()
            return
        self.show(completed, evaluations, self.best, elapsed, final=True)
        sys.stderr.write("\n")
        sys.stderr.flush()
