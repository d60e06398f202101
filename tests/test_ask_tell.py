"""AskTell: a told loop is the fit with the same values, bit for bit, through pickling, usage
errors, a stop and a failed probe; a closed or forgotten run leaves no thread behind."""

import gc
import math
import os
import pickle
import random
import signal
import struct
import threading

import numpy as np
import pytest

import swarmix
from estimators import attempt, fit_args, fitted, is_multi, small_kwargs, state
from objectives import sphere
from swarmix import AskTell, Monitor
from test_groups import OBJECTIVE_CLASSES, Calls, flaky, flaky_vector


def make(cls, seed):
    return cls(**small_kwargs(cls, size=6, iterations=4, other=2), random_state=seed)


def values_of(f, points):
    """What a caller tells: the value, or the exception the point raised."""
    values = []
    for x in points:
        try:
            values.append(f(x))
        except Exception as exc:  # noqa: BLE001 - a failed point is told as its exception
            values.append(exc)
    return values


def drive(run, f, pickle_at=None, before_tell=None):
    """Ask and tell until the run is done; returns the run (a copy after a pickle round trip)
    and the points asked, as bytes."""
    asked = []
    n = 0
    while not run.done:
        if n == pickle_at:
            run = pickle.loads(pickle.dumps(run))
        points = run.ask()
        asked += [struct.pack(f"<{len(x)}d", *x) for x in points]
        if before_tell is not None:
            before_tell(run, n, points)
        run.tell(values_of(f, points))
        n += 1
    return run, asked, n


def workers():
    return [t for t in threading.enumerate() if t.name == "swarmix-asktell"]


@pytest.mark.parametrize("cls", OBJECTIVE_CLASSES, ids=lambda c: c.__name__)
def test_told_loop_is_the_fit(cls):
    f = flaky_vector if is_multi(cls) else flaky
    _, lower, upper = fit_args(cls)
    binary = cls is swarmix.BinaryParticleSwarm
    given = [1.0] * len(lower) if binary else [(2 * lo + up) / 3 for lo, up in zip(lower, upper)]
    for seed, initial in ((3, None), (2**63 + 5, [given])):
        calls = Calls(f)
        plain = make(cls, seed)
        plain.fit(calls, lower, upper, initial=initial)

        run, asked, groups = drive(AskTell(make(cls, seed), lower, upper, initial=initial), f)
        assert state(run.optimizer) == state(plain) and asked == calls.points

        # pickled mid-run: the copy asks for the same points and ends with the same bits in
        # its own optimiser; the original's optimiser is left as it was
        optimizer = make(cls, seed)
        pickle_at = random.Random(f"{cls.__name__}{seed}").randrange(1, groups)
        run, asked, _ = drive(AskTell(optimizer, lower, upper, initial=initial), f, pickle_at=pickle_at)
        assert run.optimizer is not optimizer and isinstance(attempt(optimizer.predict), ValueError)
        assert state(run.optimizer) == state(plain) and asked == calls.points

        # a finished run's copy is finished, with the result
        copy = pickle.loads(pickle.dumps(run))
        assert copy.done and state(copy.optimizer) == state(plain)
    gc.collect()
    assert workers() == []


def flipped(value, bit):
    """`value` with one bit of its double flipped."""
    return struct.unpack("<d", struct.pack("<Q", struct.unpack("<Q", struct.pack("<d", value))[0] ^ 1 << bit))[0]


def test_usage_errors_change_nothing():
    earlier = []

    def misuse(run, n, points):
        if n == 1:
            earlier.extend(points)
        if n != 2:
            return
        # told with points, the values must be the asked points', every bit of every coordinate
        assert len(earlier) == len(points) and earlier != points
        for i, j, bit in ((0, 0, 0), (len(points) - 1, len(points[0]) - 1, 51)):
            changed = [list(x) for x in points]
            changed[i][j] = flipped(changed[i][j], bit)
            with pytest.raises(ValueError, match=f"point {i} is not the asked one: coordinate {j} is"):
                run.tell(values_of(flaky_vector, points), points=changed)
        for other in (earlier, points[:-1], [x[:-1] for x in points], "ab"):
            with pytest.raises(ValueError, match="tell.points=...."):
                run.tell(values_of(flaky_vector, points), points=other)
        with pytest.raises(RuntimeError, match="again before tell"):
            run.ask()
        wrong = [values_of(flaky_vector, points)[:-1], 3.0, "values", [1.0] * len(points), iter([])]
        for values in wrong:
            with pytest.raises(ValueError):
                run.tell(values)

    _, lower, upper = fit_args(swarmix.Nsga2Optimizer)
    plain = make(swarmix.Nsga2Optimizer, 4)
    plain.fit(flaky_vector, lower, upper)
    run = AskTell(make(swarmix.Nsga2Optimizer, 4), lower, upper)
    with pytest.raises(RuntimeError, match="without ask"):
        run.tell([[0.0, 0.0]])
    probe = run.ask()
    signed = [list(x) for x in probe]
    signed[0][0] = -0.0  # equal to the asked 0.0, but not bit for bit
    assert probe[0][0] == 0.0 and math.copysign(1.0, probe[0][0]) == 1.0
    with pytest.raises(ValueError, match="point 0 is not the asked one: coordinate 0 is -0.0, asked 0.0"):
        run.tell(values_of(flaky_vector, probe), points=signed)
    run.tell(values_of(flaky_vector, probe), points=np.array(probe))
    with pytest.raises(RuntimeError, match="tell.. again for one ask"):  # the next group has the probe's size
        run.tell(values_of(flaky_vector, probe))
    run, _, _ = drive(run, flaky_vector, before_tell=misuse)
    assert state(run.optimizer) == state(plain)
    with pytest.raises(RuntimeError, match="the run is done"):
        run.ask()

    # scalar values: rows are refused; a numpy array, None and NaN are told values
    _, lower, upper = fit_args(swarmix.DifferentialEvolution)
    plain = make(swarmix.DifferentialEvolution, 4)
    def value(x, failed):
        return math.nan if x[0] > 0.5 else failed if x[0] < -0.5 else sphere(x)
    plain.fit(lambda x: value(x, None), lower, upper)
    run = AskTell(make(swarmix.DifferentialEvolution, 4), lower, upper)
    while not run.done:
        points = run.ask()
        with pytest.raises(ValueError, match="one number per point"):
            run.tell([[sphere(x)] for x in points])
        run.tell(np.array([value(x, np.nan) for x in points]) if len(points) > 1 else [value(x, None) for x in points])
    assert state(run.optimizer) == state(plain)

    # what cannot be a run
    with pytest.raises(TypeError, match="an optimiser of an objective"):
        AskTell(swarmix.AntColony(random_state=1), lower, upper)
    with pytest.raises(TypeError, match="an optimiser of an objective"):
        AskTell(sphere, lower, upper)
    with pytest.raises(ValueError, match="random_state"):
        AskTell(swarmix.GreyWolfOptimizer(), lower, upper)
    with pytest.raises(ValueError, match="^Lower bound 1 > upper bound -1"):
        AskTell(swarmix.GreyWolfOptimizer(random_state=1), upper, lower)
    gc.collect()
    assert workers() == []


def test_failed_probe_raises_the_fits_error():
    obj = fitted(swarmix.GreyWolfOptimizer)
    before = state(obj)
    _, lower, upper = fit_args(swarmix.GreyWolfOptimizer)
    with pytest.raises(TypeError) as expected:
        obj.fit(lambda x: "text", lower, upper)
    run = AskTell(obj, lower, upper)
    run.ask()
    with pytest.raises(TypeError) as told:
        run.tell(["text"])
    assert str(told.value) == str(expected.value) and run.done and state(obj) == before

    error = KeyError("probe")
    run = AskTell(obj, lower, upper)
    run.ask()
    with pytest.raises(KeyError) as told:
        run.tell([error])
    assert told.value is error and state(obj) == before
    with pytest.raises(RuntimeError, match="the run failed"):
        run.ask()


def test_a_pickle_replays_only_the_points_it_recorded():
    cls = swarmix.CmaEsOptimizer
    _, lower, upper = fit_args(cls)
    run = AskTell(make(cls, 6), lower, upper)
    for _ in range(3):
        run.tell(values_of(sphere, run.ask()))
    data = pickle.dumps(run)
    recorded = run.__reduce__()[1][4]
    assert len(recorded) == 3 and pickle.loads(data).ask() == run.ask()
    for group, byte, bit in ((1, 0, 0), (2, 8 * len(lower) + 6, 3), (2, len(recorded[2][0]) - 1, 7)):
        at = data.index(recorded[group][0]) + byte  # one bit of a recorded point
        tampered = data[:at] + bytes([data[at] ^ 1 << bit]) + data[at + 1:]
        with pytest.raises(RuntimeError, match=f"asked for other points than the pickled one in group {group}"):
            pickle.loads(tampered)
    run.close()
    gc.collect()
    assert workers() == []


FORKED = """
import os, sys
from swarmix import AskTell, GreyWolfOptimizer
from objectives import sphere

run = AskTell(GreyWolfOptimizer(n_wolves=4, n_iterations=3, random_state=1), [-1.0] * 2, [1.0] * 2)
run.tell([sphere(x) for x in run.ask()])
points = run.ask()
child = os.fork()
if child == 0:  # every use of the parent's run is refused; the exit does not wait for its thread
    for use in (run.ask, lambda: run.tell([1.0] * len(points)), lambda: run.done, run.stop, run.close,
                run.__reduce__):
        try:
            use()
            print("used")
        except RuntimeError as exc:
            print("forked child" in str(exc))
    sys.exit(0)
assert os.waitpid(child, 0)[1] == 0
run.tell([sphere(x) for x in points])  # the parent's run goes on
while not run.done:
    run.tell([sphere(x) for x in run.ask()])
plain = GreyWolfOptimizer(n_wolves=4, n_iterations=3, random_state=1)
plain.fit(sphere, [-1.0] * 2, [1.0] * 2)
print(run.optimizer.score() == plain.score())
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork here")
def test_a_forked_child_cannot_use_the_parents_run():
    import subprocess
    import sys
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", FORKED], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.split() == ["True"] * 7, done.stdout + done.stderr


def test_stop_is_a_monitor_stop():
    # stopped after g groups were told, the search asks on until the first boundary after the
    # next group: where a Monitor's budget of the points of those g + 1 groups stops it
    cls = swarmix.DifferentialEvolution
    _, lower, upper = fit_args(cls)
    sizes = []

    def stop_at(run, n, points):
        sizes.append(len(points))
        if n == 2:  # the initial population's boundary has passed
            run.stop()

    result = []
    # driven from another thread, pickled after the stop
    thread = threading.Thread(target=lambda: result.append(
        drive(AskTell(make(cls, 8), lower, upper), sphere, pickle_at=3, before_tell=stop_at)[0]))
    thread.start()
    thread.join()
    monitor = Monitor(sphere, max_evaluations=sum(sizes[:3]))
    plain = make(cls, 8)
    plain.fit(monitor, lower, upper)
    assert monitor.stop_reason == "max_evaluations" and len(sizes) > 4 and monitor.n_evaluations == sum(sizes)
    assert state(result[0].optimizer) == state(plain)


def test_ctrl_c_while_the_fit_reads_the_values_reaches_the_caller():
    class Interrupting:
        def __init__(self, value):
            self.value = value

        def __float__(self):  # read by the fit, in the run's thread
            os.kill(os.getpid(), signal.SIGINT)
            return self.value

    cls = swarmix.GreyWolfOptimizer
    _, lower, upper = fit_args(cls)
    plain = make(cls, 2)
    plain.fit(sphere, lower, upper)
    run = AskTell(make(cls, 2), lower, upper)
    run.tell(values_of(sphere, run.ask()))
    values = values_of(sphere, run.ask())
    values[1] = Interrupting(values[1])
    with pytest.raises(KeyboardInterrupt):
        run.tell(values)
    run, _, _ = drive(run, sphere)  # the told values went over: the run goes on
    assert state(run.optimizer) == state(plain)


def test_closed_and_forgotten_runs_leave_no_thread():
    obj = make(swarmix.MopsoOptimizer, 5)
    _, lower, upper = fit_args(swarmix.MopsoOptimizer)
    obj.fit(flaky_vector, lower, upper)
    before = state(obj)
    run = AskTell(obj, lower, upper)
    for _ in range(3):
        run.tell(values_of(flaky_vector, run.ask()))
    run.close()
    assert workers() == [] and run.done and state(obj) == before
    with pytest.raises(RuntimeError, match="the run is closed"):
        run.ask()
    with pytest.raises(RuntimeError, match="cannot be pickled"):
        pickle.dumps(run)

    # told exceptions carry the frame where the run lives: the fit must not keep them
    def forget():
        run = AskTell(obj, lower, upper)
        run.tell(values_of(flaky_vector, run.ask()))
        for _ in range(3):
            try:
                raise KeyError("x")
            except KeyError as exc:
                run.tell([exc] * len(run.ask()))
        run.ask()
        assert len(workers()) == 1
    forget()
    gc.collect()
    assert workers() == [] and state(obj) == before
