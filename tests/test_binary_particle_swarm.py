"""BinaryParticleSwarm: bit-vector search behind a box that only gives its length."""

import math

import pytest

from swarmix import BinaryParticleSwarm, _testing
from objectives import Recorder, bits_count, bits_target


def run(lower, upper, objective=bits_target, **kw):
    rec = Recorder(objective)
    obj = BinaryParticleSwarm(**kw)
    obj.fit(rec, lower, upper)
    return obj, rec


def result(obj, rec):
    return obj.predict(), obj.score(), obj.history_, obj.population_, rec.n_calls, rec.digest.hexdigest()


def test_interface():
    assert BinaryParticleSwarm.__doc__ == "Binary PSO for bit-vector objectives."
    assert BinaryParticleSwarm().get_params() == {
        "n_particles": 30.0, "n_iterations": 100.0, "w": 0.7, "c1": 1.5, "c2": 1.5}
    assert repr(BinaryParticleSwarm()).startswith("<swarmix._swarmix.BinaryParticleSwarm object at ")


def test_box_gives_only_its_length():
    a = run([0, 0, 0], [1, 1, 1], n_particles=5, n_iterations=6, random_state=3)
    b = run([-5, 2, 7], [9, 3, 7], n_particles=5, n_iterations=6, random_state=3)
    assert result(*a) == result(*b)
    rec = Recorder(bits_target)
    with pytest.raises(ValueError, match=r"^Lower bound 1 > upper bound 0 at index 0$"):
        BinaryParticleSwarm().fit(rec, [1], [0])
    assert rec.n_calls == 0


def test_calls_determinism_and_history():
    runs = [result(*run([0.0] * 6, [1.0] * 6, n_particles=7, n_iterations=9, random_state=s)) for s in (5, 5, 6)]
    assert runs[0] == runs[1] and runs[0][5] != runs[2][5]
    predict, score, history, population, n_calls, _ = runs[0]
    assert n_calls == 1 + 7 * (1 + 9)
    assert len(history) == 9 and history == sorted(history, reverse=True) and history[-1] == score
    assert bits_target(predict) == score
    assert len(population) == 7 and all(len(x) == 6 and set(x) <= {0.0, 1.0} for x in population)


def test_positions_are_floats_and_initial_draws():
    seen = []

    def f(x):
        assert all(type(v) is float and v in (0.0, 1.0) for v in x)
        seen.append(list(x))
        return bits_count(x)

    obj = BinaryParticleSwarm(n_particles=4, n_iterations=3, random_state=12)
    obj.fit(f, [0.0] * 5, [1.0] * 5)
    assert seen[0] == [0.0] * 5                  # the probe
    # one draw per bit, particle by particle: 1 when U01 < 0.5
    u = _testing.rng(12, [("u01",)] * 20)
    assert seen[1:5] == [[1.0 if u[5 * i + d] < 0.5 else 0.0 for d in range(5)] for i in range(4)]
    assert all(type(v) is float for v in obj.predict() + [v for x in obj.population_ for v in x])


def test_empty_box_and_nan():
    rec = Recorder(bits_target)
    with pytest.raises(ValueError, match=r"^Invalid input: binary PSO requires at least one dimension$"):
        BinaryParticleSwarm().fit(rec, [], [])
    assert rec.n_calls == 1
    calls = [0]

    def nan_after_probe(x):
        calls[0] += 1
        return 0.0 if calls[0] == 1 else math.nan
    obj = BinaryParticleSwarm(n_particles=3, n_iterations=2, random_state=0)
    obj.fit(nan_after_probe, [0.0] * 3, [1.0] * 3)
    assert obj.score() == math.inf and obj.predict() == [0.0] * 3 and obj.history_ == [math.inf] * 2
