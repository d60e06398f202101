"""The protocol between a fit and the wrappers of its objective.

A fit inspects the object passed to ``fit`` once. Each method is optional:

- ``__swarmix_start__(fit)`` is called first, with a dict describing the fit (``"class"``,
  ``"params"``, ``"random_state"``, ``"lower"``, ``"upper"``, ``"kind"``: ``"scalar"`` or
  ``"vector"``, ``"initial"``), and returns the objective to evaluate;
- ``__swarmix_boundary__(completed, planned, best, counts)`` makes the object a monitor: it
  hears every iteration boundary and stops the search there by returning true;
- ``__swarmix_end__(counts, error)`` is called once after a start, however the fit ends
  (``error`` is None when it succeeded, else the exception that fails it);
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

__all__ = ["start", "end"]


def start(objective: Any, fit: dict[str, Any]) -> Any:
    """Start ``objective`` for the fit described by ``fit``: the objective to evaluate."""
    method = getattr(objective, "__swarmix_start__", None)
    return objective if method is None else method(fit)


def end(objective: Any, counts: Any, error: BaseException | None) -> None:
    """End a started ``objective``."""
    method = getattr(objective, "__swarmix_end__", None)
    if method is not None:
        method(counts, error)
