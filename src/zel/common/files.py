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
import contextlib
import errno
import gzip
import io
import lzma
import os
import secrets
import shutil
import signal
import stat
import tempfile
import threading

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


def _naming(error, name):
    """``error`` (an OSError) as the same error naming ``name``: the path the caller knows, not
    a hidden file or folder standing in for it."""
    named = type(error)(error.errno, error.strerror or str(error), os.fsdecode(name))
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
        self._temp = None
        # Asked of the path itself: a device's link (/dev/stdout through a pipe) resolves to a
        # name that is no path, so only a regular or missing file is resolved to its target.
        if is_regular_or_absent(path):
            target = os.path.realpath(path)
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
                    raise _naming(e, self.name) from None
            self._target = target
            self._temp = temp
            try:
                os.chmod(fd, stat.S_IMODE(os.stat(target).st_mode))
            except FileNotFoundError:
                pass
            raw = builtins.open(fd, "wb")
        else:
            self._target = os.fsdecode(path)
            try:
                raw = builtins.open(path, "wb")
            except OSError as e:
                raise _naming(e, self.name) from None
        self._raw = raw
        # `compressed`: the bytes written are already in the format the name's suffix says.
        suffix = "" if compressed else _suffix(path)
        stream = _COMPRESSORS[suffix](raw, os.path.basename(self._target)) if suffix else raw
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
            raise _naming(e, self.name) from None

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
            raise _naming(e, self.name) from None

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


class Staging:
    """The files of one run, written into a hidden folder inside ``folder`` (``path``) and put
    in place together by ``commit()``: until then ``folder`` keeps what it held, and
    ``discard()`` removes what the run wrote. A commit cannot be cut by SIGINT, SIGTERM or
    SIGHUP (they are held until it ends), so a folder never holds some files of a run beside
    those of an earlier one."""

    _HELD = frozenset({signal.SIGINT, signal.SIGTERM, signal.SIGHUP})

    PREFIX, SUFFIX = ".zel-run.", ".part"

    @classmethod
    def leftovers(cls, folder):
        """The staging folders in `folder` of runs that ended before their commit or discard
        (killed, or the machine stopped)."""
        found = (f for f in os.listdir(folder) if f.startswith(cls.PREFIX))
        return sorted(f for f in found if f.endswith(cls.SUFFIX))

    def __init__(self, folder):
        self.folder = os.fsdecode(folder)
        try:
            self.path = tempfile.mkdtemp(prefix=self.PREFIX, suffix=self.SUFFIX, dir=self.folder)
        except OSError as e:
            raise _naming(e, self.folder) from None

    def final(self, path):
        """Where ``path``, a file of the staging folder, is put by ``commit()``."""
        return os.path.join(self.folder, os.path.relpath(os.fsdecode(path), self.path))

    def commit(self, replaced=()):
        """Puts every file written in place, and removes those of ``replaced`` (paths in
        ``folder``) that this run did not write: the folder then holds this run's result
        alone."""
        held = threading.current_thread() is threading.main_thread()
        if held:
            signal.pthread_sigmask(signal.SIG_BLOCK, self._HELD)
        try:
            written = set(os.listdir(self.path))
            for name in sorted(written):
                _put(os.path.join(self.path, name), os.path.join(self.folder, name))
            for path in replaced:
                if os.path.basename(path) not in written and os.path.dirname(
                    os.path.abspath(path)
                ) == os.path.abspath(self.folder):
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(path)
            os.rmdir(self.path)
        finally:
            if held:
                signal.pthread_sigmask(signal.SIG_UNBLOCK, self._HELD)

    def discard(self):
        shutil.rmtree(self.path, ignore_errors=True)

    def unstage(self, error):
        """Makes ``error`` name the files it names as they would have been put in place."""
        if isinstance(error, OSError):
            for attr in ("filename", "filename2"):
                name = getattr(error, attr)
                if isinstance(name, str) and name.startswith(self.path):
                    setattr(error, attr, self.final(name))
        elif error.args and isinstance(error.args[0], str):
            error.args = (error.args[0].replace(self.path, self.folder), *error.args[1:])


def _put(staged, path):
    """Moves ``staged`` to ``path`` as ``Output`` would write it: through a link to its
    target, with the mode of the file it replaces; a device is written to."""
    if not is_regular_or_absent(path):
        copy(staged, path)
        os.unlink(staged)
        return
    target = os.path.realpath(path)
    with contextlib.suppress(FileNotFoundError):
        os.chmod(staged, stat.S_IMODE(os.stat(target).st_mode))
    try:
        os.replace(staged, target)
    except OSError as e:
        if e.errno != errno.EXDEV:
            raise _naming(e, path) from None
        copy(staged, path)
        os.unlink(staged)
