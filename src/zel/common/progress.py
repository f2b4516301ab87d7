"""Progress display for long loops and file reads.

A bar is drawn on stderr only when stderr is a terminal and no quiet logging scope is active;
otherwise the items just pass through. Items are always yielded unchanged and in order.
"""

import contextlib
import os
import sys
import time

from . import files
from . import logging as _zlogging

_REDRAW_SECONDS = 0.2
# Count of active hidden() scopes.
_hidden_scopes = 0


def _enabled():
    try:
        return sys.stderr.isatty() and not _zlogging.is_quiet() and not _hidden_scopes
    except (AttributeError, ValueError):
        return False


@contextlib.contextmanager
def hidden():
    """Draw no bar inside the block (for processes sharing one terminal); logging goes on."""
    global _hidden_scopes
    _hidden_scopes += 1
    try:
        yield
    finally:
        _hidden_scopes -= 1


def _human(n):
    for unit in ("", "k", "M", "G"):
        if abs(n) < 1000:
            return f"{n:.0f}{unit}" if unit == "" else f"{n:.1f}{unit}"
        n /= 1000
    return f"{n:.1f}T"


class Bar:
    """A progress bar ``header: done/total [percent] rate`` on one stderr line, throttled.

    ``advance(n)`` after every n items and ``close()`` at the end; native loops use it directly.
    """

    def __init__(self, header, total, unit=""):
        self.header = header
        self.total = total
        self.unit = unit
        self.done = 0
        self.start = time.monotonic()
        self.last = 0.0
        self.shown = _enabled()

    def advance(self, n=1):
        self.done += n
        if self.shown:
            now = time.monotonic()
            if now - self.last >= _REDRAW_SECONDS:
                self.last = now
                self._draw(now)

    def _draw(self, now):
        rate = self.done / max(now - self.start, 1e-9)
        if self.total:
            share = min(self.done / self.total, 1.0)
            filled = int(share * 30)
            text = (
                f"{self.header}: [{'#' * filled}{'.' * (30 - filled)}] {share:6.1%} "
                f"{_human(self.done)}/{_human(self.total)}{self.unit} {_human(rate)}{self.unit}/s"
            )
        else:
            text = f"{self.header}: {_human(self.done)}{self.unit} {_human(rate)}{self.unit}/s"
        sys.stderr.write("\r" + text + "\033[K")
        sys.stderr.flush()

    def close(self):
        if self.shown:
            self._draw(time.monotonic())
            sys.stderr.write("\n")
            sys.stderr.flush()
            self.shown = False


class view:  # noqa: N801 - the toolkit's name for it
    """Iterate over ``source`` showing progress labelled ``header``.

    ``source`` is an iterable, or a file path whose lines (endings included) are yielded.
    ``max_count`` is the expected number of items, for the bar's length; by default the length
    of ``source`` when it has one. Usable directly in a for loop or as a context manager whose
    entered value is the iterable; leaving the block closes the file of a path source.
    """

    def __init__(self, source, header="", max_count=None):
        self._file = None
        if isinstance(source, (str, os.PathLike)):
            self._file = files.open(source)
            source = self._file
        elif max_count is None:
            try:
                max_count = len(source)
            except TypeError:
                max_count = None
        self._source = source
        self._header = header
        self._max_count = max_count

    def __iter__(self):
        bar = Bar(self._header, self._max_count)
        try:
            for item in self._source:
                yield item
                bar.advance()
        finally:
            bar.close()
            self.close()

    def close(self):
        if self._file is not None:
            self._file.close()
            self._file = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class FileReader:
    """The lines of a text file, endings included, with progress counted in bytes.

    ``readinto(buffer)`` reads raw bytes instead (decompressed where the path says so), for
    native loaders that split and decode lines themselves; both ways advance the same bar.
    """

    def __init__(self, path, header=""):
        self.path = path
        self._raw = files.open(path, "rb")
        try:
            total = os.path.getsize(path) if files.is_plain(path) else None
        except OSError:
            total = None
        self._bar = Bar(header, total, "B")

    def readinto(self, buffer):
        n = self._raw.readinto(buffer)
        if n:
            self._bar.advance(n)
        else:
            self._bar.close()
        return n

    def __iter__(self):
        try:
            for number, line in enumerate(iter(self._raw.readline, b""), 1):
                self._bar.advance(len(line))
                try:
                    yield line.decode("utf-8")
                except UnicodeDecodeError as e:
                    where = f"{e.reason} ({self.path}, line {number})"
                    raise UnicodeDecodeError(e.encoding, e.object, e.start, e.end, where) from None
        finally:
            self.close()

    def close(self):
        self._bar.close()
        self._raw.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
