"""Exceptions of the corvix package.

Every failure that the module reports on the Reader library's side is a
``RuntimeError``; corvix re-raises it as :class:`ReaderError` (a subclass, so
``except RuntimeError`` keeps working) with the file and, where there is one,
the scan in its message, and keeps the module's exception as ``__cause__``.
Other exceptions of the module (``TypeError``, ``ValueError``,
``OverflowError``, ``MemoryError`` and the module's ``PanicException``) reach
the caller unchanged, with a note naming the file and scan.
"""

from __future__ import annotations


class ReaderError(RuntimeError):
    """A failure reported by the Reader library for one file (and scan).

    Attributes:
        path: the file being read, or None when no file was involved.
        scan: the scan number being read, or None.
        reason: the module's own message (for example ``"get_spectrum failed"``).
    """

    def __init__(self, reason: str, path: str | None = None, scan: int | None = None) -> None:
        self.reason = reason
        self.path = path
        self.scan = scan
        where = []
        if path is not None:
            where.append(path)
        if scan is not None:
            where.append(f"scan {scan}")
        super().__init__(": ".join(where + [reason]))

    def __reduce__(self) -> tuple[type[ReaderError], tuple[str, str | None, int | None]]:
        # Worker processes send exceptions back by pickling them.
        return (type(self), (self.reason, self.path, self.scan))


class OpenError(ReaderError):
    """The Reader library could not open a file (a negative handle, or one whose error flag is set)."""


class ReaderNotFoundError(ReaderError):
    """No Reader library could be found or loaded."""


class ReaderConflictError(ReaderError):
    """A second, different Reader library was asked for after one was loaded.

    The module keeps the first Reader library that it loads for the life of the
    process; files that need another one must be read in another process.
    """


class DamagedRunError(ReaderError):
    """A run lost spectra to damage and the caller did not accept that (``corvix convert`` without
    ``--allow-damaged``)."""
