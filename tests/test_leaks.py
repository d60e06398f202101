"""Thousands of fit / predict / getter cycles, failing ones included, leak nothing: the
reference counts of the objective, its results and the arguments stay put, no allocation that
Python traces to the cycles grows with their number, and the C heap in use grows by no more
than a small bound. Both are measured in processes of their own, where no other test's
objects or threads can allocate during the cycles. Failed allocations in the module's init
and in pickling leave nothing behind."""

import ctypes
import gc
import json
import os
import pathlib
import subprocess
import sys
import tracemalloc

import pytest

from estimators import CLASSES, SANITIZED, TWO_OPT, fit_args, is_multi, is_tour, small

CYCLES = 250  # per class


class Failure(Exception):
    pass


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def c_heap_in_use():
    """Bytes in use in the C heap (glibc), where the core's buffers live; None elsewhere and
    under the sanitizers, whose allocator replaces it."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    mallinfo2.restype = _MallInfo2
    return None if SANITIZED else mallinfo2().uordblks + mallinfo2().hblkhd


def workload(cls):
    """One cycle's worth of calls on a fresh object, and the objects whose counts matter."""
    result = float("0.25")  # one object returned by every call of the objective
    vector = [result, result]
    n = [0]

    def objective(x):
        n[0] += 1
        if n[0] % 7 == 0:
            raise Failure("absorbed by the search")
        if n[0] % 11 == 0:
            return None
        return vector if is_multi(cls) else result

    def failing(x):
        raise Failure("at the probe")

    lower, upper = [-1.0, -2.0, 0.5], [1.0, 2.0, 0.5]
    matrix = fit_args(cls)[0] if is_tour(cls) else None
    watched = [objective, failing, result, vector, lower, upper, Failure] + (matrix or []) + lower

    def cycle():
        obj = small(cls)
        good = (matrix,) if is_tour(cls) else (objective, lower, upper)
        n[0] = 0  # the probe (call 1) succeeds, later calls fail now and then
        obj.fit(*good)
        obj.predict(), obj.score(), obj.get_params(), obj.population_, getattr(obj, "history_", None)
        repr(obj), obj.__reduce__()
        bad = ([[matrix]], [matrix[0]], "ab") if is_tour(cls) else (
            (failing, lower, upper), (objective, upper, lower), (objective, ["x"], upper), (objective, [], []))
        for args in bad:
            try:
                obj.fit(*(args if isinstance(args, tuple) else (args,)))
            except (Failure, TypeError, ValueError):
                pass
        if TWO_OPT is not None and matrix is not None:
            TWO_OPT([0, 2, 1, 3], matrix)
        fresh = type(obj)()
        for read in (fresh.predict, fresh.score):
            try:
                read()
            except ValueError:
                pass

    return cycle, watched


def growth(cycle, cycles=CYCLES):
    """The allocations that grow with the cycles: where (a traceback through this file, where
    the cycles make every allocation, the fits' own included) more blocks are held after each
    of two runs of `cycles // 2` cycles, by at least a quarter of the cycles each time. A leak
    of one object per cycle holds one block more per cycle, whatever its size; a cache filled
    or a buffer grown once does not grow twice. Only this file's tracebacks count, so another
    test's background threads cannot show here."""
    here = [tracemalloc.Filter(True, __file__, all_frames=True)]
    tracemalloc.start(3)
    try:
        snapshots = [tracemalloc.take_snapshot().filter_traces(here)]
        for _ in range(2):
            for _ in range(cycles // 2):
                cycle()
            gc.collect()
            snapshots.append(tracemalloc.take_snapshot().filter_traces(here))
    finally:
        tracemalloc.stop()
    grown = [{s.traceback: s.count_diff for s in later.compare_to(earlier, "traceback") if s.count_diff >= cycles // 4}
             for earlier, later in zip(snapshots, snapshots[1:])]
    return {"\n".join(tb.format()): (grown[0][tb], grown[1][tb]) for tb in grown[0].keys() & grown[1].keys()}


def heap_growth(cls):
    """The C heap's growth over the cycles of `cls` (None where it cannot be read)."""
    cycle, _ = workload(cls)
    for _ in range(50):
        cycle()
    gc.collect()
    heap = c_heap_in_use()
    for _ in range(CYCLES):
        cycle()
    gc.collect()
    return None if heap is None else c_heap_in_use() - heap


def kept(cls):
    """Whether the watched reference counts stay put over the cycles of `cls`, and what grows."""
    cycle, watched = workload(cls)
    for _ in range(50):  # warm up every cache on the way
        cycle()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    grown = growth(cycle)
    return [sys.getrefcount(o) for o in watched] == counts, grown


def injected_leak():
    """What `growth` finds when each cycle keeps one object more."""
    cycle, _ = workload(CLASSES[1])
    kept = []

    def leaking():
        cycle()
        kept.append(float(len(kept)))  # 24 bytes a cycle

    leaking()
    return growth(leaking)


CYCLES_ALONE = """
import json, sys
sys.path.insert(0, sys.argv[1])
import test_leaks
found = {cls.__name__: test_leaks.kept(cls) for cls in test_leaks.CLASSES}
found["injected leak"] = test_leaks.injected_leak()
print(json.dumps(found))
"""


@pytest.fixture(scope="module")
def cycles_alone():
    """Every class's cycles and the injected leak, measured in a process of their own."""
    done = subprocess.run([sys.executable, "-c", CYCLES_ALONE, os.path.dirname(__file__)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_cycles_leak_nothing(cls, cycles_alone):
    counts_kept, grown = cycles_alone[cls.__name__]
    assert counts_kept, "the reference counts of the objective, its results or its arguments changed"
    assert not grown, f"blocks held more after each half of {CYCLES} cycles: {grown}"


HEAP = """
import sys
sys.path.insert(0, sys.argv[1])
import test_leaks
for cls in test_leaks.CLASSES:
    print(cls.__name__, test_leaks.heap_growth(cls))
"""


@pytest.mark.skipif(c_heap_in_use() is None, reason="the C heap in use cannot be read here")
def test_the_c_heap_does_not_grow():
    # In a process of its own: the C heap is shared by every thread, other tests' included.
    done = subprocess.run([sys.executable, "-c", HEAP, os.path.dirname(__file__)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    grown = {name: int(bytes_) for name, bytes_ in (line.split() for line in done.stdout.splitlines())}
    assert len(grown) == len(CLASSES) and all(g < 16 * 1024 for g in grown.values()), grown


def test_a_leak_of_one_object_per_cycle_shows(cycles_alone):
    assert len(cycles_alone["injected leak"]) == 1


ALLOCATION_FAILURES = """
import gc, glob, importlib.util, os, sys
import _testcapi

package, tests = sys.argv[1:]
module_spec = importlib.util.spec_from_file_location("swarmix._swarmix", glob.glob(os.path.join(package, "_swarmix*.so"))[0])
# The k-th allocation of the init fails, for k = 0, 1, ... until an init goes through.
failed = 0
while True:
    _testcapi.set_nomemory(failed, failed + 1)
    try:
        module = importlib.util.module_from_spec(module_spec)
    except (MemoryError, SystemError):
        failed += 1
        gc.collect()  # the types of the failed init go; later ones may take their addresses
        continue
    finally:
        _testcapi.remove_mem_hooks()
    break
assert failed > 100, failed
sys.modules["swarmix._swarmix"] = module
sys.path.insert(0, tests)
from estimators import CLASSES, fitted, params, state

for cls in CLASSES:  # each class is served by its own table
    assert type(cls()) is cls and sorted(cls().get_params()) == sorted(p[0] for p in params(cls)), cls

# The k-th allocation of __reduce__ fails: whatever it had built goes.
objects = [fitted(cls) for cls in CLASSES]
def reduce_failing():
    for obj in objects:
        for k in range(60):
            _testcapi.set_nomemory(k, k + 1)
            try:
                obj.__reduce__()
            except MemoryError:
                pass
            finally:
                _testcapi.remove_mem_hooks()
reduce_failing()
gc.collect()
before = sys.getallocatedblocks()
for _ in range(3):
    reduce_failing()
gc.collect()
assert sys.getallocatedblocks() - before < 50, sys.getallocatedblocks() - before
print("clean")
"""


@pytest.mark.skipif(sys.version_info[:2] == (3, 13), reason=(
    "CPython 3.13's own type creation leaves a corrupt type dict when an allocation fails while it "
    "adds the methods (type_add_method), which the collector then trips on"))
def test_failed_allocations_in_init_and_pickling():
    pytest.importorskip("_testcapi")
    package = pathlib.Path(sys.modules["swarmix._swarmix"].__file__).parent
    done = subprocess.run([sys.executable, "-c", ALLOCATION_FAILURES, str(package), os.path.dirname(__file__)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout == "clean\n", done.stderr
