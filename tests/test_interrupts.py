"""Ctrl-C during a long fit stops it promptly: KeyboardInterrupt propagates and the object
keeps the state of its last successful fit.

While the objective is Python code, a timer thread gets the interpreter lock between two
bytecodes and can send the signal itself. A fit whose evaluations run no bytecode at all (a
tour fit, or a built-in objective such as math.fsum) never lets another Python thread run,
so there the signal has to come from outside the process, as a real Ctrl-C does; the fit
notices it before its next evaluation."""

import math
import os
import signal
import subprocess
import threading
import time

import pytest

from estimators import CLASSES, counts, fit_args, fitted, is_multi, is_tour, small, state

by_class = pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)


ARMED = []


def _on_sigint(signum, frame):
    # Only inside the fit under test: a signal that comes late must not end the test session.
    if ARMED:
        raise KeyboardInterrupt


@pytest.fixture
def sigint_raises_keyboard_interrupt():
    previous = signal.signal(signal.SIGINT, _on_sigint)
    yield
    signal.signal(signal.SIGINT, previous)


def endless(cls):
    """An object whose fit would take many seconds, holding the state of a short fit."""
    obj = small(cls, 5, n_iterations=10**8, **{name: 10**8 for name in counts(cls) if name == "max_restarts"})
    obj.__setstate__(fitted(cls, 5).__reduce__()[2])
    return obj


def interrupted_promptly(obj, args, send):
    before = state(obj)
    start = time.monotonic()
    outcome = "the fit returned"
    ARMED.append(1)
    try:
        send()
        obj.fit(*args)
    except KeyboardInterrupt:
        outcome = "interrupted"
    finally:
        ARMED.clear()
    assert outcome == "interrupted"
    assert time.monotonic() - start < 5
    assert state(obj) == before, "the fit ran to its end: the signal was noticed only afterwards"


@by_class
def test_signal_from_a_timer_thread(cls, sigint_raises_keyboard_interrupt):
    if is_tour(cls):
        pytest.skip("a tour fit runs no bytecode, so no other thread can run during it")
    if cls.__name__ == "GlowwormOptimizer":
        pytest.skip("worms without a brighter neighbour evaluate nothing, so no other thread runs")
    obj = endless(cls)
    timer = threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT))
    try:
        interrupted_promptly(obj, fit_args(cls), timer.start)
    finally:
        timer.cancel()
        timer.join()


@by_class
def test_signal_from_outside_during_a_fit_without_bytecode(cls, sigint_raises_keyboard_interrupt):
    obj = endless(cls)
    args = fit_args(cls, list if is_multi(cls) else math.fsum)
    if is_multi(cls):  # two coordinates: as many values as small()'s reference directions
        args = (args[0], args[1][:2], args[2][:2])
    sender = []
    try:
        interrupted_promptly(obj, args, lambda: sender.append(
            subprocess.Popen(["sh", "-c", f"sleep 0.1; kill -INT {os.getpid()}"])))
    finally:
        sender[0].wait(10)
