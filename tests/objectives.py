"""The objectives that the golden cases name, plus helpers to read and compare results."""

import hashlib
import math
import struct


def sphere(x):
    s = 0.0
    for v in x:
        s = s + v * v
    return s


def rastrigin(x):
    s = 10.0 * len(x)
    for v in x:
        s = s + (v * v - 10.0 * math.cos(2.0 * math.pi * v))
    return s


def rosenbrock(x):
    s = 0.0
    for i in range(len(x) - 1):
        a = x[i + 1] - x[i] * x[i]
        b = 1.0 - x[i]
        s = s + (100.0 * a * a + b * b)
    return s


def shifted_abs(x):
    s = 0.0
    for v in x:
        s = s + abs(v - 0.3)
    return s


def int_valued(x):
    s = 0
    for v in x:
        s = s + int(abs(v) * 3)
    return s


def constant(x):
    return 5.0


def nan_left_half(x):
    if len(x) > 0 and x[0] < 0.0:
        return math.nan
    return sphere(x)


def raise_often(x):
    if len(x) > 0 and math.floor(abs(x[0]) * 1000.0) % 3 == 1:
        raise RuntimeError("objective failed")
    return sphere(x)


def returns_none_often(x):
    if len(x) > 0 and math.floor(abs(x[0]) * 1000.0) % 4 == 2:
        return None
    return rastrigin(x)


def bits_count(x):
    s = 0.0
    for v in x:
        s = s + v
    if len(x) > 0:
        s = s + 2.5 * x[0]
    return s


def bits_target(x):
    s = 0.0
    for i, v in enumerate(x):
        s = s + abs(v - (1.0 if i % 2 == 0 else 0.0))
    return s


def zdt1(x):
    d = len(x)
    f1 = x[0]
    s = 0.0
    for v in x[1:]:
        s = s + v
    g = 1.0 + 9.0 * s / max(d - 1, 1)
    return [f1, g * (1.0 - math.sqrt(f1 / g))]


def schaffer(x):
    f1 = 0.0
    f2 = 0.0
    for v in x:
        f1 = f1 + v * v
        f2 = f2 + (v - 2.0) * (v - 2.0)
    return [f1, f2]


def three_obj(x):
    s = 0.0
    for v in x:
        s = s + (v + 0.5) * (v + 0.5)
    return [sphere(x), shifted_abs(x), s]


def single_obj(x):
    return [sphere(x)]


def vec_fail_often(x):
    if math.floor(abs(x[0]) * 1000.0) % 3 == 1:
        raise ValueError("objective failed")
    return schaffer(x)


def vec_nan_sometimes(x):
    r = schaffer(x)
    if x[0] < -0.5:
        r[1] = math.nan
    return r


OBJECTIVES = {f.__name__: f for f in [
    sphere, rastrigin, rosenbrock, shifted_abs, int_valued, constant, nan_left_half, raise_often,
    returns_none_often, bits_count, bits_target, zdt1, schaffer, three_obj, single_obj, vec_fail_often,
    vec_nan_sometimes]}


class Recorder:
    """Wraps an objective, counting calls and hashing every position handed to it."""

    def __init__(self, f):
        self.f = f
        self.n_calls = 0
        self.digest = hashlib.sha256()

    def __call__(self, x):
        self.n_calls += 1
        self.digest.update(b"|".join(struct.pack("<d", v) for v in x) + b"\n")
        return self.f(x)


def bits(value):
    """The "f:<hex>" text of a float."""
    return "f:%016x" % struct.unpack("<Q", struct.pack("<d", float(value)))[0]


def encode(value):
    """Encode a result the way the golden files write it (floats as bit patterns)."""
    if isinstance(value, float):
        return bits(value)
    if isinstance(value, (list, tuple)):
        return [encode(v) for v in value]
    if isinstance(value, dict):
        return {k: encode(v) for k, v in value.items()}
    return value


def failure_kind(x):
    return math.floor(sum(abs(v) * (i + 1.37) for i, v in enumerate(x)) * 1000.0) % 7


def flaky(x):
    """Fails on some points: raises, returns NaN, returns a non-number."""
    k = failure_kind(x)
    if k == 1:
        raise RuntimeError("flaky point")
    if k == 2:
        return math.nan
    if k == 3:
        return "not a number"
    return rastrigin(x)


def flaky_vector(x):
    k = failure_kind(x)
    if k == 1:
        raise RuntimeError("flaky point")
    r = schaffer(x)
    if k == 2:
        r[1] = math.nan
    return r
