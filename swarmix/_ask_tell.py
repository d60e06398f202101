"""Ask/tell: a fit driven from outside, its values told by the caller.

A run is an ordinary fit of the optimiser, made in a worker thread, whose group objective
publishes each group's points and waits until ``tell`` hands their values over. The caller
and the worker take turns: every call of the run returns only when the worker waits again
(for the next group's values) or the fit has ended, so the run's state is always the same
after the same calls, and pickling it records the told groups. An unpickled run makes the fit
again and answers the recorded groups from the record.
"""

from __future__ import annotations

import inspect
import numbers
import os
import pickle
import struct
import threading
import weakref
from collections.abc import Sequence
from typing import Any, SupportsIndex, cast

from swarmix._errors import fails_fit

__all__ = ["AskTell"]


class _Abandoned(BaseException):
    """Ends the fit of a run that was closed or garbage collected."""


class _Channel:
    """What the worker and the caller share; it holds no reference to the run object.

    ``record`` holds one ``(points, values)`` pair per group handed to the fit: the points as
    the bytes of their doubles, the values as told (a failed point as None). Its length is the
    number of groups the fit has received, which places a ``stop()`` in the fit's course.
    """

    def __init__(self, replay: list[tuple[bytes, list[Any]]], stop_after: int | None) -> None:
        self.cond = threading.Condition()
        self.replay = replay
        self.record: list[tuple[bytes, list[Any]]] = []
        self.kind = "scalar"
        self.lower: list[float] = []
        self.upper: list[float] = []
        self.initial: list[list[float]] | None = None
        self.keywords: dict[str, Any] = {}  # n_constraints, n_equalities and integer, as the fit read them
        self.points: list[list[float]] | None = None  # the group waiting for its values
        self.key = b""  # its bytes
        self.values: list[Any] | None = None  # handed over, not yet taken by the fit
        self.busy = True  # the worker's turn
        self.outcome: str | None = None  # "done", "failed" or "closed" once the fit has ended
        self.error: BaseException | None = None  # the fit's error until the caller raised it
        self.abandoned = False
        self.stop_after = stop_after

    # ------------------------------------------------------------ the fit's calls (worker)

    def __swarmix_start__(self, fit: dict[str, Any]) -> _Channel:
        if fit["random_state"] is None:
            raise ValueError("AskTell needs an optimiser with a random_state: "
                             "a run must ask for the same points again after pickling")
        self.kind, self.lower, self.upper, self.initial = fit["kind"], fit["lower"], fit["upper"], fit["initial"]
        self.keywords = {key: fit[key] for key in _KEYWORDS}
        return self

    def __swarmix_boundary__(self, completed: int, planned: int, best: Any, counts: Any) -> bool:
        return self.stop_after is not None and len(self.record) > self.stop_after

    def __swarmix_group__(self, points: memoryview) -> list[Any]:
        key = points.tobytes()
        with self.cond:
            n = len(self.record)
            if n < len(self.replay):
                recorded, values = self.replay[n]
                if key != recorded:
                    raise fails_fit(RuntimeError(
                        f"the resumed run asked for other points than the pickled one in group {n}"))
                self.record.append((key, values))
                return values
            self.points, self.key, self.busy = cast(list[list[float]], points.tolist()), key, False
            self.cond.notify_all()
            self.cond.wait_for(lambda: self.values is not None or self.abandoned)
            if self.values is None:
                raise _Abandoned
            told, self.values = self.values, None
            return told

    # ------------------------------------------------------------ the caller's side

    def wait(self) -> None:
        """Wait (holding ``cond``) until the worker waits for values or has ended."""
        self.cond.wait_for(lambda: not self.busy)


# The keywords that AskTell passes on to fit beside ``initial``.
_KEYWORDS = ("n_constraints", "n_equalities", "integer")


def _work(channel: _Channel, optimizer: Any, lower: Any, upper: Any, initial: Any, keywords: dict[str, Any]) -> None:
    error: BaseException | None = None
    outcome = "done"
    try:
        optimizer.fit(channel, lower, upper, initial=initial, **keywords)
    except _Abandoned:
        outcome = "closed"
    except BaseException as exc:  # noqa: BLE001 - handed to the caller
        error, outcome = exc, "failed"
    with channel.cond:
        channel.outcome, channel.error, channel.busy, channel.points = outcome, error, False, None
        channel.cond.notify_all()


_ENDED = {"done": "the run is done", "failed": "the run failed", "closed": "the run is closed"}


def _abandon(channel: _Channel, thread: threading.Thread, pid: int) -> None:
    if os.getpid() != pid:  # a forked child: the thread and its lock are the parent's
        return
    with channel.cond:
        channel.abandoned = True
        channel.cond.notify_all()
    if thread.is_alive() and thread is not threading.current_thread():
        thread.join()


def _is_row(value: Any) -> bool:
    return isinstance(value, (list, tuple)) or getattr(value, "ndim", 0) >= 1


class AskTell:
    """The search of ``optimizer`` on the box ``lower``..``upper``, driven from outside::

        run = AskTell(DifferentialEvolution(random_state=1), lower, upper)
        while not run.done:
            X = run.ask()                 # the points of the next group, as a list of lists
            run.tell([f(x) for x in X])   # one value per point, in order
        run.optimizer.predict()           # exactly as after fit(f, lower, upper)

    The groups are those a group objective receives, the first being the fit's probe (one point);
    ``initial``, ``n_constraints``, ``n_equalities`` and ``integer`` are passed to the fit as
    ``fit``'s keywords (``ask()`` then gives points whole at the integer coordinates). ``tell``
    takes one value per point (a row of values per point for ``Nsga2Optimizer``, ``Nsga2Sbx``
    and ``MopsoOptimizer``, and in a constrained fit: the objective values, then the inequality
    and equality values); NaN, None or an exception object fails its point (+inf); a row of the
    wrong length ends the run with the fit's ValueError; ``tell(values, points=X)`` also checks
    that ``X`` are the asked points, bit for bit. Each ``tell`` answers the group last asked. A
    told probe that makes ``fit`` fail makes ``tell`` raise that error and ends the run with the
    optimiser unchanged. The optimiser needs a ``random_state``, and it cannot be read or fitted
    elsewhere while the run goes on.

    ``stop()`` ends the search at its next iteration boundary, as a Monitor stop does;
    ``close()`` abandons the run and the optimiser keeps its previous state (so does garbage
    collection). A run pickles at any point: the copy asks for the same points next and ends
    with the same result, in its own copy of the optimiser (``run.optimizer``). A forked child
    cannot use its parent's run (``RuntimeError``): the fit's thread is the parent's.
    """

    def __init__(self, optimizer: Any, lower: Sequence[float], upper: Sequence[float], *,
                 initial: Any = None, n_constraints: SupportsIndex = 0, n_equalities: SupportsIndex = 0,
                 integer: Any = None) -> None:
        fit = getattr(type(optimizer), "fit", None)
        if type(optimizer).__module__ != "swarmix._swarmix" or fit is None or \
                "objective" not in inspect.signature(fit).parameters:
            raise TypeError(f"AskTell needs an optimiser of an objective, not {type(optimizer).__name__}")
        keywords = {"n_constraints": n_constraints, "n_equalities": n_equalities, "integer": integer}
        self._start(pickle.dumps(optimizer), optimizer, lower, upper, initial, keywords, [], None)

    def _start(self, saved: bytes, optimizer: Any, lower: Any, upper: Any, initial: Any, keywords: dict[str, Any],
               replay: list[tuple[bytes, list[Any]]], stop_after: int | None) -> None:
        self._saved = saved
        self._optimizer = optimizer
        self._pid = os.getpid()  # the process whose thread makes the fit
        # The group asked and not told yet, and the last group told, by their number.
        self._asked: int | None = None
        self._told: int | None = None
        channel = self._channel = _Channel(replay, stop_after)
        thread = threading.Thread(target=_work, args=(channel, optimizer, lower, upper, initial, keywords),
                                  name="swarmix-asktell", daemon=True)
        self._finalizer = weakref.finalize(self, _abandon, channel, thread, self._pid)
        thread.start()
        with channel.cond:
            channel.wait()
            self._raise_error()

    def _raise_error(self) -> None:
        """Raise the fit's error once (holding ``cond``)."""
        channel = self._channel
        error, channel.error = channel.error, None
        if error is not None:
            raise error

    def _here(self) -> _Channel:
        """The channel, in the process that made the run (before taking ``cond``)."""
        if os.getpid() != self._pid:
            raise RuntimeError("an AskTell run cannot be used in a forked child process: its fit runs in "
                               "a thread of the parent (pickle it in the parent and load the copy in the child)")
        return self._channel

    def _ready(self) -> _Channel:
        """The channel once the worker waits; the run must not be done (holding ``cond``)."""
        channel = self._channel
        channel.wait()
        self._raise_error()
        if channel.outcome is not None:
            raise RuntimeError(_ENDED[channel.outcome])
        return channel

    @property
    def optimizer(self) -> Any:
        """The optimiser the run fills (after unpickling, the run's own copy)."""
        return self._optimizer

    @property
    def done(self) -> bool:
        """Whether the search has ended (or the run was closed)."""
        channel = self._here()
        with channel.cond:
            channel.wait()
            return channel.outcome is not None

    def ask(self) -> list[list[float]]:
        """The points of the next group, each a list of floats."""
        with self._here().cond:
            channel = self._ready()
            if self._asked is not None:
                raise RuntimeError("ask() again before tell(): tell the values of the asked points first")
            self._asked = len(channel.record)
            assert channel.points is not None
            return [list(point) for point in channel.points]

    def tell(self, values: Sequence[Any], *, points: Sequence[Sequence[float]] | None = None) -> None:
        """Hand over the values of the asked points, in their order. ``points``, when given,
        must be the asked points, bit for bit."""
        with self._here().cond:
            channel = self._ready()
            group = len(channel.record)  # the group waiting for its values
            if self._asked != group:
                raise RuntimeError("tell() again for one ask(): its values were told; ask for the next points first"
                                   if self._told is not None and self._told == group - 1 else
                                   "tell() without ask(): ask for the points first")
            assert channel.points is not None
            told = self._checked(values, len(channel.points))
            if points is not None:
                self._same_points(points, channel)
            recorded = [None if isinstance(v, BaseException) else v for v in told]
            # The probe's entries go over as told (a failing one raises its own error), the
            # others as recorded: every failure counts alike there.
            channel.values = told if not channel.record else recorded
            channel.record.append((channel.key, recorded))
            channel.busy, channel.points, self._asked, self._told = True, None, None, group
            channel.cond.notify_all()
            channel.wait()
            self._raise_error()

    def _checked(self, values: Any, k: int) -> list[Any]:
        if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
            raise ValueError(f"tell() needs a sequence of {k} values, not {type(values).__name__}")
        told = list(values)
        if len(told) != k:
            raise ValueError(f"tell() got {len(told)} values for {k} points")
        if self._channel.kind == "scalar":
            for i, value in enumerate(told):
                if _is_row(value):
                    raise ValueError(f"tell() needs one number per point; entry {i} is a {type(value).__name__}")
            return told
        for i, value in enumerate(told):
            if _is_row(value):
                told[i] = list(value)  # the row as told now
            elif isinstance(value, numbers.Real) and value == value:
                raise ValueError(f"tell() needs one row of values per point; entry {i} is a number")
        return told

    @staticmethod
    def _same_points(points: Any, channel: _Channel) -> None:
        """Refuse ``points`` unless they are the asked ones, every bit of every coordinate."""
        asked = cast(list[list[float]], channel.points)
        if isinstance(points, (str, bytes)) or not hasattr(points, "__len__") or len(points) != len(asked):
            raise ValueError(f"tell(points=...) needs the {len(asked)} asked points")
        for i, (point, x) in enumerate(zip(points, asked)):
            try:
                row = [float(v) for v in point]
            except (TypeError, ValueError) as exc:
                raise ValueError(f"tell(points=...): point {i} is not a sequence of numbers") from exc
            if len(row) != len(x):
                raise ValueError(f"tell(points=...): point {i} has {len(row)} coordinates, the asked {len(x)}")
            for j, (v, w) in enumerate(zip(row, x)):
                if struct.pack("<d", v) != struct.pack("<d", w):
                    raise ValueError(f"tell(points=...): point {i} is not the asked one: coordinate {j} is "
                                     f"{v!r}, asked {w!r}")

    def stop(self) -> None:
        """End the search at its next iteration boundary, with the result there."""
        with self._here().cond:
            channel = self._channel
            channel.wait()
            if channel.stop_after is None and channel.outcome is None:
                channel.stop_after = len(channel.record)

    def close(self) -> None:
        """Abandon the run: the optimiser keeps the state it had before (unless it is done)."""
        self._here()
        self._finalizer()

    def __reduce__(self) -> tuple[Any, ...]:
        channel = self._here()
        with channel.cond:
            channel.wait()
            if channel.outcome not in (None, "done"):
                raise RuntimeError(f"a {channel.outcome} run cannot be pickled")
            state = (self._saved, channel.lower, channel.upper, channel.initial, list(channel.record),
                     channel.stop_after, channel.keywords)
        return (_resume, state)

    def __repr__(self) -> str:
        status = self._channel.outcome or "running"
        return f"<AskTell {status}, {len(self._channel.record)} groups told, {self._optimizer!r}>"


def _resume(saved: bytes, lower: list[float], upper: list[float], initial: list[list[float]] | None,
            record: list[tuple[bytes, list[Any]]], stop_after: int | None,
            keywords: dict[str, Any] | None = None) -> AskTell:
    """A pickled run made again (one pickled before the keywords beside ``initial`` existed
    had none)."""
    run = AskTell.__new__(AskTell)
    run._start(saved, pickle.loads(saved), lower, upper, initial, keywords or {}, record, stop_after)
    return run
