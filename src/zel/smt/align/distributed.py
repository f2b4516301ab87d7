"""Training IBM Models 1 and 2 on a Dask cluster: the corpus cut into shards, each shard's
E-steps on the workers, the whole's rows cut into ranges re-estimated on the workers too.

The corpus is cut into shards of ``shard_size`` pairs (the last one shorter). A worker reads
its shards itself when it can open the input files (a shared file system; compressed files are
always read here and sent); each shard's pairs and tables stay on its worker across iterations.
The whole's translation table is cut into ranges of rows (one per worker, more when a range
would pass 2^31 cells): each iteration every shard sends each range the counts of its cells
there, the range adds them up, re-estimates its rows and sends every shard the values of its own
cells back. A row's re-estimation reads only its own counts, so the cut does not change a value.
A worker re-estimates the alignment table the same way, and each range writes its own lines of
the translation file; this process reads the entropies and writes the files.

Word ids are those one process gives the whole corpus (each shard's first appearances
registered in shard order), and a shard's E-step is one process's arithmetic pair for pair.
The counts of a cell are added up in shard order (within a shard in pair order), and the
entropy is the sum of the shards' sums, in shard order, over the number of pairs. So for a
given corpus, settings and shard size every file is the same bytes whatever the number of
workers and the order in which they finish; with one shard they are one process's files. With
several shards a cell's count is ``((0 + c_1) + c_2) + ...`` over the shards' partial sums
instead of one running sum over all pairs, which can differ from one process's in the last
bits.

Dask is an optional dependency: ``pip install 'zel[distributed]'``.
"""

import itertools
import logging
import os
import threading
from concurrent.futures import CancelledError
from dataclasses import dataclass
from operator import itemgetter

import numpy as np

from zel.common import files, threads
from zel.common import logging as zlogging
from zel.common.config import Config

from . import _shards, emalign

logger = zlogging.getColorLogger(__name__)

SHARD_SIZE = 100_000
MODEL1_TITLE = "start training IBM Model 1"
MODEL2_TITLE = "start training IBM Model 2"
INSTALL_HINT = "training on a Dask cluster needs Dask: pip install 'zel[distributed]'"
_NO_LIMIT = 2**63 - 1
_RETRIES = 3  # times a shard's work is submitted again after its worker was lost


class Interrupted(KeyboardInterrupt):
    """Ctrl-C ended training after an M-step: the files of that step were written."""


def _dask():
    try:
        import distributed
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    return distributed


# --- shards: where each one's lines are -------------------------------------------------------


@dataclass(frozen=True)
class Side:
    """One side of a shard: `count` lines of `path` from byte `offset`, or their `text`."""

    count: int
    path: str | None = None
    offset: int = 0
    text: bytes | None = None

    def read(self):
        if self.text is not None:
            return self.text
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            return _first_lines(f, self.count)


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
    counts, offsets = [], []
    for path in (src_path, trg_path):
        if not os.path.isfile(path):
            raise FileNotFoundError(f"no such corpus file: {os.fsdecode(path)}")
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
            else Side(count, path=os.fsdecode(path), offset=o[index])
            for path, o, t in zip((src_path, trg_path), offsets, texts, strict=True)
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


# --- work done on the workers -----------------------------------------------------------------


class Shard:
    """A shard as a worker holds it: its native trainer, made when first used. Pickled, it is
    its source and ids only, so a shard moved or recomputed by Dask is made again the same. A
    task sets the values it reads and reads them under the shard's lock, so tasks of several
    iterations on one shard (Dask making a lost result again) do not mix."""

    def __init__(self, source, character, joined=None):
        self.source, self.character, self.joined = source, character, joined
        self._native = None
        self.lock = threading.Lock()

    def native(self):
        if self._native is None:
            trainer = _shards.ShardTrainer(
                self.source.src.read(), self.source.trg.read(), self.character
            )
            if trainer.pairs != self.source.count:
                raise ValueError(
                    f"shard {self.source.index} read {trainer.pairs} pairs, not "
                    f"{self.source.count}: the corpus files changed while training"
                )
            if self.joined is not None:
                trainer.join(*self.joined)
            self._native = trainer
        return self._native

    def set_values(self, trans, align):
        self.native().set_values(list(trans), *align)

    def __getstate__(self):
        return {"source": self.source, "character": self.character, "joined": self.joined}

    def __setstate__(self, state):
        self.__init__(state["source"], state["character"], state["joined"])


def survey(source, character):
    """A shard's words (by id, as it first meets them) and longest sentences."""
    trainer = Shard(source, character).native()
    return trainer.words(True), trainer.words(False), trainer.max_lengths


def join(source, character, src_ids, trg_ids, shape):
    shard = Shard(source, character, (src_ids, trg_ids, shape))
    shard.native()
    return shard


def shard_rows(shard):
    """How many of the shard's cells each source word's row has."""
    with shard.lock:
        return shard.native().row_lengths()


def shard_blocks(shard):
    with shard.lock:
        return shard.native().block_keys()


def shard_cut(shard, cuts, n_trg):
    """The shard's cells cut at the rows `cuts`: their keys in each range, and where each range
    starts and ends among them."""
    with shard.lock:
        keys = shard.native().cell_keys()
    bounds = np.searchsorted(keys, np.asarray(cuts, dtype=np.uint64) * np.uint64(n_trg))
    return [keys[a:b] for a, b in itertools.pairwise(bounds)], bounds


def shard_step(shard, trans, align, model, bounds):
    """An E-step under the values given (trans: its cells' values from each row range in turn;
    align: its alignment values and rows): ((entropy sum, flags, count flags), its counts cut
    into the row ranges, its alignment counts). Without a `model`, the entropy only."""
    with shard.lock:
        shard.set_values(trans, align)
        trainer = shard.native()
        if not model:
            entropy, flags = trainer.entropy_sum()
            return (entropy, flags, 0), None, None
        (entropy, flags), counts, align_counts, count_flags = trainer.expect(model)
    pieces = [counts[a:b] for a, b in itertools.pairwise(bounds)]
    return (entropy, flags, count_flags), pieces, align_counts


def shard_outputs(shard, trans, align, scores, decoded):
    with shard.lock:
        shard.set_values(trans, align)
        return shard.native().outputs(scores, decoded)


def key_piece(cut, r):
    return cut[0][r]


def summary(step):
    return step[0]


def count_piece(step, r):
    return step[1][r]


def align_counts(step):
    return step[2]


class Rows:
    """A range of the whole's rows as a worker holds it: its cells (the union of the shards'
    cells there), where each shard's cells lie among them, and the native range."""

    def __init__(self, first, count, n_trg, *shard_keys):
        cells, self.positions = _shards.merge_keys(list(shard_keys), first, count, n_trg)
        self.native = _shards.RowRange(first, count, n_trg, cells)
        self.count, self.n_trg = count, n_trg

    def nbytes(self):
        return 12 * self.native.cells + sum(p.nbytes for p in self.positions)

    def __getstate__(self):
        return (self.native.first, self.count, self.n_trg, self.native.keys(), self.positions)

    def __setstate__(self, state):
        first, self.count, self.n_trg, keys, self.positions = state
        self.native = _shards.RowRange(first, self.count, self.n_trg, keys)


# A range's values and the alignment values are (values, row defaults or tail flags, the counts
# of the M-step that made them or None before the first).


def rows_initial(rows):
    return rows.native.initial()


def rows_maximize(rows, values, *pieces):
    """The range's values after an M-step from `values` with the shards' counts, added up in
    shard order."""
    return rows.native.maximize(values[0], values[1], rows.positions, list(pieces))


def rows_values(rows, values, k):
    """Shard k's cells' values in this range."""
    return values[0][rows.positions[k]]


def rows_lines(rows, values, src_words, trg_words, threshold, threshold_text, nbest):
    return rows.native.trans_lines(*values, src_words, trg_words, threshold, threshold_text, nbest)


def rows_cells(rows):
    return rows.native.cells


class Blocks:
    """The whole's alignment blocks (the shards', in order of first appearance) and where each
    shard's values and rows lie among them."""

    def __init__(self, s_max, t_max, *shard_blocks):
        order, offsets, rows = {}, [0], [0]
        for flat in shard_blocks:
            for a, b in flat.reshape(-1, 2).tolist():
                if (a, b) not in order:
                    order[(a, b)] = len(order)
                    offsets.append(offsets[-1] + (b + 1) * (a + 2))
                    rows.append(rows[-1] + b + 1)
        self.flat = np.array([x for key in order for x in key], dtype=np.uint64)
        self.s_max, self.t_max = s_max, t_max
        self.value_maps, self.row_maps = [], []
        empty = np.zeros(0, dtype=np.int64)
        for flat in shard_blocks:
            keys = [order[(a, b)] for a, b in flat.reshape(-1, 2).tolist()]
            self.value_maps.append(
                np.concatenate([np.arange(offsets[k], offsets[k + 1]) for k in keys] or [empty])
            )
            self.row_maps.append(
                np.concatenate([np.arange(rows[k], rows[k + 1]) for k in keys] or [empty])
            )
        self._native = None

    def native(self):
        if self._native is None:
            self._native = _shards.AlignRows(self.s_max, self.t_max, self.flat)
        return self._native

    def __getstate__(self):
        return {k: v for k, v in self.__dict__.items() if k != "_native"}

    def __setstate__(self, state):
        self.__dict__.update(state, _native=None)


def align_initial(blocks):
    return (*blocks.native().initial(), None)


def align_maximize(blocks, values, *counts):
    total = np.zeros(len(values[0]))
    for positions, c in zip(blocks.value_maps, counts, strict=True):
        total[positions] += c
    return (*blocks.native().maximize(values[0], values[1], total), total)


def align_values(blocks, values, k):
    return values[0][blocks.value_maps[k]], values[1][blocks.row_maps[k]]


def blocks_flat(blocks):
    return blocks.flat


try:
    from dask.sizeof import sizeof
except ImportError:
    pass
else:
    # So Dask moves the shards' counts to a range, not a range to them.
    sizeof.register(Rows)(Rows.nbytes)


def memory_in_use():
    import psutil

    return psutil.Process().memory_info().rss


# --- the driver, in this process --------------------------------------------------------------


class Cluster:
    """A Dask client: of the scheduler at `scheduler`, or of a local cluster of `workers`
    worker processes on this machine (loopback only), closed with the context."""

    def __init__(self, workers=None, scheduler=None, memory_limit="auto"):
        distributed = _dask()
        self._cluster = None
        if scheduler is not None:
            try:
                self.client = distributed.Client(scheduler, timeout="10s")
            except (OSError, TimeoutError) as e:
                raise ConnectionError(
                    f"cannot reach the Dask scheduler at {scheduler}: {e}"
                ) from None
            return
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise ValueError(
                f"the number of workers must be a positive whole number, not {workers!r}"
            )
        share = max(1, (threads.get_threads() or threads.usable_cores()) // workers)
        self._cluster = distributed.LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address="127.0.0.1:0",
            memory_limit=memory_limit,
            env={threads.VARIABLE: str(share)},
        )
        self.client = distributed.Client(self._cluster)

    def close(self):
        self.client.close()
        if self._cluster is not None:
            self._cluster.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _row_cuts(counts, parts):
    """Row boundaries cutting the rows into `parts` ranges of about equal cells."""
    total = np.cumsum(counts)
    targets = [int(total[-1]) * p // parts for p in range(1, parts)] if len(total) else []
    inner = np.searchsorted(total, targets, side="right").tolist()
    return [0, *inner, len(counts)]


def _preferring(workers):
    """Submit options that run a task on one of `workers` while any of them is alive."""
    return {"workers": workers, "allow_other_workers": True} if workers else {}


def _killed(work, error):
    return MemoryError(
        f"{work} ended every worker that took it ({error}); Dask ends a worker over its memory "
        "limit: give the workers more memory, use more workers or a smaller shard size"
    )


def _gather(futures, what):
    """The futures' results; work that keeps ending its workers is a MemoryError."""
    distributed = _dask()
    try:
        return [future.result() for future in futures]
    except distributed.KilledWorker as e:
        raise _killed(what, e) from None


class _Run:
    """One training run on a cluster. Everything an iteration makes stays on the workers: each
    shard's E-step, the row ranges' M-steps (a worker's range adds up the shards' counts of its
    rows and re-estimates them) and the alignment table's; this process reads the entropies
    and flags, and at the end writes the lines the ranges and shards give it and the alignment
    table. Each value is a task's result made from the last ones, so Dask can make any of them
    again after losing a worker."""

    def __init__(self, client, shards, pairs, character):
        self.client, self.pairs, self.character = client, pairs, character
        self.sources = shards
        self.whole = _shards.WholeTrainer()
        self.shards = []  # futures of Shard, by shard
        self.bounds = []  # per shard: where each row range's cells start among its cells
        self.cuts = []  # the rows where each range starts, and the number of rows
        self.rows, self.blocks = [], None  # futures of Rows by range, of Blocks
        self.values = None  # futures: ([a range's values, by range], alignment values)
        self.pieces = None  # per shard, the futures of its values, or None: not made yet
        self.places = []  # per range, where its tasks run (see _beside)
        self.steps = None  # futures of the last E-step, by shard
        self.pending = None  # the M-step being made: its model
        self.trained = False  # an M-step was made

    def _ordered(self, submit, count, what, refused=None):
        """Runs submit(k, again) for every shard k at once and gives the results in shard order
        as they come. Work lost with a worker beyond what Dask makes again is submitted again,
        as is work that met an OSError after refused(k, error) (when given) made it anew; a
        shard whose tasks keep ending their workers is a MemoryError."""
        distributed = _dask()
        shard_of, tries, done = {}, [0] * count, {}
        running = distributed.as_completed()

        def start(k, again):
            future = submit(k, again)
            shard_of[future.key] = k
            running.add(future)

        for k in range(count):
            start(k, False)

        def results():
            next_k = 0
            for future in running:
                k = shard_of.pop(future.key)
                try:
                    done[k] = future.result()
                except distributed.KilledWorker as e:
                    raise _killed(f"{what}: shard {k}'s work", e) from None
                except OSError as e:
                    if refused is None or tries[k] >= _RETRIES:
                        raise
                    tries[k] += 1
                    refused(k, e)
                    start(k, True)
                    continue
                except CancelledError as e:
                    if tries[k] >= _RETRIES:
                        raise
                    tries[k] += 1
                    logger.debug(
                        "%s: shard %d lost with a worker (%s); submitted again", what, k, e
                    )
                    start(k, True)
                    continue
                logger.debug("%s: %d / %d shards", what, len(done) + next_k, count)
                while next_k in done:
                    yield done.pop(next_k)
                    next_k += 1

        return results()

    def setup(self):
        client = self.client
        sources = list(self.sources)

        def read(k, again):
            return client.submit(survey, sources[k], self.character, pure=False)

        def send_lines(k, error):
            # A worker that cannot open the corpus gets its lines from here.
            logger.debug("shard %d: %s; sending its lines", k, error)
            sources[k] = with_texts(sources[k])

        ids = []
        for src_words, trg_words, (src_len, trg_len) in self._ordered(
            read, len(sources), "reading", send_lines
        ):
            ids.append(
                (self.whole.add_words(True, src_words), self.whole.add_words(False, trg_words))
            )
            self.whole.add_lengths(src_len, trg_len)
        self.sources = sources
        shape = self.whole.shape
        n_src, n_trg, s_max, t_max = shape
        logger.info(f"source vocabulary size: {n_src:,}")
        logger.info(f"target vocabulary size: {n_trg:,}")
        self.shards = [
            client.submit(join, s, self.character, src, trg, shape, pure=False)
            for s, (src, trg) in zip(self.sources, ids, strict=True)
        ]
        # The rows are cut into ranges of about equal cells, one per worker and enough that
        # none passes 2^31 of the shards' cells (a range numbers its cells in 32 bits); any cut
        # gives the same values.
        row_counts = np.zeros(n_src, dtype=np.uint64)
        for counts in self._ordered(
            lambda k, again: client.submit(shard_rows, self.shards[k], pure=False),
            len(self.shards),
            "indexing",
        ):
            row_counts += counts
        workers = sorted(client.scheduler_info()["workers"])
        parts = max(1, len(workers), -(-int(row_counts.sum()) // 2**31))
        self.cuts = cuts = _row_cuts(row_counts, parts)
        del row_counts
        cut = [client.submit(shard_cut, shard, cuts, n_trg, pure=False) for shard in self.shards]
        self.bounds = _gather([client.submit(itemgetter(1), c) for c in cut], "indexing")
        self.rows = []
        for r, (first, end) in enumerate(itertools.pairwise(cuts)):
            keys = [client.submit(key_piece, c, r, pure=False) for c in cut]
            self.rows.append(
                client.submit(
                    Rows,
                    first,
                    end - first,
                    n_trg,
                    *keys,
                    pure=False,
                    **_preferring([workers[r % len(workers)]] if workers else []),
                )
            )
        del cut
        self.blocks = client.submit(
            Blocks,
            s_max,
            t_max,
            *[client.submit(shard_blocks, shard, pure=False) for shard in self.shards],
            pure=False,
        )
        self.values = (
            [client.submit(rows_initial, rows, pure=False) for rows in self.rows],
            client.submit(align_initial, self.blocks, pure=False),
        )
        cells = sum(_gather([client.submit(rows_cells, rows) for rows in self.rows], "indexing"))
        shard_cells = sum(int(b[-1]) for b in self.bounds)
        logger.debug(
            "%d shards, %s cells in %d row ranges; an iteration moves %s bytes of counts to the "
            "ranges and %s bytes of values back",
            len(self.shards),
            f"{cells:,}",
            len(self.rows),
            f"{8 * shard_cells:,}",
            f"{8 * shard_cells:,}",
        )

    def _beside(self, future):
        """Where the tasks of a shard or range run: on the worker holding it, or any worker once
        that one is lost. Dask does not know a shard's size, and work stealing would move a
        range's tasks to an idle worker: either would move the shard or range itself."""
        return _preferring(list(self.client.who_has(future).get(future.key, ())))

    def _values_of(self, k):
        """Shard k's values under the current ones: (its cells' from each range, its alignment
        values and rows)."""
        if self.pieces is None:
            self.pieces = [None] * len(self.shards)
            self.places = [self._beside(rows) for rows in self.rows]
        if self.pieces[k] is None:
            trans, align = self.values
            submit = self.client.submit
            self.pieces[k] = (
                [
                    submit(rows_values, rows, v, k, pure=False, **place)
                    for rows, v, place in zip(self.rows, trans, self.places, strict=True)
                ],
                submit(align_values, self.blocks, align, k, pure=False),
            )
        return self.pieces[k]

    def evaluate(self, model):
        """The entropy under the current values and, with a `model`, the E-step's count flags;
        the E-step's futures are kept for the M-step."""
        self.steps = [None] * len(self.shards)

        def submit(k, again):
            trans, align = self._values_of(k)
            step = self.client.submit(
                shard_step,
                self.shards[k],
                trans,
                align,
                model,
                self.bounds[k],
                pure=False,
                **self._beside(self.shards[k]),
            )
            self.steps[k] = step
            return self.client.submit(summary, step, pure=False)

        total, raised, count_flags = 0.0, 0, 0
        for k, (h, flags, counted) in enumerate(self._ordered(submit, len(self.shards), "E-step")):
            # The shard's table holds its values now: the pieces sent can go (Dask makes them
            # again from the ranges if the shard is lost).
            self.pieces[k] = None
            total += h
            raised |= flags
            count_flags |= counted
        _shards.report_flags(raised, "log")
        return total / self.pairs, count_flags

    def memory_report(self):
        if logger.isEnabledFor(logging.DEBUG):
            for worker, rss in sorted(self.client.run(memory_in_use).items()):
                logger.debug("worker %s: %s bytes in use", worker, f"{rss:,}")

    def _maximize(self, phase):
        submit, steps = self.client.submit, self.steps
        trans, align = self.values
        trans = [
            submit(
                rows_maximize,
                rows,
                values,
                *[submit(count_piece, step, r, pure=False) for step in steps],
                pure=False,
                **self._beside(rows),
            )
            for r, (rows, values) in enumerate(zip(self.rows, trans, strict=True))
        ]
        if phase == 2:
            align = submit(
                align_maximize,
                self.blocks,
                align,
                *[submit(align_counts, step, pure=False) for step in steps],
                pure=False,
            )
        self.values, self.pieces = (trans, align), None

    def train(self, limit):
        """Model 1 then Model 2, each up to `limit` iterations, stopping when the entropy stops
        falling, as one process trains them. After Ctrl-C, what the last complete M-step made
        stays for the files."""
        model_of_counts = 1
        h, count_flags = self.evaluate(model_of_counts)
        for phase, title in ((1, MODEL1_TITLE), (2, MODEL2_TITLE)):
            logger.info("----")
            logger.info(title)
            if phase == 2 and model_of_counts != 2:
                model_of_counts = 2
                h, count_flags = self.evaluate(2)
            logger.info("initial entropy: %r", h)
            prev = h
            for step in range(limit):
                logger.info("--")
                logger.info("step: %d / %d", step + 1, limit)
                if phase == 2:
                    _shards.report_flags(count_flags, "divide")
                self.pending = phase
                self._maximize(phase)
                # The M-step holds what it needs of the E-step; its counts can go once read.
                self.pending, self.steps = None, None
                self.trained = True
                following = phase if step + 1 < limit else (2 if phase == 1 else 0)
                h, count_flags = self.evaluate(following)
                model_of_counts = following
                self.memory_report()
                logger.info("entropy: %r", h)
                if h >= prev:
                    break
                prev = h

    def settle(self):
        """After an interrupt: the M-step it cut is made again, and the E-step under way is
        dropped."""
        if self.pending is not None:
            self._maximize(self.pending)
            self.pending = None
        else:
            # Nothing depends on the E-step that was under way.
            self.client.cancel([s for s in self.steps or () if s is not None])
        self.steps = None

    def _write_trans(self, path, threshold, nbest):
        """The translation file: each range writes its rows' lines (on its worker), which are
        written here in row order."""
        client = self.client
        trg_words = self.whole.words(False, 0, self.whole.shape[1])
        texts = [
            client.submit(
                rows_lines,
                rows,
                values,
                self.whole.words(True, first, end - first),
                trg_words,
                float(threshold),
                str(threshold),
                nbest,
                pure=False,
                **place,
            )
            for rows, values, place, (first, end) in zip(
                self.rows,
                self.values[0],
                [self._beside(rows) for rows in self.rows],
                itertools.pairwise(self.cuts),
                strict=True,
            )
        ]
        logger.info(
            "storing translation probabilities into file (threshold=%s): %s", threshold, path
        )
        out = files.Output(path, binary=True)
        try:
            for text in texts:
                out.write(*_gather([text], "writing the translation file"))
            out.close()
        finally:
            if not out.closed:
                out.discard()

    def _write_align(self, path, threshold):
        client = self.client
        (blocks,) = _gather([client.submit(blocks_flat, self.blocks)], "writing the alignments")
        self.whole.make_align(blocks)
        values, tail, counts = self.whole.align_values()
        (made,) = _gather([self.values[1]], "writing the alignments")
        values[:], tail[:], c = made
        if c is not None:
            counts[:] = c
        self.whole.save_align(path, float(threshold), str(threshold))

    def write_outputs(self, data):
        scores, decoded = bool(data.save_scores), bool(data.decode_align)
        results = None
        if scores or decoded:
            # The shards score while the tables are written.

            def submit(k, again):
                trans, align = self._values_of(k)
                return self.client.submit(
                    shard_outputs,
                    self.shards[k],
                    trans,
                    align,
                    scores,
                    decoded,
                    pure=False,
                    **self._beside(self.shards[k]),
                )

            results = self._ordered(submit, len(self.shards), "scores")
        nbest = _NO_LIMIT if data.nbest is None else int(data.nbest)
        self._write_trans(data.save_trans_path, data.threshold, nbest)
        if data.save_align_path:
            self._write_align(data.save_align_path, data.threshold)
        if results is None:
            return
        outputs = [files.Output(p, binary=True) for p in (data.save_scores, data.decode_align) if p]
        try:
            raised = 0
            for score_text, decoded_text, flags in results:
                raised |= flags
                texts = [
                    t for t, wanted in ((score_text, scores), (decoded_text, decoded)) if wanted
                ]
                for out, text in zip(outputs, texts, strict=True):
                    out.write(text)
            for out in outputs:
                out.close()
        finally:
            for out in outputs:
                if not out.closed:
                    out.discard()
        _shards.report_flags(raised, "log")


def _settings(conf):
    data = conf.data
    limit = conf.get("iteration_limit", emalign.ITERATION_LIMIT)
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError(f"training on a cluster takes at least one iteration, not {limit!r}")
    for key in ("src_path", "trg_path", "save_trans_path"):
        if not conf.get(key, None):
            raise ValueError(f"the setting {key} is missing")
    defaults = {"threshold": emalign.THRESHOLD, "nbest": emalign.NBEST}
    for key in ("save_align_path", "save_scores", "decode_align"):
        defaults[key] = None
    conf.update({k: v for k, v in defaults.items() if not conf.has([k])})
    files.check_outputs(
        [
            conf.get(k)
            for k in ("save_trans_path", "save_align_path", "save_scores", "decode_align")
        ],
        [data.src_path, data.trg_path],
    )
    return data, limit


def train(conf, *, workers=None, scheduler=None, shard_size=SHARD_SIZE, cluster=None, **others):
    """Train IBM Models 1 and 2 on a Dask cluster and write zel-train's files.

    `conf` has zel-train's settings (``src_path``, ``trg_path``, ``save_trans_path`` and
    optionally ``save_align_path``, ``save_scores``, ``decode_align``, ``iteration_limit``,
    ``threshold``, ``nbest``, ``character``); keyword settings override it. The cluster is the
    scheduler at `scheduler`, or a local cluster of `workers` processes, or an open `cluster`
    (a Cluster). Returns True once the files are written. Ctrl-C after the first M-step writes
    the files of the last complete step, then raises Interrupted (a KeyboardInterrupt).
    """
    conf = Config(conf)
    conf.update(others)
    data, limit = _settings(conf)
    character = bool(conf.get("character", False))
    shards, pairs = plan_shards(data.src_path, data.trg_path, shard_size)
    if pairs == 0:
        raise ValueError(f"the corpus {os.fsdecode(data.src_path)} has no sentence pairs")
    logger.info("----")
    logger.info(
        "training on a cluster: %d pairs in %d shards of %d", pairs, len(shards), shard_size
    )
    own = cluster is None
    cluster = Cluster(workers, scheduler) if own else cluster
    try:
        run = _Run(cluster.client, shards, pairs, character)
        run.setup()
        interrupted = False
        try:
            run.train(limit)
        except KeyboardInterrupt:
            if not run.trained:
                raise
            interrupted = True
            logger.warning("interrupted by keyboard")
            logger.info("forcing to dump alignments and scores")
            run.settle()
        logger.info("----")
        run.write_outputs(data)
        if interrupted:
            raise Interrupted()
        return True
    finally:
        if own:
            cluster.close()
