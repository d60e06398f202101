"""The journal's native writer: space reserved in growing chunks through a mapping, cut at the
end of the records; a full disk met in a few reservations; every value the fit accepts recorded."""

import errno
import os
import struct
import subprocess
import pathlib
import sys

import swarmix
from estimators import state
from swarmix import Monitor, journaled, read_journal
from swarmix import _journal_format as fmt
from objectives import flaky
from test_journal import frames

FIRST_CHUNK = 1 << 16  # the first reservation; each next one doubles


def de_fit(objective, iterations=400):
    monitor = Monitor(objective)
    obj = swarmix.DifferentialEvolution(n_individuals=20, n_iterations=iterations, random_state=2)
    obj.fit(monitor, [-1.0] * 20, [1.0] * 20)
    return state(obj), monitor.n_evaluations, monitor.n_failed


def test_a_mapped_journal_over_a_mebibyte_grows_by_doubling_chunks_and_ends_at_its_records(tmp_path):
    mapped = tmp_path / "mapped.swj"
    sizes, calls = [], []

    def watched(x):  # the file's length as each evaluation starts
        sizes.append(mapped.stat().st_size)
        return flaky(x)

    plain = de_fit(flaky)
    assert de_fit(journaled(watched, mapped, sync="none")) == plain
    data = mapped.read_bytes()
    assert len(data) > 1 << 20
    # cut to its records at close: the last frame is the end record and nothing follows it
    assert data.endswith(fmt.frame(fmt.END.pack(b"Z", plain[1]))) and frames(data)[-1][1] == len(data)
    # one length per reservation: the header's, then chunks of 64 KiB, 128 KiB, 256 KiB, ...
    header = sizes[0]
    seen = sorted(set(sizes))
    assert seen == [header + FIRST_CHUNK * (2**k - 1) for k in range(len(seen))] and seen[-2] < len(data) < seen[-1]
    assert len(seen) == 6  # 64 KiB to 1 MiB, then 2 MiB holds the rest
    # every record reads back: the replay compares each point bit for bit and calls only the
    # objective's check at the probe
    assert de_fit(journaled(lambda x: calls.append(1) or flaky(x), mapped)) == plain and calls == [1]
    assert len(read_journal(mapped).points) == plain[1] and mapped.read_bytes() == data


FULL = """
import os, resource, signal, sys
import swarmix
from objectives import flaky
path, limit = sys.argv[1], int(sys.argv[2])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))  # the disk is full at limit bytes
sizes = set()
def watched(x):
    sizes.add(os.stat(path).st_size)
    return flaky(x)
obj = swarmix.DifferentialEvolution(n_individuals=20, n_iterations=400, random_state=2)
try:
    obj.fit(swarmix.journaled(watched, path, sync="none"), [-1.0] * 20, [1.0] * 20)
except OSError as exc:
    print(exc.errno, len(sizes), os.stat(path).st_size)
"""


def test_a_full_disk_is_met_in_a_few_reservations_and_what_fitted_resumes(tmp_path):
    path, limit = tmp_path / "fit.swj", 200_000
    package = pathlib.Path(swarmix.__file__).parent.parent
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(package), os.path.dirname(__file__)])}
    done = subprocess.run([sys.executable, "-c", FULL, str(path), str(limit)], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr  # an OSError, never a fault in a store
    code, lengths, size = map(int, done.stdout.split())
    recorded = len(read_journal(path).points)
    # the space was used up to the last record that fits (a row is 168 bytes, a failure's
    # record under 300), yet the file took few lengths: never one reservation per row
    assert code == errno.EFBIG and limit - 300 < size <= limit and recorded > 1000 and lengths <= 16
    calls = []
    assert de_fit(journaled(lambda x: calls.append(1) or flaky(x), path, sync="none")) == de_fit(flaky)
    assert len(calls) == de_fit(flaky)[1] - recorded + 1  # and the objective's check at the probe


def no_values(x):
    return []  # every row is empty (the first one, the probe's, fixes the length)


def test_an_empty_vector_is_recorded_and_replays(tmp_path):
    path = tmp_path / "fit.swj"

    def fit(objective):
        monitor = Monitor(objective)
        obj = swarmix.Nsga2Optimizer(n_individuals=8, n_iterations=4, random_state=1)
        obj.fit(monitor, [-1.0, -1.0], [1.0, 1.0])
        return state(obj), monitor.n_evaluations, monitor.n_failed

    plain = fit(no_values)
    assert fit(journaled(no_values, path)) == plain
    data = path.read_bytes()
    # an evaluation that gave [] is a number (outcome 0) with no values: a count of 0
    empties = [start for start, end in frames(data) if end - start == fmt.FRAME.size + 13 + 1 + 16 + 4
               and data[start + fmt.FRAME.size] == ord("E")]
    assert len(empties) == plain[1] and all(data[s + 8 + 13] == fmt.NUMBER and data[s + 8 + 30:s + 8 + 34] == bytes(4)
                                            for s in empties)
    journal = read_journal(path)
    assert journal.values == [[]] * len(empties)
    calls = []
    assert fit(journaled(lambda x: calls.append(1) or no_values(x), path)) == plain and calls == [1]
