"""The module's classes, discovered at run time, with what the generic tests need to know.

Every class with `get_params` is an estimator. Its hyperparameters come from its text
signature (a whole-number default is a count, a float a real, True/False a flag, a string
a choice; a None default is an optional count, real or rows of numbers, told apart by what
the class accepts). A `fit` that takes `distance_matrix` is a tour class, a class with `front_values_`
takes a vector objective, and the binary swarm uses its box only for the length.
"""

import ast
import math
import struct

import swarmix
from objectives import sphere
from swarmix import _swarmix

CLASSES = [c for c in vars(_swarmix).values() if isinstance(c, type) and hasattr(c, "get_params")]
TWO_OPT = getattr(_swarmix, "two_opt", None)
SANITIZED = bool(__import__("os").environ.get("SWARMIX_SANITIZED"))

COUNT, REAL, FLAG, CHOICE, ROWS = "count", "real", "flag", "choice", "rows"

# The value the generic tests give a rows hyperparameter (Nsga3's reference directions): one
# direction per objective of their two-objective functions.
TWO_DIRECTIONS = [[1.0, 0.0], [0.0, 1.0]]


def accepts(cls, name, value):
    try:
        cls(**{name: value})
    except TypeError:
        return False
    return True


def params(cls):
    """[(name, kind, default)] in signature order, without random_state."""
    tree = ast.parse("def f" + cls.__text_signature__ + ": pass")
    args = tree.body[0].args
    out = []
    for arg, default in zip(args.args, args.defaults):
        value = ast.literal_eval(default)
        if arg.arg == "random_state":
            continue
        if value is None:  # optional (None allowed): a count refuses 0.5, rows refuse a number
            kind = REAL if accepts(cls, arg.arg, 0.5) else COUNT if accepts(cls, arg.arg, 1) else ROWS
        elif isinstance(value, bool):
            kind = FLAG
        elif isinstance(value, int):
            kind = COUNT
        elif isinstance(value, float):
            kind = REAL
        else:
            kind = CHOICE
        out.append((arg.arg, kind, value))
    return out


def is_tour(cls):
    return "distance_matrix" in cls.fit.__text_signature__


def is_multi(cls):
    return hasattr(cls, "front_values_")


def is_binary(cls):
    return cls.__name__ == "BinaryParticleSwarm"


# The classes whose history_ and population_ hold just the best value and position
# (test_conventions checks the list against the classes).
SINGLE_ENTRY = {"AntColony", "ParticleSwarm", "BeeColony"}


def is_single_entry(cls):
    return cls.__name__ in SINGLE_ENTRY


class _Called(Exception):
    """Raised by the objective of a fit that was not refused."""


def _called(x):
    raise _Called


_HANDLES = {}


def handles(cls, keyword):
    """Whether `cls` handles constraints (keyword "n_constraints") or integer coordinates
    ("integer"): a class that does not refuses them before its objective is called."""
    if (cls, keyword) not in _HANDLES:
        try:
            small(cls).fit(*fit_args(cls, _called), **{keyword: 1 if keyword == "n_constraints" else [0]})
        except _Called:
            _HANDLES[cls, keyword] = True
        except ValueError as e:
            assert f"{cls.__name__} does not handle" in str(e), e
            _HANDLES[cls, keyword] = False
    return _HANDLES[cls, keyword]


def counts(cls):
    return [name for name, kind, _ in params(cls) if kind == COUNT]


# The counts that state a fit's length: n_iterations, or n_evaluations in a class that plans its
# fit by evaluations (BipopCmaEs: the start, then generations of the population).
LENGTHS = ("n_iterations", "n_evaluations")


def small_kwargs(cls, size=4, iterations=2, other=2):
    """Counts shrunk: the first (the population) to `size`, n_iterations to `iterations`
    (n_evaluations to the start and `iterations` generations of `size`), the rest (inner loops,
    limits, archive) to `other`; rows (reference directions) for two objectives."""
    kwargs = {}
    rest = [name for name in counts(cls) if name not in LENGTHS]
    for name in counts(cls):
        kwargs[name] = (iterations if name == "n_iterations" else 1 + iterations * size if name == "n_evaluations"
                        else size if name == rest[0] else other)
    return kwargs | {name: TWO_DIRECTIONS for name, kind, _ in params(cls) if kind == ROWS}


def small(cls, seed=5, **overrides):
    kwargs = small_kwargs(cls)
    if "n_evaluations" in kwargs and "n_iterations" in overrides:  # as many generations, by evaluations
        kwargs = small_kwargs(cls, iterations=overrides.pop("n_iterations"))
    kwargs.update(overrides)
    return cls(**kwargs, random_state=seed)


# ---------------------------------------------------------------- problems


def two_sphere(x):
    a = 0.0
    b = 0.0
    for v in x:
        a = a + v * v
        b = b + (v - 1.0) * (v - 1.0)
    return [a, b]


MATRIX = [[0.0 if i == j else 1.0 + ((i * 7 + j * 3) % 5) for j in range(6)] for i in range(6)]


def fit_args(cls, objective=None):
    """Valid arguments for `fit`."""
    if is_tour(cls):
        return ([row[:] for row in MATRIX],)
    if objective is None:
        objective = two_sphere if is_multi(cls) else sphere
    return objective, [-1.0, -2.0, 0.0], [1.0, 2.0, 0.5]


def fitted(cls, seed=5, **overrides):
    obj = small(cls, seed, **overrides)
    obj.fit(*fit_args(cls))
    return obj


def tour_length(tour, matrix):
    total = 0.0
    for k in range(len(tour)):
        total = total + matrix[tour[k]][tour[(k + 1) % len(tour)]]
    return total


# ---------------------------------------------------------------- observing state


def freeze(value):
    """A comparable image of a result: floats by bit pattern (NaN == NaN, 0.0 != -0.0)."""
    if isinstance(value, float):
        return ("f", struct.pack("<d", value))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(freeze(v) for v in value))
    if isinstance(value, dict):
        return ("d", tuple(sorted((k, freeze(v)) for k, v in value.items())))
    if isinstance(value, BaseException):
        return ("raises", type(value).__name__, str(value))
    return value


def attempt(call):
    try:
        return call()
    except BaseException as e:  # noqa: BLE001 - every outcome is observed
        return e


def state(obj):
    """Everything a caller can read from an object, including what only pickling shows."""
    reads = [obj.predict, obj.score, obj.get_params, lambda: obj.population_,
             lambda: getattr(obj, "history_", None), lambda: repr(obj).split(" object at ")[0],
             lambda: obj.__reduce__()[1:]]
    return freeze([attempt(r) for r in reads])


def same_float(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


INTERNAL = swarmix.InternalError
