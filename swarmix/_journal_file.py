"""Reading journals: ``read_journal`` and what it gives (the format is in swarmix._journal_format
and docs/journal.md).

The records are read frame by frame, in one pass. A frame that runs past the end of the file,
fails its checksum, or is a zero header followed by something else than zeros, is damage. The
damage is a torn tail (the process died inside its last write) when no intact record frame
follows it: every writer writes frames in file order, so nothing intact can lie past its last,
unfinished write. A torn tail is dropped with a RuntimeWarning (a torn header leaves no record:
the journal starts over); any other damage is a ValueError naming its byte offset, and so is a
malformed record, an evaluation recorded twice, a record that starts past the evaluations
recorded before it outside the groups stated before it, or an end record whose evaluations are
not all recorded before it.

The search for an intact frame after damage looks at each byte that may start one, in file
order, and checksums only those whose length and layout fit a record; all its checksums
together cover at most twice the file's size (plus 64 KiB). A file that would need more is damage:
no writer leaves so many frame-like bytes in a torn write.
"""

from __future__ import annotations

import json
import math
import os
import re
import struct
import warnings
import zlib
from array import array
from dataclasses import dataclass, field
from typing import Any

from swarmix._journal_format import (END, EVALUATIONS, FRAME, GROUP, HEADER_KEYS, LATER_KEYS, LENGTHS, LITTLE, MAGIC,
                                     NUMBER, OUTCOMES, PREAMBLE, RUN, STOPPED, VERSION, VERSIONS, RecordedError,
                                     Records, doubles, little, param_value,
                                     version1_gap)

__all__ = ["Journal", "read_journal", "RecordedError"]

KIND_BYTES = re.compile(rb"[ERZG]")  # the kinds of the records that may follow the header
SPENT = -2  # the search for an intact frame ran out of its budget


def followed(found: int) -> str:
    """What follows damage, as ``_Reader.intact_after`` found it (not nothing: then it is torn)."""
    return "followed by intact ones" if found >= 0 else "followed by more frame-like bytes than a torn write leaves"


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
        self.zeros = len(data.rstrip(b"\0"))  # only zeros from here on: space reserved past the records
        self.budget = 2 * len(data) + (1 << 16)  # the bytes the search for intact frames may still checksum
        self.searched: dict[int, tuple[int, int]] = {}  # intact_after's answers
        self.dims: int | None = None  # the header's, once read
        self.vector = False
        self.version = VERSION
        self.frontier = 0  # every evaluation below it is recorded
        self.pending: set[int] = set()  # the indices recorded above the frontier
        self.recorded = 0  # evaluations recorded so far
        self.stated = 0  # the end of the groups stated so far
        self.params: dict[str, Any] = {}  # the header's (for version 1 files)

    def damaged(self, offset: int, what: str) -> Damaged:
        return Damaged(self.name, offset, what)

    def parse(self, salvage: bool = False) -> Parsed | None:
        data = self.data
        if not data:
            return None
        if data[: len(MAGIC)] != MAGIC[: len(data)]:
            raise self.damaged(0, "not a swarmix journal")
        if len(data) < len(PREAMBLE):
            self.torn_header(0)
            return None
        (version,) = struct.unpack_from("<I", data, len(MAGIC))
        if version not in VERSIONS:
            raise self.damaged(len(MAGIC), f"format version {version}, this swarmix reads versions up to {VERSION}")
        self.version = version
        offset = len(PREAMBLE)
        payload, after = self.frame_at(offset)
        if not payload:
            found = self.intact_after(offset)[0]
            if found == -1:
                self.torn_header(offset)
                return None
            raise self.damaged(offset, "a damaged header record " + followed(found))
        header = self.header(payload, offset)
        self.params = header["params"]
        self.dims = dims = len(header["lower"])
        self.vector = vector = header["kind"] == "vector"
        records: list[Records] = []
        complete = False
        stop: tuple[str, int, int] | None = None
        offset = after
        while offset < self.zeros:  # zeros past it: space reserved for records, nothing written there
            payload, after = self.frame_at(offset)
            try:
                if not payload:
                    found = self.intact_after(offset)[0]
                    if found != -1:
                        raise self.damaged(offset, "a damaged record (its length or checksum does not match) "
                                           + followed(found))
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
                elif kind == b"G":
                    self.group(payload, offset)
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

    def torn_header(self, offset: int) -> None:
        warnings.warn(f"the journal {self.name} ends in a torn header at byte {offset} (the process died while "
                      "starting it): it holds no evaluation and starts over", RuntimeWarning, stacklevel=5)

    def add(self, run: Records) -> None:
        """Place a record's indices among those recorded: refused when it repeats one, or starts
        past the evaluations recorded before it outside every group stated before it."""
        first, end = run.first, run.first + run.count
        if first == self.frontier and not self.pending:  # the usual record: right after those before it
            self.frontier = end
            self.recorded += run.count
            return
        if first > self.frontier and end > self.stated and (
                self.version != 1 or first > self.recorded + version1_gap(self.params, self.recorded)):
            raise self.damaged(run.offset, f"evaluation {first} recorded after only {self.recorded} evaluations, "
                               "outside the groups stated before it")
        # Out of order, inside a stated group: index by index, so the work stays in proportion to
        # the evaluations the file holds, whatever order its records come in.
        pending = self.pending
        if first < self.frontier or any(i in pending for i in range(first, end)):
            raise self.damaged(run.offset, "an evaluation recorded twice")
        self.recorded += run.count
        if first == self.frontier:
            self.frontier = end
        else:
            pending.update(range(first, end))
        while self.frontier in pending:
            pending.remove(self.frontier)
            self.frontier += 1

    def group(self, payload: bytes, offset: int) -> None:
        """A group record: its evaluations may be recorded in any order after it."""
        if len(payload) != GROUP.size:
            raise self.damaged(offset, "a malformed group record")
        _, first, count = GROUP.unpack(payload)
        if first > self.frontier:
            raise self.damaged(offset, f"a group from evaluation {first} stated after only {self.recorded} "
                               "evaluations")
        self.stated = max(self.stated, first + count)

    def end_record(self, payload: bytes, offset: int) -> tuple[str, int, int] | None:
        """An end record: the fit's evaluations must all be recorded before it."""
        if len(payload) != END.size and len(payload) <= END.size + STOPPED.size:
            raise self.damaged(offset, "a malformed end record")
        (_, n) = END.unpack_from(payload)
        if n > self.frontier:
            covered = self.frontier + sum(1 for i in self.pending if i < n)
            raise self.damaged(offset, f"an end record after {n} evaluations of which {covered} are recorded")
        if len(payload) == END.size:
            return None
        completed, planned = STOPPED.unpack_from(payload, END.size)
        try:
            reason = payload[END.size + STOPPED.size:].decode()
        except UnicodeDecodeError:
            raise self.damaged(offset, "a malformed end record") from None
        return reason, completed, planned

    def fits(self, offset: int) -> int:
        """Where the frame at ``offset`` ends if its length and layout fit a record frame (its
        checksum unchecked), else -1."""
        data = self.data
        kind = data[offset + FRAME.size:offset + FRAME.size + 1]
        if not kind or kind not in b"ERZG":
            return -1
        (length,) = struct.unpack_from("<I", data, offset)
        end: int = offset + FRAME.size + length
        if end > len(data):
            return -1
        dims = self.dims
        if dims is None:  # the header is not read yet
            return end
        if kind == b"E":  # an outcome, a point and a value (a vector: its length) per evaluation at least
            if length < EVALUATIONS.size:
                return -1
            count = EVALUATIONS.unpack_from(data, offset + FRAME.size)[2]
            least = 1 + 8 * dims + (4 if self.vector else 8)
            return end if 0 < count and EVALUATIONS.size + count * least <= length else -1
        if kind == b"R":
            row = 8 * (dims + 1)
            return end if not self.vector and length > RUN.size and (length - RUN.size) % row == 0 else -1
        if kind == b"Z":
            return end if length == END.size or length > END.size + STOPPED.size else -1
        return end if length == GROUP.size else -1

    def checksum_matches(self, offset: int, end: int) -> bool:
        with memoryview(self.data) as view:
            stored: int = FRAME.unpack_from(self.data, offset)[1]
            return zlib.crc32(view[offset + FRAME.size:end]) == stored

    def intact(self, offset: int) -> int:
        """Where the frame at ``offset`` ends if it is an intact record frame, else -1."""
        end = self.fits(offset)
        return end if end >= 0 and self.checksum_matches(offset, end) else -1

    def intact_after(self, offset: int) -> tuple[int, int]:
        """The first intact record frame that starts after ``offset``: its offset and end; (-1, -1)
        when there is none, (SPENT, -1) when the search ran out of its budget first."""
        if offset in self.searched:
            return self.searched[offset]
        found = (-1, -1)
        for match in KIND_BYTES.finditer(self.data, offset + 1 + FRAME.size):
            at = match.start() - FRAME.size
            end = self.fits(at)
            if end < 0:
                continue
            if end - at > self.budget:
                found = (SPENT, -1)
                break
            self.budget -= end - at
            if self.checksum_matches(at, end):
                found = (at, end)
                break
        self.searched[offset] = found
        return found

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
            if not isinstance(header, dict):
                raise ValueError
            if set(header) == set(HEADER_KEYS) - set(LATER_KEYS):  # written before those keys existed
                header.update(LATER_KEYS)
            if set(header) != set(HEADER_KEYS):
                raise ValueError
            header["params"] = {str(k): param_value(v) for k, v in header["params"].items()}
            header["lower"] = [float.fromhex(v) for v in header["lower"]]
            header["upper"] = [float.fromhex(v) for v in header["upper"]]
            if header["initial"] is not None:
                header["initial"] = [[float.fromhex(v) for v in row] for row in header["initial"]]
            seed = header["random_state"]
            counts = (header["n_constraints"], header["n_equalities"])
            integer = header["integer"]
            if not (isinstance(seed, int) and 0 <= seed < 2**64 and header["kind"] in ("scalar", "vector")
                    and isinstance(header["class"], str) and isinstance(header["version"], str)
                    and len(header["lower"]) == len(header["upper"])
                    and all(type(n) is int and n >= 0 for n in counts)
                    and (integer is None or (isinstance(integer, list) and integer and all(
                        type(j) is int and 0 <= j < len(header["lower"]) for j in integer)
                        and integer == sorted(set(integer))))):
                raise ValueError
        except (ValueError, TypeError, AttributeError, OverflowError, RecursionError):
            raise self.damaged(offset, "not a journal header") from None
        return header

    def evaluations(self, payload: bytes, offset: int, dims: int, vector: bool) -> Records:
        try:
            _, first, count = EVALUATIONS.unpack_from(payload)
            at = EVALUATIONS.size
            tags = payload[at:at + count]
            values = at + count * (1 + 8 * dims)
            if (not vector and count and len(payload) == values + 8 * count and first + count <= 2**63
                    and not tags.strip(b"\0")):  # numbers of a scalar fit, the usual record
                return Records(first, tags, payload[at + count:values], doubles(payload[values:]), [None] * count,
                               offset)
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
    damage hold (they are dropped with it; the search for them stops where its budget runs out)."""
    reader = _Reader(data, name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        parsed = reader.parse(salvage=True)
    if parsed is None:
        raise ValueError(empty(data, name))
    dropped = 0
    if parsed.damage is not None or parsed.torn:
        end = reader.intact(parsed.end)
        at, end = (parsed.end, end) if end >= 0 else reader.intact_after(parsed.end)
        while at >= 0:  # frame by frame, searching again past each damaged one
            kind = data[at + FRAME.size:at + FRAME.size + 1]
            if kind == b"E":
                dropped += EVALUATIONS.unpack_from(data, at + FRAME.size)[2]
            elif kind == b"R":
                dropped += (end - at - FRAME.size - RUN.size) // (8 * (len(parsed.header["lower"]) + 1))
            following = reader.intact(end)
            at, end = (end, following) if following >= 0 else reader.intact_after(end)
    return parsed, dropped


def empty(data: bytes, name: str) -> str:
    return f"the journal {name} is empty" + ("" if not data else " (its header is torn)")


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
    n_constraints: int  # the fit's constraint counts (each value a row: objective, inequalities, equalities)
    n_equalities: int
    integer: list[int] | None  # its integer coordinates
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
                             "objectives or with constraints have no order of values (read journal.values for "
                             "their rows)")
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
        raise ValueError(empty(data, name))
    return journal_of(parsed)


def journal_of(parsed: Parsed) -> Journal:
    h = parsed.header
    stop = parsed.stop if parsed.complete else None
    journal = Journal(h["class"], h["params"], h["lower"], h["upper"], h["random_state"], h["kind"],
                      h["initial"], h["version"], h["n_constraints"], h["n_equalities"], h["integer"],
                      complete=parsed.complete,
                      stop_reason=None if stop is None else stop[0],
                      iterations=None if stop is None else (stop[1], stop[2]))
    dims = len(h["lower"])
    for run in sorted(parsed.records, key=lambda run: run.first):  # runs never overlap: evaluation order
        flat = doubles(run.points).tolist()
        journal.points += [flat[at:at + dims] for at in range(0, run.count * dims, dims)] if dims else [
            [] for _ in range(run.count)]
        numbers = run.numbers if isinstance(run.numbers, list) else run.numbers.tolist()
        if any(run.tags):
            numbers = [None if tag != NUMBER else value for tag, value in zip(run.tags, numbers)]
        journal.values += numbers
        journal.errors += run.texts
    return journal
