"""Every estimator pickles and deep-copies with its hyperparameters and fitted state."""

import copy
import math
import pickle

import pytest

import swarmix
from swarmix import _swarmix
from objectives import schaffer, sphere

CLASSES = [c for c in vars(_swarmix).values() if isinstance(c, type) and hasattr(c, "get_params")]
MULTI = {"Nsga2Optimizer", "MopsoOptimizer"}
MATRIX = [[0.0 if i == j else abs(math.sin(i * 7 + j * 3)) * 10 + abs(i - j) for j in range(7)] for i in range(7)]


def small(cls):
    """A quick, seeded instance: every count shrunk."""
    kwargs = {}
    for name in cls().get_params():
        if name == "n_iterations":
            kwargs[name] = 3
        elif name.startswith("n_"):
            kwargs[name] = 6
    return cls(**kwargs, random_state=11)


def fit(obj):
    if "distance_matrix" in type(obj).fit.__text_signature__:
        obj.fit(MATRIX)
    elif type(obj).__name__ in MULTI:
        obj.fit(schaffer, [-1.0, -1.0], [3.0, 3.0])
    else:
        obj.fit(sphere, [-1.0, -2.0, 0.5], [1.0, 2.0, 0.5])


def observed(obj):
    out = [obj.get_params(), obj.population_, getattr(obj, "history_", None), repr(obj).split(" object at")[0]]
    for method in (obj.predict, obj.score):
        try:
            out.append(method())
        except ValueError as e:
            out.append(str(e))
    return out


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_roundtrip_unfitted_and_fitted(cls):
    obj = small(cls)
    for clone in (pickle.loads(pickle.dumps(obj)), copy.deepcopy(obj), copy.copy(obj)):
        assert observed(clone) == observed(obj)
    fit(obj)
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        clone = pickle.loads(pickle.dumps(obj, protocol))
        assert type(clone) is cls
        assert observed(clone) == observed(obj)
    # a further fit continues identically on the original and on the copy (long-lived state
    # included)
    clone = copy.deepcopy(obj)
    fit(obj)
    fit(clone)
    assert observed(clone) == observed(obj)


def test_non_default_parameters_survive():
    p = swarmix.ParticleSwarm(n_particles=3, w=-0.25, c1=math.inf, random_state=2**64 - 1)
    q = pickle.loads(pickle.dumps(p))
    assert q.get_params() == p.get_params() and repr(q) == repr(p)
    r = swarmix.ParticleSwarm(n_particles=3)
    assert pickle.loads(pickle.dumps(r)).get_params() == r.get_params()


def test_setstate_rejects_malformed_state_and_keeps_fit():
    p = swarmix.ParticleSwarm(n_particles=3, n_iterations=2, random_state=1)
    p.fit(sphere, [0.0], [1.0])
    before = observed(p)
    with pytest.raises(TypeError):
        p.__setstate__((1.0,))
    with pytest.raises(TypeError):
        p.__setstate__((1.0, "ab", [], [], [], [], None))
    assert observed(p) == before


def test_ant_colony_keeps_its_long_lived_state():
    if not hasattr(swarmix, "AntColony"):
        pytest.skip("AntColony is not built yet")
    a = swarmix.AntColony(n_ants=4, n_iterations=2, random_state=3)
    a.fit(MATRIX)
    cls, args, state = a.__reduce__()
    assert state[-1]  # pheromone and stored best travel with the object
    b = pickle.loads(pickle.dumps(a))
    assert b.__reduce__() == (cls, args, state)
    # a truncated or corrupted long-lived state is refused and changes nothing
    for broken in (state[-1][:-1], state[-1] + [0.0], [7.0], [1.0, 1e300]):
        with pytest.raises(ValueError, match="^malformed pickled state$"):
            b.__setstate__(state[:-1] + (broken,))
    assert b.__reduce__() == (cls, args, state)
