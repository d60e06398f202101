"""Journaled fits: recorded, killed, resumed and replayed, always the uninterrupted fit bit for bit."""

import math
import os
import pathlib
import random
import signal
import struct
import subprocess
import sys
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import swarmix
from estimators import CLASSES, fit_args, is_multi, is_tour, small_kwargs, state
from swarmix import Monitor, UsageError, journaled, parallel, read_journal, vectorized
from swarmix import _journal_file as fmt
from objectives import flaky, flaky_vector
from test_groups import Calls, InOrder, numpy_style

OBJECTIVE_CLASSES = [c for c in CLASSES if not is_tour(c)]


def observed(obj, monitor):
    return state(obj), monitor.n_evaluations, monitor.n_failed, str(monitor.first_error), monitor.trace


def run(cls, wrap, path=None, seed=4):
    """A monitored fit of a small ``cls`` through ``wrap``: what it left, and the points evaluated."""
    calls = Calls(flaky_vector if is_multi(cls) else flaky)
    obj = cls(**small_kwargs(cls, size=6, iterations=4, other=2), random_state=seed)
    _, lower, upper = fit_args(cls)
    wrapped = wrap(calls)
    monitor = Monitor(wrapped if path is None else journaled(wrapped, path))
    obj.fit(monitor, lower, upper)
    return observed(obj, monitor), calls.points


@pytest.mark.parametrize("cls", OBJECTIVE_CLASSES, ids=lambda c: c.__name__)
def test_a_journaled_fit_is_the_plain_fit_and_its_rerun_calls_nothing(cls, tmp_path):
    multi = is_multi(cls)
    wraps = {
        "plain": lambda calls: calls,
        "parallel": lambda calls: parallel(calls, InOrder()),
        "vectorized": lambda calls: vectorized(numpy_style(calls, multi)),
    }
    plain = run(cls, lambda calls: calls)
    for name, wrap in wraps.items():
        path = tmp_path / f"{name}.swj"
        live = run(cls, wrap)
        assert live[0][0] == plain[0][0] and live[1] == plain[1]
        assert run(cls, wrap, path) == live, name
        recorded = path.read_bytes()
        assert run(cls, wrap, path) == (live[0], live[1][:1]), name  # replayed: one call, the probe's check
        assert path.read_bytes() == recorded  # and nothing written
    journal = read_journal(tmp_path / "plain.swj")
    assert journal.complete and journal.cls == cls.__name__ and journal.random_state == 4
    assert [struct.pack(f"<{len(p)}d", *p) for p in journal.points] == plain[1]
    # the fit's failures after the probe (whose NaN passes): errors, non-numbers and NaN
    assert sum(e is not None for e in journal.errors[1:]) + sum(
        any(math.isnan(v) for v in (value if multi else [value])) for value in journal.values[1:] if value is not None
    ) == plain[0][2]


# ---------------------------------------------------------------- killed and resumed

CHILD = r"""
import math, os, resource, signal, sys, threading
from concurrent.futures import ThreadPoolExecutor, as_completed
import swarmix
from objectives import flaky

path, counter, mode, kill_at = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
calls = [0]
lock = threading.Lock()

def objective(x):
    with lock:
        calls[0] += 1
        os.write(count_fd, b".")  # survives the kill: the parent counts every call
        if calls[0] == kill_at:
            os.kill(os.getpid(), signal.SIGKILL)
    return flaky(x)

class Reporting:
    # A group objective that reports each point as it completes, from the calling thread.
    __swarmix_reports__ = True

    def __init__(self, pool):
        self.pool = pool

    def __swarmix_group__(self, points, report=None):
        rows = points.tolist()
        futures = {self.pool.submit(objective, row): i for i, row in enumerate(rows)}
        results = [None] * len(rows)
        for future in as_completed(futures):
            i = futures[future]
            try:
                results[i] = future.result()
            except Exception as exc:
                results[i] = exc
            report(i, results[i])
        return results

count_fd = os.open(counter, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
if mode.endswith("-fsize"):  # a disk that fills up at kill_at bytes: writing fails with EFBIG
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (kill_at, resource.RLIM_INFINITY))
    os.close(count_fd)
    count_fd = os.open(os.devnull, os.O_WRONLY)
pool = ThreadPoolExecutor(2) if mode.startswith("pool") else None
inner = Reporting(pool) if pool else objective
monitor = swarmix.Monitor(swarmix.journaled(inner, path, sync="none"))
obj = swarmix.DifferentialEvolution(n_individuals=8, n_iterations=12, random_state=11)
try:
    obj.fit(monitor, [-1.0, -2.0, 0.0], [1.0, 2.0, 0.5])
except OSError as exc:
    print("OSError", exc.errno)
    sys.exit(3)
print(repr((obj.predict(), obj.score(), obj.history_, obj.population_, monitor.n_evaluations, monitor.n_failed,
            str(monitor.first_error), monitor.trace)))
"""


def uninterrupted():
    monitor = Monitor(flaky)
    obj = swarmix.DifferentialEvolution(n_individuals=8, n_iterations=12, random_state=11)
    obj.fit(monitor, [-1.0, -2.0, 0.0], [1.0, 2.0, 0.5])
    return repr((obj.predict(), obj.score(), obj.history_, obj.population_, monitor.n_evaluations,
                 monitor.n_failed, str(monitor.first_error), monitor.trace)), monitor.n_evaluations


def child(tmp_path, mode, kill_at):
    path, counter = tmp_path / "fit.swj", tmp_path / "calls"
    calls_before = counter.stat().st_size if counter.exists() else 0
    package = pathlib.Path(swarmix.__file__).parent.parent
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(package), os.path.dirname(__file__)])}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a torn last record
        before = len(read_journal(path).points) if path.exists() and path.stat().st_size else 0
        done = subprocess.run([sys.executable, "-c", CHILD, str(path), str(counter), mode, str(kill_at)],
                              env=env, capture_output=True, text=True, timeout=120)
        recorded = len(read_journal(path).points) - before
    made = counter.stat().st_size - calls_before if counter.exists() else 0
    return done, recorded, made


def not_a_number_first(x):
    """Fails on some points, first with values that are not numbers."""
    if x[0] > 0.3:
        return "abc"
    if x[0] < -0.5:
        return 1 + 2j if len(x) == 2 else [1.0, "x"]
    return [x[0] * x[0], x[1]] if len(x) == 3 else x[0] * x[0]


@pytest.mark.parametrize("cls", [swarmix.DifferentialEvolution, swarmix.Nsga2Optimizer], ids=lambda c: c.__name__)
def test_a_non_number_replays_as_the_plain_fit_met_it(cls, tmp_path):
    box = ([-1.0] * 2, [1.0] * 2) if cls is swarmix.DifferentialEvolution else ([-1.0] * 3, [1.0] * 3)
    seen = []
    for path in (None, tmp_path / "fit.swj", tmp_path / "fit.swj"):  # plain, recorded, replayed
        monitor = Monitor(not_a_number_first if path is None else journaled(not_a_number_first, path))
        obj = cls(n_iterations=3, random_state=3)
        obj.fit(monitor, *box)
        seen.append((state(obj), monitor.n_failed, repr(monitor.first_error)))
    assert seen[0] == seen[1] == seen[2] and seen[0][1] > 0 and "TypeError" in seen[0][2]


@pytest.mark.parametrize("mode", ["serial", "pool"])
def test_a_fit_killed_again_and_again_resumes_to_the_uninterrupted_fit(mode, tmp_path):
    expected, n = uninterrupted()
    rng = random.Random(mode)
    total_calls = lost = kills = 0
    while True:
        check = int(kills > 0)  # a resume first evaluates the probe again, to check the objective
        done, recorded, made = child(tmp_path, mode, rng.randint(10, 50))
        total_calls += made
        if done.returncode == 0:
            break
        assert done.returncode == -signal.SIGKILL, done.stderr
        kills += 1
        # only evaluations in flight are lost: at most those of the group the kill interrupted
        assert 1 <= made - recorded - check <= 8
        lost += made - recorded - check
    assert kills >= 3 and done.stdout.strip() == expected
    assert total_calls == n + lost + kills  # every other evaluation was made once, each resume checks the probe

    # a complete journal: the rerun replays it whole, calls only the probe's check and writes nothing
    recorded = (tmp_path / "fit.swj").read_bytes()
    done, _, made = child(tmp_path, mode, 2)
    assert done.stdout.strip() == expected and made == 1 and (tmp_path / "fit.swj").read_bytes() == recorded


def test_a_full_disk_fails_the_fit_and_what_was_written_resumes(tmp_path):
    expected, n = uninterrupted()
    done, recorded, _ = child(tmp_path, "serial-fsize", 3000)
    assert done.returncode == 3 and done.stdout.split() == ["OSError", str(__import__("errno").EFBIG)]
    assert 0 < recorded < n
    done, _, made = child(tmp_path, "serial", 0)
    assert done.returncode == 0 and done.stdout.strip() == expected and made == n - recorded + 1


# ---------------------------------------------------------------- damage and mismatches


def fit_de(objective, path, seed=11):
    monitor = Monitor(journaled(objective, path))
    obj = swarmix.DifferentialEvolution(n_individuals=8, n_iterations=12, random_state=seed)
    obj.fit(monitor, [-1.0, -2.0, 0.0], [1.0, 2.0, 0.5])
    return observed(obj, monitor)


def frames(data):
    """(offset, end) of every frame after the preamble."""
    out, offset = [], len(fmt.PREAMBLE)
    while offset < len(data):
        length, _ = fmt.FRAME.unpack_from(data, offset)
        out.append((offset, offset + fmt.FRAME.size + length))
        offset = out[-1][1]
    return out


def test_truncated_journals_resume_to_the_same_fit(tmp_path):
    path = tmp_path / "fit.swj"
    full = fit_de(flaky, path)
    data = path.read_bytes()
    header_end = frames(data)[0][1]
    rng = random.Random(5)
    for cut in [header_end] + [rng.randrange(header_end + 1, len(data)) for _ in range(6)]:
        path.write_bytes(data[:cut])
        calls = Calls(flaky)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            kept = read_journal(path)
            assert fit_de(calls, path) == full
        torn = cut not in {end for _, end in frames(data)}
        assert [w.category for w in caught] == [RuntimeWarning] * (2 * torn)
        assert len(calls.points) == full[1] - len(kept.points) + (len(kept.points) > 0)  # + the probe's check
        assert read_journal(path).complete


def test_reserved_space_ends_the_records_and_a_mapped_journal_records_what_a_written_one_does(tmp_path):
    full = fit_de(flaky, tmp_path / "written.swj")  # plain writes (sync="group")
    data = (tmp_path / "written.swj").read_bytes()
    monitor = Monitor(journaled(flaky, tmp_path / "mapped.swj", sync="none"))  # a mapping of reserved space
    swarmix.DifferentialEvolution(n_individuals=8, n_iterations=12, random_state=11).fit(
        monitor, [-1.0, -2.0, 0.0], [1.0, 2.0, 0.5])
    assert repr(read_journal(tmp_path / "mapped.swj")) == repr(read_journal(tmp_path / "written.swj"))  # NaN values

    path = tmp_path / "fit.swj"
    for reserved in (bytes(5), bytes(5000)):  # what a killed fit leaves past its records
        path.write_bytes(data + reserved)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert repr(read_journal(path)) == repr(read_journal(tmp_path / "written.swj"))
            calls = Calls(flaky)
            assert fit_de(calls, path) == full and len(calls.points) == 1 and path.read_bytes() == data + reserved

    # a frame cut short by the zeros of reserved space, or still behind a zero header, or a row
    # added to a run before the run's header (its first double read as a length of 0): torn
    start, end = frames(data)[-2]
    run_end = next(end for start, end in frames(data) if data[start + fmt.FRAME.size] == ord("R"))
    row = struct.pack("<4d", 0.5, 1.0, 0.25, 2.0)
    for content, torn_at in [(data[:end - 30] + bytes(4000), start),
                             (data[:start] + bytes(8) + data[start + 8:end - 5] + bytes(50), start),
                             (data[:run_end] + row, run_end), (data[:run_end] + row + bytes(99), run_end)]:
        path.write_bytes(content)
        with pytest.warns(RuntimeWarning, match=f"torn record at byte {torn_at}"):
            kept = read_journal(path)
        calls = Calls(flaky)
        with pytest.warns(RuntimeWarning):
            assert fit_de(calls, path) == full
        assert len(calls.points) == full[1] - len(kept.points) + 1 > 1 and path.read_bytes() == data


def test_damaged_or_foreign_journals_are_refused_and_left_as_they_were(tmp_path):
    path = tmp_path / "fit.swj"
    fit_de(flaky, path)
    data = path.read_bytes()
    spans = frames(data)

    def refused(content, match, seed=11, made=0):
        path.write_bytes(content)
        calls = Calls(flaky)
        with pytest.raises(ValueError, match=match):
            fit_de(calls, path, seed)
        assert path.read_bytes() == content and len(calls.points) == made

    middle = spans[len(spans) // 2][0] + 20
    flipped = data[:middle] + bytes([data[middle] ^ 0x10]) + data[middle + 1:]
    refused(flipped, f"damaged at byte {spans[len(spans) // 2][0]}: a damaged record .* followed by intact ones")
    with pytest.raises(ValueError, match=f"damaged at byte {spans[len(spans) // 2][0]}"):
        read_journal(path)
    refused(data[:30], f"damaged at byte {len(fmt.PREAMBLE)}: the header record is cut off")
    refused(b"garbage" * 10, "damaged at byte 0: not a swarmix journal")
    refused(data, r"records another fit: random_state 11 \(this fit: 12\)", seed=12)
    path.write_bytes(data)  # other start points: another fit
    with pytest.raises(ValueError, match=r"records another fit: initial None"):
        swarmix.DifferentialEvolution(n_individuals=8, n_iterations=12, random_state=11).fit(
            journaled(flaky, path), [-1.0, -2.0, 0.0], [1.0, 2.0, 0.5], initial=[0.5, 0.5, 0.25])
    assert path.read_bytes() == data

    # a recorded point that the fit does not ask for: refused with its evaluation index
    start, end = spans[3]
    payload = bytearray(data[start + fmt.FRAME.size:end])
    if payload[:1] == b"R":  # a run: rows of point and value
        _, first = fmt.RUN.unpack_from(payload)
        at = fmt.RUN.size
    else:
        _, first, count = fmt.EVALUATIONS.unpack_from(payload)
        at = fmt.EVALUATIONS.size + count
    payload[at] ^= 0x01  # the first coordinate's lowest bit
    refused(data[:start] + fmt.frame(bytes(payload)) + data[end:], f"evaluation {first} of the fit asks for another",
            made=1)  # the probe's check


def test_a_second_writer_is_refused_and_a_journal_needs_a_seed(tmp_path):
    path = tmp_path / "fit.swj"
    seen = []

    def objective(x):
        if not seen:
            before = path.read_bytes()
            with pytest.raises(UsageError, match="being written by another fit"):
                swarmix.ParticleSwarm(random_state=1).fit(journaled(flaky, path), [0.0], [1.0])
            seen.append(path.read_bytes() == before)
        return flaky(x)
    swarmix.ParticleSwarm(n_iterations=2, random_state=1).fit(journaled(objective, path), [0.0], [1.0])
    assert seen == [True] and read_journal(path).complete
    with pytest.raises(ValueError, match="needs a random_state"):
        swarmix.ParticleSwarm().fit(journaled(flaky, tmp_path / "other.swj"), [0.0], [1.0])
    assert not (tmp_path / "other.swj").exists()


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_read_journal_on_mutated_files_raises_only_value_error(tmp_path_factory, data):
    base = tmp_path_factory.getbasetemp() / data.draw(st.sampled_from(["vector.swj", "runs.swj"]))
    if not base.exists():
        if base.name == "vector.swj":
            obj = swarmix.Nsga2Optimizer(n_individuals=4, n_iterations=2, random_state=2)
            obj.fit(journaled(flaky_vector, base), [-1.0, 0.0], [1.0, 1.0])
        else:  # runs of rows, then space reserved past them
            swarmix.ParticleSwarm(n_particles=4, n_iterations=3, random_state=2).fit(
                journaled(flaky, base, sync="none"), [-1.0, 0.0], [1.0, 1.0])
            base.write_bytes(base.read_bytes() + bytes(64))
    content = bytearray(base.read_bytes())
    for _ in range(data.draw(st.integers(1, 4))):
        at = data.draw(st.integers(0, len(content)))
        action = data.draw(st.sampled_from(["flip", "insert", "delete", "cut"]))
        if action == "flip" and at < len(content):
            content[at] ^= data.draw(st.integers(1, 255))
        elif action == "insert":
            content[at:at] = data.draw(st.binary(min_size=1, max_size=12))
        elif action == "delete":
            del content[at:at + data.draw(st.integers(1, 12))]
        else:
            del content[at:]
    path = base.with_name("mutated.swj")
    path.write_bytes(bytes(content))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            read_journal(path)
        except ValueError as exc:
            assert "damaged at byte" in str(exc) or "is empty" in str(exc)


def test_the_summary(tmp_path):
    path = tmp_path / "fit.swj"
    fit_de(flaky, path)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run([sys.executable, "-m", "swarmix.journal", str(path)], capture_output=True, text=True,
                          env=env, timeout=60)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert "DifferentialEvolution" in done.stdout and "complete     yes" in done.stdout
    assert fmt.main([str(tmp_path / "missing.swj")]) == 1
