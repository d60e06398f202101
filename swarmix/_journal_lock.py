"""The lock that gives a journal one writer: flock on POSIX; on Windows one byte at offset
2**62 (far past any data) locked with msvcrt.locking, without waiting. The native side's
Windows tests use the same byte. A platform with neither cannot journal fits."""

from __future__ import annotations

import os

from swarmix._journal_format import WINDOWS_LOCK_OFFSET

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None  # type: ignore[assignment]
try:
    import msvcrt
except ImportError:  # POSIX
    msvcrt = None  # type: ignore[assignment]

__all__ = ["lock", "unlock"]


def lock(fd: int) -> bool:
    """Lock the open journal ``fd`` for this process: False when another one holds it."""
    if fcntl is not None:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        return True
    if msvcrt is not None:
        os.lseek(fd, WINDOWS_LOCK_OFFSET, os.SEEK_SET)
        try:
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
        except OSError:
            return False
        return True
    raise OSError("journals need file locks, which this platform does not provide (no fcntl, no msvcrt)")


def unlock(fd: int) -> None:
    """Release the lock before ``fd`` is closed (closing releases a POSIX lock by itself)."""
    if fcntl is None and msvcrt is not None:
        os.lseek(fd, WINDOWS_LOCK_OFFSET, os.SEEK_SET)
        msvcrt.locking(fd, msvcrt.LK_UNLCK, 1)
