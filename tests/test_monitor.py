"""Monitor: budgets, targets, callbacks and Ctrl-C stop a fit at an iteration boundary, with a
result that is a prefix of the full fit's; counts and failures are reported."""

import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import swarmix
from estimators import attempt, fit_args, is_multi, is_single_entry, small_kwargs, state
from objectives import sphere
from swarmix import Monitor
from test_groups import OBJECTIVE_CLASSES, Calls, flaky, flaky_vector


def fit(cls, objective, seed=3, **kw):
    obj = cls(**{**small_kwargs(cls, size=6, iterations=6, other=2), **kw}, random_state=seed)
    _, lower, upper = fit_args(cls)
    obj.fit(objective, lower, upper)
    return obj


@pytest.mark.parametrize("cls", OBJECTIVE_CLASSES, ids=lambda c: c.__name__)
def test_a_budget_stop_is_a_prefix_of_the_full_fit(cls):
    f = flaky_vector if is_multi(cls) else flaky
    full_calls = Calls(f)
    full = fit(cls, full_calls)
    budget = len(full_calls.points) // 2
    calls = Calls(f)
    monitor = Monitor(calls, max_evaluations=budget)
    stopped = fit(cls, monitor)

    assert monitor.stop_reason == "max_evaluations"
    assert monitor.n_evaluations == len(calls.points) >= budget
    assert calls.points == full_calls.points[:len(calls.points)]
    assert not any(isinstance(attempt(read), BaseException) for read in (stopped.predict, stopped.score))
    assert monitor.n_iterations == len(monitor.trace)
    if is_multi(cls):
        assert monitor.best_value is None and all(best is None for _, best in monitor.trace)
        return
    assert monitor.best_value <= stopped.score() and monitor.n_failed > 0
    if not is_single_entry(cls):
        assert stopped.history_ == full.history_[:len(stopped.history_)]
        assert [best for _, best in monitor.trace] == stopped.history_
    evaluations = [n for n, _ in monitor.trace]
    assert evaluations == sorted(evaluations) and all(n <= monitor.n_evaluations for n in evaluations)


def test_target_and_time():
    monitor = Monitor(sphere, target=1e-3)
    obj = swarmix.GreyWolfOptimizer(random_state=0)
    obj.fit(monitor, [-5.0] * 3, [5.0] * 3)
    assert monitor.stop_reason == "target" and obj.score() <= 1e-3 < monitor.trace[-2][1]
    assert len(obj.history_) == monitor.n_iterations < 100

    def slow(x):
        time.sleep(0.002)
        return sphere(x)
    monitor = Monitor(slow, max_time=0.1)
    obj = swarmix.DifferentialEvolution(n_individuals=10, random_state=0)
    start = time.monotonic()
    obj.fit(monitor, [-5.0] * 3, [5.0] * 3)
    assert monitor.stop_reason == "max_time" and 0.1 <= time.monotonic() - start < 1.0
    assert len(obj.history_) == monitor.n_iterations < 100


def test_callback():
    seen = []

    def callback(iteration, best):
        seen.append((iteration, best))
        return iteration == 3
    monitor = Monitor(sphere, callback=callback)
    obj = swarmix.CmaEsOptimizer(random_state=1)
    obj.fit(monitor, [-5.0] * 3, [5.0] * 3)
    assert monitor.stop_reason == "callback" and seen == list(zip([1, 2, 3], obj.history_))

    before = state(obj)

    def broken(iteration, best):
        raise LookupError("callback failed")
    with pytest.raises(LookupError, match="callback failed"):
        obj.fit(Monitor(sphere, callback=broken), [-5.0] * 3, [5.0] * 3)
    assert state(obj) == before


def test_failures_are_counted():
    failures = []  # in order: the raised error, or None for a returned None

    def failing(x):
        if x[0] > 0.5:
            failures.append(RuntimeError(f"failed at {x[0]}"))
            raise failures[-1]
        if x[0] < -0.5:
            failures.append(None)
            return None
        return sphere(x)
    monitor = Monitor(failing)
    obj = swarmix.ParticleSwarm(n_particles=5, n_iterations=3, random_state=2)
    obj.fit(monitor, [-1.0] * 2, [1.0] * 2)
    assert monitor.n_evaluations == 1 + 5 * 4 and monitor.stop_reason is None and monitor.n_iterations == 3
    assert monitor.n_failed == len(failures) and RuntimeError in map(type, failures) and None in failures
    first = next(e for e in failures if e is not None)
    assert monitor.first_error is first if failures[0] is not None else type(monitor.first_error) is TypeError
    assert monitor.best_value == obj.score() and monitor.best_position == obj.predict()


def test_progress_goes_to_standard_error(capfd, monkeypatch):
    for tqdm_installed in (True, False):
        if not tqdm_installed:
            monkeypatch.setitem(sys.modules, "tqdm", None)  # the import fails: the plain line
        swarmix.GreyWolfOptimizer(n_iterations=20, random_state=0).fit(Monitor(sphere, progress=True),
                                                                         [-1.0] * 2, [1.0] * 2)
        out, err = capfd.readouterr()
        assert out == "" and "evaluations 631" in err and err.endswith("\n")
        if not tqdm_installed:
            assert "\riteration 20/20" in err


def test_ctrl_c_stops_at_the_next_boundary(tmp_path):
    script = tmp_path / "interrupted.py"
    script.write_text(textwrap.dedent("""
        import signal, sys, time
        import swarmix

        def slow(x):
            time.sleep(0.001)
            return sum(v * v for v in x)

        def callback(iteration, best):
            if iteration == 2:
                print("running", flush=True)
                time.sleep(0.3)   # Ctrl-C arrives during iteration 3

        monitor = swarmix.Monitor(slow, callback=callback, stop_on_interrupt=True)
        obj = swarmix.GreyWolfOptimizer(n_iterations=1000, random_state=0)
        obj.fit(monitor, [-1.0] * 2, [1.0] * 2)
        print(monitor.stop_reason, monitor.n_iterations, len(obj.history_), obj.score() >= 0)
        print(signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    """))
    child = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert child.stdout.readline() == "running\n"
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    assert child.returncode == 0
    reason, iterations, history, usable = out.split("\n")[0].split()
    assert reason == "interrupt" and iterations == history and 2 <= int(iterations) < 10 and usable == "True"
    assert out.split("\n")[1] == "True"


def test_arguments_are_checked():
    with pytest.raises(TypeError):
        Monitor(Monitor(sphere))
    with pytest.raises(ValueError):
        Monitor(sphere, max_evaluations=-1)
    with pytest.raises(ValueError):
        Monitor(sphere, max_time=math.nan)
    with pytest.raises(TypeError):
        Monitor(sphere, callback=3)


class Wrapper:
    """A wrapper that is not a monitor: it hears the start and the end of each fit."""

    def __init__(self, objective, group_lookup_fails=False):
        self.objective, self.group_lookup_fails, self.heard = objective, group_lookup_fails, []

    def __swarmix_start__(self, fit):
        self.heard.append(("start", fit))
        return self if self.group_lookup_fails else self.objective

    def __call__(self, x):
        return self.objective(x)

    def __getattr__(self, name):
        if name == "__swarmix_group__":
            raise RuntimeError("no group today")
        raise AttributeError(name)

    def __swarmix_end__(self, counts, error):
        self.heard.append(("end", counts, error))


def test_wrappers_hear_the_fit_its_end_and_its_error():
    opt = swarmix.DifferentialEvolution(n_individuals=5, n_iterations=2, random_state=3)
    inner = Wrapper(sphere)
    monitor = Monitor(inner)
    opt.fit(monitor, [-1.0, 0.0], [1.0, 2.0])
    (_, fit), (_, counts, error) = inner.heard
    assert callable(fit.pop("read_group"))
    assert fit == {"class": "DifferentialEvolution", "params": opt.get_params(), "random_state": 3,
                   "lower": [-1.0, 0.0], "upper": [1.0, 2.0], "kind": "scalar", "initial": None,
                   "n_constraints": 0, "n_equalities": 0, "integer": None}
    assert counts is None and error is None and monitor.n_evaluations == 16
    mo = swarmix.Nsga2Optimizer(n_individuals=4, n_iterations=1)
    wrapper = Wrapper(lambda x: [x[0], -x[0]])
    mo.fit(wrapper, [0.0], [1.0])
    assert wrapper.heard[0][1]["kind"] == "vector" and wrapper.heard[0][1]["random_state"] is None
    # A fit that fails after the start still ends the wrapper, with the fit's own error.
    before = state(opt)
    for wrapper, args in ((Wrapper(sphere, group_lookup_fails=True), ([0.0], [1.0])),
                          (Wrapper(lambda x: 1 / 0), ([0.0], [1.0]))):
        with pytest.raises((RuntimeError, ZeroDivisionError)) as raised:
            opt.fit(Monitor(wrapper), *args)
        assert [h[0] for h in wrapper.heard] == ["start", "end"] and wrapper.heard[1][2] is raised.value
    assert state(opt) == before


def test_a_marked_error_fails_the_fit_not_its_point():
    from swarmix._errors import fails_fit
    opt = swarmix.ParticleSwarm(n_particles=4, n_iterations=3, random_state=1)
    before = state(opt)
    calls = []

    def objective(x):
        calls.append(x)
        if len(calls) == 3:
            raise fails_fit(OSError("the disk is full"))
        return sphere(x)

    for wrapped in (objective, swarmix.vectorized(lambda X: [objective(list(x)) for x in X])):
        calls.clear()
        with pytest.raises(OSError, match="the disk is full"):
            opt.fit(Monitor(wrapped), [-1.0], [1.0])
        assert len(calls) == 3 and state(opt) == before
