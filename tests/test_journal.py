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
from swarmix import _journal_cli as cli, _journal_file as reading, _journal_format as fmt
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
        damage = [w.category for w in caught if "of the objective failed" not in str(w.message)]  # (not flaky's)
        assert damage == [RuntimeWarning] * (2 * torn)
        assert len(calls.points) == full[1] - len(kept.points) + (len(kept.points) > 0)  # + the probe's check
        assert read_journal(path).complete

    # torn inside its preamble or header: no evaluation is recorded, the journal starts over
    for cut in (5, len(fmt.PREAMBLE), len(fmt.PREAMBLE) + 6, header_end - 1):
        path.write_bytes(data[:cut])
        with pytest.warns(RuntimeWarning, match="torn header"), pytest.raises(ValueError, match="empty .its header is torn"):
            read_journal(path)
        calls = Calls(flaky)
        with pytest.warns(RuntimeWarning, match="torn header"):
            assert fit_de(calls, path) == full
        assert len(calls.points) == full[1] and path.read_bytes() == data


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
            warnings.filterwarnings("ignore", r"\d+ evaluations? of the objective failed", RuntimeWarning)  # flaky's
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
    header = data[:20] + bytes([data[20] ^ 1]) + data[21:]
    refused(header, f"damaged at byte {len(fmt.PREAMBLE)}: a damaged header record followed by intact ones")
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
    base = tmp_path_factory.getbasetemp() / data.draw(st.sampled_from(["vector.swj", "runs.swj", "groups.swj"]))
    if not base.exists():
        if base.name == "vector.swj":
            obj = swarmix.Nsga2Optimizer(n_individuals=4, n_iterations=2, random_state=2)
            obj.fit(journaled(flaky_vector, base), [-1.0, 0.0], [1.0, 1.0])
        elif base.name == "groups.swj":  # groups stated, their records last point first
            swarmix.GreyWolfOptimizer(n_wolves=4, n_iterations=2, random_state=2).fit(
                journaled(Reversed(flaky), base), [-1.0, 0.0], [1.0, 1.0])
        else:  # runs of rows, then space reserved past them
            swarmix.ParticleSwarm(n_particles=4, n_iterations=3, random_state=2).fit(
                journaled(flaky, base, sync="none"), [-1.0, 0.0], [1.0, 1.0])
            base.write_bytes(base.read_bytes() + bytes(64))
    original = base.read_bytes()
    content = bytearray(original)
    actions = []
    for _ in range(data.draw(st.integers(1, 4))):
        at = data.draw(st.integers(0, len(content)))
        action = data.draw(st.sampled_from(["flip", "insert", "delete", "cut"]))
        actions.append((action, at))
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
    last = len(fmt.PREAMBLE)  # where the last frame starts (reserved zeros follow it)
    while fmt.FRAME.unpack_from(original, last)[0] and last + fmt.FRAME.size + fmt.FRAME.unpack_from(
            original, last)[0] < len(original.rstrip(b"\0")):
        last += fmt.FRAME.size + fmt.FRAME.unpack_from(original, last)[0]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            read_journal(path)
        except ValueError as exc:
            assert "damaged at byte" in str(exc) or "is empty" in str(exc)
            damaged = True
        else:
            damaged = False
            # a changed byte before the last write is damage, never a torn tail
            assert not (actions[0][0] == "flip" and len(actions) == 1 and actions[0][1] < last
                        and bytes(content) != original)
    if damaged and bytes(content):
        out = base.with_name("repaired.swj")
        out.unlink(missing_ok=True)
        if cli.main(["repair", str(path), str(out)]) == 0:  # the valid records, read back whole
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                kept = read_journal(out)
            whole = read_journal(base)
            assert all(point in whole.points for point in kept.points)


def test_the_summary(tmp_path):
    path = tmp_path / "fit.swj"
    fit_de(flaky, path)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run([sys.executable, "-m", "swarmix.journal", str(path)], capture_output=True, text=True,
                          env=env, timeout=60)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert "DifferentialEvolution" in done.stdout and "complete     yes" in done.stdout
    assert done.stdout.splitlines()[-1] == "finished"
    assert cli.main([str(tmp_path / "missing.swj")]) == 1
    shown = subprocess.run([sys.executable, "-m", "swarmix.journal", "--help"], capture_output=True, text=True,
                           env=env, timeout=60).stdout
    assert "repair [-h] PATH OUT" in shown and "commands:\n  repair PATH OUT" in shown


# ---------------------------------------------------------------- the objective checked on resume

OTHER_NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000001))[0]  # a NaN in another lowest bit


def changed(f, scale):
    """``f`` with every value scaled, and its NaN values in another lowest bit: a new objective."""
    def g(x):
        value = f(x)
        if not isinstance(value, float):
            return value
        return OTHER_NAN if math.isnan(value) else value * scale
    return g


@pytest.mark.parametrize("wrap", ["plain", "vectorized"])
def test_a_resume_checks_the_objective_at_the_probe_bit_for_bit(wrap, tmp_path):
    def wrapped(f):
        calls = Calls(f)
        return calls, (calls if wrap == "plain" else vectorized(numpy_style(calls, False)))

    path = tmp_path / "fit.swj"
    full = fit_de(flaky, path)
    data = path.read_bytes()
    next_ulp = 1.0 + 2.0**-52
    assert math.isnan(read_journal(path).values[0])  # the probe's value: OTHER_NAN differs in its lowest bit only
    for cut, made in ((len(data), 1), (frames(data)[5][1], 1)):  # finished, and killed early
        path.write_bytes(data[:cut])
        calls, objective = wrapped(changed(flaky, next_ulp))
        with pytest.raises(ValueError, match=r"gives another value than the journal .* records.*check_objective=False"):
            fit_de(objective, path)
        assert len(calls.points) == made and path.read_bytes() == data[:cut]  # nothing else evaluated or written
        failing = (lambda x: 1 / 0) if wrap == "plain" else vectorized(lambda X: 1 / 0)
        with pytest.raises(ValueError, match="gives another value"):  # a failure where a number is recorded
            fit_de(failing, path)
    # a noisy objective skips the check: the finished journal replays and calls nothing
    path.write_bytes(data)
    calls, objective = wrapped(changed(flaky, next_ulp))
    monitor = Monitor(journaled(objective, path, check_objective=False))
    obj = swarmix.DifferentialEvolution(n_individuals=8, n_iterations=12, random_state=11)
    obj.fit(monitor, [-1.0, -2.0, 0.0], [1.0, 2.0, 0.5])
    assert observed(obj, monitor) == full and calls.points == [] and path.read_bytes() == data


# ---------------------------------------------------------------- how a fit ended

def test_a_stopped_fit_says_why_and_a_resume_past_its_end_is_the_full_fit(tmp_path):
    path = tmp_path / "fit.swj"
    full = fit_de(flaky, tmp_path / "full.swj")
    monitor = Monitor(journaled(flaky, path), max_evaluations=20)
    swarmix.DifferentialEvolution(n_individuals=8, n_iterations=12, random_state=11).fit(
        monitor, [-1.0, -2.0, 0.0], [1.0, 2.0, 0.5])
    stopped = read_journal(path)
    assert (stopped.complete, stopped.stop_reason, stopped.iterations, len(stopped.points)) == (
        True, "max_evaluations", (2, 12), 25)
    assert read_journal(tmp_path / "full.swj").stop_reason is None
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    shown = subprocess.run([sys.executable, "-m", "swarmix.journal", str(path)], capture_output=True, text=True,
                           env=env, timeout=60).stdout
    assert shown.splitlines()[-1] == "stopped early (max_evaluations) after 25 evaluations, 2 of 12 planned iterations"
    assert cli.main([str(tmp_path / "full.swj")]) == 0

    # the same fit without the budget: it goes on past the end record, which stays in the file
    before = path.read_bytes()
    calls = Calls(flaky)
    assert fit_de(calls, path) == full and len(calls.points) == full[1] - 25 + 1  # + the probe's check
    resumed = path.read_bytes()
    assert resumed.startswith(before) and resumed[len(before):].count(b"Z") >= 1
    journal = read_journal(path)
    assert journal.complete and journal.stop_reason is None and journal.points == read_journal(
        tmp_path / "full.swj").points


# ---------------------------------------------------------------- damage, repair

def test_only_damage_inside_the_last_write_is_a_torn_tail_and_repair_keeps_the_valid_prefix(tmp_path, capsys):
    path = tmp_path / "fit.swj"
    full = fit_de(flaky, path)
    data = path.read_bytes()
    spans = frames(data)
    n = full[1]

    def refused(content, match):
        path.write_bytes(content)
        with pytest.raises(ValueError, match=match):
            read_journal(path)
        with pytest.raises(ValueError, match=match):
            fit_de(Calls(flaky), path)
        assert path.read_bytes() == content

    first = spans[1][0]  # the first record's length: a flipped bit anywhere in it is damage, never a torn tail
    for bit in (0, 9, 31):
        at = first + bit // 8
        refused(data[:at] + bytes([data[at] ^ (1 << bit % 8)]) + data[at + 1:], f"damaged at byte {first}: ")
    far = fmt.frame(fmt.evaluation_payload(2**40, bytes(1), bytes(24), bytes(8), []))  # index 2**40, checksum valid
    refused(data + far, f"damaged at byte {len(data)}: evaluation {2**40} recorded after only {n} evaluations")
    refused(data + data[spans[2][0]:spans[2][1]], f"damaged at byte {len(data)}: an evaluation recorded twice")
    end = fmt.frame(fmt.end_payload(n + 1, None))  # an end record that claims more than was recorded
    refused(data[:spans[-1][0]] + end, f"after {n + 1} evaluations of which {n} are recorded")
    refused(data[:spans[4][0]] + fmt.frame(fmt.end_payload(n, None)) + data[spans[4][0]:], f"after {n} evaluations")

    # repair: the records before the damage, to a new file that resumes to the same fit
    middle = spans[len(spans) // 2]
    damaged = data[:middle[1] - 3] + bytes([data[middle[1] - 3] ^ 1]) + data[middle[1] - 2:]
    path.write_bytes(damaged)
    out = tmp_path / "repaired.swj"
    kept = sum(run.count for run in reading.parse(data[:middle[0]], "prefix").records)
    in_middle = sum(run.count for run in reading.parse(data[:middle[1]], "with").records) - kept
    assert cli.main(["repair", str(path), str(out)]) == 0
    assert capsys.readouterr().out == f"kept {kept} evaluations, dropped {n - kept - in_middle}\n"
    assert out.read_bytes() == data[:middle[0]] and path.read_bytes() == damaged
    assert cli.main(["repair", str(path), str(out)]) == 1  # never over an existing file
    calls = Calls(flaky)
    assert fit_de(calls, out) == full and len(calls.points) == n - kept + 1


@pytest.mark.parametrize("wrap", ["plain", "vectorized"])
def test_a_recorded_point_differing_in_any_bit_is_a_mismatch_and_a_torn_tail_is_cut(wrap, tmp_path):
    def objective():
        calls = Calls(flaky)
        return calls, (calls if wrap == "plain" else vectorized(numpy_style(calls, False)))

    path = tmp_path / "fit.swj"
    full = fit_de(objective()[1], path)
    data = path.read_bytes()
    spans = frames(data)
    start, end = spans[3]
    payload = bytes(data[start + fmt.FRAME.size:end])
    first, at = ((fmt.RUN.unpack_from(payload)[1], fmt.RUN.size) if payload[:1] == b"R" else
                 (fmt.EVALUATIONS.unpack_from(payload)[1], fmt.EVALUATIONS.size + fmt.EVALUATIONS.unpack_from(payload)[2]))
    for coordinate, bit in ((0, 0), (2, 51), (2, 63), (1, 30)):
        changed_payload = bytearray(payload)
        changed_payload[at + 8 * coordinate + bit // 8] ^= 1 << bit % 8
        path.write_bytes(data[:start] + fmt.frame(bytes(changed_payload)) + data[end:])
        calls, wrapped = objective()
        with pytest.raises(ValueError, match=f"evaluation {first} of the fit asks for another point"):
            fit_de(wrapped, path)
        assert len(calls.points) == 1  # the probe's check, then nothing evaluated

    # a torn last write is cut off at the first write of the resumed fit: the journal reads whole again
    cut = spans[-3][0] + 13
    path.write_bytes(data[:cut] + b"\x07" * 4000)  # longer than what the resume writes
    calls, wrapped = objective()
    with pytest.warns(RuntimeWarning, match=f"torn record at byte {spans[-3][0]}"):
        assert fit_de(wrapped, path) == full
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert read_journal(path).points == read_journal(tmp_path / "fit.swj").points and read_journal(path).complete
    assert len(calls.points) == full[1] - len(read_journal_points(data[:spans[-3][0]], tmp_path)) + 1


def read_journal_points(data, tmp_path):
    path = tmp_path / "prefix.swj"
    path.write_bytes(data)
    return read_journal(path).points


# ---------------------------------------------------------------- one rule for each value

class Odd:
    """A group objective whose entries are of every kind the fit reads."""

    def __init__(self, ends_at=None):
        self.calls, self.ends_at = 0, ends_at

    def __swarmix_group__(self, points):
        out = []
        for row in points.tolist():
            self.calls += 1
            if self.calls == self.ends_at:
                out.append(UsageError("a returned error that ends the fit"))
                continue
            kind = int(abs(row[0]) * 1000) % 7
            out.append([row[0] ** 2 + row[1], 1 + 2j, "abc", None, ValueError("bad"), math.nan, 3][kind])
        return out


def test_a_journaled_group_fit_reads_values_by_the_fit_s_own_rules(tmp_path):
    def fit(objective, path=None):
        monitor = Monitor(objective if path is None else journaled(objective, path))
        obj = swarmix.DifferentialEvolution(n_individuals=6, n_iterations=5, random_state=3)
        obj.fit(monitor, [-1.0, -1.0], [1.0, 1.0])
        return state(obj), monitor.n_evaluations, monitor.n_failed, str(monitor.first_error)

    path = tmp_path / "fit.swj"
    plain = fit(Odd())
    assert fit(Odd(), path) == plain and plain[2] > 10
    replayed = Odd()
    assert fit(replayed, path) == plain and replayed.calls == 1
    records = reading.parse(path.read_bytes(), "fit").records
    texts = {(tag, run.texts[j]) for run in records for j, tag in enumerate(run.tags) if tag != fmt.NUMBER}
    assert texts == {(fmt.NOT_A_NUMBER, "must be real number, not str"), (fmt.NOT_A_NUMBER, "must be real number, "
                     "not NoneType"), (fmt.NOT_A_NUMBER, "the objective value is complex: (1+2j)"),
                     (fmt.ERROR, "ValueError: bad")}

    # results the fit refuses whole fail the journaled fit alike, and write no record
    for result in ({1.0}, {0: 1.0}, "1", (v for v in [1.0])):
        group = type("Group", (), {"__swarmix_group__": lambda self, points, r=result: r})()
        other = tmp_path / "refused.swj"
        with pytest.raises(ValueError, match="the group objective returned") as plain_error:
            fit(group)
        with pytest.raises(ValueError, match="the group objective returned") as journaled_error:
            fit(group, other)
        assert str(journaled_error.value) == str(plain_error.value)
        assert len(reading.parse(other.read_bytes(), "refused").records) == 0
        other.unlink()

    # a returned error that ends the fit ends the resumed fit too, evaluated again
    ending = tmp_path / "ending.swj"
    for ends_at, calls in ((20, 21), (2, 3)):  # in a group of 2 points; on resume, after the probe's check
        objective = Odd(ends_at=ends_at)
        with pytest.raises(UsageError, match="a returned error that ends the fit"):
            fit(objective, ending)
        assert len(read_journal(ending).points) == 19 and objective.calls == calls


def test_an_empty_vector_is_recorded_and_read_back(tmp_path):
    def f(x):
        return []  # every row is empty (the first one, the probe's, fixes the length)

    for name, objective in (("plain", f), ("vectorized", vectorized(lambda X: [f(row) for row in X.tolist()]))):
        path = tmp_path / f"{name}.swj"
        obj = swarmix.Nsga2Optimizer(n_individuals=4, n_iterations=3, random_state=2)
        obj.fit(journaled(objective, path), [-1.0, -1.0], [1.0, 1.0])
        fitted = state(obj)
        journal = read_journal(path)
        assert journal.complete and journal.values == [[]] * len(journal.points) and len(journal.points) > 4
        obj.fit(journaled(objective, path), [-1.0, -1.0], [1.0, 1.0])
        assert state(obj) == fitted
        with pytest.raises(ValueError, match="best_points needs a journal of a scalar fit"):
            journal.best_points(2)


def test_best_points_start_a_fit(tmp_path):
    path = tmp_path / "fit.swj"
    fit_de(flaky, path)
    journal = read_journal(path)
    numbers = {struct.pack("<3d", *p): v for p, v in zip(journal.points, journal.values)
               if v is not None and not math.isnan(v)}
    best = journal.best_points(4)
    assert [numbers[struct.pack("<3d", *p)] for p in best] == sorted(numbers.values())[:4]
    assert len(journal.best_points(10**6)) == len(numbers) and journal.best_points(0) == []
    obj = swarmix.DifferentialEvolution(n_individuals=8, n_iterations=2, random_state=1)
    obj.fit(flaky, [-1.0, -2.0, 0.0], [1.0, 2.0, 0.5], initial=best)
    assert obj.score() <= numbers[struct.pack("<3d", *best[0])]


# ---------------------------------------------------------------- one owner of the file and its lock

def held(path):
    """The descriptors of this process open on ``path``."""
    return [fd for fd in os.listdir("/proc/self/fd") if os.path.realpath(f"/proc/self/fd/{fd}") == str(path)]


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="lists open descriptors through /proc")
def test_the_file_and_its_lock_are_released_on_every_path(tmp_path, monkeypatch):
    from swarmix import _journaled

    path = tmp_path / "fit.swj"
    fit_de(flaky, path)
    data = path.read_bytes()

    class Interrupting:  # a wrapper whose start is interrupted
        def __swarmix_start__(self, fit):
            raise KeyboardInterrupt

        def __call__(self, x):
            return flaky(x)

    def raising(error):
        def f(*args, **kwargs):
            raise error
        return f

    faults = [("parse", raising(KeyboardInterrupt)), ("_Session.check_objective", raising(MemoryError)),
              ("_Record.__init__", raising(KeyboardInterrupt)), ("_Session.finish", raising(MemoryError)),
              ("_protocol.stop_of", raising(KeyboardInterrupt)), ("inner", None)]
    for where, fault in faults:
        with monkeypatch.context() as patch:
            if fault is not None:
                owner, _, name = where.rpartition(".")
                patch.setattr(getattr(_journaled, owner) if owner else _journaled, name, fault)
            with pytest.raises((KeyboardInterrupt, MemoryError)):
                fit_de(Interrupting() if fault is None else flaky, path)
        assert held(path) == [], where
        calls = Calls(flaky)
        assert fit_de(calls, path)[1] == 105 and len(calls.points) == 1 and path.read_bytes() == data, where

    # a journal on storage that refuses writing: a finished one replays, an unfinished one cannot resume
    real_open = os.open

    def read_only(file, flags, *args):
        if flags & (os.O_RDWR | os.O_WRONLY):
            raise PermissionError(13, "Read-only storage", file)
        return real_open(file, flags, *args)

    monkeypatch.setattr(os, "open", read_only)
    calls = Calls(flaky)
    assert fit_de(calls, path)[1] == 105 and len(calls.points) == 1
    path.write_bytes(data[:frames(data)[6][1]])
    with pytest.raises(PermissionError):
        fit_de(Calls(flaky), path)
    assert held(path) == [] and path.read_bytes() == data[:frames(data)[6][1]]


FORKING = r"""
import os, sys
import swarmix
from objectives import flaky
from test_groups import Calls

path = sys.argv[1]
said, say = os.pipe()
wait, release = os.pipe()
children = []

def held():
    return [fd for fd in os.listdir("/proc/self/fd") if os.path.realpath(f"/proc/self/fd/{fd}") == path]

def objective(x):
    if not children:
        pid = os.fork()
        if pid == 0:  # the child: says what it holds, and lives until released
            os.write(say, b"held" if held() else b"free")
            os.read(wait, 1)
            os._exit(0)
        children.append(pid)
    return flaky(x)

def fit(f):
    obj = swarmix.DifferentialEvolution(n_individuals=8, n_iterations=3, random_state=11)
    obj.fit(swarmix.journaled(f, path), [-1.0, -2.0, 0.0], [1.0, 2.0, 0.5])
    return obj.score()

try:
    full = fit(objective)
    child_held = os.read(said, 4).decode()
    calls = Calls(flaky)
    replayed = fit(calls)  # the child still lives: the journal is free for the parent
    print(child_held, replayed == full, len(calls.points))
finally:
    os.write(release, b"x")
    for pid in children:
        os.waitpid(pid, 0)
"""


@pytest.mark.skipif(not hasattr(os, "fork") or not os.path.isdir("/proc/self/fd"), reason="forks")
def test_a_forked_child_holds_neither_the_file_nor_its_lock(tmp_path):
    # in a process of its own: a fork must not copy other tests' threads
    package = pathlib.Path(swarmix.__file__).parent.parent
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(package), os.path.dirname(__file__)])}
    done = subprocess.run([sys.executable, "-c", FORKING, str(tmp_path / "fit.swj")], capture_output=True,
                          text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "free True 1\n"


def test_swarmix_imports_and_fails_clearly_without_file_locks(tmp_path):
    script = f"""
import sys
sys.modules["fcntl"] = None  # as on Windows
import swarmix
obj = swarmix.ParticleSwarm(n_iterations=2, random_state=1)
obj.fit(lambda x: x[0] ** 2, [-1.0], [1.0])
try:
    obj.fit(swarmix.journaled(lambda x: x[0] ** 2, {str(tmp_path / "fit.swj")!r}), [-1.0], [1.0])
except OSError as exc:
    print(exc)
"""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "journals need file locks, which this platform does not provide (no fcntl, no msvcrt)\n"


# ---------------------------------------------------------------- the reader's work: linear in the file

class Counted(bytes):
    """A journal's bytes that tally the bytes the reader's slices and scans of them go through."""

    work = 0

    def __getitem__(self, key):
        out = bytes.__getitem__(self, key)
        Counted.work += len(out) if isinstance(key, slice) else 1
        return out

    def scanning(name):
        def method(self, *args):
            Counted.work += len(self) - (args[1] if len(args) > 1 and isinstance(args[1], int) else 0)
            return getattr(bytes, name)(self, *args)
        return method

    count, find, rfind, index, rstrip, strip, translate = map(
        scanning, ["count", "find", "rfind", "index", "rstrip", "strip", "translate"])
    del scanning


class CountedChecksums:
    @staticmethod
    def crc32(data, value=0):
        Counted.work += len(data)
        return __import__("zlib").crc32(data, value)


class CountedKinds:
    def __init__(self, pattern):
        self.pattern = pattern

    def finditer(self, data, pos=0):
        for match in self.pattern.finditer(data, pos):
            Counted.work += match.end() - pos
            pos = match.end()
            yield match
        Counted.work += len(data) - pos


def crafted(header, size):
    """``header`` (of a 1-D scalar fit), a damaged frame, then every 16 bytes a frame of rows whose
    length reaches the end of the file and whose checksum fails: a search that checked each would
    checksum the file's size squared over 32 bytes."""
    units = (size - len(header)) // 16
    body = b"".join(fmt.FRAME.pack((units - i) * 16 + 1 - fmt.FRAME.size, 0) + b"R" + bytes(7) for i in range(units))
    return header + fmt.FRAME.pack(1 << 30, 1) + body + b"\1"


def test_reading_and_repair_work_in_proportion_to_the_file(tmp_path, monkeypatch):
    monkeypatch.setattr(reading, "zlib", CountedChecksums)
    monkeypatch.setattr(reading, "KIND_BYTES", CountedKinds(reading.KIND_BYTES))

    def work(fn, data):
        Counted.work = 0
        fn(Counted(data), "counted")
        return Counted.work

    group = vectorized(lambda X: X[:, 0] * X[:, 0])  # one evaluation record per group of about 4 points
    for n in (2_000, 8_000):
        path = tmp_path / f"{n}.swj"
        swarmix.DifferentialEvolution(n_individuals=40, n_iterations=n // 40 - 1, random_state=1).fit(
            journaled(group, path, sync="none"), [-5.0] * 10, [5.0] * 10)
        data = path.read_bytes()
        assert len(reading.parse(data, "x").records) > n // 5
        assert work(reading.parse, data) <= 4 * len(data)
        assert work(reading.salvage, data) <= 4 * len(data) and reading.salvage(data, "x")[1] == 0

    path = tmp_path / "small.swj"
    swarmix.ParticleSwarm(n_particles=2, n_iterations=1, random_state=1).fit(journaled(flaky, path), [0.0], [1.0])
    data = path.read_bytes()
    header = data[:frames(data)[0][1]]
    for size in (20_000, 80_000):  # the checksums stop at twice the file: damage, the header kept
        content = crafted(header, size)
        with pytest.raises(ValueError, match=f"damaged at byte {len(header)}: .* more frame-like bytes"):
            reading.parse(content, "crafted")
        assert work(reading.salvage, content) <= 4 * len(content) + (1 << 17)
        assert reading.salvage(content, "crafted")[0].end == len(header)


# ---------------------------------------------------------------- groups recorded in any order

class Reversed:
    """A group objective that reports each group's points last first; in group number ``stop_at``
    it reports all but the first point and then fails the fit (as a process killed there)."""

    __swarmix_reports__ = True

    def __init__(self, f, stop_at=None):
        self.f, self.stop_at, self.sizes = f, stop_at, []

    def __swarmix_group__(self, points, report=None):
        rows = points.tolist()
        self.sizes.append(len(rows))
        results = [None] * len(rows)
        for i in reversed(range(len(rows))):
            if len(self.sizes) - 1 == self.stop_at and i == 0:
                raise swarmix._errors.fails_fit(RuntimeError("killed"))
            try:
                results[i] = self.f(rows[i])
            except Exception as exc:  # noqa: BLE001
                results[i] = exc
            if report is not None:
                report(i, results[i])
        return results


@pytest.mark.parametrize("cls", OBJECTIVE_CLASSES, ids=lambda c: c.__name__)
def test_each_class_s_largest_group_recorded_last_point_first_reads_and_resumes(cls, tmp_path):
    f = flaky_vector if is_multi(cls) else flaky
    _, lower, upper = fit_args(cls)

    def make():
        return cls(**small_kwargs(cls, size=30, iterations=3, other=2), random_state=4)

    plain, sizes = make(), Reversed(f)
    plain.fit(sizes, lower, upper)
    largest = max(range(len(sizes.sizes)), key=sizes.sizes.__getitem__)
    path = tmp_path / "fit.swj"
    with pytest.raises(RuntimeError, match="killed"):
        make().fit(journaled(Reversed(f, stop_at=largest), path), lower, upper)
    recorded = sum(sizes.sizes[:largest + 1]) - 1  # all but the largest group's first point
    assert len(read_journal(path).points) == recorded
    calls, resumed = Calls(f), make()
    resumed.fit(journaled(calls, path), lower, upper)
    assert state(resumed) == state(plain)
    assert len(calls.points) == (recorded > 0) + sum(sizes.sizes) - recorded  # + the probe's check
    assert read_journal(path).complete


def test_a_version_1_journal_reads_replays_and_resumes(tmp_path):
    # written before groups were stated: records past those before them (a group recorded last point
    # first, killed before its first), then runs of a fit stopped after 25 evaluations
    path = tmp_path / "fit.swj"
    data = (pathlib.Path(__file__).parent / "data" / "journal-v1.swj").read_bytes()
    path.write_bytes(data)
    old = read_journal(path)
    full = fit_de(flaky, tmp_path / "full.swj")
    assert old.complete and old.stop_reason == "max_evaluations" and len(old.points) == 25
    assert (old.n_constraints, old.n_equalities, old.integer) == (0, 0, None)  # written before they existed
    assert old.points == read_journal(tmp_path / "full.swj").points[:25]
    calls = Calls(flaky)
    assert fit_de(calls, path) == full and len(calls.points) == full[1] - 25 + 1
    resumed = path.read_bytes()
    assert resumed.startswith(data) and read_journal(path).points == read_journal(tmp_path / "full.swj").points
    calls = Calls(flaky)
    assert fit_de(calls, path) == full and len(calls.points) == 1 and path.read_bytes() == resumed
