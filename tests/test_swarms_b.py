"""BatAlgorithm, GlowwormOptimizer and BacterialForagingOptimizer: the searches themselves."""

import math

import pytest

from swarmix import BacterialForagingOptimizer, BatAlgorithm, GlowwormOptimizer
from objectives import Recorder, rastrigin, sphere

# class, its size keyword, the message of the size check
CLASSES = [
    (BatAlgorithm, "n_bats", "n_bats must be at least 2 for bat algorithm"),
    (GlowwormOptimizer, "n_worms", "n_worms must be at least 2 for glowworm optimization"),
    (BacterialForagingOptimizer, "n_bacteria", "n_bacteria must be at least 2 for bacterial foraging"),
]
SMALL = {BatAlgorithm: {"n_iterations": 6}, GlowwormOptimizer: {"n_iterations": 6, "neighborhood_radius": 3.0},
         BacterialForagingOptimizer: {"n_iterations": 3, "n_chemotactic_steps": 2, "n_reproduction_steps": 2}}
BOX = ([-2.0, -1.0, -3.0], [2.0, 1.5, 3.0])


class Calls:
    """Records every position handed to the objective (the probe first)."""

    def __init__(self, f=sphere):
        self.f, self.seen = f, []

    def __call__(self, x):
        self.seen.append(x)
        return self.f(x)


def state(obj):
    return obj.predict(), obj.score(), obj.history_, obj.population_


@pytest.mark.parametrize("cls,size,message", CLASSES)
def test_entry_checks(cls, size, message):
    for n in (0, 1):
        rec = Recorder(sphere)
        with pytest.raises(ValueError) as err:
            cls(**{size: n}, random_state=0).fit(rec, *BOX)
        assert str(err.value) == "Invalid input: " + message
        assert rec.n_calls == 1  # only the probe
    # the box check comes first
    with pytest.raises(ValueError, match="^Invalid input: Problem must have at least one dimension$"):
        cls(**{size: 1}).fit(sphere, [], [])


@pytest.mark.parametrize("cls,size,message", CLASSES)
def test_determinism_and_failed_fit_keeps_state(cls, size, message):
    runs = []
    for seed in (11, 11, 12):
        rec = Recorder(rastrigin)
        obj = cls(**{size: 5}, **SMALL[cls], random_state=seed)
        obj.fit(rec, *BOX)
        runs.append((state(obj), rec.digest.hexdigest()))
    assert runs[0] == runs[1] and runs[0][1] != runs[2][1]
    with pytest.raises(ValueError):
        obj.fit(sphere, [1.0], [0.0])
    with pytest.raises(ValueError):
        obj.fit(sphere, [], [])
    assert (state(obj), rec.digest.hexdigest()) == runs[2]


@pytest.mark.parametrize("cls,size,message", CLASSES)
def test_zero_iterations_keep_the_initial_swarm(cls, size, message):
    calls = Calls()
    obj = cls(**{size: 4}, n_iterations=0, random_state=3)
    obj.fit(calls, *BOX)
    initial = calls.seen[1:]
    assert len(initial) == 4 and obj.history_ == [] and obj.population_ == initial
    values = [sphere(x) for x in initial]
    assert obj.score() == min(values) and obj.predict() == initial[values.index(min(values))]
    assert all(lo <= v <= hi for x in initial for v, lo, hi in zip(x, *BOX))


@pytest.mark.parametrize("cls,size,message", CLASSES)
def test_history_never_increases(cls, size, message):
    obj = cls(**{size: 6}, **SMALL[cls], random_state=5)
    obj.fit(rastrigin, *BOX)
    h = obj.history_
    assert all(a >= b for a, b in zip(h, h[1:]))
    assert obj.score() == rastrigin(obj.predict())
    assert len(obj.population_) == 6
    if cls is BacterialForagingOptimizer:
        assert len(h) == 3 * 2 and obj.score() <= h[-1]  # the last dispersal may still improve
    else:
        assert len(h) == 6 and obj.score() == h[-1]


def test_bat_call_count_and_first_acceptance():
    rec = Recorder(sphere)
    BatAlgorithm(n_bats=4, n_iterations=5, random_state=1).fit(rec, *BOX)
    assert rec.n_calls == 4 * (1 + 5) + 1
    # No flight and no walk before a bat's first accepted move: its first re-evaluation is its
    # start point, which is then accepted (loudness 1), so a walk around the best may follow.
    calls = Calls()
    bats = BatAlgorithm(n_bats=3, n_iterations=10, fmin=0.0, fmax=0.0, loudness=1.0, pulse_rate=1.0,
                        random_state=7)
    bats.fit(calls, *BOX)
    start, later = calls.seen[1:4], calls.seen[7:]
    assert calls.seen[4:7] == start
    best = min(start, key=sphere)
    assert any(x not in start and max(abs(a - b) for a, b in zip(x, best)) < 0.01 for x in later)


def test_bat_silent_swarm_keeps_flying():
    calls = Calls()
    bats = BatAlgorithm(n_bats=5, n_iterations=4, loudness=0.0, random_state=2)
    bats.fit(calls, *BOX)
    start = calls.seen[1:6]
    values = [sphere(x) for x in start]
    assert bats.history_ == [min(values)] * 4
    assert (bats.score(), bats.predict()) == (min(values), start[values.index(min(values))])
    assert bats.population_ == calls.seen[-5:] and bats.population_ != start
    # never accepting and never walking: the bats stand still without frequencies
    calls = Calls()
    still = BatAlgorithm(n_bats=3, n_iterations=3, fmin=0.0, fmax=0.0, loudness=0.0, pulse_rate=1.0,
                         random_state=2)
    still.fit(calls, *BOX)
    assert calls.seen[1:] == calls.seen[1:4] * 4 and still.population_ == calls.seen[1:4]


@pytest.mark.parametrize("radius,f", [(0.0, sphere), (10.0, lambda x: -5.0)])
def test_glowworm_without_neighbours_nothing_moves(radius, f):
    calls = Calls(f)
    worms = GlowwormOptimizer(n_worms=6, n_iterations=5, neighborhood_radius=radius, random_state=4)
    worms.fit(calls, *BOX)
    start = calls.seen[1:]
    values = [f(x) for x in start]
    assert len(start) == 6 and worms.population_ == start
    assert worms.history_ == [min(values)] * 5 and worms.predict() == start[values.index(min(values))]


def test_bacteria_call_counts():
    for p, dispersed in ((0.0, 0), (1.0, 5)):
        rec = Recorder(sphere)
        BacterialForagingOptimizer(n_bacteria=5, n_iterations=3, n_chemotactic_steps=2, n_reproduction_steps=2,
                                   elimination_probability=p, random_state=1).fit(rec, *BOX)
        assert rec.n_calls == 1 + 5 + 3 * (2 * 2 * 5 + dispersed)


def test_bacteria_without_reproduction_only_disperse():
    calls = Calls()
    bfo = BacterialForagingOptimizer(n_bacteria=4, n_iterations=3, n_reproduction_steps=0,
                                     elimination_probability=1.0, random_state=6)
    bfo.fit(calls, *BOX)
    assert len(calls.seen) == 1 + 4 * 4 and bfo.history_ == []
    assert bfo.population_ == calls.seen[-4:]
    assert bfo.score() == min(sphere(x) for x in calls.seen[1:])


def test_bacteria_reproduction_clones_the_better_half():
    bfo = BacterialForagingOptimizer(n_bacteria=3, n_iterations=2, n_chemotactic_steps=2,
                                     elimination_probability=0.0, random_state=3)
    bfo.fit(sphere, *BOX)
    assert bfo.population_ == [bfo.predict()] * 3
    bfo = BacterialForagingOptimizer(n_bacteria=5, n_iterations=1, n_chemotactic_steps=2, n_reproduction_steps=1,
                                     elimination_probability=0.0, random_state=3)
    bfo.fit(sphere, *BOX)
    first, second = bfo.population_[0], bfo.population_[1]
    assert first == bfo.predict() and sphere(first) < sphere(second)
    assert bfo.population_ == [first, second, first, second, first]


def test_bacteria_nan_never_joins_the_better_half():
    values = iter([0.0, 5.0, math.nan, 1.0])  # probe, then the three start points

    calls = Calls(lambda x: next(values))
    bfo = BacterialForagingOptimizer(n_bacteria=3, n_iterations=1, n_chemotactic_steps=0, n_reproduction_steps=1,
                                     elimination_probability=0.0, random_state=0)
    bfo.fit(calls, [-1.0], [1.0])
    assert bfo.score() == 1.0 and bfo.predict() == calls.seen[3]
    assert bfo.population_ == [calls.seen[3]] * 3 and bfo.history_ == [1.0]
