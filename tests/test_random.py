"""The random source against reference draws, and the decimal text of doubles."""

import decimal
import json
import math
import pathlib
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from swarmix import _testing

VECTORS = json.loads((pathlib.Path(__file__).parent / "data" / "rng_vectors.json").read_text())["cases"]
IDS = [c["seed"] for c in VECTORS]


def hexbits(x):
    return "%016x" % struct.unpack("<Q", struct.pack("<d", x))[0]


@pytest.mark.parametrize("case", VECTORS, ids=IDS)
def test_word_streams(case):
    seed = int(case["seed"])
    u32 = case["u32"]
    assert _testing.rng(seed, [("u32",)] * len(u32)) == u32
    assert _testing.rng(seed, [("u64",)] * len(case["u64"])) == case["u64"]
    # one word left before a refill: it is the low half of the next u64
    got = _testing.rng(seed, [("u32",)] * 63 + [("u64",)] * len(case["u64_after_63_u32"]))
    assert got[63:] == case["u64_after_63_u32"]
    assert [hexbits(v) for v in _testing.rng(seed, [("u01",)] * len(case["u01_bits"]))] == case["u01_bits"]
    assert [hexbits(v) for v in _testing.rng(seed, [("n01",)] * len(case["n01_bits"]))] == case["n01_bits"]


@pytest.mark.parametrize("case", VECTORS, ids=IDS)
def test_index_draws(case):
    seed = int(case["seed"])
    for kind in ("index", "index32"):
        for entry in case[kind]:
            n = int(entry["n"])
            got = _testing.rng(seed, [(kind, n)] * len(entry["draws"]) + [("u32",)])
            assert got[:-1] == entry["draws"], (kind, n)
            assert got[-1] == entry["next_u32_after"], (kind, n)
    for entry in case["choose"]:
        assert _testing.rng(seed, [("choose", entry["k"])] * len(entry["draws"])) == entry["draws"]
    for entry in case["shuffle"]:
        got = _testing.rng(seed, [("shuffle", entry["m"]), ("u32",)])
        assert got == [entry["result"], entry["next_u32_after"]]


def test_streams_differ_and_repeat():
    a = _testing.rng(0, [("u32",)] * 8)
    assert a == _testing.rng(0, [("u32",)] * 8)
    assert a != _testing.rng(1, [("u32",)] * 8)
    assert any(a)  # seed 0 does not give a zero key
    # long streams cross many refills without repeating a block
    words = _testing.rng(3, [("u32",)] * 4096)
    blocks = {tuple(words[i:i + 16]) for i in range(0, 4096, 16)}
    assert len(blocks) == 256


def test_power_of_two_index_rejects_top_bit():
    # I(1) returns 0 but consumes every u64 whose top bit is set
    u64 = _testing.rng(5, [("u64",)] * 20)
    consumed = next(i for i, v in enumerate(u64) if v < 2**63) + 1
    got = _testing.rng(5, [("index", 1)] + [("u64",)])
    assert got == [0, u64[consumed]]


def test_empty_range_is_internal_error():
    with pytest.raises(RuntimeError, match="cannot sample empty range"):
        _testing.rng(1, [("index", 0)])
    with pytest.raises(RuntimeError, match="cannot sample empty range"):
        _testing.rng(1, [("index32", 0)])


def test_entropy_seeds_differ():
    assert _testing.rng(None, [("u64",)] * 4) != _testing.rng(None, [("u64",)] * 4)


@pytest.mark.parametrize("value, text", [
    (2.0, "2"), (100.0, "100"), (-3.0, "-3"), (-0.0, "-0"), (0.0, "0"), (math.nan, "NaN"),
    (math.inf, "inf"), (-math.inf, "-inf"), (0.1, "0.1"), (1e-4, "0.0001"), (0.9, "0.9"),
    (1e21, "1000000000000000000000"), (123456.789, "123456.789"), (2.5e-7, "0.00000025"),
    (0.30000000000000004, "0.30000000000000004"), (5e-324, "0." + "0" * 323 + "5"),
    # large whole numbers: the shortest digits, then zeros (never the exact binary value)
    (1e23, "1" + "0" * 23), (1.7976931348623157e308, "17976931348623157" + "0" * 292),
    (2.0**55, "36028797018963970"), (1.2345678901234568e20, "123456789012345680000"),
    (-9007199254740993.0, "-9007199254740992"),
])
def test_decimal_text(value, text):
    assert _testing.decimal_text(value) == text
    assert float(text) == value or math.isnan(value)


@settings(max_examples=400, derandomize=True, database=None, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_decimal_text_is_shortest_and_positional(value):
    # Python's repr gives the shortest round-trip digits too; Decimal places them.
    assert _testing.decimal_text(value) == format(decimal.Decimal(repr(value)).normalize(), "f")


def test_clamp():
    assert _testing.clamp([0, 0, 0], [1, 1, 1], [math.nan, 7.0, -7.0]) == [0.0, 1.0, 0.0]
    assert _testing.clamp([0.0], [1.0], []) == []
    with pytest.raises(RuntimeError, match="solution has 2 dimensions but bounds have 1"):
        _testing.clamp([0.0], [1.0], [0.5, 0.5])
