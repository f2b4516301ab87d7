"""Opening corpus, table and model files, compressed or not.

Text is UTF-8 and lines end at "\\n" only: a stray "\\r" inside a corpus line stays part of the
line, so the two sides of a parallel corpus never shift against each other. Paths ending in .gz,
.bz2 or .xz are (de)compressed transparently, for reading and for writing.

A file opened for writing ("w" modes) is complete or untouched: its bytes go to a temporary
file beside it, which ``close()`` puts in its place. Until then an earlier file of that name
stays as it was; leaving a ``with`` block by an exception, or dropping the file object, removes
the temporary file. A path that names something other than a regular file (a device such as
/dev/stdout, a pipe) is written directly, and a symbolic link is written through, to its target.
Every write and close error is the host's OSError naming the file.
"""

import builtins
import bz2
import gzip
import io
import lzma
import os
import secrets
import shutil
import stat

_OPENERS = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}
_COMPRESSORS = {
    # No time stamp in the header: the same text gives the same bytes.
    ".gz": lambda raw, name: gzip.GzipFile(name, "wb", fileobj=raw, mtime=0),
    ".bz2": lambda raw, name: bz2.BZ2File(raw, "wb"),
    ".xz": lambda raw, name: lzma.LZMAFile(raw, "wb"),
}


def _suffix(path):
    name = os.fsdecode(path)
    return next((s for s in _OPENERS if name.endswith(s)), "")


def _opener(path):
    return _OPENERS.get(_suffix(path), builtins.open)


def is_plain(path):
    """True when ``path`` is read as it is, without decompression."""
    return _opener(path) is builtins.open


def open(path, mode="rt", encoding="utf-8"):  # noqa: A001 - the toolkit's name for it
    """Open ``path`` in ``mode`` ("r"/"rt", "w"/"wt", "a"/"at", or the same with "b").

    Text modes decode and encode ``encoding`` strictly and never translate line endings.
    The result is a file object, usable as a context manager; "w" modes give an ``Output``.
    """
    if "w" in mode:
        return Output(path, "b" in mode, encoding)
    if "b" in mode:
        return _opener(path)(path, mode)
    if "t" not in mode:
        mode += "t"
    return _opener(path)(path, mode, encoding=encoding, newline="\n")


def copy(source, target):
    """Writes the bytes of ``source`` (as they are, never decompressed) to ``target``, which is
    complete or untouched as every output is."""
    with builtins.open(source, "rb") as f, open(target, "wb") as out:
        shutil.copyfileobj(f, out)


def named_error(error, path):
    """``error`` (an OSError) as the same error naming ``path``, unless it names a file already."""
    if error.filename is not None:
        return error
    named = type(error)(error.errno, error.strerror or str(error), os.fsdecode(path))
    named.__cause__ = error
    return named


def is_regular_or_absent(path):
    """True when ``path`` (followed through links) is a regular file or does not exist."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return True


class Output:
    """A file being written: put in place by ``close()``, removed by ``discard()``."""

    def __init__(self, path, binary=False, encoding="utf-8", compressed=False):
        self.name = os.fsdecode(path)
        target = os.path.realpath(path)
        self._target = target
        self._temp = None
        if is_regular_or_absent(target):
            folder, base = os.path.split(target)
            while True:
                temp = os.path.join(folder, f".{base}.{secrets.token_hex(4)}.part")
                try:
                    # Created as any new file is (the umask applies), then given the mode of
                    # the file it replaces.
                    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
                    break
                except FileExistsError:
                    continue
                except OSError as e:
                    raise named_error(e, self.name) from None
            self._temp = temp
            try:
                os.chmod(fd, stat.S_IMODE(os.stat(target).st_mode))
            except FileNotFoundError:
                pass
            raw = builtins.open(fd, "wb")
        else:
            try:
                raw = builtins.open(target, "wb")
            except OSError as e:
                raise named_error(e, self.name) from None
        self._raw = raw
        # `compressed`: the bytes written are already in the format the name's suffix says.
        suffix = "" if compressed else _suffix(path)
        stream = _COMPRESSORS[suffix](raw, os.path.basename(target)) if suffix else raw
        if not binary:
            stream = io.TextIOWrapper(stream, encoding=encoding, newline="\n")
        self._stream = stream

    @property
    def closed(self):
        return self._stream is None

    def write(self, data):
        try:
            return self._stream.write(data)
        except OSError as e:
            raise named_error(e, self.name) from None

    def _close_streams(self):
        stream, raw = self._stream, self._raw
        self._stream = self._raw = None
        try:
            stream.close()
        finally:
            if raw is not stream:
                raw.close()

    def close(self):
        """Writes what is buffered and puts the file in place; an error leaves it untouched."""
        if self._stream is None:
            return
        try:
            self._close_streams()
            if self._temp is not None:
                os.replace(self._temp, self._target)
                self._temp = None
        except OSError as e:
            self._remove_temp()
            raise named_error(e, self.name) from None

    def discard(self):
        """Drops what was written: an earlier file of the name stays as it was."""
        if self._stream is not None:
            try:
                self._close_streams()
            except OSError:
                pass
        self._remove_temp()

    def _remove_temp(self):
        if self._temp is not None:
            try:
                os.unlink(self._temp)
            except FileNotFoundError:
                pass
            self._temp = None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.close()
        else:
            self.discard()

    def __del__(self):
        if getattr(self, "_stream", None) is not None or getattr(self, "_temp", None):
            self.discard()


def check_outputs(outputs, inputs):
    """Refuses an output path that names the same file as an input (a ValueError naming both),
    before either is opened; empty and missing paths are skipped."""
    for output in outputs:
        for source in inputs:
            if not output or not source:
                continue
            try:
                same = os.path.samefile(output, source)
            except (OSError, TypeError, ValueError):
                continue
            if same:
                raise ValueError(
                    f"the output file {os.fsdecode(output)} is the input file "
                    f"{os.fsdecode(source)}: refusing to overwrite it"
                )
