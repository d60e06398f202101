"""The TSP benchmark instances shipped with swarmix, with their known optima, and a reader
for TSPLIB files of EUC_2D node coordinates.

Shipped: eil51, berlin52, kroA100, ch150, a280, pcb442, rat783 and pr1002 (the number in the
name is the number of cities).

    >>> from swarmix import AntColony
    >>> from swarmix.tsplib import euc_2d_matrix, load
    >>> berlin = load("berlin52")
    >>> matrix = euc_2d_matrix(berlin.coords)   # TSPLIB's rounded distances
    >>> berlin.optimum                          # the shortest tour, with those distances
    7542.0
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from importlib import resources

__all__ = ["INSTANCES", "Instance", "OPTIMA", "euc_2d_matrix", "load", "parse"]

# Known optimal tour lengths with TSPLIB's rounded distances, by instance name.
OPTIMA = {
    "eil51": 426.0,
    "berlin52": 7542.0,
    "kroA100": 21282.0,
    "ch150": 6528.0,
    "a280": 2579.0,
    "pcb442": 50778.0,
    "rat783": 8806.0,
    "pr1002": 259045.0,
}

# The shipped instances, smallest first.
INSTANCES = tuple(OPTIMA)


@dataclass
class Instance:
    name: str
    coords: list[tuple[float, float]]
    # The known optimal tour length with rounded distances, when the instance is a shipped
    # (or otherwise known) one; None otherwise.
    optimum: float | None = None


def parse(text: str) -> Instance:
    """The name and city coordinates of a TSPLIB file of EUC_2D node coordinates, with the
    known optimum when the name is that of a shipped instance."""
    name = "instance"
    coords: list[tuple[float, float]] = []
    in_coords = False
    for raw in text.splitlines():
        line = raw.strip()
        if not line:
            continue
        if in_coords:
            if line == "EOF" or not line[0].isdigit():
                break
            _, x, y = line.split()[:3]
            coords.append((float(x), float(y)))
        elif line.startswith("NODE_COORD_SECTION"):
            in_coords = True
        elif ":" in line:
            key, value = (part.strip() for part in line.split(":", 1))
            if key == "NAME":
                name = value
            elif key == "EDGE_WEIGHT_TYPE" and value != "EUC_2D":
                raise ValueError(f"only EUC_2D instances are supported, not {value}")
    if not coords:
        raise ValueError("no NODE_COORD_SECTION found")
    return Instance(name, coords, OPTIMA.get(name))


def euc_2d_matrix(coords: Sequence[tuple[float, float]]) -> list[list[float]]:
    """Distances rounded to the nearest integer, as TSPLIB defines EUC_2D."""
    return [[float(int(math.hypot(ax - bx, ay - by) + 0.5)) for bx, by in coords] for ax, ay in coords]


def load(name: str) -> Instance:
    """One of the shipped instances, by name (see INSTANCES), with its optimum."""
    return parse(resources.files("swarmix").joinpath("data", f"{name}.tsp").read_text())
