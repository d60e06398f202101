"""The protocol between a fit and the wrappers of its objective.

A fit inspects the object passed to ``fit`` once. Each method is optional:

- ``__swarmix_start__(fit)`` is called first, with a dict describing the fit (``"class"``,
  ``"params"``, ``"random_state"``, ``"lower"``, ``"upper"``, ``"kind"``: ``"scalar"`` or
  ``"vector"`` (a multi-objective or constrained fit, whose objective returns a row per
  point), ``"initial"``, ``"n_constraints"``, ``"n_equalities"``, ``"integer"`` (the sorted
  integer coordinates, or None) and ``"read_group"``: the fit's own reader of a group
  objective's result, ``read_group(result, k)``), and returns the objective to evaluate;
- ``__swarmix_boundary__(completed, planned, best, counts)`` makes the object a monitor: it
  hears every iteration boundary and stops the search there by returning true. ``best`` is
  the search's best value, None for the multi-objective classes and while a constrained
  search's best point is infeasible; ``counts`` is (n_evaluations, n_failed, first_error,
  best_value, best_position), its best under Deb's order in a constrained fit;
- ``__swarmix_end__(counts, error)`` is called once after a start, however the fit ends
  (``error`` is None when it succeeded, else the exception that fails it). A monitor ends
  the objective it wraps with ``counts`` None, or, when it stopped the search early, with
  the fit's counts followed by ``(stop_reason, completed, planned)``: its reason and the
  iterations completed and planned (``stopped`` below);
- ``__swarmix_group__(points)`` makes the objective to evaluate a group objective;
- ``__swarmix_record__`` on the objective to evaluate hands the fit a plain objective to call
  per point, with recorded evaluations to answer from and a file to append the live ones to
  (the attributes it needs are listed in src/bindings/recorder.hpp); the fit then does that
  work natively and ignores ``__swarmix_group__``.

The fit speaks only to the outermost object; a wrapper around another wrapper starts and ends
it with ``start`` and ``end`` below, so wrappers compose.
"""

from __future__ import annotations

from typing import Any

__all__ = ["start", "end", "stopped", "stop_of"]


def start(objective: Any, fit: dict[str, Any]) -> Any:
    """Start ``objective`` for the fit described by ``fit``: the objective to evaluate."""
    method = getattr(objective, "__swarmix_start__", None)
    return objective if method is None else method(fit)


def end(objective: Any, counts: Any, error: BaseException | None) -> None:
    """End a started ``objective``."""
    method = getattr(objective, "__swarmix_end__", None)
    if method is not None:
        method(counts, error)


def stopped(counts: Any, stop: tuple[str, int, int] | None) -> Any:
    """The ``counts`` a monitor ends the objective it wraps with: None unless it stopped the
    search early (a stop at the last planned iteration is none), else the fit's counts
    followed by ``stop`` (reason, completed, planned)."""
    if stop is None or counts is None or stop[1] >= stop[2]:
        return None
    return tuple(counts) + tuple(stop)


def stop_of(counts: Any) -> tuple[str, int, int] | None:
    """Why a wrapper's monitor stopped the search early (reason, completed and planned
    iterations), or None."""
    if isinstance(counts, tuple) and len(counts) == 8 and isinstance(counts[5], str):
        return counts[5], int(counts[6]), int(counts[7])
    return None
