"""Absurd sizes (counts near 2^64, a population times the dimensions beyond the address
space) end a fit at once with MemoryError or ValueError: never a hang, never an abort, never
memory eaten on the way. A count that only sets how long a loop runs (iterations, steps) may
start a long fit (or a short one, where the search ends by itself first, as a restarting
search on a sphere does: how long depends on the machine's load), which must stay
interruptible and flat in memory.

The cases run in a child process under a cap on its address space, each with an alarm that
interrupts it, so that a failing class cannot take the test run or the machine down."""

import json
import os
import subprocess
import sys

import pytest

from estimators import CLASSES, SANITIZED, counts, is_tour, small_kwargs

pytestmark = pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts on impossible requests")

HUGE = [2**64 - 1, 2**63]
ALARM = 0.1  # seconds a fit may run before the alarm interrupts it
MAX_GROWTH = 256 * 1024  # KiB of peak memory that one case may add

CHILD = r"""
import json, resource, signal, sys, time
sys.path.insert(0, sys.argv[1])
import estimators as e
cap = 3 << 30
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

class Alarm(BaseException):
    pass

armed = []

def ring(signum, frame):
    if armed:  # once per case, and never after it
        armed.clear()
        raise Alarm()

signal.signal(signal.SIGALRM, ring)
for name, kwargs, dims in json.loads(sys.stdin.read()):
    print(json.dumps({"start": [name, kwargs, dims]}), flush=True)
    cls = getattr(e._swarmix, name)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.monotonic()
    outcome = "running"
    armed.append(1)
    signal.setitimer(signal.ITIMER_REAL, float(sys.argv[2]))
    try:
        try:
            obj = cls(**kwargs, random_state=1)
            if e.is_tour(cls):
                obj.fit(e.MATRIX)
            else:
                obj.fit(e.two_sphere if e.is_multi(cls) else e.sphere, [-1.0] * dims, [1.0] * dims)
            outcome = "ok"
        except Alarm:
            pass
        except BaseException as x:
            outcome = type(x).__name__ + ": " + str(x)
    except Alarm:  # it rang while the outcome was being written down
        pass
    finally:
        armed.clear()
        signal.setitimer(signal.ITIMER_REAL, 0)
    print(json.dumps({"outcome": outcome, "seconds": time.monotonic() - start,
                      "growth": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak}), flush=True)
"""


def is_loop_count(name):
    return "iterations" in name or "evaluations" in name or name.endswith("_steps")


def cases(cls):
    for name in counts(cls):
        for value in HUGE[:1] if is_loop_count(name) else HUGE:
            yield [cls.__name__, {**small_kwargs(cls), name: value}, 3]
    if not is_tour(cls):
        size = next((n for n in counts(cls) if not is_loop_count(n)), None)
        if size:  # the population fits in a machine word, population times dimensions does not
            yield [cls.__name__, {**small_kwargs(cls), size: 2**62}, 8]
            yield [cls.__name__, {**small_kwargs(cls), size: (2**64 - 1) // 3}, 4]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_absurd_sizes(cls):
    todo = list(cases(cls))
    child = subprocess.run([sys.executable, "-c", CHILD, os.path.dirname(__file__), str(ALARM)],
                           input=json.dumps(todo), capture_output=True, text=True, timeout=60)
    lines = [json.loads(line) for line in child.stdout.splitlines()]
    started = [line["start"] for line in lines if "start" in line]
    results = [line for line in lines if "outcome" in line]
    assert child.returncode == 0 and len(results) == len(todo), (
        f"the child died (status {child.returncode}) in case {started[-1] if started else None}: "
        f"{child.stderr[-2000:]}")
    for (name, kwargs, dims), result in zip(todo, results):
        case = f"{name}({kwargs}) in {dims} dimensions: {result}"
        outcome = result["outcome"]
        grown = next(k for k, v in kwargs.items() if isinstance(v, int) and v > 2**32)
        assert (outcome.startswith(("MemoryError", "ValueError: Invalid input: ")) or outcome == "ok"
                or (outcome == "running" and is_loop_count(grown))), case
        assert result["seconds"] < 2 and result["growth"] < MAX_GROWTH, case
