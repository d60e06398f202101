"""The journal's file format, stated once on the Python side (docs/journal.md describes it).

    preamble  b"SWXJ\r\n\x1a\n", then the format version (u32)
    frames    u32 payload length, u32 CRC-32 (zlib) of the payload, payload

All integers are unsigned little-endian, all floats IEEE doubles, little-endian, bit for bit.
The payload's first byte is its kind:

    H  header      b"H" + UTF-8 JSON (HEADER_KEYS; floats as float.hex texts; a journal written
                   before LATER_KEYS existed lacks them)
    E  evaluations b"E", u64 first index, u32 count; count outcome bytes; count points
                   (d doubles each); scalar: count doubles (0.0 for a failure), vector: count
                   u32 lengths (0 for a failure), then all values; per failure u32 length +
                   UTF-8 text
    R  run         b"R", u64 first index; rows of d doubles (the point) + one double (the value)
    Z  end         b"Z", u64 evaluations; a fit that was stopped adds u64 completed iterations,
                   u64 planned iterations and its stop reason (UTF-8)
    G  group       b"G", u64 first index, u32 count: the fit asked for these evaluations as one
                   group, whose records may follow in any order

A zero frame header (length 0, checksum 0) starts space reserved past the records. Version 1
files have no group records (their reader bounds a record's index by version1_gap).
"""

from __future__ import annotations

import json
import struct
import sys
import zlib
from array import array
from typing import Any

MAGIC = b"SWXJ\r\n\x1a\n"
VERSION = 2
VERSIONS = (1, VERSION)  # the versions this swarmix reads
PREAMBLE = MAGIC + struct.pack("<I", VERSION)
FRAME = struct.Struct("<II")  # payload length, CRC-32 of the payload
EVALUATIONS = struct.Struct("<cQI")  # b"E", index of the first evaluation, count
RUN = struct.Struct("<cQ")  # b"R", index of the first evaluation; then rows of point and value
END = struct.Struct("<cQ")  # b"Z", evaluations made by the fit
STOPPED = struct.Struct("<QQ")  # after END when the fit was stopped: completed and planned iterations, then the reason
GROUP = struct.Struct("<cQI")  # b"G", index of the group's first evaluation, its number of evaluations
LENGTHS = "I"  # per evaluation of a vector objective: its number of values

# What an evaluation gave: a number (a list of numbers for a vector objective), an error
# raised or returned by the objective, or a result that is not a number.
NUMBER, ERROR, NOT_A_NUMBER = 0, 1, 2
OUTCOMES = bytes([NUMBER, ERROR, NOT_A_NUMBER])
NOT_RECORDED = 255  # in the native recorder's table of recorded indices

# When the file is also flushed to the disk (the native recorder's codes): never, after every
# evaluation, after every group.
SYNC_NONE, SYNC_POINT, SYNC_GROUP = 0, 1, 2
SYNCS = {"none": SYNC_NONE, "point": SYNC_POINT, "group": SYNC_GROUP}

def version1_gap(params: dict[str, Any], recorded: int) -> int:
    """How far past the ``recorded`` evaluations recorded before it a record of a version 1 file
    may start. Those files state no groups, so the bound was taken from the fit: 8 times its
    largest integral hyperparameter plus 1024, plus twice what was recorded before."""
    integral = [v for v in params.values() if isinstance(v, float) and v.is_integer() and 0 <= v < 2**53]
    return 8 * int(max(integral, default=0)) + 1024 + 2 * recorded


# The Windows lock: one byte far past any journal's data, locked without waiting.
WINDOWS_LOCK_OFFSET = 1 << 62

HEADER_KEYS = ("class", "params", "random_state", "lower", "upper", "kind", "initial", "version", "n_constraints",
               "n_equalities", "integer")
# The keys a journal written before constraints and integer coordinates lacks, and what they read as.
LATER_KEYS = {"n_constraints": 0, "n_equalities": 0, "integer": None}
LITTLE = sys.byteorder == "little"


def doubles(data: bytes | memoryview) -> array[float]:
    """Little-endian doubles as an array of native ones."""
    values = array("d")
    values.frombytes(data)
    if not LITTLE:
        values.byteswap()
    return values


def little(values: array[float]) -> bytes:
    """An array of doubles as little-endian bytes."""
    if LITTLE:
        return values.tobytes()
    swapped = array("d", values)
    swapped.byteswap()
    return swapped.tobytes()


def frame(payload: bytes) -> bytes:
    return FRAME.pack(len(payload), zlib.crc32(payload)) + payload


def header_payload(fit: dict[str, Any], version: str) -> bytes:
    """The header record of a fit described as ``__swarmix_start__`` receives it."""
    return b"H" + json.dumps(describe(fit, version), sort_keys=True).encode()


def describe(fit: dict[str, Any], version: str) -> dict[str, Any]:
    """The header's fields: floats as exact hexadecimal text."""
    return {
        "class": fit["class"],
        "params": {name: param_text(value) for name, value in fit["params"].items()},
        "random_state": fit["random_state"],
        "lower": [float(v).hex() for v in fit["lower"]],
        "upper": [float(v).hex() for v in fit["upper"]],
        "kind": fit["kind"],
        "initial": None if fit["initial"] is None else [[float(v).hex() for v in row] for row in fit["initial"]],
        "version": version,
        "n_constraints": fit["n_constraints"],
        "n_equalities": fit["n_equalities"],
        "integer": fit["integer"],
    }


def param_text(value: Any) -> Any:
    """A hyperparameter as the header writes it: None, a float's exact text, or rows of them."""
    if value is None:
        return None
    if isinstance(value, list):
        return [[float(v).hex() for v in row] for row in value]
    return float(value).hex()


def param_value(text: Any) -> Any:
    """A hyperparameter as the header's text gives it back."""
    if text is None:
        return None
    if isinstance(text, list):
        return [[float.fromhex(v) for v in row] for row in text]
    return float.fromhex(text)


def exact(value: Any) -> Any:
    """``value`` with its floats as exact text, to compare headers bit for bit."""
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, list):
        return [exact(v) for v in value]
    if isinstance(value, dict):
        return {k: exact(v) for k, v in value.items()}
    return value


def end_payload(evaluations: int, stop: tuple[str, int, int] | None) -> bytes:
    """An end record: the fit's evaluations, and for a stopped fit its reason and iterations."""
    payload = END.pack(b"Z", evaluations)
    if stop is None:
        return payload
    reason, completed, planned = stop
    return payload + STOPPED.pack(completed, planned) + reason.encode()


def group_payload(first: int, count: int) -> bytes:
    """A group record: the fit asked for evaluations ``first`` to ``first + count - 1`` as one group."""
    return GROUP.pack(b"G", first, count)


def evaluation_payload(first: int, tags: bytes, points: bytes, values: bytes, texts: list[str]) -> bytes:
    """An evaluation record: ``len(tags)`` consecutive evaluations from index ``first``.

    ``points`` and ``values`` are little-endian doubles (for a vector objective ``values``
    starts with one u32 count per evaluation); ``texts`` holds one text per failure.
    """
    parts = [EVALUATIONS.pack(b"E", first, len(tags)), tags, points, values]
    for text in texts:
        encoded = text.encode("utf-8", "backslashreplace")
        parts += [struct.pack("<I", len(encoded)), encoded]
    return b"".join(parts)


class RecordedError(Exception):
    """A failure of the objective as a journal recorded it (replayed in its place).

    ``str(error)`` is the original error's message, ``type_name`` the name of its type.
    """

    def __init__(self, message: str, type_name: str = "Exception") -> None:
        super().__init__(message)
        self.type_name = type_name


class NotANumber:
    """A recorded result that was not a number: converting it (to a number, or to a vector's
    numbers) raises the recorded error."""

    __slots__ = ("message",)

    def __init__(self, message: str) -> None:
        self.message = message

    def __float__(self) -> float:
        raise TypeError(self.message)

    def __getitem__(self, index: int) -> float:
        raise TypeError(self.message)

    def __repr__(self) -> str:
        return f"NotANumber({self.message!r})"


def error_text(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


def replayed(tag: int, text: str) -> Any:
    """What the objective's wrapper hands back for a recorded failure."""
    if tag == NOT_A_NUMBER:
        return NotANumber(text)
    type_name, _, message = text.partition(": ")
    return RecordedError(message, type_name)


class Records:
    """A run of consecutive evaluations as recorded in one frame."""

    __slots__ = ("first", "tags", "points", "numbers", "texts", "offset", "count")

    def __init__(self, first: int, tags: bytes, points: bytes, numbers: Any, texts: list[str | None],
                 offset: int) -> None:
        self.first = first
        self.tags = tags
        self.points = points  # little-endian doubles, one row per evaluation
        self.numbers = numbers  # per evaluation: a float (an array of doubles), or a list of floats for a vector objective
        self.texts = texts  # per evaluation: the failure's text, or None
        self.offset = offset
        self.count = len(tags)
