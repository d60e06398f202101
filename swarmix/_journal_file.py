"""Reading journals: ``read_journal`` and what it gives (the format is in swarmix._journal_format
and docs/journal.md).

The records are read frame by frame. A frame that runs past the end of the file, fails its
checksum, or is a zero header followed by something else than zeros, is damage. The damage is
a torn tail (the process died inside its last write) when no intact frame follows it: every
writer writes frames in file order, so nothing intact can lie past its last, unfinished write.
A torn tail is dropped with a RuntimeWarning; any other damage is a ValueError naming its byte
offset, and so is a malformed record, an evaluation recorded twice, an index further than a
group (max_gap) past the evaluations recorded before it, or an end record whose evaluations
are not all recorded before it.
"""

from __future__ import annotations

import bisect
import json
import math
import os
import struct
import warnings
import zlib
from array import array
from dataclasses import dataclass, field
from typing import Any

from swarmix._journal_format import (END, EVALUATIONS, FRAME, HEADER_KEYS, LENGTHS, LITTLE, MAGIC, NUMBER, OUTCOMES,
                                     PREAMBLE, RUN, STOPPED, VERSION, RecordedError, Records, doubles, little, max_gap,
                                     param_value)

__all__ = ["Journal", "read_journal", "RecordedError"]

KINDS = (b"E", b"R", b"Z")  # the records that may follow the header


@dataclass
class Parsed:
    header: dict[str, Any]
    records: list[Records]
    complete: bool
    end: int  # where the valid data ends (a torn tail or reserved space starts there)
    torn: bool
    stop: tuple[str, int, int] | None = None  # the last end record's stop: reason, completed and planned iterations
    damage: int | None = None  # salvaging: where the damage starts (None: no damage but a torn tail)


class Damaged(ValueError):
    """Damage that is not a torn tail, at byte ``offset``."""

    def __init__(self, name: str, offset: int, what: str) -> None:
        super().__init__(f"the journal {name} is damaged at byte {offset}: {what}")
        self.offset = offset


class _Reader:
    def __init__(self, data: bytes, name: str) -> None:
        self.data = data
        self.name = name
        self.starts: list[int] = []  # the recorded runs of indices, sorted: starts and ends
        self.ends: list[int] = []
        self.recorded = 0  # evaluations recorded so far
        self.params: dict[str, Any] = {}  # the header's: how far past them a record may start

    def damaged(self, offset: int, what: str) -> Damaged:
        return Damaged(self.name, offset, what)

    def parse(self, salvage: bool = False) -> Parsed | None:
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
        payload, after = self.frame_at(offset)
        if not payload:
            raise self.damaged(offset, "its checksum does not match" if payload is None and after >= 0
                               else "the header record is cut off")
        header = self.header(payload, offset)
        self.params = header["params"]
        dims = len(header["lower"])
        vector = header["kind"] == "vector"
        records: list[Records] = []
        complete = False
        stop: tuple[str, int, int] | None = None
        offset = after
        while offset < len(data):
            if self.zeros_from(offset):  # space reserved for records: nothing written there
                break
            payload, after = self.frame_at(offset)
            try:
                if not payload:
                    if self.intact_after(offset):
                        raise self.damaged(offset, "a damaged record (its length or checksum does not match) "
                                           "followed by intact ones")
                    warnings.warn(f"the journal {self.name} ends in a torn record at byte {offset} (the process "
                                  "died while writing it): it is dropped and its evaluations are made again",
                                  RuntimeWarning, stacklevel=4)
                    return Parsed(header, records, complete, offset, True, stop)
                kind = payload[:1]
                if kind == b"E":
                    run = self.evaluations(payload, offset, dims, vector)
                elif kind == b"R" and not vector:
                    run = self.run(payload, offset, dims)
                elif kind == b"Z":
                    stop = self.end_record(payload, offset)
                    complete = True
                    offset = after
                    continue
                else:
                    raise self.damaged(offset, "a record of unknown kind")
                self.add(run)
            except Damaged as exc:
                if not salvage:
                    raise
                return Parsed(header, records, complete, offset, False, stop, damage=exc.offset)
            records.append(run)
            complete = False
            offset = after
        return Parsed(header, records, complete, offset, False, stop)

    def add(self, run: Records) -> None:
        """Place a record's indices among those recorded: refused when it repeats one, or
        starts further than a group's gap past the evaluations recorded before it."""
        first, end = run.first, run.first + run.count
        if first > self.recorded + max_gap(self.params, self.recorded):
            raise self.damaged(run.offset, f"evaluation {first} recorded after only {self.recorded} evaluations")
        i = bisect.bisect_right(self.starts, first)
        if (i and self.ends[i - 1] > first) or (i < len(self.starts) and self.starts[i] < end):
            raise self.damaged(run.offset, "an evaluation recorded twice")
        self.starts.insert(i, first)
        self.ends.insert(i, end)
        self.recorded += run.count

    def end_record(self, payload: bytes, offset: int) -> tuple[str, int, int] | None:
        """An end record: the fit's evaluations must all be recorded before it."""
        if len(payload) != END.size and len(payload) <= END.size + STOPPED.size:
            raise self.damaged(offset, "a malformed end record")
        (_, n) = END.unpack_from(payload)
        i = bisect.bisect_left(self.starts, n)
        covered = sum(min(end, n) - start for start, end in zip(self.starts[:i], self.ends[:i]))
        if covered != n:
            raise self.damaged(offset, f"an end record after {n} evaluations of which {covered} are recorded")
        if len(payload) == END.size:
            return None
        completed, planned = STOPPED.unpack_from(payload, END.size)
        try:
            reason = payload[END.size + STOPPED.size:].decode()
        except UnicodeDecodeError:
            raise self.damaged(offset, "a malformed end record") from None
        return reason, completed, planned

    def zeros_from(self, offset: int) -> bool:
        return self.data.count(0, offset) == len(self.data) - offset

    def intact(self, offset: int) -> int:
        """Where the frame at ``offset`` ends if it is an intact record frame, else -1."""
        data = self.data
        if offset + FRAME.size >= len(data) or data[offset + FRAME.size:offset + FRAME.size + 1] not in KINDS:
            return -1
        length, crc = FRAME.unpack_from(data, offset)
        end: int = offset + FRAME.size + length
        if length == 0 or end > len(data) or zlib.crc32(data[offset + FRAME.size:end]) != crc:
            return -1
        return end

    def intact_after(self, offset: int) -> int:
        """The offset of the first intact record frame that starts after ``offset``, or 0."""
        found = []
        for kind in KINDS:
            at = self.data.find(kind, offset + 1 + FRAME.size)
            while at >= 0 and self.intact(at - FRAME.size) < 0:
                at = self.data.find(kind, at + 1)
            if at >= 0:
                found.append(at - FRAME.size)
        return min(found, default=0)

    def frame_at(self, offset: int) -> tuple[bytes | None, int]:
        """The payload of the frame at ``offset`` and where the next one starts: None when the
        frame is damaged (where -1: it runs past the end of the file), empty for a zero header."""
        data = self.data
        if offset + FRAME.size > len(data):
            return None, -1
        length, crc = FRAME.unpack_from(data, offset)
        if length == 0 and crc == 0:
            return b"", offset
        start = offset + FRAME.size
        end = start + length
        if end > len(data):
            return None, -1
        payload = data[start:end]
        if zlib.crc32(payload) != crc:
            return None, offset
        return payload, end

    def header(self, payload: bytes, offset: int) -> dict[str, Any]:
        try:
            if payload[:1] != b"H":
                raise ValueError
            header = json.loads(payload[1:].decode())
            if not isinstance(header, dict) or set(header) != set(HEADER_KEYS):
                raise ValueError
            header["params"] = {str(k): param_value(v) for k, v in header["params"].items()}
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
                # a number may be an empty vector; a failure has no values
                if len(lengths) != count or start != len(flat) or any(
                        n != 0 for n, t in zip(lengths, tags) if t != NUMBER):
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


def salvage(data: bytes, name: str) -> tuple[Parsed, int]:
    """The valid prefix of a damaged journal, and how many evaluations intact records after the
    damage hold (they are dropped with it)."""
    reader = _Reader(data, name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        parsed = reader.parse(salvage=True)
    if parsed is None:
        raise ValueError(f"the journal {name} is empty")
    dropped = 0
    at = parsed.end
    if parsed.damage is not None or parsed.torn:
        if reader.intact(at) < 0:
            at = reader.intact_after(at)
        while at:
            end = reader.intact(at)
            kind = data[at + FRAME.size:at + FRAME.size + 1]
            if kind == b"E":
                dropped += EVALUATIONS.unpack_from(data, at + FRAME.size)[2]
            elif kind == b"R":
                dropped += (end - at - FRAME.size - RUN.size) // (8 * (len(parsed.header["lower"]) + 1))
            at = end if reader.intact(end) >= 0 else reader.intact_after(end)
    return parsed, dropped


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
    stop_reason: str | None = None  # why an ended fit stopped before its planned end
    iterations: tuple[int, int] | None = None  # a stopped fit's completed and planned iterations

    def best_points(self, k: int) -> list[list[float]]:
        """The ``k`` best distinct points that gave a number (not NaN), best first (on a tie,
        the earlier evaluation first): ready for ``fit(..., initial=...)``. Scalar fits only."""
        if self.kind != "scalar":
            raise ValueError("best_points needs a journal of a scalar fit: the points of a fit with several "
                             "objectives have no order (read journal.values for its objective vectors)")
        if isinstance(k, bool) or not isinstance(k, int) or k < 0:
            raise ValueError(f"k must be a non-negative integer, not {k!r}")
        ranked = sorted((value, i) for i, value in enumerate(self.values) if value is not None and not math.isnan(value))
        best: list[list[float]] = []
        seen: set[bytes] = set()
        for _, i in ranked:
            if len(best) == k:
                break
            key = struct.pack(f"<{len(self.points[i])}d", *self.points[i])
            if key not in seen:
                seen.add(key)
                best.append(list(self.points[i]))
        return best


def read_journal(path: str | os.PathLike[str]) -> Journal:
    """Read the journal at ``path``: the fit it records and every evaluation made.

    ``points`` holds one list of floats per evaluation, in evaluation order; ``values`` the
    value (a list of floats for the multi-objective classes; None for a failure); ``errors``
    the failure's text or None; ``complete`` whether the fit ended (succeeded);
    ``stop_reason`` None while the fit has not ended or when it ran to its planned end, else
    why it stopped early (a Monitor's stop reason). A torn last record is dropped with a
    RuntimeWarning; any other damage raises ValueError naming its byte offset.
    """
    with open(path, "rb") as f:
        data = f.read()
    name = os.fspath(path)
    parsed = parse(data, name)
    if parsed is None:
        raise ValueError(f"the journal {name} is empty")
    return journal_of(parsed)


def journal_of(parsed: Parsed) -> Journal:
    h = parsed.header
    stop = parsed.stop if parsed.complete else None
    journal = Journal(h["class"], h["params"], h["lower"], h["upper"], h["random_state"], h["kind"],
                      h["initial"], h["version"], complete=parsed.complete,
                      stop_reason=None if stop is None else stop[0],
                      iterations=None if stop is None else (stop[1], stop[2]))
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
