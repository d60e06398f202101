"""Fits that survive their process: every evaluation recorded in a journal, replayed on resume."""

from __future__ import annotations

import fcntl
import os
from array import array
from collections.abc import Callable
from typing import Any

from swarmix import _journal_file as fmt, _protocol
from swarmix._errors import UsageError, fails_fit, is_fit_failure

__all__ = ["journaled", "Journaled"]

SYNCS = ("point", "group", "none")


class Journaled:
    """An objective whose evaluations are recorded in a journal file (see ``journaled``)."""

    def __init__(self, objective: Any, path: str | os.PathLike[str], *, sync: str = "group") -> None:
        if not callable(objective) and not hasattr(objective, "__swarmix_group__"):
            raise TypeError(f"journaled() needs an objective, not {type(objective).__name__}")
        if sync not in SYNCS:
            raise ValueError(f"sync must be 'point', 'group' or 'none', not {sync!r}")
        self.objective = objective
        self.path = os.fspath(path)
        self.sync = sync
        self._session: _Session | None = None

    def __call__(self, x: list[float]) -> Any:
        """The objective's value at one point (not recorded: only fits are)."""
        return self.objective(x)

    def __repr__(self) -> str:
        return f"journaled({self.objective!r}, {self.path!r}, sync={self.sync!r})"

    def __swarmix_start__(self, fit: dict[str, Any]) -> Any:
        if self._session is not None:
            raise UsageError(f"the journal {self.path} is recording another fit")
        if fit["random_state"] is None:
            raise ValueError("a journaled fit needs a random_state: a fit seeded from the operating "
                             "system cannot be replayed")
        session = _Session(self.path, self.sync, fit)
        try:
            session.inner = _protocol.start(self.objective, fit)
        except BaseException:
            session.close()
            raise
        session.reports = getattr(session.inner, "__swarmix_reports__", False) is True
        # The frame records a plain objective itself; a group objective is recorded here.
        if not hasattr(session.inner, "__swarmix_group__"):
            session.__swarmix_record__ = _Record(session)
        self._session = session
        return session

    def __swarmix_end__(self, counts: Any, error: BaseException | None) -> None:
        session, self._session = self._session, None
        try:
            if session is not None:
                session.finish(succeeded=error is None)
        finally:
            _protocol.end(self.objective, counts, error)


def journaled(objective: Any, path: str | os.PathLike[str], *, sync: str = "group") -> Journaled:
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
    """
    return Journaled(objective, path, sync=sync)


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
    """Evaluations made live, waiting to be written: index, outcome tag, value, text, reply."""

    def __init__(self, vector: bool) -> None:
        self.vector = vector
        self.items: list[tuple[int, int, Any, str | None]] = []

    def add(self, index: int, entry: Any) -> Any:
        """Read ``entry`` as the fit's adapter reads a value; keep it; return what the fit is given."""
        if isinstance(entry, BaseException):
            return self.failed(index, fmt.ERROR, fmt.error_text(entry), entry)
        holder = array("d")
        try:
            if self.vector:
                holder.extend(entry if type(entry) is list else list(entry))
            else:
                holder.append(entry)
        except Exception as exc:
            if is_fit_failure(exc):
                raise
            if isinstance(exc, TypeError):
                text = str(exc)
                return self.failed(index, fmt.NOT_A_NUMBER, text, fmt.NotANumber(text))
            return self.failed(index, fmt.ERROR, fmt.error_text(exc), exc)
        value: Any = holder.tolist() if self.vector else holder[0]
        self.items.append((index, fmt.NUMBER, value, None))
        return value

    def failed(self, index: int, tag: int, text: str, reply: Any) -> Any:
        self.items.append((index, tag, None, text))
        return reply


class _Record:
    """What the fit needs to record a plain objective natively (``__swarmix_record__``)."""

    def __init__(self, session: _Session) -> None:
        self.session = session
        self.objective = session.inner
        self.fd = session.fd
        self.end = session.end
        self.sync = {"none": 0, "point": 1, "group": 2}[session.sync]
        self.mapped = session.sync == "none"
        n, d = session.recorded_end, session.row // 8
        kinds = bytearray(b"\xff") * n
        points = bytearray(8 * d * n)
        values = array("d", bytes(0 if session.vector else 8 * n))
        for run in session.records:
            kinds[run.first:run.first + run.count] = run.tags if not session.vector else b"\x01" * run.count
            points[run.first * 8 * d:(run.first + run.count) * 8 * d] = fmt.doubles(run.points).tobytes()
            if not session.vector:
                values[run.first:run.first + run.count] = run.numbers
        self.kinds, self.points, self.values = bytes(kinds), bytes(points), values.tobytes()

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
        return self.session.mismatch(index)

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

    def __init__(self, path: str, sync: str, fit: dict[str, Any]) -> None:
        import swarmix

        self.path = path
        self.sync = sync
        self.vector = fit["kind"] == "vector"
        self.row = 8 * len(fit["lower"])
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        try:
            try:
                fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise UsageError(f"the journal {path} is being written by another fit") from None
            data = self._read_all()
            parsed = fmt.parse(data, path)
            if parsed is None:
                self.end = 0
                self.complete = False
                self.records: list[fmt.Records] = []
                self._append(fmt.PREAMBLE + fmt.frame(fmt.header_payload(fit, swarmix.__version__)))
            else:
                self._check(parsed.header, fit)
                self.end = parsed.end
                self.torn = parsed.end < len(data)
                self.complete = parsed.complete
                self.records = parsed.records
        except BaseException:
            os.close(self.fd)
            raise
        self.next = 0  # the index of the next evaluation the fit asks for
        self.by_first = {run.first: run for run in self.records}
        self.recorded_end = max((run.first + run.count for run in self.records), default=0)
        self.by_index: dict[int, tuple[fmt.Records, int]] | None = None
        self.replies: dict[int, list[Any] | array[float]] = {}

    # ------------------------------------------------------------ the file

    def _read_all(self) -> bytes:
        size = os.fstat(self.fd).st_size
        chunks = []
        offset = 0
        while offset < size:
            chunk = os.pread(self.fd, min(size - offset, 1 << 24), offset)
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
        try:
            if not self.appended and self.torn:
                os.ftruncate(self.fd, self.end)
            self.appended = True
            view = memoryview(data)
            while view:
                written = os.pwrite(self.fd, view, self.end)
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
        frames = []
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

    def finish(self, succeeded: bool) -> None:
        """The fit ended: an end record when it succeeded (once), then the file is closed."""
        try:
            if succeeded and (self.appended or not self.complete):
                self._append(fmt.frame(fmt.END.pack(b"Z", self.next)))
            if self.appended and self.sync != "none":
                os.fsync(self.fd)
        finally:
            self.close()

    def close(self) -> None:
        if self.fd >= 0:
            fd, self.fd = self.fd, -1
            os.close(fd)  # releases the lock

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
        if self.by_index is None:
            self.by_index = {run.first + j: (run, j) for run in self.records for j in range(run.count)}
        return self.by_index.get(index)

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
        outcomes = _Outcomes(self.vector)
        try:
            refused = self._evaluate_group(points, raw, n, missing, entries, outcomes)
            if refused is not None:  # not one result per point: the fit refuses it as usual
                return refused
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
                        outcomes: _Outcomes) -> Any:
        k = len(missing)
        view: memoryview[Any] = points
        if k < len(points):
            row = self.row
            rows = b"".join(raw[i * row:(i + 1) * row] for i in missing)
            view = memoryview(bytearray(_little(rows))).cast("d", (k, row // 8))
        group: Callable[..., Any] = self.inner.__swarmix_group__
        reported: set[int] = set()
        if self.reports:
            def report(i: int, entry: Any) -> None:
                entries[missing[i]] = outcomes.add(n + missing[i], entry)
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
            result = [exc] * k
        items = self._items(result, k)
        if items is None or len(items) != k:  # the fit refuses it, as without a journal
            return result if items is None else items
        for i, entry in enumerate(items):
            if i not in reported:
                entries[missing[i]] = outcomes.add(n + missing[i], entry)
        return None

    def _items(self, result: Any, k: int) -> list[Any] | None:
        """The entries of a group objective's result, read as the fit reads them (None when it
        cannot be read as entries)."""
        try:
            view = memoryview(result)
        except TypeError:
            pass
        else:
            with view:
                if view.ndim != (2 if self.vector else 1) or not view.shape or view.shape[0] != k:
                    return None
                if view.format.lstrip("@=<" if fmt.LITTLE else "@=>") == "d":
                    return list(view.tolist())
        try:
            return list(result)
        except TypeError:
            return None

