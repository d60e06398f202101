"""The two TSP benchmark instances shipped with swarmix (berlin52, eil51), and a reader for
TSPLIB files of EUC_2D node coordinates.

    >>> from swarmix import AntColony
    >>> from swarmix.tsplib import euc_2d_matrix, load
    >>> berlin = load("berlin52")
    >>> matrix = euc_2d_matrix(berlin.coords)   # TSPLIB's rounded distances
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from importlib import resources

__all__ = ["Instance", "OPTIMA", "euc_2d_matrix", "load", "parse"]

# Known optimal tour lengths with TSPLIB's rounded distances.
OPTIMA = {"berlin52": 7542.0, "eil51": 426.0}


@dataclass
class Instance:
    name: str
    coords: list[tuple[float, float]]


def parse(text: str) -> Instance:
    """The name and city coordinates of a TSPLIB file of EUC_2D node coordinates."""
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
    return Instance(name, coords)


def euc_2d_matrix(coords: Sequence[tuple[float, float]]) -> list[list[float]]:
    """Distances rounded to the nearest integer, as TSPLIB defines EUC_2D."""
    return [[float(int(math.hypot(ax - bx, ay - by) + 0.5)) for bx, by in coords] for ax, ay in coords]


def load(name: str) -> Instance:
    """One of the shipped instances: "berlin52" or "eil51"."""
    return parse(resources.files("swarmix").joinpath("data", f"{name}.tsp").read_text())
