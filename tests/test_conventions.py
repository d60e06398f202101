"""What every class shares: its signature is the one statement of its hyperparameters (the
README, get_params and the stub agree with it), every place that lists the classes lists all
of the module's, and the conventions the generic tests rely on hold for each class."""

import importlib.resources
import pathlib
import re
import runpy

import pytest

import swarmix
from estimators import (CLASSES, COUNT, CHOICE, LENGTHS, SINGLE_ENTRY, counts, fit_args, is_multi, is_single_entry,
                        is_tour, params, small)
from swarmix import _swarmix

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The constructors' text signatures, exactly as users see them: the one place they are written out.
SIGNATURES = {
    "AntColony": '(n_ants=50, n_iterations=100, alpha=1.0, beta=2.0, rho=0.5, q=1.0, use_two_opt=True, '
                 'variant="basic", q0=0.9, elitist_weight=2.0, tau_min=1e-4, tau_max=10.0, random_state=None)',
    "ParticleSwarm": "(n_particles=30, n_iterations=100, w=0.9, c1=2.0, c2=2.0, random_state=None)",
    "BeeColony": "(n_bees=50, n_iterations=100, limit=10, random_state=None)",
    "GreyWolfOptimizer": "(n_wolves=30, n_iterations=100, random_state=None)",
    "FireflyOptimizer": "(n_fireflies=30, n_iterations=100, beta0=1.0, gamma=1.0, alpha=0.2, random_state=None)",
    "SimulatedAnnealing": "(initial_temperature=10.0, cooling_rate=0.95, step_scale=0.1, n_iterations=100, "
                          "random_state=None)",
    "CuckooSearch": "(n_nests=25, n_iterations=100, pa=0.25, alpha=0.01, levy_scale=1.0, random_state=None)",
    "BatAlgorithm": "(n_bats=30, n_iterations=100, fmin=0.0, fmax=2.0, alpha=0.9, gamma=0.9, loudness=1.0, "
                    "pulse_rate=0.5, random_state=None)",
    "GlowwormOptimizer": "(n_worms=30, n_iterations=100, luciferin_decay=0.4, luciferin_enhancement=0.6, "
                         "step_size=0.1, neighborhood_radius=1.0, random_state=None)",
    "BacterialForagingOptimizer": "(n_bacteria=30, n_iterations=100, n_chemotactic_steps=10, "
                                  "n_reproduction_steps=4, elimination_probability=0.25, step_scale=0.1, "
                                  "random_state=None)",
    "DifferentialEvolution": "(n_individuals=40, n_iterations=100, f=0.8, cr=0.9, random_state=None)",
    "CmaEsOptimizer": "(n_individuals=20, n_iterations=100, sigma=0.5, random_state=None)",
    "BipopCmaEs": "(n_evaluations=None, sigma0=0.3, population_size=None, max_restarts=9, random_state=None)",
    "PermutationGeneticOptimizer": "(n_individuals=40, n_iterations=100, mutation_rate=0.1, use_two_opt=True, "
                                   "random_state=None)",
    "BinaryParticleSwarm": "(n_particles=30, n_iterations=100, w=0.7, c1=1.5, c2=1.5, random_state=None)",
    "Nsga2Optimizer": "(n_individuals=40, n_iterations=100, crossover_rate=0.9, mutation_rate=0.1, "
                      "mutation_scale=0.1, archive_size=50, random_state=None)",
    "Nsga2Sbx": "(n_individuals=100, n_iterations=100, crossover_rate=0.9, crossover_eta=15.0, mutation_rate=None, "
                "mutation_eta=20.0, random_state=None)",
    "Nsga3": "(n_iterations=100, reference_directions=None, n_individuals=None, crossover_rate=1.0, "
             "crossover_eta=30.0, mutation_rate=None, mutation_eta=20.0, random_state=None)",
    "MopsoOptimizer": "(n_particles=30, n_iterations=100, w=0.7, c1=1.5, c2=1.5, mutation_scale=0.1, "
                      "archive_size=50, random_state=None)",
}


def readme_table():
    """{class name: ["name=default", ...]} from the README's table of the classes."""
    text = (ROOT / "README.md").read_text()
    section = text[text.index("### The classes"):]
    rows = {}
    for line in section.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        match = re.fullmatch(r"`(\w+)`", cells[0]) if len(cells) == 5 else None
        if match:
            items = ", ".join(re.findall(r"`([^`]*=[^`]*)`", cells[2])).split(", ")
            rows[match.group(1)] = items
        elif rows and not line.startswith("|"):
            break
    return rows


def stub_choices():
    return runpy.run_path(str(ROOT / "tools" / "gen_stubs.py"))["CHOICES"]


def test_every_place_lists_every_class():
    names = [c.__name__ for c in CLASSES]
    assert names == list(SIGNATURES), (
        "a class of the registry (src/bindings/registry.hpp) is missing from, or out of order in, "
        "tests/test_conventions.py SIGNATURES")
    assert sorted(readme_table()) == sorted(names), "README.md: the table of the classes must list every class"
    assert [n for n in swarmix.__all__ if n in names] == names, "swarmix/__init__.py must import and export it"
    # The stub as installed beside the compiled module (the package's, not the source tree's).
    stub = importlib.resources.files(swarmix).joinpath("_swarmix.pyi").read_text()
    assert re.findall(r"^class (\w+):", stub, re.M) == names, "regenerate the stub: python tools/gen_stubs.py"
    assert SINGLE_ENTRY <= set(names), "tests/estimators.py SINGLE_ENTRY names a class the module lacks"


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_one_statement_of_the_hyperparameters(cls):
    name = cls.__name__
    assert cls.__text_signature__ == SIGNATURES[name]
    entries = params(cls)
    assert cls.__text_signature__.endswith(", random_state=None)"), "convention: random_state comes last"
    assert list(cls().get_params()) == [n for n, _, _ in entries], "get_params follows the signature's order"
    assert all(v is None if d is None else float(d) == v
               for (_, kind, d), v in zip(entries, cls().get_params().values()) if kind != CHOICE)
    signature_items = [item for item in cls.__text_signature__[1:-1].split(", ") if item != "random_state=None"]
    assert readme_table()[name] == signature_items, f"README.md: the row of {name} disagrees with its signature"
    assert ("n_iterations", COUNT, 100) in entries or ("n_evaluations", COUNT, None) in entries, (
        "convention: every class has the count n_iterations (or plans its fit by n_evaluations)")
    for (owner, param), literal in stub_choices().items():
        if owner == name:  # the stub's names in the class's own order (get_params gives the position)
            choices = re.findall(r'"(\w+)"', literal)
            assert [cls(**{param: c}).get_params()[param] for c in choices] == list(range(len(choices))), (
                "tools/gen_stubs.py CHOICES disagrees with the class")


class Boundaries:
    """The monitor protocol, recording every boundary."""

    def __init__(self, objective):
        self.objective = objective
        self.seen = []

    def __swarmix_start__(self, fit):
        return self.objective

    def __swarmix_boundary__(self, completed, planned, best, counts):
        self.seen.append((completed, planned, best))
        return False


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_conventions_of_a_fit(cls):
    population = [n for n in counts(cls) if n not in LENGTHS]
    obj = small(cls, **{population[0]: 5} if population else {})
    args = fit_args(cls)
    if is_tour(cls):
        obj.fit(*args)
    else:
        watched = Boundaries(args[0])
        obj.fit(watched, *args[1:])
        planned = watched.seen[0][1]
        assert [c for c, _, _ in watched.seen] == list(range(planned + 1)), (
            "convention: a search reports iteration_done(0) once after its start, then 1 .. planned")
        trace = [best for completed, _, best in watched.seen if completed > 0]
        if hasattr(obj, "history_") and not is_single_entry(cls) and not is_multi(cls):
            assert obj.history_ == trace, "convention: history_ is the best value at each boundary (the trace)"
    if is_single_entry(cls):
        assert (obj.history_, obj.population_) == ([obj.score()], [obj.predict()]), (
            "convention: a class in tests/estimators.py SINGLE_ENTRY keeps only its best in history_ "
            "and population_")
    else:
        assert not hasattr(obj, "history_") or len(obj.history_) > 1, (
            "a class that keeps only its best belongs in tests/estimators.py SINGLE_ENTRY")
        if population:
            assert len(obj.population_) == 5, (
                "convention: the first count other than n_iterations is the population size")
