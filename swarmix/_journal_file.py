"""Journals of fits: the file format, ``read_journal`` and the summary of ``python -m swarmix.journal PATH``.

A journal (written by ``swarmix.journaled``) records one fit: a header that describes it, then
every evaluation the fit made, then an end record when the fit succeeded. The format is
described in docs/journal.md:

    magic  b"SWXJ\\r\\n\\x1a\\n", then the format version (u32, little-endian)
    frames u32 payload length, u32 CRC-32 of the payload, payload

The first frame is the header ("H" + JSON, floats as exact hexadecimal strings), the others
are evaluation records ("E": consecutive evaluation indices, their points and outcomes), runs
("R": rows of point and value, numbers of a scalar fit) and end records ("Z"). A zero frame
header starts the space a writer reserved past its records. A frame that runs past the end of
the file, a damaged frame followed by nothing but zeros, or a zero header followed by anything
else, is a torn tail (the process died while writing it): it is dropped with a RuntimeWarning.
Any other damage is a ValueError naming its byte offset.
"""

from __future__ import annotations

import json
import math
import os
import struct
import sys
import warnings
import zlib
from array import array
from dataclasses import dataclass, field
from typing import Any

__all__ = ["Journal", "read_journal", "main"]

MAGIC = b"SWXJ\r\n\x1a\n"
VERSION = 1
PREAMBLE = MAGIC + struct.pack("<I", VERSION)
FRAME = struct.Struct("<II")  # payload length, CRC-32 of the payload
EVALUATIONS = struct.Struct("<cQI")  # b"E", index of the first evaluation, count
RUN = struct.Struct("<cQ")  # b"R", index of the first evaluation; then rows of point and value
END = struct.Struct("<cQ")  # b"Z", evaluations made by the fit
LENGTHS = "I"  # per evaluation of a vector objective: its number of values

# What an evaluation gave: a number (a list of numbers for a vector objective), an error
# raised or returned by the objective, or a result that is not a number.
NUMBER, ERROR, NOT_A_NUMBER = 0, 1, 2
OUTCOMES = bytes([NUMBER, ERROR, NOT_A_NUMBER])

HEADER_KEYS = ("class", "params", "random_state", "lower", "upper", "kind", "initial", "version")
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
        "params": {name: None if value is None else float(value).hex() for name, value in fit["params"].items()},
        "random_state": fit["random_state"],
        "lower": [float(v).hex() for v in fit["lower"]],
        "upper": [float(v).hex() for v in fit["upper"]],
        "kind": fit["kind"],
        "initial": None if fit["initial"] is None else [[float(v).hex() for v in row] for row in fit["initial"]],
        "version": version,
    }


def exact(value: Any) -> Any:
    """``value`` with its floats as exact text, to compare headers bit for bit."""
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, list):
        return [exact(v) for v in value]
    if isinstance(value, dict):
        return {k: exact(v) for k, v in value.items()}
    return value


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
    """A recorded result that was not a number: converting it raises the recorded error."""

    __slots__ = ("message",)

    def __init__(self, message: str) -> None:
        self.message = message

    def __float__(self) -> float:
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


@dataclass
class Records:
    """A run of consecutive evaluations as recorded in one frame."""

    first: int
    tags: bytes
    points: bytes  # little-endian doubles, one row per evaluation
    numbers: Any  # per evaluation: a float (an array of doubles), or a list of floats for a vector objective
    texts: list[str | None]  # per evaluation: the failure's text, or None
    offset: int

    @property
    def count(self) -> int:
        return len(self.tags)


@dataclass
class Parsed:
    header: dict[str, Any]
    records: list[Records]
    complete: bool
    end: int  # where the valid data ends (a torn tail starts there)
    torn: bool


class _Reader:
    def __init__(self, data: bytes, name: str) -> None:
        self.data = data
        self.name = name

    def damaged(self, offset: int, what: str) -> ValueError:
        return ValueError(f"the journal {self.name} is damaged at byte {offset}: {what}")

    def parse(self) -> Parsed | None:
        data = self.data
        if not data:
            return None
        if data[: len(MAGIC)] != MAGIC[: len(data)] or len(data) < len(PREAMBLE):
            raise self.damaged(0, "not a swarmix journal" if data[: len(MAGIC)] != MAGIC[: len(data)]
                               else "it ends inside its first bytes")
        (version,) = struct.unpack_from("<I", data, len(MAGIC))
        if version != VERSION:
            raise self.damaged(len(MAGIC), f"format version {version}, this swarmix reads version {VERSION}")
        offset = len(PREAMBLE)
        payload, after = self.frame_at(offset, header=True)
        if payload is None:
            raise self.damaged(offset, "the header record is cut off")
        header = self.header(payload, offset)
        dims = len(header["lower"])
        vector = header["kind"] == "vector"
        if not vector:  # a run's new row is written before the run's header
            self.slack = 8 * (dims + 1)
        records: list[Records] = []
        complete = False
        offset = after
        while offset < len(data):
            payload, after = self.frame_at(offset, header=False)
            if payload == b"":  # the rest is space reserved for records: nothing was written there
                return Parsed(header, self.unique(records), complete, offset, False)
            if payload is None:
                warnings.warn(f"the journal {self.name} ends in a torn record at byte {offset} (the process "
                              "died while writing it): it is dropped and its evaluations are made again",
                              RuntimeWarning, stacklevel=4)
                return Parsed(header, self.unique(records), complete, offset, True)
            kind = payload[:1]
            if kind == b"E":
                records.append(self.evaluations(payload, offset, dims, vector))
                complete = False
            elif kind == b"R" and not vector:
                records.append(self.run(payload, offset, dims))
                complete = False
            elif kind == b"Z" and len(payload) == END.size:
                complete = True
            else:
                raise self.damaged(offset, "a record of unknown kind")
            offset = after
        return Parsed(header, self.unique(records), complete, offset, False)

    def unique(self, records: list[Records]) -> list[Records]:
        """The records, refused when two of them hold one evaluation."""
        end = 0
        for run in sorted(records, key=lambda run: run.first):
            if run.first < end:
                raise self.damaged(run.offset, "an evaluation recorded twice")
            end = run.first + run.count
        return records

    slack = 0  # bytes past a failing frame that may belong to the row being added to a run

    def zeros_from(self, offset: int) -> bool:
        return self.data.count(0, offset) == len(self.data) - offset

    def frame_at(self, offset: int, header: bool) -> tuple[bytes | None, int]:
        """The payload of the frame at ``offset`` and where the next one starts; None for a torn
        tail, empty for the zeros of reserved space (a frame's header is written last)."""
        data = self.data
        if offset + FRAME.size > len(data):
            return (b"" if not header and self.zeros_from(offset) else None), offset
        length, crc = FRAME.unpack_from(data, offset)
        if length == 0 and crc == 0 and not header:
            return (b"" if self.zeros_from(offset) else None), offset
        start = offset + FRAME.size
        end = start + length
        if end > len(data):
            return None, offset
        payload = data[start:end]
        if zlib.crc32(payload) != crc:
            if not header and self.zeros_from(min(len(data), max(end, offset + self.slack))):
                return None, offset
            raise self.damaged(offset, "its checksum does not match")
        return payload, end

    def header(self, payload: bytes, offset: int) -> dict[str, Any]:
        try:
            if payload[:1] != b"H":
                raise ValueError
            header = json.loads(payload[1:].decode())
            if not isinstance(header, dict) or set(header) != set(HEADER_KEYS):
                raise ValueError
            header["params"] = {str(k): None if v is None else float.fromhex(v) for k, v in header["params"].items()}
            header["lower"] = [float.fromhex(v) for v in header["lower"]]
            header["upper"] = [float.fromhex(v) for v in header["upper"]]
            if header["initial"] is not None:
                header["initial"] = [[float.fromhex(v) for v in row] for row in header["initial"]]
            seed = header["random_state"]
            if not (isinstance(seed, int) and 0 <= seed < 2**64 and header["kind"] in ("scalar", "vector")
                    and isinstance(header["class"], str) and isinstance(header["version"], str)
                    and len(header["lower"]) == len(header["upper"])):
                raise ValueError
        except (ValueError, TypeError, AttributeError, OverflowError, RecursionError):
            raise self.damaged(offset, "not a journal header") from None
        return header

    def evaluations(self, payload: bytes, offset: int, dims: int, vector: bool) -> Records:
        try:
            _, first, count = EVALUATIONS.unpack_from(payload)
            at = EVALUATIONS.size
            tags = payload[at:at + count]
            at += count
            if len(tags) != count or count == 0 or tags.translate(None, OUTCOMES):
                raise ValueError
            points = payload[at:at + count * dims * 8]
            at += len(points)
            if len(points) != count * dims * 8:
                raise ValueError
            numbers: Any  # an array of doubles, or a list of lists for a vector objective
            if vector:
                lengths = array(LENGTHS)
                lengths.frombytes(payload[at:at + 4 * count])
                if not LITTLE:
                    lengths.byteswap()
                at += 4 * count
                total = sum(lengths)
                flat = doubles(payload[at:at + 8 * total])
                at += 8 * total
                numbers = []
                start = 0
                for n in lengths:
                    numbers.append(flat[start:start + n].tolist())
                    start += n
                if len(lengths) != count or start != len(flat) or any(
                        n == 0 for n, t in zip(lengths, tags) if t == NUMBER):
                    raise ValueError
            else:
                numbers = doubles(payload[at:at + 8 * count])
                at += 8 * count
                if len(numbers) != count:
                    raise ValueError
            texts: list[str | None] = [None] * count
            for j, tag in enumerate(tags if tags.count(0) != count else b""):
                if tag == NUMBER:
                    continue
                (n,) = struct.unpack_from("<I", payload, at)
                text = payload[at + 4:at + 4 + n]
                if len(text) != n:
                    raise ValueError
                texts[j] = text.decode()
                at += 4 + n
            if at != len(payload) or first + count > 2**63:
                raise ValueError
        except (ValueError, struct.error, UnicodeDecodeError, OverflowError, MemoryError):
            raise self.damaged(offset, "a malformed evaluation record") from None
        return Records(first, tags, points, numbers, texts, offset)


    def run(self, payload: bytes, offset: int, dims: int) -> Records:
        """A run: first index, then rows of a point and its value (numbers of a scalar fit)."""
        row = 8 * (dims + 1)
        count = (len(payload) - RUN.size) // row
        if count < 1 or (len(payload) - RUN.size) % row:
            raise self.damaged(offset, "a malformed run of evaluations")
        _, first = RUN.unpack_from(payload)
        if first + count > 2**63:
            raise self.damaged(offset, "a malformed run of evaluations")
        flat = doubles(payload[RUN.size:])
        numbers = flat[dims::dims + 1]
        del flat[dims::dims + 1]
        return Records(first, bytes(count), little(flat), numbers, [None] * count, offset)


def parse(data: bytes, name: str) -> Parsed | None:
    """The records of a journal's bytes (None for an empty file)."""
    return _Reader(data, name).parse()


@dataclass
class Journal:
    """What a journal recorded: the fit and its evaluations, in evaluation order."""

    cls: str
    params: dict[str, float]
    lower: list[float]
    upper: list[float]
    random_state: int
    kind: str  # "scalar" or "vector"
    initial: list[list[float]] | None  # the points the fit was given to start from
    version: str  # the swarmix version that started the journal
    points: list[list[float]] = field(default_factory=list)
    values: list[Any] = field(default_factory=list)  # a float, a list of floats, or None for a failure
    errors: list[str | None] = field(default_factory=list)
    complete: bool = False


def read_journal(path: str | os.PathLike[str]) -> Journal:
    """Read the journal at ``path``: the fit it records and every evaluation made.

    ``points`` holds one list of floats per evaluation, in evaluation order; ``values`` the
    value (a list of floats for the multi-objective classes; None for a failure); ``errors``
    the failure's text or None; ``complete`` whether the fit ended (succeeded). A torn last
    record is dropped with a RuntimeWarning; any other damage raises ValueError naming its byte
    offset.
    """
    with open(path, "rb") as f:
        data = f.read()
    name = os.fspath(path)
    parsed = parse(data, name)
    if parsed is None:
        raise ValueError(f"the journal {name} is empty")
    h = parsed.header
    journal = Journal(h["class"], h["params"], h["lower"], h["upper"], h["random_state"], h["kind"],
                      h["initial"], h["version"], complete=parsed.complete)
    dims = len(h["lower"])
    entries = []
    for run in parsed.records:
        flat = doubles(run.points).tolist()
        for j in range(run.count):
            failed = run.tags[j] != NUMBER
            entries.append((run.first + j, flat[j * dims:(j + 1) * dims], None if failed else run.numbers[j],
                            run.texts[j]))
    entries.sort(key=lambda entry: entry[0])
    for _, point, value, error in entries:
        journal.points.append(point)
        journal.values.append(value)
        journal.errors.append(error)
    return journal


def summary(journal: Journal) -> str:
    # failures as the fit counts them: errors, non-numbers and NaN values
    failures = sum(value is None or any(math.isnan(v) for v in (value if isinstance(value, list) else [value]))
                   for value in journal.values)
    lines = [f"class        {journal.cls} (random_state={journal.random_state})",
             f"evaluations  {len(journal.points)}",
             f"failures     {failures}"]
    if journal.kind == "scalar":
        found = [(v, i) for i, v in enumerate(journal.values) if v is not None and not math.isnan(v)]
        if found:
            value, i = min(found)
            lines += [f"best value   {value!r}", f"best point   {journal.points[i]!r}"]
    else:
        lines.append("best         (several objectives)")
    lines.append(f"complete     {'yes' if journal.complete else 'no'}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    """``python -m swarmix.journal PATH``: a summary of the journal at PATH."""
    import argparse

    ap = argparse.ArgumentParser(prog="python -m swarmix.journal", description="Summarise a swarmix journal.")
    ap.add_argument("path")
    args = ap.parse_args(argv)
    try:
        journal = read_journal(args.path)
    except (OSError, ValueError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    print(summary(journal))
    return 0
