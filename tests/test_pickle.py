"""Every estimator pickles and deep-copies with its hyperparameters and fitted state."""

import copy
import math
import pickle

import pytest

import swarmix
from estimators import CLASSES, MATRIX, fit_args, small, state
from objectives import sphere


def fit(obj):
    obj.fit(*fit_args(type(obj)))


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_roundtrip_unfitted_and_fitted(cls):
    obj = small(cls, 11, n_iterations=3)
    for clone in (pickle.loads(pickle.dumps(obj)), copy.deepcopy(obj), copy.copy(obj)):
        assert state(clone) == state(obj)
    fit(obj)
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        clone = pickle.loads(pickle.dumps(obj, protocol))
        assert type(clone) is cls
        assert state(clone) == state(obj)
    # a further fit continues identically on the original and on the copy (long-lived state
    # included)
    clone = copy.deepcopy(obj)
    fit(obj)
    fit(clone)
    assert state(clone) == state(obj)


def test_non_default_parameters_survive():
    p = swarmix.ParticleSwarm(n_particles=3, w=-0.25, c1=math.inf, random_state=2**64 - 1)
    q = pickle.loads(pickle.dumps(p))
    assert q.get_params() == p.get_params() and repr(q) == repr(p)
    r = swarmix.ParticleSwarm(n_particles=3)
    assert pickle.loads(pickle.dumps(r)).get_params() == r.get_params()


def test_setstate_rejects_malformed_state_and_keeps_fit():
    p = swarmix.ParticleSwarm(n_particles=3, n_iterations=2, random_state=1)
    p.fit(sphere, [0.0], [1.0])
    before = state(p)
    with pytest.raises(TypeError):
        p.__setstate__((1.0,))
    with pytest.raises(TypeError):
        p.__setstate__((1.0, "ab", [], [], [], [], None))
    assert state(p) == before


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
