"""Every estimator pickles and deep-copies with its hyperparameters and fitted state."""

import copy
import math
import os
import pathlib
import pickle
import subprocess
import sys

import pytest

import swarmix
from estimators import CLASSES, MATRIX, TWO_OPT, fit_args, small, state
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
    good = p.__reduce__()[2]
    for broken in ((1.0,), [*good], good + (None,), (1.0, "ab", [], [], [], [], None), (None, *good[1:])):
        with pytest.raises(ValueError, match="^malformed pickled state$"):
            p.__setstate__(broken)
    with pytest.raises(ValueError, match="^malformed pickled state$") as caught:
        p.__setstate__((1.0, ["x"], *good[2:]))
    assert type(caught.value.__cause__) is TypeError  # what the conversion said
    assert state(p) == before


def test_ant_colony_keeps_its_long_lived_state():
    if not hasattr(swarmix, "AntColony"):
        pytest.skip("AntColony is not built yet")
    a = swarmix.AntColony(n_ants=4, n_iterations=2, random_state=3)
    a.fit(MATRIX)
    cls, args, state = a.__reduce__()
    assert state[6]  # pheromone and stored best travel with the object
    b = pickle.loads(pickle.dumps(a))
    assert b.__reduce__() == (cls, args, state)
    # a truncated or corrupted long-lived state is refused and changes nothing
    for broken in (state[6][:-1], state[6] + [0.0], [7.0], [1.0, 1e300]):
        with pytest.raises(ValueError, match="^malformed pickled state$"):
            b.__setstate__(state[:6] + (broken,) + state[7:])
    assert b.__reduce__() == (cls, args, state)


def test_states_that_no_fit_leaves_are_refused_and_those_of_every_fit_load():
    """Run records exactly beside a history (a fit that ends after its start has neither), with
    counts from 1; objective vectors of one length but a failed evaluation's [+inf]; failures
    only beside a fitted result of an objective; a state pickled before n_failures loads with 0."""
    def refused(obj, state):
        before = obj.__reduce__()
        with pytest.raises(ValueError, match="^malformed pickled state$"):
            obj.__setstate__(tuple(state))
        assert obj.__reduce__() == before

    def loads(obj):
        assert state(pickle.loads(pickle.dumps(obj))) == state(obj)

    bipop = swarmix.BipopCmaEs(n_evaluations=30, random_state=0)
    bipop.fit(sphere, [-1.0] * 3, [1.0] * 3)
    good = list(bipop.__reduce__()[2])
    run = good[7][0]
    for runs in ([], [[0.0, *run[1:]]], [[*run[:2], 0.0, *run[3:]]]):  # none; a population or evaluations of 0
        refused(bipop, good[:7] + [runs] + good[8:])
    start_only = swarmix.BipopCmaEs(n_evaluations=1, random_state=0)
    start_only.fit(sphere, [-1.0] * 3, [1.0] * 3)
    assert start_only.runs_ == [] and start_only.history_ == [] and start_only.predict()
    refused(start_only, [*start_only.__reduce__()[2][:7], [run], 0])
    for obj in (bipop, start_only):
        loads(obj)

    def failing_twice(x):  # two objectives; [+inf] at failed points
        if x[0] > 0.5:
            raise RuntimeError("failed")
        return [x[0], 1.0 - x[0]]
    for cls in (swarmix.Nsga2Optimizer, swarmix.Nsga2Sbx, swarmix.MopsoOptimizer):
        multi = small(cls, n_iterations=3)
        multi.fit(failing_twice, [0.0] * 2, [1.0] * 2)
        assert multi.n_failures_ > 0
        loads(multi)
        good = list(multi.__reduce__()[2])
        refused(multi, good[:5] + [[[1.0]] + good[5][1:]] + good[6:])  # ragged archive values
        taken = copy.deepcopy(multi)
        taken.__setstate__(tuple(good[:5] + [[[math.inf]] + good[5][1:]] + good[6:]))  # a failure's vector
        empty = cls(n_iterations=2, random_state=1)  # an objective of no values
        empty.fit(lambda x: [], [0.0] * 2, [1.0] * 2)
        loads(empty)

    old = swarmix.ParticleSwarm(n_particles=4, n_iterations=2, random_state=1)
    old.fit(lambda x: 1 / 0 if x[0] > 0.5 else sphere(x), [0.0], [1.0])
    assert old.n_failures_ > 0
    *pickled_before, n_failures = old.__reduce__()[2]
    clone = swarmix.ParticleSwarm()
    clone.__setstate__(tuple(pickled_before))
    assert clone.n_failures_ == 0 and clone.predict() == old.predict()
    refused(swarmix.ParticleSwarm(), [None, None, [], [], [], [], None, 1])  # failures, no result
    tours = small(swarmix.AntColony)
    tours.fit(MATRIX)
    refused(tours, [*tours.__reduce__()[2][:-1], 1])


def test_classes_and_two_opt_pickle_by_reference():
    for obj in CLASSES + [TWO_OPT]:
        assert obj.__module__ == "swarmix._swarmix"
        for protocol in range(0, pickle.HIGHEST_PROTOCOL + 1):
            data = pickle.dumps(obj, protocol)
            assert b"swarmix._swarmix" in data and pickle.loads(data) is obj
    # an instance names its class directly, with no helper function in between
    data = pickle.dumps(small(CLASSES[0]), 0)
    assert data.startswith(b"cswarmix._swarmix\n" + CLASSES[0].__name__.encode() + b"\n")


JOBLIB_SCRIPT = """
import joblib
from swarmix import AntColony, GreyWolfOptimizer

def sphere(x):
    return sum(v * v for v in x)

def run(seed):  # in __main__: joblib sends this function by value, with the classes it names
    wolves = GreyWolfOptimizer(n_wolves=5, n_iterations=4, random_state=seed)
    wolves.fit(sphere, [-1.0, -2.0], [1.0, 2.0])
    ants = AntColony(n_ants=3, n_iterations=2, random_state=seed)
    ants.fit([[0.0, 1.0, 2.0, 3.0], [1.0, 0.0, 1.5, 2.0], [2.0, 1.5, 0.0, 1.0], [3.0, 2.0, 1.0, 0.0]])
    return wolves, ants

def results(pairs):
    return [(o.predict(), o.score(), o.population_, o.history_) for pair in pairs for o in pair]

if __name__ == "__main__":
    serial = [run(seed) for seed in range(4)]
    parallel = joblib.Parallel(n_jobs=2)(joblib.delayed(run)(seed) for seed in range(4))
    assert results(parallel) == results(serial), (results(parallel), results(serial))
    print("same")
"""


def test_joblib_with_a_main_worker_function(tmp_path):
    pytest.importorskip("joblib")
    script = tmp_path / "main.py"
    script.write_text(JOBLIB_SCRIPT)
    root = str(pathlib.Path(swarmix.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([root, os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0 and done.stdout == "same\n", done.stderr
