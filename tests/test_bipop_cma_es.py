"""BipopCmaEs: convergence within counted evaluations, the restarts and their records, the end
of a run on a plateau, the box, the budget, integer coordinates, and the eigendecomposition it
rests on. (Grouped = per point, journaled resume, AskTell, pickling and Monitor stops are the
generic tests' through tests/estimators.py; every evaluated point whole at the integer
coordinates, with extreme and fixed bounds, is tests/test_constraints.py's.)"""

import math
import random

import pytest

from swarmix import AskTell, BipopCmaEs, _testing, journaled, read_journal, vectorized
from objectives import rastrigin
from test_journal import frames

SHIFT = 1.234  # the optimum is not the box's centre, where the fit starts


class Counted:
    """An objective that counts its calls (the probe included) and keeps every point."""

    def __init__(self, f):
        self.f = f
        self.points = []

    def __call__(self, x):
        self.points.append(list(x))
        return self.f(x)


def shifted_sphere(x):
    return math.fsum((v - SHIFT) ** 2 for v in x)


def ellipsoid(x):  # condition number 1e6
    d = len(x)
    return math.fsum(1e6 ** (i / (d - 1)) * (v - SHIFT) ** 2 for i, v in enumerate(x))


@pytest.mark.parametrize("f, budget", [(shifted_sphere, 2_200), (ellipsoid, 4_400)],
                         ids=["sphere", "ellipsoid"])
def test_reaches_1e_10_within_a_stated_number_of_evaluations(f, budget):
    objective = Counted(f)
    opt = BipopCmaEs(n_evaluations=budget, random_state=3)
    opt.fit(objective, [-5.0] * 10, [5.0] * 10)
    first = next(k for k, x in enumerate(objective.points) if f(x) < 1e-10)
    assert first <= budget and opt.score() < 1e-10
    assert opt.runs_[0]["population_size"] == 4 + math.floor(3 * math.log(10))  # 10
    # The last generation may pass the budget, never by a whole generation; the probe comes on top.
    assert budget <= len(objective.points) - 1 == sum(r["evaluations"] for r in opt.runs_) < (
        budget + opt.runs_[-1]["population_size"])
    assert opt.history_ == sorted(opt.history_, reverse=True) and opt.history_[-1] == opt.score()


def test_restarts_share_the_evaluations_and_max_restarts_counts_the_large_ones():
    objective = Counted(rastrigin)
    opt = BipopCmaEs(n_evaluations=10**6, max_restarts=4, random_state=2)
    opt.fit(objective, [-5.12] * 4, [5.12] * 4)
    runs = opt.runs_
    assert sum(r["evaluations"] for r in runs) == len(objective.points) - 1 < 10**6
    assert min(r["best_value"] for r in runs) == opt.score()
    own = {"tolfun", "tolx", "noeffectaxis", "noeffectcoord", "conditioncov", "equalfunvalues", "stagnation",
           "tolupsigma", "maxiter", "flatfitness"}  # the ends of a run on its own
    # The first run counts for neither regime; each restart goes to the one that has used fewer
    # evaluations. A large run doubles the population and ends on its own; a small one draws a
    # population up to half the last large one and a smaller step, and stops at half the last
    # large run's evaluations (a generation is never cut).
    used = {True: 0, False: 0}
    large_populations, last_large = [], 0
    for r in runs[1:]:
        large = r["sigma0"] == 0.3
        assert large == (used[False] >= used[True])
        if large:
            large_populations.append(r["population_size"])
            last_large = r["evaluations"]
            assert r["termination"] in own
        else:
            assert 8 <= r["population_size"] <= large_populations[-1] // 2 and 0.003 <= r["sigma0"] / 0.3 < 1
            assert r["evaluations"] < last_large // 2 + r["population_size"]
            assert r["termination"] in own or (r["termination"] == "maxfevals" and
                                                r["evaluations"] >= last_large // 2)
        used[large] += r["evaluations"]
    # max_restarts counts the large restarts alone: the small ones go on between them, and the
    # fit ends when the large regime's turn comes with none left.
    assert large_populations == [16, 32, 64, 128]
    assert len(runs) > 10 and used[False] >= used[True]
    assert any(r["termination"] == "maxfevals" for r in runs)


def rounding_misses(x):
    # The relaxed optimum (1.2, 0.6, 0.3) rounds to (1, 1, 0.3), worth 10.16; the optimum with
    # the first two coordinates whole is (2, 1, 0.3), worth 0.16.
    return 10.0 * (x[0] - 2.0 * x[1]) ** 2 + (x[1] - 0.6) ** 2 + (x[2] - 0.3) ** 2


def test_integer_coordinates_find_the_optimum_that_rounding_misses_and_runs_still_end():
    relaxed = BipopCmaEs(n_evaluations=3_000, random_state=0)
    relaxed.fit(rounding_misses, [-5.0] * 3, [5.0] * 3)
    assert [round(v) for v in relaxed.predict()] == [1, 1, 0]
    for seed in range(3):
        objective = Counted(rounding_misses)
        opt = BipopCmaEs(n_evaluations=3_000, random_state=seed)
        opt.fit(objective, [-5.0] * 3, [5.0] * 3, integer=[0, 1])
        x = opt.predict()
        assert x[:2] == [2.0, 1.0] and opt.score() == rounding_misses(x) < 0.16 + 1e-9
        assert all(p[0] == round(p[0]) and p[1] == round(p[1]) for p in objective.points)
        # The integer steps' lower bound keeps the samples moving there, yet runs end on their
        # own (on a plateau of rounded points, or converged), and the restarts take turns.
        runs = opt.runs_
        # With integers the default population is 6 + floor(3 ln(d d_int)) = 11 (7 without).
        assert [r["population_size"] for r in runs[:3]] == [11, 22, 11]
        assert all(r["termination"] in ("tolfun", "flatfitness", "tolx", "stagnation") for r in runs[:2])
        assert runs[2]["termination"] in ("maxfevals", "tolfun", "flatfitness", "tolx", "budget")
        assert sum(r["evaluations"] for r in runs) == len(objective.points) - 1


def test_integer_fits_grouped_told_and_resumed_are_the_plain_fit(tmp_path):
    box = ([-5.0, -3.0, 0.0], [5.0, 3.0, 1.0])

    def fitted(objective):
        opt = BipopCmaEs(n_evaluations=300, random_state=5)
        opt.fit(objective, *box, integer=[True, True, False])
        return (opt.predict(), opt.score(), opt.history_, opt.population_, opt.runs_)

    plain = Counted(rounding_misses)
    expected = fitted(plain)
    assert fitted(vectorized(lambda X: [rounding_misses(x) for x in X.tolist()])) == expected
    run = AskTell(BipopCmaEs(n_evaluations=300, random_state=5), *box, integer=[0, 1])
    asked = []
    while not run.done:
        X = run.ask()
        asked += X
        run.tell([rounding_misses(x) for x in X])
    assert asked == plain.points and run.optimizer.predict() == expected[0]
    path = tmp_path / "fit.swj"
    assert fitted(journaled(rounding_misses, path)) == expected
    data = path.read_bytes()
    path.write_bytes(data[:frames(data)[len(frames(data)) // 2][1]])
    kept = len(read_journal(path).points)
    rest = Counted(rounding_misses)
    assert fitted(journaled(rest, path)) == expected and rest.points == plain.points[:1] + plain.points[kept:]


def test_a_flat_generation_ends_its_run():
    # Steps: a generation is flat when the value at rank floor(lambda / 4) is the best's. The
    # first flat generation of a run is its last, and ends it as "flatfitness".
    def steps(x):
        return float(sum(int(abs(v) * 3) for v in x))

    objective = Counted(steps)
    opt = BipopCmaEs(n_evaluations=6_000, random_state=4)
    opt.fit(objective, [-2.0] * 4, [3.0] * 4)
    values = [steps(x) for x in objective.points[2:]]  # after the probe and the start
    ends = []
    for i, r in enumerate(opt.runs_):
        lam = r["population_size"]
        generations = [sorted(values[k: k + lam]) for k in range(0, r["evaluations"] - (i == 0), lam)]
        del values[:len(generations) * lam]
        flat = [g[0] == g[max(lam // 4, 1)] for g in generations]
        assert not any(flat[:-1]) and flat[-1] == (r["termination"] == "flatfitness")
        ends.append(r["termination"])
    assert values == [] and ends.count("flatfitness") > 3 and opt.score() == 0.0


def test_every_point_lies_in_the_box():
    # A slope that pushes the search through the corner (the box's edge coordinates vary).
    lower, upper = [-1.0, 0.0, 2.0, -3.0], [1.0, 1e-3, 2.0, 7.0]
    objective = Counted(lambda x: math.fsum(x))
    opt = BipopCmaEs(n_evaluations=3_000, sigma0=0.9, random_state=2)
    opt.fit(objective, lower, upper)
    assert all(lo <= v <= hi for x in objective.points for v, lo, hi in zip(x, lower, upper))
    assert opt.score() < math.fsum(lower) + 1e-6


def test_budget_and_failures():
    # d = 5: population 8; the start, then whole generations until 20 evaluations are reached.
    objective = Counted(shifted_sphere)
    opt = BipopCmaEs(n_evaluations=20, random_state=0)
    opt.fit(objective, [-5.0] * 5, [5.0] * 5)
    assert len(objective.points) == 1 + 1 + 3 * 8 and len(opt.history_) == 3 and len(opt.population_) == 8
    assert opt.runs_ == [{"population_size": 8, "sigma0": 0.3, "evaluations": 25, "best_value": opt.score(),
                          "termination": "budget"}]
    before = (opt.predict(), opt.history_, opt.runs_)
    for bad in (dict(sigma0=0.0), dict(sigma0=math.inf), dict(population_size=1)):
        with pytest.raises(ValueError):
            BipopCmaEs(**bad).fit(shifted_sphere, [-5.0] * 5, [5.0] * 5)
        failing = BipopCmaEs(**bad)
        failing.__setstate__(opt.__reduce__()[2])
        with pytest.raises(ValueError):
            failing.fit(shifted_sphere, [-5.0] * 5, [5.0] * 5)
        assert (failing.predict(), failing.history_, failing.runs_) == before
    # A record that no fit can leave is refused.
    state = list(opt.__reduce__()[2])
    for runs in ([[8.0, 0.3, 25.0, 1.0]], [[8.5, 0.3, 25.0, 1.0, 10.0]], [[8.0, 0.3, 25.0, 1.0, 13.0]]):
        state[7] = runs
        with pytest.raises(ValueError, match="malformed pickled state"):
            BipopCmaEs().__setstate__(tuple(state))


def test_symmetric_eigendecomposition():
    rng = random.Random(7)
    cases = [[[2.0]], [[1.0, 0.0], [0.0, 1.0]], [[0.0] * 3 for _ in range(3)],
             [[1.0 + (1e-9 * rng.gauss(0, 1) if i == j else 0.0) for j in range(6)] for i in range(6)]]
    for n in (2, 3, 5, 8, 13, 20, 41):
        a = [[rng.gauss(0, 1) for _ in range(n)] for _ in range(n)]
        cases.append([[a[i][j] + a[j][i] for j in range(n)] for i in range(n)])
        # A covariance with condition 1e12 and a repeated eigenvalue.
        scales = [1e-6] * 2 + [1e6 ** (k / (n - 1)) for k in range(n - 2)]
        _, v = _testing.symmetric_eigen(cases[-1])
        cases.append([[math.fsum(v[k][i] * scales[k] * v[k][j] for k in range(n)) for j in range(n)]
                      for i in range(n)])
    for a in cases:
        n = len(a)
        values, v = _testing.symmetric_eigen(a)
        assert values == sorted(values)
        scale = max(abs(x) for row in a for x in row) or 1.0
        for i in range(n):
            for j in range(n):
                back = math.fsum(v[k][i] * values[k] * v[k][j] for k in range(n))
                assert abs(back - a[i][j]) <= 1e-13 * n * scale
                dot = math.fsum(v[i][k] * v[j][k] for k in range(n))
                assert abs(dot - (i == j)) <= 1e-14 * n
    # Only the upper triangle is read; a matrix that is not finite there has no decomposition.
    assert _testing.symmetric_eigen([[2.0, 1.0], [math.nan, 3.0]]) == _testing.symmetric_eigen([[2.0, 1.0], [1.0, 3.0]])
    assert _testing.symmetric_eigen([[1.0, math.inf], [0.0, 1.0]]) is None


# ---------------------------------------------------------------- constraints


def test_constrained_fits_end_feasible_on_their_active_constraints():
    from test_constraints import active

    def ball(x):  # min sum(x) inside a ball of radius 0.1 about (3, 3, 3, 3): far from the start
        return [math.fsum(x), math.fsum((v - 3.0) ** 2 for v in x) - 0.01]

    def line(x):  # min x0² + x1² with x0 + x1 = 1, met within 1e-4
        return [x[0] * x[0] + x[1] * x[1], x[0] + x[1] - 1.0]

    for seed in range(3):  # budgets well above what each seed needs
        opt = BipopCmaEs(n_evaluations=3_000, random_state=seed)
        opt.fit(active, [-3.0, -3.0], [3.0, 3.0], n_constraints=2)
        assert opt.feasible_ and max(abs(v - 1.0) for v in opt.predict()) < 1e-6
        # The equality's tolerance is used: x0 + x1 = 1 - 1e-4 at the best feasible point.
        opt.fit(line, [-3.0, -3.0], [3.0, 3.0], n_equalities=1)
        assert opt.feasible_ and abs(opt.score() - (1.0 - 1e-4) ** 2 / 2.0) < 1e-9
        # Every point of the first generation is infeasible; the fit ends on the ball's edge.
        rows = Counted(ball)
        opt = BipopCmaEs(n_evaluations=6_000, random_state=seed)
        opt.fit(rows, [-5.0] * 4, [5.0] * 4, n_constraints=1)
        first = 1 + 1 + opt.runs_[0]["population_size"] + 1  # the probe, the start, the mean, the samples
        assert all(ball(x)[1] > 0.0 for x in rows.points[:first])
        assert opt.feasible_ and opt.violation_ == 0.0 and abs(opt.score() - 4.0 * 2.95) < 1e-6


def test_a_constrained_generation_adds_its_mean_and_a_run_keeps_its_best_feasible_value():
    from test_constraints import active

    rows = Counted(active)
    opt = BipopCmaEs(n_evaluations=4_000, random_state=1)
    opt.fit(rows, [-3.0, -3.0], [3.0, 3.0], n_constraints=2)
    evaluated = [active(x) for x in rows.points[1:]]  # past the probe
    assert len(evaluated) == sum(r["evaluations"] for r in opt.runs_) and len(opt.runs_) > 2
    for k, r in enumerate(opt.runs_):  # the first run's evaluations count the start
        assert (r["evaluations"] - (k == 0)) % (r["population_size"] + 1) == 0
        own, evaluated = evaluated[:r["evaluations"]], evaluated[r["evaluations"]:]
        assert r["best_value"] == min((row[0] for row in own if max(row[1:]) <= 0.0), default=math.inf)
    # Deb's order over every evaluated point, whatever the runs ranked by.
    best = min((active(x)[0], x) for x in rows.points[1:] if max(active(x)[1:]) <= 0.0)
    assert (opt.score(), opt.predict()) == best and opt.history_[-1] == opt.score()


def first_runs_length(objective, **params):
    """The first runs of seeds 0-2 on eight whole coordinates in [0, 3] and two continuous ones in
    [-1, 1] end by tolfun, converged; their evaluations together."""
    lengths = []
    for seed in range(3):
        opt = BipopCmaEs(n_evaluations=20_000, random_state=seed, **params)
        opt.fit(objective, [0.0] * 8 + [-1.0, -1.0], [3.0] * 8 + [1.0, 1.0], integer=range(8))
        first = opt.runs_[0]
        assert first["termination"] == "tolfun" and first["best_value"] < 1e-12
        lengths.append(first["evaluations"])
    return sum(lengths)


def test_whole_coordinates_held_at_their_least_step_do_not_slow_the_step_size():
    # Eight whole coordinates the objective ignores sit at their least step; sigma follows the
    # two continuous ones alone, so the first runs end converged within 5,700 evaluations over
    # three seeds (counting the held coordinates in sigma's path made them last 7,900).
    assert first_runs_length(lambda x: (x[8] - 0.3) ** 2 + (x[9] + 0.2) ** 2, population_size=10) < 6_000


def test_a_converged_run_with_whole_coordinates_ends_by_tolfun_though_samples_leave_their_cells():
    # The least step makes a few samples of every generation leave the mean's whole numbers, at a
    # cost of at least 1 here; tolfun's spread leaves them out, so the first runs end converged
    # by tolfun within 7,000 evaluations over three seeds (counting them, two went on to tolx and
    # the three took 11,100).
    assert first_runs_length(lambda x: sum((v - 1.0) ** 2 for v in x[:8]) + (x[8] - 0.3) ** 2
                             + (x[9] + 0.2) ** 2) < 7_000
