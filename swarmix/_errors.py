"""Errors that end a fit instead of failing one point.

An objective's own failures (an exception, a non-number, NaN) count as +inf for their point
and the search goes on. Two kinds of error end the whole fit instead, with that error and the
optimiser unchanged:

- ``UsageError``: swarmix's own objects used in a way they do not allow, for example calling
  ``fit`` or reading an optimiser from inside its own fit, or one ``Monitor`` watching two
  fits at once;
- an error of the machinery around the objective (a broken process pool, a lost worker, a
  journal that cannot be written), which the wrapper that meets it marks with ``fails_fit``.
"""

from __future__ import annotations

from typing import TypeVar

__all__ = ["UsageError", "fails_fit", "is_fit_failure"]

_E = TypeVar("_E", bound=BaseException)

# The attribute that marks an exception as the failure of the whole fit.
FAILS_FIT = "__swarmix_fails_fit__"


class UsageError(RuntimeError):
    """swarmix's own objects used in a way they do not allow.

    Raised inside an objective it fails the fit (it never counts as a failed point).
    """


def fails_fit(error: _E) -> _E:
    """Mark ``error`` so that, raised from an objective, it fails the whole fit."""
    setattr(error, FAILS_FIT, True)
    return error


def is_fit_failure(error: BaseException) -> bool:
    """Whether ``error``, raised from an objective, ends the fit rather than its point."""
    return isinstance(error, UsageError) or getattr(error, FAILS_FIT, False) is True
