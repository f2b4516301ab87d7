"""Opening corpus, table and model files, compressed or not.

Text is UTF-8 and lines end at "\\n" only: a stray "\\r" inside a corpus line stays part of the
line, so the two sides of a parallel corpus never shift against each other. Paths ending in .gz,
.bz2 or .xz are (de)compressed transparently, for reading and for writing.
"""

import builtins
import bz2
import gzip
import lzma

_OPENERS = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}


def _opener(path):
    name = str(path)
    for suffix, opener in _OPENERS.items():
        if name.endswith(suffix):
            return opener
    return builtins.open


def is_plain(path):
    """True when ``path`` is read as it is, without decompression."""
    return _opener(path) is builtins.open


def open(path, mode="rt", encoding="utf-8"):  # noqa: A001 - the toolkit's name for it
    """Open ``path`` in ``mode`` ("r"/"rt", "w"/"wt", "a"/"at", or the same with "b").

    Text modes decode and encode ``encoding`` strictly and never translate line endings.
    The result is a file object, usable as a context manager.
    """
    if "b" in mode:
        return _opener(path)(path, mode)
    if "t" not in mode:
        mode += "t"
    return _opener(path)(path, mode, encoding=encoding, newline="\n")
