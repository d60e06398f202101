"""SimulatedAnnealing, DifferentialEvolution and CmaEsOptimizer: the searches themselves."""

import itertools
import math

import pytest

from swarmix import CmaEsOptimizer, DifferentialEvolution, SimulatedAnnealing, _testing
from objectives import Recorder, rastrigin, sphere

NAN = math.nan


def u01s(seed, k):
    return _testing.rng(seed, [("u01",)] * k)


def clamp(v, lo, hi):
    return min(max(v, lo), hi)


class Log:
    """Objective that records every position; `value(k, x)` answers call k (0 = the probe)."""

    def __init__(self, value):
        self.value = value
        self.xs = []

    def __call__(self, x):
        self.xs.append(list(x))
        return self.value(len(self.xs) - 1, x)


def fitted(obj):
    return obj.predict(), obj.score(), obj.history_, obj.population_


# ------------------------------------------------------------------ all three classes

RUNS = [
    (SimulatedAnnealing, dict(n_iterations=25), 25, 1 + 25, 1),
    (DifferentialEvolution, dict(n_individuals=6, n_iterations=7), 7, 6 * (1 + 7), 6),
    (CmaEsOptimizer, dict(n_individuals=5, n_iterations=9), 9, 1 + 5 * 9, 5),
]


@pytest.mark.parametrize("cls, ctor, iterations, evaluations, members", RUNS, ids=lambda v: getattr(v, "__name__", ""))
def test_calls_history_population_and_determinism(cls, ctor, iterations, evaluations, members):
    runs = []
    for seed in (3, 3, 4):
        rec = Recorder(rastrigin)
        obj = cls(**ctor, random_state=seed)
        obj.fit(rec, [-5.12, -1.0, 0.0], [5.12, 2.0, 0.5])
        assert rec.n_calls == 1 + evaluations
        history = obj.history_
        assert len(history) == iterations
        assert all(a >= b for a, b in zip(history, history[1:]))
        assert history[-1] == obj.score() == rastrigin(obj.predict())
        assert len(obj.population_) == members
        for x in obj.population_:
            assert -5.12 <= x[0] <= 5.12 and -1.0 <= x[1] <= 2.0 and 0.0 <= x[2] <= 0.5
        runs.append((fitted(obj), rec.digest.hexdigest()))
    assert runs[0] == runs[1]
    assert runs[0][1] != runs[2][1]


META = [
    (SimulatedAnnealing, "Simulated annealing for continuous minimization.",
     {"initial_temperature": 10.0, "cooling_rate": 0.95, "step_scale": 0.1, "n_iterations": 100.0}),
    (DifferentialEvolution, "Differential evolution for continuous minimization.",
     {"n_individuals": 40.0, "n_iterations": 100.0, "f": 0.8, "cr": 0.9}),
    (CmaEsOptimizer, "CMA-ES-style optimizer for continuous minimization.",
     {"n_individuals": 20.0, "n_iterations": 100.0, "sigma": 0.5}),
]


@pytest.mark.parametrize("cls, doc, params", META, ids=lambda v: getattr(v, "__name__", ""))
def test_texts_and_params(cls, doc, params):
    assert cls.__doc__ == doc
    assert cls.fit.__text_signature__ == ("($self, objective, lower, upper, *, initial=None, "
        "n_constraints=0, n_equalities=0, integer=None)") and cls.fit.__doc__ is None
    assert cls().get_params() == params


@pytest.mark.parametrize("cls, message", [
    (SimulatedAnnealing, None),
    (DifferentialEvolution, "n_individuals must be at least 4 for differential evolution"),
    (CmaEsOptimizer, "n_individuals must be at least 4 for CMA-ES"),
])
def test_errors_precedence_and_kept_state(cls, message):
    small = {} if message is None else {"n_individuals": 3}
    obj = cls(**small, n_iterations=2, random_state=1)
    rec = Recorder(sphere)
    with pytest.raises(ValueError) as err:
        obj.fit(rec, [], [])
    assert str(err.value) == "Invalid input: Problem must have at least one dimension"
    assert rec.n_calls == 1
    if message is not None:
        with pytest.raises(ValueError) as err:
            obj.fit(rec, [0.0, 0.0], [1.0, 1.0])
        assert str(err.value) == "Invalid input: " + message
        assert rec.n_calls == 2
        assert obj.history_ == [] and obj.population_ == []
    good = cls(n_iterations=2, random_state=1)
    good.fit(sphere, [0.0, 0.0], [1.0, 1.0])
    before = fitted(good)
    for bad in ([[], []], [[1.0], [0.0]]):
        with pytest.raises(ValueError):
            good.fit(sphere, *bad)
        assert fitted(good) == before


@pytest.mark.parametrize("cls", [DifferentialEvolution, CmaEsOptimizer])
def test_absurd_population_is_a_memory_error(cls):
    for n in (2 ** 62, 2 ** 64 - 1):
        with pytest.raises(MemoryError):
            cls(n_individuals=n, n_iterations=1, random_state=0).fit(sphere, [0.0, 0.0], [1.0, 1.0])


# ------------------------------------------------------------------ simulated annealing

def test_sa_start_point_and_step_scale_zero():
    lower, upper = [-1.0, 2.0, 0.5], [3.0, 2.5, 0.5]
    u = u01s(21, 3)
    start = [lower[d] + u[d] * (upper[d] - lower[d]) for d in range(3)]

    log = Log(lambda k, x: sphere(x))
    sa = SimulatedAnnealing(step_scale=0.0, n_iterations=6, random_state=21)
    sa.fit(log, lower, upper)
    assert log.xs[1:] == [start] * 7
    assert sa.predict() == start and sa.population_ == [start]
    assert sa.history_ == [sphere(start)] * 6

    log = Log(lambda k, x: sphere(x))
    sa = SimulatedAnnealing(n_iterations=0, random_state=21)
    sa.fit(log, lower, upper)
    assert log.xs[1:] == [start]
    assert fitted(sa) == (start, sphere(start), [], [start])


@pytest.mark.parametrize("trend", ["worse", "better", "nan"])
def test_sa_moves_and_acceptance_draws(trend):
    # At temperature 0 a worse move is never accepted, but it costs one draw; so does a NaN
    # difference. A better move is accepted without a draw.
    values = {
        "worse": lambda k, x: float(k),
        "better": lambda k, x: -float(k),
        "nan": lambda k, x: 0.0 if k == 1 else NAN,
    }[trend]
    lower, upper, scale, n = [-1.0, 0.0], [1.0, 4.0], 0.3, 4
    log = Log(values)
    sa = SimulatedAnnealing(initial_temperature=0.0, cooling_rate=0.5, step_scale=scale, n_iterations=n,
                            random_state=11)
    sa.fit(log, lower, upper)

    per_iteration = 2 if trend == "better" else 3
    u = u01s(11, 2 + n * per_iteration)
    current = [lower[d] + u[d] * (upper[d] - lower[d]) for d in range(2)]
    start = current
    expected = [start]
    for t in range(n):
        base = 2 + t * per_iteration
        candidate = [clamp(((u[base + d] + u[base + d]) + (-1.0)) * scale * (upper[d] - lower[d]) + current[d],
                           lower[d], upper[d]) for d in range(2)]
        expected.append(candidate)
        if trend == "better":
            current = candidate
    assert log.xs[1:] == expected
    assert sa.population_ == [current]
    if trend == "better":
        assert sa.predict() == current and sa.history_ == [-2.0, -3.0, -4.0, -5.0]
    else:
        assert sa.predict() == start and sa.history_ == [values(1, start)] * n


@pytest.mark.parametrize("delta, accepted", [(1e-12, True), (1.5e-12, True), (2e-12, False), (1.0, False)])
def test_sa_zero_cooling_uses_the_temperature_floor(delta, accepted):
    # Iteration 1 improves (no draw); from iteration 2 on the temperature is 0 and the
    # divisor 1e-12: the move is accepted when exp(-delta / 1e-12) beats the fourth draw.
    assert u01s(1, 4)[3] == pytest.approx(0.17558605019384332)
    log = Log(lambda k, x: {1: 1.0, 2: 0.0}.get(k, delta))
    sa = SimulatedAnnealing(initial_temperature=5.0, cooling_rate=0.0, n_iterations=2, random_state=1)
    sa.fit(log, [0.0], [1.0])
    assert sa.population_ == [log.xs[3] if accepted else log.xs[2]]
    assert sa.predict() == log.xs[2] and sa.history_ == [0.0, 0.0]


# ------------------------------------------------------------------ differential evolution

def explains(trial, pop, i, f, lower, upper, every_coordinate):
    """Whether some ordered choice of three distinct donors other than i, and some forced
    coordinate, yields `trial` under rand/1/bin with crossover all-or-forced-only."""
    others = [j for j in range(len(pop)) if j != i]
    dims = range(len(trial))
    for r1, r2, r3 in itertools.permutations(others, 3):
        mutant = [clamp(pop[r1][d] + f * (pop[r2][d] - pop[r3][d]), lower[d], upper[d]) for d in dims]
        if every_coordinate:
            if trial == mutant:
                return True
        elif any(trial == [mutant[d] if d == j else pop[i][d] for d in dims] for j in dims):
            return True
    return False


@pytest.mark.parametrize("cr, every_coordinate", [(1.5, True), (0.0, False)])
def test_de_trials_and_in_place_replacement(cr, every_coordinate):
    # Four members: each trial comes from the three others, as they stand at that moment
    # (members replaced earlier in the same generation included).
    lower, upper, f, n, generations = [-5.0, 0.25, -3.0], [5.0, 0.25, 4.0], 0.7, 4, 5
    log = Log(lambda k, x: sphere(x))
    de = DifferentialEvolution(n_individuals=n, n_iterations=generations, f=f, cr=cr, random_state=8)
    de.fit(log, lower, upper)
    assert len(log.xs) == 1 + n * (1 + generations)
    assert all(x[1] == 0.25 for x in log.xs)

    pop = log.xs[1:1 + n]
    values = [sphere(x) for x in pop]
    best = min(values)
    history = []
    trials = iter(log.xs[1 + n:])
    for _ in range(generations):
        for i in range(n):
            trial = next(trials)
            assert explains(trial, pop, i, f, lower, upper, every_coordinate)
            if not every_coordinate:
                assert sum(a != b for a, b in zip(trial, pop[i])) <= 1
            if sphere(trial) <= values[i]:
                pop[i], values[i] = trial, sphere(trial)
                best = min(best, values[i])
        history.append(best)
    assert de.population_ == pop and de.history_ == history and de.score() == best


def test_de_equal_trial_replaces_member_but_not_the_best():
    log = Log(lambda k, x: 5.0)
    de = DifferentialEvolution(n_individuals=5, n_iterations=3, random_state=2)
    de.fit(log, [-1.0, -1.0], [1.0, 1.0])
    assert de.population_ == log.xs[-5:]
    assert de.predict() == log.xs[1] and de.score() == 5.0
    assert de.history_ == [5.0] * 3


@pytest.mark.parametrize("initial, best", [([3.0, 1.0, 1.0, 2.0], 1), ([NAN, -1.0, 0.0, 2.0], 1),
                                           ([math.inf, math.inf, 7.0, 7.0], 2)])
def test_de_initial_population_and_best(initial, best):
    lower, upper = [0.0, -2.0], [1.0, 2.0]
    u = u01s(5, 8)
    members = [[lower[d] + u[2 * i + d] * (upper[d] - lower[d]) for d in range(2)] for i in range(4)]
    log = Log(lambda k, x: initial[k - 1] if k else 0.0)
    de = DifferentialEvolution(n_individuals=4, n_iterations=0, random_state=5)
    de.fit(log, lower, upper)
    assert log.xs[1:] == members
    assert de.population_ == members and de.history_ == []
    assert de.predict() == members[best]
    assert de.score() == initial[best]


# ------------------------------------------------------------------ CMA-ES

def test_cma_zero_generations_is_the_midpoint():
    log = Log(lambda k, x: sphere(x))
    cma = CmaEsOptimizer(n_individuals=6, n_iterations=0, random_state=3)
    cma.fit(log, [-1.0, 0.0], [2.0, 1.0])
    assert log.xs == [[0.5, 0.5], [0.5, 0.5]]
    assert fitted(cma) == ([0.5, 0.5], 0.5, [], [])


def test_cma_weights():
    w, mu_eff = _testing.cma_weights(4)
    raw = [math.log(2.5) - math.log(1.0), math.log(2.5) - math.log(2.0)]
    total = raw[0] + raw[1]
    assert w == [raw[0] / total, raw[1] / total]
    assert mu_eff == 1.0 / (w[0] * w[0] + w[1] * w[1])
    assert _testing.cma_weights(5) == (w, mu_eff)


def test_cma_ranking_is_stable_and_puts_nan_last():
    rank = _testing.cma_rank
    assert rank([1.0, 0.0, 1.0, 0.0]) == [1, 3, 0, 2]
    assert rank([math.inf, 1.0, math.inf, -math.inf]) == [3, 1, 0, 2]
    # a failed (NaN) evaluation ranks after every number, so it is never recombined first
    assert rank([2.0, NAN, 1.0, 0.0]) == [3, 2, 0, 1]
    assert rank([NAN, 3.0, 1.0, NAN, 0.0, -1.0]) == [5, 4, 2, 1, 0, 3]
    assert rank([NAN] * 3) == [0, 1, 2] and rank([]) == []


def test_cma_step_size_floor_and_fixed_coordinate():
    # A tiny sigma keeps the first generation at the midpoint; afterwards the step size is
    # at least 1e-6, so the samples spread again.
    lam, generations = 6, 12
    log = Log(lambda k, x: 1.0)
    cma = CmaEsOptimizer(n_individuals=lam, n_iterations=generations, sigma=1e-12, random_state=4)
    cma.fit(log, [-1.0, 3.0, -1.0], [1.0, 3.0, 1.0])
    samples = log.xs[2:]
    assert all(x[1] == 3.0 for x in samples)
    assert cma.population_ == samples[-lam:]
    spreads = []
    for g in range(generations):
        gen = samples[g * lam:(g + 1) * lam]
        spreads.append(max(max(x[d] for x in gen) - min(x[d] for x in gen) for d in (0, 2)))
    assert spreads[0] < 1e-10
    assert all(1e-7 < s < 1e-3 for s in spreads[1:3])
    assert all(s > 1e-7 for s in spreads[1:])
    assert cma.predict() == [0.0, 3.0, 0.0] and cma.history_ == [1.0] * generations
