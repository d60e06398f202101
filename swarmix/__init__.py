"""swarmix: population-based and stochastic optimisers with a compiled core.

Every result is reproducible bit for bit from ``random_state``.
"""

import os as _os
import sys as _sys

try:
    from swarmix import _swarmix
except ImportError:
    # Imported from a source checkout (the current directory comes first on sys.path) while
    # the compiled module lives in the installed copy: load it from there.
    _here = _os.path.realpath(_os.path.dirname(__file__))
    for _entry in _sys.path:
        _candidate = _os.path.join(_entry or _os.getcwd(), "swarmix")
        if _os.path.realpath(_candidate) != _here and _os.path.isdir(_candidate) and any(
                _name.startswith("_swarmix") for _name in _os.listdir(_candidate)):
            __path__.append(_candidate)
            break
    else:
        raise
    from swarmix import _swarmix

from swarmix._swarmix import (  # noqa: E402
    AntColony as AntColony,
    BacterialForagingOptimizer as BacterialForagingOptimizer,
    BatAlgorithm as BatAlgorithm,
    BeeColony as BeeColony,
    BinaryParticleSwarm as BinaryParticleSwarm,
    BipopCmaEs as BipopCmaEs,
    CmaEsOptimizer as CmaEsOptimizer,
    CuckooSearch as CuckooSearch,
    DifferentialEvolution as DifferentialEvolution,
    FireflyOptimizer as FireflyOptimizer,
    GlowwormOptimizer as GlowwormOptimizer,
    GreyWolfOptimizer as GreyWolfOptimizer,
    InternalError as InternalError,
    MopsoOptimizer as MopsoOptimizer,
    Nsga2Optimizer as Nsga2Optimizer,
    Nsga2Sbx as Nsga2Sbx,
    Nsga3 as Nsga3,
    ParticleSwarm as ParticleSwarm,
    PermutationGeneticOptimizer as PermutationGeneticOptimizer,
    SimulatedAnnealing as SimulatedAnnealing,
    two_opt as two_opt,
)

from swarmix._ask_tell import AskTell as AskTell  # noqa: E402
from swarmix._errors import UsageError as UsageError  # noqa: E402
from swarmix._group import parallel as parallel, vectorized as vectorized  # noqa: E402
from swarmix._indicators import (  # noqa: E402
    hypervolume as hypervolume,
    igd as igd,
    reference_directions as reference_directions,
)
from swarmix._journaled import journaled as journaled  # noqa: E402
from swarmix._monitor import Monitor as Monitor  # noqa: E402
from swarmix._journal_file import read_journal as read_journal  # noqa: E402

__version__ = "0.1.0"

__all__ = [
    "two_opt",
    "AntColony",
    "ParticleSwarm",
    "BeeColony",
    "GreyWolfOptimizer",
    "FireflyOptimizer",
    "SimulatedAnnealing",
    "CuckooSearch",
    "BatAlgorithm",
    "GlowwormOptimizer",
    "BacterialForagingOptimizer",
    "DifferentialEvolution",
    "CmaEsOptimizer",
    "BipopCmaEs",
    "PermutationGeneticOptimizer",
    "BinaryParticleSwarm",
    "Nsga2Optimizer",
    "Nsga2Sbx",
    "Nsga3",
    "MopsoOptimizer",
    "InternalError",
    "vectorized",
    "parallel",
    "Monitor",
    "UsageError",
    "journaled",
    "read_journal",
    "AskTell",
    "hypervolume",
    "igd",
    "reference_directions",
]

