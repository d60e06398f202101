"""ParticleSwarm: the search itself."""

import math

import pytest

from swarmix import ParticleSwarm
from objectives import Recorder, rastrigin, sphere


def test_call_count_and_determinism():
    results = []
    for _ in range(2):
        rec = Recorder(rastrigin)
        p = ParticleSwarm(n_particles=7, n_iterations=5, random_state=42)
        p.fit(rec, [-5.0] * 3, [5.0] * 3)
        assert rec.n_calls == 7 * (1 + 5) + 1
        results.append((p.predict(), p.score(), rec.digest.hexdigest()))
    assert results[0] == results[1]
    p = ParticleSwarm(n_particles=7, n_iterations=5, random_state=43)
    p.fit(rastrigin, [-5.0] * 3, [5.0] * 3)
    assert p.predict() != results[0][0]


def test_entropy_seeds_differ():
    a, b = ParticleSwarm(n_particles=5, n_iterations=2), ParticleSwarm(n_particles=5, n_iterations=2)
    a.fit(sphere, [-1.0], [1.0])
    b.fit(sphere, [-1.0], [1.0])
    assert a.predict() != b.predict()


def test_zero_particles():
    rec = Recorder(sphere)
    p = ParticleSwarm(n_particles=0, n_iterations=10, random_state=0)
    p.fit(rec, [1.0, 2.0], [3.0, 4.0])
    assert rec.n_calls == 1
    assert p.predict() == [0.0, 0.0] and p.score() == math.inf
    assert p.history_ == [math.inf] and p.population_ == [[0.0, 0.0]]


def test_nan_everywhere():
    p = ParticleSwarm(n_particles=4, n_iterations=3, random_state=0)
    calls = [0]

    def f(x):
        calls[0] += 1
        return 0.0 if calls[0] == 1 else math.nan

    p.fit(f, [1.0], [2.0])
    assert p.predict() == [0.0] and p.score() == math.inf


def test_zero_iterations_is_best_of_initial_swarm():
    values = []

    def f(x):
        values.append(sphere(x))
        return values[-1]

    p = ParticleSwarm(n_particles=6, n_iterations=0, random_state=9)
    p.fit(f, [-1.0, -1.0], [1.0, 1.0])
    assert len(values) == 7
    assert p.score() == min(values[1:])


def test_equal_bounds_hold_the_coordinate():
    seen = []

    def f(x):
        seen.append(x)
        return sphere(x)

    p = ParticleSwarm(n_particles=5, n_iterations=5, random_state=4)
    p.fit(f, [-1.0, 0.25], [1.0, 0.25])
    assert all(x[1] == 0.25 for x in seen)
    assert all(-1.0 <= x[0] <= 1.0 for x in seen)


def test_history_and_population_hold_the_best():
    p = ParticleSwarm(n_particles=10, n_iterations=20, random_state=5)
    p.fit(sphere, [-2.0] * 4, [2.0] * 4)
    assert p.history_ == [p.score()]
    assert p.population_ == [p.predict()]
    assert p.score() == sphere(p.predict())
    assert p.score() < 0.5


def test_refit_replaces_result():
    p = ParticleSwarm(n_particles=5, n_iterations=3, random_state=5)
    p.fit(sphere, [-2.0] * 2, [2.0] * 2)
    p.fit(sphere, [-2.0] * 3, [2.0] * 3)
    assert len(p.predict()) == 3 and p.population_ == [p.predict()]


@pytest.mark.parametrize("bad_box", [([5.0], [1.0])])
def test_crossed_box(bad_box):
    with pytest.raises(ValueError, match="^Lower bound 5 > upper bound 1 at index 0$"):
        ParticleSwarm(w=-1.0, n_particles=0).fit(sphere, *bad_box)
