"""Fits that survive their process: every evaluation recorded in a journal, replayed on resume.

The writing side: ``journaled``, the session of one journaled fit (its file, the group path
that records group objectives) and what the frame needs to record plain objectives natively.
The format is in swarmix._journal_format, reading in swarmix._journal_file, locking in
swarmix._journal_lock.
"""

from __future__ import annotations

import bisect
import errno
import os
import struct
import weakref
from array import array
from collections.abc import Callable
from typing import Any

from swarmix import _journal_format as fmt, _protocol
from swarmix._errors import UsageError, fails_fit, is_fit_failure
from swarmix._journal_file import parse
from swarmix._journal_lock import lock, unlock

__all__ = ["journaled", "Journaled"]

SYNCS = tuple(fmt.SYNCS)
# Opening a journal: never inherited by a program a child process runs; binary on Windows.
OPEN_FLAGS = getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOINHERIT", 0) | getattr(os, "O_BINARY", 0)
READ_ONLY_ERRORS = (errno.EACCES, errno.EPERM, errno.EROFS)


class _File:
    """The one owner of an open journal's descriptor and lock. Closed once: by the end of
    its fit, on any error while the fit starts, by garbage collection, and in a forked child
    (whose copy of the descriptor would otherwise keep the lock after the parent let go)."""

    def __init__(self, fd: int) -> None:
        self.fd = fd
        _OPEN.add(self)

    def close(self) -> None:
        fd, self.fd = self.fd, -1
        if fd >= 0:
            try:
                unlock(fd)
            except OSError:
                pass
            finally:
                os.close(fd)

    def forget(self) -> None:
        """In a forked child: close the copy without touching the parent's lock."""
        fd, self.fd = self.fd, -1
        if fd >= 0:
            os.close(fd)

    def __del__(self) -> None:
        self.close()


_OPEN: weakref.WeakSet[_File] = weakref.WeakSet()


def _close_in_child() -> None:
    for file in list(_OPEN):
        file.forget()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_close_in_child)


def _pread(fd: int, n: int, offset: int) -> bytes:
    if hasattr(os, "pread"):
        return os.pread(fd, n, offset)
    os.lseek(fd, offset, os.SEEK_SET)  # Windows: the session alone moves this descriptor
    return os.read(fd, n)


def _pwrite(fd: int, data: memoryview, offset: int) -> int:
    if hasattr(os, "pwrite"):
        return os.pwrite(fd, data, offset)
    os.lseek(fd, offset, os.SEEK_SET)
    return os.write(fd, data)


def _open(path: str) -> tuple[_File, OSError | None]:
    """The journal opened for writing; on storage that refuses writing, opened read-only, with
    the refusal (a finished journal replays without writing)."""
    try:
        return _File(os.open(path, os.O_RDWR | os.O_CREAT | OPEN_FLAGS, 0o666)), None
    except OSError as exc:
        if exc.errno not in READ_ONLY_ERRORS:
            raise
        refused = exc
    return _File(os.open(path, os.O_RDONLY | OPEN_FLAGS)), refused


class Journaled:
    """An objective whose evaluations are recorded in a journal file (see ``journaled``)."""

    def __init__(self, objective: Any, path: str | os.PathLike[str], *, sync: str = "group",
                 check_objective: bool = True) -> None:
        if not callable(objective) and not hasattr(objective, "__swarmix_group__"):
            raise TypeError(f"journaled() needs an objective, not {type(objective).__name__}")
        if sync not in SYNCS:
            raise ValueError(f"sync must be 'point', 'group' or 'none', not {sync!r}")
        self.objective = objective
        self.path = os.fspath(path)
        self.sync = sync
        self.check_objective = bool(check_objective)
        self._session: weakref.ref[_Session] | None = None  # the fit's session, while it lives

    def __call__(self, x: list[float]) -> Any:
        """The objective's value at one point (not recorded: only fits are)."""
        return self.objective(x)

    def __repr__(self) -> str:
        check = "" if self.check_objective else ", check_objective=False"
        return f"journaled({self.objective!r}, {self.path!r}, sync={self.sync!r}{check})"

    def __swarmix_start__(self, fit: dict[str, Any]) -> Any:
        running = None if self._session is None else self._session()
        if running is not None and running.file.fd >= 0:
            raise UsageError(f"the journal {self.path} is recording another fit")
        if fit["random_state"] is None:
            raise ValueError("a journaled fit needs a random_state: a fit seeded from the operating "
                             "system cannot be replayed")
        session = _Session(self.path, self.sync, fit)
        started = False
        try:
            session.inner = _protocol.start(self.objective, fit)
            started = True
            session.reports = getattr(session.inner, "__swarmix_reports__", False) is True
            if self.check_objective:
                session.check_objective()
            # The frame records a plain objective itself; a group objective is recorded here.
            if not hasattr(session.inner, "__swarmix_group__"):
                session.__swarmix_record__ = _Record(session)
        except BaseException as exc:
            try:
                session.close()
            finally:
                if started:
                    _protocol.end(self.objective, None, exc)
            raise
        self._session = weakref.ref(session)
        return session

    def __swarmix_end__(self, counts: Any, error: BaseException | None) -> None:
        session = None
        try:
            session = None if self._session is None else self._session()
            self._session = None
            if session is not None:
                session.finish(error is None, _protocol.stop_of(counts))
        finally:
            try:
                if session is not None:
                    session.close()
            finally:
                _protocol.end(self.objective, counts, error)


def journaled(objective: Any, path: str | os.PathLike[str], *, sync: str = "group",
              check_objective: bool = True) -> Journaled:
    """Record every evaluation of a fit in the journal at ``path``, and resume from it.

    Pass the result to ``fit`` in place of the objective (a plain callable,
    ``vectorized(...)`` or ``parallel(...)``; a ``Monitor`` may wrap it). A new file records
    the fit; a file that already holds evaluations of the same fit is replayed: each recorded
    point is answered from the file without calling the objective, and the fit goes on live
    when the records run out, so the result is bit for bit that of an uninterrupted fit. The
    fit needs a ``random_state``. A journal of another fit, or a point that differs from its
    record, raises ValueError and leaves the file as it was.

    Each evaluation is written (handed to the operating system) before the next group of
    points starts; ``sync`` says when the file is also flushed to the disk: after every
    evaluation ("point"), every group ("group") or never ("none").

    A resume first evaluates the fit's first point (the probe) live and compares it with its
    record, bit for bit: an objective that gives another value raises ValueError before
    anything else is evaluated, the file unchanged (so a finished journal costs one call).
    ``check_objective=False`` skips that check, for noisy objectives.
    """
    return Journaled(objective, path, sync=sync, check_objective=check_objective)


def _little(raw: bytes) -> bytes:
    """Native doubles as little-endian bytes (and back)."""
    if fmt.LITTLE:
        return raw
    values = array("d")
    values.frombytes(raw)
    return fmt.little(values)


def _reply(run: fmt.Records, j: int) -> Any:
    """What the fit is handed for the ``j``-th evaluation of a recorded run."""
    tag = run.tags[j]
    return run.numbers[j] if tag == fmt.NUMBER else fmt.replayed(tag, run.texts[j] or "")


class _Outcomes:
    """Evaluations made live, waiting to be written: index, outcome, value, text."""

    def __init__(self) -> None:
        self.items: list[tuple[int, int, Any, str | None]] = []

    def add(self, index: int, entry: Any) -> Any:
        """Keep an entry as the fit's reader read it (``read_group``); return what the fit is given."""
        if type(entry) is not tuple:  # a number
            self.items.append((index, fmt.NUMBER, entry, None))
            return entry
        kind, error = entry
        if kind == fmt.NOT_A_NUMBER and isinstance(error, TypeError):  # not a number: replayed as such
            text = str(error)
            self.items.append((index, fmt.NOT_A_NUMBER, None, text))
            return fmt.NotANumber(text)
        self.items.append((index, fmt.ERROR, None, fmt.error_text(error)))
        return error


class _Record:
    """What the fit needs to record a plain objective natively (``__swarmix_record__``)."""

    def __init__(self, session: _Session) -> None:
        self.session: Any = weakref.proxy(session)  # the session owns this, not the other way round
        self.objective = session.inner
        self.fd = session.file.fd
        self.end = session.end
        self.sync = fmt.SYNCS[session.sync]
        self.mapped = session.sync == "none"
        row, vector = session.row, session.vector
        kinds: list[bytes] = []
        points: list[bytes] = []
        values: list[bytes] = []
        at = 0
        for first in session.firsts:  # in index order, what no run holds as not recorded
            run = session.by_first[first]
            if first > at:
                kinds.append(bytes([fmt.NOT_RECORDED]) * (first - at))
                points.append(bytes(row * (first - at)))
                values.append(b"" if vector else bytes(8 * (first - at)))
            kinds.append(b"\x01" * run.count if vector else run.tags)  # a vector is a reply
            points.append(run.points)
            values.append(b"" if vector else run.numbers.tobytes())
            at = first + run.count
        self.kinds, self.points = b"".join(kinds), _little(b"".join(points))
        self.values = b"" if vector else b"".join(values)

    def reply(self, index: int) -> Any:
        """A recorded failure (or vector) as the fit met it: a non-number as the error that
        converting it raised."""
        found = self.session.recorded_at(index)
        assert found is not None
        run, j = found
        if run.tags[j] == fmt.NOT_A_NUMBER:
            return TypeError(run.texts[j] or "")
        return _reply(run, j)

    def mismatch(self, index: int) -> BaseException:
        error: BaseException = self.session.mismatch(index)
        return error

    def closed(self, end: int, appended: bool, evaluations: int) -> None:
        session = self.session
        session.end, session.next = end, evaluations
        session.appended = session.appended or appended


class _Session:
    """One journaled fit: the open, locked file, its records and the objective it wraps."""

    inner: Any = None
    __swarmix_record__: _Record  # set only when the fit records the inner objective natively
    reports = False
    appended = False  # whether this fit wrote to the file
    torn = False  # whether bytes follow the records (a torn record, reserved space), cut off at the first write
    stated = b""  # the group record to write before the current group's first records

    def __init__(self, path: str, sync: str, fit: dict[str, Any]) -> None:
        import swarmix

        self.path = path
        self.sync = sync
        self.vector = fit["kind"] == "vector"
        self.row = 8 * len(fit["lower"])
        self.read_group: Callable[[Any, int], list[Any]] = fit["read_group"]
        self.file, self.refused = _open(path)
        try:
            if not lock(self.file.fd):
                raise UsageError(f"the journal {path} is being written by another fit")
            data = self._read_all()
            parsed = parse(data, path)
            if parsed is None:  # empty, or torn inside its header: started over
                self.end = 0
                self.torn = bool(data)
                self.complete = False
                self.records: list[fmt.Records] = []
                self._append(fmt.PREAMBLE + fmt.frame(fmt.header_payload(fit, swarmix.__version__)))
            else:
                self._check(parsed.header, fit)
                if self.refused is not None and not parsed.complete:
                    raise self.refused  # a journal to resume must be written to
                self.end = parsed.end
                self.torn = parsed.end < len(data)
                self.complete = parsed.complete
                self.records = parsed.records
        except BaseException:
            self.file.close()
            raise
        self.next = 0  # the index of the next evaluation the fit asks for
        self.by_first = {run.first: run for run in self.records}
        self.firsts = sorted(self.by_first)
        self.recorded_end = max((run.first + run.count for run in self.records), default=0)

    @property
    def fd(self) -> int:
        return self.file.fd

    def check_objective(self) -> None:
        """A resume: the probe, evaluated live, must give what the journal recorded, bit for bit."""
        found = self.recorded_at(0)
        if found is None or self.row == 0:
            return
        run, j = found
        point = fmt.doubles(run.points[j * self.row:(j + 1) * self.row])
        recorded = run.numbers[j] if run.tags[j] == fmt.NUMBER else (run.tags[j], run.texts[j])
        live = self._probe(point)
        if type(live) is tuple:
            same = type(recorded) is tuple and live[0] == recorded[0]
        elif self.vector:
            same = type(recorded) is list and struct.pack(f"<{len(live)}d", *live) == struct.pack(
                f"<{len(recorded)}d", *recorded)
        else:
            same = type(recorded) is not tuple and struct.pack("<d", live) == struct.pack("<d", recorded)
        if not same:
            shown = repr(live[1]) if type(live) is tuple else repr(live)
            raise ValueError(
                f"the objective gives another value than the journal {self.path} records at the fit's first "
                f"point: {shown}, recorded {recorded!r}; a changed objective cannot resume this journal "
                "(journaled(..., check_objective=False) skips this check, for noisy objectives)")

    def _probe(self, point: array[float]) -> Any:
        """The probe evaluated live, read as the fit reads it: a number, or (kind, error)."""
        group = getattr(self.inner, "__swarmix_group__", None)
        try:
            if group is None:
                return self.read_group((self.inner(point.tolist()),), 1)[0]
            view = memoryview(bytearray(point.tobytes())).cast("d", (1, len(point)))
            result = group(view, report=lambda i, entry: None) if self.reports else group(view)
            return self.read_group(result, 1)[0]
        except Exception as exc:
            if is_fit_failure(exc):
                raise
            return (fmt.ERROR, exc)

    # ------------------------------------------------------------ the file

    def _read_all(self) -> bytes:
        size = os.fstat(self.fd).st_size
        chunks = []
        offset = 0
        while offset < size:
            chunk = _pread(self.fd, min(size - offset, 1 << 24), offset)
            if not chunk:
                break
            chunks.append(chunk)
            offset += len(chunk)
        return b"".join(chunks)

    def _check(self, recorded: dict[str, Any], fit: dict[str, Any]) -> None:
        differs = [f"{key} {recorded[key]!r} (this fit: {fit[key]!r})"
                   for key in fmt.HEADER_KEYS if key != "version" and fmt.exact(recorded[key]) != fmt.exact(fit[key])]
        if differs:
            raise ValueError(f"the journal {self.path} records another fit: " + "; ".join(differs))

    def _append(self, data: bytes) -> None:
        """Write ``data`` at the end of the valid records (what follows them is cut off first)."""
        if self.refused is not None:
            raise fails_fit(self.refused)
        try:
            if not self.appended and self.torn:
                os.ftruncate(self.fd, self.end)
            self.appended = True
            view = memoryview(data)
            while view:
                written = _pwrite(self.fd, view, self.end)
                self.end += written
                view = view[written:]
            if self.sync == "point":
                os.fsync(self.fd)
        except OSError as exc:
            raise fails_fit(exc)

    def _write(self, outcomes: _Outcomes) -> None:
        """Write the kept evaluations, one record per run of consecutive indices."""
        items = sorted(outcomes.items, key=lambda item: item[0])
        outcomes.items = []
        if not items:
            return
        frames = [self.stated]  # the group's statement, before its first records
        self.stated = b""
        start = 0
        for i in range(1, len(items) + 1):
            if i == len(items) or items[i][0] != items[i - 1][0] + 1:
                frames.append(fmt.frame(self._payload(items[start:i])))
                start = i
        self._append(b"".join(frames))

    def _payload(self, items: list[tuple[int, int, Any, str | None]]) -> bytes:
        first = items[0][0]
        tags = bytes(item[1] for item in items)
        points = b"".join(self.asked.pop(index) for index, *_ in items)
        texts = [text for *_, text in items if text is not None]
        values = array("d")
        if self.vector:
            lengths = array(fmt.LENGTHS, [0 if v is None else len(v) for _, _, v, _ in items])
            if not fmt.LITTLE:
                lengths.byteswap()
            for _, _, v, _ in items:
                if v is not None:
                    values.extend(v)
            data = lengths.tobytes() + fmt.little(values)
        else:
            values.extend([0.0 if v is None else v for _, _, v, _ in items])
            data = fmt.little(values)
        return fmt.evaluation_payload(first, tags, points, data, texts)

    def finish(self, succeeded: bool, stop: tuple[str, int, int] | None) -> None:
        """The fit ended: an end record when it succeeded (once; with the reason of an early
        stop), then the file is closed."""
        try:
            if succeeded and (self.appended or not self.complete):
                self._append(fmt.frame(fmt.end_payload(self.next, stop)))
            if self.appended and self.sync != "none":
                os.fsync(self.fd)
        finally:
            self.close()

    def close(self) -> None:
        self.file.close()

    # ------------------------------------------------------------ the fit's evaluations

    def __swarmix_group__(self, points: memoryview) -> Any:
        k = len(points)
        n = self.next
        self.next = n + k
        raw = _little(points.tobytes())
        if n < self.recorded_end:
            run = self.by_first.get(n)
            if run is not None and run.count == k and run.points == raw:
                return self._replies(run)
            return self._resume(points, raw, n)
        return self._evaluate(points, raw, n, list(range(k)), [None] * k)

    def _replies(self, run: fmt.Records) -> Any:
        """What the fit is handed for a whole recorded run."""
        if not any(run.tags):
            return run.numbers
        return [_reply(run, j) for j in range(run.count)]

    def recorded_at(self, index: int) -> tuple[fmt.Records, int] | None:
        """The run that recorded evaluation ``index`` and its place in it."""
        i = bisect.bisect_right(self.firsts, index)
        if not i:
            return None
        run = self.by_first[self.firsts[i - 1]]
        return (run, index - run.first) if index < run.first + run.count else None

    def mismatch(self, index: int) -> BaseException:
        return fails_fit(ValueError(
            f"evaluation {index} of the fit asks for another point than the journal {self.path} "
            "recorded: the objective or the swarmix version differs from the recorded fit's"))

    def _resume(self, points: memoryview, raw: bytes, n: int) -> Any:
        """A group partly or wholly recorded in other runs: answer the recorded points, evaluate the rest."""
        row = self.row
        entries: list[Any] = [None] * len(points)
        missing = []
        for i in range(len(points)):
            found = self.recorded_at(n + i)
            if found is None:
                missing.append(i)
                continue
            run, j = found
            if run.points[j * row:(j + 1) * row] != raw[i * row:(i + 1) * row]:
                raise self.mismatch(n + i)
            entries[i] = _reply(run, j)
        if not missing:
            return entries
        return self._evaluate(points, raw, n, missing, entries)

    def _evaluate(self, points: memoryview, raw: bytes, n: int, missing: list[int], entries: list[Any]) -> Any:
        """Evaluate the points at ``missing`` live through the inner group objective (a plain
        one the frame records itself), record them, and fill their entries."""
        row = self.row
        self.asked = {n + i: raw[i * row:(i + 1) * row] for i in missing}
        self.stated = b""
        if self.reports and len(missing) > 1:  # its records may come in any order: the group is stated first
            first, end = n + missing[0], n + missing[-1] + 1
            self.stated = b"".join(fmt.frame(fmt.group_payload(at, min(end - at, 2**32 - 1)))
                                   for at in range(first, end, 2**32 - 1))
        outcomes = _Outcomes()
        try:
            self._evaluate_group(points, raw, n, missing, entries, outcomes)
        finally:
            if n == 0 and outcomes.items and outcomes.items[0][1] != fmt.NUMBER:
                outcomes.items = []  # a failed probe fails the fit: nothing to resume
            self._write(outcomes)
        if self.sync == "group" and self.appended:
            try:
                os.fsync(self.fd)
            except OSError as exc:
                raise fails_fit(exc)
        return entries

    def _evaluate_group(self, points: memoryview, raw: bytes, n: int, missing: list[int], entries: list[Any],
                        outcomes: _Outcomes) -> None:
        k = len(missing)
        view: memoryview[Any] = points
        if k < len(points):
            row = self.row
            rows = b"".join(raw[i * row:(i + 1) * row] for i in missing)
            view = memoryview(bytearray(_little(rows))).cast("d", (k, row // 8))
        group: Callable[..., Any] = self.inner.__swarmix_group__
        read = self.read_group
        reported: set[int] = set()
        if self.reports:
            def report(i: int, entry: Any) -> None:
                entries[missing[i]] = outcomes.add(n + missing[i], read((entry,), 1)[0])
                reported.add(i)
                self._write(outcomes)
            call: Callable[[], Any] = lambda: group(view, report=report)
        else:
            call = lambda: group(view)
        try:
            result = call()
        except Exception as exc:
            if is_fit_failure(exc):
                raise
            read_entries = [(fmt.ERROR, exc)] * k  # the whole group failed with that error
        else:
            try:
                read_entries = read(result, k)  # by the fit's own rules
            except Exception as exc:  # not one entry per point, or an error that ends the fit
                raise exc if is_fit_failure(exc) else fails_fit(exc)
        for i, entry in enumerate(read_entries):
            if i not in reported:
                entries[missing[i]] = outcomes.add(n + missing[i], entry)
