"""Cutting a corpus into shards of a fixed number of pairs, for training on a Dask cluster:
where each shard's lines are (a byte offset in a plain file a worker can open, or the lines
themselves), so that a worker reads its shards itself or is sent them."""

import errno
import itertools
import os
from dataclasses import dataclass

from zel.common import files
from zel.common import logging as zlogging

logger = zlogging.getColorLogger(__name__)

SHARD_SIZE = 100_000


@dataclass(frozen=True)
class Side:
    """One side of a shard: `count` lines of `path` from byte `offset`, or their `text`. A
    path is absolute, and read only where the file has the size and modification time it had
    where the shards were planned (`stamp`): a worker never trains on another file that has
    its name."""

    count: int
    path: str | None = None
    offset: int = 0
    text: bytes | None = None
    stamp: tuple[int, int] | None = None

    def read(self):
        if self.text is not None:
            return self.text
        with open(self.path, "rb") as f:
            if _stamp(os.fstat(f.fileno())) != self.stamp:
                raise FileNotFoundError(
                    errno.ENOENT, "not the file the shards were planned on", self.path
                )
            f.seek(self.offset)
            return _first_lines(f, self.count)

    def readable(self):
        """Whether read() finds the lines here."""
        if self.text is not None:
            return True
        try:
            return _stamp(os.stat(self.path)) == self.stamp
        except OSError:
            return False


def _stamp(stat):
    return stat.st_size, stat.st_mtime_ns


@dataclass(frozen=True)
class Source:
    """Shard `index`: pairs ``first`` to ``first + count - 1`` (0-based) of the corpus."""

    index: int
    first: int
    count: int
    src: Side
    trg: Side


def _first_lines(f, count):
    """The first `count` lines of the binary file `f` from where it stands."""
    parts, seen = [], 0
    while seen < count:
        block = f.read(1 << 22)
        if not block:
            break
        n = block.count(b"\n")
        if seen + n >= count:
            end = -1
            for _ in range(count - seen):
                end = block.index(b"\n", end + 1)
            parts.append(block[: end + 1])
            break
        parts.append(block)
        seen += n
    return b"".join(parts)


def _line_offsets(path, every):
    """The byte offsets of lines 0, every, 2 * every, ... and the number of lines (a last line
    without a line feed counts)."""
    offsets, lines, position, last = [0], 0, 0, b"\n"
    with open(path, "rb") as f:
        while block := f.read(1 << 24):
            start = 0
            while True:
                need = len(offsets) * every - lines  # line feeds before the next cut
                n = block.count(b"\n", start)
                if n < need:
                    lines += n
                    break
                for _ in range(need):
                    start = block.index(b"\n", start) + 1
                lines += need
                offsets.append(position + start)
            position += len(block)
            last = block[-1:]
    return offsets, lines + (last != b"\n")


def _text_lines(path, count, every):
    """The lines of a compressed file, `every` at a time, bytes each, up to `count` lines."""
    with files.open(path, "rb") as f:
        for first in range(0, count, every):
            yield b"".join(itertools.islice(f, min(every, count - first)))


def plan_shards(src_path, trg_path, shard_size=SHARD_SIZE):
    """The shards of a corpus: a list of Source, and the number of pairs (as many as the shorter
    file has lines)."""
    if isinstance(shard_size, bool) or not isinstance(shard_size, int) or shard_size < 1:
        raise ValueError(f"the shard size must be a positive whole number, not {shard_size!r}")
    counts, offsets, stamps = [], [], []
    for path in (src_path, trg_path):
        if not os.path.isfile(path):
            raise FileNotFoundError(f"no such corpus file: {os.fsdecode(path)}")
        stamps.append(_stamp(os.stat(path)))
        if files.is_plain(path):
            o, n = _line_offsets(path, shard_size)
        else:
            o, n = None, sum(1 for _ in files.open(path, "rb"))
        offsets.append(o)
        counts.append(n)
    pairs = min(counts)
    if counts[0] != counts[1]:
        logger.warning(
            "the corpus files differ in length (%s: %d lines, %s: %d lines): only the first %d "
            "pairs are used",
            os.fsdecode(src_path),
            counts[0],
            os.fsdecode(trg_path),
            counts[1],
            pairs,
        )
    texts = [
        None if o is not None else _text_lines(path, pairs, shard_size)
        for path, o in zip((src_path, trg_path), offsets, strict=True)
    ]
    shards = []
    for index, first in enumerate(range(0, pairs, shard_size)):
        count = min(shard_size, pairs - first)
        sides = [
            Side(count, text=next(t))
            if t is not None
            else Side(count, path=os.path.abspath(os.fsdecode(path)), offset=o[index], stamp=st)
            for path, o, t, st in zip((src_path, trg_path), offsets, texts, stamps, strict=True)
        ]
        shards.append(Source(index, first, count, *sides))
    return shards, pairs


def with_texts(source):
    """`source` with the lines of both sides read here, for workers that cannot open them."""
    return Source(
        source.index,
        source.first,
        source.count,
        Side(source.count, text=source.src.read()),
        Side(source.count, text=source.trg.read()),
    )
