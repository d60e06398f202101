"""Quality indicators of sets of objective vectors (every objective minimised), and the
reference directions of Nsga3."""

from __future__ import annotations

from typing import Any

from swarmix import _swarmix


def hypervolume(points: Any, reference: Any) -> float:
    """The exact hypervolume of ``points`` up to ``reference``: the volume of the region that
    some point dominates and that dominates the reference point.

    ``points`` is a sequence (or two-dimensional array) of objective vectors, each with as many
    values as ``reference``; a point that is not below the reference in every objective adds
    nothing. Rows of different lengths, NaN, a reference that is not finite and vectors that
    do not match the reference raise ``ValueError``. Any number of objectives; Ctrl-C ends a
    long computation. ``Nsga2Sbx.score`` and ``Nsga3.score`` compute the same.
    """
    return _swarmix._hypervolume(points, reference)


def igd(points: Any, reference_front: Any) -> float:
    """The inverted generational distance of ``points`` to ``reference_front``: the mean, over
    the reference points, of the Euclidean distance to the nearest of ``points``.

    Both are non-empty sequences (or two-dimensional arrays) of objective vectors of one
    length; rows of different lengths, NaN and mismatched lengths raise ``ValueError``.
    """
    return _swarmix._igd(points, reference_front)


def reference_directions(n_objectives: int, n_partitions: int, inner_partitions: int = 0) -> list[list[float]]:
    """Das and Dennis's points on the unit simplex: every vector of ``n_objectives``
    non-negative multiples of ``1 / n_partitions`` that sums to 1, in lexicographic order of
    the multiples (the first value rising, then the second, ...).

    With ``inner_partitions`` > 0 the points of that many partitions follow as an inner layer,
    shrunk halfway toward the centre (``x / 2 + 1 / (2 * n_objectives)``), as Deb and Jain
    place one for eight and more objectives. ``Nsga3(reference_directions=None)`` chooses
    ``reference_directions(3, 12)`` for three objectives, ``(5, 6)`` for five,
    ``(8, 3, 2)`` for eight (see the README for every number of objectives).
    """
    return _swarmix._reference_directions(n_objectives, n_partitions, inner_partitions)
